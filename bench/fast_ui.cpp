// A fast stand-in UI for latency measurements, and the raw loopback floor to compare with.
//
//   fast_ui ws PORT     connect to the engine on 127.0.0.1:PORT and answer every request at
//                       once: get_ohlc (15) with a 100 x 6 MatF64, everything else with an
//                       empty Response. Runs until the engine closes the connection.
//   fast_ui echo        listen on an ephemeral loopback port, print it, and echo 16-byte
//                       messages on the first connection until it closes.
//   fast_ui tcp N       N round trips of a 16-byte message over a loopback TCP connection
//                       (both ends in this process, TCP_NODELAY); prints p50/p99 in us.
#include <algorithm>
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

std::vector<unsigned char> ohlc_reply() {
  const std::uint32_t rows = 100, cols = 6;
  std::vector<unsigned char> p(8 + 8 * rows * cols);
  std::memcpy(p.data(), &rows, 4);
  std::memcpy(p.data() + 4, &cols, 4);
  for (std::uint32_t i = 0; i < rows * cols; ++i) {
    double v = 100.0 + i * 0.25;
    std::memcpy(p.data() + 8 + 8 * i, &v, 8);
  }
  return p;
}

int serve_ws(unsigned short port) {
  net::io_context ioc;
  websocket::stream<tcp::socket> ws(ioc);
  ws.next_layer().connect({net::ip::make_address("127.0.0.1"), port});
  ws.next_layer().set_option(tcp::no_delay(true));
  ws.set_option(websocket::stream_base::decorator([](websocket::request_type& req) {
    req.set(beast::http::field::origin, "http://127.0.0.1");
  }));
  ws.handshake("127.0.0.1:" + std::to_string(port), "/");
  const auto ohlc = ohlc_reply();
  beast::flat_buffer in;
  std::vector<unsigned char> out;
  beast::error_code ec;
  for (;;) {
    in.clear();
    ws.read(in, ec);
    if (ec) return 0;
    if (!ws.got_binary() || in.size() < 16) continue;
    const auto* req = static_cast<const unsigned char*>(in.data().data());
    std::uint16_t fn;
    std::memcpy(&fn, req + 8, 2);
    const std::uint32_t len = fn == 15 ? static_cast<std::uint32_t>(ohlc.size()) : 0;
    out.assign(req, req + 16);
    out[1] = 2;  // Response
    std::memcpy(out.data() + 12, &len, 4);
    if (fn == 15) out.insert(out.end(), ohlc.begin(), ohlc.end());
    ws.binary(true);
    ws.write(net::buffer(out), ec);
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

int tcp_pingpong(int n) {
  net::io_context ioc;
  tcp::acceptor acceptor(ioc, {net::ip::make_address("127.0.0.1"), 0});
  std::thread echo([&] {
    tcp::socket s = acceptor.accept();
    s.set_option(tcp::no_delay(true));
    char buf[16];
    for (int i = 0; i < n; ++i) {
      net::read(s, net::buffer(buf));
      net::write(s, net::buffer(buf));
    }
  });
  tcp::socket c(ioc);
  c.connect(acceptor.local_endpoint());
  c.set_option(tcp::no_delay(true));
  char msg[16] = {1, 1};
  std::vector<double> us;
  us.reserve(n);
  for (int i = 0; i < n; ++i) {
    auto t0 = std::chrono::steady_clock::now();
    net::write(c, net::buffer(msg));
    net::read(c, net::buffer(msg));
    us.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
  }
  echo.join();
  std::sort(us.begin(), us.end());
  std::printf("tcp_pingpong n=%d p50_us=%.1f p99_us=%.1f\n", n, us[us.size() / 2],
              us[us.size() * 99 / 100]);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "ws") return serve_ws(static_cast<unsigned short>(std::stoi(argv[2])));
  if (argc == 2 && std::string(argv[1]) == "echo") return echo();
  if (argc == 3 && std::string(argv[1]) == "tcp") return tcp_pingpong(std::stoi(argv[2]));
  std::fprintf(stderr, "usage: fast_ui ws PORT | fast_ui echo | fast_ui tcp N\n");
  return 2;
}
