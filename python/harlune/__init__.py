"""Asynchronous client for an OpenAI-compatible chat-completions endpoint.

One operation::

    record = await llm_response(url, key, prompt)

``url`` is the full chat-completions endpoint (for example
``http://127.0.0.1:8000/v1/chat/completions``), ``key`` the bearer token (an
empty key sends no ``Authorization`` header) and ``prompt`` the text sent as
one user message.  The model is asked to answer with a JSON object; the
message content of the first choice is parsed into a ``dict`` and returned.
The parser tolerates Markdown code fences around the object, text before and
after it, and Python-style ``True``/``False``/``None`` literals.

Configuration (environment, read at each call; keyword arguments win):

``HARLUNE_MODEL``
    model name put into the request (default ``"default"``).
``HARLUNE_TIMEOUT``
    seconds allowed for connecting, sending and each read (default 120).

Every failure -- HTTP status >= 400, timeout, connection failure, a reply
that is not a chat-completions document or whose content holds no JSON
object -- raises :class:`LLMError`.  The access key never appears in an
error message, a repr or any output of this module.
"""
from __future__ import annotations

import ast
import json
import os
import re
import httpx

__all__ = ["LLMError", "llm_response", "parse_json_object", "DEFAULT_MODEL", "DEFAULT_TIMEOUT"]

MODEL_ENV = "HARLUNE_MODEL"
TIMEOUT_ENV = "HARLUNE_TIMEOUT"
DEFAULT_MODEL = "default"
DEFAULT_TIMEOUT = 120.0
_DETAIL_LIMIT = 300


class LLMError(Exception):
    """A failed model call.  ``status_code`` is the HTTP status when there was one."""

    def __init__(self, message: str, status_code: int | None = None) -> None:
        super().__init__(message)
        self.status_code = status_code


def _scrub(text: str, key: str) -> str:
    if key:
        text = text.replace(key, "***")
    return text


def _shorten(text: str) -> str:
    text = " ".join(text.split())
    return text if len(text) <= _DETAIL_LIMIT else text[:_DETAIL_LIMIT] + "..."


_FENCE_RE = re.compile(r"```[A-Za-z0-9_-]*[ \t]*\n?(.*?)```", re.S)
_BARE_WORDS = {"True": "true", "False": "false", "None": "null"}


def _pythonish_to_json(text: str) -> str:
    """Rewrites bare True/False/None outside of JSON strings to their JSON words."""
    out: list[str] = []
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if c == '"':
            j = i + 1
            while j < n and text[j] != '"':
                j += 2 if text[j] == "\\" else 1
            out.append(text[i : j + 1])
            i = j + 1
        elif c.isalpha() or c == "_":
            j = i
            while j < n and (text[j].isalnum() or text[j] == "_"):
                j += 1
            word = text[i:j]
            out.append(_BARE_WORDS.get(word, word))
            i = j
        else:
            out.append(c)
            i += 1
    return "".join(out)


def _candidates(content: str) -> list[str]:
    texts = [m.group(1) for m in _FENCE_RE.finditer(content)]
    texts.append(content)
    found = []
    for t in texts:
        start, end = t.find("{"), t.rfind("}")
        if start >= 0 and end > start:
            found.append(t[start : end + 1])
    return found


def parse_json_object(content: str) -> dict:
    """The JSON object in a model's message text; ValueError when there is none."""
    for text in _candidates(content):
        for attempt in (
            lambda t: json.loads(t),
            lambda t: json.loads(_pythonish_to_json(t)),
            lambda t: ast.literal_eval(t),
        ):
            try:
                value = attempt(text)
            except (ValueError, SyntaxError, TypeError, RecursionError, MemoryError):
                continue
            if isinstance(value, dict):
                return value
    raise ValueError("the reply holds no JSON object")


def _timeout(value: float | None) -> float:
    if value is not None:
        return float(value)
    env = os.environ.get(TIMEOUT_ENV)
    if env:
        try:
            return float(env)
        except ValueError:
            raise LLMError(f"{TIMEOUT_ENV} must be a number of seconds, not {env!r}") from None
    return DEFAULT_TIMEOUT


async def llm_response(
    url: str, key: str, prompt: str, *, model: str | None = None, timeout: float | None = None
) -> dict:
    """Sends ``prompt`` as one user message to ``url`` and returns the JSON object of the reply."""
    if not isinstance(url, str) or not isinstance(key, str) or not isinstance(prompt, str):
        raise LLMError("llm_response() takes the endpoint, the key and the prompt as str")
    if key and not all(" " <= ch <= "~" for ch in key):
        raise LLMError("the access key holds characters that an HTTP header cannot carry")
    model = model if model is not None else os.environ.get(MODEL_ENV) or DEFAULT_MODEL
    seconds = _timeout(timeout)
    headers = {"Content-Type": "application/json", "Accept": "application/json"}
    if key:
        headers["Authorization"] = f"Bearer {key}"
    body = {"model": model, "messages": [{"role": "user", "content": prompt}]}
    where = _scrub(url, key)

    error: LLMError | None = None
    try:
        async with httpx.AsyncClient(timeout=httpx.Timeout(seconds), trust_env=False) as client:
            response = await client.post(url, json=body, headers=headers)
            status = response.status_code
            text = response.text
    except httpx.TimeoutException:
        error = LLMError(f"model call to {where} timed out after {seconds:g} s")
    except (httpx.HTTPError, httpx.InvalidURL) as exc:
        error = LLMError(f"model call to {where} failed: {type(exc).__name__}: {_shorten(_scrub(str(exc), key))}")
    if error is not None:
        raise error
    if status >= 400:
        detail = _shorten(_scrub(text, key))
        raise LLMError(f"model call to {where} failed with HTTP {status}: {detail}", status_code=status)

    try:
        document = json.loads(text)
        content = document["choices"][0]["message"]["content"]
    except (ValueError, KeyError, IndexError, TypeError):
        detail = _shorten(_scrub(text, key))
        raise LLMError(f"model reply from {where} is not a chat-completions document: {detail}") from None
    if not isinstance(content, str):
        raise LLMError(f"model reply from {where} has no text content")
    try:
        return parse_json_object(content)
    except ValueError:
        detail = _shorten(_scrub(content, key))
        raise LLMError(f"model reply from {where} holds no JSON object: {detail}") from None



# --- interim chat / chat_stream (plain reply text; streamed pieces) ---------

async def chat(url: str, key: str, prompt: str, *, model: str | None = None, timeout: float | None = None) -> str:
    """Sends ``prompt`` as one user message and returns the reply's text."""
    import asyncio

    model = model if model is not None else os.environ.get(MODEL_ENV) or DEFAULT_MODEL
    seconds = _timeout(timeout)
    headers = {"Content-Type": "application/json"}
    if key:
        headers["Authorization"] = f"Bearer {key}"
    body = {"model": model, "messages": [{"role": "user", "content": prompt}]}
    where = _scrub(url, key)
    try:
        async with asyncio.timeout(seconds):
            async with httpx.AsyncClient(timeout=httpx.Timeout(seconds), trust_env=False) as client:
                response = await client.post(url, json=body, headers=headers)
    except (TimeoutError, httpx.TimeoutException):
        raise LLMError(f"model call to {where} timed out after {seconds:g} s") from None
    except (httpx.HTTPError, httpx.InvalidURL) as exc:
        raise LLMError(f"model call to {where} failed: {type(exc).__name__}") from None
    if response.status_code >= 400:
        raise LLMError(f"model call to {where} failed with HTTP {response.status_code}", response.status_code)
    try:
        content = response.json()["choices"][0]["message"]["content"]
    except (ValueError, KeyError, IndexError, TypeError):
        raise LLMError(f"model reply from {where} is not a chat-completions document") from None
    if not isinstance(content, str):
        raise LLMError(f"model reply from {where} has no text content")
    return content


async def chat_stream(url: str, key: str, prompt: str, *, model: str | None = None, timeout: float | None = None):
    """Async generator of the text pieces of a streamed (server-sent events) reply."""
    import asyncio

    model = model if model is not None else os.environ.get(MODEL_ENV) or DEFAULT_MODEL
    seconds = _timeout(timeout)
    headers = {"Content-Type": "application/json", "Accept": "text/event-stream"}
    if key:
        headers["Authorization"] = f"Bearer {key}"
    body = {"model": model, "messages": [{"role": "user", "content": prompt}], "stream": True}
    where = _scrub(url, key)
    loop = asyncio.get_running_loop()
    deadline = loop.time() + seconds
    try:
        async with httpx.AsyncClient(timeout=httpx.Timeout(seconds), trust_env=False) as client:
            async with client.stream("POST", url, json=body, headers=headers) as response:
                if response.status_code >= 400:
                    raise LLMError(
                        f"model call to {where} failed with HTTP {response.status_code}", response.status_code
                    )
                lines = response.aiter_lines()
                while True:
                    left = deadline - loop.time()
                    if left <= 0:
                        raise TimeoutError
                    async with asyncio.timeout(left):
                        try:
                            line = await anext(lines)
                        except StopAsyncIteration:
                            return
                    if not line.startswith("data:"):
                        continue
                    data = line[5:].strip()
                    if data == "[DONE]":
                        return
                    try:
                        piece = json.loads(data)["choices"][0].get("delta", {}).get("content")
                    except (ValueError, KeyError, IndexError, TypeError, AttributeError):
                        raise LLMError(f"model stream from {where} sent an event that is not a chunk") from None
                    if isinstance(piece, str) and piece:
                        yield piece
    except (TimeoutError, httpx.TimeoutException):
        raise LLMError(f"model call to {where} timed out after {seconds:g} s") from None
    except (httpx.HTTPError, httpx.InvalidURL) as exc:
        raise LLMError(f"model call to {where} failed: {type(exc).__name__}") from None
