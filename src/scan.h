// The exact scan of a full-vector table: the top k stored rows by cosine similarity for
// one query or for a batch of queries, and the bounded selection that keeps them.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "common.h"
#include "id_set.h"
#include "storage.h"

namespace vendrel {

// The best `k` of the scored ids offered to it, in ranks_before_by_id order (higher
// score first, NaN last, equal scores by ascending id), whatever the order of offering.
class TopK {
 public:
  explicit TopK(uint64_t k) : k_(k) {}
  void offer(ScoredId entry);
  // A score that an entry must not fall below to be kept: minus infinity while fewer
  // than k are kept, else the worst kept score (NaN when that is NaN, which no
  // comparison refuses). A scan offers a score only when !(score < floor()), which
  // skips offer() for nearly every row and refuses nothing offer() would keep.
  float floor() const;
  // Offers every entry the other one kept.
  void merge(TopK&& other);
  // The kept entries, best first.
  std::vector<ScoredId> sorted() &&;

 private:
  uint64_t k_;
  std::vector<ScoredId> heap_;  // worst kept entry at the front
};

// The exact top k by cosine similarity among the stored vectors of `table`
// (zero-length ones included; they score 0) whose ids are not in `excluded` and, when
// `within` is given, are in it; best first, in ranks_before_by_id order. The same as
// exact_top_k_many with this one query, score for score.
std::vector<ScoredId> exact_top_k(const VectorTable& table, std::span<const float> query, uint64_t k,
                                  const roaring::Roaring* within, const roaring::Roaring& excluded, bool parallel);

// exact_top_k with `within` holding `ids` (ascending, distinct), without building that
// set: for a few candidates, where building it costs as much as scoring them.
std::vector<ScoredId> exact_top_k_of(const VectorTable& table, std::span<const float> query, uint64_t k,
                                     std::span<const uint32_t> ids, const roaring::Roaring& excluded, bool parallel);

// The score of a pair that the dot products do not take: wide_cosine for finite vectors
// of the same length, else full_vector_similarity (its conventions for an empty row, a
// query of another length, a NaN or an infinity).
float wide_similarity(std::span<const float> query, std::span<const float> row);

// exact_top_k for every query of a batch: one list per query, in the batch's order.
//
// In a table that keeps norms, a query of the table's width and a row, both of a norm in
// the dot range (in_dot_range), score float(double(dot) x (1 / query norm) x (1 / row
// norm)), the inverse norms in double, with the float32 dot product accumulated by
// block_scorer() the same way whatever the batch: a query's scores are bit-identical
// alone and in any batch. That equals full_vector_similarity up to rounding. A pair of
// the same length with either norm outside that range (zero, tiny or huge vectors, a
// table without norms) takes wide_similarity, whatever the mix in one batch.
//
// Reads only the rows of the ids scored. The rows are taken a few hundred at a time and
// scored against blocks of queries that stay in cache, so a batch reads each row from
// memory about once per block of queries rather than once per query. With `parallel`,
// those pieces of work are spread over the oneTBB pool and the bests merged, which gives
// the same result. Each task keeps k hits per query of a pass of a few thousand queries
// (a larger batch is scanned pass after pass). The caller holds the table's read lock.
// Never fails (std::bad_alloc aside).
std::vector<std::vector<ScoredId>> exact_top_k_many(const VectorTable& table,
                                                    std::span<const std::span<const float>> queries, uint64_t k,
                                                    const roaring::Roaring* within, const roaring::Roaring& excluded,
                                                    bool parallel);

}  // namespace vendrel
