#include "graph_index.h"

#include "storage.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <mutex>
#include <new>
#include <numeric>
#include <string>

#include <hnswlib/hnswlib.h>
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

namespace vendrel {
namespace {

// A new graph holds this many nodes before its first growth; growth doubles.
constexpr size_t kInitialCapacity = 256;
constexpr size_t kMaxConnectivity = 1000;

// hnswlib's distance over the unit copies: 1 - dot, by the widest dot kernel the CPU
// has (chosen once), so the module keeps the generic instruction set.
class UnitDotSpace : public hnswlib::SpaceInterface<float> {
 public:
  explicit UnitDotSpace(size_t dimension) : dimension_(dimension) {}
  size_t get_data_size() override { return dimension_ * sizeof(float); }
  hnswlib::DISTFUNC<float> get_dist_func() override { return &distance; }
  void* get_dist_func_param() override { return &dimension_; }

 private:
  static float distance(const void* a, const void* b, const void* dimension) {
    return 1.0f - dot_product(static_cast<const float*>(a), static_cast<const float*>(b),
                              *static_cast<const size_t*>(dimension));
  }
  size_t dimension_;
};

class AllowedFilter : public hnswlib::BaseFilterFunctor {
 public:
  explicit AllowedFilter(const AllowedIdTest& test) : test_(test) {}
  bool operator()(hnswlib::labeltype label) override { return test_(static_cast<uint32_t>(label)); }

 private:
  const AllowedIdTest& test_;
};

// Writes the unit-length copy of `vector` to `unit`. The norm is summed in double so
// that large finite components do not overflow; a zero or non-finite norm gives zeros.
void unit_copy(std::span<const float> vector, float* unit) {
  double squared = 0.0;
  for (float value : vector) squared += double(value) * double(value);
  const double norm = std::sqrt(squared);
  if (!(norm > 0.0) || !std::isfinite(norm)) {
    std::fill(unit, unit + vector.size(), 0.0f);
    return;
  }
  for (size_t i = 0; i < vector.size(); ++i) unit[i] = static_cast<float>(double(vector[i]) / norm);
}

std::string library_failure(const char* operation, const std::exception& failure) {
  return std::string("graph index ") + operation + " failed: " + failure.what();
}

}  // namespace

AllowedIdTest allowed_in(const roaring::Roaring& ids) {
  return [&ids](uint32_t id) { return ids.contains(id); };
}

struct GraphIndex::State {
  UnitDotSpace space;
  hnswlib::HierarchicalNSW<float> graph;

  State(size_t dimension, const GraphSettings& settings)
      : space(dimension),
        graph(&space, kInitialCapacity, settings.connectivity, settings.ef_construction, /*random_seed=*/100,
              /*allow_replace_deleted=*/true) {
    // searchKnn expands max(ef_, k); search passes k = max(ef, count) itself.
    graph.setEf(1);
  }

  // The node of `id`, or null when the id is not in the graph. Caller holds the lock
  // (shared at least) and no insertion runs.
  const hnswlib::tableint* node_of(uint32_t id) const {
    auto found = graph.label_lookup_.find(id);
    return found == graph.label_lookup_.end() ? nullptr : &found->second;
  }

  // Room for `more` new ids, which take over deleted nodes first. Exclusive lock;
  // throws on allocation failure.
  void reserve(size_t more) {
    const size_t vacant = graph.deleted_elements.size();
    if (more <= vacant) return;
    const size_t needed = graph.cur_element_count + (more - vacant);
    if (needed <= graph.max_elements_) return;
    graph.resizeIndex(std::max(needed, graph.max_elements_ * 2));
  }

  // Makes a deleted id visible again before its vector is replaced: hnswlib refuses
  // to update a deleted node while deleted nodes may be reused. Exclusive lock.
  void revive(uint32_t id) {
    const hnswlib::tableint* node = node_of(id);
    if (node != nullptr && graph.isMarkedDeleted(*node)) graph.unmarkDelete(id);
  }

  // Inserts or replaces one unit vector. Safe on several threads at once for distinct
  // ids. `present` says whether the id is in the graph already (looked up before any
  // thread starts): a new id may take over a deleted node, an existing one must not,
  // or its label would map to two nodes.
  void add(uint32_t id, const float* unit, bool present) { graph.addPoint(unit, id, /*replace_deleted=*/!present); }

  void hide(uint32_t id) {
    const hnswlib::tableint* node = node_of(id);
    if (node != nullptr && !graph.isMarkedDeleted(*node)) graph.markDelete(id);
  }
};

GraphIndex::GraphIndex(size_t dimension, GraphSettings settings) : dimension_(dimension), settings_(settings) {
  const GraphSettings defaults;
  if (settings_.connectivity == 0) settings_.connectivity = defaults.connectivity;
  if (settings_.ef_construction == 0) settings_.ef_construction = defaults.ef_construction;
  if (settings_.ef_search == 0) settings_.ef_search = defaults.ef_search;
  // hnswlib's level draw divides by log(M): M = 1 would put every node on every level.
  settings_.connectivity = std::clamp<size_t>(settings_.connectivity, 2, kMaxConnectivity);
  state_ = std::make_unique<State>(dimension_, settings_);
}

GraphIndex::~GraphIndex() = default;

Status GraphIndex::insert(uint32_t id, std::span<const float> vector, bool deleted) {
  if (vector.size() != dimension_) {
    return value_error("graph index insert: vector has " + std::to_string(vector.size()) +
                       " components, the graph's dimension is " + std::to_string(dimension_));
  }
  std::vector<float> unit(dimension_);
  unit_copy(vector, unit.data());
  std::unique_lock lock(lock_);
  try {
    const bool present = state_->node_of(id) != nullptr;
    if (!present) state_->reserve(1);
    state_->revive(id);
    state_->add(id, unit.data(), present);
    if (deleted) state_->hide(id);
  } catch (const std::exception& failure) {
    return internal_error(library_failure("insert", failure));
  }
  return ok_status();
}

Status GraphIndex::reserve(size_t additional) {
  std::unique_lock lock(lock_);
  try {
    state_->reserve(additional);
  } catch (const std::exception& failure) {
    return internal_error(library_failure("reserve", failure));
  }
  return ok_status();
}

Status GraphIndex::insert_batch(std::span<const uint32_t> ids, std::span<const float> rows, bool deleted) {
  if (rows.size() != ids.size() * dimension_) {
    return value_error("graph index insert_batch: " + std::to_string(rows.size()) + " floats for " +
                       std::to_string(ids.size()) + " rows of dimension " + std::to_string(dimension_));
  }
  // The last row of each id, in batch order: what inserting one by one would leave.
  std::vector<size_t> order(ids.size());
  std::iota(order.begin(), order.end(), size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return ids[a] < ids[b]; });
  std::vector<size_t> last_rows;
  last_rows.reserve(order.size());
  for (size_t i = 0; i < order.size(); ++i) {
    if (i + 1 == order.size() || ids[order[i + 1]] != ids[order[i]]) last_rows.push_back(order[i]);
  }

  std::unique_lock lock(lock_);
  try {
    std::vector<uint8_t> present(last_rows.size());
    size_t new_ids = 0;
    for (size_t i = 0; i < last_rows.size(); ++i) {
      present[i] = state_->node_of(ids[last_rows[i]]) != nullptr;
      new_ids += !present[i];
    }
    for (size_t row : last_rows) state_->revive(ids[row]);
    state_->reserve(new_ids);
    tbb::parallel_for(tbb::blocked_range<size_t>(0, last_rows.size(), 16), [&](const tbb::blocked_range<size_t>& range) {
      std::vector<float> unit(dimension_);
      for (size_t i = range.begin(); i < range.end(); ++i) {
        const size_t row = last_rows[i];
        unit_copy(rows.subspan(row * dimension_, dimension_), unit.data());
        state_->add(ids[row], unit.data(), present[i]);
      }
    });
    if (deleted) {
      for (size_t row : last_rows) state_->hide(ids[row]);
    }
  } catch (const std::exception& failure) {
    return internal_error(library_failure("insert_batch", failure));
  }
  return ok_status();
}

void GraphIndex::mark_deleted(const roaring::Roaring& ids) {
  std::unique_lock lock(lock_);
  auto& lookup = state_->graph.label_lookup_;
  // Walk the smaller side: a database's deleted set can be far larger than the graph.
  if (ids.cardinality() <= lookup.size()) {
    for (uint32_t id : ids) state_->hide(id);
    return;
  }
  std::vector<uint32_t> hidden;
  for (const auto& [label, node] : lookup) {
    if (ids.contains(static_cast<uint32_t>(label)) && !state_->graph.isMarkedDeleted(node)) {
      hidden.push_back(static_cast<uint32_t>(label));
    }
  }
  for (uint32_t id : hidden) state_->graph.markDelete(id);
}

Result<std::vector<GraphHit>> GraphIndex::search(std::span<const float> query, size_t count, size_t ef,
                                                 const AllowedIdTest& allowed) const {
  if (query.size() != dimension_) {
    return value_error("graph index search: query has " + std::to_string(query.size()) +
                       " components, the graph's dimension is " + std::to_string(dimension_));
  }
  std::vector<GraphHit> hits;
  if (count == 0) return hits;
  std::vector<float> unit(dimension_);
  unit_copy(query, unit.data());
  const size_t expansion = std::max(ef == 0 ? settings_.ef_search : ef, count);

  std::shared_lock lock(lock_);
  try {
    AllowedFilter filter(allowed);
    auto nearest = state_->graph.searchKnn(unit.data(), expansion, allowed ? &filter : nullptr);
    while (nearest.size() > count) nearest.pop();
    hits.resize(nearest.size());
    for (size_t i = hits.size(); i-- > 0; nearest.pop()) {
      hits[i] = GraphHit{static_cast<uint32_t>(nearest.top().second), nearest.top().first};
    }
  } catch (const std::exception& failure) {
    return internal_error(library_failure("search", failure));
  }
  return hits;
}

bool GraphIndex::contains(uint32_t id) const {
  std::shared_lock lock(lock_);
  const hnswlib::tableint* node = state_->node_of(id);
  return node != nullptr && !state_->graph.isMarkedDeleted(*node);
}

size_t GraphIndex::size() const {
  std::shared_lock lock(lock_);
  return state_->graph.cur_element_count - state_->graph.num_deleted_;
}

size_t GraphIndex::memory_bytes() const {
  std::shared_lock lock(lock_);
  const auto& graph = state_->graph;
  const size_t capacity = graph.max_elements_;
  size_t bytes = capacity * graph.size_data_per_element_;                  // vector copies and base-layer links
  bytes += capacity * (sizeof(int) + sizeof(char*) + sizeof(std::mutex));  // levels, upper-link pointers, node locks
  for (size_t node = 0; node < graph.cur_element_count; ++node) {
    bytes += size_t(graph.element_levels_[node]) * graph.size_links_per_element_;
  }
  bytes += graph.label_op_locks_.size() * sizeof(std::mutex);
  // Hash nodes: key, value and the next pointer, plus one bucket pointer each.
  bytes += graph.label_lookup_.size() * (sizeof(hnswlib::labeltype) + sizeof(hnswlib::tableint) + 2 * sizeof(void*));
  bytes += graph.label_lookup_.bucket_count() * sizeof(void*);
  bytes += graph.deleted_elements.size() * (sizeof(hnswlib::tableint) + 3 * sizeof(void*));
  bytes += capacity * sizeof(hnswlib::vl_type);  // at least one visited list
  return bytes;
}

}  // namespace vendrel
