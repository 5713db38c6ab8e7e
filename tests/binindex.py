"""A pure-Python writer of the document binary index, .vl/index.bin.

Tests use it to lay down an index without running the index build.  For the
same input it writes the same bytes as the native writer (the C++ unit test
of the binary index checks that).

    write_index(root, {
        "3f" + "00" * 31: [("shard", 0x3F), ("token", "gpt2", 1, 0, 57)],
    })

Keys are 64 hexadecimal digits (either case).  A reference is
("shard", byte) or ("token", tokenizer, file_number, line_offset,
line_length); a tokenizer is a str (written as UTF-8) or bytes.  Entries may
be a mapping or a sequence of (key, refs) pairs; pairs with equal keys are
all written, in the order given, as the native writer does.
"""

import os
import struct

MAGIC = b"VLIDXF02"
HEADER_SIZE = 24


def index_path(root):
    return os.path.join(os.fspath(root), ".vl", "index.bin")


def encode_ref(ref):
    kind = ref[0]
    if kind == "shard":
        return struct.pack("<BB", 0x00, ref[1])
    if kind == "token":
        _, tokenizer, file_number, line_offset, line_length = ref
        name = tokenizer.encode("utf-8") if isinstance(tokenizer, str) else bytes(tokenizer)
        if len(name) > 255:
            raise ValueError("tokenizer name longer than 255 bytes")
        return (struct.pack("<BB", 0x01, len(name)) + name
                + struct.pack("<HII", file_number, line_offset, line_length))
    raise ValueError("unknown reference kind %r" % (kind,))


def encode_index(entries):
    """The bytes of an index holding `entries`, without line-offset blocks."""
    pairs = list(entries.items()) if hasattr(entries, "items") else list(entries)
    decoded = []
    for key, refs in pairs:
        raw = bytes.fromhex(key) if isinstance(key, str) else bytes(key)
        if len(raw) != 32:
            raise ValueError("a key is 32 bytes, got %d" % len(raw))
        area = b"".join(encode_ref(r) for r in refs)
        if len(area) > 0xFFFF:
            raise ValueError("refs area longer than 65535 bytes")
        decoded.append((raw, area))
    decoded.sort(key=lambda e: e[0])  # stable: equal keys keep their order

    fanout = [0] * 256
    body = bytearray()
    previous_first = None
    for raw, area in decoded:
        if raw[0] != previous_first:
            fanout[raw[0]] = HEADER_SIZE + len(body)
            previous_first = raw[0]
        body += raw + struct.pack("<H", len(area)) + area
    fanout_offset = HEADER_SIZE + len(body)
    header = MAGIC + struct.pack("<IIQ", len(decoded), 0, fanout_offset)
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
    starts = [0]
    i = data.find(b"\n")
    while i != -1 and i + 1 < len(data):
        starts.append(i + 1)
        i = data.find(b"\n", i + 1)
    return starts


def append_line_offsets(root, data_file):
    """Appends the line-offset block of data_file; a missing or empty file adds nothing."""
    try:
        with open(data_file, "rb") as f:
            data = f.read()
    except FileNotFoundError:
        return
    if not data:
        return
    starts = line_offsets(data)
    with open(index_path(root), "r+b") as f:
        f.seek(0, os.SEEK_END)
        f.write(struct.pack("<I%dI" % len(starts), len(starts), *starts))
