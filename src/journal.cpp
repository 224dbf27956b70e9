#include "journal.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <shared_mutex>

#include "ledger_state.h"
#include "rows_file.h"

namespace vendrel {
namespace {

constexpr const char* kStateStem = "state";
constexpr const char* kRowsStem = "rows";
constexpr const char* kGraphStem = "graph";
constexpr const char* kLogStem = "log";

// The manifest's entry of a generation's file, or an error naming what is missing.
Result<ManifestFile> entry_of(const Manifest& manifest, const std::string& directory, const char* stem) {
  const std::string name = generation_file_name(stem, manifest.generation);
  const ManifestFile* found = manifest.file(name);
  if (found == nullptr) return value_error(path_in(directory, kManifestFileName) + ": names no file " + name);
  return *found;
}

// The length of a file that may not exist yet (0 then).
Result<uint64_t> length_of(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0) return static_cast<uint64_t>(info.st_size);
  if (errno == ENOENT) return uint64_t{0};
  return value_error("cannot stat " + path + ": " + os_error_text(errno));
}

// fdatasync of a file that may not exist yet.
Status flush_if_present(const std::string& path) {
  Result<File> file = File::open(path, O_RDONLY);
  if (!file.ok()) return ok_status();  // absent: nothing written, nothing to flush
  return file.value().sync_data();
}

}  // namespace

Result<std::unique_ptr<Journal>> Journal::open(std::string directory, Durability level) {
  Result<DirectoryLock> lock = DirectoryLock::acquire(directory);
  if (!lock.ok()) return lock.error();
  Result<std::optional<Manifest>> manifest = read_manifest(directory);
  if (!manifest.ok()) return manifest.error();
  if (!manifest.value()) {
    if (Status orphans = refuse_files_without_manifest(directory); !orphans.ok()) return orphans.error();
  }
  std::unique_ptr<Journal> journal(new Journal(std::move(directory), level, std::move(lock.value())));
  journal->manifest_ = std::move(manifest.value());
  return journal;
}

Status Journal::load_ledger(DocumentLedger& ledger) {
  Result<ManifestFile> entry = entry_of(*manifest_, directory_, kStateStem);
  if (!entry.ok()) return entry.error();
  Result<MetadataCoverage> coverage = load_state_file(directory_, entry.value(), ledger);
  if (!coverage.ok()) return coverage.error();
  coverage_ = std::move(coverage.value());
  // Texts after the checkpointed prefix are appended again by replay, from the log.
  Result<uint64_t> length = length_of(ledger.metadata->path);
  if (!length.ok()) return length.error();
  if (length.value() > coverage_.covered_length) {
    Result<File> file = File::open(ledger.metadata->path, O_WRONLY);
    if (!file.ok()) return file.error();
    Status cut = file.value().truncate(coverage_.covered_length);
    if (!cut.ok()) return cut;
  }
  return ok_status();
}

Result<VectorTable> Journal::load_rows() const {
  Result<ManifestFile> entry = entry_of(*manifest_, directory_, kRowsStem);
  if (!entry.ok()) return entry.error();
  return load_rows_file(directory_, entry.value());
}

Result<std::optional<GraphBlob>> Journal::load_graph() const {
  const ManifestFile* entry = manifest_->file(generation_file_name(kGraphStem, manifest_->generation));
  if (entry == nullptr) return std::optional<GraphBlob>();
  Result<GraphBlob> blob = read_graph_file(directory_, *entry);
  if (!blob.ok()) return blob.error();
  return std::optional<GraphBlob>(std::move(blob.value()));
}

Status Journal::replay(const std::function<Status(const DecodedCall& call)>& apply) {
  const std::string log_path = path_in(directory_, manifest_->log_name);
  Result<LogRecovery> recovered = replay_log(log_path, manifest_->log_first_sequence, [&](const LogCall& call) {
    Result<DecodedCall> decoded = decode_call(log_path, call);
    if (!decoded.ok()) return Status(decoded.error());
    if (decoded.value().kind == OperationKind::kStoreRows) {
      for (const auto& vector : decoded.value().rows.vectors) graph_rows_logged_ += vector.empty() ? 0 : 1;
    }
    return apply(decoded.value());
  });
  if (!recovered.ok()) return recovered.error();
  const LogRecovery& recovery = recovered.value();
  Result<LogWriter> writer = LogWriter::open(log_path, recovery.valid_end,
                                             recovery.next_sequence.value_or(manifest_->log_first_sequence));
  if (!writer.ok()) return writer.error();
  log_.emplace(std::move(writer.value()));
  return remove_stale_files(directory_, *manifest_);
}

Status Journal::append(const EncodedCall& call, uint64_t graph_rows) {
  if (switch_unknown_) {
    return value_error(path_in(directory_, kManifestFileName) +
                       " is in an unknown state after a failed checkpoint; reopen the database");
  }
  if (switch_unsynced_) {
    // The log this call goes to is named only by a manifest whose rename may not be
    // durable yet: flush the directory before acknowledging anything written there.
    if (Status synced = sync_directory(directory_); !synced.ok()) return synced;
    switch_unsynced_ = false;
  }
  Result<uint64_t> appended = log_->append_call(call.pieces(), level_ == Durability::kPower);
  if (!appended.ok()) return appended.error();
  graph_rows_logged_ += graph_rows;
  return ok_status();
}

bool Journal::checkpoint_due(uint64_t graph_size) const {
  if (!log_) return false;
  uint64_t rows_file_size = 0;
  if (manifest_) {
    if (const ManifestFile* rows = manifest_->file(generation_file_name(kRowsStem, manifest_->generation))) {
      rows_file_size = rows->size;
    }
  }
  return log_->end_offset() > std::max(kCheckpointLogBytes, rows_file_size) ||
         graph_rows_logged_ > std::max(kCheckpointGraphRows, graph_size / 4);
}

Status Journal::checkpoint(const DocumentLedger& ledger, const RwLocked<VectorTable>& rows, const GraphSaver* graph,
                          const StoredSettings& settings) {
  if (switch_unknown_) {
    return value_error(path_in(directory_, kManifestFileName) +
                       " is in an unknown state after a failed checkpoint; reopen the database");
  }
  // A generation is never written twice: a failed checkpoint's files may be named by a
  // manifest already in place, which a retry under the same name would contradict.
  const uint64_t generation = std::max(next_generation_, manifest_ ? manifest_->generation + 1 : 1);
  next_generation_ = generation + 1;
  // The texts the checkpoint's entries point at must be durable before it is.
  const std::string& metadata_path = ledger.metadata->path;
  Status flushed = flush_if_present(metadata_path);
  if (!flushed.ok()) return flushed;
  Result<uint64_t> metadata_length = length_of(metadata_path);
  if (!metadata_length.ok()) return metadata_length.error();
  Result<MetadataCoverage> coverage = extend_metadata_coverage(coverage_, metadata_path, metadata_length.value());
  if (!coverage.ok()) return coverage.error();

  Manifest next;
  next.generation = generation;
  Result<ManifestFile> state = write_state_file(directory_, generation, ledger, coverage.value());
  if (!state.ok()) return state.error();
  next.files.push_back(state.value());
  Result<ManifestFile> rows_file = [&] {
    std::shared_lock guard(rows.lock);
    return write_rows_file(directory_, generation, rows.value);
  }();
  if (!rows_file.ok()) return rows_file.error();
  next.files.push_back(rows_file.value());
  if (graph != nullptr) {
    Result<ManifestFile> graph_file = write_graph_file(directory_, generation, *graph);
    if (!graph_file.ok()) return graph_file.error();
    next.files.push_back(graph_file.value());
  }
  next.log_name = generation_file_name(kLogStem, generation);
  next.log_first_sequence = log_ ? log_->next_sequence() : 0;
  next.settings = settings;
  Result<LogWriter> log = LogWriter::open(path_in(directory_, next.log_name), 0, next.log_first_sequence);
  if (!log.ok()) return log.error();
  Status committed = commit_checkpoint(directory_, next);
  if (!committed.ok()) {
    // Failing after the rename (the directory's flush) leaves the new manifest in
    // place: later calls must go to the log it names, or a reopen would skip them.
    Result<std::optional<Manifest>> visible = read_manifest(directory_);
    if (!visible.ok()) {
      switch_unknown_ = true;
    } else if (visible.value() && visible.value()->generation == generation) {
      // The previous generation's files stay, for a manifest that reverts.
      adopt(std::move(next), std::move(coverage.value()), std::move(log.value()), /*directory_synced=*/false);
    }
    return committed;
  }
  adopt(std::move(next), std::move(coverage.value()), std::move(log.value()), /*directory_synced=*/true);
  return remove_stale_files(directory_, *manifest_);
}

void Journal::adopt(Manifest manifest, MetadataCoverage coverage, LogWriter log, bool directory_synced) {
  manifest_ = std::move(manifest);
  coverage_ = std::move(coverage);
  log_.emplace(std::move(log));
  graph_rows_logged_ = 0;
  switch_unsynced_ = !directory_synced;
}

}  // namespace vendrel
