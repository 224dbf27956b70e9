#include "ledger_state.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <mutex>
#include <shared_mutex>
#include <stdexcept>
#include <unordered_map>
#include <utility>

namespace vendrel {

namespace {

using SharedLock = std::shared_lock<std::shared_mutex>;
using WriteLock = std::unique_lock<std::shared_mutex>;

// CRoaring's portable format: a cookie saying whether run containers occur, the
// container count, per container its key and cardinality - 1, the containers' offsets,
// then the containers (runs, arrays of at most 4096 values, or 8 KiB bitsets).
constexpr uint32_t kCookieNoRuns = 12346;
constexpr uint32_t kCookieWithRuns = 12347;
constexpr uint32_t kNoOffsetThreshold = 4;
constexpr uint32_t kMaxArrayCardinality = 4096;
constexpr size_t kBitsetWords = 1024;

// The first break of the portable layout in `bytes` (which must be used up exactly),
// with its offset within them; empty when well formed.
std::pair<std::string, size_t> portable_bitmap_problem(std::span<const uint8_t> bytes) {
  size_t at = 0;
  auto take = [&](size_t count) -> const uint8_t* {
    if (count > bytes.size() - at) return nullptr;
    const uint8_t* field = bytes.data() + at;
    at += count;
    return field;
  };
  const uint8_t* cookie_bytes = take(4);
  if (!cookie_bytes) return {"bitmap cut short", at};
  const uint32_t cookie = load_le<uint32_t>(cookie_bytes);
  const bool has_runs = (cookie & 0xFFFF) == kCookieWithRuns;
  uint32_t size = 0;
  const uint8_t* run_flags = nullptr;
  if (has_runs) {
    size = (cookie >> 16) + 1;
    run_flags = take((size + 7) / 8);
  } else if (cookie == kCookieNoRuns) {
    const uint8_t* size_bytes = take(4);
    size = size_bytes ? load_le<uint32_t>(size_bytes) : 0;
    if (size_bytes && size > 65536) return {"bitmap container count over 65536", at - 4};
  } else {
    return {"not a bitmap (cookie)", 0};
  }
  const uint8_t* descriptions = take(size_t{size} * 4);
  const uint8_t* offsets = (!has_runs || size >= kNoOffsetThreshold) ? take(size_t{size} * 4) : nullptr;
  if ((has_runs && !run_flags) || !descriptions || ((!has_runs || size >= kNoOffsetThreshold) && !offsets)) {
    return {"bitmap header cut short", at};
  }
  for (uint32_t i = 0; i < size; ++i) {
    const uint16_t key = load_le<uint16_t>(descriptions + 4 * i);
    const uint32_t cardinality = uint32_t{load_le<uint16_t>(descriptions + 4 * i + 2)} + 1;
    if (i > 0 && key <= load_le<uint16_t>(descriptions + 4 * (i - 1))) return {"bitmap keys not ascending", at};
    if (offsets && load_le<uint32_t>(offsets + 4 * i) != at) return {"bitmap container offset is wrong", at};
    const size_t container_at = at;
    if (has_runs && (run_flags[i / 8] >> (i % 8)) & 1) {
      const uint8_t* count_bytes = take(2);
      const uint16_t run_count = count_bytes ? load_le<uint16_t>(count_bytes) : 0;
      const uint8_t* runs = count_bytes ? take(size_t{run_count} * 4) : nullptr;
      if (!runs) return {"bitmap run container cut short", container_at};
      uint32_t total = 0;
      int64_t previous_end = -1;
      for (uint16_t r = 0; r < run_count; ++r) {
        const uint32_t start = load_le<uint16_t>(runs + 4 * r);
        const uint32_t end = start + load_le<uint16_t>(runs + 4 * r + 2);
        if (end > 0xFFFF || int64_t{start} <= previous_end) return {"bitmap runs overlap or leave their container", container_at};
        previous_end = end;
        total += end - start + 1;
      }
      if (run_count == 0 || total != cardinality) return {"bitmap run container cardinality is wrong", container_at};
    } else if (cardinality <= kMaxArrayCardinality) {
      const uint8_t* values = take(size_t{cardinality} * 2);
      if (!values) return {"bitmap array container cut short", container_at};
      for (uint32_t v = 1; v < cardinality; ++v) {
        if (load_le<uint16_t>(values + 2 * v) <= load_le<uint16_t>(values + 2 * (v - 1))) {
          return {"bitmap array values not ascending", container_at};
        }
      }
    } else {
      const uint8_t* words = take(kBitsetWords * 8);
      if (!words) return {"bitmap bitset container cut short", container_at};
      uint32_t bits = 0;
      for (size_t w = 0; w < kBitsetWords; ++w) bits += static_cast<uint32_t>(std::popcount(load_le<uint64_t>(words + 8 * w)));
      if (bits != cardinality) return {"bitmap bitset cardinality is wrong", container_at};
    }
  }
  if (at != bytes.size()) return {"bytes left after the bitmap", at};
  return {std::string(), 0};
}

}  // namespace

// ---- Bitmaps ----

void encode_bitmap(const roaring::Roaring& bitmap, ByteWriter& out) {
  const size_t size = bitmap.getSizeInBytes(/*portable=*/true);
  out.u64(size);
  const size_t at = out.bytes.size();
  out.bytes.resize(at + size);
  bitmap.write(reinterpret_cast<char*>(out.bytes.data() + at), /*portable=*/true);
}

roaring::Roaring decode_bitmap(ByteReader& in) {
  const size_t size = in.count(1, "bitmap length");
  const uint64_t at = in.offset();
  const std::span<const uint8_t> bytes = in.raw(size, "bitmap");
  if (!in.ok()) return {};
  const auto [problem, offset] = portable_bitmap_problem(bytes);
  if (!problem.empty()) {
    in.fail_at(at + offset, problem);
    return {};
  }
  try {
    return roaring::Roaring::readSafe(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  } catch (const std::exception&) {
    in.fail_at(at, "bitmap refused by the reader");
    return {};
  }
}

// ---- Numeric trees ----

void encode_interval_tree(const IntervalTree& tree, ByteWriter& out) {
  out.u64(tree.group_values().size());
  for (double value : tree.group_values()) out.f64(value);
  for (uint32_t start : tree.group_starts()) out.u32(start);
  out.u64(tree.ids().size());
  for (uint32_t id : tree.ids()) out.u32(id);
}

IntervalTree decode_interval_tree(ByteReader& in, double tolerance) {
  const uint64_t at = in.offset();
  const size_t group_count = in.count(12, "group count");
  std::vector<double> values(group_count);
  for (double& value : values) value = in.f64("group value");
  std::vector<uint32_t> starts(in.ok() ? group_count + 1 : 0);
  for (uint32_t& start : starts) start = in.u32("group start");
  const size_t id_count = in.count(4, "id count");
  std::vector<uint32_t> ids(id_count);
  for (uint32_t& id : ids) id = in.u32("id");
  if (!in.ok()) return {};
  Result<IntervalTree> tree =
      IntervalTree::from_parts(std::move(values), std::move(starts), std::move(ids), tolerance);
  if (!tree.ok()) {
    in.fail_at(at, "numeric tree: " + tree.error().message);
    return {};
  }
  return std::move(tree.value());
}

// ---- Expiry ----

void encode_expiry_table(const ExpiryTable& table, ByteWriter& out) {
  std::vector<std::pair<uint32_t, uint64_t>> by_id(table.by_id.begin(), table.by_id.end());
  std::sort(by_id.begin(), by_id.end());
  out.u64(by_id.size());
  for (const auto& [id, expires_at] : by_id) {
    out.u32(id);
    out.u64(expires_at);
  }
}

ExpiryTable decode_expiry_table(ByteReader& in) {
  ExpiryTable table;
  const size_t count = in.count(12, "expiry count");
  int64_t previous = -1;
  for (size_t i = 0; i < count && in.ok(); ++i) {
    const uint64_t at = in.offset();
    const uint32_t id = in.u32("expiry id");
    const uint64_t expires_at = in.u64("expiry time");
    if (in.ok() && int64_t{id} <= previous) in.fail_at(at, "expiry ids not ascending");
    previous = id;
    if (in.ok()) table.set(id, expires_at);
  }
  return in.ok() ? table : ExpiryTable{};
}

// ---- Metadata entries ----

void encode_metadata_entries(const MetadataEntries& entries, ByteWriter& out) {
  ByteWriter listed;
  uint64_t count = 0;
  entries.for_each_page([&](uint64_t first_id, const MetadataEntryPage& page) {
    for (uint32_t slot = 0; slot < MetadataEntryPage::kSlots; ++slot) {
      if (!page.present[slot]) continue;
      listed.u32(static_cast<uint32_t>(first_id + slot));
      listed.u32(page.entries[slot].offset);
      listed.u32(page.entries[slot].length);
      ++count;
    }
  });
  out.u64(count);
  out.raw(listed.bytes.data(), listed.bytes.size());
}

void decode_metadata_entries(ByteReader& in, uint64_t covered_length, MetadataEntries& into) {
  const size_t count = in.count(12, "entry count");
  MetadataEntries entries;
  int64_t previous = -1;
  for (size_t i = 0; i < count && in.ok(); ++i) {
    const uint64_t at = in.offset();
    const uint32_t id = in.u32("entry id");
    const MetadataEntry entry{in.u32("entry offset"), in.u32("entry length")};
    if (!in.ok()) break;
    if (int64_t{id} <= previous) in.fail_at(at, "entry ids not ascending");
    if (uint64_t{entry.offset} + entry.length > covered_length) {
      in.fail_at(at, "entry of id " + std::to_string(id) + " lies past the " + std::to_string(covered_length) +
                         " bytes of metadata the checkpoint covers");
    }
    previous = id;
    MetadataEntryPage& page = entries.get_or_create(id);
    page.entries[MetadataEntries::slot_of(id)] = entry;
    page.present[MetadataEntries::slot_of(id)] = true;
  }
  if (in.finish().ok()) into = std::move(entries);
}

// ---- The filter engine ----

void encode_filter_engine(const FilterEngine& engine, ByteWriter& out) {
  {
    SharedLock lock(engine.all_docs.lock);
    encode_bitmap(engine.all_docs.value, out);
  }
  {
    SharedLock lock(engine.field_presence.lock);
    out.u64(engine.field_presence.value.size());
    for (const auto& [path, ids] : engine.field_presence.value) {
      out.text(path);
      encode_bitmap(ids, out);
    }
  }
  {
    SharedLock lock(engine.value_index.lock);
    out.u64(engine.value_index.value.size());
    for (const auto& [path, sets] : engine.value_index.value) {
      out.text(path);
      out.u64(sets.size());
      for (const auto& [hash, ids] : sets) {
        out.u64(hash);
        encode_bitmap(ids, out);
      }
    }
  }
  {
    SharedLock lock(engine.numeric_trees.lock);
    out.u64(engine.numeric_trees.value.size());
    for (const auto& [path, tree] : engine.numeric_trees.value) {
      out.text(path);
      encode_interval_tree(tree, out);
    }
  }
  SharedLock lock(engine.pending_numeric.lock);
  out.u64(engine.pending_numeric.value.size());
  for (const auto& [path, pairs] : engine.pending_numeric.value) {
    out.text(path);
    out.u64(pairs.size());
    for (const auto& [value, id] : pairs) {
      out.f64(value);
      out.u32(id);
    }
  }
}

void decode_filter_engine(ByteReader& in, FilterEngine& into) {
  // A path with its map entry, refusing a path seen before in the same map.
  auto read_path = [&in](auto& map) -> decltype(&map.begin()->second) {
    const uint64_t at = in.offset();
    const std::string_view path = in.text("field path");
    if (!in.ok()) return nullptr;
    auto [slot, created] = map.try_emplace(std::string(path));
    if (!created) {
      in.fail_at(at, "field path listed twice");
      return nullptr;
    }
    return &slot->second;
  };

  roaring::Roaring all_docs = decode_bitmap(in);
  std::unordered_map<std::string, roaring::Roaring> presence;
  for (size_t i = 0, n = in.count(12, "path count"); i < n && in.ok(); ++i) {
    if (auto* ids = read_path(presence)) *ids = decode_bitmap(in);
  }
  std::unordered_map<std::string, ValueSets> values;
  for (size_t i = 0, n = in.count(12, "path count"); i < n && in.ok(); ++i) {
    ValueSets* sets = read_path(values);
    for (size_t j = 0, m = sets ? in.count(16, "value count") : 0; j < m && in.ok(); ++j) {
      const uint64_t at = in.offset();
      const uint64_t hash = in.u64("value hash");
      auto [slot, created] = sets->try_emplace(hash);
      if (!created) in.fail_at(at, "value hash listed twice");
      if (in.ok()) slot->second = decode_bitmap(in);
    }
  }
  std::unordered_map<std::string, IntervalTree> trees;
  for (size_t i = 0, n = in.count(12, "path count"); i < n && in.ok(); ++i) {
    if (auto* tree = read_path(trees)) *tree = decode_interval_tree(in, into.grouping_tolerance());
  }
  std::unordered_map<std::string, std::vector<NumericPair>> pending;
  for (size_t i = 0, n = in.count(12, "path count"); i < n && in.ok(); ++i) {
    auto* pairs = read_path(pending);
    const size_t count = pairs ? in.count(12, "pending count") : 0;
    if (!in.ok()) break;
    pairs->resize(count);
    for (auto& [value, id] : *pairs) {
      const uint64_t at = in.offset();
      value = in.f64("pending value");
      id = in.u32("pending id");
      if (in.ok() && !std::isfinite(value)) in.fail_at(at, "pending value is not finite");
    }
  }
  if (!in.finish().ok()) return;
  {
    WriteLock lock(into.all_docs.lock);
    into.all_docs.value = std::move(all_docs);
  }
  {
    WriteLock lock(into.field_presence.lock);
    into.field_presence.value = std::move(presence);
  }
  {
    WriteLock lock(into.value_index.lock);
    into.value_index.value = std::move(values);
  }
  // Lock order of the engine: pending_numeric, then numeric_trees.
  WriteLock pending_lock(into.pending_numeric.lock);
  WriteLock trees_lock(into.numeric_trees.lock);
  into.pending_numeric.value = std::move(pending);
  into.numeric_trees.value = std::move(trees);
}

// ---- The whole file ----

Result<ManifestFile> write_state_file(const std::string& directory, uint64_t generation, const DocumentLedger& ledger,
                                      const MetadataCoverage& coverage) {
  return write_checkpoint_file(
      directory, generation_file_name("state", generation), CheckpointFileKind::kState,
      [&](CheckpointFileWriter& writer) -> Status {
        auto section = [&](uint32_t kind, auto&& encode) -> Status {
          ByteWriter out;
          encode(out);
          return writer.add_section(kind, out.bytes);
        };
        Status status = section(kIdBoundSection, [&](ByteWriter& out) { out.u64(ledger.id_bound()); });
        if (!status.ok()) return status;
        status = section(kDeletedSection, [&](ByteWriter& out) {
          SharedLock lock(ledger.deleted->lock);
          encode_bitmap(ledger.deleted->value, out);
        });
        if (!status.ok()) return status;
        status = section(kExpirySection, [&](ByteWriter& out) {
          SharedLock lock(ledger.expirations->lock);
          encode_expiry_table(ledger.expirations->value, out);
        });
        if (!status.ok()) return status;
        status = section(kMetadataEntriesSection, [&](ByteWriter& out) {
          SharedLock lock(ledger.metadata->entries.lock);
          encode_metadata_entries(ledger.metadata->entries.value, out);
        });
        if (!status.ok()) return status;
        status = section(kMetadataCoverageSection, [&](ByteWriter& out) { encode_metadata_coverage(coverage, out); });
        if (!status.ok()) return status;
        return section(kFilterEngineSection, [&](ByteWriter& out) { encode_filter_engine(*ledger.filter, out); });
      });
}

Result<MetadataCoverage> load_state_file(const std::string& directory, const ManifestFile& expected,
                                         DocumentLedger& ledger) {
  const std::string path = path_in(directory, expected.name);
  Result<std::shared_ptr<MappedFile>> mapping = MappedFile::map_private(path);
  if (!mapping.ok()) return mapping.error();
  return load_state_from_bytes(path, mapping.value()->bytes(), expected, ledger);
}

Result<MetadataCoverage> load_state_from_bytes(const std::string& path, std::span<const uint8_t> bytes,
                                               const ManifestFile& expected, DocumentLedger& ledger) {
  Result<std::vector<CheckpointSection>> sections =
      parse_checkpoint_file(path, bytes, CheckpointFileKind::kState, expected);
  if (!sections.ok()) return sections.error();
  const CheckpointFileView file{nullptr, std::move(sections.value())};
  // Each section's reader, or the error of a missing section.
  auto reader_for = [&](uint32_t kind) -> Result<ByteReader> {
    Result<CheckpointSection> section = file.section(kind);
    if (!section.ok()) return value_error(path + ": " + section.error().message);
    return ByteReader(path, section.value().payload, section.value().offset);
  };
  const uint32_t kinds[] = {kIdBoundSection,          kDeletedSection,          kExpirySection,
                            kMetadataCoverageSection, kMetadataEntriesSection, kFilterEngineSection};
  MetadataCoverage coverage;
  for (uint32_t kind : kinds) {
    Result<ByteReader> reader = reader_for(kind);
    if (!reader.ok()) return reader.error();
    ByteReader& in = reader.value();
    switch (kind) {
      case kIdBoundSection: {
        const uint64_t bound = in.u64("id bound");
        if (in.ok() && bound > (uint64_t{1} << 32)) in.fail_at(in.offset() - 8, "id bound over 2^32");
        if (in.finish().ok()) {
          WriteLock lock(ledger.next_id->lock);
          ledger.next_id->value = bound;
        }
        break;
      }
      case kDeletedSection: {
        roaring::Roaring deleted = decode_bitmap(in);
        if (in.finish().ok()) {
          WriteLock lock(ledger.deleted->lock);
          ledger.deleted->value = std::move(deleted);
        }
        break;
      }
      case kExpirySection: {
        ExpiryTable table = decode_expiry_table(in);
        if (in.finish().ok()) {
          WriteLock lock(ledger.expirations->lock);
          ledger.expirations->value = std::move(table);
        }
        break;
      }
      case kMetadataCoverageSection:
        coverage = decode_metadata_coverage(in);
        (void)in.finish();
        break;
      case kMetadataEntriesSection: {
        WriteLock lock(ledger.metadata->entries.lock);
        decode_metadata_entries(in, coverage.covered_length, ledger.metadata->entries.value);
        break;
      }
      case kFilterEngineSection:
        decode_filter_engine(in, *ledger.filter);
        break;
    }
    if (!in.ok()) return in.status().error();
  }
  if (Status verified = verify_metadata_coverage(coverage, ledger.metadata->path); !verified.ok()) {
    return verified.error();
  }
  return coverage;
}

}  // namespace vendrel
