"""A real SMTP server for the client's tests, and a reader of what it stored.

serve HOST DIR   runs Debian's aiosmtpd on HOST with a port the system picks, prints the
                 port on a line of its own, stores each message as DIR/N.eml (the bytes
                 after DATA, dots removed) with DIR/N.env (sender, then recipients), and
                 ends when its standard input is closed.
parse FILE       parses a stored message with Python's standard mail parser and prints
                 one line "name hex(value)" per field, so that any byte comes through.

Run with /usr/bin/python3: the packages belong to Debian's interpreter.
"""

import asyncio
import email
import email.policy
import os
import sys


def serve(host, folder):
    from aiosmtpd.smtp import SMTP

    class Store:
        def __init__(self):
            self.count = 0

        async def handle_DATA(self, server, session, envelope):
            self.count += 1
            base = os.path.join(folder, str(self.count))
            with open(base + ".env.tmp", "w", encoding="utf-8") as f:
                f.write("\n".join([envelope.mail_from] + list(envelope.rcpt_tos)) + "\n")
            with open(base + ".eml.tmp", "wb") as f:
                f.write(envelope.original_content)
            os.rename(base + ".env.tmp", base + ".env")
            # The message file comes last: once it is there, both are complete.
            os.rename(base + ".eml.tmp", base + ".eml")
            return "250 stored"

    async def main():
        loop = asyncio.get_running_loop()
        store = Store()
        # The host name is given so that the server does not look its own name up.
        server = await loop.create_server(
            lambda: SMTP(store, hostname="sink.test", enable_SMTPUTF8=False), host, 0)
        print(server.sockets[0].getsockname()[1], flush=True)
        await loop.run_in_executor(None, sys.stdin.buffer.read)
        server.close()

    asyncio.run(main())


def parse(path):
    with open(path, "rb") as f:
        raw = f.read()
    # The parser reads lines with universal newlines; the raw body keeps the bytes as stored.
    message = email.message_from_bytes(raw, policy=email.policy.default)
    sender = message["From"]
    mailbox = sender.addresses[0] if sender is not None and sender.addresses else None
    recipients = message["To"]
    when = message["Date"].datetime if message["Date"] is not None else None
    payload = message.get_payload(decode=True)
    # aiosmtpd keeps CR LF, a maildir has LF only.
    raw_body = raw.partition(b"\r\n\r\n")[2] if b"\r\n\r\n" in raw else raw.partition(b"\n\n")[2]
    fields = {
        "from-name": mailbox.display_name if mailbox else "",
        "from-address": mailbox.addr_spec if mailbox else "",
        "to": ",".join(a.addr_spec for a in recipients.addresses) if recipients else "",
        "subject": str(message["Subject"]),
        "date-utc": str(int(when.timestamp())) if when else "",
        "date-offset": str(int(when.utcoffset().total_seconds())) if when else "",
        "message-id": str(message["Message-ID"]),
        "mime-version": str(message["MIME-Version"]),
        "content-type": message.get_content_type(),
        "charset": str(message.get_content_charset()),
        "body": payload.decode(message.get_content_charset() or "ascii") if payload else "",
        "raw-body": raw_body.decode("utf-8", "replace"),
        # A maildir (Postfix) stores lines with LF ends; the limits count without them.
        "longest-line": str(max(len(line.rstrip(b"\r")) for line in raw.split(b"\n"))),
        "all-7bit": "yes" if all(b < 0x80 for b in raw) else "no",
        "transfer-encoding": str(message["Content-Transfer-Encoding"]),
        "delivered-to": str(message["Delivered-To"]),
        "received": " ".join(str(message["Received"]).split()),
        "defects": str(len(message.defects) + sum(len(v.defects) for v in message.values())),
        "defect-list": "; ".join([repr(d) for d in message.defects] + [
            f"{k}: {d!r}" for k, v in message.items() for d in v.defects]),
        "header-names": ",".join(message.keys()),
    }
    for name, value in fields.items():
        print(name, value.encode("utf-8").hex())


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "serve":
        serve(sys.argv[2], sys.argv[3])
    elif len(sys.argv) == 3 and sys.argv[1] == "parse":
        parse(sys.argv[2])
    else:
        sys.exit(__doc__)
