"""An independent model of the store's JSON forms, written from the documented
rules and used by the tests as the expected answer: read_number (how the
reader turns a number literal into a value: a fast conversion, not always
correctly rounded), loads (json.loads with that rule) and canonical (the
compact text that is stored and hashed)."""

import json
import math
import re

U64_MAX = 2**64 - 1
I32_MAX = 2**31 - 1
# Correctly rounded powers of ten, as float() reads the literals.
POW10 = [float(f"1e{k}") for k in range(309)]


class OutOfRange(ValueError):
    pass


def _overflows(significand, digit, limit):
    return significand > limit // 10 or (significand == limit // 10 and digit > limit % 10)


def read_number(text):
    """The value of a JSON number literal: an int for the integer forms
    (unsigned 64-bit, negative signed 64-bit), else a float."""
    negative, whole, fraction, exp_sign, exp_digits = re.fullmatch(
        r"(-?)(\d+)(?:\.(\d+))?(?:[eE]([+-]?)(\d+))?", text).groups()
    significand, exponent = 0, 0
    for k, d in enumerate(whole):
        if _overflows(significand, int(d), U64_MAX):
            exponent = len(whole) - k  # the remaining digits only scale
            break
        significand = significand * 10 + int(d)
    is_float = exponent > 0 or fraction is not None or exp_digits is not None
    full = False
    for d in fraction or "":  # taken while they fit, even after the whole part overflowed
        full = full or _overflows(significand, int(d), U64_MAX)
        if not full:
            significand, exponent = significand * 10 + int(d), exponent - 1
    if exp_digits is not None:
        e, overflow = 0, False
        for d in exp_digits:
            overflow = overflow or _overflows(e, int(d), I32_MAX)
            e = e if overflow else e * 10 + int(d)
        if overflow:
            if significand != 0 and exp_sign != "-":
                raise OutOfRange(text)
            return -0.0 if negative else 0.0
        exponent = max(-(2**31), min(I32_MAX, exponent - e if exp_sign == "-" else exponent + e))
    if not is_float:
        if not negative:
            return significand
        return -significand if 0 < significand <= 2**63 else -float(significand)
    f = float(significand)
    while abs(exponent) > 308 and f != 0:  # scale by 1e308 steps until in range
        if exponent >= 0:
            raise OutOfRange(text)
        f /= 1e308
        exponent += 308
    if abs(exponent) <= 308:
        if exponent >= 0:
            f *= POW10[exponent]
            if math.isinf(f):
                raise OutOfRange(text)
        else:
            f /= POW10[-exponent]
    return -f if negative else f


def _refuse_constant(name):
    raise ValueError(f"{name} is not JSON")


def loads(text):
    return json.loads(text, parse_int=read_number, parse_float=read_number,
                      parse_constant=_refuse_constant)


def float_text(x):
    """The documented float layout: the shortest digits that read back, fixed
    for decimal exponents -5..15, else d[.ddd]e±X."""
    text = repr(x)  # Python's layout differs only at exponent -5 and in exponent digits
    if "e" not in text:
        return text
    mantissa, exponent = text.split("e")
    if int(exponent) == -5:
        return ("-" if x < 0 else "") + "0.0000" + mantissa.lstrip("-").replace(".", "")
    return mantissa + "e%+d" % int(exponent)


_SHORT_ESCAPES = {0x22: '\\"', 0x5C: "\\\\", 0x08: "\\b", 0x09: "\\t",
                  0x0A: "\\n", 0x0C: "\\f", 0x0D: "\\r"}


def string_text(s):
    return '"' + "".join(_SHORT_ESCAPES.get(ord(ch), "\\u%04x" % ord(ch) if ch < " " else ch)
                         for ch in s) + '"'


def canonical(v):
    """Canonical text of a value as `loads` returns it."""
    if v is None or isinstance(v, bool):
        return {None: "null", True: "true", False: "false"}[v]
    if isinstance(v, int):
        return str(v)
    if isinstance(v, float):
        return float_text(v)
    if isinstance(v, str):
        return string_text(v)
    if isinstance(v, list):
        return "[" + ",".join(map(canonical, v)) + "]"
    if isinstance(v, dict):
        keys = sorted(v, key=lambda k: k.encode("utf-8"))
        return "{" + ",".join(string_text(k) + ":" + canonical(v[k]) for k in keys) + "}"
    raise TypeError(type(v))


def canonical_of_python(obj):
    """What the store writes for a Python object: json.dumps, read back by the
    store's rules, in canonical form."""
    return canonical(loads(json.dumps(obj)))
