"""Timing on a noisy machine: candidates run one after another within each round,
and every ratio is the median over rounds of the ratio measured within a round,
so that load that changes from round to round hits the candidates alike."""

from __future__ import annotations

import contextlib
import io
import math
import statistics
import time


class Timings:
    """Seconds per call of each candidate, one value per round. With batch > 1 a
    round times that many calls in a row, for calls too short to time alone.
    Standard output goes to a StringIO throughout: SimpleImage.open prints a
    line per image, and every candidate pays for its printing alike."""

    def __init__(self, candidates: dict, rounds: int, batch: int = 1):
        self.times = {name: [] for name in candidates}
        names = list(candidates)
        with contextlib.redirect_stdout(io.StringIO()):
            for round_ in range(rounds):
                # Every other round in reverse order, so that no candidate
                # always runs right after the same other one.
                for name in names if round_ % 2 == 0 else reversed(names):
                    self.times[name].append(time_calls(candidates[name], batch) / batch)

    def median(self, name: str) -> float:
        return statistics.median(self.times[name])

    def ratio(self, numerator: str, denominator: str) -> float:
        return statistics.median(a / b for a, b in zip(self.times[numerator],
                                                       self.times[denominator], strict=True))


def time_calls(run, count: int) -> float:
    start = time.perf_counter()
    for _ in range(count):
        run()
    return time.perf_counter() - start


def measure(candidates: dict, budget: float, least: int, most: int,
            batch_seconds: float = 0.0) -> Timings:
    """Timings of as many rounds as fit the time budget (within least..most), as
    told by a warm-up. With batch_seconds, each candidate's calls are timed in
    batches of about that long."""
    warm_ups = 20 if batch_seconds else 1
    with contextlib.redirect_stdout(io.StringIO()):
        round_time = sum(time_calls(run, warm_ups) for run in candidates.values()) / warm_ups
    round_time = max(round_time, 1e-9)
    batch = max(1, round(batch_seconds * len(candidates) / round_time))
    rounds = max(least, min(most, int(budget / (round_time * batch))))
    return Timings(candidates, rounds, batch)


def geomean(values) -> float:
    values = [v for v in values if v is not None]
    return math.exp(sum(math.log(v) for v in values) / len(values)) if values else float("nan")
