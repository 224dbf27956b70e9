#include "full_core.h"

#include <algorithm>
#include <cmath>
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

// The texts parsed on the pool; dropped on the pool too, since freeing the parsed
// trees costs about as much as building them.
class ParsedTexts {
 public:
  explicit ParsedTexts(std::span<const std::string_view> texts) : values_(texts.size(), Result<JsonValue>(JsonValue{})) {
    tbb::parallel_for(size_t{0}, texts.size(), [&](size_t i) { values_[i] = parse_json(texts[i]); });
  }
  ~ParsedTexts() {
    tbb::parallel_for(size_t{0}, values_.size(), [&](size_t i) { values_[i] = Result<JsonValue>(JsonValue{}); });
  }
  ParsedTexts(const ParsedTexts&) = delete;
  ParsedTexts& operator=(const ParsedTexts&) = delete;

  const Result<JsonValue>& operator[](size_t i) const { return values_[i]; }

 private:
  std::vector<Result<JsonValue>> values_;
};

}  // namespace

uint64_t graph_scan_crossover(uint64_t graph_size, size_t ef) {
  const double balance = 20.0 * std::sqrt(static_cast<double>(graph_size) * static_cast<double>(ef) / 128.0);
  return std::max<uint64_t>(2000, static_cast<uint64_t>(balance));
}

Result<std::unique_ptr<FullVendrelDB>> FullVendrelDB::open(std::string path, FullSettings settings) {
  Result<DocumentLedger> ledger = DocumentLedger::open(std::move(path));
  if (!ledger.ok()) return ledger.error();
  auto db = std::make_unique<FullVendrelDB>();
  db->ledger = std::move(ledger.value());
  db->settings = settings;
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
  if (settings.index == IndexKind::kGraph && !graph && dimension > 0) {
    graph = std::make_shared<GraphIndex>(dimension, settings.graph);
  }
  ledger.raise_id_bound(id);
  std::unique_lock guard(rows->lock);
  rows->value.put(id, vector);
  return ok_status();
}

void FullVendrelDB::store_rows(const DocumentBatch& batch, size_t begin, size_t end) {
  if (begin == end) return;
  for (size_t row = begin; row < end; ++row) (void)check_dimension(batch.vectors[row].size());
  if (settings.index == IndexKind::kGraph && !graph && dimension > 0) {
    graph = std::make_shared<GraphIndex>(dimension, settings.graph);
  }
  ledger.raise_id_bound(*std::max_element(batch.ids.begin() + begin, batch.ids.begin() + end));
  std::unique_lock guard(rows->lock);
  rows->value.put_batch(batch.ids.subspan(begin, end - begin),
                        std::span<const std::span<const float>>(batch.vectors).subspan(begin, end - begin));
}

Status FullVendrelDB::add(uint32_t id, std::span<const float> vector, std::string_view metadata_json,
                          std::optional<int64_t> ttl) {
  Status stored = store_vector(id, vector);
  if (!stored.ok()) return stored;
  if (graph && !vector.empty()) {
    bool deleted = false;
    {
      std::shared_lock guard(ledger.deleted->lock);
      deleted = ledger.deleted->value.contains(id);
    }
    Status inserted = graph->insert(id, vector, deleted);
    if (!inserted.ok()) return inserted;
  }
  return ledger.record_document(id, metadata_json, ttl);
}

Status FullVendrelDB::insert_into_graph(const DocumentBatch& batch, size_t begin, size_t end) {
  if (!graph) return ok_status();
  // A deleted id stays hidden, as add keeps it; an id repeats only with one status.
  for (const bool deleted : {false, true}) {
    std::vector<uint32_t> ids;
    std::vector<float> block;
    {
      std::shared_lock guard(ledger.deleted->lock);
      for (size_t row = begin; row < end; ++row) {
        if (batch.vectors[row].empty() || ledger.deleted->value.contains(batch.ids[row]) != deleted) continue;
        ids.push_back(batch.ids[row]);
        block.insert(block.end(), batch.vectors[row].begin(), batch.vectors[row].end());
      }
    }
    if (ids.empty()) continue;
    Status inserted = graph->insert_batch(ids, block, deleted);
    if (!inserted.ok()) return inserted;
  }
  return ok_status();
}

Status FullVendrelDB::add_many(const DocumentBatch& batch) {
  // Numbers falling due for the trees wait until the end of the call (nothing can read
  // the trees meanwhile), so that each tree is rebuilt once rather than every 5000 values.
  HeldNumbers held;
  Status added = ok_status();
  for (size_t begin = 0; begin < batch.size() && added.ok(); begin += kBatchChunkRows) {
    added = add_chunk(batch, begin, std::min(batch.size(), begin + kBatchChunkRows), held);
  }
  ledger.filter->flush_held(held);
  return added;
}

// The chunk's rows go through add's steps in three passes whose combined effect is the
// rows added one by one: first find the rows that pass the dimension step and parse
// their texts (no effect yet); then append the texts that add would have appended
// before stopping (one open of the file); then store each row and record its text and
// index, stopping at the first failure. A failure found in the first two passes is
// reported at the row where add would have met it, after that row's earlier steps.
Status FullVendrelDB::add_chunk(const DocumentBatch& batch, size_t begin, size_t end, HeldNumbers& held) {
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
  const ParsedTexts parsed(texts);
  // A text that is not JSON is still appended: add fails only after the append.
  size_t first_unparsed = fitting_end;
  for (size_t row = begin; row < fitting_end; ++row) {
    if (!parsed[row - begin].ok()) {
      first_unparsed = row;
      break;
    }
  }
  const size_t appended_end = first_unparsed < fitting_end ? first_unparsed + 1 : fitting_end;

  const BatchAppend appended = ledger.metadata->append_batch(texts.first(appended_end - begin));
  const size_t written_end = begin + appended.offsets.size();
  // Every written row keeps its vector, and so does the row whose text was refused or
  // cut short, as add keeps it.
  const size_t stored_end = appended.error ? written_end + 1 : written_end;
  store_rows(batch, begin, stored_end);
  for (size_t row = begin; row < written_end; ++row) {
    const auto length = static_cast<uint32_t>(batch.metadata_jsons[row].size());
    ledger.metadata->set_entry(batch.ids[row], MetadataEntry{appended.offsets[row - begin], length});
  }
  // The rows whose text parsed are indexed together; a row whose text did not is the
  // last one written, and add fails on it right after adding it to all documents.
  Status outcome = ok_status();
  const size_t parsed_end = std::min(written_end, first_unparsed);
  {
    std::vector<const JsonValue*> objects;
    std::vector<std::optional<int64_t>> ttls;
    for (size_t row = begin; row < parsed_end; ++row) {
      const JsonValue& value = parsed[row - begin].value();
      objects.push_back(value.kind == JsonValue::Kind::kObject ? &value : nullptr);
      ttls.push_back(batch.ttl(row));
    }
    Status indexed = ledger.index_documents(batch.ids.subspan(begin, parsed_end - begin), objects, ttls, &held);
    if (!indexed.ok()) outcome = row_error(begin, indexed.error());
  }
  if (outcome.ok() && parsed_end < written_end) {
    Status indexed = ledger.index_document(batch.ids[parsed_end], parsed[parsed_end - begin], batch.ttl(parsed_end));
    outcome = row_error(parsed_end, indexed.error());
  }
  if (outcome.ok() && appended.error) outcome = row_error(written_end, *appended.error);
  if (outcome.ok() && fitting_end < end) {
    outcome = row_error(fitting_end, check_dimension(batch.vectors[fitting_end].size()).error());
  }
  Status inserted = insert_into_graph(batch, begin, stored_end);
  if (!inserted.ok()) return inserted;
  return outcome;
}

std::vector<ScoredId> FullVendrelDB::scan(std::span<const float> query, uint64_t k,
                                          const roaring::Roaring* within) const {
  std::shared_lock deleted_guard(ledger.deleted->lock);
  std::shared_lock rows_guard(rows->lock);
  const uint64_t candidate_rows = within ? within->cardinality() : rows->value.length();
  const bool parallel = candidate_rows * std::max<size_t>(rows->value.width(), 1) > kParallelScanFloats;
  return exact_top_k(rows->value, query, k, within, ledger.deleted->value, parallel);
}

std::optional<std::vector<ScoredId>> FullVendrelDB::search_graph(std::span<const float> query, uint64_t k,
                                                                 const std::optional<roaring::Roaring>& filter_set,
                                                                 size_t ef) const {
  if (query.size() != dimension) return std::nullopt;  // scored over the common prefix by the scan
  const size_t expansion = ef > 0 ? ef : settings.graph.ef_search;
  const uint64_t graph_size = graph->size();
  std::optional<roaring::Roaring> allowed;
  if (filter_set) {
    {
      std::shared_lock guard(ledger.deleted->lock);
      allowed = *filter_set - ledger.deleted->value;
    }
    if (allowed->cardinality() <= graph_scan_crossover(graph_size, expansion)) return std::nullopt;
  }
  const uint64_t wanted = std::min<uint64_t>(k, graph_size);
  Result<std::vector<GraphHit>> hits =
      graph->search(query, wanted, expansion, allowed ? allowed_in(*allowed) : AllowedIdTest{});
  if (!hits.ok() || hits.value().size() < k) return std::nullopt;  // the scan finds every allowed row

  std::vector<uint32_t> ids;
  ids.reserve(hits.value().size());
  for (const GraphHit& hit : hits.value()) ids.push_back(hit.id);
  std::sort(ids.begin(), ids.end());
  const roaring::Roaring candidates(ids.size(), ids.data());
  return scan(query, k, &candidates);
}

Result<std::vector<SearchHit>> FullVendrelDB::search(std::span<const float> query, uint64_t k,
                                                     std::optional<std::string_view> filter_json,
                                                     bool include_metadata, size_t ef) {
  Result<std::optional<roaring::Roaring>> filtered = ledger.sweep_and_filter(filter_json, unindex_);
  if (!filtered.ok()) return filtered.error();
  const std::optional<roaring::Roaring>& filter_set = filtered.value();

  std::vector<ScoredId> best;
  if (k > 0) {
    std::optional<std::vector<ScoredId>> from_graph;
    if (graph) from_graph = search_graph(query, k, filter_set, ef);
    best = from_graph ? std::move(*from_graph) : scan(query, k, filter_set ? &*filter_set : nullptr);
  }
  return ledger.build_results(std::move(best), include_metadata);
}

}  // namespace vendrel
