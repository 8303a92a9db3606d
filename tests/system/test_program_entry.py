"""The updater's start and exit as a device sees them: options, modes, the "no run"
file, the cache lock, background mode, log files and exit statuses."""

import os
import shutil

import pytest

from device import DEFAULT_CONFIG
from help_options import OPTION_ROWS

NO_RUN = "/var/run/updater.norun"
UPDATE_STATE = "/var/lib/updater/update-state"
# The default device's repository is empty: every run finds nothing to do. An unknown
# word in the update-state file gives a warning at the end of a run that records it.
UNKNOWN_STATE_WARNING = "WARNING: unknown update state 'junk'"

# Option, label and help text of every option, in table order, with popt's heading of
# its own help table.
HELP_ROWS = OPTION_ROWS[:-2] + [("Help options:", "")] + OPTION_ROWS[-2:]


def normalized(text):
    return " ".join(text.split())


# -- help and options -------------------------------------------------------------


def test_help_lists_every_option_label_and_text_in_table_order(device):
    result = device.updater("--help")
    assert result.returncode == 0
    text = normalized(result.stdout)
    assert text.startswith("Usage: updater [OPTION...]")
    position = 0
    for option, help_text in HELP_ROWS:
        expected = normalized(option + " " + help_text)
        found = text.find(expected, position)
        assert found >= 0, "missing or out of order: %r" % expected
        position = found + len(expected)


def test_usage_and_bad_options_are_answered_by_popt(device):
    usage = device.updater("--usage")
    assert usage.returncode == 0
    assert "[-q|--quiet]" in normalized(usage.stdout)

    for args, needle in ((["--bogus"], "--bogus"), (["--lock-timeout", "soon"], "soon: invalid numeric value"),
                         (["--log-level"], "--log-level")):
        result = device.updater(*args)
        assert result.returncode == 1, args
        assert needle in result.stderr
        # Nothing of the run happened: no lock, no last log, no status.
        assert device.lastlog() is None
        assert device.status() is None


@pytest.mark.parametrize("args, mode", [
    ([], "update"),
    (["--check-only"], "check"),
    (["-n"], "check"),
    (["--test"], "test"),
    (["-N"], "test"),
    (["--check-only", "--test"], "check"),
    (["-N", "-n", "--no-reboot", "--no-sig-check", "-C", "--no-cache-clean", "--check-db-headers"], "check"),
])
def test_mode_banner_and_exit(device, args, mode):
    if "-C" in args:
        # Running from the cache needs the repository data of an earlier run.
        assert device.updater("-n").returncode == 0
        device.remove("/var/log/hook.calls")
    result = device.updater(*args)
    assert result.returncode == 0, result
    assert result.banners() == [
        "INFO: updater version 1.4.0, product testproduct",
        "INFO: --- MODE %s ---" % mode,
        "INFO: --- 0 UPDATE(S) ---",
        "INFO: --- EXIT OK ---",
    ]
    assert device.status() == "READY\n"
    assert device.update_state() == "COMPLETE\n"
    assert device.hook_calls() == ["init 1.4.0"]


def test_quiet_suppresses_banners_but_not_warnings(device):
    device.write(UPDATE_STATE, "junk\n")
    result = device.updater("-q")
    assert result.returncode == 0
    assert result.banners() == []
    assert "updating packages from repository" not in result.stderr
    assert "no updates" not in result.stderr
    assert UNKNOWN_STATE_WARNING in result.stderr
    assert "INFO: running init hook" in result.stderr


def test_package_names_run_one_pass_and_leave_the_update_state(device):
    device.write(UPDATE_STATE, "junk\n")
    result = device.updater("zeta", "alpha", "zeta", "mid")
    assert result.returncode == 0, result
    assert result.stderr.count("INFO: --- 0 UPDATE(S) ---") == 1
    assert "pass 1" not in result.stderr
    assert device.update_state() == "junk\n"
    assert UNKNOWN_STATE_WARNING not in result.stderr


def test_repository_options(device):
    device.set_config(DEFAULT_CONFIG.replace("</updater>", """
  <repository id="other" enabled="false">
    <name>Other</name>
    <location href="file:///srv/other"/>
  </repository>
</updater>"""))
    for folder in ("/srv/other", "/media/stick"):
        shutil.copytree(device.path("/srv/repo"), device.path(folder), dirs_exist_ok=True)
    result = device.updater("--repo", "other")
    assert result.returncode == 0, result
    assert "INFO: updating packages from repository 'Other' (URI 'file:///srv/other')" in result.stderr
    assert os.path.isfile(device.cache_dir("other/repomd.xml"))

    result = device.updater("--repo-url", "base:file:///media/stick")
    assert result.returncode == 0
    assert "INFO: updating packages from repository 'Test repository' (URI 'file:///media/stick')" in result.stderr

    for args, message in (
            (["--repo", "missing"], "ERROR: no repository with ID 'missing'"),
            (["--repo-url", "base"], "ERROR: missing ':' in --repo-url option"),
            (["--repo-url", ":file:///x"], "ERROR: missing ID in --repo-url option")):
        result = device.updater(*args)
        assert result.returncode == 1, args
        assert message in result.stderr
        # A start-up failure returns at once: no exit banner.
        assert "--- EXIT" not in result.stderr


def test_configuration_file_option_and_failures(device):
    device.write("/etc/other.conf", DEFAULT_CONFIG.replace("testproduct", "otherproduct"))
    result = device.updater("--conf-file", "/etc/other.conf")
    assert result.returncode == 0
    assert "INFO: updater version 1.4.0, product otherproduct" in result.stderr

    result = device.updater("--conf-file", "/etc/missing.conf")
    assert result.returncode == 1
    assert "ERROR: failed parsing configuration file '/etc/missing.conf'" in result.stderr
    assert "--- EXIT" not in result.stderr
    assert "otherproduct" in device.lastlog()


def test_log_outputs_from_configuration_and_options(device):
    # No log output configured: stderr is forced on.
    device.set_config(DEFAULT_CONFIG.replace('<logger type="stderr"/>', ""))
    result = device.updater()
    assert result.returncode == 0
    assert "ERROR: no log output! enabling stderr" in result.stderr
    assert "--- EXIT OK ---" in result.stderr

    result = device.updater("--log-to-stderr")
    assert "no log output" not in result.stderr
    assert "--- EXIT OK ---" in result.stderr

    # The configured level applies after loading; the option wins over the file.
    device.set_config(DEFAULT_CONFIG.replace('level="info"', 'level="warn"'))
    device.write(UPDATE_STATE, "junk\n")
    result = device.updater()
    assert result.returncode == 0
    assert "INFO:" not in result.stderr
    assert UNKNOWN_STATE_WARNING in result.stderr
    result = device.updater("--log-level", "debug")
    assert "DEBUG: initialized OK" in result.stderr


def test_early_log_level_traces_configuration_loading(device):
    device.remove("/usr/share/resources/default/updater/defaults.conf")
    debug = "DEBUG: missing or incorrect defaults file '/usr/share/resources/default/updater/defaults.conf'"
    result = device.updater("--log-level", "debug")
    assert debug in result.stderr
    assert "DEBUG: initialized OK" in result.stderr

    # A debug level from the file only applies after loading.
    device.set_config(DEFAULT_CONFIG.replace('level="info"', 'level="debug"'))
    result = device.updater()
    assert debug not in result.stderr
    assert "DEBUG: initialized OK" in result.stderr

    # warn is no early level: loading is traced at the default INFO.
    result = device.updater("--log-level", "warn")
    assert debug not in result.stderr
    assert "ERROR: could not open configuration file" in result.stderr
    assert "INFO: --- EXIT" not in result.stderr


def test_home_is_set_when_missing(device):
    device.set_hook_action("init", "#!/bin/sh\necho \"HOME=$HOME\" > /run/hook-home\n")
    result = device.updater("--log-level", "debug", env={"HOME": None})
    assert result.returncode == 0
    assert "DEBUG: HOME set to '/root' in environment" in result.stderr
    assert device.read("/run/hook-home") == "HOME=/root\n"

    result = device.updater("--log-level", "debug")
    assert "HOME set to" not in result.stderr


# -- the "no run" file --------------------------------------------------------------


@pytest.mark.parametrize("kind", ["file", "dangling-link", "directory"])
def test_no_run_file_disables_running(device, kind):
    host = device.path(NO_RUN.replace("/var/run", "/run"))
    if kind == "file":
        device.write("/run/updater.norun", "")
    elif kind == "dangling-link":
        os.symlink("/nowhere/at/all", host)
    else:
        os.mkdir(host)
    result = device.updater()
    assert result.returncode == 1
    assert "ERROR: running is disabled by \"no run\" file '/var/run/updater.norun'" in result.stderr
    assert result.banners() == ["INFO: --- EXIT ERROR ---"]
    # Nothing after the check happened.
    assert not device.exists("/run/lock/updater")
    assert device.lastlog() is None
    assert device.hook_calls() == []


# -- exit statuses ------------------------------------------------------------------


@pytest.mark.parametrize("status, code, message, after", [
    (None, 0, None, "READY\n"),
    ("READY\n", 0, None, "READY\n"),
    ("TESTING\n", 0, None, "READY\n"),
    ("DOWNLOADING extra words\n", 0, None, "READY\n"),
    ("REBOOTING\n", 1, "INFO: machine is rebooting after update, cannot start", "REBOOTING\n"),
    ("CORRUPTED\n", 2, "FATAL: system is corrupted cannot update", "CORRUPTED\n"),
    ("UPDATING\n", 2, "FATAL: a previous update was interrupted; SYSTEM MAY BE CORRUPTED! Aborting",
     "CORRUPTED\n"),
    ("ready\n", 1, "ERROR: cannot recover status, aborting", "ready\n"),
    ("", 1, "ERROR: cannot recover status, aborting", ""),
])
def test_exit_status_follows_the_stored_status(device, status, code, message, after):
    if status is not None:
        device.set_status(status)
    result = device.updater()
    assert result.returncode == code, result
    if message:
        assert message in result.stderr
        assert device.hook_calls() == []
    assert "INFO: --- EXIT %s ---" % ["OK", "ERROR", "FATAL"][code] in result.stderr
    assert device.status() == after


def test_unreadable_status_tells_how_to_clear_it(device):
    """An empty status file (a power cut on a file system that lost the data of a renamed
    file) might have said UPDATING: the run refuses, and says what to do."""
    device.set_status("")
    result = device.updater()
    assert result.returncode == 1, result
    lines = result.lines()
    refusal = lines.index("ERROR: cannot recover status, aborting")
    assert lines[refusal + 1] == ("ERROR: status file '/var/lib/updater/status' is empty, unreadable or unknown; "
                                  "if no installation was cut off, remove it to let updates run again")
    device.remove("/var/lib/updater/status")
    assert device.updater().returncode == 0


def test_failing_init_hook_ends_with_error(device):
    device.set_hook_action("init", "#!/bin/sh\necho 'hook says no'\nexit 3\n")
    result = device.updater()
    assert result.returncode == 1
    assert "ERROR: hook failed (exit code 3)" in result.stderr
    assert "hook says no" in result.stderr
    assert "--- EXIT ERROR ---" in result.stderr
    assert device.status() == "READY\n"


def test_missing_hook_counts_as_failed(device):
    device.remove("/usr/lib/updater/hook")
    result = device.updater()
    assert result.returncode == 1
    assert "ERROR: hook failed (exit code 1)" in result.stderr


def test_rpm_library_messages_go_through_the_logger(device):
    device.write("/etc/rpm/macros.broken", "%foo\n")
    result = device.updater("-n")
    assert result.returncode == 0
    assert "ERROR: rpmlib: /etc/rpm/macros.broken: line 1: Macro %foo has empty body" in result.stderr
    # rpm itself printed nothing.
    assert "error:" not in result.stderr


def test_user_without_home_and_without_rights_still_runs(device):
    # A user unknown to the user database: no HOME to set; no right to write the last
    # log, the status or the update-state file. Each is reported and the run goes on
    # (with a cache folder it may write).
    result = device.run(["setpriv", "--reuid=4242", "--regid=4242", "--clear-groups", "/usr/bin/updater", "-n",
                         "--cache-dir", "/tmp"], env={"HOME": None})
    assert result.returncode == 0, result
    assert "WARNING: HOME not set in environment but no entry in user database for current user" in result.stderr
    assert "ERROR: cannot open log file /var/log/updater/lastlog: Permission denied" in result.stderr
    assert "WARNING: failed updating status file" in result.stderr
    assert "WARNING: failed to open update state file for save: Permission denied" in result.stderr
    assert result.stderr.endswith("INFO: --- EXIT OK ---\n")
    assert device.status() is None


def test_no_run_check_that_is_denied_disables_running(device):
    os.chmod(device.path("/run"), 0o700)
    result = device.run(["setpriv", "--reuid=4242", "--regid=4242", "--clear-groups", "/usr/bin/updater"])
    assert result.returncode == 1, result
    assert "ERROR: failed checking existence of '/var/run/updater.norun' (Permission denied)" in result.stderr
    assert "ERROR: running is disabled by \"no run\" file '/var/run/updater.norun'" in result.stderr
    assert result.banners() == ["INFO: --- EXIT ERROR ---"]
