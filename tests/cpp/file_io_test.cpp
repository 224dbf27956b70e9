#include "file_io.h"

#include <fcntl.h>
#include <sys/uio.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "power_loss.h"
#include "temp_directory.h"

namespace vendrel {
namespace {

Status write_text(File& file, const std::string& text) { return file.write_all(text.data(), text.size()); }

TEST(AtomicReplaceTest, WritesFlushesRenamesThenFlushesTheDirectory) {
  TempDirectory dir;
  std::vector<std::string> events;
  PowerLossModel model(dir.path(), [&](const FlushEvent& event) {
    const char* kinds[] = {"datasync", "rename", "dirsync"};
    events.push_back(std::string(kinds[static_cast<int>(event.kind)]) + " " +
                     std::filesystem::path(event.target.empty() ? event.path : event.target).filename().string());
  });
  ASSERT_TRUE(replace_file_atomically(dir.path(), "MANIFEST", [](File& f) { return write_text(f, "one"); }).ok());
  EXPECT_EQ(events, (std::vector<std::string>{"datasync MANIFEST.tmp", "rename MANIFEST", "dirsync " +
                                                  std::filesystem::path(dir.path()).filename().string()}));
  EXPECT_EQ(model.image().at("MANIFEST"), "one");

  // A failing writer leaves the old contents and no temporary file behind.
  Status failed = replace_file_atomically(dir.path(), "MANIFEST", [](File& f) -> Status {
    (void)write_text(f, "partial");
    return value_error("writer failed");
  });
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().message, "writer failed");
  EXPECT_EQ(read_bytes(dir.file("MANIFEST")), "one");
  EXPECT_FALSE(std::filesystem::exists(dir.file("MANIFEST.tmp")));
}

TEST(PowerLossModelTest, KeepsOnlySyncedBytesUnderSyncedNames) {
  TempDirectory dir;
  PowerLossModel model(dir.path());
  Result<File> file = File::open(dir.file("a"), O_WRONLY | O_CREAT);
  ASSERT_TRUE(file.ok());
  ASSERT_TRUE(write_text(file.value(), "synced").ok());
  ASSERT_TRUE(file.value().sync_data().ok());
  ASSERT_TRUE(write_text(file.value(), " lost").ok());
  EXPECT_TRUE(model.image().empty());  // the name itself is not durable yet
  ASSERT_TRUE(sync_directory(dir.path()).ok());
  EXPECT_EQ(model.image().at("a"), "synced");
}

TEST(DirectoryLockTest, SecondHolderIsRefusedUntilTheFirstLetsGo) {
  TempDirectory dir;
  {
    Result<DirectoryLock> first = DirectoryLock::acquire(dir.path());
    ASSERT_TRUE(first.ok());
    Result<DirectoryLock> second = DirectoryLock::acquire(dir.path());
    ASSERT_FALSE(second.ok());
    EXPECT_EQ(second.error().message,
              "database directory " + dir.path() + " is open in another process or object; close it there first");
  }
  EXPECT_TRUE(DirectoryLock::acquire(dir.path()).ok());
  Result<DirectoryLock> missing = DirectoryLock::acquire(dir.file("absent/deeper"));
  ASSERT_FALSE(missing.ok());
  EXPECT_NE(missing.error().message.find("absent/deeper/LOCK"), std::string::npos);
}

TEST(MappedFileTest, WritesStayInTheMappingAndEmptyFilesMapEmpty) {
  TempDirectory dir;
  write_bytes(dir.file("data"), "abcdef");
  Result<std::shared_ptr<MappedFile>> mapped = MappedFile::map_private(dir.file("data"), /*populate=*/true);
  ASSERT_TRUE(mapped.ok());
  std::span<uint8_t> bytes = mapped.value()->bytes();
  ASSERT_EQ(bytes.size(), 6u);
  bytes[0] = 'X';
  EXPECT_EQ(bytes[0], 'X');
  EXPECT_EQ(read_bytes(dir.file("data")), "abcdef");

  write_bytes(dir.file("empty"), "");
  Result<std::shared_ptr<MappedFile>> empty = MappedFile::map_private(dir.file("empty"));
  ASSERT_TRUE(empty.ok());
  EXPECT_TRUE(empty.value()->bytes().empty());
  EXPECT_FALSE(MappedFile::map_private(dir.file("absent")).ok());
}

TEST(FileTest, PwritevWritesMorePiecesThanOneSystemCallTakes) {
  TempDirectory dir;
  Result<File> file = File::open(dir.file("pieces"), O_RDWR | O_CREAT);
  ASSERT_TRUE(file.ok());
  std::string expected;
  std::vector<std::string> texts;
  for (int i = 0; i < 3000; ++i) texts.push_back(std::to_string(i) + (i % 7 == 0 ? "" : ","));
  std::vector<iovec> pieces;
  for (std::string& text : texts) {
    pieces.push_back(iovec{text.data(), text.size()});
    expected += text;
  }
  ASSERT_TRUE(file.value().pwrite_all("head", 4, 0).ok());
  ASSERT_TRUE(file.value().pwritev_all(pieces, 4).ok());
  EXPECT_EQ(read_bytes(dir.file("pieces")), "head" + expected);
  std::string back(10, '\0');
  Result<size_t> got = file.value().pread_full(back.data(), back.size(), 4 + expected.size() - 3);
  ASSERT_TRUE(got.ok());
  EXPECT_EQ(got.value(), 3u);
}

}  // namespace
}  // namespace vendrel
