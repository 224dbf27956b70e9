// The metadata field index and the filter language evaluated against it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common.h"
#include "id_set.h"
#include "interval_tree.h"
#include "json.h"

namespace vendrel {

// Pending numeric pairs of one field are flushed into its tree once this many wait.
inline constexpr size_t kNumericFlushThreshold = 5000;

// An evaluated filter or clause: an id set, or nullopt when the clause cannot be
// decided from the indexes ("undetermined"; callers treat a final nullopt as empty).
using OptionalIds = std::optional<roaring::Roaring>;

using ValueSets = std::unordered_map<uint64_t, roaring::Roaring>;  // value hash -> ids

// SipHash with `compression_rounds` rounds per 8-byte block and `finalization_rounds`
// final rounds, keyed by (key0, key1) (the key's bytes 0-7 and 8-15, little-endian), over
// the bytes of `head` followed by those of `tail`. hash_value is SipHash-1-3 of this.
uint64_t siphash(std::string_view head, std::string_view tail, uint64_t key0, uint64_t key1,
                 int compression_rounds, int finalization_rounds);

// One document for FilterEngine::index_batch: its id and its parsed metadata object
// (null when the metadata is not a JSON object: the id only joins all_docs).
struct IndexedDocument {
  uint32_t id = 0;
  const JsonValue* object = nullptr;
};

// Numbers that fell due for their trees during a batch and were held back, per path, in
// the order they fell due (see FilterEngine::index_batch).
using HeldNumbers = std::unordered_map<std::string, std::vector<std::vector<NumericPair>>>;

// Which filter language an engine speaks; fixed when the engine is created, because it
// also decides how bools are indexed.
//
// kContract (VendrelDB's): a field needs an operator object, only the first member of a
// filter object counts, unknown operators and clauses the indexes cannot decide
// ("undetermined") are skipped, and bools hash as the texts "true" and "false", so they
// equal those strings.
//
// kStrict (FullVendrelDB's): a plain value is an equality, every member of an object
// must hold, every clause is decided (a value never indexed selects nothing), anything
// the indexes cannot answer is a kValue error, and bools hash apart from strings. The
// ledger of a strict engine leaves deleted ids out of what delete counts.
enum class FilterDialect { kContract, kStrict };

// The in-memory metadata indexes. Each field has its own reader-writer lock; at most
// the pair pending_numeric -> numeric_trees is ever held together (in that order), and
// field_presence -> all_docs for "$exists": false.
struct FilterEngine {
  explicit FilterEngine(FilterDialect dialect = FilterDialect::kContract) : dialect(dialect) {}

  const FilterDialect dialect;
  // The numeric trees' grouping: the contract's kGroupTolerance, or none in the strict
  // dialect, whose numbers compare as they are (1e-12 is not 0).
  double grouping_tolerance() const { return dialect == FilterDialect::kStrict ? 0.0 : kGroupTolerance; }
  // Field path -> hash of a string or bool value text -> ids holding that value.
  RwLocked<std::unordered_map<std::string, ValueSets>> value_index;
  // Field path -> numeric index of the flushed numbers. Replaced whole by a flush.
  RwLocked<std::unordered_map<std::string, IntervalTree>> numeric_trees;
  // Field path -> numbers not yet flushed, in arrival order.
  RwLocked<std::unordered_map<std::string, std::vector<NumericPair>>> pending_numeric;
  // Field path -> ids whose metadata has that path, whatever the value.
  RwLocked<std::unordered_map<std::string, roaring::Roaring>> field_presence;
  // Every id passed to add and not removed since.
  RwLocked<roaring::Roaring> all_docs;

  // SipHash-1-3 with an all-zero key over the text's bytes followed by one 0xFF byte.
  // Pure; takes no lock.
  static uint64_t hash_value(std::string_view text);

  // The hash a bool value is indexed and looked up under. Contract: hash_value of "true"
  // or "false", equal to the string's. Strict: SipHash-1-3 with an all-zero key over the
  // text followed by one 0xFE byte, a message no string's hash is taken over (strings end
  // in 0xFF). Pure; takes no lock.
  uint64_t hash_bool(bool value) const;

  // Indexes every member of `object` (a kObject value) for `id` under `prefix`
  // (members' paths are prefix + "." + key, or the key alone when prefix is empty).
  // Takes one engine lock at a time; cannot fail (std::bad_alloc aside).
  void index_object(const JsonValue& object, const std::string& prefix, uint32_t id);

  // Adds each document to all_docs and indexes its object, leaving the engine exactly as
  // add_document then (for an object) index_object for each document in turn would: the same sets, and
  // numbers flushed into the trees at the same points (every 5000th pending value of a
  // path). The objects are walked on the oneTBB pool; each map's write lock is then taken
  // once for the batch (pending_numeric and numeric_trees never together). With `held`,
  // numbers that fall due are moved out of pending_numeric as usual but kept in `held`
  // instead of entering their trees, for flush_held to merge once per path at the end of
  // a longer run of batches (no filter may be evaluated in between). Cannot fail
  // (std::bad_alloc aside).
  void index_batch(std::span<const IndexedDocument> documents, HeldNumbers* held = nullptr);

  // Puts every held list into its path's tree, leaving the trees as flushing each list
  // when it fell due would have: a path's lists are merged in one step when that gives
  // the same tree (no two distinct values, old group values included, closer than the
  // grouping tolerance, so every value keeps a group of its own), else one list at a
  // time. Write lock of numeric_trees. Empties `held`.
  void flush_held(HeldNumbers& held);

  // Adds `id` to all_docs (add does this before it parses the metadata), under the
  // all_docs write lock.
  void add_document(uint32_t id);

  // Removes the ids from all_docs, every value set and every presence set. Numeric
  // trees and pending lists keep them. Equivalent to removing each id in turn, but
  // visits each set once. Takes the write locks of all_docs, value_index and
  // field_presence one after another; cannot fail. Sets emptied this way stay in place.
  void remove_documents(const roaring::Roaring& ids);
  void remove_document(uint32_t id);

  // Flushes every field's pending numbers into its tree (write locks of
  // pending_numeric, then numeric_trees, held together) and empties pending_numeric.
  // Cannot fail.
  void flush_pending();

  // Flushes pending numbers, parses `filter_json` and evaluates it in the engine's
  // dialect. A text that is not JSON gives a kValue error with the parser's message (the
  // flush has run anyway). Strict: a filter check_filter_strict refuses gives its error
  // and nothing is evaluated; otherwise the result is always determined.
  Result<OptionalIds> apply_filter(std::string_view filter_json);

  // Contract dialect. Evaluates a parsed filter: a fresh id set, or nullopt when
  // undetermined. Only the first member (in key order) counts. Takes read locks one map
  // at a time (for "$exists": false, field_presence then all_docs); never fails.
  OptionalIds eval_filter(const JsonValue& filter) const;

  // Strict dialect. Ok when every part of the filter means something the indexes can
  // answer, else a kValue error "filter: ..." naming the operator or field and what it
  // takes (the first fault in key order). Depends on the filter alone, never on the
  // indexed documents; reads no engine state.
  static Status check_filter_strict(const JsonValue& filter);

  // Strict dialect. Evaluates a filter check_filter_strict accepted: a fresh id set.
  // As with eval_filter, numeric answers can hold removed ids (the trees keep them);
  // callers leave deleted ids out. Read locks as eval_filter takes them; never fails.
  roaring::Roaring eval_filter_strict(const JsonValue& filter) const;

  // Equality of a field with a value: strings by value hash and bools by hash_bool (read
  // lock of value_index), numbers through the field's numeric tree (read lock of
  // numeric_trees); null, arrays and objects, an unknown field or an unknown hash are
  // undetermined. A copy, never the index's own set.
  OptionalIds eval_eq(const std::string& path, const JsonValue& value) const;
};

}  // namespace vendrel
