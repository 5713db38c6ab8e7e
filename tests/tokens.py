"""Helpers for tests that read or write store files by hand: paths below .vl,
made-up hashes, files and log lines, merged token files, and a reader of the
token binary index that decodes every field."""

import hashlib
import json
import os
import struct


def vl(root, *parts):
    return os.path.join(root, ".vl", *parts)


def h(n):
    """A made-up 64-digit hash."""
    return hashlib.sha256(repr(n).encode()).hexdigest()


def sha(text):
    return hashlib.sha256(text.encode("utf-8")).hexdigest()


def write(path, data, mode="w"):
    """Writes (or with mode="a" appends) str as UTF-8, or bytes, creating the
    directories."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, mode + "b") as f:
        f.write(data.encode() if isinstance(data, str) else data)


def read(path):
    """The bytes of a file."""
    with open(path, "rb") as f:
        return f.read()


def log_ops(root):
    """The log as [operation, detail] pairs, time stamps left out."""
    with open(vl(root, "log")) as f:
        return [line.split(" ", 2)[1:] for line in f.read().splitlines()]


def line(count, sources, revoked=False, tokenizer="t"):
    """A merged line (sorted keys, compact)."""
    return json.dumps({"revoked": revoked, "sources": sources, "token_count": count,
                       "tokenizer": tokenizer}, separators=(",", ":"))


def entry(count, sources, tokenizer="t", revoked=False, merged=False):
    """An entry line as a process writes it, or as a merge stores it (sorted keys)."""
    fields = {"token_count": count, "sources": sources, "tokenizer": tokenizer, "revoked": revoked}
    return json.dumps(fields, separators=(",", ":"), sort_keys=merged) + "\n"


def write_merged(root, files, tokenizer="t"):
    """files: {name: text or list of lines}."""
    for name, text in files.items():
        write(vl(root, "token-index." + tokenizer, name),
              text if isinstance(text, str) else "".join(x + "\n" for x in text))


def bin_path(root, tokenizer="t"):
    return vl(root, "token-index.%s.bin" % tokenizer)


def read_bin(root, tokenizer="t"):
    """The index decoded: header fields, entry records, source records, fan-out."""
    data = open(bin_path(root, tokenizer), "rb").read()
    magic, version, n, s, eo, so, fo = struct.unpack_from("<9s6I", data, 0)
    assert data[33:64] == bytes(31)
    entries = [struct.unpack_from("<HIIB5s", data, 64 + 16 * i) for i in range(n)]
    assert all(e[4] == bytes(5) for e in entries)
    sources, pos = [], so
    while pos < fo:
        key, k = data[pos:pos + 32].hex(), struct.unpack_from("<H", data, pos + 32)[0]
        sources.append((pos, key, list(struct.unpack_from("<%dI" % k, data, pos + 34))))
        pos += 34 + 4 * k
    fanout = struct.unpack_from("<256Q", data, fo)
    assert len(data) == fo + 2048
    return dict(magic=magic, version=version, n=n, s=s, entries_offset=eo, sources_offset=so,
                fanout_offset=fo, entries=[e[:4] for e in entries], sources=sources,
                fanout=fanout, size=len(data))


def touch_later(path, seconds=5):
    st = os.stat(path)
    os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns + seconds * 10**9))
