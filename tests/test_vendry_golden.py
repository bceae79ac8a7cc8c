import asyncio
import builtins

import pytest

from corvane import vendry
from golden_runner import assert_same, load_cases, read_tree, run_case, write_files
from vendry_fakes import install, with_time


@pytest.mark.parametrize("case", load_cases("vendry_prompt"))
def test_build_prompt_golden(case, workdir):
    run_case(vendry, case, workdir)


@pytest.mark.parametrize("case", load_cases("vendry_selfcheck"))
def test_generate_ai_prompt_golden(case, workdir, monkeypatch, capsys):
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
