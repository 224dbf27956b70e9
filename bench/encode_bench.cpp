// Encoding throughput of ProductQuantizer on clustered data at d = 768 (50 Gaussian
// clusters, noise 0.35), quantizer trained on 5,000 of the vectors:
//  - the per-centroid loop (256 calls of SimSIMD's dispatched squared-L2 kernel per
//    subspace), the reference;
//  - the one-pass encoder with each variant this CPU supports (the default one marked):
//    vector by vector with the codebooks in cache, vector by vector with 2 MiB of other
//    data written between two vectors (as between two adds), and in batches;
//  - activation's work at 5,000 x 768: training plus encoding every vector, on one thread
//    and on the oneTBB pool, as VectorStorage runs it.
// One thread unless stated; best of 5 runs. Single-thread rates are per core: they are
// timed by the thread's CPU clock, so time lost to other processes on a shared machine
// does not count; the activation on the pool is timed by the wall clock. Codes are
// checked equal to the reference's.
// Built by cmake -DVENDREL_BUILD_BENCH=ON as vendrel_encode_bench.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <span>
#include <vector>

#include <time.h>

#include <tbb/parallel_for.h>

#include "storage.h"
#include "bench_data.h"

namespace {

using Clock = std::chrono::steady_clock;
using bench::kDimension;
constexpr size_t kTraining = 5000;
constexpr int kRuns = 5;

using bench::clustered;

double thread_cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double wall_seconds() { return std::chrono::duration<double>(Clock::now().time_since_epoch()).count(); }

template <typename Work>
double best_seconds(Work&& work, double (*clock)() = thread_cpu_seconds) {
  double best = 1e300;
  for (int run = 0; run < kRuns; ++run) {
    const double start = clock();
    work();
    best = std::min(best, clock() - start);
  }
  return best;
}

const char* kernel_name(vendrel::EncodeKernel kernel) {
  switch (kernel) {
    case vendrel::EncodeKernel::kAvx512: return "avx512";
    case vendrel::EncodeKernel::kAvx2: return "avx2";
    default: return "portable";
  }
}

}  // namespace

int main() {
  using vendrel::EncodeKernel;
  using vendrel::ProductQuantizer;
  const auto vectors = clustered(kTraining, 7);
  const auto quantizer = ProductQuantizer::train(vectors, kDimension);
  const size_t width = quantizer.num_subspaces;

  // The reference is slow: time it on 500 vectors.
  const size_t reference_count = 500;
  std::vector<uint8_t> reference(kTraining * width);
  for (size_t i = 0; i < kTraining; ++i) quantizer.encode_per_centroid(vectors[i], reference.data() + i * width);
  const double reference_seconds = best_seconds([&] {
    for (size_t i = 0; i < reference_count; ++i) quantizer.encode_per_centroid(vectors[i], reference.data() + i * width);
  });
  const double reference_rate = reference_count / reference_seconds;
  std::printf("encode, d = %zu, one thread\n", kDimension);
  std::printf("  %-30s %10.0f vectors/s  (1.0x)\n", "per-centroid loop", reference_rate);

  std::vector<uint8_t> codes(kTraining * width);
  const std::vector<std::span<const float>> views(vectors.begin(), vectors.end());
  for (EncodeKernel kernel : {EncodeKernel::kPortable, EncodeKernel::kAvx2, EncodeKernel::kAvx512}) {
    if (!vendrel::encode_kernel_supported(kernel)) continue;
    const double seconds = best_seconds([&] {
      for (size_t i = 0; i < kTraining; ++i) quantizer.encode(vectors[i], codes.data() + i * width, kernel);
    });
    const bool same = codes == reference;
    const bool is_default = kernel == vendrel::default_encode_kernel();
    std::printf("  one pass, %-8s one by one  %10.0f vectors/s  (%.1fx)  codes %s the reference's%s\n",
                kernel_name(kernel), kTraining / seconds, kTraining / seconds / reference_rate,
                same ? "equal" : "DIFFER from", is_default ? "  [default]" : "");
    // As in add: other work between two encodings evicts the codebooks from the caches.
    // 2 MiB are rewritten between vectors here; that time is measured apart and left out.
    std::vector<char> evict(2 << 20);
    const size_t cold_count = 1000;
    double cold_seconds = 0.0;
    for (size_t i = 0; i < cold_count; ++i) {
      std::memset(evict.data(), static_cast<int>(i), evict.size());
      const double start = thread_cpu_seconds();
      quantizer.encode(vectors[i], codes.data() + i * width, kernel);
      cold_seconds += thread_cpu_seconds() - start;
    }
    std::printf("  one pass, %-8s cold caches %10.0f vectors/s\n", kernel_name(kernel), cold_count / cold_seconds);
    std::fill(codes.begin(), codes.end(), 0);
    const double batch_seconds = best_seconds([&] { quantizer.encode_batch(views, codes.data(), kernel); });
    std::printf("  one pass, %-8s batch       %10.0f vectors/s  (%.1fx)  codes %s the reference's\n",
                kernel_name(kernel), kTraining / batch_seconds, kTraining / batch_seconds / reference_rate,
                codes == reference ? "equal" : "DIFFER from");
  }

  // Activation's work: train, then encode every stored vector.
  auto activate = [&](bool parallel) {
    const auto trained = ProductQuantizer::train_views(views, kDimension);
    auto encode_range = [&](size_t begin, size_t end) {
      trained.encode_batch(std::span(views).subspan(begin, end - begin), codes.data() + begin * width);
    };
    if (parallel) {
      tbb::parallel_for(tbb::blocked_range<size_t>(0, views.size(), 64),
                        [&](const tbb::blocked_range<size_t>& range) { encode_range(range.begin(), range.end()); });
    } else {
      encode_range(0, views.size());
    }
  };
  const double train_seconds = best_seconds([&] { (void)ProductQuantizer::train_views(views, kDimension); });
  const double serial_seconds = best_seconds([&] { activate(false); });
  const double parallel_seconds = best_seconds([&] { activate(true); }, wall_seconds);
  std::printf("activation work, %zu x %zu: train %.2f ms; train + encode %.1f ms on one thread (CPU time), %.1f ms on the "
      "pool (wall clock)\n",
              kTraining, kDimension, train_seconds * 1e3, serial_seconds * 1e3, parallel_seconds * 1e3);
  std::printf("  reference (per-centroid loop, extrapolated): %.0f ms on one thread\n",
              kTraining / reference_rate * 1e3);
  return 0;
}
