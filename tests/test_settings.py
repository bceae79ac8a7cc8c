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
