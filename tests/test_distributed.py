"""Tracking, purging and restoring on a local Dask cluster of two worker
processes: the store and the data files end up as the same work done in one
process leaves them, also when a worker dies in the middle of a task, and a
run that fails leaves the store untouched."""

import json
import logging
import os
import shutil

import pytest

pytest.importorskip("distributed")
pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")

import vl._vl_native as native  # noqa: E402
from vl import distributed as vd  # noqa: E402
from vl._cli_track import TrackResult, track_file  # noqa: E402
from vl.tokenizers import load  # noqa: E402
from tokens import log_ops, read  # noqa: E402


@pytest.fixture(scope="module")
def client():
    from distributed import Client, LocalCluster

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                      silence_logs=logging.ERROR) as lc, Client(lc) as c:
        c.wait_for_workers(2)
        yield c


def set_hook(client, hook):
    client.run(lambda: setattr(vd, "_task_hook", hook))


def crash_once(marker):
    """A hook that ends its worker process the first time any task reaches it."""

    def hook(name, attempt):
        try:
            fd = os.open(marker, os.O_CREAT | os.O_EXCL | os.O_WRONLY)
        except FileExistsError:
            return
        os.close(fd)
        os._exit(1)

    return hook


def lines_of(n, seed):
    # Repeated texts give equal lines (equal line hashes) and equal token
    # entries in different parts.
    return [json.dumps({"id": i % 7, "text": " ".join(["w"] * (1 + (i * seed) % 5))}).encode() for i in range(n)]


@pytest.fixture
def corpus(tmp_path):
    base = tmp_path / "p"
    base.mkdir()
    native.init(str(base))
    ada = native.author_add("Ada", "ada@example.org", str(base))
    kept = native.register_section("kept.md", [ada], [], "CC0", "2024", str(base))
    gone = native.register_section("gone.md", [ada], [], "CC0", "2024", str(base))
    files = {
        "a.jsonl": lines_of(120, 3) + [b"", b"{not json", b"\xff\xfe"] + lines_of(40, 2),
        "b.jsonl": lines_of(30, 5),
        "c.jsonl": [b'{"text": "only"}'],
    }
    for name, lines in files.items():
        (base / name).write_bytes(b"\n".join(lines) + b"\n")
    # Lines recorded before the run: the run's records follow them.
    native.track({"text": "earlier"}, "earlier.jsonl", [kept], str(base), 1, "whitespace")
    return {"root": str(base), "files": sorted(files), "kept": kept, "gone": gone}


def track_one_process(root, files, sources):
    tokenizer = load("whitespace")
    for name in files:
        track_file(root, os.path.join(root, name), name, sources, tokenizer=tokenizer, text_field=None,
                   already={}, result=TrackResult(), on_invalid=lambda n, why: None, advance=lambda n: None)
    native.token_index_merge_pid_files(root, "whitespace")


def store_files(root):
    return {f"{layer}/{e.name}": read(e.path) for layer in ("authors", "sections", "document-index")
            for e in os.scandir(os.path.join(root, ".vl", layer)) if e.is_file()}


def token_lines(root):
    return b"".join(open(p, "rb").read() for p in vd._merged_files(root, "whitespace")).splitlines()


def test_track_on_the_cluster_gives_the_store_of_one_process(corpus, client, tmp_path):
    one = str(tmp_path / "one")
    shutil.copytree(corpus["root"], one)
    native.token_index_merge_pid_files(corpus["root"], "whitespace")
    shutil.copytree(corpus["root"], str(tmp_path / "before"))
    track_one_process(one, corpus["files"], [corpus["kept"]])

    marker = str(tmp_path / "crashed")
    set_hook(client, crash_once(marker))
    seen = []
    result = vd.track(corpus["root"], [(os.path.join(corpus["root"], n), n) for n in corpus["files"]],
                      [corpus["kept"]], "whitespace", client=client, chunk_bytes=700, fan_in=3,
                      forget_set=str(tmp_path / "forget"), progress=lambda done, total: seen.append((done, total)))
    many = corpus["root"]
    assert os.path.exists(marker), "no worker was ended mid-way"
    assert result.parts > 3 and result.depth >= 2
    assert [(f.file, f.recorded, [n for n, _ in f.invalid]) for f in result.files] == [
        ("a.jsonl", 160, [122, 123]), ("b.jsonl", 30, []), ("c.jsonl", 1, [])]
    assert store_files(many) == store_files(one)
    assert token_lines(many) == token_lines(one)
    assert native.token_index_token_status(many, "whitespace") == native.token_index_token_status(one, "whitespace")
    assert len({done for done, _ in seen}) > 2 and seen[-1][0] == seen[-1][1]  # the tasks reported
    assert os.listdir(os.path.join(many, ".vl", "split")) == []
    log = log_ops(many)
    assert log[-4:-1] == [["track", "file=a.jsonl lines=160 already=0 invalid=2"],
                          ["track", "file=b.jsonl lines=30 already=0 invalid=0"],
                          ["track", "file=c.jsonl lines=1 already=0 invalid=0"]]
    assert log[-1][0] == "track_distributed"

    # The same revocation gives the same forget set.
    for root in (one, many):
        native.token_index_revoke_by_sources(root, "whitespace", {corpus["kept"]})
    assert native.generate_forget_set(many, "whitespace") == native.generate_forget_set(one, "whitespace")
    # Written once at the end, when nothing was revoked.
    assert (tmp_path / "forget").read_bytes() == bytes(192 // 8)

    # A second run skips what is recorded, like a re-run of vl track.
    again = vd.track(many, [(os.path.join(many, "b.jsonl"), "b.jsonl")], [corpus["kept"]], "whitespace",
                     client=client, chunk_bytes=100)
    assert [(f.recorded, f.already) for f in again.files] == [(0, 30)]


def test_failed_run_leaves_the_store_as_it_was(corpus, client, tmp_path):
    before = store_files(corpus["root"])
    set_hook(client, lambda name, attempt: (_ for _ in ()).throw(RuntimeError("disk on fire")))
    try:
        with pytest.raises(vd.DistributedError, match="disk on fire"):
            vd.track(corpus["root"], [os.path.join(corpus["root"], n) for n in corpus["files"]],
                     [corpus["kept"]], "whitespace", client=client, chunk_bytes=700)
    finally:
        set_hook(client, None)
    assert store_files(corpus["root"]) == before
    assert native.token_index_token_status(corpus["root"], "whitespace")["total_entries"] == 0
    assert os.listdir(os.path.join(corpus["root"], ".vl", "split")) == []


def test_purge_and_restore_on_the_cluster(corpus, client, tmp_path):
    root = corpus["root"]
    names = corpus["files"]
    for name in names[:2]:
        for raw in open(os.path.join(root, name), "rb").read().splitlines()[::3]:
            try:
                native.track(json.loads(raw), name, [corpus["gone"]], root)
            except ValueError:
                pass
    native.revoke_section(root, corpus["gone"])
    one = str(tmp_path / "one")
    shutil.copytree(root, one)
    one_by_one = [native.purge_revoked(one, os.path.join(one, n), False) for n in names]

    marker = str(tmp_path / "crashed")
    set_hook(client, crash_once(marker))
    result = vd.purge(root, [os.path.join(root, n) for n in names], client=client)
    assert os.path.exists(marker)
    assert [{k: r[k] for k in ("purged", "kept", "archived")} for r in result["files"]] == one_by_one
    assert result["purged"] == sum(r["purged"] for r in one_by_one) > 0
    for n in names:
        assert open(os.path.join(root, n), "rb").read() == open(os.path.join(one, n), "rb").read()

    def archived(r):
        d = os.path.join(r, ".vl", "archive")
        return [rec for a in sorted(os.listdir(d)) for rec in native.jsonl_read(os.path.join(d, a))]

    records = archived(root)
    assert [r["line"] for r in records] == [r["line"] for r in archived(one)]
    assert [r["file"] for r in records] == sorted(r["file"] for r in records)

    purged = {n: open(os.path.join(root, n), "rb").read() for n in names}
    restored = vd.restore(root, client=client)
    assert restored["restored"] == len(records)
    for n in names:
        back = b"".join(r["text"].encode() + b"\n" for r in records if r["file"] == os.path.join(root, n))
        assert open(os.path.join(root, n), "rb").read() == purged[n] + back
    assert os.listdir(os.path.join(root, ".vl", "archive")) == []


def test_track_purge_and_restore_commands_on_a_scheduler(tmp_path, client):
    from clirun import run

    root = tmp_path / "proj"
    (root / "data").mkdir(parents=True)
    lines = {n: b"\n".join(lines_of(40, seed)) + b"\n" for n, seed in (("a", 3), ("b", 5))}
    for n, data in lines.items():
        (root / "data" / f"{n}.jsonl").write_bytes(data)
    files = ["data/a.jsonl", "data/b.jsonl"]
    where = ["--scheduler", client.scheduler.address]

    def vl(*args, code=0):
        return run(*args, cwd=root, code=code)

    vl("init")
    vl("author", "add", "Ada", "ada@example.org")
    vl("section", "add", "notes.md", "--author", "Ada", "--license", "CC0", "--year", "2024")
    assert "tracked 2 files" in vl("track", *files, "-s", "notes.md", "-t", "whitespace", *where).stderr
    assert len(native.read_all_documents(str(root))) == 80
    vl("revoke", "--section", "notes.md")
    purged = json.loads(vl("purge", *files, "--yes", "--json", *where).stdout)
    assert (purged["purged"], purged["kept"], [f["file"] for f in purged["files"]]) == (80, 0, files)
    assert all((root / f).read_bytes() == b"" for f in files)
    assert json.loads(vl("restore", *files, "--json", *where).stdout)["restored"] == 80
    assert sorted((root / f"data/{n}.jsonl").read_bytes().splitlines() for n in lines) == \
        sorted(data.splitlines() for data in lines.values())
    assert "give one of them" in vl("track", *files, "--workers", "2", *where, code=2).stderr
