"""Ranking quality beside the lexical peers an integrator would pick instead.

  python benchmarks/bench_quality.py [--work DIR] [--json OUT]

For each labelled question set in the repository (the examples, the public
corpus, the development manual's calibration and held-out questions) it
indexes the manuals with `corvane index` and ranks every question with:

  hybrid        corvane's fused ranker, as `corvane eval --ranker hybrid` runs it
                (refusals count as misses for answerable questions)
  hybrid-norefuse  the same ranking with refusal off (threshold 0)
  bm25s-bigram  bm25s over character bigrams of each scene's text (title,
                aliases, keywords, description, steps, warnings, notices, tips)
  bm25s-jieba   bm25s over jieba's words of the same text (when jieba is installed)
  exact         the specified global rule

and prints hit@1, hit@3, hit@5 and MRR over the answerable questions, and the
share of unanswerable questions each refuses (the peers never refuse).  The
peers see the question as typed: no Traditional-to-Simplified mapping, no
synonyms, no question-word filtering.

With --robustness (the `robustness` extra) it also prints each ranker's hit@3
with every question in Traditional characters, with one homophone typo and in
full-width forms (the transforms of `corvane eval --robustness`).
"""
from __future__ import annotations

import argparse
import json
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(Path(__file__).resolve().parent))

from bench_engine import scene_text, tokens  # noqa: E402  (the same bigrams as the speed benchmark's peers)

CORPUS = ROOT / "tests" / "data" / "corpus"
DEV = ROOT / "tests" / "data" / "devset"
SETS = [
    # name, manuals, alias file, questions
    ("examples", ROOT / "examples" / "data" / "manuals", ROOT / "examples" / "data" / "manual_alias.json",
     ROOT / "examples" / "questions.jsonl"),
    ("public", CORPUS / "manuals", CORPUS / "manual_alias.json", CORPUS / "questions_public.jsonl"),
    # the development manual has no alias file of its own
    ("dev-calibration", DEV / "manuals", None, DEV / "questions_calibration.jsonl"),
    ("dev-heldout", DEV / "manuals", None, DEV / "questions_heldout.jsonl"),
]


def build(work: Path, name: str, manuals: Path, aliases: Path | None) -> Path:
    """A fresh data folder for one set, indexed by the installed corvane (a few
    hundred scenes: never worth reusing an index that older code or other
    aliases wrote)."""
    folder = work / name
    data = folder / "data"
    shutil.rmtree(folder, ignore_errors=True)
    shutil.copytree(manuals, data / "manuals")
    if aliases is not None:
        shutil.copy(aliases, data / "manual_alias.json")
    subprocess.run([sys.executable, "-m", "corvane", "index"], cwd=folder, check=True, capture_output=True)
    return data


def bm25s_ranker(index: list[dict], cut):
    import bm25s

    retriever = bm25s.BM25()
    retriever.index([cut(scene_text(e)) for e in index], show_progress=False)
    vocab = retriever.vocab_dict

    def rank(q: str, k: int, manual_ids=None) -> list[int]:
        words = [w for w in cut(q) if w in vocab]
        if not words:
            return []
        ids, scores = retriever.retrieve([words], k=min(k, len(index)), show_progress=False, n_threads=1)
        return [int(i) for i, s in zip(ids[0], scores[0]) if s > 0]

    return rank


def jieba_cut():
    try:
        import jieba
    except ImportError:
        return None
    jieba.setLogLevel(60)
    import re

    keep = re.compile(r"[\w\u3400-\u9fff]")

    def cut(text: str) -> list[str]:
        return [w for w in jieba.lcut(text.lower()) if keep.search(w)]

    return cut


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--work", help="folder for the indexed sets (default: a temporary folder)")
    ap.add_argument("--json", help="write every figure here as JSON")
    ap.add_argument("--robustness", action="store_true",
                    help="also rank each set's questions transformed as owners type them")
    args = ap.parse_args()
    if args.robustness:
        from corvane import robustness
    from corvane import evaluate

    work = Path(args.work) if args.work else Path(tempfile.mkdtemp(prefix="corvane-quality-"))
    work.mkdir(parents=True, exist_ok=True)
    words = jieba_cut()
    out: dict = {}
    for name, manuals, aliases, qfile in SETS:
        data = build(work, name, manuals, aliases)
        index = evaluate.load_index(data)
        qs = evaluate.read_questions(qfile)
        errors = evaluate.resolve(qs, index, data)
        if errors:
            raise SystemExit(f"{qfile}: {errors[0]}")
        rankers = {
            "hybrid": evaluate.make_ranker("hybrid", index, data)[0],
            "hybrid-norefuse": evaluate.make_ranker("hybrid", index, data, threshold=0.0)[0],
            "bm25s-bigram": bm25s_ranker(index, tokens),
        }
        if words:
            rankers["bm25s-jieba"] = bm25s_ranker(index, words)
        rankers["exact"] = evaluate.make_ranker("exact", index, data)[0]
        out[name] = {}
        for rname, fn in rankers.items():
            r = evaluate.evaluate(qs, index, fn, 5)
            a = r["answerable"]
            out[name][rname] = {"n": a["n"], "hit@1": a["hit@1"], "hit@3": a["hit@3"], "hit@5": a["hit@5"],
                                "mrr": a["mrr"], "no_answer_refused": r["no_answer_refused"],
                                "answerable_refused": r["answerable_refused"]}
            if args.robustness:
                rb = robustness.robustness(qs, index, fn, 5, evaluate.evaluate)
                out[name][rname]["robustness"] = {t: rb[t]["hit@3"] for t in robustness.TRANSFORMS}
    print("| set | ranker | answerable | hit@1 | hit@3 | hit@5 | MRR | no-answer refused |")
    print("|---|---|---|---|---|---|---|---|")
    for name, per in out.items():
        for rname, f in per.items():
            refused = "" if f["no_answer_refused"] is None else f"{100 * f['no_answer_refused']:.1f}%"
            print(f"| {name} | {rname} | {f['n']} | {100 * f['hit@1']:.1f}% | {100 * f['hit@3']:.1f}% | "
                  f"{100 * f['hit@5']:.1f}% | {f['mrr']:.3f} | {refused} |")
    if args.robustness:
        names = robustness.TRANSFORMS
        print()
        print("| set | ranker | hit@3 | " + " | ".join(f"{t} (loss)" for t in names) + " |")
        print("|---|---|---|" + "---|" * len(names))
        for name, per in out.items():
            for rname, f in per.items():
                cells = [f"{100 * f['robustness'][t]:.1f}% ({100 * (f['hit@3'] - f['robustness'][t]):+.1f})"
                         for t in names]
                print(f"| {name} | {rname} | {100 * f['hit@3']:.1f}% | " + " | ".join(cells) + " |")
    if args.json:
        Path(args.json).write_text(json.dumps(out, indent=2, ensure_ascii=False) + "\n", encoding="utf-8")


if __name__ == "__main__":
    main()
