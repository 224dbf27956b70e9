// The write-ahead log ("log-<generation>"): every call that changes the database is
// appended here before it returns, as one or more checksummed records, the last one
// marked as the call's end. The byte layout is in docs/file-format.md.
//
// After a crash a reader may assume: every call whose append returned is in the file
// whole (kill -9: always; power loss: when it was appended with `sync`); a call whose
// append did not return may be absent, partly present, or present with holes, but only
// at the end of the file. Recovery (LogReader) applies the complete calls in order and
// drops an incomplete or damaged last call (the torn tail); damage followed by records of
// a later call, or a record from a newer format, is an error naming the file and the
// byte offset. A call is therefore wholly present or wholly absent after recovery.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common.h"
#include "file_io.h"

namespace vendrel {

inline constexpr uint32_t kLogRecordMagic = 0x474f4c56;  // the bytes "VLOG"
inline constexpr uint16_t kLogFormatVersion = 1;
inline constexpr size_t kLogRecordHeaderSize = 32;
// The largest payload of one record. A call's payload is cut into records of at most
// this size, so a call may be any length while a reader never trusts a length field
// beyond it (nor beyond the bytes present) and a damaged length cannot send the
// forward scan far past the damage.
inline constexpr uint32_t kMaxLogRecordPayload = 8u << 20;
// Flag bit 0 of a record: the last record of its call. No other bit is defined.
inline constexpr uint16_t kLogRecordLastInCall = 1;

// Appends calls to one log file. Not thread-safe: the database's writer lock serialises
// appends.
class LogWriter {
 public:
  LogWriter() = default;

  // Opens `path` for appending at `end_offset` and numbers the next call
  // `next_sequence`. Bytes past end_offset (a torn tail recovery found) are cut off
  // first. A missing file is created empty, and its directory synced so that its name
  // survives a power loss. `max_record_payload` (at most kMaxLogRecordPayload) is for
  // tests that want many records in a small file.
  static Result<LogWriter> open(std::string path, uint64_t end_offset, uint64_t next_sequence,
                                uint32_t max_record_payload = kMaxLogRecordPayload);

  // Appends one call whose payload is the concatenation of `pieces` (the caller's own
  // buffers, written from where they are: no staging copy), cut into records. Record
  // checksums are computed on the oneTBB pool, then the whole call goes out in as few
  // pwritev calls as the system's limit on pieces per call allows. With `sync`, one
  // fdatasync follows (group commit: once per call, whatever its size). Returns the
  // call's sequence number.
  // On a failed write the file is cut back to the call's start, so a failed call leaves
  // nothing, and the error is returned. If that cut fails too, or the fdatasync fails
  // (after which the system may have dropped unflushed pages of earlier calls as well),
  // the writer refuses every later call: the database must be reopened so that recovery
  // reads what the file really holds.
  Result<uint64_t> append_call(std::span<const std::span<const uint8_t>> pieces, bool sync);

  // fdatasync now: every call appended so far becomes durable. The same failure rule as
  // append_call's flush.
  Status sync();

  // One past the last byte of the last call appended.
  uint64_t end_offset() const { return end_offset_; }
  uint64_t next_sequence() const { return next_sequence_; }
  const std::string& path() const { return file_.path(); }

 private:
  Status refuse_if_failed() const;

  File file_;
  uint64_t end_offset_ = 0;
  uint64_t next_sequence_ = 0;
  uint32_t max_record_payload_ = kMaxLogRecordPayload;
  bool failed_ = false;
};

// A complete call read back: its sequence number, where its records lie, and their
// payloads in order (spans into the bytes given to the reader).
struct LogCall {
  uint64_t sequence = 0;
  uint64_t offset = 0;
  uint64_t end_offset = 0;
  std::vector<std::span<const uint8_t>> payloads;
};

// Walks the bytes of a log file call by call, applying the recovery rule. Allocates
// only the payload list of one call, bounded by the bytes present.
class LogReader {
 public:
  // `bytes` is the whole file `path` (named in errors), mapped or read; it must outlive
  // the reader and the calls it returns. The first call must carry `first_sequence`
  // (nullopt: whatever it carries; later calls follow one by one).
  LogReader(std::string path, std::span<const uint8_t> bytes, std::optional<uint64_t> first_sequence);

  // The next complete call, or nullopt at the end of the valid calls: then valid_end()
  // is where they end, and torn_tail() says whether bytes follow that form no complete
  // call (the caller cuts the file there). Errors (kValue, naming the file and the byte
  // offset): damage followed by a valid record of another call; a record from a newer
  // format version; a record whose checksum holds but whose sequence, position in its
  // call or flags are impossible.
  Result<std::optional<LogCall>> next();

  uint64_t valid_end() const { return valid_end_; }
  bool torn_tail() const { return torn_tail_; }
  // The sequence number the next call would carry (nullopt before the first call when
  // none was given).
  std::optional<uint64_t> next_sequence() const { return next_sequence_; }

 private:
  // Parses the record at `offset`; see the .cpp.
  struct Parsed;
  Parsed parse(uint64_t offset) const;
  // After a damaged record at `offset` in the call numbered `sequence`: nullopt when no
  // valid record of another call follows (a torn tail), else that record's offset.
  std::optional<uint64_t> later_call_after(uint64_t offset, std::optional<uint64_t> sequence) const;
  Error error_at(uint64_t offset, const std::string& what) const;

  std::string path_;
  std::span<const uint8_t> bytes_;
  std::optional<uint64_t> next_sequence_;
  uint64_t valid_end_ = 0;
  bool torn_tail_ = false;
  bool done_ = false;
};

// What replay_log found: where the valid calls end, whether a torn tail follows them,
// how many calls were applied and the sequence number of the next call.
struct LogRecovery {
  uint64_t valid_end = 0;
  bool torn_tail = false;
  uint64_t calls = 0;
  std::optional<uint64_t> next_sequence;
};

// Maps the log file `path` and calls `apply` for each complete call in order (see
// LogReader), stopping at the first error, its own or apply's. The file is not changed:
// the caller reopens it with LogWriter::open(path, valid_end, next_sequence), which cuts
// the torn tail off.
Result<LogRecovery> replay_log(const std::string& path, std::optional<uint64_t> first_sequence,
                               const std::function<Status(const LogCall& call)>& apply);

}  // namespace vendrel
