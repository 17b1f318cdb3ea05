"""A webhook receiver for the client's tests, on a loopback address.

serve HOST DIR MODE [--cert CHAIN --key KEY]
    listens on HOST with a port the system picks, prints the port on a line of its own, and
    ends when its standard input is closed. Every connection it accepts adds a line to
    DIR/connections. MODE:
      ok        answers 200 and stores each request as DIR/N.json: {"path", "headers"
                (name -> value, names in lower case), "body" (hex)}
      status:N  answers with status N (a 3xx with a Location header) after storing
      hang      accepts and never answers
    With --cert and --key it serves HTTPS with that certificate chain.
check-json FILE
    parses FILE as strict JSON (no NaN, no lone surrogates written out as text) and prints it
    back as compact JSON with ASCII escapes; exit status 1 when it is not JSON.

Run with /usr/bin/python3.
"""

import http.server
import json
import os
import socket
import ssl
import sys
import threading


def serve(host, folder, mode, cert, key):
    lock = threading.Lock()
    count = [0]

    class Handler(http.server.BaseHTTPRequestHandler):
        def log_message(self, *args):
            pass

        def do_POST(self):
            length = int(self.headers.get("Content-Length", "0"))
            body = self.rfile.read(length)
            with lock:
                count[0] += 1
                n = count[0]
            record = {
                "path": self.path,
                "headers": {k.lower(): v for k, v in self.headers.items()},
                "body": body.hex(),
            }
            with open(os.path.join(folder, "%d.json" % n), "w") as f:
                json.dump(record, f)
            status = 200 if mode == "ok" else int(mode.split(":")[1])
            self.send_response(status)
            if 300 <= status < 400:
                self.send_header("Location", "http://127.0.0.1:9/elsewhere")
            self.send_header("Content-Length", "2")
            self.end_headers()
            self.wfile.write(b"ok")

    class Server(http.server.ThreadingHTTPServer):
        daemon_threads = True

        def get_request(self):
            sock, address = self.socket.accept()
            with open(os.path.join(folder, "connections"), "a") as f:
                f.write("1\n")
            if mode == "hang":
                held.append(sock)  # never answered, never closed until the end
                raise OSError("held")
            if context is not None:
                sock = context.wrap_socket(sock, server_side=True)
            return sock, address

        def handle_error(self, request, client_address):
            pass

    held = []
    context = None
    if cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
    server = Server((host, 0), Handler)
    print(server.server_address[1], flush=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    sys.stdin.read()
    server.shutdown()
    for sock in held:
        sock.close()


def check_json(path):
    def refuse(constant):
        raise ValueError(constant)

    with open(path, "rb") as f:
        data = f.read()
    try:
        value = json.loads(data.decode("utf-8"), parse_constant=refuse)
    except (ValueError, UnicodeDecodeError) as e:
        print("not JSON: %s" % e)
        sys.exit(1)
    print(json.dumps(value, ensure_ascii=True, separators=(",", ":")))


if __name__ == "__main__":
    args = sys.argv[1:]
    if len(args) >= 4 and args[0] == "serve":
        cert = key = None
        if "--cert" in args:
            cert = args[args.index("--cert") + 1]
            key = args[args.index("--key") + 1]
        serve(args[1], args[2], args[3], cert, key)
    elif len(args) == 2 and args[0] == "check-json":
        check_json(args[1])
    else:
        sys.exit(__doc__)
