"""Index building: the manual folder to one tree file per manual and the scene index."""
from os import PathLike
from typing import Any, Callable, Final

MANUAL_DIR: Final[str]
TREE_DIR: Final[str]
INDEX_FILE: Final[str]
markdown_to_tree: Callable[..., dict[str, Any]]
build_keywords_from_scene: Callable[[dict[str, Any]], list[str]]

_Path = str | bytes | PathLike[str] | PathLike[bytes]

def save_json(obj: Any, path: _Path) -> None:
    """Write obj as an indented JSON document (2 spaces), replacing the file atomically."""

def append_jsonl(obj: Any, path: _Path) -> None:
    """Append obj as one compact JSON line to the file."""

def build_scene_record(manual_id: str, tree: dict[str, Any], scene: dict[str, Any], idx: int) -> dict[str, Any]:
    """A new scene index entry for the idx-th (zero-based) scene of a manual's tree document."""

def run_index(manual_dir: _Path, tree_dir: _Path, index_file: _Path, *, aliases: Any = None,
              on_manual: Callable[[str, int], Any] | None = None, threads: int | None = None,
              max_line_bytes: int | None = None) -> None:
    """ostrel_main over the given folders: ``on_manual(manual_id, scenes)`` after
    each manual instead of the printed line; ``aliases`` (default MANUAL_ALIAS_MAP
    of corvane.morlek), ``threads`` (default one per core) and ``max_line_bytes``
    given here rather than by the environment.  A manual whose file name is not
    UTF-8 stops the run (UnicodeDecodeError naming it) before any file changes."""
def ostrel_main() -> None:
    """Rebuild data/trees and data/scene_index.jsonl from the manuals in data/manuals.

    Manuals are parsed on CORVANE_INDEX_THREADS worker threads (default: one per
    core) and committed in sorted order, so the files and the printed lines are
    those of a one-thread run.  The GIL is released during the run; it is taken
    back for each "Processed:" line and for lookups in an alias map that is not a
    plain dict.  An entry whose index line would pass the index loader's 256 MiB
    line limit fails the run with ValueError naming the manual and the scene; on
    any error the old index is kept.
    """
