"""In-document search and keyword throughput of corvane.morlek.

    python benchmarks/bench_morlek.py [--corpus DIR] [--scenes N] [--repeat R]

--corpus DIR is a folder made by the synthetic corpus generator (DIR/manuals/*.md,
DIR/manual_alias.json, optionally DIR/queries.txt); its manuals are parsed
with corvane.plaxon into one tree holding the first N scenes.  Without it the
scenes are generated here.  Prints one JSON object.  Target: median
search_knowledge latency under 5 ms for 1,000 scenes.
"""
from __future__ import annotations

import argparse
import json
import os
import random
import shutil
import statistics
import tempfile
import time
from pathlib import Path


def import_morlek(alias_file: Path | None):
    """Imports corvane.morlek from a temp folder holding the alias file (if any)."""
    old = os.getcwd()
    folder = Path(tempfile.mkdtemp(prefix="bench-morlek-"))
    try:
        if alias_file is not None:
            (folder / "data").mkdir()
            shutil.copy(alias_file, folder / "data" / "manual_alias.json")
        os.chdir(folder)
        from corvane import morlek
    finally:
        os.chdir(old)
        shutil.rmtree(folder, ignore_errors=True)
    return morlek


WORDS = ["车门", "高压电", "断开", "轮胎", "更换", "座椅", "调节", "空调", "滤芯", "蓄电池", "充电", "雨刮", "灯光", "仪表", "警告灯"]


def synthetic_tree(n: int, rng: random.Random) -> dict:
    def phrase(k: int) -> str:
        return "，".join("".join(rng.choice(WORDS) for _ in range(2)) for _ in range(k)) + "。"

    children = []
    for i in range(n):
        steps = [
            {"index": j + 1, "text": phrase(4), "sub_points": [phrase(2)], "images": []} for j in range(rng.randint(1, 5))
        ]
        children.append({
            "type": "scene", "title": f"{rng.choice(WORDS)}{rng.choice(WORDS)}{i}", "description": phrase(6),
            "images": [], "steps": steps, "warning": [phrase(2)], "notice": [phrase(2)], "tip": [],
        })
    return {"type": "document", "doc_name": "synthetic", "title": "synthetic", "children": children}


def corpus_tree(folder: Path, n: int) -> dict:
    from corvane import plaxon

    children = []
    for md in sorted((folder / "manuals").glob("*.md")):
        tree = plaxon.markdown_to_tree(md.read_text(encoding="utf-8"), doc_name=md.stem)
        children.extend(c for c in tree["children"] if c.get("type") == "scene")
        if len(children) >= n:
            break
    return {"type": "document", "doc_name": "corpus", "title": "corpus", "children": children[:n]}


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--corpus", type=Path, default=None, help="synthetic corpus folder (manuals/, manual_alias.json)")
    ap.add_argument("--scenes", type=int, default=1000)
    ap.add_argument("--repeat", type=int, default=200, help="search_knowledge calls to time")
    ap.add_argument("--seed", type=int, default=7)
    args = ap.parse_args()
    rng = random.Random(args.seed)

    alias = args.corpus / "manual_alias.json" if args.corpus and (args.corpus / "manual_alias.json").exists() else None
    morlek = import_morlek(alias)
    tree = corpus_tree(args.corpus, args.scenes) if args.corpus else synthetic_tree(args.scenes, rng)
    scenes = morlek.flatten_scenes(tree)

    queries_file = args.corpus / "queries.txt" if args.corpus else None
    if queries_file is not None and queries_file.exists():
        queries = [q for q in queries_file.read_text(encoding="utf-8").splitlines() if q]
    else:
        queries = [s["title"] + "怎么操作" for s in rng.sample(scenes, min(20, len(scenes)))] + ["高压电断开注意什么", "不相关的问题"]

    for q in queries[:5]:  # warm-up
        morlek.search_knowledge(q, tree)
    times = []
    for i in range(args.repeat):
        q = queries[i % len(queries)]
        t0 = time.perf_counter()
        morlek.search_knowledge(q, tree)
        times.append(time.perf_counter() - t0)

    t0 = time.perf_counter()
    rounds = 0
    while True:
        for s in scenes:
            morlek.build_keywords_from_scene(s)
        rounds += 1
        elapsed = time.perf_counter() - t0
        if elapsed > 0.5:
            break

    print(json.dumps({
        "scenes": len(scenes),
        "source": str(args.corpus) if args.corpus else "synthetic",
        "aliases_loaded": len(morlek.MANUAL_ALIAS_MAP),
        "search_knowledge_calls": len(times),
        "search_knowledge_median_ms": round(statistics.median(times) * 1e3, 3),
        "search_knowledge_p95_ms": round(sorted(times)[int(0.95 * (len(times) - 1))] * 1e3, 3),
        "search_knowledge_target_ms": 5.0,
        "build_keywords_scenes_per_s": round(rounds * len(scenes) / elapsed),
    }, ensure_ascii=False))


if __name__ == "__main__":
    main()
