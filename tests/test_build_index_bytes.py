"""The bytes of a build over a store holding every form of record line the
build meets (written by the store, written by hand, malformed), compared
with the digest of a build known to be right.  Any change to how the build
reads, groups or writes shows up here."""

import hashlib
import json
import os
import random

import vl._vl_native as native
from test_build_index import TRICKY
from tokens import vl, write

# Fixed so the store, and so the digest, is the same on every run.
EXPECTED = "9944783e1e33c35c9e60e19670a179663e16ac322efe5d153b337f07d3454e13"


def hx(rng, prefix=""):
    return prefix + hashlib.sha256(str(rng.random()).encode()).hexdigest()[len(prefix):]


def compact(value):
    return json.dumps(value, separators=(",", ":"))


def odd_forms(record):
    """The record as the store writes it, and as hands and other tools do."""
    text = compact(record)
    return [text, text + "\r", json.dumps(record), compact(dict(reversed(record.items()))),
            text.replace('"', '"\\u0020', 1)[:-1], text[:-1], "[" + text + "]", text + " x",
            text.replace("{", '{"x":[1,{"y":null}],', 1), text.replace('":"', '":"\\/', 1)]


def make_store(root):
    rng = random.Random(7)
    native.init(root)
    # One sections file: the order of its lines fixes the order of the
    # records in the index layer.
    authors = [hx(rng) for _ in range(6)] + ["Not A Hash", "é", "ab", ".x", "a/b", ""]
    authors.append(authors[0].upper())
    sections = [hx(rng, "ab") for _ in range(40)]
    sections += [sections[0].upper(), sections[1], "ab../", "ab", "a", ""]
    lines = []
    for i, s in enumerate(sections):
        rec = {"section_hash": s, "path": f"{i}.md", "authors": rng.sample(authors, i % 4),
               "contributors": [], "license": "MIT", "year": "2024"}
        lines.append(rng.choice(odd_forms(rec)) if i % 3 == 0 else compact(rec))
    lines += ['{"section_hash":5,"authors":["%s"]}' % authors[1], "junk", ""]
    write(vl(root, "sections", "ab"), "\n".join(lines) + "\n")

    cited = sections + [s.upper() for s in sections[:5]] + [hx(rng)]
    shards = {}
    for i in range(600):
        lh = hx(rng) if i % 50 else rng.choice([".x" + hx(rng), "é" + hx(rng), "", "a"])
        rec = {"file": "train.jsonl", "line_hash": lh, "revoked": False, "source_type": "track",
               "sources": rng.sample(cited, i % 4)}
        if i % 97 == 0:
            rec["sources"].append(7)
        text = rng.choice(odd_forms(rec)) if i % 5 == 0 else compact(rec)
        shards.setdefault(lh[:2] if len(lh) > 2 and lh[0] not in ".é" else "00", []).append(text)
    for name, texts in shards.items():
        write(vl(root, "document-index", name), "\n".join(texts) + "\n", "a")

    sources = sections[:30] + [s.upper() for s in sections[:3]] + [hx(rng), "Not A Hash"]
    for tokenizer, files in (("t", ["001", "002", "10"]), ("u", ["1"])):
        d = vl(root, "token-index." + tokenizer)
        for n, name in enumerate(files):
            texts = list(TRICKY) if n == 0 else []
            for i in range(9000 if n == 1 else 300):
                rec = {"revoked": i % 7 == 0, "sources": rng.sample(sources, i % 3),
                       "token_count": i, "tokenizer": tokenizer}
                texts.append(rng.choice(odd_forms(rec)) if i % 11 == 0 else compact(rec))
            write(os.path.join(d, name), "\n".join(texts) + ("\n" if n else ""))
    write(os.path.join(root, "data.jsonl"), "a\n\nbb\r\nc")


def test_build_bytes_are_unchanged(store):
    make_store(store)
    counts = native.build_index(store)
    digest = hashlib.sha256(repr(sorted(counts.items())).encode())
    paths = [os.path.join("index", n) for n in sorted(os.listdir(vl(store, "index")))]
    for name in paths + ["index.bin", "token-index.t.bin", "token-index.u.bin"]:
        digest.update(name.encode() + b"\0" + open(vl(store, name), "rb").read())
    assert digest.hexdigest() == EXPECTED
