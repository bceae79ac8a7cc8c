"""Tables of corvane.config_file entries built from an argparse parser, and the flags a
command line gave."""
from __future__ import annotations

import argparse
from typing import Any, Iterable, Mapping

from corvane.config_file import Entry


def entries_from_parser(parser, *, env_prefix: str = "CORVANE_", secrets: Iterable[str] = (),
                        env: Mapping[str, str] | None = None, skip: Iterable[str] = ("help", "config", "print_config",
                                                                                 "run", "debug")) -> list[Entry]:
    """A table built from an argparse parser's options (until a settings table exists).

    Each option's environment variable is ``env_prefix`` + its dest in capitals,
    unless ``env`` names another.
    """
    env = dict(env or {})
    secrets = set(secrets)
    skip = set(skip)
    out = []
    for action in parser._actions:
        if not action.option_strings or action.dest in skip or action.default is argparse.SUPPRESS:
            continue
        if isinstance(action, (argparse._StoreTrueAction, argparse._StoreFalseAction)):
            kind = bool
        elif isinstance(action, argparse._AppendAction):
            kind = "list"
        else:
            kind = action.type or str
        long = next((o for o in action.option_strings if o.startswith("--")), action.option_strings[0])
        out.append(Entry(
            name=action.dest, env=env.get(action.dest, env_prefix + action.dest.upper()), type=kind,
            default=action.default, secret=action.dest in secrets, help=action.help or "",
            choices=tuple(action.choices) if action.choices else None, flag=long,
        ))
    return out


def explicit_flags(parser, argv: list[str], entries: Iterable[Entry]) -> dict[str, Any]:
    """The entries' flags given in ``argv``, found by parsing it again with every
    default suppressed (so the parser keeps its real defaults for other uses)."""
    import argparse

    saved = [(a, a.default) for a in parser._actions]
    try:
        for action, _ in saved:
            action.default = argparse.SUPPRESS
        namespace, _ = parser.parse_known_args(argv)
    finally:
        for action, default in saved:
            action.default = default
    given = vars(namespace)
    return {e.name: given[e.name.replace(".", "_")] for e in entries if e.name.replace(".", "_") in given}


# Settings of ``corvane serve`` that have no flag: environment (and file) only.
SERVE_ENV_ONLY = (
    Entry("api_token", "CORVANE_API_TOKEN", str, "", secret=True,
          help="bearer token every endpoint but /healthz, /readyz and the page needs"),
    Entry("llm_url", "CORVANE_LLM_URL", str, "", help="OpenAI-compatible chat-completions endpoint for /v1/answer"),
    Entry("llm_key", "CORVANE_LLM_KEY", str, "", secret=True, help="the model endpoint's access key"),
    Entry("model", "HARLUNE_MODEL", str, "", help="the model's name"),
    Entry("keys_file", "CORVANE_KEYS_FILE", "path", "", help="API keys file (corvane keys add)"),
)


def serve_entries(serve_parser) -> list[Entry]:
    """A table for ``corvane serve`` from its parser (every flag, env ``CORVANE_<FLAG>``) and the
    environment-only settings; a stand-in until the settings module holds one."""
    entries = entries_from_parser(serve_parser)
    for entry in entries:
        if entry.name == "data_dir":
            entries[entries.index(entry)] = Entry(**{**entry.__dict__, "type": "path"})
    known = {e.name for e in entries}
    return entries + [e for e in SERVE_ENV_ONLY if e.name not in known]
