// The server's diagnostic lines on standard error.
#pragma once

#include <string_view>

namespace pen::ws {

// Writes "[native ws server] {text}\n" with a single write(2) to fd 2, so lines from
// concurrent tasks never interleave.
void log_line(std::string_view text);

}  // namespace pen::ws

#include <exception>

namespace pen::ws {

// Completion handler for detached background tasks: an escaped exception becomes a line
// "{task} failed: {what}" instead of vanishing.
struct LogTaskFailure {
  const char* task;
  void operator()(const std::exception_ptr& e) const;
};

}  // namespace pen::ws
