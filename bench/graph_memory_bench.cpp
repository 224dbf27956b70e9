// The graph mode's memory, speed and recall, one configuration per process, so that the
// resident-memory figure of each starts from the same state. graph_memory_bench.sh
// builds this file against this tree and against an older revision and runs the
// configurations interleaved.
//
//   vendrel_graph_memory_bench MODE N
//
// MODE: `graph` (FullVendrelDB with the HNSW graph), `exact` (FullVendrelDB's scan) or
// `hnswlib` (hnswlib 0.8.0 alone: its inner-product space over normalised copies, as
// its Python `cosine` index keeps them). Data: N + 200 vectors of d = 768 from
// bench_data.h's mixture of 50 Gaussians; the last 200 are the queries. FullVendrelDB
// ingests with one add_many (metadata "{}"), hnswlib with addPoint on 2 threads. M = 16,
// ef_construction = 100 for both graphs.
//
// Prints one JSON object: build seconds; resident bytes per document (the process's
// resident set after ingest minus before, after handing free heap back, over N); the
// graph's own account (GraphIndex::memory_bytes) per document; for ef in 64, 128, 256
// the p50 of 200 single queries (FullVendrelDB::search, and the graph search alone) and
// recall@10 against the exact top 10; and, with -DVENDREL_GRAPH_FILE, the time to save
// the graph to memory, its size, the time to load it back, and whether the loaded graph
// answers the 200 queries as the original does.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <malloc.h>
#include <numeric>
#include <string>
#include <unistd.h>
#include <vector>

#include <hnswlib/hnswlib.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

#include "bench_data.h"
#include "full_core.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kQueries = 200;
constexpr size_t kTopK = 10;
const size_t kEfs[] = {64, 128, 256};

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

size_t resident_bytes() {
  malloc_trim(0);
  size_t pages_total = 0, pages_resident = 0;
  if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(statm, "%zu %zu", &pages_total, &pages_resident) != 2) pages_resident = 0;
    std::fclose(statm);
  }
  return pages_resident * size_t(sysconf(_SC_PAGESIZE));
}

double median(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  return samples[samples.size() / 2];
}

std::vector<float> unit(const std::vector<float>& vector) {
  double squared = 0;
  for (float value : vector) squared += double(value) * value;
  std::vector<float> out(vector);
  for (float& value : out) value = float(value / std::sqrt(squared));
  return out;
}

// The exact top 10 of every query by cosine, on the oneTBB pool.
std::vector<std::vector<uint32_t>> exact_truth(const std::vector<std::vector<float>>& rows,
                                               const std::vector<std::vector<float>>& queries) {
  std::vector<float> norms(rows.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    norms[i] = std::sqrt(vendrel::dot_product(rows[i].data(), rows[i].data(), rows[i].size()));
  }
  std::vector<std::vector<uint32_t>> truth(queries.size());
  tbb::parallel_for(size_t{0}, queries.size(), [&](size_t q) {
    std::vector<std::pair<float, uint32_t>> scored(rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
      scored[i] = {-vendrel::dot_product(queries[q].data(), rows[i].data(), rows[i].size()) / norms[i], uint32_t(i)};
    }
    std::partial_sort(scored.begin(), scored.begin() + kTopK, scored.end());
    for (size_t i = 0; i < kTopK; ++i) truth[q].push_back(scored[i].second);
  });
  return truth;
}

double recall(const std::vector<uint32_t>& found, const std::vector<uint32_t>& truth) {
  size_t hits = 0;
  for (uint32_t id : found) hits += std::count(truth.begin(), truth.end(), id);
  return double(hits) / double(truth.size());
}

struct EfRow {
  size_t ef = 0;
  double p50_ms = 0, graph_p50_ms = 0, recall = 0;
};

void print_rows(const std::vector<EfRow>& rows) {
  std::printf("\"ef\": [");
  for (size_t i = 0; i < rows.size(); ++i) {
    std::printf("%s{\"ef\": %zu, \"p50_ms\": %.4f, \"graph_p50_ms\": %.4f, \"recall\": %.4f}", i ? ", " : "",
                rows[i].ef, rows[i].p50_ms, rows[i].graph_p50_ms, rows[i].recall);
  }
  std::printf("]");
}

int run_database(bool with_graph, size_t count, const std::vector<std::vector<float>>& rows,
                 const std::vector<std::vector<float>>& queries, const std::vector<std::vector<uint32_t>>& truth) {
  const std::string path = "/tmp/vendrel-graph-memory-bench-" + std::to_string(getpid());
  vendrel::FullSettings settings;
  settings.index = with_graph ? vendrel::IndexKind::kGraph : vendrel::IndexKind::kExact;
  std::vector<uint32_t> ids(count);
  std::iota(ids.begin(), ids.end(), 0u);
  vendrel::DocumentBatch batch;
  batch.ids = ids;
  for (const auto& row : rows) batch.vectors.emplace_back(row);
  batch.metadata_jsons.assign(count, "{}");

  const size_t resident_before = resident_bytes();
  const auto start = Clock::now();
  auto opened = vendrel::FullVendrelDB::open(path, settings);
  if (!opened.ok()) return std::fprintf(stderr, "%s\n", opened.error().message.c_str()), 1;
  auto& db = *opened.value();
  const vendrel::Status added = db.add_many(batch);
  const double build_s = seconds_since(start);
  if (!added.ok()) return std::fprintf(stderr, "%s\n", added.error().message.c_str()), 1;
  const double resident_per_doc = double(resident_bytes() - resident_before) / double(count);
  const double graph_per_doc = with_graph ? double(db.graph->memory_bytes()) / double(count) : 0.0;

  std::vector<EfRow> ef_rows;
  for (size_t ef : with_graph ? std::vector<size_t>(std::begin(kEfs), std::end(kEfs)) : std::vector<size_t>{0}) {
    EfRow row{ef};
    std::vector<double> samples, graph_samples;
    for (size_t q = 0; q < kQueries; ++q) {
      std::vector<uint32_t> found;
      auto begin = Clock::now();
      auto hits = db.search(queries[q], kTopK, std::nullopt, false, ef);
      samples.push_back(seconds_since(begin) * 1e3);
      for (const auto& hit : hits.value()) found.push_back(hit.id);
      row.recall += recall(found, truth[q]) / kQueries;
      if (with_graph) {
        begin = Clock::now();
        auto graph_hits = db.graph->search(queries[q], kTopK, ef);
        graph_samples.push_back(seconds_since(begin) * 1e3);
      }
    }
    row.p50_ms = median(samples);
    row.graph_p50_ms = with_graph ? median(graph_samples) : 0.0;
    ef_rows.push_back(row);
  }
  std::printf("{\"mode\": \"%s\", \"n\": %zu, \"build_s\": %.2f, \"resident_per_doc\": %.1f, \"graph_per_doc\": %.1f, ",
              with_graph ? "graph" : "exact", count, build_s, resident_per_doc, graph_per_doc);
  print_rows(ef_rows);
#ifdef VENDREL_GRAPH_FILE
  if (with_graph) {
    std::vector<std::byte> saved;
    auto begin = Clock::now();
    const vendrel::Status status = db.graph->save([&](const void* data, size_t size) {
      const auto* first = static_cast<const std::byte*>(data);
      saved.insert(saved.end(), first, first + size);
      return vendrel::ok_status();
    });
    const double save_s = seconds_since(begin);
    begin = Clock::now();
    auto loaded = vendrel::GraphIndex::load(saved, &db.rows->value, db.dimension, db.settings.graph);
    const double load_s = seconds_since(begin);
    bool same = status.ok() && loaded.ok();
    for (size_t q = 0; same && q < kQueries; ++q) {
      const auto a = db.graph->search(queries[q], kTopK, 128).value();
      const auto b = loaded.value()->search(queries[q], kTopK, 128).value();
      same = a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](const auto& x, const auto& y) {
               return x.id == y.id && x.distance == y.distance;
             });
    }
    std::printf(", \"save_s\": %.3f, \"saved_bytes\": %zu, \"load_s\": %.3f, \"loaded_answers_same\": %s", save_s,
                saved.size(), load_s, same ? "true" : "false");
  }
#endif
  std::printf("}\n");
  std::filesystem::remove_all(path);
  return 0;
}

int run_hnswlib(size_t count, const std::vector<std::vector<float>>& rows,
                const std::vector<std::vector<float>>& queries, const std::vector<std::vector<uint32_t>>& truth) {
  const size_t resident_before = resident_bytes();
  const auto start = Clock::now();
  hnswlib::InnerProductSpace space(bench::kDimension);
  hnswlib::HierarchicalNSW<float> graph(&space, count, 16, 100);
  tbb::task_arena arena(2);
  arena.execute([&] {
    tbb::parallel_for(size_t{0}, count, [&](size_t i) { graph.addPoint(unit(rows[i]).data(), i); });
  });
  const double build_s = seconds_since(start);
  const double resident_per_doc = double(resident_bytes() - resident_before) / double(count);
  std::vector<EfRow> ef_rows;
  for (size_t ef : kEfs) {
    EfRow row{ef};
    graph.setEf(ef);
    std::vector<double> samples;
    for (size_t q = 0; q < kQueries; ++q) {
      const auto begin = Clock::now();
      const std::vector<float> query = unit(queries[q]);
      auto nearest = graph.searchKnn(query.data(), kTopK);
      samples.push_back(seconds_since(begin) * 1e3);
      std::vector<uint32_t> found;
      for (; !nearest.empty(); nearest.pop()) found.push_back(uint32_t(nearest.top().second));
      row.recall += recall(found, truth[q]) / kQueries;
    }
    row.p50_ms = row.graph_p50_ms = median(samples);
    ef_rows.push_back(row);
  }
  std::printf("{\"mode\": \"hnswlib\", \"n\": %zu, \"build_s\": %.2f, \"resident_per_doc\": %.1f, ", count, build_s,
              resident_per_doc);
  print_rows(ef_rows);
  std::printf("}\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return std::fprintf(stderr, "usage: %s graph|exact|hnswlib N\n", argv[0]), 2;
  const std::string mode = argv[1];
  const size_t count = std::stoul(argv[2]);
  std::vector<std::vector<float>> rows = bench::clustered(count + kQueries, 7);
  std::vector<std::vector<float>> queries(rows.end() - kQueries, rows.end());
  rows.resize(count);
  rows.shrink_to_fit();
  const auto truth = exact_truth(rows, queries);
  if (mode == "hnswlib") return run_hnswlib(count, rows, queries, truth);
  return run_database(mode == "graph", count, rows, queries, truth);
}
