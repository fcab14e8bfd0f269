#!/usr/bin/env python3
"""One writer per unit: a second program meets the device while lumo-flash.exe streams to it.

    one-writer.py PREFIX LIMIT FLASH.exe flash
    one-writer.py PREFIX LIMIT FLASH.exe dialog ROBOT.exe TOOL.exe STEPS

Runs inside orvel-emulator, like wine.sh: one wineserver for both programs, so that they share
the named objects that hold the claims. FLASH.exe starts the update (--json); once it has
reported its start, the second program looks for the device and presses Update: either
FLASH.exe again, which must exit with 5 and the busy line, or the robot driving TOOL.exe
through STEPS (which expect the busy box). Then the first must end with success. The emulator
judges that the device got the first update alone, byte for byte. Every wait is bounded by
LIMIT seconds in all.
"""
import os
import queue
import signal
import subprocess
import sys
import threading
import time

WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
BUSY = "Another program is updating this device. Wait until it has finished, then try again."


def reader(stream, sink):
    for line in iter(stream.readline, ""):
        sink.put(line)
    sink.put(None)


def main():
    prefix, limit, flash, second = sys.argv[1], float(sys.argv[2]), sys.argv[3], sys.argv[4]
    deadline = time.monotonic() + limit
    os.environ.update(WINEPREFIX=os.path.realpath(prefix), DISPLAY="",
                      WINEDLLOVERRIDES="mscoree,mshtml=")
    os.environ.setdefault("WINEDEBUG", "-all")
    # The emulated node is a pseudo-terminal: a Wine process that opened it gets SIGHUP when
    # the device is pulled out and must live on. Ignored here, ignored in the programs.
    signal.signal(signal.SIGHUP, signal.SIG_IGN)
    subprocess.run([WINESERVER, "-k"], timeout=20, stderr=subprocess.DEVNULL)

    first = subprocess.Popen([WINE, flash, "--json", "--allow-stand-in", "--wait", "20"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                             encoding="utf-8")
    lines = queue.Queue()
    threading.Thread(target=reader, args=(first.stdout, lines), daemon=True).start()
    first_out = []
    ok = True
    try:
        while not any('"event":"start"' in l for l in first_out):
            line = lines.get(timeout=max(0.1, deadline - time.monotonic()))
            if line is None:
                raise RuntimeError("the first lumo-flash.exe ended before its start")
            first_out.append(line)
        print("one-writer: the first lumo-flash.exe has started its update", flush=True)

        if second == "flash":
            command = [WINE, flash, "--allow-stand-in", "--wait", "20"]
        else:
            command = [WINE] + sys.argv[5:8]
        done = subprocess.run(command, capture_output=True, text=True, encoding="utf-8",
                              timeout=max(1, deadline - time.monotonic() - 5))
        print(f"one-writer: the second program exited with {done.returncode}")
        print(done.stdout + done.stderr, flush=True)
        if second == "flash":
            ok &= done.returncode == 5 and BUSY in done.stderr
        else:
            ok &= done.returncode == 0
        if first.poll() is not None:
            print("one-writer: FAIL the first lumo-flash.exe ended while the second program ran")
            ok = False

        first.wait(timeout=max(1, deadline - time.monotonic()))
        while (line := lines.get(timeout=5)) is not None:
            first_out.append(line)
        print(f"one-writer: the first lumo-flash.exe exited with {first.returncode}")
        print("".join(l for l in first_out if '"progress"' not in l) + first.stderr.read(),
              flush=True)
        ok &= first.returncode == 0 and any('"event":"done"' in l for l in first_out)
    except (queue.Empty, subprocess.TimeoutExpired, RuntimeError) as e:
        print(f"one-writer: FAIL {e or 'time limit reached'}")
        ok = False
    finally:
        if first.poll() is None:
            first.kill()
        subprocess.run([WINESERVER, "-k"], timeout=20, stderr=subprocess.DEVNULL)
    print("one-writer: PASSED" if ok else "one-writer: FAILED", flush=True)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
