#!/usr/bin/env python3
"""ondara-demo's SVG picture, read back as XML: every window around a gap is drawn as one path per
stretch of ring frames or silence, the stretches tile the window in order, the silence lies on the
zero line, and the fades are shaded where the ring ran dry and where it came back.

usage: demo_plot_test.py ONDARA_DEMO WORK_DIR"""
import os
import re
import subprocess
import sys
import xml.etree.ElementTree as ET

NS = "{http://www.w3.org/2000/svg}"


def fail(why):
    print("FAIL:", why)
    sys.exit(1)


def points(d):
    return [(float(x), float(y)) for x, y in re.findall(r"[ML]([-0-9.]+) ([-0-9.]+)", d)]


def main():
    demo, work = sys.argv[1], sys.argv[2]
    os.makedirs(work, exist_ok=True)
    svg = os.path.join(work, "plot.svg")
    run = subprocess.run([demo, "--out", os.path.join(work, "plot.wav"), "--plot", svg,
                          "--name", "ondara-tt-%d-plot" % os.getpid()], capture_output=True, text=True, timeout=120)
    if run.returncode != 0:
        fail("ondara-demo: %s%s" % (run.stdout, run.stderr))
    print(run.stdout)
    silent_total = int(re.search(r"silent frames\s+(\d+)", run.stdout).group(1))
    fade_outs = int(re.search(r"fade-outs\s+(\d+)", run.stdout).group(1))

    root = ET.parse(svg).getroot()
    gaps = root.findall(NS + "g[@class='gap']")
    if len(gaps) != min(3, fade_outs):
        fail("%d gaps plotted, expected %d" % (len(gaps), min(3, fade_outs)))
    for gap in gaps:
        g0, g1 = int(gap.get("data-begin")), int(gap.get("data-end"))
        if not 0 < g1 - g0 <= silent_total:
            fail("gap %d-%d is not a run of the demo's silent frames" % (g0, g1))
        windows = gap.findall(NS + "g[@class='window']")
        if len(windows) not in (1, 2):
            fail("gap %d-%d has %d windows" % (g0, g1, len(windows)))
        starts_seen = ends_seen = False
        for window in windows:
            w0, w1 = int(window.get("data-begin")), int(window.get("data-end"))
            paths = window.findall(NS + "path")
            kinds = [p.get("class") for p in paths]
            at = w0
            for p, kind in zip(paths, kinds):
                a, b = int(p.get("data-begin")), int(p.get("data-end"))
                if a != at or b <= a:
                    fail("window %d-%d: stretch %d-%d does not follow on from %d" % (w0, w1, a, b, at))
                pts = points(p.get("d"))
                if len(pts) != b - a:
                    fail("stretch %d-%d has %d points" % (a, b, len(pts)))
                if kind == "silence" and len({y for _, y in pts}) != 1:
                    fail("silence %d-%d is not flat" % (a, b))
                if kind == "ring" and b - a > 16 and len({y for _, y in pts}) < 8:
                    fail("ring stretch %d-%d holds no tone" % (a, b))
                starts_seen |= kind == "silence" and a <= g0 < b
                ends_seen |= kind == "silence" and a < g1 <= b
                at = b
            if at != w1:
                fail("window %d-%d: stretches end at %d" % (w0, w1, at))
            if any(x == y for x, y in zip(kinds, kinds[1:])) or set(kinds) - {"ring", "silence"}:
                fail("window %d-%d: stretches do not alternate: %s" % (w0, w1, kinds))
            for kind, edge in (("fade-out", g0), ("fade-in", g1)):
                if w0 < edge < w1:
                    rects = window.findall(NS + "rect[@class='%s']" % kind)
                    key = "data-end" if kind == "fade-out" else "data-begin"
                    if not any(int(r.get(key)) == edge for r in rects):
                        fail("no %s shaded at frame %d" % (kind, edge))
            if not window.findall(NS + "line[@class='block']"):
                fail("window %d-%d shows no block boundary" % (w0, w1))
        if not (starts_seen and ends_seen):
            fail("gap %d-%d: its first or last silent frame is not drawn" % (g0, g1))
    print("ok: %d gaps, %d windows" % (len(gaps), len(root.findall(".//" + NS + "g[@class='window']"))))


main()
