"""The content hash is SHA-256 of the canonical text, which is also the text
stored in JSONL files.  Expected texts are built by hand (or by the model in
json_reference) and hashed with hashlib."""

import os
import tempfile

import pytest

import vl._vl_native as native
from json_reference import OutOfRange, canonical_of_python
from tokens import sha


@pytest.mark.parametrize("value, text", [
    (None, "null"), (True, "true"), (False, "false"), (0, "0"), (-17, "-17"),
    ("", '""'), ([], "[]"), ({}, "{}"), ({"b": 1, "a": 2}, '{"a":2,"b":1}'),
    ({"b": [1, {"d": None, "c": "x"}], "a": 2.5}, '{"a":2.5,"b":[1,{"c":"x","d":null}]}'),
    # An integer and the equal float hash differently.  (The integer ranges
    # are in test_json_values.py, which pins their stored text.)
    (1, "1"), (1.0, "1.0"),
    # Text other than ASCII is hashed as raw UTF-8.
    ("Grüße, 世界 \U0001F600", '"Grüße, 世界 \U0001F600"'),
    # The layout of floats.
    (0.5, "0.5"), (100.0, "100.0"), (1e15, "1000000000000000.0"),
    (1e16, "1e+16"), (1.5e16, "1.5e+16"), (0.0001, "0.0001"), (1e-5, "0.00001"),
    (1e-6, "1e-6"), (1.5e-7, "1.5e-7"), (1e100, "1e+100"), (5e-324, "5e-324"),
    (1 / 3, "0.3333333333333333"), (2**70, "1.1805916207174113e+21"),
    (0.0, "0.0"), (-0.0, "-0.0"), (-2.5, "-2.5"), (123456.789, "123456.789"),
    (1.2345e-5, "0.000012345"), (9999999999999998.0, "9999999999999998.0"),
    (1.7976931348623157e308, "1.7976931348623157e+308"), (-1e-7, "-1e-7"),
    (0.1 + 0.2, "0.30000000000000004"), (10**308, "1e+308"),
])
def test_hash_is_sha256_of_the_compact_sorted_text_which_is_stored(written_line, value, text):
    assert written_line(value) == text.encode()
    assert native.compute_hash(value) == sha(text)


ESCAPES = {0x08: "\\b", 0x09: "\\t", 0x0A: "\\n", 0x0C: "\\f", 0x0D: "\\r",
           0x22: '\\"', 0x5C: "\\\\", 0x2F: "/", 0x7F: "\x7f"}


@pytest.mark.parametrize("code", [*range(0x20), 0x22, 0x2F, 0x5C, 0x7F])
def test_string_escapes_in_values_and_keys(written_line, code):
    """Control characters are escaped (short forms where JSON has them),
    quote and backslash too; slash and DEL are written raw."""
    s = "a" + chr(code) + "b"
    text = '"a%sb"' % ESCAPES.get(code, "\\u%04x" % code)
    assert written_line(s) == text.encode()
    assert native.compute_hash(s) == sha(text)
    assert native.compute_hash({s: s}) == sha("{" + text + ":" + text + "}")


hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, settings, strategies as st  # noqa: E402

scalars = (st.none() | st.booleans() | st.integers(min_value=-(2**70), max_value=2**70)
           | st.floats(allow_nan=False, allow_infinity=False) | st.text(max_size=12))
keys = st.text(max_size=6) | st.integers(-5, 5) | st.booleans() | st.floats(-4, 4, width=16)
json_values = st.recursive(
    scalars, lambda inner: st.lists(inner, max_size=5) | st.tuples(inner, inner)
    | st.dictionaries(keys, inner, max_size=5), max_leaves=25)


@settings(max_examples=400, deadline=None, derandomize=True, database=None)
@given(json_values)
def test_hash_and_stored_text_match_the_reference_serialiser(value):
    try:
        expected = canonical_of_python(value)
    except OutOfRange:
        with pytest.raises(RuntimeError, match="^number out of range"):
            native.compute_hash(value)
        return
    assert native.compute_hash(value) == sha(expected)
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "v.jsonl")
        native.jsonl_append(path, value)
        with open(path, "rb") as f:
            assert f.read() == expected.encode() + b"\n"


@settings(max_examples=300, deadline=None, derandomize=True, database=None)
@given(st.floats(allow_nan=False, allow_infinity=False))
def test_float_layout_property(value):
    assert native.compute_hash(value) == sha(canonical_of_python(value))
