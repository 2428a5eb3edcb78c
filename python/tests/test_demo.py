"""The demonstration's pipeline on its synthetic eye finds the true pupil."""

import sys
from pathlib import Path

import pytest

cv2 = pytest.importorskip("cv2")
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "examples"))
import demo  # noqa: E402


def test_fitted_pupil_matches_the_ground_truth():
    m = demo.measure(demo.synthetic_eye())
    truth, fit = demo.TRUE_PUPIL, m.ellipse
    assert abs(fit.cx - truth.cx) < 0.5 and abs(fit.cy - truth.cy) < 0.5
    assert abs(fit.a - truth.a) < 1.0 and abs(fit.b - truth.b) < 1.0
    assert m.result.count >= 170


def test_command_line_writes_an_overlay(tmp_path, capsys):
    out = tmp_path / "overlay.png"
    assert demo.main(["--out", str(out), "--rays", "90"]) == 0
    printed = capsys.readouterr().out
    assert "pupil centre" in printed and "error against the truth" in printed
    image = cv2.imread(str(out))
    assert image is not None and image.shape == (480, 640, 3)
    # An explicit centre guess is honoured too.
    assert demo.main(["--out", str(out), "--center", "320,240"]) == 0
