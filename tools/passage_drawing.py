"""Draws a passage as plot_passage shows it: one panel per device, every
sensor's signal above its baseline, the wheels the library read on it, what
it left out and why, and the vehicles along the time axis.

The trace is read defensively: a rail the library could not solve lacks most
fields, numbers it could not tell are null, and fields it adds later are
ignored.
"""
import io
import math
import re

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from matplotlib.lines import Line2D  # noqa: E402
from matplotlib.patches import Patch  # noqa: E402

from config_coeffs import SENSORS_PER_DEVICE  # noqa: E402

FIGURE_WIDTH_IN = 16
PANEL_HEIGHT_IN = 2.7
DPI = 100
PLOT_LEFT, PLOT_RIGHT = 0.045, 0.835      # the rest on the right holds each panel's sensor legend
SENSOR_COLOURS = ["tab:blue", "tab:green", "tab:purple", "tab:brown"]
LEFT_OUT_COLOUR = "0.6"
FLAT_COLOUR = "red"
LOST_COLOUR = "#9db4cf"
SPIKE_COLOUR = "tab:orange"
FLAT_WHY = "a wheel flat raises it"
# A stretch this long with this many spikes taken out (all sensors of the
# device together) is shaded as spiky; single spikes only get a tick.
SPIKY_STRETCH_S = 0.05
SPIKY_COUNT = 3
# Labels are drawn only where they do not run into each other.
WHEEL_LABEL_PX = 42
VEHICLE_WEIGHT_PX = 45
VEHICLE_BARE_WEIGHT_PX = 26
VEHICLE_NUMBER_PX = 16
NOTES_CHARS = 200
LEGEND_CHARS = 29


def number(value, default=math.nan):
    """A trace number; null or a missing field is `default`."""
    return float(value) if isinstance(value, (int, float)) and not isinstance(value, bool) else default


def tonnes(kg, decimals=1):
    return "%.*f t" % (decimals, kg / 1000.0) if math.isfinite(kg) else "? t"


def period_s(rail, device):
    period = number((rail or {}).get("sample_period_s"))
    if math.isfinite(period) and period > 0:
        return period
    return 1.0 / device["frequency"] if device.get("frequency") else 0.001


def wrap(text, width):
    """Words into lines of at most `width` characters."""
    lines, current = [], ""
    for word in text.split():
        if current and len(current) + 1 + len(word) > width:
            lines.append(current)
            current = word
        else:
            current = (current + " " + word).strip()
    return lines + [current] if current else lines


# --- Vehicles -----------------------------------------------------------------

def vehicle_spans(line_trace):
    """Per vehicle of a line: number, locomotive, (start_s, end_s) around its
    axles on that line, weight in kg. Neighbours meet halfway between the last
    axle of one and the first of the next; the ends reach half the shortest
    vehicle gap (3.2 m) out."""
    found = []
    for vehicle in line_trace.get("vehicles") or []:
        axles = [a for a in vehicle.get("axles") or [] if math.isfinite(number(a.get("time_s")))]
        if not axles:
            continue
        speeds = [number(a.get("speed_kmh")) / 3.6 for a in axles]
        speeds = [s for s in speeds if math.isfinite(s) and s > 0]
        weight = sum(number(w.get("weight_kg"), 0.0) for a in axles for w in a.get("wheels") or [])
        numbered = isinstance(vehicle.get("number"), int)
        found.append({"number": vehicle["number"] if numbered else len(found) + 1, "loco": bool(vehicle.get("locomotive")),
                      "first": number(axles[0]["time_s"]), "last": number(axles[-1]["time_s"]),
                      "pad": 1.6 / (speeds[0] if speeds else 10.0), "weight_kg": weight})
    found.sort(key=lambda v: v["first"])
    for k, v in enumerate(found):
        v["start"] = (found[k - 1]["last"] + v["first"]) / 2 if k else v["first"] - v["pad"]
        v["end"] = (v["last"] + found[k + 1]["first"]) / 2 if k + 1 < len(found) else v["last"] + v["pad"]
    return found


def train_length(spans_by_line):
    return max((len(spans) for spans in spans_by_line.values()), default=0)


def zoom_range(spans_by_line, first, last):
    """The time range that shows vehicles first..last on every line, with a
    little margin; None when no line has them."""
    starts, ends = [], []
    for spans in spans_by_line.values():
        chosen = [v for v in spans if first <= v["number"] <= last]
        if chosen:
            starts.append(chosen[0]["start"])
            ends.append(chosen[-1]["end"])
    if not starts:
        return None
    margin = 0.04 * (max(ends) - min(starts))
    return min(starts) - margin, max(ends) + margin


# --- Signal -------------------------------------------------------------------

def min_max_columns(times, values, x0, x1, columns, period_s):
    """The signal within [x0, x1] for drawing: per pixel column its minimum and
    maximum, so that every peak and spike survives the thinning; raw samples
    when there are few. NaN breaks the line where records are missing."""
    lo, hi = np.searchsorted(times, [x0, x1])
    lo, hi = max(lo - 1, 0), min(hi + 1, len(times))
    t, y = times[lo:hi], values[lo:hi]
    if len(t) < 2:
        return t, y
    if len(t) <= 2 * columns:
        gaps = np.flatnonzero(np.diff(t) > 1.5 * period_s) + 1
        return np.insert(t, gaps, np.nan), np.insert(y, gaps, np.nan)
    column = np.clip(((t - x0) * (columns / (x1 - x0))).astype(np.int64), -1, columns)
    starts = np.flatnonzero(np.r_[True, np.diff(column) != 0])
    low, high = np.minimum.reduceat(y, starts), np.maximum.reduceat(y, starts)
    x = x0 + (column[starts] + 0.5) * ((x1 - x0) / columns)
    xs, ys = np.repeat(x, 2), np.column_stack([low, high]).ravel()
    skipped = np.flatnonzero(np.diff(column[starts]) > 1) + 1
    return np.insert(xs, 2 * skipped, np.nan), np.insert(ys, 2 * skipped, np.nan)


def baseline_counts(sensor_trace, channel_values, celsius):
    """The channel's rest level: the library's offset and drift at the
    passage's temperature, or the median when the library gave none (most
    samples lie between wheels)."""
    baseline = (sensor_trace or {}).get("baseline") or {}
    offset = number(baseline.get("offset_counts"))
    drift = number(baseline.get("drift_counts_per_c"), 0.0)
    if not math.isfinite(offset):
        return float(np.median(channel_values))
    return offset + (drift * (celsius - 20.0) if math.isfinite(celsius) else 0.0)


# --- One panel ----------------------------------------------------------------

def sensor_traces_by_channel(rail):
    return {s.get("channel"): s for s in (rail or {}).get("sensors") or [] if isinstance(s, dict)}


def left_out_reason(sensor_config, sensor_trace):
    if not sensor_config.get("enabled", True):
        return "disabled in the configuration"
    if sensor_trace is not None and sensor_trace.get("used") is False:
        return sensor_trace.get("left_out") or "left out"
    return ""


def wheel_results(line_trace, side_index):
    """Per wheel of the rail (its rail_wheel number): weight_kg, condition."""
    results = {}
    for vehicle in line_trace.get("vehicles") or []:
        for axle in vehicle.get("axles") or []:
            wheels = axle.get("wheels") or []
            if side_index < len(wheels) and isinstance(wheels[side_index].get("rail_wheel"), int):
                wheel = wheels[side_index]
                results[wheel["rail_wheel"]] = (number(wheel.get("weight_kg")), number(wheel.get("condition"), 0.0))
    return results


def panel_notes(line_trace, rail, device_id, first_panel_of_line):
    """The trace's notes and problems that concern this device: the line's
    problem and general notes on its first panel, notes naming the device or
    one of its sensors on its own."""
    own_sensors = {s.get("id") for s in (rail or {}).get("sensors") or []}
    notes = []
    if first_panel_of_line and line_trace.get("correct") is False:
        notes.append("line not correct: " + (line_trace.get("problem") or "no reason given"))
    if (rail or {}).get("problem"):
        notes.append("rail: " + rail["problem"])
    for note in line_trace.get("notes") or []:
        named = re.findall(r"\b(device|sensor) (\d+)\b", str(note))
        mine = any((kind == "device" and int(n) == device_id) or (kind == "sensor" and int(n) in own_sensors)
                   for kind, n in named)
        if mine or (not named and first_panel_of_line):
            notes.append(str(note))
    return notes


def panel_title(device, rail, celsius):
    parts = ["Line %s, %s rail: device %d (port %d), %s Hz" % (device["line"], device["side"], device["id"],
                                                             device["port"], device["frequency"])]
    if math.isfinite(celsius):
        parts.append("%.1f \u00b0C" % celsius)
    speed, accel = number((rail or {}).get("speed_mps")), number((rail or {}).get("accel_mps2"))
    if math.isfinite(speed):
        parts.append("%.2f m/s (%.1f km/h)" % (speed, speed * 3.6) + (", %+.3f m/s\u00b2" % accel
                                                                      if math.isfinite(accel) else ""))
    if rail is None:
        parts.append("not in the trace")
    return ", ".join(parts)


def merged(intervals):
    """Overlapping (start, end) intervals joined, in order."""
    joined = []
    for start, end in sorted(intervals):
        if joined and start <= joined[-1][1]:
            joined[-1][1] = max(joined[-1][1], end)
        else:
            joined.append([start, end])
    return joined


def shade(ax, intervals, **style):
    """Full-height bands, one artist for all of them."""
    bars = [(start, end - start) for start, end in merged(intervals)]
    if bars:
        ax.broken_barh(bars, (0, 1), transform=ax.get_xaxis_transform(), lw=0, zorder=0, **style)


def shade_lost_and_spikes(ax, rail, x0, x1):
    lost = []
    for stretch in (rail or {}).get("lost_s") or []:
        if isinstance(stretch, list) and len(stretch) == 2 and None not in stretch:
            # At least a few pixels wide, or a 10 ms loss vanishes in a whole train.
            middle, half = (stretch[0] + stretch[1]) / 2, max((stretch[1] - stretch[0]) / 2, 0.002 * (x1 - x0))
            lost.append((middle - half, middle + half))
    shade(ax, lost, fc=LOST_COLOUR, alpha=0.6, hatch="///")
    spikes = np.sort([number(t) for s in (rail or {}).get("sensors") or [] for t in s.get("spikes_s") or []])
    spikes = spikes[np.isfinite(spikes) & (spikes >= x0) & (spikes <= x1)]
    if len(spikes) == 0:
        return
    ax.plot(spikes, np.zeros(len(spikes)), "|", color=SPIKE_COLOUR, ms=5, mew=0.8,
            transform=ax.get_xaxis_transform(), zorder=1)
    # Spiky stretches: from each spike that has SPIKY_COUNT - 1 more within
    # the stretch, to the last of them.
    ends = np.searchsorted(spikes, spikes + SPIKY_STRETCH_S, side="right")
    dense = np.flatnonzero(ends - np.arange(len(spikes)) >= SPIKY_COUNT)
    shade(ax, zip(spikes[dense], spikes[ends[dense] - 1]), fc=SPIKE_COLOUR, alpha=0.15)


def draw_vehicles(ax, spans, x0, x1, px_per_s):
    """Boundaries, and each vehicle's number (dark for a locomotive) with its
    weight below it: in tonnes with the unit where there is room, bare in a
    long train, left out in a very long one."""
    shown = [v for v in spans if v["end"] > x0 and v["start"] < x1]
    narrowest = min((v["end"] - v["start"] for v in shown), default=1.0) * px_per_s
    every = max(1, math.ceil(VEHICLE_NUMBER_PX / max(narrowest, 1e-9)))
    on_axis = ax.get_xaxis_transform()
    for k, v in enumerate(shown):
        if k:
            ax.axvline(v["start"], color="0.25", ls=(0, (4, 3)), lw=0.8, zorder=1)
        if v["number"] % every and v is not shown[0]:
            continue
        # A vehicle cut by the view is labelled inside it, against the edge.
        at, align = ((x0 + 0.003 * (x1 - x0), "left") if v["start"] < x0 else
                     (x1 - 0.003 * (x1 - x0), "right") if v["end"] > x1 else ((v["start"] + v["end"]) / 2, "center"))
        text = str(v["number"]) + (" loco" if v["loco"] and narrowest >= 2 * VEHICLE_NUMBER_PX else "")
        ax.text(at, 0.955, text, transform=on_axis, ha=align, va="center", fontsize=8, fontweight="bold",
                color="white" if v["loco"] else "black", zorder=6, clip_on=True,
                bbox=dict(boxstyle="round,pad=0.2", fc="0.15" if v["loco"] else "white", ec="0.3", lw=0.6))
        if narrowest >= VEHICLE_BARE_WEIGHT_PX:
            weight = tonnes(v["weight_kg"]) if narrowest >= VEHICLE_WEIGHT_PX else "%.1f" % (v["weight_kg"] / 1000)
            ax.text(at, 0.875, weight, transform=on_axis, ha=align, va="center", fontsize=7.5, zorder=6,
                    clip_on=True, bbox=dict(boxstyle="round,pad=0.1", fc="white", ec="none", alpha=0.8))


def draw_readings(ax, rail, side_index, line_trace, colours, x0, x1, px_per_s, top):
    """Marks every reading at its time and height, labels each wheel with its
    weight where there is room, and each flat. Returns the letters that mark
    the readings left out, by reason."""
    readings = []  # (time, amplitude, colour, used, why, wheel)
    for sensor in (rail or {}).get("sensors") or []:
        colour = colours.get(sensor.get("channel"), LEFT_OUT_COLOUR)
        for w in sensor.get("wheels") or []:
            t, a = number(w.get("time_s")), number(w.get("amplitude_counts"))
            if math.isfinite(t) and math.isfinite(a):
                readings.append((t, min(a, top), colour, w.get("used", True) is not False, w.get("why") or "",
                                 w.get("wheel")))
    flats = [r for r in readings if r[4] == FLAT_WHY]
    if flats:
        ax.scatter([r[0] for r in flats], [r[1] for r in flats], marker="X", s=80, c=FLAT_COLOUR,
                   edgecolors="white", linewidths=0.6, zorder=5)
    for used in (True, False):
        marks = [r for r in readings if r[3] == used and r[4] != FLAT_WHY]
        if marks:
            colours_of = [r[2] for r in marks]
            ax.scatter([r[0] for r in marks], [r[1] for r in marks], s=20, zorder=5,
                       c=colours_of if used else "white", edgecolors=colours_of if used else "0.2",
                       linewidths=0.8 if used else 1.2)
    # A left-out reading carries the letter of its reason, which the
    # panel's legend spells out: whole reasons would not fit over the pulses.
    reasons = sorted({r[4] or "left out" for r in readings if not r[3] and r[4] != FLAT_WHY})
    letters = {why: "abcdefghijklmnopqrstuvwxyz"[k % 26] for k, why in enumerate(reasons)}
    for t, a, _, used, why, _ in readings:
        if not used and why != FLAT_WHY and x0 <= t <= x1:
            ax.annotate(letters[why or "left out"], (t, a), xytext=(0, 4), textcoords="offset points",
                        ha="center", va="bottom", fontsize=7, color="0.25", zorder=6)
    # Each wheel once, at the middle of its readings, above the highest.
    by_wheel = {}
    for t, a, *_, wheel in readings:
        by_wheel.setdefault(wheel, []).append((t, a))
    results = wheel_results(line_trace, side_index)
    centres = sorted((float(np.mean([t for t, _ in marks])), max(a for _, a in marks), wheel)
                     for wheel, marks in by_wheel.items())
    centres = [c for c in centres if x0 <= c[0] <= x1]
    label_wheels = len(centres) < 2 or np.min(np.diff([c[0] for c in centres])) * px_per_s >= WHEEL_LABEL_PX
    for t, height, wheel in centres:
        weight, condition = results.get(wheel, (math.nan, 0.0))
        y = height + 0.04 * top
        if label_wheels:
            ax.text(t, y, tonnes(weight, 2), ha="center", va="bottom", fontsize=7.5, fontweight="bold", zorder=6,
                    bbox=dict(boxstyle="round,pad=0.15", fc="white", ec="none", alpha=0.8), clip_on=True)
        if condition > 0:
            ax.text(t, y + (0.09 * top if label_wheels else 0), "flat %.0f %%" % condition, ha="center",
                    va="bottom", fontsize=8, fontweight="bold", color=FLAT_COLOUR, zorder=7, clip_on=True)
    return letters


def tonnes_axis(ax, device, traces):
    """A scale in tonnes of wheel load on the right, when every working
    sensor of the device has the same coefficient (kg per count)."""
    coeffs = {number(s.get("coeff")) for s in device["sensors"] if s.get("enabled", True)}
    coeffs |= {number(t.get("coeff")) for t in traces.values() if t.get("used") is not False}
    if len(coeffs) != 1:
        return
    coeff = coeffs.pop()
    if math.isfinite(coeff) and coeff > 0:
        right = ax.secondary_yaxis("right", functions=(lambda y: y * coeff / 1000, lambda t: t * 1000 / coeff))
        right.tick_params(labelsize=8)
        right.set_ylabel("wheel load, t", fontsize=8)


def draw_panel(ax, panel, x0, x1, columns, spans, first_of_line):
    device, rail, line_trace = panel["device"], panel["rail"], panel["line_trace"] or {}
    samples = panel["samples"]
    traces = sensor_traces_by_channel(rail)
    colours, handles = {}, []
    celsius = samples[2] if samples else math.nan
    # The height of the largest reading of a working sensor sets the scale:
    # spikes and dead channels would flatten every pulse.
    heights = [number(w.get("amplitude_counts")) for s in traces.values() if s.get("used") is not False
               for w in s.get("wheels") or [] if x0 <= number(w.get("time_s")) <= x1]
    heights = [h for h in heights if math.isfinite(h)]
    curves = []
    for k, sensor in enumerate(device["sensors"]):
        channel, trace = sensor["channel"], traces.get(sensor["channel"])
        reason = left_out_reason(sensor, trace)
        colour = LEFT_OUT_COLOUR if reason else SENSOR_COLOURS[k % len(SENSOR_COLOURS)]
        colours[channel] = colour
        # Without the trace, the id the program gives: device id x 4 + sensor index.
        sensor_id = (trace or {}).get("id", SENSORS_PER_DEVICE * device["id"] + k)
        label = "s%s ch%s at %.2f m" % (sensor_id, channel, number(sensor["position_m"]))
        if reason:
            label += "\n" + "\n".join(wrap("left out: " + reason, LEGEND_CHARS))
        handles.append(Line2D([], [], color=colour, lw=1.5, ls="--" if reason else "-", label=label))
        if samples is None or not 0 <= channel < 4:
            continue
        times, values = samples[0], samples[1][:, channel]
        above = values - baseline_counts(trace, values, celsius)
        x, y = min_max_columns(times, above, x0, x1, columns, period_s(rail, device))
        curves.append((x, y, colour, reason))
        if not heights and not reason and len(y):
            heights.append(float(np.nanpercentile(y, 99.9)))
    top = 1.45 * max(heights + [50.0])
    bottom = -0.14 * top
    for x, y, colour, reason in curves:
        ax.plot(x, np.clip(y, bottom, top), color=colour, lw=1.0 if reason else 0.7,
                ls=(0, (3, 2)) if reason else "-", zorder=3 if reason else 2)
    ax.set_ylim(bottom, top)
    ax.set_xlim(x0, x1)
    ax.axhline(0, color="0.5", lw=0.5, zorder=1)
    shade_lost_and_spikes(ax, rail, x0, x1)
    draw_vehicles(ax, spans, x0, x1, columns / (x1 - x0))
    side_index = 0 if device["side"] == "odd" else 1
    letters = draw_readings(ax, rail, side_index, line_trace, colours, x0, x1, columns / (x1 - x0), top)
    for why, letter in letters.items():
        handles.append(Line2D([], [], ls="", marker="o", ms=5, mfc="white", mec="0.2",
                              label="%s: %s" % (letter, "\n".join(wrap(why, LEGEND_CHARS)))))
    tonnes_axis(ax, device, traces)
    # The trace's notes go on their own lines between the title and the panel.
    notes = wrap("; ".join(panel_notes(line_trace, rail, device["id"], first_of_line)), NOTES_CHARS)
    if len(notes) > 2:
        notes = notes[:2]
        notes[1] += " ..."
    if notes:
        ax.text(0, 1.012, "\n".join(notes), transform=ax.transAxes, ha="left", va="bottom", fontsize=7.5,
                color="darkred", linespacing=1.1)
    ax.set_title(panel_title(device, rail, celsius), loc="left", fontsize=9, pad=4 + 9 * len(notes))
    ax.set_ylabel("counts above\nbaseline", fontsize=8)
    ax.tick_params(labelsize=8)
    ax.legend(handles=handles, loc="upper left", bbox_to_anchor=(1.045, 1.0), fontsize=7.5, frameon=False,
              handlelength=2.2, borderaxespad=0)


# --- The figure -----------------------------------------------------------------

def common_legend(fig):
    handles = [
        Line2D([], [], ls="", marker="o", ms=5, mfc="0.3", mec="0.3", label="wheel reading used"),
        Line2D([], [], ls="", marker="o", ms=5, mfc="white", mec="0.2", label="reading left out of the weight"),
        Line2D([], [], ls="", marker="X", ms=8, color=FLAT_COLOUR, label="reading raised by a wheel flat"),
        Line2D([], [], color=LEFT_OUT_COLOUR, ls=(0, (3, 2)), label="sensor left out"),
        Patch(fc=LOST_COLOUR, hatch="///", alpha=0.6, label="records lost"),
        Line2D([], [], ls="", marker="|", ms=8, color=SPIKE_COLOUR, label="spike taken out"),
        Patch(fc=SPIKE_COLOUR, alpha=0.15, label="spiky stretch"),
        Line2D([], [], color="0.25", ls=(0, (4, 3)), label="vehicle boundary"),
        Patch(fc="0.15", ec="0.3", label="locomotive"),
    ]
    fig.legend(handles=handles, loc="upper right", ncol=5, fontsize=8, frameon=False,
               bbox_to_anchor=(PLOT_RIGHT, 1.0), borderaxespad=0.3)


def draw_figure(panels, spans_by_line, x_range, out_path, heading):
    """panels: dicts with device, samples, rail, line_trace, in drawing order."""
    matplotlib.rcParams["svg.fonttype"] = "none"  # SVG text stays text: searchable and small
    top_in, bottom_in = 0.85, 0.5   # heading and legend; time axis
    height = top_in + bottom_in + PANEL_HEIGHT_IN * len(panels)
    fig, axes = plt.subplots(len(panels), 1, sharex=True, figsize=(FIGURE_WIDTH_IN, height), squeeze=False)
    fig.subplots_adjust(left=PLOT_LEFT, right=PLOT_RIGHT, top=1 - top_in / height, bottom=bottom_in / height,
                        hspace=0.32)
    columns = int(FIGURE_WIDTH_IN * DPI * (PLOT_RIGHT - PLOT_LEFT))
    x0, x1 = x_range
    seen_lines = set()
    for ax, panel in zip(axes[:, 0], panels):
        line = panel["device"]["line"]
        draw_panel(ax, panel, x0, x1, columns, spans_by_line.get(line, []), line not in seen_lines)
        seen_lines.add(line)
    axes[-1, 0].set_xlabel("time, s (each device's clock; vehicles at each line's centre)", fontsize=9)
    common_legend(fig)
    fig.text(PLOT_LEFT, 1 - 0.06 / height, heading, fontsize=10, fontweight="bold", va="top")
    if out_path.lower().endswith(".png"):
        save_small_png(fig, out_path)
    else:
        fig.savefig(out_path, dpi=DPI)
    plt.close(fig)


def save_small_png(fig, out_path):
    """A picture of lines and text needs no more than 256 colours: a palette
    PNG is a third of the size and looks the same (no dithering, which would
    only speckle the flat areas)."""
    from PIL import Image
    buffer = io.BytesIO()
    fig.savefig(buffer, format="png", dpi=DPI)
    picture = Image.open(buffer).convert("RGB")
    # Pillow before 9.1 keeps these constants on Image itself.
    method, dither = getattr(Image, "Quantize", Image).MEDIANCUT, getattr(Image, "Dither", Image).NONE
    picture.quantize(colors=256, method=method, dither=dither).save(out_path, optimize=True)
