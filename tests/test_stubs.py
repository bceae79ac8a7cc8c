"""The type stubs name exactly the public API of each compiled module."""
import ast
import importlib
from pathlib import Path

import pytest

import corvane

STUBS = Path(corvane.__file__).parent
MODULES = ["plaxon", "morlek", "ostrel", "farrowin", "vendry", "delmoor", "_engine"]


def stub_names(path: Path) -> set[str]:
    names = set()  # plain assignments in a stub are type aliases, not module values
    for node in ast.parse(path.read_text(encoding="utf-8")).body:
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names.add(node.target.id)
        elif isinstance(node, ast.ImportFrom):  # "from m import x as x" re-exports x
            names.update(a.asname for a in node.names if a.asname == a.name)
    return {n for n in names if not n.startswith("_")}


@pytest.mark.parametrize("name", MODULES)
def test_stub_matches_module(name, tmp_path, monkeypatch):
    if name == "delmoor":
        (tmp_path / "data").mkdir()
        (tmp_path / "data" / "scene_index.jsonl").write_text("", encoding="utf-8")
        monkeypatch.chdir(tmp_path)
    module = importlib.import_module(f"corvane.{name}")
    public = {n for n in vars(module) if not n.startswith("_") and not isinstance(vars(module)[n], type(ast))}
    declared = stub_names(STUBS / f"{name}.pyi")
    missing = {n for n in declared if not hasattr(module, n)}
    assert not missing, f"stub names what the module lacks: {sorted(missing)}"
    undocumented = {n for n in public - declared if callable(getattr(module, n)) and not isinstance(getattr(module, n), type)}
    assert not undocumented, f"functions missing from the stub: {sorted(undocumented)}"
