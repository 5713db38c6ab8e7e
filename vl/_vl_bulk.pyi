"""Whole-file entry points of the native core of vl."""

from vl._vl_native import PanicException as PanicException

def report(vl_dir: str, tokenizers: list[str] | None = None) -> dict[str, object]:
    """The store's composition by licence, author, section and data file."""

def clean_dry_run(vl_dir: str) -> dict[str, int]:
    """The counters that clean(vl_dir, split) would return now, without changing anything."""

def purge_plan(vl_dir: str, data_file: str, author_name: str | None = None) -> dict[str, object]:
    """What a purge of the data file would remove: "lines" and the "purged" line numbers."""

def purge(
    vl_dir: str, data_file: str, author_name: str | None = None, progress: bytearray | None = None
) -> dict[str, int]:
    """purge_revoked (or purge_by_author_indexd) without the interpreter lock, reporting progress."""
