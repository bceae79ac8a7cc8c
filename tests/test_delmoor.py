"""Query answering end to end: manuals in, answer prompt out."""
import json
from pathlib import Path

import pytest

from golden_runner import GOLDEN
from subproc import copy_tree, run_cli, run_python

ROOT = Path(__file__).resolve().parent.parent
E2E = sorted((GOLDEN / "e2e").iterdir())

ANSWER_ALL = """
import json
from corvane import ostrel
ostrel.ostrel_main()
from corvane import delmoor
for line in open('questions.jsonl', encoding='utf-8'):
    case = json.loads(line)
    print(json.dumps(delmoor.answer_query(*case['args'], **case['kwargs']), ensure_ascii=False))
"""


@pytest.mark.parametrize("case", E2E, ids=[c.name for c in E2E])
def test_golden_prompts_after_indexing(case, tmp_path):
    work = copy_tree(case / "input", tmp_path)
    cases = [json.loads(l) for l in (case / "expected" / "prompts.jsonl").read_text(encoding="utf-8").splitlines()]
    (work / "questions.jsonl").write_text("\n".join(json.dumps(c, ensure_ascii=False) for c in cases), encoding="utf-8")
    out = run_python(ANSWER_ALL, work).stdout.splitlines()
    expected_stdout = (case / "expected" / "stdout.txt").read_text(encoding="utf-8").splitlines()
    assert out[: len(expected_stdout)] == expected_stdout
    prompts = [json.loads(l) for l in out[len(expected_stdout):]]
    assert prompts == [c["result"] for c in cases]


def write_index(folder: Path, entries: list) -> None:
    (folder / "data").mkdir(exist_ok=True)
    # An alias file keeps morlek's load-failure line out of the printed output.
    (folder / "data" / "manual_alias.json").write_text("{}", encoding="utf-8")
    with open(folder / "data" / "scene_index.jsonl", "w", encoding="utf-8") as f:
        for e in entries:
            f.write(json.dumps(e, ensure_ascii=False) + "\n")


def knowledge_of(prompt: str) -> str:
    return prompt.split("知识：\n            ", 1)[1][: -len("\n            ")]


def test_worked_examples(tmp_path):
    entry = {"scene_id": "guide_scene_1", "manual_id": "guide", "manual_title": "document", "doc_name": "",
             "scene_title": "三包责任承诺", "aliases": ["三包责任承诺"], "keywords": [],
             "scene_data": {"title": "三包责任承诺"}}
    write_index(tmp_path, [entry])
    out = run_python("from corvane import delmoor; print(repr(delmoor.answer_query('三包责任承诺')))", tmp_path)
    assert knowledge_of(eval(out.stdout)) == (
        "{'query': '三包责任承诺', 'intent': 'general', 'results': [{'node_id': 'guide_scene_1', 'title': "
        "'三包责任承诺', 'score': 27, 'intent': 'general', 'context': {'title': '三包责任承诺', 'description': '', "
        "'steps': [], 'warning': [], 'notice': [], 'tip': [], 'images': []}}]}")
    write_index(tmp_path, [])
    out = run_python("from corvane import delmoor; print(repr(delmoor.answer_query(query='三包责任承诺')))", tmp_path)
    assert knowledge_of(eval(out.stdout)) == "{'query': '三包责任承诺', 'intent': 'general', 'results': []}"


def test_at_most_three_results_and_one_intent(tmp_path):
    entries = [{"scene_id": f"m_scene_{i}", "scene_title": f"更换轮胎{i}", "aliases": [], "keywords": ["轮胎"],
                "scene_data": {"title": f"更换轮胎{i}", "steps": []}} for i in range(6)]
    write_index(tmp_path, entries)
    code = """
from corvane import delmoor
prompt = delmoor.answer_query('轮胎怎么换')
print(prompt.count("'node_id'"), prompt.count("'intent': 'how_to'"))
"""
    assert run_python(code, tmp_path).stdout.split() == ["3", "4"]


def test_non_string_query_is_rejected_before_any_search(tmp_path):
    write_index(tmp_path, [{"no_title": True}])  # searching this entry would raise KeyError
    code = """
from corvane import delmoor
for bad in (42, None, b'x', ['q']):
    try:
        delmoor.answer_query(bad)
    except TypeError as e:
        assert 'query' in str(e), e
    else:
        raise SystemExit('accepted ' + repr(bad))
try:
    delmoor.answer_query('x')
except KeyError:
    print('searched')
"""
    assert run_python(code, tmp_path).stdout.strip() == "searched"


def test_missing_or_broken_index_fails_the_import(tmp_path):
    proc = run_python("import corvane.delmoor", tmp_path, check=False)
    assert proc.returncode != 0 and "scene_index.jsonl" in proc.stderr
    (tmp_path / "data").mkdir()
    (tmp_path / "data" / "scene_index.jsonl").write_text('{"scene_title": "a"}\n{oops\n', encoding="utf-8")
    proc = run_python("import corvane.delmoor", tmp_path, check=False)
    assert proc.returncode != 0 and "JSONDecodeError" in proc.stderr and "line 2" in proc.stderr


def test_sample_manuals_end_to_end(tmp_path):
    work = copy_tree(ROOT / "examples", tmp_path)
    out = run_cli(["index"], work).stdout
    assert out.splitlines() == ["Processed: aster_e5_care, scenes=4", "Processed: aster_e5_warranty, scenes=3"]
    lines = run_cli(["ask", "爆胎了怎么换备胎"], work).stdout.splitlines()
    assert lines[0] == "=== SEARCH RESULT ===" and len(lines) == 2
    prompt = json.loads(lines[1])
    assert "擅于回答<爆胎了怎么换备胎>" in prompt
    assert "'node_id': 'aster_e5_care_scene_1', 'title': '更换轮胎'" in prompt and "'intent': 'how_to'" in prompt
    demo = run_cli(["ask"], work).stdout.splitlines()
    assert demo[0] == "=== SEARCH RESULT ===" and "'title': '三包责任承诺'" in json.loads(demo[1])
