"""Asynchronous client for an OpenAI-compatible chat-completions endpoint.

Three operations::

    record = await llm_response(url, key, prompt)      # the JSON object of the reply, as a dict
    text = await chat(url, key, prompt)                # the reply text
    async for piece in chat_stream(url, key, prompt):  # the reply text, piece by piece
        ...

``url`` is the full chat-completions endpoint (for example
``http://127.0.0.1:8000/v1/chat/completions``), ``key`` the bearer token (an
empty key sends no ``Authorization`` header) and ``prompt`` the text sent as
one user message.

``llm_response`` asks for a JSON object: the message content of the first
choice is parsed into a ``dict``.  The parser tolerates Markdown code fences
around the object, text before and after it, and Python-style
``True``/``False``/``None`` literals.  ``chat`` returns the message content as
it is.  ``chat_stream`` sends ``"stream": true`` and yields the
``choices[0].delta.content`` texts of the server-sent events until
``data: [DONE]``; a server that answers a stream request with one plain
chat-completions document gives its content as one piece.

Configuration (environment, read at each call; keyword arguments win):

``HARLUNE_MODEL`` (``model=``)
    model name put into the request (default ``"default"``).
``HARLUNE_TIMEOUT`` (``timeout=``)
    seconds allowed for the whole exchange -- connecting, sending and reading
    the entire reply (default 120).  It is a deadline, not a per-read
    timeout: a server that drips one byte a second still times out.  For
    ``chat_stream`` it runs from the first ``__anext__`` to the last piece,
    time spent by the consumer between pieces included.
``HARLUNE_MAX_REPLY_BYTES`` (``max_reply_bytes=``)
    largest reply accepted, in bytes (default 16 MiB).  The body is read as a
    stream and the call fails as soon as it passes the cap; compressed
    replies (gzip, deflate) are inflated step by step and the inflated bytes
    count against the cap, so a compression bomb never expands in memory.
    The compressed bytes count too.

The lenient parts of the reply parser (bare ``True``/``False``/``None`` and the
Python-literal fallback) read at most 256 KiB of candidate text per reply (plain
JSON is tried on any size), and an object nested more than 100 levels deep is
refused: a hostile reply costs bounded time and memory.

Proxies: the ``HTTPS_PROXY``, ``HTTP_PROXY``, ``ALL_PROXY`` and ``NO_PROXY``
environment variables are honoured (as are ``SSL_CERT_FILE`` and
``SSL_CERT_DIR``).  An endpoint on a loopback address (``localhost``,
``127.0.0.0/8``, ``::1``) is always reached directly, since a proxy elsewhere
cannot reach this machine's loopback.

Every failure -- an invalid argument or setting, an invalid URL, a refused or
reset connection, HTTP status >= 400, the deadline, a reply over the cap, a
body that is not UTF-8, a reply that is not a chat-completions document or
stream, content holding no JSON object -- raises :class:`LLMError`;
cancellation stays :class:`asyncio.CancelledError` and closes the HTTP
connection.

The access key never leaves the client: every text that does -- error
messages, the values of a returned record (strings, keys, nested), the reply
text and each streamed piece -- is scrubbed of the key in plain form; in
JSON-, Python-, URL- and HTML-escaped forms (any mix of escaped and plain
characters, ``\\/`` included); as hex; and as base64 (standard and URL-safe
alphabets, padded or not, at any alignment, so ``Basic`` credentials and other
encoded texts that embed the key are caught as well) -- each is replaced by
``***``.  Streamed pieces are scrubbed across piece boundaries: text that may
be the beginning of a key is held back until the next piece decides it.  The
key is held in an object whose repr hides it, and errors are raised without
the internal frames and chained exceptions that could carry it.  (Keys of
fewer than 6 characters are too short for the hex and base64 forms to be told
from ordinary text; only their plain and escaped forms are scrubbed.)
"""
from __future__ import annotations

import ast
import asyncio
import base64
import codecs
import contextlib
import functools
import ipaddress
import json
import math
import os
import re
import zlib
from collections.abc import AsyncIterator

import httpx

__all__ = [
    "LLMError",
    "llm_response",
    "chat",
    "chat_stream",
    "parse_json_object",
    "DEFAULT_MODEL",
    "DEFAULT_TIMEOUT",
    "DEFAULT_MAX_REPLY_BYTES",
]

MODEL_ENV = "HARLUNE_MODEL"
TIMEOUT_ENV = "HARLUNE_TIMEOUT"
MAX_REPLY_ENV = "HARLUNE_MAX_REPLY_BYTES"
DEFAULT_MODEL = "default"
DEFAULT_TIMEOUT = 120.0
DEFAULT_MAX_REPLY_BYTES = 16 * 1024 * 1024
LENIENT_MAX_CHARS = 256 * 1024
MAX_DEPTH = 100
_DETAIL_LIMIT = 300
_DETAIL_SOURCE = 4096
_ERROR_BODY_BYTES = 64 * 1024
_INFLATE_STEP = 64 * 1024
_NO_OBJECT = "the reply holds no JSON object"


class LLMError(Exception):
    """A failed model call.  ``status_code`` is the HTTP status when there was one."""

    def __init__(self, message: str, status_code: int | None = None) -> None:
        super().__init__(message)
        self.status_code = status_code


# ---------------------------------------------------------------- the key


def _char_forms(c: str) -> str:
    """A regex for one key character written plainly or in any common escape."""
    o = ord(c)

    def hexci(value: int, width: int) -> str:
        return "".join(f"[{d.lower()}{d.upper()}]" if d.isalpha() else d for d in f"{value:0{width}x}")

    forms = [re.escape(c), "%" + hexci(o, 2), r"\\u" + hexci(o, 4), r"\\x" + hexci(o, 2),
             f"&#{o};", "&#[xX]" + hexci(o, 2) + ";"]
    if c in "/\"\\'":
        forms.append(re.escape("\\" + c))
    if c == " ":
        forms.append(r"\+")
    return "(?:" + "|".join(forms) + ")"


@functools.lru_cache(maxsize=128)
def _char_spellings(c: str) -> tuple[tuple[str, ...], tuple[str, ...]]:
    """The spellings of one key character: compared exactly, and compared in lower case (hex escapes)."""
    o = ord(c)
    plain = [c, f"&#{o};"]
    if c in "/\"\\'":
        plain.append("\\" + c)
    if c == " ":
        plain.append("+")
    return tuple(plain), (f"%{o:02x}", f"\\u{o:04x}", f"\\x{o:02x}", f"&#x{o:02x};")


def _base64_cores(raw: bytes) -> set[str]:
    """The part of a base64 text that depends only on ``raw``, wherever ``raw`` sits in the encoded data."""
    cores = set()
    for align in range(3):
        encoded = base64.b64encode(b"\0" * align + raw).decode("ascii")
        start = -(-8 * align // 6)
        end = 8 * (align + len(raw)) // 6
        core = encoded[start:end]
        cores.add(core)
        cores.add(core.replace("+", "-").replace("/", "_"))
    return cores


class _Key:
    """The access key, with the scrubber for its forms; its repr never shows it."""

    __slots__ = ("_value", "_pattern", "_starts", "_extras", "max_form")

    def __init__(self, value: str) -> None:
        self._value = value
        self._pattern = None
        self._starts = frozenset()
        self._extras: list[str] = []
        self.max_form = 0
        if not value:
            return
        alternatives = ["".join(_char_forms(c) for c in value)]
        starts = {value[0], "%", "\\", "&", "+"}
        longest = 6 * len(value)
        if len(value) >= 6:
            raw = value.encode("utf-8")
            extra = _base64_cores(raw) | {raw.hex(), raw.hex().upper()}
            extra = sorted((e for e in extra if len(e) >= 8), key=len, reverse=True)
            alternatives += [re.escape(e) for e in extra]
            self._extras = extra
            starts |= {e[0] for e in extra}
            longest = max([longest] + [len(e) for e in extra])
        self._pattern = re.compile("|".join(alternatives))
        self._starts = frozenset(starts)
        self.max_form = longest

    def __repr__(self) -> str:
        return "<access key hidden>"

    __str__ = __repr__

    def __reduce__(self):
        raise TypeError("the access key cannot be pickled")

    def authorization(self) -> str | None:
        return f"Bearer {self._value}" if self._value else None

    def scrub(self, text: str) -> str:
        if self._pattern is None or not text:
            return text
        return self._pattern.sub("***", text)

    def safe_prefix_length(self, text: str) -> int:
        """How much of ``text`` (already scrubbed) cannot hold the beginning of a key form cut at its end."""
        if self._pattern is None:
            return len(text)
        for i in range(max(0, len(text) - self.max_form + 1), len(text)):
            if text[i] in self._starts and self._could_start(text[i:]):
                return i
        return len(text)

    def _could_start(self, rest: str) -> bool:
        """Whether ``rest`` is the beginning of some form of the key."""
        if any(e.startswith(rest) for e in self._extras):
            return True
        positions = {0}
        for c in self._value:
            plain, folded = _char_spellings(c)
            following = set()
            for p in positions:
                tail = rest[p:]
                if not tail:
                    return True
                lowered = tail[:6].lower()
                for form in plain:
                    if tail.startswith(form):
                        following.add(p + len(form))
                    elif form.startswith(tail):
                        return True
                for form in folded:
                    if lowered.startswith(form):
                        following.add(p + len(form))
                    elif form.startswith(lowered):
                        return True
            if not following:
                return False
            positions = following
        return True

    def scrub_value(self, value, depth: int = 0):
        """``value`` with every string in it scrubbed (dict keys, lists, tuples, sets included)."""
        if isinstance(value, str):
            return self.scrub(value)
        if depth > MAX_DEPTH:
            raise LLMError(f"the reply is nested more than {MAX_DEPTH} levels deep")
        if isinstance(value, dict):
            return {self.scrub_value(k, depth + 1): self.scrub_value(v, depth + 1) for k, v in value.items()}
        if isinstance(value, list):
            return [self.scrub_value(v, depth + 1) for v in value]
        if isinstance(value, (tuple, set, frozenset)):
            return type(value)(self.scrub_value(v, depth + 1) for v in value)
        if isinstance(value, bytes):
            return self.scrub(value.decode("latin-1")).encode("latin-1")
        return value


class _StreamScrubber:
    """Scrubs a text that arrives in pieces, holding back what may be the start of a key form."""

    def __init__(self, key: _Key) -> None:
        self._key = key
        self._pending = ""

    def push(self, piece: str) -> str:
        text = self._key.scrub(self._pending + piece)
        cut = self._key.safe_prefix_length(text)
        self._pending = text[cut:]
        return text[:cut]

    def flush(self) -> str:
        text, self._pending = self._key.scrub(self._pending), ""
        return text


def _shorten(text: str, key: _Key) -> str:
    """At most ``_DETAIL_LIMIT`` characters of ``text`` for an error message, scrubbed."""
    text = key.scrub(text[: _DETAIL_SOURCE + key.max_form])[:_DETAIL_SOURCE]
    text = key.scrub(" ".join(text.split()))
    return text if len(text) <= _DETAIL_LIMIT else text[:_DETAIL_LIMIT] + "..."


# ---------------------------------------------------------------- the lenient parser

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


def _too_deep(value) -> bool:
    stack = [(value, 0)]
    while stack:
        item, depth = stack.pop()
        if isinstance(item, dict):
            children = list(item.keys()) + list(item.values())
        elif isinstance(item, (list, tuple, set, frozenset)):
            children = list(item)
        else:
            continue
        if depth >= MAX_DEPTH:
            return True
        stack.extend((child, depth + 1) for child in children)
    return False


def parse_json_object(content: str) -> dict:
    """The JSON object in a model's message text; ValueError when there is none.

    Plain JSON is tried on every candidate; the lenient rewrites only while the
    candidates tried so far stay within ``LENIENT_MAX_CHARS``.  An object nested
    more than ``MAX_DEPTH`` levels deep is refused.
    """
    lenient_budget = LENIENT_MAX_CHARS
    reason = _NO_OBJECT
    for text in _candidates(content):
        attempts = [json.loads]
        if len(text) <= lenient_budget:
            lenient_budget -= len(text)
            attempts += [lambda t: json.loads(_pythonish_to_json(t)), ast.literal_eval]
        elif reason == _NO_OBJECT:
            reason = f"the reply holds no plain JSON object (the lenient parser reads at most {LENIENT_MAX_CHARS} characters)"
        for attempt in attempts:
            try:
                value = attempt(text)
            except (ValueError, SyntaxError, TypeError, RecursionError, MemoryError):
                continue
            if isinstance(value, dict):
                if _too_deep(value):
                    raise ValueError(f"the reply's object is nested more than {MAX_DEPTH} levels deep")
                return value
    raise ValueError(reason)


# ---------------------------------------------------------------- settings


def _positive_number(value, name: str, *, integer: bool) -> float | int:
    number = None
    if not isinstance(value, bool):
        try:
            if integer:
                number = int(value) if isinstance(value, (int, str)) else None
            else:
                number = float(value)
                number = number if math.isfinite(number) else None
        except (TypeError, ValueError, OverflowError):
            number = None
    if number is None or number <= 0:
        what = "a positive whole number of bytes" if integer else "a positive number of seconds"
        raise LLMError(f"{name} must be {what}, not {str(value)[:40]!r}")
    return number


def _setting(value, env: str, keyword: str, default, *, integer: bool):
    if value is not None:
        return _positive_number(value, f"{keyword}=", integer=integer)
    text = os.environ.get(env)
    if text:
        return _positive_number(text.strip(), env, integer=integer)
    return default


_USERINFO_RE = re.compile(r"^([A-Za-z][A-Za-z0-9+.-]*://)[^/?#@]*@")


class _Call:
    """One model call's settings; its repr shows neither the key nor the prompt."""

    __slots__ = ("url", "key", "prompt", "model", "seconds", "cap", "where")

    def __init__(self, name, url, key, prompt, model, timeout, max_reply_bytes) -> None:
        if not isinstance(url, str) or not isinstance(key, str) or not isinstance(prompt, str):
            raise LLMError(f"{name}() takes the endpoint, the key and the prompt as str")
        if key and not all(" " <= ch <= "~" for ch in key):
            raise LLMError("the access key holds characters that an HTTP header cannot carry")
        self.key = _Key(key)
        self.url = url
        self.prompt = prompt
        if model is not None and not isinstance(model, str):
            raise LLMError(f"model= must be a str, not {type(model).__name__}")
        self.model = model if model is not None else os.environ.get(MODEL_ENV) or DEFAULT_MODEL
        self.seconds = _setting(timeout, TIMEOUT_ENV, "timeout", DEFAULT_TIMEOUT, integer=False)
        self.cap = _setting(max_reply_bytes, MAX_REPLY_ENV, "max_reply_bytes", DEFAULT_MAX_REPLY_BYTES, integer=True)
        self.where = _shorten(_USERINFO_RE.sub(r"\1***@", url), self.key) or "''"

    def __repr__(self) -> str:
        return f"<harlune call to {self.where}>"

    def client(self) -> httpx.AsyncClient:
        mounts = None
        host = _host_of(self.url)
        if host is not None and _is_loopback(host):
            mounts = {f"all://{'[' + host + ']' if ':' in host else host}": None}
        verify = _ssl_context(os.environ.get("SSL_CERT_FILE"), os.environ.get("SSL_CERT_DIR"))
        return httpx.AsyncClient(
            timeout=httpx.Timeout(self.seconds), trust_env=True, mounts=mounts, auth=_BearerAuth(self.key),
            verify=verify,
        )

    def request(self, client: httpx.AsyncClient, *, stream: bool):
        body = {"model": self.model, "messages": [{"role": "user", "content": self.prompt}]}
        if stream:
            body["stream"] = True
        headers = {"Accept": "text/event-stream" if stream else "application/json",
                   "Accept-Encoding": "gzip, deflate"}
        return client.stream("POST", self.url, json=body, headers=headers)


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

    def __init__(self, key: _Key) -> None:
        self._key = key

    def __repr__(self) -> str:
        return "<bearer auth>"

    def auth_flow(self, request):
        if self._key.authorization() is not None:
            request.headers["Authorization"] = self._key.authorization()
        yield request


# ---------------------------------------------------------------- reading a reply


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


async def _body_chunks(response: httpx.Response, cap: int, where: str) -> AsyncIterator[bytes]:
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


async def _read_body(response: httpx.Response, cap: int, where: str) -> bytes:
    buf = bytearray()
    async with contextlib.aclosing(_body_chunks(response, cap, where)) as chunks:
        async for piece in chunks:
            buf += piece
    return bytes(buf)


def _charset(response: httpx.Response) -> str:
    name = response.charset_encoding or "utf-8"
    try:
        return codecs.lookup(name).name
    except LookupError:
        return "utf-8"


def _text(body: bytes, response: httpx.Response, where: str) -> str:
    try:
        return body.decode("utf-8-sig" if _charset(response) == "utf-8" else _charset(response))
    except UnicodeDecodeError:
        raise LLMError(f"model reply from {where} is not valid {_charset(response)} text") from None


async def _status_error(response: httpx.Response, call: _Call) -> LLMError:
    """The error for a reply with status >= 400, quoting the start of its body."""
    buf = bytearray()
    try:
        async with contextlib.aclosing(_body_chunks(response, call.cap, call.where)) as chunks:
            async for piece in chunks:
                buf += piece
                if len(buf) >= _ERROR_BODY_BYTES:
                    break
    except (LLMError, httpx.HTTPError):
        pass
    text = bytes(buf[:_ERROR_BODY_BYTES]).decode(_charset(response), errors="replace")
    status = response.status_code
    return LLMError(f"model call to {call.where} failed with HTTP {status}: {_shorten(text, call.key)}",
                    status_code=status)


def _message_content(text: str, call: _Call) -> str:
    try:
        document = json.loads(text)
        content = document["choices"][0]["message"]["content"]
    except (ValueError, KeyError, IndexError, TypeError, RecursionError):
        raise LLMError(f"model reply from {call.where} is not a chat-completions document: "
                       f"{_shorten(text, call.key)}") from None
    if not isinstance(content, str):
        raise LLMError(f"model reply from {call.where} has no text content")
    return content


async def _reply_content(call: _Call) -> str:
    async with call.client() as client, call.request(client, stream=False) as response:
        if response.status_code >= 400:
            raise await _status_error(response, call)
        body = await _read_body(response, call.cap, call.where)
        return _message_content(_text(body, response, call.where), call)


# ---------------------------------------------------------------- errors and the deadline


if hasattr(asyncio, "timeout_at"):
    _deadline = asyncio.timeout_at
else:  # Python 3.10

    @contextlib.asynccontextmanager
    async def _deadline(when: float):
        task = asyncio.current_task()
        fired = False

        def fire():
            nonlocal fired
            fired = True
            task.cancel()

        handle = asyncio.get_running_loop().call_at(when, fire)
        try:
            yield
        except asyncio.CancelledError:
            if fired:
                raise TimeoutError from None
            raise
        finally:
            handle.cancel()


def _as_llm_error(exc: Exception, call: _Call | None) -> LLMError:
    """A fresh LLMError for ``exc``: no traceback, no chained exception, the key scrubbed."""
    key = call.key if call is not None else _Key("")
    where = call.where if call is not None else "the endpoint"
    if isinstance(exc, LLMError):
        return LLMError(key.scrub(str(exc)), exc.status_code)
    if isinstance(exc, (TimeoutError, httpx.TimeoutException)):
        return LLMError(f"model call to {where} timed out after {call.seconds:g} s")
    return LLMError(f"model call to {where} failed: {type(exc).__name__}: {_shorten(str(exc), key)}")


def _make_call(name: str, url, key, prompt, model, timeout, max_reply_bytes) -> _Call | LLMError:
    """The call's settings, or the error they give (returned, never raised, so no frame holding the key
    ends up in a traceback)."""
    try:
        return _Call(name, url, key, prompt, model, timeout, max_reply_bytes)
    except Exception as exc:  # noqa: BLE001
        return _as_llm_error(exc, None)


async def _run(call: _Call | LLMError, step):
    """Runs ``step(call, reply content)`` under the call's deadline; every failure becomes a fresh LLMError."""
    if isinstance(call, LLMError):
        raise call
    error = result = None
    try:
        async with _deadline(asyncio.get_running_loop().time() + call.seconds):
            result = step(call, await _reply_content(call))
    except Exception as exc:  # noqa: BLE001 -- every failure becomes an LLMError
        error = _as_llm_error(exc, call)
    if error is not None:
        raise error
    return result


def _json_step(call: _Call, content: str) -> dict:
    try:
        value = parse_json_object(content)
    except ValueError as exc:
        reason = "holds no JSON object" if str(exc) == _NO_OBJECT else f"is refused: {exc}"
        raise LLMError(f"model reply from {call.where} {reason}: {_shorten(content, call.key)}") from None
    return call.key.scrub_value(value)


def _text_step(call: _Call, content: str) -> str:
    return call.key.scrub(content)


async def llm_response(
    url: str, key: str, prompt: str, *, model: str | None = None, timeout: float | None = None,
    max_reply_bytes: int | None = None,
) -> dict:
    """Sends ``prompt`` as one user message to ``url`` and returns the JSON object of the reply."""
    call = _make_call("llm_response", url, key, prompt, model, timeout, max_reply_bytes)
    del key
    return await _run(call, _json_step)


async def chat(
    url: str, key: str, prompt: str, *, model: str | None = None, timeout: float | None = None,
    max_reply_bytes: int | None = None,
) -> str:
    """Sends ``prompt`` as one user message to ``url`` and returns the reply text."""
    call = _make_call("chat", url, key, prompt, model, timeout, max_reply_bytes)
    del key
    return await _run(call, _text_step)


# ---------------------------------------------------------------- streaming


_LINE_END_RE = re.compile(r"\r\n|\r|\n")


class _EventReader:
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


def _delta(data: str, call: _Call) -> tuple[str | None, bool]:
    """The text of one stream event and whether it ends a choice."""
    try:
        event = json.loads(data)
    except (ValueError, RecursionError):
        raise LLMError(f"model stream from {call.where} sent an event that is not JSON: "
                       f"{_shorten(data, call.key)}") from None
    if isinstance(event, dict) and "error" in event and not event.get("choices"):
        raise LLMError(f"model stream from {call.where} reported an error: "
                       f"{_shorten(json.dumps(event['error'], ensure_ascii=False), call.key)}")
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
                       f"{_shorten(data, call.key)}") from None
    if content is not None and not isinstance(content, str):
        raise LLMError(f"model stream from {call.where} sent content that is not text")
    return content, finished


async def _event_data(response: httpx.Response, call: _Call, deadline: float) -> AsyncIterator[str]:
    """The data of each server-sent event of the reply, read under the deadline and the cap."""
    reader = _EventReader()
    decoder = codecs.getincrementaldecoder("utf-8")()

    def text(data: bytes, final: bool = False) -> str:
        try:
            return decoder.decode(data, final)
        except UnicodeDecodeError:
            raise LLMError(f"model stream from {call.where} is not valid UTF-8 text") from None

    async with contextlib.aclosing(_body_chunks(response, call.cap, call.where)) as chunks:
        while True:
            try:
                async with _deadline(deadline):
                    chunk = await chunks.__anext__()
            except StopAsyncIteration:
                break
            for data in reader.feed(text(chunk)):
                yield data
    for data in reader.feed(text(b"", final=True)) + reader.finish():
        yield data


async def _stream_pieces(call: _Call, deadline: float) -> AsyncIterator[str]:
    async with call.client() as client:
        async with _deadline(deadline):
            stream = call.request(client, stream=True)
            response = await stream.__aenter__()
        try:
            if response.status_code >= 400:
                async with _deadline(deadline):
                    raise await _status_error(response, call)
            if response.headers.get("content-type", "").split(";")[0].strip().lower() == "application/json":
                async with _deadline(deadline):
                    body = await _read_body(response, call.cap, call.where)
                yield call.key.scrub(_message_content(_text(body, response, call.where), call))
                return
            scrubber = _StreamScrubber(call.key)
            ended = finished = False
            async with contextlib.aclosing(_event_data(response, call, deadline)) as events:
                async for data in events:
                    if data.strip() == "[DONE]":
                        ended = True
                        break
                    content, done = _delta(data, call)
                    finished = finished or done
                    out = scrubber.push(content) if content else ""
                    if out:
                        yield out
            if not ended and not finished:
                raise LLMError(f"model stream from {call.where} ended before its end marker")
            out = scrubber.flush()
            if out:
                yield out
        finally:
            await stream.__aexit__(None, None, None)


async def chat_stream(
    url: str, key: str, prompt: str, *, model: str | None = None, timeout: float | None = None,
    max_reply_bytes: int | None = None,
) -> AsyncIterator[str]:
    """Sends ``prompt`` with ``"stream": true`` and yields the reply text piece by piece.

    Closing the generator or cancelling the task that iterates it closes the HTTP stream.
    """
    call = _make_call("chat_stream", url, key, prompt, model, timeout, max_reply_bytes)
    del key
    if isinstance(call, LLMError):
        raise call
    error = None
    try:
        deadline = asyncio.get_running_loop().time() + call.seconds
        async with contextlib.aclosing(_stream_pieces(call, deadline)) as pieces:
            async for piece in pieces:
                yield piece
    except Exception as exc:  # noqa: BLE001 -- every failure becomes an LLMError
        error = _as_llm_error(exc, call)
    if error is not None:
        raise error
