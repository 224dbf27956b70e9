// GraphIndex::save and GraphIndex::load: the round trip, and the loader against
// damaged bytes (tests/fuzz/graph_load_fuzz.cpp feeds it arbitrary ones).
#include <cstddef>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "graph_index.h"
#include "storage.h"

namespace vendrel {
namespace {

using Bytes = std::vector<std::byte>;

Bytes saved(const GraphIndex& graph) {
  Bytes bytes;
  const Status status = graph.save([&](const void* data, size_t size) {
    const auto* first = static_cast<const std::byte*>(data);
    bytes.insert(bytes.end(), first, first + size);
    return ok_status();
  });
  EXPECT_TRUE(status.ok());
  return bytes;
}

std::vector<std::pair<uint32_t, float>> hits_of(const Result<std::vector<GraphHit>>& result) {
  EXPECT_TRUE(result.ok());
  std::vector<std::pair<uint32_t, float>> hits;
  for (const GraphHit& hit : result.value()) hits.emplace_back(hit.id, hit.distance);
  return hits;
}

// Rows of Gaussian noise under ids 5 i + 1, stored in `table`, all linked by `graph`.
std::vector<uint32_t> fill(VectorTable& table, GraphIndex& graph, size_t count, size_t dimension, unsigned seed) {
  std::mt19937 draws(seed);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::vector<uint32_t> ids;
  std::vector<float> row(dimension);
  for (uint32_t i = 0; i < count; ++i) {
    for (float& value : row) value = normal(draws);
    ids.push_back(5 * i + 1);
    table.put(ids.back(), row);
  }
  EXPECT_TRUE(graph.insert_batch(ids).ok());
  return ids;
}

TEST(GraphFile, LoadedGraphSearchesExactlyAsTheSavedOne) {
  constexpr size_t kDim = 32;
  VectorTable table(true);
  GraphIndex original(&table, kDim);
  const std::vector<uint32_t> ids = fill(table, original, 2000, kDim, 1);
  roaring::Roaring deleted;
  for (size_t i = 0; i < ids.size(); i += 7) deleted.add(ids[i]);
  original.mark_deleted(deleted);
  std::mt19937 draws(2);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::vector<float> vector(kDim);
  for (size_t i = 3; i < ids.size(); i += 50) {  // replaced vectors, one of them deleted too
    for (float& value : vector) value = normal(draws);
    table.put(ids[i], vector);
    ASSERT_TRUE(original.insert(ids[i], /*deleted=*/i == 3).ok());
  }

  const Bytes bytes = saved(original);
  auto loaded = GraphIndex::load(bytes, &table, kDim, original.settings());
  ASSERT_TRUE(loaded.ok()) << loaded.error().message;
  GraphIndex& copy = *loaded.value();
  EXPECT_EQ(copy.size(), original.size());
  EXPECT_FALSE(copy.contains(ids[3]));
  EXPECT_TRUE(copy.contains(ids[53]));
  EXPECT_EQ(saved(copy), bytes);

  roaring::Roaring tenth;
  for (size_t i = 0; i < ids.size(); i += 10) tenth.add(ids[i]);
  for (size_t q = 0; q < 50; ++q) {
    for (float& value : vector) value = normal(draws);
    EXPECT_EQ(hits_of(copy.search(vector, 10)), hits_of(original.search(vector, 10)));
    EXPECT_EQ(hits_of(copy.search(vector, 10, 32, allowed_in(tenth))),
              hits_of(original.search(vector, 10, 32, allowed_in(tenth))));
    const uint32_t held_out = ids[q * 13];
    EXPECT_EQ(hits_of(copy.search(*table.get(held_out), 10, 0, {}, held_out)),
              hits_of(original.search(*table.get(held_out), 10, 0, {}, held_out)));
  }

  // The loaded graph takes new ids into its deleted nodes, as the original would.
  const size_t bytes_before = copy.memory_bytes();
  std::vector<uint32_t> fresh;
  for (uint32_t i = 0; i < 200; ++i) {
    for (float& value : vector) value = normal(draws);
    fresh.push_back(100000 + i);
    table.put(fresh.back(), vector);
  }
  ASSERT_TRUE(copy.insert_batch(fresh).ok());
  EXPECT_LE(copy.memory_bytes(), bytes_before);  // no growth: deleted nodes were reused
  for (uint32_t id : fresh) EXPECT_EQ(copy.search(*table.get(id), 1).value()[0].id, id);
}

TEST(GraphFile, SaveStopsAtTheWritersError) {
  VectorTable table(true);
  GraphIndex graph(&table, 8);
  fill(table, graph, 10, 8, 3);
  const Status status = graph.save([](const void*, size_t) -> Status { return internal_error("disk full"); });
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().message, "disk full");
}

// A graph written by hand in the saved layout (docs/file-format.md, "The graph").
class Layout {
 public:
  Layout(uint32_t dimension, uint32_t connectivity, uint32_t nodes, uint32_t deleted, uint32_t entry, uint32_t max_level) {
    for (char c : std::string("VNDGRAPH")) bytes.push_back(std::byte(c));
    for (uint32_t field : {1u, dimension, connectivity, 10u, 10u, nodes, deleted, entry, max_level}) put(field, 4);
  }
  // A node with one link list per level, base layer first.
  Layout& node(uint32_t id, uint8_t flags, const std::vector<std::vector<uint32_t>>& levels) {
    put(id, 4);
    put(uint32_t(levels.size() - 1), 1);
    put(flags, 1);
    for (const auto& links : levels) {
      put(uint32_t(links.size()), 2);
      for (uint32_t link : links) put(link, 4);
    }
    return *this;
  }
  void put(uint32_t value, size_t size) {
    for (size_t i = 0; i < size; ++i) bytes.push_back(std::byte(value >> (8 * i)));
  }
  Bytes bytes;
};

std::vector<uint32_t> ids_found(const GraphIndex& graph, std::span<const float> query,
                                std::optional<uint32_t> excluded = std::nullopt) {
  std::vector<uint32_t> ids;
  const auto hits = graph.search(query, 4, 10, {}, excluded);
  for (const GraphHit& hit : hits.value()) ids.push_back(hit.id);
  return ids;
}

TEST(GraphFile, HeldOutNodeIsNotWalkedThroughAsIfTheGraphLackedIt) {
  // A path 10 - 11 - 12 - 13 on the base layer, entered at 10, the query at 13's row.
  VectorTable table(true);
  for (uint32_t id = 10; id < 14; ++id) table.put(id, std::vector<float>{1.0f, float(id - 10), 0.5f});
  const GraphSettings settings{2, 10, 10};
  Layout path(3, 2, 4, 0, 0, 0);
  path.node(10, 0, {{1}}).node(11, 0, {{0, 2}}).node(12, 0, {{1, 3}}).node(13, 0, {{2}});
  auto graph = GraphIndex::load(path.bytes, &table, 3, settings);
  ASSERT_TRUE(graph.ok()) << graph.error().message;
  const std::span<const float> query = *table.get(13);
  EXPECT_EQ(ids_found(*graph.value(), query), (std::vector<uint32_t>{13, 12, 11, 10}));

  Layout without_11(3, 2, 3, 0, 0, 0);  // 10 alone; 12 - 13 out of its reach
  without_11.node(10, 0, {{}}).node(12, 0, {{2}}).node(13, 0, {{1}});
  Layout without_12(3, 2, 3, 0, 0, 0);  // 10 - 11; 13 out of reach
  without_12.node(10, 0, {{1}}).node(11, 0, {{0}}).node(13, 0, {{}});
  for (auto [held_out, layout] : {std::pair{11u, &without_11}, std::pair{12u, &without_12}}) {
    auto smaller = GraphIndex::load(layout->bytes, &table, 3, settings);
    ASSERT_TRUE(smaller.ok()) << smaller.error().message;
    EXPECT_EQ(ids_found(*graph.value(), query, held_out), ids_found(*smaller.value(), query)) << held_out;
  }
}

// The loader on a small graph: every error is a kValue naming a byte offset.
struct SmallGraph {
  VectorTable table{true};
  GraphIndex graph{&table, 4, GraphSettings{4, 10, 10}};
  Bytes bytes;
  SmallGraph() {
    const auto ids = fill(table, graph, 20, 4, 4);
    roaring::Roaring deleted;
    deleted.add(ids[3]);
    graph.mark_deleted(deleted);
    bytes = saved(graph);
  }
  Result<std::unique_ptr<GraphIndex>> load(const Bytes& damaged) const {
    return GraphIndex::load(damaged, &table, 4, graph.settings());
  }
};

void expect_offset_error(const Result<std::unique_ptr<GraphIndex>>& loaded, const std::string& context) {
  ASSERT_FALSE(loaded.ok()) << context;
  EXPECT_EQ(loaded.error().kind, ErrorKind::kValue) << context;
  EXPECT_EQ(loaded.error().message.rfind("graph byte ", 0), 0u) << context << ": " << loaded.error().message;
}

TEST(GraphFile, EveryTruncationIsAnErrorAndNoChangedByteCrashes) {
  const SmallGraph small;
  ASSERT_TRUE(small.load(small.bytes).ok());
  for (size_t length = 0; length < small.bytes.size(); ++length) {
    expect_offset_error(small.load(Bytes(small.bytes.begin(), small.bytes.begin() + length)),
                        "length " + std::to_string(length));
  }
  Bytes longer = small.bytes;
  longer.push_back(std::byte{0});
  expect_offset_error(small.load(longer), "a byte after the end");

  // Each byte changed in turn: an error, or a graph that searches and saves back to the
  // changed bytes (the ef fields aside, which the settings given to load replace).
  const std::vector<float> query = {0.5f, -1.0f, 2.0f, 0.25f};
  for (size_t at = 0; at < small.bytes.size(); ++at) {
    for (uint8_t change : {0x01, 0x80, 0xFF}) {
      Bytes damaged = small.bytes;
      damaged[at] ^= std::byte{change};
      auto loaded = small.load(damaged);
      if (!loaded.ok()) {
        expect_offset_error(loaded, "byte " + std::to_string(at));
        continue;
      }
      EXPECT_TRUE(loaded.value()->search(query, 5).ok());
      Bytes again = saved(*loaded.value());
      std::copy(damaged.begin() + 20, damaged.begin() + 28, again.begin() + 20);
      EXPECT_EQ(again, damaged) << "byte " << at;
    }
  }
}

TEST(GraphFile, LoaderRefusesWhatTheRowsOrTheSettingsContradict) {
  const SmallGraph small;
  VectorTable fewer(true);  // the rows of all ids but the last
  small.table.for_each([&](uint32_t id, std::span<const float> row) {
    if (id != 5 * 19 + 1) fewer.put(id, row);
  });
  auto missing = GraphIndex::load(small.bytes, &fewer, 4, small.graph.settings());
  expect_offset_error(missing, "missing row");
  EXPECT_NE(missing.error().message.find("id 96 has no stored vector"), std::string::npos) << missing.error().message;
  expect_offset_error(GraphIndex::load(small.bytes, &small.table, 5, small.graph.settings()), "dimension");
  expect_offset_error(GraphIndex::load(small.bytes, &small.table, 4, GraphSettings{8, 10, 10}), "connectivity");

  // A link on level 1 to a node that has only level 0.
  VectorTable table(true);
  for (uint32_t id = 0; id < 2; ++id) table.put(id, std::vector<float>{1.0f, float(id)});
  Layout upward(2, 2, 2, 0, 0, 1);
  upward.node(0, 0, {{1}, {1}}).node(1, 0, {{0}});
  const auto loaded = GraphIndex::load(upward.bytes, &table, 2, GraphSettings{2, 10, 10});
  expect_offset_error(loaded, "link above the target's level");
  EXPECT_NE(loaded.error().message.find("is not a node of that level"), std::string::npos);
}

}  // namespace
}  // namespace vendrel
