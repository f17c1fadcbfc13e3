"""results.png: vordalin, subprocess.run and libtmux as ratios to the limit, a group of bars
per row."""

from bench.row import PEERS


def chart(rows, results, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import matplotlib.ticker

    labels = [row.label for row in rows]
    top = max(results.measured[row.key].ratio(c) for row in rows for c in PEERS)
    width = 0.27
    fig, ax = plt.subplots(figsize=(13, 6))
    colors = {"vordalin": "#2a7ab0", "subprocess": "#9a9a9a", "libtmux": "#d9822b"}
    for i, column in enumerate(PEERS):
        xs = [x + (i - 1) * width for x in range(len(rows))]
        ratios = [results.measured[row.key].ratio(column) for row in rows]
        bars = ax.bar(xs, ratios, width, label=column if column != "subprocess" else "subprocess.run", color=colors[column])
        for bar, ratio in zip(bars, ratios):
            ax.annotate(
                f"{ratio:.2f}",
                (bar.get_x() + bar.get_width() / 2, bar.get_height()),
                ha="center",
                va="bottom",
                fontsize=6.5,
                rotation=90,
                xytext=(0, 2),
                textcoords="offset points",
            )
    ax.axhline(1.0, color="black", linewidth=0.8, linestyle="--", label="limit (C posix_spawnp)")
    ax.set_yscale("log")
    ticks = [t for t in (1, 1.25, 1.5, 2, 3, 5, 10, 20, 50) if t <= max(2.0, top * 1.6)]
    ax.set_yticks(ticks)
    ax.set_yticklabels([f"{t:g}×" for t in ticks])
    ax.yaxis.set_minor_locator(matplotlib.ticker.NullLocator())
    ax.set_ylabel("median time / limit (log scale)")
    ax.set_xticks(range(len(rows)))
    ax.set_xticklabels(labels, rotation=30, ha="right", fontsize=8)
    ax.set_title("tmux operations: time relative to the limit")
    ax.legend(fontsize=8)
    ax.set_ylim(0.8, top * 1.6)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
