"""Authors and sections: identities derived from content, one stored line per
registration, and the author queries (direct lookup and scan)."""

import hashlib
import json
import os

import pytest

import vl._vl_native as native


def sha(text):
    return hashlib.sha256(text.encode("utf-8")).hexdigest()


def shard_lines(root, layer, key):
    path = os.path.join(root, ".vl", layer, key[:2])
    with open(path, "rb") as f:
        return f.read().decode("utf-8").splitlines()


def add_raw(root, shard, *lines, name=None):
    """Appends hand-written lines to an author file (default: the shard)."""
    path = os.path.join(root, ".vl", "authors", name or shard)
    with open(path, "a", encoding="utf-8") as f:
        for line in lines:
            f.write(line + "\n")


def author(ident, name, email, revoked=False):
    return json.dumps({"id": ident, "name": name, "email": email, "revoked": revoked},
                      separators=(",", ":"), ensure_ascii=False)


# -- author ids and records ---------------------------------------------------

@pytest.mark.parametrize("name, email, text", [
    ("Ada Lovelace", "ada@example.org",
     '{"email":"ada@example.org","name":"Ada Lovelace"}'),
    ("Zoë \"Z\" \\", "zoë@example.org",
     '{"email":"zoë@example.org","name":"Zoë \\"Z\\" \\\\"}'),
    (" ada", "ADA@example.org", '{"email":"ADA@example.org","name":" ada"}'),
])
def test_author_id_is_the_hash_of_email_then_name(store, name, email, text):
    ident = native.author_add(name, email, store)
    assert ident == sha(text)
    assert shard_lines(store, "authors", ident) == [author(ident, name, email)]


def test_adding_an_author_twice_stores_two_equal_lines(store):
    first = native.author_add("Ada", "ada@x.org", store)
    second = native.author_add("Ada", "ada@x.org", store)
    assert first == second
    assert shard_lines(store, "authors", first) == [author(first, "Ada", "ada@x.org")] * 2
    assert native.author_query(store, "Ada", "ada@x.org") == [author(first, "Ada", "ada@x.org")] * 2


def test_swapping_name_and_email_gives_another_id(store):
    one = native.author_add("a@x.org", "Ada", store)
    two = native.author_add("Ada", "a@x.org", store)
    assert one != two
    assert one == sha('{"email":"Ada","name":"a@x.org"}')
    assert native.author_query(store, "Ada", "a@x.org") == [author(two, "Ada", "a@x.org")]


def test_author_add_on_uninitialised_root_fails_and_creates_nothing(root, listing):
    with pytest.raises(RuntimeError) as info:
        native.author_add("Ada", "ada@x.org", root)
    ident = sha('{"email":"ada@x.org","name":"Ada"}')
    shard = os.path.join(root, ".vl", "authors", ident[:2])
    assert info.value.args == (f'opening shard "{shard}"',)
    assert listing(root) == []


# -- queries ------------------------------------------------------------------

@pytest.fixture
def people(store):
    ids = {
        "ada1": native.author_add("Ada", "ada@one.org", store),
        "ada2": native.author_add("Ada", "ada@two.org", store),
        "bob": native.author_add("Bob", "ada@one.org", store),
    }
    # A revoked registration, rewritten with sorted keys as revocation does.
    revoked = native.author_add("Ada", "ada@three.org", store)
    path = os.path.join(store, ".vl", "authors", revoked[:2])
    with open(path) as f:
        lines = f.read().splitlines()
    sorted_form = json.dumps({"email": "ada@three.org", "id": revoked, "name": "Ada",
                              "revoked": True}, separators=(",", ":"))
    lines = [sorted_form if json.loads(t)["id"] == revoked else t for t in lines]
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")
    ids["ada3"] = revoked
    return ids


def test_query_by_name_finds_every_email_including_revoked(store, people):
    found = [json.loads(t) for t in native.author_query(store, "Ada", None)]
    assert sorted(a["email"] for a in found) == ["ada@one.org", "ada@three.org", "ada@two.org"]
    assert {a["id"]: a["revoked"] for a in found}[people["ada3"]] is True


def test_query_results_are_compact_texts_in_record_field_order(store, people):
    (text,) = native.author_query(store, "Ada", "ada@three.org")
    assert text == author(people["ada3"], "Ada", "ada@three.org", True)


def test_query_by_email_and_without_filters(store, people):
    by_email = native.author_query(store, None, "ada@one.org")
    assert sorted(json.loads(t)["name"] for t in by_email) == ["Ada", "Bob"]
    everything = native.author_query(store, None, None)
    assert sorted(json.loads(t)["id"] for t in everything) == sorted(people.values())


def test_query_needs_both_filter_arguments(store):
    with pytest.raises(TypeError):
        native.author_query(store, "Ada")


def test_query_of_missing_shard_or_store_is_empty(store, tmp_path):
    assert native.author_query(store, "Nobody", "no@where") == []
    assert native.author_query(str(tmp_path / "nothing"), None, None) == []


@pytest.mark.parametrize("bad", [
    '{{"id":"{i}","name":"Eve","email":"e@x.org"}}',
    '{{"id":"{i}","name":"Eve","email":"e@x.org","revoked":"false"}}',
    '{{"id":"{i}","name":"Eve","email":"e@x.org","revoked":null}}',
    '{{"id":"{i}","name":"Eve","name":"Eve","email":"e@x.org","revoked":false}}',
    '{{"id":"{i}","name":"Eve","email":"e@x.org","revoked":false,"revoked":false}}',
    '{{"id":1,"name":"Eve","email":"e@x.org","revoked":false}}',
    '["{i}","Eve","e@x.org",false]',
    '{{"id":"{i}","name":"Eve","email":"e@x.org","revoked":false',
])
def test_lines_that_are_not_author_records_are_ignored(store, bad):
    ident = sha('{"email":"e@x.org","name":"Eve"}')
    add_raw(store, ident[:2], bad.format(i=ident))
    for name, email in [("Eve", "e@x.org"), ("Eve", None), (None, "e@x.org"), (None, None)]:
        assert native.author_query(store, name, email) == []


def test_extra_keys_do_not_spoil_an_author_line(store):
    ident = sha('{"email":"e@x.org","name":"Eve"}')
    add_raw(store, ident[:2], '{"note":[1],"revoked":false,"name":"Eve","id":"%s","email":"e@x.org"}' % ident)
    assert native.author_query(store, "Eve", "e@x.org") == [author(ident, "Eve", "e@x.org")]


def test_scan_reads_any_regular_file_but_lookup_reads_only_the_shard(store):
    ident = sha('{"email":"e@x.org","name":"Eve"}')
    add_raw(store, None, author(ident, "Eve", "e@x.org"), name="imported-authors.jsonl")
    os.mkdir(os.path.join(store, ".vl", "authors", "sub"))
    add_raw(store, None, author(ident, "Eve", "e@x.org"), name="sub/" + ident[:2])
    assert native.author_query(store, "Eve", None) == [author(ident, "Eve", "e@x.org")]
    assert native.author_query(store, None, None) == [author(ident, "Eve", "e@x.org")]
    assert native.author_query(store, "Eve", "e@x.org") == []
    native.author_add("Eve", "e@x.org", store)
    assert len(native.author_query(store, "Eve", "e@x.org")) == 1
    assert len(native.author_query(store, "Eve", None)) == 2


def test_scan_joins_files_in_listing_order_each_in_file_order(store):
    for k in range(120):
        native.author_add(f"name{k % 7}", f"user{k}@x.org", store)
    authors_dir = os.path.join(store, ".vl", "authors")
    expected = []
    for name in os.listdir(authors_dir):
        with open(os.path.join(authors_dir, name), encoding="utf-8") as f:
            expected += f.read().splitlines()
    assert native.author_query(store, None, None) == expected
    assert native.author_query(store, "name3", None) == [
        t for t in expected if json.loads(t)["name"] == "name3"]


# -- sections -----------------------------------------------------------------

SECTION = dict(path="docs/intro.md", authors=["a1", "b2"], contributors=["Cy <c@x>"],
               license="CC-BY-4.0", year="2024")


def test_section_hash_and_stored_line(store):
    h = native.register_section(vl_dir=store, **SECTION)
    assert h == sha('{"authors":["a1","b2"],"contributors":["Cy <c@x>"],'
                    '"license":"CC-BY-4.0","path":"docs/intro.md","year":"2024"}')
    assert shard_lines(store, "sections", h) == [
        '{"section_hash":"%s","path":"docs/intro.md","authors":["a1","b2"],'
        '"contributors":["Cy <c@x>"],"license":"CC-BY-4.0","year":"2024"}' % h]


def test_registering_a_section_twice_stores_two_lines(store):
    first = native.register_section(vl_dir=store, **SECTION)
    assert native.register_section(vl_dir=store, **SECTION) == first
    lines = shard_lines(store, "sections", first)
    assert len(lines) == 2 and lines[0] == lines[1]


def test_section_hash_follows_list_order_not_argument_order(store):
    base = native.register_section(SECTION["path"], SECTION["authors"], SECTION["contributors"],
                                   SECTION["license"], SECTION["year"], store)
    by_keyword = native.register_section(year="2024", license="CC-BY-4.0", vl_dir=store,
                                         contributors=["Cy <c@x>"], authors=("a1", "b2"),
                                         path="docs/intro.md")
    swapped = native.register_section(vl_dir=store, **dict(SECTION, authors=["b2", "a1"]))
    spaced = native.register_section(vl_dir=store, **dict(SECTION, year="2024 "))
    assert by_keyword == base
    assert len({base, swapped, spaced}) == 3


def test_section_with_empty_lists(store):
    h = native.register_section("p", [], [], "MIT", "1999", store)
    assert h == sha('{"authors":[],"contributors":[],"license":"MIT","path":"p","year":"1999"}')


def test_section_on_uninitialised_root_fails_and_creates_nothing(root, listing):
    with pytest.raises(RuntimeError, match=r"\(os error 2\)$"):
        native.register_section(vl_dir=root, **SECTION)
    assert listing(root) == []


def test_section_authors_as_a_single_string_is_refused(store, listing):
    before = listing(store)
    with pytest.raises(TypeError, match="'authors'"):
        native.register_section(vl_dir=store, **dict(SECTION, authors="a1"))
    assert listing(store) == before
