#!/usr/bin/env python3
"""A client of the tavrel-service control protocol, standard library only (Python 3.8+).

    client = Client()                  # the service directory as the service finds it
    print(client.status())             # {'ok': True, 'running': False, 'log_path': ...}
    client.start({"log": {"level": "info"}}, ["geoip-cn.srs"])
    client.start_file("config.json", ["geoip-cn.srs"])  # the file's text as written

Each request is one connection: one JSON line out, one JSON line back, then the service
closes. See docs/protocol.md. As a program:

    tavrel_client.py [--dir DIR] [--wait SECONDS] [--] version|status|stop|start CONFIG.json [RULESET.srs ...]

checks what it would send as tavrel-ctl does: it refuses exactly the configuration files that
the service's decoder refuses, with the same messages up to the line and column of the fault
(after them the words may be Python's own), prints the service's answer line unchanged and
exits with

    0  the service answered "ok": true
    1  the service refused: "ok": false
    2  wrong usage (an argument that is not valid UTF-8 included), or a file refused before
       anything was sent: unreadable, not JSON as the service reads it, nested
       deeper than the service accepts, an empty rule-set file or a name the service would
       refuse, or configuration and rule sets together over the 4 MiB request limit
    3  no answer: the service is not reachable, its token file is unreadable or malformed,
       or the answer is broken
"""
import base64
import json
import math
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


def _is_text(word):
    """Whether a word from the system (an argument, an environment value) is valid Unicode:
    Python keeps undecodable bytes and unpaired surrogates as lone surrogates."""
    try:
        word.encode("utf-8")
        return True
    except UnicodeEncodeError:
        return False


def service_dir():
    """TAVREL_SERVICE_DIR, else %ProgramFiles%\\Tavrel\\service, as the service decides (a
    value that is not valid Unicode counts as absent)."""
    override = os.environ.get("TAVREL_SERVICE_DIR")
    if override is not None and _is_text(override):
        return override
    base = os.environ.get("ProgramFiles")
    if base is None or not _is_text(base):
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


# The service's decoder refuses an array or object at this level, counting the envelope as 1.
_NESTING_LIMIT = 128
_CONFIG_LEVEL = 3
_JSON_SPACE = re.compile(r"[ \t\n\r]*")
_STRING_RUN = re.compile(r'[^"\\\x00-\x1f]*')
_NUMBER = re.compile(r"-?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?")
_ESCAPES = set('"\\/bfnrt')
_SPACE_OUTSIDE_STRINGS = re.compile(r'("(?:[^"\\]|\\.)*")|[ \t\n\r]+', re.DOTALL)


class _Fault(Exception):
    def __init__(self, at, what, detail="", too_deep=False):
        super().__init__(what)
        self.at, self.what, self.detail, self.too_deep = at, what, detail, too_deep


class _ConfigCheck:
    """The service decoder's check of a start's config, step for step, so that it refuses the
    same text at the same place: exactly one JSON value with JSON white space around it, no
    unpaired surrogate escapes, no number beyond a double, at most the decoder's nesting."""

    def __init__(self, text):
        self.text, self.p = text, 0

    def _show(self, at):
        cp = ord(self.text[at])
        return f"'{chr(cp)}'" if 0x20 < cp < 0x7F else f"U+{cp:04X}"

    def _unexpected(self, expected):
        if self.p == len(self.text):
            raise _Fault(self.p, "unexpected end of text", f"expected {expected}")
        raise _Fault(self.p, f"unexpected character {self._show(self.p)}", f"expected {expected}")

    def _ws(self):
        self.p = _JSON_SPACE.match(self.text, self.p).end()

    def _peek(self):
        return self.text[self.p] if self.p < len(self.text) else ""

    def run(self):
        self._ws()
        if self.p == len(self.text):
            self._unexpected("a value")
        self._value(_CONFIG_LEVEL)
        self._ws()
        if self.p != len(self.text):
            raise _Fault(self.p, "unexpected text after the JSON value")

    def _value(self, level):
        c = self.text[self.p]
        if c in "{[":
            self._container(level, c == "{")
        elif c == '"':
            self._string()
        elif c in "tfn":
            self._literal({"t": "true", "f": "false", "n": "null"}[c])
        elif c == "-" or "0" <= c <= "9":
            self._number()
        else:
            self._unexpected("a value")

    def _container(self, level, is_object):
        if level >= _NESTING_LIMIT:
            raise _Fault(self.p, "nesting too deep", f"arrays and objects may nest {_NESTING_LIMIT - 1} levels deep", True)
        close, after = ("}", "',' or '}'") if is_object else ("]", "',' or ']'")
        self.p += 1
        self._ws()
        if self._peek() == close:
            self.p += 1
            return
        while True:
            if is_object:
                if self._peek() != '"':
                    self._unexpected("a key string")
                self._string()
                self._ws()
                if self._peek() != ":":
                    self._unexpected("':'")
                self.p += 1
                self._ws()
            if self.p == len(self.text):
                self._unexpected("a value")
            self._value(level + 1)
            self._ws()
            if self._peek() == ",":
                self.p += 1
                self._ws()
                continue
            if self._peek() == close:
                self.p += 1
                return
            self._unexpected(after)

    def _string(self):
        text = self.text
        self.p += 1
        while True:
            self.p = _STRING_RUN.match(text, self.p).end()
            if self.p == len(text):
                raise _Fault(self.p, "unexpected end of text in a string")
            c = text[self.p]
            if c == '"':
                self.p += 1
                return
            if c != "\\":
                raise _Fault(self.p, f"control character {self._show(self.p)} in a string", "it must be escaped")
            if len(text) - self.p < 2:
                raise _Fault(len(text), "unexpected end of text in a string")
            if text[self.p + 1] == "u":
                self._unicode_escape()
            elif text[self.p + 1] in _ESCAPES:
                self.p += 2
            else:
                raise _Fault(self.p, f"invalid escape \\{self._show(self.p + 1)} in a string")

    def _unit(self):
        self.p += 2
        value = 0
        for _ in range(4):
            if self.p == len(self.text):
                raise _Fault(self.p, "unexpected end of text in a string")
            c = self.text[self.p]
            if c not in "0123456789abcdefABCDEF":
                raise _Fault(self.p, "invalid \\u escape in a string", "expected four hexadecimal digits")
            value = value * 16 + int(c, 16)
            self.p += 1
        return value

    def _unicode_escape(self):
        at = self.p
        unit = self._unit()
        if 0xD800 <= unit <= 0xDFFF:
            unpaired = _Fault(at, f"unpaired surrogate {self.text[at:at + 6]} in a string")
            if unit >= 0xDC00 or self.text[self.p:self.p + 2] != "\\u":
                raise unpaired
            if not 0xDC00 <= self._unit() <= 0xDFFF:
                raise unpaired

    def _literal(self, word):
        at = self.p
        for c in word:
            if self.p == len(self.text):
                self._unexpected(f"'{word}'")
            if self.text[self.p] != c:
                raise _Fault(at, "invalid literal", f"expected '{word}'")
            self.p += 1

    def _number(self):
        at, text = self.p, self.text
        match = _NUMBER.match(text, self.p)
        if match is None:  # "-" without a digit
            self.p += 1
            self._unexpected("a digit")
        self.p = match.end()
        fraction, exponent = match.group(2), match.group(3)
        cut_short = (fraction is None and exponent is None and self._peek() == ".") or (
            exponent is None and self._peek() in ("e", "E"))
        if cut_short:  # a fraction or an exponent without its digits
            self.p += 1
            if text[self.p - 1] in "eE" and self._peek() in ("+", "-"):
                self.p += 1
            self._unexpected("a digit")
        # Integers that fit 64 bits are held as such; any other number must fit a double.
        if math.isinf(float(match.group(0))):
            raise _Fault(at, "number out of range", "too large for a double")


def _place(text, at):
    before = text[:at]
    return before.count("\n") + 1, at - (before.rfind("\n") + 1) + 1


def read_config_file(path):
    """The configuration file as compact JSON text, everything but white space as written,
    refused as the service's decoder would refuse it: the same verdict and the same line and
    column, then a description that may be worded in Python's own way."""
    data = _read(path)
    if data.startswith(b"\xef\xbb\xbf"):
        data = data[3:]
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as e:
        before = data[: e.start].decode("utf-8")
        line, column = _place(before, len(before))
        raise RefusedLocally(f"{path} 不是合法的 JSON: invalid UTF-8 at line {line}, column {column}") from None
    try:
        _ConfigCheck(text).run()
    except _Fault as fault:
        line, column = _place(text, fault.at)
        if fault.too_deep:
            raise RefusedLocally(f"{path} 嵌套过深: 第 {line} 行第 {column} 列：数组和对象最多嵌套 {MAX_CONFIG_DEPTH} 层") from None
        detail = f" ({fault.detail})" if fault.detail else ""
        raise RefusedLocally(f"{path} 不是合法的 JSON: {fault.what} at line {line}, column {column}{detail}") from None
    return _SPACE_OUTSIDE_STRINGS.sub(lambda m: m.group(1) or "", text)


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
    if not all(_is_text(a) for a in args):  # every word ends up in a message, a path or a request
        _say(sys.stderr, "错误：命令行参数不是合法的 Unicode 文本\n")
        return 2
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
