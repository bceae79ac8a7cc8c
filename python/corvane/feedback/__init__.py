"""Answer ids, owners' ratings and the opt-in log of refused and low-rated
questions, in SQLite (default) or PostgreSQL; see ``store``."""
from .store import (DEFAULT_DATABASE, LOW_RATING, FeedbackError, FeedbackStore, new_answer_id, normalize_url,
                    open_store, parse_rating)

__all__ = ["DEFAULT_DATABASE", "LOW_RATING", "FeedbackError", "FeedbackStore", "new_answer_id", "normalize_url",
           "open_store", "parse_rating"]
