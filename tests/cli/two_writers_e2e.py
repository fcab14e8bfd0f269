#!/usr/bin/env python3
"""Two lumo-flash runs against one unit, inside orvel-emulator: the second starts once the
first has begun its update. The first must update the unit (exit 0, the success text); the
second must write nothing (the emulator judges that) and end with the unit-busy status.

    two_writers_e2e.py [--busy-exit N] -- COMMAND ARGS...     (COMMAND with --json)
"""
import argparse
import json
import subprocess
import sys

from cli_e2e import Program

SUCCESS = "Update is successful!"
BUSY = "Another program is updating this device."


def started(run):
    return any(json.loads(l).get("event") == "start" for l in list(run.lines) if l.strip())


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--busy-exit", type=int, default=5)
    ap.add_argument("command", nargs=argparse.REMAINDER)
    args = ap.parse_args()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command

    problems = []
    first = Program(command)
    if not first.wait_for(lambda: started(first), 30):
        problems.append("the first run never started its update")
    second = Program(command)
    try:
        s2, out2, err2 = second.finish(60)
        second_ended_first = first.proc.poll() is None
        s1, out1, err1 = first.finish(100)
    except subprocess.TimeoutExpired:
        for r in (first, second):
            r.proc.kill()
        print("two_writers: a run did not end in time")
        return 1
    for name, out, err in (("first", out1, err1), ("second", out2, err2)):
        sys.stdout.write("".join(f"{name}| " + l for l in out.splitlines(True)))
        sys.stdout.write("".join(f"{name} stderr| " + l for l in err.splitlines(True)))
    if s1 != 0 or SUCCESS not in out1:
        problems.append(f"the first run ended with {s1}, without the success text")
    if s2 != args.busy_exit:
        problems.append(f"the second run ended with {s2}, expected {args.busy_exit}")
    if BUSY not in err2 or SUCCESS in out2:
        problems.append("the second run did not say that the unit is busy")
    if '"reason":"unit-busy"' not in out2:
        problems.append("the second run's --json has no unit-busy failure")
    if not second_ended_first:
        problems.append("the second run waited for the first to end")
    for p in problems:
        print("two_writers: FAIL " + p)
    print(f"two_writers: {'ok' if not problems else 'failed'} (first {s1}, second {s2})")
    return 0 if not problems else 1


if __name__ == "__main__":
    sys.exit(main())
