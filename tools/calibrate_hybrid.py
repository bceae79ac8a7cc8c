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




# ---------------------------------------------------------------------------
# The fused ranker (ranker="hybrid"): grid-fits its weights with k-fold
# cross-validation, then its refusal threshold.
#
#     python tools/calibrate_hybrid.py --fused DATA_DIR QUESTIONS.jsonl [DATA_DIR QUESTIONS.jsonl ...]
#
# Fit only on calibration questions (tests/data/devset/questions_calibration.jsonl);
# the held-out and public sets are for reporting.

FUSED_GRID = {
    "title": [0.0, 0.5, 1.0, 2.0],
    "cover": [0.0, 1.0, 2.0, 3.0],
    "length": [0.0, 0.5, 1.0],
    "path": [0.0, 0.25, 0.5, 1.0, 1.5],
    "homophone": [0.3, 0.6, 0.9],
}


def _fused_sets(pairs):
    from corvane.engine import Engine

    sets = []
    for data_dir, qfile in pairs:
        index = farrowin.load_scene_index(str(Path(data_dir) / "scene_index.jsonl"))
        questions = read_questions(qfile)
        if resolve(questions, index, Path(data_dir)):
            raise SystemExit(f"{qfile}: question file has errors; run corvane eval first")
        engine = Engine(data_dir, ranker="hybrid")
        snap = engine._current()
        syn = engine._synonyms_of(snap)
        unit = math.log(1 + max(0.0, len(index) - 0.5) / 1.5)
        sets.append((snap.index, syn, unit, questions))
    return sets


def _fused_runs(sets, fusion):
    """Per question: (answerable, rank of the first expected scene or None, refused)."""
    out = []
    for index, syn, unit, questions in sets:
        for q in questions:
            got = index.search_hybrid(q.q, 5, syn, True, fusion)
            ids = [i for i, _ in got]
            rank = next((r for r, i in enumerate(ids) if i in q.targets), None)
            out.append((bool(q.targets), rank, not got))
    return out


def _fused_objective(runs):
    """hit@1 + hit@3 / 2 of the answerable questions."""
    ans = [r for r in runs if r[0]]
    return sum((r[1] == 0) + 0.5 * (r[1] is not None and r[1] < 3) for r in ans) / max(1, len(ans))


def _refusal(runs):
    ans = [r for r in runs if r[0]]
    noans = [r for r in runs if not r[0]]
    return (sum(r[2] for r in ans) / max(1, len(ans)), sum(r[2] for r in noans) / max(1, len(noans)))


def main_fused(argv) -> int:
    ap = argparse.ArgumentParser(prog="calibrate_hybrid.py --fused")
    ap.add_argument("pairs", nargs="+", help="DATA_DIR QUESTIONS.jsonl, repeated")
    ap.add_argument("--folds", type=int, default=5)
    ap.add_argument("--max-false-refusal", type=float, default=0.05)
    args = ap.parse_args(argv)
    if len(args.pairs) % 2:
        ap.error("give DATA_DIR QUESTIONS.jsonl pairs")
    sets = _fused_sets(list(zip(args.pairs[::2], args.pairs[1::2])))
    keys = list(FUSED_GRID)
    configs = [dict(zip(keys, v)) for v in itertools.product(*(FUSED_GRID[k] for k in keys))]
    runs = [_fused_runs(sets, {**c, "threshold": 0.0}) for c in configs]
    n = len(runs[0])
    folds = [list(range(f, n, args.folds)) for f in range(args.folds)]
    cv = []
    for f, test in enumerate(folds):
        train = [i for i in range(n) if i % args.folds != f]
        best = max(range(len(configs)), key=lambda c: _fused_objective([runs[c][i] for i in train]))
        cv.append(_fused_objective([runs[best][i] for i in test]))
        print(f"fold {f}: best on the rest {configs[best]}, held-out objective {cv[-1]:.3f}")
    print(f"cross-validated objective (hit@1 + hit@3 / 2): {sum(cv) / len(cv):.3f}")
    order = sorted(range(len(configs)), key=lambda c: -_fused_objective(runs[c]))
    for c in order[:5]:
        print(f"  {_fused_objective(runs[c]):.3f}  {configs[c]}")
    best = configs[order[0]]
    # Refusal: the most no-answer questions refused with at most the allowed
    # share of answerable ones refused.
    choice = None
    for share in (0.4, 0.5, 0.67, 1.01):
        for step in range(0, 41):
            t = round(0.5 + 0.05 * step, 2)
            false_ref, refused = _refusal(_fused_runs(sets, {**best, "threshold": t, "answer_share": share}))
            if false_ref <= args.max_false_refusal and (choice is None or (refused, -false_ref) > choice[:2]):
                choice = (refused, -false_ref, t, share)
    refused, neg_false, t, share = choice
    print(json.dumps({**best, "threshold": t, "answer_share": share}))
    print(f"no-answer refused: {100 * refused:.1f}%, answerable refused: {-100 * neg_false:.1f}%")
    return 0


if __name__ == "__main__":
    sys.exit(main_fused(sys.argv[2:]) if len(sys.argv) > 1 and sys.argv[1] == "--fused" else main())
