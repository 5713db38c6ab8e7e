"""Store initialisation and the operation log."""

import os
import re
import stat
import time

import pytest

import vl._vl_native as native

SKELETON = [".vl", ".vl/authors", ".vl/document-index", ".vl/index", ".vl/log", ".vl/sections"]


# --- init --------------------------------------------------------------------------------

def test_init_creates_exactly_the_skeleton(root, listing):
    assert native.init(root) is None
    assert listing(root) == SKELETON
    for d in SKELETON:
        full = os.path.join(root, d)
        assert os.path.isdir(full) == (d != ".vl/log")
    assert os.path.getsize(os.path.join(root, ".vl", "log")) == 0


def test_init_modes_follow_the_umask(root):
    old = os.umask(0o002)
    try:
        native.init(root)
    finally:
        os.umask(old)
    assert stat.S_IMODE(os.stat(os.path.join(root, ".vl")).st_mode) == 0o775
    assert stat.S_IMODE(os.stat(os.path.join(root, ".vl", "index")).st_mode) == 0o775
    assert stat.S_IMODE(os.stat(os.path.join(root, ".vl", "log")).st_mode) == 0o664


def test_init_creates_a_missing_root(tmp_path, listing):
    root = tmp_path / "a" / "b" / "project"
    native.init(str(root))
    assert listing(str(root)) == SKELETON


def test_init_takes_a_relative_root_as_written(tmp_path, monkeypatch, listing):
    monkeypatch.chdir(tmp_path)
    native.init("rel/proj")
    assert listing(str(tmp_path / "rel" / "proj")) == SKELETON


def test_init_again_keeps_records_and_empties_the_log(store):
    vl = os.path.join(store, ".vl")
    shard = native.shard_path_str(store, "authors", "ab" * 32)
    native.jsonl_append(shard, {"id": "x"})
    os.makedirs(os.path.join(vl, "archive"))
    extra = {"archive/purge.20250101T000000": b"[1]\n", "log.1": b"old\n",
             "token-index.t.1": b"{}\n", "index.bin": b"VLIDXF02"}
    for name, data in extra.items():
        with open(os.path.join(vl, name), "wb") as f:
            f.write(data)
    native.oplog_append(store, "op", "detail")
    assert os.path.getsize(os.path.join(vl, "log")) > 0

    native.init(store)
    assert native.jsonl_read(shard) == [{"id": "x"}]
    for name, data in extra.items():
        with open(os.path.join(vl, name), "rb") as f:
            assert f.read() == data
    assert os.path.getsize(os.path.join(vl, "log")) == 0


def test_init_with_a_file_in_the_way_fails_and_keeps_earlier_directories(root, listing):
    os.makedirs(os.path.join(root, ".vl"))
    with open(os.path.join(root, ".vl", "index"), "w") as f:
        f.write("not a directory")
    with pytest.raises(RuntimeError) as info:
        native.init(root)
    assert info.value.args == ("File exists (os error 17)",)
    assert listing(root) == [".vl", ".vl/authors", ".vl/document-index", ".vl/index",
                             ".vl/sections"]


def test_init_under_a_regular_file_fails(tmp_path):
    (tmp_path / "f").write_text("")
    with pytest.raises(RuntimeError, match=r"^Not a directory \(os error 20\)$"):
        native.init(str(tmp_path / "f"))


# --- the operation log ------------------------------------------------------------------------

STAMP = re.compile(rb"(0|[1-9][0-9]*)-([0-9]{2}):([0-9]{2}):([0-9]{2}) ")


def log_bytes(root):
    with open(os.path.join(root, ".vl", "log"), "rb") as f:
        return f.read()


def stamp_seconds(line):
    m = STAMP.match(line)
    assert m, line
    days, hh, mm, ss = map(int, m.groups())
    assert hh < 24 and mm < 60 and ss < 60
    return days * 86400 + hh * 3600 + mm * 60 + ss, line[m.end():]


def test_oplog_line_format_and_stamp(store):
    before = int(time.time())
    assert native.oplog_append(store, "revoke_section", "abc (1 sections toggled)") is None
    after = int(time.time())
    data = log_bytes(store)
    assert data.endswith(b"\n") and data.count(b"\n") == 1
    seconds, rest = stamp_seconds(data)
    assert before <= seconds <= after
    assert rest == b"revoke_section abc (1 sections toggled)\n"


def test_oplog_writes_operation_and_detail_unchanged(store):
    native.oplog_append(store, "op", "two  spaces\nand a line\tbreak \"q\" \\ é")
    native.oplog_append(store, "x", "")
    native.oplog_append(store, "", "")
    data = log_bytes(store)
    first, rest = stamp_seconds(data)
    expected = "op two  spaces\nand a line\tbreak \"q\" \\ é\n".encode()
    assert rest.startswith(expected)
    rest = rest[len(expected):]
    _, rest = stamp_seconds(rest)
    assert rest.startswith(b"x \n")
    _, rest = stamp_seconds(rest[3:])
    assert rest == b" \n"


def test_oplog_appends_after_existing_lines_and_creates_a_missing_log(store):
    log = os.path.join(store, ".vl", "log")
    os.remove(log)
    native.oplog_append(store, "a", "1")
    native.oplog_append(store, "b", "2")
    lines = log_bytes(store).split(b"\n")
    assert lines[2] == b"" and len(lines) == 3
    assert [stamp_seconds(line)[1] for line in lines[:2]] == [b"a 1", b"b 2"]


def test_oplog_without_a_store_fails_and_creates_nothing(root, tmp_path, listing):
    with pytest.raises(RuntimeError) as info:
        native.oplog_append(root, "x", "y")
    assert info.value.args == ("No such file or directory (os error 2)",)
    assert listing(root) == []
    missing = tmp_path / "missing"
    with pytest.raises(RuntimeError):
        native.oplog_append(str(missing), "x", "y")
    assert not missing.exists()
