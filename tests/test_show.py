"""Show queries: the indexed document lines that derive from an author, a
licence or a section, found by scanning the store's shard files or, for an
author, through .vl/index.bin when it exists."""

import hashlib
import json
import os
import random
from types import SimpleNamespace

import pytest

import vl._vl_native as native
from binindex import write_index

KEYS = ["file", "line_hash", "sources"]
HEX = set("0123456789abcdef")
PATHS = pytest.mark.parametrize("indexed", [False, True], ids=["scan", "indexed"])


def h(n):
    """A made-up 64-digit hash."""
    return hashlib.sha256(repr(n).encode()).hexdigest()


def rec(line_hash, file, sources):
    return {"file": file, "line_hash": line_hash, "sources": sources}


def srt(records):
    return sorted(records, key=lambda r: json.dumps(r))


def layer_dir(root, layer):
    return os.path.join(root, ".vl", layer)


def append_raw(root, layer, name, *lines, eol="\n"):
    """Appends lines exactly as given, as another writer of the store would."""
    with open(os.path.join(layer_dir(root, layer), name), "ab") as f:
        for line in lines:
            f.write(line.encode("utf-8") + eol.encode())


def rewrite_layer(root, layer, edit):
    d = layer_dir(root, layer)
    for name in os.listdir(d):
        path = os.path.join(d, name)
        if os.path.isfile(path):
            with open(path, "rb") as f:
                data = f.read()
            with open(path, "wb") as f:
                f.write(edit(data))


def u_escape(text):
    """`text` with every character written as \\u escapes (UTF-16 units)."""
    units = text.encode("utf-16-be")
    return "".join("\\u%02x%02x" % (units[i], units[i + 1]) for i in range(0, len(units), 2))


def index_from_store(root, extra=None):
    """Writes .vl/index.bin naming, for each author id, the sections shards
    holding sections it wrote or contributed to (more than needed, so that the
    query has to look at the records), and for each source the document-index
    shards holding lines that cite it; `extra` adds shard bytes to keys."""
    refs = {}
    for layer, fields in (("sections", ("authors", "contributors")), ("document-index", ("sources",))):
        for name in os.listdir(layer_dir(root, layer)):
            path = os.path.join(layer_dir(root, layer), name)
            if len(name) != 2 or not os.path.isfile(path):
                continue
            for line in open(path, encoding="utf-8").read().splitlines():
                try:
                    obj = json.loads(line)
                except ValueError:
                    continue
                keys = [k for f in fields for k in obj.get(f, [])] if isinstance(obj, dict) else []
                for key in keys:
                    if isinstance(key, str) and len(key) == 64 and set(key) <= HEX:
                        refs.setdefault(key, set()).add(int(name, 16))
    for key, shards in (extra or {}).items():
        refs.setdefault(key, set()).update(shards)
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
    return SimpleNamespace(root=store, ann=ann, ann2=ann2, bob=bob, s1=s1, s2=s2, s3=s3, d=d)


# -- by author -----------------------------------------------------------------

@PATHS
def test_author_lines_come_from_every_id_of_the_name(lib, indexed):
    # d2 cites two of Ann's sections (under both of her ids) and comes once;
    # d3 cites a section where Ann is only a contributor and does not come.
    assert srt(by_author(lib.root, "Ann", indexed)) == srt([lib.d["d1"], lib.d["d2"]])
    assert srt(by_author(lib.root, "Bob", indexed)) == srt([lib.d["d2"], lib.d["d3"]])


@PATHS
@pytest.mark.parametrize("name", ["Nobody", "ann", "Ann ", ""])
def test_unresolved_author_gives_nothing(lib, indexed, name):
    assert by_author(lib.root, name, indexed) == []


@PATHS
def test_section_lines_from_other_writers(lib, indexed):
    root, ann = lib.root, lib.ann
    forms = {  # section hash -> a section line as another writer may store it
        h("esc"): '{"section_hash":"%s","path":"p","authors":["%s"],"contributors":[],'
                  '"license":"L","year":"1"}' % (h("esc"), u_escape(ann[:3]) + ann[3:]),
        h("spaced"): '{ "year" : "1" , "license" : "L" , "contributors" : [ ] , "path" : "p" ,'
                     ' "authors" : [ "x" , "%s" ] , "section_hash" : "%s" }' % (ann, h("spaced")),
        h("in-path"): '{"section_hash":"%s","path":"%s","authors":[],"contributors":["%s"],'
                      '"license":"L","year":"1"}' % (h("in-path"), ann, ann),
        h("twice"): '{"section_hash":"%s","path":"p","authors":["%s"],"authors":["%s"],'
                    '"contributors":[],"license":"L","year":"1"}' % (h("twice"), ann, ann),
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
            os.symlink(os.path.join(lib.root, "nowhere"), os.path.join(layer_dir(lib.root, layer), ghost))
    index_from_store(lib.root, extra={lib.ann: {int(ghost, 16)}, lib.s1: {int(ghost, 16)}})
    assert srt(native.show_by_author(lib.root, "Ann")) == srt([lib.d["d1"], lib.d["d2"]])


@pytest.mark.parametrize("layer", ["sections", "document-index"])
def test_unreadable_shard_named_by_index_fails_the_query(lib, layer):
    name = (lib.s1 if layer == "sections" else lib.d["d1"]["line_hash"])[:2]
    index_from_store(lib.root)
    shard = os.path.join(layer_dir(lib.root, layer), name)
    os.rename(shard, shard + ".moved")
    os.mkdir(shard)
    with pytest.raises(RuntimeError, match=r"os error \d+"):
        native.show_by_author(lib.root, "Ann")
    # The scan skips what is not a regular file and reads any file that is.
    os.remove(os.path.join(lib.root, ".vl", "index.bin"))
    assert srt(native.show_by_author(lib.root, "Ann")) == srt([lib.d["d1"], lib.d["d2"]])


@pytest.mark.parametrize("content, message", [
    (b"", "binary index file too small: 0 bytes"),
    (b"VLIDXF02" + bytes(2063), "binary index file too small: 2071 bytes"),
    (b"VLIDXF01" + bytes(2064), "binary index format VLIDXF01 is no longer supported; "
                                "run `vl index build` to rebuild"),
    (b"VLIDXF03" + bytes(2064), "binary index magic mismatch"),
    (b"vlidxf02" + bytes(4000), "binary index magic mismatch"),
], ids=["empty", "one-byte-short", "old-format", "other-magic", "lower-case-magic"])
def test_unusable_index_fails_the_author_query(lib, content, message):
    with open(os.path.join(lib.root, ".vl", "index.bin"), "wb") as f:
        f.write(content)
    for name in ("Ann", "Nobody"):
        with pytest.raises(RuntimeError) as err:
            native.show_by_author(lib.root, name)
        assert str(err.value) == message
    # Only the author query reads the index.
    assert native.show_by_section(lib.root, lib.s3) == [lib.d["d3"]]
    assert srt(native.show_by_license(lib.root, "Apache-2.0")) == [lib.d["d2"]]


def test_indexed_and_scanning_paths_agree(store):
    rnd = random.Random(5)
    ids = {name: [native.author_add(name, "%s%d@x" % (name, k), store) for k in range(1 + i % 2)]
           for i, name in enumerate(["Ann", "Bob", "Cy", "Di"])}
    everyone = [a for group in ids.values() for a in group]
    sections = {}
    for k in range(40):
        authors = rnd.sample(everyone, rnd.randint(0, 3))
        sec = native.register_section("p%d" % k, authors, rnd.sample(everyone, 2),
                                      rnd.choice(["MIT", "GPL"]), "2024", store)
        sections[sec] = set(authors)
    docs = []
    for k in range(300):
        doc = rec(h(k % 280), "f%d" % (k % 7), rnd.sample(sorted(sections), rnd.randint(0, 3)))
        native.index_document(store, doc["line_hash"], doc["file"], doc["sources"])
        docs.append(doc)
    for name, group in ids.items():
        wanted = {s for s, authors in sections.items() if authors & set(group)}
        expected = srt(d for d in docs if wanted & set(d["sources"]))
        assert srt(native.show_by_author(store, name)) == expected
        index_from_store(store)
        assert srt(native.show_by_author(store, name)) == expected
        os.remove(os.path.join(store, ".vl", "index.bin"))


# -- by licence ----------------------------------------------------------------

def test_licence_matches_exactly(lib):
    assert srt(native.show_by_license(lib.root, "MIT")) == srt(
        [lib.d["d1"], lib.d["d2"], lib.d["d3"]])
    assert native.show_by_license(lib.root, "Apache-2.0") == [lib.d["d2"]]
    for other in ("mit", "Mit", "MIT ", "MI", "apache-2.0", "a.txt", "2024", ""):
        assert native.show_by_license(lib.root, other) == []


@pytest.mark.parametrize("licence", ['Lic "Q"', "A\\B", "Lizenz-Ü", "Licence 😀", "Plain-1.0"])
def test_licence_written_raw_or_escaped(store, licence):
    # Each licence, and the same text in the other letter case, stored once as
    # the store writes it and once with every character \u-escaped.
    for text, tag in ((licence, "same"), (licence.swapcase(), "case")):
        raw = native.register_section("raw", [], [], text, "2024", store)
        esc = h((text, "esc"))
        append_raw(store, "sections", esc[:2],
                   '{"section_hash":"%s","path":"esc","authors":[],"contributors":[],'
                   '"license":"%s","year":"2024"}' % (esc, u_escape(text)))
        native.index_document(store, h((text, 1)), tag + "-raw", [raw])
        native.index_document(store, h((text, 2)), tag + "-esc", [esc])
    native.index_document(store, h(4), "in-path", [native.register_section(
        licence, [], [], "Other", "2024", store)])
    found = native.show_by_license(store, licence)
    assert sorted(r["file"] for r in found) == ["same-esc", "same-raw"]


def test_licence_of_sections_with_made_up_hashes(store):
    append_raw(store, "sections", "zz", '{"section_hash":"custom-1","path":"p","authors":[],'
               '"contributors":[],"license":"CC0","year":"1"}')
    real = native.register_section("q", [], [], "CC0", "1", store)
    native.index_document(store, h(1), "custom.jsonl", ["custom-1"])
    native.index_document(store, h(2), "real.jsonl", [real])
    assert sorted(r["file"] for r in native.show_by_license(store, "CC0")) == [
        "custom.jsonl", "real.jsonl"]


# -- by section ----------------------------------------------------------------

def test_section_query_basics(lib):
    assert native.show_by_section(lib.root, h("uncited")) == []
    assert native.show_by_section(lib.root, "other") == [lib.d["d4"]]
    twice = rec(h("twice"), "t.jsonl", [lib.s3, "x", lib.s3])
    native.index_document(lib.root, twice["line_hash"], twice["file"], twice["sources"])
    assert srt(native.show_by_section(lib.root, lib.s3)) == srt([lib.d["d3"], twice])


def test_document_lines_from_other_writers(store):
    s, other = h("s"), h("t")
    lines = [  # (file label, matches, line)
        ("esc-one", True, '{"file":"esc-one","line_hash":"%s","sources":["\\u%04x%s"]}'
         % (h(1), ord(s[0]), s[1:])),
        ("esc-all", True, '{"sources":["%s"],"line_hash":"%s","file":"esc-all"}' % (u_escape(s), h(2))),
        ("spaced", True, '{ "file" : "spaced" ,\t"line_hash" : "%s" , "sources" : [ "%s" ] }' % (h(3), s)),
        ("reordered", True, '{"sources":["%s","%s"],"revoked":true,"line_hash":"%s","file":"reordered"}'
         % (other, s, h(4))),
        ("in-file", False, '{"file":"%s","line_hash":"%s","sources":["%s"]}' % (s, h(5), other)),
        ("as-hash", False, '{"file":"as-hash","line_hash":"%s","sources":[]}' % s),
        ("extra-key", False, '{"file":"extra-key","line_hash":"%s","sources":["%s"],"from":["%s"]}'
         % (h(6), other, s)),
        ("upper", False, '{"file":"upper","line_hash":"%s","sources":["%s"]}' % (h(7), s.upper())),
        ("upper-esc", False, '{"file":"upper-esc","line_hash":"%s","sources":["%s"]}'
         % (h(13), u_escape(s.upper()))),
        ("longer", False, '{"file":"longer","line_hash":"%s","sources":["%s0"]}' % (h(8), s)),
        ("nested", False, '{"file":"nested","line_hash":"%s","sources":[["%s"]]}' % (h(9), s)),
        ("dup", False, '{"file":"dup","line_hash":"%s","sources":["%s"],"sources":["%s"]}' % (h(10), s, s)),
        ("no-file", False, '{"line_hash":"%s","sources":["%s"]}' % (h(11), s)),
        ("broken", False, '{"file":"broken","line_hash":"%s","sources":["%s"]' % (h(12), s)),
    ]
    append_raw(store, "document-index", "ab", *(line for _, _, line in lines))
    assert [r["file"] for r in native.show_by_section(store, s)] == [
        name for name, matches, _ in lines if matches]


def test_scan_results_follow_the_listing_order_of_shard_files(store):
    s = h("s")
    d = layer_dir(store, "document-index")
    os.mkdir(os.path.join(d, "revoked"))
    with open(os.path.join(d, "revoked", "all"), "w") as f:
        f.write(json.dumps(rec(h("sub"), "sub", [s])) + "\n")
    names = ["%02x" % (37 * k % 256) for k in range(24)] + ["extra.jsonl"]
    for k, name in enumerate(names):
        append_raw(store, "document-index", name,
                   json.dumps(rec(h((k, 0)), name + "-first", [s])),
                   json.dumps(rec(h((k, 1)), name + "-skip", [h("t")])),
                   json.dumps(rec(h((k, 2)), name + "-second", ["y", s])))
    expected = [name + part for name in os.listdir(d) if os.path.isfile(os.path.join(d, name))
                for part in ("-first", "-second")]
    assert [r["file"] for r in native.show_by_section(store, s)] == expected


# -- records, revocation and line endings --------------------------------------

@PATHS
def test_revoked_flags_are_ignored_and_not_returned(lib, indexed):
    rewrite_layer(lib.root, "authors", lambda b: b.replace(b'"revoked":false', b'"revoked":true'))
    rewrite_layer(lib.root, "document-index", lambda b: b.replace(b'"revoked":false', b'"revoked":true'))
    rewrite_layer(lib.root, "sections", lambda b: b.replace(b'{"section_hash"', b'{"revoked":true,"section_hash"'))
    results = [by_author(lib.root, "Ann", indexed), native.show_by_license(lib.root, "Apache-2.0"),
               native.show_by_section(lib.root, lib.s3)]
    assert srt(results[0]) == srt([lib.d["d1"], lib.d["d2"]])
    assert results[1:] == [[lib.d["d2"]], [lib.d["d3"]]]
    assert all(list(r) == KEYS for found in results for r in found)


@PATHS
def test_crlf_shards_parse_like_lf(lib, indexed):
    def queries():
        return [srt(by_author(lib.root, "Ann", indexed)), srt(native.show_by_license(lib.root, "MIT")),
                native.show_by_section(lib.root, lib.s2)]
    before = queries()
    for layer in ("authors", "sections", "document-index"):
        rewrite_layer(lib.root, layer, lambda b: b.replace(b"\n", b"\r\n"))
    assert queries() == before
    assert before[0] and before[1] and before[2]


def test_missing_layers_give_nothing(lib):
    os.rename(layer_dir(lib.root, "document-index"), os.path.join(lib.root, "docs-away"))
    assert native.show_by_section(lib.root, lib.s1) == []
    assert native.show_by_license(lib.root, "MIT") == []
    assert native.show_by_author(lib.root, "Ann") == []
    os.rename(os.path.join(lib.root, "docs-away"), layer_dir(lib.root, "document-index"))
    os.rename(layer_dir(lib.root, "sections"), os.path.join(lib.root, "sections-away"))
    assert native.show_by_license(lib.root, "MIT") == []
    assert native.show_by_author(lib.root, "Ann") == []
    assert srt(native.show_by_section(lib.root, lib.s1)) == srt([lib.d["d1"], lib.d["d2"]])
