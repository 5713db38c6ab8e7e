"""Benchmark of the line diff: blame_diff against difflib.

Two versions of a 10,000-line file, the second with 1% of the lines changed
(a mix of edited, deleted and inserted lines spread over the file), diffed by
_vl_native.blame_diff and by difflib.SequenceMatcher in the same run.

Run: PYTHONPATH=<dir holding the built vl package> python3 bench/bench_blame_diff.py
"""

import difflib
import random
import statistics
import time

from vl import _vl_native

LINES = 10_000
CHANGED_FRACTION = 0.01
REPEATS = 7


def make_versions(seed=1234):
    rng = random.Random(seed)
    # JSONL-like lines, with some repeated ones (blank-ish records, common
    # values) so that the diff has to cope with equal lines in many places.
    common = [f'{{"text": "boilerplate {k}"}}\n' for k in range(20)]
    old = []
    for k in range(LINES):
        if rng.random() < 0.05:
            old.append(rng.choice(common))
        else:
            old.append(f'{{"id": {k}, "text": "{rng.getrandbits(64):016x} line {k}"}}\n')
    new = list(old)
    changes = int(LINES * CHANGED_FRACTION)
    for pos in sorted(rng.sample(range(LINES), changes), reverse=True):
        kind = rng.randrange(3)
        if kind == 0:
            new[pos] = new[pos].replace("line", "edited line")
        elif kind == 1:
            del new[pos]
        else:
            new.insert(pos, f'{{"inserted": {pos}}}\n')
    return old, new


def best_time(fn, repeats=REPEATS):
    times = []
    result = None
    for _ in range(repeats):
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
    return min(times), statistics.median(times), result


def main():
    old, new = make_versions()
    native_best, native_median, native_ops = best_time(lambda: _vl_native.blame_diff(old, new))
    difflib_best, difflib_median, difflib_ops = best_time(
        lambda: difflib.SequenceMatcher(None, old, new).get_opcodes()
    )

    def changed(ops):
        return sum((i2 - i1) + (j2 - j1) for tag, i1, i2, j1, j2 in ops if tag != "equal")

    print(f"old: {len(old)} lines, new: {len(new)} lines, {int(LINES * CHANGED_FRACTION)} changes")
    print(f"blame_diff: best {native_best * 1e3:8.3f} ms, median {native_median * 1e3:8.3f} ms, "
          f"{len(native_ops)} opcodes, {changed(native_ops)} changed lines")
    print(f"difflib:    best {difflib_best * 1e3:8.3f} ms, median {difflib_median * 1e3:8.3f} ms, "
          f"{len(difflib_ops)} opcodes, {changed(difflib_ops)} changed lines")
    print(f"speed-up (difflib / blame_diff, best times): {difflib_best / native_best:.1f}x")


if __name__ == "__main__":
    main()
