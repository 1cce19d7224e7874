#!/usr/bin/env python3
"""Accuracy harness: synthesizes every scenario, weighs it with the real
program and holds the result against the truth.

    accuracy.py [--build-dir=DIR] [--quick] [--keep] [NAME ...]

Each scenario in tools/scenarios/*.json is a train description for the
synthesizer; its "harness" member ({"quick": true}) marks the small ones that
--quick runs. NAME runs only the scenarios whose file names contain it.
Prints one table row per scenario and exits non-zero when any scenario misses
a limit (see compare_truth.LIMITS).
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

TOOLS_DIR = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, TOOLS_DIR)
import compare_truth  # noqa: E402

SCENARIO_DIR = os.path.join(TOOLS_DIR, "scenarios")
RUN_TIMEOUT_S = 240


def load_scenarios(names, quick):
    scenarios = []
    for file_name in sorted(os.listdir(SCENARIO_DIR)):
        if not file_name.endswith(".json"):
            continue
        name = file_name[:-len(".json")]
        if names and not any(n in name for n in names):
            continue
        path = os.path.join(SCENARIO_DIR, file_name)
        with open(path) as f:
            description = json.load(f)
        if quick and not description.get("harness", {}).get("quick"):
            continue
        scenarios.append((name, path))
    return scenarios


def run_scenario(name, path, build_dir, work_dir):
    """Synthesizes and weighs one scenario; returns (report or None, error text, seconds)."""
    prefix = os.path.join(work_dir, name)
    started = time.monotonic()
    synth = subprocess.run([os.path.join(build_dir, "synth"), path, prefix], capture_output=True, text=True)
    if synth.returncode != 0:
        return None, "synth failed: " + synth.stderr.strip(), 0.0
    try:
        run = subprocess.run([os.path.join(build_dir, "korvanet"), prefix + ".osc",
                              "--config-file=" + prefix + ".json.conf", "--debug=1"],
                             capture_output=True, text=True, cwd=work_dir, timeout=RUN_TIMEOUT_S)
    except subprocess.TimeoutExpired:
        return None, "korvanet did not finish in %d s" % RUN_TIMEOUT_S, RUN_TIMEOUT_S
    seconds = time.monotonic() - started
    # The raw dump files of debug mode are large and of no further use here.
    for entry in os.listdir(work_dir):
        if entry.startswith(name + ".osc_out"):
            os.remove(os.path.join(work_dir, entry))
    if run.returncode != 0:
        return None, "korvanet exit status %d: %s" % (run.returncode, run.stderr.strip()[-300:]), seconds
    try:
        doc = compare_truth.parse_document(run.stdout)
    except ValueError:
        return None, "no result document on standard output", seconds
    with open(prefix + ".truth.json") as f:
        truth = json.load(f)
    return compare_truth.compare(truth, doc), "", seconds


def flats_cell(report):
    if report["flats_true"] == 0 and report["false_flats"] == 0:
        return "-"
    cell = "%d/%d" % (report["flats_detected"], report["flats_true"])
    return cell + (" +%d" % report["false_flats"] if report["false_flats"] else "")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default=os.path.join(os.path.dirname(TOOLS_DIR), "build"))
    parser.add_argument("--quick", action="store_true", help="only the small scenarios marked quick")
    parser.add_argument("--keep", action="store_true", help="keep the synthesized files and print where")
    parser.add_argument("--verbose", action="store_true", help="print the vehicle table of every scenario")
    parser.add_argument("names", nargs="*")
    args = parser.parse_args()
    build_dir = os.path.abspath(args.build_dir)
    for program in ("synth", "korvanet"):
        if not os.access(os.path.join(build_dir, program), os.X_OK):
            sys.stderr.write("accuracy: %s not built in %s\n" % (program, build_dir))
            return 2

    scenarios = load_scenarios(args.names, args.quick)
    if not scenarios:
        sys.stderr.write("accuracy: no scenario selected\n")
        return 2
    work_dir = tempfile.mkdtemp(prefix="korvanet-accuracy-")
    header = "%-24s %9s %9s %8s %8s %8s %8s %7s %6s  %s" % (
        "scenario", "vehicles", "axles", "vehicle%", "total%", "wheel%", "speed%", "flats", "time", "verdict")
    print(header)
    print("-" * len(header))
    failed = 0
    try:
        for name, path in scenarios:
            report, error, seconds = run_scenario(name, path, build_dir, work_dir)
            if report is None:
                failed += 1
                print("%-24s %s" % (name, "FAIL  " + error))
                continue
            missed = compare_truth.failures(report)
            failed += 1 if missed else 0
            print("%-24s %9s %9s %8.3f %8.3f %8.3f %8.3f %7s %5.1fs  %s" % (
                name, "%d/%d" % (report["vehicles_found"], report["vehicles_true"]),
                "%d/%d" % (report["axles_found"], report["axles_true"]), report["worst_vehicle_pct"],
                abs(report["total_pct"]), report["worst_wheel_pct"], report["worst_speed_pct"], flats_cell(report),
                seconds, "ok" if not missed else "FAIL  " + "; ".join(missed)))
            if args.verbose:
                compare_truth.print_report(report)
                print()
            sys.stdout.flush()
    finally:
        if args.keep:
            print("files kept in %s" % work_dir)
        else:
            shutil.rmtree(work_dir, ignore_errors=True)
    limits = compare_truth.LIMITS
    print("\nlimits: vehicle <= %.2f%%, total <= %.2f%%, wheel <= %.1f%%, speed <= %.1f%%, "
          "flat read >= %.0f%% of its severity, sound wheel < %d" % (
              limits["vehicle_pct"], limits["total_pct"], limits["wheel_pct"], limits["speed_pct"],
              100 * limits["flat_share"], limits["sound_condition_below"]))
    print("%d of %d scenarios met every limit" % (len(scenarios) - failed, len(scenarios)))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
