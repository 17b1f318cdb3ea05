#!/usr/bin/env python3
"""Kills the monitor with SIGKILL at random moments while it saves its settings, again and
again, and checks after every kill that the settings file is whole: every line complete,
every section and key of a save there, the counters never lower than before. The monitor
saves every few milliseconds (--save-every-ms) while 50 simulated devices on loopback
addresses change their faults, so the kills land in the middle of saves. Bounded: a fixed
number of rounds, each of at most a few seconds.

Usage: kill_test.py MONITOR DEVSIM [--rounds N] [--seed S]
"""
import argparse
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

NET = "127.0.110."
DEVICES = 50


def settings_text():
    lines = ["[Options]", "Poll=1000", "Log=0", "Avlo=1", "Startup=0", "[AVLO]",
             "Registered=%d" % DEVICES]
    for i in range(DEVICES):
        lines += ["Name %d=Amp %02d" % (i, i + 1), "IP %d=%s%d" % (i, NET, i + 1),
                  "avlo %d=1" % i, "Model %d=%d" % (i, i % 4), "Serial %d=KIL%05d" % (i, i)]
    return "\r\n".join(lines) + "\r\n"


def read_whole(path):
    """The file as sections of keys, or an error text when it is not whole."""
    with open(path, "rb") as f:
        data = f.read()
    if not data:
        return None, "empty file"
    if not data.endswith(b"\r\n"):
        return None, "last line not ended"
    sections, current = {}, None
    for line in data[:-2].split(b"\r\n"):
        text = line.decode("utf-8")
        m = re.fullmatch(r"\[(.+)\]", text)
        if m:
            current = sections.setdefault(m.group(1), {})
        elif "=" in text and current is not None:
            key, value = text.split("=", 1)
            current[key] = value
        else:
            return None, "broken line %r" % text
    return sections, None


def toggle_faults(sim, rng):
    for _ in range(5):
        kind = rng.choice(["channel", "temp", "fan", "current"])
        sim.stdin.write("fault %d %s %d %s\n" % (rng.randrange(DEVICES), kind, rng.randint(1, 2),
                                                 rng.choice(["on", "off"])))
    sim.stdin.flush()


def counters(sections):
    return {k: int(v) for k, v in sections.get("STATS", {}).items()}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("monitor")
    ap.add_argument("devsim")
    ap.add_argument("--rounds", type=int, default=120)
    ap.add_argument("--seed", type=int, default=20261210)
    args = ap.parse_args()
    rng = random.Random(args.seed)

    work = tempfile.mkdtemp(prefix="avlo-kill.")
    ini = os.path.join(work, "site.ini")
    with open(ini, "w", newline="") as f:
        f.write(settings_text())

    devices = []
    for i in range(DEVICES):
        devices += ["--device", "%s%d:%02d:KIL%05d" % (NET, i + 1, i % 4, i)]
    sim = subprocess.Popen([args.devsim, "--quiet", "--discovery-listen", "none",
                            "--duration", str(20 + args.rounds * 4)] + devices,
                           stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, text=True)
    time.sleep(0.5)

    reference_keys = None
    previous = {}
    mid_save = 0
    whole = 0
    failures = []
    try:
        for round_no in range(1, args.rounds + 1):
            err_path = os.path.join(work, "monitor.err")
            with open(err_path, "w") as err:
                mon = subprocess.Popen(
                    [args.monitor, "--headless", "--config", ini,
                     "--lock-file", os.path.join(work, "lock"),
                     "--discovery-address", NET + "254", "--save-every-ms", "10"],
                    stdout=subprocess.DEVNULL, stderr=err,
                    env=dict(os.environ, XDG_CONFIG_HOME=work, HOME=work))
                # Faults come and go while it runs, so the counters keep changing.
                deadline = time.monotonic() + rng.uniform(0.5, 2.5)
                while time.monotonic() < deadline:
                    toggle_faults(sim, rng)
                    time.sleep(min(0.1, max(0.0, deadline - time.monotonic())))
                mon.send_signal(signal.SIGKILL)
                mon.wait(timeout=10)
            with open(err_path) as err:
                said = err.read()
            if "cannot be read" in said or "could not be read" in said:
                failures.append("round %d: the start before found an unreadable file" % round_no)
            left = [n for n in os.listdir(work) if n.startswith("site.ini.tmp.")]
            if left:
                mid_save += 1
            sections, error = read_whole(ini)
            if error:
                failures.append("round %d: %s" % (round_no, error))
                break
            # The alert marks come and go with the devices' faults (only marks that are set are
            # written); every other key is there in every whole save.
            keys = {(s, k) for s, ks in sections.items() for k in ks if s != "Alerts"}
            if reference_keys is None and "STATS" in sections:
                reference_keys = keys
            elif reference_keys is not None and keys != reference_keys:
                failures.append("round %d: keys differ: %s" % (
                    round_no, sorted(keys ^ reference_keys)[:5]))
            now = counters(sections)
            lower = [k for k, v in previous.items() if now.get(k, -1) < v]
            if lower:
                failures.append("round %d: counters went down: %s" % (round_no, lower[:5]))
            previous = now
            whole += 1
        # The next start clears what the killed saves left behind.
        mon = subprocess.Popen([args.monitor, "--headless", "--config", ini,
                                "--lock-file", os.path.join(work, "lock"),
                                "--discovery-address", NET + "254"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                               env=dict(os.environ, XDG_CONFIG_HOME=work, HOME=work))
        time.sleep(1.0)
        mon.send_signal(signal.SIGTERM)
        mon.wait(timeout=20)
        left = [n for n in os.listdir(work) if n.startswith("site.ini.tmp.")]
        if left:
            failures.append("temporaries left after a normal run: %s" % left)
        if reference_keys is None or sum(previous.values()) == 0:
            failures.append("no save with counters was ever seen; the test proves nothing")
    finally:
        sim.stdin.close()
        sim.terminate()
        sim.wait(timeout=10)
    print("kill test: %d kills, %d whole files after them, %d kills left a temporary "
          "(killed inside a save), counters total %d" % (
              args.rounds, whole, mid_save, sum(previous.values())))
    for f in failures:
        print("kill test: FAILED: " + f)
    if not failures:
        shutil.rmtree(work, ignore_errors=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
