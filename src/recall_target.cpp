#include "recall_target.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <random>
#include <shared_mutex>
#include <unordered_set>

#include <tbb/parallel_for.h>

#include "scan.h"

namespace vendrel {

namespace {

using Clock = std::chrono::steady_clock;

// The largest ef a calibration tries: the binding's bound on ef.
constexpr size_t kMaxCalibrationEf = 100000;
// Queries of a doubling trial searched first, to stop at an ef slower than the scan.
constexpr size_t kProbeQueries = 16;
// Narrowing stops once the passing ef is within this share of the last failing one.
constexpr size_t kNarrowingShare = 16;
// Bounds the exponent of an allowed share (2^-30 of the largest collection is below one
// document).
constexpr int kMaxFractionExponent = 30;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
  if (values.empty()) return 0.0;
  const size_t middle = values.size() / 2;
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(middle), values.end());
  return values[middle];
}

// The ids of `rows` that hold a full vector and are not deleted: the graph's live ids.
roaring::Roaring live_ids(const CalibrationSubject& subject) {
  std::vector<uint32_t> ids;
  std::shared_lock deleted_guard(subject.deleted->lock);
  std::shared_lock rows_guard(subject.rows->lock);
  subject.rows->value.pages().for_each_page([&](uint64_t first_id, const VectorPage& page) {
    for (uint32_t slot = 0; slot < VectorPage::kSlots; ++slot) {
      if (page.state[slot] == VectorPage::kFullVector) ids.push_back(static_cast<uint32_t>(first_id + slot));
    }
  });
  roaring::Roaring live(ids.size(), ids.data());
  live -= subject.deleted->value;
  return live;
}

// `count` distinct ranks below `total`, ascending (Floyd's sampling: count draws).
std::vector<uint32_t> distinct_ranks(uint64_t total, size_t count, std::mt19937_64& draws) {
  std::unordered_set<uint64_t> chosen;
  for (uint64_t j = total - count; j < total; ++j) {
    const uint64_t pick = std::uniform_int_distribution<uint64_t>(0, j)(draws);
    chosen.insert(chosen.count(pick) ? j : pick);
  }
  std::vector<uint32_t> ranks(chosen.begin(), chosen.end());
  std::sort(ranks.begin(), ranks.end());
  return ranks;
}

// The sample: query ids, copies of their rows, and each query's truth (the exact top k
// of the other allowed documents, as a sorted id list) with the score of its last.
struct Sample {
  std::vector<uint32_t> ids;
  std::vector<float> values;  // row-major, one row per id
  std::vector<std::span<const float>> queries;
  std::vector<std::vector<uint32_t>> truth;
  std::vector<float> lowest_true_score;
};

Sample draw_sample(const CalibrationSubject& subject, const roaring::Roaring& live, const roaring::Roaring* allowed,
                   uint64_t k, size_t count, std::mt19937_64& draws) {
  Sample sample;
  for (uint32_t rank : distinct_ranks(live.cardinality(), count, draws)) {
    uint32_t id = 0;
    live.select(rank, &id);
    sample.ids.push_back(id);
  }
  std::shared_lock deleted_guard(subject.deleted->lock);
  std::shared_lock rows_guard(subject.rows->lock);
  const VectorTable& table = subject.rows->value;
  const size_t width = table.width();
  sample.values.resize(sample.ids.size() * width);
  for (size_t i = 0; i < sample.ids.size(); ++i) {
    const RowView row = table.full_row(sample.ids[i]);
    std::copy(row.values, row.values + width, sample.values.begin() + static_cast<std::ptrdiff_t>(i * width));
  }
  for (size_t i = 0; i < sample.ids.size(); ++i) sample.queries.emplace_back(sample.values.data() + i * width, width);
  // k + 1, so that k remain when the query's own row (its best match) is dropped.
  std::vector<std::vector<ScoredId>> best =
      exact_top_k_many(table, sample.queries, k + 1, allowed, subject.deleted->value, /*parallel=*/true);
  sample.truth.resize(best.size());
  sample.lowest_true_score.resize(best.size());
  for (size_t i = 0; i < best.size(); ++i) {
    for (const ScoredId& hit : best[i]) {
      if (hit.id == sample.ids[i] || sample.truth[i].size() == k) continue;
      sample.truth[i].push_back(hit.id);
      sample.lowest_true_score[i] = hit.score;
    }
    std::sort(sample.truth[i].begin(), sample.truth[i].end());
  }
  return sample;
}

// The median time of the database's scan of the first sample queries.
double time_scan(const CalibrationSubject& subject, const Sample& sample, uint64_t k, const roaring::Roaring* allowed,
                 size_t timings) {
  std::vector<double> seconds;
  for (size_t i = 0; i < std::min(timings, sample.queries.size()); ++i) {
    const Clock::time_point start = Clock::now();
    (void)subject.scan(sample.queries[i], k, allowed);
    seconds.push_back(seconds_since(start));
  }
  return median(std::move(seconds));
}

// Per sample query: its recall (NaN when nothing else is allowed) and graph search time.
struct Searched {
  std::vector<double> recalls;
  std::vector<double> seconds;
};

// How many of a sample query's graph hits are true ones: in its truth, or scoring as its
// truth's last does once rescored as a search rescores them. Among documents that tie
// there, the truth holds the lowest ids and the graph whichever it reached; both are
// right, and counting them as misses would keep duplicated data from ever meeting a
// target.
size_t true_hits(const CalibrationSubject& subject, const Sample& sample, size_t query,
                 const std::vector<GraphHit>& hits) {
  const std::vector<uint32_t>& truth = sample.truth[query];
  std::vector<uint32_t> missed;
  for (const GraphHit& hit : hits) {
    if (!std::binary_search(truth.begin(), truth.end(), hit.id)) missed.push_back(hit.id);
  }
  size_t found = hits.size() - missed.size();
  if (missed.empty()) return found;
  std::sort(missed.begin(), missed.end());
  std::shared_lock deleted_guard(subject.deleted->lock);
  std::shared_lock rows_guard(subject.rows->lock);
  const std::vector<ScoredId> rescored = exact_top_k_of(subject.rows->value, sample.queries[query], missed.size(),
                                                        missed, subject.deleted->value, /*parallel=*/false);
  for (const ScoredId& hit : rescored) found += hit.score >= sample.lowest_true_score[query] ? 1 : 0;
  return std::min(found, truth.size());
}

// Searches the sample's queries [begin, end) at `ef` on the pool, each with its own node
// held out, and appends what they measure to `into`.
Status search_sample(const CalibrationSubject& subject, const Sample& sample, uint64_t k,
                     const roaring::Roaring* allowed, size_t ef, size_t begin, size_t end, Searched& into) {
  const size_t offset = into.recalls.size();
  into.recalls.resize(offset + end - begin, std::numeric_limits<double>::quiet_NaN());
  into.seconds.resize(offset + end - begin, 0.0);
  std::atomic<bool> failed{false};
  std::optional<Error> failure;
  std::mutex failure_lock;
  const AllowedIdTest test = allowed ? allowed_in(*allowed) : AllowedIdTest{};
  tbb::parallel_for(begin, end, [&](size_t i) {
    if (failed.load(std::memory_order_relaxed)) return;
    Result<std::vector<GraphHit>> hits = [&] {
      std::shared_lock rows_guard(subject.rows->lock);  // the graph reads the rows
      const Clock::time_point start = Clock::now();
      Result<std::vector<GraphHit>> found = subject.graph->search(sample.queries[i], k, ef, test, sample.ids[i]);
      into.seconds[offset + i - begin] = seconds_since(start);
      return found;
    }();
    if (!hits.ok()) {
      std::lock_guard guard(failure_lock);
      if (!failure) failure = hits.error();
      failed = true;
      return;
    }
    const std::vector<uint32_t>& truth = sample.truth[i];
    if (truth.empty()) return;
    const size_t found = true_hits(subject, sample, i, hits.value());
    into.recalls[offset + i - begin] = static_cast<double>(found) / static_cast<double>(truth.size());
  });
  if (failure) return *failure;
  return ok_status();
}

// The trial's mean recall, its lower margin and the median time.
EfTrial summarise(size_t ef, const Searched& searched) {
  EfTrial trial;
  trial.ef = ef;
  trial.seconds_per_query = median(searched.seconds);
  trial.queries = searched.seconds.size();
  double sum = 0.0;
  size_t measured = 0;
  for (double recall : searched.recalls) {
    if (std::isnan(recall)) continue;
    sum += recall;
    ++measured;
  }
  if (measured == 0) {
    trial.recall = trial.recall_low = 1.0;
    return trial;
  }
  trial.recall = sum / static_cast<double>(measured);
  double squares = 0.0;
  for (double recall : searched.recalls) {
    if (!std::isnan(recall)) squares += (recall - trial.recall) * (recall - trial.recall);
  }
  const double deviation = measured > 1 ? std::sqrt(squares / static_cast<double>(measured - 1)) : 0.0;
  trial.recall_low = trial.recall - kRecallMarginErrors * deviation / std::sqrt(static_cast<double>(measured));
  return trial;
}

// The sample measured at `ef`. With `scan_seconds`, the first kProbeQueries queries go
// first, and when their median time already reaches the scan's, the trial stops there
// (an ef that large is not used, and searching the whole sample at it would cost the
// most of any trial).
Result<EfTrial> try_ef(const CalibrationSubject& subject, const Sample& sample, uint64_t k,
                       const roaring::Roaring* allowed, size_t ef, std::optional<double> scan_seconds) {
  const size_t count = sample.queries.size();
  Searched searched;
  size_t done = 0;
  if (scan_seconds && count > 2 * kProbeQueries) {
    Status probed = search_sample(subject, sample, k, allowed, ef, 0, kProbeQueries, searched);
    if (!probed.ok()) return probed.error();
    done = kProbeQueries;
    if (median(searched.seconds) >= *scan_seconds) return summarise(ef, searched);
  }
  Status rest = search_sample(subject, sample, k, allowed, ef, done, count, searched);
  if (!rest.ok()) return rest.error();
  return summarise(ef, searched);
}

}  // namespace

uint64_t recall_k_bucket(uint64_t k) {
  constexpr uint64_t kSteps[] = {1, 2, 5};
  for (uint64_t scale = 1;; scale *= 10) {
    for (uint64_t step : kSteps) {
      if (step * scale >= k) return step * scale;
    }
    if (scale > std::numeric_limits<uint64_t>::max() / 100) return k;
  }
}

int allowed_fraction_exponent(uint64_t allowed, uint64_t live) {
  if (live == 0 || allowed >= live) return 0;
  return allowed_fraction_exponent(static_cast<double>(allowed) / static_cast<double>(live));
}

int allowed_fraction_exponent(double share) {
  if (!(share < 1.0)) return 0;
  int exponent = 0;
  while (exponent < kMaxFractionExponent && std::ldexp(1.0, -(exponent + 1)) >= share) ++exponent;
  return exponent;
}

uint64_t live_document_count(const CalibrationSubject& subject) { return live_ids(subject).cardinality(); }

bool calibration_stale(uint64_t measured, uint64_t live) { return live >= 2 * measured || 2 * live <= measured; }

bool calibration_stale(const Calibration& calibration, uint64_t live, uint64_t replaced) {
  return calibration_stale(calibration.documents, live) ||
         replaced - calibration.replaced >= std::max<uint64_t>(1, calibration.documents / 2);
}

Result<Calibration> calibrate(const CalibrationSubject& subject, uint64_t k, int fraction_exponent, double target,
                              const CalibrationOptions& options) {
  const Clock::time_point start = Clock::now();
  Calibration calibration;
  calibration.replaced = subject.graph ? subject.graph->replaced() : 0;
  calibration.k = k;
  calibration.allowed_fraction = std::ldexp(1.0, -fraction_exponent);
  const roaring::Roaring live = live_ids(subject);
  calibration.documents = live.cardinality();
  std::mt19937_64 draws(options.seed ^ (k * 0x9e3779b97f4a7c15ULL) ^ (uint64_t(fraction_exponent) << 56) ^
                        calibration.documents);
  std::optional<roaring::Roaring> allowed;
  if (fraction_exponent > 0) {
    // Each live document allowed with the share's probability: a filter that does not
    // depend on where the documents lie.
    std::bernoulli_distribution keep(calibration.allowed_fraction);
    std::vector<uint32_t> kept;
    for (uint32_t id : live) {
      if (keep(draws)) kept.push_back(id);
    }
    allowed.emplace(kept.size(), kept.data());
  }
  calibration.scanned_rows = allowed ? allowed->cardinality() : calibration.documents;
  if (calibration.scanned_rows <= k || subject.graph == nullptr) {
    calibration.seconds = seconds_since(start);
    return calibration;  // every allowed document is a hit: the scan
  }

  const roaring::Roaring* within = allowed ? &*allowed : nullptr;
  const Sample sample =
      draw_sample(subject, live, within, k, std::min<uint64_t>(options.queries, calibration.documents), draws);
  calibration.queries = sample.ids.size();
  calibration.scan_seconds = time_scan(subject, sample, k, within, options.scan_timings);

  const auto reaches = [&](const EfTrial& trial) { return trial.recall_low >= target; };
  const size_t ef_limit = std::max<size_t>(k, std::min<uint64_t>(kMaxCalibrationEf, calibration.scanned_rows));
  std::optional<EfTrial> reached;
  size_t missed_ef = 0;
  for (size_t ef = k;; ef = std::min(ef * 2, ef_limit)) {
    Result<EfTrial> trial = try_ef(subject, sample, k, within, ef, calibration.scan_seconds);
    if (!trial.ok()) return trial.error();
    calibration.trials.push_back(trial.value());
    // A larger ef only costs more: once the graph is slower than the scan, it stays so.
    if (trial.value().seconds_per_query >= calibration.scan_seconds) break;
    if (reaches(trial.value())) {
      reached = trial.value();
      break;
    }
    missed_ef = ef;
    if (ef >= ef_limit) break;
  }
  // Between the last ef that missed and the first that reached the target.
  while (reached && missed_ef > 0 && reached->ef - missed_ef > std::max<size_t>(1, reached->ef / kNarrowingShare)) {
    const size_t middle = missed_ef + (reached->ef - missed_ef) / 2;
    Result<EfTrial> trial = try_ef(subject, sample, k, within, middle, std::nullopt);
    if (!trial.ok()) return trial.error();
    calibration.trials.push_back(trial.value());
    if (reaches(trial.value())) {
      reached = trial.value();
    } else {
      missed_ef = middle;
    }
  }
  if (reached) {
    calibration.ef = reached->ef;
    calibration.graph_seconds = reached->seconds_per_query;
    if (calibration.graph_seconds < calibration.scan_seconds) {
      calibration.method = SearchMethod::kGraph;
      calibration.recall = reached->recall;
    }
  }
  calibration.seconds = seconds_since(start);
  return calibration;
}

SearchRoute route_from(const Calibration& calibration, uint64_t rows) {
  if (calibration.ef == 0 || calibration.scanned_rows == 0) return {};
  const double scan_seconds =
      calibration.scan_seconds / static_cast<double>(calibration.scanned_rows) * static_cast<double>(rows);
  if (calibration.graph_seconds < scan_seconds) return SearchRoute{SearchMethod::kGraph, calibration.ef};
  return {};
}

RecallTarget::RecallTarget(double target, CalibrationOptions options) : target_(target), options_(options) {}

Result<SearchRoute> RecallTarget::route(const CalibrationSubject& subject, uint64_t k, std::optional<uint64_t> allowed) {
  const uint64_t live = subject.graph ? subject.graph->size() : 0;
  const uint64_t rows = allowed ? std::min(*allowed, live) : live;
  if (rows <= k) return SearchRoute{};
  const uint64_t bucket = recall_k_bucket(k);
  Result<std::shared_ptr<const Calibration>> unfiltered = current(subject, Key{bucket, 0}, live, /*wait=*/false);
  if (!unfiltered.ok()) return unfiltered.error();
  if (!unfiltered.value()) return SearchRoute{};  // the first calibration runs elsewhere
  const Calibration& plain = *unfiltered.value();
  if (rows == live) return route_from(plain, rows);
  if (plain.ef == 0 || route_from(plain, rows).method == SearchMethod::kScan) return SearchRoute{};
  const int exponent = allowed_fraction_exponent(rows, live);
  Result<std::shared_ptr<const Calibration>> filtered = current(subject, Key{bucket, exponent}, live, /*wait=*/false);
  if (!filtered.ok()) return filtered.error();
  if (!filtered.value()) return SearchRoute{};
  return route_from(*filtered.value(), rows);
}

Result<Calibration> RecallTarget::calibration(const CalibrationSubject& subject, uint64_t k, int fraction_exponent) {
  const uint64_t live = subject.graph ? subject.graph->size() : 0;
  Result<std::shared_ptr<const Calibration>> made =
      current(subject, Key{recall_k_bucket(k), std::clamp(fraction_exponent, 0, kMaxFractionExponent)}, live,
              /*wait=*/true);
  if (!made.ok()) return made.error();
  return *made.value();
}

Result<std::shared_ptr<const Calibration>> RecallTarget::current(const CalibrationSubject& subject, Key key,
                                                                 uint64_t live, bool wait) {
  const auto kept = [&]() -> std::shared_ptr<const Calibration> {
    std::lock_guard guard(table_lock_);
    const auto found = table_.find(key);
    return found == table_.end() ? nullptr : found->second;
  };
  const uint64_t replaced = subject.graph ? subject.graph->replaced() : 0;
  std::shared_ptr<const Calibration> before = kept();
  if (before && !calibration_stale(*before, live, replaced)) return before;
  std::unique_lock calibrating(calibrating_, std::defer_lock);
  if (wait) {
    calibrating.lock();
  } else if (!calibrating.try_lock()) {
    return before;  // stale or null: the running calibration may be this one
  }
  // Another thread may have made it while this one waited.
  std::shared_ptr<const Calibration> now = kept();
  if (now && !calibration_stale(*now, live, replaced)) return now;
  Result<Calibration> made = calibrate(subject, key.first, key.second, target_, options_);
  if (!made.ok()) return made.error();
  auto shared = std::make_shared<const Calibration>(std::move(made.value()));
  std::lock_guard guard(table_lock_);
  table_[key] = shared;
  return shared;
}

}  // namespace vendrel
