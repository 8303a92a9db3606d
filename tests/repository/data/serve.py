#!/usr/bin/python3
"""A file server on 127.0.0.1 for the repository tests that records every request.

  serve.py ROOT PORTFILE LOGFILE

Serves ROOT over HTTP/1.1 with persistent connections on a free port, writes the port to
PORTFILE once it listens, and appends one JSON line per request to LOGFILE:
{"path": ..., "cache-control": ..., "pragma": ...} (header values null when absent).
"""

import functools
import http.server
import json
import os
import sys


class Handler(http.server.SimpleHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        record = {
            "path": self.path,
            "cache-control": self.headers.get("Cache-Control"),
            "pragma": self.headers.get("Pragma"),
        }
        with open(self.server.log_path, "a") as log:
            log.write(json.dumps(record) + "\n")
        super().do_GET()

    def log_message(self, *args):
        pass


def main():
    root, port_file, log_path = sys.argv[1:4]
    handler = functools.partial(Handler, directory=root)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    server.log_path = log_path
    tmp = port_file + ".tmp"
    with open(tmp, "w") as f:
        f.write(str(server.server_address[1]))
    os.rename(tmp, port_file)
    server.serve_forever()


if __name__ == "__main__":
    main()
