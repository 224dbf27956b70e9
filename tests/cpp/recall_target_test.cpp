#include "recall_target.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <random>
#include <shared_mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "clustered_rows.h"
#include "scan.h"

namespace vendrel {
namespace {

constexpr size_t kDim = 32;
constexpr double kTarget = 0.95;

// Rows of one mixture (the centres of seed 1).
std::vector<float> clustered(size_t count, std::mt19937& draws) { return clustered_rows(count, kDim, 1, draws); }

std::span<const float> row(const std::vector<float>& rows, size_t i) { return row_of(rows, i, kDim); }

// A database's parts as FullVendrelDB holds them: rows, deleted set, graph, and a scan
// that takes the locks itself, optionally made slower by `scan_delay` (a scan whose
// cost the calibration must weigh) and counted.
struct Database {
  RwLocked<VectorTable> rows;
  RwLocked<roaring::Roaring> deleted;
  GraphIndex graph{&rows.value, kDim};
  std::chrono::microseconds scan_delay{0};
  std::atomic<size_t> scans{0};
  std::function<void()> on_scan;

  Database() { rows.value = VectorTable(/*keep_norms=*/true); }

  void add(const std::vector<float>& vectors, uint32_t first_id) {
    std::vector<uint32_t> ids;
    {
      std::unique_lock guard(rows.lock);
      for (size_t i = 0; i < vectors.size() / kDim; ++i) {
        ids.push_back(first_id + static_cast<uint32_t>(i));
        rows.value.put(ids.back(), row(vectors, i));
      }
    }
    std::shared_lock guard(rows.lock);
    EXPECT_TRUE(graph.insert_batch(ids).ok());
  }

  void remove(const roaring::Roaring& ids) {
    std::unique_lock guard(deleted.lock);
    deleted.value |= ids;
    graph.mark_deleted(ids);
  }

  CalibrationSubject subject() {
    return CalibrationSubject{&rows, &deleted, &graph,
                              [this](std::span<const float> query, uint64_t k, const roaring::Roaring* within) {
                                ++scans;
                                if (on_scan) on_scan();
                                std::this_thread::sleep_for(scan_delay);
                                std::shared_lock deleted_guard(deleted.lock);
                                std::shared_lock rows_guard(rows.lock);
                                return exact_top_k(rows.value, query, k, within, deleted.value, false);
                              }};
  }

  // The graph's recall@k at `ef` on `queries`, against the exact top k of the live
  // allowed rows, keeping ef allowed candidates as a routed search does.
  double recall(const std::vector<float>& queries, uint64_t k, size_t ef, const roaring::Roaring* allowed) {
    double found = 0, wanted = 0;
    std::shared_lock deleted_guard(deleted.lock);
    std::shared_lock rows_guard(rows.lock);
    for (size_t q = 0; q < queries.size() / kDim; ++q) {
      const auto truth = exact_top_k(rows.value, row(queries, q), k, allowed, deleted.value, false);
      auto hits = graph.search(row(queries, q), k, ef, allowed ? allowed_in(*allowed) : AllowedIdTest{});
      EXPECT_TRUE(hits.ok());
      for (const GraphHit& hit : hits.value()) {
        found += std::count_if(truth.begin(), truth.end(), [&](const ScoredId& t) { return t.id == hit.id; });
      }
      wanted += double(truth.size());
    }
    return found / wanted;
  }
};

struct Clustered : ::testing::Test {
  std::mt19937 draws{7};
  Database db;
  std::vector<float> fresh;

  void SetUp() override {
    db.add(clustered(3000, draws), 0);
    fresh = clustered(200, draws);
  }
};

// The rule: the chosen ef is the smallest tried whose margin reaches the target, and it
// holds for queries the sample never saw.
void expect_smallest_reaching(const Calibration& calibration) {
  ASSERT_EQ(calibration.method, SearchMethod::kGraph);
  for (const EfTrial& trial : calibration.trials) {
    if (trial.ef < calibration.ef && trial.queries == calibration.queries) {
      EXPECT_LT(trial.recall_low, kTarget) << trial.ef;
    }
    if (trial.ef == calibration.ef) {
      EXPECT_GE(trial.recall_low, kTarget);
    }
  }
}

TEST_F(Clustered, ChosenEfIsTheSmallestReachingTheTargetAndHoldsOnFreshQueries) {
  db.scan_delay = std::chrono::milliseconds(2);  // a scan far dearer than the graph
  for (uint64_t k : {10, 100}) {
    Result<Calibration> made = calibrate(db.subject(), k, 0, kTarget);
    ASSERT_TRUE(made.ok());
    const Calibration& calibration = made.value();
    EXPECT_EQ(calibration.documents, 3000u);
    EXPECT_EQ(calibration.queries, 200u);
    expect_smallest_reaching(calibration);
    EXPECT_GE(db.recall(fresh, k, calibration.ef, nullptr), kTarget - 0.01) << "k " << k << " ef " << calibration.ef;
    EXPECT_EQ(route_from(calibration, 3000).method, SearchMethod::kGraph);
    EXPECT_EQ(route_from(calibration, 3000).ef, calibration.ef);
  }
}

TEST_F(Clustered, FilteredEfHoldsOnAnotherRandomFilterOfTheSameShare) {
  db.scan_delay = std::chrono::milliseconds(2);
  Result<Calibration> made = calibrate(db.subject(), 10, /*fraction_exponent=*/2, kTarget);
  ASSERT_TRUE(made.ok());
  EXPECT_EQ(made.value().allowed_fraction, 0.25);
  EXPECT_NEAR(double(made.value().scanned_rows), 750.0, 100.0);
  expect_smallest_reaching(made.value());
  roaring::Roaring allowed;
  std::bernoulli_distribution keep(0.3);
  for (uint32_t id = 0; id < 3000; ++id) {
    if (keep(draws)) allowed.add(id);
  }
  EXPECT_GE(db.recall(fresh, 10, made.value().ef, &allowed), kTarget - 0.01);
}

TEST_F(Clustered, ScanChosenWhenTheGraphIsNeverFaster) {
  // A scan that costs nothing: no ef can beat it, and doubling stops at the first.
  CalibrationSubject subject = db.subject();
  subject.scan = [](std::span<const float>, uint64_t, const roaring::Roaring*) { return std::vector<ScoredId>(); };
  Result<Calibration> made = calibrate(subject, 10, 0, kTarget);
  ASSERT_TRUE(made.ok());
  EXPECT_EQ(made.value().method, SearchMethod::kScan);
  EXPECT_EQ(made.value().trials.size(), 1u);
  EXPECT_EQ(route_from(made.value(), 3000).method, SearchMethod::kScan);
}

TEST_F(Clustered, CalibratesAgainOnlyWhenTheCollectionDoublesOrHalves) {
  db.scan_delay = std::chrono::milliseconds(1);
  RecallTarget target(kTarget);
  const auto calibrated_documents = [&] {
    Result<Calibration> current = target.calibration(db.subject(), 10, 0);
    EXPECT_TRUE(current.ok());
    return current.value().documents;
  };
  ASSERT_TRUE(target.route(db.subject(), 10, std::nullopt).ok());
  const size_t scans_once = db.scans;
  EXPECT_GT(scans_once, 0u);
  EXPECT_EQ(calibrated_documents(), 3000u);
  db.add(clustered(2000, draws), 3000);  // 5,000: not yet doubled
  ASSERT_TRUE(target.route(db.subject(), 10, std::nullopt).ok());
  EXPECT_EQ(db.scans, scans_once);
  db.add(clustered(1000, draws), 5000);  // 6,000: doubled
  ASSERT_TRUE(target.route(db.subject(), 10, std::nullopt).ok());
  EXPECT_EQ(calibrated_documents(), 6000u);
  roaring::Roaring half;
  half.addRange(0, 3000);
  db.remove(half);  // 3,000: halved
  ASSERT_TRUE(target.route(db.subject(), 10, std::nullopt).ok());
  EXPECT_EQ(calibrated_documents(), 3000u);
  // k = 100 has a calibration of its own.
  EXPECT_EQ(target.calibration(db.subject(), 70, 0).value().k, 100u);
}

TEST_F(Clustered, ASearchDuringAnotherThreadsFirstCalibrationScansInsteadOfWaiting) {
  RecallTarget target(kTarget);
  std::mutex lock;
  std::condition_variable changed;
  bool calibrating = false;
  bool release = false;
  db.on_scan = [&] {
    std::unique_lock guard(lock);
    calibrating = true;
    changed.notify_all();
    changed.wait(guard, [&] { return release; });
  };
  db.scan_delay = std::chrono::milliseconds(1);
  std::thread first([&] { EXPECT_TRUE(target.route(db.subject(), 10, std::nullopt).ok()); });
  {
    std::unique_lock guard(lock);
    changed.wait(guard, [&] { return calibrating; });
  }
  // No calibration exists yet and the only one runs elsewhere: the exact scan, now.
  Result<SearchRoute> meanwhile = target.route(db.subject(), 10, std::nullopt);
  ASSERT_TRUE(meanwhile.ok());
  EXPECT_EQ(meanwhile.value().method, SearchMethod::kScan);
  {
    std::lock_guard guard(lock);
    release = true;
  }
  changed.notify_all();
  first.join();
  const size_t scans = db.scans;
  Result<SearchRoute> after = target.route(db.subject(), 10, std::nullopt);
  ASSERT_TRUE(after.ok());
  EXPECT_EQ(after.value().method, SearchMethod::kGraph);
  EXPECT_EQ(db.scans, scans);  // made once
}

TEST(RecallTargetBuckets, KAndAllowedShareRoundTowardsTheHarderCase) {
  const std::pair<uint64_t, uint64_t> k_buckets[] = {{1, 1}, {3, 5}, {10, 10}, {11, 20}, {100, 100}, {101, 200}, {999, 1000}};
  for (auto [k, bucket] : k_buckets) EXPECT_EQ(recall_k_bucket(k), bucket) << k;
  EXPECT_EQ(allowed_fraction_exponent(1000, 1000), 0);
  EXPECT_EQ(allowed_fraction_exponent(999, 1000), 0);
  EXPECT_EQ(allowed_fraction_exponent(500, 1000), 1);
  EXPECT_EQ(allowed_fraction_exponent(251, 1000), 1);
  EXPECT_EQ(allowed_fraction_exponent(250, 1000), 2);
  EXPECT_EQ(allowed_fraction_exponent(1, 1000000), 19);
  EXPECT_TRUE(calibration_stale(1000, 2000));
  EXPECT_FALSE(calibration_stale(1000, 1999));
  EXPECT_TRUE(calibration_stale(1000, 500));
  EXPECT_FALSE(calibration_stale(1000, 501));
  // Replaced vectors leave the size as it was: half the documents replaced is stale too.
  Calibration measured;
  measured.documents = 1000;
  measured.replaced = 10;
  EXPECT_FALSE(calibration_stale(measured, 1000, 509));
  EXPECT_TRUE(calibration_stale(measured, 1000, 510));
  EXPECT_TRUE(calibration_stale(measured, 2000, 10));
}

}  // namespace
}  // namespace vendrel
