"""One data set tracked two ways: into a single store, and split over several
project roots by concurrent worker processes whose stores are then folded
into an empty one with merge_absorb."""

import collections
import json
import os
import subprocess
import sys

import pytest

import vl._vl_native as native

LINES = 240
WORKERS = 3

WORKER = r"""
import sys
import vl._vl_native as n
root, first, step, lines = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
n.init(root)
authors = [n.author_add(f"author {a}", f"a{a}@example.org", root) for a in range(3)]
sections = [n.register_section(f"part/{s}.md", [authors[s % 3]], [], "CC-BY-4.0", "2024", root)
            for s in range(4)]
for i in range(first, lines, step):
    # Items of one section with one token count look alike across parts.
    n.track({"line": i, "text": "w " * (i % 7)}, "train.jsonl", [sections[i % 4]], root,
            token_count=2 + i % 5, tokenizer="tok")
n.clean(root, False)
"""


def track(root, first=0, step=1):
    return subprocess.Popen([sys.executable, "-c", WORKER, root, str(first), str(step), str(LINES)])


def records(root, layer):
    """The stored lines of a layer, as a set of canonical texts."""
    return {json.dumps(r, sort_keys=True) for r in native.shard_iterate_all(root, layer)}


def triples(root):
    d = os.path.join(root, ".vl", "token-index.tok")
    return collections.Counter((e["token_count"], tuple(sorted(e["sources"])), e["tokenizer"])
                               for name in os.listdir(d) for e in map(json.loads, open(os.path.join(d, name))))


@pytest.fixture(scope="module")
def stores(tmp_path_factory):
    base = tmp_path_factory.mktemp("tracking")
    single, folded = str(base / "single"), str(base / "folded")
    parts = [str(base / f"part{w}") for w in range(WORKERS)]
    procs = [track(single)] + [track(p, w, WORKERS) for w, p in enumerate(parts)]
    assert [p.wait() for p in procs] == [0] * len(procs)
    native.init(folded)
    for p in parts:
        native.merge_absorb(p, folded)
    return single, parts, folded


@pytest.mark.parametrize("layer", ["authors", "sections", "document-index"])
def test_every_layer_holds_the_same_records(stores, layer):
    single, parts, folded = stores
    assert records(folded, layer) == records(single, layer)
    assert len(records(single, layer)) == {"authors": 3, "sections": 4, "document-index": LINES}[layer]


def test_look_alike_entries_across_parts(stores):
    """Entries of different lines with the same count and sources cannot be
    told apart: the folded store holds each triple as often as the part that
    holds it most often, never fewer and never more."""
    single, parts, folded = stores
    per_part = [triples(p) for p in parts]
    expected = collections.Counter()
    for c in per_part:
        expected |= c  # the per-triple maximum
    assert triples(folded) == expected
    assert sum(expected.values()) < LINES  # the case the guarantee is about


def test_single_store_into_empty_copies_every_entry(stores, tmp_path):
    single = stores[0]
    copy = str(tmp_path / "copy")
    native.init(copy)
    got = native.merge_absorb(single, copy)
    assert got["token_index_added"] == LINES
    assert triples(copy) == triples(single)
    assert (native.token_index_token_status(copy, "tok") ==
            native.token_index_token_status(single, "tok"))
    revoked = {native.shard_iterate_all(single, "sections")[0]["section_hash"]}
    for root in (single, copy):
        assert native.token_index_revoke_by_sources(root, "tok", revoked) == LINES // 4
    forget = native.generate_forget_set(copy, "tok")
    assert forget == native.generate_forget_set(single, "tok")
    assert sum(bin(b).count("1") for b in forget) == LINES // 4
