"""`corvane ask`: the answer prompt for a question, or the model's answer."""
from __future__ import annotations

import argparse
import contextlib
import io
import json
import logging
import os
import sys
from dataclasses import dataclass

from corvane.cli.common import DATA_DIR_HELP, KEY_ENV, MAX_QUESTION_CHARS, RANKERS, SAMPLE_QUESTION, decode_failure, read_utf8, require_data_folder
from corvane.cli_answer import URL_ENV
from corvane.cli_data import INDEX_FILE, DataDir, check_aliases, quiet_morlek
from corvane.errors import EXIT_OK, PromptTooLargeError
from corvane.cli_errors import CliError

KNOWLEDGE_FORMATS = ("text", "json")  # corvane.answers.KNOWLEDGE_FORMATS


def open_engine(data: DataDir, ranker: str, command: str = "ask"):
    """(engine, notes): the query engine over the data folder's scene index, and what the engine said on opening (it compiled the index
    because the compiled file was missing or stale) as lines of the command, for stderr once
    the command has its result (an error after them stays the only line)."""
    from corvane.engine import Engine

    shown = index_path = data.display(INDEX_FILE)
    if not os.path.lexists(index_path):
        raise CliError(f"no scene index at {shown}; run `corvane index` first")
    said = io.StringIO()
    notes_of = logging.getLogger("corvane.engine")
    handler = logging.StreamHandler(said)
    notes_of.addHandler(handler)
    notes_of.propagate = False
    try:
        try:
            # Compiling the index (no usable compiled file) imports corvane.morlek, whose import
            # prints a line when the working folder has no alias file of its own: not the
            # command's output (the data folder's alias file was checked already).
            with contextlib.redirect_stdout(io.StringIO()):
                engine = Engine(data.shown, ranker=ranker)
        finally:
            notes_of.removeHandler(handler)
            notes_of.propagate = True
    except json.JSONDecodeError as e:
        reason = e.msg.split(": ", 1)[1] if e.msg.startswith(index_path + ": ") else e.msg
        raise CliError(f"corrupt scene index {shown}, line {e.lineno}: {reason} (column {e.colno}); "
                       f"run `corvane index` to rebuild it") from e
    except UnicodeDecodeError as e:
        raise CliError(decode_failure(f"scene index {shown}", e) + "; run `corvane index` to rebuild it") from e
    except OSError as e:
        if e.filename is not None:
            raise CliError(f"cannot read scene index {os.fsdecode(e.filename)}: "
                           f"{e.strerror or e}") from e
        raise CliError(f"cannot read scene index {shown}: {e.strerror or e}") from e
    except ValueError as e:
        if type(e) is ValueError and str(e).startswith("ranker"):  # refused before any file was read
            raise CliError(f"--ranker {ranker}: {e}") from e
        text = str(e)
        if text.startswith(index_path + ", line "):  # the engine's check of an entry
            raise CliError(f"corrupt scene index {shown}{text[len(index_path):]}; "
                           f"run `corvane index` to rebuild it") from e
        raise CliError(f"corrupt scene index: {text}; run `corvane index` to rebuild it") from e
    notes = []
    for line in said.getvalue().splitlines():
        if line.strip():
            line = line[len("corvane: "):] if line.startswith("corvane: ") else line
            notes.append(f"corvane {command}: note: {line}")
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
    `template` filled once), all from one search."""
    got = engine.answer(question, top_k=3, template=template)
    return Answer(question, got.intent, [(h.record, h.score) for h in got.hits], got.knowledge, got.prompt)


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


def answer_options(args: argparse.Namespace) -> bool:
    """True when an option of the owners' answers is given (vehicle or manual filter, a
    style, a knowledge format or a history): the answer is planned by corvane.answers
    then, otherwise by the engine's one pass (the specified answer prompt)."""
    return any(getattr(args, name, None) is not None
               for name in ("vehicle", "manual", "style", "knowledge_format", "history"))


def check_ask_options(args: argparse.Namespace) -> None:
    if args.max_question_chars < 1:
        raise CliError(f"--max-question-chars must be at least 1, not {args.max_question_chars}")
    if args.knowledge_only:
        for given, option in ((args.answer, "--answer"), (args.prompt_file is not None, "--prompt-file")):
            if given:
                raise CliError(f"--knowledge-only prints the knowledge only; it does not go with {option}")
    if args.prompt_file is not None:
        for name, option in (("vehicle", "--vehicle"), ("manual", "--manual"), ("style", "--style"),
                             ("knowledge_format", "--knowledge-format"), ("history", "--history")):
            if getattr(args, name, None) is not None:
                raise CliError(f"--prompt-file fills its own template; it does not go with {option}")
    if not args.answer:
        for value, option in ((args.url, "--url"), (args.key, "--key")):
            if value is not None:
                raise CliError(f"{option} is used only with --answer")


def unusable_index(data: DataDir, e: Exception) -> CliError:
    """The error of a scene index whose entries the answer could not be built from."""
    what = f"an entry lacks {e}" if isinstance(e, KeyError) else str(e)
    return CliError(f"scene index {data.display(INDEX_FILE)}: {what}; run `corvane index` to rebuild it")


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
    check_aliases(data, "ask", stdout_ok=not scripted)  # its warnings, as every command gives them
    if answer_options(args):
        return planned_ask(args, data, question, model)
    engine, notes = open_engine(data, args.ranker)
    with engine:
        try:
            result = answer(engine, question, template)
        except PromptTooLargeError as e:
            raise CliError(f"prompt file {args.prompt_file}: {e}") from e
        except (KeyError, TypeError, ValueError) as e:
            raise unusable_index(data, e) from e
    for note in notes:
        print(note, file=sys.stderr)
    scenes = [{"scene_id": entry.get("scene_id"), "manual_id": entry.get("manual_id"),
               "title": entry.get("scene_title"), "score": score} for entry, score in result.ranked]
    if model is not None:
        from corvane.answers import is_refused

        if is_refused(result.knowledge) if isinstance(result.knowledge, dict) else not result.ranked:
            from corvane.answers import AnswerStyle

            return print_refusal(AnswerStyle().fallback_text, question, result.intent, as_json=args.json,
                                 ranker=args.ranker)
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


def print_refusal(fallback: str, question: str, intent: str, *, as_json: bool, ranker: str) -> int:
    """A question no scene matched, with --answer: the fallback text, and no model call."""
    from corvane.cli_answer import NO_SOURCES

    if as_json:
        print(json.dumps({"question": question, "intent": intent, "answer": fallback, "sources": [],
                          "ranker": ranker, "refused": True}, ensure_ascii=False))
    else:
        print(fallback)
        print()
        print(NO_SOURCES)
    return EXIT_OK


def planned_ask(args: argparse.Namespace, data: DataDir, question: str, model) -> int:
    """`ask` with --vehicle/--manual/--style/--knowledge-format/--history (corvane.answers)."""
    from corvane import answers, catalog as catalogs, cli_answer, conversation

    quiet_morlek()  # the planned answer uses it; imported without its import-time line

    try:
        style = answers.load_style(args.style) if args.style is not None else answers.AnswerStyle()
        style = style.with_options(knowledge_format=args.knowledge_format)
    except answers.StyleError as e:
        raise CliError(f"--style: {e}" if args.style is not None else str(e)) from e
    history = read_history(args.history) if args.history is not None else []
    try:
        catalog = catalogs.load_catalog(data.shown)
        manual_ids = catalog.resolve(vehicle=args.vehicle, manual=args.manual) \
            if args.vehicle is not None or args.manual is not None else None
    except catalogs.CatalogError as e:
        text = str(e)
        raise CliError("--" + text if text.startswith(("vehicle: ", "manual: ")) else text) from e
    engine, notes = open_engine(data, args.ranker)
    with engine:
        retrieval = None
        if history:
            import asyncio

            rewriter = conversation.QueryRewriter(
                (lambda prompt: _chat(model, prompt)) if model is not None else None)
            strong = (lambda hits: bool(hits) and hits[0][1] >= 12) if args.ranker == "exact" else bool
            retrieval = asyncio.run(conversation.resolve_query(
                question, history, rewriter, search=lambda q: catalogs.filtered_search(engine, q, manual_ids, 1),
                strong=strong))
        try:
            plan = answers.plan_answer(engine, question, style=style, catalog=catalog, manual_ids=manual_ids,
                                       ranker=args.ranker, retrieval_query=retrieval)
        except (KeyError, TypeError, ValueError) as e:
            raise unusable_index(data, e) from e
    for note in notes:
        print(note, file=sys.stderr)
    intent = plan.matched.get("intent", "")
    scores = {r["node_id"]: r["score"] for r in plan.matched.get("results", ())}
    scenes = [{"scene_id": r.get("scene_id"), "manual_id": r.get("manual_id"), "title": r.get("scene_title"),
               "score": scores.get(r.get("scene_id"))} for r in plan.records]
    extra = {} if retrieval is None or retrieval == question else {"retrieval_query": retrieval}
    if model is not None:
        if plan.refused:
            return print_refusal(plan.fallback, question, intent, as_json=args.json, ranker=args.ranker)
        return cli_answer.answer_with_model(model, plan.prompt, question, intent, scenes, as_json=args.json,
                                            ranker=args.ranker)
    prompt = plan.fallback if plan.refused else plan.prompt
    if args.json:
        print(json.dumps({"question": question, "intent": intent, "scenes": scenes, "prompt": plan.prompt,
                          "refused": plan.refused, **extra}, ensure_ascii=False))
    elif args.knowledge_only:
        print(repr(plan.matched))
    else:
        print("=== SEARCH RESULT ===")
        print(json.dumps(prompt, ensure_ascii=False, indent=2))
    return EXIT_OK


def _chat(model, prompt: str):
    from harlune import chat

    return chat(model.url, model.key, prompt)


def read_history(path: str) -> list:
    """The previous turns of a conversation from a JSON file (a list of {question, answer?,
    topic?} or of {role, content} messages)."""
    from corvane import conversation

    text = read_utf8(path, "history file")
    try:
        raw = json.loads(text)
    except json.JSONDecodeError as e:
        raise CliError(f"history file {path}, line {e.lineno}: not valid JSON ({e.msg})") from e
    try:
        return conversation.parse_history(raw)
    except conversation.HistoryError as e:
        raise CliError(f"history file {path}: {e}") from e


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

--vehicle V and --manual M rank only the scenes of that vehicle's manuals (DIR/catalog.json)
or of that manual. --style FILE (a JSON answer style: brand, assistant, tone, safety,
fallback, knowledge_format, cite, always_warnings) and --knowledge-format text|json change
the answer prompt. --history FILE (a JSON list of earlier turns, {{question, answer?}} or
{{role, content}}) resolves a follow-up question for the search. With --answer, a question
no scene matches gets the fallback text and no model call (--json: "refused": true).

Exit status: 0 ok, 2 on an empty or too long question, a missing data folder or
scene index, a corrupt scene index, an unreadable prompt file, no model address or
a model error, 130 when interrupted (Ctrl-C).
"""


def add_parser(sub, common) -> None:
    raw = argparse.RawDescriptionHelpFormatter
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
    p.add_argument("--vehicle", metavar="V", default=None, help="only the scenes of this vehicle's manuals")
    p.add_argument("--manual", metavar="M", default=None, help="only the scenes of this manual")
    p.add_argument("--style", metavar="FILE", default=None, help="a JSON answer style (brand, tone, safety, ...)")
    p.add_argument("--knowledge-format", choices=KNOWLEDGE_FORMATS, default=None,
                   help="the knowledge in the prompt as the record's text form or as JSON (default: text)")
    p.add_argument("--history", metavar="FILE", default=None,
                   help="a JSON list of the conversation's earlier turns, for a follow-up question")
    p.add_argument("--data-dir", metavar="DIR", default=None, help=DATA_DIR_HELP)
    p.set_defaults(run=cmd_ask)
