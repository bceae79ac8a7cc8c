"""The settings table, the layering of its sources, and the error table."""
import pytest

from corvane import errors, layout, settings


@pytest.mark.parametrize("text, ok", [("1", True), ("256", True), ("0", False), ("257", False), ("+3", False),
                                      (" 3", False), ("3 ", False), ("1_0", False), ("٣", False), ("x", False)])
def test_counts_follow_the_native_rule(text, ok):
    environ = {"CORVANE_INDEX_THREADS": text}
    if ok:
        assert settings.get("index_threads", environ) == int(text)
    else:
        with pytest.raises(ValueError, match="CORVANE_INDEX_THREADS must be a whole number from 1 to 256"):
            settings.get("index_threads", environ)


def test_empty_variable_is_unset_and_layers_are_ordered():
    assert settings.env("max_prompt_bytes", {"CORVANE_MAX_PROMPT_BYTES": ""}).source == "default"
    got = settings.resolve(["max_prompt_bytes", "port", "ranker"], file={"max_prompt_bytes": "10", "port": 81},
                           flags={"ranker": "hybrid", "port": None},
                           environ={"CORVANE_MAX_PROMPT_BYTES": "20"})
    assert (got["max_prompt_bytes"].value, got["max_prompt_bytes"].source) == (20, "environment")
    assert (got["port"].value, got["port"].source) == (81, "file")
    assert (got["ranker"].value, got["ranker"].source) == ("hybrid", "flag")


def test_every_variable_once_and_table_hides_secrets():
    envs = [s.env for s in settings.SETTINGS if s.env]
    assert len(envs) == len(set(envs))
    assert all(s.default == "" for s in settings.SETTINGS if s.type == "secret")
    assert settings.table().count("\n") == len(settings.SETTINGS) + 1


def test_error_table():
    assert errors.exit_code(errors.NoResult("none")) == errors.EXIT_NO_RESULT
    assert errors.exit_code(KeyboardInterrupt()) == errors.EXIT_INTERRUPTED
    assert errors.exit_code(BrokenPipeError()) == errors.EXIT_CLOSED_STDOUT
    assert errors.exit_code(ValueError("x")) == errors.EXIT_ERROR
    assert errors.http_status(errors.PromptTooLargeError("big")) == 413
    assert errors.http_status(errors.IndexMissingError("none")) == 503
    assert errors.http_status(ValueError("x")) == 500
    e = errors.DataError("bad line", path="data/scene_index.jsonl", line=3)
    assert isinstance(e, ValueError) and (e.path, e.line) == ("data/scene_index.jsonl", 3)
    assert errors.where(e.path, e.line) == "data/scene_index.jsonl, line 3"


def test_layout_paths():
    lay = layout.layout("d")
    assert (lay.index_file, lay.compiled_file, lay.alias_file) == (
        "d/scene_index.jsonl", "d/scene_index.cvx", "d/manual_alias.json")
    assert layout.layout().manuals == "data/manuals" and lay.tree_file("m") == "d/trees/m.json"


def test_only_the_settings_module_reads_the_environment():
    """Reads of the process environment go through corvane.settings (one parsing rule, one
    table); writes handing values to child processes are fine."""
    import ast
    from pathlib import Path

    package = Path(__file__).resolve().parents[1] / "python" / "corvane"
    readers = ("environ", "environb", "getenv", "getenvb")
    found = []
    for path in sorted(package.rglob("*.py")):
        if path.name == "settings.py" and path.parent == package:
            continue
        tree = ast.parse(path.read_text(encoding="utf-8"), str(path))
        written = {id(n.value) for n in ast.walk(tree)
                   if isinstance(n, ast.Subscript) and isinstance(n.ctx, (ast.Store, ast.Del))}
        for node in ast.walk(tree):
            if (isinstance(node, ast.Attribute) and node.attr in readers and isinstance(node.value, ast.Name)
                    and node.value.id == "os" and id(node) not in written):
                found.append(f"{path.relative_to(package)}:{node.lineno}")
            elif isinstance(node, ast.ImportFrom) and node.module == "os" and any(
                    a.name in readers for a in node.names):
                found.append(f"{path.relative_to(package)}:{node.lineno}")
    assert found == []


def test_database_and_releases_folder_come_from_the_environment(monkeypatch, tmp_path):
    import argparse

    from corvane import releases

    args = argparse.Namespace(releases=None, data_dir=str(tmp_path))
    monkeypatch.delenv("CORVANE_RELEASES_DIR", raising=False)
    assert releases.default_dir(args) == str(tmp_path / "releases")
    monkeypatch.setenv("CORVANE_RELEASES_DIR", "")  # empty: unset
    assert releases.default_dir(args) == str(tmp_path / "releases")
    monkeypatch.setenv("CORVANE_RELEASES_DIR", "/srv/rel")
    assert releases.default_dir(args) == "/srv/rel"
    assert releases.default_dir(argparse.Namespace(releases="given", data_dir=None)) == "given"

    pytest.importorskip("fastapi")
    from corvane.service.routes_owners import DEFAULT_DATABASE, database_url

    monkeypatch.setenv("CORVANE_DATABASE", "  ")
    assert database_url(None) == (DEFAULT_DATABASE, False)
    monkeypatch.setenv("CORVANE_DATABASE", " sqlite:///x.db ")
    assert database_url(None) == ("sqlite:///x.db", True)
    assert database_url("y.db") == ("y.db", True)
