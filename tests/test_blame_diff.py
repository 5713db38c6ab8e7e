"""Line diff used to carry attribution across edits: blame_diff."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from vl import _vl_native

diff = _vl_native.blame_diff


def lcs_length(a, b):
    """Length of a longest common subsequence, by the textbook table."""
    row = [0] * (len(b) + 1)
    for x in a:
        prev_diag = 0
        for j, y in enumerate(b, 1):
            prev_diag, row[j] = row[j], prev_diag + 1 if x == y else max(row[j], row[j - 1])
    return row[-1]


def apply_opcodes(old, new, ops):
    """Rebuild the new list from the old one, taking only the inserted lines from new."""
    out = []
    for tag, i1, i2, j1, j2 in ops:
        out.extend(old[i1:i2] if tag == "equal" else new[j1:j2])
    return out


def changed_lines(ops):
    return sum((i2 - i1) + (j2 - j1) for tag, i1, i2, j1, j2 in ops if tag != "equal")


def check_opcodes(old, new, ops):
    pos = (0, 0)
    for tag, i1, i2, j1, j2 in ops:
        assert (i1, j1) == pos, ops
        assert i1 <= i2 and j1 <= j2, ops
        if tag == "equal":
            assert i2 - i1 == j2 - j1 > 0 and old[i1:i2] == new[j1:j2], ops
        elif tag == "delete":
            assert i2 > i1 and j1 == j2, ops
        elif tag == "insert":
            assert j2 > j1 and i1 == i2, ops
        else:
            assert tag == "replace" and i2 > i1 and j2 > j1, ops
        pos = (i2, j2)
    assert pos == (len(old), len(new)), ops
    for (tag, *_), (next_tag, *_) in zip(ops, ops[1:]):
        assert not (tag == "equal" and next_tag == "equal"), ops
        if tag in ("delete", "insert"):
            assert next_tag == "equal", ops
    assert apply_opcodes(old, new, ops) == new


class TestExamples:
    @pytest.mark.parametrize(
        "old, new, expected",
        [
            ("", "", []),
            ("", "abc", [("insert", 0, 0, 0, 3)]),
            ("abc", "", [("delete", 0, 3, 0, 0)]),
            ("abcde", "abcde", [("equal", 0, 5, 0, 5)]),
            ("abc", "axc", [("equal", 0, 1, 0, 1), ("replace", 1, 2, 1, 2), ("equal", 2, 3, 2, 3)]),
            ("abc", "ac", [("equal", 0, 1, 0, 1), ("delete", 1, 2, 1, 1), ("equal", 2, 3, 1, 2)]),
            ("xy", "yy", [("delete", 0, 1, 0, 0), ("equal", 1, 2, 0, 1), ("insert", 2, 2, 1, 2)]),
            ("ab", "ba", [("insert", 0, 0, 0, 1), ("equal", 0, 1, 1, 2), ("delete", 1, 2, 2, 2)]),
        ],
    )
    def test_documented_opcodes(self, old, new, expected):
        assert diff(list(old), list(new)) == expected

    @pytest.mark.parametrize(
        "old, new, expected",
        [
            # A repeated line is inserted after the run it repeats.
            ("ab", "abb", [("equal", 0, 2, 0, 2), ("insert", 2, 2, 2, 3)]),
            ("xay", "xabay", [("equal", 0, 2, 0, 2), ("insert", 2, 2, 2, 4), ("equal", 2, 3, 4, 5)]),
            # The search yields insert b, equal a, delete b, insert a; the second
            # insertion slides up over the "a" and joins the first one, while the
            # deletion stays after the equal run.
            ("ab", "baa", [("insert", 0, 0, 0, 2), ("equal", 0, 1, 2, 3), ("delete", 1, 2, 3, 3)]),
        ],
    )
    def test_edits_slid_together(self, old, new, expected):
        assert diff(list(old), list(new)) == expected

    def test_result_is_list_of_tuples(self):
        ops = diff(["a", "b"], ["a", "c"])
        assert isinstance(ops, list)
        assert all(type(op) is tuple and len(op) == 5 for op in ops)
        assert all(type(n) is int for op in ops for n in op[1:])

    def test_keywords_and_tuples_accepted(self):
        assert diff(new_lines=("a",), old_lines=("a", "b")) == [
            ("equal", 0, 1, 0, 1),
            ("delete", 1, 2, 1, 1),
        ]


class TestLineEquality:
    @pytest.mark.parametrize("changed", ["line ", "Line", "line\n", "\tline", "líne"])
    def test_near_equal_lines_differ(self, changed):
        ops = diff(["head", "line", "tail"], ["head", changed, "tail"])
        assert ops == [("equal", 0, 1, 0, 1), ("replace", 1, 2, 1, 2), ("equal", 2, 3, 2, 3)]

    def test_non_ascii_and_empty_lines_compare_exactly(self):
        old = ["", "日本", "", "x\x00y"]
        assert diff(old, list(old)) == [("equal", 0, 4, 0, 4)]
        assert diff(["x\x00y"], ["x\x00z"]) == [("replace", 0, 1, 0, 1)]


class TestArguments:
    @pytest.mark.parametrize("args", [("abc", ["a"]), (["a"], "abc"), ("", [])])
    def test_single_str_rejected(self, args):
        with pytest.raises(TypeError):
            diff(*args)

    @pytest.mark.parametrize("args", [(["a", 1], ["a"]), (["a"], [b"a"]), (None, []), ([], 3)])
    def test_non_string_items_and_non_sequences_rejected(self, args):
        with pytest.raises(TypeError):
            diff(*args)


lines = st.lists(st.sampled_from("abc"), max_size=14)
longer_lines = st.lists(st.sampled_from("abcdef"), max_size=60)


@st.composite
def related_versions(draw):
    """An old version and a new one made from it by a few line deletions and
    insertions, so the two share long runs, as two versions of a file do."""
    old = draw(longer_lines)
    new = list(old)
    for _ in range(draw(st.integers(0, 6))):
        if new and draw(st.booleans()):
            del new[draw(st.integers(0, len(new) - 1))]
        else:
            new.insert(draw(st.integers(0, len(new))), draw(st.sampled_from("abcdef")))
    return old, new


def check_minimal_diff(old, new):
    ops = diff(old, new)
    check_opcodes(old, new, ops)
    assert changed_lines(ops) == len(old) + len(new) - 2 * lcs_length(old, new), ops


class TestProperties:
    @settings(max_examples=1000, deadline=None)
    @given(lines, lines)
    def test_well_formed_and_minimal_small_alphabet(self, old, new):
        check_minimal_diff(old, new)

    @settings(max_examples=300, deadline=None)
    @given(longer_lines, longer_lines)
    def test_well_formed_and_minimal_longer_lists(self, old, new):
        check_minimal_diff(old, new)

    @settings(max_examples=300, deadline=None)
    @given(related_versions())
    def test_well_formed_and_minimal_related_versions(self, versions):
        check_minimal_diff(*versions)

    @settings(max_examples=300, deadline=None)
    @given(lines, lines, st.integers(0, 4), st.integers(0, 4))
    def test_one_changed_block_reported_as_that_block(self, prefix, suffix, n_old, n_new):
        # Lines of the changed block occur nowhere else, so the only minimal
        # diff keeps prefix and suffix and touches exactly the block.
        old = prefix + [f"old{k}" for k in range(n_old)] + suffix
        new = prefix + [f"new{k}" for k in range(n_new)] + suffix
        p, s = len(prefix), len(suffix)
        i2, j2 = p + n_old, p + n_new
        ops = diff(old, new)
        if n_old == n_new == 0:
            assert ops == ([("equal", 0, p + s, 0, p + s)] if p + s else [])
            return
        tag = "replace" if n_old and n_new else "delete" if n_old else "insert"
        expected = [("equal", 0, p, 0, p)] if p else []
        expected.append((tag, p, i2, p, j2))
        expected += [("equal", i2, i2 + s, j2, j2 + s)] if s else []
        assert ops == expected
