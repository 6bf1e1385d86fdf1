import hashlib
import io
import json
import os
import shutil
import struct
import tempfile
import unittest
import uuid
from contextlib import redirect_stderr, redirect_stdout

import image_env
import validate_payload


class Validation(unittest.TestCase):
    """Broken payload directories, each a copy of the built payload with one fault."""

    def setUp(self):
        self.temp = tempfile.mkdtemp()
        self.dir = os.path.join(self.temp, "payload")
        shutil.copytree(image_env.PAYLOAD_DIR, self.dir)
        self.rc = os.path.join(self.temp, "payload.rc")
        self.json = os.path.join(self.temp, "payload.json")
        self.stale = os.path.join(self.temp, "setup_vannix.exe")
        with open(self.stale, "wb") as f:
            f.write(b"MZ")

    def tearDown(self):
        shutil.rmtree(self.temp)

    def run_validator(self):
        out, err = io.StringIO(), io.StringIO()
        with redirect_stdout(out), redirect_stderr(err):
            code = validate_payload.main([self.dir, "--rc", self.rc, "--json", self.json,
                                          "--remove-on-failure", self.stale])
        self.out = out.getvalue()
        return code, err.getvalue()

    def assert_fails_naming(self, relative, reason=""):
        code, message = self.run_validator()
        self.assertEqual(code, 1)
        self.assertIn(os.path.join(self.dir, relative), message)
        self.assertIn(reason, message)
        self.assertFalse(os.path.exists(self.rc))
        self.assertFalse(os.path.exists(self.json))
        self.assertFalse(os.path.exists(self.stale))

    def set_machine(self, relative, machine):
        """Rewrites the machine field of a payload file's COFF header, nothing else."""
        path = os.path.join(self.dir, relative)
        with open(path, "r+b") as f:
            data = f.read(0x40)
            f.seek(struct.unpack_from("<I", data, 0x3C)[0] + 4)
            f.write(struct.pack("<H", machine))

    def test_sound_payload_gives_22_entries(self):
        code, _ = self.run_validator()
        self.assertEqual(code, 0)
        with open(self.rc) as f:
            text = f.read()
        self.assertEqual(text.count(" RCDATA "), 22)
        self.assertEqual(text.count("LANGUAGE LANG_PORTUGUESE, SUBLANG_PORTUGUESE_BRAZILIAN"), 22)
        self.assertIn('"64_KORVIGOVX" RCDATA', text)

    def test_record_is_the_files_in_installation_order(self):
        code, _ = self.run_validator()
        self.assertEqual(code, 0)
        with open(self.json) as f:
            entries = json.load(f)["payload"]
        expected = [(v, b + e, r) for v in ("32", "64") for b, e, r in validate_payload.CATALOGUE]
        self.assertEqual([(e["variant"], e["file"], e["register"]) for e in entries], expected)
        for e in entries:
            with open(os.path.join(self.dir, e["variant"], e["file"]), "rb") as f:
                data = f.read()
            with open(os.path.join(self.dir, "64" if e["variant"] == "32" else "32",
                                   e["file"]), "rb") as f:
                twin = f.read() == data
            self.assertEqual(e["resource"], f"{e['variant']}_{e['file'].rsplit('.', 1)[0].upper()}")
            self.assertEqual((e["size"], e["sha256"], e["twin"]),
                             (len(data), hashlib.sha256(data).hexdigest(),
                              "twin" if twin else "differs"), e["resource"])
            self.assertIn(e["machine"], ("i386", "AMD64"))
            self.assertIsInstance(e["exports"], int)
        by_name = {e["resource"]: e for e in entries}
        self.assertEqual(by_name["64_KORVIGOVX"]["exports"], 5)  # DllInstall too

    def record_by_resource(self):
        """The payload record of a sound payload, by resource name."""
        code, message = self.run_validator()
        self.assertEqual(code, 0, message)
        with open(self.json) as f:
            return {e["resource"]: e for e in json.load(f)["payload"]}

    @unittest.skipUnless(image_env.SAMPLE_PAYLOAD, "not the sample components")
    def test_table_and_record_give_the_file_versions(self):
        by_name = self.record_by_resource()
        self.assertEqual((by_name["64_MSXML6"]["file_version"],
                          by_name["64_MSXML6"]["file_version_text"]),
                         ("6.30.17763.437", "6.30.17763.437"))
        self.assertEqual((by_name["32_KORVIX"]["file_version"],
                          by_name["32_KORVIX"]["file_version_text"]), (None, None))
        [row] = [line for line in self.out.splitlines() if line.startswith("64_MSXML6 ")]
        self.assertIn(" 6.30.17763.437 ", row)
        self.assertTrue(row.endswith(" " + by_name["64_MSXML6"]["sha256"][:12]), row)

    def test_amd64_libraries_in_64_are_noted(self):
        code, _ = self.run_validator()
        self.assertEqual(code, 0)
        with open(self.json) as f:
            amd64 = [f"{e['variant']}/{e['file']}" for e in json.load(f)["payload"]
                     if e["machine"] == "AMD64"]
        notes = [line for line in self.out.splitlines() if line.startswith("note: ")]
        self.assertEqual(len(notes), len(amd64))
        for relative in amd64:
            self.assertIn(f"note: {relative} is an AMD64 image: 32-bit processes cannot load it "
                          "from SysWOW64", notes)

    def test_missing_file(self):
        os.remove(os.path.join(self.dir, "64", "msxml6r.dll"))
        self.assert_fails_naming(os.path.join("64", "msxml6r.dll"))

    def test_extra_file(self):
        shutil.copy(os.path.join(self.dir, "32", "midas.dll"), os.path.join(self.dir, "32", "x.dll"))
        self.assert_fails_naming(os.path.join("32", "x.dll"))

    def test_not_a_dll(self):
        with open(os.path.join(self.dir, "32", "libeay32.dll"), "wb") as f:
            f.write(b"not an image" * 100)
        self.assert_fails_naming(os.path.join("32", "libeay32.dll"))

    def test_executable_is_not_a_dll(self):
        shutil.copy(image_env.UNSIGNED, os.path.join(self.dir, "64", "qelKorviLib.dll"))
        self.assert_fails_naming(os.path.join("64", "qelKorviLib.dll"))

    def test_registered_without_dllregisterserver(self):
        shutil.copy(os.path.join(self.dir, "32", "qelKorviLib.dll"),
                    os.path.join(self.dir, "32", "midas.dll"))
        self.assert_fails_naming(os.path.join("32", "midas.dll"))

    def test_registered_amd64_server(self):
        # A COM server in every other respect: only the machine tells regsvr32 cannot load it.
        self.set_machine(os.path.join("64", "KorviGovX.ocx"), 0x8664)
        self.assert_fails_naming(os.path.join("64", "KorviGovX.ocx"), "regsvr32")

    def test_amd64_library_for_32_bit_windows(self):
        shutil.copy(os.path.join(self.dir, "64", "ssleay32.dll"),
                    os.path.join(self.dir, "32", "ssleay32.dll"))
        self.set_machine(os.path.join("32", "ssleay32.dll"), 0x8664)  # a user's payload may differ
        self.assert_fails_naming(os.path.join("32", "ssleay32.dll"), "32-bit Windows")

    def test_unknown_machine_in_64(self):
        self.set_machine(os.path.join("64", "qelKorviLib.dll"), 0xAA64)  # ARM64
        self.assert_fails_naming(os.path.join("64", "qelKorviLib.dll"), "0xaa64")

    def test_unregistered_exporting_com_entry_points(self):
        shutil.copy(os.path.join(self.dir, "64", "KorviX.dll"),
                    os.path.join(self.dir, "64", "ssleay32.dll"))
        self.assert_fails_naming(os.path.join("64", "ssleay32.dll"))

    # ---- the servers' type libraries ----

    def patch_typelib(self, relative, offset, data):
        """Writes `data` at `offset` of the MSFT type library inside a payload file."""
        path = os.path.join(self.dir, relative)
        with open(path, "r+b") as f:
            at = f.read().index(b"MSFT\x02\x00\x01\x00")
            f.seek(at + offset)
            f.write(data)

    def typelib_field(self, relative, offset):
        with open(os.path.join(self.dir, relative), "rb") as f:
            image = f.read()
        return struct.unpack_from("<i", image, image.index(b"MSFT") + offset)[0]

    @unittest.skipUnless(image_env.SAMPLE_PAYLOAD, "not the sample components")
    def test_servers_classes_are_those_widl_declared_creatable(self):
        by_name = self.record_by_resource()
        self.assertEqual(by_name["32_KORVIX"]["classes"], [
            {"clsid": "{6C1A5E21-3B7D-4F0E-9A41-5D2C8B7E1F11}", "name": "KorviX"},
            {"clsid": "{6C1A5E21-3B7D-4F0E-9A41-5D2C8B7E1F21}", "name": "KorviXGrid"},
            {"clsid": "{6C1A5E21-3B7D-4F0E-9A41-5D2C8B7E1F31}", "name": "KorviXReport"}])
        # KorviDataSetXField is declared [noncreatable].
        self.assertEqual(by_name["64_KORVIDATASETX"]["classes"], [
            {"clsid": "{6C1A5E22-3B7D-4F0E-9A41-5D2C8B7E1F12}", "name": "KorviDataSetX"}])
        self.assertEqual(by_name["64_STDVCL40"]["classes"], [
            {"clsid": "{6C1A5E26-3B7D-4F0E-9A41-5D2C8B7E1F16}", "name": "stdvcl40"}])
        self.assertIsNone(by_name["64_SSLEAY32"]["classes"])  # no server
        # msxml6: the MSXML 6.0 classes under Microsoft's CLSIDs, as Windows registers them.
        self.assertEqual([(c["clsid"], c["name"]) for c in by_name["64_MSXML6"]["classes"]], [
            ("{88D96A05-F192-11D4-A65F-0040963251E5}", "DOMDocument60"),
            ("{88D96A06-F192-11D4-A65F-0040963251E5}", "FreeThreadedDOMDocument60"),
            ("{88D96A07-F192-11D4-A65F-0040963251E5}", "XMLSchemaCache60"),
            ("{88D96A08-F192-11D4-A65F-0040963251E5}", "XSLTemplate60"),
            ("{88D96A0A-F192-11D4-A65F-0040963251E5}", "XMLHTTP60"),
            ("{88D96A0B-F192-11D4-A65F-0040963251E5}", "ServerXMLHTTP60"),
            ("{88D96A0C-F192-11D4-A65F-0040963251E5}", "SAXXMLReader60"),
            ("{88D96A0F-F192-11D4-A65F-0040963251E5}", "MXXMLWriter60"),
            ("{88D96A10-F192-11D4-A65F-0040963251E5}", "MXHTMLWriter60"),
            ("{88D96A0E-F192-11D4-A65F-0040963251E5}", "SAXAttributes60"),
            ("{88D96A11-F192-11D4-A65F-0040963251E5}", "MXNamespaceManager60")])
        self.assertEqual(by_name["32_MSXML6"]["classes"], by_name["64_MSXML6"]["classes"])
        self.assertIn("  {6C1A5E21-3B7D-4F0E-9A41-5D2C8B7E1F21}  64_KORVIX", self.out)
        self.assertNotIn("1F22", self.out)

    @unittest.skipUnless(image_env.SAMPLE_PAYLOAD, "not the sample components")
    def test_a_server_without_a_type_library_is_noted(self):
        untyped = os.path.join(os.path.dirname(image_env.UNSIGNED), "samples", "untyped",
                               "midas.dll")
        for variant in ("32", "64"):
            shutil.copy(untyped, os.path.join(self.dir, variant, "midas.dll"))
        code, _ = self.run_validator()
        self.assertEqual(code, 0)
        self.assertIn("note: 32/midas.dll: no type library, so its classes are unknown: the check "
                      "counts it registered when any class names it\n", self.out)
        with open(self.json) as f:
            midas = [e for e in json.load(f)["payload"] if e["file"] == "midas.dll"]
        self.assertEqual([(e["classes"], e["classes_note"]) for e in midas],
                         [(None, "no type library")] * 2)
        # Another library format: its classes are unknown too.
        self.patch_typelib(os.path.join("64", "KorviX.dll"), 0, b"SLTG")
        code, _ = self.run_validator()
        self.assertEqual(code, 0)
        self.assertIn("note: 64/KorviX.dll: TYPELIB 1 is an SLTG type library, which the build "
                      "does not read, so its classes are unknown", self.out)

    def test_a_malformed_type_library_fails_naming_the_file(self):
        server = os.path.join("32", "KorviDataSetX.dll")
        count = self.typelib_field(server, 0x20)
        directory = 0x54 + 4 * count
        guid_segment = self.typelib_field(server, directory + 5 * 16)
        for offset, data, reason in (
                (0x20, struct.pack("<i", 100000), "truncated"),
                (directory + 5 * 16, struct.pack("<i", 1 << 24), "GUID segment"),
                (directory + 7 * 16 + 4, struct.pack("<i", 0), "name offset"),
                (4, struct.pack("<I", 0x00010001), "not an MSFT type library")):
            with self.subTest(reason=reason):
                self.tearDown()
                self.setUp()
                self.patch_typelib(server, offset, data)
                self.assert_fails_naming(server, reason)
        self.assertGreater(guid_segment, 0)

    def test_a_clsid_declared_twice_fails_naming_the_file(self):
        # Within one library: KorviXGrid given KorviX's CLSID.
        first, second = (uuid.UUID(f"6C1A5E21-3B7D-4F0E-9A41-5D2C8B7E1F{n}").bytes_le
                         for n in ("11", "21"))
        path = os.path.join(self.dir, "64", "KorviX.dll")
        with open(path, "rb") as f:
            data = f.read()
        with open(path, "wb") as f:
            f.write(data.replace(second, first))
        self.assert_fails_naming(os.path.join("64", "KorviX.dll"),
                                 "CLSID {6C1A5E21-3B7D-4F0E-9A41-5D2C8B7E1F11} declared twice")
        # By two servers: each would register it over the other's.
        self.tearDown()
        self.setUp()
        shutil.copy(os.path.join(self.dir, "32", "KorviGovX.ocx"),
                    os.path.join(self.dir, "32", "midas.dll"))
        self.assert_fails_naming(os.path.join("32", "midas.dll"), "declared twice, also by")

    def test_classes_a_server_does_not_register_are_left_out(self):
        listing = os.path.join(self.dir, "unregistered-classes.txt")
        with open(listing, "w") as f:
            f.write("# served by another library\nKorviX.dll {6c1a5e21-3b7d-4f0e-9a41-5d2c8b7e1f21}\n")
        code, _ = self.run_validator()
        self.assertEqual(code, 0)
        with open(self.json) as f:
            korvix = [e for e in json.load(f)["payload"] if e["file"] == "KorviX.dll"]
        for e in korvix:
            self.assertEqual([c["name"] for c in e["classes"]], ["KorviX", "KorviXReport"])
            self.assertEqual(e["classes_not_registered"], ["{6C1A5E21-3B7D-4F0E-9A41-5D2C8B7E1F21}"])
        self.assertIn("note: 64/KorviX.dll: {6C1A5E21-3B7D-4F0E-9A41-5D2C8B7E1F21} is declared "
                      "creatable but not registered by it", self.out)
        # A class the server does not declare: the list is stale.
        with open(listing, "a") as f:
            f.write("midas.dll {6C1A5E21-3B7D-4F0E-9A41-5D2C8B7E1F31}\n")
        self.assert_fails_naming("unregistered-classes.txt",
                                 "midas.dll declares no creatable class {6C1A5E21")


if __name__ == "__main__":
    unittest.main()
