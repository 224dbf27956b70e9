#include "storage.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <stdexcept>
#include <string>
#include <unordered_map>

#include <simsimd/simsimd.h>
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

namespace vendrel {

namespace {

// Candidates per task of the parallel scorer: large enough that taking the table's
// read lock and the task overhead are small next to the scoring.
constexpr size_t kCandidatesPerTask = 256;
constexpr size_t kCodeBatch = 64;
// Vectors per task when activation encodes the stored vectors on the pool.
constexpr size_t kVectorsPerEncodeTask = 64;

// Grows a page's row buffer to at least `needed` elements, doubling so that filling a
// page slot by slot copies each row a bounded number of times.
template <typename Buffer>
void grow_to_cover(Buffer& buffer, size_t needed, size_t page_capacity) {
  if (buffer.size() >= needed) return;
  const size_t doubled = std::min(buffer.size() * 2, page_capacity);
  buffer.resize(std::max(needed, doubled));
}

float cosine_by_kernel(std::span<const float> query, std::span<const float> stored) {
  // The kernels never read with a length of 0, but get a valid pointer anyway.
  static const float kNothing = 0.0f;
  const float* query_data = query.empty() ? &kNothing : query.data();
  const float* stored_data = stored.empty() ? &kNothing : stored.data();
  simsimd_distance_t distance = 0.0;
  simsimd_cos_f32(query_data, stored_data, query.size(), &distance);
  return static_cast<float>(1.0 - distance);
}

// Cosine over the first n components shared by both, in float32 and component order.
// Stops at the shorter of the two, so a query longer than the stored vector never reads
// past it.
float prefix_cosine(std::span<const float> query, std::span<const float> stored) {
  const size_t count = std::min(query.size(), stored.size());
  float dot = 0.0f;
  float query_squares = 0.0f;
  float stored_squares = 0.0f;
  for (size_t i = 0; i < count; ++i) {
    dot += query[i] * stored[i];
    query_squares += query[i] * query[i];
    stored_squares += stored[i] * stored[i];
  }
  if (count == 0 || query_squares == 0.0f || stored_squares == 0.0f) return 0.0f;
  return dot / (std::sqrt(stored_squares) * std::sqrt(query_squares));
}

// Compares subspace by subspace with the kernel, the reference the DistanceTable must
// reproduce bit for bit.
float code_similarity(const ProductQuantizer& quantizer, std::span<const float> query, const uint8_t* code,
                      size_t code_length) {
  const size_t compared = std::min({code_length, quantizer.num_subspaces, quantizer.codebooks.size()});
  float total = 0.0f;
  for (size_t i = 0; i < compared; ++i) {
    const size_t start = i * quantizer.sub_dim;
    if (start >= query.size()) break;
    const auto slice = query.subspan(start, std::min(quantizer.sub_dim, query.size() - start));
    total += subspace_distance(slice, quantizer.codebooks[i][code[i]]);
  }
  return similarity_from_total(total);
}

// One slice of candidates scored into per-candidate score and presence arrays.
struct ScoreSlots {
  float* scores;
  float* distances;
  uint8_t* present;
};

void score_full_slice(const VectorTable& table, std::span<const float> query, std::span<const uint32_t> ids,
                      ScoreSlots out) {
  for (size_t i = 0; i < ids.size(); ++i) {
    const auto stored = table.get(ids[i]);
    out.present[i] = stored.has_value();
    if (stored) out.scores[i] = full_vector_similarity(query, *stored);
  }
}

void score_code_slice(const CodeTable& table, const DistanceTable& distances, std::span<const uint32_t> ids,
                      ScoreSlots out) {
  const uint8_t* batch_codes[kCodeBatch] = {};
  size_t batch_positions[kCodeBatch] = {};
  float batch_scores[kCodeBatch] = {};
  float batch_totals[kCodeBatch] = {};
  size_t batch_size = 0;
  auto flush = [&] {
    distances.similarities(batch_codes, batch_size, table.width(), batch_scores, batch_totals);
    for (size_t b = 0; b < batch_size; ++b) {
      out.scores[batch_positions[b]] = batch_scores[b];
      out.distances[batch_positions[b]] = batch_totals[b];
    }
    batch_size = 0;
  };
  for (size_t i = 0; i < ids.size(); ++i) {
    const uint8_t* code = table.get(ids[i]);
    out.present[i] = code != nullptr;
    if (!code) continue;
    batch_codes[batch_size] = code;
    batch_positions[batch_size] = i;
    if (++batch_size == kCodeBatch) flush();
  }
  flush();
}

std::vector<ScoredId> compact_in_order(std::span<const uint32_t> ids, const std::vector<float>& scores,
                                       const std::vector<float>& distances, const std::vector<uint8_t>& present) {
  std::vector<ScoredId> scored;
  scored.reserve(ids.size());
  for (size_t i = 0; i < ids.size(); ++i) {
    if (present[i]) scored.push_back(ScoredId{ids[i], scores[i], distances[i]});
  }
  return scored;
}

}  // namespace

float full_vector_similarity(std::span<const float> query, std::span<const float> stored) {
  if (query.size() == stored.size()) return cosine_by_kernel(query, stored);
  return prefix_cosine(query, stored);
}

// ---- VectorTable ----

std::optional<std::span<const float>> VectorTable::get(uint32_t id) const {
  const VectorPage* page = pages_.find(id);
  if (!page) return std::nullopt;
  const uint32_t slot = PageDirectory<VectorPage, kVectorPageBits>::slot_of(id);
  switch (page->state[slot]) {
    case VectorPage::kAbsent:
      return std::nullopt;
    case VectorPage::kEmptyVector:
      return std::span<const float>();
    default:
      return std::span<const float>(page->rows.data() + size_t{slot} * width_, width_);
  }
}

void VectorTable::put(uint32_t id, std::span<const float> vector) {
  const size_t width = width_ == 0 ? vector.size() : width_;
  if (!vector.empty() && vector.size() != width) {
    throw std::logic_error("vector of length " + std::to_string(vector.size()) + " stored in a table of width " +
                           std::to_string(width));
  }
  VectorPage& page = pages_.get_or_create(id);
  const uint32_t slot = PageDirectory<VectorPage, kVectorPageBits>::slot_of(id);
  if (vector.empty()) {
    page.state[slot] = VectorPage::kEmptyVector;
    return;
  }
  grow_to_cover(page.rows, (size_t{slot} + 1) * width, size_t{VectorPage::kSlots} * width);
  std::copy(vector.begin(), vector.end(), page.rows.begin() + size_t{slot} * width);
  page.state[slot] = VectorPage::kFullVector;
  if (keep_norms_) page.norms[slot] = euclidean_norm(vector);
  width_ = width;
}

void VectorTable::put_batch(std::span<const uint32_t> ids, std::span<const std::span<const float>> rows) {
  size_t width = width_;
  for (const auto& row : rows) {
    if (row.empty()) continue;
    if (width == 0) width = row.size();
    if (row.size() != width) {
      throw std::logic_error("vector of length " + std::to_string(row.size()) + " stored in a table of width " +
                             std::to_string(width));
    }
  }
  // The row each id ends with: its last one.
  std::vector<size_t> kept;
  kept.reserve(ids.size());
  if (std::adjacent_find(ids.begin(), ids.end(), std::greater_equal<uint32_t>()) == ids.end()) {
    for (size_t i = 0; i < ids.size(); ++i) kept.push_back(i);
  } else {
    roaring::Roaring seen;
    for (size_t i = ids.size(); i-- > 0;) {
      if (seen.addChecked(ids[i])) kept.push_back(i);
    }
    std::reverse(kept.begin(), kept.end());
  }

  // Each page grows once, to the highest slot it receives, before any row is copied.
  using Directory = PageDirectory<VectorPage, kVectorPageBits>;
  std::vector<VectorPage*> pages(kept.size());
  std::unordered_map<VectorPage*, size_t> needed_floats;
  for (size_t i = 0; i < kept.size(); ++i) {
    const uint32_t id = ids[kept[i]];
    pages[i] = &pages_.get_or_create(id);
    if (rows[kept[i]].empty()) continue;
    size_t& needed = needed_floats[pages[i]];
    needed = std::max(needed, (size_t{Directory::slot_of(id)} + 1) * width);
  }
  for (auto& [page, needed] : needed_floats) {
    if (page->rows.size() < needed) page->rows.resize(needed);
  }
  if (width != 0) width_ = width;
  tbb::parallel_for(tbb::blocked_range<size_t>(0, kept.size(), 64), [&](const tbb::blocked_range<size_t>& range) {
    for (size_t i = range.begin(); i < range.end(); ++i) {
      const auto& row = rows[kept[i]];
      const uint32_t slot = Directory::slot_of(ids[kept[i]]);
      VectorPage& page = *pages[i];
      if (row.empty()) {
        page.state[slot] = VectorPage::kEmptyVector;
        continue;
      }
      std::copy(row.begin(), row.end(), page.rows.begin() + size_t{slot} * width);
      page.state[slot] = VectorPage::kFullVector;
      if (keep_norms_) page.norms[slot] = euclidean_norm(row);
    }
  });
}

VectorTable VectorTable::from_loaded_pages(bool keep_norms, size_t width, uint64_t length,
                                           std::span<const LoadedPage> pages, std::shared_ptr<const void> mapping) {
  VectorTable table(keep_norms);
  table.width_ = width;
  for (const LoadedPage& loaded : pages) {
    VectorPage& page = table.pages_.get_or_create(loaded.first_id);
    std::copy(std::begin(loaded.state), std::end(loaded.state), page.state);
    std::copy(std::begin(loaded.norms), std::end(loaded.norms), page.norms);
    page.rows.adopt_mapped(loaded.rows, loaded.row_count);
  }
  if (length > 0) table.pages_.get_or_create(static_cast<uint32_t>(length - 1));
  table.mapping_ = std::move(mapping);
  return table;
}

// ---- CodeTable ----

const uint8_t* CodeTable::get(uint32_t id) const {
  const CodePage* page = pages_.find(id);
  if (!page) return nullptr;
  const uint32_t slot = PageDirectory<CodePage, kCodePageBits>::slot_of(id);
  if (!page->present[slot]) return nullptr;
  return page->bytes.data() + size_t{slot} * width_;
}

void CodeTable::put(uint32_t id, const uint8_t* code) {
  CodePage& page = pages_.get_or_create(id);
  const uint32_t slot = PageDirectory<CodePage, kCodePageBits>::slot_of(id);
  // At least one byte, so that a present code is never a null pointer even at width 0.
  const size_t needed = std::max<size_t>((size_t{slot} + 1) * width_, 1);
  grow_to_cover(page.bytes, needed, std::max<size_t>(size_t{CodePage::kSlots} * width_, 1));
  if (width_ > 0) std::memcpy(page.bytes.data() + size_t{slot} * width_, code, width_);
  page.present[slot] = true;
}

void CodeTable::extend_to(uint32_t id) { pages_.get_or_create(id); }

// ---- VectorStorage ----

bool VectorStorage::quantized() const {
  std::shared_lock quantizer_lock(quantizer.lock);
  return quantizer.value != nullptr;
}

Status VectorStorage::store(uint32_t id, std::span<const float> vector) {
  std::unique_lock quantizer_lock(quantizer.lock);
  if (!quantizer.value && vector_slot_count() >= quantize_threshold) {
    Status activated = activate_locked();
    if (!activated.ok()) return activated;
  }
  if (!quantizer.value) {
    std::unique_lock vectors_lock(vectors.lock);
    vectors.value.put(id, vector);
    return ok_status();
  }
  const std::vector<uint8_t> code = quantizer.value->encode(vector);
  std::unique_lock codes_lock(codes.lock);
  codes.value.put(id, code.data());
  return ok_status();
}

uint64_t VectorStorage::vector_slot_count() const {
  std::shared_lock vectors_lock(vectors.lock);
  return vectors.value.length();
}

Status VectorStorage::activate_locked() {
  // The notice comes first: if it fails, the storage is left exactly as it was.
  Status notice = write_activation_notice(quantize_threshold);
  if (!notice.ok()) return notice;

  std::unique_ptr<const ProductQuantizer> trained;
  {
    std::unique_lock codes_lock(codes.lock);
    std::shared_lock vectors_lock(vectors.lock);
    // Training and encoding read the stored vectors in place, under the read lock.
    std::vector<uint32_t> ids;
    std::vector<std::span<const float>> stored;
    vectors.value.for_each([&](uint32_t id, std::span<const float> vector) {
      ids.push_back(id);
      stored.push_back(vector);
    });
    trained = std::make_unique<const ProductQuantizer>(ProductQuantizer::train_views(stored, dimension));

    const size_t width = trained->num_subspaces;
    std::vector<uint8_t> encoded(stored.size() * width);
    tbb::parallel_for(tbb::blocked_range<size_t>(0, stored.size(), kVectorsPerEncodeTask),
                      [&](const tbb::blocked_range<size_t>& range) {
                        trained->encode_batch(std::span(stored).subspan(range.begin(), range.size()),
                                              encoded.data() + range.begin() * width);
                      });

    CodeTable& code_table = codes.value;
    code_table.set_width(width);
    const uint64_t slot_count = vectors.value.length();
    if (slot_count > 0) code_table.extend_to(static_cast<uint32_t>(slot_count - 1));
    for (size_t k = 0; k < ids.size(); ++k) code_table.put(ids[k], encoded.data() + k * width);
  }
  {
    std::unique_lock vectors_lock(vectors.lock);
    vectors.value.clear();
  }
  quantizer.value = std::move(trained);
  return ok_status();
}

std::optional<float> VectorStorage::compute_similarity(std::span<const float> query, uint32_t id) const {
  std::shared_lock quantizer_lock(quantizer.lock);
  if (!quantizer.value) {
    std::shared_lock vectors_lock(vectors.lock);
    const auto stored = vectors.value.get(id);
    if (!stored) return std::nullopt;
    return full_vector_similarity(query, *stored);
  }
  std::shared_lock codes_lock(codes.lock);
  const uint8_t* code = codes.value.get(id);
  if (!code) return std::nullopt;
  return code_similarity(*quantizer.value, query, code, codes.value.width());
}

std::vector<ScoredId> VectorStorage::score_candidates(std::span<const float> query, std::span<const uint32_t> ids,
                                                      bool parallel) const {
  std::shared_lock quantizer_lock(quantizer.lock);
  const ProductQuantizer* active = quantizer.value.get();
  DistanceTable distances;
  if (active) distances = DistanceTable::build(*active, query);

  std::vector<float> scores(ids.size());
  std::vector<float> distances_found(ids.size());
  std::vector<uint8_t> present(ids.size());
  auto score_range = [&](size_t begin, size_t end) {
    const auto slice = ids.subspan(begin, end - begin);
    const ScoreSlots out{scores.data() + begin, distances_found.data() + begin, present.data() + begin};
    if (active) {
      std::shared_lock codes_lock(codes.lock);
      score_code_slice(codes.value, distances, slice, out);
    } else {
      std::shared_lock vectors_lock(vectors.lock);
      score_full_slice(vectors.value, query, slice, out);
    }
  };

  if (parallel && ids.size() > kCandidatesPerTask) {
    tbb::parallel_for(tbb::blocked_range<size_t>(0, ids.size(), kCandidatesPerTask),
                      [&](const tbb::blocked_range<size_t>& range) { score_range(range.begin(), range.end()); });
  } else {
    score_range(0, ids.size());
  }
  return compact_in_order(ids, scores, distances_found, present);
}

std::vector<uint32_t> VectorStorage::scan_ids(uint64_t bound, const roaring::Roaring& excluded) const {
  std::vector<uint32_t> found;
  auto keep = [&](uint64_t id) { return id < bound && !excluded.contains(static_cast<uint32_t>(id)); };

  std::shared_lock quantizer_lock(quantizer.lock);
  if (quantizer.value) {
    std::shared_lock codes_lock(codes.lock);
    codes.value.pages().for_each_page([&](uint64_t first_id, const CodePage& page) {
      if (first_id >= bound) return;
      for (uint32_t slot = 0; slot < CodePage::kSlots; ++slot) {
        if (page.present[slot] && keep(first_id + slot)) found.push_back(static_cast<uint32_t>(first_id + slot));
      }
    });
  } else {
    std::shared_lock vectors_lock(vectors.lock);
    vectors.value.pages().for_each_page([&](uint64_t first_id, const VectorPage& page) {
      if (first_id >= bound) return;
      for (uint32_t slot = 0; slot < VectorPage::kSlots; ++slot) {
        if (page.state[slot] != VectorPage::kAbsent && keep(first_id + slot)) {
          found.push_back(static_cast<uint32_t>(first_id + slot));
        }
      }
    });
  }
  return found;
}

}  // namespace vendrel
