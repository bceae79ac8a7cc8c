"""The bound on a filled prompt: a template that expands past it fails that
cycle's call with a clear error before the model is called, and the prompt
file keeps what it holds."""
from __future__ import annotations

import asyncio

import pytest

from corvane import vendry
from vendry_fakes import FIXED_TIME_TEXT, install

ANSWER = {"answer": "a", "reason": "r"}
DEFAULT_CAP = 4 << 20


@pytest.fixture(autouse=True)
def quiet(monkeypatch):
    from tqdm import trange
    monkeypatch.setattr(vendry, "trange", lambda n, **kw: trange(n, disable=True))
    monkeypatch.delenv("CORVANE_MAX_PROMPT_BYTES", raising=False)


def run(prompt="prompt.md", question="问", knowledge="知"):
    return asyncio.run(vendry.generate_ai_prompt(prompt, question, knowledge))


def test_expansion_in_a_later_cycle_stops_before_its_model_call(workdir, monkeypatch, capsys):
    monkeypatch.setenv("CORVANE_MAX_PROMPT_BYTES", "50000")
    bomb = "规则 __KNOWLEDGE__\n" * 100
    model = install(monkeypatch, vendry, [ANSWER, {"is_ok": False, "reason": "r"}, {"is_ok": True, "new_prompt": bomb}])
    (workdir / "prompt.md").write_text("__INPUT__ __KNOWLEDGE__", "utf-8")
    with pytest.raises(ValueError) as err:
        run(knowledge="知" * 200)       # 600 bytes x 100 placeholders
    assert str(err.value) == (
        "generate_ai_prompt(): cycle 2: the prompt filled with the question, the knowledge and the time would "
        "pass 50000 bytes (CORVANE_MAX_PROMPT_BYTES); the model was not called and the prompt file is unchanged")
    assert len(model.calls) == 3
    assert (workdir / "prompt.md").read_text("utf-8") == bomb
    assert "第 2 轮模型自检" in capsys.readouterr().out


@pytest.mark.parametrize("template, question, knowledge", [
    ("问：__INPUT__ 知：__KNOWLEDGE__ 时：__TIME__", "问题", "知识" * 10),
    ("__TIME__" * 50, "q", "k"),
    ("__INPUT__" * 3, "__KNOWLEDGE____TIME__", "长" * 30),  # placeholders brought in by the question count too
], ids=["all-three", "time", "question-brings-placeholders"])
def test_bound_is_on_the_filled_size(template, question, knowledge, workdir, monkeypatch):
    filled = template.replace("__INPUT__", question).replace("__KNOWLEDGE__", knowledge) \
        .replace("__TIME__", FIXED_TIME_TEXT)
    size = len(filled.encode())
    (workdir / "prompt.md").write_text(template, "utf-8")
    monkeypatch.setenv("CORVANE_MAX_PROMPT_BYTES", str(size))
    model = install(monkeypatch, vendry, [ANSWER, {"is_ok": True, "reason": ""}])
    assert run(question=question, knowledge=knowledge) is True
    assert model.calls[0][2].startswith(filled)
    monkeypatch.setenv("CORVANE_MAX_PROMPT_BYTES", str(size - 1))
    model = install(monkeypatch, vendry, [])
    with pytest.raises(ValueError, match=rf"cycle 1: .* would pass {size - 1} bytes"):
        run(question=question, knowledge=knowledge)
    assert model.calls == []


def test_default_bound_refuses_a_placeholder_bomb_without_building_it(workdir, monkeypatch):
    (workdir / "prompt.md").write_text("__KNOWLEDGE__" * 10_000, "utf-8")
    model = install(monkeypatch, vendry, [])
    with pytest.raises(ValueError, match=f"would pass {DEFAULT_CAP} bytes"):
        run(knowledge="知" * 100_000)   # 3 GB if it were built
    assert model.calls == []


@pytest.mark.parametrize("value", ["0", "-5", "1e6", "4 MiB", "1" * 30])
def test_bad_bound_setting_fails_the_call_before_anything_is_done(value, workdir, monkeypatch, capsys):
    (workdir / "prompt.md").write_text("__INPUT__", "utf-8")
    monkeypatch.setenv("CORVANE_MAX_PROMPT_BYTES", value)
    model = install(monkeypatch, vendry, [])
    with pytest.raises(ValueError, match="CORVANE_MAX_PROMPT_BYTES must be a whole number of bytes"):
        run()
    assert model.calls == [] and capsys.readouterr().out == ""
