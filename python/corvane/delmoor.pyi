"""Query answering: the answer prompt for one question from the scene index loaded at import."""
from typing import Any

from corvane.farrowin import load_scene_index as load_scene_index
from corvane.farrowin import search_knowledge_global as search_knowledge_global
from corvane.morlek import build_scene_context as build_scene_context
from corvane.morlek import classify_query_intent as classify_query_intent
from corvane.vendry import build_prompt as build_prompt

scene_index: list[dict[str, Any]]

def answer_query(query: str) -> str: ...
