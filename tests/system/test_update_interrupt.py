"""Interrupted update runs: SIGTERM during the metadata fetch and while rpm installs, rpm
killed while installing, and the updater itself killed with SIGKILL at each status it
records. The next start proceeds or refuses as the status file says, and never runs on
top of a cut-off installation."""

import os
import signal
import time

import pytest

from update_support import (SHELL, WAITING_PRE, Lighttpd, SilentServer, Spec, build_packages, child_pids, copy_into,
                            device_config, install_base, installed, make_repository, process_name, wait_for,
                            wait_for_file)

NAMES = ("updater", "app", "addon-a")
BASE = [Spec("updater", "1.0"), Spec("app", "1.0"), Spec("addon-a", "1.0"), SHELL]
# app's %pre waits for /run/pre-release, so that a test can act while rpm installs.
NEW = [Spec("updater", "2.0"), Spec("app", "2.0", pre=WAITING_PRE), Spec("addon-a", "2.0")]
BEFORE = {"updater": "1.0-1", "app": "1.0-1", "addon-a": "1.0-1"}
AFTER = {"updater": "2.0-1", "app": "2.0-1", "addon-a": "2.0-1"}
LOCAL = "file:///srv/updates"
REFUSED_UPDATING = "FATAL: a previous update was interrupted; SYSTEM MAY BE CORRUPTED! Aborting"
REFUSED_CORRUPTED = "FATAL: system is corrupted cannot update"


class Packages:
    def __init__(self, folder):
        self.base = build_packages(os.path.join(folder, "base"), BASE)
        self.new = build_packages(os.path.join(folder, "new"), NEW)
        self.repo = make_repository(os.path.join(folder, "repo"), self.new.values())

    def device(self, make_device, uri=LOCAL, release_pre=True):
        device = make_device(config=device_config(uri, addons=("addon-a",)))
        install_base(device, self.base.values())
        copy_into(device, "/srv/updates", self.repo)
        if release_pre:
            device.write("/run/pre-release", "")
        return device


@pytest.fixture(scope="module")
def packages(tmp_path_factory):
    return Packages(str(tmp_path_factory.mktemp("packages")))


def read_text(path):
    try:
        with open(path) as stream:
            return stream.read()
    except OSError:
        return ""


def rpm_child(process):
    """PID of the rpm the updater runs."""
    found = []
    wait_for(lambda: found.extend(pid for pid in child_pids(process.pid) if process_name(pid) == "rpm") or found,
             what="rpm")
    return found[0]


def next_run_proceeds(device):
    """The next start works from the local copy of the repository and installs the rest."""
    device.write("/run/pre-release", "")
    left = installed(device, *NAMES) != AFTER
    result = device.updater("--max-wait-time", "-1", "--repo-url", "base:" + LOCAL)
    assert result.returncode == 0, result
    assert "SYSTEM MAY BE CORRUPTED" not in result.stderr
    assert installed(device, *NAMES) == AFTER
    assert device.status() == ("REBOOTING\n" if left else "READY\n")
    assert device.update_state() == "COMPLETE\n"


def next_starts_refuse(device):
    calls = device.hook_calls()
    packages_before = installed(device, *NAMES)
    first = device.updater("--max-wait-time", "-1")
    assert first.returncode == 2, first
    assert REFUSED_UPDATING in first.lines()
    assert device.status() == "CORRUPTED\n"
    for _ in range(2):
        again = device.updater("--max-wait-time", "-1")
        assert again.returncode == 2, again
        assert REFUSED_CORRUPTED in again.lines()
    # Nothing ran on top of the cut-off installation.
    assert device.hook_calls() == calls
    assert installed(device, *NAMES) == packages_before
    assert device.status() == "CORRUPTED\n"


# -- termination signals ---------------------------------------------------------------


def test_sigterm_during_the_metadata_fetch_ends_the_process_at_once(packages, make_device):
    with SilentServer() as server:
        device = packages.device(make_device, server.url)
        process = device.start_updater("--max-wait-time", "-1")
        server.wait_for_connection()
        assert device.status() == "ANALYZING\n"
        started = time.monotonic()
        process.signal(signal.SIGTERM)
        result = process.wait(timeout=10)
    assert time.monotonic() - started < 3
    assert result.signal == signal.SIGTERM, result
    # Died of the signal: no exit sequence, no status change.
    assert "--- EXIT" not in result.stderr and "terminated by signal" not in result.stderr
    assert device.status() == "ANALYZING\n"
    next_run_proceeds(device)


def test_after_a_failed_metadata_fetch_signals_are_only_recorded(packages, make_device, tmp_path):
    # The server has no repository. The update-state file is a FIFO, so the run stops
    # where it records the state, after the failed pass.
    empty = tmp_path / "empty"
    empty.mkdir()
    with Lighttpd(str(empty)) as server:
        device = packages.device(make_device, server.url)
        fifo = device.path("/var/lib/updater/update-state")
        os.mkfifo(fifo)
        process = device.start_updater("--max-wait-time", "-1")
        process.wait_for_output("ERROR: could not update repository data")
        wait_for(lambda: read_text("/proc/%d/wchan" % process.pid) == "wait_for_partner", what="the FIFO open")
        process.signal(signal.SIGTERM)
        time.sleep(0.3)
        assert process.running()
        descriptor = os.open(fifo, os.O_RDWR | os.O_NONBLOCK)
        try:
            os.write(descriptor, b"AVAILABLE\n")
            result = process.wait()
        finally:
            os.close(descriptor)
    assert result.signal == signal.SIGTERM, result
    assert result.lines()[-2:] == ["INFO: --- EXIT ERROR ---", "ERROR: terminated by signal #15: Terminated"]
    assert device.status() == "READY\n"


def test_sigterm_during_the_random_wait_ends_the_run_before_the_repository(packages, make_device):
    with Lighttpd(packages.repo) as server:
        device = packages.device(make_device, server.url)
        process = device.start_updater("--max-wait-time", "3600")
        wait_for(lambda: device.status() == "DELAYING\n", what="DELAYING")
        process.signal(signal.SIGTERM)
        result = process.wait(timeout=10)
        server.stop()
    lines = result.lines()
    assert "ERROR: wait interrupted" in lines
    assert result.signal == signal.SIGTERM, result
    assert lines[-2:] == ["INFO: --- EXIT ERROR ---", "ERROR: terminated by signal #15: Terminated"]
    assert server.requests() == []
    assert device.status() == "READY\n"


@pytest.mark.parametrize("no_reboot", [True, False])
def test_sigterm_while_rpm_installs_lets_rpm_finish(packages, make_device, no_reboot):
    device = packages.device(make_device, release_pre=False)
    args = ["--max-wait-time", "-1"] + (["--no-reboot"] if no_reboot else [])
    process = device.start_updater(*args)
    wait_for_file(device, "/run/pre-waiting")
    rpm = rpm_child(process)
    process.signal(signal.SIGTERM)
    time.sleep(0.5)
    # The updater only noted the signal; rpm goes on.
    assert process.running() and os.path.exists("/proc/%d" % rpm)
    assert device.status() == "UPDATING\n"
    device.write("/run/pre-release", "")
    result = process.wait()
    lines = result.lines()
    assert "INFO: packages installed OK" in lines
    assert installed(device, *NAMES) == {"updater": "2.0-1", "app": "2.0-1", "addon-a": "1.0-1"}
    # Pass 2 stops at its signal check, before anything of its own happens.
    assert "INFO: pass 2: add-ons" in lines
    assert device.hook_calls()[-1] == "postupdate 1.4.0 2"
    assert device.update_state() == "PENDING\n"
    if no_reboot:
        # The run did not succeed: the process dies of the signal it caught.
        assert result.signal == signal.SIGTERM, result
        assert lines[-2:] == ["INFO: --- EXIT ERROR ---", "ERROR: terminated by signal #15: Terminated"]
        assert device.status() == "READY\n"
        assert device.stub_calls() == []
    else:
        # Pass 1 installed packages: the device reboots and the signal is not raised again.
        assert result.returncode == 0, result
        assert "terminated by signal" not in result.stderr
        assert lines[-1] == "INFO: --- EXIT OK ---"
        assert device.status() == "REBOOTING\n"
        assert device.stub_calls() == [["telinit", "u"], ["shutdown", "-r", "+1", "rebooting after upgrade"]]


def test_rpm_killed_while_installing_corrupts_and_every_later_start_refuses(packages, make_device):
    device = packages.device(make_device, release_pre=False)
    process = device.start_updater("--max-wait-time", "-1")
    wait_for_file(device, "/run/pre-waiting")
    os.kill(rpm_child(process), signal.SIGKILL)
    # rpm's scriptlet lives on with rpm's output: the updater reads until it ends too.
    device.write("/run/pre-release", "")
    result = process.wait()
    assert device.wait_idle()
    assert result.returncode == 2, result
    lines = result.lines()
    assert "FATAL: rpm was interrupted, installation may be incomplete; SYSTEM MAY BE CORRUPTED" in lines
    assert lines[-1] == "INFO: --- EXIT FATAL ---"
    assert "pass 2: add-ons" not in result.stderr
    assert device.status() == "CORRUPTED\n"
    assert device.stub_calls() == []
    for _ in range(2):
        again = device.updater("--max-wait-time", "-1")
        assert again.returncode == 2, again
        assert REFUSED_CORRUPTED in again.lines()
    assert device.status() == "CORRUPTED\n"


# -- the updater killed at each status -------------------------------------------------


def stop_delaying(packages, make_device, stack):
    server = stack(Lighttpd(packages.repo))
    device = packages.device(make_device, server.url)
    process = device.start_updater("--max-wait-time", "3600")
    wait_for(lambda: device.status() == "DELAYING\n", what="DELAYING")
    assert "secs before connection" in process.stderr()
    return device, process, None


def stop_analyzing(packages, make_device, stack):
    server = stack(SilentServer())
    device = packages.device(make_device, server.url)
    process = device.start_updater("--max-wait-time", "-1")
    server.wait_for_connection()
    return device, process, None


def stop_in_hook(hook, *args):
    def stop(packages, make_device, stack):
        device = packages.device(make_device)
        device.block_hook(hook)
        process = device.start_updater("--max-wait-time", "-1", *args)
        device.wait_hook_blocked()
        return device, process, device.release_hook
    return stop


def stop_in_rpm(packages, make_device, stack):
    device = packages.device(make_device, release_pre=False)
    process = device.start_updater("--max-wait-time", "-1")
    wait_for_file(device, "/run/pre-waiting")
    return device, process, lambda: device.write("/run/pre-release", "")


def stop_after_the_last_pass(packages, make_device, stack):
    # The update-state file is a FIFO: the run blocks when it records the state.
    device = packages.device(make_device)
    os.mkfifo(device.path("/var/lib/updater/update-state"))
    process = device.start_updater("--max-wait-time", "-1")
    wait_for(lambda: device.hook_calls()[-1:] == ["postupdate 1.4.0 1"] and device.status() == "PKGSDONE\n",
             what="PKGSDONE")
    return device, process, lambda: os.unlink(device.path("/var/lib/updater/update-state"))


@pytest.mark.parametrize("status, stop, proceeds", [
    ("DELAYING", stop_delaying, True),
    ("ANALYZING", stop_analyzing, True),
    # The update hook runs after the download and the signature check.
    ("DOWNLOADING", stop_in_hook("update"), True),
    # The posttest hook runs after rpm --test, before PKGSDONE.
    ("TESTING", stop_in_hook("posttest", "--test"), True),
    ("UPDATING", stop_in_rpm, False),
    # The postupdate hook runs after rpm, before PKGSDONE: the status still says UPDATING.
    ("UPDATING", stop_in_hook("postupdate"), False),
    ("PKGSDONE", stop_after_the_last_pass, True),
], ids=["delaying", "analyzing", "downloading", "testing", "updating-rpm", "updating-postupdate", "pkgsdone"])
def test_updater_killed_at_a_status(packages, make_device, status, stop, proceeds):
    resources = []

    def stack(resource):
        resources.append(resource)
        return resource

    try:
        device, process, release = stop(packages, make_device, stack)
        assert device.status() == status + "\n"
        process.signal(signal.SIGKILL)
        assert process.wait().signal == signal.SIGKILL
        if release:
            release()
        assert device.wait_idle()
        assert device.status() == status + "\n"
    finally:
        for resource in resources:
            resource.__exit__(None, None, None)
    if proceeds:
        next_run_proceeds(device)
    else:
        next_starts_refuse(device)
