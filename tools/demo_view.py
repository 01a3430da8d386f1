"""Shows what the demo's cloud received, readably.

Usage: demo_view.py probe LOG PNG   the probe's delays per path: figures, a text
                                    histogram and a gnuplot picture
       demo_view.py counters LOG    the low-latency flow's counters, named
       demo_view.py stats N         subscribes to srServer for N + 1 reports

LOG is what `mosquitto_sub -v` printed for the client's topics: each message
"<topic> <payload>", a formatted payload on several lines.
"""

import json
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile

PATHS = {"p0": "classic", "p1": "low-latency"}
BINS_MS = [0.25, 0.5, 1, 2, 5, 10, 20, 50, 100]
FLOW_FIELDS = ("sfid", "direction", "count64_a", "count64_b", "count32_a", "count32_b")
STATS_FIELDS = ("sfid", "dir", "tag16", "d count64_a", "d count64_b", "d count32_a", "d count32_b",
                "d count64_c")


def messages(path, suffix):
    """The payload objects of the messages on topics ending in `suffix`; a line
    that starts no topic continues the payload before it."""
    with open(path, errors="replace") as log:
        lines = log.read().splitlines()
    starts = [i for i, line in enumerate(lines) if line.startswith("CS/")] + [len(lines)]
    for first, end in zip(starts, starts[1:]):
        topic, _, payload = "\n".join(lines[first:end]).partition(" ")
        if topic.endswith(suffix):
            try:
                yield json.loads(payload)
            except ValueError:
                pass


def delays_by_path(path):
    """Every delay (ms) of every user report, long ones sent in parts included."""
    delays = {key: [] for key in PATHS}
    for report in messages(path, "/LLD/metrics"):
        body = report.get("pingu_user") if isinstance(report, dict) else None
        for key in PATHS:
            text = body.get(key, "") if isinstance(body, dict) else ""
            delays[key] += [int(value) / 1000 for value in text.split(",") if value]
    return delays


def histogram_rows(delays):
    edges = [0] + BINS_MS + [float("inf")]
    return [(">= %g ms" % lo if hi == float("inf") else "%g-%g ms" % (lo, hi),
             sum(1 for d in delays if lo <= d < hi)) for lo, hi in zip(edges, edges[1:])]


def plot(delays, png):
    if not shutil.which("gnuplot"):
        print("   (gnuplot is missing: no picture)")
        return
    with tempfile.TemporaryDirectory() as scratch:
        files = []
        for key, values in delays.items():
            name = os.path.join(scratch, key)
            ordered = sorted(values)
            with open(name, "w") as data:
                data.writelines("%.3f %.4f\n" % (v, (i + 1) / len(ordered)) for i, v in enumerate(ordered))
            files.append((name, "%s (%d round trips)" % (PATHS[key], len(ordered))))
        script = ("set terminal png size 900,420; set output '%s';"
                  "set title 'Round trips to the reflector: share of probes at or below a delay';"
                  "set xlabel 'delay (ms)'; set ylabel 'share of probes'; set logscale x; set grid;"
                  "set key bottom right; set yrange [0:1];"
                  "plot " % png + ", ".join("'%s' using 1:2 with steps lw 2 title '%s'" % f for f in files))
        subprocess.run(["gnuplot", "-e", script], check=True)
    print("   picture: %s" % png)


def probe(log, png):
    delays = delays_by_path(log)
    for key, values in delays.items():
        if len(values) < 2:
            print("   %-12s %d round trips" % (PATHS[key], len(values)))
            continue
        q1, median, q3 = statistics.quantiles(values, n=4)
        print("   %-12s %3d round trips   median %.3f ms   q1 %.3f   q3 %.3f   max %.3f"
              % (PATHS[key], len(values), median, q1, q3, max(values)))
    rows = {key: histogram_rows(values) for key, values in delays.items()}
    widest = max([count for table in rows.values() for _, count in table] + [1])
    print("\n   %-13s %-32s %s" % ("delay", "classic", "low-latency"))
    for (label, classic), (_, low) in zip(rows["p0"], rows["p1"]):
        if classic or low:
            bar = lambda n: ("#" * max(1, round(24 * n / widest)) if n else "") + (" %d" % n if n else "")
            print("   %-13s %-32s %s" % (label, bar(classic), bar(low)))
    if any(delays.values()):
        plot(delays, png)


def counters(log):
    for report in messages(log, "/LLD/metrics"):
        for line in report.get("docsis", []) if isinstance(report, dict) else []:
            print("   " + "  ".join("%s=%s" % pair for pair in zip(FLOW_FIELDS, line.split(","))))


def stats(count):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.settimeout(3)
        s.sendto(b"stats %d" % count, ("127.0.0.1", 52418))
        for second in range(count + 1):
            numbers = s.recv(65536).decode().split(":", 1)[1].strip('"').split(",")
            print("   second %d:" % second)
            for i in range(0, len(numbers) - 7, 8):
                print("     " + "  ".join("%s=%s" % pair for pair in zip(STATS_FIELDS, numbers[i:i + 8])))


if __name__ == "__main__":
    command, args = sys.argv[1], sys.argv[2:]
    {"probe": lambda: probe(*args), "counters": lambda: counters(*args),
     "stats": lambda: stats(int(args[0]))}[command]()
