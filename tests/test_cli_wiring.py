"""The library commands as the command line runs them (in process, through corvane.cli.main):
keys, releases, report, serve's configuration file, the catalog in index, and ask/eval
with vehicles, styles, histories and refusals."""
from __future__ import annotations

import argparse
import json
import os
import shutil
from pathlib import Path

import pytest

from corvane.cli import build_parser, main

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples" / "data"
X5_MANUAL = """本手册适用于 Nordvik X5。

# 第一章 轮胎

## 更换轮胎

### 说明
X5 轮胎漏气时，先把车停到安全区域。

### 操作步骤
1. 打开危险警告灯。
2. 用随车工具松开车轮螺母。
"""


def run(capsys, *argv):
    """(exit code, stdout, stderr) of one command."""
    code = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


def two_vehicles(top: Path) -> Path:
    """The examples plus a second vehicle's manual, with catalog entries for both."""
    data = top / "data"
    shutil.copytree(EXAMPLES, data, ignore=shutil.ignore_patterns("scene_index.*", "trees", "releases", ".cvtmp-*"))
    (data / "manuals" / "nordvik_x5.md").write_text(X5_MANUAL, encoding="utf-8")
    catalog = json.loads((data / "catalog.json").read_text(encoding="utf-8"))
    catalog["nordvik_x5"] = {"vehicle": "Nordvik X5", "vehicle_names": ["X5"], "title": "X5 用车指南"}
    (data / "catalog.json").write_text(json.dumps(catalog, ensure_ascii=False), encoding="utf-8")
    return data


@pytest.fixture(scope="module")
def indexed(tmp_path_factory):
    pytest.importorskip("corvane.ostrel")
    data = two_vehicles(tmp_path_factory.mktemp("vehicles"))
    assert main(["index", "--data-dir", str(data)]) == 0
    return data


# --- keys, releases, report -------------------------------------------------------------


def test_keys_commands(tmp_path, capsys):
    keys = tmp_path / "keys.json"
    code, out, err = run(capsys, "keys", "--keys-file", keys, "add", "fleet", "--requests-per-minute", "5")
    key = out.strip()
    assert code == 0 and key.startswith("cvk_") and "shown only now" in err
    code, out, _ = run(capsys, "keys", "--keys-file", keys, "list")
    assert code == 0 and "fleet" in out and key.split("_", 2)[2] not in out
    code, _, err = run(capsys, "keys", "--keys-file", keys, "add", "fleet")
    assert code == 2 and "a key named 'fleet' exists" in err
    code, _, err = run(capsys, "keys", "--keys-file", keys, "revoke", "nobody")
    assert code == 2 and err.startswith("corvane keys: error: ") and err.count("\n") == 1


def test_index_out_publish_rollback_prune(tmp_path, capsys):
    pytest.importorskip("corvane.ostrel")
    data = two_vehicles(tmp_path)
    rel = tmp_path / "rel"
    code, first, err = run(capsys, "index", "--data-dir", data, "--out", rel)
    assert code == 0, err
    first = first.strip().splitlines()[-1]
    assert "built release" in err and not (data / "scene_index.jsonl").exists()
    (data / "manuals" / "nordvik_x5.md").write_text(X5_MANUAL + "3. 拧紧螺母。\n", encoding="utf-8")
    import time

    time.sleep(1.1)  # release ids sort by their build second: the second build is the newer one
    code, second, err = run(capsys, "index", "--data-dir", data, "--out", rel)
    assert code == 0, err
    second = second.strip().splitlines()[-1]
    assert run(capsys, "publish", "--releases", rel)[:2] == (0, f"current: {second}\n")
    assert run(capsys, "rollback", "--releases", rel)[:2] == (0, f"current: {first} (was {second})\n")
    assert run(capsys, "prune", "--releases", rel, "--keep", "1")[:2] == (0, "")  # the current one stays
    code, _, err = run(capsys, "rollback", "--releases", rel)
    assert code == 2 and "oldest" in err and err.startswith("corvane rollback: error: ")
    code, _, err = run(capsys, "publish", "--releases", tmp_path / "none")
    assert code == 2 and "no releases folder" in err


def test_report_without_a_store_is_a_one_line_error(tmp_path, capsys, monkeypatch):
    monkeypatch.delenv("CORVANE_DATABASE", raising=False)  # the suite's own store
    monkeypatch.chdir(tmp_path)
    code, out, err = run(capsys, "report", "--data-dir", tmp_path)
    assert (code, out) == (2, "") and err.startswith("corvane report: error: --database: ") and err.count("\n") == 1


# --- serve --config ---------------------------------------------------------------------


def serve_parser() -> argparse.ArgumentParser:
    return build_parser()._subparsers._group_actions[0].choices["serve"]


def test_serve_config_precedence_and_print_config(tmp_path, capsys, monkeypatch):
    for name in ("CORVANE_PORT", "CORVANE_WORKERS", "CORVANE_CONFIG", "CORVANE_API_TOKEN", "CORVANE_LLM_KEY",
                 "CORVANE_HOST", "CORVANE_ALLOWED_HOSTS", "CORVANE_KEYS_FILE"):
        monkeypatch.delenv(name, raising=False)
    config = tmp_path / "corvane.toml"
    config.write_text('port = 7000\nworkers = 3\nhost = "0.0.0.0"\nllm_key = "k-secret"\n'
                      'allowed_hosts = ["a.example", "b.example"]\nkeys_file = "keys.json"\n', encoding="utf-8")
    config.chmod(0o600)
    monkeypatch.setenv("CORVANE_PORT", "7100")
    monkeypatch.setenv("CORVANE_API_TOKEN", "t-secret")
    code, out, err = run(capsys, "serve", "--config", config, "--print-config", "--host", "127.0.0.2")
    assert (code, err) == (0, "")
    rows = {line.split("=")[0].strip(): line for line in out.splitlines()}
    assert "= 127.0.0.2   # flag (--host)" in rows["host"]  # flag over file
    assert "= 7100   # env (CORVANE_PORT)" in rows["port"]  # environment over file
    assert "= 3   # file (" in rows["workers"] and "line 2" in rows["workers"]
    assert "# default" in rows["max_body_bytes"]
    assert f"= {tmp_path / 'keys.json'}   # file" in rows["keys_file"]  # relative to the file's folder
    assert "secret" not in out and out.count("********") == 2

    # What the service gets: flags' values on the namespace, the file's env settings in the environment.
    from corvane.cli import serve as serve_cli

    seen = {}
    environ: dict = {}
    parser = serve_parser()
    args = parser.parse_args(["--config", str(config), "--workers", "1"])
    args.command, args.cli_argv = "serve", ["serve", "--config", str(config), "--workers", "1"]
    entries, resolved, _ = serve_cli.resolve(parser, args, environ={})
    serve_cli.apply(resolved, entries, args, environ)
    seen.update(vars(args))
    assert (seen["port"], seen["workers"], seen["host"]) == (7000, 1, "0.0.0.0")
    assert seen["allowed_hosts"] == ["a.example", "b.example"]
    assert environ == {"CORVANE_LLM_KEY": "k-secret", "CORVANE_KEYS_FILE": str(tmp_path / "keys.json")}
    # parsed elsewhere (no words of the command line): a value unlike the default is a given flag
    del args.cli_argv
    args.port = 9000
    assert serve_cli.resolve(parser, args, environ={"CORVANE_PORT": "1"})[1]["port"].value == 9000


@pytest.mark.parametrize("text, env, expected", [
    ("prot = 1\n", {}, r"corvane serve: error: .*corvane\.toml line 1: unknown setting 'prot' \(did you mean 'port'\?\)"),
    ("port = \"x\"\n", {}, r"corvane\.toml line 1: .*port"),
    ("port = [\n", {}, r"corvane\.toml: not valid TOML"),
    ("", {"CORVANE_WORKERS": "many"}, r"CORVANE_WORKERS: "),
])
def test_serve_config_errors_name_file_line_or_variable(tmp_path, capsys, monkeypatch, text, env, expected):
    import re

    monkeypatch.delenv("CORVANE_WORKERS", raising=False)
    for k, v in env.items():
        monkeypatch.setenv(k, v)
    config = tmp_path / "corvane.toml"
    config.write_text(text, encoding="utf-8")
    code, out, err = run(capsys, "serve", "--config", config, "--print-config")
    assert (code, out) == (2, "") and err.count("\n") == 1 and re.search(expected, err), err


# --- index and the catalog ----------------------------------------------------------------


def test_index_refuses_a_bad_catalog_and_keeps_the_index(indexed, tmp_path, capsys):
    data = tmp_path / "data"
    shutil.copytree(indexed, data)
    before = (data / "scene_index.jsonl").read_bytes()
    (data / "catalog.json").write_text('{"nordvik_x5": {"vehicle": "X5", "model_years": ["2025"]}}', encoding="utf-8")
    code, out, err = run(capsys, "index", "--data-dir", data)
    assert code == 2 and out == ""
    assert err == (f"corvane index: error: {data / 'catalog.json'}: 'nordvik_x5': field 'model_years'[0] must be a "
                   f"year (an integer such as 2025), not '2025'; the previous index was kept\n")
    assert (data / "scene_index.jsonl").read_bytes() == before


def test_index_warns_of_catalog_gaps_and_counts_manual_warnings(tmp_path, capsys):
    pytest.importorskip("corvane.ostrel")
    data = two_vehicles(tmp_path)
    catalog = json.loads((data / "catalog.json").read_text(encoding="utf-8"))
    catalog["gone"] = catalog.pop("nordvik_x5")
    (data / "catalog.json").write_text(json.dumps(catalog, ensure_ascii=False), encoding="utf-8")
    code, out, err = run(capsys, "index", "--data-dir", data)
    assert code == 0 and out.count("Processed: ") == 3
    lines = err.splitlines()
    assert lines[:2] == ["corvane index: warning: catalog.json: 'gone': no manual gone.md in manuals/",
                         "corvane index: warning: catalog.json: manual 'nordvik_x5' has no entry (it matches no "
                         "vehicle filter)"]
    from corvane.checking import count_warnings

    n = count_warnings(data)
    assert n > 0 and lines[2:] == [f"corvane index: note: {n} warnings about the manuals (what may not come out as "
                                   f"written); `corvane check --data-dir {data}` lists them"]


# --- ask and eval -------------------------------------------------------------------------


def ask_json(capsys, data, *argv):
    code, out, err = run(capsys, "ask", "--json", "--data-dir", data, *argv)
    assert code == 0, err
    return json.loads(out)


def test_ask_vehicle_and_manual_filters(indexed, capsys):
    question = "爆胎了怎么换备胎"
    everything = {s["manual_id"] for s in ask_json(capsys, indexed, question)["scenes"]}
    assert {"aster_e5_care", "nordvik_x5"} <= everything
    for option, value, manuals in (("--vehicle", "X5", {"nordvik_x5"}), ("--vehicle", "aster e5", None),
                                   ("--manual", "nordvik_x5.md", {"nordvik_x5"})):
        got = ask_json(capsys, indexed, option, value, question)
        assert got["scenes"] and got["refused"] is False
        shown = {s["manual_id"] for s in got["scenes"]}
        assert shown == manuals if manuals else "nordvik_x5" not in shown
    code, out, err = run(capsys, "ask", "--data-dir", indexed, "--vehicle", "Z9", question)
    assert (code, out) == (2, "") and err == ("corvane ask: error: --vehicle: unknown vehicle 'Z9' "
                                              "(known: Aster E5, Nordvik X5)\n")


def test_ask_plan_keeps_the_specified_prompt_and_applies_styles(indexed, tmp_path, capsys):
    question = "爆胎了怎么换备胎"
    plain = run(capsys, "ask", "--data-dir", indexed, question)[1]
    # the planned path with the default style gives the very prompt of the engine's one pass
    assert run(capsys, "ask", "--data-dir", indexed, "--knowledge-format", "text", question)[1] == plain
    as_json = ask_json(capsys, indexed, "--knowledge-format", "json", question)["prompt"]
    assert as_json != json.loads(plain.split("\n", 1)[1]) and '"' in as_json
    style = tmp_path / "style.json"
    style.write_text(json.dumps({"brand": "Nordvik", "tone": "简洁"}, ensure_ascii=False), encoding="utf-8")
    styled = ask_json(capsys, indexed, "--style", style, question)["prompt"]
    assert "Nordvik汽车助手" in styled and "Brevane" not in styled
    style.write_text('{"brand": 3}', encoding="utf-8")
    code, _, err = run(capsys, "ask", "--data-dir", indexed, "--style", style, question)
    assert code == 2 and err.startswith(f"corvane ask: error: --style: {style}") and err.count("\n") == 1
    code, _, err = run(capsys, "ask", "--data-dir", indexed, "--style", style, "--prompt-file", style, question)
    assert code == 2 and "does not go with --style" in err


def test_refused_question_makes_no_model_call(indexed, capsys):
    from corvane.answers import AnswerStyle

    # nothing listens on port 9: a model call would end in an error (exit 2)
    for extra in ([], ["--vehicle", "X5"]):
        code, out, err = run(capsys, "ask", "--data-dir", indexed, "--answer", "--url", "http://127.0.0.1:9/v1",
                             "--json", *extra, "今天天气怎么样")
        assert (code, err) == (0, ""), err
        got = json.loads(out)
        assert got["refused"] is True and got["sources"] == [] and got["answer"] == AnswerStyle().fallback_text
    code, out, _ = run(capsys, "ask", "--data-dir", indexed, "--answer", "--url", "http://127.0.0.1:9/v1", "今天天气怎么样")
    assert code == 0 and out.startswith(AnswerStyle().fallback_text + "\n\nSources: none")


def test_ask_history_resolves_a_follow_up(indexed, tmp_path, capsys):
    history = tmp_path / "history.json"
    history.write_text(json.dumps([{"question": "爆胎了怎么换备胎", "answer": "先打开危险警告灯。"}],
                                  ensure_ascii=False), encoding="utf-8")
    alone = ask_json(capsys, indexed, "--manual", "aster_e5_care", "那要注意什么")
    followed = ask_json(capsys, indexed, "--manual", "aster_e5_care", "--history", history, "那要注意什么")
    assert "retrieval_query" in followed and "爆胎" in followed["retrieval_query"]
    assert followed["scenes"] and followed["scenes"] != alone["scenes"]
    assert followed["scenes"][0]["title"] == "更换轮胎"
    for text, expected in (("[1", "line 1: not valid JSON"), ('[{"q": 1}]', "history[0].question: must be a string")):
        history.write_text(text, encoding="utf-8")
        code, _, err = run(capsys, "ask", "--data-dir", indexed, "--history", history, "那要注意什么")
        assert code == 2 and f"history file {history}" in err and expected in err, err


def test_eval_honours_a_question_vehicle(indexed, tmp_path, capsys):
    questions = tmp_path / "q.jsonl"
    rows = [{"q": "X5 爆胎了怎么换备胎", "expect": [{"manual": "nordvik_x5.md", "title": "更换轮胎"}], "vehicle": "X5"},
            {"q": "爆胎了怎么换备胎", "expect": [{"manual": "aster_e5_care.md", "title": "更换轮胎"}],
             "vehicle": "Aster E5"}]
    questions.write_text("".join(json.dumps(r, ensure_ascii=False) + "\n" for r in rows), encoding="utf-8")
    code, out, err = run(capsys, "eval", questions, "--data-dir", indexed, "--json", "--top-k", "1")
    assert code == 0, err
    assert json.loads(out)["rankers"]["exact"]["misses"] == []
    questions.write_text('{"q": "x", "vehicle": "Z9"}\n', encoding="utf-8")
    code, _, err = run(capsys, "eval", questions, "--data-dir", indexed)
    assert code == 2 and err.startswith(f"corvane eval: error: {questions}, line 1: unknown vehicle 'Z9'")


def test_serve_runs_with_the_file_settings(indexed, tmp_path):
    """The real server: the data folder and the token come from the file (the token reaches the
    service as its variable), the port from the flag."""
    pytest.importorskip("uvicorn")
    import sys

    import httpx

    sys.path.insert(0, str(Path(__file__).parent))
    from service_support import ServerProcess

    config = tmp_path / "corvane.toml"
    config.write_text(f'data_dir = "{indexed.name}"\napi_token = "file-token"\nport = 1\n', encoding="utf-8")
    config.chmod(0o600)
    shutil.copytree(indexed, tmp_path / indexed.name)
    with ServerProcess(tmp_path, "--config", str(config)) as server:
        assert httpx.get(server.url + "/healthz", timeout=5).json()["entries"] > 0
        body = {"question": "爆胎了怎么换备胎"}
        assert httpx.post(server.url + "/v1/search", json=body, timeout=5).status_code == 401
        ok = httpx.post(server.url + "/v1/search", json=body, timeout=5,
                        headers={"Authorization": "Bearer file-token"})
        assert ok.status_code == 200 and ok.json()["results"]


def test_a_command_builds_its_own_parser_alone():
    """A run builds only its command's parser (the others' modules stay unimported); the name
    table must list exactly the commands each module adds, or a run would miss its parser."""
    import subprocess
    import sys

    from corvane.cli import COMMANDS, _named_command

    def choices(parser):
        return set(next(a for a in parser._actions if isinstance(a, argparse._SubParsersAction)).choices)

    assert choices(build_parser()) == {n for _, names in COMMANDS for n in names}
    for module, names in COMMANDS:
        for name in names:
            assert choices(build_parser(name)) == set(names)
    assert _named_command(["--debug", "ask", "x"]) == "ask"
    assert _named_command(["nosuch"]) is None and _named_command(["--", "ask"]) is None
    code = ("import sys; from corvane.cli import main; main(['ask', '--help'])")
    probe = (f"import sys, runpy\ntry:\n    {code}\nexcept SystemExit:\n    pass\n"
             "print(sorted(m for m in sys.modules if m.startswith('corvane.cli.')))")
    out = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, check=True).stdout
    assert "corvane.cli.serve" not in out and "corvane.cli.ask" in out
