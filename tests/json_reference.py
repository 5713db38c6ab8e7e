"""An independent model of the store's JSON forms, written from the documented
rules and used by the tests as the expected answer:

- read_number: how the store's reader turns a number literal into a value
  (a fast conversion that is not always correctly rounded);
- loads: Python's json.loads with that number rule;
- canonical: the canonical compact text that is stored and hashed.
"""

import decimal
import json
import math

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
    i, n = 0, len(text)
    negative = text.startswith("-")
    if negative:
        i = 1
    significand, exponent, is_float = 0, 0, False
    while i < n and text[i].isdigit():
        d = int(text[i])
        if _overflows(significand, d, U64_MAX):
            is_float = True
            while i < n and text[i].isdigit():
                exponent += 1
                i += 1
            break
        significand = significand * 10 + d
        i += 1
    if i < n and text[i] == ".":
        is_float = True
        i += 1
        full = False
        while i < n and text[i].isdigit():
            d = int(text[i])
            if not full and _overflows(significand, d, U64_MAX):
                full = True
            if not full:
                significand = significand * 10 + d
                exponent -= 1
            i += 1
    if i < n and text[i] in "eE":
        is_float = True
        i += 1
        exp_negative = False
        if text[i] in "+-":
            exp_negative = text[i] == "-"
            i += 1
        e, overflow = 0, False
        while i < n:
            d = int(text[i])
            if not overflow and _overflows(e, d, I32_MAX):
                overflow = True
            if not overflow:
                e = e * 10 + d
            i += 1
        if overflow:
            if significand != 0 and not exp_negative:
                raise OutOfRange(text)
            return -0.0 if negative else 0.0
        total = exponent - e if exp_negative else exponent + e
        exponent = max(-(2**31), min(I32_MAX, total))
    if not is_float:
        if not negative:
            return significand
        if 0 < significand <= 2**63:
            return -significand
        return -float(significand)
    f = float(significand)
    while True:
        if abs(exponent) <= 308:
            if exponent >= 0:
                f *= POW10[exponent]
                if math.isinf(f):
                    raise OutOfRange(text)
            else:
                f /= POW10[-exponent]
            break
        if f == 0:
            break
        if exponent >= 0:
            raise OutOfRange(text)
        f /= 1e308
        exponent += 308
    return -f if negative else f


def _refuse_constant(name):
    raise ValueError(f"{name} is not JSON")


def loads(text):
    """json.loads with the store's number rule (ints beyond 64 bits and every
    literal with a fraction or exponent become floats by read_number)."""
    return json.loads(text, parse_int=read_number, parse_float=read_number,
                      parse_constant=_refuse_constant)


def float_text(x):
    """The documented float layout, from the shortest repr() digits."""
    if x == 0:
        return "-0.0" if math.copysign(1.0, x) < 0 else "0.0"
    sign = "-" if x < 0 else ""
    t = decimal.Decimal(repr(abs(x))).normalize().as_tuple()
    digits = "".join(map(str, t.digits))
    n = len(digits)
    e = n - 1 + t.exponent
    if -5 <= e <= 15:
        if e >= n - 1:
            body = digits + "0" * (e - n + 1) + ".0"
        elif e >= 0:
            body = digits[: e + 1] + "." + digits[e + 1:]
        else:
            body = "0." + "0" * (-e - 1) + digits
    else:
        body = digits[0] + ("." + digits[1:] if n > 1 else "")
        body += "e" + ("+" if e >= 0 else "-") + str(abs(e))
    return sign + body


_SHORT_ESCAPES = {0x22: '\\"', 0x5C: "\\\\", 0x08: "\\b", 0x09: "\\t",
                  0x0A: "\\n", 0x0C: "\\f", 0x0D: "\\r"}


def string_text(s):
    out = ['"']
    for ch in s:
        c = ord(ch)
        if c in _SHORT_ESCAPES:
            out.append(_SHORT_ESCAPES[c])
        elif c < 0x20:
            out.append("\\u%04x" % c)
        else:
            out.append(ch)
    out.append('"')
    return "".join(out)


def canonical(v):
    """Canonical text of a value as `loads` returns it."""
    if v is None:
        return "null"
    if v is True:
        return "true"
    if v is False:
        return "false"
    if isinstance(v, int):
        return str(v)
    if isinstance(v, float):
        return float_text(v)
    if isinstance(v, str):
        return string_text(v)
    if isinstance(v, list):
        return "[" + ",".join(canonical(x) for x in v) + "]"
    if isinstance(v, dict):
        keys = sorted(v, key=lambda k: k.encode("utf-8"))
        return "{" + ",".join(string_text(k) + ":" + canonical(v[k]) for k in keys) + "}"
    raise TypeError(type(v))


def canonical_of_python(obj):
    """What the store writes for a Python object: json.dumps, read back by the
    store's rules, in canonical form."""
    return canonical(loads(json.dumps(obj)))
