// The composition report reads document records as the store's full reader
// does.  (Its figures over a hand-built store are checked from Python, in
// tests/test_report.py.)

#include "report.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "test_files.hpp"
#include "vl.hpp"

// Lines the store's full reader refuses are skipped, and the ones it takes
// are counted, whether or not the fast reader can read them itself.
TEST(Report, ReadsRecordsAsTheFullReaderDoes) {
  vl_test::TempDir dir;
  const std::string& root = dir.root;
  vl::VlDir(root).init();
  const struct { std::string line; bool counted, revoked; } cases[] = {
      {R"({"file":"a","line_hash":"00","sources":[]})", true, false},
      {R"( { "file" : "a" ,"line_hash":"00", "sources" : [ ] , "revoked" : true } )", true, true},
      {R"({"file":"a","line_hash":"00","sources":[],"revoked":"true"})", true, false},
      {R"({"file":"a","line_hash":"00","sources":[],"revoked":true,"revoked":false})", true, false},
      {R"({"file":"a","line_hash":"00","sources":[],"n":-1.5e3,"o":{"p":[1]}})", true, false},
      {R"({"file":"\u00e9","line_hash":"00","sources":[]})", true, false},
      {"{\"file\":\"\xc3\xa9\",\"line_hash\":\"00\",\"sources\":[]}", true, false},
      {R"({"file":"a","line_hash":"00","sources":[],"file":"b"})", false, false},
      {R"({"file":"a","line_hash":"00","sources":["x",1]})", false, false},
      {R"({"file":"a","line_hash":"00","sources":[]} x)", false, false},
      {R"({"file":"a","line_hash":"00","sources":[],"n":01})", false, false},
      {R"({"file":"a","line_hash":"00"})", false, false},
      {R"(["a","00",[]])", false, false},
      {"{\"file\":\"\xff\",\"line_hash\":\"00\",\"sources\":[]}", false, false},
  };
  uint64_t lines = 0, revoked = 0;
  for (const auto& c : cases) {
    std::ofstream(root + "/.vl/document-index/00", std::ios::app) << c.line << "\n";
    lines += c.counted;
    revoked += c.revoked;
  }
  vl::report::Report r = vl::report::build(root, std::nullopt);
  EXPECT_EQ((std::vector<uint64_t>{r.totals.lines, r.totals.revoked_lines, r.unattributed.lines}),
            (std::vector<uint64_t>{lines, revoked, lines}));
}
