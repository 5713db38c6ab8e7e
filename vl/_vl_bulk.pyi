"""Whole-file entry points of the native core of vl."""

from vl._vl_native import PanicException as PanicException
