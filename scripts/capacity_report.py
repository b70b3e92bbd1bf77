#!/usr/bin/env python3
"""Prints the tables of what scripts/run-capacity.sh measured, from the `velantis-loadgen --json`
results it keeps: the largest loss-free load of every program and round, the medians and their
ratios, and the CPU per relay at the fixed load. scripts/plot-capacity.py shares its figures.

Usage: scripts/capacity_report.py RESULTS-FOLDER ROUNDS "PROGRAM..." ["PLAYERS..."]
"""
import json
import os
import statistics
import sys

LABELS = {"server": "Server", "snapshots": "Server, snapshots",
          "mixed": "Server, half snapshots", "interest": "Server, snapshots, interest",
          "baseline": "Server before",
          "floor": "Floor", "baseline-floor": "Floor before"}


def cpu_per_relay(run):
    cpu = run["serverCpuSeconds"]
    return 1e6 * cpu / run["received"] if cpu is not None and run["received"] else None


def share(seconds, run):
    """`seconds` of CPU as a percentage of one core over the run's sending and draining."""
    wall = run["sendSeconds"] + run["drainSeconds"]
    return 100.0 * seconds / wall if seconds is not None and wall > 0 else None


def best(path):
    if not os.path.exists(path):
        return None
    with open(path) as f:
        data = json.load(f)
    b = data["largestLossFree"]
    if b is None:
        return {"players": None}
    return {
        "players": b["players"],
        "relays": b["offeredRelaysPerSecond"],
        "cpu": share(b["serverCpuSeconds"], b),
        "loadgen": share(b["loadgenCpuSeconds"], b),
        "us_per_relay": cpu_per_relay(b),
        "p99": b["latencyP99Ms"],
        "lossy": min((r["players"] for r in data["runs"] if not r["lossFree"]), default=None),
    }


def pct(value):
    return f"{value:.0f}%" if value is not None else "-"


def largest_loss_free(folder, rounds, programs):
    print("Largest loss-free number of players at 30 Hz, every update relayed to every player; "
          "relays/s")
    print("out; p99 relay latency; the program's CPU and velantis-loadgen's (% of one core) and "
          "the")
    print("program's CPU per relay, all at that load.")
    print()
    print("| Round | Program | Players | Relays/s | p99 | CPU | CPU/relay | Loadgen CPU |")
    print("|---|---|---|---|---|---|---|---|")
    found = {name: [] for name in programs}
    for k in range(1, rounds + 1):
        for name in programs:
            r = best(f"{folder}/{name}-{k}.json")
            if r is None:
                continue
            if r["players"] is None:
                print(f"| {k} | {LABELS[name]} | none loss-free | - | - | - | - | - |")
                continue
            found[name].append(r["players"])
            lossy = f", lost at {r['lossy']}" if r["lossy"] else ""
            per = f"{r['us_per_relay']:.1f} us" if r["us_per_relay"] is not None else "-"
            p99 = f"{r['p99']:.1f} ms" if r["p99"] is not None else "-"
            print(f"| {k} | {LABELS[name]} | {r['players']}{lossy} | {r['relays']:.0f} | {p99} | "
                  f"{pct(r['cpu'])} | {per} | {pct(r['loadgen'])} |")
    medians = {name: statistics.median(v) for name, v in found.items() if v}
    if medians:
        print()
        print("Median players: "
              + ", ".join(f"{LABELS[n].lower()} {m:g}" for n, m in medians.items()))
        pairs = [("server", "baseline", "server / server before"),
                 ("server", "floor", "server / floor"),
                 ("baseline", "baseline-floor", "server before / floor before")]
        for a, b, text in pairs:
            if a in medians and b in medians:
                print(f"  {text}: {medians[a] / medians[b]:.2f}")


def fixed_load(folder, rounds, programs):
    fixed = []
    for k in range(1, rounds + 1):
        for name in programs:
            path = f"{folder}/{name}-fixed-{k}.json"
            if os.path.exists(path):
                with open(path) as f:
                    fixed.append((k, name, json.load(f)["run"]))
    if not fixed:
        return
    print()
    print("CPU per relay at a fixed load:")
    print()
    print("| Round | Program | Load | Lost | p99 | CPU | CPU/relay | Loadgen CPU |")
    print("|---|---|---|---|---|---|---|---|")
    for k, name, r in fixed:
        per = cpu_per_relay(r)
        p99 = f"{r['latencyP99Ms']:.1f} ms" if r["latencyP99Ms"] is not None else "-"
        print(f"| {k} | {LABELS[name]} | {r['players']} x {r['rate']:g} Hz | {r['lost']} | "
              f"{p99} | {pct(share(r['serverCpuSeconds'], r))} | "
              f"{f'{per:.2f} us' if per is not None else '-'} | "
              f"{pct(share(r['loadgenCpuSeconds'], r))} |")


def world_sizes(folder, rounds, sizes):
    rows = []
    for k in range(1, rounds + 1):
        for players in sizes:
            for name in ("server", "snapshots", "mixed", "interest"):
                path = f"{folder}/{name}-size-{players}-{k}.json"
                if os.path.exists(path):
                    with open(path) as f:
                        rows.append((k, name, json.load(f)["run"]))
    if not rows:
        return
    print()
    print("Both modes and a mixed world at 30 Hz: what each player receives, loss, the server's "
          "CPU.")
    print()
    print("| Round | Mode | Players | Received per player | Lost | Dropped by the server | p99 "
          "| CPU | CPU per player |")
    print("|---|---|---|---|---|---|---|---|---|")
    for k, name, r in rows:
        cpu = share(r["serverCpuSeconds"], r)
        per_player = f"{cpu / r['players']:.2f}%" if cpu is not None else "-"
        p99 = f"{r['latencyP99Ms']:.1f} ms" if r["latencyP99Ms"] is not None else "-"
        print(f"| {k} | {LABELS[name]} | {r['players']} | "
              f"{r['bytesPerPlayerPerSecond'] / 1000:.1f} KB/s | {r['lost']} | "
              f"{r['serverSocketDrops'] if r['serverSocketDrops'] is not None else '-'} | {p99} | "
              f"{pct(cpu)} | {per_player} |")


def main(folder, rounds, programs, sizes=()):
    largest_loss_free(folder, rounds, programs)
    fixed_load(folder, rounds, programs)
    world_sizes(folder, rounds, sizes)
    for when in ("before", "after"):
        with open(f"{folder}/load-{when}.txt") as f:
            print(f"Machine load {when}: {f.read().strip()}")


if __name__ == "__main__":
    main(sys.argv[1], int(sys.argv[2]), sys.argv[3].split(),
         [int(n) for n in sys.argv[4].split()] if len(sys.argv) > 4 else ())
