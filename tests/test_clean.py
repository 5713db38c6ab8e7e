"""The housekeeping pass: log rotation, per-process document index files
folded into the shards, token process files merged per tokenizer, revoked
and orphaned records copied to the layer archives, the split reset."""

import json
import os
import subprocess
import sys

import pytest

import vl._vl_native as native
from tokens import read, vl, write

ZERO = {"document_merged": 0, "pid_files_deleted": 0, "archived_records": 0,
        "log_rotated": 0, "token_index_merged": 0, "token_index_pid_deleted": 0}


def doc(line_hash, file="data.jsonl", **extra):
    return json.dumps({"line_hash": line_hash, "file": file, "sources": [], **extra}) + "\n"


def counts(**changed):
    return {**ZERO, **changed}


def test_without_store_nothing_happens(root, listing):
    assert native.clean(root, True) == ZERO
    assert listing(root) == []
    assert list(native.clean(root, False)) == list(ZERO)


@pytest.mark.parametrize("size,rotated", [(10485760, 0), (10485761, 1)])
def test_log_rotation(store, size, rotated):
    write(vl(store, "log.1"), "older generation\n")
    write(vl(store, "log"), "x" * (size - 1) + "\n")
    assert native.clean(store, False) == counts(log_rotated=rotated)
    log = open(vl(store, "log")).read().splitlines()
    if rotated:
        assert len(log) == 1 and log[0].endswith(" clean split=false")
        assert os.path.getsize(vl(store, "log.1")) == size
    else:
        assert len(log) == 2 and log[1].endswith(" clean split=false")
        assert open(vl(store, "log.1")).read() == "older generation\n"


H = "ab" + "0" * 62


@pytest.mark.parametrize("name,taken", [
    ("docidx.12345", True), ("docidx.abc", True), ("docidx.", True),
    ("docidx.4f", False), ("docidx.A0", False), ("docidx.4f0", True),
])
def test_per_process_file_names(store, name, taken):
    write(vl(store, name), doc(H))
    got = native.clean(store, False)
    assert got == (counts(document_merged=1, pid_files_deleted=1) if taken else ZERO)
    assert os.path.exists(vl(store, name)) != taken
    assert len(native.lookup_document(store, H)) == (1 if taken else 0)


def revocable(layer, key, **flags):
    base = {"authors": {"id": key, "name": "n", "email": "e"},
            "sections": {"section_hash": key, "path": "p", "authors": [], "contributors": [],
                         "license": "l", "year": "y"},
            "document-index": {"line_hash": key, "file": "f", "sources": []}}[layer]
    return {**base, **flags}


@pytest.mark.parametrize("key", [
    "/b" + "0" * 62, "../" + "0" * 61, "..", "a", "", "zz" + "0" * 62, "a/" + "0" * 62,
    "\u00e9" + "0" * 62, 17, None,
])
def test_keys_that_name_no_shard_are_dropped(store, tmp_path, listing, key):
    """A per-process record is appended only to the shard its key's two hex
    digits name, and a revoked record is archived only under such a key;
    every other one is dropped (the per-process file deleted all the same)
    or left alone, and the next clean works."""
    write(vl(store, "sections", "3f"), json.dumps(revocable("sections", key, revoked=True)) + "\n")
    before = listing(str(tmp_path))
    write(vl(store, "docidx.7"), json.dumps({"line_hash": key, "file": "f", "sources": []}) + "\n"
          + doc(H))
    assert native.clean(store, False) == counts(document_merged=1, pid_files_deleted=1)
    after = set(listing(str(tmp_path))) - set(before)
    assert after == {os.path.join("project", ".vl", p) for p in
                     ("document-index/ab", "archive")}
    assert native.clean(store, False) == ZERO


def test_records_are_copied_whole_to_their_shards(store):
    h2 = "CD" + "1" * 62
    records = [{"line_hash": H, "file": "a", "sources": ["s"], "extra": [1, 2]},
               {"line_hash": h2, "file": "b", "sources": []},
               {"line_hash": H, "file": "a", "sources": ["s"], "extra": [1, 2]}]
    write(vl(store, "docidx.1"), "".join(json.dumps(r) + "\n" for r in records[:2])
          + "not json\n\n{\"no\": \"hash\"}\n")
    write(vl(store, "docidx.2"), json.dumps(records[2]))  # no final LF
    assert native.clean(store, False) == counts(document_merged=3, pid_files_deleted=2)
    assert native.shard_read(store, "document-index", H) == [records[0], records[2]]
    assert native.shard_read(store, "document-index", h2) == [records[1]]


def test_left_over_claimed_file_is_folded_in(store):
    """A clean that died after claiming a file leaves it under its claim name;
    the next clean takes it, unless the claimer is still running."""
    with subprocess.Popen([sys.executable, "-c", "import sys; sys.stdin.read()"],
                          stdin=subprocess.PIPE) as alive:
        write(vl(store, f"docidx.clean.{alive.pid}.0"), doc(H))
        dead = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"],
                              capture_output=True, text=True).stdout.strip()
        write(vl(store, f"docidx.clean.{dead}.0"), doc(H))
        assert native.clean(store, False) == counts(document_merged=1, pid_files_deleted=1)
        assert os.listdir(vl(store)).count(f"docidx.clean.{alive.pid}.0") == 1
        alive.stdin.close()
    assert native.clean(store, False) == counts(document_merged=1, pid_files_deleted=1)
    assert len(native.lookup_document(store, H)) == 2


WRITER = r"""
import json, os, sys
path, count = sys.argv[1], int(sys.argv[2])
for i in range(count):
    line = json.dumps({"line_hash": "%02x" % (i % 256) + "0" * 62, "file": "f", "sources": [str(i)]})
    fd = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o666)
    os.write(fd, (line + "\n").encode())
    os.close(fd)
"""


def test_lines_appended_while_clean_runs_are_kept(store):
    """Writers keep appending to their per-process files while clean folds
    them in, again and again: no line is deleted unread, none is doubled."""
    count = 3000
    writers = [subprocess.Popen([sys.executable, "-c", WRITER, vl(store, f"docidx.{w}"), str(count)])
               for w in range(2)]
    merged = 0
    while any(w.poll() is None for w in writers):
        merged += native.clean(store, False)["document_merged"]
    assert all(w.wait() == 0 for w in writers)
    merged += native.clean(store, False)["document_merged"]
    docs = native.read_all_documents(store)
    assert merged == len(docs) == 2 * count
    assert sorted(int(d["sources"][0]) for d in docs) == sorted(list(range(count)) * 2)


def entry(count, sources, tokenizer):
    # As json.dumps writes it, with spaces: another form than the merge stores.
    return json.dumps({"token_count": count, "sources": sources, "tokenizer": tokenizer,
                       "revoked": False}) + "\n"


def test_token_files_of_every_tokenizer(store):
    """Tokenizer "m" takes only its own process files: those of "m.v2" (and
    its binary index) belong to "m.v2"."""
    write(vl(store, "token-index.m.100"), entry(1, ["a"], "m") + entry(2, ["b"], "m"))
    write(vl(store, "token-index.m.v2.200"), entry(3, ["c"], "m.v2"))
    write(vl(store, "token-index.m.v2.bin"), "not an index of m")
    got = native.clean(store, False)
    assert (got["token_index_merged"], got["token_index_pid_deleted"]) == (3, 2)
    for t, total in (("m", 3), ("m.v2", 3)):
        assert native.token_index_token_status(store, t)["total_tokens"] == total
    assert os.path.exists(vl(store, "token-index.m.v2.bin"))
    assert not [n for n in os.listdir(vl(store)) if n.startswith("token-index.m.") and
                n.rsplit(".", 1)[-1].isdigit()]


@pytest.mark.parametrize("layer", ["authors", "sections", "document-index"])
@pytest.mark.parametrize("flags,archived", [
    ({"revoked": True}, True), ({"orphan": True, "revoked": False}, True),
    ({"revoked": "true"}, False), ({"revoked": False}, False), ({}, False),
])
def test_archiving(store, layer, flags, archived):
    key = "3f" + "e" * 62
    record = revocable(layer, key, **flags)
    native.jsonl_append(native.shard_path_str(store, layer, key), record)
    for run in (1, 2):
        assert native.clean(store, False) == counts(archived_records=int(archived))
        copies = native.jsonl_read(vl(store, "archive", layer + ".3f"))
        assert copies == [record] * (run if archived else 0)
    assert native.shard_read(store, layer, key) == [record]


@pytest.mark.parametrize("split", [True, False])
def test_split_reset(store, split):
    write(vl(store, "split", "sub", "part.jsonl"), "x\n")
    native.clean(store, split)
    assert os.listdir(vl(store, "split")) == ([] if split else ["sub"])
    assert open(vl(store, "log")).read().endswith(f" clean split={str(split).lower()}\n")


def test_token_binary_index_is_replaced_not_rewritten(store):
    """A reader that mapped the old binary index keeps reading it whole while
    clean puts a new one in its place."""
    import mmap
    write(vl(store, "token-index.t.1"), entry(1, ["a" * 64], "t"))
    native.clean(store, False)
    path = vl(store, "token-index.t.bin")
    with open(path, "rb") as f:
        old = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
    before = bytes(old)
    write(vl(store, "token-index.t.2"), entry(2, ["b" * 64], "t") + entry(3, ["a" * 64], "t"))
    native.clean(store, False)
    assert bytes(old) == before and before[13:17] == (1).to_bytes(4, "little")
    assert read(path)[13:17] == (3).to_bytes(4, "little")
    assert not [n for n in os.listdir(vl(store)) if n.startswith(".")]
