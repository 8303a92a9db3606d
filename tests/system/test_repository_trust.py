"""Trusting a repository as today's tools publish it, through the installed updater in a
device: stock createrepo_c checksums (SHA-256, SHA-512) with the shipped defaults, a signed
index (repodata/repomd.xml.asc made by "gpg --detach-sign --armor") checked against the keys
of the device's rpm database, mutual TLS with lighttpd asking for a client certificate, and
required package signatures. Each of these is switched on by configuration; without it the
updater behaves as before (the other system tests hold that)."""

import os
import shutil
import subprocess

import pytest

from test_network import Daemon, Scripted, repository_routes
from update_support import PYTHON, SOURCE_DIR, Fleet, Lighttpd, Spec, copy_into, device_config, installed, make_key, \
    sign

SHIPPED_DEFAULTS = os.path.join(SOURCE_DIR, "packaging", "defaults.conf")
MKCERTS = os.path.join(SOURCE_DIR, "tests", "support", "tls", "mkcerts.py")
CHECK = ("--check-only", "--max-wait-time", "-1")
UPDATE = ("--no-reboot", "--max-wait-time", "-1")
INDEX = "/var/cache/updater/base/repomd.xml"


@pytest.fixture(scope="module")
def fleet(tmp_path_factory):
    """app 1.0 installed, app 2.0 in the repository."""
    return Fleet(str(tmp_path_factory.mktemp("fleet")), base=[Spec("app", "1.0")], new=[Spec("app", "2.0")])


@pytest.fixture(scope="module")
def keys(tmp_path_factory):
    """Two throwaway keys in one keyring: "trusted" and "stranger"; returns (home, {name: pubkey})."""
    folder = str(tmp_path_factory.mktemp("keys"))
    home, trusted = make_key(folder, "trusted")
    _, stranger = make_key(folder, "stranger")
    return home, {"trusted": trusted, "stranger": stranger}


@pytest.fixture(scope="module")
def signed(fleet, keys, tmp_path_factory):
    """The new packages signed with the trusted key: a device holding that key installs them."""
    folder = str(tmp_path_factory.mktemp("signed"))
    paths = []
    for path in fleet.new.values():
        shutil.copy(path, folder)
        paths.append(os.path.join(folder, os.path.basename(path)))
    sign(keys[0], paths, name="trusted")
    return paths


def stock_repository(folder, packages, checksum=None, index_key=None, home=None):
    """A repository made with stock createrepo_c (its default checksum unless one is named);
    with index_key, repodata/repomd.xml is signed as the documentation shows."""
    os.makedirs(folder)
    for path in packages:
        shutil.copy(path, folder)
    argv = ["createrepo_c", "-q", "--no-database"] + (["-s", checksum] if checksum else []) + [folder]
    subprocess.run(argv, check=True, stdout=subprocess.DEVNULL)
    if index_key:
        detach_sign(home, index_key, os.path.join(folder, "repodata", "repomd.xml"))
    return folder


def detach_sign(home, key, path):
    subprocess.run(["gpg", "--batch", "--quiet", "--yes", "--local-user", key, "--detach-sign", "--armor", path],
                   check=True, env=dict(os.environ, GNUPGHOME=home))


def config(uri, repository_extra="", top_extra=""):
    """The device's configuration with elements added to the repository and to the top."""
    text = device_config(uri, release="app")
    text = text.replace("    <location href=", "%s    <location href=" % repository_extra)
    return text.replace("</updater>", "%s</updater>" % top_extra)


def import_key(device, pubkey):
    device.write("/srv/key.asc", open(pubkey).read())
    assert device.run(["rpm", "--import", "/srv/key.asc"]).returncode == 0


def failure(result, *messages):
    assert result.returncode == 1, result
    assert "INFO: --- EXIT ERROR ---" in result.lines(), result
    for message in messages:
        assert message in result.stderr, (message, result.stderr)


def cache_leftovers(device):
    return sorted(name for name in os.listdir(device.cache_dir("base"))
                  if name.endswith((".tmp", ".unverified")))


# -- checksums of stock repositories -------------------------------------------------------


@pytest.mark.parametrize("checksum", [None, "sha512"])
def test_stock_repository_needs_the_shipped_defaults(fleet, make_device, tmp_path, checksum):
    repo = stock_repository(str(tmp_path / "repo"), fleet.new.values(), checksum)
    device = fleet.device(make_device, "/srv/stock", addons=(), groups=(), release="app")
    copy_into(device, "/srv/stock", repo)

    # The built-in default accepts only "sha".
    failure(device.updater(*CHECK), "ERROR: unsupported checksum type '%s'" % (checksum or "sha256"))

    # The defaults file the package ships accepts them all: the update is installed.
    device.set_defaults(open(SHIPPED_DEFAULTS).read())
    result = device.updater(*UPDATE)
    assert result.returncode == 0, result
    assert "unsupported checksum type" not in result.stderr
    assert installed(device, "app") == {"app": "2.0-1"}


def test_package_failing_its_sha256_is_fetched_again_then_refused(fleet, make_device, tmp_path):
    repo = stock_repository(str(tmp_path / "repo"), fleet.new.values())
    served = os.path.join(repo, "app-2.0-1.noarch.rpm")
    data = bytearray(open(served, "rb").read())
    data[-100] ^= 0xFF
    with open(served, "wb") as stream:
        stream.write(data)
    with Lighttpd(repo) as server:
        device = fleet.device(make_device, server.url, addons=(), groups=(), release="app")
        device.set_defaults(open(SHIPPED_DEFAULTS).read())
        result = device.updater(*UPDATE)
        server.stop()
    lines = result.lines()
    local = "/var/cache/updater/base/packages/app-2.0-1.noarch.rpm"
    assert "WARNING: invalid checksum on '%s'; retrying with bypass of http caches" % local in lines, result
    assert "ERROR: invalid checksum on '%s'" % local in lines
    assert "ERROR: failed downloading packages" in lines
    assert server.count("/app-2.0-1.noarch.rpm") == 2
    assert installed(device, "app") == {"app": "1.0-1"}


# -- required package signatures ----------------------------------------------------------


def test_required_signatures_without_a_key_install_nothing(fleet, make_device):
    device = fleet.device(make_device, "/srv/updates", addons=(), groups=(), release="app")
    copy_into(device, "/srv/updates", fleet.repo)
    device.set_config(config("/srv/updates", top_extra='  <signatures required="true"/>\n'))
    refused = ("ERROR: signatures required but no public key in rpm database; refusing to install unverified "
               "packages")
    for args in (UPDATE, UPDATE + ("--no-sig-check",)):
        result = device.updater(*args)
        assert refused in result.lines(), result
        assert ("WARNING: signatures are required by the configuration; ignoring --no-sig-check" in result.lines()) \
            == ("--no-sig-check" in args)
        assert "installed OK" not in result.stderr
        assert installed(device, "app") == {"app": "1.0-1"}
    # Without the element an unsigned package is installed on a device without keys, as before.
    device.set_config(config("/srv/updates"))
    assert device.updater(*UPDATE).returncode == 0
    assert installed(device, "app") == {"app": "2.0-1"}


def test_required_signatures_with_a_key_install_signed_packages(fleet, keys, signed, make_device, tmp_path):
    _, pubkeys = keys
    repo = stock_repository(str(tmp_path / "repo"), signed, "sha")
    device = fleet.device(make_device, "/srv/updates", addons=(), groups=(), release="app")
    copy_into(device, "/srv/updates", repo)
    device.set_config(config("/srv/updates", top_extra='  <signatures required="true"/>\n'))
    import_key(device, pubkeys["trusted"])
    result = device.updater(*UPDATE)
    assert result.returncode == 0, result
    assert "INFO: verifying package signatures" in result.lines()
    assert installed(device, "app") == {"app": "2.0-1"}


# -- signed index ----------------------------------------------------------------------------

GPGCHECK = '    <gpgcheck metadata="true"/>\n'
NOT_SIGNED = "ERROR: refusing repository index 'repodata/repomd.xml' without a valid signature"


def signed_device(fleet, make_device, repo, pubkey=None):
    device = fleet.device(make_device, "/srv/updates", addons=(), groups=(), release="app")
    copy_into(device, "/srv/updates", repo)
    device.set_config(config("/srv/updates", repository_extra=GPGCHECK))
    if pubkey:
        import_key(device, pubkey)
    return device


def test_signed_index_with_a_good_signature_is_used(fleet, keys, signed, make_device, tmp_path):
    home, pubkeys = keys
    repo = stock_repository(str(tmp_path / "repo"), signed, "sha", index_key="trusted", home=home)
    device = signed_device(fleet, make_device, repo, pubkeys["trusted"])
    result = device.updater(*CHECK)
    assert result.returncode == 0, result
    assert any(line.startswith("INFO: good signature of 'repodata/repomd.xml' by key ") for line in result.lines())
    assert "INFO: --- 1 UPDATE(S) ---" in result.lines()
    assert device.read(INDEX) == open(os.path.join(repo, "repodata", "repomd.xml")).read()
    assert device.read(INDEX + ".asc") == open(os.path.join(repo, "repodata", "repomd.xml.asc")).read()
    assert cache_leftovers(device) == []
    # A full run reads the verified index from the cache in its later passes.
    result = device.updater(*UPDATE)
    assert result.returncode == 0, result
    # Later passes check the cached pair again without repeating the line.
    assert result.lines().count(good_line(result)) == 1
    assert installed(device, "app") == {"app": "2.0-1"}


def good_line(result):
    return next(line for line in result.lines() if line.startswith("INFO: good signature of 'repodata/repomd.xml'"))


def unsigned(repo, home):
    os.remove(os.path.join(repo, "repodata", "repomd.xml.asc"))


def by_stranger(repo, home):
    detach_sign(home, "stranger", os.path.join(repo, "repodata", "repomd.xml"))


def edited(repo, home):
    path = os.path.join(repo, "repodata", "repomd.xml")
    text = open(path).read()
    with open(path, "w") as stream:
        stream.write(text.replace("<revision>", "<revision>1"))


SIGNATURE_FAILURES = {
    "missing_signature": (unsigned, "trusted",
                          ["ERROR: failed getting repository resource 'repodata/repomd.xml.asc'"]),
    "signed_by_another_key": (by_stranger, "trusted", ["which is not in the rpm database", NOT_SIGNED]),
    "index_edited_after_signing": (edited, "trusted", ["ERROR: BAD signature of 'repodata/repomd.xml'", NOT_SIGNED]),
    "no_key_installed": (None, None, ["ERROR: no public key in rpm database to verify the signature of "
                                      "'repodata/repomd.xml'", NOT_SIGNED]),
}


@pytest.mark.parametrize("case", sorted(SIGNATURE_FAILURES))
def test_signed_index_failures_stop_before_anything_is_read(fleet, keys, signed, make_device, tmp_path, case):
    home, pubkeys = keys
    change, key, messages = SIGNATURE_FAILURES[case]
    repo = stock_repository(str(tmp_path / "repo"), signed, "sha", index_key="trusted", home=home)
    if change:
        change(repo, home)
    device = signed_device(fleet, make_device, repo, pubkeys[key] if key else None)
    result = device.updater(*CHECK)
    failure(result, *messages)
    assert "could not update repository data" in result.stderr
    assert "UPDATE(S)" not in result.stderr
    # Nothing of the refused fetch is kept: no index, no package list, no waiting files.
    assert sorted(os.listdir(device.cache_dir("base"))) == []


def test_refused_index_leaves_the_last_verified_one(fleet, keys, signed, make_device, tmp_path):
    home, pubkeys = keys
    repo = stock_repository(str(tmp_path / "repo"), signed, "sha", index_key="trusted", home=home)
    device = signed_device(fleet, make_device, repo, pubkeys["trusted"])
    assert device.updater(*CHECK).returncode == 0
    verified = device.read(INDEX)

    # The repository's index is replaced by one the signature does not cover.
    edited(device.path("/srv/updates"), home)
    failure(device.updater(*CHECK), "ERROR: BAD signature of 'repodata/repomd.xml'", NOT_SIGNED)
    assert device.read(INDEX) == verified
    assert cache_leftovers(device) == []
    # The cache still holds a verified pair, which --cache-only checks again and uses.
    result = device.updater("--cache-only", *CHECK)
    assert result.returncode == 0, result
    assert "INFO: --- 1 UPDATE(S) ---" in result.lines()

    # A cached index changed behind the updater's back is refused too.
    with open(device.path(INDEX), "a") as stream:
        stream.write("<!-- -->\n")
    failure(device.updater("--cache-only", *CHECK), "ERROR: BAD signature of 'repodata/repomd.xml'", NOT_SIGNED)


def test_index_replaced_between_the_two_requests_is_refused(fleet, keys, signed, make_device, tmp_path):
    """The server publishes a new index and signature while the updater fetches: it gets
    the old index, then the new signature. The pair does not check; the next run gets the
    new pair."""
    home, pubkeys = keys
    repo = stock_repository(str(tmp_path / "repo"), signed, "sha", index_key="trusted", home=home)
    index = os.path.join(repo, "repodata", "repomd.xml")
    old_index = str(tmp_path / "old-repomd.xml")
    shutil.copy(index, old_index)
    edited(repo, home)
    detach_sign(home, "trusted", index)
    routes = repository_routes(repo, "/repo/")
    routes["/repo/repodata/repomd.xml"] = {"responses": [{"status": 200, "body_file": old_index},
                                                         {"status": 200, "body_file": index}]}
    with Scripted(routes) as server:
        device = fleet.device(make_device, server.url + "repo/", addons=(), groups=(), release="app")
        device.set_config(config(server.url + "repo/", repository_extra=GPGCHECK))
        import_key(device, pubkeys["trusted"])
        failure(device.updater(*CHECK), "ERROR: BAD signature of 'repodata/repomd.xml'", NOT_SIGNED)
        assert not device.exists(INDEX)
        result = device.updater(*CHECK)
        assert result.returncode == 0, result
        assert device.read(INDEX) == open(index).read()
        targets = server.targets()
    assert targets[:2] == ["/repo/repodata/repomd.xml", "/repo/repodata/repomd.xml.asc"]
    assert targets.count("/repo/repodata/repomd.xml.asc") == 2


# -- mutual TLS ---------------------------------------------------------------------------


@pytest.fixture(scope="module")
def certificates(tmp_path_factory):
    folder = str(tmp_path_factory.mktemp("tls"))
    subprocess.run([PYTHON, MKCERTS, folder], check=True)
    return folder


def tls_device(fleet, make_device, certificates, url, ca="ca.pem", cert="client", key_mode=0o600):
    device = fleet.device(make_device, url, addons=(), groups=(), release="app")
    for name in ("ca.pem", "other-ca.pem", cert + ".pem"):
        device.write("/etc/updater/tls/" + name, open(os.path.join(certificates, name)).read())
    device.write("/etc/updater/tls/%s.key" % cert, open(os.path.join(certificates, cert + ".key")).read(),
                 mode=key_mode)
    os.chmod(device.path("/etc/updater/tls/%s.key" % cert), key_mode)
    identity = ' cert="/etc/updater/tls/%s.pem" key="/etc/updater/tls/%s.key"' % (cert, cert) if cert else ""
    device.set_config(config(url, repository_extra='    <tls ca="/etc/updater/tls/%s"%s/>\n' % (ca, identity)))
    return device


@pytest.fixture
def mtls_server(fleet, certificates):
    server = Daemon("lighttpd", ["--root", fleet.repo, "--tls-pem", os.path.join(certificates, "server.pem"),
                                 "--tls-client-ca", os.path.join(certificates, "ca.pem")])
    yield server, "https://127.0.0.1:%d/" % server.port
    server.stop()


def test_client_certificate_opens_the_repository(fleet, make_device, certificates, mtls_server):
    server, url = mtls_server
    device = tls_device(fleet, make_device, certificates, url)
    result = device.updater(*UPDATE)
    assert result.returncode == 0, result
    assert installed(device, "app") == {"app": "2.0-1"}
    log = server.stop()
    # The index, the package list and the package all came over the authenticated connection.
    assert "GET /repodata/repomd.xml " in log and "GET /app-2.0-1.noarch.rpm " in log


def test_server_refuses_a_device_without_client_certificate(fleet, make_device, certificates, mtls_server):
    server, url = mtls_server
    device = tls_device(fleet, make_device, certificates, url)
    device.set_config(config(url, repository_extra='    <tls ca="/etc/updater/tls/ca.pem"/>\n'))
    failure(device.updater(*CHECK), "ERROR: failed fetching 'repodata/repomd.xml'")
    assert "GET " not in server.stop()


def test_server_of_another_authority_is_refused(fleet, make_device, certificates, mtls_server):
    server, url = mtls_server
    device = tls_device(fleet, make_device, certificates, url, ca="other-ca.pem")
    failure(device.updater(*CHECK), "Server certificate verification failed")
    assert "GET " not in server.stop()


@pytest.mark.parametrize("case", ["expired", "key_readable_by_others"])
def test_unusable_client_identity_is_refused_before_connecting(fleet, make_device, certificates, mtls_server, case):
    server, url = mtls_server
    if case == "expired":
        device = tls_device(fleet, make_device, certificates, url, cert="expired")
        message = "ERROR: client certificate '/etc/updater/tls/expired.pem' expired on "
    else:
        device = tls_device(fleet, make_device, certificates, url, key_mode=0o644)
        message = ("ERROR: client key '/etc/updater/tls/client.key' is readable by group or others (mode 0644); "
                   "refusing to use it")
    result = device.updater(*CHECK)
    failure(result, message, "ERROR: failed creating repository downloder from '%s'" % url)
    assert "failed fetching" not in result.stderr
    assert "GET " not in server.stop()
