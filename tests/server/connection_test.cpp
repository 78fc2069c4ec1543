// One request line in, one response line out, over TCP: against the server in this process
// (ephemeral port, short read deadline) and against the built program on the control port.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <thread>

#include "server/connection_client.h"

namespace tavrel::testing {
namespace {

constexpr std::size_t LIMIT = 4'194'304;
const std::string READ_TIMEOUT = failure_line("读取请求超时");
const std::string BAD_FORMAT = R"({"ok":false,"error":"请求格式错误: )";

struct Target {
  std::uint16_t port = 0;
  std::string token;
  platform::Path dir;
  std::chrono::milliseconds read_deadline{};
};

std::string status_reply(const Target& target) {
  return R"({"ok":true,"running":false,"log_path":")" + json_text(platform::join(target.dir, "core.log")) + "\"}\n";
}

struct Case {
  std::string name;
  std::string sent;
  bool half_close = false;
  std::string expected;
  bool prefix = false;  // `expected` begins the one line received
};

std::vector<Case> cases(const Target& target) {
  const std::string& token = target.token;
  std::string upper = token;
  std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
  const std::string status = request_line(token, R"({"cmd":"status"})");
  const std::string log_path = json_text(platform::join(target.dir, "core.log"));
  return {
      {"version", request_line(token, R"({"cmd":"version"})"), false,
       R"({"ok":true,"version":"1.1.1","protocol":2,"singbox_version":"1.11.4-fake","log_path":")" + log_path +
           "\"}\n"},
      {"status", status, false, status_reply(target)},
      {"stop", request_line(token, R"({"cmd":"stop"})"), false, "{\"ok\":true,\"running\":false}\n"},
      {"schedule_wake", request_line(token, R"({"cmd":"schedule_wake"})"), false,
       failure_line("这个系统上由应用自己唤醒电脑")},
      {"schedule_wake with a time", request_line(token, R"({"at":0,"cmd":"schedule_wake"})"), false,
       failure_line("这个系统上由应用自己唤醒电脑")},
      {"extra keys", R"({"req":{"cmd":"status","x":1},"token":")" + token + "\",\"y\":[]}\n", false,
       status_reply(target)},
      {"carriage return before the line feed", status.substr(0, status.size() - 1) + "\r\n", false,
       status_reply(target)},
      {"no line feed, then half-closed", status.substr(0, status.size() - 1), true, status_reply(target)},
      {"second line never answered", status + request_line(token, R"({"cmd":"version"})"), false,
       status_reply(target)},
      {"wrong token", request_line("00000000000000000000000000000000", R"({"cmd":"status"})"), false,
       failure_line("token 不匹配")},
      {"upper-case token", request_line(upper, R"({"cmd":"stop"})"), false, failure_line("token 不匹配")},
      {"malformed with a wrong token", request_line("wrong", R"({"cmd":"Status"})"), false, BAD_FORMAT, true},
      {"closed at once", "", true, BAD_FORMAT, true},
      {"not UTF-8", "{\"token\":\"\xff\xfe\",\"req\":{\"cmd\":\"status\"}}\n", false, READ_TIMEOUT},
      {"exactly at the size limit", padded_status(target.token, LIMIT), false, status_reply(target)},
      {"over the size limit", padded_status(target.token, LIMIT + 10), false, BAD_FORMAT, true},
      {"size limit inside a character", padded_status(target.token, LIMIT + 30, LIMIT), false, READ_TIMEOUT},
  };
}

void check_cases(const Target& target) {
  for (const Case& c : cases(target)) {
    SCOPED_TRACE(c.name);
    const auto start = Clock::now();
    const Client::Received got = round_trip(target.port, c.sent, c.half_close);
    // None of these waits for the read deadline.
    EXPECT_LT(since(start), target.read_deadline / 2);
    EXPECT_TRUE(got.ended);
    if (c.prefix) {
      EXPECT_TRUE(got.bytes.starts_with(c.expected)) << got.bytes;
      EXPECT_TRUE(got.bytes.ends_with("\"}\n")) << got.bytes;
      EXPECT_EQ(std::count(got.bytes.begin(), got.bytes.end(), '\n'), 1) << got.bytes;
    } else {
      EXPECT_EQ(got.bytes, c.expected);
    }
  }
}

// The size limit counts bytes: the cut inside a character must really fall inside one.
TEST(ConnectionLines, PaddedLinesHaveTheirSize) {
  Target target{0, std::string(32, 'a'), {}, {}};
  EXPECT_EQ(padded_status(target.token, LIMIT).size(), LIMIT);
  const std::string cut = padded_status(target.token, LIMIT + 30, LIMIT);
  EXPECT_EQ(cut.size(), LIMIT + 30);
  EXPECT_EQ(static_cast<unsigned char>(cut[LIMIT]) & 0xC0, 0x80);
}

// A client in the middle of its request does not hold up another.
void check_two_clients_at_once(const Target& target) {
  const std::string status = request_line(target.token, R"({"cmd":"status"})");
  Client first;
  ASSERT_TRUE(first.connect(target.port));
  ASSERT_TRUE(first.send(status.substr(0, 20)));
  const Client::Received second = round_trip(target.port, status);
  EXPECT_EQ(second.bytes, status_reply(target));
  ASSERT_TRUE(first.send(status.substr(20)));
  const Client::Received rest = first.read_to_end();
  EXPECT_EQ(rest.bytes, status_reply(target));
  EXPECT_TRUE(rest.ended);
}

struct Waiting {
  std::string name;
  std::string sent;
};

// Clients that never complete their line in time, all at once; each is answered once the
// deadline has passed, counted from its connection.
void check_read_deadline(const Target& target) {
  const std::string status = request_line(target.token, R"({"cmd":"status"})");
  const std::vector<Waiting> waiting = {
      {"sends nothing", ""},
      {"no line feed, left open", status.substr(0, status.size() - 1)},
  };
  std::vector<std::thread> threads;
  std::vector<Client::Received> got(waiting.size() + 1);
  std::vector<std::chrono::milliseconds> took(waiting.size() + 1);
  for (std::size_t i = 0; i < waiting.size(); ++i) {
    threads.emplace_back([&, i] {
      Client client;
      const auto start = Clock::now();
      if (!client.connect(target.port)) return;
      client.send(waiting[i].sent);
      got[i] = client.read_to_end(target.read_deadline * 3);
      took[i] = since(start);
    });
  }
  // The deadline covers the whole read: bytes trickling in do not extend it.
  threads.emplace_back([&] {
    Client client;
    const auto start = Clock::now();
    if (!client.connect(target.port)) return;
    const auto step = target.read_deadline / 10;
    for (std::size_t sent = 0; sent < 10; ++sent) {
      if (!client.send(status.substr(sent, 1))) break;
      std::this_thread::sleep_for(step);
    }
    got.back() = client.read_to_end(target.read_deadline * 3);
    took.back() = since(start);
  });
  for (auto& thread : threads) thread.join();
  for (std::size_t i = 0; i < got.size(); ++i) {
    SCOPED_TRACE(i < waiting.size() ? waiting[i].name : "trickles bytes");
    EXPECT_EQ(got[i].bytes, READ_TIMEOUT);
    EXPECT_TRUE(got[i].ended);
    EXPECT_GE(took[i], target.read_deadline - 20ms);
    EXPECT_LT(took[i], target.read_deadline * 3 / 2);
  }
}

TEST(ConnectionInProcess, AnswersEveryKindOfLine) {
  ServiceDirFixture dir;
  server::ServerOptions options = fast_options();
  options.read_deadline = 5s;
  InProcessServer server(options);
  ASSERT_NE(server.port(), 0);
  const Target target{server.port(), dir.token(), dir.dir(), options.read_deadline};
  ASSERT_EQ(target.token.size(), 32u);
  check_cases(target);
  check_two_clients_at_once(target);
}

TEST(ConnectionInProcess, AnswersReadTimeoutAtTheDeadline) {
  ServiceDirFixture dir;
  InProcessServer server;
  ASSERT_NE(server.port(), 0);
  check_read_deadline({server.port(), dir.token(), dir.dir(), fast_options().read_deadline});
}

TEST(ConnectionInProcess, TokenOfAnEarlierRunIsRefused) {
  ServiceDirFixture dir;
  std::string earlier;
  {
    InProcessServer first;
    ASSERT_NE(first.port(), 0);
    earlier = dir.token();
  }
  InProcessServer second;
  ASSERT_NE(second.port(), 0);
  ASSERT_NE(dir.token(), earlier);
  EXPECT_EQ(round_trip(second.port(), request_line(earlier, R"({"cmd":"status"})")).bytes,
            failure_line("token 不匹配"));
}

// A client whose input was not all read is not reset when the connection closes: a reset can
// discard the response before the client reads it. Sending after the end of the stream shows it.
TEST(ConnectionInProcess, ClientThatSentMoreIsNotReset) {
  ServiceDirFixture dir;
  InProcessServer server;
  ASSERT_NE(server.port(), 0);
  const Target target{server.port(), dir.token(), dir.dir(), fast_options().read_deadline};
  const std::string status = request_line(target.token, R"({"cmd":"status"})");
  const std::vector<Case> more = {
      {"over the size limit", padded_status(target.token, LIMIT + 256 * 1024), false, BAD_FORMAT, true},
      {"still sending at the deadline", status.substr(0, 30), false, READ_TIMEOUT},
  };
  for (const Case& c : more) {
    SCOPED_TRACE(c.name);
    Client client;
    ASSERT_TRUE(client.connect(target.port));
    ASSERT_TRUE(client.send(c.sent));
    if (!c.prefix) {
      std::this_thread::sleep_for(target.read_deadline + 100ms);
      ASSERT_TRUE(client.send(status.substr(30, 5)));
    }
    const Client::Received got = client.read_to_end();
    EXPECT_TRUE(got.ended);
    EXPECT_TRUE(got.bytes.starts_with(c.expected)) << got.bytes;
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(client.send("x"));
  }
}

// The shipped program with its real timings: the quick cases while two clients wait out the
// 10 s deadline.
TEST(ConnectionProgram, AnswersOnTheControlPort) {
  ServiceDirFixture dir;
  ProgramServer program(dir);
  ASSERT_TRUE(program.listening()) << dir.log();
  const Target target{server::CONTROL_PORT, dir.token(), dir.dir(), server::READ_DEADLINE};
  ASSERT_EQ(target.token.size(), 32u);
  std::thread deadline([&] { check_read_deadline(target); });
  check_cases(target);
  check_two_clients_at_once(target);
  deadline.join();
}

}  // namespace
}  // namespace tavrel::testing
