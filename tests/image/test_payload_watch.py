"""The payload directory is watched: in a throwaway build tree on a copy of the payload, a file
replaced (even by an older one), added or removed makes the next build validate and embed the
payload again, with no configure run by hand."""
import os
import shutil
import subprocess
import tempfile
import unittest

import pefile

import image_env

RCDATA = pefile.RESOURCE_TYPE["RT_RCDATA"]


class PayloadWatch(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.temp = tempfile.TemporaryDirectory()
        cls.payload = os.path.join(cls.temp.name, "payload")
        shutil.copytree(image_env.PAYLOAD_DIR, cls.payload)
        cls.build = os.path.join(cls.temp.name, "build")
        cls.image = os.path.join(cls.build, "setup_vannix-unsigned.exe")
        subprocess.run(["cmake", "-S", image_env.SOURCE_DIR, "-B", cls.build,
                        "-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(
                            image_env.SOURCE_DIR, "cmake", "toolchain-i686-w64-mingw32.cmake"),
                        "-DCMAKE_BUILD_TYPE=Release", "-DSETUP_VANNIX_PAYLOAD_DIR=" + cls.payload],
                       check=True, stdout=subprocess.DEVNULL)

    @classmethod
    def tearDownClass(cls):
        cls.temp.cleanup()

    def build_image(self):
        """Builds the unsigned image; returns (exit code, output)."""
        done = subprocess.run(["cmake", "--build", self.build, "--target", "setup_vannix_unsigned",
                               "-j", "2"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              text=True)
        return done.returncode, done.stdout

    def assert_builds_with_the_payload(self):
        code, out = self.build_image()
        self.assertEqual(code, 0, out)
        pe = pefile.PE(self.image)
        rcdata = image_env.resources_of_type(pe, RCDATA)
        embedded = {name: data for name, [(_, data)] in rcdata.items()}
        pe.close()
        files = {}
        for variant in ("32", "64"):
            for name in os.listdir(os.path.join(self.payload, variant)):
                with open(os.path.join(self.payload, variant, name), "rb") as f:
                    files[f"{variant}_{os.path.splitext(name)[0].upper()}"] = f.read()
        self.assertEqual(embedded, files)

    def assert_fails_naming(self, path):
        code, out = self.build_image()
        self.assertNotEqual(code, 0, out)
        self.assertIn(path, out)
        self.assertFalse(os.path.exists(self.image))

    def test_replaced_added_and_removed_files(self):
        self.assert_builds_with_the_payload()

        # Replaced by another sound file (another build of it, here one byte longer), dated
        # before the image: mtime alone would miss it.
        midas = os.path.join(self.payload, "32", "midas.dll")
        with open(midas, "ab") as f:
            f.write(b"\0")
        os.utime(midas, (1e9, 1e9))
        self.assert_builds_with_the_payload()

        extra = os.path.join(self.payload, "64", "extra.dll")
        shutil.copyfile(midas, extra)
        self.assert_fails_naming(extra)
        self.assert_fails_naming(extra)  # and again: no image is left that looks current

        os.remove(extra)
        removed = os.path.join(self.payload, "64", "msxml6r.dll")
        saved = os.path.join(self.temp.name, "msxml6r.dll")
        os.rename(removed, saved)
        self.assert_fails_naming(removed)

        os.rename(saved, removed)
        self.assert_builds_with_the_payload()


if __name__ == "__main__":
    unittest.main()
