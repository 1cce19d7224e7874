"""The sensors of an installation's configuration and their coefficients,
read from its text and rewritten in it.

Only the characters of each rewritten `coeff` number change: the keys, their
order, the layout and every other value stay byte for byte as the people who
keep the installation wrote them. Where an object repeats a key, the first one
counts, as the program's configuration loader reads it.
"""
import json
import re
import struct

TOKEN = re.compile(r'\s*(?:("(?:[^"\\]|\\.)*")|(-?\d+(?:\.\d+)?(?:[eE][-+]?\d+)?|true|false|null)|([][{}:,]))')
SIDES = ("odd", "even")
DEVICE_PORT_BASE = 7126  # a device's id is its port minus this
SENSORS_PER_DEVICE = 4   # the result document's sensor id is device id x 4 + index


def first_key_wins(pairs):
    value = {}
    for key, item in pairs:
        value.setdefault(key, item)
    return value


def value_spans(text):
    """{path: (start, end)} of every scalar of valid JSON text; a path is the
    tuple of keys and indices that leads to the value."""
    spans = {}
    stack = []  # per open container: [key or index, is an object, a key comes next]
    pos = 0
    while True:
        match = TOKEN.match(text, pos)
        if match is None:
            return spans
        pos = match.end()
        string, literal, punct = match.groups()
        if punct is None:
            if stack and stack[-1][2]:
                stack[-1][0], stack[-1][2] = json.loads(string), False
                continue
            spans.setdefault(tuple(entry[0] for entry in stack), (match.start(1 if string else 2), pos))
        elif punct in "[{":
            stack.append([None if punct == "{" else 0, punct == "{", punct == "{"])
        elif punct in "]}":
            stack.pop()
        elif punct == ",":
            if stack[-1][1]:
                stack[-1][2] = True
            else:
                stack[-1][0] += 1


def sensors(text):
    """Every configured sensor in configuration order, as dicts: line (id),
    side, index, id (as in the result document), coeff, enabled, path (of its
    coeff in the text)."""
    config = json.loads(text, object_pairs_hook=first_key_wins)
    found = []
    for line_index, line in enumerate(config.get("lines", [])):
        for side in SIDES:
            device = line.get("devices", {}).get(side)
            if not isinstance(device, dict) or not isinstance(device.get("port"), int):
                continue
            for index, sensor in enumerate(device.get("sensors", [])):
                if not isinstance(sensor, dict) or not isinstance(sensor.get("coeff"), (int, float)):
                    raise ValueError("lines[%d].devices.%s.sensors[%d] has no coeff number" % (line_index, side, index))
                found.append({
                    "line": line.get("id"), "side": side, "index": index,
                    "id": (device["port"] - DEVICE_PORT_BASE) * SENSORS_PER_DEVICE + index,
                    "coeff": float(sensor["coeff"]), "enabled": sensor.get("enabled") is True,
                    "path": ("lines", line_index, "devices", side, "sensors", index, "coeff")})
    return found


def float32(value):
    return struct.unpack("f", struct.pack("f", value))[0]


def coeff_text(value):
    """The shortest decimal that the program, which keeps coefficients as
    32-bit floats, reads as the same coefficient."""
    target = float32(value)
    for digits in range(1, 10):
        text = "%.*g" % (digits, target)
        if float32(float(text)) == target:
            break
    return text if any(c in text for c in ".eE") else text + ".0"


def with_coeffs(text, new_coeffs):
    """The configuration text with new_coeffs ({coeff path: value}) written in."""
    spans = value_spans(text)
    edits = sorted((spans[path], coeff_text(value)) for path, value in new_coeffs.items())
    pieces, last = [], 0
    for (start, end), number in edits:
        pieces += [text[last:start], number]
        last = end
    result = "".join(pieces) + text[last:]
    read_back = {s["path"]: s["coeff"] for s in sensors(result)}
    for path, value in new_coeffs.items():
        if float32(read_back.get(path, float("nan"))) != float32(value):
            raise ValueError("coefficient at %s did not read back as written" % "/".join(map(str, path)))
    return result
