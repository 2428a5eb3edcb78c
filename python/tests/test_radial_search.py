"""The Python package against a direct ctypes call, its argument checks and
conversions, the geometry it reports, concurrent use from threads, and the
allocator settings it makes."""

import ctypes
import os
import sys
import threading

import numpy as np
import pytest

import pupil_radial
from pupil_radial import radial_search


def direct_call(gx, gy, center, rmin, rmax, samples, kernel):
    """core.so called by hand, with nothing of the package in between."""
    lib = ctypes.CDLL(str(pupil_radial.core_path()))
    fn = lib.pupil_guided_radial_search
    f32, f64 = ctypes.POINTER(ctypes.c_float), ctypes.POINTER(ctypes.c_double)
    fn.restype = ctypes.c_int32
    fn.argtypes = [f32, f32, ctypes.c_int32, ctypes.c_int32, ctypes.c_float,
                   ctypes.c_float, ctypes.c_int32, f32, f32, ctypes.c_int32,
                   f64, ctypes.c_int32, f64]
    gx = np.ascontiguousarray(gx, np.float32)
    gy = np.ascontiguousarray(gy, np.float32)
    rmin = np.ascontiguousarray(rmin, np.float32)
    rmax = np.ascontiguousarray(rmax, np.float32)
    kernel = np.ascontiguousarray(kernel, np.float64)
    out = np.zeros(rmin.size)
    count = fn(gx.ctypes.data_as(f32), gy.ctypes.data_as(f32), gx.shape[0],
               gx.shape[1], center[0], center[1], rmin.size,
               rmin.ctypes.data_as(f32), rmax.ctypes.data_as(f32), samples,
               kernel.ctypes.data_as(f64), kernel.size,
               out.ctypes.data_as(f64))
    return count, out


def scene(seed=1, rows=60, cols=80):
    """A dark disc on a bright, noisy background, and its gradients."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:rows, 0:cols]
    inside = (x - 41.3) ** 2 + (y - 29.6) ** 2 < 15.0 ** 2
    image = np.where(inside, 30.0, 150.0)
    image = image + rng.normal(0, 3, image.shape)
    gy, gx = np.gradient(image)
    return gx.astype(np.float32), gy.astype(np.float32)


KERNEL = [0.25, 0.5, 0.25]


def test_matches_a_direct_call_bit_for_bit():
    gx, gy = scene()
    rng = np.random.default_rng(5)
    for _ in range(20):
        n = int(rng.integers(1, 50))
        rmin = rng.uniform(-5, 20, n).astype(np.float32)
        rmax = (rmin + rng.uniform(-2, 40, n)).astype(np.float32)
        center = (float(rng.uniform(0, 80)), float(rng.uniform(0, 60)))
        samples = int(rng.integers(2, 90))
        result = radial_search(gx, gy, center, rmin, rmax, samples, KERNEL)
        count, out = direct_call(gx, gy, center, rmin, rmax, samples, KERNEL)
        assert result.count == count
        assert result.radii.tobytes() == out.tobytes()
        assert np.array_equal(result.found, out != -1.0)


def test_finds_the_disc_and_reports_geometry():
    gx, gy = scene()
    result = radial_search(gx, gy, (41.3, 29.6), 3.0, 25.0, 111, KERNEL,
                           ray_count=36)
    assert result.count == 36 and result.found.all()
    assert np.all(np.abs(result.radii - 15.0) < 1.0)
    # Angles as the library computes them; ray 9 of 36 points along +y.
    assert result.angles[0] == 0.0
    assert result.angles[9] == pytest.approx(np.pi / 2, abs=1e-15)
    assert result.angles.tobytes() == pupil_radial.ray_angles(36).tobytes()
    # Each point lies at centre + r (cos, sin) of its ray, as float32 that
    # OpenCV takes as it is.
    cx, cy = result.center
    expected = np.column_stack((cx + result.radii * np.cos(result.angles),
                                cy + result.radii * np.sin(result.angles)))
    assert result.points.dtype == np.float32
    np.testing.assert_allclose(result.points, expected, rtol=0, atol=1e-4)
    cv2 = pytest.importorskip("cv2")
    (fx, fy), _, _ = cv2.fitEllipse(result.points)
    assert abs(fx - 41.3) < 0.5 and abs(fy - 29.6) < 0.5
    distances = np.hypot(result.points[:, 0] - 41.3,
                         result.points[:, 1] - 29.6)
    assert np.all(np.abs(distances - 15.0) < 1.0)
    result.angles[0] = 1.0  # the caller's own array, not a shared table
    assert pupil_radial.ray_angles(36)[0] == 0.0


def test_accepts_any_real_dtype_and_strides_without_changing_results():
    gx, gy = scene()
    base = radial_search(gx, gy, (40, 30), 2, 30, 64, KERNEL, ray_count=24)
    # Float64, Fortran order, a strided view: all convert to the same floats.
    for convert in (lambda a: a.astype(np.float64),
                    np.asfortranarray,
                    lambda a: np.repeat(a, 2, axis=1)[:, ::2]):
        other = radial_search(convert(gx), convert(gy), (40, 30), 2, 30, 64,
                              KERNEL, ray_count=24)
        assert other.radii.tobytes() == base.radii.tobytes()
    # Integer images and integer kernels are real data too.
    ints = radial_search(np.rint(gx).astype(np.int16),
                         np.rint(gy).astype(np.int16), (40, 30), 2, 30, 64,
                         [1, 2, 1], ray_count=24)
    assert ints.count > 0
    # Scalar radii broadcast; arrays give ray_count.
    arrays = radial_search(gx, gy, (40, 30), np.full(24, 2.0),
                           np.full(24, 30.0), 64, KERNEL)
    assert arrays.radii.tobytes() == base.radii.tobytes()


def test_c_meanings_pass_through():
    gx, gy = scene()
    gx[29, 50:60] = np.nan  # NaN pixels are skipped, not fatal
    result = radial_search(gx, gy, (41.3, 29.6), [5, 10, 10, 3],
                           [25, 10, 2, 25], 50, KERNEL)
    # Equal and reversed ranges: no result for those rays.
    assert result.radii[1] == -1.0 and result.radii[2] == -1.0
    assert result.found.tolist() == [True, False, False, True]
    assert result.count == 2
    assert result.points.shape == (2, 2)


def test_minus_one_is_ambiguous_but_counted():
    # One row; the peak sits one pixel behind the centre: radius -1.0.
    gx = np.array([[0, 0, 0, 9, 0, 0, 0, 0]], np.float32)
    result = radial_search(gx, np.zeros_like(gx), (4, 0), -3, 1, 5, [1.0],
                           ray_count=1)
    assert result.radii[0] == -1.0
    assert result.count == 1 and not result.found[0]


@pytest.mark.parametrize("kwargs, error, words", [
    (dict(grad_x=np.zeros((4, 5, 1))), ValueError, "grad_x must be a 2-D"),
    (dict(grad_y=np.zeros((4, 6))), ValueError, "one shape"),
    (dict(grad_x=np.zeros((4, 5), complex)), TypeError,
     "grad_x must hold real"),
    (dict(grad_y=[["a"] * 5] * 4), TypeError, "grad_y must hold real"),
    (dict(grad_x=np.zeros((4, 5), bool)), TypeError, "grad_x"),
    (dict(center=(1.0, np.nan)), ValueError, "center must be finite"),
    (dict(center=(1.0,)), TypeError, "center"),
    (dict(center="ab"), TypeError, "center"),
    (dict(center=(True, 1.0)), TypeError, "center must be a pair of numbers"),
    (dict(center=(1.0, np.bool_(False))), TypeError, "center"),
    (dict(radius_min=[1, 2, 3]), ValueError, "radius_min has 3 entries"),
    (dict(radius_min=[1, 2], radius_max=[3, 4, 5], ray_count=None),
     ValueError, "differ in length"),
    (dict(radius_min=np.zeros((2, 2))), ValueError,
     "radius_min must be a scalar"),
    (dict(ray_count=None), ValueError, "ray_count is required"),
    (dict(ray_count=0), ValueError, "ray_count must be at least 1"),
    (dict(ray_count=2.5), TypeError, "ray_count must be an integer"),
    (dict(ray_count=2**31), ValueError, "ray_count must be at most"),
    (dict(sample_count=1), ValueError, "sample_count must be at least 2"),
    (dict(sample_count=True), TypeError, "sample_count must be an integer"),
    (dict(sample_count=2**31), ValueError, "sample_count must be at most"),
    (dict(kernel=[]), ValueError, "kernel must be a non-empty 1-D"),
    (dict(kernel=[[1.0]]), ValueError, "kernel must be a non-empty 1-D"),
    (dict(kernel=["x"]), TypeError, "kernel must hold real"),
])
def test_bad_input_names_the_argument(kwargs, error, words):
    args = dict(grad_x=np.zeros((4, 5)), grad_y=np.zeros((4, 5)),
                center=(1.0, 1.0), radius_min=1.0, radius_max=3.0,
                sample_count=5, kernel=[1.0], ray_count=2)
    args.update(kwargs)
    with pytest.raises(error, match=words):
        radial_search(**args)


def test_images_too_large_for_the_c_interface_are_refused_before_copying():
    # 2**32 virtual pixels, no memory behind them.
    huge = np.broadcast_to(np.float32(0), (2**16, 2**16))
    with pytest.raises(ValueError, match="fewer than 2\\*\\*31"):
        radial_search(huge, huge, (1, 1), 1, 2, 5, [1.0], ray_count=1)


def test_threads_get_the_same_answers():
    gx, gy = scene(rows=200, cols=240)
    calls = [((40 + i, 30 + i % 7), 2 + i % 3, 40 + i % 5) for i in range(12)]
    expected = [radial_search(gx, gy, c, lo, hi, 64, KERNEL, ray_count=90)
                for c, lo, hi in calls]
    failures = []

    def work(offset):
        for k in range(len(calls) * 3):
            i = (k + offset) % len(calls)
            c, lo, hi = calls[i]
            got = radial_search(gx, gy, c, lo, hi, 64, KERNEL, ray_count=90)
            if got.radii.tobytes() != expected[i].radii.tobytes():
                failures.append(i)

    threads = [threading.Thread(target=work, args=(t,)) for t in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


def run_python(code, environ=None, **env):
    import subprocess
    environment = dict(os.environ if environ is None else environ, **env)
    return subprocess.run([sys.executable, "-c", code], env=environment,
                          capture_output=True, text=True, timeout=120)


def test_a_missing_core_says_where_it_looked():
    done = run_python(
        "import numpy as np, pupil_radial as p\n"
        "try:\n"
        "    p.radial_search(np.zeros((2, 2)), np.zeros((2, 2)), (0, 0), 0, 1,"
        " 2, [1.0], ray_count=1)\n"
        "except p.CoreNotFoundError as e:\n"
        "    print('error:', e)\n",
        PUPIL_RADIAL_CORE="/nonexistent/core.so")
    assert "error:" in done.stdout and "/nonexistent/core.so" in done.stdout


GLIBC = sys.platform.startswith("linux") and bool(
    os.confstr("CS_GNU_LIBC_VERSION"))


@pytest.mark.skipif(not GLIBC, reason="glibc's allocator settings")
def test_freed_temporaries_stay_in_the_process_unless_the_user_chose():
    # A detect()'s worth of medium arrays, freed together: glibc's defaults
    # hand them back to the kernel and fault every page in again next time.
    code = (
        "import resource, numpy as np, pupil_radial\n"
        "def faults():\n"
        "    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt\n"
        "def image():\n"
        "    held = [np.ones(200_000, np.uint8) for _ in range(8)]\n"
        "    return len(held)\n"
        "image()\n"
        "before = faults()\n"
        "for _ in range(5):\n"
        "    image()\n"
        "print((faults() - before) / 5)\n")
    mine = {k: v for k, v in os.environ.items()
            if not (k.startswith("MALLOC_") or k == "GLIBC_TUNABLES")}
    kept = run_python(code, environ=mine)
    chosen = run_python(code, environ=mine, MALLOC_TRIM_THRESHOLD_="131072")
    assert float(kept.stdout) < 10 < 100 < float(chosen.stdout), (
        kept.stderr, chosen.stderr)


def test_scratch_that_cannot_be_allocated_raises_memory_error():
    # 2**31 - 1 samples need 32 GiB of scratch; a 3 GiB address space makes
    # the allocation fail for real instead of being overcommitted.
    done = run_python(
        "import resource\n"
        "resource.setrlimit(resource.RLIMIT_AS, (3 << 30, 3 << 30))\n"
        "import numpy as np, pupil_radial as p\n"
        "try:\n"
        "    p.radial_search(np.zeros((2, 2)), np.zeros((2, 2)), (0, 0), 0, 1,"
        " 2**31 - 1, [1.0], ray_count=1)\n"
        "except MemoryError as e:\n"
        "    print('memory:', e)\n")
    assert "memory: core.so could not allocate" in done.stdout, done.stderr
