"""The document model the importers fill, and how it is written in the manual format.

An importer turns a document into a flat list of blocks in reading order (headings,
paragraphs, numbered steps, list items, warning/caution/note boxes, images, tables);
``write_manual`` maps them onto scenes and field headings without changing their
wording.  The mapping:

- a heading with content of its own becomes a scene ("## TITLE"); one without
  becomes a chapter heading ("# TITLE"), which holds no text;
- a sub-heading whose title names a field ("注意事项", "使用方法", "警告", ...) is
  folded into the scene above it instead of becoming a scene of that title;
- paragraphs, list items, images and tables go under "### 说明", numbered steps under
  "### 操作步骤", boxes under "### 警告" / "### 注意" / "### 提示", each group in
  document order (a field heading may occur more than once in a scene);
- text before the first heading is kept at the top of the manual, where the parser
  drops it (the check reports it).
"""
from __future__ import annotations

import re
from dataclasses import dataclass
from dataclasses import field as dc_field

FIELD_HEADINGS = {"description": "说明", "steps": "操作步骤", "warning": "警告", "notice": "注意", "tip": "提示"}

# Leading keywords of boxes, and which field each one fills.
BOX_KEYWORDS = {"警告": "warning", "危险": "warning", "注意": "notice", "小心": "notice", "提示": "tip",
                "说明": "tip", "备注": "tip"}
BOX_LABEL_RE = re.compile(r"^\s*(警告|危险|注意|小心|提示|说明|备注)\s*(?:[！!：:]\s*|$)")
# Class names and roles of boxes in HTML and style names in DOCX.
BOX_CLASSES = {"warning": "warning", "danger": "warning", "caution": "notice", "notice": "notice",
               "attention": "notice", "important": "notice", "note": "tip", "tip": "tip", "hint": "tip",
               "info": "tip"}

_WS = re.compile(r"\s+")
_HEADING_LINE = re.compile(r"^#{1,6}\s+\S")


def clean(text: str) -> str:
    """White space runs to one space, trimmed (the parser's clean_text)."""
    return _WS.sub(" ", text).strip()


@dataclass
class Block:
    kind: str  # "heading", "para", "step", "bullet", "box", "image", "table"
    text: str = ""
    level: int = 0  # heading level
    index: int | None = None  # step number as written
    field: str = ""  # box: "warning", "notice" or "tip"
    url: str = ""  # image address
    subs: list[str] = dc_field(default_factory=list)  # step sub-points; box lines
    images: list[tuple[str, str]] = dc_field(default_factory=list)  # step images: (url, alt)
    rows: list[list[str]] = dc_field(default_factory=list)  # table rows, the header first when header
    header: bool = False


def box_field_of_label(text: str) -> tuple[str, str] | None:
    """(field, text without its label) when a text starts with a box keyword such as "警告！"."""
    m = BOX_LABEL_RE.match(text)
    if not m:
        return None
    return BOX_KEYWORDS[m.group(1)], text[m.end():].strip()


@dataclass
class Section:
    title: str
    level: int
    blocks: list[Block] = dc_field(default_factory=list)
    hint: str = ""  # the field a folded field-like sub-heading names


@dataclass
class ImportResult:
    markdown: str
    notes: list[str]  # what could not be mapped, one line each


def _field_hint(title: str) -> str:
    from corvane.checking.report import nearest_field

    return nearest_field(title)


def _sections(blocks: list[Block]) -> tuple[list[Block], list[Section]]:
    intro: list[Block] = []
    sections: list[Section] = []
    for b in blocks:
        if b.kind == "heading":
            if b.text:
                sections.append(Section(b.text, b.level))
            continue
        (sections[-1].blocks if sections else intro).append(b)
    # Field-like sub-headings fold into the section above them.
    out: list[Section] = []
    for s in sections:
        hint = _field_hint(s.title)
        parent = next((p for p in reversed(out) if p.level < s.level), None)
        if hint and parent is not None:
            for b in s.blocks:
                parent.blocks.append(_hinted(b, hint))
            continue
        out.append(s)
    return intro, out


def _hinted(b: Block, hint: str) -> Block:
    """A block of a field-like sub-heading: paragraphs and list items of a warning,
    notice or tip section become that box."""
    if hint in ("warning", "notice", "tip") and b.kind in ("para", "bullet"):
        return Block("box", field=hint, subs=[b.text])
    return b


def _text_line(text: str) -> str:
    """A text line the parser keeps as text: one that would read as a heading is indented
    (the parser trims the indent again)."""
    return " " + text if _HEADING_LINE.match(text) else text


def _table_lines(rows: list[list[str]], header: bool) -> list[str]:
    if not rows:
        return []
    width = max(len(r) for r in rows)

    def line(cells):
        cells = [c.replace("|", "\\|") for c in cells] + [""] * (width - len(cells))
        return "| " + " | ".join(cells) + " |"

    out = [line(rows[0])]
    if header:
        out.append("|" + "---|" * width)
    out.extend(line(r) for r in rows[1:])
    return out


def _block_lines(b: Block, notes: list[str]) -> tuple[str, list[str]]:
    """(field, lines) of one block."""
    if b.kind == "step":
        index = 1 if b.index is None else b.index
        subs = [s for s in b.subs if s]
        if b.text:
            lines = [f"{index}. {b.text}"] + [f"   - {s}" for s in subs]
        elif subs and not any(c in s for s in subs for c in "；;"):
            lines = [f"{index}. ：" + "；".join(subs)]  # an empty step text before its sub-points
        else:
            notes.append(f"step {index} has no text; it is written as its number")
            lines = [f"{index}. {index}"] + [f"   - {s}" for s in subs]
        for url, alt in b.images:
            lines.append(f"![]({url})")
            if alt:
                lines.append(f"   - {alt}")
        return "steps", lines
    if b.kind == "box":
        return b.field, [_text_line(s) for s in b.subs if s]
    if b.kind == "image":
        lines = [f"![]({b.url})"]
        if b.text:
            lines.append(_text_line(b.text))
        return "description", lines
    if b.kind == "table":
        return "description", _table_lines(b.rows, b.header)
    if b.kind == "bullet":
        return "description", [_text_line("- " + b.text)]
    if b.text.strip() == "---":
        notes.append('a paragraph "---" is skipped by the parser')
    return "description", [_text_line(b.text)]


def write_manual(blocks: list[Block], notes: list[str] | None = None) -> ImportResult:
    notes = [] if notes is None else notes
    intro, sections = _sections(blocks)
    out: list[str] = []
    for b in intro:
        out.extend(_block_lines(b, notes)[1])
    if intro:
        out.append("")
    for s in sections:
        content = [b for b in s.blocks if b.kind != "heading"]
        if not content:
            out += [f"# {s.title}", ""]
            continue
        out += [f"## {s.title}", ""]
        current = None
        for b in content:
            fld, lines = _block_lines(b, notes)
            if not lines:
                continue
            if fld != current:
                if current is not None:
                    out.append("")
                out.append(f"### {FIELD_HEADINGS[fld]}")
                current = fld
            out.extend(lines)
        out.append("")
    text = "\n".join(out).rstrip("\n") + "\n"
    return ImportResult(text, notes)
