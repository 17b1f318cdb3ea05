"""Runs a command under the system call restrictions of a systemd unit file, without systemd.

unit_seccomp.py UNIT -- COMMAND [ARGS...]

Reads the [Service] section of UNIT and, like the service manager, loads one seccomp filter
per setting before it executes COMMAND (no new privileges, so no set-user-ID program can
shed them):
  UMask=                          the file mode mask
  SystemCallFilter=               an allow list of the named calls and groups (expanded with
                                  `systemd-analyze syscall-filter`, so the groups are this
                                  systemd's own), "~" lines taken away from it; a call
                                  outside it kills the process, so a test sees any call the
                                  program needs and the unit would refuse
  SystemCallArchitectures=native  only the native calling convention (libseccomp's default)
  RestrictAddressFamilies=        socket() of any other family fails with EAFNOSUPPORT
  MemoryDenyWriteExecute=yes      no mapping both writable and executable, no mprotect() or
                                  shmat() that makes memory executable
  LockPersonality=yes             personality() may not change the execution domain
  RestrictRealtime=yes            no real-time scheduling policy
  RestrictSUIDSGID=yes            no set-user-ID or set-group-ID files made
  RestrictNamespaces=yes          no new namespaces (clone3 reports ENOSYS, as under systemd,
                                  so that the C library falls back to clone, whose flags a
                                  filter can read)
Run with /usr/bin/python3 (Debian's python3-seccomp).
"""

import errno
import os
import socket
import subprocess
import sys

import seccomp

PROT_WRITE, PROT_EXEC, SHM_EXEC = 0x2, 0x4, 0o100000
S_ISUID, S_ISGID, O_CREAT = 0o4000, 0o2000, 0o100
SCHED_FIFO, SCHED_RR, SCHED_DEADLINE = 1, 2, 6
CLONE_NEW = {"cgroup": 0x02000000, "ipc": 0x08000000, "mnt": 0x00020000, "net": 0x40000000,
             "pid": 0x20000000, "user": 0x10000000, "uts": 0x04000000}
AF_MAX = 64  # above every family the kernel knows


def read_service(path):
    """The [Service] settings as (key, value) pairs in file order."""
    pairs, section = [], None
    with open(path) as f:
        for raw in f:
            line = raw.strip()
            if not line or line[0] in "#;":
                continue
            if line.startswith("["):
                section = line
            elif section == "[Service]" and "=" in line:
                key, value = line.split("=", 1)
                pairs.append((key.strip(), value.strip()))
    return pairs


def syscall_groups():
    """Every group systemd-analyze knows, each as the set of its members (calls or groups)."""
    text = subprocess.run(["systemd-analyze", "syscall-filter"], check=True,
                          capture_output=True, text=True).stdout
    groups, current = {}, None
    for line in text.splitlines():
        if line.startswith("@"):
            current = groups.setdefault(line.strip(), set())
        elif current is not None and line.strip() and not line.strip().startswith("#"):
            current.add(line.strip())
    return groups


def expand(names, groups):
    calls = set()
    for name in names:
        if name.startswith("@"):
            calls |= expand(groups[name], groups)
        else:
            calls.add(name)
    return calls


def allowed_calls(values, groups):
    """The allow list that the unit's SystemCallFilter= lines make, or None for no filter."""
    allowed = None
    for value in values:
        deny = value.startswith("~")
        calls = expand(value.lstrip("~").split(), groups)
        if allowed is None:
            if deny:
                raise SystemExit("unit_seccomp: only allow-list filters are supported")
            allowed = set()
        allowed = allowed - calls if deny else allowed | calls
    return allowed


def add(flt, action, call, *args):
    try:
        flt.add_rule(action, call, *args)
    except (ValueError, RuntimeError):
        pass  # a call this architecture does not have, as systemd skips it


def allow_list_filter(calls):
    flt = seccomp.SyscallFilter(defaction=seccomp.KILL_PROCESS)
    for call in sorted(calls):
        add(flt, seccomp.ALLOW, call)
    return flt


def family_filter(names):
    keep = {getattr(socket, name) for name in names}
    flt = seccomp.SyscallFilter(defaction=seccomp.ALLOW)
    refuse = seccomp.ERRNO(errno.EAFNOSUPPORT)
    for family in range(AF_MAX):
        if family not in keep:
            add(flt, refuse, "socket", seccomp.Arg(0, seccomp.EQ, family))
    add(flt, refuse, "socket", seccomp.Arg(0, seccomp.GE, AF_MAX))
    return flt


def write_execute_filter():
    flt = seccomp.SyscallFilter(defaction=seccomp.ALLOW)
    wx = PROT_WRITE | PROT_EXEC
    add(flt, seccomp.ERRNO(errno.EPERM), "mmap", seccomp.Arg(2, seccomp.MASKED_EQ, wx, wx))
    for call in ("mprotect", "pkey_mprotect"):
        add(flt, seccomp.ERRNO(errno.EPERM), call,
            seccomp.Arg(2, seccomp.MASKED_EQ, PROT_EXEC, PROT_EXEC))
    add(flt, seccomp.ERRNO(errno.EPERM), "shmat",
        seccomp.Arg(2, seccomp.MASKED_EQ, SHM_EXEC, SHM_EXEC))
    return flt


def personality_filter():
    flt = seccomp.SyscallFilter(defaction=seccomp.ALLOW)
    add(flt, seccomp.ERRNO(errno.EPERM), "personality", seccomp.Arg(0, seccomp.NE, 0))
    return flt


def realtime_filter():
    flt = seccomp.SyscallFilter(defaction=seccomp.ALLOW)
    for policy in (SCHED_FIFO, SCHED_RR, SCHED_DEADLINE):
        add(flt, seccomp.ERRNO(errno.EPERM), "sched_setscheduler",
            seccomp.Arg(1, seccomp.EQ, policy))
    return flt


def suid_filter():
    flt = seccomp.SyscallFilter(defaction=seccomp.ALLOW)
    refuse = seccomp.ERRNO(errno.EPERM)
    for bit in (S_ISUID, S_ISGID):
        for call, mode_arg in (("chmod", 1), ("fchmod", 1), ("fchmodat", 2), ("creat", 1)):
            add(flt, refuse, call, seccomp.Arg(mode_arg, seccomp.MASKED_EQ, bit, bit))
        for call, flags_arg in (("open", 1), ("openat", 2)):
            add(flt, refuse, call, seccomp.Arg(flags_arg, seccomp.MASKED_EQ, O_CREAT, O_CREAT),
                seccomp.Arg(flags_arg + 1, seccomp.MASKED_EQ, bit, bit))
    return flt


def namespace_filter():
    flt = seccomp.SyscallFilter(defaction=seccomp.ALLOW)
    add(flt, seccomp.ERRNO(errno.ENOSYS), "clone3")
    add(flt, seccomp.ERRNO(errno.EPERM), "setns")
    for flag in CLONE_NEW.values():
        for call in ("clone", "unshare"):
            add(flt, seccomp.ERRNO(errno.EPERM), call,
                seccomp.Arg(0, seccomp.MASKED_EQ, flag, flag))
    return flt


def filters(settings):
    """The unit's filters, in the order systemd loads its own (allow list last)."""
    chosen = []
    yes = lambda key: settings.get(key, [""])[-1] == "yes"
    if "RestrictAddressFamilies" in settings:
        chosen.append(family_filter(" ".join(settings["RestrictAddressFamilies"]).split()))
    if yes("MemoryDenyWriteExecute"):
        chosen.append(write_execute_filter())
    if yes("LockPersonality"):
        chosen.append(personality_filter())
    if yes("RestrictRealtime"):
        chosen.append(realtime_filter())
    if yes("RestrictSUIDSGID"):
        chosen.append(suid_filter())
    if yes("RestrictNamespaces"):
        chosen.append(namespace_filter())
    calls = allowed_calls(settings.get("SystemCallFilter", []), syscall_groups())
    if calls is not None:
        chosen.append(allow_list_filter(calls))
    return chosen


def main():
    if len(sys.argv) < 4 or sys.argv[2] != "--":
        raise SystemExit(__doc__)
    settings = {}
    for key, value in read_service(sys.argv[1]):
        settings.setdefault(key, []).append(value)
    for key in ("RestrictAddressFamilies", "SystemCallArchitectures"):
        values = settings.get(key, [])
        if any(v.startswith("~") for v in values) or values[-1:] not in ([], ["native"]) \
                and key == "SystemCallArchitectures":
            raise SystemExit("unit_seccomp: %s=%s is not supported" % (key, values))
    if "UMask" in settings:
        os.umask(int(settings["UMask"][-1], 8))
    built = filters(settings)  # every filter made before the first is loaded
    for flt in built:
        flt.load()  # sets no_new_privs first (libseccomp's default)
    os.execvp(sys.argv[3], sys.argv[3:])


if __name__ == "__main__":
    main()
