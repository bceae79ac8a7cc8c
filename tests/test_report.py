"""`corvane report`: refused questions counted, lowest-rated answers, alias
suggestions without question words, table / --json / --plot, errors."""
from __future__ import annotations

import argparse
import json
import time

import pytest

pytest.importorskip("sqlalchemy")

from corvane import report  # noqa: E402
from corvane.feedback import FeedbackStore  # noqa: E402


@pytest.fixture(autouse=True)
def no_default_store(tmp_path, monkeypatch):
    """The report's default store is looked for in CORVANE_DATABASE and the working folder: neither here."""
    monkeypatch.delenv("CORVANE_DATABASE", raising=False)
    monkeypatch.chdir(tmp_path)


@pytest.mark.parametrize("words, want", [
    (["怎么", "咋调", "是什么", "吗"], []),
    (["座椅咋调"], ["座椅"]),
    (["怎么关闭雨刮"], ["关闭雨刮"]),
    (["能量回收"], ["能量回收"]),  # a filler character inside a word stays
    (["的手机钥匙呢"], ["手机钥匙"]),
    (["超级长的一个说法超过八个字了吧"], []),
    (["ACC", "跟车距离"], ["ACC", "跟车距离"]),
])
def test_clean_alias_words(words, want):
    assert report.clean_alias_words(words) == want


def test_parse_since():
    assert report.parse_since("7d", now=1_000_000) == 1_000_000 - 7 * 86400
    assert report.parse_since("12h", now=100_000) == 100_000 - 12 * 3600
    assert report.parse_since("2026-12-01") == report.parse_since("2026-12-01T00:00:00+00:00")
    with pytest.raises(report.ReportError, match="--since: '7 days'"):
        report.parse_since("7 days")


def site(tmp_path):
    data = tmp_path / "data"
    data.mkdir()
    entry = {"scene_id": "a_scene_1", "manual_id": "a", "scene_title": "座椅调节", "aliases": ["座椅调节"],
             "keywords": [], "scene_data": {"title": "座椅调节", "description": "电动调节座椅前后位置。", "steps": [],
                                            "warning": [], "notice": [], "tip": []}}
    (data / "scene_index.jsonl").write_text(json.dumps(entry, ensure_ascii=False) + "\n", "utf-8")
    now = time.time()
    with FeedbackStore(data / "feedback.db", log_questions=True) as store:
        for q in ("违章记录怎么查", "违章记录怎么查？", "违章记录 怎么查", "车机怎么看视频"):
            store.record_answer(q, refused=True, vehicle="Aster E5", now=now - 60)
        store.record_answer("很久以前的问题", refused=True, now=now - 30 * 86400)
        aid = store.record_answer("主驾腰托咋调", refused=False,
                                  scenes=[{"scene_id": "a_scene_1", "manual_id": "a", "title": "座椅调节"}], now=now)
        store.record_feedback(aid, "down", "没讲腰托")
        good = store.record_answer("座椅怎么调", refused=False, now=now)
        store.record_feedback(good, 5)
    return data


def args_for(data, *extra):
    parser = argparse.ArgumentParser()
    report.add_arguments(parser)
    return parser.parse_args(["--data-dir", str(data), *extra])


def test_report_json_and_table(tmp_path, capsys):
    data = site(tmp_path)
    assert report.run(args_for(data, "--json")) == 0
    rep = json.loads(capsys.readouterr().out)
    assert rep["counts"] == {"answers": 6, "refused": 4, "rated": 2, "average_rating": 3.0}
    assert rep["refused_questions"][0] == {"question": "违章记录怎么查", "count": 3, "vehicles": {"Aster E5": 3}}
    assert [g["question"] for g in rep["refused_questions"]] == ["违章记录怎么查", "车机怎么看视频"]
    assert [(a["rating"], a["comment"]) for a in rep["lowest_rated"]] == [(1, "没讲腰托"), (5, None)]
    assert rep["alias_suggestions"] == {"座椅调节": ["主驾腰托"]}  # not "咋调"
    terms = {t["term"]: t["count"] for t in rep["uncovered_terms"]}
    assert terms["违章记录"] == 3 and not set(terms) & {"怎么", "怎么查"}

    assert report.run(args_for(data, "--since", "30d", "--top", "1")) == 0
    table = capsys.readouterr().out
    assert "Most frequent refused questions" in table and "      3  违章记录怎么查  [Aster E5]" in table
    assert "车机怎么看视频" not in table and "座椅调节: 主驾腰托" in table


def test_report_errors(tmp_path, capsys):
    assert report.run(args_for(tmp_path, "--since", "soon")) == 2
    assert "corvane report: error: --since: 'soon'" in capsys.readouterr().err
    assert report.run(args_for(tmp_path)) == 2
    assert "no feedback store" in capsys.readouterr().err


def test_report_plot(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    data = site(tmp_path)
    out = tmp_path / "report.png"
    assert report.run(args_for(data, "--plot", str(out))) == 0
    assert out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_eval_alias_suggestions_drop_question_words():
    from corvane.evaluate import alias_suggestions

    index = [{"scene_title": "座椅调节", "aliases": ["座椅调节"], "scene_data": {"description": "调节座椅。"}}]
    results = {"exact": {"misses": [{"q": "主驾腰托咋调", "targets": [0]}, {"q": "怎么弄才行呢", "targets": [0]}]}}
    assert alias_suggestions(results, index) == {"座椅调节": ["主驾腰托"]}
