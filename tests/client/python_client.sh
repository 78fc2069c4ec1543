#!/usr/bin/env bash
# The example Python client against the built service: version, status, a start with a
# rule-set file, a refused start, stop.
set -euo pipefail
service=$1 fake_core=$2 client=$3
work=$(mktemp -d)
pid=
trap '[ -z "$pid" ] || { kill "$pid"; wait "$pid" || true; }; rm -rf "$work"' EXIT
mkdir -p "$work/svc"
cp "$fake_core" "$work/svc/sing-box"
export TAVREL_SERVICE_DIR="$work/svc"
"$service" run >"$work/console.txt" 2>&1 &
pid=$!

py() { python3 "$client" --wait 20 "$@"; }
expect() { # expect EXIT-CODE TEXT COMMAND...: the command's exit code, and TEXT in its output
  local code=$1 text=$2 out rc=0
  shift 2
  out=$(py "$@" 2>&1) || rc=$?
  if [ "$rc" != "$code" ] || [[ "$out" != *"$text"* ]]; then
    echo "python client $*: exit $rc, wanted $code and '$text' in: $out"
    exit 1
  fi
}

expect 0 '"version":"1.1.1","protocol":2,"singbox_version":"1.11.4-fake"' version
expect 0 '"running":false' status
printf '\1\2srs' >"$work/geoip-cn.srs"
printf '{"log":{"level":"info","output":"x.log"}}' >"$work/config.json"
expect 0 '{"ok":true,"running":true,"log_path":' start "$work/config.json" "$work/geoip-cn.srs"
cmp "$work/geoip-cn.srs" "$work/svc/work/rulesets/geoip-cn.srs"
expect 0 '"running":true,"pid":' status
printf '{"experimental":{"cache_file":{"path":"../x.db"}}}' >"$work/bad.json"
expect 1 '{"ok":false,"error":"配置中不允许绝对路径：path = ../x.db"}' start "$work/bad.json"
expect 0 '{"ok":true,"running":false}' stop
echo "python client: all passed"
