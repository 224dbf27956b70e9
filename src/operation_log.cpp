#include "operation_log.h"

#include <cstring>

#include "byte_codec.h"
#include "ledger_state.h"

namespace vendrel {
namespace {

constexpr uint8_t kHasVector = 1;
constexpr uint8_t kHasExpiry = 2;
constexpr size_t kRowsHeaderSize = 16;

size_t padding_to_four(size_t size) { return (4 - size % 4) % 4; }

std::span<const uint8_t> bytes_of(const void* data, size_t size) {
  return {static_cast<const uint8_t*>(data), size};
}

}  // namespace

uint64_t EncodedCall::size() const {
  uint64_t total = 0;
  for (const auto& piece : pieces_) total += piece.size();
  return total;
}

// Layout: kind (u8), 3 reserved bytes, row count n (u32), width w (u32), 4 reserved
// bytes; then n ids (u32), n text lengths (u32), n expiry times (u64; 0 without one),
// n flags (u8: 1 = has a vector, 2 = has an expiry time), zero padding to a multiple of
// four bytes; then the vectors of the rows that have one (w f32 each), then the texts.
EncodedCall EncodedCall::store_rows(const StoredRows& rows, size_t width) {
  const size_t count = rows.size();
  ByteWriter head;
  head.u8(static_cast<uint8_t>(OperationKind::kStoreRows));
  head.u8(0);
  head.u16(0);
  head.u32(static_cast<uint32_t>(count));
  head.u32(static_cast<uint32_t>(width));
  head.u32(0);
  head.raw(rows.ids.data(), count * sizeof(uint32_t));
  for (std::string_view text : rows.texts) head.u32(static_cast<uint32_t>(text.size()));
  for (const auto& expiry : rows.expires_at) head.u64(expiry.value_or(0));
  for (size_t row = 0; row < count; ++row) {
    head.u8(static_cast<uint8_t>((rows.vectors[row].empty() ? 0 : kHasVector) | (rows.expires_at[row] ? kHasExpiry : 0)));
  }
  for (size_t pad = padding_to_four(head.bytes.size()); pad > 0; --pad) head.u8(0);

  EncodedCall call;
  call.owned_.push_back(std::move(head.bytes));
  call.pieces_.push_back(call.owned_.back());
  // Consecutive rows of one array go out as one piece, straight from the caller's memory.
  const float* run_begin = nullptr;
  size_t run_floats = 0;
  for (const auto& vector : rows.vectors) {
    if (vector.empty()) continue;
    if (run_begin != nullptr && run_begin + run_floats == vector.data()) {
      run_floats += vector.size();
      continue;
    }
    if (run_begin != nullptr) call.pieces_.push_back(bytes_of(run_begin, run_floats * sizeof(float)));
    run_begin = vector.data();
    run_floats = vector.size();
  }
  if (run_begin != nullptr) call.pieces_.push_back(bytes_of(run_begin, run_floats * sizeof(float)));
  // Texts are short: one copy into one piece costs less than a piece each.
  std::vector<uint8_t> texts;
  for (std::string_view text : rows.texts) texts.insert(texts.end(), text.begin(), text.end());
  call.owned_.push_back(std::move(texts));
  call.pieces_.push_back(call.owned_.back());
  return call;
}

// Layout: kind (u8), 3 reserved bytes, then the ids as a bitmap (a u64 length and
// CRoaring's portable serialisation).
EncodedCall EncodedCall::removal(OperationKind kind, const roaring::Roaring& ids) {
  ByteWriter out;
  out.u8(static_cast<uint8_t>(kind));
  out.u8(0);
  out.u16(0);
  encode_bitmap(ids, out);
  EncodedCall call;
  call.owned_.push_back(std::move(out.bytes));
  call.pieces_.push_back(call.owned_.back());
  return call;
}

Result<DecodedCall> decode_call(const std::string& path, const LogCall& call) {
  DecodedCall decoded;
  std::span<const uint8_t> payload;
  if (call.payloads.size() == 1) {
    payload = call.payloads.front();
  } else {
    for (const auto& part : call.payloads) decoded.storage.insert(decoded.storage.end(), part.begin(), part.end());
    payload = decoded.storage;
  }
  // Offsets in the error are of the call's start: its payload may span records.
  ByteReader in("log file " + path + ": the call at byte offset " + std::to_string(call.offset) + ", payload", payload);
  const uint8_t kind = in.u8("operation");
  in.raw(3, "reserved bytes");
  if (in.ok() && (kind == static_cast<uint8_t>(OperationKind::kRemoval) ||
                  kind == static_cast<uint8_t>(OperationKind::kExpiry))) {
    decoded.kind = static_cast<OperationKind>(kind);
    decoded.ids = decode_bitmap(in);
  } else if (in.ok() && kind == static_cast<uint8_t>(OperationKind::kStoreRows)) {
    decoded.kind = OperationKind::kStoreRows;
    const uint32_t count = in.u32("row count");
    const uint32_t width = in.u32("vector width");
    in.u32("reserved");
    // Each row takes at least 17 bytes (id, text length, expiry, flags).
    if (in.ok() && count > payload.size() / 17) in.fail("row count " + std::to_string(count) + " exceeds the payload");
    const auto ids = in.raw(size_t{count} * 4, "ids");
    const auto lengths = in.raw(size_t{count} * 4, "text lengths");
    const auto expiries = in.raw(size_t{count} * 8, "expiry times");
    const auto flags = in.raw(count, "row flags");
    in.raw(padding_to_four(kRowsHeaderSize + size_t{count} * 17), "padding");
    size_t vector_count = 0;
    uint64_t text_bytes = 0;
    for (size_t row = 0; in.ok() && row < count; ++row) {
      if (flags[row] & ~(kHasVector | kHasExpiry)) in.fail("unknown row flags");
      vector_count += flags[row] & kHasVector ? 1 : 0;
      text_bytes += load_le<uint32_t>(lengths.data() + row * 4);
    }
    if (in.ok() && vector_count > 0 && width == 0) in.fail("rows with vectors of width 0");
    const auto vectors = in.ok() && width > 0 && vector_count > (payload.size() / 4) / width
                             ? (in.fail("more vectors than the payload holds"), std::span<const uint8_t>())
                             : in.raw(vector_count * width * sizeof(float), "vectors");
    const auto texts = in.raw(text_bytes, "texts");
    if (!in.ok()) return in.status().error();

    decoded.id_storage.resize(count);
    std::memcpy(decoded.id_storage.data(), ids.data(), ids.size());
    // The vectors lie at any alignment in the log: they are copied out to read them as floats.
    std::vector<float> floats(vector_count * width);
    if (!floats.empty()) std::memcpy(floats.data(), vectors.data(), vectors.size());
    decoded.rows.ids = decoded.id_storage;
    size_t next_vector = 0;
    uint64_t next_text = 0;
    for (size_t row = 0; row < count; ++row) {
      const bool has_vector = flags[row] & kHasVector;
      decoded.rows.vectors.push_back(has_vector ? std::span<const float>(floats.data() + next_vector * width, width)
                                                : std::span<const float>());
      next_vector += has_vector ? 1 : 0;
      const uint32_t length = load_le<uint32_t>(lengths.data() + row * 4);
      decoded.rows.texts.emplace_back(reinterpret_cast<const char*>(texts.data() + next_text), length);
      next_text += length;
      const uint64_t expiry = load_le<uint64_t>(expiries.data() + row * 8);
      decoded.rows.expires_at.push_back(flags[row] & kHasExpiry ? std::optional<uint64_t>(expiry) : std::nullopt);
    }
    decoded.floats = std::move(floats);
  } else if (in.ok()) {
    in.fail("unknown operation " + std::to_string(kind));
  }
  Status finished = in.finish();
  if (!finished.ok()) return finished.error();
  return decoded;
}

}  // namespace vendrel
