"""The `pupil-radial` command: track pupils through a video or a folder of
images into a CSV (and a plot and an overlay video), measure one image, or
run the whole job on a synthetic eye video whose truth is known.

Exit status: 0 done (a pupil found, for detect), 1 no pupil found (detect),
2 usage or input error, 130 interrupted.
"""

from __future__ import annotations

import argparse
import csv
import importlib.util
import json
import math
import sys
import time
from pathlib import Path

import cv2
import numpy as np

from . import __version__
from . import _checks
from .detect import detect
from .figures import draw, plot
from .pupil import DEFAULT_THRESHOLD, Pupil
from .track import InputError, open_frames, track

COLUMNS = ("frame", "time_s", "found", "center_x", "center_y", "major_px",
           "minor_px", "angle_deg", "confidence")


class UsageError(Exception):
    """A mistake of the user's: one line on stderr and exit status 2."""


def main(argv=None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    try:
        return args.run(args)
    except (UsageError, InputError) as error:
        print(f"pupil-radial: {error}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("pupil-radial: interrupted; what was written so far is kept",
              file=sys.stderr)
        return 130
    except BrokenPipeError:  # `pupil-radial track ... | head`
        return 0


class _Parser(argparse.ArgumentParser):
    """argparse, with a usage error as one line (`--help` shows the rest)."""

    def error(self, message):
        self.exit(2, f"{self.prog}: error: {message} (see --help)\n")


def _parser():
    parser = _Parser(
        prog="pupil-radial", description="Pupils in eye-camera images and "
        "videos: centre, size and a confidence per frame.")
    parser.add_argument("--version", action="version",
                        version=f"%(prog)s {__version__}")
    sub = parser.add_subparsers(dest="command", required=True,
                                metavar="{track,detect,demo}")

    def common(p):
        p.add_argument("--center", type=_pair, metavar="X,Y",
                       help="pupil centre guess in pixels (x is the column)")
        p.add_argument("--radius", type=_range, metavar="MIN,MAX",
                       help="pupil radius range in pixels")
        p.add_argument("--threshold", type=_unit, default=DEFAULT_THRESHOLD,
                       help="confidence from which a pupil counts as found "
                       f"(default {DEFAULT_THRESHOLD})")

    t = sub.add_parser("track", help="a video file or folder of images to a "
                       "CSV of the pupil per frame (no INPUT: the demo)")
    t.add_argument("input", nargs="?", metavar="INPUT",
                   help="video file OpenCV can read, or a folder of images "
                   "(taken in name order)")
    t.add_argument("--csv", metavar="OUT.csv",
                   help="write the CSV here (default: standard output)")
    t.add_argument("--plot", metavar="OUT.png",
                   help="plot pupil size and confidence over time")
    t.add_argument("--overlay", metavar="OUT.avi",
                   help="the input with the fitted ellipse drawn")
    common(t)
    t.set_defaults(run=_track)

    d = sub.add_parser("detect", help="the pupil in one image")
    d.add_argument("image", metavar="IMAGE")
    d.add_argument("--overlay", metavar="OUT.png",
                   help="the image with the fitted ellipse drawn")
    d.add_argument("--json", action="store_true",
                   help="print the result as JSON")
    common(d)
    d.set_defaults(run=_detect)

    m = sub.add_parser("demo", help="track a synthetic eye video with a "
                       "known pupil and compare with the truth")
    m.add_argument("--out", default="pupil-radial-demo", metavar="DIR",
                   help="folder for the video, CSV, plot and overlay "
                   "(default: %(default)s)")
    m.add_argument("--size", choices=("192x192", "640x480"),
                   default="192x192", help="frame size (default %(default)s)")
    m.add_argument("--seconds", type=float, default=6.0)
    m.add_argument("--fps", type=float, default=120.0)
    m.set_defaults(run=_demo)
    return parser


def _numbers(text, count):
    try:
        values = tuple(float(v) for v in text.split(","))
    except ValueError:
        values = ()
    if len(values) != count or not all(math.isfinite(v) for v in values):
        raise argparse.ArgumentTypeError(
            f"expected {count} numbers separated by commas, got {text!r}")
    return values


def _pair(text):
    return _numbers(text, 2)


def _range(text):
    low, high = _numbers(text, 2)
    if not 0 < low < high:
        raise argparse.ArgumentTypeError(
            f"expected MIN,MAX with 0 < MIN < MAX, got {text!r}")
    return low, high


def _unit(text):
    (value,) = _numbers(text, 1)
    if not 0 <= value <= 1:
        raise argparse.ArgumentTypeError(f"expected 0 to 1, got {text!r}")
    return value


def _row(index, time_s, pupil: Pupil):
    if not pupil.found:
        return [index, f"{time_s:.6f}", 0, "", "", "", "", "",
                f"{pupil.confidence:.4f}"]
    (cx, cy), (major, minor) = pupil.center, pupil.axes
    return [index, f"{time_s:.6f}", 1, f"{cx:.4f}", f"{cy:.4f}",
            f"{major:.4f}", f"{minor:.4f}", f"{pupil.angle:.3f}",
            f"{pupil.confidence:.4f}"]


def _track(args) -> int:
    if args.plot and not _have_matplotlib():
        raise UsageError(
            "--plot needs matplotlib (Debian: python3-matplotlib)")
    if args.input is None:
        given = [name for name in ("csv", "plot", "overlay", "center",
                                   "radius") if getattr(args, name)]
        if given:
            raise UsageError(
                "track without INPUT runs the demo into pupil-radial-demo/; "
                f"--{given[0]} needs an INPUT")
        return _demo(_parser().parse_args(["demo"]))
    frames = open_frames(args.input)
    summary = run_tracking(frames, args.csv, args.plot, args.overlay,
                           center=args.center, radius=args.radius,
                           threshold=args.threshold)
    print(summary.line(), file=sys.stderr)
    return 0


class Summary:
    """What a tracking run did, for its closing line."""

    def __init__(self):
        self.frames = self.found = 0
        self.processing = 0.0
        self.decoding = 0.0
        self.times, self.pupils = [], []

    def line(self):
        share = 100 * self.found / self.frames if self.frames else 0.0
        rate = self.frames / self.processing if self.processing else 0.0
        decode = 1e3 * self.decoding / self.frames if self.frames else 0.0
        return (f"frames: {self.frames}, pupil found in {share:.1f} %, "
                f"processing {rate:.0f} frames/s, decoding {decode:.2f} "
                "ms/frame")


def run_tracking(frames, csv_path=None, plot_path=None, overlay_path=None,
                 **options) -> Summary:
    """Tracks `frames` (from open_frames()), writing a CSV row per frame as
    it goes, then the plot; returns the Summary."""
    summary = Summary()
    current = [None]

    def images():
        for frame in frames:
            current[0] = frame
            yield frame.image

    try:
        out = open(csv_path, "w", newline="") if csv_path else sys.stdout
    except OSError as error:
        raise UsageError(f"{csv_path}: {error.strerror}") from None
    overlay = _Overlay(overlay_path, frames.fps) if overlay_path else None
    progress = _progress(frames.count)
    try:
        writer = csv.writer(out, lineterminator="\n")
        writer.writerow(COLUMNS)
        out.flush()
        results = track(images(), **options)
        while True:
            start = time.perf_counter()
            decoded = frames.decode_seconds
            pupil = next(results, None)
            if pupil is None:
                break
            frame = current[0]
            summary.processing += (time.perf_counter() - start
                                   - (frames.decode_seconds - decoded))
            summary.frames += 1
            summary.found += pupil.found
            summary.times.append(frame.time_s)
            summary.pupils.append(pupil)
            writer.writerow(_row(frame.index, frame.time_s, pupil))
            out.flush()  # an interrupted run keeps every row so far
            if overlay:
                overlay.write(frame.image, pupil)
            if progress:
                progress.update()
    finally:
        summary.decoding = frames.decode_seconds
        if progress:
            progress.close()
        if out is not sys.stdout:
            out.close()
        if overlay:
            overlay.close()
    if plot_path:
        plot(summary.times, summary.pupils, plot_path)
    return summary


def _have_matplotlib() -> bool:
    return importlib.util.find_spec("matplotlib") is not None


def _progress(total):
    if not sys.stderr.isatty():
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    return tqdm(total=total, unit="frame", file=sys.stderr, leave=False)


class _Overlay:
    """A video of the frames with each found pupil's ellipse and centre."""

    def __init__(self, path, fps):
        self.path, self.fps, self.writer = str(path), fps or 30.0, None

    def write(self, image, pupil):
        if image is None:
            return
        if self.writer is None:
            rows, cols = image.shape[:2]
            self.writer = cv2.VideoWriter(
                self.path, cv2.VideoWriter_fourcc(*"MJPG"), self.fps,
                (cols, rows))
            if not self.writer.isOpened():
                raise UsageError(f"{self.path}: cannot write a video there")
        self.writer.write(draw(image, pupil))

    def close(self):
        if self.writer is not None:
            self.writer.release()


def _detect(args) -> int:
    image = cv2.imread(args.image, cv2.IMREAD_UNCHANGED)
    if image is None:
        raise InputError(f"{args.image}: not an image OpenCV can read")
    try:
        image = _checks.image(image)
        # A float image's NaN pixels are found while it is read as gray.
        pupil = detect(image, center=args.center, radius=args.radius,
                       threshold=args.threshold)
    except (TypeError, ValueError) as error:
        raise InputError(f"{args.image}: {error}") from None
    if args.overlay:
        shown = image if image.dtype == np.uint8 else cv2.normalize(
            image, None, 0, 255, cv2.NORM_MINMAX).astype(np.uint8)
        if not cv2.imwrite(args.overlay, draw(shown[..., :3] if shown.ndim
                                              == 3 else shown, pupil)):
            raise UsageError(f"{args.overlay}: cannot write an image there")
    if args.json:
        print(json.dumps(_as_dict(pupil)))
    elif pupil.found:
        (cx, cy), (major, minor) = pupil.center, pupil.axes
        print(f"pupil: centre ({cx:.3f}, {cy:.3f}) px, axes {major:.3f} x "
              f"{minor:.3f} px, angle {pupil.angle:.2f} deg, confidence "
              f"{pupil.confidence:.3f}")
    if not pupil.found:
        print(f"pupil-radial: no pupil found in {args.image} (confidence "
              f"{pupil.confidence:.3f})", file=sys.stderr)
        return 1
    return 0


def _as_dict(pupil: Pupil):
    def number(v):
        return None if math.isnan(v) else round(float(v), 6)
    return {"found": bool(pupil.found),
            "center": [number(v) for v in pupil.center],
            "axes": [number(v) for v in pupil.axes],
            "angle": number(pupil.angle),
            "confidence": round(float(pupil.confidence), 6)}


def _demo(args) -> int:
    from . import synthetic
    rows, cols = (192, 192) if args.size == "192x192" else (480, 640)
    if not (args.seconds > 0 and args.fps > 0):
        raise UsageError("--seconds and --fps must be positive")
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    video_path = out / "eye.avi"
    print(f"writing a synthetic eye video ({cols}x{rows}, {args.seconds:g} s "
          f"at {args.fps:g} frames/s) to {video_path}", file=sys.stderr)
    writer = cv2.VideoWriter(str(video_path), cv2.VideoWriter_fourcc(
        *"FFV1"), args.fps, (cols, rows), False)
    if not writer.isOpened():
        raise UsageError(f"{video_path}: cannot write a video there")
    truth = []
    for frame in synthetic.video((rows, cols), args.seconds, args.fps):
        writer.write(frame.image)
        truth.append(frame)
    writer.release()
    plot_path = out / "pupil.png" if _have_matplotlib() else None
    if plot_path is None:
        print("no plot: matplotlib is not installed (Debian: "
              "python3-matplotlib)", file=sys.stderr)
    summary = run_tracking(open_frames(video_path), out / "pupil.csv",
                           plot_path, out / "overlay.avi")
    print(summary.line(), file=sys.stderr)
    written = [out / "pupil.csv"] + ([plot_path] if plot_path else [])
    print(f"wrote {', '.join(map(str, written))} and {out / 'overlay.avi'}")
    print(accuracy(summary.pupils, truth))
    return 0


def accuracy(pupils, truth) -> str:
    """The tracked pupils against the generator's truth, in a few lines."""
    visible = np.array([t.visible >= 0.7 for t in truth])
    shut = np.array([t.visible == 0 for t in truth])
    found = np.array([p.found for p in pupils])
    pairs = [(p, t.pupil) for p, t, v in zip(pupils, truth, visible)
             if v and p.found]
    centre = [math.hypot(p.center[0] - t.cx, p.center[1] - t.cy)
              for p, t in pairs]
    size = [abs(p.axes[0] - t.major) / t.major for p, t in pairs]
    lines = [f"frames with a plainly visible pupil: {visible.sum()}, found "
             f"in {100 * found[visible].mean():.1f} %"]
    if centre:
        lines.append(f"centre error: median {np.median(centre):.3f} px, "
                     f"95th percentile {np.percentile(centre, 95):.3f} px")
        lines.append(f"major-axis error: median {100 * np.median(size):.2f} "
                     "%")
    if shut.any():
        lines.append(f"frames with the lid shut: {shut.sum()}, reported "
                     f"not found in {100 * (~found[shut]).mean():.1f} %")
    return "\n".join(lines)
