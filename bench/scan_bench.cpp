// Scoring throughput of VectorStorage against the memory floor, on clustered data at
// d = 768 (50 Gaussian clusters, noise 0.35):
//  - full vectors, 4,000 documents: score_candidates over every id (parallel, the pool's
//    threads) beside a plain vectorised float sum over the same page rows on the same
//    pool (the bytes any full scan must read);
//  - quantized, 100,000 documents: score_candidates over every code (parallel and on
//    one thread) per query;
//  - the full-vector database's exact top 10 (exact_top_k), 100,000 and 4,000 documents,
//    over every row and over a 5 % filter set, beside the same float sum over exactly the
//    rows it reads;
//  - the block scorer of the batch scan alone, each variant the CPU runs, on one thread
//    with its operands in cache (GFLOP/s in the thread's processor time), and the batch
//    scan (exact_top_k_many) over 100,000 documents at d = 768 and 384 for batches of 1,
//    10, 100 and 1,000 queries (queries/s, GFLOP/s in wall time and per processor second).
// Median of 200 runs each (fewer for the batches). Built by cmake -DVENDREL_BUILD_BENCH=ON
// as vendrel_scan_bench; `vendrel_scan_bench exact` or `batch` runs one part, and
// `serve ROWS QUERIES D [THREADS]` is the batch scan's side of bench/batch_scan_peers.py.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <numeric>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include <tbb/blocked_range.h>
#include <tbb/global_control.h>
#include <tbb/parallel_reduce.h>

#include "scan.h"
#include "scan_kernel.h"
#include "storage.h"
#include "bench_data.h"

namespace {

using Clock = std::chrono::steady_clock;
using bench::kDimension;
constexpr int kRuns = 200;

using bench::clustered;

template <typename Work>
double median_ms(Work&& work, int runs = kRuns) {
  std::vector<double> samples;
  for (int run = 0; run < runs; ++run) {
    const auto start = Clock::now();
    work();
    samples.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  std::nth_element(samples.begin(), samples.begin() + runs / 2, samples.end());
  return samples[runs / 2];
}

// The median of `runs` timings of work() in the calling thread's processor time, which
// other processes' load on a shared machine does not inflate.
template <typename Work>
double median_thread_cpu_ms(Work&& work, int runs) {
  auto now = [] {
    timespec time{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &time);
    return double(time.tv_sec) * 1e3 + double(time.tv_nsec) / 1e6;
  };
  std::vector<double> samples;
  for (int run = 0; run < runs; ++run) {
    const double start = now();
    work();
    samples.push_back(now() - start);
  }
  std::nth_element(samples.begin(), samples.begin() + runs / 2, samples.end());
  return samples[runs / 2];
}

// The processor time of the whole process (every thread), in milliseconds.
double process_cpu_ms() {
  timespec time{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &time);
  return double(time.tv_sec) * 1e3 + double(time.tv_nsec) / 1e6;
}

// The floor: every stored float read once, summed in vector registers, on the pool.
float parallel_sum(const std::vector<std::pair<const float*, size_t>>& spans) {
  return tbb::parallel_reduce(
      tbb::blocked_range<size_t>(0, spans.size()), 0.0f,
      [&](const tbb::blocked_range<size_t>& range, float partial) {
        for (size_t i = range.begin(); i < range.end(); ++i) {
          float lanes[16] = {};
          const float* data = spans[i].first;
          for (size_t j = 0; j + 16 <= spans[i].second; j += 16) {
            for (int lane = 0; lane < 16; ++lane) lanes[lane] += data[j + lane];
          }
          partial += std::accumulate(lanes, lanes + 16, 0.0f);
        }
        return partial;
      },
      std::plus<float>());
}

// Stores the vectors under ids 0..n-1 and returns those ids.
std::vector<uint32_t> store_all(vendrel::VectorStorage& storage, const std::vector<std::vector<float>>& vectors) {
  for (uint32_t id = 0; id < vectors.size(); ++id) (void)storage.store(id, vectors[id]);
  std::vector<uint32_t> ids(vectors.size());
  std::iota(ids.begin(), ids.end(), 0u);
  return ids;
}

void full_vector_regime() {
  vendrel::VectorStorage storage;
  const std::vector<uint32_t> ids = store_all(storage, clustered(4000, 1));
  const auto query = clustered(1, 2)[0];

  std::vector<std::pair<const float*, size_t>> page_rows;
  storage.vectors.value.pages().for_each_page([&](uint64_t, const vendrel::VectorPage& page) {
    page_rows.emplace_back(page.rows.data(), page.rows.size());
  });
  volatile float sink = 0.0f;
  const double floor_ms = median_ms([&] { sink = parallel_sum(page_rows); });
  const double scan_ms = median_ms([&] { sink = storage.score_candidates(query, ids, true).front().score; });
  const double sequential_ms = median_ms([&] { sink = storage.score_candidates(query, ids, false).front().score; });
  std::printf("full vectors, 4000 x 768: scan %.3f ms (one thread %.3f ms), floor %.3f ms, ratio %.2fx\n", scan_ms,
              sequential_ms, floor_ms, scan_ms / floor_ms);
}

void quantized_regime() {
  vendrel::VectorStorage storage;
  const std::vector<uint32_t> ids = store_all(storage, clustered(100000, 3));
  const auto query = clustered(1, 4)[0];
  volatile float sink = 0.0f;
  const double parallel_ms = median_ms([&] { sink = storage.score_candidates(query, ids, true).front().score; });
  const double sequential_ms = median_ms([&] { sink = storage.score_candidates(query, ids, false).front().score; });
  std::printf("quantized, 100000 codes: scan %.3f ms per query (one thread %.3f ms)\n", parallel_ms,
               sequential_ms);
}

// Every row of the table, or only those of `ids`: the bytes the exact scan must read.
std::vector<std::pair<const float*, size_t>> rows_of(const vendrel::VectorTable& table, const std::vector<uint32_t>* ids) {
  std::vector<std::pair<const float*, size_t>> rows;
  if (ids) {
    for (uint32_t id : *ids) rows.emplace_back(table.get(id)->data(), table.width());
  } else {
    table.pages().for_each_page([&](uint64_t, const vendrel::VectorPage& page) {
      rows.emplace_back(page.rows.data(), page.rows.size());
    });
  }
  return rows;
}

void exact_scan(size_t count) {
  vendrel::VectorTable table(/*keep_norms=*/true);
  const auto vectors = clustered(count, 5);
  for (uint32_t id = 0; id < count; ++id) table.put(id, vectors[id]);
  const auto query = clustered(1, 6)[0];
  roaring::Roaring five_percent;
  std::vector<uint32_t> five_percent_ids;
  for (uint32_t id = 0; id < count; id += 20) {
    five_percent.add(id);
    five_percent_ids.push_back(id);
  }
  const roaring::Roaring none;
  volatile float sink = 0.0f;
  for (const bool filtered : {false, true}) {
    const auto rows = rows_of(table, filtered ? &five_percent_ids : nullptr);
    const roaring::Roaring* within = filtered ? &five_percent : nullptr;
    const double floor_ms = median_ms([&] { sink = parallel_sum(rows); });
    const double scan_ms = median_ms([&] { sink = exact_top_k(table, query, 10, within, none, true).front().score; });
    const double sequential_ms =
        median_ms([&] { sink = exact_top_k(table, query, 10, within, none, false).front().score; });
    std::printf("exact top 10, %zu x 768%s: scan %.3f ms (one thread %.3f ms), floor %.3f ms, ratio %.2fx\n", count,
                filtered ? ", 5 % filter" : "", scan_ms, sequential_ms, floor_ms, scan_ms / floor_ms);
  }
}

// The block scorer alone on one thread, its operands in cache (84 queries x 256 rows):
// GFLOP/s of every variant the CPU runs (2 x d flops per pair).
void block_kernel(size_t dimension) {
  const auto queries = clustered(84, 7, dimension);
  const auto rows = clustered(256, 8, dimension);
  std::vector<const float*> query_pointers;
  std::vector<const float*> row_pointers;
  for (const auto& query : queries) query_pointers.push_back(query.data());
  for (const auto& row : rows) row_pointers.push_back(row.data());
  const std::vector<double> query_scales(queries.size(), 1.0);
  const std::vector<double> row_scales(rows.size(), 1.0);
  const vendrel::ScoreBlock block{query_pointers.data(), query_scales.data(), queries.size(),
                                  row_pointers.data(),   row_scales.data(),   rows.size(),
                                  dimension};
  std::vector<float> scores(queries.size() * rows.size());
  const double flops = 2.0 * double(queries.size()) * double(rows.size()) * double(dimension);
  for (const vendrel::BlockScorer& scorer : vendrel::runnable_block_scorers()) {
    const double ms = median_thread_cpu_ms([&] { scorer.score(block, scores.data()); }, 50);
    std::printf("block scorer %s, d = %zu, one thread, in cache: %.1f GFLOP/s\n", scorer.name, dimension,
                flops / ms / 1e6);
  }
}

// The batch scan (exact_top_k_many, top 10, on the pool) over 100,000 x d: queries per
// second and GFLOP/s (2 x n x d flops per query) for batches of 1, 10, 100 and 1,000.
void batch_scan(size_t dimension) {
  constexpr size_t kCount = 100000;
  vendrel::VectorTable table(/*keep_norms=*/true);
  const auto vectors = clustered(kCount, 5, dimension);
  for (uint32_t id = 0; id < kCount; ++id) table.put(id, vectors[id]);
  const auto queries = clustered(1000, 6, dimension);
  std::vector<std::span<const float>> views(queries.begin(), queries.end());
  const roaring::Roaring none;
  volatile float sink = 0.0f;
  for (const size_t batch : {size_t{1}, size_t{10}, size_t{100}, size_t{1000}}) {
    const int runs = batch >= 1000 ? 5 : batch >= 100 ? 10 : 50;
    const std::span<const std::span<const float>> some(views.data(), batch);
    const double cpu_before = process_cpu_ms();
    const double ms = median_ms([&] { sink = exact_top_k_many(table, some, 10, nullptr, none, true)[0][0].score; }, runs);
    const double cpu_ms = (process_cpu_ms() - cpu_before) / runs;
    const double flops = 2.0 * double(kCount) * double(dimension) * double(batch);
    std::printf("batch scan, %zu x %zu, %4zu queries: %9.2f ms, %8.1f queries/s, %6.1f GFLOP/s (%5.1f per CPU second)\n",
                kCount, dimension, batch, ms, batch / ms * 1e3, flops / ms / 1e6, flops / cpu_ms / 1e6);
  }
}

// For bench/batch_scan_peers.py: reads n x d rows and m x d queries (raw float32,
// row-major), then answers commands on standard input, one per line:
//   search M       the top 10 of the first M queries (exact_top_k_many on the pool);
//                  prints the milliseconds taken and the process's processor
//                  milliseconds (every thread)
//   ids M PATH     writes the ids found for the first M queries to PATH (M x 10 uint32)
// With `threads` > 0 the pool has that many threads.
int serve(const char* rows_path, const char* queries_path, size_t dimension, size_t threads) {
  std::optional<tbb::global_control> pool_size;
  if (threads > 0) pool_size.emplace(tbb::global_control::max_allowed_parallelism, threads);
  auto read_floats = [](const char* path) {
    std::vector<float> values;
    if (FILE* file = std::fopen(path, "rb")) {
      float buffer[4096];
      size_t got = 0;
      while ((got = std::fread(buffer, sizeof(float), 4096, file)) > 0) values.insert(values.end(), buffer, buffer + got);
      std::fclose(file);
    }
    return values;
  };
  const std::vector<float> rows = read_floats(rows_path);
  const std::vector<float> queries = read_floats(queries_path);
  if (rows.empty() || queries.empty() || dimension == 0) {
    std::fprintf(stderr, "serve: could not read %s or %s\n", rows_path, queries_path);
    return 1;
  }
  vendrel::VectorTable table(/*keep_norms=*/true);
  std::vector<uint32_t> ids;
  std::vector<std::span<const float>> row_views;
  for (size_t i = 0; i < rows.size() / dimension; ++i) {
    ids.push_back(static_cast<uint32_t>(i));
    row_views.emplace_back(rows.data() + i * dimension, dimension);
  }
  table.put_batch(ids, row_views);
  std::vector<std::span<const float>> views;
  for (size_t i = 0; i < queries.size() / dimension; ++i) views.emplace_back(queries.data() + i * dimension, dimension);
  const roaring::Roaring none;
  std::vector<std::vector<vendrel::ScoredId>> found;
  std::printf("ready\n");
  std::fflush(stdout);
  char command[16];
  size_t batch = 0;
  while (std::scanf("%15s %zu", command, &batch) == 2) {
    batch = std::min(batch, views.size());
    const std::span<const std::span<const float>> some(views.data(), batch);
    if (std::string(command) == "search") {
      const double cpu_start = process_cpu_ms();
      const auto start = Clock::now();
      found = exact_top_k_many(table, some, 10, nullptr, none, true);
      std::printf("%.3f %.3f\n", std::chrono::duration<double, std::milli>(Clock::now() - start).count(),
                  process_cpu_ms() - cpu_start);
    } else if (std::string(command) == "ids") {
      char path[4096];
      if (std::scanf("%4095s", path) != 1) return 1;
      found = exact_top_k_many(table, some, 10, nullptr, none, true);
      FILE* file = std::fopen(path, "wb");
      for (const auto& hits : found) {
        uint32_t row[10] = {};
        for (size_t i = 0; i < hits.size() && i < 10; ++i) row[i] = hits[i].id;
        std::fwrite(row, sizeof(uint32_t), 10, file);
      }
      std::fclose(file);
      std::printf("written\n");
    }
    std::fflush(stdout);
  }
  return 0;
}

}  // namespace

// No argument: every section. "exact": the single-query exact scan only. "batch": the
// batch scan and the block scorer only. "serve ROWS QUERIES D": see serve().
int main(int argc, char** argv) {
  const std::string section = argc > 1 ? argv[1] : "";
  if (section == "serve" && argc >= 5) {
    return serve(argv[2], argv[3], std::strtoul(argv[4], nullptr, 10), argc > 5 ? std::strtoul(argv[5], nullptr, 10) : 0);
  }
  if (section.empty()) {
    full_vector_regime();
    quantized_regime();
  }
  if (section.empty() || section == "exact") {
    exact_scan(100000);
    exact_scan(4000);
  }
  if (section.empty() || section == "batch") {
    for (const size_t dimension : {size_t{768}, size_t{384}}) block_kernel(dimension);
    for (const size_t dimension : {size_t{768}, size_t{384}}) batch_scan(dimension);
  }
  return 0;
}
