"""track() through synthetic videos, reading videos and image folders, and
the pupil-radial command: its CSV, exit statuses and messages."""

import csv
import dataclasses
import importlib.util
import itertools
import math
import signal

import numpy as np
import pytest

cv2 = pytest.importorskip("cv2")

import pupil_radial  # noqa: E402
from pupil_radial import cli, figures, recording, synthetic, track  # noqa: E402
from pupil_radial.image_files import read_image  # noqa: E402
from pupil_radial.track import Frames  # noqa: E402

track_module = importlib.import_module("pupil_radial.track")


@pytest.fixture(scope="module")
def video(tmp_path_factory):
    """A 1.5 s synthetic video at 120 frames/s with a blink, and its truth."""
    path = tmp_path_factory.mktemp("video") / "eye.avi"
    frames = list(synthetic.video((192, 192), seconds=1.5, fps=120.0,
                                  seed=3, flash_at=0.9))
    writer = cv2.VideoWriter(str(path), cv2.VideoWriter_fourcc(*"FFV1"),
                             120.0, (192, 192), False)
    for frame in frames:
        writer.write(frame.image)
    writer.release()
    return path, frames


def test_a_run_keeps_each_frame_s_measures_not_its_points(
        video, tmp_path, monkeypatch):
    path, truth = video
    # Nothing per frame for a CSV alone, and for a plot only what it draws
    # in typed arrays: a long recording's Pupils would add up.
    alone = recording.run_tracking(pupil_radial.open_frames(path),
                                   tmp_path / "t.csv")
    assert alone.pupils is None and alone.series is None
    drawn = []
    monkeypatch.setattr(recording, "plot", lambda *args: drawn.append(args))
    plotted = recording.run_tracking(pupil_radial.open_frames(path),
                                     tmp_path / "t.csv", tmp_path / "t.png")
    series = plotted.series
    assert plotted.pupils is None and len(series) == len(truth)
    assert [np.asarray(a).itemsize for a in drawn[0][:4]] == [8, 1, 4, 4]
    assert sum(series.found) == plotted.found > 0
    summary = recording.run_tracking(pupil_radial.open_frames(path),
                                     tmp_path / "t.csv", keep=True)
    assert summary.frames == len(summary.pupils) == len(truth)
    assert summary.found == sum(p.found for p in summary.pupils) > 0
    assert all(p.points.size == 0 for p in summary.pupils)
    with open(tmp_path / "t.csv") as f:
        rows = list(csv.reader(f))[1:]
    kept = [p for p in summary.pupils if p.found]
    assert [float(r[3]) for r in rows if r[9] == "found"] == pytest.approx(
        [p.center[0] for p in kept], abs=1e-4)
    assert [float(r[5]) for r in rows if r[9] == "found"] == pytest.approx(
        [m for m, f in zip(series.major, series.found) if f], abs=1e-4)


def test_tracks_a_video_against_the_truth(video):
    path, truth = video
    frames, images = itertools.tee(pupil_radial.open_frames(path))
    pairs = list(zip(frames, track(images)))
    assert [f.index for f, _ in pairs] == list(range(len(truth)))
    pupils = [p for _, p in pairs]
    visible = [(p, t.pupil) for p, t in zip(pupils, truth) if t.visible >= 0.7]
    assert all(p.found for p, _ in visible)
    centre = [math.hypot(p.center[0] - t.cx, p.center[1] - t.cy)
              for p, t in visible]
    assert np.median(centre) < 0.1 and np.percentile(centre, 95) < 0.5
    shut = [p for p, t in zip(pupils, truth) if t.visible == 0]
    assert shut and not any(p.found for p in shut)


def test_no_pupil_is_carried_over_a_lost_frame():
    eye = synthetic.eye((192, 192), seed=4).image
    blank = np.full_like(eye, 128)
    found = [p.found for p in track([eye, blank, None, eye, eye])]
    assert found == [True, False, False, True, True]
    with pytest.raises(ValueError, match="2 to 10"):
        synthetic.video(seconds=0.001)  # was an IndexError, frames later


@pytest.mark.parametrize("shape, error", [
    ((0, 10), ValueError),  # was OpenCV's assertion in resize
    ((96.5, 96), TypeError), ((96, 96, 3), TypeError)])
def test_the_generator_names_a_size_it_cannot_draw(shape, error):
    for make in (synthetic.eye, synthetic.video,
                 lambda size: synthetic.no_pupil("closed", size)):
        with pytest.raises(error, match="shape"):
            make(shape)


@pytest.mark.parametrize("field, value", [
    ("bits", 40), ("defocus", -1.0), ("noise", -3.0), ("opening", 2.0),
    ("field_offset", 1.5)])
def test_the_generator_names_a_camera_it_cannot_be(field, value):
    # 40 bits wrapped around in uint16 without a word.
    with pytest.raises(ValueError, match=field):
        synthetic.eye((64, 64), seed=1, **{field: value})


def test_a_held_blink_is_searched_once_and_an_opening_eye_found(
        monkeypatch):
    opened = synthetic.eye((240, 320), seed=6, noise=1.0)
    shut = synthetic.render((240, 320), dataclasses.replace(
        opened.params, opening=0.0), 2).image
    rng = np.random.default_rng(0)
    held = [np.clip(shut + rng.integers(-1, 2, shut.shape), 0, 255)
            .astype(np.uint8) for _ in range(8)]
    # The lid lifting by less than the noise allowance per frame: compared
    # frame to frame it would never count as a change.
    lifting = [(shut * (1 - w) + opened.image * w).astype(np.uint8)
               for w in np.linspace(0.0, 1.0, 60)[1:]]
    searches = []
    search_afresh = track_module.search_afresh
    monkeypatch.setattr(track_module, "search_afresh",
                        lambda *a, **k: searches.append(1) or
                        search_afresh(*a, **k))
    counts, pupils = [], []
    for pupil in track(held + lifting):
        counts.append(len(searches))
        pupils.append(pupil)
    assert counts[:8] == [1] * 8 and not any(p.found for p in pupils[:8])
    assert pupils[-1].found
    assert math.hypot(pupils[-1].center[0] - opened.pupil.cx,
                      pupils[-1].center[1] - opened.pupil.cy) < 0.5


def test_a_pupil_that_jumps_is_found_again_where_it_went():
    first = synthetic.eye((192, 192), seed=8)
    p = first.pupil
    # The same eye looking elsewhere: the pupil 25 px away, smaller.
    moved = synthetic.Ellipse(p.cx - 25, p.cy + 6, 0.8 * p.major,
                              0.8 * p.minor, p.angle)
    second = synthetic.render((192, 192), dataclasses.replace(
        first.params, pupil=moved, iris_center=(
            first.params.iris_center[0] - 25,
            first.params.iris_center[1] + 6)), 1)
    pupils = list(track([first.image, second.image, second.image]))
    for pupil, truth in zip(pupils, (p, moved, moved)):
        assert pupil.found
        assert math.hypot(pupil.center[0] - truth.cx,
                          pupil.center[1] - truth.cy) < 0.5
        assert abs(pupil.axes[0] - truth.major) < 1.0


def test_frames_of_mixed_sizes_are_each_measured():
    # A folder of mixed sizes: the last pupil lay beyond a smaller frame
    # (OpenCV's assertion on an empty window), and a radius hint meant for
    # the larger frames was an error at the smaller one, mid-run.
    big = synthetic.eye((192, 192), seed=8)
    small = synthetic.eye((64, 64), seed=2)
    for radius in (None, (10, 70)):
        pupils = list(track([big.image, small.image, big.image],
                            radius=radius))
        for pupil, truth in zip(pupils, (big.pupil, small.pupil, big.pupil)):
            assert pupil.found
            assert math.hypot(pupil.center[0] - truth.cx,
                              pupil.center[1] - truth.cy) < 0.5
    # Beyond the first frame it is still the caller's mistake, told there.
    with pytest.raises(ValueError, match="radius max 70"):
        next(track([small.image, big.image], radius=(10, 70)))


def test_reads_folders_in_name_order_and_videos_with_their_times(
        tmp_path, video, monkeypatch):
    path, truth = video
    frames = Frames(path)
    assert frames.fps == 120.0 and frames.count == len(truth)
    times = [f.time_s for f in frames]
    assert times[:3] == pytest.approx([0.0, 1 / 120, 2 / 120], abs=1e-6)
    for rate in (0.0, 1e300, math.nan):  # times of 0 or infinity
        with pytest.raises(ValueError, match="fps"):
            Frames(path, fps=rate)
    for name, k in (("b.png", 1), ("a.png", 0), ("c.PNG", 2)):
        cv2.imwrite(str(tmp_path / name), truth[k].image)
    (tmp_path / "notes.txt").write_text("not an image")
    (tmp_path / "d.png").mkdir()  # a folder is no frame, whatever its name
    (tmp_path / "._a.png").write_bytes(b"\0\5\26\7")  # macOS metadata
    read = []
    imdecode = cv2.imdecode
    monkeypatch.setattr(cv2, "imdecode",
                        lambda data, *a: read.append(1) or imdecode(data, *a))
    frames = list(Frames(tmp_path))
    assert [f.time_s for f in frames] == [0.0, 1.0, 2.0]
    assert all(np.array_equal(f.image, truth[k].image)
               for k, f in enumerate(frames))
    assert len(read) == 3  # each image decoded once


def test_a_folder_s_frames_numbered_without_zeros_keep_their_order(
        tmp_path):
    # In plain name order frame_10 came before frame_2.
    for k in range(12):
        cv2.imwrite(str(tmp_path / f"frame_{k}.png"),
                    np.full((8, 8), 10 * k, np.uint8))
    assert [int(f.image[0, 0]) for f in Frames(tmp_path)] == \
        [10 * k for k in range(12)]


def test_a_folder_of_dim_12_bit_images_keeps_its_bits(tmp_path):
    # 12-bit data at a quarter of its range: read as 8 bits, levels 0-3.
    truth = list(synthetic.video((96, 96), seconds=0.1, fps=60.0, seed=4))
    for k, frame in enumerate(truth):
        cv2.imwrite(str(tmp_path / f"{k:02d}.png"),
                    frame.image.astype(np.uint16) * 4)
    frames = list(Frames(tmp_path))
    assert all(f.image.dtype == np.uint16 for f in frames)
    for pupil, t in zip(track(frames), truth):
        assert pupil.found
        assert math.hypot(pupil.center[0] - t.pupil.cx,
                          pupil.center[1] - t.pupil.cy) < 0.3
    shown = figures.draw(frames[0].image, pupil)
    assert shown.dtype == np.uint8 and shown.max() >= 240


def test_a_multi_page_tiff_is_a_frame_per_page(tmp_path, capsys):
    # A video reader took a microscope's stack for a single frame.
    truth = [f.image.astype(np.uint16) * 16 for f in
             synthetic.video((64, 64), seconds=40 / 30, fps=30.0, seed=3)]
    assert cv2.imwritemulti(str(tmp_path / "stack.tif"), truth)
    frames = Frames(tmp_path / "stack.tif", fps=30.0)
    assert frames.count == 40 and frames.shape == (64, 64)
    read = list(frames)
    assert [f.time_s for f in read] == pytest.approx(np.arange(40) / 30)
    assert all(np.array_equal(f.image, t) for f, t in zip(read, truth))
    assert Frames(tmp_path / "stack.tif").timed_in_frames
    assert not frames.timed_in_frames
    with pytest.raises(RuntimeError, match="read once"):
        next(iter(frames))  # a second pass has no pages left to give
    # detect measures one of them, and says so.
    assert cli.main(["detect", str(tmp_path / "stack.tif")]) in (0, 1)
    assert "holds 40 images; this is the first" in capsys.readouterr().err


def test_a_folder_of_float_images_is_measured_not_unreadable(tmp_path):
    # OpenCV cannot read a float TIFF at 8 bits: every frame was unreadable.
    truth = list(synthetic.video((96, 96), seconds=0.05, fps=60.0, seed=4))
    for k, frame in enumerate(truth):
        cv2.imwrite(str(tmp_path / f"{k:02d}.tif"),
                    frame.image.astype(np.float32) / 255)
    bad = truth[0].image.astype(np.float32)
    bad[3, 3] = np.nan
    cv2.imwrite(str(tmp_path / "99.tif"), bad)
    frames = list(Frames(tmp_path))
    assert frames[-1].image is None  # NaN has no gray level
    # Measured as the 8-bit frames they were made from.
    for pupil, same in zip(track(frames[:-1]),
                           track(t.image for t in truth)):
        assert pupil.found and same.found
        assert pupil.center == pytest.approx(same.center, abs=0.01)


def stub_capture(monkeypatch, failing_read, get):
    """cv2.VideoCapture as the real one, but its `failing_read`-th read
    fails to decode and get(capture, what) answers for its properties."""
    real = cv2.VideoCapture

    class Stub:
        def __init__(self, *args):
            self.inner, self.reads = real(*args), 0

        def read(self):
            self.reads += 1
            ok, image = self.inner.read()
            return (False, None) if self.reads == failing_read else (ok,
                                                                     image)

        def get(self, what):
            return get(self, what)

        def __getattr__(self, name):
            return getattr(self.inner, name)

    monkeypatch.setattr(cv2, "VideoCapture", Stub)


def test_a_frame_that_does_not_decode_is_a_frame_without_a_pupil(
        monkeypatch, video):
    path, truth = video
    # The third frame fails to decode, and the frame count is three too
    # high, as some containers estimate it.
    stub_capture(monkeypatch, 3, lambda capture, what: capture.inner.get(
        what) + (3 if what == cv2.CAP_PROP_FRAME_COUNT else 0))
    frames = list(Frames(path))
    assert len(frames) == len(truth)  # no rows for frames that never were
    assert frames[2].image is None and frames[3].image is not None
    assert not list(track([frames[2].image]))[0].found
    # Indices and times go on through the frame that failed.
    assert [f.index for f in frames] == list(range(len(truth)))
    assert [f.time_s for f in frames[1:5]] == pytest.approx(
        [k / 120 for k in range(1, 5)], abs=1e-6)


def test_video_times_only_increase_whatever_the_stamps(monkeypatch, video):
    # Stamps running ahead of frame / fps, one repeated and a frame that
    # fails after it: frame / fps put those frames back in time.
    path, _ = video

    def stamps(capture, what):  # 50 ms apart, the fourth frame's repeated
        if what == cv2.CAP_PROP_POS_MSEC:
            return 50.0 * (capture.reads - 1 - (capture.reads == 4))
        return capture.inner.get(what)

    stub_capture(monkeypatch, 5, stamps)
    times = [f.time_s for f in itertools.islice(Frames(path), 8)]
    assert times == pytest.approx([0, 0.05, 0.1, 0.1 + 1 / 120,
                                   0.1 + 2 / 120, 0.25, 0.3, 0.35])


def read_csv(path):
    with open(path, newline="") as f:
        return list(csv.reader(f))


def test_command_writes_the_csv_plot_and_overlay(tmp_path, video, capsys):
    path, truth = video
    out = tmp_path / "out.csv"
    plotting = importlib.util.find_spec("matplotlib") is not None
    plot = ["--plot", str(tmp_path / "p.png")] if plotting else []
    status = cli.main(["track", str(path), "--csv", str(out), "--overlay",
                       str(tmp_path / "o.avi")] + plot)
    assert status == 0
    rows = read_csv(out)
    assert tuple(rows[0]) == recording.COLUMNS
    assert len(rows) == len(truth) + 1
    assert [r[0] for r in rows[1:4]] == ["0", "1", "2"]
    lost = [r for r in rows[1:] if r[2] == "0"]
    assert lost and all(r[3:8] == [""] * 5 and r[8] for r in lost)
    kept = [r for r in rows[1:] if r[2] == "1"]
    assert all(float(r[5]) >= float(r[6]) > 0 for r in kept)
    assert "frames: 180 (0 unreadable), pupil found in" in \
        capsys.readouterr().err
    assert not plotting or cv2.imread(str(tmp_path / "p.png")) is not None
    overlay = cv2.VideoCapture(str(tmp_path / "o.avi"))
    assert int(overlay.get(cv2.CAP_PROP_FRAME_COUNT)) == len(truth)


def test_plots_leave_the_caller_s_matplotlib_as_it_was(tmp_path, video):
    # The plot chose the Agg backend for the whole process: a notebook
    # calling it lost its own.
    matplotlib = pytest.importorskip("matplotlib")
    before = matplotlib.get_backend()
    matplotlib.use("svg")
    try:
        assert cli.main(["track", str(video[0]), "--csv",
                         str(tmp_path / "o.csv"), "--plot",
                         str(tmp_path / "p.png")]) == 0
        assert cli.main(["clean", str(tmp_path / "o.csv"), "--out",
                         str(tmp_path / "c.csv"), "--plot",
                         str(tmp_path / "c.png")]) == 0
        assert matplotlib.get_backend() == "svg"
    finally:
        matplotlib.use(before)
    assert cv2.imread(str(tmp_path / "c.png")) is not None


@pytest.mark.parametrize("suffix", [".avi", ".mp4"])
@pytest.mark.parametrize("rate", [[], ["--fps", "0.001"], ["--fps", "2000"]])
def test_the_overlay_has_a_frame_per_row_whatever_the_images(
        tmp_path, suffix, rate):
    # Images that do not decode (the first, and one later) and of three
    # sizes: a video holds one size, and OpenCV's writer drops the others.
    # At rates it cannot take it failed to open (0.001 frames/s) or Motion
    # JPEG dropped frames (2000 frames/s).
    folder = tmp_path / "images"
    folder.mkdir()
    for k, shape in enumerate((None, (96, 128), (150, 200), None, (64, 64),
                               (96, 128))):
        if shape is None:
            (folder / f"{k}.png").write_bytes(b"\x89PNG broken")
        else:
            cv2.imwrite(str(folder / f"{k}.png"),
                        synthetic.eye(shape, seed=k).image)
    out = tmp_path / f"o{suffix}"
    assert cli.main(["track", str(folder), "--csv", str(tmp_path / "o.csv"),
                     "--overlay", str(out)] + rate) == 0
    capture, frames = cv2.VideoCapture(str(out)), []
    while (got := capture.read())[0]:
        frames.append(got[1])
    assert len(frames) == len(read_csv(tmp_path / "o.csv")) - 1 == 6
    assert {f.shape for f in frames} == {(96, 128, 3)}
    # The unreadable ones are black, where their rows are.
    assert [f.max() < 20 for f in frames] == [True, False, False, True,
                                              False, False]


@pytest.mark.parametrize("suffix", [".avi", ".mp4"])
def test_an_overlay_of_one_pixel_frames_is_written(tmp_path, capfd, suffix):
    # FFmpeg takes no frame a pixel wide: OpenCV tried its other writers,
    # each with its error lines (and for .mp4 none could write it).
    cv2.imwrite(str(tmp_path / "0.png"), np.zeros((1, 1), np.uint8))
    cv2.imwrite(str(tmp_path / "1.png"), synthetic.eye((9, 9)).image)
    out = tmp_path / f"o{suffix}"
    assert cli.main(["track", str(tmp_path), "--csv",
                     str(tmp_path / "o.csv"), "--overlay", str(out)]) == 0
    capture = cv2.VideoCapture(str(out))
    assert capture.get(cv2.CAP_PROP_FRAME_COUNT) == 2
    assert "frames: 2" in capfd.readouterr().err.splitlines()[0]


def test_a_bright_pupil_looked_for_as_dark_gets_a_note(tmp_path, capsys):
    for k in range(3):
        eye = synthetic.eye((96, 96), seed=k).image
        cv2.imwrite(str(tmp_path / f"{k}.png"), 255 - eye)
    for flag, note in (([], True), (["--bright-pupil"], False)):
        assert cli.main(["track", str(tmp_path)] + flag) == 0
        err = capsys.readouterr().err
        assert ("try --bright-pupil" in err) == note


def test_csv_rows_hold_each_frame_s_pupil(tmp_path, video):
    path, truth = video
    out = tmp_path / "out.csv"
    assert cli.main(["track", str(path), "--csv", str(out)]) == 0
    rows = read_csv(out)[1:]
    pupils = list(track(f.image for f in Frames(path)))
    assert len(rows) == len(pupils) == len(truth)
    for k, (row, pupil, t) in enumerate(zip(rows, pupils, truth)):
        assert int(row[0]) == k
        assert float(row[1]) == pytest.approx(k / 120, abs=1e-6)
        assert row[2] == ("1" if pupil.found else "0")
        assert float(row[8]) == pytest.approx(pupil.confidence, abs=1e-4)
        if pupil.found:
            x, y, major, minor, angle = map(float, row[3:8])
            assert (x, y) == pytest.approx(pupil.center, abs=1e-3)
            assert (major, minor) == pytest.approx(pupil.axes, abs=1e-3)
            assert angle == pytest.approx(pupil.angle, abs=1e-2)
            # The true pupil's centre is off the image's diagonal, so a
            # swap of x and y cannot pass.
            if t.visible >= 0.7:
                assert math.hypot(x - t.pupil.cx, y - t.pupil.cy) < 0.5


def test_an_interrupted_run_keeps_its_rows(tmp_path, video, monkeypatch):
    path, _ = video
    real = recording.track

    def interrupted(*args, **kwargs):
        for i, pupil in enumerate(real(*args, **kwargs)):
            if i == 5:
                raise KeyboardInterrupt
            yield pupil

    monkeypatch.setattr(recording, "track", interrupted)
    out = tmp_path / "out.csv"
    plotting = importlib.util.find_spec("matplotlib") is not None
    plot = ["--plot", str(tmp_path / "p.png")] if plotting else []
    assert cli.main(["track", str(path), "--csv", str(out)] + plot) == 130
    assert len(read_csv(out)) == 1 + 5
    # ... and the plot of those rows.
    assert not plotting or cv2.imread(plot[1]) is not None


def test_a_stop_between_a_row_and_its_overlay_frame_waits_for_both(
        tmp_path, video, monkeypatch):
    # Ctrl-C after a frame's row, before its overlay frame, left the
    # overlay a frame short of the CSV.
    path, _ = video
    write, calls = recording._Overlay.write, []

    def stopped_on_the_sixth(self, image, pupil):
        calls.append(1)
        if len(calls) == 6:
            signal.raise_signal(signal.SIGINT)
        write(self, image, pupil)

    monkeypatch.setattr(recording._Overlay, "write", stopped_on_the_sixth)
    out, overlay = tmp_path / "out.csv", tmp_path / "o.avi"
    assert cli.main(["track", str(path), "--csv", str(out), "--overlay",
                     str(overlay)]) == 130
    capture = cv2.VideoCapture(str(overlay))
    assert int(capture.get(cv2.CAP_PROP_FRAME_COUNT)) == 6
    capture.release()
    assert len(read_csv(out)) == 1 + 6
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler


@pytest.mark.parametrize("make, args, words", [
    (None, ["track", "{tmp}/missing.avi"], "no such file"),
    ("text", ["track", "{tmp}/file.avi"], "not a video"),
    ("empty", ["track", "{tmp}/empty"], "no images"),
    ("unreadable", ["track", "{tmp}/images"], "no frame could be read"),
    (None, ["detect", "{tmp}/missing.png"], "no such file"),
    ("text", ["detect", "{tmp}/file.avi"], "not an image"),
    ("video", ["detect", "{tmp}/eye.avi"], "`pupil-radial track` measures"),
    ("empty", ["detect", "{tmp}/empty"], "not an image file"),
    ("nan", ["detect", "{tmp}/nan.tif"], "NaN"),
])
def test_bad_input_is_one_line_and_status_2(tmp_path, capsys, monkeypatch,
                                            make, args, words):
    # A video given to detect was read into memory whole, first.
    read = []
    monkeypatch.setattr(cli, "read_image", lambda path, *flags: read.append(
        path) or read_image(path, *flags))
    if make == "text":
        (tmp_path / "file.avi").write_text("not a video")
    elif make == "empty":
        (tmp_path / "empty").mkdir()
    elif make == "unreadable":
        (tmp_path / "images").mkdir()
        (tmp_path / "images" / "1.png").write_bytes(b"\x89PNG broken")
    elif make == "video":
        writer = cv2.VideoWriter(str(tmp_path / "eye.avi"),
                                 cv2.VideoWriter_fourcc(*"FFV1"), 30.0,
                                 (96, 96), False)
        writer.write(synthetic.eye((96, 96), seed=1).image)
        writer.release()
    elif make == "nan":
        image = synthetic.eye((96, 96), seed=1).image.astype(np.float32)
        image[10, 10] = np.nan
        assert cv2.imwrite(str(tmp_path / "nan.tif"), image)
    args = [a.format(tmp=tmp_path) for a in args]
    assert cli.main(args) == 2
    err = capsys.readouterr().err
    assert words in err and err.count("\n") == 1 and "Traceback" not in err
    assert make != "video" or not read


@pytest.mark.parametrize("option", ["--center=3", "--center=a,b",
                                    "--center=nan,3", "--center=3,inf",
                                    "--radius=9,3", "--threshold=2"])
def test_bad_options_are_usage_errors(option, capsys):
    with pytest.raises(SystemExit) as stop:
        cli.main(["detect", "eye.png", option])
    err = capsys.readouterr().err
    assert stop.value.code == 2 and "error:" in err and err.count("\n") == 1


def test_detect_exit_status_says_whether_a_pupil_was_found(tmp_path, capsys):
    eye = synthetic.eye((192, 192), seed=6)
    cv2.imwrite(str(tmp_path / "eye.png"), eye.image)
    cv2.imwrite(str(tmp_path / "blank.png"), np.full((96, 96), 90, np.uint8))
    assert cli.main(["detect", str(tmp_path / "eye.png"), "--json",
                     "--overlay", str(tmp_path / "o.png")]) == 0
    import json
    result = json.loads(capsys.readouterr().out)
    assert result["found"] and abs(result["center"][0] - eye.pupil.cx) < 0.5
    assert cv2.imread(str(tmp_path / "o.png")).shape == (192, 192, 3)
    assert cli.main(["detect", str(tmp_path / "blank.png")]) == 1
    assert "no pupil found" in capsys.readouterr().err
