"""Checks the model's replies before the self-check loop reads them.

The loop reads fixed keys of each reply and takes "is_ok" by its truth value,
so a reply without a key ends it with a bare KeyError and an "is_ok" of
"false" (a string) counts as accepted.  The command puts this checker between
the loop and the model client: every reply must hold the keys the loop is
about to read, "is_ok" must be true or false and "new_prompt" text; anything
else stops the run with one clear error before the loop acts on the reply
(and before the prompt file is rewritten).

The loop's calls come in a fixed order, which the checker follows: per cycle
the answer, the judge and, when the judge rejects, up to TRIES checks; the
checks end when one accepts, and "new_prompt" is then read from the last one.
"""
from __future__ import annotations

from typing import Any, Awaitable, Callable

from corvane.cli_errors import CliError

TRIES = 5

ANSWER, JUDGE, CHECK = "answer", "judge", "check"


class ReplyError(CliError):
    """A model reply the self-check loop cannot use."""


def _type_name(value: Any) -> str:
    return {str: "a string", bool: "a boolean", int: "a number", float: "a number", list: "an array",
            dict: "an object", type(None): "null"}.get(type(value), type(value).__name__)


class CheckedReplies:
    """Wraps ``llm_response(url, key, prompt)`` for one self-check run."""

    def __init__(self, call: Callable[[str, str, str], Awaitable[Any]], tries: int = TRIES):
        self._call = call
        self._tries = tries
        self.stage = ANSWER
        self.cycle = 0
        self.try_no = 0

    async def __call__(self, url, key, prompt):
        stage = self.stage
        if stage == ANSWER:
            self.cycle += 1
        elif stage == CHECK:
            self.try_no += 1
        reply = await self._call(url, key, prompt)
        where = f"{stage} reply, cycle {self.cycle}" + (f", check {self.try_no}" if stage == CHECK else "")
        if not isinstance(reply, dict):
            raise ReplyError(f"model reply is {_type_name(reply)}, not a JSON object ({where})")

        def need(name: str, kind: type | None = None) -> Any:
            if name not in reply:
                raise ReplyError(f'model reply lacks "{name}" ({where})')
            value = reply[name]
            if kind is not None and not isinstance(value, kind):
                wanted = "true or false" if kind is bool else _type_name(kind())
                raise ReplyError(f'model reply has "{name}" {_type_name(value)}, not {wanted} ({where})')
            return value

        if stage == ANSWER:
            need("answer")
            need("reason")
            self.stage = JUDGE
        elif stage == JUDGE:
            if need("is_ok", bool):
                self.stage = ANSWER
            else:
                need("reason")
                self.stage, self.try_no = CHECK, 0
        else:
            ok = need("is_ok", bool)
            if not ok:
                need("new_suggestions")
            if ok or self.try_no >= self._tries:
                need("new_prompt", str)
                self.stage = ANSWER
        return reply
