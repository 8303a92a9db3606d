"""Power-cut consistency: a real update in a device, cut off (SIGKILL of the updater and
of everything it started) at many points: at each rename, fsync and status write of the
updater, at a sample of its other writes, and while rpm runs. After each cut the device
"reboots" (the boot-time clear-rebooting runs) and the updater starts afresh. It must
never proceed on top of a cut-off installation (status UPDATING on disk: the start ends
with CORRUPTED and rpm is not run) and must otherwise proceed normally (the update ends
installed). The table of cut points and outcomes is printed and written next to the
staged install (power-cut.log).

Killing processes does not drop the page cache the way a real power loss does: what the
test proves is the order of the updater's writes, renames and syncs, not the medium.
"""

import os
import re
import shutil
import signal
import subprocess
import tempfile
import time

import pytest

from device import SOURCE_DIR, Device, stage_dir
from update_support import (PASS1_NAMES, PASS2_NAMES, RECOVERY_BASE, RECOVERY_NEW, Fleet, consistent, copy_into,
                            install_base, installed_versions, kill_everything, process_name, recovery_config,
                            wait_for_file)

MKRPM = os.path.join(SOURCE_DIR, "tests/support/rpm/mkrpm.py")
STATUS_NAMES = {"READY", "DELAYING", "ANALYZING", "DOWNLOADING", "TESTING", "UPDATING", "PKGSDONE",
                "CORRUPTED", "REBOOTING"}
TRACED = "rename,renameat,renameat2,fsync,fdatasync,write"
UPDATE = ["/usr/bin/updater", "--no-sig-check"]


@pytest.fixture(scope="module")
def packages():
    folder = tempfile.mkdtemp(prefix="power-cut-rpms-")
    built = {}
    for version in ("1.0", "2.0"):
        out = os.path.join(folder, version)
        subprocess.run(["/usr/bin/python3", MKRPM, "--name", "alpha", "--version", version, "--release", "1",
                        "--no-auto", "--file", "/usr/share/alpha/data", "--outdir", out],
                       check=True, stdout=subprocess.DEVNULL)
        built[version] = [os.path.join(out, name) for name in os.listdir(out) if name.endswith(".rpm")][0]
    yield built
    shutil.rmtree(folder, ignore_errors=True)


def prepare(make_device, packages):
    device = make_device()
    repo = device.path("/srv/repo")
    os.makedirs(os.path.join(repo, "packages"))
    shutil.copy(packages["2.0"], os.path.join(repo, "packages"))
    subprocess.run(["createrepo_c", "-q", "-s", "sha", repo], check=True, stdout=subprocess.DEVNULL)
    shutil.copy(packages["1.0"], device.path("/srv/alpha-1.0.rpm"))
    device.run(["rpm", "-i", "--nodeps", "/srv/alpha-1.0.rpm"], check=True)
    return device


def installed(device):
    """The installed versions of alpha ("+" between several: a cut-off transaction)."""
    return "+".join(device.run(["rpm", "-q", "alpha"]).stdout.split())


def check_after_cut(device, label):
    """Reboot, start afresh, and judge; returns the row of the table."""
    status = device.status()
    word = status.split()[0] if status and status.split() else None
    assert status is None or word in STATUS_NAMES, (label, status)
    version_at_cut = installed(device)
    device.run(["/usr/lib/updater/clear-rebooting"])
    result = device.run(UPDATE, timeout=300)
    if word == "UPDATING":
        assert result.returncode == 2, (label, result)
        assert "SYSTEM MAY BE CORRUPTED" in result.stderr, (label, result)
        assert device.status() == "CORRUPTED\n", label
        assert installed(device) == version_at_cut, label
        outcome = "refused: CORRUPTED"
    else:
        assert result.returncode == 0, (label, status, result)
        assert installed(device) == "alpha-2.0-1.noarch", (label, result)
        assert "SYSTEM MAY BE CORRUPTED" not in result.stderr, (label, result)
        outcome = "proceeded, update installed"
    leftovers = [name for name in os.listdir(device.path("/var/lib/updater")) if name.startswith("status.")]
    if leftovers:
        outcome += "; %d stale status temp file(s)" % len(leftovers)
    return (label, word or "(none)", version_at_cut, outcome)


def cut_points(device):
    """The traced calls of one uncut run: (syscall, index among its kind, description)."""
    result = device.run(["strace", "-y", "-o", "/run/trace.log", "-e", "trace=" + TRACED] + UPDATE, timeout=300)
    assert result.returncode == 0, result
    counts = {}
    points = []
    writes = []
    for line in device.read("/run/trace.log").splitlines():
        match = re.match(r"(\w+)\((.*)", line)
        if not match or match.group(1) not in TRACED.split(","):
            continue
        name = match.group(1)
        counts[name] = counts.get(name, 0) + 1
        what = match.group(2)[:70]
        if name == "write":
            writes.append((name, counts[name], what))
        else:
            points.append((name, counts[name], what))
    # Every write to the status files, and a sample of the others (log lines).
    status_writes = [w for w in writes if "/var/lib/updater/" in w[2]]
    others = [w for w in writes if "/var/lib/updater/" not in w[2]]
    step = max(1, len(others) // 8)
    return points + status_writes + others[::step]


def test_power_cut_at_every_step(make_device, packages, capsys):
    rows = []
    reference = prepare(make_device, packages)
    points = cut_points(reference)
    reference.cleanup()
    assert any(p[0].startswith("rename") for p in points) and any(p[0] == "fsync" for p in points), points

    try:
        for name, index, what in points:
            device = prepare(make_device, packages)
            label = "%s #%d %s" % (name, index, what)
            device.run(["strace", "-o", "/dev/null", "-e", "trace=" + name,
                        "-e", "inject=%s:signal=SIGKILL:when=%d" % (name, index)] + UPDATE, timeout=300)
            device.kill_all()
            rows.append(check_after_cut(device, label))
            device.cleanup()

        # While rpm runs: the cut hits the updater and rpm together.
        for delay in (0.0, 0.01, 0.02, 0.04, 0.08, 0.15):
            device = prepare(make_device, packages)
            process = device.start(UPDATE)
            seen = False
            deadline = time.monotonic() + 60
            while time.monotonic() < deadline and process.running():
                for pid in device.device_pids():
                    try:
                        with open("/proc/%d/comm" % pid) as stream:
                            if stream.read().strip() == "rpm":
                                seen = True
                    except OSError:
                        pass
                if seen:
                    break
                time.sleep(0.002)
            if seen:
                time.sleep(delay)
            device.kill_all()
            label = "cut %.2f s after rpm started%s" % (delay, "" if seen else " (rpm not caught)")
            row = check_after_cut(device, label)
            if seen and row[2] != "alpha-2.0-1.noarch":
                # rpm was cut off before it finished: the status on disk must say so.
                assert row[1] == "UPDATING", row
            rows.append(row)
            device.cleanup()
    finally:
        lines = ["%-4s %-80s %-11s %-37s %s" % ("#", "cut point", "status", "installed at cut", "fresh start")]
        for number, row in enumerate(rows, 1):
            lines.append("%-4d %-80s %-11s %-37s %s" % ((number,) + row))
        table = "\n".join(lines)
        with capsys.disabled():
            print("\n%d cut points\n%s" % (len(rows), table))
        with open(os.path.join(os.path.dirname(stage_dir()), "power-cut.log"), "w") as stream:
            stream.write(table + "\n")

# -- with recovery on: a three-pass update cut at every step -----------------------------

LOCAL = "file:///srv/updates"
RECOVERY_UPDATE = ["/usr/bin/updater", "--max-wait-time", "-1"]
RECOVERY_TRACED = "rename,fsync"
HOOKS = [("init", 1), ("download", 1), ("update", 1), ("postupdate", 1), ("download", 2), ("update", 2),
         ("postupdate", 2)]
RPM_DELAYS = (0.0, 0.03, 0.08, 0.15, 0.3)


def blocking_hook(nth):
    """A hook action that waits for /run/hook-release on its nth call."""
    return """#!/bin/sh
count=$(cat /run/hook-count.$1 2>/dev/null || echo 0)
count=$((count + 1))
echo $count > /run/hook-count.$1
if [ "$count" = %d ]; then
    touch /run/hook-waiting
    while [ ! -e /run/hook-release ]; do sleep 0.02; done
fi
exit 0
""" % nth


def parent_pid(pid):
    try:
        with open("/proc/%d/stat" % pid) as stream:
            return int(stream.read().rsplit(")", 1)[1].split()[1])
    except (OSError, IndexError, ValueError):
        return None


def rpm_pids(device):
    """The rpm commands the updater runs (not rpm's own children for scriptlets)."""
    return [pid for pid in device.device_pids()
            if process_name(pid) == "rpm" and process_name(parent_pid(pid) or 0) == "updater"]


def wait_for_rpm(device, process, nth):
    """Waits until the nth rpm of the run is running; False when the run ended first."""
    seen = set()
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and process.running():
        for pid in rpm_pids(device):
            seen.add(pid)
            if len(seen) >= nth and pid in seen:
                return True
        time.sleep(0.002)
    return False


class KillTable:
    """The rows of the table and their figures."""

    def __init__(self):
        self.rows = []

    def judge(self, device, label, how):
        """Boots the cut device, starts the updater afresh and judges the start."""
        status = (device.status() or "(none)").split()[0]
        at_cut = installed_versions(device)
        was_consistent = consistent(at_cut)
        # The reboot: /run starts empty but for what the device's scriptlets need.
        for name in os.listdir(device.path("/run")):
            if name.startswith(("hold-", "held-", "release-")):
                os.unlink(device.path("/run/" + name))
        device.run(["/usr/lib/updater/clear-rebooting"])
        result = device.run(RECOVERY_UPDATE, timeout=120)
        after = installed_versions(device)
        refused = result.returncode == 2
        repaired = "WARNING: the interrupted installation was repaired" in result.lines()
        # Never on top of a cut-off installation: a start that goes on leaves a whole
        # installation behind.
        assert refused or consistent(after), (label, at_cut, after, result)
        assert not (refused and was_consistent), ("false alarm", label, at_cut, result)
        if refused:
            assert device.status() == "CORRUPTED\n", label
            assert "ERROR: " in result.stderr, result
        else:
            assert result.returncode == 0, (label, result)
            assert "SYSTEM MAY BE CORRUPTED" not in result.stderr, (label, result)
            # Whatever the start installed, it reboots into it (an update that had not
            # begun to install starts over and reboots too).
            assert device.status() in ("REBOOTING\n", "READY\n"), (label, result)
            if after != at_cut:
                assert device.status() == "REBOOTING\n", (label, result)
        outcome = "refused: CORRUPTED" if refused else ("repaired" if repaired else "proceeded")
        builtin = "refuse" if status in ("UPDATING", "CORRUPTED") else "proceed"
        self.rows.append((label, how, status, "consistent" if was_consistent else "CUT OFF", builtin, outcome))

    def figures(self):
        cut_off = [row for row in self.rows if row[3] == "CUT OFF"]
        return {
            "kill points": len(self.rows),
            "cut-off transactions": len(cut_off),
            "refusals": sum(1 for row in self.rows if row[5].startswith("refused")),
            "false alarms": sum(1 for row in self.rows if row[5].startswith("refused") and row[3] == "consistent"),
            "repairs": sum(1 for row in cut_off if row[5] == "repaired"),
            "built-in refusals": sum(1 for row in self.rows if row[4] == "refuse"),
            "built-in false alarms": sum(1 for row in self.rows if row[4] == "refuse" and row[3] == "consistent"),
        }

    def text(self):
        lines = ["%-4s %-58s %-9s %-10s %-10s %-8s %s" % ("#", "kill point", "killed", "status", "database",
                                                          "built-in", "with recovery")]
        for number, row in enumerate(self.rows, 1):
            lines.append("%-4d %-58s %-9s %-10s %-10s %-8s %s" % ((number,) + row))
        lines.append(", ".join("%s: %d" % item for item in self.figures().items()))
        return "\n".join(lines)


@pytest.fixture(scope="module")
def recovery_fleet(tmp_path_factory):
    return Fleet(str(tmp_path_factory.mktemp("fleet")), base=RECOVERY_BASE, new=RECOVERY_NEW)


def test_kill_points_with_recovery(recovery_fleet, capsys):
    template = Device(config=recovery_config(LOCAL))
    table = KillTable()
    device = None
    try:
        install_base(template, recovery_fleet.base.values())
        copy_into(template, "/srv/updates", recovery_fleet.repo)
        template.write("/run/pre-release", "")

        # Every rename (status and record changes, cached files) and fsync of one uncut run.
        reference = template.clone()
        traced = reference.run(["strace", "-y", "-o", "/run/trace.log", "-e", "trace=" + RECOVERY_TRACED]
                               + RECOVERY_UPDATE, timeout=300)
        assert traced.returncode == 0, traced
        counts = {}
        points = []
        for line in reference.read("/run/trace.log").splitlines():
            match = re.match(r"(\w+)\((.*)", line)
            if match and match.group(1) in RECOVERY_TRACED.split(","):
                counts[match.group(1)] = counts.get(match.group(1), 0) + 1
                points.append((match.group(1), counts[match.group(1)], match.group(2)[:44]))
        reference.cleanup()
        # The status and record changes, the syncs of the files, and the first download of
        # each pass (the syncs of the folder only repeat the state of the rename before).
        downloads = [point for point in points if "/packages/" in point[2]]
        points = [point for point in points if "/var/lib/updater/" in point[2] or point in downloads[:1]
                  or point in downloads[3:4]]

        # One device, reset to the template's state before each cut: only what an update
        # changes is copied back (copying whole devices would cost more than the updates).
        device = template.clone()
        changing = ("var", "run", "opt", "etc/hook.d")

        def cut(label, how, act):
            try:
                act(device)
                kill_everything(device)
                assert device.wait_idle()
                table.judge(device, label, how)
            finally:
                kill_everything(device)
                device._processes = []
                for folder in changing:
                    shutil.rmtree(os.path.join(device.root, folder), ignore_errors=True)
                    if os.path.isdir(os.path.join(template.root, folder)):
                        shutil.copytree(os.path.join(template.root, folder), os.path.join(device.root, folder),
                                        symlinks=True)

        for name, index, what in points:
            # Power cut at the call: the updater and whatever it started die with it.
            def at_call(device, name=name, index=index):
                device.run(["strace", "-o", "/dev/null", "-e", "trace=" + name,
                            "-e", "inject=%s:signal=SIGKILL:when=%d" % (name, index)] + RECOVERY_UPDATE,
                           timeout=300)
            cut("%s #%d %s" % (name, index, what), "all", at_call)

        for hook, nth in HOOKS:
            for alone in (True, False):
                def in_hook(device, hook=hook, nth=nth, alone=alone):
                    device.set_hook_action(hook, blocking_hook(nth))
                    process = device.start(RECOVERY_UPDATE)
                    device.wait_hook_blocked()
                    if alone:
                        process.signal(signal.SIGKILL)
                        process.wait()
                        device.release_hook()
                        device.wait_idle()
                cut("inside the %s hook of pass %d" % (hook, nth), "updater" if alone else "all", in_hook)

        for nth in (1, 2):
            for delay in RPM_DELAYS:
                def in_rpm(device, nth=nth, delay=delay):
                    process = device.start(RECOVERY_UPDATE)
                    if wait_for_rpm(device, process, nth):
                        time.sleep(delay)
                cut("%.2f s after rpm of pass %d started" % (delay, nth), "all", in_rpm)
            # The updater alone: rpm goes on and finishes while the next start waits for it.
            def rpm_alone(device, nth=nth):
                process = device.start(RECOVERY_UPDATE)
                assert wait_for_rpm(device, process, nth)
                process.signal(signal.SIGKILL)
                process.wait()
                device.wait_idle()
            cut("updater killed while rpm of pass %d runs" % nth, "updater", rpm_alone)

        # Right before each package of each transaction: the power cut, and rpm killed under
        # a living updater.
        for name in PASS1_NAMES + PASS2_NAMES[:-1]:
            for how in ("all", "rpm"):
                def before_package(device, name=name, how=how):
                    device.write("/run/hold-" + name, "")
                    process = device.start(RECOVERY_UPDATE)
                    wait_for_file(device, "/run/held-" + name)
                    if how == "rpm":
                        for pid in rpm_pids(device):
                            os.kill(pid, signal.SIGKILL)
                        device.write("/run/release-" + name, "")
                        process.wait()
                cut("in the %%pre scriptlet of %s" % name, how, before_package)

        # In the middle of pass 2's transaction (firmware waits in %pre), the power cut and
        # rpm killed under a living updater.
        def mid_transaction(device):
            os.unlink(device.path("/run/pre-release"))
            device.start(RECOVERY_UPDATE)
            wait_for_file(device, "/run/pre-waiting")
            kill_everything(device)
            device.write("/run/pre-release", "")
        cut("pass 2's rpm waiting in a %pre scriptlet", "all", mid_transaction)

        def rpm_killed(device):
            os.unlink(device.path("/run/pre-release"))
            process = device.start(RECOVERY_UPDATE)
            wait_for_file(device, "/run/pre-waiting")
            for pid in rpm_pids(device):
                os.kill(pid, signal.SIGKILL)
            device.write("/run/pre-release", "")
            process.wait()
        cut("rpm of pass 2 killed in a %pre scriptlet", "rpm", rpm_killed)
    finally:
        if device is not None:
            device.cleanup()
        template.cleanup()
        table_text = table.text()
        with capsys.disabled():
            print("\n" + table_text)
        with open(os.path.join(os.path.dirname(stage_dir()), "kill-points.log"), "w") as stream:
            stream.write(table_text + "\n")

    figures = table.figures()
    assert figures["kill points"] >= 40, figures
    assert figures["false alarms"] == 0, figures
    assert figures["repairs"] * 10 >= figures["cut-off transactions"] * 9, figures
