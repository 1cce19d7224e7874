"""Reads what plot_passage draws: the oscillogram's samples per device, in the
times the program feeds them to the library, the installation's
configuration, and the library's trace.

Every reader raises Unreadable with a message fit for the operator.
"""
import json
import math

import numpy as np

from config_coeffs import DEVICE_PORT_BASE

TABLE_BYTES = 1024 * 21                # the carriage table before the records
PAYLOAD_BYTES = 12

# One data record, little-endian and unpadded, as the loader reads it.
RECORD = np.dtype([("device", "u1"), ("payload_length", "<u2"), ("counter", "<u4"), ("unused0", "u1"),
                   ("thermistor", "<u2"), ("channels", "<u2", (4,)), ("unused1", "u1")])
assert RECORD.itemsize == 19


class Unreadable(Exception):
    """An input the tool cannot draw from; the text says which and why."""


def read_records(path):
    """The oscillogram's data records as a structured array. Like the program,
    stops at the first record whose payload length is not 12."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as e:
        raise Unreadable("%s cannot be read: %s" % (path, e.strerror or e))
    if len(data) < TABLE_BYTES:
        raise Unreadable("%s is not an oscillogram: %d bytes, shorter than the carriage table (%d)"
                         % (path, len(data), TABLE_BYTES))
    count = (len(data) - TABLE_BYTES) // RECORD.itemsize
    records = np.frombuffer(data, dtype=RECORD, count=count, offset=TABLE_BYTES)
    wrong = np.flatnonzero(records["payload_length"] != PAYLOAD_BYTES)
    if len(wrong):
        records = records[:wrong[0]]
    if len(records) == 0:
        raise Unreadable("%s holds no data records" % path)
    return records


def sample_times_s(counters, frequency_hz):
    """The sample times the program hands the library, in seconds: the
    counter's time in whole microseconds after the device's origin, its first
    time that is not zero (truncated), exactly as the sample feeding does."""
    t_us = counters.astype(np.float64) * 1e6 / frequency_hz
    set_at = np.flatnonzero(np.trunc(t_us) != 0)
    if len(set_at) == 0:
        return np.zeros(len(t_us))
    origin = np.zeros(len(t_us))
    origin[set_at[0]:] = np.trunc(t_us[set_at[0]])
    return np.trunc(t_us - origin) / 1e6


def thermistor_celsius(reading):
    """The device temperature for a 10-bit thermistor reading (NTC, beta 3950,
    10 kOhm at 25 degC, through a divider), as the sample feeding converts it."""
    if reading <= 0 or reading >= 1023:
        return math.nan
    resistance = 10000.0 / (1023.0 / reading - 1.0)
    return 1.0 / (math.log(resistance / 10000.0) / 3950.0 + 1.0 / 298.15) - 273.15


def device_samples(records, device_id, frequency_hz):
    """(times_s, channels as float counts (n x 4), median temperature in C)
    of one device, or None when the file has no record of it."""
    # The program keeps the frequency in 16 bits, and drops the records of a
    # device whose frequency is 0 there.
    frequency_hz = int(frequency_hz) & 0xFFFF if isinstance(frequency_hz, int) else 0
    mine = records[records["device"] == device_id]
    if len(mine) == 0 or frequency_hz == 0:
        return None
    # Over one passage the temperature barely moves: its median stands for it.
    celsius = thermistor_celsius(float(np.median(mine["thermistor"])))
    return sample_times_s(mine["counter"], frequency_hz), mine["channels"].astype(np.float64), celsius


def read_json(path, what):
    try:
        with open(path) as f:
            return json.load(f)
    except OSError as e:
        raise Unreadable("%s cannot be read: %s" % (path, e.strerror or e))
    except ValueError as e:
        raise Unreadable("%s is not a JSON %s: %s" % (path, what, e))


def read_devices(config_path):
    """The configured devices in the order of the configuration's lines, odd
    side first: dicts with line, side, id, port, frequency and sensors
    (channel, coeff, position_m, enabled)."""
    config = read_json(config_path, "configuration")
    devices = []
    lines = config.get("lines") if isinstance(config, dict) else None
    for line in lines if isinstance(lines, list) else []:
        sides = line.get("devices") if isinstance(line, dict) else None
        if not isinstance(sides, dict):
            continue
        for side in ("odd", "even"):
            device = sides.get(side)
            if not isinstance(device, dict) or not isinstance(device.get("port"), int):
                continue
            sensors = [{"channel": s.get("channel", k), "coeff": s.get("coeff"), "position_m": s.get("vel_coeff"),
                        "enabled": s.get("enabled", True)}
                       for k, s in enumerate(device.get("sensors") or []) if isinstance(s, dict)]
            devices.append({"line": line.get("id"), "side": side, "port": device["port"],
                            "id": device["port"] - DEVICE_PORT_BASE, "frequency": device.get("frequency"),
                            "sensors": sensors})
    if not devices:
        raise Unreadable("%s lists no measuring line with a device" % config_path)
    return devices


def read_trace(path):
    """The trace's objects, one per computed measuring line, by line id."""
    try:
        with open(path) as f:
            text = f.read()
    except OSError as e:
        raise Unreadable("%s cannot be read: %s" % (path, e.strerror or e))
    lines = {}
    for number, row in enumerate(text.splitlines(), 1):
        if not row.strip():
            continue
        try:
            entry = json.loads(row)
        except ValueError as e:
            raise Unreadable("%s line %d is not JSON: %s" % (path, number, e))
        if isinstance(entry, dict) and "line" in entry:
            lines[entry["line"]] = entry
    if not lines:
        raise Unreadable("%s holds no measuring line: was the program run with TARVIK_TRACE set to it?" % path)
    return lines
