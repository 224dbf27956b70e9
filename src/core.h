// The database object and its six operations.
#pragma once

#include <cstdint>
#include <functional>
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
#include "json.h"
#include "lsh.h"
#include "metadata_store.h"
#include "storage.h"

namespace vendrel {

inline constexpr uint64_t kMinCandidateBudget = 1000;
// Rows add_many handles at a time: bounds the parsed texts held at once while keeping
// the metadata file's open and close, and the pool's start-up, rare.
inline constexpr size_t kBatchChunkRows = 4096;
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

// Creates `path` and its missing parents (mode 0o777 less the umask); an existing
// directory is fine. A path holding a NUL byte is refused before anything is created,
// since the operating system would silently stop at it; other failures carry the
// operating system's text.
Status create_directories(const std::string& path);

// Takes the ids a database's own indexes must forget (ascending). Called with the
// deleted set's write lock held.
using IndexRemoval = std::function<void(const roaring::Roaring& ids)>;

// One add_many call's rows after conversion: row i is (ids[i], vectors[i],
// metadata_jsons[i], ttls[i]); `ttls` is empty when no row has a time-to-live. The
// spans point into the caller's buffers, which outlive the call.
struct DocumentBatch {
  std::span<const uint32_t> ids;
  std::vector<std::span<const float>> vectors;
  std::vector<std::string_view> metadata_jsons;
  std::vector<std::optional<int64_t>> ttls;

  size_t size() const { return ids.size(); }
  std::optional<int64_t> ttl(size_t row) const { return ttls.empty() ? std::nullopt : ttls[row]; }
};

// The error of row `row` of a batch: the row's own error with "row N: " in front.
Error row_error(size_t row, const Error& error);

// The full-vector database's refusal of metadata that is not JSON: the parser's error
// with "metadata is not valid JSON: " in front.
Error not_json_error(const Error& parse_error);

// add's refusal of a vector of another length than the database's dimension.
Error dimension_mismatch(size_t dimension, size_t length);

// Texts parsed on the oneTBB pool, and dropped on the pool too, since freeing the parsed
// trees costs about as much as building them.
class ParsedTexts {
 public:
  explicit ParsedTexts(std::span<const std::string_view> texts);
  ~ParsedTexts();
  ParsedTexts(ParsedTexts&&) = default;
  ParsedTexts(const ParsedTexts&) = delete;
  ParsedTexts& operator=(const ParsedTexts&) = delete;

  const Result<JsonValue>& operator[](size_t i) const { return values_[i]; }

 private:
  std::vector<Result<JsonValue>> values_;
};

// A chunk [begin, end) of add_many's rows after the steps that cannot fail part-way:
// rows [begin, fitting_end) pass the dimension step and their texts are parsed
// (`parsed[row - begin]`); first_unparsed is the first whose text is not JSON
// (fitting_end when none); the texts add would have appended before stopping are in the
// metadata file, `appended` saying how far the write got.
//
// With `whole_rows` (the full-vector database, whose refused rows change nothing) the
// failing row's text is not appended at all, a text cut short is cut off again, and
// only the rows before the failing one are stored.
struct ChunkTexts {
  size_t begin = 0;
  size_t end = 0;
  size_t fitting_end = 0;
  size_t first_unparsed = 0;
  ParsedTexts parsed;
  BatchAppend appended;
  bool whole_rows = false;

  // Rows whose text is wholly in the file.
  size_t written_end() const { return begin + appended.offsets.size(); }
  // Rows whose vector add would have stored: the written ones, and (unless whole_rows)
  // the one whose text was refused or cut short.
  size_t stored_end() const { return appended.error && !whole_rows ? written_end() + 1 : written_end(); }
};

// What a database keeps beside its vectors, the same for every database class: the
// directory, the metadata file, expiry times, the filter index, the deleted set and
// the id bound. Each part is shared and guarded by its own lock.
struct DocumentLedger {
  std::string path;
  std::shared_ptr<MetadataStore> metadata;
  std::shared_ptr<RwLocked<ExpiryTable>> expirations;
  std::shared_ptr<FilterEngine> filter;
  std::shared_ptr<RwLocked<roaring::Roaring>> deleted;
  // One more than the highest id added. Wider than 32 bits so that id 4294967295
  // gives 4294967296.
  std::shared_ptr<RwLocked<uint64_t>> next_id;

  // Creates the directory (create_directories) and empty parts, the filter index
  // speaking `dialect`. Nothing is read from or written to the directory's files.
  static Result<DocumentLedger> open(std::string path, FilterDialect dialect = FilterDialect::kContract);

  // Raises the id bound to cover `id` (write lock on next_id).
  void raise_id_bound(uint32_t id);
  uint64_t id_bound() const;

  // The steps of an add after the vector is stored, in order: append the text to the
  // metadata file and point the id's entry at it, add the id to the filter's set of
  // all documents, parse the text and index it when it is an object, record the expiry
  // when a ttl is given. Not transactional: a failing step (file error, JSON syntax
  // error, a clock before the epoch) keeps the effects of the steps before it.
  Status record_document(uint32_t id, std::string_view metadata_json, std::optional<int64_t> ttl);
  // The last two of those steps alone, for a text already appended and parsed.
  Status index_document(uint32_t id, const Result<JsonValue>& parsed, std::optional<int64_t> ttl);
  // index_document for many documents whose texts parsed without error, with the effect
  // of indexing them one by one in order (FilterEngine::index_batch, holding due numbers
  // in `held` when given); every expiry is counted from one reading of the clock. A clock
  // before the epoch is a kInternal error after the indexing.
  Status index_documents(std::span<const uint32_t> ids, std::span<const JsonValue* const> objects,
                         std::span<const std::optional<int64_t>> ttls, HeldNumbers* held = nullptr);

  // add_many's outer loop: `add_chunk(begin, end, held)` over the batch in chunks of
  // kBatchChunkRows rows, stopping at the first failure. Numbers falling due for the
  // trees are held until the end of the call (nothing can read the trees meanwhile), so
  // that each tree is rebuilt once rather than every 5000 values.
  Status add_in_chunks(const DocumentBatch& batch,
                       const std::function<Status(size_t begin, size_t end, HeldNumbers& held)>& add_chunk);

  // The first part of add_many for one chunk (see ChunkTexts): plans the dimension steps
  // from `dimension` (0: not fixed yet), parses the texts, and appends the texts add
  // would have appended, with the file opened once.
  ChunkTexts append_chunk(const DocumentBatch& batch, size_t begin, size_t end, size_t dimension,
                          bool whole_rows = false);
  // The rest, once the database has stored the vectors of rows [begin, stored_end()):
  // points the written rows' entries at their texts, indexes the rows whose text parsed
  // (due numbers go to `held`), and returns the chunk's failure as add would have met
  // it: a text that is not JSON (after adding that row to all documents), a text that
  // could not be appended, or the dimension step of row fitting_end (`dimension` being
  // the database's dimension by then); each with "row N: " in front. With the chunk's
  // whole_rows, the failing row is not added anywhere, and a text that is not JSON is
  // reported as "metadata is not valid JSON: <parser message>".
  Status record_chunk(const DocumentBatch& batch, const ChunkTexts& chunk, size_t dimension, HeldNumbers& held);

  // Runs the expiry sweep, then evaluates the filter: nullopt without a filter, else its
  // id set (an undetermined filter selects nothing). A text that is not JSON is a kValue
  // error with the parser's message.
  Result<std::optional<roaring::Roaring>> sweep_and_filter(std::optional<std::string_view> filter_json,
                                                           const IndexRemoval& unindex);
  // The filter part of sweep_and_filter alone.
  Result<std::optional<roaring::Roaring>> select(std::optional<std::string_view> filter_json);
  // Whether a sweep now would delete something: some expiry time is before the current
  // whole second (read lock on expirations). A clock before the epoch is an error.
  Result<bool> sweep_due() const;

  // Attaches metadata texts (read from the file per hit) to scored ids; ids whose text
  // cannot be read are left out when metadata is requested. Never fails.
  std::vector<SearchHit> build_results(std::vector<ScoredId> scored, bool include_metadata) const;

  // Deletes every document the filter selects: the deleted set grows, the filter index
  // and `unindex` forget the ids. Returns how many ids the filter selected, counted
  // before any change: in the contract dialect ids already deleted that the index
  // still holds count again; in the strict dialect only ids not deleted count.
  Result<uint64_t> delete_matching(std::string_view filter_json, const IndexRemoval& unindex);

  // The id bound minus the deleted ids, after an expiry sweep.
  Result<uint64_t> count(const IndexRemoval& unindex);

  // Deletes the documents whose expiry time has passed (strictly before the current
  // whole second), as delete_matching does.
  Status clean_expired(const IndexRemoval& unindex);

  // Removes `ids` as delete_matching removes what its filter selects: the deleted set
  // grows, the filter index and `unindex` forget them; with `expired` their expiry entries
  // go too, as a sweep's. Takes the deleted set's write lock (and expirations' inside it).
  void remove(const roaring::Roaring& ids, bool expired, const IndexRemoval& unindex);

 private:
  // Under the deleted set's write lock held by the caller.
  void remove_ids_locked(roaring::Roaring& deleted_set, const roaring::Roaring& ids, const IndexRemoval& unindex);
};

// The database of record: candidates from the LSH, vectors quantized from 5000 slots on.
class VendrelDB {
 public:
  VendrelDB() = default;
  VendrelDB(const VendrelDB&) = delete;
  VendrelDB& operator=(const VendrelDB&) = delete;

  // Creates the directory (and missing parents, mode 0o777) and an empty database.
  // Nothing is read from or written to the directory's files. A directory that cannot
  // be created is a kValue error with the operating system's text; a path holding a NUL
  // byte is a kValue error "embedded null byte", before anything is created.
  static Result<std::unique_ptr<VendrelDB>> open(std::string path);

  // Stores one document; see the steps in core.cpp. Not transactional: a failing step
  // keeps the effects of the steps before it.
  Status add(uint32_t id, std::span<const float> vector, std::string_view metadata_json,
             std::optional<int64_t> ttl);

  // The rows in order with add's per-row steps, leaving the database as the same adds
  // one by one would: the texts of a chunk of rows are appended with one open of the
  // file, parsed on the worker pool and indexed together (a chunk where quantization
  // may switch on is added row by row). At the first row that fails, the rows before it
  // are stored, it keeps what add keeps, later rows are not touched; its error gets
  // "row N: " in front.
  Status add_many(const DocumentBatch& batch);

  // The top k documents by descending similarity, optionally restricted by a filter.
  Result<std::vector<SearchHit>> search(std::span<const float> query, uint64_t k,
                                        std::optional<std::string_view> filter_json, bool include_metadata);

  std::vector<SearchHit> build_results(std::vector<ScoredId> scored, bool include_metadata) const {
    return ledger.build_results(std::move(scored), include_metadata);
  }
  // Deletes every document the filter selects; returns how many it selected.
  Result<uint64_t> delete_matching(std::string_view filter_json) { return ledger.delete_matching(filter_json, unindex_); }
  // Live documents: the id bound minus the deleted ids, after an expiry sweep.
  Result<uint64_t> count() { return ledger.count(unindex_); }
  // Deletes the documents whose expiry time has passed.
  Status clean_expired() { return ledger.clean_expired(unindex_); }

  // Record fields.
  DocumentLedger ledger;
  std::shared_ptr<LSH> lsh;
  std::shared_ptr<VectorStorage> storage;
  size_t dimension = 0;

 private:
  // add's steps up to the stored vector or code: the dimension step, the id bound, the
  // LSH insertion and the storage step (which may switch quantization on).
  Status store_vector(uint32_t id, std::span<const float> vector);
  // Rows [begin, end) of add_many; numbers due for the trees are held.
  Status add_chunk(const DocumentBatch& batch, size_t begin, size_t end, HeldNumbers& held);
  // Deleted ids leave the LSH buckets.
  IndexRemoval unindex_ = [this](const roaring::Roaring& ids) { lsh->remove_many(ids); };
};

}  // namespace vendrel
