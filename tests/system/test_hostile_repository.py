"""A hostile repository: every case must end with a clear error and exit status 1, leave
the status file and every file outside the cache as they were, leave no temporary file in
the cache, and let the next run against a sound repository succeed.

Transport failures (cut connections, timeouts, oversized answers) must also leave the
cached metadata byte for byte as it was. A complete answer with hostile content replaces
the cached index, as any new index does, and is then refused.

The network timeouts of the updater are minutes long; the cases that wait for them run
the updater with a preloaded clock that runs 60 times faster (fastclock.c).
"""

import gzip
import hashlib
import json
import os
import shutil
import signal
import subprocess
import tempfile
import time
import zlib

import pytest

from device import DEFAULT_CONFIG, SOURCE_DIR
from update_support import SilentServer, wait_for_port

SERVER = os.path.join(SOURCE_DIR, "tests/support/servers/scripted_http.py")
FASTCLOCK_SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fastclock.c")
FASTCLOCK_DEVICE_PATH = "/usr/local/lib/fastclock.so"

COMMON_NS = "http://linux.duke.edu/metadata/common"
RPM_NS = "http://linux.duke.edu/metadata/rpm"
REPO_NS = "http://linux.duke.edu/metadata/repo"
PRIMARY_PATH = "repodata/primary.xml.gz"


def sha(data):
    return hashlib.sha1(data).hexdigest()


def package_xml(name="alpha", ver="1.0", location="packages/alpha-1.0-1.noarch.rpm", version_attrs=None):
    version = version_attrs or 'epoch="0" ver="%s" rel="1"' % ver
    return ("<package type=\"rpm\"><name>%s</name><arch>noarch</arch><version %s/>"
            "<checksum type=\"sha\" pkgid=\"YES\">%s</checksum><location href=\"%s\"/>"
            "<format><rpm:group>System/Base</rpm:group></format></package>\n"
            % (name, version, "0" * 40, location))


def primary_xml(packages, doctype=""):
    return ('<?xml version="1.0" encoding="UTF-8"?>\n%s<metadata xmlns="%s" xmlns:rpm="%s" packages="%d">\n%s'
            "</metadata>\n" % (doctype, COMMON_NS, RPM_NS, len(packages), "".join(packages))).encode()


def repomd_xml(primary_gz, primary_plain, location=PRIMARY_PATH, doctype=""):
    return ('<?xml version="1.0" encoding="UTF-8"?>\n%s<repomd xmlns="%s" xmlns:rpm="%s">\n'
            "<revision>1</revision>\n<data type=\"primary\">\n"
            "<checksum type=\"sha\">%s</checksum>\n<open-checksum type=\"sha\">%s</open-checksum>\n"
            "<location href=\"%s\"/>\n<timestamp>1700000000</timestamp>\n</data>\n</repomd>\n"
            % (doctype, REPO_NS, RPM_NS, sha(primary_gz), sha(primary_plain), location)).encode()


def repository(primary_plain, primary_gz=None, **repomd_args):
    """Routes of a repository under /repo/ whose index matches its package list."""
    if primary_gz is None:
        primary_gz = gzip.compress(primary_plain, mtime=0)
    return {"repodata/repomd.xml": {"data": repomd_xml(primary_gz, primary_plain, **repomd_args)},
            PRIMARY_PATH: {"data": primary_gz}}


GOOD = repository(primary_xml([package_xml()]))

BILLION_LAUGHS = ("<!DOCTYPE r [\n<!ENTITY a \"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\">\n"
                  + "".join("<!ENTITY %s \"%s\">\n" % (chr(ord("b") + i), ("&%s;" % chr(ord("a") + i)) * 10)
                            for i in range(9))
                  + "]>\n")
EXTERNAL = "<!DOCTYPE r [\n<!ENTITY secret SYSTEM \"file:///etc/shadow\">\n]>\n"


def gzip_stream(head, filler, size, tail):
    """One gzip member: head, filler repeated up to size bytes, tail (built in pieces)."""
    packer = zlib.compressobj(9, zlib.DEFLATED, 31)
    parts = [packer.compress(head)]
    chunk = filler * ((1 << 20) // len(filler))
    for _ in range(size // len(chunk)):
        parts.append(packer.compress(chunk))
    parts.append(packer.compress(tail))
    parts.append(packer.flush())
    return b"".join(parts)


LIST_HEAD = ('<?xml version="1.0" encoding="UTF-8"?>\n<metadata xmlns="%s" xmlns:rpm="%s" packages="1">\n'
             % (COMMON_NS, RPM_NS)).encode()


def gzip_bomb_one_name():
    """A small gzip file of a package list whose one package has a 200 MiB name."""
    return gzip_stream(LIST_HEAD + b'<package type="rpm"><name>', b"A", 200 << 20,
                       b"</name></package></metadata>\n")


def gzip_bomb_many_elements():
    """A small gzip file of a package list of 300 MiB of small elements."""
    return gzip_stream(LIST_HEAD, b"<x/>", 300 << 20, b"</metadata>\n")


def gzip_deep_nesting(depth=30000000):
    """A small gzip file of a well-formed package list of 30 million nested elements (200 MiB)."""
    packer = zlib.compressobj(9, zlib.DEFLATED, 31)
    parts = [packer.compress(LIST_HEAD)]
    for element in (b"<x>", b"</x>"):
        chunk = element * (1 << 18)
        parts += [packer.compress(chunk) for _ in range(depth // (1 << 18))]
    parts.append(packer.compress(b"</metadata>\n"))
    parts.append(packer.flush())
    return b"".join(parts)


def gzip_bomb_members(count=128):
    """A gzip file of a few megabytes of concatenated members that inflates to count x 64 MiB."""
    return gzip.compress(b"\0" * (64 << 20), compresslevel=9, mtime=0) * count


# Runs a command and then prints the largest resident size of its process tree.
MAX_RSS_WRAPPER = ("import resource, subprocess, sys\n"
                   "code = subprocess.call(sys.argv[1:])\n"
                   "print('max-rss-kb %d' % resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)\n"
                   "sys.exit(code)\n")


class Server:
    """scripted_http.py serving routes (path -> response dict; "data" bytes become a file)."""

    def __init__(self, folder, routes):
        self.folder = folder
        script = {"routes": {}}
        for index, (path, response) in enumerate(routes.items()):
            response = dict(response)
            if "data" in response:
                body_file = os.path.join(folder, "body-%d" % index)
                with open(body_file, "wb") as stream:
                    stream.write(response.pop("data"))
                response["body_file"] = body_file
            script["routes"]["/repo/" + path] = {"responses": [response]}
        script_path = os.path.join(folder, "script.json")
        with open(script_path, "w") as stream:
            json.dump(script, stream)
        port_file = os.path.join(folder, "port")
        self.log = os.path.join(folder, "requests.log")
        self.process = subprocess.Popen(["/usr/bin/python3", SERVER, "--port-file", port_file, "--script", script_path,
                                         "--log", self.log], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.port = wait_for_port(self.process, port_file, "scripted server")

    def url(self):
        return "http://127.0.0.1:%d/repo/" % self.port

    def requests(self):
        with open(self.log) as stream:
            return [line.split("\t")[1] for line in stream.read().splitlines()]

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


def config_for(url):
    return DEFAULT_CONFIG.replace("file:///srv/repo", url)


def tree(top, skip=()):
    """{relative path: (type, size, mtime)} of a host folder, without the skipped ones."""
    listing = {}
    for folder, dirs, files in os.walk(top):
        rel_folder = os.path.relpath(folder, top)
        dirs[:] = [d for d in dirs if os.path.normpath(os.path.join(rel_folder, d)) not in skip]
        for name in dirs + files:
            path = os.path.join(folder, name)
            rel = os.path.normpath(os.path.join(rel_folder, name))
            info = os.lstat(path)
            listing[rel] = (info.st_mode >> 12, info.st_size if not os.path.isdir(path) else 0,
                            info.st_mtime_ns if not os.path.isdir(path) else 0)
    return listing


def digests(top):
    result = {}
    for folder, _, files in os.walk(top):
        for name in files:
            path = os.path.join(folder, name)
            with open(path, "rb") as stream:
                result[os.path.relpath(path, top)] = sha(stream.read())
    return result


# Device folders the updater may change: logs, the lock, the cache (checked on its own).
# Everything else must stay as it was.
# The status file is rewritten with the same content; its content is compared instead.
DEVICE_SKIP = {"proc", "dev", "sys", "run", "var/log", "var/cache/updater", "var/lib/updater"}


@pytest.fixture(scope="module")
def fastclock(tmp_path_factory):
    out = str(tmp_path_factory.mktemp("fastclock") / "fastclock.so")
    subprocess.run(["gcc", "-shared", "-fPIC", "-O2", "-o", out, FASTCLOCK_SOURCE, "-ldl"], check=True)
    return out


@pytest.fixture
def workdir():
    folder = tempfile.mkdtemp(prefix="hostile-")
    yield folder
    shutil.rmtree(folder, ignore_errors=True)


def run_case(device, workdir, fastclock, routes, messages, transport, args=(), slow_clock=False, new_index=False,
             url=None, requests=None, max_rss_mb=None):
    for name in ("good", "hostile"):
        os.makedirs(os.path.join(workdir, name))
    good = Server(os.path.join(workdir, "good"), GOOD)
    hostile = Server(os.path.join(workdir, "hostile"), routes)
    with open(fastclock, "rb") as stream:
        device.write(FASTCLOCK_DEVICE_PATH, stream.read(), mode=0o755)
    try:
        device.set_config(config_for(good.url()))
        first = device.updater("--max-wait-time=-1", *args)
        assert first.returncode == 0, first
        device.set_config(config_for(url or hostile.url()))
        status = device.status()
        cache = digests(device.cache_dir())
        outside = tree(device.root, DEVICE_SKIP)
        usr = tree(device.path("/usr"))
        env = None if slow_clock else {"LD_PRELOAD": FASTCLOCK_DEVICE_PATH}
        started = time.monotonic()
        if max_rss_mb is None:
            result = device.updater("--max-wait-time=-1", *args, env=env, timeout=300)
        else:
            result = device.run(["/usr/bin/python3", "-c", MAX_RSS_WRAPPER, "/usr/bin/updater", "--max-wait-time=-1"]
                                + list(args), env=env, timeout=300)
        elapsed = time.monotonic() - started
        print("\nexit %s after %.1f s; errors:\n  %s" % (
            result.returncode, elapsed,
            "\n  ".join(line for line in result.lines() if line.startswith(("ERROR", "FATAL")))))

        assert result.returncode == 1, result
        if max_rss_mb is not None:
            rss_mb = int(result.stdout.split("max-rss-kb ")[1].split()[0]) / 1024
            print("peak resident size %.1f MB" % rss_mb)
            assert rss_mb < max_rss_mb
        if requests is not None:
            assert hostile.requests() == ["/repo/" + path for path in requests]
        for message in messages:
            assert message in result.stderr, (message, result.stderr)
        assert "FATAL" not in result.stderr
        assert device.status() == status
        after = digests(device.cache_dir())
        assert not [name for name in after if name.endswith(".tmp")], after
        assert set(after) <= set(cache) | {"base/repomd.xml", "base/primary.xml.gz"}, after
        if transport:
            assert {k: v for k, v in after.items() if k != "base/repomd.xml" or not new_index} == \
                {k: v for k, v in cache.items() if k != "base/repomd.xml" or not new_index}
        assert tree(device.root, DEVICE_SKIP) == outside
        usr_after = tree(device.path("/usr"))
        usr_after.pop("local/lib/fastclock.so", None)
        usr.pop("local/lib/fastclock.so", None)
        assert usr_after == usr

        # Nothing was lost: the sound repository works again at once.
        device.set_config(config_for(good.url()))
        again = device.updater("--max-wait-time=-1", *args)
        assert again.returncode == 0, again
        return result
    finally:
        hostile.stop()
        good.stop()


def with_index(primary_plain, **repomd_args):
    """A repository whose index lists a hostile package list with correct checksums."""
    return repository(primary_plain, **repomd_args)


INDEX_REFUSED = "failed parsing repository metadata from 'repodata/repomd.xml'"
LIST_REFUSED = "failed parsing repository resource 'repodata/primary.xml.gz'"

CONTENT_CASES = {
    "gzip_bomb_one_huge_name": (repository(b"", primary_gz=gzip_bomb_one_name()), [LIST_REFUSED]),
    "gzip_bomb_many_elements": (repository(b"", primary_gz=gzip_bomb_many_elements()),
                                ["is larger than 268435456 bytes", LIST_REFUSED]),
    "entity_bomb_in_index": ({"repodata/repomd.xml": {"data": repomd_xml(b"", b"", location="&j;",
                                                                          doctype=BILLION_LAUGHS)}},
                             [INDEX_REFUSED]),
    "entity_bomb_in_package_list": (repository(primary_xml([package_xml(name="&j;")], doctype=BILLION_LAUGHS)),
                                    [LIST_REFUSED]),
    "external_entity_in_index": ({"repodata/repomd.xml": {"data": repomd_xml(b"", b"", location="&secret;",
                                                                              doctype=EXTERNAL)}}, [INDEX_REFUSED]),
    "external_entity_in_package_list": (repository(primary_xml([package_xml(location="&secret;")],
                                                               doctype=EXTERNAL)),
                                        [LIST_REFUSED]),
    "package_location_with_dotdot": (repository(primary_xml([package_xml(location="../../../../etc/passwd")])),
                                     ["refusing location '../../../../etc/passwd' ('..' component)", LIST_REFUSED]),
    "package_location_absolute": (repository(primary_xml([package_xml(location="/etc/passwd")])),
                                  ["refusing location '/etc/passwd' (absolute path)", LIST_REFUSED]),
    "package_location_only_dotdot": (repository(primary_xml([package_xml(location="packages/..")])),
                                     ["refusing location 'packages/..' ('..' component)", LIST_REFUSED]),
    "package_list_location_with_dotdot": (repository(primary_xml([package_xml()]),
                                                     location="../../repodata/primary.xml.gz"),
                                          ["refusing location '../../repodata/primary.xml.gz' ('..' component)",
                                           INDEX_REFUSED]),
    "package_list_location_is_the_index": (repository(primary_xml([package_xml()]), location="repodata/repomd.xml"),
                                           ["refusing location 'repodata/repomd.xml' (the index's own name)",
                                            INDEX_REFUSED]),
    "name_with_control_characters": (repository(primary_xml([package_xml(name="al&#10;ERROR: forged&#13;pha")])),
                                     ["refusing package name with control characters", LIST_REFUSED]),
    "location_with_blanks_and_quotes": (repository(primary_xml([package_xml(location="packages/a 'b&quot;.rpm")])),
                                        ["refusing location 'packages/a 'b\".rpm' (file name with blanks, quotes or "
                                         "pattern characters)", LIST_REFUSED]),
    "location_with_pattern_characters": (repository(primary_xml([package_xml(location="packages/*.rpm")])),
                                         ["refusing location 'packages/*.rpm' (file name with blanks, quotes or "
                                          "pattern characters)", LIST_REFUSED]),
    "location_with_control_characters": (repository(primary_xml([package_xml(location="packages/a&#10;b.rpm")])),
                                         ["refusing location with control characters", LIST_REFUSED]),
    "huge_attribute_value": (repository(primary_xml([package_xml(version_attrs='epoch="0" rel="1" ver="%s"'
                                                                 % ("9" * (12 << 20)))])),
                             [LIST_REFUSED]),
    "index_cut_off_mid_document": ({"repodata/repomd.xml": {"data": GOOD["repodata/repomd.xml"]["data"][:200]}},
                                   [INDEX_REFUSED]),
    "package_list_nested_30_million_deep": (repository(b"", primary_gz=gzip_deep_nesting()),
                                            ["is nested deeper than 256 elements", LIST_REFUSED]),
    # Checksums that do not match: the uncompressed one is tried on the whole content.
    "gzip_bomb_with_wrong_checksums": ({"repodata/repomd.xml": {"data": repomd_xml(b"other", b"other")},
                                        PRIMARY_PATH: {"data": gzip_bomb_members()}},
                                       ["uncompressed content of '/var/cache/updater/base/primary.xml.gz' is larger "
                                        "than 268435456 bytes", "ERROR: invalid checksum on 'repodata/primary.xml.gz'"]),
}
# Peak memory of the refused run, in MB.
CONTENT_MAX_RSS = {"package_list_nested_30_million_deep": 100}


@pytest.mark.parametrize("case", sorted(CONTENT_CASES))
def test_hostile_content(device, workdir, fastclock, case):
    routes, messages = CONTENT_CASES[case]
    run_case(device, workdir, fastclock, routes, messages, transport=False, max_rss_mb=CONTENT_MAX_RSS.get(case))


TRANSPORT_CASES = {
    "index_with_wrong_content_length": ({"repodata/repomd.xml": {"data": GOOD["repodata/repomd.xml"]["data"],
                                                                 "content_length": 100000}},
                                        ["failed getting repository resource 'repodata/repomd.xml'"]),
    "endless_index": ({"repodata/repomd.xml": {"body": "<repomd>", "endless": True}},
                      ["resource larger than 4194304 bytes"]),
    # A new index, so that the cached package list no longer matches and is fetched.
    "endless_package_list": ({"repodata/repomd.xml": {"data": repomd_xml(b"new", b"new")},
                              PRIMARY_PATH: {"body": "x", "endless": True}},
                             ["resource larger than 268435456 bytes",
                              "failed getting repository resource 'repodata/primary.xml.gz'"]),
    "redirect_loop": ({"repodata/repomd.xml": {"status": 302,
                                               "headers": {"Location": "/repo/repodata/repomd.xml"}}},
                      ["maximum number of redirects (5) exceeded"]),
    "server_never_answers": ({"repodata/repomd.xml": {"never_answer": True}}, ["connection timed out"]),
    "server_trickles_one_byte_per_second": ({"repodata/repomd.xml": {"data": GOOD["repodata/repomd.xml"]["data"],
                                                                     "trickle": 1.0}},
                                            ["transfer too slow"]),
    "server_trickles_the_headers": ({"repodata/repomd.xml": {"data": GOOD["repodata/repomd.xml"]["data"],
                                                             "trickle_headers": 1.0}},
                                    ["failed fetching 'repodata/repomd.xml' (transfer too slow ("]),
    "server_trickles_a_not_found_answer": ({"repodata/repomd.xml": {"status": 404, "body": "not here" * 20,
                                                                    "trickle": 1.0}},
                                           ["failed fetching 'repodata/repomd.xml' (transfer too slow ("]),
}
# Refusals of the updater's own are not retried: exactly these requests.
TRANSPORT_REQUESTS = {
    "endless_index": ["repodata/repomd.xml"],
    "endless_package_list": ["repodata/repomd.xml", PRIMARY_PATH],
    "server_trickles_one_byte_per_second": ["repodata/repomd.xml"],
    "server_trickles_the_headers": ["repodata/repomd.xml"],
    "server_trickles_a_not_found_answer": ["repodata/repomd.xml"],
}


@pytest.mark.parametrize("case", sorted(TRANSPORT_CASES))
def test_hostile_transport(device, workdir, fastclock, case):
    routes, messages = TRANSPORT_CASES[case]
    run_case(device, workdir, fastclock, routes, messages, transport=True, new_index=case == "endless_package_list",
             requests=TRANSPORT_REQUESTS.get(case))


def test_https_to_a_server_that_never_answers_the_handshake(device, workdir, fastclock):
    """An https repository on a port whose server waits for a plain request: the TLS
    handshake is never answered. Each of the three tries ends after one read timeout."""
    with SilentServer() as silent:
        result = run_case(device, workdir, fastclock, {}, [], transport=True,
                          url="https://127.0.0.1:%d/repo/" % silent.port)
    lines = result.lines()
    assert lines.count("WARNING: failed fetching 'repodata/repomd.xml' (connection timed out); retrying") == 2, lines
    assert "ERROR: failed fetching 'repodata/repomd.xml' (connection timed out)" in lines



def test_shell_metacharacters_in_names_are_inert(device, workdir):
    """Names and locations reach rpm and the hooks only as single arguments: a package file
    whose name is shell syntax is downloaded and installed like any other."""
    built = os.path.join(workdir, "rpms")
    for version in ("1.0", "2.0"):
        subprocess.run(["/usr/bin/python3", os.path.join(SOURCE_DIR, "tests/support/rpm/mkrpm.py"), "--name",
                        "alpha", "--version", version, "--no-auto", "--outdir", os.path.join(built, version)],
                       check=True, stdout=subprocess.DEVNULL)
    old = os.path.join(built, "1.0", os.listdir(os.path.join(built, "1.0"))[0])
    new = os.path.join(built, "2.0", os.listdir(os.path.join(built, "2.0"))[0])
    shutil.copy(old, device.path("/srv/alpha-1.0.rpm"))
    device.run(["rpm", "-i", "--nodeps", "/srv/alpha-1.0.rpm"], check=True)
    # Every part would create a file pwned-* in the working directory ("/") if a shell ever
    # saw the name. (Blanks, quotes and pattern characters are refused: see the content cases.)
    name = "alpha$(>pwned-subst)`>pwned-tick`;>pwned-semicolon|>pwned-pipe&>pwned-amp.rpm"
    os.makedirs(device.path("/srv/repo/packages"))
    shutil.copy(new, os.path.join(device.path("/srv/repo/packages"), name))
    subprocess.run(["createrepo_c", "-q", "-s", "sha", device.path("/srv/repo")], check=True, stdout=subprocess.DEVNULL)

    result = device.updater("--no-sig-check")
    assert result.returncode == 0, result
    assert "\t" + name in result.stderr
    assert device.run(["rpm", "-q", "alpha"]).stdout.strip() == "alpha-2.0-1.noarch"
    assert [entry for entry in os.listdir(device.root) if entry.startswith("pwned")] == []
