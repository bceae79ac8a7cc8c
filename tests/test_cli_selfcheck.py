"""`python -m corvane self-check` through the real model client and a local HTTP server: what the
model is sent.  Exit codes and error lines of the command are in test_cli.py."""
import json

from werkzeug import Response

from corvane.__main__ import main

KEY = "sk-SENTINEL-cli-42"
PATH = "/v1/chat/completions"


def model_server(httpserver, verdicts):
    """A chat-completions endpoint that answers, judges with `verdicts` in turn and accepts checks."""
    seen = []
    verdicts = list(verdicts)

    def handler(request):
        prompt = request.get_json()["messages"][0]["content"]
        seen.append((request.headers.get("Authorization"), prompt))
        if prompt.startswith("你是大模型提示词优化工程师"):
            content = '```json\n{"is_ok": %s, "reason": "补充依据"}\n```' % verdicts.pop(0)
        elif prompt.startswith("当前用户提示词内容为："):
            content = json.dumps({"is_ok": True, "new_suggestions": "", "new_prompt": "新：__INPUT__ @ __TIME__"},
                                 ensure_ascii=False)
        else:
            content = json.dumps({"answer": "答", "reason": "因"}, ensure_ascii=False)
        body = {"choices": [{"message": {"role": "assistant", "content": content}}]}
        return Response(json.dumps(body), content_type="application/json")

    httpserver.expect_request(PATH, method="POST").respond_with_handler(handler)
    return seen


def test_self_check_command(httpserver, workdir, monkeypatch, capsys):
    seen = model_server(httpserver, ["False", "True"])
    (workdir / "prompt.md").write_text("问：__INPUT__\n知：__KNOWLEDGE__", encoding="utf-8")
    (workdir / "k.txt").write_text("知识正文\n", encoding="utf-8")  # as `ask --knowledge-only > k.txt` writes it
    monkeypatch.setenv("CORVANE_LLM_KEY", KEY)
    code = main(["self-check", "prompt.md", "怎么换胎", "--knowledge-file", "k.txt", "--url", httpserver.url_for(PATH)])
    assert code == 0
    assert [auth for auth, _ in seen] == [f"Bearer {KEY}"] * 5
    assert seen[0][1].startswith("问：怎么换胎\n知：知识正文\n\n            仅输出json字段")
    assert seen[3][1].startswith("新：怎么换胎 @ 20")
    assert (workdir / "prompt.md").read_text(encoding="utf-8") == "新：__INPUT__ @ __TIME__"
    out = capsys.readouterr().out
    assert out.count("轮模型自检") == 2 and "模型自检完成" in out and KEY not in out

