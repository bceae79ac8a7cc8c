"""Safe answers: the default prompt stays the specified one, a deployment's
style, citations parsed back to scenes, sources, warnings always shown."""
from __future__ import annotations

import json

import pytest

from corvane.answers import (AnswerStyle, StyleError, build_answer_prompt, is_refused, load_style, parse_citations,
                             sources, style_from_mapping, with_warnings)
from corvane.catalog import Catalog, parse_catalog


def record(i, title, manual="m", warning=(), **extra):
    return {"scene_id": f"{manual}_scene_{i}", "manual_id": manual, "scene_title": title, "aliases": [title],
            "keywords": [], "scene_data": {"type": "scene", "title": title, "description": "", "steps": [],
                                           "warning": list(warning), "notice": [], "tip": [], "images": []},
            **extra}


def matched_of(question, records, intent="general"):
    results = []
    for r in records:
        ctx = {"title": r["scene_title"], "description": "", "steps": [],
               "warning": [] if intent == "definition_or_list" else r["scene_data"]["warning"],
               "notice": [], "tip": [], "images": []}
        results.append({"node_id": r["scene_id"], "title": r["scene_title"], "score": 27, "intent": intent,
                        "context": ctx})
    return {"query": question, "intent": intent, "results": results}


RECORDS = [record(1, "直流快充", "e5", warning=["充电时请勿启动车辆。"]), record(2, "交流充电", "e5"),
           record(3, "直流快充", "h7")]


def test_default_style_is_the_specified_prompt():
    from corvane import vendry

    m = matched_of("快充多久", RECORDS)
    assert build_answer_prompt("快充多久", m) == vendry.build_prompt("快充多久", m)
    assert build_answer_prompt("快充多久", m, AnswerStyle(cite=False)) == vendry.build_prompt("快充多久", m)
    owners = build_answer_prompt("快充多久", m, AnswerStyle.for_owners())
    assert "你是Brevane汽车助手。擅于回答<快充多久>" in owners and "例如[1]" in owners


def test_deployment_style_in_both_knowledge_forms():
    m = matched_of("快充多久", RECORDS)
    style = AnswerStyle.for_owners(brand="Nordal", tone="亲切、简洁", safety=("涉及高压部件时提醒用户联系服务中心。",))
    text = build_answer_prompt("快充多久", m, style, labels=["E5 手册", "E5 手册", "H7 手册"])
    assert text.startswith("\n            你是Nordal汽车助手。擅于回答<快充多久>\n")
    assert "回答语气：亲切、简洁" in text and "安全要求：涉及高压部件时提醒用户联系服务中心。" in text
    assert "例如[1]" in text and "[3] 直流快充（H7 手册）" in text
    assert "Brevane" not in text and text.endswith("\n            ")

    js = build_answer_prompt("快充多久", m, style.with_options(knowledge_format="json", tone=None))
    knowledge = json.loads(js.split("知识：\n            ", 1)[1].strip())
    assert [s["n"] for s in knowledge["scenes"]] == [1, 2, 3]
    assert knowledge["scenes"][0]["context"]["warning"] == ["充电时请勿启动车辆。"]
    assert "回答语气：亲切、简洁" in js  # None overrides keep the setting


def test_fallback_and_refusal():
    assert is_refused({"query": "x", "intent": "general", "results": []})
    assert not is_refused(matched_of("x", RECORDS[:1]))
    text = AnswerStyle().fallback_text
    assert "Brevane汽车助手" in text and "联系Brevane官方客服" in text
    assert "Nordal" in AnswerStyle(brand="Nordal").fallback_text
    assert AnswerStyle(fallback="请致电 400").fallback_text == "请致电 400"


@pytest.mark.parametrize("raw, fragment", [
    ({"brand": ""}, "'brand' must be a non-empty string"),
    ({"colour": "red"}, "'colour' is not a style setting"),
    ({"cite": "yes"}, "'cite' must be true or false"),
    ({"safety": [1]}, "'safety' must be a string or a list"),
    ({"knowledge_format": "xml"}, "knowledge_format must be one of text, json"),
])
def test_style_errors_name_the_key(raw, fragment):
    with pytest.raises(StyleError, match="^style.json: .*" + fragment.replace("(", r"\(")):
        style_from_mapping(raw, "style.json")


def test_load_style(tmp_path):
    p = tmp_path / "style.json"
    p.write_text(json.dumps({"brand": "Nordal", "safety": "先确保车辆停稳。", "cite": True}), "utf-8")
    style = load_style(p)
    assert style.safety == ("先确保车辆停稳。",) and style.cite and style.persona == "Nordal汽车助手"
    p.write_text("{", "utf-8")
    with pytest.raises(StyleError, match="line 1: not valid JSON"):
        load_style(p)


@pytest.mark.parametrize("reply, n, want", [
    ("约 25 分钟[1]。", 3, [1]),
    ("见[2][1]，另见[2]", 3, [2, 1]),
    ("见【3】和［1，2］", 3, [3, 1, 2]),
    ("参考[1-3]", 3, [1, 2, 3]),
    ("参考[1, 7]与[0]", 3, [1]),  # invented numbers dropped
    ("参考[2-99999999]", 3, [2]),  # a runaway range is not expanded
    ("没有引用", 3, []),
    ("[1]", 0, []),
])
def test_parse_citations(reply, n, want):
    assert parse_citations(reply, n) == want


def test_sources_cited_first_then_context():
    cat = Catalog(parse_catalog(json.dumps({"e5": {"vehicle": "Aster E5", "title": "E5 充电指南"},
                                            "h7": {"vehicle": "Linde H7"}})))
    recs = RECORDS[:2] + [record(3, "直流快充", "h7", heading_path=["1 充电", "直流快充"])]
    got = sources(recs, "H7 约 28 分钟[3]，E5 见[1]。", catalog=cat)
    assert got["cited"] is True
    assert [(s["n"], s["role"]) for s in got["sources"]] == [(3, "cited"), (1, "cited"), (2, "context")]
    first = got["sources"][0]
    assert first["vehicle"] == "Linde H7" and first["manual_id"] == "h7" and first["manual_title"] == "h7"
    assert first["heading_path"] == ["h7", "1 充电", "直流快充"]
    assert got["sources"][1]["heading_path"] == ["E5 充电指南", "直流快充"]
    uncited = sources(recs, "大约半小时。", catalog=cat)
    assert uncited["cited"] is False and {s["role"] for s in uncited["sources"]} == {"context"}


def test_warnings_always_in_the_context_without_touching_the_record():
    m = matched_of("快充是什么", RECORDS, intent="definition_or_list")
    before = json.dumps(m, ensure_ascii=False)
    got = with_warnings(m, RECORDS)
    assert got["results"][0]["context"]["warning"] == ["充电时请勿启动车辆。"]
    assert got["results"][1] is m["results"][1]  # no warnings: untouched
    assert json.dumps(m, ensure_ascii=False) == before
