#include "scan_kernel.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <type_traits>
#include <utility>

#include <simsimd/simsimd.h>
#if defined(__GNUC__) && defined(__x86_64__)
// GCC 12 warns inside its own AVX-512 headers that the "undefined" source operand of
// the shuffle and conversion intrinsics may be used uninitialised (a fault of the
// headers, fixed in GCC 13); the warning is silenced for those headers only.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop
#define VENDREL_X86_KERNELS 1
#endif

namespace vendrel {

namespace {

// ---- One pair ----

float dot_portable(const float* a, const float* b, size_t count) {
  float sums[8] = {};
  size_t j = 0;
  for (; j + 8 <= count; j += 8) {
    for (size_t lane = 0; lane < 8; ++lane) sums[lane] += a[j + lane] * b[j + lane];
  }
  for (; j < count; ++j) sums[0] += a[j] * b[j];
  return ((sums[0] + sums[4]) + (sums[2] + sums[6])) + ((sums[1] + sums[5]) + (sums[3] + sums[7]));
}

#ifdef VENDREL_X86_KERNELS
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
#endif

// ---- Blocks of pairs ----
//
// A tile is kQueries x kRows pairs. Each step loads one register's width of components
// of each of its queries and rows once and adds their products into the pair's own
// accumulator, so a step does kQueries x kRows multiply-adds for kQueries + kRows loads,
// and the block is bound by arithmetic rather than by reading rows. Every pair is summed
// the same way (its lanes in component order, then the lanes by the tree
// ((0+4)+(2+6)) + ((1+5)+(3+7)) over the lane sums folded to eight), whichever tile
// shape computes it: that is what makes a score independent of the block.
//
// The block walks rows in groups of kRows and, for each group, every query of the block,
// so a group's rows stay in the first-level cache while the queries stream past them
// from the second level. The first tile of a group requests the next group's rows early:
// the rows come from memory once per block, the queries from cache.

// What a tile reads and where it writes. `rows`, `row_scales` and `next_rows` have the
// tile's kRows entries (unused ones repeat a real row and have scale 0); only the first
// `rows_used` scores of each query are written, at scores[q * stride + r].
struct Tile {
  const float* const* queries;
  const double* query_scales;
  const float* const* rows;
  const double* row_scales;
  const float* const* next_rows;  // requested early when not null
  size_t rows_used;
  size_t width;
  float* scores;
  size_t stride;
};

inline float scaled(float dot, double query_scale, double row_scale) {
  return static_cast<float>(double{dot} * query_scale * row_scale);
}

inline float fold_eight(const float* lanes) {
  return ((lanes[0] + lanes[4]) + (lanes[2] + lanes[6])) + ((lanes[1] + lanes[5]) + (lanes[3] + lanes[7]));
}

// The loop over a block, shared by every variant: `Isa::tile<Q>` scores Q queries against
// one group of Isa::kRows rows.
template <typename Isa>
void score_block(const ScoreBlock& block, float* scores) {
  constexpr size_t kRows = Isa::kRows;
  constexpr size_t kQueries = Isa::kQueries;
  const float* rows[kRows];
  double row_scales[kRows];
  const float* next_rows[kRows];
  for (size_t first = 0; first < block.row_count; first += kRows) {
    const size_t used = std::min(kRows, block.row_count - first);
    for (size_t r = 0; r < kRows; ++r) {
      rows[r] = block.rows[first + std::min(r, used - 1)];
      row_scales[r] = r < used ? block.row_scales[first + r] : 0.0;
    }
    const size_t next = first + kRows;
    const bool has_next = next < block.row_count;
    for (size_t r = 0; has_next && r < kRows; ++r) {
      next_rows[r] = block.rows[next + std::min(r, block.row_count - next - 1)];
    }
    Tile tile{nullptr, nullptr, rows, row_scales, has_next ? next_rows : nullptr, used, block.width, nullptr,
              block.row_count};
    size_t query = 0;
    auto run = [&](auto tile_queries) {
      tile.queries = block.queries + query;
      tile.query_scales = block.query_scales + query;
      tile.scores = scores + query * block.row_count + first;
      Isa::template tile<decltype(tile_queries)::value>(tile);
      tile.next_rows = nullptr;
      query += decltype(tile_queries)::value;
    };
    while (block.query_count - query >= kQueries) run(std::integral_constant<size_t, kQueries>());
    Isa::remainder(block.query_count - query, run);
  }
}

// Portable: eight float lanes per pair, products and sums rounded separately.
template <size_t kQueries, size_t kRows>
void tile_portable(const Tile& tile) {
  float sums[kQueries][kRows][8] = {};
  size_t j = 0;
  for (; j + 8 <= tile.width; j += 8) {
    for (size_t q = 0; q < kQueries; ++q) {
      for (size_t r = 0; r < kRows; ++r) {
        for (size_t lane = 0; lane < 8; ++lane) sums[q][r][lane] += tile.queries[q][j + lane] * tile.rows[r][j + lane];
      }
    }
  }
  for (size_t q = 0; q < kQueries; ++q) {
    for (size_t r = 0; r < kRows; ++r) {
      for (size_t lane = 0; j + lane < tile.width; ++lane) {
        sums[q][r][lane] += tile.queries[q][j + lane] * tile.rows[r][j + lane];
      }
    }
  }
  for (size_t q = 0; q < kQueries; ++q) {
    for (size_t r = 0; r < tile.rows_used; ++r) {
      tile.scores[q * tile.stride + r] = scaled(fold_eight(sums[q][r]), tile.query_scales[q], tile.row_scales[r]);
    }
  }
}

struct Portable {
  static constexpr size_t kQueries = 2;
  static constexpr size_t kRows = 4;
  template <size_t kTileQueries>
  static void tile(const Tile& tile) {
    tile_portable<kTileQueries, kRows>(tile);
  }
  template <typename Run>
  static void remainder(size_t queries, Run&& run) {
    if (queries == 1) run(std::integral_constant<size_t, 1>());
  }
};

#ifdef VENDREL_X86_KERNELS

// AVX2 with FMA: eight lanes per pair in one register; 3 x 4 accumulators, the three
// queries and one row fill the sixteen registers.
template <size_t kQueries, size_t kRows>
__attribute__((target("avx2,fma"), always_inline)) inline void step_avx2(__m256 (&sums)[kQueries][kRows],
                                                                          const Tile& tile, size_t j,
                                                                          const __m256i* mask) {
  __m256 query_parts[kQueries];
  for (size_t q = 0; q < kQueries; ++q) {
    query_parts[q] = mask ? _mm256_maskload_ps(tile.queries[q] + j, *mask) : _mm256_loadu_ps(tile.queries[q] + j);
  }
  for (size_t r = 0; r < kRows; ++r) {
    const __m256 row = mask ? _mm256_maskload_ps(tile.rows[r] + j, *mask) : _mm256_loadu_ps(tile.rows[r] + j);
    for (size_t q = 0; q < kQueries; ++q) sums[q][r] = _mm256_fmadd_ps(query_parts[q], row, sums[q][r]);
  }
}

template <size_t kQueries, size_t kRows>
__attribute__((target("avx2,fma"))) void tile_avx2(const Tile& tile) {
  __m256 sums[kQueries][kRows];
  for (auto& query_sums : sums) {
    for (auto& sum : query_sums) sum = _mm256_setzero_ps();
  }
  size_t j = 0;
  for (; j + 8 <= tile.width; j += 8) {
    if (tile.next_rows) {
      for (size_t r = 0; r < kRows; ++r) _mm_prefetch(reinterpret_cast<const char*>(tile.next_rows[r] + j), _MM_HINT_T0);
    }
    step_avx2<kQueries, kRows>(sums, tile, j, nullptr);
  }
  if (j < tile.width) {
    alignas(32) int32_t lanes[8];
    for (size_t lane = 0; lane < 8; ++lane) lanes[lane] = j + lane < tile.width ? -1 : 0;
    const __m256i mask = _mm256_load_si256(reinterpret_cast<const __m256i*>(lanes));
    step_avx2<kQueries, kRows>(sums, tile, j, &mask);
  }
  for (size_t q = 0; q < kQueries; ++q) {
    for (size_t r = 0; r < tile.rows_used; ++r) {
      alignas(32) float lanes[8];
      _mm256_store_ps(lanes, sums[q][r]);
      tile.scores[q * tile.stride + r] = scaled(fold_eight(lanes), tile.query_scales[q], tile.row_scales[r]);
    }
  }
}

struct Avx2 {
  static constexpr size_t kQueries = 3;
  static constexpr size_t kRows = 4;
  template <size_t kTileQueries>
  static void tile(const Tile& tile) {
    tile_avx2<kTileQueries, kRows>(tile);
  }
  template <typename Run>
  static void remainder(size_t queries, Run&& run) {
    if (queries == 2) run(std::integral_constant<size_t, 2>());
    if (queries == 1) run(std::integral_constant<size_t, 1>());
  }
};

// GCC 12 reports the placeholder operand of some AVX-512 intrinsics
// (_mm512_undefined_ps, which the instruction never reads) as uninitialised.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"

// AVX-512: sixteen lanes per pair in one register; 3 x 8 accumulators plus the three
// queries and a row stay within the 32 registers. The sixteen lanes are folded to eight
// (lane i plus lane i + 8) and then by the shared tree, sixteen pairs at a time across
// registers, so the fold costs a few shuffles per pair rather than a store and fifteen
// scalar additions.
constexpr size_t kAvx512Rows = 8;

// Folds accumulators kFirst .. kFirst + 15 (zero past kPairs) to their sixteen sums:
// lane p of the result is pair kFirst + p's.
template <size_t kFirst, size_t kPairs, size_t... kLane>
__attribute__((target("avx512f"), always_inline)) inline __m512 fold_sixteen(const __m512 (&sums)[kPairs],
                                                                            std::index_sequence<kLane...>) {
  const __m512 zero = _mm512_setzero_ps();
  const __m512 pairs[16] = {(kFirst + kLane < kPairs ? sums[std::min(kFirst + kLane, kPairs - 1)] : zero)...};
  __m512 eights[8];  // pairs 2i and 2i + 1: lanes i + (i + 8), eight each
#pragma GCC unroll 16
  for (size_t i = 0; i < 8; ++i) {
    const __m512 low = _mm512_shuffle_f32x4(pairs[2 * i], pairs[2 * i + 1], _MM_SHUFFLE(1, 0, 1, 0));
    const __m512 high = _mm512_shuffle_f32x4(pairs[2 * i], pairs[2 * i + 1], _MM_SHUFFLE(3, 2, 3, 2));
    eights[i] = _mm512_add_ps(low, high);
  }
  __m512 fours[4];  // pairs 4i .. 4i + 3, one 128-bit block each: (0 + 4), (1 + 5), (2 + 6), (3 + 7)
#pragma GCC unroll 16
  for (size_t i = 0; i < 4; ++i) {
    const __m512 low = _mm512_shuffle_f32x4(eights[2 * i], eights[2 * i + 1], _MM_SHUFFLE(2, 0, 2, 0));
    const __m512 high = _mm512_shuffle_f32x4(eights[2 * i], eights[2 * i + 1], _MM_SHUFFLE(3, 1, 3, 1));
    fours[i] = _mm512_add_ps(low, high);
  }
  __m512 twos[2];  // block b: pair b of fours[2i] then of fours[2i + 1], ((0+4)+(2+6)) and ((1+5)+(3+7)) each
#pragma GCC unroll 16
  for (size_t i = 0; i < 2; ++i) {
    const __m512 low = _mm512_shuffle_ps(fours[2 * i], fours[2 * i + 1], _MM_SHUFFLE(1, 0, 1, 0));
    const __m512 high = _mm512_shuffle_ps(fours[2 * i], fours[2 * i + 1], _MM_SHUFFLE(3, 2, 3, 2));
    twos[i] = _mm512_add_ps(low, high);
  }
  const __m512 low = _mm512_shuffle_ps(twos[0], twos[1], _MM_SHUFFLE(2, 0, 2, 0));
  const __m512 high = _mm512_shuffle_ps(twos[0], twos[1], _MM_SHUFFLE(3, 1, 3, 1));
  // Lane 4b + c now holds pair 4c + b.
  const __m512i order = _mm512_setr_epi32(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
  return _mm512_permutexvar_ps(order, _mm512_add_ps(low, high));
}

template <size_t kQueries, size_t kPairs>
__attribute__((target("avx512f"), always_inline)) inline void step_avx512(__m512 (&sums)[kPairs],
                                                                           const float* const (&queries)[kQueries],
                                                                           const float* const (&rows)[kAvx512Rows],
                                                                           size_t j, __mmask16 mask) {
  constexpr size_t kRows = kAvx512Rows;
  __m512 query_parts[kQueries];
#pragma GCC unroll 16
  for (size_t q = 0; q < kQueries; ++q) query_parts[q] = _mm512_maskz_loadu_ps(mask, queries[q] + j);
#pragma GCC unroll 16
  for (size_t r = 0; r < kRows; ++r) {
    __m512 row = _mm512_maskz_loadu_ps(mask, rows[r] + j);
    // Kept in a register: folded into each multiply-add as a memory operand, the row
    // would be loaded once per query, and the loads would outnumber what the core issues.
    __asm__("" : "+v"(row));
#pragma GCC unroll 16
    for (size_t q = 0; q < kQueries; ++q) sums[q * kRows + r] = _mm512_fmadd_ps(query_parts[q], row, sums[q * kRows + r]);
  }
}

// Scales and stores the scores of pairs kFirst .. kFirst + 15 (two queries' rows).
template <size_t kFirst, size_t kQueries>
__attribute__((target("avx512f"), always_inline)) inline void store_sixteen(__m512 dots, const Tile& tile,
                                                                             __m512d row_scales, __mmask16 used) {
  constexpr size_t kRows = kAvx512Rows;
  constexpr size_t kQuery = kFirst / kRows;
  const __m512d low = _mm512_cvtps_pd(_mm512_castps512_ps256(dots));
  const __m512d low_score = _mm512_mul_pd(_mm512_mul_pd(low, _mm512_set1_pd(tile.query_scales[kQuery])), row_scales);
  _mm512_mask_storeu_ps(tile.scores + kQuery * tile.stride, used, _mm512_castps256_ps512(_mm512_cvtpd_ps(low_score)));
  if constexpr (kQuery + 1 < kQueries) {
    const __m512d high = _mm512_cvtps_pd(_mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(dots), 1)));
    const __m512d high_score =
        _mm512_mul_pd(_mm512_mul_pd(high, _mm512_set1_pd(tile.query_scales[kQuery + 1])), row_scales);
    _mm512_mask_storeu_ps(tile.scores + (kQuery + 1) * tile.stride, used,
                          _mm512_castps256_ps512(_mm512_cvtpd_ps(high_score)));
  }
}

template <size_t kQueries>
__attribute__((target("avx512f"))) void tile_avx512(const Tile& tile) {
  constexpr size_t kRows = kAvx512Rows;
  constexpr size_t kPairs = kQueries * kRows;
  __m512 sums[kPairs];
#pragma GCC unroll 32
  for (size_t p = 0; p < kPairs; ++p) sums[p] = _mm512_setzero_ps();
  const size_t width = tile.width;
  const float* queries[kQueries];
  const float* rows[kRows];
#pragma GCC unroll 16
  for (size_t q = 0; q < kQueries; ++q) queries[q] = tile.queries[q];
#pragma GCC unroll 16
  for (size_t r = 0; r < kRows; ++r) rows[r] = tile.rows[r];
  size_t j = 0;
  if (tile.next_rows) {
    const float* next[kRows];
#pragma GCC unroll 16
    for (size_t r = 0; r < kRows; ++r) next[r] = tile.next_rows[r];
    for (; j + 16 <= width; j += 16) {
#pragma GCC unroll 16
      for (size_t r = 0; r < kRows; ++r) _mm_prefetch(reinterpret_cast<const char*>(next[r] + j), _MM_HINT_T0);
      step_avx512<kQueries>(sums, queries, rows, j, 0xFFFF);
    }
  }
  for (; j + 16 <= width; j += 16) step_avx512<kQueries>(sums, queries, rows, j, 0xFFFF);
  if (j < width) step_avx512<kQueries>(sums, queries, rows, j, static_cast<__mmask16>((1u << (width - j)) - 1));

  const __mmask16 used = static_cast<__mmask16>((1u << tile.rows_used) - 1);
  const __m512d row_scales = _mm512_loadu_pd(tile.row_scales);
  store_sixteen<0, kQueries>(fold_sixteen<0>(sums, std::make_index_sequence<16>()), tile, row_scales, used);
  if constexpr (kPairs > 16) {
    store_sixteen<16, kQueries>(fold_sixteen<16>(sums, std::make_index_sequence<16>()), tile, row_scales, used);
  }
}

struct Avx512 {
  static constexpr size_t kQueries = 3;
  static constexpr size_t kRows = kAvx512Rows;
  template <size_t kTileQueries>
  static void tile(const Tile& tile) {
    tile_avx512<kTileQueries>(tile);
  }
  template <typename Run>
  static void remainder(size_t queries, Run&& run) {
    if (queries == 2) run(std::integral_constant<size_t, 2>());
    if (queries == 1) run(std::integral_constant<size_t, 1>());
  }
};

#pragma GCC diagnostic pop

#endif

constexpr BlockScorer kPortableScorer{"portable", &score_block<Portable>};
#ifdef VENDREL_X86_KERNELS
constexpr BlockScorer kAvx2Scorer{"avx2", &score_block<Avx2>};
constexpr BlockScorer kAvx512Scorer{"avx512", &score_block<Avx512>};
#endif

struct RunnableScorers {
  BlockScorer scorers[3];
  size_t count = 0;
};

RunnableScorers find_runnable_scorers() {
  RunnableScorers found{{kPortableScorer, kPortableScorer, kPortableScorer}, 0};
#ifdef VENDREL_X86_KERNELS
  const simsimd_capability_t capabilities = simsimd_capabilities();
  if (capabilities & simsimd_cap_skylake_k) found.scorers[found.count++] = kAvx512Scorer;
  if (capabilities & simsimd_cap_haswell_k) found.scorers[found.count++] = kAvx2Scorer;
#endif
  found.scorers[found.count++] = kPortableScorer;
  return found;
}

const RunnableScorers& runnable() {
  static const RunnableScorers scorers = find_runnable_scorers();
  return scorers;
}

// The widest of the variants the CPU runs.
DotKernel choose_dot_product() {
#ifdef VENDREL_X86_KERNELS
  const simsimd_capability_t capabilities = simsimd_capabilities();
  if (capabilities & simsimd_cap_skylake_k) return dot_avx512;
  if (capabilities & simsimd_cap_haswell_k) return dot_avx2;
#endif
  return dot_portable;
}

}  // namespace

const DotKernel dot_product = choose_dot_product();

const BlockScorer& block_scorer() { return runnable().scorers[0]; }

std::span<const BlockScorer> runnable_block_scorers() {
  return std::span<const BlockScorer>(runnable().scorers, runnable().count);
}

float wide_cosine(std::span<const float> a, std::span<const float> b) {
  double dot = 0.0;
  double a_squares = 0.0;
  double b_squares = 0.0;
  for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
    dot += double{a[i]} * double{b[i]};
    a_squares += double{a[i]} * double{a[i]};
    b_squares += double{b[i]} * double{b[i]};
  }
  if (a_squares == 0.0 && b_squares == 0.0) return 1.0f;
  if (a_squares == 0.0 || b_squares == 0.0) return 0.0f;
  const double cosine = dot / (std::sqrt(a_squares) * std::sqrt(b_squares));
  return static_cast<float>(cosine > 1.0 ? 1.0 : cosine < -1.0 ? -1.0 : cosine);  // rounding past ±1
}

float euclidean_norm(std::span<const float> vector) {
  if (vector.empty()) return 0.0f;
  const float* rows[1] = {vector.data()};
  const double unit[1] = {1.0};
  const ScoreBlock block{rows, unit, 1, rows, unit, 1, vector.size()};
  float squares = 0.0f;
  block_scorer().score(block, &squares);
  return std::sqrt(squares);
}

}  // namespace vendrel
