"""Update runs that fail: unsatisfiable dependencies and a needed newer updater (the retry
with the updater alone), a failing "download" hook, a package that fails its checksum, an
unsigned package on a device that holds a key, rpm failing, fewer updates handled than
found, and an installing rpm killed after an earlier pass asked for a reboot."""

import os
import re
import shutil

import pytest

from update_support import (KILLING_PRE, SHELL, Lighttpd, Spec, build_packages, copy_into, device_config, install_base,
                            installed, make_key, make_repository, sign, wait_for)

NAMES = ("updater", "app", "m", "n", "o", "addon-a", "addon-b")
# The updater packages provide the capability of the program they hold, as the real one does.
BASE = [Spec("updater", "1.0", provides=["updater-running = 1.4.0"]), Spec("app", "1.0"), Spec("m", "1.0"),
        Spec("o", "1.0"), Spec("addon-a", "1.0"), SHELL]
POOL = [
    Spec("updater", "2.0", provides=["updater-running = 1.5.0"]),
    Spec("updater", "2.0", release="2", provides=["updater-running = 1.5.0"], pre="exit 1"),
    Spec("app", "2.0"),
    Spec("app", "2.0", release="2", requires=["missing-cap >= 3"]),
    Spec("app", "2.0", release="3", requires=["updater-running >= 1.5"]),
    Spec("m", "2.0", obsoletes=["o"]),
    Spec("n", "1.0", group="Addons", obsoletes=["o"]),
    Spec("addon-a", "2.0"),
    Spec("addon-a", "2.0", release="2", pre=KILLING_PRE),
    Spec("addon-b", "1.0"),
]
REBOOT_STUBS = [["telinit", "u"], ["shutdown", "-r", "+1", "rebooting after upgrade"]]


class Packages:
    def __init__(self, folder):
        self.folder = folder
        self.base = build_packages(os.path.join(folder, "base"), BASE)
        self.pool = build_packages(os.path.join(folder, "pool"), POOL)

    def repository(self, folder, *labels, paths=()):
        return make_repository(folder, [self.pool[label] for label in labels] + list(paths))

    def device(self, make_device, uri):
        device = make_device(config=device_config(uri, addons=("addon-a", "addon-b"), groups=("Addons",)))
        install_base(device, self.base.values())
        return device


@pytest.fixture(scope="module")
def packages(tmp_path_factory):
    return Packages(str(tmp_path_factory.mktemp("packages")))


def file_device(packages, make_device, tmp_path, *labels):
    """A device whose repository (of these packages) is a file: tree in /srv/updates."""
    repo = packages.repository(str(tmp_path / "repo"), *labels)
    device = packages.device(make_device, "file:///srv/updates")
    copy_into(device, "/srv/updates", repo)
    return device


def retry_lines(lines):
    return lines[lines.index("INFO: --- RETRY UPDATER ONLY ---"):]


# -- the retry with the updater alone ------------------------------------------------


def test_unsatisfiable_dependency_retries_and_installs_a_newer_updater(packages, make_device, tmp_path):
    device = file_device(packages, make_device, tmp_path, "updater-2.0-1", "app-2.0-2")
    result = device.updater()
    assert result.returncode == 0, result
    lines = result.lines()
    start = lines.index("ERROR: unsatisfied non-file dependencies:")
    assert lines[start:start + 5] == [
        "ERROR: unsatisfied non-file dependencies:",
        "ERROR: \tmissing-cap >= 0:3",
        "ERROR: cannot update",
        "ERROR: failed updating, will try updating updater only",
        "INFO: --- RETRY UPDATER ONLY ---",
    ]
    # The check pass failed; the plan's installing passes never ran.
    assert "pass 1" not in result.stderr and "pass 2" not in result.stderr
    retry = retry_lines(lines)
    assert "INFO: --- 1 UPDATE(S) ---" in retry and "INFO: --- UPDATER 2.0-1 ---" in retry
    assert "INFO: starting update (1 packages):" in retry
    assert installed(device, "updater", "app") == {"updater": "2.0-1", "app": "1.0-1"}
    assert device.hook_calls() == ["init 1.4.0", "download 1.4.0", "update 1.4.0 1", "postupdate 1.4.0 1"]
    assert device.stub_calls() == REBOOT_STUBS
    assert device.status() == "REBOOTING\n"
    # The updater alone was installed: the rest is pending.
    assert device.update_state() == "PENDING\n"


def test_unsatisfiable_dependency_without_a_newer_updater_is_an_error(packages, make_device, tmp_path):
    device = file_device(packages, make_device, tmp_path, "app-2.0-2")
    result = device.updater()
    assert result.returncode == 1, result
    retry = retry_lines(result.lines())
    assert retry[1:3] == ["INFO: --- 0 UPDATE(S) ---", "INFO: no updates"]
    assert retry[-1] == "INFO: --- EXIT ERROR ---"
    assert device.hook_calls() == ["init 1.4.0"]
    assert installed(device, "app") == {"app": "1.0-1"}
    assert device.stub_calls() == []
    assert device.status() == "READY\n"
    # Nothing was counted: no update state is recorded.
    assert device.update_state() is None


def test_naming_only_the_current_updater_is_no_error(packages, make_device, tmp_path):
    # Only the retry after a failed pass turns "nothing newer" into an error; a user asking for
    # the updater by name gets the answer any command line with names gets.
    device = file_device(packages, make_device, tmp_path, "app-2.0-1")
    result = device.updater("updater")
    assert result.returncode == 0, result
    lines = result.lines()
    assert "INFO: --- 0 UPDATE(S) ---" in lines and "INFO: no updates" in lines
    assert "RETRY" not in result.stderr and "ERROR" not in result.stderr
    assert lines[-1] == "INFO: --- EXIT OK ---"
    assert installed(device, "updater", "app") == {"updater": "1.0-1", "app": "1.0-1"}
    assert device.status() == "READY\n"
    assert device.update_state() is None


def test_package_needing_a_newer_running_updater_installs_the_updater_first(packages, make_device, tmp_path):
    with Lighttpd(packages.repository(str(tmp_path / "repo"), "updater-2.0-1", "app-2.0-3")) as server:
        device = packages.device(make_device, server.url)
        result = device.updater("--max-wait-time", "-1")
        server.stop()
    assert result.returncode == 0, result
    lines = result.lines()
    failed = lines.index("ERROR: newer updater required to install: updater-running >= 0:1.5")
    assert lines[failed + 1:failed + 3] == ["ERROR: failed updating, will try updating updater only",
                                            "INFO: --- RETRY UPDATER ONLY ---"]
    # Nothing was downloaded before the retry, and the retry fetched the updater only.
    assert [target for target in server.requests() if target.endswith(".rpm")] == ["/updater-2.0-1.noarch.rpm"]
    assert device.hook_calls() == ["init 1.4.0", "download 1.4.0", "update 1.4.0 1", "postupdate 1.4.0 1"]
    assert installed(device, "updater", "app") == {"updater": "2.0-1", "app": "1.0-1"}
    assert device.stub_calls() == REBOOT_STUBS


# -- failures on the way to rpm ------------------------------------------------------


def test_failing_download_hook_stops_before_anything_is_downloaded(packages, make_device, tmp_path):
    with Lighttpd(packages.repository(str(tmp_path / "repo"), "updater-2.0-1", "app-2.0-1")) as server:
        device = packages.device(make_device, server.url)
        device.set_hook_action("download", "#!/bin/sh\necho 'no download today'\nexit 3\n")
        result = device.updater("--max-wait-time", "-1")
        server.stop()
    assert result.returncode == 1, result
    lines = result.lines()
    assert lines.count("ERROR: hook failed (exit code 3)") == 2
    assert "INFO:   no download today" in lines
    assert "INFO: --- RETRY UPDATER ONLY ---" in lines
    assert not any("downloading" in line for line in lines)
    assert not any(target.endswith(".rpm") for target in server.requests())
    assert device.hook_calls() == ["init 1.4.0", "download 1.4.0", "download 1.4.0"]
    assert installed(device, "updater", "app") == {"updater": "1.0-1", "app": "1.0-1"}
    assert device.status() == "READY\n"
    # Both failed passes had selected their packages: they count as handled.
    assert device.update_state() == "PENDING\n"


def test_package_failing_its_checksum_twice_fails_the_pass(packages, make_device, tmp_path):
    repo = packages.repository(str(tmp_path / "repo"), "updater-2.0-1", "app-2.0-1")
    # The file on the server is not the one the index describes (same size, other bytes).
    served = os.path.join(repo, "app-2.0-1.noarch.rpm")
    data = bytearray(open(served, "rb").read())
    data[-100] ^= 0xFF
    with open(served, "wb") as stream:
        stream.write(data)
    with Lighttpd(repo) as server:
        device = packages.device(make_device, server.url)
        result = device.updater("--max-wait-time", "-1")
        server.stop()
    assert result.returncode == 0, result
    lines = result.lines()
    assert ("WARNING: invalid checksum on '/var/cache/updater/base/packages/app-2.0-1.noarch.rpm'; "
            "retrying with bypass of http caches") in lines
    assert "ERROR: invalid checksum on '/var/cache/updater/base/packages/app-2.0-1.noarch.rpm'" in lines
    failed = lines.index("ERROR: failed downloading packages")
    assert lines[failed + 2] == "INFO: --- RETRY UPDATER ONLY ---"
    assert server.count("/app-2.0-1.noarch.rpm") == 2
    # The bad file was not kept, and the retry installed the updater.
    assert not device.exists("/var/cache/updater/base/packages/app-2.0-1.noarch.rpm")
    assert installed(device, "updater", "app") == {"updater": "2.0-1", "app": "1.0-1"}
    assert device.stub_calls() == REBOOT_STUBS


def test_unsigned_package_is_refused_when_the_device_holds_a_key(packages, make_device, tmp_path):
    home, pubkey = make_key(str(tmp_path))
    signed = str(tmp_path / "signed")
    os.makedirs(signed)
    shutil.copy(packages.pool["updater-2.0-1"], signed)
    sign(home, [os.path.join(signed, "updater-2.0-1.noarch.rpm")])
    repo = packages.repository(str(tmp_path / "repo"), "app-2.0-1",
                               paths=[os.path.join(signed, "updater-2.0-1.noarch.rpm")])
    device = packages.device(make_device, "file:///srv/updates")
    copy_into(device, "/srv/updates", repo)
    device.write("/srv/key.asc", open(pubkey).read())
    assert device.run(["rpm", "--import", "/srv/key.asc"]).returncode == 0

    result = device.updater()
    assert result.returncode == 0, result
    lines = result.lines()
    first = lines.index("INFO: verifying package signatures")
    assert "ERROR: no signature on package 'app-2.0-1.noarch.rpm'" in lines[first:]
    assert "INFO: --- RETRY UPDATER ONLY ---" in lines[first:]
    # The retry's signed updater passes the check and is installed; app is not.
    assert lines.count("INFO: verifying package signatures") == 2
    assert device.hook_calls() == ["init 1.4.0", "download 1.4.0", "download 1.4.0", "update 1.4.0 1",
                                   "postupdate 1.4.0 1"]
    assert installed(device, "updater", "app") == {"updater": "2.0-1", "app": "1.0-1"}
    assert device.stub_calls() == REBOOT_STUBS

    # --no-sig-check skips the check: the unsigned app installs.
    device.set_status("READY\n")
    result = device.updater("--no-sig-check")
    assert result.returncode == 0, result
    assert "verifying package signatures" not in result.stderr
    assert installed(device, "updater", "app") == {"updater": "2.0-1", "app": "2.0-1"}


def test_without_a_key_unsigned_packages_install(packages, make_device, tmp_path):
    device = file_device(packages, make_device, tmp_path, "updater-2.0-1", "app-2.0-1")
    result = device.updater()
    assert result.returncode == 0, result
    assert "verifying package signatures" not in result.stderr
    assert installed(device, "updater", "app") == {"updater": "2.0-1", "app": "2.0-1"}


# -- rpm failing ---------------------------------------------------------------------


def test_rpm_failing_leaves_pkgsdone_and_still_runs_postupdate(packages, make_device, tmp_path):
    # The new updater's %pre fails, in pass 1 and again in the retry. The update-state file
    # is a FIFO, so the run stops right after its last pass, where the status is on disk.
    device = file_device(packages, make_device, tmp_path, "updater-2.0-2")
    device.set_hook_action("postupdate", "#!/bin/sh\ncat /var/lib/updater/status >> /run/status-at-postupdate\n"
                                         "rpm -q updater >> /run/status-at-postupdate\n")
    fifo = device.path("/var/lib/updater/update-state")
    os.mkfifo(fifo)
    process = device.start_updater()
    wait_for(lambda: device.status() == "PKGSDONE\n" and len(device.hook_calls()) == 7, what="PKGSDONE")
    # Let the run go on: the test is writer (of the state read back) and reader (of the
    # state recorded) of the FIFO.
    descriptor = os.open(fifo, os.O_RDWR | os.O_NONBLOCK)
    try:
        os.write(descriptor, b"AVAILABLE\n")
        result = process.wait()
        written = os.read(descriptor, 100)
    finally:
        os.close(descriptor)
    assert result.returncode == 1, result
    lines = result.lines()
    assert lines.count("ERROR: package installation FAILED (exit code 1)") == 2
    assert "INFO: --- RETRY UPDATER ONLY ---" in lines
    assert device.hook_calls() == ["init 1.4.0", "download 1.4.0", "update 1.4.0 1", "postupdate 1.4.0 1",
                                   "download 1.4.0", "update 1.4.0 1", "postupdate 1.4.0 1"]
    # The postupdate hook ran after rpm had ended, before PKGSDONE was recorded.
    assert device.read("/run/status-at-postupdate") == "UPDATING\nupdater-1.0-1.noarch\n" * 2
    assert installed(device, "updater") == {"updater": "1.0-1"}
    assert device.status() == "READY\n"
    assert written == b"PENDING\n"


# -- damage ----------------------------------------------------------------------------


# m 2.0 obsoletes o, and so does n (group "Addons", not installed): the check pass counts
# n because it obsoletes the installed o; pass 1 leaves n out (add-on group) and installs
# m, which removes o; pass 2 no longer selects n. 5 found, 2 + 2 handled.
SHORT_PASSES = ("updater-2.0-1", "m-2.0-1", "n-1.0-1", "addon-a-2.0-1", "addon-b-1.0-1")


def test_fewer_updates_handled_than_found_is_fatal(packages, make_device, tmp_path):
    device = file_device(packages, make_device, tmp_path, *SHORT_PASSES)
    result = device.updater()
    assert result.returncode == 2, result
    lines = result.lines()
    assert "INFO: --- 5 UPDATE(S) ---" in lines
    assert device.hook_calls() == ["init 1.4.0", "download 1.4.0", "update 1.4.0 2", "postupdate 1.4.0 2",
                                   "download 1.4.0", "update 1.4.0 2", "postupdate 1.4.0 2"]
    assert "FATAL: failed passing all updates but update process succeeded, SYSTEM MAY BE CORRUPTED" in lines
    assert lines[-1] == "INFO: --- EXIT FATAL ---"
    assert installed(device, *NAMES) == {"updater": "2.0-1", "app": "1.0-1", "m": "2.0-1", "n": None, "o": None,
                                         "addon-a": "2.0-1", "addon-b": "1.0-1"}
    assert device.stub_calls() == []
    assert device.status() == "CORRUPTED\n"
    assert device.update_state() == "PENDING\n"
    for _ in range(2):
        again = device.updater()
        assert again.returncode == 2
        assert "FATAL: system is corrupted cannot update" in again.lines()
        assert device.status() == "CORRUPTED\n"


def test_fewer_updates_tested_than_found_is_no_damage(packages, make_device, tmp_path):
    device = file_device(packages, make_device, tmp_path, *SHORT_PASSES)
    result = device.updater("--test")
    assert result.returncode == 0, result
    assert "SYSTEM MAY BE CORRUPTED" not in result.stderr
    assert device.status() == "READY\n"
    assert installed(device, "m", "o") == {"m": "1.0-1", "o": "1.0-1"}


def test_rpm_killed_after_an_earlier_pass_asked_for_a_reboot(packages, make_device, tmp_path):
    # Pass 1 installs the updater; pass 2's add-on kills the rpm installing it.
    device = file_device(packages, make_device, tmp_path, "updater-2.0-1", "addon-a-2.0-2")
    result = device.updater()
    assert result.returncode == 2, result
    lines = result.lines()
    assert lines.count("INFO: packages installed OK") == 1
    assert "ERROR: child 'rpm' terminated by signal 9" in lines
    assert "FATAL: rpm was interrupted, installation may be incomplete; SYSTEM MAY BE CORRUPTED" in lines
    assert lines[-1] == "INFO: --- EXIT FATAL ---"
    # No reboot, no READY over the damage, no postupdate hook for the killed rpm.
    assert device.stub_calls() == []
    assert device.status() == "CORRUPTED\n"
    assert device.hook_calls()[-2:] == ["download 1.4.0", "update 1.4.0 1"]
    assert installed(device, "updater") == {"updater": "2.0-1"}
    for _ in range(2):
        again = device.updater()
        assert again.returncode == 2
        assert "FATAL: system is corrupted cannot update" in again.lines()


@pytest.mark.skipif(not shutil.which("strace"), reason="needs strace")
@pytest.mark.parametrize("labels", [SHORT_PASSES, ("updater-2.0-1", "addon-a-2.0-2")],
                         ids=["fewer-handled", "rpm-killed"])
def test_corrupted_mark_is_synced_to_disk(packages, make_device, tmp_path, labels):
    # The status file is replaced by a rename; CORRUPTED must be forced to disk after it.
    device = file_device(packages, make_device, tmp_path, *labels)
    result = device.run(["strace", "-o", "/run/trace", "-e", "trace=rename,renameat,renameat2,fsync",
                         "/usr/bin/updater"])
    assert result.returncode == 2, result
    assert device.status() == "CORRUPTED\n"
    trace = device.read("/run/trace").splitlines()
    renames = [index for index, line in enumerate(trace)
               if re.match(r'rename.*"/var/lib/updater/status\.\w+", .*"/var/lib/updater/status"', line)]
    assert renames, trace
    assert any(line.startswith("fsync(") for line in trace[renames[-1] + 1:]), trace[renames[-1]:]


# -- a package file that is another package --------------------------------------------


def point_entry_at(repo, name, path):
    """Rewrites the repository's metadata so that the entry of name keeps its location but
    carries the checksum and size of the package file at path, which then takes the place
    of the entry's file: every transfer check passes, the file is another package."""
    import gzip
    import hashlib
    repomd_path = os.path.join(repo, "repodata", "repomd.xml")
    repomd = open(repomd_path).read()
    primary_href = re.search(r'<data type="primary">.*?<location href="([^"]+)"', repomd, re.S).group(1)
    primary_path = os.path.join(repo, primary_href)
    primary = gzip.decompress(open(primary_path, "rb").read()).decode()
    data = open(path, "rb").read()
    digest = hashlib.sha1(data).hexdigest()

    def repoint(match):
        block = match.group(0)
        location = re.search(r'<location href="([^"]+)"', block).group(1)
        shutil.copy(path, os.path.join(repo, location))
        block = re.sub(r'(<checksum type="sha" pkgid="YES">)[0-9a-f]+', r"\g<1>" + digest, block)
        return re.sub(r'<size package="\d+"', '<size package="%d"' % len(data), block)

    primary = re.sub(r"<package type=\"rpm\">\s*<name>%s</name>.*?</package>" % re.escape(name), repoint, primary,
                     flags=re.S)
    plain = primary.encode()
    packed = gzip.compress(plain, mtime=0)
    with open(primary_path, "wb") as stream:
        stream.write(packed)

    def redo(match):
        block = match.group(0)
        block = re.sub(r'(<checksum type="sha">)[0-9a-f]+', r"\g<1>" + hashlib.sha1(packed).hexdigest(), block)
        block = re.sub(r'(<open-checksum type="sha">)[0-9a-f]+', r"\g<1>" + hashlib.sha1(plain).hexdigest(), block)
        block = re.sub(r"<size>\d+</size>", "<size>%d</size>" % len(packed), block)
        return re.sub(r"<open-size>\d+</open-size>", "<open-size>%d</open-size>" % len(plain), block)

    with open(repomd_path, "w") as stream:
        stream.write(re.sub(r'<data type="primary">.*?</data>', redo, repomd, flags=re.S))


@pytest.mark.parametrize("signed", [False, True], ids=["unsigned", "signed"])
def test_package_file_of_another_package_is_never_installed(packages, make_device, tmp_path, signed):
    """The entry of app-2.0-1 names a file that is really addon-b-1.0-1, with that file's
    checksum and size: it is refused like a bad checksum, signed by the device's key or not."""
    files = [packages.pool["app-2.0-1"], packages.pool["addon-b-1.0-1"]]
    if signed:
        home, pubkey = make_key(str(tmp_path))
        copies = str(tmp_path / "signed")
        os.makedirs(copies)
        files = [shutil.copy(path, copies) for path in files]
        sign(home, files)
    repo = make_repository(str(tmp_path / "repo"), files[:1])
    point_entry_at(repo, "app", files[1])
    with Lighttpd(repo) as server:
        device = packages.device(make_device, server.url)
        if signed:
            device.write("/srv/key.asc", open(pubkey).read())
            assert device.run(["rpm", "--import", "/srv/key.asc"]).returncode == 0
        result = device.updater("--max-wait-time", "-1")
        server.stop()
    lines = result.lines()
    local = "/var/cache/updater/base/packages/app-2.0-1.noarch.rpm"
    found = "'%s' holds package addon-b-0:1.0-1.noarch instead of app-0:2.0-1.noarch" % local
    assert "WARNING: %s; retrying with bypass of http caches" % found in lines, result.stderr
    assert "ERROR: %s" % found in lines, result
    assert "ERROR: failed downloading packages" in lines
    assert "verifying package signatures" not in result.stderr
    assert server.count("/app-2.0-1.noarch.rpm") == 2
    assert installed(device, "app", "addon-b") == {"app": "1.0-1", "addon-b": None}
