// The random-hyperplane LSH index that gathers search candidates: hyperplane drawing,
// bucket keys, insertion, candidate query and removal.
#include "lsh.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <shared_mutex>

namespace vendrel {

namespace {

// The 32 dot products of v[0..n) with the 32 hyperplanes of one table, side by side:
// lane i accumulates v[j] * hyperplane_i[j] for j ascending, starting from 0.0f, each
// product rounded to float32 before the add. The build uses -ffp-contract=off and no
// FMA target is enabled here, so every lane is exactly the sequential float32 dot
// product it stands for; only the 32 independent lanes run in parallel, no sum is ever
// reordered along the vector. `lanes` holds component j of the 32 normals at
// lanes[j * 32 .. j * 32 + 31].
//
// The lanes are written with GCC/Clang generic vectors (element-wise IEEE operations,
// no intrinsics) so that all 32 accumulators stay in registers: 8 x 4 lanes on the
// generic x86-64 instruction set (SSE2), 4 x 8 lanes in the AVX2 variant, 2 x 16 in the
// AVX-512 one.
template <typename Vec>
inline __attribute__((always_inline)) uint64_t lane_key_impl(const float* __restrict lanes,
                                                            const float* __restrict v, size_t n) {
  constexpr size_t kWidth = sizeof(Vec) / sizeof(float);
  constexpr size_t kGroups = kLshBits / kWidth;
  static_assert(kGroups * kWidth == kLshBits);
  Vec acc[kGroups];
#pragma GCC unroll 8
  for (size_t g = 0; g < kGroups; ++g) acc[g] = Vec{};
  for (size_t j = 0; j < n; ++j) {
    const float x = v[j];
    const float* row = lanes + j * kLshBits;
#pragma GCC unroll 8
    for (size_t g = 0; g < kGroups; ++g) {
      Vec plane;
      std::memcpy(&plane, row + g * kWidth, sizeof(Vec));
      const Vec product = x * plane;  // rounded to float32 lane by lane
      acc[g] = acc[g] + product;
    }
  }
  uint64_t key = 0;
#pragma GCC unroll 8
  for (size_t g = 0; g < kGroups; ++g) {
    for (size_t k = 0; k < kWidth; ++k) {
      // Strictly positive; a NaN compares false and gives 0.
      if (acc[g][k] > 0.0f) key |= uint64_t{1} << (g * kWidth + k);
    }
  }
  return key;
}

using F32x4 = float __attribute__((vector_size(16)));
using F32x8 = float __attribute__((vector_size(32)));
using F32x16 = float __attribute__((vector_size(64)));

uint64_t lane_key_generic(const float* lanes, const float* v, size_t n) {
  return lane_key_impl<F32x4>(lanes, v, n);
}

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
// AVX2 only (no "fma"): the same arithmetic, eight lanes per instruction.
__attribute__((target("avx2"))) uint64_t lane_key_avx2(const float* lanes, const float* v, size_t n) {
  return lane_key_impl<F32x8>(lanes, v, n);
}

// AVX-512F only (no "fma"): the same arithmetic, sixteen lanes per instruction.
__attribute__((target("avx512f"))) uint64_t lane_key_avx512(const float* lanes, const float* v, size_t n) {
  return lane_key_impl<F32x16>(lanes, v, n);
}

using LaneKey = uint64_t (*)(const float* lanes, const float* v, size_t n);

LaneKey best_lane_key() {
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f")) return lane_key_avx512;
  if (__builtin_cpu_supports("avx2")) return lane_key_avx2;
  return lane_key_generic;
}

uint64_t lane_key(const float* lanes, const float* v, size_t n) {
  static const LaneKey chosen = best_lane_key();
  return chosen(lanes, v, n);
}
#else
uint64_t lane_key(const float* lanes, const float* v, size_t n) { return lane_key_generic(lanes, v, n); }
#endif

// Open-addressing set of u32 ids for the query's seen set: linear probing, Fibonacci
// hashing, grown at half load. 0xFFFFFFFF marks an empty slot and is tracked apart.
class IdSet {
 public:
  IdSet() { rehash(kInitialBits); }

  // True when `id` was not yet present (it is added).
  bool insert(uint32_t id) {
    if (id == kEmpty) {
      if (has_empty_id_) return false;
      has_empty_id_ = true;
      return true;
    }
    size_t slot = slot_of(id);
    while (true) {
      const uint32_t held = slots_[slot];
      if (held == id) return false;
      if (held == kEmpty) break;
      slot = (slot + 1) & mask_;
    }
    slots_[slot] = id;
    if (++size_ * 2 > slots_.size()) rehash(bits_ + 1);
    return true;
  }

 private:
  static constexpr uint32_t kEmpty = 0xFFFFFFFFu;
  static constexpr unsigned kInitialBits = 11;

  size_t slot_of(uint32_t id) const {
    return static_cast<size_t>((uint64_t{id} * 0x9E3779B97F4A7C15ull) >> (64 - bits_));
  }

  void rehash(unsigned bits) {
    std::vector<uint32_t> old = std::move(slots_);
    bits_ = bits;
    slots_.assign(size_t{1} << bits, kEmpty);
    mask_ = slots_.size() - 1;
    for (uint32_t id : old) {
      if (id == kEmpty) continue;
      size_t slot = slot_of(id);
      while (slots_[slot] != kEmpty) slot = (slot + 1) & mask_;
      slots_[slot] = id;
    }
  }

  std::vector<uint32_t> slots_;
  size_t mask_ = 0;
  size_t size_ = 0;  // ids held in slots_ (the empty-marker id not counted)
  unsigned bits_ = 0;
  bool has_empty_id_ = false;
};

// Removes every occurrence of `id` from `ids`, keeping the others in order.
void erase_id(std::vector<uint32_t>& ids, uint32_t id) { std::erase(ids, id); }

}  // namespace

LSH::LSH(size_t dim_) : dim(dim_) {
  Lcg generator(kLshSeed);
  hyperplanes.resize(num_tables);
  lanes_.resize(num_tables);
  for (size_t t = 0; t < num_tables; ++t) {
    auto& planes = hyperplanes[t];
    planes.reserve(num_bits);
    for (size_t i = 0; i < num_bits; ++i) {
      std::vector<float> normal(dim);
      for (size_t j = 0; j < dim; ++j) normal[j] = generator.next();
      normalize_unit(normal);
      planes.push_back(std::move(normal));
    }
    auto& lanes = lanes_[t];
    lanes.assign(dim * kLshBits, 0.0f);
    for (size_t i = 0; i < num_bits; ++i) {
      for (size_t j = 0; j < dim; ++j) lanes[j * kLshBits + i] = planes[i][j];
    }
  }
  tables.value.tables.resize(num_tables);
}

uint64_t LSH::hash(size_t table, std::span<const float> vector) const {
  if (table >= lanes_.size()) return 0;
  const size_t n = std::min(dim, vector.size());
  if (n == 0) return 0;
  return lane_key(lanes_[table].data(), vector.data(), n);
}

void LSH::insert(uint32_t id, std::span<const float> vector) {
  // Hashing is pure and reads only the immutable hyperplanes, so it runs before the lock.
  std::vector<uint64_t> keys(num_tables);
  for (size_t t = 0; t < num_tables; ++t) keys[t] = hash(t, vector);

  std::unique_lock guard(tables.lock);
  LshTables& state = tables.value;
  for (size_t t = 0; t < num_tables; ++t) {
    LshTable& table = state.tables[t];
    uint32_t index;
    auto found = table.bucket_of_key.find(keys[t]);
    if (found != table.bucket_of_key.end()) {
      index = found->second;
    } else {
      index = static_cast<uint32_t>(table.buckets.size());
      table.bucket_of_key.emplace(keys[t], index);
      try {
        table.buckets.push_back(LshBucket{keys[t], {}});
      } catch (...) {
        table.bucket_of_key.erase(keys[t]);
        throw;
      }
    }
    if (t == 0) {
      // Record the bucket before appending: a recorded bucket without the id is
      // harmless to removal, an unrecorded bucket holding it would not be.
      uint32_t& first = state.membership.first_bucket.get_or_create(id)
                            .first_bucket_plus_one[decltype(state.membership.first_bucket)::slot_of(id)];
      if (first == 0) {
        first = index + 1;
      } else if (first != index + 1) {
        std::vector<uint32_t>& extra = state.membership.extra_buckets[id];
        if (std::find(extra.begin(), extra.end(), index) == extra.end()) extra.push_back(index);
      }
    }
    table.buckets[index].ids.push_back(id);
  }
}

std::vector<uint32_t> LSH::query(std::span<const float> vector, uint64_t budget) const {
  std::vector<uint64_t> keys(num_tables);
  for (size_t t = 0; t < num_tables; ++t) keys[t] = hash(t, vector);

  std::shared_lock guard(tables.lock);
  const LshTables& state = tables.value;
  std::vector<uint32_t> gathered;
  IdSet seen;

  // Adds the bucket's ids in stored order; true once `budget` or more ids are held
  // (checked after every id, new or not).
  auto visit_bucket = [&](const LshBucket& bucket) -> bool {
    for (uint32_t id : bucket.ids) {
      if (seen.insert(id)) gathered.push_back(id);
      if (gathered.size() >= budget) return true;
    }
    return false;
  };
  auto visit_key = [&](const LshTable& table, uint64_t key) -> bool {
    auto found = table.bucket_of_key.find(key);
    if (found == table.bucket_of_key.end()) return false;
    return visit_bucket(table.buckets[found->second]);
  };

  auto gather = [&]() {
    for (size_t t = 0; t < num_tables && t < state.tables.size(); ++t) {
      const LshTable& table = state.tables[t];
      if (visit_key(table, keys[t])) return;
      for (size_t b = 0; b < kLshProbeBits; ++b) {
        if (visit_key(table, keys[t] ^ (uint64_t{1} << b))) return;
      }
    }
    if (gathered.size() < budget / 2) {
      for (const LshTable& table : state.tables) {
        const size_t count = std::min(table.buckets.size(), kLshFallbackBuckets);
        for (size_t i = 0; i < count; ++i) {
          if (visit_bucket(table.buckets[i])) return;
        }
      }
    }
  };
  gather();
  return gathered;
}

void LSH::remove(uint32_t id) {
  std::unique_lock guard(tables.lock);
  LshTables& state = tables.value;
  LshMembership& membership = state.membership;
  if (state.tables.empty()) return;

  // Table 0: only the buckets recorded for the id.
  if (LshIdPage* page = membership.first_bucket.find(id)) {
    uint32_t& first = page->first_bucket_plus_one[decltype(membership.first_bucket)::slot_of(id)];
    if (first != 0) {
      std::vector<LshBucket>& buckets = state.tables[0].buckets;
      erase_id(buckets[first - 1].ids, id);
      auto extra = membership.extra_buckets.find(id);
      if (extra != membership.extra_buckets.end()) {
        for (uint32_t index : extra->second) erase_id(buckets[index].ids, id);
        membership.extra_buckets.erase(extra);
      }
      first = 0;
    }
  }
  // Further tables carry no membership records (LSH::new builds one table): scan them.
  for (size_t t = 1; t < state.tables.size(); ++t) {
    for (LshBucket& bucket : state.tables[t].buckets) erase_id(bucket.ids, id);
  }
}

void LSH::remove_many(const roaring::Roaring& ids) {
  if (ids.isEmpty()) return;
  if (ids.cardinality() == 1) {
    remove(ids.minimum());
    return;
  }
  std::unique_lock guard(tables.lock);
  LshTables& state = tables.value;
  LshMembership& membership = state.membership;
  if (state.tables.empty()) return;
  using Directory = decltype(membership.first_bucket);

  // Collect the affected buckets of table 0 and clear the records of the ids.
  std::vector<uint32_t> affected;
  LshIdPage* page = nullptr;
  uint64_t page_number = ~uint64_t{0};
  for (uint32_t id : ids) {
    if (Directory::page_of(id) != page_number) {
      page_number = Directory::page_of(id);
      page = membership.first_bucket.find(id);
    }
    if (page == nullptr) continue;
    uint32_t& first = page->first_bucket_plus_one[Directory::slot_of(id)];
    if (first == 0) continue;
    affected.push_back(first - 1);
    first = 0;
    if (!membership.extra_buckets.empty()) {
      auto extra = membership.extra_buckets.find(id);
      if (extra != membership.extra_buckets.end()) {
        affected.insert(affected.end(), extra->second.begin(), extra->second.end());
        membership.extra_buckets.erase(extra);
      }
    }
  }
  std::sort(affected.begin(), affected.end());
  affected.erase(std::unique(affected.begin(), affected.end()), affected.end());

  // One filtering pass per affected bucket.
  auto filter = [&ids](LshBucket& bucket) {
    std::erase_if(bucket.ids, [&ids](uint32_t id) { return ids.contains(id); });
  };
  std::vector<LshBucket>& buckets = state.tables[0].buckets;
  for (uint32_t index : affected) filter(buckets[index]);
  for (size_t t = 1; t < state.tables.size(); ++t) {
    for (LshBucket& bucket : state.tables[t].buckets) filter(bucket);
  }
}

}  // namespace vendrel
