"""End-to-end tests of vandry-monitor against vandry-sim over a pseudo-terminal.

VANDRY_MONITOR and VANDRY_SIM name the two programs (CTest sets them).
"""
import fcntl
import json
import os
import pty
import signal
import struct
import subprocess
import tempfile
import termios
import time
import unittest

TCGETS2 = 0x802C542A  # Linux x86-64: read struct termios2

MONITOR = os.environ.get("VANDRY_MONITOR", "vandry-monitor")
SIM = os.environ.get("VANDRY_SIM", "vandry-sim")


def json_lines(text):
    return [json.loads(line) for line in text.splitlines() if line.strip()]


def state_of(record):
    return record["channels"], record["banks"]


class Simulator:
    """vandry-sim in the background; .path is the port to open."""

    def __init__(self, *args):
        self.process = subprocess.Popen([SIM, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.path = self.process.stdout.readline().strip()
        if not self.path.startswith("/dev/"):
            self.process.kill()
            raise AssertionError(f"vandry-sim printed no port: {self.path!r}")

    def finish(self, timeout=10):
        """Waits for the device to end; returns its status and what it said."""
        try:
            _, said = self.process.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            _, said = self.process.communicate()
            return None, said
        return self.process.returncode, said


def monitor(*args, timeout=30):
    return subprocess.run([MONITOR, *args], capture_output=True, text=True, timeout=timeout)


def decode_sbus(frame):
    """Channels of one 25-byte SBUS frame, read bit by bit."""
    bits = int.from_bytes(frame[1:23], "little")
    return [(bits >> (11 * k)) & 0x7FF for k in range(16)]


class MonitorTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)

    def path(self, name):
        return os.path.join(self.dir.name, name)

    def sent_states(self, log):
        with open(log) as f:
            return [state_of(r) for r in json_lines(f.read())]

    def assert_in_stream_order(self, received, sent):
        """Every update shows the records after some frame the device sent,
        in the order sent, and the last one the records after the last frame."""
        self.assertTrue(received, "no updates")
        position = -1
        for n, record in enumerate(received, start=1):
            self.assertEqual(record["update"], n)
            state = state_of(record)
            try:
                position = sent.index(state, position + 1)
            except ValueError:
                self.fail(f"update {n} holds values the device never sent, or out of order: {record}")
        self.assertEqual(position, len(sent) - 1, "the last frames sent never showed")

    def test_live_stream_with_random_writes_and_noise_arrives_exactly(self):
        log = self.path("sent.jsonl")
        sim = Simulator("--types", "0,1,2", "--rate", "400", "--irregular", "--noise", "--seed", "11",
                        "--count", "300", "--log", log)
        result = monitor("--port", sim.path, "--json", "--seconds", "3", "--param1", "7", "--param2", "250")
        status, sim_said = sim.finish()
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("request frame received (param1 7, param2 250)", sim_said)
        self.assertIn("stop frame received", sim_said)
        self.assertEqual(status, 0)
        sent = self.sent_states(log)
        self.assertEqual(len(sent), 300)
        received = json_lines(result.stdout)
        self.assert_in_stream_order(received, sent)
        self.assertGreater(len(received), 30, "updates should come as the frames do, not all at the end")

    def test_replay_of_a_recorded_capture_gives_the_same_values(self):
        log, capture = self.path("sent.jsonl"), self.path("capture.bin")
        sim = Simulator("--types", "2,0", "--rate", "500", "--irregular", "--noise", "--seed", "5",
                        "--count", "150", "--log", log)
        live = monitor("--port", sim.path, "--json", "--seconds", "2", "--record", capture)
        sim.finish()
        self.assertEqual(live.returncode, 0, live.stderr)
        replay = monitor("--replay", capture, "--json")
        self.assertEqual(replay.returncode, 0, replay.stderr)
        sent = self.sent_states(log)
        self.assert_in_stream_order(json_lines(replay.stdout), sent)
        self.assertEqual(state_of(json_lines(replay.stdout)[-1]), state_of(json_lines(live.stdout)[-1]))

    def test_frame_limit_and_signal_both_end_with_the_stop_frame(self):
        sim = Simulator("--rate", "200")
        limited = monitor("--port", sim.path, "--json", "--frames", "25")
        self.assertEqual(limited.returncode, 0, limited.stderr)
        self.assertEqual(len(json_lines(limited.stdout)), 25)
        self.assertIn("stop frame received", sim.finish()[1])

        sim = Simulator("--rate", "200")
        running = subprocess.Popen([MONITOR, "--port", sim.path, "--json"], stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, text=True)
        time.sleep(0.7)
        running.send_signal(signal.SIGTERM)
        out, err = running.communicate(timeout=10)
        self.assertEqual(running.returncode, 0, err)
        self.assertGreater(len(json_lines(out)), 10)
        status, sim_said = sim.finish()
        self.assertIn("stop frame received", sim_said)
        self.assertEqual(status, 0)

    def test_closed_output_fails_but_still_sends_the_stop_frame(self):
        sim = Simulator("--rate", "200")
        read_end, write_end = os.pipe()
        os.close(read_end)  # nobody reads the monitor's output
        result = subprocess.run([MONITOR, "--port", sim.path, "--json"], stdout=write_end,
                                stderr=subprocess.PIPE, text=True, timeout=30)
        os.close(write_end)
        self.assertEqual(result.returncode, 1)
        self.assertIn("cannot write to stdout", result.stderr)
        status, sim_said = sim.finish()
        self.assertIn("stop frame received", sim_said)
        self.assertEqual(status, 0)

    def test_vanished_port_gives_one_line_and_a_failure_status(self):
        sim = Simulator("--rate", "200", "--vanish-after", "30")
        started = time.monotonic()
        result = monitor("--port", sim.path, "--json", "--seconds", "20")
        sim.finish()
        self.assertLess(time.monotonic() - started, 10, "the monitor hung on a vanished port")
        self.assertEqual(result.returncode, 1)
        self.assertEqual(len(result.stderr.strip().splitlines()), 2, result.stderr)  # the error, the summary
        self.assertIn("vanished", result.stderr)
        self.assertGreater(len(json_lines(result.stdout)), 5)

    def test_bad_ports_and_options_fail_cleanly(self):
        cases = [
            (["--port", "/dev/no-such-vandry"], 1, "cannot open /dev/no-such-vandry: No such file or directory"),
            (["--port", "/dev/null"], 1, "/dev/null is not a serial port"),
            (["--replay", self.path("missing.bin")], 1, "No such file or directory"),
            (["--port", "/dev/null", "--baud", "12345"], 1, "unsupported baud rate 12345"),
            (["--frobnicate"], 2, "usage: vandry-monitor"),
            (["--frames", "0"], 2, "--frames takes a number"),
            (["--port", "a", "--replay", "b"], 2, "choose one source"),
            (["--sbus-source", "bank7"], 2, "--sbus-source takes channels, bank0 or bank1"),
        ]
        for args, status, message in cases:
            with self.subTest(args=args):
                result = monitor(*args)
                self.assertEqual(result.returncode, status, result.stderr)
                self.assertIn(message, result.stderr)
                self.assertEqual(result.stdout, "")

    def test_built_in_device_drives_sbus_output(self):
        sbus = self.path("sbus.bin")
        result = monitor("--json", "--frames", "20", "--sbus-out", sbus, "--sim-types", "0")
        self.assertEqual(result.returncode, 0, result.stderr)
        updates = json_lines(result.stdout)
        with open(sbus, "rb") as f:
            data = f.read()
        self.assertEqual(len(data), 25 * len(updates))
        for n, update in enumerate(updates):
            frame = data[25 * n: 25 * (n + 1)]
            self.assertEqual(frame[0], 0x0F)
            self.assertEqual(frame[23], 0x00)
            self.assertEqual(frame[24], [0x04, 0x14, 0x24, 0x34][n % 4])
            want = [min(2047, v * 1706 // 1000) for v in update["channels"]] + [0]
            self.assertEqual(decode_sbus(frame), want)

    def test_sbus_serial_line_is_set_to_100000_baud_8e2(self):
        master, slave = pty.openpty()
        self.addCleanup(os.close, master)
        self.addCleanup(os.close, slave)
        result = monitor("--json", "--frames", "8", "--sbus-out", os.ttyname(slave))
        self.assertEqual(result.returncode, 0, result.stderr)
        # struct termios2: four flag words, c_line, 19 c_cc bytes, then the speeds.
        # A pseudo-terminal drops the parity bit, so parity cannot be read back here.
        raw = fcntl.ioctl(slave, TCGETS2, bytes(44))
        _, _, cflag, _ = struct.unpack_from("4I", raw)
        ispeed, ospeed = struct.unpack_from("2I", raw, 36)
        self.assertEqual((ispeed, ospeed), (100000, 100000))
        self.assertEqual(cflag & termios.CSIZE, termios.CS8)
        self.assertTrue(cflag & termios.CSTOPB, "two stop bits")
        frames = os.read(master, 4096)
        self.assertEqual(len(frames), 8 * 25)
        self.assertEqual(frames[0::25], bytes([0x0F] * 8))

    def test_hidraw_reports_are_decoded_by_length(self):
        fifo = self.path("hidraw")
        os.mkfifo(fifo)
        writer = os.open(fifo, os.O_RDWR)
        self.addCleanup(os.close, writer)
        running = subprocess.Popen([MONITOR, "--hidraw", fifo, "--json", "--frames", "2"],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        time.sleep(0.3)
        os.write(writer, bytes(range(1, 20)))  # a 19-byte game-controller report
        time.sleep(0.3)
        os.write(writer, bytes(7))  # another length: ignored
        time.sleep(0.3)
        os.write(writer, bytes([0xFA, 0, 0, 0]) + bytes(range(4, 34)) + bytes([0]))  # compatible report
        out, err = running.communicate(timeout=10)
        self.assertEqual(running.returncode, 0, err)
        game, compatible = json_lines(out)
        self.assertEqual(game["game_controller"],
                         [0x0201, 0x0403, 0x0605, 0x0807, 0x0900, 0x0B0A, 0x0C00, 0x0E0D, 0, 0x100F, 0x11])
        self.assertEqual(compatible["channels"], [(5 + 2 * k) << 8 | (4 + 2 * k) for k in range(15)])


if __name__ == "__main__":
    unittest.main()
