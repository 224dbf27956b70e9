// Which HNSW library serves as the graph candidate stage: hnswlib against usearch, and
// both against an exact scan of the filter set, on clustered data at d = 768 (50
// Gaussian clusters, centres N(0, 1), noise 0.35; queries drawn from the same mixture).
//
// For each library, M = 16 and ef_construction in {100, 200}: build time on 2 threads,
// memory per document, and for ef in {32, 64, 128, 256} single-query p50/p99 and
// recall@10 against exact cosine, unfiltered and with a random allowed set of 50 %, 5 %
// and 0.5 % of the documents passed into the graph search as the allowed-id test
// (recall against the exact filtered top 10, p50, share of queries with fewer than 10
// hits). The exact scan (SimSIMD cosine over the rows of the allowed ids, top 10 kept
// in a heap) is timed on 1 and 2 threads at the same selectivities, and against hnswlib
// at the adopted settings over a finer range of fractions to place the crossover.
//
// Both libraries store a normalised copy of each vector and rank by 1 - dot (SimSIMD's
// run-time dispatched dot product), so the distance kernel is the same for both.
// Output: markdown tables on standard output. Built by cmake -DVENDREL_BUILD_BENCH=ON
// as vendrel_graph_library_bench; `--quick` runs the 4,000-document size only.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <malloc.h>
#include <memory>
#include <numeric>
#include <queue>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include <hnswlib/hnswlib.h>
#include <simsimd/simsimd.h>
#include <tbb/global_control.h>
#include <tbb/parallel_for.h>
#include <tbb/parallel_reduce.h>
#include <tbb/task_arena.h>
#include <usearch/index_dense.hpp>

#include "id_set.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kDimension = 768;
constexpr size_t kTopK = 10;
constexpr size_t kConnectivity = 16;
constexpr size_t kQueries = 200;
constexpr int kBuildThreads = 2;
const std::vector<size_t> kEfConstructions = {100, 200};
const std::vector<size_t> kEfSearches = {32, 64, 128, 256};
const std::vector<double> kSelectivities = {0.5, 0.05, 0.005};
// The settings the graph index adopted, at which the crossover to the scan is measured.
constexpr size_t kCrossoverEfConstruction = 100;
constexpr size_t kCrossoverEf = 128;

struct DataSet {
  size_t count = 0;
  std::vector<float> rows;        // count x kDimension, as generated
  std::vector<float> unit_rows;   // the same, normalised
  std::vector<float> queries;     // kQueries x kDimension
  std::vector<float> unit_queries;
  const float* row(size_t i) const { return rows.data() + i * kDimension; }
  const float* unit_row(size_t i) const { return unit_rows.data() + i * kDimension; }
  const float* query(size_t q) const { return queries.data() + q * kDimension; }
  const float* unit_query(size_t q) const { return unit_queries.data() + q * kDimension; }
};

void normalise(std::vector<float>& rows) {
  for (size_t start = 0; start < rows.size(); start += kDimension) {
    double norm = 0.0;
    for (size_t j = 0; j < kDimension; ++j) norm += double(rows[start + j]) * rows[start + j];
    const float scale = norm > 0.0 ? float(1.0 / std::sqrt(norm)) : 1.0f;
    for (size_t j = 0; j < kDimension; ++j) rows[start + j] *= scale;
  }
}

DataSet clustered(size_t count, unsigned seed) {
  std::mt19937 generator(seed);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::vector<float> centres(50 * kDimension);
  for (float& value : centres) value = normal(generator);
  std::uniform_int_distribution<size_t> pick(0, 49);
  auto draw = [&](size_t n) {
    std::vector<float> out(n * kDimension);
    for (size_t i = 0; i < n; ++i) {
      const float* centre = centres.data() + pick(generator) * kDimension;
      for (size_t j = 0; j < kDimension; ++j) out[i * kDimension + j] = centre[j] + 0.35f * normal(generator);
    }
    return out;
  };
  DataSet data;
  data.count = count;
  data.rows = draw(count);
  data.queries = draw(kQueries);
  data.unit_rows = data.rows;
  data.unit_queries = data.queries;
  normalise(data.unit_rows);
  normalise(data.unit_queries);
  return data;
}

double cosine_distance(const float* a, const float* b) {
  simsimd_distance_t distance = 0;
  simsimd_cos_f32(a, b, kDimension, &distance);
  return distance;
}

float unit_distance(const float* a, const float* b) {
  simsimd_distance_t dot = 0;
  simsimd_dot_f32(a, b, kDimension, &dot);
  return 1.0f - float(dot);
}

// Top k by ascending distance, ties by ascending id.
using Hit = std::pair<double, uint32_t>;
struct TopK {
  std::priority_queue<Hit> heap;  // the worst kept hit on top
  void offer(double distance, uint32_t id) {
    if (heap.size() < kTopK) {
      heap.emplace(distance, id);
    } else if (Hit{distance, id} < heap.top()) {
      heap.pop();
      heap.emplace(distance, id);
    }
  }
  void merge(TopK& other) {
    while (!other.heap.empty()) {
      offer(other.heap.top().first, other.heap.top().second);
      other.heap.pop();
    }
  }
  std::vector<uint32_t> ids() {
    std::vector<uint32_t> out;
    while (!heap.empty()) {
      out.push_back(heap.top().second);
      heap.pop();
    }
    std::reverse(out.begin(), out.end());
    return out;
  }
};

// The exact scan of an allowed set: the set's ids are listed, then each row is scored
// with SimSIMD cosine. The calling arena's concurrency decides the threads.
std::vector<uint32_t> exact_scan(const DataSet& data, const float* query, const roaring::Roaring& allowed) {
  std::vector<uint32_t> ids(allowed.cardinality());
  allowed.toUint32Array(ids.data());
  TopK top = tbb::parallel_reduce(
      tbb::blocked_range<size_t>(0, ids.size(), 1024), TopK{},
      [&](const tbb::blocked_range<size_t>& range, TopK partial) {
        for (size_t i = range.begin(); i < range.end(); ++i) {
          partial.offer(cosine_distance(query, data.row(ids[i])), ids[i]);
        }
        return partial;
      },
      [](TopK left, TopK right) {
        left.merge(right);
        return left;
      });
  return top.ids();
}

std::vector<uint32_t> exact_scan_all(const DataSet& data, const float* query) {
  TopK top;
  for (uint32_t id = 0; id < data.count; ++id) top.offer(cosine_distance(query, data.row(id)), id);
  return top.ids();
}

// Resident memory of the process, after handing free heap pages back.
size_t resident_bytes() {
  malloc_trim(0);
  size_t pages_total = 0, pages_resident = 0;
  if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(statm, "%zu %zu", &pages_total, &pages_resident) != 2) pages_resident = 0;
    std::fclose(statm);
  }
  return pages_resident * size_t(sysconf(_SC_PAGESIZE));
}

double percentile(std::vector<double> samples, double fraction) {
  std::sort(samples.begin(), samples.end());
  return samples[std::min(samples.size() - 1, size_t(fraction * double(samples.size())))];
}

double recall(const std::vector<uint32_t>& found, const std::vector<uint32_t>& truth) {
  if (truth.empty()) return 1.0;
  size_t hits = 0;
  for (uint32_t id : found) hits += std::count(truth.begin(), truth.end(), id);
  return double(hits) / double(truth.size());
}

// ---- the two libraries behind one face ----

class UnitDotSpace : public hnswlib::SpaceInterface<float> {
 public:
  size_t get_data_size() override { return kDimension * sizeof(float); }
  hnswlib::DISTFUNC<float> get_dist_func() override { return &distance; }
  void* get_dist_func_param() override { return &dimension_; }

 private:
  static float distance(const void* a, const void* b, const void*) {
    return unit_distance(static_cast<const float*>(a), static_cast<const float*>(b));
  }
  size_t dimension_ = kDimension;
};

struct AllowedFilter : hnswlib::BaseFilterFunctor {
  const roaring::Roaring* allowed = nullptr;
  bool operator()(hnswlib::labeltype label) override { return allowed->contains(uint32_t(label)); }
};

struct GraphUnderTest {
  virtual ~GraphUnderTest() = default;
  virtual std::string name() const = 0;
  virtual void add(uint32_t id, const float* unit_vector) = 0;
  virtual void set_ef(size_t ef) = 0;
  virtual std::vector<uint32_t> search(const float* unit_query, const roaring::Roaring* allowed) = 0;
  // The library's own account of its memory, in bytes.
  virtual size_t reported_bytes() const = 0;
};

class Hnswlib : public GraphUnderTest {
 public:
  Hnswlib(size_t capacity, size_t ef_construction)
      : graph_(&space_, capacity, kConnectivity, ef_construction) {}
  std::string name() const override { return "hnswlib 0.8.0"; }
  void add(uint32_t id, const float* unit_vector) override { graph_.addPoint(unit_vector, id); }
  void set_ef(size_t ef) override { graph_.setEf(ef); }
  std::vector<uint32_t> search(const float* unit_query, const roaring::Roaring* allowed) override {
    AllowedFilter filter;
    filter.allowed = allowed;
    auto heap = graph_.searchKnn(unit_query, kTopK, allowed ? &filter : nullptr);
    std::vector<uint32_t> ids;
    while (!heap.empty()) {
      ids.push_back(uint32_t(heap.top().second));
      heap.pop();
    }
    std::reverse(ids.begin(), ids.end());
    return ids;
  }
  size_t reported_bytes() const override {
    size_t bytes = graph_.max_elements_ * graph_.size_data_per_element_;
    for (size_t i = 0; i < graph_.cur_element_count; ++i) {
      bytes += size_t(graph_.element_levels_[i]) * graph_.size_links_per_element_ + sizeof(int) + sizeof(void*);
    }
    return bytes + graph_.label_lookup_.size() * (sizeof(hnswlib::labeltype) + sizeof(hnswlib::tableint) + 16);
  }

 private:
  UnitDotSpace space_;
  hnswlib::HierarchicalNSW<float> graph_;
};

float usearch_distance(std::size_t a, std::size_t b, std::size_t) {
  return unit_distance(reinterpret_cast<const float*>(a), reinterpret_cast<const float*>(b));
}

class Usearch : public GraphUnderTest {
  using Index = unum::usearch::index_dense_gt<uint32_t, uint32_t>;

 public:
  Usearch(size_t capacity, size_t ef_construction) {
    using namespace unum::usearch;
    index_dense_config_t config(kConnectivity);
    config.expansion_add = ef_construction;
    const metric_punned_t metric =
        metric_punned_t::stateless(kDimension, reinterpret_cast<std::uintptr_t>(&usearch_distance),
                                   metric_punned_signature_t::array_array_size_k, metric_kind_t::ip_k,
                                   scalar_kind_t::f32_k);
    auto made = Index::make(metric, config);
    if (!made) throw std::runtime_error(made.error.release());
    index_ = std::move(made.index);
    index_.reserve(index_limits_t(capacity, kBuildThreads));
  }
  std::string name() const override { return "usearch 2.26.6"; }
  void add(uint32_t id, const float* unit_vector) override {
    const int thread = tbb::this_task_arena::current_thread_index();
    auto result = index_.add(id, unit_vector, thread < 0 ? 0 : size_t(thread));
    if (!result) throw std::runtime_error(result.error.release());
  }
  void set_ef(size_t ef) override { index_.change_expansion_search(ef); }
  std::vector<uint32_t> search(const float* unit_query, const roaring::Roaring* allowed) override {
    auto result = allowed ? index_.filtered_search(unit_query, kTopK,
                                                   [allowed](uint32_t key) { return allowed->contains(key); }, 0)
                          : index_.search(unit_query, kTopK, 0);
    std::vector<uint32_t> ids(result.size());
    std::vector<float> distances(result.size());
    result.dump_to(ids.data(), distances.data());
    return ids;
  }
  size_t reported_bytes() const override { return index_.memory_usage(); }

 private:
  Index index_;
};

// ---- measurement ----

struct Truth {
  std::vector<std::vector<uint32_t>> unfiltered;               // per query
  std::vector<std::vector<std::vector<uint32_t>>> filtered;    // per selectivity, per query
};

struct ScanTimes {
  std::vector<double> p50_one_thread;  // per selectivity, ms
  std::vector<double> p50_two_threads;
};

template <typename Work>
double time_ms(Work&& work) {
  const auto start = Clock::now();
  work();
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::vector<roaring::Roaring> allowed_sets(size_t count) {
  std::vector<roaring::Roaring> sets;
  std::mt19937 generator(77);
  for (double selectivity : kSelectivities) {
    std::bernoulli_distribution keep(selectivity);
    roaring::Roaring set;
    for (uint32_t id = 0; id < count; ++id) {
      if (keep(generator)) set.add(id);
    }
    set.runOptimize();
    sets.push_back(std::move(set));
  }
  return sets;
}

// The exact references, and the exact scan's latency (it is the filtered reference).
void exact_references(const DataSet& data, const std::vector<roaring::Roaring>& sets, Truth& truth,
                      ScanTimes& scan) {
  truth.unfiltered.resize(kQueries);
  tbb::parallel_for(size_t{0}, kQueries, [&](size_t q) { truth.unfiltered[q] = exact_scan_all(data, data.query(q)); });
  truth.filtered.assign(sets.size(), std::vector<std::vector<uint32_t>>(kQueries));
  for (size_t s = 0; s < sets.size(); ++s) {
    for (int threads : {1, 2}) {
      tbb::task_arena arena(threads);
      std::vector<double> samples;
      for (size_t q = 0; q < kQueries; ++q) {
        arena.execute([&] {
          samples.push_back(time_ms([&] { truth.filtered[s][q] = exact_scan(data, data.query(q), sets[s]); }));
        });
      }
      (threads == 1 ? scan.p50_one_thread : scan.p50_two_threads).push_back(percentile(samples, 0.5));
    }
  }
  {
    // The whole collection as one allowed set: the scan's cost per row at 100 %.
    roaring::Roaring all;
    all.addRange(0, data.count);
    for (int threads : {1, 2}) {
      tbb::task_arena arena(threads);
      std::vector<double> samples;
      for (size_t q = 0; q < kQueries / 4; ++q) {
        arena.execute([&] { samples.push_back(time_ms([&] { (void)exact_scan(data, data.query(q), all); })); });
      }
      (threads == 1 ? scan.p50_one_thread : scan.p50_two_threads).push_back(percentile(samples, 0.5));
    }
  }
}

struct SearchRow {
  size_t ef = 0;
  double p50 = 0, p99 = 0, recall = 0;
  std::vector<double> filtered_recall, filtered_p50, filtered_short;
};

SearchRow measure_search(GraphUnderTest& graph, const DataSet& data, const std::vector<roaring::Roaring>& sets,
                         const Truth& truth, size_t ef) {
  SearchRow row;
  row.ef = ef;
  graph.set_ef(ef);
  std::vector<double> samples;
  double recall_sum = 0;
  for (size_t q = 0; q < kQueries; ++q) {
    std::vector<uint32_t> found;
    samples.push_back(time_ms([&] { found = graph.search(data.unit_query(q), nullptr); }));
    recall_sum += recall(found, truth.unfiltered[q]);
  }
  row.p50 = percentile(samples, 0.5);
  row.p99 = percentile(samples, 0.99);
  row.recall = recall_sum / kQueries;
  for (size_t s = 0; s < sets.size(); ++s) {
    samples.clear();
    recall_sum = 0;
    size_t short_results = 0;
    for (size_t q = 0; q < kQueries; ++q) {
      std::vector<uint32_t> found;
      samples.push_back(time_ms([&] { found = graph.search(data.unit_query(q), &sets[s]); }));
      recall_sum += recall(found, truth.filtered[s][q]);
      short_results += found.size() < std::min<size_t>(kTopK, sets[s].cardinality());
      for (uint32_t id : found) {
        if (!sets[s].contains(id)) std::printf("ERROR: %s returned id %u outside the allowed set\n", graph.name().c_str(), id);
      }
    }
    row.filtered_recall.push_back(recall_sum / kQueries);
    row.filtered_p50.push_back(percentile(samples, 0.5));
    row.filtered_short.push_back(double(short_results) / kQueries);
  }
  return row;
}

// Where the exact scan of the allowed set overtakes the graph search: hnswlib at the
// chosen settings against the scan on 1 and 2 threads, over a finer range of allowed
// fractions. Each query gets one of 20 different random sets, so the scanned rows are
// not the same few cache-resident rows query after query.
void crossover_sweep(GraphUnderTest& graph, const DataSet& data, size_t ef) {
  const std::vector<double> fractions = {0.002, 0.005, 0.01, 0.02, 0.05, 0.1, 0.2, 0.5};
  constexpr size_t kSetsPerFraction = 20;
  graph.set_ef(ef);
  std::printf("\nCrossover, %s at ef = %zu against the exact scan (p50 ms; each query one of %zu random sets):\n\n",
              graph.name().c_str(), ef, kSetsPerFraction);
  std::printf("| allowed fraction | allowed ids | graph ms | graph recall@10 | scan 1 thread ms | scan 2 threads ms | graph / scan (2 threads) |\n");
  std::printf("|---:|---:|---:|---:|---:|---:|---:|\n");
  std::mt19937 generator(99);
  tbb::task_arena one(1), two(2);
  for (double fraction : fractions) {
    std::vector<roaring::Roaring> sets(kSetsPerFraction);
    std::bernoulli_distribution keep(fraction);
    for (auto& set : sets) {
      for (uint32_t id = 0; id < data.count; ++id) {
        if (keep(generator)) set.add(id);
      }
    }
    std::vector<double> graph_ms, one_ms, two_ms;
    double recall_sum = 0;
    // One pass per method, so that no method reads rows the one before it just cached.
    std::vector<std::vector<uint32_t>> found(kQueries), truth(kQueries);
    for (size_t q = 0; q < kQueries; ++q) {
      graph_ms.push_back(time_ms([&] { found[q] = graph.search(data.unit_query(q), &sets[q % kSetsPerFraction]); }));
    }
    one.execute([&] {
      for (size_t q = 0; q < kQueries; ++q) {
        one_ms.push_back(time_ms([&] { truth[q] = exact_scan(data, data.query(q), sets[q % kSetsPerFraction]); }));
      }
    });
    two.execute([&] {
      for (size_t q = 0; q < kQueries; ++q) {
        two_ms.push_back(time_ms([&] { (void)exact_scan(data, data.query(q), sets[q % kSetsPerFraction]); }));
      }
    });
    for (size_t q = 0; q < kQueries; ++q) recall_sum += recall(found[q], truth[q]);
    const double graph_p50 = percentile(graph_ms, 0.5), two_p50 = percentile(two_ms, 0.5);
    std::printf("| %g %% | %zu | %.3f | %.4f | %.3f | %.3f | %.2f |\n", fraction * 100,
                size_t(sets[0].cardinality()), graph_p50, recall_sum / kQueries, percentile(one_ms, 0.5), two_p50,
                graph_p50 / two_p50);
    std::fflush(stdout);
  }
}

void run_library(const std::string& which, const DataSet& data, const std::vector<roaring::Roaring>& sets,
                 const Truth& truth, size_t ef_construction) {
  const size_t resident_before = resident_bytes();
  std::unique_ptr<GraphUnderTest> graph;
  if (which == "hnswlib") {
    graph = std::make_unique<Hnswlib>(data.count, ef_construction);
  } else {
    graph = std::make_unique<Usearch>(data.count, ef_construction);
  }
  double build_ms = 0;
  {
    tbb::task_arena arena(kBuildThreads);
    build_ms = time_ms([&] {
      arena.execute([&] {
        tbb::parallel_for(tbb::blocked_range<size_t>(0, data.count, 64), [&](const tbb::blocked_range<size_t>& range) {
          for (size_t i = range.begin(); i < range.end(); ++i) graph->add(uint32_t(i), data.unit_row(i));
        });
      });
    });
  }
  const double resident_per_doc = (double(resident_bytes()) - double(resident_before)) / double(data.count);
  const double reported_per_doc = double(graph->reported_bytes()) / double(data.count);
  std::printf("\n#### %s, n = %zu, M = %zu, ef_construction = %zu\n\n", graph->name().c_str(), data.count,
              kConnectivity, ef_construction);
  std::printf("build on %d threads: %.1f s, %.0f docs/s; memory per document: %.0f bytes resident, %.0f bytes by the "
              "library's account (the vector copy is %zu of them)\n\n",
              kBuildThreads, build_ms / 1000, double(data.count) / (build_ms / 1000), resident_per_doc, reported_per_doc,
              kDimension * sizeof(float));
  std::printf("| ef | p50 ms | p99 ms | recall@10 |");
  for (double s : kSelectivities) std::printf(" %g %%: recall / p50 ms / short |", s * 100);
  std::printf("\n|---:|---:|---:|---:|");
  for (size_t s = 0; s < kSelectivities.size(); ++s) std::printf("---|");
  std::printf("\n");
  for (size_t ef : kEfSearches) {
    const SearchRow row = measure_search(*graph, data, sets, truth, ef);
    std::printf("| %zu | %.3f | %.3f | %.4f |", row.ef, row.p50, row.p99, row.recall);
    for (size_t s = 0; s < kSelectivities.size(); ++s) {
      std::printf(" %.4f / %.3f / %.1f %% |", row.filtered_recall[s], row.filtered_p50[s], row.filtered_short[s] * 100);
    }
    std::printf("\n");
    std::fflush(stdout);
  }
  if (which == "hnswlib" && ef_construction == kCrossoverEfConstruction) crossover_sweep(*graph, data, kCrossoverEf);
}

void run_size(size_t count) {
  const DataSet data = clustered(count, unsigned(count));
  const std::vector<roaring::Roaring> sets = allowed_sets(count);
  Truth truth;
  ScanTimes scan;
  exact_references(data, sets, truth, scan);
  std::printf("\n### n = %zu x %zu, %zu queries\n\n", count, kDimension, kQueries);
  std::printf("Exact scan of the allowed set (SimSIMD cosine, top 10), p50 per query:\n\n");
  std::printf("| allowed fraction | allowed ids | 1 thread ms | 2 threads ms | ns per row (1 thread) |\n|---:|---:|---:|---:|---:|\n");
  for (size_t s = 0; s <= sets.size(); ++s) {
    const double fraction = s < sets.size() ? kSelectivities[s] : 1.0;
    const size_t allowed = s < sets.size() ? sets[s].cardinality() : count;
    std::printf("| %g %% | %zu | %.3f | %.3f | %.1f |\n", fraction * 100, allowed, scan.p50_one_thread[s],
                scan.p50_two_threads[s], scan.p50_one_thread[s] * 1e6 / double(allowed));
  }
  std::fflush(stdout);
  for (size_t ef_construction : kEfConstructions) {
    for (const char* which : {"hnswlib", "usearch"}) run_library(which, data, sets, truth, ef_construction);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
  tbb::global_control threads(tbb::global_control::max_allowed_parallelism, kBuildThreads);
  std::printf("Graph libraries on clustered data, d = %zu, M = %zu, k = %zu; SimSIMD dot on normalised copies\n",
              kDimension, kConnectivity, kTopK);
  std::printf("Columns per selectivity: recall@10 against the exact filtered top 10 / p50 / share of queries with fewer than 10 hits\n");
  if (!quick) run_size(100000);
  run_size(4000);
  return 0;
}
