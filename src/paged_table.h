// Id-indexed pages: the container under every per-id table (vectors, codes, metadata
// entries, the LSH's id-to-bucket links). Slots are addressed directly by id, but memory
// is allocated a page at a time on first write, so a table holding one id near 2^32
// costs one page and a small directory, not billions of slots.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

namespace vendrel {

// A two-level directory of pages of 2^kSlotBits slots each. `Page` is any default
// constructible type; the directory creates it on first write and never frees it
// except through clear(). `length()` is the logical table length: one more than the
// highest id written (0 when none), as if every slot below it existed.
// Not thread-safe on its own: the owning component guards it with its lock.
template <typename Page, unsigned kSlotBits>
class PageDirectory {
 public:
  static constexpr uint32_t kSlotsPerPage = 1u << kSlotBits;
  static constexpr unsigned kLeafBits = 12;
  static constexpr uint64_t kPagesPerLeaf = 1ull << kLeafBits;

  static uint64_t page_of(uint32_t id) { return id >> kSlotBits; }
  static uint32_t slot_of(uint32_t id) { return id & (kSlotsPerPage - 1); }
  static uint64_t first_id_of(uint64_t page) { return page << kSlotBits; }

  // The page holding `id`, or null if it was never written.
  const Page* find(uint32_t id) const { return find_page(page_of(id)); }
  Page* find(uint32_t id) { return const_cast<Page*>(std::as_const(*this).find_page(page_of(id))); }

  const Page* find_page(uint64_t page) const {
    const uint64_t leaf_index = page >> kLeafBits;
    if (leaf_index >= leaves_.size() || !leaves_[leaf_index]) return nullptr;
    return (*leaves_[leaf_index])[page & (kPagesPerLeaf - 1)].get();
  }

  // The page holding `id`, created empty if needed, and the logical length raised to
  // cover `id`. Throws std::bad_alloc when memory runs out (nothing is changed then).
  Page& get_or_create(uint32_t id) {
    const uint64_t page = page_of(id);
    const uint64_t leaf_index = page >> kLeafBits;
    if (leaf_index >= leaves_.size()) leaves_.resize(leaf_index + 1);
    auto& leaf = leaves_[leaf_index];
    if (!leaf) leaf = std::make_unique<Leaf>();
    auto& slot = (*leaf)[page & (kPagesPerLeaf - 1)];
    if (!slot) {
      slot = std::make_unique<Page>();
      ++page_count_;
    }
    if (uint64_t{id} + 1 > length_) length_ = uint64_t{id} + 1;
    return *slot;
  }

  uint64_t length() const { return length_; }
  uint64_t page_count() const { return page_count_; }

  // Calls visit(first_id, page) for every allocated page, in ascending id order.
  template <typename Visit>
  void for_each_page(Visit&& visit) const {
    for (uint64_t leaf_index = 0; leaf_index < leaves_.size(); ++leaf_index) {
      if (!leaves_[leaf_index]) continue;
      const Leaf& leaf = *leaves_[leaf_index];
      for (uint64_t i = 0; i < kPagesPerLeaf; ++i) {
        if (leaf[i]) visit(first_id_of((leaf_index << kLeafBits) | i), *leaf[i]);
      }
    }
  }

  // Drops every page; the length becomes 0.
  void clear() {
    leaves_.clear();
    leaves_.shrink_to_fit();
    length_ = 0;
    page_count_ = 0;
  }

 private:
  using Leaf = std::array<std::unique_ptr<Page>, kPagesPerLeaf>;
  std::vector<std::unique_ptr<Leaf>> leaves_;
  uint64_t length_ = 0;
  uint64_t page_count_ = 0;
};

}  // namespace vendrel
