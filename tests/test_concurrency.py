"""Several processes on one store: appends from many writers, merges that run
while writers append, and the worker pool sized from the environment."""

import collections
import json
import os
import subprocess
import sys

import pytest

import vl._vl_native as native

WORKER = r"""
import os, sys
import vl._vl_native as n
root, kind, tag, count = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
print("ready", flush=True)
sys.stdin.read()  # released when the parent closes our stdin
if kind == "track":
    for i in range(count):
        data = {"writer": tag, "i": i, "text": "word " * (i % 40)}
        n.track(data, f"data/{tag}.jsonl", [f"{tag}-{i}"], root, token_count=i + 1, tokenizer="tok")
        n.token_index_write_pid(root, "tok", 1000, [f"{tag}-{i}", "direct"])
elif kind == "write":
    for i in range(count):
        n.token_index_write_pid(root, "t", 1, [f"{tag}-{i}"])
elif kind == "merge":
    merged, last = 0, False
    while not last:  # one more merge after the writers are done
        last = os.path.exists(os.path.join(root, "writers-done"))
        merged += n.token_index_merge_pid_files(root, "t")[0]
    print(merged)
"""


def start(root, jobs):
    """Starts one child per (kind, tag, count), all released at once."""
    procs = [subprocess.Popen([sys.executable, "-c", WORKER, root, kind, tag, str(count)], cwd=root,
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
             for kind, tag, count in jobs]
    for p in procs:
        assert p.stdout.readline() == "ready\n"
    for p in procs:
        p.stdin.close()
    return procs


def finish(p):
    out = p.stdout.read()
    assert p.wait() == 0
    return out


def lines_in(directory, names=None):
    """The records of the files of `directory` (or only those named), each file
    ending in a complete line."""
    out = []
    for name in names or os.listdir(directory):
        with open(os.path.join(directory, name), "rb") as f:
            data = f.read()
        assert data.endswith(b"\n"), name
        out += [json.loads(line) for line in data.split(b"\n")[:-1]]
    return out


def test_concurrent_tracking_loses_and_tears_no_line(store):
    writers, calls = 4, 500
    procs = start(store, [("track", f"w{k}", calls) for k in range(writers)])
    for p in procs:
        finish(p)
    docs = lines_in(os.path.join(store, ".vl", "document-index"))
    assert len(docs) == len(native.read_all_documents(store)) == writers * calls
    assert sorted(d["sources"][0] for d in docs) == sorted(
        f"w{k}-{i}" for k in range(writers) for i in range(calls))
    pid_files = {n for n in os.listdir(os.path.join(store, ".vl")) if n.startswith("token-index.")}
    assert pid_files == {f"token-index.tok.{p.pid}" for p in procs}
    for name in pid_files:
        assert len(lines_in(os.path.join(store, ".vl"), [name])) == 2 * calls
    assert native.token_index_merge_pid_files(store, "tok") == (2 * writers * calls, writers)
    assert native.token_index_token_status(store, "tok") == {
        "total_entries": 2 * writers * calls, "active_entries": 2 * writers * calls,
        "revoked_entries": 0, "total_tokens": writers * (sum(range(1, calls + 1)) + 1000 * calls)}


def test_merges_running_alongside_writers_lose_and_repeat_no_line(store):
    writers, calls = 3, 1500
    procs = start(store, [("write", f"w{k}", calls) for k in range(writers)]
                  + [("merge", "m1", 0), ("merge", "m2", 0)])
    for p in procs[:writers]:
        finish(p)
    open(os.path.join(store, "writers-done"), "w").close()
    merged = sum(int(finish(p)) for p in procs[writers:])
    merged += native.token_index_merge_pid_files(store, "t")[0]
    assert merged == writers * calls
    merged_dir = os.path.join(store, ".vl", "token-index.t")
    assert all(name.isdigit() for name in os.listdir(merged_dir))
    seen = collections.Counter(e["sources"][0] for e in lines_in(merged_dir))
    assert seen == collections.Counter(f"w{k}-{i}" for k in range(writers) for i in range(calls))
    assert not [n for n in os.listdir(os.path.join(store, ".vl")) if n.startswith("token-index.t.")]
    assert native.token_index_token_status(store, "t")["total_entries"] == writers * calls


QUERIES = [(None, None), ("name4", None), (None, "user17@x.org")]
SCAN = r"""
import json, os, sys
import vl._vl_native as n
root, wanted = sys.argv[1], int(sys.argv[2])
result = [n.author_query(root, name, email) for name, email in %r]
# Workers start on demand: scan again until the pool has grown to the size
# wanted (bounded, so a pool that never grows ends the loop too).
threads = len(os.listdir("/proc/self/task"))
for _ in range(400):
    if threads >= wanted:
        break
    n.author_query(root, None, None)
    threads = max(threads, len(os.listdir("/proc/self/task")))
print(json.dumps({"result": result, "threads": threads}))
""" % (QUERIES,)


@pytest.fixture(scope="module")
def many_authors(tmp_path_factory):
    root = str(tmp_path_factory.mktemp("pool") / "project")
    native.init(root)
    for k in range(600):
        native.author_add(f"name{k % 9}", f"user{k % 50}@x.org", root)
    return root


@pytest.mark.parametrize("env, limit", [
    ({"RAYON_NUM_THREADS": "1"}, 1),
    ({"RAYON_NUM_THREADS": "3"}, 3),
    ({"RAYON_NUM_THREADS": "3", "RAYON_RS_NUM_CPUS": "1"}, 3),
    ({"RAYON_RS_NUM_CPUS": "2"}, 2),
    ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "1"}, 1),
    ({}, None),
])
def test_author_scan_is_the_same_whatever_the_pool_size(many_authors, env, limit):
    expected = [native.author_query(many_authors, name, email) for name, email in QUERIES]
    assert [len(r) for r in expected] == [600, 67, 12]
    full = dict({k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}, **env)
    out = subprocess.run([sys.executable, "-c", SCAN, many_authors, str(limit or 1)], env=full,
                         check=True, capture_output=True, text=True, cwd=many_authors).stdout
    child = json.loads(out)
    assert child["result"] == expected
    # As many threads work as the pool size says (whether or not the calling
    # thread counts as one of them), and no more than it allows.
    assert (limit or 1) <= child["threads"] <= 1 + (limit or os.cpu_count()) + 2
