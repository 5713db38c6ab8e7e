"""``vl report``: what the tracked data is made of, by licence, author, section and file.

The figures come from one native pass (``vl._vl_bulk.report``); this module
only picks, names and lays them out.  Counting rules, as the pass applies them:

* a tracked line is one document record;
* a line with several sources counts once in every row its sources lead to
  (once per distinct section, licence and author), so the rows of a
  breakdown may add up to more than the totals, which count each line once;
* a line is revoked when its own record is, when the revoked document list
  names it, or when one of its sections is withdrawn (the section revoked,
  or one of its authors); token entries likewise, by their own flag or
  their sections;
* "unattributed" lines and tokens cite no registered section at all;
* tokens come from the merged token files; entries still in per-process
  files are shown as pending and not attributed.
"""

from __future__ import annotations

import contextlib
import datetime
import os
from typing import Any

import click

from vl import __version__
from vl._cli_common import (VlError, command, emit_json, emit_table, notice, project, quote_path, short, store_dir,
                            working_on)

BREAKDOWNS = ("licence", "author", "section", "file")
_KEYS = {"licence": "licenses", "author": "authors", "section": "sections", "file": "files"}


def share(part: int, whole: int) -> str:
    """A share for people: "25.0%", or "-" when there is nothing to share."""
    return f"{100.0 * part / whole:.1f}%" if whole else "-"


def author_label(a: dict[str, Any]) -> str:
    if a["name"] is None:
        return f"(unregistered {short(a['id'])})"
    return a["name"]


def gather(root: str, tokenizer: str | None = None) -> dict[str, Any]:
    """The report as one JSON-ready document: the native figures, the rows in
    display order (most lines first), the store, time and version, and the
    sections and authors without tracked lines."""
    from vl import _vl_bulk as bulk
    from vl import _vl_native as native

    if tokenizer is not None:
        known = native.token_index_list_tokenizers(root)
        if tokenizer not in known:
            raise VlError(f"unknown tokenizer {tokenizer!r} (the store has {', '.join(known) or 'none'})")
    with working_on(store_dir(root)):
        report = bulk.report(root, None if tokenizer is None else [tokenizer])
    order = lambda key: (lambda row: (-row["lines"], str(row[key])))  # noqa: E731
    report["licenses"].sort(key=order("license"))
    report["authors"].sort(key=lambda a: (-a["lines"], author_label(a), a["id"]))
    report["sections"].sort(key=order("path"))
    report["files"].sort(key=order("file"))
    report["unknown_sources"].sort(key=order("source"))
    return {
        "store": store_dir(root),
        "generated_at": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ"),
        "version": __version__,
        **report,
        "sections_without_lines": [
            {"section_hash": s["section_hash"], "path": s["path"], "license": s["license"]}
            for s in report["sections"] if s["lines"] == 0],
        "authors_without_lines": [
            {"id": a["id"], "name": a["name"], "email": a["email"]}
            for a in report["authors"] if a["lines"] == 0],
    }


def only(report: dict[str, Any], by: str) -> dict[str, Any]:
    """The report with one breakdown: the other row lists are left out."""
    drop = {_KEYS[b] for b in BREAKDOWNS if b != by}
    return {k: v for k, v in report.items() if k not in drop}


def token_columns(tokenizers: list[str]) -> list[str]:
    return [f"{t} tokens" for t in tokenizers]


def counted(part: int, whole: int) -> str:
    """A count with its share: "4 (80.0%)"."""
    return f"{part} ({share(part, whole)})"


def token_cells(row: dict[str, Any], tokenizers: list[str]) -> list[Any]:
    cells: list[Any] = []
    for t in tokenizers:
        f = row["tokens"][t]
        cells.append(f"{f['tokens']} ({share(f['revoked_tokens'], f['tokens'])} revoked)" if f["revoked_tokens"]
                     else f["tokens"])
    return cells


def line_cells(row: dict[str, Any]) -> list[Any]:
    return [row["lines"], counted(row["revoked_lines"], row["lines"]), row["files"]]


LINE_COLUMNS = ["lines", "revoked", "files"]


def tables(report: dict[str, Any], by: str | None) -> list[tuple[str, list[str], list[list[Any]]]]:
    """Every table of the report as (title, columns, rows), for the terminal
    and for the HTML page alike."""
    toks = report["tokenizers"]
    t = report["totals"]
    u = report["unattributed"]
    out: list[tuple[str, list[str], list[list[Any]]]] = []
    totals = [
        ["tracked lines", t["lines"]],
        ["revoked lines", f"{t['revoked_lines']} ({share(t['revoked_lines'], t['lines'])})"],
        ["data files", t["files"]],
        ["licences", t["licenses"]],
        ["sections", f"{t['sections']} ({t['withdrawn_sections']} withdrawn, {t['revoked_sections']} revoked)"],
        ["authors", f"{t['authors']} ({t['revoked_authors']} revoked)"],
        ["unattributed lines", f"{u['lines']} ({share(u['lines'], t['lines'])})"],
    ]
    for name in toks:
        f = t["tokens"][name]
        totals.append([f"{name} tokens", f"{f['tokens']} in {f['entries']} entries "
                       f"({share(f['revoked_tokens'], f['tokens'])} revoked)"])
        if u["tokens"][name]["tokens"]:
            totals.append([f"{name} unattributed tokens", u["tokens"][name]["tokens"]])
        p = report["pending"][name]
        if p["entries"] or p["files"]:
            totals.append([f"{name} pending", f"{p['tokens']} tokens in {p['entries']} entries "
                           f"of {p['files']} unmerged files"])
    out.append(("Totals", ["", ""], totals))

    if by in (None, "licence"):
        out.append(("By licence", ["licence", "sections", *LINE_COLUMNS, *token_columns(toks)],
                    [[r["license"], r["sections"], *line_cells(r), *token_cells(r, toks)]
                     for r in report["licenses"]]))
    if by in (None, "author"):
        out.append(("By author", ["author", "id", "sections", *LINE_COLUMNS, *token_columns(toks)],
                    [[author_label(r) + (" (revoked)" if r["revoked"] else ""), short(r["id"]), r["sections"],
                      *line_cells(r), *token_cells(r, toks)] for r in report["authors"]]))
    if by in (None, "section"):
        out.append(("By section", ["section", "hash", "licence", *LINE_COLUMNS, *token_columns(toks)],
                    [[r["path"] + (" (revoked)" if r["revoked"] else " (author revoked)" if r["withdrawn"] else ""),
                      short(r["section_hash"]), r["license"],
                      *line_cells(r), *token_cells(r, toks)] for r in report["sections"]]))
    if by in (None, "file"):
        out.append(("By data file", ["file", "lines", "revoked", "unattributed"],
                    [[r["file"], r["lines"], counted(r["revoked_lines"], r["lines"]), r["unattributed_lines"]]
                     for r in report["files"]]))
    if by is None:
        if report["sections_without_lines"]:
            out.append(("Sections without tracked lines", ["section", "hash", "licence"],
                        [[s["path"], short(s["section_hash"]), s["license"]]
                         for s in report["sections_without_lines"]]))
        if report["authors_without_lines"]:
            out.append(("Authors without tracked lines", ["author", "id"],
                        [[author_label(a), short(a["id"])] for a in report["authors_without_lines"]]))
        if report["unknown_sources"]:
            out.append(("Sources that name no registered section", ["source", *LINE_COLUMNS, *token_columns(toks)],
                        [[short(r["source"]), *line_cells(r), *token_cells(r, toks)]
                         for r in report["unknown_sources"]]))
    return out


def write_file(path: str, text: str) -> None:
    """Writes `text` to `path` through a new file beside it and a rename, so a
    reader never sees half a page and a failure leaves no partial file."""
    folder, name = os.path.split(os.path.abspath(path))
    tmp = os.path.join(folder, f".{name}.tmp.{os.getpid()}")
    try:
        with open(tmp, "x", encoding="utf-8") as f:
            f.write(text)
        os.replace(tmp, path)
    except OSError as e:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise VlError(f"{quote_path(path)}: {e.strerror or e}") from None


@command("report")
@click.option("--by", type=click.Choice([*BREAKDOWNS, "license"]), default=None,
              help="Only this breakdown (licence, author, section or file) besides the totals.")
@click.option("--tokenizer", metavar="NAME", default=None,
              help="Count the tokens of this tokenizer only (default: every tokenizer of the store).")
@click.option("--json", "as_json", is_flag=True, help="Print the figures as one JSON document.")
@click.option("--html", "html_file", metavar="FILE", default=None,
              help="Write a self-contained HTML page with the tables and charts to FILE.")
def report_cmd(by: str | None, tokenizer: str | None, as_json: bool, html_file: str | None) -> None:
    """Summarise what the tracked data is made of, by licence, author, section and file.

    For each row: tracked lines, the data files they sit in, tokens per
    tokenizer, and the revoked share.  A line with several sources counts in
    the row of each; totals count it once.  Lines whose sources name no
    registered section are shown as unattributed.

    \b
    Example:
      vl report --by licence
      vl report --html report.html
    """
    if by == "license":
        by = "licence"
    root = project()
    report = gather(root, tokenizer)
    if html_file is not None:
        from vl._report_html import render

        page = render(report, tables(report, by))
        write_file(html_file, page)
        notice(f"wrote the report to {html_file}")
    if as_json:
        emit_json(only(report, by) if by else report)
    elif html_file is None:
        for i, (title, columns, rows) in enumerate(tables(report, by)):
            if i:
                click.echo()
            emit_table(columns, rows, title=title)
