"""``vl tokens``: the per-tokenizer token index files."""

from __future__ import annotations

import click

from vl import _vl_native as native
from vl._cli_common import VlError, emit_fields, emit_json, emit_json_lines, group, json_option, notice, plural, project


def known_tokenizer(root: str, name: str) -> str:
    """`name` if the store holds token entries for it; VlError otherwise."""
    names = native.token_index_list_tokenizers(root)
    if name not in names:
        raise VlError(f"unknown tokenizer {name!r} (the store has {', '.join(names) or 'none'})")
    return name


@group("tokens")
def tokens_group() -> None:
    """Token index files: per-process entries, their merge and counts."""


@tokens_group.command("list")
@json_option
def tokens_list_cmd(as_json: bool) -> None:
    """List the tokenizers that have token entries.

    \b
    Example:
      vl tokens list
    """
    names = native.token_index_list_tokenizers(project())
    if as_json:
        emit_json_lines({"tokenizer": n} for n in names)
    else:
        for n in names:
            click.echo(n)
    notice(plural(len(names), "tokenizer"))


@tokens_group.command("merge")
@click.argument("tokenizer")
def tokens_merge_cmd(tokenizer: str) -> None:
    """Fold the per-process token files of TOKENIZER into merged files.

    \b
    Example:
      vl tokens merge whitespace
    """
    root = project()
    known_tokenizer(root, tokenizer)
    entries, files = native.token_index_merge_pid_files(root, tokenizer)
    native.oplog_append(root, "token_merge", f"tokenizer={tokenizer} entries={entries} files={files}")
    notice(f"merged {plural(entries, 'entry', 'entries')} from {plural(files, 'process file')}")


@tokens_group.command("status")
@click.argument("tokenizer")
@json_option
def tokens_status_cmd(tokenizer: str, as_json: bool) -> None:
    """Count the merged entries and tokens of TOKENIZER.

    \b
    Example:
      vl tokens status whitespace
    """
    root = project()
    status = native.token_index_token_status(root, known_tokenizer(root, tokenizer))
    if as_json:
        emit_json({"tokenizer": tokenizer, **status})
    else:
        emit_fields({"tokenizer": tokenizer, **status})
