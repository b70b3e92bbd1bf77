"""The installed package's start check, against servers run as the unit runs the server.

Runs only with run_e2e.py --service-unit (the package leg of scripts/test.sh, inside the container
it boots). The unit runs the check as root outside its sandbox ("+"), so this does too. Rotation
of the log is checked by the leg itself, driven by the service's timer (rotation_check.py).
"""

import os
import shlex
import subprocess
import unittest

import velantis_protocol as vp
from server_harness import ServerProcess, ServerTestCase, service_unit, unit_environment


def unit_setting(name):
    with open(service_unit()) as unit:
        for line in unit:
            if line.startswith(name + "="):
                return line[len(name) + 1:].strip()
    raise AssertionError(f"{service_unit()} has no {name}=")


@unittest.skipUnless(service_unit(), "needs the installed unit (run_e2e.py --service-unit)")
class Service(ServerTestCase):
    def check_bound(self, pid, seconds, port=str(vp.SERVER_PORT)):
        # The unit's own command line, with its ${MAINPID} and time limit filled in.
        words = shlex.split(unit_setting("ExecStartPost"))
        # The port is the unit's setting, 15000 unless /etc/default/velantis-server says otherwise.
        self.assertEqual(words[1:], ["${MAINPID}", "${VELANTIS_PORT}", "5"])
        self.assertEqual(unit_environment(service_unit()).get("VELANTIS_PORT"),
                         str(vp.SERVER_PORT))
        self.assertTrue(words[0].startswith("+/"), "the check must run outside the sandbox")
        return subprocess.run([words[0][1:], str(pid), port, str(seconds)], capture_output=True,
                              text=True, timeout=seconds + 5, env={"PATH": "/usr/bin:/bin"})

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

        for port in ("15000abc", "", "0", "65536"):
            usage = self.check_bound(self.server.pid, 1, port)
            self.assertEqual(usage.returncode, 2, port)
            self.assertIn("usage: velantis-server-check-bound PID PORT SECONDS", usage.stderr)
