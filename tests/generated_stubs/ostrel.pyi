from corvane.morlek import (
    build_keywords_from_scene as build_keywords_from_scene
)
from corvane.plaxon import markdown_to_tree as markdown_to_tree


MANUAL_DIR: str = 'data/manuals'

TREE_DIR: str = 'data/trees'

INDEX_FILE: str = 'data/scene_index.jsonl'

def save_json(obj: object | None, path: object | None) -> None: ...

def append_jsonl(obj: object | None, path: object | None) -> None: ...

def build_scene_record(manual_id: object | None, tree: object | None, scene: object | None, idx: object | None) -> dict: ...

def run_index(manual_dir: object | None, tree_dir: object | None, index_file: object | None, *, aliases: object | None = None, on_manual: object | None = None, threads: object | None = None, max_line_bytes: object | None = None) -> None: ...

def ostrel_main() -> None: ...
