"""Question transforms for ``corvane eval --robustness``: how much a ranker
loses when owners type differently from the labelled questions.

* ``traditional``: the question in Traditional characters (OpenCC's s2t
  tables, from the opencc-python-reimplemented package);
* ``homophone``: one Han character replaced by another of the same pinyin
  (tone ignored), as a slip of pinyin input would (pypinyin's readings);
* ``full-width``: ASCII letters, digits and spaces in their full-width forms.

The transforms are deterministic (the replaced character is chosen from the
question's own text), so runs compare.  The two tables come from the
``robustness`` extra (``pip install 'corvane[robustness]'``).
"""
from __future__ import annotations

import hashlib
import unicodedata
from dataclasses import replace
from functools import lru_cache
from typing import Any, Callable

from corvane.cli_errors import CliError

TRANSFORMS = ("traditional", "homophone", "full-width")

# Characters left alone by the homophone transform: question words and
# particles, which a slip there would not hide the topic.
_KEEP = set("怎么样什吗呢吧啊的了是有没在哪里儿个些多少可以能会要如何办为")


def _need(module: str):
    import importlib

    try:
        return importlib.import_module(module)
    except ImportError:
        raise CliError("--robustness needs opencc-python-reimplemented and pypinyin "
                       "(pip install 'corvane[robustness]')") from None


@lru_cache(maxsize=1)
def _s2t():
    return _need("opencc").OpenCC("s2t")


def to_traditional(q: str) -> str:
    return _s2t().convert(q)


def to_full_width(q: str) -> str:
    out = []
    for c in q:
        if c == " ":
            out.append("\u3000")
        elif "!" <= c <= "~" and c.isalnum():
            out.append(chr(ord(c) + 0xFEE0))
        else:
            out.append(c)
    return "".join(out)


def _toneless(reading: str) -> str:
    base = unicodedata.normalize("NFD", reading)
    return "".join(c for c in base if not unicodedata.combining(c))


@lru_cache(maxsize=1)
def _by_sound() -> dict[str, list[str]]:
    """toneless reading -> common characters (GB 2312 level 1) read so."""
    pinyin_dict = _need("pypinyin.pinyin_dict").pinyin_dict
    out: dict[str, list[str]] = {}
    for cp, readings in pinyin_dict.items():
        ch = chr(cp)
        try:
            b = ch.encode("gb2312")
        except UnicodeEncodeError:
            continue
        if len(b) != 2 or not (0xB0 <= b[0] <= 0xD7):  # level 1: the 3755 most used
            continue
        out.setdefault(_toneless(readings.split(",")[0]), []).append(ch)
    return out


def _reading(ch: str) -> str | None:
    pinyin_dict = _need("pypinyin.pinyin_dict").pinyin_dict
    r = pinyin_dict.get(ord(ch))
    return _toneless(r.split(",")[0]) if r else None


def with_homophone(q: str) -> str:
    """q with one Han character (chosen by a hash of q) replaced by a common
    character of the same reading; q itself when none can be."""
    spots = []
    for i, ch in enumerate(q):
        if "\u4e00" <= ch <= "\u9fff" and ch not in _KEEP:
            r = _reading(ch)
            alts = [a for a in _by_sound().get(r or "", []) if a != ch]
            if alts:
                spots.append((i, alts))
    if not spots:
        return q
    h = int.from_bytes(hashlib.sha256(q.encode("utf-8")).digest()[:8], "big")
    i, alts = spots[h % len(spots)]
    return q[:i] + alts[(h >> 16) % len(alts)] + q[i + 1:]


def transform(name: str) -> Callable[[str], str]:
    return {"traditional": to_traditional, "homophone": with_homophone, "full-width": to_full_width}[name]


def robustness(questions: list, index: list[dict], ranker, top_k: int, evaluate) -> dict[str, Any]:
    """{"original" and each transform: {hit@1, hit@3, hit@k, refused, changed}} of
    the answerable questions; `evaluate` is corvane.evaluate.evaluate."""
    out: dict[str, Any] = {}
    base = evaluate(questions, index, ranker, top_k)["answerable"]
    out["original"] = {**base, "changed": 0}
    for name in TRANSFORMS:
        fn = transform(name)
        moved = [replace(q, q=fn(q.q)) for q in questions]
        figures = evaluate(moved, index, ranker, top_k)["answerable"]
        changed = sum(a.q != b.q for a, b in zip(questions, moved) if a.targets)
        out[name] = {**figures, "changed": changed}
    return out


def format_robustness(name: str, result: dict[str, Any], top_k: int) -> str:
    lines = [f"robustness of {name} (answerable questions; loss against the original in points)",
             f"  {'set':12} {'hit@1':>7} {'hit@3':>7} {f'hit@{top_k}':>7} {'loss@3':>7} {'refused':>8} {'changed':>8}"]
    orig = result["original"]
    for set_name, f in result.items():
        def pct(v):
            return "-" if v is None else f"{100 * v:.1f}%"
        loss = "" if set_name == "original" or f.get("hit@3") is None else f"{100 * (orig['hit@3'] - f['hit@3']):.1f}"
        lines.append(f"  {set_name:12} {pct(f.get('hit@1')):>7} {pct(f.get('hit@3')):>7} {pct(f.get(f'hit@{top_k}')):>7} "
                     f"{loss:>7} {pct(f.get('refused')):>8} {f['changed']:>8}")
    return "\n".join(lines)
