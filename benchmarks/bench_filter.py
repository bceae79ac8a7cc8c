"""Cost of the vehicle filter (Engine.search(manuals=...), which
catalog.filtered_search calls) against the unfiltered search.  Target: at
most 10% over the unfiltered search at 100,000 entries.

    python benchmarks/bench_filter.py [--scenes 100000] [--queries 300]

Builds an index of --scenes entries by copying the test corpus's scenes under
manual ids of two vehicles (half each; a third of the copies belong to a
second manual of the first vehicle), then times, per ranker, top-3 searches
of the public questions: unfiltered, filtered to one vehicle, and filtered to
one manual.  Prints one JSON object (ms per search, the ratio to unfiltered).
"""
from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--scenes", type=int, default=100000)
    ap.add_argument("--queries", type=int, default=300)
    args = ap.parse_args()

    corpus = ROOT / "tests/data/corpus"
    questions = [json.loads(line)["q"] for line in (corpus / "questions_public.jsonl").read_text("utf-8").splitlines()]
    questions = (questions * (args.queries // len(questions) + 1))[: args.queries]
    with tempfile.TemporaryDirectory(prefix="corvane-filter-") as tmp:
        site = Path(tmp)
        shutil.copytree(corpus / "manuals", site / "data" / "manuals")
        shutil.copy(corpus / "manual_alias.json", site / "data" / "manual_alias.json")
        subprocess.run([sys.executable, "-m", "corvane", "index"], cwd=site, check=True, capture_output=True)
        os.chdir(site)  # the alias map is read from ./data when the modules load
        from corvane.catalog import filtered_search
        from corvane.engine import Engine, write_compiled_index

        base = [json.loads(line) for line in (site / "data/scene_index.jsonl").read_text("utf-8").splitlines()]
        copies = args.scenes // len(base) + 1
        vehicles: dict[str, set[str]] = {"A": set(), "B": set()}
        with open(site / "data/scene_index.jsonl", "w", encoding="utf-8") as f:
            n = 0
            for c in range(copies):
                vehicle = "A" if c % 2 == 0 else "B"
                for e in base:
                    if n == args.scenes:
                        break
                    mid = f"{vehicle}{c % 6}_{e['manual_id']}"
                    vehicles[vehicle].add(mid)
                    f.write(json.dumps({**e, "scene_id": f"{mid}_{n}", "manual_id": mid}, ensure_ascii=False) + "\n")
                    n += 1
        write_compiled_index(site / "data")
        one_manual = {sorted(vehicles["A"])[0]}
        out = {"scenes": args.scenes, "queries": len(questions), "rankers": {}}
        with Engine(site / "data") as eng:
            first = time.perf_counter()
            filtered_search(eng, questions[0], one_manual, 3)
            out["first_filter_ms"] = round((time.perf_counter() - first) * 1000, 1)
            for ranker in ("exact", "hybrid", "cascade"):
                def timed(fn):
                    fn(questions[0])
                    t0 = time.perf_counter()
                    for q in questions:
                        fn(q)
                    return (time.perf_counter() - t0) * 1000 / len(questions)

                plain = timed(lambda q: eng.search(q, 3, ranker=ranker))
                veh = timed(lambda q: filtered_search(eng, q, vehicles["A"], 3, ranker=ranker))
                man = timed(lambda q: filtered_search(eng, q, one_manual, 3, ranker=ranker))
                out["rankers"][ranker] = {
                    "unfiltered_ms": round(plain, 3), "vehicle_ms": round(veh, 3), "manual_ms": round(man, 3),
                    "vehicle_ratio": round(veh / plain, 2), "manual_ratio": round(man / plain, 2)}
    os.chdir(ROOT)
    print(json.dumps(out, indent=2))
    return 0


if __name__ == "__main__":
    sys.exit(main())
