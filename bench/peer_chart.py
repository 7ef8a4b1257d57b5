"""The README's chart of bench_peer.py's figures (matplotlib, PNG)."""

from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.ticker import FuncFormatter, NullFormatter  # noqa: E402

COLORS = {"cellvault": "#2b6cb0", "peer": "#c0c0c0"}
NAMES = {"cellvault": "cellvault", "peer": "msoffcrypto-tool"}


def _panel(ax, table, key, scale, unit, title, floor, noise=0.0):
    """One group of bars per size; figures below `noise` are shown as such
    and get no ratio (a few KB of page-granular memory say nothing)."""
    labels = list(table)
    sides = [s for s in ("cellvault", "peer") if any(s in table[l] for l in labels)]
    width = 0.8 / len(sides)
    for i, side in enumerate(sides):
        xs = [j + (i - (len(sides) - 1) / 2) * width for j in range(len(labels))]
        # Log axes cannot show 0: a figure below the floor is drawn at it.
        values = [max((table[l][side][key] or 0) * scale, floor) if side in table[l] else 0
                  for l in labels]
        bars = ax.bar(xs, values, width, label=NAMES[side], color=COLORS[side],
                      edgecolor="#404040", linewidth=0.5)
        for bar, value in zip(bars, values):
            if value > 0:
                ax.annotate("%.3g" % value if value >= noise else "<%g" % noise, (bar.get_x() + bar.get_width() / 2, value),
                            ha="center", va="bottom", fontsize=7,
                            xytext=(0, 2), textcoords="offset points")
    # The peer's figure divided by cellvault's, above each pair.
    if "cellvault" in sides:
        for j, l in enumerate(labels):
            cv, peer = table[l].get("cellvault"), table[l]["peer"]
            if cv and cv[key] and peer[key] and min(cv[key], peer[key]) * scale >= noise:
                ratio = peer[key] / cv[key]
                ax.annotate("%.1fx" % ratio, (j, 1.0), xycoords=("data", "axes fraction"),
                            ha="center", va="top", fontsize=9, fontweight="bold",
                            xytext=(0, -4), textcoords="offset points")
    ax.set_xticks(range(len(labels)), labels)
    ax.set_title(title, fontsize=10)
    ax.set_ylabel(unit)
    ax.set_yscale("log")
    low, high = ax.get_ylim()
    ax.set_ylim(low, high * 3)  # room for the ratio line
    ax.yaxis.set_major_formatter(FuncFormatter(lambda v, _: "%g" % v))
    ax.yaxis.set_minor_formatter(NullFormatter())
    ax.grid(axis="y", alpha=0.3)


def draw(calls, commands, runs, path):
    """draw writes a three-panel PNG to `path` (folders made as needed):
    time inside the call, memory the call added, whole-command time."""
    fig, axes = plt.subplots(1, 3, figsize=(12, 4.2), dpi=120)
    _panel(axes[0], calls, "seconds", 1e3, "ms (log scale)", "Time inside the call", 0.1)
    _panel(axes[1], calls, "mb", 1, "MB (log scale)", "Memory added by the call", 0.01,
           noise=0.5)
    _panel(axes[2], commands, "seconds", 1e3, "ms (log scale)",
           "Whole command (process start to exit)", 0.1)
    handles, names = axes[0].get_legend_handles_labels()
    fig.legend(handles, names, loc="lower center", ncol=2, fontsize=9, frameon=False)
    fig.suptitle("Encrypting .xlsx workbooks of about 10 KB, 1 MB and 50 MB: median of %d "
                 "alternating runs\nbold: msoffcrypto-tool's figure divided by cellvault's"
                 % runs, fontsize=10)
    fig.tight_layout(rect=(0, 0.07, 1, 1))
    Path(path).parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path)
    plt.close(fig)
