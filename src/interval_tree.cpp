#include "interval_tree.h"

#include <algorithm>
#include <cmath>

namespace vendrel {

namespace {

bool by_value(const NumericPair& left, const NumericPair& right) { return left.first < right.first; }

// Assigns ascending values to groups: a value joins the open group while it equals the
// group's first value (its key) or lies less than `tolerance` from it. Feed values in
// order.
class Grouper {
 public:
  Grouper(std::vector<double>& group_values, double tolerance) : group_values_(group_values), tolerance_(tolerance) {}

  // The index of the group that `value` falls into, opening a new group if needed.
  uint32_t place(double value) {
    if (group_values_.empty() ||
        !(value == group_values_.back() || std::fabs(value - group_values_.back()) < tolerance_)) {
      group_values_.push_back(value);
    }
    return static_cast<uint32_t>(group_values_.size() - 1);
  }

 private:
  std::vector<double>& group_values_;
  double tolerance_;
};

struct GroupedId {
  uint32_t group = 0;
  uint32_t id = 0;
};

// Sorts each group's ids: ascending runs fill a bitmap faster.
void sort_within_groups(const std::vector<uint32_t>& group_starts, std::vector<uint32_t>& ids) {
  for (size_t g = 0; g + 1 < group_starts.size(); ++g) {
    std::sort(ids.begin() + group_starts[g], ids.begin() + group_starts[g + 1]);
  }
}

}  // namespace

IntervalTree IntervalTree::build(std::vector<NumericPair> pairs, size_t checkpoint_spacing, double tolerance) {
  IntervalTree tree;
  tree.tolerance_ = tolerance;
  std::stable_sort(pairs.begin(), pairs.end(), by_value);
  Grouper grouper(tree.group_values_, tolerance);
  roaring::Roaring seen;
  for (const auto& [value, id] : pairs) {
    const uint32_t group = grouper.place(value);
    while (tree.group_starts_.size() <= group) tree.group_starts_.push_back(static_cast<uint32_t>(tree.ids_.size()));
    // Pairs come in value order, so an id's first appearance is its first group.
    if (seen.addChecked(id)) tree.ids_.push_back(id);
  }
  tree.group_starts_.push_back(static_cast<uint32_t>(tree.ids_.size()));
  tree.finish(checkpoint_spacing);
  return tree;
}

IntervalTree IntervalTree::merged_with(std::vector<NumericPair> pending, size_t checkpoint_spacing) const {
  if (pending.empty()) return *this;
  if (group_values_.empty()) return build(std::move(pending), checkpoint_spacing, tolerance_);

  // A rebuild sorts pending pairs ahead of the old entries' pairs of equal value, so on
  // ties the pending value comes first (it matters only for the sign of a zero key).
  std::stable_sort(pending.begin(), pending.end(), by_value);
  IntervalTree merged;
  merged.tolerance_ = tolerance_;
  Grouper grouper(merged.group_values_, tolerance_);
  std::vector<uint32_t> new_group_of_old(group_values_.size());
  std::vector<GroupedId> pending_first;  // (new group, id) of every pending pair
  pending_first.reserve(pending.size());
  size_t old_group = 0;
  size_t next_pending = 0;
  // Every old group value stays an input of the regrouping, even when no id has it as
  // its first group: the cumulative sets of a rebuild list each id at every later value.
  while (old_group < group_values_.size() || next_pending < pending.size()) {
    const bool take_pending = next_pending < pending.size() &&
                              (old_group == group_values_.size() || !(group_values_[old_group] < pending[next_pending].first));
    if (take_pending) {
      const auto& [value, id] = pending[next_pending++];
      pending_first.push_back({grouper.place(value), id});
    } else {
      new_group_of_old[old_group] = grouper.place(group_values_[old_group]);
      ++old_group;
    }
  }

  // Each pending id's smallest new group.
  std::sort(pending_first.begin(), pending_first.end(),
            [](const GroupedId& left, const GroupedId& right) {
              return left.id != right.id ? left.id < right.id : left.group < right.group;
            });
  pending_first.erase(std::unique(pending_first.begin(), pending_first.end(),
                                  [](const GroupedId& left, const GroupedId& right) { return left.id == right.id; }),
                      pending_first.end());
  roaring::Roaring pending_ids;
  for (const GroupedId& entry : pending_first) pending_ids.add(entry.id);

  // Old ids keep their (remapped, still ascending) group unless a pending value of the
  // same id falls into an earlier group; such ids move to the pending side.
  std::vector<GroupedId> kept_old;
  kept_old.reserve(ids_.size());
  for (size_t g = 0; g < group_values_.size(); ++g) {
    const uint32_t new_group = new_group_of_old[g];
    for (uint32_t i = group_starts_[g]; i < group_starts_[g + 1]; ++i) {
      const uint32_t id = ids_[i];
      if (!pending_ids.contains(id)) {
        kept_old.push_back({new_group, id});
        continue;
      }
      auto match = std::lower_bound(pending_first.begin(), pending_first.end(), id,
                                    [](const GroupedId& entry, uint32_t wanted) { return entry.id < wanted; });
      match->group = std::min(match->group, new_group);
    }
  }
  std::sort(pending_first.begin(), pending_first.end(),
            [](const GroupedId& left, const GroupedId& right) { return left.group < right.group; });

  // Both sides are ascending by group: one linear merge lays out the id lists.
  const size_t group_count = merged.group_values_.size();
  merged.ids_.reserve(kept_old.size() + pending_first.size());
  merged.group_starts_.reserve(group_count + 1);
  size_t next_old = 0;
  size_t next_new = 0;
  for (uint32_t g = 0; g < group_count; ++g) {
    merged.group_starts_.push_back(static_cast<uint32_t>(merged.ids_.size()));
    while (next_old < kept_old.size() && kept_old[next_old].group == g) merged.ids_.push_back(kept_old[next_old++].id);
    while (next_new < pending_first.size() && pending_first[next_new].group == g) {
      merged.ids_.push_back(pending_first[next_new++].id);
    }
  }
  merged.group_starts_.push_back(static_cast<uint32_t>(merged.ids_.size()));
  merged.finish(checkpoint_spacing);
  return merged;
}

Result<IntervalTree> IntervalTree::from_parts(std::vector<double> group_values, std::vector<uint32_t> group_starts,
                                              std::vector<uint32_t> ids, double tolerance) {
  for (size_t g = 0; g < group_values.size(); ++g) {
    const double step = g > 0 ? group_values[g] - group_values[g - 1] : 1.0;
    if (!std::isfinite(group_values[g]) || !(step > 0.0 && step >= tolerance)) {
      return value_error("group value " + std::to_string(g) + " is not finite or not above the one before it");
    }
  }
  if (group_starts.size() != group_values.size() + 1 || group_starts.front() != 0 || group_starts.back() != ids.size() ||
      !std::is_sorted(group_starts.begin(), group_starts.end())) {
    return value_error("group starts do not divide the ids among the groups");
  }
  roaring::Roaring seen;
  for (uint32_t id : ids) {
    if (!seen.addChecked(id)) return value_error("id " + std::to_string(id) + " is listed twice");
  }
  IntervalTree tree;
  tree.tolerance_ = tolerance;
  tree.group_values_ = std::move(group_values);
  tree.group_starts_ = std::move(group_starts);
  tree.ids_ = std::move(ids);
  tree.finish(0);
  return tree;
}

size_t IntervalTree::count_below(double x, bool inclusive) const {
  // partition_point keeps the predicate's meaning for every x (a NaN x counts nothing).
  const auto end = inclusive ? std::partition_point(group_values_.begin(), group_values_.end(),
                                                    [x](double value) { return value <= x; })
                             : std::partition_point(group_values_.begin(), group_values_.end(),
                                                    [x](double value) { return value < x; });
  return static_cast<size_t>(end - group_values_.begin());
}

void IntervalTree::finish(size_t checkpoint_spacing) {
  sort_within_groups(group_starts_, ids_);
  checkpoint_groups_.clear();
  checkpoint_sets_.clear();
  const size_t spacing =
      checkpoint_spacing > 0 ? checkpoint_spacing : std::max(kMinCheckpointSpacing, ids_.size() / 32);
  const size_t group_count = group_values_.size();
  // One pass in group order fills the prefix sets and, at its end, all_ids_.
  roaring::Roaring running;
  size_t next_at = spacing;
  for (size_t g = 0; g < group_count; ++g) {
    running.addMany(group_starts_[g + 1] - group_starts_[g], ids_.data() + group_starts_[g]);
    if (g + 1 == group_count || group_starts_[g + 1] < next_at) continue;
    checkpoint_groups_.push_back(static_cast<uint32_t>(g + 1));
    checkpoint_sets_.push_back(running);
    checkpoint_sets_.back().runOptimize();
    next_at = group_starts_[g + 1] + spacing;
  }
  running.runOptimize();
  all_ids_ = std::move(running);
}

size_t IntervalTree::nearest_checkpoint(size_t group, const roaring::Roaring** set) const {
  static const roaring::Roaring kEmpty;
  const size_t group_count = group_values_.size();
  // Candidates: the empty prefix, the prefix sets around `group`, and all ids.
  size_t best_group = 0;
  const roaring::Roaring* best_set = &kEmpty;
  size_t best_gap = group_starts_[group];
  auto consider = [&](size_t candidate_group, const roaring::Roaring* candidate_set) {
    const size_t at = group_starts_[candidate_group];
    const size_t gap = at > group_starts_[group] ? at - group_starts_[group] : group_starts_[group] - at;
    if (gap < best_gap) {
      best_gap = gap;
      best_group = candidate_group;
      best_set = candidate_set;
    }
  };
  consider(group_count, &all_ids_);
  const size_t above = static_cast<size_t>(
      std::lower_bound(checkpoint_groups_.begin(), checkpoint_groups_.end(), group) - checkpoint_groups_.begin());
  if (above < checkpoint_groups_.size()) consider(checkpoint_groups_[above], &checkpoint_sets_[above]);
  if (above > 0) consider(checkpoint_groups_[above - 1], &checkpoint_sets_[above - 1]);
  *set = best_set;
  return best_group;
}

// Each id sits in exactly one group, so the ids between two group boundaries toggle one
// prefix set into the other.
roaring::Roaring IntervalTree::prefix(size_t end_group) const {
  const roaring::Roaring* start_set = nullptr;
  const size_t start_group = nearest_checkpoint(end_group, &start_set);
  roaring::Roaring result(*start_set);
  if (start_group < end_group) {
    result.addMany(group_starts_[end_group] - group_starts_[start_group], ids_.data() + group_starts_[start_group]);
  } else if (start_group > end_group) {
    roaring::Roaring beyond;
    beyond.addMany(group_starts_[start_group] - group_starts_[end_group], ids_.data() + group_starts_[end_group]);
    result -= beyond;
  }
  return result;
}

roaring::Roaring IntervalTree::suffix(size_t first_group) const {
  const roaring::Roaring* start_set = nullptr;
  const size_t start_group = nearest_checkpoint(first_group, &start_set);
  roaring::Roaring result = all_ids_ - *start_set;
  if (start_group < first_group) {
    roaring::Roaring before;
    before.addMany(group_starts_[first_group] - group_starts_[start_group], ids_.data() + group_starts_[start_group]);
    result -= before;
  } else if (start_group > first_group) {
    result.addMany(group_starts_[start_group] - group_starts_[first_group], ids_.data() + group_starts_[first_group]);
  }
  return result;
}

roaring::Roaring IntervalTree::ids_in_groups(size_t first_group, size_t end_group) const {
  roaring::Roaring result;
  if (first_group >= end_group) return result;
  const size_t group_count = group_values_.size();
  if (first_group == 0) return prefix(end_group);
  if (end_group == group_count) return suffix(first_group);
  // A range with both ends inside (an exact-value lookup): its own ids, or, when they
  // are many, the difference of two prefixes.
  const uint32_t begin = group_starts_[first_group];
  const uint32_t end = group_starts_[end_group];
  if (end - begin <= kMinCheckpointSpacing) {
    result.addMany(end - begin, ids_.data() + begin);
    return result;
  }
  return prefix(end_group) - prefix(first_group);
}

roaring::Roaring IntervalTree::range_query(std::string_view op, double x) const {
  const size_t group_count = group_values_.size();
  if (op == "$lt") return ids_in_groups(0, count_below(x, false));
  if (op == "$lte") return ids_in_groups(0, count_below(x, true));
  if (op == "$gt") return ids_in_groups(count_below(x, true), group_count);
  if (op == "$gte") return ids_in_groups(count_below(x, false), group_count);
  return roaring::Roaring();
}

roaring::Roaring IntervalTree::exact(double x) const {
  const size_t at_most = count_below(x, true);
  if (at_most == 0 || group_values_[at_most - 1] != x) return roaring::Roaring();
  return ids_in_groups(at_most - 1, at_most);
}

size_t IntervalTree::memory_bytes() const {
  size_t checkpoint_bytes = checkpoint_groups_.capacity() * sizeof(uint32_t);
  for (const auto& set : checkpoint_sets_) checkpoint_bytes += sizeof(set) + set.getSizeInBytes();
  return sizeof(IntervalTree) + group_values_.capacity() * sizeof(double) +
         group_starts_.capacity() * sizeof(uint32_t) + ids_.capacity() * sizeof(uint32_t) +
         all_ids_.getSizeInBytes() + checkpoint_bytes;
}

}  // namespace vendrel
