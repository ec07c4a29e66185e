"""Which OpenStreetMap ways a pedestrian may walk, in which directions, and
how risky each kilometre of them is.

Pure functions over a way's tags (a plain ``dict`` of strings), so they can be
tested without pyosmium.  The risk rule is written out in full in the
docstring of ``norvel.osm`` and in ``norvel/data/README.md``; the numbers below
are that rule's numbers, and a test checks that the documents quote them.
"""

from __future__ import annotations

import math
import re
from collections.abc import Callable, Mapping
from types import MappingProxyType

#: Risk per kilometre walked on each highway class, before the tag modifiers.
#: Ways shared with motor traffic weigh most; the values are chosen so that
#: 500 x risk (the weight the route search gives to risk) stays comparable to
#: the metres walked.
BASE_HAZARD_PER_KM: dict[str, float] = {
    "pedestrian": 0.05,
    "platform": 0.05,
    "corridor": 0.05,
    "elevator": 0.05,
    "footway": 0.10,
    "crossing": 0.10,
    "path": 0.15,
    "trail": 0.15,
    "bridleway": 0.20,
    "track": 0.25,
    "cycleway": 0.25,
    "living_street": 0.30,
    "steps": 0.40,
    "service": 0.40,
    "residential": 0.50,
    "road": 0.60,
    "unclassified": 0.60,
    "tertiary": 1.00,
    "tertiary_link": 1.00,
    "secondary": 1.40,
    "secondary_link": 1.40,
    "primary": 1.80,
    "primary_link": 1.80,
}

#: Classes that carry motor traffic: speed limits and sidewalks matter there.
ROAD_CLASSES = frozenset({
    "living_street", "service", "residential", "road", "unclassified",
    "tertiary", "tertiary_link", "secondary", "secondary_link",
    "primary", "primary_link",
})

#: Classes that only pedestrians (and at most cyclists) use, where a plain
#: `oneway` tag binds the walker too.
PEDESTRIAN_CLASSES = frozenset({
    "pedestrian", "platform", "corridor", "elevator", "footway", "crossing",
    "path", "trail", "steps",
})

#: Indoor classes have their own lighting; a missing `lit` tag says nothing.
INDOOR_CLASSES = frozenset({"corridor", "elevator"})

#: A maxspeed up to this many km/h adds no hazard.
SPEED_FREE_KMH = 30.0
#: Hazard per km added for each km/h of maxspeed above SPEED_FREE_KMH.
SPEED_HAZARD_PER_KMH = 0.02

#: Factor of a road's hazard when its tags say it has a sidewalk.
SIDEWALK_PRESENT_FACTOR = 0.4
#: Factor of a road's hazard when its tags say it has none.
SIDEWALK_ABSENT_FACTOR = 1.2

#: Hazard per km added where lit is no, disused or off.
UNLIT_HAZARD = 0.50
#: Hazard per km added where lit is absent or unrecognised (outdoors).
LIT_UNKNOWN_HAZARD = 0.15
#: Hazard per km added where lit is no, disused or off, in the layer
#: ``night``: four times UNLIT_HAZARD. Half the hazard is the metres of
#: detour the search walks per metre avoided (500 x risk), so after dark
#: 100 m of unlit way are worth a 100 m detour (25 m by day's rule).
NIGHT_UNLIT_HAZARD = 2.0

#: Hazard per km added on a crossing, by its crossing tag.
CROSSING_HAZARD: dict[str, float] = {
    "traffic_signals": 3.0,
    "marked": 6.0,
    "zebra": 6.0,
    "uncontrolled": 6.0,
    "unknown": 6.0,
    "unmarked": 8.0,
    "no": 8.0,
}

#: foot values that let walkers on a way whatever access says.
FOOT_ALLOWED = frozenset({"yes", "designated", "permissive", "destination"})
#: foot values that keep walkers off a way.
FOOT_FORBIDDEN = frozenset({"no", "private", "use_sidepath"})
#: access values that keep walkers off unless foot allows them.
ACCESS_FORBIDDEN = frozenset({"no", "private"})
#: lit values that mean a lit way.
LIT_YES = frozenset({
    "yes", "24/7", "automatic", "limited", "sunset-sunrise", "interval",
    "dusk-dawn",
})
#: lit values that mean an unlit way.
LIT_NO = frozenset({"no", "disused", "off"})
#: Values of oneway:foot (and oneway) meaning along the way only.
TRUE_WORDS = frozenset({"yes", "true", "1"})
#: Values of oneway:foot (and oneway) meaning against the way only.
REVERSE_WORDS = frozenset({"-1", "reverse"})

# Implicit limits written as "<country>:<zone>", in km/h.
_ZONE_SPEEDS_KMH = {
    "walk": 5.0,
    "living_street": 20.0,
    "urban": 50.0,
    "rural": 80.0,
}
_NUMERIC_SPEED = re.compile(r"^\s*(\d+(?:\.\d+)?)\s*(mph|km/h|kmh|kph)?\s*$")
_KMH_PER_MPH = 1.609344


def is_walkable(tags: dict[str, str]) -> bool:
    """True when a pedestrian may walk along the way described by ``tags``."""
    highway = tags.get("highway")
    if highway not in BASE_HAZARD_PER_KM:
        return False
    if tags.get("area") in TRUE_WORDS:
        return False
    foot = tags.get("foot")
    if foot in FOOT_FORBIDDEN:
        return False
    if tags.get("access") in ACCESS_FORBIDDEN and foot not in FOOT_ALLOWED:
        return False
    if highway == "cycleway":
        # Cyclists only, unless walkers are let in explicitly or the way is a
        # shared path (a `segregated` or `footway` tag only makes sense then).
        return (foot in FOOT_ALLOWED or "segregated" in tags
                or "footway" in tags)
    return True


def walking_directions(tags: dict[str, str]) -> tuple[bool, bool]:
    """(forward, backward): may the way be walked along / against its node order.

    Road one-way rules bind vehicles, not walkers; `oneway:foot` binds walkers
    everywhere, and a plain `oneway` binds them on ways made for walking.
    """
    rule = tags.get("oneway:foot")
    if rule is None and tags.get("highway") in PEDESTRIAN_CLASSES:
        rule = tags.get("oneway")
    if rule in TRUE_WORDS:
        return (True, False)
    if rule in REVERSE_WORDS:
        return (False, True)
    return (True, True)


def parse_maxspeed_kmh(value: str | None) -> float | None:
    """A `maxspeed` value in km/h, or None when it names no usable limit."""
    if value is None:
        return None
    match = _NUMERIC_SPEED.match(value)
    if match:
        speed = float(match.group(1))
        return speed * _KMH_PER_MPH if match.group(2) == "mph" else speed
    zone = value.strip().split(":")[-1]
    return _ZONE_SPEEDS_KMH.get(zone)


def _sidewalk_values(tags: dict[str, str]) -> list[str]:
    values = [tags[key] for key in ("sidewalk", "sidewalk:both")
              if key in tags]
    values += ["yes" for key in ("sidewalk:left", "sidewalk:right")
               if tags.get(key) in TRUE_WORDS]
    return values


def sidewalk_factor(tags: dict[str, str]) -> float:
    """Multiplier of a road's traffic hazard for its sidewalks."""
    values = _sidewalk_values(tags)
    if any(v in ("both", "left", "right", "yes") for v in values):
        return SIDEWALK_PRESENT_FACTOR
    if any(v in ("no", "none") for v in values):
        return SIDEWALK_ABSENT_FACTOR
    return 1.0


def lighting_hazard(tags: dict[str, str],
                    unlit: float = UNLIT_HAZARD) -> float:
    """Hazard per km for the lighting of a way; ``unlit`` where its `lit`
    tag says it is dark."""
    highway = tags.get("highway")
    lit = tags.get("lit")
    if lit in LIT_NO:
        return unlit
    if lit in LIT_YES or highway in INDOOR_CLASSES:
        return 0.0
    return LIT_UNKNOWN_HAZARD


def is_crossing(tags: dict[str, str]) -> bool:
    return (tags.get("highway") == "crossing"
            or "crossing" in (tags.get("footway"), tags.get("cycleway"),
                              tags.get("path")))


def crossing_hazard(tags: dict[str, str]) -> float:
    if not is_crossing(tags):
        return 0.0
    kind = tags.get("crossing", "unknown")
    if tags.get("crossing_ref") == "zebra":
        kind = "zebra"
    return CROSSING_HAZARD.get(kind, CROSSING_HAZARD["unknown"])


def traffic_hazard(tags: dict[str, str]) -> float:
    """(base + speed) x sidewalk: the part of a way's hazard per km that
    its class and its motor traffic make."""
    highway = tags["highway"]
    traffic = BASE_HAZARD_PER_KM[highway]
    if highway in ROAD_CLASSES:
        speed = parse_maxspeed_kmh(tags.get("maxspeed"))
        if speed is not None and speed > SPEED_FREE_KMH:
            traffic += SPEED_HAZARD_PER_KMH * (speed - SPEED_FREE_KMH)
        traffic *= sidewalk_factor(tags)
    return traffic


def hazard_per_km(tags: dict[str, str]) -> float:
    """Risk of one kilometre of a walkable way, the documents' `risk_score`:

    (base + speed) x sidewalk + lighting + crossing
    """
    return traffic_hazard(tags) + lighting_hazard(tags) + crossing_hazard(tags)


def day_hazard_per_km(tags: dict[str, str]) -> float:
    """The layer ``day``: hazard_per_km without the lighting term,

    (base + speed) x sidewalk + crossing
    """
    return traffic_hazard(tags) + crossing_hazard(tags)


def night_hazard_per_km(tags: dict[str, str]) -> float:
    """The layer ``night``: hazard_per_km with NIGHT_UNLIT_HAZARD for an
    unlit way (absent or unknown lighting and lit ways as by hazard_per_km),

    (base + speed) x sidewalk + night lighting + crossing
    """
    return (traffic_hazard(tags) + lighting_hazard(tags, NIGHT_UNLIT_HAZARD)
            + crossing_hazard(tags))


#: The layers the converter writes beside `risk_score`: name to rule.
DEFAULT_LAYER_RULES: Mapping[str, Callable[[dict[str, str]], float]] = \
    MappingProxyType({"day": day_hazard_per_km, "night": night_hazard_per_km})

#: The hours of the day each of those layers holds for (start included, end
#: excluded, past midnight where the end is the lesser), which a request by
#: time (``at=``) chooses among; a layer of another name has none.
DEFAULT_LAYER_HOURS: Mapping[str, tuple[float, float]] = \
    MappingProxyType({"day": (6.0, 20.0), "night": (20.0, 6.0)})

#: The tags of a way that an edge carries as its member `tags`, in this
#: order: what the rules above read to judge a walk.
WALKING_TAGS = ("highway", "lit", "sidewalk", "crossing", "maxspeed")


def walking_tags(tags: dict[str, str]) -> dict[str, str]:
    """The WALKING_TAGS present among ``tags``, in WALKING_TAGS order."""
    return {key: tags[key] for key in WALKING_TAGS if key in tags}


def edge_risk(distance_m: float, hazard: float) -> float:
    """Risk of one edge, rounded to the four decimals the document keeps."""
    if not math.isfinite(distance_m) or distance_m < 0.0:
        raise ValueError(f"edge length must be a finite non-negative number, "
                         f"got {distance_m!r}")
    return round(distance_m / 1000.0 * hazard, 4)
