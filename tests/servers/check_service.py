#!/usr/bin/env python3
# A web "check IP" service for the probe's tests, on a loopback port of the
# system's choosing (printed as the first line of standard output). Every
# request's path is appended to the log file as it arrives, so a test can
# tell that a refused certificate let no request through.
import argparse
import http.server
import ssl
import sys
import time

ADDRESS = "203.0.113.7"
FILLER = "x" * 200_000

PAGES = {
    "/plain": ADDRESS + "\n",
    "/html": "<!DOCTYPE html>\n<html><body><p>Current IP Address: 198.51.100.23</p></body></html>\n",
    "/none": "<html><body>No address here, only version 1.2.3.4.5 and 999.1.1.1</body></html>\n",
    "/long-early": ADDRESS + "\n" + FILLER,
    "/long-late": FILLER + " " + ADDRESS + "\n",
}


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def send_text(self, status, text, headers=()):
        body = text.encode()
        self.send_response(status)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        with open(self.server.log, "a") as log:
            log.write(self.path + "\n")
        if self.path in PAGES:
            self.send_text(200, PAGES[self.path])
        elif self.path.startswith("/redirect/"):
            left = int(self.path.rsplit("/", 1)[1])
            if left == 0:
                self.send_text(200, "Your address: " + ADDRESS + "\n")
            else:
                # Relative and absolute locations alternate.
                target = "/redirect/%d" % (left - 1)
                if left % 2 == 0:
                    scheme = "https" if self.server.tls else "http"
                    target = "%s://localhost:%d%s" % (scheme, self.server.server_port, target)
                self.send_text(302, "moved\n", [("Location", target)])
        elif self.path == "/error":
            self.send_text(500, ADDRESS + "\n")
        elif self.path == "/unavailable":
            self.send_text(503, ADDRESS + "\n")
        elif self.path == "/to-plain":
            target = "http://localhost:%d/plain" % self.server.server_port
            self.send_text(302, "moved\n", [("Location", target)])
        elif self.path == "/silent":
            time.sleep(3600)
        elif self.path == "/drip":
            # Each header byte comes well within a receive time-out, but the
            # headers never end while the test waits.
            self.wfile.write(b"HTTP/1.1 200 OK\r\nX-Drip: ")
            for _ in range(60):
                self.wfile.write(b"x")
                self.wfile.flush()
                time.sleep(0.2)
        else:
            self.send_text(404, "not found\n")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--log", required=True)
    parser.add_argument("--cert")
    parser.add_argument("--key")
    args = parser.parse_args()
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    server.log = args.log
    server.tls = bool(args.cert)
    if args.cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.cert, args.key)
        # The handshake runs on the request's own thread, so a client that
        # refuses the certificate holds up nobody else.
        server.socket = context.wrap_socket(server.socket, server_side=True,
                                            do_handshake_on_connect=False)
    print(server.server_port, flush=True)
    server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
