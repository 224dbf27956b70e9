// The costs of the on-disk machinery, each beside a reference measured in the same run:
//  - CRC32C (ISA-L) over a 300 MB buffer (100,000 x 768 float32 rows, one add_many's
//    vectors) against memcpy of the same buffer;
//  - one write-ahead log call of those 300 MB (records, checksums on the pool, pwritev,
//    no fdatasync) against one plain write() of the same bytes to a fresh file;
//  - loading a rows file of N x 768 rows (map, read in whole, verify every page on the
//    pool, build the page directory) against `cat file > /dev/null` and against read()
//    of the whole file into memory, all three from the page cache.
// The measurements of each comparison alternate, 5 rounds; medians with ranges.
//
// Usage: vendrel_durable_files_bench [rows, default 300000] [directory, default /tmp]
// Built by cmake -DVENDREL_BUILD_BENCH=ON.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "crc32c.h"
#include "file_io.h"
#include "rows_file.h"
#include "write_ahead_log.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kDimension = 768;
constexpr int kRounds = 5;

struct Samples {
  std::vector<double> seconds;
  double median() const {
    std::vector<double> sorted = seconds;
    std::sort(sorted.begin(), sorted.end());
    return sorted[sorted.size() / 2];
  }
  double low() const { return *std::min_element(seconds.begin(), seconds.end()); }
  double high() const { return *std::max_element(seconds.begin(), seconds.end()); }
};

double time_of(const std::function<void()>& work) {
  const auto start = Clock::now();
  work();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Runs the measurements alternately, kRounds rounds.
std::vector<Samples> interleaved(const std::vector<std::function<void()>>& works) {
  std::vector<Samples> samples(works.size());
  for (int round = 0; round < kRounds; ++round) {
    for (size_t i = 0; i < works.size(); ++i) samples[i].seconds.push_back(time_of(works[i]));
  }
  return samples;
}

void report(const char* name, const Samples& samples, double bytes, const Samples& reference, const char* reference_name) {
  std::printf("%-34s median %8.1f ms (%.1f-%.1f), %6.2f GB/s; ratio to %s %.2f\n", name, samples.median() * 1e3,
              samples.low() * 1e3, samples.high() * 1e3, bytes / samples.median() / 1e9, reference_name,
              samples.median() / reference.median());
}

void check(const vendrel::Status& status) {
  if (!status.ok()) {
    std::fprintf(stderr, "%s\n", status.error().message.c_str());
    std::exit(1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const size_t rows = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 300000;
  const std::string base = argc > 2 ? argv[2] : "/tmp";
  std::string pattern = base + "/vendrel-durable-bench-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) return 1;
  const std::string directory = pattern;

  std::mt19937 rng(1);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::vector<float> batch(100000 * kDimension);
  for (float& value : batch) value = normal(rng);
  const size_t batch_bytes = batch.size() * sizeof(float);

  // ---- CRC32C against memcpy ----
  std::vector<float> copy(batch.size());
  volatile uint32_t sink = 0;
  const std::vector<Samples> crc = interleaved({
      [&] { std::memcpy(copy.data(), batch.data(), batch_bytes); },
      [&] { sink = vendrel::crc32c(batch.data(), batch_bytes); },
  });
  std::printf("100,000 x 768 float32 = %zu MB; %d interleaved rounds\n", batch_bytes >> 20, kRounds);
  report("memcpy (reference)", crc[0], batch_bytes, crc[0], "memcpy");
  report("crc32c", crc[1], batch_bytes, crc[0], "memcpy");

  // ---- One log call against one write() ----
  int file_number = 0;
  const std::vector<Samples> log = interleaved({
      [&] {
        const std::string path = directory + "/plain-" + std::to_string(file_number++);
        vendrel::Result<vendrel::File> file = vendrel::File::open(path, O_WRONLY | O_CREAT | O_TRUNC);
        check(file.ok() ? file.value().write_all(batch.data(), batch_bytes) : file.error());
        std::filesystem::remove(path);
      },
      [&] {
        const std::string path = directory + "/log-" + std::to_string(file_number++);
        vendrel::Result<vendrel::LogWriter> writer = vendrel::LogWriter::open(path, 0, 0);
        check(writer.ok() ? vendrel::ok_status() : writer.error());
        const std::span<const uint8_t> piece(reinterpret_cast<const uint8_t*>(batch.data()), batch_bytes);
        vendrel::Result<uint64_t> appended =
            writer.value().append_call(std::span<const std::span<const uint8_t>>(&piece, 1), false);
        check(appended.ok() ? vendrel::ok_status() : appended.error());
        std::filesystem::remove(path);
      },
  });
  report("write() of the bytes (reference)", log[0], batch_bytes, log[0], "write()");
  report("log append_call", log[1], batch_bytes, log[0], "write()");
  batch = {};
  copy = {};

  // ---- Rows file load against cat and read() ----
  vendrel::ManifestFile entry;
  {
    vendrel::VectorTable table(/*keep_norms=*/true);
    std::vector<float> row(kDimension);
    for (size_t id = 0; id < rows; ++id) {
      for (float& value : row) value = normal(rng);
      table.put(static_cast<uint32_t>(id), row);
    }
    vendrel::Result<vendrel::ManifestFile> written = vendrel::write_rows_file(directory, 1, table);
    check(written.ok() ? vendrel::ok_status() : written.error());
    entry = written.value();
  }
  const std::string path = directory + "/" + entry.name;
  const std::string cat = "cat '" + path + "' > /dev/null";
  std::vector<char> buffer;
  const std::vector<Samples> load = interleaved({
      [&] {
        if (std::system(cat.c_str()) != 0) std::exit(1);
      },
      [&] {
        vendrel::Result<vendrel::File> file = vendrel::File::open(path, O_RDONLY);
        buffer = std::vector<char>(entry.size);  // a fresh buffer each time, as a copying load would
        check(file.ok() ? vendrel::ok_status() : file.error());
        vendrel::Result<size_t> got = file.value().pread_full(buffer.data(), buffer.size(), 0);
        check(got.ok() ? vendrel::ok_status() : got.error());
        buffer = {};
      },
      [&] {
        vendrel::Result<vendrel::VectorTable> table = vendrel::load_rows_file(directory, entry);
        check(table.ok() ? vendrel::ok_status() : table.error());
        if (table.value().length() != rows) std::exit(1);
      },
  });
  std::printf("rows file: %zu x 768, %.2f GB, from the page cache\n", rows, entry.size / 1e9);
  report("cat > /dev/null (reference)", load[0], static_cast<double>(entry.size), load[0], "cat");
  report("read() into memory", load[1], static_cast<double>(entry.size), load[0], "cat");
  report("load_rows_file (map+verify)", load[2], static_cast<double>(entry.size), load[0], "cat");
  std::printf("load_rows_file / read(): %.2f\n", load[2].median() / load[1].median());
  std::filesystem::remove_all(directory);
  return sink == 12345 ? 1 : 0;
}
