// Thin RAII wrappers over the POSIX file interface, with errors carrying the
// operating system's own messages.  Paths are byte strings (UTF-8 in practice,
// since they come from Python str).
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vl {

// An owned file descriptor.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(other.release()) {}
  Fd& operator=(Fd&& other) noexcept;
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd();

  int get() const { return fd_; }
  int release() { int fd = fd_; fd_ = -1; return fd; }
  explicit operator bool() const { return fd_ >= 0; }

  // Opens for reading.  Never blocks: anything but a regular file or a
  // directory is refused ("not a regular file").
  static Fd open_read(const std::string& path);
  // Opens read-write for appending, creating the file (0666 before umask)
  // if missing; refuses what is not a regular file as open_read does.
  static Fd open_append(const std::string& path);
  // Creates a new file (0666 before umask); fails with EEXIST if present.
  static Fd create_exclusive(const std::string& path);

  // Writes all of `data`, retrying short writes.  A line written to a file
  // opened for appending goes out in one request unless the kernel splits it.
  void write_all(std::string_view data) const;
  // Appends whole lines (each ending in LF) to a descriptor from
  // open_append in one write request.  A last line left without its LF by
  // an earlier failed write is ended first.  A short write is an error and
  // is not continued.
  void append_lines(std::string_view lines) const;
  // Writes the pieces one after another, as many in one request as the
  // system takes (writev), retrying short writes.  (Under a crash test the
  // requests are kept small: see crash_testing.)
  void write_pieces(const std::vector<std::string_view>& pieces) const;
  // Starts writing the file's changed pages to the device without waiting
  // for them, so that a later sync has little left to wait for.  Only
  // advice: no error is reported.
  void start_writeback() const;
  // Writes all of `data` at `offset` (pwrite), retrying short writes.
  void pwrite_all(std::string_view data, uint64_t offset) const;
  // Closes now, reporting the error that close(2) gives.
  void close();

 private:
  int fd_ = -1;
};

// Writes a new, empty file from front to back in large requests that go
// around the page cache (O_DIRECT) where the file system allows it: the
// bytes are gathered in aligned buffers and go from there to the device.
// Written through the cache instead, every byte of a file of gigabytes
// would be copied once more into freshly allocated cache pages, and the
// write-back would cost as much again, for pages nobody reads.  Full
// buffers are written in order by a thread of the writer's own while the
// caller fills the next ones (up to a few, allocated as needed), so the
// caller waits for the device only when the device is the slower of the
// two.  What the file system refuses to take directly, and the last partial
// block, are written the usual way.  finish() must be called last; the file
// still needs a sync to be durable.  One thread uses a writer.
class StreamWriter {
 public:
  explicit StreamWriter(const Fd& fd);
  ~StreamWriter();
  StreamWriter(const StreamWriter&) = delete;
  StreamWriter& operator=(const StreamWriter&) = delete;

  // Appends the pieces, in order.  May report the failure of an earlier
  // write.
  void write_pieces(const std::vector<std::string_view>& pieces);
  // Writes what is still held and waits for every write.
  void finish();
  // Whether requests still go around the page cache.
  bool direct() const { return direct_; }

 private:
  struct Shared;
  void submit();
  void run_writer();
  void wait_all();
  void write_out(const char* data, size_t len);
  void stop_direct();

  const Fd& fd_;
  std::atomic<bool> direct_{false};
  char* filling_ = nullptr;  // the buffer being filled
  size_t used_ = 0;
  std::unique_ptr<Shared> shared_;  // the buffers and the writing thread
};

// The bytes of a whole file, read-only: a private mapping, or for a small
// file a heap copy (mapping and unmapping a small file costs more than
// reading it, above all in a multi-threaded process where unmapping must
// reach every processor).  Empty mappings hold nothing.
class Mapping {
 public:
  Mapping() = default;
  Mapping(Mapping&& other) noexcept;
  Mapping& operator=(Mapping&& other) noexcept;
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  ~Mapping();

  // Maps `len` bytes of `fd` read-only; `len` must be > 0.
  static Mapping map(const Fd& fd, size_t len);
  // The same for a reader that goes through the file once from start to
  // end: pages come in as the reader reaches them (read ahead of it), not
  // all at once, and drop_pages gives back the ones it is done with, so a
  // large file never needs its size in memory.
  static Mapping map_sequential(const Fd& fd, size_t len);
  // Reads up to `len` bytes of `fd` from its start into memory of its own.
  static Mapping read(const Fd& fd, size_t len);

  const unsigned char* data() const { return static_cast<const unsigned char*>(addr_); }
  size_t size() const { return len_; }
  std::string_view view() const { return {static_cast<const char*>(addr_), len_}; }

  // Gives back the memory of the pages wholly inside `part`, a piece of
  // view() the reader is done with; reading there again reads the file
  // again.  Nothing for a heap copy.
  void drop_pages(std::string_view part) const;
  // drop_pages, and then gives back the page cache of that part of `file`
  // (the file mapped) where the system can tell that none of it waits to
  // be written: for a file about to be replaced, so that its memory comes
  // free as a reader goes rather than all at once when it is gone.
  void drop_pages_and_cache(std::string_view part, const Fd& file) const;

 private:
  void release() noexcept;

  void* addr_ = nullptr;
  size_t len_ = 0;
  bool heap_ = false;
};

enum class FileType { Missing, Regular, Directory, Other };

// lstat-free type probe that follows symlinks, as path.is_file() would.
FileType file_type(const std::string& path);
inline bool is_dir(const std::string& path) { return file_type(path) == FileType::Directory; }
inline bool is_regular(const std::string& path) { return file_type(path) == FileType::Regular; }

// Refuses a path holding a NUL byte, which the system calls would take
// as its end.
void check_path(const std::string& path);

// Joins two path pieces with exactly one '/'.
std::string join(std::string_view a, std::string_view b);

// Creates `path` and all missing parents with mode 0777 before umask.  An
// existing directory is fine; anything else in the way is an error.
void create_dir_all(const std::string& path);

// One entry of a directory listing, in the order readdir returns them.
struct DirEntry {
  std::string name;
  std::string path;
};
// Lists `dir` (without "." and ".."); errors carry the OS message.
std::vector<DirEntry> list_dir(const std::string& dir);

void remove_file(const std::string& path);
void rename_path(const std::string& from, const std::string& to);

// Whether replace_file flushes to stable storage: the new file before it is
// renamed, and the directory after.
enum class Durability { None, Sync };

// Replaces `target` with a complete new file and never leaves it partial:
// the content goes into a temporary file created exclusively in the same
// directory (a name no reader takes for a record file, see layout.hpp),
// which `write` fills through the open descriptor (it is also given the
// temporary path, to re-open it for checks).  The file is then closed
// (fsync'd first under Durability::Sync) and renamed over the target;
// readers see the old file or the new one, never a mix.  On any failure the
// temporary file is removed and the target is left as it was.
void replace_file(const std::string& target,
                  const std::function<void(Fd& fd, const std::string& temp_path)>& write,
                  Durability durability = Durability::None);
void replace_file(const std::string& target, std::string_view contents,
                  Durability durability = Durability::None);

// fsync of a file and of the directory that holds `path`.
void sync_fd(const Fd& fd);
void sync_parent_dir(const std::string& path);

// The path written for people: in double quotes, with backslash escapes for
// quotes, backslashes, control and invisible characters, and \xNN for bytes
// that are not UTF-8.
std::string quote_path(std::string_view path);

// Replaces invalid UTF-8 sequences with U+FFFD.
std::string lossy_utf8(std::string_view bytes);

}  // namespace vl
