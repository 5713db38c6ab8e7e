"""The token binary index: its bytes, its limits, when it is trusted, and the
forget sets read from it or from the merged files."""

import os

import pytest

import vl._vl_native as native
from tokens import bin_path, h, line, read_bin, touch_later, vl, write_merged

A = "aa" + "11" * 31
B = "ab" + "22" * 31
C = "f0" + "33" * 31


def build(root, tokenizer="t"):
    return native.token_index_build_binary_index(root, tokenizer)


def test_layout_byte_for_byte(store):
    first, second = line(4, [A]), line(9, [A, B])
    write_merged(store, {"001": [first, second]})
    assert build(store) == "entries=2, sources=2"
    idx = read_bin(store)
    assert (idx["magic"], idx["version"], idx["n"], idx["s"]) == (b"VLIDXTI01", 1, 2, 2)
    assert (idx["entries_offset"], idx["sources_offset"], idx["fanout_offset"]) == (64, 96, 176)
    assert idx["entries"] == [(1, 0, len(first), 0), (1, len(first) + 1, len(second), 0)]
    assert idx["sources"] == [(96, A, [0, 1]), (138, B, [1])]
    assert idx["fanout"][0xAA] == 96 and idx["fanout"][0xAB] == 138
    assert sum(1 for slot in idx["fanout"] if slot) == 2


@pytest.mark.parametrize("lines, n, sources", [
    # Nothing parses: header, no records, an empty fan-out table.
    (["not json", '{"token_count":1}'], 0, []),
    # Odd-length or short hex is not indexed; the entry still takes a number.
    ([line(1, ["abc", A[:62]]), line(2, [A])], 2, [(A, [1])]),
    # Case differences index under one hash; a repeated source is listed twice.
    ([line(1, [A.upper(), A]), line(2, [A])], 2, [(A, [0, 0, 1])]),
    # A line that is no entry takes no number.
    ([line(1, [A]), "garbage", line(2, [C])], 2, [(A, [0]), (C, [1])]),
])
def test_entry_numbers_and_source_records(store, lines, n, sources):
    write_merged(store, {"001": lines})
    build(store)
    idx = read_bin(store)
    assert idx["n"] == n and [(k, ix) for _, k, ix in idx["sources"]] == sources
    if not lines or n == 0:
        assert idx["size"] == 64 + 2048 and idx["fanout_offset"] == 64
        assert native.generate_forget_set(store, "t") == b""


def test_files_in_number_order_with_their_numbers(store):
    write_merged(store, {"10": [line(1, [A])], "003": [line(2, [A]) + "\r"], "notes": ["x"]})
    build(store)
    idx = read_bin(store)
    # A CR stays part of the recorded line.
    assert [(e[0], e[2]) for e in idx["entries"]] == [(3, len(line(2, [A])) + 1), (10, len(line(1, [A])))]


@pytest.mark.parametrize("files, message, forget_set", [
    (None, "^no merged token-index directory for tokenizer 't'$", b""),
    ({"002": [line(1, [A])] * 70000}, A + " is listed by 70001 entries, more than the 65535", bytes(8751)),
    ({"65536": [line(1, [A])]}, "merged file number 65536 is above 65535", bytes(1)),
])
def test_refused_build_leaves_no_index(store, files, message, forget_set):
    if files:
        write_merged(store, {"001": [line(1, [A])]})
        build(store)
        assert os.path.exists(bin_path(store))
        write_merged(store, files)
    with pytest.raises(RuntimeError, match=message):
        build(store)
    # The old index is gone too, and readers use the merged files instead.
    assert not os.path.exists(bin_path(store))
    assert not [n for n in os.listdir(vl(store)) if n.startswith(".tmp")]
    assert native.generate_forget_set(store, "t") == forget_set


# ---- Forget sets -----------------------------------------------------------

def revoked_lines(flags):
    return [line(i, [h(i)], revoked=f) for i, f in enumerate(flags)]


@pytest.mark.parametrize("indexed", [False, True], ids=["files", "index"])
@pytest.mark.parametrize("files, expected", [
    ({}, b""),
    ({"001": revoked_lines([True] + [False] * 7 + [True])}, b"\x01\x01"),
    # Lines that are not entries (bad JSON, "revoked" only as text, a blank
    # line) take no bit on either path; CRLF lines count.
    ({"001": [line(1, [A], True) + "\r", "{bad", '{"note":"\\"revoked\\":true"}', "",
              line(2, [A]), line(3, [B], True)]}, b"\x05"),
    ({"001": revoked_lines([False, True]), "002": revoked_lines([True])}, b"\x06"),
])
def test_forget_set_same_bits_on_both_paths(store, indexed, files, expected):
    if files:
        write_merged(store, files)
    if indexed:
        if files:
            build(store)
        assert os.path.exists(bin_path(store)) == bool(files)
    assert native.generate_forget_set(store, "t") == expected


def test_stale_or_damaged_index_is_not_trusted(store):
    write_merged(store, {"001": revoked_lines([False, True])})
    build(store)
    path = bin_path(store)
    data = bytearray(open(path, "rb").read())
    data[64 + 10] = 1  # the index now says entry 0 is revoked
    open(path, "wb").write(bytes(data))
    assert native.generate_forget_set(store, "t") == b"\x03"  # fresh: the index answers
    touch_later(vl(store, "token-index.t", "001"))
    assert native.generate_forget_set(store, "t") == b"\x02"  # stale: the files answer
    build(store)
    for damage in (b"short", b"VLIDXTI01" + bytes(55), bytes(100),
                   bytes(data[:13]) + b"\xff\xff\xff\x00" + bytes(data[17:])):
        open(path, "wb").write(damage)
        assert native.generate_forget_set(store, "t") == b"\x02"


@pytest.mark.parametrize("change, bits", [
    ("merge", b"\x00"), ("revoke_by_sources", b"\x01"), ("revoke_by_author_token", b"\x01")])
def test_writers_of_merged_files_remove_the_index_first(store, change, bits):
    aid = native.author_add("Ada", "ada@example.org", store)
    sec = native.register_section("a.md", [aid], [], "MIT", "2024", store)
    write_merged(store, {"001": [line(1, [sec]), line(2, [B])]})
    build(store)
    if change == "merge":
        native.token_index_write_pid(store, "t", 5, [sec])
        native.token_index_merge_pid_files(store, "t")
        assert not os.path.exists(bin_path(store))
    elif change == "revoke_by_sources":
        native.token_index_revoke_by_sources(store, "t", {sec})
        assert not os.path.exists(bin_path(store))
    else:
        os.utime(vl(store, "token-index.t", "001"), ns=(0, 0))  # clock stepped back
        native.revoke_by_author_token(store, "Ada", "t")
        # Through the fresh index: the lines change and the index is rebuilt.
        assert read_bin(store)["entries"][0][3] == 1
    assert native.generate_forget_set(store, "t") == bits
