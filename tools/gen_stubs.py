#!/usr/bin/env python3
"""Generates the type stubs of the compiled modules with nanobind's stub generator, and compares them
with the hand-written stubs shipped in python/corvane/.

    python tools/gen_stubs.py            # regenerate tests/generated_stubs/ from the installed modules
    python tools/gen_stubs.py --check    # print where the hand-written stubs' signatures differ; exit 1 if they do

Run it with the interpreter that has corvane installed (``.venv/bin/python``) after a build.
The hand-written stubs keep their precise types and documentation; what must agree with the
generated ones is the signatures: the public functions, classes, methods and properties, and each
one's parameter names, kinds and defaults.  tests/test_stubs.py checks both that the generated
folder is current and that the signatures agree.
"""
from __future__ import annotations

import argparse
import ast
import json
import os
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
GENERATED = ROOT / "tests" / "generated_stubs"
MODULES = ("plaxon", "morlek", "ostrel", "farrowin", "vendry", "delmoor", "_engine", "_hybrid")


HAND = ROOT / "python" / "corvane"


def generate(out: Path, python: str = sys.executable) -> None:
    """Writes <module>.pyi for every compiled module into ``out`` (docstrings left out: the text follows
    the bindings' signatures and defaults; module values are those of an empty data folder)."""
    out.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="corvane-stubs-") as work:
        # delmoor loads data/scene_index.jsonl and morlek data/manual_alias.json when imported.
        os.makedirs(os.path.join(work, "data"))
        Path(work, "data", "scene_index.jsonl").write_text("", encoding="utf-8")
        Path(work, "data", "manual_alias.json").write_text(json.dumps({}), encoding="utf-8")
        cmd = [python, "-m", "nanobind.stubgen", "-q", "-D", "-O", str(out)]
        for name in MODULES:
            cmd += ["-m", f"corvane.{name}"]
        done = subprocess.run(cmd, cwd=work, capture_output=True, text=True)
        if done.returncode != 0:
            raise RuntimeError(f"nanobind.stubgen failed:\n{done.stdout}{done.stderr}")
    for name in MODULES:  # the generator names files after the full module path in some versions
        for candidate in (out / "corvane" / f"{name}.pyi", out / f"corvane.{name}.pyi"):
            if candidate.exists():
                candidate.replace(out / f"{name}.pyi")
    leftover = out / "corvane"
    if leftover.is_dir() and not any(leftover.iterdir()):
        leftover.rmdir()


# ---------------------------------------------------------------- signatures


def _default(node: ast.expr | None):
    """None: no default; Ellipsis: a default of any value; else the literal value."""
    if node is None:
        return None
    if isinstance(node, ast.Constant) and node.value is Ellipsis:
        return Ellipsis
    try:
        return ("value", ast.literal_eval(node))
    except ValueError:
        return ("expr", ast.unparse(node))


def _params(fn: ast.FunctionDef | ast.AsyncFunctionDef) -> list[tuple]:
    a = fn.args
    positional = a.posonlyargs + a.args
    defaults = [None] * (len(positional) - len(a.defaults)) + list(a.defaults)
    out = []
    for i, (arg, default) in enumerate(zip(positional, defaults)):
        out.append((arg.arg, "positional-only" if i < len(a.posonlyargs) else "positional", _default(default)))
    if a.vararg:
        out.append((a.vararg.arg, "*args", None))
    for arg, default in zip(a.kwonlyargs, a.kw_defaults):
        out.append((arg.arg, "keyword-only", _default(default)))
    if a.kwarg:
        out.append((a.kwarg.arg, "**kwargs", None))
    return out


def _is_property(fn) -> bool:
    return any(isinstance(d, ast.Name) and d.id == "property" or
               isinstance(d, ast.Attribute) and d.attr in ("setter", "getter") for d in fn.decorator_list)


def _public(name: str) -> bool:
    return not name.startswith("_") or (name.startswith("__") and name.endswith("__"))


def signatures(text: str) -> dict[str, object]:
    """Qualified name -> its signature: a list of parameter lists (overloads) for functions and methods,
    "property", "class", "value" or "import"."""
    out: dict[str, object] = {}

    def walk(body, prefix: str) -> None:
        for node in body:
            if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)) and _public(node.name):
                if prefix and _is_property(node):
                    out[prefix + node.name] = "property"
                else:
                    out.setdefault(prefix + node.name, []).append(_params(node))
            elif isinstance(node, ast.ClassDef) and _public(node.name):
                out[prefix + node.name] = "class"
                walk(node.body, f"{prefix}{node.name}.")
            elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name) and _public(node.target.id):
                out[prefix + node.target.id] = "value"
            elif isinstance(node, ast.ImportFrom) and not prefix:
                out.update({a.asname: "import" for a in node.names if a.asname == a.name})

    walk(ast.parse(text).body, "")
    return out


def _same_params(hand: list[tuple], generated: list[tuple]) -> bool:
    if [(n, k) for n, k, _ in hand] != [(n, k) for n, k, _ in generated]:
        return False
    for (_, _, h), (_, _, g) in zip(hand, generated):
        if (h is None) != (g is None):
            return False
        if h not in (None, Ellipsis) and g is not Ellipsis and h != g:
            return False
    return True


def _show(params: list[tuple]) -> str:
    def one(p):
        name, kind, default = p
        text = {"*args": "*", "**kwargs": "**"}.get(kind, "") + name
        if default is Ellipsis:
            text += "=..."
        elif default is not None:
            text += "=" + (repr(default[1]) if default[0] == "value" else default[1])
        return text
    shown = []
    for p in params:
        if p[1] == "keyword-only" and not any(k in ("*args", "keyword-only") for _, k, _ in params[:params.index(p)]):
            shown.append("*")
        shown.append(one(p))
    return "(" + ", ".join(shown) + ")"


def differences(hand_text: str, generated_text: str) -> list[str]:
    """What the hand-written stub lacks, declares in excess, or spells differently, one line each.

    Module values (constants) the hand-written stub leaves out are allowed; ``__init__`` of a class
    the hand-written stub gives no constructor for is not required."""
    hand, generated = signatures(hand_text), signatures(generated_text)
    out = []
    for name in sorted(set(hand) | set(generated)):
        h, g = hand.get(name), generated.get(name)
        if h is None:
            if g == "value" or name.endswith(".__init__") or name.split(".")[-1].startswith("__"):
                continue
            out.append(f"missing {name}: {g if isinstance(g, str) else _show(g[0])}")
        elif g is None:
            if h == "import":
                continue  # a name bound from a Python module (the generator sees nanobind objects only)
            if name.split(".")[-1].startswith("__") and name.split(".")[-1] not in ("__init__",):
                continue  # dunders the generator does not spell out (e.g. __len__ is kept when bound)
            out.append(f"not in the module: {name}")
        elif g == "import" and not isinstance(h, str):
            continue  # a function bound from another module, documented here with its signature
        elif isinstance(h, str) or isinstance(g, str):
            if h != g and not (isinstance(h, str) and isinstance(g, str) and {h, g} == {"value", "import"}):
                out.append(f"{name}: {h if isinstance(h, str) else 'a function'} here, "
                           f"{g if isinstance(g, str) else 'a function'} in the module")
        elif not any(_same_params(hp, gp) for hp in h for gp in g) or len(h) != len(g):
            out.append(f"{name}: {' | '.join(map(_show, h))} here, {' | '.join(map(_show, g))} in the module")
    return out


def check(generated_dir: Path, hand_dir: Path) -> dict[str, list[str]]:
    out = {}
    for name in MODULES:
        found = differences((hand_dir / f"{name}.pyi").read_text(encoding="utf-8"),
                            (generated_dir / f"{name}.pyi").read_text(encoding="utf-8"))
        if found:
            out[name] = found
    return out


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--check", action="store_true", help="compare the hand-written stubs; write nothing")
    parser.add_argument("-o", "--out", type=Path, default=GENERATED, help=f"output folder (default {GENERATED})")
    args = parser.parse_args(argv)
    if args.check:
        with tempfile.TemporaryDirectory() as tmp:
            generate(Path(tmp))
            found = check(Path(tmp), HAND)
        for name, lines in found.items():
            for line in lines:
                print(f"{name}.pyi: {line}")
        return 1 if found else 0
    generate(args.out)
    print(f"wrote {', '.join(f'{m}.pyi' for m in MODULES)} to {args.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
