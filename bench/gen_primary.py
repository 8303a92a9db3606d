#!/usr/bin/python3
"""Writes a gzip-compressed package list ("primary") of N generated packages.

  gen_primary.py N OUTPUT.xml.gz

Each package has about 8 provides, 10 requires and 1 obsoletes, like a typical embedded
distribution; names, versions and dependency targets are deterministic.
"""

import gzip
import platform
import random
import sys

COMMON = "http://linux.duke.edu/metadata/common"
RPM = "http://linux.duke.edu/metadata/rpm"


def entry(name, flags=None, epoch="0", ver=None, rel=None):
    text = f'<rpm:entry name="{name}"'
    if ver is not None:
        text += f' flags="{flags}" epoch="{epoch}" ver="{ver}"'
        if rel is not None:
            text += f' rel="{rel}"'
    return text + "/>"


def package(index, count, rng, arch):
    name = f"pkg{index:05d}"
    ver = f"{rng.randint(0, 9)}.{rng.randint(0, 30)}.{rng.randint(0, 99)}"
    rel = f"r{rng.randint(1, 20)}"
    sha = "%040x" % rng.getrandbits(160)
    provides = [entry(name, "EQ", "0", ver, rel), entry(f"{name}({arch})", "EQ", "0", ver, rel)]
    provides += [entry(f"lib{name}-{k}.so.{k}()(64bit)") for k in range(3)]
    provides += [entry(f"{name}-feature{k}", "EQ", "0", "1.0") for k in range(3)]
    requires = [entry("/bin/sh")]
    for k in range(9):
        target = f"pkg{rng.randrange(count):05d}"
        if k % 3 == 0:
            requires.append(entry(target, "GE", "0", f"{rng.randint(0, 9)}.0"))
        elif k % 3 == 1:
            requires.append(entry(f"lib{target}-{k % 3}.so.{k % 3}()(64bit)"))
        else:
            requires.append(entry(f"{target}-feature{k % 3}"))
    obsoletes = [entry(f"{name}-old", "LT", "0", "1.0")]
    return (
        f'<package type="rpm">\n  <name>{name}</name>\n  <arch>{arch}</arch>\n'
        f'  <version epoch="0" ver="{ver}" rel="{rel}"/>\n'
        f'  <checksum type="sha" pkgid="YES">{sha}</checksum>\n'
        f"  <summary>Generated package {name}</summary>\n"
        f"  <description>Generated package {name} for the package list benchmark.</description>\n"
        f"  <packager>bench</packager>\n  <url>http://example.invalid/{name}</url>\n"
        f'  <time file="1700000000" build="1700000000"/>\n'
        f'  <size package="{rng.randint(2000, 900000)}" installed="{rng.randint(2000, 3000000)}" archive="1"/>\n'
        f'  <location href="packages/{name}-{ver}-{rel}.{arch}.rpm"/>\n'
        f"  <format>\n    <rpm:license>MIT</rpm:license>\n    <rpm:vendor>bench</rpm:vendor>\n"
        f"    <rpm:group>System/Bench{index % 17}</rpm:group>\n    <rpm:buildhost>bench</rpm:buildhost>\n"
        f"    <rpm:sourcerpm>{name}-{ver}-{rel}.src.rpm</rpm:sourcerpm>\n"
        f'    <rpm:header-range start="4504" end="9000"/>\n'
        f"    <rpm:provides>{''.join(provides)}</rpm:provides>\n"
        f"    <rpm:requires>{''.join(requires)}</rpm:requires>\n"
        f"    <rpm:obsoletes>{''.join(obsoletes)}</rpm:obsoletes>\n"
        f"  </format>\n</package>\n"
    )


def main():
    count = int(sys.argv[1])
    output = sys.argv[2]
    rng = random.Random(count)
    machine = platform.machine()
    with gzip.open(output, "wt", encoding="utf-8", compresslevel=6) as out:
        out.write('<?xml version="1.0" encoding="UTF-8"?>\n')
        out.write(f'<metadata xmlns="{COMMON}" xmlns:rpm="{RPM}" packages="{count}">\n')
        for index in range(count):
            arch = "noarch" if index % 2 else machine
            out.write(package(index, count, rng, arch))
        out.write("</metadata>\n")


if __name__ == "__main__":
    main()
