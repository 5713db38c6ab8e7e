"""Withdrawing content: ``vl revoke``, ``vl purge``, ``vl restore`` and ``vl archive``.

Revocation marks authors, sections or tracked lines as withdrawn; a purge
moves the lines of withdrawn content out of a data file into a purge archive
under .vl/archive; a restore puts the newest purge of a file back.
"""

from __future__ import annotations

import json
import os
import sys
import threading
from typing import Any

import click

from vl import _vl_bulk as bulk
from vl import _vl_native as native
from vl._cli_distributed import cluster_options, purge_on_cluster, restore_on_cluster, use_cluster
from vl._cli_common import (Interrupted, VlError, authors, command, data_path, emit_json, emit_json_lines,
                            emit_table, json_option, notice, plural, progress, project, quote_path, resolve_author,
                            resolve_section, short, store_dir, warn, working_on)

# Files at least this large get a progress bar while they are purged.
PROGRESS_FROM = 8 << 20


def _interactive() -> bool:
    """Whether to ask before rewriting a file: only someone at a terminal can answer."""
    return sys.stdin.isatty()


# -- revoke -------------------------------------------------------------------------


def _revoke_author(root: str, ref: str, reinstate: bool) -> dict[str, Any]:
    a = resolve_author(root, ref)
    namesakes = [x for x in authors(root) if x["name"] == a["name"]]
    states = {x["revoked"] for x in namesakes}
    target = not reinstate
    if states == {target}:
        notice(f"author {a['name']} is {'already revoked' if target else 'not revoked'}; nothing changed")
        return {"author": a["name"], "toggled": 0}
    if len(states) > 1:
        raise VlError(f"the authors named {a['name']!r} are partly revoked; revocation works on every author "
                      f"of a name at once ({', '.join(short(x['id']) for x in namesakes)})")
    if len(namesakes) > 1:
        notice(f"{plural(len(namesakes), 'author')} share the name {a['name']!r}; all are "
               f"{'revoked' if target else 'reinstated'}")
    n = native.revoke_by_author(root, a["name"], reverse=reinstate)
    return {"author": a["name"], "toggled": n}


def _revoke_section(root: str, ref: str, reinstate: bool) -> dict[str, Any]:
    s = resolve_section(root, ref)
    if s["revoked"] != reinstate:
        notice(f"section {short(s['section_hash'])} {s['path']} is "
               f"{'already revoked' if not reinstate else 'not revoked'}; nothing changed")
        return {"section_hash": s["section_hash"], "toggled": 0}
    n = native.revoke_section(root, s["section_hash"], reverse=reinstate)
    return {"section_hash": s["section_hash"], "toggled": n}


def _manifest_entries(path: str) -> list[tuple[str, str]]:
    """(line_hash, file) pairs of a manifest: JSON objects with "line_hash" and
    "file" (as `vl lookup --json` prints them), or "HASH FILE" lines."""
    entries = []
    with working_on(path), open(path, encoding="utf-8") as f:
        for number, text in enumerate(f, 1):
            text = text.strip()
            if not text or text.startswith("#"):
                continue
            if text.startswith("{"):
                try:
                    record = json.loads(text)
                    entries.append((record["line_hash"], record["file"]))
                    if not all(isinstance(v, str) for v in entries[-1]):
                        raise TypeError
                    continue
                except (ValueError, KeyError, TypeError):
                    pass
            else:
                parts = text.split(None, 1)
                if len(parts) == 2:
                    entries.append((parts[0], parts[1]))
                    continue
            raise VlError(f"{quote_path(path)} line {number}: expected {{\"line_hash\": ..., \"file\": ...}} "
                          f"or HASH FILE")
    return entries


def _revoke_manifest(root: str, path: str, reinstate: bool) -> dict[str, Any]:
    toggled = unchanged = untracked = 0
    for line_hash, file in _manifest_entries(path):
        if len(line_hash) < 2:
            raise VlError(f"{quote_path(path)}: {line_hash!r} is not a line hash")
        records = [r for r in native.shard_read(root, "document-index", line_hash)
                   if isinstance(r, dict) and r.get("line_hash") == line_hash and r.get("file") == file]
        if not records:
            warn(f"{short(line_hash)} in {file} is not tracked; skipped")
            untracked += 1
        elif all((r.get("revoked") is True) != reinstate for r in records):
            unchanged += 1
        else:
            toggled += native.revoke_manifest(root, line_hash, file, reverse=reinstate)
    return {"toggled": toggled, "unchanged": unchanged, "untracked": untracked}


@command("revoke")
@click.option("-a", "--author", "author_ref", metavar="AUTHOR",
              help="Revoke an author (id prefix, name or e-mail): every author of that name.")
@click.option("-s", "--section", "section_ref", metavar="SECTION", help="Revoke a section (hash prefix or path).")
@click.option("-m", "--manifest", type=click.Path(dir_okay=False), metavar="FILE",
              help='Revoke tracked lines listed in FILE: {"line_hash": ..., "file": ...} or "HASH FILE" per line.')
@click.option("--reinstate", is_flag=True, help="Undo a revocation instead.")
@json_option
def revoke_cmd(author_ref: str | None, section_ref: str | None, manifest: str | None, reinstate: bool,
               as_json: bool) -> None:
    """Mark an author, a section or tracked lines as withdrawn.

    Revoked content stays in the store; `vl purge` then takes its lines out
    of a data file.  Running it again changes nothing; --reinstate undoes it.

    \b
    Example:
      vl revoke --section notes/engine.md
      vl revoke --author "Ada Lovelace" --reinstate
    """
    if sum(x is not None for x in (author_ref, section_ref, manifest)) != 1:
        raise click.UsageError("give exactly one of --author, --section and --manifest")
    root = project()
    if author_ref is not None:
        result = _revoke_author(root, author_ref, reinstate)
        what = f"author {result['author']}"
    elif section_ref is not None:
        result = _revoke_section(root, section_ref, reinstate)
        what = f"section {short(result['section_hash'])}"
    else:
        result = _revoke_manifest(root, manifest, reinstate)
        what = f"lines of {manifest}"
    if as_json:
        emit_json(result)
    if result["toggled"]:
        notice(f"{'reinstated' if reinstate else 'revoked'} {what}: {plural(result['toggled'], 'record')}")


# -- purge --------------------------------------------------------------------------


class _InRoot:
    """Runs a native purge from the project root, so that the data file is
    named there as the store names it (relative to the root)."""

    def __init__(self, root: str) -> None:
        self.root, self.before = root, None

    def __enter__(self) -> None:
        self.before = os.getcwd()
        os.chdir(self.root)

    def __exit__(self, *exc: Any) -> None:
        os.chdir(self.before)


def _purge_with_progress(root: str, rel: str, author: str | None, size: int) -> dict[str, int]:
    counter = bytearray(8)
    outcome: dict[str, Any] = {}

    def work() -> None:
        try:
            outcome["result"] = bulk.purge(root, rel, author, counter)
        except BaseException as e:  # handed to the waiting thread
            outcome["error"] = e

    worker = threading.Thread(target=work, name="vl-purge")
    worker.start()
    try:
        with progress(f"purging {rel}", 2 * size) as bar:
            done = 0
            while worker.is_alive():
                worker.join(0.1)
                now = int.from_bytes(counter, sys.byteorder)
                bar.advance(now - done)
                done = now
    except KeyboardInterrupt:
        worker.join()  # a purge is never left half done
        raise Interrupted(f"the purge of {rel} had started and was completed") from None
    if "error" in outcome:
        raise outcome["error"]
    return outcome["result"]


@command("purge")
@click.argument("files", nargs=-1, required=True)
@click.option("-a", "--author", "author_ref", metavar="AUTHOR",
              help="Purge only the lines of this revoked author (through the index; run `vl index build` first).")
@click.option("-n", "--dry-run", is_flag=True, help="Say what would go; change nothing.")
@click.option("-y", "--yes", is_flag=True, help="Do not ask before rewriting the file.")
@cluster_options
@json_option
def purge_cmd(files: tuple[str, ...], author_ref: str | None, dry_run: bool, yes: bool, as_json: bool,
              workers: int | None, scheduler: str | None) -> None:
    """Move the lines of revoked content out of the data files FILES.

    The lines go to a purge archive in .vl/archive (see `vl archive`), from
    which `vl restore FILE` puts them back.  Without --author every revoked
    section and revoked line counts.  Asks before rewriting FILE unless --yes
    is given or the input is not a terminal.

    Several files (or --workers / --scheduler) are purged as tasks on a Dask
    cluster, one per file, into one archive; the files are replaced only
    once every task has succeeded.

    \b
    Example:
      vl purge train.jsonl --dry-run
      vl purge train.jsonl --yes
      vl purge data/*.jsonl --workers 8 --yes
    """
    if (workers or scheduler) and (author_ref is not None or dry_run):
        raise click.UsageError("--author and --dry-run purge in this process: not with --workers or --scheduler")
    if author_ref is None and not dry_run and use_cluster(workers, scheduler, len(files)):
        root = project()
        rels = list(dict.fromkeys(data_path(root, f) for f in files))
        if not yes and _interactive():
            click.confirm(f"purge the revoked lines of {plural(len(rels), 'file')}?", abort=True, err=True)
        purge_on_cluster(root, rels, workers, scheduler, as_json)
        return
    for file in files:
        _purge_one(file, author_ref, dry_run, yes, as_json)


def _purge_one(file: str, author_ref: str | None, dry_run: bool, yes: bool, as_json: bool) -> None:
    root = project()
    rel = data_path(root, file)
    author = resolve_author(root, author_ref)["name"] if author_ref is not None else None
    ask = not dry_run and not yes and _interactive()
    with _InRoot(root), working_on(file):
        if dry_run or ask:
            # Deciding costs about as much as purging: only for a dry run or a question.
            plan = bulk.purge_plan(root, rel, author)
            gone = plan["purged"]
        if dry_run:
            if as_json:
                emit_json({"file": rel, "lines": plan["lines"], "purged": len(gone), "purged_lines": gone})
            else:
                emit_table(("line", "text"), _previews(rel, gone[:20]))
                if len(gone) > 20:
                    click.echo(f"... and {len(gone) - 20} more")
            notice(f"would purge {plural(len(gone), 'line')} of {plan['lines']} from {rel} (dry run)")
            return
        if ask and gone:
            click.confirm(f"purge {plural(len(gone), 'line')} of {plan['lines']} from {rel}?", abort=True,
                          err=True)
        size = os.path.getsize(rel)
        if size >= PROGRESS_FROM:
            result = _purge_with_progress(root, rel, author, size)
        elif author is not None:
            result = native.purge_by_author_indexd(root, author, rel, False)
        else:
            result = native.purge_revoked(root, rel, False)
    if as_json:
        emit_json({"file": rel, **result})
    notice(f"purged {plural(result['purged'], 'line')} from {rel}, kept {result['kept']}"
           + (f"; archived in {_newest_archive(root)}" if result["archived"] else ""))


def _previews(path: str, numbers: list[int], width: int = 80) -> list[tuple[int, str]]:
    """(number, start of the text) of the given lines; numbers count the
    non-empty lines, as a purge does."""
    wanted, out = set(numbers), []
    with open(path, "rb") as f:
        n = 0
        for raw in f:
            if not raw.rstrip(b"\r\n"):
                continue
            n += 1
            if n in wanted:
                text = raw.decode("utf-8", "replace").rstrip("\r\n")
                out.append((n, text if len(text) <= width else text[:width - 3] + "..."))
                if len(out) == len(wanted):
                    break
    return out


# -- archives and restore ----------------------------------------------------------------


def _archives(root: str) -> list[str]:
    """Purge archive names, newest first (the order in which they are restored)."""
    d = os.path.join(store_dir(root), "archive")
    if not os.path.isdir(d):
        return []
    return sorted((n for n in os.listdir(d) if n.startswith("purge.")), reverse=True)


def _newest_archive(root: str) -> str:
    names = _archives(root)
    return os.path.join(".vl", "archive", names[0]) if names else ""


def _archive_summary(root: str, name: str) -> dict[str, Any]:
    records = native.jsonl_read(os.path.join(store_dir(root), "archive", name))
    files = sorted({r["file"] for r in records if isinstance(r, dict) and isinstance(r.get("file"), str)})
    stamp = next((r["archived_at"] for r in records if isinstance(r, dict) and "archived_at" in r), None)
    return {"archive": name, "archived_at": stamp, "files": files, "lines": len(records)}


@command("archive")
@click.argument("name", required=False)
@json_option
def archive_cmd(name: str | None, as_json: bool) -> None:
    """List purge archives, newest first, or show the lines of archive NAME.

    \b
    Example:
      vl archive
      vl archive purge.20250305T142233
    """
    root = project()
    if name is None:
        rows = [_archive_summary(root, n) for n in _archives(root)]
        if as_json:
            emit_json_lines(rows)
        else:
            emit_table(("archive", "file", "lines"), ((r["archive"], ", ".join(r["files"]) or "?", r["lines"])
                                                      for r in rows))
        notice(plural(len(rows), "purge archive"))
        return
    if name not in _archives(root):
        raise VlError(f"no purge archive {name!r} (see `vl archive`)")
    records = native.jsonl_read(os.path.join(store_dir(root), "archive", name))
    if as_json:
        emit_json_lines(records)
        return
    for r in records:
        text = r.get("text") if isinstance(r, dict) else None
        click.echo(text if isinstance(text, str) else json.dumps(r.get("line") if isinstance(r, dict) else r,
                                                                 ensure_ascii=False))
    notice(plural(len(records), "archived line"))


@command("restore")
@click.argument("files", nargs=-1, required=True)
@click.option("-y", "--yes", is_flag=True, help="Do not ask when the archive does not name its data file.")
@cluster_options
@json_option
def restore_cmd(files: tuple[str, ...], yes: bool, as_json: bool, workers: int | None,
                scheduler: str | None) -> None:
    """Undo the last purge of the data files FILES.

    The purged lines are appended to FILE exactly as they were, and their
    archive is removed.  Purges are undone newest first, so the newest
    purge archive must be the one of FILE.

    Several files (or --workers / --scheduler) are restored as tasks on a
    Dask cluster, one per file, from the newest archive, which must hold
    lines of those files only.

    \b
    Example:
      vl restore train.jsonl
      vl restore data/*.jsonl --workers 8
    """
    if use_cluster(workers, scheduler, len(files)):
        root = project()
        restore_on_cluster(root, list(dict.fromkeys(data_path(root, f) for f in files)), workers, scheduler,
                           as_json)
        return
    if len(files) > 1:
        raise click.UsageError("several files are restored on a Dask cluster, which needs Dask installed")
    _restore_one(files[0], yes, as_json)


def _restore_one(file: str, yes: bool, as_json: bool) -> None:
    root = project()
    rel = data_path(root, file)
    names = _archives(root)
    if not names:
        raise VlError("no purge archive to restore (see `vl archive`)")
    summary = _archive_summary(root, names[0])
    if summary["files"] and summary["files"] != [rel]:
        raise VlError(f"the newest purge archive, {names[0]}, holds lines of {', '.join(summary['files'])}, "
                      f"not of {rel}; restore that first")
    if not summary["files"] and not yes and _interactive():
        click.confirm(f"{names[0]} does not name its data file; append its {summary['lines']} lines to {rel}?",
                      abort=True, err=True)
    with _InRoot(root), working_on(file):
        restored = native.purge_reverse(root, rel)
    if as_json:
        emit_json({"file": rel, "archive": names[0], "restored": restored})
    notice(f"restored {plural(restored, 'line')} to {rel} from {names[0]}")
