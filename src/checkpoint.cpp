#include "checkpoint.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "byte_codec.h"
#include "crc32c.h"

namespace vendrel {

namespace {

constexpr char kManifestMagic[8] = {'V', 'N', 'D', 'R', 'M', 'A', 'N', 'I'};
constexpr uint32_t kEndSection = 0;
// Each file kind's first eight bytes.
constexpr char kFileMagic[3][8] = {
    {'V', 'N', 'D', 'R', 'S', 'T', 'A', 'T'},
    {'V', 'N', 'D', 'R', 'R', 'O', 'W', 'S'},
    {'V', 'N', 'D', 'R', 'G', 'R', 'P', 'H'},
};

const char* magic_of(CheckpointFileKind kind) { return kFileMagic[static_cast<int>(kind)]; }

Error newer_format(const std::string& path, uint32_t version) {
  return value_error(path + ": byte offset 8: format version " + std::to_string(version) +
                     ", newer than this build reads (" + std::to_string(kCheckpointFormatVersion) +
                     "); open it with a newer version");
}

// "<stem>-<digits>" -> the generation, else nullopt.
std::optional<uint64_t> generation_of(std::string_view name, std::string_view stem) {
  if (name.size() <= stem.size() + 1 || name.substr(0, stem.size()) != stem || name[stem.size()] != '-') {
    return std::nullopt;
  }
  uint64_t generation = 0;
  for (char c : name.substr(stem.size() + 1)) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
    generation = generation * 10 + static_cast<uint64_t>(c - '0');
  }
  return generation;
}

}  // namespace

std::string generation_file_name(std::string_view stem, uint64_t generation) {
  return std::string(stem) + "-" + std::to_string(generation);
}

const ManifestFile* Manifest::file(const std::string& name) const {
  for (const ManifestFile& entry : files) {
    if (entry.name == name) return &entry;
  }
  return nullptr;
}

// ---- The manifest ----

std::vector<uint8_t> encode_manifest(const Manifest& manifest) {
  ByteWriter out;
  out.raw(kManifestMagic, sizeof kManifestMagic);
  out.u32(manifest.format_version);
  out.u32(0);
  out.u64(manifest.generation);
  out.text(manifest.log_name);
  out.u64(manifest.log_first_sequence);
  out.u64(manifest.files.size());
  for (const ManifestFile& file : manifest.files) {
    out.text(file.name);
    out.u64(file.size);
    out.u32(file.digest);
  }
  out.u64(manifest.settings.size());
  for (const auto& [key, value] : manifest.settings) {
    out.text(key);
    out.text(value);
  }
  out.u32(crc32c(out.bytes.data(), out.bytes.size()));
  return std::move(out.bytes);
}

Result<Manifest> decode_manifest(const std::string& path, std::span<const uint8_t> bytes) {
  // The checksum first, so that damage is never mistaken for a newer format.
  constexpr size_t kHeaderSize = sizeof kManifestMagic + 8;
  if (bytes.size() < kHeaderSize + sizeof(uint32_t)) {
    return value_error(path + ": byte offset " + std::to_string(bytes.size()) + ": manifest cut short");
  }
  const size_t body_end = bytes.size() - sizeof(uint32_t);
  if (crc32c(bytes.data(), body_end) != load_le<uint32_t>(bytes.data() + body_end)) {
    return value_error(path + ": byte offset " + std::to_string(body_end) + ": manifest checksum mismatch");
  }
  if (std::memcmp(bytes.data(), kManifestMagic, sizeof kManifestMagic) != 0) {
    return value_error(path + ": byte offset 0: not a manifest (wrong magic)");
  }
  Manifest manifest;
  manifest.format_version = load_le<uint32_t>(bytes.data() + sizeof kManifestMagic);
  if (manifest.format_version > kCheckpointFormatVersion) return newer_format(path, manifest.format_version);
  ByteReader body(path, bytes.first(body_end));
  body.raw(kHeaderSize - 4, "manifest header");
  if (manifest.format_version == 0 || body.u32("reserved field") != 0) {
    body.fail_at(8, "format version 0 or reserved field set, which no writer produces");
  }
  manifest.generation = body.u64("generation");
  manifest.log_name = body.text("log file name");
  manifest.log_first_sequence = body.u64("log first sequence");
  const size_t file_count = body.count(16, "file count");
  for (size_t i = 0; i < file_count && body.ok(); ++i) {
    ManifestFile file;
    file.name = body.text("file name");
    file.size = body.u64("file size");
    file.digest = body.u32("file digest");
    manifest.files.push_back(std::move(file));
  }
  const size_t setting_count = body.count(8, "setting count");
  for (size_t i = 0; i < setting_count && body.ok(); ++i) {
    std::string key(body.text("setting name"));
    manifest.settings[key] = std::string(body.text("setting value"));
  }
  if (Status finished = body.finish(); !finished.ok()) return finished.error();
  return manifest;
}

Result<std::optional<Manifest>> read_manifest(const std::string& directory) {
  const std::string path = path_in(directory, kManifestFileName);
  if (::access(path.c_str(), F_OK) != 0 && errno == ENOENT) return std::optional<Manifest>();
  Result<std::vector<uint8_t>> bytes = read_file(path);
  if (!bytes.ok()) return bytes.error();
  Result<Manifest> manifest = decode_manifest(path, bytes.value());
  if (!manifest.ok()) return manifest.error();
  return std::optional<Manifest>(std::move(manifest.value()));
}

// ---- CheckpointFileWriter ----

Result<CheckpointFileWriter> CheckpointFileWriter::start(File& file, CheckpointFileKind kind) {
  uint8_t header[kCheckpointFileHeaderSize];
  std::memcpy(header, magic_of(kind), 8);
  store_le<uint32_t>(header + 8, kCheckpointFormatVersion);
  store_le<uint32_t>(header + 12, crc32c(header, 12));
  if (Status written = file.pwrite_all(header, sizeof header, 0); !written.ok()) return written.error();
  return CheckpointFileWriter(file, kCheckpointFileHeaderSize);
}

Status CheckpointFileWriter::write_header(uint64_t at, uint32_t kind, uint32_t crc, uint64_t length) {
  uint8_t header[kSectionHeaderSize];
  store_le<uint32_t>(header, kind);
  store_le<uint32_t>(header + 4, crc);
  store_le<uint64_t>(header + 8, length);
  digest_ = crc32c_extend(digest_, header, sizeof header);
  return file_->pwrite_all(header, sizeof header, at);
}

Status CheckpointFileWriter::add_section(uint32_t kind, std::span<const uint8_t> payload) {
  const iovec piece{const_cast<uint8_t*>(payload.data()), payload.size()};
  return add_gathered_section(kind, std::span<const iovec>(&piece, 1), crc32c(payload));
}

Status CheckpointFileWriter::add_streamed_section(uint32_t kind,
                                                  const std::function<Status(const WriteBytes& write)>& produce) {
  const uint64_t header_at = end_;
  uint64_t at = end_ + kSectionHeaderSize;
  uint32_t crc = 0;
  Status produced = produce([&](const void* data, size_t size) -> Status {
    if (Status written = file_->pwrite_all(data, size, at); !written.ok()) return written;
    crc = crc32c_extend(crc, data, size);
    at += size;
    return ok_status();
  });
  if (!produced.ok()) return produced;
  if (Status written = write_header(header_at, kind, crc, at - header_at - kSectionHeaderSize); !written.ok()) {
    return written;
  }
  end_ = at;
  return ok_status();
}

Status CheckpointFileWriter::add_gathered_section(uint32_t kind, std::span<const iovec> pieces, uint32_t crc) {
  uint64_t length = 0;
  for (const iovec& piece : pieces) length += piece.iov_len;
  if (Status written = write_header(end_, kind, crc, length); !written.ok()) return written;
  if (Status written = file_->pwritev_all(pieces, end_ + kSectionHeaderSize); !written.ok()) return written;
  end_ += kSectionHeaderSize + length;
  return ok_status();
}

Result<ManifestFile> CheckpointFileWriter::finish() {
  const uint32_t digest = digest_;
  if (Status written = write_header(end_, kEndSection, digest, 0); !written.ok()) return written.error();
  end_ += kSectionHeaderSize;
  return ManifestFile{std::string(), end_, digest};
}

Result<ManifestFile> write_checkpoint_file(const std::string& directory, const std::string& name,
                                           CheckpointFileKind kind,
                                           const std::function<Status(CheckpointFileWriter& writer)>& fill) {
  const std::string path = path_in(directory, name);
  Result<ManifestFile> entry = [&]() -> Result<ManifestFile> {
    Result<File> file = File::open(path, O_RDWR | O_CREAT | O_TRUNC);
    if (!file.ok()) return file.error();
    Result<CheckpointFileWriter> writer = CheckpointFileWriter::start(file.value(), kind);
    if (!writer.ok()) return writer.error();
    if (Status filled = fill(writer.value()); !filled.ok()) return filled.error();
    Result<ManifestFile> finished = writer.value().finish();
    if (!finished.ok()) return finished;
    if (Status synced = file.value().sync_data(); !synced.ok()) return synced.error();
    if (Status closed = file.value().close(); !closed.ok()) return closed.error();
    finished.value().name = name;
    return finished;
  }();
  if (!entry.ok()) ::unlink(path.c_str());
  return entry;
}

Status commit_checkpoint(const std::string& directory, const Manifest& manifest) {
  if (Status synced = sync_directory(directory); !synced.ok()) return synced;
  const std::vector<uint8_t> bytes = encode_manifest(manifest);
  return replace_file_atomically(directory, kManifestFileName,
                                 [&](File& file) { return file.write_all(bytes.data(), bytes.size()); });
}

namespace {

// The names in `directory` that belong to some generation ("state-", "rows-", "graph-"
// or "log-<g>"), with leftover ".tmp" files when `with_temporaries`.
Result<std::vector<std::string>> generation_files(const std::string& directory, bool with_temporaries) {
  DIR* listing = ::opendir(directory.empty() ? "." : directory.c_str());
  if (listing == nullptr) return value_error("cannot list " + directory + ": " + os_error_text(errno));
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(listing)) {
    const std::string name = entry->d_name;
    bool belongs = with_temporaries && name.size() > 4 && name.compare(name.size() - 4, 4, ".tmp") == 0;
    for (const char* stem : {"state", "rows", "graph", "log"}) belongs = belongs || generation_of(name, stem);
    if (belongs) names.push_back(name);
  }
  ::closedir(listing);
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

Status remove_stale_files(const std::string& directory, const Manifest& manifest) {
  Result<std::vector<std::string>> names = generation_files(directory, /*with_temporaries=*/true);
  if (!names.ok()) return names.error();
  for (const std::string& name : names.value()) {
    if (name == manifest.log_name || manifest.file(name) != nullptr) continue;
    const std::string path = path_in(directory, name);
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
      return value_error("cannot remove " + path + ": " + os_error_text(errno));
    }
  }
  return ok_status();
}

Status refuse_files_without_manifest(const std::string& directory) {
  Result<std::vector<std::string>> names = generation_files(directory, /*with_temporaries=*/false);
  if (!names.ok()) return names.error();
  // A creation cut short before its first manifest leaves generation 1's files with an
  // empty log: no call was ever acknowledged there, and they are leftovers.
  const bool creation_cut_short = std::all_of(names.value().begin(), names.value().end(), [](const std::string& name) {
    for (const char* stem : {"state", "rows", "graph", "log"}) {
      if (generation_of(name, stem) == std::optional<uint64_t>(1)) return true;
    }
    return false;
  });
  struct stat log_status {};
  const bool log_empty = ::stat(path_in(directory, generation_file_name("log", 1)).c_str(), &log_status) != 0 ||
                         log_status.st_size == 0;
  if (names.value().empty() || (creation_cut_short && log_empty)) return ok_status();
  std::string listed;
  for (const std::string& name : names.value()) listed += (listed.empty() ? "" : ", ") + name;
  return value_error(path_in(directory, kManifestFileName) + " is missing, but the directory holds a database's files (" +
                     listed + "); restore " + kManifestFileName + ", or remove those files to start a new database");
}

// ---- Reading ----

Result<CheckpointSection> CheckpointFileView::section(uint32_t kind) const {
  for (const CheckpointSection& found : sections) {
    if (found.kind == kind) return found;
  }
  return value_error((mapping ? mapping->path() : std::string("checkpoint file")) + ": no section of kind " +
                     std::to_string(kind));
}

Result<std::vector<CheckpointSection>> parse_checkpoint_file(const std::string& path, std::span<const uint8_t> bytes,
                                                             CheckpointFileKind kind, const ManifestFile& expected,
                                                             std::span<const uint32_t> checked_elsewhere) {
  if (bytes.size() != expected.size) {
    return value_error(path + ": byte offset " + std::to_string(std::min<uint64_t>(bytes.size(), expected.size)) +
                       ": the file is " + std::to_string(bytes.size()) + " bytes long, the manifest says " +
                       std::to_string(expected.size));
  }
  ByteReader in(path, bytes);
  const std::span<const uint8_t> magic = in.raw(8, "file header");
  if (in.ok() && std::memcmp(magic.data(), magic_of(kind), 8) != 0) in.fail_at(0, "wrong kind of file (magic)");
  const uint32_t version = in.u32("format version");
  const uint32_t header_crc = in.u32("header checksum");
  if (!in.ok()) return in.status().error();
  if (header_crc != crc32c(bytes.data(), 12)) return value_error(path + ": byte offset 12: header checksum mismatch");
  if (version > kCheckpointFormatVersion) return newer_format(path, version);
  if (version == 0) return value_error(path + ": byte offset 8: format version 0, which no writer produces");

  std::vector<CheckpointSection> sections;
  uint32_t digest = 0;
  while (in.ok()) {
    const uint64_t header_at = in.offset();
    const std::span<const uint8_t> header = in.raw(kSectionHeaderSize, "section header");
    if (!in.ok()) break;
    const uint32_t section_kind = load_le<uint32_t>(header.data());
    const uint32_t crc = load_le<uint32_t>(header.data() + 4);
    const uint64_t length = load_le<uint64_t>(header.data() + 8);
    if (section_kind == kEndSection) {
      if (crc != digest || length != 0 || digest != expected.digest) {
        in.fail_at(header_at, "end section does not match the section headers or the manifest's digest");
      }
      if (Status finished = in.finish(); !finished.ok()) return finished.error();
      return sections;
    }
    digest = crc32c_extend(digest, header.data(), header.size());
    if (length > in.remaining()) {
      in.fail_at(header_at, "section length " + std::to_string(length) + " runs past the end of the file");
      break;
    }
    const uint64_t payload_at = in.offset();
    const std::span<const uint8_t> payload = in.raw(static_cast<size_t>(length), "section");
    const bool checked_here =
        std::find(checked_elsewhere.begin(), checked_elsewhere.end(), section_kind) == checked_elsewhere.end();
    if (checked_here && crc32c(payload) != crc) {
      in.fail_at(payload_at, "section checksum mismatch");
      break;
    }
    sections.push_back(CheckpointSection{section_kind, payload_at, payload});
  }
  return in.status().error();
}

Result<CheckpointFileView> open_checkpoint_file(const std::string& directory, const ManifestFile& expected,
                                                CheckpointFileKind kind, std::span<const uint32_t> checked_elsewhere,
                                                bool populate) {
  const std::string path = path_in(directory, expected.name);
  Result<std::shared_ptr<MappedFile>> mapping = MappedFile::map_private(path, populate);
  if (!mapping.ok()) return mapping.error();
  Result<std::vector<CheckpointSection>> sections =
      parse_checkpoint_file(path, mapping.value()->bytes(), kind, expected, checked_elsewhere);
  if (!sections.ok()) return sections.error();
  return CheckpointFileView{std::move(mapping.value()), std::move(sections.value())};
}

// ---- The graph's file ----

Result<ManifestFile> write_graph_file(const std::string& directory, uint64_t generation, const GraphSaver& save) {
  return write_checkpoint_file(directory, generation_file_name("graph", generation), CheckpointFileKind::kGraph,
                               [&](CheckpointFileWriter& writer) {
                                 return writer.add_streamed_section(kGraphBlobSection, save);
                               });
}

Result<GraphBlob> read_graph_file(const std::string& directory, const ManifestFile& expected) {
  Result<CheckpointFileView> file = open_checkpoint_file(directory, expected, CheckpointFileKind::kGraph);
  if (!file.ok()) return file.error();
  Result<CheckpointSection> blob = file.value().section(kGraphBlobSection);
  if (!blob.ok()) return blob.error();
  return GraphBlob{std::move(file.value().mapping), blob.value().payload};
}

}  // namespace vendrel
