import json
import os
import re
import unittest
import xml.etree.ElementTree as ET

import pefile

import authenticode
import image_env

ASM1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM3 = "{urn:schemas-microsoft-com:asm.v3}"
COMPAT = "{urn:schemas-microsoft-com:compatibility.v1}"
# The system libraries the check imports: no C++ runtime DLL, nothing else. advapi32 (registry,
# CryptoAPI) and version.dll are loaded by their full paths once the DLL search is restricted.
IMPORTS = {"KERNEL32.DLL", "MSVCRT.DLL"}


class CheckImage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pe = pefile.PE(image_env.CHECK_IMAGE)

    @unittest.skipUnless(image_env.TEST_PKI, "signed with the users' own certificate")
    def test_signature_and_timestamp_verify(self):
        out = authenticode.verify(image_env.CHECK_IMAGE,
                                  os.path.join(image_env.TEST_PKI, "root.pem"))
        self.assertIn("Signature verification: ok", out)
        self.assertIn("Timestamp Server Signature verification: ok", out)
        self.assertIn("Message digest algorithm  : SHA256", out)
        self.assertIn("Number of verified signatures: 1", out)

    def test_signed_with_the_installers_chain(self):
        self.assertEqual(authenticode.certificate_names(image_env.CHECK_IMAGE),
                         authenticode.certificate_names(image_env.IMAGE))

    def test_32_bit_console_program_with_relocations(self):
        opt = self.pe.OPTIONAL_HEADER
        self.assertEqual(opt.Magic, 0x10B)  # PE32
        self.assertEqual(self.pe.FILE_HEADER.Machine, 0x14C)
        self.assertEqual(opt.Subsystem, 3)  # console
        self.assertFalse(self.pe.FILE_HEADER.Characteristics & 0x2000)  # not a DLL
        self.assertEqual(self.pe.FILE_HEADER.TimeDateStamp, 0)
        # Under this Wine the preferred base may be taken: without relocations it cannot start.
        self.assertGreater(opt.DATA_DIRECTORY[5].Size, 0)
        self.assertEqual(self.pe.FILE_HEADER.Characteristics & 0x1, 0)  # relocations not stripped
        self.assertEqual(opt.CheckSum, self.pe.generate_checksum())

    def test_imports_only_system_libraries(self):
        dlls = {i.dll.decode().upper() for i in self.pe.DIRECTORY_ENTRY_IMPORT}
        self.assertEqual(dlls, IMPORTS)
        self.assertFalse(hasattr(self.pe, "DIRECTORY_ENTRY_DELAY_IMPORT"))

    def test_manifest(self):
        entries = image_env.resources_of_type(self.pe, 24)
        self.assertEqual(list(entries), [1])
        [(lang, data)] = entries[1]
        self.assertEqual(lang, 1033)
        root = ET.fromstring(data)
        self.assertEqual(root.tag, ASM1 + "assembly")
        level = root.find(f"{ASM3}trustInfo/{ASM3}security/{ASM3}requestedPrivileges/"
                          f"{ASM3}requestedExecutionLevel")
        self.assertEqual(level.attrib, {"level": "asInvoker", "uiAccess": "false"})
        # A console program: no DPI setting, no common controls.
        self.assertIsNone(root.find(f"{ASM3}application"))
        self.assertIsNone(root.find(f"{ASM1}dependency"))
        installer = ET.parse(os.path.join(image_env.SOURCE_DIR, "resources",
                                          "setup_vannix.manifest")).getroot()
        path = f"{COMPAT}compatibility/{COMPAT}application/{COMPAT}supportedOS"
        ids = [e.get("Id") for e in root.findall(path)]
        self.assertEqual(ids, [e.get("Id") for e in installer.findall(path)])
        self.assertEqual(len(ids), 5)

    def test_version_block_laid_out_as_the_installers(self):
        entries = image_env.resources_of_type(self.pe, 16)
        self.assertEqual(list(entries), [1])
        self.assertEqual([lang for lang, _ in entries[1]], [1033])
        [fixed] = self.pe.VS_FIXEDFILEINFO
        self.assertEqual((fixed.FileVersionMS, fixed.FileVersionLS), (0x00010000, 0))
        self.assertEqual((fixed.ProductVersionMS, fixed.ProductVersionLS), (0x00010000, 0))
        self.assertEqual((fixed.FileOS, fixed.FileType), (4, 1))
        strings = self.string_table(self.pe)
        self.assertEqual(strings, {
            b"FileDescription": b"setup_vannix installation check", b"FileVersion": b"1.0.0.0",
            b"ProgramID": b"setup_vannix_check", b"ProductName": b"setup_vannix",
            b"ProductVersion": b"1.0.0.0"})
        self.assertEqual(list(strings), list(self.string_table(image_env.image())))

    @staticmethod
    def string_table(pe):
        [info] = pe.FileInfo
        tables = [t for fi in info if fi.Key == b"StringFileInfo" for t in fi.StringTable]
        assert [t.LangID for t in tables] == [b"040904E4"]
        return tables[0].entries

    def test_digest_table_is_the_payload(self):
        rcdata = image_env.resources_of_type(self.pe, 10)
        # The table only: no payload, no other data.
        self.assertEqual(list(rcdata), ["PAYLOADDIGESTS"])
        [(lang, table)] = rcdata["PAYLOADDIGESTS"]
        self.assertEqual(lang, 0)  # LANG_NEUTRAL, SUBLANG_NEUTRAL
        table.decode("ascii")
        # Its form is check/payload_digests.h's; its content computed here from the files.
        self.assertTrue(table.endswith(b"\n"))
        lines = [line.split(" ") for line in table.decode("ascii").split("\n")[:-1]]
        self.assertEqual(len(lines), 22)
        parsed = [(v, n, int(s), d, ver, c) for v, n, s, d, ver, c in lines]
        self.assertEqual(parsed, image_env.payload_digest_lines())

    def test_digest_table_is_the_release_records_payload(self):
        with open(image_env.RELEASE_RECORD) as f:
            components = json.load(f)["components"]
        recorded = []
        for c in components:
            if c["type"] != "file":
                continue
            props = {p["name"]: p["value"] for p in c["properties"]}
            classes = [p["value"].split(" ")[0] for p in c["properties"]
                       if p["name"] == "setup_vannix:com-class"]
            [digest] = c["hashes"]
            recorded.append((props["setup_vannix:variant"], c["name"],
                             int(props["setup_vannix:size"]), digest["content"],
                             c.get("version", "-"), ",".join(classes) or "-"))
        [(_, table)] = image_env.resources_of_type(self.pe, 10)["PAYLOADDIGESTS"]
        lines = [tuple(line.split(" ")) for line in table.decode("ascii").splitlines()]
        self.assertEqual([(v, n, int(s), d, ver, c) for v, n, s, d, ver, c in lines], recorded)


if __name__ == "__main__":
    unittest.main()
