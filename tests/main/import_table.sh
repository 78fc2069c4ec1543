#!/usr/bin/env bash
# Fails when a Windows program imports at load time a DLL that is not a KnownDLL: Windows
# looks for any other beside the program first, where a planted copy would run in it.
#
#   import_table.sh <objdump> <program.exe>...
set -u
objdump=$1
shift
known=" advapi32 clbcatq combase comdlg32 coml2 difxapi gdi32 gdiplus imagehlp imm32 kernel32
  msctf msvcrt normaliz nsi ntdll ole32 oleaut32 psapi rpcrt4 sechost setupapi shcore shell32
  shlwapi user32 wldap32 ws2_32 "
status=0
for program in "$@"; do
  dlls=$("$objdump" -p "$program" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | tr -d '\r')
  if [ -z "$dlls" ]; then
    echo "$program: no import table read" >&2
    status=1
  fi
  for dll in $dlls; do
    case "$known" in
      *[[:space:]]"${dll%.dll}"[[:space:]]*) ;;
      *) echo "$program imports $dll, not a KnownDLL" >&2; status=1 ;;
    esac
  done
done
exit $status
