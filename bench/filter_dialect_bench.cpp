// Filter dialect benchmark: the same filters through FilterEngine::apply_filter on two
// engines holding the same 100,000 documents, one of the contract dialect (the
// reference) and one of the strict dialect. Every filter is one both dialects answer
// alike (the program checks the answers agree). Each round times a batch of calls on
// each engine, in alternating order; the figure per filter is the median, over the
// rounds, of strict time / contract time in the same round, with the range.
//
// Build: part of VENDREL_BUILD_BENCH, or
//   g++ -std=c++20 -O3 -ffp-contract=off -Isrc bench/filter_dialect_bench.cpp src/common.cpp src/json.cpp
//     src/interval_tree.cpp src/filter.cpp src/filter_strict.cpp -lroaring -ltbb
//
// Documents: {"cat": "c0".."c49", "price": 0..999.99, "flag": bool, "user": {"age": 18..80}}
// drawn from a fixed seed. 21 rounds; a batch is as many calls as fill 2 ms (at least 20).
//
// 2026-12-08, 2-core Intel Xeon shared with other work (load average 7-8), 5 runs; the
// median of the runs' median ratios, with the range of the runs' medians: equal within
// the noise (0.97-1.04) for ranges, $in, $ne, $and, $or, $not and $exists; a one-operator
// object such as {"cat": {"$eq": "c7"}} 1.10 (1.07-1.16), the check pass (about 50 ns
// of 0.7 us); the strict shorthand of the same filter, {"cat": "c7"}, 0.82 (shorter text
// to parse). Details in bench/README.md.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "filter.h"
#include "json.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kDocuments = 100000;
constexpr int kRounds = 21;
// Each timed batch lasts at least this long, so that the clock and short preemptions
// weigh little even for filters answered in a microsecond.
constexpr double kBatchMilliseconds = 2.0;

// Microseconds per call of a batch of `calls` calls of `filter` on `engine`; the
// result's size goes to `selected`.
double time_calls(vendrel::FilterEngine& engine, const std::string& filter, int calls, uint64_t* selected) {
  const Clock::time_point start = Clock::now();
  for (int call = 0; call < calls; ++call) {
    vendrel::Result<vendrel::OptionalIds> result = engine.apply_filter(filter);
    if (!result.ok()) {
      std::fprintf(stderr, "%s: %s\n", filter.c_str(), result.error().message.c_str());
      std::exit(1);
    }
    *selected = result.value() ? result.value()->cardinality() : 0;
  }
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count() / calls;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// Times every filter on both engines and prints the medians and the ratio; the two
// answers must agree.
void run_filters(vendrel::FilterEngine& contract, vendrel::FilterEngine& strict,
                 std::span<const std::pair<std::string, std::string>> filters) {
  std::printf("%-62s %10s %10s  %s\n", "filter (strict form)", "contract", "strict", "strict/contract");
  for (const auto& [contract_filter, strict_filter] : filters) {
    std::vector<double> contract_ms, strict_ms, ratios;
    uint64_t contract_selected = 0, strict_selected = 0;
    const double one_call = time_calls(contract, contract_filter, 20, &contract_selected);
    const int calls = std::max(20, static_cast<int>(kBatchMilliseconds * 1000 / std::max(one_call, 0.01)));
    for (int round = 0; round < kRounds; ++round) {
      double contract_time = 0, strict_time = 0;
      if (round % 2 == 0) {
        contract_time = time_calls(contract, contract_filter, calls, &contract_selected);
        strict_time = time_calls(strict, strict_filter, calls, &strict_selected);
      } else {
        strict_time = time_calls(strict, strict_filter, calls, &strict_selected);
        contract_time = time_calls(contract, contract_filter, calls, &contract_selected);
      }
      contract_ms.push_back(contract_time);
      strict_ms.push_back(strict_time);
      ratios.push_back(strict_time / contract_time);
    }
    if (contract_selected != strict_selected) {
      std::fprintf(stderr, "%s: contract selected %llu, strict %llu\n", strict_filter.c_str(),
                   static_cast<unsigned long long>(contract_selected), static_cast<unsigned long long>(strict_selected));
      std::exit(1);
    }
    std::printf("%-62s %7.2f us %7.2f us  %.2f (%.2f-%.2f)  [%llu ids]\n", strict_filter.c_str(), median(contract_ms),
                median(strict_ms), median(ratios), *std::min_element(ratios.begin(), ratios.end()),
                *std::max_element(ratios.begin(), ratios.end()), static_cast<unsigned long long>(strict_selected));
  }
}

}  // namespace

int main() {
  std::mt19937 random(11);
  std::vector<vendrel::JsonValue> objects;
  objects.reserve(kDocuments);
  for (uint32_t id = 0; id < kDocuments; ++id) {
    const std::string text = "{\"cat\": \"c" + std::to_string(random() % 50) + "\", \"price\": " +
                             std::to_string((random() % 100000) / 100.0) + ", \"flag\": " +
                             (random() % 2 ? "true" : "false") + ", \"user\": {\"age\": " +
                             std::to_string(18 + random() % 63) + "}}";
    objects.push_back(vendrel::parse_json(text).value());
  }
  std::vector<vendrel::IndexedDocument> documents(kDocuments);
  for (uint32_t id = 0; id < kDocuments; ++id) documents[id] = {id, &objects[id]};
  vendrel::FilterEngine contract;
  vendrel::FilterEngine strict(vendrel::FilterDialect::kStrict);
  contract.index_batch(documents);
  strict.index_batch(documents);

  // (contract form, strict form): the same filter, or its shorthand in the strict dialect.
  const std::pair<std::string, std::string> filters[] = {
      {R"({"cat": {"$eq": "c7"}})", R"({"cat": {"$eq": "c7"}})"},
      {R"({"cat": {"$eq": "c7"}})", R"({"cat": "c7"})"},
      {R"({"price": {"$lt": 500}})", R"({"price": {"$lt": 500}})"},
      {R"({"price": {"$gte": 100, "$lt": 150}})", R"({"price": {"$gte": 100, "$lt": 150}})"},
      {R"({"cat": {"$in": ["c1", "c2", "c3"]}})", R"({"cat": {"$in": ["c1", "c2", "c3"]}})"},
      {R"({"cat": {"$ne": "c7"}})", R"({"cat": {"$ne": "c7"}})"},
      {R"({"flag": {"$eq": true}})", R"({"flag": true})"},
      {R"({"$and": [{"cat": {"$eq": "c7"}}, {"price": {"$lt": 500}}]})",
       R"({"$and": [{"cat": {"$eq": "c7"}}, {"price": {"$lt": 500}}]})"},
      {R"({"$and": [{"cat": {"$eq": "c7"}}, {"price": {"$lt": 500}}]})", R"({"cat": "c7", "price": {"$lt": 500}})"},
      {R"({"$or": [{"cat": {"$eq": "c7"}}, {"user.age": {"$gt": 70}}]})",
       R"({"$or": [{"cat": {"$eq": "c7"}}, {"user.age": {"$gt": 70}}]})"},
      {R"({"$not": {"flag": {"$eq": true}}})", R"({"$not": {"flag": {"$eq": true}}})"},
      {R"({"user.age": {"$exists": true}})", R"({"user.age": {"$exists": true}})"},
  };

  run_filters(contract, strict, filters);
  return 0;
}
