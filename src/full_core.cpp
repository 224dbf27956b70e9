#include "full_core.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <shared_mutex>
#include <string>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/parallel_reduce.h>

namespace vendrel {

namespace {

// Below this many floats to score, the exact scan stays on the calling thread.
constexpr uint64_t kParallelScanFloats = uint64_t{1} << 18;

}  // namespace

std::optional<NonFinite> first_non_finite(std::span<const std::span<const float>> vectors) {
  const auto find_in = [&](size_t begin, size_t end) -> std::optional<NonFinite> {
    for (size_t row = begin; row < end; ++row) {
      const std::span<const float> vector = vectors[row];
      // A branch-free pass the compiler vectorises; the position is looked for only
      // in the rare row that has one.
      bool finite = true;
      for (float value : vector) finite &= std::isfinite(value);
      if (finite) continue;
      for (size_t position = 0; position < vector.size(); ++position) {
        if (!std::isfinite(vector[position])) return NonFinite{row, position, vector[position]};
      }
    }
    return std::nullopt;
  };
  constexpr size_t kRowsPerTask = 256;
  if (vectors.size() <= kRowsPerTask) return find_in(0, vectors.size());
  return tbb::parallel_reduce(
      tbb::blocked_range<size_t>(0, vectors.size(), kRowsPerTask), std::optional<NonFinite>(),
      [&](const tbb::blocked_range<size_t>& range, std::optional<NonFinite> found) {
        if (found && found->row < range.begin()) return found;
        std::optional<NonFinite> here = find_in(range.begin(), range.end());
        return here && (!found || here->row < found->row) ? here : found;
      },
      [](std::optional<NonFinite> left, std::optional<NonFinite> right) {
        if (!left) return right;
        if (!right) return left;
        return left->row <= right->row ? left : right;
      });
}

Error non_finite_error(const char* name, size_t position, float value) {
  const char* shown = std::isnan(value) ? "nan" : value > 0 ? "inf" : "-inf";
  return value_error(std::string(name) + "[" + std::to_string(position) + "] is " + shown +
                     ": vectors must hold finite numbers");
}

size_t filtered_expansion(size_t ef, uint64_t allowed, uint64_t graph_size) {
  const double fraction = graph_size == 0 ? 1.0 : std::min(1.0, static_cast<double>(allowed) / static_cast<double>(graph_size));
  return std::max<size_t>(ef / 4, static_cast<size_t>(std::ceil(static_cast<double>(ef) * fraction)));
}

uint64_t graph_scan_crossover(uint64_t graph_size, size_t ef) {
  const double balance = 20.0 * std::sqrt(static_cast<double>(graph_size) * static_cast<double>(ef) / 128.0);
  return std::max<uint64_t>(2000, static_cast<uint64_t>(balance));
}

Result<std::unique_ptr<FullVendrelDB>> FullVendrelDB::open(std::string path, FullSettings settings) {
  Result<DocumentLedger> ledger = DocumentLedger::open(std::move(path), FilterDialect::kStrict);
  if (!ledger.ok()) return ledger.error();
  auto db = std::make_unique<FullVendrelDB>();
  db->ledger = std::move(ledger.value());
  db->settings = settings;
  db->rows = std::make_shared<RwLocked<VectorTable>>();
  db->rows->value = VectorTable(/*keep_norms=*/true);
  return db;
}

template <typename Read>
auto FullVendrelDB::read_after_sweep(Read&& read) -> decltype(read()) {
  for (;;) {
    {
      std::shared_lock guard(lock_);
      Result<bool> due = ledger.sweep_due();
      if (!due.ok()) return due.error();
      if (!due.value()) return read();
    }
    // Another sweep may have run between the two locks; clean_expired then finds nothing.
    std::unique_lock guard(lock_);
    Status swept = ledger.clean_expired(unindex_);
    if (!swept.ok()) return swept.error();
  }
}

Status FullVendrelDB::check_row(std::span<const float> vector, const Result<JsonValue>& parsed) const {
  if (dimension != 0 && vector.size() != dimension) return dimension_mismatch(dimension, vector.size());
  const std::span<const float> one[] = {vector};
  if (const std::optional<NonFinite> bad = first_non_finite(one)) return non_finite_error("vector", bad->position, bad->value);
  if (!parsed.ok()) return not_json_error(parsed.error());
  return ok_status();
}

Status FullVendrelDB::check_query(std::span<const float> query) const {
  if (dimension != 0 && query.size() != dimension) {
    return value_error("Dimension mismatch: the query has " + std::to_string(query.size()) +
                       " components, the stored vectors " + std::to_string(dimension));
  }
  const std::span<const float> one[] = {query};
  if (const std::optional<NonFinite> bad = first_non_finite(one)) return non_finite_error("query", bad->position, bad->value);
  return ok_status();
}

void FullVendrelDB::fix_dimension(size_t length) {
  if (dimension == 0) dimension = length;
}

void FullVendrelDB::create_graph_once_dimensioned() {
  if (settings.index == IndexKind::kGraph && !graph && dimension > 0) {
    graph = std::make_shared<GraphIndex>(dimension, settings.graph);
  }
}

void FullVendrelDB::store_rows(const DocumentBatch& batch, size_t begin, size_t end) {
  if (begin == end) return;
  for (size_t row = begin; row < end; ++row) fix_dimension(batch.vectors[row].size());
  create_graph_once_dimensioned();
  ledger.raise_id_bound(*std::max_element(batch.ids.begin() + begin, batch.ids.begin() + end));
  std::unique_lock guard(rows->lock);
  rows->value.put_batch(batch.ids.subspan(begin, end - begin),
                        std::span<const std::span<const float>>(batch.vectors).subspan(begin, end - begin));
}

Status FullVendrelDB::add(uint32_t id, std::span<const float> vector, std::string_view metadata_json,
                          std::optional<int64_t> ttl) {
  std::unique_lock guard(lock_);
  const Result<JsonValue> parsed = parse_json(metadata_json);
  Status checked = check_row(vector, parsed);
  if (!checked.ok()) return checked;
  std::optional<uint64_t> expires_at;
  if (ttl) {
    Result<uint64_t> now = unix_now_seconds();
    if (!now.ok()) return now.error();
    // Wraps around like the unsigned 64-bit sum it is: a negative ttl lies in the past.
    expires_at = now.value() + static_cast<uint64_t>(*ttl);
  }
  // The last step that can fail; a text cut short is cut off again.
  Status appended = ledger.metadata->append_whole(id, metadata_json);
  if (!appended.ok()) return appended;

  fix_dimension(vector.size());
  create_graph_once_dimensioned();
  ledger.raise_id_bound(id);
  {
    std::unique_lock rows_guard(rows->lock);
    rows->value.put(id, vector);
  }
  if (graph && !vector.empty()) {
    bool deleted = false;
    {
      std::shared_lock deleted_guard(ledger.deleted->lock);
      deleted = ledger.deleted->value.contains(id);
    }
    Status inserted = graph->insert(id, vector, deleted);
    if (!inserted.ok()) return inserted;
  }
  ledger.filter->add_document(id);
  if (parsed.value().kind == JsonValue::Kind::kObject) ledger.filter->index_object(parsed.value(), std::string(), id);
  if (expires_at) {
    std::unique_lock expiry_guard(ledger.expirations->lock);
    ledger.expirations->value.set(id, *expires_at);
  }
  return ok_status();
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
  // Rows from the first one holding a NaN or an infinity on are never offered to the
  // chunks; an earlier row that fails reports its own error first.
  const std::optional<NonFinite> bad = first_non_finite(batch.vectors);
  DocumentBatch offered = batch;
  if (bad) {
    offered.ids = batch.ids.first(bad->row);
    offered.vectors.resize(bad->row);
    offered.metadata_jsons.resize(bad->row);
    if (!offered.ttls.empty()) offered.ttls.resize(bad->row);
  }
  std::unique_lock guard(lock_);
  Status added = ledger.add_in_chunks(
      offered, [&](size_t begin, size_t end, HeldNumbers& held) { return add_chunk(offered, begin, end, held); });
  if (!added.ok() || !bad) return added;
  return row_error(bad->row, non_finite_error("vector", bad->position, bad->value));
}

// The chunk's rows go through add's steps in three passes whose combined effect is the
// rows added one by one: the ledger plans the dimension steps, parses the texts and
// appends those of the rows before the first refused one (one open of the file); those
// rows' vectors are stored (copied on the pool); the ledger records and indexes their
// texts and reports the refused row, if any. The graph takes the stored rows.
Status FullVendrelDB::add_chunk(const DocumentBatch& batch, size_t begin, size_t end, HeldNumbers& held) {
  const ChunkTexts chunk = ledger.append_chunk(batch, begin, end, dimension, /*whole_rows=*/true);
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

Result<std::optional<roaring::Roaring>> FullVendrelDB::select(std::optional<std::string_view> filter_json) {
  return ledger.select(filter_json);
}

std::vector<ScoredId> FullVendrelDB::best_for(std::span<const float> query, uint64_t k,
                                              const std::optional<roaring::Roaring>& filter_set, size_t ef) const {
  if (k == 0) return {};
  std::optional<std::vector<ScoredId>> from_graph;
  if (graph) from_graph = search_graph(query, k, filter_set, ef);
  return from_graph ? std::move(*from_graph) : scan(query, k, filter_set ? &*filter_set : nullptr);
}

Result<std::vector<SearchHit>> FullVendrelDB::search(std::span<const float> query, uint64_t k,
                                                     std::optional<std::string_view> filter_json,
                                                     bool include_metadata, size_t ef) {
  return read_after_sweep([&]() -> Result<std::vector<SearchHit>> {
    Status checked = check_query(query);
    if (!checked.ok()) return checked.error();
    Result<std::optional<roaring::Roaring>> filtered = select(filter_json);
    if (!filtered.ok()) return filtered.error();
    return ledger.build_results(best_for(query, k, filtered.value(), ef), include_metadata);
  });
}

Result<std::vector<std::vector<SearchHit>>> FullVendrelDB::search_many(std::span<const std::span<const float>> queries,
                                                                       uint64_t k,
                                                                       std::optional<std::string_view> filter_json,
                                                                       bool include_metadata, size_t ef) {
  using Lists = std::vector<std::vector<SearchHit>>;
  return read_after_sweep([&]() -> Result<Lists> {
    for (size_t i = 0; i < queries.size(); ++i) {
      Status checked = check_query(queries[i]);
      if (!checked.ok()) return Error{checked.error().kind, "query " + std::to_string(i) + ": " + checked.error().message};
    }
    Result<std::optional<roaring::Roaring>> filtered = select(filter_json);
    if (!filtered.ok()) return filtered.error();
    Lists lists(queries.size());
    tbb::parallel_for(size_t{0}, queries.size(), [&](size_t i) {
      lists[i] = ledger.build_results(best_for(queries[i], k, filtered.value(), ef), include_metadata);
    });
    return lists;
  });
}

std::vector<SearchHit> FullVendrelDB::build_results(std::vector<ScoredId> scored, bool include_metadata) const {
  std::shared_lock guard(lock_);
  return ledger.build_results(std::move(scored), include_metadata);
}

Result<uint64_t> FullVendrelDB::delete_matching(std::string_view filter_json) {
  std::unique_lock guard(lock_);
  return ledger.delete_matching(filter_json, unindex_);
}

Result<uint64_t> FullVendrelDB::count() {
  return read_after_sweep([&]() -> Result<uint64_t> {
    const uint64_t bound = ledger.id_bound();
    std::shared_lock guard(ledger.deleted->lock);
    return bound - ledger.deleted->value.cardinality();
  });
}

Status FullVendrelDB::clean_expired() {
  std::unique_lock guard(lock_);
  return ledger.clean_expired(unindex_);
}

}  // namespace vendrel
