"""Throughput of purge_revoked over a generated data file with 10% of its
lines revoked, with 1 and 2 workers, against plain Python doing the same work
in the same run.

    PYTHONPATH=<dir holding the built vl package> python3 bench/bench_purge.py [--mb 200] [--repeats 2]

Each native purge runs in a child process (the pool size is fixed when the
pool starts) on a fresh copy of the file; its wall time around the call, its
CPU time (all threads), its peak resident size and where the time went
(bulk.purge with measure: CPU deciding the lines, i.e. reading, hashing and
looking them up; making archive records; writing; and the wall time of the
final syncs) are reported, with the load average.  The plain-Python baseline
reads the lines, json.loads each, writes the canonical text with json.dumps
(sorted keys, compact, non-ASCII kept), hashes it with hashlib.sha256, looks
the hash up in a set, and writes the kept lines and the archived ones.  MB are
10^6 bytes of the data file; best of --repeats.  "per core" rates divide by
CPU time, which other load on a shared machine does not inflate; wall-clock
rates show the speed-up from a second worker only on an otherwise idle
machine.  The ratios (measured in the same run) are what count.
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

import vl._vl_native as native

WORDS = ("the of and to in is data model token licence author section line file hash store "
         "provenance revoke purge index shard merge clean query blame diff über café naïve "
         "東京 данные δεδομένα").split()

CHILD = r"""
import json, resource, sys, time
import vl._vl_native as native
from vl import _vl_bulk as bulk
root, data = sys.argv[1:3]
def cpu():
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime
t, c = time.perf_counter(), cpu()
r = bulk.purge(root, data, measure=True)
seconds, cpu_seconds = time.perf_counter() - t, cpu() - c
print(json.dumps({"seconds": seconds, "cpu": cpu_seconds, "purged": r["purged"], "phases": r["phases"],
                  "maxrss_mb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024}))
"""


def make_line(rng, i):
    text = " ".join(rng.choice(WORDS) for _ in range(rng.randint(15, 35)))
    value = {"id": i, "text": text,
             "meta": {"lang": rng.choice(["en", "de", "ja", "ru"]), "score": rng.random(),
                      "tokens": rng.randint(10, 4000), "tags": rng.sample(["web", "code", "book", "wiki"], 2),
                      "flags": {"dedup": rng.random() < 0.5, "pii": None}}}
    return json.dumps(value, ensure_ascii=False)


def canonical_hash(line):
    value = json.loads(line)
    text = json.dumps(value, sort_keys=True, separators=(",", ":"), ensure_ascii=False)
    return hashlib.sha256(text.encode()).hexdigest()


def python_purge(data, revoked, out_path, archive_path):
    with open(data, encoding="utf-8") as src, open(out_path, "w", encoding="utf-8") as out, \
            open(archive_path, "w", encoding="utf-8") as archive:
        for line in src:
            line = line.rstrip("\r\n")
            if not line:
                continue
            try:
                gone = canonical_hash(line) in revoked
            except ValueError:
                gone = False
            (archive if gone else out).write(line + "\n")


def sync_file(path):
    # A data file being purged has been on disk for a while: its pages are
    # clean, not waiting to be written as those of a copy just made.
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def load():
    return ", ".join(f"{x:.2f}" for x in os.getloadavg())


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--mb", type=int, default=200)
    ap.add_argument("--repeats", type=int, default=2)
    args = ap.parse_args()

    work = tempfile.mkdtemp(prefix="vl-bench-purge.")
    try:
        root = os.path.join(work, "project")
        native.init(root)
        pristine = os.path.join(work, "pristine.jsonl")
        rng = random.Random(7)
        revoked, size, lines = [], 0, 0
        with open(pristine, "w", encoding="utf-8") as f:
            while size < args.mb * 10**6:
                line = make_line(rng, lines)
                f.write(line + "\n")
                size += len(line.encode()) + 1
                if lines % 10 == 0:
                    revoked.append(native.compute_hash(json.loads(line)))
                lines += 1
        listing = os.path.join(root, ".vl", "document-index", "revoked")
        os.makedirs(listing)
        with open(os.path.join(listing, "all"), "w") as f:
            for h in revoked:
                f.write(json.dumps({"line_hash": h, "file": "data.jsonl", "sources": []}) + "\n")
        sync_file(pristine)
        mb = size / 1e6
        print(f"data file: {mb:.0f} MB, {lines} lines of {size // lines} bytes on average, "
              f"{len(revoked)} revoked (10%)")

        data = os.path.join(work, "data.jsonl")
        print(f"load average before: {load()}")
        results = {}
        for workers in (1, 2):
            best = None
            for _ in range(args.repeats):
                shutil.copyfile(pristine, data)
                sync_file(data)
                shutil.rmtree(os.path.join(root, ".vl", "archive"), ignore_errors=True)
                env = dict(os.environ, RAYON_NUM_THREADS=str(workers))
                out = subprocess.run([sys.executable, "-P", "-c", CHILD, root, data], env=env,
                                     check=True, capture_output=True, text=True).stdout
                r = json.loads(out)
                assert r["purged"] == len(revoked), r
                best = r if best is None or r["seconds"] < best["seconds"] else best
            results[workers] = best

        py_wall = py_cpu = None
        revoked_set = set(revoked)
        for _ in range(args.repeats):
            t, c = time.perf_counter(), time.process_time()
            python_purge(pristine, revoked_set, data, os.path.join(work, "archive.jsonl"))
            w, c = time.perf_counter() - t, time.process_time() - c
            py_wall, py_cpu = (w, c) if py_wall is None else (min(py_wall, w), min(py_cpu, c))

        py_rate = mb / py_cpu
        print(f"plain Python:              {py_rate:7.1f} MB/s per core, {mb / py_wall:7.1f} MB/s wall")
        for workers in (1, 2):
            p = results[workers]
            ph = p["phases"]
            rate = mb / p["cpu"]
            other = p["cpu"] - ph["decide"] - ph["archive"] - ph["write"]
            print(f"purge_revoked, {workers} worker{'s' if workers > 1 else ' '}: {rate:7.1f} MB/s per core, "
                  f"{mb / p['seconds']:7.1f} MB/s wall  (x{rate / py_rate:.1f} plain Python per core; "
                  f"peak RSS {p['maxrss_mb']:.0f} MB)")
            print(f"    CPU {p['cpu']:.2f} s: deciding {ph['decide']:.2f} s, archive records {ph['archive']:.2f} s, "
                  f"writing {ph['write']:.2f} s, other {other:.2f} s; waiting for the disk {ph['sync']:.2f} s")
        s1, s2 = results[1]["seconds"], results[2]["seconds"]
        print(f"1 -> 2 workers, wall: x{s1 / s2:.2f}")
        print(f"load average after: {load()}")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
