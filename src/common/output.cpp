#include "common/output.h"

#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>

namespace corvane {

bool write_stdout_line(std::string_view line) noexcept {
  if (output::detail::t_flush != nullptr) output::detail::t_flush();
  char newline = '\n';
  iovec parts[2] = {{const_cast<char*>(line.data()), line.size()}, {&newline, 1}};
  iovec* next = parts;
  int count = 2;
  while (count > 0) {
    const ssize_t written = ::writev(1, next, count);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    // Skip what went out; a part may have been written only in part.
    auto left = static_cast<std::size_t>(written);
    while (count > 0 && left >= next->iov_len) {
      left -= next->iov_len;
      ++next;
      --count;
    }
    if (count > 0) {
      next->iov_base = static_cast<char*>(next->iov_base) + left;
      next->iov_len -= left;
    }
  }
  return true;
}

}  // namespace corvane
