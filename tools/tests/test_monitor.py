"""vandry-monitor end to end, on pseudo-terminals: nothing lost, faithful
replay, and every fault survived."""
import fcntl
import os
import re
import select
import signal
import struct
import subprocess
import termios
import threading
import time

from harness import (DEADLINE, MAN_DIR, MONITOR, SIGNALS, SIM, STOP_FRAME, Device, Lines, Listener, ToolTest, catches,
                     children_of, decisions, eventually, gone, host_records, json_lines, options_of_help, options_of_man,
                     read_capture, sbus_channels, set_raw, state, unread_bytes, upload_frame, write_capture)

def write_all(fd, data):
    while data:
        data = data[os.write(fd, data):]


TCGETS2 = 0x802C542A  # Linux x86-64: read struct termios2
TIOCGEXCL = 0x80045440  # Linux: is the terminal in exclusive mode
REQUEST_FRAME = bytes([0xFA, 0xE5, 0x02, 0x00, 0x00, 0x00, 0x5F])


class Lossless(ToolTest):
    """Every frame the device logs is one update, in order, with its values."""

    def run_session(self, *sim_args, frames):
        name = "-".join(sim_args)
        log, capture = self.path(f"sent{name}.jsonl"), self.path(f"capture{name}.bin")
        sim = self.sim("--count", str(frames), "--log", log, "--irregular", *sim_args)
        live = self.monitor("--port", sim.path, "--frames", str(frames), "--seconds", "60", "--record", capture)
        self.assertEqual(live.returncode, 0, live.stderr)
        status, said = sim.finish()
        self.assertEqual(status, 0, said)
        with open(log) as f:
            sent = json_lines(f.read())
        return sent, json_lines(live.stdout), capture

    def check(self, sent, shown, capture):
        self.assertEqual([r["frame"] for r in sent], list(range(1, len(sent) + 1)))
        self.assertEqual(len(shown), len(sent), "frames logged vs updates shown")
        self.assertEqual([r["update"] for r in shown], list(range(1, len(shown) + 1)))
        for n, (update, frame) in enumerate(zip(shown, sent), start=1):
            self.assertEqual(state(update), state(frame), f"update {n}")
        times = [r["time"] for r in shown]
        self.assertEqual(times, sorted(times))
        # The stream as it arrived, through the model of a correct host: the
        # device's log tells the truth, and no byte decides two frames.
        stream = b"".join(data for _, data in read_capture(capture))
        accepted, passed = decisions(stream)
        self.assertEqual([list(r) for r in host_records(accepted)], [list(state(r)) for r in sent])
        deciding = [at for at, _ in accepted]
        self.assertEqual(len(set(deciding)), len(deciding), "a byte decided two frames")
        return passed

    def test_every_frame_is_one_update(self):
        cases = [  # rate, frames, hostile
            (1000, 1500, False),
            (5000, 5000, False),
            (1000, 1500, True),
            (5000, 5000, True),
        ]
        for rate, frames, hostile in cases:
            with self.subTest(rate=rate, hostile=hostile):
                extra = ["--hostile"] if hostile else []
                sent, shown, capture = self.run_session("--types", "0,1,2", "--noise", "--rate", str(rate),
                                                        "--seed", str(rate), *extra, frames=frames)
                passed = self.check(sent, shown, capture)
                print(f"\n  {rate} Hz{' hostile' if hostile else ''}: {len(sent)} frames logged, "
                      f"{len(shown)} updates shown; passed over: {passed}", end="")
                if hostile:
                    self.assertTrue(all(passed.values()), f"every kind of fault occurs: {passed}")

    def test_frames_held_up_behind_a_false_head_are_each_an_update(self):
        # A head whose plausible length (200) reaches into the third frame
        # holds the two before it until that byte, which is not a tail,
        # proves it false: one byte then decides two frames.
        frames = [upload_frame(0, list(range(100, 115))),
                  upload_frame(1, None, [list(range(200, 216)), list(range(300, 316))]),
                  upload_frame(2, list(range(400, 415)), [list(range(500, 516)), list(range(600, 616))])]
        stream = bytes([0xFA, 0xA5, 200, 0]) + b"".join(frames)
        accepted, _ = decisions(stream)
        deciding = [at for at, _ in accepted]
        self.assertEqual(len(accepted), 3)
        self.assertEqual(deciding[0], deciding[1], "the scenario: one byte decides the first two frames")
        raw = self.path("held-up.bin")
        with open(raw, "wb") as f:
            f.write(stream)
        shown = json_lines(self.monitor("--replay", raw, "--replay-speed", "0").stdout)
        self.assertEqual([list(state(r)) for r in shown], [list(r) for r in host_records(accepted)])

    def test_a_long_recorded_silence_is_said_before_it_is_waited(self):
        cases = [  # seconds between the two records, what stderr says
            (5, None),
            (3600, "the capture is silent for 3600 s here; waiting as recorded"),
            (2 ** 62 / 1e6, "the capture is silent for 4611686018427 s here"),  # a damaged time
        ]
        for gap, said in cases:
            with self.subTest(gap=gap):
                capture = self.path(f"gap{gap}.cap")
                write_capture(capture, [(0, upload_frame(0, [1] * 15)), (int(gap * 1e6), upload_frame(0, [2] * 15))])
                result = self.monitor("--replay", capture, "--seconds", "1")
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(len(json_lines(result.stdout)), 1)
                if said:
                    self.assertIn(said, result.stderr)
                else:
                    self.assertNotIn("silent", result.stderr)

    def test_unknown_payload_types_are_updates_that_change_nothing(self):
        sent, shown, capture = self.run_session("--types", "0,7,1", "--rate", "2000", "--hostile", frames=600)
        self.check(sent, shown, capture)
        self.assertEqual(state(shown[1]), state(shown[0]))

    def test_replay_reproduces_every_update_at_the_recorded_pace(self):
        sent, live, capture = self.run_session("--types", "2,0", "--rate", "400", "--noise", "--hostile", frames=400)
        live_text = self.monitor("--replay", capture, "--replay-speed", "0").stdout
        self.assertEqual(json_lines(live_text), live, "a fast replay gives the same lines, times included")
        started = time.monotonic()
        paced = self.monitor("--replay", capture)
        took = time.monotonic() - started
        self.assertEqual(json_lines(paced.stdout), live)
        span = live[-1]["time"] - live[0]["time"]
        self.assertGreater(took, 0.9 * span, "the recorded pace is kept")
        doubled_started = time.monotonic()
        self.monitor("--replay", capture, "--replay-speed", "2")
        self.assertGreater(time.monotonic() - doubled_started, 0.45 * span)

        raw = self.path("raw.bin")
        records = read_capture(capture)
        with open(raw, "wb") as f:
            f.write(b"".join(data for _, data in records))
        from_raw = json_lines(self.monitor("--replay", raw).stdout)
        self.assertEqual([state(r) for r in from_raw], [state(r) for r in live], "a file without the header: raw bytes")

        cut = self.path("cut.bin")
        with open(capture, "rb") as f, open(cut, "wb") as g:
            g.write(f.read()[:-3])
        result = self.monitor("--replay", cut, "--replay-speed", "0")
        self.assertEqual(result.returncode, 0)
        self.assertIn("ends inside a record", result.stderr)
        self.assertEqual(json_lines(result.stdout), live[:len(json_lines(result.stdout))])


class Faults(ToolTest):
    def start_monitor(self, *args, **kwargs):
        process = self.start([MONITOR, *args], **kwargs)
        return process, Lines(process.stdout.fileno()) if process.stdout else None

    def test_every_stop_signal_sends_the_stop_frame_and_restores_the_port(self):
        for name, number in SIGNALS.items():
            with self.subTest(signal=name):
                device = Device(self)  # a cooked terminal at 9600 baud: nothing like what the monitor sets
                original = device.settings()
                original[4] = original[5] = termios.B9600
                termios.tcsetattr(device.slave, termios.TCSANOW, original)
                original = device.settings()
                monitor, lines = self.start_monitor("--port", device.path, "--json")
                device.read_until(REQUEST_FRAME)
                device.write(upload_frame(0, list(range(15))))
                self.assertIsNotNone(lines.line(), "the first update")
                monitor.send_signal(number)
                device.read_until(STOP_FRAME)
                self.assertEqual(self.wait_exit(monitor), 0, monitor.stderr.read())
                self.assertEqual(device.settings(), original, "the port's settings are restored")

    def test_sigterm_while_stdout_is_a_slow_pipe(self):
        sim = self.sim("--rate", "2000")
        read_end, write_end = os.pipe()
        monitor = self.start([MONITOR, "--port", sim.path, "--json"], stdout=write_end)
        os.close(write_end)
        self.addCleanup(os.close, read_end)
        self.assertTrue(eventually(lambda: unread_bytes(read_end) >= 48000), "the pipe fills")
        monitor.send_signal(signal.SIGTERM)
        out = b""
        while chunk := os.read(read_end, 512):  # a reader that takes its time
            out += chunk
            time.sleep(0.002)
        self.assertEqual(self.wait_exit(monitor), 0)
        err = monitor.stderr.read().decode()
        self.assertNotIn("cannot", err)
        self.assertTrue(out.endswith(b"\n"))
        self.assertTrue(json_lines(out.decode()))
        status, said = sim.finish()
        self.assertIn("stop frame received", said)

    def test_a_stop_that_ends_the_device_too_is_no_failure(self):
        # Ctrl-C in a shell reaches the whole process group: the device's end
        # comes with the stop, and the run still ended as asked.
        for name, number in SIGNALS.items():
            with self.subTest(signal=name):
                link = self.path(f"vandry-{name}")
                # A group of its own, as a shell makes: the device, then the monitor in the shell's place.
                script = ('sim=$1 monitor=$2 link=$3; shift 3; "$sim" --rate 500 --link "$link" >/dev/null & '
                          'until [ -e "$link" ]; do sleep 0.01; done; exec "$monitor" "$@"')
                monitor = self.start(["sh", "-c", script, "sh", SIM, MONITOR, link, "--port", link, "--json"],
                                     start_new_session=True)
                lines = Lines(monitor.stdout.fileno())
                self.assertIsNotNone(lines.line(), "the first update")
                device = children_of(monitor.pid)
                os.killpg(monitor.pid, number)
                status = self.wait_exit(monitor)
                said = monitor.stderr.read().decode()
                self.assertEqual(status, 0, said)
                self.assertNotIn("vanished", said)
                self.assertTrue(all(eventually(lambda: gone(pid)) for pid in device), "the device ended too")

    def test_sigkill_of_the_monitor_takes_the_built_in_device_with_it(self):
        monitor, lines = self.start_monitor("--json")
        self.assertIsNotNone(lines.line(), "the built-in device runs")
        device = children_of(monitor.pid)
        self.assertEqual(len(device), 1)
        links = [os.readlink(f"/proc/{device[0]}/fd/{fd}") for fd in os.listdir(f"/proc/{device[0]}/fd")]
        self.assertFalse([link for link in links if link.startswith("/dev/pts/")],
                         f"the device holds no copy of the port's side: {links}")
        monitor.kill()
        self.wait_exit(monitor)
        self.assertTrue(eventually(lambda: gone(device[0])), "the built-in device outlived the monitor")

    def test_a_closed_stdout_ends_quietly_after_the_stop_frame(self):
        sim = self.sim("--rate", "500")
        monitor, lines = self.start_monitor("--port", sim.path, "--json")
        self.assertIsNotNone(lines.line())
        monitor.stdout.close()  # as `| head -1` does
        self.assertEqual(self.wait_exit(monitor), 0)
        self.assertEqual(monitor.stderr.read(), b"")
        status, said = sim.finish()
        self.assertIn("stop frame received", said)

    def test_standard_streams_closed_at_start_take_nothing_the_monitor_opens(self):
        for stream, closed in enumerate(("<&-", ">&-", "2>&-")):
            with self.subTest(closed=closed):
                sbus = self.path(f"sbus{stream}")
                # The built-in device's pty and the stop pipe would take a closed number.
                result = self.run_tool(["sh", "-c", f'exec "$@" {closed}', "sh", MONITOR, "--json", "--frames", "5",
                                        "--sbus-out", sbus])
                self.assertEqual(result.returncode, 0, result.stderr)
                if stream != 1:
                    self.assertEqual(len(result.stdout.splitlines()), 5)
                with open(sbus, "rb") as f:
                    self.assertEqual(f.read(1), b"\x0f", "the SBUS file holds SBUS frames only")

    def test_sbus_never_bursts_after_a_stall(self):
        fifo = self.path("sbus")
        os.mkfifo(fifo)
        reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
        self.addCleanup(os.close, reader)
        started = time.monotonic()
        monitor = self.start([MONITOR, "--json", "--sim-rate", "200", "--sbus-out", fifo, "--sbus-rate", "50",
                              "--seconds", "3"], stdout=subprocess.DEVNULL)
        received = bytearray()

        def read_some(timeout):
            if select_read(reader, timeout):
                received.extend(os.read(reader, 65536))

        until = time.monotonic() + DEADLINE
        while not received and time.monotonic() < until:
            read_some(0.1)
        self.assertTrue(received, "SBUS frames flow")
        monitor.send_signal(signal.SIGSTOP)
        stopped = time.monotonic()
        time.sleep(1.0)  # the stall itself
        monitor.send_signal(signal.SIGCONT)
        stall = time.monotonic() - stopped
        while monitor.poll() is None:
            read_some(0.05)
        running = time.monotonic() - started - stall
        read_some(0)
        self.assertEqual(monitor.returncode, 0)
        self.assertEqual(len(received) % 25, 0)
        self.assertEqual(bytes(received[0::25]), b"\x0f" * (len(received) // 25))
        self.assertLessEqual(len(received) // 25, 50 * running + 2, "no burst of missed frames")

    def test_an_unplugged_port_is_waited_for_and_nothing_is_lost(self):
        link, log, capture = self.path("vandry"), self.path("sent.jsonl"), self.path("capture.bin")
        sim = self.sim("--types", "0", "--rate", "500", "--count", "200", "--vanish-after", "60",
                       "--return-after", "0.3", "--link", link, "--log", log)
        result = self.monitor("--port", link, "--reconnect", "--frames", "200", "--seconds", "20", "--record", capture)
        status, said = sim.finish()
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("vanished", result.stderr)
        self.assertIn("is back; request frame sent again", result.stderr)
        self.assertEqual(said.count("request frame received"), 2, said)
        with open(log) as f:
            sent = json_lines(f.read())
        shown = json_lines(result.stdout)
        self.assertEqual(len(sent), 200)
        self.assertEqual([state(r) for r in shown], [state(r) for r in sent], "half a frame never joins the new session")
        replay = self.monitor("--replay", capture, "--replay-speed", "0")
        self.assertEqual(json_lines(replay.stdout), shown, "the capture notes where the port came back")

    def test_an_unplugged_port_without_reconnect_is_one_line_and_status_1(self):
        sim = self.sim("--rate", "200", "--vanish-after", "30")
        result = self.monitor("--port", sim.path, "--seconds", "60")
        sim.finish()
        self.assertEqual(result.returncode, 1)
        error, summary = result.stderr.strip().splitlines()
        self.assertRegex(error, rf"^vandry-monitor: {sim.path} vanished: .+ \(device unplugged\?\)$")
        self.assertRegex(summary, r"^vandry-monitor: 30 updates in ")
        self.assertEqual(len(json_lines(result.stdout)), 30)

    def test_a_replay_fifo_waits_for_its_writer_until_a_stop(self):
        frames = [upload_frame(0, [k] * 15) for k in range(1, 4)]
        capture = self.path("capture.bin")
        write_capture(capture, [(1000 * k, frame) for k, frame in enumerate(frames)])
        with open(capture, "rb") as f:
            timed = f.read()
        stops = [(name, ["--replay-speed", "0"]) for name in SIGNALS] + [("--seconds", ["--seconds", "1"])]
        writes = [("capture", timed, ["--replay-speed", "0"]), ("raw bytes", b"".join(frames), [])]
        for name, extra in stops:
            with self.subTest(stop=name):
                fifo = self.path(f"stop{name}")
                os.mkfifo(fifo)
                monitor = self.start([MONITOR, "--replay", fifo, *extra])
                if name in SIGNALS:
                    self.assertTrue(eventually(lambda: catches(monitor.pid, SIGNALS[name])), "handlers installed")
                    monitor.send_signal(SIGNALS[name])
                self.assertEqual(self.wait_exit(monitor, timeout=10), 0)  # nobody ever writes
                said = monitor.stderr.read().decode()
                self.assertEqual(said, "" if name in SIGNALS else f"vandry-monitor: {fifo}: no writer came; "
                                 "nothing was replayed\n")
                self.assertEqual(monitor.stdout.read(), b"")
        for name, data, extra in writes:  # the writer comes late, and the header cannot be read twice
            with self.subTest(writer=name):
                fifo = self.path(f"write{name}")
                os.mkfifo(fifo)
                monitor = self.start([MONITOR, "--replay", fifo, *extra])
                self.assertTrue(eventually(lambda: catches(monitor.pid, signal.SIGTERM)))
                with open(fifo, "wb") as f:
                    f.write(data)
                self.assertEqual(self.wait_exit(monitor), 0)
                shown = json_lines(monitor.stdout.read().decode())
                self.assertEqual([r["channels"] for r in shown], [[k] * 15 for k in range(1, 4)])
        for name, extra in (("SIGINT", ["--replay-speed", "0"]), ("--seconds", ["--seconds", "1"])):
            with self.subTest(stalled_writer=name):  # it wrote some, and then nothing, but stays
                fifo = self.path(f"stall{name}")
                os.mkfifo(fifo)
                monitor = self.start([MONITOR, "--replay", fifo, *extra])
                writer = os.open(fifo, os.O_WRONLY)
                self.addCleanup(os.close, writer)
                os.write(writer, timed[:len(timed) - len(frames[-1]) - 5])  # the last record cut in its head
                self.assertIsNotNone(Lines(monitor.stdout.fileno()).line(), "what was written is shown")
                if name in SIGNALS:
                    monitor.send_signal(SIGNALS[name])
                self.assertEqual(self.wait_exit(monitor, timeout=10), 0)
                said = monitor.stderr.read().decode()
                self.assertNotIn("cannot", said)
                self.assertNotIn("ends inside a record", said, "the stop cut it, not the recording")

    def test_a_stalled_fifo_writer_holds_back_nothing_already_read(self):
        frames = [upload_frame(0, [k % 1000] * 15) for k in range(3996)]
        capture = self.path("capture.bin")
        write_capture(capture, [(250 * k, frame) for k, frame in enumerate(frames)])
        with open(capture, "rb") as f:
            timed = f.read()
        # (name, bytes written, options, lines read while the writer stays, stdout closed after them)
        cases = [("capture", timed, ["--replay-speed", "0"], len(frames), False),
                 ("raw bytes", b"".join(frames[:3]), [], 3, False),  # far less than a read asks for
                 ("stdout closed", timed, ["--replay-speed", "0"], 1, True)]
        for name, data, extra, count, close_stdout in cases:
            with self.subTest(name):
                fifo = self.path(name)
                os.mkfifo(fifo)
                monitor = self.start([MONITOR, "--replay", fifo, *extra])
                writer = open(fifo, "wb", buffering=0)
                self.addCleanup(writer.close)
                sender = threading.Thread(target=lambda: write_all(writer.fileno(), data), daemon=True)
                sender.start()  # the pipe holds less than a capture: the run reads while it writes
                sender.join(DEADLINE)
                self.assertFalse(sender.is_alive(), "the run reads while the writer writes")
                self.assertTrue(eventually(lambda: unread_bytes(writer.fileno()) == 0), "the run read everything")
                lines = Lines(monitor.stdout.fileno())  # read only now: stdout's backlog is waiting
                until = time.monotonic() + 15
                shown = [lines.line(timeout=until - time.monotonic()) for _ in range(count)]
                self.assertEqual(len(lines.seen), count, "lines shown while the writer stalls")
                if close_stdout:
                    monitor.stdout.close()  # `| head -1`: the run ends though the writer stays
                    self.assertEqual(self.wait_exit(monitor, timeout=15), 0)
                    continue
                self.assertEqual([r["channels"] for r in json_lines("\n".join(shown) + "\n")],
                                 [[k % 1000] * 15 for k in range(count)])
                self.assertEqual(monitor.poll(), None, "the run waits on for its writer")
                writer.close()
                self.assertEqual(self.wait_exit(monitor), 0)
                self.assertEqual(lines.rest(), "")

    def test_a_port_in_use_is_refused_and_its_run_undisturbed(self):
        link = self.path("vandry")
        sim = self.sim("--rate", "200", "--link", link, "--serve")  # stays after the stop frame
        first, lines = self.start_monitor("--port", link)
        self.assertIsNotNone(lines.line(), "the first run reads the device")
        for args in (["--port", link, "--seconds", "1.5"], ["--sbus-out", link, "--seconds", "1.5"]):
            with self.subTest(args=args):
                second = self.monitor(*args)
                self.assertEqual(second.returncode, 1, second.stderr)
                self.assertIn(f"{link} is in use by another program", second.stderr)
                self.assertEqual(second.stdout, "")
        self.assertIsNotNone(lines.line(), "the first run goes on")
        self.assertEqual(exclusive(link), 1, "a refused run leaves the first one's claim alone")
        first.send_signal(signal.SIGTERM)
        self.assertEqual(self.wait_exit(first), 0)
        self.assertEqual(exclusive(link), 0, "released at the end: the next run, not root, may open it")
        said = first.stderr.read().decode()
        self.assertNotIn("vanished", said)
        sim.err.wait_for("stop frame received")
        sim.process.send_signal(signal.SIGTERM)
        status, device_said = sim.finish()
        self.assertEqual(device_said.count("request frame received"), 1, device_said)
        shown = json_lines("\n".join(lines.seen) + "\n" + lines.rest())
        self.assertEqual([r["update"] for r in shown], list(range(1, len(shown) + 1)))

    def test_a_port_another_program_holds_exclusively_is_refused_and_stays_its(self):
        nobody = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
        for user, prefix in (("root", []), ("nobody", nobody)):
            with self.subTest(user=user):
                device = Device(self)
                os.chmod(device.path, 0o666)
                fcntl.ioctl(device.slave, termios.TIOCEXCL)  # a terminal program's claim
                if prefix and self.run_tool([*prefix, MONITOR, "--version"]).returncode != 0:
                    self.skipTest("the monitor cannot run as nobody from where it was built")
                result = self.run_tool([*prefix, MONITOR, "--port", device.path, "--seconds", "1"])
                self.assertEqual((result.returncode, result.stderr),
                                 (1, f"vandry-monitor: {device.path} is in use by another program\n"))
                self.assertEqual(exclusive(device.path), 1, "the other program's claim stays")
                self.assertEqual(unread_bytes(device.master), 0, "nothing was sent to it")

    def test_the_terminal_stdout_is_on_is_no_sbus_output(self):
        terminal = Device(self)
        set_raw(terminal.slave)
        # stdout on a terminal that is also the run's controlling one: /dev/tty names it.
        monitor = self.start([MONITOR, "--json", "--seconds", "1", "--sbus-out", "/dev/tty"], stdout=terminal.slave,
                             start_new_session=True, preexec_fn=lambda: fcntl.ioctl(1, termios.TIOCSCTTY, 0))
        self.assertEqual(self.wait_exit(monitor), 1)
        self.assertIn("vandry-monitor: the SBUS output /dev/tty is stdout", monitor.stderr.read().decode())
        self.assertEqual(unread_bytes(terminal.master), 0, "nothing reached the terminal")

    def test_a_fifo_without_a_reader_does_not_hang_the_run(self):
        fifo = self.path("sbus")
        os.mkfifo(fifo)
        started = time.monotonic()
        result = self.monitor("--json", "--sbus-out", fifo, "--seconds", "1")
        self.assertLess(time.monotonic() - started, 10)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn(f"SBUS output {fifo}: waiting for a reader", result.stderr)
        self.assertIn("no reader came; nothing was sent", result.stderr)
        self.assertTrue(json_lines(result.stdout))

    def test_the_sbus_failsafe_stops_and_resumes_with_the_data(self):
        device = Device(self)
        set_raw(device.slave)
        fifo = self.path("sbus")
        os.mkfifo(fifo)
        reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
        self.addCleanup(os.close, reader)
        monitor = self.start([MONITOR, "--port", device.path, "--json", "--sbus-out", fifo, "--sbus-rate", "100",
                              "--stale-ms", "200"], stdout=subprocess.DEVNULL)
        err = Lines(monitor.stderr.fileno())
        device.read_until(REQUEST_FRAME)

        def frames_within(seconds, least=None):
            """Frames read within `seconds`, or as soon as there are `least`."""
            data, until = b"", time.monotonic() + seconds
            while True:
                if select_read(reader, until - time.monotonic()):
                    data += os.read(reader, 65536)
                if (least and len(data) >= 25 * least) or time.monotonic() >= until:
                    return len(data) // 25

        for turn in range(3):  # data, silence, data again
            device.write(upload_frame(0, [500] * 15))
            if turn > 0:
                err.wait_for("resumed: fresh data")
            self.assertGreater(frames_within(DEADLINE, least=1), 0)
            err.wait_for("stopped: no data for 200 ms")
            frames_within(0)  # those sent before it stopped
            self.assertEqual(frames_within(0.5), 0, "nothing while the data is stale")
        monitor.send_signal(signal.SIGTERM)
        self.assertEqual(self.wait_exit(monitor), 0)


def select_read(fd, timeout):
    return select.select([fd], [], [], max(0, timeout))[0]


class SlowStdout(ToolTest):
    """stdout's reader never holds up the run, and gets every line."""

    def test_a_stalled_reader_holds_up_neither_the_port_nor_the_outputs_nor_the_end(self):
        for limit in (["--seconds", "2"], ["--frames", "1200"]):
            with self.subTest(limit=limit):
                sim = self.sim("--rate", "1000", "--types", "2")
                betaflight = Listener(self, "127.0.0.1")
                read_end, write_end = os.pipe()
                self.addCleanup(os.close, read_end)
                monitor = self.start([MONITOR, "--port", sim.path, "--json", *limit,
                                      "--udp-out", betaflight.endpoint, "--udp-format", "betaflight"], stdout=write_end)
                os.close(write_end)
                status, said = sim.finish()  # the device had the stop frame while nobody read stdout
                self.assertIn("stop frame received", said)
                self.assertGreater(unread_bytes(read_end), 32768, "the reader fell behind")
                stamps = [struct.unpack_from("<d", d)[0] for d in betaflight.finish()]
                out = Lines(read_end).rest()
                self.assertEqual(self.wait_exit(monitor), 0)
                updates = [r["update"] for r in json_lines(out)]
                self.assertEqual(updates, list(range(1, len(updates) + 1)), "every line, in order")
                count, seconds = re.search(r"vandry-monitor: (\d+) updates in ([0-9.]+) s", monitor.stderr.read().decode()).groups()
                self.assertEqual(int(count), len(updates))
                if limit[0] == "--frames":
                    self.assertEqual(len(updates), 1200)
                else:
                    self.assertLess(float(seconds), 2.5, "the deadline ends the reading")
                self.assertEqual(len(stamps), len(updates), "a datagram per update")
                gaps = [b - a for a, b in zip(stamps, stamps[1:])]
                self.assertLess(max(gaps), 0.5, "the port is read and the output served throughout")

    def test_a_reader_too_far_behind_fails_the_run_but_an_unpaced_replay_waits_for_it(self):
        capture = self.path("long.cap")
        frame = upload_frame(2, list(range(1000, 1015)), [list(range(60000, 60016)), list(range(61000, 61016))])
        records = [struct.pack("<QH", k * 1000, 40 * len(frame)) + frame * 40 for k in range(6000)]
        with open(capture, "wb") as f:  # 240000 updates of some 330 bytes: more than the 64 MiB kept
            f.write(b"\x89VANDRY\n\x01\x00\x00\x00" + b"".join(records))
        for speed, status in (("1000", 1), ("0", 0)):
            with self.subTest(speed=speed):
                read_end, write_end = os.pipe()
                self.addCleanup(os.close, read_end)
                monitor = self.start([MONITOR, "--replay", capture, "--replay-speed", speed], stdout=write_end)
                os.close(write_end)
                taken = b""
                if status:
                    started = time.monotonic()
                    while time.monotonic() - started < 0.5:  # a reader that takes a little, then stalls
                        taken += os.read(read_end, 4096)
                        time.sleep(0.02)
                    self.assertEqual(self.wait_exit(monitor), 1)
                else:
                    time.sleep(3)  # the reader's stall: time enough to read far beyond the limit
                out = taken + read_to_end(read_end)
                self.assertEqual(self.wait_exit(monitor), status)
                self.assertTrue(out.endswith(b"\n"), "whole lines only, even where the run gave up on its reader")
                err = monitor.stderr.read().decode()
                if status:
                    self.assertIn("vandry-monitor: cannot write to stdout: its reader fell more than 64 MiB behind "
                                  "(the most kept for it); the run stops, and the lines it has not taken are lost\n", err)
                else:
                    self.assertEqual(out.count(b"\n"), 240000)
                    self.assertRegex(err, r"\Avandry-monitor: 240000 updates in [0-9.]+ s\n\Z")

    def test_a_full_device_fails_and_a_closed_pipe_ends_quietly(self):
        for redirection, status, said in ((">/dev/full", 1, r"\Avandry-monitor: cannot write to stdout: No space left on device\n"),
                                          ("| head -1 >/dev/null", 0, r"\A\Z")):
            with self.subTest(redirection=redirection):
                result = self.run_tool(["bash", "-o", "pipefail", "-c", f'"$0" --frames 300 {redirection}', MONITOR])
                self.assertEqual(result.returncode, status)
                self.assertRegex(result.stderr, said)


def read_to_end(fd, timeout=DEADLINE):
    """Everything from a pipe until its writer ends (or the deadline), in chunks joined once."""
    chunks, until = [], time.monotonic() + timeout
    while select_read(fd, until - time.monotonic()) and (chunk := os.read(fd, 1 << 20)):
        chunks.append(chunk)
    return b"".join(chunks)


class Outputs(ToolTest):
    def test_built_in_device_drives_sbus_output(self):
        sbus = self.path("sbus.bin")
        result = self.monitor("--json", "--frames", "20", "--sbus-out", sbus, "--sim-types", "0")
        self.assertEqual(result.returncode, 0, result.stderr)
        scaled = [[min(2047, v * 1706 // 1000) for v in u["channels"]] + [0] for u in json_lines(result.stdout)]
        with open(sbus, "rb") as f:
            data = f.read()
        frames = [data[k:k + 25] for k in range(0, len(data), 25)]
        # One frame per update; updates less than 3 ms apart (a loaded machine
        # reads them together) share the frame that carries the newest.
        self.assertTrue(0 < len(frames) <= len(scaled))
        self.assertEqual(len(data), 25 * len(frames))
        position = -1
        for n, frame in enumerate(frames):
            self.assertEqual((frame[0], frame[23]), (0x0F, 0x00))
            self.assertEqual(frame[24], [0x04, 0x14, 0x24, 0x34][n % 4])
            position = scaled.index(sbus_channels(frame), position + 1)

    def test_sbus_serial_line_gets_100000_baud_8e2_and_is_restored(self):
        device = Device(self)
        before = fcntl.ioctl(device.slave, TCGETS2, bytes(44))
        monitor = self.start([MONITOR, "--json", "--sbus-out", device.path, "--sim-rate", "50", "--sim-types", "0"])
        lines = Lines(monitor.stdout.fileno())
        self.assertIsNotNone(lines.line())
        # struct termios2: four flag words, c_line, 19 c_cc bytes, then the speeds.
        raw = fcntl.ioctl(device.slave, TCGETS2, bytes(44))
        _, _, cflag, _ = struct.unpack_from("4I", raw)
        self.assertEqual(struct.unpack_from("2I", raw, 36), (100000, 100000))
        self.assertEqual(cflag & termios.CSIZE, termios.CS8)
        self.assertTrue(cflag & termios.CSTOPB, "two stop bits")
        # A pseudo-terminal drops the parity bits, so even parity cannot be read back here.
        self.assertEqual(cflag & 0o10017, 0o10000, "BOTHER for the output speed")
        self.assertEqual((cflag >> 16) & 0o10017, 0o10000, "and for the input speed (CIBAUD)")
        monitor.send_signal(signal.SIGTERM)
        self.assertEqual(self.wait_exit(monitor), 0)
        self.assertEqual(fcntl.ioctl(device.slave, TCGETS2, bytes(44)), before, "restored at the end")
        frames = os.read(device.master, 65536)
        self.assertEqual(len(frames) % 25, 0)
        self.assertEqual(frames[0::25], b"\x0f" * (len(frames) // 25))
        updates = json_lines("\n".join(lines.seen) + "\n" + lines.rest())
        scaled = [[min(2047, v * 1706 // 1000) for v in u["channels"]] + [0] for u in updates]
        position = -1
        for k in range(0, len(frames), 25):
            position = scaled.index(sbus_channels(frames[k:k + 25]), position + 1)

    def test_hid_reports_are_decoded(self):
        # Only a hidraw device is taken for --hidraw, and this machine may
        # have none: the reports come from a capture of HID reports.
        capture = self.path("hid.cap")
        write_capture(capture, [(1000, bytes(range(1, 20))),  # a 19-byte game-controller report
                                (2000, bytes([0xFA, 0, 0, 0]) + bytes(range(4, 34)) + bytes([0]))],  # compatible
                      kind=1)
        result = self.monitor("--replay", capture, "--replay-speed", "0")
        self.assertEqual(result.returncode, 0, result.stderr)
        game, compatible = json_lines(result.stdout)
        self.assertEqual(game["game_controller"],
                         [0x0201, 0x0403, 0x0605, 0x0807, 0x0900, 0x0B0A, 0x0C00, 0x0E0D, 0, 0x100F, 0x11])
        self.assertEqual(compatible["channels"], [(5 + 2 * k) << 8 | (4 + 2 * k) for k in range(15)])

    def test_the_live_view_fits_the_terminal_follows_the_data_and_ends_when_it_closes(self):
        device = Device(self)
        set_raw(device.slave)
        screen = Device(self)  # the monitor's terminal
        set_size(screen.slave, 60, 30)
        monitor = self.start([MONITOR, "--port", device.path, "--stale-ms", "300"], stdin=screen.slave,
                             stdout=screen.slave, stderr=subprocess.PIPE, start_new_session=True,
                             preexec_fn=lambda: fcntl.ioctl(0, termios.TIOCSCTTY, 0))
        out = Lines(screen.master)
        out.wait_for("waiting for the device")
        device.read_until(REQUEST_FRAME)
        device.write(upload_frame(2, [2000] + [600] * 14, [[7] * 16, [8] * 16]))
        out.wait_for("receiving")
        out.wait_for(">]")  # 2000 is above the default scale
        out.wait_for("stale: no data for")
        set_size(screen.slave, 30, 8)
        out.wait_for("\x1b[2J")  # a redraw from a clear screen
        first = len(out.seen) - 1
        out.wait_for("more lines")
        drawn = out.seen[first:]
        self.assertLessEqual(len(drawn), 7)
        for line in drawn:
            visible = re.sub(r"\x1b\[[0-9;]*[A-Za-z]", "", line).rstrip("\r")
            self.assertLess(len(visible), 30, repr(visible))
        screen.close()  # the terminal goes away: a hang-up, and writes that fail
        status = self.wait_exit(monitor)
        said = monitor.stderr.read().decode()
        self.assertEqual(status, 0, said)
        self.assertNotIn("cannot", said)
        device.read_until(STOP_FRAME)


def exclusive(path):
    """Whether the terminal at `path` is in exclusive mode (root opens it anyway)."""
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        return struct.unpack("i", fcntl.ioctl(fd, TIOCGEXCL, b"\0\0\0\0"))[0]
    finally:
        os.close(fd)


def set_size(fd, columns, rows):
    fcntl.ioctl(fd, termios.TIOCSWINSZ, struct.pack("HHHH", rows, columns, 0, 0))


class Errors(ToolTest):
    def test_bad_ports_files_and_options_fail_cleanly(self):
        existing = self.path("existing")
        with open(existing, "w") as f:
            f.write("keep me")
        os.mkdir(self.path("folder"))
        os.symlink(self.path("gone"), self.path("dangling"))
        device = Device(self)
        os.symlink(device.path, self.path("port"))
        capture, mangled, damaged, raw = (self.path(name) for name in ("c.cap", "m.cap", "d.cap", "raw.bin"))
        write_capture(capture, [(1000 * k, upload_frame(0, [k * 10] * 15)) for k in range(100)])
        with open(capture, "rb") as f, open(mangled, "wb") as m, open(damaged, "wb") as d, open(raw, "wb") as r:
            data = f.read()
            m.write(data.replace(b"\n", b"\r\n"))  # a text-mode copy
            d.write(data[:7] + b"\0" + data[8:])
            r.write(upload_frame(0, [5] * 15))
        cut_in_magic = self.path("cut-in-magic.bin")
        with open(cut_in_magic, "wb") as f:
            f.write(b"\x89VAND")
        cases = [  # arguments, status, what stderr says
            (["--port", "/dev/no-such-vandry"], 1, "cannot open /dev/no-such-vandry: No such file or directory"),
            (["--port", "/dev/no-such-vandry", "--record", self.path("left.cap"), "--sbus-out", self.path("sbus")], 1,
             "cannot open /dev/no-such-vandry: No such file or directory"),
            (["--port", "/dev/null"], 1, "/dev/null is not a serial port"),
            (["--replay", self.path("missing.bin")], 1,
             f"cannot open the capture to replay {self.path('missing.bin')}: No such file"),
            (["--replay", self.path("folder")], 1, f"cannot read the capture to replay {self.path('folder')}: Is a dir"),
            (["--replay", cut_in_magic], 1, f"{cut_in_magic} is a capture cut short inside its header"),
            (["--replay", mangled], 1,
             f"{mangled} looks like a capture damaged by a text-mode copy (line ends changed)"),
            (["--replay", damaged], 1, f"{damaged} starts like a capture, but its header is damaged"),
            (["--replay", raw, "--replay-speed", "0.5"], 1,
             f"--replay-speed goes with a capture: {raw} has no capture header"),
            (["--hidraw", existing], 1, f"{existing} is not a hidraw device (a regular file; to replay a capture"),
            (["--hidraw", "/dev/no-such-hidraw"], 1, "cannot open /dev/no-such-hidraw: No such file or directory"),
            (["--hidraw", "/dev/null", "--record", self.path("left.cap")], 1, "/dev/null is not a hidraw device"),
            (["--hidraw", "/dev/null"], 1, "/dev/null is not a hidraw device"),
            (["--hidraw", "/dev/zero", "--seconds", "2"], 1, "/dev/zero is not a hidraw device"),
            (["--hidraw", "/dev/urandom", "--seconds", "2"], 1, "/dev/urandom is not a hidraw device"),
            (["--hidraw", "/dev/ptmx", "--seconds", "2"], 1, "/dev/ptmx is not a hidraw device"),
            (["--record", existing, "--seconds", "1"], 1, f"cannot create the capture {existing}: File exists ("),
            (["--record", self.path("folder"), "--seconds", "1"], 1, "File exists: a directory ("),
            (["--record", self.path("dangling"), "--seconds", "1"], 1, "File exists: a symbolic link to nothing ("),
            (["--sbus-out", existing, "--seconds", "1"], 1, f"the SBUS output {existing} is an existing file"),
            (["--sbus-out", self.path("folder"), "--seconds", "1"], 1, "is not a serial device, FIFO or file"),
            (["--sbus-out", self.path("no/such/dir"), "--seconds", "1"], 1, "cannot create the SBUS output"),
            (["--port", device.path, "--sbus-out", device.path, "--seconds", "1"], 1,
             f"the SBUS output {device.path} is the source, {device.path}"),
            (["--port", device.path, "--sbus-out", self.path("port"), "--seconds", "1"], 1,
             f"the SBUS output {self.path('port')} is the source, {device.path}"),
            (["--sbus-out", "/dev/stdout", "--seconds", "1"], 1, "the SBUS output /dev/stdout is stdout"),
            (["--sbus-out", "/proc/self/fd/1", "--seconds", "1"], 1, "the SBUS output /proc/self/fd/1 is stdout"),
            (["--udp-out", "255.255.255.255:9", "--udp-format", "json", "--sbus-out", self.path("sbus")], 1,
             "UDP output 255.255.255.255:9: cannot open: "),  # Linux: broadcast needs a permission
            (["--port", "/dev/null", "--baud", "12345"], 2, "--baud takes one of 1200, 2400,"),
            (["--frobnicate"], 2, "unknown option --frobnicate"),  # the rest of the command line: unit tests
        ]
        for args, status, message in cases:
            with self.subTest(args=args):
                result = self.monitor(*args)
                self.assertEqual(result.returncode, status, result.stderr)
                self.assertIn(message, result.stderr)
                self.assertEqual(result.stdout, "")
                if status == 1:
                    self.assertEqual(len(result.stderr.splitlines()), 1, result.stderr)
        with open(existing) as f:
            self.assertEqual(f.read(), "keep me")
        self.assertEqual(unread_bytes(device.master), 0, "nothing was sent to the refused port")
        for output in ("sbus", "left.cap"):
            self.assertFalse(os.path.exists(self.path(output)), f"a failed run leaves no {output} behind")

    def test_one_update_is_singular(self):
        result = self.monitor("--frames", "1")
        self.assertEqual(result.returncode, 0)
        self.assertRegex(result.stderr, r"^vandry-monitor: 1 update in [0-9.]+ s\n$")

    def test_list_ports_lists_devices_and_goes_alone(self):
        result = self.monitor("--list-ports")
        self.assertEqual(result.returncode, 0, result.stderr)
        for line in result.stdout.splitlines():  # whatever this machine has
            self.assertRegex(line, r"^/dev/(serial/by-id/\S+( -> /dev/\S+)?|tty(USB|ACM)\d+)$")
        if not result.stdout:
            self.assertEqual(result.stderr, "vandry-monitor: no serial ports found (is the device plugged in?)\n")
        refused = self.monitor("--list-ports", "--port", "/dev/ttyUSB0")
        self.assertEqual(refused.returncode, 2)
        self.assertIn("--list-ports takes no other option", refused.stderr)

    def test_help_version_and_the_manual_agree(self):
        for program, man in ((MONITOR, "vandry-monitor.1"), (SIM, "vandry-sim.1")):
            with self.subTest(program=program):
                usage = self.run_tool([program, "--help"])
                self.assertEqual(usage.returncode, 0)
                self.assertEqual(options_of_help(usage.stdout), options_of_man(os.path.join(MAN_DIR, man)))
                version = self.run_tool([program, "--version"])
                self.assertEqual(version.returncode, 0)
                self.assertRegex(version.stdout, r"^vandry-(monitor|sim) \(VandryInterface \d+\.\d+\.\d+\)\n$")


if __name__ == "__main__":
    import unittest
    unittest.main()
