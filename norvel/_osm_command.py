"""The ``norvel-osm-graph`` command, kept apart from ``norvel.osm`` so that
a missing extra is one line on stderr rather than a traceback."""

from __future__ import annotations

import sys

from norvel._extras import MissingExtraError


def main(argv: list[str] | None = None) -> int:
    """Runs ``norvel.osm.extract.main``; returns its exit status, or 1
    after printing the pip command when pyosmium is missing."""
    try:
        from norvel.osm.extract import main as convert
    except MissingExtraError as missing:
        print(missing, file=sys.stderr)
        return 1
    return convert(argv)


if __name__ == "__main__":
    sys.exit(main())
