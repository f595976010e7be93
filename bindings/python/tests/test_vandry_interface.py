"""Tests of the Python binding, run against the package as it ships: the
staged build/<preset>/python (ctest python_binding) or an installed wheel
(check_wheel.sh). Frames are built here, from the wire format, and what the
reader yields is compared with what those frames say.
"""
import array
import itertools
import os
import random
import re
import struct
import subprocess
import sys
import threading
import unittest

import vandry_interface as vi

try:
    import numpy
except ImportError:
    numpy = None

SOURCE_ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..")


def upload_frame(payload_type, values, length=None):
    payload = bytes([payload_type]) + struct.pack(f"<{len(values)}H", *values)
    length = len(payload) if length is None else length
    return bytes([0xFA, 0xA5]) + struct.pack("<H", length) + payload[:length] + b"\x5f"


def false_head(length):
    """A head of an unknown command: the parser holds what follows until the
    frame it announces is in, then drops the head and scans on behind it."""
    return bytes([0xFA, 0x01]) + struct.pack("<H", length)


class Integer:
    """An integer that is not an int, as numpy's uint8 and uint16 are."""
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Model:
    """What the records hold after each accepted upload frame."""

    def __init__(self, channels, banks):
        self.channels, self.banks = tuple(channels), tuple(banks)

    def apply(self, payload_type, values):
        if payload_type in (0, 2):
            self.channels = tuple(values[:15])
        if payload_type in (1, 2):
            rows = values[15:] if payload_type == 2 else values
            self.banks = (tuple(rows[:16]), tuple(rows[16:32]))
        return self.channels, self.banks


def random_stream(rng, model, count):
    """Frames of every kind with noise and false heads between them, and the
    snapshots the reader must yield for them."""
    sizes = {0: 15, 1: 32, 2: 47}
    stream, expected = bytearray(), []
    for _ in range(count):
        kind = rng.choice(["frame", "frame", "frame", "short", "unknown", "request", "noise", "held"])
        if kind == "frame":
            t = rng.choice([0, 1, 2])
            values = [rng.randrange(0x10000) for _ in range(sizes[t])]
            stream += upload_frame(t, values)
            expected.append(model.apply(t, values))
        elif kind == "short":
            stream += upload_frame(2, [7] * 47, length=rng.randrange(1, 95))
        elif kind == "unknown":
            stream += upload_frame(9, [5, 6, 7])
            expected.append((model.channels, model.banks))
        elif kind == "request":
            stream += vi.request_upload_port_data(rng.randrange(256), rng.randrange(256))
        elif kind == "noise":
            stream += bytes(rng.choice([b for b in range(256) if b != 0xFA]) for _ in range(rng.randrange(1, 40)))
        else:
            stream += false_head(rng.randrange(0, 496))
    return bytes(stream), expected


class CommandFramesTest(unittest.TestCase):
    def test_frames(self):
        self.assertEqual(vi.request_upload_port_data(0x00, 0xFF), bytes.fromhex("FAE5020000FF5F"))
        self.assertEqual(vi.request_upload_port_data(0xFA, 0x5F), bytes.fromhex("FAE50200FA5F5F"))
        self.assertEqual(vi.stop_upload_port_data(), bytes.fromhex("FAE400005F"))


class PortReaderTest(unittest.TestCase):
    def setUp(self):
        self.reader = vi.PortReader()
        self.reader.reset()

    def model(self):
        return Model(self.reader.channels, self.reader.banks)

    def test_one_reader_per_process(self):
        self.assertIs(vi.PortReader(), self.reader)
        self.reader.feed(upload_frame(0, list(range(15))))
        self.assertEqual(vi.PortReader().channels, tuple(range(15)))

    def test_every_frame_is_yielded_however_the_stream_is_cut(self):
        rng = random.Random(1234)
        for trial in range(6):
            model = self.model()
            stream, expected = random_stream(rng, model, 60)
            stream += bytes(500)  # decides every head still held
            cuts = sorted(rng.sample(range(1, len(stream)), rng.randrange(0, 80)))
            got = []
            for a, b in zip([0] + cuts, cuts + [len(stream)]):
                got += self.reader.frames(stream[a:b])
            with self.subTest(trial=trial, cuts=len(cuts)):
                self.assertEqual(got, expected)
                self.assertEqual((self.reader.channels, self.reader.banks), (model.channels, model.banks))

    def test_frames_behind_a_false_head_each_get_a_snapshot(self):
        one, two = list(range(100, 115)), list(range(200, 215))
        cases = [  # what holds the frames back
            ("head of an unknown command", false_head(80)),
            ("head of the longest frame", false_head(495)),
            ("nested false heads", false_head(120) + false_head(90)),
        ]
        for name, prefix in cases:
            with self.subTest(name):
                model = self.model()
                expected = [model.apply(0, one), model.apply(0, two)]
                stream = prefix + upload_frame(0, one) + upload_frame(0, two) + bytes(500)
                self.assertEqual([s for b in stream for s in self.reader.frames(bytes([b]))], expected)
                self.assertEqual(list(self.reader.frames(stream)), expected)

    def test_an_interrupted_feed_leaves_nothing_that_hides_a_later_frame(self):
        # Ctrl-C may land after the library took a chunk but before the
        # reader noted what the library now holds; a program that catches it
        # and goes on must still get a snapshot per frame.
        class InterruptedOnce:
            def __init__(self, lib):
                self.lib, self.armed = lib, True

            def __getattr__(self, name):
                return getattr(self.lib, name)

            def parse_port_data(self, *args):
                result = self.lib.parse_port_data(*args)
                if self.armed:
                    self.armed = False
                    raise KeyboardInterrupt
                return result

        one, two = list(range(100, 115)), list(range(200, 215))
        held_up = false_head(80)
        model = self.model()
        expected = [model.apply(0, one), model.apply(0, two)]
        real, vi._lib = vi._lib, InterruptedOnce(vi._lib)
        try:
            with self.assertRaises(KeyboardInterrupt):
                self.reader.feed(held_up[:1])
        finally:
            vi._lib = real
        self.assertEqual(list(self.reader.frames(held_up[1:] + upload_frame(0, one) + upload_frame(0, two) + bytes(500))),
                         expected)

    def test_feed_reports_new_values(self):
        self.assertFalse(self.reader.feed(b""))
        frame = upload_frame(1, list(range(32)))
        self.assertFalse(self.reader.feed(frame[:-1]))
        self.assertTrue(self.reader.feed(frame[-1:] + b"\x00" * 300))
        self.assertEqual(self.reader.banks, (tuple(range(16)), tuple(range(16, 32))))

    def test_reset_drops_what_is_held_and_leaves_the_records(self):
        start, held, after = list(range(1, 16)), list(range(50, 65)), list(range(900, 915))
        prefixes = [
            ("nothing", b""),
            ("a head", b"\xfa"),
            ("half a header", b"\xfa\xa5\x1f"),
            ("half a frame", upload_frame(0, held)[:20]),
            ("the header of the longest frame", bytes([0xFA, 0xA5]) + struct.pack("<H", 495)),
            ("a whole frame behind a false head", false_head(300) + upload_frame(0, held)),
            ("many heads", b"\xfa" * 300),
        ]
        for name, prefix in prefixes:
            with self.subTest(name):
                self.reader.feed(upload_frame(0, start))
                self.reader.feed(prefix)
                self.reader.reset()
                self.assertEqual(self.reader.channels, tuple(start))
                snapshots = list(self.reader.frames(upload_frame(0, after)))
                self.assertEqual([channels for channels, _ in snapshots], [tuple(after)])

    def test_threads_each_see_their_own_frames(self):
        start = threading.Barrier(4)

        def run(k, results):
            frame = upload_frame(0, [k] * 15)
            start.wait(timeout=60)
            results[k] = [channels for _ in range(300) for channels, banks in self.reader.frames(frame)]

        results = {}
        interval = sys.getswitchinterval()
        sys.setswitchinterval(1e-6)
        try:
            threads = [threading.Thread(target=run, args=(k, results)) for k in range(4)]
            for t in threads:
                t.start()
            for t in threads:
                t.join(timeout=60)
        finally:
            sys.setswitchinterval(interval)
        self.assertEqual(results, {k: [(k,) * 15] * 300 for k in range(4)})


class InputTypesTest(unittest.TestCase):
    frame = upload_frame(0, list(range(300, 315)))

    def accepted(self):
        frame = self.frame
        yield "bytes", frame
        yield "bytearray", bytearray(frame)
        yield "memoryview", memoryview(frame)
        yield "array('B')", array.array("B", frame)
        yield "array('b')", array.array("b", frame)
        yield "strided memoryview", memoryview(bytes(b for x in frame for b in (x, 0)))[::2]
        if numpy is not None:
            yield "numpy uint8", numpy.frombuffer(frame, dtype=numpy.uint8)
            yield "strided numpy uint8", numpy.repeat(numpy.frombuffer(frame, dtype=numpy.uint8), 2)[::2]

    def test_every_buffer_of_bytes_is_accepted(self):
        reader = vi.PortReader()
        for name, data in self.accepted():
            with self.subTest(name):
                reader.reset()
                self.assertEqual([c for c, _ in reader.frames(data)], [tuple(range(300, 315))])
                self.assertEqual([f.channels for f in vi.Stream().frames(data)], [tuple(range(300, 315))])
                self.assertIsNotNone(vi.parse_hid_game_controller_device(data[:19]))

    def test_anything_else_is_a_type_error_naming_it(self):
        rejected = [("str", "abc"), ("list", [0xFA]), ("int", 5), ("NoneType", None),
                    ("array", array.array("H", [1, 2])), ("memoryview", memoryview(array.array("H", [1])))]
        if numpy is not None:
            rejected.append(("ndarray", numpy.zeros(4, dtype=numpy.uint16)))
        for name, data in rejected:
            for call in (vi.PortReader().feed, vi.PortReader().frames, vi.parse_hid_compatible_device,
                         vi.Stream().feed, vi.Stream().frames):
                with self.subTest(name, call=call.__name__):
                    with self.assertRaisesRegex(TypeError, name):
                        call(data)


class HidTest(unittest.TestCase):
    def test_reports(self):
        compatible = bytes([0xFA, 1, 2, 3, 0x34, 0x12]) + bytes(28) + b"\x5f"
        cases = [
            (vi.parse_hid_game_controller_device, bytes(range(1, 20)),
             (0x0201, 0x0403, 0x0605, 0x0807, 0x0900, 0x0B0A, 0x0C00, 0x0E0D, 0, 0x100F, 0x11)),
            (vi.parse_hid_compatible_device, compatible, (0x1234,) + (0,) * 14),
        ]
        for parse, report, expected in cases:
            with self.subTest(parse.__name__):
                self.assertEqual(parse(report), expected)
                self.assertIsInstance(parse(report), tuple)
                for bad in (b"", report[:-1], report + b"\0", report * 10):
                    self.assertIsNone(parse(bad), len(bad))
        self.assertIsNone(vi.parse_hid_compatible_device(b"\xfb" + compatible[1:]))


class SbusTest(unittest.TestCase):
    def test_scaling(self):
        values = [0, 1, 500, 600, 1000, 1199, 1200, 1201, 65535] + [0] * 7
        self.assertEqual(vi.convert_std_sbus_data(values)[:9], (0, 1, 853, 1023, 1706, 2045, 2047, 2047, 2047))

    def test_frames(self):
        frame = vi.encode_sbus_data_v1([2047] + [0] * 15)
        self.assertEqual(frame, bytes([0x0F, 0xFF, 0x07]) + bytes(22))
        self.assertEqual(vi.encode_sbus_data_v1([0] * 16, first_byte=0x42)[0], 0x42)
        footers = [vi.encode_sbus_data_v2([1024] * 16)[24] for _ in range(5)]
        self.assertEqual(footers, [0x04, 0x14, 0x24, 0x34, 0x04])  # the process's first v2 frames

    def test_any_exact_integer_is_taken(self):
        # numpy's integer scalars are such integers: they say so through __index__.
        self.assertEqual(vi.encode_sbus_data_v1([Integer(2047)] + [Integer(0)] * 15), vi.encode_sbus_data_v1([2047] + [0] * 15))
        self.assertEqual(vi.request_upload_port_data(Integer(1), Integer(2)), vi.request_upload_port_data(1, 2))

    def test_bad_arguments(self):
        cases = [
            (lambda: vi.encode_sbus_data_v1([0] * 15), ValueError),
            (lambda: vi.encode_sbus_data_v1([0] * 15 + [65536]), ValueError),
            (lambda: vi.encode_sbus_data_v1([0] * 15 + [-1]), ValueError),
            (lambda: vi.encode_sbus_data_v1([0] * 15 + [1.5]), TypeError),
            (lambda: vi.encode_sbus_data_v2(None), TypeError),
            (lambda: vi.encode_sbus_data_v1([0] * 16, first_byte=256), ValueError),
            (lambda: vi.convert_std_sbus_data(range(17)), ValueError),
            (lambda: vi.convert_std_sbus_data(itertools.count()), ValueError),  # endless: not a hang
            (lambda: vi.encode_sbus_data_v2(itertools.repeat(0)), ValueError),
            (lambda: vi.request_upload_port_data(256, 0), ValueError),
            (lambda: vi.request_upload_port_data(0, "1"), TypeError),
            (lambda: vi.request_upload_port_data(True, 0), TypeError),
            (lambda: vi.encode_sbus_data_v1([0] * 15 + [Integer(65536)]), ValueError),
        ]
        for k, (call, error) in enumerate(cases):
            with self.subTest(k):
                with self.assertRaises(error):
                    call()


class PackageTest(unittest.TestCase):
    def test_version_is_the_library_version(self):
        with open(os.path.join(SOURCE_ROOT, "include", "VandryInterface.h")) as header:
            parts = dict(re.findall(r"^#define VANDRY_INTERFACE_VERSION_(MAJOR|MINOR|PATCH) (\d+)$", header.read(), re.M))
        self.assertEqual(vi.__version__, "{MAJOR}.{MINOR}.{PATCH}".format(**parts))

    def test_the_library_beside_the_package_is_used(self):
        self.assertEqual(os.path.dirname(os.path.abspath(vi._lib._name)), os.path.dirname(os.path.abspath(vi.__file__)))

    def import_with(self, library):
        env = dict(os.environ, VANDRY_INTERFACE_LIBRARY=library)
        return subprocess.run([sys.executable, "-c", "import vandry_interface as vi; print(vi._lib._name)"],
                              capture_output=True, text=True, env=env, timeout=60)

    def test_the_environment_variable_is_the_only_path_tried(self):
        cases = [  # value, what the error must say
            ("/nonexistent/libVandryInterface.so.1", ["/nonexistent/libVandryInterface.so.1", "No such file"]),
            ("libc.so.6", ["libc.so.6 is not the VandryInterface library", "does not export"]),
        ]
        for value, messages in cases:
            with self.subTest(value):
                result = self.import_with(value)
                self.assertNotEqual(result.returncode, 0)
                self.assertIn("LibraryNotFoundError", result.stderr)
                for message in messages:
                    self.assertIn(message, result.stderr)
                self.assertNotIn("next to the package", result.stderr)

    def test_an_empty_variable_is_unset(self):
        result = self.import_with("")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout.strip(), vi._lib._name)


if __name__ == "__main__":
    unittest.main()
