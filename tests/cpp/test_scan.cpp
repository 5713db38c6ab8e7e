// The scan primitive: chunking, line splitting, unreadable files, order.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "scan.hpp"
#include "test_files.hpp"

namespace fs = std::filesystem;
using vl::scan::Line;
using vl::scan::Options;
using Mode = vl::scan::Run;
using vl_test::TempDir;
using vl_test::write_file;

namespace {

using Seen = std::pair<size_t, std::string>;  // offset, text

auto keep = [](const Line& l, std::vector<Seen>& out) { out.emplace_back(l.offset, std::string(l.text)); };

const std::string kSample = "ab\r\n\ncd\n\r\n\nlong line\r\nx\ry\nlast\r";

}  // namespace

// The sample's lines as text (no CR before the LF, no empty lines) and raw
// (a CR before the LF kept), the same in every run and every chunk size.
TEST(Scan, LineSplittingInEveryRunAndChunkSize) {
  const std::pair<vl::scan::Lines, std::vector<Seen>> cases[] = {
      {vl::scan::Lines::Text, {{0, "ab"}, {5, "cd"}, {11, "long line"}, {22, "x\ry"}, {26, "last"}}},
      {vl::scan::Lines::Raw,
       {{0, "ab\r"}, {5, "cd"}, {8, "\r"}, {11, "long line\r"}, {22, "x\ry"}, {26, "last\r"}}}};
  for (const auto& [lines, expect] : cases) {
    Options opt;
    opt.lines = lines;
    EXPECT_EQ(vl::scan::bytes<Seen>(kSample, opt, keep), expect);  // the default run
    opt.run = Mode::Serial;
    EXPECT_EQ(vl::scan::bytes<Seen>(kSample, opt, keep), expect);
    opt.run = Mode::PerChunk;
    for (size_t size = 0; size <= kSample.size() + 1; ++size) {
      opt.chunk_bytes = size;
      EXPECT_EQ(vl::scan::bytes<Seen>(kSample, opt, keep), expect) << "chunk " << size;
      // Chunks tile the bytes and end after an LF or at the end.
      size_t start = 0;
      for (size_t end : vl::scan::chunk_ends(kSample, size)) {
        EXPECT_GT(end, start);
        EXPECT_TRUE(end == kSample.size() || kSample[end - 1] == '\n');
        start = end;
      }
      EXPECT_EQ(start, kSample.size());
      std::string joined;
      for (std::string_view c : vl::scan::chunks(kSample, size)) joined += c;
      EXPECT_EQ(joined, kSample);
    }
  }
}

TEST(Scan, FilesJoinInOrderAndUnreadableSkipsOrFails) {
  TempDir dir;
  const std::string fifo = dir.file("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // Twelve files, a missing one before the fourth and a FIFO before the
  // fifth; each line is expected after the index of its file in the list.
  std::vector<std::string> paths, expect;
  for (int i = 0; i < 12; ++i) {
    if (i == 3 || i == 4) paths.push_back(i == 3 ? dir.file("missing") : fifo);
    std::string body;
    for (int k = 0; k <= i; ++k) {
      const std::string line = std::to_string(i) + ":" + std::to_string(k);
      body += line + "\n";
      expect.push_back(std::to_string(paths.size()) + " " + line);
    }
    paths.push_back(write_file(dir.file("f" + std::to_string(i)), body));
  }
  auto text = [](const Line& l, std::vector<std::string>& out) {
    out.push_back(std::to_string(l.file) + " " + std::string(l.text));
  };
  for (Mode run : {Mode::Serial, Mode::PerFile, Mode::PerChunk}) {
    Options opt;
    opt.run = run;
    opt.chunk_bytes = 5;
    EXPECT_EQ(vl::scan::files<std::string>(paths, opt, text), expect);
    opt.unreadable = vl::scan::Unreadable::Fail;
    EXPECT_THROW(vl::scan::files<std::string>(paths, opt, text), vl::Error);
  }
}

TEST(Scan, ListFilesByKind) {
  TempDir dir;
  for (const char* name : {"0a", "ff", "zz", ".0a.tmp.1.2", "Ab"}) write_file(dir.file(name), "x\n");
  fs::create_directory(dir.file("1c"));
  auto names = [](std::vector<std::string> paths, bool sorted = true) {
    std::vector<std::string> out;
    for (auto& p : paths) out.push_back(fs::path(p).filename().string());
    if (sorted) std::sort(out.begin(), out.end());
    return out;
  };
  EXPECT_EQ(names(vl::scan::list_files(dir.root, vl::scan::Files::Shards)),
            (std::vector<std::string>{"0a", "Ab", "ff"}));
  EXPECT_EQ(names(vl::scan::list_files(dir.root, vl::scan::Files::Regular)),
            (std::vector<std::string>{"0a", "Ab", "ff", "zz"}));
  TempDir merged;
  for (const char* name : {"010", "002", "100", "merging.1.2", ".x"}) write_file(merged.file(name), "x\n");
  EXPECT_EQ(names(vl::scan::list_files(merged.root, vl::scan::Files::Merged), false),
            (std::vector<std::string>{"002", "010", "100"}));
  EXPECT_TRUE(vl::scan::list_files(dir.file("none"), vl::scan::Files::Regular).empty());
}
