"""Calibrates the hybrid ranker's weights and refusal threshold on labelled questions.

    python tools/calibrate_hybrid.py DATA_DIR QUESTIONS.jsonl [--max-false-refusal 0.05]

For every combination of k1, b and field weights on a small grid it ranks all
questions with refusal switched off, then sets the threshold from the best BM25
score of the answerable questions that no title or alias matches (those are
the only ones a threshold can refuse): the highest threshold that refuses at
most the given share of answerable questions, placed halfway between the
highest score it refuses and the next one.  The threshold is printed in the unit the ranker takes
(the idf of a term one scene alone holds).  Configurations are ordered by
answerable hit@5, then hit@1, then the share of unanswerable questions refused,
then the share of expected scenes found for questions expecting several.
Only these global parameters are fitted; no question is looked at on its own.
"""
from __future__ import annotations

import argparse
import contextlib
import io
import itertools
import json
import math
import sys
from pathlib import Path

with contextlib.redirect_stdout(io.StringIO()):
    import corvane.morlek  # noqa: F401  (its alias-file message is not wanted here)
from corvane import _hybrid, farrowin
from corvane.evaluate import read_questions, resolve
from corvane.synonyms import synonyms_for


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("data_dir")
    ap.add_argument("questions")
    ap.add_argument("--max-false-refusal", type=float, default=0.05)
    ap.add_argument("--show", type=int, default=10)
    args = ap.parse_args()
    index = farrowin.load_scene_index(str(Path(args.data_dir) / "scene_index.jsonl"))
    questions = read_questions(args.questions)
    if resolve(questions, index):
        print("question file has errors; run corvane eval first", file=sys.stderr)
        return 2
    syn, _ = synonyms_for(args.data_dir)
    pos = {id(e): i for i, e in enumerate(index)}
    answerable = [q for q in questions if q.targets]
    unanswerable = [q for q in questions if not q.targets]
    rows = []
    grid = itertools.product([1.2, 1.6, 2.0], [0.5, 0.75, 0.9], [2, 3, 5], [3, 5, 8], [0.5, 1.0])
    for k1, b, tw, aw, ow in grid:
        weights = dict(title=tw, aliases=aw, description=1, steps=1, warning=ow, notice=ow, tip=ow)
        h = _hybrid.HybridIndex(index, k1=k1, b=b, weights=weights, threshold=0.0, synonyms=syn)
        hit1 = hit5 = 0
        share = []  # share of expected scenes in the top 5, questions expecting several
        open_scores = []  # best score of answerable questions a threshold could refuse
        for q in answerable:
            got = h.search_stages(q.q, 5)
            ids = [pos[id(e)] for e, _, _ in got]
            hit1 += bool(ids) and ids[0] in q.targets
            hit5 += bool(set(ids) & set(q.targets))
            if len(q.targets) > 1:
                share.append(len(set(ids) & set(q.targets)) / len(q.targets))
            if not got or got[0][2] == 2:
                open_scores.append(got[0][1] if got else 0.0)
        na_scores = []
        for q in unanswerable:
            got = h.search_stages(q.q, 1)
            na_scores.append(None if got and got[0][2] == 1 else (got[0][1] if got else 0.0))
        allowed = int(args.max_false_refusal * len(answerable))
        s = sorted(open_scores)
        if len(s) > allowed:
            lo = s[allowed - 1] if allowed else 0.0
            thr = (lo + s[allowed]) / 2
        else:
            thr = float("inf")
        refused = sum(1 for x in na_scores if x is not None and x < thr)
        false = sum(1 for x in s if x < thr)
        unit = math.log(1 + max(0.0, len(index) - 0.5) / 1.5)  # the threshold's unit (HybridParams)
        rows.append((hit5 / len(answerable), hit1 / len(answerable), refused / max(1, len(unanswerable)),
                     false / len(answerable), k1, b, tw, aw, ow, round(thr / unit, 3),
                     sum(share) / max(1, len(share))))
    rows.sort(key=lambda r: (r[0], r[1], r[2], r[10]), reverse=True)
    print("hit@5  hit@1  refused  false  share   k1    b  title alias w/n/t  threshold")
    for r in rows[: args.show]:
        print(f"{r[0]:.3f}  {r[1]:.3f}  {r[2]:.3f}    {r[3]:.3f}  {r[10]:.3f}  {r[4]:.1f}  {r[5]:.2f}  {r[6]:>4} {r[7]:>5} {r[8]:>5}  {r[9]}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
