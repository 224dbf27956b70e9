#include "storage.h"

#include <fcntl.h>
#include <unistd.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace vendrel {
namespace {

// Points file descriptor 1 at a temporary file (or at nothing) for one scope, so the
// activation notice can be checked; restores the real stdout afterwards.
class StdoutRedirect {
 public:
  explicit StdoutRedirect(bool closed = false) : saved_(::dup(STDOUT_FILENO)) {
    std::fflush(stdout);
    if (closed) {
      ::close(STDOUT_FILENO);
    } else {
      file_ = std::tmpfile();
      ::dup2(::fileno(file_), STDOUT_FILENO);
    }
  }
  ~StdoutRedirect() {
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
    if (file_) std::fclose(file_);
  }
  std::string text() const {
    std::string out;
    char buffer[256];
    ssize_t got = 0;
    for (off_t at = 0; (got = ::pread(::fileno(file_), buffer, sizeof buffer, at)) > 0; at += got) out.append(buffer, got);
    return out;
  }

 private:
  int saved_;
  std::FILE* file_ = nullptr;
};

std::vector<float> random_vector(std::mt19937& rng, size_t length) {
  std::normal_distribution<float> normal(0.0f, 0.3f);
  std::vector<float> values(length);
  for (float& value : values) value = normal(rng);
  return values;
}

TEST(VectorTableTest, SparseIdsLeaveEmptySlotsAndAllocateOnlyWrittenPages) {
  VectorTable table;
  table.put(0, std::vector<float>{1, 2, 3});
  table.put(5, std::vector<float>{4, 5, 6});
  EXPECT_EQ(table.length(), 6u);
  for (uint32_t id = 1; id <= 4; ++id) EXPECT_FALSE(table.get(id).has_value()) << id;
  EXPECT_EQ(std::vector<float>(table.get(5)->begin(), table.get(5)->end()), (std::vector<float>{4, 5, 6}));
  EXPECT_FALSE(table.get(6).has_value());

  VectorTable far;
  far.put(4'000'000'000u, std::vector<float>(768, 0.5f));
  EXPECT_EQ(far.length(), 4'000'000'001u);
  EXPECT_EQ(far.pages().page_count(), 1u);
  EXPECT_EQ((*far.get(4'000'000'000u))[767], 0.5f);
  EXPECT_FALSE(far.get(0).has_value());
}

TEST(VectorTableTest, EmptyVectorsReplacementAndWidthMismatch) {
  VectorTable table;
  table.put(2, {});  // before any width is known
  ASSERT_TRUE(table.get(2).has_value());
  EXPECT_TRUE(table.get(2)->empty());

  table.put(3, std::vector<float>{1, 2});
  table.put(3, std::vector<float>{7, 8});
  EXPECT_EQ((*table.get(3))[0], 7.0f);
  table.put(2, std::vector<float>{5, 6});
  EXPECT_EQ((*table.get(2))[1], 6.0f);
  EXPECT_EQ((*table.get(3))[1], 8.0f);  // growing the page kept the other rows
  table.put(3, {});
  EXPECT_TRUE(table.get(3)->empty());

  EXPECT_THROW(table.put(100, std::vector<float>{1, 2, 3}), std::logic_error);
  EXPECT_EQ(table.length(), 4u);
  EXPECT_FALSE(table.get(100).has_value());
}

TEST(VectorStorageTest, SparseFirstIdActivatesWithOneTrainingVector) {
  VectorStorage storage;
  const std::vector<float> first(24, 0.25f);
  {
    StdoutRedirect out;
    ASSERT_TRUE(storage.store(6000, first).ok());
    EXPECT_EQ(out.text(), "");
    ASSERT_TRUE(storage.store(1, std::vector<float>(24, -0.25f)).ok());
    EXPECT_EQ(out.text(), "Activating quantization at 5000 vectors...\n");
  }
  ASSERT_TRUE(storage.quantized());
  EXPECT_EQ(storage.vectors.value.length(), 0u);
  EXPECT_EQ(storage.codes.value.length(), 6001u);
  EXPECT_NE(storage.codes.value.get(6000), nullptr);
  EXPECT_NE(storage.codes.value.get(1), nullptr);
  EXPECT_EQ(storage.codes.value.get(2), nullptr);
  // The only sampled centroid is the first vector's normalised slice; the rest are zero.
  const auto& centroids = storage.quantizer.value->codebooks[0];
  EXPECT_FLOAT_EQ(centroids[0][0], 1.0f / std::sqrt(12.0f));
  EXPECT_EQ(centroids[1], std::vector<float>(12, 0.0f));
  EXPECT_EQ(storage.codes.value.get(6000)[0], 0);
  EXPECT_EQ(storage.codes.value.get(1)[0], 1);  // nearer to zero than to the opposite centroid
}

TEST(VectorStorageTest, FiveThousandSlotsActivateOnceAndKeepEveryCode) {
  VectorStorage storage;
  std::mt19937 rng(7);
  StdoutRedirect out;
  for (uint32_t id = 0; id < 5000; ++id) ASSERT_TRUE(storage.store(id, random_vector(rng, 16)).ok());
  EXPECT_FALSE(storage.quantized());
  EXPECT_EQ(out.text(), "");
  ASSERT_TRUE(storage.store(5000, random_vector(rng, 16)).ok());
  ASSERT_TRUE(storage.store(5001, random_vector(rng, 16)).ok());
  EXPECT_EQ(out.text(), "Activating quantization at 5000 vectors...\n");
  EXPECT_EQ(storage.vectors.value.length(), 0u);
  EXPECT_EQ(storage.codes.value.length(), 5002u);
  EXPECT_EQ(storage.codes.value.width(), 64u);
  EXPECT_EQ(storage.scan_ids(10'000, roaring::Roaring()).size(), 5002u);
}

TEST(VectorStorageTest, FailedNoticeChangesNothingAndTheNextStoreRetries) {
  VectorStorage storage;
  storage.quantize_threshold = 3;
  for (uint32_t id = 0; id < 3; ++id) ASSERT_TRUE(storage.store(id, std::vector<float>{1, 0}).ok());
  {
    StdoutRedirect closed(/*closed=*/true);
    const Status status = storage.store(3, std::vector<float>{0, 1});
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.error().kind, ErrorKind::kInternal);
    EXPECT_EQ(status.error().message, "failed printing to stdout: Bad file descriptor (os error 9)");
  }
  EXPECT_FALSE(storage.quantized());
  EXPECT_EQ(storage.vectors.value.length(), 3u);
  EXPECT_EQ(storage.codes.value.length(), 0u);

  StdoutRedirect out;
  ASSERT_TRUE(storage.store(3, std::vector<float>{0, 1}).ok());
  EXPECT_EQ(out.text(), "Activating quantization at 3 vectors...\n");
  EXPECT_TRUE(storage.quantized());
  EXPECT_EQ(storage.codes.value.length(), 4u);
}

TEST(ScoringTest, FullVectorRegime) {
  VectorStorage storage;
  ASSERT_TRUE(storage.store(1, std::vector<float>{1, 2, 3}).ok());
  ASSERT_TRUE(storage.store(3, std::vector<float>{0, 0, 5}).ok());
  const auto score = [&](std::vector<float> query, uint32_t id) { return storage.compute_similarity(query, id); };
  EXPECT_NEAR(*score({1, 2, 3}, 1), 1.0f, 1e-6);
  EXPECT_NEAR(*score({-1, -2, -3}, 1), -1.0f, 1e-6);
  EXPECT_EQ(*score({}, 1), 0.0f);
  EXPECT_FLOAT_EQ(*score({2, 4}, 1), 1.0f);   // cosine over the prefix
  EXPECT_EQ(*score({1, 1}, 3), 0.0f);          // stored prefix all zeros
  EXPECT_FLOAT_EQ(*score({1, 2, 3, 9, 9}, 1), 1.0f);  // longer query: the stored length
  EXPECT_FALSE(score({1, 2, 3}, 2).has_value());
  EXPECT_FALSE(score({1, 2, 3}, 99).has_value());
}

TEST(ScoringTest, QuantizedRegimeMapsDistanceToSimilarity) {
  VectorStorage storage;
  auto quantizer = ProductQuantizer::train({}, 24);
  for (auto& codebook : quantizer.codebooks)
    for (auto& centroid : codebook) centroid.assign(12, 0.0f);
  quantizer.codebooks[1][0].assign(4, 0.0f);  // a short last-subspace centroid
  storage.quantizer.value = std::make_unique<const ProductQuantizer>(quantizer);
  storage.codes.value.set_width(2);
  const uint8_t code[2] = {0, 0};
  storage.codes.value.put(7, code);

  const auto score = [&](std::vector<float> query) { return *storage.compute_similarity(query, 7); };
  EXPECT_EQ(score({}), 1.0f);
  EXPECT_EQ(score({2.0f}), 0.5f);
  EXPECT_EQ(score({4.0f}), 0.0f);
  EXPECT_EQ(score({5.0f}), 0.0f);
  EXPECT_EQ(score({NAN}), 0.0f);
  std::vector<float> longer(30, 0.0f);
  longer[0] = 2.0f;
  longer[20] = 100.0f;  // beyond the 4-component centroid: not compared
  longer[25] = 100.0f;  // beyond every subspace
  EXPECT_EQ(score(longer), 0.5f);
  EXPECT_FALSE(storage.compute_similarity(longer, 8).has_value());
}

// Fills a storage with random vectors of length 40 (the last subspace is partial),
// leaving some ids empty, and optionally activates quantization.
void fill_random(VectorStorage& storage, bool quantize) {
  std::mt19937 rng(11);
  storage.quantize_threshold = quantize ? 300 : 1'000'000;
  StdoutRedirect out;
  for (uint32_t id = 0; id < 310; ++id) {
    if (id % 7 == 3) continue;
    ASSERT_TRUE(storage.store(id, random_vector(rng, 40)).ok());
  }
  ASSERT_EQ(storage.quantized(), quantize);
}

TEST(ScoringTest, BatchedScoringMatchesComputeSimilarityBitForBit) {
  for (const bool quantize : {false, true}) {
    VectorStorage storage;
    fill_random(storage, quantize);
    std::mt19937 rng(5);
    std::vector<uint32_t> candidates;
    for (int i = 0; i < 2500; ++i) candidates.push_back(rng() % 330);  // repeats and missing ids
    for (const size_t query_length : {0, 5, 40, 53}) {
      const std::vector<float> query = random_vector(rng, query_length);
      const auto sequential = storage.score_candidates(query, candidates, false);
      const auto parallel = storage.score_candidates(query, candidates, true);
      ASSERT_EQ(sequential.size(), parallel.size());
      size_t next = 0;
      for (const uint32_t id : candidates) {
        const auto expected = storage.compute_similarity(query, id);
        if (!expected) continue;
        ASSERT_LT(next, sequential.size());
        EXPECT_EQ(sequential[next].id, id);
        EXPECT_EQ(parallel[next].id, id);
        EXPECT_EQ(std::bit_cast<uint32_t>(sequential[next].score), std::bit_cast<uint32_t>(*expected));
        EXPECT_EQ(std::bit_cast<uint32_t>(parallel[next].score), std::bit_cast<uint32_t>(*expected));
        ++next;
      }
      EXPECT_EQ(next, sequential.size()) << "quantized=" << quantize << " length=" << query_length;
    }
  }
}

TEST(ScoringTest, ScanIdsSkipsEmptySlotsExcludedIdsAndIdsAtTheBound) {
  for (const bool quantize : {false, true}) {
    VectorStorage storage;
    fill_random(storage, quantize);
    roaring::Roaring excluded;
    excluded.add(0);
    excluded.add(5);
    const auto ids = storage.scan_ids(20, excluded);
    EXPECT_EQ(ids, (std::vector<uint32_t>{1, 2, 4, 6, 7, 8, 9, 11, 12, 13, 14, 15, 16, 18, 19}));
  }
}

}  // namespace
}  // namespace vendrel
