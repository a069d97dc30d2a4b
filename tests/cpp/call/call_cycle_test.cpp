// rpc_call against a WebSocket client on loopback: numbering, replies, errors, and what each
// outcome does to the installed connection.
#include "call/rpc.hpp"

#include "codec/frame.hpp"
#include "ws_test_support.hpp"

namespace pen::test {
namespace {

constexpr Timeout SHORT{0, 60'000'000};

class CallCycle : public ServerTest {
 protected:
  explicit CallCycle(std::uint32_t start_seq = 1) : ServerTest(start_seq) {}

  std::future<Result<Bytes>> start_call(std::uint16_t fn_id, Bytes payload = {},
                                        Timeout timeout = SECOND,
                                        net::cancellation_slot slot = {}) {
    return spawn(shared->executor, rpc_call(shared, fn_id, std::move(payload), timeout), slot);
  }
  Result<Bytes> call(std::uint16_t fn_id, Bytes payload = {}, Timeout timeout = SECOND) {
    auto f = start_call(fn_id, std::move(payload), timeout);
    return get(f);
  }

  // Reads the next request on `client` and checks it is a request for `fn_id`.
  Bytes next_request(TestClient& client, std::uint16_t fn_id) {
    Received r = client.read();
    EXPECT_FALSE(r.ec) << r.ec.message();
    EXPECT_TRUE(r.binary);
    Bytes req = r.bytes();
    EXPECT_GE(req.size(), codec::HEADER_LEN);
    if (req.size() < codec::HEADER_LEN) return Bytes(codec::HEADER_LEN);
    EXPECT_EQ(req[0], std::byte{1});
    EXPECT_EQ(req[1], std::byte{1});
    EXPECT_EQ(load_le<std::uint16_t>(req.data() + 8), fn_id);
    return req;
  }

  // One request answered with a Response; returns the request's seq.
  std::uint32_t round_trip(TestClient& client, std::uint16_t fn_id) {
    auto f = start_call(fn_id);
    const std::uint32_t seq = seq_of(next_request(client, fn_id));
    client.send(frame(2, seq, fn_id));
    Result<Bytes> r = get(f);
    EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().text());
    return seq;
  }

  void expect_transport_error(const Result<Bytes>& r, const std::string& text) {
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, ErrorKind::RpcTransportError);
    EXPECT_EQ(r.error().text(), text);
  }

  // The connection was cleared: the next call fails without spending a number.
  void expect_disconnected(TestClient& client, std::uint16_t fn_id = 7) {
    expect_transport_error(call(fn_id), "RpcTransportError(seq=None, fnId=Some(" +
                                            std::to_string(fn_id) + ")): no websocket connected");
    EXPECT_TRUE(client.read().ec) << "the failed connection is still open";
  }
};

TEST_F(CallCycle, WithoutClientFailsAndSpendsNoNumber) {
  expect_transport_error(call(100),
                         "RpcTransportError(seq=None, fnId=Some(100)): no websocket connected");
  auto client = connect_installed();
  EXPECT_EQ(round_trip(*client, 5), 1u);
}

TEST_F(CallCycle, SendsTheRequestFrameAndReturnsTheReplyPayload) {
  auto client = connect_installed();
  auto f = start_call(15, bytes({0xAA, 0xBB, 0xCC}));
  Bytes req = next_request(*client, 15);
  EXPECT_EQ(req, frame(1, 1, 15, bytes({0xAA, 0xBB, 0xCC})));
  client->send(frame(2, 1, 15, bytes({1, 2, 3, 4})));
  Result<Bytes> r = get(f);
  ASSERT_TRUE(r.ok()) << r.error().text();
  EXPECT_EQ(r.value(), bytes({1, 2, 3, 4}));
  EXPECT_EQ(round_trip(*client, 15), 2u);
}

TEST_F(CallCycle, ReconnectionRestartsNumberingAndReplacesTheOldClient) {
  auto first = connect_installed();
  EXPECT_EQ(round_trip(*first, 1), 1u);
  EXPECT_EQ(round_trip(*first, 1), 2u);
  auto second = connect_installed(first.get());
  EXPECT_EQ(round_trip(*second, 1), 1u);
}

TEST_F(CallCycle, ErrorResponseBecomesRpcErrorAndKeepsTheConnection) {
  auto client = connect_installed();
  auto f = start_call(20);
  const std::uint32_t seq = seq_of(next_request(*client, 20));
  Bytes body = bytes({5, 0, 1, 0, 9, 0, 0, 0});
  for (char c : std::string("bad price")) body.push_back(static_cast<std::byte>(c));
  client->send(frame(3, seq, 20, body));
  Result<Bytes> r = get(f);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().text(), "RpcError(seq=1, fnId=20, err=5, sub=1): bad price");
  EXPECT_EQ(round_trip(*client, 20), 2u);
}

TEST_F(CallCycle, InvalidFramesFailTheCallButKeepTheConnection) {
  auto client = connect_installed();
  struct Case {
    Bytes reply;
    std::string text;
  };
  Bytes lying_length = frame(2, 0, 9, bytes({1, 2, 3, 4}));
  store_le(lying_length.data() + 12, std::uint32_t{8});
  const Case cases[] = {
      {Bytes(10), "frame too short: 10 < 16"},
      {Bytes(), "frame too short: 0 < 16"},
      {lying_length, "payload length mismatch: expected 24, got 20"},
  };
  for (const Case& c : cases) {
    auto f = start_call(9);
    next_request(*client, 9);
    client->send(c.reply);
    Result<Bytes> r = get(f);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, ErrorKind::InvalidData);
    EXPECT_EQ(r.error().text(), c.text);
  }
  round_trip(*client, 9);
}

struct FatalReply {
  const char* name;
  std::uint8_t version;
  std::uint32_t seq_offset;
  std::uint16_t fn_id;
  const char* message;    // after "RpcTransportError(seq=Some(1), fnId=Some(4)): "
  std::uint8_t kind = 2;  // the reply's: Response or ErrorResponse
};

void PrintTo(const FatalReply& c, std::ostream* os) { *os << c.name; }

class FatalReplies : public CallCycle, public ::testing::WithParamInterface<FatalReply> {};

TEST_P(FatalReplies, CloseTheConnection) {
  const FatalReply& p = GetParam();
  auto client = connect_installed();
  auto f = start_call(4);
  const std::uint32_t seq = seq_of(next_request(*client, 4));
  client->send(frame(p.kind, seq + p.seq_offset, p.fn_id, {}, p.version));
  expect_transport_error(get(f),
                         std::string("RpcTransportError(seq=Some(1), fnId=Some(4)): ") + p.message);
  expect_disconnected(*client);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FatalReplies,
    ::testing::Values(
        FatalReply{"seq", 1, 5, 4, "seq mismatch: expected 1, got 6"},
        FatalReply{"fn_id", 1, 0, 44, "fnId mismatch: expected 4, got 44"},
        // 260 is 4 with the high byte set: all 16 bits are compared.
        FatalReply{"fn_id_high_byte", 1, 0, 260, "fnId mismatch: expected 4, got 260"},
        FatalReply{"fn_id_high_byte_error", 1, 0, 260, "fnId mismatch: expected 4, got 260", 3},
        FatalReply{"version", 2, 0, 4, "protocol version mismatch: got 2, expected 1"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CallCycle, TimeoutClosesTheConnection) {
  auto client = connect_installed();
  auto f = start_call(3, {}, SHORT);
  next_request(*client, 3);
  expect_transport_error(get(f),
                         "RpcTransportError(seq=Some(1), fnId=Some(3)): timeout waiting response");
  expect_disconnected(*client);
}

TEST_F(CallCycle, ZeroTimeoutSucceedsWhenTheReplyIsAlreadyThere) {
  auto client = connect_installed();
  client->send(frame(2, 1, 6, bytes({7})));  // the reply to the next request, sent early
  std::this_thread::sleep_for(50ms);
  Result<Bytes> r = call(6, {}, Timeout{0, 0});
  ASSERT_TRUE(r.ok()) << r.error().text();
  EXPECT_EQ(r.value(), bytes({7}));
}

TEST_F(CallCycle, PingFrameIsAnsweredAndTheWaitGoesOn) {
  auto client = connect_installed();
  auto f = start_call(8);
  const std::uint32_t seq = seq_of(next_request(*client, 8));
  client->send(frame(4, 9, 3, bytes({0xAB, 0xCD})));
  Received pong = client->read();
  ASSERT_FALSE(pong.ec);
  EXPECT_TRUE(pong.binary);
  EXPECT_EQ(pong.bytes(), bytes({1, 5, 0, 0, 9, 0, 0, 0, 3, 0, 0, 0, 2, 0, 0, 0, 0xAB, 0xCD}));
  client->send(frame(2, seq, 8));
  EXPECT_TRUE(get(f).ok());
}

TEST_F(CallCycle, IgnoredMessagesChangeNothing) {
  auto client = connect_installed();
  auto f = start_call(8);
  const std::uint32_t seq = seq_of(next_request(*client, 8));
  for (std::uint8_t kind : {0, 1, 5, 6, 255}) client->send(frame(kind, seq, 8));
  client->send_text("hello");
  client->ping();
  client->send(frame(2, seq, 8, bytes({42})));
  Result<Bytes> r = get(f);
  ASSERT_TRUE(r.ok()) << r.error().text();
  EXPECT_EQ(r.value(), bytes({42}));
}

TEST_F(CallCycle, CloseFrameEndsTheCallAsClosed) {
  auto client = connect_installed();
  auto f = start_call(2);
  next_request(*client, 2);
  client->close();
  expect_transport_error(get(f), "RpcTransportError(seq=Some(1), fnId=Some(2)): websocket closed");
  expect_transport_error(call(2),
                         "RpcTransportError(seq=None, fnId=Some(2)): no websocket connected");
}

TEST_F(CallCycle, MessagesQueuedBetweenCallsAreHandledByTheNextCall) {
  auto client = connect_installed();
  client->send_text("early text");
  client->send(frame(4, 1, 1, bytes({5})));  // answered only once a call waits
  auto f = start_call(1);
  const std::uint32_t seq = seq_of(next_request(*client, 1));
  Received pong = client->read();
  EXPECT_EQ(pong.bytes(), frame(5, 1, 1, bytes({5})));
  client->send(frame(2, seq, 1));
  EXPECT_TRUE(get(f).ok());
}

TEST_F(CallCycle, CancelledCallKeepsTheConnectionAndItsStrayReplyFailsTheNextCall) {
  auto client = connect_installed();
  net::cancellation_signal cancel;
  auto f = start_call(11, {}, SECOND, cancel.slot());
  const std::uint32_t seq = seq_of(next_request(*client, 11));
  net::post(shared->executor, [&] { cancel.emit(net::cancellation_type::terminal); });
  EXPECT_THROW(get(f), boost::system::system_error);

  client->send(frame(2, seq, 11));  // the abandoned call's reply
  auto next = start_call(11);
  EXPECT_EQ(seq_of(next_request(*client, 11)), seq + 1);
  expect_transport_error(
      get(next), "RpcTransportError(seq=Some(2), fnId=Some(11)): seq mismatch: expected 2, got 1");
}

TEST_F(CallCycle, CallsQueuedBehindAWaitingCallAreServedInOrder) {
  auto client = connect_installed();
  auto a = start_call(1);
  auto b = start_call(2);
  const std::uint32_t seq_a = seq_of(next_request(*client, 1));
  client->send(frame(2, seq_a, 1, bytes({1})));
  const std::uint32_t seq_b = seq_of(next_request(*client, 2));
  client->send(frame(2, seq_b, 2, bytes({2})));
  EXPECT_EQ(get(a).value(), bytes({1}));
  EXPECT_EQ(get(b).value(), bytes({2}));
}

class WrappingCallCycle : public CallCycle {
 protected:
  WrappingCallCycle() : CallCycle(4294967295u) {}
};

TEST_F(WrappingCallCycle, NumberingWrapsToZero) {
  auto client = connect_installed();
  EXPECT_EQ(round_trip(*client, 1), 4294967295u);
  EXPECT_EQ(round_trip(*client, 1), 0u);
  EXPECT_EQ(round_trip(*client, 1), 1u);
}

}  // namespace
}  // namespace pen::test
