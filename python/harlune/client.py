"""The HTTP side: an endpoint's settings, its connections, the calls and their one deadline."""
from __future__ import annotations

import asyncio
import contextlib
import functools
import ipaddress
from collections.abc import AsyncIterator

import httpx

from . import config
from .body import message_content, read_body, body_text, status_error
from .deadline import deadline_at
from .errors import LLMError, LLMStatusError, LLMTimeout
from .parse import NO_OBJECT, parse_json_object
from .scrub import Key, StreamScrubber, mask_url, shorten
from .sse import delta, event_data

_DRAIN_SECONDS = 0.25


class Endpoint:
    """One endpoint's settings; its repr shows neither the key nor any prompt."""

    __slots__ = ("url", "key", "model", "seconds", "cap", "where")

    def __init__(self, name, url, key, model, timeout, max_reply_bytes) -> None:
        if not isinstance(url, str) or not isinstance(key, str):
            raise LLMError(f"{name}() takes the endpoint, the key and the prompt as str")
        if key and not all(" " <= ch <= "~" for ch in key):
            raise LLMError("the access key holds characters that an HTTP header cannot carry")
        self.key = Key(key)
        self.url = url
        self.model = config.model_name(model)
        self.seconds = config.timeout_seconds(timeout)
        self.cap = config.reply_cap(max_reply_bytes)
        self.where = shorten(mask_url(url), self.key) or "''"  # no user-info or query values in messages

    def __repr__(self) -> str:
        return f"<harlune endpoint {self.where}>"

    def __reduce__(self):
        raise TypeError("an endpoint holds the access key and cannot be pickled")

    def open_client(self, limits: httpx.Limits | None = None) -> httpx.AsyncClient:
        mounts = None
        host = _host_of(self.url)
        if host is not None and _is_loopback(host):
            mounts = {f"all://{'[' + host + ']' if ':' in host else host}": None}
        return httpx.AsyncClient(
            timeout=httpx.Timeout(self.seconds), trust_env=True, mounts=mounts, auth=_BearerAuth(self.key),
            verify=_ssl_context(*config.cert_settings()), limits=limits or httpx.Limits(),
        )

    def request(self, client: httpx.AsyncClient, prompt: str, seconds: float, *, stream: bool):
        body = {"model": self.model, "messages": [{"role": "user", "content": prompt}]}
        if stream:
            body["stream"] = True
        headers = {"Accept": "text/event-stream" if stream else "application/json",
                   "Accept-Encoding": "gzip, deflate"}
        return client.stream("POST", self.url, json=body, headers=headers, timeout=httpx.Timeout(seconds))


@functools.lru_cache(maxsize=4)
def _ssl_context(cert_file: str | None, cert_dir: str | None):
    """The TLS context for these certificate settings; building one takes tens of milliseconds."""
    return httpx.create_ssl_context(verify=True, trust_env=True)


def _host_of(url: str) -> str | None:
    try:
        return httpx.URL(url).host or None
    except Exception:
        return None


def _is_loopback(host: str) -> bool:
    host = host.lower().rstrip(".")
    if host == "localhost" or host.endswith(".localhost"):
        return True
    try:
        return ipaddress.ip_address(host.strip("[]")).is_loopback
    except ValueError:
        return False


class _BearerAuth(httpx.Auth):
    """Adds the Authorization header to the request as it is sent."""

    def __init__(self, key: Key) -> None:
        self._key = key

    def __repr__(self) -> str:
        return "<bearer auth>"

    def auth_flow(self, request):
        if self._key.authorization() is not None:
            request.headers["Authorization"] = self._key.authorization()
        yield request


# ---------------------------------------------------------------- errors


def as_llm_error(exc: Exception, endpoint: Endpoint | None, seconds: float = 0.0) -> LLMError:
    """A fresh error for ``exc``: no traceback, no chained exception, the key scrubbed, its class kept."""
    key = endpoint.key if endpoint is not None else Key("")
    where = endpoint.where if endpoint is not None else "the endpoint"
    if isinstance(exc, LLMTimeout):
        return LLMTimeout(key.scrub(str(exc)))
    if isinstance(exc, LLMStatusError):
        return LLMStatusError(key.scrub(str(exc)), exc.status)
    if isinstance(exc, LLMError):
        return LLMError(key.scrub(str(exc)), exc.status_code)
    if isinstance(exc, (TimeoutError, httpx.TimeoutException)):
        return LLMTimeout(f"model call to {where} timed out after {seconds:g} s")
    return LLMError(f"model call to {where} failed: {type(exc).__name__}: {shorten(str(exc), key)}")


def make_endpoint(name: str, url, key, model, timeout, max_reply_bytes) -> Endpoint | LLMError:
    """The endpoint's settings, or the error they give (returned, never raised, so no frame holding the
    key ends up in a traceback)."""
    try:
        return Endpoint(name, url, key, model, timeout, max_reply_bytes)
    except Exception as exc:  # noqa: BLE001
        return as_llm_error(exc, None)


def _checked_prompt(name: str, prompt) -> str:
    if not isinstance(prompt, str):
        raise LLMError(f"{name}() takes the prompt as str, not {type(prompt).__name__}")
    return prompt


def _seconds(timeout, default: float) -> float:
    return default if timeout is None else config.positive_number(timeout, "timeout=", integer=False)


def _client_scope(endpoint: Endpoint, pool: httpx.AsyncClient | None):
    """The pool's client as it is, or a client of its own for one call (closed after it)."""
    return contextlib.nullcontext(pool) if pool is not None else endpoint.open_client()


# ---------------------------------------------------------------- one reply


async def _reply_content(endpoint: Endpoint, pool, prompt: str, seconds: float) -> str:
    async with _client_scope(endpoint, pool) as client, \
            endpoint.request(client, prompt, seconds, stream=False) as response:
        if response.status_code >= 400:
            raise await status_error(response, endpoint)
        body = await read_body(response, endpoint.cap, endpoint.where)
        return message_content(body_text(body, response, endpoint.where), endpoint)


def json_step(endpoint: Endpoint, content: str) -> dict:
    try:
        value = parse_json_object(content)
    except ValueError as exc:
        reason = "holds no JSON object" if str(exc) == NO_OBJECT else f"is refused: {exc}"
        raise LLMError(f"model reply from {endpoint.where} {reason}: {shorten(content, endpoint.key)}") from None
    return endpoint.key.scrub_value(value)


def text_step(endpoint: Endpoint, content: str) -> str:
    return endpoint.key.scrub(content)


async def complete(endpoint: Endpoint | LLMError, pool, prompt, seconds, step):
    """Runs ``step(endpoint, reply content)`` under one deadline of ``seconds`` (``None``: the endpoint's);
    every failure becomes a fresh LLMError."""
    if isinstance(endpoint, LLMError):
        raise endpoint
    error = result = None
    try:
        seconds = _seconds(seconds, endpoint.seconds)
        async with deadline_at(asyncio.get_running_loop().time() + seconds):
            result = step(endpoint, await _reply_content(endpoint, pool, prompt, seconds))
    except Exception as exc:  # noqa: BLE001 -- every failure becomes an LLMError
        error = as_llm_error(exc, endpoint, seconds)
    if error is not None:
        raise error
    return result


# ---------------------------------------------------------------- a stream


async def _stream_pieces(endpoint: Endpoint, pool, prompt: str, seconds: float,
                         deadline: float) -> AsyncIterator[str]:
    async with _client_scope(endpoint, pool) as client:
        async with deadline_at(deadline):
            stream = endpoint.request(client, prompt, seconds, stream=True)
            response = await stream.__aenter__()
        try:
            if response.status_code >= 400:
                async with deadline_at(deadline):
                    raise await status_error(response, endpoint)
            if response.headers.get("content-type", "").split(";")[0].strip().lower() == "application/json":
                async with deadline_at(deadline):
                    body = await read_body(response, endpoint.cap, endpoint.where)
                yield endpoint.key.scrub(message_content(body_text(body, response, endpoint.where), endpoint))
                return
            scrubber = StreamScrubber(endpoint.key)
            ended = finished = False
            async with contextlib.aclosing(event_data(response, endpoint, deadline)) as events:
                async for data in events:
                    if data.strip() == "[DONE]":
                        ended = True
                        break
                    content, done = delta(data, endpoint)
                    finished = finished or done
                    out = scrubber.push(content) if content else ""
                    if out:
                        yield out
                if not ended and not finished:
                    raise LLMError(f"model stream from {endpoint.where} ended before its end marker")
                out = scrubber.flush()
                if out:
                    yield out
                if ended and pool is not None:
                    await _drain(events, deadline)
        finally:
            await stream.__aexit__(None, None, None)


async def _drain(events, deadline: float) -> None:
    """Reads what follows the end marker (usually only the body's framing) for a moment, so that the
    connection goes back to the pool rather than being closed; a stream that goes on is left to be
    closed."""
    with contextlib.suppress(Exception):
        when = min(deadline, asyncio.get_running_loop().time() + _DRAIN_SECONDS)
        async with deadline_at(when):
            async for _ in events:
                pass


async def stream(endpoint: Endpoint | LLMError, pool, prompt, seconds) -> AsyncIterator[str]:
    """The reply's pieces under one deadline that runs from the first step to the last piece."""
    if isinstance(endpoint, LLMError):
        raise endpoint
    error = None
    try:
        seconds = _seconds(seconds, endpoint.seconds)
        deadline = asyncio.get_running_loop().time() + seconds
        async with contextlib.aclosing(_stream_pieces(endpoint, pool, prompt, seconds, deadline)) as pieces:
            async for piece in pieces:
                yield piece
    except Exception as exc:  # noqa: BLE001 -- every failure becomes an LLMError
        error = as_llm_error(exc, endpoint, seconds)
    if error is not None:
        raise error


# ---------------------------------------------------------------- the calls


async def llm_response(
    url: str, key: str, prompt: str, *, model: str | None = None, timeout: float | None = None,
    max_reply_bytes: int | None = None,
) -> dict:
    """Sends ``prompt`` as one user message to ``url`` and returns the JSON object of the reply."""
    endpoint = make_endpoint("llm_response", url, key, model, timeout, max_reply_bytes)
    del key
    if not isinstance(prompt, str) and not isinstance(endpoint, LLMError):
        endpoint = LLMError("llm_response() takes the endpoint, the key and the prompt as str")
    return await complete(endpoint, None, prompt, None, json_step)


async def chat(
    url: str, key: str, prompt: str, *, model: str | None = None, timeout: float | None = None,
    max_reply_bytes: int | None = None,
) -> str:
    """Sends ``prompt`` as one user message to ``url`` and returns the reply text."""
    endpoint = make_endpoint("chat", url, key, model, timeout, max_reply_bytes)
    del key
    if not isinstance(prompt, str) and not isinstance(endpoint, LLMError):
        endpoint = LLMError("chat() takes the endpoint, the key and the prompt as str")
    return await complete(endpoint, None, prompt, None, text_step)


async def chat_stream(
    url: str, key: str, prompt: str, *, model: str | None = None, timeout: float | None = None,
    max_reply_bytes: int | None = None,
) -> AsyncIterator[str]:
    """Sends ``prompt`` with ``"stream": true`` and yields the reply text piece by piece.

    Closing the generator or cancelling the task that iterates it closes the HTTP stream.
    """
    endpoint = make_endpoint("chat_stream", url, key, model, timeout, max_reply_bytes)
    del key
    if not isinstance(prompt, str) and not isinstance(endpoint, LLMError):
        endpoint = LLMError("chat_stream() takes the endpoint, the key and the prompt as str")
    async with contextlib.aclosing(stream(endpoint, None, prompt, None)) as pieces:
        async for piece in pieces:
            yield piece
