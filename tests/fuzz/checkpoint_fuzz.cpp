// libFuzzer target: the checkpoint readers on arbitrary bytes. The first byte picks the
// reader: the manifest, a state file or a rows file. The rest is made into a file whose
// checksums hold (the manifest's trailing checksum; a sectioned file's header, section
// checksums, end section and the expected size and digest), so that the structural
// parsing behind them is what gets fuzzed. Nothing may crash or leak.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "byte_codec.h"
#include "checkpoint.h"
#include "crc32c.h"
#include "ledger_state.h"
#include "rows_file.h"

namespace {

using vendrel::load_le;
using vendrel::store_le;

// Rewrites `bytes` as a sectioned file of `magic` whose every checksum holds (except
// the payloads of kind `unchecked`, checksummed in parts) and returns its entry.
vendrel::ManifestFile fix_up_sectioned(std::vector<uint8_t>& bytes, const char* magic, uint32_t unchecked) {
  bytes.resize(std::max<size_t>(bytes.size(), vendrel::kCheckpointFileHeaderSize));
  std::memcpy(bytes.data(), magic, 8);
  store_le<uint32_t>(bytes.data() + 8, 1);
  store_le<uint32_t>(bytes.data() + 12, vendrel::crc32c(bytes.data(), 12));
  size_t at = vendrel::kCheckpointFileHeaderSize;
  uint32_t digest = 0;
  while (bytes.size() - at >= vendrel::kSectionHeaderSize) {
    uint8_t* header = bytes.data() + at;
    const uint32_t kind = load_le<uint32_t>(header) % 8;
    if (kind == 0) break;
    const size_t room = bytes.size() - at - vendrel::kSectionHeaderSize;
    const uint64_t length = load_le<uint64_t>(header + 8) % (room + 1);
    store_le<uint32_t>(header, kind);
    store_le<uint64_t>(header + 8, length);
    if (kind != unchecked) store_le<uint32_t>(header + 4, vendrel::crc32c(header + 16, length));
    digest = vendrel::crc32c_extend(digest, header, vendrel::kSectionHeaderSize);
    at += vendrel::kSectionHeaderSize + length;
  }
  bytes.resize(at + vendrel::kSectionHeaderSize);
  store_le<uint32_t>(bytes.data() + at, 0);
  store_le<uint32_t>(bytes.data() + at + 4, digest);
  store_le<uint64_t>(bytes.data() + at + 8, 0);
  return vendrel::ManifestFile{"fuzzed", bytes.size(), digest};
}

const std::string& scratch_directory() {
  static const std::string directory = [] {
    std::string pattern = "/tmp/vendrel-fuzz-XXXXXX";
    return std::string(::mkdtemp(pattern.data()) ? pattern : "/tmp");
  }();
  return directory;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::vector<uint8_t> bytes(data + 1, data + size);
  switch (data[0] % 3) {
    case 0: {
      if (bytes.size() >= 4) {
        store_le<uint32_t>(bytes.data() + bytes.size() - 4, vendrel::crc32c(bytes.data(), bytes.size() - 4));
      }
      (void)vendrel::decode_manifest("MANIFEST", bytes);
      break;
    }
    case 1: {
      const vendrel::ManifestFile expected = fix_up_sectioned(bytes, "VNDRSTAT", 0);
      vendrel::DocumentLedger ledger = vendrel::DocumentLedger::open(scratch_directory()).value();
      (void)vendrel::load_state_from_bytes("state-1", bytes, expected, ledger);
      break;
    }
    default: {
      const vendrel::ManifestFile expected = fix_up_sectioned(bytes, "VNDRROWS", vendrel::kRowBlocksSection);
      vendrel::Result<vendrel::VectorTable> table = vendrel::rows_table_from_bytes("rows-1", bytes, expected, nullptr);
      if (table.ok()) {
        // Every row the table claims must be readable inside the bytes.
        table.value().for_each([&](uint32_t, std::span<const float> row) {
          volatile float sink = 0;
          for (float value : row) sink = sink + value;
        });
      }
      break;
    }
  }
  return 0;
}
