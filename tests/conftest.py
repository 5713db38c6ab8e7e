"""Shared fixtures: a project root, an initialised store, and the exact line
the store writes for a value."""

import itertools
import os

import pytest

import vl._vl_native as native


@pytest.fixture
def root(tmp_path):
    """An empty project root (no .vl yet), as a str path."""
    (tmp_path / "project").mkdir()
    return str(tmp_path / "project")


@pytest.fixture
def store(root):
    native.init(root)
    return root


@pytest.fixture
def written_line(tmp_path):
    """written_line(value) -> the one line jsonl_append stores for `value`,
    without its LF: the canonical text of the value, as bytes."""
    counter = itertools.count()

    def write(value):
        path = tmp_path / f"line-{next(counter)}.jsonl"
        native.jsonl_append(str(path), value)
        data = path.read_bytes()
        assert data.endswith(b"\n") and data.count(b"\n") == 1, data
        return data[:-1]
    return write


@pytest.fixture
def read_back(tmp_path):
    """read_back(text) -> what jsonl_read yields for a file of exactly `text`."""
    counter = itertools.count()

    def read(text):
        path = tmp_path / f"hand-{next(counter)}.jsonl"
        path.write_bytes(text.encode() if isinstance(text, str) else text)
        return native.jsonl_read(str(path))
    return read


@pytest.fixture
def listing():
    """listing(path) -> every path below `path`, relative and sorted."""
    return lambda path: sorted(os.path.relpath(os.path.join(d, n), path)
                               for d, dirs, files in os.walk(path) for n in dirs + files)
