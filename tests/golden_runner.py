"""Runs the golden vectors of tests/golden/*.jsonl.

A case is {"fn", "args", "kwargs", "result"} plus optional "args_after",
"files_in" and "files_out" (see tests/golden/README.md).  Results are compared
strictly: key order, int vs bool vs float, and tuples (which appear as JSON
arrays) are all checked.
"""
from __future__ import annotations

import json
import os
from pathlib import Path
from typing import Any

import pytest

GOLDEN = Path(__file__).parent / "golden"


def load_cases(name: str, fns: tuple[str, ...] | None = None) -> list:
    """pytest params for every case of golden/<name>.jsonl (optionally only some functions)."""
    params = []
    with open(GOLDEN / f"{name}.jsonl", encoding="utf-8") as f:
        for lineno, line in enumerate(f, 1):
            case = json.loads(line)
            if fns is not None and case["fn"] not in fns:
                continue
            params.append(pytest.param(case, id=f"{name}:{lineno}:{case['fn']}"))
    return params


def canon(value: Any) -> Any:
    """A form of value whose == also checks key order and scalar types."""
    if isinstance(value, dict):
        return ("dict", [(k, canon(v)) for k, v in value.items()])
    if isinstance(value, (list, tuple)):
        return ("list", [canon(v) for v in value])
    return (type(value).__name__, value)


def assert_same(actual: Any, expected: Any, what: str = "result") -> None:
    if canon(actual) != canon(expected):
        raise AssertionError(f"{what} differs:\n  actual:   {actual!r}\n  expected: {expected!r}")


def read_tree(folder: Path) -> dict[str, str]:
    files = {}
    for p in sorted(folder.rglob("*")):
        if p.is_file():
            files[p.relative_to(folder).as_posix()] = p.read_text(encoding="utf-8")
    return files


def write_files(folder: Path, files: dict[str, str]) -> None:
    for rel, content in files.items():
        p = folder / rel
        p.parent.mkdir(parents=True, exist_ok=True)
        with open(p, "w", encoding="utf-8", newline="") as f:
            f.write(content)


def run_case(module: Any, case: dict, workdir: Path) -> None:
    """Calls module.<fn>(*args, **kwargs) in workdir and checks every recorded outcome."""
    fn = getattr(module, case["fn"])
    args, kwargs = case["args"], case["kwargs"]
    expected = case["result"]
    write_files(workdir, case.get("files_in", {}))
    old = os.getcwd()
    os.chdir(workdir)
    try:
        if isinstance(expected, dict) and set(expected) == {"__error__"}:
            import builtins

            with pytest.raises(getattr(builtins, expected["__error__"])):
                fn(*args, **kwargs)
        else:
            assert_same(fn(*args, **kwargs), expected)
        if "args_after" in case:
            assert_same(args, case["args_after"], "arguments after the call")
    finally:
        os.chdir(old)
    if "files_out" in case:
        assert_same(read_tree(workdir), case["files_out"], "files after the call")
