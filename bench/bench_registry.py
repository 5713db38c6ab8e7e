"""Benchmark of the provenance registry.

(a) track(data, file, sources, vl_dir, token_count, tokenizer) calls per
    second from Python, for typical data lines (dicts of a few hundred bytes),
    against the same work in plain Python in the same run: canonical JSON
    (json.dumps with sorted keys, compact separators, ensure_ascii=False),
    SHA-256, and appending the document record to its shard and the token
    entry to this process's token file, each file opened for append per call
    as the native code does.
(b) author_query(vl_dir, name, None), a scan of every author file, over a
    store of 100,000 authors registered with author_add, run in child
    processes with RAYON_NUM_THREADS=1 and 2 (with a plain-Python scan of the
    same files in the first child for comparison).

Run: PYTHONPATH=<dir holding the built vl package> python3 bench/bench_registry.py \
        [--calls 20000] [--authors 100000] [--queries 10] [--repeats 3]

Figures are best of --repeats, in wall-clock time and in CPU time of the
process (user + system, all threads; the work is mostly file appends and
reads, so system time counts, and CPU time is what other load on a shared
machine disturbs least).  A plain script, not a test.
"""

import argparse
import hashlib
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

from vl import _vl_native as native

WORDS = ("the of and to in is was for on that with as by at from this have are be "
         "which or an one had not but all were when we there can been has more if "
         "will would who so no out up into do time only about").split()


def make_lines(n, seed=7):
    rng = random.Random(seed)
    lines = []
    for k in range(n):
        text = " ".join(rng.choice(WORDS) for _ in range(rng.randint(40, 70)))
        lines.append({
            "id": f"doc-{k:08d}",
            "text": text,
            "meta": {"lang": "en", "source": "web", "score": round(rng.random(), 4),
                     "tags": rng.sample(["news", "blog", "wiki", "forum", "code"], 2)},
        })
    return lines


def sources_for(k):
    return [hashlib.sha256(f"section {k % 50}".encode()).hexdigest()]


def run_native(root, lines):
    for k, data in enumerate(lines):
        native.track(data, "data/train.jsonl", sources_for(k), root,
                     token_count=len(data["text"]) // 4, tokenizer="whitespace")


def run_python(root, lines):
    store = os.path.join(root, ".vl")
    token_file = os.path.join(store, f"token-index.whitespace.{os.getpid()}")
    for k, data in enumerate(lines):
        text = json.dumps(data, sort_keys=True, separators=(",", ":"), ensure_ascii=False)
        line_hash = hashlib.sha256(text.encode("utf-8")).hexdigest()
        sources = sources_for(k)
        doc = json.dumps({"file": "data/train.jsonl", "line_hash": line_hash, "revoked": False,
                          "source_type": "track", "sources": sources},
                         separators=(",", ":"), ensure_ascii=False)
        with open(os.path.join(store, "document-index", line_hash[:2]), "a", encoding="utf-8") as f:
            f.write(doc + "\n")
        token = json.dumps({"token_count": len(data["text"]) // 4, "sources": sources,
                            "tokenizer": "whitespace", "revoked": False},
                           separators=(",", ":"), ensure_ascii=False)
        with open(token_file, "a", encoding="utf-8") as f:
            f.write(token + "\n")


def bench_track(work, calls, repeats):
    lines = make_lines(calls)
    size = sum(len(json.dumps(d, separators=(",", ":"), ensure_ascii=False)) for d in lines) / calls
    print(f"(a) track: {calls} calls per run, data lines of {size:.0f} bytes on average")
    best = {}
    for name, fn in (("native track", run_native), ("plain Python", run_python)):
        wall, cpu = [], []
        for r in range(repeats):
            root = os.path.join(work, f"track-{name.split()[0]}-{r}")
            native.init(root)
            t0, c0 = time.perf_counter(), time.process_time()
            fn(root, lines)
            wall.append(time.perf_counter() - t0)
            cpu.append(time.process_time() - c0)
            shutil.rmtree(root)
        best[name] = (min(wall), min(cpu))
        print(f"    {name:13s} wall {calls / min(wall):>8,.0f} calls/s ({min(wall) * 1e6 / calls:5.1f} us/call)"
              f"   cpu {calls / min(cpu):>8,.0f} calls/s ({min(cpu) * 1e6 / calls:5.1f} us/call)")
    w = best["plain Python"][0] / best["native track"][0]
    c = best["plain Python"][1] / best["native track"][1]
    print(f"    native speed-up over plain Python: {w:.2f}x wall, {c:.2f}x cpu")


CHILD = r"""
import json, os, sys, time
from vl import _vl_native as native
root, queries, baseline = sys.argv[1], int(sys.argv[2]), sys.argv[3] == "1"
names = [f"name{k}" for k in range(queries)]
native.author_query(root, names[0], None)  # start the pool, warm the page cache
t0, c0 = time.perf_counter(), time.process_time()
found = sum(len(native.author_query(root, n, None)) for n in names)
out = {"native": (time.perf_counter() - t0) / queries,
       "native_cpu": (time.process_time() - c0) / queries, "found": found}
if baseline:
    d = os.path.join(root, ".vl", "authors")
    t0, c0 = time.perf_counter(), time.process_time()
    for n in names[:3]:
        hits = []
        for fname in os.listdir(d):
            with open(os.path.join(d, fname), encoding="utf-8") as f:
                for line in f:
                    try:
                        a = json.loads(line)
                    except ValueError:
                        continue
                    if a.get("name") == n and isinstance(a.get("revoked"), bool):
                        hits.append(a)
    out["python"] = (time.perf_counter() - t0) / 3
    out["python_cpu"] = (time.process_time() - c0) / 3
print(json.dumps(out))
"""


def bench_scan(work, authors, queries, repeats):
    root = os.path.join(work, "authors")
    native.init(root)
    t0 = time.perf_counter()
    for k in range(authors):
        native.author_add(f"name{k % 1000}", f"user{k}@example.org", root)
    add_time = time.perf_counter() - t0
    files = os.listdir(os.path.join(root, ".vl", "authors"))
    size = sum(os.path.getsize(os.path.join(root, ".vl", "authors", f)) for f in files)
    print(f"(b) author_query(vl_dir, name, None) over {authors:,} authors "
          f"({len(files)} files, {size / 1e6:.1f} MB); registering them took {add_time:.1f} s "
          f"({authors / add_time:,.0f} author_add/s)")
    env_base = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    for threads in (1, 2):
        env = dict(env_base, RAYON_NUM_THREADS=str(threads))
        results = []
        for r in range(repeats):
            out = subprocess.run([sys.executable, "-P", "-c", CHILD, root, str(queries),
                                  "1" if threads == 1 and r == 0 else "0"],
                                 env=env, check=True, capture_output=True, text=True).stdout
            results.append(json.loads(out))
        per_query = min(r["native"] for r in results)
        cpu = min(r["native_cpu"] for r in results)
        print(f"    RAYON_NUM_THREADS={threads}: {per_query * 1e3:6.1f} ms/query wall "
              f"({1 / per_query:5.1f} queries/s), {cpu * 1e3:6.1f} ms CPU/query; "
              f"{results[0]['found'] // queries} records found per query")
        if threads == 1:
            print(f"    plain Python scan (json.loads per line): {results[0]['python'] * 1e3:6.1f} ms/query wall, "
                  f"{results[0]['python_cpu'] * 1e3:6.1f} ms CPU/query")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--calls", type=int, default=20_000)
    ap.add_argument("--authors", type=int, default=100_000)
    ap.add_argument("--queries", type=int, default=10)
    ap.add_argument("--repeats", type=int, default=3)
    args = ap.parse_args()
    work = tempfile.mkdtemp(prefix="bench-registry-")
    try:
        bench_track(work, args.calls, args.repeats)
        bench_scan(work, args.authors, args.queries, args.repeats)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
