#!/usr/bin/env python3
"""Serves the camera page on 127.0.0.1 and stores what the page reports.

GET  /camera.html, /camera.js   the page (nothing else is served)
POST /progress                  one line of progress, appended to --progress
POST /result                    the JSON report, written to --result

The chosen port is written to --port-file once the socket listens, so the
runner never races the server.  The server stops by itself after --lifetime
seconds in case its runner died without stopping it.
"""

import argparse
import http.server
import json
import os
import sys
import threading

PAGES = {
    "/camera.html": "text/html; charset=utf-8",
    "/camera.js": "text/javascript; charset=utf-8",
}
MAX_BODY = 1 << 20


def make_handler(root, result_path, progress_path):
    class Handler(http.server.BaseHTTPRequestHandler):
        server_version = "CameraCheck/1"

        def log_message(self, fmt, *args):  # keep the runner's output clean
            sys.stderr.write("result-server: " + (fmt % args) + "\n")

        def send_plain(self, code, text):
            body = text.encode()
            self.send_response(code)
            self.send_header("Content-Type", "text/plain; charset=utf-8")
            self.send_header("Content-Length", str(len(body)))
            self.send_header("Cache-Control", "no-store")
            self.end_headers()
            self.wfile.write(body)

        def do_GET(self):
            path = self.path.split("?", 1)[0]
            if path == "/":
                path = "/camera.html"
            if path not in PAGES:
                self.send_plain(404, "not found\n")
                return
            with open(os.path.join(root, path.lstrip("/")), "rb") as page:
                body = page.read()
            self.send_response(200)
            self.send_header("Content-Type", PAGES[path])
            self.send_header("Content-Length", str(len(body)))
            self.send_header("Cache-Control", "no-store")
            self.end_headers()
            self.wfile.write(body)

        def read_body(self):
            length = int(self.headers.get("Content-Length") or 0)
            if length < 0 or length > MAX_BODY:
                raise ValueError("body too large")
            return self.rfile.read(length)

        def do_POST(self):
            path = self.path.split("?", 1)[0]
            try:
                body = self.read_body()
            except ValueError as error:
                self.send_plain(413, f"{error}\n")
                return
            if path == "/progress":
                with open(progress_path, "ab") as log:
                    log.write(body.replace(b"\n", b" ") + b"\n")
                self.send_plain(200, "ok\n")
            elif path == "/result":
                try:
                    json.loads(body)
                except ValueError as error:
                    self.send_plain(400, f"not JSON: {error}\n")
                    return
                tmp = result_path + ".tmp"
                with open(tmp, "wb") as out:
                    out.write(body)
                # The runner polls for the file: it must appear complete.
                os.replace(tmp, result_path)
                self.send_plain(200, "ok\n")
            else:
                self.send_plain(404, "not found\n")

    return Handler


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", required=True)
    parser.add_argument("--result", required=True)
    parser.add_argument("--progress", required=True)
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--lifetime", type=float, default=120.0)
    args = parser.parse_args()

    handler = make_handler(os.path.abspath(args.root), args.result, args.progress)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    server.daemon_threads = True
    tmp = args.port_file + ".tmp"
    with open(tmp, "w") as out:
        out.write(f"{server.server_address[1]}\n")
    os.replace(tmp, args.port_file)

    timer = threading.Timer(args.lifetime, server.shutdown)
    timer.daemon = True
    timer.start()
    try:
        server.serve_forever(poll_interval=0.2)
    finally:
        server.server_close()


if __name__ == "__main__":
    main()
