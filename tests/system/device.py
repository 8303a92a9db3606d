"""A throwaway simulated device for system tests.

Every command runs the real, installed programs with their real absolute paths inside a
private mount namespace and a chroot into the device's root folder:

- /usr is an overlay over the host's /usr whose upper layer holds the staged install of
  the project (the updater binary, ...), the hook program and the telinit/shutdown stubs;
- /etc is a copy of the host's /etc with the updater's configuration files, /etc/hosts
  and an rpm macro file that puts the rpm database at /var/lib/rpm;
- /var and /run are fresh (/var/lock and /var/run are links to /run/lock and /run, as on
  Debian; /var/lib/rpm holds an empty rpm database), /srv/repo is an empty repository
  (the default configuration's, so a run finds nothing to do), /dev is the host's /dev,
  /proc is a fresh proc with a replaceable /proc/cpuinfo, and the EEPROM data files exist
  under /sys/bus/i2c/drivers/.

Mounts exist only inside the namespace, so nothing on the host changes; every device has
its own folders, so devices can be used in parallel.
"""

import atexit
import os
import shutil
import signal
import subprocess
import tempfile
import time

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

EEPROM_FILES = [
    "/sys/bus/i2c/drivers/Vantor-EEPROM/0-0050/data",
    "/sys/bus/i2c/drivers/Vantor-EEPROM/0-0052/data",
    "/sys/bus/i2c/drivers/Vantor-EEPROM/0-0053/data",
]

DEFAULT_CPUINFO = """processor\t: 0
model name\t: ARMv7 Processor rev 10 (v7l)
BogoMIPS\t: 1581.05

Hardware\t: Vantor
Revision\t: 0212
Serial\t\t: 00000000c0ffee42
"""

DEFAULT_CONFIG = """<?xml version="1.0" encoding="UTF-8"?>
<updater>
  <log level="info">
    <logger type="stderr"/>
  </log>
  <product>
    <name>testproduct</name>
  </product>
  <user-agent>
    <base>updater</base>
    <prodname>testproduct</prodname>
  </user-agent>
  <repository id="base">
    <name>Test repository</name>
    <location href="file:///srv/repo"/>
  </repository>
</updater>
"""

# What the device's firmware ships as defaults; the device's own file adds the rest.
DEFAULT_DEFAULTS = """<?xml version="1.0" encoding="UTF-8"?>
<updater>
  <user-agent>
    <base>updater</base>
    <prodname>testproduct</prodname>
  </user-agent>
</updater>
"""

DEFAULT_CREDENTIALS = """<?xml version="1.0" encoding="UTF-8"?>
<credits xmlns:xlink="http://www.w3.org/1999/xlink">
</credits>
"""

# The device's hook: records each call, then runs /etc/hook.d/<hook name> when a test
# put one there (with the same arguments); otherwise succeeds.
DEFAULT_HOOK = """#!/bin/sh
echo "$*" >> /var/log/hook.calls
if [ -x "/etc/hook.d/$1" ]; then
    exec "/etc/hook.d/$1" "$@"
fi
exit 0
"""

# telinit and shutdown stubs: one line per call, the program name and its arguments
# separated by tabs; the exit code comes from /etc/stubs/<name>.exit when present.
STUB = """#!/bin/sh
name=$(basename "$0")
{ printf '%s' "$name"; for a in "$@"; do printf '\\t%s' "$a"; done; printf '\\n'; } >> /var/log/stub.calls
code=0
[ -f "/etc/stubs/$name.exit" ] && code=$(cat "/etc/stubs/$name.exit")
exit "$code"
"""

DEVICE_PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"

# Environment marker of every process started in a device, so that cleanup can find
# the ones still running (a detached updater, a delayed shutdown) by their PID.
MARKER_VARIABLE = "UPDATER_TEST_DEVICE"


PF_KTHREAD = 0x00200000


def _read_environ(pid):
    """The environment block of a process, or None when it is gone. A process in the
    middle of execve shows an empty block for a moment, so an empty block of a user
    process is read again before it counts as empty."""
    for _ in range(50):
        try:
            with open("/proc/%s/environ" % pid, "rb") as stream:
                environ = stream.read()
        except OSError:
            return None
        if environ or not _is_user_process(pid):
            return environ
        time.sleep(0.002)
    return environ


def _is_user_process(pid):
    """False for kernel threads, zombies and processes that are gone: their empty
    environment block is final."""
    try:
        with open("/proc/%s/stat" % pid) as stream:
            fields = stream.read().rsplit(")", 1)[1].split()
    except (OSError, IndexError):
        return False
    return fields[0] not in ("Z", "X") and int(fields[6]) & PF_KTHREAD == 0


MOUNT_SCRIPT = """set -e
mount -t overlay overlay -o "lowerdir=/usr,upperdir=$DEV_UPPER,workdir=$DEV_WORK" "$DEV_ROOT/usr"
mount --rbind /dev "$DEV_ROOT/dev"
mount -t proc proc "$DEV_ROOT/proc"
mount --bind "$DEV_CPUINFO" "$DEV_ROOT/proc/cpuinfo"
unset DEV_UPPER DEV_WORK DEV_CPUINFO
root=$DEV_ROOT
unset DEV_ROOT
exec chroot "$root" "$@"
"""


_TEMPLATES = {}


def _template(kind):
    """Host folder of an empty repository made by createrepo_c ("repo") or of an empty
    rpm database ("rpmdb"); each is made once per process and copied into devices."""
    if kind not in _TEMPLATES:
        folder = tempfile.mkdtemp(prefix="updater-empty-%s-" % kind)
        atexit.register(shutil.rmtree, folder, True)
        os.chmod(folder, 0o755)
        if kind == "repo":
            command = ["createrepo_c", "-q", "-s", "sha", "--no-database", folder]
        else:
            command = ["rpm", "--initdb", "--dbpath", folder]
        subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
        _TEMPLATES[kind] = folder
    return _TEMPLATES[kind]


def stage_dir():
    """The staged install of the project (DESTDIR of `cmake --install --prefix /usr`)."""
    stage = os.environ.get("UPDATER_STAGE")
    if not stage:
        raise RuntimeError("UPDATER_STAGE is not set: run the system tests through ctest")
    if not os.path.exists(os.path.join(stage, "usr/bin/updater")):
        raise RuntimeError("no staged install in %s" % stage)
    return stage


def banner_lines(text):
    return [line for line in text.splitlines() if line.startswith("INFO: ---") or " version 1.4.0, " in line]


class Result:
    """How a command in the device ended."""

    def __init__(self, returncode, stdout, stderr):
        self.returncode = returncode
        self.stdout = stdout
        self.stderr = stderr

    @property
    def output(self):
        return self.stdout + self.stderr

    @property
    def signal(self):
        """The signal that ended the command, or None."""
        return -self.returncode if self.returncode < 0 else None

    def lines(self):
        return self.stderr.splitlines()

    def banners(self):
        """The banner lines on standard error: the version line and "--- ... ---"."""
        return banner_lines(self.stderr)

    def __repr__(self):
        return "Result(returncode=%r, stdout=%r, stderr=%r)" % (self.returncode, self.stdout, self.stderr)


class Process:
    """A command running in the device."""

    def __init__(self, popen, stdout_path, stderr_path):
        self.popen = popen
        self.pid = popen.pid
        self._stdout_path = stdout_path
        self._stderr_path = stderr_path

    def signal(self, number):
        self.popen.send_signal(number)

    def running(self):
        return self.popen.poll() is None

    def stdout(self):
        return _read_text(self._stdout_path)

    def stderr(self):
        return _read_text(self._stderr_path)

    def wait(self, timeout=60):
        try:
            returncode = self.popen.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.popen.kill()
            self.popen.wait()
            raise
        return Result(returncode, self.stdout(), self.stderr())

    def wait_for_output(self, needle, timeout=30):
        """Waits until standard error (or output) contains needle; returns it."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            text = self.stderr() + self.stdout()
            if needle in text:
                return text
            if not self.running():
                text = self.stderr() + self.stdout()
                if needle in text:
                    return text
                raise AssertionError("process ended without %r; output:\n%s" % (needle, text))
            time.sleep(0.05)
        raise AssertionError("timed out waiting for %r; output:\n%s" % (needle, self.stderr() + self.stdout()))


def _read_text(path):
    try:
        with open(path, "r", errors="replace") as stream:
            return stream.read()
    except FileNotFoundError:
        return ""


class Device:
    """A simulated device; use it as a context manager or call cleanup()."""

    def __init__(self, config=DEFAULT_CONFIG, cpuinfo=DEFAULT_CPUINFO, stage=None, parent=None):
        self.dir = tempfile.mkdtemp(prefix="updater-device-", dir=parent)
        self.root = os.path.join(self.dir, "root")
        self._upper = os.path.join(self.dir, "usr-upper")
        self._work = os.path.join(self.dir, "usr-work")
        self._cpuinfo = os.path.join(self.dir, "cpuinfo")
        self._outputs = os.path.join(self.dir, "outputs")
        self._count = 0
        self._processes = []
        self.marker = os.path.basename(self.dir)
        try:
            self._build(stage or stage_dir(), config, cpuinfo)
        except BaseException:
            self.cleanup()
            raise

    # -- construction -------------------------------------------------------------

    def _build(self, stage, config, cpuinfo):
        for folder in (self.root, self._upper, self._work, self._outputs):
            os.makedirs(folder)
        root = self.root
        for name in ("usr", "dev", "proc", "sys", "root", "srv", "media", "mnt", "home"):
            os.makedirs(os.path.join(root, name))
        # The default configuration's repository: empty, so a run finds nothing to do.
        shutil.copytree(_template("repo"), os.path.join(root, "srv/repo"))
        os.chmod(os.path.join(root, "root"), 0o700)
        for name in ("bin", "sbin", "lib", "lib32", "lib64", "libx32"):
            if os.path.islink(os.path.join("/", name)):
                os.symlink(os.readlink(os.path.join("/", name)), os.path.join(root, name))
        for name in ("tmp",):
            os.makedirs(os.path.join(root, name))
            os.chmod(os.path.join(root, name), 0o1777)

        # A copy of /etc, then the device's own files in it.
        shutil.copytree("/etc", os.path.join(root, "etc"), symlinks=True, ignore_dangling_symlinks=True)
        self.write("/etc/hosts", "127.0.0.1\tlocalhost\n::1\tlocalhost ip6-localhost ip6-loopback\n")
        self.write("/etc/rpm/macros.dbpath", "%_dbpath /var/lib/rpm\n")
        self.write("/etc/updater.conf", config)
        self.write("/etc/morvane/vqzpasswd.xml", DEFAULT_CREDENTIALS)
        os.makedirs(os.path.join(root, "etc/network"), exist_ok=True)
        os.makedirs(os.path.join(root, "etc/hook.d"), exist_ok=True)
        os.makedirs(os.path.join(root, "etc/stubs"), exist_ok=True)

        # Fresh /run and /var, laid out as on Debian.
        os.makedirs(os.path.join(root, "run/lock"))
        os.chmod(os.path.join(root, "run/lock"), 0o1777)
        # The updater package ships /var/lib/updater, /var/log/updater and /var/cache/updater.
        for name in ("lib/updater", "log/updater", "cache/updater", "tmp", "spool"):
            os.makedirs(os.path.join(root, "var", name))
        # An empty rpm database: nothing installed yet.
        shutil.copytree(_template("rpmdb"), os.path.join(root, "var/lib/rpm"))
        os.chmod(os.path.join(root, "var/tmp"), 0o1777)
        os.symlink("/run/lock", os.path.join(root, "var/lock"))
        os.symlink("/run", os.path.join(root, "var/run"))

        # The EEPROM data files and the processor information.
        for index, path in enumerate(EEPROM_FILES):
            self.write(path, bytes((index * 21 + i) & 0xFF for i in range(21)) + b"\0" * 11)
        self.set_cpuinfo(cpuinfo)

        # The staged install goes into the upper layer of /usr, with the device's hook
        # and the init tool stubs.
        shutil.copytree(os.path.join(stage, "usr"), self._upper, symlinks=True, dirs_exist_ok=True)
        self.install_hook(DEFAULT_HOOK)
        self.set_defaults(DEFAULT_DEFAULTS)
        for name in ("telinit", "shutdown"):
            self.write("/usr/sbin/" + name, STUB, mode=0o755)

    def clone(self, parent=None):
        """A new device with a copy of this one's files (root, /usr layer, cpuinfo); much
        faster than building and installing a base again. Nothing may run in this one."""
        other = Device.__new__(Device)
        other.dir = tempfile.mkdtemp(prefix="updater-device-", dir=parent)
        for name in ("root", "usr-upper", "cpuinfo"):
            source = os.path.join(self.dir, name)
            if os.path.isdir(source):
                shutil.copytree(source, os.path.join(other.dir, name), symlinks=True)
            else:
                shutil.copy2(source, os.path.join(other.dir, name))
        other.root = os.path.join(other.dir, "root")
        other._upper = os.path.join(other.dir, "usr-upper")
        other._work = os.path.join(other.dir, "usr-work")
        other._cpuinfo = os.path.join(other.dir, "cpuinfo")
        other._outputs = os.path.join(other.dir, "outputs")
        for folder in (other._work, other._outputs):
            os.makedirs(folder)
        other._count = 0
        other._processes = []
        other.marker = os.path.basename(other.dir)
        return other

    # -- paths and files ----------------------------------------------------------

    def path(self, device_path):
        """Host path of a file of the device (files under /usr: the upper layer)."""
        if not device_path.startswith("/"):
            raise ValueError("device paths are absolute: %r" % device_path)
        if device_path == "/usr" or device_path.startswith("/usr/"):
            return os.path.join(self._upper, device_path[len("/usr/"):])
        return os.path.join(self.root, device_path.lstrip("/"))

    def write(self, device_path, content, mode=None):
        host = self.path(device_path)
        os.makedirs(os.path.dirname(host), exist_ok=True)
        data = content.encode() if isinstance(content, str) else content
        with open(host, "wb") as stream:
            stream.write(data)
        if mode is not None:
            os.chmod(host, mode)
        return host

    def read(self, device_path, default=None):
        try:
            with open(self.path(device_path), "r", errors="replace") as stream:
                return stream.read()
        except FileNotFoundError:
            if default is not None:
                return default
            raise

    def exists(self, device_path):
        return os.path.lexists(self.path(device_path))

    def remove(self, device_path):
        """Removes a file of the device; under /usr also one of the host's lower layer
        (the overlay records a whiteout)."""
        if device_path.startswith("/usr/"):
            self.run(["rm", "-f", device_path], check=True)
        else:
            os.unlink(self.path(device_path))

    def status(self):
        """Content of /var/lib/updater/status, or None when missing."""
        return self._optional("/var/lib/updater/status")

    def update_state(self):
        return self._optional("/var/lib/updater/update-state")

    def lastlog(self):
        return self._optional("/var/log/updater/lastlog")

    def cache_dir(self, name=""):
        return self.path("/var/cache/updater/" + name)

    def lock_file(self):
        return self.path("/run/lock/updater")

    def add_host(self, name, address):
        """Maps a host name in the device's /etc/hosts (for "remote" names that must
        resolve to loopback or to a TEST-NET address nothing answers on)."""
        with open(self.path("/etc/hosts"), "a") as stream:
            stream.write("%s\t%s\n" % (address, name))

    def set_status(self, text):
        self.write("/var/lib/updater/status", text)

    def set_cpuinfo(self, text):
        with open(self._cpuinfo, "w") as stream:
            stream.write(text)

    def set_config(self, text):
        self.write("/etc/updater.conf", text)

    def set_defaults(self, text):
        self.write("/usr/share/resources/default/updater/defaults.conf", text)

    def set_proxy(self, text):
        self.write("/etc/network/vqzproxy.conf", text)

    def set_credentials(self, text):
        self.write("/etc/morvane/vqzpasswd.xml", text)

    def install_hook(self, script):
        self.write("/usr/lib/updater/hook", script, mode=0o755)

    def set_hook_action(self, hook_name, script):
        """A script run (with the hook's arguments) when the default hook is called
        with hook_name."""
        self.write("/etc/hook.d/" + hook_name, script, mode=0o755)

    def block_hook(self, hook_name):
        """Makes the hook hook_name wait, once called, until release_hook(); it prints
        "hook output line" and exits with the code given to release_hook."""
        for name in ("/run/hook-waiting", "/run/hook-release"):
            if self.exists(name):
                os.unlink(self.path(name))
        self.set_hook_action(hook_name, """#!/bin/sh
touch /run/hook-waiting
while [ ! -e /run/hook-release ]; do sleep 0.05; done
echo "hook output line"
exit "$(cat /run/hook-release)"
""")

    def wait_hook_blocked(self, timeout=30):
        deadline = time.monotonic() + timeout
        while not self.exists("/run/hook-waiting"):
            if time.monotonic() > deadline:
                raise AssertionError("the hook was not called")
            time.sleep(0.05)

    def release_hook(self, code=0):
        self.write("/run/hook-release", "%d\n" % code)

    def set_stub_exit(self, name, code):
        self.write("/etc/stubs/%s.exit" % name, "%d\n" % code)

    def hook_calls(self):
        return self.read("/var/log/hook.calls", default="").splitlines()

    def stub_calls(self):
        """Recorded telinit/shutdown calls, each a list: program name, then arguments."""
        return [line.split("\t") for line in self.read("/var/log/stub.calls", default="").splitlines()]

    def _optional(self, device_path):
        try:
            return self.read(device_path)
        except FileNotFoundError:
            return None

    # -- running commands ---------------------------------------------------------

    def _environment(self, env):
        environment = {"PATH": DEVICE_PATH, "HOME": "/root", "LANG": "C", "LC_ALL": "C", "TERM": "dumb",
                       "COLUMNS": "200", MARKER_VARIABLE: self.marker}
        if env:
            for key, value in env.items():
                if value is None:
                    environment.pop(key, None)
                else:
                    environment[key] = value
        return environment

    def start(self, args, env=None, stdin=None):
        """Starts args inside the device; returns a Process. stdout and stderr go to files."""
        self._count += 1
        stdout_path = os.path.join(self._outputs, "%d.stdout" % self._count)
        stderr_path = os.path.join(self._outputs, "%d.stderr" % self._count)
        # The mount helpers run with the host's environment; only the chroot'ed
        # command gets the device environment (passed through env -i).
        environment = self._environment(env)
        command = ["unshare", "-m", "--propagation", "private", "/bin/sh", "-c", MOUNT_SCRIPT, "device",
                   "/usr/bin/env", "-i"] + ["%s=%s" % item for item in environment.items()] + list(args)
        host_env = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "DEV_ROOT": self.root, "DEV_UPPER": self._upper,
                    "DEV_WORK": self._work, "DEV_CPUINFO": self._cpuinfo, MARKER_VARIABLE: self.marker}
        with open(stdout_path, "wb") as out, open(stderr_path, "wb") as err:
            popen = subprocess.Popen(command, stdin=stdin if stdin is not None else subprocess.DEVNULL,
                                     stdout=out, stderr=err, env=host_env, close_fds=True)
        process = Process(popen, stdout_path, stderr_path)
        self._processes.append(process)
        return process

    def run(self, args, env=None, timeout=120, check=False):
        """Runs args inside the device and waits for it; returns a Result."""
        result = self.start(args, env=env).wait(timeout=timeout)
        if check and result.returncode != 0:
            raise AssertionError("%s failed: %r" % (args, result))
        return result

    def updater(self, *args, env=None, timeout=120):
        """Runs the installed updater with args and waits for it."""
        return self.run(["/usr/bin/updater"] + list(args), env=env, timeout=timeout)

    def start_updater(self, *args, env=None):
        return self.start(["/usr/bin/updater"] + list(args), env=env)

    def device_pids(self):
        """PIDs of the processes still running in this device (found by their marker)."""
        pids = []
        needle = ("%s=%s" % (MARKER_VARIABLE, self.marker)).encode() + b"\0"
        for entry in os.listdir("/proc"):
            if not entry.isdigit() or int(entry) == os.getpid():
                continue
            environ = _read_environ(entry)
            if environ is not None and (needle in environ or environ.endswith(needle[:-1])):
                pids.append(int(entry))
        return pids

    def wait_idle(self, timeout=30):
        """Waits until no process of this device runs any more (for example a detached
        updater); True when idle."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for process in self._processes:
                process.popen.poll()
            if not self.device_pids():
                return True
            time.sleep(0.05)
        return False

    # -- cleanup ------------------------------------------------------------------

    def kill_all(self, attempts=50):
        """A power cut: every process of the device dies at once."""
        for _ in range(attempts):
            pids = self.device_pids()
            if not pids:
                return
            for pid in pids:
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            time.sleep(0.05)

    def cleanup(self):
        for process in self._processes:
            if process.popen.poll() is None:
                process.popen.kill()
                process.popen.wait()
        self.kill_all()
        # The mounts lived in the namespaces of the commands only: what is left here is
        # plain folders.
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.cleanup()
        return False
