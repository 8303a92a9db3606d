"""The demo's device: a file: repository with one package newer than the installed one,
then the updater's help and a check-mode run, with the files a device maker looks at."""

import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "system"))

from device import Device, DEFAULT_CONFIG  # noqa: E402

SPEC = """Name: demo-tool
Version: %s
Release: 1
Summary: Demo package
License: MIT
BuildArch: noarch
%%description
A package without files for the demo.
%%files
"""


def build_package(topdir, version):
    spec = os.path.join(topdir, "demo-tool-%s.spec" % version)
    with open(spec, "w") as stream:
        stream.write(SPEC % version)
    subprocess.run(["rpmbuild", "-bb", "--quiet", "--define", "_topdir " + topdir,
                    "--define", "_dbpath " + os.path.join(topdir, "rpmdb"), spec],
                   check=True, stdout=subprocess.DEVNULL)
    return os.path.join(topdir, "RPMS", "noarch", "demo-tool-%s-1.noarch.rpm" % version)


def show(title, text):
    print("\n=== %s ===" % title)
    print(text.rstrip() if text else "(none)")


def main():
    with tempfile.TemporaryDirectory(prefix="updater-demo-") as work, Device() as device:
        old = build_package(work, "1.0")
        new = build_package(work, "1.1")

        # The device has version 1.0 installed; its repository offers 1.1.
        device.write("/tmp/demo-tool-1.0.rpm", open(old, "rb").read())
        device.run(["rpm", "--initdb"], check=True)
        device.run(["rpm", "-i", "--nosignature", "/tmp/demo-tool-1.0.rpm"], check=True)
        repo = device.path("/srv/repo")
        os.makedirs(repo, exist_ok=True)
        device.write("/srv/repo/demo-tool-1.1-1.noarch.rpm", open(new, "rb").read())
        subprocess.run(["createrepo_c", "-q", "-s", "sha", repo], check=True)

        installed = device.run(["rpm", "-qa", "--qf", "%{NAME}-%{VERSION}-%{RELEASE}\\n"]).stdout
        show("installed packages on the device", installed)

        result = device.updater("--help")
        show("updater --help (exit status %d)" % result.returncode, result.stdout)

        device.set_config(DEFAULT_CONFIG)
        result = device.updater("--check-only", "--max-wait-time", "-1")
        show("updater --check-only (exit status %d)" % result.returncode, result.stderr)
        show("/var/lib/updater/status", device.status())
        show("/var/lib/updater/update-state", device.update_state())
        show("/var/log/updater/lastlog", device.lastlog())
    return 0


if __name__ == "__main__":
    sys.exit(main())
