"""``vl index``: the lookup indexes derived from the store's records."""

from __future__ import annotations

import os

from vl import _vl_native as native
from vl._cli_common import STORE, emit_json, group, json_option, notice, plural, project, warn


@group("index")
def index_group() -> None:
    """Lookup indexes: .vl/index.bin, the index layer and the token binary indexes."""


@index_group.command("build")
@json_option
def index_build_cmd(as_json: bool) -> None:
    """Rebuild every lookup index from the records (also repairs a damaged index.bin).

    \b
    Example:
      vl index build
    """
    root = project()
    counts = native.build_index(root)
    native.oplog_append(root, "index_build", " ".join(f"{k}={v}" for k, v in counts.items()))
    # A tokenizer whose merged files the token binary index cannot describe
    # is left without one; say why (its readers scan the merged files).
    for tokenizer in native.token_index_list_tokenizers(root):
        store = os.path.join(root, STORE)
        if os.path.isdir(os.path.join(store, f"token-index.{tokenizer}")) and \
                not os.path.exists(os.path.join(store, f"token-index.{tokenizer}.bin")):
            try:
                native.token_index_build_binary_index(root, tokenizer)
            except RuntimeError as e:
                warn(str(e))
    if as_json:
        emit_json(counts)
    else:
        notice(f"indexed {plural(counts['authors'], 'author')}, {plural(counts['sections'], 'section')} and "
               f"{plural(counts['token_index_entries'], 'token entry', 'token entries')}")
