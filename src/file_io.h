// POSIX file plumbing for the database's own files: an owning descriptor with write,
// read and flush loops, the one function that switches a file in atomically, the
// directory lock, and read-only file mappings with copy-on-write pages.
//
// After a crash: bytes handed to write() survive the death of the process (kill -9)
// but not a power loss; they survive a power loss once File::sync_data has returned.
// A new name (a created or renamed file) survives a power loss once sync_directory
// has returned for its directory.
//
// Errors are kValue errors naming the file and the operation, with the operating
// system's text: "cannot write /db/log-3: No space left on device (os error 28)".
#pragma once

#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common.h"

namespace vendrel {

// The name of the lock file that DirectoryLock holds in a database directory.
inline constexpr const char* kLockFileName = "LOCK";

// `directory` joined with `name` by one '/' ("" gives the name alone).
std::string path_in(std::string_view directory, std::string_view name);

// ---- Flush points, observable by tests ------------------------------------------------

// The three operations after which something becomes durable, in the order a power loss
// can tell apart. For kRename `path` is the old name and `target` the new one.
enum class FlushKind { kDataSync, kRename, kDirectorySync };
struct FlushEvent {
  FlushKind kind = FlushKind::kDataSync;
  std::string path;
  std::string target;
};
using FlushObserver = std::function<void(const FlushEvent& event)>;

// Installs a process-wide observer called on the flushing thread right after every
// successful fdatasync (File::sync_data), rename (rename_file) and directory fsync
// (sync_directory); an empty function removes it. Meant for tests that simulate power
// loss: at each call, the files' bytes that were synced and the names whose directory
// was synced are what a power loss at that instant would leave. Calls are serialised by
// a mutex; the observer must not flush itself.
void set_flush_observer(FlushObserver observer);

// Installs a process-wide fault for tests of failed flushes: called before every
// fdatasync, rename and directory fsync with what is about to happen, it returns 0 to
// let it run or an errno to fail it with, as the system would (nothing is done then).
// An empty function removes it.
using FlushFault = std::function<int(const FlushEvent& event)>;
void set_flush_fault(FlushFault fault);

// ---- An owning file descriptor --------------------------------------------------------

class File {
 public:
  File() = default;
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  // Closes the descriptor, ignoring errors (call close() to see them).
  ~File();

  // open(2) with O_CLOEXEC added; `mode` applies when O_CREAT creates the file.
  static Result<File> open(std::string path, int flags, mode_t mode = 0644);

  int fd() const { return fd_; }
  const std::string& path() const { return path_; }
  bool is_open() const { return fd_ >= 0; }

  // Writes all bytes at the current position (at the end with O_APPEND), retrying
  // after EINTR and short writes. On failure part of the bytes may be in the file.
  Status write_all(const void* data, size_t size);
  // Writes all bytes at `offset`, leaving the file position alone.
  Status pwrite_all(const void* data, size_t size, uint64_t offset);
  // Writes the pieces back to back from `offset` with as few pwritev calls as the
  // system's limit on pieces per call allows. The caller's buffers are only read.
  Status pwritev_all(std::span<const iovec> pieces, uint64_t offset);
  // Reads up to `size` bytes from `offset`, stopping early only at the end of the file;
  // returns how many were read.
  Result<size_t> pread_full(void* data, size_t size, uint64_t offset) const;
  // The file's length (fstat).
  Result<uint64_t> size() const;
  // fdatasync: the file's bytes and length are durable when it returns. Then tells
  // the flush observer.
  Status sync_data();
  // ftruncate to `length`.
  Status truncate(uint64_t length);
  // Closes the descriptor and reports close(2)'s error; the File is closed either way.
  Status close();

 private:
  File(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}

  int fd_ = -1;
  std::string path_;
};

// Reads a whole file into memory. Meant for small files (the manifest); the result is
// bounded by the file's length at the time of reading.
Result<std::vector<uint8_t>> read_file(const std::string& path);

// rename(2), then tells the flush observer. The new name is durable only after
// sync_directory.
Status rename_file(const std::string& from, const std::string& to);

// fsync of the directory itself: names created, renamed or removed in it are durable
// when it returns. Then tells the flush observer.
Status sync_directory(const std::string& directory);

// Puts a complete new file in place under `name` in `directory`, atomically: after a
// crash at any instant the name holds either its old contents (or nothing, if it had
// none) or the whole new contents, never a mixture. The one owner of this order:
//   1. write_contents fills "<name>.tmp" (created or emptied first);
//   2. fdatasync it: its bytes are durable before any name points at them;
//   3. rename it over <name>: the switch itself, atomic in the directory;
//   4. fsync the directory: the switch survives a power loss.
// A failure in steps 1-3 removes the temporary file and leaves <name> as it was. A
// failure in step 4 is reported although the rename happened: <name> then holds the new
// contents until a power loss, after which it may hold either.
Status replace_file_atomically(const std::string& directory, const std::string& name,
                               const std::function<Status(File& file)>& write_contents);

// ---- The directory lock ---------------------------------------------------------------

// An exclusive advisory lock on a database directory: flock(LOCK_EX | LOCK_NB) on the
// file "LOCK" in it (created if missing). flock locks belong to the open file, so a
// second DirectoryLock on the same directory fails in the same process too. The lock is
// released when the object is destroyed, and by the system when the process dies.
class DirectoryLock {
 public:
  DirectoryLock() = default;

  // A directory already locked gives the kValue error "database directory <dir> is open
  // in another process or object; close it there first"; other failures name the lock
  // file with the operating system's text.
  static Result<DirectoryLock> acquire(const std::string& directory);

  bool held() const { return file_.is_open(); }

 private:
  explicit DirectoryLock(File file) : file_(std::move(file)) {}
  File file_;
};

// ---- Mapped files ---------------------------------------------------------------------

// A whole file mapped private and writable: reads see the file's bytes; a write copies
// the touched page into private memory and never reaches the file. The file must not be
// shortened while mapped (reading a page past its new end would raise SIGBUS); the
// database never changes a checkpoint file after it is in place. Shared by whoever keeps
// pointers into it; unmapped when the last owner lets go.
class MappedFile {
 public:
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  ~MappedFile();

  // Maps `path` whole. With `populate`, the kernel reads every page in at once (faster
  // than faulting them in one by one when the caller is about to read them all). An
  // empty file gives an empty mapping.
  static Result<std::shared_ptr<MappedFile>> map_private(const std::string& path, bool populate = false);

  std::span<uint8_t> bytes() const { return {data_, size_}; }
  const std::string& path() const { return path_; }

 private:
  MappedFile(uint8_t* data, size_t size, std::string path) : data_(data), size_(size), path_(std::move(path)) {}

  uint8_t* data_ = nullptr;
  size_t size_ = 0;
  std::string path_;
};

}  // namespace vendrel
