"""The one table the benchmark prints: a row per figure, and the rendering of the rows as Markdown."""

import dataclasses

COLUMNS = ("Measurement", "Figure", "Judged by", "Target", "Result")


@dataclasses.dataclass
class Row:
    """A figure as the table shows it. `target` names its entry in targets.TARGETS (empty: shown for information)
    and `value` is what that target judges; `judged_by` is the same-run reference or context beside it."""
    measurement: str
    figure: str
    judged_by: str = ""
    target: str = ""
    value: float = None


def render(lines):
    """A Markdown table of `lines`, each a tuple of the five columns' texts."""
    widths = [max(len(str(cells[i])) for cells in [COLUMNS, *lines]) for i in range(len(COLUMNS))]

    def line(cells):
        return "| " + " | ".join(str(cell).ljust(width) for cell, width in zip(cells, widths)) + " |"
    return "\n".join([line(COLUMNS), "|" + "|".join("-" * (width + 2) for width in widths) + "|",
                      *(line(cells) for cells in lines)])
