#include "core.h"

#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <limits>
#include <mutex>
#include <shared_mutex>

#include "json.h"

#include <tbb/parallel_for.h>

namespace vendrel {

namespace {

uint64_t saturating_mul(uint64_t value, uint64_t factor) {
  uint64_t product = 0;
  if (__builtin_mul_overflow(value, factor, &product)) return std::numeric_limits<uint64_t>::max();
  return product;
}

// The directory that holds `path`, or nullopt for a path with no parent (the root).
// "a/b/c" -> "a/b", "a" -> "", "a//b/" -> "a".
std::optional<std::string> parent_directory(const std::string& path) {
  size_t end = path.size();
  while (end > 1 && path[end - 1] == '/') --end;
  if (end == 1 && path[0] == '/') return std::nullopt;
  const size_t slash = path.rfind('/', end - 1);
  if (slash == std::string::npos) return std::string();
  size_t parent_end = slash;
  while (parent_end > 1 && path[parent_end - 1] == '/') --parent_end;
  if (parent_end == 0) return std::string("/");
  return path.substr(0, parent_end);
}

bool is_directory(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

Status create_directories_from(const std::string& path) {
  if (path.empty()) return ok_status();
  if (::mkdir(path.c_str(), 0777) == 0) return ok_status();
  int error_number = errno;
  if (error_number != ENOENT) {
    if (is_directory(path)) return ok_status();
    return value_error(os_error_text(error_number));
  }
  const std::optional<std::string> parent = parent_directory(path);
  if (!parent) return value_error("failed to create whole tree");
  Status parent_status = create_directories_from(*parent);
  if (!parent_status.ok()) return parent_status;
  if (::mkdir(path.c_str(), 0777) == 0) return ok_status();
  error_number = errno;
  if (is_directory(path)) return ok_status();
  return value_error(os_error_text(error_number));
}

// Descending score order for selection and sorting. A NaN score sorts after every
// number so that the ordering stays a strict weak order (the standard algorithms
// need one to stay in bounds); among numbers it is plain "greater score first".
bool ranks_before(const ScoredId& left, const ScoredId& right) {
  if (std::isnan(left.score)) return false;
  if (std::isnan(right.score)) return true;
  return left.score > right.score;
}

// The same order, with equal scores ranked by the squared distance behind them,
// nearest first. Quantized scores saturate at 0 from a distance of 4 on, so many
// documents can share a score; choosing among them by distance keeps the selected k
// the nearest ones. Used only where the order of equal scores is free: selecting k
// out of more than k.
bool ranks_before_or_nearer(const ScoredId& left, const ScoredId& right) {
  if (ranks_before(left, right)) return true;
  if (ranks_before(right, left)) return false;
  if (std::isnan(left.distance)) return false;
  if (std::isnan(right.distance)) return true;
  return left.distance < right.distance;
}

void keep_top_k(std::vector<ScoredId>& scored, uint64_t k) {
  if (scored.size() <= k) {
    // Nothing to select: equal scores keep their candidate order.
    std::stable_sort(scored.begin(), scored.end(), ranks_before);
    return;
  }
  if (k == 0) {
    scored.clear();
    return;
  }
  std::nth_element(scored.begin(), scored.begin() + static_cast<std::ptrdiff_t>(k - 1), scored.end(),
                   ranks_before_or_nearer);
  scored.resize(k);
  std::stable_sort(scored.begin(), scored.end(), ranks_before_or_nearer);
}

}  // namespace

void ExpiryTable::set(uint32_t id, uint64_t expires_at) {
  auto [position, inserted] = by_id.try_emplace(id, expires_at);
  if (!inserted) {
    by_time.erase({position->second, id});
    position->second = expires_at;
  }
  by_time.emplace(expires_at, id);
}

std::vector<uint32_t> ExpiryTable::expired_before(uint64_t now) const {
  std::vector<uint32_t> expired;
  for (auto it = by_time.begin(); it != by_time.end() && it->first < now; ++it) expired.push_back(it->second);
  return expired;
}

void ExpiryTable::erase(uint32_t id) {
  auto position = by_id.find(id);
  if (position == by_id.end()) return;
  by_time.erase({position->second, id});
  by_id.erase(position);
}

Result<uint64_t> unix_now_seconds() {
  struct timespec now {};
  if (::clock_gettime(CLOCK_REALTIME, &now) != 0) return internal_error(os_error_text(errno));
  if (now.tv_sec < 0) return internal_error("the system clock is set before the Unix epoch");
  return static_cast<uint64_t>(now.tv_sec);
}

Error row_error(size_t row, const Error& error) {
  return Error{error.kind, "row " + std::to_string(row) + ": " + error.message};
}

Error not_json_error(const Error& parse_error) {
  return Error{parse_error.kind, "metadata is not valid JSON: " + parse_error.message};
}

Error dimension_mismatch(size_t dimension, size_t length) {
  return value_error("Dimension mismatch: expected " + std::to_string(dimension) + ", got " + std::to_string(length));
}

ParsedTexts::ParsedTexts(std::span<const std::string_view> texts)
    : values_(texts.size(), Result<JsonValue>(JsonValue{})) {
  tbb::parallel_for(size_t{0}, texts.size(), [&](size_t i) { values_[i] = parse_json(texts[i]); });
}

ParsedTexts::~ParsedTexts() {
  tbb::parallel_for(size_t{0}, values_.size(), [&](size_t i) { values_[i] = Result<JsonValue>(JsonValue{}); });
}

Status create_directories(const std::string& path) {
  // The file system would read the path only up to the NUL and open another directory
  // than the one named; refuse it with the text Python gives for the same mistake.
  if (path.find('\0') != std::string::npos) return value_error("embedded null byte");
  return create_directories_from(path);
}

// ---- DocumentLedger ----

Result<DocumentLedger> DocumentLedger::open(std::string path, FilterDialect dialect) {
  Status created = create_directories(path);
  if (!created.ok()) return created.error();
  DocumentLedger ledger;
  ledger.metadata = std::make_shared<MetadataStore>(metadata_path_for(path));
  ledger.path = std::move(path);
  ledger.expirations = std::make_shared<RwLocked<ExpiryTable>>();
  ledger.filter = std::make_shared<FilterEngine>(dialect);
  ledger.deleted = std::make_shared<RwLocked<roaring::Roaring>>();
  ledger.next_id = std::make_shared<RwLocked<uint64_t>>();
  return ledger;
}

void DocumentLedger::raise_id_bound(uint32_t id) {
  std::unique_lock guard(next_id->lock);
  if (uint64_t{id} >= next_id->value) next_id->value = uint64_t{id} + 1;
}

uint64_t DocumentLedger::id_bound() const {
  std::shared_lock guard(next_id->lock);
  return next_id->value;
}

Status DocumentLedger::record_document(uint32_t id, std::string_view metadata_json, std::optional<int64_t> ttl) {
  Status appended = metadata->append(id, metadata_json);
  if (!appended.ok()) return appended;
  return index_document(id, parse_json(metadata_json), ttl);
}

Status DocumentLedger::index_document(uint32_t id, const Result<JsonValue>& parsed, std::optional<int64_t> ttl) {
  filter->add_document(id);
  if (!parsed.ok()) return parsed.error();
  if (parsed.value().kind == JsonValue::Kind::kObject) filter->index_object(parsed.value(), std::string(), id);

  if (ttl) {
    Result<uint64_t> now = unix_now_seconds();
    if (!now.ok()) return now.error();
    // Wraps around like the unsigned 64-bit sum it is: a negative ttl lies in the past.
    const uint64_t expires_at = now.value() + static_cast<uint64_t>(*ttl);
    std::unique_lock guard(expirations->lock);
    expirations->value.set(id, expires_at);
  }
  return ok_status();
}

Status DocumentLedger::index_documents(std::span<const uint32_t> ids, std::span<const JsonValue* const> objects,
                                       std::span<const std::optional<int64_t>> ttls, HeldNumbers* held) {
  std::vector<IndexedDocument> documents(ids.size());
  for (size_t i = 0; i < ids.size(); ++i) documents[i] = IndexedDocument{ids[i], objects[i]};
  filter->index_batch(documents, held);

  if (std::none_of(ttls.begin(), ttls.end(), [](const auto& ttl) { return ttl.has_value(); })) return ok_status();
  Result<uint64_t> now = unix_now_seconds();
  if (!now.ok()) return now.error();
  std::unique_lock guard(expirations->lock);
  for (size_t i = 0; i < ids.size(); ++i) {
    if (ttls[i]) expirations->value.set(ids[i], now.value() + static_cast<uint64_t>(*ttls[i]));
  }
  return ok_status();
}

Status DocumentLedger::add_in_chunks(
    const DocumentBatch& batch, const std::function<Status(size_t begin, size_t end, HeldNumbers& held)>& add_chunk) {
  HeldNumbers held;
  Status added = ok_status();
  for (size_t begin = 0; begin < batch.size() && added.ok(); begin += kBatchChunkRows) {
    added = add_chunk(begin, std::min(batch.size(), begin + kBatchChunkRows), held);
  }
  filter->flush_held(held);
  return added;
}

ChunkTexts DocumentLedger::append_chunk(const DocumentBatch& batch, size_t begin, size_t end, size_t dimension,
                                        bool whole_rows) {
  size_t fitting_end = end;
  for (size_t row = begin; row < end; ++row) {
    const size_t length = batch.vectors[row].size();
    if (dimension == 0) {
      dimension = length;
    } else if (length != dimension) {
      fitting_end = row;
      break;
    }
  }
  const auto texts = std::span<const std::string_view>(batch.metadata_jsons).subspan(begin, fitting_end - begin);
  ChunkTexts chunk{begin, end, fitting_end, fitting_end, ParsedTexts(texts), BatchAppend{}, whole_rows};
  for (size_t row = begin; row < fitting_end; ++row) {
    if (!chunk.parsed[row - begin].ok()) {
      chunk.first_unparsed = row;
      break;
    }
  }
  if (whole_rows) {
    chunk.appended = metadata->append_batch_whole(texts.first(chunk.first_unparsed - begin));
    return chunk;
  }
  // A text that is not JSON is still appended: add fails only after the append.
  const size_t appended_end = chunk.first_unparsed < fitting_end ? chunk.first_unparsed + 1 : fitting_end;
  chunk.appended = metadata->append_batch(texts.first(appended_end - begin));
  return chunk;
}

Status DocumentLedger::record_chunk(const DocumentBatch& batch, const ChunkTexts& chunk, size_t dimension,
                                    HeldNumbers& held) {
  const size_t begin = chunk.begin;
  const size_t written_end = chunk.written_end();
  for (size_t row = begin; row < written_end; ++row) {
    const auto length = static_cast<uint32_t>(batch.metadata_jsons[row].size());
    metadata->set_entry(batch.ids[row], MetadataEntry{chunk.appended.offsets[row - begin], length});
  }
  // The rows whose text parsed are indexed together; a row whose text did not is the
  // last one written, and add fails on it right after adding it to all documents.
  const size_t parsed_end = std::min(written_end, chunk.first_unparsed);
  std::vector<const JsonValue*> objects;
  std::vector<std::optional<int64_t>> ttls;
  for (size_t row = begin; row < parsed_end; ++row) {
    const JsonValue& value = chunk.parsed[row - begin].value();
    objects.push_back(value.kind == JsonValue::Kind::kObject ? &value : nullptr);
    ttls.push_back(batch.ttl(row));
  }
  Status indexed = index_documents(batch.ids.subspan(begin, parsed_end - begin), objects, ttls, &held);
  if (!indexed.ok()) return row_error(begin, indexed.error());
  if (parsed_end < written_end) {
    return row_error(parsed_end, index_document(batch.ids[parsed_end], chunk.parsed[parsed_end - begin],
                                                batch.ttl(parsed_end)).error());
  }
  if (chunk.appended.error) return row_error(written_end, *chunk.appended.error);
  if (chunk.whole_rows && chunk.first_unparsed < chunk.fitting_end) {
    return row_error(chunk.first_unparsed, not_json_error(chunk.parsed[chunk.first_unparsed - begin].error()));
  }
  if (chunk.fitting_end < chunk.end) {
    return row_error(chunk.fitting_end, dimension_mismatch(dimension, batch.vectors[chunk.fitting_end].size()));
  }
  return ok_status();
}

Result<std::optional<roaring::Roaring>> DocumentLedger::sweep_and_filter(std::optional<std::string_view> filter_json,
                                                                         const IndexRemoval& unindex) {
  Status swept = clean_expired(unindex);
  if (!swept.ok()) return swept.error();
  return select(filter_json);
}

Result<std::optional<roaring::Roaring>> DocumentLedger::select(std::optional<std::string_view> filter_json) {
  if (!filter_json) return std::optional<roaring::Roaring>();
  Result<OptionalIds> selected = filter->apply_filter(*filter_json);
  if (!selected.ok()) return selected.error();
  return std::optional<roaring::Roaring>(selected.value() ? std::move(*selected.value()) : roaring::Roaring());
}

Result<bool> DocumentLedger::sweep_due() const {
  Result<uint64_t> now = unix_now_seconds();
  if (!now.ok()) return now.error();
  std::shared_lock guard(expirations->lock);
  const auto& by_time = expirations->value.by_time;
  return !by_time.empty() && by_time.begin()->first < now.value();
}

std::vector<SearchHit> DocumentLedger::build_results(std::vector<ScoredId> scored, bool include_metadata) const {
  std::vector<SearchHit> hits;
  hits.reserve(scored.size());
  for (const ScoredId& entry : scored) {
    if (!include_metadata) {
      hits.push_back(SearchHit{entry.id, entry.score, std::string()});
      continue;
    }
    std::optional<std::string> text = metadata->read(entry.id);
    if (text) hits.push_back(SearchHit{entry.id, entry.score, std::move(*text)});
  }
  return hits;
}

void DocumentLedger::remove_ids_locked(roaring::Roaring& deleted_set, const roaring::Roaring& ids,
                                       const IndexRemoval& unindex) {
  deleted_set |= ids;
  unindex(ids);
  filter->remove_documents(ids);
}

Result<uint64_t> DocumentLedger::delete_matching(std::string_view filter_json, const IndexRemoval& unindex) {
  Result<OptionalIds> selected = filter->apply_filter(filter_json);
  if (!selected.ok()) return selected.error();
  if (!selected.value()) return uint64_t{0};
  const roaring::Roaring& ids = *selected.value();
  std::unique_lock guard(deleted->lock);
  // Counted before any change. The contract counts ids already deleted again (numeric
  // answers keep removed ids, and a deleted id added again is back in the index); a
  // strict filter selects documents, and a deleted id is no longer one.
  const uint64_t selected_count = filter->dialect == FilterDialect::kStrict
                                      ? ids.andnot_cardinality(deleted->value)
                                      : ids.cardinality();
  remove_ids_locked(deleted->value, ids, unindex);
  return selected_count;
}

Result<uint64_t> DocumentLedger::count(const IndexRemoval& unindex) {
  Status swept = clean_expired(unindex);
  if (!swept.ok()) return swept.error();
  const uint64_t bound = id_bound();
  uint64_t deleted_count = 0;
  {
    std::shared_lock guard(deleted->lock);
    deleted_count = deleted->value.cardinality();
  }
  return bound - deleted_count;
}

Status DocumentLedger::clean_expired(const IndexRemoval& unindex) {
  Result<uint64_t> now = unix_now_seconds();
  if (!now.ok()) return now.error();

  std::vector<uint32_t> expired;
  {
    std::shared_lock guard(expirations->lock);
    expired = expirations->value.expired_before(now.value());
  }
  if (expired.empty()) return ok_status();

  const roaring::Roaring expired_ids(expired.size(), expired.data());
  std::unique_lock deleted_guard(deleted->lock);
  {
    std::unique_lock expiry_guard(expirations->lock);
    for (uint32_t id : expired) expirations->value.erase(id);
  }
  remove_ids_locked(deleted->value, expired_ids, unindex);
  return ok_status();
}

void DocumentLedger::remove(const roaring::Roaring& ids, bool expired, const IndexRemoval& unindex) {
  std::unique_lock deleted_guard(deleted->lock);
  if (expired) {
    std::unique_lock expiry_guard(expirations->lock);
    for (uint32_t id : ids) expirations->value.erase(id);
  }
  remove_ids_locked(deleted->value, ids, unindex);
}

// ---- VendrelDB ----

Result<std::unique_ptr<VendrelDB>> VendrelDB::open(std::string path) {
  Result<DocumentLedger> ledger = DocumentLedger::open(std::move(path));
  if (!ledger.ok()) return ledger.error();
  auto db = std::make_unique<VendrelDB>();
  db->ledger = std::move(ledger.value());
  db->lsh = std::make_shared<LSH>(kStorageDimension);
  db->storage = std::make_shared<VectorStorage>();
  return db;
}

Status VendrelDB::store_vector(uint32_t id, std::span<const float> vector) {
  // The first non-empty vector fixes the dimension and the LSH built for it; an empty
  // one leaves the dimension open, so the next add decides again.
  if (dimension == 0) {
    lsh = std::make_shared<LSH>(vector.size());
    dimension = vector.size();
  } else if (vector.size() != dimension) {
    return dimension_mismatch(dimension, vector.size());
  }
  ledger.raise_id_bound(id);
  lsh->insert(id, vector);
  return storage->store(id, vector);
}

Status VendrelDB::add(uint32_t id, std::span<const float> vector, std::string_view metadata_json,
                      std::optional<int64_t> ttl) {
  Status stored = store_vector(id, vector);
  if (!stored.ok()) return stored;
  return ledger.record_document(id, metadata_json, ttl);
}

Status VendrelDB::add_many(const DocumentBatch& batch) {
  return ledger.add_in_chunks(
      batch, [&](size_t begin, size_t end, HeldNumbers& held) { return add_chunk(batch, begin, end, held); });
}

Status VendrelDB::add_chunk(const DocumentBatch& batch, size_t begin, size_t end, HeldNumbers& held) {
  // Quantization switches on inside an add (which prints, and may fail at that); a chunk
  // where that can happen is added row by row, after the held numbers have entered
  // their trees, since these adds flush their own.
  const uint32_t highest = *std::max_element(batch.ids.begin() + begin, batch.ids.begin() + end);
  if (!storage->quantized() &&
      std::max<uint64_t>(storage->vector_slot_count(), uint64_t{highest} + 1) >= storage->quantize_threshold) {
    ledger.filter->flush_held(held);
    for (size_t row = begin; row < end; ++row) {
      Status added = add(batch.ids[row], batch.vectors[row], batch.metadata_jsons[row], batch.ttl(row));
      if (!added.ok()) return row_error(row, added.error());
    }
    return ok_status();
  }
  const ChunkTexts chunk = ledger.append_chunk(batch, begin, end, dimension);
  for (size_t row = begin; row < chunk.stored_end(); ++row) {
    Status stored = store_vector(batch.ids[row], batch.vectors[row]);
    if (!stored.ok()) return row_error(row, stored.error());
  }
  return ledger.record_chunk(batch, chunk, dimension, held);
}

Result<std::vector<SearchHit>> VendrelDB::search(std::span<const float> query, uint64_t k,
                                                 std::optional<std::string_view> filter_json,
                                                 bool include_metadata) {
  Result<std::optional<roaring::Roaring>> filtered = ledger.sweep_and_filter(filter_json, unindex_);
  if (!filtered.ok()) return filtered.error();
  const std::optional<roaring::Roaring>& filter_set = filtered.value();

  const uint64_t tenfold_k = saturating_mul(k, 10);
  const uint64_t budget = tenfold_k >= kMinCandidateBudget + 1 ? tenfold_k : kMinCandidateBudget;
  std::vector<uint32_t> candidates = lsh->query(query, budget);

  const uint64_t id_bound = ledger.id_bound();
  {
    std::shared_lock guard(ledger.deleted->lock);
    const roaring::Roaring& deleted_ids = ledger.deleted->value;
    const bool scan = candidates.size() < saturating_mul(k, 2) && candidates.size() < id_bound;
    if (scan && !filter_set) {
      candidates = storage->scan_ids(id_bound, deleted_ids);
    } else if (scan) {
      // The lowest live ids of the filter set, at most `budget` of them.
      const roaring::Roaring live = *filter_set - deleted_ids;
      candidates.clear();
      for (auto it = live.begin(); it != live.end() && candidates.size() < budget; ++it) candidates.push_back(*it);
    } else {
      std::erase_if(candidates, [&](uint32_t id) {
        return deleted_ids.contains(id) || (filter_set && !filter_set->contains(id));
      });
    }
  }

  std::vector<ScoredId> scored =
      storage->score_candidates(query, candidates, candidates.size() > kParallelScoringThreshold);
  keep_top_k(scored, k);
  return build_results(std::move(scored), include_metadata);
}

}  // namespace vendrel
