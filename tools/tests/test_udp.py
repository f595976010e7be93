"""vandry-monitor's UDP outputs end to end, over the loopback: each format's
layout and size, the channel map against what the device logged, the rate,
failed sends, and the failsafe. Traffic stays on 127.0.0.1 and ::1."""
import math
import os
import re
import signal
import struct
import time
from fractions import Fraction

from harness import (MONITOR, REQUEST, Device, Lines, Listener, ToolTest, eventually, free_udp_port,
                     has_ipv6_loopback, json_lines, sbus_channels, set_raw, state, upload_frame, write_capture)

IPV6 = has_ipv6_loopback()
HOST6 = "::1" if IPV6 else "127.0.0.1"  # a machine without IPv6 still tests the rest

# The map the tests give the monitor, as a file and one inline rule ...
MAP_FILE = """# the test's sticks
1=ch1
2 = ch2 : rev            # reversed
3=ch3:100:1100
4=bank0.1                # bank values reach 2047, beyond the nominal 1200
5=bank1.16:0:2047:rev
6=1100                   # held, in microseconds
"""
MAP_RULE = "8=ch15:200:1000"
# ... and the same rules, written down separately for the model:
# output -> (record, index, LO, HI, reversed), or a fixed value in µs.
RULES = {1: ("channels", 0, 0, 1200, False), 2: ("channels", 1, 0, 1200, True), 3: ("channels", 2, 100, 1100, False),
         4: ("bank0", 0, 0, 1200, False), 5: ("bank1", 15, 0, 2047, True), 6: 1100, 8: ("channels", 14, 200, 1000, False)}
PULSES, SBUS = (1000, 2000), (0, 2047)


def round_half_up(x):
    return math.floor(x + Fraction(1, 2))


def scaled(value, low, high, reversed_, out):
    """The straight line from LOW..HIGH onto the output's range, exactly."""
    v = min(max(value, low), high)
    x = round_half_up(out[0] + Fraction(v - low, high - low) * (out[1] - out[0]))
    return out[0] + out[1] - x if reversed_ else x


def mapped(channels, banks, out):
    """The 16 output values of one update under RULES."""
    records = {"channels": channels, "bank0": banks[0], "bank1": banks[1]}
    values = []
    for k in range(1, 17):
        rule = RULES.get(k)
        if rule is None:
            values.append(round_half_up(Fraction(out[0] + out[1], 2)))  # the centre
        elif isinstance(rule, int):
            values.append(scaled(rule, 1000, 2000, False, out))  # its place in 1000..2000 µs
        else:
            record, index, low, high, reversed_ = rule
            values.append(scaled(records[record][index], low, high, reversed_, out))
    return values


def expected_outputs(logged, out):
    """The outputs after each logged frame, from the first frame after which
    every record the map reads has been sent. The log has no payload types;
    the simulator's sweeping values make a record's first frame the first in
    which it holds a value other than zero."""
    sent_channels = sent_banks = False
    expected = []
    for frame in logged:
        channels, banks = state(frame)
        sent_channels = sent_channels or any(channels)
        sent_banks = sent_banks or any(banks[0]) or any(banks[1])
        if sent_channels and sent_banks:
            expected.append(mapped(channels, banks, out))
    return expected


class Formats(ToolTest):
    def test_each_format_carries_every_update_mapped_as_the_device_logged_it(self):
        frames = 300
        log, map_path, sbus = self.path("sent.jsonl"), self.path("sticks.map"), self.path("sbus.bin")
        with open(map_path, "w") as f:
            f.write(MAP_FILE)
        outputs = {  # format: listener; each family, and localhost for both
            "betaflight": Listener(self, "127.0.0.1"),
            "ardupilot": Listener(self, HOST6),
            "ardupilot8": Listener(self, "127.0.0.1", as_localhost=True),
            "json": Listener(self, HOST6, as_localhost=True),
        }
        sim = self.sim("--types", "0,1,2", "--hostile", "--noise", "--irregular", "--rate", "500", "--seed", "5",
                       "--count", str(frames), "--log", log)
        args = ["--port", sim.path, "--frames", str(frames), "--seconds", "60", "--map", map_path,
                "--map-channel", MAP_RULE, "--sbus-out", sbus]
        for name, listener in outputs.items():
            args += ["--udp-out", listener.endpoint, "--udp-format", name]
        started = time.monotonic()
        result = self.monitor(*args)
        took = time.monotonic() - started
        self.assertEqual(result.returncode, 0, result.stderr)
        status, said = sim.finish()
        self.assertEqual(status, 0, said)
        with open(log) as f:
            logged = json_lines(f.read())
        self.assertEqual(len(logged), frames)
        received = {name: listener.finish() for name, listener in outputs.items()}

        expected = expected_outputs(logged, PULSES)
        held = frames - len(expected)
        self.assertGreater(held, 0, "the first frames carry no banks")
        layouts = {"betaflight": ("<d16H", 40), "ardupilot": ("<16H", 32), "ardupilot8": ("<8H", 16)}
        for name, (layout, size) in layouts.items():
            with self.subTest(format=name):
                self.assertEqual({len(d) for d in received[name]}, {size})
                fields = [struct.unpack(layout, d) for d in received[name]]
                pulses = [list(f[1:]) if name == "betaflight" else list(f) for f in fields]
                self.assertEqual(pulses, [e[:len(pulses[0])] for e in expected], "one datagram per update")
                self.assertIn(f"UDP output {outputs[name].endpoint}: {len(expected)} {name} datagrams sent; "
                              f"{held} held back", result.stderr)
        stamps = [struct.unpack_from("<d", d)[0] for d in received["betaflight"]]
        self.assertEqual(stamps, sorted(stamps))
        self.assertTrue(0 < stamps[0] and stamps[-1] < took, "seconds since the monitor started")
        self.assertIn("holding datagrams back until the device sends its banks, which the channel map reads",
                      result.stderr)

        # json: the line --json prints, one per update, map or not.
        lines = [line + "\n" for line in result.stdout.splitlines()]
        self.assertEqual(len(lines), frames)
        self.assertEqual([d.decode() for d in received["json"]], lines)
        self.assertEqual([state(u) for u in json_lines(result.stdout)], [state(f) for f in logged])

        # SBUS follows the same map onto 0..2047; updates less than 3 ms
        # apart share the frame that carries the newest.
        with open(sbus, "rb") as f:
            data = f.read()
        self.assertEqual(len(data) % 25, 0)
        sbus_frames = [data[k:k + 25] for k in range(0, len(data), 25)]
        self.assertTrue(sbus_frames)
        wanted, position = expected_outputs(logged, SBUS), -1
        for frame in sbus_frames:
            self.assertEqual((frame[0], frame[23]), (0x0F, 0x00))
            position = wanted.index(sbus_channels(frame), position + 1)

    def test_hid_reports_reach_the_outputs_that_carry_them(self):
        ardupilot8, json_out = Listener(self, "127.0.0.1"), Listener(self, HOST6)
        capture = self.path("hid.cap")  # only a hidraw device is taken for --hidraw: a capture of reports
        sticks = struct.pack("<15H", *(85 * k for k in range(15)))
        write_capture(capture, [(1000, bytes(range(1, 20))),  # a 19-byte game-controller report: no channels
                                (2000, bytes([0xFA, 0, 0, 0]) + sticks + bytes([0]))],  # compatible: 15 channels
                      kind=1)
        result = self.monitor("--replay", capture, "--replay-speed", "0",
                              "--udp-out", ardupilot8.endpoint, "--udp-format", "ardupilot8",
                              "--udp-out", json_out.endpoint, "--udp-format", "json")
        self.assertEqual(result.returncode, 0, result.stderr)
        game, compatible = result.stdout.splitlines()
        self.assertEqual([d.decode() for d in json_out.finish()], [game + "\n", compatible + "\n"])
        channels = json_lines(compatible)[0]["channels"]
        self.assertEqual(channels, [85 * k for k in range(15)])
        pulses = [list(struct.unpack("<8H", d)) for d in ardupilot8.finish()]
        self.assertEqual(pulses, [[scaled(v, 0, 1200, False, PULSES) for v in channels[:8]]])
        # The game-controller report has no channels to map: the output says what it waits for.
        self.assertIn(f"UDP output {ardupilot8.endpoint}: holding datagrams back until the device sends its 15 "
                      "channels, which the channel map reads", result.stderr)
        self.assertIn("1 ardupilot8 datagram sent; 1 held back", result.stderr)

    def test_a_closed_port_is_said_once_counted_and_never_fatal(self):
        closed = {"ardupilot": f"127.0.0.1:{free_udp_port('127.0.0.1')}"}
        closed["json"] = f"[{HOST6}]:{free_udp_port(HOST6)}" if IPV6 else f"127.0.0.1:{free_udp_port('127.0.0.1')}"
        args = ["--frames", "40"]
        for name, endpoint in closed.items():
            args += ["--udp-out", endpoint, "--udp-format", name]
        result = self.monitor(*args)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(len(json_lines(result.stdout)), 40)
        for name, endpoint in closed.items():
            with self.subTest(format=name):
                self.assertEqual(result.stderr.count(f"UDP output {endpoint}: cannot send (Connection refused); "
                                                     "sending goes on, further failures are counted"), 1)
                summary = re.search(rf"UDP output {re.escape(endpoint)}: (\d+) {name} datagrams? sent; "
                                    rf"(\d+) of (\d+) sends failed \(first: Connection refused\)", result.stderr)
                self.assertIsNotNone(summary, result.stderr)
                sent, failed, tried = map(int, summary.groups())
                self.assertEqual((sent + failed, tried), (40, 40))
                self.assertGreater(failed, 0)


class BadArguments(ToolTest):
    def test_a_bad_rule_or_endpoint_is_one_line_that_shows_odd_bytes_escaped(self):
        clear_screen, output = "\x1b[2J", ["--udp-out", "127.0.0.1:9", "--udp-format", "ardupilot"]
        cases = [  # arguments, what the one line says
            (["--map-channel", "1=ch1" + clear_screen, *output],
             "--map-channel 1=ch1\\x1b[2J: unknown source 'ch1\\x1b[2J'"),
            (["--map-channel", "2=ch1\n", *output], "--map-channel 2=ch1\\x0a: unknown source 'ch1\\x0a'"),
            (["--map-channel", "2=ch2\r", "--map-channel", "2=ch1", *output],  # a good rule; its place is shown
             "--map-channel 2=ch1: output 2 is already set at --map-channel 2=ch2\\x0d"),
            (["--udp-out", "127.0.0.1:9" + clear_screen, "--udp-format", "json"],
             "UDP output '127.0.0.1:9\\x1b[2J': port"),
        ]
        for args, said in cases:
            with self.subTest(args=args):
                result = self.monitor(*args)
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertIn(said, result.stderr.splitlines()[0])
                self.assertFalse([c for c in result.stderr if ord(c) < 0x20 and c != "\n"], result.stderr)


class Pacing(ToolTest):
    def test_at_a_rate_never_more_than_one_per_period(self):
        betaflight, json_out = Listener(self, "127.0.0.1"), Listener(self, HOST6)
        sim = self.sim("--rate", "400", "--types", "0")
        result = self.monitor("--port", sim.path, "--seconds", "2", "--udp-rate", "50",
                              "--udp-out", betaflight.endpoint, "--udp-format", "betaflight",
                              "--udp-out", json_out.endpoint, "--udp-format", "json")
        self.assertEqual(result.returncode, 0, result.stderr)
        sim.finish()
        updates = json_lines(result.stdout)
        stamps = [struct.unpack_from("<d", d)[0] for d in betaflight.finish()]
        span = stamps[-1] - stamps[0]
        print(f"\n  50 Hz over {span:.2f} s: {len(stamps)} datagrams from {len(updates)} updates", end="")
        self.assertGreater(len(updates), 2 * len(stamps), "the device sends faster than the rate")
        self.assertLessEqual(len(stamps), 50 * span + 2)
        self.assertGreaterEqual(len(stamps), 0.6 * 50 * span, "the rate is kept")
        for k in range(2, len(stamps)):
            self.assertGreater(stamps[k] - stamps[k - 2], 0.02 - 1e-6, "two datagrams within one period")
        # json at the rate: the newest update's line, again until a newer one.
        numbers = [json_lines(d.decode())[0]["update"] for d in json_out.finish()]
        self.assertEqual(numbers, sorted(numbers))
        self.assertLessEqual(len(numbers), 50 * span + 3)


class Failsafe(ToolTest):
    def test_sending_stops_within_the_stale_limit_and_resumes_with_the_device(self):
        stale, period = 0.3, 0.02
        betaflight, json_out = Listener(self, "127.0.0.1"), Listener(self, HOST6)
        sim = self.sim("--rate", "200", "--types", "0")
        updates_path = self.path("updates.jsonl")
        with open(updates_path, "w") as updates_file:  # a file: nothing here waits for the test to read it
            monitor = self.start([MONITOR, "--port", sim.path, "--json", "--stale-ms", "300", "--udp-rate", "50",
                                  "--udp-out", betaflight.endpoint, "--udp-format", "betaflight",
                                  "--udp-out", json_out.endpoint, "--udp-format", "json"], stdout=updates_file)
        err = Lines(monitor.stderr.fileno())
        self.assertTrue(betaflight.wait_for(5) and json_out.wait_for(5), "datagrams flow")

        sim.process.send_signal(signal.SIGSTOP)  # the device goes silent
        self.addCleanup(sim.process.send_signal, signal.SIGCONT)
        for listener in (betaflight, json_out):
            err.wait_for(f"UDP output {listener.endpoint} stopped: no data for 300 ms (the peer goes to its failsafe)")
        said_stopped = time.monotonic()
        time.sleep(0.6)  # the silence itself, measured below
        resumed_at = time.monotonic()
        sim.process.send_signal(signal.SIGCONT)
        before = len(betaflight.datagrams()), len(json_out.datagrams())
        # In either order: the json output takes the first read's updates one by one, the others its newest.
        resumed = {err.wait_for(" resumed: fresh data") for _ in range(2)}
        self.assertEqual(resumed, {f"vandry-monitor: UDP output {listener.endpoint} resumed: fresh data"
                                   for listener in (betaflight, json_out)})
        self.assertTrue(betaflight.wait_for(before[0] + 5) and json_out.wait_for(before[1] + 5), "datagrams flow again")
        monitor.send_signal(signal.SIGTERM)
        self.assertEqual(self.wait_exit(monitor), 0)

        with open(updates_path) as f:
            times = [u["time"] for u in json_lines(f.read())]
        gap = max(range(1, len(times)), key=lambda k: times[k] - times[k - 1])
        last_before, first_after = times[gap - 1], times[gap]
        self.assertGreater(first_after - last_before, stale + 0.5, "the device was silent")
        stamps = [struct.unpack_from("<d", d)[0] for d in betaflight.finish()]
        during = [t for t in stamps if last_before + 1e-6 < t < first_after - 1e-6]
        print(f"\n  silent {first_after - last_before:.2f} s: datagrams until {max(during) - last_before:.3f} s "
              f"after the last update; {len(during)} in the silence", end="")
        self.assertLessEqual(max(during), last_before + stale + period, "stops within the limit plus one period")
        self.assertGreater(max(during), last_before + stale - 0.15, "goes on while the data is fresh")
        self.assertTrue([t for t in stamps if t >= first_after - 1e-6], "resumes with the device")
        # The json output's arrivals on the test's clock: none once it said it
        # stopped (less the time a datagram takes to be read), until the device came back.
        arrivals = [at for at, _ in json_out.datagrams()]
        self.assertFalse([at for at in arrivals if said_stopped + 0.2 < at < resumed_at], "json stops too")
        self.assertTrue([at for at in arrivals if at > resumed_at])

    def test_frames_that_carry_nothing_the_map_reads_do_not_keep_old_values_going(self):
        """A device that goes on sending frames, but none with the values an
        output maps (a payload type the monitor does not know, or only the
        record the map does not read), leaves those values to go stale."""
        stale, period = 0.2, 0.01
        sticks = [[300 + 10 * k + c for c in range(15)] for k in range(20)]
        banks = [[[400 + k] * 16, [500 + k] * 16] for k in range(20)]
        cases = [  # map rules, frames that carry its values, frames after them, whether those keep it going
            ([], lambda k: upload_frame(0, sticks[k]), upload_frame(3, [0] * 15), False),
            ([], lambda k: upload_frame(2, sticks[k], banks[k]), upload_frame(1, None, banks[0]), False),
            (["1=bank0.1"], lambda k: upload_frame(1, None, banks[k]), upload_frame(0, sticks[0]), False),
            (["1=ch1", "2=bank1.1"], lambda k: upload_frame(2, sticks[k], banks[k]), upload_frame(1, None, banks[0]),
             True),
        ]
        for rules, carrying, after, keeps_going in cases:
            with self.subTest(rules=rules, after=after[4], keeps_going=keeps_going):
                capture, sbus = self.path(f"c{len(rules)}{after[4]}.cap"), self.path(f"s{len(rules)}{after[4]}")
                records = [(round(k * period * 1e6), carrying(k)) for k in range(20)]
                records += [(round(k * period * 1e6), after) for k in range(20, 120)]
                write_capture(capture, records)
                betaflight, ardupilot, json_out = (Listener(self, "127.0.0.1") for _ in range(3))
                args = ["--replay", capture, "--stale-ms", str(round(stale * 1000)), "--sbus-out", sbus]
                for rule in rules:
                    args += ["--map-channel", rule]
                for listener, name in ((betaflight, "betaflight"), (ardupilot, "ardupilot"), (json_out, "json")):
                    args += ["--udp-out", listener.endpoint, "--udp-format", name]
                result = self.monitor(*args)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(len(json_out.finish()), len(records), "json carries every update")
                stamps = [struct.unpack_from("<d", d)[0] for d in betaflight.finish()]
                pulses = ardupilot.finish()
                with open(sbus, "rb") as f:
                    frames = f.read()
                if keeps_going:
                    self.assertEqual((len(stamps), len(pulses)), (len(records), len(records)))
                    continue
                # The last update with values is the last datagram unlike the one before it.
                last = max(k for k in range(1, len(pulses)) if pulses[k] != pulses[k - 1])
                self.assertLessEqual(max(stamps) - stamps[last], stale + 1e-6, "nothing once the values are stale")
                self.assertEqual(len(pulses), len(stamps), "ardupilot stops with it")
                shown = [sbus_channels(frames[k:k + 25]) for k in range(0, len(frames), 25)]
                self.assertLessEqual(shown.count(shown[-1]) - 1, len(stamps) - 1 - last, "and SBUS")
                for output in (betaflight, ardupilot):
                    self.assertIn(f"UDP output {output.endpoint} stopped: no data for 200 ms", result.stderr)
                self.assertIn(f"SBUS output {sbus} stopped: no data for 200 ms", result.stderr)

    def test_after_a_stall_the_outputs_that_map_values_get_only_the_newest(self):
        """A monitor stalled longer than the staleness limit reads a backlog:
        every update goes to stdout and json, only the newest to a receiver."""
        device = Device(self)
        set_raw(device.slave)
        ardupilot, betaflight, json_out = (Listener(self, "127.0.0.1") for _ in range(3))
        fifo = self.path("sbus")
        os.mkfifo(fifo)
        sbus = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
        self.addCleanup(os.close, sbus)
        monitor = self.start([MONITOR, "--port", device.path, "--json", "--stale-ms", "100", "--sbus-out", fifo,
                              "--udp-out", ardupilot.endpoint, "--udp-format", "ardupilot",
                              "--udp-out", betaflight.endpoint, "--udp-format", "betaflight",
                              "--udp-out", json_out.endpoint, "--udp-format", "json"])
        lines = Lines(monitor.stdout.fileno())
        device.read_until(bytes([0xFA, REQUEST]))
        sticks = [[5 * k + c for c in range(15)] for k in range(201)]
        device.write(upload_frame(0, sticks[0]))
        self.assertIsNotNone(lines.line(), "the first update")
        self.assertTrue(ardupilot.wait_for(1) and betaflight.wait_for(1))
        monitor.send_signal(signal.SIGSTOP)
        self.addCleanup(monitor.send_signal, signal.SIGCONT)
        device.write(b"".join(upload_frame(0, s) for s in sticks[1:]))  # more than one read of the port holds
        time.sleep(0.3)  # the stall itself, longer than the staleness limit
        monitor.send_signal(signal.SIGCONT)
        for _ in sticks[1:]:
            self.assertIsNotNone(lines.line(), "every update reaches stdout")
        self.assertTrue(eventually(lambda: len(json_out.datagrams()) == len(sticks)), "and the json output")
        monitor.send_signal(signal.SIGTERM)
        self.assertEqual(self.wait_exit(monitor), 0)

        self.assertEqual([json_lines(d.decode())[0]["channels"] for d in json_out.finish()], sticks)
        expected = [[scaled(v, 0, 1200, False, PULSES) for v in s] + [1500] for s in (sticks[0], sticks[-1])]
        self.assertEqual([list(struct.unpack("<16H", d)) for d in ardupilot.finish()], expected)
        self.assertEqual([list(struct.unpack_from("<16H", d, 8)) for d in betaflight.finish()], expected)
        frames = os.read(sbus, 1 << 16)
        shown = {tuple(sbus_channels(frames[k:k + 25])) for k in range(0, len(frames), 25)}
        self.assertEqual(shown, {tuple([min(2047, v * 1706 // 1000) for v in s] + [0]) for s in (sticks[0], sticks[-1])})
