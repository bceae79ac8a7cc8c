"""Defaults, bounds and the client's environment, read here and nowhere else in the package.

``HARLUNE_MODEL`` (``model=``)
    the model name put into each request (default ``"default"``)
``HARLUNE_TIMEOUT`` (``timeout=``)
    seconds allowed for a whole exchange (default 120)
``HARLUNE_MAX_REPLY_BYTES`` (``max_reply_bytes=``)
    the largest reply accepted, raw and inflated (default 16 MiB)
``SSL_CERT_FILE``, ``SSL_CERT_DIR``
    certificates trusted for TLS endpoints (default: the system's)

Keyword arguments win over the environment; an empty variable counts as unset.
The proxy variables (``HTTPS_PROXY``, ``HTTP_PROXY``, ``ALL_PROXY``,
``NO_PROXY``) are read by the HTTP library itself.
"""
from __future__ import annotations

import math
import os

from .errors import LLMError

MODEL_ENV = "HARLUNE_MODEL"
TIMEOUT_ENV = "HARLUNE_TIMEOUT"
MAX_REPLY_ENV = "HARLUNE_MAX_REPLY_BYTES"
CERT_FILE_ENV = "SSL_CERT_FILE"
CERT_DIR_ENV = "SSL_CERT_DIR"

DEFAULT_MODEL = "default"
DEFAULT_TIMEOUT = 120.0
DEFAULT_MAX_REPLY_BYTES = 16 * 1024 * 1024
LENIENT_MAX_CHARS = 256 * 1024
MAX_DEPTH = 100


def positive_number(value, name: str, *, integer: bool) -> float | int:
    """``value`` as a positive number (a whole one when ``integer``); LLMError naming ``name`` otherwise."""
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
        return positive_number(value, f"{keyword}=", integer=integer)
    text = os.environ.get(env)
    if text:
        return positive_number(text.strip(), env, integer=integer)
    return default


def model_name(value: str | None) -> str:
    if value is not None and not isinstance(value, str):
        raise LLMError(f"model= must be a str, not {type(value).__name__}")
    return value if value is not None else os.environ.get(MODEL_ENV) or DEFAULT_MODEL


def timeout_seconds(value) -> float:
    return _setting(value, TIMEOUT_ENV, "timeout", DEFAULT_TIMEOUT, integer=False)


def reply_cap(value) -> int:
    return _setting(value, MAX_REPLY_ENV, "max_reply_bytes", DEFAULT_MAX_REPLY_BYTES, integer=True)


def cert_settings() -> tuple[str | None, str | None]:
    """The certificate file and folder the TLS context is built from (part of its cache key)."""
    return os.environ.get(CERT_FILE_ENV), os.environ.get(CERT_DIR_ENV)
