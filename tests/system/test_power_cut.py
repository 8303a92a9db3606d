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

from device import SOURCE_DIR, stage_dir

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


def kill_all(device):
    for _ in range(50):
        pids = device.device_pids()
        if not pids:
            return
        for pid in pids:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        time.sleep(0.05)


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
            kill_all(device)
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
            kill_all(device)
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
