#!/usr/bin/env python3
"""Real-time benchmark of the Linux program against the emulated Orvel-M8.

Runs whole updates of both images in real time (the real dialog, hidraw backend and 10 ms
timer on the offscreen platform, under orvel-emulator) and prints, per image: the measured
duration against the ideal (data reports x 10 ms + 300 ms + 500 ms), the tick interval median
and 99th percentile from the emulator's transcript, the process's CPU time during the update;
and the time from start to the window shown with no device, and peak memory.

    python3 bench/linux/realtime_bench.py BUILD_DIR [--runs N]

Targets: ratio <= 1.02, p99 interval <= 12 ms, CPU <= 2 % of one core during the update.
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time


def parse_kv(text):
    out = {}
    for line in text.splitlines():
        if "=" in line and not line.startswith("#"):
            key, _, value = line.partition("=")
            out[key.strip()] = value.strip()
    return out


def percentile(values, p):
    ordered = sorted(values)
    if not ordered:
        return float("nan")
    k = max(0, min(len(ordered) - 1, int(round(p / 100.0 * len(ordered) + 0.5)) - 1))
    return ordered[k]


def data_times(transcript):
    times = []
    with open(transcript) as f:
        for line in f:
            if line.startswith("#"):
                continue
            parts = line.split()
            if len(parts) >= 6 and parts[3] == "data" and parts[5] == "ok":
                times.append(float(parts[0]))
    return times


def run_update(emulator, driver, product, env, workdir):
    transcript = os.path.join(workdir, f"bench-{product}.transcript")
    cmd = [emulator, "--product", product, "--expect", "delivered", "--timeout", "120",
           "--transcript", transcript, "--", driver, "update"]
    proc = subprocess.run(cmd, env=env, capture_output=True, text=True, timeout=180)
    figures = parse_kv(proc.stdout)
    verdict = next((l for l in proc.stdout.splitlines() if l.startswith("emulator verdict:")),
                   "emulator verdict: (none)")
    if proc.returncode != 0 or figures.get("outcome") != "success":
        sys.stderr.write(proc.stdout + proc.stderr)
        raise SystemExit(f"update of product {product} did not succeed ({verdict})")
    times = data_times(transcript)
    intervals = [b - a for a, b in zip(times, times[1:])]
    blocks = len(times)
    ideal = blocks * 10.0 + 300.0 + 500.0
    duration = float(figures["update_ms"])
    cpu = float(figures["update_cpu_ms"])
    return {
        "product": product,
        "blocks": blocks,
        "duration": duration,
        "ideal": ideal,
        "ratio": duration / ideal,
        "median": statistics.median(intervals),
        "p99": percentile(intervals, 99),
        "max": max(intervals),
        "cpu": cpu,
        "cpu_pct": 100.0 * cpu / duration,
        "rss": int(figures["peak_rss_kib"]),
        "prog_median": float(figures.get("program_tick_median_ms", "nan")),
        "prog_p99": float(figures.get("program_tick_p99_ms", "nan")),
        "prog_max": float(figures.get("program_tick_max_ms", "nan")),
        "verdict": verdict.split(":", 1)[1].strip(),
    }


def run_startup(driver, env):
    start = time.time_ns()
    proc = subprocess.run([driver, "startup"], env=env, capture_output=True, text=True,
                          timeout=60)
    figures = parse_kv(proc.stdout)
    if proc.returncode != 0 or "shown_realtime_ns" not in figures:
        sys.stderr.write(proc.stdout + proc.stderr)
        raise SystemExit("the window did not show")
    return (int(figures["shown_realtime_ns"]) - start) / 1e6, int(figures["peak_rss_kib"])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build_dir")
    parser.add_argument("--runs", type=int, default=5, help="start-up runs (median)")
    args = parser.parse_args()
    driver = os.path.join(args.build_dir, "bench/linux/lumo_realtime_driver")
    emulator = os.path.join(args.build_dir, "device/emulator/orvel-emulator")
    for path in (driver, emulator):
        if not os.access(path, os.X_OK):
            raise SystemExit(f"not built: {path} (configure with -DLUMO_BUILD_BENCH=ON)")
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")

    startups = [run_startup(driver, env) for _ in range(args.runs)]
    with tempfile.TemporaryDirectory() as workdir:
        updates = [run_update(emulator, driver, p, env, workdir) for p in ("7b16", "c3d1")]

    print("Linux program, real time, against the emulated device (offscreen platform)")
    print(f"{'image':<8} {'blocks':>6} {'measured ms':>12} {'ideal ms':>9} {'ratio':>7} "
          f"{'tick median':>12} {'tick p99':>9} {'tick max':>9} {'CPU ms':>8} {'CPU %':>6} "
          f"{'peak KiB':>9}")
    for u in updates:
        name = "variant" if u["product"] == "7b16" else "primary"
        print(f"{name:<8} {u['blocks']:>6} {u['duration']:>12.1f} {u['ideal']:>9.0f} "
              f"{u['ratio']:>7.4f} {u['median']:>10.3f}ms {u['p99']:>7.3f}ms {u['max']:>7.3f}ms "
              f"{u['cpu']:>8.1f} {u['cpu_pct']:>6.2f} {u['rss']:>9}")
        print(f"         ticks as the program wrote them: median {u['prog_median']:.3f} ms, "
              f"p99 {u['prog_p99']:.3f} ms, max {u['prog_max']:.3f} ms")
        print(f"         verdict: {u['verdict']}")
    shown = [s[0] for s in startups]
    print(f"start to window shown, no device: median {statistics.median(shown):.1f} ms "
          f"(min {min(shown):.1f}, max {max(shown):.1f}, {len(shown)} runs); "
          f"peak memory at start {max(s[1] for s in startups)} KiB")
    print("targets: ratio <= 1.02, tick p99 <= 12 ms, CPU <= 2 % of one core")


if __name__ == "__main__":
    main()
