"""Prompt generation: the answer prompt and the prompt self-check loop."""
import datetime
import zoneinfo
from collections.abc import Callable, Coroutine
from typing import Any

from tqdm import trange as trange

from harlune import llm_response as llm_response

beijing_tz: zoneinfo.ZoneInfo
"""The time zone "Asia/Shanghai"."""

now_beijing: datetime.datetime
"""The time in beijing_tz when the module was loaded."""

TRIES: int
check_replies: bool
"""When true, every model reply is checked before the loop acts on it: a JSON
object holding the keys the loop reads ("is_ok" true or false, "new_prompt" a
str); anything else raises ReplyError naming the key, the reply and the cycle."""
class ReplyError(ValueError): ...
"""Tries per self-check cycle (5); each cycle starts from this count."""

def build_prompt(user_input: object, context_text: object) -> str:
    """The answer prompt for a question and its knowledge; non-str values use their repr."""

def generate_ai_prompt(
    prompt_path: str,
    user_input: object,
    knowledges: object,
    base_rules: str = "",
    llm_url: str = "",
    llm_key: str = "",
) -> Coroutine[Any, Any, bool]:
    """Improves the prompt file with the model in up to 8 self-check cycles.

    Arguments are checked at the call.  The returned coroutine calls the module's
    `llm_response` for every model call and its `_clock` once at the start; the
    prompt file is read and replaced (atomically) as UTF-8.  Awaited, it gives True
    when the judge accepted an answer.  A cycle whose filled prompt would pass
    CORVANE_MAX_PROMPT_BYTES (default 4 MiB) fails the call with ValueError before
    that cycle's model call, the prompt file as last written.
    """

_clock: Callable[[], datetime.datetime]
"""The current time; read once at the start of every generate_ai_prompt call."""
