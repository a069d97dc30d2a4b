#include "server/diagnostics.hpp"

#include <unistd.h>

#include <cerrno>
#include <string>

namespace pen::server {

void log_line(std::string_view text) {
  std::string line;
  line.reserve(text.size() + 20);
  line.append("[native ws server] ").append(text).push_back('\n');
  // One write call per line; only an interrupted call is repeated. A partial write to a pipe
  // cannot happen for lines shorter than PIPE_BUF, and a longer line is still one call.
  while (::write(STDERR_FILENO, line.data(), line.size()) < 0 && errno == EINTR) {}
}

void log_accept_failed(std::string_view why) {
  log_line(std::string("accept failed: ").append(why));
}

void LogTaskFailure::operator()(const std::exception_ptr& e) const {
  if (!e) return;
  try {
    std::rethrow_exception(e);
  } catch (const std::exception& x) {
    log_line(std::string(task) + " failed: " + x.what());
  } catch (...) {
    log_line(std::string(task) + " failed: unknown error");
  }
}

}  // namespace pen::server
