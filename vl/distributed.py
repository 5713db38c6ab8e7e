"""Bulk tracking, purging and restoring on a Dask cluster.

Imported only when a command asks for workers or a scheduler, so that the
rest of the tool never needs Dask.

Everything a task writes goes to a work area of the project's store,
``.vl/split/<run>``, which lies on the same shared storage as the store
itself.  Tasks never write the project's store; the calling process (the
driver) alone does, once every task has succeeded, so a run that fails
leaves the store as it was.

Tracking
    Files, and large files cut at line boundaries into byte ranges, are the
    parts of a run.  Each part is tracked by one task into a private store
    of its own: a fresh directory per attempt, published under the part's
    name by a rename only once it is complete.  A retried task therefore
    starts from an empty store and never records anything twice; if two
    attempts of one part both finish, the first rename wins and the other
    attempt's store is discarded.  The published parts are then folded, in
    a tree of fan-in ``fan_in``, into one store holding all new records in
    part order; the last level of the tree writes, shard by shard, the new
    content of every document-index shard (the project's shard followed by
    the parts' records) and the new merged token files.  The commit renames
    these into the store.

    The fold appends every part's records whole.  Folding with the store
    merge (``merge_absorb``) would be wrong here: its identity rules treat a
    document record with the same line hash and file, and a token entry
    with the same count, sources and tokenizer, as one already present, so
    a line that occurs twice in a data file, a file tracked again, or two
    lines of equal token count and sources in different parts would lose
    records that tracking in one process keeps.

Purging and restoring
    The revoked line set is computed once by the driver and written as a
    revoked document list into a small store that each task links into its
    private store; each data file is purged by one task, on a copy of the
    data file inside the work area, so the data file itself is untouched
    until the commit.  The commit writes one purge archive into
    the project's store (each record also names its data file under
    ``file``), then moves the purged files over the data files.  A restore
    reads the newest purge archive, restores each file's records by one task
    into a staged copy of the data file, then moves the copies over the data
    files and deletes the archive.
"""

from __future__ import annotations

import contextlib
import io
import json
import logging
import os
import shutil
import sys
import threading
import time
import uuid
from dataclasses import dataclass, field
from typing import Any, Callable, Iterator, Sequence

from vl import _vl_native as native
from vl._quote import quote_path

#: Files larger than this are cut into byte ranges of about this size.
DEFAULT_CHUNK_BYTES = 256 << 20
#: How many stores one fold of the merge tree takes at most.
DEFAULT_FAN_IN = 16
#: A merged token file is closed once it reaches this size, so that every
#: byte offset into it fits the 32 bits the token binary index gives one.
TOKEN_FILE_CAP = 1 << 31
#: How often a Dask task is run again after it raised.
RETRIES = 2

Progress = Callable[[int, int], None]

_SHARD_CHARS = set("0123456789abcdefABCDEF")
_PROGRESS_TOPIC = "vl-progress"
_COPY_BLOCK = 8 << 20

# Called by tasks at the point where their private store is complete but not
# yet published; the tests install a hook here in the worker processes to end
# a worker in the middle of a task.
_task_hook: Callable[[str, str], None] | None = None


class DistributedError(RuntimeError):
    """A run that could not complete; the project's store is as it was."""


# -- small file helpers --------------------------------------------------------


def _is_shard_name(name: str) -> bool:
    return len(name) == 2 and all(c in _SHARD_CHARS for c in name)


def _merged_number(name: str) -> int | None:
    body = name[1:] if name.startswith("+") else name
    return int(body) if body.isdigit() and body.isascii() else None


def _merged_files(store: str, tokenizer: str) -> list[str]:
    """The merged token files of a tokenizer in a project root, in entry order."""
    return _numbered_files(os.path.join(store, ".vl", f"token-index.{tokenizer}"))


def _numbered_files(directory: str) -> list[str]:
    """The files of a merged token directory, ascending by number."""
    try:
        names = os.listdir(directory)
    except FileNotFoundError:
        return []
    numbered = [(n, name) for name in names if (n := _merged_number(name)) is not None]
    numbered.sort(key=lambda item: item[0])
    return [os.path.join(directory, name) for _, name in numbered]


def _shard_names(store: str) -> list[str]:
    """The document-index shard files of a project root."""
    return [n for n in os.listdir(os.path.join(store, ".vl", "document-index")) if _is_shard_name(n)]


def _tokenizers(store: str) -> list[str]:
    """Tokenizers with a merged directory in a project root."""
    vl = os.path.join(store, ".vl")
    prefix = "token-index."
    return sorted(
        e.name[len(prefix) :]
        for e in os.scandir(vl)
        if e.name.startswith(prefix) and len(e.name) > len(prefix) and e.is_dir(follow_symlinks=False)
    )


def _copy_into(src: str, out: io.BufferedWriter) -> int:
    """Appends the bytes of ``src`` to ``out``; never glues onto a line cut short."""
    copied = 0
    last = b"\n"
    with open(src, "rb") as f:
        while block := f.read(_COPY_BLOCK):
            out.write(block)
            copied += len(block)
            last = block[-1:]
    if last != b"\n":
        out.write(b"\n")
        copied += 1
    return copied


def _fsync_dir(path: str) -> None:
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _link_or_copy(src: str, dst: str) -> None:
    """Gives ``dst`` the content of ``src`` without changing ``src``: a hard link
    when both lie on one file system, else a copy."""
    try:
        os.link(src, dst)
    except OSError:
        shutil.copyfile(src, dst)


def _replace(staged: str, target: str) -> None:
    """Moves a finished file over ``target``; through a temporary file beside
    the target when the two lie on different file systems."""
    try:
        os.replace(staged, target)
        return
    except OSError as e:
        if e.errno != 18:  # EXDEV
            raise
    directory = os.path.dirname(os.path.abspath(target))
    tmp = os.path.join(directory, f".{os.path.basename(target)}.vl-{uuid.uuid4().hex}")
    try:
        with open(staged, "rb") as src, open(tmp, "xb") as out:
            shutil.copyfileobj(src, out, _COPY_BLOCK)
            out.flush()
            os.fsync(out.fileno())
        os.replace(tmp, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise
    os.unlink(staged)


def _attempt_dir(parent: str, name: str) -> str:
    """A new, empty directory for one attempt at some work.  Never creates
    ``parent``: once a failed run has removed its work area, a task still
    running there fails instead of making it again."""
    path = os.path.join(parent, f"{name}.attempt-{uuid.uuid4().hex[:12]}")
    os.mkdir(path)
    return path


def _publish(attempt: str, final: str) -> str:
    """Renames a finished attempt to its final name.  When another attempt of
    the same work got there first, this one is discarded."""
    if _task_hook is not None:
        _task_hook(os.path.basename(final), attempt)
    try:
        os.rename(attempt, final)
    except OSError:
        if not os.path.isdir(final):
            raise
        shutil.rmtree(attempt, ignore_errors=True)
    return final


# -- partitioning --------------------------------------------------------------


@dataclass(frozen=True)
class Part:
    """A byte range [start, end) of a data file, cut at line boundaries."""

    key: str
    path: str  # where the task reads the file
    name: str  # the file as the caller named it: what the records say
    start: int
    end: int


def partition(files: Sequence[str], chunk_bytes: int = DEFAULT_CHUNK_BYTES) -> list[Part]:
    """Cuts the files into parts of at most about ``chunk_bytes``, each ending
    just after a newline (or at the end of the file), in file order."""
    if chunk_bytes <= 0:
        raise ValueError("chunk size must be positive")
    parts: list[Part] = []
    for name in files:
        path = os.path.abspath(name)
        size = os.stat(path).st_size
        if size == 0:
            continue
        start = 0
        with open(path, "rb") as f:
            while start < size:
                end = start + chunk_bytes
                if end < size:
                    f.seek(end - 1)
                    while True:
                        block = f.read(1 << 16)
                        if not block:
                            end = size
                            break
                        i = block.find(b"\n")
                        if i >= 0:
                            end = f.tell() - len(block) + i + 1
                            break
                else:
                    end = size
                parts.append(Part(f"{len(parts):06d}", path, name, start, end))
                start = end
    return parts


# -- progress ------------------------------------------------------------------


def _report(run: str, key: str, done: int) -> None:
    """Tells the driver how far a task has come (best effort)."""
    try:
        from distributed import get_worker

        get_worker().log_event(_PROGRESS_TOPIC, (run, key, done))
    except Exception:
        pass


class _ProgressSink:
    """Adds up the latest progress of every task of a run; a retried task
    starts again from zero, so the total can go back."""

    def __init__(self, client: Any, run: str, total: int, callback: Progress | None) -> None:
        self.client, self.run, self.total, self.callback = client, run, total, callback
        self.done: dict[str, int] = {}
        self.lock = threading.Lock()

    def __enter__(self) -> "_ProgressSink":
        if self.callback is not None:
            self.callback(0, self.total)
            with contextlib.suppress(Exception):
                self.client.subscribe_topic(_PROGRESS_TOPIC, self._on_event)
        return self

    def __exit__(self, *exc: object) -> None:
        if self.callback is not None:
            with contextlib.suppress(Exception):
                self.client.unsubscribe_topic(_PROGRESS_TOPIC)

    def _on_event(self, event: Any) -> None:
        _, message = event
        run, key, done = message
        if run == self.run:
            self.set(key, done)

    def set(self, key: str, done: int) -> None:
        with self.lock:
            self.done[key] = done
            total = sum(self.done.values())
        if self.callback is not None:
            self.callback(min(total, self.total), self.total)


# -- cluster -------------------------------------------------------------------


@contextlib.contextmanager
def cluster(workers: int | None = None, scheduler: str | None = None, client: Any = None) -> Iterator[Any]:
    """A Dask client: the one given, one connected to ``scheduler``, or a local
    cluster of ``workers`` processes (one thread each) for the duration."""
    if client is not None:
        yield client
        return
    from distributed import Client, LocalCluster

    if scheduler:
        with Client(scheduler) as c:
            yield c
        return
    n = workers or os.cpu_count() or 1
    with LocalCluster(
        n_workers=n,
        threads_per_worker=1,
        processes=True,
        dashboard_address=None,
        silence_logs=logging.ERROR,
    ) as lc, Client(lc) as c:
        yield c


def _run_dir(root: str) -> tuple[str, str]:
    run = time.strftime("%Y%m%dT%H%M%S", time.gmtime()) + "-" + uuid.uuid4().hex[:8]
    path = os.path.join(os.path.abspath(root), ".vl", "split", run)
    os.makedirs(path)
    return run, path


def _gather(client: Any, futures: list[Any], what: str, run: str) -> list[Any]:
    """Waits for every future; the first failure cancels the rest and waits
    until no task of the run is still running, so that none writes into the
    work area after the run has removed it."""
    from distributed import as_completed

    try:
        for future in as_completed(futures):
            if future.status == "error":
                raise DistributedError(f"{what} failed: {future.exception()}")
            if future.status == "cancelled":
                raise DistributedError(f"{what} was cancelled")
        return client.gather(futures)
    except BaseException:
        client.cancel(futures)
        _settle(client, run)
        raise


def _executing(dask_worker: Any) -> list[str]:
    state = getattr(dask_worker, "state", dask_worker)
    return [str(ts.key) for ts in getattr(state, "executing", ())]


def _settle(client: Any, run: str, timeout: float = 60.0) -> None:
    """Waits (at most ``timeout`` seconds) until no worker runs a task of the run."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            busy = client.run(_executing)
        except Exception:
            return
        if not any(run in key for keys in busy.values() for key in keys):
            return
        time.sleep(0.2)


def _native_error(e: BaseException) -> BaseException:
    """Errors a task raised reach the caller as the tool's errors."""
    return e


# -- tracking: tasks -------------------------------------------------------------


def _whole_file_tracker(tokenizer: Any) -> Callable[..., dict[str, Any]] | None:
    """The native whole-file tracker, when it can do the work: it counts
    tokens only with the built-in whitespace counter."""
    from vl import tokenizers

    if tokenizer is not None and tokenizer.count is not tokenizers.whitespace:
        return None
    try:
        from vl import _vl_bulk

        return _vl_bulk.track_file
    except (ImportError, AttributeError):
        return None


def _track_range_natively(
    track_file: Callable[..., dict[str, Any]], run: str, attempt: str, part: Part, sources: list[str],
    name: str | None, text_field: str | None, already: dict[str, int] | None,
) -> tuple[int, int, list[tuple[int, str]], int]:
    """Tracks a part with the native whole-file tracker; a byte range of a
    larger file is first copied into the attempt's directory.  Returns
    (recorded, already recorded, invalid lines, lines in the part)."""
    path = part.path
    lines = 0
    if part.start != 0 or part.end != os.path.getsize(part.path):
        path = os.path.join(attempt, "range.jsonl")
        with open(part.path, "rb") as src, open(path, "xb") as out:
            src.seek(part.start)
            left = part.end - part.start
            last = b"\n"
            while left > 0:
                block = src.read(min(left, _COPY_BLOCK))
                if not block:
                    break
                out.write(block)
                lines += block.count(b"\n")
                last = block[-1:]
                left -= len(block)
            lines += last != b"\n"
    r = track_file(attempt, path, part.name, sources, tokenizer=name, text_field=text_field,
                   already={h: n for h, n in (already or {}).items() if n > 0} or None,
                   progress=lambda done: _report(run, part.key, done))
    if path != part.path:
        os.unlink(path)
    return r["recorded"], r["already"], [(n, why) for n, why in r["invalid"]], lines


def _track_part(
    run: str, work: str, part: Part, sources: list[str], tokenizer_name: str | None,
    text_field: str | None, already: dict[str, int] | None,
) -> dict[str, Any]:
    """Tracks one byte range into a fresh private store and publishes it.

    Lines are read, judged and counted exactly as ``vl track`` does in one
    process; ``already`` (line hash -> times already recorded for this file)
    skips that many occurrences, as a re-run of ``vl track`` does."""
    from collections import Counter

    from vl import tokenizers
    from vl._cli_track import _invalid_reason, parse_line

    parts_dir = os.path.join(work, "parts")
    final = os.path.join(parts_dir, part.key)
    if os.path.isdir(final):  # an earlier attempt finished after all
        return _part_summary(final)
    attempt = _attempt_dir(parts_dir, part.key)
    try:
        native.init(attempt)
        tokenizer = tokenizers.load(tokenizer_name) if tokenizer_name else None
        name = tokenizer.name if tokenizer else None
        bulk = _whole_file_tracker(tokenizer)
        if bulk is not None:
            recorded, skipped_already, invalid, number = _track_range_natively(
                bulk, run, attempt, part, sources, name, text_field, already)
            tokens = -1  # counted from the merged token file below
        else:
            skip = Counter(already or {})
            recorded = skipped_already = tokens = 0
            invalid: list[tuple[int, str]] = []
            done = reported = 0
            with open(part.path, "rb") as f:
                f.seek(part.start)
                raw_range = f.read(part.end - part.start)
            number = 0
            for raw in io.BytesIO(raw_range):
                number += 1
                done += len(raw)
                if done - reported >= 1 << 20:
                    _report(run, part.key, done)
                    reported = done
                if not raw.strip():
                    continue
                try:
                    value, n = parse_line(raw, tokenizer, text_field)
                except (ValueError, RecursionError) as e:
                    invalid.append((number, _invalid_reason(e)))
                    continue
                if skip:
                    line_hash = native.compute_hash(value)
                    if skip[line_hash] > 0:
                        skip[line_hash] -= 1
                        skipped_already += 1
                        continue
                    native.index_document(attempt, line_hash, part.name, sources)
                    if n is not None and name is not None:
                        native.token_index_write_pid(attempt, name, n, sources)
                else:
                    native.track(value, part.name, sources, attempt, n, name)
                recorded += 1
                tokens += n or 0
        if name:
            native.token_index_merge_pid_files(attempt, name)
        if tokens < 0:
            tokens = native.token_index_token_status(attempt, name)["total_tokens"] if name else 0
        with open(os.path.join(attempt, "part.json"), "w", encoding="utf-8") as f:
            json.dump(
                {"key": part.key, "file": part.name, "lines": recorded, "already": skipped_already,
                 "invalid": invalid, "line_count": number, "tokens": tokens, "bytes": part.end - part.start},
                f,
            )
        _publish(attempt, final)
    except BaseException:
        shutil.rmtree(attempt, ignore_errors=True)
        raise
    _report(run, part.key, part.end - part.start)
    return _part_summary(final)


def _part_summary(store: str) -> dict[str, Any]:
    with open(os.path.join(store, "part.json"), encoding="utf-8") as f:
        summary = json.load(f)
    summary["store"] = store
    return summary


def _write_tokens(out_dir: str, sources: list[str], first: int = 1) -> list[str]:
    """Concatenates merged token files into new ones of at most about
    ``TOKEN_FILE_CAP`` bytes, numbered from ``first``; returns their paths."""
    written: list[str] = []
    out = None
    size = 0
    try:
        for src in sources:
            if out is None or size >= TOKEN_FILE_CAP:
                if out is not None:
                    out.close()
                path = os.path.join(out_dir, f"{first + len(written):03d}")
                out = open(path, "xb")
                written.append(path)
                size = 0
            size += _copy_into(src, out)
    finally:
        if out is not None:
            out.close()
    return written


def _fold(work: str, key: str, children: list[dict[str, Any]]) -> dict[str, Any]:
    """Folds stores into one: every shard the concatenation of the children's
    shards in child order, the merged token files of each tokenizer the
    children's files in child order.  Records are appended whole."""
    folds = os.path.join(work, "folds")
    final = os.path.join(folds, key)
    if os.path.isdir(final):
        return {"store": final}
    attempt = _attempt_dir(folds, key)
    try:
        docs = os.path.join(attempt, ".vl", "document-index")
        os.makedirs(docs)  # inside the attempt, which exists
        shards = sorted({n for c in children for n in _shard_names(c["store"])})
        for shard in shards:
            with open(os.path.join(docs, shard), "xb") as out:
                for c in children:
                    src = os.path.join(c["store"], ".vl", "document-index", shard)
                    if os.path.exists(src):
                        _copy_into(src, out)
        for tokenizer in sorted({t for c in children for t in _tokenizers(c["store"])}):
            out_dir = os.path.join(attempt, ".vl", f"token-index.{tokenizer}")
            os.makedirs(out_dir)
            _write_tokens(out_dir, [p for c in children for p in _merged_files(c["store"], tokenizer)])
        _publish(attempt, final)
    except BaseException:
        shutil.rmtree(attempt, ignore_errors=True)
        raise
    return {"store": final}


def _prepare_shards(project: str, commit: str, shards: list[str], stores: list[dict[str, Any]]) -> list[str]:
    """Writes the new content of some document-index shards: the project's
    shard followed by the stores' shards in order; fsynced, ready to be
    renamed into the store.  This is the last level of the merge tree."""
    out_dir = os.path.join(commit, "document-index")
    for shard in shards:
        with open(os.path.join(out_dir, shard), "xb") as out:
            for store in [project] + [s["store"] for s in stores]:
                src = os.path.join(store, ".vl", "document-index", shard)
                if os.path.exists(src):
                    _copy_into(src, out)
            out.flush()
            os.fsync(out.fileno())
    return shards


def _prepare_tokens(commit: str, tokenizer: str, stores: list[dict[str, Any]]) -> list[str]:
    """The stores' merged token files of one tokenizer, in order, as new
    merged files ready to be moved into the store."""
    out_dir = os.path.join(commit, f"token-index.{tokenizer}")
    os.makedirs(out_dir)
    paths = _write_tokens(out_dir, [p for s in stores for p in _merged_files(s["store"], tokenizer)])
    for p in paths:
        with open(p, "rb") as f:
            os.fsync(f.fileno())
    return paths


# -- tracking: driver ------------------------------------------------------------


@dataclass
class FileResult:
    file: str
    recorded: int = 0
    already: int = 0
    tokens: int = 0
    bytes: int = 0
    invalid: list[tuple[int, str]] = field(default_factory=list)


@dataclass
class TrackResult:
    files: list[FileResult]
    parts: int
    depth: int
    token_files: int
    seconds: float
    merge_seconds: float = 0.0  # from the last tracked part to the commit

    @property
    def recorded(self) -> int:
        return sum(f.recorded for f in self.files)

    @property
    def bytes(self) -> int:
        return sum(f.bytes for f in self.files)

    def as_dict(self) -> dict[str, Any]:
        return {
            "files": [
                {"file": f.file, "recorded": f.recorded, "already": f.already, "invalid": len(f.invalid),
                 "tokens": f.tokens}
                for f in self.files
            ],
            "recorded": self.recorded,
            "bytes": self.bytes,
            "parts": self.parts,
            "merge_depth": self.depth,
            "token_files": self.token_files,
            "seconds": round(self.seconds, 3),
            "merge_seconds": round(self.merge_seconds, 3),
        }


def _recorded(root: str, names: set[str], sources: Sequence[str]) -> dict[str, dict[str, int]]:
    """Per file name: how often each line hash is already recorded for it with
    these sources (one read of the document index for all files)."""
    wanted = sorted(sources)
    counts: dict[str, dict[str, int]] = {}
    for r in native.read_all_documents(root):
        if r["file"] in names and sorted(r["sources"]) == wanted:
            per = counts.setdefault(r["file"], {})
            per[r["line_hash"]] = per.get(r["line_hash"], 0) + 1
    return counts


def track(
    root: str,
    files: Sequence[str | tuple[str, str]],
    sources: Sequence[str] = (),
    tokenizer: str | None = None,
    *,
    text_field: str | None = None,
    force: bool = False,
    strict: bool = False,
    workers: int | None = None,
    scheduler: str | None = None,
    client: Any = None,
    chunk_bytes: int = DEFAULT_CHUNK_BYTES,
    fan_in: int = DEFAULT_FAN_IN,
    forget_set: str | None = None,
    progress: Progress | None = None,
) -> TrackResult:
    """Tracks every line of ``files`` into the store of ``root`` on a Dask
    cluster, giving the store the records that ``vl track`` in one process
    gives it.

    ``files`` are paths, recorded as given, or (path, name) pairs, recorded
    under the name.  ``tokenizer`` names a tokenizer as ``vl track --tokenizer`` does.
    Lines already recorded for a file with the same sources are skipped
    unless ``force`` (such a file is tracked by one task, since which
    occurrences to skip depends on the order of its lines).  With
    ``strict``, an invalid line anywhere fails the run.  The new token
    entries land in new merged token files, in line order; ``forget_set``
    names a file that receives the tokenizer's forget set at the end."""
    if fan_in < 2:
        raise ValueError("fan-in must be at least 2")
    started = time.monotonic()
    root = os.path.abspath(root)
    if not os.path.isdir(os.path.join(root, ".vl", "document-index")):
        raise DistributedError(f"no store at {os.path.join(root, '.vl')}: run `vl init` first")
    pairs = list(dict.fromkeys((f, f) if isinstance(f, str) else (f[0], f[1]) for f in files))
    already = {} if force else _recorded(root, {n for _, n in pairs}, sources)
    parts: list[Part] = []
    for path, name in pairs:
        whole = name in already
        for p in partition([path], os.path.getsize(path) + 1 if whole else chunk_bytes):
            parts.append(Part(f"{len(parts):06d}", p.path, name, p.start, p.end))
    token_name = None
    if tokenizer:
        from vl import tokenizers

        token_name = tokenizers.load(tokenizer).name
    total = sum(p.end - p.start for p in parts)
    run, work = _run_dir(root)
    depth = token_files = 0
    parts_done = started
    try:
        for d in ("parts", "folds", "commit/document-index"):
            os.makedirs(os.path.join(work, d))
        with cluster(workers, scheduler, client) as c, _ProgressSink(c, run, total, progress) as sink:
            opts = {"retries": RETRIES, "pure": False}
            tracked = [
                c.submit(_track_part, run, work, p, list(sources), tokenizer, text_field, already.get(p.name),
                         key=f"vl-track-{run}-{p.key}", **opts)
                for p in parts
            ]
            level = tracked
            while len(level) > fan_in:
                depth += 1
                level = [
                    c.submit(_fold, work, f"{depth}-{i:06d}", level[i : i + fan_in],
                             key=f"vl-fold-{run}-{depth}-{i}", **opts)
                    for i in range(0, len(level), fan_in)
                ]
            summaries = _gather(c, tracked, "tracking", run) if tracked else []
            parts_done = time.monotonic()
            results = _file_results(pairs, summaries)
            if strict:
                for r in results:
                    if r.invalid:
                        n, why = r.invalid[0]
                        raise DistributedError(f"{r.file}:{n}: {why}; nothing recorded (--strict)")
            stores = _gather(c, level, "merging", run) if level else []
            sink.set("", total)
            if stores:
                # The last level: the project's shards and the stores' records
                # written side by side, a task per group of shards.
                depth += 1
                commit = os.path.join(work, "commit")
                shards = sorted({n for st in stores for n in _shard_names(st["store"])})
                groups = [shards[i : i + 16] for i in range(0, len(shards), 16)]
                jobs = [c.submit(_prepare_shards, root, commit, g, stores, key=f"vl-commit-{run}-{i}", **opts)
                        for i, g in enumerate(groups)]
                jobs += [c.submit(_prepare_tokens, commit, t, stores, key=f"vl-tokens-{run}-{t}", **opts)
                         for t in sorted({t for st in stores for t in _tokenizers(st["store"])})]
                _gather(c, jobs, "merging", run)
                token_files = _commit_track(root, commit, shards)
        now = time.monotonic()
        result = TrackResult(results, len(parts), depth, token_files, now - started, now - parts_done)
        _log_track(root, result, workers, scheduler)
        if forget_set and token_name:
            write_forget_set(root, token_name, forget_set)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return result


def _file_results(pairs: list[tuple[str, str]], summaries: list[dict[str, Any]]) -> list[FileResult]:
    """Adds up the parts of every file; line numbers of invalid lines become
    numbers in the whole file."""
    by_name: dict[str, FileResult] = {}
    lines_before: dict[str, int] = {}
    for _, name in pairs:
        by_name.setdefault(name, FileResult(name))
    for s in summaries:
        r = by_name[s["file"]]
        base = lines_before.get(s["file"], 0)
        r.recorded += s["lines"]
        r.already += s["already"]
        r.tokens += s["tokens"]
        r.bytes += s["bytes"]
        r.invalid += [(base + n, why) for n, why in s["invalid"]]
        lines_before[s["file"]] = base + s["line_count"]
    return list(by_name.values())


def _commit_track(root: str, commit: str, shards: list[str]) -> int:
    """Moves the prepared shards and token files into the store."""
    docs = os.path.join(root, ".vl", "document-index")
    for shard in shards:
        os.replace(os.path.join(commit, "document-index", shard), os.path.join(docs, shard))
    _fsync_dir(docs)
    moved = 0
    for name in sorted(os.listdir(commit)):
        if not name.startswith("token-index."):
            continue
        target = os.path.join(root, ".vl", name)
        os.makedirs(target, exist_ok=True)
        existing = [n for f in os.listdir(target) if (n := _merged_number(f)) is not None]
        number = max(existing, default=0) + 1
        for src in _numbered_files(os.path.join(commit, name)):
            while True:
                dst = os.path.join(target, f"{number:03d}")
                number += 1
                try:
                    os.link(src, dst)  # never over a file someone else just made
                    break
                except FileExistsError:
                    continue
            os.unlink(src)
            moved += 1
        _fsync_dir(target)
    return moved


def _log_track(root: str, result: TrackResult, workers: int | None, scheduler: str | None) -> None:
    for r in result.files:
        native.oplog_append(
            root, "track", f"file={r.file} lines={r.recorded} already={r.already} invalid={len(r.invalid)}"
        )
    where = f"scheduler={scheduler}" if scheduler else f"workers={workers or os.cpu_count() or 1}"
    native.oplog_append(
        root,
        "track_distributed",
        f"files={len(result.files)} parts={result.parts} lines={result.recorded} bytes={result.bytes} "
        f"merge_depth={result.depth} token_files={result.token_files} {where}",
    )


# -- forget sets ---------------------------------------------------------------


def write_forget_set(root: str, tokenizer: str, path: str) -> int:
    """Writes the tokenizer's forget set to ``path`` once; returns its size."""
    if hasattr(native, "generate_forget_set"):
        bits = native.generate_forget_set(root, tokenizer)
    else:
        bits = _forget_set_from_files(root, tokenizer)
    if hasattr(native, "write_forget_set"):
        native.write_forget_set(path, bits)
    else:
        with open(path, "wb") as f:
            f.write(bits)
    return len(bits)


def _forget_set_from_files(root: str, tokenizer: str) -> bytes:
    """Bit i set when the i-th non-empty line of the merged files is revoked."""
    bits = bytearray()
    i = 0
    for path in _merged_files(root, tokenizer):
        with open(path, "rb") as f:
            for line in f:
                line = line.rstrip(b"\n").removesuffix(b"\r")
                if not line:
                    continue
                if len(bits) <= i // 8:
                    bits.append(0)
                if b'"revoked":true' in line:
                    bits[i // 8] |= 1 << (i % 8)
                i += 1
    return bytes(bits)


# -- purging -------------------------------------------------------------------


def _document_record(value: Any) -> dict[str, Any] | None:
    if (
        isinstance(value, dict)
        and isinstance(value.get("line_hash"), str)
        and isinstance(value.get("file"), str)
        and isinstance(value.get("sources"), list)
        and all(isinstance(s, str) for s in value["sources"])
    ):
        return {"line_hash": value["line_hash"], "file": value["file"], "sources": value["sources"]}
    return None


def _revoked_in_shard(path: str, sections: list[str]) -> list[dict[str, Any]]:
    """The document records of one shard that derive from one of ``sections``.
    The shard is streamed; only lines holding one of the hashes are parsed."""
    needles = [f'"{h}"'.encode() for h in sections]
    found = []
    with open(path, "rb") as f:
        for line in f:
            if not any(n in line for n in needles):
                continue
            try:
                record = _document_record(json.loads(line))
            except ValueError:
                continue
            if record is not None and any(s in sections for s in record["sources"]):
                found.append(record)
    return found


def revoked_records(root: str, client: Any = None, run: str = "") -> list[dict[str, Any]]:
    """The revoked documents of a store, each line hash once (the first record
    wins): those of the revoked document list, then those that derive from a
    revoked section.  With a client, the document shards are scanned by one
    task each."""
    vl = os.path.join(root, ".vl")
    seen: set[str] = set()
    records: list[dict[str, Any]] = []

    def take(record: dict[str, Any] | None) -> None:
        if record is not None and record["line_hash"] not in seen:
            seen.add(record["line_hash"])
            records.append(record)

    listed = os.path.join(vl, "document-index", "revoked", "all")
    if os.path.isfile(listed):
        for value in native.jsonl_read(listed):
            take(_document_record(value))
    revoked_sections: set[str] = set()
    sections = os.path.join(vl, "sections")
    if os.path.isdir(sections):
        for entry in os.scandir(sections):
            if not entry.is_file():
                continue
            for value in native.jsonl_read(entry.path):
                if isinstance(value, dict) and value.get("revoked") is True:
                    if isinstance(value.get("section_hash"), str):
                        revoked_sections.add(value["section_hash"])
    if revoked_sections:
        docs = os.path.join(vl, "document-index")
        shards = sorted(e.path for e in os.scandir(docs) if _is_shard_name(e.name) and e.is_file())
        targets = sorted(revoked_sections)
        if client is not None and shards:
            futures = [client.submit(_revoked_in_shard, p, targets, key=f"vl-revoked-{run}-{i}", retries=RETRIES,
                                     pure=False) for i, p in enumerate(shards)]
            found = _gather(client, futures, "finding revoked lines", run)
        else:
            found = [_revoked_in_shard(p, targets) for p in shards]
        for shard_records in found:
            for record in shard_records:
                take(record)
    return records


def _purge_reporting(run: str, key: str, root: str, data_file: str) -> dict[str, int]:
    """A purge that reports its progress (bytes through its two passes over
    the file) while it runs, when the native module offers one."""
    try:
        from vl import _vl_bulk as bulk

        purge = bulk.purge
    except (ImportError, AttributeError):
        return native.purge_revoked(root, data_file, False)
    counter = bytearray(8)
    outcome: dict[str, Any] = {}

    def work() -> None:
        try:
            outcome["result"] = purge(root, data_file, None, counter)
        except BaseException as e:  # handed to the waiting thread
            outcome["error"] = e

    worker = threading.Thread(target=work, name="vl-purge")
    worker.start()
    while worker.is_alive():
        worker.join(0.2)
        _report(run, key, int.from_bytes(counter, sys.byteorder))
    if "error" in outcome:
        raise outcome["error"]
    return outcome["result"]


def _purge_file(run: str, work: str, key: str, name: str, path: str, size: int,
                revoked_store: str) -> dict[str, Any]:
    """Purges one data file, staged: the purge runs on a copy of the data
    file inside a private store that carries the run's revoked list."""
    parts_dir = os.path.join(work, "parts")
    final = os.path.join(parts_dir, key)
    if not os.path.isdir(final):
        if not os.path.isfile(path) or os.path.getsize(path) == 0:
            raise RuntimeError(f"data file not found: {name}")
        attempt = _attempt_dir(parts_dir, key)
        try:
            revoked_dir = os.path.join(attempt, ".vl", "document-index", "revoked")
            os.makedirs(revoked_dir)
            _link_or_copy(os.path.join(revoked_store, ".vl", "document-index", "revoked", "all"),
                          os.path.join(revoked_dir, "all"))
            staged = os.path.join(attempt, "data.jsonl")
            shutil.copyfile(path, staged)  # a copy: the purge refuses a file with other links
            counts = _purge_reporting(run, key, attempt, staged)
            with open(os.path.join(attempt, "part.json"), "w", encoding="utf-8") as f:
                json.dump({"key": key, "file": name, **counts}, f)
            _publish(attempt, final)
        except BaseException:
            shutil.rmtree(attempt, ignore_errors=True)
            raise
    _report(run, key, 2 * size)
    with open(os.path.join(final, "part.json"), encoding="utf-8") as f:
        summary = json.load(f)
    summary["store"] = final
    return summary


def _canonical_string(work: str, text: str) -> bytes:
    """A string as the store writes it in a JSON line."""
    probe = os.path.join(work, f"probe-{uuid.uuid4().hex}")
    native.jsonl_append(probe, text)
    with open(probe, "rb") as f:
        line = f.read().rstrip(b"\n")
    os.unlink(probe)
    return line


def _archive_name(now: float) -> str:
    return "purge." + time.strftime("%Y%m%dT%H%M%S", time.gmtime(max(now, 0)))


def purge(
    root: str,
    files: Sequence[str],
    *,
    workers: int | None = None,
    scheduler: str | None = None,
    client: Any = None,
    forget_set: tuple[str, str] | None = None,
    progress: Progress | None = None,
) -> dict[str, Any]:
    """Purges the lines of revoked documents out of ``files`` (relative names
    are taken from the project root), one task per file, against the revoked line set computed once.  Returns the summed
    counts ("purged", "kept", "archived") and the counts of every file.

    Nothing is changed unless every file was purged: then the purged lines
    go to one purge archive of the store and the purged files replace the
    data files.  ``forget_set`` (tokenizer, path) writes that tokenizer's
    forget set once at the end."""
    root = os.path.abspath(root)
    names = list(dict.fromkeys(files))
    if not os.path.isdir(os.path.join(root, ".vl")):
        raise DistributedError(f"no store at {os.path.join(root, '.vl')}: run `vl init` first")
    for name in names:
        path = os.path.join(root, name)
        if not os.path.isfile(path) or os.path.getsize(path) == 0:
            raise RuntimeError(f"data file not found: {name}")
    run, work = _run_dir(root)
    try:
        os.makedirs(os.path.join(work, "parts"))
        revoked_store = os.path.join(work, "revoked")
        listed = os.path.join(revoked_store, ".vl", "document-index", "revoked")
        os.makedirs(listed)
        sizes = [os.path.getsize(os.path.join(root, name)) for name in names]
        with cluster(workers, scheduler, client) as c, _ProgressSink(c, run, 2 * sum(sizes), progress):
            records = revoked_records(root, c, run)
            with open(os.path.join(listed, "all"), "wb") as f:
                for r in records:
                    f.write(json.dumps(r, ensure_ascii=False, separators=(",", ":")).encode() + b"\n")
            futures = [
                c.submit(_purge_file, run, work, f"{i:06d}", name, os.path.join(root, name), sizes[i], revoked_store,
                         key=f"vl-purge-{run}-{i}", retries=RETRIES, pure=False)
                for i, name in enumerate(names)
            ]
            results = _gather(c, futures, "purging", run) if futures else []
        total = {"purged": 0, "kept": 0, "archived": 0}
        for r in results:
            for k in total:
                total[k] += r[k]
        archive = _commit_purge(root, work, results)
        for r in results:
            native.oplog_append(root, "purge", f"purged {r['purged']} lines from {quote_path(r['file'])}")
        native.oplog_append(
            root, "purge_distributed",
            f"files={len(results)} purged={total['purged']} kept={total['kept']} archived={total['archived']}",
        )
        if forget_set:
            write_forget_set(root, forget_set[0], forget_set[1])
    finally:
        shutil.rmtree(work, ignore_errors=True)
    per_file = [{k: r[k] for k in ("file", "purged", "kept", "archived")} for r in results]
    return {**total, "archive": archive, "files": per_file}


def _commit_purge(root: str, work: str, results: list[dict[str, Any]]) -> str | None:
    """Writes the run's purge archive into the store, then moves every purged
    file over its data file.  The archive is complete and synced before the
    first data file changes."""
    path = _write_archive(root, work, results) if any(r["archived"] for r in results) else None
    for r in results:
        _replace(os.path.join(r["store"], "data.jsonl"), os.path.join(root, r["file"]))
    return path


def _string_end(line: bytes, start: int) -> int:
    """The index after the JSON string token that begins at ``start``."""
    i = start + 1
    while i < len(line):
        c = line[i]
        if c == 0x5C:  # backslash: the next byte is escaped
            i += 2
            continue
        if c == 0x22:
            return i + 1
        i += 1
    raise ValueError("unterminated string")


def _stamp_after(last: str) -> str:
    """The archive stamp that sorts right after ``last``."""
    head, dot, seq = last[:15], last[15:16], last[16:]
    if dot == "." and len(seq) == 6 and seq.isdigit() and int(seq) < 999999:
        return f"{head}.{int(seq) + 1:06d}"
    return last + ".000001"


def _write_archive(root: str, work: str, results: list[dict[str, Any]]) -> str:
    """One purge archive for the run, named to sort after every archive there
    (so a restore takes it first); each record names its data file as the
    caller named it."""
    archive_dir = os.path.join(root, ".vl", "archive")
    os.makedirs(archive_dir, exist_ok=True)
    stamp = _archive_name(time.time()).removeprefix("purge.")
    existing = [n.removeprefix("purge.") for n in os.listdir(archive_dir) if n.startswith("purge.")]
    name = stamp
    if existing and max(existing) >= name:
        name = _stamp_after(max(existing))
    tmp = os.path.join(archive_dir, f".purge.tmp-{uuid.uuid4().hex}")
    head = b'{"archived_at":"'
    try:
        with open(tmp, "xb") as out:
            for r in results:
                if not r["archived"]:
                    continue
                file_value = _canonical_string(work, r["file"])
                part_archive = os.path.join(r["store"], ".vl", "archive")
                for archived in sorted(os.listdir(part_archive)):
                    with open(os.path.join(part_archive, archived), "rb") as f:
                        for line in f:
                            # {"archived_at":"<stamp>","file":"<staged copy>",...}: restamped, and the
                            # file the caller named in place of the staged copy
                            at = len(head) + 15
                            if not line.startswith(head) or not line.startswith(b'","file":', at):
                                raise DistributedError(f"unexpected archive record in {archived}")
                            rest = _string_end(line, at + len(b'","file":'))
                            out.write(head + stamp.encode() + b'","file":' + file_value + line[rest:])
            out.flush()
            os.fsync(out.fileno())
        while True:
            path = os.path.join(archive_dir, "purge." + name)
            try:
                os.link(tmp, path)  # never over an archive made meanwhile
                break
            except FileExistsError:
                name = _stamp_after(name)
        os.unlink(tmp)
        _fsync_dir(archive_dir)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise
    archived = sum(r["archived"] for r in results)
    native.oplog_append(root, "purge_archive", f"archived {archived} lines to {quote_path(path)}")
    return path


# -- restoring -----------------------------------------------------------------


def _restore_file(run: str, work: str, key: str, name: str, path: str, archive_name: str,
                  records: list[Any]) -> dict[str, Any]:
    """Restores one file's archived lines into a staged copy of the data file."""
    parts_dir = os.path.join(work, "parts")
    final = os.path.join(parts_dir, key)
    if not os.path.isdir(final):
        attempt = _attempt_dir(parts_dir, key)
        try:
            archive_dir = os.path.join(attempt, ".vl", "archive")
            os.makedirs(archive_dir)
            archive = os.path.join(archive_dir, archive_name)
            for record in records:
                native.jsonl_append(archive, record)
            staged = os.path.join(attempt, "data.jsonl")
            if os.path.exists(path):
                shutil.copyfile(path, staged)
            restored = native.purge_reverse(attempt, staged) if records else 0
            with open(os.path.join(attempt, "part.json"), "w", encoding="utf-8") as f:
                json.dump({"key": key, "file": name, "restored": restored}, f)
            _publish(attempt, final)
        except BaseException:
            shutil.rmtree(attempt, ignore_errors=True)
            raise
    _report(run, key, 1)
    with open(os.path.join(final, "part.json"), encoding="utf-8") as f:
        summary = json.load(f)
    summary["store"] = final
    return summary


def newest_archive(root: str) -> str | None:
    """The newest purge archive of a store (the greatest name), or None."""
    d = os.path.join(root, ".vl", "archive")
    if not os.path.isdir(d):
        return None
    names = [e.name for e in os.scandir(d) if e.name.startswith("purge.") and e.is_file()]
    return os.path.join(d, max(names, key=lambda n: n.encode("utf-8", "surrogateescape"))) if names else None


def restore(
    root: str,
    files: Sequence[str] | None = None,
    *,
    workers: int | None = None,
    scheduler: str | None = None,
    client: Any = None,
    progress: Progress | None = None,
) -> dict[str, Any]:
    """Puts the lines of the newest purge archive back at the end of the data
    files they were purged from, one task per file, then deletes the archive.

    Each record names its data file (relative names are taken from the
    project root).  Records that name none can only go to a single data file
    given in ``files``; records of files not in ``files``, when given, make
    the restore refuse before anything is changed."""
    root = os.path.abspath(root)
    archive = newest_archive(root)
    if archive is None:
        return {"restored": 0, "archive": None, "files": []}
    records = [r for r in native.jsonl_read(archive) if isinstance(r, dict) and "line" in r]
    wanted = list(dict.fromkeys(files)) if files else None
    groups: dict[str, list[Any]] = {name: [] for name in wanted or ()}
    for r in records:
        name = r.get("file")
        if not isinstance(name, str):
            if not wanted or len(wanted) != 1:
                raise DistributedError(
                    f"{quote_path(archive)} holds lines that name no data file; restore it into one data file"
                )
            name = wanted[0]
        if wanted is not None and name not in groups:
            raise DistributedError(f"{quote_path(archive)} holds lines of {quote_path(name)}, which was not named")
        groups.setdefault(name, []).append(r)
    archive_name = os.path.basename(archive)
    run, work = _run_dir(root)
    try:
        os.makedirs(os.path.join(work, "parts"))
        with cluster(workers, scheduler, client) as c, _ProgressSink(c, run, len(groups), progress):
            futures = [
                c.submit(_restore_file, run, work, f"{i:06d}", name, os.path.join(root, name), archive_name,
                         recs, key=f"vl-restore-{run}-{i}", retries=RETRIES, pure=False)
                for i, (name, recs) in enumerate(groups.items())
            ]
            results = _gather(c, futures, "restoring", run) if futures else []
        for r in results:
            staged = os.path.join(r["store"], "data.jsonl")
            if os.path.exists(staged):
                _replace(staged, os.path.join(root, r["file"]))
        os.unlink(archive)
        total = sum(r["restored"] for r in results)
        native.oplog_append(root, "purge_reverse", f"restored {total} lines from {quote_path(archive)}")
        native.oplog_append(root, "restore_distributed", f"files={len(results)} restored={total}")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    per_file = [{"file": r["file"], "restored": r["restored"]} for r in results]
    return {"restored": total, "archive": archive, "files": per_file}
