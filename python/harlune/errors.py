"""The exceptions of a failed model call."""
from __future__ import annotations


class LLMError(Exception):
    """A failed model call.  ``status_code`` is the HTTP status when there was one."""

    def __init__(self, message: str, status_code: int | None = None) -> None:
        super().__init__(message)
        self.status_code = status_code


class LLMStatusError(LLMError):
    """The endpoint answered with HTTP status >= 400 (``status``, also ``status_code``)."""

    def __init__(self, message: str, status: int) -> None:
        super().__init__(message, status)

    @property
    def status(self) -> int:
        return self.status_code


class LLMTimeout(LLMError, TimeoutError):
    """The call's deadline passed before the exchange ended.

    It is a :class:`TimeoutError` as well, so code that tells a slow model from a
    failing one with ``except TimeoutError`` (or ``asyncio.TimeoutError``) sees it."""

    def __init__(self, message: str) -> None:
        LLMError.__init__(self, message)
