"""Driver shared by the Python-level fuzz targets.

A target module defines ``check(data: bytes)``, which raises on a broken
invariant.  ``run(check)`` fuzzes it with atheris when that is installed (the
arguments are libFuzzer's: a corpus folder, ``-max_total_time=N``,
``-runs=N``...); without atheris it feeds it random and mutated corpus inputs
from hypothesis for ``-max_total_time`` seconds (default 10).
"""
from __future__ import annotations

import importlib
import os
import shutil
import sys
import tempfile
import time


def scratch_and_import(name: str, module: str):
    """A fresh scratch folder for one target (in memory where possible) and
    corvane.<module> imported from it with an empty alias map.  libFuzzer ends
    the process without running exit handlers, so the next run clears it."""
    base = "/dev/shm" if os.path.isdir("/dev/shm") else tempfile.gettempdir()
    work = os.path.join(base, f"corvane-fuzz-{name}-{os.getuid()}")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(os.path.join(work, "data"))
    with open(os.path.join(work, "data", "manual_alias.json"), "w") as f:
        f.write("{}")
    cwd = os.getcwd()
    os.chdir(work)  # the modules read data/ of the working folder at import
    try:
        return work, importlib.import_module(f"corvane.{module}")
    finally:
        os.chdir(cwd)


class Bytes:
    """Reads small values off the fuzz input; past the end everything is 0."""

    def __init__(self, data: bytes) -> None:
        self.data = data
        self.pos = 0

    def byte(self) -> int:
        if self.pos >= len(self.data):
            return 0
        self.pos += 1
        return self.data[self.pos - 1]

    def more(self) -> bool:
        return self.pos < len(self.data)

    def take(self, n: int) -> bytes:
        out = self.data[self.pos : self.pos + n]
        self.pos += len(out)
        return out

    def text(self, max_len: int) -> str:
        """Up to max_len characters from a mix of alphabets, lone surrogates included."""
        out = []
        for _ in range(self.byte() % (max_len + 1)):
            kind = self.byte() % 8
            b = self.byte()
            if kind < 3:
                out.append(chr(b % 128))
            elif kind < 5:
                out.append(chr(0x4E00 + b * 37 % 0x5000))
            elif kind == 5:
                out.append(" \t\n\r\x00\x1f\x7f\x85\xa0\u2028\u3000\ufeff\u200b\U0001F600\ud800\udfff"[b % 16])
            else:
                out.append(chr((b << 8 | self.byte()) % 0x110000))
        return "".join(out)


def _arg(argv: list[str], name: str, default: float) -> float:
    for a in argv:
        if a.startswith(f"-{name}="):
            return float(a.split("=", 1)[1])
    return default


def _corpus(argv: list[str]) -> list[bytes]:
    out = []
    for a in argv:
        if not a.startswith("-") and os.path.isdir(a):
            for name in sorted(os.listdir(a)):
                with open(os.path.join(a, name), "rb") as f:
                    out.append(f.read())
    return out


def run(check) -> None:
    argv = sys.argv
    try:
        import atheris
    except ImportError:
        atheris = None
    if atheris is not None and os.environ.get("PYFUZZ_ENGINE") != "hypothesis":
        # Coverage of the harness's own code steers the input structure; the
        # compiled modules are not instrumented, and instrumenting the whole
        # standard library would cost most of the speed.
        target = sys.modules[check.__module__]
        for name, fn in list(vars(target).items()):
            if callable(fn) and getattr(fn, "__module__", None) == check.__module__ and hasattr(fn, "__code__"):
                setattr(target, name, atheris.instrument_func(fn))
        for name in ("byte", "take", "text"):
            setattr(Bytes, name, atheris.instrument_func(getattr(Bytes, name)))
        atheris.Setup(argv, getattr(target, check.__name__))
        atheris.Fuzz()
        return
    from hypothesis import HealthCheck, given, settings, strategies as st

    seconds = _arg(argv, "max_total_time", 10)
    seeds = _corpus(argv[1:])
    for seed in seeds:
        check(seed)
    deadline = time.monotonic() + seconds
    runs = 0

    inputs = st.binary(max_size=4096)
    if seeds:
        # Corpus inputs with a few bytes changed, cut or repeated.
        def mutate(seed: bytes, edits: list[tuple[int, int, int]]) -> bytes:
            b = bytearray(seed)
            for kind, pos, val in edits:
                if not b:
                    b.append(val)
                    continue
                pos %= len(b)
                if kind == 0:
                    b[pos] = val
                elif kind == 1:
                    del b[pos:]
                else:
                    b[pos:pos] = b[pos : pos + val % 64]
            return bytes(b)

        edits = st.lists(st.tuples(st.integers(0, 2), st.integers(0, 1 << 20), st.integers(0, 255)), max_size=6)
        inputs = inputs | st.builds(mutate, st.sampled_from(seeds), edits)

    while time.monotonic() < deadline:
        @settings(max_examples=200, deadline=None, database=None, derandomize=False,
                  suppress_health_check=list(HealthCheck))
        @given(inputs)
        def batch(data: bytes) -> None:
            check(data)

        batch()
        runs += 200
    print(f"{os.path.basename(argv[0])}: {runs} inputs in {seconds:g} s (hypothesis), no failure")
