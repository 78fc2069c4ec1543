#!/usr/bin/env bash
# Installs every Debian package that the builds and the tests need. Quiet, and quick when
# everything is already there.
set -euo pipefail

packages=(
  cmake ninja-build g++ git            # native build
  clang libclang-rt-14-dev             # fuzzing (libFuzzer) and sanitizer runtimes
  libasio-dev nlohmann-json3-dev       # header-only libraries of both builds
  googletest libgtest-dev              # tests (sources rebuilt for the Windows target)
  g++-mingw-w64-x86-64-posix           # the Windows build
  wine64 wine                          # running the Windows build's tests
  procps                               # ps/pkill used by end-to-end tests
  python3                              # the example Python client and its test
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
echo "installing: ${missing[*]}"
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
