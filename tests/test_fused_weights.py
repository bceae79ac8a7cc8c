"""The fused ranker's weights as data and its features for training: the
shipped weights file against the C++ defaults, bad weights files, the
evidence fused_features() gives against the ranking search_hybrid() returns,
refusal, and tools/train_fused.py on small synthetic sets."""
from __future__ import annotations

import importlib.util
import json
from pathlib import Path
from types import SimpleNamespace

import pytest

from corvane import _hybrid, fused_weights
from corvane.engine import Engine
from test_engine_hybrid import ENTRIES, QUESTIONS, write_index

ROOT = Path(__file__).resolve().parent.parent


def test_shipped_weights_are_the_defaults_and_name_every_weight():
    shipped = fused_weights.load(complete=True)
    assert shipped == _hybrid.fused_defaults()
    assert list(shipped) == fused_weights.names()
    assert json.loads(fused_weights.SHIPPED.read_text(encoding="utf-8")) == shipped


@pytest.mark.parametrize("text, message", [
    ("{", "not valid JSON"),
    ("[1, 2]", "expected a JSON object"),
    ('{"bogus": 1}', "unknown weight 'bogus'"),
    ('{"path": -1}', "weight 'path' must be a number of 0 or more"),
    ('{"path": true}', "weight 'path' must be a number"),
    ('{"path": "1"}', "weight 'path' must be a number"),
    ('{"path": NaN}', "weight 'path' must be a number"),
])
def test_bad_weights_file_names_itself(tmp_path, text, message):
    bad = tmp_path / "weights.json"
    bad.write_text(text, encoding="utf-8")
    with pytest.raises(ValueError, match=message) as err:
        fused_weights.load(bad)
    assert str(bad) in str(err.value)


def test_missing_or_incomplete_weights_file(tmp_path):
    with pytest.raises(ValueError, match="cannot read") as err:
        fused_weights.load(tmp_path / "none.json")
    assert "none.json" in str(err.value)
    part = tmp_path / "part.json"
    part.write_text('{"path": 0.5}', encoding="utf-8")
    assert fused_weights.load(part) == {"path": 0.5}
    with pytest.raises(ValueError, match="weights missing: body"):
        fused_weights.load(part, complete=True)


@pytest.fixture(scope="module")
def engine_index(tmp_path_factory):
    engine = Engine(write_index(tmp_path_factory.mktemp("fw"), ENTRIES), ranker="hybrid")
    snap = engine._current()
    return snap.index, engine._synonyms_of(snap)


@pytest.mark.parametrize("fusion", [None, {"coverage": 1.5, "path": 0.3, "title": 1.0},
                                    {"refuse_held": 2.0, "refuse_top": 0.5, "threshold": 3.0}])
def test_features_give_the_ranking_and_refusal_of_the_search(engine_index, fusion):
    index, syn = engine_index
    weights = {**_hybrid.fused_defaults(), **(fusion or {})}
    names = list(index.fused_features("制动液", 5, syn)["candidates"][0]["features"])
    assert names == [n for n in weights if not n.startswith("refuse_") and n not in ("threshold", "answer_share", "whole_match")]
    for q in QUESTIONS:
        ev = index.fused_features(q, 3, syn, fusion)
        got = index.search_hybrid(q, 3, syn, True, fusion)
        assert ev["refused"] == (got == [])
        cands = ev["candidates"]
        for c in cands:
            assert c["score"] == pytest.approx(sum(weights[k] * v for k, v in c["features"].items()))
            assert c["stage"] in (1, 2) and (c["stage"] == 1) == (c["features"]["title"] > 0)
            assert 0 <= c["features"]["coverage"] <= ev["unit"] * (1 + 1e-9)
        assert [c["score"] for c in cands] == sorted((c["score"] for c in cands), reverse=True)
        if not ev["refused"]:
            assert [(c["entry"], c["score"]) for c in cands[:3]] == got
        assert 0 <= ev["refusal"]["held"] <= 1 and ev["held_terms"] <= ev["terms"]


def test_refusal_returns_no_scenes(engine_index):
    index, syn = engine_index
    q = "违章记录在哪查"
    assert index.search_hybrid(q, 5, syn, True, {"threshold": 100.0}) == []
    assert index.fused_features(q, 5, syn, {"threshold": 100.0})["refused"]
    # A title covering the whole question is answered whatever the threshold.
    assert index.search_hybrid("儿童安全锁", 5, syn, True, {"threshold": 100.0})[0][0] == 3


def test_unknown_fusion_weight_lists_the_names(engine_index):
    index, syn = engine_index
    with pytest.raises(ValueError, match=r"unknown weight 'nope'.*coverage.*refuse_held.*answer_share"):
        index.fused_features("制动液", 3, syn, {"nope": 1.0})
    with pytest.raises(ValueError, match="top_k must be 0 or more"):
        index.fused_features("制动液", -1, syn)
    assert index.fused_features("制动液", 0, syn)["candidates"] == []


def test_standalone_index_gives_the_same_features_form():
    entries = [{"scene_title": t, "aliases": [], "keywords": [],
                "scene_data": {"description": d}} for t, d in [("制动液更换", "制动液每两年更换"), ("补胎", "轮胎扎钉可以补")]]
    ev = _hybrid.HybridIndex(entries).fused_features("制动液多久换", 3)
    assert ev["candidates"][0]["entry"] == 0 and ev["candidates"][0]["features"]["body"] > 0


# ---- the trainer ------------------------------------------------------------

def _trainer():
    pytest.importorskip("numpy")
    spec = importlib.util.spec_from_file_location("train_fused", ROOT / "tools" / "train_fused.py")
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)
    return mod


def _synthetic(trainer, questions):
    """A question set of (targets, candidates as (entry, {feature: value}), text score, held share)."""
    names = [n for n, _, _ in trainer.FEATURES]
    qs, evs = [], []
    for targets, cands, held in questions:
        qs.append(SimpleNamespace(targets=targets, q="", kind="x"))
        evs.append({"candidates": [{"entry": e, "features": {n: f.get(n, 0.0) for n in names}} for e, f in cands],
                    "title_share": 0.0, "refusal": {"held": held}, "unit": 1.0})
    return SimpleNamespace(questions=qs, evidence=evs)


def test_trainer_recovers_a_known_ordering():
    t = _trainer()
    # The expected scene holds more of the question (coverage) and less body
    # BM25 than a distractor: only a coverage weight above 1 ranks it first.
    rows = []
    for i in range(12):
        body_gap = 0.2 + 0.05 * i
        rows.append(([1], [(0, {"body": 1.0 + body_gap, "coverage": 0.0}), (1, {"body": 1.0, "coverage": 0.2 * (1 + i % 3)}),
                            (2, {"body": 0.5})], 1.0))
    m = t.Matrix([_synthetic(t, rows)])
    start = {n: lo for n, lo, _ in t.FEATURES}
    assert m.mrr(_weights(t, start)) < 1.0  # without the coverage weight the distractors win
    w = t.fit_ranking(m, start=start)
    assert m.mrr(w) == 1.0
    assert (m.ranks(w) == 0).all()
    assert w[[n for n, _, _ in t.FEATURES].index("body")] == 1.0


def _weights(t, d):
    import numpy as np

    return np.array([d[n] for n, _, _ in t.FEATURES], dtype=float)


def test_trainer_refusal_separates_and_keeps_answerable():
    t = _trainer()
    rows = [([0], [(0, {"body": 3.0 + 0.1 * i})], 1.0) for i in range(40)]
    rows += [([], [(0, {"body": 0.5 + 0.05 * i})], 0.5) for i in range(10)]
    m = t.Matrix([_synthetic(t, rows)])
    w = _weights(t, {n: lo for n, lo, _ in t.FEATURES})
    coef, thr = t.fit_refusal(m, w, 0.03)
    refused = t._replay_refused(m, w, coef, thr, 1.0)
    # The highest threshold refusing at most 3% of the answerable questions
    # (here one of 40): it refuses every unanswerable one.
    assert refused[m.answerable].sum() <= int(0.03 * 40)
    assert refused[~m.answerable].all()


def test_trainer_writes_the_cpp_defaults(tmp_path):
    t = _trainer()
    header = tmp_path / "hybrid.hpp"
    src = (ROOT / "src" / "core" / "search" / "hybrid.hpp").read_text(encoding="utf-8")
    header.write_text(src, encoding="utf-8")
    t.write_defaults({"path": 1.25, "refuse_held": 0.5}, header)
    out = header.read_text(encoding="utf-8")
    assert "double path = 1.25;" in out and "double refuse_held = 0.5;" in out
    assert out.replace("double path = 1.25;", "double path = 1.0;").replace(
        "double refuse_held = 0.5;", "double refuse_held = 0.0;") == src
    with pytest.raises(SystemExit, match="no default for weight 'bogus'"):
        t.write_defaults({"bogus": 1.0}, header)
