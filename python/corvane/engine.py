"""Query engine over one data folder's scene index.

Interim implementation in plain Python over the extension modules, composed
the way ``delmoor.answer_query`` composes them; the compiled engine replaces it.
"""
from __future__ import annotations

import datetime
import os
import threading

__all__ = ["Engine", "EngineError"]

RANKERS = ("exact", "hybrid")
INDEX_NAME = "scene_index.jsonl"
COMPILED_NAME = "scene_index.cvx"


class EngineError(Exception):
    """A failure of the engine itself (not of its input)."""


def _check_ranker(ranker: object) -> str:
    if ranker not in RANKERS:
        raise ValueError(f"ranker must be 'exact' or 'hybrid', not {ranker!r}")
    if ranker == "hybrid":
        raise ValueError("ranker 'hybrid' is not available yet")
    return ranker  # type: ignore[return-value]


def _signature(path: str) -> tuple[int, int, int]:
    st = os.stat(path)
    return (st.st_mtime_ns, st.st_size, st.st_ino)


class _Snapshot:
    __slots__ = ("index", "compiled", "signature")

    def __init__(self, index: list, compiled: object, signature: tuple[int, int, int]) -> None:
        self.index = index
        self.compiled = compiled
        self.signature = signature


class Engine:
    def __init__(self, data_dir: str | os.PathLike = "data", *, ranker: str = "exact") -> None:
        self._ranker = _check_ranker(ranker)
        self._data_dir = os.fspath(data_dir)
        self._path = os.path.join(self._data_dir, INDEX_NAME)
        self._lock = threading.Lock()
        self._snap: _Snapshot | None = self._load()

    def _load(self) -> _Snapshot:
        from corvane import farrowin

        if not os.path.exists(self._path):
            raise FileNotFoundError(f"no scene index at {self._path}")
        while True:
            before = _signature(self._path)
            index = farrowin.load_scene_index(self._path)
            if _signature(self._path) == before:
                return _Snapshot(index, farrowin.compile_scene_index(index), before)

    def _current(self) -> _Snapshot:
        snap = self._snap
        if snap is None:
            raise EngineError("the engine is closed")
        return snap

    def _ranker_of(self, ranker: str | None) -> str:
        return self._ranker if ranker is None else _check_ranker(ranker)

    @staticmethod
    def _search(snap: _Snapshot, question: str, top_k: int) -> list:
        return snap.compiled.search(question, top_k)

    def search(self, question: str, top_k: int = 3, *, ranker: str | None = None) -> list:
        self._ranker_of(ranker)
        return self._search(self._current(), question, top_k)

    @staticmethod
    def _knowledge(snap: _Snapshot, question: str, top_k: int) -> dict:
        from corvane import morlek

        search_result = snap.compiled.search(question, top_k)
        intent = morlek.classify_query_intent(question)
        results = []
        for record, score in search_result:
            context = morlek.build_scene_context(record["scene_data"], intent)
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

    def knowledge(self, question: str, *, ranker: str | None = None, top_k: int = 3) -> dict:
        self._ranker_of(ranker)
        return self._knowledge(self._current(), question, top_k)

    def prompt(self, question: str, *, ranker: str | None = None, template: str | None = None) -> str:
        from corvane import vendry

        self._ranker_of(ranker)
        matched = self._knowledge(self._current(), question, 3)
        if template is None:
            return vendry.build_prompt(question, matched)
        filled = template.replace("__INPUT__", str(question))
        filled = filled.replace("__KNOWLEDGE__", str(matched))
        return filled.replace("__TIME__", vendry.now_beijing.strftime("%Y%m%d:%H%M%S"))

    def refresh(self) -> bool:
        with self._lock:
            snap = self._current()
            try:
                if _signature(self._path) == snap.signature:
                    return False
            except FileNotFoundError:
                return False
            self._snap = self._load()
            return True

    def info(self) -> dict:
        snap = self._current()
        built = datetime.datetime.fromtimestamp(snap.signature[0] / 1e9, tz=datetime.timezone.utc)
        return {
            "entries": len(snap.index),
            "built_at": built.isoformat(),
            "data_dir": self._data_dir,
            "compiled_file": False,
            "ranker": self._ranker,
        }

    def __len__(self) -> int:
        return len(self._current().index)

    def close(self) -> None:
        self._snap = None

    def __enter__(self) -> "Engine":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
