"""The engine's hybrid ranker: the same ranking as corvane._hybrid over the same
entries and synonyms, from the JSON-lines file and from the compiled file;
refusal, synonyms of the data folder, per-call rankers."""
from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from corvane import _hybrid, farrowin
from corvane.engine import COMPILED_FILE, INDEX_FILE, Engine, write_compiled_index
from corvane.synonyms import synonyms_for

CORPUS = Path(__file__).parent / "data" / "corpus"


def scene(title, aliases=(), description="", steps=(), warning=(), notice=(), tip=(), keywords=(), i=0):
    return {
        "scene_id": f"m_scene_{i}", "manual_id": "m", "scene_title": title, "aliases": list(aliases),
        "keywords": list(keywords),
        "scene_data": {"type": "scene", "title": title, "description": description, "images": [],
                       "steps": [{"text": t, "sub_points": list(sp), "images": []} for t, sp in steps],
                       "warning": list(warning), "notice": list(notice), "tip": list(tip)},
    }


ENTRIES = [
    scene("制动液更换", ["刹车油更换"], "制动液每两年更换一次。", [("举升车辆", ["排空旧液"])], keywords=["制动液"], i=0),
    scene("轮胎气压标准", ["标准胎压"], "轮胎冷态时胎压应为 250 kPa。", keywords=["轮胎", "胎压"], i=1),
    scene("发动机机油检查（Linde H7）", [], "拔出机油尺查看油位。", keywords=["机油"], i=2),
    scene("儿童安全锁", ["儿童锁"], "后车门内侧有儿童安全锁拨杆，拨到锁止位置后车门无法从车内打开。", i=3),
    scene("补胎", [], "轮胎扎钉后可以补胎，胎侧损伤不能修补。", warning=["胎侧鼓包必须更换轮胎。"],
          keywords=["轮胎", "补胎"], i=4),
]
QUESTIONS = ["刹车油多久换", "机油检查", "后车门从车内打不开", "补胎以后轮胎气压标准是多少", "违章记录在哪查",
             "这个可以补吗", "", "螺丝松了", "ACC 雨刮"]


def write_index(folder: Path, entries) -> Path:
    data = folder / "data"
    data.mkdir(parents=True, exist_ok=True)
    (data / INDEX_FILE).write_text("".join(json.dumps(e, ensure_ascii=False) + "\n" for e in entries),
                                   encoding="utf-8")
    return data


def ids(results):
    return [(e["scene_id"], s) for e, s in results]


def reference(data: Path, fused: bool = True):
    from corvane.evaluate import heading_paths

    index = farrowin.load_scene_index(str(data / INDEX_FILE))
    found = heading_paths(index, data) if fused else {}
    paths = [found.get(i, []) for i in range(len(index))] if fused else None
    return _hybrid.HybridIndex(index, synonyms=synonyms_for(data)[0], fused=fused, paths=paths)


def test_same_ranking_as_the_standalone_ranker_from_both_sources(tmp_path):
    data = write_index(tmp_path, ENTRIES)
    ref = reference(data)
    for compiled in (False, True):  # the first engine compiles and writes the file the second one maps
        with Engine(data, ranker="hybrid") as eng:
            assert eng.info()["compiled_file"] is compiled and eng.info()["ranker"] == "hybrid"
            for q in QUESTIONS:
                for k in (0, 1, 3, 10):
                    got = eng.search(q, k)
                    assert ids(got) == ids(ref.search(q, k)), (q, k)
                    assert all(isinstance(s, float) for _, s in got)
    assert ids(ref.search("机油检查", 3))[0][0] == "m_scene_2"  # the base title matched


def test_public_corpus_equals_the_standalone_ranker(tmp_path):
    folder = tmp_path / "site"
    shutil.copytree(CORPUS / "manuals", folder / "data" / "manuals")
    shutil.copy(CORPUS / "manual_alias.json", folder / "data" / "manual_alias.json")
    subprocess.run([sys.executable, "-m", "corvane", "index"], cwd=folder, check=True, capture_output=True)
    data = folder / "data"
    write_compiled_index(data)
    questions = [json.loads(line)["q"] for line in (CORPUS / "questions_public.jsonl").read_text("utf-8").splitlines()]
    # The engine reads the heading paths from data/manuals when compiling;
    # the standalone ranker is given them.
    for ranker, ref in (("hybrid", reference(data)), ("cascade", reference(data, fused=False))):
        with Engine(data) as eng:
            assert eng.info()["compiled_file"]
            for q in questions:
                assert ids(eng.search(q, 5, ranker=ranker)) == ids(ref.search(q, 5)), (ranker, q)


@settings(max_examples=40, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(
    picks=st.lists(st.tuples(st.integers(0, 4), st.integers(0, 4), st.integers(0, 4)), min_size=1, max_size=12),
    question=st.text(alphabet="制动液更换轮胎气压标准机油检查（）儿童锁补胎吗怎么的 ", max_size=12),
)
def test_random_corpora(tmp_path_factory, picks, question):
    words = ["制动液", "轮胎", "机油检查（A1）", "儿童锁", "补胎"]
    entries = [scene(words[a] + words[b], [words[c]], words[b] + "说明" + words[a], keywords=[words[c]], i=i)
               for i, (a, b, c) in enumerate(picks)]
    data = write_index(tmp_path_factory.mktemp("rnd"), entries)
    ref = reference(data)
    with Engine(data, ranker="hybrid") as eng:
        for k in (1, 3, 20):
            assert ids(eng.search(question, k)) == ids(ref.search(question, k))


def test_refusal_knowledge_and_prompt(tmp_path):
    data = write_index(tmp_path, ENTRIES)
    with Engine(data) as eng:
        assert eng.search("违章记录在哪查", 3, ranker="hybrid") == []
        knowledge = eng.knowledge("违章记录在哪查", ranker="hybrid")
        assert knowledge["results"] == [] and knowledge["query"] == "违章记录在哪查"
        assert "'results': []" in eng.prompt("违章记录在哪查", ranker="hybrid")
        # the engine's own ranker stays the default of every call
        assert all(isinstance(s, int) for _, s in eng.search("补胎以后轮胎气压标准", 3))
        hybrid = eng.knowledge("补胎以后轮胎气压标准", ranker="hybrid")["results"]
        assert hybrid and all(isinstance(r["score"], float) for r in hybrid)
        with pytest.raises(ValueError, match="top_k"):
            eng.search("补胎", -1, ranker="hybrid")


def test_synonyms_of_the_data_folder(tmp_path):
    data = write_index(tmp_path, [scene("更换灯泡", [], "拧下灯座。", i=0), scene("补胎", [], "轮胎扎钉后补胎。", i=1)])
    with Engine(data, ranker="hybrid") as eng:
        before = ids(eng.search("车灯不亮", 3))
    (data / "synonyms.json").write_text(json.dumps({"车灯": ["灯泡"]}, ensure_ascii=False), encoding="utf-8")
    with Engine(data, ranker="hybrid") as eng:
        after = ids(eng.search("车灯不亮", 3))
    assert after and after[0][0] == "m_scene_0" and after != before
    # a bad synonym file fails hybrid searches, naming it, never the exact ranker
    (data / "synonyms.json").write_text("[1, 2", encoding="utf-8")
    with Engine(data) as eng:
        assert ids(eng.search("补胎", 3)) == [("m_scene_1", 15)]
        with pytest.raises(ValueError, match="synonyms.json"):
            eng.search("补胎", 3, ranker="hybrid")


SYNONYM_TEXTS = [
    '{"刹车油": "制动液", "螺丝": ["螺栓", "紧固件"]}', '{}', '{"车灯": []}', '{"a": "b", "a": "c"}',
    '{"a": "b", "c": "d", "a": "e"}', '{"\\u8f66\\u706f": "灯泡"}', '{"车灯": "灯\\n泡"}', '{" ": "x"}',
    '{"\u3000": "x"}', '{"…": "x"}', '{"车灯": ["灯泡", 1]}', '["刹车油"]', '{"a": "b",}', '\ufeff{"a": "b"}',
    '{"车灯": null}', '{"车灯": {"x": "y"}}', '{"LED灯": "大灯", "灯": ["灯泡", "车灯"]}',
]


def test_synonym_files_read_natively_as_the_package_reads_them(tmp_path):
    """A plain synonym file is read without the host's JSON reader: to the same synonyms, and
    anything it is not sure of goes the package's way (same values, same errors)."""
    from corvane import _engine
    from corvane.engine import _synonyms
    from corvane.synonyms import read_synonyms

    questions = ["车灯不亮怎么办", "刹车油多久换", "螺丝松了", "LED灯坏了", "abc", "车灯灯泡"]
    native_taken = 0
    for text in SYNONYM_TEXTS:
        (tmp_path / "synonyms.json").write_text(text, encoding="utf-8")
        try:
            expected = _engine.Synonyms(read_synonyms(tmp_path / "synonyms.json"))
        except ValueError as exc:
            expected = exc
        native = _engine.read_synonyms_file(str(tmp_path / "synonyms.json"))
        if native is not None:
            native_taken += 1
            assert not isinstance(expected, Exception), text
            assert [native.expand(q) for q in questions] == [expected.expand(q) for q in questions], text
        if isinstance(expected, Exception):
            with pytest.raises(ValueError) as info:
                _synonyms(tmp_path)
            assert str(info.value) == str(expected)
        else:
            assert [_synonyms(tmp_path).expand(q) for q in questions] == [expected.expand(q) for q in questions]
    assert native_taken >= 5
    (tmp_path / "synonyms.json").unlink()  # the package's own list, read natively
    assert _synonyms(tmp_path).expand("螺丝松了").endswith("螺栓")


def test_compiled_file_without_hybrid_sections_is_recompiled(tmp_path, engine_log):
    data = write_index(tmp_path, ENTRIES)
    write_compiled_index(data)
    cvx = data / COMPILED_FILE
    raw = bytearray(cvx.read_bytes())
    # rename the BM25 section's tag in the section table (and reseal): a file of
    # an engine without the hybrid ranker
    from corvane import _engine

    at = raw.find(b"BM25", 80, 80 + 24 * 16)
    assert at > 0
    raw[at:at + 4] = b"XXXX"
    cvx.write_bytes(_engine._reseal(bytes(raw)))
    os.utime(cvx)
    with Engine(data, ranker="hybrid") as eng:
        assert not eng.info()["compiled_file"]
        assert ids(eng.search("机油检查", 3)) == ids(reference(data).search("机油检查", 3))
    assert "has no sections of the hybrid ranker" in engine_log.take()
    with Engine(data) as eng:  # the fresh file written meanwhile has them
        assert eng.info()["compiled_file"]
