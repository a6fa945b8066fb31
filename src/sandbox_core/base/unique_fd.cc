#include "sandbox_core/base/unique_fd.h"

#include <unistd.h>

namespace sandbox {

void UniqueFd::reset(int fd) noexcept {
  int old = std::exchange(fd_, fd);
  if (old >= 0) ::close(old);
}

}  // namespace sandbox
