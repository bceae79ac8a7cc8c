"""docs/manual-format.md says what the parser does: each Markdown example followed by a
JSON block is indexed (through `corvane index`, as a user would) and gives exactly those
scenes; the list of check codes is the checker's."""
from __future__ import annotations

import json
import re
from pathlib import Path

import pytest

from corvane import plaxon
from corvane.checking import finding_codes
from subproc import run_cli

DOC = Path(__file__).resolve().parent.parent / "docs" / "manual-format.md"
FENCE = re.compile(r"```(\w+)\n(.*?)```", re.DOTALL)


def examples() -> list[tuple[str, list]]:
    blocks = FENCE.findall(DOC.read_text(encoding="utf-8"))
    pairs = []
    for (lang, body), (next_lang, next_body) in zip(blocks, blocks[1:]):
        if lang == "markdown" and next_lang == "json":
            pairs.append((body, json.loads(next_body)))
    return pairs


EXAMPLES = examples()


def test_the_doc_has_its_examples():
    assert len(EXAMPLES) >= 10


@pytest.mark.parametrize("text,scenes", EXAMPLES, ids=[f"example{i + 1}" for i in range(len(EXAMPLES))])
def test_example_gives_its_scenes(text, scenes):
    assert plaxon.markdown_to_tree(text)["children"] == scenes


def test_examples_index_into_those_scenes(tmp_path):
    manuals = tmp_path / "data" / "manuals"
    manuals.mkdir(parents=True)
    for i, (text, _) in enumerate(EXAMPLES):
        (manuals / f"ex{i:02d}.md").write_text(text, encoding="utf-8")
    run_cli(["index"], tmp_path)
    entries = [json.loads(line) for line in (tmp_path / "data" / "scene_index.jsonl").read_text().splitlines()]
    for i, (_, scenes) in enumerate(EXAMPLES):
        got = [e["scene_data"] for e in entries if e["manual_id"] == f"ex{i:02d}"]
        assert got == scenes, f"example {i + 1}"


def test_check_codes_table_lists_every_code():
    text = DOC.read_text(encoding="utf-8")
    section = text[text.index("## Checking a manual"):]
    documented = set(re.findall(r"^\| `([a-z0-9-]+)` \|", section, re.MULTILINE))
    assert documented == {c for c, _ in finding_codes()}
