"""Token counters for ``vl track --tokenizer``.

A tokenizer is a callable taking one text (str) and returning its token count
(a non-negative int).  The count stored under a tokenizer's name is always
that tokenizer's count:

* ``whitespace`` (built in): the number of runs of non-white-space characters.
* ``module:function``: a callable of your own, imported from an importable
  module; stored under the function's ``vl_tokenizer_name`` attribute if it has
  one, else under its ``__name__``.  ``NAME=module:function`` names it
  explicitly.
* ``NAME``: an entry point ``NAME`` of the group ``vl.tokenizers`` of an
  installed distribution (``[project.entry-points."vl.tokenizers"]``).

Which text of a line is counted: by default every string value of the line's
JSON (keys excluded), joined with line breaks; with ``--field F`` only the
string at key F of the line's top-level object.
"""

from __future__ import annotations

import importlib
import re
from dataclasses import dataclass
from typing import Any, Callable

NAME = re.compile(r"^[A-Za-z0-9_-]{1,64}$")


class TokenizerError(ValueError):
    pass


def whitespace(text: str) -> int:
    """Runs of non-white-space characters."""
    return len(text.split())


BUILTIN: dict[str, Callable[[str], int]] = {"whitespace": whitespace}


@dataclass
class Tokenizer:
    name: str
    count: Callable[[str], int]

    def __call__(self, text: str) -> int:
        n = self.count(text)
        if isinstance(n, bool) or not isinstance(n, int) or n < 0:
            raise TokenizerError(f"tokenizer {self.name!r} returned {n!r}, not a token count")
        return n


def _import(target: str) -> Callable[[str], int]:
    module_name, _, attr = target.partition(":")
    try:
        obj: Any = importlib.import_module(module_name)
    except Exception as e:  # an import error of any kind in the user's module
        raise TokenizerError(f"cannot import tokenizer module {module_name!r}: {e}") from None
    for part in attr.split("."):
        try:
            obj = getattr(obj, part)
        except AttributeError:
            raise TokenizerError(f"module {module_name!r} has no {attr!r}") from None
    if not callable(obj):
        raise TokenizerError(f"{target!r} is not callable")
    return obj


def _entry_point(name: str) -> Callable[[str], int] | None:
    from importlib.metadata import entry_points

    for ep in entry_points(group="vl.tokenizers"):
        if ep.name == name:
            try:
                return ep.load()
            except Exception as e:
                raise TokenizerError(f"cannot load tokenizer entry point {name!r}: {e}") from None
    return None


def load(choice: str) -> Tokenizer:
    """The tokenizer named by `choice` (see the module documentation)."""
    name, eq, target = choice.partition("=")
    if not eq:
        name, target = "", choice
    if ":" in target:
        fn = _import(target)
        name = name or getattr(fn, "vl_tokenizer_name", None) or getattr(fn, "__name__", "")
    else:
        name = name or target
        fn = BUILTIN.get(target) or _entry_point(target)  # type: ignore[assignment]
        if fn is None:
            known = ", ".join(sorted(BUILTIN))
            raise TokenizerError(f"unknown tokenizer {target!r} (built in: {known}; or module:function)")
    if not NAME.match(name):
        raise TokenizerError(f"tokenizer name {name!r} must be 1-64 letters, digits, '-' or '_'")
    return Tokenizer(name, fn)


def text_of(value: Any, field: str | None) -> str:
    """The text of a line that is counted: the string at `field`, or every string
    value joined with line breaks."""
    if field is not None:
        if not isinstance(value, dict) or not isinstance(value.get(field), str):
            raise ValueError(f"no string field {field!r}")
        return value[field]
    parts: list[str] = []

    def walk(v: Any) -> None:
        if isinstance(v, str):
            parts.append(v)
        elif isinstance(v, dict):
            for x in v.values():
                walk(x)
        elif isinstance(v, list):
            for x in v:
                walk(x)

    walk(value)
    return "\n".join(parts)
