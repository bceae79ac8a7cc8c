"""corvane's exceptions, and the one table that maps an exception to a command's
exit code and to an HTTP status.

Every exception here subclasses the built-in a caller would already catch
(``ValueError`` for bad data or settings, ``FileNotFoundError`` for a missing
index, ...), so code written against the built-ins keeps working, and carries
the file and line it is about where known.  Commands print any of them as one
line ``corvane <command>: error: <message>`` (:func:`error_line`).
"""
from __future__ import annotations

__all__ = [
    "CorvaneError", "SettingError", "DataError", "IndexMissingError", "IndexUnusableError", "EngineError",
    "RankerUnavailableError", "PromptTooLargeError", "RequestError", "PayloadTooLargeError", "UsageError",
    "NoResult", "EXIT_OK", "EXIT_NO_RESULT", "EXIT_ERROR", "EXIT_INTERRUPTED", "EXIT_CLOSED_STDOUT",
    "exit_code", "http_status", "error_line", "where",
]

EXIT_OK = 0
EXIT_NO_RESULT = 1  # a run that worked but found nothing acceptable (self-check: every cycle rejected)
EXIT_ERROR = 2  # a usage, input, file or model error
EXIT_INTERRUPTED = 130  # Ctrl-C
EXIT_CLOSED_STDOUT = 141  # stdout closed early (as a program ended by SIGPIPE)


def where(path: str | None = None, line: int | None = None) -> str:
    """"path, line N" (either part may be missing)."""
    parts = [p for p in (path, f"line {line}" if line is not None else None) if p]
    return ", ".join(parts)


class CorvaneError(Exception):
    """Base of corvane's own errors: a message, and the file and line it is about."""

    exit_code = EXIT_ERROR
    http_status = 500

    def __init__(self, message: str, *, path: str | None = None, line: int | None = None, **extra):
        super().__init__(message)
        self.message = message
        self.path = path
        self.line = line
        for k, v in extra.items():
            setattr(self, k, v)

    def __str__(self) -> str:
        return self.message


class SettingError(CorvaneError, ValueError):
    """A setting (environment variable, configuration file entry, flag) with a bad value."""

    def __init__(self, message: str, *, setting: str | None = None, **kw):
        super().__init__(message, **kw)
        self.setting = setting


class DataError(CorvaneError, ValueError):
    """A data file (manual, alias file, scene index line) that cannot be used."""


class IndexMissingError(CorvaneError, FileNotFoundError):
    """No scene index in the data folder (``corvane index`` makes one)."""

    http_status = 503


class IndexUnusableError(DataError):
    """The scene index exists but cannot be served (corrupt, or no scene in it)."""

    http_status = 503


class EngineError(CorvaneError, RuntimeError):
    """The engine cannot serve the request (closed, say)."""

    http_status = 503


class RankerUnavailableError(CorvaneError, ValueError):
    """A ranker that is not there (unknown name, or its data could not be read)."""

    http_status = 503


class PromptTooLargeError(CorvaneError, ValueError):
    """A filled prompt that would pass CORVANE_MAX_PROMPT_BYTES."""

    http_status = 413


class RequestError(CorvaneError, ValueError):
    """A request (HTTP body, command argument) with a bad field; ``field`` names it."""

    http_status = 422


class PayloadTooLargeError(RequestError):
    http_status = 413


class UsageError(CorvaneError, ValueError):
    """A command used wrongly (conflicting options, say)."""


class NoResult(CorvaneError):
    """A run that worked but has no result to give (exit 1)."""

    exit_code = EXIT_NO_RESULT


def _named(exc: BaseException, *names: str) -> bool:
    return any(c.__name__ in names for c in type(exc).__mro__)


def exit_code(exc: BaseException) -> int:
    """The exit code of a command that ends with ``exc``."""
    if isinstance(exc, KeyboardInterrupt):
        return EXIT_INTERRUPTED
    if isinstance(exc, BrokenPipeError):
        return EXIT_CLOSED_STDOUT
    code = getattr(exc, "exit_code", None)
    return code if isinstance(code, int) else EXIT_ERROR


def http_status(exc: BaseException) -> int:
    """The HTTP status of a request that ends with ``exc``."""
    status = getattr(exc, "http_status", None)
    if isinstance(status, int):
        return status
    if _named(exc, "LLMTimeout") or isinstance(exc, TimeoutError):
        return 504
    if _named(exc, "LLMError"):
        return 502
    if isinstance(exc, FileNotFoundError):
        return 503
    return 500


def error_line(command: str, exc: BaseException | str) -> str:
    """The one line a command prints for an error."""
    return f"corvane {command}: error: {exc}"
