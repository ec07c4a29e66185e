"""The metrics of ``norvel serve`` in Prometheus's text format (GET
/metrics), through ``prometheus_client``.

The front process owns them all: it sees every request, and the workers
send the time they spent on each job back with its answer, so no
multiprocess mode is needed. Requests are counted as they are answered
(``ServiceMetrics.observe``); the pool's own state (workers, queue,
restarts, reloads, the graph) is read from it when the metrics are
scraped.
"""

from __future__ import annotations

import bisect
import math
from collections.abc import Iterator

from prometheus_client import CONTENT_TYPE_LATEST, CollectorRegistry, generate_latest
from prometheus_client.core import (
    CounterMetricFamily,
    GaugeMetricFamily,
    HistogramMetricFamily,
    Metric,
)
from prometheus_client.registry import Collector

from norvel.serve.pool import WorkerPool

#: The media type of /metrics: Prometheus's text format.
CONTENT_TYPE = CONTENT_TYPE_LATEST
#: The bounds of the latency histograms, in seconds: from a nearest-node
#: look-up (well under a millisecond) to a request stopped at a long time
#: limit.
LATENCY_BUCKETS = (0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5,
                   1.0, 2.5, 5.0, 10.0, 30.0, 60.0)


class ServiceMetrics:
    """The registry of one service and the metrics the front records.

    The request counts and histograms are kept as plain numbers and handed
    to ``prometheus_client`` as metric families when scraped: the front's
    time per request bounds the whole service's pace, and the library's own
    labelled Counter and Histogram cost about 20 microseconds a request
    between them (label look-ups and locks), this about one. Only the event
    loop's thread touches them."""

    def __init__(self, pool: WorkerPool) -> None:
        self.registry = CollectorRegistry()
        self._requests: dict[tuple[str, int], int] = {}
        self._latency: dict[str, _Histogram] = {}
        self._search: dict[str, _Histogram] = {}
        self.registry.register(_RequestCollector(self))
        self.registry.register(_PoolCollector(pool))

    def observe(self, endpoint: str, status: int, latency_s: float,
                search_s: float | None) -> None:
        """Counts one answered request."""
        key = (endpoint, status)
        self._requests[key] = self._requests.get(key, 0) + 1
        _histogram(self._latency, endpoint).observe(latency_s)
        if search_s is not None:
            _histogram(self._search, endpoint).observe(search_s)

    def exposition(self) -> bytes:
        """Every metric in Prometheus's text format."""
        return generate_latest(self.registry)


class _Histogram:
    """Observations counted in the buckets of LATENCY_BUCKETS (each bound
    inclusive, as Prometheus's ``le``) and one past the last, with their
    sum."""

    __slots__ = ("counts", "total")

    def __init__(self) -> None:
        self.counts = [0] * (len(LATENCY_BUCKETS) + 1)
        self.total = 0.0

    def observe(self, value: float) -> None:
        self.counts[bisect.bisect_left(LATENCY_BUCKETS, value)] += 1
        self.total += value

    def buckets(self) -> list[tuple[str, float]]:
        """Cumulative counts by ``le``, +Inf last."""
        running, found = 0, []
        for bound, count in zip([*LATENCY_BUCKETS, math.inf], self.counts):
            running += count
            found.append(("+Inf" if bound == math.inf else repr(bound), float(running)))
        return found


def _histogram(histograms: dict[str, _Histogram], endpoint: str) -> _Histogram:
    histogram = histograms.get(endpoint)
    if histogram is None:
        histogram = histograms[endpoint] = _Histogram()
    return histogram


class _RequestCollector(Collector):
    """The requests counted so far."""

    def __init__(self, metrics: ServiceMetrics) -> None:
        self.metrics = metrics

    def collect(self) -> Iterator[Metric]:
        requests = CounterMetricFamily(
            "norvel_requests", "HTTP requests answered, by endpoint and status.",
            labels=["endpoint", "status"])
        for (endpoint, status), count in sorted(self.metrics._requests.items()):
            requests.add_metric([endpoint, str(status)], count)
        yield requests
        for name, documentation, histograms in (
                ("norvel_request_duration_seconds",
                 "Time from a request's arrival to its answer, seen by the front.",
                 self.metrics._latency),
                ("norvel_search_duration_seconds",
                 "Time the workers spent computing a request's answers, measured "
                 "in the workers (the sum over a batch's pairs).",
                 self.metrics._search)):
            family = HistogramMetricFamily(name, documentation, labels=["endpoint"])
            for endpoint, histogram in sorted(histograms.items()):
                family.add_metric([endpoint], histogram.buckets(), histogram.total)
            yield family


class _PoolCollector(Collector):
    """The pool's state at the moment of a scrape."""

    def __init__(self, pool: WorkerPool) -> None:
        self.pool = pool

    def collect(self) -> Iterator[Metric]:
        pool, stats, admission = self.pool, self.pool.stats, self.pool.admission
        yield GaugeMetricFamily("norvel_requests_waiting",
                                "Jobs admitted that no worker runs yet.", pool.waiting)
        yield GaugeMetricFamily("norvel_workers_busy", "Workers running jobs.", pool.busy)
        yield GaugeMetricFamily("norvel_workers", "Live worker processes, of every "
                                "graph generation.", pool.workers)
        yield GaugeMetricFamily("norvel_queue_limit", "Jobs that may wait before "
                                "requests are refused.", pool.max_queue)
        yield GaugeMetricFamily("norvel_expected_wait_seconds", "How long a request "
                                "coming now is expected to wait for a worker.",
                                pool.expected_wait_s())
        yield GaugeMetricFamily("norvel_wait_limit_seconds", "The expected wait "
                                "beyond which requests are refused (--max-wait-s).",
                                admission.max_wait_s)
        estimates = GaugeMetricFamily(
            "norvel_job_estimate_seconds", "The running mean of the time a worker is "
            "taken by a job, by kind of job (a pair of POST /routes counts alone).",
            labels=["kind"])
        for name in sorted(admission.kinds):
            mean_s = admission.kinds[name].mean_s
            if mean_s is not None:
                estimates.add_metric([name], mean_s)
        yield estimates
        timeouts = CounterMetricFamily(
            "norvel_requests_timed_out", "Jobs stopped by the time limit (504), "
            "by kind of job (a pair of POST /routes counts alone).", labels=["kind"])
        for kind, count in sorted(stats.timeouts.items()):
            timeouts.add_metric([kind], count)
        yield timeouts
        rejected = CounterMetricFamily(
            "norvel_requests_rejected", "Requests refused (503 with Retry-After), "
            "by reason: at once, the expected wait over --max-wait-s (wait) or "
            "the waiting jobs over --max-queue (queue); or when a worker took "
            "them, the wait they had made over --max-wait-s (waited; a chunk of "
            "POST /routes counts alone).", labels=["reason"])
        for reason, count in admission.rejected.items():
            rejected.add_metric([reason], count)
        yield rejected
        yield CounterMetricFamily("norvel_worker_restarts", "Workers that ended and "
                                  "were replaced.", stats.worker_restarts)
        reloads = CounterMetricFamily("norvel_graph_reloads", "Loads of the graph "
                                      "file after the first, by result.",
                                      labels=["result"])
        reloads.add_metric(["done"], stats.reloads_done)
        reloads.add_metric(["failed"], stats.reloads_failed)
        yield reloads
        graph = pool.graph
        if graph is not None:
            yield GaugeMetricFamily("norvel_graph_nodes", "Nodes of the graph "
                                    "serving new requests.", graph.nodes)
            yield GaugeMetricFamily("norvel_graph_edges", "Edges of the graph "
                                    "serving new requests.", graph.edges)
            yield GaugeMetricFamily("norvel_graph_generation", "Generation of the "
                                    "graph serving new requests (1 for the "
                                    "first load).", graph.generation)
            yield GaugeMetricFamily("norvel_graph_loaded_timestamp_seconds",
                                    "When the graph serving new requests was "
                                    "loaded (Unix time).", graph.loaded_at)
