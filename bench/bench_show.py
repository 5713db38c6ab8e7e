"""Show queries over a large store: shard bytes scanned per second per core.

Builds a store of N document records (default 1,000,000, about 250 MB of
shards) citing 1,000 sections under 10 licences, then runs show_by_section
(the comparison: one wanted hash, few matches), show_by_license (100 wanted
sections, a fifth of the records found) and show_by_author without a binary
index (7 authors: 143 wanted sections, about a quarter of the records) in child processes with
RAYON_NUM_THREADS=1 and =2.  GB/s per core is the shard bytes over the CPU
time of the call (the result's Python objects included); the wall-clock
time is shown beside it.

    PYTHONPATH=... python3 bench/bench_show.py [N] [--store DIR]

--store DIR keeps the store in DIR and reuses it when DIR already holds one.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import subprocess
import sys
import tempfile
import time

from vl import _vl_native as native


def h(text: str) -> str:
    return hashlib.sha256(text.encode()).hexdigest()


def build_store(root: str, n_docs: int, n_sections: int = 1000) -> tuple[str, str]:
    native.init(root)
    authors = [native.author_add(f"Bench Author {k}", f"bench{k}@example.org", root) for k in range(7)]
    sections = [
        native.register_section(f"s/{i}.md", [authors[i % 7]], [], f"LIC-{i % 10}", "2024", root)
        for i in range(n_sections)
    ]
    shards: dict[str, list[str]] = {}
    for i in range(n_docs):
        line_hash = h(f"line {i}")
        record = {
            "file": "data/train.jsonl",
            "line_hash": line_hash,
            "revoked": False,
            "source_type": "track",
            "sources": [sections[i % n_sections], sections[(i * 7) % n_sections]],
        }
        shards.setdefault(line_hash[:2], []).append(json.dumps(record, separators=(",", ":")))
    for name, lines in shards.items():
        with open(os.path.join(root, ".vl", "document-index", name), "w") as f:
            f.write("\n".join(lines) + "\n")
    return sections[0], "LIC-3"


def shard_bytes(root: str) -> int:
    total = 0
    for layer in ("document-index", "sections"):
        d = os.path.join(root, ".vl", layer)
        total += sum(e.stat().st_size for e in os.scandir(d) if e.is_file())
    return total


CHILD = r"""
import sys, time
from vl import _vl_native as native
root, kind, value, repeat = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
fn = {"section": native.show_by_section, "license": native.show_by_license,
      "author": native.show_by_author}[kind]
fn(root, value)  # warm the page cache and the pool
best = best_cpu = float("inf")
for _ in range(repeat):
    t, c = time.perf_counter(), time.process_time()
    found = fn(root, value)
    best, best_cpu = min(best, time.perf_counter() - t), min(best_cpu, time.process_time() - c)
print(best, best_cpu, len(found))
"""


def run(root: str, kind: str, value: str, threads: int) -> tuple[float, float, int]:
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    out = subprocess.run(
        [sys.executable, "-P", "-c", CHILD, root, kind, value, "3"], env=env, check=True, capture_output=True, text=True
    ).stdout.split()
    return float(out[0]), float(out[1]), int(out[2])


def measure(root: str, n_docs: int, section: str, license: str) -> None:
    size = shard_bytes(root)
    print(f"{n_docs:,} document records, {size / 1e6:.0f} MB of shards; load average {os.getloadavg()[0]:.1f}")
    print(f"{'query':<18}{'workers':>8}{'wall s':>9}{'CPU s':>8}{'GB/s/core':>11}{'records/s':>14}{'found':>9}")
    per_core = {}
    for kind, value in (("section", section), ("license", license), ("author", "Bench Author 3")):
        for threads in (1, 2):
            secs, cpu, found = run(root, kind, value, threads)
            per_core.setdefault(kind, size / cpu / 1e9)
            print(f"show_by_{kind:<10}{threads:>8}{secs:>9.3f}{cpu:>8.3f}{size / cpu / 1e9:>11.2f}"
                  f"{n_docs / secs:>14,.0f}{found:>9}")
    for kind in ("license", "author"):
        print(f"show_by_{kind} / show_by_section, GB/s per core on 1 worker: "
              f"{per_core[kind] / per_core['section']:.2f}")


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("n_docs", nargs="?", type=int, default=1_000_000)
    parser.add_argument("--store")
    args = parser.parse_args()
    if args.store:
        marker = os.path.join(args.store, "bench-store-2")
        if not os.path.exists(marker):
            os.makedirs(args.store, exist_ok=True)
            section, license = build_store(args.store, args.n_docs)
            with open(marker, "w") as f:
                f.write(f"{args.n_docs} {section} {license}")
        n_docs, section, license = open(marker).read().split()
        measure(args.store, int(n_docs), section, license)
        return
    with tempfile.TemporaryDirectory() as root:
        t = time.perf_counter()
        section, license = build_store(root, args.n_docs)
        print(f"store of {args.n_docs:,} document records built in {time.perf_counter() - t:.1f} s")
        measure(root, args.n_docs, section, license)


if __name__ == "__main__":
    main()
