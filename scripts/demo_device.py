"""The demo: a simulated device with an installed base, a repository with newer versions
served by lighttpd on 127.0.0.1, and two updater runs (check, then update), with everything
a device maker would look at afterwards.

The device is a throwaway root folder run in a private mount namespace (tests/system/
device.py): nothing on this machine changes. Its telinit and shutdown are stubs that only
record how they were called, so the reboot is shown instead of done.
"""

import os
import shlex
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "system"))

from device import Device  # noqa: E402
from update_support import (SHELL, Lighttpd, Spec, build_packages, device_config, install_base,  # noqa: E402
                            make_repository)

# What the device has installed: the updater's own package, the firmware release package,
# an application, an add-on (the web interface) and the shell rpm scriptlets need.
INSTALLED = [
    Spec("updater", "1.4.0", provides=["updater-running = 1.4.0"]),
    Spec("firmware", "3.0"),
    Spec("app", "1.0"),
    Spec("webui", "1.0"),
    SHELL,
]
# What the repository offers: a newer build of each, and libjson, which the new app needs
# and which nothing installed provides.
REPOSITORY = [
    Spec("updater", "1.4.0", release="2", provides=["updater-running = 1.4.0"]),
    Spec("firmware", "3.1"),
    Spec("app", "2.0", requires=["libjson >= 1.2"]),
    Spec("libjson", "1.2"),
    Spec("webui", "1.1"),
]
NAMES = ["updater", "firmware", "app", "libjson", "webui"]


def heading(text):
    print("\n" + "=" * 78)
    print(text)
    print("=" * 78)


def show(title, text):
    print("\n--- %s ---" % title)
    print(text.rstrip() if text and text.strip() else "(nothing)")


def versions(device):
    result = device.run(["rpm", "-q", "--qf", "%{NAME} %{VERSION}-%{RELEASE}\\n"] + NAMES)
    found = {name: "-" for name in NAMES}
    for line in result.stdout.splitlines():
        name, _, version = line.partition(" ")
        if name in found:
            found[name] = version
    return found


def run_updater(device, *args):
    command = "updater " + " ".join(args)
    heading("$ " + command)
    result = device.updater(*args)
    show("log (standard error; the same lines are in /var/log/updater/lastlog)", result.stderr)
    show("exit status", "%d%s" % (result.returncode, {0: " (OK)", 1: " (ERROR)", 2: " (FATAL)"}.get(
        result.returncode, "")))
    show("/var/lib/updater/status", device.status())
    show("/var/lib/updater/update-state", device.update_state())
    return result


def main():
    with tempfile.TemporaryDirectory(prefix="updater-demo-") as work:
        print("Building the demo packages (noarch rpms with rpmbuild) ...")
        installed = build_packages(os.path.join(work, "installed"), INSTALLED)
        offered = build_packages(os.path.join(work, "offered"), REPOSITORY)
        repo = make_repository(os.path.join(work, "repo"), offered.values())

        with Lighttpd(repo) as server, Device(config=device_config(server.url, release="firmware",
                                                                   addons=("webui",))) as device:
            install_base(device, installed.values())
            before = versions(device)

            heading("The simulated device")
            show("installed packages (rpm database /var/lib/rpm inside the device)",
                 "\n".join("%-10s %s" % (name, before[name]) for name in NAMES))
            show("/etc/updater.conf: the repository, the release package, the add-ons",
                 device.read("/etc/updater.conf"))
            show("the repository, served by lighttpd at %s" % server.url,
                 "\n".join(sorted(os.path.basename(path) for path in offered.values())) +
                 "\nrepodata/  (made by createrepo_c -s sha)")
            print("\nThe updater waits a random time (up to 600 s) before it contacts a remote")
            print("repository; --max-wait-time -1 turns that off for the demo.")

            run_updater(device, "--check-only", "--max-wait-time", "-1")
            print("\nCheck mode only reports: nothing was downloaded or installed, and the update")
            print("state says that updates are AVAILABLE.")

            run_updater(device, "--max-wait-time", "-1")
            print("\nPass 0 counted the updates; pass 1 installed everything but the add-ons and")
            print("the firmware release package (libjson was pulled in for app); pass 2 installed")
            print("the add-on and the firmware. Then the device was told to reboot. (The two")
            print("\"rpm: ... Alien\" lines are a notice of Debian's rpm on this build machine.)")

            after = versions(device)
            heading("What changed on the device")
            show("installed versions, before -> after",
                 "\n".join("%-10s %-10s -> %s" % (name, before[name], after[name]) for name in NAMES))
            show("hook program calls, both runs (/usr/lib/updater/hook: name, version, package count)",
                 "\n".join(device.hook_calls()))
            show("the reboot the device would have done (the telinit and shutdown commands)",
                 "\n".join(shlex.join(call) for call in device.stub_calls()))
            server.stop()
            show("requests the HTTP server saw (the index is always fetched fresh; the package list "
                 "is reused from the cache while its checksum matches)",
                 "\n".join("GET " + target for target in server.requests()))
            print("\nThe status REBOOTING keeps any further run from starting until the device has")
            print("restarted (its boot sequence clears the status file).")
    return 0


if __name__ == "__main__":
    sys.exit(main())
