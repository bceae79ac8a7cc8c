"""A tree document as an HTML page (scenes as sections, steps as ordered lists, warnings,
notices and tips as boxes, tables beside the description).  `corvane import` reads such a
page back into the same scenes."""
from __future__ import annotations

from html import escape

from corvane.checking.tables import table_html

BOXES = (("warning", "警告"), ("notice", "注意"), ("tip", "提示"))


def _img(image: dict) -> str:
    return f'<img src="{escape(image["url"])}" alt="">'


def scene_html(scene: dict, tables: list[dict] | None = None) -> str:
    out = [f"<section><h2>{escape(scene['title'])}</h2>"]
    for line in scene["description"].split("\n") if scene["description"] else []:
        out.append(f"<p>{escape(line)}</p>")
    out.extend(_img(i) for i in scene["images"])
    if scene["steps"]:
        out.append("<ol>")
        for s in scene["steps"]:
            subs = "".join(f"<li>{escape(p)}</li>" for p in s["sub_points"])
            out.append(f'<li value="{s["index"]}">{escape(s["text"])}' + (f"<ul>{subs}</ul>" if subs else "")
                       + "".join(_img(i) for i in s["images"]) + "</li>")
        out.append("</ol>")
    for key, label in BOXES:
        if scene[key]:
            out.append(f'<div class="{key}" aria-label="{label}">'
                       + "".join(f"<p>{escape(x)}</p>" for x in scene[key]) + "</div>")
    for t in tables or []:
        out.append(table_html(t))
    out.append("</section>")
    return "\n".join(out)


def tree_to_html(tree: dict) -> str:
    body = "\n".join(scene_html(s) for s in tree["children"])
    return (f'<!DOCTYPE html>\n<html><head><meta charset="utf-8"><title>{escape(tree.get("title", ""))}</title>'
            f"</head>\n<body>\n{body}\n</body></html>\n")
