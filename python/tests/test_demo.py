"""The demonstration: its synthetic eye measured against the truth, and the
exit status and messages of its command line."""

import sys
from pathlib import Path

import numpy as np
import pytest

cv2 = pytest.importorskip("cv2")
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "examples"))
import demo  # noqa: E402


def test_command_line_measures_the_synthetic_eye(tmp_path, capsys):
    out = tmp_path / "overlay.png"
    assert demo.main(["--out", str(out)]) == 0
    printed = capsys.readouterr().out
    assert "pupil centre" in printed and "error against the truth" in printed
    image = cv2.imread(str(out))
    assert image is not None and image.shape == (480, 640, 3)
    # A centre guess and a radius range are honoured.
    assert demo.main(["--out", str(out), "--center", "325,250",
                      "--radius", "30,70"]) == 0


def test_no_pupil_and_bad_arguments_exit_non_zero(tmp_path, capsys):
    blank = tmp_path / "blank.png"
    cv2.imwrite(str(blank), np.full((120, 160), 128, np.uint8))
    assert demo.main([str(blank), "--out", str(tmp_path / "o.png")]) == 1
    assert "no pupil found" in capsys.readouterr().err
    for args in (["--rays", "0"], ["--center", "3"], ["--radius", "a,b"],
                 [str(tmp_path / "missing.png")]):
        with pytest.raises(SystemExit) as stop:
            demo.main(args + ["--out", str(tmp_path / "o.png")])
        assert stop.value.code == 2
    # An overlay that cannot be written: it said "written", or raised.
    for out in (tmp_path / "missing" / "o.png", tmp_path / "o.txt"):
        with pytest.raises(SystemExit) as stop:
            demo.main(["--out", str(out)])
        assert stop.value.code == 2
        assert "cannot write" in capsys.readouterr().err
