"""Authors and sections: identities derived from content, one stored line per
registration, and the author queries (direct lookup and scan)."""

import json
import os

import pytest

import vl._vl_native as native
from tokens import read, sha, vl, write

SECTION = dict(path="docs/intro.md", authors=["a1", "b2"], contributors=["Cy <c@x>"],
               license="CC-BY-4.0", year="2024")


EVE = sha('{"email":"e@x.org","name":"Eve"}')


def shard_lines(root, layer, key):
    return read(vl(root, layer, key[:2])).decode("utf-8").splitlines()


def add_raw(root, name, line):
    """Appends a hand-written line to a file of the authors layer."""
    write(vl(root, "authors", name), line + "\n", "a")


def author(ident, name, email, revoked=False):
    return json.dumps({"id": ident, "name": name, "email": email, "revoked": revoked},
                      separators=(",", ":"), ensure_ascii=False)


@pytest.mark.parametrize("name, email, text", [
    ("Ada Lovelace", "ada@example.org", '{"email":"ada@example.org","name":"Ada Lovelace"}'),
    ("Zoë \"Z\" \\", "zoë@example.org", '{"email":"zoë@example.org","name":"Zoë \\"Z\\" \\\\"}'),
    (" ada", "ADA@example.org", '{"email":"ADA@example.org","name":" ada"}'),
    ("a@x.org", "Ada", '{"email":"Ada","name":"a@x.org"}'),  # swapped: another id
])
def test_author_id_is_the_hash_of_email_then_name(store, name, email, text):
    ident = native.author_add(name, email, store)
    assert ident == sha(text)
    assert shard_lines(store, "authors", ident) == [author(ident, name, email)]


def test_registering_twice_stores_two_equal_lines(store):
    first = native.author_add("Ada", "ada@x.org", store)
    assert native.author_add("Ada", "ada@x.org", store) == first
    assert shard_lines(store, "authors", first) == [author(first, "Ada", "ada@x.org")] * 2
    assert native.author_query(store, "Ada", "ada@x.org") == [author(first, "Ada", "ada@x.org")] * 2
    section = native.register_section(vl_dir=store, **SECTION)
    assert native.register_section(vl_dir=store, **SECTION) == section
    lines = shard_lines(store, "sections", section)
    assert len(lines) == 2 and lines[0] == lines[1]


@pytest.fixture
def people(store):
    ids = {"ada1": native.author_add("Ada", "ada@one.org", store),
           "ada2": native.author_add("Ada", "ada@two.org", store),
           "bob": native.author_add("Bob", "ada@one.org", store),
           "ada3": native.author_add("Ada", "ada@three.org", store)}
    # The last one revoked, its line rewritten with sorted keys as revocation does.
    revoked = json.dumps({"email": "ada@three.org", "id": ids["ada3"], "name": "Ada",
                          "revoked": True}, separators=(",", ":"))
    lines = [revoked if json.loads(t)["id"] == ids["ada3"] else t
             for t in shard_lines(store, "authors", ids["ada3"])]
    write(vl(store, "authors", ids["ada3"][:2]), "\n".join(lines) + "\n")
    return ids


def test_queries_by_name_by_email_by_both_and_by_neither(store, people, tmp_path):
    found = [json.loads(t) for t in native.author_query(store, "Ada", None)]
    assert sorted(a["email"] for a in found) == ["ada@one.org", "ada@three.org", "ada@two.org"]
    assert {a["id"]: a["revoked"] for a in found}[people["ada3"]] is True  # revoked ones too
    # Results are compact texts in record field order.
    assert native.author_query(store, "Ada", "ada@three.org") == [
        author(people["ada3"], "Ada", "ada@three.org", True)]
    by_email = native.author_query(store, None, "ada@one.org")
    assert sorted(json.loads(t)["name"] for t in by_email) == ["Ada", "Bob"]
    everything = native.author_query(store, None, None)
    assert sorted(json.loads(t)["id"] for t in everything) == sorted(people.values())
    assert native.author_query(store, "Nobody", "no@where") == []
    assert native.author_query(str(tmp_path / "nothing"), None, None) == []
    with pytest.raises(TypeError):
        native.author_query(store, "Ada")


@pytest.mark.parametrize("line, is_record", [
    ('{"note":[1],"revoked":false,"name":"Eve","id":"{i}","email":"e@x.org"}', True),
    ('{"id":"{i}","name":"Eve","email":"e@x.org"}', False),
    ('{"id":"{i}","name":"Eve","email":"e@x.org","revoked":"false"}', False),
    ('{"id":"{i}","name":"Eve","email":"e@x.org","revoked":null}', False),
    ('{"id":"{i}","name":"Eve","name":"Eve","email":"e@x.org","revoked":false}', False),
    ('{"id":"{i}","name":"Eve","email":"e@x.org","revoked":false,"revoked":false}', False),
    ('{"id":1,"name":"Eve","email":"e@x.org","revoked":false}', False),
    ('["{i}","Eve","e@x.org",false]', False),
    ('{"id":"{i}","name":"Eve","email":"e@x.org","revoked":false', False),
])
def test_lines_that_are_not_author_records_are_ignored_and_extra_keys_allowed(store, line, is_record):
    add_raw(store, EVE[:2], line.replace("{i}", EVE))
    for name, email in [("Eve", "e@x.org"), ("Eve", None), (None, "e@x.org"), (None, None)]:
        assert native.author_query(store, name, email) == [author(EVE, "Eve", "e@x.org")] * is_record


def test_scan_reads_any_regular_file_but_lookup_reads_only_the_shard(store):
    add_raw(store, "imported-authors.jsonl", author(EVE, "Eve", "e@x.org"))
    add_raw(store, "sub/" + EVE[:2], author(EVE, "Eve", "e@x.org"))
    assert native.author_query(store, "Eve", None) == [author(EVE, "Eve", "e@x.org")]
    assert native.author_query(store, None, None) == [author(EVE, "Eve", "e@x.org")]
    assert native.author_query(store, "Eve", "e@x.org") == []
    native.author_add("Eve", "e@x.org", store)
    assert len(native.author_query(store, "Eve", "e@x.org")) == 1
    assert len(native.author_query(store, "Eve", None)) == 2


def test_scan_joins_files_in_listing_order_each_in_file_order(store):
    for k in range(120):
        native.author_add(f"name{k % 7}", f"user{k}@x.org", store)
    expected = [t for name in os.listdir(vl(store, "authors")) for t in shard_lines(store, "authors", name)]
    assert native.author_query(store, None, None) == expected
    assert native.author_query(store, "name3", None) == [
        t for t in expected if json.loads(t)["name"] == "name3"]


def test_section_hash_and_stored_line(store):
    h = native.register_section(vl_dir=store, **SECTION)
    assert h == sha('{"authors":["a1","b2"],"contributors":["Cy <c@x>"],'
                    '"license":"CC-BY-4.0","path":"docs/intro.md","year":"2024"}')
    assert shard_lines(store, "sections", h) == [
        '{"section_hash":"%s","path":"docs/intro.md","authors":["a1","b2"],'
        '"contributors":["Cy <c@x>"],"license":"CC-BY-4.0","year":"2024"}' % h]
    assert native.register_section("p", [], [], "MIT", "1999", store) == sha(
        '{"authors":[],"contributors":[],"license":"MIT","path":"p","year":"1999"}')


def test_section_hash_follows_list_order_not_argument_order(store, listing):
    base = native.register_section(*SECTION.values(), store)
    by_keyword = native.register_section(year="2024", license="CC-BY-4.0", vl_dir=store,
                                         contributors=["Cy <c@x>"], authors=("a1", "b2"),
                                         path="docs/intro.md")
    swapped = native.register_section(vl_dir=store, **dict(SECTION, authors=["b2", "a1"]))
    spaced = native.register_section(vl_dir=store, **dict(SECTION, year="2024 "))
    assert by_keyword == base and len({base, swapped, spaced}) == 3
    before = listing(store)  # a single string is not a list of authors
    with pytest.raises(TypeError, match="'authors'"):
        native.register_section(vl_dir=store, **dict(SECTION, authors="a1"))
    assert listing(store) == before
