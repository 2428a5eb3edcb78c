"""track() on real eye recordings with per-frame eye-state labels: the
share of open, partial and closed frames where a pupil is reported, and
frames per second (OpenCV on one thread, like the other benchmarks), per
recording.

    python3 bench/real_recordings.py FOLDER  # like ../shared/realvideo

FOLDER holds recordings.csv (id, file, ...; a bright pupil is marked in
its `subject` column) and, per recording, <id>.eyestate.csv (frame,
state: open, partial or closed). Nothing is copied. Run with Debian's
python3 after the build.
"""

import argparse
import csv
import sys
import time
from pathlib import Path

import cv2
import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "python"))
import pupil_radial  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("folder", type=Path)
    parser.add_argument("--only", metavar="ID", help="this recording alone")
    args = parser.parse_args()
    if not (args.folder / "recordings.csv").is_file():
        parser.error(f"{args.folder} holds no recordings.csv: a folder laid "
                     "out like ../shared/realvideo is needed")
    cv2.setNumThreads(1)
    with open(args.folder / "recordings.csv", newline="") as f:
        recordings = [r for r in csv.DictReader(f)
                      if args.only in (None, r["id"])]
    print("| recording | open found | partial found | closed found | "
          "frames/s (tracking) |")
    print("|---|---|---|---|---|")
    for rec in recordings:
        with open(args.folder / f"{rec['id']}.eyestate.csv",
                  newline="") as f:
            states = {int(r["frame"]): r["state"] for r in csv.DictReader(f)}
        bright = "bright" in rec.get("subject", "")
        images = [frame.image for frame in
                  pupil_radial.open_frames(args.folder / rec["file"])]
        start = time.perf_counter()
        pupils = list(pupil_radial.track(images, bright_pupil=bright))
        rate = len(images) / (time.perf_counter() - start)
        found = {}
        for k, pupil in enumerate(pupils):
            found.setdefault(states.get(k, "?"), []).append(pupil.found)
        cells = [f"{100 * np.mean(found[s]):.1f} % of {len(found[s])}"
                 if s in found else "-" for s in ("open", "partial",
                                                  "closed")]
        name = rec["id"] + (" (--bright-pupil)" if bright else "")
        print(f"| {name} | {' | '.join(cells)} | {rate:.0f} |")


if __name__ == "__main__":
    main()
