"""``--workers`` and ``--scheduler``: running track, purge and restore on Dask.

Dask is imported only when a cluster is used; without it installed, the
commands run in this process unless a cluster was asked for explicitly.
"""

from __future__ import annotations

import contextlib
import importlib.util
import os
from typing import Any, Callable, Iterator

import click

from vl._cli_common import VlError, progress

_F = Callable[..., Any]


def cluster_options(f: _F) -> _F:
    f = click.option("--scheduler", metavar="ADDRESS",
                     help="Run the work as tasks of an existing Dask cluster (e.g. tcp://10.0.0.5:8786); "
                          "data files and the project must lie on storage every worker sees.")(f)
    f = click.option("--workers", type=click.IntRange(min=0), metavar="N",
                     help="Run the work on a local Dask cluster of N processes (the default, with one per "
                          "processor, when several files are given and Dask is installed); 0 runs it in "
                          "this process.")(f)
    return f


def dask_available() -> bool:
    return importlib.util.find_spec("distributed") is not None


def use_cluster(workers: int | None, scheduler: str | None, files: int) -> bool:
    """Whether to run on Dask: asked for, or by default for several files."""
    if scheduler and workers is not None:
        raise click.UsageError("--workers starts a local cluster; --scheduler uses an existing one: give one of them")
    asked = scheduler is not None or (workers is not None and workers > 0)
    if asked and not dask_available():
        raise VlError("--workers and --scheduler need Dask (Debian: python3-distributed)")
    if asked:
        return True
    return workers is None and files > 1 and dask_available()


def worker_count(workers: int | None) -> int | None:
    return workers if workers else os.cpu_count() or 1


class _Feed:
    """Turns (done, total) reports into advances of a progress bar."""

    def __init__(self, bar: Any) -> None:
        self.bar, self.shown = bar, 0

    def __call__(self, done: int, total: int) -> None:
        if done > self.shown:
            self.bar.advance(done - self.shown)
            self.shown = done


@contextlib.contextmanager
def feed(description: str, total: int | None) -> Iterator[_Feed]:
    """A progress bar fed by the tasks of a run."""
    with progress(description, total) as b:
        yield _Feed(b)


@contextlib.contextmanager
def _reported(stopped: str, failed: str) -> Iterator[None]:
    """Ctrl-C and a failing cluster as the command reports them: what was
    stopped, and what a failure left (after its own message)."""
    from vl import distributed
    from vl._cli_common import Interrupted

    try:
        yield
    except KeyboardInterrupt:
        raise Interrupted(stopped) from None
    except distributed.DistributedError as e:
        raise VlError(f"{e}; {failed}") from None


def track_on_cluster(root: str, targets: list[tuple[str, str, int]], sources: list[str],
                     tokenizer_name: str | None, text_field: str | None, force: bool, strict: bool,
                     workers: int | None, scheduler: str | None) -> Any:
    """``vl track`` of many files as Dask tasks; all or nothing is recorded.
    Returns the run's ``distributed.TrackResult``."""
    from vl import distributed
    from vl._cli_common import Stopwatch, notice, plural, warn
    from vl._cli_track import track_summary

    clock = Stopwatch()
    total = sum(size for _, _, size in targets)
    with _reported("stopped before anything was recorded; run the same command again", "nothing recorded"):
        with feed(f"tracking {plural(len(targets), 'file')}", total) as bar:
            result = distributed.track(
                root, [(path, rel) for path, rel, _ in targets], sources, tokenizer_name, text_field=text_field,
                force=force, strict=strict, workers=None if scheduler else worker_count(workers),
                scheduler=scheduler, progress=bar)
    for r in result.files:
        for n, why in r.invalid:
            warn(f"{r.file}:{n}: skipped: {why}")
        notice(f"tracked {r.file}: {track_summary(r)}")
    where = scheduler or plural(worker_count(workers) or 1, "worker")
    notice(f"tracked {plural(len(result.files), 'file')} in {clock} on {where} "
           f"({plural(result.parts, 'part')}, merge depth {result.depth})")
    return result


def purge_on_cluster(root: str, rels: list[str], workers: int | None, scheduler: str | None,
                     as_json: bool) -> None:
    """``vl purge`` of many files as Dask tasks, one per file."""
    from vl import distributed
    from vl._cli_common import Stopwatch, emit_json, notice, plural, quote_path

    clock = Stopwatch()
    with _reported("stopped before any file was changed", "no file changed"):
        total = 0
        for r in rels:
            try:
                total += 2 * os.stat(os.path.join(root, r)).st_size  # two passes over each file
            except OSError as e:
                raise VlError(f"{quote_path(r)}: {e.strerror}") from None
        with feed(f"purging {plural(len(rels), 'file')}", total) as bar:
            result = distributed.purge(root, rels, workers=None if scheduler else worker_count(workers),
                                       scheduler=scheduler, progress=bar)
    archive = os.path.relpath(result["archive"], root) if result["archive"] else None
    if as_json:
        emit_json({"files": result["files"], "purged": result["purged"], "kept": result["kept"],
                   "archived": result["archived"], "archive": archive})
    for r in result["files"]:
        notice(f"purged {plural(r['purged'], 'line')} from {r['file']}, kept {r['kept']}")
    where = scheduler or plural(worker_count(workers) or 1, "worker")
    notice(f"purged {plural(result['purged'], 'line')} from {plural(len(rels), 'file')} in {clock} on {where}"
           + (f"; archived in {archive}" if archive else ""))


def restore_on_cluster(root: str, rels: list[str], workers: int | None, scheduler: str | None,
                       as_json: bool) -> None:
    """``vl restore`` of many files as Dask tasks, one per file."""
    from vl import distributed
    from vl._cli_common import emit_json, notice, plural

    if distributed.newest_archive(root) is None:
        raise VlError("no purge archive to restore (see `vl archive`)")
    with _reported("stopped before any file was changed", "no file changed"):
        with feed(f"restoring {plural(len(rels), 'file')}", len(rels)) as bar:
            result = distributed.restore(root, rels, workers=None if scheduler else worker_count(workers),
                                         scheduler=scheduler, progress=bar)
    archive = os.path.relpath(result["archive"], root)
    if as_json:
        emit_json({"files": result["files"], "archive": archive, "restored": result["restored"]})
    for r in result["files"]:
        notice(f"restored {plural(r['restored'], 'line')} to {r['file']}")
    notice(f"restored {plural(result['restored'], 'line')} from {archive}")
