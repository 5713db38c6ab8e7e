"""Shared plumbing of the ``vl`` command line; every verb is built on it.

Conventions for whoever adds a verb (follow them, and the tests in
tests/test_cli.py keep holding):

* Where a verb lives.  A family of verbs goes in a module of its own,
  ``vl/_cli_<topic>.py``, defining a ``click`` command or group built with
  ``@command(...)`` / ``@group(...)`` from this module; ``vl/cli.py`` imports
  it and adds it in ``_register()`` (one line each).  Every command has a
  docstring whose first line is its one-line help and which ends with an
  ``Example:`` block (``\\b`` before it keeps click from re-wrapping it); every
  option and argument has ``help=`` (arguments: say it in the docstring).

* The store.  ``root = project()`` gives the project root (the directory that
  holds ``.vl``), found as git does: nearest ``.vl`` upward from the start
  directory (``-C`` options, else ``$VL_PROJECT``, else the working
  directory).  Pass ``root`` as ``vl_dir`` to the native functions.  Outside
  a project, ``project()`` exits 128 with "fatal: not a vl project (or any
  parent): <dir>".  Data-file arguments go through ``data_path(root, path)``,
  which gives the path recorded in the store (relative to the root, POSIX
  form) and refuses one outside the project.

* Errors.  Raise ``VlError("what went wrong, naming the file/id")``: it prints
  ``error: ...`` on stderr and exits 1.  Usage mistakes raise
  ``click.UsageError`` / ``click.BadParameter`` (exit 2, with the usage line).
  Do not catch RuntimeError from the native module just to reword it: the
  wrapper turns it into ``error: <message>``; wrap the call in
  ``with working_on(path):`` so a bare operating-system message ("No such
  file or directory (os error 2)") gets the path prepended.  Ctrl-C exits 130,
  a closed pipe exits quietly, and no traceback reaches the user (set
  ``VL_DEBUG=1`` to see one).  A verb that must say what it had done when
  interrupted catches KeyboardInterrupt itself, reports, and raises
  ``Interrupted("recorded 12 of 40 lines ...")``.

* Output.  stdout carries the answer only; counts, notices and summaries go
  to stderr through ``notice()`` (silenced by ``-q``); ``warn()`` is never
  silenced.  Every read command takes ``@json_option`` and, when it is set,
  prints one JSON document (``emit_json``) or, for a list of items, JSON
  Lines (``emit_json_lines``).  Field names are the store's own:
  ``id``/``name``/``email`` for authors, ``section_hash``/``path``/
  ``authors``/``contributors``/``license``/``year`` for sections,
  ``line_hash``/``file``/``sources`` for documents, ``revoked`` everywhere;
  counts are plain ints named after what they count.  Without ``--json``,
  lists go through ``emit_table`` (a rich table on a terminal, tab-separated
  plain lines when piped) and hashes are shown by ``short()``.

* References.  ``resolve_author(root, ref)``, ``resolve_section(root, ref)``
  and ``resolve_line_hash(root, ref)`` accept a unique hash prefix (>= 4 hex
  digits), a name / e-mail (authors) or a path (sections), and raise
  ``VlError`` naming the candidates when the reference is unknown or
  ambiguous.  Free text that ends up in the store (names, e-mails, paths)
  goes through ``plain_text(value, what)`` first.

* Long work.  ``with progress("tracking train.jsonl", total_bytes) as bar:``
  then ``bar.advance(n)``: a rich bar with MB/s on a terminal (stderr), and
  nothing otherwise or under ``-q``.  End with a one-line ``notice()``
  summary.  ``with deferred_interrupt() as check:`` and ``check()`` after each
  whole unit of work make Ctrl-C stop between units, never inside one.  Every state-changing verb appends its own operation-log line with
  ``native.oplog_append(root, "<operation>", "<key=value ...>")``.
"""

from __future__ import annotations

import contextlib
import difflib
import errno
import json
import os
import re
import signal
import sys
import threading
import time
import unicodedata
from dataclasses import dataclass, field
from typing import Any, Callable, Iterable, Iterator, Sequence

import click

from vl import _vl_native as native
from vl._quote import quote_path

STORE = ".vl"
PROJECT_ENV = "VL_PROJECT"
SHORT = 12  # hex digits of a hash shown to people
MIN_PREFIX = 4  # fewest hex digits accepted as a hash reference

CONTEXT_SETTINGS = {"help_option_names": ["-h", "--help"], "max_content_width": 100}


# -- errors -------------------------------------------------------------------


class VlError(click.ClickException):
    """A user mistake or a failed operation: "error: <message>", exit 1."""

    exit_code = 1

    def show(self, file: Any = None) -> None:
        click.echo(f"error: {self.format_message()}", err=True)


class Fatal(VlError):
    """The command cannot run at all here: "fatal: <message>", exit 128."""

    exit_code = 128

    def show(self, file: Any = None) -> None:
        click.echo(f"fatal: {self.format_message()}", err=True)


class Interrupted(VlError):
    """Ctrl-C: says what had been done, exit 130."""

    exit_code = 130

    def show(self, file: Any = None) -> None:
        click.echo(f"interrupted: {self.format_message()}", err=True)


_OS_ONLY = re.compile(r"^[^\"]*\(os error \d+\)$")


@dataclass
class Env:
    """Per-invocation state, kept as the root context's ``obj``."""

    start: str = "."
    quiet: bool = False
    root: str | None = None
    working: list[str] = field(default_factory=list)


def env() -> Env:
    ctx = click.get_current_context()
    obj = ctx.find_root().obj
    if not isinstance(obj, Env):
        obj = ctx.find_root().obj = Env()
    return obj


@contextlib.contextmanager
def working_on(path: str) -> Iterator[None]:
    """Name `path` in errors that carry only the operating system's message."""
    e = env()
    e.working.append(path)
    try:
        yield
    except (RuntimeError, OSError, UnicodeError) as exc:
        if isinstance(exc, OSError) and exc.errno == errno.EPIPE:
            raise
        known = translate(exc)
        raise (known or exc) from None
    finally:
        e.working.pop()


def _os_only(message: str) -> bool:
    return bool(_OS_ONLY.match(message))


def translate(exc: BaseException) -> click.ClickException | None:
    """The user-facing error for an exception escaping a command, or None."""
    e = env()
    where = e.working[-1] if e.working else (os.path.join(e.root, STORE) if e.root else None)
    if isinstance(exc, RuntimeError):
        message = str(exc) or type(exc).__name__
        if where and _os_only(message):
            message = f"{quote_path(where)}: {message}"
        return VlError(message)
    if isinstance(exc, OSError):
        reason = exc.strerror or str(exc)
        name = exc.filename if exc.filename is not None else where
        return VlError(f"{quote_path(str(name))}: {reason}" if name else reason)
    if isinstance(exc, UnicodeError):
        return VlError(f"{quote_path(where)}: not valid UTF-8" if where else f"not valid UTF-8: {exc}")
    return None


# -- the command classes -------------------------------------------------------


def _suggest(name: str, choices: Iterable[str]) -> str:
    close = difflib.get_close_matches(name, list(choices), n=3, cutoff=0.5)
    if not close:
        return ""
    return "\n\nThe most similar command" + (" is" if len(close) == 1 else "s are") + ":\n" + "".join(
        f"    {c}\n" for c in close
    )


class VlCommand(click.Command):
    """A command with the tool's context settings."""

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        kwargs.setdefault("context_settings", CONTEXT_SETTINGS)
        super().__init__(*args, **kwargs)


class VlGroup(click.Group):
    """A group whose unknown sub-commands get the nearest suggestion; the root
    group also turns every escaping exception into a message and an exit code."""

    command_class = VlCommand
    group_class = type  # sub-groups are VlGroups too

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        kwargs.setdefault("context_settings", CONTEXT_SETTINGS)
        kwargs.setdefault("no_args_is_help", True)
        super().__init__(*args, **kwargs)

    def parse_args(self, ctx: click.Context, args: list[str]) -> list[str]:
        # A bare group prints its help and succeeds, on every click version
        # (8.2 turned this into a usage error with exit code 2).
        if not args and self.no_args_is_help and not ctx.resilient_parsing:
            click.echo(ctx.get_help(), color=ctx.color)
            ctx.exit(0)
        return super().parse_args(ctx, args)

    def resolve_command(self, ctx: click.Context, args: list[str]) -> Any:
        name = args[0] if args else ""
        if args and self.get_command(ctx, name) is None and not ctx.resilient_parsing and not name.startswith("-"):
            raise click.UsageError(f"no such command {name!r}.{_suggest(name, self.list_commands(ctx))}", ctx)
        return super().resolve_command(ctx, args)

    def main(self, args: Sequence[str] | None = None, *a: Any, **kw: Any) -> Any:
        argv = list(sys.argv[1:] if args is None else args)
        for arg in argv:
            try:
                arg.encode("utf-8")
            except UnicodeEncodeError:
                click.echo(f"error: argument {quote_path(arg)} is not valid UTF-8", err=True)
                sys.exit(1)
        cwd = os.getcwd()
        try:
            return super().main(argv, *a, **kw)
        finally:
            with contextlib.suppress(OSError):
                os.chdir(cwd)

    def invoke(self, ctx: click.Context) -> Any:
        if ctx.parent is not None:
            return super().invoke(ctx)
        try:
            return super().invoke(ctx)
        except (click.ClickException, click.exceptions.Exit, click.Abort):
            raise
        except KeyboardInterrupt:
            raise Interrupted("stopped by Ctrl-C") from None
        except BrokenPipeError:
            _silence_stdout()
            raise click.exceptions.Exit(141) from None
        except BaseException as exc:  # noqa: BLE001 - nothing may reach the user as a traceback
            if isinstance(exc, OSError) and exc.errno == errno.EPIPE:
                _silence_stdout()
                raise click.exceptions.Exit(141) from None
            if isinstance(exc, SystemExit) or os.environ.get("VL_DEBUG"):
                raise
            known = translate(exc)
            if known is not None:
                raise known from None
            raise Fatal(f"internal error ({type(exc).__name__}): {exc}") from None


def _silence_stdout() -> None:
    """After a reader closed the pipe: drop whatever is still buffered."""
    with contextlib.suppress(Exception):
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())


def command(*args: Any, **kwargs: Any) -> Callable[[Callable[..., Any]], click.Command]:
    kwargs.setdefault("cls", VlCommand)
    return click.command(*args, **kwargs)


def group(*args: Any, **kwargs: Any) -> Callable[[Callable[..., Any]], click.Group]:
    kwargs.setdefault("cls", VlGroup)
    return click.group(*args, **kwargs)


json_option = click.option(
    "--json", "as_json", is_flag=True, help="Print JSON: one document, or JSON Lines (one object per line) for lists."
)


def _set_quiet(ctx: click.Context, _param: click.Parameter, value: bool) -> bool:
    if value:
        env().quiet = True
    return value


quiet_option = click.option(
    "-q", "--quiet", is_flag=True, expose_value=False, callback=_set_quiet, help="No progress and no summary."
)


# -- the project ----------------------------------------------------------------


def find_root(start: str) -> str | None:
    """The nearest directory from `start` upward that holds a `.vl` directory."""
    here = os.path.abspath(start)
    while True:
        if os.path.isdir(os.path.join(here, STORE)):
            return here
        parent = os.path.dirname(here)
        if parent == here:
            return None
        here = parent


def start_dir() -> str:
    """Where discovery starts (and where `init` creates a store)."""
    return os.path.abspath(env().start)


def project() -> str:
    """The project root of this invocation; exits 128 outside any project."""
    e = env()
    if e.root is None:
        start = start_dir()
        if not os.path.isdir(start):
            raise Fatal(f"cannot start in {quote_path(start)}: not a directory")
        root = find_root(start)
        if root is None:
            raise Fatal(f"not a vl project (or any parent): {start}")
        e.root = root
    return e.root


def store_dir(root: str) -> str:
    return os.path.join(root, STORE)


def data_path(root: str, path: str) -> str:
    """The path recorded for a data file: relative to the project root, in POSIX
    form; a path outside the project is refused."""
    plain_text(path, "path")
    absolute = os.path.abspath(path)
    rel = os.path.relpath(absolute, root)
    if rel == os.pardir or rel.startswith(os.pardir + os.sep):
        real = os.path.relpath(os.path.realpath(absolute), os.path.realpath(root))
        if real == os.pardir or real.startswith(os.pardir + os.sep):
            raise VlError(f"{quote_path(path)} is outside the project {quote_path(root)}")
        rel = real
    if rel == os.curdir:
        raise VlError(f"{quote_path(path)} is the project directory, not a data file")
    return rel.replace(os.sep, "/")


def plain_text(value: str, what: str) -> str:
    """Refuse empty names, e-mails and paths, and ones holding line breaks or
    other control characters (they would break the log and every listing)."""
    if not value:
        raise VlError(f"{what} is empty")
    for ch in value:
        if unicodedata.category(ch) in ("Cc", "Cs", "Zl", "Zp"):
            raise VlError(f"{what} {quote_path(value)} holds a line break or another control character")
    return value


# -- output ---------------------------------------------------------------------


def notice(message: str) -> None:
    """Counts, notices and summaries: stderr, unless -q."""
    if not env().quiet:
        click.echo(message, err=True)


def warn(message: str) -> None:
    click.echo(f"warning: {message}", err=True)


def emit_json(value: Any) -> None:
    click.echo(json.dumps(value, ensure_ascii=False, indent=2))


def emit_json_lines(values: Iterable[Any]) -> None:
    for value in values:
        click.echo(json.dumps(value, ensure_ascii=False))


def stdout_is_terminal() -> bool:
    return sys.stdout.isatty()


def emit_table(columns: Sequence[str], rows: Iterable[Sequence[Any]], title: str | None = None) -> None:
    """A table: rich on a terminal, tab-separated lines (no header) when piped."""
    if stdout_is_terminal():
        from rich.console import Console
        from rich.table import Table

        table = Table(*columns, title=title, box=None, header_style="bold", pad_edge=False,
                      show_header=any(columns))
        for row in rows:
            table.add_row(*("" if c is None else str(c) for c in row))
        Console(highlight=False).print(table)
    else:
        for row in rows:
            click.echo("\t".join("" if c is None else str(c) for c in row))


def emit_fields(fields: dict[str, Any]) -> None:
    """One record for people: a two-column table, or "key<TAB>value" lines when piped."""
    emit_table(("field", "value"), fields.items())


def short(hash_hex: str) -> str:
    return hash_hex[:SHORT]


def plural(n: int, word: str, many: str | None = None) -> str:
    return f"{n} {word if n == 1 else (many or word + 's')}"


class _Bar:
    def __init__(self, progress: Any = None, task: Any = None) -> None:
        self._progress, self._task = progress, task

    def advance(self, n: int) -> None:
        if self._progress is not None:
            self._progress.advance(self._task, n)


@contextlib.contextmanager
def progress(description: str, total: int | None) -> Iterator[_Bar]:
    """A byte-counting progress bar with MB/s on stderr, on a terminal only."""
    if env().quiet or not sys.stderr.isatty():
        yield _Bar()
        return
    from rich.console import Console
    from rich.progress import (BarColumn, DownloadColumn, Progress, TextColumn, TimeRemainingColumn,
                               TransferSpeedColumn)

    bar = Progress(TextColumn("{task.description}"), BarColumn(), DownloadColumn(), TransferSpeedColumn(),
                   TimeRemainingColumn(), console=Console(stderr=True), transient=True)
    with bar:
        yield _Bar(bar, bar.add_task(description, total=total))


@contextlib.contextmanager
def deferred_interrupt() -> Iterator[Callable[[], None]]:
    """Ctrl-C only sets a flag; the returned `check()` raises KeyboardInterrupt
    at a point where the work done so far is whole.  A second Ctrl-C interrupts
    at once."""
    hits: list[int] = []

    def check() -> None:
        if hits:
            raise KeyboardInterrupt

    def handler(signum: int, frame: Any) -> None:
        hits.append(signum)
        if len(hits) > 1:
            raise KeyboardInterrupt

    if threading.current_thread() is not threading.main_thread() or \
            signal.getsignal(signal.SIGINT) is not signal.default_int_handler:
        yield check
        return
    signal.signal(signal.SIGINT, handler)
    try:
        yield check
    finally:
        signal.signal(signal.SIGINT, signal.default_int_handler)


class Stopwatch:
    def __init__(self) -> None:
        self.start = time.monotonic()

    def seconds(self) -> float:
        return time.monotonic() - self.start

    def __str__(self) -> str:
        s = self.seconds()
        return f"{s:.1f} s" if s < 100 else f"{int(s) // 60} min {int(s) % 60} s"


# -- store records and references -------------------------------------------------


def authors(root: str) -> list[dict[str, Any]]:
    """Every registered author once (the last record of an id wins), in store order."""
    seen: dict[str, dict[str, Any]] = {}
    with working_on(os.path.join(store_dir(root), "authors")):
        for text in native.author_query(root, None, None):
            a = json.loads(text)
            seen[a["id"]] = a
    return list(seen.values())


_SECTION_FIELDS = {"section_hash": str, "path": str, "authors": list, "contributors": list,
                   "license": str, "year": str}


def _as_section(value: Any) -> dict[str, Any] | None:
    if not isinstance(value, dict) or not all(isinstance(value.get(k), t) for k, t in _SECTION_FIELDS.items()):
        return None
    out = {k: value[k] for k in _SECTION_FIELDS}
    out["revoked"] = value.get("revoked") is True
    return out


def sections(root: str) -> list[dict[str, Any]]:
    """Every registered section once, in store order."""
    seen: dict[str, dict[str, Any]] = {}
    with working_on(os.path.join(store_dir(root), "sections")):
        for value in native.shard_iterate_all(root, "sections"):
            s = _as_section(value)
            if s is not None:
                seen[s["section_hash"]] = s
    return list(seen.values())


_HEX = re.compile(r"^[0-9a-f]+$")


def _hex_prefix(ref: str) -> str | None:
    low = ref.lower()
    return low if _HEX.match(low) and MIN_PREFIX <= len(low) <= 64 else None


def _pick(kind: str, ref: str, found: list[dict[str, Any]], key: str, describe: Callable[[dict[str, Any]], str]) -> Any:
    unique = {c[key]: c for c in found}
    if len(unique) == 1:
        return next(iter(unique.values()))
    if not unique:
        hint = ""
        if _HEX.match(ref.lower()) and len(ref) < MIN_PREFIX:
            hint = f" (a hash prefix needs at least {MIN_PREFIX} hex digits)"
        raise VlError(f"unknown {kind} {ref!r}{hint}")
    listed = "\n".join(f"  {describe(c)}" for c in list(unique.values())[:20])
    more = f"\n  ... and {len(unique) - 20} more" if len(unique) > 20 else ""
    raise VlError(f"{kind} reference {ref!r} is ambiguous; candidates:\n{listed}{more}")


def describe_author(a: dict[str, Any]) -> str:
    return f"{short(a['id'])} {a['name']} <{a['email']}>"


def describe_section(s: dict[str, Any]) -> str:
    return f"{short(s['section_hash'])} {s['path']} ({s['license']}, {s['year']})"


def resolve_author(root: str, ref: str, pool: list[dict[str, Any]] | None = None) -> dict[str, Any]:
    """An author by id prefix, name or e-mail."""
    prefix = _hex_prefix(ref)
    pool = authors(root) if pool is None else pool
    found = [a for a in pool if a["name"] == ref or a["email"] == ref or (prefix and a["id"].startswith(prefix))]
    return _pick("author", ref, found, "id", describe_author)


def resolve_section(root: str, ref: str, pool: list[dict[str, Any]] | None = None) -> dict[str, Any]:
    """A section by hash prefix or path."""
    prefix = _hex_prefix(ref)
    pool = sections(root) if pool is None else pool
    found = [s for s in pool if s["path"] == ref or (prefix and s["section_hash"].startswith(prefix))]
    return _pick("section", ref, found, "section_hash", describe_section)


def resolve_line_hash(root: str, ref: str) -> str:
    """A tracked line's hash from a unique prefix (reads one shard)."""
    prefix = _hex_prefix(ref)
    if prefix is None:
        raise VlError(f"line hash {ref!r} is not a hash or a prefix of at least {MIN_PREFIX} hex digits")
    with working_on(os.path.join(store_dir(root), "document-index")):
        records = native.shard_read(root, "document-index", prefix)
    found = [{"line_hash": r["line_hash"]} for r in records
             if isinstance(r, dict) and isinstance(r.get("line_hash"), str) and r["line_hash"].startswith(prefix)]
    return _pick("line hash", ref, found, "line_hash", lambda r: r["line_hash"])["line_hash"]


# -- JSON input --------------------------------------------------------------------

_INT_MIN, _INT_MAX = -(2**63), 2**64 - 1


def _bad_constant(name: str) -> Any:
    raise ValueError(f"{name} is not a JSON number")


def _checked_int(text: str) -> int:
    if len(text.lstrip("-")) > 20:
        raise ValueError(f"integer {text[:24]}... is out of range")
    value = int(text)
    if not _INT_MIN <= value <= _INT_MAX:
        raise ValueError(f"integer {text} is out of range")
    return value


def _checked_float(text: str) -> float:
    value = float(text)
    if value in (float("inf"), float("-inf")):
        raise ValueError(f"number {text[:24]} is out of range")
    return value


def parse_json(text: str) -> Any:
    """One JSON value as the store can hold it: NaN, Infinity and numbers out of
    the 64-bit ranges are refused (ValueError) rather than stored inexactly."""
    return json.loads(text, parse_constant=_bad_constant, parse_int=_checked_int, parse_float=_checked_float)


def json_argument(text: str, what: str = "argument") -> Any:
    try:
        return parse_json(text)
    except ValueError as e:
        raise VlError(f"{what} {text[:60]!r} is not JSON: {e}") from None


# -- documents with their provenance ------------------------------------------------


class Provenance:
    """Resolves the sources of document records to section and author records."""

    def __init__(self, root: str) -> None:
        self.sections = {s["section_hash"]: s for s in sections(root)}
        self.authors = {a["id"]: a for a in authors(root)}

    def section(self, section_hash: str) -> dict[str, Any]:
        """The section record, or one with null fields for a hash no section has."""
        return self.sections.get(section_hash) or {
            "section_hash": section_hash, "path": None, "authors": [], "contributors": [], "license": None,
            "year": None, "revoked": False}

    def author(self, author_id: str) -> dict[str, Any]:
        return self.authors.get(author_id) or {"id": author_id, "name": None, "email": None, "revoked": False}

    def document(self, record: dict[str, Any]) -> dict[str, Any]:
        """A document record with the records of its sections and of their authors."""
        secs = [self.section(h) for h in record["sources"]]
        ids = list(dict.fromkeys(i for s in secs for i in s["authors"]))
        return {"line_hash": record["line_hash"], "file": record["file"], "sources": list(record["sources"]),
                "sections": secs, "authors": [self.author(i) for i in ids]}


def emit_documents(root: str, records: list[dict[str, Any]], as_json: bool) -> None:
    """Document records with their sections, licences and authors; count on stderr."""
    prov = Provenance(root)
    views = [prov.document(r) for r in records]
    if as_json:
        emit_json_lines(views)
    else:
        names = {a["id"]: a["name"] or short(a["id"]) for v in views for a in v["authors"]}
        emit_table(("line", "file", "section", "license", "authors"), (
            (short(v["line_hash"]), v["file"],
             "; ".join(s["path"] or short(s["section_hash"]) for s in v["sections"]),
             "; ".join(s["license"] or "?" for s in v["sections"]),
             "; ".join(", ".join(names[i] for i in s["authors"]) for s in v["sections"]))
            for v in views))
    notice(plural(len(records), "document"))
