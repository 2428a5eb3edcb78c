"""The command through a whole recording: the status column, folders with
frames that do not decode, their times, and mistakes refused before any
work is done."""

import csv
import json
import os
import re
import struct
from pathlib import Path

import numpy as np
import pytest

cv2 = pytest.importorskip("cv2")

import pupil_radial  # noqa: E402
from pupil_radial import cli, detect, recording, synthetic, track  # noqa: E402
from pupil_radial.image_files import read_image  # noqa: E402


def rows_of(path):
    with open(path, newline="") as f:
        return list(csv.reader(f))


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    """40 PNG frames of a synthetic video, the 8th truncated."""
    path = tmp_path_factory.mktemp("frames")
    for k, frame in enumerate(synthetic.video((96, 96), seconds=40 / 30,
                                              fps=30.0, seed=2)):
        cv2.imwrite(str(path / f"{k:03d}.png"), frame.image)
    broken = path / "007.png"
    broken.write_bytes(broken.read_bytes()[:100])
    return path


def test_a_folder_with_a_truncated_image_is_read_through(folder, tmp_path,
                                                         capsys):
    out = tmp_path / "o.csv"
    assert cli.main(["track", str(folder), "--csv", str(out), "--fps",
                     "30"]) == 0
    rows = rows_of(out)
    assert tuple(rows[0]) == recording.COLUMNS
    assert recording.COLUMNS[-1] == "status"
    assert len(rows) == 41
    assert rows[8] == ["7", f"{7 / 30:.6f}", "0"] + [""] * 6 + ["unreadable"]
    assert all(float(r[1]) == pytest.approx(int(r[0]) / 30, abs=1e-6)
               for r in rows[1:])
    statuses = {r[9] for r in rows[1:]}
    assert statuses <= {"found", "not_found", "unreadable"}
    for r in rows[1:]:
        assert (r[2] == "1") == (r[9] == "found")
        assert (r[8] == "") == (r[9] == "unreadable")
    assert "40 (1 unreadable)" in capsys.readouterr().err


@pytest.mark.parametrize("suffix", [".jpg", ".png", ".jp2", ".j2k", ".bmp",
                                    ".pgm", "16.pgm"])
def test_an_image_cut_short_is_unreadable_not_measured(tmp_path, capfd,
                                                       suffix):
    # OpenCV decodes the first half of a JPEG and fills the rest with gray;
    # the pupil there was measured, cut in half, as found. Other decoders
    # refuse such a file, but print their own errors.
    image = synthetic.eye((96, 96), seed=5).image
    if suffix == "16.pgm":
        image = image.astype(np.uint16) * 16
    whole, cut = tmp_path / f"whole{suffix}", tmp_path / f"cut{suffix}"
    if suffix == ".j2k":  # the bare codestream of a .jp2
        cv2.imwrite(str(tmp_path / "boxed.jp2"), image)
        data = (tmp_path / "boxed.jp2").read_bytes()
        whole.write_bytes(data[data.find(b"jp2c") + 4:])
    else:
        cv2.imwrite(str(whole), image)
    data = whole.read_bytes()
    cut.write_bytes(data[:len(data) * 2 // 3])
    # Bytes after the end marker are no cut.
    (tmp_path / f"tail{suffix}").write_bytes(data + b"\0" * 16)
    assert read_image(whole).shape == (96, 96)
    assert read_image(tmp_path / f"tail{suffix}").shape == (96, 96)
    assert read_image(cut) is None
    if suffix == ".bmp":  # a size field written wrong is no cut
        wrong = tmp_path / "wrong.bmp"
        wrong.write_bytes(data[:2] + (len(data) + 99).to_bytes(4, "little")
                          + data[6:])
        assert read_image(wrong).shape == (96, 96)
    capfd.readouterr()
    assert cli.main(["detect", str(cut)]) == 2
    err = capfd.readouterr().err
    assert "cut short" in err and len(err.splitlines()) == 1


def test_damaged_image_files_are_read_or_refused_never_raise(tmp_path):
    image = synthetic.eye((96, 96), seed=5).image
    files = [cv2.imencode(s, image)[1].tobytes()
             for s in (".png", ".jpg", ".jp2", ".bmp", ".pgm")]
    files.append(files[2][files[2].find(b"jp2c") + 4:])  # a bare codestream
    rng = np.random.default_rng(1)
    path = tmp_path / "damaged"
    for k in range(300):
        data = bytearray(files[k % len(files)])
        if k % 2:  # bytes changed, header included
            for at in rng.integers(0, min(len(data), 64 + k), 4):
                data[at] = rng.integers(256)
        else:
            data = data[:rng.integers(len(data))]
        path.write_bytes(bytes(data))
        result = read_image(path)
        assert result is None or result.ndim == 2


def test_a_folder_without_a_rate_is_timed_in_frames(folder, tmp_path):
    out = tmp_path / "o.csv"
    assert cli.main(["track", str(folder), "--csv", str(out)]) == 0
    assert [r[1] for r in rows_of(out)[1:4]] == ["0.000000", "1.000000",
                                                 "2.000000"]


@pytest.mark.parametrize("args, words", [
    (["--plot", "{tmp}/missing/p.png"], "there is no folder"),
    (["--csv", "{tmp}/missing/o.csv"], "there is no folder"),
    (["--overlay", "{tmp}/missing/o.avi"], "there is no folder"),
    (["--plot", "{tmp}/noext"], "expected a name ending in .png"),
    (["--csv", "/dev/full"], "expected a name ending in .csv"),
    (["--radius", "1,1e9"], "beyond the 96x96 frames"),
])
def test_mistakes_are_refused_before_any_work(folder, tmp_path, capsys,
                                              monkeypatch, args, words):
    if "--plot" in args and not cli._have_matplotlib():
        pytest.skip("matplotlib is not installed")
    called = []
    monkeypatch.setattr(recording, "track", lambda *a, **k: called.append(1))
    args = [a.format(tmp=tmp_path) for a in args]
    assert cli.main(["track", str(folder)] + args) == 2
    err = capsys.readouterr().err
    assert words in err and err.count("\n") == 1 and "Traceback" not in err
    assert not called and not list(tmp_path.iterdir())


def test_no_output_overwrites_an_input(folder, tmp_path, capsys):
    # An overlay written over its own video cut it to the frames read so
    # far (12 MB to 166 KB, 42 of 720 frames), with exit 0.
    video = tmp_path / "eye.avi"
    frame = cv2.imread(str(folder / "000.png"), cv2.IMREAD_GRAYSCALE)
    writer = cv2.VideoWriter(str(video), cv2.VideoWriter_fourcc(*"MJPG"),
                             30, frame.shape[::-1], False)
    writer.write(frame)
    writer.release()
    data = video.read_bytes()
    image = folder / "000.png"
    for argv in (["track", str(video), "--overlay", str(video)],
                 ["track", str(video), "--out-dir", str(tmp_path),
                  "--overlay"],
                 ["track", str(folder), "--plot", str(image)],
                 ["track", str(folder), "--plot", str(folder / "new.png")],
                 ["detect", str(image), "--overlay", str(image)]):
        if "--plot" in argv and not cli._have_matplotlib():
            continue
        assert cli.main(argv) == 2
        err = capsys.readouterr().err
        assert ("the input" in err or "folder of frames" in err) and \
            err.count("\n") == 1
    assert video.read_bytes() == data
    assert sorted(p.name for p in tmp_path.iterdir()) == ["eye.avi"]
    assert not (folder / "new.png").exists()


def test_a_full_disk_is_one_line(folder, tmp_path, capsys, monkeypatch):
    # Standard output and every named output on a full disk. `detect` and
    # `clean` ended in a traceback, or named the file "None"; `detect
    # --overlay` gave libpng's line and "cannot write an image there".
    if not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full")
    track_csv, image = tmp_path / "t.csv", tmp_path / "eye.png"
    assert cli.main(["track", str(folder), "--csv", str(track_csv),
                     "--fps", "30"]) == 0
    cv2.imwrite(str(image), synthetic.eye((120, 160), seed=1).image)
    for name in ("full.csv", "full.png"):
        (tmp_path / name).symlink_to("/dev/full")
    runs = [(["track", str(folder)], "standard output"),
            (["track", str(folder), "--csv", str(tmp_path / "full.csv")],
             "full.csv"),
            (["detect", str(image)], "standard output"),
            (["clean", str(track_csv)], "standard output"),
            (["clean", str(track_csv), "--out", str(tmp_path / "full.csv")],
             "full.csv"),
            (["clean", str(track_csv), "--out", str(tmp_path / "c.csv"),
              "--plot", str(tmp_path / "full.png")], "full.png"),
            (["detect", str(image), "--overlay", str(tmp_path / "full.png")],
             "full.png")]
    capsys.readouterr()
    for argv, named in runs:
        full = open("/dev/full", "w")
        monkeypatch.setattr("sys.stdout", full)
        try:
            assert cli.main(argv) == 2, argv
        finally:
            monkeypatch.undo()
            try:
                full.close()
            except OSError:  # what is still buffered cannot go anywhere
                pass
        err = capsys.readouterr().err
        assert named in err and "No space left" in err and \
            err.count("\n") == 1, (argv, err)


def test_a_file_cut_short_by_a_full_disk_is_not_left(tmp_path):
    # A plot, an overlay image or a cleaned trace that filled the disk
    # stayed, cut short (a trace looked like a shorter recording).
    import resource
    import signal
    from pupil_radial._files import write_file
    path = tmp_path / "p.png"
    soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
    previous = signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (1000, hard))
    try:  # files end at 1000 bytes, as on a disk that fills up
        with pytest.raises(OSError):
            write_file(path, bytes(5000))
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
        signal.signal(signal.SIGXFSZ, previous)
    assert not path.exists()
    write_file(path, bytes(5000))
    assert path.stat().st_size == 5000


def test_closed_standard_streams(folder, tmp_path, capsys, monkeypatch):
    # Started with `>&-`, Python has no sys.stdout: detect's result line
    # was dropped without a word, track's CSV ended in a traceback.
    image = folder / "000.png"
    for argv in (["detect", str(image)], ["track", str(folder)]):
        monkeypatch.setattr("sys.stdout", None)
        assert cli.main(argv) == 2
        monkeypatch.undo()
        err = capsys.readouterr().err
        assert err == "pupil-radial: standard output: Bad file descriptor\n"
    # Without standard error (`2>&-`) the run ended at once, status 1, and
    # print() sent messages to standard output: into the CSV there.
    monkeypatch.setattr("sys.stderr", None)
    assert cli.main(["track", str(folder), "--fps", "30"]) == 0
    monkeypatch.undo()
    rows = list(csv.reader(capsys.readouterr().out.splitlines()))
    assert len(rows) == 41 and tuple(rows[0]) == recording.COLUMNS


def test_names_that_are_not_utf8_are_refused_not_a_crash(folder, tmp_path,
                                                         capsys):
    # OpenCV's Python binding crashes (a segmentation fault) on a file name
    # that is not UTF-8, which Linux file systems allow.
    def named(stem):
        return str(tmp_path) + "/" + os.fsdecode(stem + b"\xe9")

    try:
        os.symlink(folder / "000.png", named(b"v") + ".avi")
    except (OSError, UnicodeError):
        pytest.skip("the file system takes only UTF-8 names")
    tiff = named(b"t") + ".tif"
    cv2.imwrite(str(tmp_path / "t.tif"), cv2.imread(str(folder / "000.png")))
    os.rename(tmp_path / "t.tif", tiff)
    for argv in (["track", named(b"v") + ".avi"], ["track", tiff],
                 ["track", str(folder), "--overlay", named(b"o") + ".avi"],
                 ["demo", "--out", named(b"d")]):
        assert cli.main(argv) == 2
        err = capsys.readouterr().err
        assert "name is not UTF-8" in err and err.count("\n") == 1
    # An image file OpenCV is given as bytes is measured, and an image
    # Python writes is written.
    assert cli.main(["detect", tiff, "--overlay", named(b"o") + ".png"]) \
        in (0, 1)
    assert read_image(named(b"o") + ".png") is not None


def test_an_overlay_cut_short_by_a_full_disk_is_one_line(folder, tmp_path,
                                                         capsys):
    # OpenCV's video writer drops what it cannot write without a word: the
    # run said nothing and exited 0 with an overlay of no frames.
    if not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full")
    overlay = tmp_path / "o.avi"
    overlay.symlink_to("/dev/full")
    out, figure = tmp_path / "o.csv", tmp_path / "o.png"
    assert cli.main(["track", str(folder), "--csv", str(out), "--plot",
                     str(figure), "--overlay", str(overlay)]) == 2
    err = capsys.readouterr().err
    assert "o.avi" in err and "0 of 40 frames" in err and \
        err.count("\n") == 1
    # What could be written still is.
    assert len(rows_of(out)) == 41 and figure.stat().st_size > 0


def test_a_reader_that_stops_reading_is_no_error(folder, tmp_path,
                                                 capsys, monkeypatch):
    # `pupil-radial track frames/ | head`: the closed pipe was reported as
    # an error ("standard output: Broken pipe", or "None: Broken pipe").
    track_csv = tmp_path / "t.csv"
    assert cli.main(["track", str(folder), "--csv", str(track_csv),
                     "--fps", "30"]) == 0
    capsys.readouterr()
    for argv in (["track", str(folder)], ["clean", str(track_csv)]):
        read, write = os.pipe()
        os.close(read)
        closed = os.fdopen(write, "w", buffering=1)
        monkeypatch.setattr("sys.stdout", closed)
        assert cli.main(argv) == 0
        monkeypatch.undo()
        try:
            closed.close()
        except OSError:
            pass
        assert capsys.readouterr().err == ""


@pytest.mark.parametrize("argv, words", [
    (["track"], "INPUT"),
    (["track", "x", "--threshold", "abc"], "expected a number, got 'abc'"),
    # Times to the microsecond: 1e300 frames/s wrote every time as 0, and
    # 1e-320 as inf.
    (["track", "x", "--fps", "0"], "expected 0.001 to 100000"),
    (["track", "x", "--fps", "1e300"], "expected 0.001 to 100000"),
    (["clean", "x.csv", "--fps", "1e-320"], "expected 0.001 to 100000"),
    # OpenCV needs three corners a side; 2x2 ended in its traceback.
    (["calibrate", "x", "--square-mm", "2", "--pattern", "2x2"],
     "expected COLSxROWS"),
    (["calibrate", "x", "--square-mm", "1e-9"], "expected 1e-06 to 1e+06"),
    # Unchecked, they ended in tracebacks: no frame, or 894 GiB of times.
    (["demo", "--seconds", "0.001"], "expected 1 to 600"),
    (["demo", "--seconds", "1e9"], "expected 1 to 600"),
    (["demo", "--fps", "1e6"], "expected 10 to 1000"),
])
def test_usage_errors_say_what_was_expected(argv, words, capsys):
    with pytest.raises(SystemExit) as stop:
        cli.main(argv)
    err = capsys.readouterr().err
    assert stop.value.code == 2 and words in err and err.count("\n") == 1


def test_demo_into_a_folder_it_cannot_make_is_one_line(tmp_path, capsys):
    taken = tmp_path / "a_file"
    taken.write_text("")
    assert cli.main(["demo", "--out", str(taken / "demo")]) == 2
    err = capsys.readouterr().err
    assert "--out" in err and err.count("\n") == 1  # was a traceback


def test_negative_centres_are_values_not_options(tmp_path, capsys):
    image = tmp_path / "eye.png"
    cv2.imwrite(str(image), synthetic.eye((96, 96), seed=1).image)
    # Far off the image: no pupil there, but a valid question.
    assert cli.main(["detect", str(image), "--center", "-10,-12"]) in (0, 1)
    assert "error" not in capsys.readouterr().err


def test_detect_takes_what_readers_give_and_refuses_what_cannot_be_meant():
    eye = synthetic.eye((96, 96), seed=1).image
    with pytest.raises(TypeError, match="image is None"):
        detect(None)
    one_channel = detect(eye[:, :, None])
    assert one_channel.found and one_channel.center == detect(eye).center
    with pytest.raises(ValueError, match="rays must be at most 4096"):
        detect(eye, rays=10**9)
    with pytest.raises(ValueError, match="beyond the 96x96 image"):
        detect(eye, radius=(1, 1e9))
    with pytest.raises(ValueError, match="beyond the 96x96 image"):
        next(track([eye], radius=(1, 200)))


def test_detect_turns_a_camera_image_as_track_does(tmp_path, capsys):
    # A JPEG whose EXIF says "turn 90 degrees clockwise" (one IFD entry:
    # orientation, a SHORT, 6): detect read it as stored, track as shown.
    ok, jpeg = cv2.imencode(".jpg", synthetic.eye((96, 128), seed=1).image)
    entry = struct.pack("<IHHHIHHI", 8, 1, 0x0112, 3, 1, 6, 0, 0)
    exif = b"Exif\0\0II*\0" + entry
    image, jpeg = tmp_path / "eye.jpg", jpeg.tobytes()
    image.write_bytes(jpeg[:2] + b"\xff\xe1" + struct.pack(">H", len(exif) + 2)
                      + exif + jpeg[2:])
    assert cli.main(["detect", str(image), "--json"]) == 0
    x, y = detect(cv2.imdecode(np.frombuffer(jpeg, np.uint8),
                               cv2.IMREAD_UNCHANGED)).center
    assert json.loads(capsys.readouterr().out)["center"] == pytest.approx(
        [95 - y, x], abs=0.01)  # the stored image's pupil, turned


def test_a_pupil_prints_without_its_points():
    text = repr(detect(synthetic.eye((96, 96), seed=1).image))
    assert "points" not in text and "confidence" in text and len(text) < 300


def test_the_library_and_the_package_have_one_version():
    cmake = (Path(__file__).parents[2] / "CMakeLists.txt").read_text()
    version = re.search(r"project\(PupilRadial VERSION ([0-9.]+)", cmake)[1]
    assert pupil_radial.__version__ == version


def test_hints_that_are_wrong_do_not_hide_the_pupil():
    e = synthetic.eye((240, 320), seed=4, opening=1.0, lashes=0)
    p = e.pupil
    for center, radius in (((p.cx + 60, p.cy - 40), None),
                           (None, (2.0, 4.0)),
                           ((p.cx + 19, p.cy),
                            (0.3 * p.minor, 0.4 * p.minor))):
        pupil = detect(e.image, center=center, radius=radius)
        assert pupil.found, (center, radius)
        assert abs(pupil.center[0] - p.cx) < 0.5
    # Through a recording: the hints of the first frame, then the eye
    # elsewhere after a blink.
    moved = synthetic.eye((240, 320), seed=9, opening=1.0, lashes=0)
    hint = dict(center=(p.cx, p.cy), radius=(0.4 * p.minor, 0.6 * p.major))
    shut = np.full_like(e.image, 150)
    found = [q.found for q in track([e.image, shut, moved.image], **hint)]
    assert found == [True, False, True]


def test_detect_overlays_show_levels_as_track_does(tmp_path):
    # 12-bit levels 1000-3040 were stretched to 0-255 by detect's overlay
    # alone, gray or colour: its levels were not those track shows.
    eye = synthetic.eye((96, 96), seed=2).image
    raw = (1000 + eye.astype(np.uint16) * 8).astype(np.uint16)
    gray, colour = tmp_path / "gray.png", tmp_path / "colour.png"
    cv2.imwrite(str(gray), raw)
    cv2.imwrite(str(colour), cv2.cvtColor(raw, cv2.COLOR_GRAY2BGR))
    for path in (gray, colour):
        out = tmp_path / (path.stem + ".jpg")
        assert cli.main(["detect", str(path), "--overlay", str(out)]) == 0
        shown = cv2.imread(str(out), cv2.IMREAD_GRAYSCALE).astype(float)
        assert abs(np.median(shown) - np.median(raw) * 255 / 4095) < 2
