"""The whole-file module vl._vl_bulk: how it is loaded and what it exports."""

import shutil
import subprocess

import pytest

import vl._vl_bulk as bulk
import vl._vl_native as native


def test_bulk_module_raises_the_native_panic_type():
    assert bulk.PanicException is native.PanicException


def test_the_bulk_library_exports_only_its_entry_point():
    if shutil.which("nm") is None:
        pytest.skip("nm is not installed")
    out = subprocess.run(["nm", "-D", "--defined-only", bulk.__file__],
                         check=True, capture_output=True, text=True).stdout
    assert [line.split()[-1] for line in out.splitlines() if line.strip()] == ["PyInit__vl_bulk"]
