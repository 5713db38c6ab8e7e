"""The index build: the `index` layer, .vl/index.bin with shard and token-line
references (compared byte for byte with what binindex.py writes), the token
binary indexes and the line-offset blocks."""

import json
import os
import struct

import vl._vl_native as native
from binindex import encode_index
from tokens import bin_path, line, read, vl, write, write_merged

ZERO = {"authors": 0, "sections": 0, "total": 0, "token_index_entries": 0}


def shard(key):
    return ("shard", int(key[:2], 16))


def index_bytes(root):
    return read(vl(root, "index.bin"))


def layer(root):
    return {name: [json.loads(x) for x in read(vl(root, "index", name)).splitlines()]
            for name in sorted(os.listdir(vl(root, "index")))}


def section(root, authors, path="a.md"):
    return native.register_section(path, authors, [], "MIT", "2024", root)


def test_empty_store(store):
    assert native.build_index(store) == ZERO
    assert list(native.build_index(store)) == list(ZERO)
    assert os.listdir(vl(store, "index")) == []
    assert index_bytes(store) == encode_index({})


def test_layer_binary_index_token_lines_and_blocks(store):
    aid = native.author_add("Ada", "ada@example.org", store)
    s1, s2 = section(store, [aid, "Not A Hash"]), section(store, [aid], "b.md")
    lh = native.track({"x": 1}, "train.jsonl", [s1], store)
    uncited = section(store, [], "c.md")
    write_merged(store, {"10": [line(2, [s1])], "3": [line(1, [s1, s1]), "junk", line(0, [])],
                         "notes.txt": [line(9, [s1])]})
    write(os.path.join(store, "train.jsonl"), "a\nbb\n")
    os.mkdir(os.path.join(store, "dir.jsonl"))
    write(vl(store, "index", "ab.tmp"), "")

    counts = native.build_index(store)
    assert counts == {"authors": 2, "sections": 3, "total": 5, "token_index_entries": 3}
    records = [r for recs in layer(store).values() for r in recs]
    assert sorted(records, key=lambda r: r["id"]) == sorted([
        {"id": aid, "refs": sorted({s1[:2], s2[:2]})},
        {"id": "Not A Hash", "refs": [s1[:2]]},
        {"id": s1, "refs": [lh[:2]]}, {"id": s2, "refs": []}, {"id": uncited, "refs": []},
    ], key=lambda r: r["id"])
    assert "ab.tmp" not in os.listdir(vl(store, "index"))

    first = len(line(1, [s1, s1]))
    entries = {aid: sorted({shard(s1), shard(s2)}), s2: [], uncited: [],
               s1: [shard(lh), ("token", "t", 3, 0, first), ("token", "t", 3, 0, first),
                    ("token", "t", 10, 0, len(line(2, [s1])))]}
    # "Not A Hash" has no key; train.jsonl ("a\nbb\n") gets a line-offset block.
    assert index_bytes(store) == encode_index(entries) + struct.pack("<3I", 2, 0, 2)
    assert os.path.exists(bin_path(store))


def test_ids_differing_in_case_become_one_entry(store):
    """The same author id in lower and in upper case gives two `index`
    records; the binary index holds one key with both records' shards, so
    the indexed author query finds every section."""
    aid = native.author_add("Ada", "ada@example.org", store)
    secs = [section(store, [aid if i % 2 else aid.upper()], "%d.md" % i) for i in range(12)]
    docs = [native.track({"n": i}, "d.jsonl", [s], store) for i, s in enumerate(secs)]
    native.build_index(store)
    assert sum(len(recs) for recs in layer(store).values()) == 14
    entries = {aid: sorted({shard(s) for s in secs}), **{s: [shard(d)] for s, d in zip(secs, docs)}}
    assert index_bytes(store) == encode_index(entries)
    found = native.show_by_author(store, "Ada")
    assert sorted(d["line_hash"] for d in found) == sorted(d for i, d in enumerate(docs) if i % 2)


def test_source_cited_by_100000_token_lines(store):
    aid = native.author_add("Ada", "ada@example.org", store)
    sec = section(store, [aid])
    lh = native.track({"x": 1}, "d.jsonl", [sec], store)
    write_merged(store, {"001": [line(1, [sec])] * 100000})
    assert native.build_index(store)["token_index_entries"] == 100000
    # Every shard reference, then as many token lines (13 bytes each) as the area holds.
    n = len(line(1, [sec]))
    refs = [shard(lh)] + [("token", "t", 1, k * (n + 1), n) for k in range((65535 - 2) // 13)]
    assert index_bytes(store) == encode_index({aid: [shard(sec)], sec: refs})
    # The token binary index cannot list 100000 entries for one source.
    assert not os.path.exists(bin_path(store))
    assert native.generate_forget_set(store, "t") == bytes(12500)


A = "ab" * 32
TRICKY = [
    '{"revoked":true,"sources":["%s"],"token_count":1,"tokenizer":"t"}' % A,      # the written form
    '{"token_count":2,"sources":["%s"],"tokenizer":"t","revoked":true}' % A,      # declaration order
    '{"revoked":true, "sources":["%s"],"token_count":3,"tokenizer":"t"}' % A,     # white space
    '{"revoked":true,"sources":["%s"],"token_count":4,"tokenizer":"t\\u0074"}' % A,  # an escape
    '{"revoked":true,"sources":["%s"],"token_count":5,"tokenizer":"t","revoked":false}' % A,  # repeated key
    '{"revoked":true,"sources":["%s"],"token_count":06,"tokenizer":"t"}' % A,     # leading zero: no JSON
    '{"revoked":true,"sources":["%s"],"token_count":18446744073709551616,"tokenizer":"t"}' % A,  # > 64 bits
    '{"revoked":true,"sources":["%s"],"token_count":-1,"tokenizer":"t"}' % A,
    '{"revoked":true,"sources":["%s"],"token_count":1.0,"tokenizer":"t"}' % A,
    '{"revoked":true,"sources":["%s",1],"token_count":1,"tokenizer":"t"}' % A,     # counted, no entry
    '{"revoked":true,"sources":[["%s"]],"token_count":1,"tokenizer":"t"}' % A,
    '{"revoked":true,"sources":"%s","token_count":1,"tokenizer":"t"}' % A,
    '{"revoked":true,"sources":["%s"],"token_count":1,"tokenizer":"tö"}' % A,      # non-ASCII
    '[1,["%s"],"t",true]' % A,                                                     # array form
    '{"sources":["%s"],"sources":[]}' % A,                                         # last sources wins
    '{"revoked":true,"sources":["%s"],"token_count":1,"tokenizer":"t"} x' % A,     # trailing bytes
]


def test_token_lines_read_as_the_json_parser_reads_them(store):
    """Whatever shortcut the build takes for lines the store writes, every
    line counts, indexes and numbers exactly as the full parser reads it."""
    write_merged(store, {"001": TRICKY})
    counted = 0
    for text in TRICKY:
        try:
            v = json.loads(text)
        except ValueError:
            continue
        counted += isinstance(v, dict) and isinstance(v.get("sources"), list)
    assert native.build_index(store)["token_index_entries"] == counted
    from_index = native.generate_forget_set(store, "t")
    os.remove(bin_path(store))
    assert from_index == native.generate_forget_set(store, "t") == b"\x3f"  # six entries
