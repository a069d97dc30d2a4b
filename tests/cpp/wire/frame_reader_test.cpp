// The client's frames as the reader takes them: the base framing rules of RFC 6455, the 16 MiB
// frame limit and the 64 MiB message limit, as one table of byte streams and what is read from
// them; then the limits end to end.
#include "wire/wire.hpp"

#include "call/rpc.hpp"
#include "window_source.hpp"
#include "ws_test_support.hpp"

namespace pen::test {
namespace {

using boost::system::error_code;
constexpr unsigned char FIN = 0x80, CONT = 0, TEXT = 1, BIN = 2, CLOSE = 8, PING = 9, PONG = 10;
constexpr std::uint64_t MiB = 1 << 20;

// A frame as a client may write it: masked unless said otherwise, the shortest length form
// unless `form` (126 or 127) says which.
struct Frame {
  unsigned char first;     // FIN, the reserved bits and the opcode
  std::string data;        // the payload
  std::uint64_t fill = 0;  // then this many '~' bytes
  bool masked = true;
  unsigned form = 0;
};

void append_frame(std::vector<unsigned char>& out, const Frame& f) {
  const std::uint64_t len = f.data.size() + f.fill;
  const unsigned form = f.form ? f.form : len < 126 ? 0 : len <= 0xFFFF ? 126 : 127;
  out.push_back(f.first);
  out.push_back(static_cast<unsigned char>((f.masked ? 0x80 : 0) | (form ? form : len)));
  for (int shift = form == 126 ? 8 : form == 127 ? 56 : -8; shift >= 0; shift -= 8)
    out.push_back(static_cast<unsigned char>(len >> shift));
  const unsigned char key[4] = {0x11, 0x22, 0x33, 0x44};
  if (f.masked) out.insert(out.end(), key, key + 4);
  const std::size_t at = out.size();
  out.insert(out.end(), f.data.begin(), f.data.end());
  out.insert(out.end(), f.fill, '~');
  if (f.masked)
    for (std::size_t i = 0; i < len; ++i) out[at + i] ^= key[i % 4];
}

std::string chars(const std::byte* p, std::size_t n) {
  return std::string(reinterpret_cast<const char*>(p), n);
}

std::string describe(const Incoming& item) {
  switch (item.type) {
    case Incoming::Type::Binary:
      if (item.size > 40) return "binary:#" + std::to_string(item.size);
      return "binary:" + chars(item.head.data(), std::min(item.size, item.head.size())) +
             chars(item.body.data(), item.body.size());
    case Incoming::Type::Text: return "text:#" + std::to_string(item.size);
    case Incoming::Type::Ping: return "ping:" + chars(item.body.data(), item.body.size());
    case Incoming::Type::Close: return "close:" + std::to_string(item.close_code);
    case Incoming::Type::Failed: break;
  }
  return "failed";
}

struct RuleCase {
  const char* name;
  std::vector<Frame> frames;  // sent back to back
  std::string read;           // the items read, each followed by a space
  error_code refusal;         // and then the refusal, if any
  std::uint64_t limit = MAX_FRAME_BYTES;
  std::size_t chunk = 0;  // bytes that arrive at a time; 0: all at once
};

void PrintTo(const RuleCase& c, std::ostream* os) { *os << c.name; }

class FrameRules : public ::testing::TestWithParam<RuleCase> {};

// Everything the stream holds is read, and a refusal comes as soon as the header that breaks
// a rule is in: no more bytes are waited for.
// Reads the frames, `chunk` bytes at a time (0: all at once): what is read, each item followed
// by a space, and the refusal, if any.
std::pair<std::string, error_code> read_frames(const std::vector<Frame>& frames,
                                               std::uint64_t limit, std::size_t chunk) {
  std::vector<unsigned char> stream;
  for (const Frame& f : frames) append_frame(stream, f);
  FrameReader reader(limit);
  WindowSource source{stream};
  std::string read;
  error_code refused;
  while (!refused && source.window_end < stream.size()) {
    source.window_end = std::min(stream.size(),
                                 source.window_end + (chunk ? chunk : stream.size()));
    Incoming item;
    while (!refused &&
           reader.read(WindowSource::read, &source, item) == FrameReader::Status::Item) {
      if (item.type == Incoming::Type::Failed) {
        refused = item.error;
      } else {
        read += describe(item) + " ";
      }
    }
  }
  return {read, refused};
}

TEST_P(FrameRules, ReadAsTheRulesSay) {
  const RuleCase& c = GetParam();
  const auto [read, refused] = read_frames(c.frames, c.limit, c.chunk);
  EXPECT_EQ(read, c.read);
  EXPECT_EQ(refused, c.refusal) << refused.message();
}

namespace ws_error = boost::beast::websocket;
const std::vector<Frame> SMALL = {{FIN | BIN, "", 0},
                                  {FIN | BIN, "", 5},
                                  {FIN | BIN, "", 125},
                                  {FIN | BIN, "", 126},
                                  {FIN | BIN, "", 300}};
const char* const SMALL_READ = "binary: binary:~~~~~ binary:#125 binary:#126 binary:#300 ";

INSTANTIATE_TEST_SUITE_P(
    Table, FrameRules,
    ::testing::Values(
        // The frame limit (300 here, a small stand-in with the same header forms), chunked.
        RuleCase{"small_frames_one_chunk", SMALL, SMALL_READ, {}, 300},
        RuleCase{"small_frames_byte_by_byte", SMALL, SMALL_READ, {}, 300, 1},
        RuleCase{"just_over_the_limit",
                 {{FIN | BIN, "", 10}, {FIN | BIN, "", 301}},
                 "binary:~~~~~~~~~~ ",
                 frame_too_big_error(),
                 300},
        RuleCase{"over_the_limit_split_header",
                 {{FIN | BIN, "", 10}, {FIN | BIN, "", 301}},
                 "binary:~~~~~~~~~~ ",
                 frame_too_big_error(),
                 300,
                 3},
        RuleCase{"long_length_form", {{FIN | BIN, "", 70000}}, "", frame_too_big_error(), 300},
        RuleCase{"sixteen_mebibytes", {{FIN | BIN, "", 16 * MiB}}, "binary:#16777216 ", {}},
        RuleCase{
            "over_sixteen_mebibytes", {{FIN | BIN, "", 16 * MiB + 1}}, "", frame_too_big_error()},
        // Messages: fragments, control frames between them, the 64 MiB limit on the whole.
        RuleCase{"ping_between_fragments",
                 {{BIN, "0123456789abcdefghij"}, {FIN | PING, "xy"}, {FIN | CONT, "KLMN"}},
                 "ping:xy binary:0123456789abcdefghijKLMN ",
                 {}},
        RuleCase{"sixty_four_mebibytes_with_a_ping_between",
                 {{BIN, "", 16 * MiB},
                  {FIN | PING, "xy"},
                  {CONT, "", 16 * MiB},
                  {CONT, "", 16 * MiB},
                  {FIN | CONT, "", 16 * MiB}},
                 "ping:xy binary:#67108864 ",
                 {}},
        RuleCase{"over_sixty_four_mebibytes_in_frames_under_the_limit",
                 {{BIN, "", 16 * MiB},
                  {CONT, "", 16 * MiB},
                  {CONT, "", 16 * MiB},
                  {CONT, "", 16 * MiB},
                  {FIN | CONT, "", 1}},
                 "",
                 ws_error::error::message_too_big},
        RuleCase{"text_pong_and_close",
                 {{FIN | TEXT, "h\xC3\xA9"}, {FIN | PONG, "p"}, {FIN | CLOSE, "\x03\xE8"}},
                 "text:#3 close:1000 ",
                 {}},
        // Refusals, at once.
        RuleCase{"unmasked_two_bytes",
                 {{FIN | BIN, "", 0, false}},
                 "",
                 ws_error::error::bad_unmasked_frame},
        RuleCase{"unmasked_three_bytes",
                 {{FIN | BIN, "x", 0, false}},
                 "",
                 ws_error::error::bad_unmasked_frame},
        RuleCase{"sixteen_bit_length_under_126",
                 {{FIN | BIN, "", 125, true, 126}},
                 "",
                 ws_error::error::bad_size},
        RuleCase{"sixty_four_bit_length_under_65536",
                 {{FIN | BIN, "", 65535, true, 127}},
                 "",
                 ws_error::error::bad_size},
        RuleCase{"sixty_four_bit_length_of_65536",
                 {{FIN | BIN, "", 65536, true, 127}},
                 "binary:#65536 ",
                 {}},
        RuleCase{"continuation_without_a_message",
                 {{FIN | CONT, "a"}},
                 "",
                 ws_error::error::bad_continuation},
        RuleCase{"new_message_inside_a_message",
                 {{BIN, "a"}, {FIN | BIN, "b"}},
                 "",
                 ws_error::error::bad_data_frame},
        RuleCase{"fragmented_ping", {{PING, "a"}}, "", ws_error::error::bad_control_fragment},
        RuleCase{
            "ping_of_126_bytes", {{FIN | PING, "", 126}}, "", ws_error::error::bad_control_size},
        RuleCase{"reserved_bit", {{FIN | 0x40 | BIN, "a"}}, "", ws_error::error::bad_reserved_bits},
        RuleCase{"reserved_opcode", {{FIN | 3, ""}}, "", ws_error::error::bad_opcode}),
    [](const auto& info) { return std::string(info.param.name); });

// A message dropped by a failure gives back its bytes and the blocks it grew through: a peer
// that is refused does not leave the process holding buffers sized for the refusal.
TEST(FrameRefusal, ARefusedMessageLeavesNothingKept) {
  buffer_pool::trim();
  constexpr std::uint64_t part = 256 << 10;  // three fragments, then a new message inside it
  const auto [read, refused] = read_frames(
      {{BIN, "", part}, {CONT, "", part}, {CONT, "", part}, {FIN | BIN, "", part}}, MAX_FRAME_BYTES,
      64 << 10);
  EXPECT_EQ(refused, ws_error::error::bad_data_frame);
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
}  // namespace pen::test
