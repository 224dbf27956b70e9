#include "ledger_state.h"

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "crc32c.h"
#include "file_damage.h"
#include "temp_directory.h"

namespace vendrel {
namespace {

using Ids = std::vector<uint32_t>;

Ids ids_of(const roaring::Roaring& set) {
  Ids ids;
  for (uint32_t id : set) ids.push_back(id);
  return ids;
}

std::string random_metadata(std::mt19937& rng) {
  static const char* kColours[] = {"red", "green", "blue"};
  std::string text = "{";
  text += "\"colour\": \"" + std::string(kColours[rng() % 3]) + "\"";
  text += ", \"price\": " + std::to_string(static_cast<int>(rng() % 500)) + "." + std::to_string(rng() % 10);
  if (rng() % 2) text += ", \"tag\": {\"on\": " + std::string(rng() % 2 ? "true" : "false") + "}";
  if (rng() % 3 == 0) text += ", \"rank\": " + std::to_string(rng() % 40);
  return text + "}";
}

std::string random_filter(std::mt19937& rng) {
  static const char* kColours[] = {"red", "green", "blue", "mauve"};
  const char* ops[] = {"$lt", "$lte", "$gt", "$gte"};
  switch (rng() % 7) {
    case 0: return "{\"colour\": {\"$eq\": \"" + std::string(kColours[rng() % 4]) + "\"}}";
    case 1: return "{\"price\": {\"" + std::string(ops[rng() % 4]) + "\": " + std::to_string(rng() % 500) + "}}";
    case 2: return "{\"rank\": {\"$in\": [" + std::to_string(rng() % 40) + ", " + std::to_string(rng() % 40) + "]}}";
    case 3: return "{\"tag.on\": {\"$exists\": " + std::string(rng() % 2 ? "true" : "false") + "}}";
    case 4: return "{\"$not\": {\"tag.on\": {\"$eq\": true}}}";
    case 5: return "{\"colour\": {\"$nin\": [\"red\"]}}";
    default: return "{\"$and\": [{\"price\": {\"$gte\": 100}}, {\"colour\": {\"$ne\": \"blue\"}}]}";
  }
}

// Indexes `count` random documents, removing a few; numbers of "price" pass the flush
// threshold twice, so both trees and pending numbers are populated.
void fill_engine(FilterEngine& engine, std::mt19937& rng, uint32_t count) {
  std::vector<Result<JsonValue>> parsed;
  for (uint32_t id = 0; id < count; ++id) parsed.push_back(parse_json(random_metadata(rng)));
  std::vector<IndexedDocument> documents;
  for (uint32_t id = 0; id < count; ++id) documents.push_back({id * 3, &parsed[id].value()});
  engine.index_batch(documents);
  roaring::Roaring removed;
  for (int i = 0; i < 50; ++i) removed.add(static_cast<uint32_t>(rng() % (count * 3)));
  engine.remove_documents(removed);
}

TEST(LedgerStateTest, FilterEngineAnswersEveryFilterAsBefore) {
  std::mt19937 rng(11);
  FilterEngine engine;
  fill_engine(engine, rng, 12000);
  ByteWriter out;
  encode_filter_engine(engine, out);
  FilterEngine loaded;
  ByteReader in("state-1", out.bytes);
  decode_filter_engine(in, loaded);
  ASSERT_TRUE(in.ok()) << in.status().error().message;
  EXPECT_EQ(loaded.pending_numeric.value, engine.pending_numeric.value);
  EXPECT_FALSE(engine.pending_numeric.value.at("price").empty());
  EXPECT_EQ(loaded.numeric_trees.value.size(), engine.numeric_trees.value.size());
  for (int i = 0; i < 300; ++i) {
    const std::string filter = random_filter(rng);
    Result<OptionalIds> before = engine.apply_filter(filter);
    Result<OptionalIds> after = loaded.apply_filter(filter);
    ASSERT_TRUE(before.ok() && after.ok());
    ASSERT_EQ(before.value().has_value(), after.value().has_value()) << filter;
    if (before.value()) {
      ASSERT_EQ(ids_of(*before.value()), ids_of(*after.value())) << filter;
    }
  }
}

TEST(LedgerStateTest, BitmapsRoundTripAndMalformedContainersAreRefused) {
  std::mt19937 rng(3);
  roaring::Roaring mixed;
  for (uint32_t i = 0; i < 200; ++i) mixed.add(rng());                    // arrays
  for (uint32_t i = 0; i < 10000; ++i) mixed.add(1u << 20 | (rng() & 0xFFFF));  // a bitset
  mixed.addRange(5u << 16, (5u << 16) + 3000);                            // a run
  mixed.runOptimize();
  for (const roaring::Roaring& bitmap : {roaring::Roaring(), mixed}) {
    ByteWriter out;
    encode_bitmap(bitmap, out);
    ByteReader in("f", out.bytes);
    EXPECT_TRUE(decode_bitmap(in) == bitmap);
    EXPECT_TRUE(in.finish().ok());
  }
  // An array container with values out of order, and a run reaching past its
  // container: readSafe alone would take both.
  roaring::Roaring small;
  small.add(10);
  small.add(20);
  ByteWriter out;
  encode_bitmap(small, out);
  std::vector<uint8_t> unordered = out.bytes;
  std::swap(unordered[unordered.size() - 4], unordered[unordered.size() - 2]);
  ByteReader unordered_in("f", unordered);
  decode_bitmap(unordered_in);
  EXPECT_FALSE(unordered_in.ok());
  EXPECT_NE(unordered_in.status().error().message.find("array values not ascending"), std::string::npos);

  roaring::Roaring run;
  run.addRange(0xFFF0, 0x10000);
  run.runOptimize();
  ByteWriter run_out;
  encode_bitmap(run, run_out);
  std::vector<uint8_t> overflowing = run_out.bytes;
  ASSERT_GE(overflowing.size(), 4u);
  *(overflowing.end() - 4) = 0xFF;  // the run's start: now 0xFFFF with length 15
  ByteReader run_in("f", overflowing);
  decode_bitmap(run_in);
  EXPECT_FALSE(run_in.ok());
  EXPECT_NE(run_in.status().error().message.find("runs overlap or leave their container"), std::string::npos);
}

// A ledger with documents, expiry times and deletions, and its metadata covered.
struct SmallLedger {
  TempDirectory dir;
  DocumentLedger ledger = DocumentLedger::open(dir.file("db")).value();
  MetadataCoverage coverage;
  std::string db = dir.file("db");

  explicit SmallLedger(uint32_t count) {
    std::mt19937 rng(9);
    for (uint32_t id = 0; id < count; ++id) {
      const std::optional<int64_t> ttl = id % 4 == 0 ? std::optional<int64_t>(1000 + id) : std::nullopt;
      EXPECT_TRUE(ledger.record_document(id * 2, random_metadata(rng), ttl).ok());
      ledger.raise_id_bound(id * 2);
    }
    EXPECT_TRUE(ledger.delete_matching("{\"colour\": {\"$eq\": \"red\"}}", [](const roaring::Roaring&) {}).ok());
    coverage = extend_metadata_coverage({}, ledger.metadata->path,
                                        std::filesystem::file_size(ledger.metadata->path)).value();
  }
};

TEST(LedgerStateTest, StateFileRestoresEveryPartOfTheLedger) {
  SmallLedger small(300);
  Result<ManifestFile> entry = write_state_file(small.db, 5, small.ledger, small.coverage);
  ASSERT_TRUE(entry.ok()) << entry.error().message;
  EXPECT_EQ(entry.value().name, "state-5");

  DocumentLedger loaded = DocumentLedger::open(small.db).value();
  Result<MetadataCoverage> coverage = load_state_file(small.db, entry.value(), loaded);
  ASSERT_TRUE(coverage.ok()) << coverage.error().message;
  EXPECT_EQ(coverage.value().block_crcs, small.coverage.block_crcs);
  EXPECT_EQ(loaded.id_bound(), small.ledger.id_bound());
  EXPECT_TRUE(loaded.deleted->value == small.ledger.deleted->value);
  EXPECT_FALSE(loaded.deleted->value.isEmpty());
  EXPECT_EQ(loaded.expirations->value.by_id, small.ledger.expirations->value.by_id);
  EXPECT_EQ(loaded.expirations->value.by_time, small.ledger.expirations->value.by_time);
  for (uint32_t id = 0; id < 600; ++id) {
    ASSERT_EQ(loaded.metadata->read(id), small.ledger.metadata->read(id)) << id;
  }
  for (const char* filter : {"{\"price\": {\"$lt\": 250}}", "{\"colour\": {\"$eq\": \"blue\"}}"}) {
    EXPECT_EQ(ids_of(*loaded.filter->apply_filter(filter).value()),
              ids_of(*small.ledger.filter->apply_filter(filter).value()));
  }
}

TEST(LedgerStateTest, EveryFlipOrCutOfTheStateFileIsAnError) {
  SmallLedger small(6);
  Result<ManifestFile> entry = write_state_file(small.db, 1, small.ledger, small.coverage);
  ASSERT_TRUE(entry.ok());
  const std::string path = path_in(small.db, "state-1");
  const std::string bytes = read_bytes(path);
  auto load = [&](const std::string& variant, const ManifestFile& expected) {
    DocumentLedger loaded = DocumentLedger::open(small.db).value();
    return load_state_from_bytes(path, {reinterpret_cast<const uint8_t*>(variant.data()), variant.size()},
                                 expected, loaded);
  };
  expect_every_flip_and_cut_refused(path, bytes, entry.value(), load);
  write_bytes(path, bytes);
  std::filesystem::remove(path);
  DocumentLedger loaded = DocumentLedger::open(small.db).value();
  Result<MetadataCoverage> missing = load_state_file(small.db, entry.value(), loaded);
  ASSERT_FALSE(missing.ok());
  EXPECT_NE(missing.error().message.find("cannot open " + path), std::string::npos);
}

TEST(MetadataCoverageTest, ExtendsByReadingOnlyNewBlocksAndLocatesDamage) {
  TempDirectory dir;
  const std::string path = dir.file("metadata.bin");
  std::string bytes(kMetadataBlockSize * 2 + 100, 'a');
  write_bytes(path, bytes);
  Result<MetadataCoverage> first = extend_metadata_coverage({}, path, bytes.size());
  ASSERT_TRUE(first.ok());
  ASSERT_EQ(first.value().block_crcs.size(), 3u);
  ASSERT_TRUE(verify_metadata_coverage(first.value(), path).ok());

  // Damage in a block covered whole before is not read again by the extension (so the
  // old checksum stays and the damage is found); the short last block is re-read.
  bytes[10] = 'X';
  bytes += std::string(kMetadataBlockSize, 'b');
  write_bytes(path, bytes);
  Result<MetadataCoverage> second = extend_metadata_coverage(first.value(), path, bytes.size());
  ASSERT_TRUE(second.ok());
  ASSERT_EQ(second.value().block_crcs.size(), 4u);
  EXPECT_EQ(second.value().block_crcs[0], first.value().block_crcs[0]);
  EXPECT_EQ(second.value().block_crcs[2], crc32c(bytes.data() + 2 * kMetadataBlockSize, kMetadataBlockSize));
  Status damaged = verify_metadata_coverage(second.value(), path);
  ASSERT_FALSE(damaged.ok());
  EXPECT_EQ(damaged.error().message, path + ": byte offset 0: checksum mismatch in the block of 65536 bytes starting there");

  bytes[10] = 'a';
  bytes[3 * kMetadataBlockSize + 5] = 'Y';
  write_bytes(path, bytes);
  EXPECT_NE(verify_metadata_coverage(second.value(), path).error().message.find("byte offset 196608:"), std::string::npos);
  write_bytes(path, bytes.substr(0, 1000));
  EXPECT_NE(verify_metadata_coverage(second.value(), path).error().message.find("byte offset 1000: the file is 1000 bytes long"),
            std::string::npos);
  EXPECT_FALSE(extend_metadata_coverage(second.value(), path, 10).ok());
}

}  // namespace
}  // namespace vendrel
