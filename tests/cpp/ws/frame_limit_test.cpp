// The 16 MiB per-frame limit on what the client sends.
#include "ws/wire.hpp"

#include "window_source.hpp"
#include "ws/rpc.hpp"
#include "ws_test_support.hpp"

namespace pen::ws::test {
namespace {

// A frame header as a client writes it: masked, with the shortest length form.
std::vector<unsigned char> client_header(std::uint64_t len) {
  std::vector<unsigned char> h{0x82};
  if (len < 126) {
    h.push_back(static_cast<unsigned char>(0x80 | len));
  } else if (len <= 0xFFFF) {
    h.push_back(0x80 | 126);
    h.push_back(static_cast<unsigned char>(len >> 8));
    h.push_back(static_cast<unsigned char>(len));
  } else {
    h.push_back(0x80 | 127);
    for (int shift = 56; shift >= 0; shift -= 8)
      h.push_back(static_cast<unsigned char>(len >> shift));
  }
  h.insert(h.end(), {1, 2, 3, 4});  // masking key
  return h;
}

struct ScanCase {
  const char* name;
  std::vector<std::uint64_t> frames;  // payload lengths, sent back to back
  std::size_t chunk;                  // bytes per feed() call
  bool accepted;
};

void PrintTo(const ScanCase& c, std::ostream* os) { *os << c.name; }

// Feeds `stream` in chunks; the number of Binary messages read, or -1 when the frame limit
// refused one.
int messages_read(const std::vector<unsigned char>& stream, std::size_t chunk, FrameReader reader) {
  WindowSource source{stream};
  int messages = 0;
  while (source.window_end < stream.size()) {
    source.window_end = std::min(stream.size(), source.window_end + chunk);
    Incoming item;
    while (reader.read(WindowSource::read, &source, item) == FrameReader::Status::Item) {
      if (item.type == Incoming::Type::Failed) return item.error == frame_too_big_error() ? -1 : -2;
      ++messages;
    }
  }
  return messages;
}

class Scanner : public ::testing::TestWithParam<ScanCase> {};

TEST_P(Scanner, FollowsFramesAcrossChunks) {
  const ScanCase& c = GetParam();
  const std::uint64_t limit = 300;  // small stand-in for 16 MiB; same header forms
  std::vector<unsigned char> stream;
  for (std::uint64_t len : c.frames) {
    auto h = client_header(len);
    stream.insert(stream.end(), h.begin(), h.end());
    stream.insert(stream.end(), len, 0x7E);  // payload bytes that look like headers
  }
  const int read = messages_read(stream, c.chunk, FrameReader(limit));
  EXPECT_EQ(read, c.accepted ? static_cast<int>(c.frames.size()) : -1);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Scanner,
    ::testing::Values(ScanCase{"small_frames_one_chunk", {0, 5, 125, 126, 300}, 4096, true},
                      ScanCase{"small_frames_byte_by_byte", {0, 5, 125, 126, 300}, 1, true},
                      ScanCase{"just_over_the_limit", {10, 301}, 4096, false},
                      ScanCase{"over_the_limit_split_header", {10, 301}, 3, false},
                      ScanCase{"long_length_form", {70000}, 4096, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Scanner, SixteenMebibytesIsTheDefaultLimit) {
  auto exact = client_header(MAX_FRAME_BYTES);
  auto above = client_header(MAX_FRAME_BYTES + 1);
  EXPECT_EQ(messages_read(exact, exact.size(), FrameReader()), 0);  // accepted, still reading
  EXPECT_EQ(messages_read(above, above.size(), FrameReader()), -1);
}

// A message dropped by a failure gives back its bytes and the blocks it grew through: a peer
// that is refused does not leave the process holding buffers sized for the refusal.
TEST(Scanner, ARefusedMessageLeavesNothingKept) {
  buffer_pool::trim();
  std::vector<unsigned char> stream;
  for (unsigned char opcode : {0x02, 0x00, 0x00, 0x82}) {  // three fragments, then a new message
    auto h = client_header(256 << 10);
    h[0] = opcode;
    stream.insert(stream.end(), h.begin(), h.end());
    stream.insert(stream.end(), 256 << 10, 0x7E);
  }
  EXPECT_EQ(messages_read(stream, 64 << 10, FrameReader()), -2);  // a data frame inside a message
  EXPECT_EQ(buffer_pool::kept_bytes(), 0u);
}

using FrameLimit = ServerTest;

TEST_F(FrameLimit, OversizedFrameFailsTheReadButAFragmentedLargeMessagePasses) {
  auto client = connect_installed();
  const Timeout limit{20, 0};  // 17 MiB each way takes seconds under ThreadSanitizer

  // 17 MiB in frames of 1 MiB: within the 64 MiB message limit.
  auto f = spawn(shared->executor, rpc_call(shared, 1, {}, limit));
  ASSERT_FALSE(client->read().ec);
  Bytes big = frame(2, 1, 1, Bytes(17 << 20, std::byte{0x5A}));
  client->send(big, std::size_t{1} << 20);
  Result<Bytes> r = get(f, 5 * LIMIT);
  ASSERT_TRUE(r.ok()) << r.error().text();
  EXPECT_EQ(r.value().size(), std::size_t{17} << 20);

  // The same message as a single frame.
  auto g = spawn(shared->executor, rpc_call(shared, 1, {}, limit));
  ASSERT_FALSE(client->read().ec);
  big = frame(2, 2, 1, Bytes(17 << 20, std::byte{0x5A}));
  client->send(big);
  r = get(g, 5 * LIMIT);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().text(),
            "RpcTransportError(seq=Some(2), fnId=Some(1)): websocket recv failed: "
            "WebSocket frame larger than 16 MiB");
}

// A protocol violation fails the waiting call at once, although the client leaves its side
// open: the connection's teardown does not wait for the peer. (Waiting made the call end only
// at its time-out, as "timeout waiting response".)
TEST_F(FrameLimit, ProtocolViolationFailsTheCallWithoutWaitingForThePeerToClose) {
  auto client = connect_installed();
  auto f = spawn(shared->executor, rpc_call(shared, 1, {}, Timeout{3, 0}));
  ASSERT_FALSE(client->read().ec);
  ASSERT_FALSE(client->send_text("not \xC3\x28 UTF-8"));
  Result<Bytes> r = get(f);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().text(),
            "RpcTransportError(seq=Some(1), fnId=Some(1)): websocket recv failed: "
            "The WebSocket frame payload was not valid utf8");
  EXPECT_TRUE(client->read().ec) << "the connection is still open";
}

}  // namespace
}  // namespace pen::ws::test
