#!/usr/bin/python3
"""Loopback web server of the update tests.

Serves the files of --root on 127.0.0.1 at a free port, which it writes to
--port-file once it listens. A path under /slow/ is sent 16 KiB every half
second. Every request path is appended to <root>/requests.log. With
--fixed-port the same files are served on that port too, where a
certificate's revocation list address points. The server ends when
--stop-file appears or after ten minutes.
"""
import argparse
import http.server
import os
import threading
import time


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--stop-file", required=True)
    parser.add_argument("--fixed-port", type=int)
    args = parser.parse_args()
    root = os.path.abspath(args.root)

    class Handler(http.server.SimpleHTTPRequestHandler):
        def __init__(self, *a, **kw):
            super().__init__(*a, directory=root, **kw)

        def log_message(self, *a):
            pass

        def do_GET(self):
            with open(os.path.join(root, "requests.log"), "a") as log:
                log.write(self.path + "\n")
            if not self.path.startswith("/slow/"):
                return super().do_GET()
            path = os.path.join(root, os.path.basename(self.path))
            try:
                with open(path, "rb") as f:
                    data = f.read()
                self.send_response(200)
                self.send_header("Content-Type", "application/octet-stream")
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                for i in range(0, len(data), 16384):
                    self.wfile.write(data[i:i + 16384])
                    self.wfile.flush()
                    time.sleep(0.5)
            except OSError:
                pass  # the client went away

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    servers = [server]
    if args.fixed_port:
        # The previous test's server may still be letting go of the port.
        for attempt in range(50):
            try:
                servers.append(http.server.ThreadingHTTPServer(("127.0.0.1", args.fixed_port),
                                                               Handler))
                break
            except OSError:
                if attempt == 49:
                    raise
                time.sleep(0.1)
        servers[-1].daemon_threads = True
        threading.Thread(target=servers[-1].serve_forever, args=(0.2,), daemon=True).start()
    tmp = args.port_file + ".tmp"
    with open(tmp, "w") as f:
        f.write(str(server.server_address[1]))
    os.replace(tmp, args.port_file)

    deadline = time.time() + 600

    def watch():
        while not os.path.exists(args.stop_file) and time.time() < deadline:
            time.sleep(0.2)
        for each in servers:
            each.shutdown()

    threading.Thread(target=watch, daemon=True).start()
    server.serve_forever(poll_interval=0.2)


if __name__ == "__main__":
    main()
