import io
import os
import shutil
import tempfile
import unittest
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
        self.stale = os.path.join(self.temp, "setup_vannix.exe")
        with open(self.stale, "wb") as f:
            f.write(b"MZ")

    def tearDown(self):
        shutil.rmtree(self.temp)

    def run_validator(self):
        err = io.StringIO()
        with redirect_stdout(io.StringIO()), redirect_stderr(err):
            code = validate_payload.main([self.dir, "--rc", self.rc,
                                          "--remove-on-failure", self.stale])
        return code, err.getvalue()

    def assert_fails_naming(self, relative):
        code, message = self.run_validator()
        self.assertEqual(code, 1)
        self.assertIn(os.path.join(self.dir, relative), message)
        self.assertFalse(os.path.exists(self.rc))
        self.assertFalse(os.path.exists(self.stale))

    def test_sound_payload_gives_22_entries(self):
        code, _ = self.run_validator()
        self.assertEqual(code, 0)
        with open(self.rc) as f:
            text = f.read()
        self.assertEqual(text.count(" RCDATA "), 22)
        self.assertEqual(text.count("LANGUAGE LANG_PORTUGUESE, SUBLANG_PORTUGUESE_BRAZILIAN"), 22)
        self.assertIn('"64_KORVIGOVX" RCDATA', text)

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

    def test_unregistered_exporting_com_entry_points(self):
        shutil.copy(os.path.join(self.dir, "64", "KorviX.dll"),
                    os.path.join(self.dir, "64", "ssleay32.dll"))
        self.assert_fails_naming(os.path.join("64", "ssleay32.dll"))


if __name__ == "__main__":
    unittest.main()
