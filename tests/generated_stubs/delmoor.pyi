from corvane.farrowin import (
    load_scene_index as load_scene_index,
    search_knowledge_global as search_knowledge_global
)
from corvane.morlek import (
    build_scene_context as build_scene_context,
    classify_query_intent as classify_query_intent
)
from corvane.vendry import build_prompt as build_prompt


scene_index: list = []

def answer_query(query: object | None) -> object: ...
