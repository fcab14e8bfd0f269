#!/usr/bin/env python3
"""The page's package as a host serves it: unpacked, served by nginx with the package's own
sample configuration over HTTPS on 127.0.0.1 (a throwaway certificate in place of the host's),
its headers checked, and two whole updates through it in headless Chromium against the
emulated Orvel-M8, byte for byte: one in front, one in a background tab.

    web_package_test.py --package lumo-tool-<version>-web.zip --emulator ORVEL_EMULATOR

Runs in a private mount namespace like the page's end-to-end tests (as root in CI). Ends
with "web package: passed", or fails with a reason.
"""
import argparse
import os
import re
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import types
import urllib.request
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "web"))
import browser_rig  # noqa: E402
import e2e  # noqa: E402

# What the headers must say, whatever else a host adds.
CSP_MUST = ["default-src 'none'", "script-src 'self' 'wasm-unsafe-eval'", "connect-src 'self'",
            "frame-ancestors 'none'"]
TYPES = {"index.html": "text/html", "style.css": "text/css",
         "lumo_tool.js": ("application/javascript", "text/javascript"),
         "lumo_tool.wasm": "application/wasm"}


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def unpack(package, workdir):
    with zipfile.ZipFile(package) as z:
        z.extractall(workdir)
    top = os.path.join(workdir, os.path.basename(package)[:-len(".zip")])
    for name in ("site/index.html", "README.txt", "nginx-lumo-tool.conf"):
        e2e.check(os.path.isfile(os.path.join(top, name)), "the package lacks %s" % name)
    return top


def throwaway_certificate(workdir):
    """A self-signed certificate for 127.0.0.1, and its public key's SHA-256 for Chromium."""
    cert, key = os.path.join(workdir, "cert.pem"), os.path.join(workdir, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                    "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                    "-keyout", key, "-out", cert], check=True, capture_output=True)
    spki = subprocess.run(
        "openssl x509 -in %s -pubkey -noout | openssl pkey -pubin -outform der | "
        "openssl dgst -sha256 -binary | base64" % cert, shell=True, check=True,
        capture_output=True, text=True).stdout.strip()
    return cert, key, spki


def host_config(sample, port, cert, key, site):
    """The sample with this machine's address, certificate and folder: only the lines a host
    sets change, and each must be there."""
    edits = [(r"listen 443 ssl;", "listen 127.0.0.1:%d ssl;" % port),
             (r"listen \[::\]:443 ssl;", ""),
             (r"ssl_certificate .*;", "ssl_certificate %s;" % cert),
             (r"ssl_certificate_key .*;", "ssl_certificate_key %s;" % key),
             (r"root .*;", "root %s;" % site)]
    for pattern, replacement in edits:
        sample, count = re.subn(r"(?m)^(\s*)" + pattern + "$", r"\g<1>" + replacement, sample)
        e2e.check(count == 1, "the sample configuration has no line %r" % pattern)
    return sample


def start_nginx(workdir, server_block, port):
    """nginx in the foreground with the server block inside a minimal main configuration."""
    with open(os.path.join(workdir, "lumo-tool.conf"), "w") as f:
        f.write(server_block)
    temp = os.path.join(workdir, "nginx-temp")
    os.makedirs(temp)
    main = """daemon off; master_process off; user root; pid %(w)s/nginx.pid;
error_log stderr warn;
events {}
http {
    include /etc/nginx/mime.types;
    default_type application/octet-stream;
    access_log off;
    client_body_temp_path %(t)s/body; proxy_temp_path %(t)s/proxy;
    fastcgi_temp_path %(t)s/fastcgi; uwsgi_temp_path %(t)s/uwsgi; scgi_temp_path %(t)s/scgi;
    include %(w)s/lumo-tool.conf;
}
""" % {"w": workdir, "t": temp}
    conf = os.path.join(workdir, "nginx.conf")
    with open(conf, "w") as f:
        f.write(main)
    test = subprocess.run(["nginx", "-t", "-c", conf, "-p", workdir], capture_output=True,
                          text=True)
    e2e.check(test.returncode == 0, "nginx -t: %s" % test.stderr)
    proc = subprocess.Popen(["nginx", "-c", conf, "-p", workdir], stderr=subprocess.PIPE,
                            text=True)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        with socket.socket() as s:
            if s.connect_ex(("127.0.0.1", port)) == 0:
                return proc
        if proc.poll() is not None:
            raise e2e.Failure("nginx ended: %s" % proc.stderr.read())
        time.sleep(0.05)
    raise e2e.Failure("nginx does not listen on %d" % port)


def check_headers(origin, cert, site):
    """Every file of the page comes byte for byte, with its type and the two policies."""
    context = ssl.create_default_context(cafile=cert)
    for name, want_type in TYPES.items():
        with urllib.request.urlopen(origin + "/" + name, context=context, timeout=10) as r:
            body, headers = r.read(), r.headers
        with open(os.path.join(site, name), "rb") as f:
            e2e.check(body == f.read(), "%s: not the package's bytes" % name)
        content_type = headers.get("Content-Type", "").split(";")[0].strip()
        e2e.check(content_type in (want_type if isinstance(want_type, tuple) else (want_type,)),
                  "%s: Content-Type %r" % (name, content_type))
        csp = headers.get("Content-Security-Policy", "")
        for part in CSP_MUST:
            e2e.check(part in csp, "%s: Content-Security-Policy %r lacks %r" % (name, csp, part))
        e2e.check(headers.get("Permissions-Policy") == "hid=(self)",
                  "%s: Permissions-Policy %r" % (name, headers.get("Permissions-Policy")))
        print("ok: %s: %s, CSP and Permissions-Policy" % (name, content_type))
    print("Content-Security-Policy:", csp)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--package", required=True)
    parser.add_argument("--emulator", required=True)
    args = parser.parse_args()
    args.package = os.path.abspath(args.package)
    args.emulator = os.path.abspath(args.emulator)
    browser_rig.in_private_namespace([os.path.abspath(__file__)] + sys.argv[1:])
    nginx = None
    with tempfile.TemporaryDirectory(prefix="lumo-web-package-") as workdir:
        try:
            top = unpack(args.package, workdir)
            site = os.path.join(top, "site")
            cert, key, spki = throwaway_certificate(workdir)
            port = free_port()
            with open(os.path.join(top, "nginx-lumo-tool.conf")) as f:
                block = host_config(f.read(), port, cert, key, site)
            nginx = start_nginx(workdir, block, port)
            origin = "https://127.0.0.1:%d" % port
            check_headers(origin, cert, site)
            # Chromium trusts the throwaway certificate, so the page is a secure context.
            browser_rig.CHROMIUM_FLAGS.append("--ignore-certificate-errors-spki-list=" + spki)
            browser_rig.install_policy(origin, workdir)
            rig_args = types.SimpleNamespace(emulator=args.emulator, origin=origin)
            e2e.case_update(rig_args, workdir, "c3d1", 1954, "primary")
            # Under the served policy the clock's worker starts: a hidden page keeps its pace.
            e2e.case_update_hidden(rig_args, workdir)
        except (e2e.Failure, TimeoutError, RuntimeError, OSError) as e:
            print("web package: FAILED: %s" % e)
            return 1
        finally:
            if nginx:
                nginx.terminate()
                nginx.wait(timeout=10)
    print("web package: passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
