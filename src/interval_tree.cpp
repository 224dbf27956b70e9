#include "interval_tree.h"

#include <algorithm>
#include <cmath>

namespace vendrel {

namespace {

bool by_value(const NumericPair& left, const NumericPair& right) { return left.first < right.first; }

// Assigns ascending values to groups: a value joins the open group while it lies less
// than kGroupTolerance from the group's first value (its key). Feed values in order.
class Grouper {
 public:
  explicit Grouper(std::vector<double>& group_values) : group_values_(group_values) {}

  // The index of the group that `value` falls into, opening a new group if needed.
  uint32_t place(double value) {
    if (group_values_.empty() || !(std::fabs(value - group_values_.back()) < kGroupTolerance)) {
      group_values_.push_back(value);
    }
    return static_cast<uint32_t>(group_values_.size() - 1);
  }

 private:
  std::vector<double>& group_values_;
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

IntervalTree IntervalTree::build(std::vector<NumericPair> pairs) {
  IntervalTree tree;
  std::stable_sort(pairs.begin(), pairs.end(), by_value);
  Grouper grouper(tree.group_values_);
  roaring::Roaring seen;
  for (const auto& [value, id] : pairs) {
    const uint32_t group = grouper.place(value);
    while (tree.group_starts_.size() <= group) tree.group_starts_.push_back(static_cast<uint32_t>(tree.ids_.size()));
    // Pairs come in value order, so an id's first appearance is its first group.
    if (seen.addChecked(id)) tree.ids_.push_back(id);
  }
  tree.group_starts_.push_back(static_cast<uint32_t>(tree.ids_.size()));
  tree.finish();
  return tree;
}

IntervalTree IntervalTree::merged_with(std::vector<NumericPair> pending) const {
  if (pending.empty()) return *this;
  if (group_values_.empty()) return build(std::move(pending));

  // A rebuild sorts pending pairs ahead of the old entries' pairs of equal value, so on
  // ties the pending value comes first (it matters only for the sign of a zero key).
  std::stable_sort(pending.begin(), pending.end(), by_value);
  IntervalTree merged;
  Grouper grouper(merged.group_values_);
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
  merged.finish();
  return merged;
}

size_t IntervalTree::count_below(double x, bool inclusive) const {
  // partition_point keeps the predicate's meaning for every x (a NaN x counts nothing).
  const auto end = inclusive ? std::partition_point(group_values_.begin(), group_values_.end(),
                                                    [x](double value) { return value <= x; })
                             : std::partition_point(group_values_.begin(), group_values_.end(),
                                                    [x](double value) { return value < x; });
  return static_cast<size_t>(end - group_values_.begin());
}

void IntervalTree::finish() {
  sort_within_groups(group_starts_, ids_);
  all_ids_ = roaring::Roaring();
  all_ids_.addMany(ids_.size(), ids_.data());
  all_ids_.runOptimize();
}

roaring::Roaring IntervalTree::ids_in_groups(size_t first_group, size_t end_group) const {
  roaring::Roaring result;
  if (first_group >= end_group) return result;
  const uint32_t begin = group_starts_[first_group];
  const uint32_t end = group_starts_[end_group];
  if (end - begin <= ids_.size() / 2) {
    result.addMany(end - begin, ids_.data() + begin);
    return result;
  }
  // More than half of the ids: every id sits in exactly one group, so the set is all
  // ids minus the shorter rest, which is cheaper to build.
  result.addMany(begin, ids_.data());
  result.addMany(ids_.size() - end, ids_.data() + end);
  return all_ids_ - result;
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
  return sizeof(IntervalTree) + group_values_.capacity() * sizeof(double) +
         group_starts_.capacity() * sizeof(uint32_t) + ids_.capacity() * sizeof(uint32_t) +
         all_ids_.getSizeInBytes();
}

}  // namespace vendrel
