"""JSONL files and hash-sharded layers: line rules, appends, shard paths and
the walk over a layer's shard files."""

import json
import os

import pytest

import vl._vl_native as native

H = "3f" + "0" * 62


@pytest.mark.parametrize("content, values", [
    (b'{"a":1}\n\nnot json\n{"b":2}\r\n  [3]\t \n\n{"c":\r3}\n1 2\n', [{"a": 1}, {"b": 2}, [3], {"c": 3}]),
    # The last line is read without its LF.
    (b'{"a":1}\n{"b":2}', [{"a": 1}, {"b": 2}]),
    (b'{"a":1}\r', [{"a": 1}]),
    (b'\n\n"x"', ["x"]),
    (b"", []),
    # Invalid lines (bad UTF-8 or JSON, nested past 127 levels) are skipped silently.
    (b"\n".join([b'"\xff"', b'{"a":1', b"[1,]", b'{"a" 1}', b'"tab\there"', b"[" * 128 + b"]" * 128,
                 b"[" * 200_000, b"[" * 127 + b"]" * 127, b'{"k":"\xc3\xa9"}', b"nul\x00l", b"null"]),
     [json.loads("[" * 127 + "]" * 127), {"k": "é"}, None]),
])
def test_line_rules(read_back, content, values):
    assert read_back(content) == values


@pytest.mark.parametrize("bad", [b"\xff", b"ab\xc3(cd", b"\xc3\xa9\xa9", b"\xed\xa0\x80",
                                 b"\xc0\xaf", b"\xf4\x90\x80\x80", b"x\xe4\xb8"])
def test_lines_with_invalid_utf8_are_skipped(read_back, bad):
    good = "aé中\U0001F600b".encode()
    content = b'["' + good + b'"]\n["' + bad + b'"]\n{"' + bad + b'":1}\n"' + good + b'"'
    assert read_back(content) == [[good.decode()], good.decode()]


def test_missing_files_read_as_empty_and_a_directory_is_an_error(tmp_path):
    assert native.jsonl_read(str(tmp_path / "missing.jsonl")) == []
    (tmp_path / "file").write_bytes(b"1\n")
    # A path whose metadata cannot be read counts as missing.
    assert native.jsonl_read(str(tmp_path / "file" / "below")) == []
    with pytest.raises(RuntimeError, match=r"\(os error \d+\)$"):
        native.jsonl_read(str(tmp_path))


def test_append_creates_the_file_with_0666_before_umask_and_adds_one_line_per_call(tmp_path):
    path, record = tmp_path / "f.jsonl", {"name": "x", "n": [1, 2.0]}
    old = os.umask(0o002)
    try:
        native.jsonl_append(str(path), [0])
    finally:
        os.umask(old)
    assert (path.stat().st_mode & 0o777) == 0o664
    native.jsonl_append(str(path), record)
    native.jsonl_append(str(path), record)
    assert path.read_bytes() == b'[0]\n' + b'{"n":[1,2.0],"name":"x"}\n' * 2
    assert native.jsonl_read(str(path)) == [[0], record, record]


def test_append_into_a_missing_directory_or_to_a_directory_fails(store, listing):
    before = listing(store)
    with pytest.raises(RuntimeError) as info:
        native.jsonl_append(native.shard_path_str(store, "no-such-layer", H), {"a": 1})
    assert info.value.args == ("No such file or directory (os error 2)",)
    with pytest.raises(RuntimeError, match=r"^Is a directory \(os error 21\)$"):
        native.jsonl_append(store, 1)
    assert listing(store) == before


def test_shard_path_and_read(root):
    assert native.shard_path_str(root, "authors", H) == f"{root}/.vl/authors/3f"
    assert native.shard_path_str(root + "/", "document-index", "a0") == f"{root}/.vl/document-index/a0"
    # The first two characters are taken as they are.
    assert native.shard_path_str(root, "x", "3F9") == f"{root}/.vl/x/3F"
    assert native.shard_path_str("rel", "authors", H) == "rel/.vl/authors/3f"
    assert os.listdir(root) == []
    native.init(root)
    native.jsonl_append(native.shard_path_str(root, "authors", H), {"id": 1})
    assert native.shard_read(root, "authors", "3f") == [{"id": 1}]
    assert native.shard_read(root, "authors", "3e" + H[2:]) == []


@pytest.mark.parametrize("bad_hash", ["", "a", "€", "€abc", "a€", "aé", "\U0001F600", "aé" + "0" * 62,
                                      "€" + "0" * 62])
def test_hash_without_two_whole_leading_characters_is_refused_without_writing(store, listing, bad_hash):
    before = listing(store)
    for call in (lambda: native.shard_path_str(store, "authors", bad_hash),
                 lambda: native.shard_read(store, "authors", bad_hash),
                 lambda: native.index_document(store, bad_hash, "f", ["s"]),
                 lambda: native.lookup_document(store, bad_hash)):
        with pytest.raises(RuntimeError, match="^invalid hash .*: a shard name needs at least two whole characters$"):
            call()
    assert listing(store) == before


def test_shard_iterate_all_reads_only_shard_files_keeping_duplicates_and_missing_layers_are_empty(store):
    layer = os.path.join(store, ".vl", "document-index")
    os.makedirs(os.path.join(layer, "revoked"))
    os.makedirs(os.path.join(layer, "0b"))  # a directory with a shard name
    files = {"3F": [1], "a0": [2, 3, 3], "abc": [90], "3g": [91], "0": [92], "a0.bak": [93],
             "revoked/all": [94], "revoked/00": [95], "0b/00": [96]}
    for name, values in files.items():
        for v in values:
            native.jsonl_append(os.path.join(layer, name), v)
    with open(os.path.join(layer, "a0"), "ab") as f:
        f.write(b"garbage\n")
    native.jsonl_append(os.path.join(layer, "a0"), 4)
    got = native.shard_iterate_all(store, "document-index")
    assert sorted(got) == [1, 2, 3, 3, 4]
    assert got.index(2) < got.index(3) < got.index(4)  # records of a file stay in file order
    open(os.path.join(store, ".vl", "plain"), "w").close()
    assert native.shard_iterate_all(store, "plain") == native.shard_iterate_all(store, "none") == []
    assert native.shard_iterate_all(os.path.join(store, "no-store"), "authors") == []
