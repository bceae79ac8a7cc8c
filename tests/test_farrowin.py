"""Loading the scene index and the global search."""
import json
import re

import pytest
from hypothesis import given, strategies as st

from corvane import farrowin

# --- loading: equal to json.loads of every line -----------------------------

json_values = st.recursive(
    st.none() | st.booleans() | st.integers() | st.integers(min_value=10**19, max_value=10**80)
    | st.floats(allow_nan=True, allow_infinity=True) | st.text(),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=6), inner, max_size=4),
    max_leaves=25,
)


def same(a, b) -> bool:
    """Equality that also tells int from float from bool, -0.0 from 0.0, key order, and NaN."""
    return repr(a) == repr(b)


def load_text(tmp_path, text: str, encoding="utf-8"):
    path = tmp_path / "index.jsonl"
    path.write_bytes(text.encode(encoding, "surrogatepass"))
    return farrowin.load_scene_index(str(path))


@given(st.lists(json_values, min_size=1, max_size=4), st.sampled_from(["\n", "\r\n", "\r"]),
       st.booleans(), st.sampled_from(["", " ", "\t \r"[:2]]))
def test_load_equals_json_loads(tmp_path_factory, values, newline, ascii_escapes, pad):
    # ensure_ascii=True writes every non-ASCII character (lone surrogates included) as \u escapes.
    lines = [pad + json.dumps(v, ensure_ascii=ascii_escapes) + pad for v in values]
    text = newline.join(lines)
    loaded = load_text(tmp_path_factory.mktemp("l"), text)
    expected = [json.loads(line) for line in lines]
    assert same(loaded, expected)


@pytest.mark.parametrize("line", [
    '{"a": 1, "b": 2, "a": 3}',                           # last value wins, first position kept
    r'["\ud800", "\udc00\ud800", "\ud83d\ude00", "\ud83dx", "\u00e9\/\b\f"]',
    '[1E5, -0, -0.0, 1e-400, 1e400, 123456789012345678901234567890, 0.1, 5e-324]',
    '[NaN, Infinity, -Infinity, true, false, null]',
    '[' * 150 + ']' * 150,
    '[' * 600 + ']' * 600,
    '{"k": ' * 300 + '1' + '}' * 300,
    ' \t {"x" : [ 1 , { } ] } \t ',
])
def test_load_edge_values(tmp_path, line):
    assert same(load_text(tmp_path, line + "\n"), [json.loads(line)])


@pytest.mark.parametrize("text, lineno", [
    ('{"a": 1}\n\n', 2),                  # a trailing empty line
    ('{"a": 1}\n \n{"b": 2}', 2),         # a blank line
    ('{"a": 1}\n{"a": 1,}\n', 2),
    ('{"a": 1}\r\n{"a": 1}\r\n[1, 2\r\n', 3),
    ('\ufeff{"a": 1}\n', 1),              # a byte-order mark is not JSON
    ('["a\tb"]\n', 1),                    # raw control character in a string
    ('[01]\n', 1),
])
def test_load_errors_name_file_and_line(tmp_path, text, lineno):
    with pytest.raises(json.JSONDecodeError) as err:
        load_text(tmp_path, text)
    assert err.value.lineno == lineno
    assert str(tmp_path / "index.jsonl") in str(err.value)


def test_load_other_failures(tmp_path):
    with pytest.raises(ValueError, match=r"index\.jsonl, line 2: Exceeds the limit"):
        load_text(tmp_path, "1\n" + "9" * 5000 + "\n")
    with pytest.raises(RecursionError):
        load_text(tmp_path, "[" * 100_000 + "]" * 100_000)
    for raw in (b'{"a": "\xe4\xb8"}\n', b'["\\ud800 \xed\xa0\x80"]\n', b'[1]\n[2] \xff\n', b'[1]\n[2, \xc0\xaf]\n'):
        (tmp_path / "index.jsonl").write_bytes(raw)
        with pytest.raises(UnicodeDecodeError, match="index.jsonl"):
            farrowin.load_scene_index(str(tmp_path / "index.jsonl"))
    with pytest.raises(FileNotFoundError):
        farrowin.load_scene_index(str(tmp_path / "missing.jsonl"))
    assert load_text(tmp_path, "") == []


def test_load_default_path(workdir):
    (workdir / "data").mkdir()
    (workdir / "data" / "scene_index.jsonl").write_text('{"scene_title": "甲"}\n', encoding="utf-8")
    assert farrowin.load_scene_index() == [{"scene_title": "甲"}]


# --- scoring: equal to the plain definition --------------------------------

def normalize(s):
    return re.sub(r"\s+", "", s.lower().replace("（", "(").replace("）", ")"))


def reference_score(query, record):
    q = normalize(query)
    title = normalize(record["scene_title"])
    aliases = [normalize(a) for a in record.get("aliases", [])]
    keywords = [normalize(k) for k in record.get("keywords", [])]
    score = 15 if title and title in q else 0
    if any(a and a in q for a in aliases):
        score += 12
    return score + 2 * min(8, sum(1 for k in keywords if len(k) > 1 and k in q))


texts = st.text(alphabet=st.sampled_from("ab AB（）()\u3000\nİΣσ换胎轮"), max_size=6)
records = st.fixed_dictionaries({"scene_title": texts},
                                optional={"aliases": st.lists(texts, max_size=4),
                                          "keywords": st.lists(texts, max_size=12)})


@given(st.text(alphabet=st.sampled_from("ab AB（）()\u3000\nİΣσ换胎轮"), max_size=30), st.lists(records, max_size=8),
       st.integers(min_value=-10, max_value=10) | st.integers(min_value=2**70) | st.integers(max_value=-2**70))
def test_search_equals_definition(query, index, top_k):
    for rec in index:
        assert farrowin.score_record(query, rec) == reference_score(query, rec)
    pairs = [(rec, reference_score(query, rec)) for rec in index]
    pairs = sorted([p for p in pairs if p[1] > 0], key=lambda p: -p[1])[:top_k]
    result = farrowin.search_knowledge_global(query, index, top_k=top_k)
    assert result == pairs
    assert all(type(p) is tuple and any(p[0] is rec for rec in index) for p in result)


def test_search_keeps_entry_identity_and_order():
    a = {"scene_title": "换胎"}
    b = {"scene_title": "x", "aliases": ["换胎"]}
    c = {"scene_title": "换胎", "keywords": ["轮胎"]}
    result = farrowin.search_knowledge_global("换胎和轮胎", [a, b, c, dict(a)])
    assert [s for _, s in result] == [17, 15, 15, 12]
    assert result[0][0] is c and result[1][0] is a and result[3][0] is b


@pytest.mark.parametrize("call, param", [
    (lambda: farrowin.score_record(None, {}), "query"),
    (lambda: farrowin.score_record("q", []), "record"),
    (lambda: farrowin.search_knowledge_global(b"q", []), "query"),
    (lambda: farrowin.search_knowledge_global("q", ({"scene_title": "q"},)), "scene_index"),
    (lambda: farrowin.search_knowledge_global("q", [], top_k=1.0), "top_k"),
    (lambda: farrowin.search_knowledge_global("q", [{"scene_title": "q"}, "not a dict"]), "record"),
    (lambda: farrowin.score_record("q", {"scene_title": "q", "keywords": ["ok", 3]}), "text"),
])
def test_type_errors_name_the_parameter(call, param):
    with pytest.raises(TypeError, match=f"'{param}'"):
        call()


def test_member_sequences_and_missing_title():
    rec = {"scene_title": "z", "aliases": ("换胎",), "keywords": "换胎"}   # a str iterates by character
    assert farrowin.score_record("换胎", rec) == reference_score("换胎", rec) == 12
    with pytest.raises(KeyError):
        farrowin.search_knowledge_global("q", [{"scene_title": "q"}, {"aliases": ["q"]}])


class Entry(dict):
    pass


WIDE = ["换胎", "Tyre CHECK", "tyre", "ΣΑΣ", "σας", "(注意)", "（注意）", "x😀y", "😀", "İx", "ÀB", "àb", "\u3000胎 压",
        "\ud800a", "a\u0301", "ǅx", "ﬃ", "K"]


@given(st.lists(st.sampled_from(WIDE), min_size=1, max_size=4).map("".join),
       st.lists(st.fixed_dictionaries({"scene_title": st.sampled_from(WIDE)},
                                      optional={"aliases": st.lists(st.sampled_from(WIDE), max_size=3),
                                                "keywords": st.lists(st.sampled_from(WIDE), max_size=10)}),
                min_size=20, max_size=60),
       st.sets(st.integers(min_value=0, max_value=59), max_size=4))
def test_search_over_long_mixed_index(query, index, odd):
    # Texts of every width (latin-1, BMP, astral, lone surrogates) and entries
    # that are not plain dicts or have other sequence types, anywhere in a long list.
    for i in odd:
        if i < len(index):
            index[i] = Entry(index[i]) if i % 2 else {**index[i], "keywords": tuple(index[i].get("keywords", ()))}
    expected = sorted([(r, reference_score(query, r)) for r in index if reference_score(query, r) > 0],
                      key=lambda p: -p[1])
    assert farrowin.search_knowledge_global(query, index, top_k=100) == expected


def test_errors_far_into_the_index_come_in_entry_order():
    good = [{"scene_title": "换胎", "keywords": ["轮胎"] * 12} for _ in range(40)]
    bad_keyword = {"scene_title": "a", "keywords": ["轮胎"] * 9 + [3]}   # past the keyword cap: still checked
    with pytest.raises(TypeError, match="'text'"):
        farrowin.search_knowledge_global("换胎轮胎", good + [bad_keyword, {"aliases": []}])
    with pytest.raises(KeyError):
        farrowin.search_knowledge_global("换胎轮胎", good + [{"aliases": []}, bad_keyword])
    gen = {"scene_title": "q", "aliases": (a for a in ["换胎"])}
    assert farrowin.search_knowledge_global("换胎", good[:20] + [gen], top_k=30)[-1] == (gen, 12)
