"""The ``vl`` command line: record, query and maintain the provenance of JSONL data.

The shared conventions (project discovery, errors and exit codes, --json,
references, progress) live in :mod:`vl._cli_common`; read its docstring before
adding a verb.  Verb families of their own live in ``vl/_cli_<topic>.py`` and
are added to the root group in :func:`_register`.
"""

from __future__ import annotations

import datetime
import json
import os
from typing import Any

import click

from vl import __version__
from vl import _vl_native as native
from vl._cli_common import (PROJECT_ENV, Env, Fatal, VlError, authors, command, data_path, emit_documents,
                            emit_json, emit_json_lines, emit_table, find_root, group, json_argument, json_option,
                            notice, plain_text, plural, project, quote_path, resolve_author, resolve_line_hash,
                            resolve_section, sections, short, start_dir, store_dir, working_on)


@group(name="vl", epilog="Run 'vl COMMAND --help' for the options and an example of each command.")
@click.version_option(__version__, "--version", prog_name="vl", message="%(prog)s %(version)s")
@click.option("-C", "chdirs", multiple=True, metavar="DIR",
              help="Run as if vl was started in DIR (repeatable; each is taken relative to the previous).")
@click.option("-q", "--quiet", is_flag=True, help="No progress, notices or summaries on stderr.")
@click.pass_context
def main(ctx: click.Context, chdirs: tuple[str, ...], quiet: bool) -> None:
    """Content provenance for JSONL training data: who wrote which line.

    The project is the nearest directory, from the working directory upward,
    that holds a .vl store; -C DIR or the environment variable VL_PROJECT
    start the search elsewhere.  Data-file paths are recorded relative to the
    project root.

    \b
    Example:
      vl init && vl author add "Ada Lovelace" ada@example.org
    """
    obj = ctx.obj = Env(quiet=quiet)
    for d in chdirs:
        try:
            os.chdir(d)
        except OSError as e:
            raise Fatal(f"cannot change to {quote_path(d)}: {e.strerror}") from None
    if not chdirs and os.environ.get(PROJECT_ENV):
        obj.start = os.environ[PROJECT_ENV]


# -- store -------------------------------------------------------------------------


@command("init")
@click.argument("directory", required=False)
@click.option("--force", is_flag=True,
              help="Re-initialise an existing store: records are kept, the operation log is emptied.")
def init_cmd(directory: str | None, force: bool) -> None:
    """Create a .vl store in DIRECTORY (default: the working directory).

    An existing store is left as it is, its log included, unless --force.
    Inside an existing project, DIRECTORY must be named to make a nested store.

    \b
    Example:
      vl init
    """
    target = os.path.abspath(directory) if directory else start_dir()
    plain_text(target, "directory")
    store = store_dir(target)
    enclosing = find_root(target)
    if directory is None and enclosing is not None and enclosing != target and not force:
        notice(f"{target} is inside the vl project {enclosing}; left as it is (vl init . makes a store of its own)")
        return
    existed = os.path.isdir(store)
    if existed and not force:
        notice(f"a vl store already exists in {store}; left as it is (--force re-initialises it, emptying its log)")
        return
    with working_on(store):
        native.init(target)
        native.oplog_append(target, "init", target)
    click.echo(f"{'re-initialised' if existed else 'initialised'} {store}")


def _log_time(stamp: str) -> str | None:
    days, _, clock = stamp.partition("-")
    try:
        h, m, s = (int(x) for x in clock.split(":"))
        when = datetime.datetime(1970, 1, 1) + datetime.timedelta(days=int(days), hours=h, minutes=m, seconds=s)
    except ValueError:
        return None
    return when.strftime("%Y-%m-%dT%H:%M:%SZ")


@command("log")
@click.option("-n", "--tail", type=click.IntRange(min=0), default=0, metavar="N", help="Only the last N entries.")
@json_option
def log_cmd(tail: int, as_json: bool) -> None:
    """Show the operation log: when, what, and its details (UTC).

    \b
    Example:
      vl log -n 5
    """
    path = os.path.join(store_dir(project()), "log")
    try:
        with open(path, "rb") as f:
            lines = f.read().decode("utf-8", "replace").splitlines()
    except FileNotFoundError:
        lines = []
    entries = []
    for line in lines[-tail:] if tail else lines:
        stamp, _, rest = line.partition(" ")
        operation, _, detail = rest.partition(" ")
        entries.append({"time": _log_time(stamp) or stamp, "operation": operation, "detail": detail})
    if as_json:
        emit_json_lines(entries)
    else:
        emit_table(("time", "operation", "detail"),
                   ((e["time"].replace("T", " ").rstrip("Z"), e["operation"], e["detail"]) for e in entries))


@command("hash")
@click.argument("values", nargs=-1, required=True, metavar="JSON...")
@json_option
def hash_cmd(values: tuple[str, ...], as_json: bool) -> None:
    """Print the content hash of each JSON value (as a line's hash is made).

    \b
    Example:
      vl hash '{"b": 2, "a": 1}'
    """
    hashes = [native.compute_hash(json_argument(v, "value")) for v in values]
    if as_json:
        emit_json_lines({"hash": h} for h in hashes)
    else:
        for h in hashes:
            click.echo(h)


@group("jsonl")
def jsonl_group() -> None:
    """Read and append JSON-lines files in the store's canonical form."""


@jsonl_group.command("append")
@click.argument("file")
@click.argument("values", nargs=-1, required=True, metavar="JSON...")
def jsonl_append_cmd(file: str, values: tuple[str, ...]) -> None:
    """Append each JSON value to FILE as one canonical line.

    \b
    Example:
      vl jsonl append notes.jsonl '{"b": 2, "a": 1}'
    """
    records = [json_argument(v, "value") for v in values]
    with working_on(file):
        for r in records:
            native.jsonl_append(file, r)


@jsonl_group.command("read")
@click.argument("file")
@json_option
def jsonl_read_cmd(file: str, as_json: bool) -> None:
    """Print the valid lines of FILE, one JSON value per line.

    \b
    Example:
      vl jsonl read notes.jsonl
    """
    with working_on(file):
        emit_json_lines(native.jsonl_read(file))


@command("shard")
@click.argument("layer")
@click.argument("hash_hex", required=False, metavar="[HASH]")
@json_option
def shard_cmd(layer: str, hash_hex: str | None, as_json: bool) -> None:
    """Print the records of a store LAYER, or of the shard holding HASH.

    \b
    Example:
      vl shard sections
    """
    root = project()
    if layer not in {"authors", "sections", "document-index", "index"} and not os.path.isdir(
            os.path.join(store_dir(root), layer)):
        raise VlError(f"no layer {layer!r} in {store_dir(root)}")
    with working_on(os.path.join(store_dir(root), layer)):
        if hash_hex:
            if len(hash_hex) < 2:
                raise VlError(f"hash {hash_hex!r} is too short to name a shard")
            notice(native.shard_path_str(root, layer, hash_hex))
            values = native.shard_read(root, layer, hash_hex)
        else:
            values = native.shard_iterate_all(root, layer)
    emit_json_lines(values)


# -- authors and sections ---------------------------------------------------------------


def _author_row(a: dict[str, Any]) -> tuple[Any, ...]:
    return short(a["id"]), a["name"], a["email"], "revoked" if a["revoked"] else ""


@group("author")
def author_group() -> None:
    """Register and find authors."""


@author_group.command("add")
@click.argument("name")
@click.argument("email")
def author_add_cmd(name: str, email: str) -> None:
    """Register an author by NAME and EMAIL; prints the author id.

    Registering the same name and e-mail again changes nothing.

    \b
    Example:
      vl author add "Ada Lovelace" ada@example.org
    """
    root = project()
    plain_text(name, "author name")
    plain_text(email, "e-mail")
    existing = native.author_query(root, name, email)
    if existing:
        notice("already registered")
        click.echo(json.loads(existing[0])["id"])
        return
    author_id = native.author_add(name, email, root)
    native.oplog_append(root, "author_add", f"{author_id} {name} <{email}>")
    click.echo(author_id)


@author_group.command("list")
@click.option("--name", help="Only authors of this exact name.")
@click.option("--email", help="Only authors of this exact e-mail.")
@json_option
def author_list_cmd(name: str | None, email: str | None, as_json: bool) -> None:
    """List registered authors.

    \b
    Example:
      vl author list --name "Ada Lovelace"
    """
    found = [a for a in authors(project()) if (name is None or a["name"] == name)
             and (email is None or a["email"] == email)]
    if as_json:
        emit_json_lines(found)
    else:
        emit_table(("id", "name", "email", "revoked"), (_author_row(a) for a in found))
    notice(plural(len(found), "author"))


@author_group.command("show")
@click.argument("ref", metavar="AUTHOR")
@json_option
def author_show_cmd(ref: str, as_json: bool) -> None:
    """Show an AUTHOR (id prefix, name or e-mail) and the sections they wrote.

    \b
    Example:
      vl author show ada@example.org
    """
    root = project()
    a = resolve_author(root, ref)
    mine = [s for s in sections(root) if a["id"] in s["authors"]]
    if as_json:
        emit_json({**a, "sections": mine})
        return
    click.echo(f"{a['id']}\n{a['name']} <{a['email']}>{'  (revoked)' if a['revoked'] else ''}")
    emit_table(("section", "path", "license", "year"),
               ((short(s["section_hash"]), s["path"], s["license"], s["year"]) for s in mine))
    notice(plural(len(mine), "section"))


def _section_row(s: dict[str, Any], names: dict[str, str]) -> tuple[Any, ...]:
    return (short(s["section_hash"]), s["path"], s["license"], s["year"],
            ", ".join(names.get(i, short(i)) for i in s["authors"]), "revoked" if s["revoked"] else "")


@group("section")
def section_group() -> None:
    """Register and list licensed sections."""


@section_group.command("add")
@click.argument("path")
@click.option("-a", "--author", "author_refs", multiple=True, metavar="AUTHOR",
              help="A registered author: id prefix, name or e-mail (repeatable).")
@click.option("--contributor", multiple=True, help="A contributor, free text (repeatable).")
@click.option("--license", "license_", required=True, help="Licence of the section, e.g. CC-BY-4.0.")
@click.option("--year", required=True, help="Year of the section.")
def section_add_cmd(path: str, author_refs: tuple[str, ...], contributor: tuple[str, ...], license_: str,
                    year: str) -> None:
    """Register a section of licensed content at PATH; prints its hash.

    Authors must be registered first.  Registering the same section again
    changes nothing.

    \b
    Example:
      vl section add notes/engine.md --author "Ada Lovelace" --license CC-BY-4.0 --year 1843
    """
    root = project()
    for value, what in [(path, "section path"), (license_, "licence"), (year, "year"),
                        *((c, "contributor") for c in contributor)]:
        plain_text(value, what)
    pool = authors(root)
    ids = [resolve_author(root, ref, pool)["id"] for ref in author_refs]
    section_hash = native.compute_hash({"path": path, "authors": ids, "contributors": list(contributor),
                                        "license": license_, "year": year})
    if any(s["section_hash"] == section_hash for s in sections(root)):
        notice("already registered")
        click.echo(section_hash)
        return
    section_hash = native.register_section(path, ids, list(contributor), license_, year, root)
    native.oplog_append(root, "register_section", f"{section_hash} {path} license={license_}")
    click.echo(section_hash)


@section_group.command("list")
@click.option("-a", "--author", "author_ref", metavar="AUTHOR", help="Only sections of this author.")
@click.option("--license", "license_", help="Only sections under this licence.")
@json_option
def section_list_cmd(author_ref: str | None, license_: str | None, as_json: bool) -> None:
    """List registered sections.

    \b
    Example:
      vl section list --license CC0-1.0
    """
    root = project()
    pool = authors(root)
    found = sections(root)
    if author_ref is not None:
        author_id = resolve_author(root, author_ref, pool)["id"]
        found = [s for s in found if author_id in s["authors"]]
    if license_ is not None:
        found = [s for s in found if s["license"] == license_]
    if as_json:
        emit_json_lines(found)
    else:
        names = {a["id"]: a["name"] for a in pool}
        emit_table(("section", "path", "license", "year", "authors", "revoked"),
                   (_section_row(s, names) for s in found))
    notice(plural(len(found), "section"))


# -- queries ----------------------------------------------------------------------------


@command("lookup")
@click.argument("ref", metavar="LINE_HASH")
@json_option
def lookup_cmd(ref: str, as_json: bool) -> None:
    """Show the records of a tracked line, by its hash or a unique prefix.

    \b
    Example:
      vl lookup 5e3f2a
    """
    root = project()
    emit_documents(root, native.lookup_document(root, resolve_line_hash(root, ref)), as_json)


@command("blame")
@click.argument("file")
@click.argument("line", type=click.IntRange(min=1))
@json_option
def blame_cmd(file: str, line: int, as_json: bool) -> None:
    """Where did LINE (from 1) of the data FILE come from?

    \b
    Example:
      vl blame data/train.jsonl 2
    """
    root = project()
    rel = data_path(root, file)
    with working_on(file), open(file, "rb") as f:
        for number, raw in enumerate(f, 1):
            if number == line:
                break
        else:
            raise VlError(f"{quote_path(file)} has no line {line}")
    try:
        content = raw.rstrip(b"\n").rstrip(b"\r").decode("utf-8")
    except UnicodeDecodeError:
        raise VlError(f"{rel}:{line} is not valid UTF-8") from None
    if not as_json:
        click.echo(f"{rel}:{line}: {content}")
    emit_documents(root, native.blame(root, rel, content), as_json)


def _read_lines(path: str) -> list[str]:
    with working_on(path), open(path, "rb") as f:
        data = f.read()
    try:
        return data.decode("utf-8").splitlines()
    except UnicodeDecodeError as e:
        raise VlError(f"{quote_path(path)} is not valid UTF-8 (byte {e.start})") from None


@command("diff")
@click.argument("old")
@click.argument("new")
@json_option
def diff_cmd(old: str, new: str, as_json: bool) -> None:
    """Line diff of two versions of a file; exits 1 when they differ, as diff does.

    \b
    Example:
      vl diff train.jsonl train.v2.jsonl
    """
    a, b = _read_lines(old), _read_lines(new)
    ops = native.blame_diff(a, b)
    if as_json:
        emit_json_lines({"tag": t, "old_start": i1, "old_end": i2, "new_start": j1, "new_end": j2}
                        for t, i1, i2, j1, j2 in ops)
    else:
        for tag, i1, i2, j1, j2 in ops:
            click.echo(f"{tag:8} old[{i1}:{i2}] new[{j1}:{j2}]")
            if tag != "equal":
                for text in a[i1:i2]:
                    click.echo(f"  - {text}")
                for text in b[j1:j2]:
                    click.echo(f"  + {text}")
    if any(op[0] != "equal" for op in ops):
        raise click.exceptions.Exit(1)


@group("show")
def show_group() -> None:
    """Tracked lines deriving from an author, a licence or a section."""


@show_group.command("author")
@click.argument("ref", metavar="AUTHOR")
@json_option
def show_author_cmd(ref: str, as_json: bool) -> None:
    """Lines deriving from sections of AUTHOR (id prefix, name or e-mail).

    \b
    Example:
      vl show author "Ada Lovelace"
    """
    root = project()
    a = resolve_author(root, ref)
    mine = {s["section_hash"] for s in sections(root) if a["id"] in s["authors"]}
    records = [r for r in native.show_by_author(root, a["name"]) if mine.intersection(r["sources"])]
    emit_documents(root, records, as_json)


@show_group.command("license")
@click.argument("license_", metavar="LICENSE")
@json_option
def show_license_cmd(license_: str, as_json: bool) -> None:
    """Lines deriving from sections under LICENSE (exact name).

    \b
    Example:
      vl show license CC0-1.0
    """
    root = project()
    known = {s["license"] for s in sections(root)}
    if license_ not in known:
        raise VlError(f"no section is under the licence {license_!r} (known: {', '.join(sorted(known)) or 'none'})")
    emit_documents(root, native.show_by_license(root, license_), as_json)


@show_group.command("section")
@click.argument("ref", metavar="SECTION")
@json_option
def show_section_cmd(ref: str, as_json: bool) -> None:
    """Lines deriving from SECTION (hash prefix or path).

    \b
    Example:
      vl show section notes/engine.md
    """
    root = project()
    emit_documents(root, native.show_by_section(root, resolve_section(root, ref)["section_hash"]), as_json)


def _register() -> None:
    from vl._cli_index import index_group
    from vl._cli_maintain import clean_cmd, merge_cmd
    from vl._cli_report import report_cmd
    from vl._cli_status import status_cmd
    from vl._cli_tokens import forget_set_cmd, tokens_group
    from vl._cli_track import track_cmd
    from vl._cli_withdraw import archive_cmd, purge_cmd, restore_cmd, revoke_cmd

    for cmd in (init_cmd, status_cmd, log_cmd, hash_cmd, jsonl_group, shard_cmd, author_group, section_group, track_cmd,
                lookup_cmd, blame_cmd, diff_cmd, show_group, tokens_group, report_cmd, clean_cmd, merge_cmd,
                revoke_cmd, purge_cmd, restore_cmd, archive_cmd):
        main.add_command(cmd)
    for cmd in (index_group, forget_set_cmd):
        main.add_command(cmd)


_register()

__all__ = ["main"]
