"""How much a fitted ellipse is the pupil, from 0 to 1: gates that say
"no pupil" outright, then the product of three terms.

Gates (any failing scores 0):
- shape: not flatter than minor/major 0.4, a minor axis of 4 px or more,
  radii within the range searched (give or take 20 %), and the whole
  ellipse on the image;
- dark: three in four samples inside darker than three in four around;
- contrast: the inside's median below the surround's by 12 % of the
  surround's level (Weber contrast: the same at any exposure or bit depth)
  and by 4 times the gradient noise, and evenly dark (lashes on a shut lid
  are half bright);
- closed: the ring around no darker than halfway to the inside on both
  sides of any line through the centre (a brow, hair, a glasses frame or
  the shade between narrow lids runs through what is fitted to it), and
  no line that dark, narrower than the ellipse, leaving it on one side
  out to three radii (the thick end of a shut lid's lashes).

Terms:
- support: the share of rays whose edge lies on the ellipse (0 at 45 %,
  1 at 85 % and more);
- strength: the edges' median pixel gradient over the region's gradient
  noise (0 at 2, 1 at 8; 0 at 1, 1 at 4 for a complete contour: 80 % of
  the rays on an ellipse no flatter than 0.6 around an inside 20 % darker
  than its surround, which texture does not draw however faint its edges,
  as a remote camera's blur makes a small pupil's);
- fit: 1 / (1 + (rms / (0.5 px + 2 % of the minor axis))^2), the rms
  residual of the fitted points: a large real pupil is less perfectly
  elliptical, in pixels, than a small one.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Optional

import numpy as np

from ._numeric import median
from .ellipse_fit import Fit, radius_from_centre
from .pupil import Ellipse
from .rays import Edges, Region
from .tuning import TUNING

_N = TUNING.ring_directions
_ANGLES = np.arange(_N) * (2 * np.pi / _N)
_COS, _SIN = np.cos(_ANGLES), np.sin(_ANGLES)
# Rings inside the pupil and one around it: radius = along * ring + offset.
_RINGS = np.array([[r] for r in TUNING.inner_rings] + [[TUNING.outer_ring[0]]])
_RING_OFFSETS = np.array([[0.0]] * len(TUNING.inner_rings)
                         + [[TUNING.outer_ring[1]]])
# Order statistics of the samples inside (all inner rings) and around.
_INSIDE = len(TUNING.inner_rings) * _N
_HALF_IN, _FIVE_EIGHTHS_IN, _THREE_QUARTERS_IN = (
    _INSIDE // 2, 5 * _INSIDE // 8, 3 * _INSIDE // 4)
_QUARTER_OUT, _HALF_OUT = _N // 4, _N // 2
# Radii, as shares of the radius, along which a dark line leaving is seen.
_LINE_RADII = np.linspace(*TUNING.line_reach[:2],
                          TUNING.line_reach[2])[:, None]
# Each direction around beside its neighbours: one dark crypt of an iris or
# one lash is no band.
_ARCS = (np.arange(_N)[:, None]
         + np.arange(-TUNING.band_arc, TUNING.band_arc + 1)) % _N


def on_edge(ellipse: Ellipse, residuals: np.ndarray) -> np.ndarray:
    """The points whose residual is within half a pixel and 1 % of the
    minor axis of the ellipse."""
    px, share = TUNING.on_edge
    return np.abs(residuals) < px + share * ellipse.minor


def plausible_shape(ellipse: Ellipse, radius_range) -> bool:
    """Not too flat, not too small, radii within the range searched."""
    t = TUNING
    low, high = t.range_slack
    return (ellipse.minor >= t.least_roundness * ellipse.major
            and ellipse.minor >= t.least_minor
            and radius_range[0] * low <= ellipse.minor / 2
            and ellipse.major / 2 <= radius_range[1] * high)


def within_image(region: Region, ellipse: Ellipse) -> bool:
    """The whole ellipse on the image (a pixel's slack): a pupil cut by the
    frame's edge cannot be measured, and a dark line running off it (a
    lid's margin, a frame) is no pupil."""
    t = math.radians(ellipse.angle)
    a, b = ellipse.major / 2, ellipse.minor / 2
    half_w = math.hypot(a * math.cos(t), b * math.sin(t))
    half_h = math.hypot(a * math.sin(t), b * math.cos(t))
    rows, cols = region.bounds
    return (ellipse.cx - half_w >= -1 and ellipse.cx + half_w <= cols
            and ellipse.cy - half_h >= -1 and ellipse.cy + half_h <= rows)


def dark_inside(region: Region, ellipse: Ellipse) -> Optional[float]:
    """The inside's Weber contrast to its surround (0 for a surround without
    a positive level), None where it fails: the inside dark throughout,
    not just a ring of edges (lashes crossing on a shut lid), darker than
    its surround by more than the texture of skin between lashes, and
    evenly: five in eight samples inside no more than a quarter of the way
    from the inside's median to the outside's (glints may cover a third of
    a pupil). And closed: a dark band that runs on past the ellipse on both
    sides, or a narrower dark line that leaves it on one, is no pupil."""
    along = radius_from_centre(ellipse, _COS, _SIN)
    values = region.sample(ellipse.cx, ellipse.cy, _COS, _SIN,
                           along * _RINGS + _RING_OFFSETS)
    around = values[-1]
    inner = np.partition(values[:-1].ravel(),
                         (_HALF_IN, _FIVE_EIGHTHS_IN, _THREE_QUARTERS_IN))
    outer = np.partition(around, (_QUARTER_OUT, _HALF_OUT))
    if inner[_THREE_QUARTERS_IN] >= outer[_QUARTER_OUT]:
        return None
    contrast = outer[_HALF_OUT] - inner[_HALF_IN]
    weber, over_noise = TUNING.min_contrast
    least = max(weber * outer[_HALF_OUT], over_noise * region.noise())
    dark = inner[_HALF_IN] + TUNING.band_share * contrast
    if (contrast < least
            or inner[_FIVE_EIGHTHS_IN]
            > inner[_HALF_IN] + TUNING.evenness * contrast
            or _band_through(around) < dark
            or _line_leaving(region, ellipse, along, around, dark)):
        return None
    surround = float(outer[_HALF_OUT])
    return float(contrast) / surround if surround > 0 else 0.0


def _band_through(around: np.ndarray) -> float:
    """The darkest level around that a line through the centre meets on
    both sides: the lighter end of each diameter, the darkest of those."""
    arcs = around[_ARCS].sum(axis=1)
    return float(np.maximum(arcs[:_N // 2], arcs[_N // 2:]).min()) / \
        _ARCS.shape[1]


def _line_leaving(region: Region, ellipse: Ellipse, along: np.ndarray,
                  around: np.ndarray, dark: float) -> bool:
    """Whether a dark line narrower than the ellipse leaves it: below
    `dark` in one direction at every radius out to three that the region
    holds, light on both sides. What was fitted is then the thick end of
    a line (a shut lid's lashes), not a pupil, which the iris rings."""
    t = TUNING
    # Such a line crosses the ring around: only its dark directions can
    # hold one (most fits have none, and cost nothing more).
    ways = around < dark
    if not ways.any():
        return False
    cos, sin, reach = _COS[ways], _SIN[ways], along[ways] * _LINE_RADII
    xs, ys = ellipse.cx + cos * reach, ellipse.cy + sin * reach
    seen = region.holds(xs, ys)
    lines = ((region.sample_at(xs, ys) < dark) | ~seen).all(axis=0) & (
        seen.sum(axis=0) >= t.line_least_seen)
    if not lines.any():
        return False
    xs, ys, seen = xs[:, lines], ys[:, lines], seen[:, lines]
    side = ellipse.minor / 2 + t.line_side
    dx, dy = -sin[lines] * side, cos[lines] * side
    light = (region.sample_at(xs + dx, ys + dy) >= dark) & (
        region.sample_at(xs - dx, ys - dy) >= dark)
    return bool((light | ~seen).all(axis=0).any())


def _ramp(value: float, ramp) -> float:
    """0 up to ramp's floor, 1 from its floor plus its span, linear between."""
    floor, span = ramp
    return min(1.0, max(0.0, (value - floor) / span))


@dataclass(frozen=True)
class Terms:
    """The three terms; the confidence is their product."""

    support: float
    strength: float
    fit: float

    @property
    def value(self) -> float:
        return float(self.support * self.strength * self.fit)


def terms(region: Region, edges: Edges, fit: Fit, rays: int,
          weber: float) -> Terms:
    """The terms of `fit` to `edges`, whose inside has the Weber contrast
    `weber` to its surround."""
    t = TUNING
    edge = on_edge(fit.ellipse, fit.residuals)
    support = edge.sum() / rays
    # The median over the boundary is as much surer than one pixel's
    # gradient as the boundary holds independent pixels beyond a small
    # pupil's.
    e = fit.ellipse
    boundary = math.pi * (e.major + e.minor) / 2
    noise = region.noise() * min(1.0, math.sqrt(t.independent_edge
                                                / max(boundary, 1.0)))
    contrast = median(edges.gradient[edge]) if edge.any() else 0.0
    snr = contrast / max(noise, 1e-3)
    # The fit's own points: a lid's chord near the ellipse is no misfit.
    rms = float(np.sqrt(np.mean(fit.residuals[fit.inliers] ** 2)))
    least_support, least_roundness, least_weber = t.complete_contour
    complete = (support >= least_support and weber >= least_weber
                and e.minor >= least_roundness * e.major)
    return Terms(_ramp(support, t.support_ramp),
                 _ramp(snr, t.complete_snr_ramp if complete else t.snr_ramp),
                 1.0 / (1.0 + (rms / (t.rms_half[0] + t.rms_half[1]
                                      * fit.ellipse.minor)) ** 2))


def confidence(region: Region, edges: Edges, fit: Fit, rays: int,
               radius_range) -> float:
    """The confidence of `fit` to `edges` (found by `rays` rays in the
    range `radius_range`) being the pupil: 0 when a gate fails, else the
    product of the terms."""
    if not (plausible_shape(fit.ellipse, radius_range)
            and within_image(region, fit.ellipse)):
        return 0.0
    weber = dark_inside(region, fit.ellipse)
    if weber is None:
        return 0.0
    return terms(region, edges, fit, rays, weber).value
