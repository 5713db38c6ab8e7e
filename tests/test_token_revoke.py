"""Token revocation by sources and by author, on the file path and through a
fresh token binary index, and the author token query."""

import os

import pytest

import vl._vl_native as native
from tokens import bin_path, line, log_ops, read, read_bin, vl, write_merged

PATHS = pytest.mark.parametrize("indexed", [False, True], ids=["files", "index"])
OTHER = "cd" * 32


def merged(root, name="001"):
    return read(vl(root, "token-index.t", name)).decode()


@pytest.fixture
def ada(store):
    """Ada with two sections; merged entries 10 (s1), 7 (s2, revoked), 5 (other)."""
    aid = native.author_add("Ada", "ada@example.org", store)
    s1 = native.register_section("a.md", [aid], [], "MIT", "2024", store)
    s2 = native.register_section("b.md", [aid], [], "MIT", "2024", store)
    write_merged(store, {"001": [line(10, [s1]), line(5, [OTHER])], "002": [line(7, [OTHER, s2], True)]})
    return s1, s2


def prepare(store, indexed):
    if indexed:
        native.token_index_build_binary_index(store, "t")
    assert os.path.exists(bin_path(store)) == indexed


def test_revoke_by_sources_rewrites_only_files_with_matches(store):
    write_merged(store, {"001": [line(1, ["x"]), "not json", line(2, ["y"])],
                         "002": ['{"tokenizer":"t","token_count":3,"sources":["x"],"revoked":false}'],
                         "003": [line(4, ["z"])]})
    before = os.stat(vl(store, "token-index.t", "003")).st_ino
    assert native.token_index_revoke_by_sources(store, "t", {"x", "nothing"}) == 2
    assert merged(store) == line(1, ["x"], True) + "\nnot json\n" + line(2, ["y"]) + "\n"
    assert merged(store, "002") == line(3, ["x"], True) + "\n"  # sorted keys
    assert os.stat(vl(store, "token-index.t", "003")).st_ino == before
    assert not [n for n in os.listdir(vl(store, "token-index.t")) if n.startswith(".")]
    with pytest.raises(TypeError, match="'target_sources'"):
        native.token_index_revoke_by_sources(store, "t", ["x"])
    assert native.token_index_revoke_by_sources(store, "t", frozenset()) == 0


@PATHS
def test_revoke_by_author_token_toggles_and_logs(ada, store, indexed):
    s1, s2 = ada
    prepare(store, indexed)
    assert native.revoke_by_author_token(store, "Ada", "t") == 2
    # Both paths leave the merged lines, the status and the forget set agreeing.
    assert native.token_index_token_status(store, "t")["revoked_entries"] == 1  # 7 came back
    assert native.generate_forget_set(store, "t") == b"\x01"
    assert os.path.exists(bin_path(store)) == indexed
    native.build_index(store)  # a rebuild does not undo it
    assert native.generate_forget_set(store, "t") == b"\x01"
    assert native.revoke_by_author_token(store, "Ada", "t", reverse=True) == 2
    assert native.generate_forget_set(store, "t") == b"\x04"
    assert log_ops(store) == [["revoke_token", "Ada tokenizer=t count=2"],
                              ["revoke_reverse_token", "Ada tokenizer=t count=2"]]


@pytest.mark.parametrize("name, setup", [("Nobody", False), ("Bob", True)])
def test_revoke_by_author_token_without_sources_does_nothing(ada, store, name, setup):
    if setup:
        native.author_add("Bob", "bob@example.org", store)
    assert native.revoke_by_author_token(store, name, "t") == 0
    assert log_ops(store) == []
    with pytest.raises(TypeError, match="'reverse'"):
        native.revoke_by_author_token(store, "Ada", "t", 1)


def test_file_path_prefilter_matches_sources_exactly(store):
    aid = native.author_add("Ada", "ada@example.org", store)
    sec = native.register_section("a.md", [aid], [], "MIT", "2024", store)
    write_merged(store, {"001": ["", line(1, [sec.upper()]), line(2, ["x"], tokenizer=sec),
                                 line(3, [sec])]})
    assert native.revoke_by_author_token(store, "Ada", "t") == 1
    # The blank line goes; the toggled line is written in declaration order.
    assert merged(store) == (line(1, [sec.upper()]) + "\n" + line(2, ["x"], tokenizer=sec) + "\n" +
                             '{"token_count":3,"sources":["%s"],"tokenizer":"t","revoked":true}\n' % sec)


def test_index_path_revokes_entries_of_a_misplaced_index_through_the_files(ada, store):
    s1, _ = ada
    prepare(store, True)
    # Same length, different content: the index now points at a line that
    # no longer is an entry, so nothing is written from it.
    path = vl(store, "token-index.t", "001")
    text = open(path).read().replace(line(10, [s1]), "x" * len(line(10, [s1])))
    open(path, "w").write(text)
    os.utime(path, ns=(0, 0))
    assert native.revoke_by_author_token(store, "Ada", "t") == 1
    assert native.token_index_token_status(store, "t")["revoked_entries"] == 0


@PATHS
def test_show_by_author_token(ada, store, indexed):
    s1, s2 = ada
    prepare(store, indexed)
    got = native.show_by_author_token(store, "Ada", "t")
    assert got == {"total_tokens": 10, "document_count": 1, "entries": [
        {"revoked": False, "sources": [s1], "token_count": 10, "tokenizer": "t"}]}
    assert list(got) == ["total_tokens", "document_count", "entries"]
    assert list(got["entries"][0]) == ["revoked", "sources", "token_count", "tokenizer"]
    native.revoke_by_author_token(store, "Ada", "t", True)
    got = native.show_by_author_token(store, "Ada", "t")
    assert [e["token_count"] for e in got["entries"]] == [7]  # entry order, revoked left out
    assert native.show_by_author_token(store, "Nobody", "t") == {
        "total_tokens": 0, "document_count": 0, "entries": []}


@PATHS
def test_show_by_author_token_in_entry_order_from_any_file_name(store, indexed):
    aid = native.author_add("Ada", "ada@example.org", store)
    secs = [native.register_section("%d.md" % i, [aid], [], "MIT", "2024", store) for i in range(3)]
    write_merged(store, {"1": [line(1, [secs[2]]), line(2, [secs[0]])], "002": [line(3, [secs[1], secs[2]])]})
    prepare(store, indexed)
    got = native.show_by_author_token(store, "Ada", "t")
    assert [e["token_count"] for e in got["entries"]] == [1, 2, 3]


def test_index_path_leaves_the_index_a_fresh_build_would_write(store):
    aid = native.author_add("Ada", "ada@example.org", store)
    sec = native.register_section("a.md", [aid], [], "MIT", "2024", store)
    write_merged(store, {"001": [line(1, [sec]), "junk", line(2, [OTHER]) + "\r", line(3, [OTHER, sec], True),
                                 line(4, [OTHER])],
                         "002": [line(5, [OTHER])], "003": [line(6, [sec]), line(7, [OTHER])]})
    native.token_index_build_binary_index(store, "t")
    for reverse in (False, True):
        assert native.revoke_by_author_token(store, "Ada", "t", reverse) == 3
        patched = open(bin_path(store), "rb").read()
        native.token_index_build_binary_index(store, "t")
        assert open(bin_path(store), "rb").read() == patched
        assert [e[3] for e in read_bin(store)["entries"]] == [int(not reverse), 0, int(reverse), 0, 0, int(not reverse), 0]
