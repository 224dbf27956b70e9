// The random-hyperplane LSH index: the candidate generator of search.
#pragma once

#include <cstdint>
#include <span>
#include <unordered_map>
#include <vector>

#include "common.h"
#include "id_set.h"
#include "paged_table.h"

namespace vendrel {

inline constexpr size_t kLshBits = 32;
inline constexpr size_t kLshProbeBits = 16;
inline constexpr size_t kLshFallbackBuckets = 20;

// A bucket: the ids hashed to one key, in insertion order (an id may repeat).
struct LshBucket {
  uint64_t key = 0;
  std::vector<uint32_t> ids;
};

// One table's buckets. Buckets are kept in creation order, which is the map's
// iteration order (the fallback takes the first 20). Buckets are never removed.
struct LshTable {
  std::vector<LshBucket> buckets;
  std::unordered_map<uint64_t, uint32_t> bucket_of_key;  // key -> index in buckets
};

// Which buckets hold an id, so that removal visits only those. Most ids sit in one
// bucket per table; re-added ids may sit in several.
struct LshIdPage {
  uint32_t first_bucket_plus_one[1u << 10] = {};  // 0: none
};
struct LshMembership {
  PageDirectory<LshIdPage, 10> first_bucket;  // table 0 only: the index has one table
  std::unordered_map<uint32_t, std::vector<uint32_t>> extra_buckets;
};

struct LshTables {
  std::vector<LshTable> tables;
  LshMembership membership;
};

class LSH {
 public:
  // LSH::new: draws 32 unit hyperplanes of `dim` components from Lcg(12345), one table.
  explicit LSH(size_t dim);

  // Bit i of the key is set when the float32 dot product (products rounded, summed in
  // index order over min(dim, len) components) with hyperplane i is > 0. Pure.
  uint64_t hash(size_t table, std::span<const float> vector) const;

  // Appends id to the vector's bucket in every table (exclusive lock on tables).
  void insert(uint32_t id, std::span<const float> vector);

  // Distinct candidate ids: the query's bucket, its 16 single-bit probes, then, if
  // fewer than budget / 2 were found, the first 20 buckets of each table; stops as soon
  // as `budget` ids are held. Order: first gathered first. Shared lock on tables.
  std::vector<uint32_t> query(std::span<const float> vector, uint64_t budget) const;

  // Removes every occurrence of the id(s) from every bucket; emptied buckets stay.
  void remove(uint32_t id);
  void remove_many(const roaring::Roaring& ids);

  // Record fields.
  std::vector<std::vector<std::vector<float>>> hyperplanes;  // [table][bit] -> unit normal
  RwLocked<LshTables> tables;
  size_t num_tables = 1;
  size_t num_bits = kLshBits;
  size_t dim = 0;

 private:
  // hyperplanes transposed per table: component j of the 32 normals side by side, so
  // the 32 dot products accumulate in lanes, each in index order.
  std::vector<std::vector<float>> lanes_;
};

}  // namespace vendrel
