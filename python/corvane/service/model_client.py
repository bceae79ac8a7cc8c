"""The application's one model client: a ``harlune.AsyncChatClient`` (one pool of
connections) per application and event loop, with the service's deadline.

The pool belongs to the loop it was opened in; a server has one loop for its
life, so there is one client.  An application served again from another loop
(a test making a second client) gets a new one, and the old one is dropped.
"""
from __future__ import annotations

import asyncio
import contextlib
from typing import AsyncIterator

from corvane.model_metrics import error_kind


class ModelClient:
    def __init__(self, url: str, key: str, timeout: float, max_connections: int) -> None:
        self._url = url
        self._key = key
        self.timeout = timeout
        self._max_connections = max(1, int(max_connections))
        self._client = None
        self._loop = None

    def __repr__(self) -> str:
        return f"<ModelClient {'open' if self._client is not None else 'not opened'}>"

    def __reduce__(self):
        raise TypeError("a model client holds the access key and cannot be pickled")

    def client(self):
        from harlune import AsyncChatClient

        loop = asyncio.get_running_loop()
        if self._client is None or self._loop is not loop or self._client.closed:
            self._client = AsyncChatClient(self._url, self._key, timeout=self.timeout,
                                           max_connections=self._max_connections)
            self._loop = loop
        return self._client

    async def chat(self, prompt: str) -> str:
        return await self.client().chat(prompt)

    def chat_stream(self, prompt: str) -> AsyncIterator[str]:
        return self.client().chat_stream(prompt)

    async def aclose(self) -> None:
        client, self._client = self._client, None
        if client is not None:
            with contextlib.suppress(Exception):
                await client.aclose()


def failure_kind(exc: BaseException) -> str:
    """The metric kind of a failed call: timeout, http_4xx/http_5xx, connect, ..."""
    from harlune import LLMStatusError, LLMTimeout

    if isinstance(exc, LLMTimeout):
        return "timeout"
    if isinstance(exc, LLMStatusError):
        status = getattr(exc, "status_code", None) or 0
        return "http_4xx" if 400 <= status < 500 else "http_5xx"
    return error_kind(exc)
