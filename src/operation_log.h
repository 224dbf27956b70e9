// What the full-vector database writes into its write-ahead log: one call per operation
// that changed something, with everything needed to apply it again exactly as it was
// applied (no clock is read and no filter evaluated on replay). The framing, checksums
// and recovery rule are the log's (write_ahead_log.h); the payload layouts are in
// docs/file-format.md ("Operations in the log").
//
//   stored rows  add and add_many: the rows that passed every check, in order, each with
//                its id, vector, metadata text and absolute expiry time
//   removal      delete: the ids the filter selected (deleted ones included)
//   expiry       a sweep: the ids whose time had passed (their expiry entries go too)
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common.h"
#include "id_set.h"
#include "write_ahead_log.h"

namespace vendrel {

enum class OperationKind : uint8_t { kStoreRows = 1, kRemoval = 2, kExpiry = 3 };

// Rows to store: row i is (ids[i], vectors[i], texts[i], expires_at[i]). A vector is
// empty or `width` floats. Views into buffers that outlive the value.
struct StoredRows {
  std::span<const uint32_t> ids;
  std::vector<std::span<const float>> vectors;
  std::vector<std::string_view> texts;
  std::vector<std::optional<uint64_t>> expires_at;

  size_t size() const { return ids.size(); }
};

// A call's payload as pieces for LogWriter::append_call: small owned buffers, and the
// caller's rows where they lie (the vectors of a 2-D array are one piece). Holds views
// into the rows it was made from; those must outlive it.
class EncodedCall {
 public:
  std::span<const std::span<const uint8_t>> pieces() const { return pieces_; }
  uint64_t size() const;

  // The vector width and the rows (all empty vectors or all `width` long, or empty).
  static EncodedCall store_rows(const StoredRows& rows, size_t width);
  static EncodedCall removal(OperationKind kind, const roaring::Roaring& ids);

 private:
  std::vector<std::vector<uint8_t>> owned_;
  std::vector<std::span<const uint8_t>> pieces_;
};

// A call read back from the log. For kStoreRows, `rows` views into `storage` or into the
// log's mapped bytes (kept alive by the caller for as long as the call is used).
struct DecodedCall {
  OperationKind kind = OperationKind::kStoreRows;
  StoredRows rows;
  roaring::Roaring ids;  // kRemoval, kExpiry

 private:
  friend Result<DecodedCall> decode_call(const std::string& path, const LogCall& call);
  std::vector<uint8_t> storage;  // the payload, when it spans several records
  std::vector<uint32_t> id_storage;
  std::vector<float> floats;
};

// Decodes one call of the log file `path`. A payload that no writer produced (an
// unknown operation, counts or lengths that do not add up, a vector of another width)
// is a kValue error naming the file and the call's byte offset.
Result<DecodedCall> decode_call(const std::string& path, const LogCall& call);

}  // namespace vendrel
