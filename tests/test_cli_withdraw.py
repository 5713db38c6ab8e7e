"""vl revoke, vl purge, vl archive and vl restore as a user runs them."""

import json

import pytest
from clirun import run

import vl._vl_native as native

LINES = ['{"text": "engine", "score": 7.864443854425286e-10}', '{"text": "poem"}', '{"text": "gears"}']


@pytest.fixture
def proj(tmp_path):
    """data/train.jsonl: lines 1 and 3 from Ada's section, line 2 from Bob's."""
    root = tmp_path / "proj"
    (root / "data").mkdir(parents=True)
    run("init", cwd=root)
    run("author", "add", "Ada", "ada@example.org", cwd=root)
    run("author", "add", "Bob", "bob@example.org", cwd=root)
    run("section", "add", "engine.md", "-a", "Ada", "--license", "CC0", "--year", "1843", cwd=root)
    run("section", "add", "poems.md", "-a", "Bob", "--license", "CC0", "--year", "1812", cwd=root)
    train = root / "data" / "train.jsonl"
    train.write_text(LINES[0] + "\n" + LINES[2] + "\n")
    run("track", "data/train.jsonl", "-s", "engine.md", cwd=root)
    train.write_text(LINES[0] + "\n" + LINES[2] + "\n" + LINES[1] + "\n")
    (root / "data" / "poem.jsonl").write_text(LINES[1] + "\n")
    run("track", "data/poem.jsonl", "-s", "poems.md", cwd=root)
    return root


def test_revoke_purge_archive_restore(proj):
    train = proj / "data" / "train.jsonl"
    original = train.read_bytes()
    assert json.loads(run("revoke", "--section", "engine.md", "--json", cwd=proj).stdout)["toggled"] == 1
    again = run("revoke", "--section", "engine.md", cwd=proj)
    assert "already revoked" in again.stderr

    dry = json.loads(run("purge", "data/train.jsonl", "--dry-run", "--json", cwd=proj).stdout)
    assert dry == {"file": "data/train.jsonl", "lines": 3, "purged": 2, "purged_lines": [1, 2]}
    assert train.read_bytes() == original

    out = json.loads(run("purge", "train.jsonl", "--yes", "--json", cwd=proj / "data").stdout)
    assert out == {"file": "data/train.jsonl", "purged": 2, "kept": 1, "archived": 2}
    assert train.read_text() == LINES[1] + "\n"
    [listed] = [json.loads(x) for x in run("archive", "--json", cwd=proj).stdout.splitlines()]
    assert listed["files"] == ["data/train.jsonl"] and listed["lines"] == 2
    assert run("archive", listed["archive"], cwd=proj).stdout.splitlines() == [LINES[0], LINES[2]]

    assert "holds lines of data/train.jsonl" in run("restore", "data/poem.jsonl", cwd=proj, code=1).stderr
    run("restore", "data/train.jsonl", cwd=proj)
    assert train.read_text().splitlines() == [LINES[1], LINES[0], LINES[2]]
    assert run("archive", cwd=proj).stdout == ""


def test_purge_asks_on_a_terminal_only(proj, monkeypatch):
    run("revoke", "-s", "engine.md", cwd=proj)
    monkeypatch.setattr("vl._cli_withdraw._interactive", lambda: True)
    assert "purge 2 lines of 3" in run("purge", "data/train.jsonl", cwd=proj, code=1, input="n\n").stderr
    assert (proj / "data" / "train.jsonl").read_text().count("\n") == 3
    run("purge", "data/train.jsonl", cwd=proj, input="y\n")
    assert (proj / "data" / "train.jsonl").read_text().count("\n") == 1


@pytest.mark.parametrize("args, message", [
    (["revoke"], "exactly one of"),
    (["revoke", "-a", "Nobody"], "Nobody"),
    (["purge", "data/train.jsonl", "-a", "Ada"], "is not revoked"),
    (["restore", "data/train.jsonl"], "no purge archive"),
    (["archive", "purge.x"], "no purge archive"),
])
def test_refusals(proj, args, message):
    result = run(*args, cwd=proj, code=2 if args == ["revoke"] else 1)
    assert message in result.stderr


def test_revoke_author_and_manifest(proj):
    run("revoke", "--author", "ada@example.org", cwd=proj)
    assert [json.loads(t)["revoked"] for t in native.author_query(str(proj), "Ada", None)] == [True]
    run("revoke", "--author", "Ada", "--reinstate", cwd=proj)
    assert [json.loads(t)["revoked"] for t in native.author_query(str(proj), "Ada", None)] == [False]

    h = native.compute_hash(json.loads(LINES[1]))
    manifest = proj / "withdraw.txt"
    manifest.write_text(f"# lines to withdraw\n{h} data/poem.jsonl\n" +
                        json.dumps({"line_hash": h, "file": "data/missing.jsonl"}) + "\n")
    result = json.loads(run("revoke", "--manifest", str(manifest), "--json", cwd=proj).stdout)
    assert result == {"toggled": 1, "unchanged": 0, "untracked": 1}
    assert json.loads(run("revoke", "-m", str(manifest), "--json", cwd=proj).stdout)["unchanged"] == 1
    assert [r["revoked"] for r in native.read_all_documents(str(proj)) if r["line_hash"] == h] == [True]
