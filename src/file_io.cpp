#include "file_io.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>

namespace vendrel {

namespace {

Error os_error(std::string_view action, const std::string& path, int error_number) {
  return value_error("cannot " + std::string(action) + " " + path + ": " + os_error_text(error_number));
}

std::mutex observer_mutex;
FlushObserver flush_observer;

void notify(FlushKind kind, const std::string& path, const std::string& target = std::string()) {
  std::lock_guard lock(observer_mutex);
  if (flush_observer) flush_observer(FlushEvent{kind, path, target});
}

FlushFault flush_fault;

// The errno a test's fault gives the operation about to run, or 0.
int injected_failure(FlushKind kind, const std::string& path, const std::string& target = std::string()) {
  std::lock_guard lock(observer_mutex);
  return flush_fault ? flush_fault(FlushEvent{kind, path, target}) : 0;
}

}  // namespace

std::string path_in(std::string_view directory, std::string_view name) {
  std::string path(directory);
  if (!path.empty() && path.back() != '/') path += '/';
  return path.append(name);
}

void set_flush_observer(FlushObserver observer) {
  std::lock_guard lock(observer_mutex);
  flush_observer = std::move(observer);
}

void set_flush_fault(FlushFault fault) {
  std::lock_guard lock(observer_mutex);
  flush_fault = std::move(fault);
}

// ---- File ----

File::File(File&& other) noexcept : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    path_ = std::move(other.path_);
  }
  return *this;
}

File::~File() {
  if (fd_ >= 0) ::close(fd_);
}

Result<File> File::open(std::string path, int flags, mode_t mode) {
  int fd = -1;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return os_error("open", path, errno);
  return File(fd, std::move(path));
}

Status File::write_all(const void* data, size_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (size > 0) {
    const ssize_t written = ::write(fd_, bytes, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return os_error("write", path_, errno);
    }
    if (written == 0) return value_error("cannot write " + path_ + ": the system wrote nothing");
    bytes += written;
    size -= static_cast<size_t>(written);
  }
  return ok_status();
}

Status File::pwrite_all(const void* data, size_t size, uint64_t offset) {
  const iovec piece{const_cast<void*>(data), size};
  return pwritev_all(std::span<const iovec>(&piece, 1), offset);
}

Status File::pwritev_all(std::span<const iovec> pieces, uint64_t offset) {
  // A window of at most IOV_MAX pieces, its first piece trimmed by what a short write
  // left written.
  std::vector<iovec> window;
  size_t next = 0;
  while (next < pieces.size() || !window.empty()) {
    while (window.size() < IOV_MAX && next < pieces.size()) {
      if (pieces[next].iov_len > 0) window.push_back(pieces[next]);
      ++next;
    }
    if (window.empty()) break;
    const ssize_t written = ::pwritev(fd_, window.data(), static_cast<int>(window.size()), static_cast<off_t>(offset));
    if (written < 0) {
      if (errno == EINTR) continue;
      return os_error("write", path_, errno);
    }
    if (written == 0) return value_error("cannot write " + path_ + ": the system wrote nothing");
    offset += static_cast<uint64_t>(written);
    size_t left = static_cast<size_t>(written);
    size_t done = 0;
    while (done < window.size() && left >= window[done].iov_len) left -= window[done++].iov_len;
    window.erase(window.begin(), window.begin() + static_cast<std::ptrdiff_t>(done));
    if (left > 0) {
      window.front().iov_base = static_cast<uint8_t*>(window.front().iov_base) + left;
      window.front().iov_len -= left;
    }
  }
  return ok_status();
}

Result<size_t> File::pread_full(void* data, size_t size, uint64_t offset) const {
  auto* bytes = static_cast<uint8_t*>(data);
  size_t filled = 0;
  while (filled < size) {
    const ssize_t got = ::pread(fd_, bytes + filled, size - filled, static_cast<off_t>(offset + filled));
    if (got < 0) {
      if (errno == EINTR) continue;
      return os_error("read", path_, errno);
    }
    if (got == 0) break;
    filled += static_cast<size_t>(got);
  }
  return filled;
}

Result<uint64_t> File::size() const {
  struct stat status{};
  if (::fstat(fd_, &status) != 0) return os_error("stat", path_, errno);
  return static_cast<uint64_t>(status.st_size);
}

Status File::sync_data() {
  // fdatasync is not retried after EINTR: Linux does not return it, and after a failed
  // flush the pages' state is unknown, so the caller must treat it as an error anyway.
  if (const int injected = injected_failure(FlushKind::kDataSync, path_)) return os_error("flush", path_, injected);
  if (::fdatasync(fd_) != 0) return os_error("flush", path_, errno);
  notify(FlushKind::kDataSync, path_);
  return ok_status();
}

Status File::truncate(uint64_t length) {
  while (::ftruncate(fd_, static_cast<off_t>(length)) != 0) {
    if (errno != EINTR) return os_error("truncate", path_, errno);
  }
  return ok_status();
}

Status File::close() {
  const int fd = std::exchange(fd_, -1);
  // close is not retried: on Linux the descriptor is gone even when it reports EINTR.
  if (fd >= 0 && ::close(fd) != 0) return os_error("close", path_, errno);
  return ok_status();
}

// ---- Whole files and names ----

Result<std::vector<uint8_t>> read_file(const std::string& path) {
  Result<File> file = File::open(path, O_RDONLY);
  if (!file.ok()) return file.error();
  Result<uint64_t> size = file.value().size();
  if (!size.ok()) return size.error();
  std::vector<uint8_t> bytes(size.value());
  Result<size_t> got = file.value().pread_full(bytes.data(), bytes.size(), 0);
  if (!got.ok()) return got.error();
  bytes.resize(got.value());
  return bytes;
}

Status rename_file(const std::string& from, const std::string& to) {
  if (const int injected = injected_failure(FlushKind::kRename, from, to)) {
    return os_error("rename " + from + " to", to, injected);
  }
  if (::rename(from.c_str(), to.c_str()) != 0) return os_error("rename " + from + " to", to, errno);
  notify(FlushKind::kRename, from, to);
  return ok_status();
}

Status sync_directory(const std::string& directory) {
  const std::string path = directory.empty() ? "." : directory;
  Result<File> handle = File::open(path, O_RDONLY | O_DIRECTORY);
  if (!handle.ok()) return handle.error();
  if (const int injected = injected_failure(FlushKind::kDirectorySync, path)) {
    return os_error("flush the directory", path, injected);
  }
  if (::fsync(handle.value().fd()) != 0) return os_error("flush the directory", path, errno);
  notify(FlushKind::kDirectorySync, path);
  return ok_status();
}

Status replace_file_atomically(const std::string& directory, const std::string& name,
                               const std::function<Status(File& file)>& write_contents) {
  const std::string final_path = path_in(directory, name);
  const std::string temporary_path = final_path + ".tmp";
  auto written = [&]() -> Status {
    Result<File> file = File::open(temporary_path, O_WRONLY | O_CREAT | O_TRUNC);
    if (!file.ok()) return file.error();
    if (Status status = write_contents(file.value()); !status.ok()) return status;
    if (Status status = file.value().sync_data(); !status.ok()) return status;
    if (Status status = file.value().close(); !status.ok()) return status;
    return rename_file(temporary_path, final_path);
  }();
  if (!written.ok()) {
    ::unlink(temporary_path.c_str());
    return written;
  }
  return sync_directory(directory);
}

// ---- DirectoryLock ----

Result<DirectoryLock> DirectoryLock::acquire(const std::string& directory) {
  Result<File> file = File::open(path_in(directory, kLockFileName), O_RDWR | O_CREAT);
  if (!file.ok()) return file.error();
  while (::flock(file.value().fd(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (errno == EWOULDBLOCK) {
      return value_error("database directory " + directory +
                         " is open in another process or object; close it there first");
    }
    return os_error("lock", file.value().path(), errno);
  }
  return DirectoryLock(std::move(file.value()));
}

// ---- MappedFile ----

MappedFile::~MappedFile() {
  if (data_ != nullptr) ::munmap(data_, size_);
}

Result<std::shared_ptr<MappedFile>> MappedFile::map_private(const std::string& path, bool populate) {
  Result<File> file = File::open(path, O_RDONLY);
  if (!file.ok()) return file.error();
  Result<uint64_t> size = file.value().size();
  if (!size.ok()) return size.error();
  if (size.value() == 0) return std::shared_ptr<MappedFile>(new MappedFile(nullptr, 0, path));
  // Mapped read-only first: populating a writable private mapping would break
  // copy-on-write, copying every page. Write access is added once the pages are in, and
  // a later write copies only the page it touches.
  const int flags = MAP_PRIVATE | (populate ? MAP_POPULATE : 0);
  void* data = ::mmap(nullptr, size.value(), PROT_READ, flags, file.value().fd(), 0);
  if (data == MAP_FAILED) return os_error("map", path, errno);
  if (::mprotect(data, size.value(), PROT_READ | PROT_WRITE) != 0) {
    const int error_number = errno;
    ::munmap(data, size.value());
    return os_error("map", path, error_number);
  }
  // The mapping keeps the file alive; the descriptor closes here.
  return std::shared_ptr<MappedFile>(new MappedFile(static_cast<uint8_t*>(data), size.value(), path));
}

}  // namespace vendrel
