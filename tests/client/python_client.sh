#!/usr/bin/env bash
# The example Python client beside tavrel-ctl: the same refusals with the same messages and
# exit codes, the same request line; then both against the built service, which is ended by
# SIGINT and, in a second run, by SIGTERM, each named in its shutdown line.
set -euo pipefail
service=$1 fake_core=$2 client=$3 ctl=$4
work=$(mktemp -d)
pid=
trap '[ -z "$pid" ] || { kill "$pid"; wait "$pid" || true; }; rm -rf "$work"' EXIT
mkdir -p "$work/svc" "$work/other"
cp "$fake_core" "$work/svc/sing-box"
export TAVREL_SERVICE_DIR="$work/svc"

fail() { echo "$*"; exit 1; }
# both EXIT-CODE STDERR-BEGINNING ARGS...: each client exits so and its standard error begins so.
both() {
  local code=$1 err=$2 name rc out
  shift 2
  for name in python ctl; do
    rc=0
    if [ $name = python ]; then python3 "$client" "$@" 2>"$work/err" >/dev/null || rc=$?
    else "$ctl" "$@" 2>"$work/err" >/dev/null || rc=$?; fi
    out=$(cat "$work/err"; echo .)
    out=${out%.}
    [ "$rc" = "$code" ] && [[ "$out" == "$err"* ]] || fail "$name $*: exit $rc, wanted $code and '$err' first in: $out"
  done
}

printf '{"log":\n  {"level": }}' >"$work/broken.json"
printf '{"a":NaN}' >"$work/nan.json"
printf '\xef\xbb\xbf\xef\xbb\xbf{}' >"$work/two-boms.json"
printf '{}\0' >"$work/nul-after.json"
printf '{"a":\n 1e400}' >"$work/huge.json"
printf '{"a":"\\ud800"}' >"$work/surrogate.json"
printf '{"a":"\\ud800\\u0041"}' >"$work/unpaired.json"
printf '{"\xe9":1}' >"$work/latin1.json"
printf '[1.5.3]' >"$work/two-points.json"
printf '{"a":-}' >"$work/minus.json"
printf '{"a":1e+}' >"$work/exponent.json"
printf '{"a":1.0e-400,"b":18446744073709551615,"c":-9223372036854775809,"d":"\\ud83d\\ude00"}' >"$work/edges.json"
printf '{}' >"$work/empty.json"
printf '{"x":%s%s}' "$(printf '[%.0s' {1..125})" "$(printf ']%.0s' {1..125})" >"$work/deep.json"
printf '{"x":%s%s}' "$(printf '[%.0s' {1..124})" "$(printf ']%.0s' {1..124})" >"$work/deepest.json"
: >"$work/empty.srs"
printf 'x' >"$work/a b.srs"
head -c 3200000 /dev/zero >"$work/big.srs"
printf 'not a token' >"$work/other/token"
usage="错误：--wait 需要一个整数秒数（0 到 3600）
用法："

# Refused before sending (a listener on the port shows that none was tried but the token's).
python3 -c '
import socket, sys
server = socket.create_server(("127.0.0.1", 17895))
server.settimeout(120)
with open(sys.argv[1], "ab") as lines:
    for _ in range(20):
        connection = server.accept()[0]
        connection.settimeout(10)
        line = connection.makefile("rb").readline()
        lines.write(line)
        lines.flush()
        if line:
            connection.sendall(b"{\"ok\":true,\"running\":true}\n")
        connection.close()
' "$work/lines" &
pid=$!
printf '%032d' 7 >"$work/svc/token"
for i in $(seq 50); do "$ctl" status >/dev/null 2>&1 && break; sleep 0.1; done
: >"$work/lines"

both 2 "错误：无法读取 $work/none.json: No such file or directory (os error 2)
" start "$work/none.json"
# The service's decoder decides what is JSON; the clients agree with it up to the position.
not_json() { # not_json FILE FAULT: both refuse FILE, their message beginning with FAULT
  both 2 "错误：$work/$1 不是合法的 JSON: $2" start "$work/$1"
}
not_json broken.json "unexpected character '}' at line 2, column 13"
not_json nan.json "unexpected character 'N' at line 1, column 6"
not_json two-boms.json "unexpected character U+FEFF at line 1, column 1"
not_json nul-after.json "unexpected text after the JSON value at line 1, column 3"
not_json huge.json "number out of range at line 2, column 2"
not_json surrogate.json 'unpaired surrogate \ud800 in a string at line 1, column 7'
not_json unpaired.json 'unpaired surrogate \ud800 in a string at line 1, column 7'
not_json latin1.json "invalid UTF-8 at line 1, column 3"
not_json two-points.json "unexpected character '.' at line 1, column 5"
not_json minus.json "unexpected character '}' at line 1, column 7"
not_json exponent.json "unexpected character '}' at line 1, column 9"
# Arguments that are not UTF-8 are wrong use, whether or not such a file exists.
both 2 "错误：命令行参数不是合法的 Unicode 文本
" start "$work/"$'\xfe'.json
printf '{}' >"$work/"$'\xfe'.json
both 2 "错误：命令行参数不是合法的 Unicode 文本
" start "$work/"$'\xfe'.json
both 2 "错误：命令行参数不是合法的 Unicode 文本
" --dir "$work/"$'\xfe' status
both 2 "错误：$work/deep.json 嵌套过深: 第 1 行第 130 列：数组和对象最多嵌套 125 层
" start "$work/deep.json"
both 2 "错误：无法读取 $work/none.srs: No such file or directory (os error 2)
" start "$work/empty.json" "$work/none.srs"
both 2 "错误：规则集 empty.srs 是空的
" start "$work/empty.json" "$work/empty.srs"
both 2 "错误：非法的规则集文件名：a b.srs
" start "$work/empty.json" "$work/a b.srs"
both 2 "错误：配置和规则集合起来超过了请求的 4 MiB 上限
" start "$work/empty.json" "$work/big.srs"
both 2 "$usage" --wait abc status
both 2 "错误：未知选项 --bogus
" --bogus status
both 2 "错误：未知命令 --wait
" -- --wait 1
both 3 "错误：无法读取 token 文件 $work/other/token: 内容不是 32 个小写十六进制字符
" --dir "$work/other" status
[ "$(grep -c . "$work/lines" || true)" = 0 ] || fail "refused requests were sent: $(cat "$work/lines")"

# The configuration goes as written: both clients send the same line.
printf '\xef\xbb\xbf{\r\n  "z": 1.0e2, "a": "\\u00e9 é",\r\n  "z": [1, -0]\r\n}\r\n' >"$work/as-written.json"
printf '\1\2srs' >"$work/geoip-cn.srs"
both 0 "" start "$work/as-written.json" "$work/geoip-cn.srs"
expected='{"token":"00000000000000000000000000000007","req":{"cmd":"start","config":{"z":1.0e2,"a":"\u00e9 é","z":[1,-0]},"rulesets":[{"name":"geoip-cn.srs","data_b64":"AQJzcnM="}]}}'
[ "$(sort -u "$work/lines")" = "$expected" ] || fail "request lines: $(cat "$work/lines")"
kill "$pid"
wait "$pid" || true
pid=

# keep that never reaches the service: JSON lines only, and exit code 3 after Ctrl-C.
"$ctl" --json keep --every 1 >"$work/keep.txt" 2>&1 &
keep=$!
sleep 1.5
kill -INT "$keep"
rc=0
wait "$keep" || rc=$?
[ "$rc" = 3 ] || fail "keep: exit $rc, wanted 3"
grep -q . "$work/keep.txt" || fail "keep printed nothing"
! grep -v '^{"ok":false,"error":"无法连接服务 127.0.0.1:17895: [^"]*"}$' "$work/keep.txt" ||
  fail "keep --json printed other lines"

"$service" run >"$work/console.txt" 2>&1 &
pid=$!

py() { python3 "$client" --wait 20 "$@"; }
expect() { # expect EXIT-CODE TEXT COMMAND...: the command's exit code, and TEXT in its output
  local code=$1 text=$2 out rc=0
  shift 2
  out=$(py "$@" 2>&1) || rc=$?
  if [ "$rc" != "$code" ] || [[ "$out" != *"$text"* ]]; then
    fail "python client $*: exit $rc, wanted $code and '$text' in: $out"
  fi
}

expect 0 '"version":"1.1.1","protocol":2,"singbox_version":"1.11.4-fake"' version
expect 0 '"running":false' status
printf '{"log":{"level":"info","output":"x.log"}}' >"$work/config.json"
expect 0 '{"ok":true,"running":true,"log_path":' start "$work/config.json" "$work/geoip-cn.srs"
cmp "$work/geoip-cn.srs" "$work/svc/work/rulesets/geoip-cn.srs"
expect 0 '"running":true,"pid":' status
printf '{"experimental":{"cache_file":{"path":"../x.db"}}}' >"$work/bad.json"
expect 1 '{"ok":false,"error":"配置中不允许绝对路径：path = ../x.db"}' start "$work/bad.json"
# The deepest configuration the clients let through is one the service takes.
both 0 "" start "$work/deepest.json"
# So is every edge the decoder takes: a number that becomes zero, the largest integers, a pair.
both 0 "" start "$work/edges.json"
expect 0 '{"ok":true,"running":false}' stop

# A token file that is not the running service's is named (a wrong --dir shows there).
printf '%032d' 0 >"$work/other/token"
rc=0
"$ctl" --dir "$work/other" status 2>"$work/err" || rc=$?
[ "$rc" = 1 ] && [ "$(cat "$work/err")" = "错误：token 不匹配（读取的 token 文件：$work/other/token）" ] ||
  fail "ctl with a stale token: exit $rc, $(cat "$work/err")"

stop_with() { # stop_with SIGNAL: the service ends; its last two lines name the signal, then shut down
  kill -"$1" "$pid"
  wait "$pid" || fail "the service ended with $? after SIG$1"
  pid=
  tail -n 2 "$work/svc/service.log" | cut -d ' ' -f 3- | tr '\n' '|' | grep -qx "stop requested (SIG$1)|shutting down (signal 0)|" ||
    fail "after SIG$1: $(cat "$work/svc/service.log")"
}
stop_with INT
"$service" run >"$work/console.txt" 2>&1 &
pid=$!
"$ctl" --wait 20 status >/dev/null
stop_with TERM
echo "python client: all passed"
