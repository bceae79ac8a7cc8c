"""The catalog of manuals: validation naming key and field, titles, vehicle
filters, scoped aliases, and the over-fetching filtered search."""
from __future__ import annotations

import json
from pathlib import Path

import pytest

from corvane.catalog import Catalog, CatalogError, filtered_search, load_catalog, parse_catalog

CATALOG = {
    "e5_charging": {"vehicle": "Aster E5", "model_years": [2024, 2025], "trims": ["长续航版"], "language": "zh-CN",
                    "title": "Aster E5 充电指南", "version": "2025.2", "brand": "Brevane",
                    "vehicle_names": ["E5", "X5"], "aliases": {"直流快充": ["闪充"]}, "synonyms": {"补电": ["充电"]}},
    "h7_charging": {"vehicle": "Linde H7", "vehicle_names": ["H7"], "aliases": {"直流快充": ["超级充"]}},
    "shared_rescue": {"vehicle": ["Aster E5", "Linde H7"]},
}


def write(folder: Path, catalog, manuals=()):
    (folder / "manuals").mkdir(parents=True, exist_ok=True)
    (folder / "catalog.json").write_text(json.dumps(catalog, ensure_ascii=False), encoding="utf-8")
    for name, text in manuals:
        (folder / "manuals" / name).write_text(text, encoding="utf-8")
    return folder


@pytest.mark.parametrize("raw, fragment", [
    ("[1]", "must be a JSON object keyed by manual id"),
    ('{"a": {"vehicle": "X"}, "a": {"vehicle": "Y"}}', "key 'a' appears twice"),
    ('{"a.md": {"vehicle": "X"}}', "key 'a.md' is not a manual id"),
    ('{"a": "X"}', "'a' must be an object"),
    ('{"a": {}}', "'a': field 'vehicle' is missing"),
    ('{"a": {"vehicle": ""}}', "'a': field 'vehicle' must be a non-empty string"),
    ('{"a": {"vehicle": []}}', "'a': field 'vehicle' must name at least one vehicle"),
    ('{"a": {"vehicle": "X", "vehicel": "Y"}}', "'a': field 'vehicel' is not a catalog field"),
    ('{"a": {"vehicle": "X", "model_years": [2025, "2026"]}}', "'a': field 'model_years'[1] must be a year"),
    ('{"a": {"vehicle": "X", "model_years": [true]}}', "must be a year"),
    ('{"a": {"vehicle": "X", "trims": "Pro"}}', "'a': field 'trims' must be a list of strings"),
    ('{"a": {"vehicle": "X", "aliases": {"t": "y"}}}', "'a': field 'aliases'['t'] must be a list"),
    ('{"a": {"vehicle": "X"}', "line 1: not valid JSON"),
])
def test_bad_catalogs_name_file_key_and_field(raw, fragment):
    with pytest.raises(CatalogError) as info:
        parse_catalog(raw, "data/catalog.json")
    assert str(info.value).startswith("data/catalog.json: ") and fragment in str(info.value)


def test_load_missing_file_is_empty_and_bad_bytes_are_named(tmp_path):
    assert len(load_catalog(tmp_path)) == 0
    (tmp_path / "catalog.json").write_bytes(b'{"a": {"vehicle": "\xff"}}')
    with pytest.raises(CatalogError, match="catalog.json: not UTF-8"):
        load_catalog(tmp_path)


def test_titles_never_a_placeholder(tmp_path):
    write(tmp_path, CATALOG, [("h7_charging.md", "<!-- x -->\n前言\n\n# 1 充电基础知识\n## 快充\n"),
                              ("plain.md", "没有标题的手册\n")])
    cat = load_catalog(tmp_path)
    assert cat.manual_title("e5_charging") == "Aster E5 充电指南"  # catalog title
    assert cat.manual_title("h7_charging") == "1 充电基础知识"  # first heading
    assert cat.manual_title("plain") == "plain"  # neither: the id, not "document"
    assert cat.manual_title("missing") == "missing"


def test_vehicle_and_manual_filters(tmp_path):
    cat = load_catalog(write(tmp_path, CATALOG, [("other.md", "# x\n")]))
    assert cat.vehicles == ["Aster E5", "Linde H7"]
    assert cat.resolve() is None
    assert cat.resolve(vehicle="Aster E5") == {"e5_charging", "shared_rescue"}
    assert cat.resolve(vehicle="aster  e5") == cat.resolve(vehicle="X5")  # case, spaces, other names
    assert cat.resolve(vehicle=["E5", "H7"]) == set(CATALOG)
    assert cat.resolve(vehicle="H7", manual="h7_charging.md") == {"h7_charging"}
    assert cat.resolve(vehicle="H7", manual="e5_charging") == frozenset()  # both: nothing satisfies
    assert cat.resolve(manual="other") == {"other"}  # a manual on disk without an entry
    with pytest.raises(CatalogError, match=r"vehicle: unknown vehicle 'Z9' \(known: Aster E5, Linde H7\)"):
        cat.resolve(vehicle="Z9")
    with pytest.raises(CatalogError, match="manual: unknown manual 'nope'"):
        cat.resolve(manual="nope")
    assert [v["vehicle"] for v in cat.listing()] == ["Aster E5", "Linde H7"]
    assert [m["manual_id"] for m in cat.listing()[1]["manuals"]] == ["h7_charging", "shared_rescue"]


@pytest.mark.parametrize("question, vehicle", [
    ("我开的X5，快充要多久", "Aster E5"),
    ("Linde H7 的加油口在哪", "Linde H7"),
    ("E5 和 H7 哪个充电快", None),  # two vehicles: no single one
    ("快充要多久", None),
])
def test_detect_vehicle(question, vehicle):
    assert Catalog(parse_catalog(json.dumps(CATALOG))).detect_vehicle(question) == vehicle


def test_scoped_aliases_apply_only_to_their_manual():
    cat = Catalog(parse_catalog(json.dumps(CATALOG)))
    assert cat.scoped_query("闪充多久", {"e5_charging"}) == "闪充多久 直流快充"
    assert cat.scoped_query("闪充多久", {"h7_charging"}) == "闪充多久"  # the other model's alias
    assert cat.scoped_query("闪充多久", None) == "闪充多久"  # no filter: scoped aliases stay out
    assert cat.scoped_query("怎么补电", {"e5_charging", "shared_rescue"}) == "怎么补电 充电"
    assert cat.aliases_for({"h7_charging"}) == {"h7_charging": {"直流快充": ["超级充"]}}


class FakeEngine:
    """Ranks entries by a fixed score list, as Engine.search does (score > 0 only)."""

    def __init__(self, entries):
        self.entries = entries
        self.calls = []

    def __len__(self):
        return len(self.entries)

    def search(self, question, top_k, ranker=None):
        self.calls.append(top_k)
        hits = [(e, e["score"]) for e in self.entries if e["score"] > 0 and question]
        return sorted(hits, key=lambda h: -h[1])[:top_k]


def test_filtered_search_equals_filtering_the_full_ranking():
    # 200 entries of manual "a" outrank the few of "b": the fetch must widen.
    entries = [{"scene_id": f"a{i}", "manual_id": "a", "score": 1000 - i} for i in range(200)]
    entries += [{"scene_id": f"b{i}", "manual_id": "b", "score": 10 - i} for i in range(12)]
    eng = FakeEngine(entries)
    full = eng.search("q", len(entries))
    for allowed, k in [({"b"}, 3), ({"b"}, 20), ({"a", "b"}, 5), ({"c"}, 3), (set(), 3), ({"b"}, 0)]:
        want = [h for h in full if h[0]["manual_id"] in allowed][:k]
        assert filtered_search(eng, "q", allowed, k) == want, (allowed, k)
    assert filtered_search(eng, "q", None, 2) == full[:2]
    with pytest.raises(ValueError, match="top_k"):
        filtered_search(eng, "q", {"a"}, -1)


def test_index_warnings_for_keys_without_manuals_and_manuals_without_keys():
    from corvane.catalog import check_against_manuals

    cat = Catalog(parse_catalog(json.dumps(CATALOG)))
    got = check_against_manuals(cat, ["e5_charging", "h7_charging", "extra"])
    assert got == ["catalog.json: 'shared_rescue': no manual shared_rescue.md in manuals/",
                   "catalog.json: manual 'extra' has no entry (it matches no vehicle filter)"]
    assert check_against_manuals(Catalog(), ["a"]) == []  # no catalog: nothing to say
