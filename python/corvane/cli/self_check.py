"""`corvane self-check`: a prompt file improved with a language model."""
from __future__ import annotations

import argparse
import os

from corvane import settings
from corvane.cli.common import KEY_ENV, drop_final_line_break, read_utf8
from corvane.errors import EXIT_NO_RESULT, EXIT_OK
from corvane.cli_errors import CliError


def cmd_self_check(args: argparse.Namespace) -> int:
    import asyncio

    from harlune import LLMError

    from corvane import vendry

    key = args.key if args.key is not None else settings.get("llm_key")
    url = args.url if args.url is not None else settings.get("llm_url").strip()
    if not url:
        raise CliError("self-check needs the model's address: pass --url URL or set CORVANE_LLM_URL")
    knowledge = drop_final_line_break(read_utf8(args.knowledge_file, "knowledge file"))
    base_rules = read_utf8(args.base_rules_file, "base rules file") if args.base_rules_file else ""
    checking = vendry.check_replies
    vendry.check_replies = True  # every reply checked by the loop before it acts on it
    try:
        accepted = asyncio.run(
            vendry.generate_ai_prompt(args.prompt_file, args.question, knowledge, base_rules, url, key)
        )
    except LLMError as e:
        raise CliError(str(e)) from e
    except vendry.ReplyError as e:
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
        vendry.check_replies = checking
    return EXIT_OK if accepted else EXIT_NO_RESULT


SELF_CHECK_HELP = f"""\
Runs up to 8 self-check cycles of PROMPT_FILE (a UTF-8 prompt template with the
placeholders __INPUT__, __KNOWLEDGE__ and __TIME__) for QUESTION: the model answers
under the prompt, judges the answer and, when it rejects it, rewrites PROMPT_FILE.
The transcript goes to stdout, the progress displays to stderr.
`corvane ask --knowledge-only QUESTION > FILE` writes a knowledge file for QUESTION
(the line break that ends a knowledge file is not part of the knowledge).

The model is reached at --url (or CORVANE_LLM_URL), an OpenAI-compatible chat-completions endpoint.
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


def add_parser(sub, common) -> None:
    raw = argparse.RawDescriptionHelpFormatter
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
    p.add_argument("--url", default=None, help="OpenAI-compatible chat-completions endpoint (default: the "
                                               "CORVANE_LLM_URL environment variable)")
    p.add_argument("--key", default=None, help=f"access key (default: the {KEY_ENV} environment variable)")
    p.add_argument("--base-rules-file", default=None, help="UTF-8 text file with base rules")
    p.set_defaults(run=cmd_self_check)
