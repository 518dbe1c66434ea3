"""Time and peak resident memory of one call, in the process that makes it.

Peak memory is the resident set's high-water mark (VmHWM) during the call less
the resident set (VmRSS) just before it. Linux lets a process reset its own
high-water mark by writing 5 to /proc/self/clear_refs; where that is refused,
the peak falls back to getrusage's ru_maxrss, the high-water mark since the
process started, which overstates the call when setting up peaked higher.
"""

from __future__ import annotations

import gc
import resource
import time
from collections.abc import Callable
from pathlib import Path

STATUS = Path("/proc/self/status")
CLEAR_REFS = Path("/proc/self/clear_refs")


def status_kib(field: str) -> int:
    for line in STATUS.read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1])
    raise LookupError(f"{field} missing from {STATUS}")


def reset_peak() -> bool:
    try:
        CLEAR_REFS.write_text("5")
    except OSError:
        return False
    return True


def measure(call: Callable[[], object]) -> dict[str, object]:
    """Run `call` once; its result stays alive until the peak is read."""
    gc.collect()
    exact = reset_peak()
    idle = status_kib("VmRSS")
    start = time.perf_counter()
    result = call()
    seconds = time.perf_counter() - start
    # ru_maxrss is in KiB on Linux.
    peak = status_kib("VmHWM") if exact else resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    del result
    return {"seconds": seconds, "peak_bytes": max(0, peak - idle) * 1024,
            "idle_bytes": idle * 1024, "method": "clear_refs" if exact else "ru_maxrss"}
