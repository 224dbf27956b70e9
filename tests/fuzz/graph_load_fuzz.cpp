// libFuzzer target: GraphIndex::load on arbitrary bytes against a small fixed table of
// rows. Any input must give a graph or a kValue error naming a byte offset, without a
// read out of bounds or a large allocation. A graph that loads must search (plainly and
// with an id held out), save back to the very bytes it came from (the two ef fields
// aside, which the settings given to load replace), and take a new id.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "graph_index.h"
#include "storage.h"

namespace {

using vendrel::GraphIndex;
using vendrel::GraphSettings;
using vendrel::VectorTable;

constexpr size_t kDimension = 4;
constexpr uint32_t kLastId = 20;      // rows for ids 0 to 19, with the gaps below
constexpr uint32_t kAbsentId = 5;     // never stored
constexpr uint32_t kEmptyId = 6;      // an empty vector: not a row the graph can read
constexpr uint32_t kZeroId = 7;       // a zero vector: distance 1 to everything
constexpr uint32_t kFreshId = 40;     // inserted after a load
constexpr size_t kEfFieldsAt = 20;    // ef_construction and ef_search, 8 bytes
const GraphSettings kSettings{4, 10, 10};

void check(bool condition) {
  if (!condition) std::abort();
}

const VectorTable& fixed_rows() {
  static const VectorTable* rows = [] {
    auto* table = new VectorTable(/*keep_norms=*/true);
    for (uint32_t id = 0; id < kLastId; ++id) {
      if (id == kAbsentId) continue;
      std::vector<float> row;
      if (id != kEmptyId) {
        for (size_t j = 0; j < kDimension; ++j) row.push_back(id == kZeroId ? 0.0f : float((id * 7 + j * 3) % 11) - 5.0f);
      }
      table->put(id, row);
    }
    table->put(kFreshId, std::vector<float>{1.0f, 2.0f, 3.0f, 4.0f});
    return table;
  }();
  return *rows;
}

std::vector<std::byte> save(const GraphIndex& graph) {
  std::vector<std::byte> bytes;
  const vendrel::Status status = graph.save([&](const void* data, size_t size) {
    const auto* first = static_cast<const std::byte*>(data);
    bytes.insert(bytes.end(), first, first + size);
    return vendrel::ok_status();
  });
  check(status.ok());
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const std::byte> input(reinterpret_cast<const std::byte*>(data), size);
  auto loaded = GraphIndex::load(input, &fixed_rows(), kDimension, kSettings);
  if (!loaded.ok()) {
    check(loaded.error().kind == vendrel::ErrorKind::kValue);
    check(loaded.error().message.rfind("graph byte ", 0) == 0);
    return 0;
  }
  GraphIndex& graph = *loaded.value();
  const std::vector<float> query = {0.5f, -1.0f, 2.0f, 0.25f};
  check(graph.search(query, 5).ok());
  check(graph.search(query, 5, 0, {}, uint32_t{3}).ok());

  std::vector<std::byte> again = save(graph);
  check(again.size() == size);
  if (size >= kEfFieldsAt + 8) std::memcpy(again.data() + kEfFieldsAt, data + kEfFieldsAt, 8);
  check(std::memcmp(again.data(), data, size) == 0);

  check(graph.insert(kFreshId).ok());
  check(graph.contains(kFreshId));
  check(graph.search(query, 5).ok());
  return 0;
}
