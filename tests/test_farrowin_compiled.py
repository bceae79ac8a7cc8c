"""The compiled scene index returns exactly what the plain global search returns."""
import pytest
from hypothesis import given, strategies as st

from corvane import farrowin

WORDS = ["轮胎", "更换", "更换轮胎", "Tyre", "TYRE", "tyre", "胎", "a", "AB", "ab", "（注意）", "(注意)", "检查 胎压",
         "换", "", " ", "İ", "Σa", "😀x", "\ud800z", "更换轮胎怎么做"]
texts = st.one_of(st.sampled_from(WORDS), st.lists(st.sampled_from(WORDS), max_size=3).map("".join))
entries = st.fixed_dictionaries(
    {"scene_title": texts},
    optional={"aliases": st.lists(texts, max_size=4), "keywords": st.lists(texts, max_size=12)},
)


def same(a, b):
    assert len(a) == len(b)
    for (ea, sa), (eb, sb) in zip(a, b):
        assert ea is eb and sa == sb and type(sa) is int


@given(st.lists(entries, max_size=30), st.lists(texts, min_size=1, max_size=6),
       st.sampled_from([0, 1, 3, 5, 100, -1, -3, 10**30, -(10**30)]))
def test_compiled_equals_plain_search(index, queries, top_k):
    compiled = farrowin.compile_scene_index(index)
    for query in queries + [""]:
        same(compiled.search(query, top_k), farrowin.search_knowledge_global(query, index, top_k))
    same(compiled.search(queries[0]), farrowin.search_knowledge_global(queries[0], index))


def test_many_ties_and_common_keywords():
    index = [{"scene_title": f"场景{i}", "aliases": [], "keywords": ["检查", "座椅"] * (i % 3) + [f"k{i % 7}"]}
             for i in range(3000)]
    compiled = farrowin.compile_scene_index(index)
    for q in ("检查座椅k3", "座椅", "k1k2", "场景1234检查", "无关", "场景2"):
        for k in (1, 3, 50, -5):
            same(compiled.search(q, top_k=k), farrowin.search_knowledge_global(q, index, k))


def test_compiled_index_keeps_its_snapshot_and_rejects_bad_input():
    index = [{"scene_title": "更换轮胎"}]
    compiled = farrowin.compile_scene_index(index)
    index.clear()
    assert compiled.search("更换轮胎")[0][1] == 15 and len(compiled) == 1
    with pytest.raises(KeyError):
        farrowin.compile_scene_index([{"aliases": []}])
    with pytest.raises(TypeError, match="scene_title"):
        farrowin.compile_scene_index([{"scene_title": 3}])
    with pytest.raises(TypeError, match="scene_index"):
        farrowin.compile_scene_index(None)
    with pytest.raises(TypeError, match="top_k"):
        compiled.search("x", "3")
    with pytest.raises(TypeError, match="query"):
        compiled.search(None)
