"""``corvane report``: what owners asked that the manuals did not answer.

From the feedback store (``--database``, default ``DIR/feedback.db``) over the
last ``--since`` (``7d``, ``12h``, ``30m``, ``2w`` or a date ``2026-12-01``):

* the most frequent refused questions (those logged with ``--log-questions``),
  counted after normalization (case, white space, final punctuation);
* the lowest-rated answers with their question, comment and scenes;
* alias suggestions: for a low-rated answer, the question's words its first
  scene lacks (as ``eval --suggest-aliases`` finds them), and for refused
  questions their frequent topic words -- in both cases without question and
  filler words ("怎么", "咋调", "是什么"…), which are never aliases.

As a table, or one JSON object with ``--json``; ``--plot FILE.png`` draws the
refused questions and the ratings (needs matplotlib).

Registered as a command through ``add_arguments(parser)`` and ``run(args)``.
"""
from __future__ import annotations

import argparse
import json
import os
import re
import sys
import time
from collections import Counter
from datetime import datetime, timezone
from pathlib import Path
from typing import Any, Iterable

from corvane import settings

__all__ = ["add_arguments", "run", "parse_since", "build_report", "format_report", "clean_alias_words",
           "ReportError"]

# Question and filler words that are never aliases, longest first when stripped.
QUESTION_WORDS = (
    "是什么意思", "什么意思", "怎么回事", "怎么办", "怎么样", "怎么弄", "怎么调", "怎么用", "怎么", "怎样", "如何",
    "咋调", "咋办", "咋弄", "咋用", "咋整", "为什么", "为啥", "是什么", "什么", "哪里", "哪儿", "在哪", "哪个",
    "哪些", "多少", "多久", "多长时间", "几次", "是否", "能不能", "可不可以", "可以", "能否", "有没有", "要不要",
    "需要", "请问", "一下", "我想", "我的", "应该", "才行", "才能", "行不行", "好不好", "对不对", "行吗", "好吗",
    "对吗",
)
# only characters that never begin or end a part's name ("能量回收" keeps its 能)
_EDGE_FILLERS = "的了吗呢吧啊呀咋啥"
_PUNCT = re.compile(r"[\s\?？!！,，.。、;；:：\"'“”‘’]+")
SERVE_DEFAULT_DATABASE = "corvane-feedback.db"  # corvane serve's default store, in its working folder
_SINCE = re.compile(r"^\s*(\d+)\s*([mhdw])\s*$")


class ReportError(ValueError):
    pass


def parse_since(text: str, now: float | None = None) -> float:
    """The epoch time a --since value names."""
    now = time.time() if now is None else now
    m = _SINCE.match(text or "")
    if m:
        n, unit = int(m.group(1)), m.group(2)
        return now - n * {"m": 60, "h": 3600, "d": 86400, "w": 7 * 86400}[unit]
    try:
        when = datetime.fromisoformat(text.strip())
    except (ValueError, AttributeError):
        raise ReportError(f"--since: {text!r} is not a period (7d, 12h, 30m, 2w) or a date (2026-12-01)") from None
    if when.tzinfo is None:
        when = when.replace(tzinfo=timezone.utc)
    return when.timestamp()


def clean_alias_words(words: Iterable[str]) -> list[str]:
    """Alias candidates without question words: a candidate is cut at every
    question word and loses filler characters at its ends; what is left of
    two to eight characters is kept."""
    out: list[str] = []
    for word in words:
        text = word
        for q in sorted(QUESTION_WORDS, key=len, reverse=True):
            text = text.replace(q, " ")
        for piece in _PUNCT.sub(" ", text).split():
            piece = piece.strip(_EDGE_FILLERS)
            if 2 <= len(piece) <= 8 and piece not in out:
                out.append(piece)
    return out


def _norm_question(q: str) -> str:
    return re.sub(r"[?？!！。.]+$", "", re.sub(r"\s+", "", q.lower()))


def _index_by_scene(data_dir: Path | None) -> dict[str, dict]:
    if data_dir is None:
        return {}
    path = Path(data_dir) / "scene_index.jsonl"
    out: dict[str, dict] = {}
    try:
        with open(path, encoding="utf-8") as f:
            for line in f:
                try:
                    e = json.loads(line)
                except ValueError:
                    continue
                if isinstance(e, dict) and isinstance(e.get("scene_id"), str):
                    out[e["scene_id"]] = e
    except OSError:
        return {}
    return out


def build_report(store, since: float, *, top: int = 20, data_dir: Path | None = None) -> dict[str, Any]:
    from corvane.evaluate import lacking_words

    refused = store.refused_questions(since)
    groups: dict[str, dict[str, Any]] = {}
    for r in refused:
        key = _norm_question(r["question"])
        g = groups.setdefault(key, {"question": r["question"].strip(), "count": 0, "vehicles": Counter()})
        g["count"] += 1
        if r["vehicle"]:
            g["vehicles"][r["vehicle"]] += 1
    frequent = sorted(groups.values(), key=lambda g: (-g["count"], g["question"]))[:top]
    frequent = [{"question": g["question"], "count": g["count"], "vehicles": dict(g["vehicles"])} for g in frequent]

    low = store.low_rated(since, limit=top)
    index = _index_by_scene(data_dir)
    by_scene: dict[str, list[str]] = {}
    for a in low:
        if a["rating"] > 2 or not a["question"] or not a["scenes"]:
            continue
        first = a["scenes"][0]
        entry = index.get(first.get("scene_id"))
        title = first.get("title") or (entry or {}).get("scene_title")
        if not title:
            continue
        raw = lacking_words(a["question"], entry) if entry else [a["question"]]
        have = set((entry or {}).get("aliases") or [])
        bucket = by_scene.setdefault(title, [])
        bucket.extend(w for w in clean_alias_words(raw) if w not in have and w not in bucket and w != title)
    uncovered = Counter()
    for g in groups.values():
        for w in clean_alias_words([g["question"]]):
            uncovered[w] += g["count"]
    return {
        "since": datetime.fromtimestamp(since, tz=timezone.utc).isoformat(timespec="seconds"),
        "counts": store.counts(since),
        "refused_questions": frequent,
        "lowest_rated": low,
        "alias_suggestions": {t: ws for t, ws in by_scene.items() if ws},
        "uncovered_terms": [{"term": t, "count": c} for t, c in uncovered.most_common(top)],
    }


def format_report(rep: dict[str, Any]) -> str:
    c = rep["counts"]
    avg = "-" if c["average_rating"] is None else f"{c['average_rating']:.2f}"
    lines = [f"since {rep['since']}: {c['answers']} answers, {c['refused']} refused, "
             f"{c['rated']} rated (average {avg})", "", "Most frequent refused questions"]
    if rep["refused_questions"]:
        lines.append(f"  {'count':>5}  question")
        for g in rep["refused_questions"]:
            veh = f"  [{', '.join(g['vehicles'])}]" if g["vehicles"] else ""
            lines.append(f"  {g['count']:>5}  {g['question']}{veh}")
    else:
        lines.append("  (none logged: the service logs them with --log-questions)")
    lines += ["", "Lowest-rated answers"]
    if rep["lowest_rated"]:
        lines.append(f"  {'rating':>6}  answer id                         question / comment")
        for a in rep["lowest_rated"]:
            q = a["question"] if a["question"] else "(question not logged)"
            scene = f"  -> {a['scenes'][0].get('title')}" if a["scenes"] else ""
            lines.append(f"  {a['rating']:>6}  {a['answer_id']}  {q}{scene}")
            if a["comment"]:
                lines.append(f"  {'':>6}  {'':32}  “{a['comment']}”")
    else:
        lines.append("  (none)")
    lines += ["", "Alias suggestions (data/manual_alias.json format)"]
    if rep["alias_suggestions"]:
        for title, words in rep["alias_suggestions"].items():
            lines.append(f"  {title}: {', '.join(words)}")
    else:
        lines.append("  (none)")
    if rep["uncovered_terms"]:
        lines += ["", "Words of refused questions (a missing alias or a topic the manuals lack)",
                  "  " + ", ".join(f"{t['term']} ({t['count']})" for t in rep["uncovered_terms"])]
    return "\n".join(lines)


def plot(rep: dict[str, Any], path: Path) -> None:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        raise ReportError("--plot needs matplotlib (pip install 'corvane[plot]')") from None
    fig, (ax1, ax2) = plt.subplots(1, 2, figsize=(11, 4.5))
    qs = rep["refused_questions"][:10][::-1]
    ax1.barh(range(len(qs)), [g["count"] for g in qs])
    ax1.set_yticks(range(len(qs)), [f"#{len(qs) - i}" for i in range(len(qs))])
    ax1.set_title("refused questions (see the table for #n)")
    ax1.set_xlabel("times asked")
    ratings = Counter(a["rating"] for a in rep["lowest_rated"])
    ax2.bar(range(1, 6), [ratings.get(r, 0) for r in range(1, 6)])
    ax2.set_xticks(range(1, 6))
    ax2.set_title("ratings of the lowest-rated answers")
    ax2.set_xlabel("rating")
    fig.tight_layout()
    try:
        fig.savefig(path)
    except OSError as exc:
        raise ReportError(f"--plot: {path}: {exc.strerror or exc}") from None
    finally:
        plt.close(fig)


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--since", default="7d", help="period (7d, 12h, 30m, 2w) or date (default 7d)")
    parser.add_argument("--database", metavar="URL",
                        help="feedback store: a file, sqlite:///FILE or postgresql://… "
                             "(default $CORVANE_DATABASE, else ./corvane-feedback.db, else DIR/feedback.db)")
    if not any("--data-dir" in a.option_strings for a in parser._actions):
        parser.add_argument("--data-dir", default="data", help="the data folder (default ./data)")
    parser.add_argument("--top", type=int, default=20, help="rows per list (default 20)")
    parser.add_argument("--json", action="store_true", help="one JSON object instead of the tables")
    parser.add_argument("--plot", metavar="FILE.png", help="draw the refused questions and ratings")


def run(args: argparse.Namespace) -> int:
    from corvane.feedback import DEFAULT_DATABASE, FeedbackError, open_store

    try:
        since = parse_since(args.since)
        if args.top < 1:
            raise ReportError(f"--top: must be at least 1, not {args.top}")
        data_dir = Path(getattr(args, "data_dir", None) or "data")
        url = args.database or settings.get("database").strip()
        if not url:
            # where `corvane serve` keeps it by default (its working folder), else the older DIR/feedback.db
            candidates = [Path(SERVE_DEFAULT_DATABASE), data_dir / DEFAULT_DATABASE]
            found = next((c for c in candidates if c.exists()), None)
            if found is None:
                raise ReportError(f"--database: {candidates[0]}: no feedback store (the service writes it; "
                                  "or give --database)")
            url = str(found)
        with open_store(url) as store:
            rep = build_report(store, since, top=args.top, data_dir=data_dir)
        if args.plot:
            plot(rep, Path(args.plot))
    except (ReportError, FeedbackError) as exc:
        print(f"corvane report: error: {exc}", file=sys.stderr)
        return 2
    if args.json:
        print(json.dumps(rep, ensure_ascii=False, indent=2))
    else:
        print(format_report(rep))
    return 0


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="corvane report")
    add_arguments(parser)
    return run(parser.parse_args(argv))


if __name__ == "__main__":
    sys.exit(main())
