"""Query answering: the answer prompt for one question from the scene index loaded at import."""
from typing import Any

scene_index: list[dict[str, Any]]

def answer_query(query: str) -> str: ...
