"""The query-side synonym map of the hybrid ranker.

A synonym file is one UTF-8 JSON object: each member name is a colloquial
wording an owner may type, each value the manual's wording for it (a string or
an array of strings), e.g. ``{"刹车油": ["制动液"], "螺丝": "螺栓"}``.  Before a
question is matched, every colloquial wording it contains adds the manual
wordings to it (the question's own words stay).

``data/synonyms.json`` is used when it exists; otherwise the small car-domain
list that ships with the package (``synonyms_default.json``).
"""
from __future__ import annotations

import json
import os
from pathlib import Path

DEFAULT_FILE = Path(__file__).with_name("synonyms_default.json")
DATA_FILE_NAME = "synonyms.json"


def read_synonyms(path: str | os.PathLike[str]) -> dict[str, list[str]]:
    """The map of a synonym file; ValueError naming the file for bad content."""
    path = Path(path)
    try:
        text = path.read_text(encoding="utf-8")
    except UnicodeDecodeError as exc:
        raise ValueError(f"{path}: not UTF-8 text ({exc.reason} at byte {exc.start})") from None
    try:
        data = json.loads(text)
    except json.JSONDecodeError as exc:
        raise ValueError(f"{path}, line {exc.lineno}: not valid JSON ({exc.msg})") from None
    if not isinstance(data, dict):
        raise ValueError(f"{path}: must hold one JSON object (colloquial wording -> manual wording)")
    out: dict[str, list[str]] = {}
    for key, value in data.items():
        values = [value] if isinstance(value, str) else value
        if not isinstance(values, list) or not all(isinstance(v, str) for v in values):
            raise ValueError(f"{path}: the value of {key!r} must be a string or an array of strings")
        if not "".join(key.split()):
            raise ValueError(f"{path}: empty synonym key {key!r}")
        out[key] = list(values)
    return out


def synonyms_for(data_dir: str | os.PathLike[str]) -> tuple[dict[str, list[str]], Path]:
    """The synonym map for a data folder and the file it came from."""
    own = Path(data_dir) / DATA_FILE_NAME
    path = own if own.is_file() else DEFAULT_FILE
    return read_synonyms(path), path
