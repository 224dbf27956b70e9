// Little-endian encoding of the fields in the database's files: a growing byte buffer
// to write them and a bounds-checked reader whose errors name the file and the byte
// offset. Every multi-byte field on disk is little-endian; the float32 rows are written
// as they lie in memory, so the format is defined for little-endian hosts only.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common.h"

namespace vendrel {

static_assert(std::endian::native == std::endian::little, "the file formats assume a little-endian host");

template <typename T>
inline void store_le(uint8_t* at, T value) {
  std::memcpy(at, &value, sizeof value);
}

template <typename T>
inline T load_le(const uint8_t* at) {
  T value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

// Appends fields to `bytes`. Never fails (std::bad_alloc aside).
struct ByteWriter {
  std::vector<uint8_t> bytes;

  template <typename T>
  void put(T value) {
    const size_t at = bytes.size();
    bytes.resize(at + sizeof value);
    store_le(bytes.data() + at, value);
  }
  void u8(uint8_t value) { put(value); }
  void u16(uint16_t value) { put(value); }
  void u32(uint32_t value) { put(value); }
  void u64(uint64_t value) { put(value); }
  void f32(float value) { put(value); }
  void f64(double value) { put(value); }
  void raw(const void* data, size_t size) {
    const auto* begin = static_cast<const uint8_t*>(data);
    bytes.insert(bytes.end(), begin, begin + size);
  }
  // A u32 length, then the bytes.
  void text(std::string_view value) {
    u32(static_cast<uint32_t>(value.size()));
    raw(value.data(), value.size());
  }
};

// Reads fields from `bytes`, which lie at byte `base_offset` of the file `path`. The
// first failure is kept ("<path>: byte offset N: <what>", a kValue error) and every
// later read returns zeros and empty spans, so a parser reads on and checks ok() where
// it must act on a value (before it allocates, indexes or loops by one).
class ByteReader {
 public:
  ByteReader(std::string path, std::span<const uint8_t> bytes, uint64_t base_offset = 0)
      : path_(std::move(path)), bytes_(bytes), base_offset_(base_offset) {}

  template <typename T>
  T get(const char* what) {
    const std::span<const uint8_t> field = raw(sizeof(T), what);
    return field.empty() ? T{} : load_le<T>(field.data());
  }
  uint8_t u8(const char* what) { return get<uint8_t>(what); }
  uint16_t u16(const char* what) { return get<uint16_t>(what); }
  uint32_t u32(const char* what) { return get<uint32_t>(what); }
  uint64_t u64(const char* what) { return get<uint64_t>(what); }
  float f32(const char* what) { return get<float>(what); }
  double f64(const char* what) { return get<double>(what); }

  // The next `size` bytes, or an empty span (and the error "<what> ends past the end
  // of the data") when fewer remain.
  std::span<const uint8_t> raw(size_t size, const char* what) {
    if (!ok()) return {};
    if (size > remaining()) {
      fail(std::string(what) + " ends past the end of the data");
      return {};
    }
    const std::span<const uint8_t> field = bytes_.subspan(position_, size);
    position_ += size;
    return field;
  }

  // A u32 length, then that many bytes.
  std::string_view text(const char* what) {
    const uint32_t size = u32(what);
    const std::span<const uint8_t> field = raw(size, what);
    return std::string_view(reinterpret_cast<const char*>(field.data()), field.size());
  }

  // A u64 count of items each taking at least `min_item_bytes` bytes on disk: refused
  // when the remaining bytes cannot hold that many, so that a damaged count never makes
  // the caller allocate more than the data holds.
  size_t count(size_t min_item_bytes, const char* what) {
    const uint64_t value = u64(what);
    if (ok() && min_item_bytes > 0 && value > remaining() / min_item_bytes) {
      fail(std::string(what) + " " + std::to_string(value) + " is more than the remaining bytes can hold");
      return 0;
    }
    return ok() ? static_cast<size_t>(value) : 0;
  }

  // Records `what` at the current offset unless an error is already kept.
  void fail(const std::string& what) { fail_at(offset(), what); }
  void fail_at(uint64_t at, const std::string& what) {
    if (ok()) error_ = path_ + ": byte offset " + std::to_string(at) + ": " + what;
  }

  // The error unless every byte was read.
  Status finish() {
    if (ok() && remaining() > 0) fail(std::to_string(remaining()) + " unexpected bytes after the data");
    return status();
  }

  bool ok() const { return error_.empty(); }
  Status status() const { return ok() ? ok_status() : Status(value_error(error_)); }
  uint64_t offset() const { return base_offset_ + position_; }
  size_t remaining() const { return bytes_.size() - position_; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::span<const uint8_t> bytes_;
  uint64_t base_offset_ = 0;
  size_t position_ = 0;
  std::string error_;
};

}  // namespace vendrel
