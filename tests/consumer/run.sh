#!/bin/sh
# Installs the build into a temporary prefix and builds small hosts against
# it, once through find_package(PupilRadial) and once through pkg-config;
# then imports the installed Python package. Usage: run.sh BUILD_DIR PYTHON
set -eu
build=$(cd "$1" && pwd)
python=$2
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" >/dev/null
# Move the installed tree: nothing in it may depend on where it was put.
mv "$work/prefix" "$work/moved"
prefix="$work/moved"

echo "-- find_package(PupilRadial)"
cmake -S "$here" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
"$work/cmake-build/consumer"

echo "-- pkg-config pupil-radial"
pcdir=$(dirname "$(find "$prefix" -name pupil-radial.pc)")
flags=$(PKG_CONFIG_PATH="$pcdir" pkg-config --cflags --libs pupil-radial)
libdir=$(PKG_CONFIG_PATH="$pcdir" pkg-config --variable=libdir pupil-radial)
cc "$here/consumer.c" $flags -Wl,-rpath,"$libdir" -o "$work/pc-consumer"
"$work/pc-consumer"

echo "-- the installed Python package"
pydir=$(dirname "$(find "$prefix" -path '*pupil_radial/__init__.py')")
PYTHONPATH=$(dirname "$pydir") "$python" -c "
import pupil_radial, sys
path = str(pupil_radial.core_path())
print('pupil_radial uses', path)
sys.exit(0 if path.startswith('$prefix') else 1)"

echo "-- pip install ./python: builds core.so into the package"
if ! "$python" -m pip --version >/dev/null 2>&1 || ! "$python" -c "import venv, ensurepip" 2>/dev/null; then
  echo "skipped: pip or venv is not installed for $python (Debian: python3-pip python3-venv)"
  exit 0
fi
# A clean copy of the sources, with no core.so anywhere in it.
git -C "$here/../.." ls-files -z --cached --others --exclude-standard | (cd "$here/../.." && xargs -0 tar cf -) | \
  (mkdir "$work/src" && cd "$work/src" && tar xf -)
"$python" -m venv --system-site-packages "$work/venv"
(cd "$work" && PIP_ROOT_USER_ACTION=ignore "$work/venv/bin/pip" install -q \
  --no-build-isolation --no-index "$work/src/python")
# From another directory, and without the sources or any build in reach.
rm -rf "$work/src"
mkdir "$work/elsewhere"
(cd "$work/elsewhere" && env -u PUPIL_RADIAL_CORE -u PYTHONPATH "$work/venv/bin/python" -c "
import pupil_radial, sys
from pupil_radial import synthetic
path = str(pupil_radial.core_path())
print('pip-installed pupil_radial uses', path)
eye = synthetic.eye((192, 192), seed=1)
pupil = pupil_radial.detect(eye.image)
print('detect() on a synthetic eye: found', pupil.found)
sys.exit(0 if path.startswith('$work/venv') and pupil.found else 1)")
echo "-- the console script"
(cd "$work/elsewhere" && env -u PUPIL_RADIAL_CORE -u PYTHONPATH \
  "$work/venv/bin/pupil-radial" demo --seconds 1 --out demo)
test -s "$work/elsewhere/demo/pupil.csv"
