"""The withdrawal side of the command line for trainers: index build, token
revocation by author, the author's token entries, forget sets and the numpy
helper that reads them."""

import json

import numpy as np
import pytest

from test_cli import ADA, BOB, run
from vl.forget import forget_mask


@pytest.fixture
def proj(tmp_path):
    root = tmp_path / "proj"
    root.mkdir()
    run("init", cwd=root)
    for (name, email), part, text in ((ADA, "a", '{"text": "one two three"}\n{"text": "four"}\n'),
                                      (BOB, "b", '{"text": "five six"}\n')):
        run("author", "add", name, email, cwd=root)
        run("section", "add", f"{part}.md", "--author", name, "--license", "MIT", "--year", "2024", cwd=root)
        (root / f"{part}.jsonl").write_text(text)
        run("track", f"{part}.jsonl", "--source", f"{part}.md", "--tokenizer", "whitespace", cwd=root)
    run("tokens", "merge", "whitespace", cwd=root)
    return root


@pytest.mark.parametrize("indexed", [False, True], ids=["files", "index"])
def test_revoke_show_and_forget_set(proj, indexed):
    if indexed:
        assert json.loads(run("index", "build", "--json", cwd=proj).stdout)["token_index_entries"] == 3
    shown = json.loads(run("tokens", "show", "whitespace", "--author", ADA[1], "--json", cwd=proj).stdout)
    assert (shown["document_count"], shown["total_tokens"]) == (2, 4)
    run("tokens", "revoke", "whitespace", "--author", ADA[0], cwd=proj)
    shown = json.loads(run("tokens", "show", "whitespace", "-a", ADA[0], "--json", cwd=proj).stdout)
    assert shown["entries"] == []
    out = run("forget-set", "whitespace", "forget.bin", cwd=proj).stdout
    assert out == "forget.bin: 2 items withdrawn of 3 entries\n"
    assert (proj / "forget.bin").read_bytes() == b"\x03"
    assert forget_mask(str(proj / "forget.bin"), 3).tolist() == [True, True, False]


def test_index_build_repairs_a_damaged_index(proj):
    (proj / ".vl" / "index.bin").write_bytes(b"\0" * 3000)
    err = run("show", "author", ADA[0], cwd=proj, code=1).stderr
    assert "binary index magic mismatch" in err
    assert "indexed 2 authors, 2 sections and 3 token entries" in run("index", "build", cwd=proj).stderr
    assert run("show", "author", ADA[0], "--json", cwd=proj).stdout.count("line_hash") == 2


@pytest.mark.parametrize("source, length, expected", [
    (b"", 3, [False] * 3),
    (b"\x81", 8, [True] + [False] * 6 + [True]),
    (bytearray(b"\x01\x01"), 9, [True] + [False] * 7 + [True]),
    (b"\x02", 12, [False, True] + [False] * 10),   # entries after the set are kept
])
def test_forget_mask_bit_order(source, length, expected):
    mask = forget_mask(source, length)
    assert mask.dtype == np.bool_ and mask.tolist() == expected


def test_forget_mask_refuses_a_set_for_other_data():
    with pytest.raises(ValueError, match="withdraws item 9, beyond the 4 items"):
        forget_mask(b"\x00\x02", 4)
