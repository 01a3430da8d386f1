"""Prints the probe reports that proxy_console received, readably: per path the
number of round trips, quartiles, mean and a text histogram of the delays.

Usage: pingu_view.py <proxy_console --pretty log>
"""

import json
import statistics
import sys

PATHS = {"p0": "classic", "p1": "low-latency"}
BINS_MS = [0.25, 0.5, 1, 2, 5, 10, 20, 50, 100]


def blocks(text):
    """(topic, payload object) for each datagram proxy_console printed."""
    current = None
    for line in text.splitlines():
        if line.startswith("type="):
            if current:
                yield current[0], "\n".join(current[1])
            topic = line.split("topic=", 1)[1] if "topic=" in line else ""
            current = (topic, [])
        elif current is not None:
            current[1].append(line[len("payload="):] if line.startswith("payload=") else line)
    if current:
        yield current[0], "\n".join(current[1])


def histogram(delays_ms):
    edges = [0] + BINS_MS + [float("inf")]
    counts = [sum(1 for d in delays_ms if lo <= d < hi) for lo, hi in zip(edges, edges[1:])]
    widest = max(counts) or 1
    for (lo, hi), count in zip(zip(edges, edges[1:]), counts):
        if count:
            label = ">= %g ms" % lo if hi == float("inf") else "%g-%g ms" % (lo, hi)
            print("        %-13s %-30s %d" % (label, "#" * max(1, round(30 * count / widest)), count))


def main():
    with open(sys.argv[1]) as f:
        text = f.read()
    for topic, payload in blocks(text):
        if not topic.endswith("/LLD/metrics"):
            continue
        try:
            report = json.loads(payload).get("pingu_user")
        except ValueError:
            continue
        if not report:
            continue
        print("   report after %d cycles (WAN address %s)" % (report["a"], report["s"]))
        for key in ("p0", "p1"):
            if key not in report:
                continue
            delays = [int(v) / 1000 for v in report[key].split(",") if v]
            if len(delays) < 2:
                print("     %-12s %d round trips" % (PATHS[key], len(delays)))
                continue
            q1, median, q3 = statistics.quantiles(delays, n=4)
            print("     %-12s %3d round trips  q1 %.3f  median %.3f  q3 %.3f  mean %.3f ms"
                  % (PATHS[key], len(delays), q1, median, q3, statistics.mean(delays)))
            histogram(delays)


if __name__ == "__main__":
    main()
