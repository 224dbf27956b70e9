#include "full_core.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <tuple>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/parallel_reduce.h>

#include "scan.h"

namespace vendrel {

namespace {

// Below this many floats to score, the exact scan stays on the calling thread.
constexpr uint64_t kParallelScanFloats = uint64_t{1} << 18;

}  // namespace

std::optional<NonFinite> first_non_finite(std::span<const std::span<const float>> vectors) {
  constexpr uint32_t kExponentBits = 0x7f800000u;
  const auto find_in = [&](size_t begin, size_t end) -> std::optional<NonFinite> {
    for (size_t row = begin; row < end; ++row) {
      const std::span<const float> vector = vectors[row];
      // A branch-free pass on the bits (all exponent bits set: NaN or an infinity),
      // written so that the compiler vectorises it, which it did not for std::isfinite
      // or a bool; the position is looked for only in the rare row that has one.
      uint32_t non_finite = 0;
      for (float value : vector) non_finite |= (std::bit_cast<uint32_t>(value) & kExponentBits) == kExponentBits;
      if (non_finite == 0) continue;
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

namespace {

// The names under which the manifest keeps the settings fixed at creation.
constexpr const char* kIndexSetting = "index";
constexpr const char* kConnectivitySetting = "m";
constexpr const char* kEfConstructionSetting = "ef_construction";
constexpr const char* kEfSearchSetting = "ef_search";
constexpr const char* kDimensionSetting = "dimension";

const char* index_name(IndexKind kind) { return kind == IndexKind::kGraph ? "hnsw" : "exact"; }

std::optional<size_t> stored_number(const StoredSettings& stored, const char* name) {
  const auto found = stored.find(name);
  if (found == stored.end() || found->second.empty()) return std::nullopt;
  size_t value = 0;
  for (char digit : found->second) {
    if (digit < '0' || digit > '9' || value > (SIZE_MAX - 9) / 10) return std::nullopt;
    value = value * 10 + static_cast<size_t>(digit - '0');
  }
  return value;
}

// The expiry time of a ttl added at `now`: their sum, or 0 (long past) for a negative
// ttl reaching back before the epoch, which the unsigned sum would wrap into the far
// future: a document meant to be expired would never expire.
uint64_t expiry_time(uint64_t now, int64_t ttl) {
  if (ttl < 0 && static_cast<uint64_t>(-(ttl + 1)) >= now) return 0;
  return now + static_cast<uint64_t>(ttl);
}

// `path` made absolute against the working directory of the moment: a relative one
// would be resolved again by every later file operation, and a chdir() in between would
// send this database's writes into another directory (another database's files).
Result<std::string> absolute_path(const std::string& path) {
  if (path.empty()) return value_error("path must not be empty");
  if (path.front() == '/') return path;
  std::string working(256, '\0');
  while (::getcwd(working.data(), working.size()) == nullptr) {
    if (errno != ERANGE) return value_error("cannot resolve the relative path " + path + ": " + os_error_text(errno));
    working.resize(working.size() * 2);
  }
  working.resize(working.find('\0'));
  return working + (working.back() == '/' ? "" : "/") + path;
}

// The directory holding `path` (an absolute path), or nullopt for the root.
std::optional<std::string> parent_of(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos || path.size() <= 1) return std::nullopt;
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

// `path` and those of its ancestors that do not exist yet, deepest first: the
// directories that creating `path` makes.
std::vector<std::string> missing_directories(const std::string& path) {
  std::vector<std::string> missing;
  for (std::optional<std::string> at = path; at; at = parent_of(*at)) {
    struct stat info {};
    if (::stat(at->c_str(), &info) == 0) break;
    missing.push_back(*at);
  }
  return missing;
}

// The rows [0, count) of `rows`.
StoredRows first_rows(const StoredRows& rows, size_t count) {
  StoredRows first;
  first.ids = rows.ids.first(count);
  first.vectors.assign(rows.vectors.begin(), rows.vectors.begin() + static_cast<std::ptrdiff_t>(count));
  first.texts.assign(rows.texts.begin(), rows.texts.begin() + static_cast<std::ptrdiff_t>(count));
  first.expires_at.assign(rows.expires_at.begin(), rows.expires_at.begin() + static_cast<std::ptrdiff_t>(count));
  return first;
}

// The ids, sorted, whose stored full vector equals bit for bit the last vector `rows`
// give them: storing `rows` leaves those rows as they were. Caller holds the table's
// lock.
std::vector<uint32_t> ids_whose_rows_stay(const VectorTable& table, const StoredRows& rows) {
  struct StoredBefore {
    uint32_t id;
    size_t row;  // of `rows`
    const float* values;
    bool operator<(const StoredBefore& other) const { return std::tie(id, row) < std::tie(other.id, other.row); }
  };
  std::vector<StoredBefore> stored_before;
  for (size_t row = 0; row < rows.size(); ++row) {
    const float* values = table.full_row(rows.ids[row]).values;
    if (values != nullptr) stored_before.push_back({rows.ids[row], row, values});
  }
  std::sort(stored_before.begin(), stored_before.end());
  std::vector<uint32_t> staying;
  for (size_t i = 0; i < stored_before.size(); ++i) {
    const StoredBefore& entry = stored_before[i];
    if (i + 1 < stored_before.size() && stored_before[i + 1].id == entry.id) continue;  // not the id's last row
    const std::span<const float> vector = rows.vectors[entry.row];
    if (vector.size() == table.width() && std::memcmp(entry.values, vector.data(), vector.size_bytes()) == 0) {
      staying.push_back(entry.id);
    }
  }
  return staying;
}

}  // namespace

Result<std::unique_ptr<FullVendrelDB>> FullVendrelDB::open(std::string path, FullSettings settings) {
  const std::string named = path;
  Result<std::string> absolute = absolute_path(path);
  if (!absolute.ok()) return absolute.error();
  const std::vector<std::string> created = missing_directories(absolute.value());
  Result<DocumentLedger> ledger = DocumentLedger::open(std::move(absolute.value()), FilterDialect::kStrict);
  if (!ledger.ok()) {
    if (named.find('\0') != std::string::npos) return ledger.error();  // Python's own words for it
    // The operating system's text alone ("File exists") does not say which path failed.
    return value_error("cannot create the database directory " + named + ": " + ledger.error().message);
  }
  if (settings.durability != Durability::kMemory) {
    // A new directory's name is durable once its parent is flushed, as a file's is.
    for (const std::string& directory : created) {
      if (Status synced = sync_directory(*parent_of(directory)); !synced.ok()) return synced.error();
    }
  }
  auto db = std::make_unique<FullVendrelDB>();
  db->ledger = std::move(ledger.value());
  db->settings = settings;
  db->stored_ef_search_ = settings.graph.ef_search;
  db->owner_process_ = ::getpid();
  db->rows = std::make_shared<RwLocked<VectorTable>>();
  db->rows->value = VectorTable(/*keep_norms=*/true);
  if (settings.target_recall && settings.index == IndexKind::kGraph) {
    db->recall_target_ = std::make_unique<RecallTarget>(*settings.target_recall);
  }
  Status recovered = db->recover();
  if (!recovered.ok()) return recovered.error();
  // The directory is locked: nobody replaces the metadata file behind this object.
  db->ledger.metadata->keep_open_for_reads();
  return db;
}

Status FullVendrelDB::recover() {
  if (settings.durability == Durability::kMemory) {
    Result<DirectoryLock> lock = DirectoryLock::acquire(ledger.path);
    if (!lock.ok()) return lock.error();
    memory_lock_.emplace(std::move(lock.value()));
    Result<std::optional<Manifest>> manifest = read_manifest(ledger.path);
    if (!manifest.ok() || manifest.value() || !refuse_files_without_manifest(ledger.path).ok()) {
      return value_error("the directory " + ledger.path +
                         " holds a durable database: open it with durability 'process' or 'power', not 'memory'");
    }
    return ok_status();
  }
  Result<std::unique_ptr<Journal>> journal = Journal::open(ledger.path, settings.durability);
  if (!journal.ok()) return journal.error();
  journal_ = std::move(journal.value());
  if (!journal_->manifest()) {
    // A new database: its first checkpoint records its settings before any call.
    Status first = journal_->checkpoint(ledger, *rows, nullptr, settings_to_store());
    if (!first.ok()) return first;
    return journal_->replay([](const DecodedCall&) { return ok_status(); });
  }
  Status taken = take_stored_settings(journal_->manifest()->settings);
  if (!taken.ok()) return taken;
  Status loaded = journal_->load_ledger(ledger);
  if (!loaded.ok()) return loaded;
  Result<VectorTable> table = journal_->load_rows();
  if (!table.ok()) return table.error();
  rows->value = std::move(table.value());
  rows->value.for_each([this](uint32_t id, std::span<const float> vector) {
    if (vector.empty()) empty_vector_ids.add(id);
  });
  Result<std::optional<GraphBlob>> blob = journal_->load_graph();
  if (!blob.ok()) return blob.error();
  if (blob.value()) {
    if (settings.index != IndexKind::kGraph || dimension == 0) {
      return value_error(path_in(ledger.path, kManifestFileName) + ": names a graph file for a database without a graph");
    }
    Result<std::unique_ptr<GraphIndex>> loaded_graph =
        GraphIndex::load(std::as_bytes(blob.value()->bytes), &rows->value, dimension, settings.graph);
    if (!loaded_graph.ok()) return loaded_graph.error();
    graph = std::move(loaded_graph.value());
  } else {
    create_graph_once_dimensioned();
  }
  return journal_->replay([this](const DecodedCall& call) { return replay_call(call); });
}

Status FullVendrelDB::take_stored_settings(const StoredSettings& stored) {
  const auto differs = [&](const char* name, const std::string& stored_value, const std::string& named_value) {
    return value_error("the database at " + ledger.path + " was created with " + name + "=" + stored_value +
                       "; it cannot be opened with " + name + "=" + named_value +
                       " (leave " + name + " out to take the stored value)");
  };
  const auto index = stored.find(kIndexSetting);
  const std::optional<size_t> connectivity = stored_number(stored, kConnectivitySetting);
  const std::optional<size_t> ef_construction = stored_number(stored, kEfConstructionSetting);
  const std::optional<size_t> ef_search = stored_number(stored, kEfSearchSetting);
  const std::optional<size_t> stored_dimension = stored_number(stored, kDimensionSetting);
  if (index == stored.end() || (index->second != "exact" && index->second != "hnsw") || !connectivity ||
      !ef_construction || !ef_search || !stored_dimension) {
    return value_error(path_in(ledger.path, kManifestFileName) + ": the stored settings are incomplete");
  }
  const IndexKind stored_index = index->second == "hnsw" ? IndexKind::kGraph : IndexKind::kExact;
  if (settings.named.index && settings.index != stored_index) {
    return differs("index", "'" + index->second + "'", std::string("'") + index_name(settings.index) + "'");
  }
  settings.index = stored_index;
  if (stored_index == IndexKind::kGraph) {
    if (settings.named.connectivity && settings.graph.connectivity != *connectivity) {
      return differs("m", std::to_string(*connectivity), std::to_string(settings.graph.connectivity));
    }
    if (settings.named.ef_construction && settings.graph.ef_construction != *ef_construction) {
      return differs("ef_construction", std::to_string(*ef_construction), std::to_string(settings.graph.ef_construction));
    }
  }
  settings.graph.connectivity = *connectivity;
  settings.graph.ef_construction = *ef_construction;
  stored_ef_search_ = *ef_search;
  if (!settings.named.ef_search) settings.graph.ef_search = *ef_search;
  dimension = *stored_dimension;
  return ok_status();
}

StoredSettings FullVendrelDB::settings_to_store() const {
  return StoredSettings{
      {kIndexSetting, index_name(settings.index)},
      {kConnectivitySetting, std::to_string(settings.graph.connectivity)},
      {kEfConstructionSetting, std::to_string(settings.graph.ef_construction)},
      {kEfSearchSetting, std::to_string(stored_ef_search_)},
      {kDimensionSetting, std::to_string(dimension)},
  };
}

template <typename Read>
auto FullVendrelDB::read_after_sweep(Read&& read) -> decltype(read()) {
  for (;;) {
    {
      std::shared_lock guard(lock_);
      Status open = check_open();
      if (!open.ok()) return open.error();
      Result<bool> due = ledger.sweep_due();
      if (!due.ok()) return due.error();
      if (!due.value()) return read();
    }
    // Another sweep may have run between the two locks; this one then finds nothing.
    std::unique_lock guard(lock_);
    Status open = check_open();
    if (!open.ok()) return open.error();
    Status swept = sweep_locked();
    if (!swept.ok()) return swept.error();
  }
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

Status FullVendrelDB::check_queries(std::span<const std::span<const float>> queries) const {
  size_t first_wrong_length = 0;
  while (first_wrong_length < queries.size() &&
         (dimension == 0 || queries[first_wrong_length].size() == dimension)) {
    ++first_wrong_length;
  }
  // The queries before the first of a wrong length, checked for finite values at once.
  const std::optional<NonFinite> bad = first_non_finite(queries.first(first_wrong_length));
  const size_t refused = bad ? bad->row : first_wrong_length;
  if (refused == queries.size()) return ok_status();
  const Status checked = check_query(queries[refused]);
  return Error{checked.error().kind, "query " + std::to_string(refused) + ": " + checked.error().message};
}

void FullVendrelDB::fix_dimension(size_t length) {
  if (dimension == 0) dimension = length;
}

void FullVendrelDB::create_graph_once_dimensioned() {
  if (settings.index == IndexKind::kGraph && !graph && dimension > 0) {
    graph = std::make_shared<GraphIndex>(&rows->value, dimension, settings.graph);
  }
}

struct FullVendrelDB::RowsPlan {
  size_t accepted = 0;
  std::optional<std::pair<size_t, Error>> refusal;
  std::vector<std::optional<uint64_t>> expires_at;
};

FullVendrelDB::RowsPlan FullVendrelDB::plan_rows(const DocumentBatch& batch) const {
  RowsPlan plan;
  size_t stop = batch.size();
  const auto refuse = [&](size_t row, Error why) {
    if (row < stop) {
      stop = row;
      plan.refusal.emplace(row, std::move(why));
    }
  };
  size_t planned_dimension = dimension;
  for (size_t row = 0; row < batch.size(); ++row) {
    const size_t length = batch.vectors[row].size();
    if (planned_dimension == 0) {
      planned_dimension = length;
    } else if (length != planned_dimension) {
      refuse(row, dimension_mismatch(planned_dimension, length));
      break;
    }
  }
  if (const std::optional<NonFinite> bad = first_non_finite(std::span(batch.vectors).first(stop))) {
    refuse(bad->row, non_finite_error("vector", bad->position, bad->value));
  }
  // Parsed a chunk at a time (on the pool) and dropped: storing parses them again, which
  // costs less than holding every parsed text of a large batch.
  for (size_t begin = 0; begin < stop; begin += kBatchChunkRows) {
    const size_t end = std::min(stop, begin + kBatchChunkRows);
    const ParsedTexts parsed(std::span(batch.metadata_jsons).subspan(begin, end - begin));
    for (size_t row = begin; row < end; ++row) {
      if (!parsed[row - begin].ok()) {
        refuse(row, not_json_error(parsed[row - begin].error()));
        break;
      }
    }
  }
  plan.accepted = stop;
  plan.expires_at.assign(stop, std::nullopt);
  if (std::any_of(batch.ttls.begin(), batch.ttls.begin() + static_cast<std::ptrdiff_t>(std::min(stop, batch.ttls.size())),
                  [](const auto& ttl) { return ttl.has_value(); })) {
    Result<uint64_t> now = unix_now_seconds();
    if (!now.ok()) {
      plan.accepted = 0;
      plan.refusal.emplace(0, now.error());
      return plan;
    }
    for (size_t row = 0; row < stop; ++row) {
      if (const auto ttl = batch.ttl(row)) plan.expires_at[row] = expiry_time(now.value(), *ttl);
    }
  }
  return plan;
}

Status FullVendrelDB::store_checked(const DocumentBatch& batch, bool single) {
  const auto as_returned = [&](size_t row, const Error& error) { return single ? error : row_error(row, error); };
  RowsPlan plan = plan_rows(batch);
  if (plan.accepted > 0) {
    StoredRows accepted;
    accepted.ids = batch.ids.first(plan.accepted);
    accepted.vectors.assign(batch.vectors.begin(), batch.vectors.begin() + static_cast<std::ptrdiff_t>(plan.accepted));
    accepted.texts.assign(batch.metadata_jsons.begin(),
                          batch.metadata_jsons.begin() + static_cast<std::ptrdiff_t>(plan.accepted));
    accepted.expires_at = std::move(plan.expires_at);
    Result<Stored> stored = store_rows(accepted, /*log=*/true);
    if (!stored.ok()) return stored.error();
    checkpoint_if_due();
    if (stored.value().refused) return as_returned(stored.value().rows, *stored.value().refused);
  }
  if (plan.refusal) return as_returned(plan.refusal->first, plan.refusal->second);
  return ok_status();
}

Result<FullVendrelDB::Stored> FullVendrelDB::store_rows(const StoredRows& rows, bool log) {
  const bool logged = log && journal_ != nullptr;
  uint64_t length_before = 0;
  if (logged) {
    Result<uint64_t> length = ledger.metadata->file_length();
    if (!length.ok()) return length.error();
    length_before = length.value();
  }
  const BatchAppend appended = ledger.metadata->append_batch_whole(rows.texts);
  Stored stored{appended.offsets.size(), appended.error};
  if (stored.rows == 0) return stored;
  const StoredRows kept = stored.rows == rows.size() ? rows : first_rows(rows, stored.rows);
  if (logged) {
    size_t planned_dimension = dimension;
    uint64_t graph_rows = 0;
    for (const auto& vector : kept.vectors) {
      if (planned_dimension == 0) planned_dimension = vector.size();
      graph_rows += vector.empty() ? 0 : 1;
    }
    Status written = journal_->append(EncodedCall::store_rows(kept, planned_dimension),
                                      settings.index == IndexKind::kGraph ? graph_rows : 0);
    if (!written.ok()) {
      (void)ledger.metadata->truncate_to(length_before);  // the texts of a call that is not stored
      return written.error();
    }
  }
  Status applied = apply_rows(kept, appended.offsets);
  if (!applied.ok()) return applied.error();
  return stored;
}

Status FullVendrelDB::apply_rows(const StoredRows& rows, std::span<const uint32_t> offsets) {
  const size_t count = rows.size();
  for (const auto& vector : rows.vectors) fix_dimension(vector.size());
  create_graph_once_dimensioned();
  ledger.raise_id_bound(*std::max_element(rows.ids.begin(), rows.ids.end()));
  std::vector<uint32_t> unchanged;  // the graph keeps their links
  {
    std::unique_lock guard(this->rows->lock);
    if (graph) unchanged = ids_whose_rows_stay(this->rows->value, rows);
    this->rows->value.put_batch(rows.ids, rows.vectors);
    for (size_t row = 0; row < count; ++row) {
      if (rows.vectors[row].empty()) {
        empty_vector_ids.add(rows.ids[row]);
      } else {
        empty_vector_ids.remove(rows.ids[row]);
      }
    }
  }
  for (size_t row = 0; row < count; ++row) {
    ledger.metadata->set_entry(rows.ids[row], MetadataEntry{offsets[row], static_cast<uint32_t>(rows.texts[row].size())});
  }
  // Indexed as the rows added one by one would index them; numbers due for the trees are
  // held until the end, so that each tree is rebuilt once.
  HeldNumbers held;
  for (size_t begin = 0; begin < count; begin += kBatchChunkRows) {
    const size_t end = std::min(count, begin + kBatchChunkRows);
    const ParsedTexts parsed(std::span(rows.texts).subspan(begin, end - begin));
    std::vector<IndexedDocument> documents(end - begin);
    for (size_t row = begin; row < end; ++row) {
      const Result<JsonValue>& value = parsed[row - begin];
      if (!value.ok()) {
        ledger.filter->flush_held(held);
        return value_error("a stored text that is not JSON (id " + std::to_string(rows.ids[row]) + "): " +
                           value.error().message);
      }
      documents[row - begin] =
          IndexedDocument{rows.ids[row], value.value().kind == JsonValue::Kind::kObject ? &value.value() : nullptr};
    }
    ledger.filter->index_batch(documents, &held);
  }
  ledger.filter->flush_held(held);
  {
    std::unique_lock guard(ledger.expirations->lock);
    for (size_t row = 0; row < count; ++row) {
      if (rows.expires_at[row]) ledger.expirations->value.set(rows.ids[row], *rows.expires_at[row]);
    }
  }
  if (!graph) return ok_status();
  // A deleted id stays hidden, as add keeps it.
  std::vector<uint32_t> visible;
  std::vector<uint32_t> hidden;
  {
    std::shared_lock guard(ledger.deleted->lock);
    for (size_t row = 0; row < count; ++row) {
      if (rows.vectors[row].empty()) continue;
      (ledger.deleted->value.contains(rows.ids[row]) ? hidden : visible).push_back(rows.ids[row]);
    }
  }
  Status reserved = graph->reserve(visible.size() + hidden.size());
  if (!reserved.ok()) return reserved;
  // The graph reads the rows while it links the ids.
  std::shared_lock rows_guard(this->rows->lock);
  Status inserted = visible.empty() ? ok_status() : graph->insert_batch(visible, /*deleted=*/false, unchanged);
  if (!inserted.ok() || hidden.empty()) return inserted;
  return graph->insert_batch(hidden, /*deleted=*/true, unchanged);
}

Status FullVendrelDB::remove_logged(const roaring::Roaring& ids, bool expired) {
  if (ids.isEmpty()) return ok_status();
  if (journal_) {
    Status written = journal_->append(EncodedCall::removal(expired ? OperationKind::kExpiry : OperationKind::kRemoval, ids), 0);
    if (!written.ok()) return written;
  }
  ledger.remove(ids, expired, unindex_);
  return ok_status();
}

Status FullVendrelDB::sweep_locked() {
  Result<uint64_t> now = unix_now_seconds();
  if (!now.ok()) return now.error();
  std::vector<uint32_t> expired;
  {
    std::shared_lock guard(ledger.expirations->lock);
    expired = ledger.expirations->value.expired_before(now.value());
  }
  if (expired.empty()) return ok_status();
  std::sort(expired.begin(), expired.end());
  Status removed = remove_logged(roaring::Roaring(expired.size(), expired.data()), /*expired=*/true);
  if (removed.ok()) checkpoint_if_due();
  return removed;
}

Status FullVendrelDB::replay_call(const DecodedCall& call) {
  if (call.kind != OperationKind::kStoreRows) {
    ledger.remove(call.ids, call.kind == OperationKind::kExpiry, unindex_);
    return ok_status();
  }
  if (call.rows.size() == 0) return ok_status();
  for (const auto& vector : call.rows.vectors) {
    if (!vector.empty() && dimension != 0 && vector.size() != dimension) {
      return value_error("log of " + ledger.path + ": a call stores vectors of " + std::to_string(vector.size()) +
                         " components into a database of dimension " + std::to_string(dimension));
    }
  }
  Result<Stored> stored = store_rows(call.rows, /*log=*/false);
  if (!stored.ok()) return stored.error();
  if (stored.value().refused) {
    return value_error("replaying the log of " + ledger.path + ": " + stored.value().refused->message);
  }
  return ok_status();
}

Status FullVendrelDB::check_open() const {
  if (closed_) return value_error("operation on a closed FullVendrelDB");
  return check_owner();
}

Status FullVendrelDB::check_owner() const {
  if (::getpid() == owner_process_) return ok_status();
  return value_error("this FullVendrelDB was opened by process " + std::to_string(owner_process_) +
                     "; a forked process shares its files and must open the directory itself");
}

Status FullVendrelDB::ensure_open() const {
  std::shared_lock guard(lock_);
  return check_open();
}

Status FullVendrelDB::checkpoint_locked() {
  if (!journal_) return ok_status();
  GraphSaver saver;
  if (graph) saver = [this](const std::function<Status(const void*, size_t)>& write) { return graph->save(write); };
  return journal_->checkpoint(ledger, *rows, graph ? &saver : nullptr, settings_to_store());
}

void FullVendrelDB::checkpoint_if_due() {
  if (journal_ && journal_->checkpoint_due(graph ? graph->size() : 0)) (void)checkpoint_locked();
}

Status FullVendrelDB::add(uint32_t id, std::span<const float> vector, std::string_view metadata_json,
                          std::optional<int64_t> ttl) {
  const uint32_t ids[] = {id};
  DocumentBatch one;
  one.ids = ids;
  one.vectors = {vector};
  one.metadata_jsons = {metadata_json};
  if (ttl) one.ttls = {ttl};
  std::unique_lock guard(lock_);
  Status open = check_open();
  if (!open.ok()) return open;
  return store_checked(one, /*single=*/true);
}

Status FullVendrelDB::add_many(const DocumentBatch& batch) {
  std::unique_lock guard(lock_);
  Status open = check_open();
  if (!open.ok()) return open;
  if (batch.size() == 0) return ok_status();
  return store_checked(batch, /*single=*/false);
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
                                                                 size_t ef, const std::optional<SearchRoute>& route) const {
  if (query.size() != dimension) return std::nullopt;  // scored over the common prefix by the scan
  if (route && route->method == SearchMethod::kScan) return std::nullopt;
  const size_t expansion = route ? route->ef : ef > 0 ? ef : settings.graph.ef_search;
  const uint64_t graph_size = graph->size();
  std::optional<roaring::Roaring> allowed;
  if (filter_set) {
    {
      std::shared_lock guard(ledger.deleted->lock);
      allowed = *filter_set - ledger.deleted->value;
    }
    if (!route && allowed->cardinality() <= graph_scan_crossover(graph_size, expansion)) return std::nullopt;
  } else if (!route && graph->node_count() >= 2 * graph_size &&
             graph_size <= graph_scan_crossover(graph_size, expansion)) {
    // Most nodes deleted: they stay as waypoints, and a search walks nearly all of them
    // to keep `expansion` live ones (20 live of 20,000 nodes: 3.6 ms against 0.005 ms
    // scanned).
    return std::nullopt;
  }
  const uint64_t wanted = std::min<uint64_t>(k, graph_size);
  Result<std::vector<GraphHit>> hits = [&] {
    std::shared_lock guard(rows->lock);  // the graph reads the rows
    return graph->search(query, wanted,
                         allowed && !route ? filtered_expansion(expansion, allowed->cardinality(), graph_size) : expansion,
                         allowed ? allowed_in(*allowed) : AllowedIdTest{});
  }();
  if (!hits.ok() || hits.value().size() < k) return std::nullopt;  // the scan finds every allowed row

  std::vector<uint32_t> ids;
  ids.reserve(hits.value().size());
  for (const GraphHit& hit : hits.value()) ids.push_back(hit.id);
  std::shared_lock deleted_guard(ledger.deleted->lock);
  std::shared_lock rows_guard(rows->lock);
  for (uint32_t id : empty_vector_ids) {
    if (!allowed || allowed->contains(id)) ids.push_back(id);
  }
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  const bool parallel = ids.size() * rows->value.width() > kParallelScanFloats;
  return exact_top_k_of(rows->value, query, k, ids, ledger.deleted->value, parallel);
}

Result<std::optional<roaring::Roaring>> FullVendrelDB::select(std::optional<std::string_view> filter_json) {
  return ledger.select(filter_json);
}

Result<std::optional<SearchRoute>> FullVendrelDB::route_for(uint64_t k,
                                                            const std::optional<roaring::Roaring>& filter_set,
                                                            size_t ef) {
  if (!recall_target_ || !graph || ef > 0 || k == 0) return std::optional<SearchRoute>();
  std::optional<uint64_t> allowed;
  if (filter_set) {
    std::shared_lock guard(ledger.deleted->lock);
    allowed = filter_set->andnot_cardinality(ledger.deleted->value);
  }
  Result<SearchRoute> route = recall_target_->route(calibration_subject(), k, allowed);
  if (!route.ok()) return route.error();
  return std::optional<SearchRoute>(route.value());
}

CalibrationSubject FullVendrelDB::calibration_subject() const {
  return CalibrationSubject{rows.get(), ledger.deleted.get(), graph.get(),
                            [this](std::span<const float> query, uint64_t k, const roaring::Roaring* within) {
                              return scan(query, k, within);
                            }};
}

Result<Calibration> FullVendrelDB::calibration(uint64_t k, double allowed_fraction) {
  return read_after_sweep([&]() -> Result<Calibration> {
    if (!settings.target_recall) {
      return value_error("calibration() needs a target: open the database with target_recall");
    }
    const int exponent = allowed_fraction_exponent(allowed_fraction);
    if (recall_target_ && graph) return recall_target_->calibration(calibration_subject(), k, exponent);
    Calibration exact;  // the scan answers every search
    exact.k = recall_k_bucket(k);
    exact.allowed_fraction = std::ldexp(1.0, -exponent);
    exact.documents = live_document_count(calibration_subject());
    return exact;
  });
}

std::vector<ScoredId> FullVendrelDB::best_for(std::span<const float> query, uint64_t k,
                                              const std::optional<roaring::Roaring>& filter_set, size_t ef,
                                              const std::optional<SearchRoute>& route) const {
  if (k == 0) return {};
  std::optional<std::vector<ScoredId>> from_graph;
  if (graph) from_graph = search_graph(query, k, filter_set, ef, route);
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
    Result<std::optional<SearchRoute>> route = route_for(k, filtered.value(), ef);
    if (!route.ok()) return route.error();
    return ledger.build_results(best_for(query, k, filtered.value(), ef, route.value()), include_metadata);
  });
}

Result<std::vector<std::vector<SearchHit>>> FullVendrelDB::search_many(std::span<const std::span<const float>> queries,
                                                                       uint64_t k,
                                                                       std::optional<std::string_view> filter_json,
                                                                       bool include_metadata, size_t ef) {
  using Lists = std::vector<std::vector<SearchHit>>;
  return read_after_sweep([&]() -> Result<Lists> {
    Status checked = check_queries(queries);
    if (!checked.ok()) return checked.error();
    Result<std::optional<roaring::Roaring>> filtered = select(filter_json);
    if (!filtered.ok()) return filtered.error();
    const std::optional<roaring::Roaring>& filter_set = filtered.value();
    std::vector<std::vector<ScoredId>> best(queries.size());
    Result<std::optional<SearchRoute>> route = route_for(k, filter_set, ef);  // one calibration for the call
    if (!route.ok()) return route.error();
    const bool scanned = !graph || (route.value() && route.value()->method == SearchMethod::kScan);
    if (k > 0 && scanned) {
      // One pass over the rows for a block of queries at a time: bounded by arithmetic.
      std::shared_lock deleted_guard(ledger.deleted->lock);
      std::shared_lock rows_guard(rows->lock);
      const uint64_t candidate_rows = filter_set ? filter_set->cardinality() : rows->value.length();
      const bool parallel =
          queries.size() * candidate_rows * std::max<size_t>(rows->value.width(), 1) > kParallelScanFloats;
      best = exact_top_k_many(rows->value, queries, k, filter_set ? &*filter_set : nullptr, ledger.deleted->value,
                              parallel);
    } else if (k > 0) {
      tbb::parallel_for(size_t{0}, queries.size(),
                        [&](size_t i) { best[i] = best_for(queries[i], k, filter_set, ef, route.value()); });
    }
    Lists lists(queries.size());
    tbb::parallel_for(size_t{0}, queries.size(),
                      [&](size_t i) { lists[i] = ledger.build_results(std::move(best[i]), include_metadata); });
    return lists;
  });
}

Result<std::vector<SearchHit>> FullVendrelDB::build_results(std::vector<ScoredId> scored, bool include_metadata) const {
  std::shared_lock guard(lock_);
  Status open = check_open();
  if (!open.ok()) return open.error();
  return ledger.build_results(std::move(scored), include_metadata);
}

Result<uint64_t> FullVendrelDB::delete_matching(std::string_view filter_json) {
  std::unique_lock guard(lock_);
  Status open = check_open();
  if (!open.ok()) return open.error();
  Result<OptionalIds> selected = ledger.filter->apply_filter(filter_json);
  if (!selected.ok()) return selected.error();
  if (!selected.value()) return uint64_t{0};
  const roaring::Roaring& ids = *selected.value();
  // Documents deleted before are selected again where the indexes keep them (numbers,
  // ids added again) but not counted again; removing them again changes the indexes as
  // it did in the call that selected them, so the log keeps every selected id.
  uint64_t newly_deleted = 0;
  {
    std::shared_lock deleted_guard(ledger.deleted->lock);
    newly_deleted = ids.andnot_cardinality(ledger.deleted->value);
  }
  Status removed = remove_logged(ids, /*expired=*/false);
  if (!removed.ok()) return removed.error();
  checkpoint_if_due();
  return newly_deleted;
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
  Status open = check_open();
  if (!open.ok()) return open;
  return sweep_locked();
}

Status FullVendrelDB::checkpoint() {
  std::unique_lock guard(lock_);
  Status open = check_open();
  if (!open.ok()) return open;
  return checkpoint_locked();
}

Status FullVendrelDB::close() {
  std::unique_lock guard(lock_);
  if (closed_) return ok_status();
  if (Status owner = check_owner(); !owner.ok()) return owner;  // its checkpoint would race the owner's
  if (journal_ && journal_->has_calls() && !journal_->needs_reopen()) {
    Status written = checkpoint_locked();
    if (!written.ok()) return written;
  }
  closed_ = true;
  journal_.reset();
  memory_lock_.reset();
  return ok_status();
}

}  // namespace vendrel
