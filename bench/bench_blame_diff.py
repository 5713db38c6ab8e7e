"""Benchmark of the line diff: blame_diff against difflib.

Two versions of a file of 10,000 and of 100,000 lines, the second with 1% of
the lines changed (a mix of edited, deleted and inserted lines spread over
the file), diffed by _vl_native.blame_diff and by difflib.SequenceMatcher in
the same run.  The two versions are distinct str objects, as two files read
separately are.  Where the time of blame_diff goes is shown by calls that do
less: with one list empty (the arguments are only converted) and with two
equal lists (converted and interned, no search).  Last, two lists of 100,000
lines with nothing in common.  Times are CPU times of this process (the
machine may be shared).

Run: PYTHONPATH=<dir holding the built vl package> python3 bench/bench_blame_diff.py [--lines N ...]
"""

import argparse
import difflib
import os
import random
import statistics
import time

from vl import _vl_native

CHANGED_FRACTION = 0.01


def make_versions(lines, seed=1234):
    rng = random.Random(seed)
    # JSONL-like lines, with some repeated ones (blank-ish records, common
    # values) so that the diff has to cope with equal lines in many places.
    common = [f'{{"text": "boilerplate {k}"}}\n' for k in range(20)]
    old = []
    for k in range(lines):
        if rng.random() < 0.05:
            old.append(rng.choice(common))
        else:
            old.append(f'{{"id": {k}, "text": "{rng.getrandbits(64):016x} line {k}"}}\n')
    new = list(old)
    changes = int(lines * CHANGED_FRACTION)
    for pos in sorted(rng.sample(range(lines), changes), reverse=True):
        kind = rng.randrange(3)
        if kind == 0:
            new[pos] = new[pos].replace("line", "edited line")
        elif kind == 1:
            del new[pos]
        else:
            new.insert(pos, f'{{"inserted": {pos}}}\n')
    # The new version's own str objects, as if read from another file.
    return old, [line.encode().decode() for line in new]


def best_time(fn, repeats):
    times = []
    result = None
    for _ in range(repeats):
        start = time.process_time()
        result = fn()
        times.append(time.process_time() - start)
    return min(times), statistics.median(times), result


def changed(ops):
    return sum((i2 - i1) + (j2 - j1) for tag, i1, i2, j1, j2 in ops if tag != "equal")


def one_size(lines):
    repeats = 7 if lines <= 20_000 else 3
    old, new = make_versions(lines)
    same = [line.encode().decode() for line in old]
    native_best, native_median, native_ops = best_time(lambda: _vl_native.blame_diff(old, new), repeats)
    difflib_best, difflib_median, difflib_ops = best_time(
        lambda: difflib.SequenceMatcher(None, old, new).get_opcodes(), repeats
    )
    convert_best = best_time(lambda: _vl_native.blame_diff(old, []), repeats)[0]
    convert_best += best_time(lambda: _vl_native.blame_diff([], new), repeats)[0]
    intern_best = best_time(lambda: _vl_native.blame_diff(old, same), repeats)[0]
    assert native_ops == difflib_ops or changed(native_ops) <= changed(difflib_ops)

    print(f"old: {len(old)} lines, new: {len(new)} lines, {int(lines * CHANGED_FRACTION)} changes")
    print(f"  blame_diff: best {native_best * 1e3:8.3f} ms, median {native_median * 1e3:8.3f} ms, "
          f"{len(native_ops)} opcodes, {changed(native_ops)} changed lines")
    print(f"  difflib:    best {difflib_best * 1e3:8.3f} ms, median {difflib_median * 1e3:8.3f} ms, "
          f"{len(difflib_ops)} opcodes, {changed(difflib_ops)} changed lines")
    print(f"  speed-up (difflib / blame_diff, best times): {difflib_best / native_best:.1f}x")
    print(f"  where blame_diff's time goes: converting the arguments {convert_best * 1e3:.3f} ms, "
          f"+ interning {max(intern_best - convert_best, 0) * 1e3:.3f} ms, "
          f"+ search, compaction, result {max(native_best - intern_best, 0) * 1e3:.3f} ms")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--lines", type=int, nargs="+", default=[10_000, 100_000])
    args = parser.parse_args()
    for lines in args.lines:
        one_size(lines)
    old = [f"a{i}" for i in range(100_000)]
    new = [f"b{i}" for i in range(100_000)]
    best = best_time(lambda: _vl_native.blame_diff(old, new), 3)[0]
    print(f"100,000 vs 100,000 lines with nothing in common: {best * 1e3:.1f} ms")
    print(f"load average {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
