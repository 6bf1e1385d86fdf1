"""The payload embedding (tools/image/embed_payload.py) against the linker: a small program linked with
its payload by ld comes out byte for byte as the same program linked without it and given the
payload by embed_payload.py."""
import os
import random
import subprocess
import tempfile
import unittest

import image_env
import embed_payload
import validate_payload

BASE_RC = """#include <windows.h>
LANGUAGE LANG_ENGLISH, SUBLANG_ENGLISH_US
1 RT_MANIFEST "manifest.xml"
LANGUAGE LANG_ENGLISH, SUBLANG_ENGLISH_US
"ZZ_BASE" RCDATA "base.bin"
LANGUAGE LANG_ENGLISH, SUBLANG_ENGLISH_US
7 RCDATA "base.bin"
"""
# Names of several lengths (the directory strings' alignment), odd sizes (the data's).
PAYLOAD = [("32_A", 1), ("32_MIDDLE_NAME", 3), ("64_A_RATHER_LONGER_NAME", 4099), ("64_B", 8),
           ("64_C", 65537)]


class Embedding(unittest.TestCase):
    def setUp(self):
        self.temp = tempfile.TemporaryDirectory()
        self.dir = self.temp.name
        rng = random.Random(1046)
        self.write("manifest.xml", b"<?xml version='1.0'?><assembly/>\n")
        self.write("base.bin", bytes(rng.randrange(256) for _ in range(37)))
        rows = []
        for name, size in PAYLOAD:
            path = self.write(name + ".bin", bytes(rng.randrange(256) for _ in range(size)))
            rows.append((name, path))
        self.write("other.bin", b"named in lower case, in English")
        script = validate_payload.rc_text(rows) + (
            "LANGUAGE LANG_ENGLISH, SUBLANG_ENGLISH_US\n"
            f'"64_lower_case" RCDATA "{os.path.join(self.dir, "other.bin")}"\n')
        self.payload_rc = self.write("payload.rc", script.encode("ascii"))
        self.write("base.rc", BASE_RC.encode("ascii"))
        self.write("full.rc", (BASE_RC + '#include "payload.rc"\n').encode("ascii"))
        self.write("program.c", b"void entry(void) {}\n")

    def tearDown(self):
        self.temp.cleanup()

    def write(self, name, data):
        path = os.path.join(self.dir, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def link(self, rc_name, out_name):
        """The program linked as the installer is: page-aligned file, .rsrc last."""
        res = os.path.join(self.dir, rc_name + ".o")
        subprocess.run([image_env.RC_COMPILER, "-I", self.dir, "-O", "coff", "-o", res,
                        os.path.join(self.dir, rc_name)], check=True)
        out = os.path.join(self.dir, out_name)
        subprocess.run([image_env.C_COMPILER, "-nostdlib", "-s", "-Wl,-e,_entry",
                        "-Wl,--no-insert-timestamp", "-Wl,--file-alignment=0x1000",
                        "-T", os.path.join(image_env.SOURCE_DIR, "cmake", "image_layout.ld"),
                        "-Wl,--enable-reloc-section", "-o", out,
                        os.path.join(self.dir, "program.c"), res], check=True)
        return out

    def read(self, path):
        with open(path, "rb") as f:
            return f.read()

    def test_same_bytes_as_the_linker(self):
        linked_with_payload = self.link("full.rc", "full.exe")
        linked = self.link("base.rc", "base.exe")
        embedded = os.path.join(self.dir, "embedded.exe")
        embed_payload.embed(linked, self.payload_rc, embedded)
        self.assertEqual(self.read(embedded), self.read(linked_with_payload))

    def test_refuses_an_image_with_data_after_its_last_section(self):
        linked = self.link("base.rc", "base.exe")
        with open(linked, "ab") as f:
            f.write(b"signature")
        with self.assertRaisesRegex(embed_payload.EmbedError, "follows the last section"):
            embed_payload.embed(linked, self.payload_rc, os.path.join(self.dir, "out.exe"))
        self.assertFalse(os.path.exists(os.path.join(self.dir, "out.exe")))

    def test_refuses_a_script_line_it_does_not_know(self):
        self.write("payload.rc", b'LANGUAGE LANG_NEUTRAL, SUBLANG_NEUTRAL\n1 RCDATA "x.bin"\n')
        with self.assertRaisesRegex(embed_payload.EmbedError, "not a payload entry"):
            embed_payload.read_payload_script(self.payload_rc)


if __name__ == "__main__":
    unittest.main()
