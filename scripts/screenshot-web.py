#!/usr/bin/env python3
"""Takes the README's picture of the browser page: headless Chromium on the page, half-way
through an update of the emulated device.

    /usr/bin/python3 scripts/screenshot-web.py [OUTPUT.png]     (after scripts/test-all.sh)

Default output: docs/lumo_tool_web.png. Uses build/web/site and build/linux's orvel-emulator.
"""
import base64
import os
import sys
import tempfile

root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
sys.path.insert(0, os.path.join(root, "tests", "web"))
import browser_rig  # noqa: E402
import e2e  # noqa: E402


def main():
    output = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else
                             os.path.join(root, "docs", "lumo_tool_web.png"))
    browser_rig.in_private_namespace([os.path.abspath(__file__), output])

    class Args:
        site = os.path.abspath(os.path.join(root, "build", "web", "site"))
        emulator = os.path.abspath(os.path.join(root, "build", "linux", "emulator",
                                                "orvel-emulator"))

    def body(browser):
        page = e2e.start_page(browser)
        e2e.click_update(page)
        page.wait_for("parseInt(document.getElementById('IDC_PERCENT').textContent) >= 50", 30,
                      "half-way")
        rect = page.js("(() => { const r = document.querySelector('.window')"
                       ".getBoundingClientRect(); return [r.left, r.top, r.width, r.height]; })()")
        shot = page.call("Page.captureScreenshot", format="png", clip={
            "x": rect[0] - 8, "y": rect[1] - 8, "width": rect[2] + 16, "height": rect[3] + 16,
            "scale": 1})
        with open(output, "wb") as f:
            f.write(base64.b64decode(shot["data"]))

    with tempfile.TemporaryDirectory(prefix="lumo-web-shot-") as workdir, \
            browser_rig.serve(Args.site) as origin:
        Args.origin = origin
        browser_rig.install_policy(origin, workdir)
        e2e.run_browser(Args, workdir, ["--expect", "interrupted"], body)
    print("wrote", output)


if __name__ == "__main__":
    main()
