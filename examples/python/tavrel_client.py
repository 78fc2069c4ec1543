#!/usr/bin/env python3
"""A client of the tavrel-service control protocol, standard library only (Python 3.8+).

    client = Client()                  # the service directory as the service finds it
    print(client.status())             # {'ok': True, 'running': False, 'log_path': ...}
    client.start({"log": {"level": "info"}}, ["geoip-cn.srs"])
    client.start_file("config.json", ["geoip-cn.srs"])  # the file's text as written

Each request is one connection: one JSON line out, one JSON line back, then the service
closes. See docs/protocol.md. As a program:

    tavrel_client.py [--dir DIR] [--wait SECONDS] [--] version|status|stop|start CONFIG.json [RULESET.srs ...]

checks what it would send as tavrel-ctl does, with the same messages, prints the service's
answer line unchanged and exits with

    0  the service answered "ok": true
    1  the service refused: "ok": false
    2  wrong usage, or a file refused before anything was sent: unreadable, not JSON, nested
       deeper than the service accepts, an empty rule-set file or a name the service would
       refuse, or configuration and rule sets together over the 4 MiB request limit
    3  no answer: the service is not reachable, its token file is unreadable or malformed,
       or the answer is broken
"""
import base64
import json
import os
import re
import socket
import sys
import time

PORT = 17895
TOKEN_MISMATCH = "token 不匹配"
MAX_REQUEST_LINE = 4 * 1024 * 1024  # bytes, the line feed included
ENVELOPE_BYTES = len('{"token":"","req":}\n') + 32
# The service refuses an array or object at level 128, counting the envelope as level 1 and
# "req" as level 2; the configuration's outermost value is level 3.
MAX_CONFIG_DEPTH = 125
WAIT_MAX = 3600
USAGE = """用法：tavrel_client.py [选项] version | status | stop
      tavrel_client.py [选项] start 配置.json [规则集.srs ...]
选项：--dir 目录     服务目录（默认与服务相同：TAVREL_SERVICE_DIR，否则安装目录）
      --wait 秒数    服务尚未监听时最多等待这么久
      --             其后都不是选项
"""
RULESET_NAME = re.compile(r"[A-Za-z0-9_.@!-]{1,68}\.srs")
DEVICE_STEM = re.compile(r"(con|prn|aux|nul|com[0-9]|lpt[0-9])", re.IGNORECASE)


class ServiceError(Exception):
    """No answer: the service is not reachable, the token unreadable or the reply broken."""


class RefusedLocally(Exception):
    """Refused before anything was sent: the service would not accept it."""


def service_dir():
    """TAVREL_SERVICE_DIR, else %ProgramFiles%\\Tavrel\\service, as the service decides."""
    override = os.environ.get("TAVREL_SERVICE_DIR")
    if override is not None:
        return override
    base = os.environ.get("ProgramFiles")
    if base is None:
        base = "C:\\Program Files" if os.name == "nt" else "/opt"
    return os.path.join(base, "Tavrel", "service")


def _os_error(e):
    if isinstance(e, socket.timeout):
        return "超时"
    return f"{os.strerror(e.errno)} (os error {e.errno})" if e.errno else str(e)


def _read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError as e:
        raise RefusedLocally(f"无法读取 {path}: {_os_error(e)}") from e


def _scan(text):
    """The text without JSON white space outside strings, the (line, column) of the first
    array or object nested too deep, and that of the first NaN or Infinity."""
    out, in_string, escaped, depth = [], False, False, 0
    too_deep = constant = None
    line, column = 1, 1
    for c in text:
        at = (line, column)
        line, column = (line + 1, 1) if c == "\n" else (line, column + 1)
        if in_string:
            escaped, in_string = (False, True) if escaped else (c == "\\", c != '"')
        elif c in " \t\n\r":
            continue
        elif c == '"':
            in_string = True
        elif c in "{[":
            depth += 1
            if depth > MAX_CONFIG_DEPTH and too_deep is None:
                too_deep = at
        elif c in "}]":
            depth -= 1
        elif c in "NI" and constant is None:
            constant = at
        out.append(c)
    return "".join(out), too_deep, constant


class _NotJSON(Exception):
    """NaN, Infinity or -Infinity, which Python reads and JSON does not have."""


def read_config_file(path):
    """The configuration file as compact JSON text, everything but white space as written."""
    data = _read(path)
    if data.startswith(b"\xef\xbb\xbf"):
        data = data[3:]

    def parse_error(place, what):
        return RefusedLocally(f"{path} 不是合法的 JSON: parse error at line {place[0]}, column {place[1]}: {what}")

    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as e:
        before = data[: e.start].decode("utf-8")
        raise parse_error((before.count("\n") + 1, len(before) - before.rfind("\n")), "invalid UTF-8") from e
    compact, too_deep, constant = _scan(text)

    def no_constants(name):
        raise _NotJSON(name)

    try:  # numbers kept as text: only the syntax matters here
        json.loads(text, parse_constant=no_constants, parse_int=str, parse_float=str)
    except json.JSONDecodeError as e:
        raise parse_error((e.lineno, e.colno), e.msg) from e
    except _NotJSON as e:
        raise parse_error(constant, f"invalid literal {e}") from e
    except RecursionError:
        pass  # deeper than Python parses, so too deep for the service as well
    if too_deep is not None:
        raise RefusedLocally(f"{path} 嵌套过深: 第 {too_deep[0]} 行第 {too_deep[1]} 列：数组和对象最多嵌套 {MAX_CONFIG_DEPTH} 层")
    return compact


def read_ruleset_file(path):
    """The rule-set file as the request carries it, refused as the service would refuse it."""
    name = os.path.basename(path)
    if not RULESET_NAME.fullmatch(name) or name.startswith(".") or ".." in name or DEVICE_STEM.fullmatch(name.split(".")[0]):
        raise RefusedLocally(f"非法的规则集文件名：{name}")
    data = _read(path)
    if not data:
        raise RefusedLocally(f"规则集 {name} 是空的")
    return {"name": name, "data_b64": base64.b64encode(data).decode("ascii")}


def _compact_json(value):
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"), allow_nan=False)


class Client:
    def __init__(self, directory=None, connect_timeout=5.0, read_timeout=150.0, wait=0.0):
        self.directory = service_dir() if directory is None else directory
        self.connect_timeout, self.read_timeout, self.wait = connect_timeout, read_timeout, wait
        self.token = None  # kept between requests, read again once on TOKEN_MISMATCH
        self.line = None  # the last answer line as the service sent it

    def token_file(self):
        return os.path.join(self.directory, "token")

    def _read_token(self):
        path = self.token_file()
        try:
            with open(path, "rb") as f:
                token = f.read()
        except OSError as e:
            raise ServiceError(f"无法读取 token 文件 {path}: {_os_error(e)}") from e
        if not re.fullmatch(rb"[0-9a-f]{32}", token):
            raise ServiceError(f"无法读取 token 文件 {path}: 内容不是 32 个小写十六进制字符")
        return token.decode("ascii")

    def _connect(self):
        give_up = time.monotonic() + self.wait
        while True:
            try:
                return socket.create_connection(("127.0.0.1", PORT), timeout=self.connect_timeout)
            except OSError as e:
                if time.monotonic() >= give_up:
                    raise ServiceError(f"无法连接服务 127.0.0.1:{PORT}: {_os_error(e)}") from e
                time.sleep(0.2)

    def request_text(self, req):
        """Sends one request, given as its compact JSON text; returns the response object."""
        if len(req.encode("utf-8")) + ENVELOPE_BYTES > MAX_REQUEST_LINE:
            raise RefusedLocally("请求超过 4 MiB 的上限")
        for attempt in range(2):
            with self._connect() as sock:
                if self.token is None:
                    self.token = self._read_token()  # after connecting: a listening service has written it
                line = '{"token":' + json.dumps(self.token) + ',"req":' + req + "}\n"
                sock.settimeout(self.read_timeout)
                try:
                    sock.sendall(line.encode("utf-8"))
                    answer = b""
                    while chunk := sock.recv(65536):  # to the end of the stream
                        answer += chunk
                except OSError as e:
                    raise ServiceError(f"服务没有应答: {_os_error(e)}") from e
            if b"\n" not in answer:
                raise ServiceError("服务没有应答: 应答不完整")
            self.line = answer.split(b"\n", 1)[0] + b"\n"
            try:
                response = json.loads(self.line)
                if not isinstance(response, dict) or not isinstance(response.get("ok"), bool):
                    raise ValueError("not a response object")
            except ValueError as e:
                raise ServiceError(f"服务的应答无法解读: {e}") from e
            if response["ok"] or response.get("error") != TOKEN_MISMATCH or attempt == 1:
                return response
            self.token = None  # the service has restarted since the token was read

    def request(self, req):
        """Sends one request object; returns the response object, ok or not."""
        return self.request_text(_compact_json(req))

    def version(self):
        return self.request({"cmd": "version"})

    def status(self):
        """Also renews the lease: send one at least every 60 s while a core runs."""
        return self.request({"cmd": "status"})

    def stop(self):
        return self.request({"cmd": "stop"})

    def start(self, config, ruleset_paths=()):
        """Starts the core with `config`, a JSON-compatible value (no NaN or infinities)."""
        try:
            config_text = _compact_json(config)
        except ValueError as e:
            raise RefusedLocally(f"配置无法写成 JSON: {e}") from e
        return self._start(config_text, ruleset_paths)

    def start_file(self, config_path, ruleset_paths=()):
        """Starts the core with the configuration file as written (key order, repeated keys
        and the text of numbers stay; only white space between tokens goes)."""
        return self._start(read_config_file(config_path), ruleset_paths)

    def _start(self, config_text, ruleset_paths):
        rulesets = ",".join(_compact_json(read_ruleset_file(p)) for p in ruleset_paths)
        req = '{"cmd":"start","config":' + config_text + ',"rulesets":[' + rulesets + "]}"
        if len(req.encode("utf-8")) + ENVELOPE_BYTES > MAX_REQUEST_LINE:
            raise RefusedLocally("配置和规则集合起来超过了请求的 4 MiB 上限")
        return self.request_text(req)


def _say(stream, text):
    stream.flush()
    stream.buffer.write(text.encode("utf-8"))
    stream.buffer.flush()


class UsageError(Exception):
    pass


def parse_args(args):
    """The options and the command words, checked as tavrel-ctl checks them."""
    options, words, i = {}, [], 0
    while i < len(args):
        word = args[i]
        i += 1
        if word == "--":
            words += args[i:]
            break
        if word == "--dir":
            if i >= len(args):
                raise UsageError("--dir 缺少目录")
            options["directory"], i = args[i], i + 1
        elif word == "--wait":
            text = args[i] if i < len(args) else ""
            if not re.fullmatch(r"-?[0-9]+", text) or not 0 <= int(text) <= WAIT_MAX:
                raise UsageError(f"--wait 需要一个整数秒数（0 到 {WAIT_MAX}）")
            options["wait"], i = float(text), i + 1
        elif word.startswith("--"):
            raise UsageError(f"未知选项 {word}")
        else:
            words.append(word)
    if not words:
        raise UsageError("缺少命令")
    if words[0] == "start":
        if len(words) == 1:
            raise UsageError("start 需要一个配置文件")
    elif words[0] in ("version", "status", "stop"):
        if len(words) > 1:
            raise UsageError(f"多余的参数 {words[1]}")
    else:
        raise UsageError(f"未知命令 {words[0]}")
    return options, words


def main(args):
    if any(a in ("--help", "-h") for a in args[: args.index("--") if "--" in args else len(args)]):
        _say(sys.stdout, USAGE)
        return 0
    try:
        options, words = parse_args(args)
    except UsageError as e:
        _say(sys.stderr, f"错误：{e}\n{USAGE}")
        return 2
    client = Client(**options)
    try:
        if words[0] == "start":
            response = client.start_file(words[1], words[2:])
        else:
            response = getattr(client, words[0])()
    except RefusedLocally as e:
        _say(sys.stderr, f"错误：{e}\n")
        return 2
    except ServiceError as e:
        _say(sys.stderr, f"错误：{e}\n")
        return 3
    except KeyboardInterrupt:
        return 130
    _say(sys.stdout, client.line.decode("utf-8", "replace"))
    return 0 if response["ok"] else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
