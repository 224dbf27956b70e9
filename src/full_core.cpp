#include "full_core.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <shared_mutex>

#include "scan.h"

namespace vendrel {

namespace {

// Below this many floats to score, the exact scan stays on the calling thread.
constexpr uint64_t kParallelScanFloats = uint64_t{1} << 18;

}  // namespace

size_t filtered_expansion(size_t ef, uint64_t allowed, uint64_t graph_size) {
  const double fraction = graph_size == 0 ? 1.0 : std::min(1.0, static_cast<double>(allowed) / static_cast<double>(graph_size));
  return std::max<size_t>(ef / 4, static_cast<size_t>(std::ceil(static_cast<double>(ef) * fraction)));
}

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
    return dimension_mismatch(dimension, length);
  }
  return ok_status();
}

void FullVendrelDB::create_graph_once_dimensioned() {
  if (settings.index == IndexKind::kGraph && !graph && dimension > 0) {
    graph = std::make_shared<GraphIndex>(dimension, settings.graph);
  }
}

Status FullVendrelDB::store_vector(uint32_t id, std::span<const float> vector) {
  Status fits = check_dimension(vector.size());
  if (!fits.ok()) return fits;
  create_graph_once_dimensioned();
  ledger.raise_id_bound(id);
  std::unique_lock guard(rows->lock);
  rows->value.put(id, vector);
  return ok_status();
}

void FullVendrelDB::store_rows(const DocumentBatch& batch, size_t begin, size_t end) {
  if (begin == end) return;
  for (size_t row = begin; row < end; ++row) (void)check_dimension(batch.vectors[row].size());  // planned to fit
  create_graph_once_dimensioned();
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
  return ledger.add_in_chunks(
      batch, [&](size_t begin, size_t end, HeldNumbers& held) { return add_chunk(batch, begin, end, held); });
}

// The chunk's rows go through add's steps in three passes whose combined effect is the
// rows added one by one: the ledger plans the dimension steps, parses the texts and
// appends those add would have appended (one open of the file); the rows' vectors are
// stored (copied on the pool); the ledger records and indexes the texts and reports
// the failure, if any, where add would have met it. The graph takes the stored rows.
Status FullVendrelDB::add_chunk(const DocumentBatch& batch, size_t begin, size_t end, HeldNumbers& held) {
  const ChunkTexts chunk = ledger.append_chunk(batch, begin, end, dimension);
  store_rows(batch, begin, chunk.stored_end());
  if (graph && begin == 0) {
    // The graph grows once for the whole batch rather than doubling chunk by chunk.
    Status reserved = graph->reserve(batch.size());
    if (!reserved.ok()) return reserved;
  }
  const Status outcome = ledger.record_chunk(batch, chunk, dimension, held);
  Status inserted = insert_into_graph(batch, begin, chunk.stored_end());
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
      graph->search(query, wanted, allowed ? filtered_expansion(expansion, allowed->cardinality(), graph_size) : expansion,
                    allowed ? allowed_in(*allowed) : AllowedIdTest{});
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
