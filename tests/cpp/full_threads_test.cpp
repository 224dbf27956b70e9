// FullVendrelDB from several threads at once: writers (add, add_many, delete, sweeps,
// checkpoints) and readers (search, search_many, count, build_results) on one database,
// in memory and durable, exact and with the graph. Every answer must be well formed
// (sorted, only live ids that were added) and the final state must equal a model's.
// scripts/tsan.sh runs these tests under ThreadSanitizer.
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cmath>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <tbb/global_control.h>

#include "full_core.h"
#include "temp_directory.h"

namespace vendrel {
namespace {

constexpr size_t kDimension = 8;
constexpr size_t kThreads = 4;
constexpr int kStepsPerThread = 150;

std::vector<float> vector_of(uint32_t id) {
  std::mt19937 random(id);
  std::normal_distribution<float> normal;
  std::vector<float> vector(kDimension);
  for (float& value : vector) value = normal(random);
  return vector;
}

std::string metadata_of(uint32_t id) { return "{\"sid\":\"" + std::to_string(id) + "\",\"g\":" + std::to_string(id % 3) + "}"; }

struct Shared {
  std::mutex lock;
  std::set<uint32_t> added;    // acknowledged adds
  std::set<uint32_t> deleted;  // acknowledged deletes
  std::atomic<uint32_t> next_id{0};
  std::vector<std::string> failures;

  void fail(std::string what) {
    std::lock_guard guard(lock);
    failures.push_back(std::move(what));
  }
};

void check_hits(Shared& shared, const std::vector<SearchHit>& hits, const std::set<uint32_t>& deleted_before) {
  for (size_t i = 0; i < hits.size(); ++i) {
    if (i > 0 && (hits[i].score > hits[i - 1].score ||
                  (hits[i].score == hits[i - 1].score && hits[i].id < hits[i - 1].id))) {
      shared.fail("unsorted hits");
    }
    if (deleted_before.count(hits[i].id)) shared.fail("a deleted id after its delete returned");
    if (hits[i].metadata != metadata_of(hits[i].id)) shared.fail("metadata of another document: " + hits[i].metadata);
  }
}

void work(FullVendrelDB& db, Shared& shared, unsigned seed) {
  std::mt19937 random(seed);
  for (int step = 0; step < kStepsPerThread; ++step) {
    const unsigned draw = random() % 100;
    if (draw < 30) {
      const uint32_t id = shared.next_id++;
      const std::vector<float> vector = vector_of(id);
      if (!db.add(id, vector, metadata_of(id), std::nullopt).ok()) shared.fail("add refused");
      std::lock_guard guard(shared.lock);
      shared.added.insert(id);
    } else if (draw < 40) {
      const uint32_t first = shared.next_id.fetch_add(8);
      std::vector<uint32_t> ids(8);
      std::vector<std::vector<float>> vectors(8);
      std::vector<std::string> texts(8);
      DocumentBatch batch;
      for (uint32_t i = 0; i < 8; ++i) {
        ids[i] = first + i;
        vectors[i] = vector_of(first + i);
        texts[i] = metadata_of(first + i);
      }
      batch.ids = ids;
      for (uint32_t i = 0; i < 8; ++i) {
        batch.vectors.emplace_back(vectors[i]);
        batch.metadata_jsons.emplace_back(texts[i]);
      }
      if (!db.add_many(batch).ok()) shared.fail("add_many refused");
      std::lock_guard guard(shared.lock);
      shared.added.insert(ids.begin(), ids.end());
    } else if (draw < 70) {
      std::set<uint32_t> deleted_before;
      {
        std::lock_guard guard(shared.lock);
        deleted_before = shared.deleted;
      }
      const std::vector<float> query = vector_of(1000000 + random() % 1000);
      Result<std::vector<SearchHit>> hits = db.search(query, 10, std::nullopt, true);
      if (!hits.ok()) shared.fail("search failed: " + hits.error().message);
      else check_hits(shared, hits.value(), deleted_before);
    } else if (draw < 80) {
      std::set<uint32_t> deleted_before;
      {
        std::lock_guard guard(shared.lock);
        deleted_before = shared.deleted;
      }
      const std::vector<float> a = vector_of(2000000 + random() % 1000), b = vector_of(3000000 + random() % 1000);
      const std::span<const float> queries[] = {a, b};
      Result<std::vector<std::vector<SearchHit>>> lists = db.search_many(queries, 5, std::string_view("{\"g\": 1}"), true);
      if (!lists.ok()) shared.fail("search_many failed: " + lists.error().message);
      else for (const auto& hits : lists.value()) check_hits(shared, hits, deleted_before);
    } else if (draw < 88) {
      uint32_t victim = 0;
      {
        std::lock_guard guard(shared.lock);
        if (shared.added.empty()) continue;
        victim = *std::next(shared.added.begin(), static_cast<long>(random() % shared.added.size()));
      }
      if (!db.delete_matching("{\"sid\": \"" + std::to_string(victim) + "\"}").ok()) shared.fail("delete failed");
      std::lock_guard guard(shared.lock);
      shared.deleted.insert(victim);
    } else if (draw < 95) {
      if (!db.count().ok()) shared.fail("count failed");
    } else if (draw < 98) {
      if (!db.clean_expired().ok()) shared.fail("clean_expired failed");
    } else if (!db.checkpoint().ok()) {
      shared.fail("checkpoint failed");
    }
  }
}

// scripts/tsan.sh holds oneTBB's pool to the calling thread (VENDREL_TEST_POOL_THREADS):
// the sanitizer cannot see how the uninstrumented pool hands work between its threads.
std::unique_ptr<tbb::global_control> pool_limit_from_environment() {
  const char* threads = std::getenv("VENDREL_TEST_POOL_THREADS");
  if (threads == nullptr) return nullptr;
  return std::make_unique<tbb::global_control>(tbb::global_control::max_allowed_parallelism,
                                               static_cast<size_t>(std::max(1, std::atoi(threads))));
}

class FullThreadsTest : public ::testing::TestWithParam<std::tuple<IndexKind, Durability>> {};

TEST_P(FullThreadsTest, ReadersAndWritersSeeOnlyWholeCallsAndTheEndAgreesWithTheModel) {
  const auto pool_limit = pool_limit_from_environment();
  TempDirectory directory;
  FullSettings settings;
  settings.index = std::get<0>(GetParam());
  settings.durability = std::get<1>(GetParam());
  Result<std::unique_ptr<FullVendrelDB>> opened = FullVendrelDB::open(directory.path() + "/db", settings);
  ASSERT_TRUE(opened.ok()) << opened.error().message;
  FullVendrelDB& db = *opened.value();
  Shared shared;
  std::vector<std::thread> threads;
  for (unsigned t = 0; t < kThreads; ++t) threads.emplace_back(work, std::ref(db), std::ref(shared), 17 + t);
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(shared.failures, std::vector<std::string>());

  const uint64_t live = shared.next_id - shared.deleted.size();
  Result<uint64_t> counted = db.count();
  ASSERT_TRUE(counted.ok());
  EXPECT_EQ(counted.value(), live);
  Result<std::vector<SearchHit>> all = db.search(vector_of(7), shared.next_id + 1, std::nullopt, false, 100000);
  ASSERT_TRUE(all.ok());
  std::set<uint32_t> found;
  for (const SearchHit& hit : all.value()) found.insert(hit.id);
  std::set<uint32_t> expected;
  for (uint32_t id = 0; id < shared.next_id; ++id) {
    if (!shared.deleted.count(id)) expected.insert(id);
  }
  EXPECT_EQ(found, expected);
}

INSTANTIATE_TEST_SUITE_P(KindsAndLevels, FullThreadsTest,
                         ::testing::Combine(::testing::Values(IndexKind::kExact, IndexKind::kGraph),
                                            ::testing::Values(Durability::kMemory, Durability::kProcess)));

}  // namespace
}  // namespace vendrel
