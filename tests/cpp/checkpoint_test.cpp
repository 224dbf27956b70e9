#include "checkpoint.h"

#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "crc32c.h"
#include "power_loss.h"
#include "temp_directory.h"

namespace vendrel {
namespace {

std::span<const uint8_t> as_bytes(const std::string& text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

Manifest sample_manifest() {
  Manifest manifest;
  manifest.generation = 4;
  manifest.log_name = "log-4";
  manifest.log_first_sequence = 1234;
  manifest.files = {{"state-4", 100, 0xABCD}, {"rows-4", 1ull << 33, 7}};
  manifest.settings = {{"index", "hnsw"}, {"dimension", "768"}, {"empty", ""}};
  return manifest;
}

void expect_same(const Manifest& left, const Manifest& right) {
  EXPECT_EQ(left.generation, right.generation);
  EXPECT_EQ(left.log_name, right.log_name);
  EXPECT_EQ(left.log_first_sequence, right.log_first_sequence);
  ASSERT_EQ(left.files.size(), right.files.size());
  for (size_t i = 0; i < left.files.size(); ++i) {
    EXPECT_EQ(left.files[i].name, right.files[i].name);
    EXPECT_EQ(left.files[i].size, right.files[i].size);
    EXPECT_EQ(left.files[i].digest, right.files[i].digest);
  }
  EXPECT_EQ(left.settings, right.settings);
}

TEST(ManifestTest, RoundTripsAndRefusesEveryFlipAndCut) {
  const std::vector<uint8_t> bytes = encode_manifest(sample_manifest());
  Result<Manifest> back = decode_manifest("MANIFEST", bytes);
  ASSERT_TRUE(back.ok()) << back.error().message;
  expect_same(back.value(), sample_manifest());
  for (size_t bit = 0; bit < bytes.size() * 8; ++bit) {
    std::vector<uint8_t> damaged = bytes;
    damaged[bit / 8] ^= static_cast<uint8_t>(1 << (bit % 8));
    Result<Manifest> refused = decode_manifest("MANIFEST", damaged);
    ASSERT_FALSE(refused.ok()) << bit;
    EXPECT_EQ(refused.error().message.rfind("MANIFEST: byte offset ", 0), 0u) << refused.error().message;
  }
  for (size_t length = 0; length < bytes.size(); ++length) {
    EXPECT_FALSE(decode_manifest("MANIFEST", std::span(bytes).first(length)).ok()) << length;
  }
}

TEST(ManifestTest, NewerFormatSaysSo) {
  Manifest newer = sample_manifest();
  newer.format_version = kCheckpointFormatVersion + 1;
  Result<Manifest> refused = decode_manifest("/db/MANIFEST", encode_manifest(newer));
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().message, "/db/MANIFEST: byte offset 8: format version 3, newer than this build reads (2); "
                                     "open it with a newer version");
}

// A state-kind file with three sections, one of them streamed in pieces.
Result<ManifestFile> write_sample(const std::string& directory) {
  return write_checkpoint_file(directory, "state-4", CheckpointFileKind::kState, [](CheckpointFileWriter& writer) {
    Status status = writer.add_section(7, as_bytes("first payload"));
    if (!status.ok()) return status;
    status = writer.add_streamed_section(8, [](const CheckpointFileWriter::WriteBytes& write) {
      for (const char* piece : {"str", "eam", "ed"}) {
        if (Status written = write(piece, std::strlen(piece)); !written.ok()) return written;
      }
      return ok_status();
    });
    if (!status.ok()) return status;
    return writer.add_section(9, {});
  });
}

TEST(CheckpointFileTest, SectionsComeBackAndAnyDamageNamesFileAndOffset) {
  TempDirectory dir;
  Result<ManifestFile> entry = write_sample(dir.path());
  ASSERT_TRUE(entry.ok()) << entry.error().message;
  EXPECT_EQ(entry.value().size, std::filesystem::file_size(dir.file("state-4")));
  Result<CheckpointFileView> view = open_checkpoint_file(dir.path(), entry.value(), CheckpointFileKind::kState);
  ASSERT_TRUE(view.ok()) << view.error().message;
  ASSERT_EQ(view.value().sections.size(), 3u);
  auto text = [](const CheckpointSection& s) { return std::string(s.payload.begin(), s.payload.end()); };
  EXPECT_EQ(text(view.value().sections[0]), "first payload");
  EXPECT_EQ(text(view.value().section(8).value()), "streamed");
  EXPECT_TRUE(view.value().section(9).value().payload.empty());
  EXPECT_FALSE(view.value().section(10).ok());
  // The wrong kind of file is refused.
  EXPECT_FALSE(open_checkpoint_file(dir.path(), entry.value(), CheckpointFileKind::kRows).ok());

  const std::string bytes = read_bytes(dir.file("state-4"));
  const std::string prefix = dir.file("state-4") + ": byte offset ";
  for (size_t bit = 0; bit < bytes.size() * 8; ++bit) {
    std::string damaged = bytes;
    damaged[bit / 8] = static_cast<char>(damaged[bit / 8] ^ (1 << (bit % 8)));
    Result<std::vector<CheckpointSection>> parsed = parse_checkpoint_file(
        dir.file("state-4"), as_bytes(damaged), CheckpointFileKind::kState, entry.value());
    ASSERT_FALSE(parsed.ok()) << bit;
    EXPECT_EQ(parsed.error().message.rfind(prefix, 0), 0u) << parsed.error().message;
  }
  // Cut anywhere, even with a manifest that agrees on the size: refused.
  for (size_t length = 0; length < bytes.size(); ++length) {
    ManifestFile agreeing = entry.value();
    agreeing.size = length;
    EXPECT_FALSE(parse_checkpoint_file(dir.file("state-4"), as_bytes(bytes.substr(0, length)),
                                       CheckpointFileKind::kState, agreeing).ok()) << length;
  }
}

TEST(CheckpointFileTest, GraphBlobComesBackAfterItsChecksum) {
  TempDirectory dir;
  const std::string blob(100000, 'g');
  Result<ManifestFile> entry = write_graph_file(dir.path(), 3, [&](const auto& write) {
    for (size_t at = 0; at < blob.size(); at += 30000) {
      if (Status s = write(blob.data() + at, std::min<size_t>(30000, blob.size() - at)); !s.ok()) return s;
    }
    return ok_status();
  });
  ASSERT_TRUE(entry.ok());
  EXPECT_EQ(entry.value().name, "graph-3");
  Result<GraphBlob> back = read_graph_file(dir.path(), entry.value());
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(std::string(back.value().bytes.begin(), back.value().bytes.end()), blob);
  // A failing saver leaves no file.
  Result<ManifestFile> failed =
      write_graph_file(dir.path(), 4, [](const auto&) { return Status(value_error("graph refused")); });
  ASSERT_FALSE(failed.ok());
  EXPECT_FALSE(std::filesystem::exists(dir.file("graph-4")));
}

TEST(CommitCheckpointTest, PowerLossAtAnyFlushLeavesTheOldOrTheNewCheckpointWhole) {
  TempDirectory dir;
  // Generation 1 is committed; generation 2 is written and committed while the model
  // snapshots the durable image at every flush.
  Manifest first;
  first.generation = 1;
  first.log_name = "log-1";
  Result<ManifestFile> state1 = write_sample(dir.path());
  ASSERT_TRUE(state1.ok());
  first.files = {state1.value()};
  ASSERT_TRUE(commit_checkpoint(dir.path(), first).ok());

  std::vector<std::map<std::string, std::string>> images;
  PowerLossModel model(dir.path(), [&](const FlushEvent&) { images.push_back(model.image()); });
  Manifest second = first;
  second.generation = 2;
  second.log_name = "log-2";
  Result<ManifestFile> graph = write_graph_file(dir.path(), 2, [](const auto& write) { return write("g", 1); });
  ASSERT_TRUE(graph.ok());
  second.files.push_back(graph.value());
  ASSERT_TRUE(commit_checkpoint(dir.path(), second).ok());
  ASSERT_GE(images.size(), 4u);

  for (size_t i = 0; i < images.size(); ++i) {
    TempDirectory after;
    for (const auto& [name, bytes] : images[i]) write_bytes(after.file(name), bytes);
    Result<std::optional<Manifest>> manifest = read_manifest(after.path());
    ASSERT_TRUE(manifest.ok()) << i << ": " << manifest.error().message;
    ASSERT_TRUE(manifest.value().has_value()) << i;
    // Every file the surviving manifest names is there and whole.
    for (const ManifestFile& file : manifest.value()->files) {
      const CheckpointFileKind kind = file.name[0] == 'g' ? CheckpointFileKind::kGraph : CheckpointFileKind::kState;
      EXPECT_TRUE(open_checkpoint_file(after.path(), file, kind).ok()) << i << " " << file.name;
    }
  }
  EXPECT_EQ(read_manifest(dir.path()).value()->generation, 2u);

  // Leftovers of other generations and temporary files go; the manifest's files stay.
  write_bytes(dir.file("rows-1"), "old");
  write_bytes(dir.file("log-1"), "old");
  write_bytes(dir.file("MANIFEST.tmp"), "half");
  write_bytes(dir.file("metadata.bin"), "texts");
  ASSERT_TRUE(remove_stale_files(dir.path(), second).ok());
  std::set<std::string> left;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) left.insert(entry.path().filename());
  EXPECT_EQ(left, (std::set<std::string>{"MANIFEST", "state-4", "graph-2", "metadata.bin"}));
}

TEST(CommitCheckpointTest, MissingManifestIsANewDatabase) {
  TempDirectory dir;
  Result<std::optional<Manifest>> none = read_manifest(dir.path());
  ASSERT_TRUE(none.ok());
  EXPECT_FALSE(none.value().has_value());
}

}  // namespace
}  // namespace vendrel
