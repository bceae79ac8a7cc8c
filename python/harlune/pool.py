"""A chat client that keeps one pool of connections to its endpoint across calls."""
from __future__ import annotations

import contextlib
from collections.abc import AsyncIterator

import httpx

from .client import complete, json_step, make_endpoint, stream, text_step
from .errors import LLMError

DEFAULT_MAX_CONNECTIONS = 100


class AsyncChatClient:
    """The calls of :func:`harlune.chat`, :func:`harlune.chat_stream` and :func:`harlune.llm_response`
    for one endpoint, over one pool of HTTP connections (one TCP/TLS handshake serves many calls)::

        async with AsyncChatClient(url, key, timeout=60) as client:
            text = await client.chat(prompt)
            async for piece in client.chat_stream(prompt):
                ...

    The settings are read once, here (keyword arguments win over the ``HARLUNE_*``
    environment); an invalid one raises :class:`LLMError` at once.  Each call has
    one deadline for the whole exchange, waiting for a free connection included:
    the client's ``timeout`` or the call's own ``timeout=``; when it passes the
    call raises :class:`LLMTimeout`.  Errors, scrubbing and the reply cap are
    those of the module functions.  The pool opens on first use (or on ``async
    with``) in the running event loop and must be used from that loop only;
    :meth:`aclose` (or leaving ``async with``) closes it, after which calls fail.
    """

    def __init__(
        self, url: str, key: str, *, model: str | None = None, timeout: float | None = None,
        max_reply_bytes: int | None = None, max_connections: int = DEFAULT_MAX_CONNECTIONS,
    ) -> None:
        endpoint = make_endpoint("AsyncChatClient", url, key, model, timeout, max_reply_bytes)
        del key
        if isinstance(endpoint, LLMError):
            raise endpoint
        if isinstance(max_connections, bool) or not isinstance(max_connections, int) or max_connections < 1:
            raise LLMError(f"max_connections= must be a positive whole number, not {str(max_connections)[:40]!r}")
        self._endpoint = endpoint
        self._limits = httpx.Limits(max_connections=max_connections,
                                    max_keepalive_connections=max_connections)
        self._pool: httpx.AsyncClient | None = None
        self._closed = False

    def __repr__(self) -> str:
        state = "closed" if self._closed else "open" if self._pool is not None else "not opened"
        return f"<AsyncChatClient for {self._endpoint.where} ({state})>"

    def __reduce__(self):
        raise TypeError("a chat client holds the access key and cannot be pickled")

    @property
    def model(self) -> str:
        return self._endpoint.model

    @property
    def timeout(self) -> float:
        """The default deadline of a call, in seconds."""
        return self._endpoint.seconds

    @property
    def closed(self) -> bool:
        return self._closed

    def _open(self) -> httpx.AsyncClient:
        if self._closed:
            raise LLMError("the chat client is closed")
        if self._pool is None:
            self._pool = self._endpoint.open_client(self._limits)
        return self._pool

    async def __aenter__(self) -> AsyncChatClient:
        self._open()
        return self

    async def __aexit__(self, *exc_info) -> None:
        await self.aclose()

    async def aclose(self) -> None:
        """Closes the pool's connections; later calls raise LLMError.  Closing twice is harmless."""
        self._closed = True
        pool, self._pool = self._pool, None
        if pool is not None:
            await pool.aclose()

    def _pool_or_error(self, name: str, prompt) -> httpx.AsyncClient | LLMError:
        if not isinstance(prompt, str):
            return LLMError(f"AsyncChatClient.{name}() takes the prompt as str, not {type(prompt).__name__}")
        try:
            return self._open()
        except LLMError as exc:
            return exc

    async def chat(self, prompt: str, *, timeout: float | None = None) -> str:
        """The reply text for ``prompt`` (one user message)."""
        pool = self._pool_or_error("chat", prompt)
        if isinstance(pool, LLMError):
            raise pool
        return await complete(self._endpoint, pool, prompt, timeout, text_step)

    async def llm_response(self, prompt: str, *, timeout: float | None = None) -> dict:
        """The JSON object of the reply to ``prompt``, parsed as :func:`harlune.llm_response` does."""
        pool = self._pool_or_error("llm_response", prompt)
        if isinstance(pool, LLMError):
            raise pool
        return await complete(self._endpoint, pool, prompt, timeout, json_step)

    async def chat_stream(self, prompt: str, *, timeout: float | None = None) -> AsyncIterator[str]:
        """The reply text piece by piece; the deadline runs from the first step to the last piece.

        Closing the generator or cancelling the task that iterates it closes that call's connection."""
        pool = self._pool_or_error("chat_stream", prompt)
        if isinstance(pool, LLMError):
            raise pool
        async with contextlib.aclosing(stream(self._endpoint, pool, prompt, timeout)) as pieces:
            async for piece in pieces:
                yield piece
