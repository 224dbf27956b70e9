#include "full_core.h"

#include <algorithm>
#include <mutex>
#include <shared_mutex>

#include <tbb/parallel_for.h>

#include "json.h"

namespace vendrel {

namespace {

// Rows handled per chunk of add_many: bounds the parsed texts held at once while keeping
// the metadata file's open and close, and the pool's start-up, rare.
constexpr size_t kBatchChunkRows = 4096;

// Below this many floats to score, the exact scan stays on the calling thread.
constexpr uint64_t kParallelScanFloats = uint64_t{1} << 18;

std::vector<Result<JsonValue>> parse_texts(std::span<const std::string_view> texts) {
  std::vector<Result<JsonValue>> parsed(texts.size(), Result<JsonValue>(JsonValue{}));
  tbb::parallel_for(size_t{0}, texts.size(), [&](size_t i) { parsed[i] = parse_json(texts[i]); });
  return parsed;
}

}  // namespace

Result<std::unique_ptr<FullVendrelDB>> FullVendrelDB::open(std::string path) {
  Result<DocumentLedger> ledger = DocumentLedger::open(std::move(path));
  if (!ledger.ok()) return ledger.error();
  auto db = std::make_unique<FullVendrelDB>();
  db->ledger = std::move(ledger.value());
  db->rows = std::make_shared<RwLocked<VectorTable>>();
  db->rows->value = VectorTable(/*keep_norms=*/true);
  return db;
}

Status FullVendrelDB::check_dimension(size_t length) {
  if (dimension == 0) {
    dimension = length;
  } else if (length != dimension) {
    return value_error("Dimension mismatch: expected " + std::to_string(dimension) + ", got " +
                       std::to_string(length));
  }
  return ok_status();
}

Status FullVendrelDB::store_vector(uint32_t id, std::span<const float> vector) {
  Status fits = check_dimension(vector.size());
  if (!fits.ok()) return fits;
  ledger.raise_id_bound(id);
  std::unique_lock guard(rows->lock);
  rows->value.put(id, vector);
  return ok_status();
}

Status FullVendrelDB::add(uint32_t id, std::span<const float> vector, std::string_view metadata_json,
                          std::optional<int64_t> ttl) {
  Status stored = store_vector(id, vector);
  if (!stored.ok()) return stored;
  return ledger.record_document(id, metadata_json, ttl);
}

Status FullVendrelDB::add_many(const DocumentBatch& batch) {
  for (size_t begin = 0; begin < batch.size(); begin += kBatchChunkRows) {
    Status added = add_chunk(batch, begin, std::min(batch.size(), begin + kBatchChunkRows));
    if (!added.ok()) return added;
  }
  return ok_status();
}

// The chunk's rows go through add's steps in three passes whose combined effect is the
// rows added one by one: first find the rows that pass the dimension step and parse
// their texts (no effect yet); then append the texts that add would have appended
// before stopping (one open of the file); then store each row and record its text and
// index, stopping at the first failure. A failure found in the first two passes is
// reported at the row where add would have met it, after that row's earlier steps.
Status FullVendrelDB::add_chunk(const DocumentBatch& batch, size_t begin, size_t end) {
  size_t planned_dimension = dimension;
  size_t fitting_end = end;  // rows [begin, fitting_end) pass the dimension step
  for (size_t row = begin; row < end; ++row) {
    const size_t length = batch.vectors[row].size();
    if (planned_dimension == 0) {
      planned_dimension = length;
    } else if (length != planned_dimension) {
      fitting_end = row;
      break;
    }
  }

  const auto texts = std::span<const std::string_view>(batch.metadata_jsons).subspan(begin, fitting_end - begin);
  const std::vector<Result<JsonValue>> parsed = parse_texts(texts);
  // A text that is not JSON is still appended: add fails only after the append.
  size_t appended_end = fitting_end;
  for (size_t row = begin; row < fitting_end; ++row) {
    if (!parsed[row - begin].ok()) {
      appended_end = row + 1;
      break;
    }
  }

  const BatchAppend appended = ledger.metadata->append_batch(texts.first(appended_end - begin));
  const size_t written_end = begin + appended.offsets.size();
  for (size_t row = begin; row < written_end; ++row) {
    Status stored = store_vector(batch.ids[row], batch.vectors[row]);
    if (!stored.ok()) return row_error(row, stored.error());
    const auto length = static_cast<uint32_t>(batch.metadata_jsons[row].size());
    ledger.metadata->set_entry(batch.ids[row], MetadataEntry{appended.offsets[row - begin], length});
    Status indexed = ledger.index_document(batch.ids[row], parsed[row - begin], batch.ttl(row));
    if (!indexed.ok()) return row_error(row, indexed.error());
  }
  if (appended.error) {
    // The row whose text was refused or cut short keeps its vector, as add does.
    Status stored = store_vector(batch.ids[written_end], batch.vectors[written_end]);
    if (!stored.ok()) return row_error(written_end, stored.error());
    return row_error(written_end, *appended.error);
  }
  if (fitting_end < end) return row_error(fitting_end, check_dimension(batch.vectors[fitting_end].size()).error());
  return ok_status();
}

Result<std::vector<SearchHit>> FullVendrelDB::search(std::span<const float> query, uint64_t k,
                                                     std::optional<std::string_view> filter_json,
                                                     bool include_metadata) {
  Result<std::optional<roaring::Roaring>> filtered = ledger.sweep_and_filter(filter_json, unindex_);
  if (!filtered.ok()) return filtered.error();
  const std::optional<roaring::Roaring>& filter_set = filtered.value();

  std::vector<ScoredId> best;
  {
    std::shared_lock deleted_guard(ledger.deleted->lock);
    std::shared_lock rows_guard(rows->lock);
    const uint64_t candidate_rows = filter_set ? filter_set->cardinality() : rows->value.length();
    const bool parallel = candidate_rows * std::max<size_t>(rows->value.width(), 1) > kParallelScanFloats;
    best = exact_top_k(rows->value, query, k, filter_set ? &*filter_set : nullptr, ledger.deleted->value, parallel);
  }
  return ledger.build_results(std::move(best), include_metadata);
}

}  // namespace vendrel
