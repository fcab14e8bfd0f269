#!/usr/bin/env python3
"""End-to-end tests of the page in headless Chromium against the emulated Orvel-M8.

    e2e.py --emulator ORVEL_EMULATOR --site SITE_DIR CASE

Cases: found-without-click, update-primary, update-variant, update-hidden, loading-line,
clock-without-worker, replug, other-device-removed, refused-write, no-reply, no-device,
close-prompt, stand-in-question, second-tab, second-unit, second-unit-stays-apart. Each prints
what it saw and ends with "web e2e: CASE passed", or "web e2e: CASE skipped: ..." when every
attempt lost a race the emulator cannot rule out, or fails with a reason.
"""
import argparse
import json
import os
import re
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import browser_rig  # noqa: E402

GREEN = "rgb(0, 200, 0)"
RED = "rgb(255, 0, 0)"
TRY_AGAIN = "Error\uFF0CPlease try again!"
INTERRUPTED = "Update interrupted, please follow the connection instructions to re-operate"
UPDATING = "NOTE\uFF1AUpdating, Please do not plug or remove the USB"
TITLE = "Orvel-M8 Firmware Update V0.42"
STAND_IN_SUFFIX = " (stand-in images)"
UNIT_BUSY = ("Another program is updating this device. Wait until it has finished, then try "
             "again.")
STAND_IN_QUESTION = ("This build carries stand-in images for testing, not the Orvel-M8's "
                     "firmware. Writing one to a real device leaves it without working "
                     "firmware. Write it anyway?")

# What the page shows, read in one go.
STATE_JS = """(() => {
  const t = (id) => { const e = document.getElementById(id); const l = e.querySelector('legend');
                      return (l || e).textContent; };
  const box = document.querySelector('dialog.box[open]');
  return {
    status: t('IDC_STATUS'),
    statusColor: getComputedStyle(document.querySelector('#IDC_STATUS legend')).color,
    note: t('IDC_NOTE'), percent: t('IDC_PERCENT'),
    progress: document.getElementById('IDC_PROGRESS').value,
    updateEnabled: !document.getElementById('IDC_UPDATE').disabled,
    focused: document.activeElement ? document.activeElement.id : '',
    title: document.title,
    box: box ? { caption: box.querySelector('.box-caption').textContent,
                 text: box.querySelector('.box-text').textContent,
                 icon: (box.querySelector('.box-icon') || {className: ''}).className,
                 buttons: [...box.querySelectorAll('button')].map((b) => b.textContent) } : null,
    wakeLockWanted: Module.pageView.wakeLockWanted(),
    background: !!document.getElementById('BACKGROUND_NOTE')?.checkVisibility(),
  };
})()"""


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def state(page):
    return page.js(STATE_JS)


def wait_box(page, timeout):
    page.wait_for("!!document.querySelector('dialog.box[open]')", timeout, "message box")
    return state(page)


def question_box(page, timeout=1.5):
    """The yes/no question, if the page asks one within `timeout` after a click."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        s = state(page)
        if s["box"]:
            return s if "BOX_YES" in page.js("[...document.querySelectorAll('dialog.box[open] "
                                               "button')].map((b) => b.id).join(' ')") else None
        if s["note"].startswith("NOTE"):
            return None
        time.sleep(0.05)
    return None


def click_update(page, mouse=True):
    """Presses Update (with the mouse, or from a script on a hidden page); a stand-in build
    asks first, and is answered Yes."""
    press = page.click if mouse else page.press
    press("IDC_UPDATE")
    asked = question_box(page)
    if asked:
        check(asked["box"]["text"] == STAND_IN_QUESTION, "question %r" % asked["box"]["text"])
        check(asked["box"]["buttons"] == ["Yes", "No"] and asked["focused"] == "BOX_NO",
              "question without No as default: %r" % asked)
        press("BOX_YES")
        page.wait_for("!document.querySelector('dialog.box[open] #BOX_YES')", 5,
                      "the question to close")
    return asked


def close_box(page, mouse=True):
    (page.click if mouse else page.press)("BOX_OK")
    page.wait_for("!document.querySelector('dialog.box[open]')", 5, "the box to close")


class BrowserStuck(Exception):
    """Chromium left its first tab blank: the page never loaded, and the tab does not answer a
    navigation either. Seen now and then when it starts under load; a fresh browser does not
    inherit it."""


def start_page(browser, timeout=40, device=True):
    """The page, started; with `device`, once it shows the emulated device as connected
    (found by the first search, or by the connect event when the browser's device list was
    not ready yet)."""
    page = browser.page or browser.connect()
    ready = "document.body.dataset.ready === '1'"
    try:
        page.wait_for(ready, 8, "the page to start")
    except TimeoutError:
        if page.js("location.href") != browser.url:
            raise BrowserStuck("the first tab stayed blank")
        try:
            page.wait_for(ready, timeout, "the page to start")
        except TimeoutError:
            print("page at start:", page.js("JSON.stringify({href: location.href, state: "
                                            "document.readyState, module: typeof Module})"))
            raise
    if device:
        page.wait_for("document.querySelector('#IDC_STATUS legend').textContent"
                      " === 'Device Connected'", 10, "the granted device")
    return page


def expect_verdict(output, pattern):
    print(output, end="")
    check(re.search(pattern, output), "emulator verdict does not match %r" % pattern)


def run_browser(args, workdir, emulator_args, body, timeout_s=120, attempts=3):
    """Runs `body` against the page in a browser under the emulator; returns what it returned
    and the emulator's output. A browser stuck at its start is replaced by a fresh one (with a
    fresh emulated device), at most `attempts` times in all."""
    for attempt in range(1, attempts + 1):
        browser = browser_rig.Browser(args.emulator, args.origin + "/index.html", workdir,
                                      emulator_args, timeout_s)
        try:
            result = body(browser)
        except BrowserStuck as stuck:
            browser.finish(timeout=0)
            if attempt == attempts:
                raise
            print("%s; starting again with a fresh browser" % stuck)
            continue
        except Exception:
            sys.stdout.write("Chromium's log ends:\n" + browser.log_tail())
            if browser.page:
                for e in browser.page.events:
                    if e["method"] in ("Runtime.consoleAPICalled", "Runtime.exceptionThrown"):
                        print("page:", json.dumps(e["params"], ensure_ascii=False)[:400])
            browser.finish()
            raise
        return result, browser.finish()


# ---- cases -------------------------------------------------------------------------------

def case_update(args, workdir, product, blocks, image):
    def body(browser):
        page = start_page(browser)
        s = state(page)
        print("start:", json.dumps(s, ensure_ascii=False))
        check(s["title"] in (TITLE, TITLE + STAND_IN_SUFFIX), "title %r" % s["title"])
        check(s["status"] == "Device Connected" and s["statusColor"] == GREEN,
              "the granted device was not found without a click: %r in %s"
              % (s["status"], s["statusColor"]))
        check(s["percent"] == "0%" and s["progress"] == 0, "not at 0%")
        check(s["focused"] == "IDC_UPDATE", "Update is not focused (%r)" % s["focused"])
        click_update(page)
        page.wait_for("document.getElementById('IDC_NOTE').textContent.startsWith('NOTE')", 10,
                      "the updating note")
        s = state(page)
        check(not s["updateEnabled"], "Update stays enabled during the update")
        check(s["wakeLockWanted"], "no wake lock asked for during the update")
        s = wait_box(page, 60)
        print("end:", json.dumps(s, ensure_ascii=False))
        check(s["box"]["text"] == "Update is successful!", "box: %r" % s["box"]["text"])
        check(s["box"]["caption"] == "Lumo_Tool" and s["box"]["icon"] == "" and
              s["box"]["buttons"] == ["OK"], "success box looks wrong: %r" % s["box"])
        check(s["percent"] == "100%" and s["progress"] == 100, "not at 100%")
        check(not s["wakeLockWanted"], "wake lock still wanted after the update")
        close_box(page)
        s = state(page)
        check(s["note"] == " " and s["updateEnabled"], "after the box: %r" % s)
    _, out = run_browser(args, workdir, ["--product", product], body)
    expect_verdict(out, r"emulator verdict: delivered byte for byte \(%s image, %d blocks\)"
                   % (image, blocks))


def case_update_hidden(args, workdir):
    # A variant update started and run to its end while another tab is in front. The browser
    # slows a hidden page's own timers to one a second: ticks from them would take over 16
    # minutes for the 988 blocks that take 11 s in front.
    def body(browser):
        page = start_page(browser)
        check(not state(page)["background"], "the background line shows before an update")
        page.js("window.lumoShown = 0; document.addEventListener('visibilitychange', () => {"
                " if (document.visibilityState !== 'hidden') window.lumoShown++; })")
        page.hide()
        click_update(page, mouse=False)
        page.wait_for("document.getElementById('IDC_NOTE').textContent.startsWith('NOTE')", 10,
                      "the updating note")
        during = state(page)
        s = wait_box(page, 60)
        print("end:", json.dumps(s, ensure_ascii=False))
        check(s["box"]["text"] == "Update is successful!", "box: %r" % s["box"]["text"])
        check(during["background"], "no line saying the update goes on in the background: %r"
              % during)
        check(page.js("document.visibilityState") == "hidden" and page.js("window.lumoShown") == 0,
              "the page was shown during the update")
        close_box(page, mouse=False)
        check(not state(page)["background"], "the background line stays after the update")
    _, out = run_browser(args, workdir, ["--product", "7b16"], body)
    expect_verdict(out, r"emulator verdict: delivered byte for byte \(variant image, 988 blocks\)")


def case_clock_without_worker(args, workdir):
    # A host whose Content-Security-Policy forbids the clock's worker: the worker is made but
    # never starts (its error comes later). The timers it was given move to the page, and the
    # update runs to its end; without that move the first tick would never come.
    def body(browser):
        page = browser.connect()
        page.call("Page.addScriptToEvaluateOnNewDocument", source=(
            "(() => { const make = URL.createObjectURL;"
            " URL.createObjectURL = (b) => { const u = make(b); URL.revokeObjectURL(u);"
            " return u; }; })()"))
        page.call("Page.reload", ignoreCache=True)
        page = start_page(browser)
        click_update(page)
        s = wait_box(page, 60)
        check(s["box"]["text"] == "Update is successful!", "box: %r" % s["box"]["text"])
    _, out = run_browser(args, workdir, ["--product", "7b16"], body)
    expect_verdict(out, r"emulator verdict: delivered byte for byte \(variant image, 988 blocks\)")


# Set before the page's first script runs: what the page shows, noted at each change of the
# document and at each frame drawn, one entry each time it differs from the last.
SHOWN_JS = """(() => {
  const seen = window.lumoSeen = [];
  const shown = (id) => {
    const e = document.getElementById(id);
    return !!e && e.checkVisibility();
  };
  function look() {
    const parts = [];
    if (shown('LOADING')) parts.push('loading');
    if (shown('IDD_MAIN_DIALOG')) {
      const percent = document.getElementById('IDC_PERCENT');
      parts.push('window ' + (shown('IDC_PERCENT') ? percent.textContent : '(no percentage)'));
    }
    const now = parts.join(', ') || 'nothing';
    if (seen[seen.length - 1] !== now) seen.push(now);
  }
  new MutationObserver(look).observe(document, { subtree: true, childList: true,
                                                 characterData: true, attributes: true });
  const frame = () => { look(); requestAnimationFrame(frame); };
  requestAnimationFrame(frame);
})()"""


def case_loading_line(args, workdir):
    # The core comes 2 s after the page (SERVED_LATE), as from a real host. Until it has
    # started, the page shows a loading line and no window: the window appears with "0%",
    # never with the template's placeholder where the percentage goes.
    def body(browser):
        page = browser.connect()
        page.call("Page.addScriptToEvaluateOnNewDocument", source=SHOWN_JS)
        page.call("Page.reload", ignoreCache=True)
        start_page(browser)
        seen = page.js("window.lumoSeen")
        print("shown in turn:", json.dumps(seen, ensure_ascii=False))
        while seen and seen[0] == "nothing":  # before the body is there
            seen.pop(0)
        check(seen == ["loading", "window 0%"], "not the loading line, then the window at 0%")
        s = state(page)
        check(s["focused"] == "IDC_UPDATE", "Update is not focused (%r)" % s["focused"])
    _, out = run_browser(args, workdir, ["--expect", "no-update"], body)
    expect_verdict(out, r"emulator verdict: no update")


def case_found_without_click(args, workdir):
    def body(browser):
        page = start_page(browser, device=False)
        # Granted by policy: found by the first search, or (when the browser's own device
        # list was not ready yet) by the connect event just after, never by a click.
        page.wait_for("document.querySelector('#IDC_STATUS legend').textContent"
                      " === 'Device Connected'", 10, "the granted device")
        s = state(page)
        check(s["statusColor"] == GREEN, "connected caption not green: %r" % s)
        # A device plugged in later arrives through WebHID's connect event, again without a
        # click: unplug and replug it.
        page.wait_for("document.querySelector('#IDC_STATUS legend').textContent"
                      " === 'Device Disconnected'", 25, "the unplug")
        check(state(page)["statusColor"] == RED, "disconnected caption not red")
        page.wait_for("document.querySelector('#IDC_STATUS legend').textContent"
                      " === 'Device Connected'", 15, "the replug")
        check(state(page)["statusColor"] == GREEN, "connected caption not green")
    _, out = run_browser(args, workdir, ["--expect", "no-update", "--scenario",
                                         "unplug after 15000 ms", "--scenario",
                                         "replug after 1000 ms"], body)
    expect_verdict(out, r"emulator verdict: no update")


def replug_attempt(args, workdir, scenario):
    """One update with an unplug and a replug in it: what the page showed while the device
    was away, the box at the end, and the emulator's output."""
    seen = {}

    def body(browser):
        page = start_page(browser)
        seen["granted"] = page.js("navigator.hid.getDevices().then((d) => d.length)")
        click_update(page)
        page.wait_for("document.querySelector('#IDC_STATUS legend').textContent"
                      " === 'Device Disconnected' || !!document.querySelector('dialog.box[open]')",
                      30, "the unplug")
        seen["away"] = state(page)
        seen["box"] = wait_box(page, 60)["box"]["text"]
        close_box(page)
    scenario_args = []
    for statement in scenario:
        scenario_args += ["--scenario", statement]
    _, out = run_browser(args, workdir, ["--expect", "delivered"] + scenario_args, body)
    print(out, end="")
    return seen, out


def check_resumed(seen):
    away = seen["away"]
    print("while away:", json.dumps(away, ensure_ascii=False))
    check(away["status"] == "Device Disconnected" and away["statusColor"] == RED and
          away["note"] == UPDATING and not away["updateEnabled"], "while away: %r" % away)
    check(seen["box"] == "Update is successful!", "box %r" % seen["box"])


def replug_case(args, workdir, scenario, judge, attempts=3):
    """An update with an unplug and a replug in it, tried up to `attempts` times. When the
    removal reaches the page before the next tick writes, the update is suspended and resumes
    at the next block on the re-plugged device. Chromium tells the page of a removal some
    milliseconds after the node has gone, and a tick comes every 10 ms: when the next write
    gets there first, it fails ("The device was closed unexpectedly"), and a failed write ends
    the update: the warning box, the update interrupted, nothing wrong written. Which comes
    first is Chromium's affair; the test says so when every attempt lost. `judge(seen, out,
    resumed)` checks the emulator's verdicts of each attempt."""
    for attempt in range(1, attempts + 1):
        seen, out = replug_attempt(args, workdir, scenario)
        resumed = seen["box"] == "Update is successful!"
        if not resumed:
            check(seen["box"] == TRY_AGAIN, "box %r" % seen["box"])
        judge(seen, out, resumed)
        if resumed:
            check_resumed(seen)
            return
        print("attempt %d: the next write came before the removal reached the page (the "
              "update ended with the warning box, nothing wrong written)" % attempt)
    raise SkipCase("every one of %d attempts lost the race between the removal and the next "
                   "write" % attempts)


def case_replug(args, workdir):
    # The device is pulled out after block 300 and comes back 1.5 s later.
    def judge(seen, out, resumed):
        if resumed:
            check(re.search(r"emulator verdict: delivered byte for byte \(primary image, 1954",
                            out), "success shown but the image was not delivered")
        else:
            check("emulator verdict: interrupted after block 300 " in out,
                  "a failed update that is not an interruption after block 300")
    replug_case(args, workdir, ["unplug after block 300", "replug after 1500 ms"], judge)


def verdicts(out):
    """Each device's verdict in the emulator's output, by name: "1" for device 1."""
    return {m.group(1) or "1": m.group(2)
            for m in re.finditer(r"^emulator (?:unit (\S+) )?verdict: (.*)$", out, re.M)}


def case_second_unit(args, workdir):
    # Two units of product 0xC3D1, both granted and both present from the start: device 1 on
    # port 1-1, unit b on 1-4. The browser lists its devices in an order of its own, so the
    # page may open either: the one that got the start report is ours. Whichever is being
    # updated is pulled out after block 300 and plugged back in 1.5 s later (the scenario
    # says so for both; only ours takes a block 300). The browser gives no identity, so only
    # a unit that arrived after ours left may be taken: the other, present all along, never
    # is. While ours is away the page shows "Device Disconnected" though the other is there;
    # the update resumes on ours, byte for byte, and the other gets no report at all.
    scenario = ["device at 1-1", "unit b c3d1 at 1-4 serial M8P-000404",
                "unplug after block 300", "replug after 1500 ms",
                "unplug unit b after block 300", "replug after 1500 ms"]
    untouched = "no update (no report reached the device)"

    def judge(seen, out, resumed):
        v = verdicts(out)
        check(seen["granted"] == 2, "the page was granted %r units, not 2" % seen["granted"])
        check(set(v) == {"1", "b"}, "verdicts %r" % v)
        ours = [name for name, text in v.items() if text != untouched]
        check(len(ours) == 1, "not one unit updated and the other untouched: %r" % v)
        expected = ("delivered byte for byte (primary image, 1954 blocks)" if resumed
                    else "interrupted after block 300 ")
        check(v[ours[0]].startswith(expected), "unit %s: %r" % (ours[0], v[ours[0]]))
        print("ours: %s; the other: %s" % ("device 1" if ours[0] == "1" else "unit b",
                                           untouched))
    replug_case(args, workdir, scenario, judge)


# The device of the other product, granted too, comes once the page has found ours (so that
# ours stays first in the page's list, whatever order the browser lists devices in at the
# start) and is pulled out mid-update.
OTHER_PRODUCT_COMES_AND_GOES = ["--scenario", "second device after 8000 ms",
                                "--scenario", "remove second device after 14000 ms"]


def update_while_other_product_goes(browser, ours):
    """Runs an update to its success box while the device of the other product (device 2)
    leaves mid-update; `ours`: the transcript's numbers of the devices that may be ours.
    Returns the page's state at the box."""
    page = start_page(browser)
    click_update(page)
    s = wait_box(page, 90)
    print("end:", json.dumps(s, ensure_ascii=False))
    check(s["box"]["text"] == "Update is successful!", "box %r" % s["box"]["text"])
    close_box(page)
    with open(browser.transcript) as f:
        lines = [l.split() for l in f if not l.startswith("#")]
    data = [float(l[0]) for l in lines if l[1] in ours and l[3] == "data"]
    gone = [float(l[0]) for l in lines if l[1] == "2" and l[3] == "unplug"]
    check(gone and data and data[0] < gone[0] < data[-1],
          "the other product's device did not go during the update")
    return s


def case_second_unit_stays_apart(args, workdir):
    # As second-unit, without the race: two units of product 0xC3D1 granted and present all
    # along while the other product's device comes and goes mid-update. Its removal closes
    # our handle and the search opens a unit again at once: ours, never the other one that
    # was there all along (which the browser may list first). Ours gets the whole image byte
    # for byte, the other no report.
    untouched = "no update (no report reached the device)"
    _, out = run_browser(args, workdir,
                         ["--scenario", "device at 1-1",
                          "--scenario", "unit b c3d1 at 1-4 serial M8P-000404"]
                         + OTHER_PRODUCT_COMES_AND_GOES,
                         lambda browser: update_while_other_product_goes(browser, ("1", "4")))
    v = verdicts(out)
    ours = [name for name in ("1", "b") if v.get(name) != untouched]
    check(len(ours) == 1 and v[ours[0]].startswith(
              "delivered byte for byte (primary image, 1954 blocks)"),
          "not one unit updated byte for byte and the other untouched: %r" % v)
    print("ours: %s; the other: %s" % ("device 1" if ours[0] == "1" else "unit b", untouched))


def case_other_device_removed(args, workdir):
    # The removal of the other product's device closes our device's handle and the search
    # opens it again at once ("Device Connected", "0%", the note blanked), and the next tick
    # goes on with the next block on the new handle. Nothing races here: no write is in
    # flight to the device that goes.
    def body(browser):
        s = update_while_other_product_goes(browser, ("1",))
        check(s["note"] == " ", "the note was not blanked by the reopening: %r" % s["note"])
    _, out = run_browser(args, workdir, OTHER_PRODUCT_COMES_AND_GOES, body)
    expect_verdict(out, r"emulator verdict: delivered byte for byte \(primary image, 1954 blocks\)\n")


def case_refused_write(args, workdir):
    def body(browser):
        page = start_page(browser)
        click_update(page)
        s = wait_box(page, 30)
        print("box:", json.dumps(s, ensure_ascii=False))
        check(s["box"]["text"] == TRY_AGAIN and "warning" in s["box"]["icon"],
              "not the warning box: %r" % s["box"])
        close_box(page)
        s = state(page)
        check(s["note"] == INTERRUPTED and s["updateEnabled"], "after the box: %r" % s)
        page.pump(1.0)
        check(not state(page)["box"], "another box after the failure")
    _, out = run_browser(args, workdir, ["--expect", "interrupted", "--scenario",
                                         "fail block 17"], body)
    expect_verdict(out, r"emulator verdict: interrupted after block 16 of 1954")


def case_no_reply(args, workdir):
    def body(browser):
        page = start_page(browser)
        started = time.monotonic()
        click_update(page)
        s = wait_box(page, 30)
        waited = time.monotonic() - started
        print("box after %.1f s:" % waited, json.dumps(s, ensure_ascii=False))
        check(s["box"]["text"] == TRY_AGAIN and "warning" in s["box"]["icon"],
              "not the warning box: %r" % s["box"])
        check(4.5 < waited < 15, "the reply was waited for %.1f s" % waited)
        check(s["percent"] == "0%", "percent %r" % s["percent"])
        close_box(page)
        check(state(page)["updateEnabled"], "Update not enabled after the box")
    _, out = run_browser(args, workdir, ["--expect", "no-update", "--scenario",
                                         "never answer start"], body)
    expect_verdict(out, r"emulator verdict: no update \(start report only")


def case_no_device(args, workdir):
    def body(browser):
        page = start_page(browser, device=False)
        s = state(page)
        check(s["status"] == "Device Disconnected" and s["statusColor"] == RED,
              "status %r in %s" % (s["status"], s["statusColor"]))
        click_update(page)
        s = wait_box(page, 10)
        print("box:", json.dumps(s, ensure_ascii=False))
        check(s["box"]["text"] == "The device is not connected!" and
              "warning" in s["box"]["icon"] and s["box"]["caption"] == "Lumo_Tool",
              "box %r" % s["box"])
        close_box(page)
        check(state(page)["updateEnabled"], "Update not enabled")
    _, out = run_browser(args, workdir, ["--expect", "no-update", "--scenario",
                                         "plug in after 600000 ms"], body)
    expect_verdict(out, r"emulator verdict: no update")


def case_close_prompt(args, workdir):
    def body(browser):
        page = start_page(browser)
        click_update(page)
        page.wait_for("parseInt(document.getElementById('IDC_PERCENT').textContent) >= 3", 20,
                      "the update under way")
        page.events.clear()
        page.call("Page.reload")
        deadline = time.monotonic() + 10
        prompt = None
        while time.monotonic() < deadline and not prompt:
            page.pump(0.2)
            prompt = next((e for e in page.events
                           if e["method"] == "Page.javascriptDialogOpening"), None)
        check(prompt and prompt["params"]["type"] == "beforeunload",
              "no prompt before leaving the page during an update")
        page.call("Page.handleJavaScriptDialog", accept=False)
        before = int(state(page)["percent"].rstrip("%"))
        time.sleep(1.0)
        after = int(state(page)["percent"].rstrip("%"))
        print("prompted; the update went on from %d%% to %d%%" % (before, after))
        check(after > before, "the update did not go on after staying")
    _, out = run_browser(args, workdir, ["--expect", "interrupted"], body)
    expect_verdict(out, r"emulator verdict: interrupted")


class SkipCase(Exception):
    pass


def case_stand_in_question(args, workdir):
    # A build with stand-in images asks before it writes one; No, the default, writes nothing.
    def body(browser):
        page = start_page(browser)
        check(state(page)["title"] == TITLE + STAND_IN_SUFFIX, "caption without the mark")
        page.click("IDC_UPDATE")
        asked = question_box(page, 3)
        if not asked:
            raise SkipCase("the core asks no stand-in question in this build")
        print("asked:", json.dumps(asked, ensure_ascii=False))
        check(asked["box"]["text"] == STAND_IN_QUESTION and asked["box"]["caption"] == "Lumo_Tool"
              and asked["focused"] == "BOX_NO", "question %r" % asked)
        # Enter answers the focused default; "text" makes it a key press the button acts on.
        page.call("Input.dispatchKeyEvent", type="keyDown", key="Enter", code="Enter",
                  windowsVirtualKeyCode=13, text="\r", unmodifiedText="\r")
        page.call("Input.dispatchKeyEvent", type="keyUp", key="Enter", code="Enter",
                  windowsVirtualKeyCode=13)
        page.wait_for("!document.querySelector('dialog.box[open] #BOX_YES')", 5,
                      "the question to close")
        page.pump(1.0)
        s = state(page)
        check(s["updateEnabled"] and not s["note"].startswith("NOTE"), "after No: %r" % s)
    _, out = run_browser(args, workdir, ["--expect", "no-update"], body)
    expect_verdict(out, r"emulator verdict: no update \(no report reached the device\)")


def case_second_tab(args, workdir):
    """One writer per unit: a second tab of the page asked to update while the first one
    streams is refused, writes nothing, and says why; the first goes on to the end."""
    def body(browser):
        first = start_page(browser)
        click_update(first)
        first.wait_for("document.getElementById('IDC_NOTE').textContent.startsWith('NOTE')",
                       10, "the updating note")
        second = browser.open_tab(browser.url)
        second.wait_for("document.body.dataset.ready === '1'", 40, "the second tab to start")
        second.wait_for("document.querySelector('#IDC_STATUS legend').textContent"
                        " === 'Device Connected'", 20, "the device in the second tab")
        click_update(second)
        s = wait_box(second, 10)
        print("second tab:", json.dumps(s["box"], ensure_ascii=False))
        check(s["box"]["text"] == UNIT_BUSY and "warning" in s["box"]["icon"],
              "second tab's box: %r" % s["box"])
        close_box(second)
        check(state(second)["updateEnabled"], "Update disabled in the second tab")
        s = wait_box(first, 60)
        check(s["box"]["text"] == "Update is successful!", "first tab's box: %r" % s["box"])
    _, out = run_browser(args, workdir, ["--product", "7b16"], body)
    expect_verdict(out, r"emulator verdict: delivered byte for byte \(variant image, 988 blocks\)")


CASES = {
    "found-without-click": case_found_without_click,
    "update-primary": lambda a, w: case_update(a, w, "c3d1", 1954, "primary"),
    "update-variant": lambda a, w: case_update(a, w, "7b16", 988, "variant"),
    "update-hidden": case_update_hidden,
    "loading-line": case_loading_line,
    "clock-without-worker": case_clock_without_worker,
    "replug": case_replug,
    "second-unit": case_second_unit,
    "second-unit-stays-apart": case_second_unit_stays_apart,
    "other-device-removed": case_other_device_removed,
    "refused-write": case_refused_write,
    "no-reply": case_no_reply,
    "no-device": case_no_device,
    "close-prompt": case_close_prompt,
    "stand-in-question": case_stand_in_question,
    "second-tab": case_second_tab,
}


# Files the test server holds back, in seconds, for the cases that need a slow host.
SERVED_LATE = {"loading-line": {".wasm": 2.0}}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--emulator", required=True)
    parser.add_argument("--site", required=True)
    parser.add_argument("case", choices=sorted(CASES))
    args = parser.parse_args()
    args.emulator = os.path.abspath(args.emulator)
    args.site = os.path.abspath(args.site)
    browser_rig.in_private_namespace([os.path.abspath(__file__)] + sys.argv[1:])
    with tempfile.TemporaryDirectory(prefix="lumo-web-e2e-") as workdir, \
            browser_rig.serve(args.site, late=SERVED_LATE.get(args.case)) as origin:
        args.origin = origin
        browser_rig.install_policy(origin, workdir)
        try:
            CASES[args.case](args, workdir)
        except SkipCase as e:
            print("web e2e: %s skipped: %s" % (args.case, e))
            return 0
        except (Failure, TimeoutError, RuntimeError) as e:
            print("web e2e: %s FAILED: %s" % (args.case, e))
            return 1
    print("web e2e: %s passed" % args.case)
    return 0


if __name__ == "__main__":
    sys.exit(main())
