"""Benchmark of tracking on a local Dask cluster.

Tracks --files JSONL files of --mb megabytes in all (lines of about
--line-bytes bytes, counted with the whitespace tokenizer) three ways, each
into a fresh store:

  one process   what `vl track --workers 0` does: the files one after the
                other in this process, natively (the baseline), and the
                plain-Python path that parses and tracks line by line;
  cluster of N  vl.distributed.track on a local cluster of N worker processes
                (one thread each), for every N of --workers.

For every run it prints wall-clock seconds, MB/s and the ratio to the
baseline, and for the cluster runs the time from the last tracked part to
the commit (the merge tree and the commit: the cost of the merges) and the
cluster's start-up time (not counted in the run).  It then prints the sizes
the store's formats take per record, which docs/scale.md extrapolates.

Run: PYTHONPATH=<dir holding the built vl package> python3 bench/bench_distributed.py \\
        [--mb 64] [--files 16] [--workers 1,2] [--line-bytes 1000] [--chunk-mb 64] [--no-line-by-line]

A plain script, not a test.  On a shared, busy machine the figures vary from
run to run; the ratios within one run are what count.
"""

import argparse
import logging
import os
import random
import shutil
import tempfile
import time

from vl import _vl_native as native
from vl import distributed
from vl._cli_track import TrackResult, track_file
from vl.tokenizers import load

WORDS = ("the of and to in is was for on that with as by at from this have are be which or an one had not "
         "but all were when we there can been has more if will would who so no out up into do time only "
         "about provenance licence section author corpus token line data model train").split()


def make_data(directory, files, total_bytes, line_bytes, seed=7):
    rng = random.Random(seed)
    per_file = total_bytes // files
    paths = []
    for i in range(files):
        path = os.path.join(directory, f"part-{i:05d}.jsonl")
        with open(path, "w", encoding="utf-8") as f:
            written = 0
            n = 0
            while written < per_file:
                text = " ".join(rng.choice(WORDS) for _ in range(line_bytes // 6))
                line = f'{{"id": "{i}-{n}", "source": "web", "text": "{text}"}}\n'
                f.write(line)
                written += len(line)
                n += 1
        paths.append(path)
    return paths


def fresh_store(base, name):
    root = os.path.join(base, name)
    os.makedirs(root)
    native.init(root)
    author = native.author_add("Ada", "ada@example.org", root)
    section = native.register_section("corpus.md", [author], [], "CC-BY-4.0", "2024", root)
    return root, section


def one_process(root, paths, section):
    """What `vl track --workers 0` does: the native whole-file tracker when
    there is one, else line by line."""
    try:
        from vl._vl_bulk import track_file as whole_file
    except ImportError:
        return line_by_line(root, paths, section)
    for p in paths:
        whole_file(root, p, os.path.basename(p), [section], tokenizer="whitespace")
    native.token_index_merge_pid_files(root, "whitespace")


def line_by_line(root, paths, section):
    """The plain-Python path: each line parsed, counted and tracked by itself."""
    tokenizer = load("whitespace")
    for p in paths:
        track_file(root, p, os.path.basename(p), [section], tokenizer=tokenizer, text_field=None, already={},
                   result=TrackResult(), on_invalid=lambda n, why: None, advance=lambda n: None)
    native.token_index_merge_pid_files(root, "whitespace")


def layer_bytes(root, layer):
    d = os.path.join(root, ".vl", layer)
    return sum(os.path.getsize(os.path.join(d, n)) for n in os.listdir(d) if os.path.isfile(os.path.join(d, n)))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--mb", type=float, default=64)
    ap.add_argument("--files", type=int, default=16)
    ap.add_argument("--workers", default="1,2")
    ap.add_argument("--line-bytes", type=int, default=1000)
    ap.add_argument("--chunk-mb", type=float, default=64)
    ap.add_argument("--no-line-by-line", action="store_true", help="skip the (slow) plain-Python path")
    args = ap.parse_args()
    from distributed import Client, LocalCluster

    base = tempfile.mkdtemp(prefix="vl-bench-dist-")
    try:
        data = os.path.join(base, "data")
        os.makedirs(data)
        paths = make_data(data, args.files, int(args.mb * 1e6), args.line_bytes)
        size = sum(os.path.getsize(p) for p in paths)
        mb = size / 1e6
        print(f"data: {args.files} files, {mb:.1f} MB, lines of about {args.line_bytes} bytes; "
              f"{os.cpu_count()} processors")

        root, section = fresh_store(base, "one")
        t = time.perf_counter()
        one_process(root, paths, section)
        base_s = time.perf_counter() - t
        print(f"{'one process (baseline)':24} {base_s:8.2f} s {mb / base_s:8.2f} MB/s   ratio 1.00")
        if not args.no_line_by_line:
            r, sec = fresh_store(base, "lines")
            t = time.perf_counter()
            line_by_line(r, paths, sec)
            s = time.perf_counter() - t
            print(f"{'one process, line by line':24} {s:8.2f} s {mb / s:8.2f} MB/s   ratio {base_s / s:.2f}")
            shutil.rmtree(r)
        docs = native.read_all_documents(root)
        status = native.token_index_token_status(root, "whitespace")

        for n in [int(w) for w in args.workers.split(",")]:
            r, sec = fresh_store(base, f"cluster-{n}")
            t = time.perf_counter()
            with LocalCluster(n_workers=n, threads_per_worker=1, processes=True, dashboard_address=None,
                              silence_logs=logging.ERROR) as lc, Client(lc) as client:
                client.wait_for_workers(n)
                start_s = time.perf_counter() - t
                t = time.perf_counter()
                res = distributed.track(r, [(p, os.path.basename(p)) for p in paths], [sec], "whitespace",
                                        client=client, chunk_bytes=int(args.chunk_mb * 1e6))
                run_s = time.perf_counter() - t
            same = native.token_index_token_status(r, "whitespace") == status and \
                layer_bytes(r, "document-index") == layer_bytes(root, "document-index")
            print(f"{f'cluster of {n}':24} {run_s:8.2f} s {mb / run_s:8.2f} MB/s   ratio {base_s / run_s:.2f}   "
                  f"merges {res.merge_seconds:.2f} s ({res.parts} parts, depth {res.depth})   "
                  f"start-up {start_s:.1f} s   same store: {same}")

        doc_bytes = layer_bytes(root, "document-index")
        token_bytes = sum(os.path.getsize(p) for p in distributed._merged_files(root, "whitespace"))
        entries = status["total_entries"]
        print(f"records: {len(docs)} document records, {doc_bytes / len(docs):.0f} bytes each; "
              f"{entries} token entries, {token_bytes / entries:.0f} bytes each; "
              f"{size / len(docs):.0f} data bytes per line")
        try:
            native.token_index_build_binary_index(root, "whitespace")
            bi = os.path.getsize(os.path.join(root, ".vl", "token-index.whitespace.bin"))
            print(f"token binary index: {bi} bytes, {bi / entries:.1f} per entry (one source per entry)")
        except RuntimeError as e:  # one source listed by more entries than a source record holds
            print(f"token binary index: {e}")
        try:
            native.build_index(root)
            print("index build: done")
        except RuntimeError as e:  # every token line of one source makes one reference of that key
            print(f"index build: {e}")
    finally:
        shutil.rmtree(base, ignore_errors=True)


if __name__ == "__main__":
    main()
