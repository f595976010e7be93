"""vandry-monitor.exe end to end under Wine: COM ports that Wine maps to
pseudo-terminals, the Linux vandry-sim as the device, and captures that
cross between the systems.

Wine maps COMn to what $WINEPREFIX/dosdevices/comn points to. Ports
registered under HKLM\\Software\\Wine\\Ports are also listed by Windows (in
SERIALCOMM and among the DOS devices); Wine reads them when its server
starts, so the module registers COM21 and COM22, each to a link of its own
in build/windows/wine-com, and restarts the prefix's server once (CTest runs
this test alone). A test then points a link at a pseudo-terminal: vandry-sim
--link does it for the device, the test itself for the SBUS line.

Wine's own processes keep pipes open, so its output goes to files.

VANDRY_MONITOR_EXE, VANDRY_WINE_RUN and VANDRY_WINE_PREFIX name the Windows
build's program, its Wine launcher and prefix; VANDRY_SIM and VANDRY_MONITOR
the linux preset's programs (CTest sets them all).
"""
import os
import re
import select
import shutil
import signal
import struct
import subprocess
import termios
import time
import tty
import unittest

from harness import (DEADLINE, STOP_FRAME, Device, ToolTest, json_lines, read_capture, reap, sbus_channels,
                     state, upload_frame, write_capture)
from test_monitor import read_to_end, set_size
from test_udp import HOST6, MAP_FILE, MAP_RULE, PULSES, expected_outputs
from harness import Listener

MONITOR_EXE = os.environ.get("VANDRY_MONITOR_EXE", "")
WINE_RUN = os.environ.get("VANDRY_WINE_RUN", "")
PREFIX = os.environ.get("VANDRY_WINE_PREFIX", "")
SIM = os.environ.get("VANDRY_SIM", "")
LINUX_MONITOR = os.environ.get("VANDRY_MONITOR", "")
LINK_DIR = os.path.join(os.path.dirname(PREFIX), "wine-com")
PORTS = ("COM21", "COM22")  # the device, the SBUS line
# Wine reads the command line in the locale's character set: in the C
# locale a name outside ASCII would not reach the program as it is.
WINE_ENV = dict(os.environ, LC_ALL="C.UTF-8")

REQUEST = bytes([0xFA, 0xE5, 0x02, 0x00])  # the request frame's head, before its argument bytes
WINE_START = 120  # the first start of a fresh Wine server can take long on a loaded machine


def link_of(port):
    return os.path.join(LINK_DIR, port.lower())


def windows_path(path):
    """A Linux path as a Windows program names it: through drive Z:."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def wine(*args, timeout=WINE_START):
    """Runs a Wine command to its end, its output in a file; returns that output."""
    log = os.path.join(LINK_DIR, "wine-command.log")
    with open(log, "wb") as out:
        process = subprocess.Popen([WINE_RUN, *args], stdin=subprocess.DEVNULL, stdout=out, stderr=out)
        try:
            process.wait(timeout)
        finally:
            reap(process)
    with open(log, errors="replace") as f:
        return process.returncode, f.read()


def wineserver(*args):
    for server in ("/usr/lib/wine/wineserver64", "wineserver"):
        if shutil.which(server):
            subprocess.run([server, *args], env=dict(os.environ, WINEPREFIX=PREFIX), timeout=WINE_START,
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            return
    raise AssertionError("no wineserver found (install the wine64 package)")


def remove_link(path):
    if os.path.islink(path):
        os.unlink(path)


def setUpModule():
    missing = [(name, path) for name, path in (("vandry-monitor.exe", MONITOR_EXE), ("the Wine launcher", WINE_RUN),
                                               ("vandry-sim", SIM), ("vandry-monitor", LINUX_MONITOR))
               if not path or not os.path.exists(path)]
    if missing:
        raise AssertionError(f"not found: {missing}; the Windows end-to-end tests use the linux preset's "
                             "vandry-sim and vandry-monitor: build the linux preset first")
    os.makedirs(LINK_DIR, exist_ok=True)
    # A prefix is created before any COM link exists: creating one with a
    # link in place can hang for minutes.
    if not os.path.isdir(os.path.join(PREFIX, "drive_c")):
        wine("wineboot", "--init")
    for port in PORTS:
        remove_link(link_of(port))
        os.symlink("/dev/null", link_of(port))  # something to point at while the server starts
    registry = os.path.join(LINK_DIR, "ports.reg")
    with open(registry, "w") as f:
        f.write("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n")
        for port in PORTS:
            f.write(f'"{port}"="{link_of(port)}"\n')
    status, said = wine("regedit", "/S", windows_path(registry))
    if status != 0:
        raise AssertionError(f"regedit could not register the COM ports: {said}")
    wineserver("-k")  # the next start reads the ports
    wineserver("-w")
    # One server for the whole module: a program started just as an idle
    # server exits would otherwise race with its shutdown.
    wineserver("-p")
    status, said = wine("cmd", "/c", "exit")
    until = time.monotonic() + WINE_START
    while not all(os.path.islink(os.path.join(PREFIX, "dosdevices", port.lower())) for port in PORTS):
        if time.monotonic() > until:
            raise AssertionError(f"Wine made no link for {PORTS} in {PREFIX}/dosdevices: {said}")
        time.sleep(0.05)
    for port in PORTS:
        remove_link(link_of(port))


def tearDownModule():
    if PREFIX:
        wineserver("-k")  # with it, every process Wine started for the tests


class WineTest(ToolTest):
    def setUp(self):
        super().setUp()
        for port in PORTS:
            self.addCleanup(remove_link, link_of(port))
        self.runs = 0

    def start_exe(self, *args, **kwargs):
        """vandry-monitor.exe in the background; returns it and the files of its stdout and stderr."""
        self.runs += 1
        out, err = self.path(f"out{self.runs}.txt"), self.path(f"err{self.runs}.txt")
        with open(out, "wb") as o, open(err, "wb") as e:
            kwargs.setdefault("stdout", o)
            process = self.start([WINE_RUN, MONITOR_EXE, *args], stderr=e, env=WINE_ENV, **kwargs)
        return process, out, err

    def exe(self, *args, timeout=DEADLINE + WINE_START):
        """Runs vandry-monitor.exe to its end: (status, stdout, stderr)."""
        process, out, err = self.start_exe(*args)
        status = self.wait_exit(process, timeout)
        return status, read_text(out), read_text(err)

    def linux_monitor(self, *args):
        result = self.run_tool([LINUX_MONITOR, *args])
        self.assertEqual(result.returncode, 0, result.stderr)
        return result.stdout

    def sim_on(self, port, *args):
        remove_link(link_of(port))
        return self.sim("--link", link_of(port), *args)

    def pty_on(self, port):
        """A pseudo-terminal played by the test, linked as `port`."""
        device = Device(self)
        tty.setraw(device.slave)
        remove_link(link_of(port))
        os.symlink(device.path, link_of(port))
        return device


def read_text(path):
    with open(path, "rb") as f:
        return f.read().decode(errors="replace")


def wait_for_request(device, process, err, timeout=DEADLINE + WINE_START):
    """Waits until the monitor has sent the request frame; one that ends first fails the test."""
    until = time.monotonic() + timeout
    while REQUEST not in device.received and process.poll() is None and time.monotonic() < until:
        if select.select([device.master], [], [], 0.1)[0]:
            device.received += os.read(device.master, 4096)
    if REQUEST not in device.received:
        raise AssertionError(f"no request frame (status {process.poll()}): {read_text(err)}")


def lines_of(path, count, process, timeout=DEADLINE + WINE_START):
    """Waits until the file holds `count` lines (or the process ended); returns them."""
    until = time.monotonic() + timeout
    while (text := read_text(path)).count("\n") < count and process.poll() is None and time.monotonic() < until:
        time.sleep(0.02)
    return text.splitlines()


class ComPorts(WineTest):
    def run_session(self, port_name, *sim_args, frames, params=("0", "0")):
        log, capture = self.path("sent.jsonl"), self.path("capture.cap")
        sim = self.sim_on("COM21", "--count", str(frames), "--log", log, *sim_args)
        status, out, err = self.exe("--port", port_name, "--json", "--frames", str(frames), "--seconds", "120",
                                    "--record", windows_path(capture), "--param1", params[0], "--param2", params[1])
        self.assertEqual(status, 0, err)
        sim_status, said = sim.finish()
        self.assertEqual(sim_status, 0, said)
        self.assertIn(f"request frame received (param1 {params[0]}, param2 {params[1]})", said)
        self.assertIn("stop frame received", said)
        with open(log) as f:
            sent = json_lines(f.read())
        return sent, out, capture

    def test_every_logged_frame_is_one_update_in_order_with_its_values(self):
        sent, out, capture = self.run_session("COM21", "--types", "0,1,2", "--noise", "--hostile", "--irregular",
                                              "--rate", "1000", "--seed", "21", frames=1000, params=("7", "250"))
        shown = json_lines(out)
        self.assertEqual(len(sent), 1000)
        self.assertEqual([r["update"] for r in shown], list(range(1, len(sent) + 1)))
        self.assertEqual([state(r) for r in shown], [state(r) for r in sent])
        # What Windows recorded replays on Linux as the same lines, times included.
        self.assertTrue(read_capture(capture), "the capture holds the reads")
        self.assertEqual(self.linux_monitor("--replay", capture, "--replay-speed", "0"), out)

    def test_the_device_namespace_form_of_a_port_name(self):
        sent, out, _ = self.run_session("\\\\.\\COM21", "--types", "2", "--rate", "500", frames=50)
        self.assertEqual([state(r) for r in json_lines(out)], [state(r) for r in sent])

    def test_a_linux_capture_replays_the_same_on_windows(self):
        capture = self.path("linux.cap")
        live = self.linux_monitor("--json", "--frames", "300", "--record", capture, "--sim-types", "0,1,2",
                                  "--sim-noise", "--sim-hostile", "--sim-rate", "2000")
        status, replayed, err = self.exe("--replay", windows_path(capture), "--replay-speed", "0")
        self.assertEqual(status, 0, err)
        self.assertEqual(replayed, self.linux_monitor("--replay", capture, "--replay-speed", "0"),
                         "byte for byte, times included")
        # The live run stopped at 300 updates; its last read may hold more.
        self.assertEqual(json_lines(replayed)[:300], json_lines(live))

    def test_sbus_frames_on_a_second_com_port(self):
        sbus = self.pty_on("COM22")
        sim = self.sim_on("COM21", "--types", "0", "--rate", "100", "--count", "60")
        process, out, err = self.start_exe("--port", "COM21", "--json", "--frames", "60", "--seconds", "120",
                                           "--sbus-out", "COM22")
        received = b""
        until = time.monotonic() + DEADLINE + WINE_START
        two_stop_bits = False
        while process.poll() is None and time.monotonic() < until:
            if select.select([sbus.master], [], [], 0.1)[0]:
                received += os.read(sbus.master, 65536)
                two_stop_bits |= bool(termios.tcgetattr(sbus.slave)[2] & termios.CSTOPB)
        self.assertEqual(self.wait_exit(process), 0, read_text(err))
        # A pseudo-terminal keeps no parity, and Wine cannot give it 100000
        # baud (the monitor then says what the port reports); the stop bits
        # show, and are restored at the end.
        self.assertTrue(two_stop_bits, "the line was set to 2 stop bits")
        self.assertFalse(termios.tcgetattr(sbus.slave)[2] & termios.CSTOPB, "the line's settings are restored")
        for line in read_text(err).splitlines():
            if "reports" in line:
                self.assertRegex(line, r"^vandry-monitor: the SBUS output COM22 reports \d+ baud 8[NEO]2 "
                                       r"instead of 100000 baud 8E2; the driver may not support it$")
        while select.select([sbus.master], [], [], 0.2)[0]:
            received += os.read(sbus.master, 65536)
        sim.finish()
        updates = json_lines(read_text(out))
        self.assertEqual(len(updates), 60)
        self.assertEqual(len(received) % 25, 0)
        frames = [received[k:k + 25] for k in range(0, len(received), 25)]
        self.assertTrue(frames, "SBUS frames arrive")
        scaled = [[min(2047, v * 1706 // 1000) for v in u["channels"]] + [0] for u in updates]
        position = -1
        for n, frame in enumerate(frames):
            self.assertEqual((frame[0], frame[23], frame[24]), (0x0F, 0x00, [0x04, 0x14, 0x24, 0x34][n % 4]), n)
            channels = channels_bit_by_bit(frame)
            self.assertEqual(channels, sbus_channels(frame))
            # Each frame carries an update's values, in the order of the updates.
            position = scaled.index(channels, position + 1)

    def test_an_unplugged_port_is_waited_for_and_nothing_is_lost(self):
        log = self.path("sent.jsonl")
        sim = self.sim_on("COM21", "--types", "0", "--rate", "200", "--count", "120", "--vanish-after", "40",
                          "--return-after", "0.5", "--log", log)
        status, out, err = self.exe("--port", "COM21", "--reconnect", "--json", "--frames", "120", "--seconds", "120")
        sim_status, said = sim.finish()
        self.assertEqual(status, 0, err)
        self.assertIn("COM21 vanished", err)
        self.assertIn("COM21 is back; request frame sent again", err)
        self.assertEqual(said.count("request frame received"), 2, said)
        with open(log) as f:
            sent = json_lines(f.read())
        self.assertEqual([state(r) for r in json_lines(out)], [state(r) for r in sent])


class Paths(WineTest):
    def test_names_with_spaces_and_letters_outside_ascii(self):
        # Beyond the system's code page (Japanese on a Western one), so that
        # only names passed on as Unicode reach the file.
        folder = self.path("séances 日本")
        os.mkdir(folder)
        capture = os.path.join(folder, "vol d'essai ü.cap")
        device = self.pty_on("COM21")
        process, out, err = self.start_exe("--port", "COM21", "--json", "--frames", "2",
                                           "--record", windows_path(capture))
        wait_for_request(device, process, err)
        device.write(upload_frame(0, list(range(100, 115))) + upload_frame(0, list(range(200, 215))))
        self.assertEqual(self.wait_exit(process, DEADLINE + WINE_START), 0, read_text(err))
        recorded = read_text(out)
        self.assertEqual(len(json_lines(recorded)), 2)
        status, replayed, said = self.exe("--replay", windows_path(capture), "--replay-speed", "0")
        self.assertEqual(status, 0, said)
        self.assertEqual(replayed, recorded)
        # An error names such a path as it was given, and the file is kept.
        with open(capture, "rb") as f:
            kept = f.read()
        status, _, said = self.exe("--port", "COM21", "--record", windows_path(capture))
        self.assertEqual(status, 1)
        self.assertIn(f"cannot create the capture {windows_path(capture)}: ", said)
        with open(capture, "rb") as f:
            self.assertEqual(f.read(), kept)


    def test_an_error_on_the_console_names_such_a_path_as_given(self):
        missing = windows_path(self.path("séance 日本.cap"))
        console = Device(self)
        set_size(console.slave, 200, 30)  # no line is wrapped
        process = self.start([WINE_RUN, MONITOR_EXE, "--replay", missing], stdin=console.slave, stdout=console.slave,
                             stderr=console.slave, start_new_session=True, env=WINE_ENV)
        self.assertEqual(self.wait_exit(process, DEADLINE + WINE_START), 1)
        shown = b""
        while select.select([console.master], [], [], 0.5)[0]:
            shown += os.read(console.master, 65536)
        self.assertIn(f"cannot open the capture to replay {missing}: ".encode(), shown)


class UdpOutputs(WineTest):
    def test_each_format_carries_every_update_mapped_through_winsock(self):
        frames = 200
        log, map_path = self.path("sent.jsonl"), self.path("sticks.map")
        with open(map_path, "w") as f:
            f.write(MAP_FILE)
        outputs = {"betaflight": Listener(self, "127.0.0.1"), "ardupilot": Listener(self, HOST6),
                   "json": Listener(self, "127.0.0.1", as_localhost=True)}
        sim = self.sim_on("COM21", "--types", "0,1,2", "--noise", "--rate", "500", "--count", str(frames),
                          "--log", log)
        args = ["--port", "COM21", "--json", "--frames", str(frames), "--seconds", "120",
                "--map", windows_path(map_path), "--map-channel", MAP_RULE]
        for name, listener in outputs.items():
            args += ["--udp-out", listener.endpoint, "--udp-format", name]
        status, out, err = self.exe(*args)
        self.assertEqual(status, 0, err)
        sim.finish()
        with open(log) as f:
            logged = json_lines(f.read())
        received = {name: listener.finish() for name, listener in outputs.items()}
        expected = expected_outputs(logged, PULSES)
        self.assertTrue(expected)
        for name, (layout, size) in {"betaflight": ("<d16H", 40), "ardupilot": ("<16H", 32)}.items():
            with self.subTest(format=name):
                self.assertEqual({len(d) for d in received[name]}, {size})
                fields = [struct.unpack(layout, d) for d in received[name]]
                pulses = [list(f[1:]) if name == "betaflight" else list(f) for f in fields]
                self.assertEqual(pulses, expected, "one datagram per update, mapped")
        self.assertEqual([d.decode() for d in received["json"]], [line + "\n" for line in out.splitlines()])
        self.assertEqual([state(u) for u in json_lines(out)], [state(f) for f in logged])


def channels_bit_by_bit(frame):
    """The 16 channels of an SBUS frame, taken one bit at a time: channel k's
    bit b is bit 11k+b of bytes 1..22, least significant bit first."""
    channels = []
    for k in range(16):
        value = 0
        for b in range(11):
            bit = 11 * k + b
            value |= ((frame[1 + bit // 8] >> (bit % 8)) & 1) << b
        channels.append(value)
    return channels


class Stopping(WineTest):
    def test_ctrl_c_sends_the_stop_frame(self):
        # A Ctrl-C in the terminal that runs Wine reaches it as SIGINT, which
        # Wine turns into the console's CTRL_C_EVENT. (Ctrl-Break and closing
        # the console cannot be sent from outside; win32_platform_test.cpp
        # calls the handler with them.)
        device = self.pty_on("COM21")
        process, out, err = self.start_exe("--port", "COM21", "--json", "--param1", "3")
        device.read_until(REQUEST + bytes([3, 0, 0x5F]), timeout=DEADLINE + WINE_START)
        device.write(upload_frame(0, list(range(100, 115))))
        self.assertEqual(len(lines_of(out, 1, process)), 1, read_text(err))
        process.send_signal(signal.SIGINT)
        device.read_until(STOP_FRAME)
        self.assertEqual(self.wait_exit(process), 0, read_text(err))
        self.assertEqual(json_lines(read_text(out))[0]["channels"], list(range(100, 115)))
        self.assertRegex(read_text(err), r"vandry-monitor: 1 update in [0-9.]+ s")

    def test_a_closed_stdout_ends_quietly_after_the_stop_frame(self):
        device = self.pty_on("COM21")
        err = self.path("closed-stdout-err.txt")
        with open(err, "wb") as e:
            process = self.start([WINE_RUN, MONITOR_EXE, "--port", "COM21", "--json"], stderr=e)
        device.read_until(REQUEST, timeout=DEADLINE + WINE_START)
        device.write(upload_frame(0, list(range(100, 115))))
        readable = select.select([process.stdout], [], [], DEADLINE)[0]
        self.assertTrue(readable and process.stdout.readline(), read_text(err))
        process.stdout.close()  # as `| head -1` does
        device.write(upload_frame(0, list(range(200, 215))))
        device.read_until(STOP_FRAME)
        self.assertEqual(self.wait_exit(process), 0, read_text(err))
        self.assertEqual(read_text(err), "")

    def test_seconds_ends_the_run_with_the_stop_frame(self):
        device = self.pty_on("COM21")
        process, out, err = self.start_exe("--port", "COM21", "--json", "--seconds", "1")
        device.read_until(REQUEST, timeout=DEADLINE + WINE_START)
        device.read_until(STOP_FRAME)
        self.assertEqual(self.wait_exit(process), 0, read_text(err))
        self.assertEqual(read_text(out), "")


    def test_a_stalled_stdout_holds_up_neither_the_port_nor_the_end(self):
        sim = self.sim_on("COM21", "--rate", "1000", "--types", "2")
        read_end, write_end = os.pipe()
        self.addCleanup(os.close, read_end)
        err = self.path("stalled-stdout-err.txt")
        with open(err, "wb") as e:
            process = self.start([WINE_RUN, MONITOR_EXE, "--port", "COM21", "--json", "--seconds", "3"],
                                 stdout=write_end, stderr=e)
        os.close(write_end)
        status, said = sim.finish()  # the device had the stop frame while nobody read stdout
        self.assertIn("stop frame received", said)
        out = read_to_end(read_end, DEADLINE + WINE_START)
        self.assertEqual(self.wait_exit(process), 0, read_text(err))
        updates = [r["update"] for r in json_lines(out.decode())]
        self.assertGreater(len(out), 65536, "more than the pipe holds")
        self.assertEqual(updates, list(range(1, len(updates) + 1)), "every line, in order")
        count, seconds = re.search(r"vandry-monitor: (\d+) updates in ([0-9.]+) s", read_text(err)).groups()
        self.assertEqual(int(count), len(updates))
        self.assertLess(float(seconds), 3.5, "the deadline ends the reading")


class LiveView(WineTest):
    def test_the_live_view_in_a_console_follows_the_data(self):
        # Wine's console draws on the terminal that runs it, spaces often as
        # cursor moves: the test reads the text without sequences and spaces.
        device = self.pty_on("COM21")
        screen = Device(self)
        set_size(screen.slave, 70, 30)
        process = self.start([WINE_RUN, MONITOR_EXE, "--port", "COM21", "--stale-ms", "300", "--seconds", "6"],
                             stdin=screen.slave, stdout=screen.slave, stderr=subprocess.PIPE, start_new_session=True)
        shown = Screen(screen.master)
        shown.wait_for("waitingforthedevice")
        device.read_until(REQUEST)
        device.write(upload_frame(2, [2000] + [600] * 14, [[7] * 16, [8] * 16]))
        shown.wait_for("1update")
        shown.wait_for("receivingbars0..1200")
        shown.wait_for("[#####")
        shown.wait_for("stale:nodatafor")
        shown.follow(process)  # a console nobody reads holds the program up
        device.read_until(STOP_FRAME)
        self.assertEqual(self.wait_exit(process), 0, process.stderr.read())


class Screen:
    """What a program shows on a terminal, as text without sequences or spaces."""

    def __init__(self, fd):
        self.fd, self.text = fd, ""

    def wait_for(self, wanted, timeout=DEADLINE + WINE_START):
        until = time.monotonic() + timeout
        while wanted not in self.text:
            if time.monotonic() > until:
                raise AssertionError(f"{wanted!r} never shown; the screen ends with {self.text[-300:]!r}")
            self._read()

    def follow(self, process, timeout=DEADLINE):
        """Reads on until the program has ended."""
        until = time.monotonic() + timeout
        while process.poll() is None and time.monotonic() < until:
            self._read()

    def _read(self):
        if select.select([self.fd], [], [], 0.1)[0]:
            try:
                chunk = os.read(self.fd, 65536).decode(errors="replace")
            except OSError:  # the other side is gone
                chunk = ""
            self.text += re.sub(r"\x1b\[[0-9;?]*[A-Za-z]|\s", "", chunk)


class CommandLine(WineTest):
    def test_list_ports_shows_the_registered_com_ports(self):
        status, out, err = self.exe("--list-ports")
        self.assertEqual(status, 0, err)
        names = [line.split(" -> ")[0] for line in out.splitlines()]
        self.assertIn("COM21", names)
        self.assertIn("COM22", names)
        self.assertLess(names.index("COM21"), names.index("COM22"))
        for line in out.splitlines():
            self.assertRegex(line, r"^COM\d+( -> \S.*)?$")
        status, _, err = self.exe("--list-ports", "--json")
        self.assertEqual(status, 2)
        self.assertIn("--list-ports takes no other option", err)

    def test_errors_name_the_path_and_the_cause(self):
        existing = self.path("existing.bin")
        with open(existing, "w") as f:
            f.write("keep me")
        missing = self.path("missing.cap")
        cases = [  # arguments, status, what stderr says
            ([], 2, "the built-in simulated device is Linux-only: give --port"),
            (["--sim-rate", "50"], 2, "the built-in simulated device is Linux-only"),
            (["--hidraw", "x"], 2, "--hidraw is Linux-only"),
            (["--port", "COM99"], 1, "cannot open COM99: "),
            (["--port", windows_path(existing)], 1, f"{windows_path(existing)} is not a serial port"),
            (["--replay", windows_path(missing)], 1, f"cannot open the capture to replay {windows_path(missing)}: "),
            (["--replay", windows_path(self.dir.name)], 1,
             f"cannot open the capture to replay {windows_path(self.dir.name)}: Is a directory"),
            (["--replay", windows_path(existing), "--sbus-out", windows_path(existing)], 1,
             f"the SBUS output {windows_path(existing)} is an existing file, which is never overwritten"),
            (["--port", "COM21", "--baud", "12345"], 2, "--baud takes one of 1200, 2400,"),
            # A device's name with an extension is still the device (before Windows 11).
            (["--port", "COM21", "--record", windows_path(self.path("nul.cap")), "--seconds", "3"], 1,
             f"cannot create the capture {windows_path(self.path('nul.cap'))}: Windows keeps this name for a device"),
            (["--port", "COM21", "--sbus-out", "\\\\.\\com21", "--seconds", "3"], 1,
             "the SBUS output \\\\.\\com21 is the source, COM21: SBUS frames would go into the device's own port"),
        ]
        device = self.pty_on("COM21")
        for args, status, message in cases:
            with self.subTest(args=args):
                got, out, err = self.exe(*args)
                self.assertEqual(got, status, err)
                self.assertIn(message, err)
                self.assertEqual(out, "")
        with open(existing) as f:
            self.assertEqual(f.read(), "keep me")
        self.assertFalse(select.select([device.master], [], [], 0)[0], "nothing was sent to the device")

    def test_standard_streams_closed_at_start_are_the_null_device_as_on_linux(self):
        capture = self.path("five.cap")
        write_capture(capture, [(1000 * k, upload_frame(0, [k] * 15)) for k in range(5)])
        for stream, closed in enumerate(("<&-", ">&-", "2>&-")):
            with self.subTest(closed=closed):
                sbus = self.path(f"sbus{stream}")
                out, err = self.path(f"closed-out{stream}"), self.path(f"closed-err{stream}")
                with open(out, "wb") as o, open(err, "wb") as e:
                    process = self.start(["sh", "-c", f'exec "$@" {closed}', "sh", WINE_RUN, MONITOR_EXE, "--replay",
                                          windows_path(capture), "--replay-speed", "0", "--sbus-out",
                                          windows_path(sbus)], stdout=o, stderr=e)
                self.assertEqual(self.wait_exit(process, DEADLINE + WINE_START), 0, read_text(err))
                if stream != 1:
                    self.assertEqual(len(json_lines(read_text(out))), 5)
                if stream != 2:
                    self.assertRegex(read_text(err), r"^vandry-monitor: 5 updates in [0-9.]+ s\r?\n$")
                with open(sbus, "rb") as f:
                    self.assertEqual(f.read(1), b"\x0f", "the SBUS file holds SBUS frames only")

    def test_help_says_what_windows_has(self):
        status, out, _ = self.exe("--help")
        self.assertEqual(status, 0)
        self.assertIn("e.g. COM5", out)
        self.assertIn("Built-in device (Linux only):", out)
        self.assertIn("--list-ports", out)
        status, out, _ = self.exe("--version")
        self.assertEqual(status, 0)
        self.assertRegex(out, r"^vandry-monitor \(VandryInterface \d+\.\d+\.\d+\)\r?\n$")


if __name__ == "__main__":
    unittest.main()
