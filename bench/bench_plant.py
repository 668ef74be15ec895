#!/usr/bin/env python3
"""Plant figures, measured in one run against baselines of the same run:
  - kvtrccat merging two stations by time, beside the same lines of one station;
  - lines per second stored by a real rsyslog (deploy/rsyslog/kvtrace.conf, on the
    loopback address) through kvtrccat --send over RELP and over plain TCP, beside
    kvtrccat --json writing the same lines to a file (goal: RELP 20,000 lines/s, a plant
    of 20 stations at 1,000 lines/s each), and the CPU seconds per million lines of
    kvtrccat (its Wine process), of Wine's server and of rsyslog.

    bench_plant.py SOURCE_DIR BUILD_DIR [lines per station]   (default 300000)
"""

import datetime
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "plant"))
import plantkit as kit  # noqa: E402


def write_station(work, name, count, offset_cc):
    """count rows one tenth of a second apart from 08:00 of yesterday; the second station's
    stamps fall between the first one's."""
    s = kit.Station(work, name)
    start = datetime.datetime.combine(datetime.date.today() - datetime.timedelta(days=1), datetime.time(8))
    with open(os.path.join(s.dir, kit.daily_name(start)), "wb") as f:
        f.write(b"".join(kit.file_line(start + datetime.timedelta(milliseconds=100 * k + 10 * offset_cc), k + 1,
                                       [30, 30, 20, 40][k % 4], "state READY -> RUNNING, row %d of %s" % (k + 1, name))
                         for k in range(count)))
    return s


def cpu_of(pid):
    """CPU seconds a running process has used so far (0 when it is gone)."""
    try:
        fields = open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()
    except OSError:
        return 0.0
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def wineserver_pid(prefix):
    """The wineserver of the prefix: it works in /tmp/.wine-UID/server-DEV-INODE of the prefix."""
    st = os.stat(prefix)
    name = "server-%x-%x" % (st.st_dev, st.st_ino)
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if os.readlink("/proc/%s/cwd" % pid).endswith(name):
                return int(pid)
        except OSError:
            pass
    return None


def run(wine, args, out_path):
    """kvtrccat to a file: (wall seconds, CPU seconds of its own process)."""
    start = time.monotonic()
    with open(out_path, "wb") as out:
        p = wine.start("kvtrccat.exe", args, out, subprocess.DEVNULL)
        _, status, usage = os.wait4(p.pid, 0)
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit("kvtrccat %s ended with %d" % (" ".join(args), os.waitstatus_to_exitcode(status)))
    return time.monotonic() - start, usage.ru_utime + usage.ru_stime


class Counter:
    """Lines of a growing file, counted on the bytes added since the last look."""

    def __init__(self, path):
        self.path, self.at, self.n = path, 0, 0

    def lines(self):
        if os.path.exists(self.path):
            with open(self.path, "rb") as f:
                f.seek(self.at)
                data = f.read()
            self.at += len(data)
            self.n += data.count(b"\n")
        return self.n


def main():
    root, build = sys.argv[1], sys.argv[2]
    n = int(sys.argv[3]) if len(sys.argv) > 3 else 300000
    work = tempfile.mkdtemp(prefix="kvbench.")
    wine = kit.Wine(root, build)
    collector = kit.Collector(root, work)
    try:
        a = write_station(work, "press1", n, 0)
        b = write_station(work, "press2", n, 5)
        pa, pb = "press1=" + kit.windows_path(a.dir), "press2=" + kit.windows_path(b.dir)
        out = os.path.join(work, "out")
        run(wine, ["--help"], out)  # a warm prefix for every later start
        empty = os.path.join(work, "empty")
        os.makedirs(empty)
        t0 = min(run(wine, [kit.windows_path(empty)], out)[1] for _ in range(3))
        print("start of kvtrccat under Wine: %.2f s of CPU (taken off the merge figures)" % t0)
        for fmt, extra in (("text", []), ("JSON", ["--json"])):
            t1 = min(run(wine, extra + [pa], out)[1] for _ in range(3))
            t2 = min(run(wine, extra + [pa, pb], out)[1] for _ in range(3))
            r1, r2 = n / (t1 - t0), 2 * n / (t2 - t0)
            print("%s: one station %d lines in %.2f s of CPU, two merged %d lines in %.2f s: %.0f and %.0f lines per "
                  "CPU second, merged/one %.2f" % (fmt, n, t1, 2 * n, t2, r1, r2, r2 / r1))

        # The same lines stored by rsyslog, beside --json into a file.
        collector.start()
        server = wineserver_pid(os.path.join(wine.run[2], "pfx"))
        wall_json = min(run(wine, ["--json", pa], out)[0] for _ in range(3))
        print("--json into a file: %d lines in %.2f s: %.0f lines/s" % (n, wall_json, n / wall_json))
        for scheme in ("relp", "tcp"):
            day = datetime.date.today() - datetime.timedelta(days=1)
            counter = Counter(os.path.join(collector.store, scheme, day.isoformat() + ".jsonl"))
            rs0, ws0 = cpu_of(collector.proc.pid), cpu_of(server) if server else 0.0
            start = time.monotonic()
            wall, cpu = run(wine, ["--send", collector.url(scheme), scheme + "=" + kit.windows_path(a.dir)], out)
            kit.wait_for("%d lines stored over %s" % (n, scheme), lambda: counter.lines() >= n, 600, 0.02)
            stored = time.monotonic() - start
            if counter.lines() != n:
                raise SystemExit("%s: %d lines stored of %d" % (scheme, counter.lines(), n))
            rs, ws = cpu_of(collector.proc.pid) - rs0, (cpu_of(server) - ws0) if server else float("nan")
            print("%s: %d lines stored in %.2f s (kvtrccat ended after %.2f s): %.0f lines/s stored%s, %.2f of --json "
                  "into a file; CPU s per million lines: kvtrccat %.2f, Wine's server %.2f, rsyslog %.2f"
                  % ("RELP" if scheme == "relp" else "plain TCP", n, stored, wall, n / stored,
                     " (goal 20,000)" if scheme == "relp" else "", wall_json / stored, cpu * 1e6 / n, ws * 1e6 / n,
                     rs * 1e6 / n))
    finally:
        collector.stop()
    shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
