#!/usr/bin/env python3
"""Scrapes the installed service's metrics as an operator's Prometheus would.

    check_service.py [--promtool promtool] [--client velantis-client] [--port 15100]

Run it where the package is installed and velantis-server.service runs (the unit serves its
metrics on 127.0.0.1:15100): checks the endpoint answers, that one player's session with
velantis-client shows in the counts, that the process figures are there under the unit's
sandbox, and that `promtool check metrics` accepts the exposition. Exits 0 when all holds.
"""

import argparse
import subprocess
import sys
import time
import urllib.request


def scrape(port):
    with urllib.request.urlopen(f"http://127.0.0.1:{port}/metrics", timeout=10) as reply:
        text = reply.read().decode()
    values = dict(line.rsplit(" ", 1) for line in text.splitlines() if not line.startswith("#"))
    return text, {name: float(value) for name, value in values.items()}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--promtool", default="promtool")
    parser.add_argument("--client", default="velantis-client")
    parser.add_argument("--port", type=int, default=15100)
    args = parser.parse_args()

    _, before = scrape(args.port)
    # The move carries the Welcome's entity id, which registers the player where the server
    # has its players prove their addresses: then its relay comes back.
    session = [[args.client, "--id", "4242", "--connect", "--move", "1,2", "--expect", "3",
                "--wait", "60"],
               [args.client, "--id", "4242", "--disconnect", "--wait", "0"]]
    for command in session:
        subprocess.run(command + ["--local-port", "40442", "--quiet"], check=True, timeout=120,
                       stdout=subprocess.DEVNULL)
    # The Disconnect has no answer: the server counts it a moment after the client has sent it.
    disconnects = 'velantis_messages_received_total{type="disconnect"}'
    deadline = time.monotonic() + 60
    text, after = scrape(args.port)
    while after.get(disconnects, 0) <= before.get(disconnects, 0) and time.monotonic() < deadline:
        time.sleep(0.05)
        text, after = scrape(args.port)

    def grew(name):
        return after[name] - before[name]

    problems = []
    expected = {'velantis_messages_received_total{type="connect"}': 1,
                'velantis_messages_received_total{type="position_update"}': 1,
                'velantis_messages_received_total{type="disconnect"}': 1}
    problems += [f"{name} grew by {grew(name):g}, expected {count}"
                 for name, count in expected.items() if grew(name) != count]
    if grew("velantis_packets_sent_total") < 3:
        problems.append("fewer than 3 packets counted as sent for the session")
    problems += [f"{name} missing" for name in ("process_cpu_seconds_total",
                                                "process_resident_memory_bytes",
                                                "process_open_fds", "process_start_time_seconds")
                 if name not in after]
    check = subprocess.run([args.promtool, "check", "metrics"], input=text, capture_output=True,
                           text=True)
    if check.returncode != 0:
        problems.append(f"promtool check metrics: {check.stdout}{check.stderr}".strip())
    for problem in problems:
        print(f"check_service: FAIL {problem}")
    print("check_service: all checks passed" if not problems else
          f"check_service: {len(problems)} failure(s)")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
