#!/usr/bin/env python3
"""The arena example on a virtual display: four bots walk their circles, a window player watches.

Runs against a server already listening on 127.0.0.1:15000 (the client leg's with_server). Starts
Xvfb, `arena --bots 4` (ids 101 to 104, bot k walking circle k-1, each saying a chat line every
five seconds) and, once every bot is welcomed, a window player that saves its frame when it has
shown all four bots for 30 frames and heard two bots' lines. Then reads the BMP's pixels: each
bot's dot is where the window says it drew it, that place is the world position it names (on
that bot's circle: what the interpolation gave is on the path walked), in the bot's colour and
nowhere else, with a name above it; the chat lines are shown.

Usage: arena.py --arena PATH [--keep FOLDER]
"""
import argparse
import math
import os
import re
import resource
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

BOTS = 4
FIRST_BOT_ID = 101
WATCHER_ID = 100
WIDTH, HEIGHT, SCALE, DOT = 640, 480, 3, 6
PATH_RADIUS = 12.0
NAME_COLOUR = (230, 230, 230)
CHAT_COLOUR = (160, 200, 160)
HEARD = 2


def bot_circle(index):
    """The centre of the circle bot `index` (0-based) walks, as the arena lays them out."""
    return -60.0 + 40.0 * (index % 4), 20.0 if index % 8 < 4 else -20.0


def read_bmp(path):
    """(width, height, pixel(x, y) -> (r, g, b)) of an uncompressed 24- or 32-bit BMP."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:2] != b"BM":
        raise ValueError(f"{path} is no BMP")
    offset, = struct.unpack_from("<I", data, 10)
    width, height, _, bits, compression = struct.unpack_from("<iiHHI", data, 18)
    if bits not in (24, 32) or compression not in (0, 3):
        raise ValueError(f"{path}: {bits} bits, compression {compression}")
    step = bits // 8
    stride = (width * step + 3) & ~3

    def pixel(x, y):
        row = height - 1 - y if height > 0 else y  # bottom-up unless the height is negative
        at = offset + row * stride + x * step
        return data[at + 2], data[at + 1], data[at]

    return width, abs(height), pixel


def wait_for_lines(stream, count, text, deadline, seen):
    """Reads lines until `count` of them contain `text`; False at the deadline or the end."""
    buffer = b""
    while sum(text in line for line in seen) < count:
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([stream], [], [], left)[0]:
            return False
        chunk = os.read(stream.fileno(), 4096)
        if not chunk:
            return False
        buffer += chunk
        *lines, buffer = buffer.split(b"\n")
        seen.extend(line.decode(errors="replace") for line in lines)
    return True


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def check_frame(shot, listing):
    """The failures found in the saved frame and its listing."""
    failures = []
    width, height, pixel = read_bmp(shot)
    if (width, height) != (WIDTH, HEIGHT):
        return [f"the frame is {width}x{height}"]
    chat = sum(pixel(x, y) == CHAT_COLOUR for y in range(6, 46) for x in range(6, 300))
    if chat < 100 * HEARD:
        failures.append(f"{chat} pixels of chat lines at the top, for {HEARD} lines")
    drawn = {}
    with open(listing) as f:
        for line in f:
            kind, ident, x, y, px, py, colour, name = line.rstrip("\n").split(" ", 7)
            drawn[int(ident)] = (kind, float(x), float(y), int(px), int(py),
                                 tuple(bytes.fromhex(colour)), name)
    expected = {WATCHER_ID} | set(range(FIRST_BOT_ID, FIRST_BOT_ID + BOTS))
    if set(drawn) != expected:
        return [f"drawn players {sorted(drawn)}, expected {sorted(expected)}"]
    colours = [entry[5] for entry in drawn.values()]
    if len(set(colours)) != len(colours) or NAME_COLOUR in colours:
        failures.append(f"colours not told apart: {colours}")
    # Every pixel of each colour, to see that a dot is drawn once and only where it is said to be.
    where = {colour: [] for colour in colours}
    for y in range(height):
        for x in range(width):
            found = where.get(pixel(x, y))
            if found is not None:
                found.append((x, y))
    for ident, (kind, x, y, px, py, colour, name) in sorted(drawn.items()):
        who = f"{kind} {ident} ({name})"
        if ident != WATCHER_ID:
            if kind != "player" or name != f"bot {ident - FIRST_BOT_ID + 1}":
                failures.append(f"{who}: not listed as the bot it is")
            # Bots step along their circles by frames, two frames (1/30 rad) between updates
            # however busy the machine, and the library interpolates between updates without
            # running ahead of them: its position lies on the circle, give or take a chord.
            cx, cy = bot_circle(ident - FIRST_BOT_ID)
            off_path = abs(math.hypot(x - cx, y - cy) - PATH_RADIUS)
            if off_path > 1.0:
                failures.append(f"{who}: drawn at ({x}, {y}), {off_path:.2f} off its circle")
        if abs(px - (WIDTH / 2 + x * SCALE)) > 1 or abs(py - (HEIGHT / 2 - y * SCALE)) > 1:
            failures.append(f"{who}: world ({x}, {y}) is not pixel ({px}, {py})")
        for dx, dy in ((0, 0), (-DOT + 1, 0), (DOT - 1, 0), (0, -DOT + 1), (0, DOT - 1)):
            if pixel(px + dx, py + dy) != colour:
                failures.append(f"{who}: pixel ({px + dx}, {py + dy}) is {pixel(px + dx, py + dy)},"
                                f" not its colour {colour}")
                break
        strays = [p for p in where[colour] if math.hypot(p[0] - px, p[1] - py) > DOT + 1]
        if strays:
            failures.append(f"{who}: its colour also at {strays[:3]}")
        label = sum(pixel(lx, ly) == NAME_COLOUR
                    for ly in range(py - DOT - 10, py - DOT - 3)
                    for lx in range(px - 3 * len(name), px + 3 * len(name)))
        if label < 10 * len(name.replace(" ", "")):
            failures.append(f"{who}: {label} pixels of a name above the dot")
    return failures


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--arena", required=True)
    parser.add_argument("--keep", help="copy the frame and its listing here")
    args = parser.parse_args()
    folder = tempfile.mkdtemp(prefix="velantis-arena.")
    shot = os.path.join(folder, "arena.bmp")
    processes = []
    status = 1
    try:
        display_read, display_write = os.pipe()
        xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(display_write), "-screen", "0",
                                 f"{WIDTH}x{HEIGHT}x24", "-nolisten", "tcp"],
                                pass_fds=[display_write], stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        processes.append(xvfb)
        os.close(display_write)
        with os.fdopen(display_read, "rb") as display_pipe:
            seen = []
            if not wait_for_lines(display_pipe, 1, "", time.monotonic() + 60, seen):
                print("arena: Xvfb named no display within 60 s")
                return 1
            display = ":" + seen[0].strip()

        bots = subprocess.Popen([args.arena, "--bots", str(BOTS), "--id", str(FIRST_BOT_ID)],
                                stdout=subprocess.PIPE)
        processes.append(bots)
        bot_lines = []
        if not wait_for_lines(bots.stdout, BOTS, " is entity ", time.monotonic() + 60,
                              bot_lines):
            print(f"arena: not every bot was welcomed within 60 s: {bot_lines}")
            return 1
        bots_cpu_start, bots_start = cpu_seconds(bots.pid), time.monotonic()

        window_start = time.monotonic()
        window = subprocess.Popen([args.arena, "--walk", "--name", "watcher", "--id",
                                   str(WATCHER_ID), "--players", str(BOTS), "--frames", "30",
                                   "--heard", str(HEARD), "--screenshot", shot],
                                  env=dict(os.environ, DISPLAY=display), stdout=subprocess.PIPE,
                                  text=True)
        processes.append(window)
        try:
            window_output = window.communicate(timeout=90)[0]
        except subprocess.TimeoutExpired:
            print("arena: the window showed no frame with every bot and two lines within 90 s")
            return 1
        window_seconds = time.monotonic() - window_start
        # The only child waited for so far: its CPU time is the window's.
        usage = resource.getrusage(resource.RUSAGE_CHILDREN)
        window_cpu = usage.ru_utime + usage.ru_stime
        if window.returncode != 0:
            print(f"arena: the window ended with {window.returncode}")
            return 1
        heard = [line for line in window_output.splitlines()
                 if re.fullmatch(r"arena: watcher heard (bot \d): \1 says hi", line)]
        if len(heard) < HEARD:
            print(f"arena: the window heard {heard} of the bots: {window_output}")
            return 1

        bots_cpu = cpu_seconds(bots.pid) - bots_cpu_start
        bots_seconds = time.monotonic() - bots_start
        bots.send_signal(signal.SIGTERM)
        try:
            bots.wait(30)
        except subprocess.TimeoutExpired:
            print("arena: the bots did not leave within 30 s of SIGTERM")
            return 1
        if bots.returncode != 0:
            print(f"arena: the bots ended with {bots.returncode}")
            return 1
        # Measured, not judged: a frame loop that paces itself uses a small part of a core.
        print(f"arena: {BOTS} bots used {bots_cpu:.2f} s of CPU in {bots_seconds:.1f} s; "
              f"the window {window_cpu:.2f} s in {window_seconds:.1f} s to its frame")

        if args.keep:
            os.makedirs(args.keep, exist_ok=True)
            for name in ("arena.bmp", "arena.bmp.txt"):
                shutil.copy(os.path.join(folder, name), args.keep)
        failures = check_frame(shot, shot + ".txt")
        for failure in failures:
            print(f"arena: {failure}")
        if not failures:
            with open(shot + ".txt") as f:
                print("arena: drawn where reported:", "; ".join(
                    " ".join(line.split()[i] for i in (1, 2, 3)) for line in f))
        status = 0 if not failures else 1
    finally:
        for process in reversed(processes):
            if process.poll() is None:
                process.kill()
                process.wait()
        shutil.rmtree(folder, ignore_errors=True)
    return status


if __name__ == "__main__":
    sys.exit(main())
