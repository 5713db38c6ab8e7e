"""Revocation: toggles of the revoked flag on sections, tracked lines and
authors, their counts, which shards are rewritten, and the log lines."""

import json
import os

import pytest

import vl._vl_native as native
from tokens import log_ops, write


def flags(path, key, value):
    return [r.get("revoked") for r in native.jsonl_read(path) if r.get(key) == value]


@pytest.fixture
def section(store):
    a = native.author_add("Ada", "ada@example.org", store)
    return native.register_section("notes.md", [a], [], "CC-BY-4.0", "1843", store)


@pytest.mark.parametrize("calls, expected_flags, expected_ops", [
    ([False], [True], ["revoke_section"]),
    ([False, True], [False], ["revoke_section", "revoke_reverse_section"]),
    ([True], [True], ["revoke_reverse_section"]),
])
def test_section_toggles_and_logs(store, section, calls, expected_flags, expected_ops):
    for reverse in calls:
        assert native.revoke_section(store, section, reverse=reverse) == 1
    shard = native.shard_path_str(store, "sections", section)
    assert flags(shard, "section_hash", section) == expected_flags
    assert [op for op, _ in log_ops(store)] == expected_ops
    assert log_ops(store)[-1][1] == f"{section} (1 sections toggled)"


def test_registered_again_after_revocation_toggles_as_one(store, section):
    # Two records of one section with mixed flags get one new state, the
    # opposite of the first record's: the content can be reinstated.
    native.revoke_section(store, section)
    a = native.author_add("Ada", "ada@example.org", store)
    native.register_section("notes.md", [a], [], "CC-BY-4.0", "1843", store)
    shard = native.shard_path_str(store, "sections", section)
    assert flags(shard, "section_hash", section) == [True, None]
    for expected in ([False, False], [True, True]):
        assert native.revoke_section(store, section) == 2
        assert flags(shard, "section_hash", section) == expected


def test_absent_shard_and_no_match(store, section):
    missing = "ab" * 32 if not section.startswith("ab") else "cd" * 32
    assert native.revoke_section(store, missing) == 0
    assert native.revoke_manifest(store, missing, "f") == 0
    assert not os.path.exists(native.shard_path_str(store, "sections", missing))
    assert log_ops(store) == []
    shard = native.shard_path_str(store, "sections", section)
    before = open(shard, "rb").read()
    other = section[:2] + "0" * 62
    assert native.revoke_section(store, other) == 0
    assert open(shard, "rb").read() == before
    assert log_ops(store) == [["revoke_section", f"{other} (0 sections toggled)"]]


def test_manifest_rewrites_shard_even_without_match(store):
    h = native.track({"a": 1}, "train.jsonl", [], store)
    shard = native.shard_path_str(store, "document-index", h)
    write(shard, b'\r\n{"z": 1, "a": "true"}\r\nnot json\n', "a")
    assert native.revoke_manifest(store, h, "other.jsonl") == 0
    lines = open(shard, "rb").read().split(b"\n")
    assert lines[1:] == [b'{"a":"true","z":1}', b""]
    assert log_ops(store)[-1] == ["revoke_manifest", f"line_hash={h[:12]} file=other.jsonl (0 toggled)"]
    assert native.revoke_manifest(store, h, "train.jsonl") == 1
    assert flags(shard, "line_hash", h) == [True]
    short = h[:2] + "x"
    assert native.revoke_manifest(store, short, "f", True) == 0
    assert log_ops(store)[-1] == ["revoke_reverse_manifest", f"line_hash={short} file=f (0 toggled)"]


def test_string_true_counts_as_not_revoked(store):
    h = "ee" * 32
    shard = native.shard_path_str(store, "sections", h)
    write(shard, json.dumps({"section_hash": h, "revoked": "true"}) + "\n")
    assert native.revoke_section(store, h) == 1
    assert flags(shard, "section_hash", h) == [True]


@pytest.mark.parametrize("registrations, expected_count", [
    ([("Ada", "a@x")], 1),
    ([("Ada", "a@x"), ("Ada", "a@x")], 2),      # one id, visited once
    ([("Ada", "a@x"), ("Ada", "b@x")], 2),      # two authors of one name
])
def test_author_toggles_each_id_once(store, registrations, expected_count):
    for name, email in registrations:
        native.author_add(name, email, store)
    assert native.revoke_by_author(store, "Ada") == expected_count
    assert all(json.loads(t)["revoked"] for t in native.author_query(store, "Ada", None))
    assert log_ops(store) == [["revoke_author", f"Ada ({expected_count} authors toggled)"]]
    assert native.revoke_by_author(store, "Ada", reverse=True) == expected_count
    assert not any(json.loads(t)["revoked"] for t in native.author_query(store, "Ada", None))


def test_unknown_author_and_bad_flag(store, listing):
    assert native.revoke_by_author(store, "Nobody") == 0
    assert log_ops(store) == []
    with pytest.raises(TypeError, match="argument 'reverse'"):
        native.revoke_section(store, "ab" * 32, reverse=1)


def test_rewrite_leaves_no_temporary_file(store, section, listing):
    before = listing(store)
    native.revoke_section(store, section)
    native.revoke_by_author(store, "Ada")
    assert listing(store) == before
