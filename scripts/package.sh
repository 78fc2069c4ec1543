#!/usr/bin/env bash
# Builds the Windows release package:
#   dist/tavrel-service-<version>-windows-x86_64.zip        the stripped tavrel-service.exe and
#                                                           tavrel-ctl.exe, the documents, SHA256SUMS
#   dist/tavrel-service-<version>-windows-x86_64-debug.zip  their debug information, which the
#                                                           stripped programs name (.gnu_debuglink)
# The same commit gives the same bytes in every file, whatever the checkout's path, the build
# time and the time zone (docs/windows.md says how to rebuild a release).
# With --check it then proves that: it rebuilds the package from a second worktree of the same
# commit at another path, in another time zone, and compares every file byte for byte. Then it
# runs the packaged programs under Wine: `version` of each, tavrel-ctl's against the packaged
# service (which uses the control port 17895 meanwhile).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset windows >/dev/null
cmake --build --preset windows --target tavrel-service tavrel-ctl

version=$(sed -n 's/.*SERVICE_VERSION = "\(.*\)";/\1/p' src/common/version.h)
name=tavrel-service-$version-windows-x86_64
# Every zip entry carries the last commit's time; SOURCE_DATE_EPOCH, if set, replaces it.
epoch=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
programs=(tavrel-service tavrel-ctl)
documents=(windows.md protocol.md security.md)

# write_zip ARCHIVE DIR ENTRY...: the entries (paths inside DIR) in the order given, each with the
# time $epoch in UTC and the same attributes, so that nothing of this machine gets in.
write_zip() {
  TZ=UTC python3 - "$epoch" "$@" <<'EOF'
import os, sys, time, zipfile
epoch, archive, root, *entries = sys.argv[1:]
stamp = time.gmtime(int(epoch))[:6]
with zipfile.ZipFile(archive, "w") as out:
    for entry in entries:
        info = zipfile.ZipInfo(entry, stamp)
        info.external_attr = 0o100644 << 16
        info.compress_type = zipfile.ZIP_DEFLATED
        with open(os.path.join(root, entry), "rb") as f:
            out.writestr(info, f.read(), compresslevel=9)
EOF
}

# package SOURCE BUILD STAGE DIST: the package of the programs in the build tree BUILD and the
# documents of the checkout SOURCE, its files under STAGE and its two zips in DIST.
package() {
  local source=$1 build=$2 stage=$3 dist=$4 program debug files=()
  rm -rf "$stage"
  mkdir -p "$stage/$name" "$stage/debug" "$dist"
  for program in "${programs[@]}"; do
    debug=$stage/debug/$program.exe.debug
    # objcopy writes a new PE time stamp: the commit's.
    SOURCE_DATE_EPOCH=$epoch x86_64-w64-mingw32-objcopy --only-keep-debug "$build/$program.exe" "$debug"
    SOURCE_DATE_EPOCH=$epoch x86_64-w64-mingw32-objcopy --strip-all --add-gnu-debuglink="$debug" "$build/$program.exe" "$stage/$name/$program.exe"
    files+=("$program.exe")
  done
  for program in "${documents[@]}"; do cp "$source/docs/$program" "$stage/$name/"; done
  files+=("${documents[@]}")
  (cd "$stage/$name" && sha256sum -- "${files[@]}" >SHA256SUMS)
  rm -f "$dist/$name.zip" "$dist/$name-debug.zip"
  write_zip "$dist/$name.zip" "$stage" "${files[@]/#/$name/}" "$name/SHA256SUMS"
  write_zip "$dist/$name-debug.zip" "$stage/debug" "${programs[@]/%/.exe.debug}"
}

package . build/windows build/package dist
ls -l "dist/$name.zip" "dist/$name-debug.zip"

[ "${1:-}" = --check ] || exit 0
check=$(mktemp -d)
tree=$check/tree
service_pid=
finish() {
  [ -z "$service_pid" ] || { kill "$service_pid"; wait "$service_pid" || true; }
  [ ! -d "$tree" ] || git worktree remove --force "$tree" || { rm -rf "$tree"; git worktree prune; }
  rm -rf "$check"
}
trap finish EXIT

# The second build differs in everything but the sources: checkout path, build tree outside the
# checkout, time, time zone (one that needs no time zone database), no tests, no compiler
# launcher (a cache could hand back this checkout's objects).
other_tz='<+1345>-13:45'
echo "rebuilding the package from a second worktree at $tree, TZ=$other_tz"
git worktree add --quiet --detach "$tree" HEAD
if ! git diff --quiet HEAD || [ -n "$(git ls-files --others --exclude-standard)" ]; then
  # Uncommitted work goes along, so that both builds have the same sources.
  echo "  with the uncommitted changes of this checkout"
  git diff --quiet HEAD || git diff --binary HEAD | git -C "$tree" apply --binary
  git ls-files -z --others --exclude-standard | xargs -0r cp --parents -t "$tree" --
fi
rebuild() {
  (cd "$tree" && cmake --preset windows -B "$check/build" -DTAVREL_TESTS=OFF)
  cmake --build "$check/build" --target tavrel-service tavrel-ctl
  package "$tree" "$check/build" "$check/package" "$check/dist"
}
# Not as a condition, which would turn off errexit inside.
TIMEFORMAT='  rebuilt in %0R s (CPU: %0U s user, %0S s system)'
set +e
time { (set -e; export TZ=$other_tz; unset CMAKE_C_COMPILER_LAUNCHER CMAKE_CXX_COMPILER_LAUNCHER; rebuild) >"$check/rebuild.log" 2>&1; }
status=$?
set -e
[ "$status" -eq 0 ] || { tail -n 40 "$check/rebuild.log"; echo "FAILED: the second build of the package failed" >&2; exit 1; }

# differences OURS REBUILT: where two files of the package differ: for a program or a debug
# file the PE header fields and sections, for a zip its entries, for a text its lines.
differences() {
  python3 - "$@" <<'EOF'
import difflib, struct, sys, zipfile
ours_path, twin_path = sys.argv[1:]
ours, twin = (open(p, "rb").read() for p in (ours_path, twin_path))
say = lambda text: print("    " + text)
if len(ours) != len(twin):
    say(f"size {len(ours)} bytes, rebuilt {len(twin)} bytes")

def pe_parts(data):
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    count, symbols, nsymbols, optional = struct.unpack_from("<H4xIIH", data, pe + 6)
    strings = symbols + 18 * nsymbols
    parts = [(pe + 8, pe + 12, "PE header: time stamp"), (pe + 88, pe + 92, "PE header: checksum")]
    for n in range(count):
        label, size, start = struct.unpack_from("<8s8xII", data, pe + 24 + optional + 40 * n)
        label = label.rstrip(b"\0").decode(errors="replace")
        if label.startswith("/") and symbols:  # a long name, kept in the string table
            offset = strings + int(label[1:])
            label = data[offset:data.index(b"\0", offset)].decode(errors="replace")
        parts.append((start, start + size, "section " + label))
    if symbols:
        parts.append((symbols, len(data), "symbol table"))
    return parts + [(0, len(data), "elsewhere")]

if ours[:2] == b"MZ":
    parts = pe_parts(ours)
    found = {}
    for offset in (i for i in range(min(len(ours), len(twin))) if ours[i] != twin[i]):
        what = next(w for start, end, w in parts if start <= offset < end)
        first, count = found.get(what, (offset, 0))
        found[what] = (first, count + 1)
    for what, (first, count) in found.items():
        say(f"{what}: {count} byte{'s' * (count > 1)} differ, the first at 0x{first:x}")
elif ours_path.endswith(".zip"):
    with zipfile.ZipFile(ours_path) as a, zipfile.ZipFile(twin_path) as b:
        mine, theirs = a.infolist(), b.infolist()
        if [i.filename for i in mine] != [i.filename for i in theirs]:
            say("entries: " + " ".join(i.filename for i in mine))
            say("rebuilt: " + " ".join(i.filename for i in theirs))
        rebuilt = {i.filename: i for i in theirs}
        for i in mine:
            j = rebuilt.get(i.filename)
            if j is None:
                continue
            for field in ("CRC", "date_time", "external_attr", "compress_type", "extra", "create_system"):
                if getattr(i, field) != getattr(j, field):
                    say(f"entry {i.filename}: {field} {getattr(i, field)!r}, rebuilt {getattr(j, field)!r}")
else:
    for line in list(difflib.unified_diff(ours.decode(errors="replace").splitlines(),
                                          twin.decode(errors="replace").splitlines(),
                                          "ours", "rebuilt", lineterm="", n=0))[2:12]:
        say(line)
EOF
}

differing=0
while IFS= read -r ours; do
  case $ours in
    build/package/*) twin=$check/package/${ours#build/package/} ;;
    *) twin=$check/dist/${ours#dist/} ;;
  esac
  if [ ! -f "$twin" ]; then
    echo "DIFFERS: $ours is missing from the rebuilt package"
  elif ! cmp -s "$ours" "$twin"; then
    echo "DIFFERS: $ours and its rebuild $twin"
    differences "$ours" "$twin"
  else
    continue
  fi
  differing=$((differing + 1))
done < <(find build/package -type f | sort; printf '%s\n' "dist/$name.zip" "dist/$name-debug.zip")
while IFS= read -r file; do
  [ -f "build/package/${file#"$check/package/"}" ] || { echo "DIFFERS: only the rebuild has $file"; differing=$((differing + 1)); }
done < <(find "$check/package" -type f)
if [ "$differing" -ne 0 ]; then
  echo "FAILED: $differing files of the package are not the same when rebuilt from the same sources" >&2
  exit 1
fi
echo "rebuilt package identical in every file ($(find build/package -type f | wc -l) files and both zips)"

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
