"""detect() on real eye images with pupil truth, beside the threshold-and-
contour detector most OpenCV users write, per source: found within 5 px,
the centre error's median and 90th percentile, found but more than 5 px
off, closed eyes found, and milliseconds per image (each image timed
`--repeats` times and its fastest kept: the VM's hiccups are not the
detector's; the median over the images; OpenCV on one thread).

    python3 bench/real_images.py FOLDER    # laid out like ../shared/realdata

FOLDER holds truth.csv (file, center_x, center_y, source, has_pupil, ...)
and the images it names. The images stay where they are: nothing is
copied. Run with Debian's python3 and PYTHONPATH=python after the build.
"""

import argparse
import csv
import math
import platform
import sys
import time
from pathlib import Path

import cv2
import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "python"))
import pupil_radial  # noqa: E402


def threshold_detector(image):
    """Blur, threshold near the darkest percentile, the largest round
    contour, cv2.fitEllipse: (found, (x, y))."""
    gray = image if image.ndim == 2 else cv2.cvtColor(image,
                                                      cv2.COLOR_BGR2GRAY)
    blurred = cv2.GaussianBlur(gray, (0, 0), 2)
    level = np.percentile(blurred, 3) + 10
    _, mask = cv2.threshold(blurred, level, 255, cv2.THRESH_BINARY_INV)
    contours, _ = cv2.findContours(mask.astype(np.uint8), cv2.RETR_EXTERNAL,
                                   cv2.CHAIN_APPROX_NONE)
    best, best_area = None, 0.0
    for c in contours:
        area = cv2.contourArea(c)
        if len(c) < 5 or area < 12:
            continue
        perimeter = cv2.arcLength(c, True)
        roundness = 4 * math.pi * area / (perimeter * perimeter)
        if roundness > 0.6 and area > best_area:
            best, best_area = c, area
    if best is None:
        return False, (math.nan, math.nan)
    (cx, cy), _, _ = cv2.fitEllipse(best)
    return True, (cx, cy)


def ours(image):
    pupil = pupil_radial.detect(image)
    return pupil.found, pupil.center


def run(folder: Path, detector, rows, repeats):
    by_source = {}
    for row in rows:
        image = cv2.imread(str(folder / row["file"]), cv2.IMREAD_UNCHANGED)
        ms = math.inf
        for _ in range(repeats):
            start = time.perf_counter()
            found, (x, y) = detector(image)
            ms = min(ms, 1e3 * (time.perf_counter() - start))
        s = by_source.setdefault(row["source"], dict(
            pupils=0, closed=0, within=0, errors=[], wrong=0,
            closed_found=0, ms=[]))
        s["ms"].append(ms)
        if row["has_pupil"] != "1":
            s["closed"] += 1
            s["closed_found"] += found
            continue
        s["pupils"] += 1
        if not found:
            continue
        error = math.hypot(x - float(row["center_x"]),
                           y - float(row["center_y"]))
        s["errors"].append(error)
        s["within"] += error <= 5
        s["wrong"] += error > 5
    return by_source


def report(name, by_source):
    for source, s in sorted(by_source.items()):
        errors = [e for e in s["errors"] if e <= 5]
        median = np.median(errors) if errors else math.nan
        p90 = np.percentile(errors, 90) if errors else math.nan
        closed = (f"{100 * s['closed_found'] / s['closed']:.1f} % of "
                  f"{s['closed']}" if s["closed"] else "-")
        print(f"| {source} | {name} | {s['pupils']} | "
              f"{100 * s['within'] / max(s['pupils'], 1):.1f} % | "
              f"{median:.2f} / {p90:.2f} px | "
              f"{100 * s['wrong'] / max(s['pupils'], 1):.1f} % | {closed} | "
              f"{np.median(s['ms']):.2f} |")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("folder", type=Path)
    parser.add_argument("--source", help="this source alone (mmu, mrl)")
    parser.add_argument("--repeats", type=int, default=3,
                        help="timings per image, the fastest kept")
    args = parser.parse_args()
    cv2.setNumThreads(1)
    print(f"pupil_radial {pupil_radial.__version__}, {platform.machine()}, "
          f"Python {platform.python_version()}, OpenCV {cv2.__version__}, "
          "one thread\n")
    with open(args.folder / "truth.csv", newline="") as f:
        rows = [r for r in csv.DictReader(f)
                if args.source in (None, r["source"])]
    print("| source | detector | pupil images | found within 5 px | centre "
          "error median / p90 (within 5 px) | found but > 5 px off | closed "
          "eyes found | ms per image (median) |")
    print("|---|---|---|---|---|---|---|---|")
    report("detect()", run(args.folder, ours, rows, args.repeats))
    report("threshold and contour", run(args.folder, threshold_detector,
                                        rows, args.repeats))


if __name__ == "__main__":
    main()
