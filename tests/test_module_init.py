"""A compiled module whose initialisation fails raises what a plain Python
module doing the same would raise: the original exception, not an ImportError
wrapping it; and a later import tries again."""
import json
import sys
from pathlib import Path

import pytest

from subproc import run_python

# Runs in a fresh interpreter: imports MODULE twice and reports what happened.
PROBE = r"""
import importlib, json, sys
{prelude}
seen = []
for attempt in range(2):
    try:
        importlib.import_module({module!r})
        seen.append(None)
    except BaseException as e:
        seen.append({{"type": type(e).__module__ + "." + type(e).__qualname__, "str": str(e),
                     "wrapped": isinstance(e, ImportError) and type(e) not in (ImportError, ModuleNotFoundError)
                                or e.__cause__ is not None,
                     "in_sys_modules": {module!r} in sys.modules}})
print(json.dumps(seen))
"""

BLOCK_TZ = "import zoneinfo; zoneinfo.reset_tzpath(to=[]); sys.modules['tzdata'] = None"

# (case, setup of the folder, prelude, what the plain module does at import, compare str(e))
CASES = [
    ("delmoor without an index", None, "",
     "open('data/scene_index.jsonl', encoding='utf-8')", True),
    ("delmoor with a corrupt index", '{"scene_title": "a"}\n{oops\n', "",
     "import json\nfor line in open('data/scene_index.jsonl', encoding='utf-8'): json.loads(line)", False),
    ("vendry without tqdm", "", "sys.modules['tqdm'] = None", "from tqdm import trange", True),
    ("vendry without the model client", "", "sys.modules['harlune'] = None", "from harlune import llm_response", True),
    ("vendry without the time zone", "", BLOCK_TZ, "import zoneinfo\nzoneinfo.ZoneInfo('Asia/Shanghai')", True),
]


def probe(tmp_path, module, prelude):
    proc = run_python(PROBE.format(module=module, prelude=prelude), tmp_path)
    return json.loads(proc.stdout.strip().splitlines()[-1])  # morlek may print its alias-file line first


@pytest.mark.parametrize("case, index, prelude, plain_body, same_text", CASES, ids=[c[0] for c in CASES])
def test_failing_init_raises_like_a_plain_module(tmp_path, case, index, prelude, plain_body, same_text):
    if index is not None:
        (tmp_path / "data").mkdir()
        (tmp_path / "data" / "scene_index.jsonl").write_text(index, encoding="utf-8")
    (tmp_path / "plain_mod.py").write_text(plain_body + "\n", encoding="utf-8")
    module = "corvane." + case.split()[0]
    compiled = probe(tmp_path, module, prelude)
    plain = probe(tmp_path, "plain_mod", "sys.path.insert(0, '.')\n" + prelude)
    assert None not in compiled and None not in plain
    for got, want in zip(compiled, plain):
        assert got["type"] == want["type"], got
        assert got["wrapped"] is False and want["wrapped"] is False
        assert got["in_sys_modules"] == want["in_sys_modules"]
        if same_text:
            assert got["str"] == want["str"]
    assert "initializing the extension" not in json.dumps(compiled)


def test_corrupt_index_error_names_file_and_line(tmp_path):
    (tmp_path / "data").mkdir()
    (tmp_path / "data" / "scene_index.jsonl").write_text('{"scene_title": "a"}\n{oops\n', encoding="utf-8")
    proc = run_python("import corvane.delmoor", tmp_path, check=False)
    last = proc.stderr.strip().splitlines()[-1]
    assert last.startswith("json.decoder.JSONDecodeError:") and "scene_index.jsonl" in last and "line 2" in last
    assert "During handling" not in proc.stderr and "direct cause" not in proc.stderr


def test_import_succeeds_once_the_cause_is_gone(tmp_path):
    code = """
import os
try:
    import corvane.delmoor
except FileNotFoundError:
    os.makedirs('data'); open('data/scene_index.jsonl', 'w').close()
import corvane.delmoor
print(len(corvane.delmoor.scene_index))
"""
    assert run_python(code, tmp_path).stdout.strip().splitlines()[-1] == "0"


def test_tries_constant():
    from corvane import vendry
    assert vendry.TRIES == 5 and type(vendry.TRIES) is int


# Module state belongs to the module: a function saved before its module is
# dropped from sys.modules (a common test-isolation pattern) keeps working,
# and a new import builds a fresh module.
DROPPED = r"""
import asyncio, gc, sys
sys.path.insert(0, TESTS)
from corvane import delmoor, morlek, ostrel, vendry
from vendry_fakes import ScriptedModel
answer, search, run = delmoor.answer_query, morlek.search_knowledge, ostrel.ostrel_main
self_check, clock = vendry.generate_ai_prompt, vendry._clock
vendry.llm_response = ScriptedModel([{"answer": "a", "reason": "r"}, {"is_ok": True}])
from tqdm import trange
vendry.trange = lambda n, **kw: trange(n, disable=True)
before = answer("更换轮胎")
for name in [n for n in sys.modules if n.startswith("corvane.")]:
    del sys.modules[name]
del delmoor, morlek, ostrel, vendry
gc.collect()
assert answer("更换轮胎") == before
assert search("更换轮胎", {"children": []})["results"] == []
run()
assert asyncio.run(self_check("prompt.md", "q", "k")) is True
assert clock().tzinfo is not None
import corvane.delmoor
assert corvane.delmoor.answer_query is not answer and corvane.delmoor.answer_query("更换轮胎") == before
print("ok")
"""


def test_saved_functions_outlive_their_dropped_module(tmp_path):
    (tmp_path / "data" / "manuals").mkdir(parents=True)
    (tmp_path / "data" / "manuals" / "m.md").write_text("# 手册\n## 更换轮胎\n### 操作步骤\n1. 拧紧螺栓\n", "utf-8")
    (tmp_path / "prompt.md").write_text("P __INPUT__", "utf-8")
    run_python("from corvane import ostrel; ostrel.ostrel_main()", tmp_path)
    proc = run_python(DROPPED.replace("TESTS", repr(str(Path(__file__).parent))), tmp_path, check=False)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip().splitlines()[-1] == "ok"
