#include "server/listener.hpp"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <netdb.h>
#include <cerrno>
#include <vector>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "call/rpc.hpp"
#include "server/diagnostics.hpp"
#include "wire/error_text.hpp"

namespace pen::server {
namespace {

namespace net = boost::asio;
using boost::system::error_code;
using tcp = net::ip::tcp;

// Running out of descriptors or memory is not cured by retrying at once; give the process a
// moment to release some.
constexpr auto RESOURCE_PAUSE = std::chrono::milliseconds(100);

bool is_resource_shortage(int err) {
  return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

// "127.0.0.1" or "[::1]": used as given, without the resolver.
std::optional<tcp::endpoint> numeric_endpoint(const std::string& host, std::uint16_t port) {
  error_code ec;
  if (auto v4 = net::ip::make_address_v4(host, ec); !ec) return tcp::endpoint(v4, port);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    if (auto v6 = net::ip::make_address_v6(host.substr(1, host.size() - 2), ec); !ec)
      return tcp::endpoint(v6, port);
  }
  return std::nullopt;
}

// The failure of one step of binding: its text, which becomes part of "bind failed on ...".
EngineError bind_step_failed(std::string text) {
  return EngineError::transport(std::nullopt, std::nullopt, std::move(text));
}

// The addresses to try in order.
net::awaitable<Result<std::vector<tcp::endpoint>>> listen_addresses(const std::string& host,
                                                                    std::uint16_t port) {
  if (auto ep = numeric_endpoint(host, port)) co_return std::vector<tcp::endpoint>{*ep};
  const std::string lookup_failed = "failed to lookup address information: ";
  if (host.empty()) co_return bind_step_failed(lookup_failed + ::gai_strerror(EAI_NONAME));
  // getaddrinfo runs on the resolver's own thread, never on the I/O threads.
  tcp::resolver resolver(co_await net::this_coro::executor);
  auto [ec, results] = co_await resolver.async_resolve(host, std::to_string(port),
                                                       tcp::resolver::numeric_service,
                                                       net::as_tuple(net::use_awaitable));
  if (ec) co_return bind_step_failed(lookup_failed + wire::resolver_error_text(ec));
  std::vector<tcp::endpoint> endpoints;
  for (const auto& entry : results) endpoints.push_back(entry.endpoint());
  co_return endpoints;
}

// A non-blocking, close-on-exec socket listening on `ep` with the kernel's largest backlog.
Result<int> open_listening_socket(const tcp::endpoint& ep) {
  const int fd = ::socket(ep.protocol().family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC,
                          IPPROTO_TCP);
  if (fd < 0) return bind_step_failed(wire::os_error_text(errno));
  const int one = 1;
  // A negative backlog is clamped by the kernel to net.core.somaxconn, its maximum.
  if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
      ::bind(fd, ep.data(), static_cast<socklen_t>(ep.size())) != 0 || ::listen(fd, -1) != 0) {
    const int err = errno;
    ::close(fd);
    return bind_step_failed(wire::os_error_text(err));
  }
  return fd;
}

void spawn_admission(const std::shared_ptr<call::EngineShared>& shared, int fd,
                     const tcp::acceptor& acceptor, const ListenOptions& options) {
  error_code ec;
  tcp::socket socket(shared->executor);
  socket.assign(acceptor.local_endpoint(ec).protocol(), fd, ec);
  if (ec) {
    ::close(fd);
    log_accept_failed(wire::error_text(ec));
    return;
  }
  // Small request/reply frames are exactly where Nagle's algorithm adds latency.
  socket.set_option(tcp::no_delay(true), ec);
  net::co_spawn(shared->executor, admit(shared, std::move(socket), options.handshake_timeout),
                LogTaskFailure{"admission"});
}

// Accepts sockets and spawns one admission task per socket, until close_engine() closes the
// listening socket.
net::awaitable<void> accept_loop(std::shared_ptr<call::EngineShared> shared, tcp::acceptor acceptor,
                                 ListenOptions options) {
  // close() closes the listening socket; the loop then ends at its next turn.
  auto registration = shared->lifecycle.on_close([&acceptor] {
    error_code ignored;
    acceptor.close(ignored);
  });
  while (acceptor.is_open()) {
    const int fd = ::accept4(acceptor.native_handle(), nullptr, nullptr,
                             SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
      // Handshakes run concurrently: a client that stalls delays nobody else.
      spawn_admission(shared, fd, acceptor, options);
      continue;
    }
    const int err = errno;
    if (err == EINTR) continue;
    if (err == EAGAIN || err == EWOULDBLOCK) {
      auto [ec] = co_await acceptor.async_wait(tcp::acceptor::wait_read,
                                               net::as_tuple(net::use_awaitable));
      if (ec && acceptor.is_open()) log_accept_failed(wire::error_text(ec));
      continue;
    }
    log_accept_failed(wire::os_error_text(err));
    if (is_resource_shortage(err)) {
      net::steady_timer pause(shared->executor, RESOURCE_PAUSE);
      co_await pause.async_wait(net::as_tuple(net::use_awaitable));
    } else {
      co_await net::post(shared->executor, net::use_awaitable);  // retry, but let others run
    }
  }
}

}  // namespace

net::awaitable<Listening> listen_and_serve(std::shared_ptr<call::EngineShared> shared,
                                           std::string host, std::uint16_t port,
                                           ListenOptions options) {
  const std::string address = host + ":" + std::to_string(port);
  auto bind_failed = [&](const std::string& text) {
    return Listening{EngineError::transport(std::nullopt, std::nullopt,
                                            "bind failed on " + address + ": " + text),
                     {}};
  };

  auto resolved = co_await listen_addresses(host, port);
  if (!resolved) co_return bind_failed(resolved.error().message);
  const auto& endpoints = resolved.value();
  if (endpoints.empty()) co_return bind_failed("could not resolve to any address");

  std::string last_error;
  for (const auto& ep : endpoints) {
    auto opened = open_listening_socket(ep);
    if (!opened) {
      last_error = opened.error().message;
      continue;
    }
    error_code ec;
    tcp::acceptor acceptor(shared->executor);
    acceptor.assign(ep.protocol(), opened.value(), ec);
    if (ec) {
      ::close(opened.value());
      last_error = wire::error_text(ec);
      continue;
    }
    const tcp::endpoint local = acceptor.local_endpoint(ec);
    shared->lifecycle.listening(local);
    net::co_spawn(shared->executor, accept_loop(shared, std::move(acceptor), options),
                  LogTaskFailure{"accept loop"});
    co_return Listening{std::nullopt, local};
  }
  co_return bind_failed(last_error);
}

net::awaitable<std::optional<EngineError>> start_listener(
    std::shared_ptr<call::EngineShared> shared, std::string host, std::uint16_t port) {
  Listening listening = co_await listen_and_serve(std::move(shared), std::move(host), port);
  co_return std::move(listening.error);
}

}  // namespace pen::server
