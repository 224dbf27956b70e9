// The database object and its six operations.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common.h"
#include "id_set.h"
#include "filter.h"
#include "lsh.h"
#include "metadata_store.h"
#include "storage.h"

namespace vendrel {

inline constexpr uint64_t kMinCandidateBudget = 1000;
inline constexpr size_t kParallelScoringThreshold = 1000;

// Expiry times by id, with an ordered index so that a sweep with nothing expired
// costs one comparison.
struct ExpiryTable {
  std::unordered_map<uint32_t, uint64_t> by_id;
  std::set<std::pair<uint64_t, uint32_t>> by_time;

  void set(uint32_t id, uint64_t expires_at);
  // Ids whose time is < now (strictly), earliest first.
  std::vector<uint32_t> expired_before(uint64_t now) const;
  void erase(uint32_t id);
};

// Whole seconds since the Unix epoch from the real-time clock; a clock before the
// epoch is a kInternal error.
Result<uint64_t> unix_now_seconds();

class VendrelDB {
 public:
  // Creates the directory (and missing parents, mode 0o777) and an empty database.
  // Nothing is read from or written to the directory's files. A directory that cannot
  // be created is a kValue error with the operating system's text; a path holding a NUL
  // byte is a kValue error "embedded null byte", before anything is created.
  static Result<std::unique_ptr<VendrelDB>> open(std::string path);

  // Stores one document; see the steps in core.cpp. Not transactional: a failing step
  // keeps the effects of the steps before it.
  Status add(uint32_t id, std::span<const float> vector, std::string_view metadata_json,
             std::optional<int64_t> ttl);

  // The top k documents by descending similarity, optionally restricted by a filter.
  Result<std::vector<SearchHit>> search(std::span<const float> query, uint64_t k,
                                        std::optional<std::string_view> filter_json, bool include_metadata);

  // Attaches metadata texts (read from the file per hit) to scored ids; ids whose text
  // cannot be read are left out when metadata is requested. Never fails.
  std::vector<SearchHit> build_results(std::vector<ScoredId> scored, bool include_metadata) const;

  // Deletes every document the filter selects; returns how many it selected.
  Result<uint64_t> delete_matching(std::string_view filter_json);

  // Live documents: the id bound minus the deleted ids, after an expiry sweep.
  Result<uint64_t> count();

  // Deletes the documents whose expiry time has passed.
  Status clean_expired();

  // Record fields, in declared order.
  std::string path;
  std::shared_ptr<LSH> lsh;
  std::shared_ptr<VectorStorage> storage;
  std::shared_ptr<MetadataStore> metadata;
  std::shared_ptr<RwLocked<ExpiryTable>> expirations;
  std::shared_ptr<FilterEngine> filter;
  std::shared_ptr<RwLocked<roaring::Roaring>> deleted;
  // One more than the highest id added. Wider than 32 bits so that id 4294967295
  // gives 4294967296.
  std::shared_ptr<RwLocked<uint64_t>> next_id;
  size_t dimension = 0;

 private:
  // Deletes `ids` (ascending) from the LSH and the filter index and adds them to the
  // deleted set; the caller holds the deleted set's write lock.
  void remove_ids_locked(roaring::Roaring& deleted_set, const roaring::Roaring& ids);
};

}  // namespace vendrel
