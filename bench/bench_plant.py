#!/usr/bin/env python3
"""Plant figures, measured in one run against baselines of the same run:
  - kvtrccat merging two stations by time, beside the same lines of one station;
  - kvtrccat --send to a real syslog-ng on the loopback address, beside kvtrccat --json
    writing the same lines to a file;
  - a sender killed half-way and started again, and the collector stopped and started
    under a sender: the lines sent twice and the time until lines are stored again.

    bench_plant.py SOURCE_DIR BUILD_DIR [lines per station]   (default 1000000: the start under Wine
    must stay small beside the figures)
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
    lines = []
    for k in range(count):
        when = start + datetime.timedelta(milliseconds=100 * k + 10 * offset_cc)
        lines.append(kit.file_line(when, k + 1, [30, 30, 20, 40][k % 4],
                                   "state READY -> RUNNING, row %d of %s" % (k + 1, name)))
        s.rows.append((k + 1, 30, ""))
    with open(os.path.join(s.dir, kit.daily_name(start)), "wb") as f:
        f.write(b"".join(lines))
    return s


def run(wine, args, out_path, times=3):
    """The CPU time of kvtrccat (its own process; the machine is shared, so wall time says
    little), the least of a few runs."""
    best = None
    for _ in range(times):
        with open(out_path, "wb") as out:
            p = wine.start("kvtrccat.exe", args, out, subprocess.DEVNULL)
            _, status, usage = os.wait4(p.pid, 0)
            p.returncode = os.waitstatus_to_exitcode(status)
        if p.returncode != 0:
            raise SystemExit("kvtrccat %s ended with %d" % (" ".join(args), p.returncode))
        t = usage.ru_utime + usage.ru_stime
        best = t if best is None else min(best, t)
    return best


def wall(wine, args, out_path):
    start = time.monotonic()
    with open(out_path, "wb") as out:
        code = wine.start("kvtrccat.exe", args, out, subprocess.DEVNULL).wait(600)
    if code != 0:
        raise SystemExit("kvtrccat %s ended with %d" % (" ".join(args), code))
    return time.monotonic() - start


def collector_cpu(collector):
    """CPU seconds syslog-ng has used so far."""
    fields = open("/proc/%d/stat" % collector.proc.pid).read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def count_lines(path):
    with open(path, "rb") as f:
        return sum(1 for _ in f)


def main():
    root, build = sys.argv[1], sys.argv[2]
    n = int(sys.argv[3]) if len(sys.argv) > 3 else 1000000
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
        t0 = run(wine, [kit.windows_path(empty)], out, 5)
        print("start of kvtrccat under Wine: %.2f s of CPU (taken off the figures below)" % t0)

        for fmt, extra in (("text", []), ("JSON", ["--json"])):
            t1 = run(wine, extra + [pa], out)
            assert count_lines(out) == n
            t2 = run(wine, extra + [pa, pb], out)
            assert count_lines(out) == 2 * n
            r1, r2 = n / (t1 - t0), 2 * n / (t2 - t0)
            print("%s: one station %d lines in %.2f s of CPU, two merged %d lines in %.2f s: %.0f and %.0f lines per "
                  "CPU second, merged/one %.2f" % (fmt, n, t1, 2 * n, t2, r1, r2, r2 / r1))

        collector.start()
        # Sending waits for the collector, so wall time beside the same lines as JSON to a file.
        t_json = min(wall(wine, ["--json", pa], out) for _ in range(3))
        state = os.path.join(work, "send.state")
        before = collector_cpu(collector)
        t_send = wall(wine, ["--send", "127.0.0.1:%d" % collector.port, "--state", kit.windows_path(state), pa], out)
        stored = collector.count("press1")
        assert stored == n, "stored %d of %d" % (stored, n)
        print("send: %d lines stored by syslog-ng in %.2f s (%.0f lines/s; syslog-ng's CPU %.2f s); --json to a file "
              "%.2f s (%.0f lines/s); send/json %.2f" % (n, t_send, n / t_send, collector_cpu(collector) - before,
                                                         t_json, n / t_json, t_json / t_send))

        # A sender killed half-way (a crash) and started again with its state file.
        snd = kit.Sender(wine, work, collector, b)
        snd.start()
        kit.wait_for("half of press2 stored", lambda: collector.count("press2") >= n // 2, 300, 0.01)
        snd.kill()
        before = collector.count("press2")
        restarted = snd.start()
        kit.wait_for("press2 stored again", lambda: collector.count("press2") > before, 120, 0.01)
        resume = time.monotonic() - restarted
        kit.wait_for("press2 complete", lambda: len({o["seq"] for o in collector.lines("press2")}) == n, 300, 0.1)
        seqs = [o["seq"] for o in collector.lines("press2")]
        print("sender killed at %d of %d lines stored: %d lines sent again; lines stored again %.2f s after its start "
              "(%.2f s of it the start under Wine)" % (before, n, len(seqs) - n, resume, t0))
        snd.kill()

        # The collector stopped under a sender and started again.
        c = write_station(work, "press3", n, 7)
        snd = kit.Sender(wine, work, collector, c)
        snd.start()
        kit.wait_for("half of press3 stored", lambda: collector.count("press3") >= n // 2, 300, 0.01)
        collector.stop()
        kit.wait_for("the sender to see the collector away", lambda: "collector" in snd.errors(), 60, 0.01)
        before = collector.count("press3")
        up = collector.start()
        kit.wait_for("press3 stored again", lambda: collector.count("press3") > before, 120, 0.01)
        resume = time.monotonic() - up
        kit.wait_for("press3 complete", lambda: len({o["seq"] for o in collector.lines("press3")}) == n, 300, 0.1)
        print("collector stopped at %d of %d lines stored: %d lines sent again; lines stored again %.2f s after its "
              "start" % (before, n, len(collector.lines("press3")) - n, resume))
        snd.kill()
    finally:
        collector.stop()
    shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
