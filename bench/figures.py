"""What the real-time benchmarks share: the emulator's transcript read for the update's times,
the pace of one update against the ideal (data reports x 10 ms, plus the 300 ms and 500 ms
pauses), and the table that prints it."""
import os
import statistics

PACE_HEADER = (f"{'image':<8} {'blocks':>6} {'measured ms':>12} {'ideal ms':>9} {'ratio':>7} "
               f"{'tick median':>12} {'tick p99':>9} {'tick max':>9}")


def cli_programs(build_dir):
    """lumo-flash and orvel-emulator of a Linux build, as absolute paths; ends the benchmark
    when either is not built."""
    program = os.path.abspath(os.path.join(build_dir, "cli/linux/lumo-flash"))
    emulator = os.path.abspath(os.path.join(build_dir, "emulator/orvel-emulator"))
    for path in (program, emulator):
        if not os.access(path, os.X_OK):
            raise SystemExit(f"not built: {path}")
    return program, emulator


def percentile(values, p):
    ordered = sorted(values)
    if not ordered:
        return float("nan")
    k = max(0, min(len(ordered) - 1, int(round(p / 100.0 * len(ordered) + 0.5)) - 1))
    return ordered[k]


def _transcript_events(path):
    """(time ms, device, kind) of each report a device took: start, data and finish."""
    with open(path) as f:
        for line in f:
            parts = line.split()
            if line.startswith("#") or len(parts) < 6:
                continue
            if parts[3] in ("start", "finish") or (parts[3] == "data" and parts[5] == "ok"):
                yield float(parts[0]), parts[1], parts[3]


def transcript_units(path):
    """For each device of the transcript that took a report (its number: "1", "4", ...): the
    milliseconds of its start report, of each data report it took, and of its finish report
    (None for one that never came)."""
    units = {}
    for time, device, kind in _transcript_events(path):
        unit = units.setdefault(device, {"start": None, "data": [], "finish": None})
        if kind == "data":
            unit["data"].append(time)
        else:
            unit[kind] = time
    return units


def transcript_times(path):
    """Milliseconds of the start report, of each data report the device took, and of the
    finish report (None for one that never came)."""
    start = finish = None
    data = []
    for time, _, kind in _transcript_events(path):
        if kind == "start":
            start = time
        elif kind == "data":
            data.append(time)
        else:
            finish = time
    return start, data, finish


def pace(product, data, duration):
    """The figures of one update: `data` the times of its data reports, `duration` from the
    start report to the finish report (ms)."""
    intervals = [b - a for a, b in zip(data, data[1:])]
    ideal = len(data) * 10.0 + 300.0 + 500.0
    return {"product": product, "blocks": len(data), "duration": duration, "ideal": ideal,
            "ratio": duration / ideal, "median": statistics.median(intervals),
            "p99": percentile(intervals, 99), "max": max(intervals)}


def pace_columns(u):
    """The columns of PACE_HEADER for one update."""
    name = "variant" if u["product"] == "7b16" else "primary"
    return (f"{name:<8} {u['blocks']:>6} {u['duration']:>12.1f} {u['ideal']:>9.0f} "
            f"{u['ratio']:>7.4f} {u['median']:>10.3f}ms {u['p99']:>7.3f}ms {u['max']:>7.3f}ms")
