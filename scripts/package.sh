#!/usr/bin/env bash
# Builds the Windows release package:
#   dist/tavrel-service-<version>-windows-x86_64.zip        the stripped tavrel-service.exe and
#                                                           tavrel-ctl.exe, the documents, SHA256SUMS
#   dist/tavrel-service-<version>-windows-x86_64-debug.zip  their debug information, which the
#                                                           stripped programs name (.gnu_debuglink)
# With --check it then runs the packaged programs under Wine: `version` of each, tavrel-ctl's
# against the packaged service (which uses the control port 17895 meanwhile).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset windows >/dev/null
cmake --build --preset windows --target tavrel-service tavrel-ctl

version=$(sed -n 's/.*SERVICE_VERSION = "\(.*\)";/\1/p' src/common/version.h)
name=tavrel-service-$version-windows-x86_64
stage=build/package
rm -rf "$stage"
mkdir -p "$stage/$name" "$stage/debug" dist
for program in tavrel-service tavrel-ctl; do
  debug=$stage/debug/$program.exe.debug
  x86_64-w64-mingw32-objcopy --only-keep-debug "build/windows/$program.exe" "$debug"
  x86_64-w64-mingw32-objcopy --strip-all --add-gnu-debuglink="$debug" "build/windows/$program.exe" "$stage/$name/$program.exe"
done
cp docs/windows.md docs/protocol.md docs/security.md "$stage/$name/"
(cd "$stage/$name" && sha256sum -- *.exe *.md >SHA256SUMS)
rm -f "dist/$name.zip" "dist/$name-debug.zip"
(cd "$stage" && cmake -E tar cf "../../dist/$name.zip" --format=zip "$name")
(cd "$stage/debug" && cmake -E tar cf "../../../dist/$name-debug.zip" --format=zip -- *.debug)
ls -l "dist/$name.zip" "dist/$name-debug.zip"

[ "${1:-}" = --check ] || exit 0
check=$(mktemp -d)
service_pid=
trap '[ -z "$service_pid" ] || { kill "$service_pid"; wait "$service_pid" || true; }; rm -rf "$check"' EXIT
(cd "$check" && cmake -E tar xf "$OLDPWD/dist/$name.zip")
(cd "$check/$name" && sha256sum --quiet -c SHA256SUMS)
# wine-run.sh execs the loader, so $! below is the packaged service itself.
banner=$(cmake/wine-run.sh "$check/$name/tavrel-service.exe" version)
[ "$banner" = "tavrel-service $version (protocol 2)" ] || { echo "packaged service: $banner"; exit 1; }
mkdir "$check/svc"
export TAVREL_SERVICE_DIR="Z:${check//\//\\}\\svc"
cmake/wine-run.sh "$check/$name/tavrel-service.exe" run >"$check/console.txt" 2>&1 &
service_pid=$!
answer=$(cmake/wine-run.sh "$check/$name/tavrel-ctl.exe" --wait 60 version) || {
  echo "packaged tavrel-ctl: $answer"
  cat "$check/console.txt"
  exit 1
}
[[ "$answer" == "服务版本：$version（协议 2）"* ]] || { echo "packaged tavrel-ctl: $answer"; exit 1; }
echo "packaged programs: $banner; tavrel-ctl: ${answer%%$'\n'*}"
