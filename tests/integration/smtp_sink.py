"""A real SMTP server for the client's tests, and a reader of what it stored.

serve HOST DIR [OPTIONS]
                 runs Debian's aiosmtpd on HOST with a port the system picks, prints the
                 port on a line of its own, stores each message as DIR/N.eml (the bytes
                 after DATA, dots removed) with DIR/N.env (sender, then recipients) and,
                 after a sign-in, DIR/N.auth ("MECHANISM user"), and ends when its standard
                 input is closed. Options:
                   --cert CHAIN --key KEY   the server's certificate chain and key (PEM)
                   --starttls               offer STARTTLS and require it before anything else
                   --implicit               also serve TLS from the first byte on a second
                                            port; the line then holds both ports
                   --auth MECHS --user U --password P
                                            require sign-in with one of MECHS (PLAIN,LOGIN),
                                            offered only on an encrypted connection
certs DIR NAME...
                 makes a test certificate authority (DIR/ca.pem) and a server certificate
                 for the NAMEs (DIR/server.pem, DIR/server.key) with python3-trustme.
parse FILE       parses a stored message with Python's standard mail parser and prints
                 one line "name hex(value)" per field, so that any byte comes through.

Run with /usr/bin/python3: the packages belong to Debian's interpreter.
"""

import argparse
import asyncio
import email
import email.policy
import os
import sys


def serve(host, folder, options):
    import logging
    import ssl
    from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword

    # The library's warnings (sign-in allowed on the implicit TLS port) are not the test's.
    logging.getLogger("mail.log").setLevel(logging.ERROR)
    context = None
    if options.cert:
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(options.cert, options.key)

    mechanisms = set(options.auth.split(",")) if options.auth else set()

    def authenticator(server, session, envelope, mechanism, auth_data):
        ok = (isinstance(auth_data, LoginPassword)
              and auth_data.login == options.user.encode()
              and auth_data.password == options.password.encode())
        if ok:
            session.avlo_auth = mechanism + " " + auth_data.login.decode()
        # Not handled: the library then answers a refusal with its own 535.
        return AuthResult(success=ok, handled=False)

    def make(implicit):
        kwargs = dict(hostname="sink.test", enable_SMTPUTF8=False)
        if options.starttls and not implicit:
            kwargs.update(tls_context=context, require_starttls=True)
        if mechanisms:
            kwargs.update(authenticator=authenticator, auth_required=True,
                          auth_require_tls=not implicit,
                          auth_exclude_mechanism=[m for m in ("PLAIN", "LOGIN")
                                                  if m not in mechanisms])
        return SMTP(store, **kwargs)

    class Store:
        def __init__(self):
            self.count = 0

        async def handle_DATA(self, server, session, envelope):
            self.count += 1
            base = os.path.join(folder, str(self.count))
            if getattr(session, "avlo_auth", None):
                with open(base + ".auth", "w", encoding="utf-8") as f:
                    f.write(session.avlo_auth + "\n")
            with open(base + ".env.tmp", "w", encoding="utf-8") as f:
                f.write("\n".join([envelope.mail_from] + list(envelope.rcpt_tos)) + "\n")
            with open(base + ".eml.tmp", "wb") as f:
                f.write(envelope.original_content)
            os.rename(base + ".env.tmp", base + ".env")
            # The message file comes last: once it is there, both are complete.
            os.rename(base + ".eml.tmp", base + ".eml")
            return "250 stored"

    store = Store()

    async def main():
        loop = asyncio.get_running_loop()
        # The host name is given so that the server does not look its own name up.
        servers = [await loop.create_server(lambda: make(False), host, 0)]
        if options.implicit:
            servers.append(await loop.create_server(lambda: make(True), host, 0, ssl=context))
        print(" ".join(str(s.sockets[0].getsockname()[1]) for s in servers), flush=True)
        await loop.run_in_executor(None, sys.stdin.buffer.read)
        for server in servers:
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


def certs(folder, names):
    import trustme

    ca = trustme.CA()
    ca.cert_pem.write_to_path(os.path.join(folder, "ca.pem"))
    server = ca.issue_cert(*names)
    server.private_key_pem.write_to_path(os.path.join(folder, "server.key"))
    with open(os.path.join(folder, "server.pem"), "wb") as f:
        for blob in server.cert_chain_pems:
            f.write(blob.bytes())


if __name__ == "__main__":
    if len(sys.argv) >= 4 and sys.argv[1] == "serve":
        parser = argparse.ArgumentParser(prog="smtp_sink.py serve HOST DIR")
        parser.add_argument("--cert")
        parser.add_argument("--key")
        parser.add_argument("--starttls", action="store_true")
        parser.add_argument("--implicit", action="store_true")
        parser.add_argument("--auth")
        parser.add_argument("--user", default="")
        parser.add_argument("--password", default="")
        serve(sys.argv[2], sys.argv[3], parser.parse_args(sys.argv[4:]))
    elif len(sys.argv) >= 4 and sys.argv[1] == "certs":
        certs(sys.argv[2], sys.argv[3:])
    elif len(sys.argv) == 3 and sys.argv[1] == "parse":
        parse(sys.argv[2])
    else:
        sys.exit(__doc__)
