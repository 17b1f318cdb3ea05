#!/usr/bin/env python3
"""A real Prometheus scrapes the headless monitor's /metrics over HTTPS and evaluates the
shipped alert rules against it.

One simulated amplifier on 127.0.121.1, the headless monitor with its web service on
127.0.0.1 (TLS, the self-signed pair it makes beside its settings), and Debian's prometheus on
127.0.0.1 with a configuration made from packaging/prometheus/prometheus.yml: a 1 s scrape and
evaluation interval, the shipped avlo-alerts.yml, the monitor's certificate trusted by file.
Then the target must be up, and each fault injected into the simulator must make
AvloDeviceFault fire for the device and, once cleared, leave the firing list.

Usage: prometheus_scrape_test.py MONITOR DEVSIM PACKAGING_DIR [--keep]

Exit 77 when prometheus is not installed (outside CI). Every wait is bounded; every process
the test starts is stopped at the end, also on failure.
"""
import argparse
import json
import os
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

import yaml

PROMETHEUS = "/usr/bin/prometheus"
DEVICE_ADDRESS = "127.0.121.1"
DISCOVERY_NOWHERE = "127.0.121.254"  # nothing listens there: discovery stays on loopback
DEVICE_NAME = "Amp 01"
ALERT = "AvloDeviceFault"

# (what is injected, the simulator's command to start it, the one to end it)
FAULTS = [
    ("fan fault on channel 2", "fault 0 fan 2 on", "fault 0 fan 2 off"),
    ("+72V (B) rail out", "supply 0 3 on", "supply 0 3 off"),
]

START_LIMIT = 30.0   # the monitor's web service and Prometheus' first good scrape
ALERT_LIMIT = 30.0   # from a simulator command to the alert's change in Prometheus' API


class Failure(Exception):
    pass


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(what, probe, limit):
    """Calls probe until it returns something true; returns that and the seconds it took."""
    start = time.monotonic()
    last_error = None
    while time.monotonic() - start < limit:
        try:
            value = probe()
            if value:
                return value, time.monotonic() - start
        except (OSError, ValueError, KeyError, urllib.error.URLError) as error:
            last_error = error
        time.sleep(0.2)
    raise Failure("%s: not within %.0f s (last error: %s)" % (what, limit, last_error))


def settings_text(web_port):
    # The settings' model 1 is the simulator's model 00 (RV10, two channels).
    lines = ["[Options]", "Poll=1000", "Log=1", "Avlo=1", "Startup=0",
             "[AVLO]", "Registered=1",
             "Name 0=%s" % DEVICE_NAME, "IP 0=%s" % DEVICE_ADDRESS, "avlo 0=1", "Model 0=1",
             "Serial 0=12000001",
             "[Web]", "On=1", "Address=127.0.0.1", "Port=%d" % web_port, "Tls=1",
             "CertFile=", "KeyFile=", "MetricsToken="]
    return "\r\n".join(lines) + "\r\n"


def prometheus_config(packaging, ca_file, target):
    """The shipped example, narrowed to this one site: its TLS trust and its rules kept."""
    with open(os.path.join(packaging, "prometheus.yml")) as f:
        config = yaml.safe_load(f)
    config["global"].update(scrape_interval="1s", evaluation_interval="1s")
    config["rule_files"] = [os.path.abspath(os.path.join(packaging, "avlo-alerts.yml"))]
    config.pop("alerting", None)  # no Alertmanager here: the alerts are read from the API
    job = next(j for j in config["scrape_configs"] if j["job_name"] == "avlo")
    job.pop("authorization", None)  # MetricsToken is empty: /metrics is open
    job["tls_config"]["ca_file"] = ca_file
    job["static_configs"] = [{"targets": [target]}]
    config["scrape_configs"] = [job]
    return yaml.safe_dump(config)


class Processes:
    """Everything the test starts, stopped in reverse order."""

    def __init__(self, work):
        self.work = work
        self.started = []

    def start(self, name, args, stdin=None, env=None):
        out = open(os.path.join(self.work, name + ".out"), "w")
        proc = subprocess.Popen(args, stdin=stdin, stdout=out, stderr=subprocess.STDOUT,
                                env=env, text=True)
        self.started.append((name, proc, out))
        return proc

    def stop_all(self):
        for name, proc, out in reversed(self.started):
            if proc.poll() is None:
                proc.send_signal(signal.SIGTERM)
                try:
                    proc.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    print("%s did not end on SIGTERM; killed" % name)
                    proc.kill()
                    proc.wait()
            out.close()

    def check_running(self):
        for name, proc, _ in self.started:
            if proc.poll() is not None:
                raise Failure("%s ended early with status %s; see %s.out"
                              % (name, proc.returncode, name))


def api(port, path):
    with urllib.request.urlopen("http://127.0.0.1:%d%s" % (port, path), timeout=5) as r:
        body = json.load(r)
    if body.get("status") != "success":
        raise ValueError("Prometheus API %s: %s" % (path, body))
    return body["data"]


def metrics_over_https(port, ca_file):
    context = ssl.create_default_context(cafile=ca_file)
    with urllib.request.urlopen("https://127.0.0.1:%d/metrics" % port, context=context,
                                timeout=5) as r:
        return r.read().decode()


def up_target(prom_port):
    for target in api(prom_port, "/api/v1/targets")["activeTargets"]:
        if target["labels"].get("job") == "avlo" and target["health"] == "up":
            return target
    return None


def rule_loaded(prom_port):
    groups = api(prom_port, "/api/v1/rules")["groups"]
    return any(r.get("name") == ALERT for g in groups for r in g["rules"])


def status_known(prom_port):
    result = api(prom_port, "/api/v1/query?query=avlo_device_status_known")["result"]
    return [r for r in result if r["metric"].get("device") == DEVICE_NAME
            and r["value"][1] == "1"]


def firing(prom_port):
    return [a for a in api(prom_port, "/api/v1/alerts")["alerts"]
            if a["labels"].get("alertname") == ALERT and a["state"] == "firing"]


def check_fault_cycle(sim, prom_port, label, on, off):
    sim.stdin.write(on + "\n")
    sim.stdin.flush()
    alerts, took = wait_for("%s firing after %s" % (ALERT, label),
                            lambda: firing(prom_port), ALERT_LIMIT)
    devices = sorted(a["labels"].get("device") for a in alerts)
    if devices != [DEVICE_NAME]:
        raise Failure("%s fired for %s, expected only %r" % (ALERT, devices, DEVICE_NAME))
    print("%s: %s firing after %.1f s" % (label, ALERT, took))
    sim.stdin.write(off + "\n")
    sim.stdin.flush()
    _, took = wait_for("%s resolved after %s cleared" % (ALERT, label),
                       lambda: not firing(prom_port), ALERT_LIMIT)
    print("%s cleared: %s gone from the firing alerts after %.1f s" % (label, ALERT, took))


def run(args, work):
    procs = Processes(work)
    web_port, prom_port = free_port(), free_port()
    ini = os.path.join(work, "site.ini")
    with open(ini, "w", newline="") as f:
        f.write(settings_text(web_port))
    try:
        sim = procs.start("devsim", [args.devsim, "--discovery-listen", "none",
                                     "--duration", "300",
                                     "--device", "%s:00:12000001" % DEVICE_ADDRESS],
                          stdin=subprocess.PIPE)
        env = dict(os.environ, XDG_CONFIG_HOME=work, HOME=work)
        procs.start("monitor", [args.monitor, "--headless", "--config", ini,
                                "--lock-file", os.path.join(work, "lock"),
                                "--discovery-address", DISCOVERY_NOWHERE], env=env)
        ca_file = os.path.join(work, "site-web.crt")
        wait_for("the monitor's self-signed certificate %s" % ca_file,
                 lambda: os.path.exists(ca_file) and metrics_over_https(web_port, ca_file),
                 START_LIMIT)
        procs.check_running()

        config = os.path.join(work, "prometheus.yml")
        with open(config, "w") as f:
            f.write(prometheus_config(args.packaging, ca_file, "127.0.0.1:%d" % web_port))
        procs.start("prometheus", [PROMETHEUS, "--config.file=" + config,
                                   "--storage.tsdb.path=" + os.path.join(work, "tsdb"),
                                   "--web.listen-address=127.0.0.1:%d" % prom_port])
        target, took = wait_for("the avlo target up in Prometheus",
                                lambda: up_target(prom_port), START_LIMIT)
        if not target["scrapeUrl"].startswith("https://"):
            raise Failure("scraped over %s, not HTTPS" % target["scrapeUrl"])
        print("target %s up after %.1f s" % (target["scrapeUrl"], took))
        wait_for("the shipped rule %s loaded" % ALERT, lambda: rule_loaded(prom_port), START_LIMIT)
        wait_for("a known status of %r in Prometheus" % DEVICE_NAME,
                 lambda: status_known(prom_port), START_LIMIT)
        if firing(prom_port):
            raise Failure("%s fires for a healthy device" % ALERT)

        for label, on, off in FAULTS:
            check_fault_cycle(sim, prom_port, label, on, off)
            procs.check_running()
        return 0
    finally:
        procs.stop_all()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("monitor")
    parser.add_argument("devsim")
    parser.add_argument("packaging")
    parser.add_argument("--keep", action="store_true", help="keep the scratch folder")
    args = parser.parse_args()
    if not os.access(PROMETHEUS, os.X_OK):
        if os.environ.get("CI") == "true":
            print("prometheus scrape test: FAILED: %s is missing" % PROMETHEUS)
            return 1
        print("prometheus scrape test: skipped: %s is missing (package prometheus)" % PROMETHEUS)
        return 77
    work = tempfile.mkdtemp(prefix="avlo-prom.")
    try:
        status = run(args, work)
        print("prometheus scrape test: passed")
        return status
    except Failure as failure:
        print("prometheus scrape test: FAILED: %s" % failure)
        for name in ("monitor", "prometheus", "devsim"):
            path = os.path.join(work, name + ".out")
            if os.path.exists(path):
                with open(path, errors="replace") as f:
                    print("---- last lines of %s ----\n%s" % (name, "".join(f.readlines()[-15:])))
        return 1
    finally:
        if args.keep:
            print("scratch folder kept: %s" % work)
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
