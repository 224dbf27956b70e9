#include "filter.h"

#include <algorithm>
#include <iterator>
#include <mutex>
#include <shared_mutex>

#include <tbb/parallel_for.h>

namespace vendrel {

namespace {

using SharedLock = std::shared_lock<std::shared_mutex>;
using WriteLock = std::unique_lock<std::shared_mutex>;
using Kind = JsonValue::Kind;

// ---------------------------------------------------------------------------------------
// SipHash

uint64_t rotate_left(uint64_t word, int bits) { return (word << bits) | (word >> (64 - bits)); }

struct SipState {
  uint64_t v0, v1, v2, v3;

  SipState(uint64_t key0, uint64_t key1)
      : v0(key0 ^ 0x736f6d6570736575ULL),
        v1(key1 ^ 0x646f72616e646f6dULL),
        v2(key0 ^ 0x6c7967656e657261ULL),
        v3(key1 ^ 0x7465646279746573ULL) {}

  void rounds(int count) {
    for (int i = 0; i < count; ++i) {
      v0 += v1; v1 = rotate_left(v1, 13); v1 ^= v0; v0 = rotate_left(v0, 32);
      v2 += v3; v3 = rotate_left(v3, 16); v3 ^= v2;
      v0 += v3; v3 = rotate_left(v3, 21); v3 ^= v0;
      v2 += v1; v1 = rotate_left(v1, 17); v1 ^= v2; v2 = rotate_left(v2, 32);
    }
  }

  void absorb(uint64_t block, int compression_rounds) {
    v3 ^= block;
    rounds(compression_rounds);
    v0 ^= block;
  }
};

// Byte `index` of head followed by tail.
unsigned char byte_at(std::string_view head, std::string_view tail, size_t index) {
  return static_cast<unsigned char>(index < head.size() ? head[index] : tail[index - head.size()]);
}

// The little-endian word of 8 bytes starting at `index` of head followed by tail.
uint64_t word_at(std::string_view head, std::string_view tail, size_t index) {
  uint64_t word = 0;
  for (int i = 7; i >= 0; --i) word = (word << 8) | byte_at(head, tail, index + static_cast<size_t>(i));
  return word;
}

// ---------------------------------------------------------------------------------------
// Index maintenance

// Replaces the path's tree by one that also holds `pairs` (non-empty). The caller holds
// the write lock of numeric_trees.
void flush_into_tree(std::unordered_map<std::string, IntervalTree>& trees, const std::string& path,
                     std::vector<NumericPair> pairs, double tolerance) {
  auto tree = trees.find(path);
  if (tree == trees.end()) {
    trees.emplace(path, IntervalTree::build(std::move(pairs), 0, tolerance));
  } else {
    tree->second = tree->second.merged_with(std::move(pairs));
  }
}

void add_value_hash(FilterEngine& engine, const std::string& path, uint64_t hash, uint32_t id) {
  WriteLock lock(engine.value_index.lock);
  engine.value_index.value[path][hash].add(id);
}

void add_pending_number(FilterEngine& engine, const std::string& path, double number, uint32_t id) {
  std::vector<NumericPair> due;
  {
    WriteLock lock(engine.pending_numeric.lock);
    std::vector<NumericPair>& pending = engine.pending_numeric.value[path];
    pending.emplace_back(number, id);
    if (pending.size() < kNumericFlushThreshold) return;
    due = pending;
    pending.clear();  // keeps its storage for the next batch
  }
  // Never hold pending_numeric and numeric_trees together on the write path.
  WriteLock lock(engine.numeric_trees.lock);
  flush_into_tree(engine.numeric_trees.value, path, std::move(due), engine.grouping_tolerance());
}

// ---------------------------------------------------------------------------------------
// Batch indexing

// What indexing one member does beyond marking its path present: nothing (null, array,
// object), a value hash (string, bool) or a pending number.
struct PathEntry {
  enum class Kind : uint8_t { kPresence, kHash, kNumber };
  std::string path;
  Kind kind = Kind::kPresence;
  uint64_t hash = 0;
  double number = 0.0;
};

// The entries index_object would make for `object`, in the order it makes them.
void flatten(const FilterEngine& engine, const JsonValue& object, const std::string& prefix,
             std::vector<PathEntry>& out) {
  for (const auto& [key, value] : object.members) {
    std::string path = prefix.empty() ? key : prefix + "." + key;
    PathEntry entry;
    switch (value.kind) {
      case Kind::kString: entry.kind = PathEntry::Kind::kHash; entry.hash = FilterEngine::hash_value(value.text); break;
      case Kind::kBool: entry.kind = PathEntry::Kind::kHash; entry.hash = engine.hash_bool(value.boolean); break;
      case Kind::kUint:
      case Kind::kInt:
      case Kind::kDouble: entry.kind = PathEntry::Kind::kNumber; entry.number = value.as_double(); break;
      case Kind::kObject:
      case Kind::kNull:
      case Kind::kArray: break;
    }
    entry.path = path;
    out.push_back(std::move(entry));
    if (value.kind == Kind::kObject) flatten(engine, value, path, out);
  }
}

// One path's share of a batch, in document order.
struct PathBatch {
  std::vector<uint32_t> present;
  std::vector<std::pair<uint64_t, uint32_t>> hashes;  // (value hash, id)
  std::vector<NumericPair> numbers;
};

// Appends a path's numbers to its pending list in order, flushing into its tree at every
// threshold as add_pending_number would (or handing the due lists to `held`), one lock
// at a time.
void add_pending_numbers(FilterEngine& engine, const std::string& path, const std::vector<NumericPair>& numbers,
                         HeldNumbers* held) {
  std::vector<std::vector<NumericPair>> due;
  {
    WriteLock lock(engine.pending_numeric.lock);
    std::vector<NumericPair>& pending = engine.pending_numeric.value[path];
    for (const NumericPair& pair : numbers) {
      pending.push_back(pair);
      if (pending.size() < kNumericFlushThreshold) continue;
      due.push_back(pending);
      pending.clear();
    }
  }
  if (due.empty()) return;
  if (held != nullptr) {
    auto& lists = (*held)[path];
    for (auto& pairs : due) lists.push_back(std::move(pairs));
    return;
  }
  WriteLock lock(engine.numeric_trees.lock);
  for (auto& pairs : due) {
    flush_into_tree(engine.numeric_trees.value, path, std::move(pairs), engine.grouping_tolerance());
  }
}

// Whether every two distinct values among `pairs` and the tree's group values lie at
// least the grouping tolerance apart: then each value is a group of its own whatever the
// order of the flushes, and an id's group is its smallest value either way.
bool values_stand_apart(const IntervalTree* tree, const std::vector<NumericPair>& pairs, double tolerance) {
  if (tolerance == 0.0) return true;
  std::vector<double> values;
  values.reserve(pairs.size());
  for (const NumericPair& pair : pairs) values.push_back(pair.first);
  std::sort(values.begin(), values.end());
  values.erase(std::unique(values.begin(), values.end()), values.end());
  for (size_t i = 1; i < values.size(); ++i) {
    if (!(values[i] - values[i - 1] >= tolerance)) return false;
  }
  if (tree == nullptr) return true;
  const std::vector<double>& groups = tree->group_values();
  for (double value : values) {
    auto above = std::lower_bound(groups.begin(), groups.end(), value);
    if (above != groups.end() && *above != value && !(*above - value >= tolerance)) return false;
    if (above != groups.begin() && !(value - *std::prev(above) >= tolerance)) return false;
  }
  return true;
}

// Applies `edit` to every set of value_index and field_presence, and to all_docs, each
// map under its own write lock, one after another.
template <typename Edit>
void edit_document_sets(FilterEngine& engine, Edit edit) {
  {
    WriteLock lock(engine.all_docs.lock);
    edit(engine.all_docs.value);
  }
  {
    WriteLock lock(engine.value_index.lock);
    for (auto& [path, sets] : engine.value_index.value) {
      for (auto& [hash, ids] : sets) edit(ids);
    }
  }
  WriteLock lock(engine.field_presence.lock);
  for (auto& [path, ids] : engine.field_presence.value) edit(ids);
}

// ---------------------------------------------------------------------------------------
// Evaluation helpers

roaring::Roaring all_docs_minus(const FilterEngine& engine, const roaring::Roaring& excluded) {
  SharedLock lock(engine.all_docs.lock);
  return engine.all_docs.value - excluded;
}

void intersect_into(OptionalIds& accumulated, OptionalIds result) {
  if (!result) return;
  if (!accumulated) {
    accumulated = std::move(result);
  } else {
    *accumulated &= *result;
  }
}

OptionalIds eval_range(const FilterEngine& engine, const std::string& path, std::string_view op,
                       const JsonValue& operand) {
  if (!operand.is_number()) return std::nullopt;
  SharedLock lock(engine.numeric_trees.lock);
  auto tree = engine.numeric_trees.value.find(path);
  if (tree == engine.numeric_trees.value.end()) return std::nullopt;
  return tree->second.range_query(op, operand.as_double());
}

// Union of the determined equality results of the elements; always determined.
roaring::Roaring eval_in(const FilterEngine& engine, const std::string& path, const JsonValue& candidates) {
  roaring::Roaring matches;
  for (const JsonValue& candidate : candidates.elements) {
    if (OptionalIds ids = engine.eval_eq(path, candidate)) matches |= *ids;
  }
  return matches;
}

OptionalIds eval_exists(const FilterEngine& engine, const std::string& path, bool wanted) {
  SharedLock presence_lock(engine.field_presence.lock);
  auto present = engine.field_presence.value.find(path);
  if (present == engine.field_presence.value.end()) return std::nullopt;
  if (wanted) return roaring::Roaring(present->second);
  SharedLock docs_lock(engine.all_docs.lock);  // order: field_presence, then all_docs
  return engine.all_docs.value - present->second;
}

OptionalIds eval_operator(const FilterEngine& engine, const std::string& path, std::string_view op,
                          const JsonValue& operand) {
  if (op == "$eq") return engine.eval_eq(path, operand);
  if (op == "$ne") {
    OptionalIds equal = engine.eval_eq(path, operand);
    if (!equal) return std::nullopt;
    return all_docs_minus(engine, *equal);
  }
  if (op == "$gt" || op == "$gte" || op == "$lt" || op == "$lte") return eval_range(engine, path, op, operand);
  if (op == "$in") {
    if (operand.kind != Kind::kArray) return std::nullopt;
    return eval_in(engine, path, operand);
  }
  if (op == "$nin") {
    if (operand.kind != Kind::kArray) return std::nullopt;
    return all_docs_minus(engine, eval_in(engine, path, operand));
  }
  if (op == "$exists") {
    if (operand.kind != Kind::kBool) return std::nullopt;
    return eval_exists(engine, path, operand.boolean);
  }
  return std::nullopt;
}

// Every operator member is evaluated (no early stop); determined results intersect.
OptionalIds eval_field_clause(const FilterEngine& engine, const std::string& path, const JsonValue& operators) {
  if (operators.kind != Kind::kObject) return std::nullopt;
  OptionalIds accumulated;
  for (const auto& [op, operand] : operators.members) {
    intersect_into(accumulated, eval_operator(engine, path, op, operand));
  }
  return accumulated;
}

OptionalIds eval_or(const FilterEngine& engine, const JsonValue& alternatives) {
  if (alternatives.kind != Kind::kArray) return std::nullopt;
  roaring::Roaring matches;
  for (const JsonValue& alternative : alternatives.elements) {
    if (OptionalIds ids = engine.eval_filter(alternative)) matches |= *ids;
  }
  return matches;
}

OptionalIds eval_and(const FilterEngine& engine, const JsonValue& conditions) {
  if (conditions.kind != Kind::kArray || conditions.elements.empty()) return std::nullopt;
  OptionalIds accumulated;
  for (const JsonValue& condition : conditions.elements) {
    intersect_into(accumulated, engine.eval_filter(condition));
    if (accumulated && accumulated->isEmpty()) break;
  }
  return accumulated;
}

}  // namespace

uint64_t siphash(std::string_view head, std::string_view tail, uint64_t key0, uint64_t key1,
                 int compression_rounds, int finalization_rounds) {
  SipState state(key0, key1);
  const size_t length = head.size() + tail.size();
  const size_t full_blocks_end = length - length % 8;
  for (size_t index = 0; index < full_blocks_end; index += 8) {
    state.absorb(word_at(head, tail, index), compression_rounds);
  }
  uint64_t last_block = static_cast<uint64_t>(length & 0xff) << 56;
  for (size_t index = full_blocks_end; index < length; ++index) {
    last_block |= static_cast<uint64_t>(byte_at(head, tail, index)) << (8 * (index - full_blocks_end));
  }
  state.absorb(last_block, compression_rounds);
  state.v2 ^= 0xff;
  state.rounds(finalization_rounds);
  return state.v0 ^ state.v1 ^ state.v2 ^ state.v3;
}

uint64_t FilterEngine::hash_value(std::string_view text) {
  return siphash(text, std::string_view("\xff", 1), 0, 0, 1, 3);
}

uint64_t FilterEngine::hash_bool(bool value) const {
  const std::string_view text = value ? "true" : "false";
  if (dialect == FilterDialect::kContract) return hash_value(text);
  return siphash(text, std::string_view("\xfe", 1), 0, 0, 1, 3);
}

void FilterEngine::index_object(const JsonValue& object, const std::string& prefix, uint32_t id) {
  for (const auto& [key, value] : object.members) {
    const std::string path = prefix.empty() ? key : prefix + "." + key;
    {
      WriteLock lock(field_presence.lock);
      field_presence.value[path].add(id);
    }
    switch (value.kind) {
      case Kind::kString: add_value_hash(*this, path, hash_value(value.text), id); break;
      case Kind::kBool: add_value_hash(*this, path, hash_bool(value.boolean), id); break;
      case Kind::kUint:
      case Kind::kInt:
      case Kind::kDouble: add_pending_number(*this, path, value.as_double(), id); break;
      case Kind::kObject: index_object(value, path, id); break;
      case Kind::kNull:
      case Kind::kArray: break;  // presence only; array elements are not indexed
    }
  }
}

void FilterEngine::index_batch(std::span<const IndexedDocument> documents, HeldNumbers* held) {
  std::vector<std::vector<PathEntry>> entries(documents.size());
  tbb::parallel_for(size_t{0}, documents.size(), [&](size_t i) {
    if (documents[i].object == nullptr) return;
    entries[i].reserve(2 * documents[i].object->members.size());
    flatten(*this, *documents[i].object, std::string(), entries[i]);
  });

  // Paths in the order they first occur, each with its share in document order.
  std::vector<std::string> paths;
  std::unordered_map<std::string, PathBatch> by_path;
  for (size_t i = 0; i < documents.size(); ++i) {
    const uint32_t id = documents[i].id;
    for (PathEntry& entry : entries[i]) {
      auto [slot, created] = by_path.try_emplace(entry.path);
      if (created) paths.push_back(entry.path);
      PathBatch& batch = slot->second;
      batch.present.push_back(id);
      if (entry.kind == PathEntry::Kind::kHash) batch.hashes.emplace_back(entry.hash, id);
      if (entry.kind == PathEntry::Kind::kNumber) batch.numbers.emplace_back(entry.number, id);
    }
  }

  {
    WriteLock lock(all_docs.lock);
    for (const IndexedDocument& document : documents) all_docs.value.add(document.id);
  }
  {
    WriteLock lock(field_presence.lock);
    for (const std::string& path : paths) {
      const std::vector<uint32_t>& ids = by_path[path].present;
      field_presence.value[path].addMany(ids.size(), ids.data());
    }
  }
  {
    WriteLock lock(value_index.lock);
    for (const std::string& path : paths) {
      const auto& hashes = by_path[path].hashes;
      if (hashes.empty()) continue;
      ValueSets& sets = value_index.value[path];
      for (const auto& [hash, id] : hashes) sets[hash].add(id);
    }
  }
  for (const std::string& path : paths) {
    const std::vector<NumericPair>& numbers = by_path[path].numbers;
    if (!numbers.empty()) add_pending_numbers(*this, path, numbers, held);
  }
}

void FilterEngine::flush_held(HeldNumbers& held) {
  WriteLock lock(numeric_trees.lock);
  for (auto& [path, lists] : held) {
    std::vector<NumericPair> all;
    for (const auto& pairs : lists) all.insert(all.end(), pairs.begin(), pairs.end());
    auto tree = numeric_trees.value.find(path);
    if (lists.size() > 1 && values_stand_apart(tree == numeric_trees.value.end() ? nullptr : &tree->second, all,
                                              grouping_tolerance())) {
      flush_into_tree(numeric_trees.value, path, std::move(all), grouping_tolerance());
      continue;
    }
    for (auto& pairs : lists) flush_into_tree(numeric_trees.value, path, std::move(pairs), grouping_tolerance());
  }
  held.clear();
}

void FilterEngine::add_document(uint32_t id) {
  WriteLock lock(all_docs.lock);
  all_docs.value.add(id);
}

void FilterEngine::remove_documents(const roaring::Roaring& ids) {
  if (ids.isEmpty()) return;
  edit_document_sets(*this, [&ids](roaring::Roaring& set) { set -= ids; });
}

void FilterEngine::remove_document(uint32_t id) {
  edit_document_sets(*this, [id](roaring::Roaring& set) { set.remove(id); });
}

void FilterEngine::flush_pending() {
  WriteLock pending_lock(pending_numeric.lock);
  WriteLock trees_lock(numeric_trees.lock);
  for (auto& [path, pending] : pending_numeric.value) {
    if (!pending.empty()) flush_into_tree(numeric_trees.value, path, std::move(pending), grouping_tolerance());
  }
  pending_numeric.value.clear();
}

Result<OptionalIds> FilterEngine::apply_filter(std::string_view filter_json) {
  flush_pending();
  Result<JsonValue> filter = parse_json(filter_json);
  if (!filter.ok()) {
    // The contract's message is the parser's alone; the strict dialect says which argument.
    if (dialect == FilterDialect::kContract) return value_error(filter.error().message);
    return value_error("filter is not valid JSON: " + filter.error().message);
  }
  if (dialect == FilterDialect::kContract) return eval_filter(filter.value());
  Status checked = check_filter_strict(filter.value());
  if (!checked.ok()) return checked.error();
  return OptionalIds(eval_filter_strict(filter.value()));
}

OptionalIds FilterEngine::eval_filter(const JsonValue& filter) const {
  if (filter.kind != Kind::kObject || filter.members.empty()) return std::nullopt;
  // Only the first member in key order counts; "$and" is how conditions combine.
  const auto& [key, value] = filter.members.front();
  if (key == "$or") return eval_or(*this, value);
  if (key == "$and") return eval_and(*this, value);
  if (key == "$not") {
    OptionalIds excluded = eval_filter(value);
    if (!excluded) return std::nullopt;
    return all_docs_minus(*this, *excluded);
  }
  return eval_field_clause(*this, key, value);
}

OptionalIds FilterEngine::eval_eq(const std::string& path, const JsonValue& value) const {
  if (value.kind == Kind::kString || value.kind == Kind::kBool) {
    const uint64_t hash = value.kind == Kind::kString ? hash_value(value.text) : hash_bool(value.boolean);
    SharedLock lock(value_index.lock);
    auto sets = value_index.value.find(path);
    if (sets == value_index.value.end()) return std::nullopt;
    auto ids = sets->second.find(hash);
    if (ids == sets->second.end()) return std::nullopt;
    return roaring::Roaring(ids->second);
  }
  if (value.is_number()) {
    SharedLock lock(numeric_trees.lock);
    auto tree = numeric_trees.value.find(path);
    if (tree == numeric_trees.value.end()) return std::nullopt;
    return tree->second.exact(value.as_double());
  }
  return std::nullopt;
}

}  // namespace vendrel
