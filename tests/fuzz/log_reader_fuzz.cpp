// libFuzzer target: the write-ahead log reader on arbitrary bytes. With the first byte
// odd, every record header the walk meets gets the magic and a correct checksum first,
// so that the structural checks behind the checksum (sequence, record index, flags,
// version, the forward scan) are reached. Nothing may crash, and whatever the reader
// returns must lie inside the bytes, call after call.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "byte_codec.h"
#include "crc32c.h"
#include "write_ahead_log.h"

namespace {

void fix_up_records(std::vector<uint8_t>& bytes) {
  size_t at = 0;
  while (bytes.size() - at >= vendrel::kLogRecordHeaderSize) {
    uint8_t* header = bytes.data() + at;
    const size_t room = bytes.size() - at - vendrel::kLogRecordHeaderSize;
    const uint32_t length = static_cast<uint32_t>(vendrel::load_le<uint32_t>(header + 8) % (room + 1));
    vendrel::store_le<uint32_t>(header, vendrel::kLogRecordMagic);
    vendrel::store_le<uint32_t>(header + 8, length);
    const uint32_t crc = vendrel::crc32c_extend(vendrel::crc32c(header + 8, 24), header + 32, length);
    vendrel::store_le<uint32_t>(header + 4, crc);
    at += vendrel::kLogRecordHeaderSize + length;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::vector<uint8_t> bytes(data + 1, data + size);
  if (data[0] & 1) fix_up_records(bytes);
  const std::optional<uint64_t> first = (data[0] & 2) ? std::optional<uint64_t>(data[0] >> 2) : std::nullopt;
  vendrel::LogReader reader("log-1", bytes, first);
  uint64_t expected_offset = 0;
  while (true) {
    vendrel::Result<std::optional<vendrel::LogCall>> call = reader.next();
    if (!call.ok() || !call.value()) break;
    const vendrel::LogCall& found = *call.value();
    if (found.offset != expected_offset || found.end_offset > bytes.size() || found.payloads.empty()) std::abort();
    for (const auto& payload : found.payloads) {
      if (payload.data() < bytes.data() || payload.data() + payload.size() > bytes.data() + bytes.size()) std::abort();
    }
    expected_offset = found.end_offset;
  }
  if (reader.valid_end() != expected_offset) std::abort();
  return 0;
}
