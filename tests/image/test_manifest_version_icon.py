import struct
import unittest
import xml.etree.ElementTree as ET

import image_env

ASM1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM3 = "{urn:schemas-microsoft-com:asm.v3}"
COMPAT = "{urn:schemas-microsoft-com:compatibility.v1}"
WS2005 = "{http://schemas.microsoft.com/SMI/2005/WindowsSettings}"
SUPPORTED_OS = ["{e2011457-1546-43c5-a5fe-008deee3d3f0}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
                "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
                "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"]


class Manifest(unittest.TestCase):
    def setUp(self):
        entries = image_env.resources_of_type(image_env.image(), 24)
        self.assertEqual(list(entries), [1])
        [(self.lang, self.data)] = entries[1]

    def test_language_and_declaration(self):
        self.assertEqual(self.lang, 1033)
        self.assertTrue(self.data.startswith(
            b'<?xml version="1.0" encoding="UTF-8" standalone="yes"?>'))

    def test_settings(self):
        root = ET.fromstring(self.data)
        self.assertEqual(root.tag, ASM1 + "assembly")
        self.assertEqual(root.get("manifestVersion"), "1.0")
        self.assertIsNone(root.find(ASM1 + "assemblyIdentity"))
        level = root.find(f"{ASM3}trustInfo/{ASM3}security/{ASM3}requestedPrivileges/"
                          f"{ASM3}requestedExecutionLevel")
        self.assertEqual(level.attrib, {"level": "requireAdministrator", "uiAccess": "false"})
        settings = root.find(f"{ASM3}application/{ASM3}windowsSettings")
        self.assertEqual([(e.tag, e.text) for e in settings], [(WS2005 + "dpiAware", "True/PM")])
        identity = root.find(f"{ASM1}dependency/{ASM1}dependentAssembly/{ASM1}assemblyIdentity")
        self.assertEqual(identity.attrib, {
            "type": "win32", "name": "Microsoft.Windows.Common-Controls", "version": "6.0.0.0",
            "publicKeyToken": "6595b64144ccf1df", "language": "*", "processorArchitecture": "*"})
        ids = [e.get("Id") for e in root.findall(f"{COMPAT}compatibility/{COMPAT}application/"
                                                 f"{COMPAT}supportedOS")]
        self.assertEqual(ids, SUPPORTED_OS)


class VersionBlock(unittest.TestCase):
    def test_resource_and_fixed_part(self):
        entries = image_env.resources_of_type(image_env.image(), 16)
        self.assertEqual(list(entries), [1])
        self.assertEqual([lang for lang, _ in entries[1]], [1033])
        pe = image_env.image()
        [fixed] = pe.VS_FIXEDFILEINFO
        self.assertEqual(fixed.Signature, 0xFEEF04BD)
        self.assertEqual(fixed.StrucVersion, 0x00010000)
        self.assertEqual((fixed.FileVersionMS, fixed.FileVersionLS), (0x00010000, 0))
        self.assertEqual((fixed.ProductVersionMS, fixed.ProductVersionLS), (0x00010000, 0))
        self.assertEqual((fixed.FileFlagsMask, fixed.FileFlags), (0x3F, 0))
        self.assertEqual((fixed.FileOS, fixed.FileType, fixed.FileSubtype), (4, 1, 0))
        self.assertEqual((fixed.FileDateMS, fixed.FileDateLS), (0, 0))

    def test_strings_in_order_and_translation(self):
        pe = image_env.image()
        [info] = pe.FileInfo
        string_tables = [t for fi in info if fi.Key == b"StringFileInfo" for t in fi.StringTable]
        self.assertEqual([t.LangID for t in string_tables], [b"040904E4"])
        self.assertEqual(list(string_tables[0].entries.items()), [
            (b"FileDescription", b"setup_vannix"), (b"FileVersion", b"1.0.0.0"),
            (b"ProgramID", b"setup_vannix"), (b"ProductName", b"setup_vannix"),
            (b"ProductVersion", b"1.0.0.0")])
        translations = [v for fi in info if fi.Key == b"VarFileInfo" for v in fi.Var]
        self.assertEqual([v.entry for v in translations], [{b"Translation": "0x0409 0x04e4"}])


class Icon(unittest.TestCase):
    def test_group_and_images(self):
        pe = image_env.image()
        groups = image_env.resources_of_type(pe, 14)
        self.assertEqual(list(groups), ["MAINICON"])
        [(lang, group)] = groups["MAINICON"]
        self.assertEqual(lang, 1033)
        reserved, kind, count = struct.unpack_from("<HHH", group)
        self.assertEqual((reserved, kind, count), (0, 1, 8))
        icons = image_env.resources_of_type(pe, 3)
        expected = [(s, 8) for s in (16, 24, 32, 48)] + [(s, 32) for s in (16, 24, 32, 48)]
        seen = []
        for i in range(count):
            w, h, _, _, planes, bpp, size, icon_id = struct.unpack_from("<BBBBHHIH", group, 6 + 14 * i)
            self.assertEqual(icon_id, i + 1)
            [(icon_lang, dib)] = icons[icon_id]
            self.assertEqual(icon_lang, 1033)
            self.assertEqual(len(dib), size)
            header_size, dw, dh, _, dbpp = struct.unpack_from("<IiiHH", dib)
            self.assertEqual((header_size, dw, dh, dbpp), (40, w, 2 * w, bpp), f"icon {icon_id}")
            self.assertEqual(planes, 1)
            seen.append((w, bpp))
        self.assertEqual(seen, expected)
        self.assertEqual(sorted(icons), list(range(1, 9)))


if __name__ == "__main__":
    unittest.main()
