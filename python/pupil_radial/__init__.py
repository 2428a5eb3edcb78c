"""Radial pupil-edge search on gradient images, over the native core.so.

    import pupil_radial
    result = pupil_radial.radial_search(grad_x, grad_y, center=(x, y),
                                        radius_min=10, radius_max=80,
                                        sample_count=64,
                                        kernel=[0.25, 0.5, 0.25],
                                        ray_count=90)
    result.radii    # one radius per ray, -1.0 where the ray found nothing
    result.points   # (x, y) of every edge point found

See radial_search for the conventions.
"""

from ._core import (
    CoreNotFoundError,
    SearchResult,
    core_path,
    radial_search,
    ray_angles,
)

__version__ = "1.0.0"

__all__ = [
    "CoreNotFoundError",
    "SearchResult",
    "core_path",
    "radial_search",
    "ray_angles",
    "__version__",
]
