"""The catalog of manuals: which vehicle each manual belongs to.

``data/catalog.json`` (optional) is a JSON object keyed by manual id (the
manual's file name without ``.md``); each value is an object of metadata::

    {
      "aster_e5_charging": {
        "vehicle": "Aster E5",            # model name (or a list: a manual shared by several models)
        "model_years": [2024, 2025],
        "trims": ["标准续航版", "长续航版"],
        "language": "zh-CN",
        "title": "Aster E5 充电使用指南",
        "version": "2025.2",
        "brand": "Brevane",
        "vehicle_names": ["E5", "阿斯特E5"],  # other names owners use for the model
        "aliases": {"直流快充": ["超充"]},    # scene title -> aliases, for this manual's scenes only
        "synonyms": {"快充": ["直流充电"]}    # query term -> expansions, for this manual only
      }
    }

Every field is optional except ``vehicle``; unknown fields are errors (a typo
must not silently drop a vehicle from its filter).  ``load_catalog`` raises
``CatalogError`` naming the file, the key and the field at fault.

The catalog gives:

* ``manual_title(manual_id)``: the catalog title, else the manual's first
  heading, else the manual id -- never a placeholder;
* ``resolve(vehicle=..., manual=...)``: the set of manual ids a filter allows
  (an unknown vehicle or manual is an error listing the known ones);
* ``detect_vehicle(question)``: the vehicle a question names ("我开的E5…");
* scoped aliases and synonyms (``aliases_for``, ``synonyms_for``,
  ``scoped_query``) as plain data a ranker can take: an alias declared for one
  manual never applies to another manual's scenes.

``filtered_search`` restricts ``Engine.search`` to a set of manuals (the
engine filters inside its ranker); see its documentation.
"""
from __future__ import annotations

import json
import os
import re
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Iterable, Mapping

__all__ = [
    "CATALOG_FILE", "CatalogError", "CatalogEntry", "Catalog", "load_catalog", "first_heading",
    "filtered_search", "prepare_filter", "manual_id_of", "check_against_manuals",
]

CATALOG_FILE = "catalog.json"
_WS = re.compile(r"\s+")
_HEADING = re.compile(r"^\s{0,3}#{1,6}\s+(.+?)\s*#*\s*$")


class CatalogError(ValueError):
    """A catalog file or a filter that cannot be used; the message names the
    file, key and field (or the filter parameter)."""


def _norm(text: str) -> str:
    return _WS.sub("", text.lower().replace("（", "(").replace("）", ")"))


def manual_id_of(name: str) -> str:
    """The manual id of a file name or path: its base name without ``.md``."""
    base = os.path.basename(name)
    return base[:-3] if base.endswith(".md") else base


@dataclass(frozen=True)
class CatalogEntry:
    manual_id: str
    vehicles: tuple[str, ...]
    model_years: tuple[int, ...] = ()
    trims: tuple[str, ...] = ()
    language: str | None = None
    title: str | None = None
    version: str | None = None
    brand: str | None = None
    vehicle_names: tuple[str, ...] = ()
    aliases: Mapping[str, tuple[str, ...]] = field(default_factory=dict)
    synonyms: Mapping[str, tuple[str, ...]] = field(default_factory=dict)

    @property
    def vehicle(self) -> str:
        """The model name (the first one for a shared manual)."""
        return self.vehicles[0]

    def to_json(self) -> dict[str, Any]:
        out: dict[str, Any] = {
            "manual_id": self.manual_id,
            "vehicle": self.vehicles[0] if len(self.vehicles) == 1 else list(self.vehicles),
        }
        for name in ("model_years", "trims", "vehicle_names"):
            if getattr(self, name):
                out[name] = list(getattr(self, name))
        for name in ("language", "title", "version", "brand"):
            if getattr(self, name) is not None:
                out[name] = getattr(self, name)
        return out


# ---- validation ------------------------------------------------------------

def _where(path, key, name=None) -> str:
    return f"{path}: {key!r}" + (f": field {name!r}" if name else "")


def _text(value, where) -> str:
    if not isinstance(value, str) or not value.strip():
        raise CatalogError(f"{where} must be a non-empty string, not {value!r}")
    return value


def _texts(value, where) -> tuple[str, ...]:
    if not isinstance(value, list):
        raise CatalogError(f"{where} must be a list of strings, not {type(value).__name__}")
    return tuple(_text(v, f"{where}[{i}]") for i, v in enumerate(value))


def _years(value, where) -> tuple[int, ...]:
    if not isinstance(value, list):
        raise CatalogError(f"{where} must be a list of years, not {type(value).__name__}")
    out = []
    for i, v in enumerate(value):
        if isinstance(v, bool) or not isinstance(v, int) or not 1900 <= v <= 2200:
            raise CatalogError(f"{where}[{i}] must be a year (an integer such as 2025), not {v!r}")
        out.append(v)
    return tuple(out)


def _text_map(value, where) -> dict[str, tuple[str, ...]]:
    if not isinstance(value, dict):
        raise CatalogError(f"{where} must be an object of lists of strings, not {type(value).__name__}")
    return {_text(k, f"{where} key"): _texts(v, f"{where}[{k!r}]") for k, v in value.items()}


_FIELDS = {
    "vehicle": None,  # checked apart: a string or a list of strings
    "model_years": _years,
    "trims": _texts,
    "language": _text,
    "title": _text,
    "version": _text,
    "brand": _text,
    "vehicle_names": _texts,
    "aliases": _text_map,
    "synonyms": _text_map,
}


def _entry(path, key, value) -> CatalogEntry:
    if not isinstance(key, str) or not key or key != manual_id_of(key) or "/" in key or "\\" in key:
        raise CatalogError(f"{path}: key {key!r} is not a manual id (a manual's file name without .md)")
    if not isinstance(value, dict):
        raise CatalogError(f"{_where(path, key)} must be an object of metadata, not {type(value).__name__}")
    unknown = sorted(set(value) - set(_FIELDS))
    if unknown:
        raise CatalogError(f"{_where(path, key, unknown[0])} is not a catalog field "
                           f"(known: {', '.join(_FIELDS)})")
    if "vehicle" not in value:
        raise CatalogError(f"{_where(path, key, 'vehicle')} is missing")
    v = value["vehicle"]
    vehicles = (_text(v, _where(path, key, "vehicle")),) if isinstance(v, str) else \
        _texts(v, _where(path, key, "vehicle"))
    if not vehicles:
        raise CatalogError(f"{_where(path, key, 'vehicle')} must name at least one vehicle")
    kw: dict[str, Any] = {}
    for name, check in _FIELDS.items():
        if name != "vehicle" and name in value:
            kw[name] = check(value[name], _where(path, key, name))
    return CatalogEntry(manual_id=key, vehicles=vehicles, **kw)


def _pairs_no_duplicates(path):
    def hook(pairs):
        seen = {}
        for k, v in pairs:
            if k in seen:
                raise CatalogError(f"{path}: key {k!r} appears twice")
            seen[k] = v
        return seen
    return hook


def parse_catalog(text: str, path: str = CATALOG_FILE) -> dict[str, CatalogEntry]:
    try:
        raw = json.loads(text, object_pairs_hook=_pairs_no_duplicates(path))
    except json.JSONDecodeError as exc:
        raise CatalogError(f"{path}: line {exc.lineno}: not valid JSON ({exc.msg})") from None
    if not isinstance(raw, dict):
        raise CatalogError(f"{path}: must be a JSON object keyed by manual id, not {type(raw).__name__}")
    return {key: _entry(path, key, value) for key, value in raw.items()}


# ---- the catalog -------------------------------------------------------------

def first_heading(manual_path: str | os.PathLike[str]) -> str | None:
    """The text of the first Markdown heading of a manual, or None."""
    try:
        with open(manual_path, encoding="utf-8", errors="replace") as f:
            for line in f:
                m = _HEADING.match(line)
                if m:
                    return m.group(1).strip() or None
    except OSError:
        return None
    return None


class Catalog:
    """The catalog of a data folder (empty when it has no catalog.json)."""

    def __init__(self, entries: Mapping[str, CatalogEntry] | None = None, *, manuals_dir=None):
        self.entries: dict[str, CatalogEntry] = dict(entries or {})
        self._manuals_dir = os.fspath(manuals_dir) if manuals_dir is not None else None
        self._titles: dict[str, str] = {}
        self._by_vehicle: dict[str, set[str]] = {}
        self._names: dict[str, str] = {}  # normalized name -> vehicle
        for e in self.entries.values():
            for v in e.vehicles:
                self._by_vehicle.setdefault(v, set()).add(e.manual_id)
                self._names.setdefault(_norm(v), v)
        for e in self.entries.values():
            for n in e.vehicle_names:
                self._names.setdefault(_norm(n), e.vehicle)

    def __len__(self) -> int:
        return len(self.entries)

    def __contains__(self, manual_id) -> bool:
        return manual_id in self.entries

    def get(self, manual_id: str) -> CatalogEntry | None:
        return self.entries.get(manual_id)

    @property
    def vehicles(self) -> list[str]:
        return sorted(self._by_vehicle)

    def vehicle_of(self, manual_id: str) -> str | None:
        e = self.entries.get(manual_id)
        return e.vehicle if e else None

    def vehicles_of(self, manual_id: str) -> list[str]:
        e = self.entries.get(manual_id)
        return list(e.vehicles) if e else []

    def manual_title(self, manual_id: str) -> str:
        """The catalog title, else the manual's first heading, else its id."""
        e = self.entries.get(manual_id)
        if e and e.title:
            return e.title
        if manual_id not in self._titles:
            heading = None
            if self._manuals_dir is not None:
                heading = first_heading(os.path.join(self._manuals_dir, manual_id + ".md"))
            self._titles[manual_id] = heading or manual_id
        return self._titles[manual_id]

    def listing(self) -> list[dict[str, Any]]:
        """One object per vehicle: its name and its manuals (for GET /v1/vehicles)."""
        out = []
        for v in self.vehicles:
            manuals = sorted(self._by_vehicle[v])
            out.append({"vehicle": v, "manuals": [
                {**self.entries[m].to_json(), "title": self.manual_title(m)} for m in manuals]})
        return out

    # ---- filters -----------------------------------------------------------
    def resolve(self, vehicle: str | Iterable[str] | None = None,
                manual: str | Iterable[str] | None = None) -> frozenset[str] | None:
        """The manual ids a filter allows; None when there is no filter.

        ``vehicle`` matches a model name or one of its ``vehicle_names``
        (ignoring case and spaces); ``manual`` is a manual id (a ``.md``
        suffix is allowed).  Both given: the manuals that satisfy both.
        """
        allowed: set[str] | None = None
        if vehicle is not None:
            allowed = set()
            for v in ([vehicle] if isinstance(vehicle, str) else list(vehicle)):
                name = self._names.get(_norm(v)) if isinstance(v, str) else None
                if name is None:
                    known = ", ".join(self.vehicles) or "none: the data folder has no catalog.json"
                    raise CatalogError(f"vehicle: unknown vehicle {v!r} (known: {known})")
                allowed |= self._by_vehicle[name]
        if manual is not None:
            wanted = set()
            for m in ([manual] if isinstance(manual, str) else list(manual)):
                if not isinstance(m, str) or not m:
                    raise CatalogError(f"manual: must be a manual id, not {m!r}")
                mid = manual_id_of(m)
                if self.entries and mid not in self.entries and not self._manual_exists(mid):
                    raise CatalogError(f"manual: unknown manual {m!r}")
                wanted.add(mid)
            allowed = wanted if allowed is None else allowed & wanted
        return None if allowed is None else frozenset(allowed)

    def _manual_exists(self, manual_id: str) -> bool:
        return self._manuals_dir is not None and os.path.isfile(
            os.path.join(self._manuals_dir, manual_id + ".md"))

    def detect_vehicle(self, question: str) -> str | None:
        """The vehicle a question names, when it names exactly one (longest
        name first, so "Aster E5 长续航" is not read as a shorter name)."""
        q = _norm(question)
        found = set()
        for name in sorted(self._names, key=len, reverse=True):
            if name and name in q:
                found.add(self._names[name])
                q = q.replace(name, "\0")
        return found.pop() if len(found) == 1 else None

    # ---- scoped aliases and synonyms -----------------------------------------
    def aliases_for(self, manual_ids: Iterable[str] | None = None) -> dict[str, dict[str, list[str]]]:
        """{manual id: {scene title: [aliases]}} of the given manuals (all when None)."""
        ids = self.entries if manual_ids is None else manual_ids
        return {m: {t: list(a) for t, a in self.entries[m].aliases.items()}
                for m in ids if m in self.entries and self.entries[m].aliases}

    def synonyms_for(self, manual_ids: Iterable[str] | None = None) -> dict[str, list[str]]:
        """The query-side synonyms of the given manuals merged (term -> expansions)."""
        ids = sorted(self.entries if manual_ids is None else manual_ids)
        out: dict[str, list[str]] = {}
        for m in ids:
            e = self.entries.get(m)
            for term, exp in (e.synonyms.items() if e else ()):
                bucket = out.setdefault(term, [])
                bucket.extend(x for x in exp if x not in bucket)
        return out

    def scoped_query(self, question: str, manual_ids: Iterable[str] | None) -> str:
        """The question for retrieval with the scoped aliases and synonyms of
        the allowed manuals applied: the scene title of each alias the
        question holds, and the expansions of each synonym term, are appended.
        Without a filter scoped aliases do not apply (they would pull every
        manual's scene of that title), so the question comes back as is."""
        if manual_ids is None:
            return question
        q = _norm(question)
        extra: list[str] = []
        for titles in self.aliases_for(manual_ids).values():
            for title, aliases in titles.items():
                if any(_norm(a) and _norm(a) in q for a in aliases) and title not in extra:
                    extra.append(title)
        for term, exps in self.synonyms_for(manual_ids).items():
            if _norm(term) and _norm(term) in q:
                extra.extend(x for x in exps if x not in extra)
        return question if not extra else question + " " + " ".join(extra)


def load_catalog(data_dir="data") -> Catalog:
    """The catalog of ``data_dir/catalog.json``; an empty one when the file
    does not exist.  Raises CatalogError for a file that cannot be used."""
    folder = Path(data_dir)
    path = folder / CATALOG_FILE
    try:
        text = path.read_text(encoding="utf-8")
    except FileNotFoundError:
        return Catalog(manuals_dir=folder / "manuals")
    except UnicodeDecodeError as exc:
        raise CatalogError(f"{path}: not UTF-8 (byte {exc.start})") from None
    except OSError as exc:
        raise CatalogError(f"{path}: {exc.strerror or exc}") from None
    return Catalog(parse_catalog(text, str(path)), manuals_dir=folder / "manuals")


def check_against_manuals(catalog: Catalog, manual_ids: Iterable[str]) -> list[str]:
    """Warnings for `corvane index`: catalog keys with no manual, and manuals
    with no catalog entry when the catalog is not empty."""
    have = set(manual_ids)
    out = [f"{CATALOG_FILE}: {k!r}: no manual {k}.md in manuals/" for k in sorted(set(catalog.entries) - have)]
    if catalog.entries:
        out += [f"{CATALOG_FILE}: manual {m!r} has no entry (it matches no vehicle filter)"
                for m in sorted(have - set(catalog.entries))]
    return out


# ---- filtered search ------------------------------------------------------------


def __getattr__(name: str):
    # The search over a catalog's manuals lives in catalog_search (importing it
    # here at the top would be circular).
    if name in ("filtered_search", "prepare_filter"):
        from corvane import catalog_search

        return getattr(catalog_search, name)
    raise AttributeError(f"module 'corvane.catalog' has no attribute {name!r}")
