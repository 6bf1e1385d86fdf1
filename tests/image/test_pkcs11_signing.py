"""Signing through a PKCS#11 token: SoftHSM with a token in the build tree that holds the test
PKI's code-signing key, used by tools/image/sign_image.sh with the offline test timestamp."""
import os
import subprocess
import unittest

import authenticode
import image_env
import signing_fixture as fixture

MODULE = "/usr/lib/softhsm/libsofthsm2.so"  # Debian's softhsm2
TOKEN = "setup_vannix-test"
PIN = "4711"
KEY = f"pkcs11:token={TOKEN};object=code-signing;type=private"
CERT = f"pkcs11:token={TOKEN};object=code-signing;type=cert"


class Pkcs11Signing(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = fixture.fresh_work_dir()
        cls.pki = fixture.pki_dir()
        os.makedirs(os.path.join(cls.work, "tokens"))
        conf = os.path.join(cls.work, "softhsm2.conf")
        with open(conf, "w") as f:
            f.write(f"directories.tokendir = {cls.work}/tokens\nobjectstore.backend = file\n"
                    "log.level = ERROR\n")
        # Only the token in the build tree: no system token directory, no PIN from the caller.
        cls.env = {k: v for k, v in os.environ.items() if k != "SETUP_VANNIX_PKCS11_PIN"}
        cls.env["SOFTHSM2_CONF"] = conf
        chain = os.path.join(cls.pki, "chain.pem")
        cls.run_quietly(["softhsm2-util", "--init-token", "--free", "--label", TOKEN,
                         "--so-pin", "12345678", "--pin", PIN])
        cls.run_quietly(["softhsm2-util", "--import", os.path.join(cls.pki, "leaf.key"),
                         "--token", TOKEN, "--label", "code-signing", "--id", "01", "--pin", PIN])
        leaf = os.path.join(cls.work, "leaf.der")
        cls.run_quietly(["openssl", "x509", "-in", chain, "-outform", "DER", "-out", leaf])
        cls.run_quietly(["pkcs11-tool", "--module", MODULE, "--login", "--pin", PIN,
                         "--write-object", leaf, "--type", "cert", "--id", "01",
                         "--label", "code-signing"])
        # The intermediate and the root: what a token holding only the leaf leaves to a file.
        with open(chain) as f:
            text = f.read()
        end = "-----END CERTIFICATE-----\n"
        cls.cas = os.path.join(cls.work, "cas.pem")
        with open(cls.cas, "w") as f:
            f.write(text[text.index(end) + len(end):])
        cls.reference = os.path.join(cls.work, "with-key-file.exe")
        fixture.sign_with_key_file(cls.pki, cls.reference)

    @classmethod
    def run_quietly(cls, command):
        subprocess.run(command, env=cls.env, check=True, stdout=subprocess.DEVNULL)

    def sign(self, name, certs, key, pin=PIN, extra=()):
        """sign_image.sh through the token; the PIN in the environment unless None."""
        out = os.path.join(self.work, name)
        env = dict(self.env)
        if pin is not None:
            env["SETUP_VANNIX_PKCS11_PIN"] = pin
        result = subprocess.run(
            ["sh", fixture.SIGN_IMAGE, image_env.UNSIGNED, out, "--pkcs11-module", MODULE,
             *extra, certs, key] + fixture.offline_timestamp(self.pki),
            env=env, capture_output=True, text=True, start_new_session=True)  # no terminal to ask on
        return out, result

    def assert_verifies(self, path):
        out = authenticode.verify(path, os.path.join(self.pki, "root.pem"))
        self.assertIn("Signature verification: ok", out)
        self.assertIn("Timestamp Server Signature verification: ok", out)
        self.assertIn("Number of verified signatures: 1", out)

    def test_signature_through_the_token_verifies_and_names_the_test_leaf(self):
        out, result = self.sign("token.exe", os.path.join(self.pki, "chain.pem"), KEY)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assert_verifies(out)
        self.assertEqual(authenticode.signer(out).issuer_and_serial,
                         authenticode.issuer_and_serial(os.path.join(self.pki, "chain.pem")))

    def test_token_signs_exactly_as_the_key_file_does(self):
        """RSA PKCS#1 v1.5 and the fixed signing time make the signer's part deterministic; only
        the timestamp, added afterwards, differs between two signings."""
        out, result = self.sign("same.exe", os.path.join(self.pki, "chain.pem"), KEY)
        self.assertEqual(result.returncode, 0, result.stderr)
        token, key_file = authenticode.signer(out), authenticode.signer(self.reference)
        self.assertEqual(token.signed, key_file.signed)
        self.assertEqual(token.certificates, key_file.certificates)
        self.assertTrue(token.unsigned)

    def test_pin_from_a_file_named_in_the_uri(self):
        pin_file = os.path.join(self.work, "pin")
        with open(pin_file, "w") as f:
            f.write(PIN)  # read verbatim: no newline
        out, result = self.sign("pin-source.exe", os.path.join(self.pki, "chain.pem"),
                                f"{KEY};pin-source=file:{pin_file}", pin=None)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assert_verifies(out)

    def test_leaf_certificate_from_the_token_with_the_intermediates_from_a_file(self):
        out, result = self.sign("token-cert.exe", CERT, KEY, extra=("--extra-certs", self.cas))
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assert_verifies(out)
        self.assertEqual(authenticode.signer(out).signed,
                         authenticode.signer(self.reference).signed)

    def assert_fails_without_output(self, name, message, **sign_args):
        out = os.path.join(self.work, name)
        with open(out, "wb") as f:
            f.write(b"an image from an earlier build")
        out, result = self.sign(name, **sign_args)
        self.assertNotEqual(result.returncode, 0)
        self.assertIn(f"sign_image.sh: cannot sign {image_env.UNSIGNED}: {message}", result.stderr)
        self.assertFalse(os.path.exists(out))
        self.assertFalse(os.path.exists(out + ".tmp"))

    def test_wrong_pin_fails_with_a_clear_message_and_no_output(self):
        self.assert_fails_without_output("wrong-pin.exe", "the token refused the PIN",
                                         certs=os.path.join(self.pki, "chain.pem"), key=KEY,
                                         pin="0000")

    def test_missing_key_fails_with_a_clear_message_and_no_output(self):
        absent = f"pkcs11:token={TOKEN};object=absent;type=private"
        self.assert_fails_without_output("no-key.exe", f"no private key at {absent}",
                                         certs=os.path.join(self.pki, "chain.pem"), key=absent)

    def test_no_pin_fails_with_a_clear_message_and_no_output(self):
        self.assert_fails_without_output("no-pin.exe", "no PIN",
                                         certs=os.path.join(self.pki, "chain.pem"), key=KEY,
                                         pin=None)


if __name__ == "__main__":
    unittest.main()
