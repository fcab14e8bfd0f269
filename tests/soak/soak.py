#!/usr/bin/env python3
"""Soak of the real programs against the emulated Orvel-M8: many whole updates in one process
while the emulator pulls the device out and plugs it back in at seeded random times. The
promise must hold for every update (the box shown against what the device got), and the
process must hold as many descriptors (Linux) or handles (Windows) and as much memory after
the last update as after the first. Prints the figures.

  soak.py linux BUILD_DIR [--updates 30] [--seed 1]
  soak.py windows WIN64_BUILD_DIR EMULATOR [--updates 10] [--seed 1] [--tool EXE]
  soak.py cli BUILD_DIR [--updates 30] [--seed 1]

The command line is one process per update, so there the figures are per run: its descriptors
and resident memory while it streams (read at each progress event, so a handle left behind by
a resume shows) and its peak resident memory; the last run's must match the first's.

On Windows a box "The device is not connected!" (the device pulled out just as Update was
pressed) takes the place of an update. The boxes are matched to the device's whole images by count (the robot's
clock and the emulator's are not the same).
"""
import argparse
import contextlib
import json
import os
import random
import re
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))

# One whole update of the variant image: 988 ticks of 10 ms, the pauses and the boxes.
UPDATE_MS = 11500


def scenario(seed, updates):
    """About one unplug every other update, at seeded random times, each plugged back in
    after 0.1 to 1.5 s."""
    rng = random.Random(seed)
    span = updates * UPDATE_MS
    count = max(1, updates // 2)
    times = sorted(rng.randrange(1500, max(1501, int(span * 0.9))) for _ in range(count))
    statements, last = [], -10_000
    for t in times:
        if t - last < 3000:  # the previous replug has to be over
            continue
        replug = rng.randrange(100, 1500)
        statements += [f"unplug after {t} ms", f"replug after {replug} ms"]
        last = t + replug
    return statements


def emulator_command(emulator, timeout_s, transcript, statements, program):
    """The emulated 0x7B16 device, with the scenario's statements, around `program`."""
    cmd = [emulator, "--product", "7b16", "--timeout", str(timeout_s), "--transcript", transcript]
    for s in statements:
        cmd += ["--scenario", s]
    return cmd + ["--"] + program


def run(cmd, env, timeout):
    began = time.monotonic()
    p = subprocess.run(cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                       text=True, errors="replace", timeout=timeout)
    return p.returncode, p.stdout, time.monotonic() - began


def report(kind, seed, statements, out, seconds, passed):
    for line in out.splitlines():
        if line.startswith(("soak:", "emulator verdict:", "FAIL", "   Loc:", "robot:")):
            print(line)
    print(f"soak {kind}: seed {seed}, {len(statements) // 2} unplugs, {seconds:.0f} s: "
          f"{'PASSED' if passed else 'FAILED'}")
    if not passed:
        print(f"replay: {sys.argv[0]} {kind} ... --seed {seed}")
    return 0 if passed else 1


def linux(args):
    emulator = os.path.join(args.build, "emulator/orvel-emulator")
    program = os.path.join(args.build, "tests/linux/lumo_e2e_tests")
    statements = scenario(args.seed, args.updates)
    with tempfile.TemporaryDirectory() as tmp:
        transcript = os.path.join(tmp, "transcript.txt")
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", LUMO_SOAK_UPDATES=str(args.updates),
                   LUMO_SOAK_TRANSCRIPT=transcript,
                   QTEST_FUNCTION_TIMEOUT=str(args.updates * 60_000))
        cmd = emulator_command(emulator, args.updates * 40 + 60, transcript, statements,
                               [program, "soak"])
        code, out, seconds = run(cmd, env, args.updates * 40 + 120)
    verdict = re.search(r"^emulator verdict: (.*)$", out, re.M)
    passed = ("PASS   : EndToEnd::soak()" in out and verdict is not None
              and not verdict.group(1).startswith("failed") and code in (0, 1))
    return report("linux", args.seed, statements, out, seconds, passed)


def configured_steps(build):
    """The caption and the answer to the stand-in question as this build shows them, taken from
    the update steps that its configuration wrote (empty answer in a build with other images)."""
    path = os.path.join(build, "tests/win32/e2e/update.steps")
    with open(path, encoding="utf-8") as f:
        lines = [l.rstrip("\n") for l in f if l.strip() and not l.startswith("#")]
    window = next(l for l in lines if l.startswith("window "))
    click = lines.index("click 1006")
    answer = lines[click + 1:lines.index("enabled 1006 no", click)]
    return window, answer


def windows_steps(updates, window, stand_in_answer):
    """The robot's script: start, then one whole update after another, each ended by whatever
    box the tool shows. The tool's handles and memory are read before each update and after
    the last, always with the device connected, so that every reading counts its handle. A
    build with stand-in images asks before its first update only."""
    lines = ['within 30000', 'start', window]
    ready = ['within 30000', 'text 1002 "Device Connected"', 'enabled 1006 yes', 'usage']
    for n in range(updates):
        answer = (['within 5000'] + stand_in_answer) if n == 0 and stand_in_answer else []
        lines += ready + ['click 1006'] + answer + ['within 90000', 'anybox', 'within 5000',
                                                   'press ok']
    lines += ready + ['close', 'exits']
    return "\n".join(lines) + "\n"


def windows(args):
    emulator = args.emulator
    robot = os.path.join(args.build, "tests/win32/robot/lumo_robot.exe")
    tool = args.tool or os.path.join(args.build, "app/win32/Lumo_Tool.exe")
    prefix = os.path.join(args.build, "wineprefix-e2e")
    wine = os.path.join(ROOT, "tests/win32/e2e/wine.sh")
    statements = scenario(args.seed, args.updates)
    with tempfile.TemporaryDirectory() as tmp:
        transcript = os.path.join(tmp, "transcript.txt")
        steps = os.path.join(tmp, "soak.steps")
        with open(steps, "w", encoding="utf-8") as f:
            window, stand_in_answer = configured_steps(args.build)
            f.write(windows_steps(args.updates, window, stand_in_answer))
        limit = args.updates * 40 + 90
        cmd = emulator_command(emulator, limit + 30, transcript, statements,
                               [wine, prefix, str(limit), robot, tool, steps])
        code, out, seconds = run(cmd, dict(os.environ), limit + 90)
        finished, bad = device_saw(transcript, 0)
    # The boxes that ended an update; the stand-in question before the first is not one.
    question = next((step.split('"')[3] for step in stand_in_answer if step.startswith("box ")),
                    None)
    boxes = [b for b in re.findall(r'^  ok    box caption "[^"]*" text "([^"]*)"', out, re.M)
             if b != question]
    usage = [tuple(map(int, m)) for m in
             re.findall(r"^  ok    usage handles (\d+) working set (\d+) KiB", out, re.M)]
    successes = boxes.count("Update is successful!")
    failures = boxes.count("Error\uff0cPlease try again!")
    verdict = re.search(r"^emulator verdict: (.*)$", out, re.M)
    # usage[0] is before the first update, usage[n] after update n.
    for n, (text, u) in enumerate(zip(boxes, usage[1:]), 1):
        print(f"soak: update {n}: {text}; then handles {u[0]}, working set {u[1]} KiB")
    complete = len(usage) == args.updates + 1
    # The first warning box leaves the tool one handle more for good (Wine loads what the box
    # needs once); the baseline is therefore the first update after which both kinds of box
    # had shown, or the first update when only one kind ever showed.
    base = 1
    kinds = set()
    for n, text in enumerate(boxes, 1):
        kinds.add(text)
        if len(kinds & {"Update is successful!", "Error\uff0cPlease try again!"}) == 2:
            base = n
            break
    if complete:
        print(f"soak: {len(boxes)} updates ({successes} success, {failures} failure); handles "
              f"{usage[1][0]} after the first, {usage[base][0]} after update {base} (the "
              f"first after both kinds of box), {usage[-1][0]} after the last; working set "
              f"{usage[1][1]} KiB after the first, {usage[-1][1]} KiB after the last; the "
              f"device took {finished} whole images")
    passed = ("all steps passed" in out and verdict is not None and not bad
              and not verdict.group(1).startswith("failed") and code in (0, 1)
              and successes == finished and complete
              and len(boxes) == args.updates
              and successes + failures + boxes.count("The device is not connected!") == len(boxes)
              and usage[-1][0] == usage[base][0]
              and usage[-1][1] - usage[1][1] < 2048)
    for b in bad[:3]:
        print("soak: the device saw a broken report:", b)
    return report("windows", args.seed, statements, out, seconds, passed)


def cli_runs(args):
    """Runs inside the emulator: lumo-flash once per update, one after another. Prints a line
    per run with what it said, what the device got and the process's figures. Descriptors are
    counted at each progress event after the last resume; the count most readings give is the
    figure (one taken as the device is pulled out, as discovery looks at a node, or as the
    program ends is not)."""
    for n in range(1, args.updates + 1):
        pos = os.path.getsize(args.transcript) if os.path.exists(args.transcript) else 0
        proc = subprocess.Popen([args.program, "--json", "--wait", "30", "--resume-timeout",
                                 "60", "--allow-stand-in"], stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, text=True)
        fds, rss, peak, last = [], [], [], None
        for line in proc.stdout:
            last = json.loads(line)
            if last.get("event") == "resumed":
                fds.clear()  # what counts is after the last resume: its handle, no more
            if last.get("event") == "progress":
                with contextlib.suppress(OSError):  # the program may be ending just then
                    fds.append(own_descriptors(proc.pid))
                    rss.append(status_kib(proc.pid, "VmRSS"))
                    peak.append(status_kib(proc.pid, "VmHWM"))
        proc.wait()
        time.sleep(0.5)  # the device's last lines can come a moment after the program ends
        finished, bad = device_saw(args.transcript, pos)
        said = last.get("event") if last else None
        if said == "failed":
            said += f" ({last.get('reason')})"
        print(f"soak: run {n}: exit {proc.returncode}, last event {said}; the device got "
              f"{bad[0] if bad else f'{finished} whole images'}; descriptors while streaming "
              f"{statistics.mode(fds) if fds else 0}, resident {max(rss, default=0)} KiB, "
              f"peak {max(peak, default=0)} KiB", flush=True)
    return 0


def own_descriptors(pid):
    """Open descriptors, not counting Unix-domain sockets: under the emulator those are
    umockdev's, one ioctl channel for each emulated node opened, which its preload library
    keeps when the node is closed after its device was removed. The program opens none."""
    with open("/proc/net/unix") as f:
        unix = {"socket:[%s]" % line.split()[6] for line in list(f)[1:] if len(line.split()) > 6}
    count = 0
    for fd in os.listdir(f"/proc/{pid}/fd"):
        with contextlib.suppress(OSError):
            count += os.readlink(f"/proc/{pid}/fd/{fd}") not in unix
    return count


def status_kib(pid, field):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def device_saw(transcript, pos):
    """Whole images the device took, and the broken reports it saw, after byte `pos`."""
    with open(transcript, encoding="utf-8", errors="replace") as f:
        f.seek(pos)
        lines = [l.split() for l in f if not l.startswith("#")]
    finished = sum(1 for l in lines if len(l) > 5 and l[3] == "finish" and l[5] == "ok")
    bad = [" ".join(l) for l in lines if len(l) > 5 and l[5] == "bad"]
    return finished, bad


def cli(args):
    emulator = os.path.join(args.build, "emulator/orvel-emulator")
    program = os.path.join(args.build, "cli/linux/lumo-flash")
    statements = scenario(args.seed, args.updates)
    with tempfile.TemporaryDirectory() as tmp:
        transcript = os.path.join(tmp, "transcript.txt")
        cmd = emulator_command(emulator, args.updates * 40 + 60, transcript, statements,
                               [sys.executable, os.path.abspath(__file__), "cli-runs", program,
                                transcript, "--updates", str(args.updates)])
        code, out, seconds = run(cmd, dict(os.environ), args.updates * 40 + 120)
    runs = [m.groupdict() for m in re.finditer(
        r"^soak: run \d+: exit (?P<exit>-?\d+), last event (?P<event>.*?); the device got "
        r"(?P<got>.*?); descriptors while streaming (?P<fds>\d+), "
        r"resident (?P<rss>\d+) KiB, peak (?P<peak>\d+) KiB$", out, re.M)]
    # The promise, per run: exit 0 (the success text) if and only if the device took the
    # whole image, and no broken report ever.
    kept = all((r["exit"] == "0") == (r["got"] == "1 whole images") and
               r["got"] in ("0 whole images", "1 whole images") and
               r["exit"] in ("0", "1") for r in runs)
    successes = sum(r["exit"] == "0" for r in runs)
    # A run whose start failed (the device pulled out just then) never streamed: no figures.
    streamed = [r for r in runs if int(r["fds"]) > 0]
    if streamed:
        first, last = streamed[0], streamed[-1]
        print(f"soak: {len(runs)} runs ({successes} success, {len(runs) - successes} failure); "
              f"descriptors while streaming {first['fds']} in the first run, "
              f"{last['fds']} in the last, {max(int(r['fds']) for r in streamed)} at "
              f"most; resident memory while streaming {first['rss']} KiB in the first, "
              f"{last['rss']} KiB in the last (peak {first['peak']} and {last['peak']} KiB)")
    verdict = re.search(r"^emulator verdict: (.*)$", out, re.M)
    passed = (len(runs) == args.updates and kept and streamed and verdict is not None
              and not verdict.group(1).startswith("failed") and code in (0, 1)
              # While it streams, the device's handle is open; a descriptor left behind by a
              # resume, or by anything else done per run, would raise the count.
              and all(r["fds"] == streamed[0]["fds"] for r in streamed)
              and int(streamed[-1]["peak"]) - int(streamed[0]["peak"]) < 1024)
    return report("cli", args.seed, statements, out, seconds, passed)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    sub = parser.add_subparsers(dest="kind", required=True)
    lx = sub.add_parser("linux")
    lx.add_argument("build")
    lx.add_argument("--updates", type=int, default=30)
    lx.add_argument("--seed", type=int, default=1)
    win = sub.add_parser("windows")
    win.add_argument("build", help="the x86_64 build (robot, Wine prefix)")
    win.add_argument("emulator", help="orvel-emulator, from the Linux build")
    win.add_argument("--updates", type=int, default=10)
    win.add_argument("--seed", type=int, default=1)
    win.add_argument("--tool", help="Lumo_Tool.exe to soak (default: the x86_64 build's)")
    lc = sub.add_parser("cli")
    lc.add_argument("build")
    lc.add_argument("--updates", type=int, default=30)
    lc.add_argument("--seed", type=int, default=1)
    inner = sub.add_parser("cli-runs", help="(run by `cli` inside the emulator)")
    inner.add_argument("program")
    inner.add_argument("transcript")
    inner.add_argument("--updates", type=int, required=True)
    args = parser.parse_args()
    kinds = {"linux": linux, "windows": windows, "cli": cli, "cli-runs": cli_runs}
    return kinds[args.kind](args)


if __name__ == "__main__":
    sys.exit(main())
