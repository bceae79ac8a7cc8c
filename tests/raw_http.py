"""A bare HTTP/1.1 server on 127.0.0.1 for replies a framework will not send: dripping, endless,
compressed by hand, server-sent events, hanging mid-stream."""
import asyncio
import contextlib
import json
from dataclasses import dataclass, field


@dataclass
class Request:
    method: str
    target: str
    headers: dict
    body: bytes

    def json(self):
        return json.loads(self.body)


@dataclass
class Server:
    url: str
    requests: list = field(default_factory=list)
    closed: asyncio.Event = field(default_factory=asyncio.Event)  # set when a client connection ends


async def read_request(reader) -> Request:
    head = await reader.readuntil(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    method, target, _ = lines[0].split(" ", 2)
    headers = {}
    for line in lines[1:]:
        if ":" in line:
            name, value = line.split(":", 1)
            headers[name.strip().lower()] = value.strip()
    body = await reader.readexactly(int(headers.get("content-length", "0")))
    return Request(method, target, headers, body)


def head(status=200, content_type="application/json", **headers) -> bytes:
    lines = [f"HTTP/1.1 {status} X", f"Content-Type: {content_type}", "Connection: close"]
    lines += [f"{name.replace('_', '-')}: {value}" for name, value in headers.items()]
    return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")


def whole(body: bytes, status=200, content_type="application/json", **headers) -> bytes:
    return head(status, content_type, Content_Length=len(body), **headers) + body


def chunk(data: bytes) -> bytes:
    return f"{len(data):x}\r\n".encode() + data + b"\r\n"


def completion(content) -> bytes:
    return json.dumps({"choices": [{"index": 0, "message": {"role": "assistant", "content": content}}]}).encode()


def sse(*events: str, done=True) -> bytes:
    """A complete event-stream body; each event is a text piece (dict: sent as is)."""
    out = []
    for e in events:
        data = e if isinstance(e, dict) else {"choices": [{"index": 0, "delta": {"content": e}}]}
        out.append(f"data: {json.dumps(data)}\n\n")
    if done:
        out.append("data: [DONE]\n\n")
    return "".join(out).encode()


@contextlib.asynccontextmanager
async def serve(handler):
    """Runs ``await handler(request, reader, writer)`` for every connection; yields a Server."""
    tasks = set()
    state = None

    async def on_connection(reader, writer):
        tasks.add(asyncio.current_task())
        try:
            request = await read_request(reader)
            state.requests.append(request)
            await handler(request, reader, writer)
            await writer.drain()
        except (ConnectionError, asyncio.IncompleteReadError, asyncio.CancelledError):
            pass
        finally:
            state.closed.set()
            writer.close()

    server = await asyncio.start_server(on_connection, "127.0.0.1", 0)
    state = Server(f"http://127.0.0.1:{server.sockets[0].getsockname()[1]}")
    try:
        yield state
    finally:
        server.close()
        for task in list(tasks):
            task.cancel()
        await asyncio.gather(*tasks, return_exceptions=True)


async def wait_closed_by_client(reader, limit=30.0):
    """Returns once the client closed its end (EOF); the limit only guards against a hang."""
    async def drain():
        while await reader.read(1024):
            pass
    await asyncio.wait_for(drain(), limit)
