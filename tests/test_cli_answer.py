"""`corvane ask --answer` against a bare model server on 127.0.0.1: the answer is shown as it
streams, and a broken, slow, interrupted or unread stream ends the command cleanly.

Every step waits for an event (a piece shown, a connection closed), never for a span of time,
except the timeout case, which sets the client's own deadline."""
from __future__ import annotations

import asyncio
import json
import os
import shutil
import signal
import subprocess
import sys
from pathlib import Path

import pytest

from raw_http import head, serve, sse, wait_closed_by_client

EXAMPLES = Path(__file__).parent.parent / "examples" / "data"
PATH = "/v1/chat/completions"
KEY = "sk-SENTINEL-answer-5150"
QUESTION = "爆胎了怎么换备胎"
SOURCES = "\nSources:\n- aster_e5_care: 更换轮胎\n"
LIMIT = 60.0  # guards against a hang only


@pytest.fixture(scope="module")
def home(tmp_path_factory) -> Path:
    """A working folder whose data/ holds the indexed examples."""
    folder = tmp_path_factory.mktemp("answer")
    shutil.copytree(EXAMPLES / "manuals", folder / "data" / "manuals")
    shutil.copy(EXAMPLES / "manual_alias.json", folder / "data" / "manual_alias.json")
    proc = subprocess.run([sys.executable, "-m", "corvane", "index"], cwd=folder, capture_output=True, timeout=120)
    assert proc.returncode == 0, proc.stderr.decode()
    return folder


def environment(**extra) -> dict:
    env = {k: v for k, v in os.environ.items()
           if k not in ("CORVANE_DEBUG", "CORVANE_LLM_URL", "HARLUNE_TIMEOUT", "HARLUNE_MODEL")
           and not k.lower().endswith("_proxy")}
    env.update(PYTHONIOENCODING="utf-8", CORVANE_LLM_KEY=KEY, **extra)
    return env


async def start_ask(home: Path, *args: str, **env) -> asyncio.subprocess.Process:
    return await asyncio.create_subprocess_exec(
        sys.executable, "-m", "corvane", "ask", "--answer", *args, QUESTION, cwd=home, env=environment(**env),
        stdout=asyncio.subprocess.PIPE, stderr=asyncio.subprocess.PIPE)


async def read_until(stream: asyncio.StreamReader, text: str) -> bytes:
    """Reads stdout until it holds `text` (the piece the command has shown by then)."""
    seen = b""
    while text.encode() not in seen:
        chunk = await asyncio.wait_for(stream.read(4096), LIMIT)
        assert chunk, f"stdout ended before {text!r}: {seen.decode()!r}"
        seen += chunk
    return seen


def event(piece: str) -> bytes:
    return sse(piece, done=False)


def one_error_line(err: bytes) -> str:
    text = err.decode()
    assert "Traceback" not in text and KEY not in text
    assert text.count("\n") == 1 and text.startswith("corvane ask: error: "), text
    return text


def test_answer_is_shown_as_it_streams(home):
    """The first piece is on stdout while the model still holds back the rest."""
    go = asyncio.Event()

    async def model(request, reader, writer):
        writer.write(head(content_type="text/event-stream") + event("先打开"))
        await writer.drain()
        await go.wait()
        writer.write(event("危险警告灯。") + sse())

    async def main():
        async with serve(model) as srv:
            proc = await start_ask(home, "--url", srv.url + PATH)
            shown = await read_until(proc.stdout, "先打开")
            go.set()
            out, err = await asyncio.wait_for(proc.communicate(), LIMIT)
            assert proc.returncode == 0, err.decode()
            assert (shown + out).decode() == "先打开危险警告灯。\n" + SOURCES and err == b""
            request = srv.requests[0]
            assert request.json()["stream"] is True and request.headers["authorization"] == f"Bearer {KEY}"

    asyncio.run(main())


def test_stream_cut_off_keeps_what_came_and_says_why(home):
    async def model(request, reader, writer):
        writer.write(head(content_type="text/event-stream") + event("先打开"))

    async def main():
        async with serve(model) as srv:
            proc = await start_ask(home, CORVANE_LLM_URL=srv.url + PATH)
            out, err = await asyncio.wait_for(proc.communicate(), LIMIT)
        assert proc.returncode == 2
        assert out.decode() == "先打开\n"  # no sources: the answer is not whole
        assert "ended before its end marker" in one_error_line(err)

    asyncio.run(main())


@pytest.mark.parametrize("headers_sent", [False, True], ids=["silent", "stalled-mid-stream"])
def test_slow_model_hits_the_deadline(home, headers_sent):
    async def model(request, reader, writer):
        if headers_sent:
            writer.write(head(content_type="text/event-stream") + event("先"))
            await writer.drain()
        await wait_closed_by_client(reader)

    async def main():
        async with serve(model) as srv:
            proc = await start_ask(home, "--url", srv.url + PATH, HARLUNE_TIMEOUT="1")
            out, err = await asyncio.wait_for(proc.communicate(), LIMIT)
            await asyncio.wait_for(srv.closed.wait(), LIMIT)  # the connection did not outlive the command
        assert proc.returncode == 2
        assert out.decode() == ("先\n" if headers_sent else "")
        assert "timed out after 1 s" in one_error_line(err)

    asyncio.run(main())


def test_ctrl_c_closes_the_model_connection(home):
    async def model(request, reader, writer):
        writer.write(head(content_type="text/event-stream") + event("先打开"))
        await writer.drain()
        await wait_closed_by_client(reader)

    async def main():
        async with serve(model) as srv:
            proc = await start_ask(home, "--url", srv.url + PATH)
            shown = await read_until(proc.stdout, "先打开")
            proc.send_signal(signal.SIGINT)
            out, err = await asyncio.wait_for(proc.communicate(), LIMIT)
            await asyncio.wait_for(srv.closed.wait(), LIMIT)
        assert proc.returncode == 130
        assert (shown + out).decode() == "先打开\n"
        assert err.decode() == "corvane ask: interrupted\n"

    asyncio.run(main())


def test_reader_gone_mid_answer_ends_quietly(home):
    """A reader that stops (`| head -c 10`) ends the command with 141, nothing on stderr, and the
    model's connection closed."""
    go = asyncio.Event()

    async def model(request, reader, writer):
        writer.write(head(content_type="text/event-stream") + event("先打开"))
        await writer.drain()
        await go.wait()
        try:
            for _ in range(200):
                writer.write(event("危险警告灯。" * 50))
                await writer.drain()
            writer.write(sse())
        except ConnectionError:
            pass
        await wait_closed_by_client(reader)

    async def main():
        async with serve(model) as srv:
            read_end, write_end = os.pipe()
            proc = await asyncio.create_subprocess_exec(
                sys.executable, "-m", "corvane", "ask", "--answer", "--url", srv.url + PATH, QUESTION, cwd=home,
                env=environment(), stdout=write_end, stderr=asyncio.subprocess.PIPE)
            os.close(write_end)
            shown = b""
            while "先打开".encode() not in shown:
                chunk = await asyncio.wait_for(asyncio.to_thread(os.read, read_end, 4096), LIMIT)
                assert chunk
                shown += chunk
            os.close(read_end)
            go.set()
            err = await asyncio.wait_for(proc.stderr.read(), LIMIT)
            await asyncio.wait_for(proc.wait(), LIMIT)
            await asyncio.wait_for(srv.closed.wait(), LIMIT)
        assert proc.returncode == 141 and err == b""

    asyncio.run(main())
