"""The owners' layer over a real engine and the test corpus: the vehicle
filter gives the top k of the allowed manuals, a refused question has no
prompt, the default style's prompt is the engine's own."""
from __future__ import annotations

import json
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from corvane.answers import AnswerStyle, plan_answer
from corvane.catalog import filtered_search, load_catalog
from corvane.engine import Engine

CORPUS = Path(__file__).parent / "data" / "corpus"
CATALOG = {
    "brevane_charging": {"vehicle": "Aster E5", "title": "Aster E5 充电指南", "vehicle_names": ["X5"],
                         "aliases": {"直流快充": ["闪充"]}},
    "brevane_adas_cabin": {"vehicle": "Aster E5"},
    "brevane_maintenance": {"vehicle": "Linde H7", "aliases": {"制动液更换": ["闪充"]}},
    "brevane_tyres_wheels": {"vehicle": "Linde H7"},
    "brevane_warranty": {"vehicle": ["Aster E5", "Linde H7"]},
    "brevane_hv_rescue": {"vehicle": ["Aster E5", "Linde H7"]},
}


@pytest.fixture(scope="module")
def site(tmp_path_factory):
    folder = tmp_path_factory.mktemp("owners")
    shutil.copytree(CORPUS / "manuals", folder / "data" / "manuals")
    shutil.copy(CORPUS / "manual_alias.json", folder / "data" / "manual_alias.json")
    (folder / "data" / "catalog.json").write_text(json.dumps(CATALOG, ensure_ascii=False), "utf-8")
    subprocess.run([sys.executable, "-m", "corvane", "index"], cwd=folder, check=True, capture_output=True)
    with Engine(folder / "data") as eng:
        yield eng, load_catalog(folder / "data")


QUESTIONS = [json.loads(line)["q"] for line in (CORPUS / "questions_public.jsonl").read_text("utf-8").splitlines()]


@pytest.mark.parametrize("ranker", ["exact", "hybrid"])
def test_filter_is_the_top_k_of_the_allowed_manuals(site, ranker):
    eng, cat = site
    for vehicle in ("Aster E5", "Linde H7"):
        allowed = cat.resolve(vehicle=vehicle)
        for q in QUESTIONS[::3]:
            full = eng.search(q, len(eng), ranker=ranker)
            want = [(e["scene_id"], s) for e, s in full if e["manual_id"] in allowed][:3]
            got = [(e["scene_id"], s) for e, s in filtered_search(eng, q, allowed, 3, ranker=ranker)]
            # the hybrid's float sums may differ in the last bit between fetch sizes
            assert [i for i, _ in got] == [i for i, _ in want], (vehicle, q)
            assert [s for _, s in got] == pytest.approx([s for _, s in want]), (vehicle, q)


def test_prepare_filter(site):
    from corvane.catalog import prepare_filter

    eng, _ = site
    assert prepare_filter(eng) is True
    assert prepare_filter(object()) is False


def test_an_alias_of_one_model_does_not_pull_the_other(site):
    eng, cat = site
    e5 = cat.resolve(vehicle=cat.detect_vehicle("我开的X5，闪充要多久"))
    got = filtered_search(eng, "闪充要多久", e5, 3, catalog=cat)
    assert got[0][0]["scene_title"] == "直流快充" and {e["manual_id"] for e, _ in got} <= e5
    h7 = cat.resolve(vehicle="Linde H7")
    assert filtered_search(eng, "闪充要多久", h7, 1, catalog=cat)[0][0]["scene_title"] == "制动液更换"


def test_plan_answer(site):
    eng, cat = site
    q = "直流快充怎么操作"
    plain = plan_answer(eng, q)
    assert not plain.refused and plain.prompt == eng.prompt(q)  # the specified prompt stays the default

    style = AnswerStyle.for_owners(fallback="请联系服务中心。")
    refused = plan_answer(eng, "违章罚款在哪里交", style=style, ranker="hybrid")
    assert refused.refused and refused.prompt is None and refused.fallback == "请联系服务中心。"

    h7 = cat.resolve(vehicle="Linde H7")
    plan = plan_answer(eng, "那它怎么换", style=style, catalog=cat, manual_ids=h7, ranker="hybrid",
                       retrieval_query="更换雨刮片 那它怎么换")
    assert len(plan.records) == 3 and {r["manual_id"] for r in plan.records} <= h7
    assert plan.records[0]["scene_title"] == "更换雨刮片"
    assert "擅于回答<那它怎么换>" in plan.prompt and "例如[1]" in plan.prompt
    done = plan.finish("先进入维修位置[2]，再换新雨刮片[1]。")
    assert done["cited"] and [s["n"] for s in done["sources"]] == [2, 1, 3]
    assert done["sources"][1]["vehicles"] == ["Linde H7"] and done["sources"][2]["role"] == "context"

    charging = plan_answer(eng, q, style=style, catalog=cat, manual_ids={"brevane_charging"})
    assert "（Aster E5 充电指南）" in charging.prompt


TABLE_MANUAL = """# 第一章 仪表

## 仪表指示灯

### 说明

仪表上的指示灯含义如下：

| 指示灯 | 含义 |
|---|---|
| 充电指示灯 | 正在充电 |
| 胎压报警灯 | 胎压过低 |
"""


def test_owners_answer_context_carries_the_scene_tables(tmp_path):
    """A scene's tables reach the owners' prompt as text rows; the specified prompt stays as it is."""
    (tmp_path / "data" / "manuals").mkdir(parents=True)
    (tmp_path / "data" / "manuals" / "dash.md").write_text(TABLE_MANUAL, "utf-8")
    subprocess.run([sys.executable, "-m", "corvane", "index"], cwd=tmp_path, check=True, capture_output=True)
    with Engine(tmp_path / "data") as eng:
        q = "仪表指示灯"
        owners = plan_answer(eng, q, style=AnswerStyle.for_owners(), ranker="hybrid")
        assert owners.matched["results"][0]["context"]["tables"] == ["指示灯：充电指示灯；含义：正在充电",
                                                                    "指示灯：胎压报警灯；含义：胎压过低"]
        assert "胎压报警灯；含义：胎压过低" in owners.prompt
        plain = plan_answer(eng, q)
        assert "tables" not in plain.matched["results"][0]["context"] and plain.prompt == eng.prompt(q)
