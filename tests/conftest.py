"""Shared fixtures: a project root, an initialised store, and a way to see
the exact line that the store writes for a value."""

import os

import pytest

import vl._vl_native as native


@pytest.fixture
def root(tmp_path):
    """An empty project root (no .vl yet), as a str path."""
    path = tmp_path / "project"
    path.mkdir()
    return str(path)


@pytest.fixture
def store(root):
    """A project root whose store has been initialised."""
    native.init(root)
    return root


@pytest.fixture
def written_line(tmp_path):
    """written_line(value) -> the bytes of the line that jsonl_append stores
    for `value`, without its LF (the canonical text of the value)."""
    counter = iter(range(1_000_000))

    def write(value):
        path = str(tmp_path / f"line-{next(counter)}.jsonl")
        native.jsonl_append(path, value)
        with open(path, "rb") as f:
            data = f.read()
        assert data.endswith(b"\n") and data.count(b"\n") == 1, data
        return data[:-1]

    return write


@pytest.fixture
def read_back(tmp_path):
    """read_back(text) -> the values jsonl_read yields for a file holding
    exactly `text` (str or bytes)."""
    counter = iter(range(1_000_000))

    def read(text):
        path = tmp_path / f"hand-{next(counter)}.jsonl"
        path.write_bytes(text.encode() if isinstance(text, str) else text)
        return native.jsonl_read(str(path))

    return read


def tree(path):
    """Every path below `path`, relative, as a sorted list (for checking that
    nothing was created or changed)."""
    out = []
    for dirpath, dirnames, filenames in os.walk(path):
        for name in dirnames + filenames:
            out.append(os.path.relpath(os.path.join(dirpath, name), path))
    return sorted(out)


@pytest.fixture
def listing():
    return tree
