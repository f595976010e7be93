"""What the end-to-end tests share: the programs, processes that are always
reaped, waiting for events with deadlines, a device played by the test on a
pseudo-terminal, and a small model of a correct host, written from the
README's stream decisions and independent of the library and the tools.

VANDRY_MONITOR, VANDRY_SIM and VANDRY_MAN_DIR name the programs and the
manual pages (CTest sets them).
"""
import fcntl
import json
import os
import pty
import select
import signal
import socket
import struct
import subprocess
import tempfile
import termios
import threading
import time
import tty
import unittest

MONITOR = os.environ.get("VANDRY_MONITOR", "vandry-monitor")
SIM = os.environ.get("VANDRY_SIM", "vandry-sim")
MAN_DIR = os.environ.get("VANDRY_MAN_DIR", os.path.join(os.path.dirname(__file__), "..", "man"))

# Generous: the suite runs on a loaded two-core machine. Waits end as soon
# as the event comes, so a long deadline costs nothing when all is well.
DEADLINE = 30

HEAD, TAIL = 0xFA, 0x5F
UPLOAD, REQUEST, STOP = 0xA5, 0xE5, 0xE4
NEEDED = {0: 31, 1: 65, 2: 95}  # payload bytes a type needs, its type byte included
STOP_FRAME = bytes([HEAD, STOP, 0, 0, TAIL])


# ---- A correct host, modelled -------------------------------------------

def decisions(data):
    """Frames a correct host accepts in `data`, per the README's stream
    decisions, as (offset of the byte whose arrival decides it, payload),
    and a count of what it passed over."""
    accepted, passed = [], {"too long": 0, "wrong tail": 0, "short": 0, "request": 0, "unknown command": 0}
    p, decided = 0, 0  # the scan position, and the byte it has waited for so far
    while p < len(data):
        if data[p] != HEAD:
            p += 1
            continue
        if p + 3 >= len(data):
            break  # the header is not in: pending
        length = data[p + 2] | data[p + 3] << 8
        if length + 5 > 500:
            decided = max(decided, p + 3)
            passed["too long"] += 1
            p += 1
            continue
        end = p + 4 + length
        if end >= len(data):
            break  # the tail is not in: pending
        decided = max(decided, end)
        command = data[p + 1]
        if data[end] != TAIL:
            passed["wrong tail"] += 1
            p += 1
        elif command == UPLOAD:
            payload = data[p + 4:end]
            if not payload or len(payload) < NEEDED.get(payload[0], 0):
                passed["short"] += 1
            else:
                accepted.append((decided, payload))
            p = end + 1
        elif command == REQUEST:
            passed["request"] += 1
            p = end + 1
        else:
            passed["unknown command"] += 1
            p += 1
    return accepted, passed


def values(payload, start, count):
    return [payload[start + 2 * k] | payload[start + 2 * k + 1] << 8 for k in range(count)]


def host_records(accepted):
    """The records a host holds after each accepted frame."""
    channels, banks, out = [0] * 15, [[0] * 16, [0] * 16], []
    for _, payload in accepted:
        kind = payload[0]
        if kind in (0, 2):
            channels = values(payload, 1, 15)
        if kind in (1, 2):
            both = values(payload, 1 if kind == 1 else 31, 32)
            banks = [both[:16], both[16:]]
        out.append((channels, banks))
    return out


def upload_frame(kind, channels=None, banks=None):
    payload = bytes([kind])
    for v in (channels or []) + [x for row in (banks or []) for x in row]:
        payload += struct.pack("<H", v)
    return bytes([HEAD, UPLOAD]) + struct.pack("<H", len(payload)) + payload + bytes([TAIL])


def write_capture(path, records, kind=0):
    """A capture of `kind` (0 port bytes, 1 HID reports) holding `records`:
    [(time in microseconds, bytes)]."""
    with open(path, "wb") as f:
        f.write(b"\x89VANDRY\n" + bytes([1, kind, 0, 0]))
        for t, data in records:
            f.write(struct.pack("<QH", t, len(data)) + data)


def read_capture(path):
    """The records of a capture file: [(time in microseconds, bytes)]."""
    with open(path, "rb") as f:
        data = f.read()
    assert data[:12] == b"\x89VANDRY\n\x01\x00\x00\x00", data[:12]
    records, p = [], 12
    while p < len(data):
        t, n = struct.unpack_from("<QH", data, p)
        records.append((t, data[p + 10:p + 10 + n]))
        p += 10 + n
    assert p == len(data)
    return records


def sbus_channels(frame):
    bits = int.from_bytes(frame[1:23], "little")
    return [(bits >> (11 * k)) & 0x7FF for k in range(16)]


def json_lines(text):
    return [json.loads(line) for line in text.splitlines() if line.strip()]


def state(record):
    return record["channels"], record["banks"]


# ---- Processes and events -----------------------------------------------

class Lines:
    """Lines from a pipe or terminal, read as they come, with deadlines."""

    def __init__(self, fd):
        self.fd, self.buffer, self.closed = fd, b"", False
        self.seen = []

    def _fill(self, timeout):
        ready, _, _ = select.select([self.fd], [], [], max(0, timeout))
        if not ready:
            return False
        try:
            chunk = os.read(self.fd, 65536)
        except OSError:  # a terminal whose other side is gone
            chunk = b""
        if not chunk:
            self.closed = True
        self.buffer += chunk
        return bool(chunk)

    def line(self, timeout=DEADLINE):
        """The next whole line, or None at the deadline or the end."""
        until = time.monotonic() + timeout
        while b"\n" not in self.buffer:
            if self.closed or time.monotonic() > until:
                return None
            self._fill(until - time.monotonic())
        line, self.buffer = self.buffer.split(b"\n", 1)
        text = line.decode(errors="replace")
        self.seen.append(text)
        return text

    def wait_for(self, text, timeout=DEADLINE):
        """Reads lines until one holds `text`; returns it, or fails."""
        until = time.monotonic() + timeout
        while (line := self.line(until - time.monotonic())) is not None:
            if text in line:
                return line
        raise AssertionError(f"no line with {text!r} within {timeout} s; saw: {self.seen[-10:]}")

    def rest(self, timeout=DEADLINE):
        """Everything until the end (the writer exits), as text."""
        until = time.monotonic() + timeout
        while not self.closed and time.monotonic() < until:
            self._fill(until - time.monotonic())
        return self.buffer.decode(errors="replace")


class ToolTest(unittest.TestCase):
    """A test case whose processes are reaped and files removed, whatever happens."""

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory(prefix="vandry-e2e-")
        self.addCleanup(self.dir.cleanup)

    def path(self, name):
        return os.path.join(self.dir.name, name)

    def start(self, args, **kwargs):
        kwargs.setdefault("stdin", subprocess.DEVNULL)
        kwargs.setdefault("stdout", subprocess.PIPE)
        kwargs.setdefault("stderr", subprocess.PIPE)
        process = subprocess.Popen(args, **kwargs)
        self.addCleanup(reap, process)
        return process

    def run_tool(self, args, timeout=DEADLINE, **kwargs):
        process = self.start(args, **kwargs)
        out, err = process.communicate(timeout=timeout)
        return subprocess.CompletedProcess(args, process.returncode, out.decode(), err.decode())

    def monitor(self, *args, timeout=DEADLINE):
        return self.run_tool([MONITOR, *args], timeout=timeout)

    def sim(self, *args):
        return Sim(self, args)

    def wait_exit(self, process, timeout=DEADLINE):
        try:
            return process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.fail(f"{process.args[0]} did not end within {timeout} s")


def reap(process):
    if process.poll() is None:
        process.kill()
    process.wait()
    for stream in (process.stdout, process.stderr):
        if stream:
            stream.close()


class Sim:
    """vandry-sim in the background: .path is its port, .out and .err its lines."""

    def __init__(self, test, args):
        self.process = test.start([SIM, *args])
        self.out, self.err = Lines(self.process.stdout.fileno()), Lines(self.process.stderr.fileno())
        self.path = self.out.line()
        if not self.path or not self.path.startswith("/dev/"):
            raise AssertionError(f"vandry-sim printed no port: {self.path!r}; {self.err.rest(1)}")
        self.test = test

    def finish(self):
        """Waits for the device to end; returns its status and all it said."""
        status = self.test.wait_exit(self.process)
        return status, "\n".join(self.err.seen) + "\n" + self.err.rest()


class Device:
    """A device played by the test on a pseudo-terminal: .path for the
    monitor, bytes written and read on the other side."""

    def __init__(self, test):
        self.master, self.slave = pty.openpty()
        test.addCleanup(self.close)
        self.path = os.ttyname(self.slave)
        self.received = b""

    def close(self):
        """Closes both sides: a terminal that does so hangs up its session."""
        for fd in (self.master, self.slave):
            if fd is not None:
                os.close(fd)
        self.master = self.slave = None

    def settings(self):
        return termios.tcgetattr(self.slave)

    def read_until(self, wanted, timeout=DEADLINE):
        """Reads what the host writes until `wanted` has come."""
        until = time.monotonic() + timeout
        while wanted not in self.received:
            ready, _, _ = select.select([self.master], [], [], max(0, until - time.monotonic()))
            if not ready:
                raise AssertionError(f"the host never wrote {wanted.hex()}; it wrote {self.received.hex()}")
            self.received += os.read(self.master, 4096)

    def write(self, data):
        os.write(self.master, data)


def children_of(pid):
    try:
        with open(f"/proc/{pid}/task/{pid}/children") as f:
            return [int(x) for x in f.read().split()]
    except FileNotFoundError:
        return []


def gone(pid):
    """True when the process has ended (a zombie nobody reaped counts)."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] in ("Z", "X")
    except FileNotFoundError:
        return True


def catches(pid, number):
    """True when the process has a handler for signal `number`."""
    with open(f"/proc/{pid}/status") as f:
        caught = next(line for line in f if line.startswith("SigCgt:")).split()[1]
    return bool(int(caught, 16) >> (number - 1) & 1)


def eventually(condition, timeout=DEADLINE, step=0.01):
    until = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > until:
            return False
        time.sleep(step)
    return True


def set_raw(fd):
    tty.setraw(fd)


def options_of_help(text):
    return {line.split()[0] for line in text.splitlines() if line.startswith("  --")}


def options_of_man(path):
    with open(path) as f:
        return {line.split()[1].replace("\\-", "-") for line in f if line.startswith((".B \\-\\-", ".BI \\-\\-"))}




class Listener:
    """A UDP socket on a loopback address that keeps every datagram it gets,
    read as they come by a thread of its own. .endpoint is how the monitor
    names it (`as_localhost` writes localhost for the address)."""

    def __init__(self, test, host, as_localhost=False):
        self.family = socket.AF_INET6 if ":" in host else socket.AF_INET
        self.sock = socket.socket(self.family, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 22)
        self.sock.bind((host, 0))
        self.port = self.sock.getsockname()[1]
        name = "localhost" if as_localhost else host
        self.endpoint = f"[{name}]:{self.port}" if self.family == socket.AF_INET6 else f"{name}:{self.port}"
        self._datagrams, self._lock, self._done = [], threading.Lock(), False
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()
        test.addCleanup(self.close)

    def _run(self):
        while not self._done:
            if select.select([self.sock], [], [], 0.05)[0]:
                data = self.sock.recv(65536)
                with self._lock:
                    self._datagrams.append((time.monotonic(), data))

    def datagrams(self):
        """[(arrival on the test's monotonic clock, bytes)] so far."""
        with self._lock:
            return list(self._datagrams)

    def wait_for(self, count, timeout=DEADLINE):
        """True once `count` datagrams have come, False at the deadline."""
        return eventually(lambda: len(self.datagrams()) >= count, timeout)

    def finish(self):
        """Every datagram, once the sender has ended: a datagram sent over the
        loopback is queued before the send returns, so what the thread has
        not read yet is still in the socket."""
        self._stop_thread()
        self.sock.setblocking(False)
        while True:
            try:
                data = self.sock.recv(65536)
            except BlockingIOError:
                return [data for _, data in self._datagrams]
            self._datagrams.append((time.monotonic(), data))

    def _stop_thread(self):
        if not self._done:
            self._done = True
            self._thread.join()

    def close(self):
        self._stop_thread()
        self.sock.close()


def free_udp_port(host):
    """A port on `host` that nothing listens on (bound, then released)."""
    with socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind((host, 0))
        return s.getsockname()[1]


def has_ipv6_loopback():
    try:
        with socket.socket(socket.AF_INET6, socket.SOCK_DGRAM) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


def unread_bytes(fd):
    return struct.unpack("i", fcntl.ioctl(fd, termios.FIONREAD, b"\0\0\0\0"))[0]


SIGNALS = {"SIGINT": signal.SIGINT, "SIGTERM": signal.SIGTERM, "SIGHUP": signal.SIGHUP, "SIGQUIT": signal.SIGQUIT}
