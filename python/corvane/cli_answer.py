"""`corvane ask --answer`: the model's answer to the answer prompt, and its sources.

The model is an OpenAI-compatible chat-completions endpoint reached with
harlune: its address comes from --url or CORVANE_LLM_URL, the access key from
--key or CORVANE_LLM_KEY, the model name from HARLUNE_MODEL (harlune reads it,
as it reads HARLUNE_TIMEOUT).  The plain output streams the answer as it
arrives, then lists the scenes the prompt showed; --json waits for the whole
answer and prints one object.
"""
from __future__ import annotations

import argparse
import contextlib
import json
import sys
from dataclasses import dataclass, field
from typing import TextIO

from corvane.cli_errors import EXIT_OK, CliError

from corvane import settings

URL_ENV = settings.setting("llm_url").env
KEY_ENV = settings.setting("llm_key").env
SOURCES_HEADING = "Sources:"
NO_SOURCES = "Sources: none (no scene of the index matched the question)"


@dataclass(frozen=True)
class Model:
    url: str
    key: str = field(repr=False)


def model_settings(args: argparse.Namespace) -> Model:
    """The model's address and key; a missing address is a CliError."""
    url = args.url if args.url is not None else settings.get("llm_url")
    if not url.strip():
        raise CliError(f"--answer needs the model's address: pass --url URL or set {URL_ENV}")
    key = args.key if args.key is not None else settings.get("llm_key")
    return Model(url.strip(), key)


def _end_line(written: list[str], out: TextIO) -> None:
    """Ends a partly written answer's line, so a message after it starts on its own line."""
    if written and not written[-1].endswith("\n"):
        with contextlib.suppress(OSError, ValueError):
            out.write("\n")
            out.flush()


def stream_answer(model: Model, prompt: str, out: TextIO) -> str:
    """Writes the model's answer to `out` piece by piece as it arrives; returns it whole.

    A model failure is a CliError (after the line of what was written is ended); Ctrl-C
    cancels the request, which closes the connection, and goes on as KeyboardInterrupt."""
    import asyncio

    from harlune import LLMError, chat_stream

    written: list[str] = []

    async def run() -> None:
        async with contextlib.aclosing(chat_stream(model.url, model.key, prompt)) as pieces:
            async for piece in pieces:
                written.append(piece)
                out.write(piece)
                out.flush()

    try:
        asyncio.run(run())
    except LLMError as e:
        _end_line(written, out)
        raise CliError(str(e)) from e
    except KeyboardInterrupt:
        _end_line(written, out)
        raise
    return "".join(written)


def whole_answer(model: Model, prompt: str) -> str:
    import asyncio

    from harlune import LLMError, chat

    try:
        return asyncio.run(chat(model.url, model.key, prompt))
    except LLMError as e:
        raise CliError(str(e)) from e


def answer_with_model(model: Model, prompt: str, question: str, intent: str, scenes: list, *,
                      as_json: bool, ranker: str) -> int:
    """Sends the prompt to the model and prints the answer and its sources (`scenes`:
    scene_id, manual_id, title and score of each scene the prompt showed)."""
    if as_json:
        text = whole_answer(model, prompt)
        print(json.dumps({"question": question, "intent": intent, "answer": text, "sources": scenes,
                          "ranker": ranker}, ensure_ascii=False))
    else:
        text = stream_answer(model, prompt, sys.stdout)
        if text and not text.endswith("\n"):
            print()
        print()
        if scenes:
            print(SOURCES_HEADING)
            for scene in scenes:
                print(f"- {scene['manual_id']}: {scene['title']}")
        else:
            print(NO_SOURCES)
    if not text.strip():
        print("corvane ask: warning: the model's answer is empty", file=sys.stderr)
    return EXIT_OK
