#!/usr/bin/env python3
"""Soak of the real programs against the emulated Orvel-M8: many whole updates in one process
while the emulator pulls the device out and plugs it back in at seeded random times. The
promise must hold for every update (the box shown against what the device got), and the
process must hold as many descriptors (Linux) or handles (Windows) and as much memory after
the last update as after the first. Prints the figures.

  soak.py linux BUILD_DIR [--updates 30] [--seed 1]
  soak.py windows WIN64_BUILD_DIR LINUX_BUILD_DIR [--updates 10] [--seed 1] [--tool EXE]
"""
import argparse
import os
import random
import re
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
    emulator = os.path.join(args.build, "device/emulator/orvel-emulator")
    program = os.path.join(args.build, "tests/linux/lumo_e2e_tests")
    statements = scenario(args.seed, args.updates)
    with tempfile.TemporaryDirectory() as tmp:
        transcript = os.path.join(tmp, "transcript.txt")
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", LUMO_SOAK_UPDATES=str(args.updates),
                   LUMO_SOAK_TRANSCRIPT=transcript,
                   QTEST_FUNCTION_TIMEOUT=str(args.updates * 60_000))
        cmd = [emulator, "--product", "7b16", "--timeout", str(args.updates * 40 + 60),
               "--transcript", transcript]
        for s in statements:
            cmd += ["--scenario", s]
        cmd += ["--", program, "soak"]
        code, out, seconds = run(cmd, env, args.updates * 40 + 120)
    verdict = re.search(r"^emulator verdict: (.*)$", out, re.M)
    passed = ("PASS   : EndToEnd::soak()" in out and verdict is not None
              and not verdict.group(1).startswith("failed") and code in (0, 1))
    return report("linux", args.seed, statements, out, seconds, passed)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    sub = parser.add_subparsers(dest="kind", required=True)
    lx = sub.add_parser("linux")
    lx.add_argument("build")
    lx.add_argument("--updates", type=int, default=30)
    lx.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    return linux(args)


if __name__ == "__main__":
    sys.exit(main())
