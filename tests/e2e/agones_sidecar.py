"""A stand-in for the Agones SDK sidecar's REST API, written from its published reference.

It answers the routes a game server calls (POST /ready, /health, /shutdown with a JSON body, and
PATCH /v1beta1/counters/NAME with {"count": "N"}) and records every call with its time. It can
answer late or fail for a while, as a sidecar that starts after the game server does.
"""

import http.server
import json
import threading
import time

ROUTES = {("POST", "/ready"), ("POST", "/health"), ("POST", "/shutdown"),
          ("PATCH", "/v1beta1/counters/players")}


class Sidecar:
    def __init__(self, fail_first=0, delay=0.0, port=0):
        self.calls = []  # (monotonic time, method, path, parsed body)
        self.fail_first = fail_first  # this many calls are answered 503
        self.delay = delay  # seconds before each answer
        self.lock = threading.Lock()
        owner = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def answer(self, method):
                length = int(self.headers.get("Content-Length", 0))
                raw = self.rfile.read(length)
                time.sleep(owner.delay)
                with owner.lock:
                    failing = owner.fail_first > 0
                    if failing:
                        owner.fail_first -= 1
                    else:
                        try:
                            body = json.loads(raw or b"{}")
                        except ValueError:
                            body = {"unparsable": raw.decode(errors="replace")}
                        owner.calls.append((time.monotonic(), method, self.path, body))
                if failing:
                    self.send_response(503)
                elif (method, self.path) not in ROUTES:
                    self.send_response(404)
                else:
                    self.send_response(200)
                reply = b"{}"
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(reply)))
                self.end_headers()
                try:
                    self.wfile.write(reply)
                except (BrokenPipeError, ConnectionResetError):
                    pass  # the server gave up waiting: what the slow sidecar is for

            def do_POST(self):
                self.answer("POST")

            def do_PATCH(self):
                self.answer("PATCH")

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler)
        self.port = self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()

    def recorded(self):
        with self.lock:
            return list(self.calls)

    def paths(self):
        return [path for _, _, path, _ in self.recorded()]

    def wait_for(self, predicate, timeout, what):
        deadline = time.monotonic() + timeout
        while not predicate(self.recorded()):
            if time.monotonic() > deadline:
                raise AssertionError(f"the sidecar never saw {what}: {self.paths()}")
            time.sleep(0.05)
