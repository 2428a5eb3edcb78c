"""The `pupil-radial` command: track pupils through a video or a folder of
images into a CSV (and a plot and an overlay video), measure one image, or
run the whole job on a synthetic eye video whose truth is known.

Exit status: 0 done (a pupil found, for detect), 1 no pupil found (detect),
2 usage or input error, 130 interrupted (Ctrl-C), 143 terminated (SIGTERM).
"""

from __future__ import annotations

import argparse
import csv
import errno
import importlib.util
import io
import json
import math
import os
import signal
import sys
import threading
from pathlib import Path

import cv2
import numpy as np

from . import __version__
from . import _checks, arguments, batch
from .calibrate import SQUARE_MM_RANGE, chessboard_scale
from .clean import Cleaning, clean_csv
from .demo import run_demo as _demo
from .detect import detect
from ._files import write_file
from .figures import draw, plot_clean
from .image_files import IMAGE_SUFFIXES, page_count, read_image
from .pupil import DEFAULT_THRESHOLD, Pupil
from .recording import OutputError, check_output, track_recording
from .track import InputError, first_video_frame


class UsageError(Exception):
    """A mistake of the user's: one line on stderr and exit status 2."""


class Terminated(KeyboardInterrupt):
    """SIGTERM (`kill`, `timeout`, a cluster's time limit), met as Ctrl-C
    is: the files finished with the rows so far, not cut off."""


def _terminate(signum, frame):
    raise Terminated


class _ClosedOutput(io.TextIOBase):
    """Standard output for a command started without one (`>&-`), where
    Python has None: a write fails as on a closed descriptor, and is told
    as any failed write is, rather than as a traceback."""

    def writable(self):
        return True

    def write(self, text):
        raise OSError(errno.EBADF, os.strerror(errno.EBADF))


def main(argv=None) -> int:
    if sys.stderr is None:
        # Started with `2>&-`: print() would send messages to standard
        # output, into the CSV there.
        sys.stderr = open(os.devnull, "w")
    parser = _parser()
    args = parser.parse_args(_negative_values(
        sys.argv[1:] if argv is None else list(argv)))
    # Only now: without standard output, argparse prints --help to
    # standard error.
    if sys.stdout is None:
        sys.stdout = _ClosedOutput()
    # OpenCV's own warnings would only come before our one line; it reads
    # this when it first logs.
    os.environ.setdefault("OPENCV_LOG_LEVEL", "ERROR")
    # Only the main thread may set a handler (a caller may run main() in
    # another); the caller's own is put back.
    own = threading.current_thread() is threading.main_thread()
    previous = signal.signal(signal.SIGTERM, _terminate) if own else None
    try:
        status = args.run(args)
        # A full disk behind standard output shows when it is flushed:
        # here, where it can be told, rather than at exit.
        sys.stdout.flush()
        return status
    except (UsageError, InputError, OutputError) as error:
        print(f"pupil-radial: {error}", file=sys.stderr)
        return 2
    except KeyboardInterrupt as stop:
        ended = "terminated" if isinstance(stop, Terminated) else \
            "interrupted"
        print(f"pupil-radial: {ended}; what was written so far is kept",
              file=sys.stderr)
        return 143 if isinstance(stop, Terminated) else 130
    except BrokenPipeError:  # `pupil-radial track ... | head`
        return 0
    except OSError as error:
        # Files' errors are told where they are opened and written; one
        # without a name that gets this far is standard output's.
        print(f"pupil-radial: {error.filename or 'standard output'}: "
              f"{error.strerror or error}", file=sys.stderr)
        return 2
    finally:
        if own:
            signal.signal(signal.SIGTERM, previous)


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
                                metavar="{track,detect,calibrate,clean,demo}")
    commands = (
        ("track", "a video file or folder of images to a CSV of the pupil "
         "per frame", _track_options, _track),
        ("detect", "the pupil in one image", _detect_options, _detect),
        ("calibrate", "millimetres per pixel from a printed checkerboard "
         "imaged where the eye is", _calibrate_options, _calibrate),
        ("clean", "a track CSV's pupil size without blinks and spikes, "
         "short gaps filled, smoothed", _clean_options, _clean),
        ("demo", "track a synthetic eye video with a known pupil and "
         "compare with the truth", _demo_options, _demo))
    for name, about, options, run in commands:
        command = sub.add_parser(name, help=about)
        options(command)
        command.set_defaults(run=run)
    return parser


def _common(p):
    """The options of every command that finds pupils."""
    p.add_argument("--center", type=arguments.pair, metavar="X,Y",
                   help="hint: where to look for the pupil first, in "
                   "pixels (x is the column); a pupil elsewhere is "
                   "still found")
    p.add_argument("--radius", type=arguments.radius_range, metavar="MIN,MAX",
                   help="hint: the pupil radius range to search first, "
                   "in pixels; a pupil of another size is still found")
    p.add_argument("--threshold", type=arguments.unit,
                   default=DEFAULT_THRESHOLD,
                   help="confidence from which a pupil counts as found "
                   f"(default {DEFAULT_THRESHOLD})")
    p.add_argument("--bright-pupil", action="store_true",
                   help="the pupil shows bright in a darker iris "
                   "(on-axis light, two-photon rigs)")


def _track_options(t):
    """track INPUT...: recordings to CSVs."""
    t.add_argument("inputs", nargs="+", metavar="INPUT",
                   help="video file OpenCV can read, a folder of images "
                   "(in name order, numbers by their value), or an image "
                   "file (a multi-page TIFF: a frame per page); several "
                   "with --out-dir")
    t.add_argument("--fps", type=arguments.frame_rate, metavar="RATE",
                   help="frames per second: times for a folder's images "
                   "or a TIFF's pages (without it, they are timed in "
                   "frames), or instead of a video's own")
    t.add_argument("--csv", metavar="OUT.csv",
                   help="write the CSV here (default: standard output)")
    t.add_argument("--plot", metavar="OUT.png", nargs="?", const="",
                   help="plot pupil size and confidence over time (with "
                   "--out-dir: no name, one per recording)")
    t.add_argument("--overlay", metavar="OUT.avi", nargs="?", const="",
                   help="the input with the fitted ellipse drawn, .avi "
                   "(Motion JPEG) or .mp4 (MPEG-4) (with "
                   "--out-dir: no name, one per recording)")
    t.add_argument("--mm-per-px", type=arguments.scale,
                   metavar="VALUE_OR_FILE",
                   help="the camera's scale, a number or the JSON file "
                   "`calibrate` writes: the CSV gains major_mm,minor_mm and "
                   "the plot shows mm")
    t.add_argument("--out-dir", metavar="DIR", help="one CSV per INPUT in "
                   "DIR, named after it (and plots and overlays when asked)")
    t.add_argument("--jobs", type=arguments.jobs, metavar="N",
                   help="with --out-dir: "
                   "recordings tracked at once, each in its own process "
                   "(default: the number of cores)")
    _common(t)


def _detect_options(d):
    """detect IMAGE: one image."""
    d.add_argument("image", metavar="IMAGE")
    d.add_argument("--overlay", metavar="OUT.png",
                   help="the image with the fitted ellipse drawn")
    d.add_argument("--json", action="store_true",
                   help="print the result as JSON")
    _common(d)


def _calibrate_options(c):
    """calibrate IMAGE: the scale from a checkerboard."""
    c.add_argument("image", metavar="IMAGE")
    c.add_argument("--square-mm", type=arguments.within(*SQUARE_MM_RANGE),
                   required=True, metavar="S",
                   help="the printed squares' side in mm")
    c.add_argument("--pattern", type=arguments.pattern, default=(9, 6),
                   metavar="COLSxROWS", help="inner corners (default 9x6)")
    c.add_argument("--out", metavar="scale.json",
                   help="write the scale here, for track --mm-per-px")


def _clean_options(k):
    """clean INPUT.csv: a cleaned pupil-size trace."""
    k.add_argument("input", metavar="INPUT.csv")
    k.add_argument("--out", metavar="OUTPUT.csv",
                   help="the cleaned trace (default: standard output)")
    k.add_argument("--max-gap", type=arguments.positive,
                   default=Cleaning.max_gap, metavar="SECONDS",
                   help="longest gap filled by interpolation (default "
                   "%(default)s s); longer ones stay empty")
    k.add_argument("--fps", type=arguments.frame_rate, metavar="RATE",
                   help="time_s = frame / RATE: for a track of images "
                   "without --fps (timed in frames), or to override")
    k.add_argument("--plot", metavar="OUT.png",
                   help="raw and clean traces, filled stretches marked")


def _demo_options(m):
    """demo: the built-in example."""
    m.add_argument("--out", default="pupil-radial-demo", metavar="DIR",
                   help="folder for the video, CSV, plot and overlay "
                   "(default: %(default)s)")
    m.add_argument("--size", choices=("192x192", "640x480"),
                   default="192x192", help="frame size (default %(default)s)")
    # A second of video at least: the example's blinks and flash take six.
    m.add_argument("--seconds", type=arguments.within(1, 600), default=6.0,
                   help="length, 1 to 600 (default %(default)g)")
    m.add_argument("--fps", type=arguments.within(10, 1000), default=120.0,
                   help="frame rate, 10 to 1000 (default %(default)g)")


def _track(args) -> int:
    _plotting(args.plot)
    options = dict(center=args.center, radius=args.radius,
                   threshold=args.threshold, bright_pupil=args.bright_pupil)
    if args.out_dir is not None or len(args.inputs) > 1:
        return _track_many(args, options)
    for option in ("csv", "plot", "overlay"):
        if getattr(args, option) == "":
            raise UsageError(f"--{option} needs a file name (or --out-dir)")
        check_output(getattr(args, option), f"--{option}",
                     inputs=args.inputs)
    summary, warning = track_recording(
        args.inputs[0], args.csv, args.plot, args.overlay, args.fps,
        args.mm_per_px, **options)
    print(summary.line(), file=sys.stderr)
    hint = summary.hint(args.bright_pupil)
    if hint:
        print(f"pupil-radial: note: {hint}", file=sys.stderr)
    if warning:
        print(f"pupil-radial: warning: {warning}", file=sys.stderr)
    return 0


def _track_many(args, options) -> int:
    if args.out_dir is None:
        raise UsageError("several INPUTs need --out-dir")
    if args.csv is not None or args.plot or args.overlay:
        raise UsageError("with --out-dir, outputs are named after each "
                         "INPUT: give --plot and --overlay without a name, "
                         "and no --csv")
    out = Path(args.out_dir)
    try:
        out.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise UsageError(f"--out-dir {out}: {error.strerror}") from None
    if not os.access(out, os.W_OK):
        raise UsageError(f"--out-dir {out}: not a writable folder")
    try:
        jobs = batch.jobs_for(args.inputs, out, args.plot == "",
                              args.overlay == "", fps=args.fps,
                              mm_per_px=args.mm_per_px, options=options)
    except ValueError as error:
        raise UsageError(str(error)) from None
    for job in jobs:
        for path, option in ((job.csv, "--csv"), (job.plot, "--plot"),
                             (job.overlay, "--overlay")):
            check_output(path, option, inputs=args.inputs)
    workers = min(args.jobs or batch.default_workers(), len(jobs))
    return 2 if batch.run_all(jobs, workers) else 0


def _calibrate(args) -> int:
    image = _read_image(args.image)
    check_output(args.out, "--out", (".json",))
    try:
        scale = chessboard_scale(image, args.square_mm, args.pattern)
    except ValueError as error:  # NoBoardError too
        raise InputError(f"{args.image}: {error}") from None
    # The file first: a standard output that fails does not cost it.
    if args.out:
        try:
            scale.save(args.out)
        except OSError as error:
            raise UsageError(f"{args.out}: {error.strerror}") from None
    print(f"mm_per_px {scale.mm_per_px:.6g} (squares of "
          f"{scale.spacing_px:.3f} px, spread {100 * scale.spread:.2f} %)")
    return 0


def _clean(args) -> int:
    check_output(args.out, "--out", (".csv",), inputs=(args.input,))
    _plotting(args.plot)
    check_output(args.plot, "--plot", inputs=(args.input,))
    try:
        time_s, diameter, cleaned, table = clean_csv(
            args.input, Cleaning(max_gap=args.max_gap), args.fps)
    except OSError as error:
        raise InputError(f"{error.filename}: {error.strerror}") from None
    except ValueError as error:
        raise InputError(str(error)) from None
    text = io.StringIO()
    csv.writer(text, lineterminator="\n").writerows(table)
    try:
        if args.out is not None:
            write_file(args.out, text.getvalue().encode())
        else:
            sys.stdout.write(text.getvalue())
            sys.stdout.flush()
    except BrokenPipeError:
        raise
    except OSError as error:  # a disk that fills up
        raise OutputError.of(args.out or "standard output",
                             error) from None
    if args.plot:
        try:
            plot_clean(time_s, diameter, cleaned, args.plot)
        except (OSError, ValueError) as error:
            raise OutputError.of(args.plot, error) from None
    print(f"samples: {time_s.size}, interpolated: "
          f"{int(cleaned.interpolated.sum())}, rejected: "
          f"{int(cleaned.rejected.sum())}, empty: "
          f"{int(np.isnan(cleaned.diameter).sum())}", file=sys.stderr)
    return 0


def _have_matplotlib() -> bool:
    return importlib.util.find_spec("matplotlib") is not None


def _plotting(plot):
    if plot is not None and not _have_matplotlib():
        raise UsageError(
            "--plot needs matplotlib (Debian: python3-matplotlib)")


def _detect(args) -> int:
    check_output(args.overlay, "--overlay",
                 (".png", ".jpg", ".jpeg", ".bmp", ".tif", ".tiff"),
                 inputs=(args.image,))
    image = _read_image(args.image)
    try:
        image = _checks.image(image)
        # A float image's NaN pixels are found while it is read as gray.
        pupil = detect(image, center=args.center, radius=args.radius,
                       threshold=args.threshold,
                       bright_pupil=args.bright_pupil)
    except (TypeError, ValueError) as error:
        raise InputError(f"{args.image}: {error}") from None
    if args.overlay:
        # Encoded here and written by Python: a failed write is told with
        # its reason, and the encoder's own error line stays off stderr.
        ok, data = cv2.imencode(Path(args.overlay).suffix, draw(
            image[..., :3] if image.ndim == 3 else image, pupil))
        if not ok:
            raise OutputError(f"{args.overlay}: cannot encode the image")
        try:
            write_file(args.overlay, data.tobytes())
        except OSError as error:
            raise OutputError.of(args.overlay, error) from None
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


def _read_image(path):
    if not Path(path).exists():
        raise InputError(f"{path}: no such file")
    if not Path(path).is_file():
        raise InputError(f"{path}: not an image file")
    # Depth and colour kept, and the camera's EXIF orientation applied as
    # viewers and `track` apply it (IMREAD_UNCHANGED would not): the same
    # file, the same coordinates.
    try:
        # OpenCV knows an image by its first bytes: a video given here by
        # mistake, gigabytes long, is not read into memory.
        image_like = cv2.haveImageReader(_checks.opencv_name(path))
    except ValueError:  # a name OpenCV cannot take: its bytes are read
        image_like = True
    image = read_image(path, cv2.IMREAD_ANYDEPTH | cv2.IMREAD_ANYCOLOR) \
        if image_like else None
    try:
        video = image is None and Path(path).suffix.lower() not in \
            IMAGE_SUFFIXES and first_video_frame(path) is not None
    except ValueError as error:  # a name OpenCV cannot take
        raise InputError(str(error)) from None
    if video:
        raise InputError(f"{path}: a video; `pupil-radial track` measures "
                         "its frames")
    if image is None:
        raise InputError(f"{path}: not an image OpenCV can read, or cut "
                         "short")
    try:
        pages = page_count(path)
    except ValueError:  # the image was read; OpenCV cannot count its pages
        pages = 1
    if pages > 1:
        print(f"pupil-radial: warning: {path} holds {pages} images; this "
              "is the first (track reads them all)", file=sys.stderr)
    return image


def _as_dict(pupil: Pupil):
    def number(v):
        return None if math.isnan(v) else round(float(v), 6)
    return {"found": bool(pupil.found),
            "center": [number(v) for v in pupil.center],
            "axes": [number(v) for v in pupil.axes],
            "angle": number(pupil.angle),
            "confidence": round(float(pupil.confidence), 6)}
