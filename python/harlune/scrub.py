"""Keeping the access key out of every text that leaves the client, and URLs fit for logs."""
from __future__ import annotations

import base64
import functools
import re
import urllib.parse

from .config import MAX_DEPTH
from .errors import LLMError

DETAIL_LIMIT = 300
_DETAIL_SOURCE = 4096


def _char_forms(c: str) -> str:
    """A regex for one key character written plainly or in any common escape."""
    o = ord(c)

    def hexci(value: int, width: int) -> str:
        return "".join(f"[{d.lower()}{d.upper()}]" if d.isalpha() else d for d in f"{value:0{width}x}")

    forms = [re.escape(c), "%" + hexci(o, 2), r"\\u" + hexci(o, 4), r"\\x" + hexci(o, 2),
             f"&#{o};", "&#[xX]" + hexci(o, 2) + ";"]
    if c in "/\"\\'":
        forms.append(re.escape("\\" + c))
    if c == " ":
        forms.append(r"\+")
    return "(?:" + "|".join(forms) + ")"


@functools.lru_cache(maxsize=128)
def _char_spellings(c: str) -> tuple[tuple[str, ...], tuple[str, ...]]:
    """The spellings of one key character: compared exactly, and compared in lower case (hex escapes)."""
    o = ord(c)
    plain = [c, f"&#{o};"]
    if c in "/\"\\'":
        plain.append("\\" + c)
    if c == " ":
        plain.append("+")
    return tuple(plain), (f"%{o:02x}", f"\\u{o:04x}", f"\\x{o:02x}", f"&#x{o:02x};")


def _base64_cores(raw: bytes) -> set[str]:
    """The part of a base64 text that depends only on ``raw``, wherever ``raw`` sits in the encoded data."""
    cores = set()
    for align in range(3):
        encoded = base64.b64encode(b"\0" * align + raw).decode("ascii")
        start = -(-8 * align // 6)
        end = 8 * (align + len(raw)) // 6
        core = encoded[start:end]
        cores.add(core)
        cores.add(core.replace("+", "-").replace("/", "_"))
    return cores


class Key:
    """The access key, with the scrubber for its forms; its repr never shows it."""

    __slots__ = ("_value", "_pattern", "_starts", "_extras", "max_form")

    def __init__(self, value: str) -> None:
        self._value = value
        self._pattern = None
        self._starts = frozenset()
        self._extras: list[str] = []
        self.max_form = 0
        if not value:
            return
        alternatives = ["".join(_char_forms(c) for c in value)]
        starts = {value[0], "%", "\\", "&", "+"}
        longest = 6 * len(value)
        if len(value) >= 6:
            raw = value.encode("utf-8")
            extra = _base64_cores(raw) | {raw.hex(), raw.hex().upper()}
            extra = sorted((e for e in extra if len(e) >= 8), key=len, reverse=True)
            alternatives += [re.escape(e) for e in extra]
            self._extras = extra
            starts |= {e[0] for e in extra}
            longest = max([longest] + [len(e) for e in extra])
        self._pattern = re.compile("|".join(alternatives))
        self._starts = frozenset(starts)
        self.max_form = longest

    def __repr__(self) -> str:
        return "<access key hidden>"

    __str__ = __repr__

    def __reduce__(self):
        raise TypeError("the access key cannot be pickled")

    def authorization(self) -> str | None:
        return f"Bearer {self._value}" if self._value else None

    def scrub(self, text: str) -> str:
        if self._pattern is None or not text:
            return text
        return self._pattern.sub("***", text)

    def safe_prefix_length(self, text: str) -> int:
        """How much of ``text`` (already scrubbed) cannot hold the beginning of a key form cut at its end."""
        if self._pattern is None:
            return len(text)
        for i in range(max(0, len(text) - self.max_form + 1), len(text)):
            if text[i] in self._starts and self._could_start(text[i:]):
                return i
        return len(text)

    def _could_start(self, rest: str) -> bool:
        """Whether ``rest`` is the beginning of some form of the key."""
        if any(e.startswith(rest) for e in self._extras):
            return True
        positions = {0}
        for c in self._value:
            plain, folded = _char_spellings(c)
            following = set()
            for p in positions:
                tail = rest[p:]
                if not tail:
                    return True
                lowered = tail[:6].lower()
                for form in plain:
                    if tail.startswith(form):
                        following.add(p + len(form))
                    elif form.startswith(tail):
                        return True
                for form in folded:
                    if lowered.startswith(form):
                        following.add(p + len(form))
                    elif form.startswith(lowered):
                        return True
            if not following:
                return False
            positions = following
        return True

    def scrub_value(self, value, depth: int = 0):
        """``value`` with every string in it scrubbed (dict keys, lists, tuples, sets included)."""
        if isinstance(value, str):
            return self.scrub(value)
        if depth > MAX_DEPTH:
            raise LLMError(f"the reply is nested more than {MAX_DEPTH} levels deep")
        if isinstance(value, dict):
            return {self.scrub_value(k, depth + 1): self.scrub_value(v, depth + 1) for k, v in value.items()}
        if isinstance(value, list):
            return [self.scrub_value(v, depth + 1) for v in value]
        if isinstance(value, (tuple, set, frozenset)):
            return type(value)(self.scrub_value(v, depth + 1) for v in value)
        if isinstance(value, bytes):
            return self.scrub(value.decode("latin-1")).encode("latin-1")
        return value


class StreamScrubber:
    """Scrubs a text that arrives in pieces, holding back what may be the start of a key form."""

    def __init__(self, key: Key) -> None:
        self._key = key
        self._pending = ""

    def push(self, piece: str) -> str:
        text = self._key.scrub(self._pending + piece)
        cut = self._key.safe_prefix_length(text)
        self._pending = text[cut:]
        return text[:cut]

    def flush(self) -> str:
        text, self._pending = self._key.scrub(self._pending), ""
        return text


def shorten(text: str, key: Key) -> str:
    """At most ``DETAIL_LIMIT`` characters of ``text`` for an error message, scrubbed."""
    text = key.scrub(text[: _DETAIL_SOURCE + key.max_form])[:_DETAIL_SOURCE]
    text = key.scrub(" ".join(text.split()))
    return text if len(text) <= DETAIL_LIMIT else text[:DETAIL_LIMIT] + "..."



_USERINFO_RE = re.compile(r"^([A-Za-z][A-Za-z0-9+.-]*://)[^/?#@]*@")
_QUERY_VALUE_RE = re.compile(r"([?&;][^=&;#]*=)[^&;#]*")


def mask_url(url: str) -> str:
    """``url`` fit for a log line: user-info and every query value replaced by ``***``.

    ``https://u:p@host/v1?api_key=s&x=1#frag`` becomes ``https://***@host/v1?api_key=***&x=***``
    (a fragment is dropped; a query item without ``=`` is masked whole).  Text that
    does not parse as a URL is masked the same way, by pattern."""
    text = str(url)
    try:
        parts = urllib.parse.urlsplit(text)
    except ValueError:
        return _QUERY_VALUE_RE.sub(r"\1***", _USERINFO_RE.sub(r"\1***@", text.split("#", 1)[0]))
    netloc = parts.netloc
    if "@" in netloc:
        netloc = "***@" + netloc.rpartition("@")[2]
    items = []
    for item in parts.query.split("&") if parts.query else ():
        name, eq, _ = item.partition("=")
        items.append(f"{name}=***" if eq else "***")
    return urllib.parse.urlunsplit((parts.scheme, netloc, parts.path, "&".join(items), ""))
