// The composition report over a store written by hand: counts per licence,
// author, section and file, revoked shares, unattributed lines, tokens of
// two tokenizers and entries not merged yet.

#include "report.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "authors.hpp"
#include "indexer.hpp"
#include "register.hpp"
#include "test_files.hpp"
#include "token_index.hpp"
#include "vl.hpp"

namespace {

namespace fs = std::filesystem;
using namespace vl;

void append(const fs::path& p, const std::string& line) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::app) << line << "\n";
}

// An initialised project under the temporary directory, removed afterwards.
struct Project : vl_test::TempDir {
  Project() { VlDir(root).init(); }
};

template <typename Rows, typename Key>
const auto& row(const Rows& rows, Key key) {
  for (const auto& r : rows) {
    if (key(r)) return r;
  }
  throw std::runtime_error("no row");
}

TEST(Report, CountsOfAHandBuiltStore) {
  Project project;
  const std::string& root = project.root;
  fs::path store = fs::path(root) / ".vl";

  std::string ada = authors::add(root, "Ada", "ada@x").id;
  std::string bob = authors::add(root, "Bob", "bob@x").id;
  authors::add(root, "Cy", "cy@x");
  // Bob's registration revoked by hand: his sections are withdrawn.
  append(store / "authors" / bob.substr(0, 2),
         R"({"email":"bob@x","id":")" + bob + R"(","name":"Bob","revoked":true})");
  std::string s1 = sections::register_section(root, "a.md", {ada}, {}, "MIT", "2024").section_hash;
  std::string s2 = sections::register_section(root, "b.md", {bob}, {}, "CC-BY", "2024").section_hash;
  std::string s3 = sections::register_section(root, "c.md", {ada}, {}, "MIT", "2023").section_hash;
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
  using N = std::vector<uint64_t>;
  // Revoked lines: 2 (bob), 3 (section), 5 (flag), 7 (list).
  EXPECT_EQ((N{r.totals.lines, r.totals.revoked_lines, r.totals.files, r.totals.tokens[ws].tokens,
               r.totals.tokens[ws].revoked_tokens, r.totals.tokens[bpe].entries,
               r.totals.tokens[bpe].revoked_tokens}),
            (N{7, 4, 3, 35, 20, 1, 7}));
  EXPECT_EQ((N{r.pending[bpe].entries, r.pending[bpe].tokens, r.pending[ws].files}), (N{1, 3, 0}));
  EXPECT_EQ((N{r.unattributed.lines, r.unattributed.files, r.unattributed.tokens[ws].tokens}),
            (N{2, 2, 5}));
  ASSERT_EQ(r.unknown_sources.size(), 1u);
  const auto& u = r.unknown_sources[0];
  EXPECT_EQ(u.source, unknown);
  EXPECT_EQ((N{u.figures.lines, u.figures.tokens[ws].tokens}), (N{1, 5}));

  ASSERT_EQ(r.licenses.size(), 3u);
  const auto& mit_row = row(r.licenses, [](auto& l) { return l.license == "MIT"; });
  const auto& mit = mit_row.figures;
  EXPECT_EQ((N{mit_row.sections, mit.lines,
               mit.revoked_lines, mit.files, mit.tokens[ws].tokens, mit.tokens[bpe].tokens}),
            (N{2, 5, 4, 2, 30, 7}));
  EXPECT_EQ(row(r.licenses, [](auto& l) { return l.license == "Apache-2.0"; }).figures.lines, 0u);

  auto section = [&](const std::string& h) -> const report::SectionRow& {
    return row(r.sections, [&](auto& s) { return s.section_hash == h; });
  };
  const auto& s1row = section(s1);
  EXPECT_EQ((N{s1row.figures.lines, s1row.figures.revoked_lines, s1row.figures.files,
               s1row.withdrawn, section(s2).withdrawn, section(s2).revoked,
               section(s3).revoked, section(s4).figures.lines, r.revoked_sections,
               r.withdrawn_sections}),
            (N{4, 3, 1, false, true, false, true, 0, 1, 2}));

  const auto& ada_row = row(r.authors, [&](auto& a) { return a.id == ada; });
  const auto& bob_row = row(r.authors, [&](auto& a) { return a.id == bob; });
  EXPECT_EQ((N{ada_row.sections, ada_row.figures.lines, ada_row.figures.tokens[ws].entries,
               bob_row.revoked, bob_row.figures.lines, bob_row.figures.tokens[ws].revoked_tokens,
               r.authors.size(), r.revoked_authors}),
            (N{3, 5, 2, true, 1, 20, 3, 1}));

  ASSERT_EQ(r.files.size(), 3u);
  EXPECT_EQ(r.files[0].file, "x.jsonl");
  EXPECT_EQ((N{r.files[0].lines, r.files[0].revoked_lines, r.files[1].unattributed_lines}),
            (N{4, 3, 1}));

  // One tokenizer asked for: only its tokens are counted.
  report::Report only = report::build(root, std::vector<std::string>{"ws"});
  ASSERT_EQ(only.tokenizers.size(), 1u);
  EXPECT_EQ(only.totals.tokens[0].tokens, 35u);
}

}  // namespace

// Lines the store's full reader refuses are skipped, and the ones it takes
// are counted, whether or not the fast reader can read them itself.
TEST(Report, ReadsRecordsAsTheFullReaderDoes) {
  Project project;
  const std::string& root = project.root;
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
    append(fs::path(root) / ".vl" / "document-index" / "00", c.line);
    lines += c.counted;
    revoked += c.revoked;
  }
  report::Report r = report::build(root, std::nullopt);
  EXPECT_EQ((std::vector<uint64_t>{r.totals.lines, r.totals.revoked_lines, r.unattributed.lines}),
            (std::vector<uint64_t>{lines, revoked, lines}));
}
