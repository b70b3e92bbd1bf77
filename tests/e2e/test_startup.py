import os
import resource
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

import velantis_protocol as vp
from server_harness import (BIND_ERROR_LINE, Client, ServerProcess, ServerTestCase, server_path,
                            service_process_settings, service_unit, wait_for_free_port, wine_mode)


class StartUp(ServerTestCase):
    def test_prints_start_up_lines_in_order_and_writes_the_banner(self):
        log_dir = self.server.log_directory()
        if self.console_visible:
            self.assertEqual(self.server.stdout_lines(), [
                "NetworkingComponent(): Socket initialized successfully",
                "NetworkingComponent(): Successfully bound on port: 15000",
                "LogsManager(): Target file location is: " + self.server.log_path(),
                f'LogsManager(CreateDir): The directory "{log_dir}" is created.',
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
            self.assertEqual(again.stderr_lines(), [
                f'LogsManager(CreateDir): The directory "{again.log_directory()}" '
                "already exists or cannot be created."
            ])

    def test_second_copy_reports_the_binding_error_and_stays_alive(self):
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

    def test_idle_server_does_not_spin(self):
        self.requires_proc()
        time.sleep(0.2)
        before = self.server.cpu_seconds()
        time.sleep(1.0)
        used = self.server.cpu_seconds() - before
        self.assertLess(used, 0.2, f"idle server used {used:.2f} s of CPU in 1 s")

    def test_server_without_a_usable_log_folder_still_serves(self):
        if self.wine:
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
        if self.wine:
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
        limit = lambda value: "unlimited" if value == resource.RLIM_INFINITY else str(value)
        subprocess.run(["prlimit", f"--pid={self.server.pid}",
                        f"--fsize={limit(soft)}:{limit(hard)}"], check=True, **run_as)


class ConsoleGoneAway(unittest.TestCase):
    def test_server_outlives_the_reader_of_its_console(self):
        if wine_mode():
            self.skipTest("a windowed program under Wine writes to its own console")
        workdir = tempfile.mkdtemp(prefix="velantis-e2e-")
        self.addCleanup(shutil.rmtree, workdir, True)
        wait_for_free_port(30.0)
        env = dict(os.environ, XDG_DATA_HOME=workdir)
        # Standard output is a pipe whose reader goes away once the server is up, as when the
        # server's output is piped into a pager that is closed.
        server = subprocess.Popen([server_path()], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                  stderr=subprocess.DEVNULL, env=env, start_new_session=True)
        self.addCleanup(lambda: server.poll() is None and os.killpg(server.pid, signal.SIGKILL))
        deadline = time.monotonic() + 15
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
