"""The hybrid ranker (corvane._hybrid): BM25 held to a plain Python BM25, the
two stages, refusal, synonyms, argument checks and the compiled section."""
import math
import threading

import pytest
from hypothesis import given
from hypothesis import strategies as st

from corvane import _hybrid
from hybrid_reference import PlainBM25, entry_fields, terms

DEFAULT_WEIGHTS = dict(title=5, aliases=8, description=1, steps=1, warning=0.5, notice=0.5, tip=0.5)


def entry(title, aliases=(), description="", steps=(), warning=(), notice=(), tip=(), keywords=None):
    scene = {
        "type": "scene", "title": title, "description": description, "images": [],
        "steps": [{"index": i + 1, "text": t, "sub_points": list(sp), "images": []} for i, (t, sp) in enumerate(steps)],
        "warning": list(warning), "notice": list(notice), "tip": list(tip),
    }
    return {
        "scene_id": f"m_scene_{title}", "manual_id": "m", "manual_title": "document", "doc_name": "",
        "scene_title": title, "aliases": [title, *aliases], "keywords": keywords if keywords is not None else [title],
        "scene_data": scene,
    }


# ---------------------------------------------------------------------------
# BM25 against the plain reference

# A small alphabet so that random texts share terms: ideographs, ASCII and
# full-width letters and digits, upper case, spaces and punctuation.
ALPHABET = "制动液轮胎压车门怎么的吗aAb1２Ｘ （），-"
texts = st.text(alphabet=ALPHABET, max_size=14)
queries = st.text(alphabet=ALPHABET, min_size=2, max_size=10)
entries_st = st.lists(
    st.builds(
        lambda t, al, d, s, w, n, tp: entry(t, al, d, [(x, sp) for x, sp in s], w, n, tp),
        texts, st.lists(texts, max_size=2), texts,
        st.lists(st.tuples(texts, st.lists(texts, max_size=2)), max_size=2),
        st.lists(texts, max_size=2), st.lists(texts, max_size=1), st.lists(texts, max_size=1),
    ),
    min_size=1, max_size=12,
)
weights_st = st.fixed_dictionaries({
    f: st.sampled_from([0.0, 0.5, 1.0, 2.0, 5.0]) for f in ("title", "aliases", "description", "steps", "warning", "notice", "tip")
})


def same_ranking(got, want):
    """Equal scores position by position; equal ids except inside near-ties
    (scores are computed from 32-bit stored values)."""
    assert len(got) == len(want)
    for (gi, gs), (wi, ws) in zip(got, want):
        assert math.isclose(gs, ws, rel_tol=1e-5, abs_tol=1e-9), (got, want)
        if gi != wi:
            assert any(math.isclose(ws, s, rel_tol=1e-5) for i, s in want if i == gi), (got, want)


@given(entries_st, queries, st.sampled_from([0.5, 1.2, 2.0]), st.sampled_from([0.0, 0.5, 0.75, 1.0]), weights_st,
       st.integers(1, 14))
def test_bm25_matches_plain_reference(entries, query, k1, b, weights, k):
    h = _hybrid.HybridIndex(entries, k1=k1, b=b, weights=weights)
    ref = PlainBM25([entry_fields(e) for e in entries], weights, k1, b)
    want = ref.ranking(query)
    same_ranking(h.bm25_search(query, k), want[:k])
    same_ranking(h.bm25_search(query, len(entries)), want)


@pytest.mark.parametrize("text, want", [
    ("制动液", ["制动", "动液"]),
    ("车", ["车"]),
    ("车，门", ["车", "门"]),
    ("ACC 自适应", ["acc", "自适", "适应"]),     # white space goes, words stay whole
    ("Linde H7）", ["lindeh7"]),
    ("１２V蓄电池", ["12v", "蓄电", "电池"]),   # full-width digits fold to ASCII
    ("—、。", []),
])
def test_terms(text, want):
    assert terms(text) == want
    # The compiled side uses the same terms: a document holding exactly
    # these texts is found by each of its terms.
    h = _hybrid.HybridIndex([entry("x", description=text)], weights=dict(title=0, aliases=0))
    for t in want:
        assert [i for i, _ in h.bm25_search(t, 1)] == [0]


def test_large_random_corpus_top_k_equals_full_sort():
    # Many entries sharing common terms exercise the skipping of the walk.
    import random

    rng = random.Random(7)
    words = ["制动液", "轮胎", "胎压", "充电口", "车门", "检查", "更换", "ACC", "雨刮", "蓄电池"]
    entries = [entry(f"场景{i}", description=" ".join(rng.choice(words) for _ in range(rng.randint(1, 12))))
               for i in range(400)]
    h = _hybrid.HybridIndex(entries)
    ref = PlainBM25([entry_fields(e) for e in entries], DEFAULT_WEIGHTS, 1.2, 0.75)
    for q in ["制动液检查", "轮胎胎压更换", "ACC雨刮", "蓄电池充电口车门检查更换"]:
        for k in (1, 3, 10, 50):
            same_ranking(h.bm25_search(q, k), ref.ranking(q)[:k])


# ---------------------------------------------------------------------------
# The two stages

CORPUS = [
    entry("制动液更换", ["刹车油更换"], "制动液每两年更换一次。", [("举升车辆", ["排空旧液"])]),
    entry("轮胎气压标准", ["标准胎压"], "轮胎冷态时胎压应为 250 kPa。"),
    entry("发动机机油检查（Linde H7）", [], "拔出机油尺查看油位。"),
    entry("儿童安全锁", ["儿童锁"], "后车门内侧有儿童安全锁拨杆，拨到锁止位置后车门无法从车内打开。"),
    entry("补胎", [], "轮胎扎钉后可以补胎，胎侧损伤不能修补。", warning=["胎侧鼓包必须更换轮胎。"]),
]


@pytest.fixture(scope="module")
def corpus():
    return _hybrid.HybridIndex(CORPUS, synonyms={"刹车": ["制动"], "螺丝": "螺栓"}, fused=False)


def titles(results):
    return [e["scene_title"] for e, *_ in results]


@pytest.mark.parametrize("question, first, stage", [
    ("制动液更换周期", "制动液更换", 1),                  # title in the question
    ("儿童锁怎么关", "儿童安全锁", 1),                    # alias in the question
    ("发动机机油检查要注意什么", "发动机机油检查（Linde H7）", 1),  # title without its model name
    ("后车门从车内打不开", "儿童安全锁", 2),               # paraphrase: BM25
    ("刹车的油多久换", "制动液更换", 2),                   # synonym 刹车 -> 制动
])
def test_stages(corpus, question, first, stage):
    got = corpus.search_stages(question, 3)
    assert got[0][0]["scene_title"] == first
    assert got[0][2] == stage


def test_title_matches_come_first_in_the_global_order(corpus):
    # Both titles occur; the global search orders them (equal scores: index
    # order), and BM25 fills the rest without repeating them.
    got = corpus.search_stages("补胎以后轮胎气压标准是多少", 5)
    assert titles(got)[:2] == ["轮胎气压标准", "补胎"]
    assert [s for *_, s in got[:2]] == [1, 1]
    assert len(set(titles(got))) == len(got)
    assert all(s == 2 for *_, s in got[2:])


def test_refusal_and_empty_results(corpus):
    assert corpus.search("违章记录在哪查", 5) == []          # shares only question words
    # 以补 straddles 可以 and 补: it says nothing of the topic (补胎 holds 可以补胎);
    # without its question words the query is 补, which no scene holds as a term
    assert corpus.search("这个可以补吗", 5) == []
    assert corpus.bm25_search("这个可以补吗", 5) != []       # plain BM25 does match it
    assert corpus.search("", 5) == []
    assert corpus.search("制动液更换", 0) == []
    strict = _hybrid.HybridIndex(CORPUS, threshold=1000, fused=False)
    assert strict.search("后车门从车内打不开", 5) == []     # below the threshold: refused
    assert titles(strict.search("儿童锁", 5))[:1] == ["儿童安全锁"]  # a title/alias match is never refused
    assert _hybrid.HybridIndex([]).search("制动液", 5) == []


def test_results_are_the_index_entries_and_scores_are_bm25(corpus):
    got = corpus.search("后车门从车内打不开", 5)
    assert got[0][0] is CORPUS[3]
    ref = PlainBM25([entry_fields(e) for e in CORPUS], DEFAULT_WEIGHTS, 1.2, 0.75)
    q_terms = [t for t in ref.query_terms("后车门从车内打不开")]
    assert math.isclose(got[0][1], ref.score(q_terms, 3), rel_tol=1e-5)


def test_search_from_threads(corpus):
    want = corpus.search("后车门从车内打不开", 3)
    out = []

    def work():
        for _ in range(200):
            out.append(corpus.search("后车门从车内打不开", 3) == want)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(out) and len(out) == 800


@pytest.mark.parametrize("kwargs, exc, text", [
    (dict(entries=[1]), TypeError, "entry 0"),
    (dict(entries=[{"aliases": []}]), KeyError, "scene_title"),
    (dict(entries=[{"scene_title": 3}]), TypeError, "scene_title"),
    (dict(entries=[{"scene_title": "a", "aliases": "ab"}]), TypeError, "aliases"),
    (dict(entries=[{"scene_title": "a", "scene_data": {"steps": [3]}}]), TypeError, "steps"),
    (dict(entries=[], k1=0), ValueError, "k1"),
    (dict(entries=[], b=1.5), ValueError, "b must"),
    (dict(entries=[], k1="1"), TypeError, "k1"),
    (dict(entries=[], weights={"titel": 2}), ValueError, "titel"),
    (dict(entries=[], weights={"title": -1}), ValueError, "title"),
    (dict(entries=[], threshold=float("nan")), ValueError, "threshold"),
    (dict(entries=[], synonyms={"刹车": 3}), ValueError, "刹车"),
    (dict(entries=[], synonyms={" ": "x"}), ValueError, "empty"),
    (dict(entries=(entry("a"),)), TypeError, "entries"),
])
def test_bad_arguments(kwargs, exc, text):
    entries = kwargs.pop("entries")
    with pytest.raises(exc, match=text):
        _hybrid.HybridIndex(entries, **kwargs)


def test_bad_search_arguments(corpus):
    with pytest.raises(TypeError):
        corpus.search(3, 5)
    with pytest.raises(TypeError):
        corpus.search("x", "5")
    with pytest.raises(ValueError, match="top_k"):
        corpus.search("x", -1)


def test_entries_changed_after_building_are_not_read():
    entries = [entry("制动液更换")]
    h = _hybrid.HybridIndex(entries)
    entries.clear()
    assert titles(h.search("制动液更换", 5)) == ["制动液更换"]


# ---------------------------------------------------------------------------
# Compiled section


def test_section_round_trip_and_damage(corpus):
    data = corpus.bm25_bytes()
    assert _hybrid.check_bm25_bytes(data) == len(CORPUS)
    for bad in (b"", data[:40], data[:-8], data + b"\0" * 8, b"X" + data[1:]):
        with pytest.raises(ValueError, match="invalid BM25 section"):
            _hybrid.check_bm25_bytes(bad)


@given(st.data())
def test_damaged_section_is_refused_or_harmless(corpus, data):
    # Any byte changed anywhere: refused with ValueError, or still a valid
    # image (a changed score, say); never read out of bounds.
    image = bytearray(corpus.bm25_bytes())
    for _ in range(data.draw(st.integers(1, 4))):
        i = data.draw(st.integers(0, len(image) - 1))
        image[i] = data.draw(st.integers(0, 255))
    try:
        assert _hybrid.check_bm25_bytes(bytes(image)) == len(CORPUS)
    except ValueError as exc:
        assert "invalid BM25 section" in str(exc)


@given(entries_st, queries, st.integers(1, 6), st.sampled_from([0.0, 0.5, 1.0, 1.36, 3.0]))
def test_hybrid_matches_plain_model(entries, query, k, threshold):
    from corvane import farrowin
    from hybrid_reference import plain_hybrid

    h = _hybrid.HybridIndex(entries, threshold=threshold, fused=False)
    want, ranking = plain_hybrid(entries, query, k, farrowin.score_record, weights=DEFAULT_WEIGHTS, threshold=threshold)
    pos = {id(e): i for i, e in enumerate(entries)}
    got = [(pos[id(e)], stage) for e, _, stage in h.search_stages(query, k)]
    scores = dict(ranking)
    if got != want:
        # Only BM25 near-ties (32-bit stored values) or a best score at the
        # threshold itself may differ.
        assert [x for x in got if x[1] == 1] == [x for x in want if x[1] == 1]
        near = lambda a, b: math.isclose(scores.get(a, 0), scores.get(b, 0), rel_tol=1e-5)
        if got and want:
            assert len(got) == len(want)
            assert all(g == w or (g[1] == w[1] == 2 and near(g[0], w[0])) for g, w in zip(got, want))
        else:
            best = ranking[0][1] if ranking else 0.0
            unit = math.log(1 + max(0.0, len(entries) - 0.5) / 1.5)
            assert math.isclose(best, threshold * unit, rel_tol=1e-5)


# Overlapping question words: the longest one starting at a character goes
# (什么时候, not 什么), and the text around it closes up (充电的时候 -> 充电时候).
WORD_CORPUS = [
    entry("充电时注意", description="充电时候不要洗车。"),
    entry("时候提醒", description="什么时候都可以。"),
    entry("能否说明", description="能不能能否开门"),
    entry("有没有", description="没有有没有是不是"),
]


@pytest.mark.parametrize("query", [
    "什么时候充电", "充电的时候能不能开", "有没有没有", "是不是是", "能不能否开门", "怎么么办", "的了吗呢吧啊",
])
def test_question_words_against_plain_model(query):
    from corvane import farrowin
    from hybrid_reference import plain_hybrid

    h = _hybrid.HybridIndex(WORD_CORPUS, threshold=0, fused=False)
    want, _ = plain_hybrid(WORD_CORPUS, query, 4, farrowin.score_record, weights=DEFAULT_WEIGHTS, threshold=0)
    pos = {id(e): i for i, e in enumerate(WORD_CORPUS)}
    assert [(pos[id(e)], stage) for e, _, stage in h.search_stages(query, 4)] == want
