"""Bad input with nothing lost: inputs that other test files do not already
cover (the README's Reliability table lists both), and the access key kept
out of every error, repr and printed line."""
from __future__ import annotations

import asyncio
import json
import os
import subprocess
import sys
import traceback
from pathlib import Path

import pytest
from werkzeug import Response

from corvane import farrowin, ostrel, plaxon, vendry
from subproc import run_cli, run_python, without_root_powers
from vendry_fakes import install

SANITIZED = bool(os.environ.get("CORVANE_SANITIZED"))
MAX_LINE = 256 << 20


def index_and_load(workdir: Path, manuals: dict[str, bytes | str]) -> list:
    folder = workdir / "data" / "manuals"
    folder.mkdir(parents=True, exist_ok=True)
    for name, content in manuals.items():
        (folder / name).write_bytes(content.encode("utf-8") if isinstance(content, str) else content)
    ostrel.ostrel_main()
    return farrowin.load_scene_index("data/scene_index.jsonl")


# --- manuals -----------------------------------------------------------------

SPACES = "".join(chr(c) for c in range(0x110000) if chr(c).isspace())


@pytest.mark.parametrize("text", [
    "# 标\x00题\n## 更换\x00轮胎\n### 操作步骤\n1. 拧\x00紧：a\x00；b\n\x00\n",
    f"# A{SPACES}B\n##{SPACES}更换{SPACES}轮胎{SPACES}\n### 操作步骤\n1.{SPACES}拧紧{SPACES}螺栓\n- 提示{SPACES}\n",
], ids=["nul-bytes", "every-unicode-space"])
def test_odd_characters_go_through_the_index_unchanged(workdir, capsys, text):
    entries = index_and_load(workdir, {"m.md": text})
    tree = plaxon.markdown_to_tree(text)
    assert [e["scene_data"] for e in entries] == tree["children"]
    assert json.loads((workdir / "data" / "trees" / "m.json").read_text("utf-8")) == tree


def test_fifty_megabyte_line(workdir, capsys):
    line = "轮胎说明" * (50 * (1 << 20) // 12)
    entries = index_and_load(workdir, {"big.md": f"# 手册\n## 更换轮胎\n{line}\n## 后记\n完\n"})
    assert [e["scene_title"] for e in entries] == ["更换轮胎", "后记"]
    assert entries[0]["scene_data"]["description"] == line


def test_two_hundred_thousand_headings(workdir, capsys):
    n = 200_000
    text = "".join(f"## 场景{i}\n内容{i}\n" for i in range(n))
    entries = index_and_load(workdir, {"many.md": text})
    assert len(entries) == n
    assert entries[-1]["scene_id"] == f"many_scene_{n}" and entries[-1]["scene_title"] == f"场景{n - 1}"
    assert capsys.readouterr().out == f"Processed: many, scenes={n}\n"


# --- alias file ----------------------------------------------------------------

def test_empty_alias_file_prints_one_line_and_leaves_the_map_empty(tmp_path):
    (tmp_path / "data").mkdir()
    (tmp_path / "data" / "manual_alias.json").write_bytes(b"")
    out = run_python("from corvane import morlek; print(morlek.MANUAL_ALIAS_MAP)", tmp_path).stdout.splitlines()
    assert out == ["加载手工别名文件失败: Expecting value: line 1 column 1 (char 0)", "{}"]


# --- scene index -----------------------------------------------------------------

@pytest.mark.parametrize("entry, error", [
    ({"scene_title": 15, "keywords": ["轮胎"]}, "must be str, not int"),
    ({"scene_title": "轮胎", "keywords": 7}, "not iterable"),
    ({"scene_title": "轮胎", "keywords": ["轮胎", None]}, "must be str, not NoneType"),
    ({"scene_title": "轮胎", "aliases": [3]}, "must be str, not int"),
], ids=["title-int", "keywords-int", "keyword-none", "alias-int"])
def test_wrong_member_types_fail_the_search_clearly(tmp_path, entry, error):
    path = tmp_path / "index.jsonl"
    path.write_text(json.dumps(entry) + "\n", "utf-8")
    index = farrowin.load_scene_index(str(path))  # loading takes any JSON value
    assert index == [entry]
    with pytest.raises(TypeError, match=error):
        farrowin.search_knowledge_global("轮胎在哪", index)
    assert index == [entry]


def test_over_long_index_line_is_refused_before_it_is_read(tmp_path):
    path = tmp_path / "index.jsonl"
    path.write_bytes(b'{"scene_title": "a"}\r\n{"scene_title": "b"}\n')
    with open(path, "r+b") as f:  # a sparse file: 1 GiB that takes no disk space
        f.truncate(1 << 30)
    with pytest.raises(ValueError, match=rf"index\.jsonl, line 3: line longer than {MAX_LINE} bytes"):
        farrowin.load_scene_index(str(path))


def test_longest_allowed_line_is_measured_exactly(tmp_path):
    # Line 2 is exactly at the limit (terminators not counted), line 3 one byte over.
    path = tmp_path / "index.jsonl"
    with open(path, "wb") as f:
        f.write(b"1\n")
        f.seek(2 + MAX_LINE)
        f.write(b"\r\n" + b" " * (MAX_LINE + 1))
    with pytest.raises(ValueError, match=r"line 3: line longer"):
        farrowin.load_scene_index(str(path))


def test_unreadable_index_file_names_the_file(tmp_path):
    with pytest.raises(IsADirectoryError) as info:
        farrowin.load_scene_index(str(tmp_path))
    assert info.value.filename == str(tmp_path)


# --- prompt file -------------------------------------------------------------------

ANSWER = {"answer": "答", "reason": "因"}
REWRITE = [ANSWER, {"is_ok": False, "reason": "r"}, {"is_ok": True, "new_prompt": "新 __INPUT__"}, ANSWER, {"is_ok": True}]

READ_ONLY = """
import asyncio, os, sys
sys.path.insert(0, sys.argv[1])
from corvane import vendry
from vendry_fakes import ScriptedModel
vendry.llm_response = ScriptedModel(%r)
try:
    asyncio.run(vendry.generate_ai_prompt("prompt.md", "q", "k"))
except PermissionError as e:
    print("PermissionError", e.filename)
"""


def test_read_only_prompt_file_is_not_replaced(tmp_path):
    """A prompt file without write permission is refused, as opening it for writing is."""
    prompt = tmp_path / "prompt.md"
    prompt.write_text("旧 __INPUT__", "utf-8")
    prompt.chmod(0o444)
    command = without_root_powers([sys.executable, "-c", READ_ONLY % (REWRITE,), str(Path(__file__).parent)])
    proc = subprocess.run(command, cwd=tmp_path, capture_output=True, text=True)
    assert "PermissionError prompt.md" in proc.stdout, proc.stdout + proc.stderr
    assert prompt.read_text("utf-8") == "旧 __INPUT__"
    assert os.listdir(tmp_path) == ["prompt.md"]


# --- the access key ----------------------------------------------------------------

KEY = "sk-SENTINEL-reliab-5c1e"
PATH = "/v1/chat/completions"


def echoing_server(httpserver, status, content_of):
    """Answers with the request's Authorization header inside the reply."""
    def handler(request):
        auth = request.headers.get("Authorization", "")
        body = content_of(auth)
        return Response(body, status=status, content_type="application/json")
    httpserver.expect_request(PATH).respond_with_handler(handler)


def chat(content):
    return json.dumps({"choices": [{"message": {"role": "assistant", "content": content}}]})


@pytest.mark.parametrize("status, content_of", [
    (500, lambda auth: f"internal error for {auth}"),
    (200, lambda auth: f"<html>{auth}</html>"),
    (200, lambda auth: chat(f"no json here, {auth}")),
    (200, lambda auth: chat(json.dumps({"answer": "a"}))),   # the loop would miss "reason"
], ids=["http-500", "not-json", "no-object", "missing-keys"])
def test_key_never_printed_by_the_self_check_command(httpserver, tmp_path, status, content_of):
    echoing_server(httpserver, status, content_of)
    (tmp_path / "prompt.md").write_text("P __INPUT__ __KNOWLEDGE__", "utf-8")
    (tmp_path / "k.txt").write_text("知识", "utf-8")
    env_script = (f"import os, sys; os.environ['CORVANE_LLM_KEY'] = {KEY!r}\n"
                  "from corvane.__main__ import main\n"
                  f"sys.exit(main(['self-check', 'prompt.md', 'q', '--knowledge-file', 'k.txt', "
                  f"'--url', {httpserver.url_for(PATH)!r}]))")
    for proc in (
        run_cli(["self-check", "prompt.md", "q", "--knowledge-file", "k.txt", "--url", httpserver.url_for(PATH),
                 "--key", KEY], tmp_path, check=False),
        run_python(env_script, tmp_path, check=False),
    ):
        assert proc.returncode == 2
        assert KEY not in proc.stdout and KEY not in proc.stderr
        assert "Traceback" not in proc.stderr and proc.stderr.count("corvane self-check: error:") == 1
    assert (tmp_path / "prompt.md").read_text("utf-8") == "P __INPUT__ __KNOWLEDGE__"


def test_key_kept_out_of_self_check_failures(workdir, monkeypatch, capsys):
    (workdir / "prompt.md").write_text("P", "utf-8")
    coro = vendry.generate_ai_prompt("prompt.md", "q", "k", "", "http://127.0.0.1:9/x", KEY)
    assert KEY not in repr(coro)
    texts = []
    for replies in ([], [{"answer": "a"}]):  # a refused connection; a reply without "reason"
        install(monkeypatch, vendry, replies)
        if not replies:
            import harlune
            monkeypatch.setattr(vendry, "llm_response", harlune.llm_response)
        with pytest.raises(Exception) as info:
            asyncio.run(vendry.generate_ai_prompt("prompt.md", "q", "k", "", "http://127.0.0.1:9/x", KEY))
        texts.append("".join(traceback.format_exception(info.type, info.value, info.tb)))
    coro.close()
    assert KEY not in texts[0]
    assert "KeyError: 'reason'" in texts[1] and KEY not in texts[1]
    out = capsys.readouterr()
    assert KEY not in out.out and KEY not in out.err
