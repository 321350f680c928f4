"""Turns a track described as straights and bends into the points of a world file's "line".

    python3 tools/worlds/track_points.py [--start X,Y,HEADING] [--step CM] "SEGMENT; SEGMENT; ..."

A SEGMENT is `straight LENGTH`, `left RADIUS DEGREES` or `right RADIUS DEGREES` (cm and
degrees). The pen starts at X,Y (cm) heading HEADING degrees (counter-clockwise from +x;
default 0,0,0), and bends are cut into pieces of at most STEP cm (default 6: on a 40 cm
bend, the straight pieces stray at most 0.1 cm from the circle). Prints the "line" and
"start" entries to paste into a world file, one point a line, rounded to 0.1 cm, and says
the track's length and how far its end is from its start (0 for a closed loop).

The shipped line track:

    python3 tools/worlds/track_points.py --start 170,65.4,0 \\
        "left 40 210; right 40 30; left 40 210; right 40 30"
"""

import argparse
import math
import sys


def parse_segments(text):
    """ "left 40 90; straight 20" -> [("left", 40.0, 90.0), ("straight", 20.0)]."""
    segments = []
    for part in text.replace("\n", ";").split(";"):
        words = part.split()
        if not words:
            continue
        kind, numbers = words[0].lower(), words[1:]
        try:
            values = [float(n) for n in numbers]
        except ValueError:
            raise ValueError(f"{part.strip()!r}: the numbers are not numbers") from None
        if kind == "straight" and len(values) == 1 and values[0] > 0:
            segments.append((kind, values[0]))
        elif kind in ("left", "right") and len(values) == 2 and values[0] > 0 and values[1] > 0:
            segments.append((kind, values[0], values[1]))
        else:
            raise ValueError(
                f"{part.strip()!r}: expected 'straight LENGTH', 'left RADIUS "
                "DEGREES' or 'right RADIUS DEGREES' with positive numbers"
            )
    if not segments:
        raise ValueError("no segments")
    return segments


def trace(segments, start=(0.0, 0.0, 0.0), step=6.0):
    """The points along the segments (the first is the start) and the final heading."""
    x, y, heading = start
    points = [(x, y)]
    for segment in segments:
        if segment[0] == "straight":
            length = segment[1]
            x += length * math.cos(math.radians(heading))
            y += length * math.sin(math.radians(heading))
            points.append((x, y))
            continue
        kind, radius, degrees = segment
        turn = degrees if kind == "left" else -degrees
        pieces = max(1, math.ceil(radius * math.radians(degrees) / step))
        # The centre of the bend lies one radius to the left (left bend) or right of the pen.
        side = math.radians(heading + (90 if turn > 0 else -90))
        cx, cy = x + radius * math.cos(side), y + radius * math.sin(side)
        angle0 = math.atan2(y - cy, x - cx)
        for i in range(1, pieces + 1):
            angle = angle0 + math.radians(turn) * i / pieces
            points.append((cx + radius * math.cos(angle), cy + radius * math.sin(angle)))
        x, y = points[-1]
        heading += turn
    return points, heading


def length_of(points):
    return sum(math.dist(a, b) for a, b in zip(points, points[1:]))


def world_entries(points, heading0):
    """The "line" and "start" entries as a world file holds them."""
    rounded = [(round(x, 1) + 0.0, round(y, 1) + 0.0) for x, y in points]
    if math.dist(points[0], points[-1]) < 0.05:
        rounded[-1] = rounded[0]  # a loop: the last point is the first
    lines = ['  "line": [']
    lines += [f"    [{x:g}, {y:g}]," for x, y in rounded]
    lines[-1] = lines[-1].rstrip(",")
    lines.append("  ],")
    x, y = rounded[0]
    lines.append(f'  "start": {{"x_cm": {x:g}, "y_cm": {y:g}, "heading_deg": {heading0:g}}},')
    return "\n".join(lines)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument(
        "segments", help='e.g. "straight 30; left 40 180; straight 30; left 40 180"'
    )
    parser.add_argument("--start", default="0,0,0", metavar="X,Y,HEADING")
    parser.add_argument("--step", type=float, default=6.0, metavar="CM")
    args = parser.parse_args(argv)
    try:
        start = tuple(float(v) for v in args.start.split(","))
        if len(start) != 3:
            raise ValueError("--start wants X,Y,HEADING")
        segments = parse_segments(args.segments)
    except ValueError as exc:
        parser.error(str(exc))
    points, heading = trace(segments, start, args.step)
    print(world_entries(points, start[2]))
    xs, ys = [p[0] for p in points], [p[1] for p in points]
    print(
        f"length {length_of(points):.1f} cm; end {math.dist(points[0], points[-1]):.1f} cm "
        f"from the start, heading {heading - start[2]:+.0f} degrees from the start's; "
        f"x {min(xs):.1f}..{max(xs):.1f}, y {min(ys):.1f}..{max(ys):.1f}",
        file=sys.stderr,
    )


if __name__ == "__main__":
    main(sys.argv[1:])
