"""generate_ai_prompt() returns a coroutine: driven by hand and by asyncio."""
import asyncio
import collections.abc
import gc

import pytest

from corvane import vendry
from vendry_fakes import install

ANSWER = {"answer": "答", "reason": "因"}
TOKEN = object()


class Step:
    """An awaitable model call: yields TOKEN once, logs what it gets, then returns its reply.

    With `recover`, a ValueError thrown in is logged and the reply returned all the same.
    """

    def __init__(self, reply, log, recover=False):
        self.reply, self.log, self.recover = reply, log, recover

    def __await__(self):
        try:
            got = yield TOKEN
        except ValueError as exc:
            self.log.append(("thrown", str(exc)))
            if not self.recover:
                raise
            return self.reply
        except GeneratorExit:
            self.log.append(("closed",))
            raise
        self.log.append(("sent", got))
        return self.reply


def stepping_model(monkeypatch, replies, recover=False):
    log = []
    queue = list(replies)
    install(monkeypatch, vendry, [])
    monkeypatch.setattr(vendry, "llm_response", lambda url, key, prompt: Step(queue.pop(0), log, recover))
    return log


@pytest.fixture
def prompt_path(workdir):
    (workdir / "prompt.md").write_text("T __INPUT__", encoding="utf-8")
    return "prompt.md"


def test_driven_by_hand(prompt_path, monkeypatch, capsys):
    log = stepping_model(monkeypatch, [ANSWER, {"is_ok": True}])
    coro = vendry.generate_ai_prompt(prompt_path, "q", "k")
    assert isinstance(coro, collections.abc.Coroutine) and asyncio.iscoroutine(coro)
    assert coro.__await__() is coro and iter(coro) is coro
    assert coro.cr_await is None
    assert coro.send(None) is TOKEN
    assert isinstance(coro.cr_await, collections.abc.Generator)
    assert coro.send("v1") is TOKEN  # answer done, judge call started
    with pytest.raises(StopIteration) as stop:
        next(coro)
    assert stop.value.value is True
    assert log == [("sent", "v1"), ("sent", None)]
    with pytest.raises(RuntimeError, match="cannot reuse"):
        coro.send(None)
    assert capsys.readouterr().out.endswith("answer  : {'answer': '答', 'reason': '因'}\n")


def test_throw_reaches_the_awaited_call(prompt_path, monkeypatch):
    log = stepping_model(monkeypatch, [ANSWER, {"is_ok": 1}], recover=True)
    coro = vendry.generate_ai_prompt(prompt_path, "q", "k")
    coro.send(None)
    assert coro.throw(ValueError("a")) is TOKEN  # the answer call returned; the judge call started
    with pytest.raises(StopIteration) as stop:
        coro.throw(ValueError, ValueError("b"))  # the judge call accepts
    assert stop.value.value is True
    assert log == [("thrown", "a"), ("thrown", "b")]


def test_uncaught_throw_ends_the_coroutine(prompt_path, monkeypatch):
    log = stepping_model(monkeypatch, [ANSWER])
    coro = vendry.generate_ai_prompt(prompt_path, "q", "k")
    coro.send(None)
    with pytest.raises(ValueError, match="boom"):
        coro.throw(ValueError("boom"))
    assert log == [("thrown", "boom")]
    with pytest.raises(RuntimeError):
        coro.send(None)
    coro.close()


def test_close_closes_the_awaited_call(prompt_path, monkeypatch):
    log = stepping_model(monkeypatch, [ANSWER])
    coro = vendry.generate_ai_prompt(prompt_path, "q", "k")
    coro.send(None)
    assert coro.close() is None
    assert log == [("closed",)]
    assert coro.close() is None
    with pytest.raises(RuntimeError):
        coro.send(None)


def test_dropping_a_suspended_coroutine_closes_the_call(prompt_path, monkeypatch):
    log = stepping_model(monkeypatch, [ANSWER])
    coro = vendry.generate_ai_prompt(prompt_path, "q", "k")
    coro.send(None)
    del coro
    gc.collect()
    assert log == [("closed",)]


def test_unstarted_coroutine(prompt_path, monkeypatch, capsys):
    stepping_model(monkeypatch, [])
    coro = vendry.generate_ai_prompt(prompt_path, "q", "k")
    with pytest.raises(TypeError, match="non-None"):
        coro.send(1)
    coro = vendry.generate_ai_prompt(prompt_path, "q", "k")
    with pytest.raises(KeyError):
        coro.throw(KeyError("x"))
    with pytest.raises(RuntimeError):
        coro.send(None)
    coro = vendry.generate_ai_prompt(prompt_path, "q", "k")
    coro.close()
    with pytest.raises(RuntimeError):
        coro.send(None)
    assert capsys.readouterr().out == ""


def test_reentering_a_running_coroutine(prompt_path, monkeypatch):
    install(monkeypatch, vendry, [])
    holder = {}

    def reenter(url, key, prompt):
        holder["coro"].send(None)

    monkeypatch.setattr(vendry, "llm_response", reenter)
    holder["coro"] = vendry.generate_ai_prompt(prompt_path, "q", "k")
    with pytest.raises(ValueError, match="already executing"):
        holder["coro"].send(None)


def test_model_call_must_be_awaitable(prompt_path, monkeypatch):
    install(monkeypatch, vendry, [])
    monkeypatch.setattr(vendry, "llm_response", lambda url, key, prompt: ANSWER)
    with pytest.raises(TypeError, match="await"):
        asyncio.run(vendry.generate_ai_prompt(prompt_path, "q", "k"))


def test_futures_pass_through_asyncio(workdir, monkeypatch, capsys):
    replies = []
    for _ in range(8):
        replies += [ANSWER, {"is_ok": False, "reason": "r"}]
        replies += [{"is_ok": False, "new_suggestions": "s", "new_prompt": "P __INPUT__"}] * 5
    (workdir / "a.md").write_text("A __INPUT__", encoding="utf-8")
    model = install(monkeypatch, vendry, replies, suspend=True)

    async def main():
        return await vendry.generate_ai_prompt("a.md", "q", "k")

    assert asyncio.run(main()) is False
    assert len(model.calls) == 56


def test_concurrent_tasks(workdir, monkeypatch, capsys):
    (workdir / "a.md").write_text("A __INPUT__", encoding="utf-8")
    (workdir / "b.md").write_text("B __INPUT__", encoding="utf-8")
    model = install(monkeypatch, vendry, [ANSWER, ANSWER, {"is_ok": True}, {"is_ok": True}], suspend=True)

    async def main():
        tasks = [asyncio.create_task(vendry.generate_ai_prompt(p, p, "k")) for p in ("a.md", "b.md")]
        return await asyncio.gather(*tasks)

    assert asyncio.run(main()) == [True, True]
    prompts = [c[2] for c in model.calls]
    # the two calls interleave at their awaits
    assert prompts[0].startswith("A a.md") and prompts[1].startswith("B b.md")
    assert prompts[2].startswith("你是大模型") and prompts[3].startswith("你是大模型")


def test_cancellation_mid_call(workdir, monkeypatch, capsys):
    (workdir / "prompt.md").write_text("T __INPUT__", encoding="utf-8")
    install(monkeypatch, vendry, [])
    seen = []
    queue = [ANSWER, {"is_ok": False, "reason": "r"}]

    async def model(url, key, prompt):
        seen.append("call")
        if queue:
            await asyncio.sleep(0)
            return queue.pop(0)
        try:
            await asyncio.Event().wait()  # the check call never answers
        finally:
            seen.append("left")

    monkeypatch.setattr(vendry, "llm_response", model)
    coro = vendry.generate_ai_prompt("prompt.md", "q", "k")

    async def main():
        task = asyncio.create_task(coro)
        while len(seen) < 3:
            await asyncio.sleep(0)
        await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    asyncio.run(main())
    assert seen == ["call", "call", "call", "left"]
    assert (workdir / "prompt.md").read_text(encoding="utf-8") == "T __INPUT__"
    assert sorted(p.name for p in workdir.iterdir()) == ["prompt.md"]
    with pytest.raises(RuntimeError):
        coro.send(None)
    assert "^^^" not in capsys.readouterr().out
