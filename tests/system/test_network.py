"""Network access of complete runs in a device, through the installed updater: the proxy of
the device's proxy file with and without the local-network bypass (a "remote" repository
name mapped in the device's /etc/hosts to a TEST-NET-3 address nothing may connect to),
HTTPS against the device's own certificate store, the user agent built from the device's
/proc/cpuinfo, file: repositories, and server credentials from the device's credentials
file. Servers run on 127.0.0.1: lighttpd and tinyproxy through daemon.py, and the scripted
server where the test needs to see exactly what was sent."""

import json
import os
import shutil
import signal
import subprocess
import tempfile

import pytest

from device import DEFAULT_CPUINFO
from update_support import (DAEMON, PYTHON, SOURCE_DIR, Fleet, Spec, copy_into, device_config, installed,
                            wait_for_port)

SCRIPTED = os.path.join(SOURCE_DIR, "tests", "support", "servers", "scripted_http.py")

# The "remote" repository host: TEST-NET-3 (the host's own network may be TEST-NET-1).
REMOTE_NAME = "updates.example.test"
REMOTE_ADDRESS = "203.0.113.7"
REMOTE_URL = "http://%s:8080/repo/" % REMOTE_NAME

CA_STORE = "/etc/ssl/certs/ca-certificates.crt"
CREDENTIALS_FILE = "/etc/morvane/vqzpasswd.xml"
USER = "gw-device"
PASSWORD = "Pw-7c1e9b!x"
# tinyproxy's configuration takes letters and digits only.
PROXY_PASSWORD = "ProxyPw7c1e9b"

CHECK = ("--check-only", "--max-wait-time", "-1")


@pytest.fixture(scope="module")
def fleet(tmp_path_factory):
    """app 1.0 installed, app 2.0 in the repository: a check finds one update."""
    return Fleet(str(tmp_path_factory.mktemp("fleet")), base=[Spec("app", "1.0")], new=[Spec("app", "2.0")])


def make(fleet, make_device, uri, cpuinfo=DEFAULT_CPUINFO, user_agent=None):
    device = fleet.device(make_device, uri, addons=(), groups=(), release="app")
    if user_agent is not None:
        config = device_config(uri, release="app")
        config = config.replace("<base>updater</base>", "<base>%s</base>" % user_agent[0])
        config = config.replace("<prodname>testproduct</prodname>", "<prodname>%s</prodname>" % user_agent[1])
        device.set_config(config)
    device.set_cpuinfo(cpuinfo)
    return device


def assert_one_update(result):
    assert result.returncode == 0, result
    assert "INFO: --- 1 UPDATE(S) ---" in result.lines(), result


def failure(result, text):
    """The run failed with exit 1 and logged text."""
    assert result.returncode == 1, result
    assert "INFO: --- EXIT ERROR ---" in result.lines(), result
    assert text in result.stderr, result.stderr


class Daemon:
    """lighttpd or tinyproxy through daemon.py on a free port of 127.0.0.1."""

    def __init__(self, kind, args):
        self.kind = kind
        self.log = None
        self.workdir = tempfile.mkdtemp(prefix="updater-net-%s-" % kind)
        port_file = os.path.join(self.workdir, "port")
        self.process = subprocess.Popen([PYTHON, DAEMON, kind, "--workdir", self.workdir, "--port-file", port_file]
                                        + list(args))
        self.port = wait_for_port(self.process, port_file, kind, self.stop)

    def stop(self):
        """Stops the daemon; returns its log (access log or proxy log)."""
        if self.log is not None:
            return self.log
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        name = "access.log" if self.kind == "lighttpd" else "tinyproxy.log"
        try:
            with open(os.path.join(self.workdir, name), errors="replace") as stream:
                self.log = stream.read()
        except FileNotFoundError:
            self.log = ""
        shutil.rmtree(self.workdir, ignore_errors=True)
        return self.log


class Scripted:
    """The scripted server on a free port of 127.0.0.1; serves the repository files under
    the given request targets (absolute URIs when it plays a proxy)."""

    def __init__(self, routes=None, proxy_users=None):
        self.workdir = tempfile.mkdtemp(prefix="updater-net-scripted-")
        script = os.path.join(self.workdir, "script.json")
        content = {"routes": routes or {}}
        if proxy_users:
            content["proxy_auth"] = {"users": proxy_users}
        with open(script, "w") as stream:
            json.dump(content, stream)
        port_file = os.path.join(self.workdir, "port")
        self.log_path = os.path.join(self.workdir, "requests.log")
        argv = [PYTHON, SCRIPTED, "--port-file", port_file, "--script", script, "--log", self.log_path]
        self.process = subprocess.Popen(argv)
        self.port = wait_for_port(self.process, port_file, "the scripted server", self.stop)
        self.url = "http://127.0.0.1:%d/" % self.port

    def requests(self):
        """One dict per request: target, user, user agent, cache headers."""
        entries = []
        with open(self.log_path) as stream:
            for line in stream.read().splitlines():
                fields = line.split("\t")
                entries.append({"target": fields[1], "user": fields[2], "proxy_user": fields[3], "agent": fields[4],
                                "cache_control": fields[5], "pragma": fields[6]})
        return entries

    def targets(self):
        return [entry["target"] for entry in self.requests()]

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
        shutil.rmtree(self.workdir, ignore_errors=True)
        return False


def repository_routes(repo, prefix):
    """Routes serving every file of the repository folder under prefix + relative path."""
    routes = {}
    for folder, _, files in os.walk(repo):
        for name in files:
            path = os.path.join(folder, name)
            routes[prefix + os.path.relpath(path, repo)] = {"responses": [{"status": 200, "body_file": path}]}
    return routes


def proxy_file(port, bypass=None, user=None, password=None):
    attribute = ' bypassLocalNetwork="%s"' % bypass if bypass is not None else ""
    if user is not None:
        attribute += ' username="%s" password="%s"' % (user, password)
    return ('<?xml version="1.0"?>\n<proxyconf>\n  <proxy server="127.0.0.1" port="%d"%s/>\n</proxyconf>\n'
            % (port, attribute))


def connects(device, args):
    """Runs the updater under strace; returns (result, the connect calls it made)."""
    result = device.run(["strace", "-f", "-qq", "-e", "trace=connect", "-o", "/run/connects.log",
                         "/usr/bin/updater"] + list(args))
    calls = [line for line in device.read("/run/connects.log").splitlines() if "connect(" in line]
    return result, calls


# -- proxy ----------------------------------------------------------------------------


def test_remote_name_goes_through_the_proxy_and_is_never_contacted(fleet, make_device):
    with Scripted(repository_routes(fleet.repo, REMOTE_URL)) as proxy:
        device = make(fleet, make_device, REMOTE_URL)
        device.add_host(REMOTE_NAME, REMOTE_ADDRESS)
        # No bypass attribute: the bypass is on, but the name's address is in no local
        # network of the device.
        device.set_proxy(proxy_file(proxy.port))
        result, calls = connects(device, CHECK + ("--log-level", "debug"))
        assert_one_update(result)
        assert "DEBUG: using proxy for %s" % REMOTE_NAME in result.lines()
        # The proxy got the absolute URIs with the host name (only those are routed).
        targets = proxy.targets()
        assert REMOTE_URL + "repodata/repomd.xml" in targets
        assert all(target.startswith(REMOTE_URL) for target in targets), targets
        # Nothing connected to the TEST-NET address; the proxy was connected to.
        assert not any(REMOTE_ADDRESS in call for call in calls), calls
        assert any('htons(%d)' % proxy.port in call and "127.0.0.1" in call for call in calls), calls


def test_bypass_fetches_a_local_repository_directly(fleet, make_device):
    server = Daemon("lighttpd", ["--root", fleet.repo])
    try:
        with Scripted() as proxy:
            url = "http://127.0.0.1:%d/" % server.port
            device = make(fleet, make_device, url)
            device.set_proxy(proxy_file(proxy.port, bypass="on"))
            result = device.updater(*CHECK, "--log-level", "debug")
            assert_one_update(result)
            assert "DEBUG: bypassing proxy since 127.0.0.1 is local" in result.lines()
            assert proxy.targets() == []
    finally:
        log = server.stop()
    assert "GET /repodata/repomd.xml " in log


def test_proxy_without_bypass_carries_a_local_repository(fleet, make_device):
    server = Daemon("lighttpd", ["--root", fleet.repo])
    proxy = Daemon("tinyproxy", [])
    try:
        url = "http://127.0.0.1:%d/" % server.port
        device = make(fleet, make_device, url)
        device.set_proxy(proxy_file(proxy.port, bypass="off"))
        result = device.updater(*CHECK, "--log-level", "debug")
        assert_one_update(result)
        assert "DEBUG: using proxy for 127.0.0.1" in result.lines()
    finally:
        proxy_log = proxy.stop()
        access_log = server.stop()
    assert "GET %srepodata/repomd.xml" % url in proxy_log, proxy_log
    assert "GET /repodata/repomd.xml " in access_log


def test_proxy_credentials_come_from_the_proxy_file(fleet, make_device):
    server = Daemon("lighttpd", ["--root", fleet.repo])
    proxy = Daemon("tinyproxy", ["--user", "proxyuser", "--password", PROXY_PASSWORD])
    try:
        url = "http://127.0.0.1:%d/" % server.port
        device = make(fleet, make_device, url)
        device.set_proxy(proxy_file(proxy.port, bypass="false", user="proxyuser", password=PROXY_PASSWORD))
        result = device.updater(*CHECK, "--log-level", "trace")
        assert_one_update(result)
        assert "TRACE: attempting proxy authentication as user 'proxyuser'" in result.lines()
        assert not [line for line in result.lines() if PROXY_PASSWORD in line]
    finally:
        proxy_log = proxy.stop()
        server.stop()
    assert "GET %srepodata/repomd.xml" % url in proxy_log


def test_rejected_proxy_credentials_are_offered_once(fleet, make_device):
    # tinyproxy answers wrong credentials with 401 instead of 407; the scripted proxy
    # challenges again with 407 as a proxy should.
    routes = repository_routes(fleet.repo, REMOTE_URL)
    with Scripted(routes, proxy_users={"proxyuser": PROXY_PASSWORD}) as proxy:
        device = make(fleet, make_device, REMOTE_URL)
        device.add_host(REMOTE_NAME, REMOTE_ADDRESS)
        device.set_proxy(proxy_file(proxy.port, user="proxyuser", password=PROXY_PASSWORD + "x"))
        result = device.updater(*CHECK)
        failure(result, "ERROR: failed fetching 'repodata/repomd.xml' (authentication failed on proxy)")
        lines = result.lines()
        assert lines.count("ERROR: proxy authentication as user 'proxyuser' failed") == 1
        assert "ERROR: make sure the proper username and password are configured in the proxy settings" in lines
        assert "retrying" not in result.stderr
        # One request without credentials, one with the configured ones; no retry.
        assert [(entry["target"], entry["proxy_user"]) for entry in proxy.requests()] == [
            (REMOTE_URL + "repodata/repomd.xml", "-"), (REMOTE_URL + "repodata/repomd.xml", "proxyuser")]


# -- HTTPS ----------------------------------------------------------------------------


@pytest.fixture(scope="module")
def certificates(tmp_path_factory):
    """A throwaway CA and a server certificate for 127.0.0.1 signed by it."""
    folder = str(tmp_path_factory.mktemp("tls"))
    subprocess.run(
        "set -e; "
        "openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj '/CN=Updater Test CA' "
        "-addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign; "
        "openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr -subj '/CN=127.0.0.1'; "
        "printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\\nbasicConstraints=CA:FALSE\\n' > ext.cnf; "
        "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.crt -days 2 "
        "-extfile ext.cnf; "
        "cat server.crt server.key > server.pem",
        shell=True, cwd=folder, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return folder


def add_to_ca_store(device, ca_pem):
    host = device.path(CA_STORE)
    # The device's /etc is a copy; never write through a link into the host's files.
    assert not os.path.islink(host) and os.path.realpath(host).startswith(device.root + "/")
    with open(ca_pem) as stream:
        ca = stream.read()
    with open(host, "a") as stream:
        stream.write(ca)


def test_https_repository_is_trusted_only_through_the_device_store(fleet, make_device, certificates):
    server = Daemon("lighttpd", ["--root", fleet.repo, "--tls-pem", os.path.join(certificates, "server.pem")])
    try:
        url = "https://127.0.0.1:%d/" % server.port
        device = make(fleet, make_device, url)
        original = device.read(CA_STORE)

        # The CA is not in the device's store: the server certificate is refused.
        result = device.updater(*CHECK)
        # A handshake failure is a generic session error: retried twice, then final.
        refused = ("failed fetching 'repodata/repomd.xml' "
                   "(Server certificate verification failed: issuer is not trusted)")
        failure(result, "ERROR: " + refused)
        assert result.lines().count("WARNING: %s; retrying" % refused) == 2
        assert "UPDATE(S)" not in result.stderr

        add_to_ca_store(device, os.path.join(certificates, "ca.pem"))
        assert_one_update(device.updater(*CHECK))

        # Trust comes from the store alone: without the CA it fails again.
        device.write(CA_STORE, original)
        failure(device.updater(*CHECK), "Server certificate verification failed")
    finally:
        log = server.stop()
    assert log.count("GET /repodata/repomd.xml ") == 1


# -- user agent -----------------------------------------------------------------------


@pytest.mark.parametrize("cpuinfo, expected", [
    (DEFAULT_CPUINFO, "vqz-agent/1.4.0 (gw300-00000000c0ffee42) neon/0.32.5"),
    (DEFAULT_CPUINFO.replace("Serial\t\t: 00000000c0ffee42\n", ""), "vqz-agent/1.4.0 neon/0.32.5"),
])
def test_user_agent_names_product_and_serial(fleet, make_device, cpuinfo, expected):
    with Scripted(repository_routes(fleet.repo, "/repo/")) as server:
        device = make(fleet, make_device, server.url + "repo/", cpuinfo=cpuinfo, user_agent=("vqz-agent", "gw300"))
        result = device.updater(*CHECK)
        assert_one_update(result)
        if "Serial" not in cpuinfo:
            assert "ERROR: no Serial in '/proc/cpuinfo'" in result.lines()
        requests = server.requests()
        assert [entry["target"] for entry in requests][0] == "/repo/repodata/repomd.xml"
        assert {entry["agent"] for entry in requests} == {expected}
        # The index is always fetched past any cache.
        assert (requests[0]["cache_control"], requests[0]["pragma"]) == ("no-cache", "no-cache")


# -- file: repositories ---------------------------------------------------------------


@pytest.mark.parametrize("uri", ["file:///srv/updates", "file://localhost/srv/updates", "/srv/updates"])
def test_local_repository_forms(fleet, make_device, uri):
    device = make(fleet, make_device, uri)
    copy_into(device, "/srv/updates", fleet.repo)
    assert_one_update(device.updater(*CHECK))


def test_file_repository_on_another_host_is_refused(fleet, make_device):
    device = make(fleet, make_device, "file://otherhost/srv/updates")
    copy_into(device, "/srv/updates", fleet.repo)
    failure(device.updater(*CHECK), "ERROR: only local file: URIs supported")


# -- server credentials ---------------------------------------------------------------


def credentials_file(url, password):
    return """<?xml version="1.0" encoding="UTF-8"?>
<credits xmlns:xlink="http://www.w3.org/1999/xlink">
  <creditentials xlink:href="%s" realm="Updates" username="%s" password="%s"/>
</credits>
""" % (url, USER, password)


def test_basic_auth_repository_uses_the_credentials_file(fleet, make_device, tmp_path):
    users = tmp_path / "users"
    users.write_text("%s:%s\n" % (USER, PASSWORD))
    server = Daemon("lighttpd", ["--root", fleet.repo, "--auth-file", str(users), "--basic", "/", "Updates"])
    try:
        url = "http://127.0.0.1:%d/" % server.port
        device = make(fleet, make_device, url)

        # Only the empty credentials file of the device: refused.
        result = device.updater(*CHECK)
        failure(result, "ERROR: failed fetching 'repodata/repomd.xml' (authentication failed on server)")

        # The entry of another server, and a wrong password, are not enough.
        device.set_credentials(credentials_file("http://127.0.0.1:%d/" % (server.port + 1), PASSWORD))
        failure(device.updater(*CHECK), "(authentication failed on server)")
        device.set_credentials(credentials_file(url, PASSWORD + "x"))
        failure(device.updater(*CHECK), "(authentication failed on server)")

        device.set_credentials(credentials_file(url, PASSWORD))
        result = device.updater(*CHECK, "--log-level", "trace", "--log-to", "/var/log/trace.log")
        assert_one_update(result)
        trace = device.read("/var/log/trace.log")
        assert "attempting http authentication as user '%s'" % USER in trace
        assert "Password = '<hidden>'" in trace
        # Checked without letting a failure print the password.
        leaks = [name for name, text in (("output", result.output), ("trace", trace),
                                          ("lastlog", device.lastlog() or "")) if PASSWORD in text]
        assert leaks == []
    finally:
        log = server.stop()
    assert "GET /repodata/repomd.xml " in log


def test_stale_larger_copy_in_a_cache_is_fetched_once_more_bypassing_it(fleet, make_device, tmp_path):
    """A cache on the way still holds an older, larger build under the package's file name:
    the body passes the list's size, is discarded, and exactly one request asking caches
    not to answer brings the right file."""
    routes = repository_routes(fleet.repo, REMOTE_URL)
    package = [target for target in routes if target.endswith(".rpm")][0]
    stale = str(tmp_path / "stale.rpm")
    with open(routes[package]["responses"][0]["body_file"], "rb") as stream:
        current = stream.read()
    with open(stale, "wb") as stream:
        stream.write(current + b"\0" * 4096)
    routes[package] = {"responses": [{"status": 200, "body_file": stale}], "fresh": routes[package]["responses"][0]}
    with Scripted(routes) as proxy:
        device = make(fleet, make_device, REMOTE_URL)
        device.add_host(REMOTE_NAME, REMOTE_ADDRESS)
        device.set_proxy(proxy_file(proxy.port))
        result = device.updater("--max-wait-time", "-1", "--no-sig-check")
        seen = [entry for entry in proxy.requests() if entry["target"] == package]
    assert result.returncode == 0, result
    assert [entry["cache_control"] for entry in seen] == ["-", "no-cache"], seen
    assert ("WARNING: '%s' is larger than the package list says; retrying with bypass of http caches"
            % package[len(REMOTE_URL):]) in result.lines(), result
    assert "retrying\n" not in result.stderr
    assert installed(device, "app") == {"app": "2.0-1"}
