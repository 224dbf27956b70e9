#include "graph_index.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "clustered_rows.h"
#include "storage.h"

namespace vendrel {
namespace {

constexpr size_t kDim = 64;

std::vector<float> clustered(size_t count, unsigned seed, std::mt19937& draws) {
  return clustered_rows(count, kDim, seed, draws);
}

std::span<const float> row(const std::vector<float>& rows, size_t i) { return row_of(rows, i, kDim); }

// Stores row i of `rows` under ids[i] in `table`, as the database stores rows before the
// graph links them.
void put_rows(VectorTable& table, const std::vector<uint32_t>& ids, const std::vector<float>& rows) {
  for (size_t i = 0; i < ids.size(); ++i) table.put(ids[i], row(rows, i));
}

double cosine_distance(std::span<const float> a, std::span<const float> b) {
  double dot = 0, norm_a = 0, norm_b = 0;
  for (size_t j = 0; j < a.size(); ++j) {
    dot += double(a[j]) * b[j];
    norm_a += double(a[j]) * a[j];
    norm_b += double(b[j]) * b[j];
  }
  return 1.0 - dot / std::sqrt(norm_a * norm_b);
}

// The brute-force reference: the k nearest of the allowed ids by cosine distance.
std::vector<uint32_t> brute_force(const std::vector<float>& rows, const std::vector<uint32_t>& ids,
                                  std::span<const float> query, size_t k, const roaring::Roaring* allowed = nullptr) {
  std::vector<std::pair<double, uint32_t>> scored;
  for (size_t i = 0; i < ids.size(); ++i) {
    if (allowed == nullptr || allowed->contains(ids[i])) scored.emplace_back(cosine_distance(query, row(rows, i)), ids[i]);
  }
  std::sort(scored.begin(), scored.end());
  std::vector<uint32_t> nearest;
  for (size_t i = 0; i < std::min(k, scored.size()); ++i) nearest.push_back(scored[i].second);
  return nearest;
}

std::vector<uint32_t> ids_of(const std::vector<GraphHit>& hits) {
  std::vector<uint32_t> ids;
  for (const GraphHit& hit : hits) ids.push_back(hit.id);
  return ids;
}

// A graph of 3,000 clustered documents under sparse ids (7 * i + 3), built in one batch.
struct Fixture {
  std::mt19937 draws{5};
  std::vector<float> rows = clustered(3000, 1, draws);
  std::vector<float> queries = clustered(100, 1, draws);
  std::vector<uint32_t> ids;
  VectorTable table{/*keep_norms=*/true};
  GraphIndex graph{&table, kDim};

  Fixture() {
    for (uint32_t i = 0; i < 3000; ++i) ids.push_back(7 * i + 3);
    put_rows(table, ids, rows);
    EXPECT_TRUE(graph.insert_batch(ids).ok());
  }
};

double mean_recall(Fixture& f, const roaring::Roaring* allowed) {
  double found = 0, wanted = 0;
  for (size_t q = 0; q < 100; ++q) {
    const auto truth = brute_force(f.rows, f.ids, row(f.queries, q), 10, allowed);
    auto hits = f.graph.search(row(f.queries, q), 10, 0, allowed ? allowed_in(*allowed) : AllowedIdTest{});
    EXPECT_TRUE(hits.ok());
    for (uint32_t id : ids_of(hits.value())) {
      found += std::count(truth.begin(), truth.end(), id);
      if (allowed) {
        EXPECT_TRUE(allowed->contains(id)) << id;
      }
    }
    wanted += double(truth.size());
  }
  return found / wanted;
}

TEST(GraphIndex, RecallAtTenAgainstBruteForceWithAndWithoutAllowedSet) {
  Fixture f;
  EXPECT_EQ(f.graph.size(), 3000u);
  EXPECT_GE(mean_recall(f, nullptr), 0.95);
  roaring::Roaring tenth;
  for (size_t i = 0; i < f.ids.size(); i += 10) tenth.add(f.ids[i]);
  EXPECT_GE(mean_recall(f, &tenth), 0.95);
  // Every id given a new vector twice: the repaired graph keeps its recall.
  for (unsigned round = 0; round < 2; ++round) {
    f.rows = clustered(3000, 1, f.draws);
    put_rows(f.table, f.ids, f.rows);
    ASSERT_TRUE(f.graph.insert_batch(f.ids).ok());
  }
  EXPECT_EQ(f.graph.replaced(), 6000u);
  EXPECT_GE(mean_recall(f, nullptr), 0.95);
}

TEST(GraphIndex, SmallAllowedSetsReturnEveryReachableAllowedId) {
  Fixture f;
  // 0.2 % and 0.1 % of the graph, scattered: the search must walk past thousands of
  // disallowed nodes and still return min(k, allowed) hits, all of them allowed.
  for (size_t allowed_count : {6u, 3u}) {
    roaring::Roaring allowed;
    for (size_t i = 0; i < allowed_count; ++i) allowed.add(f.ids[(i * 977) % f.ids.size()]);
    for (size_t q = 0; q < 20; ++q) {
      auto hits = f.graph.search(row(f.queries, q), 10, 0, allowed_in(allowed));
      ASSERT_TRUE(hits.ok());
      EXPECT_EQ(hits.value().size(), allowed_count);
      for (uint32_t id : ids_of(hits.value())) EXPECT_TRUE(allowed.contains(id));
    }
  }
  roaring::Roaring fifty;  // more than k: the result is the exact filtered top 10
  for (size_t i = 0; i < 50; ++i) fifty.add(f.ids[(i * 61) % f.ids.size()]);
  for (size_t q = 0; q < 20; ++q) {
    auto hits = f.graph.search(row(f.queries, q), 10, 0, allowed_in(fifty));
    ASSERT_TRUE(hits.ok());
    EXPECT_EQ(ids_of(hits.value()), brute_force(f.rows, f.ids, row(f.queries, q), 10, &fifty));
  }
}

TEST(GraphIndex, DeletedIdsNeverReturnUntilInsertedVisible) {
  Fixture f;
  roaring::Roaring deleted;
  for (size_t i = 0; i < f.ids.size(); i += 2) deleted.add(f.ids[i]);
  deleted.add(999999);  // not in the graph: ignored
  f.graph.mark_deleted(deleted);
  EXPECT_EQ(f.graph.size(), 1500u);
  for (size_t q = 0; q < 20; ++q) {
    auto hits = f.graph.search(row(f.queries, q), 100);
    ASSERT_TRUE(hits.ok());
    EXPECT_EQ(hits.value().size(), 100u);
    for (uint32_t id : ids_of(hits.value())) EXPECT_FALSE(deleted.contains(id)) << id;
  }

  // Inserted again: hidden when the caller keeps it deleted, visible otherwise.
  const uint32_t hidden = f.ids[0], revived = f.ids[2];
  ASSERT_TRUE(f.graph.insert(hidden, /*deleted=*/true).ok());
  ASSERT_TRUE(f.graph.insert(revived).ok());
  EXPECT_FALSE(f.graph.contains(hidden));
  EXPECT_TRUE(f.graph.contains(revived));
  EXPECT_NE(f.graph.search(row(f.rows, 0), 1).value()[0].id, hidden);
  EXPECT_EQ(f.graph.search(row(f.rows, 2), 1).value()[0].id, revived);

  // New ids take over deleted nodes; the ids deleted before stay out of every result.
  std::mt19937 draws(9);
  const std::vector<float> fresh = clustered(1000, 1, draws);
  std::vector<uint32_t> fresh_ids;
  for (uint32_t i = 0; i < 1000; ++i) fresh_ids.push_back(100000 + i);
  const size_t bytes_before = f.graph.memory_bytes();
  put_rows(f.table, fresh_ids, fresh);
  ASSERT_TRUE(f.graph.insert_batch(fresh_ids).ok());
  EXPECT_LE(f.graph.memory_bytes(), bytes_before);  // no growth: the deleted nodes were reused
  EXPECT_EQ(f.graph.size(), 2501u);
  for (size_t i = 0; i < 1000; i += 50) EXPECT_EQ(f.graph.search(row(fresh, i), 1).value()[0].id, fresh_ids[i]);
  for (size_t q = 0; q < 20; ++q) {
    for (uint32_t id : ids_of(f.graph.search(row(f.queries, q), 200).value())) {
      EXPECT_TRUE(id == revived || !deleted.contains(id)) << id;
    }
  }

  // The deleted ids whose nodes were taken over are new again: added back, each gets a
  // node of its own and the new ids keep theirs.
  std::vector<uint32_t> again;
  for (size_t i = 0; i < f.ids.size(); i += 2) again.push_back(f.ids[i]);
  ASSERT_TRUE(f.graph.insert_batch(again).ok());
  EXPECT_EQ(f.graph.size(), 4000u);
  for (size_t i = 0; i < f.ids.size(); i += 50) EXPECT_EQ(f.graph.search(row(f.rows, i), 1).value()[0].id, f.ids[i]);
  for (size_t i = 0; i < 1000; i += 50) EXPECT_EQ(f.graph.search(row(fresh, i), 1).value()[0].id, fresh_ids[i]);
}

TEST(GraphIndex, ReinsertedIdIsFoundAtItsNewVector) {
  Fixture f;
  // Id 3 (row 0) takes row 1,500's vector plus a little noise, away from its old place.
  std::vector<float> moved(row(f.rows, 1500).begin(), row(f.rows, 1500).end());
  for (float& value : moved) value += 0.01f;
  f.table.put(f.ids[0], moved);  // rows are overwritten in place, then the graph repairs
  ASSERT_TRUE(f.graph.insert(f.ids[0]).ok());
  EXPECT_EQ(f.graph.size(), 3000u);
  EXPECT_EQ(f.graph.replaced(), 1u);
  const auto near_new = f.graph.search(moved, 2).value();
  EXPECT_EQ(near_new[0].id, f.ids[0]);
  EXPECT_LT(near_new[0].distance, 1e-3f);
  for (uint32_t id : ids_of(f.graph.search(row(f.rows, 0), 10).value())) EXPECT_NE(id, f.ids[0]);
}

TEST(GraphIndex, BatchInsertEqualsOneByOneAndKeepsTheLastRowOfAnId) {
  std::mt19937 draws(3);
  const std::vector<float> rows = clustered(1200, 2, draws);
  // Ids with one repeat: row 1,199 is id 40 again, so id 40 ends at row 1,199's vector.
  std::vector<uint32_t> ids;
  for (uint32_t i = 0; i < 1199; ++i) ids.push_back(i * 3);
  ids.push_back(40 * 3);
  VectorTable one_by_one_rows(true), batch_rows(true);
  GraphIndex one_by_one(&one_by_one_rows, kDim), batch(&batch_rows, kDim);
  for (size_t i = 0; i < ids.size(); ++i) {
    one_by_one_rows.put(ids[i], row(rows, i));
    ASSERT_TRUE(one_by_one.insert(ids[i]).ok());
  }
  std::vector<std::span<const float>> spans;
  for (size_t i = 0; i < ids.size(); ++i) spans.push_back(row(rows, i));
  batch_rows.put_batch(ids, spans);
  ASSERT_TRUE(batch.insert_batch(ids).ok());
  EXPECT_EQ(one_by_one.size(), 1199u);
  EXPECT_EQ(batch.size(), 1199u);
  for (size_t i = 0; i < ids.size(); ++i) {
    if (i == 40) continue;  // id 120's first row, replaced by row 1,199
    EXPECT_EQ(one_by_one.search(row(rows, i), 1).value()[0].id, ids[i]) << i;
    EXPECT_EQ(batch.search(row(rows, i), 1).value()[0].id, ids[i]) << i;
  }
  roaring::Roaring only_120;
  only_120.add(120);
  for (GraphIndex* graph : {&one_by_one, &batch}) {
    const auto hits = graph->search(row(rows, 40), 1, 0, allowed_in(only_120)).value();
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_NEAR(hits[0].distance, cosine_distance(row(rows, 40), row(rows, 1199)), 1e-4);
  }
}

TEST(GraphIndex, HitsAreAnExactRescoringOfItsCandidatesWithRecallOnRandomVectors) {
  // Unclustered Gaussian vectors, harder for a graph than the mixture above.
  std::mt19937 draws(11);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::vector<float> rows(4000 * kDim), queries(50 * kDim);
  for (float& value : rows) value = normal(draws);
  for (float& value : queries) value = normal(draws);
  std::vector<uint32_t> ids(4000);
  std::iota(ids.begin(), ids.end(), 0u);
  VectorTable table(true);
  put_rows(table, ids, rows);
  GraphIndex graph(&table, kDim);
  ASSERT_TRUE(graph.insert_batch(ids).ok());

  double found = 0;
  for (size_t q = 0; q < 50; ++q) {
    const auto query = row(queries, q);
    const auto candidates = graph.search(query, 64, 64).value();  // the search's whole list
    const auto hits = graph.search(query, 10, 64).value();
    ASSERT_EQ(candidates.size(), 64u);
    // The candidates rescored exactly from the rows, best 10 kept.
    std::vector<std::pair<double, uint32_t>> rescored;
    for (const GraphHit& candidate : candidates) {
      const double exact = cosine_distance(query, row(rows, candidate.id));
      EXPECT_NEAR(candidate.distance, exact, 1e-5);
      rescored.emplace_back(exact, candidate.id);
    }
    std::sort(rescored.begin(), rescored.end());
    ASSERT_EQ(hits.size(), 10u);
    for (size_t i = 0; i < 10; ++i) {
      const bool tied = rescored[i + 1].first - rescored[i].first < 1e-6 || (i > 0 && rescored[i].first - rescored[i - 1].first < 1e-6);
      if (!tied) {
        EXPECT_EQ(hits[i].id, rescored[i].second) << "query " << q << " rank " << i;
      }
    }
    const auto truth = brute_force(rows, ids, query, 10);
    for (const GraphHit& hit : hits) found += std::count(truth.begin(), truth.end(), hit.id);
  }
  EXPECT_GE(found / 500.0, 0.9);
}

TEST(GraphIndex, HeldOutIdIsNeverReturnedAndTheOthersAreFoundAsWithoutIt) {
  Fixture f;
  roaring::Roaring half;
  for (size_t i = 0; i < f.ids.size(); i += 2) half.add(f.ids[i]);
  double found = 0, wanted = 0;
  for (size_t i = 0; i < f.ids.size(); i += 30) {  // 100 stored vectors as their own queries
    const uint32_t held_out = f.ids[i];
    std::vector<uint32_t> others = f.ids;
    others.erase(others.begin() + i);
    std::vector<float> other_rows = f.rows;
    other_rows.erase(other_rows.begin() + i * kDim, other_rows.begin() + (i + 1) * kDim);
    const auto truth = brute_force(other_rows, others, row(f.rows, i), 10);
    const auto hits = f.graph.search(row(f.rows, i), 10, 0, {}, held_out).value();
    ASSERT_EQ(hits.size(), 10u);
    for (const GraphHit& hit : hits) {
      EXPECT_NE(hit.id, held_out);
      found += std::count(truth.begin(), truth.end(), hit.id);
    }
    wanted += 10;
    const auto allowed_hits = f.graph.search(row(f.rows, i), 10, 0, allowed_in(half), held_out).value();
    for (const GraphHit& hit : allowed_hits) {
      EXPECT_NE(hit.id, held_out);
      EXPECT_TRUE(half.contains(hit.id));
    }
  }
  EXPECT_GE(found / wanted, 0.95);
}

TEST(GraphIndex, WrongShapesAreValueErrorsThatChangeNothing) {
  VectorTable table(true);
  GraphIndex graph(&table, kDim);
  std::vector<float> short_vector(kDim - 1, 1.0f);
  auto inserted = graph.insert(1);  // no row stored
  ASSERT_FALSE(inserted.ok());
  EXPECT_EQ(inserted.error().kind, ErrorKind::kValue);
  table.put(2, std::vector<float>(kDim, 1.0f));
  std::vector<uint32_t> ids = {2, 1};
  EXPECT_EQ(graph.insert_batch(ids).error().kind, ErrorKind::kValue);
  EXPECT_FALSE(graph.search(short_vector, 10).ok());
  EXPECT_EQ(graph.size(), 0u);
  EXPECT_TRUE(graph.search(std::vector<float>(kDim, 1.0f), 10).value().empty());
  VectorTable narrow(true);  // rows of another width than the graph's
  narrow.put(1, short_vector);
  EXPECT_EQ(GraphIndex(&narrow, kDim).insert(1).error().kind, ErrorKind::kValue);

  // A zero or non-finite vector is kept, at distance 1 from every query.
  table.put(5, std::vector<float>(kDim, 0.0f));
  std::vector<float> with_nan(kDim, 1.0f);
  with_nan[3] = std::numeric_limits<float>::quiet_NaN();
  table.put(6, with_nan);
  ASSERT_TRUE(graph.insert(5).ok());
  ASSERT_TRUE(graph.insert(6).ok());
  const auto hits = graph.search(std::vector<float>(kDim, 1.0f), 10).value();
  ASSERT_EQ(hits.size(), 2u);
  for (const GraphHit& hit : hits) EXPECT_EQ(hit.distance, 1.0f) << hit.id;
}

}  // namespace
}  // namespace vendrel
