"""OpenStreetMap extracts to pedestrian graph documents.

    norvel-osm-graph INPUT.osm.pbf OUTPUT.json[.gz]

or, from Python, ``norvel.osm.osm_to_graph(INPUT, OUTPUT)``; and its
places, such as schools, as points for ``norvel.access``:
``norvel.osm.places(INPUT, "amenity=school")`` (``norvel.osm.tagged``
says how each object becomes a point).

The output is the JSON text that `norvel_core.PyGraph.from_json` reads:
``{"nodes":[{"id":..,"lat":..,"lon":..}],"edges":[{"from":..,"to":..,
"distance_m":..,"risk_score":..,"name":..,"tags":{..}}],
"risk_layers":{"day":[..],"night":[..]}}``, where ``name`` is the `name`
tag of the edge's way (left out when the way has none), ``tags`` its
walking tags (``highway``, ``lit``, ``sidewalk``, ``crossing``,
``maxspeed``: those the way has, in that order) and ``risk_layers`` one
risk per edge, in edge order, for each layer (see Layers); the route
search skips those members, so they change no answer. An output name ending
in ``.gz`` is written with gzip -9 and a header without time stamp or file
name. Nodes are sorted by id and edges by (from, to), so the same extract
always gives the same bytes. Familiarity is left out: it belongs to a
walker, not to a map.

Needs pyosmium (``pip install 'norvel_core[osm]'``): without it, importing
``norvel.osm`` raises an ImportError that says so, and the command prints
that one line. The rules live in ``norvel.osm.rules`` and
``norvel.osm.graph``, pure functions over tags and ways. ``WalkRules``
(options ``--exclude``, ``--ignore-oneway`` and ``--all-components`` of the
command) turns single rules off; by default they all apply, as stated
below. ``WalkRules(hazard=...)`` (option ``--risk-rules module:function``)
replaces the risk rule with your own; ``WalkRules(layers=...)`` (option
``--layer NAME=FILE.py:function``) chooses the layers.

Walkable ways
    A way is kept when its `highway` is one of pedestrian, platform,
    corridor, elevator, footway, crossing, path, trail, bridleway, track,
    cycleway, living_street, steps, service, residential, road,
    unclassified, tertiary(_link), secondary(_link), primary(_link);
    motorways, trunks and every other value are dropped. Also dropped:
    `area=yes` (the outline of a square is no walking line), `foot=no`,
    `foot=private`, `foot=use_sidepath`, and `access=no` or `access=private`
    unless `foot` is yes, designated, permissive or destination. A cycleway
    is kept only when `foot` allows walkers or it carries a `segregated` or
    `footway` tag (a shared path).

Directions
    Every segment gives an edge in both directions, except when
    `oneway:foot` is yes/true/1 (along the way only) or -1/reverse (against
    it). On ways made for walkers (pedestrian, platform, corridor, elevator,
    footway, crossing, path, trail, steps) a plain `oneway` counts the same;
    on roads it binds vehicles only and is ignored.

Lengths
    `distance_m` is the haversine great-circle distance between the two
    nodes' coordinates as stored (rounded to 7 decimals), on a sphere of
    radius 6371008.8 m (the IUGG mean Earth radius), rounded to 0.01 m.

Risk
    risk_score = distance_m / 1000 x hazard, rounded to 4 decimals, where the
    hazard of a way (risk per kilometre) is

        hazard = (base + speed) x sidewalk + lighting + crossing

    base, by `highway`:
        0.05  pedestrian, platform, corridor, elevator
        0.10  footway, crossing
        0.15  path, trail
        0.20  bridleway
        0.25  track, cycleway
        0.30  living_street
        0.40  steps, service
        0.50  residential
        0.60  road, unclassified
        1.00  tertiary, tertiary_link
        1.40  secondary, secondary_link
        1.80  primary, primary_link
    speed (roads with motor traffic only: living_street, service,
        residential, road, unclassified, tertiary, secondary, primary and
        their links): 0.02 per km/h of `maxspeed` above 30 (50 km/h adds
        0.40); numbers, "mph" and zone values such as FI:urban (50),
        rural (80), living_street (20) and walk (5) are understood; no
        tag, no term.
    sidewalk (same roads only): x0.4 when `sidewalk`, `sidewalk:both`,
        `sidewalk:left` or `sidewalk:right` says a sidewalk is there
        (both, left, right, yes), x1.2 when it says none (no, none),
        x1.0 otherwise (including separate).
    lighting: +0.50 when `lit` is no, disused or off; +0.15 when `lit` is
        absent or unrecognised (outside corridors and elevators, which are
        lit indoors); 0 when lit (yes, 24/7, automatic, limited, ...).
    crossing (a way with highway=crossing, or footway, cycleway or path
        = crossing): +3.0 at traffic signals, +6.0 when marked, zebra,
        uncontrolled or unknown, +8.0 when unmarked (crossing=unmarked/no).

    So 100 m of unlit 50 km/h primary road with no sidewalk tag weigh 0.27,
    the same 100 m of lit footway 0.01, and a lit 12 m marked footway
    crossing 0.0732.

Layers
    Beside risk_score, each edge has a risk in each layer, by the same
    formula (distance_m / 1000 x hazard, 4 decimals) with its own hazard:

    day
        (base + speed) x sidewalk + crossing: no lighting term.
    night
        as risk_score, but +2.0 rather than +0.50 when `lit` is no,
        disused or off: after dark 100 m of unlit way are worth a 100 m detour
        (500 x risk), four times as much as by the default rule. Absent
        or unknown lighting stays +0.15.

    So the 100 m of unlit primary road above weigh 0.22 by day and 0.42
    at night, the 100 m of lit footway 0.01 in both.
    ``--layer NAME=FILE.py:function`` (or ``NAME=module:function``,
    repeatable) adds the layer NAME by your own rule (see below), after
    day and night; a name is a plain identifier (ASCII letters, digits,
    _; not starting with a digit) other than "default" (the name of
    risk_score) and day or night. From Python,
    ``WalkRules(layers={**DEFAULT_LAYER_RULES, "child": child})`` with
    ``DEFAULT_LAYER_RULES`` from ``norvel.osm.rules``; ``layers={}``
    writes no member ``risk_layers``.

Your own risk rule
    A function from a way's tags (a ``dict`` of strings, every tag of the
    way) to its hazard per km, a finite number, 0 or more. For a walk at
    night, where an unlit way weighs much more than by day, in a file
    ``night.py``::

        from norvel.osm.rules import LIT_YES, hazard_per_km

        def hazard(tags: dict[str, str]) -> float:
            if tags.get("lit") in LIT_YES or tags["highway"] in (
                    "corridor", "elevator"):
                return hazard_per_km(tags)
            return hazard_per_km(tags) + 2.0    # 100 m unlit: a 100 m detour

    then ``norvel-osm-graph city.osm.pbf night.json.gz --risk-rules
    night:hazard`` (the module is looked up on ``sys.path``, then in the
    current directory), or from Python
    ``osm_to_graph("city.osm.pbf", "night.json.gz", WalkRules(hazard=hazard))``.
    Which ways are kept, their directions and lengths stay as above. The
    same function makes a layer: ``--layer mynight=night.py:hazard`` (a
    file path, run once as a module of its own) keeps risk_score as it
    is and writes the layer mynight beside day and night.

Graph
    Where ways overlap, parallel edges between the same two nodes are merged
    into the one with the least risk_score, whose name and tags the edge
    keeps; each layer takes the least of its own risks over them, from
    whichever way it comes. Only the largest strongly connected
    component is kept (ties: the one holding the lowest node id), with the
    nodes its edges use, so any node can reach any other.
"""

from norvel._extras import require

require("norvel.osm", "osm", "osmium")

from norvel.osm.extract import WalkRules, convert, main, osm_to_graph
from norvel.osm.tagged import OsmPlace, places, write_places

__all__ = ["OsmPlace", "WalkRules", "convert", "main", "osm_to_graph",
           "places", "write_places"]
