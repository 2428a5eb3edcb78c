"""The main job on a built-in example: a synthetic eye video whose pupil is
known, tracked into a CSV, a plot and an overlay, and the error against
the truth."""

from __future__ import annotations

import importlib.util
import math
import sys
from pathlib import Path

import cv2
import numpy as np

from . import _checks, synthetic
from .recording import OutputError, check_video, run_tracking
from .track import open_frames


def run_demo(args) -> int:
    rows, cols = (192, 192) if args.size == "192x192" else (480, 640)
    out = Path(args.out)
    try:
        # Its videos are written by OpenCV.
        _checks.opencv_name(out)
        out.mkdir(parents=True, exist_ok=True)
    except ValueError as error:
        raise OutputError(f"--out {error}") from None
    except OSError as error:
        raise OutputError(f"--out {out}: {error.strerror}") from None
    video_path = out / "eye.avi"
    print(f"writing a synthetic eye video ({cols}x{rows}, {args.seconds:g} s "
          f"at {args.fps:g} frames/s) to {video_path}", file=sys.stderr)
    writer = cv2.VideoWriter(str(video_path), cv2.VideoWriter_fourcc(
        *"FFV1"), args.fps, (cols, rows), False)
    if not writer.isOpened():
        raise OutputError(f"{video_path}: cannot write a video there")
    truth = []
    for frame in synthetic.video((rows, cols), args.seconds, args.fps):
        writer.write(frame.image)
        truth.append(frame)
    writer.release()
    check_video(video_path, len(truth))
    plotting = importlib.util.find_spec("matplotlib") is not None
    plot_path = out / "pupil.png" if plotting else None
    if plot_path is None:
        print("no plot: matplotlib is not installed (Debian: "
              "python3-matplotlib)", file=sys.stderr)
    summary = run_tracking(open_frames(video_path), out / "pupil.csv",
                           plot_path, out / "overlay.avi", keep=True)
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
