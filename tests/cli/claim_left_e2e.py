#!/usr/bin/env python3
"""End to end: a claim file left behind by another user does not make the unit busy, also with
fs.protected_regular = 2 (Debian's default), under which an O_CREAT open of another user's
file in a sticky, world-writable folder is refused even for root.

    claim_left_e2e.py EMULATOR LUMO_FLASH

Runs as root: it sets the setting for the run and restores it. The unit (the emulator's
device, serial M8V-000101) must be updated byte for byte. Exit 77 (skipped) when not root or
the setting cannot be changed, or when the kernel does not apply it to the folder.
"""
import os
import subprocess
import sys
import tempfile

SETTING = "/proc/sys/fs/protected_regular"
NOBODY = 65534


def main():
    emulator, program = sys.argv[1], sys.argv[2]
    if os.geteuid() != 0:
        print("claim_left_e2e: skipped: needs root to leave a file of another user and set "
              + SETTING)
        return 77
    try:
        with open(SETTING) as f:
            before = f.read().strip()
        with open(SETTING, "w") as f:
            f.write("2")
    except OSError as e:
        print(f"claim_left_e2e: skipped: cannot set {SETTING}: {e}")
        return 77
    try:
        with tempfile.TemporaryDirectory() as folder:
            os.chmod(folder, 0o1777)
            left = os.path.join(folder, "orvel-m8-serial-M8V-000101.lock")
            with open(left, "w"):
                pass
            os.chmod(left, 0o644)
            os.chown(left, NOBODY, NOBODY)
            try:
                os.close(os.open(left, os.O_RDONLY | os.O_CREAT))
                print("claim_left_e2e: skipped: this kernel does not apply protected_regular "
                      "to the folder")
                return 77
            except PermissionError:
                pass  # the open that used to make the unit "busy"
            env = dict(os.environ, LUMO_LOCK_DIR=folder,
                       XDG_DATA_HOME=os.path.join(folder, "data"))
            run = subprocess.run([emulator, "--product", "7b16", "--expect", "delivered",
                                  "--timeout", "120", "--", program, "--allow-stand-in",
                                  "--wait", "20"],
                                 env=env, capture_output=True, text=True, timeout=180)
            sys.stdout.write(run.stdout + run.stderr)
            ok = run.returncode == 0 and "Another program is updating" not in run.stderr
            print(f"claim_left_e2e: {'ok' if ok else 'FAIL'} (exit {run.returncode})")
            return 0 if ok else 1
    finally:
        with open(SETTING, "w") as f:
            f.write(before)


if __name__ == "__main__":
    sys.exit(main())
