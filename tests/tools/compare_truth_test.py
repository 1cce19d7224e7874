#!/usr/bin/env python3
"""The accuracy verdict itself: a weighing that misses any one limit must be
reported, and one within every limit must pass."""
import copy
import json
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import compare_truth  # noqa: E402


def truth():
    wheel = {"weight": 11000.0, "condition": 0.0}
    flat = {"weight": 3000.0, "condition": 60.0}
    return {
        "total_weight": 88000.0 + 24000.0,
        "carriages": [
            {"full_weight": 88000.0, "loco": {"flag": True, "type": "Co-Co"},
             "axis": [{"speed": 40.0, "wheels": [wheel, wheel]}] * 4},
            {"full_weight": 24000.0, "loco": {"flag": False, "type": ""},
             "axis": [{"speed": 40.5, "wheels": [{"weight": 3000.0, "condition": 0.0}, flat]}] +
                     [{"speed": 40.5, "wheels": [{"weight": 3000.0, "condition": 0.0}] * 2}] * 3},
        ],
    }


def with_floor(loco_pct, wagon_pct, worst_wheel_pct):
    """truth() of a passage with dynamics: its averaging floor misses each
    vehicle and its wheels by the given percentages, one locomotive wheel by
    worst_wheel_pct."""
    t = json.loads(json.dumps(truth()))
    for car, error in zip(t["carriages"], (loco_pct, wagon_pct)):
        car["floor_weight"] = car["full_weight"] * (1 + error / 100)
        for wheel in (w for a in car["axis"] for w in a["wheels"]):
            wheel["floor_weight"] = wheel["weight"] * (1 + error / 100)
    t["carriages"][0]["axis"][0]["wheels"][0]["floor_weight"] = 11000 * (1 + worst_wheel_pct / 100)
    t["floor_total_weight"] = sum(c["floor_weight"] for c in t["carriages"])
    return t


def perfect(t):
    """The document a flawless weighing of truth t would give."""
    return {"total_weight": int(t["total_weight"]), "correct": True, "carriages": [
        {"full_weight": int(c["full_weight"]), "loco": dict(c["loco"]),
         "axis": [{"speed": a["speed"], "wheels": [{"weight": int(w["weight"]), "condition": int(w["condition"])}
                                                   for w in a["wheels"]]} for a in c["axis"]]}
        for c in t["carriages"]]}


class VerdictTest(unittest.TestCase):
    def test_each_missed_limit_is_reported(self):
        def scale_vehicle(d, pct):
            d["carriages"][1]["full_weight"] = int(24000 * (1 + pct / 100))

        def scale_both(d, pct):
            scale_vehicle(d, pct)
            d["carriages"][0]["full_weight"] = int(88000 * (1 + pct / 100))

        def scale_total(d, pct):
            d["total_weight"] = int(d["total_weight"] * (1 + pct / 100))

        def scale_wheel(d, pct):
            d["carriages"][0]["axis"][2]["wheels"][1]["weight"] = int(11000 * (1 + pct / 100))

        def scale_speed(d, pct):
            d["carriages"][1]["axis"][3]["speed"] = 40.5 * (1 + pct / 100)

        def set_flat(d, value):
            d["carriages"][1]["axis"][0]["wheels"][1]["condition"] = value

        def set_sound(d, value):
            d["carriages"][0]["axis"][1]["wheels"][0]["condition"] = value

        def drop_axle(d, _):
            d["carriages"][1]["axis"].pop()

        def drop_vehicle(d, _):
            d["carriages"].pop()

        def unmark_loco(d, _):
            d["carriages"][0]["loco"] = {"flag": False, "type": ""}

        def wrong_type(d, _):
            d["carriages"][0]["loco"]["type"] = "Bo-Bo"

        def not_correct(d, _):
            d["correct"] = False

        # (change, argument, expected failure text or None for a pass)
        cases = [
            (scale_vehicle, 0.45, None), (scale_vehicle, -0.6, "vehicle"),
            (scale_total, 0.2, None), (scale_total, -0.3, "total"),
            (scale_wheel, 1.9, None), (scale_wheel, 2.2, "wheel"),
            (scale_speed, -0.9, None), (scale_speed, 1.2, "speed"),
            (set_flat, 30, None), (set_flat, 29, "flats 0/1"),
            (set_sound, 9, None), (set_sound, 10, "sound wheels"),
            (drop_axle, None, "axles 7/8"), (drop_vehicle, None, "vehicles 1/2"),
            (unmark_loco, None, "loco"), (wrong_type, None, "loco"), (not_correct, None, "not correct"),
        ]
        # Floors of RMS 0.82 %, worst vehicle 1 %, wheel 3 %, total +0.66 %; and a
        # calm one within the model's limits, where the RMS limit is 0.25 %.
        dynamic, calm = with_floor(1.0, -0.6, 3.0), with_floor(0.1, -0.1, 0.5)
        cases = [(truth(),) + case for case in cases] + [
            (dynamic, scale_vehicle, 0.9, None), (dynamic, scale_vehicle, 1.1, "vehicle"),
            (dynamic, scale_both, 0.6, None), (dynamic, scale_both, 0.7, "rms"),
            (dynamic, scale_wheel, 2.9, None), (dynamic, scale_wheel, 3.1, "wheel"),
            (dynamic, scale_total, 0.6, None), (dynamic, scale_total, -0.7, "total"),
            (dynamic, scale_speed, 1.2, "speed"),
            (calm, scale_both, 0.24, None), (calm, scale_both, 0.3, "rms"), (calm, scale_wheel, 1.9, None),
        ]
        for t, change, argument, expected in cases:
            with self.subTest(change=change.__name__, argument=argument, floor="floor_total_weight" in t):
                doc = perfect(t)
                change(doc, argument)
                found = "; ".join(compare_truth.failures(compare_truth.compare(t, doc)))
                if expected is None:
                    self.assertEqual(found, "")
                else:
                    self.assertIn(expected, found)

    def test_document_is_found_in_program_output_and_master_message(self):
        doc = perfect(truth())
        text = json.dumps(doc, separators=(",", ":"))
        stdout = "File p.osc_out0.dat\nFile p.osc_out1.dat\n" + text
        message = '{"cmd":"scales_result","param":"7","name":"recorderScales","id":0,"values":["%s"]}' % (
            text.replace('"', '\\"'))
        for source in (stdout, text, message):
            self.assertEqual(compare_truth.parse_document(source), doc)
        with self.assertRaises(ValueError):
            compare_truth.parse_document("File p.osc_out0.dat\n")


if __name__ == "__main__":
    unittest.main()
