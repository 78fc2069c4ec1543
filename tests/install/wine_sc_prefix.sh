#!/usr/bin/env bash
# Runs a Windows test program under Wine in a prefix of its own whose system directory holds
# the stand-in sc as sc.exe: the Windows program runs no other sc.exe, and the prefix that the
# other tests share keeps Wine's own.
#
#   wine_sc_prefix.sh <prefix directory> <fake-sc.exe> <test program> [arguments...]
set -eu
prefix=$(realpath -m "$1")
stand_in=$2
shift 2
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
run=$source_dir/cmake/wine-run.sh

export WINEPREFIX=$prefix
# The first use builds the prefix (about 20 s).
if [ ! -d "$prefix/drive_c/windows/system32" ]; then
  timeout -k 10 240 "$run" wineboot.exe --init
fi
# Copied at every run, so the prefix always holds the stand-in of this build.
cp -f "$stand_in" "$prefix/drive_c/windows/system32/sc.exe"
# A file of its own in the system directory, not Wine's built-in program.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=};sc.exe=n"
exec "$run" "$@"
