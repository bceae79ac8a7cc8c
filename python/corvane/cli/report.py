"""`corvane report`: refused questions, low-rated answers and alias suggestions from the
feedback store (corvane.report holds the arguments and the run)."""
from __future__ import annotations

import argparse


def add_parser(sub, common) -> None:
    from corvane import report

    p = sub.add_parser("report", help="refused questions, lowest-rated answers and alias suggestions",
                       description="The most frequent refused questions, the lowest-rated answers and alias "
                                   "suggestions from the feedback store the service writes; --json for one "
                                   "object, --plot FILE.png for a chart. Exit status: 0 ok, 2 on an error.",
                       formatter_class=argparse.RawDescriptionHelpFormatter, parents=[common])
    report.add_arguments(p)
    p.set_defaults(run=report.run)
