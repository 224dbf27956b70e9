// The durable side of a full-vector database: its directory lock, the latest checkpoint
// (MANIFEST and the files it names), and the write-ahead log of the calls made since.
// The database decides what a call is (operation_log.h); the journal keeps it safe.
//
// After a crash a reader may assume: the checkpoint the manifest names is whole, and the
// log holds every call acknowledged since, each wholly present or wholly absent (the
// recovery rule of write_ahead_log.h). A call was acknowledged once append() returned:
// with Durability::kProcess it has reached the operating system (it survives kill -9),
// with kPower it has also been flushed to stable storage (it survives a power loss).
//
// Not thread-safe: the database's writer lock serialises appends and checkpoints.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "checkpoint.h"
#include "common.h"
#include "core.h"
#include "file_io.h"
#include "metadata_coverage.h"
#include "operation_log.h"
#include "storage.h"
#include "write_ahead_log.h"

namespace vendrel {

// What a call must have reached before it returns.
enum class Durability {
  kMemory,   // nothing is kept: a reopened directory starts empty
  kProcess,  // the operating system: survives the death of the process
  kPower,    // stable storage: survives a power loss (one flush per call)
};

// The database's own settings as the manifest keeps them (index kind, graph settings,
// dimension), by name.
using StoredSettings = std::map<std::string, std::string>;

// A log is checkpointed once it holds this many bytes, or as many as the rows file of
// the last checkpoint if that is more: a checkpoint rewrites every row, so checkpointing
// no more often than the rows double keeps its cost proportional to what was added.
// Replaying a log costs about what making its calls did (measured: half of to all of the
// add_many time of its rows), so a reopen after a crash takes up to about a second per
// 300 MB of log beyond the checkpoint's own load.
inline constexpr uint64_t kCheckpointLogBytes = uint64_t{1} << 30;
// With a graph, also once the log holds this many graph insertions, or a quarter of the
// graph's size if that is more: replay inserts them again (about 8,000 rows a second at
// d = 768, where the graph file of 100,000 documents loads in about 0.1 s), so this
// bounds a reopen after a crash at several seconds, while a checkpoint costs little
// beside the insertions themselves.
inline constexpr uint64_t kCheckpointGraphRows = 50000;

class Journal {
 public:
  // Takes the directory lock ("database directory <dir> is open in another process or
  // object; close it there first") and reads the manifest. kMemory is not a valid level
  // here (an in-memory database has no journal).
  static Result<std::unique_ptr<Journal>> open(std::string directory, Durability level);

  Durability level() const { return level_; }
  const std::string& directory() const { return directory_; }
  // The latest checkpoint, or nullopt for a directory that has none yet (a new
  // database; the caller writes its first checkpoint before anything else).
  const std::optional<Manifest>& manifest() const { return manifest_; }

  // Loads the checkpoint's ledger parts into `ledger` (made by DocumentLedger::open,
  // empty), checks metadata.bin's checkpointed prefix against its checksums, and cuts
  // metadata.bin back to that prefix: the texts appended since are in the log, and
  // replay appends them again at the same offsets. Errors name the file and offset.
  Status load_ledger(DocumentLedger& ledger);
  // The checkpoint's rows, mapped (see rows_file.h).
  Result<VectorTable> load_rows() const;
  // The checkpoint's graph blob, or nullopt when the checkpoint has no graph.
  Result<std::optional<GraphBlob>> load_graph() const;

  // Replays the log: `apply` gets each complete call in order (the recovery rule drops a
  // torn tail; damage elsewhere is an error naming the file and offset). Then the log is
  // opened for appending after the last complete call, the torn tail cut off, and the
  // files of other generations are removed.
  Status replay(const std::function<Status(const DecodedCall& call)>& apply);

  // Appends one call (after replay or the first checkpoint), flushed at kPower;
  // `graph_rows` is how many graph insertions replaying it costs. A failure leaves
  // nothing of the call in the log.
  Status append(const EncodedCall& call, uint64_t graph_rows);

  // Whether the log has grown past the thresholds above.
  bool checkpoint_due(uint64_t graph_size) const;
  // Whether any call was appended since the last checkpoint.
  bool has_calls() const { return log_ && log_->end_offset() > 0; }
  // Whether a failed checkpoint left the manifest unreadable: appends and checkpoints
  // are refused, and what is on disk already holds every acknowledged call.
  bool needs_reopen() const { return switch_unknown_; }

  // Writes a checkpoint of the given parts and makes it current, in the order
  // docs/file-format.md gives, then starts an empty log: metadata.bin flushed and its
  // coverage extended, state-<g>, rows-<g> and (with `graph`) graph-<g> written and
  // flushed, log-<g> created, MANIFEST switched, the previous generation removed. The
  // caller keeps writers out. A failure before the switch leaves the previous
  // checkpoint and log current (and appendable). A failure after it (the directory's
  // flush) makes the new ones current, keeps the previous generation's files, and has
  // the next append flush the directory first. When the manifest cannot be read back to
  // tell which, every later append and checkpoint is refused ("reopen the database").
  // Generation numbers are never reused, failed checkpoints included.
  // Takes the ledger parts' read locks one at a time, then `rows`' read lock (the order
  // the database's scans take them in: deleted set before rows).
  Status checkpoint(const DocumentLedger& ledger, const RwLocked<VectorTable>& rows, const GraphSaver* graph,
                    const StoredSettings& settings);

 private:
  Journal(std::string directory, Durability level, DirectoryLock lock)
      : directory_(std::move(directory)), level_(level), lock_(std::move(lock)) {}
  // Makes a checkpoint's manifest, coverage and new log current; `directory_synced`:
  // whether its rename is known durable.
  void adopt(Manifest manifest, MetadataCoverage coverage, LogWriter log, bool directory_synced);

  std::string directory_;
  Durability level_;
  DirectoryLock lock_;
  std::optional<Manifest> manifest_;
  MetadataCoverage coverage_;
  std::optional<LogWriter> log_;
  uint64_t graph_rows_logged_ = 0;
  // The next checkpoint's generation at least (past every generation attempted).
  uint64_t next_generation_ = 1;
  // A checkpoint failed after switching the manifest: its rename is not known durable.
  bool switch_unsynced_ = false;
  // A checkpoint failed and the manifest could not be read back.
  bool switch_unknown_ = false;
};

}  // namespace vendrel
