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
import tempfile

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
STORAGE_FUNCTIONS = ["init", "jsonl_read", "jsonl_append", "shard_path_str", "shard_read",
                     "shard_iterate_all", "oplog_append", "compute_hash"]


def exported_functions():
    return [n for n in vars(native) if not n.startswith("__") and n != "PanicException"]


def test_functions_come_from_the_table_in_table_order():
    names = exported_functions()
    assert set(STORAGE_FUNCTIONS) <= set(names)
    assert set(names) <= set(TABLE), set(names) - set(TABLE)
    assert names == [n for n in TABLE if n in names]
    assert [n for n in dir(native) if not n.startswith("__")] == sorted(names + ["PanicException"])


def test_signatures_and_doc_strings():
    for name in exported_functions():
        fn = getattr(native, name)
        assert type(fn).__name__ == "builtin_function_or_method"
        sig = inspect.signature(fn)
        assert str(sig) == TABLE[name], name
        assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
                   for p in sig.parameters.values())
        if name == "blame_diff":
            assert fn.__doc__ == (
                "Compute line-level diff opcodes for blame attribution.\n\n"
                "Returns (tag, i1, i2, j1, j2) tuples compatible with\n"
                "difflib.SequenceMatcher.get_opcodes().")
        else:
            assert not fn.__doc__, name


def test_arguments_by_keyword_in_any_order(store):
    path = native.shard_path_str(hash_hex="ab12", layer="authors", vl_dir=store)
    assert path == native.shard_path_str(store, "authors", hash_hex="ab12")
    native.jsonl_append(record={"k": 1}, path=path)
    assert native.shard_read(store, hash_hex="ab", layer="authors") == [{"k": 1}]
    native.oplog_append(detail="d", operation="o", vl_dir=store)
    assert native.compute_hash(data=[1]) == native.compute_hash([1])


@pytest.mark.parametrize("call", [
    lambda r: native.init(),
    lambda r: native.init(r, r),
    lambda r: native.init(r, vl_dir=r),
    lambda r: native.init(root=r),
    lambda r: native.init(r, root=r),
    lambda r: native.oplog_append(r, "op"),
    lambda r: native.oplog_append(r, "op", "d", "extra"),
    lambda r: native.oplog_append(r, "op", detail="d", operation="again"),
    lambda r: native.shard_path_str(vl_dir=r, layer="authors"),
    lambda r: native.jsonl_append(r + "/f", record=1, path=r + "/g"),
    lambda r: native.compute_hash(),
    lambda r: native.compute_hash(1, data=1),
])
def test_malformed_calls_raise_type_error_and_touch_nothing(tmp_path, call):
    target = str(tmp_path / "proj")
    with pytest.raises(TypeError):
        call(target)
    assert os.listdir(tmp_path) == []


class Text(str):
    pass


def test_a_str_subclass_is_text(tmp_path):
    native.init(Text(tmp_path / "p"))
    assert os.path.isdir(tmp_path / "p" / ".vl" / "authors")


@pytest.mark.parametrize("call, param", [
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
def test_wrong_argument_kinds_name_the_parameter(store, listing, call, param):
    before = listing(store)
    log = os.path.join(store, ".vl", "log")
    native.oplog_append(store, "marker", "")
    size = os.path.getsize(log)
    with pytest.raises(TypeError) as info:
        call(store)
    assert str(info.value).startswith(f"argument '{param}': ")
    assert listing(store) == before
    assert os.path.getsize(log) == size


def test_operation_failures_raise_runtime_error_with_one_message(tmp_path):
    with pytest.raises(RuntimeError) as info:
        native.oplog_append(str(tmp_path), "x", "y")
    assert type(info.value) is RuntimeError
    assert info.value.args == ("No such file or directory (os error 2)",)


# --- PanicException ------------------------------------------------------------------

def test_panic_exception_derives_directly_from_base_exception():
    exc = native.PanicException
    assert exc.__bases__ == (BaseException,)
    assert not issubclass(exc, Exception)
    assert exc.__name__ == "PanicException"
    assert vl.PanicException is exc
    try:
        raise exc("boom")
    except Exception:  # pragma: no cover - must not happen
        pytest.fail("PanicException was caught as Exception")
    except BaseException as e:
        assert e.args == ("boom",)


# --- loading -------------------------------------------------------------------------------

def test_reimport_returns_the_same_module_object():
    saved = sys.modules.pop("vl._vl_native")
    try:
        again = importlib.import_module("vl._vl_native")
        assert again is native
        assert again.PanicException is native.PanicException
    finally:
        sys.modules["vl._vl_native"] = saved


SUBINTERPRETER_CODE = """
try:
    import vl._vl_native
    outcome = "imported"
except ImportError as e:
    outcome = "ImportError"
except BaseException as e:
    outcome = type(e).__name__ + ": " + str(e)
with open({path!r}, "w") as f:
    f.write(outcome)
"""


def run_in_subinterpreter(code):
    try:
        import _testcapi
        if hasattr(_testcapi, "run_in_subinterp"):
            _testcapi.run_in_subinterp(code)
            return
    except ImportError:
        pass
    try:
        from concurrent import interpreters
    except ImportError:
        pytest.skip("this Python offers no way to run a sub-interpreter")
    interp = interpreters.create()
    try:
        interp.exec(code)
    finally:
        interp.close()


def test_import_from_a_subinterpreter_raises_import_error():
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "outcome")
        run_in_subinterpreter(SUBINTERPRETER_CODE.format(path=path))
        with open(path) as f:
            assert f.read() == "ImportError"
    # The main interpreter's module still works afterwards.
    assert native.compute_hash(None) == hashlib.sha256(b"null").hexdigest()
    assert sys.modules["vl._vl_native"] is native


def test_the_library_exports_only_its_entry_point():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    out = subprocess.run([nm, "-D", "--defined-only", native.__file__],
                         check=True, capture_output=True, text=True).stdout
    symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert symbols == ["PyInit__vl_native"]
