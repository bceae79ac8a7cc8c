"""Reading a reply body under the size cap, inflating compressed bodies step by step."""
from __future__ import annotations

import codecs
import contextlib
import json
import zlib
from collections.abc import AsyncIterator
from typing import TYPE_CHECKING

import httpx

from .config import MAX_REPLY_ENV
from .errors import LLMError, LLMStatusError
from .scrub import shorten

if TYPE_CHECKING:
    from .client import Endpoint

_ERROR_BODY_BYTES = 64 * 1024
_INFLATE_STEP = 64 * 1024


class _Inflater:
    """Inflates a gzip or deflate body in steps of at most ``_INFLATE_STEP`` bytes."""

    def __init__(self, kind: str) -> None:
        self._kind = kind
        self._obj = self._new(raw=False)
        self._first = True  # nothing accepted yet: deflate may still turn out to be raw deflate
        self._in_member = False  # the current stream has accepted bytes
        self._done = False

    def _new(self, raw: bool):
        if self._kind == "gzip":
            return zlib.decompressobj(16 + zlib.MAX_WBITS)
        return zlib.decompressobj(-zlib.MAX_WBITS if raw else zlib.MAX_WBITS)

    def feed(self, data: bytes):
        more = bool(data)
        while more and not self._done:
            try:
                out = self._obj.decompress(data, _INFLATE_STEP)
            except zlib.error:
                if self._first and self._kind == "deflate":
                    self._first = False
                    self._obj = self._new(raw=True)  # deflate without its zlib wrapper
                    continue
                if self._kind == "gzip" and not self._first and not self._in_member:
                    self._done = True  # bytes after the last gzip member are ignored
                    return
                raise LLMError(f"the reply's {self._kind} data is corrupt") from None
            self._first = False
            self._in_member = True
            if out:
                yield out
            if self._obj.eof:
                data = self._obj.unused_data
                if self._kind != "gzip":
                    self._done = True
                    return
                self._obj = self._new(raw=False)  # another gzip member may follow
                self._in_member = False
                more = bool(data)
            else:
                data = self._obj.unconsumed_tail
                more = bool(data) or len(out) == _INFLATE_STEP  # zlib may hold more output

    def finish(self):
        if not self._done and self._in_member and not self._obj.eof:
            raise LLMError(f"the reply's {self._kind} data ends early")
        return ()


class _Identity:
    def feed(self, data: bytes):
        yield data

    def finish(self):
        return ()


def _decoder(encoding: str | None):
    kinds = [e.strip().lower() for e in (encoding or "").split(",") if e.strip()]
    kinds = [k for k in kinds if k != "identity"]
    if not kinds:
        return _Identity()
    if len(kinds) == 1 and kinds[0] in ("gzip", "x-gzip", "deflate"):
        return _Inflater("deflate" if kinds[0] == "deflate" else "gzip")
    raise LLMError(f"the reply uses an unsupported content encoding {encoding[:60]!r}")


async def body_chunks(response: httpx.Response, cap: int, where: str) -> AsyncIterator[bytes]:
    """The decoded body in chunks; LLMError as soon as it (or its raw form) passes ``cap`` bytes."""
    too_large = f"model reply from {where} exceeds {cap} bytes ({MAX_REPLY_ENV})"
    declared = response.headers.get("content-length", "")
    if declared.strip().isdigit() and int(declared) > cap:
        raise LLMError(too_large)
    decoder = _decoder(response.headers.get("content-encoding"))
    raw = decoded = 0
    async for chunk in response.aiter_raw():
        raw += len(chunk)
        if raw > cap:
            raise LLMError(too_large)
        for piece in decoder.feed(chunk):
            decoded += len(piece)
            if decoded > cap:
                raise LLMError(too_large)
            yield piece
    for piece in decoder.finish():
        yield piece


async def read_body(response: httpx.Response, cap: int, where: str) -> bytes:
    buf = bytearray()
    async with contextlib.aclosing(body_chunks(response, cap, where)) as chunks:
        async for piece in chunks:
            buf += piece
    return bytes(buf)


def charset(response: httpx.Response) -> str:
    name = response.charset_encoding or "utf-8"
    try:
        return codecs.lookup(name).name
    except LookupError:
        return "utf-8"


def body_text(body: bytes, response: httpx.Response, where: str) -> str:
    try:
        return body.decode("utf-8-sig" if charset(response) == "utf-8" else charset(response))
    except UnicodeDecodeError:
        raise LLMError(f"model reply from {where} is not valid {charset(response)} text") from None


async def status_error(response: httpx.Response, call: Endpoint) -> LLMStatusError:
    """The error for a reply with status >= 400, quoting the start of its body."""
    buf = bytearray()
    try:
        async with contextlib.aclosing(body_chunks(response, call.cap, call.where)) as chunks:
            async for piece in chunks:
                buf += piece
                if len(buf) >= _ERROR_BODY_BYTES:
                    break
    except (LLMError, httpx.HTTPError):
        pass
    text = bytes(buf[:_ERROR_BODY_BYTES]).decode(charset(response), errors="replace")
    status = response.status_code
    return LLMStatusError(f"model call to {call.where} failed with HTTP {status}: {shorten(text, call.key)}",
                          status)


def message_content(text: str, call: Endpoint) -> str:
    try:
        document = json.loads(text)
        content = document["choices"][0]["message"]["content"]
    except (ValueError, KeyError, IndexError, TypeError, RecursionError):
        raise LLMError(f"model reply from {call.where} is not a chat-completions document: "
                       f"{shorten(text, call.key)}") from None
    if not isinstance(content, str):
        raise LLMError(f"model reply from {call.where} has no text content")
    return content

