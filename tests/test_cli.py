"""The `corvane` command, run as users run it: `python -m corvane ...` in a fresh interpreter.

One table: each row is a command line, the files it runs over, the exit code, a pattern for
stderr and the files that must come out byte for byte as they went in.  Every failing row
must end in exactly one stderr line (no traceback) unless it asks for the traceback.
"""
from __future__ import annotations

import json
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable

import pytest
from werkzeug import Response

EXAMPLES = Path(__file__).parent.parent / "examples" / "data"
README = Path(__file__).parent.parent / "README.md"
PATH = "/v1/chat/completions"
KEY = "sk-SENTINEL-table-77"
QUESTION = "爆胎了怎么换备胎"
PROMPT = "问：__INPUT__\n知：__KNOWLEDGE__"
TEMPLATE = "时：__TIME__\n问：__INPUT__\n知：__KNOWLEDGE__\n再问：__INPUT__"
ANSWER_TEXT = "先打开危险警告灯，\n再取出备胎和千斤顶。"
ASK_MODEL = ["ask", "--answer", "--url", "{url}"]
SOURCES = [("aster_e5_care", "更换轮胎")]
NO_ALIASES = "加载手工别名文件失败: [Errno 2] No such file or directory: 'data/manual_alias.json'"
FALLBACK = "您好，我是Brevane汽车助手。很抱歉，用户手册中没有找到与您的问题相关的内容，为避免给您错误的指引，建议您联系Brevane官方客服或前往Brevane授权服务中心咨询。"
INDEX_NOTE = r"corvane index: note: \d+ warnings? about the manuals \(what may not come out as written\); `corvane check[^`]*` lists them\n"
GOOD_MANUAL = "## 更换轮胎\n### 操作步骤\n1. 松开螺栓\n2. 顶起车辆\n"  # nothing `corvane check` reports


def cli(args, cwd, *, stdin=None, env=None, stdout=subprocess.PIPE, timeout=120) -> subprocess.CompletedProcess:
    full_env = {k: v for k, v in os.environ.items() if k not in ("CORVANE_DEBUG", "CORVANE_LLM_KEY", "CORVANE_LLM_URL",
                                                                  "HARLUNE_TIMEOUT", "HARLUNE_MODEL")}
    full_env.update(PYTHONIOENCODING="utf-8", **(env or {}))
    return subprocess.run([sys.executable, "-m", "corvane", *args], cwd=cwd, input=stdin, stdout=stdout,
                          stderr=subprocess.PIPE, env=full_env, timeout=timeout)


@pytest.fixture(scope="session")
def indexed_examples(tmp_path_factory) -> Path:
    """The bundled examples with their index, built once by the command itself."""
    home = tmp_path_factory.mktemp("examples")
    shutil.copytree(EXAMPLES / "manuals", home / "data" / "manuals")
    shutil.copy(EXAMPLES / "manual_alias.json", home / "data" / "manual_alias.json")
    proc = cli(["index"], home)
    assert proc.returncode == 0, proc.stderr.decode()
    assert proc.stdout.decode().count("Processed: ") == 2
    assert re.fullmatch(INDEX_NOTE, proc.stderr.decode()), proc.stderr  # the examples hold what `check` reports
    return home / "data"


# --- set-ups: each takes the working folder and the prepared example data folder -------------

def write(path: Path, content) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    if isinstance(content, str):
        content = content.encode()
    path.write_bytes(content)


def examples(folder="data"):
    def setup(tmp, built):
        shutil.copytree(built, tmp / folder)
    return setup


def steps(*fns):
    def setup(tmp, built):
        for fn in fns:
            fn(tmp, built)
    return setup


def files(content: dict):
    def setup(tmp, built):
        for name, text in content.items():
            write(tmp / name, text)
    return setup


def old_data(tmp, built):
    """A data folder with an index and a tree file of an earlier run."""
    write(tmp / "data/scene_index.jsonl", '{"old": "索引"}\n')
    write(tmp / "data/trees/old.json", '{"old": "树"}')


def self_check_files(tmp, built):
    write(tmp / "prompt.md", PROMPT)
    write(tmp / "k.txt", "知识正文")


def nothing(tmp, built):
    pass


OLD = ("data/scene_index.jsonl", "data/trees/old.json", "data/trees")
SC = ["self-check", "prompt.md", QUESTION, "--knowledge-file", "k.txt", "--url", "{url}"]
ANSWER = {"answer": "答", "reason": "因"}
ACCEPT = {"is_ok": True, "reason": ""}
REJECT = {"is_ok": False, "reason": "补充依据"}
CHECKED = {"is_ok": True, "new_suggestions": "", "new_prompt": "新：__INPUT__"}


# --- output checks --------------------------------------------------------------------------

def json_answer(out: str, tmp: Path) -> None:
    doc = json.loads(out)
    assert out.count("\n") == 1 and doc["question"] == QUESTION and doc["intent"] == "how_to"
    assert doc["scenes"][0] == {"scene_id": "aster_e5_care_scene_1", "manual_id": "aster_e5_care",
                                "title": "更换轮胎", "score": doc["scenes"][0]["score"]}
    assert [s["score"] for s in doc["scenes"]] == sorted((s["score"] for s in doc["scenes"]), reverse=True)
    assert doc["prompt"].startswith(f"\n            你是Brevane汽车助手。擅于回答<{QUESTION}>")


def same_as_query_demo(question: str):
    """Plain `ask` prints what the query module's demo prints (the answer prompt as one JSON string)."""
    def check(out: str, tmp: Path) -> None:
        code = ("import json; from corvane import delmoor; "
                f"print('=== SEARCH RESULT ==='); print(json.dumps(delmoor.answer_query({question!r}), "
                "ensure_ascii=False, indent=2))")
        ref = subprocess.run([sys.executable, "-c", code], cwd=tmp, capture_output=True, check=True,
                             env=dict(os.environ, PYTHONIOENCODING="utf-8"))
        assert out == ref.stdout.decode()
    return check


def knowledge_of_prompt(out: str, tmp: Path) -> None:
    """--knowledge-only prints exactly the knowledge section of the answer prompt."""
    assert out.endswith("}\n") and out.count("\n") == 1
    prompt = json.loads(cli(["ask", "--json", QUESTION], tmp).stdout)["prompt"]
    assert f"知识：\n            {out[:-1]}\n            " in prompt
    assert out.startswith(f"{{'query': '{QUESTION}', 'intent': 'how_to', 'results': [{{'node_id': ")


def lines(*expected):
    def check(out: str, tmp: Path) -> None:
        assert out.splitlines() == list(expected)
    return check


def contains(*parts):
    def check(out: str, tmp: Path) -> None:
        for p in parts:
            assert p in out
    return check


def prompt_is(text):
    def check(out: str, tmp: Path) -> None:
        assert (tmp / "prompt.md").read_text("utf-8") == text
    return check


def ask_json(tmp: Path, question: str = QUESTION) -> dict:
    proc = cli(["ask", "--json", question], tmp)
    assert proc.returncode == 0, proc.stderr.decode()
    return json.loads(proc.stdout)


def template_filled(text_of, question: str = QUESTION):
    """`text_of(out, tmp)` is TEMPLATE filled as the self-check loop fills it."""
    def check(out: str, tmp: Path) -> None:
        knowledge = cli(["ask", "--knowledge-only", question], tmp).stdout.decode()[:-1]
        expected = (re.escape(TEMPLATE).replace("__INPUT__", re.escape(question))
                    .replace("__TIME__", r"\d{8}:\d{6}").replace("__KNOWLEDGE__", re.escape(knowledge)))
        assert re.fullmatch(expected, text_of(out, tmp)), text_of(out, tmp)
    return check


def streamed_answer(text: str, sources: list):
    """The answer as the model sent it, a blank line, then the sources."""
    def check(out: str, tmp: Path) -> None:
        tail = "Sources:\n" + "".join(f"- {m}: {t}\n" for m, t in sources) if sources else \
            "Sources: none (no scene of the index matched the question)\n"
        assert out == text + ("" if text.endswith("\n") or not text else "\n") + "\n" + tail
    return check


def answer_object(out: str, tmp: Path) -> None:
    doc = json.loads(out)
    assert out.count("\n") == 1 and doc["answer"] == ANSWER_TEXT
    plain = ask_json(tmp)
    assert doc == {"question": QUESTION, "intent": "how_to", "answer": ANSWER_TEXT, "sources": plain["scenes"],
                   "ranker": "exact"}


def sent_prompt(stream: bool, expected=None):
    """The model got one request, streamed or not, holding the answer prompt (or `expected(prompt, tmp)`)."""
    def check(bodies: list, tmp: Path) -> None:
        assert len(bodies) == 1 and bool(bodies[0].get("stream")) is stream
        prompt = bodies[0]["messages"][0]["content"]
        if expected is None:
            assert prompt == ask_json(tmp)["prompt"]
        else:
            expected(prompt, tmp)
    return check


def has_file(rel, then=None):
    def check(out: str, tmp: Path) -> None:
        assert (tmp / rel).is_file()
        if then is not None:
            then(out, tmp)
    return check


def stale_index(tmp, built):
    """The example data folder whose scene index changed (first line only) after its compiled file was written."""
    shutil.copytree(built, tmp / "data")
    index = tmp / "data/scene_index.jsonl"
    index.write_bytes(index.read_bytes().split(b"\n")[0] + b"\n")


def without_compiled(folder="data"):
    def setup(tmp, built):
        shutil.copytree(built, tmp / folder)
        (tmp / folder / "scene_index.cvx").unlink()
    return setup


# --- the table ------------------------------------------------------------------------------

@dataclass
class Case:
    id: str
    args: list
    setup: Callable = nothing
    code: int = 0
    stderr: str = r"\A\Z"            # re.search over the whole stderr
    unchanged: tuple = ()            # paths (files or folders, present or absent) left as they were
    stdin: bytes | None = None
    stdout: Callable | None = None   # extra check of stdout (and the folder)
    replies: list = field(default_factory=list)  # the model's replies (dict) or HTTP statuses (int)
    env: dict = field(default_factory=dict)
    closed_stdout: bool = False
    traceback: bool = False
    sent: Callable | None = None     # check of the request bodies the model got


CASES = [
    # top level
    Case("version", ["--version"], stdout=lines("corvane 0.1.0")),
    Case("no-command", [], code=2, stderr=r"^corvane: error: the following arguments are required: COMMAND"),
    Case("unknown-option", ["ask", "--bogus"], examples(), code=2,
         stderr=r"^corvane ask: error: unrecognized arguments: --bogus"),
    Case("bad-option-value", ["ask", "--max-question-chars", "many"], examples(), code=2,
         stderr=r"^corvane ask: error: argument --max-question-chars: invalid int value: 'many'"),

    # ask
    Case("ask-plain", ["ask", QUESTION], examples(), stdout=same_as_query_demo(QUESTION)),
    Case("ask-sample-question", ["ask"], examples(), stdout=same_as_query_demo("三包责任承诺")),
    Case("ask-json-from-stdin", ["ask", "--json", "-"], examples(), stdin=f"{QUESTION}\n".encode(),
         stdout=json_answer),
    Case("ask-knowledge-from-file", ["ask", "--knowledge-only", "--question-file", "q.txt"],
         steps(examples(), files({"q.txt": QUESTION + "\r\n"})), stdout=knowledge_of_prompt),
    Case("ask-other-data-dir", ["ask", "--json", "--data-dir", "elsewhere/mine", QUESTION],
         examples("elsewhere/mine"), stdout=json_answer, unchanged=("elsewhere",)),
    Case("ask-no-index", ["ask", QUESTION], files({"data/manuals/a.md": GOOD_MANUAL}), code=2,
         stderr=r"^corvane ask: error: no scene index at data/scene_index\.jsonl; run `corvane index` first\n\Z"),
    Case("ask-no-index-other-dir", ["ask", "--data-dir", "x/mine", QUESTION], files({"x/mine/manual_alias.json": "{}"}),
         code=2, stderr=r"^corvane ask: error: no scene index at x/mine/scene_index\.jsonl; run `corvane index`"),
    Case("ask-no-data-folder", ["ask", QUESTION], code=2,
         stderr=r"^corvane ask: error: no data folder at data; pass --data-dir DIR"),
    Case("ask-data-dir-missing", ["ask", "--data-dir", "nowhere", QUESTION], code=2,
         stderr=r"^corvane ask: error: no data folder at nowhere; check --data-dir"),
    Case("ask-corrupt-index", ["ask", QUESTION],
         files({"data/scene_index.jsonl": '{"scene_id": "a", "scene_title": "甲"}\n{"scene_id": \n',
                "data/manual_alias.json": "{}"}), code=2,
         stderr=r"^corvane ask: error: corrupt scene index data/scene_index\.jsonl, line 2: .*corvane index",
         unchanged=("data",)),
    Case("ask-index-entry-lacks-title", ["ask", "--data-dir", "d", QUESTION],
         files({"d/scene_index.jsonl": '{"scene_id": "a", "scene_title": "甲"}\n{"scene_id": "b"}\n',
                "d/manual_alias.json": "{}"}), code=2, unchanged=("d",),
         stderr=r'^corvane ask: error: corrupt scene index d/scene_index\.jsonl, line 2: the entry has no "scene_title"; '
                r"run `corvane index` to rebuild it\n\Z"),
    Case("ask-index-not-utf8", ["ask", "--data-dir", "d/data", QUESTION],
         files({"d/data/scene_index.jsonl": b'{"a": "\xff"}\n', "d/data/manual_alias.json": "{}"}), code=2,
         stderr=r"^corvane ask: error: scene index d/data/scene_index\.jsonl is not UTF-8 \(byte 0xff at offset 7"),
    Case("ask-index-entry-lacks-key", ["ask", "换胎"],
         files({"data/scene_index.jsonl": '{"scene_title": "换胎", "aliases": [], "keywords": []}\n',
               "data/manual_alias.json": "{}"}), code=2,
         stderr=r"^corvane ask: error: scene index data/scene_index\.jsonl: an entry lacks 'scene_data'"),
    Case("ask-empty-question", ["ask", ""], examples(), code=2, stderr=r"^corvane ask: error: the question is empty\n\Z"),
    Case("ask-blank-question", ["ask", " \u3000\t"], examples(), code=2, stderr=r"error: the question is empty"),
    Case("ask-blank-stdin", ["ask", "-"], examples(), stdin=b"\n \n", code=2, stderr=r"error: the question is empty"),
    Case("ask-too-long", ["ask", "--max-question-chars", "5", "一二三四五六"], examples(), code=2,
         stderr=r"^corvane ask: error: the question has 6 characters, more than --max-question-chars \(5\)"),
    Case("ask-at-the-limit", ["ask", "--json", "--max-question-chars", str(len(QUESTION)), QUESTION], examples(),
         stdout=json_answer),
    Case("ask-default-limit", ["ask", "-"], examples(), stdin=("问" * 4001).encode(), code=2,
         stderr=r"the question has 4001 characters, more than --max-question-chars \(4000\)"),
    Case("ask-question-file-missing", ["ask", "--question-file", "nope.txt"], examples(), code=2,
         stderr=r"^corvane ask: error: cannot read question file nope\.txt: No such file"),
    Case("ask-question-file-not-utf8", ["ask", "--question-file", "q.txt"], steps(examples(), files({"q.txt": b"abc\xff"})),
         code=2, stderr=r"^corvane ask: error: question file q\.txt is not UTF-8 \(byte 0xff at offset 3"),
    Case("ask-question-twice", ["ask", "--question-file", "q.txt", "x"], steps(examples(), files({"q.txt": "q"})),
         code=2, stderr=r"error: give the question either as an argument or with --question-file, not both"),
    Case("ask-json-and-knowledge", ["ask", "--json", "--knowledge-only"], examples(), code=2,
         stderr=r"^corvane ask: error: argument --knowledge-only: not allowed with argument --json"),
    Case("ask-json-keeps-stdout-clean", ["ask", "--json", QUESTION], steps(examples(), files({"data/manual_alias.json": "[1]"})),
         stdout=json_answer,
         stderr=r"\A加载手工别名文件失败: .*\ncorvane ask: warning: alias file data/manual_alias\.json not used.*found list\n\Z"),
    Case("ask-closed-stdout", ["ask", QUESTION], examples(), code=141, closed_stdout=True),
    Case("ask-debug-traceback", ["ask", QUESTION], env={"CORVANE_DEBUG": "1"}, code=2, traceback=True,
         stderr=r"Traceback.*CliError.*\ncorvane ask: error: no data folder at data;"),
    Case("ask-debug-flag", ["--debug", "ask", ""], examples(), code=2, traceback=True,
         stderr=r"Traceback.*\ncorvane ask: error: the question is empty\n\Z"),

    # ask: the engine, its compiled file and the rankers
    Case("ask-ranker-exact", ["ask", "--ranker", "exact", QUESTION], examples(), stdout=same_as_query_demo(QUESTION)),
    Case("ask-ranker-unknown", ["ask", "--ranker", "fast", QUESTION], examples(), code=2,
         stderr=r"^corvane ask: error: argument --ranker: invalid choice: 'fast' \(choose from .*exact.*hybrid"),
    Case("ask-compiles-without-compiled-file", ["ask", QUESTION], without_compiled(),
         stderr=r"\Acorvane ask: note: data/scene_index\.cvx: [^\n]*\n\Z",
         stdout=has_file("data/scene_index.cvx", same_as_query_demo(QUESTION))),
    Case("ask-note-names-the-folder-as-given", ["ask", "--json", "--data-dir", "x/mine", QUESTION],
         without_compiled("x/mine"), stderr=r"\Acorvane ask: note: x/mine/scene_index\.cvx: [^\n]*\n\Z",
         stdout=json_answer),
    Case("ask-stale-compiled-file", ["ask", QUESTION], stale_index, stderr=r"\Acorvane ask: note: .*stale",
         stdout=same_as_query_demo(QUESTION)),
    Case("ask-compiled-file-unusable", ["ask", "--json", QUESTION],
         steps(without_compiled(), files({"data/scene_index.cvx/x": "not an index"})),
         stderr=r"\Acorvane ask: note: data/scene_index\.cvx: ", stdout=json_answer,
         unchanged=("data/scene_index.cvx",)),

    # ask: a prompt template
    Case("ask-prompt-file", ["ask", "--json", "--prompt-file", "t.md", QUESTION],
         steps(examples(), files({"t.md": TEMPLATE})), stdout=template_filled(lambda out, tmp: json.loads(out)["prompt"])),
    Case("ask-prompt-file-plain", ["ask", "--prompt-file", "t.md", QUESTION],
         steps(examples(), files({"t.md": TEMPLATE})),
         stdout=template_filled(lambda out, tmp: json.loads(out.removeprefix("=== SEARCH RESULT ===\n")))),
    Case("ask-prompt-file-missing", ["ask", "--prompt-file", "nope.md", QUESTION], examples(), code=2,
         stderr=r"^corvane ask: error: cannot read prompt file nope\.md: No such file or directory\n\Z"),
    Case("ask-prompt-file-not-utf8", ["ask", "--prompt-file", "t.md", QUESTION],
         steps(examples(), files({"t.md": b"__INPUT__\xe4"})), code=2,
         stderr=r"^corvane ask: error: prompt file t\.md is not UTF-8 \(byte 0xe4 at offset 9"),
    Case("ask-prompt-file-empty", ["ask", "--prompt-file", "t.md", QUESTION], steps(examples(), files({"t.md": "\n"})),
         code=2, stderr=r"^corvane ask: error: prompt file t\.md is empty\n\Z"),
    Case("ask-prompt-file-and-knowledge-only", ["ask", "--knowledge-only", "--prompt-file", "t.md"], examples(),
         code=2, stderr=r"^corvane ask: error: --knowledge-only prints the knowledge only; it does not go with "
                        r"--prompt-file\n\Z"),

    # ask --answer: the model on loopback
    Case("ask-answer-streamed", ASK_MODEL + [QUESTION], examples(), replies=[ANSWER_TEXT],
         stdout=streamed_answer(ANSWER_TEXT, SOURCES), sent=sent_prompt(stream=True)),
    Case("ask-answer-url-from-env", ["ask", "--answer", QUESTION], examples(), replies=["答"],
         env={"CORVANE_LLM_URL": "{url}"}, stdout=streamed_answer("答", SOURCES), sent=sent_prompt(stream=True)),
    Case("ask-answer-from-a-plain-reply", ASK_MODEL + [QUESTION], examples(), replies=[{"plain": ANSWER_TEXT}],
         stdout=streamed_answer(ANSWER_TEXT, SOURCES)),
    Case("ask-answer-json", ASK_MODEL + ["--json", QUESTION], examples(), replies=[ANSWER_TEXT],
         stdout=answer_object, sent=sent_prompt(stream=False)),
    Case("ask-answer-with-prompt-file", ASK_MODEL + ["--prompt-file", "t.md", QUESTION],
         steps(examples(), files({"t.md": TEMPLATE})), replies=["答"], stdout=streamed_answer("答", SOURCES),
         sent=sent_prompt(True, template_filled(lambda prompt, tmp: prompt))),
    # no scene matched: the fallback text, and the model is not asked
    Case("ask-answer-no-scene", ASK_MODEL + ["qqqq"], examples(), replies=[],
         stdout=streamed_answer(FALLBACK, []), sent=lambda bodies, tmp: None if bodies == [] else pytest.fail(f"a model call was made: {bodies}")),
    Case("ask-answer-empty", ASK_MODEL + [QUESTION], examples(), replies=[""],
         stderr=r"\Acorvane ask: warning: the model's answer is empty\n\Z", stdout=streamed_answer("", SOURCES)),
    Case("ask-answer-http-error", ASK_MODEL + [QUESTION], examples(), replies=[500], code=2,
         stderr=r"\Acorvane ask: error: .*HTTP 500.*\n\Z", stdout=lines()),
    Case("ask-answer-http-error-json", ASK_MODEL + ["--json", QUESTION], examples(), replies=[401], code=2,
         stderr=r"\Acorvane ask: error: .*HTTP 401.*\n\Z", stdout=lines()),
    Case("ask-answer-unreachable", ["ask", "--answer", "--url", "http://127.0.0.1:9/v1/chat/completions", QUESTION],
         examples(), code=2, stderr=r"\Acorvane ask: error: .*127\.0\.0\.1:9.*\n\Z"),
    Case("ask-answer-no-url", ["ask", "--answer", QUESTION], examples(), code=2,
         stderr=r"^corvane ask: error: --answer needs the model's address: pass --url URL or set CORVANE_LLM_URL\n\Z"),
    Case("ask-answer-blank-url", ["ask", "--answer", QUESTION], examples(), env={"CORVANE_LLM_URL": " "}, code=2,
         stderr=r"error: --answer needs the model's address"),
    Case("ask-url-without-answer", ["ask", "--url", "http://127.0.0.1:9/", QUESTION], examples(), code=2,
         stderr=r"^corvane ask: error: --url is used only with --answer\n\Z"),
    Case("ask-answer-and-knowledge-only", ["ask", "--answer", "--knowledge-only", QUESTION], examples(), code=2,
         stderr=r"error: --knowledge-only prints the knowledge only; it does not go with --answer\n\Z"),
    Case("ask-answer-no-index", ASK_MODEL + [QUESTION], files({"data/manual_alias.json": "{}"}), code=2,
         stderr=r"^corvane ask: error: no scene index at data/scene_index\.jsonl"),
    Case("ask-answer-closed-stdout", ASK_MODEL + [QUESTION], examples(), replies=[ANSWER_TEXT], code=141,
         closed_stdout=True),

    # index
    Case("index-writes-compiled-file", ["index"], files({"data/manuals/g.md": GOOD_MANUAL}),
         stdout=has_file("data/scene_index.cvx", lines(NO_ALIASES, "Processed: g, scenes=1"))),
    Case("index-compiled-file-not-written", ["index"],
         files({"data/manuals/g.md": GOOD_MANUAL, "data/scene_index.cvx/x": "in the way"}),
         stderr=r"\Acorvane index: warning: compiled index data/scene_index\.cvx not written \(.+\); the scene "
                r"index is complete, and `corvane ask` compiles it when it opens it\n\Z",
         stdout=has_file("data/scene_index.jsonl", lines(NO_ALIASES, "Processed: g, scenes=1"))),
    Case("index-other-data-dir", ["index", "--data-dir", "a/b"], files({"a/b/manuals/g.md": GOOD_MANUAL}),
         stdout=lines(NO_ALIASES.replace("data/", "a/b/"), "Processed: g, scenes=1")),
    Case("index-no-manuals-folder", ["index"], old_data, code=2,
         stderr=r"^corvane index: error: no manuals folder at data/manuals; nothing was changed\n\Z", unchanged=OLD),
    Case("index-no-manual", ["index"],
         steps(old_data, files({"data/manuals/.hidden.md": GOOD_MANUAL, "data/manuals/notes.txt": GOOD_MANUAL,
                               "data/manuals/sub/x.md": GOOD_MANUAL})), code=2,
         stderr=r"^corvane index: error: no manuals in data/manuals \(a manual is a \*\.md file\); nothing was changed",
         unchanged=OLD),
    Case("index-no-data-folder", ["index", "--data-dir", "gone"], code=2,
         stderr=r"^corvane index: error: no data folder at gone; check --data-dir"),
    Case("index-data-dir-is-a-file", ["index", "--data-dir", "f"], files({"f": "x"}), code=2,
         stderr=r"^corvane index: error: data folder f is not a folder", unchanged=("f",)),
    Case("index-manual-not-utf8", ["index"],
         steps(old_data, files({"data/manuals/a.md": GOOD_MANUAL, "data/manuals/b.md": "# 标\n好".encode() + b"\xff" + "尾".encode(),
                               "data/manuals/c.md": GOOD_MANUAL})), code=2,
         stderr=r"^corvane index: error: manual data/manuals/b\.md is not UTF-8 \(byte 0xff at offset 9: invalid "
                r"start byte\); 1 manual indexed before it; the previous index was kept\n\Z",
         unchanged=("data/scene_index.jsonl", "data/trees/old.json"), stdout=lines(NO_ALIASES, "Processed: a, scenes=1")),
    Case("index-manual-not-utf8-first-run", ["index"], files({"data/manuals/b.md": b"\xfe"}), code=2,
         stderr=r"byte 0xfe at offset 0: invalid start byte\); 0 manuals indexed before it; no index was written",
         unchanged=("data/scene_index.jsonl",)),
    Case("index-bad-alias-file", ["index"],
         files({"data/manuals/g.md": GOOD_MANUAL, "data/manual_alias.json": '{"更换轮胎": "换胎"}'}),
         stderr=r"\Acorvane index: warning: alias file data/manual_alias\.json not used, going on without aliases: "
                r"the aliases of '更换轮胎' must be an array of strings\n\Z",
         stdout=lines("加载手工别名文件失败: data/manual_alias.json: the aliases of '更换轮胎' must be an array of strings",
                      "Processed: g, scenes=1")),
    Case("index-alias-file-not-utf8", ["index"], files({"data/manuals/g.md": GOOD_MANUAL, "data/manual_alias.json": b"\xff"}),
         stderr=r"\Acorvane index: warning: alias file data/manual_alias\.json not used.*can't decode byte 0xff"),
    # No manual yields a scene: the previous index, its compiled file and the trees stay.
    Case("index-no-scenes", ["index"], steps(old_data, files({"data/manuals/g.md": "正文，没有标题\n"})), code=2,
         stderr=r"\Acorvane index: error: no scenes in the 1 manual of data/manuals .*; the previous index was kept "
                r"and the tree files were left as they were\n\Z",
         unchanged=OLD, stdout=contains("Processed: g, scenes=0")),
    Case("index-manual-name-not-utf8", ["index"],
         steps(old_data, files({"data/manuals/a.md": GOOD_MANUAL, "data/manuals/b\udcff.md": GOOD_MANUAL})), code=2,
         stderr=r"\Acorvane index: error: the file name of manual data/manuals/b\\xff\.md is not UTF-8 \(byte 0xff\); "
                r"rename it; nothing was changed\n\Z",
         unchanged=OLD),

    # search-demo
    Case("search-demo-no-terminal", ["search-demo"], stdin=b"",
         stderr=r"\Acorvane search-demo: the debugger opens now\. Inspect `results` and `contexts`.*`c` leaves\.\n\Z"),
    Case("search-demo-commands-on-stdin", ["search-demo", "--data-dir", "mine"], files({"mine/manual_alias.json": "{}"}),
         stdin=b"p sorted(contexts)\np result['intent']\nc\n",
         stderr=r"`c` leaves\.\n\Z", stdout=contains("'火灾救援要注意什么'", "'how_to'")),
    Case("search-demo-quit", ["search-demo"], stdin=b"q\n", stderr=r"`c` leaves\.\n\Z"),

    # self-check
    Case("self-check-accepted", SC, self_check_files, replies=[ANSWER, ACCEPT], stderr=r"模型自检中",
         stdout=contains("模型自检完成"), unchanged=("prompt.md",)),
    Case("self-check-all-rejected", SC, self_check_files, replies=[ANSWER, REJECT, CHECKED] * 8, code=1,
         stderr=r"模型自检中", stdout=prompt_is("新：__INPUT__")),
    Case("self-check-reply-lacks-answer", SC, self_check_files, replies=[{"reason": "因"}], code=2,
         stderr=r'\ncorvane self-check: error: model reply lacks "answer" \(answer reply, cycle 1\)\n\Z',
         unchanged=("prompt.md",)),
    Case("self-check-is-ok-not-boolean", SC, self_check_files, replies=[ANSWER, {"is_ok": "false", "reason": ""}],
         code=2, stderr=r'error: model reply has "is_ok" a string, not true or false \(judge reply, cycle 1\)\n\Z',
         unchanged=("prompt.md",)),
    Case("self-check-rejection-lacks-reason", SC, self_check_files, replies=[ANSWER, {"is_ok": False}], code=2,
         stderr=r'error: model reply lacks "reason" \(judge reply, cycle 1\)\n\Z', unchanged=("prompt.md",)),
    Case("self-check-new-prompt-not-text", SC, self_check_files,
         replies=[ANSWER, REJECT, {"is_ok": True, "new_prompt": ["a"]}], code=2,
         stderr=r'error: model reply has "new_prompt" an array, not a string \(check reply, cycle 1, check 1\)\n\Z',
         unchanged=("prompt.md",)),
    Case("self-check-check-lacks-suggestions", SC, self_check_files,
         replies=[ANSWER, REJECT, CHECKED | {"is_ok": False, "new_suggestions": "s"}, {"is_ok": False}], code=2,
         stderr=r'error: model reply lacks "new_suggestions" \(check reply, cycle 1, check 2\)\n\Z',
         unchanged=("prompt.md",)),
    Case("self-check-fifth-check-lacks-new-prompt", SC, self_check_files,
         replies=[ANSWER, REJECT] + [{"is_ok": False, "new_suggestions": "s"}] * 5, code=2,
         stderr=r'error: model reply lacks "new_prompt" \(check reply, cycle 1, check 5\)\n\Z',
         unchanged=("prompt.md",)),
    Case("self-check-second-cycle-fails", SC, self_check_files, replies=[ANSWER, REJECT, CHECKED, {"answer": 1}],
         code=2, stderr=r'error: model reply lacks "reason" \(answer reply, cycle 2\)\n\Z',
         stdout=prompt_is("新：__INPUT__")),
    Case("self-check-prompt-past-the-cap", SC, self_check_files, env={"CORVANE_MAX_PROMPT_BYTES": "16"}, code=2,
         stderr=r"\ncorvane self-check: error: .*CORVANE_MAX_PROMPT_BYTES.*\n\Z", unchanged=("prompt.md",)),
    Case("self-check-model-http-error", SC + ["--key", KEY], self_check_files, replies=[401], code=2,
         stderr=r"\ncorvane self-check: error: .*HTTP 401.*\n\Z", unchanged=("prompt.md",)),
    Case("self-check-knowledge-missing", SC, files({"prompt.md": PROMPT}), code=2,
         stderr=r"\Acorvane self-check: error: cannot read knowledge file k\.txt: No such file or directory\n\Z",
         unchanged=("prompt.md",)),
    Case("self-check-base-rules-not-utf8", SC + ["--base-rules-file", "r.txt"],
         steps(self_check_files, files({"r.txt": b"\xc3("})), code=2,
         stderr=r"\Acorvane self-check: error: base rules file r\.txt is not UTF-8 \(byte 0xc3 at offset 0"),
    Case("self-check-prompt-missing", SC, files({"k.txt": "k"}), code=2,
         stderr=r"corvane self-check: error: prompt file prompt\.md: No such file or directory\n\Z",
         unchanged=("prompt.md",)),
]


def snapshot(tmp: Path, paths) -> dict:
    state = {}
    for rel in paths:
        p = tmp / rel
        if p.is_dir():
            state[rel] = {q.relative_to(p).as_posix(): q.read_bytes() if q.is_file() else None
                          for q in sorted(p.rglob("*"))}
        else:
            state[rel] = p.read_bytes() if p.exists() else None
    return state


def model_server(httpserver, replies, bodies: list):
    """Replies in turn: an int is that HTTP status (quoting the key), a dict a reply whose content
    is that JSON object ({"plain": text}: text, as one document even to a stream request), a str
    the answer text, streamed in pieces of two characters when the request asks for a stream."""
    replies = list(replies)

    def handler(request):
        assert request.headers["Authorization"] == f"Bearer {KEY}"
        bodies.append(request.get_json())
        reply = replies.pop(0)
        if isinstance(reply, int):
            return Response(f"refused {request.headers['Authorization']}", status=reply)
        if isinstance(reply, str) and bodies[-1].get("stream"):
            events = [{"choices": [{"index": 0, "delta": {"content": reply[i:i + 2]}}]} for i in range(0, len(reply), 2)]
            text = "".join(f"data: {json.dumps(e, ensure_ascii=False)}\n\n" for e in events) + "data: [DONE]\n\n"
            return Response(text.encode(), content_type="text/event-stream")
        if isinstance(reply, dict):
            reply = reply["plain"] if "plain" in reply else json.dumps(reply, ensure_ascii=False)
        body = {"choices": [{"message": {"role": "assistant", "content": reply}}]}
        return Response(json.dumps(body), content_type="application/json")

    httpserver.expect_request(PATH, method="POST").respond_with_handler(handler)
    return replies


@pytest.mark.parametrize("case", CASES, ids=[c.id for c in CASES])
def test_cli(case: Case, tmp_path, indexed_examples, httpserver):
    case.setup(tmp_path, indexed_examples)
    before = snapshot(tmp_path, case.unchanged)
    env = dict(case.env, TMPDIR=str(tmp_path / ".tmp"))
    (tmp_path / ".tmp").mkdir()
    left = None
    bodies: list = []
    if case.args[:1] == ["self-check"] or case.replies:
        env["CORVANE_LLM_KEY"] = KEY
        left = model_server(httpserver, case.replies, bodies)
    args = [a.replace("{url}", httpserver.url_for(PATH)) for a in case.args]
    env = {name: value.replace("{url}", httpserver.url_for(PATH)) for name, value in env.items()}
    if case.closed_stdout:
        r, w = os.pipe()
        os.close(r)
        try:
            proc = cli(args, tmp_path, stdin=case.stdin, env=env, stdout=w)
        finally:
            os.close(w)
        out = ""
    else:
        proc = cli(args, tmp_path, stdin=case.stdin, env=env)
        out = proc.stdout.decode()
    err = proc.stderr.decode()
    assert proc.returncode == case.code, f"stdout:\n{out}\nstderr:\n{err}"
    assert re.search(case.stderr, err, re.S), err
    assert KEY not in out and KEY not in err
    if not case.traceback:
        assert "Traceback" not in err
    if case.code not in (0, 1, 141) and not case.traceback:
        ours = [l for l in err.splitlines() if re.match(r"corvane( [a-z-]+)?: ", l)]
        assert len(ours) == 1 and err.endswith(ours[0] + "\n"), err
    if case.stdout is not None:
        case.stdout(out, tmp_path)
    if case.sent is not None:
        case.sent(bodies, tmp_path)
    assert snapshot(tmp_path, case.unchanged) == before
    if left is not None and case.code in (0, 1):
        assert left == [], "the run made fewer model calls than scripted"
    assert os.listdir(tmp_path / ".tmp") == [], "a data link was left behind"


# --- cases that need a signal or a terminal ------------------------------------------------

def test_interrupted_self_check_leaves_the_prompt_file(httpserver, tmp_path):
    """Ctrl-C while the model answers: one line, exit 130, the prompt file as it was."""
    self_check_files(tmp_path, None)
    asked = []
    release = threading.Event()

    def slow(request):
        asked.append(1)
        release.wait(60)
        return Response("{}", content_type="application/json")

    httpserver.expect_request(PATH).respond_with_handler(slow)
    env = {k: v for k, v in os.environ.items() if k != "CORVANE_DEBUG"}
    env.update(PYTHONIOENCODING="utf-8", CORVANE_LLM_KEY=KEY)
    args = [a.replace("{url}", httpserver.url_for(PATH)) for a in SC]
    proc = subprocess.Popen([sys.executable, "-m", "corvane", *args], cwd=tmp_path, env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    deadline = time.monotonic() + 60
    while not asked and time.monotonic() < deadline and proc.poll() is None:
        time.sleep(0.05)
    proc.send_signal(signal.SIGINT)
    try:
        out, err = proc.communicate(timeout=60)
    finally:
        release.set()
    err = err.decode()
    assert proc.returncode == 130, err
    assert err.endswith("corvane self-check: interrupted\n") and "Traceback" not in err
    assert (tmp_path / "prompt.md").read_text("utf-8") == PROMPT
    assert sorted(os.listdir(tmp_path)) == ["k.txt", "prompt.md"]


def test_index_progress_only_on_a_terminal(tmp_path, indexed_examples):
    """With stderr on a terminal the run shows manuals done / total; stdout keeps exactly its lines."""
    import fcntl
    import pty
    import struct
    import termios

    shutil.copytree(indexed_examples, tmp_path / "data")
    expected = cli(["index"], tmp_path).stdout
    main_fd, sub_fd = pty.openpty()
    fcntl.ioctl(sub_fd, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))
    try:
        env = dict(os.environ, PYTHONIOENCODING="utf-8")
        proc = subprocess.run([sys.executable, "-m", "corvane", "index"], cwd=tmp_path, env=env,
                              stdout=subprocess.PIPE, stderr=sub_fd, timeout=120)
        os.close(sub_fd)
        shown = b""
        while True:
            try:
                chunk = os.read(main_fd, 4096)
            except OSError:
                break
            if not chunk:
                break
            shown += chunk
    finally:
        os.close(main_fd)
    assert proc.returncode == 0
    assert proc.stdout == expected and expected.decode().count("Processed: ") == 2
    assert b"2/2" in shown and b"indexing" in shown


def test_hybrid_ranker_answers_or_says_why(tmp_path, indexed_examples):
    """Until the engine offers the hybrid ranker, asking for it is one clear error, never a silent exact run."""
    shutil.copytree(indexed_examples, tmp_path / "data")
    proc = cli(["ask", "--json", "--ranker", "hybrid", QUESTION], tmp_path)
    if proc.returncode == 0:
        doc = json.loads(proc.stdout)
        assert doc["question"] == QUESTION and doc["scenes"] and proc.stderr == b""
    else:
        assert proc.returncode == 2 and proc.stdout == b""
        assert re.fullmatch(r"corvane ask: error: --ranker hybrid: [^\n]*hybrid[^\n]*\n", proc.stderr.decode())


def test_readme_first_setup_line_runs(tmp_path):
    """The corvane steps of the README's first set-up line, on a copy of the examples: they index
    and print the answer prompt for the sample question."""
    line = next(l for l in README.read_text("utf-8").splitlines() if "corvane index" in l and "pip install" in l)
    shutil.copytree(EXAMPLES / "manuals", tmp_path / "examples/data/manuals")
    shutil.copy(EXAMPLES / "manual_alias.json", tmp_path / "examples/data/manual_alias.json")
    runs = [cli(shlex.split(step)[1:], tmp_path) for step in line.split("&&") if "bin/corvane " in step]
    assert [r.returncode for r in runs] == [0, 0] and runs[1].stderr == b""
    assert re.fullmatch(INDEX_NOTE, runs[0].stderr.decode()), runs[0].stderr
    assert (tmp_path / "examples/data/scene_index.cvx").is_file()
    out = runs[1].stdout.decode()
    assert out.startswith("=== SEARCH RESULT ===\n") and "更换轮胎" in out


@pytest.mark.parametrize("command", ["index", "ask", "search-demo", "self-check"])
def test_readme_command_table_has_every_option(command, tmp_path):
    shown = cli([command, "--help"], tmp_path).stdout.decode()
    text = README.read_text("utf-8")
    table = text[text.index("## Command line"):]
    table = table[:table.index("\n## ", 1)]
    options = set(re.findall(r"(?<![\w-])--[a-z][a-z-]+", shown)) - {"--help", "--debug"}
    assert sorted(o for o in options if o not in table) == []
