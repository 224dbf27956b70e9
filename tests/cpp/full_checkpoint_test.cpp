// A checkpoint that fails part way, before or after its manifest is switched: the calls
// acknowledged afterwards must all be there when the directory is opened again after
// the process dies (here: the object dropped without close(), which writes nothing).
#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "checkpoint.h"
#include "full_core.h"
#include "temp_directory.h"

namespace vendrel {
namespace {

bool ends_with(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::unique_ptr<FullVendrelDB> open_database(const std::string& path) {
  Result<std::unique_ptr<FullVendrelDB>> opened = FullVendrelDB::open(path, FullSettings{});
  EXPECT_TRUE(opened.ok()) << opened.error().message;
  return opened.ok() ? std::move(opened.value()) : nullptr;
}

void add(FullVendrelDB& db, uint32_t id) {
  const std::vector<float> vector = {1.0f, static_cast<float>(id)};
  ASSERT_TRUE(db.add(id, vector, "{}", std::nullopt).ok());
}

std::set<uint32_t> stored_ids(FullVendrelDB& db) {
  Result<std::vector<SearchHit>> hits = db.search(std::vector<float>{1.0f, 1.0f}, 100, std::nullopt, false, 0);
  EXPECT_TRUE(hits.ok());
  std::set<uint32_t> ids;
  for (const SearchHit& hit : hits.value()) ids.insert(hit.id);
  return ids;
}

// A database holding id 1 whose checkpoint fails under `fault`; ids 2 and 3 are added
// after it (`between` runs first), then the object is dropped as if the process died.
// Returns the ids the directory holds when opened again.
template <typename Between>
std::set<uint32_t> ids_after_a_failed_checkpoint(const std::string& path, FlushFault fault, Between between) {
  {
    std::unique_ptr<FullVendrelDB> db = open_database(path);
    if (!db) return {};
    add(*db, 1);
    set_flush_fault(std::move(fault));
    Status failed = db->checkpoint();
    set_flush_fault({});
    EXPECT_FALSE(failed.ok());
    add(*db, 2);
    between(*db);
    add(*db, 3);
  }
  std::unique_ptr<FullVendrelDB> reopened = open_database(path);
  return reopened ? stored_ids(*reopened) : std::set<uint32_t>{};
}

// The flush of the directory right after MANIFEST's rename fails once (the rename itself
// was done): the new manifest is in place, so what follows must go to its log.
TEST(FullCheckpointTest, CallsAfterAFailedFlushOfTheSwitchedManifestSurviveAReopen) {
  TempDirectory directory;
  bool renamed = false;
  const auto fail_the_flush_after_the_rename = [&](const FlushEvent& event) {
    if (event.kind == FlushKind::kRename && ends_with(event.target, "/MANIFEST")) renamed = true;
    return event.kind == FlushKind::kDirectorySync && renamed ? EIO : 0;
  };
  EXPECT_EQ(ids_after_a_failed_checkpoint(directory.path() + "/db", fail_the_flush_after_the_rename,
                                          [](FullVendrelDB&) {}),
            (std::set<uint32_t>{1, 2, 3}));
}

// The rename fails: the previous checkpoint stays current, and a later checkpoint never
// rewrites the failed generation's name under a manifest.
TEST(FullCheckpointTest, CallsAfterAFailedSwitchSurviveARetriedCheckpointAndAReopen) {
  TempDirectory directory;
  const std::string path = directory.path() + "/db";
  const auto fail_the_rename = [](const FlushEvent& event) {
    return event.kind == FlushKind::kRename && ends_with(event.target, "/MANIFEST") ? EIO : 0;
  };
  const auto checkpoint = [](FullVendrelDB& db) { EXPECT_TRUE(db.checkpoint().ok()); };
  EXPECT_EQ(ids_after_a_failed_checkpoint(path, fail_the_rename, checkpoint), (std::set<uint32_t>{1, 2, 3}));
  Result<std::optional<Manifest>> manifest = read_manifest(path);
  ASSERT_TRUE(manifest.ok() && manifest.value());
  EXPECT_EQ(manifest.value()->generation, 3u);  // 1 at creation, 2 failed
}

// The manifest cannot even be read back after the failure: writes are refused until a
// reopen, and close() still releases the directory for it.
TEST(FullCheckpointTest, AnUnreadableManifestAfterAFailedCheckpointRefusesWritesAndStillCloses) {
  TempDirectory directory;
  const std::string path = directory.path() + "/db";
  std::unique_ptr<FullVendrelDB> db = open_database(path);
  ASSERT_TRUE(db);
  add(*db, 1);
  bool renamed = false;
  set_flush_fault([&](const FlushEvent& event) {
    if (event.kind == FlushKind::kRename && ends_with(event.target, "/MANIFEST")) renamed = true;
    if (event.kind != FlushKind::kDirectorySync || !renamed) return 0;
    std::filesystem::resize_file(path + "/MANIFEST", 3);  // unreadable from here on
    return EIO;
  });
  Status failed = db->checkpoint();
  set_flush_fault({});
  ASSERT_FALSE(failed.ok());
  Status refused = db->add(2, std::vector<float>{1.0f, 2.0f}, "{}", std::nullopt);
  ASSERT_FALSE(refused.ok());
  EXPECT_NE(refused.error().message.find("reopen the database"), std::string::npos) << refused.error().message;
  EXPECT_TRUE(db->close().ok());
  Result<std::unique_ptr<FullVendrelDB>> reopened = FullVendrelDB::open(path, FullSettings{});
  ASSERT_FALSE(reopened.ok());  // the damaged manifest, not the lock
  EXPECT_EQ(reopened.error().message.find("is open in another process"), std::string::npos) << reopened.error().message;
}

// The directories an open creates are named durably: each one's parent is flushed.
TEST(FullCheckpointTest, CreatedDirectoriesAreFlushedIntoTheirParents) {
  TempDirectory directory;
  std::vector<std::string> flushed;
  set_flush_observer([&](const FlushEvent& event) {
    if (event.kind == FlushKind::kDirectorySync) flushed.push_back(event.path);
  });
  std::unique_ptr<FullVendrelDB> db = open_database(directory.path() + "/new/db");
  set_flush_observer({});
  ASSERT_TRUE(db);
  for (const std::string& parent : {directory.path(), directory.path() + "/new", directory.path() + "/new/db"}) {
    EXPECT_NE(std::find(flushed.begin(), flushed.end(), parent), flushed.end()) << parent;
  }
}

}  // namespace
}  // namespace vendrel
