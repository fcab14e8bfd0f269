#!/usr/bin/env python3
"""Real-time benchmark of the page in headless Chromium against the emulated Orvel-M8.

Runs whole updates of both images (the page served on 127.0.0.1, Chromium as the emulator's
command, the device granted by policy), each once with the page's tab in front and once with
another tab in front from before Update is pressed to the end ("hidden"), and prints, per
update: the duration from the start report to the finish report against the ideal (data
reports x 10 ms + 300 ms + 500 ms), and the interval between data reports (median, 99th
percentile, largest) from the emulator's transcript, with the page's count of ticks run and
skipped.

    /usr/bin/python3 bench/web/web_bench.py WEB_BUILD_DIR LINUX_BUILD_DIR [--runs N]

Targets, in front and hidden alike: ratio <= 1.02, p99 interval <= 12 ms. Needs root (or user namespaces) for the
private mount namespace in which the WebHID policy is put in place.
"""
import argparse
import os
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "tests", "web"))
import browser_rig  # noqa: E402
import e2e  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from figures import PACE_HEADER, pace, pace_columns, transcript_times  # noqa: E402


def run_update(args, workdir, product, hidden):
    figures = {}

    def body(browser):
        page = e2e.start_page(browser)
        if hidden:
            page.hide()
        # A hidden page takes no mouse input: its buttons are pressed from a script.
        e2e.click_update(page, mouse=not hidden)
        e2e.wait_box(page, 90)
        figures["stats"] = page.js("({...Module.lumoLoop.stats})")
        figures["box"] = e2e.state(page)["box"]["text"]
        figures["visibility"] = page.js("document.visibilityState")
        e2e.close_box(page, mouse=not hidden)
        figures["times"] = transcript_times(browser.transcript)

    _, out = e2e.run_browser(args, workdir, ["--product", product], body, timeout_s=150)
    if "delivered byte for byte" not in out or figures.get("box") != "Update is successful!":
        raise SystemExit("update of product %s did not succeed: %s" % (product, out))
    if hidden and figures["visibility"] != "hidden":
        raise SystemExit("the page came to the front during the hidden update")
    start, data, finish = figures["times"]
    u = pace(product, data, finish - start)
    u.update(ticks=figures["stats"]["ticks"], skipped=figures["stats"]["skipped"])
    return u


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("web_build")
    parser.add_argument("linux_build")
    parser.add_argument("--runs", type=int, default=1)
    args = parser.parse_args()
    args.site = os.path.abspath(os.path.join(args.web_build, "site"))
    args.emulator = os.path.abspath(os.path.join(args.linux_build, "emulator",
                                                 "orvel-emulator"))
    browser_rig.in_private_namespace([os.path.abspath(__file__), args.web_build,
                                      args.linux_build, "--runs", str(args.runs)])
    with tempfile.TemporaryDirectory(prefix="lumo-web-bench-") as workdir, \
            browser_rig.serve(args.site) as origin:
        args.origin = origin
        browser_rig.install_policy(origin, workdir)
        print(f"{'tab':<6} {PACE_HEADER} {'ticks':>7} {'skipped':>8}")
        for _ in range(args.runs):
            for product in ("7b16", "c3d1"):
                for hidden in (False, True):
                    u = run_update(args, workdir, product, hidden)
                    tab = "hidden" if hidden else "front"
                    print(f"{tab:<6} {pace_columns(u)} {u['ticks']:>7} {u['skipped']:>8}",
                          flush=True)
    print("targets, in front and hidden: ratio <= 1.02, p99 <= 12 ms")


if __name__ == "__main__":
    main()
