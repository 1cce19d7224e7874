#!/usr/bin/env python3
"""Accuracy harness: synthesizes every scenario, weighs it with the real
program and holds the result against the truth.

    accuracy.py [--build-dir=DIR] [--quick] [--verbose] [--keep] [NAME ...]
    accuracy.py --random=N [--random-seed=S] [--build-dir=DIR] [--verbose] [--keep]

Each scenario in tools/scenarios/*.json is a train description for the
synthesizer; its "harness" member ({"quick": true}) marks the small ones that
--quick runs. NAME runs only the scenarios whose file names contain it.
--random=N instead draws N passages at random over the whole range of the
field (train, speed, installation and a mix of the field effects): passages
nobody tuned the weighing on. Prints one table row per scenario and exits
non-zero when any scenario misses a limit (see compare_truth.limits).
"""
import argparse
import json
import os
import random
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
        scenarios.append((name, path, description.get("harness", {}).get("about", "")))
    return scenarios


def run_scenario(name, path, build_dir, work_dir):
    """Synthesizes and weighs one scenario; returns (report or None, error text, seconds)."""
    prefix = os.path.join(work_dir, name)
    started = time.monotonic()
    synth = subprocess.run([os.path.join(build_dir, "synth"), path, prefix], capture_output=True, text=True)
    if synth.returncode != 0:
        return None, "synth failed: " + synth.stderr.strip(), 0.0
    doc, error = compare_truth.weigh(os.path.join(build_dir, "korvanet"), prefix + ".osc", prefix + ".json.conf",
                                     work_dir, RUN_TIMEOUT_S)
    seconds = time.monotonic() - started
    if doc is None:
        return None, error, seconds
    with open(prefix + ".truth.json") as f:
        truth = json.load(f)
    return compare_truth.compare(truth, doc), "", seconds


def flats_cell(report):
    if report["flats_true"] == 0 and report["false_flats"] == 0:
        return "-"
    cell = "%d/%d" % (report["flats_detected"], report["flats_true"])
    return cell + (" +%d" % report["false_flats"] if report["false_flats"] else "")


def rms_cell(report):
    """The RMS vehicle error; with dynamics, measured/floor."""
    if report["floor"]:
        return "%.2f/%.2f" % (report["rms_vehicle_pct"], report["floor"]["rms_vehicle_pct"])
    return "%.2f" % report["rms_vehicle_pct"]


# --- Random passages ----------------------------------------------------------

def random_vehicles(rng):
    """2 to 20 vehicles: mostly a locomotive or two ahead of loaded and empty
    wagons in groups, with a few flat wheels."""
    count = rng.randint(2, 20)
    locos = min(count - 1, rng.choice([0, 1, 1, 1, 1, 2]))
    vehicles = []
    for _ in range(locos):
        vehicles.append({"bogie_axles": 3, "axle_spacing_m": round(rng.uniform(1.9, 2.2), 2),
                         "bogie_centres_m": round(rng.uniform(9.5, 12.0), 2),
                         "axle_load_kg": round(rng.uniform(20500, 23500)),
                         "load_spread_kg": round(rng.uniform(0, 300))})
    placed = locos
    while placed < count:
        loaded = rng.random() < 0.6
        group = {"axle_spacing_m": round(rng.uniform(1.8, 2.0), 2), "bogie_centres_m": round(rng.uniform(6.5, 10.0), 2),
                 "axle_load_kg": round(rng.uniform(17000, 25000) if loaded else rng.uniform(5500, 7000)),
                 "load_spread_kg": round(rng.uniform(0, 500 if loaded else 200)),
                 "odd_share": round(rng.uniform(0.46, 0.54), 3),
                 "repeat": min(count - placed, rng.randint(1, 5))}
        if rng.random() < 0.2:
            group["flats"] = [{"axle": rng.randint(0, 3), "wheel": rng.randint(0, 1),
                               "severity": round(rng.uniform(0.2, 1.0), 2), "sensor": rng.randint(0, 3)}]
        vehicles.append(group)
        placed += group["repeat"]
    return vehicles


def train_length_m(vehicles):
    length = 0.0
    for v in vehicles:
        axles = v.get("bogie_axles", 2)
        one = v["bogie_centres_m"] + (axles - 1) * v["axle_spacing_m"] + 3.5
        length += one * v.get("repeat", 1)
    return length


def random_field(rng, lines, flat_places):
    """A random mix of the field effects, each at a random strength within
    what a real track shows; at least one is on. No sensor a flat lands on
    (flat_places: (side, sensor)) dies, or the flat could not be seen at all."""
    chosen = []
    while not chosen:
        chosen = [e for e in ("dynamics", "influence", "spikes+hum", "lost", "dead") if rng.random() < 0.5]
    field = {}
    if "dynamics" in chosen:
        field["dynamics"] = {"bounce": round(rng.uniform(0.005, 0.05), 4), "pitch": round(rng.uniform(0.005, 0.05), 4),
                             "roll": round(rng.uniform(0.005, 0.05), 4), "frequency_hz": [0.5, 4.0],
                             "vibration": round(rng.uniform(0, 0.01), 4), "vibration_hz": [15, 40]}
    if "influence" in chosen:
        low = rng.uniform(0.2, 0.35)
        sharp = rng.uniform(0.7, 1.2)
        field["influence"] = {"half_width_m": [round(low, 3), round(rng.uniform(low, 0.45), 3)],
                              "sharpness": [round(sharp, 2), round(rng.uniform(sharp, 1.6), 2)],
                              "asymmetry": round(rng.uniform(0, 0.25), 3), "side_lobe": round(rng.uniform(0, 0.04), 3)}
    if "spikes+hum" in chosen:
        if rng.random() < 0.8:
            field["spikes"] = {"per_s": round(rng.uniform(0.5, 6), 2), "max_counts": round(rng.uniform(2000, 15000))}
        if rng.random() < 0.8 or "spikes" not in field:
            field["hum"] = {"max_counts": round(rng.uniform(5, 30), 1), "hz": 50}
    if "lost" in chosen:
        field["lost"] = {"runs": rng.randint(1, 3), "ms": [5, 30]}
    if "dead" in chosen:
        places = [(line, side, sensor) for line in range(1, lines + 1) for side in ("odd", "even") for sensor in range(4)
                  if (side, sensor) not in flat_places]
        field["dead"] = [{"line": line, "side": side, "sensor": sensor, "kind": rng.choice(["silent", "stuck"])}
                         for line, side, sensor in rng.sample(places, min(len(places), rng.choice([1, 1, 2])))]
    return field


def random_description(rng):
    """One passage drawn over the whole range of the field."""
    vehicles = random_vehicles(rng)
    lines = rng.choice([1, 2])
    kmh = rng.uniform(20, 80)
    # Gentle acceleration or braking that keeps the train within 20..80 km/h
    # over its length and the line.
    travel = train_length_m(vehicles) + 30
    accel = 0.0
    if rng.random() < 0.4:
        v0 = kmh / 3.6
        lowest, highest = (20 / 3.6) ** 2, (80 / 3.6) ** 2
        accel = rng.uniform(max(-0.3, (lowest - v0 * v0) / (2 * travel)), min(0.3, (highest - v0 * v0) / (2 * travel)))
    frequency = rng.randint(10, 40) * 100
    spacing = [round(rng.uniform(0.6, 1.1), 2) for _ in range(3)]
    positions = [0.0]
    for step in spacing:
        positions.append(round(positions[-1] + step, 2))
    installed = []
    start = 0.0
    for line in range(lines):
        devices = {}
        for side, port in (("odd", 7126 + 2 * line), ("even", 7127 + 2 * line)):
            devices[side] = {"port": port, "baseline": [round(rng.uniform(2000, 20000)) for _ in range(4)]}
            if rng.random() < 0.2:
                devices[side]["frequency"] = rng.randint(10, 40) * 100
        installed.append(dict({"id": line + 1, "positions_m": [round(start + p, 2) for p in positions]}, **devices))
        start += rng.uniform(7, 15)
    flat_places = {(("odd", "even")[f["wheel"]], f["sensor"]) for v in vehicles for f in v.get("flats", [])}
    field = random_field(rng, lines, flat_places)
    direction = rng.choice([1, 1, 1, -1])
    start_c = rng.uniform(-15, 35)
    return {
        "harness": {"about": "%d vehicles, %d line%s%s, %.0f km/h %+.2f m/s^2, %d Hz: %s" % (
            sum(v.get("repeat", 1) for v in vehicles), lines, "s" if lines > 1 else "",
            ", reversed" if direction < 0 else "", kmh, accel, frequency, ", ".join(sorted(field)))},
        "seed": rng.randint(1, 2 ** 31),
        "noise_sigma": round(rng.uniform(5, 30), 1),
        "direction": direction,
        "speed": {"initial_kmh": round(kmh, 2), "accel_mps2": round(accel, 4)},
        "temperature": {"start_c": round(start_c, 1), "end_c": round(start_c + rng.uniform(-1, 1), 1)},
        "installation": {"frequency": frequency, "coeff": round(rng.uniform(1.6, 2.6), 3),
                         "tau": round(rng.uniform(-3, 3), 2), "lines": installed},
        "vehicles": vehicles,
        "field": field,
    }


def print_row(name, report, error, seconds):
    """One table row; returns True when the scenario met every limit."""
    if report is None:
        print("%-28s %s" % (name, "FAIL  " + error))
        return False
    missed = compare_truth.failures(report)
    print("%-28s %7s %7s %8.3f %11s %7.3f %7.3f %7.3f %7s %5.1fs  %s" % (
        name, "%d/%d" % (report["vehicles_found"], report["vehicles_true"]),
        "%d/%d" % (report["axles_found"], report["axles_true"]), report["worst_vehicle_pct"], rms_cell(report),
        abs(report["total_pct"]), report["worst_wheel_pct"], report["worst_speed_pct"], flats_cell(report),
        seconds, "ok" if not missed else "FAIL  " + "; ".join(missed)))
    return not missed


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default=os.path.join(os.path.dirname(TOOLS_DIR), "build"))
    parser.add_argument("--quick", action="store_true", help="only the small scenarios marked quick")
    parser.add_argument("--keep", action="store_true", help="keep the synthesized files and print where")
    parser.add_argument("--verbose", action="store_true", help="print the vehicle table of every scenario")
    parser.add_argument("--random", type=int, default=0, metavar="N", help="weigh N passages drawn at random")
    parser.add_argument("--random-seed", type=int, metavar="S", help="seed of the random passages (default: the clock)")
    parser.add_argument("names", nargs="*")
    args = parser.parse_args()
    build_dir = os.path.abspath(args.build_dir)
    for program in ("synth", "korvanet"):
        if not os.access(os.path.join(build_dir, program), os.X_OK):
            sys.stderr.write("accuracy: %s not built in %s\n" % (program, build_dir))
            return 2

    work_dir = tempfile.mkdtemp(prefix="korvanet-accuracy-")
    if args.random > 0:
        seed = args.random_seed if args.random_seed is not None else int(time.time()) % 1000000
        print("random passages of seed %d (--random-seed=%d repeats them)" % (seed, seed))
        rng = random.Random(seed)
        scenarios = []
        for index in range(args.random):
            name = "random_%03d" % (index + 1)
            path = os.path.join(work_dir, name + ".json")
            description = random_description(rng)
            with open(path, "w") as f:
                json.dump(description, f, indent=1)
            scenarios.append((name, path, description["harness"]["about"]))
    else:
        scenarios = load_scenarios(args.names, args.quick)
    if not scenarios:
        sys.stderr.write("accuracy: no scenario selected\n")
        return 2
    header = "%-28s %7s %7s %8s %11s %7s %7s %7s %7s %6s  %s" % (
        "scenario", "vehicle", "axles", "vehicle%", "rms% (/flr)", "total%", "wheel%", "speed%", "flats", "time",
        "verdict")
    print(header)
    print("-" * len(header))
    failed = 0
    try:
        for name, path, about in scenarios:
            report, error, seconds = run_scenario(name, path, build_dir, work_dir)
            failed += 0 if print_row(name, report, error, seconds) else 1
            if args.verbose:
                print("  " + about)
                if report is not None:
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
    print("with dynamics (rms measured/floor): rms <= max(%.1f x floor's, %.2f%%); vehicle, wheel and total within "
          "the floor's worst or the limits above, whichever is wider" % (
              compare_truth.FLOOR_RMS_SHARE, compare_truth.RMS_VEHICLE_PCT))
    print("%d of %d scenarios met every limit" % (len(scenarios) - failed, len(scenarios)))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
