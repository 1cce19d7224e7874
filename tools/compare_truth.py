#!/usr/bin/env python3
"""Sets a weighed train next to the truth the synthesizer wrote for it.

    compare_truth.py PASSAGE.truth.json RESULT

RESULT is the result document: the plain text korvanet prints on standard
output with --debug=1 (a captured stdout works as it is: the document is its
last line that starts with "{"), a file holding the document, or a master
message ("values" holding the escaped document).

When the passage carries vehicle dynamics, the truth also holds the
averaging floor: what plain averaging of each wheel's sensors would weigh.
Such a passage is judged against that floor (see limits()).

As a module, compare() gives the figures the accuracy harness checks.
"""
import glob
import json
import math
import os
import subprocess
import sys

# What a correct weighing must meet on a passage that follows the model.
LIMITS = {
    "vehicle_pct": 0.5,
    "total_pct": 0.25,
    "wheel_pct": 2.0,
    "speed_pct": 1.0,
    "sound_condition_below": 10,  # a sound wheel reads below this
    "flat_share": 0.5,            # a flat reads at least this share of 100 f
}
# With dynamics the static load is not in the signal as such; the weighing
# must beat plain averaging's RMS vehicle error by this factor, and may be as
# far off as plain averaging at its worst, or the limits above if wider.
FLOOR_RMS_SHARE = 0.8
RMS_VEHICLE_PCT = 0.25


def weigh(korvanet, osc, config, work_dir, timeout_s, env=None):
    """Runs korvanet in debug mode on one passage and returns (result
    document, "") or (None, what went wrong). The raw dumps that debug mode
    writes beside the oscillogram are of no use here and are removed."""
    try:
        run = subprocess.run([korvanet, osc, "--config-file=" + config, "--debug=1"], cwd=work_dir, env=env,
                             capture_output=True, text=True, timeout=timeout_s)
    except subprocess.TimeoutExpired:
        return None, "korvanet did not finish in %d s" % timeout_s
    for dump in glob.glob(glob.escape(osc) + "_out*"):
        os.remove(dump)
    if run.returncode != 0:
        return None, "korvanet exit status %d: %s" % (run.returncode, run.stderr.strip()[-300:])
    try:
        return parse_document(run.stdout), ""
    except ValueError:
        return None, "no result document on standard output"


def parse_document(text):
    """The result document from korvanet's output, a file or a master message."""
    text = text.strip()
    candidates = [line for line in text.splitlines() if line.lstrip().startswith("{")]
    for candidate in reversed(candidates or [text]):
        try:
            value = json.loads(candidate)
        except ValueError:
            continue
        if isinstance(value, dict) and "carriages" in value:
            return value
        if isinstance(value, dict) and value.get("values"):
            return json.loads(value["values"][0].replace('\\"', '"'))
    try:
        value = json.loads(text)
        if isinstance(value, dict) and "carriages" in value:
            return value
    except ValueError:
        pass
    raise ValueError("no result document found")


def pct(measured, true):
    if true == 0:
        return 0.0 if measured == 0 else float("inf")
    return 100.0 * (measured - true) / true


def rms(values):
    values = list(values)
    return math.sqrt(sum(v * v for v in values) / len(values)) if values else 0.0


def floor_figures(truth):
    """The errors plain averaging makes on a passage with dynamics; None without."""
    if "floor_total_weight" not in truth:
        return None
    cars = truth["carriages"]
    vehicle = [pct(c["floor_weight"], c["full_weight"]) for c in cars]
    wheels = [abs(pct(w["floor_weight"], w["weight"])) for c in cars for a in c["axis"] for w in a["wheels"]]
    return {"rms_vehicle_pct": rms(vehicle), "worst_vehicle_pct": max(abs(v) for v in vehicle),
            "worst_wheel_pct": max(wheels), "total_weight": truth["floor_total_weight"],
            "total_pct": pct(truth["floor_total_weight"], truth["total_weight"])}


def compare(truth, doc):
    """Figures of one weighing against its truth. Vehicles and axles are
    matched in order; what lies beyond the shorter list is counted, not
    compared."""
    true_cars = truth["carriages"]
    cars = doc.get("carriages", [])
    report = {
        "correct": bool(doc.get("correct")),
        "vehicles_true": len(true_cars),
        "vehicles_found": len(cars),
        "axles_true": sum(len(c["axis"]) for c in true_cars),
        "axles_found": sum(len(c.get("axis", [])) for c in cars),
        "total_true": truth["total_weight"],
        "total_measured": doc.get("total_weight", 0),
        "rows": [],
        "worst_vehicle_pct": 0.0,
        "worst_wheel_pct": 0.0,
        "worst_speed_pct": 0.0,
        "loco_mismatches": 0,
        "axle_count_mismatches": 0,
        # Counted over the whole truth, so that a flat on a vehicle the
        # weighing missed still counts as not found.
        "flats_true": sum(1 for c in true_cars for a in c["axis"] for w in a["wheels"] if w["condition"] > 0),
        "flats_detected": 0,
        "false_flats": 0,
        "worst_sound_condition": 0,
        "flat_readings": [],  # (true condition, measured)
        "floor": floor_figures(truth),
    }
    report["total_pct"] = pct(report["total_measured"], report["total_true"])
    for index, (tc, mc) in enumerate(zip(true_cars, cars)):
        row = {
            "number": index + 1,
            "loco_true": tc["loco"]["flag"],
            "loco_found": bool(mc.get("loco", {}).get("flag")),
            "type_found": mc.get("loco", {}).get("type", ""),
            "axles_true": len(tc["axis"]),
            "axles_found": len(mc.get("axis", [])),
            "true": tc["full_weight"],
            "measured": mc.get("full_weight", 0),
        }
        row["pct"] = pct(row["measured"], row["true"])
        if "floor_weight" in tc:
            row["floor"] = tc["floor_weight"]
            row["floor_pct"] = pct(tc["floor_weight"], row["true"])
        loco_right = row["loco_true"] == row["loco_found"] and row["type_found"] == tc["loco"]["type"]
        row["loco_right"] = loco_right
        report["loco_mismatches"] += 0 if loco_right else 1
        report["axle_count_mismatches"] += 0 if row["axles_true"] == row["axles_found"] else 1
        report["worst_vehicle_pct"] = max(report["worst_vehicle_pct"], abs(row["pct"]))
        speeds = []
        for ta, ma in zip(tc["axis"], mc.get("axis", [])):
            speeds.append((ta["speed"], ma.get("speed", 0.0)))
            report["worst_speed_pct"] = max(report["worst_speed_pct"], abs(pct(ma.get("speed", 0.0), ta["speed"])))
            for tw, mw in zip(ta["wheels"], ma.get("wheels", [])):
                report["worst_wheel_pct"] = max(report["worst_wheel_pct"], abs(pct(mw.get("weight", 0), tw["weight"])))
                condition = mw.get("condition", 0)
                if tw["condition"] > 0:
                    report["flat_readings"].append((tw["condition"], condition))
                    if condition >= LIMITS["flat_share"] * tw["condition"]:
                        report["flats_detected"] += 1
                else:
                    report["worst_sound_condition"] = max(report["worst_sound_condition"], condition)
                    if condition >= LIMITS["sound_condition_below"]:
                        report["false_flats"] += 1
        row["speeds"] = speeds
        report["rows"].append(row)
    # Vehicles the weighing did not find are listed, not compared.
    report["unmatched"] = [{"number": index + 1, "loco_true": tc["loco"]["flag"], "axles_true": len(tc["axis"]),
                            "true": tc["full_weight"], "floor": tc.get("floor_weight")}
                           for index, tc in enumerate(true_cars) if index >= len(cars)]
    report["rms_vehicle_pct"] = rms(row["pct"] for row in report["rows"])
    return report


def limits(report):
    """The limits this weighing is held to: the model's, or on a passage with
    dynamics those against its averaging floor ("rms_pct" None without)."""
    found = dict(LIMITS, rms_pct=None)
    floor = report.get("floor")
    if floor:
        found["rms_pct"] = max(FLOOR_RMS_SHARE * floor["rms_vehicle_pct"], RMS_VEHICLE_PCT)
        found["vehicle_pct"] = max(floor["worst_vehicle_pct"], LIMITS["vehicle_pct"])
        found["wheel_pct"] = max(floor["worst_wheel_pct"], LIMITS["wheel_pct"])
        found["total_pct"] = max(abs(floor["total_pct"]), LIMITS["total_pct"])
    return found


def failures(report):
    """Every limit the weighing missed, as short texts; empty when it passed."""
    found = []
    if not report["correct"]:
        found.append("result not correct")
    if report["vehicles_found"] != report["vehicles_true"]:
        found.append("vehicles %d/%d" % (report["vehicles_found"], report["vehicles_true"]))
    if report["axles_found"] != report["axles_true"] or report["axle_count_mismatches"]:
        found.append("axles %d/%d" % (report["axles_found"], report["axles_true"]))
    if report["loco_mismatches"]:
        found.append("%d loco marks wrong" % report["loco_mismatches"])
    held = limits(report)
    checks = [("worst_vehicle_pct", "vehicle_pct", "vehicle"), ("worst_wheel_pct", "wheel_pct", "wheel"),
              ("worst_speed_pct", "speed_pct", "speed")]
    if held["rms_pct"] is not None:
        checks.insert(0, ("rms_vehicle_pct", "rms_pct", "rms"))
    for key, limit, name in checks:
        if report[key] > held[limit]:
            found.append("%s %.2f%% > %.2f%%" % (name, report[key], held[limit]))
    if abs(report["total_pct"]) > held["total_pct"]:
        found.append("total %.3f%% > %.2f%%" % (abs(report["total_pct"]), held["total_pct"]))
    if report["flats_detected"] < report["flats_true"]:
        found.append("flats %d/%d" % (report["flats_detected"], report["flats_true"]))
    if report["false_flats"]:
        found.append("%d sound wheels read as flat" % report["false_flats"])
    return found


def format_weight(kg):
    return "{:,.0f}".format(kg).replace(",", " ")


def print_report(report, out=sys.stdout):
    w = out.write
    floor = report["floor"]
    floor_head = " %13s %8s" % ("floor kg", "error") if floor else ""
    w("%-4s %-6s %6s %13s %13s %8s%s   %s\n" % ("no", "kind", "axles", "true kg", "measured kg", "error", floor_head,
                                             "speeds km/h true/measured"))
    for row in report["rows"]:
        kind = "loco" if row["loco_true"] else "wagon"
        mark = "" if row["loco_right"] else " (marked %s)" % ("loco" if row["loco_found"] else "wagon")
        axles = "%d" % row["axles_true"] if row["axles_true"] == row["axles_found"] else "%d/%d" % (row["axles_found"], row["axles_true"])
        first, last = row["speeds"][0] if row["speeds"] else (0, 0), row["speeds"][-1] if row["speeds"] else (0, 0)
        floor_cells = " %13s %+7.2f%%" % (format_weight(row["floor"]), row["floor_pct"]) if floor else ""
        w("%-4d %-6s %6s %13s %13s %+7.2f%%%s   %.1f/%.1f .. %.1f/%.1f%s\n" % (
            row["number"], kind, axles, format_weight(row["true"]), format_weight(row["measured"]), row["pct"],
            floor_cells, first[0], first[1], last[0], last[1], mark))
    for row in report["unmatched"]:
        floor_cells = " %13s %+7.2f%%" % (format_weight(row["floor"]), pct(row["floor"], row["true"])) if floor else ""
        w("%-4d %-6s %6d %13s %13s %8s%s   not found\n" % (
            row["number"], "loco" if row["loco_true"] else "wagon", row["axles_true"], format_weight(row["true"]), "-", "",
            floor_cells))
    w("-" * (78 + len(floor_head)) + "\n")
    total_floor = " %13s %+7.3f%%" % (format_weight(floor["total_weight"]), floor["total_pct"]) if floor else ""
    w("%-4s %-6s %6s %13s %13s %+7.3f%%%s\n" % ("", "total", "%d" % report["axles_found"], format_weight(report["total_true"]),
                                                format_weight(report["total_measured"]), report["total_pct"], total_floor))
    w("\nvehicles found %d of %d, axles %d of %d, result %s\n" % (
        report["vehicles_found"], report["vehicles_true"], report["axles_found"], report["axles_true"],
        "correct" if report["correct"] else "NOT correct"))
    w("rms vehicle %.2f%%, worst vehicle %.2f%%, worst wheel %.2f%%, worst speed %.2f%%\n" % (
        report["rms_vehicle_pct"], report["worst_vehicle_pct"], report["worst_wheel_pct"], report["worst_speed_pct"]))
    if floor:
        w("averaging floor: rms vehicle %.2f%%, worst vehicle %.2f%%, worst wheel %.2f%%, total %+.3f%%\n" % (
            floor["rms_vehicle_pct"], floor["worst_vehicle_pct"], floor["worst_wheel_pct"], floor["total_pct"]))
    if report["flats_true"] or report["false_flats"]:
        readings = ", ".join("%.0f->%d" % r for r in report["flat_readings"])
        w("wheel flats: %d of %d found (true->measured condition: %s); sound wheels read as flat: %d\n" % (
            report["flats_detected"], report["flats_true"], readings, report["false_flats"]))
    missed = failures(report)
    w("limits: %s\n" % ("all met" if not missed else "; ".join(missed)))


def main(argv):
    if len(argv) != 3:
        sys.stderr.write(__doc__)
        return 2
    with open(argv[1]) as f:
        truth = json.load(f)
    with open(argv[2]) as f:
        doc = parse_document(f.read())
    report = compare(truth, doc)
    print_report(report)
    return 0 if not failures(report) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
