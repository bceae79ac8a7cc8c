"""PDF documents (pdfplumber): headings from the outline (bookmarks) when there is one,
else from font size and weight; running headers, footers and page numbers removed;
wrapped lines re-joined; numbered lines as steps; boxes by their leading keywords
(警告！/注意！/说明！); ruled tables."""
from __future__ import annotations

import re
from collections import Counter
from dataclasses import dataclass

from corvane.checking.importers.model import Block, box_field_of_label, clean

STEP_RE = re.compile(r"^\s*(\d{1,4})\s*[.．、)）](?!\d)\s*(\S.*)$")
BULLET_RE = re.compile(r"^\s*[•·●◦▪■□\-–—*]\s*(\S.*)$")
PAGE_NUMBER_RE = re.compile(r"^(?:[-–—\s]*\d+[-–—\s]*|第\s*\d+\s*页(?:\s*[/，,]?\s*共\s*\d+\s*页)?|\d+\s*/\s*\d+"
                            r"|page\s*\d+(?:\s*of\s*\d+)?)$", re.IGNORECASE)
TERMINAL = "。！？!?；;：:"
MARGIN_SHARE = 0.09  # the top and bottom share of a page where running headers and footers sit


def _is_cjk(ch: str) -> bool:
    return "\u2e80" <= ch <= "\u9fff" or "\uf900" <= ch <= "\ufaff" or "\uff00" <= ch <= "\uffef" \
        or "\u3000" <= ch <= "\u303f"


def join_wrapped(a: str, b: str) -> str:
    """Two parts of a wrapped line: no space between Chinese characters, one otherwise."""
    if not a:
        return b
    if not b:
        return a
    return a + b if _is_cjk(a[-1]) or _is_cjk(b[0]) else a + " " + b


@dataclass
class Line:
    text: str
    page: int
    top: float
    bottom: float
    x0: float
    x1: float
    size: float
    bold: bool
    table: list | None = None  # rows, for a table placeholder


def _outline(pdf) -> dict[str, int]:
    try:
        entries = list(pdf.doc.get_outlines())
    except Exception:  # noqa: BLE001 -- no outline, or a broken one: headings come from the fonts
        return {}
    out = {}
    for entry in entries:
        level, title = entry[0], entry[1]
        if isinstance(title, str) and clean(title):
            out.setdefault(clean(title), int(level))
    return out


def _page_lines(page, number: int) -> list[Line]:
    tables = []
    try:
        tables = page.find_tables()
    except Exception:  # noqa: BLE001 -- table detection is a best effort
        tables = []
    boxes = [t.bbox for t in tables]
    out = []
    for ln in page.extract_text_lines(return_chars=True, strip=True):
        text = clean(ln["text"])
        if not text:
            continue
        cx = (ln["x0"] + ln["x1"]) / 2
        cy = (ln["top"] + ln["bottom"]) / 2
        if any(b[0] <= cx <= b[2] and b[1] <= cy <= b[3] for b in boxes):
            continue
        chars = [c for c in ln["chars"] if c["text"].strip()]
        sizes = Counter(round(c["size"], 1) for c in chars)
        size = sizes.most_common(1)[0][0] if sizes else 0.0
        bold = sum("bold" in (c.get("fontname") or "").lower() for c in chars) > len(chars) / 2
        out.append(Line(text, number, ln["top"], ln["bottom"], ln["x0"], ln["x1"], size, bold))
    for t in tables:
        rows = [[clean(c or "") for c in row] for row in t.extract()]
        rows = [r for r in rows if any(r)]
        if rows:
            out.append(Line("", number, t.bbox[1], t.bbox[3], t.bbox[0], t.bbox[2], 0.0, False, rows))
    out.sort(key=lambda l: (l.top, l.x0))
    return out


def _drop_running_lines(pages: list[list[Line]], heights: list[float]) -> int:
    """Removes running headers and footers (the same text, digits aside, in a page margin
    on at least half of the pages) and page numbers; returns how many lines went."""
    def key(l: Line) -> str:
        return re.sub(r"\d+", "#", l.text)

    def in_margin(l: Line) -> bool:
        h = heights[l.page]
        return l.table is None and (l.bottom <= h * MARGIN_SHARE or l.top >= h * (1 - MARGIN_SHARE))

    seen = Counter()
    for lines in pages:
        seen.update({key(l) for l in lines if in_margin(l)})
    running = {k for k, n in seen.items() if len(pages) >= 2 and n >= max(2, len(pages) / 2)}
    removed = 0
    for lines in pages:
        keep = []
        for l in lines:
            if in_margin(l) and (key(l) in running or PAGE_NUMBER_RE.match(l.text)):
                removed += 1
            else:
                keep.append(l)
        lines[:] = keep
    return removed


def read_pdf(path) -> tuple[list[Block], list[str]]:
    import pdfplumber

    notes: list[str] = []
    with pdfplumber.open(str(path)) as pdf:
        outline = _outline(pdf)
        pages = [_page_lines(p, i) for i, p in enumerate(pdf.pages)]
        pictures = sum(len(p.images) for p in pdf.pages)
        heights = [float(p.height) for p in pdf.pages]
        widths = [float(p.width) for p in pdf.pages]
    if not any(pages):
        raise ValueError("no text in the document (a scanned PDF needs text recognition first)")
    if pictures:
        notes.append(f"{pictures} picture(s) in the PDF were not extracted; add them as \"![](address)\" lines")
    removed = _drop_running_lines(pages, heights)
    if removed:
        notes.append(f"{removed} running header/footer and page number line(s) were removed")

    lines = [l for page in pages for l in page]
    if outline:
        found = {l.text for l in lines} & set(outline)
        if len(found) < max(1, len(outline) // 2):
            notes.append(f"the outline's titles were not found in the text ({len(found)} of {len(outline)}); "
                         f"headings come from the font sizes")
            outline = {}
    weights = Counter()
    for l in lines:
        if l.table is None:
            weights[l.size] += len(l.text)
    body = weights.most_common(1)[0][0] if weights else 0.0
    heading_sizes = sorted({l.size for l in lines if l.table is None and l.size >= body * 1.15 and len(l.text) <= 60},
                           reverse=True)
    level_of_size = {s: i + 1 for i, s in enumerate(heading_sizes[:5])}
    right_edge = {}
    for l in lines:
        if l.table is None and l.size <= body * 1.05:
            right_edge[l.page] = max(right_edge.get(l.page, 0.0), l.x1)

    def heading_level(l: Line) -> int:
        if outline:
            return outline.get(l.text, 0)
        if l.text[-1] in "。，,；;" or len(l.text) > 60:
            return 0
        if l.size in level_of_size:
            return level_of_size[l.size]
        if l.bold and len(l.text) <= 40 and not STEP_RE.match(l.text):
            return len(level_of_size) + 1
        return 0

    blocks: list[Block] = []
    prev: Line | None = None
    open_text: Block | None = None  # the block a wrapped line continues

    def wrapped(l: Line) -> bool:
        if open_text is not None and open_text.kind == "box" and not open_text.subs[-1]:
            return True  # the line after a keyword alone on its line
        if prev is None or open_text is None or prev.table is not None:
            return False
        if prev.text[-1] in TERMINAL and open_text.kind != "heading":
            return False
        full = prev.x1 >= right_edge.get(prev.page, widths[prev.page]) - 2.5 * max(prev.size, 1.0)
        if not full:
            return False
        if l.page != prev.page:
            return True
        return l.top - prev.bottom <= 0.9 * max(l.size, 1.0)

    def extend(b: Block, text: str) -> None:
        if b.kind == "box":
            b.subs[-1] = join_wrapped(b.subs[-1], text)
        elif b.kind == "step" and b.subs:
            b.subs[-1] = join_wrapped(b.subs[-1], text)
        else:
            b.text = join_wrapped(b.text, text)

    for l in lines:
        if l.table is not None:
            blocks.append(Block("table", rows=l.table, header=True))
            open_text = None
            prev = l
            continue
        level = heading_level(l)
        step = STEP_RE.match(l.text)
        bullet = BULLET_RE.match(l.text)
        label = box_field_of_label(l.text)
        if level:
            if open_text is not None and open_text.kind == "heading" and prev is not None and \
                    prev.page == l.page and l.top - prev.bottom <= 0.5 * l.size and \
                    heading_level(prev) == level and not outline:
                open_text.text = join_wrapped(open_text.text, l.text)  # a heading wrapped over two lines
            else:
                open_text = Block("heading", text=l.text, level=level)
                blocks.append(open_text)
        elif not (step or bullet or label) and wrapped(l):
            extend(open_text, l.text)
        elif step:
            open_text = Block("step", text=step.group(2), index=int(step.group(1)))
            blocks.append(open_text)
        elif bullet:
            last = blocks[-1] if blocks else None
            if last is not None and last.kind == "step" and prev is not None and l.x0 > prev.x0 - 1:
                last.subs.append(bullet.group(1))
                open_text = last
            else:
                open_text = Block("bullet", text=bullet.group(1))
                blocks.append(open_text)
        elif label and label[1]:
            open_text = Block("box", field=label[0], subs=[label[1]])
            blocks.append(open_text)
        elif label:  # the keyword alone on its line: the box's text follows
            open_text = Block("box", field=label[0], subs=[""])
            blocks.append(open_text)
        else:
            open_text = Block("para", text=l.text)
            blocks.append(open_text)
        prev = l
    for b in blocks:
        if b.kind == "box":
            b.subs = [s for s in b.subs if s]
    return [b for b in blocks if b.kind != "box" or b.subs], notes
