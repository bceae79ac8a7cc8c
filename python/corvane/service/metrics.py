"""Prometheus metrics of the service (prometheus-client).

Each application has its own registry.  With several worker processes
(``PROMETHEUS_MULTIPROC_DIR`` set, as ``corvane serve --workers N`` does) the
values go to that folder and ``/metrics`` reports the sum over all workers.
"""
from __future__ import annotations

import os

from corvane import settings

from prometheus_client import CollectorRegistry, Counter, Gauge, Histogram, generate_latest
from prometheus_client import CONTENT_TYPE_LATEST

LATENCY_BUCKETS = (0.0005, 0.001, 0.0025, 0.005, 0.01, 0.02, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30, 60, 120)
MULTIPROC_ENV = "PROMETHEUS_MULTIPROC_DIR"


class Metrics:
    content_type = CONTENT_TYPE_LATEST

    def __init__(self) -> None:
        self.multiprocess = bool(settings.get("prometheus_multiproc_dir"))
        self.registry = CollectorRegistry(auto_describe=True)
        reg = None if self.multiprocess else self.registry
        self.requests = Counter(
            "corvane_http_requests", "HTTP requests by endpoint, method and status",
            ["endpoint", "method", "status"], registry=reg,
        )
        self.latency = Histogram(
            "corvane_http_request_duration_seconds", "Time from request start to the last byte of the response",
            ["endpoint"], buckets=LATENCY_BUCKETS, registry=reg,
        )
        self.reloads = Counter("corvane_index_reloads", "Switches to a rebuilt index", registry=reg)
        self.reload_failures = Counter(
            "corvane_index_reload_failures", "Changed index files that could not be opened", registry=reg
        )
        self.entries = Gauge(
            "corvane_index_entries", "Entries of the loaded index", registry=reg, multiprocess_mode="max"
        )
        self.model_errors = Counter(
            "corvane_model_errors", "Failed model calls by kind (error, timeout)", ["kind"], registry=reg
        )
        self.model_cancelled = Counter(
            "corvane_model_calls_cancelled", "Model calls cancelled because the client went away", registry=reg
        )

        self.loop_lag = Histogram(
            "corvane_event_loop_lag_seconds", "How late the event loop woke a timer (stalls show here)",
            buckets=(0.001, 0.005, 0.01, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10), registry=reg,
        )
        self.loop_stalls = Counter(
            "corvane_event_loop_stalls", "Times the event loop was held past the stall threshold", registry=reg
        )
        self.reload_seconds = Histogram(
            "corvane_index_reload_duration_seconds", "Time from a changed index on disk to serving it "
            "(waiting for its compiled file or compiling it in a child process)",
            buckets=(0.01, 0.1, 0.5, 1, 2.5, 5, 10, 30, 60, 120, 300), registry=reg,
        )
        self.index_degraded = Gauge(
            "corvane_index_degraded", "1 while the served index is not the one on disk or cannot serve",
            registry=reg, multiprocess_mode="max",
        )
        self.model_busy = Counter(
            "corvane_model_calls_refused", "Answers refused (429) because every model call slot was taken",
            registry=reg,
        )
        self.open_files = Gauge("corvane_open_files", "Open files of the process", registry=reg,
                                multiprocess_mode="max")
        self.connections_refused = Counter(
            "corvane_connections_refused", "Connections refused before a request was read, by reason",
            ["reason"], registry=reg,
        )

    def render(self) -> bytes:
        if self.multiprocess:
            from prometheus_client import multiprocess

            registry = CollectorRegistry()
            multiprocess.MultiProcessCollector(registry)
            return generate_latest(registry)
        return generate_latest(self.registry)
