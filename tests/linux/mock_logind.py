#!/usr/bin/python3
"""Runs a command with a mock logind on a private system bus.

    mock_logind.py [--no-bus] -- COMMAND ARGS...

Starts `dbus-daemon --session` on a socket in a new temporary folder, the logind template of
python3-dbusmock on it (its call log in that folder), and runs COMMAND with
DBUS_SYSTEM_BUS_ADDRESS pointing at that bus and LUMO_MOCK_LOGIND_LOG naming the call log.
With --no-bus nothing is started and DBUS_SYSTEM_BUS_ADDRESS names a socket path where
nothing listens. Exits with COMMAND's status; the bus and the mock end with it.
"""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
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
    if not command or set(options) - {"--no-bus"}:
        sys.exit(__doc__)
    no_bus = "--no-bus" in options

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
        result = subprocess.run(command, env=env, check=False)
        return result.returncode if result.returncode >= 0 else 128 - result.returncode
    finally:
        for process in reversed(started):
            stop(process)
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    sys.exit(main(sys.argv[1:]))
