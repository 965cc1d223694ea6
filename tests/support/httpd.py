#!/usr/bin/python3
"""A small scriptable HTTP server for tests, on 127.0.0.1 only.

The routes come from --script (JSON), read again for every request so that
a test can change them between requests:

  {"routes": {"/path": {
      "status": 200,                 the status code
      "body": "text",                the body as text, or
      "body_size": n,                n bytes of a fixed pattern (byte i is i % 251)
      "headers": {"Name": "value"},  extra headers
      "length": true,                false: no Content-Length, the end of the
                                     body is the connection's close
      "chunk": n, "pause_ms": m,     the body in pieces of n bytes, m ms apart
      "cut_after": n,                the full Content-Length, then the connection
                                     closes after n bytes of the body
      "stall": true,                 read the request and never answer
      "stall_after": n               headers and n bytes of the body, then nothing
  }}}

A path that has no route gets 404 with a small HTML page. Every request is
written to --log as "GET /path" followed by "H name: value" for each of its
headers.
"""

import argparse
import json
import os
import select
import socket
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

log_lock = threading.Lock()


def pattern(n):
    return bytes(i % 251 for i in range(n))


def wait_for_close(sock, seconds=600):
    """Holds the connection open until the client closes it."""
    end = time.time() + seconds
    while time.time() < end:
        readable, _, _ = select.select([sock], [], [], 0.2)
        if readable:
            try:
                if not sock.recv(4096):
                    return
            except OSError:
                return


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def record(self):
        lines = ["%s %s" % (self.command, self.path)]
        lines += ["H %s: %s" % (k, v) for k, v in self.headers.items()]
        with log_lock, open(self.server.log_path, "a") as f:
            f.write("\n".join(lines) + "\n")

    def route(self):
        try:
            with open(self.server.script_path) as f:
                script = json.load(f)
        except (OSError, ValueError):
            script = {}
        return script.get("routes", {}).get(self.path.split("?")[0])

    def do_GET(self):
        self.record()
        r = self.route()
        if r is None:
            r = {"status": 404, "headers": {"Content-Type": "text/html"},
                 "body": "<html><body><h1>404 Not Found</h1></body></html>"}
        if r.get("stall"):
            wait_for_close(self.connection)
            self.close_connection = True
            return
        if "body_size" in r:
            body = pattern(r["body_size"])
        else:
            body = r.get("body", "").encode("utf-8")
        with_length = r.get("length", True)
        self.send_response(r.get("status", 200))
        headers = {"Content-Type": "application/octet-stream"}
        headers.update(r.get("headers", {}))
        for k, v in headers.items():
            self.send_header(k, v)
        if with_length:
            self.send_header("Content-Length", str(len(body)))
        else:
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()
        self.wfile.flush()

        if "stall_after" in r:
            self.wfile.write(body[:r["stall_after"]])
            self.wfile.flush()
            wait_for_close(self.connection)
            self.close_connection = True
            return
        if "cut_after" in r:
            self.wfile.write(body[:r["cut_after"]])
            self.wfile.flush()
            self.connection.shutdown(socket.SHUT_RDWR)
            self.close_connection = True
            return
        chunk = r.get("chunk") or len(body) or 1
        pause = r.get("pause_ms", 0) / 1000.0
        for at in range(0, len(body), chunk):
            if at and pause:
                time.sleep(pause)
            try:
                self.wfile.write(body[at:at + chunk])
                self.wfile.flush()
            except OSError:
                self.close_connection = True
                return


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--script", required=True)
    ap.add_argument("--log", required=True)
    ap.add_argument("--port-file", required=True)
    args = ap.parse_args()

    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    server.script_path = args.script
    server.log_path = args.log
    open(args.log, "a").close()
    tmp = args.port_file + ".tmp"
    with open(tmp, "w") as f:
        f.write("%d\n" % server.server_address[1])
    os.rename(tmp, args.port_file)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
