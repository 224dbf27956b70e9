// GraphIndex::save and GraphIndex::load: the graph's links in the layout of
// docs/file-format.md ("The graph"). The loader trusts nothing in the bytes: it checks
// them completely in a first pass, which allocates only in proportion to the bytes,
// before it builds the hnswlib structure in a second.
#include <algorithm>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <string>

#include "graph_index.h"
#include "graph_state.h"

namespace vendrel {
namespace {

constexpr char kGraphMagic[8] = {'V', 'N', 'D', 'G', 'R', 'A', 'P', 'H'};
constexpr uint32_t kGraphLayoutVersion = 1;
constexpr size_t kHeaderBytes = 44;
constexpr uint32_t kNone = 0xFFFFFFFFu;
// The level fits one byte; hnswlib's draw stays far below it (about 15 at M = 16).
constexpr uint32_t kMaxLevel = 255;
constexpr uint8_t kDeletedFlag = 0x01;
// The smallest node record: id, level, flags, an empty base-layer list.
constexpr size_t kMinNodeBytes = 8;
constexpr size_t kWriteChunk = size_t{1} << 20;

// Collects little-endian fields and hands them to the writer a chunk at a time.
class ChunkWriter {
 public:
  explicit ChunkWriter(const GraphWriter& write) : write_(write) { buffer_.reserve(kWriteChunk); }

  Status put(uint64_t value, size_t size) {
    for (size_t i = 0; i < size; ++i) buffer_.push_back(static_cast<unsigned char>(value >> (8 * i)));
    return buffer_.size() >= kWriteChunk - 16 ? flush() : ok_status();
  }
  void put_bytes(const char* data, size_t size) { buffer_.insert(buffer_.end(), data, data + size); }
  Status flush() {
    if (buffer_.empty()) return ok_status();
    Status written = write_(buffer_.data(), buffer_.size());
    buffer_.clear();
    return written;
  }

 private:
  const GraphWriter& write_;
  std::vector<unsigned char> buffer_;
};

// Reads little-endian fields in order; every read is bounds-checked, and the first
// failure is kept with the offset of the field that did not fit or did not pass.
class ByteReader {
 public:
  explicit ByteReader(std::span<const std::byte> bytes) : bytes_(bytes) {}

  size_t offset() const { return offset_; }
  size_t remaining() const { return bytes_.size() - offset_; }
  bool failed() const { return error_.has_value(); }
  const Error& error() const { return *error_; }

  // The next `size` (1, 2 or 4) bytes as a number, or 0 with an error when they are
  // not all there.
  uint32_t read(size_t size, const char* field) {
    if (failed()) return 0;
    if (remaining() < size) {
      fail(offset_, std::string(field) + " needs " + std::to_string(size) + " bytes, " +
                        std::to_string(remaining()) + " are left");
      return 0;
    }
    uint32_t value = 0;
    for (size_t i = 0; i < size; ++i) value |= std::to_integer<uint32_t>(bytes_[offset_ + i]) << (8 * i);
    offset_ += size;
    return value;
  }
  void skip(size_t size) { offset_ += size; }  // the caller has checked remaining()

  // Records the first failure only, with the offset it concerns.
  void fail(size_t at, std::string message) {
    if (!failed()) error_ = value_error("graph byte " + std::to_string(at) + ": " + std::move(message));
  }

  std::span<const std::byte> bytes() const { return bytes_; }

 private:
  std::span<const std::byte> bytes_;
  size_t offset_ = 0;
  std::optional<Error> error_;
};

struct GraphHeader {
  uint32_t dimension = 0;
  uint32_t connectivity = 0;
  uint32_t node_count = 0;
  uint32_t deleted_count = 0;
  uint32_t entry_point = kNone;
  uint32_t max_level = kNone;
};

// Where pass one found each node's record and what its fixed part said.
struct NodeRecord {
  size_t offset = 0;
  uint32_t id = 0;
  uint8_t level = 0;
  bool deleted = false;
};

GraphHeader read_header(ByteReader& reader, size_t dimension, size_t connectivity, const VectorTable& rows) {
  GraphHeader header;
  if (reader.remaining() < kHeaderBytes) {
    reader.fail(0, "a graph starts with a header of " + std::to_string(kHeaderBytes) + " bytes, there are " +
                       std::to_string(reader.remaining()));
    return header;
  }
  if (std::memcmp(reader.bytes().data(), kGraphMagic, sizeof kGraphMagic) != 0) {
    reader.fail(0, "not a saved graph (wrong magic)");
    return header;
  }
  reader.skip(sizeof kGraphMagic);
  const size_t version_at = reader.offset();
  if (reader.read(4, "version") != kGraphLayoutVersion) reader.fail(version_at, "unknown layout version");
  const size_t dimension_at = reader.offset();
  header.dimension = reader.read(4, "dimension");
  if (header.dimension != dimension) {
    reader.fail(dimension_at, "saved for dimension " + std::to_string(header.dimension) + ", loaded for " +
                                  std::to_string(dimension));
  }
  const size_t connectivity_at = reader.offset();
  header.connectivity = reader.read(4, "connectivity");
  if (header.connectivity != connectivity) {
    reader.fail(connectivity_at, "saved with connectivity " + std::to_string(header.connectivity) +
                                     ", loaded with " + std::to_string(connectivity));
  }
  reader.read(4, "ef_construction");  // informative: the settings passed to load rule
  reader.read(4, "ef_search");
  const size_t count_at = reader.offset();
  header.node_count = reader.read(4, "node count");
  header.deleted_count = reader.read(4, "deleted count");
  header.entry_point = reader.read(4, "entry point");
  header.max_level = reader.read(4, "max level");
  if (reader.failed()) return header;
  // Each node takes at least kMinNodeBytes, and each id has its own row.
  if (header.node_count == kNone || header.node_count > reader.remaining() / kMinNodeBytes ||
      header.node_count > rows.length()) {
    reader.fail(count_at, std::to_string(header.node_count) + " nodes cannot fit in " +
                              std::to_string(reader.remaining()) + " bytes with " + std::to_string(rows.length()) +
                              " row slots");
  } else if (header.deleted_count > header.node_count) {
    reader.fail(count_at + 4, "more deleted nodes than nodes");
  } else if (header.node_count == 0 ? header.entry_point != kNone || header.max_level != kNone
                                    : header.entry_point >= header.node_count || header.max_level > kMaxLevel) {
    reader.fail(count_at + 8, "entry point " + std::to_string(header.entry_point) + " at level " +
                                  std::to_string(header.max_level) + " does not fit " +
                                  std::to_string(header.node_count) + " nodes");
  }
  return header;
}

// Pass one: every record's fixed part and list sizes, the ids against the rows, the
// levels against the header. Links are skipped here and checked in pass two, once every
// node's level is known.
std::vector<NodeRecord> read_records(ByteReader& reader, const GraphHeader& header, const VectorTable& rows,
                                     size_t max_links_base, size_t max_links_upper) {
  std::vector<NodeRecord> records(header.node_count);
  roaring::Roaring seen;
  uint32_t deleted = 0;
  for (NodeRecord& record : records) {
    record.offset = reader.offset();
    record.id = reader.read(4, "node id");
    const uint32_t level = reader.read(1, "node level");
    const uint32_t flags = reader.read(1, "node flags");
    if (reader.failed()) return records;
    if (rows.width() != header.dimension || rows.full_row(record.id).values == nullptr) {
      reader.fail(record.offset, "id " + std::to_string(record.id) + " has no stored vector of dimension " +
                                     std::to_string(header.dimension));
    } else if (!seen.addChecked(record.id)) {
      reader.fail(record.offset, "id " + std::to_string(record.id) + " appears twice");
    } else if (level > header.max_level) {
      reader.fail(record.offset + 4, "level " + std::to_string(level) + " above the max level");
    } else if ((flags & ~uint32_t{kDeletedFlag}) != 0) {
      reader.fail(record.offset + 5, "unknown flags");
    }
    record.level = static_cast<uint8_t>(level);
    record.deleted = (flags & kDeletedFlag) != 0;
    deleted += record.deleted;
    for (uint32_t layer = 0; layer <= level && !reader.failed(); ++layer) {
      const size_t count_at = reader.offset();
      const uint32_t count = reader.read(2, "link count");
      const size_t limit = layer == 0 ? max_links_base : max_links_upper;
      if (count > limit) {
        reader.fail(count_at, std::to_string(count) + " links at level " + std::to_string(layer) + ", at most " +
                                  std::to_string(limit));
      } else if (reader.remaining() < size_t{count} * 4) {
        reader.fail(count_at, std::to_string(count) + " links do not fit in the " +
                                  std::to_string(reader.remaining()) + " bytes left");
      } else {
        reader.skip(size_t{count} * 4);
      }
    }
    if (reader.failed()) return records;
  }
  if (reader.remaining() != 0) {
    reader.fail(reader.offset(), std::to_string(reader.remaining()) + " bytes after the last node");
  } else if (deleted != header.deleted_count) {
    reader.fail(kHeaderBytes - 12, std::to_string(deleted) + " nodes are marked deleted, the header says " +
                                       std::to_string(header.deleted_count));
  } else if (header.node_count > 0 && records[header.entry_point].level != header.max_level) {
    reader.fail(kHeaderBytes - 8, "the entry point is not on the max level");
  }
  return records;
}

// Pass two: fills the nodes of `graph` (sized for the records) while checking every
// link: a node index below the count, not the node itself, on a node that has the
// level. On a failure the nodes filled so far stay consistent for hnswlib's destructor.
void fill_nodes(ByteReader& reader, const std::vector<NodeRecord>& records, hnswlib::HierarchicalNSW<float>& graph) {
  using hnswlib::linklistsizeint;
  using hnswlib::tableint;
  for (size_t node = 0; node < records.size(); ++node) {
    const NodeRecord& record = records[node];
    std::memset(graph.get_linklist0(tableint(node)), 0, graph.size_data_per_element_);
    graph.setExternalLabel(tableint(node), record.id);
    graph.linkLists_[node] = nullptr;
    graph.element_levels_[node] = 0;
    graph.cur_element_count = node + 1;
    if (record.level > 0) {
      const size_t bytes = graph.size_links_per_element_ * record.level + 1;
      graph.linkLists_[node] = static_cast<char*>(std::malloc(bytes));
      if (graph.linkLists_[node] == nullptr) throw std::bad_alloc();
      std::memset(graph.linkLists_[node], 0, bytes);
      graph.element_levels_[node] = record.level;
    }
    reader.skip(6);  // id, level and flags, read in pass one
    for (int layer = 0; layer <= record.level; ++layer) {
      const uint32_t count = reader.read(2, "link count");
      linklistsizeint* list = graph.get_linklist_at_level(tableint(node), layer);
      tableint* links = reinterpret_cast<tableint*>(list + 1);
      for (uint32_t i = 0; i < count; ++i) {
        const size_t link_at = reader.offset();
        const uint32_t target = reader.read(4, "link");
        if (target >= records.size() || target == node || records[target].level < layer) {
          reader.fail(link_at, "link to node " + std::to_string(target) + " from node " + std::to_string(node) +
                                   " at level " + std::to_string(layer) + " is not a node of that level");
          return;
        }
        links[i] = target;
      }
      graph.setListCount(list, static_cast<unsigned short>(count));
    }
    if (record.deleted) {
      graph.markDeletedInternal(tableint(node));  // sets the mark, counts it, lists it for reuse
    }
  }
}

}  // namespace

Status GraphIndex::save(const GraphWriter& write) const {
  std::shared_lock lock(lock_);
  const auto& graph = state_->graph;
  const size_t count = graph.cur_element_count;
  ChunkWriter out(write);
  out.put_bytes(kGraphMagic, sizeof kGraphMagic);
  Status status = ok_status();
  auto put = [&](uint64_t value, size_t size) {
    if (status.ok()) status = out.put(value, size);
  };
  put(kGraphLayoutVersion, 4);
  put(dimension_, 4);
  put(settings_.connectivity, 4);
  put(settings_.ef_construction, 4);
  put(settings_.ef_search, 4);
  put(count, 4);
  put(graph.num_deleted_, 4);
  put(count == 0 ? kNone : graph.enterpoint_node_, 4);
  put(count == 0 ? kNone : uint32_t(graph.maxlevel_), 4);
  for (size_t node = 0; node < count && status.ok(); ++node) {
    const auto id = hnswlib::tableint(node);
    const int level = graph.element_levels_[node];
    if (level < 0 || uint32_t(level) > kMaxLevel) {
      return internal_error("graph index save: node " + std::to_string(node) + " has level " + std::to_string(level));
    }
    put(graph.getExternalLabel(id), 4);
    put(uint32_t(level), 1);
    put(graph.isMarkedDeleted(id) ? kDeletedFlag : 0, 1);
    for (int layer = 0; layer <= level; ++layer) {
      hnswlib::linklistsizeint* list = graph.get_linklist_at_level(id, layer);
      const unsigned short links = graph.getListCount(list);
      put(links, 2);
      const auto* targets = reinterpret_cast<const hnswlib::tableint*>(list + 1);
      for (unsigned short i = 0; i < links; ++i) put(targets[i], 4);
    }
  }
  if (!status.ok()) return status;
  return out.flush();
}

Result<std::unique_ptr<GraphIndex>> GraphIndex::load(std::span<const std::byte> bytes, const VectorTable* rows,
                                                     size_t dimension, GraphSettings settings) {
  if (rows == nullptr || dimension == 0) return value_error("graph load: no rows or a dimension of 0");
  settings = normalized(settings);
  ByteReader reader(bytes);
  const GraphHeader header = read_header(reader, dimension, settings.connectivity, *rows);
  if (reader.failed()) return reader.error();
  const std::vector<NodeRecord> records =
      read_records(reader, header, *rows, 2 * settings.connectivity, settings.connectivity);
  if (reader.failed()) return reader.error();
  try {
    auto state = std::make_unique<State>(rows, dimension, settings,
                                         std::max<size_t>(header.node_count, kInitialGraphCapacity));
    ByteReader links(bytes);
    links.skip(kHeaderBytes);
    fill_nodes(links, records, state->graph);
    if (links.failed()) return links.error();
    for (size_t node = 0; node < records.size(); ++node) {
      state->make_slots({&records[node].id, 1});
      state->set_node(records[node].id, hnswlib::tableint(node));
    }
    if (header.node_count > 0) {
      state->graph.enterpoint_node_ = header.entry_point;
      state->graph.maxlevel_ = static_cast<int>(header.max_level);
    }
    return std::unique_ptr<GraphIndex>(new GraphIndex(rows, dimension, settings, std::move(state)));
  } catch (const std::exception& failure) {
    return internal_error(std::string("graph load failed: ") + failure.what());
  }
}

}  // namespace vendrel
