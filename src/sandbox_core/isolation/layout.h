// What a Linux-isolated child sees of the file system, computed once per spawn from the
// spec and the host, and rendered by each backend (bwrap arguments, or the native mount
// plan). Paths inside the sandbox are the host's own paths.
#pragma once

#include <string>
#include <vector>

#include "sandbox_core/spec/sandbox_spec.h"

namespace sandbox::isolation {

struct LayoutEntry {
  enum class Kind : uint8_t {
    ReadOnly,   // bind of the host path, read-only
    ReadWrite,  // bind of the host path, writable
    Symlink,    // a symbolic link (merged-/usr systems: /bin -> usr/bin)
    Proc,       // a fresh proc of the sandbox's own processes
    Dev,        // a minimal /dev: null zero full random urandom tty, pts, shm
    Tmpfs,      // a private, empty tmpfs
    Dir,        // a directory made on the private /tmp: the work dir of a spec naming none
    Cgroup,     // /sys/fs/cgroup: the sandbox's own group (cgroup v2), else empty; read-only
  } kind;
  std::string path;         // absolute, normalised
  std::string link;         // Symlink: the link's text
  bool directory = true;    // binds: the host path is a directory (else a file)
  bool named = false;       // binds: a path the caller named (extra paths, the work dir)
  uint64_t size_bytes = 0;  // Tmpfs: its fixed size; 0: the kernel's default
};

// Under a sandbox's fresh proc, by name: the host-wide knobs, read-only whoever the child
// is, and what reveals the host's memory, keys or timers, masked. A fixed list: matching
// names under /proc would walk every process's entry.
inline constexpr const char* kProcReadOnly[] = {"sys", "sysrq-trigger", "irq", "bus"};
inline constexpr const char* kProcMasked[] = {"kcore",      "keys",       "timer_list",
                                              "kpagecount", "kpageflags", "kpagecgroup"};

// Entries in mount order: a path comes after every entry above it. Host paths that do not
// exist are skipped; "/" itself is never bound, nor the host's /tmp: the sandbox's /tmp
// is always its own.
std::vector<LayoutEntry> sandbox_layout(const SandboxSpec& spec);

// `path` made absolute against the current directory, with "." , ".." and repeated
// slashes resolved lexically.
std::string normalized_path(const std::string& path);

}  // namespace sandbox::isolation
