"""Merge of stores: what the target lacks is copied, by identity per layer
and by a multiset of token entry triples."""

import json
import os

import pytest

import vl._vl_native as native
from tokens import read, vl, write, write_merged

NONE = {"authors_added": 0, "sections_added": 0, "document_added": 0,
        "token_index_added": 0, "skipped": 0}


def counts(**changed):
    return {**NONE, **changed}


@pytest.fixture
def two(tmp_path):
    """Two initialised stores: (source, target)."""
    roots = [str(tmp_path / name) for name in ("source", "target")]
    for r in roots:
        native.init(r)
    return roots


def fill(root, tokens=True):
    """A small store: two authors, a section, three document records, and
    token entries of two tokenizers."""
    a = native.author_add("Ada", "ada@example.org", root)
    b = native.author_add("Bob", "bob@example.org", root)
    s = native.register_section("notes.md", [a, b], [], "CC-BY-4.0", "1843", root)
    for i in range(3):
        native.track({"i": i}, "data.jsonl", [s], root, token_count=i + 2 if tokens else None,
                     tokenizer="t" if tokens else None)
    if tokens:
        native.token_index_write_pid(root, "u.v", 5, [s])
        for t in ("t", "u.v"):
            native.token_index_merge_pid_files(root, t)
    return a, b, s


def layer_lines(root, layer):
    d = vl(root, layer)
    return sorted(line for name in os.listdir(d) if os.path.isfile(os.path.join(d, name))
                  for line in open(os.path.join(d, name), "rb").read().splitlines())


def test_source_without_store(tmp_path, two):
    missing = str(tmp_path / "nowhere")
    with pytest.raises(RuntimeError, match="^Source has no .vl/ directory: " + missing + "$"):
        native.merge_absorb(missing, two[1])
    assert os.listdir(vl(two[1], "authors")) == []


def test_merge_into_empty_then_again_then_into_itself(two):
    source, target = two
    fill(source)
    first = native.merge_absorb(source, target)
    assert first == counts(authors_added=2, sections_added=1, document_added=3, token_index_added=4)
    for layer in ("authors", "sections", "document-index"):
        assert layer_lines(target, layer) == layer_lines(source, layer)
    for t in ("t", "u.v"):
        assert native.token_index_token_status(target, t) == native.token_index_token_status(source, t)
    for again in (native.merge_absorb(source, target), native.merge_absorb(target, target)):
        assert again == counts(skipped=10)
    assert open(vl(target, "log")).read().splitlines()[-3].endswith(
        f" merge source={source} authors=2 sections=1 document=3 token_index=4 skipped=0")


def test_identity_per_layer(two):
    """Same id: skipped whatever the other fields say.  Documents: the pair
    (line_hash, file); one hash in two files is two records."""
    source, target = two
    a = native.author_add("Ada", "ada@example.org", target)
    record = {"id": a, "name": "Someone else", "email": "x", "revoked": True}
    native.jsonl_append(native.shard_path_str(source, "authors", a), record)
    h = "5e" + "0" * 62
    for f in ("a.jsonl", "b.jsonl", "a.jsonl"):
        native.index_document(source, h, f, [])
    assert native.merge_absorb(source, target) == counts(document_added=2, skipped=2)
    assert [json.loads(x)["name"] for x in layer_lines(target, "authors")] == ["Ada"]
    assert sorted(d["file"] for d in native.lookup_document(target, h)) == ["a.jsonl", "b.jsonl"]


@pytest.mark.parametrize("layer,field", [("authors", "id"), ("sections", "section_hash"),
                                         ("document-index", "line_hash")])
@pytest.mark.parametrize("key", ["/b" + "0" * 62, "../" + "0" * 61, "..", "x", "",
                                 "zz" + "0" * 62, 7, None])
def test_keys_that_name_no_shard_are_skipped(two, tmp_path, listing, layer, field, key):
    source, target = two
    record = {field: key, "file": "f", "sources": [], "name": "n"}
    write(vl(source, layer, "3f"), json.dumps(record) + "\n")
    before = listing(str(tmp_path))
    assert native.merge_absorb(source, target) == counts(skipped=1)
    assert set(listing(str(tmp_path))) == set(before)


def tok(count, sources, tokenizer="t", revoked=False):
    return {"token_count": count, "sources": sources, "tokenizer": tokenizer, "revoked": revoked}


def put(root, name, entries):
    write_merged(root, {name: [json.dumps(e, sort_keys=True) for e in entries]})


A, B = "a" * 64, "b" * 64


@pytest.mark.parametrize("source,target,copied", [
    # a permutation of the sources is the same entry
    ([tok(3, [A, B])], [tok(3, [B, A])], []),
    # the revoked flag is not part of the identity
    ([tok(3, [A])], [tok(3, [A], revoked=True)], []),
    # a multiset: what the source holds beyond the target is copied, in order
    ([tok(3, [A]), tok(3, [A], revoked=True), tok(3, [A]), tok(4, [A])], [tok(3, [A])],
     [tok(3, [A], revoked=True), tok(3, [A]), tok(4, [A])]),
    ([tok(2, [A])] * 3, [], [tok(2, [A])] * 3),
    ([tok(2, [A])], [tok(2, [A])] * 3, []),
])
def test_token_entries_as_a_multiset(two, source, target, copied):
    src, tgt = two
    put(src, "001", source)
    if target:
        put(tgt, "001", target)
        put(tgt, "007", [])
    got = native.merge_absorb(src, tgt)
    assert got == counts(token_index_added=len(copied), skipped=len(source) - len(copied))
    names = sorted(os.listdir(vl(tgt, "token-index.t")))
    if copied:
        new = "008" if target else "001"
        assert names[-1] == new
        assert [json.loads(x) for x in read(vl(tgt, "token-index.t", new)).splitlines()] == copied
    assert native.merge_absorb(src, tgt)["token_index_added"] == 0


def test_index_rebuilt_only_when_records_were_added(two):
    source, target = two
    put(source, "001", [tok(3, [A])])
    assert native.merge_absorb(source, target) == counts(token_index_added=1)
    assert native.merge_absorb(target, target) == counts(skipped=1)
    assert not os.path.exists(vl(target, "index.bin"))
    a = native.author_add("Ada", "ada@example.org", source)
    s = native.register_section("p", [a], [], "MIT", "2024", source)
    native.merge_absorb(source, target)
    assert os.path.exists(vl(target, "index.bin"))
    assert native.shard_read(target, "index", s) == [{"id": s, "refs": []}]


def test_failing_merge_still_rebuilds_the_index(two):
    """Records appended before the failure are found through the index."""
    source, target = two
    a, b, s = fill(source)
    write(vl(target, "token-index.t"), "in the way of the merged directory")
    with pytest.raises(RuntimeError, match="File exists"):
        native.merge_absorb(source, target)
    assert native.shard_read(target, "index", s) == [{"id": s, "refs": sorted(
        {d["line_hash"][:2] for d in native.read_all_documents(source)})}]
    assert len(native.show_by_author(target, "Ada")) == 3


def test_failing_rebuild_is_reported(two):
    source, target = two
    fill(source, tokens=False)
    os.rmdir(vl(target, "index"))
    write(vl(target, "index"), "in the way of the index layer")
    with pytest.raises(RuntimeError, match="^records were merged, but rebuilding the target's index "
                                           "failed: .*File exists"):
        native.merge_absorb(source, target)
    assert len(native.read_all_documents(target)) == 3
    assert " merge source=" in open(vl(target, "log")).read()
