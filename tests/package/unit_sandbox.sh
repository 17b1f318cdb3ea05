#!/usr/bin/env bash
# Runs a command as USER in the sandbox that the user unit asks systemd for, built by hand for
# machines where no systemd runs the services (containers, CI):
#   ProtectSystem=strict, ProtectHome=read-only   every mount read-only but the WRITABLE folders
#   PrivateTmp=yes                                  empty /tmp and /var/tmp of its own
#   PrivateDevices=yes                              a /dev with only null, zero, full, random,
#                                                   urandom, tty and an empty /dev/shm
#   ProtectKernelTunables=yes                       /proc/sys and /sys read-only
#   ProtectKernelLogs=yes                           /proc/kmsg unreadable
#   ProtectHostname=yes                             a host name of its own (UTS namespace)
#   CapabilityBoundingSet=, NoNewPrivileges=yes     setpriv: no capabilities, no new privileges
#   UMask=, the system call settings                unit_seccomp.py reads them from the unit
# Must run as root (it makes the namespaces and mounts, then becomes USER).
# Usage: unit_sandbox.sh UNIT USER WRITABLE[:WRITABLE...] -- COMMAND [ARGS...]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
[ $# -ge 5 ] && [ "$4" = "--" ] || { sed -n '2,14p' "$0" >&2; exit 64; }

if [ "${AVLO_SANDBOX_INSIDE:-}" != 1 ]; then
  exec env AVLO_SANDBOX_INSIDE=1 unshare --mount --uts --propagation private -- "$0" "$@"
fi
unit=$1 user=$2 writable=$3
shift 4
IFS=: read -r -a keep <<<"$writable"

# The writable folders become mounts of their own before everything else turns read-only.
for dir in "${keep[@]}"; do mount --bind "$dir" "$dir"; done
is_kept() {
  local dir
  for dir in "${keep[@]}"; do [ "$1" = "$dir" ] && return 0; done
  return 1
}
# Mount points as the kernel lists them (octal escapes for blanks), deepest last. Namespace
# handles (nsfs, e.g. other test beds' /run/netns entries, which may vanish meanwhile) hold no
# files to protect.
while read -r mount_point fs_type; do
  mount_point=$(printf '%b' "$mount_point")
  case $mount_point in /proc | /proc/* | /dev | /dev/*) continue ;; esac
  [ "$fs_type" = nsfs ] && continue
  is_kept "$mount_point" && continue
  mount -o remount,bind,ro "$mount_point"
done < <(awk '{for (i = 7; $i != "-"; i++); print $5, $(i + 1)}' /proc/self/mountinfo)
mount --bind /proc/sys /proc/sys
mount -o remount,bind,ro /proc/sys

# The fresh /tmp and /var/tmp would hide what the sandbox must still reach when the tree, the
# build or the writable folders lie there (a clone in /tmp): each such top folder is put back
# from the old one, with the mounts below it, so the kept folders stay writable. (mount must
# not turn the descriptor's link into its name: that name is the fresh /tmp by then.)
exec 8</tmp 9</var/tmp
tops=()
for path in "$here" "$unit" "${keep[@]}" "$@"; do
  case $path in
    /tmp/?*) tops+=("/tmp/$(cut -d/ -f3 <<<"$path")") ;;
    /var/tmp/?*) tops+=("/var/tmp/$(cut -d/ -f4 <<<"$path")") ;;
  esac
done
mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs /tmp
mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs /var/tmp
for top in $(printf '%s\n' "${tops[@]}" | sort -u); do
  case $top in /tmp/*) old=/proc/self/fd/8/${top#/tmp/} ;; *) old=/proc/self/fd/9/${top#/var/tmp/} ;; esac
  if [ -d "$old" ]; then mkdir -p "$top"; else touch "$top"; fi
  mount --no-canonicalize --rbind "$old" "$top"
done
exec 8<&- 9<&-

mount -t tmpfs -o mode=755,nosuid tmpfs /dev
for node in null:1:3 zero:1:5 full:1:7 random:1:8 urandom:1:9 tty:5:0; do
  IFS=: read -r name major minor <<<"$node"
  mknod -m 666 "/dev/$name" c "$major" "$minor"
done
mkdir -m 1777 /dev/shm
mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs /dev/shm
mount --bind /dev/null /proc/kmsg
hostname avlo-sandbox

exec setpriv --reuid="$user" --regid="$(id -g "$user")" --clear-groups --inh-caps=-all \
  --bounding-set=-all --no-new-privs -- /usr/bin/python3 "$here/unit_seccomp.py" "$unit" -- "$@"
