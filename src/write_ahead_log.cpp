#include "write_ahead_log.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <tbb/parallel_for.h>

#include "byte_codec.h"
#include "crc32c.h"

namespace vendrel {

namespace {

// Field offsets of a record header. The checksum covers bytes [kCoveredFrom, 32) of the
// header and then the payload; the magic is checked on its own.
constexpr size_t kMagicAt = 0;
constexpr size_t kChecksumAt = 4;
constexpr size_t kLengthAt = 8;
constexpr size_t kVersionAt = 12;
constexpr size_t kFlagsAt = 14;
constexpr size_t kSequenceAt = 16;
constexpr size_t kIndexAt = 24;
constexpr size_t kCoveredFrom = 8;
static_assert(kIndexAt + 8 == kLogRecordHeaderSize);

using Header = uint8_t[kLogRecordHeaderSize];

// A slice of the call's payload pieces: the bytes of record r.
struct Slice {
  size_t first_piece = 0;
  size_t first_offset = 0;
  size_t length = 0;
};

}  // namespace

// ---- LogWriter ----

Result<LogWriter> LogWriter::open(std::string path, uint64_t end_offset, uint64_t next_sequence,
                                  uint32_t max_record_payload) {
  LogWriter writer;
  writer.end_offset_ = end_offset;
  writer.next_sequence_ = next_sequence;
  writer.max_record_payload_ = std::clamp<uint32_t>(max_record_payload, 1, kMaxLogRecordPayload);
  struct stat status{};
  const bool created = ::stat(path.c_str(), &status) != 0 && errno == ENOENT;
  Result<File> file = File::open(path, O_RDWR | (created ? O_CREAT | O_EXCL : 0));
  if (!file.ok()) return file.error();
  if (created) {
    const size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? std::string() : path.substr(0, slash);
    if (Status synced = sync_directory(directory); !synced.ok()) return synced.error();
  }
  writer.file_ = std::move(file.value());
  Result<uint64_t> size = writer.file_.size();
  if (!size.ok()) return size.error();
  if (size.value() < end_offset) {
    return value_error("log file " + writer.path() + " is " + std::to_string(size.value()) +
                       " bytes long, shorter than its valid calls (" + std::to_string(end_offset) + " bytes)");
  }
  if (size.value() > end_offset) {
    if (Status cut = writer.file_.truncate(end_offset); !cut.ok()) return cut.error();
  }
  return writer;
}

Status LogWriter::refuse_if_failed() const {
  if (!failed_) return ok_status();
  return value_error("log file " + path() +
                     " is in an unknown state after a failed write or flush; reopen the database");
}

Result<uint64_t> LogWriter::append_call(std::span<const std::span<const uint8_t>> pieces, bool sync) {
  if (Status refused = refuse_if_failed(); !refused.ok()) return refused.error();
  size_t total = 0;
  for (const auto& piece : pieces) total += piece.size();
  const size_t record_count = std::max<size_t>(1, (total + max_record_payload_ - 1) / max_record_payload_);

  // Cut the pieces into records of max_record_payload_ bytes (the last one shorter).
  std::vector<Slice> slices(record_count);
  {
    size_t piece = 0;
    size_t within = 0;
    for (size_t r = 0; r < record_count; ++r) {
      while (piece < pieces.size() && within == pieces[piece].size()) {
        ++piece;
        within = 0;
      }
      slices[r] = Slice{piece, within, std::min<size_t>(max_record_payload_, total - r * max_record_payload_)};
      size_t left = slices[r].length;
      while (left > 0) {
        const size_t take = std::min(left, pieces[piece].size() - within);
        left -= take;
        within += take;
        if (within == pieces[piece].size() && left > 0) {
          ++piece;
          within = 0;
        }
      }
    }
  }

  // Headers and their checksums, on the pool: a large call's payload is checksummed
  // about twice as fast on two cores, and a small call runs inline.
  std::vector<Header> headers(record_count);
  const uint64_t sequence = next_sequence_;
  tbb::parallel_for(size_t{0}, record_count, [&](size_t r) {
    uint8_t* header = headers[r];
    store_le<uint32_t>(header + kMagicAt, kLogRecordMagic);
    store_le<uint32_t>(header + kLengthAt, static_cast<uint32_t>(slices[r].length));
    store_le<uint16_t>(header + kVersionAt, kLogFormatVersion);
    store_le<uint16_t>(header + kFlagsAt, r + 1 == record_count ? kLogRecordLastInCall : 0);
    store_le<uint64_t>(header + kSequenceAt, sequence);
    store_le<uint32_t>(header + kIndexAt, static_cast<uint32_t>(r));
    store_le<uint32_t>(header + kIndexAt + 4, 0);
    uint32_t crc = crc32c(header + kCoveredFrom, kLogRecordHeaderSize - kCoveredFrom);
    size_t piece = slices[r].first_piece;
    size_t within = slices[r].first_offset;
    for (size_t left = slices[r].length; left > 0; ++piece, within = 0) {
      const size_t take = std::min(left, pieces[piece].size() - within);
      crc = crc32c_extend(crc, pieces[piece].data() + within, take);
      left -= take;
    }
    store_le<uint32_t>(header + kChecksumAt, crc);
  });

  // One list of pieces for the whole call: each header, then its payload slices.
  std::vector<iovec> out;
  out.reserve(record_count * 2 + pieces.size());
  for (size_t r = 0; r < record_count; ++r) {
    out.push_back(iovec{headers[r], kLogRecordHeaderSize});
    size_t piece = slices[r].first_piece;
    size_t within = slices[r].first_offset;
    for (size_t left = slices[r].length; left > 0; ++piece, within = 0) {
      const size_t take = std::min(left, pieces[piece].size() - within);
      out.push_back(iovec{const_cast<uint8_t*>(pieces[piece].data() + within), take});
      left -= take;
    }
  }

  const uint64_t start = end_offset_;
  if (Status written = file_.pwritev_all(out, start); !written.ok()) {
    if (!file_.truncate(start).ok()) failed_ = true;
    return written.error();
  }
  if (sync) {
    if (Status flushed = file_.sync_data(); !flushed.ok()) {
      (void)file_.truncate(start);
      failed_ = true;
      return flushed.error();
    }
  }
  end_offset_ = start + record_count * kLogRecordHeaderSize + total;
  ++next_sequence_;
  return sequence;
}

Status LogWriter::sync() {
  if (Status refused = refuse_if_failed(); !refused.ok()) return refused;
  Status flushed = file_.sync_data();
  if (!flushed.ok()) failed_ = true;
  return flushed;
}

// ---- LogReader ----

// One record as parse() found it: valid (checksum holds: `header` fields are
// meaningful, `payload` is its bytes) or not, with the reason.
struct LogReader::Parsed {
  bool valid = false;
  std::string problem;
  uint64_t end = 0;
  uint16_t version = 0;
  uint16_t flags = 0;
  uint64_t sequence = 0;
  uint32_t index = 0;
  std::span<const uint8_t> payload;
};

LogReader::LogReader(std::string path, std::span<const uint8_t> bytes, std::optional<uint64_t> first_sequence)
    : path_(std::move(path)), bytes_(bytes), next_sequence_(first_sequence) {}

LogReader::Parsed LogReader::parse(uint64_t offset) const {
  Parsed parsed;
  const uint64_t size = bytes_.size();
  if (size - offset < kLogRecordHeaderSize) {
    parsed.problem = "record header cut short";
    return parsed;
  }
  const uint8_t* header = bytes_.data() + offset;
  if (load_le<uint32_t>(header + kMagicAt) != kLogRecordMagic) {
    parsed.problem = "no record starts here";
    return parsed;
  }
  const uint32_t length = load_le<uint32_t>(header + kLengthAt);
  if (length > kMaxLogRecordPayload) {
    parsed.problem = "record length " + std::to_string(length) + " is over the limit";
    return parsed;
  }
  if (size - offset - kLogRecordHeaderSize < length) {
    parsed.problem = "record cut short";
    return parsed;
  }
  const uint32_t stored = load_le<uint32_t>(header + kChecksumAt);
  const uint32_t actual =
      crc32c_extend(crc32c(header + kCoveredFrom, kLogRecordHeaderSize - kCoveredFrom),
                    header + kLogRecordHeaderSize, length);
  if (stored != actual) {
    parsed.problem = "record checksum mismatch";
    return parsed;
  }
  parsed.valid = true;
  parsed.end = offset + kLogRecordHeaderSize + length;
  parsed.version = load_le<uint16_t>(header + kVersionAt);
  parsed.flags = load_le<uint16_t>(header + kFlagsAt);
  parsed.sequence = load_le<uint64_t>(header + kSequenceAt);
  parsed.index = load_le<uint32_t>(header + kIndexAt);
  parsed.payload = bytes_.subspan(offset + kLogRecordHeaderSize, length);
  return parsed;
}

Error LogReader::error_at(uint64_t offset, const std::string& what) const {
  return value_error("log file " + path_ + ": byte offset " + std::to_string(offset) + ": " + what);
}

std::optional<uint64_t> LogReader::later_call_after(uint64_t offset, std::optional<uint64_t> sequence) const {
  const auto* magic = reinterpret_cast<const uint8_t*>(&kLogRecordMagic);
  uint64_t at = offset + 1;
  while (at + kLogRecordHeaderSize <= bytes_.size()) {
    const auto* found = static_cast<const uint8_t*>(
        ::memmem(bytes_.data() + at, bytes_.size() - at, magic, sizeof kLogRecordMagic));
    if (found == nullptr) return std::nullopt;
    at = static_cast<uint64_t>(found - bytes_.data());
    const Parsed parsed = parse(at);
    if (!parsed.valid) {
      ++at;
      continue;
    }
    // Records of the damaged call itself may follow the damage: a power loss keeps an
    // unflushed call's pages in any order. A record of any other call means the damage
    // is not at the tail.
    if (!sequence || parsed.sequence != *sequence) return at;
    at = parsed.end;
  }
  return std::nullopt;
}

Result<std::optional<LogCall>> LogReader::next() {
  if (done_) return std::optional<LogCall>();
  LogCall call;
  call.offset = valid_end_;
  call.sequence = next_sequence_.value_or(0);
  uint64_t at = valid_end_;
  if (at == bytes_.size()) {
    done_ = true;
    return std::optional<LogCall>();
  }
  for (uint32_t index = 0;; ++index) {
    const Parsed parsed = parse(at);
    if (!parsed.valid) {
      const std::optional<uint64_t> sequence = index > 0 ? std::optional<uint64_t>(call.sequence) : next_sequence_;
      if (const std::optional<uint64_t> later = later_call_after(at, sequence)) {
        return error_at(at, parsed.problem + ", followed by a valid record of another call at byte offset " +
                                std::to_string(*later));
      }
      torn_tail_ = true;
      done_ = true;
      return std::optional<LogCall>();
    }
    if (parsed.version > kLogFormatVersion) {
      return error_at(at, "record of format version " + std::to_string(parsed.version) +
                              ", newer than this build reads (" + std::to_string(kLogFormatVersion) +
                              "); open it with a newer version");
    }
    if (parsed.version == 0 || (parsed.flags & ~kLogRecordLastInCall) != 0) {
      return error_at(at, "record with version " + std::to_string(parsed.version) + " and flags " +
                              std::to_string(parsed.flags) + ", which no writer produces");
    }
    if (index == 0 && !next_sequence_) call.sequence = parsed.sequence;
    if (parsed.sequence != call.sequence || parsed.index != index) {
      return error_at(at, "record " + std::to_string(parsed.index) + " of call " + std::to_string(parsed.sequence) +
                              " where record " + std::to_string(index) + " of call " +
                              std::to_string(call.sequence) + " was expected");
    }
    call.payloads.push_back(parsed.payload);
    at = parsed.end;
    if (parsed.flags & kLogRecordLastInCall) break;
  }
  call.end_offset = at;
  valid_end_ = at;
  next_sequence_ = call.sequence + 1;
  return std::optional<LogCall>(std::move(call));
}

// ---- replay_log ----

Result<LogRecovery> replay_log(const std::string& path, std::optional<uint64_t> first_sequence,
                               const std::function<Status(const LogCall& call)>& apply) {
  Result<std::shared_ptr<MappedFile>> mapped = MappedFile::map_private(path);
  if (!mapped.ok()) return mapped.error();
  LogReader reader(path, mapped.value()->bytes(), first_sequence);
  LogRecovery recovery;
  while (true) {
    Result<std::optional<LogCall>> call = reader.next();
    if (!call.ok()) return call.error();
    if (!call.value()) break;
    if (Status applied = apply(*call.value()); !applied.ok()) return applied.error();
    ++recovery.calls;
  }
  recovery.valid_end = reader.valid_end();
  recovery.torn_tail = reader.torn_tail();
  recovery.next_sequence = reader.next_sequence();
  return recovery;
}

}  // namespace vendrel
