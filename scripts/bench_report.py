#!/usr/bin/env python3
"""Prints the table kept in bench/README.md from the JSON of one run of velantis-bench: medians
over the repetitions, server beside floor.

Usage: scripts/bench_report.py RESULTS.json
"""
import json
import sys


def report(data):
    medians = {}
    for b in data["benchmarks"]:
        if b.get("aggregate_name") == "median":
            medians[b["run_name"].replace("/manual_time", "")] = b

    def us(name):
        b = medians[name]
        scale = {"ns": 1e-3, "us": 1.0, "ms": 1e3}[b["time_unit"]]
        return b["real_time"] * scale

    ctx = data["context"]
    repetitions = data["benchmarks"][0].get("repetitions", 1)
    print(f"{ctx['num_cpus']} CPUs at {ctx['mhz_per_cpu']} MHz, {ctx['date']}, "
          f"median of {repetitions} repetitions")
    print()
    print("| What | Server | Floor | Server / floor |")
    print("|---|---|---|---|")
    one, loop = us("BM_PacketChecksum"), us("BM_ReferenceFnv1aLoop")
    cs, ref = medians["BM_PacketChecksum"], medians["BM_ReferenceFnv1aLoop"]
    print(f"| Checksum of one packet (1056 bytes) | {one:.2f} us, "
          f"{cs['bytes/ns']:.3f} bytes/ns | reference FNV-1a loop: {loop:.2f} us, "
          f"{ref['bytes/ns']:.3f} bytes/ns | {one / loop:.2f} |")
    for n in (2, 4, 9, 65):
        many = us(f"BM_PacketChecksums/{n}")
        print(f"| Checksums of {n} packets in one interleaved pass | {many:.2f} us, "
              f"{many / n:.2f} us per packet | {n} one at a time: "
              f"{n * one:.2f} us | "
              f"{many / (n * one):.2f} |")
    for what, name, floor_what, floor in (
            ("One log record of ten lines (LogsManager Write, append)", "BM_LogsManagerWrite",
             "open-append-close", "BM_FloorLogWrite"),
            ("One console line (written and flushed)", "BM_ConsoleLine", "one write(2)",
             "BM_FloorConsoleLine"),
            ("One reply sent from the server's socket", "BM_ReplySend",
             "sendto, 1 console write", "BM_FloorSend")):
        print(f"| {what} | {us(name):.2f} us | {floor_what}: {us(floor):.2f} us | "
              f"{us(name) / us(floor):.2f} |")
    for n in (1, 8, 64):
        server, floor = f"BM_ServerRelay/{n}", f"BM_FloorRelay/{n}"
        print(f"| Receive to relay, fan-out {n} (wall, run apart) | {us(server):.1f} us, "
              f"{medians[server]['allocs/packet']:.0f} allocations | {us(floor):.1f} us | "
              f"{us(server) / us(floor):.2f} |")
    for n in (1, 8, 64):
        p = medians[f"BM_ServerOverFloor/{n}"]
        print(f"| Receive to relay, fan-out {n} (CPU, interleaved) | {p['server_cpu_us']:.1f} us | "
              f"{p['floor_cpu_us']:.1f} us | {p['cpu_ratio']:.3f} (wall {p['wall_ratio']:.3f}) |")
    print()
    print("Server CPU time beyond the floor, and what is left after the checksums the floor does "
          "not")
    print("compute (one verification, plus one seal per recipient, in one interleaved pass):")
    print()
    print("| Fan-out | Server - floor | (fan-out + 1) checksums | Left |")
    print("|---|---|---|---|")
    for n in (1, 8, 64):
        p = medians[f"BM_ServerOverFloor/{n}"]
        gap = p["server_cpu_us"] - p["floor_cpu_us"]
        sums = us(f"BM_PacketChecksums/{n + 1}")
        print(f"| {n} | {gap:.1f} us | {sums:.1f} us | {gap - sums:.1f} us "
              f"({100 * (gap - sums) / p['floor_cpu_us']:.1f}% of the floor) |")


if __name__ == "__main__":
    with open(sys.argv[1]) as f:
        report(json.load(f))
