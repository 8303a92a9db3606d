#!/usr/bin/python3
"""Generates the data of the end-to-end benchmark (bench_e2e.sh).

  gen_e2e.py N OUTDIR [--installed M] [--shape base|large]

Writes into OUTDIR:
- repo/: a yum repository of N packages (repodata/repomd.xml and a gzip-compressed
  primary list, "sha" checksums as createrepo_c -s sha writes them), plus real rpm files
  for the packages an update of the installed base installs (the others need not exist
  for a check);
- primary.xml: the same list uncompressed;
- installed/: rpm files of the installed base of M packages (default 500), to be put
  into a throwaway database with rpm -i --justdb --nodeps;
- updates.txt: the file names of the updates of the installed base.

The list has the shape of a distribution repository: about 0.7 names per package (35,000
names at 50,000 packages, one to four versions each), realistic version strings (with ~
pre-releases, ^ snapshots, letters, dates), epochs, obsoletes, about 8 provides (the
package, its arch-qualified name, sonames with symbol versions, config(), pkgconfig(),
language-specific capabilities) and 10 requires (file paths, libc sonames, capabilities
of other packages, versioned and not), file entries, and long descriptions. Everything
is deterministic: name i and its versions depend on i alone, so the installed base (the
first M names) is the same for every N.

Shapes: "base" (the default) installs 500 names, one in ten with an update. "large"
installs 900 names, one in three with an update (about 300), and adds library packages of
new sonames that nothing installed provides, in six levels of 2 to 5 packages: the updated
libraries and tools need a soname of the first level, each package of a level needs the
sonames of some of the next, so the dependency closure pulls one level per round (six
rounds that pull, then a check that finds nothing missing). Those packages count in N and
exist as real rpm files, so that a full run installs them.
"""

import argparse
import gzip
import hashlib
import os
import platform
import random
import shutil
import subprocess
import tempfile

COMMON = "http://linux.duke.edu/metadata/common"
RPM = "http://linux.duke.edu/metadata/rpm"
REPO = "http://linux.duke.edu/metadata/repo"

MACHINE = platform.machine()
ISA = {"x86_64": "x86-64", "aarch64": "aarch-64"}.get(MACHINE, MACHINE)

SYLLABLES = ["ab", "ac", "al", "an", "ar", "as", "at", "ba", "be", "bo", "ca", "ce", "co", "cu",
             "da", "de", "di", "do", "el", "en", "er", "es", "fa", "fi", "fo", "ga", "ge", "gi",
             "go", "ha", "he", "hi", "ka", "ki", "ko", "la", "le", "li", "lo", "lu", "ma", "me",
             "mi", "mo", "na", "ne", "ni", "no", "nu", "or", "pa", "pe", "pi", "po", "ra", "re",
             "ri", "ro", "ru", "sa", "se", "si", "so", "ta", "te", "ti", "to", "tu", "va", "ve",
             "vi", "xa", "xe", "za", "ze", "zi"]
KINDS = ["lib", "lib", "lib", "tool", "tool", "python", "perl", "devel", "doc", "font", "data"]
WORDS = ("the of a library tool for and with support data files handling fast small secure "
         "network protocol parser format image audio video text command line utility daemon "
         "service plugin module bindings development headers documentation runtime shared "
         "static extension interface client server simple portable implementation").split()

CORE = "base-system"      # owns the files other packages require; never updated
LIBC = "libc.so.6()(64bit)"
BASE_INSTALLED = 500
LARGE_INSTALLED = 900

# Share of the installed names with an update; the large shape sets it to a third.
UPDATE_SHARE = 0.1
# Packages per level of the soname chains of the large shape (empty: no chains).
CHAIN_WIDTHS = []
LARGE_CHAIN_WIDTHS = [3, 2, 4, 5, 2, 3]


def name_of(i):
    if i == 0:
        return CORE
    rng = random.Random(1_000_003 * i + 17)
    stem = "".join(rng.choice(SYLLABLES) for _ in range(rng.randint(2, 4))) + str(i % 97)
    kind = KINDS[i % len(KINDS)]
    prefix = {"python": "python3-", "perl": "perl-", "font": "fonts-"}.get(kind, "")
    suffix = {"devel": "-devel", "doc": "-doc", "data": "-data"}.get(kind, "")
    return prefix + stem + suffix


def kind_of(i):
    return "core" if i == 0 else KINDS[i % len(KINDS)]


def versions_of(i):
    """The version sequence s0 < s1 < ... of name i: (epoch, version, release) tuples.
    s0 is older than anything in the repository; the repository holds s1..sk."""
    rng = random.Random(7 * i + 3)
    k = rng.choices([1, 2, 3, 4], weights=[72, 18, 7, 3])[0]
    style = rng.choice(["semver", "semver", "semver", "two", "date", "letter"])
    epoch = rng.choices([0, 1, 2, 3], weights=[85, 10, 3, 2])[0]
    nums = [rng.randint(0, 5), rng.randint(0, 30), rng.randint(0, 20)]
    dist = rng.choice(["fc38", "fc39", "el9", "el9_2", "mga9", ""])
    result = []
    for _ in range(k + 1):
        if rng.random() < 0.3:
            nums[1] += 1
            nums[2] = 0
        else:
            nums[2] += rng.randint(1, 3)
        if style == "two":
            ver = f"{nums[0]}.{nums[1] * 100 + nums[2]}"
        elif style == "date":
            ver = str(20190000 + nums[0] * 10000 + nums[1] * 100 + nums[2])
        elif style == "letter":
            ver = f"{nums[0]}.{nums[1]}.{nums[2]}{rng.choice('abcz')}"
        else:
            ver = f"{nums[0]}.{nums[1]}.{nums[2]}"
        decoration = rng.random()
        if decoration < 0.08:
            ver += f"~rc{rng.randint(1, 4)}"
        elif decoration < 0.14:
            ver += f"~beta{rng.randint(1, 3)}"
        elif decoration < 0.22:
            ver += f"^{2022 + rng.randint(0, 2)}{rng.randint(1, 12):02d}{rng.randint(1, 28):02d}git{rng.getrandbits(28):07x}"
        rel = str(rng.randint(1, 12))
        if rng.random() < 0.15:
            rel = f"0.{rng.randint(1, 5)}.{rng.choice(['beta', 'rc', 'pre'])}{rng.randint(1, 3)}"
        if dist:
            rel += "." + dist
        result.append((epoch, ver, rel))
    # Now and then the newest version comes with an epoch bump.
    if k >= 2 and rng.random() < 0.1:
        e, ver, rel = result[-1]
        result[-1] = (e + 1, ver, rel)
    return result


def evr_text(evr):
    e, v, r = evr
    return f"{e}:{v}-{r}"


def provides_of(i, name, kind, evr, arch):
    e, v, r = evr
    stem = name.split("-", 1)[-1] if "-" in name else name
    caps = [(name, "EQ", evr)]
    if arch != "noarch":
        caps.append((f"{name}({ISA})", "EQ", evr))
    if kind == "core":
        caps += [(LIBC, None, None), ("libc.so.6(GLIBC_2.34)(64bit)", None, None),
                 ("libm.so.6()(64bit)", None, None), ("libpthread.so.0()(64bit)", None, None),
                 ("config(base-system)", "EQ", evr), ("python(abi)", "EQ", (0, "3.11", None))]
    elif kind == "lib":
        major = i % 7 + 1
        caps += [(f"lib{stem}.so.{major}()(64bit)", None, None),
                 (f"lib{stem}.so.{major}({stem.upper()}_1.0)(64bit)", None, None),
                 (f"lib{stem}.so.{major}({stem.upper()}_2.{i % 5})(64bit)", None, None),
                 (f"pkgconfig({stem})", "EQ", (0, v, None)),
                 (f"config({name})", "EQ", evr), (f"{stem}-libs", "EQ", evr)]
    elif kind == "python":
        caps += [(f"python3.11dist({stem})", "EQ", (0, v, None)), (f"python3dist({stem})", "EQ", (0, v, None)),
                 (f"python-{stem}", "EQ", evr), (f"python3.11-{stem}", "EQ", evr),
                 (f"python3-{stem}-doc", None, None)]
    elif kind == "perl":
        caps += [(f"perl({stem.capitalize()})", "EQ", (0, v, None)),
                 (f"perl({stem.capitalize()}::Util)", None, None),
                 (f"perl({stem.capitalize()}::Base)", "EQ", (0, v, None)), (f"perl-{stem}-tests", None, None)]
    elif kind == "font":
        caps += [(f"font({stem})", None, None), (f"font(:lang=en)", None, None),
                 (f"metainfo()", None, None), (f"metainfo(org.{stem}.metainfo.xml)", None, None)]
    elif kind == "devel":
        caps += [(f"pkgconfig({stem}-dev)", "EQ", (0, v, None)), (f"{name}-static", "EQ", evr),
                 (f"cmake({stem})", "EQ", (0, v, None)), (f"cmake({stem.capitalize()})", "EQ", (0, v, None))]
    else:
        caps += [(f"config({name})", "EQ", evr), (f"application({stem}.desktop)", None, None),
                 (f"mimehandler(application/x-{stem})", None, None), (f"{stem}-common", "EQ", evr),
                 (f"bundled(golang(github.com/{stem}/core))", None, None)]
    return caps


def requires_of(i, name, kind, evr, rng, targets):
    """About 10 requires; targets draws (index) of names whose capabilities may be used."""
    caps = []
    if kind == "core":
        return caps
    if rng.random() < 0.35:
        caps.append(("/bin/sh", None, None))
    caps.append((LIBC, None, None))
    if rng.random() < 0.6:
        caps.append(("libc.so.6(GLIBC_2.34)(64bit)", None, None))
    if kind == "python":
        caps += [("python(abi)", "EQ", (0, "3.11", None)), ("/usr/bin/python3", None, None)]
    if kind in ("lib", "tool", "data"):
        caps.append((f"config({name})", "EQ", evr))
    while len(caps) < 10:
        j = targets(rng)
        other = name_of(j)
        other_kind = kind_of(j)
        oldest = versions_of(j)[0]
        choice = rng.random()
        if other_kind == "core":
            caps.append(("libm.so.6()(64bit)", None, None))
        elif choice < 0.35:
            caps.append((other, "GE", (oldest[0], oldest[1], None)))
        elif choice < 0.5:
            caps.append((other, None, None))
        else:
            provided = [c for c in provides_of(j, other, other_kind, oldest, MACHINE)
                        if c[1] is None or c[0].startswith(("pkgconfig(", "perl(", "python3dist("))]
            if not provided:
                continue
            cap, flags, cevr = rng.choice(provided)
            if flags is not None:
                caps.append((cap, "GE", (0, oldest[1], None)))
            else:
                caps.append((cap, None, None))
    return caps


def entry(cap):
    name, flags, evr = cap
    text = f'<rpm:entry name="{xml_escape(name)}"'
    if flags is not None:
        e, v, r = evr
        text += f' flags="{flags}" epoch="{e}" ver="{v}"'
        if r is not None:
            text += f' rel="{r}"'
    return text + "/>"


def xml_escape(text):
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;").replace('"', "&quot;")


class Record:
    """One package: name index, version index, and everything the list says about it."""

    def __init__(self, i, j, installed_base):
        self.i, self.j = i, j
        self.name = name_of(i)
        self.kind = kind_of(i)
        self.evr = versions_of(i)[j]
        rng = random.Random(31 * i + j)
        if self.kind in ("python", "perl", "font", "doc", "data"):
            self.arch = "noarch"
        else:
            self.arch = MACHINE
        if i >= installed_base and j < len(versions_of(i)) - 1 and rng.random() < 0.003:
            self.arch = "ppc64le"  # a stray package this machine cannot install
        self.provides = provides_of(i, self.name, self.kind, self.evr, self.arch)
        if i < installed_base:
            # The installed base is consistent: it needs only capabilities of itself.
            targets = lambda r: r.randrange(installed_base)
        else:
            targets = lambda r: r.randrange(installed_base) if r.random() < 0.7 else r.randrange(i)
        self.requires = requires_of(i, self.name, self.kind, self.evr, rng, targets)
        self.obsoletes = []
        if rng.random() < 0.25:
            e, v, _ = self.evr
            self.obsoletes.append((f"{self.name}-compat", "LT", (e, v, None)))
            if rng.random() < 0.3:
                self.obsoletes.append((f"old{self.name}", None, None))
        e, v, r = self.evr
        self.filename = f"{self.name}-{v}-{r}.{self.arch}.rpm"
        self.location = f"Packages/{self.name[0]}/{self.filename}"
        self.sha = "%040x" % rng.getrandbits(160)
        self.rng = rng
        self.files = []
        if self.kind in ("tool", "core"):
            self.files.append(f"/usr/bin/{self.name}")
        if self.kind in ("lib", "tool", "data", "core"):
            self.files.append(f"/etc/{self.name}")

    def rpm_caps(self, caps):
        out = []
        for name, flags, evr in caps:
            if flags is None:
                out.append(name)
            else:
                op = {"EQ": "=", "GE": ">=", "LT": "<", "LE": "<=", "GT": ">"}[flags]
                e, v, r = evr
                out.append(f"{name} {op} {e}:{v}" + (f"-{r}" if r else ""))
        return out

    def xml(self):
        rng = self.rng
        e, v, r = self.evr
        desc = " ".join(rng.choice(WORDS) for _ in range(rng.randint(30, 90)))
        summary = " ".join(rng.choice(WORDS) for _ in range(rng.randint(3, 8)))
        files = "".join(f"    <file>{f}</file>\n" for f in self.files if f.startswith("/usr"))
        files += "".join(f'    <file type="dir">{f}</file>\n' for f in self.files if f.startswith("/etc"))
        obsoletes = ""
        if self.obsoletes:
            obsoletes = "      <rpm:obsoletes>\n" + "".join(f"        {entry(c)}\n" for c in self.obsoletes) + "      </rpm:obsoletes>\n"
        return (
            f'<package type="rpm">\n  <name>{self.name}</name>\n  <arch>{self.arch}</arch>\n'
            f'  <version epoch="{e}" ver="{v}" rel="{r}"/>\n'
            f'  <checksum type="sha" pkgid="YES">{self.sha}</checksum>\n'
            f"  <summary>{summary}</summary>\n  <description>{desc.capitalize()}.</description>\n"
            f"  <packager>Bench Build System &lt;build@example.invalid&gt;</packager>\n"
            f"  <url>https://example.invalid/projects/{self.name}</url>\n"
            f'  <time file="{1690000000 + self.i}" build="{1680000000 + self.i}"/>\n'
            f'  <size package="{rng.randint(4000, 9000000)}" installed="{rng.randint(8000, 30000000)}" archive="{rng.randint(8000, 30000000)}"/>\n'
            f'  <location href="{self.location}"/>\n'
            f"  <format>\n    <rpm:license>{rng.choice(['MIT', 'GPL-2.0-or-later', 'LGPL-2.1-or-later', 'BSD-3-Clause', 'Apache-2.0'])}</rpm:license>\n"
            f"    <rpm:vendor>Bench</rpm:vendor>\n    <rpm:group>{rng.choice(['System Environment/Libraries', 'Applications/System', 'Development/Libraries', 'Unspecified'])}</rpm:group>\n"
            f"    <rpm:buildhost>build{self.i % 13}.example.invalid</rpm:buildhost>\n"
            f"    <rpm:sourcerpm>{self.name}-{v}-{r}.src.rpm</rpm:sourcerpm>\n"
            f'    <rpm:header-range start="4504" end="{rng.randint(9000, 90000)}"/>\n'
            f"    <rpm:provides>\n" + "".join(f"      {entry(c)}\n" for c in self.provides) + "    </rpm:provides>\n"
            f"    <rpm:requires>\n" + "".join(f"      {entry(c)}\n" for c in self.requires) + "    </rpm:requires>\n"
            + obsoletes + files + "  </format>\n</package>\n"
        )


def chain_stem(level, k):
    rng = random.Random(5_000_011 * (level + 1) + 101 * k)
    return "".join(rng.choice(SYLLABLES) for _ in range(rng.randint(2, 3))) + f"x{level}{k}"


def chain_soname(level, k):
    return f"lib{chain_stem(level, k)}.so.{10 + level}()(64bit)"


class ChainRecord(Record):
    """Library package k of level `level` of the soname chains: provides a soname that
    nothing installed has, needs the sonames of its share of the next level."""

    def __init__(self, level, k):
        self.i, self.j = 1_000_000 + 100 * level + k, 1
        stem = chain_stem(level, k)
        self.name = f"lib{stem}{10 + level}"
        self.kind = "lib"
        self.evr = (0, f"{10 + level}.{k}.0", "1")
        self.arch = MACHINE
        e, v, r = self.evr
        self.provides = [(self.name, "EQ", self.evr), (f"{self.name}({ISA})", "EQ", self.evr),
                         (chain_soname(level, k), None, None),
                         (f"lib{stem}.so.{10 + level}({stem.upper()}_{10 + level}.0)(64bit)", None, None),
                         (f"pkgconfig({stem})", "EQ", (0, v, None))]
        self.requires = [("/bin/sh", None, None), (LIBC, None, None),
                         ("libc.so.6(GLIBC_2.34)(64bit)", None, None)]
        if level + 1 < len(CHAIN_WIDTHS):
            width = CHAIN_WIDTHS[level]
            self.requires += [(chain_soname(level + 1, n), None, None)
                              for n in range(CHAIN_WIDTHS[level + 1]) if n % width == k]
        self.obsoletes = []
        self.filename = f"{self.name}-{v}-{r}.{self.arch}.rpm"
        self.location = f"Packages/{self.name[0]}/{self.filename}"
        self.rng = random.Random(self.i)
        self.sha = "%040x" % self.rng.getrandbits(160)
        self.files = [f"/etc/{self.name}"]


def chain_records():
    return [ChainRecord(level, k) for level, width in enumerate(CHAIN_WIDTHS) for k in range(width)]


def make_record(i, j, installed_base):
    """Record (i, j); with soname chains, the updates of installed libraries and tools also
    need a soname of the chains' first level."""
    rec = Record(i, j, installed_base)
    if (CHAIN_WIDTHS and i < installed_base and rec.kind in ("lib", "tool")
            and j == len(versions_of(i)) - 1 and installed_version(i) != j):
        rec.requires.append((chain_soname(0, i % CHAIN_WIDTHS[0]), None, None))
    return rec


def layout(n):
    """(name index, version index) of every repository package, in file order."""
    result = []
    i = 0
    while len(result) < n:
        k = len(versions_of(i)) - 1
        for j in range(1, k + 1):
            if len(result) < n:
                result.append((i, j))
        i += 1
    return result


def installed_version(i):
    """Index of the installed version of base name i: older than the repository's best
    for UPDATE_SHARE of the names (an update is available), else the best."""
    k = len(versions_of(i)) - 1
    if i != 0 and random.Random(i * 11 + 5).random() < UPDATE_SHARE:
        return 0 if k == 1 else k - 1
    return k


def build_rpms(records, outdir, workdir, files):
    """Builds one rpm per record (one spec, one subpackage each) into outdir."""
    os.makedirs(outdir, exist_ok=True)
    top = tempfile.mkdtemp(prefix="rpmbuild-", dir=workdir)
    lines = ["Name: bench-e2e-src", "Version: 1", "Release: 1", "Summary: bench", "License: MIT",
             "AutoReqProv: no", "", "%description", "bench", ""]
    install = ["%install", "rm -rf %{buildroot}", "mkdir -p %{buildroot}/usr/bin %{buildroot}/etc"]
    for rec in records:
        e, v, r = rec.evr
        lines += [f"%package -n {rec.name}", f"Epoch: {e}", f"Version: {v}", f"Release: {r}",
                  f"Summary: {rec.name}", "AutoReqProv: no"]
        if rec.arch == "noarch":
            lines.append("BuildArch: noarch")
        for tag, caps in (("Provides", rec.provides), ("Requires", rec.requires), ("Obsoletes", rec.obsoletes)):
            for cap in rec.rpm_caps(caps):
                lines.append(f"{tag}: {cap}")
        lines += [f"%description -n {rec.name}", rec.name, ""]
    lines += install
    if files:
        lines += ["mkdir -p %{buildroot}/bin", "touch %{buildroot}/bin/sh %{buildroot}/usr/bin/python3", ""]
    lines.append("")
    for rec in records:
        lines.append(f"%files -n {rec.name}")
        if files and rec.kind == "core":
            lines += ["/bin/sh", "/usr/bin/python3"]
        lines.append("")
    spec = os.path.join(top, "bench.spec")
    with open(spec, "w") as out:
        out.write("\n".join(lines))
    subprocess.run(["rpmbuild", "-bb", "--quiet", "--nodeps", "--define", "_topdir " + top,
                    "--define", "_dbpath " + os.path.join(top, "rpmdb"), "--define", "_build_id_links none",
                    "--define", "debug_package %{nil}", "--define", "_binary_payload w9.gzdio", spec],
                   check=True, stdout=subprocess.DEVNULL)
    built = {}
    for root, _, names in os.walk(os.path.join(top, "RPMS")):
        for f in names:
            shutil.move(os.path.join(root, f), os.path.join(outdir, f))
            built[f] = os.path.join(outdir, f)
    shutil.rmtree(top, ignore_errors=True)
    return built


def sha1_of(path):
    digest = hashlib.sha1()
    with open(path, "rb") as stream:
        for block in iter(lambda: stream.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("count", type=int)
    parser.add_argument("outdir")
    parser.add_argument("--installed", type=int)
    parser.add_argument("--shape", choices=["base", "large"], default="base")
    args = parser.parse_args()
    global UPDATE_SHARE, CHAIN_WIDTHS
    if args.shape == "large":
        UPDATE_SHARE = 1 / 3
        CHAIN_WIDTHS = LARGE_CHAIN_WIDTHS
    out = args.outdir
    base = args.installed or (LARGE_INSTALLED if args.shape == "large" else BASE_INSTALLED)
    repo = os.path.join(out, "repo")
    os.makedirs(os.path.join(repo, "repodata"), exist_ok=True)

    # The installed base and the repository records of its updates, as real rpm files.
    installed = [Record(i, installed_version(i), base) for i in range(base)]
    build_rpms(installed, os.path.join(out, "installed"), out, files=True)
    chains = chain_records()
    positions = layout(args.count - len(chains))
    present = set(positions)
    updates = [make_record(i, len(versions_of(i)) - 1, base) for i in range(base)
               if installed_version(i) != len(versions_of(i)) - 1 and (i, len(versions_of(i)) - 1) in present]
    update_files = build_rpms(updates + chains, os.path.join(out, "updates"), out, files=False)
    real = {}
    for rec in updates + chains:
        path = update_files[rec.filename]
        target = os.path.join(repo, rec.location)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(path, target)
        real[(rec.i, rec.j)] = sha1_of(target)
    with open(os.path.join(out, "updates.txt"), "w") as stream:
        stream.write("".join(rec.filename + "\n" for rec in updates))

    plain = os.path.join(out, "primary.xml")
    names = set()
    with open(plain, "w", encoding="utf-8") as stream:
        stream.write('<?xml version="1.0" encoding="UTF-8"?>\n')
        stream.write(f'<metadata xmlns="{COMMON}" xmlns:rpm="{RPM}" packages="{len(positions) + len(chains)}">\n')
        for rec in [make_record(i, j, base) for i, j in positions] + chains:
            if (rec.i, rec.j) in real:
                rec.sha = real[(rec.i, rec.j)]
            names.add(rec.name)
            stream.write(rec.xml())
        stream.write("</metadata>\n")
    with open(plain, "rb") as source:
        data = source.read()
    open_sha = hashlib.sha1(data).hexdigest()
    packed = gzip.compress(data, compresslevel=6, mtime=0)
    sha = hashlib.sha1(packed).hexdigest()
    primary_name = f"repodata/{sha}-primary.xml.gz"
    with open(os.path.join(repo, primary_name), "wb") as stream:
        stream.write(packed)
    with open(os.path.join(repo, "repodata/repomd.xml"), "w") as stream:
        stream.write(
            '<?xml version="1.0" encoding="UTF-8"?>\n'
            f'<repomd xmlns="{REPO}" xmlns:rpm="http://linux.duke.edu/metadata/rpm">\n'
            "  <revision>1700000000</revision>\n"
            '  <data type="primary">\n'
            f'    <checksum type="sha">{sha}</checksum>\n'
            f'    <open-checksum type="sha">{open_sha}</open-checksum>\n'
            f'    <location href="{primary_name}"/>\n'
            "    <timestamp>1700000000</timestamp>\n"
            f"    <size>{len(packed)}</size>\n    <open-size>{len(data)}</open-size>\n"
            "  </data>\n</repomd>\n")
    print(f"{len(positions) + len(chains)} packages, {len(names)} names, primary {len(packed)} bytes "
          f"({len(data)} uncompressed), {len(installed)} installed, {len(updates)} updates")


if __name__ == "__main__":
    main()
