// Whole-file tracking in small batches: the records do not depend on the
// batch size, progress reports each batch, and a stop keeps exactly the
// records of the batches done.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "test_files.hpp"
#include "track_file.hpp"
#include "vl.hpp"

namespace {

namespace fs = std::filesystem;

struct Project : vl_test::TempDir {
  Project() : data(file("data.jsonl")) {
    vl::VlDir(root).init();
    std::ofstream out(data);
    for (int i = 0; i < 500; ++i) out << "{\"n\": " << i << ", \"t\": \"w" << i % 7 << " x\"}\n";
  }

  // Every document record line, sorted.
  std::vector<std::string> records() const {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(root + "/.vl/document-index")) {
      if (!e.is_regular_file()) continue;
      std::ifstream in(e.path());
      for (std::string line; std::getline(in, line);) out.push_back(line);
    }
    std::sort(out.begin(), out.end());
    return out;
  }

  std::string data;
};

TEST(TrackFile, BatchSizeChangesNothingAndAStopKeepsWholeBatches) {
  Project p, q, r;  // the same data, tracked three ways
  vl::TrackFileOptions o;
  o.file = "data.jsonl";
  vl::TrackFileResult whole = vl::track_file(p.root, p.data, o);
  EXPECT_EQ(whole.recorded, 500u);
  std::vector<std::string> all = p.records();
  ASSERT_EQ(all.size(), 500u);

  std::vector<uint64_t> reports;
  o.batch_bytes = 1000;
  o.progress = [&](uint64_t done) {
    reports.push_back(done);
    return true;
  };
  vl::TrackFileResult small = vl::track_file(q.root, q.data, o);
  EXPECT_EQ(small.recorded, 500u);
  EXPECT_EQ(q.records(), all);
  ASSERT_GT(reports.size(), 10u);
  EXPECT_TRUE(std::is_sorted(reports.begin(), reports.end()));
  EXPECT_EQ(small.bytes, fs::file_size(q.data));

  o.progress = [&](uint64_t done) { return done < 5000; };
  vl::TrackFileResult stopped = vl::track_file(r.root, r.data, o);
  EXPECT_TRUE(stopped.stopped);
  EXPECT_GE(stopped.bytes, 5000u);
  EXPECT_LT(stopped.recorded, 500u);
  EXPECT_EQ(r.records().size(), stopped.recorded);
  // The bytes reported end on a line boundary: every line before is recorded.
  const std::string text = vl_test::read_file(p.data);
  EXPECT_EQ(text[stopped.bytes - 1], '\n');
  EXPECT_EQ(std::count(text.begin(), text.begin() + static_cast<long>(stopped.bytes), '\n'),
            static_cast<long>(stopped.recorded));
}

}  // namespace
