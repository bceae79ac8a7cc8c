"""Hostile arguments for every public function of the compiled modules (the six and the private
_engine and _hybrid).

Each case calls one function with valid arguments into which one hostile
ingredient has been put: a dict key whose hash collides with a key the code
looks up and whose __eq__ raises or empties the containers, str/int/dict/list
subclasses and plain objects whose hooks raise or empty the containers, lone
surrogates, huge ints, self-containing containers, containers churned by
another thread while the call runs, and modules dropped from sys.modules.
The rule is that a call ends with a result or a Python exception; the
interpreter never dies.

Cases are built from their id alone, so a parent process can list them and a
child process (this file run as a script) can run any of them:

    python hostile.py --results FILE [--collect] < ids.json

writes "S <n>" before and "R <n> <outcome>" after case n of the list, straight
to FILE, so a crash leaves the case that was running as the last "S" line.
"""
from __future__ import annotations

import copy
import gc
import importlib
import json
import os
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import dataclass, field
from typing import Any, Callable

MODULES = ("plaxon", "morlek", "ostrel", "farrowin", "vendry", "delmoor")
PRIVATE_MODULES = ("_engine", "_hybrid")
QUERY = "如何更换轮胎"


class Boom(Exception):
    """Raised by every hostile hook that raises."""


def fresh(s: str) -> str:
    """A new str object equal to s: emptying its container frees it."""
    return s[:1] + s[1:] if len(s) > 1 else s


# ---------------------------------------------------------------------------
# Valid arguments (every call builds new objects).

def image(url: str, position: str, caption: str) -> dict:
    return {"url": fresh(url), "position": fresh(position), "caption": fresh(caption)}


def scene() -> dict:
    return {"type": fresh("scene"), "title": fresh("更换轮胎"), "description": fresh("更换轮胎前请停车"),
            "images": [image("scene.png", "scene", "更换轮胎相关图片")],
            "steps": [{"index": 1, "text": fresh("拧紧螺栓"), "sub_points": [fresh("检查轮胎")],
                       "images": [image("step.png", "step_1", "更换轮胎-步骤1图片")]}],
            "warning": [fresh("小心烫伤")], "notice": [fresh("注意安全")], "tip": [fresh("备胎位置")]}


def tree() -> dict:
    return {"type": fresh("document"), "doc_name": fresh("manual"), "title": fresh("用户手册"),
            "children": [scene(), {"type": fresh("other")}]}


def heading(title: str, level: int, lines: list[str], children: list[dict]) -> dict:
    return {"title": fresh(title), "level": level, "content_lines": [fresh(x) for x in lines], "children": children}


def heading_node() -> dict:
    return heading("更换轮胎", 2, ["说明文字", "![](d.png)"], [
        heading("操作步骤", 3, ["1. 拧紧：检查；确认", "![](s.png)", "- 子项"], []),
        heading("注意", 3, ["- 小心", "![](w.png)"], [])])


def heading_root() -> dict:
    return heading("手册", 0, ["前言"], [heading_node()])


def small_scene() -> dict:
    return {"title": fresh("更换轮胎"), "steps": [fresh("拧紧螺栓")], "warning": [fresh("小心")]}


def entry(n: int, data: dict | None = None) -> dict:
    return {"scene_id": fresh(f"m_scene_{n}"), "manual_id": fresh("m"), "manual_title": fresh("用户手册"),
            "doc_name": fresh("m"), "scene_title": fresh("更换轮胎" if n == 1 else "轮胎保养"),
            "aliases": [fresh("更换轮胎"), fresh("换胎")], "keywords": [fresh("轮胎"), fresh("螺栓")],
            "scene_data": data if data is not None else small_scene()}


def doc_item() -> dict:
    return {"node_id": fresh("scene_1"), "title": fresh("更换轮胎"), "aliases": [fresh("更换轮胎"), fresh("换胎")],
            "keywords": [fresh("轮胎"), fresh("螺栓")], "scene": small_scene()}


def context() -> dict:
    return {"title": fresh("更换轮胎"), "description": fresh("说明文字"),
            "steps": [{"index": 1, "text": fresh("拧紧螺栓"), "sub_points": [fresh("检查轮胎")], "images": []}],
            "warning": [fresh("小心烫伤")], "notice": [fresh("注意安全")], "tip": [fresh("备胎位置")],
            "images": [image("scene.png", "scene", "更换轮胎相关图片")]}


def matched() -> dict:
    return {"query": fresh(QUERY), "intent": fresh("how_to"),
            "results": [{"node_id": fresh("m_scene_1"), "title": fresh("更换轮胎"), "score": 15,
                         "intent": fresh("how_to"), "context": context()}]}


def alias_map() -> dict:
    return {fresh("更换轮胎"): [fresh("换胎"), fresh("轮胎更换")], fresh("注意事项"): [fresh("小心")]}


def replies() -> list:
    """Model replies for two self-check cycles: rejected and improved, then accepted."""
    return [{"answer": fresh("先停车再更换"), "reason": fresh("依据步骤")},
            {"is_ok": False, "reason": fresh("缺少安全提示")},
            {"is_ok": True, "new_prompt": fresh("新提示 __INPUT__ __KNOWLEDGE__ __TIME__"),
             "new_suggestions": fresh("无")},
            {"answer": fresh("停车后更换"), "reason": fresh("依据步骤")},
            {"is_ok": True, "reason": fresh("可以")}]


MANUAL = "# 用户手册\n## 更换轮胎\n说明文字\n### 操作步骤\n1. 拧紧：检查；确认\n![](s.png)\n### 注意\n小心\n## 后记\n完\n"
ALIAS_FILE = {"更换轮胎": ["换胎", "轮胎更换"]}
PROMPT = "提示 __INPUT__ __KNOWLEDGE__ __TIME__"


def module(name: str):
    return importlib.import_module(f"corvane.{name}")


# ---------------------------------------------------------------------------
# Calls that need more than fn(*args).

class QuietBar:
    def __init__(self, *args, **kwargs):
        pass

    def update(self, n=1):
        pass

    def close(self):
        pass


def drive(coro):
    try:
        while True:
            coro.send(None)
    except StopIteration as stop:
        return stop.value


def self_check(user_input, knowledges, replies_list):
    vendry = module("vendry")
    with open("prompt.md", "w", encoding="utf-8") as f:
        f.write(PROMPT)
    n = [0]

    async def model(url, key, prompt):
        reply = replies_list[n[0]]
        n[0] += 1
        return reply

    saved = vendry.llm_response, vendry._clock, vendry.trange
    fixed = __import__("datetime").datetime(2026, 1, 7, 9, 30, 5, tzinfo=vendry.beijing_tz)
    vendry.llm_response, vendry._clock, vendry.trange = model, (lambda: fixed), QuietBar
    try:
        return drive(vendry.generate_ai_prompt("prompt.md", user_input, knowledges, "", "http://127.0.0.1:9/", "k"))
    finally:
        vendry.llm_response, vendry._clock, vendry.trange = saved


def with_alias_map(amap, call):
    morlek = module("morlek")
    saved = morlek.MANUAL_ALIAS_MAP
    morlek.MANUAL_ALIAS_MAP = amap
    try:
        return call()
    finally:
        morlek.MANUAL_ALIAS_MAP = saved


def live_entry():
    """delmoor's own first index entry (the best hit for QUERY), reset to a fresh copy."""
    live = module("delmoor").scene_index[0]
    dict.clear(live)
    live.update(entry(1, scene()))
    return live


@dataclass
class Target:
    name: str                     # case id prefix
    params: tuple[str, ...]       # names of the arguments, for case ids
    build: Callable[[], list]     # fresh arguments
    call: Callable[..., Any]      # runs the call on the arguments
    extra_keys: tuple[str, ...] = ()  # keys looked up that the valid arguments lack
    fixed: frozenset = frozenset()    # arguments that are not replaced as a whole
    shape: Callable[[], list] | None = None  # arguments of the same shape, made without corvane


def plain(mod: str, fn: str) -> Callable[..., Any]:
    return lambda *args: getattr(module(mod), fn)(*args)


def compiled_search(index, query, top_k):
    return module("farrowin").compile_scene_index(index).search(query, top_k)


def target(name, params, build, call=None, **kw) -> Target:
    mod, fn = name.split(".")[:2]
    return Target(name, params, build, call or plain(mod, fn), **kw)


def _f(s):
    return lambda: [fresh(s)]


TARGETS = [
    target("plaxon.clean_text", ("text",), _f(" a \u3000b ![](x.png) ")),
    target("plaxon.is_blank", ("line",), _f(" \u3000 ")),
    target("plaxon.extract_image_urls", ("text",), _f("a ![](x.png) b ![](y.png)")),
    target("plaxon.strip_images", ("text",), _f(" a ![](x.png) b ")),
    target("plaxon.make_heading_node", ("title", "level"), lambda: [fresh(" 更换 轮胎 "), 2]),
    target("plaxon.parse_markdown_heading_tree", ("text", "doc_name", "document_title"),
         lambda: [fresh(MANUAL), fresh("manual"), fresh("手册")]),
    target("plaxon.make_scene", ("title",), _f(" 更换 轮胎 ")),
    target("plaxon.make_step", ("index", "text"), lambda: [3, fresh(" 拧紧 螺栓 ")]),
    target("plaxon.split_step_text_and_subpoints", ("text",), _f("拧紧：检查；确认")),
    target("plaxon.parse_field_into_scene", ("scene", "field", "lines"),
         lambda: [scene(), fresh("steps"), [fresh(x) for x in ["1. 打开：检查；确认", "![](s.png)", "- 子项", "续行", "2. 关闭"]]]),
    target("plaxon.parse_field_into_scene/warning", ("scene", "field", "lines"),
         lambda: [scene(), fresh("warning"), [fresh("- 小心"), fresh("![](w.png)")]],
         plain("plaxon", "parse_field_into_scene")),
    target("plaxon.parse_free_content_into_scene", ("scene", "lines"),
         lambda: [scene(), [fresh("说明文字"), fresh("![](d.png)")]]),
    target("plaxon.heading_node_to_scene", ("node",), lambda: [heading_node()]),
    target("plaxon.collect_scenes_from_heading_tree", ("node",), lambda: [heading_root()]),
    target("plaxon.markdown_to_tree", ("text", "doc_name", "document_title"),
         lambda: [fresh(MANUAL), fresh("manual"), fresh("")]),
    target("morlek.normalize_text", ("text",), _f("ABC（Σ）\u3000d")),
    target("morlek.contains_any", ("text", "candidates"), lambda: [fresh("更换轮胎方法"), [fresh("螺栓"), fresh("轮胎")]]),
    target("morlek.unique_keep_order", ("items",), lambda: [[fresh("轮胎"), fresh(""), fresh("轮胎"), fresh("螺栓")]]),
    target("morlek.build_keywords_from_scene", ("scene",), lambda: [scene()]),
    target("morlek.classify_query_intent", ("query",), _f(QUERY)),
    target("morlek.build_scene_context", ("scene", "intent"), lambda: [scene(), fresh("how_to")]),
    target("morlek.build_scene_context/notice", ("scene", "intent"), lambda: [scene(), fresh("notice_warning")],
         plain("morlek", "build_scene_context")),
    target("morlek.render_context_for_llm", ("context",), lambda: [context()]),
    target("morlek.flatten_scenes", ("tree",), lambda: [tree()]),
    target("morlek.build_scene_index", ("tree", "alias_map"), lambda: [tree(), alias_map()],
         lambda t, a: with_alias_map(a, lambda: module("morlek").build_scene_index(t))),
    target("morlek.score_scene", ("query", "item"), lambda: [fresh(QUERY), doc_item()]),
    target("morlek.match_scenes", ("query", "scene_index", "top_k"), lambda: [fresh(QUERY), [doc_item(), doc_item()], 3]),
    target("morlek.search_knowledge", ("query", "tree", "top_k", "alias_map"),
         lambda: [fresh(QUERY), tree(), 3, alias_map()],
         lambda q, t, k, a: with_alias_map(a, lambda: module("morlek").search_knowledge(q, t, k))),
    target("ostrel.save_json", ("obj", "path"), lambda: [tree(), fresh("out/tree.json")]),
    target("ostrel.append_jsonl", ("obj", "path"), lambda: [entry(1), fresh("out/index.jsonl")]),
    target("ostrel.build_scene_record", ("manual_id", "tree", "scene", "idx", "alias_map"),
         lambda: [fresh("m1"), {"type": fresh("document"), "doc_name": fresh("m1"), "title": fresh("手册")}, scene(), 0,
                  alias_map()],
         lambda m, t, s, i, a: with_alias_map(a, lambda: module("ostrel").build_scene_record(m, t, s, i))),
    target("ostrel.ostrel_main", ("alias_map",), lambda: [alias_map()],
         lambda a: with_alias_map(a, lambda: module("ostrel").ostrel_main()), extra_keys=("后记", "用户手册")),
    target("ostrel.run_index", ("manual_dir", "tree_dir", "index_file", "aliases", "on_manual"),
         lambda: [fresh("data/manuals"), fresh("out/trees"), fresh("out/run_index.jsonl"), alias_map(), print],
         lambda md, td, ix, a, cb: module("ostrel").run_index(md, td, ix, aliases=a, on_manual=cb),
         extra_keys=("后记", "用户手册")),
    target("morlek.read_alias_file", ("path",), _f("data/manual_alias.json")),
    target("_engine.alias_file_ok", ("path",), _f("data/manual_alias.json")),
    target("_engine.read_synonyms_file", ("path",), _f("data/manual_alias.json")),
    target("_engine.classify_query_intent", ("query",), _f(QUERY)),
    target("_engine.build_scene_context", ("scene", "intent"), lambda: [scene(), fresh("how_to")]),
    target("_engine.render_context_for_llm", ("context",), lambda: [context()]),
    target("farrowin.load_scene_index", ("path",), _f("index.jsonl")),
    target("farrowin.score_record", ("query", "record"), lambda: [fresh(QUERY), entry(1)]),
    target("farrowin.search_knowledge_global", ("query", "scene_index", "top_k"),
         lambda: [fresh(QUERY), [entry(1), entry(2)], 5]),
    target("farrowin.compile_scene_index", ("scene_index",), lambda: [[entry(1), entry(2)]]),
    target("farrowin.CompiledSceneIndex.search", ("scene_index", "query", "top_k"),
         lambda: [[entry(1), entry(2)], fresh(QUERY), 5], compiled_search),
    target("vendry.build_prompt", ("user_input", "context_text"), lambda: [fresh(QUERY), matched()]),
    target("vendry.generate_ai_prompt", ("user_input", "knowledges", "replies"),
         lambda: [fresh(QUERY), [matched()], replies()], self_check),
    target("delmoor.answer_query", ("query",), _f(QUERY)),
    target("delmoor.answer_query/entry", ("entry",), lambda: [live_entry()],
         lambda e: module("delmoor").answer_query(QUERY), fixed=frozenset({0}), shape=lambda: [entry(1, scene())]),
]


# The private query-engine modules.  Indexes are built inside the call, so that a value the index keeps
# from its arguments is met again by the search after a hook has freed or replaced it.

def _engine_index():
    return module("_engine").compile_jsonl("index.jsonl", module("farrowin").load_scene_index)


def _compiled_file() -> str:
    if not os.path.exists("index.cvx"):
        _engine_index().write("index.cvx")
    return "index.cvx"


def synonym_map() -> dict:
    return {fresh("刹车"): [fresh("制动"), fresh("刹车片")], fresh("螺丝"): fresh("螺栓")}


def hybrid_entries(full: bool = False) -> list:
    return [entry(1, scene() if full else None), entry(2, scene() if full else None)]


def _hybrid_index(entries, weights=None, synonyms=None):
    return module("_hybrid").HybridIndex(entries, weights=weights, synonyms=synonyms)


WEIGHTS = ("title", "aliases", "description", "steps", "warning", "notice", "tip")

TARGETS += [
    target("_engine.Synonyms", ("synonyms",), lambda: [synonym_map()],
           lambda m: module("_engine").Synonyms(m).expand(QUERY)),
    target("_engine.Synonyms.expand", ("synonyms", "question"), lambda: [synonym_map(), fresh("刹车螺丝怎么换")],
           lambda m, q: module("_engine").Synonyms(m).expand(q)),
    target("_engine.answer_prompt", ("question", "knowledge"), lambda: [fresh(QUERY), matched()]),
    target("_engine.compile_jsonl", ("jsonl", "loader"),
           lambda: [fresh("index.jsonl"), module("farrowin").load_scene_index],
           lambda path, loader: module("_engine").compile_jsonl(path, loader).search(QUERY, 3),
           shape=lambda: [fresh("index.jsonl"), len]),
    target("_engine.open_compiled", ("cvx", "jsonl"), lambda: [fresh("index.cvx"), fresh("index.jsonl")],
           lambda cvx, jsonl: (_compiled_file(), module("_engine").open_compiled(cvx, jsonl).search(QUERY, 3))),
    target("_engine.Index.search", ("query", "top_k"), lambda: [fresh(QUERY), 3],
           lambda q, k: _engine_index().search(q, k)),
    target("_engine.Index.search_hybrid", ("query", "top_k", "synonyms"),
           lambda: [fresh(QUERY), 3, module("_engine").Synonyms(synonym_map())],
           lambda q, k, syn: _engine_index().search_hybrid(q, k, syn), shape=lambda: [fresh(QUERY), 3, None]),
    target("_engine.Index.search/manuals", ("query", "top_k", "manuals"),
           lambda: [fresh(QUERY), 3, {fresh("manual_a"), fresh("manual_b")}],
           lambda q, k, m: _engine_index().search(q, k, m)),
    target("_engine.Index.search_hybrid/manuals", ("query", "top_k", "manuals"),
           lambda: [fresh(QUERY), 3, [fresh("manual_a")]],
           lambda q, k, m: _engine_index().search_hybrid(q, k, module("_engine").Synonyms(None), manuals=m)),
    target("_engine.Index.fused_features", ("query", "top_k", "synonyms", "fusion"),
           lambda: [fresh(QUERY), 3, module("_engine").Synonyms(synonym_map()),
                    {fresh("path"): 1.5, fresh("refuse_held"): 0.5, fresh("threshold"): 1.0}],
           lambda q, k, syn, f: _touch_all(_engine_index().fused_features(q, k, syn, f)),
           shape=lambda: [fresh(QUERY), 3, None, {}]),
    target("_engine.Index.heading_path", ("entry",), lambda: [1], lambda n: _engine_index().heading_path(n)),
    target("_engine.Index.manual_id", ("entry",), lambda: [1], lambda n: _engine_index().manual_id(n)),
    target("_engine.Index.tables", ("entry",), lambda: [1], lambda n: _engine_index().tables(n)),
    target("_engine.Index.line", ("entry",), lambda: [1], lambda n: _engine_index().line(n)),
    target("_engine.Index.record", ("entry",), lambda: [1], lambda n: _engine_index().record(n)),
    target("_engine.Index.write", ("path",), lambda: [fresh("out/index.cvx")], lambda p: _engine_index().write(p)),
    target("_engine.Index.verified", ("wait",), lambda: [1],
           lambda w: module("_engine").open_compiled(_compiled_file(), "index.jsonl").verified(w)),
    target("_engine.Index.answer", ("question", "top_k", "template"),
           lambda: [fresh(QUERY), 3, fresh("Q=__INPUT__ K=__KNOWLEDGE__ T=__TIME__")],
           lambda q, k, t: _touch_all(_engine_index().answer(
               q, k, None, t, "20260101:000000", 1 << 20, module("morlek").build_scene_context,
               module("morlek").classify_query_intent, module("morlek").render_context_for_llm))),
    target("_hybrid.scene_paths", ("markdown", "doc_name", "document_title"),
           lambda: [fresh("# 第一章\n## 座椅加热\n### 通过中央显示屏调节\n点击图标。\n"), fresh("手册"), fresh("")]),
    target("_hybrid.HybridIndex", ("entries", "weights", "synonyms"),
           lambda: [hybrid_entries(full=True), {fresh(f): 1.0 for f in WEIGHTS}, synonym_map()],
           lambda e, w, syn: _hybrid_index(e, w, syn).search(QUERY, 3)),
    target("_hybrid.HybridIndex.search", ("entries", "question", "top_k"), lambda: [hybrid_entries(), fresh(QUERY), 3],
           lambda e, q, k: _touch_all(_hybrid_index(e).search(q, k))),
    target("_hybrid.HybridIndex.search_stages", ("entries", "question", "top_k"),
           lambda: [hybrid_entries(), fresh(QUERY), 3], lambda e, q, k: _touch_all(_hybrid_index(e).search_stages(q, k))),
    target("_hybrid.HybridIndex.fused_features", ("entries", "question", "top_k"),
           lambda: [hybrid_entries(full=True), fresh(QUERY), 3],
           lambda e, q, k: _touch_all(_hybrid_index(e).fused_features(q, k))),
    target("_hybrid.fused_defaults", (), lambda: []),
    target("_hybrid.HybridIndex.bm25_search", ("question", "top_k"), lambda: [fresh(QUERY), 3],
           lambda q, k: _hybrid_index(hybrid_entries()).bm25_search(q, k)),
    target("_hybrid.HybridIndex.bm25_bytes", ("entries",), lambda: [[entry(1)]],
           lambda e: module("_hybrid").check_bm25_bytes(_hybrid_index(e).bm25_bytes())),
    target("_hybrid.check_bm25_bytes", ("data",), lambda: [_hybrid_index(hybrid_entries()).bm25_bytes()],
           shape=lambda: [b"bm25"]),
]
TARGET_BY_NAME = {s.name: s for s in TARGETS}


def _touch_all(value):
    """The result read all the way down (hits hold the index's entries: a freed one is met here)."""
    _touch(value)
    return value


# ---------------------------------------------------------------------------
# Hostile ingredients.

def walk_containers(root) -> list:
    """Every dict and list reachable from root (root itself excluded), read
    with the base types' own methods so that no hook runs."""
    seen = {id(root)}
    out, todo = [], [root]
    while todo:
        c = todo.pop()
        items = list(dict.values(c)) if isinstance(c, dict) else list.copy(c) if isinstance(c, list) else []
        for v in items:
            if isinstance(v, (dict, list)) and id(v) not in seen:
                seen.add(id(v))
                out.append(v)
                todo.append(v)
    return out


class Ctx:
    """State of one running case: its arguments and the garbage made after a mutation."""

    def __init__(self):
        self.args: list = []
        self.scribble: list = []

    def empty(self, containers) -> None:
        fill_freelists()
        for c in containers:
            if isinstance(c, dict):
                dict.clear(c)
            elif isinstance(c, list):
                list.clear(c)
        # Reuse the memory just freed, so that a dangling pointer meets other data.
        self.scribble.append([bytes([0xA5]) * n for n in range(8, 600, 8)])
        self.scribble.append([(n, n + 1.5) for n in range(64)])


def _renewed(value, memo):
    """A copy of plain str/list/dict values (new objects all the way down);
    anything else is kept."""
    if type(value) is str:
        return fresh(value)
    if type(value) not in (list, dict):
        return value
    if id(value) in memo:
        return memo[id(value)]
    if type(value) is list:
        out = memo[id(value)] = []
        out.extend(_renewed(v, memo) for v in value)
    else:
        out = memo[id(value)] = {}
        for k, v in list(value.items()):
            out[k] = _renewed(v, memo)
    return out


def fill_freelists() -> None:
    """Fills the interpreter's free lists of list and dict objects, so that
    the objects freed next go back to the allocator (where a sanitizer, or
    the debug hooks, see any later use) instead of waiting to be reused."""
    junk = [[] for _ in range(200)] + [{n: n} for n in range(200)]
    del junk


def renew(args) -> None:
    """Replaces everything inside the arguments by equal new objects, so that
    whatever the call read before is freed while every lookup still succeeds."""
    memo: dict = {}
    changes = []
    for a in args:
        if isinstance(a, dict):
            changes += [(dict.__setitem__, a, k, _renewed(dict.__getitem__(a, k), memo)) for k in list(dict.keys(a))]
        elif isinstance(a, list):
            changes.append((list.__setitem__, a, slice(None), [_renewed(v, memo) for v in list.copy(a)]))
    fill_freelists()
    for setitem, container, key, value in changes:
        setitem(container, key, value)


class Trigger:
    """What a hostile hook does when it runs: raise, empty every container
    ("clear"), replace everything by new objects ("swap"), or yield the GIL.

    `when` is the call on which it acts (later calls do nothing, except that a
    raising trigger keeps raising)."""

    def __init__(self, ctx: Ctx, action: str, when: int = 1):
        self.ctx, self.action, self.when, self.calls = ctx, action, when, 0

    def __call__(self) -> None:
        self.calls += 1
        if self.action == "yield":
            time.sleep(0)
            return
        if self.calls < self.when:
            return
        if self.action == "raise":
            raise Boom("hostile hook")
        if self.calls > self.when:
            return
        if self.action == SWAP:
            renew(self.ctx.args)
            self.ctx.empty([])  # scribble over what was freed
        else:
            self.ctx.empty(walk_containers(self.ctx.args))


class Colliding:
    """A dict key equal in hash to `name`; comparing it runs the trigger."""

    def __init__(self, name: str, trigger: Trigger):
        self.name, self.trigger, self._hash = name, trigger, hash(name)

    def __hash__(self):
        return self._hash

    def __eq__(self, other):
        self.trigger()
        return False

    def __repr__(self):
        return f"Colliding({self.name!r})"


def _hooked(base, names, fallback):
    """Methods that run the instance's trigger, then the base type's method."""
    def make(name):
        def method(self, *args, **kwargs):
            object.__getattribute__(self, "_trigger")()
            return getattr(base, name)(self, *args, **kwargs)
        method.__name__ = name
        return method
    return {n: make(n) for n in names if hasattr(base, n)} | fallback


STR_HOOKS = ["__hash__", "__eq__", "__ne__", "__lt__", "__str__", "__repr__", "__len__", "__iter__", "__getitem__",
             "__contains__", "__add__", "__radd__", "__mul__", "__format__", "__bool__", "strip", "lower", "split",
             "encode", "replace", "startswith", "join", "__fspath__"]
INT_HOOKS = ["__hash__", "__eq__", "__lt__", "__str__", "__repr__", "__index__", "__int__", "__add__", "__radd__",
             "__sub__", "__bool__", "__format__", "__float__"]
DICT_HOOKS = ["__getitem__", "get", "__contains__", "keys", "items", "values", "__iter__", "__len__", "copy",
              "setdefault", "__setitem__", "pop", "__eq__", "__repr__", "__bool__"]
LIST_HOOKS = ["__getitem__", "__iter__", "__len__", "append", "extend", "__contains__", "copy", "index", "count",
              "__add__", "__radd__", "__eq__", "__repr__", "__reversed__", "__bool__"]

_QUIET = {"_trigger": staticmethod(lambda: None)}  # until hostile() sets the instance's own
HStr = type("HStr", (str,), _hooked(str, STR_HOOKS, _QUIET))
HInt = type("HInt", (int,), _hooked(int, INT_HOOKS, _QUIET))
HDict = type("HDict", (dict,), _hooked(dict, DICT_HOOKS, _QUIET | {"__hash__": None}))
HList = type("HList", (list,), _hooked(list, LIST_HOOKS, _QUIET | {"__hash__": None}))


def hostile(cls, value, trigger):
    obj = cls(value)
    obj._trigger = trigger
    return obj


class HObj:
    """Not a str, int, dict or list: every hook runs the trigger; when it does
    not raise, the hook answers like an empty value."""

    def __init__(self, trigger: Trigger):
        object.__setattr__(self, "_trigger", trigger)

    def _t(self):
        object.__getattribute__(self, "_trigger")()

    def __hash__(self): self._t(); return 0
    def __eq__(self, other): self._t(); return False
    def __lt__(self, other): self._t(); return False
    def __str__(self): self._t(); return "obj"
    def __repr__(self): self._t(); return "HObj()"
    def __format__(self, fmt): self._t(); return "obj"
    def __len__(self): self._t(); return 0
    def __iter__(self): self._t(); return iter(())
    def __getitem__(self, key): self._t(); raise KeyError(key)
    def __contains__(self, item): self._t(); return False
    def __bool__(self): self._t(); return False
    def __index__(self): self._t(); return 0
    def __int__(self): self._t(); return 0
    def __float__(self): self._t(); return 0.0
    def __fspath__(self): self._t(); return "no-such-file"
    def __add__(self, other): self._t(); return NotImplemented
    __radd__ = __add__

    def __getattr__(self, name):
        self._t()
        raise AttributeError(name)

    def __await__(self):
        self._t()
        return iter(())


class Churn:
    """A thread that keeps changing the case's containers while the call runs:
    str values replaced by new objects, lists emptied and refilled, reversed."""

    def __init__(self, ctx: Ctx):
        self.ctx, self.stop = ctx, threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)

    def run(self):
        containers = walk_containers(self.ctx.args)
        snapshots = [dict.copy(c) if isinstance(c, dict) else list.copy(c) for c in containers]
        turn = 0
        while not self.stop.is_set():
            turn += 1
            fill_freelists()
            for c, snap in zip(containers, snapshots):
                if isinstance(c, dict):
                    for k, v in list(snap.items()):
                        dict.__setitem__(c, k, fresh(v) if type(v) is str else v)
                    if turn % 3 == 0:
                        dict.clear(c)
                else:
                    list.clear(c)
                    if turn % 3:
                        list.extend(c, [fresh(v) if type(v) is str else v for v in snap])
                        if turn % 2:
                            list.reverse(c)
            time.sleep(0)


# ---------------------------------------------------------------------------
# Cases.

@dataclass
class Case:
    id: str
    run: Callable[[], Any] | None = None     # a case written out: the whole call
    isolated: bool = False                   # runs alone in a fresh interpreter
    target: Target | None = None                 # a generated case: the function's target,
    prepare: Callable[[], Ctx] | None = None  # its arguments with the ingredient put in,
    repeat: float = 0.0                      # and how long to keep calling (thread churn)


def _label(params, path) -> str:
    out = params[path[0]]
    for step in path[1:]:
        out += f".{step}" if isinstance(step, str) else f"[{step}]"
    return out


def _positions(value, path, out):
    """(path, value) of every value inside an argument, depth first."""
    out.append((path, value))
    if type(value) is dict:
        for k, v in value.items():
            if isinstance(k, str):
                _positions(v, path + (k,), out)
    elif type(value) is list:
        for i, v in enumerate(value):
            _positions(v, path + (i,), out)


def _resolve(args, path):
    parent = args
    for step in path[:-1]:
        parent = parent[step]
    return parent, path[-1]


def _replace(make):
    """An ingredient that replaces the value at the path by make(ctx, old, parent)."""
    def apply(ctx, args, path):
        parent, key = _resolve(args, path)
        parent[key] = make(ctx, parent[key], parent)
    return apply


def _collide(name, action, when=1):
    def apply(ctx, args, path):
        parent, key = _resolve(args, path)
        d = parent[key]
        items = list(d.items())
        d.clear()  # the colliding key goes first, so lookups of `name` meet it
        d[Colliding(name, Trigger(ctx, action, when=when))] = fresh("colliding")
        d.update(items)
    return apply


def _self_cycle(ctx, args, path):
    parent, key = _resolve(args, path)
    parent[key].append(parent[key])


def _churn(ctx, args, path):
    parent, key = _resolve(args, path)
    c = parent[key]
    if isinstance(c, dict):
        for name in [k for k in c if isinstance(k, str)]:
            _collide(name, "yield")(ctx, args, path)
    else:
        parent[key] = hostile(HList, c, Trigger(ctx, "yield"))


RAISE, CLEAR, SWAP = "raise", "clear", "swap"


def _sub(cls, action, empty=False):
    """A subclass of cls holding the old value (or nothing), whose hooks run `action`."""
    def make(ctx, old, parent):
        value = (cls() if empty or not isinstance(old, cls.__mro__[1]) else old)
        return hostile(cls, value, Trigger(ctx, action))
    return _replace(make)


def _obj(action):
    return _replace(lambda ctx, old, p: HObj(Trigger(ctx, action)))


LEAF = {
    "str/surrogate": _replace(lambda ctx, old, p: fresh(old) + "\ud800" if isinstance(old, str) else "\udcff"),
    "str-sub/raise": _replace(lambda ctx, old, p: hostile(HStr, old if isinstance(old, str) else "x", Trigger(ctx, RAISE))),
    "str-sub/swap": _replace(lambda ctx, old, p: hostile(HStr, old if isinstance(old, str) else "x", Trigger(ctx, SWAP))),
    "obj/raise": _obj(RAISE),
    "obj/swap": _obj(SWAP),
    "int/huge": _replace(lambda ctx, old, p: 10 ** 5000),
    "dict-sub/swap": _sub(HDict, SWAP, empty=True),
    "list-sub/swap": _sub(HList, SWAP, empty=True),
    "cycle": _replace(lambda ctx, old, p: p),
}
INT_LEAF = {
    "int/huge": _replace(lambda ctx, old, p: 10 ** 5000),
    "int/huge-negative": _replace(lambda ctx, old, p: -(10 ** 400)),
    "int-sub/raise": _sub(HInt, RAISE),
    "int-sub/swap": _sub(HInt, SWAP),
    "obj/raise": _obj(RAISE),
    "obj/swap": _obj(SWAP),
    "str/surrogate": LEAF["str/surrogate"],
}
CONTAINER = {
    "dict": {
        "dict-sub/raise": _sub(HDict, RAISE),
        "dict-sub/clear": _sub(HDict, CLEAR),
        "dict-sub/swap": _sub(HDict, SWAP),
        "obj/raise": _obj(RAISE),
    },
    "list": {
        "list-sub/raise": _sub(HList, RAISE),
        "list-sub/clear": _sub(HList, CLEAR),
        "list-sub/swap": _sub(HList, SWAP),
        "obj/raise": _obj(RAISE),
        "cycle": _self_cycle,
    },
}
COLLIDE_ACTIONS = {"raise": (RAISE, 1), "clear": (CLEAR, 1), "clear@2": (CLEAR, 2), "swap": (SWAP, 1),
                   "swap@2": (SWAP, 2)}


def _target_cases(s: Target) -> list[Case]:
    cases = []
    positions = []
    for i, a in enumerate((s.shape or s.build)()):
        _positions(a, (i,), positions)

    def add(label, ingredient, apply, repeat=0.0):
        def prepare(apply=apply, path=path):
            ctx = Ctx()
            ctx.args = s.build()
            apply(ctx, ctx.args, path)
            return ctx
        cases.append(Case(f"{s.name}:{label}:{ingredient}", target=s, prepare=prepare, repeat=repeat))

    for path, value in positions:
        label = _label(s.params, path)
        whole = not (len(path) == 1 and path[0] in s.fixed)
        if type(value) in (dict, list):
            kind = "dict" if type(value) is dict else "list"
            if kind == "dict":
                keys = [k for k in value if isinstance(k, str)] + [k for k in s.extra_keys if k not in value]
                for k in keys:
                    for name, (action, when) in COLLIDE_ACTIONS.items():
                        add(label, f"collide({k})/{name}", _collide(k, action, when))
            for name, apply in CONTAINER[kind].items():
                if whole or name == "cycle":
                    add(label, name, apply)
            add(label, "thread-churn", _churn, repeat=0.005)
        elif whole:
            table = INT_LEAF if type(value) is int else LEAF
            for name, apply in table.items():
                if name == "cycle" and len(path) == 1:
                    continue  # a top-level argument has no container of its own
                add(label, name, apply)
    return cases


# ---------------------------------------------------------------------------
# Cases written out one by one.

def _write(name: str, data: bytes) -> str:
    with open(name, "wb") as f:
        f.write(data)
    return name


def _deep_heading(depth):
    node = leaf = heading("深", 1, ["x"], [])
    for _ in range(depth):
        node = {"title": "深", "level": 1, "content_lines": [], "children": [node]}
    return node, leaf


def _deep_list(depth):
    v = []
    for _ in range(depth):
        v = [v]
    return v


def _self_heading():
    node = heading_node()
    node["children"].append(node)
    return node


class HPath:
    def __init__(self, result):
        self.result = result

    def __fspath__(self):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


def _drop(names):
    """Removes corvane modules from sys.modules and the package, and frees them."""
    import corvane
    for n in names:
        sys.modules.pop(f"corvane.{n}", None)
        if hasattr(corvane, n):
            delattr(corvane, n)
    gc.collect()


def _drop_and_call(name: str, also=()):
    def run():
        mod = module(name)
        targets = [s for s in TARGETS if s.name.startswith(name + ".")]
        fns = {n: getattr(mod, n) for n in dir(mod) if callable(getattr(mod, n)) and not n.startswith("__")}
        del mod
        _drop((name,) + tuple(also))
        errors = []
        # The functions saved before the drop, called with valid arguments.
        direct = {"answer_query": (QUERY,), "generate_ai_prompt": ("prompt.md", QUERY, "k"), "_clock": (),
                  "ostrel_main": (), "build_prompt": (QUERY, "k"), "normalize_text": (QUERY,),
                  "classify_query_intent": (QUERY,), "clean_text": (" a ",), "build_keywords_from_scene": (scene(),),
                  "search_knowledge_global": (QUERY, [entry(1)], 3), "build_scene_record": ("m", tree(), scene(), 0),
                  "markdown_to_tree": (MANUAL,), "load_scene_index": ("index.jsonl",)}
        for n, fn in fns.items():
            if n in direct:
                try:
                    r = fn(*direct[n])
                    if n == "generate_ai_prompt":
                        r.close()
                except Exception as e:  # noqa: BLE001 - any Python exception is allowed
                    errors.append(type(e).__name__)
        # And once more through a fresh import.
        for s in targets:
            try:
                s.call(*s.build())
            except Exception as e:  # noqa: BLE001
                errors.append(type(e).__name__)
        return errors
    return run


def _rebind_delmoor(attr, make):
    def run():
        delmoor = module("delmoor")
        setattr(delmoor, attr, make())  # the old value is freed (isolated case: nothing restored)
        gc.collect()
        return delmoor.answer_query(QUERY)
    return run


def _coroutine_case(action):
    def run():
        vendry = module("vendry")
        with open("prompt.md", "w", encoding="utf-8") as f:
            f.write(PROMPT)
        fixed = __import__("datetime").datetime(2026, 1, 7, tzinfo=vendry.beijing_tz)

        class Pending:
            def __await__(self):
                yield HObj(Trigger(Ctx(), RAISE))
                return {"answer": "a", "reason": "r"}

        saved = vendry.llm_response, vendry._clock, vendry.trange
        vendry.trange = QuietBar
        vendry._clock = lambda: fixed
        vendry.llm_response = lambda url, key, prompt: Pending()
        try:
            coro = vendry.generate_ai_prompt("prompt.md", HObj(Trigger(Ctx(), RAISE)), [], "", "u", "k")
            return action(vendry, coro)
        finally:
            vendry.llm_response, vendry._clock, vendry.trange = saved
    return run


class Unprintable(Exception):
    def __str__(self):
        raise Boom("str")

    def __repr__(self):
        raise Boom("repr")


def _clock_case(make_clock):
    def run():
        vendry = module("vendry")
        saved = vendry._clock, vendry.trange
        vendry._clock, vendry.trange = make_clock, QuietBar
        try:
            return drive(vendry.generate_ai_prompt("prompt.md", QUERY, [], "", "u", "k"))
        finally:
            vendry._clock, vendry.trange = saved
    return run


class BadTime:
    def __init__(self, result):
        self.result = result

    def astimezone(self, tz):
        return self

    def strftime(self, fmt):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


def _special_cases() -> list[Case]:
    farrowin = lambda: module("farrowin")  # noqa: E731
    plaxon = lambda: module("plaxon")  # noqa: E731
    ostrel = lambda: module("ostrel")  # noqa: E731
    vendry = lambda: module("vendry")  # noqa: E731
    load = lambda data: lambda: farrowin().load_scene_index(_write("hostile.jsonl", data))  # noqa: E731
    cases = [
        # Index files.
        Case("farrowin.load_scene_index:file:deep-array", load(b"[" * 200_000 + b"]" * 200_000 + b"\n")),
        Case("farrowin.load_scene_index:file:deep-object", load(b'{"a":' * 100_000 + b"1" + b"}" * 100_000 + b"\n")),
        Case("farrowin.load_scene_index:file:unclosed-deep", load(b"[" * 300_000 + b"\n")),
        Case("farrowin.load_scene_index:file:huge-int", load(b'{"n": ' + b"9" * 10_000 + b"}\n")),
        Case("farrowin.load_scene_index:file:lone-surrogates", load(b'{"t": "\\ud800\\udfff\\udc00x\\ud83d"}\n')),
        Case("farrowin.load_scene_index:file:encoded-surrogate", load(b'{"t": "\xed\xa0\x80"}\n')),
        Case("farrowin.load_scene_index:file:invalid-utf8", load(b'{"t": "\xff\xfe"}\n{"t": "\\u00e9"}\n')),
        Case("farrowin.load_scene_index:file:nul-and-controls", load(b'{"t": "a\x00b"}\n\x00\n')),
        Case("farrowin.load_scene_index:file:nan-and-dupes", load(b'{"a": NaN, "a": -Infinity, "b": 1e999}\n')),
        Case("farrowin.load_scene_index:file:truncated-escape", load(b'{"t": "\\u12"}\n"\\')),
        Case("farrowin.load_scene_index:path:fspath-raises", lambda: farrowin().load_scene_index(HPath(Boom("fspath")))),
        Case("farrowin.load_scene_index:path:fspath-hostile-str",
             lambda: farrowin().load_scene_index(HPath(hostile(HStr, "index.jsonl", Trigger(Ctx(), RAISE))))),
        Case("farrowin.load_scene_index:path:fspath-returns-int", lambda: farrowin().load_scene_index(HPath(7))),
        Case("farrowin.load_scene_index:path:nul-byte", lambda: farrowin().load_scene_index("index\0.jsonl")),
        Case("farrowin.load_scene_index:path:surrogate-bytes", lambda: farrowin().load_scene_index("\udcff.jsonl")),
        Case("farrowin.load_scene_index:path:directory", lambda: farrowin().load_scene_index(".")),
        Case("farrowin.load_scene_index:path:bytes", lambda: farrowin().load_scene_index(b"index.jsonl")),
        # Deep and self-containing heading trees.
        Case("plaxon.heading_node_to_scene:node:deep-100000", lambda: plaxon().heading_node_to_scene(_deep_heading(100_000)[0])),
        Case("plaxon.collect_scenes_from_heading_tree:node:deep-100000",
             lambda: plaxon().collect_scenes_from_heading_tree(_deep_heading(100_000)[0])),
        Case("plaxon.heading_node_to_scene:node:self-child", lambda: plaxon().heading_node_to_scene(_self_heading())),
        Case("plaxon.collect_scenes_from_heading_tree:node:self-child",
             lambda: plaxon().collect_scenes_from_heading_tree(_self_heading())),
        Case("plaxon.markdown_to_tree:text:deep-headings",
             lambda: plaxon().markdown_to_tree("".join(f"{'#' * (1 + i % 6)} h{i}\n" for i in range(50_000)))),
        Case("plaxon.make_step:index:huge-int-text", lambda: plaxon().make_step(10 ** 5000, "x")),
        # Deep values written or shown.
        Case("ostrel.save_json:obj:deep-list", lambda: ostrel().save_json(_deep_list(100_000), "out/deep.json")),
        Case("ostrel.append_jsonl:obj:deep-list", lambda: ostrel().append_jsonl(_deep_list(100_000), "out/deep.jsonl")),
        Case("ostrel.save_json:path:fspath-raises", lambda: ostrel().save_json({}, HPath(Boom("fspath")))),
        Case("vendry.build_prompt:context_text:deep-list", lambda: vendry().build_prompt(QUERY, _deep_list(100_000))),
        Case("vendry.build_prompt:context_text:exception-unprintable", lambda: vendry().build_prompt(QUERY, Unprintable())),
        # The self-check coroutine driven in odd ways.
        Case("vendry.generate_ai_prompt:coroutine:throw-unprintable",
             _coroutine_case(lambda v, c: (c.send(None), c.throw(Unprintable())))),
        Case("vendry.generate_ai_prompt:coroutine:close-while-waiting", _coroutine_case(lambda v, c: (c.send(None), c.close()))),
        Case("vendry.generate_ai_prompt:coroutine:send-value-at-start", _coroutine_case(lambda v, c: c.send(HObj(Trigger(Ctx(), RAISE))))),
        Case("vendry.generate_ai_prompt:coroutine:dropped-while-waiting", _coroutine_case(lambda v, c: c.send(None))),
        Case("vendry.generate_ai_prompt:coroutine:send-after-error",
             _coroutine_case(lambda v, c: [_swallow(c.send, None), _swallow(c.throw, Boom()), c.send(None)])),
        Case("vendry.generate_ai_prompt:_clock:raises", _clock_case(lambda: (_ for _ in ()).throw(Boom("clock")))),
        Case("vendry.generate_ai_prompt:_clock:strftime-hostile-str",
             _clock_case(lambda: BadTime(hostile(HStr, "20260101", Trigger(Ctx(), RAISE))))),
        Case("vendry.generate_ai_prompt:_clock:strftime-not-str", _clock_case(lambda: BadTime(HObj(Trigger(Ctx(), RAISE))))),
    ]
    # Rebinding delmoor's module values, the originals freed.
    rebound = {"scene_index": lambda: [entry(1, scene())], "_compiled_search": lambda: None,
               "search_knowledge_global": lambda: (lambda q, index, top_k=5: []),
               "build_prompt": lambda: (lambda q, k: "prompt"),
               "build_scene_context": lambda: (lambda s, i: {}),
               "classify_query_intent": lambda: (lambda q: "general")}
    for attr, make in rebound.items():
        cases.append(Case(f"delmoor.answer_query:module-value:{attr}-rebound", _rebind_delmoor(attr, make),
                          isolated=True))
    # Dropping each module (and what binds it) from sys.modules, then calling what was saved.
    dependents = {"plaxon": ("ostrel",), "morlek": ("ostrel", "farrowin", "delmoor"), "farrowin": ("delmoor",),
                  "vendry": ("delmoor",), "ostrel": (), "delmoor": ()}
    for name in MODULES:
        cases.append(Case(f"{name}:module:dropped-from-sys.modules", _drop_and_call(name), isolated=True))
        if dependents[name]:
            cases.append(Case(f"{name}:module:dropped-with-dependents", _drop_and_call(name, dependents[name]),
                              isolated=True))
    # The private modules: dropped with an index of theirs still alive, then that index used.
    for name, make, use in (("_engine", _engine_index, lambda ix: ix.search(QUERY, 3)),
                            ("_hybrid", lambda: _hybrid_index(hybrid_entries()), lambda ix: ix.search(QUERY, 3))):
        cases.append(Case(f"{name}:module:dropped-from-sys.modules", _drop_and_call(name), isolated=True))
        cases.append(Case(f"{name}:module:dropped-with-live-index", _drop_keeping(name, make, use), isolated=True))
    # Loaders that hand the compiler something other than a list of entry dicts.
    engine = lambda: module("_engine")  # noqa: E731
    for label, loader in (("raises", lambda path: (_ for _ in ()).throw(Boom("loader"))),
                          ("returns-obj", lambda path: HObj(Trigger(Ctx(), RAISE))),
                          ("returns-hostile-list", lambda path: hostile(HList, [entry(1)], Trigger(Ctx(), CLEAR))),
                          ("returns-hostile-entries", lambda path: [hostile(HDict, entry(1), Trigger(Ctx(), SWAP))]),
                          ("returns-cycle", lambda path: _deep_list(3) + [None]),
                          ("not-callable", 7)):
        cases.append(Case(f"_engine.compile_jsonl:loader:{label}",
                          lambda loader=loader: engine().compile_jsonl("index.jsonl", loader).search(QUERY, 3)))
    cases += [
        Case("_engine.open_compiled:file:truncated",
             lambda: engine().open_compiled(_write("cut.cvx", open(_compiled_file(), "rb").read()[:40]), "index.jsonl")),
        Case("_engine.open_compiled:file:jsonl-changed",
             lambda: (_compiled_file(), _write("other.jsonl", b"{}\n"),
                      engine().open_compiled("index.cvx", "other.jsonl"))),
        Case("_engine.Index.line:entry:out-of-range", lambda: _engine_index().line(10 ** 6)),
        Case("_engine.Index.verify:file:damaged",
             lambda: engine().open_compiled(_write("flip.cvx", _flip_byte(open(_compiled_file(), "rb").read())),
                                            "index.jsonl").verify()),
        Case("_engine.guarded_faults:call:plain", lambda: engine().guarded_faults()),
        Case("_hybrid.check_bm25_bytes:data:every-byte-flipped", _flip_each_bm25_byte),
    ]
    return cases


def _flip_byte(data: bytes) -> bytes:
    """A compiled file with one byte of its last section flipped (only the hash tells)."""
    raw = bytearray(data)
    raw[-9] ^= 0x40
    return bytes(raw)


def _drop_keeping(name: str, make, use):
    def run():
        live = make()
        _drop((name,))
        return use(live)
    return run


def _flip_each_bm25_byte():
    data = bytearray(_hybrid_index(hybrid_entries()).bm25_bytes())
    hybrid = module("_hybrid")
    for i in range(len(data)):
        data[i] ^= 0xFF
        try:
            hybrid.check_bm25_bytes(bytes(data))
        except ValueError:
            pass
        data[i] ^= 0xFF


def _swallow(fn, *args):
    try:
        return fn(*args)
    except Exception:  # noqa: BLE001
        return None


_POISONED = []


def _victim():
    if _POISONED:
        os.abort()


def harness_cases() -> list[Case]:
    """Cases that check the runner itself; not part of all_cases()."""
    return [Case("harness:abort", lambda: os.abort()),
            Case("harness:fine", lambda: None),
            Case("harness:raise", lambda: (_ for _ in ()).throw(Boom())),
            Case("harness:system-error", lambda: (_ for _ in ()).throw(SystemError("error return without exception set"))),
            Case("harness:poison", lambda: _POISONED.append(1)),
            Case("harness:victim", _victim)]


def all_cases() -> list[Case]:
    cases = []
    for s in TARGETS:
        cases.extend(_target_cases(s))
    cases.extend(_special_cases())
    ids = [c.id for c in cases]
    assert len(ids) == len(set(ids)), "case ids must be unique"
    return cases


# ---------------------------------------------------------------------------
# The child process.

def prepare_workdir(folder: str) -> None:
    os.makedirs(os.path.join(folder, "data", "manuals"), exist_ok=True)
    os.makedirs(os.path.join(folder, "out"), exist_ok=True)
    with open(os.path.join(folder, "data", "manuals", "a.md"), "w", encoding="utf-8") as f:
        f.write(MANUAL)
    with open(os.path.join(folder, "data", "manual_alias.json"), "w", encoding="utf-8") as f:
        json.dump(ALIAS_FILE, f, ensure_ascii=False)
    with open(os.path.join(folder, "data", "scene_index.jsonl"), "w", encoding="utf-8") as f:
        for n in (1, 2):
            f.write(json.dumps(entry(n, scene()), ensure_ascii=False) + "\n")
    with open(os.path.join(folder, "index.jsonl"), "w", encoding="utf-8") as f:
        for n in (1, 2):
            f.write(json.dumps(entry(n), ensure_ascii=False) + "\n")
    with open(os.path.join(folder, "prompt.md"), "w", encoding="utf-8") as f:
        f.write(PROMPT)


def _touch(value, depth=0) -> None:
    """Reads a result all the way down (with the base types' methods), so that
    a dangling object in it is met here."""
    if depth > 50:
        return
    if isinstance(value, dict):
        for k, v in list(dict.items(value)):
            _touch(k, depth + 1)
            _touch(v, depth + 1)
    elif isinstance(value, (list, tuple)):
        for v in (list.copy(value) if isinstance(value, list) else value):
            _touch(v, depth + 1)
    elif isinstance(value, str):
        str.__len__(value)


def _call(case: Case):
    """Runs one case; returns its result (a churn case: its last one)."""
    if case.target is None:
        return case.run()
    ctx = case.prepare()
    if not case.repeat:
        return case.target.call(*ctx.args)
    churn = Churn(ctx)
    churn.thread.start()
    try:
        deadline = time.monotonic() + case.repeat
        error = None
        while True:
            try:
                _touch(case.target.call(*ctx.args))
                error = None
            except SystemError:
                raise
            except Exception as e:  # noqa: BLE001
                error = e
            if time.monotonic() > deadline:
                break
        if error is not None:
            raise error
        return None
    finally:
        churn.stop.set()
        churn.thread.join(10)


def run_case(case: Case) -> str:
    try:
        _touch(_call(case))
        return "ok"
    except SystemError as e:
        return "bad:SystemError:" + " ".join(str(e).split())[:200]
    except (KeyboardInterrupt, SystemExit) as e:
        return f"bad:{type(e).__name__}"
    except BaseException as e:  # noqa: BLE001 - every other Python exception is allowed
        return f"raised:{type(e).__name__}"


def child_main(argv: list[str]) -> int:
    import faulthandler
    results = argv[argv.index("--results") + 1]
    collect = "--collect" in argv
    request = json.load(sys.stdin)
    case_timeout = float(request.get("case_timeout", 60))
    folder = tempfile.mkdtemp(prefix="corvane-hostile-")
    prepare_workdir(folder)
    os.chdir(folder)
    for name in MODULES:
        module(name)
    sys.setswitchinterval(1e-5)
    faulthandler.enable()
    by_id = {c.id: c for c in all_cases() + harness_cases()}
    fd = os.open(results, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
    devnull = open(os.devnull, "w")
    for n, case_id in enumerate(request["ids"]):
        os.write(fd, f"S {n}\n".encode())
        faulthandler.dump_traceback_later(case_timeout, exit=True)
        real_stdout, sys.stdout = sys.stdout, devnull
        try:
            outcome = run_case(by_id[case_id])
        finally:
            sys.stdout = real_stdout
        if collect:
            gc.collect()
        faulthandler.cancel_dump_traceback_later()
        os.write(fd, f"R {n} {outcome}\n".encode())
    gc.collect()
    os.write(fd, b"END\n")
    os.close(fd)
    return 0


# ---------------------------------------------------------------------------
# The parent side: batches of cases in child interpreters, crashes named.

HERE = os.path.abspath(__file__)
SANITIZED = bool(os.environ.get("CORVANE_SANITIZED"))


@dataclass
class Outcome:
    kind: str    # "ok", "raised", "crash", "hang" or "bad" (a SystemError, say)
    detail: str = ""

    @property
    def failed(self) -> bool:
        return self.kind in ("crash", "hang", "bad")


def _parse(line: str) -> Outcome:
    kind, _, detail = line.partition(":")
    return Outcome(kind, detail)


def _report_of(stderr: str) -> str:
    """The useful part of a dead child's stderr: the sanitizer report, else the tail."""
    for marker in ("ERROR: AddressSanitizer", "runtime error:", "Fatal Python error"):
        at = stderr.find(marker)
        if at >= 0:
            return "\n".join(stderr[at:].splitlines()[:30])
    return stderr[-3000:]


def child_env() -> dict:
    """The environment of a child: this one (a sanitizer run's LD_PRELOAD and
    ASAN_OPTIONS included), with the interpreter's allocator made to show
    use of freed memory: under a sanitizer every object comes from malloc, so
    the sanitizer sees each one freed; otherwise the debug hooks fill freed
    memory with a pattern a dangling pointer trips over."""
    env = dict(os.environ)
    env.setdefault("PYTHONMALLOC", "malloc" if SANITIZED else "debug")
    return env


def run_batch(ids: list[str], collect: bool = False) -> tuple[dict[str, Outcome], str | None, str]:
    """Runs the cases in one child; returns their outcomes, the case that was
    running when the child died (None when it finished) and the child's report."""
    case_timeout = 240 if SANITIZED else 60
    with tempfile.TemporaryDirectory(prefix="corvane-hostile-run-") as tmp:
        results = os.path.join(tmp, "results")
        cmd = [sys.executable, HERE, "--results", results] + (["--collect"] if collect else [])
        # The environment is inherited whole: a sanitizer run's LD_PRELOAD and ASAN_OPTIONS reach the child.
        try:
            proc = subprocess.run(cmd, env=child_env(), input=json.dumps({"ids": ids, "case_timeout": case_timeout}), text=True,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, errors="replace",
                                  timeout=case_timeout * 2 + 5 * len(ids) + 60)
            returncode, stderr = proc.returncode, proc.stderr
        except subprocess.TimeoutExpired as e:
            returncode, stderr = None, (e.stderr or b"").decode("utf-8", "replace") + "\n(killed: batch timeout)"
        lines = open(results, encoding="utf-8").read().splitlines() if os.path.exists(results) else []
    outcomes: dict[str, Outcome] = {}
    running = None
    for line in lines:
        tag, _, rest = line.partition(" ")
        if tag == "S":
            running = ids[int(rest)]
        elif tag == "R":
            n, _, outcome = rest.partition(" ")
            outcomes[ids[int(n)]] = _parse(outcome)
            running = None
    finished = bool(lines) and lines[-1] == "END" and returncode == 0
    if finished:
        return outcomes, None, ""
    if running is None:  # died before the first case or after the last one
        running = next((i for i in ids if i not in outcomes), ids[-1])
    how = f"exit status {returncode}" if returncode is not None else "killed"
    return outcomes, running, f"{how}\n{_report_of(stderr)}"


def _died(report: str) -> Outcome:
    hang = "Timeout (" in report or "batch timeout" in report
    return Outcome("hang" if hang else "crash", report)


def run_cases(ids: list[str], jobs: int | None = None,
              batch_size: int = 400) -> dict[str, Outcome]:
    """Outcomes of the cases, each crash or hang attributed to the case that caused it."""
    from concurrent.futures import FIRST_COMPLETED, ThreadPoolExecutor, wait

    isolated = {c.id for c in all_cases() if c.isolated}
    jobs = jobs or int(os.environ.get("HOSTILE_JOBS", "0")) or min(2, os.cpu_count() or 1)
    outcomes: dict[str, Outcome] = {}
    work = [("solo", [i]) for i in ids if i in isolated]
    rest = [i for i in ids if i not in isolated]
    work += [("batch", rest[k:k + batch_size]) for k in range(0, len(rest), batch_size)]
    with ThreadPoolExecutor(jobs) as pool:
        running = {}

        def submit(kind, batch, extra=None):
            running[pool.submit(run_batch, batch, kind == "sequence")] = (kind, batch, extra)

        for kind, batch in work:
            submit(kind, batch)
        while running:
            done, _ = wait(running, return_when=FIRST_COMPLETED)
            for fut in done:
                kind, batch, extra = running.pop(fut)
                got, culprit, report = fut.result()
                outcomes.update(got)
                if culprit is not None:
                    after = batch[batch.index(culprit) + 1:]
                    if after:
                        submit("batch", after)
                if kind == "batch" and culprit is not None and _died(report).kind == "crash":
                    # Alone, to tell a crash of its own from damage an earlier case left.
                    submit("confirm", [culprit], (batch[:batch.index(culprit)], report))
                elif kind == "confirm" and culprit is None:
                    # Not alone: the cases before it again, the collector run after each.
                    earlier, first = extra
                    submit("sequence", earlier + batch, (batch[0], first))
                elif kind == "sequence" and culprit in (None, extra[0]):
                    outcomes[extra[0]] = Outcome("crash", "only after other cases ran in the same process:\n"
                                                          + extra[1])
                elif culprit is not None:
                    outcomes[culprit] = _died(report)
    return outcomes


def main(argv: list[str]) -> int:
    """--report [PREFIX] [--details FILE]: runs the cases (or those whose id
    starts with PREFIX) and lists the failing ones (with what killed each one
    in FILE, as JSON)."""
    details = argv[argv.index("--details") + 1] if "--details" in argv else None
    rest = [a for a in argv[argv.index("--report") + 1:] if a != "--details" and a != details]
    prefix = rest[0] if rest else ""
    ids = [c.id for c in all_cases() if c.id.startswith(prefix)]
    t0 = time.monotonic()
    outcomes = run_cases(ids)
    failed = {i: o for i, o in outcomes.items() if o.failed}
    for i, o in sorted(failed.items()):
        print(f"{o.kind}\t{i}")
    if details:
        with open(details, "w", encoding="utf-8") as f:
            json.dump({i: [o.kind, o.detail] for i, o in sorted(failed.items())}, f, ensure_ascii=False, indent=1)
    print(f"{len(ids)} cases, {len(failed)} failing, {time.monotonic() - t0:.1f} s", file=sys.stderr)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv) if "--report" in sys.argv else child_main(sys.argv))
