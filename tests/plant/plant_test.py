#!/usr/bin/env python3
"""A plant on one machine: stations' trace files written row by row, sent by kvtrccat
--send (under Wine) to a real rsyslog of the test's own on the loopback address, the
central store read back, then lnav on it. The collector is restarted again and again
and a sender is killed while rows keep being written: over RELP nothing may be lost and
a line may come twice only within one window of unanswered lines.

    plant_test.py SOURCE_DIR BUILD_DIR
"""

import json
import os
import shutil
import signal
import socket
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import plantkit as kit  # noqa: E402

WINDOW = 1024  # RELP frames a sender leaves unanswered at most: what a resend repeats
LEVELS = [30, 30, 10, 20, 40, 0, -1, 30]
LNAV_LEVELS = {-1: "notice", 0: "notice", 10: "error", 20: "warning", 30: "info", 40: "debug"}


class Writer(threading.Thread):
    """Writes rows into every station's current file, about `rate` a second each."""

    def __init__(self, stations, rate):
        super().__init__(daemon=True)
        self.stations, self.pause = stations, 1.0 / rate
        self.halt = threading.Event()
        self.start()

    def run(self):
        while not self.halt.wait(self.pause):
            for s in self.stations:
                k = len(s.rows)
                s.write(LEVELS[k % len(LEVELS)], 'row %d of %s: "quoted" \\ | \u00c4rger \u20ac' % (k + 1, s.name))

    def stop(self):
        self.halt.set()
        self.join(30)


def check_store(collector, station, biggest_resend):
    """Every row at least once with its text, level and time (its station's UTC offset
    included), the first copies in writing order, and no resend larger than
    biggest_resend lines. Returns (stored, missing, repeated)."""
    stored = collector.lines(station.name)
    seen, order, resends, high = set(), [], [], 0
    for obj in stored:
        seq, level, text, when = station.rows[obj["seq"] - 1]
        want_ts = when.isoformat(timespec="milliseconds")
        if (obj["station"], obj["text"], obj["levelNo"], obj["level"], obj["ts"]) != (
                station.name, text, level, kit.LEVEL_NAMES[level], want_ts):
            raise AssertionError("%s: line %d stored as %r, written at %s" % (station.name, seq, obj, want_ts))
        if seq not in seen:
            seen.add(seq)
            order.append(seq)
        if seq <= high:
            resends.append(high - seq + 1)
        high = max(high, seq)
    missing = [s for s, _, _, _ in station.rows if s not in seen]
    if missing:
        raise AssertionError("%s: %d rows never stored, the first %s" % (station.name, len(missing), missing[:5]))
    if order != sorted(order):
        raise AssertionError("%s: stored out of order near %s" % (station.name,
                             next(a for a, b in zip(order, order[1:]) if b < a)))
    # A restart of the collector repeats one window at most, a killed sender (once) also
    # what was confirmed after its last save.
    top = sorted([0, 0] + resends)[-2:]
    if top[0] > biggest_resend or top[1] > 2 * biggest_resend:
        raise AssertionError("%s: lines sent again %s, more than %d" % (station.name, resends, biggest_resend))
    return len(stored), len(missing), len(stored) - len(seen), max(resends + [0])


def complete(collector, station):
    kit.wait_for("%s's %d rows stored" % (station.name, len(station.rows)),
                 lambda: {o["seq"] for o in collector.lines(station.name)} >= {r[0] for r in station.rows}, 90, 0.25)


def on_alarm(*_):
    raise AssertionError("the plant test ran past its bound")


def main():
    root, build = sys.argv[1], sys.argv[2]
    os.environ["TZ"] = "Europe/Berlin"  # east of UTC, with summer time: offsets that are not zero
    time.tzset()
    work = tempfile.mkdtemp(prefix="kvplant.")
    signal.signal(signal.SIGALRM, on_alarm)
    signal.alarm(540)
    wine = kit.Wine(root, build)
    collector = kit.Collector(root, work)
    press1, press2, press4 = (kit.Station(work, n) for n in ("press1", "press2", "press4"))
    merged = kit.Sender(wine, work, "merged", collector.url("relp"), [press1, press2])  # two stations, one sender
    tcp = kit.Sender(wine, work, "tcp", collector.url("tcp"), [press4])
    senders, writer = [merged, tcp], None
    try:
        collector.start()
        for s in (press1, press2):
            for k in range(50):
                s.write(LEVELS[k % len(LEVELS)], "before %d" % k)
        merged.start()
        writer = Writer([press1, press2], 100)
        kit.wait_for("300 rows per station", lambda: len(press2.rows) >= 300, 60)
        writer.stop()
        for s in (press1, press2):
            complete(collector, s)
            if check_store(collector, s, 0)[2]:
                raise AssertionError("%s: lines stored twice without a restart" % s.name)
        print("plant: %d and %d lines of two stations merged by one sender, stored once each"
              % (len(press1.rows), len(press2.rows)))

        # What is no station's line never names a file of the store: a host name that is no
        # station name, another application, a message that is no JSON object.
        with socket.create_connection(("127.0.0.1", collector.tcp), timeout=10) as c:
            for host, app, msg in (("../../evil", "kvtrace", '{"seq":1}'), ("press1", "other", '{"seq":2}'),
                                   ("press1", "kvtrace", "no object")):
                frame = ("<134>1 2026-12-09T10:00:00.000+00:00 %s %s - - - %s" % (host, app, msg)).encode()
                c.sendall(b"%d %s" % (len(frame), frame))
        other = os.path.join(collector.store, "_other.log")
        kit.wait_for("3 lines in _other.log", lambda: os.path.exists(other) and open(other).read().count("\n") == 3, 30)
        if sorted(os.listdir(collector.store)) != ["_other.log", "press1", "press2"] or os.path.exists(
                os.path.join(work, "evil")):
            raise AssertionError("the store holds %s" % sorted(os.listdir(collector.store)))

        # About 500 rows a second per station while the collector is restarted again and again
        # (stopped, started at once) and then the RELP sender killed and started again.
        tcp.start()
        writer = Writer([press1, press2, press4], 500)
        restarts, longest = 6, 0
        for _ in range(restarts):
            before = collector.count("press1")
            kit.wait_for("press1's store to grow", lambda: collector.count("press1") > before + 200, 60)
            down = time.monotonic()
            collector.stop()
            collector.start()
            longest = max(longest, time.monotonic() - down)
        kit.wait_for("the RELP sender to answer again", lambda: "answers again" in merged.errors(), 60)
        merged.kill()
        merged.start()
        rows = len(press1.rows)
        kit.wait_for("1,000 rows more", lambda: len(press1.rows) >= rows + 1000, 60)
        writer.stop()
        writer = None
        for s in (press1, press2):
            complete(collector, s)
            written = len(s.rows)
            stored, missing, repeated, most = check_store(collector, s, WINDOW)
            print("plant: %s over RELP through %d restarts of the collector (each away %.2f s at most) and a killed "
                  "sender: %d lines written, %d stored, %d missing, %d stored twice (%d at most at once)"
                  % (s.name, restarts, longest, written, stored, missing, repeated, most))
        lost = len(press4.rows) - len({o["seq"] for o in collector.lines("press4")})
        print("plant: press4 over plain TCP through the same restarts: %d lines written, %d never stored "
              "(plain TCP promises nothing)" % (len(press4.rows), lost))
        tcp.kill()

        # One line of 16,000 control characters (a power loss leaves such lines): cut to fit,
        # and the lines after it stored, by RELP and by plain TCP.
        for scheme in ("relp", "tcp"):
            s = kit.Station(work, "big-" + scheme)
            for k in range(5):
                s.write(30, "before %d" % k)
            s.write(30, "\x01" * 16000)
            for k in range(200):
                s.write(30, "after %d" % k)
            once = kit.Sender(wine, work, s.name, None, [], ["kvtrccat.exe", "--send", collector.url(scheme),
                                                              "%s=%s" % (s.name, kit.windows_path(s.dir))])
            once.start()
            if once.proc.wait(120) != 0:
                raise AssertionError("kvtrccat --send %s ended with %d: %s" % (scheme, once.proc.returncode, once.errors()))
            kit.wait_for("the lines after the long one (%s)" % scheme, lambda: collector.count(s.name) >= 206, 60)
            got = collector.lines(s.name)
            big = got[5]["text"]
            if [o["text"] for o in got[6:]] != ["after %d" % k for k in range(200)] or not big.endswith(" [cut]") or \
                    set(big[:-6]) != {"\x01"} or len(json.dumps(got[5], separators=(",", ":"))) > 8000:
                raise AssertionError("%s: the long line stored as %d characters %r..., then %d lines"
                                     % (scheme, len(big), big[-10:], len(got) - 6))
            print("plant: a line of 16,000 control characters by %s: stored cut to %d characters, the 200 after it "
                  "stored" % (scheme, len(big) - 6))

        # A station in another time zone through the Linux relay's service unit.
        press3 = kit.Station(work, "press3", "America/New_York")
        for k in range(40):
            press3.write(LEVELS[k % len(LEVELS)], "relayed %d" % k)
        os.makedirs(os.path.join(work, "kvtrace"), exist_ok=True)
        relay = kit.unit_sender(root, wine, work, press3, {
            "KVTRACE_COLLECTOR": collector.url("relp"), "KVTRACE_DIR": kit.windows_path(press3.dir),
            "KVTRACE_OPTIONS": "", "TZ": "America/New_York"})
        senders.append(relay)
        relay.start()
        complete(collector, press3)
        check_store(collector, press3, 0)
        print("plant: %d lines of a station in New York's time through the relay's unit, offset %s"
              % (len(press3.rows), press3.rows[0][3].isoformat()[-6:]))

        # lnav on the central store: lines per station and level as the store holds them.
        stations = [press1, press2, press3]
        rows = kit.lnav_rows(work, root, [f for s in stations for f in collector.files(s.name)],
                             ";SELECT station, levelNo, log_level, count(*) FROM kvtrace_json GROUP BY 1, 2, 3")
        got = {(r[0], int(r[1])): (r[2], int(r[3])) for r in rows}
        want = {}
        for s in stations:
            for obj in collector.lines(s.name):
                key = (s.name, obj["levelNo"])
                want[key] = (LNAV_LEVELS[obj["levelNo"]], want.get(key, ("", 0))[1] + 1)
        if got != want:
            raise AssertionError("lnav counts %s, the store holds %s" % (sorted(got.items()), sorted(want.items())))
        print("plant: lnav counts %d lines in %d station/level groups" % (sum(c for _, c in got.values()), len(got)))
    finally:
        if writer:
            writer.stop()
        for snd in senders:
            snd.kill()
        collector.stop()
        signal.alarm(0)
    shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except AssertionError as e:
        print("plant test FAILED: %s" % e, file=sys.stderr)
        sys.exit(1)
