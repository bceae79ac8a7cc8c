"""harlune's bounds (reply cap, compression, deadline, parser), its settings, proxies and key scrubbing."""
import asyncio
import base64
import json
import time
import traceback
import tracemalloc
import zlib
from urllib.parse import quote, quote_plus

import pytest
from hypothesis import given, strategies as st

import harlune
from harlune import LLMError, chat, chat_stream, llm_response, parse_json_object
from raw_http import chunk, completion, head, serve, sse, whole

KEY = "sk-Ab3/x+Y9=Q SENTINEL_7f3a9c"
PATH = "/v1/chat/completions"
PROXY_VARS = ("HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "NO_PROXY", "http_proxy", "https_proxy", "all_proxy",
              "no_proxy")


@pytest.fixture(autouse=True)
def _clean_env(monkeypatch):
    for name in PROXY_VARS + ("HARLUNE_TIMEOUT", "HARLUNE_MAX_REPLY_BYTES", "HARLUNE_MODEL"):
        monkeypatch.delenv(name, raising=False)


def replying(data: bytes):
    async def handler(request, reader, writer):
        writer.write(data)
    return handler


def run_against(handler, call):
    async def main():
        async with serve(handler) as srv:
            return await call(srv.url + PATH)
    return asyncio.run(main())


def gzip_bytes(data_chunks, wbits=31):
    c = zlib.compressobj(9, zlib.DEFLATED, wbits)
    return b"".join(c.compress(d) for d in data_chunks) + c.flush()


# ---------------------------------------------------------------- size cap and compression

def endless_chunks(request_unused, *_):
    async def handler(request, reader, writer):
        writer.write(head(Transfer_Encoding="chunked"))
        while True:
            writer.write(chunk(b"x" * 65536))
            await writer.drain()
    return handler


BOMB = gzip_bytes(b"\0" * (1 << 20) for _ in range(64))  # 64 MiB of zeros in about 64 KiB

CAP_CASES = [
    ("declared length over the cap", replying(whole(b"{" + b" " * 5000 + b"}")), {"max_reply_bytes": 1000}),
    ("endless chunked body", endless_chunks(None), {"max_reply_bytes": 1 << 20}),
    ("gzip bomb", replying(whole(BOMB, Content_Encoding="gzip")), {"max_reply_bytes": 1 << 20}),
    ("gzip bomb, default cap", replying(whole(BOMB, Content_Encoding="gzip")), {}),
    ("deflate bomb", replying(whole(gzip_bytes([b"\0" * (1 << 22)], wbits=15), Content_Encoding="deflate")),
     {"max_reply_bytes": 1 << 20}),
    ("cap from the environment", replying(whole(completion("x" * 5000))), {"env": "1000"}),
]


@pytest.mark.parametrize("handler, kw", [c[1:] for c in CAP_CASES], ids=[c[0] for c in CAP_CASES])
@pytest.mark.parametrize("operation", [llm_response, chat])
def test_reply_cap(handler, kw, operation, monkeypatch):
    kw = dict(kw)
    if "env" in kw:
        monkeypatch.setenv("HARLUNE_MAX_REPLY_BYTES", kw.pop("env"))
    # one call first, so that imports and the cached TLS context are not counted
    run_against(replying(whole(completion('{"ok": 1}'))), lambda url: operation(url, KEY, "p"))
    tracemalloc.start()
    try:
        with pytest.raises(LLMError, match=r"exceeds \d+ bytes \(HARLUNE_MAX_REPLY_BYTES\)"):
            run_against(handler, lambda url: operation(url, KEY, "p", **kw))
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    cap = kw.get("max_reply_bytes", harlune.DEFAULT_MAX_REPLY_BYTES)
    # the body is never held far past the cap and the 64 MiB bomb is never inflated (the margin covers the
    # client's and the server's own buffers, which vary with scheduling)
    assert peak < cap + (24 << 20), f"peak {peak}"


def test_stream_cap():
    async def handler(request, reader, writer):
        writer.write(head(content_type="text/event-stream"))
        while True:
            writer.write(sse("y" * 1000, done=False))
            await writer.drain()

    with pytest.raises(LLMError, match="exceeds 100000 bytes"):
        run_against(handler, lambda url: _collect(url, max_reply_bytes=100_000))


async def _collect(url, key=KEY, prompt="p", **kw):
    return "".join([piece async for piece in chat_stream(url, key, prompt, **kw)])


REPLY = completion('{"ok": true}')
ENCODED = [
    ("gzip", gzip_bytes([REPLY]), "gzip"),
    ("gzip in two members", gzip_bytes([REPLY[:10]]) + gzip_bytes([REPLY[10:]]), "gzip"),
    ("zlib-wrapped deflate", gzip_bytes([REPLY], wbits=15), "deflate"),
    ("raw deflate", gzip_bytes([REPLY], wbits=-15), "deflate"),
    ("identity", REPLY, "identity"),
]


@pytest.mark.parametrize("body, encoding", [c[1:] for c in ENCODED], ids=[c[0] for c in ENCODED])
def test_compressed_replies(body, encoding):
    assert run_against(replying(whole(body, Content_Encoding=encoding)),
                       lambda url: llm_response(url, KEY, "p")) == {"ok": True}


@pytest.mark.parametrize("body, encoding, match", [
    (gzip_bytes([REPLY])[:-12], "gzip", "ends early"),
    (b"\x1f\x8b" + b"junk" * 10, "gzip", "corrupt"),
    (REPLY, "br", "unsupported content encoding"),
    (REPLY, "gzip, gzip", "unsupported content encoding"),
])
def test_bad_compressed_replies(body, encoding, match):
    with pytest.raises(LLMError, match=match):
        run_against(replying(whole(body, Content_Encoding=encoding)), lambda url: chat(url, KEY, "p"))


# ---------------------------------------------------------------- the deadline

def dripping(prefix: bytes, drop: bytes):
    async def handler(request, reader, writer):
        writer.write(prefix)
        while True:
            await writer.drain()
            await asyncio.sleep(0.05)
            writer.write(drop)
    return handler


DRIPS = [
    ("body", llm_response, dripping(head(Content_Length=10**6) + b"{", b" ")),
    ("body", chat, dripping(head(Transfer_Encoding="chunked"), chunk(b" "))),
    ("keep-alive comments", _collect, dripping(head(content_type="text/event-stream"), b": ping\n\n")),
    ("stream content", _collect, dripping(head(content_type="text/event-stream"), sse(" ", done=False))),
]


@pytest.mark.parametrize("source", ["keyword", "environment"])
@pytest.mark.parametrize("operation, handler", [c[1:] for c in DRIPS], ids=[c[0] + "-" + c[1].__name__ for c in DRIPS])
def test_deadline_covers_the_whole_exchange(operation, handler, source, monkeypatch):
    kw = {"timeout": 0.5} if source == "keyword" else {}
    if source == "environment":
        monkeypatch.setenv("HARLUNE_TIMEOUT", "0.5")
    started = time.monotonic()
    with pytest.raises(LLMError, match="timed out after 0.5 s"):
        run_against(handler, lambda url: operation(url, KEY, "p", **kw))
    assert time.monotonic() - started < 10


# ---------------------------------------------------------------- settings and arguments

@pytest.mark.parametrize("env, value, match", [
    ("HARLUNE_TIMEOUT", "soon", "HARLUNE_TIMEOUT must be a positive number of seconds"),
    ("HARLUNE_TIMEOUT", "0", "HARLUNE_TIMEOUT must be"),
    ("HARLUNE_TIMEOUT", "nan", "HARLUNE_TIMEOUT must be"),
    ("HARLUNE_TIMEOUT", "-inf", "HARLUNE_TIMEOUT must be"),
    ("HARLUNE_MAX_REPLY_BYTES", "1.5", "HARLUNE_MAX_REPLY_BYTES must be a positive whole number of bytes"),
    ("HARLUNE_MAX_REPLY_BYTES", "-1", "HARLUNE_MAX_REPLY_BYTES must be"),
    (None, {"timeout": -1}, "timeout= must be"),
    (None, {"timeout": "x"}, "timeout= must be"),
    (None, {"max_reply_bytes": 0}, "max_reply_bytes= must be"),
    (None, {"max_reply_bytes": True}, "max_reply_bytes= must be"),
    (None, {"model": 5}, "model= must be a str"),
])
@pytest.mark.parametrize("operation", [llm_response, chat, _collect])
def test_bad_settings(env, value, match, operation, monkeypatch):
    kw = {}
    if env:
        monkeypatch.setenv(env, value)
    else:
        kw = value
    with pytest.raises(LLMError, match=match):
        asyncio.run(operation("http://127.0.0.1:9/x", KEY, "p", **kw))


@pytest.mark.parametrize("url", ["", "not a url", "ftp://example.org/x", "http://", "http://[::1", "http://a b/",
                                 "http://127.0.0.1:99999/x", "\x00"])
@pytest.mark.parametrize("operation", [llm_response, chat, _collect])
def test_invalid_endpoints(url, operation):
    with pytest.raises(LLMError) as info:
        asyncio.run(operation(url, KEY, "p"))
    assert_no_key(info)


# ---------------------------------------------------------------- the lenient parser

@pytest.mark.parametrize("content, match", [
    ('{"a": ' * 5000 + "1" + "}" * 5000, "holds no JSON object"),  # deeper than the JSON parser goes
    ("{'a': " * 5000 + "1" + "}" * 5000, "holds no JSON object"),
    ('{"a": ' * 150 + "1" + "}" * 150, "nested more than 100 levels"),
    ("{'a': [" + "1, " * 200_000 + "]}", "lenient parser reads at most"),
    (("```\n{'a': x" + " " * 100_000 + "}\n```\n") * 5, "lenient parser reads at most"),  # a budget for all
])
def test_parser_is_bounded(content, match):
    with pytest.raises(ValueError, match=match):
        parse_json_object(content)
    with pytest.raises(LLMError, match=match):
        run_against(replying(whole(completion(content))), lambda url: llm_response(url, KEY, "p"))


# ---------------------------------------------------------------- proxies

def recording_proxy():
    async def handler(request, reader, writer):
        writer.write(whole(completion('{"via": "proxy"}')))
    return handler


def test_proxy_from_the_environment_is_used(monkeypatch):
    async def main():
        async with serve(recording_proxy()) as proxy:
            monkeypatch.setenv("HTTP_PROXY", proxy.url)
            assert await llm_response("http://model.test" + PATH, KEY, "p") == {"via": "proxy"}
            monkeypatch.delenv("HTTP_PROXY")
            monkeypatch.setenv("ALL_PROXY", proxy.url)
            assert await chat("http://model.test" + PATH, KEY, "p") == '{"via": "proxy"}'
            monkeypatch.setenv("NO_PROXY", "model.test")
            with pytest.raises(LLMError, match="failed"):
                await chat("http://model.test" + PATH, KEY, "p")
        assert [r.target for r in proxy.requests] == ["http://model.test" + PATH] * 2
        assert proxy.requests[0].headers["authorization"] == f"Bearer {KEY}"

    asyncio.run(main())


def test_loopback_endpoints_bypass_the_proxy(monkeypatch):
    async def main():
        async with serve(recording_proxy()) as proxy, serve(replying(whole(completion("direct")))) as target:
            monkeypatch.setenv("HTTP_PROXY", proxy.url)
            assert await chat(target.url + PATH, KEY, "p") == "direct"
            assert await chat(target.url.replace("127.0.0.1", "localhost") + PATH, KEY, "p") == "direct"
        assert proxy.requests == []

    asyncio.run(main())


def test_broken_proxy_setting_is_an_llm_error(monkeypatch):
    monkeypatch.setenv("HTTP_PROXY", "gopher://nowhere:1")
    with pytest.raises(LLMError):
        asyncio.run(chat("http://model.test" + PATH, KEY, "p"))


# ---------------------------------------------------------------- the key in every form

def key_forms(key):
    raw = key.encode()
    quoted = quote(key, safe="")
    return {
        "plain": key,
        "json": json.dumps(key)[1:-1],
        "json with escaped slash": json.dumps(key)[1:-1].replace("/", "\\/"),
        "json unicode escapes": "".join(f"\\u{ord(c):04X}" for c in key),
        "python repr": repr(key)[1:-1],
        "url-encoded": quoted,
        "url-encoded, lower-case hex": "".join(p[:2].lower() + p[2:] for p in quoted.split("%")[1:])
        and quoted.split("%")[0] + "".join("%" + p[:2].lower() + p[2:] for p in quoted.split("%")[1:]),
        "url path quoting": quote(key),
        "form quoting": quote_plus(key),
        "html entities": "".join(f"&#{ord(c)};" for c in key),
        "base64": base64.b64encode(raw).decode(),
        "base64 unpadded": base64.b64encode(raw).decode().rstrip("="),
        "base64 url-safe": base64.urlsafe_b64encode(raw).decode(),
        "base64 of bearer header": base64.b64encode(b"Bearer " + raw).decode(),
        "base64 of basic credentials": base64.b64encode(b"user:" + raw).decode(),
        "base64 url-safe of basic credentials": base64.urlsafe_b64encode(b"u:" + raw).decode().rstrip("="),
        "hex": raw.hex(),
    }


FORMS = key_forms(KEY)


def assert_no_key(info_or_text):
    if isinstance(info_or_text, str):
        text = info_or_text
    else:
        exc = info_or_text.value
        text = "".join(traceback.format_exception(type(exc), exc, exc.__traceback__)) + repr(exc.args)
        stack = traceback.TracebackException(type(exc), exc, exc.__traceback__, capture_locals=True).stack
        text += "".join(repr(frame.locals) for frame in stack if "/harlune/" in frame.filename)
        assert exc.__cause__ is None and exc.__context__ is None
    for name, form in FORMS.items():
        assert form not in text, name


def echo_in_error(form):
    return replying(whole(f"bad key <<{form}>>".encode(), status=401, content_type="text/plain"))


def echo_in_document(form):
    return replying(whole(f"<html>{form}</html>".encode(), content_type="text/html"))


@pytest.mark.parametrize("form", FORMS.values(), ids=FORMS.keys())
@pytest.mark.parametrize("server", [echo_in_error, echo_in_document])
@pytest.mark.parametrize("operation", [llm_response, chat, _collect])
def test_key_scrubbed_from_errors(form, server, operation):
    with pytest.raises(LLMError) as info:
        run_against(server(form), lambda url: operation(url, KEY, "p"))
    assert_no_key(info)
    if not (operation is _collect and server is echo_in_document):  # a stream's error quotes no page
        assert "***" in str(info.value)


@pytest.mark.parametrize("form", FORMS.values(), ids=FORMS.keys())
def test_key_scrubbed_from_replies(form):
    record = {"answer": f"<<{form}>>", "nested": [{"deep": form, form: (1, form)}], "n": 3, "ok": None}
    content = json.dumps(record)
    got = run_against(replying(whole(completion(content))), lambda url: llm_response(url, KEY, "p"))
    assert_no_key(json.dumps(got))
    assert got["answer"].startswith("<<") and "***" in got["answer"] and got["n"] == 3 and got["ok"] is None
    text = run_against(replying(whole(completion(content))), lambda url: chat(url, KEY, "p"))
    assert_no_key(text)
    assert text.startswith('{"answer": "<<')


@pytest.mark.parametrize("form", FORMS.values(), ids=FORMS.keys())
def test_key_scrubbed_across_stream_pieces(form):
    text = f"前文 <<{form}>> 后文 s"
    for size in (1, 2, 5):
        pieces = [text[i:i + size] for i in range(0, len(text), size)]
        got = run_against(replying(head(content_type="text/event-stream") + sse(*pieces)), _collect)
        assert_no_key(got)
        assert got.startswith("前文 <<") and got.endswith(">> 后文 s") and "***" in got


@given(st.lists(st.sampled_from(["x", "s", "sk-", " ", "%", "%73", "\\u00", "&#", "+", "答"] + list(FORMS.values())),
                max_size=12),
       st.lists(st.integers(1, 40), min_size=1, max_size=30))
def test_piecewise_scrubbing_equals_whole_text_scrubbing(parts, sizes):
    text = "".join(parts)
    key = harlune.scrub.Key(KEY)
    scrubber = harlune.scrub.StreamScrubber(key)
    out, pos, i = [], 0, 0
    while pos < len(text):
        size = sizes[i % len(sizes)]
        out.append(scrubber.push(text[pos:pos + size]))
        pos, i = pos + size, i + 1
    out.append(scrubber.flush())
    assert "".join(out) == key.scrub(text)


def test_stream_passes_ordinary_text_unchanged():
    text = "sk-Ab3 is not the key; %73k \\u0073 &#115; ss" * 3
    got = run_against(replying(head(content_type="text/event-stream") + sse(*text)), _collect)
    assert got == text


def test_key_hidden_from_reprs_and_locals():
    async def main(url):
        coro = llm_response(url, KEY, "p")
        stream = chat_stream(url, KEY, "p")
        assert KEY not in repr(coro) and KEY not in repr(stream)
        with pytest.raises(LLMError) as info:
            await coro
        assert_no_key(info)
        with pytest.raises(LLMError) as info:
            await stream.__anext__()
        assert_no_key(info)

    async def handler(request, reader, writer):
        writer.write(whole(f"nope {KEY}".encode(), status=403))

    run_against(handler, main)


def test_server_closing_mid_reply_is_an_llm_error():
    async def handler(request, reader, writer):
        writer.write(head(Content_Length=1000) + b'{"choices"')
        await writer.drain()

    with pytest.raises(LLMError, match="failed"):
        run_against(handler, lambda url: chat(url, KEY, "p"))
