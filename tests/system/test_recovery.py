"""Recovery after an interrupted installation (<recovery verify="true" repair="true"/>):
the next start verifies the rpm database against the transaction record, finishes a
completed installation (the "postupdate" hook, the reboot), runs the reboot a killed run
still owed, repairs a cut-off transaction from the cached package files, and leaves the
device CORRUPTED, saying why, where it cannot."""

import fcntl
import os
import signal

import pytest

from update_support import (AFTER, ALL_NAMES, RECOVERY, RECOVERY_BASE, RECOVERY_NEW, Fleet, child_pids, copy_into,
                            install_base, installed, kill_everything, process_name, recovery_config, wait_for,
                            wait_for_file)

LOCAL = "file:///srv/updates"
VERIFY_ONLY = '<recovery verify="true" repair="false"/>'
UPDATE = ("--max-wait-time", "-1")
PASS1 = {"app": "2.0-1", "libnew": "1.0-1", "updater": "2.0-1"}
FINISHED = "WARNING: the previous run was interrupted after its installation had completed"
LOST_REBOOT = "WARNING: the previous run ended before the reboot its installation needs"
REPAIRED = "WARNING: the interrupted installation was repaired"
REBOOT_CALLS = [["telinit", "u"], ["shutdown", "-r", "+1", "rebooting after upgrade"]]


@pytest.fixture(scope="module")
def fleet(tmp_path_factory):
    return Fleet(str(tmp_path_factory.mktemp("fleet")), base=RECOVERY_BASE, new=RECOVERY_NEW)


def make(fleet, make_device, element=RECOVERY, release_pre=True):
    device = make_device(config=recovery_config(LOCAL, element))
    install_base(device, fleet.base.values())
    copy_into(device, "/srv/updates", fleet.repo)
    if release_pre:
        device.write("/run/pre-release", "")
    return device


def cut_in_pass2_rpm(device):
    """Starts an update and cuts the power while rpm of pass 2 waits in firmware's %pre."""
    process = device.start_updater(*UPDATE)
    wait_for_file(device, "/run/pre-waiting")
    kill_everything(device)
    process.wait()
    assert device.status() == "UPDATING\n"
    return process


def kill_in_postupdate_hook(device):
    """Starts an update and kills the updater while its "postupdate" hook runs."""
    device.block_hook("postupdate")
    process = device.start_updater(*UPDATE)
    device.wait_hook_blocked()
    process.signal(signal.SIGKILL)
    process.wait()
    device.release_hook()
    assert device.wait_idle()


def duplicates(device, *names):
    result = device.run(["rpm", "-q", "--qf", "%{NAME}\\n"] + list(names))
    listed = result.stdout.split()
    return sorted({name for name in listed if listed.count(name) > 1})


def test_killed_in_the_postupdate_hook_the_next_start_finishes_the_run(fleet, make_device):
    device = make(fleet, make_device)
    kill_in_postupdate_hook(device)
    assert device.status() == "UPDATING\n"
    assert device.exists("/var/lib/updater/transaction")
    device.set_hook_action("postupdate", "#!/bin/sh\nexit 0\n")

    result = device.updater(*UPDATE)
    assert result.returncode == 0, result
    lines = result.lines()
    assert FINISHED in lines
    assert "SYSTEM MAY BE CORRUPTED" not in result.stderr
    # No new pass: the interrupted run ends as it would have, the hook it owed included.
    assert "INFO: pass 1: all but add-ons" not in lines
    assert device.hook_calls()[-1] == "postupdate 1.4.0 3"
    assert device.hook_calls().count("postupdate 1.4.0 3") == 2
    assert installed(device, *PASS1) == PASS1
    assert device.status() == "REBOOTING\n"
    assert device.stub_calls() == REBOOT_CALLS
    assert device.update_state() == "PENDING\n"
    assert not device.exists("/var/lib/updater/transaction")

    # After the reboot the rest comes as usual.
    device.run(["/usr/lib/updater/clear-rebooting"], check=True)
    result = device.updater(*UPDATE)
    assert result.returncode == 0, result
    assert installed(device, *ALL_NAMES) == AFTER
    assert device.update_state() == "COMPLETE\n"


def test_the_start_waits_for_a_running_rpm_transaction(fleet, make_device):
    device = make(fleet, make_device)
    kill_in_postupdate_hook(device)
    # Another rpm holds rpm's transaction lock until the updater has given up.
    with open(device.path("/var/lib/rpm/.rpm.lock"), "a") as lock:
        fcntl.lockf(lock, fcntl.LOCK_EX)
        result = device.updater(*UPDATE, "--lock-timeout", "1")
        fcntl.lockf(lock, fcntl.LOCK_UN)
    assert result.returncode == 1, result
    lines = result.lines()
    assert "INFO: waiting for a running rpm transaction to end" in lines
    assert "ERROR: an rpm transaction is still running, cannot verify the interrupted installation" in lines
    # Nothing judged: the next start does it.
    assert device.status() == "UPDATING\n"
    assert device.exists("/var/lib/updater/transaction")
    result = device.updater(*UPDATE)
    assert result.returncode == 0, result
    assert FINISHED in result.lines()


def test_the_reboot_a_killed_run_owed_is_made_by_the_next_start(fleet, make_device):
    device = make(fleet, make_device)
    # The update-state file is a FIFO: the run blocks after its last pass.
    os.mkfifo(device.path("/var/lib/updater/update-state"))
    process = device.start_updater(*UPDATE)
    wait_for(lambda: device.hook_calls()[-1:] == ["postupdate 1.4.0 4"] and device.status() == "PKGSDONE\n",
             what="PKGSDONE")
    process.signal(signal.SIGKILL)
    process.wait()
    os.unlink(device.path("/var/lib/updater/update-state"))
    assert device.wait_idle()
    assert device.stub_calls() == []

    result = device.updater(*UPDATE)
    assert result.returncode == 0, result
    assert LOST_REBOOT in result.lines()
    assert "INFO: pass 1: all but add-ons" not in result.lines()
    assert device.stub_calls() == REBOOT_CALLS
    assert device.status() == "REBOOTING\n"
    assert device.update_state() == "COMPLETE\n"
    assert installed(device, *ALL_NAMES) == AFTER
    # The boot step ends what the record owed: the next run is an ordinary one.
    device.run(["/usr/lib/updater/clear-rebooting"], check=True)
    assert not device.exists("/var/lib/updater/transaction")
    again = device.updater(*UPDATE)
    assert again.returncode == 0, again
    assert "INFO: no updates" in again.lines()
    assert device.stub_calls() == REBOOT_CALLS


def test_a_cut_off_transaction_is_repaired(fleet, make_device):
    device = make(fleet, make_device, release_pre=False)
    cut_in_pass2_rpm(device)
    assert duplicates(device, "addon-a", "extra") != []
    device.write("/run/pre-release", "")

    result = device.updater(*UPDATE)
    assert result.returncode == 0, result
    lines = result.lines()
    assert "WARNING: the previous run was interrupted during its installation; repairing it" in lines
    assert REPAIRED in lines
    assert "SYSTEM MAY BE CORRUPTED" not in result.stderr
    assert installed(device, *ALL_NAMES) == AFTER
    assert duplicates(device, *ALL_NAMES) == []
    assert device.status() == "REBOOTING\n"
    assert device.stub_calls() == REBOOT_CALLS
    assert device.hook_calls()[-1] == "postupdate 1.4.0 4"


def test_without_repair_a_cut_off_transaction_is_corrupted_with_the_reasons(fleet, make_device):
    device = make(fleet, make_device, element=VERIFY_ONLY, release_pre=False)
    cut_in_pass2_rpm(device)
    device.write("/run/pre-release", "")
    before = installed(device, *ALL_NAMES)

    result = device.updater(*UPDATE)
    assert result.returncode == 2, result
    lines = result.lines()
    assert "ERROR: addon-a: both 1.0-1 and 2.0-1 installed" in lines
    assert "ERROR: firmware: 2.0-1 not installed" in lines
    assert "FATAL: a previous update was interrupted; SYSTEM MAY BE CORRUPTED! Aborting" in lines
    assert device.status() == "CORRUPTED\n"
    # Judged once: later starts refuse at once, and nothing ran on top.
    again = device.updater(*UPDATE)
    assert again.returncode == 2, again
    assert "FATAL: system is corrupted cannot update" in again.lines()
    assert "both 1.0-1 and 2.0-1" not in again.stderr
    assert installed(device, *ALL_NAMES) == before


def test_a_repair_needs_the_package_files_as_downloaded(fleet, make_device):
    device = make(fleet, make_device, release_pre=False)
    cut_in_pass2_rpm(device)
    device.write("/run/pre-release", "")
    cached = [os.path.join(folder, name) for folder, _, names in os.walk(device.cache_dir()) for name in names
              if name.startswith("extra-2.0")]
    assert len(cached) == 1, cached
    with open(cached[0], "r+b") as stream:
        stream.seek(200)
        stream.write(b"\0\0\0\0")

    result = device.updater(*UPDATE)
    assert result.returncode == 2, result
    assert any(line.startswith("ERROR: package file '") and line.endswith("extra-2.0-1.noarch.rpm' does not match "
                                                                          "its checksum") for line in result.lines())
    assert "ERROR: cannot repair the interrupted installation" in result.lines()
    assert device.status() == "CORRUPTED\n"


def test_rpm_killed_under_a_living_updater_is_repaired_at_the_next_start(fleet, make_device):
    device = make(fleet, make_device, release_pre=False)
    process = device.start_updater(*UPDATE)
    wait_for_file(device, "/run/pre-waiting")
    rpm = [pid for pid in child_pids(process.pid) if process_name(pid) == "rpm"]
    assert len(rpm) == 1
    os.kill(rpm[0], signal.SIGKILL)
    device.write("/run/pre-release", "")
    result = process.wait()
    assert device.wait_idle()
    assert result.returncode == 2, result
    assert device.status() == "CORRUPTED\n"

    result = device.updater(*UPDATE)
    assert result.returncode == 0, result
    assert REPAIRED in result.lines()
    assert installed(device, *ALL_NAMES) == AFTER
    assert device.status() == "REBOOTING\n"


def test_without_recovery_no_record_is_written(fleet, make_device):
    device = make(fleet, make_device, element="")
    device.block_hook("postupdate")
    process = device.start_updater(*UPDATE)
    device.wait_hook_blocked()
    assert not device.exists("/var/lib/updater/transaction")
    process.signal(signal.SIGKILL)
    process.wait()
    device.release_hook()
    assert device.wait_idle()
    result = device.updater(*UPDATE)
    assert result.returncode == 2, result
    assert device.status() == "CORRUPTED\n"
    assert installed(device, *PASS1) == PASS1
