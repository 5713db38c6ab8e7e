"""Throughput of the JSONL reader and of the content hash, native vs plain
Python, on a generated file of typical data lines.

    PYTHONPATH=<dir holding the built vl package> python3 bench/bench_jsonl.py \
        [--mb 64] [--native BUILD/bench_json] [--repeats 3]

Prints:
  (a) jsonl_read vs [json.loads(line) for line in file], MB/s;
  (b) compute_hash(obj) per line vs sha256 of json.dumps(obj, sort_keys=True,
      separators=(",", ":"), ensure_ascii=False), lines/s, MB/s and ratio;
  (c) the native reader, writer and SHA-256 on one core without Python
      (the bench_json executable: ninja -C BUILD bench_json).
MB are 10^6 bytes of line text; times are the best of --repeats runs, in CPU
time of the calling thread (other load on a shared machine does not count).
A plain script, not a test.
"""

import argparse
import gc
import glob
import hashlib
import json
import os
import random
import subprocess
import sys
import tempfile
import time

import vl._vl_native as native

WORDS = ("the of and to in is data model token licence author section line file hash store "
         "provenance revoke purge index shard merge clean query blame diff über café naïve "
         "東京 данные δεδομένα").split()


def make_record(rng, i):
    text = " ".join(rng.choice(WORDS) for _ in range(rng.randint(15, 45)))
    if rng.random() < 0.2:
        text += '\n"quoted" \\ tab\t'
    return {
        "id": i,
        "text": text,
        "meta": {
            "source": f"data/shard-{rng.randint(0, 999):03}.jsonl",
            "lang": rng.choice(["en", "de", "fr", "ja", "ru"]),
            "score": rng.random(),
            "tokens": rng.randint(10, 4000),
            "tags": rng.sample(["web", "code", "book", "news", "wiki", "forum"], 2),
            "flags": {"dedup": rng.random() < 0.5, "pii": None},
        },
        "scores": [round(rng.uniform(-1, 1), 6) for _ in range(4)],
        "author": {"name": f"Author {rng.randint(0, 5000)}", "email": f"a{i % 977}@example.org"},
    }


def generate(path, megabytes, seed=1):
    rng = random.Random(seed)
    target = megabytes * 1_000_000
    size = lines = 0
    with open(path, "w", encoding="utf-8") as f:
        while size < target:
            line = json.dumps(make_record(rng, lines), ensure_ascii=False) + "\n"
            f.write(line)
            size += len(line.encode("utf-8"))
            lines += 1
    return size, lines


def best_of(repeats, fn):
    best, result = float("inf"), None
    for _ in range(repeats):
        gc.collect()
        t0 = time.thread_time()
        result = fn()
        best = min(best, time.thread_time() - t0)
    return best, result


def best_of_pair(repeats, fn_a, fn_b):
    """Best times of two functions run in turns, so that a change of load on
    a shared machine weighs on both alike; returns both times and results."""
    best_a = best_b = float("inf")
    for _ in range(repeats):
        t, result_a = best_of(1, fn_a)
        best_a = min(best_a, t)
        t, result_b = best_of(1, fn_b)
        best_b = min(best_b, t)
    return best_a, best_b, result_a, result_b


def python_read(path):
    with open(path, encoding="utf-8") as f:
        return [json.loads(line) for line in f]


def python_hash(obj):
    text = json.dumps(obj, sort_keys=True, separators=(",", ":"), ensure_ascii=False)
    return hashlib.sha256(text.encode()).hexdigest()


def find_native(explicit):
    if explicit:
        return explicit
    repo = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    for pattern in ("build/*/bench_json", "build/bench_json", "builddir/bench_json"):
        found = sorted(glob.glob(os.path.join(repo, pattern)))
        if found:
            return found[0]
    return None


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--mb", type=int, default=64, help="size of the generated file in MB")
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--native", help="path of the bench_json executable")
    ap.add_argument("--keep", action="store_true", help="keep the generated file")
    args = ap.parse_args()

    tmp = tempfile.mkdtemp(prefix="vl-bench-")
    path = os.path.join(tmp, "data.jsonl")
    size, lines = generate(path, args.mb)
    mb = size / 1e6
    print(f"file: {lines} lines, {mb:.1f} MB, {size / lines:.0f} bytes/line ({sys.version.split()[0]})")

    # (a) reading
    t_native, t_python, native_values, values = best_of_pair(
        args.repeats, lambda: native.jsonl_read(path), lambda: python_read(path))
    assert len(native_values) == lines
    del native_values
    print("\n(a) reading the file into Python objects")
    print(f"  {'jsonl_read':<34} {t_native:7.2f} s {mb / t_native:8.1f} MB/s")
    print(f"  {'[json.loads(l) for l in f]':<34} {t_python:7.2f} s {mb / t_python:8.1f} MB/s")
    print(f"  ratio {t_python / t_native:.2f}x")

    # (b) canonical text + SHA-256 per line
    objs = values
    t_nh, t_ph, _, _ = best_of_pair(args.repeats, lambda: [native.compute_hash(o) for o in objs],
                                    lambda: [python_hash(o) for o in objs])
    print("\n(b) content hash of every line's object")
    for name, t in (("compute_hash(obj)", t_nh), ("sha256(json.dumps(sorted, compact))", t_ph)):
        print(f"  {name:<34} {t:7.2f} s {mb / t:8.1f} MB/s {lines / t:10.0f} lines/s")
    print(f"  ratio {t_ph / t_nh:.2f}x (compute_hash goes through json.dumps and the native reader)")
    del objs, values

    # (c) native, no Python
    exe = find_native(args.native)
    print("\n(c) native reader and writer, one core, no Python")
    if exe and os.path.exists(exe):
        sys.stdout.flush()
        subprocess.run([exe, path, str(args.repeats)], check=True)
    else:
        print("  bench_json not found: build it with `ninja -C BUILD bench_json` "
              "and pass --native BUILD/bench_json")

    if args.keep:
        print(f"\nkept {path}")
    else:
        os.remove(path)
        os.rmdir(tmp)


if __name__ == "__main__":
    main()
