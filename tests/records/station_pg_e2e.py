#!/usr/bin/env python3
"""End to end: a station keeps its records in PostgreSQL while the server is stopped hard and
started again.

    station_pg_e2e.py EMULATOR LUMO_FLASH

A throwaway cluster (pg_cluster.sh) holds the records. Three units come one after another on
ports 1-2, 1-3 and 1-4 under the emulated device; once the first unit's result is out, the
server is stopped hard (pg_ctl stop -m immediate) and started again 3 s later, while the next
units stream. Then one Ctrl-C ends the station. Checked: every unit delivered byte for byte
(the emulator's verdict), and the database holds exactly one record per unit, updated, with
its serial and port, also for the units whose records went through the outbox. Each unit's
update time is printed, not judged. Exit 77 when no cluster can be started.
"""
import json
import os
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
CLUSTER = os.path.join(HERE, "pg_cluster.sh")
UNITS = {"M8V-000301": "1-2", "M8V-000302": "1-3", "M8V-000303": "1-4"}


def pg(command, folder):
    # The server runs outside the emulated device's testbed.
    env = {k: v for k, v in os.environ.items() if not k.startswith(("LD_PRELOAD", "UMOCKDEV"))}
    return subprocess.run(["bash", CLUSTER, command, folder], capture_output=True, text=True,
                          env=env)


def child(cluster, command):
    """Inside the emulator: the station, the server's crash after the first result, Ctrl-C
    after the last."""
    proc = subprocess.Popen(command, stdout=subprocess.PIPE, text=True)
    results = 0
    for line in proc.stdout:
        sys.stdout.write(line)
        if '"event":"unit-result"' not in line:
            continue
        results += 1
        if results == 1:
            print("station_pg_e2e: the server stopped hard", flush=True)
            pg("crash", cluster)
            time.sleep(3)
            started = pg("start", cluster)
            print(f"station_pg_e2e: the server started again ({started.returncode})", flush=True)
        if results == len(UNITS):
            proc.send_signal(signal.SIGINT)
    return proc.wait()


def main():
    if sys.argv[1] == "--child":
        return child(sys.argv[2], sys.argv[3:])
    emulator, program = sys.argv[1], sys.argv[2]
    with tempfile.TemporaryDirectory() as work:
        os.chmod(work, 0o755)
        cluster = os.path.join(work, "pg")
        for step in ("init", "start"):
            done = pg(step, cluster)
            if done.returncode != 0:
                print(f"station_pg_e2e: skipped: {done.stdout.strip()}")
                return 77
        url = pg("url", cluster).stdout.strip()
        env = dict(os.environ, XDG_DATA_HOME=os.path.join(work, "data"),
                   LUMO_LOCK_DIR=os.path.join(work, "locks"))
        os.makedirs(env["LUMO_LOCK_DIR"])
        cmd = [emulator, "--product", "7b16", "--expect", "delivered", "--timeout", "150",
               "--scenario", "device at 1-2 serial M8V-000301",
               "--scenario", "unit b 7b16 at 1-3 serial M8V-000302",
               "--scenario", "plug in unit b after 6000 ms",
               "--scenario", "unit c 7b16 at 1-4 serial M8V-000303",
               "--scenario", "plug in unit c after 12000 ms",
               "--scenario", "expect unit b delivered", "--scenario", "expect unit c delivered",
               "--", sys.executable, os.path.abspath(__file__), "--child", cluster,
               program, "--station", "--json", "--allow-stand-in", "--records", url]
        run = subprocess.run(cmd, env=env, capture_output=True, text=True, timeout=240)
        sys.stdout.write(run.stdout + run.stderr)
        problems = []
        if run.returncode != 0:
            problems.append(f"the emulator's run ended with {run.returncode}")
        read = subprocess.run([program, "records", "--json", "--limit", "0", "--records", url],
                              env=env, capture_output=True, text=True, timeout=60)
        pg("stop", cluster)
    rows = [json.loads(l) for l in read.stdout.splitlines() if l.strip()]
    for row in rows:
        print(f"station_pg_e2e: record {row['unit']} {row['outcome']} {row['started_at']} "
              f"to {row['ended_at']}")
    if read.returncode != 0:
        problems.append(f"records --json ended with {read.returncode}: {read.stderr.strip()}")
    if sorted(r["unit"] for r in rows) != sorted(UNITS):
        problems.append(f"records of {sorted(r['unit'] for r in rows)}, expected one each of "
                        f"{sorted(UNITS)}")
    for r in rows:
        if r["outcome"] != "updated" or r["port"] != UNITS.get(r["unit"]):
            problems.append(f"record {r}")
    for p in problems:
        print("station_pg_e2e: FAIL " + p)
    print(f"station_pg_e2e: {'ok' if not problems else 'failed'}")
    return 0 if not problems else 1


if __name__ == "__main__":
    sys.exit(main())
