"""Tables of the feedback store and their migrations.

Every change of the schema is a new step at the end of ``MIGRATIONS``; a
database records the steps it has had in ``schema_version`` (one row), and
``FeedbackStore`` applies the missing ones in one transaction when it opens.
A database newer than this code is refused rather than written to.
"""
from __future__ import annotations

import sqlalchemy as sa

metadata = sa.MetaData()

schema_version = sa.Table(
    "corvane_schema_version", metadata,
    sa.Column("id", sa.Integer, primary_key=True),
    sa.Column("version", sa.Integer, nullable=False),
)

# One row per answer given; the question text only when questions are logged.
answers = sa.Table(
    "corvane_answers", metadata,
    sa.Column("answer_id", sa.String(64), primary_key=True),
    sa.Column("created_at", sa.Float, nullable=False, index=True),
    sa.Column("refused", sa.Boolean, nullable=False),
    sa.Column("question", sa.Text),
    sa.Column("vehicle", sa.String(200)),
    sa.Column("scenes", sa.Text),  # JSON list of {scene_id, manual_id, title}
)

# The latest rating of an answer (a second click replaces the first).
feedback = sa.Table(
    "corvane_feedback", metadata,
    sa.Column("answer_id", sa.String(64), primary_key=True),
    sa.Column("created_at", sa.Float, nullable=False, index=True),
    sa.Column("rating", sa.Integer, nullable=False),
    sa.Column("comment", sa.Text),
)

# Opt-in log of the questions to look at: refused ones and low-rated ones.
questions = sa.Table(
    "corvane_questions", metadata,
    sa.Column("id", sa.Integer, primary_key=True, autoincrement=True),
    sa.Column("created_at", sa.Float, nullable=False, index=True),
    sa.Column("reason", sa.String(16), nullable=False),  # "refused" | "low_rated"
    sa.Column("question", sa.Text, nullable=False),
    sa.Column("answer_id", sa.String(64)),
    sa.Column("vehicle", sa.String(200)),
)


def _v1(conn) -> None:
    for table in (answers, feedback, questions):
        table.create(conn)


MIGRATIONS = [_v1]  # index i brings a database from version i to version i + 1
LATEST = len(MIGRATIONS)
