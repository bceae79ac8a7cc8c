"""Command line: ``python -m corvane <command>`` (also the ``corvane`` script).

  index         rebuild DIR/trees and DIR/scene_index.jsonl from DIR/manuals
                (and the compiled index DIR/scene_index.cvx the query engine opens)
  ask           print the answer prompt for a question (or --json, --knowledge-only),
                or the model's answer and its sources (--answer)
  search-demo   in-document search over a sample document, then the debugger
  self-check    improve a prompt file with a language model

DIR is the data folder, ./data unless --data-dir names another (see cli_data).
Every error a user can cause ends in one line on stderr,
``corvane <command>: error: ...``, and exit code 2; 1 means "no result"
(self-check: every cycle rejected); 130 an interrupt (Ctrl-C); 141 a closed
stdout (ends quietly, as a program ended by SIGPIPE).  ``--debug`` or
CORVANE_DEBUG=1 also prints the traceback.
"""
from __future__ import annotations

import argparse
import contextlib
import io
import json
import os
import re
import sys
import traceback
from dataclasses import dataclass
from pathlib import Path

from corvane import __version__
from corvane.cli_answer import URL_ENV
from corvane.cli_data import COMPILED_FILE, INDEX_FILE, MANUALS, DataDir, LineTee, import_morlek, manual_files
from corvane.cli_errors import EXIT_ERROR, EXIT_INTERRUPTED, EXIT_NO_RESULT, EXIT_OK, CliError

SAMPLE_QUESTION = "三包责任承诺"
KEY_ENV = "CORVANE_LLM_KEY"
RANKERS = ("exact", "hybrid")
DEBUG_ENV = "CORVANE_DEBUG"
MAX_QUESTION_CHARS = 4000
EXIT_CLOSED_STDOUT = 141
INDEX_PATH = "data/" + INDEX_FILE  # relative to the working directory the data folder sets up


def plural(n: int, word: str) -> str:
    return f"{n} {word}" if n == 1 else f"{n} {word}s"


def decode_failure(what: str, exc: UnicodeDecodeError) -> str:
    bad = exc.object[exc.start:exc.end]
    return f"{what} is not UTF-8 (byte 0x{bad[:1].hex()} at offset {exc.start}: {exc.reason.split(' (in ')[0]})"


def read_utf8(path: str, what: str) -> str:
    """A user's text file, whole; a missing, unreadable or non-UTF-8 file is a CliError naming it."""
    try:
        data = Path(path).read_bytes()
    except OSError as e:
        raise CliError(f"cannot read {what} {path}: {e.strerror or e}") from e
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as e:
        raise CliError(decode_failure(f"{what} {path}", e)) from e


def drop_final_line_break(text: str) -> str:
    """A text file's content without the one line break that ends its last line."""
    if text.endswith("\r\n"):
        return text[:-2]
    return text[:-1] if text.endswith("\n") else text


def require_data_folder(data: DataDir) -> None:
    if not data.exists():
        if data.path.exists():
            raise CliError(f"data folder {data.shown} is not a folder")
        hint = "pass --data-dir DIR or run corvane in the folder that holds data/" if not data.explicit \
            else "check --data-dir"
        raise CliError(f"no data folder at {data.shown}; {hint}")


# --- index ------------------------------------------------------------------------------


@contextlib.contextmanager
def progress(total: int):
    """A progress display of the manuals on stderr (only when stderr is a terminal).

    Yields (advance, around_stdout_write)."""
    if not sys.stderr.isatty():
        yield (lambda: None), None
        return
    from tqdm import tqdm

    bar = tqdm(total=total, desc="indexing", unit="manual", file=sys.stderr)
    shared_terminal = sys.stdout.isatty()

    @contextlib.contextmanager
    def around():
        if shared_terminal:
            bar.clear()
        try:
            yield
        finally:
            if shared_terminal:
                bar.refresh()

    try:
        yield (lambda: bar.update(1)), around
    finally:
        bar.close()


def write_compiled(data: DataDir) -> None:
    """Writes the compiled index beside the new scene index (working directory set up by
    DataDir.entered).  The scene index is complete without it: a failure is a warning, and
    the query engine compiles the index when it opens it."""
    try:
        from corvane.engine import write_compiled_index

        write_compiled_index("data")
    except Exception as e:  # noqa: BLE001 -- whatever it is, the index run itself succeeded
        if isinstance(e, OSError) and e.strerror:
            reason = e.strerror
            if e.filename is not None:
                reason = f"{data.show(os.fsdecode(e.filename))}: {reason}"
        else:
            reason = data.show(str(e)) or type(e).__name__
        print(f"corvane index: warning: compiled index {data.display(COMPILED_FILE)} not written ({reason}); "
              f"the scene index is complete, and `corvane ask` compiles it when it opens it", file=sys.stderr)


def cmd_index(args: argparse.Namespace) -> int:
    data = DataDir(args.data_dir)
    require_data_folder(data)
    manuals_dir = data.path / MANUALS
    if not manuals_dir.is_dir():
        raise CliError(f"no manuals folder at {data.display(MANUALS)}; nothing was changed")
    total = len(manual_files(manuals_dir))
    if total == 0:
        raise CliError(f"no manuals in {data.display(MANUALS)} (a manual is a *.md file); nothing was changed")
    had_index = (data.path / INDEX_FILE).exists()
    done = scenes = 0
    with data.entered():
        import_morlek(data, "index")
        from corvane import ostrel

        with progress(total) as (advance, around):
            def on_line(line: str) -> None:
                nonlocal done, scenes
                m = re.fullmatch(r"Processed: .*, scenes=(\d+)", line)
                if m:
                    done += 1
                    scenes += int(m.group(1))
                    advance()

            tee = LineTee(sys.stdout, on_line, around)
            try:
                with contextlib.redirect_stdout(tee):
                    ostrel.ostrel_main()
            except (OSError, ValueError, TypeError, KeyError) as e:
                if isinstance(e, BrokenPipeError):
                    raise
                kept = "the previous index was kept" if had_index else "no index was written"
                before = f"{plural(done, 'manual')} indexed before it"
                if isinstance(e, UnicodeDecodeError):
                    m = re.search(r"\(in (.*)\)$", e.reason)
                    manual = data.show(m.group(1)) if m else "a manual"
                    raise CliError(f"{decode_failure('manual ' + manual, e)}; {before}; {kept}") from e
                if isinstance(e, OSError) and e.filename is not None:
                    what = f"{data.show(os.fsdecode(e.filename))}: {e.strerror or e}"
                else:
                    what = data.show(str(e)) or type(e).__name__
                raise CliError(f"{what}; {before}; {kept}") from e
            finally:
                tee.flush()
        if os.path.exists(INDEX_PATH):
            write_compiled(data)
    if scenes == 0:
        print(f"corvane index: warning: no scenes in the {plural(done, 'manual')} of {data.display(MANUALS)} "
              f"(a scene needs a \"#\" heading), so there is no scene index now", file=sys.stderr)
    return EXIT_OK


# --- ask --------------------------------------------------------------------------------


def open_engine(data: DataDir, ranker: str, command: str = "ask"):
    """(engine, notes): the query engine over the data folder's scene index (working directory
    set up by DataDir.entered), and what the engine said on opening (it compiled the index
    because the compiled file was missing or stale) as lines of the command, for stderr once
    the command has its result (an error after them stays the only line)."""
    from corvane.engine import Engine

    shown = data.display(INDEX_FILE)
    if not os.path.lexists(INDEX_PATH):
        raise CliError(f"no scene index at {shown}; run `corvane index` first")
    said = io.StringIO()
    try:
        with contextlib.redirect_stderr(said):
            engine = Engine("data", ranker=ranker)
    except json.JSONDecodeError as e:
        reason = e.msg.split(": ", 1)[1] if e.msg.startswith(INDEX_PATH + ": ") else e.msg
        raise CliError(f"corrupt scene index {shown}, line {e.lineno}: {reason} (column {e.colno}); "
                       f"run `corvane index` to rebuild it") from e
    except UnicodeDecodeError as e:
        raise CliError(decode_failure(f"scene index {shown}", e) + "; run `corvane index` to rebuild it") from e
    except OSError as e:
        if e.filename is not None:
            raise CliError(f"cannot read scene index {data.show(os.fsdecode(e.filename))}: "
                           f"{e.strerror or e}") from e
        raise CliError(f"cannot read scene index {shown}: {e.strerror or e}") from e
    except ValueError as e:
        if type(e) is ValueError and str(e).startswith("ranker"):  # refused before any file was read
            raise CliError(f"--ranker {ranker}: {e}") from e
        text = str(e)
        if text.startswith(INDEX_PATH + ", line "):  # the engine's check of an entry
            raise CliError(f"corrupt scene index {shown}{text[len(INDEX_PATH):]}; "
                           f"run `corvane index` to rebuild it") from e
        raise CliError(f"corrupt scene index: {data.show(text)}; run `corvane index` to rebuild it") from e
    notes = []
    for line in said.getvalue().splitlines():
        if line.strip():
            line = line[len("corvane: "):] if line.startswith("corvane: ") else line
            notes.append(f"corvane {command}: note: {data.show(line)}")
    return engine, notes


@dataclass
class Answer:
    question: str
    intent: str
    ranked: list  # (scene index entry, score), best first
    knowledge: dict  # the matched record the prompt shows
    prompt: str


def answer(engine, question: str, template: str | None) -> Answer:
    """Ranks the scenes for `question` and builds the answer prompt (the specified one, or
    `template` filled the way the self-check loop fills its prompt)."""
    ranked = engine.search(question, 3)
    knowledge = engine.knowledge(question, top_k=3)
    prompt = engine.prompt(question, template=template)
    return Answer(question, knowledge["intent"], ranked, knowledge, prompt)


def read_question(args: argparse.Namespace) -> str:
    if args.question_file is not None:
        if args.question is not None:
            raise CliError("give the question either as an argument or with --question-file, not both")
        text = read_utf8(args.question_file, "question file")
    elif args.question == "-":
        try:
            text = sys.stdin.buffer.read().decode("utf-8")
        except UnicodeDecodeError as e:
            raise CliError(decode_failure("the question on stdin", e)) from e
    else:
        return SAMPLE_QUESTION if args.question is None else args.question
    return text.rstrip("\r\n")  # the line breaks that end the input are not part of the question


def check_ask_options(args: argparse.Namespace) -> None:
    if args.max_question_chars < 1:
        raise CliError(f"--max-question-chars must be at least 1, not {args.max_question_chars}")
    if args.knowledge_only:
        for given, option in ((args.answer, "--answer"), (args.prompt_file is not None, "--prompt-file")):
            if given:
                raise CliError(f"--knowledge-only prints the knowledge only; it does not go with {option}")
    if not args.answer:
        for value, option in ((args.url, "--url"), (args.key, "--key")):
            if value is not None:
                raise CliError(f"{option} is used only with --answer")


def cmd_ask(args: argparse.Namespace) -> int:
    from corvane import cli_answer

    check_ask_options(args)
    model = cli_answer.model_settings(args) if args.answer else None
    template = None
    if args.prompt_file is not None:
        template = read_utf8(args.prompt_file, "prompt file")
        if not template.strip():
            raise CliError(f"prompt file {args.prompt_file} is empty")
    question = read_question(args)
    if not question.strip():
        raise CliError("the question is empty")
    if len(question) > args.max_question_chars:
        raise CliError(f"the question has {len(question)} characters, more than --max-question-chars "
                       f"({args.max_question_chars})")
    data = DataDir(args.data_dir)
    require_data_folder(data)
    scripted = args.json or args.knowledge_only
    with data.entered():
        import_morlek(data, "ask", stdout_ok=not scripted)
        engine, notes = open_engine(data, args.ranker)
        with engine:
            try:
                result = answer(engine, question, template)
            except (KeyError, TypeError, ValueError) as e:
                what = f"an entry lacks {e}" if isinstance(e, KeyError) else data.show(str(e))
                raise CliError(f"scene index {data.display(INDEX_FILE)}: {what}; "
                               f"run `corvane index` to rebuild it") from e
    for note in notes:
        print(note, file=sys.stderr)
    scenes = [{"scene_id": entry.get("scene_id"), "manual_id": entry.get("manual_id"),
               "title": entry.get("scene_title"), "score": score} for entry, score in result.ranked]
    if model is not None:
        return cli_answer.answer_with_model(model, result.prompt, question, result.intent, scenes,
                                            as_json=args.json, ranker=args.ranker)
    if args.json:
        print(json.dumps({"question": question, "intent": result.intent, "scenes": scenes,
                          "prompt": result.prompt}, ensure_ascii=False))
    elif args.knowledge_only:
        print(repr(result.knowledge))
    else:
        print("=== SEARCH RESULT ===")
        print(json.dumps(result.prompt, ensure_ascii=False, indent=2))
    return EXIT_OK


# --- search-demo ------------------------------------------------------------------------


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

DEMO_HINT = ("corvane search-demo: the debugger opens now. Inspect `results` and `contexts` (by question, e.g. "
             "`p contexts['怎么断高压']`; `result` and `context_text` hold the last question's); `c` leaves.")


def cmd_search_demo(args: argparse.Namespace) -> int:
    import bdb

    data = DataDir(args.data_dir)
    if data.explicit:
        require_data_folder(data)
    with data.entered():
        import_morlek(data, "search-demo")
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


# --- self-check -------------------------------------------------------------------------


def cmd_self_check(args: argparse.Namespace) -> int:
    import asyncio

    from harlune import LLMError

    from corvane import vendry
    from corvane.cli_replies import CheckedReplies

    key = args.key if args.key is not None else os.environ.get(KEY_ENV, "")
    knowledge = drop_final_line_break(read_utf8(args.knowledge_file, "knowledge file"))
    base_rules = read_utf8(args.base_rules_file, "base rules file") if args.base_rules_file else ""
    client = vendry.llm_response
    vendry.llm_response = CheckedReplies(client)
    try:
        accepted = asyncio.run(
            vendry.generate_ai_prompt(args.prompt_file, args.question, knowledge, base_rules, args.url, key)
        )
    except LLMError as e:
        raise CliError(str(e)) from e
    except KeyError as e:  # a key the checker did not foresee
        raise CliError(f'model reply lacks "{e.args[0] if e.args else e}"') from e
    except UnicodeError as e:
        raise CliError(f"prompt file {args.prompt_file}: {e}") from e
    except ValueError as e:  # the filled prompt past CORVANE_MAX_PROMPT_BYTES, or a bad setting of it
        raise CliError(str(e)) from e
    except OSError as e:
        if isinstance(e, BrokenPipeError):
            raise
        name = os.fsdecode(e.filename) if e.filename is not None else args.prompt_file
        raise CliError(f"prompt file {name}: {e.strerror or e}") from e
    finally:
        vendry.llm_response = client
    return EXIT_OK if accepted else EXIT_NO_RESULT


SELF_CHECK_HELP = f"""\
Runs up to 8 self-check cycles of PROMPT_FILE (a UTF-8 prompt template with the
placeholders __INPUT__, __KNOWLEDGE__ and __TIME__) for QUESTION: the model answers
under the prompt, judges the answer and, when it rejects it, rewrites PROMPT_FILE.
The transcript goes to stdout, the progress displays to stderr.
`corvane ask --knowledge-only QUESTION > FILE` writes a knowledge file for QUESTION
(the line break that ends a knowledge file is not part of the knowledge).

The model is reached at --url, an OpenAI-compatible chat-completions endpoint.
The access key comes from --key or, when that is not given, from the {KEY_ENV}
environment variable (prefer the variable: command lines are visible to other users).
HARLUNE_MODEL names the model (default "default"), HARLUNE_TIMEOUT the timeout in
seconds (default 120).

Every model reply must hold the keys the loop reads ("answer" and "reason"; "is_ok"
as true or false, "reason" when rejected; "new_suggestions" and "new_prompt" as text
where used); otherwise the run stops with an error before the prompt file is
rewritten in that cycle (rewrites of earlier cycles stay).

Exit status: 0 when an answer was accepted, 1 when all cycles were rejected,
2 on a model reply, model or file error, 130 when interrupted (Ctrl-C).
"""

ASK_HELP = f"""\
Prints "=== SEARCH RESULT ===" and the answer prompt for QUESTION as a JSON string
(the three best scenes of the scene index DIR/scene_index.jsonl, from `corvane index`).
QUESTION "-" reads the question from stdin, --question-file from a UTF-8 file
(line breaks at the end are dropped). Default question: {SAMPLE_QUESTION}.

--json prints one JSON object instead: "question", "intent", "scenes" (a list of
"scene_id", "manual_id", "title", "score", best first) and "prompt".
--knowledge-only prints the knowledge text the prompt shows (the matched record),
the text `corvane self-check --knowledge-file` takes.
With --json or --knowledge-only, stdout holds only that output.

--answer sends the prompt to a language model and prints its answer as it arrives,
then the sources: the manual and title of each scene the prompt showed. With --json
it prints one object: "question", "intent", "answer", "sources" (as "scenes" above)
and "ranker". The model is reached at --url or, when that is not given, at the
{URL_ENV} environment variable (an OpenAI-compatible chat-completions endpoint);
the access key comes from the {KEY_ENV} environment variable (or --key; command
lines are visible to other users). HARLUNE_MODEL names the model, HARLUNE_TIMEOUT
limits the whole exchange in seconds (default 120).

--prompt-file FILE uses a prompt template in the format `corvane self-check`
improves (__INPUT__ the question, __KNOWLEDGE__ the knowledge text, __TIME__ the
time) instead of the answer prompt, with or without --answer.
--ranker picks how scenes are ranked: exact (the default) or hybrid.

Exit status: 0 ok, 2 on an empty or too long question, a missing data folder or
scene index, a corrupt scene index, an unreadable prompt file, no model address or
a model error, 130 when interrupted (Ctrl-C).
"""

INDEX_HELP = """\
Rebuilds DIR/trees/ (one tree file per manual) and DIR/scene_index.jsonl from the
manuals DIR/manuals/*.md and the alias file DIR/manual_alias.json (optional), printing
"Processed: <manual>, scenes=<n>" per manual. A progress display goes to stderr when
it is a terminal. Then it writes DIR/scene_index.cvx, the compiled index `corvane ask`
and `corvane serve` open in milliseconds; when that file cannot be written, a warning
on stderr says so and the run still succeeds (the index is compiled when opened).

The command refuses to run, and changes nothing, when DIR/manuals is missing or holds
no manual. The index is replaced only when the whole run succeeds: on an error (such
as a manual that is not UTF-8) the previous index is kept.

Exit status: 0 ok, 2 on an error.
"""

DATA_DIR_HELP = ("the data folder (default: ./data); the commands read and write the fixed names manuals/, "
                 "trees/, scene_index.jsonl and manual_alias.json inside it")


class Parser(argparse.ArgumentParser):
    """Usage errors as one line: "corvane <command>: error: ...", exit 2."""

    def error(self, message: str):
        self.exit(EXIT_ERROR, f"{self.prog}: error: {message} (see `{self.prog} --help`)\n")


def build_parser() -> argparse.ArgumentParser:
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--debug", action="store_true", default=argparse.SUPPRESS,
                        help=f"print the traceback of an error (also: {DEBUG_ENV}=1)")
    parser = Parser(
        prog="corvane",
        description="Owner's-manual retrieval pipeline.",
        epilog="Exit status: 0 ok, 1 no result (self-check: all cycles rejected), 2 error, 130 interrupted "
               "(Ctrl-C), 141 stdout closed early (e.g. by `| head -1`; nothing is printed then).",
        parents=[common],
    )
    parser.add_argument("--version", action="version", version=f"corvane {__version__}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND", parser_class=Parser)
    parser.set_defaults(commands=sub.choices)
    raw = argparse.RawDescriptionHelpFormatter

    p = sub.add_parser("index", help="rebuild the tree files and the scene index from DIR/manuals",
                       description=INDEX_HELP, formatter_class=raw, parents=[common])
    p.add_argument("--data-dir", metavar="DIR", default=None, help=DATA_DIR_HELP)
    p.set_defaults(run=cmd_index)

    p = sub.add_parser("ask", help="print the answer prompt for a question, or the model's answer (--answer)", description=ASK_HELP,
                       formatter_class=raw, parents=[common])
    p.add_argument("question", metavar="QUESTION", nargs="?",
                   help=f'the question; "-" reads it from stdin (default: {SAMPLE_QUESTION})')
    p.add_argument("--question-file", metavar="FILE", default=None, help="read the question from a UTF-8 file")
    p.add_argument("--max-question-chars", metavar="N", type=int, default=MAX_QUESTION_CHARS,
                   help=f"refuse longer questions (default: {MAX_QUESTION_CHARS})")
    out = p.add_mutually_exclusive_group()
    out.add_argument("--json", action="store_true", help="print one JSON object: question, intent, scenes, prompt")
    out.add_argument("--knowledge-only", action="store_true",
                     help="print the knowledge text (input of self-check --knowledge-file)")
    p.add_argument("--answer", action="store_true",
                   help="send the prompt to the model and print its answer and the sources")
    p.add_argument("--url", metavar="URL", default=None,
                   help=f"with --answer: OpenAI-compatible chat-completions endpoint (default: the {URL_ENV} "
                        "environment variable)")
    p.add_argument("--key", metavar="KEY", default=None,
                   help=f"with --answer: access key (default: the {KEY_ENV} environment variable)")
    p.add_argument("--prompt-file", metavar="FILE", default=None,
                   help="a UTF-8 prompt template with __INPUT__, __KNOWLEDGE__ and __TIME__ (the format "
                        "self-check improves) instead of the answer prompt")
    p.add_argument("--ranker", choices=RANKERS, default=RANKERS[0],
                   help=f"how scenes are ranked (default: {RANKERS[0]})")
    p.add_argument("--data-dir", metavar="DIR", default=None, help=DATA_DIR_HELP)
    p.set_defaults(run=cmd_ask)

    p = sub.add_parser("search-demo", help="in-document search demo, ends in the debugger (`c` leaves)",
                       description="Runs the in-document search over a sample document for four questions, "
                                   "then opens the debugger: inspect `results` and `contexts`; `c` leaves. "
                                   "With no terminal on stdin the debugger reads its commands from stdin.",
                       parents=[common])
    p.add_argument("--data-dir", metavar="DIR", default=None,
                   help="the data folder whose manual_alias.json is used (default: ./data)")
    p.set_defaults(run=cmd_search_demo)

    p = sub.add_parser(
        "self-check",
        help="improve a prompt file with a language model",
        description=SELF_CHECK_HELP,
        formatter_class=raw,
        parents=[common],
    )
    p.add_argument("prompt_file", metavar="PROMPT_FILE", help="prompt template file, rewritten in place")
    p.add_argument("question", metavar="QUESTION", help="the question the prompt is tested with")
    p.add_argument("--knowledge-file", required=True, help="UTF-8 text file with the knowledge for the question")
    p.add_argument("--url", required=True, help="OpenAI-compatible chat-completions endpoint")
    p.add_argument("--key", default=None, help=f"access key (default: the {KEY_ENV} environment variable)")
    p.add_argument("--base-rules-file", default=None, help="UTF-8 text file with base rules")
    p.set_defaults(run=cmd_self_check)

    # Commands that live in their own modules.
    from corvane.evaluate import add_parser as add_eval_parser
    from corvane.service import add_parser as add_serve_parser

    add_serve_parser(sub)
    add_eval_parser(sub)
    from corvane.checking.commands import add_parsers as add_checking_parsers

    add_checking_parsers(sub, [common])
    return parser


def _quiet_closed_stdout() -> None:
    """After a closed stdout: nothing more may be flushed to it at exit."""
    if sys.stdout is sys.__stdout__ and sys.stdout is not None:
        try:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
            os.close(devnull)
        except (OSError, ValueError, AttributeError):
            pass


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    args, extra = parser.parse_known_args(argv)
    if extra:  # reported by the command's own parser, so the line names the command
        args.commands[args.command].error(f"unrecognized arguments: {' '.join(extra)}")
    debug = getattr(args, "debug", False) or os.environ.get(DEBUG_ENV, "") not in ("", "0")
    prefix = f"corvane {args.command}:"

    def report(line: str) -> None:
        if debug:
            traceback.print_exc()
        print(f"{prefix} {line}", file=sys.stderr, flush=True)

    try:
        code = args.run(args)
        sys.stdout.flush()
        return code
    except BrokenPipeError:
        _quiet_closed_stdout()
        return EXIT_CLOSED_STDOUT
    except CliError as e:
        report(f"error: {e.message}")
        return e.exit_code
    except KeyboardInterrupt:
        report("interrupted")
        return EXIT_INTERRUPTED
    except Exception as e:  # not foreseen: still one line, the traceback with --debug
        text = str(e)
        report(f"error: {type(e).__name__}{': ' + text if text else ''} (--debug shows the traceback)")
        return EXIT_ERROR


if __name__ == "__main__":
    sys.exit(main())
