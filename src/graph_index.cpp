#include "graph_index.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include "graph_state.h"

namespace vendrel {
namespace {

// The search point of a query: its values and the inverse of its norm, the norm taken
// as the scan takes it (a float sum of squares cannot overflow within the dot range; a
// sum in double, one add at a time, was 2 % of a search at d = 384).
QueryProbe probe_of(std::span<const float> query, std::optional<uint32_t> excluded) {
  const float norm = euclidean_norm(query);
  QueryProbe probe;
  probe.values = query.data();
  probe.inverse_norm = in_dot_range(norm) ? 1.0 / double{norm} : 0.0;
  probe.excluded = excluded.value_or(0);
  probe.has_excluded = excluded.has_value();
  return probe;
}

std::string library_failure(const char* operation, const std::exception& failure) {
  return std::string("graph index ") + operation + " failed: " + failure.what();
}

}  // namespace

AllowedIdTest allowed_in(const roaring::Roaring& ids) {
  return [&ids](uint32_t id) { return ids.contains(id); };
}

GraphIndex::GraphIndex(const VectorTable* rows, size_t dimension, GraphSettings settings)
    : rows_(rows), dimension_(dimension), settings_(normalized(settings)) {
  state_ = std::make_unique<State>(rows_, dimension_, settings_, kInitialGraphCapacity);
}

GraphIndex::GraphIndex(const VectorTable* rows, size_t dimension, GraphSettings settings,
                       std::unique_ptr<State> state)
    : rows_(rows), dimension_(dimension), settings_(settings), state_(std::move(state)) {}

GraphIndex::~GraphIndex() = default;

namespace {

// Whether `id` has a row the graph can read: a full vector of `dimension` components.
bool has_row(const VectorTable& rows, uint32_t id, size_t dimension) {
  return rows.width() == dimension && rows.full_row(id).values != nullptr;
}

Error missing_row(const char* operation, uint32_t id, size_t dimension) {
  return value_error(std::string("graph index ") + operation + ": id " + std::to_string(id) +
                     " has no stored vector of dimension " + std::to_string(dimension));
}

using hnswlib::linklistsizeint;
using hnswlib::tableint;

// A check of reachability reads every base-layer link twice. It runs once the nodes
// moved since the last one reach 1/kMovedNodesPerCheck of the graph, so that a moved
// node pays for the links of about that many nodes (far less than its own repair).
constexpr size_t kMovedNodesPerCheck = 1024;
// Relinking a node may take a link from another node, which may leave a third one out;
// the check runs again, at most this many times.
constexpr int kReconnectRounds = 4;

std::span<tableint> base_links(hnswlib::HierarchicalNSW<float>& graph, tableint node) {
  linklistsizeint* list = graph.get_linklist0(node);
  return {reinterpret_cast<tableint*>(list + 1), graph.getListCount(list)};
}

// What the base layer reaches from the entry point, and how many reached nodes link to
// each node.
struct Reach {
  std::vector<uint8_t> reached;
  std::vector<uint32_t> in_links;

  // Marks every node reached from `start`, counting the links of each newly reached one.
  void from(hnswlib::HierarchicalNSW<float>& graph, tableint start) {
    if (reached[start]) return;
    std::vector<tableint> pending{start};
    reached[start] = 1;
    while (!pending.empty()) {
      const tableint node = pending.back();
      pending.pop_back();
      for (tableint next : base_links(graph, node)) {
        ++in_links[next];
        if (!reached[next]) {
          reached[next] = 1;
          pending.push_back(next);
        }
      }
    }
  }
};

// Reached nodes that could link to `node`, nearest first: its own links' targets, else
// the candidates hnswlib's insertion search finds for it from the entry point, else the
// entry point.
std::vector<tableint> reached_neighbours(hnswlib::HierarchicalNSW<float>& graph, tableint node, const Reach& reach) {
  const void* point = graph.getDataByInternalId(node);
  std::vector<std::pair<float, tableint>> scored;
  const auto consider = [&](tableint other) {
    if (other == node || !reach.reached[other]) return;
    scored.emplace_back(graph.fstdistfunc_(point, graph.getDataByInternalId(other), graph.dist_func_param_), other);
  };
  for (tableint other : base_links(graph, node)) consider(other);
  if (scored.empty()) {
    auto found = graph.searchBaseLayer(graph.enterpoint_node_, point, 0);
    for (; !found.empty(); found.pop()) consider(found.top().second);
  }
  if (scored.empty()) consider(graph.enterpoint_node_);  // every reached node is deleted
  std::sort(scored.begin(), scored.end());
  std::vector<tableint> nearest;
  for (const auto& [distance, other] : scored) nearest.push_back(other);
  return nearest;
}

// Gives `node` a link from the nearest of `from` with a free place, else from the
// nearest that links to a node another reached node links to as well (that link is
// replaced). False when none can.
bool link_from(hnswlib::HierarchicalNSW<float>& graph, std::span<const tableint> from, tableint node, Reach& reach) {
  for (tableint source : from) {
    linklistsizeint* list = graph.get_linklist0(source);
    const size_t count = graph.getListCount(list);
    if (count >= graph.maxM0_) continue;
    reinterpret_cast<tableint*>(list + 1)[count] = node;
    graph.setListCount(list, static_cast<unsigned short>(count + 1));
    ++reach.in_links[node];
    return true;
  }
  for (tableint source : from) {
    const std::span<tableint> links = base_links(graph, source);
    const auto most = std::max_element(links.begin(), links.end(),
                                       [&](tableint a, tableint b) { return reach.in_links[a] < reach.in_links[b]; });
    if (most == links.end() || reach.in_links[*most] < 2) continue;
    --reach.in_links[*most];
    *most = node;
    ++reach.in_links[node];
    return true;
  }
  return false;
}

// Links back every live node that the base layer no longer reaches from the entry
// point. hnswlib's repair of a moved node rebuilds the links of the nodes around its old
// place and can leave a node that no list names: no search finds it again.
void reconnect_unreachable(hnswlib::HierarchicalNSW<float>& graph) {
  const size_t nodes = graph.cur_element_count;
  if (nodes < 2) return;
  for (int round = 0; round < kReconnectRounds; ++round) {
    Reach reach{std::vector<uint8_t>(nodes, 0), std::vector<uint32_t>(nodes, 0)};
    reach.from(graph, graph.enterpoint_node_);
    size_t linked = 0;
    for (tableint node = 0; node < nodes; ++node) {
      if (reach.reached[node] || graph.isMarkedDeleted(node)) continue;
      if (!link_from(graph, reached_neighbours(graph, node, reach), node, reach)) continue;
      reach.from(graph, node);
      ++linked;
    }
    if (linked == 0) break;
  }
}

}  // namespace

void GraphIndex::count_moved(size_t moved) {
  moved_since_check_ += moved;
  if (moved_since_check_ == 0 || moved_since_check_ * kMovedNodesPerCheck < state_->graph.cur_element_count) return;
  moved_since_check_ = 0;
  reconnect_unreachable(state_->graph);
}

Status GraphIndex::insert(uint32_t id, bool deleted) {
  if (!has_row(*rows_, id, dimension_)) return missing_row("insert", id, dimension_);
  std::unique_lock lock(lock_);
  try {
    const bool present = state_->node_of(id).has_value();
    if (!present) state_->reserve(1);
    state_->make_slots({&id, 1});
    state_->revive(id);
    const bool moves = present || !state_->graph.deleted_elements.empty();  // takes a deleted node over
    state_->add(id, present);
    if (present) replaced_.fetch_add(1, std::memory_order_relaxed);
    if (deleted) state_->hide(id);
    count_moved(moves ? 1 : 0);
  } catch (const std::exception& failure) {
    return internal_error(library_failure("insert", failure));
  }
  return ok_status();
}

Status GraphIndex::reserve(size_t additional) {
  std::unique_lock lock(lock_);
  try {
    state_->reserve(additional);
  } catch (const std::exception& failure) {
    return internal_error(library_failure("reserve", failure));
  }
  return ok_status();
}

Status GraphIndex::insert_batch(std::span<const uint32_t> ids, bool deleted, std::span<const uint32_t> unchanged) {
  std::vector<uint32_t> distinct(ids.begin(), ids.end());
  std::sort(distinct.begin(), distinct.end());
  distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
  for (uint32_t id : distinct) {
    if (!has_row(*rows_, id, dimension_)) return missing_row("insert_batch", id, dimension_);
  }

  std::unique_lock lock(lock_);
  try {
    if (!unchanged.empty()) {
      std::erase_if(distinct, [&](uint32_t id) {
        if (!std::binary_search(unchanged.begin(), unchanged.end(), id) || !state_->node_of(id)) return false;
        deleted ? state_->hide(id) : state_->revive(id);
        return true;
      });
    }
    std::vector<uint8_t> present(distinct.size());
    size_t new_ids = 0;
    for (size_t i = 0; i < distinct.size(); ++i) {
      present[i] = state_->node_of(distinct[i]).has_value();
      new_ids += !present[i];
    }
    for (uint32_t id : distinct) state_->revive(id);
    // New ids take deleted nodes over first: those nodes move too.
    const size_t moved = distinct.size() - new_ids + std::min(new_ids, state_->graph.deleted_elements.size());
    state_->reserve(new_ids);
    state_->make_slots(distinct);
    tbb::parallel_for(tbb::blocked_range<size_t>(0, distinct.size(), 16), [&](const tbb::blocked_range<size_t>& range) {
      for (size_t i = range.begin(); i < range.end(); ++i) state_->add(distinct[i], present[i]);
    });
    replaced_.fetch_add(distinct.size() - new_ids, std::memory_order_relaxed);
    if (deleted) {
      for (uint32_t id : distinct) state_->hide(id);
    }
    count_moved(moved);
  } catch (const std::exception& failure) {
    return internal_error(library_failure("insert_batch", failure));
  }
  return ok_status();
}

void GraphIndex::mark_deleted(const roaring::Roaring& ids) {
  std::unique_lock lock(lock_);
  auto& graph = state_->graph;
  // Walk the smaller side: a database's deleted set can be far larger than the graph.
  if (ids.cardinality() <= graph.cur_element_count) {
    for (uint32_t id : ids) state_->hide(id);
    return;
  }
  for (hnswlib::tableint node = 0; node < graph.cur_element_count; ++node) {
    if (!graph.isMarkedDeleted(node) && ids.contains(static_cast<uint32_t>(graph.getExternalLabel(node)))) {
      graph.markDeletedInternal(node);
    }
  }
}

Result<std::vector<GraphHit>> GraphIndex::search(std::span<const float> query, size_t count, size_t ef,
                                                 const AllowedIdTest& allowed,
                                                 std::optional<uint32_t> excluded) const {
  if (query.size() != dimension_) {
    return value_error("graph index search: query has " + std::to_string(query.size()) +
                       " components, the graph's dimension is " + std::to_string(dimension_));
  }
  std::vector<GraphHit> hits;
  if (count == 0) return hits;
  const QueryProbe probe = probe_of(query, excluded);
  const size_t expansion = std::max(ef == 0 ? settings_.ef_search : ef, count);

  std::shared_lock lock(lock_);
  try {
    hits = state_->search(probe, expansion, allowed);
  } catch (const std::exception& failure) {
    return internal_error(library_failure("search", failure));
  }
  if (hits.size() > count) {
    // The candidates as near as the last hit stay, so that the caller, which orders
    // equal scores by id, chooses among them (duplicated documents: the lowest ids).
    size_t kept = count;
    while (kept < hits.size() && hits[kept].distance == hits[count - 1].distance) ++kept;
    hits.resize(kept);
  }
  return hits;
}

bool GraphIndex::contains(uint32_t id) const {
  std::shared_lock lock(lock_);
  const std::optional<hnswlib::tableint> node = state_->node_of(id);
  return node && !state_->graph.isMarkedDeleted(*node);
}

size_t GraphIndex::size() const {
  std::shared_lock lock(lock_);
  return state_->graph.cur_element_count - state_->graph.num_deleted_;
}

size_t GraphIndex::node_count() const {
  std::shared_lock lock(lock_);
  return state_->graph.cur_element_count;
}

size_t GraphIndex::memory_bytes() const {
  std::shared_lock lock(lock_);
  const auto& graph = state_->graph;
  const size_t capacity = graph.max_elements_;
  size_t bytes = capacity * graph.size_data_per_element_;                  // base-layer links, label (the id)
  bytes += capacity * (sizeof(int) + sizeof(char*) + sizeof(std::mutex));  // levels, upper-link pointers, node locks
  for (size_t node = 0; node < graph.cur_element_count; ++node) {
    bytes += size_t(graph.element_levels_[node]) * graph.size_links_per_element_;
  }
  bytes += graph.label_op_locks_.size() * sizeof(std::mutex);
  bytes += state_->nodes.page_count() * sizeof(NodeSlots);
  bytes += graph.deleted_elements.size() * (sizeof(hnswlib::tableint) + 3 * sizeof(void*));
  bytes += capacity * sizeof(hnswlib::vl_type);  // at least one visited list
  return bytes;
}

}  // namespace vendrel
