"""The error type of the command line.

A command raises ``CliError(message, exit_code)`` for anything the user can put
right; ``corvane.__main__`` prints it as the one line
``corvane <command>: error: <message>`` on stderr and exits with ``exit_code``.

Exit codes: 0 ok; 1 a "no result" outcome (self-check: every cycle rejected);
2 user, input or model error; 130 interrupted (Ctrl-C).
"""
from __future__ import annotations

__all__ = ["CliError", "EXIT_OK", "EXIT_NO_RESULT", "EXIT_ERROR", "EXIT_INTERRUPTED"]

EXIT_OK = 0
EXIT_NO_RESULT = 1
EXIT_ERROR = 2
EXIT_INTERRUPTED = 130


class CliError(Exception):
    """A user-caused failure of a command: one line of text and an exit code."""

    def __init__(self, message: str, exit_code: int = EXIT_ERROR):
        super().__init__(message)
        self.message = message
        self.exit_code = exit_code

    def __str__(self) -> str:
        return self.message
