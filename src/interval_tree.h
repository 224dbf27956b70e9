// The numeric index of one metadata field: answers "$lt", "$lte", "$gt", "$gte" and
// exact-value lookups over the (value, id) pairs flushed into it.
//
// Values are grouped: a group starts at its smallest value and takes every value less
// than the tree's tolerance above it (kGroupTolerance; with a tolerance of 0 a group
// holds one value, as strict filters need: 1e-12 and 0 are then different numbers). An id listed under several values behaves as if it held only the
// smallest group's value (its "first group"). Rather than a cumulative id set per group,
// the tree keeps each id once, under its first group, so its size is linear in the
// number of ids plus the number of groups.
#pragma once

#include "common.h"
#include "id_set.h"

#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

namespace vendrel {

inline constexpr double kGroupTolerance = 1e-9;
// The least number of ids between two prefix sets of a tree.
inline constexpr size_t kMinCheckpointSpacing = 1024;

using NumericPair = std::pair<double, uint32_t>;  // (value, id)

class IntervalTree {
 public:
  // Builds a tree from pairs in any order (ids and values may repeat). Values are finite.
  // Trees are immutable values with no lock of their own: the owner's lock guards them.
  // `checkpoint_spacing` sets how many ids lie between two prefix sets (below); 0 picks
  // the default, max(kMinCheckpointSpacing, ids / 32).
  static IntervalTree build(std::vector<NumericPair> pairs, size_t checkpoint_spacing = 0,
                            double tolerance = kGroupTolerance);

  // The tree that a rebuild from `pending` followed by every pair of this tree gives:
  // pending values regroup with existing group values exactly as a full rebuild would.
  // Merges instead of re-sorting what is already ordered. Keeps this tree's tolerance.
  IntervalTree merged_with(std::vector<NumericPair> pending, size_t checkpoint_spacing = 0) const;

  // A new set: for "$lt"/"$lte" the ids whose group value is below / at most x, for
  // "$gt"/"$gte" above / at least x. Any other operator text gives the empty set.
  roaring::Roaring range_query(std::string_view op, double x) const;

  // A new set: the ids whose first group's value equals x exactly; empty otherwise.
  roaring::Roaring exact(double x) const;

  // Rebuilds a tree from the parts of another (group_values(), group_starts(), ids()),
  // as a checkpoint stores them: the prefix sets are recomputed, which costs one pass over
  // the ids rather than the sort and regrouping of build(). Parts that break the tree's
  // invariants give a description of the first break: group values finite and ascending
  // at least `tolerance` apart (and distinct), group starts one more than the groups,
  // from 0, never decreasing, ending at the id count, each id at most once.
  static Result<IntervalTree> from_parts(std::vector<double> group_values, std::vector<uint32_t> group_starts,
                                         std::vector<uint32_t> ids, double tolerance = kGroupTolerance);

  // How far above a group's first value the group reaches (exclusive).
  double tolerance() const { return tolerance_; }

  // Group values in ascending order. Every earlier group value takes part in later
  // regroupings (it may absorb new values or be absorbed by a lower new one).
  const std::vector<double>& group_values() const { return group_values_; }
  // Where each group's ids start in ids(), with one extra end entry.
  const std::vector<uint32_t>& group_starts() const { return group_starts_; }
  // Every id once, under its first group, groups in order, ascending within a group.
  const std::vector<uint32_t>& ids() const { return ids_; }
  size_t id_count() const { return ids_.size(); }
  size_t memory_bytes() const;

 private:
  // group_values_[g] is group g's value; the ids whose first group is g are
  // ids_[group_starts_[g] .. group_starts_[g + 1]), group_starts_ having one extra end entry.
  std::vector<double> group_values_;
  double tolerance_ = kGroupTolerance;
  std::vector<uint32_t> group_starts_;
  std::vector<uint32_t> ids_;
  // Every id of the tree, for answering ranges that cover most of it by complement.
  roaring::Roaring all_ids_;
  // Prefix sets: checkpoint_sets_[k] holds the ids of groups [0, checkpoint_groups_[k]),
  // taken about every checkpoint-spacing ids. A range is the nearest prefix set (or the
  // empty set, or all_ids_) with the few ids between it and the range's end toggled, so
  // a range over most of the ids costs one set copy, not an insertion per id.
  std::vector<uint32_t> checkpoint_groups_;
  std::vector<roaring::Roaring> checkpoint_sets_;

  // Sorts each group's ids and builds all_ids_ and the prefix sets; the last step of
  // build and merge.
  void finish(size_t checkpoint_spacing);
  // The ids of groups [0, end_group), and of groups [first_group, group count).
  roaring::Roaring prefix(size_t end_group) const;
  roaring::Roaring suffix(size_t first_group) const;
  // The prefix set nearest to group boundary `group` (by ids between them): its end
  // group, or 0 for the empty set and the group count for all_ids_.
  size_t nearest_checkpoint(size_t group, const roaring::Roaring** set) const;
  // Number of groups whose value is < x (strict) or <= x (inclusive).
  size_t count_below(double x, bool inclusive) const;
  roaring::Roaring ids_in_groups(size_t first_group, size_t end_group) const;
};

}  // namespace vendrel
