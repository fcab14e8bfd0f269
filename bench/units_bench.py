#!/usr/bin/env python3
"""Benchmark of `lumo-flash --all` with 1, 2, 4 and 8 emulated units on one PC.

Each run puts N units of one product (each on its own USB port, with its own serial) under
orvel-emulator and updates them all at once with one lumo-flash process. Per N it prints: the
wall time of the process (from its start to its exit, the 2.5 s pause after the units are
found included), that time against the wall time with one unit, the tick p99 of every unit
(the intervals between the data reports each unit took, from the emulator's transcript; the
worst unit's figure is shown), and the process's CPU time (user + system, from wait4) in all
and per unit. Every unit must be delivered byte for byte, or the run counts as failed.

    python3 bench/units_bench.py BUILD_DIR [--units 1,2,4,8] [--product 7b16|c3d1] [--runs N]

Targets: wall(8) <= 1.05 x wall(1); every unit's tick p99 <= 12 ms; CPU time grows at most
linearly with the units (CPU per unit no more than with one unit).
"""
import argparse
import os
import subprocess
import sys
import tempfile
import time

from figures import cli_programs, percentile, transcript_units

TICK_P99_TARGET_MS = 12.0
WALL_TARGET = 1.05
SERIAL_PREFIX = {"7b16": "M8V-09", "c3d1": "M8P-09"}


def child(command):
    """Inside the emulator: runs lumo-flash and prints its wall time and CPU time."""
    began = time.monotonic()
    proc = subprocess.Popen(command, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.monotonic() - began
    print(f"exit={os.waitstatus_to_exitcode(status)}")
    print(f"wall_s={wall:.3f}")
    print(f"user_s={usage.ru_utime:.3f}")
    print(f"sys_s={usage.ru_stime:.3f}")
    return 0


def scenario(units, product):
    """Device 1 on port 1-1 and N-1 more units of the same product on ports 1-4 on (1-2 and
    1-3 are the emulator's second and unrelated devices)."""
    statements = ["device at 1-1"]
    for k in range(1, units):
        name = f"u{k + 1}"
        statements += [f"unit {name} {product} at 1-{k + 3} serial {SERIAL_PREFIX[product]}{k:04d}",
                       f"expect unit {name} delivered"]
    return statements


def run(emulator, program, units, product, workdir):
    transcript = os.path.join(workdir, f"units-{units}.transcript")
    cmd = [emulator, "--product", product, "--expect", "delivered", "--timeout", "180",
           "--transcript", transcript]
    for statement in scenario(units, product):
        cmd += ["--scenario", statement]
    cmd += ["--", sys.executable, os.path.abspath(__file__), "--child", program, "--all",
            "--allow-stand-in", "--json"]
    env = dict(os.environ, LUMO_LOCK_DIR=workdir)  # claims apart from any other run's
    proc = subprocess.run(cmd, capture_output=True, text=True, timeout=240, env=env)
    figures = dict(l.split("=", 1) for l in proc.stdout.splitlines()
                   if "=" in l and not l.startswith("emulator"))
    if proc.returncode != 0 or figures.get("exit") != "0":
        sys.stderr.write(proc.stdout + proc.stderr)
        raise SystemExit(f"--all with {units} units did not deliver every unit byte for byte")
    by_unit = transcript_units(transcript)
    if len(by_unit) != units:
        raise SystemExit(f"{len(by_unit)} of {units} units took reports")
    p99 = {}
    for device, times in by_unit.items():
        data = times["data"]
        p99[device] = percentile([b - a for a, b in zip(data, data[1:])], 99)
    cpu = float(figures["user_s"]) + float(figures["sys_s"])
    return {"units": units, "wall": float(figures["wall_s"]), "p99": max(p99.values()),
            "p99_best": min(p99.values()), "cpu": cpu, "user": float(figures["user_s"])}


def main():
    if len(sys.argv) > 2 and sys.argv[1] == "--child":
        return child(sys.argv[2:])
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build_dir")
    parser.add_argument("--units", default="1,2,4,8", help="comma-separated unit counts")
    parser.add_argument("--product", choices=("7b16", "c3d1"), default="7b16")
    parser.add_argument("--runs", type=int, default=1, help="runs of each count")
    args = parser.parse_args()
    counts = [int(n) for n in args.units.split(",")]
    program, emulator = cli_programs(args.build_dir)
    with tempfile.TemporaryDirectory() as workdir:
        rows = [run(emulator, program, n, args.product, workdir)
                for _ in range(args.runs) for n in counts]
    ones = [r["wall"] for r in rows if r["units"] == 1]
    ones_cpu = [r["cpu"] for r in rows if r["units"] == 1]
    wall_1 = min(ones) if ones else None
    cpu_1 = min(ones_cpu) if ones_cpu else None
    print(f"lumo-flash --all, product {args.product}, real time, against emulated units")
    print(f"{'units':>5} {'wall s':>7} {'/ wall(1)':>9} {'tick p99 worst':>15} "
          f"{'(best)':>8} {'CPU s':>6} {'user s':>6} {'CPU/unit s':>10}")
    for r in rows:
        ratio = f"{r['wall'] / wall_1:>9.3f}" if wall_1 else f"{'-':>9}"
        print(f"{r['units']:>5} {r['wall']:>7.2f} {ratio} {r['p99']:>12.2f} ms "
              f"{r['p99_best']:>5.2f} ms {r['cpu']:>6.2f} {r['user']:>6.2f} "
              f"{r['cpu'] / r['units']:>10.3f}")
    print(f"targets: wall(8) <= {WALL_TARGET} x wall(1); every unit's tick p99 <= "
          f"{TICK_P99_TARGET_MS:.0f} ms; CPU per unit no more than with 1 unit")
    if wall_1:
        for r in rows:
            met = []
            if r["units"] == 8:
                met.append(("wall", r["wall"] <= WALL_TARGET * wall_1))
            met.append(("tick p99", r["p99"] <= TICK_P99_TARGET_MS))
            if cpu_1:
                met.append(("CPU", r["cpu"] / r["units"] <= cpu_1))
            print(f"{r['units']:>5} units: " + ", ".join(
                f"{name} {'met' if ok else 'MISSED'}" for name, ok in met))
    return 0


if __name__ == "__main__":
    sys.exit(main())
