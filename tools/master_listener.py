#!/usr/bin/env python3
"""Stands in for the master server: receives Korvanet's result messages on
127.0.0.1:3021, reassembles part series, checks that the document is valid
JSON and prints a one-screen summary of each train.

    tools/master_listener.py [--count N] [--timeout S] [--json-out FILE] [--port P]

Exit status: 0 when every result received was a valid document (and, with
--count, N of them arrived); 1 otherwise.
"""

import argparse
import json
import socket
import sys
import time

SINGLE_HEAD = '{"cmd":"scales_result","param":"'
PART_HEAD = '{"cmd":"scales_result_part","param":"'
NUMBER_KEY = '","paramInt":'
SINGLE_MIDDLE = '","name":"recorderScales","id":0,"values":["'
PART_MIDDLE = ',"name":"recorderScales","id":0,"values":["'
CLOSING_REST = '","paramInt":-1,"name":"recorderScales","id":0,"values":[]}'
TAIL = '"]}'

# Long part series arrive back to back; a small socket buffer would drop some.
RECEIVE_BUFFER_BYTES = 8 * 1024 * 1024
SUMMARY_CARRIAGE_LINES = 30


class BadMessage(Exception):
    pass


def parse_message(data):
    """Splits one datagram into (kind, train_id, part_number, chunk).

    The messages are fixed text pieces around the train id and the chunk, and
    a chunk may end inside an escape, so they are cut apart as text, never
    decoded as JSON. kind is "single", "part" or "closing"."""
    text = data.decode("latin-1")  # byte for byte; UTF-8 is decoded once joined
    if text.startswith(SINGLE_HEAD):
        rest = text[len(SINGLE_HEAD):]
        middle = rest.find(SINGLE_MIDDLE)
        if middle < 0 or not rest.endswith(TAIL):
            raise BadMessage("scales_result without its values")
        return "single", rest[:middle], None, rest[middle + len(SINGLE_MIDDLE):-len(TAIL)]
    if text.startswith(PART_HEAD):
        rest = text[len(PART_HEAD):]
        if rest.endswith(CLOSING_REST) and rest.find(NUMBER_KEY) == len(rest) - len(CLOSING_REST):
            return "closing", rest[:-len(CLOSING_REST)], -1, ""
        key = rest.find(NUMBER_KEY)
        if key < 0:
            raise BadMessage("scales_result_part without paramInt")
        after = rest[key + len(NUMBER_KEY):]
        middle = after.find(PART_MIDDLE)
        digits = after[:middle] if middle >= 0 else ""
        if not digits.isdigit() or not after.endswith(TAIL):
            raise BadMessage("scales_result_part with a bad paramInt or values")
        return "part", rest[:key], int(digits), after[middle + len(PART_MIDDLE):-len(TAIL)]
    raise BadMessage("not a result message: %r" % text[:60])


def unescape(escaped):
    # The sender turned every quotation mark into backslash-quote and left
    # backslashes alone, so undoing it is the reverse replacement.
    return escaped.replace('\\"', '"')


def speeds_of(carriage):
    return [axle.get("speed", 0.0) for axle in carriage.get("axis", [])]


def summarize(train_id, document, message_count, out):
    carriages = document.get("carriages", [])
    speeds = [speed for carriage in carriages for speed in speeds_of(carriage)]
    axle_count = sum(len(carriage.get("axis", [])) for carriage in carriages)
    print("train %s: %d message(s), correct=%s, total weight %s, %d carriage(s), %d axle(s)"
          % (train_id, message_count, str(document.get("correct")).lower(), document.get("total_weight"),
             len(carriages), axle_count), file=out)
    if speeds:
        print("  speed min %.2f max %.2f" % (min(speeds), max(speeds)), file=out)
    for index, carriage in enumerate(carriages[:SUMMARY_CARRIAGE_LINES]):
        loco = carriage.get("loco", {})
        mark = "loco %s" % (loco.get("type") or "-") if loco.get("flag") else "wagon"
        carriage_speeds = speeds_of(carriage)
        speed_text = ("  speed %.2f..%.2f" % (min(carriage_speeds), max(carriage_speeds))) if carriage_speeds else ""
        print("  %3d  %-16s weight %8s  axles %2d%s"
              % (index + 1, mark, carriage.get("full_weight"), len(carriage.get("axis", [])), speed_text), file=out)
    if len(carriages) > SUMMARY_CARRIAGE_LINES:
        print("  ... %d more carriage(s)" % (len(carriages) - SUMMARY_CARRIAGE_LINES), file=out)


class Reassembler:
    """Collects part series per train id until their closing message."""

    def __init__(self):
        self.parts = {}

    def add(self, kind, train_id, number, chunk):
        """Returns (train_id, escaped_document, message_count) for a complete
        result, or None while a series is still open."""
        if kind == "single":
            return train_id, chunk, 1
        series = self.parts.setdefault(train_id, {})
        if kind == "part":
            if number in series:
                raise BadMessage("part %d of train %s received twice" % (number, train_id))
            series[number] = chunk
            return None
        del self.parts[train_id]
        missing = [n for n in range(len(series)) if n not in series]
        if not series or missing:
            raise BadMessage("series of train %s closed with parts missing: %s"
                             % (train_id, missing if series else "all"))
        return train_id, "".join(series[n] for n in range(len(series))), len(series) + 1


def main():
    parser = argparse.ArgumentParser(description="Receive and check Korvanet result messages.")
    parser.add_argument("--count", type=int, default=0, help="stop after N results (default: run until --timeout)")
    parser.add_argument("--timeout", type=float, default=0, help="stop after S seconds (default: never)")
    parser.add_argument("--json-out", help="write the last plain document to FILE")
    parser.add_argument("--port", type=int, default=3021, help="UDP port on 127.0.0.1 (default 3021)")
    options = parser.parse_args()

    listener = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, RECEIVE_BUFFER_BYTES)
    try:
        listener.bind(("127.0.0.1", options.port))
    except OSError as error:
        print("cannot bind 127.0.0.1:%d: %s" % (options.port, error), file=sys.stderr)
        return 1
    print("listening on 127.0.0.1:%d" % options.port, file=sys.stderr)

    deadline = time.monotonic() + options.timeout if options.timeout > 0 else None
    reassembler = Reassembler()
    results = 0
    all_valid = True
    while options.count <= 0 or results < options.count:
        if deadline is not None:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            listener.settimeout(left)
        try:
            data, source = listener.recvfrom(65536)
        except socket.timeout:
            break
        except KeyboardInterrupt:
            break
        try:
            complete = reassembler.add(*parse_message(data))
            if complete is None:
                continue
            train_id, escaped, message_count = complete
            results += 1
            plain = unescape(escaped)
            document = json.loads(plain.encode("latin-1").decode("utf-8"))
            if not isinstance(document, dict):
                raise BadMessage("document of train %s is not a JSON object" % train_id)
        except (BadMessage, ValueError) as error:
            all_valid = False
            print("from port %d: %s" % (source[1], error), file=sys.stdout)
            continue
        summarize(train_id, document, message_count, sys.stdout)
        sys.stdout.flush()
        if options.json_out:
            with open(options.json_out, "w", encoding="utf-8") as out:
                out.write(plain.encode("latin-1").decode("utf-8"))

    for train_id, series in reassembler.parts.items():
        all_valid = False
        print("train %s: series of %d part(s) never closed" % (train_id, len(series)))
    if options.count > 0 and results < options.count:
        print("%d of %d result(s) received" % (results, options.count), file=sys.stderr)
        return 1
    return 0 if all_valid else 1


if __name__ == "__main__":
    sys.exit(main())
