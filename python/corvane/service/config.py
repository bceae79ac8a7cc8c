"""Every limit of the service in one table: its flag, default and meaning.

``corvane serve`` builds its options from ``LIMITS`` and the reliability notes
in docs/service.md list the same rows.  Defaults that depend on the host (open
files, processors) are worked out by ``default_of``.
"""
from __future__ import annotations

import os
from dataclasses import dataclass
from typing import Any, Callable

MAX_PROMPT_ENV = "CORVANE_MAX_PROMPT_BYTES"
DEFAULT_MAX_PROMPT_BYTES = 4 << 20
HIGHEST_PROMPT_BYTES = 1 << 40
LOCAL_HOSTS = ("localhost", "127.0.0.1", "::1", "localhost.localdomain", "ip6-localhost")
WILDCARD_ADDRESSES = ("0.0.0.0", "::", "")


@dataclass(frozen=True)
class Limit:
    name: str  # keyword of create_app / the server configuration
    flag: str
    default: Any  # a value, or a callable giving the host's default
    help: str
    kind: str = "int"  # int (1 or more), count (0 or more), seconds, list
    where: str = "app"  # app: create_app keyword; server: uvicorn / connection level


def _open_files() -> int:
    try:
        import resource

        soft, _ = resource.getrlimit(resource.RLIMIT_NOFILE)
        if soft > 0:
            return soft
    except (ImportError, OSError, ValueError):
        pass
    return 1024


def default_max_connections() -> int:
    """Half the open-files limit (the rest for index files, model calls, logs), 64 to 4096."""
    return max(64, min(4096, _open_files() // 2))


def default_max_model_calls() -> int:
    """Four calls per processor, 4 to 32: model calls wait on the network, not on this host."""
    return max(4, min(32, 4 * (os.cpu_count() or 1)))


LIMITS: tuple[Limit, ...] = (
    Limit("max_header_bytes", "--max-header-bytes", 64 * 1024,
          "largest request line and header block; past it 431", where="server"),
    Limit("header_timeout", "--header-timeout", 10.0,
          "time a client has to send a whole request head; past it 408 and the connection closes",
          kind="seconds", where="server"),
    Limit("keep_alive_timeout", "--keep-alive-timeout", 5.0,
          "an idle kept-alive connection is closed after this", kind="seconds", where="server"),
    Limit("max_connections", "--max-connections", default_max_connections,
          "open connections and requests at once; past it 503 (default: half the open-files limit)",
          where="server"),
    Limit("trusted_proxies", "--trusted-proxy", (),
          "address of a proxy whose X-Forwarded-For/-Proto are believed (repeat; default: none)",
          kind="list", where="server"),
    Limit("max_model_calls", "--max-model-calls", default_max_model_calls,
          "model calls at once (default: 4 per processor, 4 to 32)"),
    Limit("model_queue", "--model-queue", 16,
          "answers that may wait for a model call slot (0: none); past it 429 with Retry-After", kind="count"),
    Limit("model_queue_wait", "--model-queue-wait", 10.0,
          "longest wait for a model call slot; past it 429 with Retry-After", kind="seconds"),
    Limit("max_template_bytes", "--max-template-bytes", 16 * 1024,
          "largest prompt_template of /v1/prompt (UTF-8 bytes); past it 413"),
    Limit("allowed_hosts", "--allowed-host", (),
          "Host header value accepted (repeat; default: the bound address and localhost names; '*': any)",
          kind="list"),
    Limit("cors_origins", "--cors-origin", (),
          "origin whose pages may call the API from a browser (repeat; default: none, CORS off)", kind="list"),
    Limit("reload_compile_wait", "--reload-compile-wait", 10.0,
          "after the JSON-lines index changed, how long to wait for its compiled file before "
          "compiling it in a child process", kind="seconds"),
)

LIMITS_BY_NAME = {limit.name: limit for limit in LIMITS}

# Fixed bounds with no flag.
STALL_SECONDS = 0.1  # an event loop late by more than this is a stall: logged and counted
STALL_PROBE_SECONDS = 0.05


def default_of(name: str) -> Any:
    value = LIMITS_BY_NAME[name].default
    return value() if callable(value) else value


def max_prompt_bytes(environ=None) -> int:
    """The bound of a filled prompt: CORVANE_MAX_PROMPT_BYTES (whole bytes, 1 to 2**40), default 4 MiB."""
    from corvane import settings

    return int(settings.get("max_prompt_bytes", environ))


def default_allowed_hosts(bind_host: str | None) -> tuple[str, ...] | None:
    """The Host values accepted when none are configured: localhost names and the
    bound address; None (any) for a wildcard bind, where the address clients use
    is not known here."""
    if bind_host is not None and bind_host in WILDCARD_ADDRESSES:
        return None
    hosts = list(LOCAL_HOSTS)
    if bind_host and bind_host not in hosts:
        hosts.append(bind_host)
    return tuple(hosts)


def parse_value(kind: str, what: str) -> Callable[[str], Any]:
    def parse(text: str):
        if kind == "list":
            return text
        try:
            value = float(text) if kind == "seconds" else int(text)
        except ValueError:
            raise ValueError(f"{what} must be a number, not {text!r}") from None
        if kind == "seconds" and not value >= 0:
            raise ValueError(f"{what} must be 0 or more seconds, not {text!r}")
        if kind == "count" and value < 0:
            raise ValueError(f"{what} must be 0 or more, not {text!r}")
        if kind == "int" and value <= 0:
            raise ValueError(f"{what} must be greater than 0, not {text!r}")
        return value

    return parse
