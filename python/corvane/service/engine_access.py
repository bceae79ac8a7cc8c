"""The service's one way to the query engine.

Every use of ``corvane.engine`` by the service goes through here: opening an
index for serving, checking that a compiled file matches its JSON-lines file,
compiling one in a child process.  The routes call the engine itself
(``Engine.answer``: one search per request).  A request never compiles an
index: an engine that finds its files changed under it raises ``IndexStale``
instead, and the holder rebuilds off the event loop.
"""
from __future__ import annotations

import os
import subprocess
import sys

from corvane.service.textsafe import escape_log

INDEX_FILE = "scene_index.jsonl"
COMPILED_FILE = "scene_index.cvx"


class IndexStale(Exception):
    """The loaded index no longer matches its files (rewritten in place); it must not be used."""


_serving_class = None


def _serving_engine_class():
    global _serving_class
    if _serving_class is None:
        from corvane.engine import Engine

        class ServingEngine(Engine):
            """An Engine that refuses, rather than recompiles, when its files changed under it."""

            def _recover(self, failed, exc):
                raise IndexStale(f"the index files changed under the loaded index ({type(exc).__name__})")

        _serving_class = ServingEngine
    return _serving_class


def open_engine(data_dir: str, ranker: str):
    return _serving_engine_class()(data_dir, ranker=ranker)


def compiled_file_ready(data_dir: str) -> bool:
    """True when data_dir's compiled file is there and matches its JSON-lines file."""
    from corvane import _engine

    try:
        index = _engine.open_compiled(os.path.join(data_dir, COMPILED_FILE), os.path.join(data_dir, INDEX_FILE))
    except (_engine.UnusableCompiledFile, OSError, ValueError):
        return False
    del index
    return True


COMPILE_CODE = "import sys\nfrom corvane.engine import write_compiled_index\nwrite_compiled_index(sys.argv[1])\n"


def compile_in_child(data_dir: str, timeout: float = 3600) -> None:
    """Writes data_dir's compiled file from its JSON-lines file in another
    process, so the serving process keeps its processor and GIL; raises
    OSError with the child's last line when it fails."""
    proc = subprocess.run([sys.executable, "-c", COMPILE_CODE, data_dir], capture_output=True, timeout=timeout,
                          stdin=subprocess.DEVNULL)
    if proc.returncode != 0:
        lines = proc.stderr.decode("utf-8", "replace").strip().splitlines()
        raise OSError(f"compiling the index failed: {escape_log(lines[-1] if lines else str(proc.returncode))[:300]}")
