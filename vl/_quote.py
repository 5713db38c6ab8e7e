"""Paths as the store's messages and log lines show them."""

import unicodedata


def quote_path(path: str) -> str:
    """A path as the core shows it in messages and log lines: in double quotes,
    with backslash escapes for quotes, backslashes, control and combining
    characters, and \\xNN for bytes that were not UTF-8."""
    out = ['"']
    for ch in path:
        code = ord(ch)
        if ch in '\\"':
            out.append("\\" + ch)
        elif ch == "\t":
            out.append("\\t")
        elif ch == "\r":
            out.append("\\r")
        elif ch == "\n":
            out.append("\\n")
        elif ch == "\0":
            out.append("\\0")
        elif 0xDC80 <= code <= 0xDCFF:  # undecodable byte kept by the file system encoding
            out.append(f"\\x{code - 0xDC00:02X}")
        elif not ch.isprintable() or _is_combining(ch):
            out.append(f"\\u{{{code:x}}}")
        else:
            out.append(ch)
    out.append('"')
    return "".join(out)


def _is_combining(ch: str) -> bool:
    return unicodedata.category(ch) in ("Mn", "Me")
