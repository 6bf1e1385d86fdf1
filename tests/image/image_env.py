"""What the image tests read: paths passed by CTest, and the signed image parsed once."""
import functools
import os
import sys

import pefile

sys.path.insert(0, os.path.join(os.environ.get("SETUP_VANNIX_SOURCE_DIR", ""), "tools", "image"))

IMAGE = os.environ.get("SETUP_VANNIX_IMAGE", "")
UNSIGNED = os.environ.get("SETUP_VANNIX_UNSIGNED", "")
PAYLOAD_DIR = os.environ.get("SETUP_VANNIX_PAYLOAD_DIR", "")
SIZE_FAITHFUL = os.environ.get("SETUP_VANNIX_SIZE_FAITHFUL", "0") == "1"
TEST_PKI = os.environ.get("SETUP_VANNIX_TEST_PKI", "")
RES_DIR = os.environ.get("SETUP_VANNIX_RES_DIR", "")
SOURCE_DIR = os.environ.get("SETUP_VANNIX_SOURCE_DIR", "")
RC_COMPILER = os.environ.get("SETUP_VANNIX_RC_COMPILER", "i686-w64-mingw32-windres")
CHECK_IMAGE = os.environ.get("SETUP_VANNIX_CHECK_IMAGE", "")
RELEASE_RECORD = os.environ.get("SETUP_VANNIX_RELEASE_RECORD", "")
PAYLOAD_RECORD = os.path.join(RES_DIR, "payload.json")
# The payload is the project's own sample components, built in the build tree.
SAMPLE_PAYLOAD = bool(UNSIGNED) and PAYLOAD_DIR == os.path.join(os.path.dirname(UNSIGNED), "payload")
C_COMPILER = os.environ.get("SETUP_VANNIX_C_COMPILER", "i686-w64-mingw32-gcc")


@functools.lru_cache(maxsize=None)
def image():
    return pefile.PE(IMAGE)


def payload_digest_lines():
    """The check's digest table computed here from the payload files: (variant, file name, size,
    sha256, file version or "-", a server's creatable classes or "-") in installation order."""
    import hashlib
    import typelib
    from catalogue import CATALOGUE
    lines = []
    for variant in ("32", "64"):
        for base, ext, register in CATALOGUE:
            with open(os.path.join(PAYLOAD_DIR, variant, base + ext), "rb") as f:
                data = f.read()
            pe = pefile.PE(data=data, fast_load=True)
            pe.parse_data_directories(
                directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
            version = "-"
            for info in getattr(pe, "VS_FIXEDFILEINFO", [])[:1]:
                ms, ls = info.FileVersionMS, info.FileVersionLS
                version = f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"
            classes, _ = typelib.server_classes(pe) if register else (None, None)
            lines.append((variant, base + ext, len(data), hashlib.sha256(data).hexdigest(), version,
                          ",".join(clsid for clsid, _ in classes or ()) or "-"))
    return lines


def resources_of_type(pe, type_id):
    """{name or id: [(lang, bytes), ...]} in directory order, for one resource type."""
    found = {}
    for t in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if t.id != type_id:
            continue
        for n in t.directory.entries:
            key = str(n.name) if n.name is not None else n.id
            found[key] = [(lang.id, pe.get_data(lang.data.struct.OffsetToData,
                                                lang.data.struct.Size))
                          for lang in n.directory.entries]
    return found
