"""The page in headless Chromium against the emulated Orvel-M8, driven over the DevTools
protocol. Shared by the end-to-end tests and the benchmark.

Chromium runs as the emulator's command, under umockdev's preload, so its HID service sees
the emulated device. It grants the page the device without a prompt through the managed
policy WebHidAllowDevicesForUrls, which it reads from /etc/chromium/policies/managed/. That
policy exists only inside a private mount namespace: the rig re-runs itself under
`unshare -m` and mounts a folder of its own over /etc/chromium there, so the machine's /etc
is never changed.
"""
import contextlib
import functools
import http.server
import json
import os
import shutil
import socketserver
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

import websocket

VENDOR = 0x5A7E
PRODUCTS = (0x7B16, 0xC3D1)
CHROMIUM_FLAGS = [
    "--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
    "--disable-background-networking", "--disable-component-update", "--disable-sync",
    "--remote-debugging-port=0", "--remote-allow-origins=*",
    # Under umockdev's preload a separate network service process now and then never sends
    # the page's first request, leaving the tab blank; in the browser's process it does.
    "--enable-features=NetworkServiceInProcess2",
]
NAMESPACE_MARK = "LUMO_WEB_RIG_NAMESPACE"


def in_private_namespace(argv):
    """Re-runs this program in a private mount namespace unless it already runs in one."""
    if os.environ.get(NAMESPACE_MARK) == "1":
        return
    env = dict(os.environ, **{NAMESPACE_MARK: "1"})
    # Without root, a user namespace lends the rights to mount inside it.
    user = [] if os.geteuid() == 0 else ["--map-root-user"]
    os.execvpe("unshare", ["unshare", "--mount", "--propagation", "private"] + user +
               ["--", sys.executable] + argv, env)


def install_policy(origin, workdir):
    """Mounts a copy of /etc/chromium with the policy over /etc/chromium (namespace only)."""
    if os.environ.get(NAMESPACE_MARK) != "1":
        raise RuntimeError("the policy goes in place only inside the rig's mount namespace")
    etc = os.path.join(workdir, "etc-chromium")
    if os.path.isdir("/etc/chromium"):
        shutil.copytree("/etc/chromium", etc, symlinks=True)
    managed = os.path.join(etc, "policies", "managed")
    os.makedirs(managed, exist_ok=True)
    policy = {"WebHidAllowDevicesForUrls": [{
        "devices": [{"vendor_id": VENDOR, "product_id": p} for p in PRODUCTS],
        "urls": [origin],
    }]}
    with open(os.path.join(managed, "orvel-m8-webhid.json"), "w") as f:
        json.dump(policy, f)
    os.makedirs("/etc/chromium", exist_ok=True)
    subprocess.run(["mount", "--bind", etc, "/etc/chromium"], check=True)


class _QuietHandler(http.server.SimpleHTTPRequestHandler):
    extensions_map = dict(http.server.SimpleHTTPRequestHandler.extensions_map,
                          **{".wasm": "application/wasm", ".js": "text/javascript"})

    def __init__(self, *args, late=None, **kwargs):
        self.late = late or {}
        super().__init__(*args, **kwargs)

    def do_GET(self):
        # A slow host, for the files of the kinds given: their answer starts only after a
        # while, as a large file's from a real host arrives late.
        delay = self.late.get(os.path.splitext(self.path.split("?")[0])[1], 0)
        time.sleep(delay)
        try:
            super().do_GET()
        except (BrokenPipeError, ConnectionResetError):
            pass  # the page went (a reload) before its answer

    def log_message(self, *args):
        pass


@contextlib.contextmanager
def serve(site, late=None):
    """Serves the page's folder on 127.0.0.1 at a free port; yields the origin. `late` maps
    file extensions to seconds their answer is held back."""
    handler = functools.partial(_QuietHandler, directory=site, late=late)
    server = socketserver.ThreadingTCPServer(("127.0.0.1", 0), handler)
    server.daemon_threads = True
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        yield "http://127.0.0.1:%d" % server.server_address[1]
    finally:
        server.shutdown()
        server.server_close()


class DevTools:
    """A DevTools protocol connection to one page: commands, events, and small helpers."""

    def __init__(self, ws_url):
        self.ws = websocket.create_connection(ws_url, timeout=10)
        self.next_id = 0
        self.events = []

    def close(self):
        with contextlib.suppress(Exception):
            self.ws.close()

    def call(self, method, timeout=30, **params):
        self.next_id += 1
        my_id = self.next_id
        self.ws.send(json.dumps({"id": my_id, "method": method, "params": params}))
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            self.ws.settimeout(max(0.1, deadline - time.monotonic()))
            message = json.loads(self.ws.recv())
            if message.get("id") == my_id:
                if "error" in message:
                    raise RuntimeError("%s: %s" % (method, message["error"]))
                return message.get("result", {})
            if "method" in message:
                self.events.append(message)
        raise TimeoutError(method)

    def pump(self, seconds=0.0):
        """Collects events that arrive within `seconds`."""
        deadline = time.monotonic() + seconds
        while True:
            remaining = deadline - time.monotonic()
            self.ws.settimeout(max(0.01, remaining))
            try:
                message = json.loads(self.ws.recv())
            except websocket.WebSocketTimeoutException:
                return
            if "method" in message:
                self.events.append(message)
            if remaining <= 0:
                return

    def js(self, expression):
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True,
                           awaitPromise=True)
        if "exceptionDetails" in result:
            raise RuntimeError("%s: %s" % (expression, result["exceptionDetails"]))
        return result["result"].get("value")

    def wait_for(self, expression, timeout, what=None):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                value = self.js(expression)
            except RuntimeError:  # the page is not there yet
                value = None
            if value:
                return value
            time.sleep(0.05)
        raise TimeoutError("no %s within %d s" % (what or expression, timeout))

    def click(self, element_id):
        """A real mouse click in the middle of the element: a user gesture for the page."""
        box = self.js("(() => { const r = document.getElementById(%s).getBoundingClientRect();"
                      " return [r.left + r.width / 2, r.top + r.height / 2]; })()"
                      % json.dumps(element_id))
        for kind in ("mousePressed", "mouseReleased"):
            self.call("Input.dispatchMouseEvent", type=kind, x=box[0], y=box[1],
                      button="left", clickCount=1)

    def press(self, element_id):
        """A click from a script, for a hidden page, which takes no mouse input."""
        self.js("document.getElementById(%s).click()" % json.dumps(element_id))

    def hide(self):
        """Brings a new blank tab to the front, hiding this page as a user does by switching
        tabs."""
        front = self.call("Target.createTarget", url="about:blank")["targetId"]
        self.call("Target.activateTarget", targetId=front)
        self.wait_for("document.visibilityState === 'hidden'", 5, "the page to be hidden")


class Browser:
    """Chromium as the emulator's command, on the page at `url`."""

    def __init__(self, emulator, url, workdir, emulator_args, timeout_s):
        self.profile = tempfile.mkdtemp(prefix="profile-", dir=workdir)
        self.transcript = os.path.join(workdir, "emulator.transcript")
        chromium = shutil.which("chromium") or "/usr/bin/chromium"
        command = [emulator, "--timeout", str(timeout_s), "--transcript", self.transcript] + \
            list(emulator_args) + ["--", chromium] + CHROMIUM_FLAGS + \
            ["--user-data-dir=" + self.profile, url]
        # Chromium's own chatter (no D-Bus here, and so on) goes to a log, shown on failure.
        self.log_path = os.path.join(workdir, "chromium.log")
        self.log = open(self.log_path, "w")
        self.proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=self.log,
                                     text=True, start_new_session=True)
        self.page = None
        self.tabs = []  # the tabs opened after the first
        self.url = url

    def connect(self, timeout=30):
        port_file = os.path.join(self.profile, "DevToolsActivePort")
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise RuntimeError("the emulator ended early:\n" + self.proc.stdout.read() +
                                   self.log_tail())
            if os.path.exists(port_file):
                with open(port_file) as f:
                    port = f.readline().strip()
                if port:
                    try:
                        with urllib.request.urlopen("http://127.0.0.1:%s/json/list" % port,
                                                    timeout=2) as r:
                            targets = json.load(r)
                    except OSError:
                        targets = []
                    pages = [t for t in targets if t.get("type") == "page"]
                    ours = [t for t in pages if t.get("url", "").startswith(self.url)]
                    if ours or (pages and time.monotonic() > deadline - timeout + 5):
                        self.page = DevTools((ours or pages)[0]["webSocketDebuggerUrl"])
                        self.page.call("Page.enable")
                        self.page.call("Runtime.enable")
                        return self.page
            time.sleep(0.1)
        raise TimeoutError("Chromium's DevTools did not come up")

    def open_tab(self, url, background=True):
        """A second tab of the browser on `url`, behind the first unless `background` is
        false; returns its DevTools connection."""
        target = self.page.call("Target.createTarget", url=url, background=background)
        port_file = os.path.join(self.profile, "DevToolsActivePort")
        with open(port_file) as f:
            port = f.readline().strip()
        with urllib.request.urlopen("http://127.0.0.1:%s/json/list" % port, timeout=2) as r:
            targets = json.load(r)
        tab = [t for t in targets if t.get("id") == target["targetId"]][0]
        page = DevTools(tab["webSocketDebuggerUrl"])
        page.call("Page.enable")
        page.call("Runtime.enable")
        self.tabs.append(page)
        return page

    def finish(self, timeout=30):
        """Closes the browser; returns the emulator's output (its verdict included). With
        timeout 0 the browser and the emulator are ended at once, unasked."""
        if self.page:
            if timeout:
                with contextlib.suppress(Exception):
                    self.page.call("Browser.close", timeout=5)
            self.page.close()
        for tab in self.tabs:
            tab.close()
        out = None
        if timeout:
            with contextlib.suppress(subprocess.TimeoutExpired):
                out, _ = self.proc.communicate(timeout=timeout)
        if out is None:
            self._signal(15)
            try:
                out, _ = self.proc.communicate(timeout=10)
            except subprocess.TimeoutExpired:
                self._signal(9)
                out, _ = self.proc.communicate()
        self.log.close()
        return out

    def _signal(self, number):
        with contextlib.suppress(ProcessLookupError):  # already gone
            os.killpg(self.proc.pid, number)

    def log_tail(self, lines=40):
        """The end of Chromium's log, without its complaints about the missing D-Bus."""
        self.log.flush()
        with open(self.log_path, errors="replace") as f:
            kept = [l for l in f if "dbus" not in l]
        return "".join(kept[-lines:])
