// The recall target of the full-vector database's graph: which ef a search needs so that
// its recall@k against the exact search reaches a target on the database's own data, or
// whether the exact scan answers more cheaply.
//
// A calibration measures rather than assumes. It draws a sample of stored vectors and
// searches the graph with each as the query and its own node held out (so a sample query
// is a document the graph does not hold, as a user's query is); the truth is the exact
// top k of the other documents, from the batch scan, and a hit that scores as the
// truth's last does is as true as the one it replaces (duplicated documents). It tries efs doubling from k, then
// narrows between the last one that missed the target and the first that reached it,
// and keeps the smallest ef whose sample recall, less 1.645 standard errors of the
// sample mean, reaches the target: the true recall of that ef is then at least the
// target with about 95 % confidence, whatever the sample's luck. It also times the
// graph search at each ef and the database's exact scan, both per query, and picks the
// scan when no ef reaches the target faster than the scan does (uniform random data
// needs efs in the thousands). With a filter, the graph keeps ef allowed candidates
// (rather than a fraction of ef), the calibration is made on a random subset of the
// documents of the filter's share rounded up to a power of two, and the scan is taken
// when its measured cost per row times the filter set's size is below the graph's
// measured time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "common.h"
#include "graph_index.h"
#include "id_set.h"
#include "storage.h"

namespace vendrel {

enum class SearchMethod { kGraph, kScan };

// One ef tried by a calibration, measured on its sample.
struct EfTrial {
  size_t ef = 0;
  double recall = 0.0;             // mean recall@k over the sample's queries
  double recall_low = 0.0;         // recall less kRecallMarginErrors standard errors
  double seconds_per_query = 0.0;  // median time of one graph search
  size_t queries = 0;              // queries searched (fewer than the sample's when stopped early)
};

// What a calibration found for searches of `k` hits among `allowed_fraction` of the live
// documents.
struct Calibration {
  uint64_t k = 0;                 // the k measured (recall_k_bucket of the search's k)
  double allowed_fraction = 1.0;  // 1: unfiltered; else the random subset's share
  SearchMethod method = SearchMethod::kScan;
  // The smallest ef that reached the target, or 0 when none did before the graph got
  // slower than the scan (method is then kScan).
  size_t ef = 0;
  // The sample's recall at `ef`; 1 for the scan, which is exact.
  double recall = 1.0;
  uint64_t documents = 0;  // live documents when measured
  uint64_t replaced = 0;   // the graph's replaced() when measured
  size_t queries = 0;      // sample queries
  double seconds = 0.0;    // the calibration's own wall time
  double graph_seconds = 0.0;  // median graph search time per query at `ef` (0 without ef)
  double scan_seconds = 0.0;   // median exact scan time per query over `scanned_rows` rows
  uint64_t scanned_rows = 0;
  std::vector<EfTrial> trials;  // in the order tried
};

// How one search finds its candidates.
struct SearchRoute {
  SearchMethod method = SearchMethod::kScan;
  size_t ef = 0;  // with kGraph: candidates kept (allowed ones, with a filter)
};

// The database's exact scan of one query: the top k live rows, of `within` when given.
// It takes whatever locks it needs itself; the calibration holds none while calling it.
using ExactScan =
    std::function<std::vector<ScoredId>(std::span<const float> query, uint64_t k, const roaring::Roaring* within)>;

// What a calibration reads, all borrowed from the database (which outlives the call):
// rows and deleted set with their locks (taken shared: deleted, then rows), the graph
// (whose calls it makes under rows->lock shared), and the scan that searches use.
struct CalibrationSubject {
  const RwLocked<VectorTable>* rows = nullptr;
  const RwLocked<roaring::Roaring>* deleted = nullptr;
  const GraphIndex* graph = nullptr;
  ExactScan scan;
};

// 1.645: the one-sided 95 % point of the normal distribution.
inline constexpr double kRecallMarginErrors = 1.645;

struct CalibrationOptions {
  // Sample queries: at 200, the standard error of a recall near 0.95 is about 0.005 for
  // k = 10 (0.015 for k = 1), and the calibration at 100,000 x 768 stays a small share
  // of the time add_many took to store those rows.
  size_t queries = 200;
  // Single-query exact scans timed (the median is kept).
  size_t scan_timings = 7;
  uint64_t seed = 0x5eed;
};

// The k a calibration is made for, for searches of `k` hits: the next of 1, 2, 5, 10,
// 20, 50, 100, 200, 500, ... at or above k, so that a handful of calibrations serve
// every k while k = 10 and k = 100 get their own.
uint64_t recall_k_bucket(uint64_t k);

// The random subset's share measured for a filter set of `allowed` of `live` documents:
// the smallest power of two at or above the share (1 for a share above 1/2). A filtered
// graph search keeps ef allowed candidates, so it walks further the fewer documents are
// allowed: at one ef, a larger share is the harder case for recall (measured: a
// calibration at 1/4 chose an ef that gave 0.90 on a 1/2 filter). As the exponent: 0
// for 1, j for 2^-j.
int allowed_fraction_exponent(uint64_t allowed, uint64_t live);

// The same for a filter that allows `share` of the live documents (0 for 1 or more).
int allowed_fraction_exponent(double share);

// The live documents with a full vector (the graph's ids): rows minus the deleted set.
// Takes the deleted set's then the rows' lock shared.
uint64_t live_document_count(const CalibrationSubject& subject);

// Whether a calibration made with `measured` live documents is out of date with `live`:
// the collection has doubled or halved since.
bool calibration_stale(uint64_t measured, uint64_t live);
// The same, or half as many ids as it measured were replaced by other vectors since
// (`replaced`: the graph's count now): the size unchanged, the data not.
bool calibration_stale(const Calibration& calibration, uint64_t live, uint64_t replaced);

// Measures the sample's recall on the graph for k hits, with a random subset of
// 2^-fraction_exponent of the live documents allowed (0: unfiltered), and returns the
// smallest ef reaching `target` (in (0, 1]) or the scan, as the file's comment says.
// The sample and the subset are drawn from a generator seeded by options.seed, k, the
// exponent and the live count, so the same state gives the same sample. Runs the
// sample's graph searches and the truth's batch scan on the oneTBB pool; takes the
// subject's locks shared as it reads (never across a call of subject.scan). The caller
// keeps every writer out (the database's lock, shared). Errors: a graph search's error
// (kValue for a dimension mismatch, which the caller's dimension rules exclude).
Result<Calibration> calibrate(const CalibrationSubject& subject, uint64_t k, int fraction_exponent, double target,
                              const CalibrationOptions& options = {});

// The route a calibration gives a search that scans `rows` rows exactly (the filter
// set's live documents, or all live ones): the graph at the calibration's ef when it
// found one whose measured time is below the scan's measured cost per row times `rows`,
// else the scan.
SearchRoute route_from(const Calibration& calibration, uint64_t rows);

// The calibrations of one database, made when first needed and again once stale; one
// calibration runs at a time. Thread-safe: a search that needs a calibration while
// another thread runs one does not wait: it takes the stale calibration, or the exact
// scan when there is none yet. Calibrations are kept in memory only.
class RecallTarget {
 public:
  // `target` in (0, 1] (the caller checks).
  explicit RecallTarget(double target, CalibrationOptions options = {});
  RecallTarget(const RecallTarget&) = delete;
  RecallTarget& operator=(const RecallTarget&) = delete;

  double target() const { return target_; }

  // The route of a search for k hits among `allowed` live documents (nullopt: no
  // filter), calibrating first when its calibration is missing or stale and no other
  // calibration runs. Without documents, or with at most k allowed, the scan. With a
  // filter: the scan when the unfiltered calibration found no ef, or when scanning the
  // filter set costs no more than its unfiltered graph search (a filtered graph search
  // keeps as many allowed candidates and walks past the others, so it costs more);
  // otherwise the filtered calibration's route. The caller holds the database's lock
  // shared. Errors: calibrate's.
  Result<SearchRoute> route(const CalibrationSubject& subject, uint64_t k, std::optional<uint64_t> allowed);

  // The calibration for k hits among 2^-fraction_exponent of the live documents, made
  // first when missing or stale (waiting for a calibration another thread runs). The
  // caller holds the database's lock shared. Errors: calibrate's.
  Result<Calibration> calibration(const CalibrationSubject& subject, uint64_t k, int fraction_exponent);

 private:
  using Key = std::pair<uint64_t, int>;  // k bucket, fraction exponent
  // The fresh calibration of `key` for `live` documents: the kept one when fresh, else a
  // new one. Without `wait`, when another thread is calibrating: the kept one even if
  // stale, or null when there is none.
  Result<std::shared_ptr<const Calibration>> current(const CalibrationSubject& subject, Key key, uint64_t live,
                                                     bool wait);

  double target_;
  CalibrationOptions options_;
  std::mutex calibrating_;         // held through one calibration
  std::mutex table_lock_;          // guards table_; held only to read or replace an entry
  std::map<Key, std::shared_ptr<const Calibration>> table_;
};

}  // namespace vendrel
