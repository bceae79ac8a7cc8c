"""Conversations: the turns so far and the rewrite of a follow-up question
into one retrieval can answer on its own.

"那它怎么关闭？" after "自适应巡航怎么开启" retrieves nothing useful by itself.
``QueryRewriter.rewrite(question, history)`` returns the question to search
with:

* with a model (``model``: an async callable taking the rewrite prompt and
  returning the reply text), the model rewrites the follow-up with a short
  prompt; replies are cached per (history, question), and a failed, empty
  or runaway reply falls back to the rule below;
* without one, a follow-up (it refers back -- 它, 这个, 那… -- or holds no
  topic words of its own) carries the previous turn's topic: the title of
  the scene that turn was answered from when known, else the topic words of
  its (resolved) question.

A question that stands on its own is returned unchanged either way.
"""
from __future__ import annotations

import asyncio
import re
from collections import OrderedDict
from dataclasses import dataclass, field
from typing import Any, Awaitable, Callable, Iterable, Mapping, Sequence

__all__ = ["Turn", "Conversation", "QueryRewriter", "parse_history", "is_follow_up", "topic_terms",
           "carry_topic", "fill_topic", "resolve_query", "REWRITE_PROMPT", "HistoryError"]

Model = Callable[[str], Awaitable[str]]

MAX_TURNS = 8
# A question whose own topic words are this short ("能自己换吗" -> 自己换) is
# taken as a follow-up: on its own it names no part or function.
SHORT_TOPIC = 4
MAX_REWRITE_CHARS = 200

REWRITE_PROMPT = (
    "你是汽车用户手册检索助手。根据对话历史，把用户最新的问题改写成一个不依赖上下文、可以单独检索的完整问题。"
    "只输出改写后的问题，不要解释；如果问题本身已经完整，原样输出。\n"
    "对话历史：\n{history}\n最新问题：{question}\n改写后的问题："
)

# Words that refer back to an earlier turn.
_ANAPHORA = ("它", "它们", "这个", "那个", "这些", "那些", "这种", "那种", "这样", "该功能", "此功能", "上述",
             "刚才", "前面", "其")
_LEADS = ("那", "那么", "还有", "另外", "然后", "再问", "如果")
# Question and filler words: never a topic.
QUESTION_WORDS = (
    "怎么样", "怎么办", "怎么", "怎样", "咋调", "咋办", "咋弄", "咋", "如何", "什么", "为什么", "为啥", "哪里",
    "哪儿", "哪个", "哪些", "在哪", "多少", "多久", "多长时间", "几次", "几个", "是否", "能不能", "可不可以",
    "可以", "能否", "需要", "要不要", "有没有", "吗", "呢", "吧", "啊", "呀", "请问", "一下", "我想", "我要",
    "想", "要", "的", "了", "是", "有", "会", "能", "该", "应该", "我", "你", "还", "也", "又", "再", "呢？",
)
_PUNCT = re.compile(r"[\s\?？!！,，.。、;；:：\"'“”‘’()（）\[\]【】<>《》~…-]+")


class HistoryError(ValueError):
    """A history that cannot be used; the message names the turn and field."""


@dataclass
class Turn:
    question: str
    answer: str | None = None
    topic: str | None = None  # the title of the scene the turn was answered from
    resolved: str | None = None  # the question the turn was searched with

    def to_json(self) -> dict[str, Any]:
        return {k: v for k, v in (("question", self.question), ("answer", self.answer),
                                  ("topic", self.topic), ("resolved", self.resolved)) if v is not None}


def parse_history(raw: Any, *, field_name: str = "history", max_turns: int = MAX_TURNS) -> list[Turn]:
    """Turns from a request body: a list of ``{question, answer?, topic?}``
    objects, or chat messages ``{role: user|assistant, content}``.  Only the
    last ``max_turns`` turns are kept."""
    if raw is None:
        return []
    if not isinstance(raw, list):
        raise HistoryError(f"{field_name}: must be a list of turns, not {type(raw).__name__}")
    turns: list[Turn] = []
    for i, item in enumerate(raw):
        where = f"{field_name}[{i}]"
        if not isinstance(item, Mapping):
            raise HistoryError(f"{where}: must be an object, not {type(item).__name__}")
        if "role" in item:
            role, content = item.get("role"), item.get("content")
            if role not in ("user", "assistant") or not isinstance(content, str):
                raise HistoryError(f"{where}: a message needs role 'user' or 'assistant' and text 'content'")
            if role == "user":
                turns.append(Turn(content))
            elif turns and turns[-1].answer is None:
                turns[-1].answer = content
            continue
        q = item.get("question")
        if not isinstance(q, str):
            raise HistoryError(f"{where}.question: must be a string")
        for key in ("answer", "topic", "resolved"):
            if item.get(key) is not None and not isinstance(item.get(key), str):
                raise HistoryError(f"{where}.{key}: must be a string")
        unknown = set(item) - {"question", "answer", "topic", "resolved"}
        if unknown:
            raise HistoryError(f"{where}.{sorted(unknown)[0]}: not a turn field (question, answer, topic)")
        turns.append(Turn(q, item.get("answer"), item.get("topic"), item.get("resolved")))
    return turns[-max_turns:] if max_turns else []


def _strip_words(text: str, words: Iterable[str]) -> str:
    for w in sorted(words, key=len, reverse=True):
        text = text.replace(w, " ")
    return text


def topic_terms(question: str) -> list[str]:
    """The question's words once question words, pronouns and punctuation
    are taken out: "自适应巡航怎么开启" -> ["自适应巡航", "开启"]."""
    text = _PUNCT.sub(" ", question)
    text = _strip_words(text, _ANAPHORA + QUESTION_WORDS)
    return [t for t in text.split() if len(t) >= 2 or t.isascii() and t.isalnum()]


def is_follow_up(question: str) -> bool:
    """True when the question refers back to an earlier turn or holds too
    little topic of its own to be searched alone."""
    q = _PUNCT.sub("", question)
    if any(a in q for a in _ANAPHORA):
        return True
    terms = topic_terms(question)
    size = sum(len(t) for t in terms)
    if q.startswith(_LEADS) and size <= 6:
        return True
    return size <= SHORT_TOPIC


def carry_topic(question: str, history: Sequence[Turn]) -> str:
    """The rule without a model: a follow-up gets the previous turn's topic."""
    if not history or not is_follow_up(question):
        return question
    return _carry(question, history)


def _carry(question: str, history: Sequence[Turn]) -> str:
    last = history[-1]
    words = topic_terms(last.resolved or last.question)
    if last.topic:
        # the scene's title, and the question's own words the title lacks (the
        # scene retrieved may have been the wrong one)
        words = [last.topic] + [w for w in words if w not in last.topic]
    topic = " ".join(dict.fromkeys(words))
    return f"{topic} {question}" if topic else question


def fill_topic(history: Sequence[Turn], search: Callable[[str], str | None]) -> None:
    """Gives the last turn a topic when the client sent none: ``search(q)``
    returns the title of the best scene for a question (or None).  Later
    turns carry it further through their ``resolved`` question."""
    if history and not history[-1].topic:
        last = history[-1]
        last.topic = search(last.resolved or last.question) or None


async def resolve_query(question: str, history: Sequence[Turn], rewriter: "QueryRewriter",
                        search: Callable[[str], Sequence] | None = None,
                        strong: Callable[[Sequence], bool] = bool) -> str:
    """The question to search with in a conversation.

    A follow-up by its words (``is_follow_up``) is rewritten.  Many follow-ups
    hold no pronoun ("建议设多少", "能自己换吗"), so with ``search`` (the
    question -> hits of the ranker) a question that finds nothing ``strong``
    on its own is rewritten too, while one that does is kept: an owner who
    changes the subject is not dragged back to the previous topic.  For the
    exact ranker pass ``strong=lambda hits: bool(hits) and hits[0][1] >= 12``
    (a title or alias match); the hybrid ranker already returns nothing for
    a question it cannot answer."""
    if not history:
        return question
    if rewriter.model is None and not is_follow_up(question) and search is not None:
        if strong(search(question)):
            return question
        return _carry(question, history)
    return await rewriter.rewrite(question, history)


def _history_text(history: Sequence[Turn]) -> str:
    lines = []
    for t in history:
        lines.append(f"用户：{t.question}")
        if t.answer:
            answer = t.answer if len(t.answer) <= 300 else t.answer[:300] + "…"
            lines.append(f"助手：{answer}")
    return "\n".join(lines)


def _clean_reply(reply: Any) -> str | None:
    if not isinstance(reply, str):
        return None
    text = reply.strip().splitlines()[0].strip() if reply.strip() else ""
    text = re.sub(r"^(改写后的问题|问题)[:：]\s*", "", text).strip().strip("\"'“”「」")
    if not text or len(text) > MAX_REWRITE_CHARS:
        return None
    return text


class QueryRewriter:
    """Rewrites follow-ups for retrieval; see the module documentation."""

    def __init__(self, model: Model | None = None, *, cache_size: int = 512, timeout: float | None = 10.0):
        self.model = model
        self.timeout = timeout
        self._cache: OrderedDict[tuple, str] = OrderedDict()
        self._cache_size = cache_size
        self.model_calls = 0
        self.model_failures = 0

    async def rewrite(self, question: str, history: Sequence[Turn] = ()) -> str:
        if not history:
            return question
        if self.model is None:
            return carry_topic(question, history)
        key = (tuple((t.question, t.answer, t.topic) for t in history), question)
        if key in self._cache:
            self._cache.move_to_end(key)
            return self._cache[key]
        prompt = REWRITE_PROMPT.format(history=_history_text(history), question=question)
        self.model_calls += 1
        try:
            call = self.model(prompt)
            reply = await (asyncio.wait_for(call, self.timeout) if self.timeout else call)
        except asyncio.CancelledError:
            raise
        except Exception:
            self.model_failures += 1
            return carry_topic(question, history)  # not cached: the model may answer next time
        text = _clean_reply(reply)
        if text is None:
            self.model_failures += 1
            return carry_topic(question, history)
        self._cache[key] = text
        if len(self._cache) > self._cache_size:
            self._cache.popitem(last=False)
        return text


@dataclass
class Conversation:
    """The turns of one conversation (a page tab, an app session)."""

    turns: list[Turn] = field(default_factory=list)
    max_turns: int = MAX_TURNS

    def add(self, question: str, answer: str | None = None, *, topic: str | None = None,
            resolved: str | None = None) -> Turn:
        turn = Turn(question, answer, topic, resolved)
        self.turns.append(turn)
        del self.turns[:-self.max_turns]
        return turn

    async def resolve(self, question: str, rewriter: QueryRewriter) -> str:
        return await rewriter.rewrite(question, self.turns)

    def to_json(self) -> list[dict[str, Any]]:
        return [t.to_json() for t in self.turns]
