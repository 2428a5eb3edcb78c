"""Ellipse fitting on points alone: residuals, many fits at once, the
robust choice among guesses and the refinement's outlier cut."""

import math

import numpy as np
import pytest

pytest.importorskip("cv2")

from pupil_radial.ellipse_fit import (fit, fit_many, guess_masks,  # noqa: E402
                                      refine, residuals, robust_fit)
from pupil_radial.pupil import Ellipse  # noqa: E402


def boundary(e, n=96):
    """n points on ellipse e, in angle order."""
    angles = np.arange(n) * (2 * np.pi / n)
    t = math.radians(e.angle)
    u, v = e.major / 2 * np.cos(angles), e.minor / 2 * np.sin(angles)
    x = e.cx + u * math.cos(t) - v * math.sin(t)
    y = e.cy + u * math.sin(t) + v * math.cos(t)
    return np.stack((x, y), axis=1)


TRUTH = Ellipse(50.0, 40.0, 30.0, 24.0, 20.0)


def test_residuals_are_signed_distances_along_the_ray_from_the_centre():
    e = Ellipse(10.0, 20.0, 8.0, 4.0, 0.0)
    pts = np.array([[14.0, 20.0], [16.0, 20.0], [10.0, 21.0], [10.0, 23.0],
                    [8.0, 20.0]])
    assert np.allclose(residuals(e, pts), [0.0, 2.0, -1.0, 1.0, -2.0])
    # Turned by 90 degrees, the major axis runs along y.
    turned = Ellipse(10.0, 20.0, 8.0, 4.0, 90.0)
    assert np.allclose(residuals(turned, pts[[0, 2]]), [2.0, -3.0])
    # Many ellipses at once, as (k, 1) arrays, give the same rows.
    both = Ellipse(*(np.array([[a], [b]]) for a, b in zip(
        (e.cx, e.cy, e.major, e.minor, e.angle),
        (turned.cx, turned.cy, turned.major, turned.minor, turned.angle))))
    many = residuals(both, pts)
    assert np.allclose(many[0], residuals(e, pts))
    assert np.allclose(many[1], residuals(turned, pts))


def test_fit_orders_the_axes_and_the_angle_like_the_truth():
    e = fit(boundary(TRUTH).astype(np.float32))
    assert math.hypot(e.cx - 50.0, e.cy - 40.0) < 1e-3
    assert abs(e.major - 30.0) < 1e-2 and abs(e.minor - 24.0) < 1e-2
    assert abs(e.angle - 20.0) < 0.1
    # Minor along x: the box's width and height swap, the angle turns.
    tall = fit(boundary(Ellipse(0.0, 0.0, 20.0, 10.0, 90.0)).astype(
        np.float32))
    assert tall.major > tall.minor and abs(tall.angle - 90.0) < 0.1


def test_fit_many_matches_single_fits_and_marks_non_ellipses():
    pts = boundary(TRUTH)
    masks = guess_masks(len(pts), True)
    with np.errstate(all="ignore"):
        many, valid = fit_many(pts, masks)
    assert valid.all()
    assert np.allclose(many.cx, 50.0) and np.allclose(many.major, 30.0)
    assert np.allclose(many.angle, 20.0)
    # Points on a hyperbola are no ellipse.
    x = np.linspace(1.0, 5.0, 20)
    with np.errstate(all="ignore"):
        hyperbola, valid = fit_many(np.stack((x, 1 / x), axis=1),
                                    np.ones((1, 20)))
    assert not valid.any() and np.isnan(hyperbola.major).all()


def test_refinement_drops_points_beyond_the_cut_on_both_sides():
    pts = boundary(TRUTH)
    pts[5] += (pts[5] - (50, 40)) * 0.1   # 1.5 px outside
    pts[50] -= (pts[50] - (50, 40)) * 0.1  # 1.2 px inside
    refined = refine(pts.astype(np.float32), TRUTH, 3.0)
    assert not refined.inliers[5] and not refined.inliers[50]
    assert refined.inliers.sum() == len(pts) - 2
    assert abs(refined.ellipse.major - 30.0) < 1e-2
    # Within the noise band, points stay in.
    near = boundary(TRUTH)
    near[5] += (near[5] - (50, 40)) * 0.01
    assert refine(near.astype(np.float32), TRUTH, 3.0).inliers.all()


def test_noisy_points_keep_no_outlier_beyond_a_pixel():
    # Noise of 0.8 px would put three deviations at 2.4 px; the cut stays
    # at most 1 px (for a minor axis under 40 px), so a glint's rim 2 px
    # outside never joins the fit.
    rng = np.random.default_rng(7)
    pts = boundary(TRUTH, 192)
    radial = (pts - (50, 40)) / np.hypot(*(pts - (50, 40)).T)[:, None]
    pts += radial * rng.normal(0, 0.8, (len(pts), 1))
    pts[20] = boundary(TRUTH, 192)[20] + 2.0 * radial[20]
    refined = refine(pts.astype(np.float32), TRUTH, 3.0)
    assert not refined.inliers[20]
    assert np.abs(refined.residuals[refined.inliers]).max() < 1.0


def test_too_few_points_give_no_fit():
    pts = boundary(TRUTH, 7).astype(np.float32)
    assert robust_fit(pts, (50, 40), 25.0) is None
    assert refine(pts[:5], TRUTH, 1.0) is None


def test_robust_fit_rejects_guesses_larger_than_the_rays_reach():
    # Every point on an ellipse far larger than the rays could reach.
    big = boundary(Ellipse(50.0, 40.0, 200.0, 160.0, 0.0)).astype(np.float32)
    assert robust_fit(big, (50, 40), 25.0) is None


@pytest.mark.parametrize("hidden", [0.0, 0.3])
def test_robust_fit_ignores_a_lid_chord_and_stray_points(hidden):
    angles = np.arange(96) * (2 * np.pi / 96)
    t = math.radians(20.0)
    u, v = 15.0 * np.cos(angles), 12.0 * np.sin(angles)
    x = 50.0 + u * math.cos(t) - v * math.sin(t)
    y = 40.0 + u * math.sin(t) + v * math.cos(t)
    # A lid hides the top arc and puts its straight edge there instead;
    # three glint rims lie 4 px outside the boundary.
    lid = np.argsort(y)[:int(hidden * 96)]
    if hidden:
        y[lid] = y[lid].max()
    x[[10, 40, 70]] += 4.0
    points = np.stack((x, y), axis=1).astype(np.float32)
    (cx, cy), (major, minor), angle = robust_fit(points, (51, 39), 25.0,
                                                 tolerance=0.75).ellipse.box
    # Chord points near its ends lie on the ellipse too.
    assert math.hypot(cx - 50.0, cy - 40.0) < 0.15
    assert abs(major - 30.0) < 0.3 and abs(minor - 24.0) < 0.3
    assert abs(angle - 20.0) < 1.0


def test_a_half_arc_beside_far_points_fits_on_its_own():
    # Rays cast from near a pupil's top edge: the lower half of its boundary
    # and, above, a lash line further out, placed so that the mean of all
    # the points lies on the pupil's boundary. The guess that leaves the
    # lashes out must come out as the pupil all the same.
    pupil = Ellipse(144.0, 116.0, 46.0, 46.0, 0.0)
    lower = boundary(pupil, 48)[1:24]
    lash_y = 2 * (116.0 - 23.0) - lower[:, 1].mean()
    lashes = np.stack((288.0 - lower[:, 0], np.full(len(lower), lash_y)),
                      axis=1)
    pts = np.vstack((lower, lashes))
    assert np.allclose(pts.mean(axis=0), (144.0, 93.0))  # on the boundary
    mask = np.zeros((1, len(pts)))
    mask[0, :len(lower)] = 1
    with np.errstate(all="ignore"):
        fitted, valid = fit_many(pts, mask)
    assert valid[0]
    assert math.hypot(fitted.cx[0, 0] - 144, fitted.cy[0, 0] - 116) < 0.5
    assert fitted.major[0, 0] == pytest.approx(46.0, abs=0.5)
