"""The server's calls to the Agones SDK sidecar, against a stand-in written from Agones' published
REST reference (agones_sidecar.py): Ready after the bind, Health at the interval while the receive
loop makes progress, the player counter moved by Connects and Disconnects, Shutdown on SIGTERM and
when an allocated match is over; a sidecar that is late, fails or answers slowly costs the game
nothing."""

import os
import shutil
import signal
import socket
import tempfile
import threading
import time

import velantis_protocol as vp
from agones_sidecar import Sidecar
from server_harness import ServerProcess, ServerTestCase, service_unit, wait_for_free_port

INTERVAL = 0.3
DRAINING_ONE = ("NetworkingComponentServer(): Draining: no new player is admitted; 1 registered "
                "players are served until they leave, for at most 30 s.")


class Agones(ServerTestCase):
    def setUp(self):
        if self.wine or self.container or service_unit():
            self.skipTest("the stand-in sidecar listens on this machine's loopback")
        self.workdir = tempfile.mkdtemp(prefix="velantis-e2e-")
        self.addCleanup(shutil.rmtree, self.workdir, True)

    def start_with_sidecar(self, port, name="agones", options=()):
        wait_for_free_port(30.0)
        os.environ["AGONES_SDK_HTTP_PORT"] = str(port)
        try:
            server = ServerProcess(os.path.join(self.workdir, name))
            self.addCleanup(server.kill)
            server.start(options=("--progress=off", f"--agones-health={INTERVAL}", *options))
        finally:
            del os.environ["AGONES_SDK_HTTP_PORT"]
        return server

    def sidecar(self, **kwargs):
        sidecar = Sidecar(**kwargs)
        self.addCleanup(sidecar.close)
        return sidecar

    def serving_with_sidecar(self, healths):
        """A sidecar and a server that has made `healths` Health calls to it."""
        sidecar = self.sidecar()
        server = self.start_with_sidecar(sidecar.port)
        sidecar.wait_for(lambda calls: [c[2] for c in calls].count("/health") >= healths, 60,
                         f"{healths} Health calls")
        return sidecar, server

    @staticmethod
    def counts(calls):
        return [body for _, method, path, body in calls if method == "PATCH"]

    @staticmethod
    def counted(sidecar, players, timeout=5):
        sidecar.wait_for(lambda calls: sidecar.players == players, timeout,
                         f"the counter at {players} (it is {sidecar.players})")

    def test_calls_arrive_in_order_and_follow_the_players(self):
        sidecar, server = self.serving_with_sidecar(healths=3)
        calls = sidecar.recorded()
        self.assertEqual((calls[0][1], calls[0][2], calls[0][3]), ("POST", "/ready", {}))
        self.assertEqual(self.counts(calls), [], "nothing to count before a player comes")

        alice, bob = self.client(), self.client()
        self.connect(alice, 1)
        self.counted(sidecar, 1)
        self.connect(bob, 2, registered_before=[alice])
        self.counted(sidecar, 2)
        bob.send_packet(2, vp.DISCONNECT)
        self.counted(sidecar, 1)
        self.assertEqual(self.counts(sidecar.recorded()),
                         [{"countDiff": "1"}, {"countDiff": "1"}, {"countDiff": "-1"}])

        health = [t for t, _, path, _ in sidecar.recorded() if path == "/health"]
        gaps = [b - a for a, b in zip(health, health[1:])]
        print(f"\n  Health every {min(gaps):.2f}-{max(gaps):.2f} s (interval {INTERVAL} s)",
              end=" ")
        # Neither a flood nor silence: the interval, within a turn of the SDK thread either way.
        self.assertGreater(min(gaps), INTERVAL / 2)

        # Alice plays on through the drain, with Health going on; her leaving ends it.
        server.process.send_signal(signal.SIGTERM)
        server.wait_for_line("stdout", DRAINING_ONE)
        healths = sidecar.paths().count("/health")
        sidecar.wait_for(lambda calls: [c[2] for c in calls].count("/health") > healths, 10,
                         "Health while draining")
        alice.send_packet(1, vp.DISCONNECT)
        self.assertEqual(server.process.wait(timeout=10), 0)
        self.assertEqual(sidecar.paths()[-1], "/shutdown")
        self.assertEqual(sidecar.paths().count("/shutdown"), 1)
        self.assertEqual(server.stderr_lines(), [])

    def test_a_late_failing_or_slow_sidecar_is_retried_and_costs_the_game_nothing(self):
        probe = socket.socket()
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
        probe.close()
        # Nothing listens on the sidecar's port yet: the server serves all the same.
        server = self.start_with_sidecar(port)
        player = self.client()
        _, _, welcome = self.connect(player, 1)
        self.assertEqual(welcome.message_type, vp.WELCOME)
        time.sleep(1.0)
        # Then it comes up failing its first calls, and answering each 1.5 s late (the server
        # gives a call 1 s): the game goes on at full speed meanwhile.
        sidecar = self.sidecar(port=port, fail_first=3, delay=1.5)
        for number in range(20):
            player.send_packet(1, vp.PLAYER_POSITION_UPDATE, b"move %d" % number)
            self.assertEqual(player.receive_packet(timeout=1.0).text, b"move %d" % number)
            time.sleep(0.05)
        sidecar.delay = 0.0
        sidecar.wait_for(lambda calls: [c[2] for c in calls].count("/health") >= 2, 60,
                         "Health after Ready")
        paths = sidecar.paths()
        self.assertEqual(paths[0], "/ready")
        self.counted(sidecar, 1)
        errors = server.stderr_lines()
        self.assertTrue(errors and all(line.startswith("AgonesSdk(): The SDK sidecar on port ")
                                       for line in errors), errors)
        # One line when the sidecar stops answering, not one per retry.
        self.assertLessEqual(len(errors), 3, errors)

    def test_health_stops_while_the_receive_loop_is_stuck(self):
        sidecar, server = self.serving_with_sidecar(healths=2)
        # The log replaced by a pipe nobody reads: the receive loop's next record never gets
        # written, as on a disk that hangs, and the loop stays inside that datagram.
        log = server.log_path()
        os.remove(log)
        os.mkfifo(log)
        self.client().send(b"stuck")
        stuck_at = time.monotonic()
        time.sleep(5.0)
        late = [t for t, _, path, _ in sidecar.recorded() if path == "/health" and
                t > stuck_at + 3.0 + 2 * INTERVAL]
        self.assertEqual(late, [], "Health went on while the receive loop was stuck")
        server.wait_for_line("stderr",
                             "AgonesSdk(): The receive loop is stuck or has ended; no more Health.")
        # Read what the loop was writing: it moves again, and so does Health.
        drained = []
        reader = threading.Thread(target=lambda: drained.append(open(log, "rb").read()))
        reader.start()
        released_at = time.monotonic()
        sidecar.wait_for(lambda calls: any(t > released_at and path == "/health"
                                           for t, _, path, _ in calls), 60, "Health again")
        reader.join(timeout=10)
        self.assertIn(vp.size_log_line(5), drained[0] if drained else b"")

    def test_an_allocated_match_ends_with_shutdown_once_over(self):
        """Over when its players have all left, or when none came within the empty time; the
        counter keeps what the allocation added."""
        sidecar = self.sidecar()
        server = self.start_with_sidecar(sidecar.port)
        sidecar.wait_for(lambda calls: "/ready" in [c[2] for c in calls], 10, "Ready")
        sidecar.allocate(players=3)
        server.wait_for_line("stdout", "AgonesSdk(): The GameServer is Allocated.", timeout=10)
        alice, bob = self.client(), self.client()
        self.connect(alice, 1)
        self.connect(bob, 2, registered_before=[alice])
        self.counted(sidecar, 5)
        self.assertTrue(server.alive())
        alice.send_packet(1, vp.DISCONNECT)
        bob.send_packet(2, vp.DISCONNECT)
        self.assertEqual(server.process.wait(timeout=15), 0)
        self.assertEqual(sidecar.players, 3)
        self.assertEqual(sidecar.paths().count("/shutdown"), 1)
        self.assertIn("AgonesSdk(): The match is over: every player has left; stopping.",
                      server.stdout_lines())

        sidecar = self.sidecar()
        server = self.start_with_sidecar(sidecar.port, "nobody",
                                         options=("--agones-empty-shutdown=1",))
        sidecar.wait_for(lambda calls: "/ready" in [c[2] for c in calls], 10, "Ready")
        sidecar.allocate()
        self.assertEqual(server.process.wait(timeout=15), 0)
        self.assertEqual(sidecar.paths().count("/shutdown"), 1)
        self.assertIn("AgonesSdk(): No player came to the allocated match; stopping.",
                      server.stdout_lines())
