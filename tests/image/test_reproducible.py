import filecmp
import os
import subprocess
import tempfile
import unittest

import image_env


class Reproducible(unittest.TestCase):
    def test_a_second_build_tree_gives_the_same_unsigned_image(self):
        """Everything that goes into the image, samples included, from a fresh build tree at
        another path: no timestamp, no path and no base address may differ."""
        build_dir = os.path.dirname(image_env.UNSIGNED)
        options = ["-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(
                       image_env.SOURCE_DIR, "cmake", "toolchain-i686-w64-mingw32.cmake"),
                   "-DCMAKE_BUILD_TYPE=Release",
                   "-DSETUP_VANNIX_SIZE_FAITHFUL=" + ("ON" if image_env.SIZE_FAITHFUL else "OFF")]
        if not image_env.PAYLOAD_DIR.startswith(build_dir + os.sep):  # not the built samples
            options.append("-DSETUP_VANNIX_PAYLOAD_DIR=" + image_env.PAYLOAD_DIR)
        with tempfile.TemporaryDirectory() as temp:
            subprocess.run(["cmake", "-S", image_env.SOURCE_DIR, "-B", temp] + options,
                           check=True, stdout=subprocess.DEVNULL)
            subprocess.run(["cmake", "--build", temp, "--target", "setup_vannix_unsigned",
                            "setup_vannix_check_unsigned", "-j", str(os.cpu_count() or 2)],
                           check=True, stdout=subprocess.DEVNULL)
            again = os.path.join(temp, os.path.basename(image_env.UNSIGNED))
            self.assertTrue(filecmp.cmp(image_env.UNSIGNED, again, shallow=False))
            # The check program and its digest table (from the payload record) as well.
            check = os.path.join(build_dir, "setup_vannix_check-unsigned.exe")
            self.assertTrue(filecmp.cmp(check, os.path.join(temp, os.path.basename(check)),
                                        shallow=False))

    def test_unsigned_image_has_no_timestamp(self):
        import pefile
        pe = pefile.PE(image_env.UNSIGNED, fast_load=True)
        self.assertEqual(pe.FILE_HEADER.TimeDateStamp, 0)
        self.assertEqual(pe.OPTIONAL_HEADER.DATA_DIRECTORY[4].Size, 0)


if __name__ == "__main__":
    unittest.main()
