#!/usr/bin/env python3
"""The web service's figures: GET /metrics of a headless monitor watching 50 simulated devices,
measured with wrk over HTTPS, beside Prometheus' node_exporter serving its own /metrics on
127.0.0.1 over plain HTTP (as Debian ships it) in the same run; and the monitor's resident
memory with the service on and one /api/stream open, against the same site with the service off.

Usage: web_bench.py MONITOR DEVSIM [--seconds S] [--connections C] [--threads T] [--rounds R]
                    [--keep]
       web_bench.py MONITOR DEVSIM --stream-seconds S [--keep]

MONITOR and DEVSIM are best an optimised build (cmake -DCMAKE_BUILD_TYPE=Release, as the
package is built): the test build has no optimisation.

The second form measures only what one open /api/stream receives, in bytes per second, over S
seconds of the steady state (the 50 devices polled each second, nothing changing on them).

Everything runs on loopback: devices on 127.0.122.1-50, the services on 127.0.0.1. Every wait
is bounded, wrk runs for a fixed time, and every process started here is stopped at the end.
Goals: p99 under 2 ms, requests per second at least node_exporter's, at most 4 MiB more memory.
"""
import argparse
import base64
import os
import re
import shutil
import signal
import socket
import ssl
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

NET = "127.0.122."
DEVICES = 50
DISCOVERY_NOWHERE = NET + "254"
NODE_EXPORTER = "/usr/bin/prometheus-node-exporter"
USER, PASSWORD = "bench", "bench-password-1"
SETTLE = 10.0   # seconds a fresh monitor runs before its memory is read
LIMIT = 60.0    # the longest wait for anything to start


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(what, probe, limit=LIMIT):
    end = time.monotonic() + limit
    while time.monotonic() < end:
        try:
            if probe():
                return
        except OSError:
            pass
        time.sleep(0.2)
    raise SystemExit("web bench: %s: not within %.0f s" % (what, limit))


def settings_text(web_port):
    lines = ["[Options]", "Poll=1000", "Log=1", "Avlo=1", "Startup=0",
             "[AVLO]", "Registered=%d" % DEVICES]
    for dev in range(DEVICES):
        lines += ["Name %d=Amp %02d" % (dev, dev + 1), "IP %d=%s%d" % (dev, NET, dev + 1),
                  "avlo %d=1" % dev, "Model %d=%d" % (dev, dev % 4 + 1),
                  "Serial %d=%08d" % (dev, 12000000 + dev)]
    if web_port:
        lines += ["[Web]", "On=1", "Address=127.0.0.1", "Port=%d" % web_port, "Tls=1",
                  "CertFile=", "KeyFile=", "MetricsToken="]
    return "\r\n".join(lines) + "\r\n"


class Processes:
    def __init__(self, work):
        self.work, self.started = work, []

    def start(self, name, args, **kwargs):
        out = open(os.path.join(self.work, name + ".out"), "w")
        proc = subprocess.Popen(args, stdout=out, stderr=subprocess.STDOUT, text=True, **kwargs)
        self.started.append((proc, out))
        return proc

    def stop(self, proc):
        for p, out in list(self.started):
            if p is proc:
                if p.poll() is None:
                    p.send_signal(signal.SIGTERM)
                    try:
                        p.wait(timeout=10)
                    except subprocess.TimeoutExpired:
                        p.kill()
                        p.wait()
                out.close()
                self.started.remove((p, out))

    def stop_all(self):
        for proc, _ in reversed(list(self.started)):
            self.stop(proc)


def start_devsim(procs, devsim):
    args = [devsim, "--discovery-listen", "none", "--duration", "900"]
    for dev in range(DEVICES):
        args += ["--device", "%s%d:%s:%08d" % (NET, dev + 1, "%02d" % (dev % 4), 12000000 + dev)]
    return procs.start("devsim", args, stdin=subprocess.PIPE)


def start_monitor(procs, monitor, work, name, web_port):
    folder = os.path.join(work, name)
    os.mkdir(folder, 0o700)
    ini = os.path.join(folder, "site.ini")
    with open(ini, "w", newline="") as f:
        f.write(settings_text(web_port))
    env = dict(os.environ, XDG_CONFIG_HOME=folder, HOME=folder)
    if web_port:
        # The stream needs a signed-in user; the password comes on standard input.
        subprocess.run([monitor, "--config", ini, "--add-user", USER, "--role", "viewer"],
                       input=PASSWORD + "\n", text=True, env=env, check=True,
                       stdout=subprocess.DEVNULL, timeout=LIMIT)
    proc = procs.start("monitor-" + name,
                       [monitor, "--headless", "--config", ini,
                        "--lock-file", os.path.join(folder, "lock"),
                        "--discovery-address", DISCOVERY_NOWHERE], env=env)
    out = os.path.join(work, "monitor-" + name + ".out")
    wait_for("%s: all %d devices OK" % (name, DEVICES), lambda: all_rows_ok(out))
    return proc, folder


def all_rows_ok(path):
    """The headless monitor prints every change of a row; each row's last text must say OK."""
    rows = {}
    with open(path, errors="replace") as f:
        for line in f:
            m = re.match(r"row (\d+): \[.\] (.*)$", line.rstrip("\n"))
            if m:
                rows[int(m.group(1))] = m.group(2)
    return len(rows) == DEVICES and all(text.endswith(" | OK") for text in rows.values())


MEMORY_FIELDS = ("VmRSS", "RssAnon", "RssFile")


def memory_kib(pid):
    """Resident memory, and its parts: private memory and pages of mapped files (code)."""
    figures = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            name = line.split(":")[0]
            if name in MEMORY_FIELDS:
                figures[name] = int(line.split()[1])
    return figures


def settled_memory(pid):
    """The sample with the most resident memory after the settling time (the goal bounds the
    peak)."""
    time.sleep(SETTLE)
    samples = []
    for _ in range(5):
        samples.append(memory_kib(pid))
        time.sleep(1.0)
    return max(samples, key=lambda m: m["VmRSS"])


class Stream(threading.Thread):
    """One /api/stream client as the console will hold it: signed in by Basic, reading on."""

    def __init__(self, port):
        super().__init__(daemon=True)
        context = ssl.create_default_context()
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE
        raw = socket.create_connection(("127.0.0.1", port), timeout=LIMIT)
        self.sock = context.wrap_socket(raw)
        token = base64.b64encode(("%s:%s" % (USER, PASSWORD)).encode()).decode()
        self.sock.sendall(("GET /api/stream HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                           "Authorization: Basic %s\r\nAccept: text/event-stream\r\n\r\n"
                           % token).encode())
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = self.sock.recv(4096)
            if not chunk:
                raise SystemExit("web bench: the stream closed before its header")
            head += chunk
        status = head.split(b"\r\n", 1)[0].decode(errors="replace")
        if " 200 " not in status + " ":
            raise SystemExit("web bench: /api/stream answered %s" % status)
        self.received = len(head)
        self.stopping = False
        self.ended = None

    def run(self):
        self.sock.settimeout(1.0)
        while not self.stopping:
            try:
                chunk = self.sock.recv(65536)
            except socket.timeout:
                continue
            except OSError as error:
                self.ended = "read error: %s" % error
                return
            if not chunk:
                self.ended = "closed by the server"
                return
            self.received += len(chunk)

    def close(self):
        self.stopping = True
        self.join(5)
        self.sock.close()


def wrk(url, args, threads, connections):
    out = subprocess.run(["wrk", "-t%d" % threads, "-c%d" % connections,
                          "-d%ds" % args.seconds, "--latency", url],
                         capture_output=True, text=True, timeout=args.seconds + 60).stdout
    figures = {"p50": latency(out, "50%"), "p99": latency(out, "99%"),
               "rps": float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1)),
               "errors": 0}
    bad = re.search(r"Non-2xx or 3xx responses:\s+(\d+)", out)
    socket_errors = re.search(r"Socket errors: connect (\d+), read (\d+), write (\d+), "
                              r"timeout (\d+)", out)
    figures["errors"] = (int(bad.group(1)) if bad else 0) + \
        (sum(int(n) for n in socket_errors.groups()) if socket_errors else 0)
    return figures


def latency(out, percentile):
    """wrk's figure in milliseconds."""
    m = re.search(r"^\s+%s\s+([\d.]+)(us|ms|s)\s*$" % re.escape(percentile), out, re.M)
    value, unit = float(m.group(1)), m.group(2)
    return value * {"us": 0.001, "ms": 1.0, "s": 1000.0}[unit]


def compare(args, urls, threads, connections):
    """Rounds in turns, the first one changing each round, so that neither server always has
    the quieter machine (two cores shared with other work); each figure is the median."""
    runs = {name: [] for name in urls}
    names = list(urls)
    for r in range(args.rounds):
        for name in names if r % 2 == 0 else reversed(names):
            figures = wrk(urls[name], args, threads, connections)
            print("round %d %-13s p50 %.3f ms  p99 %.3f ms  %.0f requests/s  %d errors"
                  % (r + 1, name, figures["p50"], figures["p99"], figures["rps"],
                     figures["errors"]))
            runs[name].append(figures)
    pages = {"shape": "-t%d -c%d -d%ds, median of %d rounds"
             % (threads, connections, args.seconds, args.rounds)}
    for name, figures in runs.items():
        pages[name] = {key: statistics.median(f[key] for f in figures)
                       for key in ("p50", "p99", "rps")}
        pages[name]["errors"] = sum(f["errors"] for f in figures)
        pages[name]["bytes"] = body_size(urls[name])
    return pages


def body_size(url):
    """The page's size, fetched once with Python (the certificate is not checked here)."""
    context = ssl.create_default_context()
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    with urllib.request.urlopen(url, context=context, timeout=10) as r:
        return len(r.read())


def print_pages(pages):
    mon, node = pages["monitor"], pages["node_exporter"]
    print()
    print("| /metrics, wrk %s | monitor (HTTPS, 50 devices) | node_exporter (HTTP) | goal |"
          % pages["shape"])
    print("|---|---|---|---|")
    print("| latency p50 | %.3f ms | %.3f ms | |" % (mon["p50"], node["p50"]))
    print("| latency p99 | %.3f ms | %.3f ms | monitor under 2 ms: %s |"
          % (mon["p99"], node["p99"], verdict(mon["p99"] < 2.0)))
    print("| requests/s | %.0f | %.0f | monitor at least node_exporter: %s |"
          % (mon["rps"], node["rps"], verdict(mon["rps"] >= node["rps"])))
    print("| page size | %d bytes | %d bytes | |" % (mon["bytes"], node["bytes"]))
    print("| errors (non-2xx, socket) | %d | %d | |" % (mon["errors"], node["errors"]))


def print_memory(memory):
    print()
    print("| monitor memory, 50 devices, KiB | resident | private (RssAnon) | files (RssFile) |")
    print("|---|---|---|---|")
    rows = (("web service off", "off"), ("web service on, one /api/stream open", "on"),
            ("on, after the wrk runs", "after"))
    for title, key in rows:
        print("| %s | %s |" % (title, " | ".join(str(memory[key][f]) for f in MEMORY_FIELDS)))
    grown = {f: memory["on"][f] - memory["off"][f] for f in MEMORY_FIELDS}
    print("| on with a stream minus off (goal: resident at most +4096) | %+d (%s) | %+d | %+d |"
          % (grown["VmRSS"], verdict(grown["VmRSS"] <= 4096), grown["RssAnon"], grown["RssFile"]))


def verdict(ok):
    return "met" if ok else "MISSED"


def run(args, work):
    procs = Processes(work)
    try:
        start_devsim(procs, args.devsim)
        off, _ = start_monitor(procs, args.monitor, work, "off", 0)
        memory = {"off": settled_memory(off.pid)}
        procs.stop(off)

        web_port = free_port()
        on, folder = start_monitor(procs, args.monitor, work, "on", web_port)
        stream = Stream(web_port)
        stream.start()
        memory["on"] = settled_memory(on.pid)

        node_port = free_port()
        procs.start("node_exporter", [NODE_EXPORTER, "--web.listen-address=127.0.0.1:%d"
                                      % node_port])
        node_url = "http://127.0.0.1:%d/metrics" % node_port
        wait_for("node_exporter", lambda: body_size(node_url))
        mon_url = "https://127.0.0.1:%d/metrics" % web_port
        urls = {"monitor": mon_url, "node_exporter": node_url}
        # One connection shows a request's own time; several show what the server bears.
        shapes = [compare(args, urls, 1, 1),
                  compare(args, urls, args.threads, args.connections)]
        memory["after"] = memory_kib(on.pid)
        if not stream.is_alive():
            raise SystemExit("web bench: the stream ended during the run (%s, %d bytes)"
                             % (stream.ended, stream.received))
        stream.close()
        for pages in shapes:
            print_pages(pages)
        print_memory(memory)
        return 0
    finally:
        procs.stop_all()


def stream_rate(args, work):
    procs = Processes(work)
    try:
        start_devsim(procs, args.devsim)
        web_port = free_port()
        start_monitor(procs, args.monitor, work, "on", web_port)
        stream = Stream(web_port)
        stream.start()
        time.sleep(SETTLE)  # the first state of every device goes by
        before, start = stream.received, time.monotonic()
        time.sleep(args.stream_seconds)
        got, took = stream.received - before, time.monotonic() - start
        if not stream.is_alive():
            raise SystemExit("web bench: the stream ended (%s)" % stream.ended)
        stream.close()
        print("| /api/stream, %d devices polled each second, %d s | %d bytes | %.0f bytes/s |"
              % (DEVICES, args.stream_seconds, got, got / took))
        return 0
    finally:
        procs.stop_all()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("monitor")
    parser.add_argument("devsim")
    parser.add_argument("--seconds", type=int, default=10)
    parser.add_argument("--connections", type=int, default=8)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--stream-seconds", type=int, default=0,
                        help="measure only the stream's bytes per second, for this long")
    parser.add_argument("--keep", action="store_true", help="keep the scratch folder")
    args = parser.parse_args()
    for tool in () if args.stream_seconds else ("/usr/bin/wrk", NODE_EXPORTER):
        if not os.access(tool, os.X_OK):
            raise SystemExit("web bench: %s is missing" % tool)
    work = tempfile.mkdtemp(prefix="avlo-webbench.")
    try:
        return stream_rate(args, work) if args.stream_seconds else run(args, work)
    finally:
        if args.keep:
            print("scratch folder kept: %s" % work)
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
