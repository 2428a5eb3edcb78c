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
import os
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
           "minor_px", "angle_deg", "confidence", "status")
# What each output may be written as.
_SUFFIXES = {"--csv": (".csv",), "--plot": (".png", ".pdf", ".svg", ".jpg"),
             "--overlay": (".avi",)}


class UsageError(Exception):
    """A mistake of the user's: one line on stderr and exit status 2."""


def main(argv=None) -> int:
    parser = _parser()
    args = parser.parse_args(_negative_values(
        sys.argv[1:] if argv is None else list(argv)))
    # OpenCV's own warnings would only come before our one line; it reads
    # this when it first logs.
    os.environ.setdefault("OPENCV_LOG_LEVEL", "ERROR")
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


def _negative_values(argv):
    """`--center -10,-12` as `--center=-10,-12`: argparse would take a
    value that starts with a minus for an option."""
    out = []
    for arg in argv:
        if (out and out[-1] in ("--center", "--radius") and len(arg) > 1
                and arg[0] == "-" and (arg[1].isdigit() or arg[1] == ".")):
            out[-1] = f"{out[-1]}={arg}"
        else:
            out.append(arg)
    return out


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
                       help="hint: where to look for the pupil first, in "
                       "pixels (x is the column); a pupil elsewhere is "
                       "still found")
        p.add_argument("--radius", type=_range, metavar="MIN,MAX",
                       help="hint: the pupil radius range to search first, "
                       "in pixels; a pupil of another size is still found")
        p.add_argument("--threshold", type=_unit, default=DEFAULT_THRESHOLD,
                       help="confidence from which a pupil counts as found "
                       f"(default {DEFAULT_THRESHOLD})")

    t = sub.add_parser("track", help="a video file or folder of images to a "
                       "CSV of the pupil per frame")
    t.add_argument("input", metavar="INPUT",
                   help="video file OpenCV can read, or a folder of images "
                   "(taken in name order)")
    t.add_argument("--fps", type=_rate, metavar="RATE",
                   help="frames per second: times for a folder's images "
                   "(without it, a folder is timed in frames), or instead "
                   "of a video's own")
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
        wanted = "a number" if count == 1 else \
            f"{count} numbers separated by commas"
        raise argparse.ArgumentTypeError(f"expected {wanted}, got {text!r}")
    return values


def _rate(text):
    (value,) = _numbers(text, 1)
    if not value > 0:
        raise argparse.ArgumentTypeError(f"expected a positive rate, got "
                                         f"{text!r}")
    return value


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


def _row(frame, pupil: Pupil):
    start = [frame.index, f"{frame.time_s:.6f}"]
    if frame.image is None:
        return start + [0] + [""] * 6 + ["unreadable"]
    if not pupil.found:
        return start + [0] + [""] * 5 + [f"{pupil.confidence:.4f}",
                                          "not_found"]
    (cx, cy), (major, minor) = pupil.center, pupil.axes
    return start + [1, f"{cx:.4f}", f"{cy:.4f}", f"{major:.4f}",
                    f"{minor:.4f}", f"{pupil.angle:.3f}",
                    f"{pupil.confidence:.4f}", "found"]


def _track(args) -> int:
    if args.plot and not _have_matplotlib():
        raise UsageError(
            "--plot needs matplotlib (Debian: python3-matplotlib)")
    for option in ("csv", "plot", "overlay"):
        _check_output(getattr(args, option), f"--{option}")
    frames = open_frames(args.input, args.fps)
    if args.radius and frames.shape and args.radius[1] > max(frames.shape):
        rows, cols = frames.shape
        raise UsageError(f"--radius: MAX {args.radius[1]:g} px is beyond the "
                         f"{cols}x{rows} frames")
    summary = run_tracking(frames, args.csv, args.plot, args.overlay,
                           center=args.center, radius=args.radius,
                           threshold=args.threshold)
    if summary.unreadable == summary.frames:
        raise InputError(f"{args.input}: no frame could be read")
    print(summary.line(), file=sys.stderr)
    # Containers estimate their frame counts, a little high at times.
    if frames.count and frames.read < frames.count - max(
            2, frames.count // 100):
        print(f"pupil-radial: warning: {args.input} announced "
              f"{frames.count} frames; it ended after {frames.read}",
              file=sys.stderr)
    return 0


def _check_output(path, option, suffixes=None):
    """Refuses, before any work, an output whose name or folder cannot be
    meant."""
    if path is None:
        return
    suffixes = suffixes or _SUFFIXES[option]
    target = Path(path)
    if target.suffix.lower() not in suffixes:
        raise UsageError(f"{option} {path}: expected a name ending in "
                         f"{' or '.join(suffixes)}")
    folder = target.parent
    if not folder.is_dir():
        raise UsageError(f"{option} {path}: there is no folder {folder}")
    if not os.access(folder, os.W_OK) or (
            target.exists() and not os.access(target, os.W_OK)):
        raise UsageError(f"{option} {path}: not writable")


class Summary:
    """What a tracking run did, for its closing line."""

    def __init__(self):
        self.frames = self.found = self.unreadable = 0
        self.processing = 0.0
        self.decoding = 0.0
        self.times, self.pupils = [], []

    def line(self):
        share = 100 * self.found / self.frames if self.frames else 0.0
        rate = self.frames / self.processing if self.processing else 0.0
        decode = 1e3 * self.decoding / self.frames if self.frames else 0.0
        return (f"frames: {self.frames} ({self.unreadable} unreadable), "
                f"pupil found in {share:.1f} %, processing {rate:.0f} "
                f"frames/s, decoding {decode:.2f} ms/frame")


def run_tracking(frames, csv_path=None, plot_path=None, overlay_path=None,
                 **options) -> Summary:
    """Tracks `frames` (from open_frames()), writing a CSV row per frame as
    it goes, then the plot (also of an interrupted run's rows); returns the
    Summary."""
    summary = Summary()
    try:
        out = open(csv_path, "w", newline="") if csv_path else sys.stdout
    except OSError as error:
        raise UsageError(f"{csv_path}: {error.strerror}") from None
    overlay = _Overlay(overlay_path, frames.fps) if overlay_path else None
    try:
        _track_rows(frames, csv.writer(out, lineterminator="\n"), out,
                    overlay, summary, options)
    except OSError as error:  # a disk that fills up, a closed pipe
        where = csv_path or overlay_path or "standard output"
        raise UsageError(f"{where}: {error.strerror or error}") from None
    finally:
        summary.decoding = frames.decode_seconds
        if out is not sys.stdout:
            out.close()
        if overlay:
            overlay.close()
        if plot_path and summary.frames:
            folder = frames.fps is None and frames.path.is_dir()
            try:
                plot(summary.times, summary.pupils, plot_path,
                     "frame" if folder else "time (s)")
            except (OSError, ValueError) as error:
                raise UsageError(f"{plot_path}: {error}") from None
    return summary


def _track_rows(frames, writer, out, overlay, summary, options):
    current = [None]

    def images():
        for frame in frames:
            current[0] = frame
            yield frame.image

    progress = _progress(frames.count)
    try:
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
            summary.unreadable += frame.image is None
            summary.times.append(frame.time_s)
            summary.pupils.append(pupil)
            writer.writerow(_row(frame, pupil))
            out.flush()  # an interrupted run keeps every row so far
            if overlay:
                overlay.write(frame.image, pupil)
            if progress:
                progress.update()
    finally:
        if progress:
            progress.close()


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
    _check_output(args.overlay, "--overlay",
                  (".png", ".jpg", ".jpeg", ".bmp", ".tif", ".tiff"))
    if not Path(args.image).is_file():
        raise InputError(f"{args.image}: no such file")
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
