"""The ``vl`` command line.

Every command works on the store in ``<root>/.vl``; the root is the current
directory unless ``--root`` names another.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from typing import Callable, Sequence

from vl import _vl_native as native


def _root(args: argparse.Namespace) -> str:
    return args.root


def _print_json(value: object) -> None:
    print(json.dumps(value, ensure_ascii=False, sort_keys=False))


def cmd_init(args: argparse.Namespace) -> int:
    native.init(_root(args))
    native.oplog_append(_root(args), "init", os.path.abspath(_root(args)))
    print(f"initialised {os.path.join(_root(args), '.vl')}")
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
        print(native.shard_path_str(_root(args), args.layer, args.hash))
        for value in native.shard_read(_root(args), args.layer, args.hash):
            _print_json(value)
    else:
        for value in native.shard_iterate_all(_root(args), args.layer):
            _print_json(value)
    return 0


def cmd_log(args: argparse.Namespace) -> int:
    if args.operation:
        native.oplog_append(_root(args), args.operation, " ".join(args.detail))
        return 0
    path = os.path.join(_root(args), ".vl", "log")
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            lines = f.readlines()
    except FileNotFoundError:
        print(f"vl: no operation log at {path}", file=sys.stderr)
        return 1
    for line in lines[-args.tail :] if args.tail else lines:
        print(line, end="")
    return 0


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="vl", description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--root", default=".", help="project root holding .vl (default: the current directory)")
    sub = parser.add_subparsers(dest="command", required=True)

    def add(name: str, fn: Callable[[argparse.Namespace], int], help: str) -> argparse.ArgumentParser:
        p = sub.add_parser(name, help=help)
        p.set_defaults(fn=fn)
        return p

    add("init", cmd_init, "create the store skeleton (keeps records, empties the log)")

    p = add("hash", cmd_hash, "print the content hash of JSON values")
    p.add_argument("values", nargs="+", metavar="JSON")

    jsonl = sub.add_parser("jsonl", help="read and append JSON-lines files")
    jsonl_sub = jsonl.add_subparsers(dest="jsonl_command", required=True)
    p = jsonl_sub.add_parser("append", help="append JSON values as canonical lines")
    p.add_argument("file")
    p.add_argument("values", nargs="+", metavar="JSON")
    p.set_defaults(fn=cmd_jsonl_append)
    p = jsonl_sub.add_parser("read", help="print the valid lines of a file")
    p.add_argument("file")
    p.set_defaults(fn=cmd_jsonl_read)

    p = add("shard", cmd_shard, "show the records of a layer, or of the shard of one hash")
    p.add_argument("layer")
    p.add_argument("hash", nargs="?")

    p = add("log", cmd_log, "show the operation log, or append an entry to it")
    p.add_argument("--tail", type=int, default=0, help="show only the last N lines")
    p.add_argument("operation", nargs="?")
    p.add_argument("detail", nargs="*")
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        return args.fn(args)
    except RuntimeError as e:
        print(f"vl: {e}", file=sys.stderr)
        return 1
    except json.JSONDecodeError as e:
        print(f"vl: invalid JSON argument: {e}", file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main())
