"""The Markdown tables: every measurement, then the targets marked met or not."""

from __future__ import annotations

from collections.abc import Callable

MiB = 2**20
MERGE_PEAK_MIB = 64  # the merge's bound above idle, whatever the size
READ_PEAK_MIB = 64  # a whole streamed read, above idle, whatever the size
Point = dict
Results = dict


def seconds(s: float) -> str:
    return f"{s:.2f} s" if s >= 1 else f"{s * 1e3:.1f} ms"


def mib(b: float) -> str:
    return f"{b / MiB:.1f} MiB"


def ratio(a: float, b: float) -> str:
    return f"{a / b:.2f}" if b > 0 else "—"


def point(results: Results, workload: str, rows: int) -> Point | None:
    for p in results["workloads"].get(workload, {}).get("points", []):
        if p["rows"] == rows:
            return p
    return None


def measurements(results: Results) -> str:
    lines = ["| workload | N | tablora | baseline | time ratio | tablora peak | baseline peak "
             "| peak ratio |",
             "|---|---:|---:|---:|---:|---:|---:|---:|"]
    for name, w in results["workloads"].items():
        for p in w["points"]:
            lib, base = p["library"], p["baseline"]
            lines.append(
                f"| {name} | {p['rows']:,} | {seconds(lib['seconds'])} | "
                f"{seconds(base['seconds'])} | {ratio(lib['seconds'], base['seconds'])} | "
                f"{mib(lib['peak_bytes'])} | {mib(base['peak_bytes'])} | "
                f"{ratio(lib['peak_bytes'], base['peak_bytes'])} |")
    return "\n".join(lines)


def legend(results: Results) -> str:
    return "\n".join(f"- **{name}**: {w['library']}; baseline: {w['baseline']}"
                     for name, w in results["workloads"].items())


# A check returns the measured value as text and whether it meets the target, or None when
# the run did not measure what it needs.
Check = Callable[[Results], tuple[str, bool] | None]


def _time_ratio(workload: str, rows: Callable[[Results], int], limit: float) -> Check:
    def check(results: Results) -> tuple[str, bool] | None:
        p = point(results, workload, rows(results))
        if p is None:
            return None
        r = p["library"]["seconds"] / p["baseline"]["seconds"]
        return f"{r:.2f}×", r <= limit
    return check


def _speed_ratio(workload: str, rows: Callable[[Results], int], limit: float) -> Check:
    def check(results: Results) -> tuple[str, bool] | None:
        p = point(results, workload, rows(results))
        if p is None:
            return None
        r = p["baseline"]["seconds"] / p["library"]["seconds"]
        return f"{r:.2f}× the rows/s", r >= limit
    return check


def _peak_ratio(workload: str, rows: Callable[[Results], int], limit: float) -> Check:
    def check(results: Results) -> tuple[str, bool] | None:
        p = point(results, workload, rows(results))
        if p is None or p["baseline"]["peak_bytes"] <= 0:
            return None
        r = p["library"]["peak_bytes"] / p["baseline"]["peak_bytes"]
        return f"{r:.2f}×", r <= limit
    return check


def _peak(workload: str, rows: Callable[[Results], int], limit: int) -> Check:
    def check(results: Results) -> tuple[str, bool] | None:
        p = point(results, workload, rows(results))
        if p is None:
            return None
        return mib(p["library"]["peak_bytes"]), p["library"]["peak_bytes"] <= limit
    return check


def _growth(workload: str, limit: float) -> Check:
    def check(results: Results) -> tuple[str, bool] | None:
        a = point(results, workload, results["reference"])
        b = point(results, workload, results["large"])
        if a is None or b is None or a is b:
            return None
        g = b["library"]["seconds"] / a["library"]["seconds"]
        return f"{g:.2f}×", g <= limit
    return check


def _ref(results: Results) -> int:
    return int(results["reference"])


def _large(results: Results) -> int:
    return int(results["large"])


# (label with {R}, {R10} and {L} for the reference size, a tenth of it and the large size,
#  check)
TARGETS: list[tuple[str, Check]] = [
    ("small batch: 1,000 staged into {R} main, merge ≤ 1.5× INSERT OR REPLACE",
     _time_ratio("small-batch", _ref, 1.5)),
    ("peer: {R10} newer rows into {R} (one key), merge ≤ 1.0× chdb OPTIMIZE FINAL",
     _time_ratio("peer-merge", _ref, 1.0)),
    ("merge {R} into {R}: time ≤ 0.6× INSERT OR REPLACE",
     _time_ratio("merge", _ref, 0.6)),
    ("merge {R} into {R}: time ≤ 1.1× the same writes sent as plain SQL",
     _time_ratio("merge-floor", _ref, 1.1)),
    (f"merge {{R}} into {{R}}: peak ≤ {MERGE_PEAK_MIB} MiB above idle",
     _peak("merge", _ref, MERGE_PEAK_MIB * MiB)),
    (f"merge {{L}} into {{L}}: peak ≤ {MERGE_PEAK_MIB} MiB above idle",
     _peak("merge", _large, MERGE_PEAK_MIB * MiB)),
    ("find-all at {R} + {R10} staged: time ≤ 1.3× the plain SELECTs",
     _time_ratio("find-all", _ref, 1.3)),
    ("find-all at {R} + {R10} staged: peak ≤ 1.5× the plain SELECTs",
     _peak_ratio("find-all", _ref, 1.5)),
    ("read-all at {R} + {R10} staged: newest_rows ≤ 1.1× find",
     _time_ratio("read-all", _ref, 1.1)),
    (f"read-all at {{L}} main + a tenth staged: peak ≤ {READ_PEAK_MIB} MiB above idle",
     _peak("read-all", _large, READ_PEAK_MIB * MiB)),
    ("read-first at {R} + {R10} staged: the first 10 rows ≤ 0.05× reading all",
     _time_ratio("read-first", _ref, 0.05)),
    ("find-few at {R} + {R} staged: 10 matching rows ≤ 0.02× an unconditioned find",
     _time_ratio("find-few", _ref, 0.02)),
    ("merge time from {R} to {L} rows grows ≤ 5.5×", _growth("merge", 5.5)),
    ("find-all time from {R} to {L} rows grows ≤ 5.5×", _growth("find-all", 5.5)),
    ("staging {R} rows: ≥ 0.95× the rows/s of executemany", _speed_ratio("staging", _ref, 0.95)),
    ("Table.stage of {R} dicts ≤ 1.3× the time of tuples", _time_ratio("stage-dicts", _ref, 1.3)),
    ("rows_where over {R} + {R10} staged rows ≤ 1.1× find", _time_ratio("rows-where", _ref, 1.1)),
    ("rows_where iterated, {R} + 100,000 staged rows ≤ 1.1× find",
     _time_ratio("rows-where-iter", _ref, 1.1)),
    ("rows_where iterated, {L} + 100,000 staged rows ≤ 1.1× find",
     _time_ratio("rows-where-iter", _large, 1.1)),
    (f"rows_where iterated, {{L}} + 100,000 staged: peak ≤ {READ_PEAK_MIB} MiB above idle",
     _peak("rows-where-iter", _large, READ_PEAK_MIB * MiB)),
    ("peer: find at {R} + {R10} newer rows (one key) ≤ 2× chdb SELECT … FINAL into lists",
     _time_ratio("peer-find", _ref, 2.0)),
]


def targets(results: Results) -> list[dict]:
    out = []
    ref, large = results["reference"], results["large"]
    for label, check in TARGETS:
        text = label.format(R=f"{ref:,}", R10=f"{ref // 10:,}", L=f"{large:,}")
        found = check(results)
        out.append({"target": text, "value": found[0] if found else None,
                    "met": found[1] if found else None})
    return out


def targets_table(results: Results) -> str:
    lines = ["| target | measured | met |", "|---|---:|---|"]
    for t in targets(results):
        met = "not measured" if t["met"] is None else ("yes" if t["met"] else "**no**")
        lines.append(f"| {t['target']} | {t['value'] or '—'} | {met} |")
    return "\n".join(lines)


def machine_line(results: Results) -> str:
    m = results["machine"]
    peer = f", chdb {m['chdb']}" if m.get("chdb") else ""
    return (f"{m['cpu']}, {m['nproc']} cores, {m['memory_gib']:.0f} GiB, Python {m['python']}, "
            f"SQLite {m['sqlite']}, {m['system']}{peer}")


def full(results: Results) -> str:
    """Everything a run prints, and what the README's benchmark section pastes."""
    label = {"full": "full run", "quick": "quick run (sizes a tenth of the full run's)",
             "custom": "run at chosen sizes"}[results["mode"]]
    notes = [f"Machine: {machine_line(results)}. {label.capitalize()}; times are medians of "
             f"{results['repeats']}; peak is resident memory above idle ({results['memory_method']})."]
    if results.get("peer_note"):
        notes.append(results["peer_note"])
    return "\n\n".join(["\n".join(notes), measurements(results), targets_table(results)])
