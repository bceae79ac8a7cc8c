"""corvane.Engine: the same answers as the specified functions, from the
compiled file or from the JSON-lines file, whatever state the compiled file
is in."""
from __future__ import annotations

import json
import os
import random
import shutil
import threading
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from corvane import farrowin
from corvane.engine import COMPILED_FILE, INDEX_FILE, Engine, EngineError, write_compiled_index
from subproc import run_python

GOLDEN_E2E = Path(__file__).parent / "golden" / "e2e"
E2E_CASES = sorted(p.name for p in GOLDEN_E2E.iterdir() if p.is_dir())

VOCAB = ["车门", "锁", "前门锁", "空调", "滤芯", "胎压", "更换", "门", "Ａ", "a", " ", "！"]


def words(vocab, max_words):
    """Strings made of whole vocabulary words."""
    return st.lists(st.sampled_from(vocab), max_size=max_words).map("".join)


def entry(i: int, title: str, aliases=None, keywords=None) -> dict:
    e = {"scene_id": f"m_scene_{i}", "manual_id": "m", "scene_title": title}
    if aliases is not None:
        e["aliases"] = aliases
    if keywords is not None:
        e["keywords"] = keywords
    e["scene_data"] = {"type": "scene", "title": title, "description": f"说明{i}", "images": [], "steps": [],
                       "warning": [], "notice": [], "tip": []}
    return e


def write_index(folder: Path, entries: list[dict], *, ascii_only: bool = False, newline: str = "\n") -> Path:
    data = folder / "data"
    data.mkdir(parents=True, exist_ok=True)
    text = "".join(json.dumps(e, ensure_ascii=ascii_only) + newline for e in entries)
    path = data / INDEX_FILE
    path.write_bytes(text.encode("utf-8"))
    return data


def sample_entries(seed: int = 1, n: int = 40) -> list[dict]:
    rng = random.Random(seed)
    pick = lambda: rng.choice(VOCAB)  # noqa: E731
    return [entry(i, pick() + pick(), [pick() for _ in range(rng.randrange(3))],
                  [pick() + pick() for _ in range(rng.randrange(5))]) for i in range(n)]


QUESTIONS = ["前门锁", "车门锁怎么开", "空调 滤芯更换", "门锁车门锁", "", "胎压", "xyz", "锁车门空调胎压前门ａ！"]


def expected(data: Path, question: str, top_k: int = 3):
    return farrowin.search_knowledge_global(question, farrowin.load_scene_index(str(data / INDEX_FILE)), top_k)


def assert_same_answers(eng: Engine, data: Path):
    for q in QUESTIONS:
        for k in (3, 1, 0, -1, 50):
            assert eng.search(q, k) == expected(data, q, k), (q, k)


# ---- equality with the specified functions ------------------------------------


@settings(max_examples=60, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(
    entries=st.lists(
        st.tuples(words(VOCAB, 3),
                  st.none() | st.lists(words(VOCAB, 2), max_size=3),
                  st.none() | st.lists(words(VOCAB, 3), max_size=10)),
        max_size=25),
    questions=st.lists(words(VOCAB, 8), min_size=1, max_size=6),
    top_k=st.integers(-5, 12),
    ascii_only=st.booleans(),
    newline=st.sampled_from(["\n", "\r\n", "\r"]),
)
def test_search_equals_search_knowledge_global(tmp_path_factory, entries, questions, top_k, ascii_only, newline):
    folder = tmp_path_factory.mktemp("idx")
    data = write_index(folder, [entry(i, *e) for i, e in enumerate(entries)], ascii_only=ascii_only, newline=newline)
    loaded = farrowin.load_scene_index(str(data / INDEX_FILE))
    with Engine(data) as compiled_now, Engine(data) as mapped:
        assert not compiled_now.info()["compiled_file"] and mapped.info()["compiled_file"]
        for q in questions:
            want = farrowin.search_knowledge_global(q, loaded, top_k)
            assert compiled_now.search(q, top_k) == want
            assert mapped.search(q, top_k) == want


@pytest.mark.parametrize("case", E2E_CASES)
def test_golden_prompts(case, tmp_path):
    data = shutil.copytree(GOLDEN_E2E / case / "expected" / "data", tmp_path / "data")
    cases = [json.loads(line) for line in (GOLDEN_E2E / case / "expected" / "prompts.jsonl").open(encoding="utf-8")]
    for opened_from in ("jsonl", "compiled file"):
        with Engine(data) as eng:
            assert eng.info()["compiled_file"] == (opened_from == "compiled file")
            for c in cases:
                assert eng.prompt(*c["args"], **c["kwargs"]) == c["result"]


PROMPT_CHECK = r"""
import json, random, sys
from corvane import delmoor
from corvane.engine import Engine
questions = json.loads(sys.stdin.read())
eng = Engine("data")
index = delmoor.scene_index
rng = random.Random(5)
texts = [t for e in index for t in [e["scene_title"], *e.get("aliases", []), *e.get("keywords", [])]]
for _ in range(300):
    questions.append("".join(rng.choice(texts)[: rng.randrange(1, 6)] for _ in range(rng.randrange(1, 4))))
bad = [q for q in questions if eng.prompt(q) != delmoor.answer_query(q)]
print(json.dumps({"checked": len(questions), "bad": bad}, ensure_ascii=False))
"""


@settings(max_examples=3, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(questions=st.lists(words(VOCAB + ["三包", "责任", "承诺", "轮胎", "怎么", "警告"], 10),
                          min_size=20, max_size=40))
def test_prompt_equals_answer_query(tmp_path_factory, questions):
    folder = tmp_path_factory.mktemp("e2e")
    shutil.copytree(GOLDEN_E2E / E2E_CASES[0] / "expected" / "data", folder / "data")
    import subprocess
    import sys

    proc = subprocess.run([sys.executable, "-c", PROMPT_CHECK], cwd=folder, input=json.dumps(questions),
                          capture_output=True, text=True, encoding="utf-8", timeout=120)
    assert proc.returncode == 0, proc.stderr
    report = json.loads(proc.stdout.splitlines()[-1])
    assert report["bad"] == [] and report["checked"] >= 300


def test_knowledge_and_template(tmp_path):
    data = shutil.copytree(GOLDEN_E2E / E2E_CASES[0] / "expected" / "data", tmp_path / "data")
    with Engine(data) as eng:
        record = eng.knowledge("三包责任承诺")
        assert list(record) == ["query", "intent", "results"] and record["query"] == "三包责任承诺"
        assert [list(r) for r in record["results"]] == [["node_id", "title", "score", "intent", "context"]] * len(
            record["results"]) and record["results"]
        filled = eng.prompt("三包责任承诺", template="问:__INPUT__|知:__KNOWLEDGE__|时:__TIME__|__INPUT__")
        head, knowledge, when, again = filled.split("|")
        assert head == "问:三包责任承诺" and again == "三包责任承诺"
        assert knowledge == "知:" + repr(record)
        assert len(when) == len("时:20260101:120000") and when[10] == ":"
        assert eng.prompt("三包", template="no placeholders") == "no placeholders"


# ---- the compiled file's states ---------------------------------------------------


def damage(kind: str, cvx: Path, jsonl: Path):
    raw = bytearray(cvx.read_bytes())
    if kind == "missing":
        cvx.unlink()
    elif kind == "other version":
        raw[8] += 1
        cvx.write_bytes(raw)
    elif kind == "truncated":
        cvx.write_bytes(raw[: len(raw) // 2])
    elif kind == "empty":
        cvx.write_bytes(b"")
    elif kind == "not a compiled file":
        cvx.write_bytes(b"{}\n" * 100)
    elif kind == "header byte":
        raw[30] ^= 1
        cvx.write_bytes(raw)
    elif kind == "body byte":
        raw[-3] ^= 0x40
        cvx.write_bytes(raw)
    elif kind == "stale, other size":
        jsonl.write_bytes(jsonl.read_bytes() + json.dumps(entry(99, "前门锁")).encode() + b"\n")
    elif kind == "stale, same size":
        text = jsonl.read_bytes()
        swapped = text.replace("前门锁".encode(), "空调锁".encode(), 1)
        assert swapped != text and len(swapped) == len(text)
        jsonl.write_bytes(swapped)
        os.utime(jsonl, ns=(1, 1))
    elif kind == "a folder":
        cvx.unlink()
        cvx.mkdir()
    else:
        raise AssertionError(kind)


@pytest.mark.parametrize("kind", ["missing", "other version", "truncated", "empty", "not a compiled file",
                                  "header byte", "body byte", "stale, other size", "stale, same size", "a folder"])
def test_unusable_compiled_file_is_rebuilt(kind, tmp_path, engine_log):
    data = write_index(tmp_path, sample_entries())
    write_compiled_index(data)
    cvx, jsonl = data / COMPILED_FILE, data / INDEX_FILE
    damage(kind, cvx, jsonl)
    engine_log.take()
    with Engine(data) as eng:
        if kind == "body byte":  # opening reads the header only: the hash check finds it
            assert eng.info()["compiled_file"] and not eng.verify()
        err = engine_log.take()
        assert_same_answers(eng, data)
        err += engine_log.take()
        assert err.count("compiling the index from") == 1 and str(cvx) in err
        assert not eng.info()["compiled_file"]
    if kind == "a folder":
        assert cvx.is_dir()  # nothing could be written; answers came from memory
        return
    with Engine(data) as eng:  # the fresh compiled file serves
        assert eng.info()["compiled_file"] and engine_log.take() == ""
        assert_same_answers(eng, data)


def test_copied_or_touched_index_is_checked_by_content(tmp_path, engine_log):
    data = write_index(tmp_path, sample_entries())
    write_compiled_index(data)
    os.utime(data / INDEX_FILE, ns=(10**18, 10**18))
    with Engine(data) as eng:
        assert eng.info()["compiled_file"]
        assert_same_answers(eng, data)
    assert "compiling" not in engine_log.take()


def test_random_damage_never_gives_other_answers(tmp_path, engine_log):
    data = write_index(tmp_path, sample_entries(seed=3, n=30))
    write_compiled_index(data)
    good = (data / COMPILED_FILE).read_bytes()
    rng = random.Random(11)
    want = {q: expected(data, q, 5) for q in QUESTIONS}
    for _ in range(150):
        raw = bytearray(good)
        if rng.random() < 0.3:
            raw = raw[: rng.randrange(len(raw))]
        else:
            for _ in range(rng.randrange(1, 4)):
                at = rng.randrange(120) if rng.random() < 0.5 else rng.randrange(len(raw))
                raw[at] ^= 1 << rng.randrange(8)
        (data / COMPILED_FILE).write_bytes(raw)
        with Engine(data) as eng:
            for q, w in want.items():
                assert eng.search(q, 5) == w
    engine_log.take()


# ---- bad JSON-lines files -----------------------------------------------------------


def test_missing_index(tmp_path):
    (tmp_path / "data").mkdir()
    with pytest.raises(FileNotFoundError) as info:
        Engine(tmp_path / "data")
    assert info.value.filename == str(tmp_path / "data" / INDEX_FILE)


@pytest.mark.parametrize("bad_line, message", [
    ('{"scene_title": "x", ', None),            # not JSON: the loader's own error
    ("", None),                                 # a blank line
    (b'{"scene_title": "x\xff"}', None),       # not UTF-8
    ('["a list"]', "line 2: an index entry must be a JSON object"),
    ('{"aliases": []}', 'line 2: the entry has no "scene_title"'),
    ('{"scene_title": 5}', 'line 2: "scene_title" must be a string'),
    ('{"scene_title": "x", "aliases": 5}', 'line 2: "aliases" must be a list of strings'),
    ('{"scene_title": "x", "keywords": ["a", null]}', 'line 2: "keywords" must be a list of strings'),
])
def test_bad_line_names_file_and_line(tmp_path, bad_line, message):
    data = tmp_path / "data"
    data.mkdir()
    jsonl = data / INDEX_FILE
    good = json.dumps(entry(0, "车门"), ensure_ascii=False)
    bad = bad_line if isinstance(bad_line, bytes) else bad_line.encode("utf-8")
    jsonl.write_bytes(good.encode() + b"\n" + bad + b"\n" + good.encode() + b"\n")
    if message is None:
        with pytest.raises(ValueError) as loader_error:
            farrowin.load_scene_index(str(jsonl))
        with pytest.raises(type(loader_error.value)) as info:
            Engine(data)
        assert str(info.value) == str(loader_error.value)
    else:
        with pytest.raises(ValueError, match=f"^{str(jsonl)}, {message}"):
            Engine(data)
    assert not (data / COMPILED_FILE).exists()


def test_compile_threads_write_the_same_file(tmp_path, monkeypatch):
    # Enough entries for several batches of the compile's workers, one line the
    # host reads (nested past the core reader's depth), "\r\n" ends.
    entries = sample_entries(seed=3, n=2500)
    for i, e in enumerate(entries):
        e["scene_data"]["description"] = f"车门锁的说明{i}" * 150
    entries[1234]["extra"] = json.loads("[" * 300 + "]" * 300)
    data = write_index(tmp_path, entries, newline="\r\n")
    written = {}
    for threads in ("1", "2", "5", ""):
        monkeypatch.setenv("CORVANE_INDEX_THREADS", threads)
        write_compiled_index(data)
        written[threads] = (data / COMPILED_FILE).read_bytes()
    assert len(set(written.values())) == 1
    assert_same_answers(Engine(data), data)


# ---- refresh, threads, lifetime -------------------------------------------------------


def test_refresh_switches_and_old_index_stays_valid(tmp_path):
    data = write_index(tmp_path, sample_entries(seed=1))
    eng = Engine(data)
    assert eng.refresh() is False
    old = eng._snap.index
    before = eng.search("前门锁", 5)
    staged = write_index(tmp_path / "staged", sample_entries(seed=2, n=55))
    write_compiled_index(staged)
    for name in (INDEX_FILE, COMPILED_FILE):  # renamed over, as `corvane index` does
        os.replace(staged / name, data / name)
    assert eng.refresh() is True and len(eng) == 55
    assert eng.refresh() is False
    assert_same_answers(eng, data)
    # An index taken before the switch still answers from its own files.
    (data / INDEX_FILE).unlink()
    (data / COMPILED_FILE).unlink()
    assert [(json.loads(old.line(i)), s) for i, s in old.search("前门锁", 5)] == before
    eng.close()


def test_index_rewritten_in_place_is_not_read_through_old_offsets(tmp_path, engine_log):
    data = write_index(tmp_path, sample_entries(seed=1))
    eng = Engine(data)
    old = eng._snap.index
    hits = old.search("前门锁", 5)
    assert hits
    write_index(tmp_path, sample_entries(seed=2, n=55))  # same file, new content
    with pytest.raises(ValueError, match="changed in place"):
        old.line(hits[0][0])
    assert_same_answers(eng, data)  # the engine compiles the new content
    assert engine_log.take().count("changed in place") == 1


def test_threads_search_while_refreshing(tmp_path):
    data = write_index(tmp_path, sample_entries(seed=1))
    first = {q: expected(data, q, 4) for q in QUESTIONS}
    second_entries = sample_entries(seed=2, n=50)
    eng = Engine(data)
    wrong, stop = [], threading.Event()
    seconds: dict = {}

    def worker():
        while not stop.is_set():
            for q in QUESTIONS:
                got = eng.search(q, 4)
                if got != first[q] and got != seconds.get(q):
                    wrong.append((q, got))

    threads = [threading.Thread(target=worker) for _ in range(4)]
    for t in threads:
        t.start()
    tmp = tmp_path / "next"
    for _ in range(5):
        d2 = write_index(tmp, second_entries)
        seconds.update({q: expected(d2, q, 4) for q in QUESTIONS})
        write_compiled_index(d2)
        for name in (INDEX_FILE, COMPILED_FILE):
            os.replace(d2 / name, data / name)  # index first, as `corvane index` does
        eng.refresh()
        write_index(tmp, sample_entries(seed=1))
        write_compiled_index(d2)
        for name in (INDEX_FILE, COMPILED_FILE):
            os.replace(d2 / name, data / name)
        eng.refresh()
    stop.set()
    for t in threads:
        t.join()
    assert wrong == []


def test_api_edges(tmp_path):
    data = write_index(tmp_path, sample_entries())
    with pytest.raises(ValueError, match="ranker"):
        Engine(data, ranker="bm99")
    with Engine(data) as eng:
        info = eng.info()
        assert info["entries"] == len(eng) == 40 and info["data_dir"] == str(data) and info["ranker"] == "exact"
        assert info["built_at"][:4].isdigit() and "T" in info["built_at"]
        with pytest.raises(TypeError):
            eng.search(b"bytes")
        with pytest.raises(ValueError, match="ranker"):
            eng.search("门", ranker="other")
    with pytest.raises(EngineError):
        eng.search("门")
    empty = write_index(tmp_path / "empty", [])
    with Engine(empty) as eng:
        assert len(eng) == 0 and eng.search("前门锁") == [] and eng.knowledge("x")["results"] == []


def test_importing_corvane_loads_no_extension(tmp_path):
    out = run_python("import sys, corvane; print(sorted(m for m in sys.modules if m.startswith('corvane')));"
                     "print(corvane.Engine.__module__)", tmp_path)
    first, second = out.stdout.splitlines()
    assert first == "['corvane']" and second == "corvane.engine"


def test_no_leaks(tmp_path, engine_log, monkeypatch):
    import logging

    from test_leaks import measure

    # pytest's log capture keeps records of its own: the notes are off here.
    monkeypatch.setattr(logging.getLogger("corvane.engine"), "disabled", True)

    data = write_index(tmp_path, sample_entries())
    write_compiled_index(data)
    bad = write_index(tmp_path / "bad", [entry(0, "x"), {"aliases": []}])
    query = "前门锁车门锁空调"

    def rounds_of_use():
        with Engine(data) as eng:
            eng.search(query, 5)
            eng.prompt(query)
            try:
                eng.search(None)
            except TypeError:
                pass
        try:
            Engine(bad)
        except ValueError:
            pass
        engine_log.take()

    measure(rounds_of_use, 200, [query])
    engine_log.take()


def test_whole_file_hash_checked_by_verify_not_on_open(tmp_path, engine_log):
    """Opening reads the header only; verify() reads the whole file and, when
    it is damaged, the engine recompiles instead of answering from it."""
    from corvane import _engine
    from corvane.engine import verify_compiled_index

    data = write_index(tmp_path, sample_entries())
    write_compiled_index(data)
    cvx, jsonl = data / COMPILED_FILE, data / INDEX_FILE
    index = _engine.open_compiled(cvx, jsonl)
    assert index.verified() == 0 and index.verify() and index.verified() == 1
    assert verify_compiled_index(data) is None
    raw = bytearray(cvx.read_bytes())
    sections = int.from_bytes(raw[12:16], "little")
    raw[80 + 24 * sections + 13] ^= 0x40  # a trie label: nothing structural, only the hash tells
    cvx.write_bytes(raw)
    damaged = _engine.open_compiled(cvx, jsonl)
    assert damaged.from_compiled_file and not damaged.verify() and damaged.verified() == -1
    with pytest.raises(_engine.CorruptIndexError):
        damaged.search("前门锁")
    assert "differ from their hash" in verify_compiled_index(data)
    engine_log.take()
    with Engine(data) as eng:
        assert eng.info()["compiled_file"]
        assert not eng.verify()
        assert_same_answers(eng, data)
        assert not eng.info()["compiled_file"] and eng.verify()
    assert engine_log.take().count("differ from their hash") == 1


# ---- unusual lines: the core reads what it can, the host the rest ----------------------

UNUSUAL = [
    r'{"scene_id": "u0", "scene_title": "\u8f66\u95e8\u9501", "aliases": ["\ud800门"], "keywords": ["锁车"]}',
    '{"scene_id": "u1", "scene_title": "旧标题", "scene_title": "空调滤芯", "keywords": ["滤芯", "滤芯"]}',
    r'{"scene_id": "u2", "scene\u005ftitle": "胎压", "scene_data": {"n": 1000000000000000000000000000001, '
    '"f": 1e400, "g": -Infinity, "steps": [3, {"text": 4, "sub_points": ["胎压表", 5]}], "tip": "不是列表"}}',
    '{"scene_id": "u3", "scene_title": "车门", "aliases": "车门锁", "keywords": {"门锁": 1}}',
    '{"scene_id": "u4", "scene_title": "深", "scene_data": ' + "[" * 300 + "]" * 300 + "}",
    '  {"scene_id": "u5", "scene_title": "前门锁", "aliases": [], "keywords": []}  ',
]


def test_unusual_lines_read_as_the_loader_reads_them(tmp_path):
    data = tmp_path / "data"
    data.mkdir()
    (data / INDEX_FILE).write_text("\n".join(UNUSUAL) + "\n", encoding="utf-8", errors="surrogatepass")
    loaded = farrowin.load_scene_index(str(data / INDEX_FILE))
    for compiled in (False, True):
        with Engine(data) as eng:
            assert eng.info()["compiled_file"] is compiled
            for q in ["车门锁怎么开", "空调滤芯滤芯", "胎压", "深", "前门锁\ud800门", "门锁"]:
                want = farrowin.search_knowledge_global(q, loaded, top_k=-1)
                got = eng.search(q, -1)
                assert got == want, q  # the records too: equal to the loader's dicts
                assert [type(v) for e, _ in got for v in e.values()] == [type(v) for e, _ in want for v in e.values()]
