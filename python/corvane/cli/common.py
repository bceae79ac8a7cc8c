"""What every command shares: constants, reading the user's files, the data folder check,
the parser class that reports usage errors as one line."""
from __future__ import annotations

import argparse
from pathlib import Path

from corvane import settings
from corvane.cli_data import DataDir
from corvane.cli_errors import EXIT_ERROR, CliError

SAMPLE_QUESTION = "三包责任承诺"
KEY_ENV = settings.setting("llm_key").env
RANKERS = settings.RANKERS
DEBUG_ENV = settings.setting("debug").env
MAX_QUESTION_CHARS = settings.setting("ask_max_question_chars").default


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


DATA_DIR_HELP = ("the data folder (default: ./data); the commands read and write the fixed names manuals/, "
                 "trees/, scene_index.jsonl and manual_alias.json inside it")


class Parser(argparse.ArgumentParser):
    """Usage errors as one line: "corvane <command>: error: ...", exit 2."""

    def error(self, message: str):
        self.exit(EXIT_ERROR, f"{self.prog}: error: {message} (see `{self.prog} --help`)\n")


def adopt_common(parser: argparse.ArgumentParser, common: argparse.ArgumentParser) -> None:
    """Gives a command parser built elsewhere the options every command takes (--debug)."""
    have = {opt for action in parser._actions for opt in action.option_strings}
    for action in common._actions:
        if action.option_strings and not set(action.option_strings) & have:
            parser._add_action(action)
