"""Synthetic eye-camera images whose true pupil is known.

Used by the tests, the demonstration and the accuracy figures. Each image is
an infrared-style eye: skin, an almond-shaped opening between two eyelids,
sclera, a textured iris and a dark, anti-aliased elliptical pupil, with
lashes, corneal glints, vignetting, defocus and sensor noise as asked. The
truth is exact in pixel-centre coordinates: pixel (x, y) covers
[x - 0.5, x + 0.5] x [y - 0.5, y + 0.5].

    from pupil_radial import synthetic
    eye = synthetic.eye((192, 192), seed=3)
    eye.image, eye.pupil, eye.visible
    blank = synthetic.no_pupil("closed", (480, 640), seed=1)
    for frame in synthetic.video((192, 192), seconds=5, fps=120): ...
"""

from __future__ import annotations

import math
from dataclasses import dataclass, replace
from typing import Optional

import cv2
import numpy as np

from . import _checks
from .pupil import Ellipse

NO_PUPIL_KINDS = ("blank", "closed", "skin", "noise")


@dataclass(frozen=True)
class EyeParams:
    """Everything that shapes one synthetic eye; `eye()` draws the rest at
    random. Lengths are in pixels, intensities on a 0-255 scale."""

    pupil: Optional[Ellipse]
    iris_center: tuple
    iris_radius: float
    opening: float = 1.0        # 1 wide open, 0 shut
    lid_center_y: float = 0.0   # row of the lids' meeting line
    lashes: int = 0
    glints: int = 1
    glint_on_edge: bool = False
    defocus: float = 0.8        # Gaussian sigma in px
    noise: float = 3.0
    vignetting: float = 0.3     # darkening at the corners, 0..1
    pupil_level: float = 28.0
    iris_level: float = 105.0
    sclera_level: float = 200.0
    skin_level: float = 170.0
    mascara: bool = False
    motion_blur: tuple = (0.0, 0.0)  # (dx, dy) in px over the exposure
    exposure: float = 1.0       # the scene's brightness, before the noise
    brow: bool = False          # a dark brow above the eye
    wide_brow: bool = False     # a remote camera's view of it: a soft band
    glasses: bool = False       # a dark glasses frame around it
    dark_corner: bool = False   # hair or a shadow over a corner of the frame
    lash_line: bool = False     # the lower lid's lashes as one dark line,
    #                             thickest at the inner corner (a shut lid
    #                             as a remote camera sees it)
    bits: int = 8               # > 8: uint16 data, 0 to 2**bits - 1
    field_offset: float = 0.0   # an interlaced camera whose odd rows show
    #                             the scene this many rows lower than their
    #                             place (a misplaced second field)


@dataclass(frozen=True)
class SyntheticEye:
    """An eye image and its truth. `pupil` is None where there is no pupil
    at all; `visible` is the share of the pupil's boundary that no eyelid
    or lash covers (0 when the eye is shut)."""

    image: np.ndarray
    pupil: Optional[Ellipse]
    visible: float
    params: Optional[EyeParams]


def random_params(shape=(480, 640), rng=None, **overrides) -> EyeParams:
    """Draws the parameters of a plausible open eye of the given size."""
    rng = np.random.default_rng(rng)
    rows, cols = shape
    size = min(rows, cols)
    iris_r = size * rng.uniform(0.24, 0.3)
    icx = cols / 2 + rng.uniform(-0.08, 0.08) * cols
    icy = rows / 2 + rng.uniform(-0.08, 0.08) * rows
    radius = iris_r * rng.uniform(0.3, 0.6)
    ratio = rng.uniform(0.7, 1.0)
    pcx = icx + rng.uniform(-0.1, 0.1) * iris_r
    pcy = icy + rng.uniform(-0.1, 0.1) * iris_r
    pupil = Ellipse(pcx, pcy, 2 * radius, 2 * radius * ratio,
                    float(rng.uniform(0, 180)))
    params = EyeParams(
        pupil=pupil, iris_center=(icx, icy), iris_radius=iris_r,
        opening=float(rng.uniform(0.4, 1.0)),
        lid_center_y=icy + rng.uniform(-0.1, 0.15) * iris_r,
        lashes=int(rng.integers(0, 6)), glints=int(rng.integers(1, 4)),
        glint_on_edge=bool(rng.random() < 0.5),
        defocus=float(rng.uniform(0.5, 1.5)) * size / 480,
        noise=float(rng.uniform(1.5, 5.0)),
        vignetting=float(rng.uniform(0.0, 0.45)),
        pupil_level=float(rng.uniform(15, 45)),
        iris_level=float(rng.uniform(85, 130)),
        mascara=bool(rng.random() < 0.3))
    return _checked(replace(params, **overrides))


def _checked(p: EyeParams) -> EyeParams:
    """The parameters that would draw no camera's image refused, naming the
    field: more bits than a uint16 holds wrapped around, and a negative
    blur or noise or a share outside 0..1 drew nonsense without a word."""
    _checks.count("bits", p.bits, 8, 16)
    for name in ("defocus", "noise"):
        _checks.number(name, getattr(p, name), 0.0, 255.0)
    for name in ("opening", "vignetting"):
        _checks.number(name, getattr(p, name), 0.0, 1.0)
    _checks.number("exposure", p.exposure, 0.0, 100.0)
    _checks.number("field_offset", p.field_offset, -1.0, 1.0)
    return p


def eye(shape=(480, 640), seed=None, **overrides) -> SyntheticEye:
    """A random open eye of `shape` (rows, cols); `overrides` set any field
    of EyeParams (pupil=Ellipse(...), opening=0.0 for a shut eye, ...)."""
    shape = _checks.shape(shape)
    rng = np.random.default_rng(seed)
    params = random_params(shape, rng, **overrides)
    return render(shape, params, rng)


def no_pupil(kind: str, shape=(480, 640), seed=None) -> np.ndarray:
    """An image with no pupil in it: "blank" (one grey level), "closed"
    (a shut eye), "skin" (skin texture only) or "noise" (random pixels)."""
    shape = _checks.shape(shape)
    rng = np.random.default_rng(seed)
    rows, cols = shape
    if kind == "blank":
        return np.full(shape, int(rng.integers(40, 220)), np.uint8)
    if kind == "noise":
        return rng.integers(0, 256, shape, dtype=np.uint8)
    if kind == "skin":
        skin = _skin(shape, rng, float(rng.uniform(140, 190)))
        return _finish(skin, rng, 1.0, float(rng.uniform(1.5, 5)),
                       float(rng.uniform(0, 0.4)))
    if kind == "closed":
        params = random_params(shape, rng, opening=0.0,
                               lashes=int(rng.integers(4, 12)))
        return render(shape, params, rng).image
    raise ValueError(f"kind must be one of {NO_PUPIL_KINDS}, got {kind!r}")


def render(shape, params: EyeParams, rng=None, noise_rng=None) -> SyntheticEye:
    """Draws the eye that `params` describe. `rng` draws its texture,
    lashes and glints, `noise_rng` (default: rng) its sensor noise, so that
    frames of one video share the first and differ in the second."""
    rng = np.random.default_rng(rng)
    noise_rng = rng if noise_rng is None else noise_rng
    rows, cols = shape
    p = params
    y, x = np.mgrid[0:rows, 0:cols].astype(np.float32)
    image = _skin(shape, rng, p.skin_level)

    icx, icy = p.iris_center
    upper, lower = _lids(x, p, cols)
    opening = (y > upper) & (y < lower)
    # Soft lid edges, a px wide, and a darker band along the lid margin.
    inside = np.clip(np.minimum(y - upper, lower - y) + 0.5, 0, 1)
    eyeball = np.full(shape, p.sclera_level, np.float32)
    r_iris = np.hypot(x - icx, y - icy)
    theta = np.arctan2(y - icy, x - icx)
    streaks = (7 * np.sin(theta * 41 + 3 * np.sin(theta * 7))
               + 4 * np.sin(theta * 97))
    iris = p.iris_level + streaks * np.clip(r_iris / p.iris_radius, 0.3, 1)
    iris_cover = np.clip(p.iris_radius + 0.5 - r_iris, 0, 1)
    eyeball = eyeball * (1 - iris_cover) + iris * iris_cover
    if p.pupil is not None:
        cover = pupil_coverage(p.pupil, x, y)
        eyeball = eyeball * (1 - cover) + p.pupil_level * cover
    image = image * (1 - inside) + eyeball * inside
    shade = np.exp(-np.maximum(y - upper, 0) / (0.06 * p.iris_radius + 1))
    image *= 1 - 0.35 * shade * inside

    if p.brow or p.wide_brow or p.glasses or p.dark_corner:
        image = _beside_the_eye(image, p)
    if p.lash_line:
        image = _lash_line(image, p, lower[0])
    covered = (~opening).astype(np.uint8)
    lash_mask = _lashes(shape, p, rng, upper[0])
    image[lash_mask > 0] = 20 + 10 * rng.random()

    visible = _visible_share(p, covered, lash_mask, upper[0], lower[0])

    for i in range(p.glints):
        if p.pupil is not None and (p.glint_on_edge and i == 0):
            gx, gy = ellipse_points(p.pupil, rng.uniform(0, 2 * np.pi))
        else:
            gx = icx + rng.uniform(-0.4, 0.4) * p.iris_radius
            gy = icy + rng.uniform(-0.4, 0.4) * p.iris_radius
        sigma = p.iris_radius * rng.uniform(0.02, 0.04)
        image += 230 * np.exp(-((x - gx) ** 2 + (y - gy) ** 2)
                              / (2 * sigma**2)) * opening

    image = _finish(image, noise_rng, p.defocus, p.noise, p.vignetting,
                    p.motion_blur, p.exposure, p.bits, p.field_offset)
    pupil = p.pupil
    if pupil is not None and p.opening <= 0:
        visible = 0.0
    return SyntheticEye(image, pupil, visible, params)


def _beside_the_eye(image, p: EyeParams) -> np.ndarray:
    """Dark things a camera sees beside the eye: a brow, a band of hair
    over the eye's upper reach; the brow as a remote camera sees it whole,
    a soft band taller than a pupil is wide that dims the skin; the rim of
    a glasses frame around it, and hair or a shadow over the top left
    corner, wide and with a ragged edge (a bright background looks the same
    once a bright pupil's image is inverted); all drawn from the eye's
    geometry, so they use no random numbers."""
    icx, icy = p.iris_center
    r = p.iris_radius
    image = image.copy()
    if p.brow:
        cv2.ellipse(image, (int(icx * 16), int((icy - 1.6 * r) * 16)),
                    (int(2.4 * r * 16), int(0.5 * r * 16)), 0, 195, 345,
                    22.0, max(3, int(0.35 * r)), cv2.LINE_AA, 4)
    if p.wide_brow:
        band = np.zeros(image.shape, np.float32)
        cv2.ellipse(band, (int(icx * 16), int((icy - 2.2 * r) * 16)),
                    (int(2.6 * r * 16), int(0.6 * r * 16)), 0, 0, 360, 1.0,
                    -1, cv2.LINE_AA, 4)
        image *= 1 - 0.55 * cv2.GaussianBlur(band, (0, 0), 0.2 * r)
    if p.glasses:
        cv2.ellipse(image, (int(icx * 16), int(icy * 16)),
                    (int(2.3 * r * 16), int(1.55 * r * 16)), 0, 0, 360,
                    30.0, max(2, int(0.12 * r)), cv2.LINE_AA, 4)
    if p.dark_corner:
        # Down from the top edge just left of the iris to the left edge
        # level with its top, rippling as hair does.
        t = np.linspace(0.0, 1.0, 64)
        reach = (icx - 1.1 * r) * (1 - t), (icy - 1.1 * r) * t
        ripple = 0.06 * r * np.sin(40 * t)
        edge = np.column_stack((reach[0] + ripple, reach[1] + ripple))
        corner = np.vstack(([[0.0, 0.0]], edge, [[0.0, 0.0]]))
        if reach[0][0] > 0 and reach[1][-1] > 0:
            cv2.fillPoly(image, [np.round(corner * 16).astype(np.int32)],
                         18.0, cv2.LINE_AA, 4)
    return image


def _lash_line(image, p: EyeParams, lower) -> np.ndarray:
    """The lower lid's lashes (at rows `lower`, per column) as one soft
    dark line across the eye, sagging a little, from a thick end at the
    inner corner to a third of that at the outer."""
    icx, r = p.iris_center[0], p.iris_radius
    t = np.linspace(0.0, 1.0, 40)
    xs = icx - 2 * r + 4 * r * t
    ys = np.interp(xs, np.arange(image.shape[1]), lower) + 0.25 * r * np.sin(
        np.pi * t)
    widths = 0.2 * r * (1 - t) ** 3 + 0.16 * r
    line = np.zeros(image.shape, np.float32)
    for x, y, w in zip(xs, ys, widths):
        cv2.circle(line, (int(x * 16), int(y * 16)), int(w * 16), 1.0, -1,
                   cv2.LINE_AA, 4)
    return image * (1 - 0.6 * cv2.GaussianBlur(line, (0, 0), 1.0))


def _lashes(shape, p: EyeParams, rng, upper) -> np.ndarray:
    """The mask of the lashes hanging from the upper lid (at rows `upper`,
    per column) and, with mascara, of a dark line along it."""
    cols = shape[1]
    icx = p.iris_center[0]
    lash_mask = np.zeros(shape, np.uint8)
    lid_x = np.linspace(icx - 1.2 * p.iris_radius, icx + 1.2 * p.iris_radius,
                        max(p.lashes, 1))
    for i in range(p.lashes):
        x0 = float(lid_x[i] + rng.uniform(-5, 5))
        y0 = float(np.interp(x0, np.arange(cols), upper))
        length = p.iris_radius * rng.uniform(0.25, 0.7)
        tilt = rng.uniform(-0.5, 0.5)
        x1, y1 = x0 + length * math.sin(tilt), y0 + length * math.cos(tilt)
        width = max(1, int(round(p.iris_radius / 60)))
        cv2.line(lash_mask, (int(x0 * 16), int(y0 * 16)),
                 (int(x1 * 16), int(y1 * 16)), 1, width, cv2.LINE_AA, 4)
    if p.mascara:
        pts = np.column_stack((np.arange(cols), upper)).astype(np.int32)
        cv2.polylines(lash_mask, [pts], False, 1,
                      max(2, int(p.iris_radius / 15)), cv2.LINE_AA)
    return lash_mask


def _visible_share(p: EyeParams, covered, lash_mask, upper, lower) -> float:
    """The share of the pupil's boundary not hidden by the lids (at rows
    `upper` and `lower`, per column), the lashes or the image's border."""
    if p.pupil is None:
        return 0.0
    rows, cols = covered.shape
    t = np.linspace(0, 2 * np.pi, 720, endpoint=False)
    bx, by = ellipse_points(p.pupil, t)
    ix = np.clip(np.round(bx).astype(int), 0, cols - 1)
    iy = np.clip(np.round(by).astype(int), 0, rows - 1)
    on_image = (bx >= 0) & (bx <= cols - 1) & (by >= 0) & (by <= rows - 1)
    free = on_image & (covered[iy, ix] == 0) & (lash_mask[iy, ix] == 0)
    free &= (by > upper[ix] + 1) & (by < lower[ix] - 1)
    return float(free.mean())


def pupil_coverage(e: Ellipse, x: np.ndarray, y: np.ndarray) -> np.ndarray:
    """Share of each pixel's area inside the ellipse: a 1 px ramp across the
    signed distance to the boundary, symmetric so the edge stays unbiased."""
    t = math.radians(e.angle)
    dx, dy = x - e.cx, y - e.cy
    u = dx * math.cos(t) + dy * math.sin(t)
    v = -dx * math.sin(t) + dy * math.cos(t)
    a, b = e.major / 2, e.minor / 2
    rho = np.sqrt((u / a) ** 2 + (v / b) ** 2)
    grad = np.sqrt((u / a**2) ** 2 + (v / b**2) ** 2)
    distance = (rho - 1) / np.maximum(grad / np.maximum(rho, 1e-6), 1e-6)
    # Well inside, the distance formula degenerates; rho decides there.
    distance = np.where(rho < 0.5, -b / 2, distance)
    return np.clip(0.5 - distance, 0, 1).astype(np.float32)


def ellipse_points(e: Ellipse, t):
    """Points of the ellipse at parameter t (radians)."""
    a, b = e.major / 2, e.minor / 2
    c, s = math.cos(math.radians(e.angle)), math.sin(math.radians(e.angle))
    u, v = a * np.cos(t), b * np.sin(t)
    return e.cx + u * c - v * s, e.cy + u * s + v * c


def _lids(x, p: EyeParams, cols):
    """Rows of the upper and lower lid edge over each column."""
    icx = p.iris_center[0]
    half_width = 2.6 * p.iris_radius
    bulge = np.clip(1 - ((x[:1] - icx) / half_width) ** 2, 0, 1)
    upper = p.lid_center_y - p.opening * 1.25 * p.iris_radius * bulge
    lower = p.lid_center_y + p.opening * 0.95 * p.iris_radius * bulge
    return upper, lower


def _skin(shape, rng, level):
    rows, cols = shape
    coarse = rng.normal(0, 1, (max(rows // 24, 2), max(cols // 24, 2)))
    texture = cv2.resize(coarse.astype(np.float32), (cols, rows),
                         interpolation=cv2.INTER_CUBIC)
    return level + 6 * texture


def _finish(image, rng, defocus, noise, vignetting, motion=(0.0, 0.0),
            exposure=1.0, bits=8, field_offset=0.0):
    """The camera: motion blur, defocus, the odd rows' field, vignetting, a
    dim exposure (the sensor's noise stays as it is), noise, and the data's
    bit depth."""
    rows, cols = image.shape
    if motion[0] or motion[1]:
        length = int(math.ceil(max(abs(motion[0]), abs(motion[1])))) + 1
        kernel = np.zeros((2 * length + 1, 2 * length + 1), np.float32)
        steps = np.linspace(-0.5, 0.5, 8 * length)
        for s in steps:
            kernel[int(round(length + s * motion[1])),
                   int(round(length + s * motion[0]))] += 1
        image = cv2.filter2D(image, -1, kernel / kernel.sum())
    if defocus > 0:
        image = cv2.GaussianBlur(image, (0, 0), defocus)
    y, x = np.mgrid[0:rows, 0:cols].astype(np.float32)
    if field_offset:
        # Sampled after the optics' blur, as a sensor reads its field.
        image[1::2] = cv2.remap(image, x[1::2], y[1::2] + np.float32(
            field_offset), cv2.INTER_CUBIC, borderMode=cv2.BORDER_REFLECT)
    r2 = ((x - cols / 2) ** 2 + (y - rows / 2) ** 2) / ((cols / 2) ** 2
                                                        + (rows / 2) ** 2)
    image = image * (1 - vignetting * r2)
    if exposure != 1.0:
        image = image * np.float32(exposure)
    image = image + rng.normal(0, noise, image.shape).astype(np.float32)
    if bits > 8:
        top = (1 << bits) - 1
        return np.clip(np.round(image * np.float32(top / 255)), 0,
                       top).astype(np.uint16)
    return np.clip(np.round(image), 0, 255).astype(np.uint8)


def video(shape=(192, 192), seconds: float = 6.0, fps: float = 120.0,
          seed: int = 0, flash_at: float = 2.0):
    """Frames of one eye over time, each a SyntheticEye with its truth: the
    pupil dilates slowly and constricts after a flash of light at
    `flash_at` s (latency 0.25 s), the eye fixates and jumps in saccades
    (with motion blur while it moves), and blinks twice. `params.opening`
    of a frame is 0 while the lid is shut."""
    shape = _checks.shape(shape)
    count = seconds * fps
    if not (np.isfinite(count) and 2 <= round(count) <= 10**7):
        raise ValueError(f"seconds x fps must give 2 to 10**7 frames, got "
                         f"{seconds:g} x {fps:g}")
    return _frames(shape, seconds, int(round(count)), fps, seed, flash_at)


def _frames(shape, seconds, count, fps, seed, flash_at):
    rng = np.random.default_rng(seed)
    base = random_params(shape, rng, opening=float(rng.uniform(0.8, 0.95)),
                         lashes=int(rng.integers(1, 4)), glints=2,
                         glint_on_edge=False, mascara=False)
    texture_seed = int(rng.integers(1 << 31))
    noise = np.random.default_rng(texture_seed + 1)
    t = np.arange(count) / fps
    gaze = _saccades(t, rng, 0.22 * base.iris_radius)
    velocity = np.gradient(gaze, axis=0) * fps  # px/s
    radius0 = base.pupil.major / 2
    size = radius0 * (1 + 0.12 * np.sin(2 * np.pi * t / 5.0))
    after = np.clip(t - flash_at - 0.25, 0, None)
    size *= 1 - 0.3 * (1 - np.exp(-after / 0.3)) * np.exp(-after / 1.5)
    # Blinks away from the flash, so that each shows on its own.
    blinks = (flash_at + rng.uniform(-1.4, -0.8),
              flash_at + rng.uniform(2.0, max(2.1, seconds - flash_at - 0.4)))
    opening = np.ones(count)
    for start in blinks:  # 0.15 s shut to open again, shut for 2 frames+
        phase = np.clip((t - start) / 0.2, 0, 1)
        opening = np.minimum(opening, np.clip(
            1.6 * np.abs(np.cos(np.pi * phase)) - 0.3, 0, 1))
    exposure = 0.5 / fps
    for i in range(count):
        dx, dy = gaze[i]
        p = base.pupil
        # Looking away from the camera makes the pupil an ellipse across
        # the direction of gaze.
        tilt = math.hypot(dx, dy) / base.iris_radius
        pupil = Ellipse(p.cx + dx, p.cy + dy, 2 * size[i],
                        2 * size[i] * (1 - 0.25 * tilt),
                        (math.degrees(math.atan2(dy, dx)) + 90) % 180
                        if tilt > 0 else p.angle)
        params = replace(
            base, pupil=pupil,
            iris_center=(base.iris_center[0] + dx, base.iris_center[1] + dy),
            opening=base.opening * opening[i],
            motion_blur=tuple(velocity[i] * exposure))
        frame = render(shape, params, texture_seed, noise)
        yield SyntheticEye(frame.image, pupil, frame.visible, params)


def _saccades(t, rng, reach):
    """Gaze offset (dx, dy) in px per time: fixations of 0.3-0.9 s joined
    by 40 ms saccades with a smooth velocity profile."""
    gaze = np.zeros((t.size, 2))
    position, start = np.zeros(2), 0.0
    while start < t[-1]:
        target = rng.uniform(-reach, reach, 2)
        jump = (t >= start) & (t < start + 0.04)
        phase = (t[jump] - start) / 0.04
        blend = 0.5 - 0.5 * np.cos(np.pi * phase)
        gaze[jump] = position + blend[:, None] * (target - position)
        rest = t >= start + 0.04
        gaze[rest] = target
        position, start = target, start + 0.04 + rng.uniform(0.3, 0.9)
    return gaze
