"""Turns tests/data/devset/questions_src.txt (q | title | under | kind, written
by hand) into the eval question files of the development set:

    questions_calibration.jsonl  -- weights and thresholds are fitted on these
    questions_heldout.jsonl      -- reported only, never fitted on

Every second question of each kind goes to the held-out file.  A title that
the manual holds more than once gets an "under" (a heading above the scene)
that picks one; a sub-heading that the parser folds into its parent scene
is resolved to that scene.

    python3 tools/devset_questions.py DATA_DIR   (a folder whose index holds the dev manual)
"""
from __future__ import annotations

import json
import sys
from collections import defaultdict
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
DEV = ROOT / "tests/data/devset"
MANUAL = "velmar_t6_owner"


def main(argv: list[str]) -> int:
    from corvane import _hybrid

    data = Path(argv[1])
    index = [json.loads(l) for l in (data / "scene_index.jsonl").read_text(encoding="utf-8").splitlines() if l.strip()]
    scenes = [e for e in index if e["manual_id"] == MANUAL]
    paths = _hybrid.scene_paths((DEV / "manuals" / f"{MANUAL}.md").read_text(encoding="utf-8"))
    assert len(paths) == len(scenes), (len(paths), len(scenes))
    by_title: dict[str, list[int]] = defaultdict(list)
    for i, e in enumerate(scenes):
        by_title[e["scene_title"]].append(i)

    out: dict[str, list[dict]] = {"calibration": [], "heldout": []}
    seen: dict[str, int] = defaultdict(int)
    errors = 0
    for n, line in enumerate((DEV / "questions_src.txt").read_text(encoding="utf-8").splitlines(), 1):
        if not line.strip() or line.startswith("#"):
            continue
        q, title, under, kind = (x.strip() for x in line.split("|"))
        expect = []
        if title != "-":
            hits = [i for i in by_title.get(title, []) if not under or under in paths[i]]
            if not hits and under in by_title:  # folded into the parent scene
                title, under, hits = under, "", by_title[under]
            if not hits and not under:  # a topic holding one generic sub-heading
                inside = [i for i, p in enumerate(paths) if p and p[-1] == title]
                if len(inside) == 1:
                    title, under, hits = scenes[inside[0]]["scene_title"], title, inside
            if len(hits) != 1:
                print(f"line {n}: {q}: {len(hits)} scenes for {title!r} under {under!r}", file=sys.stderr)
                errors += 1
                continue
            e = {"manual": f"{MANUAL}.md", "title": title}
            if len(by_title[title]) > 1:
                e["under"] = under or paths[hits[0]][-1]
            expect.append(e)
        split = "heldout" if seen[kind] % 2 else "calibration"
        seen[kind] += 1
        out[split].append({"q": q, "expect": expect, "kind": kind})
    for split, rows in out.items():
        (DEV / f"questions_{split}.jsonl").write_text(
            "".join(json.dumps(r, ensure_ascii=False) + "\n" for r in rows), encoding="utf-8")
        print(f"{split}: {len(rows)} questions")
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
