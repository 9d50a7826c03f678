"""Recall-vs-throughput plots in the style of ann-benchmarks: recall@10 on x,
queries per second on a log y axis, one line per method through the settings
(bit widths, candidate counts) that no other setting of it beats on both
axes; up and to the right is better."""

from __future__ import annotations

from dataclasses import dataclass


@dataclass
class Point:
    family: str  # one line per family: "lodex", "lodex + re-rank", "FAISS SQ4", ...
    label: str  # the setting, written beside the marker: "4b", "4b c40"
    recall: float
    qps: float


# family prefix -> (colour, marker); the first prefix that matches wins.
STYLES = (
    ("lodex + re-rank", "tab:purple", "P"),
    ("lodex centred", "tab:cyan", "o"),
    ("lodex", "tab:blue", "o"),
    ("FAISS Flat", "tab:gray", "s"),  # FlatIP, FlatL2
    ("FAISS SQ4", "tab:orange", "^"),
    ("FAISS SQ8", "tab:red", "v"),
    ("FAISS PQFastScan", "tab:green", "D"),
)


def style(family: str) -> tuple[str, str]:
    return next(((c, m) for prefix, c, m in STYLES if family.startswith(prefix)), ("black", "x"))


def frontier(points: list[Point]) -> list[Point]:
    """The points no other point beats on both recall and QPS, by recall."""
    best: list[Point] = []
    for p in sorted(points, key=lambda p: (-p.recall, -p.qps)):
        if not best or p.qps > best[-1].qps:
            best.append(p)
    return best[::-1]


def recall_qps_plot(panels: list[tuple[str, list[Point]]], path: str, title: str) -> None:
    """One panel per (subtitle, points); a shared legend below them."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    panels = [(t, pts) for t, pts in panels if pts]
    if not panels:
        return
    cols = min(2, len(panels))
    nrows = (len(panels) + cols - 1) // cols
    fig, axes = plt.subplots(nrows, cols, figsize=(6.6 * cols, 4.8 * nrows), squeeze=False)
    handles: dict[str, object] = {}
    for ax, (subtitle, points) in zip(axes.flat, panels):
        families = dict.fromkeys(p.family for p in points)
        for family in families:
            mine = [p for p in points if p.family == family]
            best = frontier(mine)
            colour, marker = style(family)
            (line,) = ax.plot(
                [p.recall for p in best], [p.qps for p in best], "-" if len(best) > 1 else "",
                color=colour, marker=marker, ms=7, lw=1.5, label=family,
            )
            beaten = [p for p in mine if p not in best]
            ax.plot([p.recall for p in beaten], [p.qps for p in beaten], ls="none", color=colour, marker=marker,
                    mfc="none", ms=5, alpha=0.6)
            handles.setdefault(family, line)
            # Of a family with many settings (re-rank: widths x candidates) only the
            # frontier is labelled: the beaten points would crowd its labels.
            for p in mine if len(mine) <= 5 else best:
                if p.label:
                    ax.annotate(p.label, (p.recall, p.qps), textcoords="offset points", xytext=(4, 5),
                                fontsize=7, color=colour, alpha=1.0 if p in best else 0.6)
        ax.set_yscale("log")
        ax.set_xlabel("recall@10")
        ax.set_ylabel("queries per second")
        ax.set_title(subtitle, fontsize=10)
        ax.grid(True, which="both", alpha=0.3)
        ax.text(0.02, 0.02, "up and to the right is better", transform=ax.transAxes, fontsize=8, color="dimgray")
    for ax in list(axes.flat)[len(panels):]:
        ax.set_visible(False)
    fig.suptitle(title)
    fig.tight_layout()
    from matplotlib.lines import Line2D

    handles["hollow"] = Line2D([], [], ls="none", marker="o", mfc="none", color="gray",
                               label="hollow: beaten on both axes by another setting of the method")
    fig.legend(handles=list(handles.values()), loc="upper center", bbox_to_anchor=(0.5, 0.0), ncol=4,
               fontsize=8, frameon=False)
    fig.savefig(path, dpi=110, bbox_inches="tight")
    plt.close(fig)
