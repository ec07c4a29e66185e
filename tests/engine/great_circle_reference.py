"""Writes great_circle_cases.txt: great-circle distances on the sphere of
radius 6,371,008.8 m between the doubles nearest the given degrees,
computed to 40 digits with decimal arithmetic by
Vincenty's formula for the sphere (an atan2 form, unlike the haversine of
the code under test), for the C++ and the Python tests to compare with.

    python tests/engine/great_circle_reference.py > tests/engine/great_circle_cases.txt
"""

from decimal import Decimal, getcontext

getcontext().prec = 50
RADIUS_M = Decimal("6371008.8")
PI = Decimal("3.14159265358979323846264338327950288419716939937510")

CASES = [  # (lat1, lon1, lat2, lon2) in degrees, and why
    ("0", "0", "0", "0", "the same point"),
    ("60.1699172", "24.9451299", "60.1699172", "24.9451299", "the same point"),
    ("60", "25", "60.0000001", "25", "a centimetre"),
    ("60", "25", "60", "25.001", "a short street"),
    ("60.17", "24.94", "60.1705", "24.941", "a diagonal"),
    ("60.1699172", "24.9451299", "60.1759", "24.947", "across a city centre"),
    ("0", "0", "0", "1", "a degree along the equator"),
    ("0", "0", "1", "0", "a degree along a meridian"),
    ("48", "2", "48", "3", "a degree along a parallel"),
    ("10", "179.9", "10", "-179.9", "across the date line"),
    ("89.9", "0", "89.9", "180", "across the pole"),
    ("-33.86", "151.21", "51.5", "-0.12", "Sydney to London"),
    ("40.7128", "-74.006", "35.6762", "139.6503", "New York to Tokyo"),
    ("0", "0", "90", "0", "a quarter circle"),
    ("-90", "0", "90", "0", "pole to pole"),
    ("0", "0", "0", "180", "antipodes"),
    ("45", "0", "-45", "180", "antipodes"),
]


def sin(x: Decimal) -> Decimal:
    term, total, k = x, x, 1
    while abs(term) > Decimal("1e-60"):
        term = -term * x * x / ((2 * k) * (2 * k + 1))
        total += term
        k += 1
    return total


def cos(x: Decimal) -> Decimal:
    return sin(PI / 2 - x)


def atan(x: Decimal) -> Decimal:
    # Halve the angle until the series converges fast.
    halvings = 0
    while abs(x) > Decimal("0.1"):
        x = x / (1 + (1 + x * x).sqrt())
        halvings += 1
    term, total, k = x, x, 1
    while abs(term) > Decimal("1e-60"):
        term = -term * x * x
        total += term / (2 * k + 1)
        k += 1
    return total * 2 ** halvings


def atan2(y: Decimal, x: Decimal) -> Decimal:
    if x > 0:
        return atan(y / x)
    if x < 0:
        return atan(y / x) + PI  # y >= 0 here: a length
    return PI / 2


def degrees(text: str) -> Decimal:
    # The double the tests read, exactly: the code under test sees no other.
    return Decimal(float(text))


def distance_m(lat1: str, lon1: str, lat2: str, lon2: str) -> Decimal:
    phi1, phi2 = (degrees(v) * PI / 180 for v in (lat1, lat2))
    dlambda = (degrees(lon2) - degrees(lon1)) * PI / 180
    y = ((cos(phi2) * sin(dlambda)) ** 2
         + (cos(phi1) * sin(phi2) - sin(phi1) * cos(phi2) * cos(dlambda)) ** 2).sqrt()
    x = sin(phi1) * sin(phi2) + cos(phi1) * cos(phi2) * cos(dlambda)
    return RADIUS_M * atan2(y, x)


if __name__ == "__main__":
    print("# lat1 lon1 lat2 lon2 metres  (great_circle_reference.py wrote this)")
    for lat1, lon1, lat2, lon2, why in CASES:
        metres = distance_m(lat1, lon1, lat2, lon2).quantize(Decimal("1e-15"))
        print(f"{lat1} {lon1} {lat2} {lon2} {metres:f}  # {why}")
