"""The time limit of ``norvel serve``: what makes one usable, and the 504
a request over it gets, whether the worker stopped it, the front killed a
stuck worker, or it waited for a worker until its limit passed. Written
once, for the front, the workers and the API's description."""

from __future__ import annotations

from norvel.serve.frames import Answer
from norvel.serve.queries import error_body


def time_limit(seconds: float) -> float:
    """``seconds`` when it can be a time limit (above 0); ValueError
    otherwise."""
    if not seconds > 0:
        raise ValueError(f"the time limit must be positive, got {seconds}")
    return seconds


def overtime_message(limit: str) -> str:
    """The error of a 504, with ``limit`` the limit's seconds as written."""
    return f"the request took longer than {limit} s"


def overtime(timeout_s: float) -> Answer:
    """The 504 of a request over ``timeout_s`` seconds."""
    return 504, error_body(overtime_message(f"{timeout_s:g}"))
