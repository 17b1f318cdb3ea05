#!/usr/bin/env bash
# A private, strict Postfix for the e-mail tests.
#
#   postfix_server.sh ADDRESS PORT DIR [MAILBOX...]
#
# Runs an instance of Debian's Postfix of its own (configuration, queue and data in DIR, an
# empty folder the caller made) that listens on ADDRESS:PORT only (a loopback address) and
# delivers mail for the domain avlo.test into the maildir DIR/mail/maildir/ (one file per recipient
# in its new/). With MAILBOX names given, only those local parts exist and every other
# recipient is refused at RCPT TO. Nothing is ever relayed: any other destination is an
# error. Prints "ready" once the server accepts connections, then keeps it running until its
# standard input closes (the test ends or dies) or an hour has passed, then stops it.
# Needs root (Postfix's master runs as root); the log is DIR/maillog.
set -euo pipefail

if [ $# -lt 3 ]; then
  sed -n '2,13p' "$0" >&2
  exit 2
fi
address=$1
port=$2
dir=$3
shift 3

case $address in
  127.*) ;;
  *) echo "postfix_server: $address is not a loopback address" >&2; exit 2 ;;
esac
[ "$(id -u)" -eq 0 ] || { echo "postfix_server: needs root" >&2; exit 2; }
command -v postfix >/dev/null || [ -x /usr/sbin/postfix ] || {
  echo "postfix_server: Debian's postfix is not installed" >&2; exit 2; }
PATH=/usr/sbin:/usr/bin:/sbin:/bin

etc=$dir/etc
mkdir -p "$etc" "$dir/spool" "$dir/data" "$dir/mail"
# Postfix's daemons run as the postfix user and must reach the queue below this folder.
chmod 755 "$dir"
chown postfix: "$dir/data"
# Delivered as nobody: a user with no other business here.
chown nobody:nogroup "$dir/mail"

recipients=""
if [ $# -gt 0 ]; then
  entries=""
  for box in "$@"; do entries="$entries $box=ok"; done
  recipients="inline:{$entries }"
fi

cat >"$etc/main.cf" <<EOF
compatibility_level = 3.6
config_directory = $etc
queue_directory = $dir/spool
data_directory = $dir/data
meta_directory = /etc/postfix
daemon_directory = /usr/lib/postfix/sbin
shlib_directory = /usr/lib/postfix
command_directory = /usr/sbin
mail_owner = postfix
setgid_group = postdrop
maillog_file = $dir/maillog
maillog_file_prefixes = $dir

# Only this address, only this machine, no name look-ups.
inet_interfaces = $address
inet_protocols = ipv4
myhostname = postfix.avlo.test
mydomain = avlo.test
myorigin = avlo.test
mynetworks = 127.0.0.0/8
smtpd_peername_lookup = no
smtp_dns_support_level = disabled

# Final destination for avlo.test, delivered into one maildir; nothing relayed anywhere.
mydestination = avlo.test
local_transport = virtual
local_recipient_maps = $recipients
virtual_mailbox_base = $dir/mail
virtual_mailbox_maps = inline:{ @avlo.test=maildir/ }
virtual_uid_maps = static:$(id -u nobody)
virtual_gid_maps = static:$(getent group nogroup | cut -d: -f3)
virtual_minimum_uid = 1
default_transport = error
relay_transport = error
relayhost =
relay_domains =
smtpd_relay_restrictions = reject_unauth_destination
smtpd_recipient_restrictions = reject_unauth_destination
alias_maps =
alias_database =
biff = no
notify_classes =

# Strict, as a careful provider runs it.
strict_8bitmime = yes
strict_rfc821_envelopes = yes
smtpd_helo_required = yes
smtpd_helo_restrictions = reject_invalid_helo_hostname
# In this release "yes" only normalises a bare LF to CR LF; "reject" refuses it, as meant.
smtpd_forbid_bare_newline = reject
# The default exempts \$mynetworks, which holds loopback: the test must not be exempt.
smtpd_forbid_bare_newline_exclusions =
smtputf8_enable = no
EOF

cat >"$etc/master.cf" <<EOF
$address:$port inet n - n - - smtpd
pickup    unix  n       -       n       60      1       pickup
cleanup   unix  n       -       n       -       0       cleanup
qmgr      unix  n       -       n       300     1       qmgr
rewrite   unix  -       -       n       -       -       trivial-rewrite
bounce    unix  -       -       n       -       0       bounce
defer     unix  -       -       n       -       0       bounce
trace     unix  -       -       n       -       0       bounce
verify    unix  -       -       n       -       1       verify
flush     unix  n       -       n       1000?   0       flush
proxymap  unix  -       -       n       -       -       proxymap
showq     unix  n       -       n       -       -       showq
error     unix  -       -       n       -       -       error
retry     unix  -       -       n       -       -       error
discard   unix  -       -       n       -       -       discard
virtual   unix  -       n       n       -       -       virtual
anvil     unix  -       -       n       -       1       anvil
scache    unix  -       -       n       -       1       scache
postlog   unix-dgram n  -       n       -       1       postlogd
EOF

stop() {
  postfix -c "$etc" stop >/dev/null 2>&1 || true
  local pidfile=$dir/spool/pid/master.pid
  for _ in $(seq 50); do
    [ -s "$pidfile" ] && kill -0 "$(tr -d ' ' <"$pidfile")" 2>/dev/null || return 0
    sleep 0.1
  done
  kill -9 "$(tr -d ' ' <"$pidfile")" 2>/dev/null || true
}
trap stop EXIT
trap 'exit 1' TERM INT HUP

# "start" checks the configuration and makes the queue folders itself.
if ! postfix -c "$etc" start </dev/null >/dev/null 2>&1; then
  echo "postfix_server: Postfix did not start" >&2
  [ -f "$dir/maillog" ] && tail -20 "$dir/maillog" >&2
  exit 1
fi

# Up when a connection is accepted (bash's own /dev/tcp; closed at once).
for _ in $(seq 100); do
  if (exec 3<>"/dev/tcp/$address/$port") 2>/dev/null; then
    echo ready
    # Until the test closes our input, bounded in time all the same.
    read -r -t 3600 _ || true
    exit 0
  fi
  sleep 0.1
done
echo "postfix_server: Postfix did not start listening on $address:$port" >&2
[ -f "$dir/maillog" ] && tail -20 "$dir/maillog" >&2
exit 1
