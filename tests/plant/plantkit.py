"""The pieces of a plant on one Linux machine: stations' trace directories written the
way the server writes them, a real syslog-ng collector on the loopback address with
files of its own, kvtrccat under Wine as a station's sender, and lnav reading the
central store. Every process started here is stopped by its owner's stop()."""

import datetime
import json
import os
import re
import signal
import socket
import subprocess
import threading
import time

WEEKDAYS = ["MO", "TU", "WE", "TH", "FR", "SA", "SU"]  # datetime.weekday() order
TAGS = {-1: "OPR", 0: "SVR", 10: "ERR", 20: "WRN", 30: "INF", 40: "DIAG"}
LEVEL_NAMES = {-1: "operator", 0: "server", 10: "error", 20: "warning", 30: "info", 40: "diagnose"}


def wait_for(what, pred, timeout, step=0.05):
    """Waits until pred() is true; raises with what at the bound."""
    end = time.monotonic() + timeout
    while True:
        value = pred()
        if value:
            return value
        if time.monotonic() > end:
            raise AssertionError("timed out after %g s waiting for %s" % (timeout, what))
        time.sleep(step)


def daily_name(day):
    return "TS%02d%02d%02d.txt" % (day.year % 100, day.month, day.day)


def file_line(when, seq, level, text, process="p.exe [1]", module="m [2]", function="f"):
    """One line as the server's writer formats it, UTF-16 little-endian with CR LF."""
    tag = TAGS.get(level, "")
    stamp = "%s %02d:%02d:%02d,%02d [%05d]" % (WEEKDAYS[when.weekday()], when.hour, when.minute, when.second,
                                               when.microsecond // 10000, seq)
    line = "%s|%-4.4s|%s|%s|%s|%s|0|%d\r\n" % (stamp, tag, process, module, function, text,
                                                (level & 0xFFFF) + (0xF << 16))
    return line.encode("utf-16-le")


class Station:
    """A station's trace directory; rows go into the daily file of their time."""

    def __init__(self, root, name):
        self.name = name
        self.dir = os.path.join(root, name)
        os.makedirs(self.dir, exist_ok=True)
        self.rows = []  # (seq, level, text) in writing order

    def write(self, level, text, when=None):
        when = when or datetime.datetime.now()
        seq = len(self.rows) + 1
        with open(os.path.join(self.dir, daily_name(when)), "ab") as f:  # opened per line, as safe writing does
            f.write(file_line(when, seq, level, text))
        self.rows.append((seq, level, text))
        return seq


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class SyslogNg:
    """One syslog-ng of the test's own: its configuration, persist, pid and control files
    and its log all under work."""

    def spawn(self):
        w = self.work
        self.log = open(os.path.join(w, "syslog-ng.log"), "ab")
        self.proc = subprocess.Popen(["syslog-ng", "-F", "-e", "-f", self.conf, "-R", os.path.join(w, "persist"),
                                      "-p", os.path.join(w, "pid"), "-c", os.path.join(w, "ctl"), "--no-caps"],
                                     stdin=subprocess.DEVNULL, stdout=self.log, stderr=self.log)

    def stop(self):
        if not self.proc or self.proc.poll() is not None:
            return
        subprocess.run(["syslog-ng-ctl", "stop", "-c", os.path.join(self.work, "ctl")],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=20)
        try:
            self.proc.wait(20)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.log.close()


class Collector(SyslogNg):
    """syslog-ng with deploy/syslog-ng/central.conf, its definitions pointed at a port of
    the loopback address and a store of the test's own."""

    def __init__(self, root, work, port=None):
        self.work = work
        self.port = port or free_port()
        self.store = os.path.join(work, "store")
        self.conf = configured(os.path.join(root, "deploy", "syslog-ng", "central.conf"),
                               {"kv_ip": "127.0.0.1", "kv_port": str(self.port), "kv_store": self.store},
                               os.path.join(work, "central.conf"))
        self.proc = None
        self.log = None

    def start(self):
        self.spawn()
        wait_for("the collector to listen", self.listening, 30)
        return time.monotonic()

    def listening(self):
        if self.proc.poll() is not None:
            raise AssertionError("syslog-ng ended with %s; see %s/syslog-ng.log" % (self.proc.returncode, self.work))
        try:
            with socket.create_connection(("127.0.0.1", self.port), timeout=1):
                return True
        except OSError:
            return False


    def count(self, station):
        """The stored lines of a station, counted without reading them."""
        d = os.path.join(self.store, station)
        n = 0
        for name in os.listdir(d) if os.path.isdir(d) else []:
            with open(os.path.join(d, name), "rb") as f:
                n += f.read().count(b"\n")
        return n

    def lines(self, station):
        """The stored lines of a station as parsed objects, in file order."""
        out = []
        d = os.path.join(self.store, station)
        for name in sorted(os.listdir(d)) if os.path.isdir(d) else []:
            with open(os.path.join(d, name), encoding="utf-8") as f:
                for line in f:
                    if line.endswith("\n"):
                        out.append(json.loads(line))
        return out


def configured(path, values, out):
    """A deploy configuration with its definitions set to values."""
    with open(path) as f:
        text = f.read()
    for key, value in values.items():
        text, n = re.subn(r'(?m)^@define %s .*$' % key, lambda _: '@define %s "%s"' % (key, value), text)
        assert n == 1, "%s defines %s once" % (path, key)
    with open(out, "w") as f:
        f.write(text)
    return out


class DyingCollector:
    """A collector that shuts down while it serves a sender: it reads one connection to its
    end, then closes its port and that connection without having stored anything, as a
    collector stopped at that moment does with what it had read but not yet written."""

    def __init__(self, port):
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", port))
        self.listener.listen(8)
        self.swallowed = 0  # bytes read and dropped
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        conn, _ = self.listener.accept()
        conn.settimeout(30)
        try:
            while True:
                data = conn.recv(65536)
                if not data:
                    break
                self.swallowed += len(data)
        finally:
            self.listener.close()
            conn.close()

    def wait(self, timeout):
        self.thread.join(timeout)
        if self.thread.is_alive():
            self.listener.close()
            raise AssertionError("no sender came to the dying collector")
        return self.swallowed


class Relay(SyslogNg):
    """syslog-ng with deploy/syslog-ng/relay.conf: kvtrccat under Wine as its program source,
    forwarding to the collector."""

    def __init__(self, root, work, wine, collector, stations):
        self.work = os.path.join(work, "relay")
        os.makedirs(os.path.join(self.work, "queue"), exist_ok=True)
        self.conf = configured(os.path.join(root, "deploy", "syslog-ng", "relay.conf"), {
            "kv_central": "127.0.0.1", "kv_port": str(collector.port),
            "kv_kvtrccat": "%s --prefix %s %s" % (wine.run_script, wine.prefix, os.path.join(wine.bin, "kvtrccat.exe")),
            "kv_stations": " ".join("%s=%s" % (s.name, windows_path(s.dir).replace("\\", "/")) for s in stations),
            "kv_state": windows_path(os.path.join(self.work, "relay.state")).replace("\\", "/"),
            "kv_queue": os.path.join(self.work, "queue")}, os.path.join(self.work, "relay.conf"))
        self.proc = None

    def start(self):
        self.spawn()


class Wine:
    """Runs the build's Windows programs in its own prefix through scripts/wine-run."""

    def __init__(self, root, build):
        self.run_script = os.path.join(root, "scripts", "wine-run")
        self.prefix = os.path.join(build, "wine")
        self.bin = os.path.join(build, "bin")

    def start(self, exe, args, stdout, stderr):
        return subprocess.Popen([self.run_script, "--prefix", self.prefix, os.path.join(self.bin, exe)] + args,
                                stdin=subprocess.DEVNULL, stdout=stdout, stderr=stderr)


class Sender:
    """kvtrccat --send for one station, with its state file and its errors in a file."""

    def __init__(self, wine, work, collector, station, follow=True):
        self.wine, self.work, self.collector, self.station = wine, work, collector, station
        self.follow = follow
        self.state = os.path.join(work, station.name + ".state")
        self.err = os.path.join(work, station.name + ".err")
        self.proc = None

    def start(self):
        with open(self.err, "ab") as err:
            self.proc = self.wine.start("kvtrccat.exe", ["--follow"] * self.follow + [
                                                         "--send", "127.0.0.1:%d" % self.collector.port,
                                                         "--state", windows_path(self.state),
                                                         "%s=%s" % (self.station.name, windows_path(self.station.dir))],
                                        subprocess.DEVNULL, err)
        return time.monotonic()

    def kill(self):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGKILL)  # a crash: no chance to save anything
            self.proc.wait(20)

    def errors(self):
        with open(self.err, encoding="utf-8", errors="replace") as f:
            return f.read()


def lnav_counts(work, root, files, query):
    """Runs lnav headless with the project's format on files; the rows of the query."""
    home = os.path.join(work, "lnav-home")
    os.makedirs(home, exist_ok=True)
    env = dict(os.environ, HOME=home, TERM="dumb")
    fmt = os.path.join(root, "deploy", "lnav", "kvtrace_json.json")
    subprocess.run(["lnav", "-i", fmt], env=env, check=True, stdout=subprocess.DEVNULL, timeout=60)
    out = subprocess.run(["lnav", "-n", "-c", query] + files, env=env, check=True, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, timeout=120).stdout.decode()
    rows = [l.split() for l in out.splitlines() if l.strip()]
    return rows[1:]  # after the header
