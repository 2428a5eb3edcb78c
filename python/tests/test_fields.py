"""Interlaced frames: the odd rows' misplacement measured and taken out,
so that the pupil is measured where the even rows show it; progressive
images left as they are."""

import numpy as np
import pytest

cv2 = pytest.importorskip("cv2")

from pupil_radial import detect, synthetic, track  # noqa: E402
from pupil_radial.fields import odd_row_offset, on_even_rows  # noqa: E402
from pupil_radial.locate import as_gray  # noqa: E402


@pytest.mark.parametrize("offset", [-0.6, 0.5])
def test_a_misplaced_field_is_measured_from_either_parity(offset):
    for seed in range(3):
        gray = as_gray(synthetic.eye((240, 320), seed=seed,
                                     field_offset=offset).image)
        assert odd_row_offset(gray) == pytest.approx(offset, abs=0.12)
        # A window from an odd row: its even rows are the frame's odd ones.
        assert odd_row_offset(gray[41:201, 30:290], 41) == pytest.approx(
            offset, abs=0.15)
        moved = on_even_rows(gray)
        assert np.array_equal(moved[0::2], gray[0::2])
        assert abs(odd_row_offset(moved)) < 0.1


def test_progressive_and_featureless_images_are_left_as_they_are():
    images = [as_gray(synthetic.eye(shape, seed=seed, **kw).image)
              for seed in range(3) for shape, kw in (
                  ((192, 192), {}), ((480, 640), {}),
                  ((240, 320), dict(exposure=0.2)))]
    images += [np.full((50, 60), 7, np.float32),  # no difference at all
               np.zeros((7, 40), np.float32),     # too few rows
               np.tile(np.float32([0, 255]), (40, 30)).T.copy()]  # stripes
    for gray in images:
        assert on_even_rows(gray) is gray


def test_the_pupil_of_an_interlaced_eye_is_where_the_even_rows_show_it():
    # Unregistered, both fields' edges are blurred into one, 0.3 px lower.
    alone, hinted, followed = [], [], []
    for seed in range(6):
        eye = synthetic.eye((240, 320), seed=seed, field_offset=-0.6,
                            lashes=0)
        truth = eye.pupil
        alone.append(detect(eye.image).center[1] - truth.cy)
        hinted.append(detect(eye.image, truth.center,
                             (truth.minor / 2 - 3, truth.major / 2 + 3))
                      .center[1] - truth.cy)
        frames = [np.roll(eye.image, 2 * k, axis=0) for k in range(3)]
        followed += [p.center[1] - truth.cy - 2 * k
                     for k, p in enumerate(track(frames))]
    for dy in (alone, hinted, followed):
        assert np.all(np.isfinite(dy))
        assert abs(np.median(dy)) < 0.1 and np.max(np.abs(dy)) < 0.45
