"""The Authenticode signature of a PE image, read with a small DER walker: which certificate
signed, what the signer signed, and what was added after signing (the timestamp)."""
import collections
import ssl
import struct
import subprocess

import pefile

Signer = collections.namedtuple(
    "Signer", "issuer_and_serial attributes signed certificates unsigned")
CONTENT_TYPE = "1.2.840.113549.1.9.3"
SPC_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"


def _elements(der):
    """(tag, TLV) of each element that follows another in der."""
    pos = 0
    while pos < len(der):
        length, header = der[pos + 1], 2
        if length & 0x80:
            count = length & 0x7F
            length = int.from_bytes(der[pos + 2:pos + 2 + count], "big")
            header += count
        yield der[pos], der[pos:pos + header + length]
        pos += header + length


def _inside(tlv):
    """The elements inside one constructed TLV."""
    _, whole = next(_elements(tlv))
    length = tlv[1]
    header = 2 + (length & 0x7F if length & 0x80 else 0)
    return list(_elements(whole[header:]))


def signed_data(path):
    """The PKCS#7 SignedData (DER) in the image's certificate table."""
    pe = pefile.PE(path, fast_load=True)
    security = pe.OPTIONAL_HEADER.DATA_DIRECTORY[
        pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    offset, size = security.VirtualAddress, security.Size
    pe.close()
    with open(path, "rb") as f:
        f.seek(offset)
        table = f.read(size)
    length = struct.unpack_from("<I", table)[0]
    return table[8:length]


def signer(path):
    """The one signer of the image's signature."""
    pkcs7 = signed_data(path)
    explicit = _inside(pkcs7)[1][1]                 # ContentInfo: OID, [0] EXPLICIT SignedData
    fields = _inside(_inside(explicit)[0][1])       # version, digests, content, [0] certs, signers
    certificates = [tlv for tag, field in fields if tag == 0xA0 for _, tlv in _inside(field)]
    infos = _inside(fields[-1][1])
    assert len(infos) == 1, "one signer expected"
    parts = _inside(infos[0][1])                    # version, issuerAndSerialNumber, ..., [1] unsigned
    attributes = {}
    for tag, tlv in parts:
        if tag == 0xA0:                             # authenticated attributes: OID, SET of values
            for _, attribute in _inside(tlv):
                name, values = _inside(attribute)
                attributes[oid(name[1])] = [value for _, value in _inside(values[1])]
    return Signer(issuer_and_serial=parts[1][1], attributes=attributes,
                  signed=b"".join(tlv for tag, tlv in parts if tag != 0xA1),
                  certificates=sorted(certificates),
                  unsigned=b"".join(tlv for tag, tlv in parts if tag == 0xA1))


def oid(tlv):
    """The dotted form of an OBJECT IDENTIFIER's DER."""
    body = tlv[2:]
    arcs, value = [body[0] // 40, body[0] % 40], 0
    for byte in body[1:]:
        value = value << 7 | byte & 0x7F
        if not byte & 0x80:
            arcs.append(value)
            value = 0
    return ".".join(map(str, arcs))


def issuer_and_serial(pem_path):
    """issuerAndSerialNumber (DER) of the first certificate in a PEM file."""
    with open(pem_path) as f:
        text = f.read()
    end = "-----END CERTIFICATE-----"
    cert = ssl.PEM_cert_to_DER_cert(text[:text.index(end) + len(end)])
    tbs = _inside(_inside(cert)[0][1])
    serial, _, issuer = [tlv for tag, tlv in tbs if tag != 0xA0][:3]   # after the [0] version
    body = issuer + serial
    return b"\x30" + _length(len(body)) + body


def _length(n):
    if n < 0x80:
        return bytes([n])
    raw = n.to_bytes((n.bit_length() + 7) // 8, "big")
    return bytes([0x80 | len(raw)]) + raw


def verify(path, root):
    """osslsigncode's verdict on the image against the test PKI's root: its whole output (it
    exits 0 even when the timestamp does not verify, so callers look for the "ok" lines)."""
    result = subprocess.run(["osslsigncode", "verify", "-CAfile", root, "-TSA-CAfile", root,
                             "-in", path], capture_output=True, text=True)
    return result.stdout + result.stderr


def certificate_names(path):
    """The subject and issuer lines of the certificates in the image's SignedData."""
    out = subprocess.run(["openssl", "pkcs7", "-inform", "DER", "-print_certs", "-noout"],
                         input=signed_data(path), capture_output=True, check=True).stdout.decode()
    return [line for line in out.splitlines() if line.startswith(("subject=", "issuer="))]
