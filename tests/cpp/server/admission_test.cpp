// The listener: binding, the opening handshake (Origin, upgrade checks, time limit) and the
// diagnostic lines it writes.
#include "call/rpc.hpp"
#include "server/listener.hpp"
#include "wire/error_text.hpp"
#include "wire/upgrade.hpp"
#include "ws_test_support.hpp"

namespace pen::test {
namespace {

class Admission : public ServerTest {
 protected:
  Admission() : ServerTest(1, ListenOptions{300ms}) {}
  StderrCapture err;
};

TEST_F(Admission, AdmittedClientReceivesTheHandshakeMessageFirst) {
  auto client = connect_installed(nullptr, "http://localhost:5173");
  EXPECT_EQ(err.text(), "");
}

TEST_F(Admission, RejectedOriginGetsExactly403AndTwoLogLines) {
  RawClient raw(port);
  raw.send(upgrade_request("Origin: http://localhost.attacker.example/\r\n"));
  EXPECT_EQ(raw.read_to_end(), "HTTP/1.1 403 Forbidden\r\n\r\n");
  const std::string expected =
      "[native ws server] rejected origin: http://localhost.attacker.example\n"
      "[native ws server] accept failed: HTTP error: 403 Forbidden\n";
  EXPECT_EQ(err.wait_for("403 Forbidden\n"), expected);
  EXPECT_TRUE(run(shared->executor, wait_connected(shared, Timeout{0, 0})))
      << "a rejected client was installed";
}

TEST_F(Admission, InvalidUpgradeRequestIsLoggedAsProtocolError) {
  RawClient raw(port);
  raw.send(upgrade_request("Origin: http://127.0.0.1\r\n", /*with_key=*/false));
  EXPECT_EQ(raw.read_to_end(), "");
  const std::string line =
      "[native ws server] accept failed: WebSocket protocol error: No \"Sec-WebSocket-Key\" "
      "header\n";
  EXPECT_EQ(err.wait_for(line), line);
}

TEST_F(Admission, StalledHandshakeDelaysNobodyAndTimesOut) {
  RawClient silent(port);
  silent.send("GET / HTTP/1.1\r\n");  // and nothing more
  auto client = connect_installed();
  EXPECT_EQ(silent.read_to_end(), "");  // closed once its time is up
  const std::string line = "[native ws server] accept failed: IO error: handshake timed out\n";
  EXPECT_EQ(err.wait_for(line), line);
}

TEST_F(Admission, BindingAnAddressInUseFails) {
  Listening again = run(shared->executor, listen_and_serve(shared, "127.0.0.1", port));
  ASSERT_TRUE(again.error);
  EXPECT_EQ(again.error->text(),
            "RpcTransportError(seq=None, fnId=None): bind failed on 127.0.0.1:" +
                std::to_string(port) + ": Address already in use (os error 98)");
  auto via_start = run(shared->executor, start_listener(shared, "127.0.0.1", port));
  ASSERT_TRUE(via_start);
  EXPECT_EQ(via_start->message, again.error->message);
}

TEST_F(Admission, HostNamesGoThroughTheResolver) {
  Listening by_name = run(shared->executor, listen_and_serve(shared, "localhost", 0));
  EXPECT_FALSE(by_name.error) << by_name.error->text();
  EXPECT_TRUE(by_name.local.address().is_loopback());

  Listening nameless = run(shared->executor, listen_and_serve(shared, "", 0));
  ASSERT_TRUE(nameless.error);
  EXPECT_EQ(nameless.error->message,
            "bind failed on :0: failed to lookup address information: Name or service not known");
}

// With the full handshake time limit: what ends the stalled handshake below is close_engine.
class Closing : public ServerTest {
 protected:
  StderrCapture err;
};

// close_engine ends everything start left running, at once and silently, and may run again.
TEST_F(Closing, EndsListenersHandshakesAndTheConnectionThenBindsAgain) {
  RawClient silent(port);
  silent.send("GET / HTTP/1.1\r\n");  // still in its handshake
  auto client = connect_installed();  // accepted after `silent`, so `silent` was accepted too
  const auto closing = std::chrono::steady_clock::now();
  EXPECT_FALSE(run(shared->executor, close_engine(shared)));
  EXPECT_EQ(silent.read_to_end(), "");
  EXPECT_LT(std::chrono::steady_clock::now() - closing, HANDSHAKE_TIMEOUT);  // not its time-out
  EXPECT_TRUE(client->read().ec) << "the installed connection is still open";
  EXPECT_FALSE(shared->lifecycle.bound());
  EXPECT_FALSE(run(shared->executor, close_engine(shared)));
  Listening again = run(shared->executor, listen_and_serve(shared, "127.0.0.1", port));
  ASSERT_FALSE(again.error) << again.error->text();
  EXPECT_EQ(shared->lifecycle.bound(), again.local);
  connect_installed();
  EXPECT_EQ(err.text(), "");  // neither the closed handshake nor the closed listener is logged
}

// A second accept loop (port 0 again) feeds the same slot.
TEST_F(Admission, EveryListenerInstallsIntoTheSameSlot) {
  Listening second = run(shared->executor, listen_and_serve(shared, "127.0.0.1", 0));
  ASSERT_FALSE(second.error);
  auto first = connect_installed();
  auto other = TestClient::connect(io.ctx, second.local.port());
  EXPECT_FALSE(other->read().ec);
  EXPECT_TRUE(first->read().ec) << "the first client was not replaced";
}

struct UpgradeCase {
  const char* name;
  std::string request;
  std::string text;  // empty: valid
};

void PrintTo(const UpgradeCase& c, std::ostream* os) { *os << c.name; }

class UpgradeValidation : public ::testing::TestWithParam<UpgradeCase> {};

TEST_P(UpgradeValidation, ReportsTheFirstViolation) {
  const UpgradeCase& c = GetParam();
  beast::http::request_parser<beast::http::empty_body> parser;
  boost::system::error_code ec;
  parser.put(net::buffer(c.request), ec);
  ASSERT_FALSE(ec) << ec.message();
  ASSERT_TRUE(parser.is_header_done());
  auto violation = check_upgrade_request(parser.get());
  EXPECT_EQ(violation ? handshake_error_text(websocket::make_error_code(*violation)) : "", c.text);
}

const std::string KEY = "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";
const std::string VERSION = "Sec-WebSocket-Version: 13\r\n";
const std::string UPGRADE = "Connection: keep-alive, Upgrade\r\nUpgrade: WebSocket\r\n";
const std::string BAD_KEY = "WebSocket protocol error: Invalid \"Sec-WebSocket-Key\" header";

INSTANTIATE_TEST_SUITE_P(
    Table, UpgradeValidation,
    ::testing::Values(
        UpgradeCase{"valid_without_host",
                    "GET /any?q=1 HTTP/1.1\r\n" + UPGRADE + VERSION + KEY + "\r\n", ""},
        UpgradeCase{"post", "POST / HTTP/1.1\r\n" + UPGRADE + VERSION + KEY + "\r\n",
                    "WebSocket protocol error: Unsupported HTTP method used - only GET is allowed"},
        UpgradeCase{"http_1_0", "GET / HTTP/1.0\r\n" + UPGRADE + VERSION + KEY + "\r\n",
                    "WebSocket protocol error: HTTP version must be 1.1 or higher"},
        UpgradeCase{"no_connection_upgrade",
                    "GET / HTTP/1.1\r\nConnection: keep-alive\r\nUpgrade: websocket\r\n" + VERSION +
                        KEY + "\r\n",
                    "WebSocket protocol error: No \"Connection: upgrade\" header"},
        UpgradeCase{"no_upgrade",
                    "GET / HTTP/1.1\r\nConnection: upgrade\r\n" + VERSION + KEY + "\r\n",
                    "WebSocket protocol error: No \"Upgrade: websocket\" header"},
        UpgradeCase{"old_version",
                    "GET / HTTP/1.1\r\n" + UPGRADE + "Sec-WebSocket-Version: 8\r\n" + KEY + "\r\n",
                    "WebSocket protocol error: No \"Sec-WebSocket-Version: 13\" header"},
        UpgradeCase{"no_key", "GET / HTTP/1.1\r\n" + UPGRADE + VERSION + "\r\n",
                    "WebSocket protocol error: No \"Sec-WebSocket-Key\" header"},
        // The key must decode to 16 bytes; Beast itself only refuses keys longer than that.
        UpgradeCase{
            "key_of_5_bytes",
            "GET / HTTP/1.1\r\n" + UPGRADE + VERSION + "Sec-WebSocket-Key: c2hvcnQ=\r\n\r\n",
            BAD_KEY},
        UpgradeCase{"key_not_base64",
                    "GET / HTTP/1.1\r\n" + UPGRADE + VERSION +
                        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ!=\r\n\r\n",
                    BAD_KEY},
        UpgradeCase{"key_of_17_bytes",
                    "GET / HTTP/1.1\r\n" + UPGRADE + VERSION +
                        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZXg=\r\n\r\n",
                    BAD_KEY},
        UpgradeCase{"empty_key",
                    "GET / HTTP/1.1\r\n" + UPGRADE + VERSION + "Sec-WebSocket-Key:\r\n\r\n",
                    BAD_KEY}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace pen::test
