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
    // The hardening, after every mount it hardens; each only where the path exists.
    Lock,   // the path, under a mount above, bound over itself read-only (a /proc knob)
    Mask,   // a file covered by the null device, read-only (what reveals the host)
    Cover,  // a directory covered by an empty, read-only tmpfs (/sys/firmware)
  } kind;
  std::string path;         // absolute, normalised
  std::string link;         // Symlink: the link's text
  bool directory = true;    // binds: the host path is a directory (else a file)
  bool named = false;       // binds: a path the caller named (extra paths, the work dir)
  uint64_t size_bytes = 0;  // Tmpfs: its fixed size; 0: the kernel's default
};

// Entries in mount order: a path comes after every entry above it, the hardening last.
// Host paths that do not exist are skipped; "/" itself is never bound, nor the host's
// /tmp: the sandbox's /tmp is always its own.
std::vector<LayoutEntry> sandbox_layout(const SandboxSpec& spec);

// Why a program that the sandbox could not find (ENOENT at its exec) is missing inside:
// the first of the exec `candidates` that the host has, the target of its link, or its
// "#!" interpreter (each in turn), that no entry of `layout` shows the child. Names it and
// says how to share it. Empty when the host lacks the program too. A relative candidate
// is taken in `work_dir`, where the child runs (none: it is not looked for).
std::string missing_inside(const std::vector<LayoutEntry>& layout,
                           const std::vector<std::string>& candidates,
                           const std::string& work_dir);

// `path` made absolute against the current directory, with "." , ".." and repeated
// slashes resolved lexically.
std::string normalized_path(const std::string& path);

}  // namespace sandbox::isolation
