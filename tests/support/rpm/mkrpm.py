#!/usr/bin/python3
"""Builds one small rpm package with rpmbuild and prints the path of the result. It is noarch
unless --arch names another architecture (aarch64, armv7hl, x86_64, ...): the package is
then built for that target, whatever the machine, and holds only the data files.

Every relation option may be repeated; its value is written into the spec file as is,
for example --requires "libfoo >= 1.2" or --requires-pre "/bin/sh".

  mkrpm.py --name foo --version 1.0 --release 1 [--epoch 2] [--group "System/Base"]
           [--provides CAP]... [--requires CAP]... [--requires-pre CAP]...
           [--requires-post CAP]... [--obsoletes CAP]... [--conflicts CAP]...
           [--file /usr/share/foo/data]... [--pre-script "exit 1"] [--post-script "echo hi"]
           [--no-auto] [--arch ARCH] --outdir DIR
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile


def build_spec(args):
    lines = [
        f"Name: {args.name}",
        f"Version: {args.version}",
        f"Release: {args.release}",
        "Summary: test package " + args.name,
        "License: MIT",
        f"Group: {args.group}",
    ]
    if args.arch == "noarch":
        lines.append("BuildArch: noarch")
    if args.epoch is not None:
        lines.append(f"Epoch: {args.epoch}")
    if args.no_auto:
        lines.append("AutoReqProv: no")
    for tag, values in (("Provides", args.provides), ("Requires", args.requires),
                        ("Requires(pre)", args.requires_pre),
                        ("Requires(post)", args.requires_post),
                        ("Obsoletes", args.obsoletes), ("Conflicts", args.conflicts)):
        for value in values:
            lines.append(f"{tag}: {value}")
    lines += ["", "%description", "Test package " + args.name + ".", ""]
    lines += ["%install", "rm -rf %{buildroot}", "mkdir -p %{buildroot}"]
    for path in args.file:
        lines.append(f"mkdir -p %{{buildroot}}{os.path.dirname(path)}")
        lines.append(f"echo '{args.name}-{args.version}' > %{{buildroot}}{path}")
    lines.append("")
    if args.pre_script:
        lines += ["%pre", args.pre_script, ""]
    if args.post_script:
        lines += ["%post", args.post_script, ""]
    lines.append("%files")
    lines += args.file
    lines.append("")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description="build a small rpm package")
    parser.add_argument("--name", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--release", default="1")
    parser.add_argument("--epoch")
    parser.add_argument("--group", default="Unspecified")
    for option in ("provides", "requires", "requires-pre", "requires-post", "obsoletes",
                   "conflicts", "file"):
        parser.add_argument("--" + option, action="append", default=[])
    parser.add_argument("--pre-script")
    parser.add_argument("--post-script")
    parser.add_argument("--no-auto", action="store_true",
                        help="no automatic requires and provides")
    parser.add_argument("--arch", default="noarch")
    parser.add_argument("--outdir", required=True)
    args = parser.parse_args()

    os.makedirs(args.outdir, exist_ok=True)
    topdir = tempfile.mkdtemp(prefix="mkrpm-")
    try:
        spec = os.path.join(topdir, args.name + ".spec")
        with open(spec, "w") as out:
            out.write(build_spec(args))
        # The host's own rpm setup must not leak in: fixed topdir, no debuginfo, and no look
        # at the host's rpm database (rpmbuild opens it to check build requirements).
        command = ["rpmbuild", "-bb", "--quiet", "--nodeps",
                   "--define", "_topdir " + topdir,
                   "--define", "_dbpath " + os.path.join(topdir, "rpmdb"),
                   "--define", "_build_id_links none",
                   "--define", "debug_package %{nil}",
                   "--define", "_binary_payload w9.gzdio"]
        # BuildArch accepts only architectures the machine can build; --target any.
        if args.arch != "noarch":
            command += ["--target", args.arch]
        command.append(spec)
        result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                text=True)
        if result.returncode != 0:
            sys.stderr.write(result.stdout)
            sys.stderr.write("rpmbuild failed for %s\n" % args.name)
            return 1
        built = []
        for root, _, files in os.walk(os.path.join(topdir, "RPMS")):
            built += [os.path.join(root, f) for f in files if f.endswith(".rpm")]
        if len(built) != 1:
            sys.stderr.write("rpmbuild produced %d packages\n" % len(built))
            return 1
        target = os.path.join(args.outdir, os.path.basename(built[0]))
        shutil.move(built[0], target)
        print(target)
        return 0
    finally:
        shutil.rmtree(topdir, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
