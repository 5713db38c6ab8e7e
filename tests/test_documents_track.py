"""The document index: tracking data lines, storing document records, looking
them up by line hash and reading them all back."""

import hashlib
import json
import os

import pytest

import vl._vl_native as native


def canonical_hash(value):
    text = json.dumps(value, sort_keys=True, separators=(",", ":"), ensure_ascii=False)
    return hashlib.sha256(text.encode("utf-8")).hexdigest()


def shard_text(root, line_hash):
    with open(os.path.join(root, ".vl", "document-index", line_hash[:2]), "rb") as f:
        return f.read().decode("utf-8")


def token_files(root):
    return sorted(n for n in os.listdir(os.path.join(root, ".vl")) if n.startswith("token-index"))


def stored(line_hash, file, sources, source_type="track"):
    return ('{"file":%s,"line_hash":"%s","revoked":false,"source_type":%s,"sources":%s}\n'
            % (json.dumps(file, ensure_ascii=False), line_hash,
               json.dumps(source_type, ensure_ascii=False),
               json.dumps(sources, separators=(",", ":"))))


DATA = {"text": "Grüße, \"world\"\n", "meta": {"n": 3, "ok": True, "tags": ["a", None]}}


# -- tracking -----------------------------------------------------------------

def test_track_returns_hash_of_canonical_text_and_appends_record(store):
    h = native.track(DATA, "data/train.jsonl", ["s1", "s2"], store)
    assert h == canonical_hash(DATA)
    assert shard_text(store, h) == stored(h, "data/train.jsonl", ["s1", "s2"])
    assert token_files(store) == []


def test_key_order_of_the_data_does_not_change_the_hash(store):
    a = native.track({"b": 1, "a": [2, {"y": 0, "x": 1}]}, "f", [], store)
    b = native.track({"a": [2, {"x": 1, "y": 0}], "b": 1}, "f", [], store)
    assert a == b == canonical_hash({"a": [2, {"x": 1, "y": 0}], "b": 1})


def test_tracking_twice_gives_two_records(store):
    h = native.track("same line", "f.jsonl", ["s"], store)
    native.track("same line", "f.jsonl", ["s"], store)
    assert shard_text(store, h) == stored(h, "f.jsonl", ["s"]) * 2
    records = native.lookup_document(store, h)
    assert records == [{"file": "f.jsonl", "line_hash": h, "sources": ["s"]}] * 2
    assert [list(r) for r in records] == [["file", "line_hash", "sources"]] * 2


@pytest.mark.parametrize("extra", [{"token_count": 5}, {"tokenizer": "tok"},
                                   {"token_count": None, "tokenizer": "tok"}])
def test_track_without_both_count_and_tokenizer_writes_no_token_entry(store, extra):
    h = native.track({"x": 1}, "f", ["s"], store, **extra)
    assert native.lookup_document(store, h) == [{"file": "f", "line_hash": h, "sources": ["s"]}]
    assert token_files(store) == []


def test_track_with_count_and_tokenizer_writes_a_token_entry(store):
    h = native.track([1, 2], "f", ["s1", "s2"], store, token_count=12, tokenizer="cl100k")
    assert len(native.lookup_document(store, h)) == 1
    name = f"token-index.cl100k.{os.getpid()}"
    assert token_files(store) == [name]
    with open(os.path.join(store, ".vl", name)) as f:
        assert f.read() == '{"token_count":12,"sources":["s1","s2"],"tokenizer":"cl100k","revoked":false}\n'


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


@pytest.mark.parametrize("tokenizer", ["", "a/b", "../escape", "a\x00b"])
def test_track_refuses_a_bad_tokenizer_name_before_writing(store, listing, tokenizer):
    outside = os.path.dirname(store)
    before = listing(outside)
    with pytest.raises(RuntimeError):
        native.track({"x": 1}, "f", ["s"], store, token_count=3, tokenizer=tokenizer)
    assert listing(outside) == before


def test_track_on_uninitialised_root_writes_nothing(root, listing):
    with pytest.raises(RuntimeError, match=r"\(os error 2\)$"):
        native.track({"x": 1}, "f", ["s"], root, token_count=3, tokenizer="tok")
    assert listing(root) == []


# -- index_document and lookup ------------------------------------------------

def test_index_document_with_custom_source_type_and_no_sources(store):
    h = "5e" + "0" * 62
    native.index_document(store, h, "data/x.jsonl", [], source_type="import")
    native.index_document(store, h, "data/y.jsonl", ("a",))
    assert shard_text(store, h) == (stored(h, "data/x.jsonl", [], "import")
                                    + stored(h, "data/y.jsonl", ["a"]))
    assert native.read_all_documents(store) == [
        {"file": "data/x.jsonl", "line_hash": h, "revoked": False, "source_type": "import", "sources": []},
        {"file": "data/y.jsonl", "line_hash": h, "revoked": False, "source_type": "track", "sources": ["a"]},
    ]


def test_lookup_keeps_only_the_exact_line_hash(store):
    one, two = "ab" + "1" * 62, "ab" + "2" * 62
    native.index_document(store, one, "f1", ["s"])
    native.index_document(store, two, "f2", ["s"])
    native.index_document(store, one.upper(), "f3", ["s"])
    assert native.lookup_document(store, one) == [{"file": "f1", "line_hash": one, "sources": ["s"]}]
    assert native.lookup_document(store, two) == [{"file": "f2", "line_hash": two, "sources": ["s"]}]
    assert native.lookup_document(store, "cd" + "0" * 62) == []


@pytest.mark.parametrize("bad", ["a", "", "aé" + "0" * 62, "€" + "0" * 62])
def test_unusable_line_hashes_are_refused_without_writing(store, listing, bad):
    before = listing(store)
    with pytest.raises(Exception):
        native.index_document(store, bad, "f", ["s"])
    with pytest.raises(Exception):
        native.lookup_document(store, bad)
    assert listing(store) == before


def test_index_document_on_uninitialised_root_fails(root, listing):
    with pytest.raises(RuntimeError):
        native.index_document(root, "ab" + "0" * 62, "f", [])
    assert listing(root) == []


# -- reading stored records ---------------------------------------------------

def write_shard(root, name, lines):
    path = os.path.join(root, ".vl", "document-index", name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "a", encoding="utf-8") as f:
        f.write("".join(line + "\n" for line in lines))


def test_revoked_and_extra_keys_are_kept_by_read_all_and_ignored_by_lookup(store):
    h = "7a" + "f" * 62
    write_shard(store, "7a", [
        '{"sources":["s"],"zeta":{"k":1},"revoked":true,"line_hash":"%s","file":"f"}\r' % h,
    ])
    assert native.lookup_document(store, h) == [{"file": "f", "line_hash": h, "sources": ["s"]}]
    (rec,) = native.read_all_documents(store)
    assert rec == {"file": "f", "line_hash": h, "revoked": True, "sources": ["s"], "zeta": {"k": 1}}
    assert list(rec) == ["file", "line_hash", "revoked", "sources", "zeta"]


@pytest.mark.parametrize("bad", [
    '{"line_hash":"%s","line_hash":"%s","file":"f","sources":[]}',
    '{"line_hash":"%s","file":"f","file":"g","sources":[]}',
    '{"line_hash":"%s","file":"f","sources":[1]}',
    '{"line_hash":"%s","file":"f","sources":"s"}',
    '{"line_hash":"%s","sources":[]}',
    '{"line_hash":"%s","file":null,"sources":[]}',
    '["%s","f",[]]',
    'not json %s',
])
def test_lines_that_are_not_document_records_are_skipped(store, bad):
    h = "7a" + "e" * 62
    write_shard(store, "7a", [bad.replace("%s", h)])
    assert native.lookup_document(store, h) == []
    assert native.read_all_documents(store) == []


def test_read_all_documents_reads_only_shard_files(store):
    rec = '{"file":"f","line_hash":"%s","sources":[]}'
    write_shard(store, "3F", [rec % "3F-upper"])
    write_shard(store, "abc", [rec % "abc-long-name"])
    write_shard(store, "revoked/all", [rec % "revoked-list"])
    write_shard(store, "a0", [rec % "a0-one", rec % "a0-two"])
    got = [r["line_hash"] for r in native.read_all_documents(store)]
    assert sorted(got) == ["3F-upper", "a0-one", "a0-two"]
    assert got.index("a0-one") == got.index("a0-two") - 1


def test_read_all_documents_of_uninitialised_root_is_empty(root):
    assert native.read_all_documents(root) == []
