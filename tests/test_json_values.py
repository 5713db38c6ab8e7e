"""Python values become JSON values through json.dumps and the store's own
reader; stored JSON comes back as Python values.  Observed through
jsonl_append (the stored text), jsonl_read (the values) and compute_hash."""

import math

import pytest

import vl._vl_native as native
from json_reference import read_number


def roundtrip(written_line, read_back, value):
    line = written_line(value)
    (back,) = read_back(line + b"\n")
    return line.decode(), back


# --- integers and floats --------------------------------------------------

@pytest.mark.parametrize("value, text, back", [
    (0, "0", 0),
    (2**63 - 1, "9223372036854775807", 2**63 - 1),
    # Unsigned integers above the signed range are kept as integers in the
    # store but come back as the nearest float.
    (2**63, "9223372036854775808", 9.223372036854776e18),
    (2**64 - 1, "18446744073709551615", 1.8446744073709552e19),
    # Beyond 64 bits the value is a float already on the way in.
    (2**64, "1.8446744073709552e+19", 1.8446744073709552e19),
    (-(2**63), "-9223372036854775808", -(2**63)),
    (-(2**63) - 1, "-9.223372036854776e+18", -9.223372036854776e18),
    (-1, "-1", -1),
])
def test_integer_ranges(written_line, read_back, value, text, back):
    line, got = roundtrip(written_line, read_back, value)
    assert line == text
    assert got == back and type(got) is type(back)


def test_an_integer_and_the_equal_float_stay_distinct(written_line, read_back):
    assert roundtrip(written_line, read_back, 1) == ("1", 1)
    line, back = roundtrip(written_line, read_back, 1.0)
    assert line == "1.0" and type(back) is float
    line, back = roundtrip(written_line, read_back, [1, 1.0, -0.0])
    assert line == "[1,1.0,-0.0]"
    assert [type(x) for x in back] == [int, float, float]
    assert math.copysign(1, back[2]) == -1


def test_booleans_are_not_integers(written_line, read_back):
    line, back = roundtrip(written_line, read_back, [True, False, None, 1, 0])
    assert line == "[true,false,null,1,0]"
    assert back[0] is True and back[1] is False and back[2] is None
    assert type(back[3]) is int
    assert native.compute_hash(True) != native.compute_hash(1)


def test_integers_too_large_for_a_double_are_refused():
    # 10**308 is the largest power of ten the reader can scale to.
    native.compute_hash(10**308)
    with pytest.raises(RuntimeError, match="^number out of range"):
        native.compute_hash(10**309)


# --- containers --------------------------------------------------------------

def test_tuples_become_lists(written_line, read_back):
    assert roundtrip(written_line, read_back, (1, (2, "x"))) == ('[1,[2,"x"]]', [1, [2, "x"]])


@pytest.mark.parametrize("value, text", [
    ({1: "a"}, '{"1":"a"}'),
    ({True: 1, None: 2, 1.5: 3}, '{"1.5":3,"null":2,"true":1}'),
    # Coercion can produce one key twice: the value json.dumps wrote last wins.
    ({1: "int", "1": "str"}, '{"1":"str"}'),
    ({"1": "str", 1: "int"}, '{"1":"int"}'),
])
def test_dict_key_coercion(written_line, value, text):
    assert written_line(value).decode() == text


def test_repeated_key_in_a_large_object_keeps_the_last_value(written_line, read_back):
    value = {f"k{i:02}": i for i in range(30)}
    value[7] = "first"
    value["7"] = "last"
    line, back = roundtrip(written_line, read_back, value)
    assert back["7"] == "last" and len(back) == 31
    assert line.count('"7":') == 1


def test_keys_are_sorted_by_utf8_bytes(written_line, read_back):
    # U+FFFF sorts before U+1F600 in UTF-8 (and code point) order, but after
    # it in UTF-16 order.
    value = {"b": 1, "\U0001F600": 2, "\uffff": 3, "ab": 4, "a": 5, "B": 6, "é": 7}
    line, back = roundtrip(written_line, read_back, value)
    assert line == '{"B":6,"a":5,"ab":4,"b":1,"é":7,"\uffff":3,"\U0001F600":2}'
    assert list(back) == ["B", "a", "ab", "b", "é", "\uffff", "\U0001F600"]
    nested = {"z": {"y": 1, "x": [{"d": 0, "c": 0}]}}
    assert written_line(nested) == b'{"z":{"x":[{"c":0,"d":0}],"y":1}}'


def test_stored_keys_come_back_sorted_whatever_the_file_order(read_back):
    (back,) = read_back('{"z": 1, "a": {"c": 2, "b": 3}, "m": null}\n')
    assert list(back) == ["a", "m", "z"] and list(back["a"]) == ["b", "c"]


def nested_lists(depth):
    v = []
    for _ in range(depth - 1):
        v = [v]
    return v


def nested_dicts(depth):
    v = {}
    for _ in range(depth - 1):
        v = {"k": v}
    return v


@pytest.mark.parametrize("make", [nested_lists, nested_dicts])
def test_nesting_limit_is_127_levels(written_line, read_back, make):
    line, back = roundtrip(written_line, read_back, make(127))
    assert back == make(127)
    with pytest.raises(RuntimeError, match=r"^recursion limit exceeded at line 1 column \d+$"):
        native.compute_hash(make(128))
    if make is nested_lists:  # the message points at the 128th bracket
        with pytest.raises(RuntimeError, match="^recursion limit exceeded at line 1 column 128$"):
            native.compute_hash(make(128))


# --- values json.dumps writes but JSON does not have ------------------------------

@pytest.mark.parametrize("value", [math.nan, math.inf])
def test_nan_and_infinity_are_refused_at_the_top(value):
    with pytest.raises(RuntimeError) as info:
        native.compute_hash(value)
    assert info.value.args == ("expected value at line 1 column 1",)


def test_nan_inside_a_list_names_its_column_and_writes_nothing(tmp_path):
    path = tmp_path / "f.jsonl"
    with pytest.raises(RuntimeError, match="^expected value at line 1 column 2$"):
        native.jsonl_append(str(path), [math.nan])
    with pytest.raises(RuntimeError):
        native.jsonl_append(str(path), {"x": -math.inf})
    assert not path.exists()


def test_unencodable_objects_raise_what_json_dumps_raises(tmp_path):
    path = tmp_path / "f.jsonl"
    for bad in [{1, 2}, b"x", object(), {(1, 2): 3}]:
        with pytest.raises(TypeError):
            native.jsonl_append(str(path), bad)
        with pytest.raises(TypeError):
            native.compute_hash(bad)
    assert not path.exists()


def test_lone_surrogates_are_refused_but_a_pair_is_one_character():
    for s in ["\ud800", "a\udfffb", "\ud800\ud800"]:
        with pytest.raises(RuntimeError, match="surrogate"):
            native.compute_hash(s)
    # Two surrogate code points forming a pair are written by json.dumps as
    # a \u escape pair, which the reader joins.
    assert native.compute_hash("\ud83d\ude00") == native.compute_hash("\U0001F600")


def test_text_survives_unchanged(written_line, read_back):
    s = "héllo wörld 中文 \U0001F600 \x00\x01\x1f\x7f \"q\" \\ / \u2028"
    line, back = roundtrip(written_line, read_back, {"s": s})
    assert back == {"s": s}
    assert "中文 \U0001F600" in line  # raw UTF-8, no \u escapes


# --- the number reader on stored lines ------------------------------------------

def read_one(read_back, literal):
    values = read_back(literal + "\n")
    return values[0] if values else "skipped"


@pytest.mark.parametrize("literal", [
    "0.1", "0.2", "0.3", "3.14159", "-2.5e-3", "123.456", "1e22", "7E+2", "1E2",
    "-7.25e10", "0.5", "65536.125", "1e-22", "0.000001", "4503599627370497.0",
])
def test_ordinary_decimal_literals_read_as_python_reads_them(read_back, literal):
    got = read_one(read_back, literal)
    assert type(got) is float and got == float(literal)


@pytest.mark.parametrize("literal, expected", [
    ("0", 0),
    ("-0", -0.0),
    ("-0.0", -0.0),
    ("18446744073709551615", 1.8446744073709552e19),
    ("-9223372036854775808", -(2**63)),
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
    ("1e400", "skipped"),
    ("1e99999999999", "skipped"),
    ("1.8e308", "skipped"),
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
                                     "NaN", "Infinity", "-Infinity"])
def test_malformed_numbers_are_skipped(read_back, literal):
    assert read_back(f"{literal}\n[1]\n") == [[1]]
