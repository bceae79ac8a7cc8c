"""Engine.answer: one search gives the hits, the knowledge record, the prompt
and the contexts, equal to what the separate calls give."""
from __future__ import annotations

import shutil

import pytest

from corvane import errors
from corvane.engine import Engine
from test_engine import E2E_CASES, GOLDEN_E2E, sample_entries, write_index


class CountingIndex:
    """An engine's index that counts the searches made through it."""

    def __init__(self, index):
        self._index = index
        self.searches = 0

    def __getattr__(self, name):
        attr = getattr(self._index, name)
        if name in ("search", "search_hybrid", "answer"):
            def counted(*args, **kwargs):
                self.searches += 1
                return attr(*args, **kwargs)
            return counted
        return attr

    def __len__(self):
        return len(self._index)


def counting(eng: Engine) -> CountingIndex:
    counter = CountingIndex(eng._snap.index)
    eng._snap.index = counter
    return counter


@pytest.mark.parametrize("ranker", ["exact", "hybrid"])
def test_answer_is_one_search_equal_to_the_separate_calls(tmp_path, ranker):
    data = write_index(tmp_path, sample_entries())
    with Engine(data, ranker=ranker) as eng:
        for question in ("前门锁", "空调车门锁", "无关的问题", ""):
            counter = counting(eng)
            got = eng.answer(question)
            assert counter.searches == 1
            assert [(h.record, h.score) for h in got.hits] == eng.search(question, 3)
            assert got.knowledge == eng.knowledge(question)
            assert got.prompt == eng.prompt(question)
            assert got.ranker == ranker and got.intent == got.knowledge["intent"]
            assert len(got.contexts) == len(got.hits)
            assert [s["scene_id"] for s in got.sources] == [h.record["scene_id"] for h in got.hits]


def test_answer_contexts_are_the_rendered_scene_contexts(tmp_path):
    from corvane import morlek

    data = shutil.copytree(GOLDEN_E2E / E2E_CASES[0] / "expected" / "data", tmp_path / "data")
    with Engine(data) as eng:
        got = eng.answer("三包责任承诺", top_k=2)
        assert got.hits
        assert got.contexts == [morlek.render_context_for_llm(r["context"]) for r in got.knowledge["results"]]


def test_template_markers_are_filled_once_and_bounded(tmp_path, monkeypatch):
    data = write_index(tmp_path, sample_entries())
    with Engine(data) as eng:
        knowledge = repr(eng.knowledge("x __KNOWLEDGE__ __INPUT__"))
        # A marker inside the question is not filled again: no amplification.
        filled = eng.prompt("x __KNOWLEDGE__ __INPUT__", template="Q:__INPUT__ K:__KNOWLEDGE__")
        assert filled == "Q:x __KNOWLEDGE__ __INPUT__ K:" + knowledge
        monkeypatch.setenv("CORVANE_MAX_PROMPT_BYTES", "100")
        assert len(eng.prompt("q", template="__INPUT__" * 100).encode()) == 100
        with pytest.raises(errors.PromptTooLargeError, match="CORVANE_MAX_PROMPT_BYTES") as caught:
            eng.prompt("q", template="__INPUT__" * 101)
        assert isinstance(caught.value, ValueError) and caught.value.limit == 100
        assert errors.http_status(caught.value) == 413
        monkeypatch.setenv("CORVANE_MAX_PROMPT_BYTES", "1e3")
        with pytest.raises(ValueError, match="CORVANE_MAX_PROMPT_BYTES must be a whole number"):
            eng.prompt("q", template="t")


def test_bad_arguments(tmp_path):
    data = write_index(tmp_path, sample_entries())
    with Engine(data) as eng:
        with pytest.raises(TypeError):
            eng.answer(None)
        with pytest.raises(TypeError):
            eng.answer("q", template=5)
        with pytest.raises(ValueError, match="ranker must be one of"):
            eng.answer("q", ranker="nope")
        with pytest.raises(ValueError):
            eng.answer("q", top_k=-1, ranker="hybrid")
