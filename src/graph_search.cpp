// GraphIndex::State::search: the graph search, our own loop over hnswlib's structure.
//
// hnswlib's search scores one neighbour at a time and prefetches the next neighbour's
// data block, which here holds no vector (a node's label is its id), so every
// distance waited for its row to come from memory: 1.37x the time of the former
// unit-copy graph at 50,000 x 768, ef 128, queries interleaved in one process. This loop keeps hnswlib
// 0.8.0's rules (searchKnn: the greedy descent through the upper layers, then the base
// layer with `expansion` candidates, walking through deleted and disallowed nodes
// without keeping them) but starts the loads of all of a node's unvisited neighbours
// (their labels, then the first lines of their rows) before it scores any: 0.90x the
// unit-copy graph's time at 100,000 x 768, ef 64 to 256. It reads the library's public
// members only; insertion stays the library's. The held-out id is skipped here, not
// walked through.
#include <algorithm>
#include <cstring>
#include <limits>
#include <queue>
#include <vector>

#include "graph_state.h"

namespace vendrel {
namespace {

using hnswlib::linklistsizeint;
using hnswlib::tableint;

struct Scored {
  float distance = 0.0f;
  tableint node = 0;
};
struct FartherOnTop {
  bool operator()(const Scored& a, const Scored& b) const { return a.distance < b.distance; }
};
struct NearerOnTop {
  bool operator()(const Scored& a, const Scored& b) const { return a.distance > b.distance; }
};

constexpr size_t kCacheLine = 64;
// Lines of each neighbour's row prefetched before any is scored; the hardware
// prefetcher follows a row once its first lines are asked for.
constexpr size_t kLinesAhead = 2;
// Entries each search queue reserves at most.
constexpr size_t kReservedQueue = 1024;

// The visited list is the library's, taken from and given back to its pool.
class VisitedNodes {
 public:
  explicit VisitedNodes(hnswlib::VisitedListPool& pool) : pool_(pool), list_(pool.getFreeVisitedList()) {}
  ~VisitedNodes() { pool_.releaseVisitedList(list_); }
  VisitedNodes(const VisitedNodes&) = delete;
  VisitedNodes& operator=(const VisitedNodes&) = delete;
  // Marks `node`; false when it was marked already.
  bool mark(tableint node) {
    if (list_->mass[node] == list_->curV) return false;
    list_->mass[node] = list_->curV;
    return true;
  }

 private:
  hnswlib::VisitedListPool& pool_;
  hnswlib::VisitedList* list_;
};

// A node's neighbours about to be scored: their ids and rows, rows prefetched.
struct Neighbours {
  std::vector<tableint> nodes;
  std::vector<uint32_t> ids;
  std::vector<RowView> rows;

  void prefetch_whole(size_t i, size_t row_bytes) const {
    if (rows[i].values == nullptr) return;
    const char* start = reinterpret_cast<const char*>(rows[i].values);
    for (size_t offset = kLinesAhead * kCacheLine; offset < row_bytes; offset += kCacheLine) __builtin_prefetch(start + offset);
  }
  void reserve(size_t count) {
    nodes.reserve(count);
    ids.reserve(count);
    rows.reserve(count);
  }
  void clear() {
    nodes.clear();
    ids.clear();
    rows.clear();
  }
  void add(uint32_t id, const RowView& row, size_t row_bytes) {
    ids.push_back(id);
    rows.push_back(row);
    if (row.values == nullptr) return;
    const char* start = reinterpret_cast<const char*>(row.values);
    for (size_t line = 0; line < kLinesAhead && line * kCacheLine < row_bytes; ++line) {
      __builtin_prefetch(start + line * kCacheLine);
    }
  }
};

}  // namespace

std::vector<GraphHit> GraphIndex::State::search(const QueryProbe& query, size_t expansion,
                                                const AllowedIdTest& allowed) const {
  std::vector<GraphHit> hits;
  if (graph.cur_element_count == 0) return hits;
  const size_t row_bytes = space.dimension() * sizeof(float);
  const auto id_of = [&](tableint node) { return static_cast<uint32_t>(graph.getExternalLabel(node)); };
  // Sized once for the longest link list, as are the queues below for `expansion`,
  // rather than grown on every search (7 to 9 % of a search on a 20-document graph).
  Neighbours neighbours;
  neighbours.reserve(std::max(graph.maxM0_, graph.maxM_));
  const auto gather = [&](const linklistsizeint* list, VisitedNodes* visited) {
    neighbours.clear();
    const size_t count = graph.getListCount(const_cast<linklistsizeint*>(list));
    const auto* links = reinterpret_cast<const tableint*>(list + 1);
    // Three passes, each starting the loads the next one needs: the nodes' labels (their
    // ids), then their rows.
    for (size_t i = 0; i < count; ++i) {
      if (visited != nullptr && !visited->mark(links[i])) continue;
      neighbours.nodes.push_back(links[i]);
      __builtin_prefetch(graph.getExternalLabeLp(links[i]));
    }
    for (tableint node : neighbours.nodes) {
      const uint32_t id = id_of(node);
      neighbours.add(id, space.row_of(id), row_bytes);
    }
  };

  // The upper layers: move to the nearest neighbour while one is nearer.
  tableint current = graph.enterpoint_node_;
  const uint32_t entry_id = id_of(current);
  float current_distance = space.query_distance(query, entry_id, space.row_of(entry_id));
  for (int level = graph.maxlevel_; level > 0; --level) {
    for (bool moved = true; moved;) {
      moved = false;
      gather(graph.get_linklist(current, level), nullptr);
      for (size_t i = 0; i < neighbours.nodes.size(); ++i) {
        const float distance = space.query_distance(query, neighbours.ids[i], neighbours.rows[i]);
        if (distance < current_distance) {
          current_distance = distance;
          current = neighbours.nodes[i];
          moved = true;
        }
      }
    }
  }

  // The base layer. Without deleted nodes, a filter or a held-out id, hnswlib's
  // bare-bone rules apply (every node is kept; stop at the first candidate farther than
  // the worst kept); otherwise a node is kept only if acceptable, and the search stops
  // only once `expansion` nodes are kept.
  const bool plain = graph.num_deleted_ == 0 && !allowed && !query.has_excluded;
  const auto acceptable = [&](tableint node) {
    if (plain) return true;
    if (graph.isMarkedDeleted(node)) return false;
    const auto label = static_cast<uint32_t>(graph.getExternalLabel(node));
    return !(query.has_excluded && label == query.excluded) && (!allowed || allowed(label));
  };
  VisitedNodes visited(*graph.visited_list_pool_);
  // Large expansions grow as before: a reservation of their full size would be a
  // mapping of its own per search.
  const size_t queued = std::min<size_t>(expansion, kReservedQueue);
  std::vector<Scored> kept_storage;
  kept_storage.reserve(queued + 1);
  std::vector<Scored> frontier_storage;
  frontier_storage.reserve(queued + graph.maxM0_);
  std::priority_queue<Scored, std::vector<Scored>, FartherOnTop> kept(FartherOnTop{}, std::move(kept_storage));
  std::priority_queue<Scored, std::vector<Scored>, NearerOnTop> frontier(NearerOnTop{}, std::move(frontier_storage));
  float bound = std::numeric_limits<float>::max();
  if (acceptable(current)) {
    kept.push({current_distance, current});
    bound = current_distance;
    frontier.push({current_distance, current});
  } else {
    frontier.push({bound, current});
  }
  visited.mark(current);
  while (!frontier.empty()) {
    const Scored next = frontier.top();
    if (next.distance > bound && (plain || kept.size() == expansion)) break;
    frontier.pop();
    gather(graph.get_linklist0(next.node), &visited);
    for (size_t i = 0; i < neighbours.nodes.size(); ++i) {
      if (i + 1 < neighbours.nodes.size()) neighbours.prefetch_whole(i + 1, row_bytes);
      const float distance = space.query_distance(query, neighbours.ids[i], neighbours.rows[i]);
      if (distance == std::numeric_limits<float>::infinity()) continue;  // held out: not walked through
      if (kept.size() < expansion || bound > distance) {
        frontier.push({distance, neighbours.nodes[i]});
        if (acceptable(neighbours.nodes[i])) kept.push({distance, neighbours.nodes[i]});
        if (kept.size() > expansion) kept.pop();
        if (!kept.empty()) bound = kept.top().distance;
      }
    }
  }

  hits.resize(kept.size());
  for (size_t i = hits.size(); i-- > 0; kept.pop()) {
    hits[i] = GraphHit{static_cast<uint32_t>(graph.getExternalLabel(kept.top().node)), kept.top().distance};
  }
  return hits;
}

}  // namespace vendrel
