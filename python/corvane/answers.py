"""Safe answers: refusals that never reach the model, a deployment's persona,
numbered scenes the model cites, and the sources of an answer.

The default answer prompt is the specified one (``vendry.build_prompt`` over
the matched record in its text form); ``AnswerStyle()`` gives it byte for
byte, ``AnswerStyle.for_owners()`` turns on citations and warnings whatever
the intent.  Everything here is beside it:

* ``is_refused(matched)``: no scene matched -- the caller answers
  ``style.fallback`` with ``refused: true`` and calls no model;
* ``AnswerStyle``: brand, assistant persona, tone, safety instructions,
  fallback text, knowledge format (``"text"``, the record's text form, or
  ``"json"``), citations; ``load_style(path)`` reads it from a JSON file;
* ``with_warnings(matched, records)``: the matched record with every
  scene's warnings in its context whatever the intent selected;
* ``build_answer_prompt(question, matched, style)``;
* ``parse_citations(reply, n)`` and ``sources(...)``: the scenes a reply cites,
  cited first, then the rest of the context;
* ``plan_answer(engine, question, ...)``: all of it for one answer.
"""
from __future__ import annotations

import json
import re
from dataclasses import dataclass, field, fields, replace
from pathlib import Path
from typing import Any, Iterable, Mapping, Sequence

__all__ = [
    "AnswerStyle", "StyleError", "load_style", "is_refused", "with_warnings", "build_answer_prompt",
    "parse_citations", "sources", "KNOWLEDGE_FORMATS", "DEFAULT_BRAND", "DEFAULT_ASSISTANT", "AnswerPlan",
    "plan_answer",
]

DEFAULT_BRAND = "Brevane"
DEFAULT_ASSISTANT = "Brevane汽车助手"
KNOWLEDGE_FORMATS = ("text", "json")
_IND = "\n" + " " * 12
CITE_INSTRUCTION = "知识中的场景按编号列出。回答时请在所依据的句子后用方括号注明场景编号，例如[1]；知识中没有的内容不要回答。"


class StyleError(ValueError):
    """A style setting that cannot be used; the message names the file and key."""


def default_fallback(brand: str, assistant: str) -> str:
    return (f"您好，我是{assistant}。很抱歉，用户手册中没有找到与您的问题相关的内容，"
            f"为避免给您错误的指引，建议您联系{brand}官方客服或前往{brand}授权服务中心咨询。")


@dataclass(frozen=True)
class AnswerStyle:
    brand: str = DEFAULT_BRAND
    assistant: str | None = None  # default: f"{brand}汽车助手"
    tone: str | None = None
    safety: tuple[str, ...] = ()
    fallback: str | None = None  # default: default_fallback(brand, assistant)
    knowledge_format: str = "text"
    cite: bool = False
    always_warnings: bool = False

    @classmethod
    def for_owners(cls, **kw) -> "AnswerStyle":
        """The style for an owners' deployment: scenes cited by number and
        warnings always in the context (the plain ``AnswerStyle()`` keeps the
        specified answer prompt byte for byte)."""
        return cls(**{"cite": True, "always_warnings": True, **kw})

    def __post_init__(self):
        if self.knowledge_format not in KNOWLEDGE_FORMATS:
            raise StyleError(f"knowledge_format must be one of {', '.join(KNOWLEDGE_FORMATS)}, "
                             f"not {self.knowledge_format!r}")

    @property
    def persona(self) -> str:
        return self.assistant or (DEFAULT_ASSISTANT if self.brand == DEFAULT_BRAND else f"{self.brand}汽车助手")

    @property
    def fallback_text(self) -> str:
        return self.fallback if self.fallback is not None else default_fallback(self.brand, self.persona)

    @property
    def is_specified_default(self) -> bool:
        """True when the prompt is exactly the specified answer prompt."""
        return (self.persona == DEFAULT_ASSISTANT and not self.tone and not self.safety
                and self.knowledge_format == "text" and not self.cite)

    def with_options(self, **kw) -> "AnswerStyle":
        """A copy with command-line overrides (None values are ignored)."""
        return replace(self, **{k: v for k, v in kw.items() if v is not None})


_STYLE_FIELDS = {f.name: f for f in fields(AnswerStyle)}


def style_from_mapping(raw: Mapping[str, Any], where: str = "style") -> AnswerStyle:
    if not isinstance(raw, Mapping):
        raise StyleError(f"{where}: must be a JSON object, not {type(raw).__name__}")
    kw: dict[str, Any] = {}
    for key, value in raw.items():
        if key not in _STYLE_FIELDS:
            raise StyleError(f"{where}: key {key!r} is not a style setting (known: {', '.join(_STYLE_FIELDS)})")
        if key in ("cite", "always_warnings"):
            if not isinstance(value, bool):
                raise StyleError(f"{where}: key {key!r} must be true or false, not {value!r}")
        elif key == "safety":
            if isinstance(value, str):
                value = [value]
            if not isinstance(value, list) or not all(isinstance(v, str) and v.strip() for v in value):
                raise StyleError(f"{where}: key 'safety' must be a string or a list of non-empty strings")
            value = tuple(value)
        elif not isinstance(value, str) or (key != "tone" and not value.strip()):
            raise StyleError(f"{where}: key {key!r} must be a non-empty string, not {value!r}")
        kw[key] = value
    try:
        return AnswerStyle(**kw)
    except StyleError as exc:
        raise StyleError(f"{where}: {exc}") from None


def load_style(path: str | Path) -> AnswerStyle:
    """The style of a JSON file (keys: the fields of AnswerStyle)."""
    p = Path(path)
    try:
        raw = json.loads(p.read_text(encoding="utf-8"))
    except OSError as exc:
        raise StyleError(f"{p}: {exc.strerror or exc}") from None
    except UnicodeDecodeError as exc:
        raise StyleError(f"{p}: not UTF-8 (byte {exc.start})") from None
    except json.JSONDecodeError as exc:
        raise StyleError(f"{p}: line {exc.lineno}: not valid JSON ({exc.msg})") from None
    return style_from_mapping(raw, str(p))


# ---- the record ---------------------------------------------------------------

def is_refused(matched: Mapping[str, Any]) -> bool:
    """True when no scene matched: the answer is the fallback, no model call."""
    return not matched.get("results")


def with_warnings(matched: Mapping[str, Any], records: Sequence[Mapping[str, Any]]) -> dict[str, Any]:
    """A copy of the matched record whose contexts hold their scene's warnings
    whatever the intent selected.  ``records`` are the index entries of the
    results, in the same order.  The given record and contexts are not changed."""
    out = dict(matched)
    results = []
    for i, r in enumerate(matched.get("results", [])):
        scene = records[i].get("scene_data", {}) if i < len(records) else {}
        warnings = scene.get("warning") if isinstance(scene, Mapping) else None
        ctx = r.get("context")
        if warnings and isinstance(ctx, Mapping) and not ctx.get("warning"):
            r = dict(r)
            r["context"] = {**ctx, "warning": list(warnings)}
        results.append(r)
    out["results"] = results
    return out


def with_tables(matched: Mapping[str, Any], tables: Sequence[Sequence[Mapping[str, Any]]]) -> dict[str, Any]:
    """A copy of the matched record whose contexts carry their scene's tables as
    text rows ("列：值；列：值", key ``tables``); ``tables`` per result, in order
    (a hit's ``tables``).  Results without tables are left as they are."""
    from corvane import _manualcheck

    out = dict(matched)
    results = []
    for i, r in enumerate(matched.get("results", [])):
        found = tables[i] if i < len(tables) else ()
        rows = [line for t in found for line in _manualcheck.table_text_rows(t["header"], t["rows"])]
        ctx = r.get("context")
        if rows and isinstance(ctx, Mapping):
            r = dict(r)
            r["context"] = {**ctx, "tables": rows}
        results.append(r)
    out["results"] = results
    return out


def _text_form(value) -> str:
    return value if isinstance(value, str) else repr(value)


def _knowledge(matched: Mapping[str, Any], style: AnswerStyle, labels: Sequence[str]) -> str:
    if style.knowledge_format == "json":
        results = []
        for i, r in enumerate(matched.get("results", [])):
            item = {"n": i + 1} if style.cite else {}
            item.update({"title": r.get("title"), "source": labels[i] if i < len(labels) else None,
                         "context": r.get("context")})
            if item["source"] is None:
                del item["source"]
            results.append(item)
        return json.dumps({"question": matched.get("query"), "intent": matched.get("intent"),
                           "scenes": results}, ensure_ascii=False, default=str)
    text = _text_form(matched)
    if style.cite:
        numbered = [f"[{i + 1}] {r.get('title')}" + (f"（{labels[i]}）" if i < len(labels) and labels[i] else "")
                    for i, r in enumerate(matched.get("results", []))]
        text += _IND + "场景编号：" + "；".join(numbered)
    return text


def build_answer_prompt(question: str, matched: Mapping[str, Any], style: AnswerStyle | None = None, *,
                        labels: Sequence[str] = ()) -> str:
    """The answer prompt in a deployment's style.  The default style without
    citations is the specified prompt byte for byte.  ``labels``: a source
    label per result (the manual's title, say) shown beside its number."""
    style = style or AnswerStyle()
    if style.is_specified_default:
        from corvane import vendry

        return vendry.build_prompt(question, dict(matched) if not isinstance(matched, dict) else matched)
    q = _text_form(question)
    lines = [f"你是{style.persona}。擅于回答<{q}>", "请严格根据以下知识回答用户问题，不要编造。"]
    if style.tone:
        lines.append(f"回答语气：{style.tone}")
    lines += [f"安全要求：{s}" for s in style.safety]
    if style.cite:
        lines.append(CITE_INSTRUCTION)
    head = _IND.join(lines)
    return (_IND + head + _IND + _IND + "用户问题：" + _IND + q + _IND + _IND + "知识：" + _IND
            + _knowledge(matched, style, labels) + _IND)


# ---- citations and sources ---------------------------------------------------------

_CITE = re.compile(r"[\[［【]\s*(\d+(?:\s*[,，、\-–~]\s*\d+)*)\s*[\]］】]")


def parse_citations(reply: str, n: int) -> list[int]:
    """The scene numbers (1..n) a reply cites, in first-cited order: [1],
    [1,2], [1][3], [2-3], full-width brackets too.  Numbers outside 1..n
    (a model inventing a scene) are dropped."""
    out: list[int] = []
    for m in _CITE.finditer(reply or ""):
        for part in re.split(r"\s*[,，、]\s*", m.group(1)):
            bounds = re.split(r"\s*[\-–~]\s*", part)
            lo, hi = int(bounds[0]), int(bounds[-1])
            if hi < lo or hi - lo > n:
                hi = lo
            for k in range(lo, hi + 1):
                if 1 <= k <= n and k not in out:
                    out.append(k)
    return out


def heading_path(record: Mapping[str, Any], manual_title: str | None = None) -> list[str]:
    """The headings leading to a scene: the manual's title, the scene's
    parent headings when the entry records them, the scene title."""
    path: list[str] = []
    if manual_title:
        path.append(manual_title)
    for key in ("heading_path", "path", "parents"):
        value = record.get(key)
        if isinstance(value, list) and all(isinstance(v, str) for v in value):
            path.extend(v for v in value if v not in path)
            break
    title = record.get("scene_title")
    if isinstance(title, str) and (not path or path[-1] != title):
        path.append(title)
    return path


def sources(records: Sequence[Mapping[str, Any]], reply: str | None, *, catalog=None,
            cite: bool = True) -> dict[str, Any]:
    """``{"sources": [...], "cited": bool}`` of an answer over the scenes the
    prompt showed (``records``, index entries in prompt order).

    Each source: ``n`` (its number in the prompt), ``scene_id``,
    ``manual_id``, ``manual_title``, ``vehicle`` (the first of ``vehicles``,
    several for a shared manual), ``title``, ``heading_path``
    and ``role`` -- ``"cited"`` for the scenes the reply cites (first, in
    citation order), ``"context"`` for the others.  ``cited`` is false when
    the reply cites nothing (an uncited answer: every source is context)."""
    cited = parse_citations(reply or "", len(records)) if cite else []
    order = cited + [i + 1 for i in range(len(records)) if i + 1 not in cited]
    out = []
    for n in order:
        rec = records[n - 1]
        mid = rec.get("manual_id")
        title = catalog.manual_title(mid) if catalog is not None and isinstance(mid, str) else mid
        out.append({
            "n": n, "scene_id": rec.get("scene_id"), "manual_id": mid, "manual_title": title,
            "vehicle": catalog.vehicle_of(mid) if catalog is not None and isinstance(mid, str) else None,
            "vehicles": catalog.vehicles_of(mid) if catalog is not None and isinstance(mid, str) else [],
            "title": rec.get("scene_title"), "heading_path": heading_path(rec, title),
            "role": "cited" if n in cited else "context",
        })
    return {"sources": out, "cited": bool(cited)}


# ---- one answer, start to end --------------------------------------------------------

@dataclass
class AnswerPlan:
    """What an answer needs before and after the model call.

    ``refused``: no scene matched; answer ``fallback`` and call no model.
    Otherwise send ``prompt``; then ``finish(reply)`` gives the sources."""

    question: str
    refused: bool
    prompt: str | None
    fallback: str | None
    matched: dict[str, Any]
    records: list[dict[str, Any]]
    cite: bool
    catalog: Any = None

    def finish(self, reply: str | None) -> dict[str, Any]:
        return sources(self.records, reply, catalog=self.catalog, cite=self.cite)


def plan_answer(engine, question: str, *, style: AnswerStyle | None = None, catalog=None,
                manual_ids: Iterable[str] | None = None, ranker: str | None = None, top_k: int = 3,
                retrieval_query: str | None = None) -> AnswerPlan:
    """Retrieves the scenes of a question (restricted to ``manual_ids`` when
    given, through ``catalog.filtered_search`` until the engine filters
    natively) and builds the prompt in ``style``.  ``retrieval_query``: the
    question to search with when it differs from the one the owner asked (a
    rewritten follow-up); the prompt always shows the owner's question."""
    from corvane import morlek
    from corvane.catalog import filtered_search

    style = style or AnswerStyle()
    search_q = question if retrieval_query is None else retrieval_query
    native = getattr(engine, "answer", None)
    if manual_ids is None and search_q == question and callable(native):
        # The question as asked, over every manual: the engine's own answer
        # (one search; the matched record built natively).
        found = native(question, ranker=ranker, top_k=top_k)
        records = [h.record for h in found.hits]
        tables = [getattr(h, "tables", ()) for h in found.hits]
        matched: dict[str, Any] = found.knowledge
    else:
        hits = filtered_search(engine, search_q, manual_ids, top_k, ranker=ranker, catalog=catalog)
        intent = morlek.classify_query_intent(question)
        results = [{"node_id": r["scene_id"], "title": r["scene_title"], "score": score, "intent": intent,
                    "context": morlek.build_scene_context(r["scene_data"], intent)} for r, score in hits]
        records = [r for r, _ in hits]
        tables = [getattr(h, "tables", ()) for h in hits]
        matched = {"query": question, "intent": intent, "results": results}
    if is_refused(matched):
        return AnswerPlan(question, True, None, style.fallback_text, matched, records, style.cite, catalog)
    if style.always_warnings:
        matched = with_warnings(matched, records)
    if not style.is_specified_default:
        matched = with_tables(matched, tables)
    labels = [catalog.manual_title(r["manual_id"]) if catalog is not None and isinstance(r.get("manual_id"), str)
              else "" for r in records]
    prompt = build_answer_prompt(question, matched, style, labels=labels)
    return AnswerPlan(question, False, prompt, None, matched, records, style.cite, catalog)
