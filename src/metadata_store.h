// Where each id's metadata text lies in the append-only file "metadata.bin".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common.h"
#include "paged_table.h"

namespace vendrel {

inline constexpr const char* kMetadataFileName = "metadata.bin";

struct MetadataEntry {
  uint32_t offset = 0;
  uint32_t length = 0;
};

struct MetadataEntryPage {
  static constexpr uint32_t kSlots = 1u << 10;
  MetadataEntry entries[kSlots] = {};
  bool present[kSlots] = {};
};

using MetadataEntries = PageDirectory<MetadataEntryPage, 10>;

// `directory`, a '/' unless it is empty or already ends with one, then "metadata.bin".
std::string metadata_path_for(std::string_view directory);

// Decodes bytes as UTF-8, replacing each maximal invalid subsequence by U+FFFD (the
// same replacements as Python's bytes.decode("utf-8", "replace")).
std::string decode_utf8_lossy(std::string_view bytes);

struct MetadataStore {
  std::string path;
  RwLocked<MetadataEntries> entries;

  explicit MetadataStore(std::string file_path) : path(std::move(file_path)) {}

  // Appends `text` to the file (opened in append mode, created 0o666, closed again)
  // and points id's entry at it. Errors (kValue): "Metadata too long (max 4GB)",
  // "File too large (max 4GB)", "failed to write whole buffer", or the operating
  // system's text ("<description> (os error N)"). A partly written text may remain in
  // the file; the entry is set (write lock on entries) only after the whole text is
  // written. The file is closed on every path.
  Status append(uint32_t id, std::string_view text);

  // The id's entry, if any (read lock on entries).
  std::optional<MetadataEntry> entry(uint32_t id) const;

  // The id's text read back from the file (opened, read and closed here), invalid UTF-8
  // replaced, or nullopt on any failure: no entry, open/seek/read error, or the file
  // ending early. A zero-length entry gives "" without touching the file. Takes the read
  // lock on entries only to look the entry up.
  std::optional<std::string> read(uint32_t id) const;
};

}  // namespace vendrel
