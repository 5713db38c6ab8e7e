"""Token withdrawal for trainers: forget sets, author token revocation and the
index build, each against a plain-Python version of the same work timed in
the same run (the ratio is the figure that counts on a shared machine).

    python3 bench/bench_tokens.py [FORGET_ENTRIES] [TOKEN_LINES] [DOC_RECORDS]
    python3 bench/bench_tokens.py --index-only [DOC_RECORDS]

Defaults: 10,000,000 index entries for the forget set, 200,000 token lines
for the revocations, and 1,000,000 document records plus 1,000,000 token
lines for the index build (the store for it takes about 400 MB in the
temporary directory).  --index-only runs the index build alone.  Figures are best of three (one for the index
build and the baseline), in CPU time of the process (all pool threads
counted), with the wall time beside it.
"""

from __future__ import annotations

import collections
import hashlib
import json
import os
import struct
import sys
import tempfile
import time

from vl import _vl_native as native


def h(text: str) -> str:
    return hashlib.sha256(text.encode()).hexdigest()


class Time(float):
    """Seconds of CPU time of this process (all threads), with the wall time
    beside it.  On a shared, loaded machine the wall time mostly measures
    the wait for a core, so ratios are taken on CPU time."""

    wall: float


def best(fn, runs=3):
    times, walls = [], []
    for _ in range(runs):
        w, c = time.perf_counter(), time.process_time()
        result = fn()
        times.append(time.process_time() - c)
        walls.append(time.perf_counter() - w)
    t = Time(min(times))
    t.wall = min(walls)
    return t, result


def report(what, native_s, python_s, unit_count=None, unit=""):
    rate = f", {unit_count / native_s / 1e6:,.1f} M{unit}/s" if unit_count else ""
    print(f"{what}: native {native_s * 1e3:,.1f} ms CPU (wall {native_s.wall * 1e3:,.0f}){rate}; "
          f"plain Python {python_s * 1e3:,.1f} ms CPU (wall {python_s.wall * 1e3:,.0f}); "
          f"ratio {python_s / native_s:,.1f}x")


def token_line(count, sources, revoked=False):
    return json.dumps({"revoked": revoked, "sources": sources, "token_count": count, "tokenizer": "t"},
                      separators=(",", ":"))


# -- forget set from a fresh index --------------------------------------------------


def forget_set_bench(n: int) -> None:
    with tempfile.TemporaryDirectory() as root:
        native.init(root)
        store = os.path.join(root, ".vl")
        os.mkdir(os.path.join(store, "token-index.t"))
        open(os.path.join(store, "token-index.t", "001"), "w").close()
        # An index of n entries, every 100th revoked, no source records.
        records = bytearray(16 * n)
        records[10::1600] = b"\x01" * len(range(10, 16 * n, 1600))
        header = b"VLIDXTI01" + struct.pack("<6I", 1, n, 0, 64, 64 + 16 * n, 64 + 16 * n) + bytes(31)
        path = os.path.join(store, "token-index.t.bin")
        with open(path, "wb") as f:
            f.write(header + records + bytes(2048))
        old = time.time() - 60
        os.utime(os.path.join(store, "token-index.t", "001"), (old, old))

        native_s, bits = best(lambda: native.generate_forget_set(root, "t"))

        def python_forget_set():
            data = open(path, "rb").read()
            flags = data[64 + 10:64 + 16 * n:16]
            out = bytearray((n + 7) // 8)
            for i, f in enumerate(flags):
                if f:
                    out[i >> 3] |= 1 << (i & 7)
            return bytes(out)

        python_s, expected = best(python_forget_set, runs=1)
        assert bits == expected
        print(f"generate_forget_set, fresh index of {n:,} entries: "
              f"{16 * n / native_s / 1e9:.2f} GB/s of entry records per CPU second, "
              f"{16 * n / native_s.wall / 1e9:.2f} GB/s wall")
        report("  forget set", native_s, python_s, n, " entries")


# -- revocation by author ---------------------------------------------------------


def revoke_bench(n: int) -> None:
    with tempfile.TemporaryDirectory() as root:
        native.init(root)
        ada = native.author_add("Ada", "ada@example.org", root)
        bob = native.author_add("Bob", "bob@example.org", root)
        mine = [native.register_section(f"a/{i}.md", [ada], [], "MIT", "2024", root) for i in range(10)]
        other = [native.register_section(f"b/{i}.md", [bob], [], "MIT", "2024", root) for i in range(990)]
        d = os.path.join(root, ".vl", "token-index.t")
        os.mkdir(d)
        per_file = 50_000
        for f in range(0, n, per_file):
            with open(os.path.join(d, "%03d" % (f // per_file + 1)), "w") as out:
                for i in range(f, min(n, f + per_file)):
                    src = mine[i % 10] if i % 100 == 0 else other[i % 990]
                    out.write(token_line(i % 500, [src, other[(i * 7) % 990]]) + "\n")
        targets = set(mine)

        def python_revoke():
            count = 0
            for name in sorted(os.listdir(d), key=lambda x: int(x) if x.isdigit() else -1):
                if not name.isdigit():
                    continue
                p = os.path.join(d, name)
                lines, changed = open(p).read().splitlines(), 0
                for k, text in enumerate(lines):
                    if not any(t in text for t in targets):
                        continue
                    e = json.loads(text)
                    if targets.intersection(e["sources"]):
                        e["revoked"] = not e["revoked"]
                        lines[k] = json.dumps(e, separators=(",", ":"))
                        changed += 1
                if changed:
                    with open(p + ".new", "w") as out:
                        out.write("\n".join(lines) + "\n")
                    os.replace(p + ".new", p)
                    count += changed
            return count

        bin_path = os.path.join(root, ".vl", "token-index.t.bin")
        file_s, count = best(lambda: native.revoke_by_author_token(root, "Ada", "t"))
        assert not os.path.exists(bin_path)
        python_s, pcount = best(python_revoke)
        assert count == pcount == n // 100
        report(f"revoke_by_author_token over {n:,} token lines, file path ({count:,} toggled)", file_s, python_s)

        native.token_index_build_binary_index(root, "t")

        def through_index():
            assert os.path.exists(bin_path)
            return native.revoke_by_author_token(root, "Ada", "t")

        index_s, count = best(through_index)
        assert count == n // 100
        report("  same, fresh index path (lines rewritten, index patched)", index_s, python_s)


# -- index build ------------------------------------------------------------------


def build_store(root: str, n_docs: int, n_tokens: int, n_sections: int = 10_000, n_authors: int = 1_000):
    native.init(root)
    store = os.path.join(root, ".vl")
    authors = [h(f"author {i}") for i in range(n_authors)]
    sections, shards = [], collections.defaultdict(list)
    for i in range(n_sections):
        s = h(f"section {i}")
        sections.append(s)
        rec = {"section_hash": s, "path": f"s/{i}.md", "authors": [authors[i % n_authors], authors[(i * 3) % n_authors]],
               "contributors": [], "license": "MIT", "year": "2024"}
        shards[s[:2]].append(json.dumps(rec, separators=(",", ":")))
    for name, lines in shards.items():
        with open(os.path.join(store, "sections", name), "w") as f:
            f.write("\n".join(lines) + "\n")
    shards.clear()
    for i in range(n_docs):
        lh = h(f"line {i}")
        rec = {"file": "train.jsonl", "line_hash": lh, "revoked": False, "source_type": "track",
               "sources": [sections[i % n_sections], sections[(i * 7) % n_sections]]}
        shards[lh[:2]].append(json.dumps(rec, separators=(",", ":")))
    for name, lines in shards.items():
        with open(os.path.join(store, "document-index", name), "w") as f:
            f.write("\n".join(lines) + "\n")
    d = os.path.join(store, "token-index.t")
    os.mkdir(d)
    per_file = 100_000
    for f in range(0, n_tokens, per_file):
        with open(os.path.join(d, "%03d" % (f // per_file + 1)), "w") as out:
            for i in range(f, min(n_tokens, f + per_file)):
                out.write(token_line(i % 700, [sections[(i * 13) % n_sections]]) + "\n")


def python_grouping(root: str):
    """The grouping of the build in plain Python: source shards, section refs,
    author shards, index records, and the token lines per source."""
    store = os.path.join(root, ".vl")
    source_shards = collections.defaultdict(set)
    for name in os.listdir(os.path.join(store, "document-index")):
        with open(os.path.join(store, "document-index", name)) as f:
            for text in f:
                r = json.loads(text)
                for s in r["sources"]:
                    source_shards[s].add(r["line_hash"][:2])
    section_refs, author_shards = {}, collections.defaultdict(set)
    for name in os.listdir(os.path.join(store, "sections")):
        with open(os.path.join(store, "sections", name)) as f:
            for text in f:
                r = json.loads(text)
                section_refs[r["section_hash"]] = sorted(source_shards.get(r["section_hash"], ()))
                for a in r["authors"]:
                    author_shards[a].add(r["section_hash"][:2])
    groups = collections.defaultdict(list)
    for a, shards in author_shards.items():
        groups[a[:2]].append({"id": a, "refs": sorted(shards)})
    for s, refs in section_refs.items():
        groups[s[:2]].append({"id": s, "refs": refs})
    token_refs = collections.defaultdict(list)
    d = os.path.join(store, "token-index.t")
    for name in sorted(os.listdir(d), key=int):
        offset = 0
        with open(os.path.join(d, name), "rb") as f:
            for raw in f:
                e = json.loads(raw)
                for s in e["sources"]:
                    token_refs[s].append((int(name), offset, len(raw) - 1))
                offset += len(raw)
    return len(author_shards), len(section_refs), sum(len(v) for v in token_refs.values())


def build_index_bench(n_docs: int, n_tokens: int) -> None:
    with tempfile.TemporaryDirectory() as root:
        build_store(root, n_docs, n_tokens)
        native_s, counts = best(lambda: native.build_index(root), runs=1)
        python_s, (authors, sections, _) = best(lambda: python_grouping(root), runs=1)
        assert (counts["authors"], counts["sections"], counts["token_index_entries"]) == (authors, sections, n_tokens)
        report(f"build_index, {n_docs:,} document records + {n_tokens:,} token lines", native_s, python_s,
               n_docs + n_tokens, " records")


if __name__ == "__main__":
    index_only = "--index-only" in sys.argv[1:]
    args = [int(a.replace("_", "").replace(",", "")) for a in sys.argv[1:] if a != "--index-only"]
    if index_only:
        args = [0, 0] + args
    forget_n = args[0] if len(args) > 0 else 10_000_000
    revoke_n = args[1] if len(args) > 1 else 200_000
    docs_n = args[2] if len(args) > 2 else 1_000_000
    print(f"pool: {os.environ.get('RAYON_NUM_THREADS', os.cpu_count())} workers")
    if not index_only:
        forget_set_bench(forget_n)
        revoke_bench(revoke_n)
    build_index_bench(docs_n, docs_n)
