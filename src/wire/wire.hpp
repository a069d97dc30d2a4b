// The WebSocket wire after the opening handshake, on the raw non-blocking socket: the client's
// frames in (masked, possibly fragmented, control frames between fragments) and the server's
// frames out.
//
// Plain system calls that never wait and need no executor, so that whichever thread holds the
// connection lock drives them: the caller's thread in the call path, the engine's worker
// otherwise. Both sides keep their progress between calls, so a message half read (or a
// request half sent) by one thread is finished by the other.
//
// Reply bytes are read straight into their final buffer, sized from the frame header, and
// unmasked in place: the first 16 bytes of a Binary message (the RPC header) land in `head`,
// the rest in `body`, which becomes the reply payload without another copy. Only what a read
// brings in beyond the part asked for (at most 8 KiB, the start of the next frame or of this
// one's payload) is kept aside and copied from there.
#pragma once

#include <sys/uio.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include <boost/beast/websocket/detail/utf8_checker.hpp>
#include <boost/system/error_code.hpp>

#include "codec/bytes.hpp"

namespace pen::wire {

inline constexpr std::uint64_t MAX_FRAME_BYTES = std::uint64_t{16} << 20;    // 16 MiB
inline constexpr std::uint64_t MAX_MESSAGE_BYTES = std::uint64_t{64} << 20;  // 64 MiB
inline constexpr std::size_t RPC_HEAD_LEN = 16;

// "WebSocket frame larger than 16 MiB"
boost::system::error_code frame_too_big_error();

// One complete item from the client.
struct Incoming {
  enum class Type { Binary, Text, Ping, Close, Failed };
  Type type = Type::Binary;
  std::array<std::byte, RPC_HEAD_LEN> head{};  // Binary: the first bytes of the message
  std::size_t size = 0;                        // Binary: the whole message's length
  Bytes body;                                  // Binary: the bytes after `head`; Ping: its data
  std::uint16_t close_code = 0;                // Close: the code given, 0 for none
  boost::system::error_code error;             // Failed: the read failure
};

// Where a FrameReader's bytes come from, in the manner of readv(2): the number of bytes read,
// 0 at the end of the stream, or -1 with errno set (EAGAIN: nothing more for now).
using ReadSome = ssize_t (*)(void* context, const iovec* iov, int count);

// Reads client frames, keeping its place between calls.
class FrameReader {
 public:
  enum class Status { Item, WouldBlock };

  explicit FrameReader(std::uint64_t max_frame = MAX_FRAME_BYTES) : max_frame_(max_frame) {}

  // Reads until one item is complete (Item, in `out`) or the source has nothing more now
  // (WouldBlock). A failure is an item of type Failed; the reader then stays failed.
  Status read(ReadSome source, void* context, Incoming& out);
  // The same from a non-blocking socket.
  Status read(int fd, Incoming& out);

 private:
  enum class Stage { Header, Payload };
  ssize_t pull(ReadSome source, void* context, iovec* iov, int count);
  bool header_complete(Incoming& out);
  bool take_payload(const iovec* iov, std::size_t n, Incoming& out);
  bool finish_frame(Incoming& out);
  bool fail(boost::system::error_code ec, Incoming& out);
  int payload_buffers(iovec* iov);

  std::uint64_t max_frame_;
  Stage stage_ = Stage::Header;
  std::array<unsigned char, 14> header_{};
  std::size_t have_ = 0;  // header bytes read
  std::size_t need_ = 6;  // header bytes expected: 2, the extended length, the mask key

  // The frame being read.
  std::uint8_t opcode_ = 0;
  bool fin_ = false;
  std::array<unsigned char, 4> key_{};
  std::uint64_t frame_len_ = 0;
  std::uint64_t frame_done_ = 0;

  // The message being assembled (data frames) and the control frame being read.
  bool in_message_ = false;
  bool binary_ = false;
  std::uint64_t message_len_ = 0;
  Incoming message_;
  boost::beast::websocket::detail::utf8_checker text_check_;
  std::array<unsigned char, 125> control_{};
  Bytes scratch_;  // a text frame's bytes, checked and dropped

  // Bytes read past the part asked for (see pull): a small reply, header and all, comes in
  // one system call.
  std::array<unsigned char, 8192> ahead_{};
  std::size_t ahead_begin_ = 0;
  std::size_t ahead_end_ = 0;

  boost::system::error_code failed_;
};

// The server's frames waiting to be sent, in order, with the progress of the first.
class FrameWriter {
 public:
  enum class Status { Done, WouldBlock, Failed };

  // An unmasked Binary frame of `head` followed by `body`; `body` is sent from where it is.
  void queue_binary(ByteView head, Bytes body);
  void queue_control(std::uint8_t opcode, ByteView payload);
  bool empty() const { return chunks_.empty(); }

  // Sends as much as the socket takes now. On Failed, `error` holds the failure.
  Status flush(int fd, boost::system::error_code& error);
  void clear() { chunks_.clear(); }

 private:
  struct Chunk {
    Bytes data;
    std::size_t sent = 0;
  };
  void queue_header(std::uint8_t opcode, std::uint64_t len);
  std::deque<Chunk> chunks_;
};

}  // namespace pen::wire
