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
#if defined(__GNUC__) && defined(__x86_64__)
#include <immintrin.h>
#endif
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/parallel_reduce.h>

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

// ---- Dot products, four rows per pass ----
//
// The exact scan of a table that keeps norms scores a row by its dot product with the
// query divided by both norms. Four rows share each load of the query and keep eight
// independent sums between them, so the scan is bound by memory rather than by the
// latency of one chain of additions. Variants for AVX-512 and AVX2 (with FMA) are chosen
// once from SimSIMD's capability detection; the portable one serves everything else.

using DotFour = void (*)(const float* query, const float* const* rows, size_t width, float* dots);

float dot_portable(const float* a, const float* b, size_t count) {
  float sums[8] = {};
  size_t j = 0;
  for (; j + 8 <= count; j += 8) {
    for (size_t lane = 0; lane < 8; ++lane) sums[lane] += a[j + lane] * b[j + lane];
  }
  for (; j < count; ++j) sums[0] += a[j] * b[j];
  return ((sums[0] + sums[4]) + (sums[2] + sums[6])) + ((sums[1] + sums[5]) + (sums[3] + sums[7]));
}

void dot_four_portable(const float* query, const float* const* rows, size_t width, float* dots) {
  for (size_t r = 0; r < 4; ++r) {
    float sums[8] = {};
    size_t j = 0;
    for (; j + 8 <= width; j += 8) {
      for (size_t lane = 0; lane < 8; ++lane) sums[lane] += query[j + lane] * rows[r][j + lane];
    }
    for (; j < width; ++j) sums[0] += query[j] * rows[r][j];
    dots[r] = ((sums[0] + sums[4]) + (sums[2] + sums[6])) + ((sums[1] + sums[5]) + (sums[3] + sums[7]));
  }
}

#if defined(__GNUC__) && defined(__x86_64__)
__attribute__((target("avx2,fma"))) void dot_four_avx2(const float* query, const float* const* rows, size_t width,
                                                      float* dots) {
  __m256 sums[4][2];
  for (auto& row_sums : sums) row_sums[0] = row_sums[1] = _mm256_setzero_ps();
  size_t j = 0;
  for (; j + 16 <= width; j += 16) {
    const __m256 low = _mm256_loadu_ps(query + j);
    const __m256 high = _mm256_loadu_ps(query + j + 8);
    for (size_t r = 0; r < 4; ++r) {
      sums[r][0] = _mm256_fmadd_ps(low, _mm256_loadu_ps(rows[r] + j), sums[r][0]);
      sums[r][1] = _mm256_fmadd_ps(high, _mm256_loadu_ps(rows[r] + j + 8), sums[r][1]);
    }
  }
  for (size_t r = 0; r < 4; ++r) {
    alignas(32) float lanes[8];
    _mm256_store_ps(lanes, _mm256_add_ps(sums[r][0], sums[r][1]));
    float total = ((lanes[0] + lanes[4]) + (lanes[2] + lanes[6])) + ((lanes[1] + lanes[5]) + (lanes[3] + lanes[7]));
    for (size_t tail = j; tail < width; ++tail) total += query[tail] * rows[r][tail];
    dots[r] = total;
  }
}

__attribute__((target("avx2,fma"))) float dot_avx2(const float* a, const float* b, size_t count) {
  __m256 sums[4] = {_mm256_setzero_ps(), _mm256_setzero_ps(), _mm256_setzero_ps(), _mm256_setzero_ps()};
  size_t j = 0;
  for (; j + 32 <= count; j += 32) {
    for (size_t part = 0; part < 4; ++part) {
      sums[part] = _mm256_fmadd_ps(_mm256_loadu_ps(a + j + 8 * part), _mm256_loadu_ps(b + j + 8 * part), sums[part]);
    }
  }
  for (; j + 8 <= count; j += 8) sums[0] = _mm256_fmadd_ps(_mm256_loadu_ps(a + j), _mm256_loadu_ps(b + j), sums[0]);
  alignas(32) float lanes[8];
  _mm256_store_ps(lanes, _mm256_add_ps(_mm256_add_ps(sums[0], sums[1]), _mm256_add_ps(sums[2], sums[3])));
  float total = ((lanes[0] + lanes[4]) + (lanes[2] + lanes[6])) + ((lanes[1] + lanes[5]) + (lanes[3] + lanes[7]));
  for (; j < count; ++j) total += a[j] * b[j];
  return total;
}

__attribute__((target("avx512f"))) float dot_avx512(const float* a, const float* b, size_t count) {
  __m512 sums[4] = {_mm512_setzero_ps(), _mm512_setzero_ps(), _mm512_setzero_ps(), _mm512_setzero_ps()};
  size_t j = 0;
  for (; j + 64 <= count; j += 64) {
    for (size_t part = 0; part < 4; ++part) {
      sums[part] =
          _mm512_fmadd_ps(_mm512_loadu_ps(a + j + 16 * part), _mm512_loadu_ps(b + j + 16 * part), sums[part]);
    }
  }
  for (; j < count; j += 16) {
    const __mmask16 mask = count - j >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << (count - j)) - 1);
    sums[0] = _mm512_fmadd_ps(_mm512_maskz_loadu_ps(mask, a + j), _mm512_maskz_loadu_ps(mask, b + j), sums[0]);
  }
  alignas(64) float lanes[16];
  _mm512_store_ps(lanes, _mm512_add_ps(_mm512_add_ps(sums[0], sums[1]), _mm512_add_ps(sums[2], sums[3])));
  float halves[8];
  for (size_t lane = 0; lane < 8; ++lane) halves[lane] = lanes[lane] + lanes[lane + 8];
  return ((halves[0] + halves[4]) + (halves[2] + halves[6])) + ((halves[1] + halves[5]) + (halves[3] + halves[7]));
}

__attribute__((target("avx512f"))) void dot_four_avx512(const float* query, const float* const* rows, size_t width,
                                                       float* dots) {
  __m512 sums[4][2];
  for (auto& row_sums : sums) row_sums[0] = row_sums[1] = _mm512_setzero_ps();
  size_t j = 0;
  for (; j + 32 <= width; j += 32) {
    const __m512 low = _mm512_loadu_ps(query + j);
    const __m512 high = _mm512_loadu_ps(query + j + 16);
    for (size_t r = 0; r < 4; ++r) {
      sums[r][0] = _mm512_fmadd_ps(low, _mm512_loadu_ps(rows[r] + j), sums[r][0]);
      sums[r][1] = _mm512_fmadd_ps(high, _mm512_loadu_ps(rows[r] + j + 16), sums[r][1]);
    }
  }
  for (; j < width; j += 16) {
    const __mmask16 mask = width - j >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << (width - j)) - 1);
    const __m512 part = _mm512_maskz_loadu_ps(mask, query + j);
    for (size_t r = 0; r < 4; ++r) {
      sums[r][0] = _mm512_fmadd_ps(part, _mm512_maskz_loadu_ps(mask, rows[r] + j), sums[r][0]);
    }
  }
  for (size_t r = 0; r < 4; ++r) {
    alignas(64) float lanes[16];
    _mm512_store_ps(lanes, _mm512_add_ps(sums[r][0], sums[r][1]));
    float halves[8];
    for (size_t lane = 0; lane < 8; ++lane) halves[lane] = lanes[lane] + lanes[lane + 8];
    dots[r] = ((halves[0] + halves[4]) + (halves[2] + halves[6])) + ((halves[1] + halves[5]) + (halves[3] + halves[7]));
  }
}
#endif

// The widest of the variants the CPU runs.
template <typename Kernel>
Kernel choose(Kernel avx512, Kernel avx2, Kernel portable) {
#if defined(__GNUC__) && defined(__x86_64__)
  const simsimd_capability_t capabilities = simsimd_capabilities();
  if (capabilities & simsimd_cap_skylake_k) return avx512;
  if (capabilities & simsimd_cap_haswell_k) return avx2;
#else
  (void)avx512;
  (void)avx2;
#endif
  return portable;
}

#if defined(__GNUC__) && defined(__x86_64__)
const DotFour dot_four = choose<DotFour>(dot_four_avx512, dot_four_avx2, dot_four_portable);
#else
const DotFour dot_four = dot_four_portable;
#endif

float euclidean_norm(std::span<const float> vector) {
  const float* rows[4] = {vector.data(), vector.data(), vector.data(), vector.data()};
  float dots[4];
  dot_four(vector.data(), rows, vector.size(), dots);
  return std::sqrt(dots[0]);
}

// A query as the exact scan uses it: by dot products when the table keeps norms, the
// lengths match and the query's norm is a positive number.
struct ScanQuery {
  std::span<const float> values;
  float norm = 0.0f;
  bool by_dot = false;

  ScanQuery(const VectorTable& table, std::span<const float> query) : values(query) {
    if (!table.keeps_norms() || query.size() != table.width() || query.empty()) return;
    norm = euclidean_norm(query);
    by_dot = std::isfinite(norm) && norm > 0.0f;
  }
};

// Collects rows four at a time and offers their scores to a TopK.
class RowScorer {
 public:
  RowScorer(const ScanQuery& query, TopK& best) : query_(query), best_(best) {}
  ~RowScorer() { flush(); }

  void score(uint32_t id, std::span<const float> row, float norm) {
    if (!query_.by_dot || !(std::isfinite(norm) && norm > 0.0f) || row.size() != query_.values.size()) {
      best_.offer(ScoredId{id, full_vector_similarity(query_.values, row), 0.0f});
      return;
    }
    ids_[count_] = id;
    rows_[count_] = row.data();
    norms_[count_] = norm;
    if (++count_ == 4) flush();
  }

  void flush() {
    if (count_ == 0) return;
    for (size_t r = count_; r < 4; ++r) rows_[r] = rows_[0];
    float dots[4];
    dot_four(query_.values.data(), rows_, query_.values.size(), dots);
    for (size_t r = 0; r < count_; ++r) {
      const double cosine = double{dots[r]} / (double{query_.norm} * double{norms_[r]});
      best_.offer(ScoredId{ids_[r], static_cast<float>(cosine), 0.0f});
    }
    count_ = 0;
  }

 private:
  const ScanQuery& query_;
  TopK& best_;
  uint32_t ids_[4] = {};
  const float* rows_[4] = {};
  float norms_[4] = {};
  size_t count_ = 0;
};

// Rows per task of the parallel exact scan: a few hundred kilobytes of vectors each.
constexpr size_t kExactScanPagesPerTask = 4;
constexpr size_t kExactScanIdsPerTask = 256;

using PageRef = std::pair<uint64_t, const VectorPage*>;  // (first id, page)

// Rows ahead of the one being scored whose memory is requested early: rows of a filter
// set lie apart, out of reach of the hardware prefetcher, and scoring one row is shorter
// than fetching the next from memory.
constexpr size_t kPrefetchRowsAhead = 4;

void prefetch_row(std::span<const float> row) {
  const auto* bytes = reinterpret_cast<const char*>(row.data());
  for (size_t offset = 0; offset < row.size_bytes(); offset += 64) __builtin_prefetch(bytes + offset);
}

void score_page(const VectorPage& page, uint64_t first_id, size_t width, const ScanQuery& query,
                const roaring::Roaring& excluded, TopK& best) {
  const bool check_excluded = !excluded.isEmpty();
  RowScorer scorer(query, best);
  for (uint32_t slot = 0; slot < VectorPage::kSlots; ++slot) {
    if (slot + kPrefetchRowsAhead < VectorPage::kSlots && page.state[slot + kPrefetchRowsAhead] == VectorPage::kFullVector) {
      prefetch_row(std::span<const float>(page.rows.data() + size_t{slot + kPrefetchRowsAhead} * width, width));
    }
    if (page.state[slot] == VectorPage::kAbsent) continue;
    const auto id = static_cast<uint32_t>(first_id + slot);
    if (check_excluded && excluded.contains(id)) continue;
    const std::span<const float> row = page.state[slot] == VectorPage::kEmptyVector
                                           ? std::span<const float>()
                                           : std::span<const float>(page.rows.data() + size_t{slot} * width, width);
    scorer.score(id, row, page.norms[slot]);
  }
}

void score_ids(const VectorTable& table, std::span<const uint32_t> ids, const ScanQuery& query, TopK& best) {
  RowScorer scorer(query, best);
  for (size_t i = 0; i < ids.size(); ++i) {
    if (i + kPrefetchRowsAhead < ids.size()) {
      if (const auto ahead = table.get(ids[i + kPrefetchRowsAhead])) prefetch_row(*ahead);
    }
    const VectorPage* page = table.pages().find(ids[i]);
    const auto row = table.get(ids[i]);
    if (row) scorer.score(ids[i], *row, page->norms[PageDirectory<VectorPage, kVectorPageBits>::slot_of(ids[i])]);
  }
}

// The body of the parallel exact scan: each task keeps its own TopK, and tasks merge
// pairwise (the imperative form, so a kept list is never copied per chunk).
template <typename Score>
struct TopKReduction {
  uint64_t k;
  const Score* score;
  TopK best;

  TopKReduction(uint64_t k_wanted, const Score* score_range) : k(k_wanted), score(score_range), best(k_wanted) {}
  TopKReduction(TopKReduction& other, tbb::split) : k(other.k), score(other.score), best(other.k) {}
  void operator()(const tbb::blocked_range<size_t>& range) { (*score)(range.begin(), range.end(), best); }
  void join(TopKReduction& other) { best.merge(std::move(other.best)); }
};

// Runs score(begin, end, best) over [0, count), on the pool when `parallel`.
template <typename Score>
TopK reduce_top_k(size_t count, size_t grain, uint64_t k, bool parallel, const Score& score) {
  TopKReduction<Score> reduction(k, &score);
  if (!parallel || count <= grain) {
    score(size_t{0}, count, reduction.best);
  } else {
    tbb::parallel_reduce(tbb::blocked_range<size_t>(0, count, grain), reduction);
  }
  return std::move(reduction.best);
}

}  // namespace

float full_vector_similarity(std::span<const float> query, std::span<const float> stored) {
  if (query.size() == stored.size()) return cosine_by_kernel(query, stored);
  return prefix_cosine(query, stored);
}

#if defined(__GNUC__) && defined(__x86_64__)
const DotKernel dot_product = choose<DotKernel>(dot_avx512, dot_avx2, dot_portable);
#else
const DotKernel dot_product = dot_portable;
#endif

// ---- TopK ----

void TopK::offer(ScoredId entry) {
  if (k_ == 0) return;
  if (heap_.size() < k_) {
    heap_.push_back(entry);
    std::push_heap(heap_.begin(), heap_.end(), ranks_before_by_id);
    return;
  }
  if (!ranks_before_by_id(entry, heap_.front())) return;
  std::pop_heap(heap_.begin(), heap_.end(), ranks_before_by_id);
  heap_.back() = entry;
  std::push_heap(heap_.begin(), heap_.end(), ranks_before_by_id);
}

void TopK::merge(TopK&& other) {
  for (const ScoredId& entry : other.heap_) offer(entry);
}

std::vector<ScoredId> TopK::sorted() && {
  std::sort_heap(heap_.begin(), heap_.end(), ranks_before_by_id);
  return std::move(heap_);
}

std::vector<ScoredId> exact_top_k(const VectorTable& table, std::span<const float> query, uint64_t k,
                                  const roaring::Roaring* within, const roaring::Roaring& excluded, bool parallel) {
  if (k == 0) return {};
  const ScanQuery scan_query(table, query);
  if (within) {
    const roaring::Roaring live = *within - excluded;
    std::vector<uint32_t> ids(live.cardinality());
    live.toUint32Array(ids.data());
    TopK best = reduce_top_k(ids.size(), kExactScanIdsPerTask, k, parallel, [&](size_t begin, size_t end, TopK& top) {
      score_ids(table, std::span<const uint32_t>(ids).subspan(begin, end - begin), scan_query, top);
    });
    return std::move(best).sorted();
  }
  std::vector<PageRef> pages;
  table.pages().for_each_page([&](uint64_t first_id, const VectorPage& page) { pages.emplace_back(first_id, &page); });
  TopK best = reduce_top_k(pages.size(), kExactScanPagesPerTask, k, parallel, [&](size_t begin, size_t end, TopK& top) {
    for (size_t i = begin; i < end; ++i) {
      score_page(*pages[i].second, pages[i].first, table.width(), scan_query, excluded, top);
    }
  });
  return std::move(best).sorted();
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
