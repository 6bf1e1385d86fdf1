import copy
import hashlib
import io
import json
import os
import shutil
import tempfile
import unittest
import uuid
from contextlib import redirect_stderr, redirect_stdout
from unittest import mock

import jsonschema
import pefile

import image_env
import release_record
from catalogue import CATALOGUE
from payload_record import file_version, machine_name

SCHEMA_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "cyclonedx")
SCHEMA_BASE = "http://cyclonedx.org/schema/"


def sha256_file(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def cyclonedx_validator():
    """Draft-07 validator of the vendored CycloneDX 1.5 schema; its references resolve to the
    vendored files, never to the network."""
    def load(name):
        with open(os.path.join(SCHEMA_DIR, name), encoding="utf-8") as f:
            return json.load(f)
    bom = load("bom-1.5.SNAPSHOT.schema.json")
    store = {SCHEMA_BASE + name: load(name)
             for name in ("spdx.SNAPSHOT.schema.json", "jsf-0.82.SNAPSHOT.schema.json")}
    resolver = jsonschema.RefResolver.from_schema(bom, store=store)
    jsonschema.Draft7Validator.check_schema(bom)
    return jsonschema.Draft7Validator(bom, resolver=resolver,
                                      format_checker=jsonschema.FormatChecker())


def properties(component):
    return {p["name"]: p["value"] for p in component.get("properties", [])}


class ReleaseRecord(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with open(image_env.RELEASE_RECORD, encoding="ascii") as f:
            cls.text = f.read()
        cls.bom = json.loads(cls.text)

    def test_valid_cyclonedx_1_5(self):
        validator = cyclonedx_validator()
        errors = [f"{list(e.absolute_path)}: {e.message}" for e in validator.iter_errors(self.bom)]
        self.assertEqual(errors, [])
        self.assertEqual((self.bom["bomFormat"], self.bom["specVersion"]), ("CycloneDX", "1.5"))

    def test_schema_rejects_a_malformed_record(self):
        """The validator is the real schema, not one that accepts anything."""
        broken = copy.deepcopy(self.bom)
        broken["components"][0]["hashes"][0]["alg"] = "SHA-257"
        broken["metadata"]["component"]["type"] = "installer"
        self.assertEqual(len(list(cyclonedx_validator().iter_errors(broken))), 2)

    def test_subject_is_the_signed_installer(self):
        subject = self.bom["metadata"]["component"]
        self.assertEqual((subject["type"], subject["name"], subject["version"]),
                         ("application", "setup_vannix", "1.0.0.0"))
        self.assertEqual(subject["hashes"], [{"alg": "SHA-256",
                                              "content": sha256_file(image_env.IMAGE)}])

    def test_payload_components_are_the_payload_files(self):
        files = [c for c in self.bom["components"] if c["type"] == "file"]
        self.assertEqual(len(files), 22)
        expected_order = [(v, b + e) for v in ("32", "64") for b, e, _ in CATALOGUE]
        self.assertEqual([(properties(c)["setup_vannix:variant"], c["name"]) for c in files],
                         expected_order)
        for c in files:
            props = properties(c)
            variant, name = props["setup_vannix:variant"], c["name"]
            path = os.path.join(image_env.PAYLOAD_DIR, variant, name)
            with open(path, "rb") as f:
                data = f.read()
            with open(os.path.join(image_env.PAYLOAD_DIR, "64" if variant == "32" else "32",
                                   name), "rb") as f:
                twin = f.read() == data
            pe = pefile.PE(data=data, fast_load=True)
            version, text = file_version(pe)
            self.assertEqual(c["hashes"], [{"alg": "SHA-256",
                                            "content": hashlib.sha256(data).hexdigest()}], path)
            self.assertEqual(c.get("version"), version, path)
            self.assertEqual(props.get("setup_vannix:file-version-text"), text, path)
            self.assertEqual(props["setup_vannix:resource"],
                             f"{variant}_{os.path.splitext(name)[0].upper()}")
            self.assertEqual(props["setup_vannix:size"], str(len(data)), path)
            self.assertEqual(props["setup_vannix:machine"], machine_name(pe), path)
            self.assertEqual(props["setup_vannix:twin"], "twin" if twin else "differs", path)
            self.assertRegex(props["setup_vannix:exports"], r"^[0-9]+$")
        self.assertEqual(len({c["bom-ref"] for c in self.bom["components"]}),
                         len(self.bom["components"]))

    @unittest.skipUnless(image_env.SAMPLE_PAYLOAD, "not the sample components")
    def test_sample_versions_recorded(self):
        versions = {properties(c)["setup_vannix:resource"]: c.get("version")
                    for c in self.bom["components"] if c["type"] == "file"}
        self.assertEqual(versions["64_MSXML6R"], "6.30.17763.1")
        self.assertEqual(versions["32_MIDAS"], "21.0.17017.3725")
        self.assertIsNone(versions["64_SSLEAY32"])

    def test_check_program_is_listed(self):
        [check] = [c for c in self.bom["components"] if c["type"] == "application"]
        self.assertEqual((check["name"], check["version"]), ("setup_vannix_check", "1.0.0.0"))
        self.assertEqual(check["hashes"], [{"alg": "SHA-256",
                                            "content": sha256_file(image_env.CHECK_IMAGE)}])

    def test_detection_rules_list_each_variant_from_the_record(self):
        import detection_rules
        rows = list(detection_rules.payload_rows(self.bom))
        self.assertEqual([(v, n) for v, n, *_ in rows],
                         [(v, b + e) for v in ("32", "64") for b, e, _ in CATALOGUE])
        by_name = {(v, n): (size, version) for v, n, size, version, _ in rows}
        self.assertEqual(by_name[("64", "msxml6r.dll")][1], "6.30.17763.1")
        self.assertEqual(by_name[("32", "KorviX.dll")],
                         (os.path.getsize(os.path.join(image_env.PAYLOAD_DIR, "32", "KorviX.dll")),
                          None))
        # Windows' own files get no rule, only the reason.
        printed = io.StringIO()
        with redirect_stdout(printed):
            detection_rules.main(["detection_rules.py", image_env.RELEASE_RECORD])
        lines = printed.getvalue().splitlines()
        self.assertEqual([ln for ln in lines if ln.lstrip().startswith("msxml6")], [])
        self.assertEqual(sum("no rule for msxml6.dll and msxml6r.dll" in ln for ln in lines), 2)
        self.assertEqual(sum(ln.lstrip().startswith("KorviX.dll ") for ln in lines), 2)

    def test_serial_number_follows_from_the_images(self):
        name = ("urn:setup_vannix:release:" + sha256_file(image_env.IMAGE) + ":"
                + sha256_file(image_env.CHECK_IMAGE))
        self.assertEqual(self.bom["serialNumber"],
                         f"urn:uuid:{uuid.uuid5(uuid.NAMESPACE_URL, name)}")


class Regeneration(unittest.TestCase):
    """release_record.py run again on the build's inputs."""

    def setUp(self):
        self.temp = tempfile.mkdtemp()
        self.out = os.path.join(self.temp, "record.json")

    def tearDown(self):
        shutil.rmtree(self.temp)

    def generate(self, payload_record=image_env.PAYLOAD_RECORD, epoch=None):
        env = {k: v for k, v in os.environ.items() if k != "SOURCE_DATE_EPOCH"}
        if epoch is not None:
            env["SOURCE_DATE_EPOCH"] = epoch
        err = io.StringIO()
        with mock.patch.dict(os.environ, env, clear=True), redirect_stderr(err):
            code = release_record.main([
                "--payload-record", payload_record, "--installer", image_env.IMAGE,
                "--check", image_env.CHECK_IMAGE, "--out", self.out])
        return code, err.getvalue()

    def test_same_inputs_same_record(self):
        self.assertEqual(self.generate()[0], 0)
        with open(self.out) as f:
            again = json.load(f)
        with open(image_env.RELEASE_RECORD) as f:
            built = json.load(f)
        built["metadata"].pop("timestamp", None)  # only when the build had SOURCE_DATE_EPOCH
        self.assertNotIn("timestamp", again["metadata"])
        self.assertEqual(again, built)

    def test_time_only_from_source_date_epoch(self):
        self.assertEqual(self.generate(epoch="1765324800")[0], 0)
        with open(self.out) as f:
            self.assertEqual(json.load(f)["metadata"]["timestamp"], "2025-12-10T00:00:00Z")

    def test_refuses_a_record_the_images_contradict(self):
        with open(image_env.PAYLOAD_RECORD) as f:
            record = json.load(f)
        record["payload"][3]["sha256"] = "0" * 64
        changed = os.path.join(self.temp, "payload.json")
        with open(changed, "w") as f:
            json.dump(record, f)
        with open(self.out, "w") as f:
            f.write("stale")
        code, message = self.generate(payload_record=changed)
        self.assertEqual(code, 1)
        self.assertIn(image_env.IMAGE, message)
        self.assertIn(record["payload"][3]["resource"], message)
        self.assertFalse(os.path.exists(self.out))

    def test_refuses_a_check_whose_table_is_not_the_records(self):
        import payload_record
        entries = payload_record.load(image_env.PAYLOAD_RECORD)
        _, pe = release_record.read_image(image_env.CHECK_IMAGE)
        release_record.check_digest_table(image_env.CHECK_IMAGE, pe, entries)
        entries[-1]["size"] += 1
        with self.assertRaisesRegex(release_record.RecordError, "PAYLOADDIGESTS"):
            release_record.check_digest_table(image_env.CHECK_IMAGE, pe, entries)


if __name__ == "__main__":
    unittest.main()
