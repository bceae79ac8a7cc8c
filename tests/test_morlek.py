import json
import re
import subprocess
import sys
import textwrap

import pytest
from hypothesis import given
from hypothesis import strategies as st

from corvane import morlek

# ---------------------------------------------------------------- normalize_text


def host_normalize(s: str) -> str:
    return re.sub(r"\s+", "", s.lower().replace("（", "(").replace("）", ")"))


TRICKY = ["İ", "Σ", "ΑΣ", "ΑΣ Β", "σς", "ẞ", "ǅ", "ﬁ", "\u3000", "\x85", "\u200b", "\ufeff", "（", "）", "\ud800", "\udfff", "Ａ", "𐐀"]

texts = st.lists(
    st.one_of(st.sampled_from(TRICKY), st.text(st.characters(blacklist_categories=()), max_size=8)),
    max_size=8,
).map("".join)


@given(texts)
def test_normalize_text_equals_host(s):
    assert morlek.normalize_text(s) == host_normalize(s)


@pytest.mark.parametrize("s", TRICKY + ["Σ.", "AΣ\u3000", "ΑΣ\ud800", "a\u0345Σ"])
def test_normalize_text_tricky_single(s):
    assert morlek.normalize_text(s) == host_normalize(s)


# ---------------------------------------------------------------- keywords and tokens


def scene(**kw):
    base = {"type": "scene", "title": "", "description": "", "images": [], "steps": [], "warning": [], "notice": [], "tip": []}
    base.update(kw)
    return base


def test_tokens_split_on_punctuation_and_keep_runs():
    step = {"index": 1, "text": "在中控屏“系统-维护”界面，点触“维护下电”，关闭整车电源。", "sub_points": [], "images": []}
    assert morlek.build_keywords_from_scene(scene(steps=[step])) == [
        "在中控屏", "系统", "维护", "界面", "点触", "维护下电", "关闭整车电源"]
    # Fullwidth letters, ideographs outside U+4E00..U+9FFF and ASCII punctuation separate tokens.
    assert morlek.build_keywords_from_scene(scene(description="2026年款ＡＢ抬头ab㐀cd,ef 𠀀gh")) == [
        "2026年款", "抬头ab", "cd", "ef", "gh"]


def test_keyword_limits_count_dropped_tokens():
    desc = "，".join(["甲"] + [f"词{i:02d}" for i in range(24)])  # 25 tokens, the first one character long
    kws = morlek.build_keywords_from_scene(scene(title="标题", description=desc))
    assert kws == ["标题"] + [f"词{i:02d}" for i in range(19)]
    step = {"text": " ".join(f"s{i}" for i in range(12)), "sub_points": ["a1 a2 a3 a4 a5 a6"]}
    kws = morlek.build_keywords_from_scene({"steps": [step], "tip": ["t1 t2 t3 t4 t5 t6 t7 t8 t9"]})
    assert kws == [f"s{i}" for i in range(10)] + ["a1", "a2", "a3", "a4", "a5"] + [f"t{i}" for i in range(1, 9)]


@pytest.mark.parametrize(
    "title, expected",
    [("门", []), ("车门", ["车门"]), ("𠀀𠀀", ["𠀀𠀀"]), ("", [])],  # lengths are code points, not bytes
)
def test_title_length_filter(title, expected):
    assert morlek.build_keywords_from_scene({"title": title}) == expected


def test_title_first_and_not_repeated():
    kws = morlek.build_keywords_from_scene(scene(title="车门", description="车门 车门 解锁", notice=["解锁"]))
    assert kws == ["车门", "解锁"]


@pytest.mark.parametrize(
    "bad, where",
    [
        ({"title": 5}, "title"),
        ({"description": 7}, "description"),
        ({"steps": [{"text": None}]}, "text"),
        ({"steps": [{"text": "ok", "sub_points": [1]}]}, "sub_points"),
        ({"notice": ["ok", b"x"]}, "notice"),
    ],
)
def test_keywords_reject_non_text_fields(bad, where):
    with pytest.raises(TypeError, match=where):
        morlek.build_keywords_from_scene(bad)


def test_keywords_falsy_description_is_skipped():
    # An empty or missing description contributes nothing, whatever its kind.
    assert morlek.build_keywords_from_scene({"title": "标题", "description": None}) == ["标题"]


def test_unique_keep_order_and_contains_any():
    a, b = "前排座椅", "座椅"
    out = morlek.unique_keep_order([a, "", a, b, "Aa", "aA"])
    assert out == [a, b, "Aa", "aA"] and out[0] is a
    assert morlek.contains_any("abc", []) is False
    assert morlek.contains_any("abc", [""]) is True
    assert morlek.contains_any("abc", ["x", "bc", 5]) is True  # stops at the first hit
    with pytest.raises(TypeError):
        morlek.contains_any("abc", ["x", 5])
    with pytest.raises(TypeError, match="items"):
        morlek.unique_keep_order(["a", 1])


# ---------------------------------------------------------------- argument checks

CALLS = [
    ("normalize_text", ["text"]),
    ("contains_any", ["text", "candidates"]),
    ("unique_keep_order", ["items"]),
    ("build_keywords_from_scene", ["scene"]),
    ("classify_query_intent", ["query"]),
    ("build_scene_context", ["scene", "intent"]),
    ("render_context_for_llm", ["context"]),
    ("flatten_scenes", ["tree"]),
    ("build_scene_index", ["tree"]),
    ("score_scene", ["query", "item"]),
    ("match_scenes", ["query", "scene_index", "top_k"]),
    ("search_knowledge", ["query", "tree", "top_k"]),
]
GOOD = {"text": "a", "candidates": [], "items": [], "scene": {}, "query": "q", "intent": "how_to",
        "context": {}, "tree": {}, "item": {}, "scene_index": [], "top_k": 1}


@pytest.mark.parametrize("fn, params", CALLS)
def test_none_rejected_naming_the_parameter(fn, params):
    for p in params:
        kwargs = {q: GOOD[q] for q in params}
        kwargs[p] = None
        with pytest.raises(TypeError, match=f"{fn}\\(\\) argument '{p}' must be"):
            getattr(morlek, fn)(**kwargs)


def test_top_k_must_be_int():
    with pytest.raises(TypeError, match="top_k"):
        morlek.match_scenes("q", [], 1.0)


# ---------------------------------------------------------------- intent

@pytest.mark.parametrize(
    "query, label",
    [("高压电断开步骤是什么", "how_to"), ("火灾救援要注意什么", "notice_warning"), ("注 意哪些", "notice_warning"),
     ("有哪些\n工具", "definition_or_list"), ("先踩刹车还是", "sequence"), (" \u3000\n", "general"), ("", "general")],
)
def test_intent(query, label):
    assert morlek.classify_query_intent(query) == label


# ---------------------------------------------------------------- scene context


def demo_scene():
    img1 = {"url": "u1", "position": "scene", "caption": "c1"}
    img2 = {"url": "u2", "position": "step_1", "caption": "c2"}
    steps = [{"index": 1, "text": "一", "sub_points": ["子"], "images": [img2]}, {"index": 2, "text": "二", "sub_points": [], "images": []}]
    return scene(title="T", description="D", images=[img1], steps=steps, warning=["w"], notice=["n"], tip=["t"])


@pytest.mark.parametrize(
    "intent, selected",
    [("how_to", "steps warning notice tip"), ("notice_warning", "warning notice tip"),
     ("definition_or_list", "steps"), ("sequence", "steps warning notice"), ("", "steps warning notice tip"),
     ("general", "steps warning notice tip")],
)
def test_context_shares_the_scene_lists(intent, selected):
    s = demo_scene()
    ctx = morlek.build_scene_context(s, intent)
    assert list(ctx) == ["title", "description", "steps", "warning", "notice", "tip", "images"]
    assert ctx["title"] is s["title"] and ctx["description"] is s["description"]
    for k in ("steps", "warning", "notice", "tip"):
        if k in selected.split():
            assert ctx[k] is s[k]
        else:
            assert ctx[k] == [] and ctx[k] is not s[k]
    assert ctx["images"] is not s["images"]
    assert [i is j for i, j in zip(ctx["images"], s["images"] + s["steps"][0]["images"])] == [True, True]


def test_render_sections_and_text_forms():
    s = demo_scene()
    text = morlek.render_context_for_llm(morlek.build_scene_context(s, "notice_warning"))
    assert text == "# T\n## 说明\nD\n## 警告\n- w\n## 注意\n- n\n## 提示\n- t\n## 图片\n- c1: u1\n- c2: u2"
    big = 10**30
    ctx = {"title": 7, "description": "", "steps": [{"index": big, "text": "x", "sub_points": [3]}],
           "warning": [], "notice": [], "tip": [], "images": []}
    assert morlek.render_context_for_llm(ctx) == f"# 7\n## 操作步骤\n{big}. x\n- 3"
    assert morlek.render_context_for_llm(dict(ctx, steps=[])) == "# 7"


def test_render_errors():
    ctx = morlek.build_scene_context(demo_scene(), "how_to")
    with pytest.raises(TypeError, match="description"):
        morlek.render_context_for_llm(dict(ctx, description=5))
    with pytest.raises(KeyError):
        morlek.render_context_for_llm(dict(ctx, steps=[{"index": 1}]))
    with pytest.raises(KeyError):
        morlek.render_context_for_llm(dict(ctx, images=[{"caption": "c"}]))


# ---------------------------------------------------------------- in-document search


def tree_of(*scenes):
    return {"type": "document", "doc_name": "d", "title": "t", "children": [{"title": "heading"}, *scenes]}


def test_index_entries_and_identity():
    a, b = scene(title="更换轮胎", steps=[{"text": "拆下轮胎"}]), scene(title="")
    index = morlek.build_scene_index(tree_of(a, {"type": "other"}, b))
    assert [e["node_id"] for e in index] == ["scene_1", "scene_2"]
    assert index[0]["aliases"] == ["更换轮胎", "换胎", "补胎"]  # the golden alias map
    assert index[0]["scene"] is a and index[1]["aliases"] == []
    pairs = morlek.match_scenes("怎么更换轮胎", index)
    assert type(pairs[0]) is tuple and pairs[0][0] is index[0]


@pytest.mark.parametrize(
    "top_k, expected",
    [(3, [0, 1, 2]), (2, [0, 1]), (0, []), (-1, [0, 1]), (-5, []), (10**40, [0, 1, 2]), (-(10**40), []), (True, [0])],
)
def test_match_scenes_top_k_slices(top_k, expected):
    index = morlek.build_scene_index(tree_of(scene(title="甲"), scene(title="乙"), scene(title="丙")))
    pairs = morlek.match_scenes("", index, top_k)  # an empty question scores 8 everywhere
    assert [index.index(e) for e, _ in pairs] == expected and all(s == 8 for _, s in pairs)
    assert len(morlek.search_knowledge("", tree_of(scene(title="甲"), scene(title="乙"), scene(title="丙")), top_k)["results"]) == len(expected)


def test_score_caps_keywords_and_requires_keys():
    words = [f"词{i}" for i in range(12)]
    item = {"title": "无关", "aliases": [], "keywords": words + ["Ab", "aB"], "scene": {}}
    assert morlek.score_scene("".join(words), item) == 16
    assert morlek.score_scene("ab", dict(item, keywords=["Ab", "aB", "a"])) == 4  # case twins count twice
    with pytest.raises(KeyError):
        morlek.score_scene("q", {"title": "t", "aliases": [], "keywords": []})


scene_texts = st.lists(st.sampled_from(list("车门高压电断开救援注意步骤怎么禁止ABab （）") + ["更换轮胎", "换胎", "三包"]), max_size=8).map("".join)
scenes_st = st.builds(
    lambda title, desc, steps, warning, notice: scene(
        title=title, description=desc, steps=[{"index": i + 1, "text": t, "sub_points": [t[:3]], "images": []} for i, t in enumerate(steps)],
        warning=warning, notice=notice),
    st.one_of(st.sampled_from(["更换轮胎", "三包责任承诺", "高压电断开程序"]), scene_texts),
    scene_texts, st.lists(scene_texts, max_size=3), st.lists(scene_texts, max_size=2), st.lists(scene_texts, max_size=2),
)


@given(st.lists(scenes_st, max_size=5), scene_texts, st.integers(-3, 4))
def test_search_knowledge_agrees_with_its_parts(scenes, query, top_k):
    check_agreement(scenes, query, top_k)


@pytest.mark.parametrize(
    "scenes, query",
    [
        # repeats of a hit count once; the title repeated as a token counts once; the cap of eight
        ([scene(title="车门", description="车门 车门 解锁 解锁 车门解锁", notice=["解锁"])], "怎么车门解锁注意"),
        ([scene(title="x", description=" ".join(f"k{i}" for i in range(20)))], "".join(f"k{i}" for i in range(20))),
        # upper-case tokens and titles with spaces and fullwidth parentheses
        ([scene(title="座椅（前排） 调节", description="ECO模式 Eco模式")], "座椅(前排)调节eco模式"),
        ([scene(title="ÅB", steps=[{"index": 1, "text": "ÅB ÅBC"}])], "åbc"),
    ],
)
def test_search_knowledge_agrees_on_repeats_and_caps(scenes, query):
    check_agreement(scenes, query, 3)


def check_agreement(scenes, query, top_k):
    tree = tree_of(*scenes)
    got = morlek.search_knowledge(query, tree, top_k=top_k)
    intent = morlek.classify_query_intent(query)
    pairs = morlek.match_scenes(query, morlek.build_scene_index(tree), top_k)
    expected = []
    for entry, score in pairs:
        ctx = morlek.build_scene_context(entry["scene"], intent)
        expected.append({"node_id": entry["node_id"], "title": entry["title"], "score": score, "intent": intent,
                         "context": ctx, "llm_context": morlek.render_context_for_llm(ctx)})
    assert got == {"query": query, "intent": intent, "results": expected}
    assert got["query"] is query
    for item, (entry, _) in zip(got["results"], pairs):
        assert item["context"]["notice"] in ([], entry["scene"]["notice"])


# ---------------------------------------------------------------- alias file loading

PROBE = textwrap.dedent(
    """
    import json, sys
    from corvane import morlek
    sys.stdout.write("MAP=" + json.dumps(morlek.MANUAL_ALIAS_MAP, ensure_ascii=False) + "\\n")
    """
)


def load_in(folder, content: bytes | None):
    if content is not None:
        (folder / "data").mkdir()
        (folder / "data" / "manual_alias.json").write_bytes(content)
    proc = subprocess.run([sys.executable, "-c", PROBE], cwd=folder, capture_output=True, check=True)
    out = proc.stdout.decode("utf-8").splitlines()
    return out[:-1], json.loads(out[-1][4:])


def json_error(text: str) -> str:
    try:
        json.loads(text)
    except json.JSONDecodeError as e:
        return str(e)
    raise AssertionError("valid JSON")


PREFIX = "加载手工别名文件失败: "


@pytest.mark.parametrize(
    "content, message",
    [
        (None, PREFIX + str(FileNotFoundError(2, "No such file or directory", "data/manual_alias.json"))),
        (b'{"a": [', PREFIX + json_error('{"a": [')),
        ('\ufeff{"a": ["b"]}'.encode(), PREFIX + json_error('\ufeff{"a": ["b"]}')),
        (b"\xff\xfe", None),  # not UTF-8: the decoder's message
        (b'["a"]', PREFIX + "data/manual_alias.json: expected a JSON object mapping scene titles to arrays of aliases, found list"),
        (b'{"a": "b"}', PREFIX + "data/manual_alias.json: the aliases of 'a' must be an array of strings"),
        (b'{"a": ["b", 1]}', PREFIX + "data/manual_alias.json: the aliases of 'a' must be an array of strings"),
    ],
)
def test_alias_file_failures(tmp_path, content, message):
    lines, value = load_in(tmp_path, content)
    assert value == {} and len(lines) == 1
    if message is None:
        assert lines[0].startswith(PREFIX + "'utf-8' codec can't decode")
    else:
        assert lines[0] == message


def test_alias_file_loaded_as_is(tmp_path):
    lines, value = load_in(tmp_path, json.dumps({"座椅（前排）调节": ["前排座椅", "", "Seat"], "x": []}, ensure_ascii=False).encode())
    assert lines == [] and value == {"座椅（前排）调节": ["前排座椅", "", "Seat"], "x": []}


def test_demo_document_without_aliases():
    from corvane.__main__ import DEMO_QUESTIONS, demo_tree

    index = morlek.build_scene_index(demo_tree())
    for entry in index:
        entry["aliases"] = entry["aliases"][:1]  # as with an empty alias map
    scores = {q: [morlek.score_scene(q, e) for e in index] for q in DEMO_QUESTIONS}
    assert scores == {"怎么断高压": [3, 3], "车辆起火怎么办": [3, 3], "火灾救援要注意什么": [0, 4], "高压电断开步骤是什么": [3, 3]}
