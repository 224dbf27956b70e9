#include "crc32c.h"

#include <climits>

#include <isa-l/crc.h>

namespace vendrel {

namespace {

// ISA-L takes the length as an int: longer buffers go through in chunks of 1 GiB.
constexpr size_t kChunkBytes = size_t{1} << 30;
static_assert(kChunkBytes <= INT_MAX);

}  // namespace

uint32_t crc32c_extend(uint32_t crc, const void* data, size_t size) {
  // ISA-L's crc32_iscsi neither inverts its initial value nor its result; the standard
  // CRC32C does both, so the running value is kept inverted between chunks.
  auto* bytes = static_cast<unsigned char*>(const_cast<void*>(data));  // ISA-L only reads it
  unsigned int running = ~crc;
  while (size > 0) {
    const size_t chunk = size < kChunkBytes ? size : kChunkBytes;
    running = crc32_iscsi(bytes, static_cast<int>(chunk), running);
    bytes += chunk;
    size -= chunk;
  }
  return ~running;
}

uint32_t crc32c(const void* data, size_t size) { return crc32c_extend(0, data, size); }

}  // namespace vendrel
