#!/usr/bin/env bash
# Builds the native program and runs the service in this console with a service directory
# inside the checkout (.run/service), with the stand-in core as its sing-box, and tavrel-ctl to
# talk to it. Ctrl-C stops it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset native >/dev/null
cmake --build --preset native --target tavrel-service tavrel-ctl fake-core
dir="$PWD/.run/service"
mkdir -p "$dir"
cp build/native/tests/fake-core "$dir/sing-box"
echo "service directory: $dir (token in $dir/token, log in $dir/service.log)"
TAVREL_SERVICE_DIR="$dir" exec build/native/tavrel-service run
