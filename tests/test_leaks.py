"""Reference counts and memory: every public function, valid and invalid
arguments, called many times, must leave no objects or memory behind and must
not change the reference counts of its arguments."""
from __future__ import annotations

import gc
import importlib
import sys
import tracemalloc

import pytest

ROUNDS = 3000
SCENE = {"type": "scene", "title": "更换轮胎", "description": "说明", "images": [],
         "steps": [{"index": 1, "text": "拧紧螺栓", "sub_points": ["a"], "images": [{"url": "u", "position": "step_1", "caption": "c"}]}],
         "warning": ["小心"], "notice": [], "tip": []}
TREE = {"type": "document", "doc_name": "", "title": "t", "children": [SCENE, {"title": "x"}]}
NODE = {"title": "A", "level": 1, "content_lines": ["x", "1. y"],
        "children": [{"title": "操作步骤", "level": 2, "content_lines": ["1. a：b；c", "![](p.png)"], "children": []}]}
MANUAL = "# 第一章\n## 更换轮胎\n### 操作步骤\n1. 打开：检查；确认\n- 注意\n![](x.png)\n### 注意\n小心\n"

# (module, function, args, kwargs); an entry whose call raises is an error-path check.
CALLS = [
    ("plaxon", "clean_text", (" a \u3000b ",), {}),
    ("plaxon", "clean_text", (None,), {}),
    ("plaxon", "is_blank", ("\ud800",), {}),
    ("plaxon", "extract_image_urls", ("![](a)![](b)",), {}),
    ("plaxon", "strip_images", ("x![](a)",), {}),
    ("plaxon", "make_heading_node", ("t", 2), {}),
    ("plaxon", "make_heading_node", ("t", "2"), {}),
    ("plaxon", "parse_markdown_heading_tree", (MANUAL,), {"doc_name": "d"}),
    ("plaxon", "make_scene", ("t",), {}),
    ("plaxon", "make_step", (10**30, "t"), {}),
    ("plaxon", "split_step_text_and_subpoints", ("a：b；c",), {}),
    ("plaxon", "heading_node_to_scene", (NODE,), {}),
    ("plaxon", "heading_node_to_scene", ({"title": "A"},), {}),
    ("plaxon", "collect_scenes_from_heading_tree", ({"title": "r", "level": 0, "content_lines": [], "children": [NODE]},), {}),
    ("plaxon", "markdown_to_tree", (MANUAL,), {}),
    ("plaxon", "markdown_to_tree", (MANUAL, 3), {}),
    ("plaxon", "markdown_to_tree", ("# A\n## 操作步骤\n" + "1" * 5000 + ". x",), {}),
    ("morlek", "normalize_text", ("ABC（Σ）\u3000d\ud800",), {}),
    ("morlek", "normalize_text", (42,), {}),
    ("morlek", "contains_any", ("abc", ["x", "b"]), {}),
    ("morlek", "unique_keep_order", (["a", "", "a", "b"],), {}),
    ("morlek", "unique_keep_order", ([1],), {}),
    ("morlek", "build_keywords_from_scene", (SCENE,), {}),
    ("morlek", "build_keywords_from_scene", ({"title": "T", "warning": [5]},), {}),
    ("morlek", "classify_query_intent", ("怎么换轮胎",), {}),
    ("morlek", "build_scene_context", (SCENE, "how_to"), {}),
    ("morlek", "build_scene_context", (SCENE, None), {}),
    ("morlek", "render_context_for_llm", ({"title": "x"},), {}),
    ("morlek", "flatten_scenes", (TREE,), {}),
    ("morlek", "build_scene_index", (TREE,), {}),
    ("morlek", "score_scene", ("更换轮胎怎么做", {"title": "更换轮胎", "aliases": ["换胎"], "keywords": ["轮胎"], "scene": SCENE}), {}),
    ("morlek", "match_scenes", ("轮胎", [{"title": "更换轮胎", "aliases": [], "keywords": ["轮胎"], "scene": SCENE}]), {"top_k": -1}),
    ("morlek", "search_knowledge", ("怎么更换轮胎", TREE), {"top_k": 2}),
    ("morlek", "search_knowledge", ("x", "not a tree"), {}),
    ("ostrel", "build_scene_record", ("m", TREE, SCENE, 10**30), {}),
    ("ostrel", "build_scene_record", ("m", TREE, {"title": "T", "warning": [5]}, 0), {}),
    ("farrowin", "score_record", ("更换轮胎（前）", {"scene_title": "更换轮胎", "aliases": ["换胎"], "keywords": ["轮胎", 3]}), {}),
    ("farrowin", "search_knowledge_global", ("轮胎", [{"scene_title": "轮胎", "keywords": ["轮胎"]}] * 3), {"top_k": -1}),
    ("farrowin", "search_knowledge_global", ("轮胎", [{"scene_title": "x"}, {}]), {}),
    ("farrowin", "load_scene_index", ("no/such/index.jsonl",), {}),
]


def call(fn, args, kwargs):
    try:
        fn(*args, **kwargs)
    except Exception:
        pass


@pytest.mark.parametrize("mod, name, args, kwargs", CALLS, ids=[f"{m}.{n}#{i}" for i, (m, n, _, _) in enumerate(CALLS)])
def test_no_leak(mod, name, args, kwargs):
    try:
        module = importlib.import_module(f"corvane.{mod}")
    except ImportError as e:
        pytest.skip(f"corvane.{mod} not importable here: {e}")
    fn = getattr(module, name)
    # Containers only: singletons and small cached objects are shared with the interpreter.
    watched = [a for a in list(args) + list(kwargs.values()) if isinstance(a, (dict, list))]
    refs_before = [sys.getrefcount(a) for a in watched]
    for _ in range(200):  # warm caches (interned keys, type objects)
        call(fn, args, kwargs)
    gc.collect()
    objects_before = len(gc.get_objects())
    tracemalloc.start()
    try:
        snapshot_before = tracemalloc.get_traced_memory()[0]
        for _ in range(ROUNDS):
            call(fn, args, kwargs)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - snapshot_before
    finally:
        tracemalloc.stop()
    assert len(gc.get_objects()) - objects_before < 50
    assert grown < 64 * 1024, f"{grown} bytes still held after {ROUNDS} calls"
    assert [sys.getrefcount(a) for a in watched] == refs_before
