#!/usr/bin/env python3
"""Real-time benchmark of lumo-flash (Linux) against the emulated Orvel-M8.

Runs whole updates of both images with the real program (hidraw backend, poll loop, 10 ms timer
fd) under orvel-emulator and prints, per image: the duration from the start report to the
finish report against the ideal (data reports x 10 ms + 300 ms + 500 ms), the tick interval
median, 99th percentile and maximum from the emulator's transcript, the program's CPU time
during the update (from the "start" to the "done" event, /proc/PID/stat) as a share of one
core, and its peak resident memory (VmHWM, read at each event while it runs; getrusage would
count the Python process it was forked from).

    python3 bench/cli_bench.py BUILD_DIR [--runs N]

Targets: ratio <= 1.02, tick p99 <= 12 ms, CPU <= 1 % of one core during the update.
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile

from figures import PACE_HEADER, cli_programs, pace, pace_columns, transcript_times


def cpu_ticks(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]), int(fields[12])  # utime, stime, in clock ticks


def peak_resident_kib(pid, before):
    """VmHWM, or `before` when the program has just ended."""
    try:
        with open(f"/proc/{pid}/status") as f:
            return next((int(l.split()[1]) for l in f if l.startswith("VmHWM:")), before)
    except OSError:
        return before


def child(program):
    """Inside the emulator: runs lumo-flash --json and samples its CPU time at start and done."""
    proc = subprocess.Popen([program, "--json", "--allow-stand-in"], stdout=subprocess.PIPE,
                            text=True)
    hz = os.sysconf("SC_CLK_TCK")
    at_start = at_done = rss = None
    for line in proc.stdout:
        event = json.loads(line)
        rss = peak_resident_kib(proc.pid, rss)
        if event["event"] == "start":
            at_start = cpu_ticks(proc.pid)
        elif event["event"] == "done":
            at_done = cpu_ticks(proc.pid)
            done = event
    status = proc.wait()
    if status != 0 or at_done is None:
        print(f"outcome=failed status={status}")
        return 1
    print("outcome=success")
    user = (at_done[0] - at_start[0]) * 1000.0 / hz
    system = (at_done[1] - at_start[1]) * 1000.0 / hz
    print(f"update_cpu_ms={user + system}")
    print(f"update_user_ms={user}")
    print(f"elapsed_ms={done['elapsed_ms']}")
    print(f"peak_rss_kib={rss}")
    return 0


def run_update(emulator, program, product, workdir):
    transcript = os.path.join(workdir, f"cli-bench-{product}.transcript")
    cmd = [emulator, "--product", product, "--expect", "delivered", "--timeout", "120",
           "--transcript", transcript, "--", sys.executable, os.path.abspath(__file__),
           "--child", program]
    proc = subprocess.run(cmd, capture_output=True, text=True, timeout=180)
    figures = dict(l.split("=", 1) for l in proc.stdout.splitlines() if "=" in l and
                   not l.startswith("emulator"))
    if proc.returncode != 0 or figures.get("outcome") != "success":
        sys.stderr.write(proc.stdout + proc.stderr)
        raise SystemExit(f"update of product {product} did not succeed")
    start, data, finish = transcript_times(transcript)
    cpu = float(figures["update_cpu_ms"])
    u = pace(product, data, finish - start)
    u.update(cpu=cpu, cpu_pct=100.0 * cpu / u["duration"], user=float(figures["update_user_ms"]),
             rss=int(figures["peak_rss_kib"]))
    return u


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--child":
        return child(sys.argv[2])
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build_dir")
    parser.add_argument("--runs", type=int, default=1, help="updates of each image")
    args = parser.parse_args()
    program, emulator = cli_programs(args.build_dir)
    with tempfile.TemporaryDirectory() as workdir:
        updates = [run_update(emulator, program, p, workdir)
                   for _ in range(args.runs) for p in ("7b16", "c3d1")]
    print("lumo-flash, real time, against the emulated device")
    print(f"{PACE_HEADER} {'CPU ms':>7} {'CPU %':>6} {'peak KiB':>9}")
    for u in updates:
        print(f"{pace_columns(u)} {u['cpu']:>7.1f} {u['cpu_pct']:>6.2f} {u['rss']:>9}")
        print(f"         of the CPU time, in the program itself (user): {u['user']:.0f} ms; "
              f"the rest is the kernel, mostly each write's round trip to the emulator")
    print("targets: ratio <= 1.02, tick p99 <= 12 ms, CPU <= 1 % of one core")
    return 0


if __name__ == "__main__":
    sys.exit(main())
