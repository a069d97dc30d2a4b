// A fast stand-in UI for latency measurements, and the raw loopback floor to compare with.
//
//   fast_ui ws PORT [DELAY_US [ROWS COLS]]
//                       connect to the engine on 127.0.0.1:PORT and answer every request,
//                       DELAY_US microseconds after it arrived (default 0: at once): get_ohlc
//                       (15) with a ROWS x COLS MatF64 (default 100 x 6), step_and_sync (130)
//                       with an 8-element VecF64 and the same matrix as a VecMatF64, everything
//                       else with an empty Response. Runs until the engine closes the connection.
//   fast_ui echo        listen on an ephemeral loopback port, print it, and echo 16-byte
//                       messages on the first connection until it closes.
//   fast_ui tcp N [REPLY_BYTES]
//                       N round trips over a loopback TCP connection (both ends in this
//                       process, TCP_NODELAY): 16 bytes out, REPLY_BYTES (default 16) back;
//                       prints p50/p99 in us.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;

namespace {

std::vector<unsigned char> mat_payload(std::uint32_t rows, std::uint32_t cols) {
  std::vector<unsigned char> p(8 + std::size_t{8} * rows * cols);
  std::memcpy(p.data(), &rows, 4);
  std::memcpy(p.data() + 4, &cols, 4);
  for (std::size_t i = 0; i < std::size_t{rows} * cols; ++i) {
    double v = 100.0 + static_cast<double>(i) * 0.25;
    std::memcpy(p.data() + 8 + 8 * i, &v, 8);
  }
  return p;
}

// VecMatF64: an 8-element vector, then the matrix.
std::vector<unsigned char> vec_mat_payload(const std::vector<unsigned char>& mat) {
  const std::uint32_t n = 8;
  std::vector<unsigned char> p(4 + 8 * n);
  std::memcpy(p.data(), &n, 4);
  for (std::uint32_t i = 0; i < n; ++i) {
    double v = i * 1.5;
    std::memcpy(p.data() + 4 + 8 * i, &v, 8);
  }
  p.insert(p.end(), mat.begin(), mat.end());
  return p;
}

// The client's side of the WebSocket wire for replies: one masked Binary frame, with a fixed
// masking key so that each payload is masked once, up front. The reply then costs the stand-in
// one system call, as a browser's send does (it masks with vector instructions), and what the
// benchmark sees is the engine's cost.
constexpr std::array<unsigned char, 4> MASK_KEY = {0x3a, 0x91, 0x5c, 0xe7};

void mask(unsigned char* p, std::size_t n, std::size_t phase) {
  for (std::size_t i = 0; i < n; ++i) p[i] ^= MASK_KEY[(phase + i) & 3];
}

std::vector<unsigned char> frame_header(std::uint64_t len) {
  std::vector<unsigned char> h{0x82};  // FIN, Binary
  if (len < 126) {
    h.push_back(static_cast<unsigned char>(0x80 | len));
  } else if (len <= 0xFFFF) {
    h.push_back(0x80 | 126);
    for (int shift = 8; shift >= 0; shift -= 8)
      h.push_back(static_cast<unsigned char>(len >> shift));
  } else {
    h.push_back(0x80 | 127);
    for (int shift = 56; shift >= 0; shift -= 8)
      h.push_back(static_cast<unsigned char>(len >> shift));
  }
  h.insert(h.end(), MASK_KEY.begin(), MASK_KEY.end());
  return h;
}

int serve_ws(unsigned short port, int delay_us, std::uint32_t rows, std::uint32_t cols) {
  net::io_context ioc;
  websocket::stream<tcp::socket> ws(ioc);
  ws.next_layer().connect({net::ip::make_address("127.0.0.1"), port});
  ws.next_layer().set_option(tcp::no_delay(true));
  ws.set_option(websocket::stream_base::decorator([](websocket::request_type& req) {
    req.set(beast::http::field::origin, "http://127.0.0.1");
  }));
  ws.handshake("127.0.0.1:" + std::to_string(port), "/");
  // Each reply: its frame header, then the 16-byte RPC header and the payload, masked; the
  // payload starts at a multiple of 4, so it is masked once here.
  struct Reply {
    std::vector<unsigned char> header, payload;
  };
  auto reply_for = [](std::vector<unsigned char> payload) {
    Reply r{frame_header(16 + payload.size()), std::move(payload)};
    mask(r.payload.data(), r.payload.size(), 16);
    return r;
  };
  const auto ohlc_payload = mat_payload(rows, cols);
  const Reply ohlc = reply_for(ohlc_payload), sync = reply_for(vec_mat_payload(ohlc_payload)),
              empty = reply_for({});
  beast::flat_buffer in;
  beast::error_code ec;
  for (;;) {
    in.clear();
    ws.read(in, ec);
    if (ec) return 0;
    const auto arrived = std::chrono::steady_clock::now();
    if (!ws.got_binary() || in.size() < 16) continue;
    std::array<unsigned char, 16> head;
    std::memcpy(head.data(), in.data().data(), 16);
    std::uint16_t fn;
    std::memcpy(&fn, head.data() + 8, 2);
    const Reply& reply = fn == 15 ? ohlc : fn == 130 ? sync : empty;
    const auto len = static_cast<std::uint32_t>(reply.payload.size());
    head[1] = 2;  // Response
    std::memcpy(head.data() + 12, &len, 4);
    mask(head.data(), head.size(), 0);
    if (delay_us > 0) std::this_thread::sleep_until(arrived + std::chrono::microseconds(delay_us));
    const std::array<net::const_buffer, 3> out = {net::buffer(reply.header), net::buffer(head),
                                                  net::buffer(reply.payload)};
    net::write(ws.next_layer(), out, ec);
    if (ec) return 0;
  }
}

int echo() {
  net::io_context ioc;
  tcp::acceptor acceptor(ioc, {net::ip::make_address("127.0.0.1"), 0});
  std::printf("%u\n", acceptor.local_endpoint().port());
  std::fflush(stdout);
  tcp::socket s = acceptor.accept();
  s.set_option(tcp::no_delay(true));
  char buf[16];
  beast::error_code ec;
  for (;;) {
    net::read(s, net::buffer(buf), ec);
    if (ec) return 0;
    net::write(s, net::buffer(buf), ec);
    if (ec) return 0;
  }
}

int tcp_pingpong(int n, std::size_t reply_bytes) {
  net::io_context ioc;
  tcp::acceptor acceptor(ioc, {net::ip::make_address("127.0.0.1"), 0});
  std::thread echo([&] {
    tcp::socket s = acceptor.accept();
    s.set_option(tcp::no_delay(true));
    char buf[16];
    std::vector<char> reply(reply_bytes, 'r');
    for (int i = 0; i < n; ++i) {
      net::read(s, net::buffer(buf));
      net::write(s, net::buffer(reply));
    }
  });
  tcp::socket c(ioc);
  c.connect(acceptor.local_endpoint());
  c.set_option(tcp::no_delay(true));
  char msg[16] = {1, 1};
  std::vector<char> in(reply_bytes);
  std::vector<double> us;
  us.reserve(n);
  for (int i = 0; i < n; ++i) {
    auto t0 = std::chrono::steady_clock::now();
    net::write(c, net::buffer(msg));
    net::read(c, net::buffer(in));
    const auto took = std::chrono::steady_clock::now() - t0;
    us.push_back(std::chrono::duration<double, std::micro>(took).count());
  }
  echo.join();
  std::sort(us.begin(), us.end());
  std::printf("tcp_pingpong n=%d reply_bytes=%zu p50_us=%.1f p99_us=%.1f\n", n, reply_bytes,
              us[us.size() / 2], us[us.size() * 99 / 100]);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  auto arg = [&](int i, int fallback) { return argc > i ? std::stoi(argv[i]) : fallback; };
  if (mode == "ws" && (argc == 3 || argc == 4 || argc == 6)) {
    return serve_ws(static_cast<unsigned short>(arg(2, 0)), arg(3, 0),
                    static_cast<std::uint32_t>(arg(4, 100)), static_cast<std::uint32_t>(arg(5, 6)));
  }
  if (mode == "echo" && argc == 2) return echo();
  if (mode == "tcp" && (argc == 3 || argc == 4))
    return tcp_pingpong(arg(2, 0), static_cast<std::size_t>(arg(3, 16)));
  std::fprintf(stderr,
               "usage: fast_ui ws PORT [DELAY_US [ROWS COLS]] | fast_ui echo |"
               " fast_ui tcp N [REPLY_BYTES]\n");
  return 2;
}
