"""``vl clean`` and ``vl merge``: store maintenance."""

from __future__ import annotations

import os
import re

import click

from vl import _vl_bulk as bulk
from vl import _vl_native as native
from vl._cli_common import (STORE, VlError, command, emit_fields, emit_json, emit_json_lines, emit_table,
                            json_option, notice, plural, project, quote_path, store_dir, warn, working_on)

# Files a clean folds into the store; a merge reads only what is folded in.
_UNFOLDED = re.compile(r"^(token-index\..+\.\d+|docidx\.(?![0-9a-fA-F]{2}$).*)$")


@command("clean")
@click.option("--split", is_flag=True, help="Also empty the .vl/split work directory.")
@click.option("-n", "--dry-run", is_flag=True, help="Only report what a clean would do now; change nothing.")
@json_option
def clean_cmd(split: bool, dry_run: bool, as_json: bool) -> None:
    """Fold per-process files into the store and archive revoked records.

    Rotates an operation log above 10 MiB, folds the per-process document
    index files (.vl/docidx.*) into the document index and the per-process
    token files of every tokenizer into merged files (rebuilding their token
    indexes), and copies revoked and orphaned records into .vl/archive.
    Prints the counters; --dry-run prints the counters a clean would give now.

    \b
    Example:
      vl clean --dry-run && vl clean
    """
    root = project()
    with working_on(store_dir(root)):
        counts = bulk.clean_dry_run(root) if dry_run else native.clean(root, split)
    if as_json:
        emit_json({"dry_run": dry_run, **counts})
    else:
        emit_fields(counts)
    if dry_run:
        notice("dry run: nothing was changed")
    else:
        notice(f"folded {plural(counts['document_merged'], 'document record')} from "
               f"{plural(counts['pid_files_deleted'], 'per-process file')} and "
               f"{plural(counts['token_index_merged'], 'token entry', 'token entries')} from "
               f"{plural(counts['token_index_pid_deleted'], 'token process file')}; "
               f"archived {plural(counts['archived_records'], 'record')}")


def _source_root(path: str) -> str:
    """A source store named by its project root or by its .vl directory."""
    path = os.path.abspath(path)
    if os.path.basename(path) == STORE and not os.path.isdir(os.path.join(path, STORE)):
        path = os.path.dirname(path)
    if not os.path.isdir(os.path.join(path, STORE)):
        raise VlError(f"{quote_path(path)} holds no vl store (no {STORE} directory)")
    return path


@command("merge")
@click.argument("sources", nargs=-1, required=True, metavar="SOURCE...")
@json_option
def merge_cmd(sources: tuple[str, ...], as_json: bool) -> None:
    """Copy into this project's store what the SOURCE stores hold and it lacks.

    Each SOURCE is the root of another project (or its .vl directory); it is
    only read.  Authors, sections and document records are copied when the
    store lacks their identity; token entries when the source holds more
    entries of the same count, sources and tokenizer than the store does.
    Merging the same source twice adds nothing.  Only folded-in token
    entries are read: run `vl clean` in a source first.

    \b
    Example:
      vl merge ../shard-1 ../shard-2
    """
    root = project()
    roots = [_source_root(s) for s in sources]
    results = []
    for source in roots:
        with os.scandir(store_dir(source)) as entries:
            unfolded = sum(1 for e in entries if _UNFOLDED.match(e.name))
        if unfolded:
            warn(f"{quote_path(source)} has {plural(unfolded, 'per-process file')} not folded in "
                 f"(run vl clean there first); they are not merged")
        with working_on(store_dir(root)):
            counts = native.merge_absorb(source, root)
        results.append({"source": source, **counts})
        notice(f"merged {quote_path(source)}: {plural(counts['authors_added'], 'author')}, "
               f"{plural(counts['sections_added'], 'section')}, "
               f"{plural(counts['document_added'], 'document record')}, "
               f"{plural(counts['token_index_added'], 'token entry', 'token entries')} added; "
               f"{counts['skipped']} skipped")
    if as_json:
        emit_json_lines(results)
    else:
        keys = ("authors_added", "sections_added", "document_added", "token_index_added", "skipped")
        emit_table(("source",) + keys, ((r["source"],) + tuple(r[k] for k in keys) for r in results))
