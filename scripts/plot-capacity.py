#!/usr/bin/env python3
"""Draws what scripts/run-capacity.sh measured: relay latency (p50, p99) and CPU against players,
for the server and the floor server, before and after, from the `velantis-loadgen --json` results
it keeps.

Usage: scripts/plot-capacity.py [results-folder] [out.svg]
       (default build/capacity-rel/capacity and bench/capacity.svg)

Needs Debian's python3-matplotlib; installs it through scripts/setup.sh when it is missing.
"""
import json
import os
import statistics
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def import_matplotlib():
    try:
        import matplotlib  # noqa: F401
        return
    except ImportError:
        pass
    # Debian's package lands in the system interpreter, which may not be the first python3 found.
    if sys.executable != "/usr/bin/python3" and os.path.exists("/usr/bin/python3"):
        check = subprocess.run(["/usr/bin/python3", "-c", "import matplotlib"],
                               capture_output=True)
        if check.returncode != 0:
            subprocess.run([str(ROOT / "scripts/setup.sh"), "python3-matplotlib"], check=True)
        os.execv("/usr/bin/python3", ["/usr/bin/python3", *sys.argv])
    subprocess.run([str(ROOT / "scripts/setup.sh"), "python3-matplotlib"], check=True)


import_matplotlib()
import matplotlib  # noqa: E402

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

from capacity_report import share  # noqa: E402


def baseline_commit():
    """The commit run-capacity.sh measures as "before", as scripts/baseline.sh names it."""
    with open(ROOT / "scripts/baseline.sh") as settings:
        for line in settings:
            if line.startswith("baseline_commit="):
                return line.split("=", 1)[1].strip()
    sys.exit("plot-capacity: scripts/baseline.sh names no baseline_commit")


# name in run-capacity.sh, label, colour, line style
PROGRAMS = [
    ("server", "server, after", "#1f5fa8", "-"),
    ("baseline", f"server, before ({baseline_commit()})", "#8fb8e6", "-"),
    ("floor", "floor server, after", "#d9480f", "-"),
    ("baseline-floor", "floor server, before", "#f5b08c", "-"),
]


def load_runs(folder, name):
    """Every search step of every round, grouped by players: the median of each figure."""
    by_players = {}
    for path in sorted(Path(folder).glob(f"{name}-[0-9]*.json")):
        with open(path) as f:
            for run in json.load(f)["runs"]:
                if run["connected"]:
                    by_players.setdefault(run["players"], []).append(run)
    points = []
    for players, runs in sorted(by_players.items()):
        def median(values):
            values = [v for v in values if v is not None]
            return statistics.median(values) if values else None
        points.append({
            "players": players,
            "p50": median(r["latencyP50Ms"] for r in runs),
            "p99": median(r["latencyP99Ms"] for r in runs),
            "cpu": median(share(r["serverCpuSeconds"], r) for r in runs),
            "loadgen": median(share(r["loadgenCpuSeconds"], r) for r in runs),
            "lossFree": all(r["lossFree"] for r in runs),
        })
    return points


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else str(ROOT / "build/capacity-rel/capacity")
    out = sys.argv[2] if len(sys.argv) > 2 else str(ROOT / "bench/capacity.svg")
    plt.rcParams["svg.hashsalt"] = "velantis"  # the same data draws the same file
    figure, (latency, cpu) = plt.subplots(1, 2, figsize=(11, 5))
    drawn = False
    for name, label, colour, style in PROGRAMS:
        points = load_runs(folder, name)
        if not points:
            continue
        drawn = True
        players = [p["players"] for p in points]
        # Latency only means something while nothing is lost: the lines join the loss-free loads.
        clean = [p for p in points if p["lossFree"]]
        for key, dash, width in (("p99", style, 1.8), ("p50", ":", 1.2)):
            latency.plot([p["players"] for p in clean], [p[key] for p in clean], dash,
                         color=colour, linewidth=width)
        cpu.plot(players, [p["cpu"] for p in points], style, color=colour, linewidth=1.8,
                 label=label)
        if name == "server":
            cpu.plot(players, [p["loadgen"] for p in points], "--", color="#555555",
                     linewidth=1.2, label="velantis-loadgen, loading the server")
        lossy = [p for p in points if not p["lossFree"]]
        latency.plot([p["players"] for p in lossy], [p["p99"] for p in lossy], "x",
                     color=colour, markersize=7)
        cpu.plot([p["players"] for p in lossy], [p["cpu"] for p in lossy], "x", color=colour,
                 markersize=7)
    if not drawn:
        sys.exit(f"plot-capacity: no results in {folder}")
    latency.set_yscale("log")
    latency.set_title("Relay latency, p99 (solid) and p50 (dotted), loss-free loads")
    latency.set_ylabel("ms, sent to received")
    cpu.set_title("CPU while sending")
    cpu.set_ylabel("% of one core")
    for axes in (latency, cpu):
        axes.set_xlabel("players, 30 updates/s each, every update to every player")
        axes.grid(True, which="both", alpha=0.3)
    handles, labels = cpu.get_legend_handles_labels()
    handles.append(plt.Line2D([], [], color="black", marker="x", linestyle=""))
    labels.append("relays were lost at that load")
    figure.legend(handles, labels, loc="lower center", ncol=3, fontsize=8, frameon=False)
    figure.tight_layout(rect=(0, 0.12, 1, 1))
    figure.savefig(out, format="svg", metadata={"Date": None})
    print(f"plot-capacity: wrote {out}")


if __name__ == "__main__":
    main()
