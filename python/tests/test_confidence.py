"""The confidence's gates and terms, on fits and images made for them, and
what `found` means."""

import math

import numpy as np
import pytest

cv2 = pytest.importorskip("cv2")

from pupil_radial import detect, synthetic  # noqa: E402
from pupil_radial.confidence import (dark_inside, on_edge,  # noqa: E402
                                     plausible_shape)
from pupil_radial.pupil import Ellipse  # noqa: E402
from pupil_radial.rays import Region  # noqa: E402


def test_shape_gate_compares_radii_with_the_radius_range():
    e = Ellipse(0.0, 0.0, 40.0, 36.0, 0.0)  # radii 20 and 18
    # The major radius against 1.2 times the range's top.
    assert plausible_shape(e, (10.0, 19.0))      # 20 <= 22.8
    assert not plausible_shape(e, (5.0, 16.0))   # 20 > 19.2
    # The minor radius against 0.8 times the range's bottom.
    assert plausible_shape(e, (22.0, 40.0))      # 17.6 <= 18
    assert not plausible_shape(e, (23.0, 40.0))  # 18.4 > 18
    # Too flat, too small.
    assert not plausible_shape(Ellipse(0, 0, 40.0, 15.0, 0), (5.0, 30.0))
    assert not plausible_shape(Ellipse(0, 0, 5.0, 3.9, 0), (1.0, 30.0))


def test_on_edge_band_grows_with_the_minor_axis():
    small, large = Ellipse(0, 0, 20, 10, 0), Ellipse(0, 0, 200, 100, 0)
    r = np.array([0.55, -0.55, 1.4, 1.6])
    assert on_edge(small, r).tolist() == [True, True, False, False]
    assert on_edge(large, r).tolist() == [True, True, True, False]


def disc_region(inside, outside, radius=15.0, reach=30.0):
    """A region holding a uniform disc at (40, 40) on a uniform surround."""
    gray = np.full((81, 81), outside, np.float32)
    cv2.circle(gray, (40, 40), int(radius), float(inside), -1)
    return Region(gray, (40, 40), reach, 0.0), Ellipse(40.0, 40.0, 2 * radius,
                                                       2 * radius, 0.0)


def test_the_inside_must_be_darker_by_the_least_contrast():
    # 12 levels on the 0-255 scale is the least contrast of a pupil.
    # Its value is the Weber contrast, which a faint contour's strength
    # leans on; a surround at or below zero (signed data) has none.
    assert dark_inside(*disc_region(90, 103)) == pytest.approx(13 / 103)
    assert dark_inside(*disc_region(90, 100)) is None
    assert dark_inside(*disc_region(110, 100)) is None
    assert dark_inside(*disc_region(-50, 0)) == 0.0
    # Half the inside bright (lashes over skin) is not a pupil.
    region, ellipse = disc_region(40, 120)
    region.smooth[40 - region.y0:, :] = 120
    assert dark_inside(region, ellipse) is None


def test_a_dark_band_through_the_centre_is_no_pupil():
    # Dark on both sides of the centre runs through: a brow, a frame.
    # Dark on one side (a lash line along the top) or single dark pixels
    # opposite each other (an iris's crypts) leave a pupil.
    def with_dark(rows=(), pixels=()):
        region, ellipse = disc_region(40, 120)
        region.smooth[[r - region.y0 for r in rows], :] = 40
        for x, y in pixels:
            region.smooth[y - region.y0, x - region.x0] = 40
        return dark_inside(region, ellipse) is not None

    assert with_dark()
    assert not with_dark(rows=range(34, 47))
    assert with_dark(rows=range(20, 26))
    assert with_dark(pixels=((61, 40), (19, 40)))


def test_a_dark_line_leaving_on_one_side_is_no_pupil():
    # A line narrower than the disc leaving it is the thick end of a shut
    # lid's lash line. A dark area as wide as the disc beside it (an iris
    # darker below a pupil, a lid) leaves a pupil, and so does a line that
    # only the region's clamped border would continue (a pupil at the
    # image's edge).
    def with_dark(rows, cols, reach=30.0):
        region, ellipse = disc_region(40, 120, reach=reach)
        region.smooth[rows.start - region.y0:rows.stop - region.y0,
                      cols.start - region.x0:] = 40
        return dark_inside(region, ellipse) is not None

    assert not with_dark(slice(38, 43), slice(55, None))
    assert with_dark(slice(36, 81), slice(55, None))
    assert with_dark(slice(38, 43), slice(55, None), reach=14.0)


def faint_eye(difference):
    """A clean synthetic eye whose pupil is `difference` levels darker than
    the iris around it."""
    return synthetic.eye((240, 320), seed=5, iris_level=100.0,
                         pupil_level=100.0 - difference, noise=0.5, lashes=0,
                         glints=0, opening=1.0, vignetting=0.0,
                         sclera_level=100.0, skin_level=100.0)


def test_a_faint_pupil_scores_zero_and_a_clear_one_is_found():
    for difference, found in ((10.0, False), (40.0, True)):
        e = faint_eye(difference)
        p = e.pupil
        pupil = detect(e.image, center=(p.cx, p.cy),
                       radius=(0.3 * p.minor, 0.8 * p.major))
        assert pupil.found == found
        if not found:
            assert pupil.confidence == 0.0


def test_found_means_confidence_at_or_above_the_threshold():
    e = synthetic.eye((192, 192), seed=2)
    confidence = detect(e.image).confidence
    assert 0.5 < confidence < 1.0
    at = detect(e.image, threshold=confidence)
    assert at.found and at.confidence == confidence
    above = detect(e.image, threshold=math.nextafter(confidence, 1.0))
    assert not above.found and above.confidence == confidence
    assert math.isnan(above.center[0])


@pytest.mark.parametrize("sigma", [1.0, 3.0])
def test_gradient_noise_follows_the_blur_the_region_uses(sigma):
    # White noise of 4 levels, no texture: the region's noise is the
    # sensor's carried through its own blur (the wide blur of the second
    # look leaves a seventh of the first's), as measured on the gradient.
    noise = np.random.default_rng(5).normal(100, 4.0, (201, 201))
    region = Region(noise.astype(np.float32), (100, 100), 80, sigma)
    measured = float(np.std(region.gx[10:-10, 10:-10]))
    assert region.noise() == pytest.approx(measured, rel=0.05)


def test_dim_large_pupils_found_by_the_wide_blur_score_as_they_should():
    # A fifth of the light under the full sensor noise: these are found by
    # the second look, whose blur leaves far less noise than the first's.
    for seed in (9, 10, 15):
        eye = synthetic.eye((480, 640), seed=seed, exposure=0.2)
        pupil = detect(eye.image)
        assert pupil.found, (seed, pupil.confidence)
        assert math.hypot(pupil.center[0] - eye.pupil.cx,
                          pupil.center[1] - eye.pupil.cy) < 0.5
