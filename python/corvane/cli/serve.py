"""`corvane serve`: the HTTP service (its options live with the service, corvane.service.cli),
with its settings also from a TOML file (``--config FILE``, or CORVANE_CONFIG) and
``--print-config``.

Every flag of serve has a key in the file (its dest: ``port``, ``max_body_bytes``, ...)
and an environment variable (``CORVANE_<DEST>``, or the settings table's name for it);
so do the settings the service reads from the environment (``api_token``, ``llm_url``,
...).  A value comes from, highest first: the flag, the environment, the file, the
default (corvane.config_file.resolve).
"""
from __future__ import annotations

import argparse
import os
import sys

from corvane import settings
from corvane.cli.common import adopt_common
from corvane.cli_errors import CliError
from corvane.errors import EXIT_OK


def add_parser(sub, common) -> None:
    from corvane import config_file, settings
    from corvane.service import add_parser as add_serve_parser

    add_serve_parser(sub)
    p = sub.choices["serve"]
    adopt_common(p, common)
    have = {opt for action in p._actions for opt in action.option_strings}
    if "--config" not in have:
        config_file.add_config_arguments(p)
    if "--keys-file" not in have:
        p.add_argument("--keys-file", metavar="FILE", default="",
                       help=f"API keys file (`corvane keys add`); default: ${settings.setting('keys_file').env}")
    p.set_defaults(run=configured(p.get_default("run"), p))


def serve_argv(args: argparse.Namespace) -> list[str] | None:
    """The words of the command line after the command's name (None: not known)."""
    argv = getattr(args, "cli_argv", None)
    if argv is None:
        return None
    argv = list(argv)
    command = getattr(args, "command", "serve")
    return argv[argv.index(command) + 1:] if command in argv else argv


def given_flags(parser: argparse.ArgumentParser, args: argparse.Namespace, entries) -> dict:
    """The flags given on the command line; from the parsed values that differ from the
    parser's defaults when the words of the command line are not known."""
    from corvane import config_parser

    argv = serve_argv(args)
    if argv is not None:
        return config_parser.explicit_flags(parser, argv, entries)
    out = {}
    for entry in entries:
        dest = entry.name.replace(".", "_")
        if hasattr(args, dest) and getattr(args, dest) != parser.get_default(dest):
            out[entry.name] = getattr(args, dest)
    return out


def resolve(parser: argparse.ArgumentParser, args: argparse.Namespace, environ=None):
    """(entries, resolved, warnings) of serve's settings for this command line."""
    from corvane import config_file, settings

    environ = settings.environ() if environ is None else environ
    entries = settings.config_entries(parser)
    flags = given_flags(parser, args, entries)
    try:
        resolved, warnings = config_file.load(entries, args, environ=environ,
                                              config_env=settings.setting("config").env, flags=flags)
    except config_file.ConfigError as e:
        raise CliError(str(e)) from None
    return entries, resolved, warnings


def apply(resolved, entries, args: argparse.Namespace, environ=None) -> None:
    """The resolved values onto the parsed command line (flags) and, for the settings the
    service reads from the environment, into the environment (from the file only: a set
    variable already holds the winning value)."""
    environ = settings.environ() if environ is None else environ
    dests = set(vars(args))
    for entry in entries:
        r = resolved[entry.name]
        dest = entry.name.replace(".", "_")
        if dest in dests:
            setattr(args, dest, r.value)
        elif entry.env and r.source == "file":
            environ[entry.env] = _as_text(r.value)
    if getattr(args, "keys_file", ""):
        environ["CORVANE_KEYS_FILE"] = os.path.abspath(args.keys_file)


def _as_text(value) -> str:
    if isinstance(value, bool):
        return "1" if value else "0"
    return str(value)


def configured(run, parser: argparse.ArgumentParser):
    def run_configured(args: argparse.Namespace) -> int:
        entries, resolved, warnings = resolve(parser, args)
        for line in warnings:
            print(f"corvane serve: warning: {line}", file=sys.stderr)
        if args.print_config:
            from corvane.config_file import print_config

            print_config(resolved, entries)
            return EXIT_OK
        apply(resolved, entries, args)
        return run(args)

    return run_configured
