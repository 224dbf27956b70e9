// Checkpoint files: the manifest ("MANIFEST") that names the current checkpoint, and the
// sectioned files it names ("state-<g>", "rows-<g>", "graph-<g>"). The byte layout is in
// docs/file-format.md.
//
// After a crash a reader may assume: MANIFEST is whole, old or new (it is only ever
// replaced by replace_file_atomically), and every file it names was complete and
// flushed before it was switched in (commit_checkpoint's order). Files of a generation
// that no manifest names are leftovers of an interrupted checkpoint, to be removed.
// Every section carries its length and a CRC32C, the file ends with a section whose
// checksum covers every section header before it, and the manifest records each file's
// size and that digest: any damage, cut or stale file is found at open and reported as
// an error naming the file and the byte offset.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common.h"
#include "file_io.h"

namespace vendrel {

inline constexpr const char* kManifestFileName = "MANIFEST";
// 2: the state file's numeric trees may hold values less than 1e-9 apart, which readers of
// version 1 refuse as damage. Version 1 files are still read.
inline constexpr uint32_t kCheckpointFormatVersion = 2;
inline constexpr size_t kCheckpointFileHeaderSize = 16;
inline constexpr size_t kSectionHeaderSize = 16;

// The kinds of checkpoint file, told apart by their first eight bytes.
enum class CheckpointFileKind { kState, kRows, kGraph };

// The working name of a generation's file: "state-<g>", "rows-<g>", "graph-<g>",
// "log-<g>".
std::string generation_file_name(std::string_view stem, uint64_t generation);

// A file named by the manifest: its name in the directory, its length, and the CRC32C
// of its section headers (the end section's checksum).
struct ManifestFile {
  std::string name;
  uint64_t size = 0;
  uint32_t digest = 0;
};

// The manifest's contents. `settings` are opaque to this layer (the database stores its
// index kind, graph settings and dimension there, as text of its choosing).
struct Manifest {
  uint32_t format_version = kCheckpointFormatVersion;
  uint64_t generation = 0;
  std::string log_name;
  uint64_t log_first_sequence = 0;
  std::vector<ManifestFile> files;
  std::map<std::string, std::string> settings;

  // The entry named `name`, or null.
  const ManifestFile* file(const std::string& name) const;
};

// The manifest's bytes, and the manifest parsed from bytes read from `path` (named in
// errors). A manifest of a newer format version is an error saying so.
std::vector<uint8_t> encode_manifest(const Manifest& manifest);
Result<Manifest> decode_manifest(const std::string& path, std::span<const uint8_t> bytes);

// Reads `directory`'s MANIFEST: nullopt when there is none (a new database), else the
// manifest or an error naming the file and the byte offset of the damage.
Result<std::optional<Manifest>> read_manifest(const std::string& directory);

// ---- Writing a sectioned file ---------------------------------------------------------

// Fills one checkpoint file from offset 0 with its header, sections and end section.
// Each add_* writes straight to the file (nothing is held back), so a failure may leave
// part of the file written; the caller discards the file then.
class CheckpointFileWriter {
 public:
  // Writes the header of a file of `kind` into `file` (a new, empty file).
  static Result<CheckpointFileWriter> start(File& file, CheckpointFileKind kind);

  // A section whose payload is `payload`, checksummed here.
  Status add_section(uint32_t kind, std::span<const uint8_t> payload);

  // A section whose payload is produced piece by piece by `produce`, which calls its
  // write argument as often as it likes (the graph's blob arrives this way); the header
  // is written once the length and checksum are known.
  using WriteBytes = std::function<Status(const void* data, size_t size)>;
  Status add_streamed_section(uint32_t kind, const std::function<Status(const WriteBytes& write)>& produce);

  // A section whose payload is `pieces` back to back (written with pwritev from the
  // caller's buffers) and whose checksum field holds `crc` as given: for payloads whose
  // bytes are checksummed in parts elsewhere (the rows file's blocks; 0 there).
  Status add_gathered_section(uint32_t kind, std::span<const iovec> pieces, uint32_t crc);

  // The offset the next section's payload would start at.
  uint64_t next_payload_offset() const { return end_ + kSectionHeaderSize; }

  // Writes the end section; returns the file's size and digest for the manifest (the
  // name is left empty for the caller).
  Result<ManifestFile> finish();

 private:
  CheckpointFileWriter(File& file, uint64_t end) : file_(&file), end_(end) {}
  Status write_header(uint64_t at, uint32_t kind, uint32_t crc, uint64_t length);

  File* file_ = nullptr;
  uint64_t end_ = 0;
  uint32_t digest_ = 0;
};

// Writes `directory`/`name` (created, or emptied if it exists) as a checkpoint file of
// `kind` filled by `fill`, then fdatasyncs and closes it. Returns its manifest entry.
// On failure the file is removed. The name becomes durable at commit_checkpoint.
Result<ManifestFile> write_checkpoint_file(const std::string& directory, const std::string& name,
                                           CheckpointFileKind kind,
                                           const std::function<Status(CheckpointFileWriter& writer)>& fill);

// Makes `manifest` the directory's current checkpoint, in the order that keeps it
// atomic: every file it names must already be written and flushed (write_checkpoint_file;
// the log with LogWriter::open); the directory is fsynced so that their names are durable
// before anything points at them; then MANIFEST is replaced with replace_file_atomically.
// A failure before the rename leaves the previous checkpoint current.
Status commit_checkpoint(const std::string& directory, const Manifest& manifest);

// Removes the files of generations other than the manifest's ("state-", "rows-",
// "graph-", "log-" followed by digits) and temporary files ("*.tmp"), which an
// interrupted checkpoint leaves behind. A file still mapped elsewhere stays readable
// there. Unlinking needs no flush: a name that comes back after a power loss is removed
// again at the next open.
Status remove_stale_files(const std::string& directory, const Manifest& manifest);

// For a directory without a manifest: an error naming the generations' files it holds
// (a lost or deleted MANIFEST), so that they are not taken for leftovers of a new
// database and removed; ok when it holds none, or only generation 1's with an empty log
// (a creation cut short before its manifest).
Status refuse_files_without_manifest(const std::string& directory);

// ---- Reading a sectioned file ---------------------------------------------------------

struct CheckpointSection {
  uint32_t kind = 0;
  uint64_t offset = 0;  // of the payload in the file
  std::span<const uint8_t> payload;
};

// A checkpoint file mapped and checked: its sections in order (the end section left out).
struct CheckpointFileView {
  std::shared_ptr<MappedFile> mapping;
  std::vector<CheckpointSection> sections;

  // The first section of `kind`, or an error naming the file that lacks it.
  Result<CheckpointSection> section(uint32_t kind) const;
};

// Checks bytes as a checkpoint file of `kind` named `path` in errors: header, format
// version, every section's framing and checksum (except the kinds in
// `checked_elsewhere`, whose payloads the caller verifies in parts), the end section,
// and the size and digest against `expected`. Each failure is an error naming `path`
// and the byte offset. The sections' payloads are spans into `bytes`.
Result<std::vector<CheckpointSection>> parse_checkpoint_file(const std::string& path, std::span<const uint8_t> bytes,
                                                             CheckpointFileKind kind, const ManifestFile& expected,
                                                             std::span<const uint32_t> checked_elsewhere = {});

// Maps `directory`/`expected.name` (with `populate`, read in whole at once) and parses
// it as above. A missing file is an error naming it.
Result<CheckpointFileView> open_checkpoint_file(const std::string& directory, const ManifestFile& expected,
                                                CheckpointFileKind kind, std::span<const uint32_t> checked_elsewhere = {},
                                                bool populate = false);

// ---- The graph's file -----------------------------------------------------------------

// The graph index's own serialisation, as an opaque blob: it calls `write` with its
// bytes in order, as often as it likes.
using GraphSaver = std::function<Status(const std::function<Status(const void* data, size_t size)>& write)>;
inline constexpr uint32_t kGraphBlobSection = 1;

// Writes "graph-<generation>" holding the blob `save` produces; returns its entry.
Result<ManifestFile> write_graph_file(const std::string& directory, uint64_t generation, const GraphSaver& save);

// The blob read back, its checksum verified: `bytes` lies inside `mapping`, which must
// outlive its use. The graph's loader validates the blob's structure itself.
struct GraphBlob {
  std::shared_ptr<MappedFile> mapping;
  std::span<const uint8_t> bytes;
};
Result<GraphBlob> read_graph_file(const std::string& directory, const ManifestFile& expected);

}  // namespace vendrel
