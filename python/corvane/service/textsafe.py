"""Text the service writes out: log lines with no control characters, URLs
with no secrets.  (Templates are filled natively by ``Engine.answer``.)"""
from __future__ import annotations

import re
from urllib.parse import urlsplit

# C0 controls, DEL, C1 controls (U+0085 among them) and the Unicode line and
# paragraph separators: each can end a log line or drive a terminal.
_UNSAFE = re.compile("[\x00-\x1f\x7f-\x9f\u2028\u2029]")


def _escape_one(match: re.Match) -> str:
    return f"\\u{ord(match.group()):04x}"


def escape_log(text: str) -> str:
    """``text`` with every control and line-separator character written as \\uXXXX
    (valid inside a JSON string too), so one event stays one line."""
    return _UNSAFE.sub(_escape_one, text)


MASK = "***"
_URL = re.compile(r"[A-Za-z][A-Za-z0-9+.-]*://[^\s\"'<>]+")


def mask_url(url: str) -> str:
    """``url`` without secrets, as harlune masks its endpoint in a log line."""
    from harlune import mask_url as harlune_mask_url

    return harlune_mask_url(url)


def mask_urls_in(text: str) -> str:
    """``text`` with every URL in it masked as ``mask_url`` does."""
    return _URL.sub(lambda m: mask_url(m.group()), text)


def url_secrets(url: str) -> list[str]:
    """The secret parts of a URL (user-info, query values), to scrub from any text."""
    try:
        parts = urlsplit(url)
    except ValueError:
        return []
    found = []
    if "@" in parts.netloc:
        userinfo = parts.netloc.rpartition("@")[0]
        found.append(userinfo)
        found.extend(p for p in userinfo.split(":") if p)
    for item in parts.query.split("&"):
        _, eq, value = item.partition("=")
        if eq and len(value) >= 4:  # short values (a flag) are not worth hiding and match too much
            found.append(value)
    return sorted(set(found), key=len, reverse=True)
