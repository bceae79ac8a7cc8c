"""The answer object: everything one question's answer needs, from one search."""
from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

__all__ = ["Answer", "Hit"]


@dataclass(frozen=True)
class Hit:
    """One scene found for a question: its index entry and its score."""

    record: dict = field(repr=False)  # the scene index entry, as load_scene_index gives it
    score: Any  # int (exact ranker) or float (hybrid ranker)
    path: tuple = ()  # the scene's heading path in its manual, outermost first (() when unknown)
    tables: tuple = ()  # the scene's tables: {"line", "header", "rows"} dicts (() when unknown)

    @property
    def scene_id(self) -> str | None:
        return self.record.get("scene_id")

    @property
    def manual_id(self) -> str | None:
        return self.record.get("manual_id")

    @property
    def title(self) -> str | None:
        return self.record.get("scene_title")

    def source(self) -> dict:
        """The scene as commands and the service list it."""
        return {"scene_id": self.scene_id, "manual_id": self.manual_id, "title": self.title, "score": self.score}

    def __iter__(self):  # (record, score), as Engine.search gives a hit
        return iter((self.record, self.score))


@dataclass(frozen=True)
class Answer:
    question: str
    intent: str
    ranker: str
    hits: list  # [Hit], best first
    knowledge: dict = field(repr=False)  # the matched record the prompt shows
    prompt: str = field(repr=False)
    contexts: list = field(repr=False)  # each hit's context text, as given to the model

    @property
    def sources(self) -> list:
        return [h.source() for h in self.hits]
