#!/bin/sh
# Checks the built core.so as a host would meet it: exactly one exported
# symbol of ours, nothing needed at run time beyond libc, libm and the
# loader, and no fused multiply-add instruction anywhere in its code. With
# "exports-only" (instrumented builds, which link differently) just the
# first.
set -u
so="$1"
status=0

exports=$(nm -D --defined-only "$so" | awk '{print $3}' |
  grep -vE '^(_init|_fini|_edata|_end|__bss_start)$')
if [ "$exports" != "pupil_guided_radial_search" ]; then
  echo "FAIL exports: $exports"
  status=1
fi

if [ "${2:-}" = "exports-only" ]; then
  [ $status -eq 0 ] && echo "core.so exports one symbol"
  exit $status
fi

needed=$(objdump -p "$so" | awk '/NEEDED/ {print $2}' |
  grep -vE '^(libc\.so\.6|libm\.so\.6|ld-linux-x86-64\.so\.2)$')
if [ -n "$needed" ]; then
  echo "FAIL needs at run time: $needed"
  status=1
fi

fma=$(objdump -d "$so" | grep -cE '\svfn?m(add|sub)')
if [ "$fma" -ne 0 ]; then
  echo "FAIL $fma fused multiply-add instructions:"
  objdump -d "$so" | grep -E '\svfn?m(add|sub)' | head -5
  status=1
fi

[ $status -eq 0 ] && echo "core.so exports one symbol, needs only libc and libm, has no FMA"
exit $status
