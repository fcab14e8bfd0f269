#!/usr/bin/env bash
# Builds the browser page (the core in WebAssembly over WebHID) and serves it on this machine
# only, at 127.0.0.1, which browsers count as a secure context, as WebHID requires.
#   scripts/serve-web.sh [PORT]        (default 8642; Ctrl+C stops it)
set -euo pipefail
cd "$(dirname "$0")/.."
port="${1:-8642}"

scripts/install-deps.sh
cmake -S . -B build/web -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/emscripten.cmake \
      -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/web --target lumo_tool_web -j "$(nproc)"

echo "Serving the page at http://127.0.0.1:$port/  (a Chromium-based browser is needed:"
echo "Chrome, Edge, Opera or Chromium; on Linux the device also needs the udev rule)"
exec /usr/bin/python3 - "$port" build/web/site <<'PY'
import functools, http.server, sys
class Handler(http.server.SimpleHTTPRequestHandler):
    # .wasm must come as application/wasm for the browser to compile it while it loads.
    extensions_map = dict(http.server.SimpleHTTPRequestHandler.extensions_map,
                          **{".wasm": "application/wasm", ".js": "text/javascript"})
server = http.server.ThreadingHTTPServer(
    ("127.0.0.1", int(sys.argv[1])), functools.partial(Handler, directory=sys.argv[2]))
try:
    server.serve_forever()
except KeyboardInterrupt:
    pass
PY
