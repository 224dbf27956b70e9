// The full-vector database: the same documents, metadata file, filter language,
// deletion, counting and expiry as VendrelDB, with every vector kept whole (never
// quantized) and searched exactly, so that a search finds the true nearest documents.
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
#include "storage.h"

namespace vendrel {

class FullVendrelDB {
 public:
  FullVendrelDB() = default;
  FullVendrelDB(const FullVendrelDB&) = delete;
  FullVendrelDB& operator=(const FullVendrelDB&) = delete;

  // Creates the directory (and missing parents) and an empty database, as
  // VendrelDB::open does.
  static Result<std::unique_ptr<FullVendrelDB>> open(std::string path);

  // Stores one document with VendrelDB::add's steps and failures, minus the LSH and the
  // quantizer: the dimension check, the id bound, the vector (whole), then the ledger's
  // steps (metadata file, filter index, expiry). Not transactional.
  Status add(uint32_t id, std::span<const float> vector, std::string_view metadata_json,
             std::optional<int64_t> ttl);

  // Stores the rows in order with add's per-row steps and leaves the database as the
  // same adds one by one would; the metadata file is opened once per chunk of rows and
  // the texts are parsed on the worker pool. At the first row that fails, the rows
  // before it are stored, the failing row keeps what add keeps for that failure, later
  // rows are not touched, and the error is the row's own with "row N: " in front.
  Status add_many(const DocumentBatch& batch);

  // The exact top k: every live document that passes the filter (the filter set first,
  // then a scan of those rows only) scored by cosine similarity, best first, equal
  // scores in ascending id order. Sweeps expired documents first.
  Result<std::vector<SearchHit>> search(std::span<const float> query, uint64_t k,
                                        std::optional<std::string_view> filter_json, bool include_metadata);

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
  size_t dimension = 0;

 private:
  // The dimension step of add: fixes the dimension on the first non-empty vector,
  // refuses any other length afterwards.
  Status check_dimension(size_t length);
  // add's steps up to the vector: dimension, id bound, the stored row.
  Status store_vector(uint32_t id, std::span<const float> vector);
  // Rows [begin, end) of a batch; see add_many.
  Status add_chunk(const DocumentBatch& batch, size_t begin, size_t end);

  // Deleted ids need no index work here: the scan skips the deleted set.
  IndexRemoval unindex_ = [](const roaring::Roaring&) {};
};

}  // namespace vendrel
