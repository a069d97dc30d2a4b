// The server's diagnostic lines on standard error.
#pragma once

#include <exception>
#include <string_view>

namespace pen::server {

// Writes "[native ws server] {text}\n" with a single write(2) to fd 2, so lines from
// concurrent tasks never interleave.
void log_line(std::string_view text);

// "accept failed: {why}": a socket that was not admitted (accept, set-up or handshake).
void log_accept_failed(std::string_view why);

// Completion handler for detached background tasks: an escaped exception becomes a line
// "{task} failed: {what}" instead of vanishing.
struct LogTaskFailure {
  const char* task;
  void operator()(const std::exception_ptr& e) const;
};

}  // namespace pen::server
