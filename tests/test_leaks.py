"""Reference counts and memory: every public function of the six modules and
the model client's reply parser, with valid and invalid arguments, called
thousands of times, must leave no references, objects or memory behind and
must not change the reference counts of its arguments.

Growth is measured four ways: sys.gettotalrefcount() (debug builds of the
interpreter), the objects the collector tracks, the memory tracemalloc traces
(the interpreter's allocators) and the bytes malloc has handed out (glibc's
mallinfo2, which also sees the C++ heap; skipped where it is not available or
an address sanitizer replaces malloc)."""
from __future__ import annotations

import atexit
import contextlib
import ctypes
import ctypes.util
import gc
import importlib
import json
import os
import shutil
import sys
import tempfile
import tracemalloc
from pathlib import Path

import pytest

ROUNDS = 3000
SCENE = {"type": "scene", "title": "更换轮胎", "description": "说明", "images": [],
         "steps": [{"index": 1, "text": "拧紧螺栓", "sub_points": ["a"], "images": [{"url": "u", "position": "step_1", "caption": "c"}]}],
         "warning": ["小心"], "notice": [], "tip": []}
TREE = {"type": "document", "doc_name": "", "title": "t", "children": [SCENE, {"title": "x"}]}
NODE = {"title": "A", "level": 1, "content_lines": ["x", "1. y"],
        "children": [{"title": "操作步骤", "level": 2, "content_lines": ["1. a：b；c", "![](p.png)"], "children": []}]}
MANUAL = "# 第一章\n## 更换轮胎\n### 操作步骤\n1. 打开：检查；确认\n- 注意\n![](x.png)\n### 注意\n小心\n"
LINES = ["1. 拧紧：a；b", "![](p.png)", "说明"]

# A working folder for the functions that read or write files: manuals, an
# index, a prompt file.  Made once, removed at exit.
WORK = Path(tempfile.mkdtemp(prefix="corvane-leaks-"))
atexit.register(shutil.rmtree, WORK, True)
(WORK / "data" / "manuals").mkdir(parents=True)
(WORK / "data" / "manuals" / "a.md").write_text(MANUAL, "utf-8")
(WORK / "data" / "manual_alias.json").write_text("{}", "utf-8")
INDEX = WORK / "index.jsonl"
INDEX.write_text("".join(json.dumps(e) + "\n" for e in [
    {"scene_id": "a_scene_1", "scene_title": "更换轮胎", "aliases": ["更换轮胎", "换胎"], "keywords": ["轮胎", "螺栓"],
     "scene_data": SCENE, "n": [1, -2.5, 10**30, None, True, "\ud800"]},
    {"scene_id": "a_scene_2", "scene_title": "x", "keywords": []},
]), "utf-8")
BAD_INDEX = WORK / "bad.jsonl"
BAD_INDEX.write_text('{"scene_title": "x"}\n{"a": [1,}\n', "utf-8")
(WORK / "prompt.md").write_text("提示 __INPUT__ __KNOWLEDGE__ __TIME__", "utf-8")
OUT_JSON = str(WORK / "out.json")
OUT_JSONL = str(WORK / "out.jsonl")

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
    ("morlek", "read_alias_file", (str(WORK / "no-such-alias-file.json"),), {}),
    ("morlek", "read_alias_file", (OUT_JSON,), {}),
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
    ("farrowin", "load_scene_index", (str(INDEX),), {}),
    ("farrowin", "load_scene_index", (str(BAD_INDEX),), {}),
    ("farrowin", "load_scene_index", (None,), {}),
    ("farrowin", "score_record", ("x", None), {}),
    ("farrowin", "compile_scene_index", ([{"scene_title": "更换轮胎", "aliases": ["换胎"], "keywords": ["轮胎", "Tyre"]}] * 5,), {}),
    ("farrowin", "compile_scene_index", ([{"scene_title": "x", "keywords": ["ok", 3]}],), {}),
    ("farrowin", "compile_scene_index", ([{"aliases": []}],), {}),
    ("ostrel", "save_json", (TREE, OUT_JSON), {}),
    ("ostrel", "save_json", ({"k": {1, 2}}, OUT_JSON), {}),
    ("ostrel", "save_json", ("\ud800", OUT_JSON), {}),
    ("ostrel", "append_jsonl", ([1, "中", None, 2.5, 10**20], OUT_JSONL), {}),
    ("ostrel", "append_jsonl", ([1], str(WORK / "no" / "such" / "x.jsonl")), {}),
    ("vendry", "build_prompt", ("三包", {"query": "三包", "results": [SCENE]}), {}),
    ("vendry", "build_prompt", (42, [1, "it's"]), {}),
    ("vendry", "build_prompt", ("q",), {"context": "k"}),
    ("vendry", "generate_ai_prompt", (None, "q", "k"), {}),
    ("vendry", "generate_ai_prompt", ("p", "q", "k"), {"llm_key": 5}),
    ("harlune", "parse_json_object", ('```json\n{"is_ok": True, "reason": "", "x": [None]}\n```',), {}),
    ("harlune", "parse_json_object", ("{'a': 1, 'b': (1, 2)}",), {}),
    ("harlune", "parse_json_object", ("no object {broken",), {}),
    ("harlune", "parse_json_object", ("[" * 5000 + "{",), {}),
    ("_hybrid", "HybridIndex", ([{"scene_title": "更换轮胎", "aliases": ["更换轮胎", "换胎"], "keywords": ["轮胎"],
                                  "scene_data": SCENE}] * 3,), {"synonyms": {"螺丝": ["螺栓"]}, "weights": {"tip": 2}}),
    ("_hybrid", "HybridIndex", ([{"scene_title": "x", "scene_data": {"steps": [3]}}],), {}),
    ("_hybrid", "HybridIndex", ([],), {"weights": {"titel": 1}}),
    ("_hybrid", "HybridIndex", ([],), {"synonyms": {"a": 3}}),
    ("_hybrid", "check_bm25_bytes", (b"CVBM25\0\0" + b"\0" * 200,), {}),
]


def call(fn, args, kwargs):
    try:
        fn(*args, **kwargs)
    except Exception:
        pass


def module(name):
    try:
        return importlib.import_module(name if name == "harlune" else f"corvane.{name}")
    except ImportError as e:
        pytest.skip(f"{name} not importable here: {e}")


# --- calls that need a set-up of their own ---------------------------------

class Sink:
    """stdout/stderr that keeps nothing."""

    def write(self, s):
        return len(s)

    def flush(self):
        pass

    def isatty(self):
        return False


ANSWER = {"answer": "答", "reason": "因"}
REJECT = {"is_ok": False, "reason": "不对"}
ACCEPT = {"is_ok": True, "reason": ""}
CHECK_OK = {"is_ok": True, "new_suggestions": "建议", "new_prompt": "提示 __INPUT__ __KNOWLEDGE__ __TIME__"}


class Replies:
    """llm_response that answers from a script, as a coroutine."""

    def __init__(self, script):
        self.script = script
        self.pos = 0

    async def __call__(self, url, key, prompt):
        reply = self.script[self.pos % len(self.script)]
        self.pos += 1
        if isinstance(reply, type):
            raise reply("the model is down")
        return reply


def self_check(script, *args, **kwargs):
    """One generate_ai_prompt() call driven to its end without an event loop."""
    vendry = module("vendry")

    def run():
        vendry.llm_response = Replies(script)
        coro = vendry.generate_ai_prompt(*args, **kwargs)
        try:
            coro.send(None)
        except StopIteration as stop:
            return stop.value
        coro.close()
        raise AssertionError("the self-check suspended")
    return run


def parse_field(field):
    plaxon = module("plaxon")

    def run():
        plaxon.parse_field_into_scene(plaxon.make_scene("t"), field, LINES)
        plaxon.parse_free_content_into_scene(plaxon.make_scene("t"), LINES)
    return run


def in_work(fn):
    def run():
        old = os.getcwd()
        os.chdir(WORK)
        try:
            return fn()
        finally:
            os.chdir(old)
    return run


def answer_query(*args):
    def run():
        return delmoor().answer_query(*args)
    return run


_delmoor = []


def delmoor():
    """corvane.delmoor, loaded (the first time) with the index of WORK/data."""
    if not _delmoor:
        shutil.copy(INDEX, WORK / "data" / "scene_index.jsonl")
        _delmoor.append(in_work(lambda: module("delmoor"))())
    return _delmoor[0]


def ostrel_main():
    return module("ostrel").ostrel_main()


def run_index(**kwargs):
    def run():
        seen = []
        module("ostrel").run_index(str(WORK / "data" / "manuals"), str(WORK / "data" / "trees"),
                                   str(WORK / "data" / "scene_index.jsonl"), on_manual=lambda m, n: seen.append(n),
                                   **kwargs)
    return run


def compiled_search(*args, **kwargs):
    compiled = []

    def run():
        if not compiled:
            index = [{"scene_title": f"更换轮胎{i}", "aliases": ["换胎"], "keywords": ["轮胎", "检查"]} for i in range(50)]
            compiled.append(module("farrowin").compile_scene_index(index))
        return compiled[0].search(*args, **kwargs)
    return run


def hybrid_search(method, *args, **kwargs):
    built = []

    def run():
        if not built:
            index = [{"scene_title": f"更换轮胎{i}", "aliases": ["换胎"], "keywords": ["轮胎"], "scene_data": dict(SCENE)}
                     for i in range(50)]
            built.append(module("_hybrid").HybridIndex(index))
        return getattr(built[0], method)(*args, **kwargs)
    return run


# (id, callable, rounds); the callable may raise.
SCENARIOS = [
    ("_hybrid.HybridIndex.search", hybrid_search("search", "换胎要拧紧螺栓", 3), ROUNDS),
    ("_hybrid.HybridIndex.search_stages", hybrid_search("search_stages", "拧紧螺栓", 3), ROUNDS),
    ("_hybrid.HybridIndex.bm25_search", hybrid_search("bm25_search", "拧紧螺栓", 3), ROUNDS),
    ("_hybrid.HybridIndex.bm25_bytes", hybrid_search("bm25_bytes"), ROUNDS),
    ("_hybrid.HybridIndex.search#bad", hybrid_search("search", "x", -1), ROUNDS),
    ("farrowin.CompiledSceneIndex.search", compiled_search("换胎要检查轮胎", top_k=3), ROUNDS),
    ("farrowin.CompiledSceneIndex.search#all", compiled_search("轮胎", -1), ROUNDS),
    ("farrowin.CompiledSceneIndex.search#bad", compiled_search(None), ROUNDS),
    ("plaxon.parse_field_into_scene", parse_field("steps"), ROUNDS),
    ("plaxon.parse_field_into_scene#bad", parse_field(5), ROUNDS),
    ("plaxon.parse_free_content_into_scene", parse_field("tip"), ROUNDS),
    ("delmoor.answer_query", answer_query("怎么更换轮胎"), ROUNDS),
    ("delmoor.answer_query#empty", answer_query(""), ROUNDS),
    ("delmoor.answer_query#bad", answer_query(None), ROUNDS),
    ("vendry.generate_ai_prompt#accepted", self_check([ANSWER, ACCEPT], "prompt.md", "q", {"k": [1]}), 1000),
    ("vendry.generate_ai_prompt#missing-key", self_check([ANSWER, {"reason": "x"}], "prompt.md", "q", "k"), 1000),
    ("vendry.generate_ai_prompt#model-error", self_check([ANSWER, RuntimeError], "prompt.md", "q", "k"), 1000),
    ("vendry.generate_ai_prompt#no-file", self_check([ANSWER], "missing.md", "q", "k"), 1000),
    # Rewrites the prompt file (flushed to disk): fewer rounds.
    ("vendry.generate_ai_prompt#rewrite", self_check([ANSWER, REJECT, CHECK_OK, ANSWER, ACCEPT], "prompt.md", "q", "k"), 200),
    ("ostrel.ostrel_main", ostrel_main, 100),
    ("ostrel.run_index", run_index(aliases={"T": ["x"]}, threads=2), 100),
    ("ostrel.run_index#bad", run_index(threads=0), 100),
]


class _MallInfo2(ctypes.Structure):
    _fields_ = [(n, ctypes.c_size_t) for n in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]


def _mallinfo2():
    if os.environ.get("CORVANE_SANITIZED") or sys.platform != "linux":
        return None
    try:
        fn = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6").mallinfo2
    except (OSError, AttributeError):
        return None
    fn.restype = _MallInfo2
    return fn


_MALLINFO2 = _mallinfo2()


def malloc_in_use():
    """Bytes handed out by malloc, or None where that cannot be told."""
    if _MALLINFO2 is None:
        return None
    info = _MALLINFO2()
    return info.uordblks + info.hblkhd


def measure(fn, rounds, watched=()):
    refs_before = [sys.getrefcount(a) for a in watched]
    for _ in range(max(20, rounds // 15)):  # warm caches (interned keys, type objects, imports)
        fn()
    gc.collect()
    total = getattr(sys, "gettotalrefcount", None)
    objects_before = len(gc.get_objects())
    total_before = total() if total else 0
    malloc_before = malloc_in_use()
    tracemalloc.start()
    try:
        traced_before = tracemalloc.get_traced_memory()[0]
        for _ in range(rounds):
            fn()
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - traced_before
    finally:
        tracemalloc.stop()
    malloc_after = malloc_in_use()
    assert len(gc.get_objects()) - objects_before < 50
    if total:
        assert total() - total_before < rounds // 4, "references leaked"
    assert grown < 64 * 1024, f"{grown} bytes still held after {rounds} calls"
    if malloc_before is not None:
        assert malloc_after - malloc_before < 256 * 1024, f"malloc grew by {malloc_after - malloc_before} bytes"
    assert [sys.getrefcount(a) for a in watched] == refs_before


@pytest.mark.parametrize("mod, name, args, kwargs", CALLS, ids=[f"{m}.{n}#{i}" for i, (m, n, _, _) in enumerate(CALLS)])
def test_no_leak(mod, name, args, kwargs):
    fn = getattr(module(mod), name)
    # Containers only: singletons and small cached objects are shared with the interpreter.
    watched = [a for a in list(args) + list(kwargs.values()) if isinstance(a, (dict, list))]
    measure(lambda: call(fn, args, kwargs), ROUNDS, watched)


@pytest.mark.parametrize("fn, rounds", [s[1:] for s in SCENARIOS], ids=[s[0] for s in SCENARIOS])
def test_no_leak_in_context(fn, rounds, monkeypatch):
    vendry = module("vendry")
    monkeypatch.setattr(vendry, "llm_response", vendry.llm_response)  # restored afterwards
    with contextlib.redirect_stdout(Sink()), contextlib.redirect_stderr(Sink()):
        measure(lambda: call(in_work(fn), (), {}), rounds, [ANSWER, REJECT, ACCEPT, CHECK_OK, SCENE])


def test_no_leak_covers_every_public_function():
    covered = {f"{m}.{n}" for m, n, _, _ in CALLS} | {s[0].split("#")[0] for s in SCENARIOS}
    public = set()
    for name in ("plaxon", "morlek", "ostrel", "farrowin", "vendry", "delmoor"):
        mod = delmoor() if name == "delmoor" else module(name)
        bound = {"normalize_text", "classify_query_intent", "build_prompt", "build_scene_context",
                 "load_scene_index", "search_knowledge_global", "markdown_to_tree", "build_keywords_from_scene",
                 "llm_response", "trange"}
        for attr in dir(mod):
            value = getattr(mod, attr)
            if attr.startswith("_") or not callable(value) or isinstance(value, type):
                continue
            if attr in bound and name in ("farrowin", "delmoor", "ostrel", "vendry"):
                continue  # a neighbour's function, bound by name
            public.add(f"{name}.{attr}")
    assert public <= covered, sorted(public - covered)
