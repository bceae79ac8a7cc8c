#!/usr/bin/env python3
"""Differential check of the fused ranker: dumps its rankings over a set of
corpora and questions, to compare two builds (before and after a change to
the ranker's code) entry by entry and score by score.

  python benchmarks/fused_diff.py dump OUT.json --work DIR [--corpus MANUALS_DIR[:QUESTIONS]]...
  python benchmarks/fused_diff.py compare A.json B.json

Without --corpus it reads the repository's development manual and public
corpus with their question files.  Each corpus is indexed once into
DIR/<n>/data (kept, so that the second build ranks over the same files; a
compiled file of another build is rewritten by it as usual).  Questions come
from JSON-lines files ({"q": ...}) or plain text (one a line); each is also
asked with its first character dropped, to reach the homophone and refusal
paths more often.
"""
from __future__ import annotations

import argparse
import json
import shutil
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
DEFAULT = [
    (ROOT / "tests/data/devset/manuals", [ROOT / "tests/data/devset/questions_calibration.jsonl",
                                          ROOT / "tests/data/devset/questions_heldout.jsonl"]),
    (ROOT / "tests/data/corpus/manuals", [ROOT / "tests/data/corpus/questions_public.jsonl"]),
]


def questions(path: Path) -> list[str]:
    out = []
    for line in path.read_text(encoding="utf-8").splitlines():
        line = line.strip()
        if not line:
            continue
        if line.startswith("{"):
            line = json.loads(line).get("q", "")
        if line:
            out.append(line)
    return out


def dump(args) -> None:
    from corvane.engine import Engine

    corpora = DEFAULT
    if args.corpus:
        corpora = []
        for c in args.corpus:
            manuals, _, qs = c.partition(":")
            corpora.append((Path(manuals), [Path(qs)] if qs else []))
    result = {}
    for n, (manuals, qfiles) in enumerate(corpora):
        data = args.work / str(n) / "data"
        if not (data / "scene_index.jsonl").exists():
            shutil.rmtree(data, ignore_errors=True)
            shutil.copytree(manuals, data / "manuals")
            alias = manuals.parent / "manual_alias.json"
            if alias.exists():
                shutil.copy(alias, data / "manual_alias.json")
            subprocess.run([sys.executable, "-m", "corvane", "index"], cwd=data.parent, check=True,
                           capture_output=True)
        engine = Engine(data_dir=str(data), ranker="hybrid")
        qs = [q for f in qfiles for q in questions(f)][: args.limit]
        qs += [q[1:] for q in qs if len(q) > 2]
        for q in qs:
            hits = engine.search(q, args.top_k)
            result[f"{n}\t{q}"] = [[e.get("title"), e.get("manual_id", e.get("manual")), repr(s)] for e, s in hits]
    Path(args.out).write_text(json.dumps(result, ensure_ascii=False, indent=0), encoding="utf-8")
    print(f"{len(result)} questions dumped to {args.out}")


def compare(args) -> None:
    a = json.loads(Path(args.a).read_text(encoding="utf-8"))
    b = json.loads(Path(args.b).read_text(encoding="utf-8"))
    keys = sorted(set(a) | set(b))
    diff = [k for k in keys if a.get(k) != b.get(k)]
    for k in diff[:20]:
        print(f"differs: {k!r}\n  {a.get(k)}\n  {b.get(k)}")
    print(f"{len(keys)} questions, {len(diff)} differ")
    sys.exit(1 if diff else 0)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = ap.add_subparsers(dest="cmd", required=True)
    d = sub.add_parser("dump")
    d.add_argument("out")
    d.add_argument("--work", type=Path, required=True)
    d.add_argument("--corpus", action="append")
    d.add_argument("--top-k", type=int, default=10)
    d.add_argument("--limit", type=int, default=3000, help="questions per corpus")
    c = sub.add_parser("compare")
    c.add_argument("a")
    c.add_argument("b")
    args = ap.parse_args()
    dump(args) if args.cmd == "dump" else compare(args)


if __name__ == "__main__":
    main()
