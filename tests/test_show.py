"""Show queries: the indexed document lines that derive from an author, a
licence or a section, found by scanning the store's shard files or, for an
author, through .vl/index.bin when it exists."""

import collections
import json
import os
import pathlib
import random
import re
from types import SimpleNamespace

import pytest

import vl._vl_native as native
from binindex import index_path, write_index
from tokens import h, vl, write

PATHS = pytest.mark.parametrize("indexed", [False, True], ids=["scan", "indexed"])


def rec(line_hash, file, sources):
    return {"file": file, "line_hash": line_hash, "sources": sources}


def srt(records):
    return sorted(records, key=json.dumps)


def append_raw(root, layer, name, *lines, eol="\n"):
    """Appends lines exactly as given, as another writer of the store would."""
    write(vl(root, layer, name), "".join(line + eol for line in lines), "a")


def rewrite_layer(root, layer, old, new):
    for entry in os.scandir(vl(root, layer)):
        if entry.is_file():
            path = pathlib.Path(entry.path)
            path.write_bytes(path.read_bytes().replace(old, new))


def u_escape(text):
    """`text` with every character written as \\u escapes (UTF-16 units)."""
    units = text.encode("utf-16-be")
    return "".join("\\u" + units[i:i + 2].hex() for i in range(0, len(units), 2))


def section_line(sec, authors="", contributors="", path="p", licence="L"):
    return ('{"section_hash":"%s","path":"%s","authors":[%s],"contributors":[%s],"license":"%s",'
            '"year":"1"}' % (sec, path, authors, contributors, licence))


def index_from_store(root, extra=None):
    """Writes .vl/index.bin naming, for every 64-digit hash in a record of a
    sections or document-index shard, that shard (more than a query needs, so
    it has to read the records); `extra` adds shard bytes to keys."""
    refs = collections.defaultdict(set)
    for layer in ("sections", "document-index"):
        for entry in (e for e in os.scandir(vl(root, layer)) if len(e.name) == 2 and e.is_file()):
            for line in pathlib.Path(entry.path).read_text().splitlines():
                try:
                    for key in re.findall("[0-9a-f]{64}", json.dumps(json.loads(line))):
                        refs[key].add(int(entry.name, 16))
                except ValueError:
                    pass
    for key, shards in (extra or {}).items():
        refs[key] |= shards
    write_index(root, {k: [("shard", s) for s in sorted(v)] for k, v in refs.items()})


def by_author(root, name, indexed):
    if indexed:
        index_from_store(root)
    return native.show_by_author(root, name)


@pytest.fixture
def lib(store):
    """Ann (two e-mails) and Bob, three sections, four tracked lines."""
    ann = native.author_add("Ann", "ann@a.org", store)
    ann2 = native.author_add("Ann", "ann@b.org", store)
    bob = native.author_add("Bob", "bob@b.org", store)
    s1 = native.register_section("a.txt", [ann], [], "MIT", "2024", store)
    s2 = native.register_section("b.txt", [bob, ann2], ["carol"], "Apache-2.0", "2023", store)
    s3 = native.register_section("c.txt", [bob], [ann], "MIT", "2022", store)  # Ann only contributes
    d = {}
    for key, file, sources in (("d1", "train.jsonl", [s1]), ("d2", "train.jsonl", [s2, s1]),
                               ("d3", "dev.jsonl", [s3]), ("d4", "misc.jsonl", ["other"])):
        d[key] = rec(native.track({"t": key}, file, sources, store), file, sources)
    return SimpleNamespace(root=store, ann=ann, s1=s1, s2=s2, s3=s3, d=d,
                           ann_lines=srt([d["d1"], d["d2"]]))


@PATHS
@pytest.mark.parametrize("name, lines", [
    # d2 cites two of Ann's sections (under both of her ids) and comes once;
    # d3 cites a section where Ann is only a contributor and does not come.
    ("Ann", ["d1", "d2"]),
    ("Bob", ["d2", "d3"]),
    ("Nobody", []), ("ann", []), ("Ann ", []), ("", []),
])
def test_author_lines_come_from_every_id_of_the_name(lib, indexed, name, lines):
    assert srt(by_author(lib.root, name, indexed)) == srt(lib.d[k] for k in lines)


@PATHS
def test_section_lines_from_other_writers(lib, indexed):
    root, ann = lib.root, lib.ann
    forms = {  # section hash -> a section line as another writer may store it
        h("esc"): section_line(h("esc"), '"%s"' % (u_escape(ann[:3]) + ann[3:])),
        h("spaced"): '{ "year" : "1" , "license" : "L" , "contributors" : [ ] , "path" : "p" ,'
                     ' "authors" : [ "x" , "%s" ] , "section_hash" : "%s" }' % (ann, h("spaced")),
        h("in-path"): section_line(h("in-path"), "", '"%s"' % ann, path=ann),
        h("twice"): section_line(h("twice"), '"%s"],"authors":["%s"' % (ann, ann)),
    }
    for sec, line in forms.items():
        append_raw(root, "sections", sec[:2], line, eol="\r\n")
        native.index_document(root, h(("doc", sec)), sec[:3], [sec])
    found = [r["line_hash"] for r in by_author(root, "Ann", indexed)]
    assert sorted(found) == sorted([lib.d["d1"]["line_hash"], lib.d["d2"]["line_hash"],
                                    h(("doc", h("esc"))), h(("doc", h("spaced")))])


def test_indexed_query_reads_only_the_shards_the_index_names(lib):
    d1, d2 = lib.d["d1"], lib.d["d2"]
    assert d1["line_hash"][:2] != d2["line_hash"][:2]
    write_index(lib.root, {lib.ann: [("token", "gpt2", 1, 0, 10)]})
    assert native.show_by_author(lib.root, "Ann") == []
    write_index(lib.root, {lib.ann: [("token", "gpt2", 1, 0, 10), ("shard", int(lib.s1[:2], 16))],
                           lib.s1: [("shard", int(d1["line_hash"][:2], 16))]})
    assert native.show_by_author(lib.root, "Ann") == [d1]


@pytest.mark.parametrize("missing", ["absent", "dangling-link"])
def test_shard_named_by_index_but_missing_is_skipped(lib, missing):
    used = {lib.s1[:2], lib.s2[:2], lib.s3[:2]} | {r["line_hash"][:2] for r in lib.d.values()}
    ghost = next(n for n in ("%02x" % b for b in range(256)) if n not in used)
    if missing == "dangling-link":
        for layer in ("sections", "document-index"):
            os.symlink(os.path.join(lib.root, "nowhere"), vl(lib.root, layer, ghost))
    index_from_store(lib.root, extra={lib.ann: {int(ghost, 16)}, lib.s1: {int(ghost, 16)}})
    assert srt(native.show_by_author(lib.root, "Ann")) == lib.ann_lines


@pytest.mark.parametrize("layer", ["sections", "document-index"])
def test_unreadable_shard_named_by_index_fails_the_query(lib, layer):
    name = (lib.s1 if layer == "sections" else lib.d["d1"]["line_hash"])[:2]
    shard = vl(lib.root, layer, name)
    index_from_store(lib.root)
    os.rename(shard, shard + ".moved")
    os.mkdir(shard)
    with pytest.raises(RuntimeError, match=r"os error \d+"):
        native.show_by_author(lib.root, "Ann")
    # The scan skips what is not a regular file and reads any file that is.
    os.remove(index_path(lib.root))
    assert srt(native.show_by_author(lib.root, "Ann")) == lib.ann_lines


@pytest.mark.parametrize("content, message", [
    (b"", "binary index file too small: 0 bytes"),
    (b"VLIDXF01" + bytes(2064), "binary index format VLIDXF01 is no longer supported; "
                                "run `vl index build` to rebuild"),
    (b"vlidxf02" + bytes(4000), "binary index magic mismatch"),
])
def test_unusable_index_fails_the_author_query(lib, content, message):
    write(index_path(lib.root), content)
    for name in ("Ann", "Nobody"):
        with pytest.raises(RuntimeError) as err:
            native.show_by_author(lib.root, name)
        assert str(err.value) == message
    # Only the author query reads the index.
    assert native.show_by_section(lib.root, lib.s3) == [lib.d["d3"]]
    assert native.show_by_license(lib.root, "Apache-2.0") == [lib.d["d2"]]


def test_indexed_and_scanning_paths_agree(store):
    rnd = random.Random(5)
    ids = {name: [native.author_add(name, "%s%d@x" % (name, k), store) for k in range(1 + i % 2)]
           for i, name in enumerate(["Ann", "Bob", "Cy", "Di"])}
    everyone = sum(ids.values(), [])
    sections = {}
    for k in range(40):
        authors = rnd.sample(everyone, rnd.randint(0, 3))
        sections[native.register_section("p%d" % k, authors, rnd.sample(everyone, 2),
                                         rnd.choice(["MIT", "GPL"]), "2024", store)] = set(authors)
    docs = [rec(h(k % 280), "f%d" % (k % 7), rnd.sample(sorted(sections), rnd.randint(0, 3)))
            for k in range(300)]
    for doc in docs:
        native.index_document(store, doc["line_hash"], doc["file"], doc["sources"])
    for name, group in ids.items():
        wanted = {s for s, authors in sections.items() if authors & set(group)}
        expected = srt(d for d in docs if wanted & set(d["sources"]))
        assert srt(by_author(store, name, False)) == expected == srt(by_author(store, name, True))
        os.remove(index_path(store))


def test_licence_and_section_match_exactly_also_for_made_up_section_hashes(lib):
    append_raw(lib.root, "sections", "zz", section_line("custom-1", licence="MIT"))
    custom = rec(h("custom"), "custom.jsonl", ["custom-1"])
    native.index_document(lib.root, custom["line_hash"], custom["file"], custom["sources"])
    mit = [lib.d["d1"], lib.d["d2"], lib.d["d3"], custom]
    assert srt(native.show_by_license(lib.root, "MIT")) == srt(mit)
    assert native.show_by_license(lib.root, "Apache-2.0") == [lib.d["d2"]]
    for other in ("mit", "Mit", "MIT ", "MI", "apache-2.0", "a.txt", "2024", ""):
        assert native.show_by_license(lib.root, other) == []
    # A section query matches a source exactly, once per line that cites it.
    assert native.show_by_section(lib.root, h("uncited")) == []
    assert native.show_by_section(lib.root, "other") == [lib.d["d4"]]
    twice = rec(h("twice"), "t.jsonl", [lib.s3, "x", lib.s3])
    native.index_document(lib.root, twice["line_hash"], twice["file"], twice["sources"])
    assert srt(native.show_by_section(lib.root, lib.s3)) == srt([lib.d["d3"], twice])


@pytest.mark.parametrize("licence", ['Lic "Q"', "A\\B", "Lizenz-Ü", "Licence 😀", "Plain-1.0"])
def test_licence_written_raw_or_escaped(store, licence):
    # Each licence, and the same text in the other letter case, stored once as
    # the store writes it and once with every character \u-escaped.
    for text, tag in ((licence, "same"), (licence.swapcase(), "case")):
        raw = native.register_section("raw", [], [], text, "2024", store)
        esc = h((text, "esc"))
        append_raw(store, "sections", esc[:2], section_line(esc, licence=u_escape(text)))
        native.index_document(store, h((text, 1)), tag + "-raw", [raw])
        native.index_document(store, h((text, 2)), tag + "-esc", [esc])
    in_path = native.register_section(licence, [], [], "Other", "2024", store)
    native.index_document(store, h(4), "in-path", [in_path])
    found = native.show_by_license(store, licence)
    assert sorted(r["file"] for r in found) == ["same-esc", "same-raw"]


def test_document_lines_from_other_writers(store):
    s, other = h("s"), h("t")
    def doc(name, sources, rest="}"):
        return '{"file":"%s","line_hash":"%s","sources":%s%s' % (name, h(name), sources, rest)
    def stored(name, sources, rest="}"):  # the layout the store writes
        return ('{"file":"%s","line_hash":"%s","revoked":false,"source_type":"track","sources":%s%s'
                % (name, h(name), sources, rest))
    lines = [  # (file label, matches, line)
        ("stored", True, stored("stored", '["%s","%s"]' % (other, s))),
        ("stored-many", True, stored("stored-many", "[%s]" % ",".join(['"%s"' % other] * 20 + ['"%s"' % s]))),
        ("stored-\u00e9", True, stored("stored-\u00e9", '["%s"]' % s)),
        ("stored-dup", False, stored("stored-dup", '["%s"]' % other, ',"sources":["%s"]}' % s)),
        ("stored-cut", False, stored("stored-cut", '["%s"]' % s, "")),
        ("stored-tail", False, stored("stored-tail", '["%s"]' % s, "} x")),
        ("stored-\x01", False, stored("stored-\x01", '["%s"]' % s)),
        ("stored-long-name-\x7f-\u00e9", True, stored("stored-long-name-\x7f-\u00e9", '["%s"]' % s)),
        ("stored-long-name-\x1f", False, stored("stored-long-name-\x1f", '["%s"]' % s)),
        ("esc-one", True, doc("esc-one", '["\\u%04x%s"]' % (ord(s[0]), s[1:]))),
        ("esc-all", True, '{"sources":["%s"],"line_hash":"%s","file":"esc-all"}' % (u_escape(s), h(2))),
        ("spaced", True, '{ "file" : "spaced" ,\t"line_hash" : "%s" , "sources" : [ "%s" ] }' % (h(3), s)),
        ("reordered", True, '{"sources":["%s","%s"],"revoked":true,"line_hash":"%s","file":"reordered"}'
         % (other, s, h(4))),
        ("in-file", False, '{"file":"%s","line_hash":"%s","sources":["%s"]}' % (s, h(5), other)),
        ("as-hash", False, '{"file":"as-hash","line_hash":"%s","sources":[]}' % s),
        ("extra-key", False, doc("extra-key", '["%s"]' % other, ',"from":["%s"]}' % s)),
        ("upper", False, doc("upper", '["%s"]' % s.upper())),
        ("upper-esc", False, doc("upper-esc", '["%s"]' % u_escape(s.upper()))),
        ("longer", False, doc("longer", '["%s0"]' % s)),
        ("nested", False, doc("nested", '[["%s"]]' % s)),
        ("dup", False, doc("dup", '["%s"]' % s, ',"sources":["%s"]}' % s)),
        ("no-file", False, '{"line_hash":"%s","sources":["%s"]}' % (h(11), s)),
        ("broken", False, doc("broken", '["%s"]' % s, "")),
    ]
    append_raw(store, "document-index", "ab", *(line for _, _, line in lines))
    assert [r["file"] for r in native.show_by_section(store, s)] == [
        name for name, matches, _ in lines if matches]


def test_scan_results_follow_the_listing_order_of_shard_files(store):
    s, d = h("s"), vl(store, "document-index")
    append_raw(store, "document-index", "revoked/all", json.dumps(rec(h("sub"), "sub", [s])))
    for k, name in enumerate(["%02x" % (37 * k % 256) for k in range(24)] + ["extra.jsonl"]):
        append_raw(store, "document-index", name, json.dumps(rec(h((k, 0)), name + "-first", [s])),
                   json.dumps(rec(h((k, 1)), name + "-skip", [h("t")])),
                   json.dumps(rec(h((k, 2)), name + "-second", ["y", s])))
    expected = [e.name + part for e in os.scandir(d) if e.is_file() for part in ("-first", "-second")]
    assert [r["file"] for r in native.show_by_section(store, s)] == expected


@PATHS
def test_revoked_flags_and_crlf_line_ends_change_no_result(lib, indexed):
    def queries():
        return [srt(by_author(lib.root, "Ann", indexed)), native.show_by_license(lib.root, "Apache-2.0"),
                srt(native.show_by_license(lib.root, "MIT")), native.show_by_section(lib.root, lib.s3)]
    before = queries()
    assert before == [lib.ann_lines, [lib.d["d2"]], srt(lib.d[k] for k in ("d1", "d2", "d3")), [lib.d["d3"]]]
    rewrite_layer(lib.root, "authors", b'"revoked":false', b'"revoked":true')
    rewrite_layer(lib.root, "document-index", b'"revoked":false', b'"revoked":true')
    rewrite_layer(lib.root, "sections", b'{"section_hash"', b'{"revoked":true,"section_hash"')
    for layer in ("authors", "sections", "document-index"):
        rewrite_layer(lib.root, layer, b"\n", b"\r\n")
    after = queries()
    assert after == before
    assert all(list(r) == ["file", "line_hash", "sources"] for found in after for r in found)


@pytest.mark.parametrize("layer", ["document-index", "sections"])
def test_missing_layers_give_nothing(lib, layer):
    os.rename(vl(lib.root, layer), os.path.join(lib.root, "away"))
    assert native.show_by_license(lib.root, "MIT") == native.show_by_author(lib.root, "Ann") == []
    by_section = [] if layer == "document-index" else lib.ann_lines
    assert srt(native.show_by_section(lib.root, lib.s1)) == by_section
