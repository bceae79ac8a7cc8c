"""harlune against real HTTP servers on 127.0.0.1."""
import asyncio
import json
import socket
import struct
import time
import traceback

import pytest
from werkzeug import Response

import harlune
from harlune import LLMError, llm_response, parse_json_object

KEY = "sk-SENTINEL-7f3a9c"
PATH = "/v1/chat/completions"


def chat(content):
    return {"id": "x", "choices": [{"index": 0, "message": {"role": "assistant", "content": content}}]}


def call(url, key=KEY, prompt="p", **kw):
    return asyncio.run(llm_response(url, key, prompt, **kw))


def assert_no_key(exc):
    text = "".join(traceback.format_exception(type(exc), exc, exc.__traceback__))
    assert KEY not in text and KEY not in repr(exc) and KEY not in str(exc.args)


def test_request_and_reply(httpserver, monkeypatch):
    monkeypatch.setenv("HARLUNE_MODEL", "m-test")
    seen = {}

    def handler(request):
        seen["auth"] = request.headers.get("Authorization")
        seen["body"] = request.get_json()
        return Response(json.dumps(chat('```json\n{"is_ok": True, "reason": None}\n```')),
                        content_type="application/json")

    httpserver.expect_request(PATH, method="POST").respond_with_handler(handler)
    assert call(httpserver.url_for(PATH), prompt="问题") == {"is_ok": True, "reason": None}
    assert seen["auth"] == f"Bearer {KEY}"
    assert seen["body"] == {"model": "m-test", "messages": [{"role": "user", "content": "问题"}]}


def test_empty_key_sends_no_authorization(httpserver, monkeypatch):
    monkeypatch.delenv("HARLUNE_MODEL", raising=False)
    seen = {}

    def handler(request):
        seen["auth"] = request.headers.get("Authorization")
        seen["model"] = request.get_json()["model"]
        return Response(json.dumps(chat('{"answer": "a"}')), content_type="application/json")

    httpserver.expect_request(PATH).respond_with_handler(handler)
    assert call(httpserver.url_for(PATH), key="") == {"answer": "a"}
    assert seen == {"auth": None, "model": harlune.DEFAULT_MODEL}


@pytest.mark.parametrize(
    "status, body, match",
    [
        (401, f"invalid key {KEY}", "HTTP 401"),
        (429, "slow down", "HTTP 429"),
        (500, "oops", "HTTP 500"),
        (200, "<html>not json</html>", "not a chat-completions document"),
        (200, json.dumps({"choices": []}), "not a chat-completions document"),
        (200, json.dumps(chat(None)), "no text content"),
        (200, json.dumps(chat("I cannot answer that.")), "holds no JSON object"),
        (200, json.dumps(chat(f'["{KEY}"]')), "holds no JSON object"),
    ],
)
def test_failures_raise_llm_error_without_the_key(httpserver, status, body, match):
    httpserver.expect_request(PATH).respond_with_data(body, status=status)
    with pytest.raises(LLMError, match=match) as info:
        call(httpserver.url_for(PATH))
    assert info.value.status_code == (status if status >= 400 else None)
    assert_no_key(info.value)


def test_slow_server_times_out(httpserver):
    def handler(request):
        time.sleep(0.6)
        return Response(json.dumps(chat("{}")), content_type="application/json")

    httpserver.expect_request(PATH).respond_with_handler(handler)
    with pytest.raises(LLMError, match="timed out") as info:
        call(httpserver.url_for(PATH), timeout=0.1)
    assert_no_key(info.value)


def test_connection_reset_and_refused():
    async def reset(reader, writer):
        await reader.read(100)
        sock = writer.get_extra_info("socket")
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        writer.transport.abort()

    async def main():
        server = await asyncio.start_server(reset, "127.0.0.1", 0)
        port = server.sockets[0].getsockname()[1]
        async with server:
            with pytest.raises(LLMError, match="failed") as info:
                await llm_response(f"http://127.0.0.1:{port}{PATH}", KEY, "p")
        assert_no_key(info.value)

    asyncio.run(main())

    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    with pytest.raises(LLMError, match="ConnectError") as info:
        call(f"http://127.0.0.1:{port}{PATH}")
    assert_no_key(info.value)


@pytest.mark.parametrize("url, key", [("", KEY), ("not a url", KEY), ("http://127.0.0.1:9/x", KEY + "\n")])
def test_bad_endpoint_or_key(url, key):
    with pytest.raises(LLMError) as info:
        call(url, key=key)
    assert_no_key(info.value)


@pytest.mark.parametrize(
    "content, expected",
    [
        ('{"a": 1}', {"a": 1}),
        ('好的：\n```json\n{"is_ok": false, "reason": "x"}\n```\n以上。', {"is_ok": False, "reason": "x"}),
        ('```\n{"is_ok": True, "reason": None}\n```', {"is_ok": True, "reason": None}),
        # bare words inside strings stay as they are
        ('{"is_ok": True, "reason": "None of True"}', {"is_ok": True, "reason": "None of True"}),
        ('{"s": "say \\"True\\"", "ok": False}', {"s": 'say "True"', "ok": False}),
        ("{'answer': '答', 'reason': \"it's\"}", {"answer": "答", "reason": "it's"}),
        ('prefix {"nested": {"k": [1, 2]}} suffix', {"nested": {"k": [1, 2]}}),
    ],
)
def test_parse_json_object(content, expected):
    assert parse_json_object(content) == expected


@pytest.mark.parametrize("content", ["", "no object", "[1, 2]", "{broken", "{'a': __import__('os')}"])
def test_parse_json_object_rejects(content):
    with pytest.raises(ValueError):
        parse_json_object(content)
