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

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from figures import PACE_HEADER, pace, pace_columns, transcript_times  # noqa: E402


def parse_kv(text):
    out = {}
    for line in text.splitlines():
        if "=" in line and not line.startswith("#"):
            key, _, value = line.partition("=")
            out[key.strip()] = value.strip()
    return out


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
    _, times, _ = transcript_times(transcript)
    duration = float(figures["update_ms"])
    cpu = float(figures["update_cpu_ms"])
    return {
        **pace(product, times, duration),
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
    emulator = os.path.join(args.build_dir, "emulator/orvel-emulator")
    for path in (driver, emulator):
        if not os.access(path, os.X_OK):
            raise SystemExit(f"not built: {path} (configure with -DLUMO_BUILD_BENCH=ON)")
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")

    startups = [run_startup(driver, env) for _ in range(args.runs)]
    with tempfile.TemporaryDirectory() as workdir:
        updates = [run_update(emulator, driver, p, env, workdir) for p in ("7b16", "c3d1")]

    print("Linux program, real time, against the emulated device (offscreen platform)")
    print(f"{PACE_HEADER} {'CPU ms':>8} {'CPU %':>6} {'peak KiB':>9}")
    for u in updates:
        print(f"{pace_columns(u)} {u['cpu']:>8.1f} {u['cpu_pct']:>6.2f} {u['rss']:>9}")
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
