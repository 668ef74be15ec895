#!/usr/bin/env python3
"""A plant on one machine: two stations' trace files written row by row, each sent by its
own kvtrccat --send (under Wine) to a real syslog-ng collector on the loopback address,
the central store read back, then lnav on it. The collector is stopped and started and
one sender is killed and started again while rows keep being written: nothing may be
lost, and a line may come twice only within one confirmed batch of the sender.

    plant_test.py SOURCE_DIR BUILD_DIR
"""

import collections
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

# Lines a sender sends between two saved positions, at most (a batch is also cut after a
# second): what a restart may send again.
BATCH_LINES = 10000
LEVELS = [30, 30, 10, 20, 40, 0, -1, 30]


class Writer(threading.Thread):
    """Writes rows into every station's current file, in turns, until told to stop."""

    def __init__(self, stations, pause):
        super().__init__(daemon=True)
        self.stations, self.pause = stations, pause
        self.halt = threading.Event()

    def run(self):
        n = 0
        while not self.halt.is_set():
            for s in self.stations:
                k = len(s.rows)
                s.write(LEVELS[k % len(LEVELS)], 'row %d of %s: "quoted" \\ | \u00c4rger \u20ac' % (k + 1, s.name))
            n += 1
            self.halt.wait(self.pause)

    def stop(self):
        self.halt.set()
        self.join(30)


def check_store(collector, station, allowed_repeats):
    """Every row once at least, first copies in writing order, right station and text;
    returns the number of lines stored twice or more."""
    lines = collector.lines(station.name)
    seen = collections.Counter()
    order = []
    for obj in lines:
        if obj.get("station") != station.name:
            raise AssertionError("%s: a line of station %r in its store: %r" % (station.name, obj.get("station"), obj))
        if seen[obj["seq"]] == 0:
            order.append(obj["seq"])
        seen[obj["seq"]] += 1
        seq, level, text = station.rows[obj["seq"] - 1]
        if obj["text"] != text or obj["levelNo"] != level or obj["level"] != kit.LEVEL_NAMES[level]:
            raise AssertionError("%s: line %d stored as %r" % (station.name, seq, obj))
    missing = [s for s, _, _ in station.rows if not seen[s]]
    if missing:
        raise AssertionError("%s: %d rows never stored, the first %s" % (station.name, len(missing), missing[:5]))
    if order != sorted(order):
        raise AssertionError("%s: stored out of order near %s" % (station.name,
                             next(a for a, b in zip(order, order[1:]) if b < a)))
    repeats = sum(c - 1 for c in seen.values())
    if repeats > allowed_repeats:
        raise AssertionError("%s: %d lines stored again, more than %d" % (station.name, repeats, allowed_repeats))
    return repeats


def stored(collector, station):
    return collector.count(station.name)


def on_alarm(*_):
    raise AssertionError("the plant test ran past its bound")


def main():
    root, build = sys.argv[1], sys.argv[2]
    work = tempfile.mkdtemp(prefix="kvplant.")
    signal.signal(signal.SIGALRM, on_alarm)
    signal.alarm(400)
    wine = kit.Wine(root, build)
    collector = kit.Collector(root, work)
    stations = [kit.Station(work, "press1"), kit.Station(work, "press2")]
    senders = [kit.Sender(wine, work, collector, s) for s in stations]
    relayed = kit.Station(work, "press3")
    relay = kit.Relay(root, work, wine, collector, [relayed])
    writer = None
    try:
        collector.start()
        # Rows before the senders start, and rows while they run.
        for s in stations:
            for k in range(50):
                s.write(LEVELS[k % len(LEVELS)], "before %d" % k)
        for snd in senders:
            snd.start()
        writer = Writer(stations, 0.01)
        writer.start()
        kit.wait_for("300 rows per station", lambda: all(len(s.rows) >= 300 for s in stations), 60)
        writer.stop()
        for s in stations:
            kit.wait_for("the store of %s complete" % s.name, lambda s=s: stored(collector, s) >= len(s.rows), 60)
            if check_store(collector, s, 0) != 0:
                raise AssertionError("lines stored twice without a restart")
        print("plant: %d and %d lines stored once each" % (len(stations[0].rows), len(stations[1].rows)))
        # What is no station's line never names a file of the store: a host name that is no
        # station name, another application, a message that is no JSON object.
        with socket.create_connection(("127.0.0.1", collector.port), timeout=10) as c:
            for host, app, msg in (("../../evil", "kvtrace", '{"seq":1}'), ("press1", "other", '{"seq":2}'),
                                   ("press1", "kvtrace", "no object")):
                frame = ("<134>1 2026-12-09T10:00:00.000+00:00 %s %s - - - %s" % (host, app, msg)).encode()
                c.sendall(b"%d %s" % (len(frame), frame))
        other = os.path.join(collector.store, "_other.log")
        kit.wait_for("3 lines in _other.log", lambda: os.path.exists(other) and open(other).read().count("\n") == 3, 30)
        if sorted(os.listdir(collector.store)) != ["_other.log", "press1", "press2"] or os.path.exists(
                os.path.join(collector.store, "..", "..", "evil")) or stored(collector, stations[0]) != len(stations[0].rows):
            raise AssertionError("the store holds %s" % sorted(os.listdir(collector.store)))

        # The collector stopped and started, a sender killed and started, rows written throughout.
        writer = Writer(stations, 0.01)
        writer.start()
        collector.stop()
        for snd in senders:
            kit.wait_for("%s to report the collector away" % snd.station.name,
                         lambda snd=snd: "collector" in snd.errors(), 30)
        # A collector that closes while it reads a batch: the sender may not take that for
        # delivered (nothing of it was stored).
        dying = kit.DyingCollector(collector.port)
        if dying.wait(60) == 0:
            raise AssertionError("the dying collector got no lines")
        before = [stored(collector, s) for s in stations]
        up = collector.start()
        kit.wait_for("lines after the collector's restart",
                     lambda: all(stored(collector, s) > b for s, b in zip(stations, before)), 60)
        resumed_collector = time.monotonic() - up
        kit.wait_for("the senders to answer again", lambda: all("again" in snd.errors() for snd in senders), 30)
        senders[1].kill()
        killed_at = stored(collector, stations[1])
        restarted = senders[1].start()
        kit.wait_for("lines of the restarted sender",
                     lambda: stored(collector, stations[1]) > killed_at, 60)
        resumed_sender = time.monotonic() - restarted
        rows_then = len(stations[0].rows)
        kit.wait_for("100 rows more", lambda: len(stations[0].rows) >= rows_then + 100, 60)
        writer.stop()
        writer = None
        for s in stations:
            kit.wait_for("the store of %s complete" % s.name, lambda s=s: all(
                q in {o["seq"] for o in collector.lines(s.name)} for q, _, _ in s.rows[-1:]), 60)
        repeats = [check_store(collector, stations[0], BATCH_LINES), check_store(collector, stations[1], 2 * BATCH_LINES)]
        print("plant: after a collector restart and a sender killed: %d and %d lines, none lost, %d and %d repeated; "
              "lines again %.2f s after the collector's start, %.2f s after the sender's"
              % (len(stations[0].rows), len(stations[1].rows), repeats[0], repeats[1], resumed_collector, resumed_sender))

        # A station through the Linux relay: kvtrccat as syslog-ng's program source.
        for k in range(40):
            relayed.write(LEVELS[k % len(LEVELS)], "relayed %d" % k)
        relay.start()
        kit.wait_for("the relayed station stored", lambda: stored(collector, relayed) >= len(relayed.rows), 60)
        check_store(collector, relayed, 0)
        relay.stop()
        stations.append(relayed)
        print("plant: %d lines through the relay" % len(relayed.rows))

        # lnav on the central store: lines per station and level as the store holds them.
        files = [os.path.join(collector.store, s.name, f) for s in stations
                 for f in sorted(os.listdir(os.path.join(collector.store, s.name)))]
        rows = kit.lnav_counts(work, root, files,
                               ";SELECT station, levelNo, log_level, count(*) FROM kvtrace_json GROUP BY 1, 2, 3")
        got = {(r[0], int(r[1])): (r[2], int(r[3])) for r in rows}
        lnav_level = {-1: "notice", 0: "notice", 10: "error", 20: "warning", 30: "info", 40: "debug"}
        want = {}
        for s in stations:
            for obj in collector.lines(s.name):
                key = (s.name, obj["levelNo"])
                want[key] = (lnav_level[obj["levelNo"]], want.get(key, ("", 0))[1] + 1)
        if got != want:
            raise AssertionError("lnav counts %s, the store holds %s" % (sorted(got.items()), sorted(want.items())))
        print("plant: lnav counts %d lines in %d station/level groups" % (sum(c for _, c in got.values()), len(got)))
    finally:
        if writer:
            writer.stop()
        for snd in senders:
            snd.kill()
        relay.stop()
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
