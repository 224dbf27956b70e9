#include "metadata_coverage.h"

#include <fcntl.h>

#include <algorithm>
#include <atomic>

#include <tbb/parallel_for.h>

#include "crc32c.h"
#include "file_io.h"

namespace vendrel {

namespace {

uint64_t block_count_for(uint64_t length) { return (length + kMetadataBlockSize - 1) / kMetadataBlockSize; }

}  // namespace

Result<MetadataCoverage> extend_metadata_coverage(const MetadataCoverage& previous, const std::string& path,
                                                  uint64_t new_length) {
  if (new_length < previous.covered_length) {
    return value_error(path + ": cannot cover " + std::to_string(new_length) + " bytes, fewer than the " +
                       std::to_string(previous.covered_length) + " already covered");
  }
  MetadataCoverage coverage;
  coverage.covered_length = new_length;
  // Whole blocks of the previous coverage stay; its short last block is read again.
  const uint64_t kept = previous.covered_length / kMetadataBlockSize;
  coverage.block_crcs.assign(previous.block_crcs.begin(), previous.block_crcs.begin() + static_cast<std::ptrdiff_t>(kept));
  if (block_count_for(new_length) == kept) return coverage;
  Result<File> file = File::open(path, O_RDONLY);
  if (!file.ok()) return file.error();
  std::vector<uint8_t> block(kMetadataBlockSize);
  for (uint64_t at = kept * kMetadataBlockSize; at < new_length; at += kMetadataBlockSize) {
    const size_t wanted = static_cast<size_t>(std::min<uint64_t>(kMetadataBlockSize, new_length - at));
    Result<size_t> got = file.value().pread_full(block.data(), wanted, at);
    if (!got.ok()) return got.error();
    if (got.value() < wanted) {
      return value_error(path + ": byte offset " + std::to_string(at + got.value()) +
                         ": the file ends before the " + std::to_string(new_length) + " bytes to cover");
    }
    coverage.block_crcs.push_back(crc32c(block.data(), wanted));
  }
  return coverage;
}

Status verify_metadata_coverage(const MetadataCoverage& coverage, const std::string& path) {
  if (coverage.covered_length == 0) return ok_status();
  Result<std::shared_ptr<MappedFile>> mapped = MappedFile::map_private(path);
  if (!mapped.ok()) return mapped.error();
  const std::span<const uint8_t> bytes = mapped.value()->bytes();
  if (bytes.size() < coverage.covered_length) {
    return value_error(path + ": byte offset " + std::to_string(bytes.size()) + ": the file is " +
                       std::to_string(bytes.size()) + " bytes long, shorter than the " +
                       std::to_string(coverage.covered_length) + " bytes its checkpoint covers");
  }
  std::atomic<uint64_t> first_bad{coverage.block_crcs.size()};
  tbb::parallel_for(size_t{0}, coverage.block_crcs.size(), [&](size_t block) {
    const uint64_t at = block * uint64_t{kMetadataBlockSize};
    const size_t length = static_cast<size_t>(std::min<uint64_t>(kMetadataBlockSize, coverage.covered_length - at));
    if (crc32c(bytes.data() + at, length) == coverage.block_crcs[block]) return;
    uint64_t seen = first_bad.load();
    while (block < seen && !first_bad.compare_exchange_weak(seen, block)) {
    }
  });
  if (first_bad.load() == coverage.block_crcs.size()) return ok_status();
  return value_error(path + ": byte offset " + std::to_string(first_bad.load() * kMetadataBlockSize) +
                     ": checksum mismatch in the block of " + std::to_string(kMetadataBlockSize) +
                     " bytes starting there");
}

void encode_metadata_coverage(const MetadataCoverage& coverage, ByteWriter& out) {
  out.u64(coverage.covered_length);
  out.u32(kMetadataBlockSize);
  out.u64(coverage.block_crcs.size());
  for (uint32_t crc : coverage.block_crcs) out.u32(crc);
}

MetadataCoverage decode_metadata_coverage(ByteReader& in) {
  MetadataCoverage coverage;
  coverage.covered_length = in.u64("covered length");
  const uint64_t block_size_at = in.offset();
  if (in.u32("block size") != kMetadataBlockSize && in.ok()) in.fail_at(block_size_at, "unexpected block size");
  const uint64_t count_at = in.offset();
  const size_t count = in.count(sizeof(uint32_t), "block count");
  if (in.ok() && count != block_count_for(coverage.covered_length)) {
    in.fail_at(count_at, "block count " + std::to_string(count) + " does not match the covered length");
    return MetadataCoverage{};
  }
  coverage.block_crcs.resize(count);
  for (uint32_t& crc : coverage.block_crcs) crc = in.u32("block checksum");
  return in.ok() ? coverage : MetadataCoverage{};
}

}  // namespace vendrel
