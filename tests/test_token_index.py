"""Token index files: per-process files written without locking, their merge
into numbered files, and the status and tokenizer listings read from them."""

import json
import os
import subprocess
import sys

import pytest

import vl._vl_native as native


def vl(root, *parts):
    return os.path.join(root, ".vl", *parts)


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


def entry(count, sources, tokenizer="t", revoked=False):
    return json.dumps({"token_count": count, "sources": sources, "tokenizer": tokenizer,
                       "revoked": revoked}, separators=(",", ":"))


def sorted_entry(count, sources, tokenizer="t", revoked=False):
    return json.dumps({"revoked": revoked, "sources": sources, "token_count": count,
                       "tokenizer": tokenizer}, separators=(",", ":"))


def merged_names(root, tokenizer="t"):
    d = vl(root, "token-index." + tokenizer)
    return sorted(os.listdir(d)) if os.path.isdir(d) else []


def status(root, tokenizer="t"):
    return native.token_index_token_status(root, tokenizer)


def dead_pid():
    child = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"],
                           capture_output=True, text=True, check=True)
    return int(child.stdout)


# -- writing ------------------------------------------------------------------

def test_write_pid_appends_declaration_order_lines_and_creates_store(root):
    native.token_index_write_pid(root, "t", 10, ["s1", "s2"])
    native.token_index_write_pid(root, "t", 0, [])
    assert os.listdir(vl(root)) == [f"token-index.t.{os.getpid()}"]
    with open(vl(root, f"token-index.t.{os.getpid()}")) as f:
        assert f.read() == entry(10, ["s1", "s2"]) + "\n" + entry(0, []) + "\n"
    # Unmerged entries are invisible to status.
    assert status(root) == {"total_entries": 0, "active_entries": 0,
                            "revoked_entries": 0, "total_tokens": 0}


def test_write_pid_takes_counts_up_to_64_bits(root):
    native.token_index_write_pid(root, "t", 2**64 - 1, ["s"])
    with pytest.raises(OverflowError):
        native.token_index_write_pid(root, "t", 2**64, ["s"])
    with pytest.raises(TypeError, match="'sources'"):
        native.token_index_write_pid(root, "t", 1, "s")
    native.token_index_merge_pid_files(root, "t")
    assert status(root)["total_tokens"] == 2**64 - 1


@pytest.mark.parametrize("tokenizer", ["", "a/b", "../up", "x\x00y"])
def test_bad_tokenizer_names_are_refused_everywhere(store, listing, tokenizer):
    write(vl(store, "token-index.t.1"), entry(1, ["s"]) + "\n")
    outside = os.path.dirname(store)
    before = listing(outside)
    for call in (lambda: native.token_index_write_pid(store, tokenizer, 1, ["s"]),
                 lambda: native.token_index_merge_pid_files(store, tokenizer),
                 lambda: native.token_index_token_status(store, tokenizer)):
        with pytest.raises(RuntimeError):
            call()
    assert listing(outside) == before


# -- merging ------------------------------------------------------------------

def test_merge_folds_each_pid_file_into_its_own_numbered_file(store):
    write(vl(store, "token-index.t.101"), "".join(entry(k, [f"a{k}"]) + "\n" for k in range(3)))
    write(vl(store, "token-index.t.202"), entry(7, ["b"]) + "\n" + entry(8, ["c"]) + "\n")
    assert native.token_index_merge_pid_files(store, "t") == (5, 2)
    assert merged_names(store) == ["001", "002"]
    assert not [n for n in os.listdir(vl(store)) if n.startswith("token-index.t.")]
    contents = []
    for name in ("001", "002"):
        with open(vl(store, "token-index.t", name)) as f:
            contents.append(f.read())
    expected = {"".join(sorted_entry(k, [f"a{k}"]) + "\n" for k in range(3)),
                sorted_entry(7, ["b"]) + "\n" + sorted_entry(8, ["c"]) + "\n"}
    assert set(contents) == expected
    assert status(store) == {"total_entries": 5, "active_entries": 5,
                             "revoked_entries": 0, "total_tokens": 18}
    assert native.token_index_merge_pid_files(store, "t") == (0, 0)


def test_merge_with_nothing_to_do_creates_nothing(store, listing):
    before = listing(store)
    assert native.token_index_merge_pid_files(store, "t") == (0, 0)
    assert listing(store) == before


def test_merge_of_root_without_store(tmp_path):
    assert native.token_index_merge_pid_files(str(tmp_path / "none"), "t") == (0, 0)
    assert native.token_index_list_tokenizers(str(tmp_path / "none")) == []


@pytest.mark.parametrize("present, created", [
    ([f"{k:03}" for k in range(1, 10)], "010"),
    (["999"], "1000"),
    (["7", "abc", "+12"], "013"),
])
def test_merged_file_numbers_continue_from_the_largest(store, present, created):
    for name in present:
        write(vl(store, "token-index.t", name), "")
    write(vl(store, "token-index.t.5"), entry(1, ["s"]) + "\n")
    assert native.token_index_merge_pid_files(store, "t") == (1, 1)
    assert merged_names(store) == sorted(present + [created])


def test_empty_or_invalid_pid_file_is_deleted_without_a_merged_file(store):
    write(vl(store, "token-index.t.77"), "\n\nnot json\n{\"open\":\n")
    assert native.token_index_merge_pid_files(store, "t") == (0, 1)
    assert not os.path.exists(vl(store, "token-index.t.77"))
    assert merged_names(store) == []


def test_merge_takes_only_process_files_of_that_tokenizer(store):
    write(vl(store, "token-index.a.11"), entry(1, ["x"], "a") + "\n")
    write(vl(store, "token-index.a.b.12"), entry(2, ["y"], "a.b") + "\n")
    others = ["token-index.a.bin", "token-index.a.abc", "token-index.a.12x", "token-index.a."]
    for name in others:
        write(vl(store, name), entry(9, ["z"], "a") + "\n")
    assert native.token_index_merge_pid_files(store, "a") == (1, 1)
    assert merged_names(store, "a") == ["001"]
    for name in others + ["token-index.a.b.12"]:
        assert os.path.exists(vl(store, name))
    assert native.token_index_merge_pid_files(store, "a.b") == (1, 1)
    assert status(store, "a.b")["total_tokens"] == 2
    assert status(store, "a")["total_tokens"] == 1


def test_staged_file_of_a_dead_merge_is_adopted(store):
    pid = dead_pid()
    write(vl(store, "token-index.t", f"merging.{pid}.0"), entry(4, ["s"]) + "\n" + entry(5, ["s"]) + "\n")
    write(vl(store, "token-index.t.9"), entry(6, ["s"]) + "\n")
    assert native.token_index_merge_pid_files(store, "t") == (3, 2)
    assert merged_names(store) == ["001", "002"]
    assert status(store)["total_tokens"] == 15


def test_staged_file_of_a_live_merge_is_left_alone(store):
    live = os.getppid()
    write(vl(store, "token-index.t", f"merging.{live}.0"), entry(4, ["s"]) + "\n")
    assert native.token_index_merge_pid_files(store, "t") == (0, 0)
    assert merged_names(store) == [f"merging.{live}.0"]


def test_many_staged_files_of_an_earlier_failed_merge_are_all_adopted(store):
    # Left behind by a merge of this very process that failed half-way.
    for k in range(12):
        write(vl(store, "token-index.t", f"merging.{os.getpid()}.{k}"), entry(k + 1, [f"s{k}"]) + "\n")
    write(vl(store, "token-index.t.3"), entry(100, ["p"]) + "\n")
    assert native.token_index_merge_pid_files(store, "t") == (13, 13)
    assert status(store)["total_tokens"] == sum(range(1, 13)) + 100
    assert all(n.isdigit() for n in merged_names(store))


# -- reading merged files -----------------------------------------------------

def test_status_counts_revoked_and_active_entries(store):
    write(vl(store, "token-index.t", "001"),
          sorted_entry(10, ["a"]) + "\n" + sorted_entry(7, ["b"], revoked=True) + "\n")
    s = status(store)
    assert s == {"total_entries": 2, "active_entries": 1, "revoked_entries": 1, "total_tokens": 17}
    assert list(s) == ["total_entries", "active_entries", "revoked_entries", "total_tokens"]


def test_status_reads_every_numbered_file_and_accepts_both_forms(store):
    write(vl(store, "token-index.t", "002"), '[3,["a"],"t",false]\r\n\n' + entry(4, []) + "\n")
    write(vl(store, "token-index.t", "+5"), sorted_entry(5, ["x"], revoked=True))
    write(vl(store, "token-index.t", "abc"), sorted_entry(1000, ["x"]) + "\n")
    write(vl(store, "token-index.t", "merging.1.0"), sorted_entry(1000, ["x"]) + "\n")
    write(vl(store, "token-index.t.bin"), "")
    assert status(store) == {"total_entries": 3, "active_entries": 2,
                             "revoked_entries": 1, "total_tokens": 12}


def test_numbered_directory_in_merged_directory_is_an_error(store):
    write(vl(store, "token-index.t", "001"), sorted_entry(1, ["a"]) + "\n")
    os.mkdir(vl(store, "token-index.t", "002"))
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
    write(vl(store, "token-index.t", "001"), bad + "\n" + sorted_entry(1, ["b"]) + "\n")
    assert status(store) == {"total_entries": 1, "active_entries": 1,
                             "revoked_entries": 0, "total_tokens": 1}


def test_list_tokenizers(store):
    write(vl(store, "token-index.a.123"), "")
    os.mkdir(vl(store, "token-index.b"))
    write(vl(store, "token-index.c.bin"), "")
    write(vl(store, "token-index."), "")
    assert native.token_index_list_tokenizers(store) == ["a", "b", "c"]
    write(vl(store, "token-index.x.y.55"), "")
    write(vl(store, "token-index.B.1"), "")
    assert native.token_index_list_tokenizers(store) == ["B", "a", "b", "c", "x.y"]
