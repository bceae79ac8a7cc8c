"""``corvane eval``'s output: the text report, alias suggestions, the JSON file and the plot."""
from __future__ import annotations

import contextlib
import json
import os
import re
import tempfile
from pathlib import Path
from typing import Any

from corvane.cli_errors import CliError

WS = re.compile(r"\s+")


def _terms_runs(text: str) -> list[tuple[str, str]]:
    """(kind, run) pairs of a normalized text: 'word' runs (ASCII letters and
    digits) and 'han' runs (CJK ideographs); everything else separates."""
    out = []
    for m in re.finditer(r"[a-z0-9]+|[\u3400-\u9fff\uf900-\ufaff]+", text):
        out.append(("word" if m.group()[0] < "\u0080" else "han", m.group()))
    return out


def normalize(text: str) -> str:
    return WS.sub("", text.lower().replace("（", "(").replace("）", ")"))


def entry_text(entry: dict) -> str:
    """Every text of an entry, normalized, joined by line feeds."""
    parts = [entry.get("scene_title", "")] + list(entry.get("aliases", []) or [])
    scene = entry.get("scene_data") or {}
    if isinstance(scene, dict):
        parts.append(scene.get("description", ""))
        for st in scene.get("steps", []) or []:
            if isinstance(st, dict):
                parts.append(st.get("text", ""))
                parts.extend(st.get("sub_points", []) or [])
        for key in ("warning", "notice", "tip"):
            parts.extend(scene.get(key, []) or [])
    return "\n".join(normalize(p) for p in parts if isinstance(p, str))


def lacking_words(question: str, entry: dict) -> list[str]:
    """The question's words that the scene does not contain: ASCII words not in
    its text, and stretches of two or more CJK characters none of whose
    character pairs occur in it."""
    text = entry_text(entry)
    out: list[str] = []
    for kind, run in _terms_runs(normalize(question)):
        if kind == "word":
            if run not in text:
                out.append(run)
            continue
        covered = [False] * len(run)
        for i in range(len(run) - 1):
            if run[i : i + 2] in text:
                covered[i] = covered[i + 1] = True
        i = 0
        while i < len(run):
            if covered[i]:
                i += 1
                continue
            j = i
            while j < len(run) and not covered[j]:
                j += 1
            if j - i >= 2:
                out.append(run[i:j])
            i = j
    return list(dict.fromkeys(out))


def _pct(v: float | None) -> str:
    return "    -" if v is None else f"{100 * v:5.1f}%"


def format_report(result: dict[str, Any], info: dict[str, Any]) -> str:
    k = result["top_k"]
    lines = [f"ranker: {info['ranker']}" + "".join(f", {a}: {b}" for a, b in info.items() if a != "ranker")]
    lines.append(f"  {'kind':<14}{'n':>5}{'hit@1':>8}{'hit@3':>8}{f'hit@{k}':>8}{'MRR':>7}")
    rows = [(name, f) for name, f in result["kinds"].items() if "hit@1" in f] + [("answerable", result["answerable"])]
    for name, f in rows:
        mrr = "    -" if f["mrr"] is None else f"{f['mrr']:.3f}"
        lines.append(f"  {name:<14}{f['n']:>5}{_pct(f['hit@1']):>8}{_pct(f['hit@3']):>8}{_pct(f[f'hit@{k}']):>8}{mrr:>7}")
    if result["multi_scene_share"] is not None:
        lines.append(f"  questions expecting several scenes ({result['multi_scene_questions']}): "
                     f"share of expected scenes in the top {k}: {result['multi_scene_share']:.3f}")
    if result["no_answer_questions"]:
        lines.append(f"  no-answer questions refused: {_pct(result['no_answer_refused']).strip()} "
                     f"of {result['no_answer_questions']}")
    lines.append(f"  answerable questions refused: {_pct(result['answerable_refused']).strip()}")
    lines.append(f"  misses: {len(result['misses'])}")
    for m in result["misses"]:
        lines.append(f"    line {m['line']} [{m['kind']}] {m['q']}")
        lines.append(f"      expected: {'; '.join(m['expected'])}")
        lines.append(f"      returned: {'; '.join(m['returned']) if m['returned'] else '(nothing)'}")
        for scene, words in m["lacking"].items():
            if words:
                lines.append(f"      words {scene} lacks: {', '.join(words)}")
    return "\n".join(lines)


def alias_suggestions(results: dict[str, dict[str, Any]], index: list[dict]) -> dict[str, list[str]]:
    """Alias candidates for missed scenes that have a title: the question's
    words the scene lacks (two to eight characters, question words such as
    怎么 or 咋调 taken out), in the alias file's format."""
    from corvane.report import clean_alias_words

    out: dict[str, list[str]] = {}
    for result in results.values():
        for m in result["misses"]:
            for i in m["targets"]:
                title = index[i].get("scene_title")
                if not isinstance(title, str) or not title:
                    continue
                words = clean_alias_words(lacking_words(m["q"], index[i]))
                have = set(index[i].get("aliases", []) or [])
                bucket = out.setdefault(title, [])
                for w in words:
                    if w not in have and w not in bucket:
                        bucket.append(w)
    return {t: ws for t, ws in out.items() if ws}


def write_json_file(path: Path, obj: Any) -> None:
    """Written whole or not at all: a temporary file in the same folder, then renamed."""
    text = json.dumps(obj, ensure_ascii=False, indent=2) + "\n"
    folder = path.parent if str(path.parent) else Path(".")
    fd, tmp = tempfile.mkstemp(prefix=f".{path.name}.", dir=folder)
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            f.write(text)
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise


def plot(results: dict[str, dict[str, Any]], path: Path, top_k: int) -> None:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        raise CliError("--plot needs matplotlib (pip install 'corvane[plot]')") from None
    kinds: list[str] = []
    for r in results.values():
        for name, f in r["kinds"].items():
            if "hit@1" in f and name not in kinds:
                kinds.append(name)
    kinds.append("answerable")
    fig, ax = plt.subplots(figsize=(max(6, 1.4 * len(kinds)), 4))
    width = 0.8 / max(1, len(results))
    for n, (name, r) in enumerate(results.items()):
        values = []
        for kind in kinds:
            f = r["answerable"] if kind == "answerable" else r["kinds"].get(kind, {})
            values.append(100 * (f.get(f"hit@{top_k}") or 0))
        xs = [i + (n - (len(results) - 1) / 2) * width for i in range(len(kinds))]
        bars = ax.bar(xs, values, width, label=name)
        ax.bar_label(bars, fmt="%.0f", fontsize=8)
    ax.set_xticks(range(len(kinds)), kinds)
    ax.set_ylabel(f"hit@{top_k} (%)")
    ax.set_ylim(0, 105)
    ax.legend()
    ax.set_title(f"Scenes found in the top {top_k}, by question kind")
    fig.tight_layout()
    try:
        fig.savefig(path)
    except OSError as exc:
        raise CliError(f"{path}: {exc.strerror or exc}") from None
    finally:
        plt.close(fig)


# ---------------------------------------------------------------------------
# Command
