"""The pieces of a plant on one Linux machine: stations' trace directories written the
way the server writes them, a real rsyslog collector of the test's own on the loopback
address (deploy/rsyslog/kvtrace.conf with its own store, work directory and pid file),
kvtrccat under Wine as a station's sender or through the relay's service unit, and lnav
reading the central store. Every process started here is stopped by its owner's stop()."""

import datetime
import json
import os
import re
import shlex
import shutil
import signal
import socket
import subprocess
import time
import zoneinfo

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
    stamp = "%s %02d:%02d:%02d,%02d [%05d]" % (WEEKDAYS[when.weekday()], when.hour, when.minute, when.second,
                                               when.microsecond // 10000, seq)
    line = "%s|%-4.4s|%s|%s|%s|%s|0|%d\r\n" % (stamp, TAGS.get(level, ""), process, module, function, text,
                                                (level & 0xFFFF) + (0xF << 16))
    return line.encode("utf-16-le")


class Station:
    """A station's trace directory; rows go into the daily file of their time on the
    station's clock (zone: its time zone, default the test's)."""

    def __init__(self, root, name, zone=None):
        self.name, self.zone = name, zone and zoneinfo.ZoneInfo(zone)
        self.dir = os.path.join(root, name)
        os.makedirs(self.dir, exist_ok=True)
        self.rows = []  # (seq, level, text, aware time) in writing order

    def write(self, level, text):
        when = datetime.datetime.now(self.zone).astimezone(self.zone)
        when = when.replace(microsecond=when.microsecond // 10000 * 10000)  # what the file keeps
        seq = len(self.rows) + 1
        with open(os.path.join(self.dir, daily_name(when)), "ab") as f:  # opened per line, as safe writing does
            f.write(file_line(when, seq, level, text))
        self.rows.append((seq, level, text, when))
        return seq


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Collector:
    """rsyslogd of the test's own with deploy/rsyslog/kvtrace.conf, its two listeners
    moved to free ports of 127.0.0.1 and its store to work/store. Only the modules that
    file loads: no system log socket, no other input."""

    def __init__(self, root, work):
        self.work = os.path.join(work, "rsyslog")
        os.makedirs(os.path.join(self.work, "spool"), exist_ok=True)
        self.store = os.path.join(work, "store")
        self.relp, self.tcp = free_port(), free_port()
        with open(os.path.join(root, "deploy", "rsyslog", "kvtrace.conf")) as f:
            text = f.read().replace("/var/log/kvtrace", self.store)
        for old, port in (('port="2514"', self.relp), ('port="5514"', self.tcp)):
            assert text.count(old) == 1, "kvtrace.conf listens on %s once" % old
            text = text.replace(old, 'port="%d" address="127.0.0.1"' % port)
        conf = os.path.join(self.work, "kvtrace.conf")
        with open(conf, "w") as f:
            f.write(text)
        self.conf = os.path.join(self.work, "rsyslog.conf")  # rsyslogd's own messages: on its stderr
        with open(self.conf, "w") as f:
            f.write('global(workDirectory="%s")\ninclude(file="%s")\n' % (os.path.join(self.work, "spool"), conf))
        self.exe = shutil.which("rsyslogd", path=os.environ.get("PATH", "") + ":/usr/sbin:/sbin")
        self.proc = None

    def url(self, scheme):
        return "%s://127.0.0.1:%d" % (scheme, self.relp if scheme == "relp" else self.tcp)

    def start(self):
        with open(os.path.join(self.work, "stderr"), "ab") as err:
            self.proc = subprocess.Popen([self.exe, "-n", "-f", self.conf, "-i", os.path.join(self.work, "pid")],
                                         stdin=subprocess.DEVNULL, stdout=err, stderr=err)
        wait_for("rsyslogd to listen", self.listening, 30)

    def listening(self):
        if self.proc.poll() is not None:
            raise AssertionError("rsyslogd ended with %s; see %s" % (self.proc.returncode, self.work))
        try:
            with socket.create_connection(("127.0.0.1", self.tcp), timeout=1):
                return True
        except OSError:
            return False

    def stop(self):
        """A stop as a service manager does it: TERM, then waiting until it has ended."""
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
                raise AssertionError("rsyslogd did not stop within 30 s")

    def files(self, station):
        d = os.path.join(self.store, station)
        return [os.path.join(d, n) for n in sorted(os.listdir(d))] if os.path.isdir(d) else []

    def count(self, station):
        """The stored lines of a station, counted without reading them."""
        n = 0
        for name in self.files(station):
            with open(name, "rb") as f:
                n += f.read().count(b"\n")
        return n

    def lines(self, station):
        """The stored lines of a station as parsed objects, in file order."""
        out = []
        for name in self.files(station):
            with open(name, encoding="utf-8") as f:
                out.extend(json.loads(line) for line in f if line.endswith("\n"))
        return out


class Wine:
    """Runs the build's Windows programs in its own prefix through scripts/wine-run."""

    def __init__(self, root, build):
        self.run = [os.path.join(root, "scripts", "wine-run"), "--prefix", os.path.join(build, "wine")]
        self.bin = os.path.join(build, "bin")

    def start(self, exe, args, stdout, stderr, env=None):
        return subprocess.Popen(self.run + [os.path.join(self.bin, exe)] + args, env=env,
                                stdin=subprocess.DEVNULL, stdout=stdout, stderr=stderr)


class Sender:
    """kvtrccat --send for some stations, with its state file and its errors in a file;
    command: the program and its options, else kvtrccat --follow --send url."""

    def __init__(self, wine, work, name, url, stations, command=None, env=None):
        self.wine, self.env = wine, env
        self.state = os.path.join(work, name + ".state")
        self.err = os.path.join(work, name + ".err")
        self.command = command or ["kvtrccat.exe", "--follow", "--send", url, "--state", windows_path(self.state)] + [
            "%s=%s" % (s.name, windows_path(s.dir)) for s in stations]
        self.proc = None

    def start(self):
        with open(self.err, "ab") as err:
            self.proc = self.wine.start(self.command[0], self.command[1:], subprocess.DEVNULL, err, self.env)

    def kill(self):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGKILL)  # a crash: no chance to save anything
            self.proc.wait(20)

    def errors(self):
        with open(self.err, encoding="utf-8", errors="replace") as f:
            return f.read()


def unit_sender(root, wine, work, station, settings):
    """The relay's service unit for one station: its ExecStart as systemd expands it,
    with the instance's environment file holding settings, the state directory under
    work and the program from the build."""
    env = dict(os.environ, **settings)
    with open(os.path.join(root, "deploy", "relay", "kvtrccat@.service")) as f:
        unit = f.read()
    line = re.search(r"(?m)^ExecStart=(.*)$", unit).group(1)
    line = line.replace("%i", station.name).replace("%S", os.path.abspath(work))
    words = []
    for w in shlex.split(line):
        whole = re.fullmatch(r"\$\{(\w+)\}|\$(\w+)", w)
        if whole and whole.group(2):  # $NAME: split at blanks, nothing when empty
            words += settings.get(whole.group(2), "").split()
        else:
            words.append(re.sub(r"\$\{(\w+)\}", lambda m: settings.get(m.group(1), ""), w))
    assert words[1] == "/opt/kvtrace/kvtrccat.exe", words
    return Sender(wine, work, station.name + "-unit", None, [], ["kvtrccat.exe"] + words[2:], env)


def lnav_rows(work, root, files, query):
    """Runs lnav headless with the project's format on files; the rows of the query."""
    home = os.path.join(work, "lnav-home")
    os.makedirs(home, exist_ok=True)
    env = dict(os.environ, HOME=home, TERM="dumb")
    fmt = os.path.join(root, "deploy", "lnav", "kvtrace_json.json")
    subprocess.run(["lnav", "-i", fmt], env=env, check=True, stdout=subprocess.DEVNULL, timeout=60)
    out = subprocess.run(["lnav", "-n", "-c", query] + files, env=env, check=True, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, timeout=120).stdout.decode()
    return [l.split() for l in out.splitlines() if l.strip()][1:]  # after the header
