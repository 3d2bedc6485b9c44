#!/usr/bin/env bash
# Checks what a built module shows the outside world.
#   check_module.sh linux32|linux64 MODULE.so  an ELF of that class that defines and exports
#                                              exactly CountXTND and GetXTNDInfo
#   check_module.sh win32|win64 MODULE.dll     exactly "_CountXTND" and "_GetXTNDInfo" in the
#                                              export table; a PE32 (PE32+) DLL that needs only
#                                              Windows system DLLs
set -euo pipefail
kind=$1
module=$2
fail() { echo "FAIL: $*" >&2; exit 1; }

case "$kind" in
  linux32) elf_class=ELF32 ;;
  linux64) elf_class=ELF64 ;;
  win32) objdump=i686-w64-mingw32-objdump; magic=010b ;;
  win64) objdump=x86_64-w64-mingw32-objdump; magic=020b ;;
  *) fail "unknown kind $kind" ;;
esac

if [ -n "${elf_class:-}" ]; then
  readelf -h "$module" | grep -q "Class: *$elf_class" || fail "$module is not an $elf_class file"
  exported=$(nm -D --defined-only "$module" | awk '$2 ~ /^[TDBRVW]$/ {print $3}' | sort | tr '\n' ' ')
  [ "$exported" = "CountXTND GetXTNDInfo " ] || fail "exports are: $exported"
else
  dump=$("$objdump" -p "$module")
  grep -q "Magic.*$magic" <<<"$dump" || fail "$module is not a $kind PE image"
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
