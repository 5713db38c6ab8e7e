// The composition report over a store written by hand: counts per licence,
// author, section and file, revoked shares, unattributed lines, tokens of
// two tokenizers and entries not merged yet.

#include "report.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "authors.hpp"
#include "indexer.hpp"
#include "register.hpp"
#include "token_index.hpp"
#include "vl.hpp"

namespace {

namespace fs = std::filesystem;
using namespace vl;

void append(const fs::path& p, const std::string& line) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::app) << line << "\n";
}

const report::SectionRow& section(const report::Report& r, const std::string& hash) {
  for (const auto& s : r.sections) {
    if (s.section_hash == hash) return s;
  }
  throw std::runtime_error("no section " + hash);
}
template <typename Rows, typename Key>
const auto& row(const Rows& rows, Key key) {
  for (const auto& r : rows) {
    if (key(r)) return r;
  }
  throw std::runtime_error("no row");
}

TEST(Report, CountsOfAHandBuiltStore) {
  fs::path dir = fs::temp_directory_path() / ("vl-report-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  std::string root = dir.string();
  VlDir(root).init();
  fs::path store = dir / ".vl";

  std::string ada = authors::add(root, "Ada", "ada@x").id;
  std::string bob = authors::add(root, "Bob", "bob@x").id;
  authors::add(root, "Cy", "cy@x");
  // Bob's registration revoked by hand: his sections are withdrawn.
  append(store / "authors" / bob.substr(0, 2),
         R"({"email":"bob@x","id":")" + bob + R"(","name":"Bob","revoked":true})");
  std::string s1 = sections::register_section(root, "a.md", {ada}, {}, "MIT", "2024").section_hash;
  std::string s2 = sections::register_section(root, "b.md", {bob}, {}, "CC-BY", "2024").section_hash;
  auto s3rec = sections::register_section(root, "c.md", {ada}, {}, "MIT", "2023");
  std::string s3 = s3rec.section_hash;
  append(store / "sections" / s3.substr(0, 2),
         R"({"authors":[")" + ada + R"("],"contributors":[],"license":"MIT","path":"c.md","revoked":true,"section_hash":")" +
             s3 + R"(","year":"2023"})");
  std::string s4 = sections::register_section(root, "d.md", {ada}, {}, "Apache-2.0", "2022").section_hash;
  std::string unknown(64, 'e');

  auto doc = [&](const std::string& hash, const std::string& file, std::vector<std::string> src) {
    documents::index_document(root, hash, file, src, "track");
  };
  auto line = [&](char c) { return std::string(64, c); };
  doc(line('1'), "x.jsonl", {s1});
  doc(line('2'), "x.jsonl", {s1, s2, s1});  // S1 twice: counted once
  doc(line('3'), "y.jsonl", {s3});
  doc(line('4'), "y.jsonl", {unknown});
  // Revoked by its own flag, file name escaped (read by the full reader).
  append(store / "document-index" / "55",
         R"({"file":"x\u002ejsonl","line_hash":")" + line('5') + R"(","revoked":true,"sources":[")" + s1 + R"("]})");
  doc(line('6'), "z.jsonl", {});
  doc(line('7'), "x.jsonl", {s1});
  append(store / "document-index" / "revoked" / "all",
         R"({"file":"x.jsonl","line_hash":")" + line('7') + R"(","sources":[]})");
  append(store / "document-index" / "88", "not json");

  token_index::write_pid(root, "ws", 10, {s1});
  token_index::write_pid(root, "ws", 20, {s1, s2});
  token_index::write_pid(root, "ws", 5, {unknown});
  token_index::merge_pid_files(root, "ws");
  append(store / "token-index.bpe" / "001",
         R"({"revoked":true,"sources":[")" + s1 + R"("],"token_count":7,"tokenizer":"bpe"})");
  token_index::write_pid(root, "bpe", 3, {s1});  // pending

  report::Report r = report::build(root, std::nullopt);
  ASSERT_EQ(r.tokenizers, (std::vector<std::string>{"bpe", "ws"}));
  const size_t bpe = 0, ws = 1;

  EXPECT_EQ(r.totals.lines, 7u);
  EXPECT_EQ(r.totals.revoked_lines, 4u);  // 2 (bob), 3 (section), 5 (flag), 7 (list)
  EXPECT_EQ(r.totals.files, 3u);
  EXPECT_EQ(r.totals.tokens[ws].tokens, 35u);
  EXPECT_EQ(r.totals.tokens[ws].revoked_tokens, 20u);
  EXPECT_EQ(r.totals.tokens[bpe].entries, 1u);
  EXPECT_EQ(r.totals.tokens[bpe].revoked_tokens, 7u);
  EXPECT_EQ(r.pending[bpe].entries, 1u);
  EXPECT_EQ(r.pending[bpe].tokens, 3u);
  EXPECT_EQ(r.pending[ws].files, 0u);

  EXPECT_EQ(r.unattributed.lines, 2u);
  EXPECT_EQ(r.unattributed.files, 2u);
  EXPECT_EQ(r.unattributed.tokens[ws].tokens, 5u);
  ASSERT_EQ(r.unknown_sources.size(), 1u);
  EXPECT_EQ(r.unknown_sources[0].source, unknown);
  EXPECT_EQ(r.unknown_sources[0].figures.lines, 1u);
  EXPECT_EQ(r.unknown_sources[0].figures.tokens[ws].tokens, 5u);

  ASSERT_EQ(r.licenses.size(), 3u);
  const auto& mit = row(r.licenses, [](auto& l) { return l.license == "MIT"; });
  EXPECT_EQ(mit.sections, 2u);
  EXPECT_EQ(mit.figures.lines, 5u);
  EXPECT_EQ(mit.figures.revoked_lines, 4u);
  EXPECT_EQ(mit.figures.files, 2u);
  EXPECT_EQ(mit.figures.tokens[ws].tokens, 30u);
  EXPECT_EQ(mit.figures.tokens[bpe].tokens, 7u);
  const auto& apache = row(r.licenses, [](auto& l) { return l.license == "Apache-2.0"; });
  EXPECT_EQ(apache.figures.lines, 0u);

  const auto& s1row = section(r, s1);
  EXPECT_EQ(s1row.figures.lines, 4u);
  EXPECT_EQ(s1row.figures.revoked_lines, 3u);
  EXPECT_EQ(s1row.figures.files, 1u);
  EXPECT_FALSE(s1row.withdrawn);
  EXPECT_TRUE(section(r, s2).withdrawn);
  EXPECT_FALSE(section(r, s2).revoked);
  EXPECT_TRUE(section(r, s3).revoked);
  EXPECT_EQ(section(r, s4).figures.lines, 0u);
  EXPECT_EQ(r.revoked_sections, 1u);
  EXPECT_EQ(r.withdrawn_sections, 2u);

  const auto& ada_row = row(r.authors, [&](auto& a) { return a.id == ada; });
  EXPECT_EQ(ada_row.sections, 3u);
  EXPECT_EQ(ada_row.figures.lines, 5u);
  EXPECT_EQ(ada_row.figures.tokens[ws].entries, 2u);
  const auto& bob_row = row(r.authors, [&](auto& a) { return a.id == bob; });
  EXPECT_TRUE(bob_row.revoked);
  EXPECT_EQ(bob_row.figures.lines, 1u);
  EXPECT_EQ(bob_row.figures.tokens[ws].revoked_tokens, 20u);
  EXPECT_EQ(r.authors.size(), 3u);
  EXPECT_EQ(r.revoked_authors, 1u);

  ASSERT_EQ(r.files.size(), 3u);
  EXPECT_EQ(r.files[0].file, "x.jsonl");
  EXPECT_EQ(r.files[0].lines, 4u);
  EXPECT_EQ(r.files[0].revoked_lines, 3u);
  EXPECT_EQ(r.files[1].unattributed_lines, 1u);

  // One tokenizer asked for: only its tokens are counted.
  report::Report only = report::build(root, std::vector<std::string>{"ws"});
  ASSERT_EQ(only.tokenizers.size(), 1u);
  EXPECT_EQ(only.totals.tokens[0].tokens, 35u);
  fs::remove_all(dir);
}

}  // namespace

// Lines the store's full reader refuses are skipped, and the ones it takes
// are counted, whether or not the fast reader can read them itself.
TEST(Report, ReadsRecordsAsTheFullReaderDoes) {
  fs::path dir = fs::temp_directory_path() / ("vl-report-lines-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  VlDir(dir.string()).init();
  fs::path shard = dir / ".vl" / "document-index" / "00";
  struct Case {
    std::string line;
    bool counted;
    bool revoked;
  };
  std::vector<Case> cases = {
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
  for (const Case& c : cases) {
    append(shard, c.line);
    lines += c.counted;
    revoked += c.revoked;
  }
  report::Report r = report::build(dir.string(), std::nullopt);
  EXPECT_EQ(r.totals.lines, lines);
  EXPECT_EQ(r.totals.revoked_lines, revoked);
  EXPECT_EQ(r.unattributed.lines, lines);
  fs::remove_all(dir);
}
