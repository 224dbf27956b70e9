// The HNSW graph index: the candidate stage of the full-vector database's graph search.
// It ranks ids by cosine distance to a query; the database scores the candidates it
// returns from its own stored vectors.
//
// Built on hnswlib. The graph keeps its own unit-length copy of every vector (hnswlib
// stores a node's vector beside its links, so it cannot read them from the database's
// tables) and ranks by 1 - dot with SimSIMD's run-time dispatched kernel.
//
// Locking: the index owns one reader-writer lock. insert, insert_batch and mark_deleted
// take it exclusively; search, contains, size and memory_bytes take it shared, so
// searches from several threads run side by side. No method calls back into the
// caller while holding it except the allowed-id test of search, which must not call
// the index.
//
// Failures are values: a wrong dimension is a kValue error with nothing changed; a
// failure of the library (out of memory) is a kInternal error, after which the ids of
// the failed call may be partly inserted; the graph stays searchable.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <shared_mutex>
#include <span>
#include <vector>

#include "common.h"
#include "id_set.h"

namespace vendrel {

// Connectivity 16 as in most HNSW deployments. The expansions were chosen on clustered
// data at 100,000 x 768 (bench/results/*-graph-library.md): ef = 128 is the smallest
// tried that gives recall@10 >= 0.95 unfiltered and with allowed sets of 50 %, 5 % and
// 0.5 % (64 gives 0.91 unfiltered); ef_construction = 200 gains under 0.01 of recall
// for half the insertion speed of 100.
inline constexpr size_t kGraphConnectivity = 16;
inline constexpr size_t kGraphEfConstruction = 100;
inline constexpr size_t kGraphEfSearch = 128;

struct GraphSettings {
  size_t connectivity = kGraphConnectivity;      // M: links per node (2 M on the base layer)
  size_t ef_construction = kGraphEfConstruction;  // candidate list length while inserting
  size_t ef_search = kGraphEfSearch;              // default candidate list length while searching
};

// A candidate: the id and its cosine distance to the query (1 - cosine similarity,
// from the graph's float32 unit copies; rank by it, score elsewhere).
struct GraphHit {
  uint32_t id = 0;
  float distance = 0.0f;
};

// Whether an id may be returned. Called from the searching thread only, for ids the
// search reaches (not for every id); an empty function allows every id.
using AllowedIdTest = std::function<bool(uint32_t id)>;

// The test "id is in `ids`"; `ids` must outlive the search.
AllowedIdTest allowed_in(const roaring::Roaring& ids);

class GraphIndex {
 public:
  // An empty graph for vectors of `dimension` (> 0) components. Settings of 0 take the
  // defaults above; a connectivity above 1,000 is clamped to it.
  explicit GraphIndex(size_t dimension, GraphSettings settings = {});
  ~GraphIndex();
  GraphIndex(const GraphIndex&) = delete;
  GraphIndex& operator=(const GraphIndex&) = delete;

  size_t dimension() const { return dimension_; }
  const GraphSettings& settings() const { return settings_; }

  // Inserts `vector` under `id`, or replaces the id's vector when it is already in the
  // graph (deleted or not). The graph stores a unit-length copy; a vector with a zero,
  // infinite or NaN norm is stored as the zero vector (distance 1 to every query), so it
  // stays in the graph and the caller's scoring decides about it. With `deleted`, the id
  // is hidden from searches afterwards (as after mark_deleted); otherwise it is visible,
  // even if it was deleted before. Capacity grows as needed. Exclusive lock.
  // Errors: kValue when vector.size() != dimension() (nothing changed); kInternal when
  // the library fails (out of memory), with the id possibly absent.
  Status insert(uint32_t id, std::span<const float> vector, bool deleted = false);

  // Inserts rows.size() / dimension() vectors, row i = rows[i * d, (i + 1) * d) under
  // ids[i], on the oneTBB pool. The content afterwards equals inserting the rows one by
  // one in order with the same `deleted`: an id repeated in the batch ends with its last
  // row. (The links differ with the order of insertion; the ids and vectors do not.)
  // Exclusive lock for the whole call. Errors: kValue when rows.size() !=
  // ids.size() * dimension() (nothing changed); kInternal when the library fails, with
  // any subset of the batch inserted.
  Status insert_batch(std::span<const uint32_t> ids, std::span<const float> rows, bool deleted = false);

  // Makes room for `additional` more ids at once (a batch about to arrive), so that the
  // graph grows once instead of doubling several times. Exclusive lock. A failure to
  // allocate is a kInternal error with nothing changed.
  Status reserve(size_t additional);

  // Hides every id of `ids` from searches; ids not in the graph are ignored. The nodes
  // stay in the graph as waypoints, and a later insert of a new id may reuse a deleted
  // node's memory (the deleted id then leaves the graph). Exclusive lock. Never fails.
  void mark_deleted(const roaring::Roaring& ids);

  // The `count` ids nearest to `query` by cosine distance, nearest first (equal
  // distances in any order), among the ids that are in the graph, not deleted, and pass
  // `allowed`. The graph search keeps max(ef, count) candidates (ef 0: the settings'
  // ef_search) and skips ids that fail `allowed` as results while still walking through
  // them, so it returns min(count, allowed ids reachable from the entry point) hits:
  // when it has found fewer than max(ef, count) it walks the whole connected part of the
  // base layer before stopping. Shared lock. Errors: kValue when query.size() !=
  // dimension().
  Result<std::vector<GraphHit>> search(std::span<const float> query, size_t count, size_t ef = 0,
                                       const AllowedIdTest& allowed = {}) const;

  // Whether `id` is in the graph and not deleted. Shared lock.
  bool contains(uint32_t id) const;
  // The number of ids in the graph and not deleted. Shared lock.
  size_t size() const;
  // Bytes held by the graph: node blocks (vector copy and base-layer links) for the
  // whole capacity, upper-layer links, the id map and the per-thread visited lists.
  // Shared lock.
  size_t memory_bytes() const;

 private:
  struct State;
  size_t dimension_;
  GraphSettings settings_;
  mutable std::shared_mutex lock_;
  std::unique_ptr<State> state_;
};

}  // namespace vendrel
