"""The module boundary: the function table, calling conventions, argument
conversion errors, PanicException and how the module is loaded."""

import hashlib
import importlib
import inspect
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

import vl
import vl._vl_native as native

# The module's functions, in table order, with their text signatures.
TABLE = {
    "init": "(vl_dir)",
    "author_add": "(name, email, vl_dir)",
    "author_query": "(vl_dir, name, email)",
    "register_section": "(path, authors, contributors, license, year, vl_dir)",
    "track": "(data, file, sources, vl_dir, token_count=None, tokenizer=None)",
    "index_document": "(vl_dir, line_hash, file, sources, source_type='track')",
    "lookup_document": "(vl_dir, line_hash)",
    "read_all_documents": "(vl_dir)",
    "token_index_write_pid": "(vl_dir, tokenizer, token_count, sources)",
    "token_index_merge_pid_files": "(vl_dir, tokenizer)",
    "token_index_list_tokenizers": "(vl_dir)",
    "token_index_token_status": "(vl_dir, tokenizer)",
    "token_index_revoke_by_sources": "(vl_dir, tokenizer, target_sources)",
    "token_index_build_binary_index": "(vl_dir, tokenizer)",
    "blame": "(vl_dir, file, line_content)",
    "blame_diff": "(old_lines, new_lines)",
    "show_by_author": "(vl_dir, author_name)",
    "show_by_author_token": "(vl_dir, author_name, tokenizer)",
    "show_by_section": "(vl_dir, section_hash)",
    "show_by_license": "(vl_dir, license)",
    "revoke_by_author": "(vl_dir, author_name, reverse=False)",
    "revoke_section": "(vl_dir, section_hash, reverse=False)",
    "revoke_by_author_token": "(vl_dir, author_name, tokenizer, reverse=False)",
    "revoke_manifest": "(vl_dir, line_hash, file, reverse=False)",
    "purge_revoked": "(vl_dir, data_file, dry_run)",
    "purge_by_author_indexd": "(vl_dir, author_name, data_file, dry_run)",
    "purge_reverse": "(vl_dir, data_file)",
    "clean": "(vl_dir, split)",
    "merge_absorb": "(source, target)",
    "build_index": "(vl_dir)",
    "generate_forget_set": "(vl_dir, tokenizer)",
    "write_forget_set": "(path, bitmask)",
    "jsonl_read": "(path)",
    "jsonl_append": "(path, record)",
    "shard_path_str": "(vl_dir, layer, hash_hex)",
    "shard_read": "(vl_dir, layer, hash_hex)",
    "shard_iterate_all": "(vl_dir, layer)",
    "oplog_append": "(vl_dir, operation, detail)",
    "compute_hash": "(data)",
}


def test_functions_come_from_the_table_in_table_order_with_its_signatures():
    names = [n for n in vars(native) if not n.startswith("__") and n != "PanicException"]
    assert set(names) <= set(TABLE), set(names) - set(TABLE)
    assert names == [n for n in TABLE if n in names]
    assert [n for n in dir(native) if not n.startswith("__")] == sorted(names + ["PanicException"])
    for name in names:
        fn = getattr(native, name)
        assert type(fn).__name__ == "builtin_function_or_method"
        sig = inspect.signature(fn)
        assert str(sig) == TABLE[name], name
        assert {p.kind for p in sig.parameters.values()} == {inspect.Parameter.POSITIONAL_OR_KEYWORD}
        assert (fn.__doc__ or None) == (BLAME_DIFF_DOC if name == "blame_diff" else None), name


BLAME_DIFF_DOC = ("Compute line-level diff opcodes for blame attribution.\n\n"
                  "Returns (tag, i1, i2, j1, j2) tuples compatible with\n"
                  "difflib.SequenceMatcher.get_opcodes().")


def test_arguments_by_keyword_in_any_order_and_str_subclasses_as_text(store, tmp_path):
    path = native.shard_path_str(hash_hex="ab12", layer="authors", vl_dir=store)
    assert path == native.shard_path_str(store, "authors", hash_hex="ab12")
    native.jsonl_append(record={"k": 1}, path=path)
    assert native.shard_read(store, hash_hex="ab", layer="authors") == [{"k": 1}]
    native.oplog_append(detail="d", operation="o", vl_dir=store)
    assert native.compute_hash(data=[1]) == native.compute_hash([1])
    native.init(type("Text", (str,), {})(tmp_path / "p"))
    assert os.path.isdir(tmp_path / "p" / ".vl" / "authors")


@pytest.mark.parametrize("call, param", [
    # Wrong argument counts and names.
    (lambda r: native.init(), None),
    (lambda r: native.init(r, r), None),
    (lambda r: native.init(r, vl_dir=r), None),
    (lambda r: native.init(root=r), None),
    (lambda r: native.init(r, root=r), None),
    (lambda r: native.oplog_append(r, "op"), None),
    (lambda r: native.oplog_append(r, "op", "d", "extra"), None),
    (lambda r: native.oplog_append(r, "op", detail="d", operation="again"), None),
    (lambda r: native.shard_path_str(vl_dir=r, layer="authors"), None),
    (lambda r: native.jsonl_append(r + "/f", record=1, path=r + "/g"), None),
    (lambda r: native.compute_hash(), None),
    (lambda r: native.compute_hash(1, data=1), None),
    # Wrong kinds of argument: the message names the parameter.
    (lambda r: native.init(5), "vl_dir"),
    (lambda r: native.init(None), "vl_dir"),
    (lambda r: native.init(r.encode()), "vl_dir"),
    (lambda r: native.init(bytearray(r.encode())), "vl_dir"),
    (lambda r: native.init(pathlib.Path(r)), "vl_dir"),
    (lambda r: native.init(r + "/\udcff"), "vl_dir"),
    (lambda r: native.init("\ud800"), "vl_dir"),
    (lambda r: native.shard_path_str(1, 2, 3), "vl_dir"),
    (lambda r: native.shard_read(r, ["authors"], 3), "layer"),
    (lambda r: native.shard_read(r, "authors", b"ab"), "hash_hex"),
    (lambda r: native.shard_iterate_all(r, pathlib.Path("authors")), "layer"),
    (lambda r: native.oplog_append(r, "op", 5), "detail"),
    (lambda r: native.oplog_append(r, "op\udc80", "d"), "operation"),
    (lambda r: native.jsonl_read(pathlib.Path(r) / "x"), "path"),
    (lambda r: native.jsonl_append(5, {1, 2}), "path"),
    (lambda r: native.jsonl_append(pathlib.Path(r) / "x", 1), "path"),
])
def test_bad_calls_raise_type_error_and_touch_nothing(store, listing, call, param):
    native.oplog_append(store, "marker", "")
    before = listing(store), os.path.getsize(os.path.join(store, ".vl", "log"))
    with pytest.raises(TypeError) as info:
        call(store)
    assert param is None or str(info.value).startswith(f"argument '{param}': ")
    assert (listing(store), os.path.getsize(os.path.join(store, ".vl", "log"))) == before


def test_panic_exception_derives_directly_from_base_exception_and_survives_reimport():
    import vl._vl_bulk as bulk
    assert native.PanicException.__bases__ == (BaseException,)
    assert native.PanicException.__name__ == "PanicException"
    assert vl.PanicException is native.PanicException is bulk.PanicException
    saved = sys.modules.pop("vl._vl_native")
    try:
        again = importlib.import_module("vl._vl_native")
        assert again is native and again.PanicException is native.PanicException
    finally:
        sys.modules["vl._vl_native"] = saved


SUBINTERPRETER_CODE = """
try:
    import vl._vl_native
    outcome = "imported"
except BaseException as e:
    outcome = "ImportError" if isinstance(e, ImportError) else repr(e)
open({path!r}, "w").write(outcome)
"""


def test_import_from_a_subinterpreter_raises_import_error(tmp_path):
    code = SUBINTERPRETER_CODE.format(path=str(tmp_path / "outcome"))
    try:
        from _testcapi import run_in_subinterp
        run_in_subinterp(code)
    except ImportError:
        try:
            from concurrent import interpreters
        except ImportError:
            pytest.skip("this Python offers no way to run a sub-interpreter")
        interp = interpreters.create()
        try:
            interp.exec(code)
        finally:
            interp.close()
    assert (tmp_path / "outcome").read_text() == "ImportError"
    # The main interpreter's module still works afterwards.
    assert native.compute_hash(None) == hashlib.sha256(b"null").hexdigest()
    assert sys.modules["vl._vl_native"] is native


@pytest.mark.parametrize("name", ["_vl_native", "_vl_bulk"])
def test_the_library_exports_only_its_entry_point(name):
    if shutil.which("nm") is None:
        pytest.skip("nm is not installed")
    out = subprocess.run(["nm", "-D", "--defined-only", importlib.import_module("vl." + name).__file__],
                         check=True, capture_output=True, text=True).stdout
    assert [line.split()[-1] for line in out.splitlines() if line.strip()] == ["PyInit_" + name]
