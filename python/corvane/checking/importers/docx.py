"""Word documents (DOCX, with python-docx): heading styles, numbered paragraphs as steps,
bulleted ones as list items, boxes by style name or leading keyword, images with their
alternative text, tables."""
from __future__ import annotations

import posixpath
import re

from corvane.checking.importers.model import BOX_CLASSES, Block, box_field_of_label, clean

_HEADING_STYLE = re.compile(r"^(?:heading|标题)\s*(\d)$", re.IGNORECASE)


def _numbering_formats(doc):
    """{(numId, ilvl): numFmt} from the document's numbering definitions."""
    from docx.oxml.ns import qn

    try:
        numbering = doc.part.numbering_part.element
    except (KeyError, NotImplementedError, AttributeError):
        return {}
    abstract = {}
    for an in numbering.findall(qn("w:abstractNum")):
        levels = {}
        for lvl in an.findall(qn("w:lvl")):
            fmt = lvl.find(qn("w:numFmt"))
            levels[int(lvl.get(qn("w:ilvl"), "0"))] = fmt.get(qn("w:val")) if fmt is not None else ""
        abstract[an.get(qn("w:abstractNumId"))] = levels
    out = {}
    for num in numbering.findall(qn("w:num")):
        ref = num.find(qn("w:abstractNumId"))
        if ref is None:
            continue
        for ilvl, fmt in abstract.get(ref.get(qn("w:val")), {}).items():
            out[(num.get(qn("w:numId")), ilvl)] = fmt
    return out


def _num_pr(p):
    """(numId, ilvl) of a paragraph's own or its style's numbering, or None."""
    from docx.oxml.ns import qn

    for holder in (p._p.pPr, getattr(p.style.element, "pPr", None) if p.style is not None else None):
        if holder is None:
            continue
        num_pr = holder.find(qn("w:numPr"))
        if num_pr is None:
            continue
        num_id = num_pr.find(qn("w:numId"))
        ilvl = num_pr.find(qn("w:ilvl"))
        if num_id is not None and num_id.get(qn("w:val")) != "0":
            return num_id.get(qn("w:val")), int(ilvl.get(qn("w:val"))) if ilvl is not None else 0
    return None


def _images(p, doc) -> list[tuple[str, str]]:
    from docx.oxml.ns import qn

    out = []
    alts = [d.get("descr") or d.get("title") or "" for d in p._p.iter(qn("wp:docPr"))]
    for k, blip in enumerate(p._p.iter(qn("a:blip"))):
        rid = blip.get(qn("r:embed")) or blip.get(qn("r:link"))
        part = doc.part.related_parts.get(rid) if rid else None
        name = posixpath.basename(str(part.partname)) if part is not None else (rid or "")
        out.append(("media/" + name, clean(alts[k]) if k < len(alts) else ""))
    return out


def _box_of_style(name: str) -> str:
    low = name.lower()
    for word, fld in BOX_CLASSES.items():
        if word in low:
            return fld
    for word, fld in (("警告", "warning"), ("注意", "notice"), ("提示", "tip")):
        if word in name:
            return fld
    return ""


def read_docx(path) -> tuple[list[Block], list[str]]:
    import docx
    from docx.oxml.ns import qn
    from docx.table import Table
    from docx.text.paragraph import Paragraph

    doc = docx.Document(str(path))
    formats = _numbering_formats(doc)
    blocks: list[Block] = []
    notes: list[str] = []
    counters: dict[str, int] = {}
    images_without_files = 0

    for el in doc.element.body.iterchildren():
        if el.tag == qn("w:tbl"):
            rows = []
            for row in Table(el, doc).rows:
                cells, last = [], None
                for c in row.cells:
                    if c._tc is last:  # a merged cell repeats
                        cells.append("")
                        continue
                    last = c._tc
                    cells.append(clean(c.text))
                if any(cells):
                    rows.append(cells)
            if rows:
                blocks.append(Block("table", rows=rows, header=True))
            continue
        if el.tag != qn("w:p"):
            continue
        p = Paragraph(el, doc)
        style = p.style.name if p.style is not None else ""
        text = clean(p.text)
        images = _images(p, doc)
        images_without_files += len(images)
        m = _HEADING_STYLE.match(style)
        if m or style == "Title":
            if text:
                blocks.append(Block("heading", text=text, level=int(m.group(1)) if m else 1))
                counters.clear()
            continue
        num = _num_pr(p)
        fmt = formats.get(num, "") if num else ""
        numbered = style.startswith("List Number") or fmt in ("decimal", "decimalZero", "decimalFullWidth",
                                                             "chineseCounting", "decimalEnclosedCircle")
        bulleted = style.startswith("List Bullet") or fmt == "bullet"
        m_level = re.search(r" (\d)$", style) if (numbered or bulleted) else None
        level = max(num[1] if num else 0, int(m_level.group(1)) - 1 if m_level else 0)  # "List Number 2"
        if numbered and level == 0 and text:
            key = num[0] if num else style
            counters[key] = counters.get(key, 0) + 1
            blocks.append(Block("step", text=text, index=counters[key], images=images))
            continue
        if (numbered or bulleted) and text:
            if level > 0 and blocks and blocks[-1].kind == "step":
                blocks[-1].subs.append(text)
                blocks[-1].images.extend(images)
                continue
            labelled = box_field_of_label(text)
            if labelled and labelled[1]:
                blocks.append(Block("box", field=labelled[0], subs=[labelled[1]]))
            else:
                blocks.append(Block("bullet", text=text))
            images = []
        box = _box_of_style(style) if style not in ("Normal", "Caption") else ""
        if text and not (numbered or bulleted):
            labelled = box_field_of_label(text)
            if box:
                blocks.append(Block("box", field=box, subs=[labelled[1] if labelled else text]))
            elif labelled and labelled[1]:
                blocks.append(Block("box", field=labelled[0], subs=[labelled[1]]))
            else:
                blocks.append(Block("para", text=text))
        for url, alt in images:
            if blocks and blocks[-1].kind == "step" and not text:
                blocks[-1].images.append((url, alt))
            else:
                blocks.append(Block("image", url=url, text=alt))
    if images_without_files:
        notes.append(f"{images_without_files} image(s) point to media/ names inside the document; "
                     f"extract the files beside the manual")
    return blocks, notes
