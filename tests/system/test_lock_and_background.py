"""The cache lock, background mode and the log files of the updater in a device."""

import os
import re
import subprocess
import time

import pytest


# -- the cache lock -----------------------------------------------------------------


def test_lock_holds_pid_and_is_not_inherited(device):
    device.set_hook_action("init", "#!/bin/sh\nls -l /proc/$PPID/fd > /run/updater-fds\n"
                                   "ls -l /proc/self/fd > /run/hook-fds\n")
    process = device.start_updater()
    result = process.wait()
    assert result.returncode == 0
    assert device.read("/run/lock/updater") == "%10i\n" % process.pid
    # The updater has the lock file open; its child does not.
    assert "/run/lock/updater" in device.read("/run/updater-fds")
    assert "/run/lock/updater" not in device.read("/run/hook-fds")


def test_lock_contention_between_two_instances(device):
    device.block_hook("init")
    first = device.start_updater()
    device.wait_hook_blocked()

    started = time.monotonic()
    second = device.updater("--lock-timeout", "2")
    elapsed = time.monotonic() - started
    assert second.returncode == 1
    assert second.stderr.count("INFO: cache lock held by another instance, will timeout in 2 secs") == 1
    assert "ERROR: failed acquiring lock file '/var/lock/updater' (Resource temporarily unavailable)" \
        in second.stderr
    assert "--- EXIT ERROR ---" in second.stderr
    assert "version 1.4.0" not in second.stderr
    assert 1.5 <= elapsed < 10

    # Negative timeout: one attempt, no waiting.
    started = time.monotonic()
    third = device.updater("--lock-timeout", "-1")
    assert third.returncode == 1
    assert "will timeout" not in third.stderr
    assert "ERROR: failed acquiring lock file '/var/lock/updater'" in third.stderr
    assert time.monotonic() - started < 5

    # The holder's PID stays in the file; the loser's last log is not written.
    assert device.read("/run/lock/updater") == "%10i\n" % first.pid
    assert "--- MODE update ---" in device.lastlog()

    # A waiting instance gets the lock when the holder ends.
    fourth = device.start_updater("--lock-timeout", "30")
    fourth.wait_for_output("will timeout in 30 secs")
    device.release_hook()
    assert first.wait().returncode == 0
    result = fourth.wait()
    assert result.returncode == 0, result
    assert "INFO: other instance terminated, got cache lock" in result.stderr
    assert device.read("/run/lock/updater") == "%10i\n" % fourth.pid


def test_lock_timeout_zero_keeps_the_default(device):
    device.block_hook("init")
    first = device.start_updater()
    device.wait_hook_blocked()
    second = device.start_updater("--lock-timeout", "0")
    second.wait_for_output("INFO: cache lock held by another instance, will timeout in 120 secs")
    device.release_hook()
    assert first.wait().returncode == 0
    assert second.wait().returncode == 0


@pytest.mark.parametrize("target", ["existing", "dangling"])
def test_symlink_at_lock_path_is_refused(device, target):
    victim = "/etc/victim"
    if target == "existing":
        device.write(victim, "precious content\n")
    os.symlink(victim, device.path("/run/lock/updater"))
    result = device.updater()
    assert result.returncode == 1
    assert "ERROR: failed creating lock file '/var/lock/updater' (Too many levels of symbolic links)." \
        in result.stderr
    assert "--- EXIT ERROR ---" in result.stderr
    if target == "existing":
        assert device.read(victim) == "precious content\n"
    else:
        assert not device.exists(victim)
    assert os.path.islink(device.path("/run/lock/updater"))
    assert device.lastlog() is None


# -- background mode ----------------------------------------------------------------


def test_background_parent_exits_and_child_runs_detached(device):
    device.set_hook_action("init", """#!/bin/sh
cat /proc/$PPID/stat > /run/updater-stat
ls -l /proc/$PPID/fd/0 /proc/$PPID/fd/1 /proc/$PPID/fd/2 > /run/updater-streams
""")
    device.write("/var/log/bg.log", "earlier content\n")
    result = device.updater("--background", "--log-to", "/var/log/bg.log")
    assert result.returncode == 0
    lines = result.banners()
    assert lines[0] == "INFO: --- MODE update ---"
    match = re.fullmatch(r"INFO: --- BACKGROUND PID (\d+) ---", lines[1])
    assert match, lines
    assert lines[2:] == ["INFO: --- EXIT OK ---"]
    assert "INFO: updater switched to background" in result.stderr
    child = int(match.group(1))

    assert device.wait_idle()
    lastlog = device.lastlog()
    assert lastlog.startswith("INFO: updater version 1.4.0, product testproduct\nINFO: --- MODE update ---\n")
    assert lastlog.endswith("INFO: --- EXIT OK ---\n")
    assert device.status() == "READY\n"

    # The child leads its own session, its streams are /dev/null, and it holds the lock.
    stat = device.read("/run/updater-stat")
    fields = stat[stat.rindex(")") + 2:].split()
    assert int(fields[3]) == child  # session ID
    streams = device.read("/run/updater-streams").splitlines()
    assert len(streams) == 3 and all(line.endswith("-> /dev/null") for line in streams)
    assert device.read("/run/lock/updater") == "%10i\n" % child

    # The --log-to file was appended to by both: the parent until it left (its exit
    # banner is not there), the child to its end.
    log = device.read("/var/log/bg.log")
    assert log.startswith("earlier content\n")
    assert log.count("INFO: updater switched to background") == 1
    assert log.count("INFO: updater version 1.4.0") == 1
    assert log.count("--- EXIT OK ---") == 1
    assert log.endswith("INFO: --- EXIT OK ---\n")


def test_background_checks_status_before_forking(device):
    device.set_status("CORRUPTED\n")
    result = device.updater("--background")
    assert result.returncode == 2
    assert "FATAL: system is corrupted cannot update" in result.stderr
    assert "ERROR: cannot recover status, aborting" in result.stderr
    assert "BACKGROUND PID" not in result.stderr
    assert "--- EXIT FATAL ---" in result.stderr
    assert device.wait_idle()
    assert device.hook_calls() == []
    assert device.lastlog() is None
    assert device.status() == "CORRUPTED\n"


def test_quiet_background_parent_says_nothing(device):
    result = device.updater("--background", "--quiet")
    assert result.returncode == 0
    assert result.stderr == ""
    assert device.wait_idle()
    assert device.status() == "READY\n"


# -- log files ----------------------------------------------------------------------


def test_log_to_appends_and_records_every_level_that_passes(device):
    device.write("/var/log/extra.log", "first line\n")
    assert device.updater("--log-to", "/var/log/extra.log").returncode == 0
    assert device.updater("--log-to", "/var/log/extra.log", "--log-level", "debug").returncode == 0
    log = device.read("/var/log/extra.log")
    assert log.startswith("first line\n")
    assert log.count("INFO: --- EXIT OK ---") == 2
    # Only the second run passed DEBUG messages.
    assert log.count("DEBUG: initialized OK") == 1


def test_lastlog_is_rewritten_at_each_locked_run(device):
    device.write("/var/log/updater/lastlog", "stale content of an old run\n" * 100)
    assert device.updater("--log-level", "debug").returncode == 0
    first = device.lastlog()
    assert "stale" not in first
    assert first.startswith("INFO: updater version 1.4.0")
    assert "DEBUG" not in first
    assert device.updater("-n").returncode == 0
    second = device.lastlog()
    assert second.count("--- EXIT OK ---") == 1
    assert "--- MODE check ---" in second


FAIL_FIRST_FORK = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <unistd.h>
static int calls;
pid_t fork(void)
{
    if (calls++ == 0) { errno = EAGAIN; return -1; }
    pid_t (*real)(void) = (pid_t (*)(void))dlsym(RTLD_NEXT, "fork");
    return real();
}
"""


def test_failed_fork_continues_in_the_foreground(device, tmp_path):
    source = tmp_path / "failfork.c"
    source.write_text(FAIL_FIRST_FORK)
    library = device.path("/usr/lib/failfork.so")
    os.makedirs(os.path.dirname(library), exist_ok=True)
    subprocess.run(["gcc", "-shared", "-fPIC", "-o", library, str(source), "-ldl"], check=True)
    result = device.updater("--background", env={"LD_PRELOAD": "/usr/lib/failfork.so"})
    assert result.returncode == 0, result
    assert "ERROR: failed forking to background (Resource temporarily unavailable)" in result.stderr
    assert "BACKGROUND PID" not in result.stderr
    assert result.banners() == ["INFO: updater version 1.4.0, product testproduct", "INFO: --- MODE update ---",
                                "INFO: --- 0 UPDATE(S) ---", "INFO: --- EXIT OK ---"]
    assert device.hook_calls() == ["init 1.4.0"]
    assert device.status() == "READY\n"
