"""Show queries over a large store: records scanned per second.

Builds a store of N document records (default 1,000,000) citing 1,000
sections under 10 licences, then runs show_by_section and show_by_license in
child processes with RAYON_NUM_THREADS=1 and =2.

    PYTHONPATH=... python3 bench/bench_show.py [N]
"""

from __future__ import annotations

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
    author = native.author_add("Bench Author", "bench@example.org", root)
    sections = [
        native.register_section(f"s/{i}.md", [author], [], f"LIC-{i % 10}", "2024", root) for i in range(n_sections)
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


CHILD = r"""
import sys, time
from vl import _vl_native as native
root, kind, value, repeat = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
fn = {"section": native.show_by_section, "license": native.show_by_license}[kind]
fn(root, value)  # warm the page cache and the pool
best = float("inf")
for _ in range(repeat):
    t = time.perf_counter(); found = fn(root, value); best = min(best, time.perf_counter() - t)
print(best, len(found))
"""


def run(root: str, kind: str, value: str, threads: int) -> tuple[float, int]:
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    out = subprocess.run(
        [sys.executable, "-c", CHILD, root, kind, value, "3"], env=env, check=True, capture_output=True, text=True
    ).stdout.split()
    return float(out[0]), int(out[1])


def main() -> None:
    n_docs = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    with tempfile.TemporaryDirectory() as root:
        t = time.perf_counter()
        section, license = build_store(root, n_docs)
        print(f"store of {n_docs:,} document records built in {time.perf_counter() - t:.1f} s")
        print(f"{'query':<18}{'workers':>8}{'seconds':>10}{'records/s':>14}{'found':>8}")
        for kind, value in (("section", section), ("license", license)):
            for threads in (1, 2):
                secs, found = run(root, kind, value, threads)
                print(f"show_by_{kind:<10}{threads:>8}{secs:>10.3f}{n_docs / secs:>14,.0f}{found:>8}")


if __name__ == "__main__":
    main()
