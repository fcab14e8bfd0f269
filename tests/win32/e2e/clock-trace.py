#!/usr/bin/env python3
"""Runs a Windows program under Wine with the relay trace of the update clock's calls, and
checks what the real program asked of Windows:

    clock-trace.py update|idle [--exit N] -- COMMAND ARGS...

COMMAND is wine.sh or scripts/wine-prefix.sh run (both put WINE_RUN_RELAY into the prefix's
RelayInclude); it runs with WINEDEBUG=+pid,+relay. Its standard output passes through; its
standard error is read for the trace, and what is not trace passes through.

Both: the program makes its update timer once with SetCoalescableTimer (timer 5, 10 ms, no
TIMERPROC, TIMERV_NO_COALESCING); that call names the program's process and thread among the
others Wine runs.
update: the program asks for exactly one timeBeginPeriod(1) and after it exactly one
timeEndPeriod(1), both on the thread that owns the timer.
idle: the program asks for neither.

(The opt-out of Windows 11's throttling is not in the trace: kernel32 hands SetProcessInformation
to kernelbase, which the relay trace does not show. The in-process tests cover it.)

Exit status 0 when every check holds and COMMAND ended with N (default 0).
"""
import argparse
import os
import re
import subprocess
import sys

CALLS = ["winmm.timeBeginPeriod", "winmm.timeEndPeriod", "user32.SetCoalescableTimer"]
UPDATE_TIMER = ["00000005", "0000000a", "00000000", "ffffffff"]
# "0020:0024:Call winmm.timeBeginPeriod(00000001) ret=..." (process:thread with +pid)
CALL = re.compile(r"^([0-9a-f]+:[0-9a-f]+):Call (" + "|".join(map(re.escape, CALLS)) +
                  r")\(([^)]*)\)")
TRACE = re.compile(r"^[0-9a-f]+:[0-9a-f]+:(Call|Ret |trace:relay|Starting)")


def main():
    argv = sys.argv[1:]
    split = argv.index("--") if "--" in argv else len(argv)
    ap = argparse.ArgumentParser()
    ap.add_argument("expect", choices=["update", "idle"])
    ap.add_argument("--exit", type=int, default=0, help="COMMAND's expected exit status")
    args = ap.parse_args(argv[:split])
    command = argv[split + 1:]
    if not command:
        ap.error("no COMMAND after --")
    env = dict(os.environ, WINEDEBUG="+pid,+relay", WINE_RUN_RELAY=";".join(CALLS))
    proc = subprocess.run(command, env=env, stderr=subprocess.PIPE, text=True,
                          errors="replace")

    calls = []  # (thread, name, arguments), in order
    for line in proc.stderr.splitlines():
        m = CALL.match(line)
        if m:
            calls.append((m.group(1), m.group(2).split(".")[1], m.group(3).split(",")))
        elif not TRACE.match(line):
            print(line, file=sys.stderr)
    for thread, name, arguments in calls:
        print(f"clock-trace: {thread} {name}({','.join(arguments)})")

    failures = []
    timers = [t for t, n, a in calls if n == "SetCoalescableTimer" and a[1:] == UPDATE_TIMER]
    if len(timers) != 1:
        failures.append(f"the update timer was made {len(timers)} times not coalesced at 10 ms")
    owner = timers[0] if timers else "none"
    process = owner.split(":")[0] + ":"
    clock = [(t, n, a) for t, n, a in calls
             if t.startswith(process) and n in ("timeBeginPeriod", "timeEndPeriod")]
    if args.expect == "update":
        if clock != [(owner, "timeBeginPeriod", ["00000001"]),
                     (owner, "timeEndPeriod", ["00000001"])]:
            failures.append("not one 1 ms clock asked for and then given back on the timer's "
                            "thread")
    elif clock:
        failures.append("a 1 ms clock was asked for though no update ran")
    if proc.returncode != args.exit:
        failures.append(f"the program ended with {proc.returncode}, not {args.exit}")
    for f in failures:
        print(f"clock-trace: FAILED: {f}")
    if not failures:
        print(f"clock-trace: {args.expect}: passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
