"""HTML documents: headings h1-h6, ordered lists as steps, boxes by class, role or
leading keyword, lists, images with alternative text or figure captions, tables."""
from __future__ import annotations

import re

from corvane.checking.importers.model import BOX_CLASSES, Block, box_field_of_label, clean

SKIPPED = {"script", "style", "noscript", "template", "head", "nav", "iframe", "object", "embed", "form",
           "button", "input", "select", "textarea", "svg", "video", "audio", "canvas"}
BLOCK_TAGS = {"p", "div", "section", "article", "main", "body", "aside", "blockquote", "header", "footer",
              "ol", "ul", "table", "figure", "h1", "h2", "h3", "h4", "h5", "h6", "pre", "dl", "hr", "li",
              "center", "details", "summary", "dt", "dd"}


def _tag(el) -> str:
    return el.tag.lower() if isinstance(el.tag, str) else ""


def _box_field(el) -> str:
    """The field of a box element by its class or role ("" when it is no box)."""
    words = (el.get("class") or "").lower().replace("-", " ").replace("_", " ").split()
    words += (el.get("role") or "").lower().split()
    for w in words:
        if w in BOX_CLASSES:
            return BOX_CLASSES[w]
    if _tag(el) == "aside" or "alert" in words or "admonition" in words or "callout" in words:
        return "?"  # a box: its field comes from its leading keyword
    return ""


class HtmlReader:
    def __init__(self):
        self.blocks: list[Block] = []
        self.notes: list[str] = []
        self._skipped: dict[str, int] = {}

    # Text of an element, without the elements that are read on their own.
    def inline_text(self, el, stop=("ul", "ol", "table", "img", "figure")) -> str:
        parts = [el.text or ""]
        for c in el:
            t = _tag(c)
            if t in stop or t in SKIPPED:
                pass
            elif t == "br":
                parts.append("\n")
            else:
                parts.append(self.inline_text(c, stop))
            parts.append(c.tail or "")
        return "".join(parts)

    def images_in(self, el) -> list[tuple[str, str]]:
        out = []
        for img in el.iter("img"):
            src = img.get("src") or ""
            if not src:
                self.notes.append("an image without an address was left out")
                continue
            out.append((src, clean(img.get("alt") or img.get("title") or "")))
        return out

    def paragraphs(self, el) -> None:
        """A text element: one paragraph per line break, images after it."""
        for line in self.inline_text(el).split("\n"):
            t = clean(line)
            if t:
                self.text_block(t)
        for src, alt in self.images_in(el):
            self.blocks.append(Block("image", url=src, text=alt))

    def text_block(self, t: str) -> None:
        labelled = box_field_of_label(t)
        if labelled and labelled[1]:
            self.blocks.append(Block("box", field=labelled[0], subs=[labelled[1]]))
        else:
            self.blocks.append(Block("para", text=t))

    def box(self, el, fld: str) -> None:
        lines = []
        # Each paragraph or list item of the box is one entry.
        items = [c for c in el.iter() if _tag(c) in ("p", "li")]
        texts = [clean(self.inline_text(c, stop=("ul", "ol", "table", "img"))) for c in items] if items \
            else [clean(x) for x in self.inline_text(el).split("\n")]
        for t in texts:
            if t:
                lines.append(t)
        if lines:
            labelled = box_field_of_label(lines[0])
            if labelled:
                if fld == "?":
                    fld = labelled[0]
                lines[0] = labelled[1]
                lines = [x for x in lines if x]
        if fld == "?":
            fld = "tip"
        if lines:
            self.blocks.append(Block("box", field=fld, subs=lines))
        for src, alt in self.images_in(el):
            self.blocks.append(Block("image", url=src, text=alt))

    def ordered(self, el) -> None:
        try:
            n = int(el.get("start") or 1)
        except ValueError:
            n = 1
        for li in el:
            if _tag(li) != "li":
                continue
            if li.get("value", "").strip().isdigit():
                n = int(li.get("value"))
            subs = []
            for lst in li:
                if _tag(lst) in ("ul", "ol"):
                    for sub in lst.iter("li"):
                        t = clean(self.inline_text(sub))
                        if t:
                            subs.append(t)
            text = clean(self.inline_text(li))
            self.blocks.append(Block("step", text=text, index=n, subs=subs, images=self.images_in(li)))
            for tbl in li.iter("table"):
                self.table(tbl)
            n += 1

    def unordered(self, el) -> None:
        for li in el:
            if _tag(li) != "li":
                continue
            t = clean(self.inline_text(li))
            if t:
                labelled = box_field_of_label(t)
                if labelled and labelled[1]:
                    self.blocks.append(Block("box", field=labelled[0], subs=[labelled[1]]))
                else:
                    self.blocks.append(Block("bullet", text=t))
            for lst in li:
                if _tag(lst) in ("ul", "ol"):
                    self.notes.append(f"a nested list under \"{t[:20]}\" was flattened")
                    self.unordered(lst)
            for src, alt in self.images_in(li):
                self.blocks.append(Block("image", url=src, text=alt))

    def table(self, el) -> None:
        rows, header = [], False
        for i, tr in enumerate(el.iter("tr")):
            cells = [c for c in tr if _tag(c) in ("td", "th")]
            if i == 0:
                header = all(_tag(c) == "th" for c in cells) or tr.getparent() is not None and \
                    _tag(tr.getparent()) == "thead"
            row = []
            for c in cells:
                row.append(clean(self.inline_text(c, stop=())))
                span = c.get("colspan", "1")
                if span.isdigit() and int(span) > 1:
                    row.extend([""] * (int(span) - 1))
            if any(row):
                rows.append(row)
        if rows:
            self.blocks.append(Block("table", rows=rows, header=header))

    def walk(self, el) -> None:
        t = _tag(el)
        if t in SKIPPED:
            self._skipped[t] = self._skipped.get(t, 0) + 1
            return
        if len(t) == 2 and t[0] == "h" and t[1] in "123456":
            self.blocks.append(Block("heading", text=clean(self.inline_text(el, stop=("img",))), level=int(t[1])))
            return
        if t == "ol":
            return self.ordered(el)
        if t == "ul":
            return self.unordered(el)
        if t == "table":
            return self.table(el)
        if t == "img":
            for src, alt in self.images_in(el):
                self.blocks.append(Block("image", url=src, text=alt))
            return
        if t == "figure":
            cap = el.find(".//figcaption")
            caption = clean(self.inline_text(cap)) if cap is not None else ""
            for src, alt in self.images_in(el):
                self.blocks.append(Block("image", url=src, text=caption or alt))
            for tbl in el.iter("table"):
                self.table(tbl)
            return
        if t == "hr":
            return
        fld = _box_field(el) if t in ("div", "aside", "section", "blockquote", "p") else ""
        if fld:
            return self.box(el, fld)
        if any(_tag(c) in BLOCK_TAGS for c in el):
            # Mixed content: runs of inline content become paragraphs between the blocks.
            run = [el.text or ""]

            def flush():
                text = "".join(run)
                for line in text.split("\n"):
                    if clean(line):
                        self.text_block(clean(line))
                run.clear()

            for c in el:
                ct = _tag(c)
                if ct in BLOCK_TAGS or ct == "img" or ct in SKIPPED:
                    flush()
                    self.walk(c)
                elif ct == "br":
                    run.append("\n")
                elif ct not in SKIPPED:
                    run.append(self.inline_text(c))
                run.append(c.tail or "")
            flush()
            return
        self.paragraphs(el)


_XML_DECLARATION = re.compile(r"^\s*<\?xml[^>]*\?>")
_META_CHARSET = re.compile(rb"<meta[^>]+charset\s*=\s*[\"']?\s*([\w-]+)", re.IGNORECASE)


def decode_html(data: bytes) -> str:
    """The document's text: by its BOM or <meta charset>, else UTF-8, else GB18030 (the
    usual encodings of Chinese documents)."""
    if data.startswith(b"\xef\xbb\xbf"):
        return data[3:].decode("utf-8", errors="replace")
    m = _META_CHARSET.search(data[:4096])
    encodings = [m.group(1).decode("ascii").lower()] if m else []
    for enc in encodings + ["utf-8", "gb18030"]:
        try:
            return data.decode(enc)
        except (LookupError, UnicodeDecodeError):
            continue
    return data.decode("utf-8", errors="replace")


def read_html(data: bytes) -> tuple[list[Block], list[str]]:
    import lxml.html

    root = lxml.html.document_fromstring(_XML_DECLARATION.sub("", decode_html(data)))
    body = root.find("body")
    reader = HtmlReader()
    reader.walk(body if body is not None else root)
    for tag, n in sorted(reader._skipped.items()):
        if tag not in ("script", "style", "head", "noscript", "template"):
            reader.notes.append(f"{n} <{tag}> element(s) were left out")
    return reader.blocks, reader.notes
