"""What the signing tests share: a fresh work directory in the build tree, the test PKI, and
signing with its key file through tools/image/sign_image.sh."""
import os
import shutil
import subprocess

import image_env

WORK = os.environ.get("SETUP_VANNIX_SIGNING_TEST_DIR", "")
SIGN_IMAGE = os.path.join(image_env.SOURCE_DIR, "tools", "image", "sign_image.sh")


def fresh_work_dir():
    assert WORK, "SETUP_VANNIX_SIGNING_TEST_DIR is not set"
    shutil.rmtree(WORK, ignore_errors=True)
    os.makedirs(WORK)
    return WORK


def pki_dir():
    """The build's test PKI; when the build signs with the users' own key, one made in WORK."""
    if image_env.TEST_PKI:
        return image_env.TEST_PKI
    pki = os.path.join(WORK, "test-pki")
    subprocess.run(["sh", os.path.join(image_env.SOURCE_DIR, "tools", "image", "make_test_pki.sh"), pki],
                   check=True, stdout=subprocess.DEVNULL)
    return pki


def offline_timestamp(pki):
    """sign_image.sh's arguments for the offline test timestamp."""
    return [os.path.join(pki, n) for n in ("tsa.pem", "tsa.key", "time")]


def sign_with_key_file(pki, out):
    subprocess.run(["sh", SIGN_IMAGE, image_env.UNSIGNED, out, os.path.join(pki, "chain.pem"),
                    os.path.join(pki, "leaf.key")] + offline_timestamp(pki), check=True)
