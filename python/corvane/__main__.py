"""Command line: ``python -m corvane <command>`` (also the ``corvane`` script).

Commands run in the current working directory, whose ``data/`` folder holds
the manuals, the alias file, the tree files and the scene index.

  index                 rebuild data/trees and data/scene_index.jsonl from data/manuals
  ask [QUESTION]        print the answer prompt for QUESTION (default: the sample question)
  search-demo           in-document search over a sample document, then the debugger
  self-check PROMPT_FILE QUESTION --knowledge-file F --url URL
                        improve PROMPT_FILE with a language model (key: --key or CORVANE_LLM_KEY)
"""
from __future__ import annotations

import argparse
import json
import os
import sys

SAMPLE_QUESTION = "三包责任承诺"
KEY_ENV = "CORVANE_LLM_KEY"


def cmd_index(args: argparse.Namespace) -> int:
    from corvane import ostrel

    ostrel.ostrel_main()
    return 0


def cmd_ask(args: argparse.Namespace) -> int:
    from corvane import delmoor

    question = SAMPLE_QUESTION if args.question is None else args.question
    prompt = delmoor.answer_query(question)
    print("=== SEARCH RESULT ===")
    print(json.dumps(prompt, ensure_ascii=False, indent=2))
    return 0


def demo_tree() -> dict:
    """The sample document of the in-document search demo."""
    return {
        "type": "document",
        "doc_name": "demo_manual",
        "title": "紧急救援处置程序",
        "children": [
            {
                "type": "scene",
                "title": "高压电断开程序",
                "description": "可以通过以下步骤断开车辆高压电：",
                "images": [],
                "steps": [
                    {
                        "index": 1,
                        "text": "在中控屏“系统-维护”界面，点触“维护下电”，关闭整车电源。",
                        "sub_points": [],
                        "images": [
                            {
                                "url": "https://example.invalid/images/hv_step1.png",
                                "position": "step_1",
                                "caption": "高压电断开程序-步骤1图片",
                            }
                        ],
                    },
                    {
                        "index": 2,
                        "text": "打开后背门，取下行李箱地毯及随车工具盒，断开蓄电池负极。",
                        "sub_points": [],
                        "images": [],
                    },
                ],
                "warning": [],
                "notice": [],
                "tip": [],
            },
            {
                "type": "scene",
                "title": "车辆火灾救援",
                "description": "请根据实际情况按照以下方法对车辆进行操作：",
                "images": [],
                "steps": [
                    {"index": 1, "text": "将车辆停放在安全区域，所有人员撤离车辆。", "sub_points": [], "images": []}
                ],
                "warning": [],
                "notice": ["使用水基灭火器进行降温灭火，请勿使用干粉灭火器。"],
                "tip": [],
            },
        ],
    }


DEMO_QUESTIONS = ("怎么断高压", "车辆起火怎么办", "火灾救援要注意什么", "高压电断开步骤是什么")


def cmd_search_demo(args: argparse.Namespace) -> int:
    import pdb

    from corvane import morlek

    tree = demo_tree()
    results = {}
    contexts = {}
    for question in DEMO_QUESTIONS:
        result = morlek.search_knowledge(question, tree, top_k=2)
        context_text = "\n\n".join(item["llm_context"] for item in result["results"])
        results[question] = result
        contexts[question] = context_text
    # Inspect `results` and `contexts` (`result` and `context_text` hold the last
    # question's); `c` continues and ends the demo.
    pdb.set_trace()
    return 0


def cmd_self_check(args: argparse.Namespace) -> int:
    import asyncio

    from harlune import LLMError

    from corvane import vendry

    key = args.key if args.key is not None else os.environ.get(KEY_ENV, "")
    try:
        with open(args.knowledge_file, encoding="utf-8") as f:
            knowledge = f.read()
        base_rules = ""
        if args.base_rules_file:
            with open(args.base_rules_file, encoding="utf-8") as f:
                base_rules = f.read()
        accepted = asyncio.run(
            vendry.generate_ai_prompt(args.prompt_file, args.question, knowledge, base_rules, args.url, key)
        )
    except (LLMError, OSError, UnicodeError) as exc:
        print(f"corvane self-check: error: {exc}", file=sys.stderr)
        return 2
    return 0 if accepted else 1


SELF_CHECK_HELP = f"""\
Runs up to 8 self-check cycles of PROMPT_FILE (a UTF-8 prompt template with the
placeholders __INPUT__, __KNOWLEDGE__ and __TIME__) for QUESTION: the model answers
under the prompt, judges the answer and, when it rejects it, rewrites PROMPT_FILE.
The transcript goes to stdout, the progress displays to stderr.

The model is reached at --url, an OpenAI-compatible chat-completions endpoint.
The access key comes from --key or, when that is not given, from the {KEY_ENV}
environment variable (prefer the variable: command lines are visible to other users).
HARLUNE_MODEL names the model (default "default"), HARLUNE_TIMEOUT the timeout in
seconds (default 120).

Exit status: 0 when an answer was accepted, 1 when all cycles were rejected,
2 on a model or file error.
"""


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="corvane", description="Owner's-manual retrieval pipeline.")
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("index", help="rebuild the tree files and the scene index from data/manuals")
    p.set_defaults(run=cmd_index)
    p = sub.add_parser("ask", help="print the answer prompt for a question")
    p.add_argument("question", nargs="?", help=f"the question (default: {SAMPLE_QUESTION})")
    p.set_defaults(run=cmd_ask)
    p = sub.add_parser("search-demo", help="in-document search demo, ends in the debugger")
    p.set_defaults(run=cmd_search_demo)
    p = sub.add_parser(
        "self-check",
        help="improve a prompt file with a language model",
        description=SELF_CHECK_HELP,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    p.add_argument("prompt_file", metavar="PROMPT_FILE", help="prompt template file, rewritten in place")
    p.add_argument("question", metavar="QUESTION", help="the question the prompt is tested with")
    p.add_argument("--knowledge-file", required=True, help="UTF-8 text file with the knowledge for the question")
    p.add_argument("--url", required=True, help="OpenAI-compatible chat-completions endpoint")
    p.add_argument("--key", default=None, help=f"access key (default: the {KEY_ENV} environment variable)")
    p.add_argument("--base-rules-file", default=None, help="UTF-8 text file with base rules")
    p.set_defaults(run=cmd_self_check)
    from corvane import evaluate

    evaluate.add_parser(sub)
    return parser


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    from corvane.cli_errors import CliError

    try:
        return args.run(args)
    except CliError as exc:
        print(f"corvane {args.command}: error: {exc}", file=sys.stderr)
        return exc.exit_code


if __name__ == "__main__":
    sys.exit(main())
