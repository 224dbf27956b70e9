// Unit tests of the LSH candidate index: hyperplane drawing, bucket keys
// (against a plain scalar reference), insertion, candidate query and removal (against a
// deliberately simple reference index that scans every bucket).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <span>
#include <utility>
#include <vector>

#include "common.h"
#include "id_set.h"
#include "lsh.h"

namespace vendrel {
namespace {

constexpr uint64_t kAllBits = 0xFFFFFFFFull;
constexpr uint64_t kMaxBudget = std::numeric_limits<uint64_t>::max();

// Deterministic test randomness (mt19937_64's output is fixed by the standard; the
// mapping to floats is ours, so every platform sees the same values).
class TestRng {
 public:
  explicit TestRng(uint64_t seed) : engine_(seed) {}
  float uniform() {  // in [-1, 1)
    return static_cast<float>(engine_() >> 40) * 0x1.0p-23f - 1.0f;
  }
  uint64_t below(uint64_t n) { return engine_() % n; }
  std::vector<float> vector(size_t n) {
    std::vector<float> v(n);
    for (float& x : v) x = uniform();
    return v;
  }

 private:
  std::mt19937_64 engine_;
};

// The bucket key written the plain way: per hyperplane a float32 dot product
// over min(len(h), len(v)) components, each product rounded, summed in index order
// from 0.0f; bit set iff the sum is > 0.
uint64_t reference_hash(const LSH& lsh, size_t t, std::span<const float> v) {
  uint64_t key = 0;
  const auto& planes = lsh.hyperplanes[t];
  for (size_t i = 0; i < std::min<size_t>(32, planes.size()); ++i) {
    const size_t n = std::min(planes[i].size(), v.size());
    if (n == 0) continue;
    float dot = 0.0f;
    for (size_t j = 0; j < n; ++j) {
      const float product = v[j] * planes[i][j];
      dot = dot + product;
    }
    if (dot > 0.0f) key |= uint64_t{1} << i;
  }
  return key;
}

// A reordered (pairwise) summation: NOT the required arithmetic. Used only to show
// that the crafted vectors below do tell the two apart.
float pairwise_sum(const std::vector<float>& products, size_t begin, size_t end) {
  if (end - begin == 1) return products[begin];
  const size_t mid = begin + (end - begin) / 2;
  return pairwise_sum(products, begin, mid) + pairwise_sum(products, mid, end);
}
uint64_t pairwise_hash(const LSH& lsh, std::span<const float> v) {
  uint64_t key = 0;
  for (size_t i = 0; i < 32; ++i) {
    const auto& h = lsh.hyperplanes[0][i];
    const size_t n = std::min(h.size(), v.size());
    if (n == 0) continue;
    std::vector<float> products(n);
    for (size_t j = 0; j < n; ++j) products[j] = v[j] * h[j];
    if (pairwise_sum(products, 0, n) > 0.0f) key |= uint64_t{1} << i;
  }
  return key;
}

// A deliberately simple model of the index: buckets in creation order, removal by
// scanning every bucket, query following the documented rules step by step.
class ReferenceIndex {
 public:
  explicit ReferenceIndex(const LSH& lsh) : lsh_(lsh) {}

  void insert(uint32_t id, std::span<const float> v) {
    const uint64_t key = reference_hash(lsh_, 0, v);
    for (auto& [k, ids] : buckets_) {
      if (k == key) {
        ids.push_back(id);
        return;
      }
    }
    buckets_.push_back({key, {id}});
  }

  void remove(uint32_t id) {
    for (auto& bucket : buckets_) std::erase(bucket.second, id);
  }

  std::vector<uint32_t> query(std::span<const float> v, uint64_t budget) const {
    std::set<uint32_t> seen;
    std::vector<uint32_t> out;
    bool stopped = false;
    auto visit = [&](const std::vector<uint32_t>* ids) {
      if (stopped || ids == nullptr) return;
      for (uint32_t id : *ids) {
        if (seen.insert(id).second) out.push_back(id);
        if (out.size() >= budget) {
          stopped = true;
          return;
        }
      }
    };
    const uint64_t key = reference_hash(lsh_, 0, v);
    visit(find(key));
    for (int b = 0; b < 16; ++b) visit(find(key ^ (uint64_t{1} << b)));
    if (!stopped && out.size() < budget / 2) {
      for (size_t i = 0; i < std::min<size_t>(20, buckets_.size()); ++i) visit(&buckets_[i].second);
    }
    return out;
  }

  const std::vector<std::pair<uint64_t, std::vector<uint32_t>>>& buckets() const { return buckets_; }

 private:
  const std::vector<uint32_t>* find(uint64_t key) const {
    for (const auto& [k, ids] : buckets_) {
      if (k == key) return &ids;
    }
    return nullptr;
  }

  const LSH& lsh_;
  std::vector<std::pair<uint64_t, std::vector<uint32_t>>> buckets_;
};

// The index's buckets as (key, ids) pairs in creation order, checking the key map.
std::vector<std::pair<uint64_t, std::vector<uint32_t>>> snapshot(const LSH& lsh) {
  std::vector<std::pair<uint64_t, std::vector<uint32_t>>> out;
  const LshTable& table = lsh.tables.value.tables.at(0);
  EXPECT_EQ(table.bucket_of_key.size(), table.buckets.size());
  for (size_t i = 0; i < table.buckets.size(); ++i) {
    const LshBucket& bucket = table.buckets[i];
    auto found = table.bucket_of_key.find(bucket.key);
    EXPECT_TRUE(found != table.bucket_of_key.end() && found->second == i) << "bucket " << i;
    out.push_back({bucket.key, bucket.ids});
  }
  return out;
}

const std::vector<uint32_t>& bucket_ids(const LSH& lsh, uint64_t key) {
  static const std::vector<uint32_t> kNone;
  const LshTable& table = lsh.tables.value.tables.at(0);
  auto found = table.bucket_of_key.find(key);
  return found == table.bucket_of_key.end() ? kNone : table.buckets[found->second].ids;
}

// Random unit-ish vectors of `dim` components grouped by their bucket key, so tests can
// pick vectors whose keys stand in a chosen relation.
std::map<uint64_t, std::vector<float>> sample_keys(const LSH& lsh, size_t count, uint64_t seed) {
  TestRng rng(seed);
  std::map<uint64_t, std::vector<float>> by_key;
  for (size_t s = 0; s < count; ++s) {
    std::vector<float> v = rng.vector(lsh.dim);
    by_key.emplace(lsh.hash(0, v), std::move(v));
  }
  return by_key;
}

bool is_probe_of(uint64_t key, uint64_t other) {
  if (key == other) return true;
  const uint64_t diff = key ^ other;
  return (diff & (diff - 1)) == 0 && diff < (uint64_t{1} << 16);
}

// ---------------------------------------------------------------------------------
// Construction

TEST(LshConstructionTest, RecordFields) {
  LSH lsh(5);
  EXPECT_EQ(lsh.num_tables, 1u);
  EXPECT_EQ(lsh.num_bits, 32u);
  EXPECT_EQ(lsh.dim, 5u);
  ASSERT_EQ(lsh.hyperplanes.size(), 1u);
  ASSERT_EQ(lsh.hyperplanes[0].size(), 32u);
  for (const auto& h : lsh.hyperplanes[0]) {
    ASSERT_EQ(h.size(), 5u);
    float squared = 0.0f;
    for (float x : h) squared += x * x;
    EXPECT_NEAR(squared, 1.0f, 1e-5f);
  }
  ASSERT_EQ(lsh.tables.value.tables.size(), 1u);
  EXPECT_TRUE(lsh.tables.value.tables[0].buckets.empty());
  EXPECT_TRUE(lsh.tables.value.tables[0].bucket_of_key.empty());
}

TEST(LshConstructionTest, DimensionZero) {
  LSH lsh(0);
  EXPECT_EQ(lsh.dim, 0u);
  ASSERT_EQ(lsh.hyperplanes.size(), 1u);
  ASSERT_EQ(lsh.hyperplanes[0].size(), 32u);
  for (const auto& h : lsh.hyperplanes[0]) EXPECT_TRUE(h.empty());
  ASSERT_EQ(lsh.tables.value.tables.size(), 1u);
  EXPECT_TRUE(lsh.tables.value.tables[0].buckets.empty());
  const std::vector<float> any = {1.0f, 2.0f, -3.0f};
  EXPECT_EQ(lsh.hash(0, any), 0u);
  EXPECT_EQ(lsh.hash(0, std::vector<float>{}), 0u);
  lsh.insert(4, any);
  lsh.insert(5, std::vector<float>{-1.0f});
  EXPECT_EQ(bucket_ids(lsh, 0), (std::vector<uint32_t>{4, 5}));
  EXPECT_EQ(lsh.query(any, 1000), (std::vector<uint32_t>{4, 5}));
}

TEST(LshConstructionTest, SameDimensionSameHyperplanes) {
  for (size_t dim : {1u, 3u, 768u}) {
    LSH a(dim);
    LSH b(dim);
    EXPECT_EQ(a.hyperplanes, b.hyperplanes) << "dim " << dim;
  }
}

TEST(LshConstructionTest, HyperplanesAreNormalisedDrawsInOrder) {
  LSH lsh(768);
  Lcg generator(12345);
  for (size_t i = 0; i < 32; ++i) {
    std::vector<float> expected(768);
    for (float& x : expected) x = generator.next();
    if (i == 0) {
      EXPECT_EQ(expected[0], 6342.6552734375f);
      EXPECT_EQ(expected[1], 8113413632.0f);
      EXPECT_EQ(expected[2], 4209478656.0f);
    }
    normalize_unit(expected);
    ASSERT_EQ(lsh.hyperplanes[0][i], expected) << "hyperplane " << i;
  }
}

// ---------------------------------------------------------------------------------
// Bucket keys (LSH::hash)

TEST(LshHashTest, KnownKeysForDimensionThree) {
  LSH lsh(3);
  EXPECT_EQ(lsh.hash(0, std::vector<float>{1, 0, 0}), 4294967295u);
  EXPECT_EQ(lsh.hash(0, std::vector<float>{0, 1, 0}), 4294967295u);
  EXPECT_EQ(lsh.hash(0, std::vector<float>{-1, 0, 0}), 0u);
  EXPECT_EQ(lsh.hash(0, std::vector<float>{1, -1, 0}), 4268443174u);
  EXPECT_EQ(lsh.hash(0, std::vector<float>{0, 1, -1}), 2174138587u);
}

TEST(LshHashTest, ZeroAndEmptyVectorsGiveKeyZero) {
  LSH lsh(3);
  EXPECT_EQ(lsh.hash(0, std::vector<float>{0, 0, 0}), 0u);
  EXPECT_EQ(lsh.hash(0, std::vector<float>{-0.0f, 0, -0.0f}), 0u);
  EXPECT_EQ(lsh.hash(0, std::vector<float>{}), 0u);
  LSH big(768);
  EXPECT_EQ(big.hash(0, std::vector<float>(768, 0.0f)), 0u);
}

TEST(LshHashTest, NanDotProductsGiveZeroBits) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  LSH lsh(3);
  EXPECT_EQ(lsh.hash(0, std::vector<float>{nan, 0, 0}), 0u);
  EXPECT_EQ(lsh.hash(0, std::vector<float>{1, 0, nan}), 0u);
  // inf * h0 + (-inf) * h1 is NaN where h0 and h1 share a sign (bit 0), +inf where
  // h0 > 0 > h1 (bit 1) and -inf where h0 < 0 < h1 (bit 0).
  uint64_t expected = 0;
  int nan_bits = 0;
  for (size_t i = 0; i < 32; ++i) {
    const auto& h = lsh.hyperplanes[0][i];
    if ((h[0] > 0) == (h[1] > 0)) ++nan_bits;
    if (h[0] > 0 && h[1] < 0) expected |= uint64_t{1} << i;
  }
  ASSERT_GT(nan_bits, 0);
  EXPECT_EQ(lsh.hash(0, std::vector<float>{inf, -inf, 0}), expected);
  EXPECT_EQ(lsh.hash(0, std::vector<float>{inf, -inf, 0}), reference_hash(lsh, 0, std::vector<float>{inf, -inf, 0}));
}

TEST(LshHashTest, OnlyTheFirstDimComponentsCount) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  LSH lsh(3);
  EXPECT_EQ(lsh.hash(0, std::vector<float>{1, -1, 0, 1e30f, -5, nan}), 4268443174u);
  EXPECT_EQ(lsh.hash(0, std::vector<float>{1, 0, 0, nan}), 4294967295u);
  // A shorter vector is compared on its own length.
  EXPECT_EQ(lsh.hash(0, std::vector<float>{1, -1}), 4268443174u);
  EXPECT_EQ(lsh.hash(0, std::vector<float>{-1}), 0u);
}

TEST(LshHashTest, LaneKernelMatchesScalarReference) {
  TestRng rng(42);
  for (size_t dim : {1u, 2u, 3u, 5u, 7u, 8u, 31u, 32u, 33u, 100u, 767u, 768u, 769u, 1536u}) {
    LSH lsh(dim);
    for (int trial = 0; trial < 60; ++trial) {
      size_t length = dim;
      if (trial % 3 == 1) length = dim + 1 + rng.below(9);
      if (trial % 3 == 2) length = rng.below(dim + 1);
      std::vector<float> v = rng.vector(length);
      if (trial % 5 == 0) {  // mix magnitudes so rounding matters
        for (float& x : v) x *= std::ldexp(1.0f, static_cast<int>(rng.below(40)) - 20);
      }
      ASSERT_EQ(lsh.hash(0, v), reference_hash(lsh, 0, v)) << "dim " << dim << " len " << length;
    }
  }
}

TEST(LshHashTest, NearZeroDotProductsFollowTheSequentialSum) {
  // Vectors whose dot product with one hyperplane is within a few ulps of zero: the key
  // bit then depends on the exact float32 summation order.
  TestRng rng(7);
  size_t differs_from_pairwise = 0;
  size_t checked = 0;
  for (size_t dim : {2u, 3u, 17u, 64u, 768u, 769u}) {
    LSH lsh(dim);
    for (int trial = 0; trial < 200; ++trial) {
      const size_t i = rng.below(32);
      const auto& h = lsh.hyperplanes[0][i];
      std::vector<float> v = rng.vector(dim);
      float partial = 0.0f;
      for (size_t j = 0; j + 1 < dim; ++j) partial = partial + v[j] * h[j];
      float last = -partial / h[dim - 1];
      for (int k = static_cast<int>(rng.below(7)) - 3; k != 0; k += (k < 0 ? 1 : -1)) {
        last = std::nextafter(last, k < 0 ? -INFINITY : INFINITY);
      }
      v[dim - 1] = last;
      const uint64_t expected = reference_hash(lsh, 0, v);
      ASSERT_EQ(lsh.hash(0, v), expected) << "dim " << dim << " trial " << trial;
      ++checked;
      if (pairwise_hash(lsh, v) != expected) ++differs_from_pairwise;
    }
  }
  // The crafted vectors are sensitive to summation order (so the check above would
  // catch a reordered or tree-shaped sum).
  EXPECT_GT(differs_from_pairwise, checked / 50);
}

// ---------------------------------------------------------------------------------
// Insert, query and remove

class LshIndexTest : public ::testing::Test {
 protected:
  LshIndexTest() : lsh_(3), by_key_(sample_keys(lsh_, 200000, 99)) {}

  // The query vector and its key.
  void pick_query() {
    q_ = std::vector<float>{0.3f, 0.9f, -0.2f};
    key_ = lsh_.hash(0, q_);
  }

  // Up to `count` sampled vectors whose key is neither the query's key nor one of its
  // 16 single-bit probes.
  std::vector<std::vector<float>> far_vectors(size_t count) const {
    std::vector<std::vector<float>> out;
    for (const auto& [key, v] : by_key_) {
      if (out.size() == count) break;
      if (!is_probe_of(key_, key)) out.push_back(v);
    }
    return out;
  }

  // A sampled vector with the given key, if one was found.
  const std::vector<float>* vector_with_key(uint64_t key) const {
    auto found = by_key_.find(key);
    return found == by_key_.end() ? nullptr : &found->second;
  }

  // A sampled vector whose key differs from the query's in one of bits 0..15.
  const std::vector<float>* probe_neighbour() const {
    for (uint64_t b = 0; b < 16; ++b) {
      if (const auto* v = vector_with_key(key_ ^ (uint64_t{1} << b))) return v;
    }
    return nullptr;
  }

  LSH lsh_;
  std::map<uint64_t, std::vector<float>> by_key_;
  std::vector<float> q_;
  uint64_t key_ = 0;
};

TEST_F(LshIndexTest, EmptyIndexReturnsNothing) {
  pick_query();
  EXPECT_TRUE(lsh_.query(q_, 1000).empty());
  EXPECT_TRUE(lsh_.query(q_, 0).empty());
  EXPECT_TRUE(lsh_.query(q_, kMaxBudget).empty());
  lsh_.remove(3);
  lsh_.remove_many(roaring::Roaring());
  EXPECT_TRUE(lsh_.tables.value.tables[0].buckets.empty());
}

TEST_F(LshIndexTest, InsertAppendsInOrderAndCreatesBucketsInOrder) {
  const std::vector<float> a = {1, 0, 0};   // key 4294967295
  const std::vector<float> b = {-1, 0, 0};  // key 0
  lsh_.insert(10, a);
  lsh_.insert(11, b);
  lsh_.insert(12, a);
  lsh_.insert(9, b);
  const auto buckets = snapshot(lsh_);
  ASSERT_EQ(buckets.size(), 2u);
  EXPECT_EQ(buckets[0].first, kAllBits);
  EXPECT_EQ(buckets[0].second, (std::vector<uint32_t>{10, 12}));
  EXPECT_EQ(buckets[1].first, 0u);
  EXPECT_EQ(buckets[1].second, (std::vector<uint32_t>{11, 9}));
}

TEST_F(LshIndexTest, DuplicatesStoredTwiceReturnedOnceRemovedTogether) {
  const std::vector<float> a = {1, 0, 0};
  const std::vector<float> b = {1, -1, 0};  // a different bucket
  lsh_.insert(7, a);
  lsh_.insert(7, a);
  EXPECT_EQ(bucket_ids(lsh_, kAllBits), (std::vector<uint32_t>{7, 7}));
  EXPECT_EQ(lsh_.query(a, 1000), (std::vector<uint32_t>{7}));
  lsh_.insert(7, b);
  lsh_.insert(8, a);
  lsh_.insert(7, a);
  EXPECT_EQ(bucket_ids(lsh_, 4268443174u), (std::vector<uint32_t>{7}));
  EXPECT_EQ(lsh_.query(a, 1000), (std::vector<uint32_t>{7, 8}));

  lsh_.remove(7);
  EXPECT_EQ(bucket_ids(lsh_, kAllBits), (std::vector<uint32_t>{8}));
  EXPECT_TRUE(bucket_ids(lsh_, 4268443174u).empty());
  EXPECT_EQ(lsh_.tables.value.tables[0].buckets.size(), 2u);  // emptied bucket stays
  EXPECT_EQ(lsh_.query(a, 1000), (std::vector<uint32_t>{8}));

  // Re-inserted after removal: found and removable again.
  lsh_.insert(7, b);
  EXPECT_EQ(bucket_ids(lsh_, 4268443174u), (std::vector<uint32_t>{7}));
  lsh_.remove(7);
  EXPECT_TRUE(bucket_ids(lsh_, 4268443174u).empty());
  EXPECT_EQ(bucket_ids(lsh_, kAllBits), (std::vector<uint32_t>{8}));
}

TEST_F(LshIndexTest, RemovingAnUnknownIdChangesNothing) {
  lsh_.insert(1, std::vector<float>{1, 0, 0});
  lsh_.insert(2, std::vector<float>{-1, 0, 0});
  lsh_.insert(4294967295u, std::vector<float>{-1, 0, 0});
  const auto before = snapshot(lsh_);
  lsh_.remove(3);
  lsh_.remove(0);
  lsh_.remove(4294967294u);
  roaring::Roaring unknown;
  for (uint32_t id : {0u, 3u, 100000u, 4294967294u}) unknown.add(id);
  lsh_.remove_many(unknown);
  EXPECT_EQ(snapshot(lsh_), before);
  lsh_.remove(4294967295u);
  EXPECT_EQ(bucket_ids(lsh_, 0), (std::vector<uint32_t>{2}));
}

TEST_F(LshIndexTest, BudgetReachedInsideOwnBucket) {
  pick_query();
  const auto far = far_vectors(5);
  ASSERT_EQ(far.size(), 5u);
  for (uint32_t f = 0; f < 5; ++f) lsh_.insert(1000 + f, far[f]);
  const std::vector<float>* probe = probe_neighbour();
  ASSERT_NE(probe, nullptr);
  lsh_.insert(500, *probe);
  for (uint32_t id = 0; id < 100; ++id) lsh_.insert(id, q_);

  std::vector<uint32_t> expected;
  for (uint32_t id = 0; id < 50; ++id) expected.push_back(id);
  EXPECT_EQ(lsh_.query(q_, 50), expected);  // no probe, no fallback
  EXPECT_EQ(lsh_.query(q_, 1), (std::vector<uint32_t>{0}));
  // Budget 100: the own bucket fills it exactly.
  EXPECT_EQ(lsh_.query(q_, 100).size(), 100u);
  // Budget 101: the probe adds one more; 101 >= 101 / 2, so no fallback.
  auto with_probe = lsh_.query(q_, 1000);
  ASSERT_GE(with_probe.size(), 101u);
  EXPECT_EQ(with_probe[100], 500u);
  EXPECT_EQ(lsh_.query(q_, 101).size(), 101u);
  EXPECT_EQ(lsh_.query(q_, 200).size(), 101u);  // 101 >= 100: no fallback
  EXPECT_EQ(lsh_.query(q_, 203).size(), 101u);       // 101 >= 203 / 2 = 101: no fallback
  EXPECT_EQ(lsh_.query(q_, 204).size(), 101u + 5u);  // 101 < 102: fallback adds far ids
}

TEST_F(LshIndexTest, DuplicateIdsCountOnceTowardsTheBudget) {
  pick_query();
  for (uint32_t id : {5u, 5u, 6u, 5u, 7u}) lsh_.insert(id, q_);
  EXPECT_EQ(lsh_.query(q_, 2), (std::vector<uint32_t>{5, 6}));
  EXPECT_EQ(lsh_.query(q_, 3), (std::vector<uint32_t>{5, 6, 7}));
  EXPECT_EQ(lsh_.query(q_, 4), (std::vector<uint32_t>{5, 6, 7}));
}

TEST_F(LshIndexTest, BudgetZeroAndHugeBudgetFollowTheRuleLiterally) {
  pick_query();
  // Budget 0: "S holds budget or more ids" is true after the first visited id.
  const std::vector<float>* probe = probe_neighbour();
  ASSERT_NE(probe, nullptr);
  lsh_.insert(40, *probe);
  lsh_.insert(41, *probe);
  EXPECT_EQ(lsh_.query(q_, 0), (std::vector<uint32_t>{40}));
  lsh_.insert(30, q_);
  EXPECT_EQ(lsh_.query(q_, 0), (std::vector<uint32_t>{30}));
  // Budget 1: 1 / 2 = 0, the fallback never runs.
  const auto far = far_vectors(1);
  LSH other(3);
  other.insert(9, far[0]);
  EXPECT_TRUE(other.query(q_, 1).empty());
  EXPECT_EQ(other.query(q_, 2), (std::vector<uint32_t>{9}));
  EXPECT_EQ(other.query(q_, kMaxBudget), (std::vector<uint32_t>{9}));
  EXPECT_EQ(lsh_.query(q_, kMaxBudget), (std::vector<uint32_t>{30, 40, 41}));
}

TEST_F(LshIndexTest, ProbesFindSingleBitNeighboursInLowSixteenBits) {
  pick_query();
  const std::vector<float>* low = probe_neighbour();
  ASSERT_NE(low, nullptr);
  const std::vector<float>* high = nullptr;
  for (uint64_t b = 16; b < 32 && high == nullptr; ++b) high = vector_with_key(key_ ^ (uint64_t{1} << b));
  ASSERT_NE(high, nullptr) << "no sampled key differs from the query's in one high bit";
  const std::vector<float>* two_bits = nullptr;
  for (uint64_t b = 0; b < 16 && two_bits == nullptr; ++b) {
    for (uint64_t c = b + 1; c < 16 && two_bits == nullptr; ++c) {
      two_bits = vector_with_key(key_ ^ (uint64_t{1} << b) ^ (uint64_t{1} << c));
    }
  }
  ASSERT_NE(two_bits, nullptr);

  lsh_.insert(777, *high);
  lsh_.insert(778, *two_bits);
  lsh_.insert(1, q_);
  lsh_.insert(2, *low);
  // Own bucket then probe: 2 ids, 2 >= 4 / 2, no fallback: 777 and 778 are not found.
  EXPECT_EQ(lsh_.query(q_, 4), (std::vector<uint32_t>{1, 2}));
  EXPECT_EQ(lsh_.query(q_, 2), (std::vector<uint32_t>{1, 2}));
  // With a large budget the fallback adds them, in bucket creation order.
  EXPECT_EQ(lsh_.query(q_, 1000), (std::vector<uint32_t>{1, 2, 777, 778}));
  EXPECT_EQ(lsh_.query(q_, 5), (std::vector<uint32_t>{1, 2}));  // 2 >= 5 / 2
  EXPECT_EQ(lsh_.query(q_, 6), (std::vector<uint32_t>{1, 2, 777, 778}));
}

TEST_F(LshIndexTest, FallbackAddsFirstTwentyBucketsInCreationOrder) {
  pick_query();
  const auto far = far_vectors(25);
  ASSERT_EQ(far.size(), 25u);
  for (uint32_t m = 0; m < 25; ++m) {
    lsh_.insert(100 * m + 100, far[m]);
    lsh_.insert(100 * m + 101, far[m]);
  }
  lsh_.insert(9999, q_);
  std::vector<uint32_t> expected = {9999};
  for (uint32_t m = 0; m < 20; ++m) {
    expected.push_back(100 * m + 100);
    expected.push_back(100 * m + 101);
  }
  EXPECT_EQ(lsh_.query(q_, 1000), expected);  // 1 < 500
  EXPECT_EQ(lsh_.query(q_, 60), expected);    // 1 < 30, 41 < 60
  // The fallback stops at the budget too.
  EXPECT_EQ(lsh_.query(q_, 10), std::vector<uint32_t>(expected.begin(), expected.begin() + 10));
  // The query's own bucket among the first 20 adds nothing new.
  LSH second(3);
  second.insert(9999, q_);
  for (uint32_t m = 0; m < 25; ++m) second.insert(m, far[m]);
  std::vector<uint32_t> expected_second = {9999};
  for (uint32_t m = 0; m < 19; ++m) expected_second.push_back(m);
  EXPECT_EQ(second.query(q_, 1000), expected_second);
}

TEST_F(LshIndexTest, EmptiedBucketStillCountsAmongTheTwenty) {
  pick_query();
  const auto far = far_vectors(21);
  ASSERT_EQ(far.size(), 21u);
  for (uint32_t m = 0; m < 21; ++m) lsh_.insert(m, far[m]);
  std::vector<uint32_t> all20;
  for (uint32_t m = 0; m < 20; ++m) all20.push_back(m);
  EXPECT_EQ(lsh_.query(q_, 1000), all20);
  lsh_.remove(0);
  EXPECT_EQ(lsh_.tables.value.tables[0].buckets.size(), 21u);
  EXPECT_TRUE(lsh_.tables.value.tables[0].buckets[0].ids.empty());
  // Buckets 0..19 are taken; bucket 20 (id 20) is not.
  EXPECT_EQ(lsh_.query(q_, 1000), std::vector<uint32_t>(all20.begin() + 1, all20.end()));
  roaring::Roaring some;
  some.add(1);
  some.add(2);
  lsh_.remove_many(some);
  EXPECT_EQ(lsh_.query(q_, 1000), std::vector<uint32_t>(all20.begin() + 3, all20.end()));
}

TEST_F(LshIndexTest, RemoveManyKeepsOtherIdsInOrder) {
  pick_query();
  const auto far = far_vectors(2);
  for (uint32_t id : {1u, 2u, 3u, 2u, 4u, 5u, 1u}) lsh_.insert(id, q_);
  for (uint32_t id : {6u, 2u, 7u}) lsh_.insert(id, far[0]);
  for (uint32_t id : {3u, 8u}) lsh_.insert(id, far[1]);
  roaring::Roaring gone;
  for (uint32_t id : {2u, 3u, 9u}) gone.add(id);
  lsh_.remove_many(gone);
  EXPECT_EQ(bucket_ids(lsh_, key_), (std::vector<uint32_t>{1, 4, 5, 1}));
  EXPECT_EQ(bucket_ids(lsh_, lsh_.hash(0, far[0])), (std::vector<uint32_t>{6, 7}));
  EXPECT_EQ(bucket_ids(lsh_, lsh_.hash(0, far[1])), (std::vector<uint32_t>{8}));
  // The removed ids' records are cleared: a later insert and remove work normally.
  lsh_.insert(3, far[0]);
  EXPECT_EQ(bucket_ids(lsh_, lsh_.hash(0, far[0])), (std::vector<uint32_t>{6, 7, 3}));
  lsh_.remove(3);
  EXPECT_EQ(bucket_ids(lsh_, lsh_.hash(0, far[0])), (std::vector<uint32_t>{6, 7}));
}

// ---------------------------------------------------------------------------------
// Randomised comparison with the reference index

TEST(LshRandomizedTest, MatchesSimpleReference) {
  for (uint64_t seed : {1u, 2u, 3u}) {
    TestRng rng(seed * 1000 + 17);
    LSH with_many(4);   // deletions through remove_many
    LSH with_single(4); // the same deletions one id at a time
    ReferenceIndex reference(with_many);

    std::vector<std::vector<float>> pool;
    for (int i = 0; i < 14; ++i) pool.push_back(rng.vector(4));
    pool.push_back({0, 0, 0, 0});
    pool.push_back({});
    pool.push_back(rng.vector(2));
    pool.push_back(rng.vector(7));
    std::vector<uint32_t> ids;
    for (uint32_t id = 0; id < 40; ++id) ids.push_back(id);
    for (uint32_t id : {1023u, 1024u, 1025u, 1u << 20, 123456789u, 4294967294u, 4294967295u}) ids.push_back(id);
    const uint64_t budgets[] = {0, 1, 2, 3, 4, 5, 7, 10, 16, 40, 1000, kMaxBudget};

    for (int step = 0; step < 3000; ++step) {
      const uint64_t choice = rng.below(100);
      if (choice < 55) {
        const uint32_t id = ids[rng.below(ids.size())];
        const auto& v = pool[rng.below(pool.size())];
        with_many.insert(id, v);
        with_single.insert(id, v);
        reference.insert(id, v);
      } else if (choice < 70) {
        const uint32_t id = ids[rng.below(ids.size())];
        with_many.remove(id);
        with_single.remove(id);
        reference.remove(id);
      } else if (choice < 80) {
        roaring::Roaring gone;
        const uint64_t count = rng.below(10);
        for (uint64_t c = 0; c < count; ++c) gone.add(ids[rng.below(ids.size())]);
        if (rng.below(4) == 0) gone.add(static_cast<uint32_t>(50000 + rng.below(1000)));  // never inserted
        with_many.remove_many(gone);
        for (uint32_t id : gone) {
          with_single.remove(id);
          reference.remove(id);
        }
      } else {
        std::vector<float> q = rng.below(3) == 0 ? rng.vector(4) : pool[rng.below(pool.size())];
        const uint64_t budget = budgets[rng.below(std::size(budgets))];
        const auto expected = reference.query(q, budget);
        ASSERT_EQ(with_many.query(q, budget), expected) << "seed " << seed << " step " << step;
        ASSERT_EQ(with_single.query(q, budget), expected) << "seed " << seed << " step " << step;
      }
      ASSERT_EQ(snapshot(with_many), reference.buckets()) << "seed " << seed << " step " << step;
      ASSERT_EQ(snapshot(with_single), reference.buckets()) << "seed " << seed << " step " << step;
    }
  }
}

TEST(LshRandomizedTest, ManyBucketsAndLargeBuckets) {
  // Dimension 8 spreads 20,000 ids over many buckets (more than 20, so the fallback's
  // choice matters); a tenth is removed in one call, then queries are compared.
  TestRng rng(2024);
  LSH lsh(8);
  ReferenceIndex reference(lsh);
  std::vector<std::vector<float>> vectors;
  for (uint32_t id = 0; id < 20000; ++id) {
    vectors.push_back(rng.vector(8));
    lsh.insert(id, vectors.back());
    reference.insert(id, vectors.back());
  }
  ASSERT_GT(lsh.tables.value.tables[0].buckets.size(), 20u);
  roaring::Roaring gone;
  for (uint32_t id = 0; id < 20000; ++id) {
    if (rng.below(10) == 0) gone.add(id);
  }
  lsh.remove_many(gone);
  for (uint32_t id : gone) reference.remove(id);
  ASSERT_EQ(snapshot(lsh), reference.buckets());
  for (int i = 0; i < 200; ++i) {
    const auto q = rng.vector(8);
    for (uint64_t budget : {1u, 10u, 1000u, 5000u, 100000u}) {
      ASSERT_EQ(lsh.query(q, budget), reference.query(q, budget)) << i << " " << budget;
    }
  }
}

TEST(LshRemoveManyTest, TenPercentOfOneHundredThousandInOneBucket) {
  // Dimension 0: every id lands in bucket 0, the worst case for removal.
  LSH lsh(0);
  const std::vector<float> v = {1.0f};
  for (uint32_t id = 0; id < 100000; ++id) lsh.insert(id, v);
  roaring::Roaring gone;
  for (uint32_t id = 0; id < 100000; id += 10) gone.add(id);
  lsh.remove_many(gone);
  const auto& ids = bucket_ids(lsh, 0);
  ASSERT_EQ(ids.size(), 90000u);
  uint32_t expected = 0;
  for (uint32_t id : ids) {
    if (expected % 10 == 0) ++expected;
    ASSERT_EQ(id, expected);
    ++expected;
  }
  const auto candidates = lsh.query(v, 1000);
  ASSERT_EQ(candidates.size(), 1000u);
  EXPECT_EQ(candidates[0], 1u);
  EXPECT_EQ(lsh.query(v, kMaxBudget).size(), 90000u);
}

}  // namespace
}  // namespace vendrel
