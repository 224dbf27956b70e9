// Checksums over the checkpointed prefix of "metadata.bin", one CRC32C per block of
// kMetadataBlockSize bytes, kept in the state file. The metadata file itself has no
// framing (texts are appended back to back, the entries say where each lies), so these
// checksums are what lets an open find damage in it, and name the block's byte offset.
//
// After a crash a reader may assume: the first covered_length bytes of metadata.bin are
// what the checkpoint saw (the checkpoint flushed them before its manifest switched in);
// bytes after them were appended since and are described by the log, not here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "byte_codec.h"
#include "common.h"

namespace vendrel {

inline constexpr uint32_t kMetadataBlockSize = 64 * 1024;

// Block i covers bytes [i * kMetadataBlockSize, min((i + 1) * kMetadataBlockSize,
// covered_length)); the last block may be short.
struct MetadataCoverage {
  uint64_t covered_length = 0;
  std::vector<uint32_t> block_crcs;
};

// The coverage of the first `new_length` bytes of the file `path`, built on `previous`
// (a coverage of a shorter prefix of the same file): only the blocks that previous did
// not cover whole are read (its short last block again, then the new ones), so a
// checkpoint costs the bytes appended since the last one. The caller has flushed those
// bytes. Errors: the file is shorter than new_length, new_length is below the previous
// length, or a read error; each names the file.
Result<MetadataCoverage> extend_metadata_coverage(const MetadataCoverage& previous, const std::string& path,
                                                  uint64_t new_length);

// Reads the covered prefix of `path` and checks every block on the oneTBB pool. Errors
// name the file and the byte offset: of the first block whose checksum differs, or of
// the file's end when it is shorter than the covered length.
Status verify_metadata_coverage(const MetadataCoverage& coverage, const std::string& path);

// The coverage's bytes in a state file section, and back. decode leaves an error in the
// reader (naming file and offset) when the block count does not match the length.
void encode_metadata_coverage(const MetadataCoverage& coverage, ByteWriter& out);
MetadataCoverage decode_metadata_coverage(ByteReader& in);

}  // namespace vendrel
