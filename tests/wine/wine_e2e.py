#!/usr/bin/env python3
"""End-to-end check of the Windows server under Wine, driven from the Linux side over loopback.

The real velantis-server.exe runs in the Wine prefix named by WINEPREFIX. It is a windowed
program that allocates its own console; Wine shows that console on the terminal the program was
started from, so the server is started on a pseudo-terminal and its console text is read from
there (with the terminal's escape sequences removed). Standard error stays a pipe, as the server
leaves it alone. Game clients are plain UDP sockets of this script.

Usage: wine_e2e.py --server build/mingw/velantis-server.exe [--client velantis-client.exe]
                   [--wine /path/to/wine64]
Exits 0 when every check passed, 1 otherwise; the server is always ended by its process id.
"""

import argparse
import fcntl
import glob
import os
import pty
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time
import urllib.error
import urllib.request

# The packet codec, the players' sockets, the port probe and the failure collector are the native
# end-to-end suite's.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "e2e"))
import server_harness  # noqa: E402
import velantis_protocol as vp  # noqa: E402
from checks import Failures  # noqa: E402
from server_harness import port_is_free  # noqa: E402

PACKET_SIZE = vp.PACKET_SIZE
SERVER_PORT = vp.SERVER_PORT
METRICS_PORT = 15100
CONNECT, WELCOME, DISCONNECT, POSITION = (vp.CONNECT, vp.WELCOME, vp.DISCONNECT,
                                          vp.PLAYER_POSITION_UPDATE)


def encode(client_id, message_type, text=b"", number=1, x=0.0, y=0.0, uuid=0, entity=0):
    return vp.Packet(client_id=client_id, message_type=message_type, message_number=number, x=x,
                     y=y, text=text, player_uuid=uuid, entity_id=entity).encode()


def decode(raw):
    packet = vp.Packet.decode(raw)
    return {"checksum": packet.checksum, "client_id": packet.client_id,
            "type": packet.message_type, "number": packet.message_number, "x": packet.x,
            "y": packet.y, "text": packet.text, "uuid": packet.player_uuid,
            "entity": packet.entity_id, "valid": vp.verify(raw)}


class Client(server_harness.Client):
    """The harness's player socket, as one player id; a reply that does not come is a failed
    check here rather than an error, so that the checks after it still run."""

    def __init__(self, client_id):
        super().__init__()
        self.client_id = client_id

    def reply(self, timeout=30.0):
        """(packet fields, source port) of the next datagram, or None after `timeout`."""
        try:
            data, source = self.receive(timeout)
        except AssertionError:
            return None
        if len(data) != PACKET_SIZE:
            return {"size": len(data)}, source[1]
        return decode(data), source[1]

    def quiet(self, timeout=0.7):
        return self.reply(timeout) is None


ESCAPE = re.compile(rb"\x1b\[([0-9;?]*)([A-Za-z])|\x1b\][^\x07]*\x07|\x1b[()][A-Za-z0-9]")


def terminal_text(raw):
    """Console text as the program wrote it: cursor moves to the right become spaces, every
    other escape sequence and carriage return disappears."""
    def replace(match):
        if match.group(2) == b"C":
            count = match.group(1)
            return b" " * (int(count) if count and count.isdigit() else 1)
        return b""
    return ESCAPE.sub(replace, raw).replace(b"\r", b"").decode("utf-8", "replace")


class WineServer:
    """One velantis-server.exe under Wine, its console on a pseudo-terminal."""

    def __init__(self, wine, exe, options=()):
        self.console_raw = bytearray()
        self.stderr_raw = bytearray()
        master, slave = pty.openpty()
        # A wide terminal keeps the console from wrapping long lines (log paths).
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 50, 1000, 0, 0))
        self.master = master
        # The session below is the original open protocol (announcements at the Connect, relays
        # of unregistered senders); address proof is covered under Wine by the server tests.
        if "--no-such-option" not in options:
            options = ("--trust-sources", *options)
        self.process = subprocess.Popen(
            [wine, exe, *options], stdin=slave, stdout=slave, stderr=subprocess.PIPE,
            start_new_session=True, close_fds=True)
        os.close(slave)
        self.readers = [threading.Thread(target=self._pump_console, daemon=True),
                        threading.Thread(target=self._pump_stderr, daemon=True)]
        for reader in self.readers:
            reader.start()

    def _pump_console(self):
        while True:
            try:
                chunk = os.read(self.master, 65536)
            except OSError:
                return
            if not chunk:
                return
            self.console_raw.extend(chunk)

    def _pump_stderr(self):
        for chunk in iter(lambda: self.process.stderr.read1(65536), b""):
            self.stderr_raw.extend(chunk)

    def console(self):
        return terminal_text(bytes(self.console_raw))

    def stderr(self):
        return bytes(self.stderr_raw).decode("utf-8", "replace")

    def wait_for(self, source, text, timeout, count=1):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if source().count(text) >= count:
                return True
            if self.process.poll() is not None:
                return source().count(text) >= count
            time.sleep(0.1)
        return False

    def alive(self):
        return self.process.poll() is None

    def stop(self):
        if self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGTERM)
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                os.killpg(self.process.pid, signal.SIGKILL)
                self.process.wait(5)
        try:
            os.close(self.master)
        except OSError:
            pass


def is_64bit_program(path):
    """Whether `path` is a 64-bit ELF program: with Debian's `wine` and `wine32` but no `wine64`,
    `wine` is a wrapper script or a 32-bit loader, and a 64-bit prefix never finishes booting."""
    if not os.path.isfile(path) or not os.access(path, os.X_OK):
        return False
    with open(path, "rb") as program:
        return program.read(5) == b"\x7fELF\x02"


def find_wine():
    """The 64-bit Wine loader, as scripts/test-windows.sh finds it (VELANTIS_WINE first)."""
    for candidate in (os.environ.get("VELANTIS_WINE"), "/usr/lib/wine/wine64",
                      "/usr/lib/x86_64-linux-gnu/wine/wine64", shutil.which("wine64"),
                      shutil.which("wine")):
        if candidate and is_64bit_program(candidate):
            return candidate
    return None


def log_files(prefix):
    return glob.glob(os.path.join(prefix, "drive_c", "users", "*", "AppData", "Local",
                                  "OrlinStudio", "Velantis", "Server", "ThreadsLogs",
                                  "Thread_0.logs"))


def connect(checks, client, label, expected_number):
    """Sends a Connect and checks the announcement and welcome the client gets back; returns the
    entity id the server drew (or None)."""
    client.send(encode(client.client_id, CONNECT, b"hello", number=1, x=1.5, y=-2.0))
    first = client.reply()
    second = client.reply()
    if not checks.check(first is not None and second is not None,
                        f"{label}: announcement and welcome arrive", f"{first!r} {second!r}"):
        return None
    (announce, announce_port), (welcome, welcome_port) = first, second
    checks.check(announce.get("valid") and welcome.get("valid"),
                 f"{label}: both are valid 1056-byte packets", f"{announce} {welcome}")
    checks.check(announce.get("type") == CONNECT and announce.get("client_id") == client.client_id
                 and announce.get("uuid") == client.client_id and announce.get("text") == b"hello"
                 and (announce.get("x"), announce.get("y")) == (1.5, -2.0),
                 f"{label}: announcement is a Connect naming the newcomer", str(announce))
    checks.check(welcome.get("type") == WELCOME and welcome.get("client_id") == 0
                 and welcome.get("text") == b"welcome"
                 and welcome.get("entity") == announce.get("entity"),
                 f"{label}: welcome has clientID 0, text \"welcome\" and the same entity",
                 str(welcome))
    checks.check((announce.get("number"), welcome.get("number"))
                 == (expected_number, expected_number + 1),
                 f"{label}: message numbers {expected_number} and {expected_number + 1}",
                 f"{announce.get('number')} {welcome.get('number')}")
    checks.check((announce_port, welcome_port) == (SERVER_PORT, SERVER_PORT),
                 f"{label}: replies leave from the server's port {SERVER_PORT}",
                 f"{announce_port} {welcome_port}")
    return announce.get("entity")


def http_get(path):
    """(status, body) of a request to the server's metrics endpoint; (0, reason) if none."""
    try:
        with urllib.request.urlopen(f"http://127.0.0.1:{METRICS_PORT}{path}", timeout=10) as reply:
            return reply.status, reply.read().decode()
    except urllib.error.HTTPError as error:
        return error.code, ""
    except OSError as error:
        return 0, str(error)


def run(args):
    checks = Failures(echo="wine_e2e", passes=True)
    prefix = os.environ.get("WINEPREFIX")
    if not prefix or not os.path.isdir(prefix):
        print("wine_e2e: WINEPREFIX must name an initialised Wine prefix", file=sys.stderr)
        return 2
    wine = args.wine or find_wine()
    if wine is None or not is_64bit_program(wine):
        print(f"wine_e2e: {wine or 'no Wine'} is not a 64-bit Wine loader (package wine64)",
              file=sys.stderr)
        return 2
    deadline = time.monotonic() + args.port_wait
    while not port_is_free():
        if time.monotonic() > deadline:
            print(f"wine_e2e: UDP port {SERVER_PORT} is already in use", file=sys.stderr)
            return 2
        time.sleep(0.5)
    for stale in log_files(prefix):
        os.remove(stale)

    # The windowed entry hands its command line on: the first server also serves its metrics.
    server = WineServer(wine, args.server, [f"--metrics=127.0.0.1:{METRICS_PORT}"])
    second = None
    clients = []
    try:
        ready = server.wait_for(server.console, "NetworkingComponent(): Waiting a message...",
                                args.startup_timeout)
        checks.check(ready, "server starts and says it waits for messages",
                     f"console: {server.console()!r} stderr: {server.stderr()!r}")
        if not ready:
            return 1
        console = server.console()
        checks.check("NetworkingComponent(): Socket initialized successfully" in console
                     and "NetworkingComponent(): Successfully bound on port: 15000" in console,
                     "console shows the socket and the bind on port 15000",
                     console)
        location = re.search(r"LogsManager\(\): Target file location is: (.*)", console)
        # Wine's C runtime hands console text to the console byte by byte, so a non-ASCII user
        # name shows as replacement characters there; the log file check below covers the name.
        shown = location.group(1).strip() if location else ""
        checks.check(re.fullmatch(r"C:\\users\\[^\\]+\\AppData\\Local\\OrlinStudio\\Velantis"
                                  r"\\Server\\ThreadsLogs\\Thread_0\.logs", shown) is not None,
                     "console shows the log path with backslashes below AppData\\Local",
                     repr(shown))

        alice, bob = Client(1001), Client(1002)
        clients += [alice, bob]
        alice_entity = connect(checks, alice, "first client", 1)
        bob_entity = connect(checks, bob, "second client", 4)
        seen = alice.reply()
        checks.check(seen is not None and seen[0].get("type") == CONNECT
                     and seen[0].get("client_id") == 1002 and seen[0].get("uuid") == 1002
                     and seen[0].get("entity") == bob_entity and seen[0].get("number") == 3
                     and seen[0].get("valid"),
                     "first client sees the second client's announcement (number 3)", repr(seen))
        checks.check(alice_entity is not None and alice_entity != bob_entity,
                     "entity ids of the two players differ")

        alice.send(encode(1001, POSITION, b"Player position update", number=2, x=10.25, y=-3.5,
                          entity=alice_entity or 0))
        relayed = [alice.reply(), bob.reply()]
        checks.check(all(r is not None and r[0].get("valid") and r[0].get("type") == POSITION
                         and r[0].get("client_id") == 1001 and r[0].get("uuid") == 1001
                         and (r[0].get("x"), r[0].get("y")) == (10.25, -3.5)
                         and r[0].get("entity") == alice_entity for r in relayed),
                     "position update is relayed to both players with the sender's id",
                     repr(relayed))
        checks.check(all(relayed) and sorted(r[0].get("number") for r in relayed) == [6, 7],
                     "relayed copies carry message numbers 6 and 7",
                     repr(relayed))

        corrupted = bytearray(encode(1001, POSITION, b"tampered", number=3, x=1.0))
        corrupted[600] ^= 0x01
        alice.send(bytes(corrupted))
        checks.check(alice.quiet() and bob.quiet(),
                     "a corrupted packet gets no reply")
        checks.check(server.wait_for(server.stderr, "NetworkingComponent(): [CORRUPTED] The packet "
                                     "received generate a wrong checksum.", 60),
                     "the corrupted packet is reported on standard error", server.stderr())

        alice.send(b"\xab" * 2000)
        checks.check(server.wait_for(server.console, "error10040", 60),
                     "a 2000-byte datagram is reported as \"error10040\" on the console",
                     server.console()[-2000:])
        checks.check(alice.quiet() and bob.quiet(),
                     "the oversized datagram gets no reply")

        # A player whose socket is gone: the next announcement to it draws an ICMP port
        # unreachable, which must not disturb the server's receiving.
        gone = Client(1003)
        connect(checks, gone, "third client", 10)
        alice.reply(), bob.reply()
        gone.close()
        dave = Client(1004)
        clients.append(dave)
        connect(checks, dave, "client after a departed one", 15)
        alice.reply(), bob.reply()
        bob.send(encode(1002, POSITION, b"still there", number=2, x=4.0, y=4.0))
        after = [alice.reply(), bob.reply(), dave.reply()]
        checks.check(all(r is not None and r[0].get("type") == POSITION for r in after),
                     "server keeps relaying after sending to a closed port",
                     repr(after))
        checks.check(re.findall(r"error\d+", server.console()) == ["error10040"],
                     "no receive error was reported after the closed port",
                     server.console()[-2000:])

        bob.send(encode(1002, DISCONNECT, b"bye", number=3))
        checks.check(server.wait_for(server.console,
                                     "NetworkingComponentServer(): Client disconnected.", 60)
                     and bob.quiet(0.3),
                     "a disconnect is acknowledged on the console only")

        if args.client:
            # The Windows client tool, under Wine as well, plays one player against the server.
            tool = subprocess.run(
                [wine, args.client, "--id", "2001", "--connect", "--expect", "2", "--wait", "60",
                 "--quiet"], stdin=subprocess.DEVNULL, capture_output=True, timeout=300)
            output = tool.stdout.decode("utf-8", "replace")
            checks.check(tool.returncode == 0 and "recv Welcome(2)" in output
                         and "checksum=OK" in output,
                         "velantis-client.exe under Wine connects and is welcomed",
                         f"exit {tool.returncode}: {output!r} {tool.stderr[-500:]!r}")

        metrics = http_get("/metrics")
        connects = 5 if args.client else 4
        checks.check(metrics[0] == 200 and 'velantis_build_info{version="' in metrics[1]
                     and f'velantis_messages_received_total{{type="connect"}} {connects}\n'
                     in metrics[1]
                     and 'velantis_datagrams_received_total{outcome="bad_checksum"} 1'
                     in metrics[1],
                     "/metrics answers with the counts of what the server received", repr(metrics))
        checks.check(http_get("/other")[0] == 404,
                     "another path is not found")
        # Not through pipes: the console the program opens outlives it and would hold them.
        with tempfile.TemporaryFile() as errors:
            usage = subprocess.Popen([wine, args.server, "--no-such-option"],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=errors)
            try:
                code = usage.wait(60)
            except subprocess.TimeoutExpired:
                usage.kill()
                code = usage.wait()
            errors.seek(0)
            checks.check(code == 2,
                         "an unknown option is a usage error (exit 2)",
                         f"exit {code}: {errors.read()[-500:]!r}")
        if args.client_library_test:
            # A C program on velantis-client.dll: two players connect, move, see each other's
            # moves and disconnect, under Wine against the server under Wine.
            game = subprocess.run([wine, args.client_library_test, "127.0.0.1", "15000", "3001"],
                                  stdin=subprocess.DEVNULL, capture_output=True, timeout=300)
            checks.check(game.returncode == 0,
                         "a C program on velantis-client.dll plays two players under Wine",
                         f"exit {game.returncode}: {game.stdout[-500:]!r} {game.stderr[-500:]!r}")

        second = WineServer(wine, args.server)
        refused = second.wait_for(second.stderr,
                                  "NetworkingComponent(): Binding error - Code: 10048",
                                  args.startup_timeout)
        checks.check(refused,
                     "a second server reports WSAEADDRINUSE (10048) on standard error",
                     second.stderr())
        time.sleep(0.5)
        checks.check(second.alive(),
                     "the second server keeps running after the failed bind")

        logs = log_files(prefix)
        checks.check(len(logs) == 1,
                     "the log file exists in the prefix's AppData\\Local",
                     repr(logs))
        if logs:
            with open(logs[0], "rb") as log:
                data = log.read()
            checks.check(data.endswith(b"\r\n") and data.count(b"\n") == data.count(b"\r\n")
                         and data.count(b"\r") == data.count(b"\r\n"),
                         "every log line ends with CRLF",
                         repr(data[:200]))
            text = data.decode("utf-8", "replace")
            checks.check("================== Thread[0] started. ================== \r\n" in text,
                         "log starts with the thread banner")
            checks.check("NetworkingComponent(): Message of size 1056 bytes received. \r\n"
                         "========= [RECEIVE] ========== \r\n" in text
                         and "From clientID: 1001\r\nMessageNumber: 1\r\nMessageType: 1\r\n"
                         "Message: hello\r\n" in text
                         and "=================== \r\n" in text,
                         "log holds the size line and the nine lines of a received packet",
                         text[-1500:])
            checks.check("[CORRUPTED] The packet received generate a wrong checksum. \r\n" in text,
                         "log records the corrupted packet")
    finally:
        for client in clients:
            client.close()
        if second is not None:
            second.stop()
        server.stop()

    print(f"wine_e2e: {len(checks.messages)} failed" if checks.messages else "wine_e2e: all passed")
    return 1 if checks.messages else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--server", required=True, help="path of velantis-server.exe")
    parser.add_argument("--wine", help="64-bit Wine loader (default: $VELANTIS_WINE, then the "
                        "first 64-bit wine64 or wine found)")
    parser.add_argument("--client", help="path of velantis-client.exe, to play one more player")
    parser.add_argument("--client-library-test",
                        help="path of client_two_players.exe, with velantis-client.dll beside it")
    parser.add_argument("--startup-timeout", type=float, default=60.0)
    parser.add_argument("--port-wait", type=float, default=60.0,
                        help="seconds to wait for another program to free port 15000")
    args = parser.parse_args()
    return run(args)


if __name__ == "__main__":
    sys.exit(main())
