"""``X-Request-ID``: taken from the client when it is sane, else made here;
echoed in the response, on every log line of the request and in its error bodies.

A given id is kept when it is 1 to ``max_length`` characters of
``A-Z a-z 0-9 . _ : -`` (what proxies and tracing systems send); anything
else (too long, spaces, control characters, quotes) is replaced by a new id,
so a client cannot forge log lines or stuff headers through it.
"""
from __future__ import annotations

import contextvars
import json
import logging
import re
import uuid

HEADER = b"x-request-id"
SCOPE_KEY = "corvane.request_id"
MAX_LENGTH = 128
_ALLOWED = re.compile(rb"[A-Za-z0-9._:-]+")
# The id of the request this task or thread is working for ("-" outside one).
current = contextvars.ContextVar("corvane_request_id", default="-")
# Error bodies larger than this are passed on as they are.
_MAX_ANNOTATED = 64 * 1024


def new_id() -> str:
    return uuid.uuid4().hex


def accepted(value: bytes | None, max_length: int = MAX_LENGTH) -> str | None:
    """The client's id when it is acceptable, else None."""
    if not value or len(value) > max_length or not _ALLOWED.fullmatch(value):
        return None
    return value.decode("ascii")


def request_id(scope) -> str:
    return scope.get(SCOPE_KEY, "-")


class RequestIdFilter(logging.Filter):
    """Puts ``record.request_id`` on every record (for a ``%(request_id)s`` format)."""

    def filter(self, record: logging.LogRecord) -> bool:
        if not hasattr(record, "request_id"):
            record.request_id = current.get()
        return True


class RequestIdMiddleware:
    """Plain ASGI; outermost, so every other layer and the routes see the id.

    With ``annotate_errors`` a JSON error body ({"error": {...}}, status 400 or
    more, not streamed) gets ``"request_id"`` inside its error object, so a user
    can quote it.
    """

    def __init__(self, app, *, max_length: int = MAX_LENGTH, annotate_errors: bool = True) -> None:
        self.app = app
        self.max_length = max_length
        self.annotate = annotate_errors

    async def __call__(self, scope, receive, send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        given = None
        for key, value in scope["headers"]:
            if key == HEADER:
                given = value
                break
        rid = accepted(given, self.max_length) or new_id()
        scope[SCOPE_KEY] = rid
        token = current.set(rid)
        held: dict = {}

        async def tagged_send(message) -> None:
            if message["type"] == "http.response.start":
                headers = [(k, v) for k, v in message.get("headers", ()) if k.lower() != HEADER]
                headers.append((HEADER, rid.encode()))
                message = {**message, "headers": headers}
                if self.annotate and message["status"] >= 400 and _is_json(headers):
                    held["start"] = message  # held until the body shows whether it can be annotated
                    held["chunks"] = []
                    return
            elif message["type"] == "http.response.body" and "start" in held:
                held["chunks"].append(message.get("body", b""))
                size = sum(map(len, held["chunks"]))
                if message.get("more_body", False) and size <= _MAX_ANNOTATED:
                    return
                start, body = held.pop("start"), b"".join(held.pop("chunks"))
                if not message.get("more_body", False):
                    annotated = _annotated(body, rid)
                    if annotated is not body:  # (a HEAD response's empty body stays as it is)
                        body = annotated
                        start = {**start, "headers": [(k, str(len(body)).encode() if k.lower() == b"content-length"
                                                       else v) for k, v in start["headers"]]}
                await send(start)
                await send({"type": "http.response.body", "body": body,
                            "more_body": message.get("more_body", False)})
                return
            await send(message)

        try:
            await self.app(scope, receive, tagged_send)
        finally:
            current.reset(token)


def _is_json(headers) -> bool:
    for key, value in headers:
        if key.lower() == b"content-type":
            return value.split(b";")[0].strip().lower() == b"application/json"
    return False


def _annotated(body: bytes, rid: str) -> bytes:
    try:
        doc = json.loads(body)
    except ValueError:
        return body
    if isinstance(doc, dict) and isinstance(doc.get("error"), dict) and "request_id" not in doc["error"]:
        doc["error"]["request_id"] = rid
        return json.dumps(doc, ensure_ascii=False).encode()
    return body
