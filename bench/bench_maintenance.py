"""Benchmark of store maintenance.

(a) merge_absorb (including the index rebuild it runs when records were
    added, also timed alone) of a store of --records document records (plus authors,
    sections and --tokens token entries) into an empty store, and of the
    same store into itself (which reads everything and adds nothing),
    against the same work in plain Python in the same run: every shard
    line parsed with json.loads, identities in Python sets, new lines
    appended to the target's shards.
(b) clean of a store holding --pid-files per-process document index files
    of --pid-lines records each, against plain Python that reads each file,
    appends its records to their shards and removes it.

Times are CPU time of the process (user + system, all threads): on a
shared machine that is what other load disturbs least.  Each native run
happens in a child process, so its peak memory (maximum
resident set size) is its own.  Throughput is given as MB/s of shard bytes
read (merge) or per-process bytes folded (clean).

Run: PYTHONPATH=<dir holding the built vl package> python3 bench/bench_maintenance.py \
        [--records 1000000] [--tokens 200000] [--pid-files 100] [--pid-lines 5000]

A plain script, not a test.
"""

import argparse
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

from vl import _vl_native as native


def h(text):
    return hashlib.sha256(text.encode()).hexdigest()


def make_store(root, records, tokens):
    """Writes the shard files directly: records are document index lines in
    the form tracking writes them."""
    native.init(root)
    vl = os.path.join(root, ".vl")
    authors = [h(f"author {a}") for a in range(1000)]
    sections = [h(f"section {s}") for s in range(2000)]
    shards = {}
    for a in authors:
        shards.setdefault(("authors", a[:2]), []).append(json.dumps(
            {"id": a, "name": f"name {a[:6]}", "email": "x@example.org", "revoked": False},
            separators=(",", ":")))
    for i, s in enumerate(sections):
        shards.setdefault(("sections", s[:2]), []).append(json.dumps(
            {"section_hash": s, "path": f"p/{i}.md", "authors": [authors[i % 1000]],
             "contributors": [], "license": "CC-BY-4.0", "year": "2024"}, separators=(",", ":")))
    for k in range(records):
        line = h(f"line {k}")
        shards.setdefault(("document-index", line[:2]), []).append(json.dumps(
            {"file": f"data/part-{k % 16}.jsonl", "line_hash": line, "revoked": False,
             "source_type": "track", "sources": [sections[k % 2000]]},
            separators=(",", ":"), sort_keys=True))
    for (layer, shard), lines in shards.items():
        with open(os.path.join(vl, layer, shard), "w") as f:
            f.write("\n".join(lines) + "\n")
    d = os.path.join(vl, "token-index.tok")
    os.makedirs(d)
    with open(os.path.join(d, "001"), "w") as f:
        for k in range(tokens):
            f.write(json.dumps({"revoked": False, "sources": [sections[k % 2000]],
                                "token_count": 100 + k % 900, "tokenizer": "tok"},
                               separators=(",", ":")) + "\n")


def layer_bytes(root):
    total = 0
    for dirpath, _, files in os.walk(os.path.join(root, ".vl")):
        if os.path.basename(dirpath) in ("authors", "sections", "document-index", "token-index.tok"):
            total += sum(os.path.getsize(os.path.join(dirpath, f)) for f in files)
    return total


def python_merge(source, target):
    """The merge in plain Python (layers only, tokens as a multiset)."""
    added = skipped = 0
    for layer, ident in (("authors", lambda r: r.get("id")),
                         ("sections", lambda r: r.get("section_hash")),
                         ("document-index", lambda r: (r.get("line_hash"), r.get("file")))):
        def walk(root):
            d = os.path.join(root, ".vl", layer)
            for name in os.listdir(d):
                with open(os.path.join(d, name), "rb") as f:
                    for raw in f:
                        raw = raw.rstrip(b"\r\n")
                        if raw:
                            yield raw, json.loads(raw)
        known = {ident(r) for _, r in walk(target)}
        out = {}
        for raw, r in walk(source):
            i = ident(r)
            key = i[0] if isinstance(i, tuple) else i
            if i in known or not isinstance(key, str):
                skipped += 1
                continue
            known.add(i)
            out.setdefault(key[:2], []).append(raw)
            added += 1
        for shard, lines in out.items():
            with open(os.path.join(target, ".vl", layer, shard), "ab") as f:
                f.write(b"\n".join(lines) + b"\n")
    return added, skipped


def native_child(code, *args):
    """Runs `code` in a child; returns (seconds, its printed result, peak RSS MB)."""
    out = subprocess.run([sys.executable, "-P", "-c", code, *args], capture_output=True, text=True,
                         check=True).stdout.split()
    return float(out[0]), out[1], int(out[2]) / 1024, float(out[3]) if len(out) > 3 else 0.0


MERGE = """
import sys, time
from vl import _vl_native as n
t = time.process_time(); r = n.merge_absorb(sys.argv[1], sys.argv[2])
secs = time.process_time() - t
peak = [l.split()[1] for l in open("/proc/self/status") if l.startswith("VmHWM")][0]
added = r["authors_added"] + r["sections_added"] + r["document_added"] + r["token_index_added"]
# The index rebuild that a merge runs when records were added, timed alone.
t = time.process_time(); n.build_index(sys.argv[2]) if added else None
print(secs, added, peak, time.process_time() - t)
"""

CLEAN = """
import sys, time
from vl import _vl_native as n
t = time.process_time(); r = n.clean(sys.argv[1], False)
print(time.process_time() - t, r["document_merged"], [l.split()[1] for l in open("/proc/self/status") if l.startswith("VmHWM")][0])
"""


def make_pid_files(root, files, lines):
    native.init(root)
    total = 0
    for p in range(files):
        path = os.path.join(root, ".vl", f"docidx.{1000 + p}")
        with open(path, "w") as f:
            for k in range(lines):
                f.write(json.dumps({"file": "d.jsonl", "line_hash": h(f"{p} {k}"),
                                    "revoked": False, "source_type": "track",
                                    "sources": [h("s")]}, sort_keys=True,
                                   separators=(",", ":")) + "\n")
        total += os.path.getsize(path)
    return total


def python_clean(root):
    vl = os.path.join(root, ".vl")
    merged = 0
    for name in os.listdir(vl):
        if not name.startswith("docidx."):
            continue
        path = os.path.join(vl, name)
        out = {}
        with open(path, "rb") as f:
            for raw in f:
                r = json.loads(raw)
                key = r.get("line_hash")
                if isinstance(key, str) and len(key) >= 2:
                    out.setdefault(key[:2], []).append(json.dumps(r, sort_keys=True, separators=(",", ":")))
                    merged += 1
        for shard, lines in out.items():
            with open(os.path.join(vl, "document-index", shard), "a") as f:
                f.write("\n".join(lines) + "\n")
        os.remove(path)
    return merged


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--records", type=int, default=1_000_000)
    ap.add_argument("--tokens", type=int, default=200_000)
    ap.add_argument("--pid-files", type=int, default=100)
    ap.add_argument("--pid-lines", type=int, default=5000)
    args = ap.parse_args()
    base = tempfile.mkdtemp(prefix="vl-bench-maint-")
    try:
        src = os.path.join(base, "source")
        make_store(src, args.records, args.tokens)
        mb = layer_bytes(src) / 1e6
        print(f"store: {args.records} document records, 1000 authors, 2000 sections, "
              f"{args.tokens} token entries, {mb:.0f} MB of shards")
        for label, target in (("into an empty store", "empty"), ("into itself", None)):
            runs = {}
            for who in ("native", "python"):
                tgt = src if target is None else os.path.join(base, f"{target}-{who}")
                if target is not None:
                    native.init(tgt)
                if who == "native":
                    secs, added, peak, rebuild = native_child(MERGE, src, tgt)
                    runs[who] = secs
                    print(f"merge {label}: native {secs:.2f} s, {added} added, "
                          f"{mb * (2 if target is None else 1) / secs:.0f} MB/s read, "
                          f"peak RSS {peak:.0f} MB; of the time, the index rebuild alone "
                          f"takes {rebuild:.2f} s")
                else:
                    t = time.process_time()
                    added, _ = python_merge(src, tgt)
                    runs[who] = time.process_time() - t
                    print(f"merge {label}: plain Python {runs[who]:.2f} s (layers only), {added} added")
            print(f"merge {label}: ratio {runs['python'] / runs['native']:.1f}x")

        runs = {}
        for who in ("native", "python"):
            root = os.path.join(base, f"clean-{who}")
            size = make_pid_files(root, args.pid_files, args.pid_lines) / 1e6
            if who == "native":
                secs, merged, peak, _ = native_child(CLEAN, root)
                runs[who] = secs
                print(f"clean of {args.pid_files} per-process files ({size:.0f} MB): native "
                      f"{secs:.2f} s, {merged} records, {size / secs:.0f} MB/s, peak RSS {peak:.0f} MB")
            else:
                t = time.process_time()
                python_clean(root)
                runs[who] = time.process_time() - t
                print(f"clean: plain Python {runs[who]:.2f} s")
        print(f"clean: ratio {runs['python'] / runs['native']:.1f}x")
    finally:
        shutil.rmtree(base, ignore_errors=True)


if __name__ == "__main__":
    main()
