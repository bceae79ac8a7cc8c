"""Importers: HTML, DOCX and PDF documents into manuals (see model.py for the mapping).

``convert_file(path)`` picks the reader by the file's extension and returns an
ImportResult (the manual's text and the notes on what could not be mapped).  The
readers need the optional libraries of the ``import`` extra; a missing one raises
MissingExtra with a one-line message.
"""
from __future__ import annotations

from pathlib import Path

from corvane.checking.importers.model import Block, ImportResult, write_manual

EXTRA_HINT = "pip install 'corvane[import]'"


class MissingExtra(Exception):
    """An optional library of the import extra is not installed."""


class ImportFailure(Exception):
    """The document cannot be read."""


def _need(module: str, package: str, what: str):
    import importlib

    try:
        return importlib.import_module(module)
    except ImportError as e:
        raise MissingExtra(f"importing {what} needs {package}: {EXTRA_HINT}") from e


def read_html_bytes(data: bytes) -> tuple[list[Block], list[str]]:
    _need("lxml.html", "lxml", "HTML")
    from corvane.checking.importers.html import read_html

    if not data.strip():
        raise ImportFailure("the document is empty")
    return read_html(data)


def read_docx_file(path: Path) -> tuple[list[Block], list[str]]:
    _need("docx", "python-docx", "DOCX")
    from corvane.checking.importers.docx import read_docx

    return read_docx(path)


def read_pdf_file(path: Path) -> tuple[list[Block], list[str]]:
    _need("pdfplumber", "pdfplumber", "PDF")
    from corvane.checking.importers.pdf import read_pdf

    return read_pdf(path)


def convert_file(path: str | Path, title: str | None = None) -> ImportResult:
    path = Path(path)
    ext = path.suffix.lower()
    try:
        if ext in (".html", ".htm", ".xhtml"):
            blocks, notes = read_html_bytes(path.read_bytes())
        elif ext == ".docx":
            blocks, notes = read_docx_file(path)
        elif ext == ".pdf":
            blocks, notes = read_pdf_file(path)
        else:
            raise ImportFailure(f"unsupported document type {ext or '(no extension)'}; "
                                f"give an .html, .docx or .pdf file")
    except (MissingExtra, ImportFailure):
        raise
    except OSError as e:
        raise ImportFailure(f"cannot read: {e.strerror or e}") from e
    except Exception as e:  # noqa: BLE001 -- a library's own error on a broken document
        raise ImportFailure(f"not a readable {ext[1:].upper()} document ({type(e).__name__}: {e})") from e
    if title and not any(b.kind == "heading" for b in blocks):
        blocks = [Block("heading", text=title, level=1)] + blocks
    return write_manual(blocks, notes)


def convert_html(data: bytes, title: str | None = None) -> ImportResult:
    """An HTML document given as bytes."""
    blocks, notes = read_html_bytes(data)
    if title and not any(b.kind == "heading" for b in blocks):
        blocks = [Block("heading", text=title, level=1)] + blocks
    return write_manual(blocks, notes)


__all__ = ["Block", "ImportFailure", "ImportResult", "MissingExtra", "convert_file", "convert_html",
           "write_manual"]
