// The full-vector database: the same documents, metadata file, filter language,
// deletion, counting and expiry as VendrelDB, with every vector kept whole (never
// quantized), searched exactly or through an HNSW graph, so that a search finds the
// true nearest documents.
#pragma once

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
#include "storage.h"

namespace vendrel {

// How a search finds its candidates: a scan of every live filtered row, or the graph.
enum class IndexKind { kExact, kGraph };

struct FullSettings {
  IndexKind index = IndexKind::kExact;
  GraphSettings graph;  // used with kGraph
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

class FullVendrelDB {
 public:
  FullVendrelDB() = default;
  FullVendrelDB(const FullVendrelDB&) = delete;
  FullVendrelDB& operator=(const FullVendrelDB&) = delete;

  // Creates the directory (and missing parents) and an empty database, as
  // VendrelDB::open does.
  static Result<std::unique_ptr<FullVendrelDB>> open(std::string path, FullSettings settings = {});

  // Stores one document with VendrelDB::add's steps and failures, minus the LSH and the
  // quantizer: the dimension check, the id bound, the vector (whole; with the graph, also
  // into the graph, where a deleted id stays hidden), then the ledger's steps (metadata
  // file, filter index, expiry). Not transactional.
  Status add(uint32_t id, std::span<const float> vector, std::string_view metadata_json,
             std::optional<int64_t> ttl);

  // Stores the rows in order with add's per-row steps and leaves the database as the
  // same adds one by one would; the metadata file is opened once per chunk of rows and
  // the texts are parsed on the worker pool. At the first row that fails, the rows
  // before it are stored, the failing row keeps what add keeps for that failure, later
  // rows are not touched, and the error is the row's own with "row N: " in front.
  Status add_many(const DocumentBatch& batch);

  // The top k live documents that pass the filter by cosine similarity, best first,
  // equal scores in ascending id order. Sweeps expired documents first. Exact: a scan of
  // every such row (the filter set first, then its rows only). Graph: the graph search
  // with the filter set as its allowed-id test and max(ef, k) candidates (ef 0: the
  // settings' ef_search), its hits scored from the stored rows; a filter set at or below
  // graph_scan_crossover, a query of another length than the vectors, or a graph search
  // that comes back with fewer than k hits while more documents are allowed, is scanned
  // exactly instead.
  Result<std::vector<SearchHit>> search(std::span<const float> query, uint64_t k,
                                        std::optional<std::string_view> filter_json, bool include_metadata,
                                        size_t ef = 0);

  std::vector<SearchHit> build_results(std::vector<ScoredId> scored, bool include_metadata) const {
    return ledger.build_results(std::move(scored), include_metadata);
  }
  Result<uint64_t> delete_matching(std::string_view filter_json) { return ledger.delete_matching(filter_json, unindex_); }
  Result<uint64_t> count() { return ledger.count(unindex_); }
  Status clean_expired() { return ledger.clean_expired(unindex_); }

  // Record fields.
  DocumentLedger ledger;
  // Every vector by id, row-major in pages (4 x d bytes per document).
  std::shared_ptr<RwLocked<VectorTable>> rows;
  // With IndexKind::kGraph, from the first non-empty vector on: the graph links the ids
  // of every non-empty vector and reads their vectors from `rows`, under rows->lock
  // (shared) taken by this class around every graph call that reads rows; the graph's
  // structure is guarded by its own lock.
  std::shared_ptr<GraphIndex> graph;
  FullSettings settings;
  size_t dimension = 0;

 private:
  // The dimension step of add: fixes the dimension on the first non-empty vector,
  // refuses any other length afterwards.
  Status check_dimension(size_t length);
  // With the graph: creates it once the dimension is fixed.
  void create_graph_once_dimensioned();
  // add's steps up to the vector: dimension, id bound, the stored row.
  Status store_vector(uint32_t id, std::span<const float> vector);
  // store_vector for rows [begin, end) of a batch, whose lengths are known to fit.
  void store_rows(const DocumentBatch& batch, size_t begin, size_t end);
  // Links ids whose rows are stored into the graph (insert or insert_batch), holding
  // the rows' read lock; deleted ids are hidden.
  Status insert_stored_rows(std::span<const uint32_t> ids, bool deleted);
  // Puts rows [begin, end) of a batch into the graph (those with a vector), as their
  // adds one by one would; deleted ids stay hidden.
  Status insert_into_graph(const DocumentBatch& batch, size_t begin, size_t end);
  // Rows [begin, end) of a batch; see add_many. Numbers due for the trees are held.
  Status add_chunk(const DocumentBatch& batch, size_t begin, size_t end, HeldNumbers& held);
  // The exact top k among the live rows (of `within`, when given).
  std::vector<ScoredId> scan(std::span<const float> query, uint64_t k, const roaring::Roaring* within) const;
  // The graph's candidates scored from the rows, or nullopt when the scan must answer.
  std::optional<std::vector<ScoredId>> search_graph(std::span<const float> query, uint64_t k,
                                                    const std::optional<roaring::Roaring>& filter_set,
                                                    size_t ef) const;

  // Deleted ids leave the graph's results; the scan skips the deleted set itself.
  IndexRemoval unindex_ = [this](const roaring::Roaring& ids) {
    if (graph) graph->mark_deleted(ids);
  };
};

}  // namespace vendrel
