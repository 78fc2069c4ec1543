// Decoding speed of a 4 MiB start request: decode_envelope against a plain nlohmann::json::parse
// of the same bytes.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "protocol/protocol.h"

namespace {

using tavrel::protocol::decode_envelope;

class Generator {
 public:
  std::string start_request(std::size_t size) {
    std::string line =
        R"({"token":"0123456789abcdef0123456789abcdef","req":{"cmd":"start","config":{)";
    line +=
        R"("log":{"level":"info","timestamp":true,"output":"box.log"},"inbounds":[{"type":"tun",)";
    line +=
        R"("tag":"tun-in","address":["172.19.0.1/30","fdfe:dcba:9876::1/126"],"auto_route":true,)";
    line += R"("strict_route":true,"stack":"mixed","mtu":9000}],"outbounds":[)";
    for (int i = 0; line.size() < size - 4096; ++i) {
      if (i != 0) line += ',';
      outbound(line, i);
    }
    line += R"(],"route":{"final":"proxy-0","auto_detect_interface":true}},"rulesets":[)";
    line += R"({"name":"geoip-cn.srs","data_b64":")" + base64(1500) + R"("}]}})";
    line += '\n';
    return line;
  }

 private:
  void outbound(std::string& out, int i) {
    out += R"({"type":"vless","tag":"proxy-)" + std::to_string(i) + R"(","server":")" + word(12) +
           R"(.example",)";
    out += R"("server_port":)" + std::to_string(1024 + pick(60000)) + R"(,"uuid":")" + word(36) +
           R"(",)";
    out +=
        R"("flow":"xtls-rprx-vision","packet_encoding":"xudp","multiplex":{"enabled":false,"padding":true,)";
    out += R"("max_connections":)" + std::to_string(pick(16)) + R"(,"brutal":{"up_mbps":)" +
           std::to_string(pick(1000));
    out += R"(,"down_mbps":)" + std::to_string(pick(1000)) + R"(,"ratio":)" +
           std::to_string(pick(1000) / 7.0) + "}},";
    out += R"("tls":{"enabled":true,"server_name":")" + word(20) +
           R"(","utls":{"enabled":true,"fingerprint":"chrome"},)";
    out += R"("reality":{"enabled":true,"public_key":")" + word(43) + R"(","short_id":")" +
           word(8) + R"("},)";
    out += R"("certificate":")" + certificate() + R"("},)";
    out += R"("备注":"节点 )" + std::to_string(i) +
           R"( \u00e9\t\"quoted\"","domain_strategy":"prefer_ipv4",)";
    out += R"("rules":[)";
    for (int r = 0; r < 8; ++r) {
      if (r != 0) out += ',';
      out += R"({"domain_suffix":[")" + word(10) + R"(.com",")" + word(7) + R"(.net"],"port":[)" +
             std::to_string(pick(65535)) + "," + std::to_string(pick(65535)) +
             R"(],"invert":false,"weight":)" + std::to_string(-pick(100)) + "}";
    }
    out += "]}";
  }

  std::string certificate() {
    std::string pem = "-----BEGIN CERTIFICATE-----\\n";
    for (int line = 0; line < 12; ++line) pem += base64(64) + "\\n";
    return pem + "-----END CERTIFICATE-----";
  }

  std::string word(std::size_t length) {
    static constexpr char LETTERS[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string w;
    for (std::size_t i = 0; i < length; ++i) w += LETTERS[pick(36)];
    return w;
  }

  std::string base64(std::size_t length) {
    static constexpr char ALPHABET[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string b;
    for (std::size_t i = 0; i < length; ++i) b += ALPHABET[pick(64)];
    return b;
  }

  int pick(int n) { return static_cast<int>(random_() % static_cast<unsigned>(n)); }

  std::mt19937 random_{20240601};
};

template <class F>
double seconds(F&& f) {
  const auto begin = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// One 4 MiB start line: decode_envelope, the shallow decode a start gets on arrival (it then
// waits for its turn as text), and plain nlohmann::json::parse.
bool measure(const char* name, const std::string& line) {
  const double mb = static_cast<double>(line.size()) / 1e6;
  const auto check = decode_envelope(line);
  if (!check.ok()) {
    std::fprintf(stderr, "decode_envelope failed: %s\n", check.error().message().c_str());
    return false;
  }
  if (nlohmann::json::parse(line)["req"]["config"] !=
      std::get<tavrel::protocol::Request::Start>(check->req.kind).config) {
    std::fprintf(stderr, "decode_envelope and nlohmann::json::parse disagree on the config\n");
    return false;
  }

  constexpr int ROUNDS = 15;
  std::vector<double> strict, shallow, plain;
  for (int round = 0; round < ROUNDS; ++round) {
    strict.push_back(seconds([&] {
      auto result = decode_envelope(line);
      if (!result.ok()) std::abort();
    }));
    shallow.push_back(seconds([&] {
      auto result = tavrel::protocol::decode_envelope_shallow(line);
      if (!result.ok()) std::abort();
    }));
    plain.push_back(seconds([&] {
      auto value = nlohmann::json::parse(line);
      if (!value.is_object()) std::abort();
    }));
  }
  const double s = median(strict), h = median(shallow), p = median(plain);
  std::printf("%s: %zu bytes, median of %d rounds\n", name, line.size(), ROUNDS);
  std::printf("  decode_envelope          %8.1f MB/s  %7.2f ms\n", mb / s, s * 1e3);
  std::printf("  decode_envelope_shallow  %8.1f MB/s  %7.2f ms\n", mb / h, h * 1e3);
  std::printf("  nlohmann::json::parse    %8.1f MB/s  %7.2f ms\n", mb / p, p * 1e3);
  std::printf("  time ratio to plain parse: decode %.2f, shallow %.2f\n", s / p, h / p);
  return true;
}

}  // namespace

int main() {
  const std::size_t size = tavrel::protocol::MAX_REQUEST_LINE;
  std::string objects = R"({"token":"0123456789abcdef0123456789abcdef","req":{"cmd":"start","config":[{})";
  while (objects.size() + 3 + 4 < size) objects += ",{}";
  objects += "]}}\n";
  const bool ok = measure("realistic configuration", Generator().start_request(size)) &&
                  measure("config [{},{},...]", objects);
  return ok ? 0 : 1;
}
