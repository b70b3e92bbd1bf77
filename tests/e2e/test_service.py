"""The installed package's service pieces, run as the unit runs the server.

Runs only with run_e2e.py --service-unit (the package leg of scripts/test.sh): the start-up check
that the unit runs after the server, and log rotation by the installed logrotate file while the
server is under load.
"""

import collections
import glob
import gzip
import json
import os
import re
import shlex
import subprocess
import time
import unittest

import velantis_protocol as vp
from server_harness import (LOG_RELATIVE, ServerProcess, ServerTestCase, server_path,
                            service_process_settings, service_unit, udp_socket_drops,
                            unit_environment)

LOGROTATE_FILE = os.environ.get("VELANTIS_E2E_LOGROTATE", "/etc/logrotate.d/velantis-server")

# Every line the server writes to its log for well-formed traffic. A line cut short, or the two
# halves of a line split across files, matches none of them.
LOG_LINE = re.compile(
    rb"\n|=+ \n|=+ Thread\[0\] started\. =+ \n"
    rb"|NetworkingComponent\(\): Message of size 1056 bytes received\. \n"
    rb"|(Checksum|From clientID|MessageNumber|MessageType|PlayerUUID|EntityID): \d+\n"
    rb"|Message: [^\n]*\n"
    rb"|NetworkingComponentServer\(\): Client (dis)?connected\. \n")


def unit_setting(name):
    with open(service_unit()) as unit:
        for line in unit:
            if line.startswith(name + "="):
                return line[len(name) + 1:].strip()
    raise AssertionError(f"{service_unit()} has no {name}=")


@unittest.skipUnless(service_unit(), "needs the installed unit (run_e2e.py --service-unit)")
class Service(ServerTestCase):
    def run_as_service(self, command, timeout):
        env, run_as = service_process_settings(self.server.data_home)
        return subprocess.run(command, env=env, capture_output=True, text=True, timeout=timeout,
                              **run_as)

    def check_bound(self, pid, seconds):
        # The unit's own command line, with its ${MAINPID} and time limit filled in.
        words = shlex.split(unit_setting("ExecStartPost"))
        self.assertEqual(words[1:], ["${MAINPID}", str(vp.SERVER_PORT), "5"])
        return self.run_as_service([words[0], str(pid), str(vp.SERVER_PORT), str(seconds)],
                                   timeout=seconds + 5)

    def test_start_check_passes_a_serving_server_and_fails_one_that_cannot_bind(self):
        with open(f"/proc/{self.server.pid}/status") as status:
            uids = next(line for line in status if line.startswith("Uid:")).split()[1:]
        self.assertNotIn("0", uids, "the server must run as the unprivileged user")

        serving = self.check_bound(self.server.pid, 5)
        self.assertEqual((serving.returncode, serving.stderr), (0, ""))

        second = ServerProcess(os.path.join(self.workdir, "second"))
        self.addCleanup(second.kill)
        second.start(wait_ready=False)
        idle = self.check_bound(second.pid, 1)
        self.assertEqual(idle.returncode, 1)
        self.assertIn("has not bound UDP port 15000", idle.stderr)
        self.assertTrue(second.alive())

        second.kill()
        gone = self.check_bound(second.pid, 1)
        self.assertEqual(gone.returncode, 1)
        self.assertIn("ended during start-up", gone.stderr)

    def test_rotation_under_load_loses_no_line_and_splits_none(self):
        # The installed rotation file must name the folder the unit's server logs to.
        with open(LOGROTATE_FILE) as f:
            rotation = f.read()
        installed_glob = os.path.join(unit_environment(service_unit())["XDG_DATA_HOME"],
                                      os.path.dirname(LOG_RELATIVE), "*.logs")
        self.assertIn(installed_glob + " {", rotation)

        log_dir = self.server.log_directory()
        config = os.path.join(self.workdir, "logrotate.conf")
        with open(config, "w") as f:
            f.write(rotation.replace(installed_glob, os.path.join(log_dir, "*.logs")))
        state = os.path.join(self.workdir, "logrotate.state")

        loadgen = subprocess.Popen(
            [os.path.join(os.path.dirname(server_path()), "velantis-loadgen"), "--players", "8",
             "--rate", "100", "--duration", "4", "--json", "--no-progress"],
            stdout=subprocess.PIPE, text=True)
        rotations = 0
        while loadgen.poll() is None and rotations < 6:
            time.sleep(0.6)
            subprocess.run(["logrotate", "--force", "--state", state, config], check=True,
                           timeout=30)
            rotations += 1
        report = json.loads(loadgen.communicate(timeout=60)[0])["run"]
        self.assertGreaterEqual(rotations, 4, "the load ended before the rotations")
        self.assertEqual(udp_socket_drops(vp.SERVER_PORT), 0)

        # The players' last Disconnects may still be on their way into the log.
        settled, size = 0, -1
        while settled < 5:
            time.sleep(0.1)
            now = os.path.getsize(self.server.log_path())
            settled, size = (settled + 1 if now == size else 0), now

        # Oldest first: Thread_0.logs.N.gz ... Thread_0.logs.1, then Thread_0.logs. A record's
        # lines are written one by one, so a rotation may fall between them.
        def age(path):
            suffix = path[len(self.server.log_path()):].lstrip(".").split(".")[0]
            return int(suffix) if suffix else 0

        files = sorted(glob.glob(self.server.log_path() + "*"), key=age, reverse=True)
        self.assertGreaterEqual(len(files), rotations, files)
        lines = []
        for path in files:
            opener = gzip.open if path.endswith(".gz") else open
            with opener(path, "rb") as f:
                data = f.read()
            self.assertTrue(data == b"" or data.endswith(b"\n"), f"{path} ends inside a line")
            for line in data.splitlines(keepends=True):
                self.assertRegex(line, LOG_LINE, f"a partial or unknown line in {path}")
                lines.append(line)

        # One record per datagram: every datagram's size line is in exactly one file.
        records = collections.Counter()
        fields = {}
        for line in lines:
            name, _, value = line.decode().rstrip("\n").partition(": ")
            fields[name] = value
            if name == "EntityID":
                records[(fields["MessageType"], fields["From clientID"],
                         fields["MessageNumber"])] += 1
        size_lines = lines.count(vp.size_log_line(vp.PACKET_SIZE))
        self.assertEqual(size_lines, sum(records.values()))
        self.assertEqual([key for key, count in records.items() if count > 1], [])
        updates = sum(1 for key in records if key[0] == str(vp.PLAYER_POSITION_UPDATE))
        connects = sum(1 for key in records if key[0] == str(vp.CONNECT))
        self.assertEqual((updates, connects), (report["sent"], report["players"]))
