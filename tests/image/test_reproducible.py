import filecmp
import os
import subprocess
import tempfile
import unittest

import image_env


class Reproducible(unittest.TestCase):
    def test_resources_compile_to_the_same_object(self):
        """The resource object is what links into the image; with a fixed link (no timestamp)
        the same object gives the same image."""
        built = os.path.join(image_env.RES_DIR, "setup_vannix_res.o")
        with tempfile.TemporaryDirectory() as temp:
            again = os.path.join(temp, "res.o")
            subprocess.run(
                [image_env.RC_COMPILER, "-I", image_env.RES_DIR, "-I",
                 os.path.join(image_env.SOURCE_DIR, "resources"), "-O", "coff", "-o", again,
                 os.path.join(image_env.SOURCE_DIR, "resources", "setup_vannix.rc")], check=True)
            self.assertTrue(filecmp.cmp(built, again, shallow=False))

    def test_icon_is_deterministic(self):
        with tempfile.TemporaryDirectory() as temp:
            again = os.path.join(temp, "a.ico")
            subprocess.run(["/usr/bin/python3",
                            os.path.join(image_env.SOURCE_DIR, "tools", "make_icon.py"), again],
                           check=True)
            self.assertTrue(filecmp.cmp(os.path.join(image_env.RES_DIR, "setup_vannix.ico"),
                                        again, shallow=False))

    def test_unsigned_image_has_no_timestamp(self):
        import pefile
        pe = pefile.PE(image_env.UNSIGNED, fast_load=True)
        self.assertEqual(pe.FILE_HEADER.TimeDateStamp, 0)
        self.assertEqual(pe.OPTIONAL_HEADER.DATA_DIRECTORY[4].Size, 0)


if __name__ == "__main__":
    unittest.main()
