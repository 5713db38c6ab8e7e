// The store's file names (layout) and the replace-file primitive.

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <string>
#include <vector>

#include "fs.hpp"
#include "layout.hpp"
#include "test_files.hpp"

namespace {

namespace fs = std::filesystem;
using vl::layout::Kind;
using namespace vl_test;  // TempDir, read_file, write_file, error_chain

// The names in a directory, sorted.
std::vector<std::string> names(const TempDir& dir) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(dir.root)) out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

// --- Names -----------------------------------------------------------------

// Names the Python tests do not meet on disk (they do meet the log, token,
// archive, docidx and revoked-list files under their names).
TEST(Layout, PathsOfTheStore) {
  using namespace vl::layout;
  EXPECT_EQ(shard_path_of("r", kSections, 0x0a), "r/.vl/sections/0a");
  EXPECT_EQ(index_bin("r/"), "r/.vl/index.bin");
  EXPECT_EQ(temporary_path("r/.vl/index.bin", 9, 3), "r/.vl/.index.bin.tmp.9.3");
  EXPECT_EQ(fold_name("merging.9.2"), ".merging.9.2.fold");
  EXPECT_EQ(parse_merged_entry(fold_name("merging.9.2")).kind, Kind::Temporary);
}

struct Case {
  char place;  // s: .vl, l: layer, m: merged directory, a: archive
  const char* name;
  bool is_dir;
  Kind kind;
  const char* tokenizer = "";
  uint64_t number = 0;
};

TEST(Layout, ParseTellsWhatAnEntryIs) {
  const Case cases[] = {
      {'s', "authors", true, Kind::Layer},
      {'s', "authors", false, Kind::Unknown},
      {'s', "index.bin", false, Kind::IndexBin},
      {'s', "log", false, Kind::Log},
      {'s', "log.1", false, Kind::RotatedLog},
      {'s', "token-index.gpt2.123", false, Kind::TokenPidFile, "gpt2", 123},
      {'s', "token-index.a.b.7", false, Kind::TokenPidFile, "a.b", 7},
      {'s', "token-index.gpt2.bin", false, Kind::TokenBinIndex, "gpt2"},
      {'s', "token-index.gpt2.x", false, Kind::TokenOther, "gpt2"},
      {'s', "token-index.gpt2", true, Kind::TokenMergedDir, "gpt2"},
      {'s', "token-index.a.1", true, Kind::TokenMergedDir, "a.1"},
      {'s', "token-index.", true, Kind::Unknown},
      {'s', "token-index.gpt2", false, Kind::Unknown},
      {'s', "token-index..5", false, Kind::Unknown},
      {'s', "docidx.123", false, Kind::DocIdx},
      {'s', "docidx.", false, Kind::DocIdx},
      {'s', "docidx.4f", false, Kind::Unknown},
      {'s', "archive", true, Kind::ArchiveDir},
      {'s', "split", true, Kind::SplitDir},
      {'l', "3f", false, Kind::Shard},
      {'l', "3F", false, Kind::Shard},
      {'l', "3g", false, Kind::Unknown},
      {'l', "abc", false, Kind::Unknown},
      {'m', "001", false, Kind::MergedFile, "", 1},
      {'m', "+12", false, Kind::MergedFile, "", 12},
      {'m', "abc", false, Kind::Unknown},
      {'m', "99999999999999999999", false, Kind::Unknown},
      {'m', "merging.77.3", false, Kind::Staging, "", 77},
      {'m', "merging.x.3", false, Kind::Unknown},
      {'a', "purge.20250305T142233", false, Kind::PurgeArchive},
      {'a', "sections.ab", false, Kind::LayerArchive},
      {'a', "sections.abc", false, Kind::Unknown},
  };
  for (const Case& c : cases) {
    vl::layout::Entry e = c.place == 's'   ? vl::layout::parse_store_entry(c.name, c.is_dir)
                          : c.place == 'l' ? vl::layout::parse_layer_entry(c.name)
                          : c.place == 'm' ? vl::layout::parse_merged_entry(c.name)
                                           : vl::layout::parse_archive_entry(c.name);
    EXPECT_EQ(e.kind, c.kind) << c.name;
    EXPECT_EQ(e.tokenizer, c.tokenizer) << c.name;
    EXPECT_EQ(e.number, c.number) << c.name;
  }
}

// A temporary file is never taken for a record file, wherever it lies.
TEST(Layout, TemporaryNamesAreTemporaryEverywhere) {
  for (const char* target : {"r/.vl/authors/3f", "r/.vl/token-index.t/001", "r/.vl/index.bin",
                             "r/.vl/token-index.t.5", "r/.vl/archive/purge.1", "data.jsonl"}) {
    std::string name = fs::path(vl::layout::temporary_path(target, 12, 0)).filename().string();
    EXPECT_EQ(vl::layout::parse_store_entry(name, false).kind, Kind::Temporary) << name;
    EXPECT_EQ(vl::layout::parse_layer_entry(name).kind, Kind::Temporary) << name;
    EXPECT_EQ(vl::layout::parse_merged_entry(name).kind, Kind::Temporary) << name;
    EXPECT_EQ(vl::layout::parse_archive_entry(name).kind, Kind::Temporary) << name;
  }
}

// --- replace_file ------------------------------------------------------------

// A reader that holds the old file keeps reading the old bytes.
TEST(ReplaceFile, ReplacesWholeLeavesNoTemporaryAndOpenReadersKeepTheOldFile) {
  for (auto durability : {vl::Durability::None, vl::Durability::Sync}) {
    TempDir dir;
    write_file(dir.file("t"), "old contents, longer than the new\n");
    vl::Fd held = vl::Fd::open_read(dir.file("t"));
    vl::replace_file(dir.file("t"), "new\n", durability);
    EXPECT_EQ(read_file(dir.file("t")), "new\n");
    char buf[4] = {};
    ASSERT_EQ(::pread(held.get(), buf, sizeof buf, 0), 4);
    EXPECT_EQ(std::string(buf, 4), "old ");
    EXPECT_EQ(names(dir), std::vector<std::string>{"t"});
    vl::replace_file(dir.file("u"), "", durability);  // a new, empty file
    EXPECT_EQ(names(dir), (std::vector<std::string>{"t", "u"}));
  }
}

// The streamed writer gathers pieces into blocks that go around the page
// cache; a file position the device cannot take directly (after a lead of
// 100 bytes) makes it fall back to ordinary writes.  Either way the file
// ends up holding every piece in order, the last partial block included.
TEST(StreamWriter, WritesEveryPieceInOrderDirectOrNot) {
  std::string bytes;
  for (size_t i = 0; bytes.size() < (size_t{9} << 20) + 4321; ++i) bytes += "line " + std::to_string(i) + "\n";
  for (size_t lead : {0, 100}) {
    TempDir dir;
    vl::Fd fd = vl::Fd::create_exclusive(dir.file("out"));
    fd.write_all(std::string(lead, 'L'));
    vl::StreamWriter out(fd);
    std::vector<std::string_view> pieces;
    for (size_t at = 0, n = 1; at < bytes.size(); at += n, n = n * 7 % 1000003 + 1) {
      pieces.push_back(std::string_view(bytes).substr(at, n));
    }
    out.write_pieces({pieces.begin(), pieces.begin() + static_cast<std::ptrdiff_t>(pieces.size() / 2)});
    out.write_pieces({pieces.begin() + static_cast<std::ptrdiff_t>(pieces.size() / 2), pieces.end()});
    out.finish();
    if (lead) {
      EXPECT_FALSE(out.direct());
    }
    fd.close();
    ASSERT_EQ(read_file(dir.file("out")), std::string(lead, 'L') + bytes) << lead;
  }
}

// A write that fails on the writer's own thread (here the file size limit,
// met after the first buffer) is reported to the caller, by a later call.
TEST(StreamWriter, ReportsAFailedBackgroundWrite) {
  TempDir dir;
  vl::Fd fd = vl::Fd::create_exclusive(dir.file("out"));
  struct rlimit old_limit;
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  auto old_handler = ::signal(SIGXFSZ, SIG_IGN);
  struct rlimit limit = {size_t{6} << 20, old_limit.rlim_max};
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
  int failed_with = 0;
  try {
    vl::StreamWriter out(fd);
    std::string block(size_t{1} << 20, 'x');
    for (int i = 0; i < 16; ++i) out.write_pieces({block});
    out.finish();
  } catch (const vl::Error& e) {
    failed_with = e.os_errno();
  }
  ::setrlimit(RLIMIT_FSIZE, &old_limit);
  ::signal(SIGXFSZ, old_handler);
  EXPECT_EQ(failed_with, EFBIG);
}

TEST(ReplaceFile, FailureLeavesTargetAndRemovesTemporary) {
  TempDir dir;
  write_file(dir.file("t"), "old\n");
  std::string seen_temp;
  EXPECT_THROW(vl::replace_file(dir.file("t"),
                                [&](vl::Fd& fd, const std::string& temp) {
                                  seen_temp = temp;
                                  fd.write_all("partial");
                                  throw vl::Error("writer failed");
                                }),
               vl::Error);
  EXPECT_EQ(fs::path(seen_temp).parent_path(), fs::path(dir.root));
  EXPECT_EQ(read_file(dir.file("t")), "old\n");
  EXPECT_EQ(names(dir), std::vector<std::string>{"t"});

  // The rename itself fails: a non-empty directory holds the name.
  fs::create_directory(dir.file("d"));
  write_file(dir.file("d/x"), "");
  EXPECT_THROW(vl::replace_file(dir.file("d"), "x"), vl::Error);
  EXPECT_EQ(names(dir), (std::vector<std::string>{"d", "t"}));

  // A missing directory: the error names the target.
  const std::string target = dir.file("missing/t");
  EXPECT_EQ(error_chain([&] { vl::replace_file(target, "x"); }),
            (std::vector<std::string>{"creating " + target, "No such file or directory (os error 2)"}));
  EXPECT_EQ(names(dir), (std::vector<std::string>{"d", "t"}));
}

// A name already taken (by a process that died holding our id, say) is
// skipped, never opened.
TEST(ReplaceFile, TakenTemporaryNamesAreSkipped) {
  TempDir dir;
  const auto pid = static_cast<uint64_t>(::getpid());
  // Learn the next sequence number from a first replacement.
  std::string first;
  vl::replace_file(dir.file("t"), [&](vl::Fd&, const std::string& temp) { first = temp; });
  uint64_t next = std::stoull(first.substr(first.rfind('.') + 1)) + 1;
  for (uint64_t k = next; k < next + 3; ++k) {
    fs::create_symlink(dir.file("victim"), vl::layout::temporary_path(dir.file("t"), pid, k));
  }
  vl::replace_file(dir.file("t"), "data");
  EXPECT_EQ(read_file(dir.file("t")), "data");
  EXPECT_FALSE(fs::exists(dir.file("victim")));
}

}  // namespace
