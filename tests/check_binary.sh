#!/bin/sh
# Checks the built core.so as a host would meet it: exactly one exported
# symbol of ours, nothing needed at run time beyond libc, libm and the
# loader, no fused multiply-add instruction anywhere in its code, and on
# aarch64 the NEON arithmetic compiled in. With "exports-only" (instrumented
# builds, which link differently) just the first. NM and OBJDUMP name the
# target toolchain's tools where it is not this machine's.
set -u
so="$1"
nm=${NM:-nm}
objdump=${OBJDUMP:-objdump}
status=0

exports=$("$nm" -D --defined-only "$so" | awk '{print $3}' |
  grep -vE '^(_init|_fini|_edata|_end|__bss_start)$')
if [ "$exports" != "pupil_guided_radial_search" ]; then
  echo "FAIL exports: $exports"
  status=1
fi

if [ "${2:-}" = "exports-only" ]; then
  [ $status -eq 0 ] && echo "core.so exports one symbol"
  exit $status
fi

needed=$("$objdump" -p "$so" | awk '/NEEDED/ {print $2}' |
  grep -vE '^(libc\.so\.6|libm\.so\.6|ld-linux-(x86-64|aarch64)\.so\.[12])$')
if [ -n "$needed" ]; then
  echo "FAIL needs at run time: $needed"
  status=1
fi

code=$("$objdump" -d --no-show-raw-insn "$so")
case $("$objdump" -f "$so") in
  *aarch64*)
    fused='\s(fn?m(add|sub)|fml[as]|bfml[as][lt]?)\s'
    # The vector filter's products and sums on pairs of doubles.
    if ! printf '%s\n' "$code" | grep -qE '\sfmul\s+v[0-9]+\.2d'; then
      echo "FAIL no NEON arithmetic on doubles: the vector path is missing"
      status=1
    fi
    ;;
  *) fused='\svfn?m(add|sub)' ;;
esac
fma=$(printf '%s\n' "$code" | grep -cE "$fused")
if [ "$fma" -ne 0 ]; then
  echo "FAIL $fma fused multiply-add instructions:"
  printf '%s\n' "$code" | grep -E "$fused" | head -5
  status=1
fi

[ $status -eq 0 ] && echo "core.so exports one symbol, needs only libc and libm, has no FMA"
exit $status
