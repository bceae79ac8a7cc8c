"""Manuals in: the checker (what the parser will drop or change, by file and line), the
tables of a manual's scenes, and importers of HTML, DOCX and PDF documents into manuals."""
from __future__ import annotations

from corvane.checking.report import (Finding, ManualReport, check_bytes, check_file, check_paths,
                                     count_warnings, finding_codes, manual_report, summary)
from corvane.checking.tables import scene_tables

__all__ = ["Finding", "ManualReport", "check_bytes", "check_file", "check_paths", "count_warnings",
           "finding_codes", "manual_report", "scene_tables", "summary"]
