"""Store initialisation, writes into a root without a store, and the
operation log."""

import os
import pathlib
import re
import stat
import time

import pytest

import vl._vl_native as native
from tokens import sha

ADA = sha('{"email":"ada@x.org","name":"Ada"}')
ENOENT = "No such file or directory (os error 2)"
SKELETON = [".vl", ".vl/authors", ".vl/document-index", ".vl/index", ".vl/log", ".vl/sections"]


def test_init_creates_exactly_the_skeleton_with_modes_from_the_umask(root, listing):
    old = os.umask(0o002)
    try:
        assert native.init(root) is None
    finally:
        os.umask(old)
    assert listing(root) == SKELETON
    for d in SKELETON:
        mode = os.stat(os.path.join(root, d)).st_mode
        assert stat.S_ISDIR(mode) == (d != ".vl/log")
        assert stat.S_IMODE(mode) == (0o664 if d == ".vl/log" else 0o775)
    assert os.path.getsize(os.path.join(root, ".vl", "log")) == 0


@pytest.mark.parametrize("where", ["a/b/project", "rel/proj"])
def test_init_creates_a_missing_root_taking_a_relative_one_as_written(tmp_path, monkeypatch, listing, where):
    monkeypatch.chdir(tmp_path)
    native.init(where if where.startswith("rel") else str(tmp_path / where))
    assert listing(str(tmp_path / where)) == SKELETON


def test_init_again_keeps_records_and_empties_the_log(store):
    vl = pathlib.Path(store, ".vl")
    (vl / "archive").mkdir()
    kept = {"authors/ab": b'{"id":"x"}\n', "archive/purge.20250101T000000": b"[1]\n", "log.1": b"old\n",
            "token-index.t.1": b"{}\n", "index.bin": b"VLIDXF02"}
    for name, data in kept.items():
        (vl / name).write_bytes(data)
    native.oplog_append(store, "op", "detail")
    assert (vl / "log").stat().st_size > 0
    native.init(store)
    assert {name: (vl / name).read_bytes() for name in kept} == kept
    assert (vl / "log").stat().st_size == 0


def test_init_with_a_file_in_the_way_fails_and_keeps_earlier_directories(root, listing):
    os.makedirs(os.path.join(root, ".vl"))
    open(os.path.join(root, ".vl", "index"), "w").close()
    with pytest.raises(RuntimeError) as info:
        native.init(root)
    assert info.value.args == ("File exists (os error 17)",)
    assert listing(root) == [".vl", ".vl/authors", ".vl/document-index", ".vl/index", ".vl/sections"]
    with pytest.raises(RuntimeError, match=r"^Not a directory \(os error 20\)$"):
        native.init(os.path.join(root, ".vl", "index"))


@pytest.mark.parametrize("write, message", [
    (lambda r: native.author_add("Ada", "ada@x.org", r), 'opening shard "{root}/.vl/authors/%s"' % ADA[:2]),
    (lambda r: native.register_section("p", ["a"], [], "MIT", "2024", r), ENOENT),
    (lambda r: native.track({"x": 1}, "f", ["s"], r, token_count=3, tokenizer="tok"), ENOENT),
    (lambda r: native.index_document(r, "ab" + "0" * 62, "f", []), ENOENT),
    (lambda r: native.oplog_append(r, "x", "y"), ENOENT),
    (lambda r: native.oplog_append(r + "/missing", "x", "y"), ENOENT),
])
def test_writes_into_a_root_without_a_store_fail_and_create_nothing(root, listing, write, message):
    with pytest.raises(RuntimeError) as info:
        write(root)
    assert type(info.value) is RuntimeError and info.value.args == (message.format(root=root),)
    assert listing(root) == []


STAMP = re.compile(rb"(0|[1-9][0-9]*)-([0-9]{2}):([0-9]{2}):([0-9]{2}) ")


def stamp_seconds(line):
    m = STAMP.match(line)
    assert m, line
    days, hh, mm, ss = map(int, m.groups())
    assert hh < 24 and mm < 60 and ss < 60
    return days * 86400 + hh * 3600 + mm * 60 + ss, line[m.end():]


def test_oplog_creates_a_missing_log_and_appends_stamp_operation_and_detail_unchanged(store):
    os.remove(os.path.join(store, ".vl", "log"))
    entries = [("revoke_section", "abc (1 sections toggled)"), ("op", "two  spaces\nand a line\tbreak \"q\" \\ é"),
               ("x", ""), ("", "")]
    before = int(time.time())
    for operation, detail in entries:
        assert native.oplog_append(store, operation, detail) is None
    after = int(time.time())
    rest = pathlib.Path(store, ".vl", "log").read_bytes()
    for operation, detail in entries:
        seconds, rest = stamp_seconds(rest)
        assert before <= seconds <= after
        expected = f"{operation} {detail}\n".encode()
        assert rest.startswith(expected)
        rest = rest[len(expected):]
    assert rest == b""
