"""vl report: the figures of a store built by hand with known counts, the JSON
shape, one breakdown or one tokenizer, and the HTML page with its charts and
every figure of its tables."""

import html
import json
import re

import pytest
from clirun import run

import vl._vl_native as native
from tokens import line, vl, write, write_merged
from vl._cli_report import tables

UNKNOWN = "e" * 64
EVE = "Eve <script>alert(1)</script> & Co"


@pytest.fixture(scope="module")
def store(tmp_path_factory):
    """Three authors (Bob revoked, Eve without sections), four sections (S3
    revoked, S4 without lines), seven lines (one citing S1 twice, one citing
    an unknown source, one citing none, one revoked by its flag and with an
    escaped file name, one by the revoked document list), a line that is no
    record, and tokens of two tokenizers (the merged bpe entry revoked by its
    flag), one entry of them not merged yet."""
    root = str(tmp_path_factory.mktemp("report") / "proj")
    native.init(root)
    ada = native.author_add("Ada", "ada@x", root)
    bob = native.author_add("Bob", "bob@x", root)
    native.author_add(EVE, "eve@x", root)
    write(native.shard_path_str(root, "authors", bob),
          json.dumps({"email": "bob@x", "id": bob, "name": "Bob", "revoked": True}) + "\n", "a")
    s1 = native.register_section("a.md", [ada], [], "MIT", "2024", root)
    s2 = native.register_section("b.md", [bob], [], "CC-BY", "2024", root)
    s3 = native.register_section("c.md", [ada], [], "MIT", "2023", root)
    write(native.shard_path_str(root, "sections", s3), json.dumps(
        {"authors": [ada], "contributors": [], "license": "MIT", "path": "c.md", "revoked": True,
         "section_hash": s3, "year": "2023"}) + "\n", "a")
    s4 = native.register_section("d.md", [ada], [], "Apache-2.0", "2022", root)
    docs = [("1", "x.jsonl", [s1]), ("2", "x.jsonl", [s1, s2, s1]), ("3", "y.jsonl", [s3]),
            ("4", "y.jsonl", [UNKNOWN]), ("6", "z.jsonl", []), ("7", "x.jsonl", [s1])]
    for c, file, sources in docs:
        native.index_document(root, c * 64, file, sources)
    write(vl(root, "document-index", "55"), '{"file":"x\\u002ejsonl","line_hash":"%s","revoked":true,'
          '"sources":["%s"]}\n' % ("5" * 64, s1), "a")
    write(vl(root, "document-index", "88"), "not json\n", "a")
    write(vl(root, "document-index", "revoked", "all"),
          json.dumps({"file": "x.jsonl", "line_hash": "7" * 64, "sources": []}) + "\n")
    for count, sources in ((10, [s1]), (20, [s1, s2]), (5, [UNKNOWN])):
        native.token_index_write_pid(root, "ws", count, sources)
    native.token_index_merge_pid_files(root, "ws")
    write_merged(root, {"001": [line(7, [s1], revoked=True, tokenizer="bpe")]}, "bpe")
    native.token_index_write_pid(root, "bpe", 3, [s1])  # pending
    return {"root": root, "ada": ada, "bob": bob, "s1": s1, "s2": s2, "s3": s3, "s4": s4}


def report_json(store, *args):
    return json.loads(run("report", "--json", *args, cwd=store["root"]).stdout)


def row(rows, key, value):
    (found,) = [r for r in rows if r[key] == value]
    return found


@pytest.mark.parametrize("pick, expected", [
    (lambda r, s: r["totals"]["lines"], 7),
    (lambda r, s: r["totals"]["revoked_lines"], 4),  # Bob's section, S3, own flag, revoked list
    (lambda r, s: r["totals"]["files"], 3),
    (lambda r, s: r["totals"]["tokens"]["ws"], {"entries": 3, "tokens": 35, "revoked_entries": 1,
                                                "revoked_tokens": 20}),
    (lambda r, s: r["totals"]["tokens"]["bpe"], {"entries": 1, "tokens": 7, "revoked_entries": 1,
                                                 "revoked_tokens": 7}),
    (lambda r, s: [r["totals"][k] for k in ("sections", "revoked_sections", "withdrawn_sections", "authors",
                                            "revoked_authors", "licenses")], [4, 1, 2, 3, 1, 3]),
    (lambda r, s: r["pending"], {"bpe": {"files": 1, "entries": 1, "tokens": 3},
                                 "ws": {"files": 0, "entries": 0, "tokens": 0}}),
    (lambda r, s: (r["unattributed"]["lines"], r["unattributed"]["files"]), (2, 2)),
    (lambda r, s: r["unattributed"]["tokens"]["ws"]["tokens"], 5),
    (lambda r, s: [(u["source"], u["lines"], u["tokens"]["ws"]["tokens"]) for u in r["unknown_sources"]],
     [(UNKNOWN, 1, 5)]),
    (lambda r, s: [(x["license"], x["sections"], x["lines"], x["revoked_lines"], x["files"])
                   for x in r["licenses"]],
     [("MIT", 2, 5, 4, 2), ("CC-BY", 1, 1, 1, 1), ("Apache-2.0", 1, 0, 0, 0)]),
    (lambda r, s: [row(r["licenses"], "license", "MIT")["tokens"][t]["tokens"] for t in ("ws", "bpe")], [30, 7]),
    (lambda r, s: [(x["path"], x["lines"], x["revoked_lines"], x["files"], x["revoked"], x["withdrawn"])
                   for x in r["sections"]],
     [("a.md", 4, 3, 1, False, False), ("b.md", 1, 1, 1, False, True), ("c.md", 1, 1, 1, True, True),
      ("d.md", 0, 0, 0, False, False)]),
    (lambda r, s: [(x["name"], x["sections"], x["lines"], x["revoked"]) for x in r["authors"]],
     [("Ada", 3, 5, False), ("Bob", 1, 1, True), (EVE, 0, 0, False)]),
    (lambda r, s: (row(r["authors"], "id", s["ada"])["tokens"]["ws"]["entries"],
                   row(r["authors"], "id", s["bob"])["tokens"]["ws"]["revoked_tokens"]), (2, 20)),
    (lambda r, s: [(f["file"], f["lines"], f["revoked_lines"], f["unattributed_lines"]) for f in r["files"]],
     [("x.jsonl", 4, 3, 0), ("y.jsonl", 2, 1, 1), ("z.jsonl", 1, 0, 1)]),
    (lambda r, s: [x["path"] for x in r["sections_without_lines"]], ["d.md"]),
    (lambda r, s: [x["name"] for x in r["authors_without_lines"]], [EVE]),
])
def test_figures_of_a_store_with_known_counts(store, pick, expected):
    assert pick(report_json(store), store) == expected


def test_json_shape(store):
    r = report_json(store)
    assert set(r) == {"store", "generated_at", "version", "tokenizers", "totals", "unattributed", "licenses",
                      "authors", "sections", "files", "unknown_sources", "pending", "sections_without_lines",
                      "authors_without_lines"}
    assert r["store"] == vl(store["root"]) and r["tokenizers"] == ["bpe", "ws"]
    figures = {"lines", "revoked_lines", "files", "tokens"}
    assert set(r["licenses"][0]) == {"license", "sections"} | figures
    assert set(r["authors"][0]) == {"id", "name", "email", "registered", "revoked", "sections"} | figures
    assert set(r["sections"][0]) == {"section_hash", "path", "license", "year", "authors", "revoked",
                                     "withdrawn"} | figures


@pytest.mark.parametrize("args, kept", [
    (["--by", "licence"], "licenses"), (["--by", "license"], "licenses"), (["--by", "author"], "authors"),
    (["--by", "section"], "sections"), (["--by", "file"], "files"),
])
def test_by_keeps_one_breakdown(store, args, kept):
    r = report_json(store, *args)
    assert {"licenses", "authors", "sections", "files"} & set(r) == {kept}
    assert r["totals"]["lines"] == 7


def test_one_tokenizer(store):
    r = report_json(store, "--tokenizer", "ws")
    assert r["tokenizers"] == ["ws"] and list(row(r["licenses"], "license", "MIT")["tokens"]) == ["ws"]
    assert r["totals"]["tokens"] == {"ws": {"entries": 3, "tokens": 35, "revoked_entries": 1, "revoked_tokens": 20}}
    assert "unknown tokenizer 'nope'" in run("report", "--tokenizer", "nope", cwd=store["root"], code=1).stderr


@pytest.mark.parametrize("args, error", [
    (("a\0b",), ValueError), ((1,), TypeError), (("x", "ws"), TypeError), (("x", ["a/b"]), RuntimeError),
])
def test_bad_arguments_are_refused(args, error):
    import vl._vl_bulk as bulk
    with pytest.raises(error):
        bulk.report(*args)


def test_tables_on_a_pipe(store):
    out = run("report", "--by", "file", cwd=store["root"]).stdout.splitlines()
    assert "x.jsonl\t4\t3 (75.0%)\t0" in out


def text_of(part):
    """The text of an HTML fragment: tags dropped, references resolved."""
    return html.unescape(re.sub(r"<[^>]*>", "", part))


def cells(page):
    """The cell texts of every table, row by row."""
    return [[[text_of(c) for c in re.findall(r"<t[dh]\b[^>]*>(.*?)</t[dh]>", row, re.S)]
             for row in re.findall(r"<tr\b[^>]*>(.*?)</tr>", table, re.S)]
            for table in re.findall(r"<table\b.*?</table>", page, re.S)]


def test_html_page(store, tmp_path):
    out = tmp_path / "report.html"
    run("report", "--html", str(out), cwd=store["root"])
    page = out.read_text()
    assert "<script>" not in page and "Eve &lt;script&gt;" in page
    assert not re.search(r"""(src|href)=["'](?!#)""", page)  # nothing fetched from elsewhere
    svgs = re.findall(r"<svg\b.*?</svg>", page, re.S)
    # licence mix by lines and by tokens of bpe and ws, top authors, revoked vs active lines and tokens
    assert len(svgs) == 7 and page.count("<svg") == 7
    svg_text = " ".join(text_of(t) for svg in svgs for t in re.findall(r">([^<]+)<", svg))
    for label in ("MIT", "5 (71.4%)", "1 active, 4 revoked (80.0%)", "Ada", "10 active, 20 revoked (66.7%)"):
        assert label in svg_text
    assert vl(store["root"]) in page and "vl 0.1.0" in page
    report = json.loads(run("report", "--json", cwd=store["root"]).stdout)
    expected = tables(report, None)
    parsed = cells(page)
    assert len(parsed) == len(expected)
    for (title, columns, rows), got in zip(expected, parsed):
        if any(columns):
            assert got.pop(0) == [str(c) for c in columns], title
        assert got == [[str(c) for c in r] for r in rows], title
