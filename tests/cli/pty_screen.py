#!/usr/bin/env python3
"""Runs a command in a terminal of its own and reads its screen as a person would see it.

    pty_screen.py [--size COLSxROWS] [--env NAME=VALUE]... [--unset NAME]... [--timeout S]
                  [ACTION]... -- COMMAND [ARG]...
    pty_screen.py --pipe [--env NAME=VALUE]... [--expect REGEX]... -- COMMAND [ARG]...

The terminal is a tmux pane (100x30 unless --size says otherwise) on a tmux server of the
run's own, so that nothing of the caller's tmux is touched. Actions, taken in order while the
command runs:

  --wait-for REGEX   waits until the screen shows REGEX (a failure after --timeout seconds)
  --sleep S          waits S seconds
  --keys KEY         types KEY (a tmux key name such as Enter or C-c, or text)
  --shot             prints the screen as it is now
  --expect REGEX     the screen shows REGEX now
  --reject REGEX     the screen does not show REGEX now
  --count REGEX N    exactly N rows of the screen match REGEX
  --fits REGEX       the rows that match REGEX fit the width (none wrapped)
  --end              waits for the command to end: the checks after it read the whole run,
                     the scrollback above the last screen
  --exit N           (after --end) the command ended with status N

REGEX is a Python regular expression matched in multi-line mode (^ and $ at every row), on the
screen's lines as they were written: a line that wrapped is read as one. The screen is printed
as it shows, with every --shot and failed check, and at the end of the run. --env and --unset
change the command's environment only (TERM too, which the terminal would set otherwise).

--pipe runs the command with its output into a pipe instead, prints what it wrote and fails
when that holds an escape character; --expect, --reject and --exit apply to what it wrote.

Exit status: 0 when every check held, 1 when one did not, 2 for a usage error, 77 when tmux
is missing (a test's skip).
"""
import argparse
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time

POLL_S = 0.05

CONFIG = """\
set -g status off
set -g remain-on-exit on
set -g history-limit 50000
"""


class Action(argparse.Action):
    """Keeps actions in the order given, in `actions`."""

    def __call__(self, parser, namespace, values, option_string=None):
        namespace.actions.append((self.dest, values))


class CheckFailed(Exception):
    pass


class Tmux:
    def __init__(self, cols, rows, command, folder):
        self.socket = os.path.join(folder, "tmux.sock")
        self.status_file = os.path.join(folder, "status")
        config = os.path.join(folder, "tmux.conf")
        with open(config, "w") as f:
            f.write(CONFIG)
        env = dict(os.environ)
        env.pop("TMUX", None)  # a tmux of its own, also when started from inside one
        self.env = env
        # The command's status as a shell sees it (128 + N for signal N): tmux may mark the
        # pane dead without one. The shell's own handler lets it outlive a Ctrl-C typed to the
        # command, while the command keeps the signals' usual actions.
        wrapper = ["sh", "-c", 'trap : INT TERM HUP; "$@"; echo $? >' + shlex.quote(
            self.status_file), "sh"] + command
        self.run("-f", config, "new-session", "-d", "-s", "screen", "-x", str(cols), "-y",
                 str(rows), shlex.join(wrapper))

    def run(self, *args):
        return subprocess.run(["tmux", "-S", self.socket, *args], env=self.env, check=True,
                              stdout=subprocess.PIPE, text=True).stdout

    def screen(self, history=False, joined=True):
        """The screen's rows, or with `joined` its lines (wrapped rows as one)."""
        args = ["capture-pane", "-p", "-t", "screen"]
        if joined:
            args.append("-J")
        if history:
            args += ["-S", "-", "-E", "-"]
        rows = [row.rstrip(" ") for row in self.run(*args).split("\n")]
        if rows and rows[-1] == "":
            rows.pop()  # the capture's own last line break
        # What tmux writes into a pane whose command ended.
        if self.dead() and rows and rows[-1].startswith("Pane is dead"):
            rows.pop()
        while rows and rows[-1] == "":
            rows.pop()
        return rows

    def dead(self):
        return self.run("display-message", "-p", "-t", "screen", "#{pane_dead}").strip() == "1"

    def exit_status(self):
        """The ended command's status; None while it runs."""
        try:
            with open(self.status_file) as f:
                return int(f.read())
        except (OSError, ValueError):
            return None

    def keys(self, key):
        self.run("send-keys", "-t", "screen", key)

    def close(self):
        # A command still running when the checks end (one failed) ends with the terminal: its
        # whole process group, which ignores the hang-up the server's end would send.
        if not self.dead():
            try:
                pane = int(self.run("display-message", "-p", "-t", "screen", "#{pane_pid}"))
                os.killpg(pane, signal.SIGKILL)
            except (ValueError, OSError):
                pass
        subprocess.run(["tmux", "-S", self.socket, "kill-server"], env=self.env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def show(title, rows, cols):
    print(f"--- {title} ---")
    edge = "+" + "-" * cols + "+"
    print(edge)
    for row in rows:
        print("|" + row.ljust(cols) + "|")
    print(edge, flush=True)


def check(kind, value, text, rows, cols=None):
    """One check on `text`, the screen's lines `rows` joined; raises CheckFailed."""
    if kind == "expect":
        if not re.search(value, text, re.M):
            raise CheckFailed(f"not shown: {value!r}")
    elif kind == "reject":
        if re.search(value, text, re.M):
            raise CheckFailed(f"shown: {value!r}")
    elif kind == "count":
        pattern, wanted = value
        found = sum(1 for row in rows if re.search(pattern, row))
        if found != int(wanted):
            raise CheckFailed(f"{found} rows match {pattern!r}, not {wanted}")
    elif kind == "fits":
        for row in rows:
            if re.search(value, row) and len(row) > cols:
                raise CheckFailed(f"wider than {cols} columns: {row!r}")


def run_terminal(args, command):
    cols, rows = (int(n) for n in args.size.lower().split("x"))
    with tempfile.TemporaryDirectory(prefix="pty-screen-") as folder:
        tmux = Tmux(cols, rows, command, folder)
        try:
            return play(tmux, args, cols)
        finally:
            tmux.close()


def play(tmux, args, cols):
    ended = False
    screen = tmux.screen()
    try:
        for kind, value in args.actions + [("end", None)]:
            if kind == "end" and ended:
                continue
            if kind == "wait-for":
                deadline = time.monotonic() + args.timeout
                while not re.search(value, "\n".join(screen := tmux.screen()), re.M):
                    if time.monotonic() > deadline or tmux.dead():
                        raise CheckFailed(f"never shown: {value!r}")
                    time.sleep(POLL_S)
            elif kind == "sleep":
                time.sleep(float(value))
                screen = tmux.screen()
            elif kind == "keys":
                tmux.keys(value)
            elif kind == "shot":
                screen = tmux.screen()
                show("screen", tmux.screen(joined=False), cols)
            elif kind == "end":
                deadline = time.monotonic() + args.timeout
                while not tmux.dead() or tmux.exit_status() is None:
                    if time.monotonic() > deadline:
                        raise CheckFailed(f"the command did not end (dead: {tmux.dead()}, "
                                          f"status: {tmux.exit_status()})")
                    time.sleep(POLL_S)
                ended = True
                screen = tmux.screen(history=True)
            elif kind == "exit":
                status = tmux.exit_status()
                if not ended or status != int(value):
                    raise CheckFailed(f"exit status {status}, not {value}")
            else:
                if not ended:
                    screen = tmux.screen()
                check(kind, value, "\n".join(screen), screen, cols)
    except CheckFailed as failure:
        show("screen" + (" and scrollback" if ended else ""),
             tmux.screen(history=ended, joined=False), cols)
        print(f"pty_screen: FAILED: {failure}", file=sys.stderr)
        return 1
    show(f"the end (exit status {tmux.exit_status()}), with the scrollback",
         tmux.screen(history=True, joined=False), cols)
    return 0


def run_pipe(args, command):
    done = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, timeout=args.timeout)
    text = done.stdout.decode("utf-8", "replace")
    sys.stdout.write(text)
    try:
        if "\x1b" in text:
            raise CheckFailed("an escape character in the output")
        for kind, value in args.actions:
            if kind == "exit":
                if done.returncode != int(value):
                    raise CheckFailed(f"exit status {done.returncode}, not {value}")
            elif kind in ("expect", "reject", "count"):
                check(kind, value, text, text.splitlines())
            else:
                raise CheckFailed(f"--{kind} needs a terminal")
    except CheckFailed as failure:
        print(f"pty_screen: FAILED: {failure}", file=sys.stderr)
        return 1
    return 0


def main(argv):
    if "--" not in argv:
        print(__doc__, file=sys.stderr)
        return 2
    split = argv.index("--")
    options, command = argv[:split], argv[split + 1:]
    parser = argparse.ArgumentParser(usage=__doc__)
    parser.set_defaults(actions=[])
    parser.add_argument("--size", default="100x30")
    parser.add_argument("--timeout", type=float, default=60.0)
    parser.add_argument("--env", action="append", default=[])
    parser.add_argument("--unset", action="append", default=[])
    parser.add_argument("--pipe", action="store_true")
    for name in ("wait-for", "sleep", "keys", "expect", "reject", "fits", "exit"):
        parser.add_argument("--" + name, dest=name, action=Action)
    parser.add_argument("--count", dest="count", action=Action, nargs=2)
    parser.add_argument("--shot", dest="shot", action=Action, nargs=0)
    parser.add_argument("--end", dest="end", action=Action, nargs=0)
    args = parser.parse_args(options)
    if not command:
        parser.error("no command")
    prefix = ["env"] + [f"-u{name}" for name in args.unset] + args.env
    command = prefix + command if len(prefix) > 1 else command
    if args.pipe:
        return run_pipe(args, command)
    if shutil.which("tmux") is None:
        print("pty_screen: SKIPPED: no tmux (scripts/install-deps.sh installs it)",
              file=sys.stderr)
        return 77
    return run_terminal(args, command)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
