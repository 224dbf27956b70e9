#include "metadata_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <shared_mutex>

namespace vendrel {

namespace {

constexpr uint64_t kFourGigabytes = uint64_t{1} << 32;

// Closes the descriptor on every path out of an append or a read; no handle outlives
// the operation.
class FileCloser {
 public:
  explicit FileCloser(int fd) : fd_(fd) {}
  ~FileCloser() { ::close(fd_); }
  FileCloser(const FileCloser&) = delete;
  FileCloser& operator=(const FileCloser&) = delete;

 private:
  int fd_;
};

Error os_error(int error_number) { return value_error(os_error_text(error_number)); }

Status write_all(int fd, std::string_view text) {
  size_t written = 0;
  while (written < text.size()) {
    const ssize_t result = ::write(fd, text.data() + written, text.size() - written);
    if (result < 0) {
      if (errno == EINTR) continue;
      return os_error(errno);
    }
    if (result == 0) return value_error("failed to write whole buffer");
    written += static_cast<size_t>(result);
  }
  return ok_status();
}

// Fills `buffer` completely; false on a read error or an end of file before it is full.
bool read_exact(int fd, std::string& buffer) {
  size_t filled = 0;
  while (filled < buffer.size()) {
    const ssize_t result = ::read(fd, buffer.data() + filled, buffer.size() - filled);
    if (result < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (result == 0) return false;
    filled += static_cast<size_t>(result);
  }
  return true;
}

// Length of the well-formed UTF-8 sequence starting at bytes[at], or 0 when it is
// invalid; `consumed` is then the length of the maximal invalid subpart to replace by
// one U+FFFD (at least 1).
size_t utf8_sequence_length(std::string_view bytes, size_t at, size_t& consumed) {
  const auto byte_at = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
  const unsigned char lead = byte_at(at);
  size_t length = 0;
  unsigned char second_low = 0x80;
  unsigned char second_high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) second_low = 0xA0;   // no overlong forms
    if (lead == 0xED) second_high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) second_low = 0x90;   // no overlong forms
    if (lead == 0xF4) second_high = 0x8F;  // nothing above U+10FFFF
  } else {
    consumed = 1;
    return 0;
  }
  for (size_t k = 1; k < length; ++k) {
    const unsigned char low = k == 1 ? second_low : 0x80;
    const unsigned char high = k == 1 ? second_high : 0xBF;
    if (at + k >= bytes.size() || byte_at(at + k) < low || byte_at(at + k) > high) {
      consumed = k;
      return 0;
    }
  }
  consumed = length;
  return length;
}

// Cuts a failed write's partial text off again, so that the file ends with a whole text.
// A failing truncate leaves the partial text where it is: no entry ever points at it.
void cut_back(int fd, off_t length) {
  while (::ftruncate(fd, length) != 0 && errno == EINTR) {
  }
}

}  // namespace

std::string metadata_path_for(std::string_view directory) {
  std::string path(directory);
  if (!path.empty() && path.back() != '/') path += '/';
  return path + kMetadataFileName;
}

std::string decode_utf8_lossy(std::string_view bytes) {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  std::string text;
  text.reserve(bytes.size());
  size_t at = 0;
  while (at < bytes.size()) {
    if (static_cast<unsigned char>(bytes[at]) < 0x80) {
      text += bytes[at++];
      continue;
    }
    size_t consumed = 0;
    if (utf8_sequence_length(bytes, at, consumed) > 0) {
      text.append(bytes.substr(at, consumed));
    } else {
      text.append(kReplacement);
    }
    at += consumed;
  }
  return text;
}

Status MetadataStore::append(uint32_t id, std::string_view text) { return append_text(id, text, false); }

Status MetadataStore::append_whole(uint32_t id, std::string_view text) { return append_text(id, text, true); }

BatchAppend MetadataStore::append_batch(std::span<const std::string_view> texts) {
  return append_texts(texts, false);
}

BatchAppend MetadataStore::append_batch_whole(std::span<const std::string_view> texts) {
  return append_texts(texts, true);
}

Status MetadataStore::append_text(uint32_t id, std::string_view text, bool whole) {
  if (text.size() >= kFourGigabytes) return value_error("Metadata too long (max 4GB)");
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return os_error(errno);
  FileCloser closer(fd);

  const off_t offset = ::lseek(fd, 0, SEEK_END);
  if (offset < 0) return os_error(errno);
  if (static_cast<uint64_t>(offset) >= kFourGigabytes) return value_error("File too large (max 4GB)");

  Status written = write_all(fd, text);
  if (!written.ok()) {
    if (whole) cut_back(fd, offset);
    return written;
  }

  set_entry(id, MetadataEntry{static_cast<uint32_t>(offset), static_cast<uint32_t>(text.size())});
  return ok_status();
}

BatchAppend MetadataStore::append_texts(std::span<const std::string_view> texts, bool whole) {
  BatchAppend result;
  if (texts.empty()) return result;
  if (texts.front().size() >= kFourGigabytes) {
    result.error = value_error("Metadata too long (max 4GB)");
    return result;
  }
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) {
    result.error = os_error(errno);
    return result;
  }
  FileCloser closer(fd);
  const off_t end = ::lseek(fd, 0, SEEK_END);
  if (end < 0) {
    result.error = os_error(errno);
    return result;
  }

  // The offsets each text will get, up to the first one append() would refuse.
  std::vector<uint64_t> planned;
  planned.reserve(texts.size());
  uint64_t position = static_cast<uint64_t>(end);
  for (std::string_view text : texts) {
    if (text.size() >= kFourGigabytes) {
      result.error = value_error("Metadata too long (max 4GB)");
      break;
    }
    if (position >= kFourGigabytes) {
      result.error = value_error("File too large (max 4GB)");
      break;
    }
    planned.push_back(position);
    position += text.size();
  }
  std::string buffer;
  buffer.reserve(position - static_cast<uint64_t>(end));
  for (size_t i = 0; i < planned.size(); ++i) buffer.append(texts[i]);

  size_t written = 0;
  while (written < buffer.size()) {
    const ssize_t count = ::write(fd, buffer.data() + written, buffer.size() - written);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) {
      // Texts written whole keep their place; the one cut short reports the error.
      result.error = count < 0 ? os_error(errno) : value_error("failed to write whole buffer");
      break;
    }
    written += static_cast<size_t>(count);
  }
  const uint64_t written_end = static_cast<uint64_t>(end) + written;
  for (size_t i = 0; i < planned.size() && planned[i] + texts[i].size() <= written_end; ++i) {
    result.offsets.push_back(static_cast<uint32_t>(planned[i]));
  }
  if (whole && written < buffer.size()) {
    const size_t whole_texts = result.offsets.size();
    cut_back(fd, static_cast<off_t>(whole_texts == 0 ? static_cast<uint64_t>(end)
                                                     : planned[whole_texts - 1] + texts[whole_texts - 1].size()));
  }
  return result;
}

Result<uint64_t> MetadataStore::file_length() const {
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0) return static_cast<uint64_t>(info.st_size);
  if (errno == ENOENT) return uint64_t{0};
  return os_error(errno);
}

Status MetadataStore::truncate_to(uint64_t length) const {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT && length == 0 ? ok_status() : Status(os_error(errno));
  FileCloser closer(fd);
  while (::ftruncate(fd, static_cast<off_t>(length)) != 0) {
    if (errno != EINTR) return os_error(errno);
  }
  return ok_status();
}

void MetadataStore::set_entry(uint32_t id, MetadataEntry entry) {
  std::unique_lock entries_lock(entries.lock);
  MetadataEntryPage& page = entries.value.get_or_create(id);
  const uint32_t slot = MetadataEntries::slot_of(id);
  page.entries[slot] = entry;
  page.present[slot] = true;
}

std::optional<MetadataEntry> MetadataStore::entry(uint32_t id) const {
  std::shared_lock entries_lock(entries.lock);
  const MetadataEntryPage* page = entries.value.find(id);
  const uint32_t slot = MetadataEntries::slot_of(id);
  if (!page || !page->present[slot]) return std::nullopt;
  return page->entries[slot];
}

MetadataStore::~MetadataStore() {
  const int fd = kept_fd_.load();
  if (fd >= 0) ::close(fd);
}

int MetadataStore::kept_descriptor() const {
  int fd = kept_fd_.load(std::memory_order_acquire);
  if (fd >= 0) return fd;
  const int opened = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (opened < 0) return -1;
  // Two first reads may race to open: one descriptor is kept, the other closed.
  if (kept_fd_.compare_exchange_strong(fd, opened, std::memory_order_acq_rel)) return opened;
  ::close(opened);
  return fd;
}

std::optional<std::string> MetadataStore::read(uint32_t id) const {
  const std::optional<MetadataEntry> found = entry(id);
  if (!found) return std::nullopt;
  if (found->length == 0) return std::string();

  if (keep_open_) {
    const int kept = kept_descriptor();
    if (kept < 0) return std::nullopt;
    std::string bytes(found->length, '\0');
    size_t filled = 0;
    while (filled < bytes.size()) {
      const ssize_t count = ::pread(kept, bytes.data() + filled, bytes.size() - filled,
                                    static_cast<off_t>(found->offset + filled));
      if (count < 0 && errno == EINTR) continue;
      if (count <= 0) return std::nullopt;
      filled += static_cast<size_t>(count);
    }
    return decode_utf8_lossy(bytes);
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  FileCloser closer(fd);
  if (::lseek(fd, static_cast<off_t>(found->offset), SEEK_SET) < 0) return std::nullopt;
  std::string bytes(found->length, '\0');
  if (!read_exact(fd, bytes)) return std::nullopt;
  return decode_utf8_lossy(bytes);
}

}  // namespace vendrel
