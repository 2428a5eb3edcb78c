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
# The per-ray kernels and the dispatch go into the image, with libgcc for
# its CPU feature detection; the entry point would need a C library.
kernels=
old_ifs=$IFS
IFS=';'
for o in $objects; do
  case $(basename "$o") in
    ray_profile*|profile_peak*|avx2*|avx512*|dispatch*|radial_search*) kernels="$kernels $o" ;;
  esac
done
IFS=$old_ifs

# Bochs 2.7 takes a gather whose index register is 16 to 31 for an invalid
# instruction. Compilers use those registers only where AVX-512VL is on
# (-march=native on an AVX-512 CPU); such a CPU runs every path itself in
# the per-CPU equivalence tests.
# shellcheck disable=SC2086
if objdump -d $kernels | grep -E 'gather' |
   grep -qE ',%[xyz]mm(1[6-9]|2[0-9]|3[01]),'; then
  echo "SKIPPED: the kernels gather with index registers 16-31, which Bochs 2.7 cannot decode"
  exit 77
fi

# The harness itself runs on any x86-64: no vector flags, no C library.
"$cxx" -std=c++17 -O2 -DTRIALS="$trials" -I"$src" -I"$here/.." -I"$here/../../include" -ffreestanding -fno-pic \
  -fno-exceptions -fno-rtti -fno-stack-protector -mno-red-zone \
  -fno-math-errno -ffp-contract=off \
  -c "$here/harness.cpp" -o harness.o
# shellcheck disable=SC2086
ld -static -nostdlib --no-warn-rwx-segments -T "$here/image.ld" harness.o \
  $kernels "$("$cxx" -print-libgcc-file-name)" -o image.elf
objcopy -O binary image.elf image.bin

# The emulator's debugger is told to continue; the machine powers itself
# off after the test, and a fault in the image stops it too.
printf 'c\nquit\n' > debugger.rc
status=0
# Every register state an OS may enable: all of AVX-512's, AVX's only, SSE's
# only. Dispatch must follow it; the kernels it allows must match. A build
# whose baseline code already needs AVX or AVX-512 (-march=native, say)
# cannot run without that state, so those boots are left out.
baseline=
for o in $kernels; do
  case $(basename "$o") in avx2*|avx512*) ;; *) baseline="$baseline $o" ;; esac
done
# shellcheck disable=SC2086
code=$(objdump -d --no-show-raw-insn $baseline)
states=0xE7
if ! printf '%s\n' "$code" | grep -qE 'zmm|%k[0-7]|mm(1[6-9]|2[0-9]|3[01])'; then
  states="$states 0x07"
fi
if ! printf '%s\n' "$code" | grep -qE ':[[:space:]]+v[a-z0-9]+'; then
  states="$states 0x03"
fi
for xcr0 in 0xE7 0x07 0x03; do
  case " $states " in
    *" $xcr0 "*) ;;
    *) echo "-- XCR0 = $xcr0: left out, the baseline code was built for more"
       continue ;;
  esac
  as --64 --defsym XCR0=$xcr0 -o boot.o "$here/boot.S"
  objcopy -O binary -j .text boot.o boot.bin
  cat > bochsrc <<RC
megs: 256
romimage: file=$work/boot.bin, address=0xffff0000
optramimage1: file=$work/image.bin, address=0x100000
cpu: model=tigerlake, count=1, reset_on_triple_fault=0
display_library: term
port_e9_hack: enabled=1
clock: sync=none
log: $work/bochs-$xcr0.log
panic: action=fatal
RC
  TERM=dumb timeout 1800 bochs -q -f bochsrc -rc debugger.rc \
    </dev/null >"console-$xcr0.txt" 2>&1 || true
  echo "-- XCR0 = $xcr0"
  grep -a -E "dispatch|identical|usable|FAILED|MISMATCH" "console-$xcr0.txt" || true
  if ! grep -a -q "^PASS" "console-$xcr0.txt"; then
    echo "did not pass; see $work/console-$xcr0.txt and $work/bochs-$xcr0.log"
    tail -n 20 "console-$xcr0.txt"
    status=1
  fi
done
exit $status
