#include "fs.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "crashpoint.hpp"
#include "error.hpp"
#include "layout.hpp"
#include "utf8.hpp"

namespace vl {

Fd& Fd::operator=(Fd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.release();
  }
  return *this;
}

Fd::~Fd() {
  if (fd_ >= 0) ::close(fd_);
}

void check_path(const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    throw Error("path " + quote_path(path) + " holds a NUL byte");
  }
}

static Fd open_or_throw(const std::string& path, int flags) {
  check_path(path);
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) throw Error::last_os();
  return Fd(fd);
}

// Opens a file that must be a regular file (or a directory, which the
// caller's next step refuses with the system's own error) without ever
// blocking: a FIFO would block the open (and later reads) until a peer
// comes, a device may do anything.
static Fd open_file(const std::string& path, int flags) {
  Fd fd;
  try {
    fd = open_or_throw(path, flags | O_NONBLOCK | O_NOCTTY);
  } catch (const Error& e) {
    // A FIFO without a reader refuses a non-blocking writer with ENXIO.
    struct stat st;
    if (e.os_errno() == ENXIO && ::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
      throw Error("not a regular file");
    }
    throw;
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) throw Error::last_os();
  if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) throw Error("not a regular file");
  int fl = ::fcntl(fd.get(), F_GETFL);
  if (fl < 0 || ::fcntl(fd.get(), F_SETFL, fl & ~O_NONBLOCK) != 0) throw Error::last_os();
  return fd;
}

Fd Fd::open_read(const std::string& path) { return open_file(path, O_RDONLY); }
Fd Fd::open_append(const std::string& path) {
  crash_point();
  // Read-write, so that an append can look at the last byte (see
  // append_lines) and so that byte-range locks work on network file systems.
  return open_file(path, O_RDWR | O_APPEND | O_CREAT);
}
Fd Fd::create_exclusive(const std::string& path) {
  crash_point();
  return open_or_throw(path, O_WRONLY | O_CREAT | O_EXCL);
}

void Fd::write_all(std::string_view data) const {
  crash_point();
  while (!data.empty()) {
    ssize_t n = ::write(fd_, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      throw Error::last_os();
    }
    if (n == 0) throw Error::os(EIO);
    data.remove_prefix(static_cast<size_t>(n));
  }
}

// The most one write request may take: everything, except under a crash
// test (see crash_testing).
static size_t largest_write() { return crash_testing() ? size_t{8192} : SIZE_MAX; }

void Fd::write_pieces(const std::vector<std::string_view>& pieces) const {
  constexpr size_t kMaxPieces = 1024;  // IOV_MAX on Linux
  const size_t max_request = largest_write();
  size_t next = 0, skip = 0;           // the first piece not written, and its bytes already written
  while (next < pieces.size()) {
    struct iovec iov[kMaxPieces];
    int count = 0;
    size_t request = 0;
    for (size_t i = next; i < pieces.size() && count < static_cast<int>(kMaxPieces) && request < max_request; ++i) {
      std::string_view piece = pieces[i];
      if (i == next) piece.remove_prefix(skip);
      if (piece.empty()) continue;
      size_t take = std::min(piece.size(), max_request - request);
      iov[count++] = {const_cast<char*>(piece.data()), take};
      request += take;
    }
    if (count == 0) break;
    crash_point();
    ssize_t n = ::writev(fd_, iov, count);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw Error::last_os();
    }
    if (n == 0) throw Error::os(EIO);
    // Past the pieces written whole, into the one written in part.
    auto written = static_cast<size_t>(n);
    while (next < pieces.size() && written >= pieces[next].size() - skip) {
      written -= pieces[next].size() - skip;
      skip = 0;
      ++next;
    }
    skip += written;
  }
}

void Fd::start_writeback() const {
#ifdef SYNC_FILE_RANGE_WRITE
  ::sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
}

// Direct requests must start and end on boundaries of the device's blocks
// and come from memory aligned the same way; a page is a multiple of every
// common block size.  A buffer holds a few megabytes, enough for the device
// to stream; a writer has at most kDirectBuffers of them, enough for what a
// purge writes of one batch while the next one is decided.
constexpr size_t kDirectAlign = 4096;
constexpr size_t kDirectBuffer = size_t{4} << 20;
constexpr size_t kDirectBuffers = 6;

struct StreamWriter::Shared {
  std::mutex m;
  std::condition_variable cv;
  std::vector<char*> all, free;
  std::deque<std::pair<char*, size_t>> queue;  // full buffers, in file order
  bool busy = false, closing = false;
  std::exception_ptr error;
  std::thread thread;

  ~Shared() {
    for (char* b : all) std::free(b);
  }
  char* allocate() {
    // On huge pages where the system offers them: the kernel pins a
    // buffer's pages for every direct request, far fewer of them that way.
    constexpr size_t kHugePage = size_t{2} << 20;
    char* b = static_cast<char*>(std::aligned_alloc(kHugePage, kDirectBuffer));
    if (!b) return nullptr;
    ::madvise(b, kDirectBuffer, MADV_HUGEPAGE);  // only advice
    all.push_back(b);
    return b;
  }
};

StreamWriter::StreamWriter(const Fd& fd) : fd_(fd) {
  int flags = ::fcntl(fd_.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd_.get(), F_SETFL, flags | O_DIRECT) != 0) return;  // not offered here
  shared_ = std::make_unique<Shared>();
  filling_ = shared_->allocate();
  if (!filling_) {
    ::fcntl(fd_.get(), F_SETFL, flags);
    return;
  }
  direct_ = true;
}

StreamWriter::~StreamWriter() {
  if (!shared_ || !shared_->thread.joinable()) return;
  {
    std::lock_guard lock(shared_->m);
    shared_->closing = true;
  }
  shared_->cv.notify_all();
  shared_->thread.join();
}

void StreamWriter::stop_direct() {
  direct_ = false;
  int flags = ::fcntl(fd_.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd_.get(), F_SETFL, flags & ~O_DIRECT) != 0) throw Error::last_os();
}

// Writes data[0, len), a whole number of blocks.  A request the file system
// refuses to take directly (EINVAL, or EOPNOTSUPP from one that does not do
// direct writes at all), or takes only in part, ends direct writing: the
// rest goes through the page cache.
void StreamWriter::write_out(const char* data, size_t len) {
  const size_t max_request = largest_write();
  size_t done = 0;
  while (done < len && direct_) {
    crash_point();
    ssize_t n = ::write(fd_.get(), data + done, std::min(len - done, max_request));
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EINVAL && errno != EOPNOTSUPP) throw Error::last_os();
      stop_direct();
      break;
    }
    if (n == 0) throw Error::os(EIO);
    done += static_cast<size_t>(n);
    if (done % kDirectAlign != 0) stop_direct();
  }
  if (done < len) fd_.write_pieces({std::string_view(data + done, len - done)});
}

// Waits until every full buffer is written; reports a failure.
void StreamWriter::wait_all() {
  if (!shared_) return;
  std::unique_lock lock(shared_->m);
  shared_->cv.wait(lock, [&] { return shared_->queue.empty() && !shared_->busy; });
  if (shared_->error) std::rethrow_exception(shared_->error);
}

// The writer thread: writes the queued buffers in order and hands them
// back, until the writer closes.
void StreamWriter::run_writer() {
  Shared& sh = *shared_;
  std::unique_lock lock(sh.m);
  for (;;) {
    sh.cv.wait(lock, [&] { return sh.closing || !sh.queue.empty(); });
    if (sh.queue.empty()) return;
    auto [data, len] = sh.queue.front();
    sh.queue.pop_front();
    sh.busy = true;
    // (Closing with buffers still queued: the writer is being given up
    // after a failure, and the file with it.)
    if (!sh.error && !sh.closing) {
      lock.unlock();
      try {
        write_out(data, len);
      } catch (...) {
        lock.lock();
        sh.error = std::current_exception();
        lock.unlock();
      }
      lock.lock();
    }
    sh.busy = false;
    sh.free.push_back(data);
    sh.cv.notify_all();
  }
}

// Queues the full buffer and takes a free one, allocating it while the
// writer has fewer than kDirectBuffers, else waiting for one.  (Under a
// crash test, or when no thread can be started, the buffer is written on
// the calling thread: under a crash test so that the points are reached in
// the same order every time.)
void StreamWriter::submit() {
  Shared& sh = *shared_;
  char* const full = filling_;
  const size_t len = used_;
  used_ = 0;
  std::unique_lock lock(sh.m);
  if (sh.error) std::rethrow_exception(sh.error);
  if (!crash_testing() && !sh.thread.joinable()) {
    try {
      sh.thread = std::thread([this] { run_writer(); });
    } catch (const std::system_error&) {
    }
  }
  if (!sh.thread.joinable()) {
    lock.unlock();
    write_out(full, len);
    return;
  }
  sh.queue.emplace_back(full, len);
  sh.cv.notify_all();
  filling_ = nullptr;
  if (sh.free.empty() && sh.all.size() < kDirectBuffers) {
    filling_ = sh.allocate();
    if (filling_) return;
  }
  sh.cv.wait(lock, [&] { return !sh.free.empty(); });
  filling_ = sh.free.back();
  sh.free.pop_back();
}

void StreamWriter::write_pieces(const std::vector<std::string_view>& pieces) {
  for (size_t i = 0; i < pieces.size(); ++i) {
    std::string_view piece = pieces[i];
    while (direct_ && !piece.empty()) {
      size_t take = std::min(piece.size(), kDirectBuffer - used_);
      std::memcpy(filling_ + used_, piece.data(), take);
      used_ += take;
      piece.remove_prefix(take);
      if (used_ == kDirectBuffer) submit();
    }
    if (!direct_) {
      // Not (or no longer) direct: what is queued, then what is held, then
      // the rest, go the usual way.
      wait_all();
      std::vector<std::string_view> rest;
      if (used_) rest.push_back(std::string_view(filling_, used_));
      used_ = 0;
      if (!piece.empty()) rest.push_back(piece);
      rest.insert(rest.end(), pieces.begin() + static_cast<std::ptrdiff_t>(i) + 1, pieces.end());
      fd_.write_pieces(rest);
      fd_.start_writeback();
      return;
    }
  }
}

void StreamWriter::finish() {
  wait_all();
  if (used_ == 0) return;
  size_t held = used_, whole = direct_ ? held / kDirectAlign * kDirectAlign : 0;
  used_ = 0;
  if (whole > 0) write_out(filling_, whole);
  if (held > whole) {
    if (direct_) stop_direct();
    fd_.write_pieces({std::string_view(filling_ + whole, held - whole)});
  }
}

void Fd::pwrite_all(std::string_view data, uint64_t offset) const {
  while (!data.empty()) {
    ssize_t n = ::pwrite(fd_, data.data(), data.size(), static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      throw Error::last_os();
    }
    if (n == 0) throw Error::os(EIO);
    data.remove_prefix(static_cast<size_t>(n));
    offset += static_cast<uint64_t>(n);
  }
}

void Fd::append_lines(std::string_view lines) const {
  crash_point();
  // A write that failed part-way leaves a last line without its LF; a line
  // appended behind it would be glued onto it and both would stop parsing.
  // So the file's last byte is looked at, and an LF goes first when it is
  // missing (readers skip the empty line that two racing writers can make).
  std::string repaired;
  struct stat st;
  if (::fstat(fd_, &st) != 0) throw Error::last_os();
  if (st.st_size > 0) {
    char last = 0;
    ssize_t n;
    do {
      n = ::pread(fd_, &last, 1, st.st_size - 1);
    } while (n < 0 && errno == EINTR);
    if (n < 0) throw Error::last_os();
    if (n == 1 && last != '\n') {
      repaired.reserve(lines.size() + 1);
      repaired.push_back('\n');
      repaired.append(lines);
      lines = repaired;
    }
  }
  // One request.  The rest of a short write is not written after it: that
  // would be a second append, and another writer's line could come between.
  ssize_t n;
  do {
    n = ::write(fd_, lines.data(), lines.size());
  } while (n < 0 && errno == EINTR);
  if (n < 0) throw Error::last_os();
  if (static_cast<size_t>(n) != lines.size()) {
    // The cause is what a second write would report (no space, the file
    // size limit); it is asked with an empty line-end that cannot glue
    // onto anything, since the torn line is repaired by the next append.
    ssize_t again;
    do {
      again = ::write(fd_, "\n", 1);
    } while (again < 0 && errno == EINTR);
    if (again < 0) throw Error::last_os();
    throw Error("short write: " + std::to_string(n) + " of " + std::to_string(lines.size()) +
                " bytes written");
  }
}

void Fd::close() {
  int fd = release();
  if (fd >= 0 && ::close(fd) != 0 && errno != EINTR) throw Error::last_os();
}

Mapping::Mapping(Mapping&& other) noexcept
    : addr_(other.addr_), len_(other.len_), heap_(other.heap_) {
  other.addr_ = nullptr;
  other.len_ = 0;
}

Mapping& Mapping::operator=(Mapping&& other) noexcept {
  if (this != &other) {
    release();
    addr_ = other.addr_;
    len_ = other.len_;
    heap_ = other.heap_;
    other.addr_ = nullptr;
    other.len_ = 0;
  }
  return *this;
}

Mapping::~Mapping() { release(); }

void Mapping::release() noexcept {
  if (!addr_) return;
  if (heap_) {
    std::free(addr_);
  } else {
    ::munmap(addr_, len_);
  }
  addr_ = nullptr;
}

Mapping Mapping::map(const Fd& fd, size_t len) {
  if (len == 0) throw Panic("mapping an empty file");
  // Every reader walks the whole file, so the pages are brought in with the
  // mapping rather than one fault at a time.
  void* addr = ::mmap(nullptr, len, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd.get(), 0);
  if (addr == MAP_FAILED) throw Error::last_os();
  Mapping m;
  m.addr_ = addr;
  m.len_ = len;
  return m;
}

Mapping Mapping::map_sequential(const Fd& fd, size_t len) {
  if (len == 0) throw Panic("mapping an empty file");
  void* addr = ::mmap(nullptr, len, PROT_READ, MAP_PRIVATE, fd.get(), 0);
  if (addr == MAP_FAILED) throw Error::last_os();
  Mapping m;
  m.addr_ = addr;
  m.len_ = len;
  // Only advice: a kernel that ignores it reads the pages all the same.
  ::madvise(addr, len, MADV_SEQUENTIAL);
  return m;
}

void Mapping::drop_pages(std::string_view part) const {
  if (heap_ || !addr_ || part.empty()) return;
  auto page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
  auto begin = reinterpret_cast<uintptr_t>(part.data());
  uintptr_t end = begin + part.size();
  auto base = reinterpret_cast<uintptr_t>(addr_);
  if (begin < base || end > base + len_) throw Panic("dropping pages outside the mapping");
  begin = (begin + page - 1) / page * page;
  // The mapping's last page may be partial: it ends with the mapping.
  end = end == base + len_ ? (end + page - 1) / page * page : end / page * page;
  if (end <= begin) return;
  // Only advice as well: the pages stay valid to read either way.
  ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_DONTNEED);
}

// Counts of a file range's pages in the page cache (cachestat(2), Linux
// 6.5 on), declared here for C libraries that predate it.
struct CacheStatRange {
  uint64_t off, len;
};
struct CacheStat {
  uint64_t nr_cache, nr_dirty, nr_writeback, nr_evicted, nr_recently_evicted;
};
#if defined(__x86_64__) || defined(__aarch64__)
constexpr long kCacheStatCall = 451;
#else
constexpr long kCacheStatCall = -1;
#endif

void Mapping::drop_pages_and_cache(std::string_view part, const Fd& file) const {
  drop_pages(part);
  if (heap_ || !addr_ || part.empty() || kCacheStatCall < 0) return;
  CacheStatRange range{static_cast<uint64_t>(part.data() - static_cast<const char*>(addr_)), part.size()};
  CacheStat stat{};
  // Dirty pages would be written out by the advice rather than dropped: a
  // file just written is left to the system.  So is one on a system
  // without cachestat.
  if (::syscall(kCacheStatCall, file.get(), &range, &stat, 0) != 0 || stat.nr_dirty || stat.nr_writeback) return;
  ::posix_fadvise(file.get(), static_cast<off_t>(range.off), static_cast<off_t>(range.len), POSIX_FADV_DONTNEED);
}

Mapping Mapping::read(const Fd& fd, size_t len) {
  if (len == 0) throw Panic("reading an empty file");
  Mapping m;
  m.addr_ = std::malloc(len);
  if (!m.addr_) throw std::bad_alloc();
  m.heap_ = true;
  size_t got = 0;
  while (got < len) {
    ssize_t n = ::pread(fd.get(), static_cast<char*>(m.addr_) + got, len - got, static_cast<off_t>(got));
    if (n < 0) {
      if (errno == EINTR) continue;
      throw Error::last_os();
    }
    if (n == 0) break;  // the file shrank since it was measured
    got += static_cast<size_t>(n);
  }
  m.len_ = got;
  return m;
}

FileType file_type(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return FileType::Missing;
  if (S_ISREG(st.st_mode)) return FileType::Regular;
  if (S_ISDIR(st.st_mode)) return FileType::Directory;
  return FileType::Other;
}

std::string join(std::string_view a, std::string_view b) {
  std::string out(a);
  if (!out.empty() && out.back() != '/') out.push_back('/');
  out.append(b);
  return out;
}

void create_dir_all(const std::string& path) {
  if (path.empty()) return;
  if (::mkdir(path.c_str(), 0777) == 0) return;
  int err = errno;
  if (err == EEXIST) {
    if (is_dir(path)) return;
    throw Error::os(err);
  }
  if (err != ENOENT) throw Error::os(err);
  // A parent is missing: create it, then retry this level.
  std::string_view trimmed(path);
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.remove_suffix(1);
  auto slash = trimmed.rfind('/');
  if (slash == std::string_view::npos || slash == 0) throw Error::os(err);
  create_dir_all(std::string(trimmed.substr(0, slash)));
  if (::mkdir(path.c_str(), 0777) == 0) return;
  err = errno;
  if (err == EEXIST && is_dir(path)) return;
  throw Error::os(err);
}

std::vector<DirEntry> list_dir(const std::string& dir) {
  check_path(dir);
  struct Closer {
    void operator()(DIR* d) const { ::closedir(d); }
  };
  std::unique_ptr<DIR, Closer> d(::opendir(dir.c_str()));
  if (!d) throw Error::last_os();
  std::vector<DirEntry> out;
  for (;;) {
    errno = 0;
    struct dirent* e = ::readdir(d.get());
    if (!e) {
      if (errno != 0) throw Error::last_os();
      break;
    }
    std::string_view name(e->d_name);
    if (name == "." || name == "..") continue;
    out.push_back({std::string(name), join(dir, name)});
  }
  return out;
}

void remove_file(const std::string& path) {
  crash_point();
  if (::unlink(path.c_str()) != 0) throw Error::last_os();
}

void rename_path(const std::string& from, const std::string& to) {
  crash_point();
  if (::rename(from.c_str(), to.c_str()) != 0) throw Error::last_os();
}

void sync_fd(const Fd& fd) {
  crash_point();
  while (::fsync(fd.get()) != 0) {
    if (errno != EINTR) throw Error::last_os();
  }
}

void sync_parent_dir(const std::string& path) {
  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  int fd;
  do {
    fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) throw Error::last_os();
  Fd owned(fd);
  sync_fd(owned);
}

void replace_file(const std::string& target,
                  const std::function<void(Fd& fd, const std::string& temp_path)>& write,
                  Durability durability) {
  // A sequence number makes the names of one process distinct; a name left
  // by a process that died with the same id is skipped, never reused.
  static std::atomic<uint64_t> sequence{0};
  const auto pid = static_cast<uint64_t>(::getpid());
  std::string temp;
  Fd fd;
  for (;;) {
    temp = layout::temporary_path(target, pid, sequence++);
    crash_point();
    int raw;
    do {
      raw = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    } while (raw < 0 && errno == EINTR);
    if (raw >= 0) {
      fd = Fd(raw);
      break;
    }
    if (errno != EEXIST) throw Error::last_os().context("creating " + target);
  }
  try {
    write(fd, temp);
    if (durability == Durability::Sync) sync_fd(fd);
    fd.close();
    rename_path(temp, target);
  } catch (...) {
    ::unlink(temp.c_str());
    throw;
  }
  if (durability == Durability::Sync) sync_parent_dir(target);
}

void replace_file(const std::string& target, std::string_view contents, Durability durability) {
  replace_file(target, [&](Fd& fd, const std::string&) { fd.write_all(contents); }, durability);
}

// Characters that a quoted path shows as \u{...}: controls, format and
// separator characters, combining marks and code points that cannot be
// printed.  The table covers the ranges that occur in practice.
static bool needs_unicode_escape(char32_t c) {
  struct Range { char32_t lo, hi; };
  static constexpr Range kRanges[] = {
      {0x00, 0x1F},     {0x7F, 0x9F},     {0xAD, 0xAD},     {0x300, 0x36F},
      {0x483, 0x489},   {0x591, 0x5BD},   {0x600, 0x605},   {0x610, 0x61A},
      {0x61C, 0x61C},   {0x64B, 0x65F},   {0x6DD, 0x6DD},   {0x70F, 0x70F},
      {0x180E, 0x180E}, {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF}, {0x200B, 0x200F},
      {0x2028, 0x202E}, {0x2060, 0x206F}, {0x20D0, 0x20FF}, {0x302A, 0x302F},
      {0x3099, 0x309A}, {0xD800, 0xDFFF}, {0xE000, 0xF8FF}, {0xFE00, 0xFE0F},
      {0xFE20, 0xFE2F}, {0xFEFF, 0xFEFF}, {0xFFF9, 0xFFFB}, {0xFFFE, 0xFFFF},
      {0x1F3FB, 0x1F3FF}, {0xE0000, 0xE0FFF}, {0xF0000, 0x10FFFF},
  };
  for (const auto& r : kRanges) {
    if (c < r.lo) return false;
    if (c <= r.hi) return true;
  }
  return false;
}

std::string quote_path(std::string_view path) {
  static constexpr char kUpperHex[] = "0123456789ABCDEF";
  std::string out = "\"";
  size_t i = 0;
  while (i < path.size()) {
    char32_t c;
    size_t len = utf8::decode(path.substr(i), &c);
    if (len == 0) {
      auto b = static_cast<unsigned char>(path[i]);
      out += "\\x";
      out += kUpperHex[b >> 4];
      out += kUpperHex[b & 15];
      ++i;
      continue;
    }
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case 0: out += "\\0"; break;
      default:
        if (needs_unicode_escape(c)) {
          char buf[16];
          std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(c));
          out += buf;
        } else {
          out.append(path.substr(i, len));
        }
    }
    i += len;
  }
  out += '"';
  return out;
}

std::string lossy_utf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  size_t i = 0;
  while (i < bytes.size()) {
    char32_t c;
    size_t len = utf8::decode(bytes.substr(i), &c);
    if (len == 0) {
      out += "\xEF\xBF\xBD";
      i += utf8::invalid_run(bytes.substr(i));
    } else {
      out.append(bytes.substr(i, len));
      i += len;
    }
  }
  return out;
}

}  // namespace vl
