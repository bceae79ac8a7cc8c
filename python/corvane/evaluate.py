"""``corvane eval``: how well a ranker finds the scenes that labelled questions expect.

Question file: JSON lines, one object per line,
``{"q": "...", "expect": [{"manual": "guide.md", "title": "<scene title>"}], "kind": "..."}``.
An empty ``expect`` marks a question the manuals cannot answer ("no-answer").
An optional ``"vehicle"`` ranks the question among that vehicle's manuals only
(DATA_DIR/catalog.json), as ``corvane ask --vehicle`` does.

Figures per ranker: hit@1, hit@3, hit@k and MRR per kind and over all
answerable questions; for questions expecting several scenes the share of
them found in the top k; the share of unanswerable questions refused (nothing
returned) and of answerable ones refused.  Misses list the expected scene, what
came back and the question's words that the expected scene lacks.
"""
from __future__ import annotations

import contextlib
import io
import json
import os
import re
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable

from corvane.cli_errors import CliError
from corvane.evaluate_report import (  # noqa: F401  (the words and report half; names kept here too)
    alias_suggestions, entry_text, format_report, lacking_words, normalize, plot, write_json_file)
from corvane.settings import RANKERS  # noqa: F401

WS = re.compile(r"\s+")


# ---------------------------------------------------------------------------
# Question file


@dataclass
class Question:
    line: int
    q: str
    kind: str
    expect: list[tuple[str, str]]  # (manual file name, scene title)
    targets: list[int] = field(default_factory=list)  # entry positions, filled against the index
    under: list[str] = field(default_factory=list)  # per expected scene: a heading above it ("" none)
    vehicle: str | None = None  # ranked among this vehicle's manuals only (DATA_DIR/catalog.json)
    manual_ids: frozenset | None = None  # the manuals the vehicle allows, filled by scope()


def read_questions(path: str | os.PathLike[str]) -> list[Question]:
    path = Path(path)
    try:
        raw = path.read_bytes()
    except OSError as exc:
        raise CliError(f"{path}: {exc.strerror or exc}") from None
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as exc:
        raise CliError(f"{path}: not UTF-8 text (byte {exc.start})") from None
    out: list[Question] = []
    for n, line in enumerate(text.splitlines(), 1):
        if not line.strip():
            continue
        where = f"{path}, line {n}"
        try:
            obj = json.loads(line)
        except json.JSONDecodeError as exc:
            raise CliError(f"{where}: not valid JSON ({exc.msg})") from None
        if not isinstance(obj, dict) or not isinstance(obj.get("q"), str):
            raise CliError(f"{where}: expected an object with a string \"q\"")
        expect = obj.get("expect", [])
        if not isinstance(expect, list) or not all(
            isinstance(e, dict) and isinstance(e.get("manual"), str) and isinstance(e.get("title"), str) for e in expect
        ):
            raise CliError(f"{where}: \"expect\" must be a list of {{\"manual\": ..., \"title\": ...}} objects")
        kind = obj.get("kind")
        if kind is None:
            kind = "no-answer" if not expect else ("multi-scene" if len(expect) > 1 else "answerable")
        if not isinstance(kind, str):
            raise CliError(f"{where}: \"kind\" must be a string")
        if not all(isinstance(e.get("under", ""), str) for e in expect):
            raise CliError(f"{where}: \"under\" must be a string (a heading above the expected scene)")
        vehicle = obj.get("vehicle")
        if vehicle is not None and (not isinstance(vehicle, str) or not vehicle.strip()):
            raise CliError(f"{where}: \"vehicle\" must be a vehicle name (a string)")
        out.append(Question(n, obj["q"], kind, [(e["manual"], e["title"]) for e in expect],
                            under=[e.get("under", "") for e in expect], vehicle=vehicle))
    return out


def scope(questions: list[Question], data_dir: Path, path) -> None:
    """The manuals of each question's ``vehicle``, from the data folder's catalog; an
    unknown vehicle is an error naming the line."""
    if not any(q.vehicle is not None for q in questions):
        return
    from corvane.catalog import CatalogError, load_catalog

    try:
        catalog = load_catalog(data_dir)
    except CatalogError as exc:
        raise CliError(str(exc)) from None
    for q in questions:
        if q.vehicle is not None:
            try:
                q.manual_ids = catalog.resolve(vehicle=q.vehicle)
            except CatalogError as exc:
                raise CliError(f"{path}, line {q.line}: {str(exc).removeprefix('vehicle: ')}") from None


def manual_id_of(manual: str) -> str:
    """"guide.md" -> "guide" (the index's manual id: the file name's stem)."""
    name = Path(manual).name
    return name.rsplit(".", 1)[0] if "." in name[1:] else name


def scene_label(entry: dict) -> str:
    return f"{entry.get('manual_id', '')}.md / {entry.get('scene_title', '')}"


def heading_paths(index: list[dict], data_dir: Path) -> dict[int, list[str]]:
    """Entry position -> the headings above its scene, read from the manuals
    in data_dir/manuals (scenes of one manual are in index order)."""
    from corvane import _hybrid

    by_manual: dict[str, list[int]] = {}
    for i, e in enumerate(index):
        if isinstance(e, dict):
            by_manual.setdefault(str(e.get("manual_id", "")), []).append(i)
    out: dict[int, list[str]] = {}
    for manual_id, positions in by_manual.items():
        try:
            text = (data_dir / "manuals" / f"{manual_id}.md").read_text(encoding="utf-8")
        except (OSError, UnicodeDecodeError):
            continue
        paths = _hybrid.scene_paths(text)
        if len(paths) == len(positions):
            out.update(zip(positions, paths))
    return out


def resolve(questions: list[Question], index: list[dict], data_dir: Path | None = None) -> list[str]:
    """Fills each question's targets; returns the question-file errors
    (expected scenes that the index does not hold).  An expected scene with
    an "under" heading is the one of that title below that heading."""
    where: dict[tuple[str, str], int] = {}
    for i, e in enumerate(index):
        if isinstance(e, dict):
            where.setdefault((str(e.get("manual_id", "")), str(e.get("scene_title", ""))), i)
    errors = []
    paths = heading_paths(index, data_dir) if data_dir is not None and any(any(q.under) for q in questions) else {}
    for q in questions:
        q.targets = []
        for n, (manual, title) in enumerate(q.expect):
            under = q.under[n] if n < len(q.under) else ""
            if under:
                i = next((j for j, e in enumerate(index) if isinstance(e, dict)
                          and (str(e.get("manual_id", "")), str(e.get("scene_title", ""))) == (manual_id_of(manual), title)
                          and under in paths.get(j, ())), None)
            else:
                i = where.get((manual_id_of(manual), title))
            if i is None:
                errors.append(f"line {q.line}: expected scene not in the index: {manual} / {title}")
            else:
                q.targets.append(i)
    return errors


# ---------------------------------------------------------------------------
# Rankers


def _quiet_import(name: str):
    """Imports a module of the package; morlek's alias-file message (printed
    when the working folder has no data/manual_alias.json) is kept off stdout."""
    import importlib

    with contextlib.redirect_stdout(io.StringIO()):
        importlib.import_module("corvane.morlek")
    return importlib.import_module(name)


def load_index(data_dir: Path) -> list[dict]:
    farrowin = _quiet_import("corvane.farrowin")
    path = data_dir / "scene_index.jsonl"
    if not path.is_file():
        raise CliError(f"{path}: no scene index (run `corvane index` in the folder above it)")
    try:
        return farrowin.load_scene_index(str(path))
    except (OSError, ValueError) as exc:
        raise CliError(f"{path}: cannot load the scene index: {exc}") from None


Ranker = Callable[[str, int], list[int]]


def _entry_key(entry: dict) -> str:
    return json.dumps(entry, ensure_ascii=False, sort_keys=True)


def make_ranker(name: str, index: list[dict], data_dir: Path, *, synonyms_file: str | None = None,
                threshold: float | None = None) -> tuple[Ranker, dict[str, Any]]:
    """A function question, k -> entry positions, and a description of it.

    Both rankers are the query engine's (``corvane.Engine`` over data_dir, so
    the figures are those the engine and the service give).  Only a hybrid
    ranker with another synonym file or threshold (tuning runs) is built on
    its own from the loaded entries."""
    if name in ("hybrid", "cascade") and (synonyms_file is not None or threshold is not None):
        return _standalone_hybrid(index, data_dir, synonyms_file, threshold, fused=name == "hybrid")
    from corvane.engine import Engine

    position: dict[str, int] = {}
    for i, e in enumerate(index):
        position.setdefault(_entry_key(e), i)
    try:
        engine = Engine(data_dir, ranker=name)
    except (OSError, ValueError) as exc:
        raise CliError(f"{data_dir / 'scene_index.jsonl'}: cannot open the index: {exc}") from None

    def rank(q: str, k: int, manual_ids=None) -> list[int]:
        from corvane.catalog import filtered_search

        try:
            hits = engine.search(q, k) if manual_ids is None else filtered_search(engine, q, manual_ids, k)
        except ValueError as exc:  # a bad synonym file, say
            raise CliError(str(exc)) from None
        return [position[_entry_key(e)] for e, _ in hits]

    info: dict[str, Any] = {"ranker": name}
    if name in ("hybrid", "cascade"):
        from corvane.synonyms import synonyms_for

        try:
            _, syn_path = synonyms_for(data_dir)
        except (OSError, ValueError) as exc:
            raise CliError(str(exc)) from None
        from corvane import _hybrid

        info.update({"synonyms": str(syn_path), "threshold": _hybrid.HybridIndex([], fused=name == "hybrid").threshold})
    return rank, info


def _standalone_hybrid(index: list[dict], data_dir: Path, synonyms_file: str | None,
                       threshold: float | None, *, fused: bool = True) -> tuple[Ranker, dict[str, Any]]:
    pos = {id(e): i for i, e in enumerate(index)}
    from corvane import _hybrid
    from corvane.synonyms import read_synonyms, synonyms_for

    try:
        if synonyms_file is not None:
            syn, syn_path = read_synonyms(synonyms_file), Path(synonyms_file)
        else:
            syn, syn_path = synonyms_for(data_dir)
    except (OSError, ValueError) as exc:
        raise CliError(str(exc)) from None
    try:
        paths = None
        if fused:
            found = heading_paths(index, data_dir)
            paths = [found.get(i, []) for i in range(len(index))]
        hybrid = _hybrid.HybridIndex(index, synonyms=syn, threshold=threshold, fused=fused, paths=paths)
    except (TypeError, KeyError, ValueError) as exc:
        raise CliError(f"scene index: {exc}") from None
    info = {"ranker": "hybrid" if fused else "cascade", "synonyms": str(syn_path), "threshold": hybrid.threshold,
            "score_threshold": round(hybrid.score_threshold, 3)}
    def rank(q: str, k: int, manual_ids=None) -> list[int]:
        if manual_ids is None:
            return [pos[id(e)] for e, _ in hybrid.search(q, k)]
        hits = hybrid.search(q, len(index))  # every match, then the vehicle's best k
        return [pos[id(e)] for e, _ in hits if e.get("manual_id") in manual_ids][:k]

    return rank, info


# ---------------------------------------------------------------------------
# Metrics


def _rate(num: int, den: int) -> float | None:
    return num / den if den else None


def evaluate(questions: list[Question], index: list[dict], ranker: Ranker, top_k: int) -> dict[str, Any]:
    kinds: dict[str, dict[str, Any]] = {}
    answerable = {"n": 0, "hit1": 0, "hit3": 0, "hitk": 0, "rr": 0.0, "refused": 0}
    shares: list[float] = []
    no_answer = {"n": 0, "refused": 0}
    misses = []
    for q in questions:
        if q.expect and len(q.targets) != len(q.expect):
            continue  # a question-file error, reported apart
        got = ranker(q.q, top_k) if q.manual_ids is None else ranker(q.q, top_k, q.manual_ids)
        k = kinds.setdefault(q.kind, {"n": 0, "hit1": 0, "hit3": 0, "hitk": 0, "rr": 0.0, "refused": 0, "answerable": False})
        k["answerable"] |= bool(q.targets)
        k["n"] += 1
        if not q.targets:
            no_answer["n"] += 1
            k["refused"] += not got
            no_answer["refused"] += not got
            continue
        rank = next((r for r, i in enumerate(got, 1) if i in q.targets), None)
        for acc in (k, answerable):
            if acc is answerable:
                acc["n"] += 1
            acc["hit1"] += rank == 1
            acc["hit3"] += rank is not None and rank <= 3
            acc["hitk"] += rank is not None
            acc["rr"] += 1 / rank if rank else 0.0
            acc["refused"] += not got
        if len(q.targets) > 1:
            shares.append(len(set(q.targets) & set(got)) / len(set(q.targets)))
        if rank is None:
            misses.append({
                "line": q.line,
                "q": q.q,
                "kind": q.kind,
                "expected": [f"{m} / {t}" for m, t in q.expect],
                "returned": [scene_label(index[i]) for i in got],
                "lacking": {f"{m} / {t}": lacking_words(q.q, index[i]) for (m, t), i in zip(q.expect, q.targets)},
                "targets": list(q.targets),
            })

    def figures(acc: dict[str, Any]) -> dict[str, Any]:
        n = acc["n"]
        return {"n": n, "hit@1": _rate(acc["hit1"], n), "hit@3": _rate(acc["hit3"], n),
                f"hit@{top_k}": _rate(acc["hitk"], n), "mrr": _rate(acc["rr"], n), "refused": _rate(acc["refused"], n)}

    per_kind = {}
    for name, acc in kinds.items():
        if acc["answerable"]:
            per_kind[name] = figures(acc)
        else:
            per_kind[name] = {"n": acc["n"], "refused": _rate(acc["refused"], acc["n"])}
    return {
        "top_k": top_k,
        "kinds": per_kind,
        "answerable": figures(answerable),
        "multi_scene_share": (sum(shares) / len(shares)) if shares else None,
        "multi_scene_questions": len(shares),
        "no_answer_refused": _rate(no_answer["refused"], no_answer["n"]),
        "no_answer_questions": no_answer["n"],
        "answerable_refused": _rate(answerable["refused"], answerable["n"]),
        "misses": misses,
    }


def __getattr__(name: str):
    # The command's half lives in corvane.evaluate_cli; its names stay reachable from here.
    if name in ("add_parser", "run_eval"):
        from corvane import evaluate_cli

        return getattr(evaluate_cli, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
