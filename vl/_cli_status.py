"""``vl status``: a summary of the store."""

from __future__ import annotations

import os
import re
from collections import defaultdict
from typing import Any

import click

from vl import _vl_native as native
from vl._cli_common import (authors, command, emit_json, emit_table, json_option, parse_json, project,
                            sections, store_dir, working_on)

_PID_FILE = re.compile(r"^token-index\.(.+)\.(\d+)$")


def _mtime(path: str) -> float | None:
    try:
        return os.stat(path).st_mtime
    except OSError:
        return None


def _newest(directory: str) -> float:
    newest = 0.0
    with os.scandir(directory) as entries:
        for e in entries:
            if e.is_file(follow_symlinks=False):
                newest = max(newest, e.stat().st_mtime)
    return newest


def _newest_in(directories: list[str]) -> float:
    return max((_newest(d) for d in directories if os.path.isdir(d)), default=0.0)


def file_state(root: str, rel: str, recorded: set[str]) -> tuple[str, int | None]:
    """Whether a tracked data file still holds exactly the lines recorded for it:
    ("unchanged" | "changed" | "missing", its number of data lines)."""
    path = os.path.join(root, *rel.split("/"))
    current: set[str] = set()
    lines = 0
    try:
        with open(path, "rb") as f:
            for raw in f:
                if not raw.strip():
                    continue
                lines += 1
                try:
                    current.add(native.compute_hash(parse_json(raw.decode("utf-8"))))
                except (ValueError, RecursionError):
                    continue  # never recorded, so it does not make the file differ
    except (FileNotFoundError, NotADirectoryError, IsADirectoryError):
        return "missing", None
    return ("unchanged" if current == recorded else "changed"), lines


def gather(root: str) -> dict[str, Any]:
    store = store_dir(root)
    all_authors, all_sections = authors(root), sections(root)
    with working_on(os.path.join(store, "document-index")):
        docs = native.read_all_documents(root)
    per_file: dict[str, set[str]] = defaultdict(set)
    records: dict[str, int] = defaultdict(int)
    for d in docs:
        per_file[d["file"]].add(d["line_hash"])
        records[d["file"]] += 1
    files = []
    for rel in sorted(per_file):
        state, lines = file_state(root, rel, per_file[rel])
        files.append({"file": rel, "records": records[rel], "lines": lines, "state": state})

    waiting: dict[str, int] = defaultdict(int)
    with os.scandir(store) as entries:
        for e in entries:
            m = _PID_FILE.match(e.name)
            if m and e.is_file(follow_symlinks=False):
                waiting[m.group(1)] += 1
    tokenizers = []
    for name in sorted(set(native.token_index_list_tokenizers(root)) | set(waiting)):
        merged_dir = os.path.join(store, f"token-index.{name}")
        counts = native.token_index_token_status(root, name) if os.path.isdir(merged_dir) else {
            "total_entries": 0, "active_entries": 0, "revoked_entries": 0, "total_tokens": 0}
        built = _mtime(os.path.join(store, f"token-index.{name}.bin"))
        tokenizers.append({"tokenizer": name, **counts, "waiting_files": waiting.get(name, 0),
                           "binary_index": "not built" if built is None else
                           ("fresh" if built >= _newest_in([merged_dir]) else "stale")})

    built = _mtime(os.path.join(store, "index.bin"))
    layers = [os.path.join(store, layer) for layer in ("authors", "sections", "document-index")]
    return {
        "project": root,
        "authors": {"total": len(all_authors), "revoked": sum(a["revoked"] for a in all_authors)},
        "sections": {"total": len(all_sections), "revoked": sum(s["revoked"] for s in all_sections)},
        "documents": {"total": len(docs), "revoked": sum(d.get("revoked") is True for d in docs)},
        "files": files,
        "tokenizers": tokenizers,
        "index": "not built" if built is None else ("fresh" if built >= _newest_in(layers) else "stale"),
    }


@command("status")
@json_option
def status_cmd(as_json: bool) -> None:
    """Summarise the store: authors, sections, tracked files, tokens, index.

    A tracked file is "changed" when its lines are no longer exactly the lines
    recorded for it; token files "waiting" are per-process files not merged
    yet; an index is "stale" when records were written after it was built.

    \b
    Example:
      vl status
    """
    info = gather(project())
    if as_json:
        emit_json(info)
        return

    def counted(what: dict[str, int]) -> str:
        return f"{what['total']}" + (f" ({what['revoked']} revoked)" if what["revoked"] else "")

    emit_table(("", ""), [("project", info["project"]), ("authors", counted(info["authors"])),
                          ("sections", counted(info["sections"])), ("documents", counted(info["documents"])),
                          ("index", info["index"])])
    if info["files"]:
        click.echo()
        emit_table(("file", "records", "lines", "state"),
                   ((f["file"], f["records"], "" if f["lines"] is None else f["lines"], f["state"])
                    for f in info["files"]))
    if info["tokenizers"]:
        click.echo()
        emit_table(("tokenizer", "entries", "revoked", "tokens", "waiting files", "binary index"),
                   ((t["tokenizer"], t["total_entries"], t["revoked_entries"], t["total_tokens"],
                     t["waiting_files"], t["binary_index"]) for t in info["tokenizers"]))
