"""The statistics server's cost: the client's own CPU time per report second
with 64 subscribers and a full table of 168 service flows, next to the cost of
one run of the modem tool, measured in the same run. The tool runs as a child
process, so its CPU time is not the client's (the run time of the client's own
threads, from /proc/<pid>/task/*/schedstat). Run by bench/run.sh inside the simulated gateway.
"""

import os
import resource
import socket
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "e2e"))
import gateway  # noqa: E402

FLOWS = 168
SUBSCRIBERS = 64
WINDOW = 15  # seconds measured
PORT = 52418


def modem_table():
    lines = ["aggregate 7", "classifier 2 7 5000 5010", "epoch %d" % int(time.time())]
    for i in range(FLOWS):
        lines.append("flow %d %d %d %d %d %d %d %d %d" % (
            i + 1, i % 2, i, 10**12 + i, 2 * 10**12, 3000 + i, 4000, 5 * 10**12, 1000 + i))
    return "\n".join(lines) + "\n"


def cpu_seconds(pid):
    """CPU time of all the client's threads, in nanoseconds from schedstat."""
    total = 0
    for task in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/schedstat" % (pid, task)) as f:
                total += int(f.read().split()[0])
        except FileNotFoundError:
            pass  # a thread that just ended
    return total / 1e9


def tool_run_cost(runs=20):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    for _ in range(runs):
        subprocess.run(["ondrel_rpc_client", "arm", "cm_serflow"], stdout=subprocess.DEVNULL,
                       check=True)
    wall = (time.perf_counter() - start) / runs
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime) / runs
    return wall, cpu


def main():
    gateway.reset_platform(modem=modem_table())
    gateway.write_config()
    proxy = gateway.Proxy()
    client = gateway.Client(args=gateway.client_args(), debug=None)
    received = [0]
    stop = threading.Event()
    sockets = []
    try:
        if proxy.receive(15) is None:
            raise SystemExit("the client did not register")
        for i in range(SUBSCRIBERS):  # one address each: the server knows subscribers by address
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            s.bind(("127.0.%d.%d" % (1 + i // 200, 2 + i % 200), 0))
            s.setblocking(False)
            sockets.append(s)

        def drain():
            while not stop.is_set():
                for s in sockets:
                    try:
                        while True:
                            s.recv(65536)
                            received[0] += 1
                    except BlockingIOError:
                        pass
                time.sleep(0.05)

        reader = threading.Thread(target=drain, daemon=True)
        reader.start()
        def measure(count):
            for s in sockets[:count]:
                s.sendto(b"stats %d" % (WINDOW + 5), ("127.0.0.1", PORT))
            time.sleep(3)  # every subscriber in, the first reports out
            before_cpu, before_reports = cpu_seconds(client.proc.pid), received[0]
            time.sleep(WINDOW)
            result = cpu_seconds(client.proc.pid) - before_cpu, received[0] - before_reports
            time.sleep(WINDOW / 2 + 5)  # every subscription used up
            return result

        alone, _ = measure(1)
        used, reports = measure(SUBSCRIBERS)
        wall, cpu = tool_run_cost()
        per_second_ms = used / WINDOW * 1000
        print("statistics server: %d subscribers, %d flows in the modem table, %d s"
              % (SUBSCRIBERS, FLOWS, WINDOW))
        print("  %-52s %8.2f ms" % ("lld-client CPU per report second (tool excluded)", per_second_ms))
        print("  %-52s %8.2f ms" % ("the same with 1 subscriber (poll and format)",
                                     alone / WINDOW * 1000))
        print("  %-52s %8.2f ms" % ("per report sent (%d reports seen)" % reports,
                                     used * 1000 / max(reports, 1)))
        print("  %-52s %8.2f ms (CPU %.2f ms)" % ("one run of the modem tool, wall", wall * 1000,
                                                   cpu * 1000))
        print("  target: formatting and sending under 1 ms per second -> %s"
              % ("met" if per_second_ms < 1.0 else "NOT met"))
    finally:
        stop.set()
        for s in sockets:
            s.close()
        client.stop()
        proxy.close()


if __name__ == "__main__":
    main()
