"""Dependencies as rpm 4.13 and later write them, through the binary in a device: boolean (rich)
requirements of installed and new packages, and installed packages that a new package of
another name obsoletes (rpm -U erases them). Every run that installs is checked by rpm itself:
its transaction succeeds and `rpm -Va --nofiles` finds no unsatisfied dependency."""

import os

import pytest

from update_support import Spec, build_packages, copy_into, device_config, install_base, installed, make_repository

# holder's rich requirement is satisfied by the installed liba: it must not block anything.
RICH_BASE = [Spec("updater", "1.0"), Spec("app", "1.0"), Spec("liba", "1.0"),
             Spec("holder", "1.0", requires=["(liba or libb)"])]
APP_REQUIRES = [
    "(liba2 or libb2)",                                  # neither installed: the first is pulled
    "(xcap if ycond)",                                   # ycond absent: nothing needed
    "(xcap2 with ycap2)",                                # one package with both
    "(zcap without wcap)",                               # one package with zcap and not wcap
    "(nested-a and (nested-b >= 1 if (liba and (nowhere or holder))))",  # nested; the condition holds
]
RICH_POOL = [
    Spec("app", "2.0", requires=APP_REQUIRES),
    Spec("app", "2.0", release="2", requires=["(nowhere or (liba2 and nothing >= 2))"]),
    Spec("liba2", "1.0"), Spec("libb2", "1.0"),
    Spec("xpkg", "1.0", provides=["xcap"]), Spec("ycond-pkg", "1.0", provides=["ycond"]),
    Spec("xonly", "1.0", provides=["xcap2"]), Spec("xy", "1.0", provides=["xcap2", "ycap2"]),
    Spec("zonly", "1.0", provides=["zcap"]), Spec("zw", "1.0", provides=["zcap", "wcap"]),
    Spec("nested-a", "1.0"), Spec("nested-b", "1.0"),
]
POOL_NAMES = ("liba2", "libb2", "xpkg", "ycond-pkg", "xonly", "xy", "zonly", "zw", "nested-a", "nested-b")

# foo 2.0 takes over foo-compat, whose stale requirement pins foo 1.0.
OBSOLETE_BASE = [Spec("updater", "1.0"), Spec("foo", "1.0"),
                 Spec("foo-compat", "1.0", provides=["compat-cap"], requires=["foo = 1.0"])]
OBSOLETE_POOL = [Spec("foo", "2.0", obsoletes=["foo-compat < 2.0"])]
COMPAT_USER = Spec("compat-user", "1.0", requires=["compat-cap"])


class Packages:
    def __init__(self, folder):
        self.built = {}
        for name, specs in (("rich-base", RICH_BASE), ("rich-pool", RICH_POOL), ("obsolete-base", OBSOLETE_BASE),
                            ("obsolete-pool", OBSOLETE_POOL), ("user", [COMPAT_USER])):
            self.built.update(build_packages(os.path.join(folder, name), specs))
        self.folder = folder

    def device(self, make_device, tmp_path, base, labels):
        """A device with the base specs installed and a file: repository of the labelled packages."""
        repo = make_repository(str(tmp_path / "repo"), [self.built[label] for label in labels])
        device = make_device(config=device_config("file:///srv/updates"))
        install_base(device, [self.built[spec.label] for spec in base])
        copy_into(device, "/srv/updates", repo)
        return device


@pytest.fixture(scope="module")
def packages(tmp_path_factory):
    return Packages(str(tmp_path_factory.mktemp("packages")))


def rpm_agrees(device):
    """rpm finds every requirement of the installed packages satisfied."""
    result = device.run(["rpm", "-Va", "--nofiles", "--noscripts"])
    assert result.returncode == 0, result.output
    assert "Unsatisfied" not in result.output


def unsatisfied_report(lines):
    start = lines.index("ERROR: unsatisfied non-file dependencies:")
    return lines[start + 1:lines.index("ERROR: cannot update", start)]


def test_rich_requirements_are_evaluated_and_pulled_as_rpm_does(packages, make_device, tmp_path):
    pool = ["app-2.0-1"] + ["%s-1.0-1" % name for name in POOL_NAMES]
    device = packages.device(make_device, tmp_path, RICH_BASE, pool)
    result = device.updater("--log-level", "debug")
    assert result.returncode == 0, result
    lines = result.lines()
    assert "unsatisfied" not in result.stderr
    # The first alternative the repository can meet, the one package that meets "with" and
    # "without", and the nested requirement; no condition was pulled.
    for package, require in (("liba2", APP_REQUIRES[0]), ("xy", APP_REQUIRES[2]), ("zonly", APP_REQUIRES[3]),
                             ("nested-a", APP_REQUIRES[4]), ("nested-b", APP_REQUIRES[4])):
        assert "DEBUG: pulling package %s-0:1.0-1 to satisfy '%s'" % (package, require) in lines
    assert installed(device, "app", "holder", *POOL_NAMES) == {
        "app": "2.0-1", "holder": "1.0-1", "liba2": "1.0-1", "libb2": None, "xpkg": None, "ycond-pkg": None,
        "xonly": None, "xy": "1.0-1", "zonly": "1.0-1", "zw": None, "nested-a": "1.0-1", "nested-b": "1.0-1"}
    rpm_agrees(device)
    assert device.status() == "REBOOTING\n"
    assert device.update_state() == "COMPLETE\n"


def test_unsatisfiable_rich_requirement_fails_with_its_text(packages, make_device, tmp_path):
    device = packages.device(make_device, tmp_path, RICH_BASE, ["app-2.0-2", "liba2-1.0-1"])
    result = device.updater("--log-level", "debug")
    assert result.returncode == 1, result
    lines = result.lines()
    require = "(nowhere or (liba2 and nothing >= 2))"
    assert "DEBUG: failed dep: %s is needed by app-0:2.0-2" % require in lines
    assert unsatisfied_report(lines) == ["ERROR: \t" + require]
    # Nothing the requirement could not use as a whole was pulled, and nothing was installed.
    assert not any(line.startswith("DEBUG: pulling package") for line in lines)
    assert installed(device, "app", "liba2") == {"app": "1.0-1", "liba2": None}
    # rpm refuses the same package.
    device.write("/srv/app.rpm", open(packages.built["app-2.0-2"], "rb").read())
    refused = device.run(["rpm", "-U", "--test", "--nosignature", "/srv/app.rpm"])
    assert refused.returncode != 0 and require in refused.output


def test_package_obsoleted_by_a_new_package_is_erased_with_it(packages, make_device, tmp_path):
    device = packages.device(make_device, tmp_path, OBSOLETE_BASE, ["foo-2.0-1"])
    result = device.updater("--log-level", "debug")
    assert result.returncode == 0, result
    assert "DEBUG: foo-compat-0:1.0-1 will be erased, obsoleted by foo-0:2.0-1" in result.lines()
    assert "unsatisfied" not in result.stderr
    assert installed(device, "foo", "foo-compat") == {"foo": "2.0-1", "foo-compat": None}
    rpm_agrees(device)
    assert device.status() == "REBOOTING\n"
    assert device.update_state() == "COMPLETE\n"


def test_capability_only_the_obsoleted_package_provided_fails_the_check(packages, make_device, tmp_path):
    device = packages.device(make_device, tmp_path, OBSOLETE_BASE + [COMPAT_USER], ["foo-2.0-1"])
    result = device.updater()
    assert result.returncode == 1, result
    assert unsatisfied_report(result.lines()) == ["ERROR: \tcompat-cap"]
    assert installed(device, "foo", "foo-compat") == {"foo": "1.0-1", "foo-compat": "1.0-1"}
    # rpm refuses the same update.
    device.write("/srv/foo.rpm", open(packages.built["foo-2.0-1"], "rb").read())
    refused = device.run(["rpm", "-U", "--test", "--nosignature", "/srv/foo.rpm"])
    assert refused.returncode != 0 and "compat-cap is needed by (installed) compat-user" in refused.output
