#!/usr/bin/env python3
"""Benchmark: does keeping records slow the stream? `lumo-flash --all` with 4 emulated units,
with records off, to a SQLite file, to a PostgreSQL server, and to a PostgreSQL server that is
down (records queued in the local outbox). Per case: the process's wall time and the worst
unit's tick p99 (the intervals between the data reports each unit took), as units_bench.py
measures them; every unit must be delivered byte for byte.

    python3 bench/records_bench.py BUILD_DIR [--units 4] [--runs N]

Target: every case within noise of records off: wall within 2 %, tick p99 within a quarter
(the tick p99 of one configuration moves that much from run to run on a shared machine).
"""
import argparse
import os
import subprocess
import sys
import tempfile

from figures import cli_programs
from units_bench import run

HERE = os.path.dirname(os.path.abspath(__file__))
PG_CLUSTER = os.path.join(HERE, "..", "tests", "records", "pg_cluster.sh")


def pg(command, folder):
    return subprocess.run(["bash", PG_CLUSTER, command, folder], capture_output=True, text=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build_dir")
    parser.add_argument("--units", type=int, default=4)
    parser.add_argument("--runs", type=int, default=1)
    args = parser.parse_args()
    program, emulator = cli_programs(args.build_dir)
    rows = []
    with tempfile.TemporaryDirectory() as workdir:
        os.chmod(workdir, 0o755)
        cluster = os.path.join(workdir, "pg")
        have_pg = pg("init", cluster).returncode == 0 and pg("start", cluster).returncode == 0
        url = pg("url", cluster).stdout.strip() if have_pg else ""
        cases = [("records off", "none"), ("SQLite", os.path.join(workdir, "records.db"))]
        if have_pg:
            cases += [("PostgreSQL", url), ("PostgreSQL down", url)]
        for name, target in cases:
            if name == "PostgreSQL down":
                pg("crash", cluster)
            os.environ["LUMO_RECORDS"] = target
            os.environ["XDG_DATA_HOME"] = os.path.join(workdir, "data")  # the outbox's folder
            for _ in range(args.runs):
                r = run(emulator, program, args.units, "7b16", workdir)
                rows.append((name, r))
        if have_pg:
            pg("stop", cluster)
    base = [r for name, r in rows if name == "records off"]
    wall0 = min(r["wall"] for r in base)
    p99_0 = min(r["p99"] for r in base)
    print(f"lumo-flash --all with {args.units} units, real time, against emulated units")
    print(f"{'records':<16} {'wall s':>7} {'/ off':>6} {'tick p99 worst':>15} {'CPU s':>6}")
    for name, r in rows:
        print(f"{name:<16} {r['wall']:>7.2f} {r['wall'] / wall0:>6.3f} {r['p99']:>12.2f} ms "
              f"{r['cpu']:>6.2f}")
    if not any(name.startswith("PostgreSQL") for name, _ in rows):
        print("PostgreSQL cases skipped: no server could be started (scripts/install-deps.sh)")
    worst = max(rows, key=lambda nr: nr[1]["wall"])
    ok = all(r["wall"] <= wall0 * 1.02 and r["p99"] <= p99_0 * 1.25 for _, r in rows)
    print(f"target (wall within 2 %, tick p99 within 25 % of records off): "
          f"{'holds' if ok else 'MISSED'} (slowest: {worst[0]})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
