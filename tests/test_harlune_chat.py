"""harlune.chat and harlune.chat_stream against bare HTTP servers on 127.0.0.1."""
import asyncio

import pytest

from harlune import LLMError, chat, chat_stream
from raw_http import completion, head, serve, sse, wait_closed_by_client, whole

KEY = "sk-Ab3/x+Y9=Q SENTINEL_7f3a9c"
PATH = "/v1/chat/completions"


@pytest.fixture(autouse=True)
def _no_proxy_settings(monkeypatch):
    for name in ("HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "NO_PROXY", "http_proxy", "https_proxy", "all_proxy",
                 "no_proxy", "HARLUNE_TIMEOUT", "HARLUNE_MAX_REPLY_BYTES", "HARLUNE_MODEL"):
        monkeypatch.delenv(name, raising=False)


def replying(data: bytes, pause=0.0):
    async def handler(request, reader, writer):
        writer.write(data)
        if pause:
            await asyncio.sleep(pause)
    return handler


async def collect(url, key=KEY, **kw):
    return [piece async for piece in chat_stream(url, key, "p", **kw)]


def test_chat_request_and_reply(monkeypatch):
    monkeypatch.setenv("HARLUNE_MODEL", "m-env")

    async def main():
        async with serve(replying(whole(completion("你好，世界")))) as srv:
            assert await chat(srv.url + PATH, KEY, "问题") == "你好，世界"
            assert await chat(srv.url + PATH, "", "q", model="m-arg") == "你好，世界"
        first, second = srv.requests
        assert first.headers["authorization"] == f"Bearer {KEY}"
        assert first.json() == {"model": "m-env", "messages": [{"role": "user", "content": "问题"}]}
        assert "authorization" not in second.headers and second.json()["model"] == "m-arg"

    asyncio.run(main())


def test_stream_request_and_pieces():
    body = sse({"choices": [{"index": 0, "delta": {"role": "assistant"}}]}, "Hel", "lo, ", "世界",
               {"choices": [{"index": 0, "delta": {}, "finish_reason": "stop"}]}, {"choices": [], "usage": {}})

    async def main():
        async with serve(replying(head(content_type="text/event-stream") + body)) as srv:
            pieces = await collect(srv.url + PATH, model="m")
        assert pieces == ["Hel", "lo, ", "世界"]
        request = srv.requests[0]
        assert request.json() == {"model": "m", "messages": [{"role": "user", "content": "p"}], "stream": True}
        assert request.headers["accept"] == "text/event-stream"

    asyncio.run(main())


EVENT_STREAM = head(content_type="text/event-stream")
STREAM_CASES = [
    # (name, raw reply, expected text or (error pattern, status))
    ("CRLF lines, comments, other fields, data split over lines",
     EVENT_STREAM + b": hi\r\nevent: x\r\nid: 1\r\ndata: {\"choices\": [{\"delta\":\r\ndata: {\"content\": \"a\\u2028b\"}}]}"
     b"\r\n\r\ndata:[DONE]\r\n\r\n", "a\u2028b"),
    ("bare CR line ends", EVENT_STREAM + sse("x", "y").replace(b"\n", b"\r"), "xy"),
    ("no end marker but a finish reason",
     EVENT_STREAM + sse("a", {"choices": [{"delta": {"content": "b"}, "finish_reason": "stop"}]}, done=False), "ab"),
    ("a plain document for a stream request", whole(completion("whole")), "whole"),
    ("no end marker, no finish reason", EVENT_STREAM + sse("a", done=False), ("ended before its end marker", None)),
    ("error event", EVENT_STREAM + b'data: {"error": {"message": "overloaded"}}\n\n', ("reported an error.*overloaded", None)),
    ("event that is not JSON", EVENT_STREAM + b"data: {oops\n\n", ("not JSON", None)),
    ("event that is not a chunk", EVENT_STREAM + b'data: {"choices": 5}\n\n', ("not a chat-completions chunk", None)),
    ("content that is not text", EVENT_STREAM + sse({"choices": [{"delta": {"content": 5}}]}), ("not text", None)),
    ("stream not UTF-8", EVENT_STREAM + b'data: {"choices": [{"delta": {"content": "\xff"}}]}\n\n', ("UTF-8", None)),
    ("HTTP error", whole(b"busy", status=503), ("HTTP 503: busy", 503)),
    ("HTML page", whole(b"<html>proxy says hi</html>", content_type="text/html"), ("ended before", None)),
]


@pytest.mark.parametrize("raw, expected", [c[1:] for c in STREAM_CASES], ids=[c[0] for c in STREAM_CASES])
def test_stream_replies(raw, expected):
    async def main():
        async with serve(replying(raw)) as srv:
            if isinstance(expected, str):
                assert "".join(await collect(srv.url + PATH)) == expected
                return
            with pytest.raises(LLMError, match=expected[0]) as info:
                await collect(srv.url + PATH)
            assert info.value.status_code == expected[1]

    asyncio.run(main())


CHAT_FAILURES = [
    (whole(b"denied", status=401), "HTTP 401: denied"),
    (whole(b'{"choices": []}'), "not a chat-completions document"),
    (whole(completion(None)), "no text content"),
    (whole(b"\xff\xfe{}"), "not valid utf-8 text"),
    (whole("{}".encode("utf-16")), "not valid utf-8 text"),
]


@pytest.mark.parametrize("raw, match", CHAT_FAILURES)
def test_chat_failures(raw, match):
    async def main():
        async with serve(replying(raw)) as srv:
            with pytest.raises(LLMError, match=match):
                await chat(srv.url + PATH, KEY, "p")

    asyncio.run(main())


def test_declared_charset_is_honoured():
    body = completion("汉字").decode().encode("gb18030")

    async def main():
        async with serve(replying(whole(body, content_type="application/json; charset=gb18030"))) as srv:
            assert await chat(srv.url + PATH, KEY, "p") == "汉字"

    asyncio.run(main())


def hanging_stream():
    async def handler(request, reader, writer):
        writer.write(EVENT_STREAM + sse("first", done=False))
        await writer.drain()
        await wait_closed_by_client(reader)
    return handler


@pytest.mark.parametrize("how", ["aclose", "break", "cancel"])
def test_stopping_a_stream_closes_the_connection(how):
    async def consume(url, got):
        stream = chat_stream(url, KEY, "p")
        async for piece in stream:
            got.append(piece)
            if how == "aclose":
                await stream.aclose()
                return
            if how == "break":
                break
        await stream.aclose()

    async def main():
        async with serve(hanging_stream()) as srv:
            got = []
            if how == "cancel":
                task = asyncio.create_task(consume(srv.url + PATH, got))
                while not got:
                    await asyncio.sleep(0.01)
                task.cancel()
                with pytest.raises(asyncio.CancelledError):
                    await task
            else:
                await consume(srv.url + PATH, got)
            await asyncio.wait_for(srv.closed.wait(), 30)
        assert got == ["first"]

    asyncio.run(main())


def test_cancelling_chat_closes_the_connection():
    async def handler(request, reader, writer):
        writer.write(head(Content_Length=1000) + b"{")
        await writer.drain()
        await wait_closed_by_client(reader)

    async def main():
        async with serve(handler) as srv:
            task = asyncio.create_task(chat(srv.url + PATH, KEY, "p"))
            while not srv.requests:
                await asyncio.sleep(0.01)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            await asyncio.wait_for(srv.closed.wait(), 30)

    asyncio.run(main())


def test_stream_argument_errors_surface_at_the_first_step():
    # every failure, argument errors included, surfaces at the first __anext__ as LLMError
    async def main():
        for args in [("", KEY, "p"), ("ftp://x/y", KEY, "p"), ("http://127.0.0.1:9/x", KEY + "\n", "p"),
                     ("http://127.0.0.1:9/x", None, "p")]:
            with pytest.raises(LLMError):
                await chat_stream(*args).__anext__()

    asyncio.run(main())
