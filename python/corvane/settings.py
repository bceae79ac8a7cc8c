"""Every setting of corvane in one table: its name, environment variable, type,
default and meaning.  No other Python module reads the environment.

A value comes from, lowest first: the default, a configuration file, the
environment, a command-line flag.  :func:`resolve` layers them and each value
knows where it came from (``Value.source``), so a command can say which layer
set a bad value.

Integers from the environment follow the native parser of the core (the one
that reads ``CORVANE_INDEX_THREADS`` and ``CORVANE_MAX_PROMPT_BYTES``): ASCII
digits only (no sign, no spaces, no underscores), within the setting's bounds;
an empty variable counts as unset.  :func:`parse_count` is that rule.
"""
from __future__ import annotations

import os
from dataclasses import dataclass, field
from typing import Any, Callable, Mapping

from corvane.errors import SettingError

__all__ = [
    "Setting", "Value", "SETTINGS", "RANKERS", "DEFAULT_RANKER", "setting", "parse_count", "parse_flag",
    "parse_seconds", "environ", "env", "get", "resolve", "table",
]

RANKERS = ("exact", "hybrid", "cascade")
DEFAULT_RANKER = RANKERS[0]

DEFAULT, FILE, ENVIRONMENT, FLAG = "default", "file", "environment", "flag"
SOURCES = (DEFAULT, FILE, ENVIRONMENT, FLAG)  # lowest first


def parse_count(text: str, name: str, low: int, high: int) -> int:
    """A whole number from ``low`` to ``high`` written in ASCII digits (the core's rule)."""
    if not text or not all("0" <= c <= "9" for c in text) or not low <= int(text) <= high:
        raise SettingError(f"{name} must be a whole number from {low} to {high}, not {text!r}", setting=name)
    return int(text)


def parse_flag(text: str, name: str) -> bool:
    """On unless empty or "0" (as ``CORVANE_DEBUG`` has always been read)."""
    return text not in ("", "0")


def parse_seconds(text: str, name: str) -> float:
    """A positive number of seconds."""
    try:
        value = float(text.strip())
    except ValueError:
        value = float("nan")
    if not value > 0 or value == float("inf"):
        raise SettingError(f"{name} must be a positive number of seconds, not {text!r}", setting=name)
    return value


def _text(text: str, name: str) -> str:
    return text


@dataclass(frozen=True)
class Setting:
    name: str
    env: str | None
    type: str  # "str", "secret", "count", "seconds", "flag", "choice", "path"
    default: Any
    doc: str
    low: int = 0
    high: int = 0
    choices: tuple = ()

    def parse(self, text: str, where: str | None = None) -> Any:
        """The value of ``text`` (from the environment or a file); ``where`` names it in errors."""
        label = where or self.env or self.name
        if self.type == "count":
            return parse_count(text, label, self.low, self.high)
        if self.type == "seconds":
            return parse_seconds(text, label)
        if self.type == "flag":
            return parse_flag(text, label)
        if self.type == "choice" and text not in self.choices:
            raise SettingError(f"{label} must be one of {', '.join(self.choices)}, not {text!r}", setting=label)
        return _text(text, label)


MIB = 1 << 20

SETTINGS: tuple[Setting, ...] = (
    # -- every command
    Setting("data_dir", None, "path", "data", "the data folder (--data-dir)"),
    Setting("debug", "CORVANE_DEBUG", "flag", False, "print the traceback of an error (--debug)"),
    # -- indexing (read by the native index run itself, by the same rule)
    Setting("index_threads", "CORVANE_INDEX_THREADS", "count", 0,
            "worker threads of the index run and of compiling the compiled file; unset: one per core", low=1, high=256),
    Setting("index_max_line_bytes", "CORVANE_INDEX_MAX_LINE_BYTES", "count", 256 * MIB,
            "longest scene index line the index run writes", low=1, high=256 * MIB),
    # -- prompts (read natively by the self-check loop and the engine, by the same rule)
    Setting("max_prompt_bytes", "CORVANE_MAX_PROMPT_BYTES", "count", 4 * MIB,
            "largest filled prompt template, in bytes", low=1, high=1 << 40),
    # -- the model
    Setting("llm_url", "CORVANE_LLM_URL", "str", "", "the model's chat-completions endpoint (--url)"),
    Setting("llm_key", "CORVANE_LLM_KEY", "secret", "", "the model's access key (--key)"),
    Setting("model", "HARLUNE_MODEL", "str", "default", "model name sent with each request"),
    Setting("model_deadline", "HARLUNE_TIMEOUT", "seconds", 120.0,
            "seconds one model exchange may take (the client's default)"),
    Setting("max_reply_bytes", "HARLUNE_MAX_REPLY_BYTES", "count", 16 * MIB,
            "largest model reply accepted", low=1, high=1 << 40),
    # -- ask
    Setting("ranker", None, "choice", DEFAULT_RANKER, "how scenes are ranked (--ranker)", choices=RANKERS),
    Setting("ask_max_question_chars", None, "count", 4000, "longest question `ask` takes", low=1, high=1 << 40),
    # -- serve
    Setting("api_token", "CORVANE_API_TOKEN", "secret", "", "bearer token the service requires; empty: none"),
    Setting("serve_options", "CORVANE_SERVE_OPTIONS", "str", "",
            "internal: the options the serve parent hands to its worker processes"),
    Setting("host", None, "str", "127.0.0.1", "address the service binds (--host)"),
    Setting("port", None, "count", 8000, "port of the service (--port)", low=0, high=65535),
    Setting("workers", None, "count", 1, "worker processes of the service (--workers)", low=1, high=1024),
    Setting("serve_model_timeout", None, "seconds", 60.0, "limit of one model call of the service (--model-timeout)"),
    Setting("serve_max_question_chars", None, "count", 2000, "longest question the service takes", low=1,
            high=1 << 40),
    Setting("max_body_bytes", None, "count", 64 * 1024, "largest request body (--max-body-bytes)", low=1,
            high=1 << 40),
    Setting("max_top_k", None, "count", 50, "largest top_k of a request", low=1, high=1 << 20),
    Setting("reload_interval", None, "seconds", 1.0, "how often the service looks for a rebuilt index"),
    Setting("shutdown_timeout", None, "seconds", 30.0, "how long requests may take to finish on SIGTERM"),
    # -- serve: deployment layers
    Setting("keys_file", "CORVANE_KEYS_FILE", "path", "",
            "API keys file of the service (--keys-file; `corvane keys add`); empty: the token only"),
    Setting("config", "CORVANE_CONFIG", "path", "", "TOML file of serve's settings (--config)"),
    Setting("database", "CORVANE_DATABASE", "str", "",
            "URL or file of the feedback store (--database); empty: the command's default"),
    Setting("releases_dir", "CORVANE_RELEASES_DIR", "path", "",
            "the releases folder (--releases); empty: DATA_DIR/releases"),
    Setting("prometheus_multiproc_dir", "PROMETHEUS_MULTIPROC_DIR", "path", "",
            "metrics folder shared by worker processes (set by serve when it starts several)"),
)

_BY_NAME = {s.name: s for s in SETTINGS}
_BY_ENV = {s.env: s for s in SETTINGS if s.env}


def setting(name: str) -> Setting:
    try:
        return _BY_NAME[name]
    except KeyError:
        raise KeyError(f"no setting named {name!r}") from None


@dataclass(frozen=True)
class Value:
    value: Any
    source: str = DEFAULT
    where: str = field(default="")  # the variable, file or flag it came from


def environ() -> Mapping[str, str]:
    """The process environment (the mapping every layered read and serve's hand-over use)."""
    return os.environ


def env(name: str, environ: Mapping[str, str] | None = None) -> Value:
    """The setting ``name`` from the environment, else its default."""
    s = setting(name)
    environ = os.environ if environ is None else environ
    if s.env is not None:
        text = environ.get(s.env)
        if text:
            return Value(s.parse(text), ENVIRONMENT, s.env)
    return Value(s.default, DEFAULT)


def get(name: str, environ: Mapping[str, str] | None = None) -> Any:
    """The value of ``name`` from the environment, else its default."""
    return env(name, environ).value


def raw_env(name: str, environ: Mapping[str, str] | None = None) -> str | None:
    """The unparsed text of ``name``'s variable (None when unset), for settings read natively."""
    s = setting(name)
    return (os.environ if environ is None else environ).get(s.env) if s.env else None


def resolve(names=None, *, file: Mapping[str, Any] | None = None, file_name: str = "",
            flags: Mapping[str, Any] | None = None,
            environ: Mapping[str, str] | None = None) -> dict[str, Value]:
    """Each setting layered: default < file < environment < flag.

    ``file`` maps setting names to values already typed (from a configuration
    file; strings are parsed as the environment's are); ``flags`` maps names
    to values of given flags (None for a flag not given)."""
    out: dict[str, Value] = {}
    for name in (names if names is not None else _BY_NAME):
        s = setting(name)
        v = Value(s.default, DEFAULT)
        if file and name in file:
            raw = file[name]
            v = Value(s.parse(raw, f"{file_name}: {name}") if isinstance(raw, str) else raw, FILE, file_name)
        e = env(name, environ)
        if e.source == ENVIRONMENT:
            v = e
        if flags and flags.get(name) is not None:
            v = Value(flags[name], FLAG, name)
        out[name] = v
    return out


def table() -> str:
    """The settings as a Markdown table (docs/settings.md is generated from it)."""
    rows = ["| setting | environment | type | default | meaning |", "|---|---|---|---|---|"]
    for s in SETTINGS:
        default = "" if s.type == "secret" else repr(s.default)
        rows.append(f"| `{s.name}` | {('`' + s.env + '`') if s.env else ''} | {s.type} | {default} | {s.doc} |")
    return "\n".join(rows)


# What `serve --config FILE` reads besides serve's own flags: the settings the service
# takes from the environment.  A file's value of one of them reaches the service (and its
# worker processes) as that variable, which the environment, when set, already overrides.
SERVE_ENV_SETTINGS = ("api_token", "llm_url", "llm_key", "model", "model_deadline", "max_reply_bytes",
                      "max_prompt_bytes")


def config_entries(serve_parser) -> list:
    """The keys of `serve --config FILE`, as corvane.config_file entries: one per flag of
    ``serve_parser`` (its environment variable ``CORVANE_<FLAG>``, or the one this table
    gives the setting of the same name) and one per environment setting of the service."""
    from corvane import config_file, config_parser

    entries = []
    for entry in config_parser.entries_from_parser(serve_parser, skip=("help", "config", "print_config", "run",
                                                                        "debug")):
        known = _BY_NAME.get(entry.name)
        changes = {}
        if known is not None and known.env:
            changes["env"] = known.env
        if known is not None and known.type == "path" or entry.name == "data_dir":
            changes["type"] = "path"
        if known is not None and known.type == "secret":
            changes["secret"] = True
        if entry.default is None:  # a limit the service works out itself (it may depend on the host)
            changes["default"] = _service_default(entry.name)
        entries.append(config_file.Entry(**{**entry.__dict__, **changes}) if changes else entry)
    have = {e.name for e in entries}
    for name in SERVE_ENV_SETTINGS:
        if name in have:
            continue
        s = _BY_NAME[name]
        kind = "path" if s.type == "path" else str if s.type in ("str", "secret") else _parser_of(s)
        entries.append(config_file.Entry(name, s.env, kind, s.default, secret=s.type == "secret", help=s.doc))
    return entries


def _parser_of(s: Setting) -> Callable[[str], Any]:
    def parse(text: str) -> Any:
        return s.parse(text.strip())

    return parse


def _service_default(name: str) -> Any:
    try:
        from corvane.service.config import LIMITS_BY_NAME, default_of
    except ImportError:
        return None
    if name not in LIMITS_BY_NAME:
        return None
    value = default_of(name)
    return list(value) if isinstance(value, tuple) else value


Parser = Callable[[str, str], Any]
