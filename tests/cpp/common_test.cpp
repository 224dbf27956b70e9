// Unit tests of the shared generator, float32 unit normalisation and the database's
// reader-writer lock.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <vector>

#include "common.h"

namespace vendrel {
namespace {

TEST(CommonLcgTest, FirstDrawsWithLshSeed) {
  Lcg generator(kLshSeed);
  EXPECT_EQ(generator.next(), 6342.6552734375f);
  EXPECT_EQ(generator.next(), 8113413632.0f);
  EXPECT_EQ(generator.next(), 4209478656.0f);
}

TEST(CommonLcgTest, FirstDrawsWithQuantizerSeed) {
  Lcg generator(kQuantizerSeed);
  EXPECT_EQ(generator.next(), 27912.625f);
  EXPECT_EQ(generator.next(), 8194392064.0f);
  EXPECT_EQ(generator.next(), 1890188416.0f);
}

TEST(CommonLcgTest, SeedsAreTheFixedConstants) {
  EXPECT_EQ(kLshSeed, 12345u);
  EXPECT_EQ(kQuantizerSeed, 54321u);
}

TEST(CommonLcgTest, SameSeedSameSequence) {
  Lcg a(kLshSeed);
  Lcg b(kLshSeed);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(a.next(), b.next()) << "draw " << i;
}

TEST(CommonLcgTest, MatchesTheFormula) {
  // state = state * 1103515245 + 12345 (mod 2^64); f32(state >> 16) * 2^-15 - 1.
  uint64_t state = 777;
  Lcg generator(777);
  for (int i = 0; i < 1000; ++i) {
    state = state * 1103515245ULL + 12345ULL;
    const float expected = static_cast<float>(state >> 16) * 0.000030517578125f - 1.0f;
    ASSERT_EQ(generator.next(), expected) << "draw " << i;
  }
}

TEST(CommonNormalizeUnitTest, ScalesToUnitLength) {
  std::vector<float> v = {3.0f, 4.0f};
  normalize_unit(v);
  EXPECT_EQ(v[0], 3.0f / 5.0f);
  EXPECT_EQ(v[1], 4.0f / 5.0f);

  std::vector<float> w = {1.5f, -2.0f, 0.25f, 7.0f, -0.125f};
  float squared = 0.0f;
  for (float x : w) squared += x * x;
  const float norm = std::sqrt(squared);
  std::vector<float> expected = w;
  for (float& x : expected) x /= norm;
  normalize_unit(w);
  EXPECT_EQ(w, expected);
  float unit = 0.0f;
  for (float x : w) unit += x * x;
  EXPECT_NEAR(unit, 1.0f, 1e-6f);
}

TEST(CommonNormalizeUnitTest, ZeroVectorUnchanged) {
  std::vector<float> v = {0.0f, 0.0f, 0.0f};
  normalize_unit(v);
  EXPECT_EQ(v, (std::vector<float>{0.0f, 0.0f, 0.0f}));
  std::vector<float> empty;
  normalize_unit(empty);
  EXPECT_TRUE(empty.empty());
}

TEST(CommonNormalizeUnitTest, NanVectorUnchanged) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  std::vector<float> v = {1.0f, nan, 2.0f};
  normalize_unit(v);
  EXPECT_EQ(v[0], 1.0f);
  EXPECT_TRUE(std::isnan(v[1]));
  EXPECT_EQ(v[2], 2.0f);
}

// Two threads hold the lock in turn (`Busy`, each a moment), while this thread takes it
// 20 times as `Tested`. Whether it got in before a generous deadline: the busy threads
// stop once it is done, or at the deadline.
template <typename Busy, typename Tested>
bool gets_in_between_two_in_turn() {
  PhaseFairLock lock;
  std::atomic<bool> done{false};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  const auto hold_in_turn = [&] {
    while (!done && std::chrono::steady_clock::now() < deadline) {
      Busy guard(lock);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  };
  std::thread first(hold_in_turn);
  std::thread second(hold_in_turn);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // both holding it in turn
  for (int take = 0; take < 20; ++take) Tested guard(lock);
  const bool before_deadline = std::chrono::steady_clock::now() < deadline;
  done = true;
  first.join();
  second.join();
  return before_deadline;
}

// Writers first alone kept a reader out for as long as two threads wrote in turn; and
// readers first would keep a writer out for as long as two threads read overlapping.
TEST(PhaseFairLockTest, NeitherSideKeepsTheOtherOut) {
  EXPECT_TRUE((gets_in_between_two_in_turn<std::unique_lock<PhaseFairLock>, std::shared_lock<PhaseFairLock>>()));
  EXPECT_TRUE((gets_in_between_two_in_turn<std::shared_lock<PhaseFairLock>, std::unique_lock<PhaseFairLock>>()));
}

}  // namespace
}  // namespace vendrel
