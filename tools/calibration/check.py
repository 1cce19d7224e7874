#!/usr/bin/env python3
"""Calibration as an installer meets it, on synthesized reference passages.

    check.py [--build-dir=DIR] [--field=FIELD.json] [--runs=N] [--wheel-weights=all|some|none]
             [--limit=PCT] [--keep] [-- CALIBRATE ARGS...]

Synthesizes every train description in this folder (N runs of each, every
run with its own seed; --field adds a real track's effects), puts
coefficients 0 to 4 % off into the installation's configuration, calibrates
with all passages together, and sets the new coefficients against those the
signal was made with. The truth keeps the wheel weights of every axle (all),
of every other axle (some: the others' readings lost) or of none (vehicle
weights alone, as a scale that weighs whole wagons gives them). Exits 1 when a
coefficient ends farther than PCT (default 0.2) from its true value, when the
new configuration differs from the given one in more than its coeff numbers,
or, without a field, when the weights miss class 0.2 (vehicle 0.2 %, train
0.1 %); with calibrate's own status when it fails. Arguments after "--" go to
calibrate.
"""
import argparse
import glob
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
TOOLS_DIR = os.path.dirname(HERE)
sys.path.insert(0, TOOLS_DIR)
import config_coeffs  # noqa: E402

SEED_STEP = 1000


def synthesize(args, work_dir):
    """[(oscillogram, truth)] of every run of every description, and the
    installation's true configuration text."""
    trains = []
    for description in sorted(glob.glob(os.path.join(HERE, "*.json"))):
        with open(description) as f:
            train = json.load(f)
        if "vehicles" in train:  # not a field
            trains.append((description, train))
    passages = []
    for run in range(args.runs):
        for description, train in trains:
            seed = train.get("seed", 1) + SEED_STEP * run
            prefix = os.path.join(work_dir, "%s_%d" % (os.path.basename(description)[:-5], run))
            command = [os.path.join(args.build_dir, "synth"), description, prefix, "--seed=%d" % seed]
            subprocess.run(command + (["--field=" + args.field] if args.field else []), check=True,
                           stdout=subprocess.DEVNULL)
            if args.wheel_weights != "all":
                with open(prefix + ".truth.json") as f:
                    truth = json.load(f)
                for car in truth["carriages"]:
                    for axle in car["axis"][1::2] if args.wheel_weights == "some" else car["axis"]:
                        for wheel in axle["wheels"]:
                            del wheel["weight"]
                with open(prefix + ".truth.json", "w") as f:
                    json.dump(truth, f)
            passages.append((prefix + ".osc", prefix + ".truth.json"))
    with open(passages[0][0][:-len(".osc")] + ".json.conf") as f:
        return passages, f.read()


def main():
    parser = argparse.ArgumentParser(usage=__doc__.split("\n\n")[1].strip())
    parser.add_argument("--build-dir", default=os.path.join(os.path.dirname(TOOLS_DIR), "build"))
    parser.add_argument("--field")
    parser.add_argument("--runs", type=int, default=1)
    parser.add_argument("--wheel-weights", choices=("all", "some", "none"), default="all")
    parser.add_argument("--limit", type=float, default=0.2)
    parser.add_argument("--keep", action="store_true")
    parser.add_argument("calibrate_args", nargs="*")
    args = parser.parse_args()
    args.build_dir = os.path.abspath(args.build_dir)
    work_dir = tempfile.mkdtemp(prefix="korvanet-calibration-check-")
    try:
        passages, true_text = synthesize(args, work_dir)
        true = config_coeffs.sensors(true_text)
        off_text = config_coeffs.with_coeffs(
            true_text, {s["path"]: s["coeff"] * (1 + 0.04 * ((i * 5) % 9 - 4) / 4) for i, s in enumerate(true)})
        off, new = os.path.join(work_dir, "off.json.conf"), os.path.join(work_dir, "new.json.conf")
        with open(off, "w") as f:
            f.write(off_text)
        command = [os.path.join(TOOLS_DIR, "calibrate"), "--config", off, "--out", new, "--build-dir", args.build_dir]
        command += args.calibrate_args
        run = subprocess.run(command + [name for passage in passages for name in passage], capture_output=True,
                             text=True)
        sys.stdout.write(run.stdout + run.stderr)
        if run.returncode != 0:
            return run.returncode
        with open(new) as f:
            new_text = f.read()
        found = config_coeffs.sensors(new_text)
        errors = [100 * (n["coeff"] / t["coeff"] - 1) for t, n in zip(true, found)]
        off_sensors = config_coeffs.sensors(off_text)
        before = [100 * (o["coeff"] / t["coeff"] - 1) for t, o in zip(true, off_sensors)]
        print("\ncoefficients against the signal's own, worst: before %.3f %%, after %.3f %% (limit %.2f %%)" % (
            max(map(abs, before)), max(map(abs, errors)), args.limit))
        print("after, per sensor %: " + " ".join("%+.3f" % e for e in errors))
        vehicle, train = map(float, re.search(r"after: worst vehicle (\S+) %, worst train (\S+) %",
                                              run.stdout).groups())
        kept = config_coeffs.with_coeffs(new_text, {s["path"]: s["coeff"] for s in off_sensors})
        failed = [what for what, bad in [("coefficients", max(map(abs, errors)) > args.limit),
                                         ("class 0.2", not args.field and (vehicle > 0.2 or train > 0.1)),
                                         ("configuration beyond its coeff numbers", kept != off_text)] if bad]
        print("missed: " + ", ".join(failed) if failed else "all met")
        return 1 if failed else 0
    finally:
        if args.keep:
            print("files kept in " + work_dir)
        else:
            shutil.rmtree(work_dir, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
