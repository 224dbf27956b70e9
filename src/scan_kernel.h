// Dot products of float32 vectors, by the widest kernel the CPU has (AVX-512, AVX2 with
// FMA, or portable), chosen once at load time so that the module keeps the generic
// instruction set: one pair (the graph's distance), a vector's norm, and the scores of a
// block of queries against a block of rows (the exact scan).
#pragma once

#include <cstddef>
#include <span>

namespace vendrel {

// The dot product of two float32 arrays of `count` components. It keeps several
// independent sums, so the result may differ from a sequential sum in the last bits.
// Pure; safe from any thread.
using DotKernel = float (*)(const float* a, const float* b, size_t count);
extern const DotKernel dot_product;

// The operands of a block of scores. Every pointer is borrowed for the call; every
// vector has `width` floats (width > 0).
struct ScoreBlock {
  const float* const* queries = nullptr;  // query_count vectors
  const double* query_scales = nullptr;   // one factor per query (its inverse norm)
  size_t query_count = 0;
  const float* const* rows = nullptr;     // row_count vectors
  const double* row_scales = nullptr;     // one factor per row (its inverse norm)
  size_t row_count = 0;
  size_t width = 0;
};

// One instruction-set variant of the block scorer.
//
// score writes, for every query q and row r of the block,
//   scores[q * row_count + r] = float(double(dot) * query_scales[q] * row_scales[r]),
// the products taken in that order, where `dot` is the pair's float32 dot product. A
// pair's dot is accumulated the same way wherever it sits in the block and whatever the
// block's shape (one sum per lane in component order, the lanes added by a fixed tree),
// so a score is bit-identical whether the pair is scored alone or among thousands. Rows
// are taken a few at a time (eight with AVX-512) and kept in the first-level cache while
// every query of the block passes over them, so each row is read from memory once per
// block; a block of a few hundred kilobytes of queries stays in the second-level cache.
// Pure; safe from any thread.
struct BlockScorer {
  const char* name;
  void (*score)(const ScoreBlock& block, float* scores);
};

// The variant chosen at load time: the widest the CPU runs.
const BlockScorer& block_scorer();

// Every variant this CPU can run, widest first (for tests and benchmarks, which compare
// them; the database uses block_scorer()).
std::span<const BlockScorer> runnable_block_scorers();

// The Euclidean norm of `vector`: the square root of its dot product with itself as
// block_scorer() accumulates it. Pure.
float euclidean_norm(std::span<const float> vector);

// The norms within which a float32 dot product of two vectors keeps float precision:
// no product or partial sum overflows, and what underflows is negligible beside the
// product of the norms. Vectors outside (zero, tiny or huge: a norm that overflows
// float32 is infinite) are scored by wide_cosine instead, or a huge vector would find
// its opposite at similarity 1.
inline constexpr float kDotNormMin = 0x1p-40f;
inline constexpr float kDotNormMax = 0x1p60f;
inline bool in_dot_range(float norm) { return norm >= kDotNormMin && norm <= kDotNormMax; }

// The cosine similarity of two vectors of equal length, summed in double, where every
// finite float32 vector's squares and products fit: the same for a vector at any
// scale. Two zero vectors score 1 and a zero vector against any other 0, as the float
// kernel has it. Pure.
float wide_cosine(std::span<const float> a, std::span<const float> b);

}  // namespace vendrel
