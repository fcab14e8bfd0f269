#!/usr/bin/env python3
"""Runs lumo-flash once, inside orvel-emulator, and checks what it said and how it ended.

    cli_e2e.py [checks] -- COMMAND ARGS...

The emulator judges what reached the device; this script judges the program's side: exit
status, standard output and error, the --json events, the time taken, and Ctrl-C. In COMMAND,
{FILE} is replaced by an image file made by --make-file. Exit status 0 when every check holds.
"""
import argparse
import codecs
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

TRY_AGAIN = "Error\uff0cPlease try again!"
SUCCESS = "Update is successful!"


def make_file(kind, folder, source, name):
    path = os.path.join(folder, name)
    if kind == "empty":
        open(path, "wb").close()
    elif kind == "oversized":
        with open(path, "wb") as f:
            f.truncate(65536 * 56 + 1)
    elif kind == "unreadable":
        # A folder where the file should be: unreadable as a file for every user, root too.
        os.mkdir(path)
    elif kind == "missing":
        pass
    elif kind == "copy":
        with open(source, "rb") as src, open(path, "wb") as dst:
            dst.write(src.read())
    return path


def json_events(stdout):
    events = []
    for line in stdout.splitlines():
        line.encode("utf-8")  # bytes that are not UTF-8 came in as lone surrogates: refused here
        events.append(json.loads(line))  # every line must be one JSON object
    return events


def printable(text):
    return text.encode("utf-8", "backslashreplace").decode("utf-8")


def collapse(names):
    out = []
    for n in names:
        if not out or out[-1] != n or n != "progress":
            out.append(n)
    return out


class Program:
    def __init__(self, command):
        self.lines = []
        self.err_lines = []
        self.arrivals = []  # when each stdout line came, by this clock
        self.proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     text=True, encoding="utf-8", errors="surrogateescape")
        self.threads = [threading.Thread(target=self.pump,
                                         args=(self.proc.stdout, self.lines, self.arrivals)),
                        threading.Thread(target=self.pump, args=(self.proc.stderr, self.err_lines))]
        for t in self.threads:
            t.start()

    @staticmethod
    def pump(stream, sink, arrivals=None):
        for line in stream:
            if arrivals is not None:
                arrivals.append(time.monotonic())
            sink.append(line)

    def wait_for(self, predicate, seconds):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            if predicate():
                return True
            if self.proc.poll() is not None:
                return predicate()
            time.sleep(0.02)
        return False

    def finish(self, timeout):
        status = self.proc.wait(timeout=timeout)
        for t in self.threads:
            t.join()
        return status, "".join(self.lines), "".join(self.err_lines)


def two_step_interrupt(program, problems):
    """First Ctrl-C during the update warns and the update goes on; the second ends it."""
    if not program.wait_for(lambda: any(" 10% " in l for l in program.lines), 40):
        problems.append("the update never reached 10%")
        return
    program.proc.send_signal(signal.SIGINT)
    if not program.wait_for(lambda: any("Ctrl-C again within 3 s" in l for l in program.err_lines), 5):
        problems.append("no warning after the first Ctrl-C")
    shown = len(program.lines)
    # A progress line comes every tenth of the image, about once a second: wait for the next
    # one rather than exactly a second (a race on a busy machine), well inside the 3 s in which
    # a second Ctrl-C aborts.
    went_on = program.wait_for(lambda: len(program.lines) > shown, 2.0)
    if program.proc.poll() is not None:
        problems.append("the first Ctrl-C ended the run")
        return
    if not went_on:
        problems.append("the update did not go on after the first Ctrl-C")
    program.proc.send_signal(signal.SIGINT)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--exit", type=int, required=True, help="expected exit status")
    ap.add_argument("--stdout-has", action="append", default=[])
    ap.add_argument("--stderr-has", action="append", default=[])
    ap.add_argument("--stdout-lacks", action="append", default=[])
    ap.add_argument("--stdout-lines", type=int, help="exact number of lines on stdout")
    ap.add_argument("--events", help="comma-separated --json events, repeated progress as one")
    ap.add_argument("--reason", help="the reason of the --json failed event")
    ap.add_argument("--within", type=float, help="the run must end within this many seconds")
    ap.add_argument("--together", nargs=2, metavar=("EVENT", "SECONDS"),
                    help="the --json EVENT lines (one per unit) all come within SECONDS")
    ap.add_argument("--make-file", choices=["empty", "oversized", "unreadable", "missing", "copy"])
    ap.add_argument("--source", help="the file --make-file copy copies")
    ap.add_argument("--file-name", default="image.bin",
                    help="its name; \\xNN stands for byte NN (names that are not UTF-8)")
    ap.add_argument("--interrupt", choices=["two-step", "waiting", "when", "on-stderr"])
    ap.add_argument("--interrupt-on-stderr", help="with --interrupt on-stderr: one Ctrl-C as "
                    "soon as stderr holds this text")
    ap.add_argument("--lines-between", nargs=4, metavar=("FIRST", "LAST", "HAS", "MIN"),
                    help="at least MIN stdout lines holding HAS come between the first line "
                    "holding FIRST and the first line after it holding LAST")
    ap.add_argument("--interrupt-when", help="with --interrupt when: Ctrl-C once stdout holds "
                    "this text --interrupt-count times, and then 1.5 s more have passed")
    ap.add_argument("--interrupt-count", type=int, default=1)
    ap.add_argument("--kill-when", help="SIGKILL the program once stdout holds this text")
    ap.add_argument("--record", action="append", default=[],
                    help="after the run, `PROGRAM records --json` holds a record with these "
                    "fields: NAME=VALUE,... (VALUE as JSON writes it, strings unquoted)")
    ap.add_argument("--records-count", type=int, help="... and this many records in all")
    ap.add_argument("--timeout", type=float, default=100)
    ap.add_argument("command", nargs=argparse.REMAINDER)
    args = ap.parse_args()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command

    with tempfile.TemporaryDirectory() as folder:
        if args.make_file:
            name = os.fsdecode(codecs.escape_decode(args.file_name)[0])
            path = make_file(args.make_file, folder, args.source, name)
            command = [c.replace("{FILE}", path) for c in command]
        if args.record or args.records_count is not None:
            # The records of this run alone: a data folder of its own for the default store,
            # read back once the run has ended.
            data = tempfile.mkdtemp()
            os.environ["XDG_DATA_HOME"] = data
        started = time.monotonic()
        program = Program(command)
        problems = []
        if args.interrupt == "two-step":
            two_step_interrupt(program, problems)
        elif args.interrupt == "when":
            seen = lambda: sum(l.count(args.interrupt_when) for l in program.lines)
            if not program.wait_for(lambda: seen() >= args.interrupt_count, args.timeout - 10):
                problems.append(f"stdout never held {args.interrupt_when!r} "
                                f"{args.interrupt_count} times")
            # Long enough for a unit left plugged in to be taken again, were it to be.
            time.sleep(1.5)
            program.proc.send_signal(signal.SIGINT)
        elif args.interrupt == "on-stderr":
            if not program.wait_for(lambda: any(args.interrupt_on_stderr in l
                                                for l in program.err_lines), args.timeout - 10):
                problems.append(f"stderr never held {args.interrupt_on_stderr!r}")
            program.proc.send_signal(signal.SIGINT)
        elif args.kill_when:
            if not program.wait_for(lambda: any(args.kill_when in l for l in program.lines),
                                    args.timeout - 10):
                problems.append(f"stdout never held {args.kill_when!r}")
            program.proc.kill()
        elif args.interrupt == "waiting":
            program.wait_for(lambda: any("Waiting" in l for l in program.lines), 20)
            time.sleep(0.3)
            program.proc.send_signal(signal.SIGINT)
        try:
            status, out, err = program.finish(args.timeout)
        except subprocess.TimeoutExpired:
            program.proc.kill()
            print("cli_e2e: the program did not end in time")
            return 1
        took = time.monotonic() - started

    sys.stdout.write(printable(out))
    sys.stdout.write(printable("".join("stderr| " + l for l in err.splitlines(True))))
    if status != args.exit:
        problems.append(f"exit status {status}, expected {args.exit}")
    for text in args.stdout_has:
        if text not in out:
            problems.append(f"stdout lacks {text!r}")
    for text in args.stdout_lacks:
        if text in out:
            problems.append(f"stdout has {text!r}")
    for text in args.stderr_has:
        if text not in err:
            problems.append(f"stderr lacks {text!r}")
    if SUCCESS in err:
        problems.append("the success text went to stderr")
    if args.stdout_lines is not None and len(out.splitlines()) != args.stdout_lines:
        problems.append(f"{len(out.splitlines())} lines on stdout, expected {args.stdout_lines}")
    if args.within is not None and took > args.within:
        problems.append(f"took {took:.1f} s, more than {args.within} s")
    if args.together:
        event, seconds = args.together[0], float(args.together[1])
        times = [t for t, line in zip(program.arrivals, program.lines)
                 if f'"event":"{event}"' in line]
        if len(times) < 2:
            problems.append(f"{len(times)} {event} events, expected one per unit")
        else:
            spread = max(times) - min(times)
            print(f"cli_e2e: the {event} events came {spread:.2f} s apart")
            if spread > seconds:
                problems.append(f"the {event} events came more than {seconds} s apart")
    if args.record or args.records_count is not None:
        check_records(command[0], args.record, args.records_count, problems)
        shutil.rmtree(data, ignore_errors=True)
    if args.lines_between:
        first, last, has, least = args.lines_between
        lines = out.splitlines()
        start = next((i for i, l in enumerate(lines) if first in l), None)
        end = next((i for i, l in enumerate(lines) if start is not None and i > start
                    and last in l), None)
        if start is None or end is None:
            problems.append(f"stdout lacks a line with {first!r} followed by one with {last!r}")
        else:
            count = sum(has in l for l in lines[start + 1:end])
            print(f"cli_e2e: {count} lines with {has!r} between {first!r} and {last!r}")
            if count < int(least):
                problems.append(f"{count} lines with {has!r} between {first!r} and {last!r}, "
                                f"expected at least {least}")
    if args.events is not None:
        try:
            events = json_events(out)
        except (json.JSONDecodeError, UnicodeEncodeError) as e:
            problems.append(f"stdout is not one UTF-8 JSON object per line: {e}")
            events = []
        names = collapse([e.get("event") for e in events])
        if names != args.events.split(","):
            problems.append(f"events {','.join(map(str, names))}, expected {args.events}")
        check_json_figures(events, problems)
        failed = [e for e in events if e.get("event") == "failed"]
        if args.reason is not None and [e.get("reason") for e in failed] != [args.reason]:
            problems.append(f"failed events {failed}, expected one with reason {args.reason}")
    for p in problems:
        print("cli_e2e: FAIL " + p)
    print(f"cli_e2e: {'ok' if not problems else 'failed'} (exit {status}, {took:.1f} s)")
    return 0 if not problems else 1


def check_records(program, wanted_records, count, problems):
    """The records the run left, as the program itself reads them back."""
    done = subprocess.run([program, "records", "--json", "--limit", "1000"],
                          capture_output=True, text=True, timeout=60)
    if done.returncode != 0:
        problems.append(f"records --json ended with {done.returncode}: {done.stderr.strip()}")
        return
    rows = [json.loads(l) for l in done.stdout.splitlines() if l.strip()]
    for row in rows:
        print("cli_e2e: record " + json.dumps(row))
    if count is not None and len(rows) != count:
        problems.append(f"{len(rows)} records, expected {count}")
    for fields in wanted_records:
        wanted = dict(item.split("=", 1) for item in fields.split(","))
        def text(value):
            return value if isinstance(value, str) else json.dumps(value)
        if not any(all(text(row.get(k)) == v for k, v in wanted.items()) for row in rows):
            problems.append(f"no record with {fields}")


def check_json_figures(events, problems):
    start = next((e for e in events if e.get("event") == "start"), None)
    progress = [e for e in events if e.get("event") == "progress"]
    if start:
        if start["blocks"] != (start["bytes"] + 55) // 56 or len(start["sha256"]) != 64:
            problems.append(f"start event figures wrong: {start}")
        for p in progress:
            if p["blocks"] != start["blocks"] or not 0 <= p["block"] <= p["blocks"]:
                problems.append(f"progress event out of range: {p}")
                break
    blocks = [p["block"] for p in progress]
    percents = [p["percent"] for p in progress]
    if blocks != sorted(blocks) or percents != sorted(percents):
        problems.append("progress went backwards")
    done = next((e for e in events if e.get("event") == "done"), None)
    if done:
        if done.get("text") != SUCCESS:
            problems.append(f"done event text {done.get('text')!r}")
        if not progress or progress[-1]["percent"] != 100:
            problems.append("no 100% progress before done")
    failed = next((e for e in events if e.get("event") == "failed"), None)
    if failed and not failed.get("reason"):
        problems.append("failed event without a reason")


if __name__ == "__main__":
    sys.exit(main())
