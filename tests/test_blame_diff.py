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


SHAPES = {("equal", True, True), ("replace", True, True), ("delete", True, False), ("insert", False, True)}


def check_minimal_diff(old, new):
    """The opcodes cover both lists in order, equal runs hold equal lines, an
    insertion or deletion is followed by an equal run, and as few lines as
    possible are changed."""
    ops = diff(old, new)
    ends = [(0, 0)] + [(i2, j2) for _, _, i2, _, j2 in ops]
    assert [(i1, j1) for _, i1, _, j1, _ in ops] == ends[:-1] and ends[-1] == (len(old), len(new)), ops
    for tag, i1, i2, j1, j2 in ops:
        assert i1 <= i2 and j1 <= j2 and (tag, i2 > i1, j2 > j1) in SHAPES, ops
        assert tag != "equal" or old[i1:i2] == new[j1:j2], ops
    for (tag, *_), (following, *_) in zip(ops, ops[1:]):
        assert following == "equal" if tag in ("delete", "insert") else tag != "equal" or following != tag, ops
    changed = sum(i2 - i1 + j2 - j1 for tag, i1, i2, j1, j2 in ops if tag != "equal")
    assert changed == len(old) + len(new) - 2 * lcs_length(old, new), ops


@pytest.mark.parametrize("old, new, expected", [
    ("", "", []),
    ("", "abc", [("insert", 0, 0, 0, 3)]),
    ("abc", "", [("delete", 0, 3, 0, 0)]),
    ("abcde", "abcde", [("equal", 0, 5, 0, 5)]),
    ("abc", "axc", [("equal", 0, 1, 0, 1), ("replace", 1, 2, 1, 2), ("equal", 2, 3, 2, 3)]),
    ("abc", "ac", [("equal", 0, 1, 0, 1), ("delete", 1, 2, 1, 1), ("equal", 2, 3, 1, 2)]),
    ("xy", "yy", [("delete", 0, 1, 0, 0), ("equal", 1, 2, 0, 1), ("insert", 2, 2, 1, 2)]),
    ("ab", "ba", [("insert", 0, 0, 0, 1), ("equal", 0, 1, 1, 2), ("delete", 1, 2, 2, 2)]),
    # A repeated line is inserted after the run it repeats.
    ("ab", "abb", [("equal", 0, 2, 0, 2), ("insert", 2, 2, 2, 3)]),
    ("xay", "xabay", [("equal", 0, 2, 0, 2), ("insert", 2, 2, 2, 4), ("equal", 2, 3, 4, 5)]),
    # The search yields insert b, equal a, delete b, insert a; the second
    # insertion slides up over the "a" and joins the first one, while the
    # deletion stays after the equal run.
    ("ab", "baa", [("insert", 0, 0, 0, 2), ("equal", 0, 1, 2, 3), ("delete", 1, 2, 3, 3)]),
    # Lines compare exactly: near-equal lines differ, empty and non-ASCII lines are lines.
    *((["head", "line", "tail"], ["head", changed, "tail"], [("equal", 0, 1, 0, 1), ("replace", 1, 2, 1, 2),
                                                             ("equal", 2, 3, 2, 3)])
      for changed in ["line ", "Line", "line\n", "\tline", "líne"]),
    (["", "日本", "", "x\x00y"], ["", "日本", "", "x\x00y"], [("equal", 0, 4, 0, 4)]),
    (["x\x00y"], ["x\x00z"], [("replace", 0, 1, 0, 1)]),
])
def test_documented_opcodes_as_lists_of_tuples(old, new, expected):
    ops = diff(list(old), list(new))
    assert ops == expected and all(type(op) is tuple for op in ops)


def test_keywords_and_tuples_accepted():
    assert diff(new_lines=("a",), old_lines=("a", "b")) == [("equal", 0, 1, 0, 1), ("delete", 1, 2, 1, 1)]


@pytest.mark.parametrize("args", [("abc", ["a"]), (["a"], "abc"), ("", []), (["a", 1], ["a"]),
                                  (["a"], [b"a"]), (None, []), ([], 3)])
def test_single_strings_non_string_items_and_non_sequences_rejected(args):
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


@pytest.mark.parametrize("versions", [st.tuples(lines, lines), st.tuples(longer_lines, longer_lines),
                                      related_versions()], ids=["small-alphabet", "longer", "related"])
@settings(max_examples=500, deadline=None)
@given(data=st.data())
def test_well_formed_and_minimal(versions, data):
    check_minimal_diff(*data.draw(versions))


@settings(max_examples=300, deadline=None)
@given(lines, lines, st.integers(0, 4), st.integers(0, 4))
def test_one_changed_block_reported_as_that_block(prefix, suffix, n_old, n_new):
    # Lines of the changed block occur nowhere else, so the only minimal
    # diff keeps prefix and suffix and touches exactly the block.
    old = prefix + [f"old{k}" for k in range(n_old)] + suffix
    new = prefix + [f"new{k}" for k in range(n_new)] + suffix
    p, s, i2, j2 = len(prefix), len(suffix), len(prefix) + n_old, len(prefix) + n_new
    tag = "replace" if n_old and n_new else "delete" if n_old else "insert" if n_new else None
    expected = ([("equal", 0, p, 0, p)] if p else []) + ([(tag, p, i2, p, j2)] if tag else [])
    expected += [("equal", i2, i2 + s, j2, j2 + s)] if s else []
    if not tag and p and s:  # nothing changed: one equal run
        expected = [("equal", 0, p + s, 0, p + s)]
    assert diff(old, new) == expected


@settings(max_examples=300, deadline=None)
@given(lines, lines, st.lists(st.sampled_from(["a", "b", "c", "x", "y"]), min_size=1, max_size=8),
       st.integers(1, 5))
def test_a_middle_of_lines_new_to_the_old_list_is_one_replacement(prefix, suffix, old_middle, n_new):
    # The old middle may repeat prefix and suffix lines; the new middle is
    # made of lines the old list lacks, so only the common ends are kept.
    old = prefix + old_middle + suffix
    new = prefix + [f"new{k}" for k in range(n_new)] + suffix
    p = 0
    while p < len(old) and p < len(new) and old[p] == new[p]:
        p += 1
    s = 0
    while p + s < len(old) and p + s < len(new) and old[-1 - s] == new[-1 - s]:
        s += 1
    expected = ([("equal", 0, p, 0, p)] if p else []) + [("replace", p, len(old) - s, p, len(new) - s)]
    expected += [("equal", len(old) - s, len(old), len(new) - s, len(new))] if s else []
    assert diff(old, new) == expected


class Stop(Exception):
    pass


def test_a_long_diff_stops_when_a_signal_handler_raises():
    """Two long lists with one line in common, at opposite ends, take
    seconds; a signal arriving meanwhile (Ctrl-C, here a timer) ends the call
    with the handler's error."""
    import signal

    old = [f"a{i}" for i in range(40000)] + ["x"]
    new = ["x"] + [f"b{i}" for i in range(40000)]

    def stop(signum, frame):
        raise Stop

    previous = signal.signal(signal.SIGALRM, stop)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        with pytest.raises(Stop):
            _vl_native.blame_diff(old, new)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert _vl_native.blame_diff(old[:3], new[:3]) == [("replace", 0, 3, 0, 3)]
