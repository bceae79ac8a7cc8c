"""Scripted stand-ins for the model client and the clock of corvane.vendry."""
from __future__ import annotations

import asyncio
import datetime
from typing import Any

FIXED_TIME = datetime.datetime(2026, 1, 7, 9, 30, 5)
FIXED_TIME_TEXT = "20260107:093005"


class ScriptedModel:
    """An async llm_response that returns `replies` in order and records every call.

    With `suspend`, each call really awaits the event loop once (asyncio.sleep(0)),
    so the futures it yields travel through the coroutine under test.
    """

    def __init__(self, replies: list[Any], suspend: bool = False) -> None:
        self.replies = list(replies)
        self.calls: list[list[str]] = []
        self.suspend = suspend

    async def __call__(self, url: str, key: str, prompt: str) -> Any:
        self.calls.append([url, key, prompt])
        if self.suspend:
            await asyncio.sleep(0)
        if not self.replies:
            raise AssertionError(f"unexpected model call #{len(self.calls)}")
        return self.replies.pop(0)


def install(monkeypatch, vendry, replies, suspend=False, time=FIXED_TIME) -> ScriptedModel:
    """Replaces llm_response and the clock of the module for one test."""
    model = ScriptedModel(replies, suspend)
    monkeypatch.setattr(vendry, "llm_response", model)
    fixed = time.replace(tzinfo=vendry.beijing_tz) if time.tzinfo is None else time
    monkeypatch.setattr(vendry, "_clock", lambda: fixed)
    return model


def with_time(calls: list[list[str]], time_text: str = FIXED_TIME_TEXT) -> list[list[str]]:
    return [[u, k, p.replace("<TIME>", time_text)] for u, k, p in calls]
