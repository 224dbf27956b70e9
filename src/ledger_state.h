// The state file ("state-<generation>"): the parts of a DocumentLedger a checkpoint
// keeps (id bound, deleted set, expiry times, metadata entries, the coverage of
// metadata.bin, the filter engine), one section each, and the encoders and decoders of
// those parts. Layouts in docs/file-format.md.
//
// After a crash a reader may assume what checkpoint.h says of every checkpoint file:
// a state file named by the manifest is whole; damage is an error naming the file and
// the byte offset. Decoders check every structural rule the in-memory parts rely on
// (ids unique and ordered where the code assumes it, tree invariants, entries inside the
// covered metadata, bitmaps well formed), so bytes whose checksums hold but that no
// writer produced are refused rather than loaded.
#pragma once

#include <cstdint>
#include <string>

#include "byte_codec.h"
#include "checkpoint.h"
#include "common.h"
#include "core.h"
#include "filter.h"
#include "id_set.h"
#include "interval_tree.h"
#include "metadata_coverage.h"
#include "metadata_store.h"

namespace vendrel {

// Section kinds of a state file.
enum StateSection : uint32_t {
  kIdBoundSection = 1,
  kDeletedSection = 2,
  kExpirySection = 3,
  kMetadataEntriesSection = 4,
  kMetadataCoverageSection = 5,
  kFilterEngineSection = 6,
};

// ---- Parts ------------------------------------------------------------------------------
// encode_* append to `out` and cannot fail. decode_* read from `in`; on malformed input
// they leave an error in `in` (naming file and offset) and return an empty value.

// A u64 length, then CRoaring's portable serialisation.
void encode_bitmap(const roaring::Roaring& bitmap, ByteWriter& out);
// Checks the portable layout in full (container kinds, keys ascending, array values
// ascending, bitset cardinalities, runs ordered and inside their container) before
// CRoaring's readSafe sees it: readSafe checks only that it stays inside the buffer,
// and later operations on a malformed container could write out of bounds.
roaring::Roaring decode_bitmap(ByteReader& in);

void encode_interval_tree(const IntervalTree& tree, ByteWriter& out);
// `tolerance` is the grouping of the engine the tree belongs to (its dialect's).
IntervalTree decode_interval_tree(ByteReader& in, double tolerance);

void encode_expiry_table(const ExpiryTable& table, ByteWriter& out);
ExpiryTable decode_expiry_table(ByteReader& in);

// Entries point into metadata.bin; on decode each must lie within its first
// `covered_length` bytes. decode reads `in` to its end and replaces `into` only when
// all of it decoded.
void encode_metadata_entries(const MetadataEntries& entries, ByteWriter& out);
void decode_metadata_entries(ByteReader& in, uint64_t covered_length, MetadataEntries& into);

// The engine's five maps. encode takes each map's read lock in turn; the caller keeps
// writers out for the whole call (the database's write lock) so that the maps agree.
void encode_filter_engine(const FilterEngine& engine, ByteWriter& out);
// Decodes `in` to its end into `into`, whose maps are replaced under their write locks
// only when all of it decoded; on error `into` is unchanged.
void decode_filter_engine(ByteReader& in, FilterEngine& into);

// ---- The whole file ---------------------------------------------------------------------

// Writes "state-<generation>" in `directory` from `ledger` (read locks, one part at a
// time; the caller keeps writers out) and `coverage` (of the ledger's metadata file,
// flushed). Returns its manifest entry.
Result<ManifestFile> write_state_file(const std::string& directory, uint64_t generation, const DocumentLedger& ledger,
                                      const MetadataCoverage& coverage);

// Reads the state file `expected` names in `directory` into `ledger` (made by
// DocumentLedger::open, its parts empty; write locks one part at a time) and returns
// the metadata coverage after verifying metadata.bin against it. Errors name the file
// and byte offset; on error the ledger may hold some of the parts.
Result<MetadataCoverage> load_state_file(const std::string& directory, const ManifestFile& expected,
                                         DocumentLedger& ledger);

// load_state_file on the bytes of the state file `path` (named in errors), already read.
Result<MetadataCoverage> load_state_from_bytes(const std::string& path, std::span<const uint8_t> bytes,
                                               const ManifestFile& expected, DocumentLedger& ledger);

}  // namespace vendrel
