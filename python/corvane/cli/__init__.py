"""Command line: ``python -m corvane <command>`` (also the ``corvane`` script).

One module per command (``corvane.cli.<command>``, each with ``add_parser(sub, common)``);
adding a command is one line in COMMANDS.  Every error a user can cause ends in one line
on stderr, ``corvane <command>: error: ...``; exit codes are those of corvane.errors
(0 ok, 1 no result, 2 error, 130 interrupted, 141 closed stdout).  ``--debug`` or
CORVANE_DEBUG=1 also prints the traceback.
"""
from __future__ import annotations

import argparse
import os
import sys
import traceback
from importlib import import_module

from corvane import __version__, settings
from corvane.cli.common import DEBUG_ENV, Parser
from corvane.cli_errors import CliError
from corvane.errors import EXIT_CLOSED_STDOUT, EXIT_ERROR, EXIT_INTERRUPTED

# (module, the commands it adds): the names let a run build its own command's
# parser alone, without importing every other command's module.
COMMANDS = (
    ("corvane.cli.index", ("index",)),
    ("corvane.cli.ask", ("ask",)),
    ("corvane.cli.search_demo", ("search-demo",)),
    ("corvane.cli.self_check", ("self-check",)),
    ("corvane.cli.serve", ("serve",)),
    ("corvane.cli.eval", ("eval",)),
    ("corvane.cli.checking", ("check", "import")),
    ("corvane.cli.report", ("report",)),
    ("corvane.cli.keys", ("keys",)),
    ("corvane.cli.releases", ("publish", "rollback", "prune")),
)


def _named_command(argv: list[str] | None) -> str | None:
    """The command a command line names (its first word that is not an option), if it is one
    of COMMANDS'; the top-level options take no values."""
    for word in sys.argv[1:] if argv is None else argv:
        if word == "--":
            return None
        if not word.startswith("-"):
            return word if any(word in names for _, names in COMMANDS) else None
    return None


def build_parser(only: str | None = None) -> argparse.ArgumentParser:
    """The command line's parser; with ``only``, the parser of that command alone (what a run of
    it needs: its usage, help and errors are the same)."""
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
    for module, names in COMMANDS:
        if only is None or only in names:
            import_module(module).add_parser(sub, common)
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
    parser = build_parser(_named_command(argv))
    args, extra = parser.parse_known_args(argv)
    args.cli_argv = list(sys.argv[1:] if argv is None else argv)  # for the flags given (serve --config)
    if extra:  # reported by the command's own parser, so the line names the command
        args.commands[args.command].error(f"unrecognized arguments: {' '.join(extra)}")
    debug = getattr(args, "debug", False) or settings.get("debug")
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

