"""The serve configuration file: layering, typing, errors that name the file and line, masking."""
import argparse
import io
import os

import pytest

from corvane.config_file import (MASK, ConfigError, Entry, entries_from_parser, load, load_file, print_config,
                                 resolve, toml_template)


def _port(text):
    value = int(text)
    if not 0 <= value <= 65535:
        raise argparse.ArgumentTypeError(f"port must be between 0 and 65535, not {text!r}")
    return value


ENTRIES = [
    Entry("data_dir", "CORVANE_DATA_DIR", "path", "data"),
    Entry("port", "CORVANE_PORT", _port, 8000),
    Entry("workers", "CORVANE_WORKERS", int, 1),
    Entry("reload_interval", "CORVANE_RELOAD_INTERVAL", float, 1.0),
    Entry("log_questions", "CORVANE_LOG_QUESTIONS", bool, False),
    Entry("ranker", "CORVANE_RANKER", str, "exact", choices=("exact", "hybrid")),
    Entry("api_token", "CORVANE_API_TOKEN", str, "", secret=True),
    Entry("llm.url", "CORVANE_LLM_URL", str, ""),
]


def write(tmp_path, text, name="corvane.toml"):
    path = tmp_path / name
    path.write_text(text, encoding="utf-8")
    os.chmod(path, 0o600)
    return str(path)


def test_precedence_flag_over_env_over_file_over_default(tmp_path):
    path = write(tmp_path, 'port = 7000\nworkers = 3\nreload_interval = 5\n[llm]\nurl = "http://file"\n')
    file = load_file(path, ENTRIES)
    env = {"CORVANE_PORT": "7100", "CORVANE_WORKERS": "4", "CORVANE_LLM_URL": ""}
    r = resolve(ENTRIES, file=file, environ=env, flags={"port": 7200})
    assert (r["port"].value, r["port"].source, r["port"].origin) == (7200, "flag", "--port")
    assert (r["workers"].value, r["workers"].source) == (4, "env")
    # an empty variable is unset: it does not wipe the file's value
    assert (r["llm.url"].value, r["llm.url"].source) == ("http://file", "file")
    assert r["reload_interval"].value == 5.0 and isinstance(r["reload_interval"].value, float)
    assert r["reload_interval"].origin == f"{path} line 3"
    assert (r["ranker"].value, r["ranker"].source) == ("exact", "default")


def test_relative_paths_in_the_file_are_from_its_folder(tmp_path):
    (tmp_path / "etc").mkdir()
    path = write(tmp_path / "etc", 'data_dir = "../srv/data"\n')
    r = resolve(ENTRIES, file=load_file(path, ENTRIES), environ={})
    assert r["data_dir"].value == str(tmp_path / "srv" / "data")
    # from the environment, a path stays as given (relative to the working directory)
    r = resolve(ENTRIES, environ={"CORVANE_DATA_DIR": "rel"})
    assert r["data_dir"].value == "rel"


@pytest.mark.parametrize("text, expected", [
    ('port = 70000\n', "line 1: port must be between 0 and 65535"),
    ('\nworkers = "two"\n', "line 2: workers must be an integer, not str"),
    ('log_questions = 1\n', "log_questions must be true or false"),
    ('ranker = "fuzzy"\n', "ranker must be one of 'exact', 'hybrid'"),
    ('prot = 1\n', "unknown setting 'prot' (did you mean 'port'?)"),
    ('[llm]\nurl = "x"\nmodel = "y"\n', "line 3: unknown setting 'llm.model'"),
    ('port = \n', "not valid TOML"),
    ('workers = true\n', "workers must be an integer, not bool"),
])
def test_bad_file_names_file_line_and_setting(tmp_path, text, expected):
    path = write(tmp_path, text)
    with pytest.raises(ConfigError) as info:
        load_file(path, ENTRIES)
    assert path in str(info.value) and expected in str(info.value)


@pytest.mark.parametrize("env, expected", [
    ({"CORVANE_WORKERS": "many"}, "CORVANE_WORKERS: must be an integer, not 'many'"),
    ({"CORVANE_LOG_QUESTIONS": "maybe"}, "CORVANE_LOG_QUESTIONS: must be one of"),
    ({"CORVANE_PORT": "-1"}, "CORVANE_PORT: port must be between"),
])
def test_bad_environment_value_names_the_variable(env, expected):
    with pytest.raises(ConfigError, match=expected):
        resolve(ENTRIES, environ=env)


def test_env_booleans():
    for word, value in [("1", True), ("yes", True), ("ON", True), ("0", False), ("off", False)]:
        assert resolve(ENTRIES, environ={"CORVANE_LOG_QUESTIONS": word})["log_questions"].value is value


def test_missing_and_non_utf8_files(tmp_path):
    with pytest.raises(ConfigError, match="cannot read configuration file .*nope.toml"):
        load_file(str(tmp_path / "nope.toml"), ENTRIES)
    bad = tmp_path / "bad.toml"
    bad.write_bytes(b'ranker = "\xff"\n')
    with pytest.raises(ConfigError, match="bad.toml: not UTF-8"):
        load_file(str(bad), ENTRIES)


def test_print_config_masks_secrets_everywhere(tmp_path):
    path = write(tmp_path, 'api_token = "file-secret-123"\n')
    r = resolve(ENTRIES, file=load_file(path, ENTRIES), environ={"CORVANE_API_TOKEN": "env-secret-456"})
    out = io.StringIO()
    print_config(r, ENTRIES, out)
    text = out.getvalue()
    assert "secret-" not in text
    assert f"api_token       = {MASK}   # env (CORVANE_API_TOKEN)" in text
    assert "port            = 8000   # default" in text
    unset = io.StringIO()
    print_config(resolve(ENTRIES, environ={}), ENTRIES, unset)
    assert "api_token       = (not set)" in unset.getvalue()


def test_secret_in_a_readable_file_warns(tmp_path):
    path = write(tmp_path, 'api_token = "s"\n')
    assert load_file(path, ENTRIES).warnings == []
    os.chmod(path, 0o644)
    assert "readable by other users" in load_file(path, ENTRIES).warnings[0]


def test_load_from_a_parsed_command_line(tmp_path):
    """The table from a parser whose defaults are None: a flag left out does not hide the file."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=_port, default=None)
    parser.add_argument("--log-questions", action="store_true", default=None)
    parser.add_argument("--config")
    entries = [Entry("port", "CORVANE_PORT", _port, 8000), Entry("log_questions", None, bool, False)]
    path = write(tmp_path, "port = 9000\nlog_questions = true\n")
    resolved, warnings = load(entries, parser.parse_args([]), environ={"CORVANE_CONFIG": path})
    assert resolved["port"].value == 9000 and resolved["log_questions"].value is True and warnings == []
    resolved, _ = load(entries, parser.parse_args(["--config", path, "--port", "1"]), environ={})
    assert (resolved["port"].value, resolved["port"].source) == (1, "flag")


def test_template_reads_back_as_defaults(tmp_path):
    text = "\n".join(line[1:] if line.startswith("#") and "=" in line else line
                     for line in toml_template(ENTRIES).splitlines())
    # llm.url is dotted in the template; it reads back as the same setting
    path = write(tmp_path, text)
    r = resolve(ENTRIES, file=load_file(path, ENTRIES), environ={})
    assert all(r[e.name].value == (str(tmp_path / "data") if e.name == "data_dir" else e.default) for e in ENTRIES)


def test_entries_from_the_real_serve_parser():
    from corvane.__main__ import build_parser

    serve = build_parser()._subparsers._group_actions[0].choices["serve"]
    entries = {e.name: e for e in entries_from_parser(serve)}
    assert entries["port"].env == "CORVANE_PORT" and entries["port"].default == 8000
    assert entries["log_questions"].type is bool
    assert entries["ranker"].choices == ("exact", "hybrid")
    r = resolve(entries.values(), environ={"CORVANE_PORT": "8081"})
    assert r["port"].value == 8081


def test_serve_parser_unchanged_flags_found_from_argv(tmp_path):
    """With the real serve parser (real defaults kept): only flags on the command line beat the file."""
    from corvane.__main__ import build_parser
    from corvane.config_file import explicit_flags, serve_entries

    serve = build_parser()._subparsers._group_actions[0].choices["serve"]
    entries = serve_entries(serve)
    argv = ["--port", "9001", "--log-questions"]
    args = serve.parse_args(argv)
    flags = explicit_flags(serve, argv, entries)
    assert flags == {"port": 9001, "log_questions": True}
    assert serve.parse_args([]).port == 8000  # defaults restored
    path = write(tmp_path, 'port = 7000\nworkers = 2\nllm_key = "k-secret"\n')
    resolved, _ = load(entries, args, environ={"CORVANE_CONFIG": path, "CORVANE_API_TOKEN": "t-secret"},
                       flags=flags)
    assert resolved["port"].value == 9001 and resolved["workers"].value == 2
    assert resolved["host"].source == "default" and resolved["api_token"].source == "env"
    out = io.StringIO()
    print_config(resolved, entries, out)
    assert "secret" not in out.getvalue() and out.getvalue().count(MASK) == 2
