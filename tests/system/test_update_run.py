"""Complete update runs in a device: the three passes with the add-ons in the second
installing pass, the reboot, nothing to update, check and test mode, --no-reboot, package
names on the command line and --cache-only, against repositories served by lighttpd or
read as a file: tree, with the real rpm installing into the device's database."""

import pytest

from update_support import (AFTER, ALL_NAMES, BEFORE, PASS1_FILES, PASS2_FILES, Fleet, Lighttpd, contains_sequence,
                            copy_into, installed, pass_report)

SIG_HUP = 1
SIG_TERM = 15


@pytest.fixture(scope="module")
def fleet(tmp_path_factory):
    return Fleet(str(tmp_path_factory.mktemp("fleet")))


@pytest.fixture
def server(fleet):
    with Lighttpd(fleet.repo) as httpd:
        yield httpd


def signal_sets(status_text):
    masks = {}
    for line in status_text.splitlines():
        key, _, value = line.partition(":")
        if key in ("SigIgn", "SigCgt"):
            bits = int(value.strip(), 16)
            masks[key] = {n for n in range(1, 65) if bits & (1 << (n - 1))}
    return masks


def test_normal_run_installs_in_two_passes_and_reboots(fleet, server, make_device):
    device = fleet.device(make_device, server.url)
    assert installed(device, *ALL_NAMES) == BEFORE
    # The update hook records the signal dispositions of the updater and of itself.
    device.set_hook_action("update", "#!/bin/sh\ncat /proc/$PPID/status > /run/updater-status.$3\n"
                                     "cat /proc/self/status > /run/hook-status.$3\n")

    result = device.updater("--max-wait-time", "-1")
    assert result.returncode == 0, result
    lines = result.lines()
    assert result.banners() == [
        "INFO: updater version 1.4.0, product testproduct",
        "INFO: --- MODE update ---",
        "INFO: --- 7 UPDATE(S) ---",
        "INFO: --- FIRMWARE 2.0-1 ---",
        "INFO: --- EXIT OK ---",
    ]
    assert "INFO: updating packages from repository 'Test repository' (URI '%s')" % server.url in lines
    # Pass 0 counts everything, add-ons included (addon-b is pulled in although not
    # installed), and libnew for app's dependency.
    assert contains_sequence(lines, pass_report(7, ["addon-a-2.0-1.noarch.rpm", "addon-b-1.0-1.noarch.rpm",
                                                    "app-2.0-1.noarch.rpm", "extra-2.0-1.noarch.rpm",
                                                    "firmware-2.0-1.noarch.rpm", "libnew-1.0-1.noarch.rpm",
                                                    "updater-2.0-1.noarch.rpm"], verb="need to"))
    pass1 = lines.index("INFO: pass 1: all but add-ons")
    pass2 = lines.index("INFO: pass 2: add-ons")
    assert pass1 < pass2
    assert contains_sequence(lines[pass1:pass2], pass_report(3, PASS1_FILES))
    assert contains_sequence(lines[pass2:], pass_report(4, PASS2_FILES))
    assert lines.count("INFO: downloading 3 packages") == 1
    assert lines.count("INFO: downloading 4 packages") == 1
    assert lines.count("INFO: updating package(s)") == 2
    assert lines.count("INFO: packages installed OK") == 2
    # Passes 1 and 2 are quiet: no further count or firmware banner.
    assert "INFO: --- 3 UPDATE(S) ---" not in lines and "INFO: --- 4 UPDATE(S) ---" not in lines
    assert "INFO: rebooting for upgrades to take full effect" in lines

    assert device.hook_calls() == ["init 1.4.0", "download 1.4.0", "update 1.4.0 3", "postupdate 1.4.0 3",
                                   "download 1.4.0", "update 1.4.0 4", "postupdate 1.4.0 4"]
    assert installed(device, *ALL_NAMES) == AFTER
    assert device.stub_calls() == [["telinit", "u"], ["shutdown", "-r", "+1", "rebooting after upgrade"]]
    assert device.status() == "REBOOTING\n"
    assert device.update_state() == "COMPLETE\n"

    # The index was fetched once (passes 1 and 2 read the cache), every package once; the
    # package folder was emptied after the run.
    server.stop()
    assert server.count("/repodata/repomd.xml") == 1
    for name in PASS1_FILES + PASS2_FILES:
        assert server.count("/" + name) == 1, (name, server.requests())
    assert server.count("/tool-1.0-1.noarch.rpm") == 0
    assert device.run(["ls", "-A", "/var/cache/updater/base/packages"]).stdout == ""

    # From the download on, SIGHUP is ignored by the updater and by its children; the
    # other termination signals are caught by the updater and default in the children.
    for count in ("3", "4"):
        updater = signal_sets(device.read("/run/updater-status." + count))
        hook = signal_sets(device.read("/run/hook-status." + count))
        assert SIG_HUP in updater["SigIgn"] and SIG_HUP in hook["SigIgn"]
        assert SIG_TERM in updater["SigCgt"] and SIG_TERM not in hook["SigIgn"] | hook["SigCgt"]

    # The device is now rebooting: a new start is refused.
    again = device.updater("--max-wait-time", "-1")
    assert again.returncode == 1
    assert "INFO: machine is rebooting after update, cannot start" in again.lines()


def test_sighup_during_an_installing_pass_has_no_effect(fleet, server, make_device):
    device = fleet.device(make_device, server.url)
    device.block_hook("update")
    process = device.start_updater("--max-wait-time", "-1", "--no-reboot")
    device.wait_hook_blocked()
    process.signal(SIG_HUP)
    device.release_hook(0)
    result = process.wait()
    assert result.returncode == 0, result
    assert "terminated by signal" not in result.stderr
    assert installed(device, *ALL_NAMES) == AFTER


def test_nothing_to_update_from_a_file_tree(fleet, make_device):
    # The repository holds what is installed already; it is read from /media/stick.
    device = fleet.device(make_device, "file:///media/stick")
    copy_into(device, "/media/stick", fleet.repo)
    result = device.updater("--max-wait-time", "-1")
    assert result.returncode == 0, result
    # Now everything is installed: the next run finds nothing.
    assert device.status() == "REBOOTING\n"
    device.set_status("READY\n")
    device.remove("/var/log/hook.calls")

    result = device.updater()
    assert result.returncode == 0, result
    lines = result.lines()
    assert lines.count("INFO: --- 0 UPDATE(S) ---") == 1
    assert lines.count("INFO: no updates") == 1
    assert "INFO: pass 1: all but add-ons" in lines and "INFO: pass 2: add-ons" in lines
    # A file: repository is never waited for, even with the default maximum wait.
    assert not any("waiting" in line for line in lines)
    assert device.hook_calls() == ["init 1.4.0"]
    assert device.status() == "READY\n"
    assert device.update_state() == "COMPLETE\n"
    assert device.stub_calls() == [["telinit", "u"], ["shutdown", "-r", "+1", "rebooting after upgrade"]]


@pytest.mark.parametrize("previous, expected", [(None, "AVAILABLE\n"), ("COMPLETE\n", "AVAILABLE\n"),
                                                ("PENDING\n", "PENDING\n")])
def test_check_mode_reports_and_changes_nothing(fleet, server, make_device, previous, expected):
    device = fleet.device(make_device, server.url)
    if previous:
        device.write("/var/lib/updater/update-state", previous)
    result = device.updater("--check-only", "--max-wait-time", "-1")
    assert result.returncode == 0, result
    lines = result.lines()
    assert result.banners() == ["INFO: updater version 1.4.0, product testproduct", "INFO: --- MODE check ---",
                                "INFO: --- 7 UPDATE(S) ---", "INFO: --- FIRMWARE 2.0-1 ---", "INFO: --- EXIT OK ---"]
    assert "INFO: need to update (7 packages):" in lines
    assert "pass 1" not in result.stderr
    assert device.hook_calls() == ["init 1.4.0"]
    assert installed(device, *ALL_NAMES) == BEFORE
    server.stop()
    assert "/repodata/repomd.xml" in server.requests()
    assert not any(name.endswith(".rpm") for name in server.requests())
    assert device.status() == "READY\n"
    assert device.update_state() == expected
    assert device.stub_calls() == []


def test_quiet_run_still_lists_the_packages_it_handles(fleet, server, make_device):
    device = fleet.device(make_device, server.url)
    result = device.updater("-q", "--no-reboot", "--max-wait-time", "-1")
    assert result.returncode == 0, result
    lines = result.lines()
    assert result.banners() == []
    assert "updating packages from repository" not in result.stderr
    assert "pass 1" not in result.stderr and "pass 2" not in result.stderr
    assert contains_sequence(lines, pass_report(7, ["addon-a-2.0-1.noarch.rpm", "addon-b-1.0-1.noarch.rpm",
                                                    "app-2.0-1.noarch.rpm", "extra-2.0-1.noarch.rpm",
                                                    "firmware-2.0-1.noarch.rpm", "libnew-1.0-1.noarch.rpm",
                                                    "updater-2.0-1.noarch.rpm"], verb="need to"))
    assert contains_sequence(lines, pass_report(3, PASS1_FILES))
    assert contains_sequence(lines, pass_report(4, PASS2_FILES))
    assert installed(device, *ALL_NAMES) == AFTER


def test_test_mode_lets_rpm_test_and_installs_nothing(fleet, server, make_device):
    device = fleet.device(make_device, server.url)
    device.set_hook_action("test", "#!/bin/sh\ncat /var/lib/updater/status >> /run/status-at-test\n")
    result = device.updater("--test", "--max-wait-time", "-1")
    assert result.returncode == 0, result
    lines = result.lines()
    assert "INFO: --- MODE test ---" in lines
    assert contains_sequence(lines, pass_report(3, PASS1_FILES, verb="testing"))
    # Nothing was installed by pass 1, so pass 2 finds every update again.
    assert "INFO: testing update (7 packages):" in lines
    assert lines.count("INFO: testing package(s) update") == 2
    assert lines.count("INFO: packages tested OK") == 2
    assert "updating package(s)" not in result.stderr
    assert device.hook_calls() == ["init 1.4.0", "download 1.4.0", "test 1.4.0 3", "posttest 1.4.0 3",
                                   "download 1.4.0", "test 1.4.0 7", "posttest 1.4.0 7"]
    assert device.read("/run/status-at-test") == "DOWNLOADING\nDOWNLOADING\n"
    assert installed(device, *ALL_NAMES) == BEFORE
    assert device.stub_calls() == []
    assert device.status() == "READY\n"
    assert "SYSTEM MAY BE CORRUPTED" not in result.stderr
    # Nothing was installed: the updates are still available.
    assert device.update_state() == "AVAILABLE\n"


def test_no_reboot_installs_everything_without_rebooting(fleet, server, make_device):
    device = fleet.device(make_device, server.url)
    result = device.updater("--no-reboot", "--max-wait-time", "-1")
    assert result.returncode == 0, result
    assert installed(device, *ALL_NAMES) == AFTER
    assert result.lines().count("INFO: packages installed OK") == 2
    assert "rebooting" not in result.stderr
    assert device.stub_calls() == []
    assert device.status() == "READY\n"
    assert device.update_state() == "COMPLETE\n"


def test_package_names_run_one_pass_and_leave_the_update_state(fleet, server, make_device):
    device = fleet.device(make_device, server.url)
    device.write("/var/lib/updater/update-state", "AVAILABLE\n")
    result = device.updater("updater", "app", "updater", "--max-wait-time", "-1")
    assert result.returncode == 0, result
    lines = result.lines()
    assert result.banners() == ["INFO: updater version 1.4.0, product testproduct", "INFO: --- MODE update ---",
                                "INFO: --- 3 UPDATE(S) ---", "INFO: --- UPDATER 2.0-1 ---", "INFO: --- EXIT OK ---"]
    assert contains_sequence(lines, pass_report(3, PASS1_FILES))
    assert "pass 1" not in result.stderr and "pass 2" not in result.stderr
    assert device.hook_calls() == ["init 1.4.0", "download 1.4.0", "update 1.4.0 3", "postupdate 1.4.0 3"]
    expected = dict(BEFORE, updater="2.0-1", app="2.0-1", libnew="1.0-1")
    assert installed(device, *ALL_NAMES) == expected
    assert device.stub_calls() == [["telinit", "u"], ["shutdown", "-r", "+1", "rebooting after upgrade"]]
    assert device.status() == "REBOOTING\n"
    assert device.update_state() == "AVAILABLE\n"


def test_cache_only_after_a_run_uses_the_cached_index(fleet, make_device):
    with Lighttpd(fleet.repo) as server:
        device = fleet.device(make_device, server.url)
        assert device.updater("-n", "--max-wait-time", "-1").returncode == 0
        # With the server gone, a check from the cache still works, and never waits.
        server.stop()
        assert server.count("/repodata/repomd.xml") == 1
        result = device.updater("-n", "-C")
        assert result.returncode == 0, result
        assert "INFO: need to update (7 packages):" in result.lines()
        assert "waiting" not in result.stderr

    # The packages themselves are still downloaded.
    with Lighttpd(fleet.repo) as server:
        result = device.updater("-C", "--no-reboot", "--max-wait-time", "-1", "--repo-url", "base:" + server.url)
        assert result.returncode == 0, result
        assert installed(device, *ALL_NAMES) == AFTER
        server.stop()
        assert server.count("/repodata/repomd.xml") == 0
        assert sum(1 for target in server.requests() if target.endswith(".rpm")) == 7

    # Without any cached data a cache-only run cannot work.
    fresh = fleet.device(make_device, "http://127.0.0.1:9/")
    result = fresh.updater("-C")
    assert result.returncode == 1
    assert "ERROR: could not load repository data" in result.lines()


def test_failing_init_hook_ends_the_run_before_the_repository(fleet, server, make_device):
    device = fleet.device(make_device, server.url)
    device.set_hook_action("init", "#!/bin/sh\nexit 4\n")
    result = device.updater("--max-wait-time", "-1")
    assert result.returncode == 1, result
    assert "ERROR: hook failed (exit code 4)" in result.lines()
    assert "updating packages from repository" not in result.stderr
    assert result.lines()[-1] == "INFO: --- EXIT ERROR ---"
    server.stop()
    assert server.requests() == []
    assert device.status() == "READY\n"
    assert device.update_state() is None
    assert installed(device, *ALL_NAMES) == BEFORE
