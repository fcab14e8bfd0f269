#!/usr/bin/env python3
"""Soak of `lumo-flash --station`: a stream of emulated units through two ports, and what the
station's process holds as they go.

One lumo-flash process runs `--station --allow-stand-in --json --image FILE --product 7b16`
(FILE: a short image made here, 10 blocks of 56 bytes by default) under orvel-emulator, whose
"units" statement keeps one unit on each of ports 1-2 and 1-3: a unit is pulled out 400 ms
after its finish report and a new one (its own serial) is plugged in 300 ms later, until N
units have gone through. After units 1, N/4, N/2 and N have left, the process is sampled by
pid: open descriptors (/proc/PID/fd), threads (/proc/PID/task) and VmRSS. Then Ctrl-C ends the
station, and the table, the station's closing tally and the emulator's verdict are printed.

    python3 bench/station_soak.py BUILD_DIR [--units N] [--check]

Target: after the last unit, at most 2 descriptors and 1 thread more than after the first,
and resident memory within 1 MiB of it. Under the emulator a process can keep only about 50
emulated nodes open at once: beyond that umockdev's preload aborts it ("fd_map_add():
overflow"), much as a PC runs out of hidraw minor numbers (64). The exit status is non-zero when a unit was not
delivered byte for byte or the station did not tally every unit as updated, and with --check
also when the target is missed.
"""
import argparse
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from figures import cli_programs

PORTS = ("1-2", "1-3")
BLOCK = 56
TARGET_FDS = 2
TARGET_THREADS = 1
TARGET_RSS_KIB = 1024
SETTLE_S = 0.2  # after a unit leaves, before sampling: the station hears of the removal


def sample(pid):
    fds = len(os.listdir(f"/proc/{pid}/fd"))
    threads = len(os.listdir(f"/proc/{pid}/task"))
    rss = 0
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                rss = int(line.split()[1])
    return {"descriptors": fds, "threads": threads, "rss_kib": rss}


def exit_text(code):
    if code is None:
        return "did not run"
    if code < 0:
        return f"ended by signal {signal.Signals(-code).name}"
    return f"exit {code}"


def sample_points(units):
    return sorted({1, max(1, units // 4), max(1, units // 2), units})


def inner(args, command):
    """Inside the emulator: runs the station, samples it as units leave, then stops it."""
    points = set(int(p) for p in args.points.split(","))
    results = {"samples": [], "exit": None, "station_end": None, "updated_results": 0}
    with open(args.out, "wb") as out, open(args.err, "wb") as err:
        proc = subprocess.Popen(command, stdout=out, stderr=err)
        began = time.monotonic()
        last_progress = began
        seen = 0
        pending = ""
        with open(args.progress) as progress:
            while proc.poll() is None and seen < args.units:
                chunk = progress.read()
                if not chunk:
                    if time.monotonic() - last_progress > args.stall:
                        results["stalled_after"] = seen
                        break
                    time.sleep(0.05)
                    continue
                last_progress = time.monotonic()
                pending += chunk
                *lines, pending = pending.split("\n")
                for line in lines:
                    words = line.split()
                    if len(words) < 3 or words[0] != "unit":
                        continue
                    seen = max(seen, int(words[1]))
                    if int(words[1]) in points:
                        time.sleep(SETTLE_S)
                        if proc.poll() is not None:
                            break
                        s = sample(proc.pid)
                        s["unit"] = int(words[1])
                        s["seconds"] = round(time.monotonic() - began, 1)
                        results["samples"].append(s)
        if proc.poll() is None:
            proc.send_signal(signal.SIGINT)
            try:
                proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
                results["killed"] = True
        results["exit"] = proc.returncode
        results["seconds"] = round(time.monotonic() - began, 1)
    with open(args.out, encoding="utf-8", errors="replace") as f:
        for line in f:
            try:
                event = json.loads(line)
            except ValueError:
                continue
            if event.get("event") == "station-end":
                results["station_end"] = event
            elif event.get("event") == "unit-result" and event.get("exit") == 0:
                results["updated_results"] += 1
    with open(args.results, "w") as f:
        json.dump(results, f)
    return 0


def table(samples):
    rows = ["  units  descriptors  threads  resident KiB   Δdescr.  Δthreads  Δresident KiB"]
    first = samples[0] if samples and samples[0]["unit"] == 1 else None
    for s in samples:
        d = ({k: s[k] - first[k] for k in ("descriptors", "threads", "rss_kib")} if first
             else None)
        rows.append(f"  {s['unit']:5d}  {s['descriptors']:11d}  {s['threads']:7d}  "
                    f"{s['rss_kib']:12d}   " +
                    (f"{d['descriptors']:+7d}  {d['threads']:+8d}  {d['rss_kib']:+13d}" if d
                     else "      -         -              -"))
    return rows


def target_holds(samples, units):
    """Whether the last sample (after unit `units`) is within the target of the first."""
    if len(samples) < 2 or samples[0]["unit"] != 1 or samples[-1]["unit"] != units:
        return False, "not sampled after the first and the last unit"
    first, last = samples[0], samples[-1]
    misses = []
    if last["descriptors"] - first["descriptors"] > TARGET_FDS:
        misses.append(f"{last['descriptors'] - first['descriptors']:+d} descriptors")
    if last["threads"] - first["threads"] > TARGET_THREADS:
        misses.append(f"{last['threads'] - first['threads']:+d} threads")
    if abs(last["rss_kib"] - first["rss_kib"]) > TARGET_RSS_KIB:
        misses.append(f"{last['rss_kib'] - first['rss_kib']:+d} KiB resident")
    return not misses, ", ".join(misses)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("build_dir", nargs="?")
    parser.add_argument("--units", type=int, default=1000)
    parser.add_argument("--blocks", type=int, default=10, help="blocks of the image (default 10)")
    parser.add_argument("--pull-ms", type=int, default=400,
                        help="a unit is pulled out this long after its finish report")
    parser.add_argument("--plug-ms", type=int, default=300,
                        help="the next unit comes this long after one is pulled out")
    parser.add_argument("--check", action="store_true",
                        help="exit non-zero when the target is missed as well")
    parser.add_argument("--keep", action="store_true", help="keep the working folder")
    # Inside the emulator.
    parser.add_argument("--inner", action="store_true", help=argparse.SUPPRESS)
    for hidden in ("--points", "--progress", "--results", "--out", "--err"):
        parser.add_argument(hidden, help=argparse.SUPPRESS)
    parser.add_argument("--stall", type=float, default=60, help=argparse.SUPPRESS)
    argv = sys.argv[1:]
    command = []
    if "--" in argv:
        command = argv[argv.index("--") + 1:]
        argv = argv[:argv.index("--")]
    args = parser.parse_args(argv)
    if args.inner:
        return inner(args, command)
    if not args.build_dir or args.units < 1:
        parser.error("a build folder and at least one unit are needed")
    program, emulator = cli_programs(args.build_dir)

    work = tempfile.mkdtemp(prefix="station-soak-")
    image = os.path.join(work, "soak.bin")
    with open(image, "wb") as f:
        f.write(random.Random(1).randbytes(args.blocks * BLOCK))
    files = {name: os.path.join(work, name)
             for name in ("progress", "results", "out", "err", "transcript")}
    points = sample_points(args.units)
    statement = (f"units {args.units} on ports {' '.join(PORTS)} serial M8V-S{{n}} "
                 f"pull after done {args.pull_ms} ms plug after {args.plug_ms} ms")
    # Generous: a unit takes about 4 s at the station (its pauses included), two at a time.
    timeout = 120 + args.units * 4
    cmd = [emulator, "--product", "7b16", "--image", image, "--progress", files["progress"],
           "--transcript", files["transcript"], "--timeout", str(timeout),
           "--scenario", statement, "--",
           sys.executable, os.path.abspath(__file__), "--inner",
           "--points", ",".join(map(str, points)), "--units", str(args.units)]
    for name in ("progress", "results", "out", "err"):
        cmd += [f"--{name}", files[name]]
    cmd += ["--", program, "--station", "--allow-stand-in", "--json", "--image", image,
            "--product", "7b16"]
    env = dict(os.environ)
    env.setdefault("LUMO_LOCK_DIR", os.path.join(work, "locks"))
    os.makedirs(env["LUMO_LOCK_DIR"], exist_ok=True)
    open(files["progress"], "w").close()  # the inner side opens it before the emulator writes

    print(f"station soak: {args.units} units through lumo-flash --station on ports "
          f"{' and '.join(PORTS)} (image of {args.blocks} blocks; each unit pulled "
          f"{args.pull_ms} ms after its finish, the next plugged in {args.plug_ms} ms later)",
          flush=True)
    began = time.monotonic()
    run = subprocess.run(cmd, env=env, stdout=subprocess.PIPE, text=True)
    wall = time.monotonic() - began
    verdict = [line for line in run.stdout.splitlines() if line.startswith("emulator")]
    try:
        with open(files["results"]) as f:
            results = json.load(f)
    except (OSError, ValueError):
        results = {"samples": []}

    for row in table(results["samples"]):
        print(row)
    holds, missed = target_holds(results["samples"], args.units)
    print(f"target (after unit {args.units} against unit 1: at most +{TARGET_FDS} descriptors, "
          f"+{TARGET_THREADS} thread, resident within {TARGET_RSS_KIB} KiB): "
          + ("holds" if holds else f"MISSED ({missed})"))
    end = results.get("station_end")
    print(f"station: {json.dumps(end) if end else 'no closing tally'}; "
          f"{results.get('updated_results', 0)} unit results with exit 0; "
          f"lumo-flash {exit_text(results.get('exit'))}"
          + (" (killed: Ctrl-C did not end it)" if results.get("killed") else "")
          + (f"; no unit left for 60 s after unit {results['stalled_after']}"
             if "stalled_after" in results else ""))
    for line in verdict:
        print(line)
    print(f"run time {wall:.1f} s; emulator exit {run.returncode}")

    delivered = run.returncode == 0 and any(
        line.startswith(f"emulator verdict: delivered byte for byte: {args.units} of "
                        f"{args.units} units") for line in verdict)
    tallied = bool(end) and end.get("updated") == args.units and end.get("failed") == 0
    ok = delivered and tallied and (holds or not args.check)
    if not ok or args.keep:
        err = files["err"]
        if not ok and os.path.exists(err):
            with open(err, errors="replace") as f:
                tail = f.read().splitlines()[-10:]
            if tail:
                print("lumo-flash's last lines on stderr:\n  " + "\n  ".join(tail))
        print(f"working folder kept: {work}")
    else:
        shutil.rmtree(work, ignore_errors=True)
    if not delivered:
        print("FAILED: not every unit was delivered byte for byte")
    if not tallied:
        print(f"FAILED: the station did not tally {args.units} updated and none failed")
    if args.check and not holds:
        print("FAILED: the target is missed")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
