// The full-vector database: the same documents, metadata file, deletion, counting and
// expiry as VendrelDB, with every vector kept whole (never quantized), searched exactly
// or through an HNSW graph, so that a search finds the true nearest documents; filters
// in the strict language (filter.h); calls that are atomic; and, unless it is kept in
// memory only, a directory that survives the death of the process and, at the stronger
// level, power loss (journal.h).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common.h"
#include "core.h"
#include "graph_index.h"
#include "journal.h"
#include "json.h"
#include "recall_target.h"
#include "storage.h"

namespace vendrel {

// How a search finds its candidates: a scan of every live filtered row, or the graph.
enum class IndexKind { kExact, kGraph };

struct FullSettings {
  IndexKind index = IndexKind::kExact;
  GraphSettings graph;  // used with kGraph
  Durability durability = Durability::kProcess;
  // With the graph, the recall@k against the exact search that searches without an ef
  // of their own aim for (recall_target.h); nullopt: every search uses ef_search. Not
  // stored: each open names it again, and calibrations are made again on first need.
  // Ignored by the exact index, which is exact.
  std::optional<double> target_recall;
  // Which of the settings fixed at creation the caller named. Opening a database that
  // was created before, a named one must equal the stored one (else a kValue error
  // naming both); one not named takes the stored value. ef_search is not fixed: a named
  // one replaces the stored default for this object, and the stored one stays.
  struct Named {
    bool index = true;
    bool connectivity = true;
    bool ef_construction = true;
    bool ef_search = true;
  } named;
};

// With the graph, a filter set of at most this many live ids is scanned instead of
// searched: max(2,000, 20 x sqrt(n x ef / 128)) for n documents in the graph. Filtered
// graph search costs about G / f for an allowed fraction f, the scan a fixed time per
// allowed row; they meet near sqrt(G n / c) ids (measured on clustered data at
// 100,000 x 768: the scan wins below about 6,000 ids, the graph above).
uint64_t graph_scan_crossover(uint64_t graph_size, size_t ef);

// The expansion of a graph search restricted to `allowed` of the graph's `graph_size`
// ids: ef times the allowed fraction, at least ef / 4. The search keeps that many
// allowed candidates and walks past the others, so it visits about as many nodes as an
// unfiltered search with ef, where keeping ef allowed candidates would visit ef divided
// by the fraction.
size_t filtered_expansion(size_t ef, uint64_t allowed, uint64_t graph_size);

// A value that is not a finite number, and where it is.
struct NonFinite {
  size_t row = 0;       // the vector's position among those checked
  size_t position = 0;  // the component's position in the vector
  float value = 0.0f;
};

// The first NaN or infinity of the vectors, in order (rows on the worker pool when
// there are many); nullopt when every value is finite. Never fails.
std::optional<NonFinite> first_non_finite(std::span<const std::span<const float>> vectors);

// The refusal of a vector (`name`: "vector" or "query") holding `value` at `position`:
// "vector[3] is nan: vectors must hold finite numbers".
Error non_finite_error(const char* name, size_t position, float value);

// One database on a directory. Lock discipline: one writer-first reader-writer lock for
// the whole database, taken by every public operation before any component lock and
// released before it returns. add, add_many, delete_matching, clean_expired, checkpoint
// and close hold it exclusively; search, search_many, count and build_results hold it
// shared, so they run side by side (a search that finds expired documents first takes it
// exclusively for the sweep, then shared again; a search that needs a recall calibration
// makes it under the shared lock, so writers wait for it: recall_target.h). The component locks below it (rows,
// graph, ledger parts) keep their own order: deleted set, then rows; the graph alone.
//
// Calls are atomic: every check an add can fail is made before anything changes, so a
// refused add (wrong dimension, a NaN, metadata that is not JSON, a text the metadata
// file cannot take) leaves the database and its files as they were, and add_many stores
// the rows before its first refused row and nothing of that row or after it.
//
// Durability: every call that changes something is written to the journal's log before
// its effect is visible (texts go to metadata.bin first; if the log refuses the call,
// they are cut off again and nothing changed), flushed at Durability::kPower. The log is
// checkpointed when it grows past the journal's thresholds, at checkpoint() and at
// close(). Opening a directory that holds a database restores it: the checkpoint, then
// the log's calls applied again. The directory is locked while the object is open (in
// memory too: two objects appending to one metadata file would mix up their offsets).
class FullVendrelDB {
 public:
  FullVendrelDB() = default;
  FullVendrelDB(const FullVendrelDB&) = delete;
  FullVendrelDB& operator=(const FullVendrelDB&) = delete;

  // Creates the directory (and missing parents) and opens the database in it: a new one
  // when it holds none (a directory holding only a metadata.bin, from VendrelDB or an
  // in-memory FullVendrelDB, starts empty and appends after the old texts), else the
  // stored one, its settings checked against the named ones (FullSettings::Named).
  // Errors (kValue): the directory cannot be created or locked; settings that differ
  // from the stored ones; a damaged or missing file (naming it and the byte offset); a
  // newer file format; Durability::kMemory on a directory that holds a durable database.
  static Result<std::unique_ptr<FullVendrelDB>> open(std::string path, FullSettings settings = {});

  // Stores one document: the vector (whole; with the graph, also into the graph, where a
  // deleted id stays hidden), the text in the metadata file, the filter index and the
  // expiry. Refused, with nothing changed: a vector of another length than the
  // dimension ("Dimension mismatch: expected D, got N"), a NaN or an infinity in the
  // vector ("vector[3] is nan: vectors must hold finite numbers"), metadata that is not
  // JSON ("metadata is not valid JSON: ..."), a text of 4 GiB or more, a metadata file
  // past 4 GiB, a file error (a partly written text is cut off again).
  Status add(uint32_t id, std::span<const float> vector, std::string_view metadata_json,
             std::optional<int64_t> ttl);

  // The rows in order, each as add would store it, with the metadata file opened once and
  // the texts parsed on the worker pool; one call in the log. At the first row add would
  // refuse, the rows before it are stored and it and the rows after it are not; the error
  // is that row's with "row N: " in front.
  Status add_many(const DocumentBatch& batch);

  // The top k live documents that pass the filter by cosine similarity, best first,
  // equal scores in ascending id order. Sweeps expired documents first. Exact: a scan of
  // every such row (the filter set first, then its rows only). Graph: the graph search
  // with the filter set as its allowed-id test and max(ef, k) candidates (ef 0: the
  // settings' ef_search), its hits scored from the stored rows; a filter set at or below
  // graph_scan_crossover, or a graph search that comes back with fewer than k hits while
  // more documents are allowed, is scanned exactly instead. With a target_recall and ef
  // 0, the route of route_for decides instead (the calibrated ef, or the scan). A query
  // of another length
  // than the stored vectors is refused ("Dimension mismatch: the query has N components,
  // the stored vectors D"), and so is one holding a NaN or an infinity.
  Result<std::vector<SearchHit>> search(std::span<const float> query, uint64_t k,
                                        std::optional<std::string_view> filter_json, bool include_metadata,
                                        size_t ef = 0);

  // search for each query, with one expiry sweep and one filter evaluation for the whole
  // call (and, with a target_recall, one route); list i is what search returns for
  // queries[i]. The queries are answered on the worker pool: by the batch scan when they
  // are scanned (the exact index, or the route's scan), else one graph search each. A
  // query of another length is refused as search refuses it, naming its
  // position ("query 3: ..."), before anything is searched.
  Result<std::vector<std::vector<SearchHit>>> search_many(std::span<const std::span<const float>> queries,
                                                          uint64_t k, std::optional<std::string_view> filter_json,
                                                          bool include_metadata, size_t ef = 0);

  Result<std::vector<SearchHit>> build_results(std::vector<ScoredId> scored, bool include_metadata) const;
  // Deletes what the filter selects; returns how many documents that were not deleted
  // before it selected.
  Result<uint64_t> delete_matching(std::string_view filter_json);
  Result<uint64_t> count();
  Status clean_expired();

  // The calibration that searches for k hits use with a filter set of
  // `allowed_fraction` of the live documents (1: no filter), made first when missing or
  // stale (it waits for one another thread is making). Shared lock. With the exact
  // index, or before the graph holds any document: the scan, recall 1, no queries.
  // Errors: kValue without a target_recall, or when the database is closed.
  Result<Calibration> calibration(uint64_t k, double allowed_fraction);

  // Writes a checkpoint now (the log restarts empty). In memory: nothing to do.
  Status checkpoint();
  // Checkpoints when the log holds calls (unless a failed checkpoint left the journal
  // needing a reopen), then releases the directory and its files.
  // Every later call is refused ("operation on a closed FullVendrelDB"); closing again
  // does nothing. Dropping the object without close() keeps everything too: the next
  // open replays the log.
  Status close();
  // ok while open, else close()'s refusal of every later call (a `with` block on a
  // closed database). Shared lock.
  Status ensure_open() const;

  // Record fields.
  DocumentLedger ledger;
  // Every vector by id, row-major in pages (4 x d bytes per document); after a reopen,
  // the checkpoint's rows are mapped from its rows file.
  std::shared_ptr<RwLocked<VectorTable>> rows;
  // With IndexKind::kGraph, from the first non-empty vector on: the graph links the ids
  // of every non-empty vector and reads their vectors from `rows`, under rows->lock
  // (shared) taken by this class around every graph call that reads rows; the graph's
  // structure is guarded by its own lock.
  std::shared_ptr<GraphIndex> graph;
  // The ids whose stored vector is empty (stored before the dimension was known). The
  // graph has no node for them, so a graph search scores them beside its hits, as the
  // scan scores every row. Guarded by rows->lock.
  roaring::Roaring empty_vector_ids;
  FullSettings settings;
  size_t dimension = 0;

 private:
  // Runs `read` under the shared lock once no expired document is left unswept: when the
  // sweep has work, it runs under the exclusive lock first. A clock before the epoch is
  // the sweep's error.
  template <typename Read>
  auto read_after_sweep(Read&& read) -> decltype(read());

  // The checks of add over a batch's rows, made before anything changes: how many
  // leading rows pass (the dimension, finite values, JSON texts), the first refused row
  // and why, and the accepted rows' expiry times.
  struct RowsPlan;
  RowsPlan plan_rows(const DocumentBatch& batch) const;
  // add and add_many: the plan, then the accepted rows stored; errors as add gives them
  // (`single`) or with "row N: " in front.
  Status store_checked(const DocumentBatch& batch, bool single);
  // Stores rows that passed every check: their texts appended to the metadata file (with
  // `log`, then the call written to the log; if that fails the texts are cut off again
  // and the error returned), then the rows applied. A text the file refuses stops the
  // rows there: the rows before it are stored, and `refused` says why that one was not.
  struct Stored {
    size_t rows = 0;
    std::optional<Error> refused;
  };
  Result<Stored> store_rows(const StoredRows& rows, bool log);
  // The in-memory steps of storing rows whose texts lie at `offsets`: the dimension, the
  // id bound, the rows, the metadata entries, the filter index, the expiry times, the
  // graph. Fails only on a text that is not JSON (a damaged log) or a library failure.
  Status apply_rows(const StoredRows& rows, std::span<const uint32_t> offsets);
  // Removes `ids` (a delete, or with `expired` a sweep), logged first.
  Status remove_logged(const roaring::Roaring& ids, bool expired);
  // The expiry sweep, under the exclusive lock.
  Status sweep_locked();
  // One call of the log applied again at open.
  Status replay_call(const DecodedCall& call);
  // Opening: the stored settings checked and taken, the checkpoint loaded, the log
  // replayed (or, for a new database, its first checkpoint written).
  Status recover();
  Status take_stored_settings(const StoredSettings& stored);
  StoredSettings settings_to_store() const;
  Status checkpoint_locked();
  // After a write: a checkpoint when the journal says one is due. A failure is left for
  // the next write to retry, or for checkpoint() and close() to report.
  void checkpoint_if_due();
  // kValue "operation on a closed FullVendrelDB" after close(), and check_owner's.
  Status check_open() const;
  // kValue in a process forked from the one that opened the database: both would
  // write the same files at the same offsets.
  Status check_owner() const;
  // The dimension step of add, once its checks passed: fixes the dimension on the first
  // non-empty vector.
  void fix_dimension(size_t length);
  // With the graph: creates it once the dimension is fixed.
  void create_graph_once_dimensioned();
  // The filter's id set (nullopt without a filter); the caller holds the lock.
  Result<std::optional<roaring::Roaring>> select(std::optional<std::string_view> filter_json);
  // Refuses a query of another length than the stored vectors, or holding a NaN or an
  // infinity.
  Status check_query(std::span<const float> query) const;
  // check_query for each query, the first refused one's error prefixed with "query <i>: ".
  Status check_queries(std::span<const std::span<const float>> queries) const;
  // With a target_recall, a graph, no ef of the call's own and k > 0: how searches for k
  // hits among the filter set's live documents go (calibrating first when needed);
  // otherwise nullopt (the settings' rules). The caller holds the lock shared.
  Result<std::optional<SearchRoute>> route_for(uint64_t k, const std::optional<roaring::Roaring>& filter_set,
                                               size_t ef);
  // What a calibration reads: the rows, the deleted set, the graph and scan().
  CalibrationSubject calibration_subject() const;
  // The best k ids for one query, by the graph or the scan (by `route` when given); the
  // caller holds the lock.
  std::vector<ScoredId> best_for(std::span<const float> query, uint64_t k,
                                 const std::optional<roaring::Roaring>& filter_set, size_t ef,
                                 const std::optional<SearchRoute>& route) const;
  // The exact top k among the live rows (of `within`, when given).
  std::vector<ScoredId> scan(std::span<const float> query, uint64_t k, const roaring::Roaring* within) const;
  // The graph's candidates scored from the rows, or nullopt when the scan must answer.
  // With a route, its method and ef decide, and a filtered search keeps ef allowed
  // candidates; without, the settings' crossover and filtered_expansion.
  std::optional<std::vector<ScoredId>> search_graph(std::span<const float> query, uint64_t k,
                                                    const std::optional<roaring::Roaring>& filter_set, size_t ef,
                                                    const std::optional<SearchRoute>& route) const;

  mutable PhaseFairLock lock_;
  // The log and checkpoints; null in memory.
  std::unique_ptr<Journal> journal_;
  // The directory lock of an in-memory database (a durable one's is the journal's).
  std::optional<DirectoryLock> memory_lock_;
  bool closed_ = false;
  // The process that opened the database.
  pid_t owner_process_ = 0;
  // The ef_search the manifest keeps: one named at reopening serves this object only.
  size_t stored_ef_search_ = 0;
  // With a target_recall and the graph: the calibrations (thread-safe on its own).
  std::unique_ptr<RecallTarget> recall_target_;
  // Deleted ids leave the graph's results; the scan skips the deleted set itself.
  IndexRemoval unindex_ = [this](const roaring::Roaring& ids) {
    if (graph) graph->mark_deleted(ids);
  };
};

}  // namespace vendrel
