// The exact scan of the full-vector database against a plain sort of every score, on
// the calling thread and on the pool, one query at a time and in batches.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "scan.h"
#include "storage.h"

namespace vendrel {
namespace {

struct Collection {
  VectorTable table;
  std::vector<uint32_t> ids;
};

Collection random_collection(std::mt19937& random, size_t count, size_t width, bool keep_norms) {
  Collection collection;
  collection.table = VectorTable(keep_norms);
  std::normal_distribution<float> normal;
  std::uniform_int_distribution<uint32_t> spread(0, 40000);
  for (size_t i = 0; i < count; ++i) {
    const uint32_t id = spread(random);
    std::vector<float> vector(width);
    // Every fifth vector repeats one value, so that many scores tie exactly.
    for (float& value : vector) value = i % 5 == 0 ? 1.0f : normal(random);
    collection.table.put(id, vector);
    collection.ids.push_back(id);
  }
  std::sort(collection.ids.begin(), collection.ids.end());
  collection.ids.erase(std::unique(collection.ids.begin(), collection.ids.end()), collection.ids.end());
  return collection;
}

std::vector<ScoredId> reference_top_k(const Collection& collection, std::span<const float> query, uint64_t k,
                                      const roaring::Roaring* within, const roaring::Roaring& excluded) {
  std::vector<ScoredId> all;
  for (uint32_t id : collection.ids) {
    if (excluded.contains(id) || (within && !within->contains(id))) continue;
    all.push_back(ScoredId{id, wide_similarity(query, *collection.table.get(id)), 0.0f});
  }
  std::sort(all.begin(), all.end(), ranks_before_by_id);
  if (all.size() > k) all.resize(k);
  return all;
}

// Scores by dot products and kept norms may differ from the wide cosine in the last bits;
// `tolerance` is 0 where the scan uses the wide cosine itself.
void expect_same(const std::vector<ScoredId>& got, const std::vector<ScoredId>& expected, float tolerance) {
  ASSERT_EQ(got.size(), expected.size());
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].id, expected[i].id) << "rank " << i;
    if (std::isnan(expected[i].score)) {
      EXPECT_TRUE(std::isnan(got[i].score)) << "rank " << i;
    } else {
      EXPECT_NEAR(got[i].score, expected[i].score, tolerance) << "rank " << i;
    }
  }
}

class ExactScanTest : public ::testing::TestWithParam<bool> {};

TEST_P(ExactScanTest, SerialAndParallelScansEqualSortingEveryScore) {
  std::mt19937 random(7);
  const bool keep_norms = GetParam();
  const float tolerance = keep_norms ? 1e-6f : 0.0f;
  const Collection collection = random_collection(random, 3000, 37, keep_norms);
  roaring::Roaring excluded;
  roaring::Roaring within;
  for (size_t i = 0; i < collection.ids.size(); ++i) {
    if (i % 7 == 0) excluded.add(collection.ids[i]);
    if (i % 3 == 0) within.add(collection.ids[i]);
  }
  within.add(40001);  // in the filter but never stored: no score
  std::vector<float> query(37);
  std::normal_distribution<float> normal;
  for (float& value : query) value = normal(random);
  const std::vector<float> tied_query(37, 1.0f);

  for (const auto& q : {query, tied_query}) {
    for (uint64_t k : {uint64_t{0}, uint64_t{1}, uint64_t{10}, uint64_t{500}, uint64_t{1} << 40}) {
      for (const roaring::Roaring* filter : {static_cast<const roaring::Roaring*>(nullptr), static_cast<const roaring::Roaring*>(&within)}) {
        const auto expected = reference_top_k(collection, q, k, filter, excluded);
        expect_same(exact_top_k(collection.table, q, k, filter, excluded, false), expected, tolerance);
        expect_same(exact_top_k(collection.table, q, k, filter, excluded, true), expected, tolerance);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(WithAndWithoutNorms, ExactScanTest, ::testing::Bool());

// Rows and queries that the dot products cannot score, each taking wide_similarity:
// empty rows, rows of zero, infinite and NaN norm; queries of zero and NaN norm, shorter,
// longer and empty.
void add_odd_rows(Collection& collection, size_t width) {
  const uint32_t first = 40001;
  collection.table.put(first, std::vector<float>{});
  collection.table.put(first + 1, std::vector<float>(width, 0.0f));
  std::vector<float> infinite(width, 1.0f);
  infinite[3] = std::numeric_limits<float>::infinity();
  collection.table.put(first + 2, infinite);
  std::vector<float> not_a_number(width, 0.5f);
  not_a_number[1] = NAN;
  collection.table.put(first + 3, not_a_number);
  for (uint32_t id = first; id < first + 4; ++id) collection.ids.push_back(id);
}

std::vector<std::vector<float>> mixed_queries(std::mt19937& random, size_t count, size_t width) {
  std::normal_distribution<float> normal;
  std::vector<std::vector<float>> queries;
  for (size_t i = 0; i < count; ++i) {
    std::vector<float> query(width);
    for (float& value : query) value = normal(random);
    queries.push_back(query);
  }
  // Ties every row that repeats one value, below 1: the kernel's cosine gives exactly 1
  // to a row holding NaN, and the scores of these rows must not tie with it.
  std::vector<float> tied(width, 1.0f);
  tied[0] = 0.5f;
  queries.push_back(tied);
  queries.emplace_back(width, 0.0f);
  std::vector<float> not_a_number(width, 1.0f);
  not_a_number[0] = NAN;
  queries.push_back(not_a_number);
  queries.emplace_back(width / 2, 1.0f);
  queries.emplace_back(width + 5, -1.0f);
  queries.emplace_back();
  // The odd ones among the others, so that they fall inside blocks of dot queries.
  std::shuffle(queries.begin(), queries.end(), random);
  return queries;
}

std::vector<std::span<const float>> views_of(const std::vector<std::vector<float>>& vectors) {
  return std::vector<std::span<const float>>(vectors.begin(), vectors.end());
}

class BatchScanTest : public ::testing::TestWithParam<bool> {};

TEST_P(BatchScanTest, EveryQueryOfAMixedBatchEqualsSortingEveryScore) {
  std::mt19937 random(17);
  const bool keep_norms = GetParam();
  const float tolerance = keep_norms ? 1e-6f : 0.0f;
  Collection collection = random_collection(random, 2000, 37, keep_norms);
  add_odd_rows(collection, 37);
  roaring::Roaring excluded;
  roaring::Roaring within;
  for (size_t i = 0; i < collection.ids.size(); ++i) {
    if (i % 7 == 0) excluded.add(collection.ids[i]);
    if (i % 3 != 1) within.add(collection.ids[i]);
  }
  const auto queries = mixed_queries(random, 12, 37);
  const auto views = views_of(queries);

  for (const uint64_t k : {uint64_t{1}, uint64_t{10}, uint64_t{100}}) {
    for (const roaring::Roaring* filter : {static_cast<const roaring::Roaring*>(nullptr), static_cast<const roaring::Roaring*>(&within)}) {
      for (const bool parallel : {false, true}) {
        const auto found = exact_top_k_many(collection.table, views, k, filter, excluded, parallel);
        ASSERT_EQ(found.size(), queries.size());
        for (size_t q = 0; q < queries.size(); ++q) {
          SCOPED_TRACE(::testing::Message() << "query " << q << ", k " << k << ", filter " << (filter != nullptr));
          expect_same(found[q], reference_top_k(collection, queries[q], k, filter, excluded), tolerance);
        }
      }
    }
  }
  EXPECT_TRUE(exact_top_k_many(collection.table, {}, 10, nullptr, excluded, true).empty());
  const auto none = exact_top_k_many(collection.table, views, 0, nullptr, excluded, true);
  ASSERT_EQ(none.size(), queries.size());
  for (const auto& hits : none) EXPECT_TRUE(hits.empty());
}

INSTANTIATE_TEST_SUITE_P(WithAndWithoutNorms, BatchScanTest, ::testing::Bool());

// Wide enough that the batch spans two blocks of queries and the rows several pieces:
// every score of every query, batch against single scan, bit for bit.
TEST(BatchScanScoresTest, ABatchAndAListOfIdsScoreEachQueryBitForBitAsItsOwnScan) {
  std::mt19937 random(23);
  constexpr size_t kWidth = 700;
  Collection collection = random_collection(random, 700, kWidth, /*keep_norms=*/true);
  add_odd_rows(collection, kWidth);
  roaring::Roaring excluded;
  roaring::Roaring within;
  for (size_t i = 0; i < collection.ids.size(); ++i) {
    if (i % 11 == 0) excluded.add(collection.ids[i]);
    if (i % 2 == 0) within.add(collection.ids[i]);
  }
  const auto queries = mixed_queries(random, 100, kWidth);
  const auto views = views_of(queries);
  const uint64_t every_row = uint64_t{1} << 40;

  for (const roaring::Roaring* filter : {static_cast<const roaring::Roaring*>(nullptr), static_cast<const roaring::Roaring*>(&within)}) {
    const auto batch = exact_top_k_many(collection.table, views, every_row, filter, excluded, true);
    ASSERT_EQ(batch.size(), queries.size());
    for (size_t q = 0; q < queries.size(); ++q) {
      const auto alone = exact_top_k(collection.table, queries[q], every_row, filter, excluded, false);
      std::vector<std::vector<ScoredId>> same_answers{batch[q]};
      if (filter) {  // and scored from the list of ids instead of the set
        std::vector<uint32_t> ids(filter->cardinality());
        filter->toUint32Array(ids.data());
        same_answers.push_back(exact_top_k_of(collection.table, queries[q], every_row, ids, excluded, q % 2 == 0));
      }
      for (const auto& answer : same_answers) {
        ASSERT_EQ(answer.size(), alone.size()) << "query " << q;
        for (size_t i = 0; i < alone.size(); ++i) {
          ASSERT_EQ(answer[i].id, alone[i].id) << "query " << q << " rank " << i;
          ASSERT_EQ(std::bit_cast<uint32_t>(answer[i].score), std::bit_cast<uint32_t>(alone[i].score))
              << "query " << q << " rank " << i;
        }
      }
    }
  }
}

// More queries than one pass over the rows takes: each answer still belongs to its query.
TEST(BatchScanScoresTest, ABatchOfSeveralPassesAnswersEveryQueryAsItsOwnScan) {
  std::mt19937 random(29);
  const Collection collection = random_collection(random, 300, 16, /*keep_norms=*/true);
  const auto queries = mixed_queries(random, 5000, 16);
  const auto found = exact_top_k_many(collection.table, views_of(queries), 3, nullptr, roaring::Roaring(), true);
  ASSERT_EQ(found.size(), queries.size());
  for (size_t q = 0; q < queries.size(); ++q) {
    const auto alone = exact_top_k(collection.table, queries[q], 3, nullptr, roaring::Roaring(), false);
    ASSERT_EQ(found[q].size(), alone.size()) << "query " << q;
    for (size_t i = 0; i < alone.size(); ++i) {
      ASSERT_EQ(found[q][i].id, alone[i].id) << "query " << q << " rank " << i;
      ASSERT_EQ(std::bit_cast<uint32_t>(found[q][i].score), std::bit_cast<uint32_t>(alone[i].score));
    }
  }
}

TEST(ExactScanOrderTest, EmptyVectorsScoreZeroAndNanScoresRankLast) {
  VectorTable table(/*keep_norms=*/true);
  table.put(4, std::vector<float>{});
  table.put(9, std::vector<float>{1.0f, 0.0f});
  table.put(7, std::vector<float>{-1.0f, 0.0f});
  const std::vector<float> query{1.0f, 0.0f};
  const auto top = exact_top_k(table, query, 10, nullptr, roaring::Roaring(), false);
  ASSERT_EQ(top.size(), 3u);
  EXPECT_EQ(top[0].id, 9u);
  EXPECT_EQ(top[1].id, 4u);
  EXPECT_EQ(top[1].score, 0.0f);
  EXPECT_EQ(top[2].id, 7u);

  TopK best(3);
  for (const ScoredId& entry : {ScoredId{5, NAN}, ScoredId{3, 0.5f}, ScoredId{1, NAN}, ScoredId{8, 0.5f}}) {
    best.offer(entry);
  }
  const auto kept = std::move(best).sorted();
  ASSERT_EQ(kept.size(), 3u);
  EXPECT_EQ(kept[0].id, 3u);
  EXPECT_EQ(kept[1].id, 8u);
  EXPECT_EQ(kept[2].id, 1u);
}

}  // namespace
}  // namespace vendrel
