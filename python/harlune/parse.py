"""Finding the JSON object in a model's message text, leniently but at bounded cost."""
from __future__ import annotations

import ast
import json
import re

from .config import LENIENT_MAX_CHARS, MAX_DEPTH

NO_OBJECT = "the reply holds no JSON object"

_FENCE_RE = re.compile(r"```[A-Za-z0-9_-]*[ \t]*\n?(.*?)```", re.S)
_BARE_WORDS = {"True": "true", "False": "false", "None": "null"}


def _pythonish_to_json(text: str) -> str:
    """Rewrites bare True/False/None outside of JSON strings to their JSON words."""
    out: list[str] = []
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if c == '"':
            j = i + 1
            while j < n and text[j] != '"':
                j += 2 if text[j] == "\\" else 1
            out.append(text[i : j + 1])
            i = j + 1
        elif c.isalpha() or c == "_":
            j = i
            while j < n and (text[j].isalnum() or text[j] == "_"):
                j += 1
            word = text[i:j]
            out.append(_BARE_WORDS.get(word, word))
            i = j
        else:
            out.append(c)
            i += 1
    return "".join(out)


def _candidates(content: str) -> list[str]:
    texts = [m.group(1) for m in _FENCE_RE.finditer(content)]
    texts.append(content)
    found = []
    for t in texts:
        start, end = t.find("{"), t.rfind("}")
        if start >= 0 and end > start:
            found.append(t[start : end + 1])
    return found


def _too_deep(value) -> bool:
    stack = [(value, 0)]
    while stack:
        item, depth = stack.pop()
        if isinstance(item, dict):
            children = list(item.keys()) + list(item.values())
        elif isinstance(item, (list, tuple, set, frozenset)):
            children = list(item)
        else:
            continue
        if depth >= MAX_DEPTH:
            return True
        stack.extend((child, depth + 1) for child in children)
    return False


def parse_json_object(content: str) -> dict:
    """The JSON object in a model's message text; ValueError when there is none.

    Plain JSON is tried on every candidate; the lenient rewrites only while the
    candidates tried so far stay within ``LENIENT_MAX_CHARS``.  An object nested
    more than ``MAX_DEPTH`` levels deep is refused.
    """
    lenient_budget = LENIENT_MAX_CHARS
    reason = NO_OBJECT
    for text in _candidates(content):
        attempts = [json.loads]
        if len(text) <= lenient_budget:
            lenient_budget -= len(text)
            attempts += [lambda t: json.loads(_pythonish_to_json(t)), ast.literal_eval]
        elif reason == NO_OBJECT:
            reason = f"the reply holds no plain JSON object (the lenient parser reads at most {LENIENT_MAX_CHARS} characters)"
        for attempt in attempts:
            try:
                value = attempt(text)
            except (ValueError, SyntaxError, TypeError, RecursionError, MemoryError):
                continue
            if isinstance(value, dict):
                if _too_deep(value):
                    raise ValueError(f"the reply's object is nested more than {MAX_DEPTH} levels deep")
                return value
    raise ValueError(reason)

