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

echo "-- pip install of python/ with core.so inside"
if ! "$python" -m pip --version >/dev/null 2>&1; then
  echo "skipped: pip is not installed for $python (Debian: python3-pip)"
  exit 0
fi
cp -r "$here/../../python" "$work/pysrc"
rm -rf "$work/pysrc/pupil_radial/__pycache__"
cp "$build/core.so" "$work/pysrc/pupil_radial/"
PIP_ROOT_USER_ACTION=ignore "$python" -m pip install -q --no-build-isolation \
  --no-deps --no-index --target "$work/site" "$work/pysrc"
PYTHONPATH="$work/site" "$python" -c "
import pupil_radial, sys
path = str(pupil_radial.core_path())
print('pip-installed pupil_radial uses', path)
sys.exit(0 if path.startswith('$work/site') else 1)"
