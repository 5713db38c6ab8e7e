"""Token index files: per-process files written without locking, their merge
into numbered files, and the status and tokenizer listings read from them."""

import os
import subprocess
import sys

import pytest

import vl._vl_native as native
from tokens import entry, read, vl, write


def counts(total, revoked, tokens):
    return {"total_entries": total, "active_entries": total - revoked,
            "revoked_entries": revoked, "total_tokens": tokens}


def merged_names(root, tokenizer="t"):
    d = vl(root, "token-index." + tokenizer)
    return sorted(os.listdir(d)) if os.path.isdir(d) else []


def status(root, tokenizer="t"):
    return native.token_index_token_status(root, tokenizer)


def test_write_pid_appends_declaration_order_lines_and_creates_store(root):
    native.token_index_write_pid(root, "t", 2**64 - 1, ["s1", "s2"])  # counts up to 64 bits
    native.token_index_write_pid(root, "t", 0, [])
    with pytest.raises(OverflowError):
        native.token_index_write_pid(root, "t", 2**64, ["s"])
    with pytest.raises(TypeError, match="'sources'"):
        native.token_index_write_pid(root, "t", 1, "s")
    assert os.listdir(vl(root)) == [f"token-index.t.{os.getpid()}"]
    assert read(vl(root, f"token-index.t.{os.getpid()}")).decode() == entry(2**64 - 1, ["s1", "s2"]) + entry(0, [])
    assert status(root) == counts(0, 0, 0)  # unmerged entries are invisible
    native.token_index_merge_pid_files(root, "t")
    assert status(root) == counts(2, 0, 2**64 - 1)


@pytest.mark.parametrize("tokenizer", ["", "a/b", "../up", "x\x00y"])
def test_bad_tokenizer_names_are_refused_everywhere_before_writing(store, listing, tokenizer):
    write(vl(store, "token-index.t.1"), entry(1, ["s"]))
    before = listing(os.path.dirname(store))
    for call in (lambda: native.token_index_write_pid(store, tokenizer, 1, ["s"]),
                 lambda: native.token_index_merge_pid_files(store, tokenizer),
                 lambda: native.token_index_token_status(store, tokenizer),
                 lambda: native.track({"x": 1}, "f", ["s"], store, token_count=3, tokenizer=tokenizer)):
        with pytest.raises(RuntimeError):
            call()
    assert listing(os.path.dirname(store)) == before


def test_merge_folds_each_pid_file_into_its_own_numbered_file(store, listing):
    write(vl(store, "token-index.t.101"), "".join(entry(k, [f"a{k}"]) for k in range(3)))
    write(vl(store, "token-index.t.202"), entry(7, ["b"]) + entry(8, ["c"]))
    write(vl(store, "token-index.t.77"), "\n\nnot json\n{\"open\":\n")  # deleted, no numbered file
    assert native.token_index_merge_pid_files(store, "t") == (5, 3)
    assert merged_names(store) == ["001", "002"]
    assert not [n for n in os.listdir(vl(store)) if n.startswith("token-index.t.")]
    contents = {open(vl(store, "token-index.t", name)).read() for name in ("001", "002")}
    assert contents == {"".join(entry(k, [f"a{k}"], merged=True) for k in range(3)),
                        entry(7, ["b"], merged=True) + entry(8, ["c"], merged=True)}
    assert status(store) == counts(5, 0, 18)
    # With nothing to do, a merge creates nothing, in a store or in a root without one.
    before = listing(store)
    assert native.token_index_merge_pid_files(store, "t") == (0, 0)
    assert native.token_index_merge_pid_files(os.path.join(store, "none"), "t") == (0, 0)
    assert native.token_index_list_tokenizers(os.path.join(store, "none")) == []
    assert listing(store) == before


@pytest.mark.parametrize("present, created", [
    ([f"{k:03}" for k in range(1, 10)], "010"),
    (["999"], "1000"),
    (["7", "abc", "+12"], "013"),
])
def test_merged_file_numbers_continue_from_the_largest(store, present, created):
    for name in present:
        write(vl(store, "token-index.t", name), "")
    write(vl(store, "token-index.t.5"), entry(1, ["s"]))
    assert native.token_index_merge_pid_files(store, "t") == (1, 1)
    assert merged_names(store) == sorted(present + [created])


def test_merge_takes_only_process_files_of_that_tokenizer(store):
    write(vl(store, "token-index.a.11"), entry(1, ["x"], "a"))
    write(vl(store, "token-index.a.b.12"), entry(2, ["y"], "a.b"))
    others = ["token-index.a.abc", "token-index.a.12x", "token-index.a.", "token-index.a.b.bin"]
    for name in others + ["token-index.a.bin"]:
        write(vl(store, name), entry(9, ["z"], "a"))
    assert native.token_index_merge_pid_files(store, "a") == (1, 1)
    assert merged_names(store, "a") == ["001"]
    assert all(os.path.exists(vl(store, name)) for name in others + ["token-index.a.b.12"])
    # The binary index of "a" is not merged; it is removed, as it no longer
    # describes the merged files.
    assert not os.path.exists(vl(store, "token-index.a.bin"))
    assert native.token_index_merge_pid_files(store, "a.b") == (1, 1)
    assert status(store, "a.b")["total_tokens"] == 2 and status(store, "a")["total_tokens"] == 1


def test_staged_file_of_a_dead_merge_is_adopted_and_of_a_live_one_left_alone(store):
    child = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"],
                           capture_output=True, text=True, check=True)
    dead, live = int(child.stdout), os.getppid()
    write(vl(store, "token-index.t", f"merging.{dead}.0"), entry(4, ["s"]) + entry(5, ["s"]))
    write(vl(store, "token-index.t", f"merging.{live}.0"), entry(1000, ["s"]))
    write(vl(store, "token-index.t.9"), entry(6, ["s"]))
    assert native.token_index_merge_pid_files(store, "t") == (3, 2)
    assert merged_names(store) == ["001", "002", f"merging.{live}.0"]
    assert status(store)["total_tokens"] == 15


def test_many_staged_files_of_an_earlier_failed_merge_are_all_adopted(store):
    # Left behind by a merge of this very process that failed half-way.
    for k in range(12):
        write(vl(store, "token-index.t", f"merging.{os.getpid()}.{k}"), entry(k + 1, [f"s{k}"]))
    write(vl(store, "token-index.t.3"), entry(100, ["p"]))
    assert native.token_index_merge_pid_files(store, "t") == (13, 13)
    assert status(store)["total_tokens"] == sum(range(1, 13)) + 100
    assert all(n.isdigit() for n in merged_names(store))


def test_status_reads_every_numbered_file_and_accepts_both_forms(store):
    """Counts revoked and active entries; a numbered directory is an error."""
    write(vl(store, "token-index.t", "001"), entry(10, ["a"], merged=True) + entry(7, ["b"], revoked=True))
    write(vl(store, "token-index.t", "002"), '[3,["a"],"t",false]\r\n\n' + entry(4, []))
    write(vl(store, "token-index.t", "+5"), entry(5, ["x"], revoked=True, merged=True).rstrip("\n"))
    write(vl(store, "token-index.t", "abc"), entry(1000, ["x"], merged=True))
    write(vl(store, "token-index.t", "merging.1.0"), entry(1000, ["x"], merged=True))
    write(vl(store, "token-index.t.bin"), "")
    assert list(status(store).items()) == list(counts(5, 2, 29).items())
    os.mkdir(vl(store, "token-index.t", "003"))
    with pytest.raises(RuntimeError):
        status(store)


@pytest.mark.parametrize("bad", [
    '{"token_count":5,"sources":["a"],"tokenizer":"t"}',
    '{"token_count":5,"sources":["a"],"tokenizer":"t","revoked":"false"}',
    '{"token_count":5,"token_count":5,"sources":["a"],"tokenizer":"t","revoked":false}',
    '{"token_count":-5,"sources":["a"],"tokenizer":"t","revoked":false}',
    '{"token_count":5.0,"sources":["a"],"tokenizer":"t","revoked":false}',
    '{"token_count":5,"sources":"a","tokenizer":"t","revoked":false}',
    '[5,["a"],"t"]',
    '[5,["a"],"t",false,1]',
])
def test_lines_that_are_not_entries_are_skipped(store, bad):
    write(vl(store, "token-index.t", "001"), bad + "\n" + entry(1, ["b"], merged=True))
    assert status(store) == counts(1, 0, 1)


def test_list_tokenizers(store):
    write(vl(store, "token-index.a.123"), "")
    os.mkdir(vl(store, "token-index.b"))
    write(vl(store, "token-index.c.bin"), "")
    write(vl(store, "token-index."), "")
    assert native.token_index_list_tokenizers(store) == ["a", "b", "c"]
    write(vl(store, "token-index.x.y.55"), "")
    write(vl(store, "token-index.B.1"), "")
    assert native.token_index_list_tokenizers(store) == ["B", "a", "b", "c", "x.y"]
