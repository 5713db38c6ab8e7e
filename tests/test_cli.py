"""The vl command line as a user runs it: discovery, exit codes, references,
machine output, safe re-runs, interruption and bad input."""

import json
import re
import signal
import subprocess
import sys
import textwrap

import click
import pytest
from clirun import run

import vl._vl_native as native
from vl.cli import main

ADA, BOB = ("Ada Lovelace", "ada@example.org"), ("Bob Byron", "bob@example.org")
ADA_ID = native.compute_hash({"name": ADA[0], "email": ADA[1]})
TRAIN = ['{"text": "The Analytical Engine weaves", "id": 1}', '{"text": "algebraic patterns", "id": 2}']


@pytest.fixture
def proj(tmp_path):
    """A project with two authors, two sections, a tracked data file in data/."""
    root = tmp_path / "proj"
    (root / "data" / "deep").mkdir(parents=True)
    run("init", cwd=root)
    assert run("author", "add", *ADA, cwd=root).stdout.strip() == ADA_ID
    run("author", "add", *BOB, cwd=root)
    run("section", "add", "notes/engine.md", "--author", "Ada Lovelace", "--license", "CC-BY-4.0",
        "--year", "1843", cwd=root)
    run("section", "add", "poems/childe.md", "--author", "bob@example.org", "--license", "CC0-1.0",
        "--year", "1812", cwd=root)
    (root / "data" / "train.jsonl").write_text("\n".join(TRAIN) + "\n")
    run("track", "data/train.jsonl", "--source", "notes/engine.md", "--tokenizer", "whitespace", cwd=root)
    return root


def documents(root):
    return sorted((r["file"], r["line_hash"]) for r in native.read_all_documents(str(root)))


# -- discovery --------------------------------------------------------------------


@pytest.mark.parametrize("where, pre, env", [
    ("", [], None),
    ("data/deep", [], None),
    ("..", ["-C", "proj"], None),
    ("..", ["-C", "proj", "-C", "data"], None),
    ("/", [], {"VL_PROJECT": "{root}/data"}),
])
def test_commands_find_the_project_from_anywhere(proj, where, pre, env):
    env = {k: v.format(root=proj) for k, v in (env or {}).items()}
    out = run(*pre, "show", "author", "Ada Lovelace", "--json", cwd=proj / where if where != "/" else "/", env=env)
    assert [json.loads(line)["file"] for line in out.stdout.splitlines()] == ["data/train.jsonl"] * 2


def test_paths_are_recorded_relative_to_the_root_from_any_subdirectory(proj):
    (proj / "data" / "deep" / "more.jsonl").write_text('{"x": 1}\n')
    run("track", "more.jsonl", cwd=proj / "data" / "deep")
    run("-C", "data", "track", "deep/more.jsonl", "--force", cwd=proj)
    assert [f for f, _ in documents(proj)].count("data/deep/more.jsonl") == 2
    out = run("blame", "deep/more.jsonl", "1", "--json", cwd=proj / "data")
    assert {json.loads(line)["file"] for line in out.stdout.splitlines()} == {"data/deep/more.jsonl"}


# -- exit codes and messages -----------------------------------------------------------


@pytest.mark.parametrize("args, env, message", [
    (["show", "author", "Ada"], None, "fatal: not a vl project (or any parent): {tmp}\n"),
    (["track", "x.jsonl"], None, "fatal: not a vl project (or any parent): {tmp}\n"),
    (["-C", "nowhere", "status"], None, 'fatal: cannot change to "nowhere": No such file or directory\n'),
    (["status"], {"VL_PROJECT": "{tmp}/nowhere"}, 'fatal: cannot start in "{tmp}/nowhere": not a directory\n'),
])
def test_outside_a_project(tmp_path, args, env, message):
    env = {k: v.format(tmp=tmp_path) for k, v in (env or {}).items()}
    assert run(*args, cwd=tmp_path, env=env, code=128).stderr == message.format(tmp=tmp_path)


@pytest.mark.parametrize("args, code, message", [
    (["show", "author", "Nobody"], 1, "error: unknown author 'Nobody'"),
    (["show", "section", "ffffffff"], 1, "error: unknown section 'ffffffff'"),
    (["show", "license", "MIT"], 1, "error: no section is under the licence 'MIT'"),
    (["lookup", "0000"], 1, "error: unknown line hash '0000'"),
    (["lookup", "abc"], 1, "error: line hash 'abc' is not a hash or a prefix of at least 4 hex digits"),
    (["tokens", "status", "gpt2"], 1, "error: unknown tokenizer 'gpt2'"),
    (["track", "data/train.jsonl", "--tokenizer", "gpt2"], 1, "error: unknown tokenizer 'gpt2'"),
    (["track", "data/train.jsonl", "--source", "deadbeef"], 1, "error: unknown section 'deadbeef'"),
    (["section", "add", "x.md", "--author", "Nobody", "--license", "MIT", "--year", "1"], 1,
     "error: unknown author 'Nobody'"),
    (["author", "add", "Eve\nMallory", "eve@example.org"], 1, "error: author name \"Eve\\nMallory\" holds"),
    (["author", "add", "Eve", "eve@example.org\x1b"], 1, "error: e-mail \"eve@example.org\\u{1b}\" holds"),
    (["track", "missing.jsonl"], 1, 'error: "missing.jsonl": No such file or directory'),
    (["track", "data"], 1, 'error: "data" is a directory'),
    (["track", "../outside.jsonl"], 1, 'error: "../outside.jsonl" is outside the project'),
    (["blame", "data/train.jsonl", "9"], 1, 'error: "data/train.jsonl" has no line 9'),
    (["hash", "{nope"], 1, "error: value '{nope' is not JSON"),
    (["hash", "NaN"], 1, "error: value 'NaN' is not JSON"),
    (["diff", "data/train.jsonl", "missing"], 1, 'error: "missing": No such file or directory'),
    (["jsonl", "read", "data"], 1, 'error: "data": No such device (os error 19)'),
    (["jsonl", "append", "nowhere/x.jsonl", "1"], 1, 'error: "nowhere/x.jsonl": No such file or directory (os'),
    (["blame", "data/train.jsonl", "9" * 5000], 2, "Usage: vl blame"),
    (["log", "5"], 2, "Usage: vl log"),
    (["shwo"], 2, "The most similar commands are:\n    show\n"),
    (["author", "lst"], 2, "    list"),
    (["track"], 2, "Missing argument 'FILES...'"),
    (["author", "add", "Eve", "eve@example.org\udcff"], 1, "error: argument \"eve@example.org\\xFF\" is not valid"),
])
def test_mistakes_give_one_line_and_an_exit_code(proj, args, code, message):
    assert message in run(*args, cwd=proj, code=code).stderr


def test_diff_exits_1_when_the_files_differ(proj):
    (proj / "v2.jsonl").write_text(TRAIN[0] + "\n")
    assert run("diff", "data/train.jsonl", "data/train.jsonl", cwd=proj).stdout.startswith("equal")
    ops = run("diff", "data/train.jsonl", "v2.jsonl", "--json", cwd=proj, code=1).stdout.splitlines()
    assert [json.loads(op)["tag"] for op in ops] == ["equal", "delete"]


def test_no_traceback_for_a_closed_pipe_or_non_utf8_arguments(proj):
    (proj / "big.jsonl").write_text("".join(f'{{"n": {i}, "pad": "{"x" * 60}"}}\n' for i in range(4000)))
    vl = [sys.executable, "-m", "vl"]
    with subprocess.Popen(vl + ["jsonl", "read", "big.jsonl"], cwd=proj, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE) as p:
        p.stdout.readline()
        p.stdout.close()
        err = p.stderr.read()
    assert (p.returncode, err) == (141, b"")
    bad = subprocess.run(vl + ["show", "author", b"\xff".decode("utf-8", "surrogateescape")], cwd=proj,
                         capture_output=True)
    assert (bad.returncode, bad.stderr) == (1, b'error: argument "\\xFF" is not valid UTF-8\n')


# -- references ------------------------------------------------------------------------


@pytest.mark.parametrize("ref", ["Ada Lovelace", "ada@example.org", "{id:.4}", "{id:.12}", "{id}", "{ID:.8}"])
def test_an_author_is_named_by_name_email_or_id_prefix(proj, ref):
    out = run("author", "show", ref.format(id=ADA_ID, ID=ADA_ID.upper()), "--json", cwd=proj)
    assert json.loads(out.stdout)["id"] == ADA_ID


def _sharing_prefix():
    """Two data lines whose hashes share their first 4 hex digits."""
    seen = {}
    for n in range(5000):
        h = native.compute_hash({"n": n})
        if h[:4] in seen:
            return h[:4], [seen[h[:4]], n]
        seen[h[:4]] = n


@pytest.mark.parametrize("args, candidates", [
    (["author", "show", "Ada Lovelace"], ["Ada Lovelace <ada@example.org>", "Ada Lovelace <ada@example.com>"]),
    (["show", "section", "notes/engine.md"], ["notes/engine.md (CC-BY-4.0, 1843)", "notes/engine.md (MIT, 2024)"]),
    (["lookup", "{prefix}"], ["{prefix}", "{prefix}"]),
])
def test_an_ambiguous_reference_lists_the_candidates(proj, args, candidates):
    run("author", "add", "Ada Lovelace", "ada@example.com", cwd=proj)
    run("section", "add", "notes/engine.md", "--license", "MIT", "--year", "2024", cwd=proj)
    prefix, numbers = _sharing_prefix()
    (proj / "data" / "n.jsonl").write_text("".join(f'{{"n": {n}}}\n' for n in numbers))
    run("track", "data/n.jsonl", cwd=proj)
    args = [a.format(prefix=prefix) for a in args]
    err = run(*args, cwd=proj, code=1).stderr.splitlines()
    assert err[0].endswith(f"reference {args[-1]!r} is ambiguous; candidates:")
    shown = [line.split(" ", 3)[-1] if "{" not in c else line.strip()[:4] for line, c in zip(err[1:], candidates)]
    assert sorted(shown) == sorted(c.format(prefix=prefix) for c in candidates) and len(err) == 3


# -- output ----------------------------------------------------------------------------------


@pytest.mark.parametrize("args, keys", [
    (["author", "list"], {"id", "name", "email", "revoked"}),
    (["author", "show", "Ada Lovelace"], {"id", "name", "email", "revoked", "sections"}),
    (["section", "list"], {"section_hash", "path", "authors", "contributors", "license", "year", "revoked"}),
    (["show", "author", "Ada Lovelace"], {"line_hash", "file", "sources", "sections", "authors"}),
    (["show", "license", "CC-BY-4.0"], {"line_hash", "file", "sources", "sections", "authors"}),
    (["show", "section", "notes/engine.md"], {"line_hash", "file", "sources", "sections", "authors"}),
    (["blame", "data/train.jsonl", "2"], {"line_hash", "file", "sources", "sections", "authors"}),
    (["log"], {"time", "operation", "detail"}),
    (["tokens", "list"], {"tokenizer"}),
    (["tokens", "status", "whitespace"], {"tokenizer", "total_entries", "active_entries", "revoked_entries",
                                          "total_tokens"}),
    (["hash", "1"], {"hash"}),
    (["status"], {"project", "authors", "sections", "documents", "files", "tokenizers", "index"}),
])
def test_every_read_command_prints_json(proj, args, keys):
    run("tokens", "merge", "whitespace", cwd=proj)
    out = run(*args, "--json", cwd=proj).stdout
    try:
        values = [json.loads(out)]
    except json.JSONDecodeError:
        values = [json.loads(line) for line in out.splitlines()]
    assert values and all(set(v) == keys for v in values), values


def test_documents_show_sections_licences_and_authors(proj):
    out = run("show", "author", "ada@example.org", cwd=proj)
    rows = [line.split("\t") for line in out.stdout.splitlines()]
    assert [r[1:] for r in rows] == [["data/train.jsonl", "notes/engine.md", "CC-BY-4.0", "Ada Lovelace"]] * 2
    assert all(len(r[0]) == 12 for r in rows) and out.stderr == "2 documents\n"


@pytest.mark.parametrize("change, state", [
    (lambda p: None, "unchanged"),
    (lambda p: p.write_text(TRAIN[1] + "\n\n" + TRAIN[0] + "\nnot json\n"), "unchanged"),
    (lambda p: p.write_text(TRAIN[0] + "\n"), "changed"),
    (lambda p: p.unlink(), "missing"),
])
def test_status_tells_whether_tracked_files_changed(proj, change, state):
    change(proj / "data" / "train.jsonl")
    (proj / "data" / "more.jsonl").write_text(TRAIN[0] + "\n")
    run("track", "data/more.jsonl", "-t", "whitespace", cwd=proj)
    info = json.loads(run("status", "--json", cwd=proj / "data").stdout)
    assert [(f["file"], f["state"]) for f in info["files"]] == [("data/more.jsonl", "unchanged"),
                                                                 ("data/train.jsonl", state)]
    assert info["tokenizers"][0]["waiting_files"] == 1 and info["index"] == "not built"
    assert info["authors"] == {"total": 2, "revoked": 0} and info["documents"]["total"] == 3


# -- safe re-runs ----------------------------------------------------------------------------


def test_init_again_keeps_the_store_and_its_log(proj):
    log = (proj / ".vl" / "log").read_bytes()
    assert "inside the vl project" in run("init", cwd=proj / "data").stderr
    assert "already exists" in run("init", cwd=proj).stderr
    assert (proj / ".vl" / "log").read_bytes() == log and not (proj / "data" / ".vl").exists()
    run("init", "--force", cwd=proj)
    assert (proj / ".vl" / "log").read_text().split(" ")[1] == "init" and len(documents(proj)) == 2


def test_track_again_records_nothing_new_and_force_records_again(proj):
    before = documents(proj)
    assert "0 lines recorded, 2 already recorded" in run("track", "data/train.jsonl", "-s", "notes/engine.md",
                                                          "-t", "whitespace", cwd=proj).stderr
    assert documents(proj) == before
    with open(proj / "data" / "train.jsonl", "a") as f:
        f.write(TRAIN[0] + "\n")  # the same line a second time: a line of its own
    run("track", "data/train.jsonl", "-s", "notes/engine.md", cwd=proj)
    assert len(documents(proj)) == 3
    run("track", "data/train.jsonl", "-s", "notes/engine.md", "--force", cwd=proj)
    assert len(documents(proj)) == 6


def test_ctrl_c_during_track_then_a_rerun_gives_the_complete_store(proj, tmp_path, monkeypatch, request):
    (tmp_path / "stopper.py").write_text(textwrap.dedent("""
        import os, signal
        fired = []
        def count(text):
            if text == "stop here" and not fired:  # Ctrl-C while this line is being tracked
                fired.append(1)
                os.kill(os.getpid(), signal.SIGINT)
            return len(text.split())
    """))
    monkeypatch.syspath_prepend(str(tmp_path))
    # Ctrl-C as an interactive session gets it, even when the test runner was
    # started with SIGINT ignored (as a shell starts background jobs).
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    request.addfinalizer(lambda: signal.signal(signal.SIGINT, previous))
    texts = ["line 0", "line 1", "stop here", "line 3", "line 4"]
    (proj / "data" / "more.jsonl").write_text("".join(json.dumps({"text": t}) + "\n" for t in texts))
    err = run("track", "data/more.jsonl", "-t", "words=stopper:count", cwd=proj, code=130).stderr
    assert "interrupted: recorded 3 lines of data/more.jsonl" in err
    assert (proj / ".vl" / "log").read_text().splitlines()[-1].endswith("lines=3 already=0 invalid=0 interrupted")
    run("track", "data/more.jsonl", "-t", "words=stopper:count", cwd=proj)
    run("tokens", "merge", "words", cwd=proj)
    assert sorted(f for f, _ in documents(proj)).count("data/more.jsonl") == 5
    assert native.token_index_token_status(str(proj), "words")["total_entries"] == 5


# -- bad data lines and tokenizers -----------------------------------------------------------------


BAD_LINES = [b'{"t": "ok"}', b'{"t": "caf\xe9"}', b"not json", b'{"n": NaN}', b'{"n": 1e999}',
             b'{"n": 184467440737095516160}', b'{"n": ' + b"9" * 5000 + b"}", b"", b'{"t": "fine"}']


def test_invalid_lines_are_skipped_with_file_and_line_or_refused_by_strict(proj):
    (proj / "data" / "bad.jsonl").write_bytes(b"\n".join(BAD_LINES) + b"\n")
    err = run("track", "data/bad.jsonl", "--strict", cwd=proj, code=1).stderr
    assert err == "error: data/bad.jsonl:2: not valid UTF-8; nothing recorded (--strict)\n"
    assert len(documents(proj)) == 2
    out = run("track", "data/bad.jsonl", "--json", cwd=proj)
    err = out.stderr.splitlines()
    assert [w.split(":")[2] for w in err[:-1]] == ["2", "3", "4", "5", "6", "7"]
    assert err[-1].startswith("tracked data/bad.jsonl: 2 lines recorded, 6 invalid skipped in ")
    summary = json.loads(out.stdout)
    assert (summary["file"], summary["recorded"], summary["already"]) == ("data/bad.jsonl", 2, 0)
    assert [i["line"] for i in summary["invalid"]] == [2, 3, 4, 5, 6, 7]


@pytest.mark.parametrize("choice, field, name, tokens", [
    ("whitespace", None, "whitespace", 4 + 1),  # every string value: text and lang
    ("whitespace", "text", "whitespace", 4),
    ("chars=builtins:len", "text", "chars", 18),
    ("builtins:len", "lang", "len", 2),
])
def test_tokenizers_count_the_chosen_text(proj, choice, field, name, tokens):
    (proj / "data" / "t.jsonl").write_text('{"text": "one two three four", "lang": "en", "n": 7}\n')
    run("track", "data/t.jsonl", "-t", choice, *(["--field", field] if field else []), cwd=proj)
    run("tokens", "merge", name, cwd=proj)
    status = native.token_index_token_status(str(proj), name)
    assert status["total_tokens"] == tokens + (6 if name == "whitespace" else 0)  # + train.jsonl's


# -- discoverability --------------------------------------------------------------------------------


def _commands(cmd, path=()):
    yield path, cmd
    if isinstance(cmd, click.Group):
        for name, sub in cmd.commands.items():
            yield from _commands(sub, path + (name,))


@pytest.mark.parametrize("path, cmd", [c for c in _commands(main) if not isinstance(c[1], click.Group)],
                         ids=lambda p: " ".join(p) if isinstance(p, tuple) else "")
def test_every_command_has_help_and_an_example(path, cmd):
    text = run(*path, "--help").stdout
    assert cmd.help and re.search(r"\n  Example:\n    vl \S", text)
    assert all(p.help for p in cmd.params if isinstance(p, click.Option))


def test_version_and_bare_vl(tmp_path):
    assert run("--version").stdout.startswith("vl ")
    assert "Commands:" in run(cwd=tmp_path).stdout
