#include <algorithm>
#include <cmath>
#include <random>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "interval_tree.h"

namespace vendrel {
namespace {

using Ids = std::vector<uint32_t>;

Ids ids_of(const roaring::Roaring& set) {
  Ids ids;
  for (uint32_t id : set) ids.push_back(id);
  return ids;
}

// The plain design the compact tree must answer exactly like: one entry per group
// holding the cumulative set of every id at or below it, rebuilt from scratch on merge.
struct CumulativeTree {
  std::vector<std::pair<double, roaring::Roaring>> entries;

  static CumulativeTree build(std::vector<NumericPair> pairs) {
    std::stable_sort(pairs.begin(), pairs.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    CumulativeTree tree;
    roaring::Roaring running;
    for (size_t i = 0; i < pairs.size();) {
      const double key = pairs[i].first;
      for (; i < pairs.size() && std::fabs(pairs[i].first - key) < 1e-9; ++i) running.add(pairs[i].second);
      tree.entries.emplace_back(key, running);
    }
    return tree;
  }

  CumulativeTree rebuilt_with(std::vector<NumericPair> pairs) const {
    for (const auto& [value, ids] : entries) {
      for (uint32_t id : ids) pairs.emplace_back(value, id);
    }
    return build(std::move(pairs));
  }

  size_t count(double x, bool inclusive) const {
    if (entries.empty()) return 0;
    const auto holds = [&](size_t i) { return inclusive ? entries[i].first <= x : entries[i].first < x; };
    size_t size = entries.size();
    size_t base = 0;
    while (size > 1) {
      const size_t half = size / 2;
      if (holds(base + half)) base += half;
      size -= half;
    }
    return holds(base) ? base + 1 : base;
  }

  roaring::Roaring below(double x, bool inclusive) const {
    const size_t c = count(x, inclusive);
    return c == 0 ? roaring::Roaring() : entries[c - 1].second;
  }

  roaring::Roaring range_query(std::string_view op, double x) const {
    if (entries.empty()) return {};
    if (op == "$lt") return below(x, false);
    if (op == "$lte") return below(x, true);
    if (op == "$gt") return entries.back().second - below(x, true);
    if (op == "$gte") return entries.back().second - below(x, false);
    return {};
  }

  roaring::Roaring exact(double x) const {
    if (entries.empty()) return {};
    const size_t c = count(x, true);
    const size_t l = c == 0 ? 0 : c - 1;
    if (entries[l].first != x) return {};
    return l == 0 ? entries[0].second : entries[l].second - entries[l - 1].second;
  }
};

constexpr std::string_view kOperators[] = {"$lt", "$lte", "$gt", "$gte"};

TEST(IntervalTree, SmallTreeAnswers) {
  const IntervalTree tree = IntervalTree::build({{3, 7}, {1, 5}, {3, 9}});
  EXPECT_EQ(tree.group_values(), (std::vector<double>{1, 3}));
  EXPECT_EQ(ids_of(tree.range_query("$lt", 3)), (Ids{5}));
  EXPECT_EQ(ids_of(tree.range_query("$lte", 3)), (Ids{5, 7, 9}));
  EXPECT_EQ(ids_of(tree.range_query("$gt", 1)), (Ids{7, 9}));
  EXPECT_EQ(ids_of(tree.range_query("$gte", 1)), (Ids{5, 7, 9}));
  EXPECT_TRUE(tree.range_query("$lt", 1).isEmpty());
  EXPECT_TRUE(tree.range_query("$gt", 3).isEmpty());
  EXPECT_TRUE(tree.range_query("$lte", 0.5).isEmpty());
  EXPECT_TRUE(tree.range_query("$gte", 10).isEmpty());
  EXPECT_EQ(ids_of(tree.exact(3)), (Ids{7, 9}));
  EXPECT_TRUE(tree.exact(2).isEmpty());
  EXPECT_TRUE(tree.exact(0.5).isEmpty());
  for (std::string_view op : {"$eq", "$ne", "$lt ", "$l", ""}) EXPECT_TRUE(tree.range_query(op, 2).isEmpty()) << op;

  const IntervalTree empty = IntervalTree::build({});
  for (std::string_view op : kOperators) EXPECT_TRUE(empty.range_query(op, 0).isEmpty());
  EXPECT_TRUE(empty.exact(0).isEmpty());
}

TEST(IntervalTree, GroupingTolerance) {
  EXPECT_EQ(IntervalTree::build({{0.0, 1}, {5e-10, 2}}).group_values().size(), 1u);
  EXPECT_EQ(IntervalTree::build({{0.0, 1}, {1e-9, 2}}).group_values().size(), 2u);

  const IntervalTree zeros = IntervalTree::build({{-0.0, 1}, {0.0, 2}});
  EXPECT_EQ(zeros.group_values().size(), 1u);
  EXPECT_EQ(ids_of(zeros.exact(0.0)), (Ids{1, 2}));
  EXPECT_EQ(ids_of(zeros.exact(-0.0)), (Ids{1, 2}));

  // A group answers as its smallest value.
  const IntervalTree near = IntervalTree::build({{1.0000000005, 2}, {1.0, 1}});
  EXPECT_EQ(ids_of(near.range_query("$lt", 1.0000000002)), (Ids{1, 2}));
  EXPECT_TRUE(near.range_query("$gt", 1.0000000002).isEmpty());
  EXPECT_EQ(ids_of(near.exact(1.0)), (Ids{1, 2}));
  EXPECT_TRUE(near.exact(1.0000000005).isEmpty());
}

TEST(IntervalTree, IdCountsOnceUnderItsSmallestValue) {
  const IntervalTree tree = IntervalTree::build({{2, 4}, {1, 4}});
  EXPECT_EQ(tree.id_count(), 1u);
  EXPECT_TRUE(tree.exact(2).isEmpty());
  EXPECT_EQ(ids_of(tree.exact(1)), (Ids{4}));
  EXPECT_EQ(ids_of(tree.range_query("$lt", 2)), (Ids{4}));
  EXPECT_TRUE(tree.range_query("$gt", 1.5).isEmpty());
}

TEST(IntervalTree, MergeKeepsGroupsThatNoIdStartsIn) {
  // After the first flush 2.0 is a group holding no id of its own; a later value within
  // 1e-9 above it must join that group, not open one at 2.0000000005.
  const IntervalTree first = IntervalTree::build({{1.0, 4}, {2.0, 4}});
  const IntervalTree merged = first.merged_with({{2.0000000005, 9}});
  EXPECT_EQ(merged.group_values(), (std::vector<double>{1.0, 2.0}));
  EXPECT_EQ(ids_of(merged.range_query("$lt", 2.0000000003)), (Ids{4, 9}));
  EXPECT_EQ(ids_of(merged.exact(2.0)), (Ids{9}));
  EXPECT_EQ(merged.id_count(), 2u);

  // A pending value below an id's old value moves the id to the earlier group.
  const IntervalTree moved = merged.merged_with({{0.5, 9}, {7.0, 4}});
  EXPECT_EQ(ids_of(moved.exact(0.5)), (Ids{9}));
  EXPECT_EQ(ids_of(moved.exact(1.0)), (Ids{4}));
  EXPECT_TRUE(moved.exact(2.0).isEmpty());
  EXPECT_TRUE(moved.exact(7.0).isEmpty());
  EXPECT_EQ(moved.id_count(), 2u);
}

void expect_same_answers(const IntervalTree& tree, const CumulativeTree& reference, const std::vector<double>& probes) {
  ASSERT_EQ(tree.group_values().size(), reference.entries.size());
  for (size_t g = 0; g < reference.entries.size(); ++g) {
    EXPECT_EQ(tree.group_values()[g], reference.entries[g].first);
    EXPECT_EQ(std::signbit(tree.group_values()[g]), std::signbit(reference.entries[g].first));
  }
  for (double x : probes) {
    for (std::string_view op : kOperators) {
      ASSERT_EQ(ids_of(tree.range_query(op, x)), ids_of(reference.range_query(op, x))) << op << " " << x;
    }
    ASSERT_EQ(ids_of(tree.exact(x)), ids_of(reference.exact(x))) << "exact " << x;
  }
}

TEST(IntervalTree, MatchesCumulativeDesignOverRandomFlushes) {
  const std::vector<double> pool = {-3.0, -1e-9, -0.0, 0.0, 5e-10, 1e-9, 1.0, 1.0 + 4e-10, 1.0 + 9e-10,
                                    1.0 + 1.5e-9, 2.0 - 5e-10, 2.0, 2.0000000005, 2.000000001, 7.25, 1e10};
  std::vector<double> probes;
  for (double value : pool) {
    for (double offset : {0.0, 3e-10, -3e-10, 1e-9, -1e-9, 2e-9}) probes.push_back(value + offset);
  }
  probes.push_back(-1e300);
  probes.push_back(1e300);

  std::mt19937 random(20240611);
  // Spacing 0 is the default (no prefix sets at this size); 1 and 3 put prefix sets at
  // nearly every group boundary, so ranges start from them and toggle ids either way.
  for (const size_t spacing : {size_t{0}, size_t{1}, size_t{3}}) {
    for (int trial = 0; trial < 300; ++trial) {
      IntervalTree tree;
      CumulativeTree reference;
      const int rounds = 1 + static_cast<int>(random() % 4);
      for (int round = 0; round < rounds; ++round) {
        std::vector<NumericPair> pending(random() % 12);
        for (auto& pair : pending) pair = {pool[random() % pool.size()], static_cast<uint32_t>(random() % 20)};
        tree = round == 0 ? IntervalTree::build(pending, spacing) : tree.merged_with(pending, spacing);
        reference = round == 0 ? CumulativeTree::build(pending) : reference.rebuilt_with(pending);
        ASSERT_NO_FATAL_FAILURE(expect_same_answers(tree, reference, probes))
            << "spacing " << spacing << " trial " << trial << " round " << round;
      }
    }
  }
}

TEST(IntervalTree, PrefixSetsOfLargeTreesMatchTheCumulativeDesign) {
  std::mt19937 random(77);
  std::vector<double> probes;
  for (int i = -2; i < 205; ++i) probes.push_back(i * 0.5);
  IntervalTree tree;
  CumulativeTree reference;
  for (int round = 0; round < 3; ++round) {
    std::vector<NumericPair> pending(3000);
    for (auto& pair : pending) pair = {static_cast<double>(random() % 200) * 0.5, static_cast<uint32_t>(random() % 6000)};
    tree = round == 0 ? IntervalTree::build(pending, 97) : tree.merged_with(pending, 97);
    reference = round == 0 ? CumulativeTree::build(pending) : reference.rebuilt_with(pending);
    ASSERT_NO_FATAL_FAILURE(expect_same_answers(tree, reference, probes)) << "round " << round;
  }
}

TEST(IntervalTree, RebuiltFromItsPartsItAnswersAndMergesAsBefore) {
  const std::vector<double> pool = {-3.0, -1e-9, 0.0, 5e-10, 1.0, 1.0 + 9e-10, 1.0 + 1.5e-9, 2.0, 7.25};
  std::vector<double> probes;
  for (double value : pool) {
    for (double offset : {0.0, 3e-10, -1e-9, 2e-9}) probes.push_back(value + offset);
  }
  std::mt19937 random(5);
  for (int trial = 0; trial < 200; ++trial) {
    auto draw = [&] {
      std::vector<NumericPair> pairs(random() % 12);
      for (auto& pair : pairs) pair = {pool[random() % pool.size()], static_cast<uint32_t>(random() % 20)};
      return pairs;
    };
    std::vector<NumericPair> first = draw();
    std::vector<NumericPair> second = draw();
    const IntervalTree tree = IntervalTree::build(first).merged_with(second);
    Result<IntervalTree> rebuilt = IntervalTree::from_parts(tree.group_values(), tree.group_starts(), tree.ids());
    ASSERT_TRUE(rebuilt.ok()) << rebuilt.error().message;
    const CumulativeTree reference = CumulativeTree::build(first).rebuilt_with(second);
    ASSERT_NO_FATAL_FAILURE(expect_same_answers(rebuilt.value(), reference, probes)) << trial;
    std::vector<NumericPair> third = draw();
    ASSERT_NO_FATAL_FAILURE(
        expect_same_answers(rebuilt.value().merged_with(third), reference.rebuilt_with(third), probes)) << trial;
  }
  // Parts no tree has are refused.
  EXPECT_FALSE(IntervalTree::from_parts({1.0, 1.0 + 1e-10}, {0, 1, 2}, {4, 5}).ok());  // values too close
  EXPECT_FALSE(IntervalTree::from_parts({2.0, 1.0}, {0, 1, 2}, {4, 5}).ok());          // descending
  EXPECT_FALSE(IntervalTree::from_parts({1.0, 2.0}, {0, 3, 2}, {4, 5}).ok());          // starts decrease
  EXPECT_FALSE(IntervalTree::from_parts({1.0, 2.0}, {0, 1, 3}, {4, 5}).ok());          // past the ids
  EXPECT_FALSE(IntervalTree::from_parts({1.0, 2.0}, {0, 1, 2}, {4, 4}).ok());          // id twice
  EXPECT_FALSE(IntervalTree::from_parts({1.0, NAN}, {0, 1, 2}, {4, 5}).ok());
  EXPECT_FALSE(IntervalTree::from_parts({}, {}, {}).ok());
  EXPECT_TRUE(IntervalTree::from_parts({}, {0}, {}).ok());
}

}  // namespace
}  // namespace vendrel
