#!/usr/bin/env python3
"""A client of the tavrel-service control protocol, standard library only (Python 3.8+).

    client = Client()                  # the service directory as the service finds it
    print(client.status())             # {'ok': True, 'running': False, 'log_path': ...}
    client.start({"log": {"level": "info"}}, ["geoip-cn.srs"])

Each request is one connection: one JSON line out, one JSON line back, then the service
closes. See docs/protocol.md. As a program:

    tavrel_client.py [--dir DIR] [--wait SECONDS] version|status|stop|start CONFIG.json [RULESET.srs ...]

prints the service's answer and exits with 0 (ok), 1 (the service refused) or 3 (no answer).
"""
import base64
import json
import os
import socket
import sys
import time

PORT = 17895
TOKEN_MISMATCH = "token 不匹配"


class ServiceError(Exception):
    """No answer: the service is not reachable, the token unreadable or the reply broken."""


def service_dir():
    """TAVREL_SERVICE_DIR, else %ProgramFiles%\\Tavrel\\service, as the service decides."""
    override = os.environ.get("TAVREL_SERVICE_DIR")
    if override is not None:
        return override
    base = os.environ.get("ProgramFiles")
    if base is None:
        base = "C:\\Program Files" if os.name == "nt" else "/opt"
    return os.path.join(base, "Tavrel", "service")


class Client:
    def __init__(self, directory=None, connect_timeout=5.0, read_timeout=150.0, wait=0.0):
        self.directory = service_dir() if directory is None else directory
        self.connect_timeout, self.read_timeout, self.wait = connect_timeout, read_timeout, wait
        self.token = None  # kept between requests, read again once on TOKEN_MISMATCH

    def _read_token(self):
        path = os.path.join(self.directory, "token")
        try:
            with open(path, "rb") as f:
                return f.read().decode("ascii")
        except (OSError, UnicodeDecodeError) as e:
            raise ServiceError(f"无法读取 token 文件 {path}: {e}") from e

    def _connect(self):
        give_up = time.monotonic() + self.wait
        while True:
            try:
                return socket.create_connection(("127.0.0.1", PORT), timeout=self.connect_timeout)
            except OSError as e:
                if time.monotonic() >= give_up:
                    raise ServiceError(f"无法连接服务 127.0.0.1:{PORT}: {e}") from e
                time.sleep(0.2)

    def request(self, req):
        """Sends one request object; returns the response object, ok or not."""
        for attempt in range(2):
            with self._connect() as sock:
                if self.token is None:
                    self.token = self._read_token()  # after connecting: a listening service has written it
                envelope = {"token": self.token, "req": req}
                line = json.dumps(envelope, ensure_ascii=False, separators=(",", ":"), allow_nan=False)
                sock.settimeout(self.read_timeout)
                try:
                    sock.sendall(line.encode("utf-8") + b"\n")
                    answer = b""
                    while chunk := sock.recv(65536):  # to the end of the stream
                        answer += chunk
                except OSError as e:
                    raise ServiceError(f"服务没有应答: {e}") from e
            if not answer.endswith(b"\n"):
                raise ServiceError("服务没有应答: 应答不完整")
            response = json.loads(answer.split(b"\n", 1)[0])
            if response.get("ok") or response.get("error") != TOKEN_MISMATCH or attempt == 1:
                return response
            self.token = None  # the service has restarted since the token was read

    def version(self):
        return self.request({"cmd": "version"})

    def status(self):
        """Also renews the lease: send one at least every 60 s while a core runs."""
        return self.request({"cmd": "status"})

    def stop(self):
        return self.request({"cmd": "stop"})

    def start(self, config, ruleset_paths=()):
        rulesets = []
        for path in ruleset_paths:
            with open(path, "rb") as f:
                data = base64.b64encode(f.read()).decode("ascii")
            rulesets.append({"name": os.path.basename(path), "data_b64": data})
        return self.request({"cmd": "start", "config": config, "rulesets": rulesets})


def main(args):
    options = {}
    while args[:1] in (["--dir"], ["--wait"]) and len(args) >= 2:
        options["directory" if args[0] == "--dir" else "wait"] = args[1] if args[0] == "--dir" else float(args[1])
        args = args[2:]
    if not args or args[0] not in ("version", "status", "stop", "start") or (args[0] == "start") != (len(args) > 1):
        print(__doc__.split("As a program:")[1].strip(), file=sys.stderr)
        return 2
    client = Client(**options)
    try:
        if args[0] == "start":
            with open(args[1], "rb") as f:
                response = client.start(json.loads(f.read().decode("utf-8-sig")), args[2:])
        else:
            response = getattr(client, args[0])()
    except ServiceError as e:
        print(f"错误：{e}", file=sys.stderr)
        return 3
    print(json.dumps(response, ensure_ascii=False, separators=(",", ":")))
    return 0 if response.get("ok") else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
