"""The configuration file of ``corvane serve --config corvane.toml``.

Every setting is one ``Entry`` of a table (its name is the key in the file and
the flag's ``dest``; ``env`` the environment variable).  ``resolve`` layers the
sources, later ones winning::

    default < file < environment < flag

and keeps, with each value, where it came from, so ``print_config`` can show
an operator why a setting has the value it has.  Secrets are masked there.

A file looks like::

    data_dir = "/srv/corvane/data/releases/current"
    port = 8000
    reload_interval = 2.0

    [llm]              # tables are read as dotted names: llm.url, llm.key
    url = "http://model:8080/v1/chat/completions"

Relative paths in the file (entries of type ``"path"``) are taken from the
folder of the file, not from wherever the service is started.
"""
from __future__ import annotations

import argparse
import difflib
import os
import re
import stat
import sys
from dataclasses import dataclass, field
from typing import Any, Callable, Iterable, Mapping, TextIO

from corvane import settings

if sys.version_info >= (3, 11):
    import tomllib
else:  # pragma: no cover - 3.10 only
    try:
        import tomli as tomllib
    except ImportError:  # reported when a file is actually read
        tomllib = None

SOURCES = ("default", "file", "env", "flag")
MASK = "********"
TRUE_WORDS = frozenset({"1", "true", "yes", "on"})
FALSE_WORDS = frozenset({"0", "false", "no", "off", ""})


class ConfigError(ValueError):
    """A bad file, key or value; the message names the file and line, or the variable or flag."""


@dataclass(frozen=True)
class Entry:
    """One setting.

    ``type`` is ``str``, ``int``, ``float``, ``bool``, ``"path"`` (a string; relative
    paths in the file are taken from the file's folder) or a callable that turns a
    string into the value and raises ``ValueError``/``TypeError`` (argparse's
    ``ArgumentTypeError`` is one) for a bad one.  ``choices`` restricts the value.
    """

    name: str
    env: str | None
    type: Any
    default: Any
    secret: bool = False
    help: str = ""
    choices: tuple | None = None
    flag: str | None = None  # e.g. "--max-body-bytes"; derived from the name when None

    @property
    def option(self) -> str:
        return self.flag or "--" + self.name.replace("_", "-").replace(".", "-")


@dataclass(frozen=True)
class Resolved:
    value: Any
    source: str  # one of SOURCES
    origin: str = ""  # the file and line, the variable or the flag that set it


@dataclass
class FileValues:
    """The settings a file holds: name -> (value, line number)."""

    path: str
    values: dict = field(default_factory=dict)
    warnings: list = field(default_factory=list)


# --- conversion ---------------------------------------------------------------


def _type_name(kind) -> str:
    if kind == "path":
        return "a path"
    if kind == "list":
        return "a list of strings"
    return {str: "a string", int: "an integer", float: "a number", bool: "true or false"}.get(kind, "a value")


def _from_text(entry: Entry, text: str, where: str):
    """A value given as text (environment or flag)."""
    kind = entry.type
    try:
        if kind is bool:
            word = text.strip().lower()
            if word in TRUE_WORDS:
                value = True
            elif word in FALSE_WORDS:
                value = False
            else:
                raise ValueError(f"must be one of 1/true/yes/on or 0/false/no/off, not {text!r}")
        elif kind in (str, "path"):
            value = text
        elif kind == "list":  # a repeatable flag: comma-separated in the environment
            value = [part.strip() for part in text.split(",") if part.strip()]
        elif kind is int:
            value = int(text.strip())
        elif kind is float:
            value = float(text.strip())
        else:
            value = kind(text)
    except (ValueError, TypeError, argparse.ArgumentTypeError) as exc:
        detail = str(exc) if kind not in (int, float) else f"must be {_type_name(kind)}, not {text!r}"
        raise ConfigError(f"{where}: {detail}") from None
    return _checked(entry, value, where)


def _from_toml(entry: Entry, value, where: str, base: str):
    """A value as the TOML file typed it."""
    kind = entry.type
    ok = {
        bool: isinstance(value, bool),
        int: isinstance(value, int) and not isinstance(value, bool),
        float: isinstance(value, (int, float)) and not isinstance(value, bool),
        str: isinstance(value, str),
        "path": isinstance(value, str),
        "list": isinstance(value, list) and all(isinstance(v, str) for v in value),
    }.get(kind)
    if ok is None:  # a parsing callable: it gets the value as text, as a flag would
        if isinstance(value, (dict, list)):
            raise ConfigError(f"{where}: {entry.name} must be a single value")
        text = str(value).lower() if isinstance(value, bool) else str(value)
        return _from_text(entry, text, where)
    if not ok:
        raise ConfigError(f"{where}: {entry.name} must be {_type_name(kind)}, not {type(value).__name__} {value!r}")
    if kind is float:
        value = float(value)
    if kind == "path" and value and not os.path.isabs(value):
        value = os.path.normpath(os.path.join(base, value))
    return _checked(entry, value, where)


def _checked(entry: Entry, value, where: str):
    if entry.choices is not None and value not in entry.choices:
        allowed = ", ".join(repr(c) for c in entry.choices)
        raise ConfigError(f"{where}: {entry.name} must be one of {allowed}, not {value!r}")
    return value


# --- the file -----------------------------------------------------------------


def _flatten(table: Mapping, prefix: str = "") -> Iterable[tuple[str, Any]]:
    for key, value in table.items():
        name = prefix + key
        if isinstance(value, dict):
            yield from _flatten(value, name + ".")
        else:
            yield name, value


def _line_of(lines: list[str], name: str) -> int:
    """The line that sets ``name`` (best effort: 0 when it cannot be found)."""
    leaf = name.rsplit(".", 1)[-1]
    pattern = re.compile(r"^\s*(?:[\w.\"'-]+\.)?[\"']?" + re.escape(leaf) + r"[\"']?\s*=")
    for number, line in enumerate(lines, 1):
        if pattern.match(line):
            return number
    return 0


def load_file(path: str, entries: Iterable[Entry]) -> FileValues:
    """The settings of a TOML file, checked against ``entries``.

    An unreadable file, bad TOML, an unknown key or a value of the wrong type is a
    ConfigError naming the file (and line); nothing is half-applied.
    """
    if tomllib is None:  # pragma: no cover - 3.10 without tomli
        raise ConfigError(f"{path}: reading TOML on Python 3.10 needs the tomli package (pip install tomli)")
    table = {e.name: e for e in entries}
    try:
        with open(path, "rb") as fh:
            data = fh.read()
    except OSError as exc:
        raise ConfigError(f"cannot read configuration file {path}: {exc.strerror or exc}") from None
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as exc:
        raise ConfigError(f"{path}: not UTF-8 (byte offset {exc.start})") from None
    try:
        parsed = tomllib.loads(text)
    except tomllib.TOMLDecodeError as exc:
        raise ConfigError(f"{path}: not valid TOML: {exc}") from None
    lines = text.splitlines()
    base = os.path.dirname(os.path.abspath(path))
    out = FileValues(path)
    has_secret = False
    for name, raw in _flatten(parsed):
        line = _line_of(lines, name)
        where = f"{path} line {line}" if line else path
        entry = table.get(name)
        if entry is None:
            close = difflib.get_close_matches(name, table, n=1)
            hint = f" (did you mean {close[0]!r}?)" if close else ""
            raise ConfigError(f"{where}: unknown setting {name!r}{hint}")
        out.values[name] = (_from_toml(entry, raw, where, base), line)
        has_secret = has_secret or (entry.secret and bool(raw))
    if has_secret:
        try:
            mode = os.stat(path).st_mode
        except OSError:
            mode = 0
        if mode & (stat.S_IRGRP | stat.S_IROTH):
            out.warnings.append(f"{path} holds a secret and is readable by other users (chmod 600 {path})")
    return out


# --- layering -----------------------------------------------------------------


def resolve(
    entries: Iterable[Entry],
    *,
    file: FileValues | None = None,
    environ: Mapping[str, str] | None = None,
    flags: Mapping[str, Any] | None = None,
) -> dict[str, Resolved]:
    """Every entry's value and its source: flag > environment > file > default.

    ``flags`` holds only the flags the user gave (see ``given_flags``), already
    converted by the argument parser.  An empty environment variable counts as
    unset, so ``CORVANE_X=`` in a compose file does not wipe a file's value.
    """
    environ = settings.environ() if environ is None else environ
    flags = flags or {}
    out: dict[str, Resolved] = {}
    for entry in entries:
        result = Resolved(entry.default, "default")
        if file is not None and entry.name in file.values:
            value, line = file.values[entry.name]
            result = Resolved(value, "file", f"{file.path} line {line}" if line else file.path)
        if entry.env and environ.get(entry.env, "") != "":
            result = Resolved(_from_text(entry, environ[entry.env], entry.env), "env", entry.env)
        if entry.name in flags:
            result = Resolved(flags[entry.name], "flag", entry.option)
        out[entry.name] = result
    return out


def given_flags(namespace, entries: Iterable[Entry]) -> dict[str, Any]:
    """The flags the user gave on the command line.

    The parser's defaults for these entries must be ``None`` (the table holds
    the real defaults), so a flag left out is told apart from one given with the
    default's value.
    """
    out = {}
    for entry in entries:
        value = getattr(namespace, entry.name.replace(".", "_"), None)
        if value is not None:
            out[entry.name] = value
    return out


def values(resolved: Mapping[str, Resolved]) -> dict[str, Any]:
    return {name: r.value for name, r in resolved.items()}


def shown_value(entry: Entry, value) -> str:
    if entry.secret:
        return MASK if value else "(not set)"
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, str):
        return '""' if value == "" else value
    return str(value)


def print_config(resolved: Mapping[str, Resolved], entries: Iterable[Entry], stream: TextIO | None = None) -> None:
    """One line per setting: name, value (secrets masked) and where it came from."""
    stream = sys.stdout if stream is None else stream
    entries = list(entries)
    width = max((len(e.name) for e in entries), default=0)
    for entry in entries:
        r = resolved[entry.name]
        origin = f" ({r.origin})" if r.origin else ""
        print(f"{entry.name.ljust(width)} = {shown_value(entry, r.value)}   # {r.source}{origin}", file=stream)


def toml_template(entries: Iterable[Entry]) -> str:
    """A commented file with every key at its default: a starting point for operators."""
    lines = ["# corvane serve --config FILE; flags and environment variables override these."]
    for entry in entries:
        if entry.help:
            lines.append(f"# {entry.help}")
        env = f" (env {entry.env})" if entry.env else ""
        lines.append(f"# {entry.option}{env}")
        value = entry.default
        if entry.secret:
            literal = '""'
        elif isinstance(value, bool):
            literal = "true" if value else "false"
        elif isinstance(value, (int, float)):
            literal = repr(value)
        else:
            literal = '"' + str(value).replace("\\", "\\\\").replace('"', '\\"') + '"'
        lines.append(f"#{entry.name} = {literal}")
    return "\n".join(lines) + "\n"


def add_config_arguments(parser) -> None:
    """``--config FILE`` and ``--print-config`` on a command's parser."""
    parser.add_argument("--config", metavar="FILE", default=None,
                        help="TOML file of settings (flags and environment variables override it)")
    parser.add_argument("--print-config", action="store_true",
                        help="print every setting, its value (secrets masked) and its source, then exit")


def load(
    entries: Iterable[Entry],
    namespace,
    environ: Mapping[str, str] | None = None,
    config_env: str = "CORVANE_CONFIG",
    flags: Mapping[str, Any] | None = None,
) -> tuple[dict[str, Resolved], list[str]]:
    """The whole resolution for a parsed command line: (resolved, warnings).

    The file is ``--config`` or else the ``config_env`` variable; none is fine.
    ``flags`` are the flags given (``explicit_flags``); by default the
    namespace's values that are not None (``given_flags``).
    """
    entries = list(entries)
    environ = settings.environ() if environ is None else environ
    path = getattr(namespace, "config", None) or environ.get(config_env) or None
    file = load_file(path, entries) if path else None
    if flags is None:
        flags = given_flags(namespace, entries)
    resolved = resolve(entries, file=file, environ=environ, flags=flags)
    return resolved, (file.warnings if file else [])


ParseFn = Callable[[str], Any]


def __getattr__(name: str):
    # Tables built from an argument parser live in corvane.config_parser; their names stay reachable here.
    if name in ("entries_from_parser", "explicit_flags", "SERVE_ENV_ONLY", "serve_entries"):
        from corvane import config_parser

        return getattr(config_parser, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
