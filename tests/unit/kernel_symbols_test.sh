#!/usr/bin/env bash
# The SIMD kernels' object files may define no external symbol but their
# entry points. Anything else (an inline function or template emitted there,
# a weak symbol) could be picked by the linker for callers elsewhere and run
# AVX-512 code on a CPU without it.
# Usage: kernel_symbols_test.sh OBJECT...  (a CMake list is split as well)
set -euo pipefail
IFS=';' read -r -a objects <<<"$*"
[ "${#objects[@]}" -gt 0 ] || { echo "no objects given"; exit 1; }
status=0
for object in "${objects[@]}"; do
  [ -n "$object" ] || continue
  extra=$(nm -C --defined-only --extern-only "$object" | grep -v ' T tarvolen::updateBlocksAvx' || true)
  entry=$(nm -C --defined-only --extern-only "$object" | grep -c ' T tarvolen::updateBlocksAvx' || true)
  if [ -n "$extra" ] || [ "$entry" -ne 1 ]; then
    echo "$object defines more or less than its kernel entry point:"
    nm -C --defined-only --extern-only "$object"
    status=1
  fi
done
[ "$status" -eq 0 ] && echo "kernel objects define only their entry points: ${objects[*]}"
exit "$status"
