"""Sensor coefficients from reference passages: the library's readings of
every wheel set against the weights of a static scale.

A sensor's reading of a wheel is its pulse height in counts divided by the
library's dynamic load factor at that moment; times the sensor's coefficient
it is the wheel's static load. One least-squares fit over every passage
together finds the coefficients:

- a wheel whose weight the truth gives pins each of its readings directly;
- a wheel whose weight is unknown gets the load its sensors agree on best,
  so all sensors of a rail (on every line) must agree on it: this fixes the
  ratios between them, but not the rail's overall scale;
- a vehicle's full weight pins the sum of its unknown wheel loads, which fixes
  the scale of the two rails together. The rails are told apart only by wheel
  weights or by vehicles whose loads fall differently on the two rails.

The unknown wheel loads are eliminated exactly, so the system has one column
per sensor. Its predicted error, from the scatter left after the fit, shows
whether the passages determine every coefficient.
"""
import math

SIDES = ("odd", "even")


class Refusal(Exception):
    """The reference passages cannot calibrate the installation; the text
    says why, in the installation's terms."""


def passage_wheels(name, trace_lines, truth, dynamics):
    """Every wheel of one passage as {"reads": [(sensor key, reading)],
    "weight": kg or None, "vehicle": key}, {vehicle key: full weight}, and
    the lines the library could not weigh (they give no readings). A sensor
    key is (line id, side, sensor index). Without dynamics the library's load
    factors are left aside: it fits them with the coefficients it was given,
    and takes part of their errors for body motion."""
    cars = truth["carriages"]
    wheels = {}
    for v, car in enumerate(cars):
        for a, axle in enumerate(car["axis"]):
            for side, wheel in enumerate(axle["wheels"]):
                weight = wheel.get("weight")
                wheels[(v, a, side)] = {"reads": [], "vehicle": (name, v),
                                        "weight": float(weight) if isinstance(weight, (int, float)) else None}
    expected = [len(car["axis"]) for car in cars]
    not_weighed = []
    for line in trace_lines:
        if not line["correct"]:
            not_weighed.append("%s line %s not weighed: %s" % (name, line["line"], line["problem"]))
            continue
        found = [len(vehicle["axles"]) for vehicle in line["vehicles"]]
        if found != expected:
            raise Refusal("%s does not match its truth: line %s weighed %d vehicles with %s axles, the truth "
                          "lists %d with %s" % (name, line["line"], len(found), found, len(expected), expected))
        place = {}  # (side, rail wheel) -> (vehicle, axle)
        for v, vehicle in enumerate(line["vehicles"]):
            for a, axle in enumerate(vehicle["axles"]):
                for side, wheel in enumerate(axle["wheels"]):
                    place[(side, wheel["rail_wheel"])] = (v, a)
        for rail in line["rails"]:
            side = SIDES.index(rail["side"])
            for sensor in rail["sensors"]:
                if not sensor["used"]:
                    continue
                key = (line["line"], rail["side"], sensor["channel"])
                for reading in sensor["wheels"]:
                    spot = place.get((side, reading["wheel"]))
                    factor = reading["factor"] if dynamics else 1.0
                    if reading["used"] and spot is not None and factor > 0:
                        wheels[spot + (side,)]["reads"].append((key, reading["amplitude_counts"] / factor))
    return list(wheels.values()), {(name, v): float(car["full_weight"]) for v, car in enumerate(cars)}, not_weighed


def equations(wheels, totals, column):
    """The rows (sparse {column: factor}, right-hand side in kg) of the fit,
    and how many wheel loads they eliminated."""
    rows = []
    unknown = {}
    rest = dict(totals)  # each vehicle's weight less its wheels of known weight
    for wheel in wheels:
        if wheel["weight"] is not None:
            rest[wheel["vehicle"]] -= wheel["weight"]
            rows += [({column[key]: r}, wheel["weight"]) for key, r in wheel["reads"]]
            continue
        unknown.setdefault(wheel["vehicle"], []).append(wheel)
        # Each reading against the mean of the wheel's readings: what the
        # load that fits them best leaves over.
        mean = mean_row(wheel, column)
        for key, r in wheel["reads"]:
            row = {c: -f for c, f in mean.items()}
            row[column[key]] += r
            rows.append((row, 0.0))
    for vehicle, group in unknown.items():
        # A wheel no sensor saw leaves its vehicle's weight without use.
        if any(not wheel["reads"] for wheel in group):
            continue
        # The vehicle's weight spread over its unknown wheels as least
        # squares would: each moves by a share inverse to its reading count.
        scale = 1 / math.sqrt(sum(1 / len(wheel["reads"]) for wheel in group))
        row = {}
        for wheel in group:
            for c, f in mean_row(wheel, column).items():
                row[c] = row.get(c, 0.0) + f * scale
        rows.append((row, rest[vehicle] * scale))
    return rows, sum(len(group) for group in unknown.values())


def mean_row(wheel, column):
    row = {}
    for key, r in wheel["reads"]:
        row[column[key]] = row.get(column[key], 0.0) + r / len(wheel["reads"])
    return row


def symmetric_eigen(a):
    """Eigenvalues and eigenvectors (columns of the second result) of a small
    symmetric matrix, by cyclic Jacobi rotations."""
    n = len(a)
    a = [row[:] for row in a]
    v = [[float(i == j) for j in range(n)] for i in range(n)]
    scale = sum(a[i][i] ** 2 for i in range(n)) or 1.0
    for _ in range(60):
        if sum(a[p][q] ** 2 for p in range(n) for q in range(p + 1, n)) < 1e-30 * scale:
            break
        for p in range(n):
            for q in range(p + 1, n):
                if a[p][q] == 0:
                    continue
                theta = (a[q][q] - a[p][p]) / (2 * a[p][q])
                t = math.copysign(1, theta) / (abs(theta) + math.sqrt(theta * theta + 1))
                c = 1 / math.sqrt(t * t + 1)
                s = t * c
                for m in (a, v):
                    for row in m:
                        row[p], row[q] = c * row[p] - s * row[q], s * row[p] + c * row[q]
                a[p], a[q] = [c * x - s * y for x, y in zip(a[p], a[q])], [s * x + c * y for x, y in zip(a[p], a[q])]
    return [a[i][i] for i in range(n)], v


def fit(wheels, totals, keys, limit_pct, describe=lambda keys: ", ".join(map(str, keys))):
    """Least-squares coefficients {key: kg per count} and their predicted
    errors {key: percent}. Raises Refusal, naming the sensors (describe(keys)),
    when the passages leave a coefficient less certain than limit_pct."""
    column = {key: i for i, key in enumerate(keys)}
    n = len(keys)
    rows, eliminated = equations(wheels, totals, column)
    normal = [[0.0] * n for _ in range(n)]
    rhs = [0.0] * n
    for row, y in rows:
        for i, fi in row.items():
            rhs[i] += fi * y
            for j, fj in row.items():
                normal[i][j] += fi * fj
    unseen = [keys[i] for i in range(n) if normal[i][i] <= 0]
    if unseen:
        raise Refusal("no reference passage gives a reading of " + describe(unseen) +
                      ": each must see wheels of known weight before it can be calibrated")
    # Columns scaled to unit length, so that conditioning compares like with like.
    d = [1 / math.sqrt(normal[i][i]) for i in range(n)]
    values, vectors = symmetric_eigen([[d[i] * normal[i][j] * d[j] for j in range(n)] for i in range(n)])
    floor = 1e-13 * max(values)
    scaled_rhs = [d[i] * rhs[i] for i in range(n)]
    x = [0.0] * n
    for k in range(n):
        if values[k] > floor:
            weight = sum(vectors[i][k] * scaled_rhs[i] for i in range(n)) / values[k]
            x = [x[i] + weight * vectors[i][k] for i in range(n)]
    coeffs = [d[i] * x[i] for i in range(n)]
    residual = sum((sum(f * coeffs[i] for i, f in row.items()) - y) ** 2 for row, y in rows)
    scatter = residual / max(len(rows) - n - eliminated, 1)
    errors = {}
    for i, key in enumerate(keys):
        spread = sum(vectors[i][k] ** 2 / values[k] if values[k] > floor else math.inf for k in range(n))
        variance = scatter * d[i] ** 2 * spread
        errors[key] = 100 * math.sqrt(variance) / coeffs[i] if coeffs[i] > 0 else math.inf
    weak = [key for key in keys if not errors[key] <= limit_pct]
    if weak:
        worst = max(errors[key] for key in weak)
        raise Refusal("the reference passages cannot determine the coefficients of %s (uncertain by %s, more than "
                      "the %g %% allowed): %s" % (describe(weak), "%.3g %%" % worst if math.isfinite(worst) else
                                                  "any amount", limit_pct, weakness(keys, values, vectors)))
    return {key: coeffs[i] for i, key in enumerate(keys)}, errors


def weakness(keys, values, vectors):
    """What the least determined direction of the fit means to the installer."""
    k = min(range(len(values)), key=lambda i: values[i])
    signs = {side: {math.copysign(1, vectors[i][k]) for i, key in enumerate(keys)
                    if key[1] == side and abs(vectors[i][k]) > 0.3 / math.sqrt(len(keys))} for side in SIDES}
    if len(signs["odd"]) == 1 and len(signs["even"]) == 1 and signs["odd"] != signs["even"]:
        return ("vehicle weights alone cannot tell how the load falls on the two rails; give wheel weights in "
                "the truth, or add reference vehicles loaded unevenly between the rails")
    return "add reference passages, or wheel weights in the truth"
