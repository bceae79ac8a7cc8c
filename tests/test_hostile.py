"""No Python object crashes the interpreter.

Every public function of the compiled modules (the six and the private
_engine and _hybrid) is called with hostile arguments
(tests/hostile.py builds them): each call must end with a result or a Python
exception.  The cases run in batches in child interpreters, so a crash or a
hang fails the case that caused it instead of ending the test run; a crash in
a batch is confirmed by running that case alone.  Under .ci/sanitize the
children inherit the sanitizer's environment and its reports name the fault.
"""
from __future__ import annotations

import ast
from pathlib import Path

import pytest

import hostile

HERE = Path(__file__).parent
CASES = hostile.all_cases()
IDS = [c.id for c in CASES]


def function_of(case_id: str) -> str:
    """"farrowin.search_knowledge_global/variant:path:ingredient" -> "farrowin.search_knowledge_global"."""
    return case_id.split(":", 1)[0].split("/", 1)[0]


@pytest.fixture(scope="session")
def outcomes(request):
    """Runs the selected cases once, in child interpreters."""
    selected = [item.callspec.params["case_id"] for item in request.session.items
                if getattr(item, "originalname", None) == "test_no_crash"]
    return hostile.run_cases(selected)


@pytest.mark.parametrize("case_id", IDS)
def test_no_crash(case_id, outcomes):
    outcome = outcomes[case_id]
    assert not outcome.failed, f"{case_id}: {outcome.kind}\n{outcome.detail}"


def stub_functions() -> set[str]:
    out = set()
    for name in hostile.MODULES + hostile.PRIVATE_MODULES:
        tree = ast.parse((HERE.parent / "python" / "corvane" / f"{name}.pyi").read_text(encoding="utf-8"))
        for node in tree.body:
            if isinstance(node, ast.FunctionDef) and not node.name.startswith("_"):
                out.add(f"{name}.{node.name}")
            elif isinstance(node, ast.ClassDef):
                out.update(f"{name}.{node.name}.{m.name}" for m in node.body
                           if isinstance(m, ast.FunctionDef) and not m.name.startswith("_")
                           and not any(getattr(d, "id", None) == "property" for d in m.decorator_list))
    return out


# Functions a module binds from another: their cases live under the module that defines them.
BOUND = {"farrowin.normalize_text", "farrowin.classify_query_intent"}
# Functions without parameters: no argument of theirs can be hostile.
NO_ARGUMENTS = {"_hybrid.fused_defaults"}


def test_every_public_function_has_hostile_cases():
    covered = {function_of(i) for i in IDS}
    missing = stub_functions() - BOUND - NO_ARGUMENTS - covered
    assert not missing, f"no hostile cases for {sorted(missing)}"
    # Module state: every module is dropped from sys.modules and its saved functions called.
    modules = hostile.MODULES + hostile.PRIVATE_MODULES
    assert {f"{m}:module:dropped-from-sys.modules" for m in modules} <= set(IDS)


def test_runner_pins_each_crash_on_its_case():
    """In a batch, a crash is put on the case that was running and the cases
    after it still run; a crash that needs an earlier case is reported as such."""
    ids = ["harness:fine", "harness:abort", "harness:raise", "harness:system-error", "harness:poison",
           "harness:fine", "harness:victim", "harness:fine"]
    got = hostile.run_cases(list(dict.fromkeys(ids)), jobs=1)
    assert {i: got[i].kind for i in got} == {"harness:fine": "ok", "harness:abort": "crash", "harness:raise": "raised",
                                             "harness:system-error": "bad", "harness:poison": "ok",
                                             "harness:victim": "crash"}
    assert "only after other cases" in got["harness:victim"].detail
