// The init image's memfd. Any thread; created once under the function-local static's
// guard, then only read.
#include "sandbox_core/isolation/init_image.h"

#if defined(__linux__)
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>

#include "sandbox_core/base/fd_io.h"
#include "sandbox_core/base/unique_fd.h"

namespace sandbox::isolation {

extern const unsigned char kInitImage[];
extern const std::size_t kInitImageSize;

namespace {

#ifndef MFD_EXEC
#define MFD_EXEC 0x0010U
#endif

Result<int, IoError> create() {
  // Kernels with vm.memfd_noexec want executability asked for; older ones refuse the flag.
  int fd = ::memfd_create(kInitName, MFD_CLOEXEC | MFD_ALLOW_SEALING | MFD_EXEC);
  if (fd < 0 && errno == EINVAL) fd = ::memfd_create(kInitName, MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (fd < 0) return fail(IoError::last());
  UniqueFd owner(fd);
  auto bytes = std::as_bytes(std::span(kInitImage, kInitImageSize));
  SANDBOX_TRY(write_all(fd, bytes));
  // Sealed, so nothing in the process can swap the image under a running launch.
  if (::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0) {
    return fail(IoError::last());
  }
  return owner.release();
}

}  // namespace

Result<int, IoError> sandbox_init_fd() {
  static const Result<int, IoError> made = create();
  return made;
}

}  // namespace sandbox::isolation

#else

namespace sandbox::isolation {
Result<int, IoError> sandbox_init_fd() { return fail(IoError::from_errno(ENOSYS)); }
}  // namespace sandbox::isolation

#endif
