#include "rows_file.h"
#include "scan.h"

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "file_damage.h"
#include "temp_directory.h"

namespace vendrel {
namespace {

std::vector<float> random_row(std::mt19937& rng, size_t width) {
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::vector<float> row(width);
  for (float& value : row) value = normal(rng);
  return row;
}

// A table with sparse pages, empty vectors and a partly filled last page.
VectorTable sample_table(size_t width, uint32_t count, std::mt19937& rng) {
  VectorTable table(/*keep_norms=*/true);
  table.put(1, {});
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t id = i < count / 2 ? i * 3 : 100000 + i;
    if (i % 17 == 5) continue;
    table.put(id, random_row(rng, width));
  }
  return table;
}

void expect_same_table(const VectorTable& left, const VectorTable& right) {
  ASSERT_EQ(left.length(), right.length());
  ASSERT_EQ(left.width(), right.width());
  EXPECT_EQ(left.keeps_norms(), right.keeps_norms());
  std::vector<std::pair<uint32_t, std::vector<float>>> a, b;
  left.for_each([&](uint32_t id, std::span<const float> row) { a.emplace_back(id, std::vector<float>(row.begin(), row.end())); });
  right.for_each([&](uint32_t id, std::span<const float> row) { b.emplace_back(id, std::vector<float>(row.begin(), row.end())); });
  EXPECT_EQ(a, b);
}

TEST(RowsFileTest, LoadedTableHoldsTheSameRowsAndScansTheSame) {
  TempDirectory dir;
  std::mt19937 rng(1);
  const VectorTable table = sample_table(24, 700, rng);
  Result<ManifestFile> entry = write_rows_file(dir.path(), 2, table);
  ASSERT_TRUE(entry.ok()) << entry.error().message;
  Result<VectorTable> loaded = load_rows_file(dir.path(), entry.value());
  ASSERT_TRUE(loaded.ok()) << loaded.error().message;
  expect_same_table(loaded.value(), table);
  // Blocks start aligned inside the mapping.
  loaded.value().pages().for_each_page([](uint64_t, const VectorPage& page) {
    EXPECT_TRUE(page.rows.mapped());
    EXPECT_EQ(reinterpret_cast<uintptr_t>(page.rows.data()) % kRowBlockAlignment, 0u);
  });
  const roaring::Roaring excluded = roaring::Roaring::bitmapOf(2, 0u, 3u);
  for (int q = 0; q < 5; ++q) {
    const std::vector<float> query = random_row(rng, 24);
    for (bool parallel : {false, true}) {
      const auto expected = exact_top_k(table, query, 10, nullptr, excluded, parallel);
      const auto got = exact_top_k(loaded.value(), query, 10, nullptr, excluded, parallel);
      ASSERT_EQ(got.size(), expected.size());
      for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].id, expected[i].id);
        EXPECT_EQ(got[i].score, expected[i].score);
      }
    }
  }
  // An empty table round-trips too.
  Result<ManifestFile> empty = write_rows_file(dir.path(), 3, VectorTable(true));
  ASSERT_TRUE(empty.ok());
  Result<VectorTable> empty_loaded = load_rows_file(dir.path(), empty.value());
  ASSERT_TRUE(empty_loaded.ok()) << empty_loaded.error().message;
  EXPECT_EQ(empty_loaded.value().length(), 0u);
}

TEST(RowsFileTest, WritesToMappedRowsStayInMemoryAndGrowthMovesThePageOut) {
  TempDirectory dir;
  std::mt19937 rng(2);
  VectorTable table(true);
  for (uint32_t id = 0; id < 10; ++id) table.put(id, random_row(rng, 8));
  Result<ManifestFile> entry = write_rows_file(dir.path(), 1, table);
  ASSERT_TRUE(entry.ok());
  const std::string file_before = read_bytes(dir.file("rows-1"));
  Result<VectorTable> loaded = load_rows_file(dir.path(), entry.value());
  ASSERT_TRUE(loaded.ok());
  VectorTable& rows = loaded.value();

  const std::vector<float> replaced = random_row(rng, 8);
  rows.put(3, replaced);  // inside the mapped part: written in place, copy-on-write
  EXPECT_TRUE(rows.pages().find(3)->rows.mapped());
  const std::vector<float> grown = random_row(rng, 8);
  rows.put(40, grown);  // past the mapped rows of the page: moves to memory of its own
  EXPECT_FALSE(rows.pages().find(3)->rows.mapped());
  EXPECT_EQ(std::vector<float>(rows.get(3)->begin(), rows.get(3)->end()), replaced);
  EXPECT_EQ(std::vector<float>(rows.get(40)->begin(), rows.get(40)->end()), grown);
  EXPECT_EQ(std::vector<float>(rows.get(9)->begin(), rows.get(9)->end()),
            std::vector<float>(table.get(9)->begin(), table.get(9)->end()));
  EXPECT_EQ(read_bytes(dir.file("rows-1")), file_before);
}

TEST(RowsFileTest, EveryFlipOrCutIsAnErrorNamingTheFile) {
  TempDirectory dir;
  std::mt19937 rng(3);
  VectorTable table(true);
  table.put(0, random_row(rng, 3));
  table.put(2, {});
  table.put(70, random_row(rng, 3));
  Result<ManifestFile> entry = write_rows_file(dir.path(), 1, table);
  ASSERT_TRUE(entry.ok());
  const std::string path = dir.file("rows-1");
  const std::string bytes = read_bytes(path);
  auto load = [&](std::string variant, const ManifestFile& expected) {
    return rows_table_from_bytes(path, {reinterpret_cast<uint8_t*>(variant.data()), variant.size()}, expected, nullptr);
  };
  ASSERT_TRUE(load(bytes, entry.value()).ok());
  expect_every_flip_and_cut_refused(path, bytes, entry.value(), load);
}

}  // namespace
}  // namespace vendrel
