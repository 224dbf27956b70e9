// The HNSW graph index: the candidate stage of the full-vector database's graph search.
// It ranks ids by cosine distance to a query; the database scores the candidates it
// returns from its own stored vectors.
//
// Built on hnswlib (its graph structure and insertion; the search loop is ours, in
// graph_search.cpp, so that it can prefetch rows). The graph keeps no vectors: a node's
// label is its id, and distances are computed from the rows of the database's
// VectorTable, 1 - dot / (|a| |b|) with the norms the table keeps, or 1 - wide_cosine
// for a row or query whose norm is outside the dot range (zero, tiny or huge vectors);
// an id whose row is missing is at distance 1 from everything. So the graph adds about
// 250 bytes per document at connectivity 16 (links, the label, the library's per-node
// bookkeeping) to the rows, where a copy of each vector would add 4 x d.
//
// Locking, two rules:
// - The rows. The graph reads rows of the table it was created with during insert,
//   insert_batch and search, without locking it: the caller holds the database's lock
//   across every call of those (shared at least; the caller's writer lock when it writes
//   rows), so that no row changes, moves or disappears while the graph reads it. Rows of
//   ids in the graph are never removed; an id's row may be overwritten, and the caller
//   then inserts the id again so that the graph repairs its links.
// - The graph. The index owns one reader-writer lock. insert, insert_batch, reserve and
//   mark_deleted take it exclusively; search, contains, size, memory_bytes and save take
//   it shared, so searches from several threads run side by side. No method calls back
//   into the caller while holding it except the allowed-id test of search (which must
//   not call the index) and the writer of save.
// Lock order: the database's lock, then the graph's.
//
// Failures are values: a missing row or a wrong dimension is a kValue error with nothing
// changed; a failure of the library (out of memory) is a kInternal error, after which
// the ids of the failed call may be partly inserted; the graph stays searchable.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <span>
#include <vector>

#include "common.h"
#include "id_set.h"

namespace vendrel {

class VectorTable;

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
// computed from the rows; rank by it, score elsewhere).
struct GraphHit {
  uint32_t id = 0;
  float distance = 0.0f;
};

// Whether an id may be returned. Called from the searching thread only, for ids the
// search reaches (not for every id); an empty function allows every id.
using AllowedIdTest = std::function<bool(uint32_t id)>;

// The test "id is in `ids`"; `ids` must outlive the search.
AllowedIdTest allowed_in(const roaring::Roaring& ids);

// Receives the bytes of a saved graph in order, in pieces of any size; an error stops
// the save and is returned by it.
using GraphWriter = std::function<Status(const void* data, size_t size)>;

class GraphIndex {
 public:
  // An empty graph over the rows of `rows` (borrowed: it must outlive the graph and not
  // move), for vectors of `dimension` (> 0) components. Settings of 0 take the defaults
  // above; a connectivity is clamped to [2, 1,000].
  GraphIndex(const VectorTable* rows, size_t dimension, GraphSettings settings = {});
  ~GraphIndex();
  GraphIndex(const GraphIndex&) = delete;
  GraphIndex& operator=(const GraphIndex&) = delete;

  size_t dimension() const { return dimension_; }
  const GraphSettings& settings() const { return settings_; }

  // Inserts `id` with the vector stored in its row, or repairs the id's links after its
  // row was overwritten when the id is already in the graph (deleted or not). With
  // `deleted`, the id is hidden from searches afterwards (as after mark_deleted);
  // otherwise it is visible, even if it was deleted before. Capacity grows as needed.
  // Exclusive lock; reads rows (see the lock rule above). Errors: kValue when the id has
  // no row of dimension() components (nothing changed); kInternal when the library fails
  // (out of memory), with the id possibly absent.
  Status insert(uint32_t id, bool deleted = false);

  // insert() for every id of `ids` (repeats are inserted once), on the oneTBB pool; the
  // content afterwards equals inserting them one by one with the same `deleted` (the
  // links differ with the order of insertion; the ids do not). Exclusive lock for the
  // whole call; the pool's threads only read rows. `unchanged` (sorted) names ids whose
  // rows hold the vectors the graph last linked them with: one the graph holds keeps its
  // links and only takes the `deleted` mark, since repairing a node costs about as much
  // as inserting it again. Errors: kValue when an id has no row of dimension()
  // components (nothing changed); kInternal when the library fails, with any subset of
  // the ids inserted.
  Status insert_batch(std::span<const uint32_t> ids, bool deleted = false, std::span<const uint32_t> unchanged = {});

  // Makes room for `additional` more ids at once (a batch about to arrive), so that the
  // graph grows once instead of doubling several times. Exclusive lock. A failure to
  // allocate is a kInternal error with nothing changed.
  Status reserve(size_t additional);

  // Hides every id of `ids` from searches; ids not in the graph are ignored. The nodes
  // stay in the graph as waypoints, and a later insert of a new id may reuse a deleted
  // node (the deleted id then leaves the graph). Exclusive lock; reads no rows. Never
  // fails.
  void mark_deleted(const roaring::Roaring& ids);

  // The `count` ids nearest to `query` by cosine distance, nearest first (equal
  // distances in any order), among the ids that are in the graph, not deleted, not
  // `excluded`, and pass `allowed`; then the other candidates found at the distance of
  // the last of them (ties, for the caller to choose from). The graph search keeps
  // max(ef, count) candidates (ef 0: the settings' ef_search) and skips ids that fail
  // `allowed` as results while still walking through them, so it returns at least
  // min(count, allowed ids reachable from the entry point) hits: when it has found
  // fewer than max(ef, count) it walks the whole connected part of the base layer
  // before stopping.
  // `excluded` is treated as absent from the graph: its distance to the query is
  // +infinity, so it is neither returned nor walked through (held-out queries: a stored
  // vector searched with its own node out of the way). The one exception is the entry
  // point, where every search starts, whose links are read even when it is excluded.
  // Shared lock; reads rows. Errors: kValue when query.size() != dimension().
  Result<std::vector<GraphHit>> search(std::span<const float> query, size_t count, size_t ef = 0,
                                       const AllowedIdTest& allowed = {},
                                       std::optional<uint32_t> excluded = std::nullopt) const;

  // Whether `id` is in the graph and not deleted. Shared lock.
  bool contains(uint32_t id) const;
  // The number of ids in the graph and not deleted. Shared lock.
  size_t size() const;
  // The nodes, deleted ones included (they stay as waypoints until reused). Shared lock.
  size_t node_count() const;
  // How many inserts replaced an id already in the graph (deleted or not) since this
  // object was made: how much the graph changed without its size changing. No lock.
  uint64_t replaced() const { return replaced_.load(std::memory_order_relaxed); }
  // Bytes held by the graph (not the rows it reads): node blocks (base-layer links and
  // the label, which is the id) for the whole capacity, upper-layer links, the per-node
  // levels, pointers and locks, the id map and one visited list. Shared lock.
  size_t memory_bytes() const;

  // Writes the graph in the layout of docs/file-format.md ("The graph"): settings,
  // counts, entry point, and per node its id, level, deleted mark and links; no vectors.
  // Calls `write` with consecutive pieces of at most 1 MiB, holding the shared lock (so
  // `write` must not call the index). Reads no rows. Errors: the first error of `write`,
  // returned as it is (the bytes written before it are the caller's to discard).
  Status save(const GraphWriter& write) const;

  // A graph over `rows` read back from the bytes save() wrote. `dimension` and the
  // connectivity of `settings` must be those the graph was saved with; ef_construction
  // and ef_search come from `settings`. Every count, level, link and id is checked
  // against the bytes' length, the layout's bounds and the rows: an id without a row of
  // `dimension` components, a repeated id, a link to a node missing from the level, or
  // bytes left over are errors. Whatever the bytes, it reads only inside them and
  // allocates in proportion to them and to the rows (checksums are the caller's).
  // The caller holds the database's lock (rows are read). Errors: kValue naming the byte
  // offset ("graph byte 123: ..."); kInternal when memory runs out.
  static Result<std::unique_ptr<GraphIndex>> load(std::span<const std::byte> bytes, const VectorTable* rows,
                                                  size_t dimension, GraphSettings settings);

 private:
  struct State;
  // A graph with its structure already built (by load).
  GraphIndex(const VectorTable* rows, size_t dimension, GraphSettings settings, std::unique_ptr<State> state);

  const VectorTable* rows_;
  size_t dimension_;
  GraphSettings settings_;
  mutable std::shared_mutex lock_;
  std::unique_ptr<State> state_;
  std::atomic<uint64_t> replaced_{0};
  // Nodes given another vector (a replaced row, a deleted node taken over) since the
  // last check that every live node is reachable. Under lock_ (exclusive).
  size_t moved_since_check_ = 0;

  // After `moved` more nodes moved: checks reachability once enough have moved since
  // the last check (see graph_index.cpp). Exclusive lock held; throws std::bad_alloc.
  void count_moved(size_t moved);
};

}  // namespace vendrel
