#include "rows_file.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

#include <tbb/parallel_for.h>

#include "byte_codec.h"
#include "crc32c.h"

namespace vendrel {

namespace {

constexpr uint32_t kSlots = VectorPage::kSlots;
// A page table entry: first id, slot states, norms, block offset, float count, checksum,
// reserved.
constexpr size_t kPageEntrySize = 8 + kSlots + 4 * kSlots + 8 + 8 + 4 + 4;
// Wider rows than this are refused at load, so that block sizes cannot overflow.
constexpr uint64_t kMaxWidth = uint64_t{1} << 24;
constexpr uint8_t kZeros[kRowBlockAlignment] = {};

uint64_t padded(uint64_t bytes) { return (bytes + kRowBlockAlignment - 1) / kRowBlockAlignment * kRowBlockAlignment; }

// One page as the writer lays it out: offsets are within the blocks section's payload.
struct PagePlan {
  uint64_t first_id = 0;
  const VectorPage* page = nullptr;
  uint64_t offset = 0;
  uint64_t bytes = 0;  // rows only; the block is padded(bytes) long
  uint32_t crc = 0;
  // The rows as written: the page's own, or a copy with the slots that hold no vector
  // zeroed (their memory was never written, and whatever it held must not reach the file).
  const float* data = nullptr;
  std::vector<float> cleaned;
};

// Points plan.data at rows whose unused slots are zeros, copying the page only when it
// has such slots.
void clean_unused_slots(PagePlan& plan, size_t width) {
  plan.data = plan.page->rows.data();
  if (width == 0) return;
  const size_t slots = plan.bytes / sizeof(float) / width;
  bool unused = false;
  for (size_t slot = 0; slot < slots && !unused; ++slot) unused = plan.page->state[slot] != VectorPage::kFullVector;
  if (!unused) return;
  plan.cleaned.assign(plan.page->rows.data(), plan.page->rows.data() + plan.bytes / sizeof(float));
  for (size_t slot = 0; slot < slots; ++slot) {
    if (plan.page->state[slot] != VectorPage::kFullVector) {
      std::fill_n(plan.cleaned.begin() + static_cast<std::ptrdiff_t>(slot * width), width, 0.0f);
    }
  }
  plan.data = plan.cleaned.data();
}

}  // namespace

Result<ManifestFile> write_rows_file(const std::string& directory, uint64_t generation, const VectorTable& table) {
  std::vector<PagePlan> plans;
  plans.reserve(table.pages().page_count());
  table.pages().for_each_page([&](uint64_t first_id, const VectorPage& page) {
    plans.push_back(PagePlan{first_id, &page, 0, page.rows.size() * sizeof(float), 0, nullptr, {}});
  });
  tbb::parallel_for(size_t{0}, plans.size(), [&](size_t i) {
    PagePlan& plan = plans[i];
    clean_unused_slots(plan, table.width());
    plan.crc = crc32c_extend(crc32c(plan.data, plan.bytes), kZeros, padded(plan.bytes) - plan.bytes);
  });

  return write_checkpoint_file(
      directory, generation_file_name("rows", generation), CheckpointFileKind::kRows,
      [&](CheckpointFileWriter& writer) -> Status {
        ByteWriter header;
        header.u64(table.width());
        header.u64(table.length());
        header.u8(table.keeps_norms() ? 1 : 0);
        header.raw(kZeros, 7);
        header.u64(plans.size());
        if (Status status = writer.add_section(kRowsHeaderSection, header.bytes); !status.ok()) return status;

        // The blocks section follows the page table; its payload opens with zeros up to
        // the next aligned offset, so that every block starts aligned.
        const uint64_t blocks_payload_at =
            writer.next_payload_offset() + plans.size() * kPageEntrySize + kSectionHeaderSize;
        uint64_t at = padded(blocks_payload_at) - blocks_payload_at;
        const uint64_t lead = at;
        ByteWriter page_table;
        for (PagePlan& plan : plans) {
          plan.offset = at;
          at += padded(plan.bytes);
          page_table.u64(plan.first_id);
          page_table.raw(plan.page->state, kSlots);
          page_table.raw(plan.page->norms, sizeof plan.page->norms);
          page_table.u64(plan.offset);
          page_table.u64(plan.bytes / sizeof(float));
          page_table.u32(plan.crc);
          page_table.u32(0);
        }
        if (Status status = writer.add_section(kRowsPageTableSection, page_table.bytes); !status.ok()) return status;

        std::vector<iovec> pieces;
        pieces.reserve(2 * plans.size() + 1);
        pieces.push_back(iovec{const_cast<uint8_t*>(kZeros), lead});
        for (const PagePlan& plan : plans) {
          pieces.push_back(iovec{const_cast<float*>(plan.data), plan.bytes});
          pieces.push_back(iovec{const_cast<uint8_t*>(kZeros), padded(plan.bytes) - plan.bytes});
        }
        return writer.add_gathered_section(kRowBlocksSection, pieces, 0);
      });
}

Result<VectorTable> rows_table_from_bytes(const std::string& path, std::span<uint8_t> bytes,
                                          const ManifestFile& expected, std::shared_ptr<const void> keep_alive) {
  const uint32_t checked_elsewhere[] = {kRowBlocksSection};
  Result<std::vector<CheckpointSection>> sections =
      parse_checkpoint_file(path, bytes, CheckpointFileKind::kRows, expected, checked_elsewhere);
  if (!sections.ok()) return sections.error();
  const CheckpointFileView view{nullptr, std::move(sections.value())};
  Result<CheckpointSection> header_section = view.section(kRowsHeaderSection);
  Result<CheckpointSection> table_section = view.section(kRowsPageTableSection);
  Result<CheckpointSection> blocks_section = view.section(kRowBlocksSection);
  for (const auto* found : {&header_section, &table_section, &blocks_section}) {
    if (!found->ok()) return value_error(path + ": " + found->error().message);
  }
  const CheckpointSection blocks = blocks_section.value();

  ByteReader header(path, header_section.value().payload, header_section.value().offset);
  const uint64_t width = header.u64("width");
  const uint64_t length = header.u64("length");
  const uint8_t keep_norms = header.u8("norms flag");
  const std::span<const uint8_t> reserved = header.raw(7, "reserved bytes");
  const uint64_t page_count = header.u64("page count");
  if (header.ok() && (width > kMaxWidth || length > (uint64_t{1} << 32) || keep_norms > 1 ||
                      std::any_of(reserved.begin(), reserved.end(), [](uint8_t b) { return b != 0; }))) {
    header.fail_at(header_section.value().offset, "width, length or flags out of range");
  }
  if (Status finished = header.finish(); !finished.ok()) return finished.error();

  ByteReader entries(path, table_section.value().payload, table_section.value().offset);
  if (page_count > table_section.value().payload.size() / kPageEntrySize ||
      table_section.value().payload.size() != page_count * kPageEntrySize) {
    entries.fail("page table size does not match the page count");
  }
  const uint64_t lead = padded(blocks.offset) - blocks.offset;
  if (entries.ok() && (lead > blocks.payload.size() ||
                       std::any_of(blocks.payload.begin(), blocks.payload.begin() + static_cast<std::ptrdiff_t>(lead),
                                   [](uint8_t b) { return b != 0; }))) {
    entries.fail_at(blocks.offset, "row blocks do not start with their zero padding");
  }
  std::vector<VectorTable::LoadedPage> pages(entries.ok() ? page_count : 0);
  std::vector<uint32_t> crcs(pages.size());
  std::vector<uint64_t> block_bytes(pages.size());
  uint64_t next_offset = lead;
  int64_t previous_first_id = -1;
  for (size_t i = 0; i < pages.size() && entries.ok(); ++i) {
    const uint64_t entry_at = entries.offset();
    VectorTable::LoadedPage& page = pages[i];
    const uint64_t first_id = entries.u64("first id");
    const std::span<const uint8_t> states = entries.raw(kSlots, "slot states");
    const std::span<const uint8_t> norms = entries.raw(sizeof page.norms, "norms");
    const uint64_t offset = entries.u64("block offset");
    const uint64_t floats = entries.u64("float count");
    crcs[i] = entries.u32("block checksum");
    const uint32_t reserved_word = entries.u32("reserved field");
    if (!entries.ok()) break;
    std::memcpy(page.state, states.data(), kSlots);
    std::memcpy(page.norms, norms.data(), sizeof page.norms);
    const bool placed = first_id % kSlots == 0 && first_id < (uint64_t{1} << 32) &&
                        static_cast<int64_t>(first_id) > previous_first_id && offset == next_offset &&
                        floats <= kSlots * width && (width == 0 || floats % width == 0) && reserved_word == 0 &&
                        padded(floats * sizeof(float)) <= blocks.payload.size() - offset;
    if (!placed) {
      entries.fail_at(entry_at, "page entry out of order, out of place or too long");
      break;
    }
    for (uint32_t slot = 0; slot < kSlots; ++slot) {
      const bool row_inside = (slot + 1) * width <= floats;
      if (page.state[slot] > VectorPage::kFullVector || (page.state[slot] == VectorPage::kFullVector && !row_inside)) {
        entries.fail_at(entry_at + 8 + slot, "slot state unknown or its row outside the block");
        break;
      }
    }
    previous_first_id = static_cast<int64_t>(first_id);
    page.first_id = static_cast<uint32_t>(first_id);
    page.rows = reinterpret_cast<float*>(bytes.data() + blocks.offset + offset);
    page.row_count = floats;
    block_bytes[i] = floats * sizeof(float);
    next_offset = offset + padded(block_bytes[i]);
  }
  if (entries.ok() && next_offset != blocks.payload.size()) {
    entries.fail_at(blocks.offset + next_offset, "bytes after the last row block");
  }
  const bool length_fits = pages.empty() ? length == 0
                                         : length > pages.back().first_id && length <= uint64_t{pages.back().first_id} + kSlots;
  if (entries.ok() && !length_fits) entries.fail_at(header_section.value().offset + 8, "length does not end in the last page");
  if (Status finished = entries.finish(); !finished.ok()) return finished.error();

  // The blocks' checksums, on the pool; the first bad page is reported.
  std::atomic<size_t> first_bad{pages.size()};
  tbb::parallel_for(size_t{0}, pages.size(), [&](size_t i) {
    const uint8_t* block = reinterpret_cast<const uint8_t*>(pages[i].rows);
    if (crc32c(block, padded(block_bytes[i])) == crcs[i]) return;
    size_t seen = first_bad.load();
    while (i < seen && !first_bad.compare_exchange_weak(seen, i)) {
    }
  });
  if (first_bad.load() < pages.size()) {
    const size_t bad = first_bad.load();
    return value_error(path + ": byte offset " +
                       std::to_string(reinterpret_cast<const uint8_t*>(pages[bad].rows) - bytes.data()) +
                       ": checksum mismatch in the row block of the page of ids from " +
                       std::to_string(pages[bad].first_id));
  }
  return VectorTable::from_loaded_pages(keep_norms == 1, width, length, pages, std::move(keep_alive));
}

Result<VectorTable> load_rows_file(const std::string& directory, const ManifestFile& expected) {
  const std::string path = path_in(directory, expected.name);
  Result<std::shared_ptr<MappedFile>> mapping = MappedFile::map_private(path, /*populate=*/true);
  if (!mapping.ok()) return mapping.error();
  const std::span<uint8_t> bytes = mapping.value()->bytes();
  return rows_table_from_bytes(path, bytes, expected, std::move(mapping.value()));
}

}  // namespace vendrel
