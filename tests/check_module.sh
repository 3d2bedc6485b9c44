#!/usr/bin/env bash
# Checks what a built module shows the outside world.
#   check_module.sh linux MODULE.so   exactly CountXTND and GetXTNDInfo defined and exported
#   check_module.sh win32 MODULE.dll  exactly "_CountXTND" and "_GetXTNDInfo" in the export
#                                     table; a 32-bit PE that needs only Windows system DLLs
set -euo pipefail
kind=$1
module=$2
fail() { echo "FAIL: $*" >&2; exit 1; }

if [ "$kind" = linux ]; then
  readelf -h "$module" | grep -q 'Class: *ELF32' || fail "$module is not a 32-bit ELF"
  exported=$(nm -D --defined-only "$module" | awk '$2 ~ /^[TDBRVW]$/ {print $3}' | sort | tr '\n' ' ')
  [ "$exported" = "CountXTND GetXTNDInfo " ] || fail "exports are: $exported"
else
  dump=$(i686-w64-mingw32-objdump -p "$module")
  grep -q 'Magic.*010b' <<<"$dump" || fail "$module is not a PE32 image"
  characteristics=$(awk '$1 == "Characteristics" {print $2; exit}' <<<"$dump")
  (( characteristics & 0x2000 )) || fail "$module is not a DLL ($characteristics)"
  names=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump" | tail -n +2 \
          | grep -oE '\] [A-Za-z_0-9@]+$' | cut -c3- | sort | tr '\n' ' ')
  [ "$names" = "_CountXTND _GetXTNDInfo " ] || fail "export names are: $names"
  imports=$(grep 'DLL Name:' <<<"$dump" | awk '{print toupper($3)}' | sort | tr '\n' ' ')
  for dll in $imports; do
    case "$dll" in
      KERNEL32.DLL|MSVCRT.DLL|USER32.DLL) ;;
      *) fail "the module needs $dll (imports: $imports)" ;;
    esac
  done
fi
echo "ok: $module"
