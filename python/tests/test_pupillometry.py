"""Pupil size a researcher can report: the camera's scale from a drawn
checkerboard, millimetres in the CSV, cleaned traces, many recordings at
once."""

import csv
import json
import math
import os
import signal
import sys
from pathlib import Path

import numpy as np
import pytest

cv2 = pytest.importorskip("cv2")

from pupil_radial import batch, cli, synthetic  # noqa: E402
from pupil_radial.calibrate import chessboard_scale, read_scale  # noqa: E402
from pupil_radial.clean import CLEAN_COLUMNS, clean  # noqa: E402

_RUN = batch.run


def board(square=25, columns=9, rows=6, angle=17.0, margin=60):
    """A checkerboard of columns x rows inner corners, turned by angle."""
    h, w = (rows + 1) * square, (columns + 1) * square
    image = np.full((h + 2 * margin, w + 2 * margin), 255, np.uint8)
    for r in range(rows + 1):
        for c in range(columns + 1):
            if (r + c) % 2 == 0:
                image[margin + r * square:margin + (r + 1) * square,
                      margin + c * square:margin + (c + 1) * square] = 0
    size = int(math.hypot(*image.shape)) + 2
    turn = cv2.getRotationMatrix2D((image.shape[1] / 2, image.shape[0] / 2),
                                   angle, 1.0)
    turn[:, 2] += (size - image.shape[1]) / 2, (size - image.shape[0]) / 2
    return cv2.warpAffine(image, turn, (size, size), borderValue=255)


def rows_of(path):
    with open(path, newline="") as f:
        return list(csv.reader(f))


@pytest.mark.parametrize("angle", [0.0, 17.0, 50.0])
def test_the_scale_of_a_turned_board(angle):
    scale = chessboard_scale(board(angle=angle), 2.0)
    assert scale.mm_per_px == pytest.approx(0.08, rel=0.005)
    assert scale.pattern == (9, 6) and scale.spread < 0.02


def test_a_board_at_any_depth_and_layout():
    # OpenCV's corner finder asserted on colour other than 8, 16 or
    # 32-bit float, and on float16 or uint32 gray.
    gray = board()
    for image in (np.dstack([gray] * 3).astype(np.float64),
                  np.dstack([gray] * 4).astype(np.int32),
                  gray.astype(np.float16), gray.astype(np.uint32) * 4096):
        scale = chessboard_scale(image, 2.0)
        assert scale.mm_per_px == pytest.approx(0.08, rel=0.005)


def test_calibrate_then_track_in_millimetres(tmp_path, capsys):
    image, out = tmp_path / "board.png", tmp_path / "scale.json"
    cv2.imwrite(str(image), board())
    assert cli.main(["calibrate", str(image), "--square-mm", "2", "--out",
                     str(out)]) == 0
    printed = capsys.readouterr().out
    scale = json.loads(out.read_text())["mm_per_px"]
    assert printed.startswith(f"mm_per_px {scale:.6g}")
    assert scale == pytest.approx(0.08, rel=0.005)
    assert read_scale(str(out)) == scale and read_scale("0.05") == 0.05
    edited = tmp_path / "edited.json"  # saved again, with a byte order mark
    edited.write_bytes(b"\xef\xbb\xbf" + out.read_bytes())
    assert read_scale(str(edited)) == scale
    frames = tmp_path / "frames"
    frames.mkdir()
    for k, frame in enumerate(synthetic.video((96, 96), seconds=0.2,
                                              fps=30.0, seed=4)):
        cv2.imwrite(str(frames / f"{k}.png"), frame.image)
    track_csv = tmp_path / "t.csv"
    assert cli.main(["track", str(frames), "--csv", str(track_csv),
                     "--mm-per-px", str(out)]) == 0
    rows = rows_of(track_csv)
    assert rows[0][-3:] == ["status", "major_mm", "minor_mm"]
    found = [r for r in rows[1:] if r[9] == "found"]
    assert found
    for r in found:
        assert float(r[10]) == pytest.approx(float(r[5]) * scale, abs=1e-4)
        assert float(r[11]) == pytest.approx(float(r[6]) * scale, abs=1e-4)
    # ... and a cleaned trace of it keeps the scale.
    cleaned = tmp_path / "c.csv"
    assert cli.main(["clean", str(track_csv), "--out", str(cleaned),
                     "--fps", "30"]) == 0
    assert tuple(rows_of(cleaned)[0]) == CLEAN_COLUMNS + (
        "diameter_clean_mm",)


def test_no_board_is_one_line_and_status_2(tmp_path, capsys):
    image = tmp_path / "eye.png"
    # An image too small for OpenCV's thresholds ended in its assertion.
    for size in ((120, 160), (10, 10)):
        cv2.imwrite(str(image), synthetic.eye(size, seed=1).image)
        assert cli.main(["calibrate", str(image), "--square-mm", "2"]) == 2
        err = capsys.readouterr().err
        assert "no checkerboard of 9x6" in err and err.count("\n") == 1
    # Squares in micrometres: a scale track refuses was written unsaid.
    cv2.imwrite(str(image), board())
    out = tmp_path / "scale.json"
    assert cli.main(["calibrate", str(image), "--square-mm", "2000",
                     "--out", str(out)]) == 2
    err = capsys.readouterr().err
    assert "are the squares in mm?" in err and err.count("\n") == 1
    assert not out.exists()
    with pytest.raises(SystemExit):
        cli.main(["track", "x.avi", "--mm-per-px", "-1"])
    # Pixels per mm given for mm per pixel: pupils of a metre, unsaid.
    with pytest.raises(ValueError, match="pixels per mm"):
        read_scale("20")
    # A device or a video named by mistake was read whole (/dev/zero: until
    # memory ran out) before it was refused.
    if os.path.exists("/dev/zero"):
        with pytest.raises(ValueError, match="not a number nor a JSON"):
            read_scale("/dev/zero")


def trace(seconds=20.0, fps=60.0, seed=0):
    """A smooth pupil diameter with noise, and its truth."""
    rng = np.random.default_rng(seed)
    t = np.arange(int(seconds * fps)) / fps
    truth = 40 + 6 * np.sin(t / 3.0) - 8 * np.exp(-((t - 9) / 1.2) ** 2)
    return t, truth, truth + rng.normal(0, 0.15, t.size), rng


def test_cleaning_fills_blinks_rejects_spikes_and_leaves_long_gaps():
    t, truth, d, rng = trace()
    fps = 60.0
    blinks = []
    for start in (3.0, 7.5, 13.0):  # 200 ms shut, lid-cut frames around
        k = int(start * fps)
        d[k:k + 12] = np.nan
        d[k - 3:k] *= (0.9, 0.8, 0.7)
        d[k + 12:k + 15] *= (0.7, 0.85, 0.95)
        blinks.append(slice(k - 3, k + 15))
    spikes = rng.choice(np.flatnonzero(np.isfinite(d) & (t < 15)), 12,
                        replace=False)
    d[spikes] *= rng.choice([1.5, 0.6], spikes.size)
    gap = (t >= 16.0) & (t < 18.0)
    d[gap] = np.nan
    result = clean(t, d)
    for blink in blinks:
        filled = result.diameter[blink]
        assert np.isfinite(filled).all()
        assert np.median(np.abs(filled - truth[blink]) / truth[blink]) < 0.03
        assert result.interpolated[blink].any()
    assert np.median(np.abs(result.diameter[spikes] - truth[spikes])
                     / truth[spikes]) < 0.03
    assert np.isnan(result.diameter[gap]).all()
    assert not result.interpolated[gap].any()
    # The smooth parts keep their shape: the dip at 9 s is no outlier.
    kept = np.isfinite(result.diameter)
    assert np.percentile(np.abs(result.diameter - truth)[kept], 95) < 0.5


def test_a_lone_sample_amid_rejected_ones_is_no_anchor_for_the_fill():
    # A lid cuts the ellipse for 7 frames at 25 frames/s: the filters
    # reject all but the third, and the gap was filled through it, a dip
    # of a quarter of the pupil that never happened.
    rng = np.random.default_rng(3)
    t = np.arange(250) / 25.0
    truth = 100 + 3 * np.sin(t / 2)
    d = truth + rng.normal(0, 0.3, t.size)
    cuts = [slice(k, k + 7) for k in (60, 150)]
    for cut in cuts:
        d[cut] = truth[cut] * (0.84, 0.71, 0.69, 0.66, 0.73, 1.05, 1.13)
    result = clean(t, d)
    for cut in cuts:
        assert result.rejected[cut].all()
        assert np.abs(result.diameter[cut] / truth[cut] - 1).max() < 0.01
    # Short runs at either end of a recording are kept.
    d[3:6] = d[-6:-3] = np.nan
    result = clean(t, d)
    assert np.isfinite(result.diameter[:2]).all()
    assert np.isfinite(result.diameter[-2:]).all()


def write_track_csv(path, t, d):
    """A `track` CSV of times `t` and diameters `d` (NaN: not found)."""
    with open(path, "w", newline="") as f:
        writer = csv.writer(f)
        writer.writerow(("frame", "time_s", "found", "center_x", "center_y",
                         "major_px", "minor_px", "angle_deg", "confidence",
                         "status"))
        for k, v in enumerate(d):
            ok = math.isfinite(v)
            writer.writerow([k, f"{t[k]:.6f}", int(ok), 1, 1,
                             f"{v:.4f}" if ok else "", 1, 0, 0.9,
                             "found" if ok else "not_found"])
    return path


def test_the_clean_command_writes_the_columns_and_the_plot(tmp_path, capsys):
    t, truth, d, _ = trace(seconds=4.0)
    d[100:110] = np.nan
    source = write_track_csv(tmp_path / "t.csv", t, d)
    out = tmp_path / "c.csv"
    plot = ["--plot", str(tmp_path / "c.png")] if cli._have_matplotlib() \
        else []
    assert cli.main(["clean", str(source), "--out", str(out),
                     "--max-gap", "0.1"] + plot) == 0
    rows = rows_of(out)
    assert tuple(rows[0]) == CLEAN_COLUMNS and len(rows) == t.size + 1
    assert [r[4] for r in rows[101:111]] == ["0"] * 10  # 0.17 s > 0.1 s
    assert not plot or cv2.imread(plot[1]) is not None
    assert cli.main(["clean", str(tmp_path / "none.csv"), "--out",
                     str(out)]) == 2
    # Without --out the trace goes to standard output, messages not.
    capsys.readouterr()
    assert cli.main(["clean", str(source)]) == 0
    printed = capsys.readouterr()
    assert printed.out.splitlines()[0] == ",".join(CLEAN_COLUMNS)
    assert len(printed.out.splitlines()) == t.size + 1
    assert "samples:" in printed.err
    # Saved again by a spreadsheet: a byte order mark, CRLF line ends.
    again = tmp_path / "again.csv"
    again.write_bytes(b"\xef\xbb\xbf" + source.read_bytes().replace(
        b"\r\n", b"\n").replace(b"\n", b"\r\n"))
    assert cli.main(["clean", str(again)]) == 0
    assert capsys.readouterr().out == printed.out


def test_a_track_timed_in_frames_is_cleaned_only_with_its_rate(tmp_path,
                                                               capsys):
    # Images tracked without --fps: read as seconds, a 10-frame blink was a
    # 10 s gap, left empty, and the 50 ms margins less than a frame.
    t, truth, d, _ = trace(seconds=4.0, fps=60.0)
    d[100:110] = np.nan
    framed = write_track_csv(tmp_path / "f.csv", np.arange(t.size), d)
    out = tmp_path / "c.csv"
    assert cli.main(["clean", str(framed), "--out", str(out)]) == 2
    assert "--fps" in capsys.readouterr().err and not out.exists()
    assert cli.main(["clean", str(framed), "--out", str(out), "--fps",
                     "60"]) == 0
    rows = rows_of(out)
    assert float(rows[-1][1]) == pytest.approx(t[-1], abs=1e-5)
    # The blink and the margins around it filled.
    assert [int(r[0]) for r in rows[1:] if r[4] == "1"] == list(
        range(98, 112))


def test_clean_takes_an_empty_track_and_refuses_what_is_none(tmp_path,
                                                             capsys):
    header = ("frame,time_s,found,center_x,center_y,major_px,minor_px,"
              "angle_deg,confidence,status\n")
    empty = tmp_path / "empty.csv"
    empty.write_text(header)
    out = tmp_path / "c.csv"
    assert cli.main(["clean", str(empty), "--out", str(out)]) == 0
    assert rows_of(out) == [list(CLEAN_COLUMNS)]
    for name, text, words in (
            ("binary.csv", b"\xff\xfe\x00\x01", "not a CSV that"),
            ("nan.csv", (header + "0,nan,1,1,1,10,9,0,0.9,found\n").encode(),
             "not a finite number")):
        (tmp_path / name).write_bytes(text)
        capsys.readouterr()
        assert cli.main(["clean", str(tmp_path / name), "--out",
                         str(out)]) == 2
        err = capsys.readouterr().err
        assert name in err and words in err and err.count("\n") == 1
    with pytest.raises(ValueError, match="time_s must be finite"):
        clean([0.0, np.nan, 1.0], [3.0, 3.0, 3.0])
    # A recording of a few frames, shorter than the smoothing window.
    for n in range(1, 7):
        t = np.arange(n) / 60.0
        result = clean(t, np.full(n, 40.0))
        np.testing.assert_allclose(result.diameter, 40.0)


@pytest.fixture(scope="module")
def videos(tmp_path_factory):
    folder = tmp_path_factory.mktemp("videos")
    paths = []
    for seed in (1, 2, 3):
        path = folder / f"eye{seed}.avi"
        writer = cv2.VideoWriter(str(path), cv2.VideoWriter_fourcc(*"FFV1"),
                                 60.0, (96, 96), False)
        for frame in synthetic.video((96, 96), seconds=0.5, fps=60.0,
                                     seed=seed):
            writer.write(frame.image)
        writer.release()
        paths.append(str(path))
    return paths


def test_many_recordings_at_once_give_the_files_of_one_at_a_time(
        videos, tmp_path, capsys):
    one, two = tmp_path / "one", tmp_path / "made" / "two"
    one.mkdir()  # the other is made
    for folder, jobs in ((one, "1"), (two, "2")):
        assert cli.main(["track", *videos, "--out-dir", str(folder),
                         "--jobs", jobs]) == 0
    names = sorted(p.name for p in one.iterdir())
    assert names == ["eye1.csv", "eye2.csv", "eye3.csv"]
    for name in names:
        assert (one / name).read_bytes() == (two / name).read_bytes()
    err = capsys.readouterr().err
    assert "recordings: 3, failed: 0" in err


def test_a_recording_that_fails_is_reported_and_the_others_go_on(
        videos, tmp_path, capsys):
    broken = tmp_path / "broken.avi"
    broken.write_text("not a video")
    unreadable = tmp_path / "frames"  # images, none of which decodes
    unreadable.mkdir()
    (unreadable / "0.png").write_bytes(b"\x89PNG broken")
    assert cli.main(["track", videos[0], str(broken), str(unreadable),
                     "--out-dir", str(tmp_path), "--jobs", "2"]) == 2
    err = capsys.readouterr().err
    assert "broken.avi: FAILED" in err and "failed: 2" in err
    assert "frames: FAILED" in err and "no frame could be read" in err
    assert (tmp_path / "eye1.csv").exists()
    # Two recordings of one name would overwrite each other.
    assert cli.main(["track", videos[0], videos[0], "--out-dir",
                     str(tmp_path)]) == 2
    # A folder that cannot be made: one line, before any work.
    assert cli.main(["track", videos[0], "--out-dir",
                     str(tmp_path / "eye1.csv" / "sub")]) == 2
    assert "--out-dir" in capsys.readouterr().err.splitlines()[-1]


def six_copies(videos, folder):
    """eye0.avi to eye5.avi in `folder`, links to the three videos."""
    copies = [folder / f"eye{k}.avi" for k in range(6)]
    for k, copy in enumerate(copies):
        copy.symlink_to(videos[k % 3])
    return copies


def _dies_on_eye2(job):
    """batch.run, but the process given eye2 dies as the kernel kills one
    short of memory (a module's function: the pool pickles it by name)."""
    if job.source.endswith("eye2.avi"):
        os.kill(os.getpid(), signal.SIGKILL)
    return _RUN(job)


def test_a_recording_whose_process_dies_fails_alone(videos, tmp_path,
                                                    capsys, monkeypatch):
    # The pool broke: a traceback, and the recordings not yet done never
    # were.
    import multiprocessing
    if multiprocessing.get_start_method() != "fork":
        pytest.skip("the workers would not see the patched run()")
    copies = six_copies(videos, tmp_path)
    monkeypatch.setattr(batch, "run", _dies_on_eye2)
    assert cli.main(["track", *map(str, copies), "--out-dir",
                     str(tmp_path / "out"), "--jobs", "2"]) == 2
    err = capsys.readouterr().err
    assert "eye2.avi: FAILED: its process ended abruptly" in err
    assert "recordings: 6, failed: 1" in err
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == [
        f"eye{k}.csv" for k in (0, 1, 3, 4, 5)]


def _track_stopped(patch, *args, **run):
    """`pupil-radial track ARGS` in a process of its own, after `patch`,
    which sends the signal from where it chooses."""
    import subprocess
    script = ("import os, signal, sys\nfrom pupil_radial import batch, "
              "cli, recording\n" + patch + "sys.exit(cli.main(sys.argv[1:]))")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [str(Path(__file__).parents[1])] + sys.path))
    return subprocess.run([sys.executable, "-c", script, "track", *args],
                          env=env, capture_output=True, text=True,
                          timeout=120, **run)


def test_ctrl_c_stops_many_recordings_at_once(videos, tmp_path):
    # An idle worker died with a traceback, and the recording queued next
    # was tracked in full before the command ended.
    copies = six_copies(videos, tmp_path)
    done = _track_stopped(
        "run = batch.run\n"
        "def ctrl_c_on_eye0(job):\n"
        "    if job.source.endswith('eye0.avi'):\n"
        "        os.killpg(0, signal.SIGINT)  # a terminal's: to them all\n"
        "    return run(job)\n"
        "batch.run = ctrl_c_on_eye0\n",
        *map(str, copies), "--out-dir", str(tmp_path / "out"), "--jobs", "2",
        start_new_session=True)
    assert done.returncode == 130
    assert done.stderr.splitlines()[-1].startswith("pupil-radial: interr")
    assert "Traceback" not in done.stderr
    # At most the two under way when it came, ended there.
    assert {p.name for p in (tmp_path / "out").iterdir()} <= {
        "eye0.csv", "eye1.csv"}


def test_sigterm_finishes_the_files_as_ctrl_c_does(videos, tmp_path):
    # The process died where it stood: no plot, the overlay unfinished.
    out = {k: str(tmp_path / f"out.{k}") for k in ("csv", "png", "avi")}
    done = _track_stopped(
        "track = recording.track\n"
        "def ended_at_frame_5(images, **options):\n"
        "    for k, pupil in enumerate(track(images, **options)):\n"
        "        if k == 5:  # as `timeout` or a cluster's time limit\n"
        "            os.kill(os.getpid(), signal.SIGTERM)\n"
        "        yield pupil\n"
        "recording.track = ended_at_frame_5\n",
        videos[0], "--csv", out["csv"], "--plot", out["png"], "--overlay",
        out["avi"])
    assert done.returncode == 143
    assert done.stderr.splitlines()[-1].startswith("pupil-radial: termin")
    with open(out["csv"]) as f:
        assert 5 <= len(list(csv.reader(f))) - 1 < 30
    assert cv2.imread(out["png"]) is not None
    held = cv2.VideoCapture(out["avi"]).get(cv2.CAP_PROP_FRAME_COUNT)
    assert 5 <= held < 30


def test_the_plot_shows_the_size_in_the_unit_it_names(tmp_path,
                                                      monkeypatch):
    pytest.importorskip("matplotlib")
    from matplotlib.figure import Figure

    from pupil_radial.figures import plot
    # Per frame: time, found, major axis, confidence.
    series = ([0.0, 0.1], [True, False], [40.0, math.nan], [0.9, 0.0])
    drawn = {}
    monkeypatch.setattr(Figure, "savefig", lambda fig, path, **kw:
                        drawn.update(size=fig.axes[0].lines[0].get_ydata(),
                                     label=fig.axes[0].get_ylabel()))
    plot(*series, str(tmp_path / "p.png"), mm_per_px=0.05)
    assert drawn["label"].endswith("(mm)")
    assert drawn["size"][0] == pytest.approx(2.0)
    plot(*series, str(tmp_path / "p.png"))
    assert drawn["label"].endswith("(px)") and drawn["size"][0] == 40.0
