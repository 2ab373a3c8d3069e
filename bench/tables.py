"""Markdown tables of measurements: one row per image, with geometric means of
the ratio columns over all rows and over each class of image."""

from __future__ import annotations

import dataclasses
import math

from samples import CLASSES, Sample
from timing import geomean


@dataclasses.dataclass
class Row:
    sample: Sample
    values: dict[str, float | None]

    def __getitem__(self, key: str) -> float | None:
        return self.values.get(key)


@dataclasses.dataclass
class Column:
    title: str
    key: str
    unit: str = "ratio"   # ratio (averaged), x (a plain factor), ms, µs, KB


def cell(value: float | None, unit: str) -> str:
    if value is None or math.isnan(value):  # not measured, or a mean of nothing
        return "—"
    if unit == "ms":
        return f"{value * 1e3:.3g}" if value < 0.1 else f"{value * 1e3:.0f}"
    if unit == "µs":
        return f"{value * 1e6:.1f}"
    if unit == "KB":
        return f"{value / 1e3:.1f}"
    return f"{value:.2f}"


def by_class(rows: list[Row]) -> list[tuple[str, list[Row]]]:
    """The rows of each class present, in the order of CLASSES."""
    groups = [(group, [r for r in rows if r.sample.group == group]) for group in CLASSES]
    return [(group, members) for group, members in groups if members]


def means(rows: list[Row], key: str) -> dict[str, float]:
    """The geometric mean of a column over all rows ("all") and over each class."""
    result = {"all": geomean(r[key] for r in rows)}
    result.update((group, geomean(r[key] for r in members)) for group, members in by_class(rows))
    return result


def markdown_table(rows: list[Row], columns: list[Column], averaged: bool = True) -> list[str]:
    lines = ["| image | class | size | filters | " + " | ".join(c.title for c in columns) + " |",
             "|---|---|---|---|" + "--:|" * len(columns)]
    for r in rows:
        s = r.sample
        lines.append(f"| {s.name} | {s.group} | {s.size_label} | {s.filters} | "
                     + " | ".join(cell(r[c.key], c.unit) for c in columns) + " |")
    if averaged and rows:
        groups = by_class(rows)
        labelled = [("geometric mean", rows)] + ([] if len(groups) == 1 else
                                                 [(f"mean, {g}", m) for g, m in groups])
        for label, members in labelled:
            lines.append(f"| **{label}** | | | | " + " | ".join(
                f"**{cell(geomean(r[c.key] for r in members), c.unit)}**"
                if c.unit == "ratio" else ""
                for c in columns) + " |")
    return lines
