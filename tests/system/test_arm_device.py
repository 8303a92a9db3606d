"""The ARM builds of the updater (scripts/cross-build.sh arm64 and armhf) in a simulated device.

The device is the one of the other system tests; its /usr/bin/updater is a small wrapper
that runs the cross-built program under qemu user emulation, with the ARM loader and
libraries of the build's sysroot under /opt/arm. The program selects packages for the
architecture it runs as (qemu reports aarch64 or armv7l), so packages built for the other
architectures of the repository are skipped. It installs with the device's rpm, which is
the machine's own x86_64 rpm: the installing run therefore uses noarch packages, and the
architecture-specific ones are checked in check mode.

A cross build is looked for in build-arm64 and build-armhf of the source tree (or in the
folders UPDATER_ARM64_BUILD and UPDATER_ARMHF_BUILD name). A missing one skips its tests,
unless UPDATER_ARM_REQUIRED=1 (as in scripts/test.sh), where it fails them.
"""

import io
import os
import shutil
import struct
import subprocess
import tarfile

import pytest

from update_support import (ADDONS, AFTER, ALL_NAMES, BEFORE, GROUPS, PASS1_FILES, PASS2_FILES, Fleet, Lighttpd, Spec,
                            build_packages, contains_sequence, device_config, install_base, installed,
                            make_repository, pass_report)

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

# Debian architecture: cross triple, qemu program, rpm architecture, ELF machine number.
TARGETS = {
    "arm64": ("aarch64-linux-gnu", "qemu-aarch64-static", "aarch64", 183),
    "armhf": ("arm-linux-gnueabihf", "qemu-arm-static", "armv7hl", 40),
}
RPM_ARCHES = ("aarch64", "armv7hl", "x86_64")

WRAPPER = """#!/bin/sh
# The ARM updater under user emulation; its loader and libraries are under /opt/arm.
exec /usr/bin/%s -L /opt/arm -0 /usr/bin/updater /opt/arm/bin/updater "$@"
"""


class ArmBuild:
    """A cross build folder: the program and the sysroot it was built against."""

    def __init__(self, target):
        self.target = target
        self.triple, self.qemu, self.rpm_arch, self.machine = TARGETS[target]
        variable = "UPDATER_%s_BUILD" % target.upper()
        self.dir = os.environ.get(variable) or os.path.join(SOURCE_DIR, "build-" + target)
        self.program = os.path.join(self.dir, "src/updater/updater")
        self.sysroot = os.path.join(self.dir, "sysroot")

    def present(self):
        return os.path.isfile(self.program) and os.path.isdir(os.path.join(self.sysroot, "usr/lib", self.triple))


@pytest.fixture(params=sorted(TARGETS), scope="module")
def arm(request):
    build = ArmBuild(request.param)
    if not build.present():
        message = "no %s cross build in %s (scripts/cross-build.sh %s)" % (build.target, build.dir, build.target)
        if os.environ.get("UPDATER_ARM_REQUIRED") == "1":
            pytest.fail(message)
        pytest.skip(message)
    if shutil.which(build.qemu) is None:
        pytest.fail("%s is missing (scripts/install-deps.sh installs it)" % build.qemu)
    return build


def _link_tree(source, target):
    """Copies a folder as hard links (the device folder is on the same file system as the
    build folder in practice), or as copies where linking fails."""

    def link(src, dst):
        try:
            os.link(src, dst)
        except OSError:
            shutil.copy2(src, dst)

    shutil.copytree(source, target, symlinks=True, copy_function=link, dirs_exist_ok=True)


def elf_machine(header):
    """The machine number of an ELF file from its first bytes."""
    assert header[:4] == b"\x7fELF", header[:4]
    return struct.unpack("<H", header[18:20])[0]


def make_arm_device(make_device, arm, config):
    """A device whose /usr/bin/updater is the ARM program of the build."""
    device = make_device(config=config)
    runtime = device.path("/opt/arm")
    for folder in ("lib", "usr/lib/" + arm.triple):
        _link_tree(os.path.join(arm.sysroot, folder), os.path.join(runtime, folder))
    os.makedirs(os.path.join(runtime, "bin"))
    shutil.copy2(arm.program, os.path.join(runtime, "bin/updater"))
    device.write("/usr/bin/updater", WRAPPER % arm.qemu, mode=0o755)
    return device


@pytest.fixture(scope="module")
def fleet(tmp_path_factory):
    return Fleet(str(tmp_path_factory.mktemp("fleet")))


@pytest.fixture(scope="module")
def arch_repo(tmp_path_factory):
    """A repository with "native" 2.0 built for each architecture and a noarch "app" 2.0,
    and the noarch base 1.0 of both."""
    folder = str(tmp_path_factory.mktemp("arches"))
    base = build_packages(os.path.join(folder, "base"), [Spec("native", "1.0"), Spec("app", "1.0")])
    new = list(build_packages(os.path.join(folder, "new"), [Spec("app", "2.0")]).values())
    for arch in RPM_ARCHES:
        new += build_packages(os.path.join(folder, arch), [Spec("native", "2.0", arch=arch)]).values()
    return list(base.values()), make_repository(os.path.join(folder, "repo"), new)


def test_the_arm_program_installs_updates_in_two_passes_and_reboots(arm, fleet, make_device):
    with open(arm.program, "rb") as stream:
        assert elf_machine(stream.read(20)) == arm.machine
    with Lighttpd(fleet.repo) as server:
        device = make_arm_device(make_device, arm, device_config(server.url, addons=ADDONS, groups=GROUPS))
        install_base(device, fleet.base.values())
        assert installed(device, *ALL_NAMES) == BEFORE
        # The hook's parent is the updater: qemu running the ARM program.
        device.set_hook_action("init", "#!/bin/sh\nreadlink /proc/$PPID/exe > /run/updater-exe\n")

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
        pass1 = lines.index("INFO: pass 1: all but add-ons")
        pass2 = lines.index("INFO: pass 2: add-ons")
        assert contains_sequence(lines[pass1:pass2], pass_report(3, PASS1_FILES))
        assert contains_sequence(lines[pass2:], pass_report(4, PASS2_FILES))
        assert lines.count("INFO: packages installed OK") == 2
        assert "INFO: rebooting for upgrades to take full effect" in lines

        assert device.hook_calls() == ["init 1.4.0", "download 1.4.0", "update 1.4.0 3", "postupdate 1.4.0 3",
                                       "download 1.4.0", "update 1.4.0 4", "postupdate 1.4.0 4"]
        assert device.read("/run/updater-exe") == "/usr/bin/%s\n" % arm.qemu
        assert installed(device, *ALL_NAMES) == AFTER
        assert device.stub_calls() == [["telinit", "u"], ["shutdown", "-r", "+1", "rebooting after upgrade"]]
        assert device.status() == "REBOOTING\n"
        assert device.update_state() == "COMPLETE\n"
        assert "--- EXIT OK ---" in device.lastlog()
        assert device.run(["ls", "-A", "/var/cache/updater/base/packages"]).stdout == ""
        server.stop()
        assert server.count("/repodata/repomd.xml") == 1
        for name in PASS1_FILES + PASS2_FILES:
            assert server.count("/" + name) == 1, (name, server.requests())

    again = device.updater("--max-wait-time", "-1")
    assert again.returncode == 1
    assert "INFO: machine is rebooting after update, cannot start" in again.lines()


def test_the_arm_program_selects_packages_of_its_own_architecture(arm, arch_repo, make_device):
    base, repo = arch_repo
    with Lighttpd(repo) as server:
        device = make_arm_device(make_device, arm, device_config(server.url, release="app"))
        install_base(device, base)
        result = device.updater("--check-only", "--max-wait-time", "-1")
        assert result.returncode == 0, result
        lines = result.lines()
        assert result.banners() == ["INFO: updater version 1.4.0, product testproduct", "INFO: --- MODE check ---",
                                    "INFO: --- 2 UPDATE(S) ---", "INFO: --- FIRMWARE 2.0-1 ---",
                                    "INFO: --- EXIT OK ---"]
        assert contains_sequence(lines, pass_report(2, ["app-2.0-1.noarch.rpm", "native-2.0-1.%s.rpm" % arm.rpm_arch],
                                                    verb="need to"))
        for arch in RPM_ARCHES:
            skipped = "WARNING: skipping package 'native-2.0-1.%s.rpm' of non-compatible arch '%s'" % (arch, arch)
            assert (skipped in lines) == (arch != arm.rpm_arch), (arch, lines)
        assert installed(device, "native", "app") == {"native": "1.0-1", "app": "1.0-1"}
        assert device.update_state() == "AVAILABLE\n"
        assert device.status() == "READY\n"


def test_build_rpm_packages_the_cross_build_for_its_architecture(arm, tmp_path):
    outdir = str(tmp_path / "rpms")
    proc = subprocess.run([os.path.join(SOURCE_DIR, "scripts/build-rpm.sh"), "--target", arm.rpm_arch,
                           "--prebuilt", arm.dir, "--outdir", outdir],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, check=False)
    assert proc.returncode == 0, proc.stderr
    package = proc.stdout.split()[-1]
    assert os.path.basename(package) == "updater-1.4.0-1.%s.rpm" % arm.rpm_arch

    def query(*args):
        # A private database: the host's rpm database is never opened.
        result = subprocess.run(["rpm", "--dbpath", str(tmp_path / "rpmdb"), "-qp"] + list(args) + [package],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, check=True)
        return result.stdout

    assert query("--qf", "%{ARCH}") == arm.rpm_arch
    # Its requirements on shared libraries are those of the ARM program.
    requires = query("--requires").splitlines()
    libc = [line for line in requires if line.startswith("libc.so.6(GLIBC_")]
    assert libc, requires
    assert all(line.endswith("(64bit)") == (arm.target == "arm64") for line in libc), libc
    # The packaged program is the cross-built one.
    archive = subprocess.run(["rpm2archive", "-"], stdin=open(package, "rb"), stdout=subprocess.PIPE,
                             check=True).stdout
    with tarfile.open(fileobj=io.BytesIO(archive)) as tar:
        program = tar.extractfile("./usr/bin/updater").read()
    assert elf_machine(program) == arm.machine
