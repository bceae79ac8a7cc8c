"""Server-sent events of a streamed chat completion."""
from __future__ import annotations

import codecs
import contextlib
import json
import re
from collections.abc import AsyncIterator
from typing import TYPE_CHECKING

import httpx

from .body import body_chunks
from .deadline import deadline_at
from .errors import LLMError
from .scrub import shorten

if TYPE_CHECKING:
    from .client import Endpoint

_LINE_END_RE = re.compile(r"\r\n|\r|\n")


class EventReader:
    """Splits server-sent events text (lines ended by CR, LF or CRLF) into the data of each event."""

    def __init__(self) -> None:
        self._partial: list[str] = []
        self._data: list[str] = []
        self._after_cr = False

    def feed(self, text: str) -> list[str]:
        events: list[str] = []
        if self._after_cr and text.startswith("\n"):
            text = text[1:]
        if text:
            self._after_cr = False
        pos = 0
        for m in _LINE_END_RE.finditer(text):
            self._partial.append(text[pos : m.start()])
            pos = m.end()
            self._after_cr = m.group() == "\r" and pos == len(text)
            self._line("".join(self._partial), events)
            self._partial = []
        if pos < len(text):
            self._partial.append(text[pos:])
        return events

    def _line(self, line: str, events: list[str]) -> None:
        if not line:
            if self._data:
                events.append("\n".join(self._data))
                self._data = []
        elif line.startswith("data:"):
            value = line[5:]
            self._data.append(value[1:] if value.startswith(" ") else value)

    def finish(self) -> list[str]:
        """The last event of a stream whose end is not followed by a blank line."""
        events: list[str] = []
        if self._partial:
            self._line("".join(self._partial), events)
            self._partial = []
        self._line("", events)
        return events


def delta(data: str, call: Endpoint) -> tuple[str | None, bool]:
    """The text of one stream event and whether it ends a choice."""
    try:
        event = json.loads(data)
    except (ValueError, RecursionError):
        raise LLMError(f"model stream from {call.where} sent an event that is not JSON: "
                       f"{shorten(data, call.key)}") from None
    if isinstance(event, dict) and "error" in event and not event.get("choices"):
        raise LLMError(f"model stream from {call.where} reported an error: "
                       f"{shorten(json.dumps(event['error'], ensure_ascii=False), call.key)}")
    try:
        choices = event["choices"]
        if not choices:
            return None, False
        choice = choices[0]
        delta = choice.get("delta") or {}
        content = delta.get("content")
        finished = choice.get("finish_reason") is not None
    except (KeyError, IndexError, TypeError, AttributeError):
        raise LLMError(f"model stream from {call.where} sent an event that is not a chat-completions chunk: "
                       f"{shorten(data, call.key)}") from None
    if content is not None and not isinstance(content, str):
        raise LLMError(f"model stream from {call.where} sent content that is not text")
    return content, finished


async def event_data(response: httpx.Response, call: Endpoint, deadline: float) -> AsyncIterator[str]:
    """The data of each server-sent event of the reply, read under the deadline and the cap."""
    reader = EventReader()
    decoder = codecs.getincrementaldecoder("utf-8")()

    def text(data: bytes, final: bool = False) -> str:
        try:
            return decoder.decode(data, final)
        except UnicodeDecodeError:
            raise LLMError(f"model stream from {call.where} is not valid UTF-8 text") from None

    async with contextlib.aclosing(body_chunks(response, call.cap, call.where)) as chunks:
        while True:
            try:
                async with deadline_at(deadline):
                    chunk = await chunks.__anext__()
            except StopAsyncIteration:
                break
            for data in reader.feed(text(chunk)):
                yield data
    for data in reader.feed(text(b"", final=True)) + reader.finish():
        yield data

