"""The two plots: time against rows and peak memory against rows, both log-log."""

from __future__ import annotations

from pathlib import Path

from report import MERGE_PEAK_MIB, MiB

# A peak below one page is drawn at one page, so that a log axis can show it.
PAGE_MIB = 4096 / MiB


def draw(results: dict, folder: Path) -> list[Path]:
    """Writes scaling.png and memory.png; nothing when matplotlib is missing."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return []
    series = {name: w["points"] for name, w in results["workloads"].items()
              if not w.get("peer") and len(w["points"]) > 1}
    out: list[Path] = []
    if not series:
        return out
    for file, key, unit, label in (
            ("scaling.png", "seconds", 1.0, "seconds (median)"),
            ("memory.png", "peak_bytes", 1 / MiB, "peak MiB above idle (median)")):
        fig, ax = plt.subplots(figsize=(7.5, 5))
        for colour, (name, points) in enumerate(series.items()):
            rows = [p["rows"] for p in points]
            for side, style in (("library", "-"), ("baseline", "--")):
                values = [max(p[side][key] * unit, PAGE_MIB) if key == "peak_bytes"
                          else p[side][key] for p in points]
                ax.plot(rows, values, linestyle=style, marker="o", color=f"C{colour}",
                        label=f"{name}: {'tablora' if side == 'library' else 'baseline'}")
        if key == "peak_bytes":
            ax.axhline(MERGE_PEAK_MIB, color="grey", linestyle=":", label="merge peak target")
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlabel("N (main rows; rows staged for staging)")
        ax.set_ylabel(label)
        ax.set_title("tablora (solid) against plain SQLite (dashed)")
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=7, ncol=2)
        fig.tight_layout()
        fig.savefig(folder / file, dpi=110)
        plt.close(fig)
        out.append(folder / file)
    return out
