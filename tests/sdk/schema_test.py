#!/usr/bin/env python3
"""The SDK's JSON Schema of `ktsensors --json` with python3-jsonschema: every document the
SDK's own Linux ktsensors writes for the example notebooks, the default one and a machine
without thermal support is valid, and documents that break the documented contract are not.

Usage: schema_test.py SDK_FOLDER   (the unpacked zip's kovaltherm-VERSION/)"""
import copy
import json
import os
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

import jsonschema

SDK = Path(sys.argv.pop(1) if len(sys.argv) > 1 else ".")
TOOL = SDK / "linux-x86_64" / "ktsensors"
SCENARIOS = SDK / "linux-x86_64" / "scenarios"


def documents(scenario, *options):
    """The documents ktsensors --json writes for `scenario` (a file, or None for the default
    notebook), on simulated time and a registry file of its own."""
    with tempfile.TemporaryDirectory() as folder:
        command = [TOOL, "--json", "--registry", Path(folder) / "registry.db", *options]
        if scenario:
            command += ["--scenario", scenario]
        run = subprocess.run(command, capture_output=True, text=True, timeout=60,
                             env=dict(os.environ, KOVALTHERM_CLOCK="virtual"))
    return [json.loads(line) for line in run.stdout.splitlines()]


class Schema(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        schema = json.loads((SDK / "schema" / "ktsensors-json.schema.json").read_text())
        jsonschema.Draft202012Validator.check_schema(schema)
        cls.validator = jsonschema.Draft202012Validator(schema)

    def test_the_tools_documents_are_valid(self):
        with tempfile.TemporaryDirectory() as folder:
            unsupported = Path(folder) / "unsupported.json"
            unsupported.write_text('{"sensors": [], "driver": {"probe_succeeds": false}}')
            # heat-cycle's minute in 5 s steps passes through normal, warning and critical.
            cases = [(None, [], 1), (SCENARIOS / "steady.json", [], 1),
                     (SCENARIOS / "heat-cycle.json", ["--count", "13", "--watch", "5"], 13),
                     (SCENARIOS / "stuck-controller.json", [], 1), (SCENARIOS / "firmware-faults.json", [], 1),
                     (unsupported, [], 1)]
            statuses = set()
            for scenario, options, count in cases:
                with self.subTest(scenario=scenario):
                    found = documents(scenario, *options)
                    self.assertEqual(len(found), count)
                    for document in found:
                        self.assertEqual(list(self.validator.iter_errors(document)), [])
                        statuses |= {s["status"] for s in document["sensors"]}
            self.assertEqual(statuses, {"normal", "warning", "critical", "no status"})

    def test_documents_breaking_the_contract_are_rejected(self):
        valid = documents(SCENARIOS / "firmware-faults.json")[0]  # sensor 2 has no limits
        self.assertEqual(list(self.validator.iter_errors(valid)), [])

        def sensor(index, **fields):
            return lambda d: d["sensors"][index].update(fields)
        breaks = {
            "a failed value not named in failed": sensor(0, temperature=None),
            "a value named in failed": sensor(2, warning_limit=90),
            "the C failure value for a location": sensor(0, location=-1, failed=["location"]),
            "the C failure value for a temperature": sensor(0, temperature=-100),
            "a temperature above a byte": sensor(0, temperature=256),
            "a location code above 9": sensor(0, location=10),
            "status and status_code that differ": sensor(0, status="normal", status_code=2),
            "a status code outside 0-3": sensor(0, status_code=4),
            "a failed status with a name": sensor(0, status_code=None, failed=["status"]),
            "an unknown name in failed": sensor(0, failed=["humidity"]),
            "a field not in the contract": sensor(0, humidity=40),
            "a temperature as text": sensor(0, temperature="61"),
            "no time": lambda d: d.pop("time"),
            "a time not in UTC": lambda d: d.update(time="2026-12-08T08:12:28.123+01:00"),
            "a reading numbered 0": lambda d: d.update(reading=0),
            "sensors not a list": lambda d: d.update(sensors={}),
        }
        for name, damage in breaks.items():
            with self.subTest(name):
                document = copy.deepcopy(valid)
                damage(document)
                self.assertFalse(self.validator.is_valid(document))


if __name__ == "__main__":
    unittest.main(verbosity=1)
