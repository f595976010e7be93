"""Tests of the Python binding against the built library.

Run from bindings/python with VANDRY_INTERFACE_LIBRARY set to the library:
    python3 -m unittest discover -s tests
"""
import os
import struct
import subprocess
import sys
import unittest

import vandry_interface as vi


def upload_frame(payload_type, values):
    payload = bytes([payload_type]) + struct.pack(f"<{len(values)}H", *values)
    return bytes([0xFA, 0xA5]) + struct.pack("<H", len(payload)) + payload + b"\x5f"


class CommandFramesTest(unittest.TestCase):
    def test_frames(self):
        self.assertEqual(vi.request_upload_port_data(0x00, 0xFF), bytes.fromhex("FAE5020000FF5F"))
        self.assertEqual(vi.request_upload_port_data(0xFA, 0x5F), bytes.fromhex("FAE50200FA5F5F"))
        self.assertEqual(vi.stop_upload_port_data(), bytes.fromhex("FAE400005F"))


class PortReaderTest(unittest.TestCase):
    # One test only: the parser's state is process-wide.
    def test_feeds_of_any_length_in_one_process(self):
        reader = vi.PortReader()
        channels = list(range(100, 115))
        banks = list(range(2000, 2032))
        stream = b"\x01\x02" + upload_frame(0, channels) + b"".join(
            upload_frame(2, [n] * 15 + banks) for n in range(20)) + upload_frame(1, banks[::-1])
        self.assertGreater(len(stream), 1000)
        self.assertFalse(reader.feed(b""))
        self.assertFalse(reader.feed(stream[:3]))
        self.assertTrue(reader.feed(stream[3:]))  # split into calls of at most 255 bytes
        self.assertEqual(reader.channels, [19] * 15)
        self.assertEqual(reader.banks, [banks[::-1][:16], banks[::-1][16:]])
        self.assertTrue(reader.feed(bytearray(upload_frame(0, channels))))
        self.assertEqual(reader.channels, channels)
        with self.assertRaises(TypeError):
            reader.feed("not bytes")


class HidTest(unittest.TestCase):
    def test_game_controller(self):
        self.assertEqual(vi.parse_hid_game_controller_device(bytes(range(1, 20))),
                         (0x0201, 0x0403, 0x0605, 0x0807, 0x0900, 0x0B0A, 0x0C00, 0x0E0D, 0, 0x100F, 0x11))
        for length in (0, 18, 20, 300):
            self.assertIsNone(vi.parse_hid_game_controller_device(bytes(length)), length)

    def test_compatible(self):
        report = bytes([0xFA, 1, 2, 3, 0x34, 0x12]) + bytes(28) + b"\x5f"
        self.assertEqual(vi.parse_hid_compatible_device(report), [0x1234] + [0] * 14)
        self.assertIsNone(vi.parse_hid_compatible_device(b"\xfb" + report[1:]))
        self.assertIsNone(vi.parse_hid_compatible_device(report[:34]))
        self.assertIsNone(vi.parse_hid_compatible_device(report + bytes(256)))


class SbusTest(unittest.TestCase):
    def test_scaling(self):
        values = [0, 1, 500, 600, 1000, 1199, 1200, 1201, 65535] + [0] * 7
        self.assertEqual(vi.convert_std_sbus_data(values)[:9], [0, 1, 853, 1023, 1706, 2045, 2047, 2047, 2047])

    def test_frames(self):
        frame = vi.encode_sbus_data_v1([2047] + [0] * 15)
        self.assertEqual(len(frame), 25)
        self.assertEqual(frame[:3], bytes([0x0F, 0xFF, 0x07]))
        self.assertEqual(frame[3:], bytes(22))
        self.assertEqual(vi.encode_sbus_data_v1([0] * 16, first_byte=0x42)[0], 0x42)
        footers = [vi.encode_sbus_data_v2([1024] * 16)[24] for _ in range(5)]
        self.assertEqual(footers, [0x04, 0x14, 0x24, 0x34, 0x04])

    def test_bad_arguments(self):
        cases = [
            (lambda: vi.encode_sbus_data_v1([0] * 15), ValueError),
            (lambda: vi.encode_sbus_data_v1([0] * 15 + [65536]), ValueError),
            (lambda: vi.encode_sbus_data_v1([0] * 15 + [-1]), ValueError),
            (lambda: vi.encode_sbus_data_v1([0] * 15 + [1.5]), TypeError),
            (lambda: vi.encode_sbus_data_v2(None), TypeError),
            (lambda: vi.encode_sbus_data_v1([0] * 16, first_byte=256), ValueError),
            (lambda: vi.convert_std_sbus_data(range(17)), ValueError),
            (lambda: vi.request_upload_port_data(256, 0), ValueError),
            (lambda: vi.request_upload_port_data(0, "1"), TypeError),
            (lambda: vi.parse_hid_compatible_device([0xFA] * 35), TypeError),
        ]
        for call, error in cases:
            with self.subTest(error=error.__name__):
                with self.assertRaises(error):
                    call()


class LoadingTest(unittest.TestCase):
    def test_clear_error_when_the_library_is_nowhere(self):
        env = dict(os.environ, VANDRY_INTERFACE_LIBRARY="/nonexistent/libVandryInterface.so", LD_LIBRARY_PATH="")
        result = subprocess.run([sys.executable, "-c", "import vandry_interface"], capture_output=True, text=True,
                                env=env, cwd=os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("LibraryNotFoundError", result.stderr)
        self.assertIn("VANDRY_INTERFACE_LIBRARY: /nonexistent/libVandryInterface.so", result.stderr)
        self.assertIn("next to the package", result.stderr)
        self.assertIn("the system loader", result.stderr)


if __name__ == "__main__":
    unittest.main()
