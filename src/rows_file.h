// The rows file ("rows-<generation>"): a VectorTable's pages as a checkpoint keeps them,
// laid out so that a load maps the file and points each page's rows into the mapping
// instead of copying them. Layout in docs/file-format.md.
//
// After a crash a reader may assume what checkpoint.h says of every checkpoint file.
// The row blocks are checksummed page by page (the checksums are in the page table,
// which its section's checksum covers), so that a load verifies them on the oneTBB pool.
// A loaded table keeps the file mapped private: writes to its rows never reach the file,
// and the file must stay as it is while mapped (the database never changes a checkpoint
// file in place; the next checkpoint writes a new generation).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "checkpoint.h"
#include "common.h"
#include "storage.h"

namespace vendrel {

enum RowsSection : uint32_t {
  kRowsHeaderSection = 1,
  kRowsPageTableSection = 2,
  kRowBlocksSection = 3,
};
// Every page's row block starts at a multiple of this in the file (and so in memory).
inline constexpr size_t kRowBlockAlignment = 64;

// Writes "rows-<generation>" in `directory` from `table`: the page checksums are
// computed on the oneTBB pool, then the rows go out with pwritev straight from the
// pages. The caller holds the table's read lock. Returns the file's manifest entry.
Result<ManifestFile> write_rows_file(const std::string& directory, uint64_t generation, const VectorTable& table);

// Maps the rows file `expected` names in `directory` (read in whole at once, since every
// page is about to be verified), checks it (rows_table_from_bytes) and returns the table
// whose pages point into the mapping. Errors name the file and the byte offset.
Result<VectorTable> load_rows_file(const std::string& directory, const ManifestFile& expected);

// The table held by the bytes of a rows file `path` (named in errors): sections checked
// as parse_checkpoint_file does, the header and page table checked against every rule
// the table relies on (pages ascending, blocks where the writer puts them, every stored
// row inside its block, states known), every block's checksum verified on the pool. The
// pages point into `bytes`, which `keep_alive` (stored in the table) must keep valid.
Result<VectorTable> rows_table_from_bytes(const std::string& path, std::span<uint8_t> bytes,
                                          const ManifestFile& expected, std::shared_ptr<const void> keep_alive);

}  // namespace vendrel
