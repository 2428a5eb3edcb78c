#!/bin/sh
# Builds the bare-metal test image from the library's kernel objects and
# runs it on Bochs emulating a Tiger Lake CPU (AVX2 and AVX-512).
# usage: run.sh <c++ compiler> <work dir> <trials> <object files, ';'-separated>
# Exits 77 (skipped) when Bochs is not installed.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
cxx=$1 work=$2 trials=$3 objects=$4
src=$here/../../src

if ! command -v bochs >/dev/null 2>&1 ||
   ! ls /usr/lib/*/bochs/plugins/libbx_term_gui.so* >/dev/null 2>&1; then
  echo "SKIPPED: Bochs is not installed (Debian: bochs bochs-term vgabios)"
  exit 77
fi

mkdir -p "$work"
cd "$work"
# Only the per-ray kernels go into the image; the entry point needs a C
# library.
kernels=
old_ifs=$IFS
IFS=';'
for o in $objects; do
  case $(basename "$o") in
    ray_profile*|profile_peak*) kernels="$kernels $o" ;;
  esac
done
IFS=$old_ifs

# The harness itself runs on any x86-64: no vector flags, no C library.
"$cxx" -std=c++17 -O2 -DTRIALS="$trials" -I"$src" -ffreestanding -fno-pic \
  -fno-exceptions -fno-rtti -fno-stack-protector -mno-red-zone \
  -fno-math-errno -ffp-contract=off \
  -c "$here/harness.cpp" -o harness.o
# shellcheck disable=SC2086
ld -static -nostdlib --no-warn-rwx-segments -T "$here/image.ld" harness.o $kernels -o image.elf
objcopy -O binary image.elf image.bin
as --64 -o boot.o "$here/boot.S"
objcopy -O binary -j .text boot.o boot.bin

cat > bochsrc <<RC
megs: 256
romimage: file=$work/boot.bin, address=0xffff0000
optramimage1: file=$work/image.bin, address=0x100000
cpu: model=tigerlake, count=1, reset_on_triple_fault=0
display_library: term
port_e9_hack: enabled=1
clock: sync=none
log: $work/bochs.log
panic: action=fatal
RC
# The emulator's debugger is told to continue, and the machine powers
# itself off after the test; a fault in the image stops it too.
printf 'c\nquit\n' > debugger.rc
TERM=dumb timeout 1800 bochs -q -f bochsrc -rc debugger.rc \
  </dev/null >console.txt 2>&1 || true
grep -a -E "identical|FAILED|MISMATCH|VARIANTS" console.txt || true
if grep -a -q "^ALL VARIANTS IDENTICAL" console.txt; then
  exit 0
fi
echo "the emulated run did not finish cleanly; see $work/console.txt and $work/bochs.log"
tail -n 20 console.txt
exit 1
