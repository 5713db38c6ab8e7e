"""A pure-Python writer of the document binary index, .vl/index.bin, writing
the same bytes as the native writer (the C++ unit test checks that):

    write_index(root, {"3f" + "00" * 31: [("shard", 0x3F), ("token", "gpt2", 1, 0, 57)]})

Keys are 64 hex digits (either case); a reference is ("shard", byte) or
("token", tokenizer (str or bytes), file_number, line_offset, line_length).
Entries are a mapping or a sequence of (key, refs) pairs; pairs with equal
keys are all written, in the order given."""

import os
import re
import struct

MAGIC = b"VLIDXF02"
HEADER_SIZE = 24


def index_path(root):
    return os.path.join(os.fspath(root), ".vl", "index.bin")


def encode_ref(ref):
    if ref[0] == "shard":
        return struct.pack("<BB", 0x00, ref[1])
    if ref[0] != "token":
        raise ValueError("unknown reference kind %r" % (ref[0],))
    _, tokenizer, file_number, line_offset, line_length = ref
    name = tokenizer.encode("utf-8") if isinstance(tokenizer, str) else bytes(tokenizer)
    if len(name) > 255:
        raise ValueError("tokenizer name longer than 255 bytes")
    return (struct.pack("<BB", 0x01, len(name)) + name
            + struct.pack("<HII", file_number, line_offset, line_length))


def encode_index(entries):
    """The bytes of an index holding `entries`, without line-offset blocks."""
    decoded = []
    for key, refs in (entries.items() if hasattr(entries, "items") else entries):
        raw = bytes.fromhex(key) if isinstance(key, str) else bytes(key)
        area = b"".join(encode_ref(r) for r in refs)
        if len(raw) != 32 or len(area) > 0xFFFF:
            raise ValueError("a key is 32 bytes and a refs area at most 65535 bytes")
        decoded.append((raw, area))
    decoded.sort(key=lambda e: e[0])  # stable: equal keys keep their order
    fanout, body = [0] * 256, bytearray()
    for i, (raw, area) in enumerate(decoded):
        if i == 0 or raw[0] != decoded[i - 1][0][0]:
            fanout[raw[0]] = HEADER_SIZE + len(body)
        body += raw + struct.pack("<H", len(area)) + area
    header = MAGIC + struct.pack("<IIQ", len(decoded), 0, HEADER_SIZE + len(body))
    return header + bytes(body) + struct.pack("<256Q", *fanout)


def write_index(root, entries):
    """Writes <root>/.vl/index.bin (creating .vl if needed); returns its path."""
    path = index_path(root)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(encode_index(entries))
    return path


def line_offsets(data):
    """The line starts of `data`: 0, and after every newline but a final one."""
    return [0] + [m.end() for m in re.finditer(b"\n", data[:-1])]


def append_line_offsets(root, data_file):
    """Appends the line-offset block of data_file; a missing or empty file adds nothing."""
    try:
        with open(data_file, "rb") as f:
            data = f.read()
    except FileNotFoundError:
        return
    if data:
        starts = line_offsets(data)
        with open(index_path(root), "r+b") as f:
            f.seek(0, os.SEEK_END)
            f.write(struct.pack("<I%dI" % len(starts), len(starts), *starts))
