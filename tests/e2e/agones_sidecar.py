"""A stand-in for the Agones SDK sidecar's REST API, written from its published reference.

It answers the routes a game server calls (POST /ready, /health, /shutdown with a JSON body;
PATCH /v1beta1/counters/NAME with {"countDiff": "N"} to add to the counter or {"count": "N"} to
set it; GET /watch/gameserver, a stream of {"result": GameServer} lines, one now and one at each
change) and records every call with its time. It can answer late or fail for a while, as a
sidecar that starts after the game server does, and it allocates the server as a fleet would.
"""

import http.server
import json
import threading
import time

ROUTES = {("POST", "/ready"), ("POST", "/health"), ("POST", "/shutdown"),
          ("PATCH", "/v1beta1/counters/players"), ("GET", "/watch/gameserver")}
STATE_AFTER = {"/ready": "Ready", "/shutdown": "Shutdown"}


class Sidecar:
    def __init__(self, fail_first=0, delay=0.0, port=0):
        self.calls = []  # (monotonic time, method, path, parsed body)
        self.fail_first = fail_first  # this many calls are answered 503
        self.delay = delay  # seconds before each answer
        self.state = "Scheduled"
        self.players = 0  # the counter "players"
        self.closed = False
        self.changed = threading.Condition()
        self.lock = threading.Lock()
        owner = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"  # for the watch's chunked answer

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
                        if method != "GET":  # the watch stays open: not a call
                            owner.calls.append((time.monotonic(), method, self.path, body))
                known = (method, self.path) in ROUTES
                if not failing and known:
                    owner.apply(self.path, body)
                if not failing and known and method == "GET":
                    return self.watch()
                self.send_response(503 if failing else 200 if known else 404)
                reply = b"{}"
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(reply)))
                self.send_header("Connection", "close")
                self.end_headers()
                try:
                    self.wfile.write(reply)
                except (BrokenPipeError, ConnectionResetError):
                    pass  # the server gave up waiting: what the slow sidecar is for
                self.close_connection = True

            def watch(self):
                self.send_response(200)
                self.send_header("Content-Type", "application/json")
                self.send_header("Transfer-Encoding", "chunked")
                self.end_headers()
                sent = None
                try:
                    while not owner.closed:
                        with owner.changed:
                            owner.changed.wait_for(lambda: owner.game_server() != sent
                                                   or owner.closed, timeout=0.2)
                            now = owner.game_server()
                        if now != sent:
                            line = json.dumps({"result": now}).encode() + b"\n"
                            self.wfile.write(b"%x\r\n%s\r\n" % (len(line), line))
                            self.wfile.flush()
                            sent = now
                except (BrokenPipeError, ConnectionResetError):
                    pass
                self.close_connection = True

            def do_GET(self):
                self.answer("GET")

            def do_POST(self):
                self.answer("POST")

            def do_PATCH(self):
                self.answer("PATCH")

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler)
        self.port = self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def game_server(self):
        return {"object_meta": {"name": "velantis-stand-in"},
                "status": {"state": self.state,
                           "counters": {"players": {"count": str(self.players),
                                                    "capacity": "1000"}}}}

    def apply(self, path, body):
        with self.changed:
            if path in STATE_AFTER:
                self.state = STATE_AFTER[path]
            elif path.startswith("/v1beta1/counters/"):
                if "countDiff" in body:
                    self.players += int(body["countDiff"])
                elif "count" in body:
                    self.players = int(body["count"])
            self.changed.notify_all()

    def allocate(self, players=0):
        """Allocates the server as a GameServerAllocation would, adding `players` to the
        counter as its counter action."""
        with self.changed:
            self.state = "Allocated"
            self.players += players
            self.changed.notify_all()

    def close(self):
        with self.changed:
            self.closed = True
            self.changed.notify_all()
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
