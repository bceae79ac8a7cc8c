"""The JSON error body every endpoint uses: {"error": {"code", "message", "field"?}}."""
from __future__ import annotations


def error_body(code: str, message: str, field: str | None = None, **extra) -> dict:
    error = {"code": code, "message": message}
    if field is not None:
        error["field"] = field
    error.update(extra)
    return {"error": error}
