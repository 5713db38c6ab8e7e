"""The composition report over a large store: seconds for N document records.

Builds a store of N document records (default 1,000,000) citing 2,000
sections of 200 authors under 8 licences in 50 data files, with one or two
sources per line, 1 % of the sections revoked and one token entry per line for
one tokenizer, then times vl._vl_bulk.report against a plain-Python pass
(json.loads per record, dicts of counters) over the same files, and prints
both times (wall clock and CPU) and their ratios.  The Python baseline reads at most
--baseline-limit records (default: all) and is scaled to N.

    python3 bench/bench_report.py [N] [--baseline-limit M] [--keep DIR]
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import shutil
import sys
import tempfile
import time

from vl import _vl_bulk as bulk
from vl import _vl_native as native


def h(text: str) -> str:
    return hashlib.sha256(text.encode()).hexdigest()


def build_store(root: str, n_docs: int, n_sections: int = 2000, n_authors: int = 200) -> None:
    native.init(root)
    authors = [native.author_add(f"Author {i}", f"a{i}@example.org", root) for i in range(n_authors)]
    sections = [
        native.register_section(f"s/{i}.md", [authors[i % n_authors]], [], f"LIC-{i % 8}", "2024", root)
        for i in range(n_sections)
    ]
    for i in range(0, n_sections, 100):  # a revoked copy of every 100th section record
        record = {"section_hash": sections[i], "path": f"s/{i}.md", "authors": [authors[i % n_authors]],
                  "contributors": [], "license": f"LIC-{i % 8}", "year": "2024", "revoked": True}
        native.jsonl_append(native.shard_path_str(root, "sections", sections[i]), record)
    shards: dict[str, list[str]] = {}
    tokens = []
    for i in range(n_docs):
        line_hash = h(f"line {i}")
        sources = [sections[i % n_sections]] if i % 3 else [sections[i % n_sections], sections[(i * 7) % n_sections]]
        src = ",".join(f'"{s}"' for s in sources)
        shards.setdefault(line_hash[:2], []).append(
            f'{{"file":"data/part-{i % 50:02}.jsonl","line_hash":"{line_hash}","revoked":false,'
            f'"source_type":"track","sources":[{src}]}}'
        )
        tokens.append(f'{{"revoked":false,"sources":[{src}],"token_count":{100 + i % 900},"tokenizer":"ws"}}')
    for name, lines in shards.items():
        with open(os.path.join(root, ".vl", "document-index", name), "w") as f:
            f.write("\n".join(lines) + "\n")
    merged = os.path.join(root, ".vl", "token-index.ws")
    os.makedirs(merged, exist_ok=True)
    per_file = max(1, len(tokens) // 8)
    for k in range(0, len(tokens), per_file):
        with open(os.path.join(merged, f"{k // per_file + 1:03}"), "w") as f:
            f.write("\n".join(tokens[k:k + per_file]) + "\n")


def python_report(root: str, limit: int) -> int:
    """A plain-Python pass with the same inputs: lines and tokens per licence."""
    store = os.path.join(root, ".vl")
    sections = {}
    for name in os.listdir(os.path.join(store, "sections")):
        with open(os.path.join(store, "sections", name)) as f:
            for line in f:
                r = json.loads(line)
                sections[r["section_hash"]] = (r["license"], r.get("revoked") is True)
    lines: dict[str, int] = {}
    files: dict[str, set[str]] = {}
    tokens: dict[str, int] = {}
    seen = 0
    layer = os.path.join(store, "document-index")
    for name in sorted(os.listdir(layer)):
        path = os.path.join(layer, name)
        if not os.path.isfile(path):
            continue
        with open(path) as f:
            for line in f:
                if seen >= limit:
                    break
                seen += 1
                r = json.loads(line)
                for lic in {sections[s][0] for s in r["sources"] if s in sections}:
                    lines[lic] = lines.get(lic, 0) + 1
                    files.setdefault(lic, set()).add(r["file"])
    merged = os.path.join(store, "token-index.ws")
    n = 0
    for name in sorted(os.listdir(merged)):
        with open(os.path.join(merged, name)) as f:
            for line in f:
                if n >= limit:
                    break
                n += 1
                e = json.loads(line)
                for lic in {sections[s][0] for s in e["sources"] if s in sections}:
                    tokens[lic] = tokens.get(lic, 0) + e["token_count"]
    return seen


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("n", nargs="?", type=int, default=1_000_000)
    ap.add_argument("--baseline-limit", type=int, default=None)
    ap.add_argument("--keep", help="build the store here and keep it (reused when present)")
    args = ap.parse_args()
    root = args.keep or tempfile.mkdtemp(prefix="vl-bench-report-")
    try:
        if not os.path.isdir(os.path.join(root, ".vl", "document-index")) or not args.keep:
            t = time.perf_counter()
            build_store(root, args.n)
            print(f"built a store of {args.n:,} records in {time.perf_counter() - t:.1f} s", file=sys.stderr)
        bulk.report(root)  # warm the page cache and the pool
        best = cpu = float("inf")
        for _ in range(3):
            t, c = time.perf_counter(), time.process_time()
            result = bulk.report(root)
            best = min(best, time.perf_counter() - t)
            cpu = min(cpu, time.process_time() - c)
        assert result["totals"]["lines"] == args.n, result["totals"]
        limit = args.baseline_limit or args.n
        t, c = time.perf_counter(), time.process_time()
        seen = python_report(root, limit)
        base = (time.perf_counter() - t) * args.n / seen
        base_cpu = (time.process_time() - c) * args.n / seen
        scaled = "" if seen == args.n else f" (measured on {seen:,} records, scaled)"
        print(f"records: {args.n:,}  pool: {os.environ.get('RAYON_NUM_THREADS', os.cpu_count())} workers")
        print(f"vl report (native):      {best:8.3f} s wall  {cpu:8.3f} s CPU (all workers)")
        print(f"plain Python baseline:   {base:8.3f} s wall  {base_cpu:8.3f} s CPU{scaled}")
        print(f"ratio:                   {base / best:8.1f}x wall  {base_cpu / cpu:6.1f}x CPU")
    finally:
        if not args.keep:
            shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
