import os
import struct
import unittest

import authenticode
import image_env


class Signature(unittest.TestCase):
    def setUp(self):
        self.pe = image_env.image()
        with open(image_env.IMAGE, "rb") as f:
            self.data = f.read()
        security = self.pe.OPTIONAL_HEADER.DATA_DIRECTORY[4]
        self.offset, self.size = security.VirtualAddress, security.Size

    def test_one_certificate_after_the_last_section(self):
        last = self.pe.sections[-1]
        self.assertEqual(self.offset, last.PointerToRawData + last.SizeOfRawData)
        self.assertEqual(self.offset + self.size, len(self.data))
        length, revision, kind = struct.unpack_from("<IHH", self.data, self.offset)
        self.assertEqual((revision, kind), (0x0200, 2))
        self.assertLessEqual(length, self.size)
        self.assertLess(self.size - length, 8)  # only alignment padding follows

    def test_three_certificates(self):
        names = authenticode.certificate_names(image_env.IMAGE)
        self.assertEqual(sum(n.startswith("subject=") for n in names), 3, names)

    @unittest.skipUnless(image_env.TEST_PKI, "signed with the users' own certificate")
    def test_signature_and_timestamp_verify(self):
        out = authenticode.verify(image_env.IMAGE, os.path.join(image_env.TEST_PKI, "root.pem"))
        self.assertIn("Signature verification: ok", out)
        self.assertIn("Timestamp Server Signature verification: ok", out)
        self.assertIn("Message digest algorithm  : SHA256", out)
        self.assertIn("Number of verified signatures: 1", out)  # no nested signature


if __name__ == "__main__":
    unittest.main()
