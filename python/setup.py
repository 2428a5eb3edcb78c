"""Builds core.so from this repository's sources with CMake while the
package is built, and ships it inside the package, so that
`pip install ./python` gives a package that runs from any directory."""

import os
import shutil
import subprocess
import tempfile
from pathlib import Path

from setuptools import Distribution, setup
from setuptools.command.build_py import build_py

HERE = Path(__file__).resolve().parent
SOURCE = HERE.parent  # the repository: CMakeLists.txt, src/, include/


class BuildPyWithCore(build_py):
    """build_py, then core.so into the built package."""

    def run(self):
        super().run()
        target = Path(self.build_lib) / "pupil_radial" / "core.so"
        target.parent.mkdir(parents=True, exist_ok=True)
        with tempfile.TemporaryDirectory(prefix="pupil-radial-") as build:
            shutil.copy2(self._core(Path(build)), target)

    def _core(self, build: Path) -> Path:
        if not (SOURCE / "CMakeLists.txt").is_file():
            shipped = HERE / "pupil_radial" / "core.so"
            if shipped.is_file():
                return shipped
            raise RuntimeError(
                "pupil_radial: neither the library's sources (CMakeLists.txt "
                f"in {SOURCE}) nor a built pupil_radial/core.so were found")
        if shutil.which("cmake") is None:
            raise RuntimeError("pupil_radial: building core.so needs cmake "
                               "and a C++ compiler (Debian: cmake g++)")
        self.announce(f"building core.so with CMake in {build}", level=2)
        configure = ["cmake", "-S", str(SOURCE), "-B", str(build),
                     "-DCMAKE_BUILD_TYPE=Release",
                     "-DPUPIL_RADIAL_BUILD_TESTS=OFF",
                     "-DPUPIL_RADIAL_BUILD_EXAMPLES=OFF"]
        subprocess.run(configure, check=True)
        jobs = str(os.cpu_count() or 1)
        subprocess.run(["cmake", "--build", str(build), "--target", "core",
                        "-j", jobs], check=True)
        return build / "core.so"


class BinaryDistribution(Distribution):
    """core.so is native code: the wheel is for this platform only."""

    def has_ext_modules(self):
        return True


setup(cmdclass={"build_py": BuildPyWithCore}, distclass=BinaryDistribution)
