"""The ``vl`` command line: record, query and maintain the provenance of JSONL data.

Every command works on the store in ``<root>/.vl``; the root is the current
directory unless ``--root`` names another.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from typing import Any, Callable, Sequence

from vl import _vl_native as native


def _print_json(value: object) -> None:
    print(json.dumps(value, ensure_ascii=False))


def _print_documents(records: list[dict[str, Any]]) -> None:
    for r in records:
        print(f"{r['line_hash']}  {r['file']}  sources={','.join(r['sources'])}")
    print(f"({len(records)} document{'s' if len(records) != 1 else ''})")


def count_tokens(value: object) -> int:
    """Whitespace tokens of every string in a JSON value (the "whitespace" tokenizer)."""
    if isinstance(value, str):
        return len(value.split())
    if isinstance(value, dict):
        return sum(count_tokens(v) for v in value.values())
    if isinstance(value, list):
        return sum(count_tokens(v) for v in value)
    return 0


# -- store -------------------------------------------------------------------


def cmd_init(args: argparse.Namespace) -> int:
    native.init(args.root)
    native.oplog_append(args.root, "init", os.path.abspath(args.root))
    print(f"initialised {os.path.join(args.root, '.vl')}")
    return 0


def cmd_hash(args: argparse.Namespace) -> int:
    for text in args.values:
        print(native.compute_hash(json.loads(text)))
    return 0


def cmd_jsonl_append(args: argparse.Namespace) -> int:
    for text in args.values:
        native.jsonl_append(args.file, json.loads(text))
    return 0


def cmd_jsonl_read(args: argparse.Namespace) -> int:
    for value in native.jsonl_read(args.file):
        _print_json(value)
    return 0


def cmd_shard(args: argparse.Namespace) -> int:
    if args.hash:
        print(native.shard_path_str(args.root, args.layer, args.hash))
        values = native.shard_read(args.root, args.layer, args.hash)
    else:
        values = native.shard_iterate_all(args.root, args.layer)
    for value in values:
        _print_json(value)
    return 0


def cmd_log(args: argparse.Namespace) -> int:
    if args.operation:
        native.oplog_append(args.root, args.operation, " ".join(args.detail))
        return 0
    path = os.path.join(args.root, ".vl", "log")
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            lines = f.readlines()
    except FileNotFoundError:
        print(f"vl: no operation log at {path}", file=sys.stderr)
        return 1
    for line in lines[-args.tail :] if args.tail else lines:
        print(line, end="")
    return 0


# -- registry ----------------------------------------------------------------


def cmd_author_add(args: argparse.Namespace) -> int:
    author_id = native.author_add(args.name, args.email, args.root)
    native.oplog_append(args.root, "author_add", f"{author_id} {args.name} <{args.email}>")
    print(author_id)
    return 0


def cmd_author_list(args: argparse.Namespace) -> int:
    for text in native.author_query(args.root, args.name, args.email):
        print(text)
    return 0


def cmd_section_add(args: argparse.Namespace) -> int:
    section_hash = native.register_section(
        args.path, args.author, args.contributor, args.license, args.year, args.root
    )
    native.oplog_append(args.root, "register_section", f"{section_hash} {args.path} license={args.license}")
    print(section_hash)
    return 0


def cmd_track(args: argparse.Namespace) -> int:
    tracked = 0
    with open(args.file, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            if not line.strip():
                continue
            try:
                data = json.loads(line)
            except json.JSONDecodeError:
                print(f"vl: {args.file}:{number}: not JSON, skipped", file=sys.stderr)
                continue
            tokens = count_tokens(data) if args.tokenizer else None
            line_hash = native.track(data, args.file, args.source, args.root, tokens, args.tokenizer)
            if args.verbose:
                print(f"{line_hash}  line {number}" + (f"  tokens={tokens}" if tokens is not None else ""))
            tracked += 1
    native.oplog_append(args.root, "track", f"file={args.file} lines={tracked}")
    print(f"tracked {tracked} line{'s' if tracked != 1 else ''} of {args.file}")
    return 0


def cmd_lookup(args: argparse.Namespace) -> int:
    _print_documents(native.lookup_document(args.root, args.line_hash))
    return 0


def cmd_tokens_merge(args: argparse.Namespace) -> int:
    entries, files = native.token_index_merge_pid_files(args.root, args.tokenizer)
    native.oplog_append(args.root, "token_merge", f"tokenizer={args.tokenizer} entries={entries} files={files}")
    print(f"merged {entries} entries from {files} process files")
    return 0


def cmd_tokens_status(args: argparse.Namespace) -> int:
    for key, value in native.token_index_token_status(args.root, args.tokenizer).items():
        print(f"{key}: {value}")
    return 0


def cmd_tokens_list(args: argparse.Namespace) -> int:
    for name in native.token_index_list_tokenizers(args.root):
        print(name)
    return 0


# -- queries -----------------------------------------------------------------


def cmd_blame(args: argparse.Namespace) -> int:
    with open(args.file, encoding="utf-8") as f:
        lines = f.read().splitlines()
    if not 1 <= args.line <= len(lines):
        print(f"vl: {args.file} has no line {args.line}", file=sys.stderr)
        return 1
    content = lines[args.line - 1]
    print(f"{args.file}:{args.line}: {content}")
    _print_documents(native.blame(args.root, args.file, content))
    return 0


def cmd_diff(args: argparse.Namespace) -> int:
    with open(args.old, encoding="utf-8") as f:
        old = f.read().splitlines()
    with open(args.new, encoding="utf-8") as f:
        new = f.read().splitlines()
    for tag, i1, i2, j1, j2 in native.blame_diff(old, new):
        print(f"{tag:8} old[{i1}:{i2}] new[{j1}:{j2}]")
        if tag != "equal":
            for line in old[i1:i2]:
                print(f"  - {line}")
            for line in new[j1:j2]:
                print(f"  + {line}")
    return 0


def cmd_show(args: argparse.Namespace) -> int:
    query = {"author": native.show_by_author, "license": native.show_by_license, "section": native.show_by_section}
    _print_documents(query[args.kind](args.root, args.value))
    return 0


# -- parser ------------------------------------------------------------------


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="vl", description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--root", default=".", help="project root holding .vl (default: the current directory)")
    sub = parser.add_subparsers(dest="command", required=True)

    def add(
        parent: Any, name: str, fn: Callable[[argparse.Namespace], int] | None, help: str
    ) -> argparse.ArgumentParser:
        p = parent.add_parser(name, help=help)
        if fn:
            p.set_defaults(fn=fn)
        return p

    add(sub, "init", cmd_init, "create the store skeleton (keeps records, empties the log)")

    p = add(sub, "hash", cmd_hash, "print the content hash of JSON values")
    p.add_argument("values", nargs="+", metavar="JSON")

    jsonl = add(sub, "jsonl", None, "read and append JSON-lines files").add_subparsers(dest="sub", required=True)
    p = add(jsonl, "append", cmd_jsonl_append, "append JSON values as canonical lines")
    p.add_argument("file")
    p.add_argument("values", nargs="+", metavar="JSON")
    p = add(jsonl, "read", cmd_jsonl_read, "print the valid lines of a file")
    p.add_argument("file")

    p = add(sub, "shard", cmd_shard, "show the records of a layer, or of the shard of one hash")
    p.add_argument("layer")
    p.add_argument("hash", nargs="?")

    p = add(sub, "log", cmd_log, "show the operation log, or append an entry to it")
    p.add_argument("--tail", type=int, default=0, help="show only the last N lines")
    p.add_argument("operation", nargs="?")
    p.add_argument("detail", nargs="*")

    author = add(sub, "author", None, "register and find authors").add_subparsers(dest="sub", required=True)
    p = add(author, "add", cmd_author_add, "register an author; prints the author id")
    p.add_argument("name")
    p.add_argument("email")
    p = add(author, "list", cmd_author_list, "list authors, optionally by name and e-mail")
    p.add_argument("--name")
    p.add_argument("--email")

    section = add(sub, "section", None, "register licensed sections").add_subparsers(dest="sub", required=True)
    p = add(section, "add", cmd_section_add, "register a section; prints the section hash")
    p.add_argument("path")
    p.add_argument("--author", action="append", default=[], help="author id (repeatable)")
    p.add_argument("--contributor", action="append", default=[], help="contributor (repeatable)")
    p.add_argument("--license", required=True)
    p.add_argument("--year", required=True)

    p = add(sub, "track", cmd_track, "track every line of a JSONL data file")
    p.add_argument("file")
    p.add_argument("--source", action="append", default=[], help="section hash the lines derive from (repeatable)")
    p.add_argument("--tokenizer", help="also record token counts (whitespace tokens) under this tokenizer name")
    p.add_argument("-v", "--verbose", action="store_true", help="print each line's hash")

    p = add(sub, "lookup", cmd_lookup, "show the document records of a line hash")
    p.add_argument("line_hash")

    tokens = add(sub, "tokens", None, "token index files").add_subparsers(dest="sub", required=True)
    add(tokens, "list", cmd_tokens_list, "list tokenizers")
    p = add(tokens, "merge", cmd_tokens_merge, "fold per-process token files into merged files")
    p.add_argument("tokenizer")
    p = add(tokens, "status", cmd_tokens_status, "count entries and tokens of a tokenizer")
    p.add_argument("tokenizer")

    p = add(sub, "blame", cmd_blame, "where did a line of a data file come from?")
    p.add_argument("file")
    p.add_argument("line", type=int, help="line number, from 1")

    p = add(sub, "diff", cmd_diff, "line diff of two versions of a file")
    p.add_argument("old")
    p.add_argument("new")

    p = add(sub, "show", cmd_show, "documents deriving from an author, a licence or a section")
    p.add_argument("kind", choices=["author", "license", "section"])
    p.add_argument("value", help="author name, licence, or section hash")
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        return args.fn(args)
    except RuntimeError as e:
        print(f"vl: {e}", file=sys.stderr)
        return 1
    except (OSError, json.JSONDecodeError) as e:
        print(f"vl: {e}", file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main())
