import os
import resource
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest
import urllib.error
import urllib.request

import velantis_protocol as vp
from server_harness import (BIND_ERROR_LINE, SERVER_HOST, Client, ServerProcess, ServerTestCase,
                            container_image, metric_samples, server_path,
                            service_process_settings, service_unit, wait_for_free_port, wine_mode)


def server_version():
    return subprocess.run([server_path(), "--version"], capture_output=True, text=True,
                          check=True).stdout.split()[1]


def udp_receive_buffer():
    probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    with probe:
        return probe.getsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF)


class StartUp(ServerTestCase):
    def test_prints_start_up_lines_in_order_and_writes_the_banner(self):
        log_dir = self.server.log_directory()
        if self.console_visible:
            self.assertEqual(self.server.stdout_lines(), [
                "NetworkingComponent(): Socket initialized successfully",
                "NetworkingComponent(): Successfully bound on port: 15000",
                "LogsManager(): Target file location is: "
                + self.server.shown_path(self.server.log_path()),
                f'LogsManager(CreateDir): The directory "{self.server.shown_path(log_dir)}" '
                "is created.",
                "NetworkingComponent(): Waiting a message...",
            ])
            self.assertEqual(self.server.stderr_lines(), [])
        self.assertEqual(self.server.log_lines(), vp.BANNER_LOG_LINES)

    def test_second_run_appends_a_banner_and_reports_the_existing_folder(self):
        first_log = self.server.log_bytes()
        self.server.kill()
        again = ServerProcess(os.path.join(self.workdir, "again"))
        # Same data folder: the second run finds the folder and the file of the first.
        again.data_home = self.server.data_home
        self.addCleanup(again.kill)
        again.start(fresh=False)
        self.assertEqual(again.log_bytes(), first_log + b"".join(vp.BANNER_LOG_LINES))
        if self.console_visible:
            folder = again.shown_path(again.log_directory())
            self.assertEqual(again.stderr_lines(), [
                f'LogsManager(CreateDir): The directory "{folder}" '
                "already exists or cannot be created."
            ])

    def test_second_copy_reports_the_binding_error_and_stays_alive(self):
        if self.container and not os.environ.get("VELANTIS_E2E_CONTAINER_NETWORK"):
            self.skipTest("podman refuses to publish a port twice before the server could try")
        second = ServerProcess(os.path.join(self.workdir, "second"))
        self.addCleanup(second.kill)
        second.start(wait_ready=False, fresh=False)
        if self.console_visible:
            second.wait_for_line("stderr", BIND_ERROR_LINE + "98")
            self.assertNotIn("NetworkingComponent(): Successfully bound on port: 15000",
                             second.stdout_lines())
        time.sleep(0.5)
        self.assertTrue(second.alive(), "a server that failed to bind must keep running")
        # The first one still owns the port and answers.
        client = self.client()
        _, announcement, welcome = self.connect(client, 7)
        self.assertEqual(welcome.message_type, vp.WELCOME)

    def test_stop_signals_end_the_server_with_exit_0_and_a_whole_log(self):
        if self.wine:
            self.skipTest("Windows has no stop signals: Ctrl+C and closing the console end it")
        for stop in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(signal=stop.name):
                server = self.server
                if stop != signal.SIGTERM:
                    server = self.start_server(os.path.join(self.workdir, stop.name))
                # Nobody is left to drain for: the stop is immediate.
                client = self.client()
                self.connect(client, 7)
                client.send_packet(7, vp.DISCONNECT)
                server.wait_for_line("stdout", "NetworkingComponentServer(): Client disconnected.")
                server.process.send_signal(stop)
                self.assertEqual(server.process.wait(timeout=60), 0)
                self.assertEqual(server.stdout_lines()[-1],
                                 "NetworkingComponentServer(): Stopping on request.")
                self.assertTrue(
                    server.log_bytes().endswith(vp.server_log_line("Client disconnected.")))

    def test_error_lines_for_the_journal_carry_their_priority_and_are_limited(self):
        if self.wine or self.container:
            self.skipTest("journald is Linux's, and a container's output is not the journal")
        self.server.kill()
        server = ServerProcess(os.path.join(self.workdir, "journal"))
        self.addCleanup(server.kill)
        # As systemd does, the server is told which file its standard error is the journal's.
        open(server.stderr_path, "wb").close()
        stream = os.stat(server.stderr_path)
        os.environ["JOURNAL_STREAM"] = f"{stream.st_dev}:{stream.st_ino}"
        try:
            server.start(options=self.server_options)
        finally:
            del os.environ["JOURNAL_STREAM"]
        client = self.client()
        for _ in range(30):
            client.send(b"junk")
        corrupted = ("<3>NetworkingComponent(): [CORRUPTED] The packet received generate a wrong "
                     "checksum.")
        server.wait_for_line("stderr", corrupted, count=10)
        time.sleep(1.1)
        client.send(b"junk")
        server.wait_for_line("stderr", corrupted, count=11)
        self.assertEqual(server.stderr_lines()[0], "<5>velantis-server " + server_version() +
                         ": serving UDP 0.0.0.0:15000, at most 1024 players, receive buffer "
                         f"{udp_receive_buffer()} bytes, metrics off")
        self.assertEqual(server.stderr_lines()[1:], [corrupted] * 10 + [
            "<4>Console(): 20 error lines were left out of the journal (all of them are in the "
            "log).", corrupted])
        self.assertEqual(server.log_lines().count(vp.CORRUPTED_LOG_LINE), 31)

    def test_idle_server_does_not_spin(self):
        self.requires_proc()
        time.sleep(0.2)
        before = self.server.cpu_seconds()
        time.sleep(1.0)
        used = self.server.cpu_seconds() - before
        self.assertLess(used, 0.2, f"idle server used {used:.2f} s of CPU in 1 s")

    def test_server_without_a_usable_log_folder_still_serves(self):
        if self.wine or self.container:
            self.skipTest("the data folder under Wine is the prefix's")
        self.server.kill()
        blocked = os.path.join(self.workdir, "not-a-folder")
        open(blocked, "w").close()
        server = ServerProcess(os.path.join(self.workdir, "blocked"))
        server.data_home = blocked  # the folders below a plain file can never be created
        self.addCleanup(server.kill)
        server.start()
        _, announcement, welcome = self.connect(self.client(), 7)
        self.assertEqual((announcement.client_id, welcome.message_type), (7, vp.WELCOME))
        errors = server.stderr_lines()
        self.assertTrue(errors[0].startswith(
            "LogsManager(): Exception during directory creation: "), errors[0])
        self.assertFalse(os.path.exists(server.log_path()))

    def test_full_log_disk_loses_whole_lines_says_so_and_recovers(self):
        if self.wine or self.container:
            self.skipTest("the file size limit is set on the server's own process")
        # The log may grow only so far, as on a full disk: a file size limit on the process
        # (RLIMIT_FSIZE) takes part of a write and refuses the rest, like a file system with a
        # few bytes left. Earlier runs' lines make the log, not the console files, reach it.
        with open(self.server.log_path(), "ab") as log:
            log.write(b"an earlier run\n" * 8192)
        client = self.client()
        self.connect(client, 7)
        before = self.server.log_bytes()
        hard = resource.getrlimit(resource.RLIMIT_FSIZE)[1]  # the server inherited ours
        self.limit_file_size(len(before) + 700, hard)

        expected = []
        for number in range(1, 9):
            data = client.send_packet(7, vp.PLAYER_POSITION_UPDATE, b"move %d" % number,
                                      x=float(number), message_number=number)
            self.assertEqual(client.receive_packet().x, number, "the server goes on relaying")
            expected.append(vp.size_log_line(len(data)) + b"".join(vp.receive_log_lines(data)))
        kept = self.server.log_bytes()[len(before):]
        self.assertTrue(kept.endswith(b"\n"), kept[-80:])
        # Whole records (a datagram's lines) only, each one of those the server meant to write, in
        # order; a record that did not fit is gone entirely, while a shorter one after it may
        # still have fitted. One report per lost record.
        pending, rest, written = iter(expected), kept, 0
        while rest:
            record = next((r for r in pending if rest.startswith(r)), None)
            self.assertIsNotNone(record, f"a record that was never written whole: {rest[:80]}")
            rest, written = rest[len(record):], written + 1
        lost = len(expected) - written
        self.assertGreater(lost, 0)
        report = f'LogsManager(Write): Cannot write the logs file "{self.server.log_path()}".'
        self.assertEqual(self.server.stderr_lines(), [report] * lost)

        # Room again: the next datagram's lines follow on lines of their own.
        self.limit_file_size(hard, hard)
        data = client.send_packet(7, vp.PLAYER_POSITION_UPDATE, b"room again", message_number=9)
        client.receive_packet()
        self.assertEqual(self.server.log_bytes(), before + kept + vp.size_log_line(len(data)) +
                         b"".join(vp.receive_log_lines(data)))
        self.assertEqual(len(self.server.stderr_lines()), lost)

    def limit_file_size(self, soft, hard):
        if not service_unit():
            resource.prlimit(self.server.pid, resource.RLIMIT_FSIZE, (soft, hard))
            return
        # A server run as its service's user: only that user may change its limits without
        # CAP_SYS_RESOURCE, which a container's root may lack.
        _, run_as = service_process_settings(self.server.data_home)

        def limit(value):
            return "unlimited" if value == resource.RLIM_INFINITY else str(value)

        subprocess.run(["prlimit", f"--pid={self.server.pid}",
                        f"--fsize={limit(soft)}:{limit(hard)}"], check=True, **run_as)


class PortsAndAddresses(ServerTestCase):
    """Several servers on one host, each on a port of its own, and a server on one address."""

    def second_server(self, name, *options):
        if self.wine:
            self.skipTest("servers under Wine share one prefix's log")
        server = ServerProcess(os.path.join(self.workdir, name))
        self.addCleanup(server.kill)
        server.start(options=options)
        return server

    def test_two_servers_on_different_ports_both_serve(self):
        other = self.second_server("other", "--port", "15002")
        if self.console_visible:
            self.assertIn("NetworkingComponent(): Successfully bound on port: 15002",
                          other.stdout_lines())
        here = self.client()
        there = self.client(server_address=(SERVER_HOST, 15002))
        # Each server numbers its own packets: both answer as a fresh server does.
        for client, server in ((here, self.server), (there, other)):
            _, announcement, welcome = self.connect(client, 7)
            self.assertEqual((announcement.message_number, welcome.message_number), (1, 2))
            self.assertTrue(server.log_bytes().endswith(self.join_log_line))

    def test_a_server_bound_to_one_address_serves_there_only(self):
        if self.container:
            self.skipTest("a container has addresses of its own")
        one = self.second_server("one", "--port=15003", "--bind=127.0.0.2")
        elsewhere = self.client(server_address=("127.0.0.1", 15003))
        elsewhere.send_packet(7, vp.CONNECT)
        with self.assertRaises(AssertionError):
            elsewhere.receive(timeout=0.5)
        _, _, welcome = self.connect(self.client(server_address=("127.0.0.2", 15003)), 7)
        self.assertEqual(welcome.message_type, vp.WELCOME)
        self.assertEqual(one.log_bytes().count(b"Client connected."), 1)
        # Without --bind the server takes every address, 127.0.0.2 included; its replies leave
        # from the address the system picks (127.0.0.1 here), which is why a host with several
        # addresses should bind the one its players send to (docs/deploy.md).
        anywhere = self.client(server_address=("127.0.0.2", 15000))
        anywhere.send_packet(8, vp.CONNECT)
        anywhere.receive()
        self.assertEqual(vp.Packet.decode(anywhere.receive()[0]).message_type, vp.WELCOME)


class ProgressOff(ServerTestCase):
    server_options = ("--progress=off", "--drain-timeout=0")

    def test_no_line_per_datagram_while_errors_and_the_log_are_unchanged(self):
        if not self.console_visible:
            self.skipTest("the console of a windowed program cannot be observed")
        start_up = self.server.stdout_lines()
        self.assertEqual(start_up[-1], "NetworkingComponent(): Waiting a message...")
        alice, bob = self.client(), self.client()
        sent, _, _ = self.connect(alice, 1)
        self.connect(bob, 2, registered_before=[alice])
        bob.send_packet(2, vp.PLAYER_POSITION_UPDATE, b"move", x=1.0)
        alice.receive_packet(), bob.receive_packet()
        bob.send(b"short")
        bob.send(bytes(2000))
        bob.send_packet(2, vp.DISCONNECT)
        bob.send_packet(1, vp.CONNECT)  # already registered: nothing is sent
        last = alice.send_packet(1, vp.PLAYER_POSITION_UPDATE, b"last")
        alice.receive_packet()
        corrupted = ("NetworkingComponent(): [CORRUPTED] The packet received generate a wrong "
                     "checksum.")
        self.server.wait_for_line("stderr", corrupted)
        log = self.log_after_banner()
        self.assertEqual(log[:11], [vp.size_log_line(1056)] + vp.receive_log_lines(sent.encode())
                         + [vp.server_log_line("Client connected.")])
        self.assertEqual(log[-10:], [vp.size_log_line(1056)] + vp.receive_log_lines(last))
        self.assertEqual([log.count(line) for line in (
            vp.size_log_line(1056), vp.size_log_line(5), vp.CORRUPTED_LOG_LINE,
            vp.server_log_line("Client connected."),
            vp.server_log_line("Client already connected."))],
            [6 if self.trusted else 8, 1, 1, 2, 1])
        self.server.process.send_signal(signal.SIGTERM)
        self.assertEqual(self.server.process.wait(timeout=60), 0)
        self.assertEqual(self.server.stdout_lines(), start_up + [
            "NetworkingComponentServer(): Stopping on request."])
        self.assertEqual(self.server.stderr_lines(), [corrupted])


def draining_line(players, seconds=30):
    return (f"NetworkingComponentServer(): Draining: no new player is admitted; {players} "
            f"registered players are served until they leave, for at most {seconds} s.")


class Drain(ServerTestCase):
    """A stop request with players registered: no new player, the registered ones served on until
    they have left, the drain time is up, or a second request comes."""
    server_options = ("--metrics=127.0.0.1:15100",)

    def setUp(self):
        if self.wine:
            self.skipTest("Windows has no stop signals")
        super().setUp()

    def players(self, count, first_id=1):
        clients = []
        for number in range(count):
            client = self.client()
            self.connect(client, first_id + number, registered_before=clients)
            clients.append(client)
        return clients

    def test_the_registered_players_play_on_until_they_leave_and_newcomers_are_refused(self):
        alice, bob = self.players(2)
        self.server.process.send_signal(signal.SIGTERM)
        self.server.wait_for_line("stdout", draining_line(2))
        late = self.client()
        late.send_packet(3, vp.CONNECT)
        # Every update is relayed to both, none lost; the late Connect, handled before them, got
        # nothing.
        for number in range(40):
            sender = (alice, bob)[number % 2]
            sender.send_packet(1 + number % 2, vp.PLAYER_POSITION_UPDATE, b"move %d" % number)
            for player in (alice, bob):
                self.assertEqual(player.receive_packet().text, b"move %d" % number)
        self.assertEqual(late.pending(), [])
        with urllib.request.urlopen(f"http://{SERVER_HOST}:15100/metrics", timeout=10) as reply:
            counts = metric_samples(reply.read().decode())
        self.assertEqual((counts["velantis_draining"],
                          counts['velantis_connects_refused_total{reason="draining"}']), (1, 1))
        alice.send_packet(1, vp.DISCONNECT)
        bob.send_packet(2, vp.DISCONNECT)
        self.assertEqual(self.server.process.wait(timeout=10), 0)
        if self.console_visible:
            lines = self.server.stdout_lines()
            self.assertIn("NetworkingComponentServer(): Client refused: the server is draining.",
                          lines)
            self.assertEqual(lines[-2:], [
                "NetworkingComponentServer(): Drained: every player has left.",
                "NetworkingComponentServer(): Stopping on request."])

    def test_the_drain_ends_when_its_time_is_up_or_at_a_second_stop_request(self):
        self.players(1)
        self.server.process.send_signal(signal.SIGTERM)
        self.server.wait_for_line("stdout", draining_line(1))
        self.server.process.send_signal(signal.SIGINT)
        # Well before the 30 s of the drain.
        self.assertEqual(self.server.process.wait(timeout=10), 0)
        self.assertIn("NetworkingComponentServer(): Drain cut short by a second stop request: 1 "
                      "players are still registered.", self.server.stdout_lines())

        self.server_options = ("--drain-timeout=1",)
        server = self.start_server(os.path.join(self.workdir, "short"))
        self.players(1, first_id=7)
        server.process.send_signal(signal.SIGTERM)
        self.assertEqual(server.process.wait(timeout=15), 0)
        # A reply's "sent" line may follow the stop request: a player can hear the reply before
        # the server has printed that it sent it.
        lines = [line for line in server.stdout_lines()
                 if not line.startswith("NetworkingComponent(): Message of size")]
        self.assertEqual(lines[-3:], [
            draining_line(1, 1),
            "NetworkingComponentServer(): Drain time is up: 1 players are still registered.",
            "NetworkingComponentServer(): Stopping on request."])


class BoundedLog(ServerTestCase):
    server_options = ("--log-max-bytes=20000", "--log-keep=2")

    def test_the_log_folder_keeps_within_its_bound_in_whole_records(self):
        client = self.client()
        # About 130 bytes of log each, in rounds the receive buffer holds whatever the pace.
        for round_number in range(6):
            for _ in range(100):
                client.send(b"junk")
            self.server.wait_for_line("stdout", "NetworkingComponentServer(): Message of size 4 "
                                      "bytes received.", count=100 * (round_number + 1),
                                      timeout=60)
        # Its record is written before the Welcome leaves, and after every earlier one.
        self.connect(client, 7)
        folder = self.server.log_directory()
        names = sorted(os.listdir(folder))
        self.assertEqual(names, ["Thread_0.logs", "Thread_0.logs.1", "Thread_0.logs.2"])
        logs = []
        for name in names:
            with open(os.path.join(folder, name), "rb") as log:
                logs.append(log.read())
        # Windows writes each line end as two bytes, which the server does not count.
        self.assertTrue(all(len(log) - log.count(b"\r\n") <= 20000 for log in logs),
                        [len(log) for log in logs])
        self.assertTrue(all(log.endswith(b"\n") for log in logs))
        self.assertTrue(self.server.log_bytes().endswith(self.join_log_line))
        kept = sum(log.count(vp.CORRUPTED_LOG_LINE.rstrip(b"\n")) for log in logs)
        self.assertTrue(200 < kept < 600, kept)


class ConsoleGoneAway(unittest.TestCase):
    def test_server_outlives_the_reader_of_its_console(self):
        if wine_mode() or container_image():
            self.skipTest("a windowed program under Wine writes to its own console; a container's "
                          "console is the runtime's")
        workdir = tempfile.mkdtemp(prefix="velantis-e2e-")
        self.addCleanup(shutil.rmtree, workdir, True)
        wait_for_free_port(30.0)
        env = dict(os.environ, XDG_DATA_HOME=workdir)
        # Standard output is a pipe whose reader goes away once the server is up, as when the
        # server's output is piped into a pager that is closed.
        server = subprocess.Popen([server_path()], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                  stderr=subprocess.DEVNULL, env=env, start_new_session=True)
        self.addCleanup(lambda: server.poll() is None and os.killpg(server.pid, signal.SIGKILL))
        deadline = time.monotonic() + 60
        while b"Waiting a message..." not in server.stdout.readline():
            self.assertLess(time.monotonic(), deadline, "server not ready")
        server.stdout.close()

        # Each admission prints several console lines into the broken pipe.
        for client_id in (7, 8):
            client = Client()
            self.addCleanup(client.close)
            client.send_packet(client_id, vp.CONNECT, b"hello")
            client.receive_packet()
            self.assertEqual(client.receive_packet().message_type, vp.WELCOME)
        self.assertIsNone(server.poll(), "the server died writing to its console")


class CommandLine(unittest.TestCase):
    def run_server(self, *options, **variables):
        if wine_mode():
            self.skipTest("the Windows leg checks the .exe's command line itself")
        workdir = tempfile.mkdtemp(prefix="velantis-e2e-")
        self.addCleanup(shutil.rmtree, workdir, True)
        env = dict(os.environ, XDG_DATA_HOME=workdir, **variables)
        done = subprocess.run([server_path(), *options], stdin=subprocess.DEVNULL,
                              capture_output=True, text=True, env=env, timeout=30)
        self.assertEqual(os.listdir(workdir), [], "the server started serving")
        return done

    def test_help_and_version_exit_0_and_start_nothing(self):
        helped = self.run_server("--help")
        self.assertEqual(helped.returncode, 0)
        self.assertIn("--metrics ADDR:PORT", helped.stdout)
        version = self.run_server("--version")
        self.assertEqual((version.returncode, version.stdout.split()[0]), (0, "velantis-server"))

    def test_usage_errors_exit_2_and_start_nothing(self):
        for options in (["--no-such-option"], ["extra"], ["--metrics"], ["--metrics=127.0.0.1"],
                        ["--metrics=127.0.0.1:0"], ["--metrics=127.0.0.1:65536"],
                        ["--metrics=localhost:15100"], ["--metrics=127.0.0.1:+80"],
                        ["--port=0"], ["--port=65536"], ["--port", "15001x"], ["--bind=localhost"],
                        ["--bind=127.0.0"], ["--progress=maybe"], ["--progress"],
                        ["--interest=50"]):
            with self.subTest(options=options):
                refused = self.run_server(*options)
                self.assertEqual(refused.returncode, 2, refused.stderr)
                self.assertTrue(refused.stderr.startswith("velantis-server: "), refused.stderr)
                self.assertIn("Try 'velantis-server --help'.", refused.stderr)

    def test_options_come_from_the_environment_too_and_are_checked_alike(self):
        checked = self.run_server("--check-config", "--port=15009", VELANTIS_PORT="15008",
                                  VELANTIS_MAX_PLAYERS="64", VELANTIS_PROGRESS="off",
                                  VELANTIS_IDLE_TIMEOUT="12")
        self.assertEqual((checked.returncode, checked.stdout), (0, (
            "velantis-server: the configuration is valid: UDP 0.0.0.0:15009, at most 64 players, "
            "metrics off, receive buffer the system's, progress lines off, players kept in no "
            "file, sources proven, idle timeout 12 s\n")))
        refused = self.run_server("--check-config", VELANTIS_MAX_PLAYERS="0")
        self.assertEqual(refused.returncode, 2)
        self.assertTrue(refused.stderr.startswith("velantis-server: --max-players: "),
                        refused.stderr)


class PlayersKept(ServerTestCase):
    """--state-dir: the registry across a stop and a start, as the service's restarts need."""

    def setUp(self):
        if self.wine:
            self.skipTest("Windows has no stop signal: its players are saved when it stops")
        if self.container or service_unit():
            self.skipTest("the state folder is the container's or systemd's there")
        self.state = tempfile.mkdtemp(prefix="velantis-state-")
        self.addCleanup(shutil.rmtree, self.state, True)
        self.players_file = os.path.join(self.state, "players")
        # Stopped as a restart stops it, at once: the players are kept for the next run.
        self.server_options = (f"--state-dir={self.state}", "--drain-timeout=0")
        super().setUp()

    def restart(self, name):
        self.server.kill()
        self.server = self.start_server(os.path.join(self.workdir, name))
        return self.server.stdout_lines() + self.server.stderr_lines()

    def test_players_are_kept_across_a_stop_and_a_start(self):
        first, second = self.client(), self.client()
        self.connect(first, 7)
        self.connect(second, 3, registered_before=[first])
        self.server.process.send_signal(signal.SIGTERM)
        self.assertEqual(self.server.process.wait(timeout=60), 0)
        with open(self.players_file) as saved:
            self.assertEqual(saved.read(), "velantis-server players 1\n"
                             f"3 127.0.0.1:{second.port}\n7 127.0.0.1:{first.port}\nend 2\n")
        said = self.restart("again")
        restored = f'2 players restored from "{self.players_file}".'
        self.assertIn("NetworkingComponentServer(): " + restored, said)
        # Read once, so that a crash later cannot bring back players who have left since.
        self.assertFalse(os.path.exists(self.players_file))
        # Nobody connects again and nobody is announced: the next update reaches both.
        first.send_packet(7, vp.PLAYER_POSITION_UPDATE, b"still here")
        for client in (second, first):
            relayed = client.receive_packet()
            self.assertEqual((relayed.message_type, relayed.text),
                             (vp.PLAYER_POSITION_UPDATE, b"still here"))

    def test_a_damaged_file_is_reported_and_the_server_starts_with_no_players(self):
        for number, text in enumerate((
                "velantis-server players 1\n7 127.0.0.1:4000\n",  # cut short: no count
                "velantis-server players 1\n7 127.0.0.1:4000\nend 2\n",
                "velantis-server players 1\n7 127.0.0.1:99999\nend 1\n",
                "garbage\n")):
            with self.subTest(text=text):
                with open(self.players_file, "w") as damaged:
                    damaged.write(text)
                said = self.restart(f"damaged-{number}")
                self.assertTrue(any(line.startswith("NetworkingComponentServer(): The players "
                                                    "saved in") and "are damaged" in line
                                    for line in said), said)
                self.assertFalse(os.path.exists(self.players_file))
                player = self.client()
                player.send_packet(9, vp.PLAYER_POSITION_UPDATE)
                time.sleep(0.2)
                self.assertEqual(player.pending(), [])  # nobody registered, nobody relayed to

    def test_a_file_no_server_wrote_is_refused_without_waiting_or_following_it(self):
        valid = os.path.join(self.state, "valid")
        with open(valid, "w") as file:
            file.write("velantis-server players 1\n7 127.0.0.1:4000\nend 1\n")
        cases = {
            "fifo": (lambda: os.mkfifo(self.players_file), "are not a plain file"),
            "link": (lambda: os.symlink(valid, self.players_file), "are not a plain file"),
            "zero": (lambda: os.symlink("/dev/zero", self.players_file), "are not a plain file"),
            "large": (lambda: self.write_players("velantis-server players 1\n" + "x" * 200000),
                      "are larger than the player cap allows"),
            "echo": (lambda: self.write_players(
                "velantis-server players 1\n7 127.0.0.1:7\nend 1\n"),
                "name a port no game client sends from (127.0.0.1:7)"),
            "itself": (lambda: self.write_players(
                "velantis-server players 1\n7 127.0.0.1:15000\nend 1\n"),
                "name a port no game client sends from (127.0.0.1:15000)"),
        }
        for name, (make, reason) in cases.items():
            with self.subTest(case=name):
                make()
                # restart() waits until the server serves: a file it waits on fails it.
                said = self.restart(name)
                self.assertIn(f'NetworkingComponentServer(): The players saved in '
                              f'"{self.players_file}" {reason}: starting with none.', said)
                self.assertFalse(os.path.lexists(self.players_file))
        self.assertTrue(os.path.exists(valid), "a link is removed, never what it names")

    def write_players(self, text):
        with open(self.players_file, "w") as file:
            file.write(text)


class Metrics(ServerTestCase):
    """The endpoint beside a serving server; the metrics CI leg checks it under load."""
    server_options = ("--metrics=127.0.0.1:15100",)

    def scrape(self, path="/metrics", port=15100):
        try:
            with urllib.request.urlopen(f"http://{SERVER_HOST}:{port}{path}", timeout=10) as reply:
                return reply.status, reply.read().decode()
        except urllib.error.HTTPError as error:
            return error.code, error.read().decode()

    def scrape_if_up(self, path, port):
        try:
            return self.scrape(path, port)
        except urllib.error.URLError as error:  # not listening yet
            return 0, str(error)

    def wait_for_health(self, answer, port=15100, timeout=20):
        deadline = time.monotonic() + timeout
        while (seen := self.scrape_if_up("/healthz", port)) != answer:
            if time.monotonic() > deadline:
                raise AssertionError(f"/healthz answers {seen}, not {answer}")
            time.sleep(0.1)

    def check_health(self, port):
        return subprocess.run([server_path(), f"--check-health=127.0.0.1:{port}"],
                              capture_output=True, timeout=30).returncode

    def samples(self):
        status, text = self.scrape()
        self.assertEqual(status, 200)
        return dict(line.rsplit(" ", 1) for line in text.splitlines() if not line.startswith("#"))

    def samples_once(self, ready, timeout=60.0):
        """The samples once `ready(samples)` holds, or as they are after `timeout`: the receive
        thread counts a datagram a moment after the client sent it."""
        deadline = time.monotonic() + timeout
        while True:
            counts = self.samples()
            if ready(counts) or time.monotonic() > deadline:
                return counts
            time.sleep(0.05)

    def test_endpoint_counts_what_the_receive_thread_did(self):
        if self.console_visible and not self.container:
            self.assertEqual(
                self.server.stdout_lines()[0],
                "MetricsEndpoint(): Serving metrics on http://127.0.0.1:15100/metrics.")
        alice, bob = self.client(), self.client()
        self.connect(alice, 1)
        self.connect(bob, 2, registered_before=[alice])
        alice.send_packet(1, vp.CONNECT, b"again")
        if not self.trusted:
            # Answered again from its own address, as a client whose Welcome was lost is.
            self.assertEqual([alice.receive_packet().message_type for _ in range(2)],
                             [vp.CONNECT, vp.WELCOME])
            # Its id from another address is not.
            bob.send_packet(1, vp.PLAYER_POSITION_UPDATE, b"as alice")
        bob.send_packet(2, vp.PLAYER_POSITION_UPDATE, b"move", x=1.0)
        alice.receive_packet(), bob.receive_packet()
        bob.send(b"short")
        bob.send_packet(2, vp.DISCONNECT)
        time.sleep(0.3)
        counts = self.samples()
        if not self.trusted:
            self.assertEqual({name: counts[name] for name in (
                'velantis_datagrams_received_total{outcome="valid"}',
                'velantis_messages_received_total{type="position_update"}',
                'velantis_connects_refused_total{reason="already_registered"}',
                'velantis_messages_dropped_total{reason="wrong_address"}',
                'velantis_messages_dropped_total{reason="unregistered_sender"}',
                "velantis_players_admitted_total",
                # Each: announcement, Welcome, its proof's relays; Alice's again; two relays.
                "velantis_packets_sent_total",
                "velantis_registered_players")}, {
                'velantis_datagrams_received_total{outcome="valid"}': "8",
                'velantis_messages_received_total{type="position_update"}': "4",
                'velantis_connects_refused_total{reason="already_registered"}': "0",
                'velantis_messages_dropped_total{reason="wrong_address"}': "1",
                'velantis_messages_dropped_total{reason="unregistered_sender"}': "0",
                "velantis_players_admitted_total": "2",
                "velantis_packets_sent_total": "12",
                "velantis_registered_players": "1"})
            return
        self.assertEqual({name: counts[name] for name in (
            'velantis_datagrams_received_total{outcome="valid"}',
            'velantis_datagrams_received_total{outcome="wrong_size"}',
            'velantis_messages_received_total{type="connect"}',
            'velantis_messages_received_total{type="position_update"}',
            'velantis_messages_received_total{type="disconnect"}',
            'velantis_connects_refused_total{reason="already_registered"}',
            "velantis_packets_sent_total",
            "velantis_registered_players")}, {
            'velantis_datagrams_received_total{outcome="valid"}': "5",
            'velantis_datagrams_received_total{outcome="wrong_size"}': "1",
            'velantis_messages_received_total{type="connect"}': "3",
            'velantis_messages_received_total{type="position_update"}': "1",
            'velantis_messages_received_total{type="disconnect"}': "1",
            'velantis_connects_refused_total{reason="already_registered"}': "1",
            # Alice: announcement and Welcome; Bob: two announcements and Welcome; two relays.
            "velantis_packets_sent_total": "7",
            "velantis_registered_players": "1"})
        self.assertEqual(self.scrape("/")[0], 404)

    def test_healthz_says_whether_the_game_is_served(self):
        self.assertEqual(self.scrape("/healthz"), (200, "ok\n"))
        if self.wine or self.container or service_unit():
            self.skipTest("a second server on the taken port, and the log replaced, are this "
                          "machine's and its own user's")
        self.assertEqual(self.check_health(15100), 0)
        # Another server whose game port is taken stays up, and its endpoint answers: not ok.
        second = ServerProcess(os.path.join(self.workdir, "second"))
        self.addCleanup(second.kill)
        second.start(wait_ready=False, options=("--metrics=127.0.0.1:15101",))
        self.wait_for_health((503, "not serving: the game port is not bound\n"), port=15101)
        self.assertEqual(self.check_health(15101), 1)
        # A receive loop stuck in a datagram: its log replaced by a pipe nobody reads, as on a
        # disk that hangs.
        log = self.server.log_path()
        os.remove(log)
        os.mkfifo(log)
        self.client().send(b"stuck")
        self.wait_for_health((503, "not serving: the receive loop is stuck in one datagram\n"))
        self.assertEqual(self.check_health(15100), 1)
        with open(log, "rb") as released:
            released.read()
        self.wait_for_health((200, "ok\n"))

    def test_instance_label_on_every_sample_when_given(self):
        self.assertNotIn("instance=", self.scrape()[1])
        self.server.kill()
        self.server = ServerProcess(os.path.join(self.workdir, "labelled"))
        self.addCleanup(self.server.kill)
        self.server.start(options=self.server_options + ('--instance=pod "a"\\1',))
        samples = [line for line in self.scrape()[1].splitlines() if not line.startswith("#")]
        self.assertTrue(samples)
        label = 'instance="pod \\"a\\"\\\\1"'
        self.assertEqual([line for line in samples if not line.rsplit(" ", 1)[0].endswith(
            "{" + label + "}") and "{" + label + "," not in line], [])

    def test_oversized_datagrams_and_absolute_request_targets(self):
        client = self.client()
        for size in (1401, 1500, 65507):
            client.send(bytes(size))
        if self.console_visible:
            # What the console says of them is what it always said: a failed receive.
            self.server.wait_for_line("stdout", "error90", count=3)
        counts = self.samples_once(
            lambda c: c['velantis_datagrams_received_total{outcome="too_large"}'] == "3")
        self.assertEqual(
            (counts['velantis_datagrams_received_total{outcome="too_large"}'],
             counts['velantis_datagrams_received_total{outcome="receive_error"}']), ("3", "0"))
        with socket.create_connection((SERVER_HOST, 15100), timeout=10) as connection:
            connection.sendall(b"GET http://127.0.0.1:15100/metrics HTTP/1.1\r\n"
                               b"Host: 127.0.0.1:15100\r\n\r\n")
            reply = b""
            while chunk := connection.recv(65536):
                reply += chunk
        self.assertTrue(reply.startswith(b"HTTP/1.1 200 "), reply[:80])
        self.assertIn(b"velantis_registered_players 0\n", reply)

    def test_datagrams_dropped_while_the_server_is_paused_are_counted(self):
        if self.wine:
            self.skipTest("the kernel's socket figures are Linux's")
        if self.container:
            self.skipTest("the process started is podman's, not the server")
        self.server.kill()
        self.server = ServerProcess(os.path.join(self.workdir, "small-buffer"))
        self.addCleanup(self.server.kill)
        self.server.start(options=self.server_options + ("--receive-buffer=4096",))
        counts = self.samples()
        self.assertEqual(counts["velantis_socket_receive_buffer_requested_bytes"], "4096")
        granted = int(counts["velantis_socket_receive_buffer_bytes"])
        client = self.client()
        client.send(bytes(10))
        time.sleep(0.2)
        progress = float(self.samples()["velantis_receive_loop_progress_time_seconds"])
        os.kill(self.server.pid, signal.SIGSTOP)
        try:
            for _ in range(3 * granted // vp.PACKET_SIZE + 10):
                client.send(bytes(vp.PACKET_SIZE))
            time.sleep(0.2)
        finally:
            os.kill(self.server.pid, signal.SIGCONT)
        # Once resumed, the loop works through what waited: its progress time moves on.
        counts = self.samples_once(
            lambda c: float(c["velantis_receive_loop_progress_time_seconds"]) > progress)
        moved = float(counts["velantis_receive_loop_progress_time_seconds"]) > progress
        self.assertTrue(moved, "the receive loop's progress time did not move after the pause")
        if self.emulated:
            self.skipTest("qemu-user answers getsockopt(SO_MEMINFO) with its first field only, "
                          "so the server leaves the drops out")
        self.assertGreater(int(counts["velantis_socket_drops_total"]), 0)

    def test_lost_log_records_are_counted(self):
        if self.wine or service_unit() or self.container:
            self.skipTest("the file size limit is set on the server's own process, as root")
        # A log that may not grow any more, as on a full disk: a datagram's record is lost.
        # Earlier runs' lines make the log, not the console files, reach the limit.
        with open(self.server.log_path(), "ab") as log:
            log.write(b"an earlier run\n" * 8192)
        hard = resource.getrlimit(resource.RLIMIT_FSIZE)[1]
        resource.prlimit(self.server.pid, resource.RLIMIT_FSIZE,
                         (len(self.server.log_bytes()), hard))
        self.client().send(b"x")  # its record: the size line and the corrupted line
        report = f'LogsManager(Write): Cannot write the logs file "{self.server.log_path()}".'
        self.server.wait_for_line("stderr", report, count=1)
        self.assertEqual(self.samples()["velantis_log_writes_lost_total"], "1")
