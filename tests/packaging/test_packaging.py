#!/usr/bin/python3
"""Checks what a device maker installs: the install layout, the hook program, the systemd
units, the man page and the rpm package of the updater.

Run by CTest with one test class name as argument (InstallTest, HookTest, BootTest,
UnitsTest, ManPageTest, RpmTest). Environment: UPDATER_SOURCE_DIR, UPDATER_BINARY_DIR (a configured
and built tree) and UPDATER_EXE (the built program, when it exists).
"""

import os
import re
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest

SOURCE_DIR = os.environ.get("UPDATER_SOURCE_DIR",
                            os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")))
BINARY_DIR = os.environ.get("UPDATER_BINARY_DIR", "")

sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "support"))
from help_options import OPTION_ROWS  # noqa: E402
UPDATER_EXE = os.environ.get("UPDATER_EXE", "")
PACKAGING = os.path.join(SOURCE_DIR, "packaging")

VERSION = "1.4.0"
HOOK_NAMES = ["init", "download", "test", "update", "posttest", "postupdate"]
# Hook points that receive the package count as third argument.
COUNTED_HOOKS = {"test", "update", "posttest", "postupdate"}

# Everything "cmake --install --prefix /usr" puts on a device: path -> (type, mode).
EXPECTED_LAYOUT = {
    "/usr/bin/updater": ("file", 0o755),
    "/etc/updater.conf": ("file", 0o644),
    "/usr/share/resources/default/updater/defaults.conf": ("file", 0o644),
    "/usr/lib/updater/hook": ("file", 0o755),
    "/usr/lib/updater/clear-rebooting": ("file", 0o755),
    "/usr/share/man/man8/updater.8": ("file", 0o644),
    "/usr/lib/systemd/system/updater.service": ("file", 0o644),
    "/usr/lib/systemd/system/updater.timer": ("file", 0o644),
    "/usr/lib/systemd/system/updater-boot.service": ("file", 0o644),
    "/var/lib/updater": ("dir", 0o755),
    "/var/cache/updater": ("dir", 0o755),
    "/var/log/updater": ("dir", 0o755),
}

# The options of the program with their argument labels and help texts, in table order;
# used when the program itself is not built yet.
FALLBACK_OPTIONS = OPTION_ROWS


def run(argv, **kwargs):
    """Runs a command and returns the completed process (text output, never raises on status)."""
    kwargs.setdefault("stdout", subprocess.PIPE)
    kwargs.setdefault("stderr", subprocess.PIPE)
    return subprocess.run(argv, text=True, check=False, **kwargs)


def squeeze(text):
    return " ".join(text.split())


def have_updater():
    return bool(UPDATER_EXE) and os.access(UPDATER_EXE, os.X_OK)


def cmake_install(destdir, prefix="/usr"):
    """Installs the build tree into destdir; returns the process."""
    env = dict(os.environ, DESTDIR=destdir)
    return run(["cmake", "--install", BINARY_DIR, "--prefix", prefix], env=env)


def expected_layout():
    layout = dict(EXPECTED_LAYOUT)
    if not have_updater():
        del layout["/usr/bin/updater"]
    return layout


class TempDirTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="updater-packaging-")
        self.addCleanup(shutil.rmtree, self.tmp, True)


class InstallTest(TempDirTest):
    """cmake --install with DESTDIR puts every file at its fixed place."""

    def installed(self, root):
        """Every file and directory below root that the install created, as absolute paths."""
        found = {}
        for dirpath, dirnames, filenames in os.walk(root):
            for name in dirnames + filenames:
                full = os.path.join(dirpath, name)
                found["/" + os.path.relpath(full, root)] = os.lstat(full)
        return found

    def test_layout_and_modes(self):
        self.assertTrue(BINARY_DIR, "UPDATER_BINARY_DIR not set")
        root = os.path.join(self.tmp, "root")
        proc = cmake_install(root)
        self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
        found = self.installed(root)
        for path, (kind, mode) in expected_layout().items():
            self.assertIn(path, found, "not installed: " + path)
            st = found[path]
            if kind == "dir":
                self.assertTrue(stat.S_ISDIR(st.st_mode), path)
            else:
                self.assertTrue(stat.S_ISREG(st.st_mode), path)
            self.assertEqual(stat.S_IMODE(st.st_mode), mode, "%s has mode %o" % (path, stat.S_IMODE(st.st_mode)))
        # Nothing else lands on a device (no test programs, no headers), and nothing is
        # writable by others.
        files = {p for p, st in found.items() if not stat.S_ISDIR(st.st_mode)}
        self.assertEqual(files, {p for p, (k, _) in expected_layout().items() if k == "file"})
        for path, st in found.items():
            self.assertFalse(st.st_mode & stat.S_IWOTH, path + " is writable by others")

        # The shipped files are the ones of the source tree.
        for installed, source in [("/etc/updater.conf", "updater.conf.example"),
                                  ("/usr/share/resources/default/updater/defaults.conf", "defaults.conf"),
                                  ("/usr/lib/updater/hook", "hook"),
                                  ("/usr/lib/systemd/system/updater.timer", "updater.timer"),
                                  ("/usr/lib/systemd/system/updater-boot.service", "updater-boot.service"),
                                  ("/usr/lib/updater/clear-rebooting", "clear-rebooting"),
                                  ("/usr/lib/systemd/system/updater.service", "updater.service")]:
            with open(root + installed) as a, open(os.path.join(PACKAGING, source)) as b:
                self.assertEqual(a.read(), b.read(), installed)

    def test_service_names_the_installed_program(self):
        root = os.path.join(self.tmp, "local")
        proc = cmake_install(root, prefix="/usr/local")
        self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
        with open(os.path.join(root, "usr/local/lib/systemd/system/updater.service")) as f:
            unit = f.read()
        self.assertIn("\nExecStart=/usr/local/bin/updater\n", unit)
        # The files the program reads at fixed places do not move with the prefix.
        for path in ["etc/updater.conf", "usr/lib/updater/hook",
                     "usr/share/resources/default/updater/defaults.conf", "var/lib/updater"]:
            self.assertTrue(os.path.exists(os.path.join(root, path)), path)

    def test_reinstall_keeps_the_device_configuration(self):
        root = os.path.join(self.tmp, "root")
        self.assertEqual(cmake_install(root).returncode, 0)
        conf = os.path.join(root, "etc/updater.conf")
        with open(conf, "w") as f:
            f.write("<updater><!-- edited on the device --></updater>\n")
        proc = cmake_install(root)
        self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
        with open(conf) as f:
            self.assertIn("edited on the device", f.read())


class HookTest(TempDirTest):
    """The example hook handles every hook point with its arguments and exits 0."""

    hook = os.path.join(PACKAGING, "hook")

    def shells(self):
        # Devices often have a minimal POSIX shell; dash is the closest one here.
        return [s for s in ["/bin/sh", "/bin/dash", "/bin/bash"] if os.access(s, os.X_OK)]

    def test_syntax(self):
        for shell in self.shells():
            proc = run([shell, "-n", self.hook])
            self.assertEqual(proc.returncode, 0, shell + ": " + proc.stderr)

    def test_every_hook_point(self):
        self.assertTrue(os.access(self.hook, os.X_OK), "hook is not executable")
        for name in HOOK_NAMES:
            argv = [self.hook, name, VERSION] + (["7"] if name in COUNTED_HOOKS else [])
            # As the updater runs it: standard input on /dev/null, clean environment.
            proc = run(argv, stdin=subprocess.DEVNULL, env={"PATH": "/usr/bin:/bin"})
            self.assertEqual(proc.returncode, 0, "%s: %s%s" % (name, proc.stdout, proc.stderr))
            self.assertEqual(proc.stderr, "", name)
            self.assertIn("hook " + name + ":", proc.stdout)
            if name in COUNTED_HOOKS:
                self.assertIn("7 package", proc.stdout, name)
        # Every name is handled by a case of its own, not by the catch-all.
        with open(self.hook) as f:
            text = f.read()
        for name in HOOK_NAMES:
            self.assertRegex(text, r"\n\s*%s\)" % name)

    def test_unknown_and_missing_arguments(self):
        for argv in [["reboot", VERSION], [], ["update", VERSION]]:
            for shell in self.shells():
                proc = run([shell, self.hook] + argv, stdin=subprocess.DEVNULL)
                self.assertEqual(proc.returncode, 0, "%s %s: %s" % (shell, argv, proc.stderr))
                self.assertEqual(proc.stderr, "")


class BootTest(TempDirTest):
    """clear-rebooting turns REBOOTING into READY at boot and leaves every other status."""

    program = os.path.join(PACKAGING, "clear-rebooting")

    def run_on(self, content, shell="/bin/sh"):
        status = os.path.join(self.tmp, "status")
        if os.path.exists(status):
            os.unlink(status)
        if content is not None:
            with open(status, "w") as f:
                f.write(content)
        proc = run([shell, self.program], env={"PATH": "/usr/bin:/bin", "UPDATER_STATUS_FILE": status})
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertEqual(proc.stderr, "")
        if not os.path.exists(status):
            return None
        with open(status) as f:
            return f.read()

    def test_status_values(self):
        cases = [
            ("REBOOTING\n", None),          # missing file reads as READY
            ("REBOOTING", None),
            ("REBOOTING trailing words\n", None),
            ("CORRUPTED\n", "CORRUPTED\n"),  # damage must stay visible
            ("UPDATING\n", "UPDATING\n"),    # the updater itself turns this into CORRUPTED
            ("READY\n", "READY\n"),
            ("rebooting\n", "rebooting\n"),  # not a status name: the updater reports it
            ("", ""),
            (None, None),
        ]
        for shell in [s for s in ["/bin/sh", "/bin/dash", "/bin/bash"] if os.access(s, os.X_OK)]:
            for content, expected in cases:
                self.assertEqual(self.run_on(content, shell), expected, "%s: %r" % (shell, content))


class UnitsTest(TempDirTest):
    """systemd accepts the units, and they keep rpm from being cut off."""

    def unit(self, name):
        with open(os.path.join(PACKAGING, name)) as f:
            return f.read()

    def make_root(self, service_text=None):
        """A root folder with the system's units, ours, and an executable /usr/bin/updater."""
        root = os.path.join(self.tmp, "root")
        unitdir = os.path.join(root, "usr/lib/systemd/system")
        host_units = "/usr/lib/systemd/system" if os.path.isdir("/usr/lib/systemd/system") \
            else "/lib/systemd/system"
        shutil.copytree(host_units, unitdir, symlinks=True)
        os.makedirs(os.path.join(root, "usr/bin"), exist_ok=True)
        shutil.copy("/bin/true", os.path.join(root, "usr/bin/updater"))
        with open(os.path.join(unitdir, "updater.service"), "w") as f:
            f.write(service_text if service_text is not None else self.unit("updater.service"))
        shutil.copy(os.path.join(PACKAGING, "updater.timer"), unitdir)
        shutil.copy(os.path.join(PACKAGING, "updater-boot.service"), unitdir)
        os.makedirs(os.path.join(root, "usr/lib/updater"), exist_ok=True)
        shutil.copy(os.path.join(PACKAGING, "clear-rebooting"), os.path.join(root, "usr/lib/updater"))
        return root

    def verify(self, root):
        # --man=no: the page is not installed on the build host; its rendering is ManPageTest's.
        return run(["systemd-analyze", "verify", "--man=no", "--root=" + root,
                    "updater.service", "updater.timer", "updater-boot.service"])

    def test_systemd_analyze_verify(self):
        self.assertIsNotNone(shutil.which("systemd-analyze"), "systemd-analyze missing (install systemd)")
        proc = self.verify(self.make_root())
        self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
        self.assertEqual(proc.stdout + proc.stderr, "")

    def test_verify_notices_a_broken_unit(self):
        # systemd-analyze only warns about bad values, so the check above relies on empty
        # output; make sure a bad setting does produce some.
        broken = self.unit("updater.service").replace("KillMode=process", "KillMode=nonsense")
        proc = self.verify(self.make_root(broken))
        self.assertIn("nonsense", proc.stdout + proc.stderr)

    def test_service_settings(self):
        service = self.unit("updater.service")
        settings = dict(re.findall(r"^(\w+)=(.*)$", service, re.M))
        self.assertEqual(settings["Type"], "oneshot")
        self.assertEqual(settings["ExecStart"], "/usr/bin/updater")
        self.assertNotIn("--background", service.replace("(no --background)", ""))
        self.assertEqual(settings["After"], "network-online.target")
        self.assertEqual(settings["Wants"], "network-online.target")
        # rpm must not receive the stop signal, and the updater gets time to let it finish.
        self.assertEqual(settings["KillMode"], "process")
        self.assertRegex(settings["TimeoutStopSec"], r"^\d+min$")
        self.assertGreaterEqual(int(settings["TimeoutStopSec"][:-3]), 10)

    def test_boot_unit_runs_before_any_update(self):
        settings = dict(re.findall(r"^(\w+)=(.*)$", self.unit("updater-boot.service"), re.M))
        self.assertEqual(settings["ExecStart"], "/usr/lib/updater/clear-rebooting")
        self.assertIn("updater.service", re.findall(r"^Before=(.*)$", self.unit("updater-boot.service"), re.M)[0])

    def test_timer_settings(self):
        settings = dict(re.findall(r"^(\w+)=(.*)$", self.unit("updater.timer"), re.M))
        self.assertEqual(settings["OnCalendar"], "daily")
        self.assertIn("RandomizedDelaySec", settings)
        self.assertEqual(settings["WantedBy"], "timers.target")


class ManPageTest(TempDirTest):
    """updater(8) renders without warnings and documents what the program offers."""

    page = os.path.join(PACKAGING, "updater.8")

    def rendered(self):
        # Very long lines, no hyphenation: every paragraph becomes one line to search in.
        proc = run(["groff", "-man", "-Tascii", "-rLL=4000n", "-P-c", "-P-b", "-P-u", self.page])
        self.assertEqual(proc.returncode, 0, proc.stderr)
        return proc.stdout

    def help_options(self):
        """(option spec, help text) pairs from the program's --help, or the fallback list."""
        if not have_updater():
            return FALLBACK_OPTIONS
        proc = run([UPDATER_EXE, "--help"], stdin=subprocess.DEVNULL)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        options = []
        for line in proc.stdout.splitlines():
            m = re.match(r"^ {2,6}(-\S.*?) {2,}(\S.*)$", line)
            if m:
                options.append([m.group(1), m.group(2)])
            elif options and re.match(r"^\s{20,}\S", line):
                options[-1][1] += " " + line.strip()
        self.assertGreater(len(options), 10, proc.stdout)
        return [(spec.strip(), text) for spec, text in options]

    def test_header_names_the_project_version(self):
        # The program takes its version from the project VERSION; the page must follow it.
        with open(os.path.join(SOURCE_DIR, "CMakeLists.txt")) as f:
            version = re.search(r"^project\(updater VERSION ([0-9.]+)", f.read(), re.M).group(1)
        with open(self.page) as f:
            self.assertIn('"updater %s"' % version, f.readline())

    def test_renders_without_warnings(self):
        proc = run(["groff", "-man", "-ww", "-z", self.page])
        self.assertEqual(proc.returncode, 0)
        self.assertEqual(proc.stderr, "")
        if shutil.which("man"):
            proc = run(["man", "--warnings", "-l", self.page], env=dict(os.environ, MANWIDTH="80"))
            self.assertEqual(proc.returncode, 0, proc.stderr)
            self.assertEqual(proc.stderr, "")
            self.assertIn("UPDATER(8)", proc.stdout)

    def test_options_with_help_texts_in_order(self):
        text = squeeze(self.rendered())
        position = text.index("OPTIONS")
        for spec, help_text in self.help_options():
            entry = squeeze(spec) + " " + squeeze(help_text)
            found = text.find(entry, position)
            self.assertNotEqual(found, -1, "option missing or out of order in the man page: " + entry)
            position = found + len(entry)

    def test_documents_states_hooks_files_and_repositories(self):
        text = self.rendered()
        for word in ["READY", "DELAYING", "ANALYZING", "DOWNLOADING", "TESTING", "UPDATING", "PKGSDONE",
                     "CORRUPTED", "REBOOTING", "AVAILABLE", "PENDING", "COMPLETE"]:
            self.assertRegex(text, r"\n {7,}%s\b" % word, "value not described: " + word)
        for name in HOOK_NAMES:
            self.assertRegex(text, r"\n {7}%s\b" % name, "hook point not described: " + name)
        for path in ["/etc/updater.conf", "/usr/share/resources/default/updater/defaults.conf",
                     "/etc/network/vqzproxy.conf", "/etc/morvane/vqzpasswd.xml", "/var/lib/updater/status",
                     "/var/lib/updater/update-state", "/var/lock/updater", "/var/run/updater.norun",
                     "/var/log/updater/lastlog", "/var/cache/updater/", "/usr/lib/updater/hook"]:
            self.assertRegex(text, r"\n {7}%s\n" % re.escape(path), "file not described: " + path)
        for section in ["SYNOPSIS", "OPTIONS", "MODES", "EXIT STATUS", "FILES", "HOOKS", "CONFIGURATION",
                        "PROXY FILE", "CREDENTIALS FILE", "SIGNALS", "REPOSITORIES"]:
            self.assertRegex(text, r"\n%s\n" % section)
        flat = squeeze(text)
        for needle in ["createrepo_c -s sha", "rpmsign --addsign", "rpm --import", "updater-running",
                       "hook name version [count]"]:
            self.assertIn(needle, flat)

    def test_configuration_examples_are_well_formed(self):
        # The XML examples of the page, as a reader would copy them.
        text = self.rendered()
        blocks = re.findall(r"\n( {14}<.*?)\n\n", text, re.S)
        roots = [re.sub(r"^ {14}", "", b, flags=re.M) for b in blocks if "<" in b]
        self.assertEqual(len([r for r in roots if r.lstrip().startswith(("<?xml", "<proxyconf", "<credits"))]), 3)
        for doc in roots:
            if not doc.lstrip().startswith(("<?xml", "<proxyconf", "<credits")):
                continue
            proc = run(["xmllint", "--noout", "-"], input=doc)
            self.assertEqual(proc.returncode, 0, doc + proc.stderr)


class RpmTest(TempDirTest):
    """scripts/build-rpm.sh builds the package "updater" that owns the installed files."""

    def build(self, *args):
        outdir = os.path.join(self.tmp, "rpms-%d" % len(os.listdir(self.tmp)))
        proc = run([os.path.join(SOURCE_DIR, "scripts/build-rpm.sh"), "--prebuilt", BINARY_DIR,
                    "--outdir", outdir, "--without-autodeps"] + list(args))
        self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
        packages = proc.stdout.split()
        self.assertEqual(len(packages), 1, proc.stdout)
        return packages[0]

    def query(self, package, *args):
        # A private database: the host's rpm database is never opened.
        proc = run(["rpm", "--dbpath", os.path.join(self.tmp, "rpmdb"), "-qp"] + list(args) + [package])
        self.assertEqual(proc.returncode, 0, proc.stderr)
        return proc.stdout

    def test_package(self):
        self.assertTrue(BINARY_DIR, "UPDATER_BINARY_DIR not set")
        package = self.build()
        self.assertEqual(self.query(package, "--qf", "%{NAME} %{VERSION} %{RELEASE}\n"), "updater 1.4.0 1\n")
        self.assertIn("updater-running = 1.4.0", self.query(package, "--provides").splitlines())
        # Without automatic requirements the package installs into a simulated device whose
        # rpm database knows nothing of the host's libraries.
        requires = [r for r in self.query(package, "--requires").splitlines() if not r.startswith("rpmlib(")]
        self.assertEqual(requires, [])

        listing = {}
        for line in self.query(package, "--qf", "[%{FILEMODES:perms} %{FILENAMES}\n]").splitlines():
            perms, path = line.split(" ", 1)
            listing[path] = perms
        owned = {p.rstrip("*") for p in listing}
        expected = set(expected_layout()) | {"/usr/lib/updater", "/usr/share/resources/default/updater"}
        # The man page may have been compressed by rpm.
        owned = {re.sub(r"\.8\.gz$", ".8", p) for p in owned}
        self.assertEqual(owned, expected)
        self.assertEqual(listing["/usr/lib/updater/hook"], "-rwxr-xr-x")
        for d in ["/var/lib/updater", "/var/cache/updater", "/var/log/updater"]:
            self.assertEqual(listing[d], "drwxr-xr-x", d)

        configs = set(self.query(package, "-c").split())
        self.assertEqual(configs, {"/etc/updater.conf", "/usr/lib/updater/hook"})
        # noreplace: a device's edited configuration survives an upgrade.
        flags = self.query(package, "--qf", "[%{FILEFLAGS:fflags} %{FILENAMES}\n]")
        self.assertRegex(flags, r"(?m)^cn /etc/updater.conf$")

        # The package installs into an empty root as it would into a device image.
        root = os.path.join(self.tmp, "device")
        os.makedirs(root)
        proc = run(["rpm", "--root", root, "--dbpath", "/var/lib/rpm", "-i", "--noscripts", package])
        self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
        for path, (kind, mode) in expected_layout().items():
            st = os.lstat(root + path)
            self.assertEqual(stat.S_IMODE(st.st_mode), mode, path)

    def test_newer_version_for_self_update(self):
        package = self.build("--version", "1.5.0", "--release", "2")
        self.assertTrue(os.path.basename(package).startswith("updater-1.5.0-2."), package)
        self.assertIn("updater-running = 1.5.0", self.query(package, "--provides").splitlines())


if __name__ == "__main__":
    if len(sys.argv) > 1 and not sys.argv[1].startswith("-"):
        suite = unittest.defaultTestLoader.loadTestsFromName(sys.argv[1], sys.modules[__name__])
        result = unittest.TextTestRunner(verbosity=2).run(suite)
        sys.exit(0 if result.wasSuccessful() else 1)
    unittest.main(verbosity=2)
