// Shared helpers of the transport tests: an io_context run by two threads, running
// coroutines from the test thread with a time limit, a Beast WebSocket client on loopback,
// raw TCP exchanges, RPC frame building and standard-error capture.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket/stream.hpp>

#include "call/engine_shared.hpp"
#include "call/rpc.hpp"
#include "codec/bytes.hpp"
#include "server/listener.hpp"
#include "wire/wire.hpp"

namespace pen::test {

using namespace pen::wire;
using namespace pen::call;
using namespace pen::server;
namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;
using namespace std::chrono_literals;

inline constexpr auto LIMIT = 5s;       // no single step of a test may take longer
inline constexpr Timeout SECOND{1, 0};  // a call's time-out where the call should settle first

// An io_context run by two threads for the lifetime of the object.
class IoThreads {
 public:
  IoThreads() {
    for (int i = 0; i < 2; ++i) threads_.emplace_back([this] { ctx.run(); });
  }
  ~IoThreads() {
    work_.reset();
    ctx.stop();
    for (auto& t : threads_) t.join();
  }
  net::io_context ctx;

 private:
  net::executor_work_guard<net::io_context::executor_type> work_{ctx.get_executor()};
  std::vector<std::thread> threads_;
};

template <class T>
net::awaitable<void> deliver(net::awaitable<T> work, std::shared_ptr<std::promise<T>> promise) {
  if constexpr (std::is_void_v<T>) {
    co_await std::move(work);
    promise->set_value();
  } else {
    promise->set_value(co_await std::move(work));
  }
}

// Starts `work` on `ex`; the future holds its result or its exception (operation_aborted
// for a cancelled call).
template <class T>
std::future<T> spawn(net::any_io_executor ex, net::awaitable<T> work,
                     net::cancellation_slot slot = {}) {
  auto promise = std::make_shared<std::promise<T>>();
  auto future = promise->get_future();
  net::co_spawn(ex, deliver(std::move(work), promise),
                net::bind_cancellation_slot(slot, [promise](std::exception_ptr e) {
                  if (e) promise->set_exception(e);
                }));
  return future;
}

template <class T>
T get(std::future<T>& future, std::chrono::steady_clock::duration limit = LIMIT) {
  if (future.wait_for(limit) != std::future_status::ready)
    throw std::runtime_error("timed out waiting for an asynchronous step");
  return future.get();
}

template <class T>
T run(net::any_io_executor ex, net::awaitable<T> work) {
  auto future = spawn(ex, std::move(work));
  return get(future);
}

// One message as the client received it.
struct Received {
  boost::system::error_code ec;
  bool binary = false;
  std::string data;
  Bytes bytes() const {
    const auto* p = reinterpret_cast<const std::byte*>(data.data());
    return Bytes(p, p + data.size());
  }
};

// A WebSocket client on loopback; every operation runs on its own strand.
class TestClient {
 public:
  static std::unique_ptr<TestClient> connect(net::io_context& ctx, unsigned short port,
                                             std::optional<std::string> origin = std::nullopt) {
    auto client = std::unique_ptr<TestClient>(new TestClient(ctx));
    auto done = spawn(client->strand_, client->handshake(port, std::move(origin)));
    const auto ec = get(done);
    if (ec) throw std::runtime_error("client handshake failed: " + ec.message());
    return client;
  }

  Received read(std::chrono::steady_clock::duration limit = LIMIT) {
    auto f = spawn(strand_, do_read());
    return get(f, limit);
  }
  // One Binary message, in one frame, or in frames of `fragment` bytes.
  boost::system::error_code send(const Bytes& message,
                                 std::optional<std::size_t> fragment = std::nullopt) {
    auto f = spawn(
        strand_, do_send(std::string(reinterpret_cast<const char*>(message.data()), message.size()),
                         true, fragment));
    return get(f, 2 * LIMIT);
  }
  boost::system::error_code send_text(std::string text) {
    auto f = spawn(strand_, do_send(std::move(text), false, std::nullopt));
    return get(f);
  }
  // Bytes written to the socket as they are (hand-made frames, parts of frames).
  boost::system::error_code send_raw(std::string bytes) {
    auto f = spawn(strand_, do_send_raw(std::move(bytes)));
    return get(f);
  }
  boost::system::error_code ping() {
    auto f = spawn(strand_, do_ping());
    return get(f);
  }
  boost::system::error_code close() {
    auto f = spawn(strand_, do_close());
    return get(f);
  }

 private:
  explicit TestClient(net::io_context& ctx)
      : strand_(net::make_strand(ctx)), ws_(tcp::socket(strand_)) {}

  net::awaitable<boost::system::error_code> handshake(unsigned short port,
                                                      std::optional<std::string> origin) {
    auto [ec] = co_await ws_.next_layer().async_connect({net::ip::make_address("127.0.0.1"), port},
                                                        net::as_tuple(net::use_awaitable));
    if (ec) co_return ec;
    ws_.set_option(websocket::stream_base::decorator([origin](websocket::request_type& req) {
      if (origin) req.set(beast::http::field::origin, *origin);
    }));
    auto [hec] = co_await ws_.async_handshake("127.0.0.1", "/", net::as_tuple(net::use_awaitable));
    co_return hec;
  }
  net::awaitable<Received> do_read() {
    beast::flat_buffer buffer;
    auto [ec, n] = co_await ws_.async_read(buffer, net::as_tuple(net::use_awaitable));
    co_return Received{ec, ws_.got_binary(), beast::buffers_to_string(buffer.data())};
  }
  net::awaitable<boost::system::error_code> do_send(std::string data, bool binary,
                                                    std::optional<std::size_t> fragment) {
    ws_.binary(binary);
    ws_.auto_fragment(fragment.has_value());
    if (fragment) ws_.write_buffer_bytes(*fragment);
    auto [ec, n] = co_await ws_.async_write(net::buffer(data), net::as_tuple(net::use_awaitable));
    co_return ec;
  }
  net::awaitable<boost::system::error_code> do_send_raw(std::string bytes) {
    auto [ec, n] = co_await net::async_write(ws_.next_layer(), net::buffer(bytes),
                                             net::as_tuple(net::use_awaitable));
    co_return ec;
  }
  net::awaitable<boost::system::error_code> do_ping() {
    auto [ec] = co_await ws_.async_ping({}, net::as_tuple(net::use_awaitable));
    co_return ec;
  }
  net::awaitable<boost::system::error_code> do_close() {
    auto [ec] = co_await ws_.async_close(websocket::close_code::normal,
                                         net::as_tuple(net::use_awaitable));
    co_return ec;
  }

  net::strand<net::io_context::executor_type> strand_;
  websocket::stream<tcp::socket> ws_;
};

// A blocking TCP client for bytes that are not a valid WebSocket client's.
class RawClient {
 public:
  explicit RawClient(unsigned short port) : socket_(ctx_) {
    socket_.connect({net::ip::make_address("127.0.0.1"), port});
    timeval tv{static_cast<time_t>(LIMIT / 1s), 0};  // ::recv below gives up after LIMIT
    ::setsockopt(socket_.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  void send(const std::string& bytes) { net::write(socket_, net::buffer(bytes)); }
  // Everything until the server closes the connection (or LIMIT passes).
  std::string read_to_end() {
    std::string out;
    char buf[4096];
    for (;;) {
      const ssize_t n = ::recv(socket_.native_handle(), buf, sizeof buf, 0);
      if (n <= 0) return out;
      out.append(buf, static_cast<std::size_t>(n));
    }
  }

 private:
  net::io_context ctx_;
  tcp::socket socket_;
};

inline std::string upgrade_request(const std::string& extra_headers, bool with_key = true) {
  return "GET /ws HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n"
         "Sec-WebSocket-Version: 13\r\n" +
         std::string(with_key ? "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n" : "") +
         extra_headers + "\r\n";
}

// A frame as the UI would send it; `version` and `payload_len` may be falsified.
inline Bytes frame(std::uint8_t kind, std::uint32_t seq, std::uint16_t fn_id, Bytes payload = {},
                   std::uint8_t version = 1) {
  Bytes out;
  append_le(out, version);
  append_le(out, kind);
  append_le(out, std::uint16_t{0});
  append_le(out, seq);
  append_le(out, fn_id);
  append_le(out, std::uint16_t{0});
  append_le(out, static_cast<std::uint32_t>(payload.size()));
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

// One masked client frame carrying `payload`, as the bytes on the wire.
inline std::string masked_frame(std::uint8_t opcode, const Bytes& payload) {
  std::string out{static_cast<char>(0x80 | opcode)};
  const std::size_t n = payload.size();
  if (n < 126) {
    out += static_cast<char>(0x80 | n);
  } else {
    out += static_cast<char>(0x80 | 126);
    out += static_cast<char>(n >> 8);
    out += static_cast<char>(n & 0xFF);
  }
  const char key[4] = {0x11, 0x22, 0x33, 0x44};
  out.append(key, 4);
  for (std::size_t i = 0; i < n; ++i)
    out += static_cast<char>(std::to_integer<char>(payload[i]) ^ key[i % 4]);
  return out;
}

inline Bytes bytes(std::initializer_list<int> values) {
  Bytes out;
  for (int v : values) out.push_back(static_cast<std::byte>(v));
  return out;
}

inline std::uint32_t seq_of(const Bytes& f) { return load_le<std::uint32_t>(f.data() + 4); }

// Redirects file descriptor 2 into a temporary file while alive.
class StderrCapture {
 public:
  StderrCapture() : file_(std::tmpfile()), saved_(::dup(2)) {
    std::fflush(stderr);
    ::dup2(::fileno(file_), 2);
  }
  ~StderrCapture() {
    std::fflush(stderr);
    ::dup2(saved_, 2);
    ::close(saved_);
    std::fclose(file_);
  }
  std::string text() const {
    std::string out;
    char buf[4096];
    for (off_t off = 0;;) {
      const ssize_t n = ::pread(::fileno(file_), buf, sizeof buf, off);
      if (n <= 0) return out;
      out.append(buf, static_cast<std::size_t>(n));
      off += n;
    }
  }
  // Waits (bounded) until `needle` has been written.
  std::string wait_for(const std::string& needle) const {
    const auto until = std::chrono::steady_clock::now() + LIMIT;
    std::string seen = text();
    while (seen.find(needle) == std::string::npos && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(5ms);
      seen = text();
    }
    return seen;
  }

 private:
  std::FILE* file_;
  int saved_;
};

// An engine listening on 127.0.0.1 with an ephemeral port.
class ServerTest : public ::testing::Test {
 protected:
  explicit ServerTest(std::uint32_t start_seq = 1, ListenOptions options = {})
      : shared(std::make_shared<EngineShared>(net::make_strand(io.ctx), start_seq)) {
    Listening listening = run(shared->executor, listen_and_serve(shared, "127.0.0.1", 0, options));
    if (listening.error) throw std::runtime_error(listening.error->text());
    port = listening.local.port();
  }

  // A client that is installed when this returns. With `replaced`, that client's connection
  // must be closed by the installation.
  std::unique_ptr<TestClient> connect_installed(TestClient* replaced = nullptr,
                                                std::optional<std::string> origin = std::nullopt) {
    auto client = TestClient::connect(io.ctx, port, std::move(origin));
    Received hello = client->read();
    EXPECT_FALSE(hello.ec) << hello.ec.message();
    EXPECT_FALSE(hello.binary);
    EXPECT_EQ(hello.data, R"({"type":"handshake","python_library_version":"0.1.0"})");
    if (replaced) {
      EXPECT_TRUE(replaced->read().ec) << "the replaced connection is still open";
    } else {
      EXPECT_FALSE(run(shared->executor, wait_connected(shared, std::nullopt)));
    }
    return client;
  }

  IoThreads io;
  std::shared_ptr<EngineShared> shared;
  unsigned short port = 0;
};

}  // namespace pen::test
