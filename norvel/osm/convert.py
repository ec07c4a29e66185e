"""Convert an OpenStreetMap PBF extract into a pedestrian graph document.

Usage:
    python osm_to_graph.py INPUT.osm.pbf OUTPUT.json[.gz]

The output is the JSON text that `norvel_core.PyGraph.from_json` reads:
``{"nodes":[{"id":..,"lat":..,"lon":..}],"edges":[{"from":..,"to":..,
"distance_m":..,"risk_score":..}]}``. An output name ending in ``.gz`` is
written with gzip -9 and a header without time stamp or file name. Nodes are
sorted by id and edges by (from, to), so the same extract always gives the
same bytes. Familiarity is left out: it belongs to a walker, not to a map.

Reading needs pyosmium (``pip install osmium``); the rules themselves live
in walk_rules.py and walk_graph.py, which do not.

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

Graph
    Where ways overlap, parallel edges between the same two nodes are merged
    into the one with the least risk. Only the largest strongly connected
    component is kept (ties: the one holding the lowest node id), with the
    nodes its edges use, so any node can reach any other.
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import walk_graph  # noqa: E402
import walk_rules  # noqa: E402


def read_walkable_ways(pbf_path: Path):
    """(nodes, tags) for every walkable way, split where a node has no
    location (an extract cuts ways at its border)."""
    import osmium  # only the reading needs the C++ bindings

    ways: list[tuple[list[walk_graph.WayNode], dict[str, str]]] = []

    class WayCollector(osmium.SimpleHandler):
        def way(self, way):
            tags = {tag.k: tag.v for tag in way.tags}
            if not walk_rules.is_walkable(tags):
                return
            run: list[walk_graph.WayNode] = []
            for ref in way.nodes:
                if ref.location.valid():
                    run.append(walk_graph.rounded_node(
                        ref.ref, ref.location.lat, ref.location.lon))
                    continue
                if len(run) > 1:
                    ways.append((run, tags))
                run = []
            if len(run) > 1:
                ways.append((run, tags))

    WayCollector().apply_file(str(pbf_path), locations=True)
    return ways


def convert(pbf_path: Path) -> tuple[dict, dict[str, int]]:
    ways = read_walkable_ways(pbf_path)
    coordinates: dict[int, walk_graph.WayNode] = {}
    edges: list[walk_graph.WalkEdge] = []
    for nodes, tags in ways:
        for node in nodes:
            coordinates[node.id] = node
        edges.extend(walk_graph.way_edges(nodes, tags))
    document = walk_graph.build_document(coordinates, edges)
    stats = {
        "walkable way pieces": len(ways),
        "nodes on walkable ways": len(coordinates),
        "directed edges before merging": len(edges),
        "nodes kept": len(document["nodes"]),
        "edges kept": len(document["edges"]),
    }
    return document, stats


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        description="Convert an OpenStreetMap PBF extract into a pedestrian "
                    "graph document (JSON, gzipped when OUTPUT ends in .gz).")
    parser.add_argument("input", type=Path, help="OpenStreetMap .osm.pbf file")
    parser.add_argument("output", type=Path, help="output .json or .json.gz")
    args = parser.parse_args(argv)

    document, stats = convert(args.input)
    if not document["edges"]:
        print(f"error: no walkable edge in {args.input}", file=sys.stderr)
        return 1
    text = walk_graph.document_text(document)
    if args.output.suffix == ".gz":
        args.output.write_bytes(walk_graph.gzip_bytes(text))
    else:
        args.output.write_text(text, encoding="utf-8")
    for name, value in stats.items():
        print(f"{name}: {value}", file=sys.stderr)
    print(f"wrote {args.output} ({args.output.stat().st_size} bytes)",
          file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
