#!/usr/bin/env python3
"""Load of the records database: 8 stations (processes) writing 250 records each into one
PostgreSQL at once, as a production line's PCs would. Not a test: it prints figures.

It starts a throwaway cluster of its own (tests/records/pg_cluster.sh: a unix socket in a
private folder, no TCP port), runs the stations at once (each a records_writer process: a
running row and then its end per record, through the sink and its outbox, as an update run
writes them), and then checks in the database that there are stations x records rows, each
finished, no ID twice and none lost. It prints records per second over the whole load and
per station.

    python3 bench/records_load.py BUILD_DIR [--stations 8] [--records 250]
"""
import argparse
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
CLUSTER = os.path.join(HERE, "..", "tests", "records", "pg_cluster.sh")


def cluster(command, folder, check=True):
    return subprocess.run([CLUSTER, command, folder], check=check, capture_output=True,
                          text=True)


def psql(url, sql):
    out = subprocess.run(["psql", url, "-Atc", sql], check=True, capture_output=True, text=True)
    return out.stdout.strip()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("build")
    parser.add_argument("--stations", type=int, default=8)
    parser.add_argument("--records", type=int, default=250)
    args = parser.parse_args()
    writer = os.path.join(args.build, "bench", "linux", "lumo_records_writer")
    if not os.access(writer, os.X_OK):
        sys.exit(f"no {writer}: configure with -DLUMO_BUILD_BENCH=ON and build lumo_records_writer")

    with tempfile.TemporaryDirectory(prefix="lumo-load-") as work:
        os.chmod(work, 0o711)  # the server's user (nobody, under root) reaches its folder
        folder = os.path.join(work, "pg")
        for step in ("init", "start"):
            done = cluster(step, folder, check=False)
            if done.returncode != 0:
                sys.exit(f"cannot {step} a PostgreSQL cluster: {done.stdout.strip()}")
        try:
            url = cluster("url", folder).stdout.strip()
            psql(url, "CREATE DATABASE line")
            line = url.replace("/postgres?", "/line?")
            start = time.monotonic()
            stations = []
            for i in range(args.stations):
                data = os.path.join(work, f"station-{i + 1}")
                os.makedirs(data)
                stations.append(subprocess.Popen(
                    [writer, line, str(args.records), f"station-{i + 1}", data],
                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True))
            per_station = []
            failed = False
            for p in stations:
                out, err = p.communicate(timeout=300)
                if p.returncode != 0:
                    failed = True
                    print(f"a station failed ({p.returncode}): {err.strip()}")
                else:
                    name, count, seconds = out.split()
                    per_station.append((name, int(count), float(seconds)))
            wall = time.monotonic() - start

            expected = args.stations * args.records
            rows, ids, ended, per_name = psql(
                line, "SELECT count(*), count(DISTINCT id), count(*) FILTER (WHERE outcome = "
                      "'updated'), count(DISTINCT station) FROM records").split("|")
            rows, ids, ended, per_name = int(rows), int(ids), int(ended), int(per_name)
        finally:
            cluster("stop", folder, check=False)

    print(f"records load: {args.stations} stations x {args.records} records into one "
          f"PostgreSQL, at once")
    print(f"{'station':<12} {'records':>8} {'seconds':>8} {'records/s':>10}")
    for name, count, seconds in sorted(per_station):
        print(f"{name:<12} {count:>8} {seconds:>8.2f} {count / seconds:>10.0f}")
    print(f"{'all':<12} {expected:>8} {wall:>8.2f} {expected / wall:>10.0f}")
    print(f"rows {rows} (expected {expected}), distinct IDs {ids}, finished {ended}, "
          f"stations {per_name}")
    ok = not failed and rows == expected and ids == expected and ended == expected
    print("records load: " + ("PASSED: no loss, no duplicate" if ok else "FAILED"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
