#include "metadata_store.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

namespace vendrel {
namespace {

namespace fs = std::filesystem;

class MetadataStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "vendrel-metadata-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    directory_ = pattern;
  }
  void TearDown() override {
    fs::permissions(directory_, fs::perms::owner_all, fs::perm_options::add);
    fs::remove_all(directory_);
  }
  std::string file_path() const { return metadata_path_for(directory_.string()); }
  std::string file_bytes() const {
    std::ifstream in(file_path(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  fs::path directory_;
};

TEST(MetadataPathTest, JoinsTheDirectoryAndTheFileName) {
  EXPECT_EQ(metadata_path_for(""), "metadata.bin");
  EXPECT_EQ(metadata_path_for("x/"), "x/metadata.bin");
  EXPECT_EQ(metadata_path_for("x"), "x/metadata.bin");
}

TEST(Utf8DecodeTest, ReplacesEachMaximalInvalidSubpart) {
  const std::string replacement = "\xEF\xBF\xBD";
  EXPECT_EQ(decode_utf8_lossy("plain \xC3\xA9 \xF0\x9F\x98\x80"), "plain \xC3\xA9 \xF0\x9F\x98\x80");
  EXPECT_EQ(decode_utf8_lossy("\xE2\x82"), replacement);                     // truncated sequence
  EXPECT_EQ(decode_utf8_lossy("\xE2\x82x"), replacement + "x");
  EXPECT_EQ(decode_utf8_lossy("\xFF\xFE"), replacement + replacement);        // invalid lead bytes
  EXPECT_EQ(decode_utf8_lossy("\xED\xA0\x80"), replacement + replacement + replacement);  // surrogate
  EXPECT_EQ(decode_utf8_lossy("\xC0\xAF"), replacement + replacement);        // overlong
  EXPECT_EQ(decode_utf8_lossy("\xF4\x90\x80\x80"), replacement + replacement + replacement + replacement);
  EXPECT_EQ(decode_utf8_lossy("\xF0\x9F\x98"), replacement);
}

TEST_F(MetadataStoreTest, AppendsRecordOffsetsAndASecondStoreContinuesTheFile) {
  MetadataStore store(file_path());
  ASSERT_TRUE(store.append(3, R"({"a":1})").ok());
  ASSERT_TRUE(store.append(0, "[1]").ok());
  ASSERT_TRUE(store.append(3, R"({"b":2})").ok());  // replaces id 3's entry, not its bytes
  EXPECT_EQ(store.entry(3)->offset, 10u);
  EXPECT_EQ(store.entry(3)->length, 7u);
  EXPECT_EQ(*store.read(3), R"({"b":2})");
  EXPECT_EQ(*store.read(0), "[1]");
  EXPECT_FALSE(store.read(1).has_value());
  EXPECT_FALSE(store.read(4'000'000'000u).has_value());

  MetadataStore reopened(file_path());
  EXPECT_FALSE(reopened.entry(3).has_value());
  ASSERT_TRUE(reopened.append(0, "{}").ok());
  EXPECT_EQ(reopened.entry(0)->offset, 17u);
  EXPECT_EQ(file_bytes(), R"({"a":1}[1]{"b":2}{})");
}

TEST_F(MetadataStoreTest, ReadsFailQuietlyWhenTheFileChangedBehindTheStore) {
  MetadataStore store(file_path());
  ASSERT_TRUE(store.append(0, "{}").ok());
  ASSERT_TRUE(store.append(1, "").ok());
  ASSERT_TRUE(store.append(2, "\"caf\xC3\xA9\"").ok());
  EXPECT_EQ(store.entry(1)->offset, 2u);
  EXPECT_EQ(*store.read(1), "");

  // Altered bytes read back with replacements.
  {
    std::fstream file(file_path(), std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(6);
    file.put('\xFF');
  }
  EXPECT_EQ(*store.read(2), "\"caf\xEF\xBF\xBD\xEF\xBF\xBD\"");

  fs::resize_file(file_path(), 5);
  EXPECT_EQ(*store.read(0), "{}");
  EXPECT_FALSE(store.read(2).has_value());
  fs::remove(file_path());
  EXPECT_FALSE(store.read(0).has_value());
  EXPECT_EQ(*store.read(1), "");  // an empty text needs no file
}

TEST_F(MetadataStoreTest, OperatingSystemErrorsLeaveTheEntryUnset) {
  MetadataStore missing_directory((directory_ / "absent" / "metadata.bin").string());
  const Status status = missing_directory.append(0, "{}");
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().kind, ErrorKind::kValue);
  EXPECT_EQ(status.error().message, "No such file or directory (os error 2)");
  EXPECT_FALSE(missing_directory.entry(0).has_value());

  if (::geteuid() == 0) GTEST_SKIP() << "root ignores directory permissions";
  fs::permissions(directory_, fs::perms::owner_read | fs::perms::owner_exec);
  MetadataStore read_only(file_path());
  const Status denied = read_only.append(0, "{}");
  ASSERT_FALSE(denied.ok());
  EXPECT_EQ(denied.error().message, "Permission denied (os error 13)");
}

TEST_F(MetadataStoreTest, FourGigabyteLimits) {
  MetadataStore store(file_path());
  // A 4 GiB text without 4 GiB of memory: reserved, never touched address space.
  constexpr size_t kFourGigabytes = size_t{1} << 32;
  void* huge = ::mmap(nullptr, kFourGigabytes, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(huge, MAP_FAILED);
  const Status too_long = store.append(0, std::string_view(static_cast<const char*>(huge), kFourGigabytes));
  ::munmap(huge, kFourGigabytes);
  ASSERT_FALSE(too_long.ok());
  EXPECT_EQ(too_long.error().message, "Metadata too long (max 4GB)");
  EXPECT_FALSE(fs::exists(file_path()));

  { std::ofstream create(file_path()); }
  fs::resize_file(file_path(), kFourGigabytes);  // sparse
  const Status too_large = store.append(0, "{}");
  ASSERT_FALSE(too_large.ok());
  EXPECT_EQ(too_large.error().message, "File too large (max 4GB)");
  EXPECT_EQ(fs::file_size(file_path()), kFourGigabytes);
  EXPECT_FALSE(store.entry(0).has_value());
}

}  // namespace
}  // namespace vendrel
