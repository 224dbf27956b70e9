// CRC32C (the Castagnoli polynomial, as iSCSI and ext4 use it), the checksum of every
// record and section the database writes to disk. Computed by Intel ISA-L, which picks
// the CPU's CRC instructions at run time and falls back to tables elsewhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace vendrel {

// The standard CRC32C of `size` bytes at `data` (initial value and final xor
// 0xFFFFFFFF): crc32c("123456789") == 0xE3069283. Any length; pure and thread-safe.
uint32_t crc32c(const void* data, size_t size);

// The CRC32C of the bytes already checksummed into `crc` followed by these bytes:
// crc32c_extend(crc32c(a), b) == crc32c(a + b), and crc32c_extend(0, b) == crc32c(b).
uint32_t crc32c_extend(uint32_t crc, const void* data, size_t size);

inline uint32_t crc32c(std::span<const uint8_t> bytes) { return crc32c(bytes.data(), bytes.size()); }

}  // namespace vendrel
