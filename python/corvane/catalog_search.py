"""Searching a catalog's manuals only: the engine's native manual filter (the
top k after filtering), with an over-fetching path for other engines."""
from __future__ import annotations

from typing import Iterable

from corvane.catalog import Catalog


def filtered_search(engine, question: str, manual_ids: Iterable[str] | None, top_k: int = 3, *,
                    ranker: str | None = None, catalog: Catalog | None = None) -> list:
    """The best ``top_k`` (entry, score) pairs among the entries of
    ``manual_ids``: the full ranking with the other manuals' entries taken
    out, in the ranker's order.

    An ``Engine`` filters inside its ranker (``Engine.search(manuals=...)``),
    at the cost of an unfiltered search.  Any other object with a ``search``
    (question, top_k, ranker=) method is filtered by over-fetching: the fetch
    widens until it holds ``top_k`` allowed entries or the ranker has
    returned everything it matches.  With ``catalog`` the scoped aliases and
    synonyms of the allowed manuals are applied to the question first
    (``Catalog.scoped_query``).  ``manual_ids`` None: no filter.
    """
    if isinstance(top_k, bool) or not isinstance(top_k, int) or top_k < 0:
        raise ValueError(f"top_k must be a non-negative integer, not {top_k!r}")
    if catalog is not None:
        question = catalog.scoped_query(question, manual_ids)
    if manual_ids is None:
        return engine.search(question, top_k, ranker=ranker)
    allowed = frozenset(manual_ids)
    if top_k == 0 or not allowed:
        return []
    from corvane.engine import Engine

    if isinstance(engine, Engine):
        return engine.search(question, top_k, ranker=ranker, manuals=allowed)
    total = len(engine)
    fetch = max(top_k * 4, 16)
    while True:
        hits = engine.search(question, min(fetch, total), ranker=ranker)
        kept = [(e, s) for e, s in hits if e.get("manual_id") in allowed]
        if len(kept) >= top_k or len(hits) < min(fetch, total) or fetch >= total:
            return kept[:top_k]
        fetch *= 4


def prepare_filter(engine) -> bool:
    """Whether the engine filters by manual natively (its index reads the
    manual of every entry from the compiled file at the first filtered
    search; this makes that happen now).  False for an object that is not
    an Engine (filtered_search over-fetches from it)."""
    from corvane.engine import Engine

    if not isinstance(engine, Engine):
        return False
    index = engine._current().index
    if len(index):
        index.manual_id(0)
    return True


