"""JSONL files and hash-sharded layers: line rules, appends, shard paths and
the walk over a layer's shard files."""

import os

import pytest

import vl._vl_native as native

H = "3f" + "0" * 62


# --- reading lines ---------------------------------------------------------------

def test_line_rules(read_back):
    content = b'{"a":1}\n\nnot json\n{"b":2}\r\n  [3]\t \n\n{"c":\r3}\n1 2\n'
    assert read_back(content) == [{"a": 1}, {"b": 2}, [3], {"c": 3}]


def test_last_line_without_lf_is_read(read_back):
    assert read_back(b'{"a":1}\n{"b":2}') == [{"a": 1}, {"b": 2}]
    assert read_back(b'{"a":1}\r') == [{"a": 1}]
    assert read_back(b'\n\n"x"') == ["x"]


def test_invalid_lines_are_skipped_silently(read_back):
    deep = b"[" * 128 + b"]" * 128
    very_deep = b"[" * 200_000
    ok = b"[" * 127 + b"]" * 127
    content = b"\n".join([b'"\xff"', b'{"a":1', b"[1,]", b'{"a" 1}', b'"tab\there"',
                          deep, very_deep, ok, b'{"k":"\xc3\xa9"}', b"nul\x00l", b"null"])
    values = read_back(content)
    assert len(values) == 3
    assert values[1] == {"k": "é"} and values[2] is None


@pytest.mark.parametrize("bad", [b"\xff", b"ab\xc3(cd", b"\xc3\xa9\xa9", b"\xed\xa0\x80",
                                 b"\xc0\xaf", b"\xf4\x90\x80\x80", b"x\xe4\xb8"])
def test_lines_with_invalid_utf8_are_skipped(read_back, bad):
    good = "aé中\U0001F600b".encode()
    content = b'["' + good + b'"]\n["' + bad + b'"]\n{"' + bad + b'":1}\n"' + good + b'"'
    assert read_back(content) == [[good.decode()], good.decode()]


def test_missing_and_empty_files_read_as_empty(tmp_path):
    assert native.jsonl_read(str(tmp_path / "missing.jsonl")) == []
    (tmp_path / "empty.jsonl").write_bytes(b"")
    assert native.jsonl_read(str(tmp_path / "empty.jsonl")) == []
    (tmp_path / "file").write_bytes(b"1\n")
    # A path whose metadata cannot be read counts as missing.
    assert native.jsonl_read(str(tmp_path / "file" / "below")) == []


def test_a_path_that_cannot_be_mapped_is_an_error(tmp_path):
    with pytest.raises(RuntimeError, match=r"\(os error \d+\)$"):
        native.jsonl_read(str(tmp_path))


# --- appending -----------------------------------------------------------------------

def test_append_twice_gives_two_equal_records(tmp_path):
    path = str(tmp_path / "f.jsonl")
    record = {"name": "x", "n": [1, 2.0]}
    native.jsonl_append(path, record)
    native.jsonl_append(path, record)
    assert native.jsonl_read(path) == [record, record]
    with open(path, "rb") as f:
        assert f.read() == b'{"n":[1,2.0],"name":"x"}\n' * 2


def test_append_adds_to_existing_content(tmp_path):
    path = tmp_path / "f.jsonl"
    path.write_bytes(b"[0]\n")
    native.jsonl_append(str(path), "s")
    assert path.read_bytes() == b'[0]\n"s"\n'


def test_append_creates_the_file_with_0666_before_umask(tmp_path):
    path = tmp_path / "f.jsonl"
    old = os.umask(0o002)
    try:
        native.jsonl_append(str(path), 1)
    finally:
        os.umask(old)
    assert (path.stat().st_mode & 0o777) == 0o664


def test_append_into_a_missing_layer_directory_fails_and_creates_nothing(store, listing):
    before = listing(store)
    path = native.shard_path_str(store, "no-such-layer", H)
    with pytest.raises(RuntimeError) as info:
        native.jsonl_append(path, {"a": 1})
    assert info.value.args == ("No such file or directory (os error 2)",)
    assert listing(store) == before


def test_append_to_a_directory_fails(tmp_path):
    with pytest.raises(RuntimeError, match=r"^Is a directory \(os error 21\)$"):
        native.jsonl_append(str(tmp_path), 1)


# --- shard paths ----------------------------------------------------------------------

def test_shard_path(root):
    assert native.shard_path_str(root, "authors", H) == f"{root}/.vl/authors/3f"
    assert native.shard_path_str(root + "/", "document-index", "a0") \
        == f"{root}/.vl/document-index/a0"
    # The first two characters are taken as they are.
    assert native.shard_path_str(root, "x", "3F9") == f"{root}/.vl/x/3F"
    assert native.shard_path_str("rel", "authors", H) == "rel/.vl/authors/3f"
    assert os.listdir(root) == []


def test_shard_read_reads_the_shard_file(store):
    path = native.shard_path_str(store, "authors", H)
    native.jsonl_append(path, {"id": 1})
    assert native.shard_read(store, "authors", "3f") == [{"id": 1}]
    assert native.shard_read(store, "authors", "3e" + H[2:]) == []


@pytest.mark.parametrize("bad_hash", ["", "a", "€", "€abc", "a€", "aé", "\U0001F600"])
def test_hash_without_two_whole_leading_characters_is_rejected(store, listing, bad_hash):
    before = listing(store)
    with pytest.raises(Exception) as info:
        native.shard_path_str(store, "authors", bad_hash)
    assert not isinstance(info.value, native.PanicException)
    with pytest.raises(Exception) as info:
        native.shard_read(store, "authors", bad_hash)
    assert not isinstance(info.value, native.PanicException)
    assert listing(store) == before


# --- walking a layer ----------------------------------------------------------------------

def test_shard_iterate_all_reads_only_shard_files(store):
    layer = os.path.join(store, ".vl", "document-index")
    files = {"3F": [1], "a0": [2, 3], "abc": [90], "3g": [91], "0": [92], "a0.bak": [93]}
    for name, values in files.items():
        for v in values:
            native.jsonl_append(os.path.join(layer, name), v)
    os.makedirs(os.path.join(layer, "revoked"))
    native.jsonl_append(os.path.join(layer, "revoked", "all"), 94)
    native.jsonl_append(os.path.join(layer, "revoked", "00"), 95)
    os.makedirs(os.path.join(layer, "0b"))  # a directory with a shard name
    native.jsonl_append(os.path.join(layer, "0b", "00"), 96)
    got = native.shard_iterate_all(store, "document-index")
    assert sorted(got) == [1, 2, 3]
    # Records of one file stay in file order.
    assert got.index(2) < got.index(3)


def test_shard_iterate_all_on_a_missing_or_non_directory_layer(root):
    assert native.shard_iterate_all(root, "authors") == []
    native.init(root)
    assert native.shard_iterate_all(root, "nothing-here") == []
    open(os.path.join(root, ".vl", "plain"), "w").close()
    assert native.shard_iterate_all(root, "plain") == []


def test_shard_iterate_all_keeps_duplicates_and_skips_bad_lines(store):
    for h in ["00", "ff", "7a"]:
        path = native.shard_path_str(store, "sections", h + "1")
        native.jsonl_append(path, {"s": h})
        native.jsonl_append(path, {"s": h})
        with open(path, "ab") as f:
            f.write(b"garbage\n")
    got = native.shard_iterate_all(store, "sections")
    assert sorted(d["s"] for d in got) == ["00", "00", "7a", "7a", "ff", "ff"]
