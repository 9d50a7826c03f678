#!/usr/bin/env bash
# Checks the object files of the SIMD kernels (src/kernels/**/*.o) in the given
# build directories for the two ways a kernel file compiled with higher
# target flags could run on a CPU without them:
#   * a weak symbol (nm: W, V, u): an inline function or template the linker
#     may pick from this object for every other file that uses it;
#   * a static constructor (objdump -h: .init_array or .ctors), which runs at
#     load time, before any dispatch has asked the CPU (as a level table not
#     constant-initialised would).
#   scripts/check_kernel_objects.sh BUILD_DIR...
# Environment: NM, OBJDUMP (default: the cross tools for aarch64 objects,
# else nm and objdump); ALLOWED_WEAK, a regular expression of symbol names
# that may be weak (none so far).
set -euo pipefail

allowed=${ALLOWED_WEAK:-'^$'}
checked=0
failed=0
for dir in "$@"; do
  while IFS= read -r -d '' object; do
    nm_tool=${NM:-nm}
    objdump_tool=${OBJDUMP:-objdump}
    if [[ -z ${NM:-} ]] && readelf -h "$object" | grep -q "Machine: *AArch64" && command -v aarch64-linux-gnu-nm >/dev/null; then
      nm_tool=aarch64-linux-gnu-nm
      objdump_tool=aarch64-linux-gnu-objdump
    fi
    weak=$("$nm_tool" "$object" | awk '$(NF-1) ~ /^[WVu]$/ {print $NF}' | grep -Ev "$allowed" || true)
    if [[ -n $weak ]]; then
      echo "$object: weak symbols (inline code the linker may share with other files):" >&2
      echo "$weak" | sed 's/^/  /' >&2
      failed=1
    fi
    if "$objdump_tool" -h "$object" | grep -Eq '\.(init_array|ctors)'; then
      echo "$object: static constructors (.init_array or .ctors)" >&2
      failed=1
    fi
    checked=$((checked + 1))
  done < <(find "$dir" -path '*src/kernels/*.o' -print0)
done
if [[ $checked -eq 0 ]]; then
  echo "no kernel objects under $*" >&2
  exit 1
fi
[[ $failed -eq 0 ]] && echo "kernel objects: $checked checked, no weak symbols or static constructors"
exit $failed
