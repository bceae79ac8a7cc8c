"""The type stubs name exactly the public API of each compiled module, with the bindings' signatures."""
import ast
import importlib
import importlib.util
from pathlib import Path

import pytest

import corvane

STUBS = Path(corvane.__file__).parent
MODULES = ["plaxon", "morlek", "ostrel", "farrowin", "vendry", "delmoor", "_engine", "_hybrid"]


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


def _load_gen_stubs():
    path = Path(__file__).parent.parent / "tools" / "gen_stubs.py"
    spec = importlib.util.spec_from_file_location("gen_stubs", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


gen_stubs = _load_gen_stubs()


@pytest.fixture(scope="module")
def generated(tmp_path_factory):
    """Stubs freshly generated from the installed modules by nanobind's stub generator."""
    out = tmp_path_factory.mktemp("stubs")
    gen_stubs.generate(out)
    return out


def test_committed_generated_stubs_are_current(generated):
    stale = [name for name in gen_stubs.MODULES
             if (generated / f"{name}.pyi").read_text(encoding="utf-8")
             != (gen_stubs.GENERATED / f"{name}.pyi").read_text(encoding="utf-8")]
    assert not stale, f"tests/generated_stubs is out of date for {stale}: run .venv/bin/python tools/gen_stubs.py"


def test_hand_written_stubs_have_the_bindings_signatures(generated):
    found = gen_stubs.check(generated, gen_stubs.HAND)
    assert not found, "\n".join(f"{name}.pyi: {line}" for name, lines in found.items() for line in lines)


GENERATED_SAMPLE = """
class Index:
    def search(self, query: object | None, top_k: object | None = 3) -> list: ...
    def write(self, path: object) -> None: ...
    @property
    def memory_bytes(self) -> int: ...
def open_compiled(cvx: object, jsonl: object, verify_limit: int = 16777216) -> Index: ...
FORMAT_VERSION: int
"""


@pytest.mark.parametrize("hand, expected", [
    # the same signatures with precise types, a default spelt "..."
    ("class Index:\n    def search(self, query: str, top_k: int = 3) -> list[tuple[int, int]]: ...\n"
     "    def write(self, path: str) -> None: ...\n    @property\n    def memory_bytes(self) -> int: ...\n"
     "def open_compiled(cvx: str, jsonl: str, verify_limit: int = ...) -> Index: ...\n", []),
    ("class Index:\n    def search(self, text: str, top_k: int = 3) -> list: ...\n"
     "    def write(self, path: str) -> None: ...\n    @property\n    def memory_bytes(self) -> int: ...\n"
     "def open_compiled(cvx: str, jsonl: str, verify_limit: int = 5) -> Index: ...\n"
     "def gone() -> None: ...\n",
     ["Index.search: (self, text, top_k=3) here, (self, query, top_k=3) in the module",
      "not in the module: gone",
      "open_compiled: (cvx, jsonl, verify_limit=5) here, (cvx, jsonl, verify_limit=16777216) in the module"]),
    ("class Index:\n    def search(self, query: str, top_k: int) -> list: ...\n"
     "    def memory_bytes(self) -> int: ...\n"
     "def open_compiled(cvx: str, jsonl: str, *, verify_limit: int = ...) -> Index: ...\n",
     ["Index.memory_bytes: a function here, property in the module",
      "Index.search: (self, query, top_k) here, (self, query, top_k=3) in the module",
      "missing Index.write: (self, path)",
      "open_compiled: (cvx, jsonl, *, verify_limit=...) here, (cvx, jsonl, verify_limit=16777216) in the module"]),
])
def test_signature_differences_are_found(hand, expected):
    assert gen_stubs.differences(hand, GENERATED_SAMPLE) == expected
