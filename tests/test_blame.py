"""Blame: the document records of one line of content, found by hashing the
line as the JSON value it holds, or as a JSON string of its text when it is
not one complete JSON text."""

import json
import pathlib

import pytest

import vl._vl_native as native


DEEP, TOO_DEEP = "[" * 127 + "]" * 127, "[" * 128 + "]" * 128


@pytest.mark.parametrize("line, value", [
    ('{"b": [1, 2], "a": {"y": null, "x": true}}', {"a": {"x": True, "y": None}, "b": [1, 2]}),
    ('{"y":[true,null],"x":1}', {"x": 1, "y": [True, None]}),
    ('{"a":1,"a":2}', {"a": 2}),
    (' [1, "x"]\t', [1, "x"]),
    ('"word"', "word"),
    ("word", "word"),
    ('"caf\\u00e9"', "café"),
    ("42", 42),
    ("-7", -7),
    ("1.5", 1.5),
    ("null", None),
    ("{} x", "{} x"),
    ('"unterminated', '"unterminated'),
    ("[1,]", "[1,]"),
    ("NaN", "NaN"),
    ("", ""),
    (DEEP, json.loads(DEEP)),
    (TOO_DEEP, TOO_DEEP),
], ids=lambda v: repr(v)[:24])
def test_line_is_hashed_as_its_json_value_or_as_its_text(store, line, value):
    h = native.track(value, "data.jsonl", ["s"], store)
    assert native.blame(store, "data.jsonl", line) == [
        {"file": "data.jsonl", "line_hash": h, "sources": ["s"]}]


@pytest.mark.parametrize("line, other", [
    ("42", "42"),            # a number is not its text
    ("{} x", {}),            # trailing characters make the whole line text
    ('"word"', '"word"'),    # a string literal is its content, not its quotes
    ("true", "true"),
    ('{"a": 1}', '{"a": 1}'),
    ("not indexed", "indexed"),
    ('"indexed "', "indexed"),
])
def test_line_does_not_find_another_reading_or_line(store, line, other):
    native.track(other, "data.jsonl", [], store)
    assert native.blame(store, "data.jsonl", line) == []


def test_file_argument_does_not_narrow_the_result(store):
    h = native.track({"t": 1}, "a.jsonl", ["s1"], store)
    native.track({"t": 1}, "b.jsonl", ["s2", "s3"], store)
    native.track({"t": 2}, "a.jsonl", ["s1"], store)
    expected = [{"file": "a.jsonl", "line_hash": h, "sources": ["s1"]},
                {"file": "b.jsonl", "line_hash": h, "sources": ["s2", "s3"]}]
    for file in ("a.jsonl", "b.jsonl", "elsewhere.jsonl", ""):
        assert native.blame(store, file, '{"t":1}') == expected


def test_revoked_records_are_returned_without_their_flag_and_other_lines_are_not(store):
    h = native.track("line", "a.jsonl", ["s"], store)
    native.index_document(store, h, "b.jsonl", [], "import")
    native.index_document(store, h[:2] + "0" * 62, "near.jsonl", [])
    native.index_document(store, h.upper(), "upper.jsonl", [])
    shard = pathlib.Path(store, ".vl", "document-index", h[:2])
    shard.write_bytes(shard.read_bytes().replace(b'"revoked":false', b'"revoked":true', 1))
    found = native.blame(store, "a.jsonl", "line")
    assert found == [{"file": "a.jsonl", "line_hash": h, "sources": ["s"]},
                     {"file": "b.jsonl", "line_hash": h, "sources": []}]
    assert [list(r) for r in found] == [["file", "line_hash", "sources"]] * 2
