// Vector storage: the id-indexed tables of full vectors and of quantization codes, the
// quantizer they switch to at 5000 slots, and similarity scoring.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "common.h"
#include "id_set.h"
#include "paged_table.h"
#include "quantize.h"
#include "scan_kernel.h"

namespace vendrel {

inline constexpr size_t kQuantizeThreshold = 5000;
inline constexpr size_t kStorageDimension = 768;
inline constexpr unsigned kVectorPageBits = 6;
inline constexpr unsigned kCodePageBits = 10;

// A std::vector element allocator that leaves new elements uninitialised on resize, so
// that growing a page does not write its memory twice (every row is written before a
// slot is marked present, and only present slots are read).
template <typename T>
struct UninitializedAllocator : std::allocator<T> {
  template <typename U>
  struct rebind {
    using other = UninitializedAllocator<U>;
  };
  UninitializedAllocator() = default;
  template <typename U>
  UninitializedAllocator(const UninitializedAllocator<U>&) noexcept {}
  template <typename U>
  void construct(U* place) noexcept {
    ::new (static_cast<void*>(place)) U;
  }
  template <typename U, typename... Args>
  void construct(U* place, Args&&... args) {
    ::new (static_cast<void*>(place)) U(std::forward<Args>(args)...);
  }
};

// The float32 rows of one page: in memory of its own, or inside a mapped rows file after
// a load (private copy-on-write pages: writing a row there changes this process's copy,
// never the file). Reads and writes in place work the same either way; growing past
// the mapped part first moves the rows into memory of their own. Whoever adopts mapped
// rows keeps the mapping alive for as long as the buffer points into it.
class RowBuffer {
 public:
  float* data() { return mapped_ ? mapped_ : owned_.data(); }
  const float* data() const { return mapped_ ? mapped_ : owned_.data(); }
  size_t size() const { return mapped_ ? mapped_size_ : owned_.size(); }
  bool empty() const { return size() == 0; }
  bool mapped() const { return mapped_ != nullptr; }
  float* begin() { return data(); }
  float* end() { return data() + size(); }
  const float* begin() const { return data(); }
  const float* end() const { return data() + size(); }

  // Resizes to `count` floats, new ones uninitialised. Mapped rows that must grow are
  // copied into memory of their own first; shrinking mapped rows only shortens the view.
  // Throws std::bad_alloc with the buffer unchanged.
  void resize(size_t count) {
    if (!mapped_) {
      owned_.resize(count);
    } else if (count <= mapped_size_) {
      mapped_size_ = count;
    } else {
      std::vector<float, UninitializedAllocator<float>> grown(count);
      std::copy(mapped_, mapped_ + mapped_size_, grown.data());
      owned_ = std::move(grown);
      mapped_ = nullptr;
      mapped_size_ = 0;
    }
  }

  // Points the buffer at `count` floats at `rows`, inside a mapping kept alive by the
  // caller; memory of its own is released.
  void adopt_mapped(float* rows, size_t count) {
    owned_ = {};
    mapped_ = rows;
    mapped_size_ = count;
  }

 private:
  std::vector<float, UninitializedAllocator<float>> owned_;
  float* mapped_ = nullptr;
  size_t mapped_size_ = 0;
};

// A page of full vectors, stored row-major and contiguous: slot i's vector is
// rows[i * width .. (i + 1) * width). `rows` grows to cover the highest slot written.
struct VectorPage {
  static constexpr uint32_t kSlots = 1u << kVectorPageBits;
  enum SlotState : uint8_t { kAbsent = 0, kEmptyVector = 1, kFullVector = 2 };
  uint8_t state[kSlots] = {};
  RowBuffer rows;
  // The Euclidean norm of each full vector, kept only by tables that score whole rows
  // often (VectorTable::keep_norms), so that a scan computes one dot product per row.
  float norms[kSlots] = {};
};

// A stored full vector and its Euclidean norm, as the graph index reads rows.
struct RowView {
  const float* values = nullptr;  // width() floats inside a page; null when there is no full vector
  float norm = 0.0f;
};

// Full vectors by id. Every vector has the table's width (fixed by the first
// non-empty vector) or is empty (stored before the database dimension was known).
class VectorTable {
 public:
  VectorTable() = default;
  explicit VectorTable(bool keep_norms) : keep_norms_(keep_norms) {}

  // One more than the highest id stored (empty slots included); 0 when empty.
  uint64_t length() const { return pages_.length(); }
  size_t width() const { return width_; }

  // The id's vector (possibly empty), or nullopt when the slot is empty. The span
  // points into the page and is valid until the next put or clear.
  std::optional<std::span<const float>> get(uint32_t id) const;

  // The id's full vector and its norm (the kept one, or computed when the table keeps
  // none), or a view with null values when the slot is absent or holds an empty vector.
  // The pointer is valid until the next put, put_batch or clear. Pure; defined below.
  RowView full_row(uint32_t id) const;

  // Stores a copy in slot id, replacing any earlier vector. The vector is empty or has
  // the table's width (the first non-empty one sets the width); a non-empty vector of
  // another length is the caller's bug: std::logic_error, nothing written. Throws
  // std::bad_alloc with the slot unchanged (the length may already cover id).
  void put(uint32_t id, std::span<const float> vector);

  // put() for every (ids[i], rows[i]) in order, with the same result (a repeated id
  // keeps its last row), faster for many rows: each page grows once, and the rows are
  // copied on the oneTBB pool. The same width rule and exceptions as put(); a width
  // mismatch is found before anything is stored.
  void put_batch(std::span<const uint32_t> ids, std::span<const std::span<const float>> rows);

  // Calls visit(id, vector) for every stored vector in ascending id order.
  template <typename Visit>
  void for_each(Visit&& visit) const {
    pages_.for_each_page([&](uint64_t first_id, const VectorPage& page) {
      for (uint32_t slot = 0; slot < VectorPage::kSlots; ++slot) {
        if (page.state[slot] == VectorPage::kAbsent) continue;
        const uint32_t id = static_cast<uint32_t>(first_id + slot);
        if (page.state[slot] == VectorPage::kEmptyVector) {
          visit(id, std::span<const float>());
        } else {
          visit(id, std::span<const float>(page.rows.data() + size_t{slot} * width_, width_));
        }
      }
    });
  }

  // Drops every vector; the length becomes 0 and the next non-empty vector sets the width.
  void clear() {
    pages_.clear();
    width_ = 0;
    mapping_.reset();
  }

  // A page read back from a rows file: its first id, slot states and norms, and its
  // `row_count` floats at `rows` inside a mapping.
  struct LoadedPage {
    uint32_t first_id = 0;
    uint8_t state[VectorPage::kSlots] = {};
    float norms[VectorPage::kSlots] = {};
    float* rows = nullptr;
    size_t row_count = 0;
  };
  // A table of `width` holding `pages` (ascending first ids, each a multiple of the page
  // size) and the logical length `length` (at least one more than the last page's first
  // id). The pages' rows stay inside the mapping, which the table keeps alive (until
  // clear() and until every page has grown out of it). The caller has checked that every
  // full slot's row lies within its page's rows. Throws std::bad_alloc.
  static VectorTable from_loaded_pages(bool keep_norms, size_t width, uint64_t length,
                                       std::span<const LoadedPage> pages, std::shared_ptr<const void> mapping);
  const PageDirectory<VectorPage, kVectorPageBits>& pages() const { return pages_; }
  bool keeps_norms() const { return keep_norms_; }

 private:
  PageDirectory<VectorPage, kVectorPageBits> pages_;
  size_t width_ = 0;
  bool keep_norms_ = false;
  // The rows file mapping that loaded pages point into, if any.
  std::shared_ptr<const void> mapping_;
};

struct CodePage {
  static constexpr uint32_t kSlots = 1u << kCodePageBits;
  bool present[kSlots] = {};
  std::vector<uint8_t> bytes;  // slot i's code at [i * width, (i + 1) * width)
};

// Quantization codes by id, each `width` bytes (the quantizer's subspace count).
class CodeTable {
 public:
  uint64_t length() const { return pages_.length(); }
  size_t width() const { return width_; }
  void set_width(size_t width) { width_ = width; }

  // The id's code (width bytes inside the page), or null when the slot is empty.
  const uint8_t* get(uint32_t id) const;
  // Stores a copy of `code` (width bytes) in slot id, replacing any earlier code.
  // Throws std::bad_alloc.
  void put(uint32_t id, const uint8_t* code);
  // Raises the logical length to cover `id` without storing anything there (allocates
  // the page holding id). Throws std::bad_alloc.
  void extend_to(uint32_t id);

  template <typename Visit>
  void for_each(Visit&& visit) const {
    pages_.for_each_page([&](uint64_t first_id, const CodePage& page) {
      for (uint32_t slot = 0; slot < CodePage::kSlots; ++slot) {
        if (page.present[slot]) visit(static_cast<uint32_t>(first_id + slot), page.bytes.data() + size_t{slot} * width_);
      }
    });
  }

  const PageDirectory<CodePage, kCodePageBits>& pages() const { return pages_; }

 private:
  PageDirectory<CodePage, kCodePageBits> pages_;
  size_t width_ = 0;
};

// The similarity of full vectors: the SimSIMD cosine kernel when the lengths match,
// else a float32 cosine over the common prefix (0 when that is empty or all zeros), so
// a query longer than the stored vector never reads past it. Pure.
float full_vector_similarity(std::span<const float> query, std::span<const float> stored);

// Inline: the graph index calls it for every distance it computes.
inline RowView VectorTable::full_row(uint32_t id) const {
  const VectorPage* page = pages_.find(id);
  if (page == nullptr) return {};
  const uint32_t slot = PageDirectory<VectorPage, kVectorPageBits>::slot_of(id);
  if (page->state[slot] != VectorPage::kFullVector) return {};
  const float* values = page->rows.data() + size_t{slot} * width_;
  return {values, keep_norms_ ? page->norms[slot] : std::sqrt(dot_product(values, values, width_))};
}

struct VectorStorage {
  RwLocked<VectorTable> vectors;
  RwLocked<CodeTable> codes;
  RwLocked<std::unique_ptr<const ProductQuantizer>> quantizer;
  size_t quantize_threshold = kQuantizeThreshold;
  size_t dimension = kStorageDimension;

  // The storage step of add: under the quantizer's write lock, activates quantization
  // when the vector table has quantize_threshold slots or more (notice on standard
  // output, training, encoding every stored vector, emptying the vector table), then
  // stores the vector, or its code once quantized. A failed notice is a kInternal error
  // and changes nothing. Lock order: quantizer (exclusive, throughout), then vectors or
  // codes. Before activation the vector must be empty or as long as the non-empty
  // vectors stored before it; anything else is the caller's bug (std::logic_error,
  // nothing stored).
  Status store(uint32_t id, std::span<const float> vector);

  // Whether the quantizer is installed (read lock on quantizer).
  bool quantized() const;

  // Length of the vector table: one more than the highest id stored with a full vector
  // (read lock on vectors). The storage step switches quantization on once it reaches
  // quantize_threshold.
  uint64_t vector_slot_count() const;

  // The similarity of one stored document to the query, or nullopt when the id has
  // nothing stored. Full vectors: cosine (SimSIMD) when lengths match, else a float32
  // cosine over the common prefix (min of both lengths, so a longer query is safe).
  // Codes: 1 - min(sqrt(summed subspace squared L2) / 4, 1), each subspace compared over
  // the common length of query slice and centroid. Takes the quantizer's then the
  // table's read lock. Never fails.
  std::optional<float> compute_similarity(std::span<const float> query, uint32_t id) const;

  // Scores the candidates in order, skipping ids with nothing stored; the result is
  // bit-identical to compute_similarity candidate by candidate. With `parallel`, slices
  // are scored on the oneTBB pool and kept in candidate order. The calling thread holds
  // the quantizer's read lock for the whole call (one regime, one distance table); each
  // slice takes the table's read lock once. Never fails.
  std::vector<ScoredId> score_candidates(std::span<const float> query, std::span<const uint32_t> ids,
                                         bool parallel) const;

  // Ids below `bound` that have a stored vector (zero-length ones included) or code and
  // are not in `excluded`, ascending: the scan without a filter, walking only pages that
  // were written. Read locks: quantizer, then vectors or codes.
  std::vector<uint32_t> scan_ids(uint64_t bound, const roaring::Roaring& excluded) const;

 private:
  // Activation; the caller holds the quantizer's write lock. Trains on the stored
  // vectors in place and encodes them on the oneTBB pool, holding the codes' write lock
  // and the vectors' read lock (in that order) throughout, then empties the vector
  // table. On a failed notice returns its error with nothing changed.
  Status activate_locked();
};

}  // namespace vendrel
