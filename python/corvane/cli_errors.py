"""The error type of the command line (kept for old imports; see corvane.errors).

A command raises ``CliError(message, exit_code)`` for anything the user can put
right; the command line prints it as the one line
``corvane <command>: error: <message>`` on stderr and exits with ``exit_code``.
"""
from __future__ import annotations

from corvane.errors import EXIT_ERROR, EXIT_INTERRUPTED, EXIT_NO_RESULT, EXIT_OK, CorvaneError

__all__ = ["CliError", "EXIT_OK", "EXIT_NO_RESULT", "EXIT_ERROR", "EXIT_INTERRUPTED"]


class CliError(CorvaneError):
    """A user-caused failure of a command: one line of text and an exit code."""

    def __init__(self, message: str, exit_code: int = EXIT_ERROR, **kw):
        super().__init__(message, **kw)
        self.exit_code = exit_code
