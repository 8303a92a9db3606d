#!/usr/bin/python3
"""Runs lighttpd or tinyproxy on 127.0.0.1 with a free port for one test.

  daemon.py lighttpd --workdir D --port-file F --root DIR [--tls-pem PEM [--tls-client-ca CA]]
                     [--auth-file USERS] [--basic PATH REALM]... [--digest PATH REALM]...
  daemon.py tinyproxy --workdir D --port-file F [--user NAME --password PW]

With --tls-client-ca, lighttpd asks every client for a certificate signed by CA and refuses
the connection without one.
USERS holds "name:password" lines (lighttpd's plain back end serves Basic and Digest).
The port is written to the port file once the daemon accepts connections; SIGTERM stops
the daemon and this wrapper.
"""
import argparse
import os
import signal
import socket
import subprocess
import sys
import time


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def lighttpd_config(args, port):
    modules = ['"mod_access"', '"mod_accesslog"']
    if args.basic or args.digest:
        modules += ['"mod_auth"', '"mod_authn_file"']
    if args.tls_pem:
        modules.append('"mod_openssl"')
    lines = [
        "server.modules = ( %s )" % ", ".join(modules),
        'server.document-root = "%s"' % args.root,
        'server.bind = "127.0.0.1"',
        "server.port = %d" % port,
        'server.errorlog = "%s/error.log"' % args.workdir,
        'accesslog.filename = "%s/access.log"' % args.workdir,
        'server.pid-file = "%s/lighttpd.pid"' % args.workdir,
        'mimetype.assign = ( "" => "application/octet-stream" )',
        'server.max-keep-alive-requests = 1000',
    ]
    if args.tls_pem:
        lines += ['ssl.engine = "enable"', 'ssl.pemfile = "%s"' % args.tls_pem]
        if args.tls_client_ca:
            lines += ['ssl.ca-file = "%s"' % args.tls_client_ca, 'ssl.verifyclient.activate = "enable"',
                      'ssl.verifyclient.enforce = "enable"']
    if args.basic or args.digest:
        lines += ['auth.backend = "plain"', 'auth.backend.plain.userfile = "%s"' % args.auth_file]
        reqs = []
        for path, realm in args.basic or []:
            reqs.append('"%s" => ( "method" => "basic", "realm" => "%s", "require" => "valid-user" )' % (path, realm))
        for path, realm in args.digest or []:
            reqs.append('"%s" => ( "method" => "digest", "realm" => "%s", "require" => "valid-user" )' % (path, realm))
        lines.append("auth.require = ( %s )" % ", ".join(reqs))
    return "\n".join(lines) + "\n"


def tinyproxy_config(args, port):
    lines = [
        "Port %d" % port,
        "Listen 127.0.0.1",
        "Timeout 60",
        "MaxClients 20",
        "Allow 127.0.0.1",
        'LogFile "%s/tinyproxy.log"' % args.workdir,
        "LogLevel Info",
        'PidFile "%s/tinyproxy.pid"' % args.workdir,
        "DisableViaHeader Yes",
    ]
    if args.user:
        lines.append("BasicAuth %s %s" % (args.user, args.password))
    return "\n".join(lines) + "\n"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("kind", choices=["lighttpd", "tinyproxy"])
    ap.add_argument("--workdir", required=True)
    ap.add_argument("--port-file", required=True)
    ap.add_argument("--root")
    ap.add_argument("--tls-pem")
    ap.add_argument("--tls-client-ca")
    ap.add_argument("--auth-file")
    ap.add_argument("--basic", nargs=2, action="append")
    ap.add_argument("--digest", nargs=2, action="append")
    ap.add_argument("--user")
    ap.add_argument("--password")
    args = ap.parse_args()

    for attempt in range(5):
        port = free_port()
        conf = os.path.join(args.workdir, args.kind + ".conf")
        with open(conf, "w") as f:
            f.write(lighttpd_config(args, port) if args.kind == "lighttpd" else tinyproxy_config(args, port))
        cmd = ["lighttpd", "-D", "-f", conf] if args.kind == "lighttpd" else ["tinyproxy", "-d", "-c", conf]
        child = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=open(os.path.join(args.workdir, "stderr.log"), "a"))
        deadline = time.time() + 10
        up = False
        while time.time() < deadline and child.poll() is None:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                up = True
                break
            except OSError:
                time.sleep(0.05)
        if up:
            break
        if child.poll() is None:
            child.terminate()
            child.wait()
    else:
        sys.exit(1)

    # The main flow is blocked in child.wait(); the handler only passes the signal on.
    def stop(signum, frame):
        child.terminate()

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    tmp = args.port_file + ".tmp"
    with open(tmp, "w") as f:
        f.write("%d\n" % port)
    os.rename(tmp, args.port_file)
    child.wait()
    sys.exit(0)


if __name__ == "__main__":
    main()
