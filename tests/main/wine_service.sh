#!/usr/bin/env bash
# Runs the service test of the Windows build (WineService.* in test_main.exe) in a Wine prefix
# of its own: the test registers a real service, so it must not touch any other prefix. The
# prefix is made afresh, and its processes are ended when the test is over.
#
#   wine_service.sh <path of test_main.exe> <prefix directory to create>
set -u
test_program=$1
prefix=$(realpath -m "$2")
source_dir=$(cd "$(dirname "$0")/../.." && pwd)

export WINEPREFIX=$prefix
export TAVREL_WINE_SERVICE_TEST=1
# The prefix's service manager must not see this variable (the test gives it to the installer
# once the manager runs), so the service can show that it finds its directory by itself.
unset TAVREL_SERVICE_DIR

end_prefix() {
  /usr/lib/wine/wineserver -k 2>/dev/null
  rm -rf "$prefix"
}

rm -rf "$prefix"
trap end_prefix EXIT
# Building the prefix takes about 20 s of this.
timeout -k 10 240 "$source_dir/cmake/wine-run.sh" "$test_program" --gtest_filter='WineService.*'
status=$?
exit $status
