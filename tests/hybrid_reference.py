"""Plain Python BM25 over character bigrams: the reference the tests hold the
compiled hybrid ranker to.  Written for clarity, not speed."""
from __future__ import annotations

import math
import re

WS = re.compile(r"\s+")

FIELDS = ("title", "aliases", "description", "steps", "warning", "notice", "tip")


def normalize(text: str) -> str:
    return WS.sub("", text.lower().replace("（", "(").replace("）", ")"))


def char_class(c: str) -> tuple[str, str]:
    """('word' | 'han' | '', the character as it enters a term)."""
    o = ord(c)
    if 0xFF10 <= o <= 0xFF19 or 0xFF21 <= o <= 0xFF3A or 0xFF41 <= o <= 0xFF5A:
        c = chr(o - 0xFEE0).lower()
        o = ord(c)
    if "a" <= c <= "z" or "0" <= c <= "9":
        return "word", c
    if (0xC0 <= o <= 0x24F and o not in (0xD7, 0xF7)) or 0x370 <= o <= 0x52F:
        return "word", c
    if (0x3040 <= o <= 0x30FF or 0x3400 <= o <= 0x4DBF or 0x4E00 <= o <= 0x9FFF or 0xAC00 <= o <= 0xD7AF
            or 0xF900 <= o <= 0xFAFF or 0x20000 <= o <= 0x3134F):
        return "han", c
    return "", c


def terms(text: str) -> list[str]:
    """Terms of a text, in order, repeats kept: a run of word characters is one
    term; a run of han characters gives its bigrams, or the character alone."""
    out: list[str] = []
    run: list[str] = []
    kind = ""

    def flush():
        if kind == "word":
            out.append("".join(run))
        elif kind == "han":
            if len(run) == 1:
                out.append(run[0])
            else:
                out.extend(run[i] + run[i + 1] for i in range(len(run) - 1))

    for ch in normalize(text):
        k, c = char_class(ch)
        if k != kind:
            flush()
            run, kind = [], k
        run.append(c)
    flush()
    return out


def entry_fields(entry: dict) -> dict[str, list[str]]:
    title = entry.get("scene_title", "")
    scene = entry.get("scene_data") or {}
    steps: list[str] = []
    for st in scene.get("steps", []):
        steps.append(st.get("text", ""))
        steps.extend(st.get("sub_points", []))
    return {
        "title": [title],
        "aliases": [a for a in entry.get("aliases", []) if a != title],
        "description": [scene.get("description", "")],
        "steps": steps,
        "warning": list(scene.get("warning", [])),
        "notice": list(scene.get("notice", [])),
        "tip": list(scene.get("tip", [])),
    }


class PlainBM25:
    def __init__(self, docs: list[dict[str, list[str]]], weights: dict[str, float], k1=1.2, b=0.75):
        self.k1, self.b = k1, b
        self.tf: list[dict[str, float]] = []
        self.dl: list[float] = []
        df: dict[str, int] = {}
        for fields in docs:
            tf: dict[str, float] = {}
            length = 0
            for name, texts in fields.items():
                w = weights.get(name, 0.0)
                for t in texts:
                    ts = terms(t)
                    length += len(ts)
                    for term in ts:
                        tf[term] = tf.get(term, 0.0) + w
            tf = {t: v for t, v in tf.items() if v > 0}
            for t in tf:
                df[t] = df.get(t, 0) + 1
            self.tf.append(tf)
            self.dl.append(length)
        n = len(docs)
        self.n = n
        self.avgdl = (sum(self.dl) / n) if n and sum(self.dl) else 1.0
        self.idf = {t: math.log(1 + (n - d + 0.5) / (d + 0.5)) for t, d in df.items()}

    def query_terms(self, q: str) -> list[str]:
        return list(dict.fromkeys(terms(q)))

    def score(self, q_terms: list[str], d: int) -> float:
        tf = self.tf[d]
        norm = self.k1 * (1 - self.b + self.b * self.dl[d] / self.avgdl)
        s = 0.0
        for t in q_terms:
            f = tf.get(t)
            if f:
                s += self.idf[t] * f * (self.k1 + 1) / (f + norm)
        return s

    def ranking(self, q: str) -> list[tuple[int, float]]:
        qt = self.query_terms(q)
        scored = [(d, self.score(qt, d)) for d in range(self.n)]
        scored = [p for p in scored if p[1] > 0]
        scored.sort(key=lambda p: (-p[1], p[0]))
        return scored


# Question words and particles dropped from the hybrid's BM25 query (as in the core).
QUESTION_WORDS = ("什么时候", "怎么办", "怎么样", "为什么", "能不能", "是不是", "有没有", "会不会", "要不要",
                  "怎么", "怎样", "什么", "如何", "哪里", "哪儿", "哪个", "哪些", "在哪", "多少", "可以", "一下",
                  "的话", "这个", "那个", "是否", "能否", "还是", "吗", "呢", "吧", "啊", "的", "了")


def without_question_words(q: str) -> str:
    """The query without its question words, the text around them closing up:
    scanning left to right, the longest word starting at a position is dropped."""
    out, i = [], 0
    while i < len(q):
        hits = [w for w in QUESTION_WORDS if q.startswith(w, i)]
        if hits:
            i += max(map(len, hits))
        else:
            out.append(q[i])
            i += 1
    return "".join(out)


def base_title(title: str) -> str:
    """The title without a trailing bracketed part: "机油检查（Linde H7）" -> "机油检查"."""
    t = title.rstrip()
    for open_, close in (("（", "）"), ("(", ")")):
        if t.endswith(close):
            i = t.rfind(open_)
            if i > 0 and t[:i].rstrip():
                return t[:i].rstrip()
    return title


def plain_hybrid(entries, query, k, exact_score, *, weights, k1=1.2, b=0.75, threshold=1.36):
    """The hybrid ranking without synonyms: (entry position, stage) pairs."""
    qn = normalize(query)

    def occurs(text):
        t = normalize(text)
        return bool(t) and t in qn

    strong = []
    for i, e in enumerate(entries):
        title = e["scene_title"]
        if occurs(title) or any(occurs(a) for a in e.get("aliases", [])) or (
                base_title(title) != title and occurs(base_title(title))):
            strong.append(i)
    strong.sort(key=lambda i: (-exact_score(query, entries[i]), i))
    bm = PlainBM25([entry_fields(e) for e in entries], weights, k1, b)
    q_terms = bm.query_terms(without_question_words(qn))
    scored = [(d, bm.score(q_terms, d)) for d in range(len(entries))]
    ranking = sorted((p for p in scored if p[1] > 0), key=lambda p: (-p[1], p[0]))
    unit = math.log(1 + max(0.0, len(entries) - 0.5) / 1.5)
    if not strong and (not ranking or ranking[0][1] < threshold * unit):
        return [], ranking
    out = [(i, 1) for i in strong[:k]]
    out += [(d, 2) for d, _ in ranking if d not in strong][: k - len(out)]
    return out, ranking
