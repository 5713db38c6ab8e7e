"""``vl track``: record every line of JSONL data files in the document index."""

from __future__ import annotations

import os
import stat
from collections import Counter
from dataclasses import dataclass, field
from typing import Any, Callable, Sequence

import click

from vl import _vl_native as native
from vl import tokenizers
from vl._cli_distributed import cluster_options, track_on_cluster, use_cluster
from vl._cli_common import (Interrupted, Stopwatch, VlError, command, data_path, deferred_interrupt,
                            emit_json_lines, notice, parse_json, plural, progress, project, quiet_option,
                            quote_path, resolve_section, sections, warn, working_on)


@dataclass
class TrackResult:
    recorded: int = 0
    already: int = 0
    invalid: list[tuple[int, str]] = field(default_factory=list)
    seconds: float = 0.0


def recorded_lines(root: str, files: Sequence[str], sources: Sequence[str]) -> dict[str, Counter[str]]:
    """How often each line hash is already recorded for each of these files with
    these sources (in any order); one pass over the document index."""
    wanted = sorted(sources)
    counts: dict[str, Counter[str]] = {f: Counter() for f in files}
    for r in native.read_all_documents(root):
        mine = counts.get(r["file"])
        if mine is not None and sorted(r["sources"]) == wanted:
            mine[r["line_hash"]] += 1
    return counts


def check_data_file(path: str) -> int:
    """The size of a data file; anything but a readable regular file is refused."""
    try:
        st = os.stat(path)
    except OSError as e:
        raise VlError(f"{quote_path(path)}: {e.strerror}") from None
    if not stat.S_ISREG(st.st_mode):
        kind = "a directory" if stat.S_ISDIR(st.st_mode) else "not a regular file"
        raise VlError(f"{quote_path(path)} is {kind}")
    return st.st_size


def parse_line(raw: bytes, tokenizer: tokenizers.Tokenizer | None, text_field: str | None) -> tuple[object, int | None]:
    """The value and token count of one data line; ValueError says why it is invalid."""
    value = parse_json(raw.decode("utf-8"))
    if tokenizer is None:
        return value, None
    text = tokenizers.text_of(value, text_field)
    try:
        return value, tokenizer(text)
    except tokenizers.TokenizerError:
        raise
    except Exception as e:  # the user's tokenizer failed: an error, not a bad line
        raise VlError(f"tokenizer {tokenizer.name!r} failed: {type(e).__name__}: {e}") from None


def _invalid_reason(e: Exception) -> str:
    if isinstance(e, UnicodeDecodeError):
        return "not valid UTF-8"
    if isinstance(e, RecursionError):
        return "nested too deeply"
    return f"not valid JSON data: {e}" if not str(e).startswith("no string field") else str(e)


def track_file(root: str, path: str, rel: str, sources: list[str], *,
               tokenizer: tokenizers.Tokenizer | None, text_field: str | None,
               already: Counter[str], result: TrackResult,
               on_invalid: Callable[[int, str], None], advance: Callable[[int], None],
               on_recorded: Callable[[int, str, int | None], None] | None = None,
               check: Callable[[], None] = lambda: None) -> TrackResult:
    """Record the lines of one data file, skipping those counted in `already`
    (a line hash recorded n times for this file is skipped n times) and lines
    that are not valid JSON data (reported through `on_invalid`).  `check` is
    called after each line and may raise KeyboardInterrupt to stop there."""
    name = tokenizer.name if tokenizer else None
    pending = 0
    with open(path, "rb") as f:
        for number, raw in enumerate(f, 1):
            pending += len(raw)
            if pending >= 1 << 20:
                advance(pending)
                pending = 0
            if not raw.strip():
                continue
            try:
                value, tokens = parse_line(raw, tokenizer, text_field)
            except (ValueError, RecursionError) as e:
                result.invalid.append((number, _invalid_reason(e)))
                on_invalid(number, _invalid_reason(e))
                continue
            if already:
                line_hash = native.compute_hash(value)
                if already[line_hash] > 0:
                    already[line_hash] -= 1
                    result.already += 1
                    continue
                native.index_document(root, line_hash, rel, sources)
                if tokens is not None and name is not None:
                    native.token_index_write_pid(root, name, tokens, sources)
            else:
                line_hash = native.track(value, rel, sources, root, tokens, name)
            result.recorded += 1
            if on_recorded is not None:
                on_recorded(number, line_hash, tokens)
            check()
    advance(pending)
    return result


def _first_invalid(path: str, tokenizer: tokenizers.Tokenizer | None, text_field: str | None) -> tuple[int, str] | None:
    with open(path, "rb") as f:
        for number, raw in enumerate(f, 1):
            if raw.strip():
                try:
                    parse_line(raw, tokenizer, text_field)
                except (ValueError, RecursionError) as e:
                    return number, _invalid_reason(e)
    return None


@command("track")
@click.argument("files", nargs=-1, required=True, type=click.Path(dir_okay=True))
@click.option("-s", "--source", "source_refs", multiple=True, metavar="SECTION",
              help="Section the lines derive from: hash prefix or path (repeatable).")
@click.option("-t", "--tokenizer", "tokenizer_spec", metavar="TOKENIZER",
              help="Also record token counts: 'whitespace', NAME=module:function, module:function, "
                   "or an entry point of the group vl.tokenizers.")
@click.option("--field", "text_field", metavar="KEY",
              help="Count the tokens of this string field only (default: every string value of the line).")
@click.option("--force", is_flag=True, help="Record every line again, even lines already recorded for this file.")
@click.option("--strict", is_flag=True, help="Refuse the file, recording nothing, if any line is invalid.")
@click.option("-v", "--verbose", is_flag=True, help="Print the hash of each recorded line (and its token count).")
@click.option("--json", "as_json", is_flag=True,
              help="Print a JSON summary per file: file, recorded, already, invalid (line and reason), seconds.")
@cluster_options
@quiet_option
def track_cmd(files: tuple[str, ...], source_refs: tuple[str, ...], tokenizer_spec: str | None,
              text_field: str | None, force: bool, strict: bool, verbose: bool, as_json: bool, workers: int | None,
              scheduler: str | None) -> None:
    """Record every line of JSONL data FILES, with the sections they derive from.

    Each line is identified by the hash of its JSON value.  Lines already
    recorded for the same file with the same sources are skipped, so an
    interrupted run can simply be run again (--force records them again).
    Invalid lines (not UTF-8, not JSON, NaN, numbers out of range) are skipped
    with a warning naming file and line; --strict refuses the file instead.

    Several files (or --workers / --scheduler) are tracked as tasks on a Dask
    cluster, large files cut into pieces at line boundaries; the records are
    committed to the store only once every task has succeeded.

    \b
    Example:
      vl track data/train.jsonl --source notes/engine.md --tokenizer whitespace
      vl track data/*.jsonl --source notes/engine.md --workers 8
    """
    root = project()
    pool = sections(root)
    sources = [resolve_section(root, ref, pool)["section_hash"] for ref in source_refs]
    try:
        tokenizer = tokenizers.load(tokenizer_spec) if tokenizer_spec else None
    except tokenizers.TokenizerError as e:
        raise VlError(str(e)) from None
    if text_field is not None and tokenizer is None:
        raise click.UsageError("--field only says what a --tokenizer counts")
    targets = {}
    for path in files:  # a file named twice is tracked once
        targets.setdefault(data_path(root, path), (path, check_data_file(path)))
    if verbose and as_json:
        raise click.UsageError("--verbose and --json both print on stdout; choose one")
    if use_cluster(workers, scheduler, 1 if verbose else len(targets)):
        if verbose:
            raise click.UsageError("--verbose prints lines as this process records them: not with a cluster")
        done = track_on_cluster(root, [(path, rel, size) for rel, (path, size) in targets.items()], sources,
                                tokenizer_spec, text_field, force, strict, workers, scheduler)
        if as_json:
            emit_json_lines(_summary(f.file, f.recorded, f.already, f.invalid, done.seconds) for f in done.files)
        return
    with working_on(os.path.join(root, ".vl", "document-index")):
        already = {rel: Counter() for rel in targets} if force else recorded_lines(root, list(targets), sources)
    for rel, (path, size) in targets.items():
        result = _track_one(root, path, rel, size, sources, tokenizer, text_field, strict, verbose, already[rel])
        if as_json:
            emit_json_lines([_summary(rel, result.recorded, result.already, result.invalid, result.seconds)])


def _summary(rel: str, recorded: int, already: int, invalid: list[tuple[int, str]], seconds: float) -> dict:
    return {"file": rel, "recorded": recorded, "already": already,
            "invalid": [{"line": n, "reason": why} for n, why in invalid], "seconds": round(seconds, 3)}


def _print_recorded(number: int, line_hash: str, tokens: int | None) -> None:
    click.echo(f"{line_hash}  line {number}" + (f"  tokens={tokens}" if tokens is not None else ""))


def native_track_file(root: str, path: str, rel: str, sources: list[str], *,
                      tokenizer: tokenizers.Tokenizer | None, text_field: str | None, strict: bool,
                      already: Counter[str], result: TrackResult, advance: Callable[[int], None]) -> bool:
    """Record the lines of one data file natively (the whole file is mapped and
    hashed on the worker pool), with the semantics of `track_file`: each line is
    hashed from its own text, as a purge hashes it.  Fills `result` (invalid
    lines included) and returns whether the run was interrupted (Ctrl-C stops it
    after a batch of whole lines; what was recorded stays recorded)."""
    from vl import _vl_bulk as bulk

    done = 0

    def progress(total: int) -> None:
        nonlocal done
        advance(total - done)
        done = total

    r = bulk.track_file(root, path, rel, sources, tokenizer=tokenizer.name if tokenizer else None,
                        text_field=text_field, already={h: n for h, n in already.items() if n > 0},
                        strict=strict, progress=progress)
    advance(r["bytes"] - done)
    result.recorded += r["recorded"]
    result.already += r["already"]
    result.invalid.extend(r["invalid"])
    return r["interrupted"]


def _native_ok(tokenizer: tokenizers.Tokenizer | None, verbose: bool) -> bool:
    """Whether the native whole-file path can do the work: it counts tokens only
    with the built-in whitespace counter and does not list each line."""
    return not verbose and (tokenizer is None or tokenizer.count is tokenizers.whitespace)


def _track_one(root: str, path: str, rel: str, size: int, sources: list[str],
               tokenizer: tokenizers.Tokenizer | None, text_field: str | None, strict: bool, verbose: bool,
               already: Counter[str]) -> TrackResult:
    if _native_ok(tokenizer, verbose):
        return _track_one_native(root, path, rel, size, sources, tokenizer, text_field, strict, already)
    clock = Stopwatch()
    with working_on(path):
        if strict:
            bad = _first_invalid(path, tokenizer, text_field)
            if bad is not None:
                raise VlError(f"{rel}:{bad[0]}: {bad[1]}; nothing recorded (--strict)")
    result = TrackResult()

    def log(extra: str = "") -> None:
        native.oplog_append(root, "track", f"file={rel} lines={result.recorded} already={result.already} "
                                           f"invalid={len(result.invalid)}{extra}")

    try:
        with working_on(path), progress(f"tracking {rel}", size) as bar, deferred_interrupt() as check:
            track_file(root, path, rel, sources, tokenizer=tokenizer, text_field=text_field, already=already,
                       result=result, on_invalid=lambda n, why: warn(f"{rel}:{n}: skipped: {why}"),
                       advance=bar.advance, on_recorded=_print_recorded if verbose else None, check=check)
    except KeyboardInterrupt:
        log(" interrupted")
        raise Interrupted(f"recorded {plural(result.recorded, 'line')} of {rel} before stopping; "
                          "run the same command again to record the rest") from None
    log()
    return _summarise(rel, result, clock)


def track_summary(result: Any) -> str:
    """What tracking one file did, for its summary line: `result` has
    recorded, already and invalid."""
    parts = [f"{plural(result.recorded, 'line')} recorded"]
    if result.already:
        parts.append(f"{result.already} already recorded")
    if result.invalid:
        parts.append(f"{len(result.invalid)} invalid skipped")
    return ", ".join(parts)


def _summarise(rel: str, result: TrackResult, clock: Stopwatch) -> TrackResult:
    """The one-line summary of a tracked file on stderr; the result gets its time."""
    notice(f"tracked {rel}: {track_summary(result)} in {clock}")
    result.seconds = clock.seconds()
    return result


def _track_one_native(root: str, path: str, rel: str, size: int, sources: list[str],
                      tokenizer: tokenizers.Tokenizer | None, text_field: str | None, strict: bool,
                      already: Counter[str]) -> TrackResult:
    clock = Stopwatch()
    result = TrackResult()
    with working_on(path), progress(f"tracking {rel}", size) as bar:
        interrupted = native_track_file(root, path, rel, sources, tokenizer=tokenizer, text_field=text_field,
                                        strict=strict, already=already, result=result, advance=bar.advance)
    if strict and result.invalid:
        number, why = result.invalid[0]
        raise VlError(f"{rel}:{number}: {why}; nothing recorded (--strict)")
    for number, why in result.invalid:
        warn(f"{rel}:{number}: skipped: {why}")
    detail = f"file={rel} lines={result.recorded} already={result.already} invalid={len(result.invalid)}"
    if interrupted:
        native.oplog_append(root, "track", detail + " interrupted")
        raise Interrupted(f"recorded {plural(result.recorded, 'line')} of {rel} before stopping; "
                          "run the same command again to record the rest")
    native.oplog_append(root, "track", detail)
    return _summarise(rel, result, clock)
