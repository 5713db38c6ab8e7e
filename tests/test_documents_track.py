"""The document index: tracking data lines, storing document records, looking
them up by line hash and reading them all back."""

import json
import os

import pytest

import vl._vl_native as native
from tokens import read, sha, vl, write

DATA = {"text": "Grüße, \"world\"\n", "meta": {"tags": ["a", None], "ok": True, "n": 3}}


def shard_text(root, line_hash):
    return read(vl(root, "document-index", line_hash[:2])).decode("utf-8")


def stored(line_hash, file, sources, source_type="track"):
    return '{"file":%s,"line_hash":"%s","revoked":false,"source_type":%s,"sources":%s}\n' % (
        json.dumps(file, ensure_ascii=False), line_hash, json.dumps(source_type, ensure_ascii=False),
        json.dumps(sources, separators=(",", ":")))


def found(line_hash, file, sources):
    return {"file": file, "line_hash": line_hash, "sources": sources}


def write_shard(root, name, *lines):
    write(vl(root, "document-index", name), "".join(line + "\n" for line in lines), "a")


def test_tracking_twice_appends_two_records_under_the_hash_of_the_canonical_text(store):
    h = native.track(DATA, "data/train.jsonl", ["s1", "s2"], store)
    assert native.track(DATA, "data/train.jsonl", ["s1", "s2"], store) == h
    # The hash of the canonical text, whatever the key order of the data.
    assert h == sha(json.dumps(DATA, sort_keys=True, separators=(",", ":"), ensure_ascii=False))
    assert shard_text(store, h) == stored(h, "data/train.jsonl", ["s1", "s2"]) * 2
    records = native.lookup_document(store, h)
    assert records == [found(h, "data/train.jsonl", ["s1", "s2"])] * 2
    assert [list(r) for r in records] == [["file", "line_hash", "sources"]] * 2


@pytest.mark.parametrize("extra, entry", [
    ({}, None),
    ({"token_count": 5}, None),
    ({"tokenizer": "tok"}, None),
    ({"token_count": None, "tokenizer": "tok"}, None),
    ({"token_count": 12, "tokenizer": "cl100k"}, '{"token_count":12,"sources":["s"],"tokenizer":"cl100k",'
                                                 '"revoked":false}\n'),
])
def test_track_writes_a_token_entry_only_with_both_count_and_tokenizer(store, extra, entry):
    h = native.track({"x": 1}, "f", ["s"], store, **extra)
    assert native.lookup_document(store, h) == [found(h, "f", ["s"])]
    name = f"token-index.cl100k.{os.getpid()}"
    assert [n for n in os.listdir(vl(store)) if n.startswith("token-index")] == ([name] if entry else [])
    assert not entry or read(vl(store, name)).decode() == entry


@pytest.mark.parametrize("data, error", [
    ({"x": float("nan")}, RuntimeError),
    ([float("inf")], RuntimeError),
    ({"x": {1, 2}}, TypeError),
])
def test_unconvertible_data_writes_nothing(store, listing, data, error):
    before = listing(store)
    with pytest.raises(error):
        native.track(data, "f", ["s"], store, token_count=3, tokenizer="tok")
    assert listing(store) == before


def test_index_document_with_custom_source_type_and_no_sources(store):
    h = "5e" + "0" * 62
    native.index_document(store, h, "data/x.jsonl", [], source_type="import")
    native.index_document(store, h, "data/y.jsonl", ("a",))
    assert shard_text(store, h) == stored(h, "data/x.jsonl", [], "import") + stored(h, "data/y.jsonl", ["a"])
    assert native.read_all_documents(store) == [
        {"file": "data/x.jsonl", "line_hash": h, "revoked": False, "source_type": "import", "sources": []},
        {"file": "data/y.jsonl", "line_hash": h, "revoked": False, "source_type": "track", "sources": ["a"]},
    ]


def test_lookup_keeps_only_the_exact_line_hash(store):
    one, two = "ab" + "1" * 62, "ab" + "2" * 62
    for h, file in ((one, "f1"), (two, "f2"), (one.upper(), "f3")):
        native.index_document(store, h, file, ["s"])
    assert native.lookup_document(store, one) == [found(one, "f1", ["s"])]
    assert native.lookup_document(store, two) == [found(two, "f2", ["s"])]
    assert native.lookup_document(store, "cd" + "0" * 62) == []


@pytest.mark.parametrize("line, kept", [
    # Any key order, extra keys and a revoked flag: kept by read_all, ignored by lookup.
    ('{"sources":["s"],"zeta":{"k":1},"revoked":true,"line_hash":"%s","file":"f"}\r', True),
    ('{"line_hash":"%s","line_hash":"%s","file":"f","sources":[]}', False),
    ('{"line_hash":"%s","file":"f","file":"g","sources":[]}', False),
    ('{"line_hash":"%s","file":"f","sources":[1]}', False),
    ('{"line_hash":"%s","file":"f","sources":"s"}', False),
    ('{"line_hash":"%s","sources":[]}', False),
    ('{"line_hash":"%s","file":null,"sources":[]}', False),
    ('["%s","f",[]]', False),
    ('not json %s', False),
])
def test_lines_that_are_not_document_records_are_skipped_and_extra_keys_kept(store, line, kept):
    h = "7a" + "e" * 62
    write_shard(store, "7a", line.replace("%s", h))
    assert native.lookup_document(store, h) == [found(h, "f", ["s"])] * kept
    records = native.read_all_documents(store)
    assert records == [dict(found(h, "f", ["s"]), revoked=True, zeta={"k": 1})] * kept
    assert [list(r) for r in records] == [["file", "line_hash", "revoked", "sources", "zeta"]] * kept


def test_read_all_documents_reads_only_shard_files(store):
    rec = '{"file":"f","line_hash":"%s","sources":[]}'
    write_shard(store, "3F", rec % "3F-upper")
    write_shard(store, "abc", rec % "abc-long-name")
    write_shard(store, "revoked/all", rec % "revoked-list")
    write_shard(store, "a0", rec % "a0-one", rec % "a0-two")
    got = [r["line_hash"] for r in native.read_all_documents(store)]
    assert sorted(got) == ["3F-upper", "a0-one", "a0-two"]
    assert got.index("a0-one") == got.index("a0-two") - 1
    assert native.read_all_documents(os.path.join(store, "no-store")) == []
