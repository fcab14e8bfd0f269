#!/usr/bin/python3
"""Runs a command with a mock logind on a private system bus.

    mock_logind.py [--no-bus | --expect-inhibit WHO] -- COMMAND ARGS...

Starts `dbus-daemon --session` on a socket in a new temporary folder, the logind template of
python3-dbusmock on it (its call log in that folder), and runs COMMAND with
DBUS_SYSTEM_BUS_ADDRESS pointing at that bus and LUMO_MOCK_LOGIND_LOG naming the call log.
With --no-bus nothing is started and DBUS_SYSTEM_BUS_ADDRESS names a socket path where
nothing listens. With --expect-inhibit, COMMAND must also have asked for exactly one lock
for WHO with the tool's arguments, the lock must have been seen held while COMMAND ran, and
none may be left once it has ended. Exits with COMMAND's status (or 1 when that check fails);
the bus and the mock end with it.
"""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

import dbus

START_LIMIT_S = 20


def wait_for(what, ready):
    deadline = time.monotonic() + START_LIMIT_S
    while not ready():
        if time.monotonic() > deadline:
            sys.exit(f"mock_logind: {what} did not come up within {START_LIMIT_S} s")
        time.sleep(0.05)


def name_owned(address, name):
    try:
        bus = dbus.bus.BusConnection(address)
    except dbus.exceptions.DBusException:
        return False
    try:
        return bool(bus.name_has_owner(name))
    finally:
        bus.close()


INHIBIT_ARGS = '"shutdown:sleep:idle:handle-lid-switch" "{who}" "Firmware update in progress" "block"'


def held_by(address, who):
    """The locks the mock holds for `who`, or None when it cannot be asked."""
    try:
        bus = dbus.bus.BusConnection(address)
    except dbus.exceptions.DBusException:
        return None
    try:
        manager = dbus.Interface(bus.get_object("org.freedesktop.login1", "/org/freedesktop/login1"),
                                 "org.freedesktop.login1.Manager")
        return sum(1 for lock in manager.ListInhibitors(timeout=5) if str(lock[1]) == who)
    except dbus.exceptions.DBusException:
        return None
    finally:
        bus.close()


class LockWatch(threading.Thread):
    """Polls the mock's locks for `who` while the command runs."""

    def __init__(self, address, who):
        super().__init__(daemon=True)
        self.address, self.who = address, who
        self.most = 0
        self.done = threading.Event()

    def run(self):
        while not self.done.is_set():
            self.most = max(self.most, held_by(self.address, self.who) or 0)
            self.done.wait(0.05)


def check_inhibit(log, address, who, watch):
    """Problems with what the command asked of the mock and what it left held."""
    problems = []
    with open(log, encoding="utf-8") as f:
        calls = [line.split(" ", 1)[1].rstrip("\n") for line in f if " Inhibit " in line]
    expected = "Inhibit " + INHIBIT_ARGS.format(who=who)
    if calls != [expected]:
        problems.append(f"expected one call {expected!r}, the mock got {calls!r}")
    if watch.most != 1:
        problems.append(f"expected one lock held while it ran, saw at most {watch.most}")
    deadline = time.monotonic() + 5
    while held_by(address, who) != 0 and time.monotonic() < deadline:
        time.sleep(0.05)
    if held_by(address, who) != 0:
        problems.append("a lock is still held after the command ended")
    return problems


def stop(process):
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def main(argv):
    if "--" not in argv:
        sys.exit(__doc__)
    options, command = argv[: argv.index("--")], argv[argv.index("--") + 1 :]
    no_bus = options == ["--no-bus"]
    expect_who = options[1] if len(options) == 2 and options[0] == "--expect-inhibit" else None
    if not command or (options and not no_bus and expect_who is None):
        sys.exit(__doc__)

    folder = tempfile.mkdtemp(prefix="lumo-logind-")
    socket = os.path.join(folder, "system_bus_socket")
    log = os.path.join(folder, "logind.log")
    address = f"unix:path={socket}"
    env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=address, LUMO_MOCK_LOGIND_LOG=log)
    started = []
    try:
        if not no_bus:
            daemon = subprocess.Popen(
                ["dbus-daemon", "--session", f"--address={address}", "--nofork", "--nopidfile"],
                # Its only chatter is about limits it may not raise here; a bus that does not
                # come up is reported below.
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            started.append(daemon)
            wait_for("the private bus", lambda: os.path.exists(socket))
            mock = subprocess.Popen(
                [sys.executable, "-m", "dbusmock", "--system", "--template", "logind",
                 "--logfile", log],
                env=dict(env, DBUS_SESSION_BUS_ADDRESS=address),
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
            started.append(mock)
            wait_for("the mock logind", lambda: name_owned(address, "org.freedesktop.login1"))
        watch = LockWatch(address, expect_who) if expect_who else None
        if watch:
            watch.start()
        result = subprocess.run(command, env=env, check=False)
        code = result.returncode if result.returncode >= 0 else 128 - result.returncode
        if watch:
            watch.done.set()
            watch.join()
            problems = check_inhibit(log, address, expect_who, watch)
            for problem in problems:
                print(f"mock_logind: {problem}", file=sys.stderr)
            if problems and code == 0:
                code = 1
        return code
    finally:
        for process in reversed(started):
            stop(process)
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    sys.exit(main(sys.argv[1:]))
