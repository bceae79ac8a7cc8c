"""The `corvane eval` command: its arguments and its run over corvane.evaluate's figures."""
from __future__ import annotations

import argparse
import json
import sys
from pathlib import Path
from typing import Any

from corvane import evaluate as _evaluate_mod
from corvane.cli_errors import CliError
from corvane.evaluate import (RANKERS, alias_suggestions, evaluate, format_report, load_index, make_ranker, plot,
                              read_questions, resolve, scope, write_json_file)


def add_parser(subparsers) -> None:
    p = subparsers.add_parser(
        "eval",
        help="measure how well a ranker finds the scenes labelled questions expect",
        description=_evaluate_mod.__doc__,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    p.add_argument("questions", metavar="QUESTIONS.jsonl", nargs="+",
                   help="labelled questions, one JSON object per line; several files are reported one by one")
    p.add_argument("--data-dir", default="data", help="folder holding scene_index.jsonl (default: data)")
    p.add_argument("--ranker", action="append", choices=RANKERS,
                   help="ranker to measure; give it twice to compare both (default: exact, or both with --plot)")
    p.add_argument("--top-k", type=int, default=5, help="places counted (default: 5)")
    p.add_argument("--json", action="store_true", help="print the figures as JSON")
    p.add_argument("--plot", metavar="FILE.png", help="draw hit@k per kind for each ranker (needs matplotlib)")
    p.add_argument("--suggest-aliases", metavar="FILE.json",
                   help="write alias candidates for missed scenes, in the alias file's format, for review")
    p.add_argument("--synonyms", metavar="FILE.json",
                   help="synonym file of the hybrid ranker (default: DATA_DIR/synonyms.json, else the built-in list)")
    p.add_argument("--threshold", type=float, default=None,
                   help="refusal threshold of the hybrid ranker, in units of the idf of a term one scene alone holds")
    p.add_argument("--robustness", action="store_true",
                   help="also rank each question file transformed (Traditional characters, one homophone typo, "
                        "full-width) and report the loss (needs the robustness extra)")
    p.set_defaults(run=run_eval)


def run_eval(args: argparse.Namespace) -> int:
    files = args.questions if isinstance(args.questions, list) else [args.questions]
    status = 0
    for n, path in enumerate(files):
        if n and not args.json:
            print()
        status = max(status, _run_eval_one(argparse.Namespace(**{**vars(args), "questions": path})))
    return status


def _run_robustness(args, questions, index, data_dir, rankers) -> dict[str, Any]:
    from corvane import robustness

    out = {}
    for name in rankers:
        ranker, _ = make_ranker(name, index, data_dir, synonyms_file=args.synonyms, threshold=args.threshold)
        out[name] = robustness.robustness(questions, index, ranker, args.top_k, evaluate)
        if not args.json:
            print(robustness.format_robustness(name, out[name], args.top_k))
    return out


def _run_eval_one(args: argparse.Namespace) -> int:
    if args.top_k < 1:
        raise CliError(f"--top-k must be 1 or more, not {args.top_k}")
    rankers = list(dict.fromkeys(args.ranker or (list(RANKERS) if args.plot else ["exact"])))
    data_dir = Path(args.data_dir)
    questions = read_questions(args.questions)
    index = load_index(data_dir)
    errors = resolve(questions, index, data_dir)
    scope(questions, data_dir, args.questions)
    results: dict[str, dict[str, Any]] = {}
    infos: dict[str, dict[str, Any]] = {}
    for name in rankers:
        ranker, info = make_ranker(name, index, data_dir, synonyms_file=args.synonyms, threshold=args.threshold)
        results[name] = evaluate(questions, index, ranker, args.top_k)
        infos[name] = info
    if args.json:
        doc = {
            "questions": str(args.questions),
            "index": str(data_dir / "scene_index.jsonl"),
            "entries": len(index),
            "top_k": args.top_k,
            "question_file_errors": errors,
            "rankers": {n: {**infos[n], **r, "misses": [{a: b for a, b in m.items() if a != "targets"} for m in r["misses"]]}
                        for n, r in results.items()},
        }
        if getattr(args, "robustness", False):
            doc["robustness"] = _run_robustness(args, questions, index, data_dir, rankers)
        print(json.dumps(doc, ensure_ascii=False, indent=2))
    else:
        print(f"questions: {args.questions} ({len(questions)}), index: {data_dir / 'scene_index.jsonl'} "
              f"({len(index)} scenes), top {args.top_k}")
        for name in rankers:
            print(format_report(results[name], infos[name]))
        if errors:
            print(f"question file errors: {len(errors)}")
            for e in errors:
                print(f"  {e}")
        if getattr(args, "robustness", False):
            _run_robustness(args, questions, index, data_dir, rankers)
    if args.suggest_aliases:
        try:
            write_json_file(Path(args.suggest_aliases), alias_suggestions(results, index))
        except OSError as exc:
            raise CliError(f"{args.suggest_aliases}: {exc.strerror or exc}") from None
    if args.plot:
        plot(results, Path(args.plot), args.top_k)
    if errors:
        print(f"corvane eval: error: {len(errors)} expected scene(s) of {args.questions} are not in the index",
              file=sys.stderr)
        return 2
    return 0
