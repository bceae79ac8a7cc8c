"""Text the service writes out: log lines with no control characters, URLs
with no secrets, and prompt templates filled with a bound."""
from __future__ import annotations

import re
from urllib.parse import SplitResult, urlsplit, urlunsplit

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
    """``url`` without secrets: user-info becomes ***@ and every query value ***."""
    try:
        parts = urlsplit(url)
    except ValueError:
        return MASK
    netloc = parts.netloc
    if "@" in netloc:
        netloc = MASK + "@" + netloc.rpartition("@")[2]
    query = parts.query
    if query:
        pieces = []
        for item in query.split("&"):
            name, eq, _ = item.partition("=")
            pieces.append(f"{name}={MASK}" if eq else item)
        query = "&".join(pieces)
    fragment = MASK if parts.fragment else ""
    return urlunsplit(SplitResult(parts.scheme, netloc, parts.path, query, fragment))


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


class PromptTooLarge(ValueError):
    def __init__(self, size: int, limit: int) -> None:
        super().__init__(f"the filled prompt would exceed {limit} bytes")
        self.size, self.limit = size, limit


_MARKERS = re.compile("__INPUT__|__KNOWLEDGE__|__TIME__")


def fill_template(template: str, values: dict[str, str], limit: int) -> str:
    """``template`` with each marker it holds (__INPUT__, __KNOWLEDGE__, __TIME__)
    replaced by its value, in one pass over the template: a marker inside a
    value stays text.  Raises PromptTooLarge before building a result past
    ``limit`` UTF-8 bytes."""
    sizes = {name: len(value.encode("utf-8")) for name, value in values.items()}
    total = 0
    pieces = []
    last = 0
    for match in _MARKERS.finditer(template):
        literal = template[last:match.start()]
        total += len(literal.encode("utf-8")) + sizes[match.group()]
        if total > limit:
            raise PromptTooLarge(total, limit)
        pieces.append(literal)
        pieces.append(values[match.group()])
        last = match.end()
    tail = template[last:]
    total += len(tail.encode("utf-8"))
    if total > limit:
        raise PromptTooLarge(total, limit)
    pieces.append(tail)
    return "".join(pieces)
