// Scoring throughput of VectorStorage against the memory floor, on clustered data at
// d = 768 (50 Gaussian clusters, noise 0.35):
//  - full vectors, 4,000 documents: score_candidates over every id (parallel, the pool's
//    threads) beside a plain vectorised float sum over the same page rows on the same
//    pool (the bytes any full scan must read);
//  - quantized, 100,000 documents: score_candidates over every code (parallel and on
//    one thread) per query;
//  - the full-vector database's exact top 10 (exact_top_k), 100,000 and 4,000 documents,
//    over every row and over a 5 % filter set, beside the same float sum over exactly the
//    rows it reads.
// Median of 200 runs each. Built by cmake -DVENDREL_BUILD_BENCH=ON as vendrel_scan_bench.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <numeric>
#include <random>
#include <vector>

#include <tbb/blocked_range.h>
#include <tbb/parallel_reduce.h>

#include "storage.h"
#include "bench_data.h"

namespace {

using Clock = std::chrono::steady_clock;
using bench::kDimension;
constexpr int kRuns = 200;

using bench::clustered;

template <typename Work>
double median_ms(Work&& work) {
  std::vector<double> samples;
  for (int run = 0; run < kRuns; ++run) {
    const auto start = Clock::now();
    work();
    samples.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  std::nth_element(samples.begin(), samples.begin() + kRuns / 2, samples.end());
  return samples[kRuns / 2];
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

}  // namespace

int main() {
  full_vector_regime();
  quantized_regime();
  exact_scan(100000);
  exact_scan(4000);
  return 0;
}
