"""Python values become JSON values through json.dumps and the store's own
reader; stored JSON comes back as Python values.  Observed through
jsonl_append (the stored text), jsonl_read (the values) and compute_hash."""

import json
import math

import pytest

import vl._vl_native as native
from json_reference import read_number


def roundtrip(written_line, read_back, value):
    line = written_line(value)
    (back,) = read_back(line + b"\n")
    return line.decode(), back


@pytest.mark.parametrize("value, text, back", [
    (0, "0", 0),
    (-1, "-1", -1),
    (2**63 - 1, "9223372036854775807", 2**63 - 1),
    # Unsigned integers above the signed range are kept as integers in the
    # store but come back as the nearest float.
    (2**63, "9223372036854775808", 9.223372036854776e18),
    (2**64 - 1, "18446744073709551615", 1.8446744073709552e19),
    # Beyond 64 bits the value is a float already on the way in.
    (2**64, "1.8446744073709552e+19", 1.8446744073709552e19),
    (-(2**63), "-9223372036854775808", -(2**63)),
    (-(2**63) - 1, "-9.223372036854776e+18", -9.223372036854776e18),
    # Scalars stay distinct (1, 1.0, -0.0, true, 0); tuples become lists.
    ([1, 1.0, -0.0, True, False, None, 0, (2, ("x",))], '[1,1.0,-0.0,true,false,null,0,[2,["x"]]]',
     [1, 1.0, -0.0, True, False, None, 0, [2, ["x"]]]),
    # Keys are coerced to strings as json.dumps does.
    ({1: "a"}, '{"1":"a"}', {"1": "a"}),
    ({True: 1, None: 2, 1.5: 3}, '{"1.5":3,"null":2,"true":1}', {"1.5": 3, "null": 2, "true": 1}),
    # Coercion can produce one key twice: the value json.dumps wrote last wins.
    ({1: "int", "1": "str"}, '{"1":"str"}', {"1": "str"}),
    ({"1": "str", 1: "int"}, '{"1":"int"}', {"1": "int"}),
    # Keys are sorted by UTF-8 bytes: U+FFFF before U+1F600, unlike UTF-16 order.
    ({"b": 1, "\U0001F600": 2, "\uffff": 3, "ab": 4, "a": 5, "B": 6, "é": 7},
     '{"B":6,"a":5,"ab":4,"b":1,"é":7,"\uffff":3,"\U0001F600":2}',
     {"B": 6, "a": 5, "ab": 4, "b": 1, "é": 7, "\uffff": 3, "\U0001F600": 2}),
    ({"z": {"y": 1, "x": [{"d": 0, "c": 0}]}}, '{"z":{"x":[{"c":0,"d":0}],"y":1}}',
     {"z": {"x": [{"c": 0, "d": 0}], "y": 1}}),
])
def test_stored_text_and_value_read_back(written_line, read_back, value, text, back):
    line, got = roundtrip(written_line, read_back, value)
    # repr tells apart 1, 1.0 and True, and -0.0 from 0.0, and shows key order.
    assert line == text and repr(got) == repr(back)


def test_repeated_key_in_a_large_object_keeps_the_last_value(written_line, read_back):
    value = {**{f"k{i:02}": i for i in range(30)}, 7: "first", "7": "last"}
    line, back = roundtrip(written_line, read_back, value)
    assert back["7"] == "last" and len(back) == 31 and line.count('"7":') == 1


def test_keys_of_any_text_are_read_back_sorted(read_back):
    (back,) = read_back('{"z": 1, "a": {"c": 2, "b": 3}, "m": null}\n')
    assert list(back) == ["a", "m", "z"] and list(back["a"]) == ["b", "c"]


@pytest.mark.parametrize("text, column", [
    (lambda d: "[" * d + "]" * d, "128"),  # the message points at the 128th bracket
    (lambda d: '{"k":' * (d - 1) + "{}" + "}" * (d - 1), r"\d+"),
], ids=["lists", "objects"])
def test_nesting_limit_is_127_levels(written_line, read_back, text, column):
    deepest = json.loads(text(127))
    assert roundtrip(written_line, read_back, deepest)[1] == deepest
    with pytest.raises(RuntimeError, match=rf"^recursion limit exceeded at line 1 column {column}$"):
        native.compute_hash(json.loads(text(128)))


@pytest.mark.parametrize("value, error, message", [
    (math.nan, RuntimeError, "^expected value at line 1 column 1$"),
    (math.inf, RuntimeError, "^expected value at line 1 column 1$"),
    ([math.nan], RuntimeError, "^expected value at line 1 column 2$"),
    ({"x": -math.inf}, RuntimeError, "^invalid number at line 1 column 8$"),
    (10**309, RuntimeError, "^number out of range"),  # 10**308 is the largest power of ten it can scale to
    ("\ud800", RuntimeError, "surrogate"),
    ("a\udfffb", RuntimeError, "surrogate"),
    ("\ud800\ud800", RuntimeError, "surrogate"),
    ({1, 2}, TypeError, None),
    (b"x", TypeError, None),
    (object(), TypeError, None),
    ({(1, 2): 3}, TypeError, None),
])
def test_values_without_a_json_form_are_refused_and_write_nothing(tmp_path, value, error, message):
    """NaN and infinity (which json.dumps writes), numbers beyond a double, lone
    surrogates, and what json.dumps cannot encode."""
    path = tmp_path / "f.jsonl"
    for call in (native.compute_hash, lambda v: native.jsonl_append(str(path), v)):
        with pytest.raises(error, match=message):
            call(value)
    assert not path.exists()


def test_text_survives_unchanged(written_line, read_back):
    s = "héllo wörld 中文 \U0001F600 \x00\x01\x1f\x7f \"q\" \\ / \u2028"
    line, back = roundtrip(written_line, read_back, {"s": s})
    assert back == {"s": s}
    assert "中文 \U0001F600" in line  # raw UTF-8, no \u escapes
    # json.dumps writes a pair of surrogate code points as a \u escape pair,
    # which the reader joins.
    assert native.compute_hash("\ud83d\ude00") == native.compute_hash("\U0001F600")


def read_one(read_back, literal):
    (value,) = read_back(literal + "\n")
    return value


@pytest.mark.parametrize("literal, expected", [
    # ordinary decimal literals read as Python reads them
    *((lit, float(lit)) for lit in ["0.1", "0.2", "0.3", "3.14159", "-2.5e-3", "123.456", "1e22", "7E+2", "1E2",
                                    "-7.25e10", "0.5", "65536.125", "1e-22", "0.000001", "4503599627370497.0"]),
    ("-0", -0.0),
    ("-0.0", -0.0),
    ("-9223372036854775809", -9.223372036854776e18),
    ("123456789012345678901234567890", 1.2345678901234568e29),
    ("1.00000000000000000000000000001", 1.0),
    ("1e-400", 0.0),
    ("-1e-400", -0.0),
    ("0e400", 0.0),
    ("0e99999999999", 0.0),
    ("1e-99999999999", 0.0),
    ("-1e-99999999999", -0.0),
    ("-0e99999999999", -0.0),
])
def test_number_reader_edges(read_back, literal, expected):
    got = read_one(read_back, literal)
    assert got == expected and type(got) is type(expected)
    if isinstance(expected, float) and expected == 0:
        assert math.copysign(1, got) == math.copysign(1, expected)


@pytest.mark.parametrize("literal", [
    # Not correctly rounded in general: the digits that fit 64 bits, scaled by
    # one correctly rounded power of ten (or several beyond 1e308).
    "0.30000000000000004", "2.2250738585072014e-308", "4.9e-324",
    "1.7976931348623157e308", "123456789e-330", "9007199254740993.0",
    "18446744073709551619.1", "1234567890123456789012.5e-3", "8.98846567431158e307",
    "0.1234567890123456789012345678", "2.4703282292062327e-324", "1e-323",
    "98765432109876543210987654321e-350",
    # These differ from the correctly rounded float():
    "7.123456789012345678e-100", "0.30000000000000004e-300", "2.2250738585072011e-308",
    "332.714660325134e-281", "712.559207294738381e263", "61.5058476042945e-198",
])
def test_number_reader_follows_the_documented_conversion(read_back, literal):
    assert read_one(read_back, literal) == read_number(literal)


@pytest.mark.parametrize("literal", ["01", "1.", ".5", "+1", "1e", "-", "1.e5", "0x10",
                                     "NaN", "Infinity", "-Infinity", "1e400", "1e99999999999", "1.8e308"])
def test_malformed_and_out_of_range_numbers_are_skipped(read_back, literal):
    assert read_back(f"{literal}\n[1]\n") == [[1]]
