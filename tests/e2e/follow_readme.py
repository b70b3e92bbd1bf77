#!/usr/bin/env python3
"""Follows the README as a newcomer would: builds and installs the Debian package, starts and
checks the server, plays the worked example, stops it, removes and purges the package, each with
the README's own commands, and checks after every command what it left on the machine.

    follow_readme.py [--systemd | --no-systemd] [--exec PREFIX] [--cwd DIR] [--list]

The commands come from README.md, from the code blocks that follow a marker comment

    <!-- readme-leg: STEP [systemd | no-systemd] [terminal=2] -->

STEP is one of install, start, check, example, stop, remove, purge-logs; the steps run in that
order, and the blocks of one step in the order written. A block marked systemd runs only where
systemd runs (--systemd), one marked no-systemd only where it does not. In a fenced block every
line is a command; in an indented block the lines after `$ ` are, and the lines that follow a
command are its standard output, compared line by line: the entity ids (drawn at random) must
map one to one onto those shown, and the server's message numbers may all be higher by the same
amount (the README shows those of a freshly started server). Every command must exit with 0.

A command ending in `&`, and every command of a block marked terminal=2 (a second terminal),
runs in the background as a job of a shell would; the runner goes on once the UDP port it binds
(its --local-port, or 15000 for the server) is bound, and checks the output of a terminal=2
block when its commands end. A later command that binds the same port first waits for that job
to end, as a person with two terminals would. `kill %N` stops job N as a shell's `kill` would.
A question on standard input (apt's "Do you want to continue?") is answered yes.

What each command must leave behind is written below (EXPECTATIONS), keyed by the command: a
command of the README that has no expectation here fails the run, so an edit to a command shows
up here. The purge-logs block is an alternative to the plain purge, so the runner first installs
the package again and runs start, check and stop again, so that there are logs to purge.

--exec PREFIX runs every command, and every look at the machine, through PREFIX (split as a
shell would), for instance inside a container:
  --exec "nsenter --target LEADER --mount --uts --ipc --net --pid -- env -i PATH=/usr/sbin:/usr/bin"
Commands run in --cwd (default: the top of this source tree), which must exist there too.

It refuses to run where velantis-server is installed, where its log folders exist (the README's
commands delete them) or where UDP 15000 is in use; whatever it installed or started is purged
and stopped at the end, also when it fails. It binds UDP 15000 and installs a package: run it as
root, in a network namespace (or a machine) of its own.
"""

import argparse
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import velantis_protocol as vp  # noqa: E402
from server_harness import LOG_RELATIVE, parse_udp_table  # noqa: E402

STEPS = ["install", "start", "check", "example", "stop", "remove", "purge-logs"]
MARKER = re.compile(r"^<!--\s*readme-leg:\s*(.*?)\s*-->\s*$")
LOGS = "/var/log/velantis-server"
ROTATION_CONFIG = "/etc/velantis-server/logrotate.conf"


def project_version():
    with open(os.path.join(HERE, "..", "..", "CMakeLists.txt")) as cmake:
        return re.search(r"project\(velantis VERSION ([0-9.]+)", cmake.read()).group(1)


DEB = f"velantis-server_{project_version()}_amd64.deb"
LOG_FILE = os.path.join(LOGS, LOG_RELATIVE)
JOB_SPEC = re.compile(r"^kill %(\d+)$")


class Failed(Exception):
    pass


class Block:
    def __init__(self, step, options, line):
        self.step = step
        self.options = options
        self.line = line
        self.commands = []  # (command, expected output lines or None)

    def applies(self, systemd):
        if "systemd" in self.options:
            return systemd
        if "no-systemd" in self.options:
            return not systemd
        return True


def read_blocks(readme):
    """The marked blocks of the README, in the order written."""
    with open(readme, encoding="utf-8") as text:
        lines = text.read().splitlines()
    blocks = []
    index = 0
    while index < len(lines):
        marker = MARKER.match(lines[index])
        index += 1
        if not marker:
            continue
        words = marker.group(1).split()
        if not words or words[0] not in STEPS:
            raise Failed(f"README.md:{index}: unknown step in {lines[index - 1]!r}; steps: {STEPS}")
        block = Block(words[0], words[1:], index)
        if index < len(lines) and lines[index].startswith("```"):
            index += 1
            pending = ""
            while index < len(lines) and not lines[index].startswith("```"):
                line = lines[index].strip()
                index += 1
                if line.endswith("\\"):
                    pending += line[:-1] + " "
                    continue
                line = pending + line
                pending = ""
                if line and not line.startswith("#"):
                    block.commands.append((line, None))
            index += 1
        else:
            while index < len(lines) and lines[index].startswith("    "):
                line = lines[index][4:]
                index += 1
                if line.startswith("$ "):
                    block.commands.append((line[2:].strip(), []))
                elif block.commands:
                    block.commands[-1][1].append(line)
        if not block.commands:
            raise Failed(f"README.md:{block.line}: the marker is not followed by a code block")
        blocks.append(block)
    return blocks


def without_comment(command):
    """The command without a trailing shell comment, for matching it."""
    quoted = False
    for position, character in enumerate(command):
        if character in "\"'":
            quoted = not quoted
        elif character == "#" and not quoted and (position == 0 or command[position - 1] == " "):
            return command[:position].strip()
    return command.strip()


def bound_port(command):
    """The UDP port a command binds: its --local-port, or the server's; None for the others."""
    port = re.search(r"--local-port[ =](\d+)", command)
    if port:
        return int(port.group(1))
    return vp.SERVER_PORT if "velantis-server" in command else None


class Machine:
    """The machine under test, reached through the prefix."""

    def __init__(self, prefix, cwd):
        self.prefix = prefix
        self.cwd = cwd
        self.jobs = {}  # job number -> (Popen, command, output file)
        self.workdir = None  # made for the first job's output
        # The build's parallelism is the machine's business, not the README's.
        jobs = os.environ.get("VELANTIS_JOBS", "2")
        self.setup = (f"cd {shlex.quote(cwd)} && export "
                      f"CMAKE_BUILD_PARALLEL_LEVEL=${{CMAKE_BUILD_PARALLEL_LEVEL:-{jobs}}}")
        self.apt_config = None

    def wait_for_apt_lock(self):
        """So is another apt or dpkg run on a shared machine: apt waits for its lock, as
        scripts/setup.sh does, rather than failing at once."""
        if self.prefix:
            return  # a machine of its own
        with tempfile.NamedTemporaryFile("w", prefix="velantis-apt.", suffix=".conf",
                                         delete=False) as config:
            config.write('DPkg::Lock::Timeout "600";\n')
        self.apt_config = config.name
        self.setup += f" && export APT_CONFIG={shlex.quote(config.name)}"

    def shell(self, command, timeout, stdin=b"y\n" * 10):
        script = f"{self.setup} && {command}"
        result = subprocess.run(self.prefix + ["bash", "-c", script], input=stdin,
                                capture_output=True, timeout=timeout)
        return (result.returncode, result.stdout.decode("utf-8", "replace"),
                result.stderr.decode("utf-8", "replace"))

    def probe(self, script):
        return self.shell(script, timeout=60, stdin=b"")

    def exists(self, path):
        return self.probe(f"test -e {shlex.quote(path)} || test -L {shlex.quote(path)}")[0] == 0

    def read(self, path):
        code, out, _ = self.probe(f"cat {shlex.quote(path)}")
        return out if code == 0 else None

    def package_status(self):
        code, out, _ = self.probe("dpkg-query -W -f='${Status}' velantis-server 2>/dev/null")
        return out.strip() if code == 0 else ""

    def udp_holders(self, port):
        """uids of the sockets bound to a UDP port in the machine's network namespace."""
        rows = parse_udp_table(self.read("/proc/net/udp") or "")
        return [row.uid for row in rows if row.local_port == port]

    def start_job(self, command):
        number = max(self.jobs, default=0) + 1
        self.workdir = self.workdir or tempfile.mkdtemp(prefix="velantis-readme.")
        output = os.path.join(self.workdir, f"job{number}-{len(os.listdir(self.workdir))}.out")
        with open(output, "wb") as sink:
            process = subprocess.Popen(
                self.prefix + ["bash", "-c", f"{self.setup} && {command}"],
                stdin=subprocess.DEVNULL, stdout=sink, stderr=subprocess.STDOUT,
                start_new_session=True)
        self.jobs[number] = (process, command, output)
        port = bound_port(command)
        if port is not None:
            deadline = time.monotonic() + 120
            while not self.udp_holders(port):
                if process.poll() is not None or time.monotonic() > deadline:
                    raise Failed(f"job %{number} `{command}` has not bound UDP {port}:\n"
                                 + open(output, errors="replace").read())
                time.sleep(0.1)
        return number

    def stop_job(self, number):
        if number not in self.jobs:
            raise Failed(f"kill %{number}: no such job")
        process, _, _ = self.jobs.pop(number)
        if process.poll() is None:
            os.killpg(process.pid, signal.SIGTERM)
            try:
                process.wait(timeout=60)
            except subprocess.TimeoutExpired:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()

    def finish_job(self, number, timeout):
        process, command, output = self.jobs.pop(number)
        try:
            process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
            raise Failed(f"`{command}` did not end within {timeout} s")
        with open(output, encoding="utf-8", errors="replace") as text:
            return process.returncode, text.read()

    def stop_all_jobs(self):
        for number in list(self.jobs):
            self.stop_job(number)


class Output:
    """Compares a command's output with the README's, entity ids and message numbers aside."""

    def __init__(self):
        self.entities = {}
        self.offset = None

    def compare(self, shown, got, command):
        got = [line for line in got.splitlines() if not line.startswith("velantis-client: ")]
        if len(got) != len(shown):
            raise Failed(f"`{command}` printed {len(got)} lines, the README shows {len(shown)}:\n"
                         + "\n".join(got))
        for want, have in zip(shown, got):
            self.compare_line(want, have, command)

    def compare_line(self, want, have, command):
        pattern = r"(entityID|messageNumber)=(\d+)"
        if re.sub(pattern, r"\1=N", want) != re.sub(pattern, r"\1=N", have):
            raise Failed(f"`{command}` printed\n  {have}\nthe README shows\n  {want}")
        for (name, shown), (_, value) in zip(re.findall(pattern, want), re.findall(pattern, have)):
            shown, value = int(shown), int(value)
            if name == "entityID" and shown != 0:
                if self.entities.setdefault(shown, value) != value or \
                        list(self.entities.values()).count(value) > 1:
                    raise Failed(f"`{command}`: entity {value} where the README's {shown} was "
                                 f"{self.entities[shown]} before:\n  {have}")
            elif name == "entityID" and value != 0:
                raise Failed(f"`{command}`: entityID {value}, the README shows 0:\n  {have}")
            elif name == "messageNumber" and have.startswith("recv "):
                if self.offset is None:
                    self.offset = value - shown
                if value - shown != self.offset or self.offset < 0:
                    raise Failed(f"`{command}`: server message number {value}, the README shows "
                                 f"{shown}; earlier ones were {self.offset} higher:\n  {have}")
            elif name == "messageNumber" and value != shown:
                raise Failed(f"`{command}`: messageNumber {value}, the README shows {shown}")


def log_lines(machine, text):
    log = machine.read(LOG_FILE) or ""
    return log.count(text)


# What a command leaves behind, checked after it exited with 0. Keyed by the command as written
# (without its comment). `m` is the Machine, `s` the run's state (systemd, counters).
def expect_built(m, s):
    if not m.exists("build/package/velantis-server"):
        raise Failed("no build/package/velantis-server after building")


def expect_deb(m, s):
    if not m.exists(f"build/package/{DEB}"):
        raise Failed(f"cpack made no build/package/{DEB}")


def expect_installed(m, s):
    if m.package_status() != "install ok installed":
        raise Failed(f"velantis-server is not installed: {m.package_status()!r}")
    for path in ("/usr/bin/velantis-server", "/usr/bin/velantis-client",
                 "/usr/bin/velantis-loadgen",
                 ROTATION_CONFIG,
                 "/usr/lib/systemd/system/velantis-server.service",
                 "/usr/share/doc/velantis-server/README.md"):
        if not m.exists(path):
            raise Failed(f"{path} is not installed")
    if not s["systemd"] and m.udp_holders(vp.SERVER_PORT):
        raise Failed("installing started a server where no systemd runs")


def expect_log_folder(m, s):
    code, out, _ = m.probe(f"stat -c '%U %G %a' {LOGS}")
    if code != 0 or out.split() != ["velantis-server", "adm", "2750"]:
        raise Failed(f"{LOGS} is not velantis-server's, group adm, mode 2750: {out.strip()!r}")


def expect_serving_unprivileged(m, s):
    holders = m.udp_holders(vp.SERVER_PORT)
    if not holders or 0 in holders:
        raise Failed(f"UDP 15000 is not held by an unprivileged user: uids {holders}")


def expect_active(m, s):
    if not m.udp_holders(vp.SERVER_PORT):
        raise Failed("the service is active but nothing holds UDP 15000")


def expect_checked(m, s):
    # The check lands in the log the README names, and leaves no player registered.
    for line in ("NetworkingComponentServer(): Client connected.",
                 "NetworkingComponentServer(): Client disconnected."):
        if log_lines(m, line) < 1:
            raise Failed(f"{LOG_FILE} lacks {line!r} after the check")
    s["connected"] = log_lines(m, "NetworkingComponentServer(): Client connected.")
    if s["connected"] != log_lines(m, "NetworkingComponentServer(): Client disconnected."):
        raise Failed("the check left a player registered")


def expect_example_step(m, s):
    connected = log_lines(m, "NetworkingComponentServer(): Client connected.")
    disconnected = log_lines(m, "NetworkingComponentServer(): Client disconnected.")
    if connected != s["connected"] + 2 or disconnected != connected:
        raise Failed(f"after the example the log holds {connected} connections and "
                     f"{disconnected} disconnections; 2 more of each were expected")


def expect_nothing(m, s):
    pass


def expect_stopped(m, s):
    deadline = time.monotonic() + 60
    while m.udp_holders(vp.SERVER_PORT):
        if time.monotonic() > deadline:
            raise Failed("UDP 15000 is still held after the server was stopped")
        time.sleep(0.1)


def expect_removed(m, s):
    if m.package_status() != "deinstall ok config-files":
        raise Failed(f"after apt remove the package is {m.package_status()!r}")
    for path in ("/usr/bin/velantis-server", "/usr/bin/velantis-client"):
        if m.exists(path):
            raise Failed(f"{path} is left after apt remove")
    for path in (ROTATION_CONFIG, LOG_FILE):
        if not m.exists(path):
            raise Failed(f"apt remove took {path}, which it must keep")
    expect_stopped(m, s)


def expect_purged_but_logs(m, s):
    if m.package_status() not in ("", "unknown ok not-installed"):
        raise Failed(f"after apt purge the package is {m.package_status()!r}")
    if m.exists(ROTATION_CONFIG):
        raise Failed(f"apt purge left {ROTATION_CONFIG}")
    if not m.exists(LOG_FILE):
        raise Failed(f"apt purge took {LOG_FILE}, which only VELANTIS_PURGE_LOGS=yes may")


def expect_no_logs(m, s):
    if m.exists(LOGS):
        raise Failed(f"{LOGS} is left")


def expect_purged_with_logs(m, s):
    if m.package_status() not in ("", "unknown ok not-installed"):
        raise Failed(f"after the purge the package is {m.package_status()!r}")
    expect_no_logs(m, s)


def expect_is_active(m, s, output):
    if output.strip() != "active":
        raise Failed(f"systemctl is-active says {output.strip()!r}")
    expect_active(m, s)


EXPECTATIONS = [
    (r"cmake --preset package && cmake --build --preset package", expect_built),
    (r"\(cd build/package && cpack -G DEB\)", expect_deb),
    (r"apt install \./build/package/" + re.escape(DEB), expect_installed),
    (r"install -d -o velantis-server -g adm -m 2750 /var/log/velantis-server", expect_log_folder),
    (r"runuser -u velantis-server -- env XDG_DATA_HOME=/var/log/velantis-server velantis-server "
     r">/dev/null &", expect_serving_unprivileged),
    (r"systemctl is-active velantis-server", expect_is_active),
    (r"velantis-client --id 1 --connect --move 0,0 --disconnect --expect 3 --quiet",
     expect_checked),
    (r"velantis-client .*", expect_nothing),  # the example: its output is the check
    (r"kill %1", expect_stopped),
    (r"apt remove velantis-server", expect_removed),
    (r"apt purge velantis-server", expect_purged_but_logs),
    (r"rm -rf /var/log/velantis-server", expect_no_logs),
    (r"VELANTIS_PURGE_LOGS=yes apt purge velantis-server", expect_purged_with_logs),
]


def expectation_of(command):
    for pattern, check in EXPECTATIONS:
        if re.fullmatch(pattern, command):
            return check
    raise Failed(f"the README's command `{command}` has no expectation in {__file__}: add what it "
                 "must leave behind")


def run_block(machine, block, state, output_check):
    second_terminal = "terminal=2" in block.options
    for command, shown in block.commands:
        bare = without_comment(command)
        check = expectation_of(bare)
        print(f"readme: [{block.step}] $ {command}", flush=True)
        started = time.monotonic()
        job = JOB_SPEC.match(bare)
        if job:
            machine.stop_job(int(job.group(1)))
        elif second_terminal:
            state["terminals"].append((machine.start_job(bare), command, shown))
            continue
        elif bare.endswith("&"):
            machine.start_job(bare[:-1].strip())
        else:
            port = bound_port(bare)
            if port is not None:
                finish_terminals(machine, state, output_check, port)
            timeout = 3600 if bare.startswith(("cmake", "(cd")) else 300
            code, out, err = machine.shell(bare, timeout=timeout)
            if code != 0:
                raise Failed(f"`{command}` exited with {code}:\n{out}{err}")
            if shown is not None:
                output_check.compare(shown, out, command)
            if check is expect_is_active:
                check(machine, state, out)
                check = expect_nothing
        check(machine, state)
        print(f"readme:   ok in {time.monotonic() - started:.1f} s", flush=True)


def finish_terminals(machine, state, output_check, port=None):
    """A second terminal's commands end by themselves: their output is checked then. With a port,
    only those that bind it are waited for."""
    waiting = [t for t in state["terminals"] if port is None or bound_port(t[1]) == port]
    if not waiting:
        return
    state["terminals"] = [t for t in state["terminals"] if t not in waiting]
    for number, command, shown in waiting:
        code, out = machine.finish_job(number, timeout=300)
        if code != 0:
            raise Failed(f"`{command}` (second terminal) exited with {code}:\n{out}")
        if shown is not None:
            output_check.compare(shown, out, command)
        print(f"readme: [second terminal] `{command}` ended as the README shows", flush=True)


def run(machine, blocks, systemd):
    state = {"systemd": systemd, "connected": 0, "terminals": []}
    by_step = {step: [b for b in blocks if b.step == step and b.applies(systemd)] for step in STEPS}
    for step in STEPS:
        if not by_step[step] and not (step == "stop" and systemd):
            raise Failed(f"README.md has no block for step {step} "
                         f"({'with' if systemd else 'without'} systemd)")
    install_line = [c for c, _ in by_step["install"][-1].commands if c.startswith("apt install")]
    if not install_line:
        raise Failed("the install step has no `apt install` line to install again with")

    for step in STEPS:
        if step == "purge-logs":
            print("readme: the purge that takes the logs is another way: install, start, check "
                  "and stop again first", flush=True)
            again = Block("install", [], 0)
            again.commands = [(install_line[-1], None)]
            run_block(machine, again, state, Output())
            for repeat in ("start", "check", "stop"):
                for block in by_step[repeat]:
                    run_block(machine, block, state, Output())
        output_check = Output()
        for block in by_step[step]:
            run_block(machine, block, state, output_check)
        finish_terminals(machine, state, output_check)
        if step == "example":
            expect_example_step(machine, state)


def refuse_if_used(machine):
    status = machine.package_status()
    if status and status != "unknown ok not-installed":
        raise Failed(f"velantis-server is already installed here ({status}); this run installs, "
                     "starts and purges it. Purge it first (apt purge velantis-server) or run "
                     "on a machine of its own.")
    if machine.exists(LOGS):
        raise Failed(f"{LOGS} exists; the README's commands delete it. Move it away first.")
    if machine.udp_holders(vp.SERVER_PORT):
        raise Failed("UDP 15000 is in use here: run in a network namespace of its own "
                     "(unshare -n) or stop what holds it")


def clean_up(machine):
    machine.stop_all_jobs()
    if machine.package_status() not in ("", "unknown ok not-installed"):
        print("readme: purging velantis-server", flush=True)
        machine.probe("dpkg --purge velantis-server >/dev/null")
    machine.probe(f"rm -rf {LOGS}")
    if machine.workdir:
        shutil.rmtree(machine.workdir, ignore_errors=True)
    if machine.apt_config:
        os.remove(machine.apt_config)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--systemd", dest="systemd", action="store_true", default=None)
    mode.add_argument("--no-systemd", dest="systemd", action="store_false")
    parser.add_argument("--exec", default="", help="prefix for every command, e.g. nsenter ...")
    parser.add_argument("--cwd", default=os.path.normpath(os.path.join(HERE, "..", "..")))
    parser.add_argument("--readme", default=None, help="default: README.md in --cwd")
    parser.add_argument("--list", action="store_true", help="print the plan and run nothing")
    args = parser.parse_args()
    # Stopped from outside (a leg's time limit), it still stops, purges and removes what it made.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("readme: stopped"))
    readme = args.readme or os.path.join(args.cwd, "README.md")
    machine = Machine(shlex.split(args.exec), args.cwd)
    systemd = args.systemd
    if systemd is None:
        systemd = machine.probe("test -d /run/systemd/system")[0] == 0
    try:
        blocks = read_blocks(readme)
        if args.list:
            for step in STEPS:
                for block in blocks:
                    if block.step == step and block.applies(systemd):
                        for command, _ in block.commands:
                            print(f"{step}: {command}")
            return
        refuse_if_used(machine)
    except Failed as failure:
        print(f"readme: {failure}", file=sys.stderr)
        sys.exit(1)
    print(f"readme: following {readme} {'with' if systemd else 'without'} systemd", flush=True)
    try:
        machine.wait_for_apt_lock()
        run(machine, blocks, systemd)
    except (Failed, subprocess.TimeoutExpired) as failure:
        print(f"readme: FAILED: {failure}", file=sys.stderr)
        sys.exit(1)
    finally:
        clean_up(machine)
    print("readme: every command did what the README says")


if __name__ == "__main__":
    main()
