"""The checker's report: findings of the manuals of a data folder (or of given files),
read exactly as the indexing run reads them, by file and line."""
from __future__ import annotations

import os
from dataclasses import asdict, dataclass
from pathlib import Path

from corvane import _manualcheck

LONG_LINE = 400  # code points; longer manual lines are reported


@dataclass(frozen=True)
class Finding:
    file: str  # as the user named it
    line: int  # 1-based; 0 for the file as a whole
    severity: str  # "error" (indexing would stop) or "warning"
    code: str
    message: str

    def as_dict(self) -> dict:
        return asdict(self)

    def __str__(self) -> str:
        where = f"{self.file}:{self.line}" if self.line else self.file
        return f"{where}: {self.severity}: {self.message} [{self.code}]"


@dataclass
class ManualReport:
    file: str
    findings: list[Finding]
    scenes: list[dict]  # {"title", "line"} in tree-document order


FIELD_KEYS = {"说明": "description", "操作步骤": "steps", "警告": "warning", "注意": "notice", "提示": "tip"}


def nearest_field(title: str) -> str:
    """The Scene key of the field a heading title names or probably means ("" when none):
    "警告" -> "warning", "注意事项" -> "notice", "步骤" -> "steps"."""
    if title in FIELD_KEYS:
        return FIELD_KEYS[title]
    return FIELD_KEYS.get(_manualcheck.nearest_field_title(title), "")


def finding_codes() -> list[tuple[str, str]]:
    return list(_manualcheck.finding_codes())


def check_bytes(data: bytes, file: str, long_line: int = LONG_LINE) -> ManualReport:
    """Checks one manual's bytes; `file` is the name findings carry."""
    r = _manualcheck.check_manual(data, long_line=long_line)
    findings = [Finding(file, f["line"], f["severity"], f["code"], f["message"]) for f in r["findings"]]
    return ManualReport(file, findings, r["scenes"])


def check_file(path: str | os.PathLike, shown: str | None = None, long_line: int = LONG_LINE) -> ManualReport:
    """Checks one manual file; an unreadable file is a ManualReport with one error finding."""
    shown = str(path) if shown is None else shown
    try:
        data = Path(path).read_bytes()
    except OSError as e:
        return ManualReport(shown, [Finding(shown, 0, "error", "unreadable", f"cannot read: {e.strerror or e}")], [])
    return check_bytes(data, shown, long_line)


def cross_manual(reports: list[ManualReport]) -> list[Finding]:
    """Findings across manuals: a scene title that several manuals use (a question naming it
    cannot tell them apart).  Reported once per later manual, at its scene's line."""
    first: dict[str, tuple[str, int]] = {}
    out = []
    for rep in reports:
        seen_here = set()
        for s in rep.scenes:
            title = s["title"]
            if title in seen_here:
                continue  # the manual's own duplicate is already reported
            seen_here.add(title)
            if title in first and first[title][0] != rep.file:
                f0, l0 = first[title]
                out.append(Finding(rep.file, s["line"], "warning", "duplicate-title",
                                   f"scene title \"{title}\" is also a scene of {f0} (line {l0}); "
                                   f"questions cannot tell the two apart"))
            first.setdefault(title, (rep.file, s["line"]))
    return out


def _workers(n: int) -> int:
    try:
        cpus = len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        cpus = os.cpu_count() or 1
    return max(1, min(n, cpus))


def check_reports(paths: list[tuple[Path, str]], long_line: int = LONG_LINE) -> list[ManualReport]:
    """The reports of the given (path, shown name) manuals, in that order.

    The manuals are checked on one thread per CPU (the check runs without the
    GIL); the reports come out in the order of ``paths`` all the same."""
    workers = _workers(len(paths))
    if workers == 1:
        return [check_file(p, shown, long_line) for p, shown in paths]
    from concurrent.futures import ThreadPoolExecutor

    with ThreadPoolExecutor(max_workers=workers, thread_name_prefix="corvane-check") as pool:
        return list(pool.map(lambda ps: check_file(ps[0], ps[1], long_line), paths))


def check_paths(paths: list[tuple[Path, str]], long_line: int = LONG_LINE) -> list[Finding]:
    """All findings of the given (path, shown name) manuals, file by file, by line."""
    reports = check_reports(paths, long_line)
    extra = cross_manual(reports)
    by_file: dict[str, list[Finding]] = {r.file: list(r.findings) for r in reports}
    for f in extra:
        by_file[f.file].append(f)
    out = []
    for r in reports:
        out.extend(sorted(by_file[r.file], key=lambda f: f.line))
    return out


def manual_paths(data_dir: str | os.PathLike, shown: str | None = None) -> list[tuple[Path, str]]:
    """The manuals the indexing run reads in DATA_DIR/manuals, sorted by name, with their shown names."""
    from corvane.cli_data import MANUALS, manual_files

    base = Path(data_dir) / MANUALS
    shown_base = (str(data_dir) if shown is None else shown).rstrip("/") + "/" + MANUALS
    return [(p, f"{shown_base}/{p.name}") for p in sorted(manual_files(base), key=lambda p: p.name)]


def count_warnings(data_dir: str | os.PathLike) -> int:
    """The number of findings over the manuals of a data folder (for `corvane index`):
    those of `check_paths`, counted without ordering them."""
    reports = check_reports(manual_paths(data_dir))
    return sum(len(r.findings) for r in reports) + len(cross_manual(reports))


def manual_report(data_dir: str | os.PathLike, manual_id: str) -> dict | None:
    """The report of one manual of a data folder, as the service shows it
    (GET /v1/manuals/{id}/check), or None when there is no such manual.  Cross-manual
    findings are included."""
    paths = manual_paths(data_dir, shown="data")
    if not any(p.stem == manual_id for p, _ in paths):
        return None
    findings = [f for f in check_paths(paths) if Path(f.file).stem == manual_id]
    return summary(findings) | {"manual_id": manual_id}


def summary(findings: list[Finding]) -> dict:
    counts: dict[str, int] = {}
    for f in findings:
        counts[f.code] = counts.get(f.code, 0) + 1
    return {"errors": sum(f.severity == "error" for f in findings),
            "warnings": sum(f.severity == "warning" for f in findings),
            "by_code": counts,
            "findings": [f.as_dict() for f in findings]}
