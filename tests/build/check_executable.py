#!/usr/bin/env python3
"""Checks the built setup program as a file: the kind of executable it is,
what it imports, its resources, and the two payload streams inside it."""
import argparse
import hashlib
import os
import struct
import subprocess
import sys
import tempfile
import unittest
import zlib

import pefile

from release.program import carried_streams

INSPECT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "inspect")

ARGS = None
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "ntdll.dll", "msvcrt.dll"}
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def load():
    return pefile.PE(ARGS.exe)


class ExecutableTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pe = load()
        with open(ARGS.exe, "rb") as f:
            cls.data = f.read()

    def test_is_a_64_bit_gui_program_with_the_agreed_stack(self):
        header = self.pe.OPTIONAL_HEADER
        self.assertEqual(self.pe.FILE_HEADER.Machine, 0x8664)
        self.assertEqual(header.Magic, 0x20B)  # PE32+
        self.assertEqual(header.Subsystem, 2)  # Windows GUI: never a console window
        self.assertEqual(header.SizeOfStackReserve, 2 * 1024 * 1024)
        self.assertEqual(header.SizeOfStackCommit, 4096)
        self.assertTrue(header.DllCharacteristics & 0x8000, "not Terminal Server aware")

    def test_imports_only_dlls_that_ship_with_windows(self):
        imported = {entry.dll.decode().lower() for entry in self.pe.DIRECTORY_ENTRY_IMPORT}
        self.assertIn("msvcrt.dll", imported)
        self.assertLessEqual(imported, SYSTEM_DLLS)
        self.assertFalse(hasattr(self.pe, "DIRECTORY_ENTRY_DELAY_IMPORT"))

    def test_version_block(self):
        fixed = self.pe.VS_FIXEDFILEINFO[0]
        a, b, c, d = (list(map(int, ARGS.version.split("."))) + [0])[:4]
        expected = (a << 16 | b, c << 16 | d)
        self.assertEqual((fixed.FileVersionMS, fixed.FileVersionLS), expected)
        self.assertEqual((fixed.ProductVersionMS, fixed.ProductVersionLS), expected)
        strings = {}
        for info in self.pe.FileInfo[0]:
            if info.Key == b"StringFileInfo":
                for table in info.StringTable:
                    strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
        self.assertEqual(strings.get("ProductName"), "Lirabel Warden")
        self.assertEqual(strings.get("FileDescription"), "Lirabel Warden Setup")
        self.assertEqual(strings.get("InternalName"), "LirabelWarden")
        self.assertEqual(strings.get("OriginalFilename"), "LirabelWarden.exe")
        self.assertEqual(strings.get("FileVersion"), ARGS.version)
        self.assertEqual(strings.get("ProductVersion"), ARGS.version)

    def resources(self, type_id):
        for entry in self.pe.DIRECTORY_ENTRY_RESOURCE.entries:
            if entry.id == type_id:
                for name in entry.directory.entries:
                    for language in name.directory.entries:
                        rva, size = language.data.struct.OffsetToData, language.data.struct.Size
                        yield name.id, self.pe.get_data(rva, size)

    def test_one_icon_with_four_png_images(self):
        groups = list(self.resources(14))  # RT_GROUP_ICON
        self.assertEqual(len(groups), 1)
        group = groups[0][1]
        _, _, count = struct.unpack_from("<HHH", group, 0)
        images = dict(self.resources(3))  # RT_ICON
        sizes = []
        for i in range(count):
            width, height, _, _, _, _, _, image_id = struct.unpack_from("<BBBBHHIH", group, 6 + 14 * i)
            image = images[image_id]
            self.assertTrue(image.startswith(PNG_SIGNATURE), f"image {i} is not PNG")
            png_width, png_height = struct.unpack_from(">II", image, 16)
            self.assertEqual((png_width, png_height), (width or 256, height or 256))
            sizes.append(png_width)
        self.assertEqual(sorted(sizes), [16, 32, 48, 256])

    def test_manifest(self):
        manifests = dict(self.resources(24))
        self.assertIn(1, manifests)
        text = manifests[1].decode("utf-8")
        four = ".".join((ARGS.version.split(".") + ["0"])[:4])
        self.assertIn(f'name="LirabelWarden.Setup" version="{four}"', text)
        for needle in ('level="asInvoker"', "longPathAware", "PerMonitorV2",
                       "Microsoft.Windows.Common-Controls", "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a"):
            self.assertIn(needle, text)

    def test_streams_sit_back_to_back_in_read_only_data(self):
        with open(ARGS.loader_stream, "rb") as f:
            loader = f.read()
        with open(ARGS.app_stream, "rb") as f:
            app = f.read()
        streams, reason = carried_streams.find_streams(self.pe, self.data)
        self.assertIsNone(reason)
        self.assertEqual([self.data[s.start:s.end] for s in streams], [loader, app])
        self.assertEqual([s.section for s in streams], [".rdata", ".rdata"])
        self.assertEqual(loader[:2], b"\x78\xda")
        self.assertEqual(app[:2], b"\x78\xda")
        with open(ARGS.loader, "rb") as f:
            self.assertEqual(zlib.decompress(loader), f.read())
        with open(ARGS.app, "rb") as f:
            self.assertEqual(zlib.decompress(app), f.read())

    def test_inspect_shows_the_payload_files_and_refuses_a_damaged_copy(self):
        inspect = [INSPECT]
        shown = subprocess.run(inspect + [ARGS.exe], capture_output=True, text=True)
        signed = self.pe.OPTIONAL_HEADER.DATA_DIRECTORY[4].Size  # the certificate table
        # 2: signed with a rehearsal certificate, which the system's roots do not hold
        self.assertEqual(shown.returncode, 2 if signed else 0, shown.stderr)
        for path in (ARGS.loader, ARGS.app):
            with open(path, "rb") as f:
                self.assertIn(f"SHA-256          {hashlib.sha256(f.read()).hexdigest()}\n",
                              shown.stdout)
        app = carried_streams.find_streams(self.pe, self.data)[0][1]
        damaged = bytearray(self.data)
        damaged[app.start + app.length // 2] ^= 0xFF
        with tempfile.NamedTemporaryFile(suffix=".exe") as copy:
            copy.write(damaged)
            copy.flush()
            refused = subprocess.run(inspect + [copy.name], capture_output=True, text=True)
        self.assertEqual(refused.returncode, 1)
        self.assertIn("damaged stream: lirabel-warden.exe", refused.stderr)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("exe")
    parser.add_argument("--loader", required=True)
    parser.add_argument("--app", required=True)
    parser.add_argument("--loader-stream", required=True)
    parser.add_argument("--app-stream", required=True)
    parser.add_argument("--version", default="1.5.1")
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
