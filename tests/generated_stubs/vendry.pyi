import datetime
import zoneinfo


beijing_tz: zoneinfo.ZoneInfo = ...

now_beijing: datetime.datetime = ...

TRIES: int = 5

check_replies: bool = False

class ReplyError(ValueError):
    pass

def build_prompt(user_input: object | None, context_text: object | None) -> str: ...

def generate_ai_prompt(prompt_path: object | None, user_input: object | None, knowledges: object | None, base_rules: object | None = '', llm_url: object | None = '', llm_key: object | None = '') -> object: ...
