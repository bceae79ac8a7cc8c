"""The golden vectors of tests/golden/*.jsonl, run against the compiled modules."""
import asyncio
import builtins
import importlib

import pytest

from golden_runner import assert_same, load_cases, read_tree, run_case, write_files
from vendry_fakes import install, with_time

# Vector file -> the module whose function each case calls.
FILES = {
    "farrowin": "farrowin",
    "morlek_keywords": "morlek", "morlek_intent": "morlek", "morlek_context": "morlek", "morlek_search": "morlek",
    "ostrel_record": "ostrel",
    "plaxon_text": "plaxon", "plaxon_tree": "plaxon", "plaxon_scene": "plaxon",
    "vendry_prompt": "vendry",
}
CASES = [(module, case) for name, module in FILES.items() for case in load_cases(name)]


@pytest.mark.parametrize("module, case", [pytest.param(m, c.values[0], id=c.id) for m, c in CASES])
def test_golden(module, case, workdir):
    run_case(importlib.import_module(f"corvane.{module}"), case, workdir)


@pytest.mark.parametrize("case", load_cases("vendry_selfcheck"))
def test_generate_ai_prompt_golden(case, workdir, monkeypatch, capsys):
    from corvane import vendry

    write_files(workdir, case["files_in"])
    model = install(monkeypatch, vendry, case["replies"])
    expected = case["result"]
    capsys.readouterr()
    if isinstance(expected, dict) and set(expected) == {"__error__"}:
        with pytest.raises(getattr(builtins, expected["__error__"])):
            asyncio.run(vendry.generate_ai_prompt(*case["args"], **case["kwargs"]))
    else:
        assert_same(asyncio.run(vendry.generate_ai_prompt(*case["args"], **case["kwargs"])), expected)
    assert capsys.readouterr().out == case["stdout"]
    assert model.calls == with_time(case["calls"])
    assert model.replies == []
    assert_same(read_tree(workdir), case["files_out"], "files after the call")
