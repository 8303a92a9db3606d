"""Termination signals and signal dispositions of the updater in a device."""

import os
import signal
import time

SIG_BITS = {"HUP": 1, "INT": 2, "QUIT": 3, "PIPE": 13, "TERM": 15}


def signal_masks(status_text):
    """SigIgn and SigCgt of a /proc/PID/status text as sets of signal numbers."""
    masks = {}
    for line in status_text.splitlines():
        key, _, value = line.partition(":")
        if key in ("SigIgn", "SigCgt"):
            bits = int(value.strip(), 16)
            masks[key] = {n for n in range(1, 65) if bits & (1 << (n - 1))}
    return masks


def test_sigterm_ends_the_wait_for_the_lock(device):
    device.block_hook("init")
    holder = device.start_updater()
    device.wait_hook_blocked()

    waiter = device.start_updater()
    waiter.wait_for_output("will timeout in 120 secs")
    started = time.monotonic()
    waiter.signal(signal.SIGTERM)
    result = waiter.wait(timeout=10)
    assert time.monotonic() - started < 5
    assert result.signal == signal.SIGTERM, result
    assert "failed acquiring lock file" not in result.stderr
    assert "INFO: --- EXIT ERROR ---" in result.stderr
    assert result.stderr.endswith("ERROR: terminated by signal #15: Terminated\n")

    # The holder was not disturbed.
    assert holder.running()
    device.release_hook()
    assert holder.wait().returncode == 0


def test_sigterm_during_a_hook_is_recorded_and_acted_on_at_exit(device):
    device.block_hook("init")
    process = device.start_updater()
    device.wait_hook_blocked()
    process.signal(signal.SIGTERM)
    time.sleep(0.3)
    # The updater only noted the signal and goes on waiting for its child.
    assert process.running()
    device.release_hook(1)
    result = process.wait()
    # The hook ran to its end, its output reached the log.
    assert "hook output line" in result.stderr
    assert "ERROR: hook failed (exit code 1)" in result.stderr
    lines = result.stderr.splitlines()
    assert lines[-2:] == ["INFO: --- EXIT ERROR ---", "ERROR: terminated by signal #15: Terminated"]
    assert result.signal == signal.SIGTERM
    assert device.status() == "READY\n"


def test_signals_caught_during_the_init_hook_stop_the_run_before_the_repository(device):
    # The hook itself succeeds; the run stops at its signal check before the first pass.
    # (A caught signal is not raised after a run that ends with 0: see the installation
    # tests, where the device reboots after a SIGTERM during rpm.)
    device.block_hook("init")
    process = device.start_updater()
    device.wait_hook_blocked()
    process.signal(signal.SIGTERM)
    process.signal(signal.SIGINT)
    time.sleep(0.3)
    device.release_hook(0)
    result = process.wait()
    assert result.signal == signal.SIGTERM, result
    assert "UPDATE(S)" not in result.stderr
    assert not os.path.exists(device.cache_dir("base/repomd.xml"))
    assert result.stderr.endswith("INFO: --- EXIT ERROR ---\nERROR: terminated by signal #15: Terminated\n")
    assert device.status() == "READY\n"


def test_sighup_is_caught_like_the_other_termination_signals(device):
    device.block_hook("init")
    process = device.start_updater()
    device.wait_hook_blocked()
    process.signal(signal.SIGHUP)
    time.sleep(0.3)
    assert process.running()
    device.release_hook(1)
    result = process.wait()
    assert result.stderr.endswith("ERROR: terminated by signal #1: Hangup\n")
    assert result.signal == signal.SIGHUP


def test_signal_dispositions_in_the_updater_and_its_children(device):
    device.set_hook_action("init", """#!/bin/sh
cat /proc/$PPID/status > /run/updater-status
exec cat /proc/self/status > /run/child-status
""")
    assert device.updater().returncode == 0
    updater = signal_masks(device.read("/run/updater-status"))
    child = signal_masks(device.read("/run/child-status"))
    for name in ("HUP", "INT", "QUIT", "TERM"):
        assert SIG_BITS[name] in updater["SigCgt"], name
        assert SIG_BITS[name] not in child["SigIgn"] | child["SigCgt"], name
    assert SIG_BITS["PIPE"] in updater["SigIgn"]
    assert SIG_BITS["PIPE"] not in child["SigIgn"]


def test_detached_child_records_sigterm_and_dies_of_it(device):
    device.block_hook("init")
    result = device.updater("--background")
    assert result.returncode == 0
    device.wait_hook_blocked()
    child = int(result.stderr.split("--- BACKGROUND PID ")[1].split()[0])
    os.kill(child, signal.SIGTERM)
    time.sleep(0.3)
    assert child in device.device_pids()
    device.release_hook(1)
    assert device.wait_idle()
    assert device.lastlog().splitlines()[-2:] == [
        "INFO: --- EXIT ERROR ---", "ERROR: terminated by signal #15: Terminated"]
