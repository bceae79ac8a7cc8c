"""The error a subcommand raises to end with a message and an exit code."""
from __future__ import annotations


class CliError(Exception):
    """``corvane <command>: error: <message>`` on stderr, then exit with ``exit_code``."""

    def __init__(self, message: str, exit_code: int = 2) -> None:
        super().__init__(message)
        self.message = message
        self.exit_code = exit_code
