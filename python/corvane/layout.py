"""The data folder's layout: every file and folder name, and their paths.

A data folder holds::

    manuals/             the owner's manuals, one ``*.md`` file each (input of ``corvane index``)
    trees/               one tree file ``<manual id>.json`` per manual (written by the index run)
    scene_index.jsonl    the scene index, one JSON line per scene
    scene_index.cvx      its compiled file, which the query engine maps
    manual_alias.json    extra names of scene titles (optional)
    synonyms.json        query-side synonyms of the hybrid ranker (optional)
    catalog.json         the vehicle catalog (optional)
    images/              images the manuals refer to (optional)
    releases/            published index releases (optional)

The specified functions read and write these names relative to the working
directory (``data/...``); everything else takes a data folder and builds the
paths here, so a name is spelled once.
"""
from __future__ import annotations

import os
from dataclasses import dataclass

__all__ = [
    "DEFAULT_DATA_DIR", "MANUALS", "TREES", "INDEX_FILE", "COMPILED_FILE", "ALIAS_FILE", "SYNONYMS_FILE",
    "CATALOG_FILE", "IMAGES", "RELEASES", "MANUAL_SUFFIX", "TREE_SUFFIX", "DataLayout", "layout",
]

DEFAULT_DATA_DIR = "data"
MANUALS = "manuals"
TREES = "trees"
INDEX_FILE = "scene_index.jsonl"
COMPILED_FILE = "scene_index.cvx"
ALIAS_FILE = "manual_alias.json"
SYNONYMS_FILE = "synonyms.json"
CATALOG_FILE = "catalog.json"
IMAGES = "images"
RELEASES = "releases"
MANUAL_SUFFIX = ".md"
TREE_SUFFIX = ".json"


@dataclass(frozen=True)
class DataLayout:
    """The paths inside one data folder (as ``str``, joined to the folder as given)."""

    root: str

    def _join(self, name: str) -> str:
        return os.path.join(self.root, name)

    @property
    def manuals(self) -> str:
        return self._join(MANUALS)

    @property
    def trees(self) -> str:
        return self._join(TREES)

    @property
    def index_file(self) -> str:
        return self._join(INDEX_FILE)

    @property
    def compiled_file(self) -> str:
        return self._join(COMPILED_FILE)

    @property
    def alias_file(self) -> str:
        return self._join(ALIAS_FILE)

    @property
    def synonyms_file(self) -> str:
        return self._join(SYNONYMS_FILE)

    @property
    def catalog_file(self) -> str:
        return self._join(CATALOG_FILE)

    @property
    def images(self) -> str:
        return self._join(IMAGES)

    @property
    def releases(self) -> str:
        return self._join(RELEASES)

    def tree_file(self, manual_id: str) -> str:
        return os.path.join(self.trees, manual_id + TREE_SUFFIX)


def layout(data_dir: "str | os.PathLike[str] | None" = None) -> DataLayout:
    """The layout of ``data_dir`` (default ``data``, relative to the working directory)."""
    return DataLayout(DEFAULT_DATA_DIR if data_dir is None else os.fspath(data_dir))
