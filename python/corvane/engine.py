"""The query engine: a scene index kept open for many questions.

``Engine(data_dir)`` opens ``data_dir/scene_index.jsonl`` through its compiled
file ``data_dir/scene_index.cvx`` (written by ``corvane index``): the file is
mapped, not read, so opening takes milliseconds at any index size, and an entry's
record is parsed from its own line only when a search returns it.

A compiled file that is missing, stale, of another format version or damaged
is never used: the engine compiles the JSON-lines file instead, says so once
(a warning of the ``corvane.engine`` logger; on stderr when logging is not
set up), and writes a fresh compiled file when the folder is writable.

Staleness: the compiled file records the size, modification time (ns) and a
64-bit hash of the JSON-lines file it was built from.  Opening compares size
and time; only when the size matches but the time does not (a copied or
touched file) is the whole file hashed to decide.  ``corvane index`` replaces
the JSON-lines file by renaming a new one over it, which always changes its
time.

Results equal those of the specified functions on the same index:
``search`` those of ``farrowin.search_knowledge_global``, ``knowledge`` the
record ``delmoor.answer_query`` builds, ``prompt`` its prompt.  ``answer``
gives all of them (and each hit's context text) from one search, built by
the native side.

``ranker="hybrid"`` (for the engine, or per call) ranks with the hybrid ranker
instead: one fused score of BM25 over character bigrams of the scene texts
(whose image is stored in the compiled file), same-sounding terms at a
discount, and title and alias matches weighted by how specific they are; the
question's Traditional characters are read as Simplified.  Its scores are
floats; a question it refuses gets no results.  ``ranker="cascade"`` is the
earlier two-stage form: title and alias matches first, then BM25 (BM25
scores).  Its query-side
synonyms come from ``data_dir/synonyms.json`` (else the package's list), read
at the first hybrid search of an index (again after ``refresh()`` switched);
a bad synonym file fails hybrid searches (ValueError naming it), never the
exact ranker.
"""
from __future__ import annotations

import logging
import os
import threading
from datetime import datetime, timezone
from zoneinfo import ZoneInfo

from corvane import settings
from corvane.answer import Answer, Hit
from corvane.errors import EngineError, RankerUnavailableError
from corvane.layout import COMPILED_FILE, INDEX_FILE, layout
from corvane.settings import RANKERS

__all__ = ["Engine", "EngineError", "Answer", "Hit", "SearchHit", "write_compiled_index", "verify_compiled_index",
           "INDEX_FILE", "COMPILED_FILE"]

TIME_FORMAT = "%Y%m%d:%H%M%S"  # the self-check loop's time text, in its time zone
TIME_ZONE = "Asia/Shanghai"

log = logging.getLogger("corvane.engine")


from corvane import _engine  # noqa: E402  (imported here so that opening an Engine does not pay for it)


def _native():
    return _engine


def _loader():
    from corvane import farrowin

    return farrowin.load_scene_index


_DEFAULT_SYNONYMS = os.path.join(os.path.dirname(__file__), "synonyms_default.json")


def _synonyms(data_dir):
    """The native synonym map of a data folder (its synonyms.json, else the
    package's default list): read natively when the file is plain, else by
    corvane.synonyms (which names what is wrong with it)."""
    own = os.path.join(os.fspath(data_dir), "synonyms.json")
    path = own if os.path.isfile(own) else _DEFAULT_SYNONYMS
    native = _native().read_synonyms_file(path)
    if native is not None:
        return native
    from corvane.synonyms import read_synonyms

    return _native().Synonyms(read_synonyms(path))


def _paths(data_dir) -> tuple[str, str]:
    lay = layout(data_dir)
    return lay.index_file, lay.compiled_file


def _identity(path: str):
    try:
        st = os.stat(path)
    except OSError:
        return None
    return (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns)


def _compile(jsonl: str, cvx: str, reason: str):
    """The index compiled from the JSON-lines file; a fresh compiled file is
    written beside it when the folder allows."""
    log.warning("corvane: %s: %s; compiling the index from %s", cvx, reason, jsonl)
    index = _native().compile_jsonl(jsonl, _loader())
    try:
        index.write(cvx)
    except OSError:
        pass  # a read-only folder: serve from memory
    return index


def _open(jsonl: str, cvx: str):
    """(index, identity of the compiled file it matches)."""
    native = _native()
    try:
        index = native.open_compiled(cvx, jsonl)
    except native.UnusableCompiledFile as exc:
        index = _compile(jsonl, cvx, str(exc))
    cvx_id = index.cvx_identity if index.from_compiled_file else _identity(cvx)
    return index, cvx_id


def write_compiled_index(data_dir="data") -> None:
    """Writes data_dir/scene_index.cvx for data_dir/scene_index.jsonl (run after
    the index); raises what reading or writing raises (a bad line: ValueError
    naming the file and line)."""
    jsonl, cvx = _paths(data_dir)
    _native().compile_jsonl(jsonl, _loader()).write(cvx)


def verify_compiled_index(data_dir="data") -> str | None:
    """Checks data_dir/scene_index.cvx whole (its hash, every page read) and
    against scene_index.jsonl; None when it is sound, else why it is not
    (for ``corvane index --verify`` and the service's background check)."""
    jsonl, cvx = _paths(data_dir)
    native = _native()
    try:
        index = native.open_compiled(cvx, jsonl)
    except native.UnusableCompiledFile as exc:
        return str(exc)
    except OSError as exc:
        return f"cannot be checked: {exc}"
    return None if index.verify() else "damaged (contents differ from their hash)"


class SearchHit(tuple):
    """One hit of ``Engine.search``: the pair (index entry, score) as before,
    with the scene's heading path in its manual as ``path`` (a tuple of
    headings, outermost first) and its tables as ``tables`` (a tuple of
    {"line", "header", "rows"} dicts); both () when its manual was not
    beside the index when it was compiled."""

    def __new__(cls, record, score, path=(), tables=()):
        self = super().__new__(cls, (record, score))
        self.path = tuple(path)
        self.tables = tuple(tables)
        return self

    def __reduce__(self):
        return (SearchHit, (self[0], self[1], self.path, self.tables))


def _manual_set(manuals, fn="search"):
    """A manuals argument as a frozenset of str, or None (no filter)."""
    if manuals is None:
        return None
    if isinstance(manuals, (str, bytes)):
        raise TypeError(f"{fn}() argument 'manuals' must be a set of manual ids (str) or None, "
                        f"not {type(manuals).__name__}")
    try:
        out = frozenset(manuals)
    except TypeError:
        raise TypeError(f"{fn}() argument 'manuals' must be a set of manual ids (str) or None, "
                        f"not {type(manuals).__name__}") from None
    for m in out:
        if not isinstance(m, str):
            raise TypeError(f"{fn}() argument 'manuals' must hold str manual ids, not {type(m).__name__}")
    return out


class _Snapshot:
    """An index with the identities of the files it was opened from."""

    __slots__ = ("index", "jsonl_id", "cvx_id", "synonyms")

    def __init__(self, index, cvx_id, synonyms=None):
        self.index = index
        self.jsonl_id = tuple(index.jsonl_identity)
        self.cvx_id = cvx_id
        self.synonyms = synonyms


class Engine:
    """Searches one scene index; see the module documentation.

    Thread-safe: searches run without the GIL, and a search that started
    before ``refresh()`` finishes on the index it started with.
    """

    def __init__(self, data_dir="data", *, ranker: str = "exact"):
        self._ranker = self._check_ranker(ranker)
        self._data_dir = os.fspath(data_dir)
        self._jsonl, self._cvx = _paths(self._data_dir)
        self._lock = threading.Lock()
        self._snap: _Snapshot | None = _Snapshot(*_open(self._jsonl, self._cvx))

    # ---- helpers ---------------------------------------------------------
    @staticmethod
    def _check_ranker(ranker) -> str:
        if ranker not in RANKERS:
            raise RankerUnavailableError(f"ranker must be one of {', '.join(map(repr, RANKERS))}, not {ranker!r}")
        return ranker

    def _current(self) -> _Snapshot:
        snap = self._snap
        if snap is None:
            raise EngineError("the engine is closed")
        return snap

    def _recover(self, failed: _Snapshot, exc: Exception) -> _Snapshot:
        """The index found not to match its files while in use (a damaged
        compiled file, a JSON-lines file rewritten in place): compile from
        the JSON-lines file as it is now and serve from that."""
        with self._lock:
            if self._snap is None:
                raise EngineError("the engine is closed")
            if self._snap is failed:
                index = _compile(self._jsonl, self._cvx, str(exc))
                self._snap = _Snapshot(index, _identity(self._cvx), failed.synonyms)
            return self._snap

    def _synonyms_of(self, snap: _Snapshot):
        syn = snap.synonyms
        if syn is None:
            with self._lock:
                if snap.synonyms is None:
                    snap.synonyms = _synonyms(self._data_dir)
                syn = snap.synonyms
        return syn

    def _hits(self, question, top_k, ranker, manuals=None):
        """[SearchHit(entry dict, score)] of a ranker, within ``manuals`` when given."""
        native = _native()
        snap = self._current()
        for attempt in (0, 1):
            try:
                index = snap.index
                if ranker in ("hybrid", "cascade"):
                    hits = index.search_hybrid(question, top_k, self._synonyms_of(snap), ranker == "hybrid",
                                               manuals=manuals)
                else:
                    hits = index.search(question, top_k, manuals)
                return [SearchHit(index.record(i), score, index.heading_path(i), index.tables(i)) for i, score in hits]
            except native.CorruptIndexError as exc:
                if attempt:
                    raise
                snap = self._recover(snap, exc)

    # ---- the API ---------------------------------------------------------
    def search(self, question: str, top_k: int = 3, *, ranker: str | None = None, manuals=None) -> list:
        """(index entry, score) pairs, best first, at most top_k; each also
        carries the scene's heading path (``hit.path``, see SearchHit).

        ``manuals`` (a set of manual ids): the best top_k of those manuals'
        entries, filtered inside the ranker -- the same entries, scores and
        order as the full ranking with the other manuals' entries taken out.
        The fused ranker refuses a question when none of the allowed scenes
        holds enough evidence for it.  Ids the index does not hold match
        nothing."""
        return self._search(question, top_k, ranker, manuals)

    def _search(self, question, top_k, ranker, manuals=None):
        ranker = self._ranker if ranker is None else self._check_ranker(ranker)
        return self._hits(question, top_k, ranker, _manual_set(manuals))

    def knowledge(self, question: str, *, ranker: str | None = None, top_k: int = 3, manuals=None) -> dict:
        """The matched record the answer prompt is built from."""
        native = _native()
        hits = self._search(question, top_k, ranker, manuals)
        intent = native.classify_query_intent(question)
        results = []
        for record, score in hits:
            context = native.build_scene_context(record["scene_data"], intent)
            results.append(
                {
                    "node_id": record["scene_id"],
                    "title": record["scene_title"],
                    "score": score,
                    "intent": intent,
                    "context": context,
                }
            )
        return {"query": question, "intent": intent, "results": results}

    def prompt(self, question: str, *, ranker: str | None = None, template: str | None = None) -> str:
        """The answer prompt; with a template (the self-check loop's format),
        that template filled: each of its markers once, never inside the
        text put in, within CORVANE_MAX_PROMPT_BYTES (PromptTooLargeError)."""
        if not isinstance(question, str):
            raise TypeError(f"prompt() argument 'question' must be str, not {type(question).__name__}")
        if template is not None and not isinstance(template, str):
            raise TypeError(f"prompt() argument 'template' must be str or None, not {type(template).__name__}")
        return self.answer(question, ranker=ranker, template=template).prompt

    def answer(self, question: str, *, ranker: str | None = None, top_k: int = 3,
               template: str | None = None, manuals=None) -> Answer:
        """Everything a question's answer needs, from one search: the hits
        (each with its heading path), the knowledge record, the prompt
        (``template`` filled as ``prompt`` fills it) and each hit's context
        text.  ``manuals``: as for ``search``."""
        ranker = self._ranker if ranker is None else self._check_ranker(ranker)
        manuals = _manual_set(manuals, "answer")
        time_text = None
        max_bytes = settings.get("max_prompt_bytes")
        if template is not None:
            time_text = datetime.now(ZoneInfo(TIME_ZONE)).strftime(TIME_FORMAT)
        native = _native()
        snap = self._current()
        for attempt in (0, 1):
            try:
                synonyms = self._synonyms_of(snap) if ranker in ("hybrid", "cascade") else None
                hits, knowledge, prompt, contexts = snap.index.answer(
                    question, top_k, synonyms, template, time_text, max_bytes, native.build_scene_context,
                    native.classify_query_intent, native.render_context_for_llm, ranker == "hybrid", manuals)
                break
            except native.CorruptIndexError as exc:
                if attempt:
                    raise
                snap = self._recover(snap, exc)
        return Answer(question=question, intent=knowledge["intent"], ranker=ranker,
                      hits=[Hit(record, score, tuple(path), tuple(tables)) for record, score, path, tables in hits],
                      knowledge=knowledge,
                      prompt=prompt, contexts=list(contexts))

    def refresh(self) -> bool:
        """Switches to the index files now on disk when they changed since
        opening; True when it switched.  Searches already running finish on
        the old index."""
        with self._lock:
            snap = self._current()
            if _identity(self._jsonl) == snap.jsonl_id and _identity(self._cvx) == snap.cvx_id:
                return False
            self._snap = _Snapshot(*_open(self._jsonl, self._cvx))
            return True

    def verify(self) -> bool:
        """Checks the compiled file in use against its hash (reads it whole);
        False when it is damaged: the next search then compiles the index
        from the JSON-lines file (one note on stderr) and serves from that.
        True when the index was compiled in memory."""
        return bool(self._current().index.verify())

    def info(self) -> dict:
        snap = self._current()
        mtime_ns = snap.jsonl_id[3]
        built = datetime.fromtimestamp(mtime_ns / 1e9, tz=timezone.utc).astimezone()
        return {
            "entries": len(snap.index),
            "built_at": built.isoformat(),
            "data_dir": self._data_dir,
            "compiled_file": bool(snap.index.from_compiled_file),
            "ranker": self._ranker,
        }

    def __len__(self) -> int:
        return len(self._current().index)

    def close(self) -> None:
        """Lets go of the index (its files stay mapped until running searches end)."""
        with self._lock:
            self._snap = None

    def __enter__(self) -> "Engine":
        self._current()
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self._snap is None else f"{len(self._snap.index)} entries"
        return f"<corvane.Engine {self._data_dir!r} ({state})>"
