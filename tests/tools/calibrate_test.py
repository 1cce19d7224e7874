#!/usr/bin/env python3
"""Calibration through the real program: reference passages synthesized with
known coefficients must give them back from a configuration a few percent
off; passages that cannot determine them are refused and nothing is written.

    calibrate_test.py --build-dir=DIR
"""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

TOOLS_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools")
BUILD_DIR = "build"


class CalibrateTest(unittest.TestCase):
    def test_recovers_the_coefficients_with_or_without_wheel_weights(self):
        # The reference wagons load the two rails differently enough for
        # vehicle weights alone to tell the rails apart.
        for wheels in ("all", "some", "none"):
            with self.subTest(wheels=wheels):
                run = subprocess.run([os.path.join(TOOLS_DIR, "calibration", "check.py"), "--build-dir=" + BUILD_DIR,
                                      "--wheel-weights=" + wheels], capture_output=True, text=True)
                self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
                before, after = map(float, re.search(r"worst: before (\S+) %, after (\S+) %", run.stdout).groups())
                self.assertGreaterEqual(before, 4)
                self.assertLessEqual(after, 0.2)
                self.assertIn("all met", run.stdout)

    def test_refuses_what_the_passages_cannot_determine(self):
        work = tempfile.mkdtemp(prefix="calibrate-test-")
        self.addCleanup(shutil.rmtree, work, ignore_errors=True)
        with open(os.path.join(TOOLS_DIR, "calibration", "reference_loaded.json")) as f:
            reference = json.load(f)

        def passage(name, change_train, change_truth):
            train = json.loads(json.dumps(reference))
            change_train(train)
            prefix = os.path.join(work, name)
            with open(prefix + ".json", "w") as f:
                json.dump(train, f)
            subprocess.run([os.path.join(BUILD_DIR, "synth"), prefix + ".json", prefix], check=True,
                           capture_output=True)
            with open(prefix + ".truth.json") as f:
                truth = json.load(f)
            change_truth(truth)
            with open(prefix + ".truth.json", "w") as f:
                json.dump(truth, f)
            return [prefix + ".osc", prefix + ".truth.json"]

        def even_loads(train):
            for vehicle in train["vehicles"]:
                vehicle.pop("odd_share", None)

        def vehicle_weights_only(truth):
            for car in truth["carriages"]:
                for axle in car["axis"]:
                    for wheel in axle["wheels"]:
                        del wheel["weight"]

        def silent_sensor(train):
            train["field"] = {"dead": [{"line": 2, "side": "even", "sensor": 1, "kind": "silent"}]}

        unchanged = passage("reference", lambda train: None, lambda truth: None)
        cases = [
            (passage("even", even_loads, vehicle_weights_only),
             "cannot tell how the load falls on the two rails"),
            (unchanged + passage("short", lambda train: None, lambda truth: truth["carriages"].pop()),
             "short.osc does not match its truth: line 1 weighed 7 vehicles"),
            (passage("dead", silent_sensor, lambda truth: None),
             "line 2 even sensor 1 saw no wheel in any reference passage; the library says: line 2 even sensor 1: "),
        ]
        config, out = os.path.join(work, "reference.json.conf"), os.path.join(work, "new.json.conf")
        for passages, message in cases:
            with self.subTest(message=message):
                run = subprocess.run([os.path.join(TOOLS_DIR, "calibrate"), "--config", config, "--out", out,
                                      "--build-dir", BUILD_DIR] + passages, capture_output=True, text=True)
                self.assertEqual(run.returncode, 2, run.stdout + run.stderr)
                self.assertIn(message, run.stderr)
                self.assertIn("Nothing written", run.stderr)
                self.assertFalse(os.path.exists(out))


if __name__ == "__main__":
    for arg in list(sys.argv[1:]):
        if arg.startswith("--build-dir="):
            BUILD_DIR = os.path.abspath(arg.split("=", 1)[1])
            sys.argv.remove(arg)
    unittest.main()
