// A byte stream handed to a FrameReader as a non-blocking socket would hand it over: only the
// bytes before `window_end` have arrived; past them a read fails with EAGAIN. Moving
// `window_end` forward delivers more. Shared by the frame-limit test and the reader's fuzzer.
#pragma once

#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <vector>

namespace pen::test {

struct WindowSource {
  const std::vector<unsigned char>& bytes;
  std::size_t at = 0;
  std::size_t window_end = 0;

  // A FrameReader byte source (ReadSome); `self` is the WindowSource.
  static ssize_t read(void* self, const iovec* iov, int count) {
    auto& s = *static_cast<WindowSource*>(self);
    if (s.at == s.window_end) {
      errno = EAGAIN;
      return -1;
    }
    std::size_t n = 0;
    for (int i = 0; i < count && s.at < s.window_end; ++i) {
      const std::size_t part = std::min(iov[i].iov_len, s.window_end - s.at);
      std::memcpy(iov[i].iov_base, s.bytes.data() + s.at, part);
      s.at += part;
      n += part;
    }
    return static_cast<ssize_t>(n);
  }
};

}  // namespace pen::test
