"""The tables of a manual's scenes, beside the specified tree document (which keeps them,
unchanged, as description text).

``scene_tables(text)`` gives, per scene position in the tree document's "children", its
tables: ``{"line", "header", "rows", "text_rows"}``.  ``text_rows`` are the lines for the
answer context ("指示灯：发动机故障灯；含义：…"); ``table_search_text`` the text the hybrid
ranker indexes for a scene; ``table_html`` a table as HTML for the page.
"""
from __future__ import annotations

import html

from corvane import _manualcheck


def scene_tables(text: str | bytes) -> dict[int, list[dict]]:
    """{scene position: [table, ...]} for the scenes of `text` that have tables."""
    return {s["scene"]: s["tables"] for s in _manualcheck.extract_tables(text)}


def table_search_text(tables: list[dict]) -> str:
    """The cells of a scene's tables as one text (header cells once, then the rows)."""
    parts = []
    for t in tables:
        parts.append(" ".join(c for c in t["header"] if c))
        parts.extend(" ".join(c for c in row if c) for row in t["rows"])
    return "\n".join(p for p in parts if p)


def table_html(table: dict) -> str:
    out = ["<table>"]
    if table["header"]:
        out.append("<thead><tr>" + "".join(f"<th>{html.escape(c)}</th>" for c in table["header"]) + "</tr></thead>")
    out.append("<tbody>")
    for row in table["rows"]:
        out.append("<tr>" + "".join(f"<td>{html.escape(c)}</td>" for c in row) + "</tr>")
    out.append("</tbody></table>")
    return "".join(out)


def manual_tables(manual_id: str, text: str | bytes) -> dict[str, list[dict]]:
    """{scene_id: tables} for one manual, with the scene ids the index run gives
    ("<manual_id>_scene_<position from 1>")."""
    return {f"{manual_id}_scene_{pos + 1}": tables for pos, tables in scene_tables(text).items()}


def data_folder_tables(data_dir) -> dict[str, list[dict]]:
    """{scene_id: tables} over the manuals of a data folder (DATA_DIR/manuals/*.md), for
    whoever stores them beside the compiled index.  Manuals that are not UTF-8 are left out
    (the index run stops at them anyway)."""
    from pathlib import Path

    from corvane.cli_data import MANUALS, manual_files

    out: dict[str, list[dict]] = {}
    for path in sorted(manual_files(Path(data_dir) / MANUALS)):
        try:
            text = path.read_text(encoding="utf-8-sig")  # as the index run reads it: BOM dropped, universal newlines
        except (OSError, UnicodeDecodeError):
            continue
        out.update(manual_tables(path.stem, text))
    return out


def answer_context_rows(tables: list[dict]) -> str:
    """A scene's tables as text for the answer context: one line per body row."""
    return "\n".join(row for t in tables for row in t["text_rows"])
