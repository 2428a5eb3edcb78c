"""Every tuning constant of the detector, once, each with its reason.
Lengths are in pixels of the image unless said otherwise, levels on a
0-255 scale; values that follow from others are computed from them."""

from __future__ import annotations

from dataclasses import dataclass


@dataclass(frozen=True)
class Tuning:
    # -- The frame --
    least_field_offset: float = 0.25
    """Odd rows misplaced by this share of a row or more (an interlaced
    camera's second field) are moved back: progressive images measure a
    few hundredths, and a shift below a quarter of a row is not worth
    reading every odd row between pixels."""
    field_shift_share: float = 0.02
    """...and only where the shift explains 2 % or more of how the odd rows
    differ from halfway between the even ones: a misplaced field explains
    12 % to 93 % (iris-camera close-ups), the texture and noise of nine
    in ten progressive images less than 2 %."""

    # -- Where to look (the overview) --
    overview_side: int = 128
    """The overview's longer side at most: enough for a pupil's blob, and a
    whole reduction factor is many times cheaper than a fractional one."""
    glint_opening: int = 5
    """Glints (bright specks a few px wide) opened away in the overview."""
    pupil_box_divisors: tuple = (16, 3)
    """A pupil fills from a 16th to a third of an eye camera's frame: the
    overview's shorter side over these."""
    pupil_box_sizes: int = 7
    """Box sizes tried between those."""
    dark_level_offset: float = 16.0
    """Added to the surround's level when contrast is weighed against it,
    so that noise in a black image is not a pupil."""
    min_dark_score: float = 0.15
    """The least (surround - inside) / (surround + offset) of a pupil."""
    dark_level_share: float = 0.3
    """The dark part is what lies below a third of the way from the box's
    level to its surround's."""
    radius_directions: int = 32
    """Directions the radius estimate looks along, in the overview."""
    radius_reach: float = 0.45
    """Reach of the radius estimate, as a share of the overview's shorter
    side."""
    bright_quantile: float = 0.9
    """The brightest level along a direction: this quantile of its samples
    (the very brightest can be a glint)."""
    min_rise: float = 6.0
    """Least rise from the centre to that level for any edge to be there."""
    rise_share: float = 0.3
    """The edge is where the profile first rises this share of the way."""
    min_rise_directions: float = 0.5
    """Share of the directions that must see the rise."""

    candidates: int = 3
    """Dark regions measured, in turn, where no centre is given..."""
    clear_pupil: float = 0.9
    """... until one gives a pupil this clear."""

    unchanged_level: float = 4.0
    """While tracking, a frame whose overview differs nowhere by more than
    this many gray levels (of 255) from that of a frame searched afresh
    without a pupil has none either (a held blink, a dark frame): noise
    and compression move an overview by a level or two, an eye opening by
    tens."""

    # -- The pupil radius range searched: (max(least, below r), above R +
    # margin) for the smallest and largest radius r, R known --
    least_radius: float = 1.5
    """No pupil is smaller than this."""
    below_estimate: float = 0.35
    """Below an estimated radius: the estimate is rough."""
    below_fit: float = 0.6
    """Below a fitted ellipse's minor radius."""
    above_search: float = 1.7
    """Above an estimated or fitted major radius, for the search."""
    above_tracked: float = 1.2
    """Above a tracked pupil's major radius: it cannot grow much between
    frames."""
    range_margin: float = 3.0
    """Added to the upper end: blur widens small pupils."""

    # -- Windows and regions --
    blur_reach: float = 3.0
    """A Gaussian blur reaches this many sigmas."""
    window_margin: float = 12.0
    """A window around a guess reaches this far past the rays and the blur:
    the rings sampled around the ellipse and the Sobel operator."""
    region_margin: float = 4.0
    """A region's gradients reach this far past the rays and the blur."""
    window_over_radius: float = 1.7
    """A window around a given centre and radius range: this many times the
    range's top (the first search may recentre by a fraction of it)."""
    window_over_tracked: float = 0.75
    """A window around a tracked pupil: this many times its major axis."""
    region_tracked: tuple = (0.6, 4.0)
    """A tracked pupil's region reaches this many times its major axis, and
    this many px more."""
    region_past_radius: float = 0.25
    """The coarse search's region reaches past the range's top by this
    share of it."""

    smeared_sigma: float = 3.0
    """The image's blur, in px, for a second look where the first finds no
    pupil: motion blur smears a saccade's edges over several pixels."""
    smeared_least_radius: float = 8.0
    """... where the pupil may reach this many times that blur."""

    # -- The radial searches --
    coarse_rays: int = 48
    """Rays of the first, coarse search."""
    coarse_spacing: float = 0.5
    """Sample spacing of the coarse search."""
    fine_spacing: float = 0.2
    """Sample spacing of the fine search: as precise as refining between
    samples half a pixel apart, and less work."""
    ray_smoothing: float = 0.75
    """Smoothing along every ray, in px, whatever the spacing."""
    inner_edge_share: float = 0.25
    """An inner edge at least this share of the outer's gradient is the
    pupil's (a lid or the iris rim beyond it can be stronger)."""
    edge_flank: float = 2.0
    """An edge spreads over this many px plus two sigmas of blur."""
    recentre_share: float = 0.25
    """The coarse search recentres when its fit lies further than this share
    of the minor radius from the guess."""
    fine_slack: tuple = (1.5, 0.1)
    """The fine search looks within this many px of the ellipse and this
    share of its radius..."""
    tracked_slack: float = 3.0
    """... within this many px when following a tracked pupil, which moves."""
    fine_reach: tuple = (1.3, 4.0)
    """The fine search gives up on an ellipse reaching past this many times
    the range's top plus this many px: no pupil is there."""

    texture_share: float = 1.0
    """The gradient's noise: the sensor's carried through the blur and the
    Sobel operator (computed, see rays.Region.noise), or the gradient's
    robust spread times this, where texture is, the larger."""

    # -- Fitting --
    coarse_tolerance: float = 0.75
    """Points on the coarse grid are scored within this band."""
    fine_tolerance: float = 0.25
    """The default band for fine points."""
    tolerance_share: float = 0.005
    """The band widens by this share of the points' size."""
    whole_fit_share: float = 0.9
    """A fit to every point is kept when this share lies on it."""
    plausible_reach: tuple = (2.4, 0.6)
    """A guess's major axis can be at most the first times the rays' reach
    (its diameter, with 20 % to spare), its centre at most the second
    times the reach from the rays' origin."""
    refine_share: float = 0.03
    """The refinement's first band: this share of the minor axis, at least
    1 px."""
    refined_support: float = 0.85
    """The fine fit is refined from the coarse one unless fewer than this
    share of the rays then lie on it."""
    outlier_sigmas: float = 3.0
    """Outliers are beyond this many robust standard deviations..."""
    outlier_cut_bounds: tuple = (0.5, 1.0)
    """... but never nearer than the first (noise moves edges that much)
    nor further than the larger of the second and ..."""
    outlier_cut_share: float = 0.025
    """... this share of the minor axis."""
    refine_rounds: int = 3
    """Rounds of the refinement."""

    # -- The confidence (see confidence.py) --
    on_edge: tuple = (0.5, 0.01)
    """A point is on the ellipse within this many px and this share of the
    minor axis."""
    least_roundness: float = 0.4
    """The flattest pupil: minor / major."""
    least_minor: float = 4.0
    """The smallest pupil's minor axis."""
    range_slack: tuple = (0.8, 1.2)
    """The fitted radii must lie within the range searched, give or take."""
    min_contrast: tuple = (0.12, 4.0)
    """The pupil darker than its surround (medians) by the first share of
    the surround's level (Weber contrast, the same under any exposure)
    and by the second times the region's gradient noise."""
    evenness: float = 0.25
    """Five in eight samples inside no more than this share of the way from
    the inside's median to the outside's."""
    ring_directions: int = 32
    """Directions of the darkness check."""
    band_share: float = 0.5
    """Where the ring around is darker than this share of the way from the
    inside's median to the surround's on both sides of the centre, a dark
    band runs through: a brow or hair seen whole by a remote camera, a
    glasses frame, the shade between narrow lids."""
    band_arc: int = 1
    """... each direction averaged with this many on either side."""
    line_reach: tuple = (1.15, 3.0, 10)
    """A dark line leaving the ellipse on one side (the thick end of a shut
    lid's lash line, as a remote camera sees it) is looked for from the
    first to the second share of the radius, at this many radii; dark
    means darker than the band's level..."""
    line_least_seen: int = 5
    """... at every radius the region holds, and it must hold this many (an
    edge of the image or region says nothing about what lies beyond)..."""
    line_side: float = 2.0
    """... with both sides light, this many px beyond half the minor axis
    from the line: a line narrower than the ellipse, not a dark iris or
    lid beside the pupil."""
    inner_rings: tuple = (0.25, 0.5, 0.75)
    """Rings inside the pupil, as shares of the radius along each
    direction."""
    outer_ring: tuple = (1.25, 2.0)
    """The ring around it: this share of the radius and px beyond it."""
    snr_ramp: tuple = (2.0, 6.0)
    """Edge gradient over noise: 0 at the first, 1 at the first plus the
    second."""
    complete_contour: tuple = (0.8, 0.6, 0.2)
    """A fit with at least this share of the rays on it, this minor/major
    ratio and this Weber contrast inside: a closed, round contour that the
    rays agree on around a clearly dark inside, which texture does not
    draw however faint each edge is (a small pupil blurred by a remote
    camera's optics)..."""
    complete_snr_ramp: tuple = (1.0, 3.0)
    """... whose edges are weighed by this ramp instead of snr_ramp."""
    independent_edge: float = 60.0
    """The boundary length, in px, up to which the edges' median gradient
    is weighed against the noise as it is; a longer boundary's median
    is surer by the square root of the ratio."""
    rms_half: tuple = (0.5, 0.02)
    """The fit's rms residual at which its term is one half: this many px
    and this share of the minor axis (a large real pupil is less
    perfectly elliptical, in pixels, than a small one)."""
    support_ramp: tuple = (0.45, 0.4)
    """Share of the rays on the ellipse: 0 at the first, 1 at the first plus
    the second."""


TUNING = Tuning()


def radius_range(inner: float, outer: float, below: float,
                 above: float) -> tuple:
    """The pupil radius range (min, max) searched around a pupil whose
    smallest and largest radius are `inner` and `outer`."""
    t = TUNING
    return (max(t.least_radius, below * inner), above * outer + t.range_margin)
