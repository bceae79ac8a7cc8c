"""`corvane search-demo`: the in-document search over a sample document, then the debugger."""
from __future__ import annotations

import argparse
import json
import sys

from corvane.cli.common import require_data_folder
from corvane.cli_data import DataDir, import_morlek
from corvane.errors import EXIT_OK


def demo_tree() -> dict:
    """The sample document of the in-document search demo (a fresh copy each call)."""
    from importlib.resources import files

    return json.loads(files("corvane.cli").joinpath("demo_manual.json").read_text("utf-8"))


DEMO_QUESTIONS = ("怎么断高压", "车辆起火怎么办", "火灾救援要注意什么", "高压电断开步骤是什么")

DEMO_HINT = ("corvane search-demo: the debugger opens now. Inspect `results` and `contexts` (by question, e.g. "
             "`p contexts['怎么断高压']`; `result` and `context_text` hold the last question's); `c` leaves.")


def cmd_search_demo(args: argparse.Namespace) -> int:
    import bdb

    data = DataDir(args.data_dir)
    if data.explicit:
        require_data_folder(data)
    import_morlek(data, "search-demo")  # the data folder's alias map for the search
    from corvane import morlek

    tree = demo_tree()
    results = {}
    contexts = {}
    for question in DEMO_QUESTIONS:
        result = morlek.search_knowledge(question, tree, top_k=2)
        context_text = "\n\n".join(item["llm_context"] for item in result["results"])
        results[question] = result
        contexts[question] = context_text
    print(DEMO_HINT, file=sys.stderr, flush=True)
    try:
        inspect_in_debugger(results, contexts, result, context_text)
    except bdb.BdbQuit:  # `q`, or the end of a stdin that is not a terminal
        pass
    return EXIT_OK


def inspect_in_debugger(results: dict, contexts: dict, result: dict, context_text: str) -> None:
    """Stops in the debugger with the demo's values as locals; `c` continues and ends the demo."""
    import pdb

    pdb.set_trace()
    return None





def add_parser(sub, common) -> None:
    p = sub.add_parser("search-demo", help="in-document search demo, ends in the debugger (`c` leaves)",
                       description="Runs the in-document search over a sample document for four questions, "
                                   "then opens the debugger: inspect `results` and `contexts`; `c` leaves. "
                                   "With no terminal on stdin the debugger reads its commands from stdin.",
                       parents=[common])
    p.add_argument("--data-dir", metavar="DIR", default=None,
                   help="the data folder whose manual_alias.json is used (default: ./data)")
    p.set_defaults(run=cmd_search_demo)
