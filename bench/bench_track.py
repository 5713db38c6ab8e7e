"""Throughput of whole-file tracking (vl._vl_bulk.track_file, what `vl track`
runs) against tracking line by line from Python, on a generated data file.

    PYTHONPATH=<dir holding the built vl package> python3 bench/bench_track.py \
        [--mb 64] [--python-mb 4] [--repeats 2] [--file DATA.jsonl]

Prints, for track_file with whitespace token counts on 1 worker and on 2
workers (each in a fresh process with RAYON_NUM_THREADS set, best of
--repeats): MB/s wall-clock, MB/s per core (MB over the process's CPU time),
peak resident size; where the CPU time of one measured run goes (reading
lines into canonical text and hashing them, counting whitespace tokens,
making the records, writing them); the plain-Python way (per line json.loads
+ a whitespace count + native.track: one crossing, one append per line) on
the first --python-mb MB; the ratios, and the load average before and after.
--file tracks an existing file instead of generating one (its size rules).
On a shared, busy machine take the per-core figures and the ratios, not the
absolute wall-clock rates; the 1 -> 2 worker ratio needs a machine otherwise
idle.  A plain script, not a test.
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
import json, resource, sys, time, vl._vl_native as native, vl._vl_bulk as bulk
root, path, measure = sys.argv[1], sys.argv[2], sys.argv[3] == "1"
native.init(root)
def cpu():
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime
t0, c0 = time.perf_counter(), cpu()
r = bulk.track_file(root, path, "data.jsonl", ["s"], tokenizer="whitespace", measure=measure)
print(json.dumps({"seconds": time.perf_counter() - t0, "cpu": cpu() - c0, "recorded": r["recorded"],
                  "invalid": len(r["invalid"]), "phases": r.get("phases"),
                  "maxrss_mb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024}))
"""


def native_run(tmp, path, workers, measure=False):
    root = os.path.join(tmp, f"native-{workers}")
    os.mkdir(root)
    env = dict(os.environ, RAYON_NUM_THREADS=str(workers))
    try:
        out = subprocess.run([sys.executable, "-P", "-c", CHILD, root, path, "1" if measure else "0"], env=env,
                             check=True, capture_output=True, text=True).stdout
    finally:
        subprocess.run(["rm", "-rf", root], check=True)
    return json.loads(out)


def best_run(tmp, path, workers, repeats):
    runs = [native_run(tmp, path, workers) for _ in range(repeats)]
    return min(runs, key=lambda r: r["seconds"]), min(r["cpu"] for r in runs)


def python_run(tmp, path, limit):
    root = os.path.join(tmp, "python")
    os.mkdir(root)
    native.init(root)
    size = 0
    t0, c0 = time.perf_counter(), time.process_time()
    with open(path, "rb") as f:
        for raw in f:
            size += len(raw)
            value = json.loads(raw)
            tokens = len("\n".join(v for v in walk(value)).split())
            native.track(value, "data.jsonl", ["s"], root, tokens, "whitespace")
            if size >= limit:
                break
    return time.perf_counter() - t0, time.process_time() - c0, size


def walk(v):
    if isinstance(v, str):
        yield v
    elif isinstance(v, dict):
        for x in v.values():
            yield from walk(x)
    elif isinstance(v, list):
        for x in v:
            yield from walk(x)


def load():
    return "load average " + ", ".join(f"{x:.2f}" for x in os.getloadavg())


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--mb", type=int, default=64, help="size of the generated file in MB")
    ap.add_argument("--python-mb", type=int, default=4, help="MB the line-by-line baseline tracks")
    ap.add_argument("--repeats", type=int, default=2)
    ap.add_argument("--file", help="track this data file instead of a generated one")
    args = ap.parse_args()
    with tempfile.TemporaryDirectory(prefix="vl-bench-track-") as tmp:
        path = args.file
        if path is None:
            path = os.path.join(tmp, "data.jsonl")
            generate(path, args.mb)
        size = os.path.getsize(path)
        mb = size / 1e6
        print(f"file: {mb:.1f} MB; {load()}")
        results = {w: best_run(tmp, path, w, args.repeats) for w in (1, 2)}
        measured = native_run(tmp, path, 1, measure=True)
        tp, tcpu, psize = python_run(tmp, path, args.python_mb * 1_000_000)
        py_rate = psize / 1e6 / tcpu
        for w, (r, cpu) in results.items():
            assert r["invalid"] == 0 and r["recorded"] == measured["recorded"], r
            print(f"  track_file, {w} worker{'s' if w > 1 else ' '}  {r['seconds']:7.2f} s {mb / r['seconds']:7.1f} MB/s "
                  f"wall, {mb / cpu:7.1f} MB/s per core, peak RSS {r['maxrss_mb']:.0f} MB")
        print(f"  Python line by line     {tp:7.2f} s {psize / 1e6 / tp:7.1f} MB/s wall, {py_rate:7.1f} MB/s "
              f"per core (first {psize / 1e6:.1f} MB)")
        ph = measured["phases"]
        other = measured["cpu"] - sum(ph.values())
        print(f"  CPU of one measured run on 1 worker, {measured['cpu']:.2f} s: hashing {ph['hash']:.2f} s, "
              f"tokens {ph['tokens']:.2f} s, records {ph['record']:.2f} s, writing {ph['write']:.2f} s, "
              f"other {other:.2f} s")
        (r1, c1), (r2, _) = results[1], results[2]
        print(f"  ratio per core 1 worker / Python {mb / c1 / py_rate:.1f}x; "
              f"wall 2 workers / 1 worker {r1['seconds'] / r2['seconds']:.2f}x")
        print(f"  {load()}")


if __name__ == "__main__":
    main()
