// Inside the graph index (graph_index.cpp, graph_file.cpp): the hnswlib structure and
// the distance space that reads the database's rows instead of vectors of its own.
//
// hnswlib keeps a fixed-size data block per node, copies the new point's block into it
// on insertion, and calls the space's distance with (new point or query, stored node)
// and (stored node, stored node); the second argument is always a stored node. The
// data block here is empty: a node's data pointer then points at its label, which is
// the id whose row is its vector (8 bytes, the id in the low 4 on the little-endian
// machines we build for), so the node needs no copy of its id. The point of an
// insertion is a NodeRef of the id being inserted (its row is already stored), and the
// point of a search is a QueryProbe; both start with the id's 4 bytes, then a kind
// that a label's upper half (0) never equals.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <vector>

#include <hnswlib/hnswlib.h>

#include "graph_index.h"
#include "paged_table.h"
#include "storage.h"

namespace vendrel {

inline constexpr uint32_t kNodeKind = 0x45444f4e;   // "NODE" in memory
inline constexpr uint32_t kQueryKind = 0x59524551;  // "QERY"

// The point of an insertion: the id whose row is its vector. Read as a node's label by
// the distance function, whose stored node is a label (kind 0).
struct NodeRef {
  uint32_t id = 0;
  uint32_t kind = kNodeKind;
};

// The id of the node whose data pointer (its label's address) is `data`.
inline uint32_t id_at(const void* data) {
  hnswlib::labeltype label;
  std::memcpy(&label, data, sizeof label);
  return static_cast<uint32_t>(label);
}

// The point of a search: the query's values, the inverse of its norm (0 when the norm
// is outside the dot range: the query is then scored by wide_cosine), and the id held
// out.
struct QueryProbe {
  uint32_t unused_id = 0;
  uint32_t kind = kQueryKind;
  const float* values = nullptr;
  double inverse_norm = 0.0;
  uint32_t excluded = 0;
  bool has_excluded = false;
};

// 1 - dot / (|a| |b|) in double after the float dot product; both norms are in the dot
// range.
inline float cosine_distance(float dot, double inverse_norms) {
  return static_cast<float>(1.0 - static_cast<double>(dot) * inverse_norms);
}

// hnswlib's view of the rows. The distance function gets a pointer to this space as
// its parameter; it reads rows without locking (the graph's callers hold the database's
// lock, see graph_index.h).
class RowSpace : public hnswlib::SpaceInterface<float> {
 public:
  RowSpace(const VectorTable* rows, size_t dimension) : rows_(rows), dimension_(dimension) {}
  size_t get_data_size() override { return 0; }  // the node's label is its id
  hnswlib::DISTFUNC<float> get_dist_func() override { return &distance; }
  void* get_dist_func_param() override { return this; }

  // The row of a node's id (null values when it has none).
  RowView row_of(uint32_t id) const { return rows_->full_row(id); }

  // The distance from the query to a row, or +infinity for the held-out id.
  float query_distance(const QueryProbe& query, uint32_t id, const RowView& row) const {
    if (query.has_excluded && id == query.excluded) return std::numeric_limits<float>::infinity();
    if (row.values == nullptr) return 1.0f;
    if (query.inverse_norm == 0.0 || !in_dot_range(row.norm)) return wide_distance(query.values, row.values);
    return cosine_distance(dot_product(query.values, row.values, dimension_), query.inverse_norm * (1.0 / row.norm));
  }

  size_t dimension() const { return dimension_; }

 private:
  static float distance(const void* point, const void* node, const void* param) {
    const RowSpace& space = *static_cast<const RowSpace*>(param);
    const uint32_t stored_id = id_at(node);
    NodeRef head;
    std::memcpy(&head, point, sizeof head);
    if (head.kind == kQueryKind) {
      return space.query_distance(*static_cast<const QueryProbe*>(point), stored_id, space.row_of(stored_id));
    }
    return space.row_distance(head.id, stored_id);
  }

  float row_distance(uint32_t first_id, uint32_t second_id) const {
    const RowView first = rows_->full_row(first_id);
    const RowView second = rows_->full_row(second_id);
    if (first.values == nullptr || second.values == nullptr) return 1.0f;
    if (!in_dot_range(first.norm) || !in_dot_range(second.norm)) return wide_distance(first.values, second.values);
    return cosine_distance(dot_product(first.values, second.values, dimension_),
                           (1.0 / first.norm) * (1.0 / second.norm));
  }

  // 1 for a vector holding NaN or an infinity, as for a missing row.
  float wide_distance(const float* first, const float* second) const {
    const double distance = 1.0 - double{wide_cosine({first, dimension_}, {second, dimension_})};
    return std::isfinite(distance) ? static_cast<float>(distance) : 1.0f;
  }

  const VectorTable* rows_;
  size_t dimension_;
};

// The share of a replaced node's neighbours whose links hnswlib rebuilds (its own links
// are always rebuilt). hnswlib's own replacement rebuilds them all: 3.4 times the time of
// half of them for the same recall after rounds of replacement (20,000 x 128, half the
// ids given new vectors 4 times: recall@10 at ef 32 0.980 to 0.982 against 0.983). Both
// leave nodes that no search reaches after many of them; GraphIndex links those back
// (count_moved). (The library draws which ones from a generator that parallel inserts
// share unlocked, as it draws levels: each draw is still a number in [0, 1).)
inline constexpr float kNeighbourRepairShare = 0.5f;

// A new graph holds this many nodes before its first growth; growth doubles.
inline constexpr size_t kInitialGraphCapacity = 256;
inline constexpr size_t kMaxGraphConnectivity = 1000;

// Settings of 0 take the defaults; the connectivity is clamped to [2, 1,000] (hnswlib's
// level draw divides by log(M): M = 1 would put every node on every level).
inline GraphSettings normalized(GraphSettings settings) {
  const GraphSettings defaults;
  if (settings.connectivity == 0) settings.connectivity = defaults.connectivity;
  if (settings.ef_construction == 0) settings.ef_construction = defaults.ef_construction;
  if (settings.ef_search == 0) settings.ef_search = defaults.ef_search;
  settings.connectivity = std::clamp<size_t>(settings.connectivity, 2, kMaxGraphConnectivity);
  return settings;
}

// One page of the id-to-node directory: node + 1 per id, 0 for none.
struct NodeSlots {
  static constexpr uint32_t kSlots = 1u << 10;
  uint32_t node_plus_one[kSlots] = {};
};
using NodeDirectory = PageDirectory<NodeSlots, 10>;

struct GraphIndex::State {
  RowSpace space;
  hnswlib::HierarchicalNSW<float> graph;
  // Which node holds each id: 4 bytes per id where hnswlib's label map spends about 40
  // per node. That map stays empty (its entry for a node it appends is removed at once).
  NodeDirectory nodes;

  // An empty graph with room for `capacity` nodes. Throws on allocation failure.
  State(const VectorTable* rows, size_t dimension, const GraphSettings& settings, size_t capacity)
      : space(rows, dimension),
        graph(&space, capacity, settings.connectivity, settings.ef_construction, /*random_seed=*/100,
              /*allow_replace_deleted=*/true) {
    graph.setEf(1);  // unused: the search takes its expansion as an argument
    // The distance function reads a stored node's id at its data pointer.
    if (graph.offsetData_ != graph.label_offset_) throw std::logic_error("hnswlib's node layout changed");
  }

  // The node of `id`, or nullopt when the id is not in the graph. Caller holds the lock
  // (shared at least) and no insertion runs.
  std::optional<hnswlib::tableint> node_of(uint32_t id) const {
    const NodeSlots* page = nodes.find(id);
    if (page == nullptr) return std::nullopt;
    const uint32_t held = page->node_plus_one[NodeDirectory::slot_of(id)];
    if (held == 0) return std::nullopt;
    return hnswlib::tableint(held - 1);
  }

  // Creates the directory's pages for `ids`, so that add() can run on several threads.
  // Exclusive lock; throws std::bad_alloc.
  void make_slots(std::span<const uint32_t> ids) {
    for (uint32_t id : ids) nodes.get_or_create(id);
  }

  // Records that `node` holds `id`, or with nullopt that no node does. The id's page
  // exists.
  void set_node(uint32_t id, std::optional<hnswlib::tableint> node) {
    nodes.find(id)->node_plus_one[NodeDirectory::slot_of(id)] = node ? *node + 1 : 0;
  }

  // Room for `more` new ids, which take over deleted nodes first. Exclusive lock;
  // throws on allocation failure.
  void reserve(size_t more) {
    const size_t vacant = graph.deleted_elements.size();
    if (more <= vacant) return;
    const size_t needed = graph.cur_element_count + (more - vacant);
    if (needed <= graph.max_elements_) return;
    graph.resizeIndex(std::max(needed, graph.max_elements_ * 2));
  }

  // Makes a deleted id visible again before its links are repaired: hnswlib refuses to
  // update a deleted node while deleted nodes may be reused. Exclusive lock.
  void revive(uint32_t id) {
    const std::optional<hnswlib::tableint> node = node_of(id);
    if (node && graph.isMarkedDeleted(*node)) graph.unmarkDeletedInternal(*node);
  }

  // Inserts one id whose row is stored, or repairs its links after its row changed.
  // Safe on several threads at once for distinct ids whose slots exist (make_slots).
  // `present` says whether the id is in the graph already (looked up before any thread
  // starts): a new id may take over a deleted node, an existing one must not, or its id
  // would map to two nodes. This is hnswlib's addPoint with replacement, keeping our
  // directory instead of its label map.
  void add(uint32_t id, bool present) {
    const NodeRef point{id};
    if (present) {
      graph.updatePoint(&point, *node_of(id), kNeighbourRepairShare);
      return;
    }
    if (const std::optional<hnswlib::tableint> vacant = take_vacant_node()) {
      // Nothing else touches a deleted node or the id it held while the batch runs.
      const uint32_t replaced = static_cast<uint32_t>(graph.getExternalLabel(*vacant));
      set_node(replaced, std::nullopt);
      graph.setExternalLabel(*vacant, id);
      set_node(id, *vacant);
      graph.unmarkDeletedInternal(*vacant);
      graph.updatePoint(&point, *vacant, kNeighbourRepairShare);
      return;
    }
    const hnswlib::tableint node = graph.addPoint(&point, id, /*level=*/-1);
    {
      std::lock_guard lock(graph.label_lookup_lock);
      graph.label_lookup_.erase(id);
    }
    set_node(id, node);
  }

  // The search of GraphIndex::search (graph_search.cpp): the `expansion` nearest
  // acceptable nodes to the query (not deleted, not held out, passing `allowed` when it
  // is set), nearest first. Shared lock. Throws only std::bad_alloc.
  std::vector<GraphHit> search(const QueryProbe& query, size_t expansion, const AllowedIdTest& allowed) const;

  // A deleted node for a new id, taken off hnswlib's list of them, if there is one.
  std::optional<hnswlib::tableint> take_vacant_node() {
    std::lock_guard lock(graph.deleted_elements_lock);
    if (graph.deleted_elements.empty()) return std::nullopt;
    const hnswlib::tableint node = *graph.deleted_elements.begin();
    graph.deleted_elements.erase(graph.deleted_elements.begin());
    return node;
  }

  void hide(uint32_t id) {
    const std::optional<hnswlib::tableint> node = node_of(id);
    if (node && !graph.isMarkedDeleted(*node)) graph.markDeletedInternal(*node);
  }
};

}  // namespace vendrel
