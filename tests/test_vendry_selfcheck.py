"""The self-check loop: verdicts, time, the prompt file and the transcript."""
import asyncio
import datetime
import os
import subprocess
import sys
import textwrap

import pytest

from corvane import vendry
from vendry_fakes import install

ANSWER = {"answer": "答", "reason": "因"}
TEMPLATE = "问题：__INPUT__\n时间：__TIME__"
BANNER1 = "*************************** 第 1 轮模型自检 ***************************"


def run(*args, **kwargs):
    return asyncio.run(vendry.generate_ai_prompt(*args, **kwargs))


@pytest.fixture
def prompt_file(workdir):
    path = workdir / "prompt.md"
    path.write_text(TEMPLATE, encoding="utf-8")
    return path


REJECTING = [False, None, 0, 0.0, "", [], {}, "false", " FALSE\n", "0", "no", "No", " none ", "null", "NULL"]
ACCEPTING = [True, 1, -1, 0.5, "true", "yes", "ok", "1", "False!", [0], {"x": 0}]


@pytest.mark.parametrize("verdict", REJECTING, ids=repr)
def test_rejecting_verdicts_lead_to_checks(verdict, prompt_file, monkeypatch, capsys):
    # judge rejects with `verdict`; the first check also rejects with it, the second accepts
    replies = [
        ANSWER,
        {"is_ok": verdict, "reason": "改1"},
        {"is_ok": verdict, "new_suggestions": "改2", "new_prompt": "unused"},
        {"is_ok": True, "new_prompt": "新 __INPUT__"},
        ANSWER,
        {"is_ok": True, "reason": ""},
    ]
    model = install(monkeypatch, vendry, replies)
    assert run(str(prompt_file), "q", "k") is True
    assert len(model.calls) == 6
    assert model.calls[4][2].startswith("新 q\n\n")
    assert prompt_file.read_text(encoding="utf-8") == "新 __INPUT__"
    assert "优化建议:\n改1\n优化建议:\n改2\n" in capsys.readouterr().out


@pytest.mark.parametrize("verdict", ACCEPTING, ids=repr)
def test_accepting_verdicts_end_the_loop(verdict, prompt_file, monkeypatch, capsys):
    model = install(monkeypatch, vendry, [ANSWER, {"is_ok": verdict}])
    assert run(str(prompt_file), "q", "k") is True
    assert len(model.calls) == 2
    assert prompt_file.read_text(encoding="utf-8") == TEMPLATE


def test_never_accepting_runs_eight_cycles_and_rewrites_each_time(prompt_file, monkeypatch, capsys):
    replies = []
    for cycle in range(8):
        replies += [ANSWER, {"is_ok": False, "reason": f"r{cycle}"}]
        replies += [{"is_ok": "no", "new_suggestions": f"s{cycle}.{t}", "new_prompt": f"P{cycle}.{t} __INPUT__"}
                    for t in range(5)]
    model = install(monkeypatch, vendry, replies)
    assert run(str(prompt_file), "q", "k", "R", "http://m", "K") is False
    assert len(model.calls) == 56
    assert all(c[:2] == ["http://m", "K"] for c in model.calls)
    # each cycle answers under the prompt written by the previous one
    for cycle in range(1, 8):
        assert model.calls[7 * cycle][2].startswith(f"P{cycle - 1}.4 q\n\n            仅输出json字段:")
    # the last check of a cycle sees the suggestions of the one before it
    assert "模型给出的提示词优化建议为：s0.3\n" in model.calls[6][2]
    assert model.calls[6][2].endswith("\n                R")
    assert prompt_file.read_text(encoding="utf-8") == "P7.4 __INPUT__"
    out = capsys.readouterr().out
    assert out.count("轮模型自检") == 8 and "模型自检完成" not in out
    assert out.endswith("^" * 35 + "\nquestion: q\nanswer  : {'answer': '答', 'reason': '因'}\n")


def test_time_is_read_at_each_call_in_shanghai(prompt_file, monkeypatch):
    import_time = vendry.now_beijing
    seen = []
    for when, text in [
        (datetime.datetime(2026, 1, 7, 9, 30, 5), "20260107:093005"),
        # 23:59:59 UTC is already the next day in Shanghai
        (datetime.datetime(2026, 12, 31, 23, 59, 59, tzinfo=datetime.timezone.utc), "20270101:075959"),
    ]:
        model = install(monkeypatch, vendry, [ANSWER, {"is_ok": 1}], time=when)
        run(str(prompt_file), "q", "k")
        seen.append(model.calls[0][2].split("\n")[1])
        assert f"时间：{text}" == seen[-1]
    assert vendry.now_beijing is import_time


def test_default_clock_is_shanghai_time():
    before = datetime.datetime.now(datetime.timezone.utc)
    now = vendry._clock()
    assert now.tzinfo is vendry.beijing_tz
    assert now.utcoffset() == datetime.timedelta(hours=8)
    assert abs(now - before) < datetime.timedelta(seconds=5)
    assert vendry.now_beijing.tzinfo is vendry.beijing_tz
    assert str(vendry.beijing_tz) == "Asia/Shanghai"


@pytest.mark.parametrize("bad", [5, None, b"bytes", ["P"]], ids=repr)
def test_non_text_new_prompt_keeps_the_file(bad, prompt_file, monkeypatch):
    replies = [ANSWER, {"is_ok": False, "reason": "r"}, {"is_ok": True, "new_prompt": bad}]
    install(monkeypatch, vendry, replies)
    with pytest.raises(TypeError, match="new_prompt"):
        run(str(prompt_file), "q", "k")
    assert prompt_file.read_text(encoding="utf-8") == TEMPLATE
    assert os.listdir(prompt_file.parent) == ["prompt.md"]


def test_unencodable_new_prompt_keeps_the_file(prompt_file, monkeypatch):
    replies = [ANSWER, {"is_ok": False, "reason": "r"}, {"is_ok": True, "new_prompt": "bad \udc80"}]
    install(monkeypatch, vendry, replies)
    with pytest.raises(UnicodeEncodeError):
        run(str(prompt_file), "q", "k")
    assert prompt_file.read_text(encoding="utf-8") == TEMPLATE
    assert os.listdir(prompt_file.parent) == ["prompt.md"]


def test_write_failure_keeps_the_file(tmp_path):
    # The file size limit makes the write of the new prompt fail (EFBIG), as a full disk would.
    script = textwrap.dedent(
        """
        import asyncio, os, resource, signal, sys
        sys.path.insert(0, sys.argv[2])
        from corvane import vendry
        from vendry_fakes import ScriptedModel
        os.chdir(sys.argv[1])
        replies = [{"answer": "a", "reason": "b"}, {"is_ok": False, "reason": "r"},
                   {"is_ok": True, "new_prompt": "x" * 100000}]
        vendry.llm_response = ScriptedModel(replies)
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (1000, resource.RLIM_INFINITY))
        try:
            asyncio.run(vendry.generate_ai_prompt("prompt.md", "q", "k"))
        except OSError as exc:
            print("OSError", exc.errno, exc.filename, file=sys.stderr)
            sys.exit(3)
        """
    )
    (tmp_path / "prompt.md").write_text(TEMPLATE, encoding="utf-8")
    tests_dir = os.path.dirname(__file__)
    proc = subprocess.run([sys.executable, "-c", script, str(tmp_path), tests_dir], capture_output=True, text=True)
    assert proc.returncode == 3, proc.stderr
    assert "OSError 27 prompt.md" in proc.stderr
    assert (tmp_path / "prompt.md").read_text(encoding="utf-8") == TEMPLATE
    assert os.listdir(tmp_path) == ["prompt.md"]


def test_prompt_file_is_utf8_with_universal_newlines_and_keeps_links_and_mode(workdir, monkeypatch):
    real = workdir / "real.md"
    real.write_bytes("一\r\n二\r三 __INPUT__".encode("utf-8"))
    real.chmod(0o640)
    (workdir / "link.md").symlink_to("real.md")
    replies = [ANSWER, {"is_ok": False, "reason": "r"}, {"is_ok": True, "new_prompt": "新\n__INPUT__"},
               ANSWER, {"is_ok": True}]
    model = install(monkeypatch, vendry, replies)
    assert run("link.md", "问", "k") is True
    assert model.calls[0][2].startswith("一\n二\n三 问\n\n")
    assert (workdir / "link.md").is_symlink()
    assert real.read_bytes() == "新\n__INPUT__".encode("utf-8")
    assert real.stat().st_mode & 0o777 == 0o640
    assert sorted(os.listdir(workdir)) == ["link.md", "real.md"]


def test_unreadable_prompt_file_fails_before_any_model_call(workdir, monkeypatch, capsys):
    model = install(monkeypatch, vendry, [])
    with pytest.raises(FileNotFoundError) as info:
        run("missing.md", "q", "k")
    assert info.value.filename == "missing.md"
    (workdir / "latin1.md").write_bytes("caf\xe9".encode("latin-1"))
    with pytest.raises(UnicodeDecodeError):
        run("latin1.md", "q", "k")
    assert model.calls == []
    assert capsys.readouterr().out == f"{BANNER1}\n用户问题: q\n" * 2


def test_model_errors_reach_the_caller_unchanged(prompt_file, monkeypatch, capsys):
    class Boom(Exception):
        pass

    async def failing(url, key, prompt):
        raise Boom("down")

    install(monkeypatch, vendry, [])
    monkeypatch.setattr(vendry, "llm_response", failing)
    with pytest.raises(Boom, match="down"):
        run(str(prompt_file), "q", "k")
    assert capsys.readouterr().out == f"{BANNER1}\n用户问题: q\n"


def test_missing_reply_keys(prompt_file, monkeypatch):
    # a rejected check without new_suggestions, and a judge without is_ok
    for replies, key in [
        ([ANSWER, {"is_ok": False, "reason": "r"}, {"is_ok": False, "new_prompt": "p"}], "new_suggestions"),
        ([ANSWER, {"reason": "r"}], "is_ok"),
        ([ANSWER, {"is_ok": False, "reason": "r"}, {"is_ok": True}], "new_prompt"),
    ]:
        install(monkeypatch, vendry, replies)
        with pytest.raises(KeyError, match=key):
            run(str(prompt_file), "q", "k")
        assert prompt_file.read_text(encoding="utf-8") == TEMPLATE


class RecordingBar:
    made = []

    def __init__(self, total, desc=None, file=None):
        self.total, self.desc, self.file = total, desc, file
        self.n = 0
        self.closed = False
        RecordingBar.made.append(self)

    def update(self, n=1):
        self.n += n

    def close(self):
        self.closed = True


def test_progress_displays(prompt_file, monkeypatch):
    RecordingBar.made = []
    monkeypatch.setattr(vendry, "trange", RecordingBar)
    replies = [ANSWER, {"is_ok": False, "reason": "r"},
               {"is_ok": False, "new_suggestions": "s", "new_prompt": "p"}, {"is_ok": True, "new_prompt": "p"},
               ANSWER, {"is_ok": True}]
    install(monkeypatch, vendry, replies)
    assert run(str(prompt_file), "q", "k") is True
    cycles, tries = RecordingBar.made
    assert (cycles.total, cycles.desc, cycles.n, cycles.closed) == (8, "模型自检中", 2, True)
    assert (tries.total, tries.desc, tries.n, tries.closed) == (5, "内部提示词校验中", 2, True)
    assert cycles.file is sys.stderr and tries.file is sys.stderr


def test_progress_displays_are_closed_on_failure(prompt_file, monkeypatch):
    RecordingBar.made = []
    monkeypatch.setattr(vendry, "trange", RecordingBar)
    install(monkeypatch, vendry, [ANSWER, {"is_ok": False, "reason": "r"}, {"is_ok": False}])
    with pytest.raises(KeyError):
        run(str(prompt_file), "q", "k")
    assert [b.closed for b in RecordingBar.made] == [True, True]


@pytest.mark.parametrize(
    "args, kwargs",
    [
        (("p.md", "q"), {}),
        (("p.md", "q", "k", "", "", "", "extra"), {}),
        (("p.md", "q", "k"), {"model": "x"}),
        (("p.md", "q"), {"knowledge": "k"}),
        ((None, "q", "k"), {}),
        ((1, "q", "k"), {}),
        (("p.md", "q", "k", None), {}),
        (("p.md", "q", "k"), {"base_rules": 5}),
        (("p.md", "q", "k"), {"llm_url": None}),
        (("p.md", "q", "k"), {"llm_key": b"key"}),
    ],
)
def test_argument_errors_raise_at_the_call(args, kwargs, workdir, monkeypatch, capsys):
    model = install(monkeypatch, vendry, [])
    with pytest.raises(TypeError):
        vendry.generate_ai_prompt(*args, **kwargs)
    assert capsys.readouterr() == ("", "")
    assert model.calls == []


def test_argument_error_names_the_parameter():
    with pytest.raises(TypeError, match="'llm_key' must be str, not NoneType"):
        vendry.generate_ai_prompt("p.md", "q", "k", llm_key=None)


@pytest.mark.parametrize("args, kwargs", [(("q",), {}), (("q", "k", "x"), {}), (("q",), {"context": "k"})])
def test_build_prompt_argument_errors(args, kwargs):
    with pytest.raises(TypeError):
        vendry.build_prompt(*args, **kwargs)


def test_import_needs_the_model_client_and_tqdm():
    for blocked in ("harlune", "tqdm"):
        code = f"import sys; sys.modules[{blocked!r}] = None\nimport corvane.vendry"
        proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
        assert proc.returncode != 0
        assert proc.stderr.strip().splitlines()[-1].startswith("ModuleNotFoundError:")




@pytest.mark.parametrize("replies, error", [
    ([["not", "an", "object"]], r'model reply is an array, not a JSON object \(answer reply, cycle 1\)'),
    ([{"reason": "r"}], r'model reply lacks "answer" \(answer reply, cycle 1\)'),
    ([ANSWER, {"is_ok": "false", "reason": "r"}], r'has "is_ok" a string, not true or false \(judge reply, cycle 1\)'),
    ([ANSWER, {"is_ok": False}], r'lacks "reason" \(judge reply, cycle 1\)'),
    ([ANSWER, {"is_ok": False, "reason": "r"}, {"is_ok": False, "new_prompt": "p"}],
     r'lacks "new_suggestions" \(check reply, cycle 1, check 1\)'),
    ([ANSWER, {"is_ok": False, "reason": "r"}, {"is_ok": True}], r'lacks "new_prompt" \(check reply, cycle 1, check 1\)'),
    # the last try's new prompt is read even when it rejects; earlier ones are not
    ([ANSWER, {"is_ok": False, "reason": "r"}] + [{"is_ok": False, "new_suggestions": "s"}] * 4
     + [{"is_ok": False, "new_suggestions": "s", "new_prompt": 5}],
     r'has "new_prompt" a number, not a string \(check reply, cycle 1, check 5\)'),
])
def test_checked_replies_stop_before_the_loop_acts(replies, error, prompt_file, monkeypatch, capsys):
    before = prompt_file.read_bytes()
    install(monkeypatch, vendry, replies)
    monkeypatch.setattr(vendry, "check_replies", True)
    with pytest.raises(vendry.ReplyError, match=error):
        run(str(prompt_file), "q", "k")
    assert prompt_file.read_bytes() == before
    assert issubclass(vendry.ReplyError, ValueError)


def test_replies_are_not_checked_by_default(prompt_file, monkeypatch, capsys):
    # A string verdict is read by its text, as the loop always has.
    install(monkeypatch, vendry, [ANSWER, {"is_ok": "true"}])
    assert vendry.check_replies is False
    assert run(str(prompt_file), "q", "k") is True
