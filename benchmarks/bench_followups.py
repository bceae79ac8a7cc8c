"""Retrieval hit@3 on follow-up questions against the same questions asked in full.

    python benchmarks/bench_followups.py [--questions tests/data/followups.jsonl] [--corpus tests/data/corpus]

Indexes the corpus in a temporary folder and, for each ranker, measures hit@3 of
  full        the question asked in full
  alone       the follow-up searched as it is (no conversation)
  carried     the follow-up resolved without a model (conversation.resolve_query): when it
              refers back or finds nothing strong alone, the previous turn's topic (the title
              of the scene its question retrieved) is carried in front
  words       carry_topic alone (follow-ups by their words only), with the previous question's
              topic words instead of its scene title
Prints one JSON object; `gap` is full - carried in points.
"""
from __future__ import annotations

import argparse
import asyncio
import json
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--questions", default=str(ROOT / "tests/data/followups.jsonl"))
    ap.add_argument("--corpus", default=str(ROOT / "tests/data/corpus"))
    ap.add_argument("--top-k", type=int, default=3)
    ap.add_argument("--verbose", action="store_true", help="list the misses on stderr")
    args = ap.parse_args()

    from corvane.conversation import QueryRewriter, Turn, carry_topic, resolve_query
    from corvane.engine import Engine

    items = [json.loads(line) for line in Path(args.questions).read_text("utf-8").splitlines() if line.strip()]
    with tempfile.TemporaryDirectory(prefix="corvane-followups-") as tmp:
        site = Path(tmp)
        shutil.copytree(Path(args.corpus) / "manuals", site / "data" / "manuals")
        alias = Path(args.corpus) / "manual_alias.json"
        if alias.exists():
            shutil.copy(alias, site / "data" / "manual_alias.json")
        subprocess.run([sys.executable, "-m", "corvane", "index"], cwd=site, check=True, capture_output=True)
        out = {"questions": len(items), "top_k": args.top_k, "rankers": {}}
        with Engine(site / "data") as eng:
            for ranker in ("exact", "hybrid"):
                def titles(q):
                    return [(e["manual_id"] + ".md", e["scene_title"]) for e, _ in eng.search(q, args.top_k,
                                                                                          ranker=ranker)]

                def hit(q, item):
                    got = titles(q)
                    return any((x["manual"], x["title"]) in got for x in item["expect"])

                counts = {"full": 0, "alone": 0, "carried": 0, "words": 0}
                rewriter = QueryRewriter()
                for item in items:
                    history = []
                    for t in item["history"]:
                        top = titles(t["question"])
                        history.append(Turn(t["question"], t.get("answer"), top[0][1] if top else None))
                    strong = (lambda h: bool(h) and h[0][1] >= 12) if ranker == "exact" else bool
                    carried = asyncio.run(resolve_query(item["followup"], history, rewriter,
                                                        lambda q: eng.search(q, 1, ranker=ranker), strong))
                    words = carry_topic(item["followup"], [Turn(t.question, t.answer) for t in history])
                    for mode, q in (("full", item["full"]), ("alone", item["followup"]), ("carried", carried),
                                    ("words", words)):
                        ok = hit(q, item)
                        counts[mode] += ok
                        if not ok and args.verbose and mode in ("full", "carried"):
                            print(f"{ranker} {mode} miss: {q!r} -> {titles(q)}", file=sys.stderr)
                n = len(items)
                figures = {m: round(100 * c / n, 1) for m, c in counts.items()}
                figures["gap"] = round(figures["full"] - figures["carried"], 1)
                out["rankers"][ranker] = figures
    print(json.dumps(out, ensure_ascii=False, indent=2))
    return 0


if __name__ == "__main__":
    sys.exit(main())
