"""Trains the fused ranker's weights (ranker="hybrid") and its refusal rule.

    python tools/train_fused.py --train DATA_DIR QUESTIONS.jsonl [--train ...] \\
        [--test NAME DATA_DIR QUESTIONS.jsonl ...] [--loso] [--out WEIGHTS.json]

The C++ ranker scores a candidate scene by the dot product of its features
(Index.fused_features gives them: BM25 of the scene texts, of same-sounding
terms, of the heading path, title-match features, the share of the question's
terms the scene holds, ...) with the weights.  This script asks the engine for
every training question's candidates once, then fits

* the ranking weights by coordinate ascent on the answerable questions' MRR
  (top 5): one weight at a time over a grid between its bounds, the body
  weight fixed at 1 (it sets the scale), repeated until no step helps; and
* the refusal rule: a logistic regression (coefficients of 0 or more) of
  "answerable" on the question's refusal features, whose linear score is then
  thresholded at the highest value refusing at most --max-false-refusal of the
  training set's answerable questions.

Figures are those of the real ranker (Index.search_hybrid with the fitted
weights), not of the script's own replay, and the script says how often the
two disagree.  Report only sets not trained on (--test); --loso trains on all
sets given but one, for each, and reports that one.

numpy is needed (a tool dependency, not the package's).
"""
from __future__ import annotations

import argparse
import contextlib
import io
import json
import math
import re
import sys
from pathlib import Path

import numpy as np

with contextlib.redirect_stdout(io.StringIO()):
    import corvane.morlek  # noqa: F401  (its alias-file message is not wanted here)
from corvane import _hybrid, farrowin
from corvane.evaluate import read_questions, resolve

# The candidate features the trainer fits: (name, lowest, highest weight).
# One line per feature; the name is the C++ one (kFusedFeatures).
FEATURES = [
    ("body", 1.0, 1.0),
    ("homophone", 0.0, 1.5),
    ("path", 0.0, 2.0),
    ("path_homophone", 0.0, 2.0),
    ("tables", 0.0, 1.0),
    ("title", 0.0, 3.0),
    ("cover", 0.0, 4.0),
    ("length", 0.0, 3.0),
    ("coverage", 0.0, 6.0),
    ("partial", 0.0, 1.5),
]
# The refusal features (kRefusalFeatures); their weights are "refuse_" + name.
REFUSAL = ["text", "coverage", "held", "top"]
TOP_K = 5
GRID_STEPS = 24


# ---------------------------------------------------------------------------
# Data


class QuestionSet:
    """A question file over a data folder, with the engine's evidence per question."""

    def __init__(self, name: str, data_dir: str, qfile: str, fusion: dict | None = None):
        from corvane.engine import Engine

        self.name = name
        index = farrowin.load_scene_index(str(Path(data_dir) / "scene_index.jsonl"))
        self.questions = read_questions(qfile)
        errors = resolve(self.questions, index, Path(data_dir))
        if errors:
            raise SystemExit(f"{qfile}: question file has errors ({errors[0]}); run corvane eval first")
        engine = Engine(data_dir, ranker="hybrid")
        snap = engine._current()
        self.index = snap.index
        self.synonyms = engine._synonyms_of(snap)
        self.evidence = [self.index.fused_features(q.q, TOP_K, self.synonyms, fusion) for q in self.questions]

    def run(self, fusion: dict) -> list[tuple[bool, int | None, bool, str]]:
        """Per question, by the real ranker: (answerable, rank of the first expected scene, refused, kind)."""
        out = []
        for q in self.questions:
            ids = [i for i, _ in self.index.search_hybrid(q.q, TOP_K, self.synonyms, True, fusion)]
            rank = next((r for r, i in enumerate(ids) if i in q.targets), None)
            out.append((bool(q.targets), rank, not ids, q.kind))
        return out


class Matrix:
    """Every candidate of every question as rows: features, question number, target flag."""

    def __init__(self, sets: list[QuestionSet]):
        names = [n for n, _, _ in FEATURES]
        rows, qid, target, entry = [], [], [], []
        self.answerable, self.title_share, self.held, self.unit, self.whole = [], [], [], [], []
        n = 0
        for s in sets:
            for q, ev in zip(s.questions, s.evidence):
                for c in ev["candidates"]:
                    rows.append([c["features"][k] for k in names])
                    qid.append(n)
                    target.append(c["entry"] in q.targets)
                    entry.append(c["entry"])
                self.answerable.append(bool(q.targets))
                self.title_share.append(ev["title_share"])
                self.held.append(ev["refusal"]["held"])
                self.unit.append(ev["unit"] or 1.0)
                # one candidate holds every term, or a homophone of a term the index lacks
                # (whole_match); evidence without the flag: every term held, one candidate
                # holding them all
                self.whole.append(bool(ev["whole"]) if "whole" in ev else ev["refusal"]["held"] >= 1.0 and any(
                    c["features"]["coverage"] >= (1 - 1e-9) * (ev["unit"] or 1.0) for c in ev["candidates"]))
                n += 1
        self.n = n
        self.x = np.array(rows, dtype=float).reshape(-1, len(names))
        self.qid = np.array(qid, dtype=int)
        self.target = np.array(target, dtype=bool)
        self.entry = np.array(entry, dtype=int)
        self.answerable = np.array(self.answerable)
        self.title_share = np.array(self.title_share)
        self.held = np.array(self.held)
        self.unit = np.array(self.unit)
        self.whole = np.array(self.whole, dtype=bool)
        self.has_candidates = np.bincount(self.qid, minlength=n) > 0

    def ranks(self, w: np.ndarray) -> np.ndarray:
        """Rank (0 best) of each question's best-placed expected scene; -1 when none is a candidate."""
        s = self.x @ w
        best_t = np.full(self.n, -np.inf)
        np.maximum.at(best_t, self.qid[self.target], s[self.target])
        # Entry of that best target (ties among targets: the lowest entry).
        t_entry = np.full(self.n, np.iinfo(np.int64).max)
        hit = self.target & (s == best_t[self.qid])
        np.minimum.at(t_entry, self.qid[hit], self.entry[hit])
        ahead = (s > best_t[self.qid]) | ((s == best_t[self.qid]) & (self.entry < t_entry[self.qid]))
        r = np.bincount(self.qid, weights=ahead, minlength=self.n).astype(int)
        r[np.isinf(best_t)] = -1
        return r

    def mrr(self, w: np.ndarray) -> float:
        r = self.ranks(w)[self.answerable]
        rr = np.where((r >= 0) & (r < TOP_K), 1.0 / (np.maximum(r, 0) + 1.0), 0.0)
        return float(rr.mean()) if len(rr) else 0.0

    def refusal_features(self, w: np.ndarray) -> np.ndarray:
        """Per question, as the C++ computes them: text, coverage, held, top (in units)."""
        names = [n for n, _, _ in FEATURES]
        body, hom, cov = (self.x[:, names.index(k)] for k in ("body", "homophone", "coverage"))
        s = self.x @ w
        g = np.zeros((self.n, len(REFUSAL)))
        for col, v in ((0, body + w[names.index("homophone")] * hom), (1, cov), (3, s)):
            m = np.zeros(self.n)
            np.maximum.at(m, self.qid, v)
            g[:, col] = m / self.unit
        g[:, 2] = self.held
        return g


# ---------------------------------------------------------------------------
# Fitting


def fit_ranking(m: Matrix, start: dict | None = None, passes: int = 6) -> np.ndarray:
    """Coordinate ascent on MRR over each weight's grid, the body weight fixed."""
    names = [n for n, _, _ in FEATURES]
    w = np.array([(start or {}).get(n, lo) for n, lo, _ in FEATURES], dtype=float)
    w[names.index("body")] = 1.0
    best = m.mrr(w)
    for _ in range(passes):
        improved = False
        for i, (name, lo, hi) in enumerate(FEATURES):
            if lo == hi:
                w[i] = lo
                continue
            for v in np.linspace(lo, hi, GRID_STEPS + 1):
                trial = w.copy()
                trial[i] = v
                score = m.mrr(trial)
                # Strictly better only, or as good and smaller (the simpler model).
                if score > best + 1e-12 or (abs(score - best) <= 1e-12 and v < w[i]):
                    improved = improved or score > best + 1e-12
                    best, w = score, trial
        if not improved:
            break
    return w


def fit_refusal(m: Matrix, w: np.ndarray, max_false: float, answer_share: float = 1.0):
    """(coefficients of the refusal features, threshold): logistic fit, then the threshold."""
    g = m.refusal_features(w)
    gated = (m.title_share < answer_share) & m.has_candidates & ~m.whole  # the questions the rule may refuse
    y = m.answerable.astype(float)
    x = g[gated]
    yy = y[gated]
    scale = np.maximum(x.std(axis=0), 1e-9)
    xs = x / scale
    coef = np.zeros(x.shape[1])
    bias = 0.0
    for _ in range(4000):  # projected gradient descent, coefficients kept at 0 or more
        z = np.clip(xs @ coef + bias, -30, 30)
        p = 1 / (1 + np.exp(-z))
        grad = xs.T @ (p - yy) / len(yy) + 1e-3 * coef
        coef = np.maximum(0.0, coef - 0.5 * grad)
        bias -= 0.5 * float((p - yy).mean())
    coef = coef / scale
    if not coef.any():
        coef[REFUSAL.index("text")] = 1.0
    # Express the rule in the text feature's scale when it is used (a readable threshold).
    norm = coef[REFUSAL.index("text")] or coef.max()
    coef = coef / norm
    score = g @ coef
    answerable_scores = np.sort(score[gated & m.answerable])
    allowed = int(max_false * m.answerable.sum()) - int((~m.has_candidates & m.answerable).sum())
    if allowed < 0 or len(answerable_scores) == 0:
        thr = 0.0
    elif allowed >= len(answerable_scores):
        thr = float(answerable_scores[-1]) + 1e-6
    else:
        lo = answerable_scores[allowed - 1] if allowed else 0.0
        thr = float((lo + answerable_scores[allowed]) / 2)
    return coef, max(0.0, thr)


def train(sets: list[QuestionSet], max_false: float) -> dict:
    m = Matrix(sets)
    w = fit_ranking(m, start=_hybrid.fused_defaults())
    best = None
    for share in (0.5, 0.67, 1.0):
        coef, thr = fit_refusal(m, w, max_false, share)
        refused = _replay_refused(m, w, coef, thr, share)
        false = float((refused & m.answerable).sum() / max(1, m.answerable.sum()))
        caught = float((refused & ~m.answerable).sum() / max(1, (~m.answerable).sum()))
        key = (false <= max_false, caught, -false)
        if best is None or key > best[0]:
            best = (key, coef, thr, share)
    _, coef, thr, share = best
    out = {n: round(float(v), 4) for (n, _, _), v in zip(FEATURES, w)}
    out.update({f"refuse_{n}": round(float(v), 4) for n, v in zip(REFUSAL, coef)})
    out["threshold"] = round(thr, 4)
    out["answer_share"] = share
    out["whole_match"] = 1.0
    return out


def _replay_refused(m: Matrix, w, coef, thr, share, whole_match: float = 1.0) -> np.ndarray:
    below = (m.title_share < share) & (m.refusal_features(w) @ coef < thr)
    if whole_match > 0:
        below &= ~m.whole
    return ~m.has_candidates | below


# ---------------------------------------------------------------------------
# Reporting


def figures(runs) -> dict:
    ans = [r for r in runs if r[0]]
    noans = [r for r in runs if not r[0]]
    titled = [r for r in ans if r[3] in ("title-hit", "alias-hit")]
    pct = lambda k, n: round(100 * k / n, 1) if n else None  # noqa: E731
    return {
        "hit@1": pct(sum(r[1] == 0 for r in ans), len(ans)),
        "hit@3": pct(sum(r[1] is not None and r[1] < 3 for r in ans), len(ans)),
        "mrr": round(sum(1 / (r[1] + 1) for r in ans if r[1] is not None) / max(1, len(ans)), 3),
        "title/alias hit@1": pct(sum(r[1] == 0 for r in titled), len(titled)),
        "no-answer refused": pct(sum(r[2] for r in noans), len(noans)),
        "answerable refused": pct(sum(r[2] for r in ans), len(ans)),
    }


def _line(name: str, f: dict) -> str:
    return (f"  {name:<22} hit@1 {f['hit@1']:>5}  hit@3 {f['hit@3']:>5}  MRR {f['mrr']:.3f}  "
            f"title/alias@1 {f['title/alias hit@1']}  no-answer refused {f['no-answer refused']}  "
            f"answerable refused {f['answerable refused']}")


def check_replay(sets: list[QuestionSet], weights: dict) -> int:
    """Questions whose replayed top candidate or refusal differs from the real ranker's."""
    m = Matrix(sets)
    w = np.array([weights[n] for n, _, _ in FEATURES])
    coef = np.array([weights[f"refuse_{n}"] for n in REFUSAL])
    refused = _replay_refused(m, w, coef, weights["threshold"], weights["answer_share"],
                              weights.get("whole_match", 1.0))
    s = m.x @ w
    differ = 0
    i = 0
    for st in sets:
        for q in st.questions:
            got = st.index.search_hybrid(q.q, 1, st.synonyms, True, weights)
            rows = np.nonzero(m.qid == i)[0]
            top = None
            if len(rows):
                order = sorted(rows, key=lambda r: (-s[r], m.entry[r]))
                top = int(m.entry[order[0]])
            want = None if refused[i] else top
            differ += (got[0][0] if got else None) != want
            i += 1
    return differ


HEADER = Path(__file__).resolve().parent.parent / "src" / "core" / "search" / "hybrid.hpp"


def write_defaults(weights: dict, header: Path) -> None:
    """Sets each `double name = value;` of struct FusedWeights in the header to the fitted value."""
    text = header.read_text(encoding="utf-8")
    start = text.index("struct FusedWeights {")
    end = text.index("};", start)
    body = text[start:end]
    for name, value in weights.items():
        body, n = re.subn(rf"(\bdouble {name} = )[^;]+;", lambda m: f"{m.group(1)}{float(value)!r};", body)
        if n != 1:
            raise SystemExit(f"{header}: no default for weight {name!r} in struct FusedWeights")
    header.write_text(text[:start] + body + text[end:], encoding="utf-8")


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--train", nargs=2, action="append", metavar=("DATA_DIR", "QUESTIONS"), default=[])
    ap.add_argument("--test", nargs=3, action="append", metavar=("NAME", "DATA_DIR", "QUESTIONS"), default=[])
    ap.add_argument("--loso", action="store_true", help="leave one set out over the --train and --test sets")
    ap.add_argument("--max-false-refusal", type=float, default=0.03)
    ap.add_argument("--out", help="write the fitted weights here (JSON; the package's: python/corvane/fused_weights.json)")
    ap.add_argument("--write-defaults", action="store_true",
                    help="also write them as the C++ defaults (FusedWeights in src/core/search/hybrid.hpp)")
    args = ap.parse_args(argv)
    if not args.train:
        ap.error("give at least one --train DATA_DIR QUESTIONS")
    train_sets = [QuestionSet(Path(q).stem, d, q) for d, q in args.train]
    test_sets = [QuestionSet(n, d, q) for n, d, q in args.test]
    weights = train(train_sets, args.max_false_refusal)
    print(json.dumps(weights, ensure_ascii=False))
    print(f"replay differs from the ranker on {check_replay(train_sets, weights)} training questions")
    print("trained weights:")
    for s in train_sets:
        print(_line(s.name + " (train)", figures(s.run(weights))))
    for s in test_sets:
        print(_line(s.name, figures(s.run(weights))))
    print("built-in weights:")
    for s in train_sets + test_sets:
        print(_line(s.name, figures(s.run({}))))
    if args.loso:
        every = train_sets + test_sets
        print("leave one set out (trained on the others):")
        for k, held in enumerate(every):
            w = train([s for j, s in enumerate(every) if j != k], args.max_false_refusal)
            print(_line(held.name, figures(held.run(w))))
    if args.out:
        Path(args.out).write_text(json.dumps(weights, indent=2, ensure_ascii=False) + "\n", encoding="utf-8")
    if args.write_defaults:
        write_defaults(weights, HEADER)
    return 0


if __name__ == "__main__":
    sys.exit(main())
