"""The whole-file module vl._vl_bulk (its loading is checked with the native
module's in test_module.py): tracking whole data files natively (the same
records as line-by-line tracking, the hash of each line's own text, skipped
and invalid lines, strict runs, token counts)."""

import collections
import json
import os
import random

import pytest

import vl._vl_bulk as bulk
import vl._vl_native as native
from json_reference import canonical, loads
from tokens import read, sha, vl
from vl.tokenizers import text_of, whitespace


def store_lines(root):
    """Every line of the document index shards and token files, as a multiset."""
    return collections.Counter((os.path.basename(d), line) for d, _, files in os.walk(vl(root))
                               for name in files if name != "log"
                               for line in read(os.path.join(d, name)).splitlines())


def random_value(rng, depth=0):
    kind = rng.randrange(9 if depth < 4 else 6)
    if kind == 0:
        return rng.choice([None, True, False])
    if kind == 1:
        return rng.choice([0, -1, 7, 2**63 - 1, -(2**63), 2**64 - 1, rng.randrange(-10**6, 10**6)])
    if kind == 2:
        return rng.choice([0.0, -0.0, 1.0, 0.1, 1e-7, 1e16, 1.5e300, 5e-324, rng.random(), -rng.uniform(0, 1e6)])
    if kind in (3, 4, 5):
        pieces = ["a", "word ", "\u00e9t\u00e9", "\u6771\u4eac", "\U0001F600", '"', "\\", "\n", "\t", "\x00",
                  "\x1f", "/", "\u2028", "\u3000", "\u00a0x"]
        return "".join(rng.choice(pieces) for _ in range(rng.randrange(8)))
    if kind in (6, 7):
        return [random_value(rng, depth + 1) for _ in range(rng.randrange(5))]
    return {random_value(rng, 9) if rng.random() < 0.9 else str(rng.random()): random_value(rng, depth + 1)
            for _ in range(rng.randrange(6))}


def test_whole_file_tracking_writes_what_line_by_line_tracking_writes(tmp_path):
    """Lines as Python's json writes them (both ensure_ascii forms), tracked
    natively and line by line from Python: the same records and token entries."""
    rng = random.Random(15)
    values = [random_value(rng) for _ in range(400)]
    data = tmp_path / "data.jsonl"
    data.write_text("".join(json.dumps(v, ensure_ascii=i % 2 == 0) + "\n" for i, v in enumerate(values)),
                    encoding="utf-8")
    native_root, python_root = str(tmp_path / "a"), str(tmp_path / "b")
    for root in (native_root, python_root):
        native.init(root)
    result = bulk.track_file(native_root, str(data), "data.jsonl", ["s1", "s0"], tokenizer="whitespace")
    assert (result["recorded"], result["already"], result["invalid"], result["interrupted"]) == \
        (len(values), 0, [], False)
    for v in values:
        native.track(v, "data.jsonl", ["s1", "s0"], python_root, whitespace(text_of(v, None)), "whitespace")
    native_lines = store_lines(native_root)
    assert {d for d, _ in native_lines} >= {"document-index", ".vl"}
    assert native_lines == store_lines(python_root)


hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, given, settings, strategies as st  # noqa: E402

texts = st.text(st.characters(blacklist_categories=("Cs",)), max_size=8)
scalars = (st.none() | st.booleans() | st.integers(-(2**64), 2**64) | st.floats(allow_nan=False)
           | texts)
values = st.recursive(scalars, lambda inner: st.lists(inner, max_size=4)
                      | st.lists(st.tuples(texts, inner), max_size=5), max_leaves=20)
number_spellings = st.sampled_from(["0", "-0", "1E2", "1e-5", "0.10", "1.0e+0", "123456789012345678901",
                                    "2.2250738585072014e-308", "9007199254740993", "1e400", "-1e-400",
                                    "0.30000000000000004441", "18446744073709551616"])


def spell(draw, v, depth=0):
    """A JSON text of v with random white space, escapes and key repeats."""
    ws = draw(st.sampled_from(["", " ", "\t", "\r\n "]))
    if isinstance(v, list) and v and isinstance(v[0], tuple):  # object members, repeats allowed
        return "{" + ws + ",".join(spell(draw, k) + ws + ":" + spell(draw, x, depth + 1) for k, x in v) + "}"
    if isinstance(v, list):
        return "[" + ",".join(ws + spell(draw, x, depth + 1) for x in v) + ws + "]"
    if isinstance(v, str):
        return json.dumps(v, ensure_ascii=draw(st.booleans()))
    if isinstance(v, float) and draw(st.booleans()):
        return draw(number_spellings)
    return json.dumps(v)


@settings(max_examples=100, deadline=None, derandomize=True, database=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.data())
def test_a_line_hashes_as_the_reference_reads_and_writes_its_text(store, data):
    text = spell(data.draw, data.draw(values))
    try:
        expected = sha(canonical(loads(text)))
    except (ValueError, RecursionError, UnicodeEncodeError):
        # Not a value the store can hold: hashed as a string of the text.
        expected = sha(canonical(text))
    native.index_document(store, expected, "f", [])
    assert expected in [r["line_hash"] for r in native.blame(store, "f", text)]


# Every kind of character the whitespace counter tells apart, in strings long
# enough to be read in blocks: ASCII and Unicode white space, escaped control
# characters, characters beyond ASCII whose lead bytes are shared with white
# space (U+00A9 after C2, U+2014 after E2, U+3042 after E3) and others.
word_text = st.text(st.sampled_from(list(" \t\n\r\x0b\x0c\x1c\x1f\x85\xa0\u1680\u2000\u200a\u2028\u2029\u202f"
                                         "\u205f\u3000ab\"\\\x00\x7f\xa9\xe9\u2014\u2019\u200b\u3042\u6771\U0001F600")),
                    max_size=60)
word_values = st.recursive(word_text, lambda inner: st.lists(inner, max_size=4)
                           | st.dictionaries(word_text, inner, max_size=4), max_leaves=8)


@settings(max_examples=60, deadline=None, derandomize=True, database=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.lists(st.dictionaries(st.sampled_from(["t", "u", "t\u3000"]), word_values, max_size=3), min_size=1,
                max_size=8), st.sampled_from([None, "t"]))
def test_whitespace_counts_are_those_of_str_split(tmp_path, values, field):
    data = tmp_path / "w.jsonl"
    data.write_text("".join(json.dumps(v, ensure_ascii=False) + "\n" for v in values), encoding="utf-8")
    store = str(tmp_path / f"store-{len(os.listdir(tmp_path))}")
    native.init(store)
    r = bulk.track_file(store, str(data), "w.jsonl", [], tokenizer="whitespace", text_field=field)
    expected = []
    for v in values:
        try:
            expected.append(whitespace(text_of(v, field)))
        except ValueError:
            pass
    assert r["recorded"] == len(expected)
    counted = [json.loads(line)["token_count"] for name in os.listdir(vl(store))
               if name.startswith("token-index.whitespace.")
               for line in read(vl(store, name)).splitlines()]
    assert counted == expected


BAD_LINES = [b'{"t": "ok"}', b'{"t": "caf\xe9"}', b"not json", b'{"n": NaN}', b'{"n": 1e999}',
             b'{"n": 184467440737095516160}', b"[" * 128 + b"]" * 128, b"", b"  \t", b'{"u": "fine"}\r',
             b'{"t": 5}']


INVALID = [(2, "not valid UTF-8"), (3, "not valid JSON data: expected ident at line 1 column 2"),
           (4, "not valid JSON data: expected value at line 1 column 7"),
           (5, "not valid JSON data: number out of range at line 1 column 12"),
           (6, "not valid JSON data: an integer is out of the 64-bit range"), (7, "nested too deeply")]


@pytest.mark.parametrize("field, recorded, invalid", [
    (None, 3, INVALID),
    ("t", 1, INVALID + [(10, 'no string field "t"'), (11, 'no string field "t"')]),
])
def test_invalid_and_blank_lines(store, tmp_path, field, recorded, invalid):
    data = tmp_path / "bad.jsonl"
    data.write_bytes(b"\n".join(BAD_LINES))
    r = bulk.track_file(store, str(data), "bad.jsonl", [], tokenizer="whitespace", text_field=field)
    assert (r["recorded"], r["invalid"], r["bytes"]) == (recorded, invalid, data.stat().st_size)
    strict = bulk.track_file(store, str(data), "bad.jsonl", [], strict=True)
    assert (strict["recorded"], strict["invalid"]) == (0, invalid[:1])
    assert len(native.read_all_documents(store)) == recorded


def test_already_recorded_lines_are_skipped_as_often_as_counted(store, tmp_path):
    data = tmp_path / "d.jsonl"
    data.write_text('{"a": 1}\n{"a":1}\n[2]\n{"a": 1}\n')
    h1, h2 = native.compute_hash({"a": 1}), native.compute_hash([2])
    r = bulk.track_file(store, str(data), "d.jsonl", ["s"], already={h1: 2, h2: 0})
    assert (r["recorded"], r["already"]) == (2, 2)
    assert sorted(d["line_hash"] for d in native.read_all_documents(store)) == sorted([h1, h2])


def test_given_token_counts_are_used_in_line_order_and_must_match(store, tmp_path):
    data = tmp_path / "d.jsonl"
    data.write_text('"x"\nbad\n"y"\n')
    with pytest.raises(RuntimeError, match="^3 token counts given for 2 valid lines$"):
        bulk.track_file(store, str(data), "d.jsonl", [], tokenizer="t", token_counts=[1, 2, 3])
    assert native.read_all_documents(store) == []
    bulk.track_file(store, str(data), "d.jsonl", [], tokenizer="t", token_counts=[5, 7])
    native.token_index_merge_pid_files(store, "t")
    assert native.token_index_token_status(store, "t")["total_tokens"] == 12


@pytest.mark.parametrize("make, message", [
    (lambda p: None, "^data file not found: "),
    (lambda p: p.mkdir(), "is not a regular file$"),
    (lambda p: os.mkfifo(p), "is not a regular file$"),
])
def test_data_file_must_be_a_regular_file(store, tmp_path, listing, make, message):
    path = tmp_path / "data"
    make(path)
    before = listing(store)
    with pytest.raises(RuntimeError, match=message):
        bulk.track_file(store, str(path), "data", [])
    assert listing(store) == before
