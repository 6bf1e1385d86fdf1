#!/usr/bin/python3
"""Writes the release record of a build: a CycloneDX 1.5 JSON SBOM of the signed installer (the
BOM's subject), its 22 payload files and the signed installation check.

    release_record.py --payload-record payload.json --installer setup_vannix.exe
                      --check setup_vannix_check.exe --out setup_vannix.cdx.json

Deterministic: the serial number is derived from the two images' SHA-256, and the record holds
a time only when SOURCE_DATE_EPOCH is set. Before writing, it makes sure the record tells the
truth: the installer embeds exactly the recorded payload, and the check's digest table is the
one made from the record.
"""
import argparse
import datetime
import hashlib
import json
import os
import sys
import uuid

import pefile

import payload_digests
import payload_record
from print_payload import payload_entries, payload_resources

NAMESPACE = "setup_vannix"  # of our property names
SCHEMA = "http://cyclonedx.org/schema/bom-1.5.schema.json"


class RecordError(Exception):
    pass


def read_image(path):
    """((size, SHA-256), parsed image with its resources) of a signed image. The image is read
    in chunks and parsed from a mapping: its payload is never held in memory."""
    pe = pefile.PE(path, fast_load=True)
    pe.parse_data_directories(
        directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    return payload_record.size_and_sha256(path), pe


def range_sha256(path, offset, size, chunk=1 << 20):
    """SHA-256 of `size` bytes of a file from `offset`, read in chunks."""
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        f.seek(offset)
        while size > 0:
            block = f.read(min(chunk, size))
            if not block:
                raise RecordError(f"{path}: ends inside a resource")
            digest.update(block)
            size -= len(block)
    return digest.hexdigest()


def product_version(path, pe):
    version, _ = payload_record.file_version(pe)
    if version is None:
        raise RecordError(f"{path}: no version block")
    return version


def check_installer_payload(path, pe, entries):
    recorded = {e["resource"]: (e["size"], e["sha256"]) for e in entries}
    found = {name: (size, range_sha256(path, offset, size))
             for name, _, offset, size in payload_entries(pe)}
    if found != recorded:
        differ = sorted(set(found.items()) ^ set(recorded.items()))
        raise RecordError(f"{path}: embedded payload is not the recorded one "
                          f"({', '.join(sorted({name for name, _ in differ}))})")


def check_digest_table(path, pe, entries):
    tables = [data for name, _, data in payload_resources(pe) if name == "PAYLOADDIGESTS"]
    if tables != [payload_digests.table(entries).encode("ascii")]:
        raise RecordError(f"{path}: PAYLOADDIGESTS is not the table of the recorded payload")


def prop(name, value):
    return {"name": f"{NAMESPACE}:{name}", "value": str(value)}


def sha256_hashes(digest):
    return [{"alg": "SHA-256", "content": digest}]


def payload_component(e):
    component = {"type": "file", "bom-ref": f"payload/{e['variant']}/{e['file']}",
                 "name": e["file"]}
    if e["file_version"]:
        component["version"] = e["file_version"]
    component["hashes"] = sha256_hashes(e["sha256"])
    component["properties"] = [
        prop("resource", e["resource"]), prop("variant", e["variant"]),
        prop("size", e["size"]), prop("machine", e["machine"]),
        prop("exports", e["exports"]), prop("twin", e["twin"]),
        prop("register", "true" if e["register"] else "false")]
    if e["file_version_text"] is not None:
        component["properties"].append(prop("file-version-text", e["file_version_text"]))
    # A server's creatable classes, one property each ("{CLSID} name"), or why they are unknown.
    for c in e.get("classes") or ():
        component["properties"].append(prop("com-class", f"{c['clsid']} {c['name']}"))
    for clsid in e.get("classes_not_registered") or ():
        component["properties"].append(prop("com-class-not-registered", clsid))
    if e["register"] and e.get("classes") is None:
        component["properties"].append(prop("com-classes-unknown", e.get("classes_note")))
    return component


def image_component(file_name, name, version, digest, size):
    return {"type": "application", "bom-ref": file_name, "name": name, "version": version,
            "hashes": sha256_hashes(digest),
            "properties": [prop("file", file_name), prop("size", size)]}


def record(entries, installer, check, epoch=None):
    """The SBOM as a dict. installer and check: (path, (size, SHA-256), parsed image)."""
    images = []
    for (path, (size, digest), pe), name in ((installer, "setup_vannix"),
                                             (check, "setup_vannix_check")):
        images.append(image_component(os.path.basename(path), name, product_version(path, pe),
                                      digest, size))
    serial = uuid.uuid5(uuid.NAMESPACE_URL, "urn:setup_vannix:release:" + ":".join(
        c["hashes"][0]["content"] for c in images))
    metadata = {}
    if epoch is not None:
        moment = datetime.datetime.fromtimestamp(int(epoch), datetime.timezone.utc)
        metadata["timestamp"] = moment.strftime("%Y-%m-%dT%H:%M:%SZ")
    metadata["component"] = images[0]
    return {"$schema": SCHEMA, "bomFormat": "CycloneDX", "specVersion": "1.5",
            "serialNumber": f"urn:uuid:{serial}", "version": 1, "metadata": metadata,
            "components": [payload_component(e) for e in entries] + [images[1]]}


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--payload-record", required=True)
    parser.add_argument("--installer", required=True)
    parser.add_argument("--check", required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args(argv)
    try:
        entries = payload_record.load(args.payload_record)
        installer = (args.installer, *read_image(args.installer))
        check = (args.check, *read_image(args.check))
        check_installer_payload(args.installer, installer[2], entries)
        check_digest_table(args.check, check[2], entries)
        bom = record(entries, installer, check, os.environ.get("SOURCE_DATE_EPOCH"))
    except (RecordError, OSError, ValueError, KeyError, pefile.PEFormatError) as error:
        if os.path.exists(args.out):
            os.remove(args.out)
        sys.stderr.write(f"release record: {error}\n")
        return 1
    temp = args.out + ".tmp"
    with open(temp, "w", encoding="ascii") as f:
        json.dump(bom, f, indent=2)
        f.write("\n")
    os.replace(temp, args.out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
