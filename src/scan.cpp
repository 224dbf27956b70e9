#include "scan.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include <tbb/blocked_range.h>
#include <tbb/parallel_reduce.h>

#include "scan_kernel.h"

namespace vendrel {

namespace {

// Rows per piece of work: four pages, or as many ids of a filter set. A piece's rows
// (768 KB at d = 768) stay in a core's second-level cache while the blocks of queries
// pass over them, and a piece is long enough that a task's overhead is small beside it.
constexpr size_t kRowsPerPiece = 256;
constexpr size_t kPagesPerPiece = kRowsPerPiece / VectorPage::kSlots;
// Bytes of queries per block: a block and a piece's rows fit in the second-level cache
// together. Blocks hold a multiple of 12 queries, which every kernel's tile height divides.
constexpr size_t kQueryBlockBytes = 256 * 1024;
constexpr size_t kQueryBlockMultiple = 12;
// Queries per pass over the rows. Every task of the pool keeps k hits per query of the
// pass, so a very large batch is taken in passes to bound that memory; a pass this long
// reads each row once per several thousand queries, which costs nothing next to scoring.
constexpr size_t kQueriesPerPass = 4096;

// The batch's queries, split by how they are scored.
struct BatchQueries {
  // Queries scored by dot products: their positions in the batch, vectors and inverse
  // norms.
  std::vector<size_t> dot_positions;
  std::vector<const float*> dot_vectors;
  std::vector<double> dot_scales;
  // The others, scored by wide_similarity against every row.
  std::vector<size_t> odd_positions;
  size_t queries_per_block = 1;

  size_t block_count() const {
    return std::max<size_t>(1, (dot_positions.size() + queries_per_block - 1) / queries_per_block);
  }
};

BatchQueries split_queries(const VectorTable& table, std::span<const std::span<const float>> queries) {
  BatchQueries split;
  for (size_t position = 0; position < queries.size(); ++position) {
    const std::span<const float> query = queries[position];
    bool by_dot = false;
    float norm = 0.0f;
    if (table.keeps_norms() && !query.empty() && query.size() == table.width()) {
      norm = euclidean_norm(query);
      by_dot = in_dot_range(norm);
    }
    if (by_dot) {
      split.dot_positions.push_back(position);
      split.dot_vectors.push_back(query.data());
      split.dot_scales.push_back(1.0 / double{norm});
    } else {
      split.odd_positions.push_back(position);
    }
  }
  const size_t width = std::max<size_t>(table.width(), 1);
  split.queries_per_block =
      std::max(kQueryBlockMultiple, kQueryBlockBytes / (width * sizeof(float)) / kQueryBlockMultiple * kQueryBlockMultiple);
  return split;
}

// The live rows of one piece, split the same way: rows of a norm in the dot range (a
// table that does not keep norms has none) are scored by dot products, the others (empty
// rows included) by wide_similarity.
struct PieceRows {
  std::vector<uint32_t> dot_ids;
  std::vector<const float*> dot_rows;
  std::vector<double> dot_scales;
  std::vector<uint32_t> odd_ids;
  std::vector<std::span<const float>> odd_rows;

  void clear() {
    dot_ids.clear();
    dot_rows.clear();
    dot_scales.clear();
    odd_ids.clear();
    odd_rows.clear();
  }

  // Adds slot `slot` of `page` under `id`, unless the slot is absent.
  void add(uint32_t id, const VectorPage& page, uint32_t slot, size_t width) {
    switch (page.state[slot]) {
      case VectorPage::kAbsent:
        return;
      case VectorPage::kEmptyVector:
        odd_ids.push_back(id);
        odd_rows.emplace_back();
        return;
      default:
        break;
    }
    const float* row = page.rows.data() + size_t{slot} * width;
    const float norm = page.norms[slot];
    if (in_dot_range(norm)) {
      dot_ids.push_back(id);
      dot_rows.push_back(row);
      dot_scales.push_back(1.0 / double{norm});
    } else {
      odd_ids.push_back(id);
      odd_rows.emplace_back(row, width);
    }
  }
};

// Where the rows come from: every written page, or the live ids of a filter set. Cut
// into pieces of about kRowsPerPiece rows.
class RowSource {
 public:
  // The live ids among `ids` (ascending, distinct).
  RowSource(const VectorTable& table, std::span<const uint32_t> ids, const roaring::Roaring& excluded)
      : table_(table), excluded_(excluded), filtered_(true) {
    ids_.reserve(ids.size());
    for (uint32_t id : ids) {
      if (!excluded.contains(id)) ids_.push_back(id);
    }
  }
  RowSource(const VectorTable& table, const roaring::Roaring* within, const roaring::Roaring& excluded)
      : table_(table), excluded_(excluded), filtered_(within != nullptr) {
    if (within) {
      const roaring::Roaring live = *within - excluded;
      ids_.resize(live.cardinality());
      live.toUint32Array(ids_.data());
    } else {
      table.pages().for_each_page(
          [&](uint64_t first_id, const VectorPage& page) { pages_.emplace_back(first_id, &page); });
    }
  }

  size_t piece_count() const {
    return filtered_ ? (ids_.size() + kRowsPerPiece - 1) / kRowsPerPiece
                     : (pages_.size() + kPagesPerPiece - 1) / kPagesPerPiece;
  }

  // Replaces `rows` with the live rows of piece `piece`, in id order.
  void gather(size_t piece, PieceRows& rows) const {
    rows.clear();
    const size_t width = table_.width();
    if (filtered_) {
      const size_t end = std::min(ids_.size(), (piece + 1) * kRowsPerPiece);
      for (size_t i = piece * kRowsPerPiece; i < end; ++i) {
        const VectorPage* page = table_.pages().find(ids_[i]);
        if (page) rows.add(ids_[i], *page, PageDirectory<VectorPage, kVectorPageBits>::slot_of(ids_[i]), width);
      }
      return;
    }
    const bool check_excluded = !excluded_.isEmpty();
    const size_t end = std::min(pages_.size(), (piece + 1) * kPagesPerPiece);
    for (size_t p = piece * kPagesPerPiece; p < end; ++p) {
      const auto [first_id, page] = pages_[p];
      for (uint32_t slot = 0; slot < VectorPage::kSlots; ++slot) {
        const auto id = static_cast<uint32_t>(first_id + slot);
        if (page->state[slot] == VectorPage::kAbsent || (check_excluded && excluded_.contains(id))) continue;
        rows.add(id, *page, slot, width);
      }
    }
  }

 private:
  const VectorTable& table_;
  const roaring::Roaring& excluded_;
  bool filtered_;
  std::vector<uint32_t> ids_;
  std::vector<std::pair<uint64_t, const VectorPage*>> pages_;
};

// Offers each row whose score can enter the best, its cosine held within [-1, 1]:
// rounding carries a vector against itself (or its opposite) just past, which breaks a
// caller's acos or bounds check.
void offer_scores(TopK& best, std::span<const uint32_t> ids, const float* scores) {
  float floor = best.floor();
  for (size_t r = 0; r < ids.size(); ++r) {
    if (scores[r] < floor) continue;
    const float score = scores[r] > 1.0f ? 1.0f : scores[r] < -1.0f ? -1.0f : scores[r];
    best.offer(ScoredId{ids[r], score, 0.0f});
    floor = best.floor();
  }
}

// The batch scan's work: piece x block of queries, numbered piece by piece, so that a
// task's consecutive items share their piece's rows.
class BatchScan {
 public:
  BatchScan(const VectorTable& table, std::span<const std::span<const float>> queries, const RowSource& source,
            const BatchQueries& split)
      : table_(table), queries_(queries), source_(source), split_(split) {}

  size_t item_count() const { return source_.piece_count() * split_.block_count(); }

  // Scores items [begin, end) into `best` (one TopK per query of the batch).
  void run(size_t begin, size_t end, std::vector<TopK>& best) const {
    PieceRows rows;
    std::vector<float> scores;
    size_t gathered = std::numeric_limits<size_t>::max();
    for (size_t item = begin; item < end; ++item) {
      const size_t piece = item / split_.block_count();
      if (piece != gathered) {
        source_.gather(piece, rows);
        gathered = piece;
      }
      score_item(rows, item % split_.block_count(), best, scores);
    }
  }

 private:
  void score_item(const PieceRows& rows, size_t block, std::vector<TopK>& best, std::vector<float>& scores) const {
    const size_t first = std::min(block * split_.queries_per_block, split_.dot_positions.size());
    const size_t count = std::min(split_.queries_per_block, split_.dot_positions.size() - first);
    if (count > 0 && !rows.dot_ids.empty()) {
      const size_t row_count = rows.dot_ids.size();
      scores.resize(count * row_count);
      const ScoreBlock operands{split_.dot_vectors.data() + first, split_.dot_scales.data() + first, count,
                                rows.dot_rows.data(), rows.dot_scales.data(), row_count, table_.width()};
      block_scorer().score(operands, scores.data());
      for (size_t q = 0; q < count; ++q) {
        offer_scores(best[split_.dot_positions[first + q]], rows.dot_ids, scores.data() + q * row_count);
      }
    }
    for (size_t q = first; q < first + count; ++q) {
      offer_wide(best[split_.dot_positions[q]], queries_[split_.dot_positions[q]], rows.odd_ids, rows.odd_rows);
    }
    // The odd queries meet every row once: with the piece's first block.
    if (block != 0) return;
    for (size_t position : split_.odd_positions) {
      const std::span<const float> query = queries_[position];
      for (size_t r = 0; r < rows.dot_ids.size(); ++r) {
        const std::span<const float> row(rows.dot_rows[r], table_.width());
        best[position].offer(ScoredId{rows.dot_ids[r], wide_similarity(query, row), 0.0f});
      }
      offer_wide(best[position], query, rows.odd_ids, rows.odd_rows);
    }
  }

  static void offer_wide(TopK& best, std::span<const float> query, std::span<const uint32_t> ids,
                              std::span<const std::span<const float>> rows) {
    for (size_t r = 0; r < ids.size(); ++r) best.offer(ScoredId{ids[r], wide_similarity(query, rows[r]), 0.0f});
  }

  const VectorTable& table_;
  std::span<const std::span<const float>> queries_;
  const RowSource& source_;
  const BatchQueries& split_;
};

// The body of the parallel scan: each task keeps one TopK per query, and tasks merge
// pairwise (the imperative form, so kept lists are never copied per chunk).
class BatchReduction {
 public:
  BatchReduction(const BatchScan& scan, size_t query_count, uint64_t k)
      : scan_(scan), k_(k), best_(query_count, TopK(k)) {}
  BatchReduction(BatchReduction& other, tbb::split)
      : scan_(other.scan_), k_(other.k_), best_(other.best_.size(), TopK(other.k_)) {}

  void operator()(const tbb::blocked_range<size_t>& items) { scan_.run(items.begin(), items.end(), best_); }
  void join(BatchReduction& other) {
    for (size_t q = 0; q < best_.size(); ++q) best_[q].merge(std::move(other.best_[q]));
  }
  std::vector<TopK>& best() { return best_; }

 private:
  const BatchScan& scan_;
  uint64_t k_;
  std::vector<TopK> best_;
};

}  // namespace

// ---- TopK ----

namespace {
// The order as a type, so that the heap's comparisons are inlined.
struct RanksBefore {
  bool operator()(const ScoredId& left, const ScoredId& right) const { return ranks_before_by_id(left, right); }
};
}  // namespace

void TopK::offer(ScoredId entry) {
  if (k_ == 0) return;
  if (heap_.size() < k_) {
    heap_.push_back(entry);
    std::push_heap(heap_.begin(), heap_.end(), RanksBefore{});
    return;
  }
  if (!ranks_before_by_id(entry, heap_.front())) return;
  std::pop_heap(heap_.begin(), heap_.end(), RanksBefore{});
  heap_.back() = entry;
  std::push_heap(heap_.begin(), heap_.end(), RanksBefore{});
}

float TopK::floor() const {
  if (k_ == 0) return std::numeric_limits<float>::infinity();
  if (heap_.size() < k_) return -std::numeric_limits<float>::infinity();
  return heap_.front().score;
}

void TopK::merge(TopK&& other) {
  for (const ScoredId& entry : other.heap_) offer(entry);
}

std::vector<ScoredId> TopK::sorted() && {
  std::sort_heap(heap_.begin(), heap_.end(), RanksBefore{});
  return std::move(heap_);
}

// ---- The scans ----

float wide_similarity(std::span<const float> query, std::span<const float> row) {
  if (query.empty() || query.size() != row.size()) return full_vector_similarity(query, row);
  const float similarity = wide_cosine(query, row);
  return std::isfinite(similarity) ? similarity : full_vector_similarity(query, row);
}

std::vector<ScoredId> exact_top_k(const VectorTable& table, std::span<const float> query, uint64_t k,
                                  const roaring::Roaring* within, const roaring::Roaring& excluded, bool parallel) {
  return std::move(exact_top_k_many(table, std::span<const std::span<const float>>(&query, 1), k, within, excluded,
                                    parallel)
                       .front());
}

namespace {

// The scans' common body; k > 0 (the callers return early otherwise).
std::vector<std::vector<ScoredId>> top_k_many(const VectorTable& table, std::span<const std::span<const float>> queries,
                                              uint64_t k, const RowSource& source, bool parallel) {
  std::vector<std::vector<ScoredId>> results(queries.size());
  for (size_t first = 0; first < queries.size(); first += kQueriesPerPass) {
    const auto pass = queries.subspan(first, std::min(kQueriesPerPass, queries.size() - first));
    const BatchQueries split = split_queries(table, pass);
    const BatchScan scan(table, pass, source, split);
    BatchReduction reduction(scan, pass.size(), k);
    if (!parallel || scan.item_count() <= 1) {
      reduction(tbb::blocked_range<size_t>(0, scan.item_count()));
    } else {
      tbb::parallel_reduce(tbb::blocked_range<size_t>(0, scan.item_count(), 1), reduction);
    }
    for (size_t q = 0; q < pass.size(); ++q) results[first + q] = std::move(reduction.best()[q]).sorted();
  }
  return results;
}

// exact_top_k_of for one piece's worth of ids on the calling thread: the batch scan's
// offers in its order, without its per-batch bookkeeping, which cost more than scoring
// the candidates of a graph search (16 rows at d = 384: 3.1 us through the batch scan,
// 2.2 here).
std::vector<ScoredId> top_k_of_few(const VectorTable& table, std::span<const float> query, uint64_t k,
                                   std::span<const uint32_t> ids, const roaring::Roaring& excluded) {
  PieceRows rows;
  rows.dot_ids.reserve(ids.size());
  rows.dot_rows.reserve(ids.size());
  rows.dot_scales.reserve(ids.size());
  const bool check_excluded = !excluded.isEmpty();
  for (uint32_t id : ids) {
    if (check_excluded && excluded.contains(id)) continue;
    const VectorPage* page = table.pages().find(id);
    if (page) rows.add(id, *page, PageDirectory<VectorPage, kVectorPageBits>::slot_of(id), table.width());
  }
  const BatchQueries split = split_queries(table, std::span<const std::span<const float>>(&query, 1));
  TopK best(k);
  if (split.dot_positions.empty()) {
    for (size_t r = 0; r < rows.dot_ids.size(); ++r) {
      const std::span<const float> row(rows.dot_rows[r], table.width());
      best.offer(ScoredId{rows.dot_ids[r], wide_similarity(query, row), 0.0f});
    }
  } else if (!rows.dot_ids.empty()) {
    std::vector<float> scores(rows.dot_ids.size());
    const ScoreBlock operands{split.dot_vectors.data(), split.dot_scales.data(), 1, rows.dot_rows.data(),
                              rows.dot_scales.data(), rows.dot_ids.size(), table.width()};
    block_scorer().score(operands, scores.data());
    offer_scores(best, rows.dot_ids, scores.data());
  }
  for (size_t r = 0; r < rows.odd_ids.size(); ++r) {
    best.offer(ScoredId{rows.odd_ids[r], wide_similarity(query, rows.odd_rows[r]), 0.0f});
  }
  return std::move(best).sorted();
}

}  // namespace

std::vector<std::vector<ScoredId>> exact_top_k_many(const VectorTable& table,
                                                    std::span<const std::span<const float>> queries, uint64_t k,
                                                    const roaring::Roaring* within, const roaring::Roaring& excluded,
                                                    bool parallel) {
  if (k == 0 || queries.empty()) return std::vector<std::vector<ScoredId>>(queries.size());
  return top_k_many(table, queries, k, RowSource(table, within, excluded), parallel);
}

std::vector<ScoredId> exact_top_k_of(const VectorTable& table, std::span<const float> query, uint64_t k,
                                     std::span<const uint32_t> ids, const roaring::Roaring& excluded, bool parallel) {
  if (k == 0) return {};
  if (!parallel && ids.size() <= kRowsPerPiece) return top_k_of_few(table, query, k, ids, excluded);
  const RowSource source(table, ids, excluded);
  return std::move(top_k_many(table, std::span<const std::span<const float>>(&query, 1), k, source, parallel).front());
}

}  // namespace vendrel
