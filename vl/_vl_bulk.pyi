"""Whole-file entry points of the native core of vl."""

from typing import Any, Callable, Sequence

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

def track_file(
    vl_dir: str,
    path: str,
    file: str,
    sources: Sequence[str],
    tokenizer: str | None = None,
    token_counts: Sequence[int] | None = None,
    text_field: str | None = None,
    already: dict[str, int] | None = None,
    strict: bool = False,
    progress: Callable[[int], object] | None = None,
) -> dict[str, Any]:
    """Track every line of the data file at `path` under the name `file`.

    Each line's hash is the content hash of the line's own JSON text (the hash
    a purge computes); lines are hashed on the worker pool and the records
    appended in few large writes of whole records.  With a tokenizer, token
    entries are written too, with `token_counts` (one per valid line) or the
    built-in whitespace count (of `text_field`, or of every string value).
    `already` maps line hashes to how many of their lines to skip.  `strict`
    records nothing when any line is invalid.  `progress(bytes_done)` is
    called between batches; Ctrl-C (or KeyboardInterrupt from `progress`)
    stops after the batch and sets "interrupted".  Returns {"recorded",
    "already", "invalid": [(line, reason)], "bytes", "interrupted"}.
    """
