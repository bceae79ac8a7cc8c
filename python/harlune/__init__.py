"""Asynchronous client for an OpenAI-compatible chat-completions endpoint.

Three operations::

    record = await llm_response(url, key, prompt)      # the JSON object of the reply, as a dict
    text = await chat(url, key, prompt)                # the reply text
    async for piece in chat_stream(url, key, prompt):  # the reply text, piece by piece
        ...

Each of these opens its own connection.  :class:`AsyncChatClient` offers the same
three calls for one endpoint over one pool of connections kept across calls::

    async with AsyncChatClient(url, key) as client:
        text = await client.chat(prompt)

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
stream, content holding no JSON object -- raises :class:`LLMError`: :class:`LLMStatusError` (``.status``) for an HTTP
status >= 400 and :class:`LLMTimeout` (also a :class:`TimeoutError`) for the
deadline;
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
:func:`mask_url` gives an endpoint URL fit for a log line (user-info and every
query value masked).

The modules: ``errors`` (the exceptions), ``config`` (defaults and the
environment), ``scrub`` (the key and URL masking), ``parse`` (the lenient JSON
parser), ``body`` (reading a reply under its cap), ``sse`` (server-sent events),
``client`` (the calls and their deadline), ``pool`` (:class:`AsyncChatClient`).
"""
from __future__ import annotations

from .client import chat, chat_stream, llm_response
from .config import DEFAULT_MAX_REPLY_BYTES, DEFAULT_MODEL, DEFAULT_TIMEOUT, LENIENT_MAX_CHARS, MAX_DEPTH
from .errors import LLMError, LLMStatusError, LLMTimeout
from .parse import parse_json_object
from .pool import AsyncChatClient
from .scrub import mask_url

__all__ = [
    "LLMError",
    "LLMStatusError",
    "LLMTimeout",
    "llm_response",
    "chat",
    "chat_stream",
    "AsyncChatClient",
    "parse_json_object",
    "mask_url",
    "DEFAULT_MODEL",
    "DEFAULT_TIMEOUT",
    "DEFAULT_MAX_REPLY_BYTES",
]
