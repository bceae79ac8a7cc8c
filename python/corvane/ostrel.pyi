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

def ostrel_main() -> None:
    """Rebuild data/trees and data/scene_index.jsonl from the manuals in data/manuals."""
