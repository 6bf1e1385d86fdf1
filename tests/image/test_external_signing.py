"""Signing outside the build: osslsigncode extract-data takes what is to be signed from the
unsigned image, the signing party (here osslsigncode with the test PKI's key file, standing in for
a signing service or a machine with the token) signs only that, and attach-signature puts the
signature into the image."""
import os
import shutil
import subprocess
import unittest

import authenticode
import image_env
import signing_fixture as fixture


class ExternalSigning(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = fixture.fresh_work_dir()
        cls.pki = fixture.pki_dir()
        cls.data = os.path.join(cls.work, "setup_vannix.data.der")
        cls.osslsigncode("extract-data", "-h", "sha256", "-in", image_env.UNSIGNED,
                         "-out", cls.data)
        time = fixture.offline_timestamp(cls.pki)
        with open(time[2]) as f:
            at = f.read().strip()
        cls.signature = os.path.join(cls.work, "setup_vannix.sig.der")
        cls.osslsigncode("sign", "-certs", os.path.join(cls.pki, "chain.pem"),
                         "-key", os.path.join(cls.pki, "leaf.key"), "-h", "sha256",
                         "-TSA-certs", time[0], "-TSA-key", time[1], "-TSA-time", at, "-time", at,
                         "-in", cls.data, "-out", cls.signature)
        cls.signed = os.path.join(cls.work, "setup_vannix.exe")
        cls.attach(image_env.UNSIGNED, cls.signed)
        cls.reference = os.path.join(cls.work, "signed-in-one-step.exe")
        fixture.sign_with_key_file(cls.pki, cls.reference)

    @staticmethod
    def osslsigncode(*args):
        return subprocess.run(["osslsigncode", *args], capture_output=True, text=True, check=True)

    @classmethod
    def attach(cls, image, out):
        root = os.path.join(cls.pki, "root.pem")
        return subprocess.run(["osslsigncode", "attach-signature", "-sigin", cls.signature,
                               "-CAfile", root, "-TSA-CAfile", root, "-in", image, "-out", out],
                              capture_output=True, text=True)

    def test_the_signing_party_gets_a_few_hundred_bytes_not_the_image(self):
        self.assertLess(os.path.getsize(self.data), 1024)
        self.assertGreater(os.path.getsize(image_env.UNSIGNED), 64 * 1024)

    def test_attached_signature_and_timestamp_verify(self):
        out = authenticode.verify(self.signed, os.path.join(self.pki, "root.pem"))
        self.assertIn("Signature verification: ok", out)
        self.assertIn("Timestamp Server Signature verification: ok", out)
        self.assertIn("Number of verified signatures: 1", out)

    def test_same_signer_digest_and_attributes_as_signing_in_one_step(self):
        attached, direct = authenticode.signer(self.signed), authenticode.signer(self.reference)
        self.assertEqual(attached.issuer_and_serial,
                         authenticode.issuer_and_serial(os.path.join(self.pki, "chain.pem")))
        self.assertEqual(attached.issuer_and_serial, direct.issuer_and_serial)
        self.assertEqual(attached.certificates, direct.certificates)
        del attached.attributes[authenticode.CONTENT_TYPE], direct.attributes[authenticode.CONTENT_TYPE]
        self.assertEqual(attached.attributes, direct.attributes)  # message digest, time, purpose

    def test_content_type_attribute(self):
        """osslsigncode 2.9 gives a signature made from extract-data's file the content type of a
        certificate trust list; 2.10 gives the right one. Its own verify accepts both."""
        first = self.osslsigncode("--version").stdout.split("\n")[0]   # "osslsigncode 2.9, using:"
        version = tuple(int(n) for n in first.split()[1].rstrip(",").split("."))
        expected = authenticode.SPC_INDIRECT_DATA if version >= (2, 10) else "1.3.6.1.4.1.311.10.1"
        content_type = authenticode.signer(self.signed).attributes[authenticode.CONTENT_TYPE]
        self.assertEqual([authenticode.oid(v) for v in content_type], [expected])
        direct = authenticode.signer(self.reference).attributes[authenticode.CONTENT_TYPE]
        self.assertEqual([authenticode.oid(v) for v in direct], [authenticode.SPC_INDIRECT_DATA])

    def test_the_signature_does_not_fit_another_image(self):
        other = os.path.join(self.work, "other-unsigned.exe")
        shutil.copyfile(image_env.UNSIGNED, other)
        with open(other, "r+b") as f:  # one byte of the DOS stub's message
            f.seek(0x4E)
            byte = f.read(1)
            f.seek(0x4E)
            f.write(bytes([byte[0] ^ 0x20]))
        out = os.path.join(self.work, "other.exe")
        result = self.attach(other, out)
        self.assertNotEqual(result.returncode, 0, result.stdout)
        self.assertIn("MISMATCH", result.stdout)  # the digest in the signature is the first image's


if __name__ == "__main__":
    unittest.main()
