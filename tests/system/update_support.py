"""Packages, repositories and HTTP servers for the tests of complete update runs.

Packages are small noarch rpms built with rpmbuild (tests/support/rpm/mkrpm.py), each with
one file under /opt/test; repositories are made by createrepo_c -s sha and served by
lighttpd on 127.0.0.1 or read as a file: tree inside the device. The installed base of a
device is installed by the device's own rpm into its database at /var/lib/rpm.
"""

import concurrent.futures
import os
import select
import shutil
import signal
import socket
import subprocess
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(os.path.dirname(HERE))
SUPPORT = os.path.join(SOURCE_DIR, "tests", "support")
MKRPM = os.path.join(SUPPORT, "rpm", "mkrpm.py")
GPGKEY = os.path.join(SUPPORT, "rpm", "gpgkey.sh")
SIGNRPM = os.path.join(SUPPORT, "rpm", "signrpm.sh")
DAEMON = os.path.join(SUPPORT, "servers", "daemon.py")
PYTHON = "/usr/bin/python3"



def wait_for_port(process, port_file, what, on_failure=None):
    """Waits until a server started as process has written its port to port_file and
    returns the port; calls on_failure and raises when it exits or takes too long."""
    deadline = time.monotonic() + 20
    while not os.path.exists(port_file):
        if process.poll() is not None or time.monotonic() > deadline:
            if on_failure is not None:
                on_failure()
            raise RuntimeError("%s did not start" % what)
        time.sleep(0.05)
    with open(port_file) as stream:
        return int(stream.read())

class Spec:
    """What one package is made of."""

    def __init__(self, name, version, release="1", requires=(), provides=(), obsoletes=(), group=None,
                 pre=None, files=None, arch="noarch"):
        self.name = name
        self.version = version
        self.release = release
        self.requires = list(requires)
        self.provides = list(provides)
        self.obsoletes = list(obsoletes)
        self.group = group
        self.pre = pre
        self.files = files if files is not None else ["/opt/test/%s" % name]
        self.arch = arch

    @property
    def label(self):
        return "%s-%s-%s" % (self.name, self.version, self.release)

    @property
    def file_name(self):
        return "%s.%s.rpm" % (self.label, self.arch)


def _build_one(outdir, spec):
    argv = [PYTHON, MKRPM, "--name", spec.name, "--version", spec.version, "--release", spec.release,
            "--no-auto", "--arch", spec.arch, "--outdir", outdir]
    for option, values in (("--requires", spec.requires), ("--provides", spec.provides),
                           ("--obsoletes", spec.obsoletes), ("--file", spec.files)):
        for value in values:
            argv += [option, value]
    if spec.group:
        argv += ["--group", spec.group]
    if spec.pre:
        argv += ["--pre-script", spec.pre]
    proc = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, check=False)
    if proc.returncode != 0:
        raise RuntimeError("building %s failed: %s" % (spec.label, proc.stderr))
    return proc.stdout.strip()


def build_packages(outdir, specs):
    """Builds every spec (a few at a time); returns {label: path}. Labels must differ."""
    os.makedirs(outdir, exist_ok=True)
    specs = list(specs)
    with concurrent.futures.ThreadPoolExecutor(max_workers=3) as pool:
        paths = list(pool.map(lambda spec: _build_one(outdir, spec), specs))
    return {spec.label: path for spec, path in zip(specs, paths)}


def make_repository(folder, package_paths):
    """A repository in folder holding copies of the packages."""
    os.makedirs(folder, exist_ok=True)
    for path in package_paths:
        shutil.copy(path, folder)
    subprocess.run(["createrepo_c", "-q", "-s", "sha", "--no-database", folder], check=True,
                   stdout=subprocess.DEVNULL)
    return folder


def make_key(folder, name="updater-test"):
    """A throwaway signing key; returns (GNUPGHOME, public key file)."""
    home = os.path.join(folder, "gnupg")
    pubkey = os.path.join(folder, name + ".asc")
    subprocess.run(["sh", GPGKEY, home, name, pubkey], check=True)
    return home, pubkey


def sign(home, paths, name="updater-test"):
    subprocess.run(["sh", SIGNRPM, home, name] + list(paths), check=True, env=dict(os.environ, GNUPGHOME=home))


class Lighttpd:
    """lighttpd serving a folder on 127.0.0.1 (a free port) while the object lives."""

    def __init__(self, root):
        self.final = None
        self.workdir = tempfile.mkdtemp(prefix="updater-httpd-")
        port_file = os.path.join(self.workdir, "port")
        self.process = subprocess.Popen([PYTHON, DAEMON, "lighttpd", "--workdir", self.workdir, "--port-file",
                                         port_file, "--root", root])
        self.port = wait_for_port(self.process, port_file, "lighttpd", self.stop)
        self.url = "http://127.0.0.1:%d/" % self.port

    def requests(self):
        """Request targets seen, in order. lighttpd writes its access log in batches:
        complete only after stop()."""
        if self.final is not None:
            return self.final
        try:
            with open(os.path.join(self.workdir, "access.log")) as stream:
                lines = stream.read().splitlines()
        except FileNotFoundError:
            return []
        targets = []
        for line in lines:
            if '"GET ' in line:
                targets.append(line.split('"GET ', 1)[1].split(" ", 1)[0])
        return targets

    def count(self, suffix):
        return sum(1 for target in self.requests() if target.endswith(suffix))

    def stop(self):
        if self.final is not None:
            return
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.final = self.requests()
        shutil.rmtree(self.workdir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
        return False


class SilentServer:
    """A listening socket on 127.0.0.1 that accepts nothing and answers nothing: a
    request to it hangs until the client gives up."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(8)
        self.port = self.sock.getsockname()[1]
        self.url = "http://127.0.0.1:%d/" % self.port

    def wait_for_connection(self, timeout=30):
        """Waits until a client has connected (the connection waits in the backlog)."""
        readable, _, _ = select.select([self.sock], [], [], timeout)
        if not readable:
            raise AssertionError("nobody connected")

    def close(self):
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False


def device_config(uri, release="firmware", addons=(), groups=()):
    """The device's /etc/updater.conf: one repository, the release package and the add-ons."""
    entries = "".join("        <package><name>%s</name></package>\n" % name for name in addons)
    entries += "".join("        <group><name>%s</name></group>\n" % name for name in groups)
    return """<?xml version="1.0" encoding="UTF-8"?>
<updater>
  <log level="info">
    <logger type="stderr"/>
  </log>
  <product>
    <name>testproduct</name>
    <packages>
      <release><package><name>%s</name></package></release>
      <addons>
%s      </addons>
    </packages>
  </product>
  <user-agent>
    <base>updater</base>
    <prodname>testproduct</prodname>
  </user-agent>
  <repository id="base">
    <name>Test repository</name>
    <location href="%s"/>
  </repository>
</updater>
""" % (release, entries, uri)


def copy_into(device, device_folder, host_folder):
    """Copies a host folder (a repository) into the device."""
    shutil.copytree(host_folder, device.path(device_folder), dirs_exist_ok=True)


def install_base(device, package_paths):
    """Installs packages with the device's own rpm into its database."""
    names = []
    for path in package_paths:
        name = os.path.basename(path)
        device.write("/srv/base/" + name, open(path, "rb").read())
        names.append("/srv/base/" + name)
    result = device.run(["rpm", "-i", "--nosignature"] + names)
    assert result.returncode == 0, result.output
    shutil.rmtree(device.path("/srv/base"))


def installed(device, *names):
    """{name: "version-release"} of the installed packages of these names (None when absent)."""
    result = device.run(["rpm", "-q", "--qf", "%{NAME} %{VERSION}-%{RELEASE}\\n"] + list(names))
    versions = {name: None for name in names}
    for line in result.stdout.splitlines():
        parts = line.split()
        if len(parts) == 2 and parts[0] in versions:
            versions[parts[0]] = parts[1]
    return versions


def wait_for(condition, timeout=30, what="condition"):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.05)


def wait_for_file(device, device_path, timeout=30):
    wait_for(lambda: device.exists(device_path), timeout, device_path)


# A process can end between opening one of its /proc files and reading it; the read then
# fails with ESRCH (ProcessLookupError) rather than ENOENT, so both count as "gone".


def child_pids(pid):
    """The direct children of a process (none once it is gone)."""
    children = []
    try:
        tasks = os.listdir("/proc/%d/task" % pid)
    except OSError:
        return children
    for task in tasks:
        try:
            with open("/proc/%d/task/%s/children" % (pid, task)) as stream:
                children += [int(word) for word in stream.read().split()]
        except OSError:
            pass
    return children


def process_name(pid):
    """The command name of a process, None once it is gone."""
    try:
        with open("/proc/%d/comm" % pid) as stream:
            return stream.read().strip()
    except OSError:
        return None


# rpm makes every package with a scriptlet require /bin/sh; the device's database must
# provide it (the real shell of the device is not an rpm package here).
SHELL = Spec("device-shell", "1.0", provides=["/bin/sh"], files=[])

# A %pre scriptlet that waits for /run/pre-release (after touching /run/pre-waiting).
WAITING_PRE = "touch /run/pre-waiting; while [ ! -e /run/pre-release ]; do sleep 0.05; done"

# A %pre scriptlet that kills the rpm running it.
KILLING_PRE = "kill -KILL $PPID; sleep 5"


# The device fleet of most tests: an installed base, and a repository with newer versions
# of most of it. The add-ons are addon-a (installed), addon-b (new) and the group
# "Addons" (extra); firmware is the release package; app 2.0 needs libnew, which nothing
# installed provides, so it is pulled in.
BASE = [Spec("updater", "1.0"), Spec("firmware", "1.0"), Spec("app", "1.0"), Spec("tool", "1.0"),
        Spec("addon-a", "1.0"), Spec("extra", "1.0", group="Addons")]
NEW = [Spec("updater", "2.0"), Spec("firmware", "2.0"), Spec("app", "2.0", requires=["libnew >= 1.0"]),
       Spec("libnew", "1.0"), Spec("addon-a", "2.0"), Spec("addon-b", "1.0"),
       Spec("extra", "2.0", group="Addons"), Spec("tool", "1.0")]
ADDONS = ("addon-a", "addon-b")
GROUPS = ("Addons",)
ALL_NAMES = ("updater", "firmware", "app", "tool", "addon-a", "addon-b", "extra", "libnew")
BEFORE = {"updater": "1.0-1", "firmware": "1.0-1", "app": "1.0-1", "tool": "1.0-1", "addon-a": "1.0-1",
          "addon-b": None, "extra": "1.0-1", "libnew": None}
AFTER = {"updater": "2.0-1", "firmware": "2.0-1", "app": "2.0-1", "tool": "1.0-1", "addon-a": "2.0-1",
         "addon-b": "1.0-1", "extra": "2.0-1", "libnew": "1.0-1"}
# What the passes install: pass 1 everything but the add-ons and the release package (with
# libnew pulled in), pass 2 the rest.
PASS1_FILES = ["app-2.0-1.noarch.rpm", "libnew-1.0-1.noarch.rpm", "updater-2.0-1.noarch.rpm"]
PASS2_FILES = ["addon-a-2.0-1.noarch.rpm", "addon-b-1.0-1.noarch.rpm", "extra-2.0-1.noarch.rpm",
               "firmware-2.0-1.noarch.rpm"]


class Fleet:
    """The built packages of BASE and NEW (or of other lists) and the repository of NEW."""

    def __init__(self, folder, base=BASE, new=NEW):
        self.folder = folder
        self.base = build_packages(os.path.join(folder, "base"), base)
        self.new = build_packages(os.path.join(folder, "new"), new)
        self.repo = make_repository(os.path.join(folder, "repo"), self.new.values())

    def device(self, make_device, uri, addons=ADDONS, groups=GROUPS, release="firmware"):
        """A device with the base installed and its configuration pointing at uri."""
        device = make_device(config=device_config(uri, release=release, addons=addons, groups=groups))
        install_base(device, self.base.values())
        return device


def pass_report(count, files, verb="starting"):
    """The lines a pass logs about the packages it is about to handle."""
    return ["INFO: %s update (%d packages):" % (verb, count)] + ["INFO: \t" + name for name in files]


def contains_sequence(lines, expected):
    """True when expected occurs in lines as consecutive lines."""
    for start in range(len(lines) - len(expected) + 1):
        if lines[start:start + len(expected)] == expected:
            return True
    return False


# A %pre scriptlet that, while /run/hold-NAME exists, touches /run/held-NAME and waits for
# /run/release-NAME: a test can cut a transaction right before any one of its packages.
HOLDING_PRE = ("if [ -e /run/hold-{0} ]; then touch /run/held-{0}; "
               "while [ ! -e /run/release-{0} ]; do sleep 0.02; done; fi")
PASS1_NAMES = ("app", "libnew", "updater")
PASS2_NAMES = ("addon-a", "addon-b", "extra", "firmware")


def _recovery_spec(spec):
    if spec.name == "firmware":
        # The last package rpm installs in pass 2 (it requires the other add-ons) waits for
        # /run/pre-release: by then rpm has installed the other add-ons of the pass and not
        # yet erased their old versions.
        return Spec("firmware", "2.0", pre=WAITING_PRE, requires=["addon-a >= 2.0", "addon-b", "extra >= 2.0"])
    if spec.name in PASS1_NAMES + PASS2_NAMES:
        return Spec(spec.name, spec.version, spec.release, spec.requires, spec.provides, spec.obsoletes,
                    spec.group, HOLDING_PRE.format(spec.name), spec.files)
    return spec


# The fleet of the recovery tests.
RECOVERY_BASE = BASE + [SHELL]
RECOVERY_NEW = [_recovery_spec(spec) for spec in NEW]
RECOVERY = '<recovery verify="true" repair="true"/>'


def recovery_config(uri, element=RECOVERY):
    """device_config of the fleet with the recovery element (or another one)."""
    return device_config(uri, addons=ADDONS, groups=GROUPS).replace("</updater>", "  %s\n</updater>" % element)


def kill_everything(device):
    """A power cut: every process of the device dies at once."""
    device.kill_all(attempts=100)


def installed_versions(device):
    """{name: [version-release, ...]} of every installed package."""
    result = device.run(["rpm", "-qa", "--qf", "%{NAME} %{VERSION}-%{RELEASE}\\n"])
    versions = {}
    for line in result.stdout.splitlines():
        name, _, version = line.partition(" ")
        versions.setdefault(name, []).append(version)
    return versions


def consistent(versions):
    """Whether no package has two versions installed and each installing pass of the fleet
    is either wholly installed or not at all: rpm finished or never changed anything."""
    if any(len(found) > 1 for found in versions.values()):
        return False
    for names in (PASS1_NAMES, PASS2_NAMES):
        states = {(versions.get(name) or [None])[0] == AFTER[name] for name in names}
        if len(states) > 1:
            return False
    return True
