#!/usr/bin/python3
"""Runner of the end-to-end benchmark; bench_e2e.sh calls it after staging the install.

  e2e_bench.py --stage DIR --work DIR [--sizes 1000,10000,50000] [--shapes base,large] [--runs 5]
               [--log-dir DIR]

For each shape and size (shapes: see gen_e2e.py): generates the repository and the installed base (gen_e2e.py, kept in the
work folder for later runs), puts them into a simulated device, and runs side by side on
the same files, RUNS times each:
- updater --check-only --max-wait-time -1 in the device (empty cache, file: repository);
- a full installing run, updater --max-wait-time -1 (check pass, then two installing
  passes that read the cached list), from a fresh copy of the installed base each time;
  a wrapper around rpm records how long rpm itself took;
- xmllint --stream --noout on the compressed list;
- gzip -dc | rpmmd2solv;
- dnf check-update with a cold cache (fresh cache folder, throwaway install root).
Prints a markdown table of medians: wall seconds and peak resident MiB, and the ratios.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "system"))

CONFIG = """<?xml version="1.0" encoding="UTF-8"?>
<updater>
  <log level="%(level)s">
    <logger type="stderr"/>
  </log>
  <product>
    <name>benchproduct</name>
  </product>
  <user-agent>
    <base>updater</base>
    <prodname>benchproduct</prodname>
  </user-agent>
  <repository id="base">
    <name>Bench repository</name>
    <location href="file:///srv/repo"/>
  </repository>
</updater>
"""

RPM_WRAPPER = """#!/bin/sh
exec /usr/bin/time -a -f "%e" -o /var/log/rpm.time /usr/bin/rpm "$@"
"""


def timed(command, **kwargs):
    """Runs a host command under /usr/bin/time; returns (seconds, peak RSS KiB of the
    largest process, exit code, CPU seconds of all its processes). A child forked by this Python process would count the
    interpreter's own pages until it execs, so the measuring parent is time(1)."""
    with tempfile.NamedTemporaryFile(prefix="bench-time-") as report:
        code = subprocess.run(["/usr/bin/time", "-q", "-f", "%e %M %U %S", "-o", report.name] + command,
                              **kwargs).returncode
        seconds, rss, user, system = open(report.name).read().split()[-4:]
    return float(seconds), int(rss), code, float(user) + float(system)


def generate(size, work, shape):
    folder = os.path.join(work, "data-%d" % size if shape == "base" else "data-%s-%d" % (shape, size))
    stamp = os.path.join(folder, "done")
    if not os.path.exists(stamp):
        shutil.rmtree(folder, ignore_errors=True)
        subprocess.run(["/usr/bin/python3", os.path.join(HERE, "gen_e2e.py"), str(size), folder, "--shape", shape], check=True,
                       stderr=subprocess.DEVNULL)
        db = os.path.join(folder, "rpmdb")
        os.makedirs(db)
        subprocess.run(["rpm", "--dbpath", db, "--initdb"], check=True)
        rpms = sorted(os.path.join(folder, "installed", f) for f in os.listdir(os.path.join(folder, "installed")))
        subprocess.run(["rpm", "--dbpath", db, "-i", "--justdb", "--nodeps", "--noscripts", "--notriggers"] + rpms,
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        open(stamp, "w").close()
    return folder


def primary_file(data):
    repodata = os.path.join(data, "repo", "repodata")
    return os.path.join(repodata, [f for f in os.listdir(repodata) if f.endswith("primary.xml.gz")][0])


class UpdaterDevice:
    def __init__(self, data, stage, level):
        from device import Device
        self.data = data
        self.device = Device(config=CONFIG % {"level": level}, stage=stage)
        repo = self.device.path("/srv/repo")
        shutil.rmtree(repo)
        shutil.copytree(os.path.join(data, "repo"), repo)
        self.device.write("/usr/local/bin/rpm", RPM_WRAPPER, mode=0o755)
        self.reset()

    def reset(self):
        """Installed base as generated, no status, empty cache."""
        dev = self.device
        shutil.rmtree(dev.path("/var/lib/rpm"))
        shutil.copytree(os.path.join(self.data, "rpmdb"), dev.path("/var/lib/rpm"))
        for name in ("/var/lib/updater/status", "/var/lib/updater/update-state", "/var/log/rpm.time"):
            if dev.exists(name):
                os.unlink(dev.path(name))
        cache = dev.path("/var/cache/updater")
        shutil.rmtree(cache)
        os.makedirs(cache)

    def run(self, args):
        self.reset()
        result = self.device.run(["/usr/bin/time", "-f", "%e %M %U %S", "-o", "/tmp/updater.time", "/usr/bin/updater"]
                                 + args, timeout=600)
        if result.returncode != 0:
            raise RuntimeError("updater %s failed: %s" % (" ".join(args), result.stderr[-3000:]))
        seconds, rss, user, system = self.device.read("/tmp/updater.time").split()
        rpm_seconds = sum(float(x) for x in self.device.read("/var/log/rpm.time", default="").split())
        return float(seconds), int(rss), rpm_seconds, result.stderr, float(user) + float(system)

    def cleanup(self):
        self.device.cleanup()


def dnf_command(root, data, cache):
    return ["dnf", "check-update", "--installroot", root, "--config", os.path.join(root, "etc/dnf/dnf.conf"),
            "--releasever", "1", "--setopt=reposdir=/nonexistent", "--setopt=logdir=" + os.path.join(root, "log"),
            "--setopt=persistdir=/persist", "--setopt=cachedir=" + cache,
            "--repofrompath=bench,file://" + os.path.join(data, "repo")]


def make_dnf_root(data, work):
    root = tempfile.mkdtemp(prefix="dnfroot-", dir=work)
    os.makedirs(os.path.join(root, "etc/dnf"))
    os.makedirs(os.path.join(root, "log"))
    os.makedirs(os.path.join(root, root.lstrip("/"), "log"))
    with open(os.path.join(root, "etc/dnf/dnf.conf"), "w") as stream:
        stream.write("[main]\ngpgcheck=0\nreposdir=/nonexistent\n")
    # Debian's rpm keeps its database at /root/.rpmdb; inside the install root.
    shutil.copytree(os.path.join(data, "rpmdb"), os.path.join(root, "root/.rpmdb"))
    return root


def median(values):
    return statistics.median(values)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--stage", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--sizes", default="1000,10000,50000")
    parser.add_argument("--shapes", default="base")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--tools", default="updater,full,xmllint,rpmmd2solv,dnf")
    parser.add_argument("--log-dir", help="keeps the updater's output of the first run of each size here")
    parser.add_argument("--log-level", default="info", help="the updater's log level (trace shows every decision)")
    args = parser.parse_args()
    tools = args.tools.split(",")
    rows = []
    for shape, size in [(shape, int(s)) for shape in args.shapes.split(",") for s in args.sizes.split(",")]:
        data = generate(size, args.work, shape)
        tag = "%d" % size if shape == "base" else "%s-%d" % (shape, size)
        gz = primary_file(data)
        results = {tool: [] for tool in tools}
        device = UpdaterDevice(data, args.stage, args.log_level) if ("updater" in tools or "full" in tools) else None
        dnf_root = make_dnf_root(data, args.work) if "dnf" in tools else None
        try:
            for run in range(args.runs):
                for tool in tools:
                    if tool == "updater":
                        seconds, rss, _, stderr, cpu = device.run(["--check-only", "--max-wait-time", "-1"])
                        results[tool].append((seconds, rss, 0.0, cpu))
                        if run == 0 and args.log_dir:
                            with open(os.path.join(args.log_dir, "check-%s.log" % tag), "w") as out:
                                out.write(stderr)
                    elif tool == "full":
                        seconds, rss, rpm_seconds, stderr, cpu = device.run(["--max-wait-time", "-1"])
                        if "packages installed OK" not in stderr:
                            raise RuntimeError("full run installed nothing: " + stderr[-3000:])
                        results[tool].append((seconds, rss, rpm_seconds, cpu))
                        if run == 0 and args.log_dir:
                            with open(os.path.join(args.log_dir, "full-%s.log" % tag), "w") as out:
                                out.write(stderr)
                    elif tool == "xmllint":
                        seconds, rss, code, cpu = timed(["xmllint", "--stream", "--noout", gz])
                        assert code == 0
                        results[tool].append((seconds, rss, 0.0, cpu))
                    elif tool == "rpmmd2solv":
                        seconds, rss, code, cpu = timed(["sh", "-c", 'gzip -dc "$0" | rpmmd2solv >/dev/null', gz])
                        assert code == 0
                        results[tool].append((seconds, rss, 0.0, cpu))
                    elif tool == "dnf":
                        # dnf takes the cache folder as a host path (only its list of expired
                        # repositories goes below the install root), so it names a folder inside
                        # the throwaway root; a fresh one per run keeps every run cold.
                        cache = os.path.join(dnf_root, "cache-%d" % run)
                        seconds, rss, code, cpu = timed(dnf_command(dnf_root, data, cache), stdout=subprocess.DEVNULL,
                                                   stderr=subprocess.DEVNULL)
                        if code not in (0, 100):
                            raise RuntimeError("dnf check-update failed with %d" % code)
                        shutil.rmtree(cache, ignore_errors=True)
                        shutil.rmtree(os.path.join(dnf_root, cache.lstrip("/")), ignore_errors=True)
                        results[tool].append((seconds, rss, 0.0, cpu))
        finally:
            if device:
                device.cleanup()
            if dnf_root:
                shutil.rmtree(dnf_root, ignore_errors=True)
        summary = {tool: (median([r[0] for r in values]), median([r[1] for r in values]) / 1024.0,
                          median([r[2] for r in values]), median([r[3] for r in values]))
                   for tool, values in results.items()}
        rows.append((size if shape == "base" else "%d %s" % (size, shape), os.path.getsize(gz), os.path.getsize(os.path.join(data, "primary.xml")), summary))
        print_table(rows, tools, args.runs)


def print_table(rows, tools, runs):
    labels = {"updater": "updater --check-only", "full": "updater full run", "xmllint": "xmllint --stream",
              "rpmmd2solv": "rpmmd2solv", "dnf": "dnf check-update (cold)"}
    print("\nMedians of %d runs: wall seconds (CPU seconds, user and system, of all its processes)"
          " / peak RSS MiB" % runs)
    print("| packages | primary.xml.gz | uncompressed | " + " | ".join(labels[t] for t in tools) + " |")
    print("|---:|---:|---:|" + "---:|" * len(tools))
    for size, gz, plain, summary in rows:
        cells = []
        for tool in tools:
            seconds, mib, rpm_seconds, cpu = summary[tool]
            cell = "%.2f s (%.2f) / %.0f MiB" % (seconds, cpu, mib)
            if tool == "full":
                cell += " (rpm %.2f s)" % rpm_seconds
            cells.append(cell)
        print("| %s | %.1f MB | %.0f MB | %s |" % (size, gz / 1e6, plain / 1e6, " | ".join(cells)))
    if "updater" in tools:
        print("\nRatios of updater --check-only to each peer (wall time, CPU time / memory):")
        print("| packages | " + " | ".join(labels[t] for t in tools if t != "updater") + " |")
        print("|---:|" + "---:|" * (len(tools) - 1))
        for size, _, _, summary in rows:
            u_t, u_m, _, u_c = summary["updater"]
            cells = []
            for tool in tools:
                if tool == "updater":
                    continue
                seconds, mib, rpm_seconds, cpu = summary[tool]
                if tool == "full":
                    cells.append("full/check %.2f (without rpm %.2f), CPU %.2f" % (seconds / u_t, (seconds - rpm_seconds) / u_t,
                                                                               cpu / u_c))
                else:
                    cells.append("%.2f, %.2f / %.2f" % (u_t / seconds, u_c / cpu, u_m / mib))
            print("| %s | %s |" % (size, " | ".join(cells)))
    sys.stdout.flush()


if __name__ == "__main__":
    main()
