// The exact scan of the full-vector database against a plain sort of every score, on
// the calling thread and on the pool.
#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include <gtest/gtest.h>

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
    all.push_back(ScoredId{id, full_vector_similarity(query, *collection.table.get(id)), 0.0f});
  }
  std::sort(all.begin(), all.end(), ranks_before_by_id);
  if (all.size() > k) all.resize(k);
  return all;
}

// Scores by dot products and kept norms may differ from the kernel's cosine in the last
// bits; `tolerance` is 0 where the scan uses the kernel itself.
void expect_same(const std::vector<ScoredId>& got, const std::vector<ScoredId>& expected, float tolerance) {
  ASSERT_EQ(got.size(), expected.size());
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].id, expected[i].id) << "rank " << i;
    EXPECT_NEAR(got[i].score, expected[i].score, tolerance) << "rank " << i;
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
