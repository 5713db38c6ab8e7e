"""Purge of data files and its reversal: which lines go, what the archive
keeps, how the data file is replaced, and how a restore puts lines back."""

import contextlib
import json
import os
import resource
import signal
import stat
import sys

import pytest

import binindex
import vl._vl_native as native
from tokens import log_ops, vl, write

KEEP = [{"k": i, "text": "ordinary"} for i in range(3)]
GONE = [{"score": 7.864443854425286e-10, "text": "hello"}, {"é": [1, {"x": None}]}]


def raw(value):
    # As Python writes it, with spaces: not the store's canonical text.
    return json.dumps(value, ensure_ascii=False).encode()


def archives(root):
    d = vl(root, "archive")
    return sorted(os.listdir(d)) if os.path.isdir(d) else []


def archive_records(root, name):
    return native.jsonl_read(vl(root, "archive", name))


def list_revoked(root, texts, tail=""):
    """Writes the revoked document list naming the values of `texts`."""
    write(vl(root, "document-index", "revoked", "all"), "".join(
        json.dumps({"line_hash": native.compute_hash(json.loads(t)), "file": "d", "sources": []}) + "\n"
        for t in texts) + tail)


@contextlib.contextmanager
def file_size_limit(size):
    """Writes past `size` bytes fail with EFBIG instead of ending the process."""
    old_handler = signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    old_limit = resource.getrlimit(resource.RLIMIT_FSIZE)
    resource.setrlimit(resource.RLIMIT_FSIZE, (size, old_limit[1]))
    try:
        yield
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, old_limit)
        signal.signal(signal.SIGXFSZ, old_handler)


@pytest.fixture
def project(store):
    """A store with a revoked section whose lines are in data.jsonl among others."""
    a = native.author_add("Ada", "ada@example.org", store)
    b = native.author_add("Bob", "bob@example.org", store)
    gone = native.register_section("gone.md", [a], [], "CC0", "2024", store)
    kept = native.register_section("kept.md", [b], [], "CC0", "2024", store)
    data = os.path.join(store, "data.jsonl")
    lines = [raw(KEEP[0]), raw(GONE[0]), raw(KEEP[1]), raw(GONE[1]), raw(KEEP[2])]
    write(data, b"\n".join(lines) + b"\n")
    for v in GONE:
        native.track(v, data, [kept, gone], store)
    for v in KEEP:
        native.track(v, data, [kept], store)
    native.revoke_section(store, gone)
    return {"root": store, "data": data, "gone": gone, "kept": kept, "lines": lines}


def kept_bytes(p):
    return b"".join(line + b"\n" for line in p["lines"] if line not in (raw(GONE[0]), raw(GONE[1])))


def test_purge_moves_revoked_lines_to_archive_and_back(project):
    root, data = project["root"], project["data"]
    assert native.purge_revoked(root, data, False) == {"purged": 2, "kept": 3, "archived": 2}
    assert open(data, "rb").read() == kept_bytes(project)
    [name] = archives(root)
    records = archive_records(root, name)
    assert [list(r) for r in records] == [["archived_at", "file", "line", "text"]] * 2
    assert [r["text"].encode() for r in records] == [raw(GONE[0]), raw(GONE[1])]
    assert {r["file"] for r in records} == {data} and records[0]["archived_at"] == name[6:]
    assert [op for op, _ in log_ops(root)][-2:] == ["purge_archive", "purge"]
    assert log_ops(root)[-1][1] == f'purged 2 lines from "{data}"'

    # The restore writes the purged bytes back, so a later purge finds them.
    assert native.purge_reverse(root, data) == 2
    assert open(data, "rb").read() == kept_bytes(project) + raw(GONE[0]) + b"\n" + raw(GONE[1]) + b"\n"
    assert archives(root) == []
    assert native.purge_revoked(root, data, False)["purged"] == 2


@pytest.mark.parametrize("content, expected", [
    (b'{"a":1}\r\n\n{"b":2}', b'{"a":1}\n{"b":2}\n'),
    (b'not json\n{"a":1}\n', b'not json\n{"a":1}\n'),
])
def test_nothing_revoked_still_rewrites(store, content, expected):
    data = os.path.join(store, "d.jsonl")
    open(data, "wb").write(content)
    assert native.purge_revoked(store, data, False) == {"purged": 0, "kept": 2, "archived": 0}
    assert open(data, "rb").read() == expected
    assert archives(store) == []
    assert log_ops(store) == [["purge", f'purged 0 lines from "{data}"']]


def test_purge_matches_a_line_by_line_reference(store):
    """Thousands of short lines, every third revoked, with CRLF and blank
    lines and no LF at the end: the kept bytes and the archive are what a
    line-by-line purge gives."""
    lines = [json.dumps({"i": i, "t": "x" * (i % 7)}).encode() + (b"\r" if i % 11 == 0 else b"")
             for i in range(4000)]
    content = b"\n".join(line + (b"\n" if i % 97 == 0 else b"") for i, line in enumerate(lines))
    data = os.path.join(store, "d.jsonl")
    open(data, "wb").write(content)
    gone = [line.rstrip(b"\r") for i, line in enumerate(lines) if i % 3 == 1]
    list_revoked(store, gone)
    assert native.purge_revoked(store, data, False) == {"purged": len(gone), "kept": 4000 - len(gone),
                                                         "archived": len(gone)}
    kept = [line.rstrip(b"\r") for i, line in enumerate(lines) if i % 3 != 1]
    assert open(data, "rb").read() == b"".join(line + b"\n" for line in kept)
    [name] = archives(store)
    records = archive_records(store, name)
    assert [r["text"].encode() for r in records] == gone
    assert [r["line"] for r in records] == [json.loads(line) for line in gone]


def test_revoked_list_and_dry_run(store):
    data = os.path.join(store, "d.jsonl")
    line = b'{"a": 1}'
    open(data, "wb").write(line + b"\n" + line + b"\n" + b'{"b":2}\n')
    list_revoked(store, [line], tail="\nbroken\r\n")
    missing = os.path.join(store, "missing.jsonl")
    assert native.purge_revoked(store, missing, True) == {"purged": 2, "kept": 0, "archived": 0}
    assert native.purge_revoked(store, data, False) == {"purged": 2, "kept": 1, "archived": 2}
    with pytest.raises(RuntimeError, match="^data file not found: " + missing):
        native.purge_revoked(store, missing, False)


@pytest.mark.parametrize("name", ["data.jsonl", "data.json", "data.tmp", "data"])
def test_temporary_file_is_never_a_user_file(project, name):
    root = project["root"]
    data = os.path.join(root, name)
    os.replace(project["data"], data)
    for other in ("data.tmp", "data.json", "data.jsonl", "data"):
        if other != name:
            open(os.path.join(root, other), "w").write("mine\n")
    before = set(os.listdir(root))
    assert native.purge_revoked(root, data, False)["purged"] == 2
    assert set(os.listdir(root)) == before
    for other in before - {name, ".vl"}:
        assert open(os.path.join(root, other)).read() == "mine\n"


def test_same_second_purges_restore_newest_first(project):
    root, data = project["root"], project["data"]
    native.purge_revoked(root, data, False)
    write(data, raw(GONE[1]) + b"\n", "a")
    native.purge_revoked(root, data, False)
    first, second = archives(root)
    assert first < second and second.startswith(first)
    assert native.purge_reverse(root, data) == 1
    assert archives(root) == [first]
    assert native.purge_reverse(root, data) == 2


def test_symlink_is_purged_where_the_file_is(project, tmp_path):
    root = project["root"]
    real = tmp_path / "real" / "data.jsonl"
    real.parent.mkdir()
    os.replace(project["data"], real)
    link = os.path.join(root, "link.jsonl")
    os.symlink(real, link)
    assert native.purge_revoked(root, link, False)["purged"] == 2
    assert os.path.islink(link) and real.read_bytes() == kept_bytes(project)


def test_hard_link_refused_and_mode_kept(project, listing):
    root, data = project["root"], project["data"]
    os.link(data, data + ".bak")
    before = listing(root)
    with pytest.raises(RuntimeError, match="2 hard links"):
        native.purge_revoked(root, data, False)
    assert listing(root) == before and archives(root) == []
    os.unlink(data + ".bak")
    os.chmod(data, 0o640)
    native.purge_revoked(root, data, False)
    assert stat.S_IMODE(os.stat(data).st_mode) == 0o640


def nested(depth):
    return "[" * (depth - 1) + "{}" + "]" * (depth - 1)


def test_line_whose_record_cannot_be_read_is_not_purged(store, listing):
    data = os.path.join(store, "d.jsonl")
    deep = nested(127)
    open(data, "w").write(deep + "\n")
    list_revoked(store, [deep])
    before = listing(store)
    with pytest.raises(RuntimeError, match="line 1 .* cannot be purged"):
        native.purge_revoked(store, data, False)
    assert listing(store) == before and open(data).read() == deep + "\n"


@pytest.mark.parametrize("bad_line", [
    b"{broken",
    b'{"archived_at":"x","file":"f"}',
    b'{"archived_at":"x","line":' + nested(127).encode() + b"}",
])
def test_reverse_refuses_archive_it_cannot_read(store, bad_line):
    archive_dir = vl(store, "archive")
    good = b'{"archived_at":"x","line":{"a":1}}'
    write(os.path.join(archive_dir, "purge.20250101T000000"), good + b"\n" + bad_line + b"\n")
    data = os.path.join(store, "d.jsonl")
    with pytest.raises(RuntimeError, match="line 2 .*nothing restored"):
        native.purge_reverse(store, data)
    assert archives(store) == ["purge.20250101T000000"] and not os.path.exists(data)


def test_reverse_old_archives_glue_and_no_archive(store, capsys):
    data = os.path.join(store, "d.jsonl")
    assert native.purge_reverse(store, data) == 0
    assert capsys.readouterr().out == "No purge archive found\n"
    archive_dir = vl(store, "archive")
    os.makedirs(archive_dir)
    for stamp, value in (("20250101T000000", {"first": 1}), ("20250102T000000", None)):
        native.jsonl_append(os.path.join(archive_dir, "purge." + stamp), {"archived_at": stamp, "line": value})
    open(data, "wb").write(b'{"last":"no newline"}')
    with open(data, "rb") as held:  # a reader of the old file keeps it whole
        assert native.purge_reverse(store, data) == 1
        assert held.read() == b'{"last":"no newline"}'
    assert native.purge_reverse(store, data) == 1
    assert open(data, "rb").read() == b'{"last":"no newline"}\nnull\n{"first":1}\n'
    assert log_ops(store)[-1][1] == f'restored 1 lines from "{archive_dir}/purge.20250101T000000"'


def test_failed_restore_leaves_data_file_as_it_was(project):
    root, data = project["root"], project["data"]
    native.purge_revoked(root, data, False)
    size = os.path.getsize(data)
    with file_size_limit(size + 10), pytest.raises(RuntimeError, match="too large"):
        native.purge_reverse(root, data)
    assert os.path.getsize(data) == size and len(archives(root)) == 1
    assert native.purge_reverse(root, data) == 2


def test_failed_rewrite_keeps_data_and_drops_archive(project, listing):
    root, data = project["root"], project["data"]
    write(data, b'{"filler": "............................"}\n' * 100, "a")
    before, content = listing(root), open(data, "rb").read()
    # Room for the archive, not for the kept lines.
    with file_size_limit(1000), pytest.raises(RuntimeError, match="too large"):
        native.purge_revoked(root, data, False)
    assert open(data, "rb").read() == content
    assert set(listing(root)) - set(before) <= {".vl/archive"} and archives(root) == []
    assert "purge_archive" not in [op for op, _ in log_ops(root)]


@pytest.fixture
def indexed(project):
    """project with .vl/index.bin naming the shards of Ada's sections and lines,
    and her section reinstated: only the author's revocation counts here."""
    root = project["root"]
    native.revoke_section(root, project["gone"], reverse=True)
    [ada] = [json.loads(t)["id"] for t in native.author_query(root, "Ada", None)]
    lines = [native.compute_hash(v) for v in GONE]
    entries = {ada: [("shard", int(project["gone"][:2], 16))],
               project["gone"]: [("shard", int(h[:2], 16)) for h in lines]}
    binindex.write_index(root, entries)
    return project


def test_indexed_purge(indexed):
    root, data = indexed["root"], indexed["data"]
    with pytest.raises(RuntimeError, match=r"^author 'Ada' is not revoked\. Revoke first with "
                                           r"`vl revoke --author 'Ada'` before purging\.$"):
        native.purge_by_author_indexd(root, "Ada", data, True)
    native.author_add("Ada", "other@example.org", root)
    native.revoke_by_author(root, "Ada")
    assert native.purge_by_author_indexd(root, "Ada", data, True) == {"purged": 2, "kept": 0, "archived": 0}
    assert native.purge_by_author_indexd(root, "Ada", data, False) == {"purged": 2, "kept": 3, "archived": 2}
    assert open(data, "rb").read() == kept_bytes(indexed)
    assert log_ops(root)[-1][1] == f'purged 2 lines from "{data}" (indexed, author=Ada)'


def test_indexed_purge_needs_a_fresh_index(indexed):
    root, data = indexed["root"], indexed["data"]
    native.revoke_by_author(root, "Ada")
    ts = os.stat(binindex.index_path(root)).st_mtime_ns
    native.track({"late": 1}, data, [indexed["gone"]], root)
    shard = native.shard_path_str(root, "document-index", native.compute_hash({"late": 1}))
    os.utime(shard, ns=(ts + 10**9, ts + 10**9))
    with pytest.raises(RuntimeError, match="run `vl index build` first"):
        native.purge_by_author_indexd(root, "Ada", data, False)
    os.unlink(binindex.index_path(root))
    with pytest.raises(RuntimeError, match="^binary index not found, run `vl index build` first$"):
        native.purge_by_author_indexd(root, "Ada", data, True)


def test_bulk_plan_and_purge_with_progress(project):
    from vl import _vl_bulk as bulk
    root, data = project["root"], project["data"]
    assert bulk.purge_plan(root, data) == {"lines": 5, "purged": [2, 4]}
    size, counter = os.path.getsize(data), bytearray(8)
    assert bulk.purge(root, data, None, counter) == {"purged": 2, "kept": 3, "archived": 2}
    assert int.from_bytes(counter, sys.byteorder) == 2 * size
    assert open(data, "rb").read() == kept_bytes(project)
    with pytest.raises(TypeError, match="argument 'progress'"):
        bulk.purge(root, data, None, bytearray(4))
