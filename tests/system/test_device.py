"""The simulated device itself: what a command inside sees, and that the host stays apart."""

import os
import signal

from device import EEPROM_FILES


def test_layout_seen_from_inside(device):
    result = device.run(["sh", "-c", """
readlink /var/lock; readlink /var/run
rpm --eval '%_dbpath'
test -x /usr/bin/updater && echo updater-installed
test -f /etc/updater.conf && echo config-present
stat -c %a /run/lock
"""])
    assert result.returncode == 0, result
    assert result.stdout.splitlines() == ["/run/lock", "/run", "/var/lib/rpm", "updater-installed",
                                          "config-present", "1777"]


def test_host_names_resolve_inside(device):
    device.add_host("updates.example.test", "192.0.2.7")
    result = device.run(["getent", "hosts", "updates.example.test"])
    assert result.stdout.split() == ["192.0.2.7", "updates.example.test"]


def test_cpuinfo_and_eeprom_files_are_the_devices(device):
    device.set_cpuinfo("Hardware\t: Kelmir\nRevision\t: 0300\nSerial\t\t: feedface\n")
    assert device.run(["cat", "/proc/cpuinfo"]).stdout == "Hardware\t: Kelmir\nRevision\t: 0300\nSerial\t\t: feedface\n"
    device.write(EEPROM_FILES[1], b"\x01" * 21)
    result = device.run(["od", "-An", "-tx1", "-N21", EEPROM_FILES[1]])
    assert result.stdout.split() == ["01"] * 21
    # Other /proc files are the device's own fresh proc.
    assert device.run(["test", "-r", "/proc/self/status"]).returncode == 0


def test_writes_stay_in_the_device(make_device):
    first, second = make_device(), make_device()
    marker = "/usr/lib/updater-device-test-%d" % os.getpid()
    result = first.run(["sh", "-c", "echo one > %s; echo etc > /etc/device-test; echo lib > /var/lib/x" % marker])
    assert result.returncode == 0, result
    assert not os.path.exists(marker)
    assert not os.path.exists("/etc/device-test")
    assert first.read(marker) == "one\n"
    assert second.run(["test", "-e", marker]).returncode == 1
    # A file of the host's /usr removed in the device stays on the host.
    first.remove("/usr/bin/tac")
    assert first.run(["/bin/sh", "-c", "test -e /usr/bin/tac"]).returncode == 1
    assert os.path.exists("/usr/bin/tac")
    assert second.run(["/bin/sh", "-c", "test -e /usr/bin/tac"]).returncode == 0


def test_stubs_record_their_arguments(device):
    device.set_stub_exit("telinit", 3)
    assert device.run(["telinit", "u"]).returncode == 3
    assert device.run(["shutdown", "-r", "+1", "rebooting after upgrade"]).returncode == 0
    assert device.stub_calls() == [["telinit", "u"], ["shutdown", "-r", "+1", "rebooting after upgrade"]]


def test_background_processes_are_signalled_and_cleaned_up(device):
    process = device.start(["sh", "-c", "sleep 30 & echo started; wait"])
    process.wait_for_output("started")
    assert len(device.device_pids()) >= 2
    process.signal(signal.SIGTERM)
    result = process.wait(timeout=10)
    assert result.signal == signal.SIGTERM
    # The orphaned sleep is still there until cleanup.
    leftovers = device.device_pids()
    assert leftovers
    device.cleanup()
    assert not any(os.path.exists("/proc/%d" % pid) and pid in device.device_pids() for pid in leftovers)
    assert not os.path.exists(device.dir)
