"""vl clean and vl merge as a user runs them."""

import json
import os

import clirun

import vl._vl_native as native
from tokens import read, vl, write


def run(root, *args, code=0):
    return clirun.run(*args, cwd=root, code=code)


def project(path, line):
    """A project whose one tracked line waits in a per-process token file."""
    os.makedirs(path)
    run(path, "init")
    run(path, "author", "add", "Ada", "ada@example.org")
    run(path, "section", "add", "notes.md", "--author", "Ada", "--license", "MIT", "--year", "2024")
    write(os.path.join(path, "d.jsonl"), json.dumps(line) + "\n")
    run(path, "track", "d.jsonl", "--source", "notes.md", "--tokenizer", "whitespace")
    return path


def snapshot(root):
    return {os.path.join(d, n): read(os.path.join(d, n))
            for d, _, files in os.walk(vl(root)) for n in files}


def test_clean_dry_run_reports_without_changing(tmp_path):
    root = project(str(tmp_path / "p"), {"t": 1})
    write(vl(root, "docidx.worker-7"),
          json.dumps({"line_hash": "ab" * 32, "file": "x", "sources": []}) + "\n")
    before = snapshot(root)
    dry = json.loads(run(root, "clean", "--dry-run", "--json").stdout)
    assert snapshot(root) == before
    real = json.loads(run(root, "clean", "--json").stdout)
    assert (dry.pop("dry_run"), real.pop("dry_run")) == (True, False)
    assert dry == real == {"document_merged": 1, "pid_files_deleted": 1, "archived_records": 0,
                           "log_rotated": 0, "token_index_merged": 1, "token_index_pid_deleted": 1}


def test_merge_of_several_sources(tmp_path):
    a = project(str(tmp_path / "a"), {"t": 1})
    b = project(str(tmp_path / "b"), {"t": 2})
    run(a, "clean")
    target = str(tmp_path / "target")
    os.makedirs(target)
    run(target, "init")
    first = run(target, "merge", a, vl(b), "--json")
    rows = [json.loads(line) for line in first.stdout.splitlines()]
    assert [(r["source"], r["document_added"], r["token_index_added"]) for r in rows] == [
        (a, 1, 1), (b, 1, 0)]
    assert "not folded in (run vl clean there first)" in first.stderr
    again = [json.loads(line) for line in run(target, "merge", a, b, "--json").stdout.splitlines()]
    assert [r["authors_added"] + r["document_added"] + r["token_index_added"] for r in again] == [0, 0]
    assert len(native.read_all_documents(target)) == 2
    err = run(target, "merge", str(tmp_path / "nowhere"), code=1).stderr
    assert "holds no vl store" in err
