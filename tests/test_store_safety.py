"""Store safety under failing writes and hostile arguments: a torn line never
hides the next record, a failed token write leaves no document record behind,
paths with NUL, FIFOs and huge sequence lengths are refused cleanly."""

import itertools
import json
import os
import pathlib
import subprocess
import sys

import pytest

import vl._vl_native as native

# Runs BEFORE, then FIRST with the file size capped at LIMIT bytes (it must
# fail part-way), then SECOND without the cap, in one child process (token
# files are per process).  Prints the error of FIRST.
CHILD = """
import resource, sys
import vl._vl_native as native
root = sys.argv[1]
{before}
soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
resource.setrlimit(resource.RLIMIT_FSIZE, ({limit}, hard))
try:
    {first}
    print("no error")
except RuntimeError as e:
    print(e)
resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
{second}
"""


def child(store, first, second="", before="", limit=40):
    """Runs CHILD on `store`; returns what it printed."""
    code = CHILD.format(before=before, limit=limit, first=first, second=second)
    return subprocess.run([sys.executable, "-c", code, store], capture_output=True, text=True, check=True).stdout


LONG = "x" * 100


def same_shard_authors():
    """Two (name, email) pairs whose author ids share a shard."""
    def shard(name, email):
        return native.compute_hash({"email": email, "name": name})[:2]
    n = next(n for n in itertools.count() if shard(f"b{n}", "b@x") == shard(LONG, "a@x"))
    return (LONG, "a@x"), (f"b{n}", "b@x")


FIRST_AUTHOR, SECOND_AUTHOR = same_shard_authors()


@pytest.mark.parametrize("first, second, check", [
    (f"native.author_add({FIRST_AUTHOR[0]!r}, {FIRST_AUTHOR[1]!r}, root)",
     f"native.author_add({SECOND_AUTHOR[0]!r}, {SECOND_AUTHOR[1]!r}, root)",
     lambda r: [json.loads(a)["name"] for a in native.author_query(r, None, None)] == [SECOND_AUTHOR[0]]),
    (f"native.jsonl_append(root + '/data.jsonl', {{'k': {LONG!r}}})",
     "native.jsonl_append(root + '/data.jsonl', {'k': 2})",
     lambda r: native.jsonl_read(r + "/data.jsonl") == [{"k": 2}]),
    (f"native.oplog_append(root, 'op', {LONG!r})",
     "native.oplog_append(root, 'second', 'd')",
     lambda r: open(r + "/.vl/log").read().splitlines()[-1].endswith(" second d")),
    (f"native.token_index_write_pid(root, 't', 1, [{LONG!r}])",
     "native.token_index_write_pid(root, 't', 7, ['s'])",
     lambda r: native.token_index_merge_pid_files(r, "t") == (1, 1)
     and native.token_index_token_status(r, "t")["total_tokens"] == 7),
    (f"native.index_document(root, '3f' + 'a' * 62, {LONG!r}, [])",
     "native.index_document(root, '3f' + 'b' * 62, 'f', [])",
     lambda r: len(native.lookup_document(r, "3f" + "b" * 62)) == 1),
])
def test_a_write_torn_by_the_file_size_limit_does_not_hide_the_next_record(store, first, second, check):
    assert child(store, first, second).strip() == "File too large (os error 27)"
    assert check(store)


def test_a_failing_token_file_leaves_no_document_record(store):
    # The process's own token file cannot be opened: a directory holds its name.
    os.mkdir(os.path.join(store, ".vl", f"token-index.t.{os.getpid()}"))
    with pytest.raises(RuntimeError):
        native.track({"a": 1}, "f", [], store, 5, "t")
    assert native.read_all_documents(store) == []
    os.rmdir(os.path.join(store, ".vl", f"token-index.t.{os.getpid()}"))
    native.track({"a": 1}, "f", [], store, 5, "t")
    assert len(native.read_all_documents(store)) == 1


@pytest.mark.parametrize("call", [
    lambda r: native.author_add("Eve", "e@x", r + "/victim.txt\0"),
    lambda r: native.jsonl_append(r + "/data.jsonl\0.bak", {"a": 1}),
    lambda r: native.init(r + "/newdir\0"),
    lambda r: native.jsonl_read(r + "/data.jsonl\0"),
    lambda r: native.track(1, "f\0", [], r),
    lambda r: native.merge_absorb(r + "\0", r),
])
def test_a_nul_byte_in_a_path_is_refused_before_anything_is_touched(store, listing, call):
    open(os.path.join(store, "victim.txt"), "w").close()
    native.jsonl_append(os.path.join(store, "data.jsonl"), 0)
    before = listing(store), open(os.path.join(store, "data.jsonl"), "rb").read()
    with pytest.raises(ValueError, match="embedded null byte"):
        call(store)
    assert (listing(store), open(os.path.join(store, "data.jsonl"), "rb").read()) == before
    assert os.path.getsize(os.path.join(store, "victim.txt")) == 0


@pytest.mark.parametrize("call", [
    lambda r, h: native.lookup_document(r, h),
    lambda r, h: native.shard_read(r, "document-index", h),
    lambda r, h: native.jsonl_read(os.path.join(r, ".vl", "document-index", h[:2])),
    lambda r, h: native.jsonl_append(os.path.join(r, ".vl", "document-index", h[:2]), 1),
    lambda r, h: native.blame(r, "data.jsonl", "1"),
])
def test_a_fifo_is_refused_without_blocking(store, call):
    h = native.compute_hash(1)
    os.mkfifo(os.path.join(store, ".vl", "document-index", h[:2]))
    with pytest.raises(RuntimeError, match="not a regular file"):
        call(store, h)


@pytest.mark.parametrize("call, param", [
    (lambda: native.blame_diff(range(2**61), []), "old_lines"),
    (lambda: native.register_section("p", range(2**62), [], "l", "y", "/nonexistent"), "authors"),
    (lambda: native.write_forget_set("/nonexistent/x", range(2**61)), None),
])
def test_a_huge_sequence_of_the_wrong_type_is_a_type_error(call, param):
    with pytest.raises((TypeError, OverflowError)) as info:
        call()
    assert param is None or str(info.value).startswith(f"argument '{param}': ")


def test_a_failed_token_merge_leaves_no_partial_file_and_a_retry_folds_once(store):
    out = child(store, 'native.token_index_merge_pid_files(root, "t")', limit=3000,
                before='for i in range(100): native.token_index_write_pid(root, "t", i, ["s" * 20])')
    assert out.strip() == "File too large (os error 27)"
    assert native.token_index_token_status(store, "t")["total_entries"] == 0
    assert native.token_index_merge_pid_files(store, "t") == (100, 1)
    status = native.token_index_token_status(store, "t")
    assert (status["total_entries"], status["total_tokens"]) == (100, sum(range(100)))
    assert sorted(os.listdir(os.path.join(store, ".vl", "token-index.t"))) == ["001"]


def test_a_merge_that_stopped_after_numbering_its_file_is_not_folded_again(store):
    # The state a merge leaves when it stops between giving the merged file
    # its number and removing the staging file.
    merged = os.path.join(store, ".vl", "token-index.t")
    os.makedirs(merged)
    line = '{"revoked":false,"sources":["s"],"token_count":3,"tokenizer":"t"}\n'
    staging = f"merging.{os.getpid()}.0"
    for name in (staging, f".{staging}.fold"):
        pathlib.Path(merged, name).write_text(line)
    os.link(os.path.join(merged, f".{staging}.fold"), os.path.join(merged, "001"))
    native.token_index_merge_pid_files(store, "t")
    assert native.token_index_token_status(store, "t")["total_entries"] == 1
    assert os.listdir(merged) == ["001"]
