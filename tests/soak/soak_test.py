#!/usr/bin/env python3
"""Soak test: 50 simulated amplifiers polled every second by the headless monitor for a given
time, while a seeded schedule switches every kind of fault on and off, makes the devices
misbehave in every way the simulator knows, and stops and restarts the monitor with SIGTERM.

From the schedule alone the test works out what the monitor must have counted and mailed, and
at the end compares that with the settings file written at the last shutdown and with the
mails a local SMTP server received. It also checks that every device is Connected again at the
end, with the condition its faults give, and that the monitor's resident memory and open file
descriptors stay flat.

The monitor's hold time for silent devices is set to its shortest (LostMinutes=1). When one life
of the monitor has room for it (runs of about 4.5 minutes or more with the default restarts),
three devices go without statuses for 70 s (refusing connections, silent, hanging up): each
outage is one EV_DEVICE_UNREACHABLE event and one NOT REACHABLE mail. Before lives with room,
a few devices are muted in the settings file until a moment inside that life: they mail nothing
until the mute runs out, then the faults still standing once, and every mute that runs out is
one EV_ALERTS_UNMUTED event. Recovery notices keep their default (off): a cleared problem mails
nothing, so every mail the server receives is an alert.

Usage: soak_test.py MONITOR DEVSIM [--minutes M] [--seed S] [--restarts N] [--private-net]
                    [--sanitized] [--keep]

Run it with /usr/bin/python3: the SMTP server is Debian's aiosmtpd. With --private-net the
test runs inside a network namespace of its own when it may make one (root); otherwise on the
host's loopback. Every address it uses is a loopback address: devices on 127.0.120.1-50, the
discovery destination 127.0.120.254, the SMTP server on 127.0.0.1. Bounded: the simulator
ends by itself after the planned time, every wait has a limit.
"""
import argparse
import asyncio
import collections
import datetime
import email
import email.policy
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

from kill_test import read_whole

NET = "127.0.120."
DEVICES = 50
DISCOVERY_NOWHERE = NET + "254"  # nothing listens there: discovery stays on loopback
MODELS = ("00", "01", "02", "03")
CHANNELS = {"00": 2, "01": 3, "02": 5, "03": 7}  # faults beyond these never show in a status
MODEL_NAMES = {"00": "RV10", "01": "RV11", "02": "RV12", "03": "RV13"}
# A fault item is (class, channel), channels counted from 1, or ("supply", rail 0-3).
CLASSES = ("channel", "temp", "fan", "current")
CLASS_KEY = {"channel": "ChanErr", "temp": "TempErr", "fan": "FanErr", "current": "CurrentErr"}
RAIL_KEY = ("Minus5VErr", "Plus12VErr", "Plus72VAErr", "Plus72VBErr")
# The words of the alert body: per channel, and the rails in their order.
BODY_WORDS = {"CHANNEL FAILURE": "channel", "FAN FAILURE": "fan", "HIGH TEMPERATURE": "temp",
              "OVER-CURRENT": "current"}
RAIL_LABELS = ("-5V", "+12V", "+72V (A)", "+72V (B)")
CONDITION_WORDS = (("channel", "Channel Failure"), ("temp", "High Temperature"),
                   ("fan", "Fan Failure"), ("current", "Over-current"))


class Timing:
    """Seconds; the monitor polls every second."""
    # A fault state stands at least this long, so that several polls see it.
    hold = (6.0, 18.0)
    # After a fault change the state is seen a few times before any misbehaviour starts.
    settle = 3.0
    # Nothing changes in the last seconds before a SIGTERM (the state and the mails it causes
    # are through before the shutdown) nor in the first seconds after a start (every device is
    # connected and has been seen, the start-up alerts are out, before anything changes).
    stop_guard = 4.0
    start_guard = 6.0
    down = 2.0           # the monitor stays stopped this long between two runs
    shutdown = 1.5       # what a shutdown takes (its closing pause); longer ones shift the plan
    quiet_guard = 5.0    # before a quiet point: no change and no misbehaviour on any device
    end_guard = 10.0     # before the final SIGTERM: every device back and Connected
    sample_every = 2.0   # memory and descriptor samples
    # An outage outlasts the hold time (LostMinutes=1) and the 5 s of the monitor's check; the
    # device is Connected again this long after it ends.
    outage = 70.0
    outage_recovery = 6.0
    # A mute's end is seen by a check every 5 s: no fault change this near it on that device.
    mute_margin = 8.0


OUTAGE_DEVICES = 3
OUTAGE_KINDS = ("refuse", "silent", "hangup")
MUTES_PER_LIFE = 2
# The alert of an outage, as the mail multisets hold it beside the fault sets.
UNREACHABLE = frozenset({("unreachable", 0)})


# Misbehaviours: (shortest, longest) time they last (0: a single event), the time the monitor
# needs to have a normal connection again after the end, and the simulator commands that start
# and end them. Their windows, recovery included, lie inside one fault state.
MISBEHAVIOURS = {
    "drop": (0, 0, 5.0),
    "reset": (0, 0, 5.0),
    "refuse": (3, 6, 6.0),
    "silent": (3, 6, 6.0),
    # Anything at the address that accepts and closes at once: the monitor's retries back off,
    # so its recovery may wait for the next poll's reconnect after the end.
    "hangup": (3, 6, 6.0),
    "delay": (4, 8, 5.0),
    "split": (4, 8, 4.0),
    "double": (4, 8, 3.0),
    "garbage": (0, 0, 3.0),
    "overlong": (0, 0, 3.0),
}


def misbehaviour_commands(kind, dev, rng):
    if kind == "refuse":
        # Refusing only hinders new connections: the standing one is closed with it.
        return ["refuse %d on" % dev, "drop %d" % dev], ["refuse %d off" % dev]
    if kind == "hangup":
        # New connections are hung up on; the standing one is closed with it.
        return ["hangup %d on" % dev, "drop %d" % dev], ["hangup %d off" % dev]
    if kind == "silent":
        return ["silent %d on" % dev], ["silent %d off" % dev]
    if kind == "delay":
        return ["delay %d 1500" % dev], ["delay %d 0" % dev]
    if kind == "split":
        return ["split %d %d %d" % (dev, rng.randint(2, 6), rng.choice([50, 100, 150]))], \
            ["split %d 1 0" % dev]
    if kind == "double":
        return ["double %d on" % dev], ["double %d off" % dev]
    return ["%s %d" % (kind, dev)], []


def device_model(dev):
    return MODELS[dev % 4]


def device_serial(dev):
    # Digits only: the status fields are found by their letters, which a serial must not hold.
    return "%08d" % (12000000 + dev)


def device_items(dev):
    channels = CHANNELS[device_model(dev)]
    return [(c, ch) for c in CLASSES for ch in range(1, channels + 1)] + \
        [("supply", r) for r in range(4)]


def item_command(dev, item, on):
    kind, where = item
    word = "on" if on else "off"
    if kind == "supply":
        return "supply %d %d %s" % (dev, where, word)
    return "fault %d %s %d %s" % (dev, kind, where, word)


def counter_key(item, dev):
    kind, where = item
    if kind == "supply":
        return "%sdevice %d" % (RAIL_KEY[where], dev)
    return "%s%ddevice %d" % (CLASS_KEY[kind], where - 1, dev)


def all_counter_keys(dev):
    return [counter_key((c, ch), dev) for ch in range(1, 8) for c in CLASSES] + \
        [counter_key(("supply", r), dev) for r in range(4)]


def condition_text(faults):
    words = [text for cls, text in CONDITION_WORDS if any(k == cls for k, _ in faults)]
    if any(k == "supply" for k, _ in faults):
        words.append("Power Supply Failure")
    return ", ".join(words) if words else "OK"


def show(faults):
    return "{" + ", ".join("%s %d" % i for i in sorted(faults)) + "}"


# ---------------------------------------------------------------------------------------------
# The schedule


class Schedule:
    """Everything the test will do, in schedule seconds from the first start of the monitor.

    runs: (start, stop) of each life of the monitor. zones: spans in which no device changes
    its faults or misbehaves: the seconds around every stop and start, before every quiet
    point and before the end. Fault changes and misbehaviour windows are placed only outside
    them, so each fault state is seen by several polls of a running monitor with a normal
    connection, and the mails it causes are delivered before any shutdown.

    outages: (device, start) of the devices that send no status for Timing.outage seconds, in
    the longest life when it has the room (a run of about 4.5 minutes or more). mutes: (life,
    device, end) of the mutes written into the settings file before that life, ending inside
    it. device_zones: per device, the spans around its outage and its mutes' ends in which it
    changes nothing.
    """

    def __init__(self, minutes, restarts, seed):
        self.total = minutes * 60.0
        self.rng = random.Random(seed)
        self.events = []  # (time, order, action, argument)
        self.states = [[] for _ in range(DEVICES)]  # per device: (time, fault set)
        self.initial = [frozenset() for _ in range(DEVICES)]
        self.misbehaviour_count = collections.Counter()
        self.faults_switched_on = 0
        self.fault_changes = 0
        self.kinds_injected = set()
        self.device_zones = [[] for _ in range(DEVICES)]
        self._plan_runs(restarts)
        self._plan_quiet_points()
        self._plan_outages()
        self._plan_mute_zones()
        self._plan_devices()
        self._plan_mutes()
        self.events.sort(key=lambda e: (e[0], e[1]))

    def _add(self, at, action, argument=None):
        self.events.append((at, len(self.events), action, argument))

    def _plan_runs(self, restarts):
        t = Timing
        # The restarts fall in the first 60 per cent, so that the last life of the process is
        # the longest: memory and descriptors are judged there.
        stops = [round(self.total * 0.6 * (i + 1) / restarts, 1) for i in range(restarts)]
        self.runs, self.zones = [], [(0.0, t.start_guard)]
        start = 0.0
        for stop in stops:
            self.runs.append((start, stop))
            start = stop + t.shutdown + t.down
            self.zones.append((stop - t.stop_guard, start + t.start_guard))
            self._add(stop - 1.0, "quiet", "before stop %d" % len(self.runs))
            self._add(stop, "restart", len(self.runs))
        self.runs.append((start, self.total))
        self.zones.append((self.total - t.end_guard, self.total + 1.0))
        if any(b - a < t.start_guard + t.stop_guard + 5 for a, b in self.runs):
            raise SystemExit("soak test: too many restarts for %.1f minutes" % (self.total / 60))

    def _plan_quiet_points(self):
        # Points where no device misbehaves or has just changed: every connection stands and
        # no mail is on its way, so the descriptor counts of two such points must be equal.
        # Before every stop there is one; a long last run has one after its warm-up and one
        # every five minutes or so; the last run has one at its end.
        a, b = self.runs[-1]
        self.warm = a + max(20.0, 0.05 * (b - a))
        last = b - Timing.end_guard + 2.0
        between = int((last - self.warm) // 300)
        self.quiet_points = [self.warm + (last - self.warm) * k / between
                             for k in range(between)] + [last]
        for q in self.quiet_points:
            self.zones.append((q - Timing.quiet_guard, q + 0.5))
            self._add(q, "quiet", "final run at %.0f s" % q)
        self._add(b - 3.0, "final check")
        self._add(b, "finish")

    def allowed_spans(self, dev=None):
        spans, at = [], 0.0
        zones = self.zones + (self.device_zones[dev] if dev is not None else [])
        for a, b in sorted(zones):
            if a > at:
                spans.append((at, a))
            at = max(at, b)
        return [(a, b) for a, b in spans if b - a > 1.0]

    def _plan_devices(self):
        rng = self.rng
        uncovered = {(c, ch) for c in CLASSES for ch in range(1, 8)} | \
            {("supply", r) for r in range(4)}
        for dev in range(DEVICES):
            spans = self.allowed_spans(dev)
            items = device_items(dev)
            # A third of the devices already have faults when the monitor first starts: they are
            # mailed but not counted, as the first status of a record has no previous one.
            current = frozenset()
            if rng.random() < 0.33:
                current = frozenset(rng.sample(items, rng.randint(1, 2)))
                self.faults_switched_on += len(current)
                self.kinds_injected |= current
                uncovered -= current
            self.initial[dev] = current
            self.states[dev].append((float("-inf"), current))
            for lo, hi in spans:
                at = lo + rng.uniform(0.0, 2.0)
                while at < hi:
                    current = self._change(dev, at, current, items, uncovered)
                    end = at + rng.uniform(*Timing.hold)
                    at = self._maybe_misbehave(dev, at + Timing.settle, end, hi)

    def _change(self, dev, at, current, items, uncovered):
        rng = self.rng
        new = set(current)
        if len(current) >= 2 and rng.random() < 0.15:
            new = set()
            commands = ["clear %d" % dev]
        else:
            for _ in range(rng.choice((1, 1, 2, 3))):
                off = [i for i in items if i not in new]
                if off and (not new or rng.random() < (0.7 if len(new) < 3 else 0.3)):
                    # Kinds not yet seen anywhere on the site come first.
                    fresh = [i for i in off if i in uncovered]
                    new.add(rng.choice(fresh or off))
                else:
                    new.discard(rng.choice(sorted(new)))
            if new == set(current):
                new.symmetric_difference_update({rng.choice(items)})
            # The simulator takes one line at a time, and a poll may fall between two lines:
            # the items going off go first, so a status between shows a part of the faults
            # already seen, which neither counts nor mails anything.
            commands = [item_command(dev, i, False) for i in sorted(current - new)] + \
                [item_command(dev, i, True) for i in sorted(new - current)]
        new = frozenset(new)
        self.faults_switched_on += len(new - current)
        self.kinds_injected |= new
        uncovered -= new
        self.fault_changes += 1
        self.states[dev].append((at, new))
        self._add(at, "commands", commands)
        return new

    def _maybe_misbehave(self, dev, lo, end, hi):
        """Perhaps a misbehaviour from lo on, over and done with (recovery included) before the
        next fault change at end and before the next zone at hi. Returns the time of the next
        fault change: later than end when the misbehaviour needs the room."""
        rng = self.rng
        if rng.random() < 0.4:
            return end
        room = hi - lo
        fitting = [k for k, (shortest, _, recovery) in MISBEHAVIOURS.items()
                   if shortest + recovery <= room]
        if not fitting:
            return end
        # The least used kinds first, so that every kind turns up even in a short run.
        fewest = min(self.misbehaviour_count[k] for k in fitting)
        kind = rng.choice([k for k in fitting if self.misbehaviour_count[k] == fewest])
        shortest, longest, recovery = MISBEHAVIOURS[kind]
        length = rng.uniform(shortest, min(longest, room - recovery))
        end = max(end, lo + length + recovery)
        start = rng.uniform(lo, min(end, hi) - recovery - length)
        begin, finish = misbehaviour_commands(kind, dev, rng)
        self._add(start, "commands", begin)
        if finish:
            self._add(start + length, "commands", finish)
        self.misbehaviour_count[kind] += 1
        return end

    def _plan_outages(self):
        """Outages away from restarts and quiet points: the device refuses connections, goes
        silent or hangs up for Timing.outage seconds inside one fault state of its own."""
        t = Timing
        need = t.settle + t.outage + t.outage_recovery + 2.0
        self.outages = []
        self.outage_room = max(b - a for a, b in self.allowed_spans())
        room = [(a, b) for a, b in self.allowed_spans() if b - a >= need]
        if not room:
            return
        a, b = max(room, key=lambda span: span[1] - span[0])
        for dev, kind in zip(self.rng.sample(range(DEVICES), OUTAGE_DEVICES), OUTAGE_KINDS):
            start = self.rng.uniform(a + t.settle, b - t.outage - t.outage_recovery - 1.0)
            begin, finish = misbehaviour_commands(kind, dev, self.rng)
            self._add(start, "commands", begin)
            self._add(start + t.outage, "commands", finish)
            self.device_zones[dev].append(
                (start - t.settle, start + t.outage + t.outage_recovery))
            self.outages.append((dev, start))

    def _plan_mute_zones(self):
        """Before the devices' plans: per life, a few devices that may be muted until a moment
        inside it, with no change near that moment and room for the alert at its end before
        the next zone."""
        margin = Timing.mute_margin
        self.mute_offers = []
        outage_devices = {dev for dev, _ in self.outages}
        for life, (a, b) in enumerate(self.runs):
            spans = [(lo, hi) for lo, hi in self.allowed_spans()
                     if a < lo and hi <= b and hi - lo > margin + 3.0]
            if not spans:
                continue
            candidates = [d for d in range(DEVICES) if d not in outage_devices]
            for dev in self.rng.sample(candidates, 4 * MUTES_PER_LIFE):
                lo, hi = self.rng.choice(spans)
                end = self.rng.uniform(lo + 2.0, hi - margin - 1.0)
                self.mute_offers.append((life, dev, end))
                self.device_zones[dev].append((end - margin, end + margin))

    def _plan_mutes(self):
        """The mutes among the offers: first those whose device has faults standing at the end
        (alerted then), then those that hold some fault back before it."""
        self.mutes = []
        for life, (start, _) in enumerate(self.runs):
            offers = [o for o in self.mute_offers if o[0] == life]
            standing = [o for o in offers if self._state_at(o[1], o[2])]
            held = [o for o in offers if o not in standing and any(
                self._state_at(o[1], t) for t in [start] + [
                    t for t, _ in self.states[o[1]] if start < t < o[2]])]
            self.mutes += (standing + held)[:MUTES_PER_LIFE]

    def _state_at(self, dev, at):
        return [f for t, f in self.states[dev] if t <= at][-1]

    def mute_end(self, dev, life):
        return next((m for n, d, m in self.mutes if n == life and d == dev), None)

    def expected(self):
        """Counters and mails as the counting and limit rules give them, from the plan alone.

        Counting is edge-triggered on the stored previous status, and a record's previous
        status after a start is all faults, so within each life of the monitor the faults of
        its first status are not counted and every later item that goes from OK to fault is
        counted once. Recoveries count nothing. Mails: in limit mode an alert goes out for a
        status that shows an item not yet mailed, and marks every item it shows; the marks are
        kept in the settings file at each stop, so a restart mails nothing that was mailed before
        it (the run never crosses a day).

        A muted device mails nothing and marks nothing; when its mute runs out, the faults then
        standing are alerted as a status would alert them. An outage mails one NOT REACHABLE
        (in limit mode, the first of the day per device) and no fault it did not see. Recovery
        notices stay off (the default), so a cleared problem mails nothing."""
        counters = [collections.Counter() for _ in range(DEVICES)]
        mails = [[] for _ in range(DEVICES)]
        for dev in range(DEVICES):
            changes = self.states[dev]
            notified = set()
            for life, (start, stop) in enumerate(self.runs):
                before = [s for t, s in changes if t <= start]
                inside = [(t, s) for t, s in changes if start < t < stop]
                for t, _ in inside:
                    if not (start + Timing.start_guard <= t <= stop - Timing.stop_guard):
                        raise AssertionError("device %d changes at %.1f, too near a restart"
                                             % (dev, t))
                seen = [(start, before[-1])] + inside
                muted_until = self.mute_end(dev, life)
                previous = None
                for n, (t, faults) in enumerate(seen):
                    if previous is not None:
                        for item in faults - previous:
                            counters[dev][item] += 1
                    following = seen[n + 1][0] if n + 1 < len(seen) else stop
                    # A status while muted alerts nothing; the state standing at the mute's
                    # end is alerted then.
                    if (muted_until is None or t >= muted_until or following > muted_until) \
                            and faults - notified:
                        mails[dev].append(faults)
                        notified |= faults
                    previous = faults
            if any(d == dev for d, _ in self.outages):
                mails[dev].append(UNREACHABLE)
        return counters, mails

    def final_state(self, dev):
        return self.states[dev][-1][1]


# ---------------------------------------------------------------------------------------------
# The processes around the monitor


class MailSink:
    """Debian's aiosmtpd on 127.0.0.1 with a port the system picks, in a thread of its own."""

    def __init__(self):
        from aiosmtpd.smtp import SMTP
        self.messages = []
        self.lock = threading.Lock()
        self.loop = asyncio.new_event_loop()
        ready = threading.Event()
        sink = self

        class Handler:
            async def handle_DATA(self, server, session, envelope):
                with sink.lock:
                    sink.messages.append(envelope.original_content)
                return "250 stored"

        def serve():
            asyncio.set_event_loop(self.loop)
            # The host name is given so that the server does not look its own name up.
            self.server = self.loop.run_until_complete(self.loop.create_server(
                lambda: SMTP(Handler(), hostname="sink.soak", enable_SMTPUTF8=False),
                "127.0.0.1", 0))
            self.port = self.server.sockets[0].getsockname()[1]
            ready.set()
            self.loop.run_forever()
            self.server.close()
            self.loop.run_until_complete(self.server.wait_closed())

        self.thread = threading.Thread(target=serve, daemon=True)
        self.thread.start()
        if not ready.wait(10):
            raise RuntimeError("the SMTP server did not start")

    def received(self):
        with self.lock:
            return list(self.messages)

    def stop(self):
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join(10)


class Simulator:
    """One avlo-devsim process for all devices; its report lines are counted as they come."""

    def __init__(self, devsim, seconds, initial):
        args = [devsim, "--discovery-listen", "none", "--duration", str(int(seconds))]
        for dev in range(DEVICES):
            args += ["--device", "%s%d:%s:%s" % (NET, dev + 1, device_model(dev),
                                                 device_serial(dev))]
            for kind, where in sorted(initial[dev]):
                if kind == "supply":
                    args += ["--supply-fault", "%d:%d" % (dev, where)]
                else:
                    args += ["--fault", "%d:%s:%d" % (dev, kind, where)]
        self.proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True)
        self.lock = threading.Lock()
        self.requests = 0
        self.ok = 0
        self.errors = []
        self.connections = 0
        self.sent = 0
        self.listed = threading.Event()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        request = re.compile(r"\[\d+\] request \*s\?")
        for line in self.proc.stdout:
            with self.lock:
                if request.match(line):
                    self.requests += 1
                elif line == "ok\n":
                    self.ok += 1
                elif line.startswith("error"):
                    self.errors.append(line.strip())
                elif " connection from " in line:
                    self.connections += 1
                elif line.startswith("[%d] " % (DEVICES - 1)) and " model " in line:
                    self.listed.set()

    def command(self, lines):
        for line in lines:
            self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()
        self.sent += len(lines)

    def counts(self):
        with self.lock:
            return self.requests, self.ok, list(self.errors), self.connections

    def stop(self):
        try:
            self.proc.stdin.write("quit\n")
            self.proc.stdin.close()
        except OSError:
            pass
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.reader.join(5)
        return self.proc.stderr.read()


def settings_text(smtp_port):
    # LostErr and Recovery keep their defaults (on, off); the hold time is the shortest.
    lines = ["[Events]", "ChanErr=1", "PSupplyErr=1", "FanErr=1", "TempErr=1", "OvcErr=1",
             "LostMinutes=1",
             "[Email]", "Alerts=1", "ServerIp=127.0.0.1", "ServerPort=%d" % smtp_port,
             "UserName=soak", "UserEmail=monitor@soak.test", "Email 1=alerts@soak.test",
             "[Options]", "Poll=1000", "Log=1", "Avlo=1", "Startup=0",
             "[AVLO]", "Registered=%d" % DEVICES]
    for dev in range(DEVICES):
        lines += ["Name %d=Amp %02d" % (dev, dev + 1), "IP %d=%s%d" % (dev, NET, dev + 1),
                  "avlo %d=1" % dev, "Model %d=%d" % (dev, dev % 4 + 1),
                  "Serial %d=%s" % (dev, device_serial(dev))]
    return "\r\n".join(lines) + "\r\n"


def write_mutes(path, mutes):
    """Mutes {device: until, in epoch seconds} into the "Alerts" section of the settings file
    the stopped monitor left, every other line as it was."""
    with open(path, "rb") as f:
        lines = f.read().decode("utf-8").split("\r\n")[:-1]
    keys = ["Muted device %d=%d" % (dev, until) for dev, until in sorted(mutes.items())]
    lines = [line for line in lines
             if not any(line.startswith(k.split("=")[0] + "=") for k in keys)]
    if "[Alerts]" in lines:
        at = lines.index("[Alerts]") + 1
        lines[at:at] = keys
    else:
        lines += ["[Alerts]"] + keys
    with open(path, "wb") as f:
        f.write(("\r\n".join(lines) + "\r\n").encode("utf-8"))


def midday_zone():
    """A TZ value in which it is now about ten in the morning: no run of the test crosses a
    local midnight, where the monitor forgets which faults it mailed."""
    now = datetime.datetime.now(datetime.timezone.utc)
    return "SOAK%+d" % (now.hour - 10)


class Monitor:
    def __init__(self, path, work, run_no, sanitized):
        self.out_path = os.path.join(work, "monitor-%d.out" % run_no)
        self.err_path = os.path.join(work, "monitor-%d.err" % run_no)
        env = dict(os.environ, XDG_CONFIG_HOME=work, HOME=work, TZ=midday_zone())
        if sanitized:
            env.setdefault("ASAN_OPTIONS", "detect_leaks=1")
        with open(self.out_path, "w") as out, open(self.err_path, "w") as err:
            self.proc = subprocess.Popen(
                [path, "--headless", "--config", os.path.join(work, "site.ini"),
                 "--lock-file", os.path.join(work, "lock"),
                 "--discovery-address", DISCOVERY_NOWHERE, "alerts"],
                stdout=out, stderr=err, env=env)
        self.pid = self.proc.pid

    def terminate(self, limit):
        self.proc.send_signal(signal.SIGTERM)
        try:
            return self.proc.wait(timeout=limit)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            return None

    def rows(self):
        """The last text of every row of the device list, as the headless monitor printed it."""
        rows = {}
        with open(self.out_path, errors="replace") as f:
            for line in f:
                m = re.match(r"row (\d+): \[.\] (.*)$", line.rstrip("\n"))
                if m:
                    rows[int(m.group(1))] = m.group(2).split(" | ")
        return rows


class Sampler(threading.Thread):
    """Resident memory and open descriptors of the running monitor every few seconds."""

    def __init__(self):
        super().__init__(daemon=True)
        self.lock = threading.Lock()
        self.pid = None
        self.run_no = 0
        self.samples = []  # (run, wall time, rss kB, fds)
        self.stopping = threading.Event()

    def watch(self, pid, run_no):
        with self.lock:
            self.pid, self.run_no = pid, run_no

    def sample(self):
        with self.lock:
            pid, run_no = self.pid, self.run_no
        if pid is None:
            return None
        try:
            with open("/proc/%d/status" % pid) as f:
                rss = next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))
            fds = len(os.listdir("/proc/%d/fd" % pid))
        except (OSError, StopIteration):
            return None
        record = (run_no, time.monotonic(), rss, fds)
        with self.lock:
            self.samples.append(record)
        return record

    def run(self):
        while not self.stopping.wait(Timing.sample_every):
            self.sample()


# ---------------------------------------------------------------------------------------------
# Reading the results


def mail_faults(raw):
    """(serial, model name, fault set, None) of an alert mail, read with Python's mail parser
    from its body, or (None, None, None, what is wrong with it)."""
    message = email.message_from_bytes(raw, policy=email.policy.default)
    subject = str(message["Subject"])
    m = re.match(r"AVLO Alert \[(RV1[0-3]), # (\d{8})\]: (.*)$", subject)
    if not m:
        return None, None, None, "not an alert: %r" % subject
    if m.group(3) == "NOT REACHABLE":
        return m.group(2), m.group(1), UNREACHABLE, None
    body = message.get_content()
    faults = set()
    for ch, words in re.findall(r"\tChannel (\d): \t([^\r\n]*)", body):
        for word in ([] if words == "OK" else words.split(", ")):
            if word not in BODY_WORDS:
                return None, None, None, "channel line %r in the mail of %s" % (words, m.group(2))
            faults.add((BODY_WORDS[word], int(ch)))
    for rail, label in enumerate(RAIL_LABELS):
        line = re.search(r"\t%s: \t+(OK|OUT OF LIMITS)" % re.escape(label), body)
        if not line:
            return None, None, None, "no %s line in the mail of %s" % (label, m.group(2))
        if line.group(1) == "OUT OF LIMITS":
            faults.add(("supply", rail))
    # The subject names every class present; it must agree with the body.
    subject_words = {**{v: k for k, v in BODY_WORDS.items()}, "supply": "POWER SUPPLY FAILURE"}
    if set(m.group(3).split(", ")) != {subject_words[k] for k, _ in faults}:
        return None, None, None, "subject %r does not match its body %s" % (subject, show(faults))
    return m.group(2), m.group(1), frozenset(faults), None


def scan_stderr(paths):
    counts = collections.Counter()
    problems = []
    for path in paths:
        with open(path, errors="replace") as f:
            for line in f:
                m = re.match(r"\S+ \S+ (EV_\w+) ", line)
                if m:
                    counts[m.group(1)] += 1
                for bad in ("AddressSanitizer", "LeakSanitizer", "runtime error:",
                            "could not be read", "could not be saved", "has stopped after"):
                    if bad in line:
                        problems.append("%s: %s" % (os.path.basename(path), line.strip()[:300]))
    return counts, problems


def judge_flat(samples, quiet, plan, sanitized):
    """Memory and descriptors.

    Descriptors are compared at the quiet points, where every device has its one connection
    and no mail is on its way: a leak of any descriptor shows as a higher count at a later
    point, in the same life of the monitor or a later one, so all counts must be equal.

    Resident memory is judged in the last, longest life of the process, after its warm-up:
    the median of the samples in the last third of that time may exceed the median of the
    first third by no more than 2 MiB plus 1 per cent (medians, so that a passing burst of
    connections or mails does not count; the allowance covers the allocator settling, which
    moves the figure by a few hundred kB). A leak of a hundred bytes per status adds some
    4 MB between the thirds of the hour-long run. Under AddressSanitizer memory is not judged:
    its quarantine grows by design, and its leak check runs at every exit instead."""
    failures = []
    if len({s[3] for s in quiet}) > 1:
        failures.append("open descriptors differ between quiet points: %s" % ", ".join(
            "run %d: %d" % (s[0], s[3]) for s in quiet))
    last_run = len(plan.runs)
    final = [s for s in samples if s[0] == last_run]
    if not final:
        return failures + ["no memory samples of the last run"], None
    # Sample times are wall seconds; the warm-up ends warm - a seconds into the last run.
    begin = final[0][1] + (plan.warm - plan.runs[-1][0])
    settled = [s for s in final if s[1] >= begin]
    third = len(settled) // 3
    if third < 2:
        return failures + ["too few memory samples after the warm-up of the last run"], None
    first = sorted(s[2] for s in settled[:third])[third // 2]
    latest = sorted(s[2] for s in settled[-third:])[third // 2]
    growth = latest - first
    allowed = 2048 + first // 100
    if not sanitized and growth > allowed:
        failures.append("resident memory grew by %d kB in the last run (allowed %d kB): "
                        "median %d kB, then %d kB" % (growth, allowed, first, latest))
    return failures, growth


# ---------------------------------------------------------------------------------------------


class Outcome:
    """What the run left behind, for the checks and the figures."""

    def __init__(self):
        self.monitors = []
        self.quiet = []        # samples taken at the quiet points
        self.stop_status = []  # exit status of every life after its SIGTERM
        self.final_rows = {}
        self.received = []     # raw mails
        self.failures = []
        self.suspects = set()  # devices whose counters or mails differ


def drive(plan, args, work, sim, sampler, out):
    """Runs the schedule: simulator commands, quiet samples, restarts, the final check."""
    stop_limit = 90.0 if args.sanitized else 30.0
    if not sim.listed.wait(15):
        raise RuntimeError("the simulator did not start")
    sampler.start()
    ini_path = os.path.join(work, "site.ini")
    offset = time.monotonic()
    mute_before_life(plan, 0, ini_path, 0.0)
    out.monitors.append(Monitor(args.monitor, work, 1, args.sanitized))
    sampler.watch(out.monitors[-1].pid, 1)
    # Schedule time runs with the wall clock, except that a restart which takes longer than
    # planned shifts everything after it, so the guards around restarts stay whole.
    for at, _, action, argument in plan.events:
        delay = at + offset - time.monotonic()
        if delay > 0:
            time.sleep(delay)
        if action == "commands":
            sim.command(argument)
        elif action == "quiet":
            record = sampler.sample()
            if record:
                out.quiet.append(record)
        elif action in ("restart", "finish"):
            out.stop_status.append(out.monitors[-1].terminate(stop_limit))
            sampler.watch(None, 0)
            if action == "restart":
                time.sleep(Timing.down)
                offset = max(offset, time.monotonic() - plan.runs[argument][0])
                mute_before_life(plan, argument, ini_path, time.monotonic() - offset)
                run_no = len(out.monitors) + 1
                out.monitors.append(Monitor(args.monitor, work, run_no, args.sanitized))
                sampler.watch(out.monitors[-1].pid, run_no)
                offset = max(offset, time.monotonic() - plan.runs[argument][0])
        elif action == "final check":
            # The last changes are end_guard seconds old: every device should be back.
            deadline = time.monotonic() + 15.0
            while True:
                out.final_rows = out.monitors[-1].rows()
                if all(out.final_rows.get(d, [""] * 4)[2] == "Connected"
                       for d in range(DEVICES)) or time.monotonic() > deadline:
                    break
                time.sleep(0.5)


def mute_before_life(plan, life, ini_path, now):
    """The mutes of the life about to start, their ends turned from schedule seconds (now is
    the schedule's time) into the wall clock's."""
    wall = time.time()
    mutes = {dev: round(wall + end - now) for n, dev, end in plan.mutes if n == life}
    if mutes:
        write_mutes(ini_path, mutes)


def check_processes(out, sim, sim_err):
    failures = out.failures
    for run_no, status in enumerate(out.stop_status, 1):
        if status != 0:
            failures.append("run %d ended with status %s after SIGTERM" % (run_no, status))
    counts, problems = scan_stderr([m.err_path for m in out.monitors])
    failures += problems
    if counts["EV_EMAIL_FAILED"]:
        failures.append("%d alert mails failed" % counts["EV_EMAIL_FAILED"])
    return counts


def check_events(plan, counts, out):
    """One outage event per planned outage, and one end of a mute per planned mute."""
    for name, want in (("EV_DEVICE_UNREACHABLE", len(plan.outages)),
                       ("EV_ALERTS_UNMUTED", len(plan.mutes))):
        if counts[name] != want:
            out.failures.append("%d %s events, expected %d" % (counts[name], name, want))


def check_simulator(sim, sim_err, out):
    failures = out.failures
    _, oks, sim_errors, _ = sim.counts()
    if sim_errors or oks != sim.sent:
        failures.append("the simulator took %d of %d commands: %s" % (oks, sim.sent,
                                                                      sim_errors[:3]))
    if sim_err.strip():
        failures.append("the simulator said: " + sim_err.strip()[:300])


def check_rows(plan, out):
    """Every device Connected again, its row showing the condition of its last faults."""
    for dev in range(DEVICES):
        row = out.final_rows.get(dev)
        want = ["Amp %02d" % (dev + 1), NET + str(dev + 1), "Connected",
                condition_text(plan.final_state(dev))]
        if row != want:
            out.failures.append("device %d at the end: %s, expected %s" % (dev, row, want))


def check_counters(expected, ini_path, out):
    """Every counter key of every device, zeros included. Returns the sum in the file."""
    sections, error = read_whole(ini_path)
    if error:
        out.failures.append("the settings file is not whole: " + error)
        return 0
    stats = sections.get("STATS", {})
    registered = sections.get("AVLO", {}).get("Registered")
    if registered != str(DEVICES):
        out.failures.append("the settings file lists %s devices" % registered)
    counted = 0
    wrong = []
    for dev in range(DEVICES):
        want = {counter_key(i, dev): n for i, n in expected[dev].items()}
        for key in all_counter_keys(dev):
            have = stats.get(key)
            counted += int(have) if have and have.lstrip("-").isdigit() else 0
            if have != str(want.get(key, 0)):
                out.suspects.add(dev)
                wrong.append("%s=%s, expected %d" % (key, have, want.get(key, 0)))
    if wrong:
        out.failures.append("%d counters differ: %s" % (len(wrong), "; ".join(wrong[:10])))
    return counted


def check_mails(expected, out):
    """Per device, the fault sets its alerts reported, compared as a multiset."""
    serials = {device_serial(d): d for d in range(DEVICES)}
    got = [collections.Counter() for _ in range(DEVICES)]
    for raw in out.received:
        serial, model, faults, error = mail_faults(raw)
        if not error and serial not in serials:
            error = "unknown serial %s" % serial
        elif not error and model != MODEL_NAMES[device_model(serials[serial])]:
            error = "serial %s with model %s" % (serial, model)
        if error:
            out.failures.append("mail: " + error)
            continue
        got[serials[serial]][faults] += 1
    for dev in range(DEVICES):
        want = collections.Counter(expected[dev])
        if got[dev] != want:
            out.suspects.add(dev)
            out.failures.append("device %d mails: got %s, expected %s" % (
                dev, sorted(show(f) for f in got[dev].elements()),
                sorted(show(f) for f in want.elements())))


def check_coverage(plan, out):
    every_kind = {(c, ch) for c in CLASSES for ch in range(1, 8)} | \
        {("supply", r) for r in range(4)}
    if plan.kinds_injected != every_kind:
        out.failures.append("the schedule left fault kinds out; run longer")
    if set(plan.misbehaviour_count) != set(MISBEHAVIOURS):
        out.failures.append("the schedule left misbehaviours out: %s; run longer" %
                            sorted(set(MISBEHAVIOURS) - set(plan.misbehaviour_count)))


def print_plan_of_suspects(plan, out):
    """What was planned for the devices that went wrong, to hold against the monitor's log."""
    for dev in sorted(out.suspects)[:5]:
        print("soak test: plan of device %d (serial %s): %s" % (dev, device_serial(dev), "; ".join(
            "%s %s" % ("start" if t < 0 else "%.1f s" % t, show(f)) for t, f in plan.states[dev])))
        for d, at in plan.outages:
            if d == dev:
                print("  outage from %.1f s to %.1f s" % (at, at + Timing.outage))
        for n, d, end in plan.mutes:
            if d == dev:
                print("  muted before run %d until %.1f s" % (n + 1, end))
    if out.suspects:
        print("soak test: lives of the monitor (schedule seconds): %s" % ", ".join(
            "%.1f-%.1f" % run for run in plan.runs))


def write_mails(folder, received):
    """Every mail the server received, one file each, to read after the run."""
    os.makedirs(folder, exist_ok=True)
    for n, raw in enumerate(received, 1):
        with open(os.path.join(folder, "%04d.eml" % n), "wb") as f:
            f.write(raw)


def write_samples(path, samples):
    with open(path, "w") as f:
        f.write("run,seconds,rss_kb,fds\n")
        for run_no, at, rss_kb, fd_count in samples:
            f.write("%d,%.1f,%d,%d\n" % (run_no, at - samples[0][1], rss_kb, fd_count))


def run_soak(args):
    try:
        sink = MailSink()
    except ImportError:
        if os.environ.get("CI") == "true":
            print("soak test: FAILED: %s cannot import aiosmtpd" % sys.executable)
            return 1
        print("soak test: skipped: %s cannot import aiosmtpd (python3-aiosmtpd)" % sys.executable)
        return 77

    restarts = args.restarts if args.restarts is not None else max(3, int(args.minutes // 10))
    plan = Schedule(args.minutes, restarts, args.seed)
    expected_counters, expected_mails = plan.expected()
    work = tempfile.mkdtemp(prefix="avlo-soak.")
    with open(os.path.join(work, "site.ini"), "w", newline="") as f:
        f.write(settings_text(sink.port))

    sim = Simulator(args.devsim, plan.total + 120, plan.initial)
    sampler = Sampler()
    out = Outcome()
    try:
        drive(plan, args, work, sim, sampler, out)
    except RuntimeError as error:
        out.failures.append(str(error))
    finally:
        sampler.stopping.set()
        sim_err = sim.stop()
        # Every mail was due long before the end; the server stops last.
        time.sleep(0.5)
        out.received = sink.received()
        sink.stop()
        for m in out.monitors:
            if m.proc.poll() is None:
                m.proc.kill()
                m.proc.wait()

    counts = check_processes(out, sim, sim_err)
    check_simulator(sim, sim_err, out)
    check_events(plan, counts, out)
    check_rows(plan, out)
    counted = check_counters(expected_counters, os.path.join(work, "site.ini"), out)
    check_mails(expected_mails, out)
    flat_failures, growth = judge_flat(sampler.samples, out.quiet, plan, args.sanitized)
    out.failures += flat_failures
    check_coverage(plan, out)
    print_plan_of_suspects(plan, out)
    write_samples(os.path.join(work, "samples.csv"), sampler.samples)
    write_mails(os.path.join(work, "mails"), out.received)

    requests, _, _, connections = sim.counts()
    rss = [s[2] for s in sampler.samples]
    fds = [s[3] for s in sampler.samples]
    print("soak test: %.1f minutes, seed %d, %d devices, %d lives of the monitor (%d restarts "
          "by SIGTERM)" % (args.minutes, args.seed, DEVICES, len(out.monitors),
                           len(out.monitors) - 1))
    print("  statuses: %d status queries reached the simulators; the monitor handled %d "
          "statuses with faults (EV_DEVICE_ALERT)" % (requests, counts["EV_DEVICE_ALERT"]))
    print("  faults injected: %d fault changes switching %d fault items on (%d kinds)" % (
        plan.fault_changes, plan.faults_switched_on, len(plan.kinds_injected)))
    print("  misbehaviours injected: %d (%s)" % (
        sum(plan.misbehaviour_count.values()),
        ", ".join("%s %d" % kv for kv in sorted(plan.misbehaviour_count.items()))))
    print("  outages: %s; mutes: %s" % (
        ", ".join("device %d from %.1f s" % o for o in plan.outages) or
        "none (the longest span without restarts is %.0f s, %.0f s needed; run longer)" % (
            plan.outage_room, Timing.settle + Timing.outage + Timing.outage_recovery + 2.0),
        ", ".join("device %d in run %d until %.1f s" % (d, n + 1, m) for n, d, m in plan.mutes)))
    print("  connections accepted by the simulators: %d; connections lost (EV_DEVICE_CONNECTION_"
          "LOST): %d" % (connections, counts["EV_DEVICE_CONNECTION_LOST"]))
    print("  onsets counted in the settings file: %d (expected %d)" % (
        counted, sum(sum(c.values()) for c in expected_counters)))
    print("  alert mails received: %d (expected %d; EV_EMAIL_SENT %d)" % (
        len(out.received), sum(len(m) for m in expected_mails), counts["EV_EMAIL_SENT"]))
    if rss:
        print("  resident memory: peak %d kB, final %d kB; growth in the last run between the "
              "thirds after its warm-up: %s kB%s" % (
                  max(rss), rss[-1], growth,
                  " (not judged under AddressSanitizer)" if args.sanitized else ""))
        print("  open descriptors: %d to %d over %d samples; at the quiet points: %s" % (
            min(fds), max(fds), len(fds), ", ".join("%d" % s[3] for s in out.quiet)))
    for failure in out.failures:
        print("soak test: FAILED: " + failure)
    if out.failures:
        print("soak test: FAILED (%d problems); files kept in %s" % (len(out.failures), work))
        return 1
    print("soak test: PASSED")
    if args.keep:
        print("soak test: files kept in %s" % work)
    else:
        shutil.rmtree(work, ignore_errors=True)
    return 0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("monitor")
    ap.add_argument("devsim")
    ap.add_argument("--minutes", type=float, default=2.0)
    ap.add_argument("--seed", type=int, default=20261211)
    ap.add_argument("--restarts", type=int, default=None,
                    help="SIGTERM restarts (default: 3, or one per 10 minutes)")
    ap.add_argument("--private-net", action="store_true",
                    help="run inside a network namespace of its own (needs root)")
    ap.add_argument("--sanitized", action="store_true",
                    help="the programs are built with AddressSanitizer: longer stop limits, "
                         "memory not judged")
    ap.add_argument("--keep", action="store_true", help="keep the files of a passing run")
    args = ap.parse_args()
    if not 1.0 <= args.minutes <= 600:
        # Longer, and a run could cross the local midnight that midday_zone keeps away.
        ap.error("--minutes is 1 to 600")
    if args.sanitized:
        # The instrumented monitor starts and stops more slowly.
        Timing.start_guard, Timing.stop_guard = 8.0, 5.0

    if args.private_net and os.environ.get("AVLO_SOAK_NETNS") != "1":
        if os.geteuid() == 0:
            env = dict(os.environ, AVLO_SOAK_NETNS="1")
            return subprocess.call(
                ["unshare", "-n", "--", "sh", "-c", 'ip link set lo up && exec "$@"', "sh",
                 sys.executable, os.path.abspath(__file__)] + sys.argv[1:], env=env)
        if os.environ.get("CI") == "true":
            print("soak test: FAILED: a private network namespace needs root")
            return 1
        print("soak test: not root: running on the host's loopback addresses")
    return run_soak(args)


if __name__ == "__main__":
    sys.exit(main())
