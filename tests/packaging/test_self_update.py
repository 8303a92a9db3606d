"""The updater's own rpm package on a simulated device. In a repository, a package that
needs a newer running updater makes the running updater install the new "updater" package
alone first, then reboot; installed on a bare device, its hook and files work with the
program.

The device runs the updater installed from its own rpm package (built by
scripts/build-rpm.sh); the repository holds a newer build of that package next to a
package that requires "updater-running" in the newer version.
"""

import os
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "system"))

from device import Device  # noqa: E402

BINARY_DIR = os.environ.get("UPDATER_BINARY_DIR", "")
MKRPM = os.path.join(SOURCE_DIR, "tests", "support", "rpm", "mkrpm.py")


def build_updater_package(outdir, version, release="1"):
    """The updater's own package from the build tree, without automatic library requirements
    (the device's rpm database does not know the host's libraries)."""
    proc = subprocess.run([os.path.join(SOURCE_DIR, "scripts", "build-rpm.sh"), "--prebuilt", BINARY_DIR,
                           "--outdir", outdir, "--without-autodeps", "--version", version, "--release", release],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, check=False)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return proc.stdout.strip()


def build_package(outdir, name, version, *requires):
    argv = ["/usr/bin/python3", MKRPM, "--name", name, "--version", version, "--no-auto",
            "--file", "/usr/share/%s/version" % name, "--outdir", outdir]
    for capability in requires:
        argv += ["--requires", capability]
    proc = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, check=False)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout.strip()


@pytest.fixture
def packages(tmp_path):
    assert BINARY_DIR, "UPDATER_BINARY_DIR not set"
    out = str(tmp_path)
    return {
        "updater-1.4.0": build_updater_package(os.path.join(out, "old"), "1.4.0"),
        "updater-1.5.0": build_updater_package(os.path.join(out, "new"), "1.5.0"),
        "app-1.0": build_package(os.path.join(out, "installed"), "app", "1.0"),
        "app-2.0": build_package(os.path.join(out, "repo"), "app", "2.0", "updater-running >= 1.5.0"),
    }


def install(device, package):
    device.write("/srv/install/" + os.path.basename(package), open(package, "rb").read())
    result = device.run(["rpm", "-i", "/srv/install/" + os.path.basename(package)])
    assert result.returncode == 0, result.output


def rpm_q(device, name):
    return device.run(["rpm", "-q", name]).stdout.strip()


def test_newer_updater_required_installs_the_updater_package_first(packages):
    with Device() as device:
        install(device, packages["updater-1.4.0"])
        install(device, packages["app-1.0"])
        assert rpm_q(device, "updater").startswith("updater-1.4.0-1.")
        # The device's own hook and configuration are %config(noreplace): the package does
        # not replace them.
        assert "hook.calls" in device.read("/usr/lib/updater/hook")
        assert "file:///srv/repo" in device.read("/etc/updater.conf")

        for key in ("updater-1.5.0", "app-2.0"):
            device.write("/srv/repo/" + os.path.basename(packages[key]), open(packages[key], "rb").read())
        proc = subprocess.run(["createrepo_c", "-q", "-s", "sha", device.path("/srv/repo")],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, check=False)
        assert proc.returncode == 0, proc.stdout

        result = device.updater()

        log = result.stderr
        assert result.returncode == 0, result
        assert "ERROR: newer updater required to install: updater-running >= 0:1.5.0" in log, log
        assert "--- RETRY UPDATER ONLY ---" in log
        assert "--- UPDATER 1.5.0-1 ---" in log

        # Only the updater was installed; the application waits for the new updater.
        assert rpm_q(device, "updater").startswith("updater-1.5.0-1.")
        assert rpm_q(device, "app") == "app-1.0-1.noarch"
        calls = device.hook_calls()
        assert calls[0] == "init 1.4.0"
        assert "download 1.4.0" in calls
        assert "update 1.4.0 1" in calls
        assert calls[-1] == "postupdate 1.4.0 1"

        # The device restarts into the new updater, which installs the rest.
        assert device.status() == "REBOOTING\n"
        assert device.update_state() == "PENDING\n"
        assert device.stub_calls() == [["telinit", "u"], ["shutdown", "-r", "+1", "rebooting after upgrade"]]

        # The boot step of the package clears the REBOOTING status, so the next run can start.
        boot = device.run(["/usr/lib/updater/clear-rebooting"])
        assert boot.returncode == 0, boot.output
        assert device.status() is None


def test_packaged_hook_and_configuration_work_with_the_program(tmp_path):
    """On a device without files of its own, the package's example hook is what the
    updater runs, with the hook name and version as arguments."""
    assert BINARY_DIR, "UPDATER_BINARY_DIR not set"
    package = build_updater_package(str(tmp_path), "1.4.0")
    with Device() as device:
        device.remove("/usr/lib/updater/hook")
        install(device, package)
        assert device.read("/usr/lib/updater/hook") == open(os.path.join(SOURCE_DIR, "packaging", "hook")).read()

        result = device.updater("--check-only")
        assert "INFO: running init hook" in result.stderr, result
        assert "hook init: updater 1.4.0 starting" in result.stderr, result
        assert "hook failed" not in result.stderr
