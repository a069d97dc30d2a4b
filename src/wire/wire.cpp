#include "wire/wire.hpp"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include <boost/asio/error.hpp>
#include <boost/beast/websocket/detail/frame.hpp>
#include <boost/beast/websocket/error.hpp>

namespace pen::wire {
namespace {

namespace websocket = boost::beast::websocket;
using boost::system::error_code;

constexpr std::uint8_t OP_CONTINUATION = 0, OP_TEXT = 1, OP_BINARY = 2, OP_CLOSE = 8, OP_PING = 9,
                       OP_PONG = 10;

class FrameLimitCategory final : public boost::system::error_category {
 public:
  const char* name() const noexcept override { return "pen.ws.frame_limit"; }
  std::string message(int) const override { return "WebSocket frame larger than 16 MiB"; }
};

error_code system_error(int err) { return {err, boost::system::system_category()}; }

bool would_block(int err) { return err == EAGAIN || err == EWOULDBLOCK; }

// XORs n bytes with the masking key, starting at key position `phase`; eight bytes at a time
// once the key is aligned, so an 800 KB reply unmasks at memory speed.
void unmask(unsigned char* p, std::size_t n, const std::array<unsigned char, 4>& key,
            std::uint64_t phase) {
  std::size_t i = 0;
  for (; i < n && ((phase + i) & 3) != 0; ++i) p[i] ^= key[(phase + i) & 3];
  std::uint32_t k32;
  std::memcpy(&k32, key.data(), 4);
  const std::uint64_t k64 = (std::uint64_t{k32} << 32) | k32;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t v;
    std::memcpy(&v, p + i, 8);
    v ^= k64;
    std::memcpy(p + i, &v, 8);
  }
  for (; i < n; ++i) p[i] ^= key[(phase + i) & 3];
}

}  // namespace

error_code frame_too_big_error() {
  static const FrameLimitCategory category;
  return {1, category};
}

FrameReader::Status FrameReader::read(int fd, Incoming& out) {
  const ReadSome from_socket = [](void* context, const iovec* iov, int count) {
    return ::readv(*static_cast<int*>(context), iov, count);
  };
  return read(from_socket, &fd, out);
}

FrameReader::Status FrameReader::read(ReadSome source, void* context, Incoming& out) {
  if (failed_) {
    fail(failed_, out);
    return Status::Item;
  }
  for (;;) {
    iovec iov[3];  // the buffers of the current stage, and one for pull's read-ahead
    const int count = stage_ == Stage::Header ? 1 : payload_buffers(iov);
    if (stage_ == Stage::Header) iov[0] = {header_.data() + have_, need_ - have_};
    const ssize_t n = pull(source, context, iov, count);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && would_block(errno)) return Status::WouldBlock;
      fail(n == 0 ? error_code(boost::asio::error::eof) : system_error(errno), out);
      return Status::Item;
    }
    if (stage_ == Stage::Payload) {
      if (take_payload(iov, static_cast<std::size_t>(n), out)) return Status::Item;
      continue;
    }
    have_ += static_cast<std::size_t>(n);
    const Header h = parse_header(header_.data(), have_);
    need_ = h.size;
    // Only an unmasked frame (always refused) can have a header shorter than what was read.
    if (have_ >= need_ && begin_frame(h, out)) return Status::Item;
  }
}

// Fills `iov` (count buffers, room for one more) from the bytes read ahead, or else reads into
// it and, past it, into the read-ahead buffer. Returns what `source` would for `iov` alone.
ssize_t FrameReader::pull(ReadSome source, void* context, iovec* iov, int count) {
  if (ahead_begin_ == ahead_end_) {
    std::size_t asked = 0;
    for (int i = 0; i < count; ++i) asked += iov[i].iov_len;
    iov[count] = {ahead_.data(), ahead_.size()};
    const ssize_t n = source(context, iov, count + 1);
    if (n <= 0 || static_cast<std::size_t>(n) <= asked) return n;
    ahead_begin_ = 0;
    ahead_end_ = static_cast<std::size_t>(n) - asked;
    return static_cast<ssize_t>(asked);
  }
  std::size_t n = 0;
  for (int i = 0; i < count && ahead_begin_ < ahead_end_; ++i) {
    const std::size_t part = std::min(iov[i].iov_len, ahead_end_ - ahead_begin_);
    std::memcpy(iov[i].iov_base, ahead_.data() + ahead_begin_, part);
    ahead_begin_ += part;
    n += part;
  }
  return static_cast<ssize_t>(n);
}

// The header's fields from its first `have` bytes; `size` is known from the first two, the
// rest once `size` bytes are in.
FrameReader::Header FrameReader::parse_header(const unsigned char* p, std::size_t have) {
  Header h;
  if (have < 2) return h;
  h.fin = (p[0] & 0x80) != 0;
  h.rsv = (p[0] & 0x70) != 0;
  h.opcode = static_cast<std::uint8_t>(p[0] & 0x0F);
  h.masked = (p[1] & 0x80) != 0;
  h.len7 = p[1] & 0x7F;
  const std::size_t width = h.len7 == 126 ? 2 : h.len7 == 127 ? 8 : 0;
  h.size = 2 + width + (h.masked ? 4 : 0);
  if (have < h.size) return h;
  h.len = width == 0 ? h.len7 : 0;
  for (std::size_t i = 0; i < width; ++i) h.len = (h.len << 8) | p[2 + i];  // big-endian
  if (h.masked) std::memcpy(h.key.data(), p + 2 + width, 4);
  return h;
}

// The checks run in the order the WebSocket library applies them, after the frame-size limit.
error_code FrameReader::refusal(const Header& h) const {
  if (h.len > max_frame_) return frame_too_big_error();
  switch (h.opcode) {
    case OP_TEXT:
    case OP_BINARY:
      if (in_message_) return websocket::error::bad_data_frame;
      break;
    case OP_CONTINUATION:
      if (!in_message_) return websocket::error::bad_continuation;
      break;
    case OP_CLOSE:
    case OP_PING:
    case OP_PONG:
      if (!h.fin) return websocket::error::bad_control_fragment;
      if (h.len7 > 125) return websocket::error::bad_control_size;
      break;
    default: return websocket::error::bad_opcode;
  }
  if (h.rsv) return websocket::error::bad_reserved_bits;
  if (!h.masked) return websocket::error::bad_unmasked_frame;
  if ((h.len7 == 126 && h.len < 126) || (h.len7 == 127 && h.len < 65536))
    return websocket::error::bad_size;
  // A message's length counts its data frames only: control frames between them do not.
  const std::uint64_t before = h.opcode == OP_CONTINUATION ? message_len_ : 0;
  if (h.opcode < OP_CLOSE && before + h.len > MAX_MESSAGE_BYTES)
    return websocket::error::message_too_big;
  return {};
}

bool FrameReader::begin_frame(const Header& h, Incoming& out) {
  if (error_code ec = refusal(h)) return fail(ec, out);
  opcode_ = h.opcode;
  fin_ = h.fin;
  key_ = h.key;
  frame_len_ = h.len;
  frame_done_ = 0;
  if (h.opcode == OP_TEXT || h.opcode == OP_BINARY) {
    in_message_ = true;
    binary_ = h.opcode == OP_BINARY;
    message_len_ = 0;
    message_ = Incoming{};
    message_.type = binary_ ? Incoming::Type::Binary : Incoming::Type::Text;
    text_check_.reset();
  }
  if (h.opcode < OP_CLOSE) {
    if (binary_) {
      // The body gets its final size now (one allocation for an unfragmented reply).
      const std::uint64_t total = message_len_ + h.len;
      if (total > codec::HEADER_LEN)
        message_.body.resize(static_cast<std::size_t>(total - codec::HEADER_LEN));
    } else {
      scratch_.resize(static_cast<std::size_t>(h.len));
    }
  }
  stage_ = Stage::Payload;
  return frame_len_ == 0 && finish_frame(out);
}

int FrameReader::payload_buffers(iovec* iov) {
  const auto left = static_cast<std::size_t>(frame_len_ - frame_done_);
  const bool data = opcode_ == OP_TEXT || opcode_ == OP_BINARY || opcode_ == OP_CONTINUATION;
  if (!data) {
    iov[0] = {control_.data() + frame_done_, left};
    return 1;
  }
  if (!binary_) {
    iov[0] = {scratch_.data() + frame_done_, left};
    return 1;
  }
  const std::uint64_t at = message_len_;  // position in the message of the next byte
  if (at >= codec::HEADER_LEN) {
    iov[0] = {message_.body.data() + (at - codec::HEADER_LEN), left};
    return 1;
  }
  const std::size_t in_head = std::min<std::size_t>(codec::HEADER_LEN - at, left);
  iov[0] = {message_.head.data() + at, in_head};
  if (in_head == left) return 1;
  iov[1] = {message_.body.data(), left - in_head};
  return 2;
}

bool FrameReader::take_payload(const iovec* iov, std::size_t n, Incoming& out) {
  std::size_t rest = n;
  for (int i = 0; rest > 0; ++i) {
    const std::size_t part = std::min(rest, iov[i].iov_len);
    auto* p = static_cast<unsigned char*>(iov[i].iov_base);
    unmask(p, part, key_, frame_done_ + (n - rest));
    const bool text = opcode_ < OP_CLOSE && !binary_;
    if (text && !text_check_.write(reinterpret_cast<const std::uint8_t*>(p), part)) {
      return fail(websocket::error::bad_frame_payload, out);
    }
    rest -= part;
  }
  frame_done_ += n;
  if (opcode_ < OP_CLOSE) message_len_ += n;
  return frame_done_ == frame_len_ && finish_frame(out);
}

bool FrameReader::finish_frame(Incoming& out) {
  stage_ = Stage::Header;
  have_ = 0;
  need_ = 6;
  const auto* control = reinterpret_cast<const std::byte*>(control_.data());
  const auto n = static_cast<std::size_t>(frame_len_);
  switch (opcode_) {
    case OP_PONG: return false;
    case OP_PING:
      out = Incoming{};
      out.type = Incoming::Type::Ping;
      out.body.assign(control, control + n);
      return true;
    case OP_CLOSE: {
      websocket::close_reason reason;
      error_code ec;
      websocket::detail::read_close(reason, boost::asio::const_buffer(control_.data(), n), ec);
      if (ec) return fail(ec, out);
      out = Incoming{};
      out.type = Incoming::Type::Close;
      out.close_code = reason.code;
      return true;
    }
  }
  if (!fin_) return false;
  in_message_ = false;
  if (!binary_ && !text_check_.finish()) return fail(websocket::error::bad_frame_payload, out);
  message_.size = static_cast<std::size_t>(message_len_);
  out = std::move(message_);
  message_ = Incoming{};
  return true;
}

bool FrameReader::fail(error_code ec, Incoming& out) {
  failed_ = ec;
  if (message_.body.capacity() != 0 || scratch_.capacity() != 0) {
    // The message is dropped: its bytes, and the blocks it grew through, go back to the system.
    message_ = Incoming{};
    scratch_ = Bytes{};
    buffer_pool::trim();
  }
  out = Incoming{};
  out.type = Incoming::Type::Failed;
  out.error = ec;
  return true;
}

void FrameWriter::queue_header(std::uint8_t opcode, std::uint64_t len) {
  Chunk c;
  c.data.reserve(10 + codec::HEADER_LEN);
  c.data.push_back(static_cast<std::byte>(0x80 | opcode));
  int top_shift = -8;  // the extended length, big-endian
  if (len < 126) {
    c.data.push_back(static_cast<std::byte>(len));
  } else if (len <= 0xFFFF) {
    c.data.push_back(std::byte{126});
    top_shift = 8;
  } else {
    c.data.push_back(std::byte{127});
    top_shift = 56;
  }
  for (int shift = top_shift; shift >= 0; shift -= 8)
    c.data.push_back(static_cast<std::byte>(len >> shift));
  chunks_.push_back(std::move(c));
}

void FrameWriter::queue_binary(ByteView head, Bytes body) {
  queue_header(OP_BINARY, head.size() + body.size());
  append_bytes(chunks_.back().data, head.data(), head.size());
  if (!body.empty()) chunks_.push_back(Chunk{std::move(body), 0});
}

void FrameWriter::queue_control(std::uint8_t opcode, ByteView payload) {
  queue_header(opcode, payload.size());
  append_bytes(chunks_.back().data, payload.data(), payload.size());
}

FrameWriter::Status FrameWriter::flush(int fd, error_code& error) {
  while (!chunks_.empty()) {
    constexpr std::size_t MAX_IOV = 8;
    iovec iov[MAX_IOV];
    std::size_t count = 0;
    for (auto it = chunks_.begin(); it != chunks_.end() && count < MAX_IOV; ++it, ++count)
      iov[count] = {it->data.data() + it->sent, it->data.size() - it->sent};
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = count;
    const ssize_t n = ::sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (would_block(errno)) return Status::WouldBlock;
      error = system_error(errno);
      return Status::Failed;
    }
    auto sent = static_cast<std::size_t>(n);
    while (sent > 0) {
      Chunk& c = chunks_.front();
      const std::size_t part = std::min(sent, c.data.size() - c.sent);
      c.sent += part;
      sent -= part;
      if (c.sent == c.data.size()) chunks_.pop_front();
    }
  }
  return Status::Done;
}

}  // namespace pen::wire
