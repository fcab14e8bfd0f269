#!/usr/bin/env python3
"""The closing table of scripts/test-all.sh, from the folder its stages left their results in:

  RESULTS/stages       one line per stage, in order: NAME EXIT-STATUS
  RESULTS/NAME.xml     CTest's JUnit report of the stage, when it ran CTest
  RESULTS/NAME.log     the stage's output: without a report, its lines that begin with "ok"
                       or "FAIL" (then a colon or a space) are its checks

Prints each stage with its passed, failed and skipped counts, then why each skipped test was
skipped (the last "SKIPPED: why" in its output), and last a verdict that says what went
untested even when every stage passed. Exit status 1 when any stage failed.

  scripts/test-summary.py RESULTS
"""
import re
import sys
import xml.etree.ElementTree as ET
from collections import OrderedDict
from pathlib import Path

# CTest reports these "not run" tests as skipped; any other "not run" (a missing program, a
# failed fixture) counts as failed, as CTest counts it.
SKIPPED_BY_TEST = re.compile(r"^(SKIP_RETURN_CODE|SKIP_REGULAR_EXPRESSION|Disabled)")
# What a skipping test says last: "SKIPPED: why" (the web page's tests: "CASE skipped: why").
SKIP_REASON = re.compile(r"(?im)\bskipped: (.*)$")
CHECK_PASSED = re.compile(r"^ok[: ]")
CHECK_FAILED = re.compile(r"^FAIL[: ]")


def skip_reason(case):
    reasons = SKIP_REASON.findall(case.findtext("system-out") or "")
    if reasons:
        return reasons[-1].strip()
    skipped = case.find("skipped")
    return (skipped.get("message") if skipped is not None else None) or "no reason given"


def counts_from_junit(path):
    passed = failed = 0
    skips = []  # (test, reason)
    for case in ET.parse(path).getroot().iter("testcase"):
        status = case.get("status")
        skipped = case.find("skipped")
        if status == "run":
            passed += 1
        elif status in ("notrun", "disabled") and skipped is not None and \
                SKIPPED_BY_TEST.match(skipped.get("message") or ""):
            skips.append((case.get("name"), skip_reason(case)))
        else:
            failed += 1
    return passed, failed, skips


def counts_from_log(path):
    text = path.read_text(errors="replace").splitlines()
    passed = sum(bool(CHECK_PASSED.match(l)) for l in text)
    failed = sum(bool(CHECK_FAILED.match(l)) for l in text)
    if passed == failed == 0:
        return None
    return passed, failed, []


def stage_rows(results):
    rows = []
    for line in (results / "stages").read_text().splitlines():
        name, status = line.split()
        junit, log = results / (name + ".xml"), results / (name + ".log")
        counts = None
        if junit.exists():
            try:
                counts = counts_from_junit(junit)
            except ET.ParseError:
                counts = None
        elif log.exists():
            counts = counts_from_log(log)
        rows.append((name, int(status), counts))
    return rows


def names(tests):
    """Test names; of many, the first two and the last, and how many."""
    if len(tests) <= 3:
        return ", ".join(tests)
    return "%s (%d tests)" % (", ".join(tests[:2] + ["..."] + tests[-1:]), len(tests))


def main():
    results = Path(sys.argv[1])
    rows = stage_rows(results)
    print()
    print("== Summary")
    print("%-12s %-7s %7s %7s %8s" % ("stage", "result", "passed", "failed", "skipped"))
    skipped_by_reason = OrderedDict()
    total_skipped = 0
    for name, status, counts in rows:
        result = "ok" if status == 0 else "FAILED"
        if counts is None:
            print("%-12s %-7s %7s %7s %8s" % (name, result, "-", "-", "-"))
            continue
        passed, failed, skips = counts
        print("%-12s %-7s %7d %7d %8d" % (name, result, passed, failed, len(skips)))
        total_skipped += len(skips)
        for test, reason in skips:
            skipped_by_reason.setdefault((name, reason), []).append(test)
    if skipped_by_reason:
        print()
        print("Skipped, and why:")
        for (stage, reason), tests in skipped_by_reason.items():
            print("  %s: %s: %s" % (stage, names(tests), reason))
    print()
    failed_stages = [name for name, status, _ in rows if status != 0]
    if failed_stages:
        print("FAILED: %s (of %d stages)" % (", ".join(failed_stages), len(rows)))
    elif total_skipped:
        print("All %d stages passed, but %d tests were SKIPPED and did not test what they "
              "cover (reasons above)." % (len(rows), total_skipped))
    else:
        print("All %d stages passed; nothing skipped." % len(rows))
    return 1 if failed_stages else 0


if __name__ == "__main__":
    sys.exit(main())
