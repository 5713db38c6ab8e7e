"""Throughput of whole-file tracking (vl._vl_bulk.track_file, what `vl track`
runs) against tracking line by line from Python, on a generated data file.

    PYTHONPATH=<dir holding the built vl package> python3 bench/bench_track.py [--mb 64] [--python-mb 8]

Prints MB/s of data file for:
  track_file on 1 worker and on 2 workers (each in a fresh process with
  RAYON_NUM_THREADS set, whitespace token counts on), best of --repeats;
  the plain-Python way: for each line json.loads + native.track (one
  crossing, json.dumps and one append per line), on the first --python-mb MB;
and the ratios.  Times are wall-clock (the native run uses several threads):
on a shared, busy machine take the ratios, not the absolute figures.
A plain script, not a test.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_jsonl import generate  # noqa: E402

import vl._vl_native as native  # noqa: E402

CHILD = """
import sys, time, vl._vl_native as native, vl._vl_bulk as bulk
root, path = sys.argv[1], sys.argv[2]
native.init(root)
t0 = time.perf_counter()
r = bulk.track_file(root, path, "data.jsonl", ["s"], tokenizer="whitespace")
print(time.perf_counter() - t0, r["recorded"], len(r["invalid"]))
"""


def native_run(tmp, path, workers, repeats):
    best = float("inf")
    for k in range(repeats):
        root = os.path.join(tmp, f"native-{workers}-{k}")
        os.mkdir(root)
        env = dict(os.environ, RAYON_NUM_THREADS=str(workers))
        out = subprocess.run([sys.executable, "-c", CHILD, root, path], env=env, check=True,
                             capture_output=True, text=True).stdout.split()
        best = min(best, float(out[0]))
        subprocess.run(["rm", "-rf", root], check=True)
    return best, int(out[1])


def python_run(tmp, path, limit):
    root = os.path.join(tmp, "python")
    os.mkdir(root)
    native.init(root)
    size = 0
    t0 = time.perf_counter()
    with open(path, "rb") as f:
        for raw in f:
            size += len(raw)
            value = json.loads(raw)
            tokens = len("\n".join(v for v in walk(value)).split())
            native.track(value, "data.jsonl", ["s"], root, tokens, "whitespace")
            if size >= limit:
                break
    return time.perf_counter() - t0, size


def walk(v):
    if isinstance(v, str):
        yield v
    elif isinstance(v, dict):
        for x in v.values():
            yield from walk(x)
    elif isinstance(v, list):
        for x in v:
            yield from walk(x)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--mb", type=int, default=64, help="size of the generated file in MB")
    ap.add_argument("--python-mb", type=int, default=8, help="MB the line-by-line baseline tracks")
    ap.add_argument("--repeats", type=int, default=2)
    args = ap.parse_args()
    with tempfile.TemporaryDirectory(prefix="vl-bench-track-") as tmp:
        path = os.path.join(tmp, "data.jsonl")
        size, lines = generate(path, args.mb)
        mb = size / 1e6
        print(f"file: {lines} lines, {mb:.1f} MB, {size / lines:.0f} bytes/line")
        t1, recorded = native_run(tmp, path, 1, args.repeats)
        assert recorded == lines
        t2, _ = native_run(tmp, path, 2, args.repeats)
        tp, psize = python_run(tmp, path, args.python_mb * 1_000_000)
        py_rate = psize / 1e6 / tp
        print(f"  {'track_file, 1 worker':<34} {t1:7.2f} s {mb / t1:8.1f} MB/s")
        print(f"  {'track_file, 2 workers':<34} {t2:7.2f} s {mb / t2:8.1f} MB/s")
        print(f"  {'json.loads + track per line':<34} {tp:7.2f} s {py_rate:8.1f} MB/s "
              f"(first {psize / 1e6:.1f} MB)")
        print(f"  ratio 1 worker / Python {mb / t1 / py_rate:.1f}x, 2 workers / 1 worker {t1 / t2:.2f}x")


if __name__ == "__main__":
    main()
