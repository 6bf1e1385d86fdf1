import os
import unittest

import image_env
from validate_payload import CATALOGUE

# Sizes of the real components; the size-faithful build pads its samples to them.
REAL_SIZES = {
    "32_KORVIDATASETX": 4714496, "32_KORVIGOVX": 16869888, "32_KORVIX": 4848128,
    "32_LIBEAY32": 1276928, "32_MIDAS": 437632, "32_MSXML6": 1391616, "32_MSXML6R": 2048,
    "32_QELKORVILIB": 2235392, "32_QELKORVILIBUNICODE": 4723712, "32_SSLEAY32": 276992,
    "32_STDVCL40": 2406768, "64_KORVIDATASETX": 4714496, "64_KORVIGOVX": 16869888,
    "64_KORVIX": 4848128, "64_LIBEAY32": 2101248, "64_MIDAS": 437632, "64_MSXML6": 2022304,
    "64_MSXML6R": 2560, "64_QELKORVILIB": 2235392, "64_QELKORVILIBUNICODE": 4723712,
    "64_SSLEAY32": 353792, "64_STDVCL40": 2224064,
}
DIFFERS = {"LIBEAY32", "SSLEAY32", "MSXML6", "MSXML6R", "STDVCL40"}
AMD64 = {"64_LIBEAY32", "64_SSLEAY32"}
# File versions of the real components that have a version block; the samples carry the same.
FILE_VERSIONS = {
    "32_MIDAS": "21.0.17017.3725", "64_MIDAS": "21.0.17017.3725",
    "32_MSXML6": "6.30.7601.24402", "64_MSXML6": "6.30.17763.437",
    "32_MSXML6R": "6.30.7601.24402", "64_MSXML6R": "6.30.17763.1",
    "32_STDVCL40": "4.0.0.0", "64_STDVCL40": "4.0.0.0",
}


class PayloadResources(unittest.TestCase):
    def setUp(self):
        self.rcdata = image_env.resources_of_type(image_env.image(), 10)
        self.payload = {k: v for k, v in self.rcdata.items() if isinstance(k, str)}

    def test_names_are_the_catalogue_in_both_variants_ascending(self):
        expected = sorted(f"{v}_{b.upper()}" for v in ("32", "64") for b, _, _ in CATALOGUE)
        self.assertEqual(list(self.payload), expected)
        self.assertEqual(len(expected), 22)

    def test_no_numeric_rcdata(self):
        self.assertEqual([k for k in self.rcdata if not isinstance(k, str)], [])

    def test_one_language_1046(self):
        for name, entries in self.payload.items():
            self.assertEqual([lang for lang, _ in entries], [1046], name)

    def test_each_resource_is_its_file_byte_for_byte(self):
        for base, ext, _ in CATALOGUE:
            for variant in ("32", "64"):
                with open(os.path.join(image_env.PAYLOAD_DIR, variant, base + ext), "rb") as f:
                    self.assertEqual(self.payload[f"{variant}_{base.upper()}"][0][1], f.read(),
                                     f"{variant}/{base}{ext}")

    def test_twins_and_machines(self):
        import pefile
        for name, [(_, data)] in self.payload.items():
            other = self.payload[("64" if name[:2] == "32" else "32") + name[2:]][0][1]
            self.assertEqual(data != other, name[3:] in DIFFERS, name)
            machine = pefile.PE(data=data, fast_load=True).FILE_HEADER.Machine
            self.assertEqual(machine, 0x8664 if name in AMD64 else 0x14C, name)

    @unittest.skipUnless(image_env.SAMPLE_PAYLOAD, "not the sample components")
    def test_sample_file_versions(self):
        import pefile
        from payload_record import file_version
        for name, [(_, data)] in self.payload.items():
            expected = FILE_VERSIONS.get(name)
            pe = pefile.PE(data=data, fast_load=True)
            self.assertEqual(file_version(pe), (expected, expected), name)
            if expected:
                self.assertEqual(pe.VS_FIXEDFILEINFO[0].FileType, 2, name)  # VFT_DLL

    @unittest.skipUnless(image_env.SAMPLE_PAYLOAD, "not the sample components")
    def test_samples_fit_their_padded_sizes(self):
        """The size-faithful build pads each sample to the real size, so none may be larger."""
        for name, [(_, data)] in self.payload.items():
            self.assertLessEqual(len(data), REAL_SIZES[name], name)

    @unittest.skipUnless(image_env.SIZE_FAITHFUL, "sample components are not padded")
    def test_sizes_are_the_real_components(self):
        self.assertEqual({k: len(v[0][1]) for k, v in self.payload.items()}, REAL_SIZES)
        self.assertEqual(sum(REAL_SIZES.values()), 79716816)


if __name__ == "__main__":
    unittest.main()
