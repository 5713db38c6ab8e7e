"""Killing a purge or a revocation at any step loses nothing.

A child process runs the operation with VL_CRASH_AT=k, which makes it kill
itself (SIGKILL) at the k-th file-system step; k runs from 1 until the child
finishes.  After every kill the data file plus the archive must hold every
original line exactly once, or at least once while the archive is written
but the data file not yet replaced; a revoked shard is the old one or the
new one; and nothing outside the data file's directory and .vl changed."""

import collections
import json
import os
import pathlib
import shutil
import signal
import subprocess
import sys
import tempfile

import pytest

import vl._vl_native as native

# One process imports the module once and forks a child per run; the child
# sets its crash step and runs the operation.  (The parent never runs an
# operation itself, so no worker pool exists before the fork.)
ZYGOTE = r"""
import os, sys
import vl._vl_native as n
for request in sys.stdin:
    k, name, *args = request.rstrip("\n").split("\t")
    pid = os.fork()
    if pid == 0:
        os.environ["VL_CRASH_AT"] = k
        try:
            getattr(n, name)(*[eval(a) for a in args])
        except BaseException as e:
            print(e, file=sys.stderr)
            os._exit(1)
        os._exit(0)
    _, status = os.waitpid(pid, 0)
    print(status, flush=True)
"""


def copy_or_link(src, dst):
    # Record shards are only ever replaced, never changed in place, so the
    # copies may share them; everything else is copied.
    if os.sep + ".vl" + os.sep in src and os.path.basename(os.path.dirname(src)) in LAYERS:
        os.link(src, dst)
    else:
        shutil.copy2(src, dst)


LAYERS = {"authors", "sections", "document-index"}


@pytest.fixture
def runner(tmp_path):
    """runner(template, args, check) runs the operation killed at step
    1, 2, ... on fresh copies of `template` until it finishes, calling
    check(copy, killed) after each run; returns the number of kills.
    `args` are Python literals in which {} stands for the copy's path."""
    # In memory when possible: the operations flush to disk at every step.
    base = tempfile.mkdtemp(dir="/dev/shm") if os.path.isdir("/dev/shm") else str(tmp_path)
    proc = subprocess.Popen([sys.executable, "-P", "-c", ZYGOTE], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, text=True,
                            env=dict(os.environ, RAYON_NUM_THREADS="2"))

    def run(template, name, args, check):
        # A copy beside the runs, which may then share its record shards.
        template = shutil.copytree(template, os.path.join(base, "template"), symlinks=True)
        k = 0
        while True:
            k += 1
            work = os.path.join(base, f"run{k}")
            shutil.copytree(template, work, symlinks=True, copy_function=copy_or_link)
            argv = [repr(a.replace("{}", work)) if isinstance(a, str) else repr(a) for a in args]
            proc.stdin.write("\t".join([str(k), name, *argv]) + "\n")
            proc.stdin.flush()
            status = int(proc.stdout.readline())
            killed = os.WIFSIGNALED(status) and os.WTERMSIG(status) == signal.SIGKILL
            assert killed or (os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0), status
            check(pathlib.Path(work), killed)
            shutil.rmtree(work)
            if not killed:
                return k - 1
            assert k < 1000

    yield run
    proc.stdin.close()
    proc.wait()
    shutil.rmtree(base, ignore_errors=True)


def snapshot(top, skip):
    """(path, size, mtime) of every file below `top` outside `skip` dirs."""
    out = []
    for d, dirs, files in os.walk(top):
        dirs[:] = [x for x in dirs if os.path.relpath(os.path.join(d, x), top) not in skip]
        for name in files:
            st = os.lstat(os.path.join(d, name))
            out.append((os.path.relpath(os.path.join(d, name), top), st.st_size, st.st_mtime_ns))
    return sorted(out)


@pytest.fixture
def purge_template(tmp_path):
    """tmp/t: project/.vl with a revoked section, data/train.jsonl whose
    lines are tracked (every fifth under the revoked section), other/ files."""
    top = tmp_path / "t"
    root, data_dir, other = top / "project", top / "data", top / "other"
    for d in (root, data_dir, other):
        d.mkdir(parents=True)
    (other / "keep.txt").write_text("untouched\n")
    native.init(str(root))
    a = native.author_add("Ada", "ada@example.org", str(root))
    gone = native.register_section("gone.md", [a], [], "CC0", "2024", str(root))
    lines, purged = [], []
    for i in range(1300):
        value = {"i": i, "text": "ünïcode line " + "x" * (150 + i % 50), "nested": {"n": [i, i / 7]}}
        line = json.dumps(value, ensure_ascii=False)
        lines.append(line)
        if i % 5 == 0:
            native.track(value, str(data_dir / "train.jsonl"), [gone], str(root))
            purged.append(line)
    (data_dir / "train.jsonl").write_text("\n".join(lines) + "\n")
    native.revoke_section(str(root), gone)
    return top, lines, purged


def test_killed_purge_loses_no_line(purge_template, runner):
    top, lines, purged = purge_template
    original = collections.Counter(lines)
    kept = [line for line in lines if line not in set(purged)]
    outside = snapshot(top, {"data", "project/.vl"})

    def check(work, killed):
        data = (work / "data" / "train.jsonl").read_text().splitlines()
        archived = []
        archive_dir = work / "project" / ".vl" / "archive"
        if archive_dir.is_dir():
            for name in os.listdir(archive_dir):
                archived += [r["text"] for r in native.jsonl_read(str(archive_dir / name))]
        assert snapshot(work, {"data", "project/.vl"}) == outside
        if data == lines:
            # Not replaced yet: the archive may hold some purged lines.
            assert not collections.Counter(archived) - collections.Counter(purged)
        else:
            assert data == kept and archived == purged
            assert collections.Counter(data) + collections.Counter(archived) == original
        if not killed:
            assert data == kept

    # The temporary file, the archive, their writes and syncs, the rename
    # and the log lines: each is a step a kill can stop before.
    steps = runner(top, "purge_revoked", ["{}/project", "{}/data/train.jsonl", False], check)
    assert steps >= 50, steps


def test_killed_revocation_leaves_old_or_new_shard(tmp_path, runner):
    top = tmp_path / "t"
    root = top / "project"
    root.mkdir(parents=True)
    native.init(str(root))
    a = native.author_add("Ada", "ada@example.org", str(root))
    section = native.register_section("s.md", [a], [], "CC0", "2024", str(root))
    shard = native.shard_path_str(str(root), "sections", section)
    with open(shard, "a") as f:  # neighbours the rewrite must carry over
        for i in range(500):
            f.write(json.dumps({"section_hash": section[:2] + "%062d" % i, "pad": "y" * 100}) + "\n")
    old = open(shard, "rb").read()
    relative = os.path.relpath(shard, root)
    seen = set()

    def check(work, killed):
        now = (work / "project" / relative).read_bytes()
        revoked = [r.get("revoked") for r in native.jsonl_read(str(work / "project" / relative))
                   if r.get("section_hash") == section]
        assert now == old or (revoked == [True] and len(now.splitlines()) == 501)
        seen.add(now == old)

    steps = runner(top, "revoke_section", ["{}/project", section], check)
    assert steps >= 3 and seen == {True, False}
