"""``vl tokens``: the per-tokenizer token index files."""

from __future__ import annotations

import click

from vl import _vl_native as native
from vl._cli_common import (VlError, command, emit_fields, emit_json, emit_json_lines, emit_table, group, json_option,
                            notice, plural, project, resolve_author, short, working_on)


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


@tokens_group.command("show")
@click.argument("tokenizer")
@click.option("-a", "--author", "author_ref", required=True, metavar="AUTHOR",
              help="The author (id prefix, name or e-mail) whose active entries are shown.")
@json_option
def tokens_show_cmd(tokenizer: str, author_ref: str, as_json: bool) -> None:
    """Active token entries of TOKENIZER deriving from an author's sections.

    \b
    Example:
      vl tokens show whitespace --author "Ada Lovelace"
    """
    root = project()
    known_tokenizer(root, tokenizer)
    author = resolve_author(root, author_ref)
    found = native.show_by_author_token(root, author["name"], tokenizer)
    if as_json:
        emit_json({"tokenizer": tokenizer, "author": author["name"], **found})
        return
    emit_table(("token_count", "sources"),
               ((e["token_count"], " ".join(short(s) for s in e["sources"])) for e in found["entries"]))
    notice(f"{plural(found['document_count'], 'active entry', 'active entries')}, "
           f"{plural(found['total_tokens'], 'token')} from {author['name']}")


@tokens_group.command("revoke")
@click.argument("tokenizer")
@click.option("-a", "--author", "author_ref", required=True, metavar="AUTHOR",
              help="The author (id prefix, name or e-mail) whose entries are toggled.")
@click.option("--reverse", is_flag=True,
              help="Record the call as a reinstatement in the log (the flags are toggled either way).")
def tokens_revoke_cmd(tokenizer: str, author_ref: str, reverse: bool) -> None:
    """Toggle the revoked flag of every entry deriving from an author's sections.

    Revoking is a toggle: running it again reinstates the same entries.

    \b
    Example:
      vl tokens revoke whitespace --author "Ada Lovelace"
    """
    root = project()
    known_tokenizer(root, tokenizer)
    author = resolve_author(root, author_ref)
    count = native.revoke_by_author_token(root, author["name"], tokenizer, reverse)
    notice(f"toggled {plural(count, 'entry', 'entries')} of {author['name']} for {tokenizer}")


@command("forget-set")
@click.argument("tokenizer")
@click.argument("output", type=click.Path(dir_okay=False))
@json_option
def forget_set_cmd(tokenizer: str, output: str, as_json: bool) -> None:
    """Write the bitmask of revoked entries of TOKENIZER to OUTPUT, for a trainer.

    Bit i (bit i % 8 of byte i // 8, least significant first) is set when
    entry i of the merged token files is revoked; vl.forget.forget_mask()
    reads the file into a numpy array.

    \b
    Example:
      vl forget-set whitespace forget.bin
    """
    root = project()
    known_tokenizer(root, tokenizer)
    bits = native.generate_forget_set(root, tokenizer)
    with working_on(output):
        native.write_forget_set(output, bits)
    withdrawn = sum(bin(b).count("1") for b in bits)
    entries = native.token_index_token_status(root, tokenizer)["total_entries"]
    if as_json:
        emit_json({"tokenizer": tokenizer, "path": output, "entries": entries, "withdrawn": withdrawn})
    else:
        click.echo(f"{output}: {plural(withdrawn, 'item')} withdrawn of {plural(entries, 'entry', 'entries')}")
