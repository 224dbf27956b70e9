// Where each id's metadata text lies in the append-only file "metadata.bin".
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

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

// What append_batch wrote: the offset of every text written whole, in order, and why
// the text after them was not (absent when all were).
struct BatchAppend {
  std::vector<uint32_t> offsets;
  std::optional<Error> error;
};

struct MetadataStore {
  std::string path;
  RwLocked<MetadataEntries> entries;

  explicit MetadataStore(std::string file_path) : path(std::move(file_path)) {}
  ~MetadataStore();
  MetadataStore(const MetadataStore&) = delete;
  MetadataStore& operator=(const MetadataStore&) = delete;

  // From now on, reads share one descriptor kept open (opened by the first read after
  // the file exists) instead of opening the file for every text: for an owner that holds
  // the directory's lock, so that the file is never replaced behind it (cutting it back
  // is fine). Reads from several threads share the descriptor (pread). Call before any
  // read runs concurrently.
  void keep_open_for_reads() { keep_open_ = true; }

  // Appends `text` to the file (opened in append mode, created 0o666, closed again)
  // and points id's entry at it. Errors (kValue): "Metadata too long (max 4GB)",
  // "File too large (max 4GB)", "failed to write whole buffer", or the operating
  // system's text ("<description> (os error N)"). A partly written text may remain in
  // the file; the entry is set (write lock on entries) only after the whole text is
  // written. The file is closed on every path.
  Status append(uint32_t id, std::string_view text);

  // Appends the texts in order, with the file opened and closed once, leaving the file
  // as that many append() calls would; sets no entry (the caller points each id at its
  // text with set_entry once the text is written). Stops at the first text append()
  // would refuse, with its error; an I/O error may leave part of that text in the file.
  // A refused first text leaves the file untouched (not even created).
  BatchAppend append_batch(std::span<const std::string_view> texts);

  // append() and append_batch() for callers whose failed calls must leave the file as it
  // was: a text cut short by a write error is cut off again (the file is truncated back
  // to the end of the last text written whole), so the file only ever holds whole texts.
  Status append_whole(uint32_t id, std::string_view text);
  BatchAppend append_batch_whole(std::span<const std::string_view> texts);

  // The file's length (0 when it does not exist yet), and cutting it back to `length`:
  // how a caller takes back texts it appended when a later step of its call failed.
  Result<uint64_t> file_length() const;
  Status truncate_to(uint64_t length) const;

  // Points id's entry at a text in the file (write lock on entries).
  void set_entry(uint32_t id, MetadataEntry entry);

  // The id's entry, if any (read lock on entries).
  std::optional<MetadataEntry> entry(uint32_t id) const;

  // The id's text read back from the file (opened, read and closed here, or read from the
  // kept descriptor), invalid UTF-8 replaced, or nullopt on any failure: no entry,
  // open/seek/read error, or the file ending early. A zero-length entry gives "" without
  // touching the file. Takes the read lock on entries only to look the entry up.
  std::optional<std::string> read(uint32_t id) const;

 private:
  Status append_text(uint32_t id, std::string_view text, bool whole);
  // The kept descriptor, opened on first use; -1 when the file cannot be opened yet.
  int kept_descriptor() const;

  bool keep_open_ = false;
  mutable std::atomic<int> kept_fd_{-1};
  BatchAppend append_texts(std::span<const std::string_view> texts, bool whole);
};

}  // namespace vendrel
