"""Starts the real server process for one test and watches it from outside.

The server needs no arguments and has no shutdown path, so every test gets a process of its own
with a fresh data folder, waits (bounded) until it is ready, and kills it when done. The same
harness drives the Windows build under Wine: set VELANTIS_E2E_WINE=1 (or pass --wine to
run_e2e.py). Under Wine the log lives in the prefix's AppData folder with CRLF line ends, and the
console of a windowed program cannot be observed, so console checks are skipped there.

It also runs an installed server as its service would: with VELANTIS_E2E_SERVICE_UNIT naming the
systemd unit and VELANTIS_E2E_SERVICE_USER an unprivileged user (run_e2e.py --service-unit,
--service-user), the server runs as that user, from /, with only the environment the unit gives it.
The test's data folder stands for the unit's logs folder, which systemd would create for the user.

And it runs the server as the container image runs it: with VELANTIS_E2E_CONTAINER naming an
image (run_e2e.py --container IMAGE), each server is a `podman run` of that image, its game port
published on the host's loopback (or, with VELANTIS_E2E_CONTAINER_NETWORK, in that network, the
server reached at VELANTIS_E2E_SERVER_HOST), the test's data folder mounted as the image's log
volume. Signals sent to the `podman run` process reach the server; killing it removes the container.
"""

import contextlib
import ctypes
import glob
import os
import pwd
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest
from dataclasses import dataclass

import velantis_protocol as vp

SERVER_HOST = os.environ.get("VELANTIS_E2E_SERVER_HOST", "127.0.0.1")
SERVER_ADDRESS = (SERVER_HOST, vp.SERVER_PORT)
# Where the image keeps its log (its XDG_DATA_HOME and volume), and the user it runs as.
CONTAINER_LOG_VOLUME = "/var/log/velantis-server"
CONTAINER_USER = 65532
READY_LINE = "NetworkingComponent(): Waiting a message..."
BIND_ERROR_LINE = "NetworkingComponent(): Binding error - Code: "
LOG_RELATIVE = os.path.join("OrlinStudio", "Velantis", "Server", "ThreadsLogs", "Thread_0.logs")
CLONE_NEWNET = 0x40000000


def server_path():
    path = os.environ.get("VELANTIS_SERVER")
    if not path:
        raise unittest.SkipTest("VELANTIS_SERVER is not set (use run_e2e.py --server PATH)")
    return path


def wine_mode():
    return os.environ.get("VELANTIS_E2E_WINE", "") not in ("", "0")


def emulated():
    """The server runs under qemu-user (the arm64 build): run_e2e.py --emulated."""
    return os.environ.get("VELANTIS_E2E_EMULATED", "") not in ("", "0")


def trusted_mode():
    """The server runs with --trust-sources, as on a closed network: run_e2e.py --trusted."""
    return os.environ.get("VELANTIS_E2E_TRUSTED", "") not in ("", "0")


def service_unit():
    return os.environ.get("VELANTIS_E2E_SERVICE_UNIT") or None


def container_image():
    return os.environ.get("VELANTIS_E2E_CONTAINER") or None


def container_command(name, data_home, options):
    """The `podman run` of the image for a server with these options, and the options as the
    server inside sees them: its game port (and a metrics port) published on the host."""
    network = os.environ.get("VELANTIS_E2E_CONTAINER_NETWORK")
    options, port, published = list(options), vp.SERVER_PORT, []
    for index, option in enumerate(options):
        if option.startswith("--port="):
            port = int(option.split("=", 1)[1])
        elif option == "--port":
            port = int(options[index + 1])
        elif option.startswith("--metrics=127.0.0.1:"):
            # Loopback inside the container is the container's own: listen on its address.
            metrics_port = option.rsplit(":", 1)[1]
            options[index] = "--metrics=0.0.0.0:" + metrics_port
            published.append(f"127.0.0.1:{metrics_port}:{metrics_port}/tcp")
    # No health checks: without systemd podman says so on standard error for each container.
    command = ["podman", "run", "--rm", "--name", name, "--stop-timeout", "5",
               "--no-healthcheck",
               "-v", f"{data_home}:{CONTAINER_LOG_VOLUME}"]
    if network:
        command += ["--network", network]
    else:
        published.append(f"127.0.0.1:{port}:{port}/udp")
        command += [word for address in published for word in ("-p", address)]
    # The suite reads the progress lines the shipped image leaves off, unless a test says.
    progress = [] if any(o.startswith("--progress") for o in options) else ["--progress=on"]
    return command + [container_image(), *progress, *options]


def metric_samples(text):
    """{'name{labels}': value} of a metrics exposition."""
    values = {}
    for line in text.splitlines():
        if line and not line.startswith("#"):
            key, value = line.rsplit(" ", 1)
            values[key] = float(value)
    return values


def unit_environment(unit_path):
    """The variables a systemd unit's Environment= lines set (plain NAME=VALUE words)."""
    env = {}
    with open(unit_path) as unit:
        for line in unit:
            if line.startswith("Environment="):
                for word in line[len("Environment="):].split():
                    name, _, value = word.partition("=")
                    env[name] = value.strip('"')
    return env


def service_process_settings(data_home):
    """(environment, Popen keyword arguments) of a server run as the unit would run it."""
    user = pwd.getpwnam(os.environ.get("VELANTIS_E2E_SERVICE_USER", "nobody"))
    env = {"PATH": "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin",
           "HOME": "/", "USER": user.pw_name, "LOGNAME": user.pw_name,
           "LOGS_DIRECTORY": data_home}
    # The options the unit sets as VELANTIS_* variables are the test's to choose, as on the
    # command line: the unit's own (metrics on 15100, progress off) would clash with the suite's.
    env.update({name: value for name, value in unit_environment(service_unit()).items()
                if not name.startswith("VELANTIS_")})
    # systemd tells a unit whose standard error is the journal so; a test that stands for the
    # journal sets it too.
    if "JOURNAL_STREAM" in os.environ:
        env["JOURNAL_STREAM"] = os.environ["JOURNAL_STREAM"]
    if "XDG_DATA_HOME" not in env:
        raise AssertionError(f"{service_unit()} sets no XDG_DATA_HOME: the log would go below HOME")
    env["XDG_DATA_HOME"] = data_home
    return env, {"user": user.pw_uid, "group": user.pw_gid, "extra_groups": [], "cwd": "/"}


def let_others_through(path):
    """Lets other users pass through the test's temporary folders (mkdtemp makes them private)."""
    top = tempfile.gettempdir() + os.sep
    while path.startswith(top):
        os.chmod(path, os.stat(path).st_mode | 0o011)
        path = os.path.dirname(path)


@contextlib.contextmanager
def netns(name):
    """Runs the body with this thread in network namespace `name` (from `ip netns add`): sockets
    and processes made meanwhile belong to that namespace."""
    libc = ctypes.CDLL(None, use_errno=True)
    original = os.open("/proc/thread-self/ns/net", os.O_RDONLY)
    target = os.open(f"/run/netns/{name}", os.O_RDONLY)
    try:
        if libc.setns(target, CLONE_NEWNET) != 0:
            raise OSError(ctypes.get_errno(), f"setns into {name}")
        yield
    finally:
        libc.setns(original, CLONE_NEWNET)
        os.close(target)
        os.close(original)


def port_is_free(port=vp.SERVER_PORT):
    probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        probe.bind(("0.0.0.0", port))
        return True
    except OSError:
        return False
    finally:
        probe.close()


def wait_for_free_port(timeout):
    deadline = time.monotonic() + timeout
    while not port_is_free():
        if time.monotonic() > deadline:
            raise AssertionError(f"UDP port {vp.SERVER_PORT} stayed busy for {timeout} s: "
                                 "another server is running outside the test's lock")
        time.sleep(0.2)


UDP_TABLES = ("/proc/net/udp", "/proc/net/udp6")


@dataclass
class UdpTableRow:
    """One socket of the kernel's UDP table: its local port, owner's uid, inode and drops."""

    local_port: int
    uid: int
    inode: int
    drops: int


def parse_udp_table(text):
    """The rows of a UDP table's text (/proc/net/udp or udp6, read wherever it lies).

    After the heading, each row reads "sl local_address rem_address st tx_queue:rx_queue tr:tm
    retrnsmt uid timeout inode ref pointer drops", the local address being HEXADDR:HEXPORT.
    """
    rows = []
    for line in text.splitlines()[1:]:
        columns = line.split()
        if len(columns) < 13:
            continue
        rows.append(UdpTableRow(local_port=int(columns[1].rsplit(":", 1)[1], 16),
                                uid=int(columns[7]), inode=int(columns[9]),
                                drops=int(columns[12])))
    return rows


def udp_sockets(port=None, tables=UDP_TABLES):
    """The rows of this network namespace's UDP tables, only those bound to `port` if given."""
    rows = []
    for path in tables:
        try:
            with open(path) as table:
                text = table.read()
        except FileNotFoundError:
            continue
        rows += [row for row in parse_udp_table(text) if port is None or row.local_port == port]
    return rows


def udp_socket_drops(local_port):
    """The kernel's drop counter of the IPv4 UDP socket bound to `local_port`."""
    rows = udp_sockets(local_port, tables=UDP_TABLES[:1])
    return rows[0].drops if rows else None


def udp_losses():
    """Datagrams this machine lost on their way without any socket's drop counter seeing them:
    full send buffers and receive errors of the namespace's UDP (/proc/net/snmp), and packets the
    kernel's per-processor backlog dropped (/proc/net/softnet_stat, where loopback passes)."""
    total = 0
    with open("/proc/net/snmp") as snmp:
        rows = [line.split() for line in snmp if line.startswith("Udp:")]
    if len(rows) >= 2:
        fields = dict(zip(rows[0][1:], rows[1][1:]))
        total += sum(int(fields.get(name, 0)) for name in ("RcvbufErrors", "SndbufErrors"))
    try:
        with open("/proc/net/softnet_stat") as softnet:
            total += sum(int(line.split()[1], 16) for line in softnet if line.strip())
    except OSError:
        pass
    return total


def holds_udp_port(pid, port):
    """True when process `pid` holds a UDP socket (IPv4 or IPv6) bound to `port`."""
    inodes = {f"socket:[{row.inode}]" for row in udp_sockets(port)}
    if not inodes:
        return False
    try:
        descriptors = os.listdir(f"/proc/{pid}/fd")
    except OSError:
        return False
    for descriptor in descriptors:
        try:
            if os.readlink(f"/proc/{pid}/fd/{descriptor}") in inodes:
                return True
        except OSError:
            continue
    return False


class ServerProcess:
    def __init__(self, workdir, console_to_files=True):
        self.workdir = workdir
        self.wine = wine_mode()
        self.data_home = os.path.join(workdir, "data")
        os.makedirs(self.data_home)
        self.stdout_path = os.path.join(workdir, "stdout.txt")
        self.stderr_path = os.path.join(workdir, "stderr.txt")
        self.console_to_files = console_to_files
        self.process = None
        self.container_name = None

    # ----- life cycle

    def start(self, wait_ready=True, timeout=60.0, fresh=True, options=()):
        """Starts the server with the command-line `options`; with `fresh`, no log of an earlier
        run is left for it to find."""
        env = dict(os.environ)
        if trusted_mode() and "--trust-sources" not in options:
            options = ("--trust-sources", *options)
        command = [server_path(), *options]
        run_as = {"cwd": self.workdir}
        if service_unit():
            env, run_as = service_process_settings(self.data_home)
            if os.path.isdir(self.data_home):
                os.chown(self.data_home, run_as["user"], run_as["group"])
            let_others_through(os.path.dirname(self.data_home))
        elif container_image():
            self.container_name = f"velantis-e2e-{os.getpid()}-{id(self):x}"
            command = container_command(self.container_name, self.data_home, options)
            os.chown(self.data_home, CONTAINER_USER, CONTAINER_USER)
            let_others_through(os.path.dirname(self.data_home))
        elif self.wine:
            command = [os.environ.get("VELANTIS_E2E_WINE_COMMAND", "wine")] + command
            if fresh:
                self._clear_wine_logs()
            self._banners_before = self.log_bytes().count(vp.BANNER_LOG_LINES[-1])
        else:
            env["XDG_DATA_HOME"] = self.data_home
        out = open(self.stdout_path, "wb") if self.console_to_files else subprocess.DEVNULL
        err = open(self.stderr_path, "wb") if self.console_to_files else subprocess.DEVNULL
        try:
            self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=out,
                                            stderr=err, env=env, start_new_session=True,
                                            **run_as)
        finally:
            if self.console_to_files:
                out.close()
                err.close()
        if wait_ready:
            self.wait_ready(timeout)
        return self

    def wait_ready(self, timeout=60.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise AssertionError(
                    f"server exited with {self.process.returncode} during start-up")
            if self.wine:
                # The socket is bound before the banner is written, so a complete banner means
                # datagrams are queued for the receive thread from now on.
                banners = self.log_bytes().count(vp.BANNER_LOG_LINES[-1])
                if banners >= self._banners_before + 2:
                    return
            else:
                if BIND_ERROR_LINE in self.stderr_text():
                    raise AssertionError("server could not bind: " + self.stderr_text())
                if READY_LINE in self.stdout_text():
                    return
            time.sleep(0.02)
        raise AssertionError(f"server not ready after {timeout} s; stdout: {self.stdout_text()!r}")

    def kill(self):
        if self.container_name:
            # The container outlives its `podman run` client; removing it ends the server.
            subprocess.run(["podman", "rm", "-f", "-t", "0", self.container_name],
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=60)
        if self.process is None or self.process.poll() is not None:
            return
        # The server is ended from outside, like in production.
        try:
            os.killpg(self.process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.process.wait(timeout=60)

    @property
    def pid(self):
        return self.process.pid

    def alive(self):
        return self.process is not None and self.process.poll() is None

    # ----- console

    def stdout_text(self):
        return self._read_text(self.stdout_path)

    def stderr_text(self):
        return self._read_text(self.stderr_path)

    def stdout_lines(self):
        return self.stdout_text().splitlines()

    def stderr_lines(self):
        return self.stderr_text().splitlines()

    def wait_for_line(self, stream, line, count=1, timeout=30.0):
        """Waits until `stream` ("stdout" or "stderr") holds `line` at least `count` times."""
        read = self.stdout_lines if stream == "stdout" else self.stderr_lines
        deadline = time.monotonic() + timeout
        while True:
            seen = read().count(line)
            if seen >= count:
                return seen
            if time.monotonic() > deadline:
                raise AssertionError(f"{stream} shows {line!r} {seen} times, wanted {count}")
            time.sleep(0.02)

    @staticmethod
    def _read_text(path):
        try:
            with open(path, "rb") as f:
                return f.read().decode("utf-8", "replace")
        except FileNotFoundError:
            return ""

    # ----- log file

    def log_path(self):
        if not self.wine:
            return os.path.join(self.data_home, LOG_RELATIVE)
        found = glob.glob(os.path.join(self._wine_local_appdata_glob(), LOG_RELATIVE))
        return found[0] if found else None

    def shown_path(self, path):
        """`path` as the server names it: inside a container, below the image's log volume."""
        if self.container_name and path.startswith(self.data_home):
            return CONTAINER_LOG_VOLUME + path[len(self.data_home):]
        return path

    def log_directory(self):
        path = self.log_path()
        return os.path.dirname(path) if path else None

    def log_bytes(self):
        """The log with the platform's line ends turned into line feeds."""
        path = self.log_path()
        if not path or not os.path.exists(path):
            return b""
        with open(path, "rb") as f:
            data = f.read()
        if self.wine:
            # Text mode on Windows: every line feed reaches the disk as CR LF.
            bare = data.replace(b"\r\n", b"").count(b"\n")
            if bare:
                raise AssertionError(f"{bare} line feeds without a carriage return in the log")
            data = data.replace(b"\r\n", b"\n")
        return data

    def log_lines(self):
        return self.log_bytes().splitlines(keepends=True)

    def _wine_prefix(self):
        return os.environ.get("WINEPREFIX", os.path.expanduser("~/.wine"))

    def _wine_local_appdata_glob(self):
        return os.path.join(self._wine_prefix(), "drive_c", "users", "*", "AppData", "Local")

    def _clear_wine_logs(self):
        for folder in glob.glob(os.path.join(self._wine_local_appdata_glob(), "OrlinStudio")):
            shutil.rmtree(folder)

    # ----- process figures from /proc (native only)

    def fd_count(self):
        return len(os.listdir(f"/proc/{self.pid}/fd"))

    def settled_fd_count(self, expected, timeout=30.0):
        """The descriptor count once it equals `expected`, or whatever it is after `timeout`.

        A descriptor the server opens or closes around a datagram may change a moment after the
        client has seen the datagram's reply.
        """
        deadline = time.monotonic() + timeout
        while True:
            count = self.fd_count()
            if count == expected or time.monotonic() > deadline:
                return count
            time.sleep(0.01)

    def cpu_seconds(self):
        with open(f"/proc/{self.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        # utime and stime are fields 14 and 15 of the line; 3 is the first after the name.
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def rss_bytes(self):
        return self._status_bytes("VmRSS")

    def peak_rss_bytes(self):
        """The most memory the process has had resident at once."""
        return self._status_bytes("VmHWM")

    def _status_bytes(self, field):
        with open(f"/proc/{self.pid}/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1]) * 1024
        raise AssertionError(f"no {field}")


class Client:
    """A game client's socket on loopback; the server answers from its own port."""

    def __init__(self, receive_buffer=1 << 20, local_address=None, server_address=SERVER_ADDRESS):
        if local_address is None:
            local_address = "127.0.0.1" if server_address[0].startswith("127.") else "0.0.0.0"
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
        self.sock.bind((local_address, 0))
        self.port = self.sock.getsockname()[1]
        self.server_address = server_address

    def close(self):
        self.sock.close()

    def send(self, data):
        self.sock.sendto(data, self.server_address)

    def send_packet(self, client_id, message_type, text=b"", **fields):
        data = vp.Packet(client_id=client_id, message_type=message_type, text=text,
                         **fields).encode()
        self.send(data)
        return data

    def receive(self, timeout=30.0):
        """(raw bytes, source address) of the next datagram; fails the test after `timeout`."""
        self.sock.settimeout(timeout)
        try:
            return self.sock.recvfrom(65536)
        except socket.timeout:
            raise AssertionError(f"client on port {self.port}: nothing received in {timeout} s")

    def receive_packet(self, timeout=30.0):
        data, source = self.receive(timeout)
        if len(data) != vp.PACKET_SIZE:
            raise AssertionError(f"received {len(data)} bytes, a packet is {vp.PACKET_SIZE}")
        if not vp.verify(data):
            raise AssertionError("received a packet with a wrong checksum")
        if source != self.server_address:
            raise AssertionError(f"a reply came from {source}, not from the server's "
                                 f"{self.server_address}")
        return vp.Packet.decode(data)

    def pending(self):
        """Datagrams already waiting, without blocking."""
        self.sock.setblocking(False)
        found = []
        try:
            while True:
                found.append(self.sock.recvfrom(65536)[0])
        except BlockingIOError:
            pass
        finally:
            self.sock.setblocking(True)
        return found


class ServerTestCase(unittest.TestCase):
    """Each test gets a fresh server with a fresh data folder; it is killed whatever happens."""

    console_to_files = True
    start_timeout = 60.0
    server_options = ()

    wine = property(lambda self: wine_mode())
    trusted = property(lambda self: trusted_mode())
    container = property(lambda self: container_image() is not None)
    emulated = property(lambda self: emulated())

    def setUp(self):
        workdir = tempfile.mkdtemp(prefix="velantis-e2e-")
        self.addCleanup(shutil.rmtree, workdir, True)
        self.workdir = workdir
        self.server = self.start_server(workdir)

    def start_server(self, workdir, wait_for_port=30.0):
        wait_for_free_port(wait_for_port)
        server = ServerProcess(workdir, console_to_files=self.console_to_files)
        self.addCleanup(server.kill)
        server.start(timeout=self.start_timeout, options=self.server_options)
        return server

    def client(self, **kwargs):
        c = Client(**kwargs)
        self.addCleanup(c.close)
        return c

    @property
    def console_visible(self):
        return not self.wine

    def requires_proc(self):
        if self.wine:
            self.skipTest("process figures of a program under Wine are not the program's own")
        if self.container:
            self.skipTest("the process started is podman's, not the server")

    def connect(self, client, client_id, text=b"hello", x=0.0, y=0.0, registered_before=(),
                asks_snapshots=False):
        """Connects `client` as `client_id` as a game client joins; returns (the Connect sent, the
        announcement and the welcome it received).

        `registered_before` lists the other registered clients, each of which must receive the
        announcement too: at once when the server trusts sources, else once the newcomer's first
        position update (its Welcome's entity id, at its Connect's place) has proven its address,
        that update's relay following to every player. With `asks_snapshots` the Connect asks
        for snapshots.
        """
        ask = vp.SNAPSHOT_CAPABILITY if asks_snapshots else bytes(4)
        sent = client.send_packet(client_id, vp.CONNECT, text, x=x, y=y, gap2=ask)
        if self.trusted:
            for other in registered_before:
                other.receive_packet()
        announcement = client.receive_packet()
        welcome = client.receive_packet()
        if not self.trusted:
            self.prove(client, client_id, welcome.entity_id, registered_before, x=x, y=y)
        return vp.Packet.decode(sent), announcement, welcome

    def prove(self, client, client_id, entity_id, registered_before=(), **fields):
        """Sends the first position update of a welcomed client and takes what it brings: the
        announcement to each of `registered_before`, the update's relay to them and to `client`."""
        client.send_packet(client_id, vp.PLAYER_POSITION_UPDATE, entity_id=entity_id, **fields)
        for other in registered_before:
            self.assertEqual(other.receive_packet().message_type, vp.CONNECT)
            self.assertEqual(other.receive_packet().message_type, vp.PLAYER_POSITION_UPDATE)
        self.assertEqual(client.receive_packet().message_type, vp.PLAYER_POSITION_UPDATE)

    def join_many(self, players, snapshot_ids=()):
        """Connects many players in turn, each a (client, client id, x, y), and sends each one's
        first position update there, the proof of its address: with no wait for what the others
        receive meanwhile, so that a crowd joins in a round trip a player. The ids in
        `snapshot_ids` ask for snapshots."""
        for client, client_id, x, y in players:
            ask = vp.SNAPSHOT_CAPABILITY if client_id in snapshot_ids else bytes(4)
            client.send_packet(client_id, vp.CONNECT, x=x, y=y, gap2=ask)
            welcome = client.receive_packet()
            while welcome.message_type != vp.WELCOME:
                welcome = client.receive_packet()
            client.send_packet(client_id, vp.PLAYER_POSITION_UPDATE, x=x, y=y,
                               entity_id=welcome.entity_id)

    @property
    def join_log_line(self):
        """The log's last line once connect() has returned."""
        return vp.server_log_line("Client connected." if self.trusted else "Client admitted.")

    def log_after_banner(self):
        lines = self.server.log_lines()
        self.assertEqual(lines[:len(vp.BANNER_LOG_LINES)], vp.BANNER_LOG_LINES)
        return lines[len(vp.BANNER_LOG_LINES):]
