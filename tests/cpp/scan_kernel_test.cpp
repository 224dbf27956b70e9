// The block scorers, every variant this CPU runs: each pair's score against a dot
// product in double precision, and bit for bit against the same pair scored alone.
#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "scan_kernel.h"

namespace vendrel {
namespace {

std::vector<std::vector<float>> random_vectors(std::mt19937& random, size_t count, size_t width) {
  std::normal_distribution<float> normal;
  std::vector<std::vector<float>> vectors(count, std::vector<float>(width));
  for (auto& vector : vectors) {
    for (float& value : vector) value = normal(random);
  }
  return vectors;
}

TEST(BlockScorerTest, EveryPairScoresAsAloneWhateverTheBlockShape) {
  std::mt19937 random(11);
  std::uniform_real_distribution<double> scale(0.25, 4.0);
  // 7 queries and 19 rows leave partial tiles in both directions for every variant.
  constexpr size_t kQueries = 7;
  constexpr size_t kRows = 19;
  for (const BlockScorer& scorer : runnable_block_scorers()) {
    SCOPED_TRACE(scorer.name);
    for (const size_t width : {1, 7, 8, 15, 16, 17, 33, 100}) {
      SCOPED_TRACE(width);
      const auto queries = random_vectors(random, kQueries, width);
      const auto rows = random_vectors(random, kRows, width);
      std::vector<const float*> query_pointers;
      std::vector<const float*> row_pointers;
      std::vector<double> query_scales;
      std::vector<double> row_scales;
      for (const auto& query : queries) {
        query_pointers.push_back(query.data());
        query_scales.push_back(scale(random));
      }
      for (const auto& row : rows) {
        row_pointers.push_back(row.data());
        row_scales.push_back(scale(random));
      }
      std::vector<float> scores(kQueries * kRows);
      scorer.score(ScoreBlock{query_pointers.data(), query_scales.data(), kQueries, row_pointers.data(),
                              row_scales.data(), kRows, width},
                   scores.data());

      for (size_t q = 0; q < kQueries; ++q) {
        for (size_t r = 0; r < kRows; ++r) {
          float alone = 0.0f;
          scorer.score(ScoreBlock{&query_pointers[q], &query_scales[q], 1, &row_pointers[r], &row_scales[r], 1, width},
                       &alone);
          const float in_block = scores[q * kRows + r];
          EXPECT_EQ(std::bit_cast<uint32_t>(alone), std::bit_cast<uint32_t>(in_block)) << "query " << q << " row " << r;

          double exact = 0.0;
          double magnitude = 0.0;
          for (size_t i = 0; i < width; ++i) {
            exact += double{queries[q][i]} * double{rows[r][i]};
            magnitude += std::fabs(double{queries[q][i]} * double{rows[r][i]});
          }
          const double factor = query_scales[q] * row_scales[r];
          EXPECT_NEAR(in_block, exact * factor, 4e-6 * magnitude * factor + 1e-6 * std::fabs(exact * factor))
              << "query " << q << " row " << r;
        }
      }
    }
  }
}

}  // namespace
}  // namespace vendrel
