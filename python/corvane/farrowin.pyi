"""Global retrieval: loads the scene index and ranks its entries for a query."""
from os import PathLike
from typing import Any

def load_scene_index(path: str | bytes | PathLike[str] | PathLike[bytes] = "data/scene_index.jsonl") -> list[Any]:
    """The entries of a scene index file, one JSON value per line, in file order."""

def score_record(query: str, record: dict[str, Any]) -> int:
    """The score of one index entry for a query."""

def search_knowledge_global(
    query: str, scene_index: list[dict[str, Any]], top_k: int = 5
) -> list[tuple[dict[str, Any], int]]:
    """The best (entry, score) pairs, best first, at most top_k of them."""

# Bound from corvane.morlek when this module loads.
def normalize_text(text: str) -> str: ...
def classify_query_intent(query: str) -> str: ...

class CompiledSceneIndex:
    """A scene index compiled once for repeated searches."""
    @property
    def memory_bytes(self) -> int: ...
    def __len__(self) -> int: ...
    def search(self, query: str, top_k: int = 5) -> list[tuple[dict[str, Any], int]]: ...

def compile_scene_index(scene_index: list[dict[str, Any]]) -> CompiledSceneIndex: ...
