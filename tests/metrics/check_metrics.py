#!/usr/bin/env python3
"""The metrics endpoint as an operator's Prometheus sees it.

    check_metrics.py --server velantis-server --loadgen velantis-loadgen \
                     [--prometheus prometheus --promtool promtool]

Starts the real server with --metrics on 127.0.0.1, then:

  1. counters: sends datagrams of every outcome and message type with known counts and reads
     back exactly those counts; checks the server listens on TCP only where it was told, and that
     a second server refused the same metrics port exits with 1;
  2. scrape: starts Prometheus with a configuration and data folder of its own (scraping every
     second) while velantis-loadgen plays a fixed load, and meanwhile attacks the metrics port
     (garbage, an oversized request line and headers, a slow request, many idle connections,
     other paths and methods) while asking for /metrics, which must keep answering, and
     /healthz, which must say "ok";
  3. afterwards: loadgen must report 0 relays lost; Prometheus's players gauge during the load
     must equal loadgen's players and its rate of packets sent loadgen's offered relays (within
     15%); the packets-sent counter must equal what loadgen received exactly; the idle connections
     must have been closed by the server; `promtool check metrics` must pass on the exposition.

Binds UDP 15000, TCP 15100 and 9090 on loopback: run it in a network namespace of its own.
Every process it starts is stopped when it ends, however it ends.
"""

import argparse
import ctypes
import json
import re
import os
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
import velantis_protocol as vp  # noqa: E402
from checks import Failures  # noqa: E402
from server_harness import metric_samples as samples  # noqa: E402

METRICS_PORT = 15100
PROMETHEUS_PORT = 9090
PLAYERS = 8
RATE = 30
DURATION = 24
RATE_TOLERANCE = 0.15
IDLE_CONNECTIONS = 150


def die_with_parent():
    # A child left behind by a killed checker would hold the ports; the kernel ends it instead.
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


def start(command, **kwargs):
    return subprocess.Popen(command, preexec_fn=die_with_parent, **kwargs)


def stop(process):
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def http_get(path, method="GET", timeout=3.0):
    """(status, body) of one request to the metrics port."""
    request = urllib.request.Request(f"http://127.0.0.1:{METRICS_PORT}{path}", method=method)
    try:
        with urllib.request.urlopen(request, timeout=timeout) as response:
            return response.status, response.read().decode()
    except urllib.error.HTTPError as error:
        return error.code, error.read().decode()


def wait_until(condition, seconds, what):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            if condition():
                return
        except OSError:
            pass
        time.sleep(0.1)
    raise RuntimeError(f"{what} within {seconds} s")


def send_datagram(data):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        sock.sendto(data, ("127.0.0.1", vp.SERVER_PORT))


def tcp_listeners(pid):
    """Addresses the process listens on with TCP, from ss."""
    out = subprocess.run(["ss", "-Hltnp"], capture_output=True, text=True, check=True).stdout
    return sorted(line.split()[3] for line in out.splitlines() if f"pid={pid}," in line)


def check_counters(failures, server_pid, binary, env):
    """Datagrams of known outcomes give exactly their counts."""
    before = samples(http_get("/metrics")[1])
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as player:
        player.settimeout(30)
        player.bind(("127.0.0.1", 0))
        connect = vp.Packet(client_id=900, message_type=vp.CONNECT, text=b"counters").encode()
        # Both are answered (announcement and Welcome): the player never sends the update that
        # would register it.
        for _ in range(2):
            player.sendto(connect, ("127.0.0.1", vp.SERVER_PORT))
        for _ in range(4):
            player.recvfrom(vp.RECEIVE_BUFFER_SIZE)
        player.sendto(vp.Packet(client_id=900, message_type=vp.DISCONNECT).encode(),
                      ("127.0.0.1", vp.SERVER_PORT))
    for size in (1, 1055, 1057):
        send_datagram(bytes(size))
    bad = bytearray(vp.Packet(client_id=901, message_type=vp.CONNECT).encode())
    bad[vp.MESSAGE_OFFSET] ^= 1
    send_datagram(bytes(bad))
    send_datagram(bytes(bad))
    send_datagram(vp.Packet(client_id=902, message_type=4).encode())
    send_datagram(vp.Packet(client_id=903, message_type=vp.PLAYER_POSITION_UPDATE).encode())
    expected = {
        'velantis_datagrams_received_total{outcome="valid"}': 5,
        'velantis_datagrams_received_total{outcome="wrong_size"}': 3,
        'velantis_datagrams_received_total{outcome="bad_checksum"}': 2,
        'velantis_datagrams_received_total{outcome="receive_error"}': 0,
        'velantis_messages_received_total{type="connect"}': 2,
        'velantis_messages_received_total{type="disconnect"}': 1,
        'velantis_messages_received_total{type="position_update"}': 1,
        'velantis_messages_received_total{type="unknown"}': 1,
        'velantis_connects_refused_total{reason="already_registered"}': 0,
        # Nobody is registered when the update comes: it is dropped, nothing relayed.
        'velantis_messages_dropped_total{reason="unregistered_sender"}': 1,
        "velantis_packets_sent_total": 4,
        "velantis_send_failures_total": 0,
        "velantis_log_writes_lost_total": 0,
    }

    def counted():
        after = samples(http_get("/metrics")[1])
        return all(after[k] - before[k] == v for k, v in expected.items())

    try:
        wait_until(counted, 60, "the counters did not reach the datagrams' counts")
    except RuntimeError:
        pass
    after = samples(http_get("/metrics")[1])
    for key, value in expected.items():
        failures.check(after[key] - before[key] == value,
                       f"{key} grew by {after[key] - before[key]:g}, expected {value}")
    failures.check(after["velantis_registered_players"] == 0, "players left registered")
    failures.check(after['velantis_build_info{version="' + VERSION + '"}'] == 1,
                   "velantis_build_info does not carry the version")
    failures.check("process_cpu_seconds_total" in after, "process_cpu_seconds_total missing")
    for name in ("process_resident_memory_bytes", "process_open_fds", "process_max_fds",
                 "process_start_time_seconds"):
        failures.check(after.get(name, 0) > 0, f"{name} missing or 0")
    failures.check(abs(after["process_start_time_seconds"] - time.time()) < 600,
                   "process_start_time_seconds is not near now")

    listeners = tcp_listeners(server_pid)
    failures.check(listeners == [f"127.0.0.1:{METRICS_PORT}"],
                   f"the server listens on {listeners}, expected only 127.0.0.1:{METRICS_PORT}")
    second = subprocess.run([binary, f"--metrics=127.0.0.1:{METRICS_PORT}"], env=env,
                            capture_output=True, text=True, timeout=10)
    failures.check(second.returncode == 1 and "MetricsEndpoint(): Cannot listen" in second.stderr,
                   f"a second server on the same metrics port exited with {second.returncode}, "
                   f"stderr {second.stderr.strip()!r}")


def raw_exchange(payload, pause=0.0, timeout=8.0):
    """Sends the bytes, then reads until the server closes; the status line of the answer, or ''."""
    with socket.create_connection(("127.0.0.1", METRICS_PORT), timeout=timeout) as sock:
        try:
            for piece in payload:
                sock.sendall(piece)
                time.sleep(pause)
        except OSError:
            pass  # the server may close while we still send
        answer = b""
        try:
            while True:
                data = sock.recv(65536)
                if not data:
                    break
                answer += data
        except ConnectionResetError:
            pass
    return answer.split(b"\r\n", 1)[0].decode(errors="replace")


def attack(failures, results):
    """Bad input on the metrics port; /metrics must answer between every attack."""
    answers = []

    def metrics_answers():
        begin = time.monotonic()
        status, body = http_get("/metrics", timeout=2)
        answers.append((status, time.monotonic() - begin, "velantis_packets_sent_total" in body))

    idle = []
    for _ in range(IDLE_CONNECTIONS):
        idle.append(socket.create_connection(("127.0.0.1", METRICS_PORT), timeout=10))
    held_since = time.monotonic()
    metrics_answers()

    cases = [
        ("garbage", [bytes(range(256)) * 16], ("400",)),
        ("oversized request line", [b"GET /" + b"a" * 20000 + b" HTTP/1.1\r\n\r\n"],
         ("431", "400")),
        ("oversized headers",
         [b"GET /metrics HTTP/1.1\r\n"
          + b"".join(b"X-H%d: %s\r\n" % (i, b"v" * 1000) for i in range(20)) + b"\r\n"],
         ("431",)),
        ("other path", [b"GET / HTTP/1.1\r\nHost: x\r\n\r\n"], ("404",)),
        ("path beside /metrics", [b"GET /metrics/../x HTTP/1.1\r\nHost: x\r\n\r\n"], ("404",)),
        ("POST", [b"POST /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n"], ("405",)),
        ("HEAD", [b"HEAD /metrics HTTP/1.1\r\nHost: x\r\n\r\n"], ("405",)),
        ("body", [b"GET /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nhello"],
         ("400",)),
    ]
    for name, payload, statuses in cases:
        status_line = raw_exchange(payload)
        failures.check(any(f" {s} " in status_line for s in statuses),
                       f"{name}: answered {status_line!r}, expected {' or '.join(statuses)}")
        metrics_answers()

    # A request trickled a byte at a time is cut off at the 5 s deadline.
    begin = time.monotonic()
    trickled = [bytes([b]) for b in b"GET /metrics HTTP/1.1\r\nHost: slow\r\n" + b"X" * 40]
    raw_exchange(trickled, pause=0.2, timeout=15)
    failures.check(time.monotonic() - begin < 9, "a trickled request was not cut off in time")
    metrics_answers()

    # The idle connections: every one is closed by the server (by the deadline, or to make room),
    # however late a busy machine lets it come round to them.
    time.sleep(max(0.0, 6.5 - (time.monotonic() - held_since)))
    still_open = 0
    for sock in idle:
        sock.settimeout(max(0.5, held_since + 60 - time.monotonic()))
        try:
            if sock.recv(1) != b"":
                still_open += 1
        except socket.timeout:
            still_open += 1
        except OSError:
            pass
        sock.close()
    failures.check(still_open == 0, f"{still_open} idle connections still open after 60 s")
    metrics_answers()

    for status, seconds, complete in answers:
        failures.check(status == 200 and complete and seconds < 2,
                       f"/metrics answered {status} in {seconds:.2f} s during the attack")
    results["answers"] = len(answers)


def documented_queries():
    """The queries of docs/metrics.md's table of them (second column, each in backquotes)."""
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs",
                        "metrics.md")
    with open(path) as doc:
        text = doc.read()
    table = text[text.index("A few queries:"):].split("\n\n")[1]
    return [query for row in table.splitlines()[2:]
            for query in re.findall(r"`([^`]+)`", row.split(" | ")[1])]


def prometheus_query(query, at):
    url = (f"http://127.0.0.1:{PROMETHEUS_PORT}/api/v1/query?" +
           urllib.parse.urlencode({"query": query, "time": f"{at:.3f}"}))
    with urllib.request.urlopen(url, timeout=10) as response:
        reply = json.load(response)
    result = reply["data"]["result"]
    return float(result[0]["value"][1]) if result else None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", required=True)
    parser.add_argument("--loadgen", required=True)
    parser.add_argument("--prometheus", default="prometheus")
    parser.add_argument("--promtool", default="promtool")
    args = parser.parse_args()
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("check_metrics: stopped"))

    global VERSION
    VERSION = subprocess.run([args.server, "--version"], capture_output=True, text=True,
                             check=True).stdout.split()[-1]
    failures = Failures(echo="check_metrics")
    processes = []
    with tempfile.TemporaryDirectory(prefix="velantis-metrics-") as work:
        env = dict(os.environ, XDG_DATA_HOME=os.path.join(work, "data"))
        try:
            server_err = open(os.path.join(work, "server.err"), "w")
            server = start([args.server, f"--metrics=127.0.0.1:{METRICS_PORT}"], env=env,
                           stdout=subprocess.DEVNULL, stderr=server_err)
            processes.append(server)
            wait_until(lambda: http_get("/metrics")[0] == 200, 60, "no /metrics")

            print("check_metrics: counters", flush=True)
            check_counters(failures, server.pid, args.server, env)

            config = os.path.join(work, "prometheus.yml")
            with open(config, "w") as out:
                out.write(SCRAPE_CONFIG)
            prometheus_log = open(os.path.join(work, "prometheus.log"), "w")
            prometheus = start([args.prometheus, f"--config.file={config}",
                                f"--storage.tsdb.path={os.path.join(work, 'tsdb')}",
                                f"--web.listen-address=127.0.0.1:{PROMETHEUS_PORT}",
                                "--log.level=warn"],
                               stdout=prometheus_log, stderr=subprocess.STDOUT)
            processes.append(prometheus)
            wait_until(lambda: prometheus_query("up", time.time()) == 1, 60,
                       "Prometheus did not scrape the endpoint")
            sent_before = samples(http_get("/metrics")[1])["velantis_packets_sent_total"]

            print(f"check_metrics: loadgen {PLAYERS} players x {RATE} Hz for {DURATION} s, "
                  "with bad input on the metrics port", flush=True)
            loadgen_err = open(os.path.join(work, "loadgen.err"), "w")
            loadgen_start = time.time()
            loadgen = start([args.loadgen, "--players", str(PLAYERS), "--rate", str(RATE),
                             "--duration", str(DURATION), "--server-pid", str(server.pid),
                             "--json"], stdout=subprocess.PIPE, stderr=loadgen_err, text=True)
            processes.append(loadgen)
            time.sleep(3)
            results = {}
            attacker = threading.Thread(target=attack, args=(failures, results))
            attacker.start()
            health = http_get("/healthz", timeout=10)
            failures.check(health == (200, "ok\n"), f"/healthz under load answered {health}")
            attacker.join(timeout=DURATION + 30)
            failures.check(not attacker.is_alive(), "the bad-input run did not finish")
            output, _ = loadgen.communicate(timeout=DURATION + 60)
            print(f"check_metrics: loadgen {output.strip()}", flush=True)
            report = json.loads(output)["run"]
            failures.check(loadgen.returncode == 0, f"loadgen exited with {loadgen.returncode}")
            # An update the kernel dropped at the server's full socket costs every player its
            # relay: only a loss beyond what the kernel counted is the server's.
            dropped = ((report["serverSocketDrops"] or 0) * PLAYERS
                       + (report["loadgenSocketDrops"] or 0))
            failures.check(report["lost"] <= dropped, f"loadgen lost {report['lost']} relays, "
                           f"beyond the {dropped} the kernel's drops account for")
            failures.check(results.get("answers", 0) >= 10, "the bad-input run did not complete")

            # In the middle of the send phase, as Prometheus saw it.
            send_begin = loadgen_start + report["connectSeconds"]
            middle = send_begin + report["sendSeconds"] * 0.75
            wait_until(lambda: time.time() > middle + 2, 10, "clock")
            players = prometheus_query("velantis_registered_players", middle)
            failures.check(players == PLAYERS,
                           f"Prometheus saw {players} players mid-run, loadgen had {PLAYERS}")
            rate = prometheus_query("rate(velantis_packets_sent_total[5s])", middle)
            offered = report["offeredRelaysPerSecond"]
            print(f"check_metrics: Prometheus: {players} players, {rate} packets/s sent; "
                  f"loadgen: {PLAYERS} players, {offered} relays/s offered", flush=True)
            failures.check(rate is not None and abs(rate - offered) <= RATE_TOLERANCE * offered,
                           f"Prometheus's rate of packets sent {rate} is not within "
                           f"{RATE_TOLERANCE:.0%} of loadgen's {offered} relays/s")
            for query in documented_queries():
                # "Anything failing?" rightly answers nothing while nothing fails.
                answer = prometheus_query(query, middle)
                failures.check(answer is not None or " > 0" in query,
                               f"docs/metrics.md's query {query} answers nothing mid-run")
            failures.check(prometheus_query("min_over_time(up[2m])", time.time()) == 1,
                           "Prometheus missed a scrape during the run")

            exposition = http_get("/metrics")[1]
            after = samples(exposition)
            received = (report["received"] + report["announcements"] + report["welcomed"] +
                        report["otherPackets"])
            sent = after["velantis_packets_sent_total"] - sent_before
            failures.check(report["serverSocketDrops"] or sent == received,
                           f"the server counted {sent:g} packets sent, loadgen received "
                           f"{received}")
            failures.check(after["velantis_registered_players"] == 0,
                           "players still registered after loadgen disconnected them all")

            check = subprocess.run([args.promtool, "check", "metrics"], input=exposition,
                                   capture_output=True, text=True)
            failures.check(check.returncode == 0,
                           f"promtool check metrics: {check.stdout}{check.stderr}".strip())
            failures.check(server.poll() is None, "the server died")
        finally:
            for process in reversed(processes):
                stop(process)
        # Only the reports of the counters step's faulty datagrams; a sanitizer's report or the
        # endpoint's complaint would be something else.
        expected_errors = {"NetworkingComponent(): [CORRUPTED] The packet received generate a "
                           "wrong checksum.", "NetworkingComponent(): Default case triggered."}
        errors = open(os.path.join(work, "server.err")).read()
        unexpected = [line for line in errors.splitlines() if line not in expected_errors]
        failures.check(not unexpected, "the server said on standard error: " +
                       "\n".join(unexpected[:40]))

    if failures.messages:
        print(f"check_metrics: {len(failures.messages)} failure(s)")
        return 1
    print("check_metrics: all checks passed")
    return 0


VERSION = ""
SCRAPE_CONFIG = f"""\
global:
  scrape_interval: 1s
  scrape_timeout: 1s
scrape_configs:
  - job_name: velantis
    static_configs:
      - targets: ["127.0.0.1:{METRICS_PORT}"]
"""

if __name__ == "__main__":
    sys.exit(main())
