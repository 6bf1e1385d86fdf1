import unittest

import image_env

class Headers(unittest.TestCase):
    def setUp(self):
        self.pe = image_env.image()
        self.opt = self.pe.OPTIONAL_HEADER

    def test_header_settings(self):
        self.assertEqual(self.opt.Magic, 0x10B)  # PE32
        self.assertEqual(self.pe.FILE_HEADER.Machine, 0x14C)
        self.assertEqual(self.opt.Subsystem, 2)
        self.assertEqual(self.opt.ImageBase, 0x00400000)
        self.assertEqual((self.opt.MajorOperatingSystemVersion,
                          self.opt.MinorOperatingSystemVersion), (5, 0))
        self.assertEqual((self.opt.MajorSubsystemVersion, self.opt.MinorSubsystemVersion), (5, 0))
        self.assertEqual((self.opt.MajorImageVersion, self.opt.MinorImageVersion), (0, 0))
        self.assertEqual(self.opt.DllCharacteristics, 0)
        self.assertFalse(self.pe.FILE_HEADER.Characteristics & 0x20)  # large-address-aware
        self.assertEqual((self.opt.SizeOfStackReserve, self.opt.SizeOfStackCommit),
                         (1048576, 16384))
        self.assertEqual((self.opt.SizeOfHeapReserve, self.opt.SizeOfHeapCommit),
                         (1048576, 4096))

    def test_checksum_is_that_of_the_signed_file(self):
        self.assertEqual(self.opt.CheckSum, self.pe.generate_checksum())

    def test_resource_section_last_relocations_kept(self):
        names = [s.Name.rstrip(b"\0").decode() for s in self.pe.sections]
        self.assertEqual(names[-1], ".rsrc")
        self.assertIn(".reloc", names)
        rsrc_dir = self.opt.DATA_DIRECTORY[2]
        last = self.pe.sections[-1]
        self.assertTrue(last.VirtualAddress <= rsrc_dir.VirtualAddress < last.VirtualAddress
                        + last.Misc_VirtualSize)
        self.assertGreater(self.opt.DATA_DIRECTORY[5].Size, 0)

    def test_payload_can_be_mapped_in_place(self):
        rsrc = self.pe.sections[-1]
        self.assertEqual(self.opt.FileAlignment, 0x1000)
        self.assertEqual(rsrc.PointerToRawData % 0x1000, 0)

    def test_imports_only_kernel32_and_msvcrt(self):
        # user32 is loaded only when a failure box must be shown; nothing else is needed.
        dlls = {i.dll.decode().upper() for i in self.pe.DIRECTORY_ENTRY_IMPORT}
        self.assertEqual(dlls, {"KERNEL32.DLL", "MSVCRT.DLL"})


if __name__ == "__main__":
    unittest.main()
