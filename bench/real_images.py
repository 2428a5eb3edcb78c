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
import threshold_baseline  # noqa: E402


def threshold_detector(image):
    found, center, _ = threshold_baseline.detect(image)
    return found, center


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
    if not (args.folder / "truth.csv").is_file():
        parser.error(f"{args.folder} holds no truth.csv: a folder laid out "
                     "like ../shared/realdata is needed")
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
