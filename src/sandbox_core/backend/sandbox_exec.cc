// The sandbox-exec backend: profile text, profile file, tool command line. Any thread;
// each spawn creates its own profile file under a fresh random name.
#include "sandbox_core/backend/sandbox_exec.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <random>

#include "sandbox_core/base/fd_io.h"
#include "sandbox_core/base/platform.h"
#include "sandbox_core/base/quoted.h"
#include "sandbox_core/launch/launch.h"
#include "sandbox_core/spec/fs_allowlist.h"

namespace sandbox {

namespace {

constexpr int kProfileNameAttempts = 128;

void push_unique(std::vector<std::string>& list, std::string path) {
  if (std::find(list.begin(), list.end(), path) == list.end()) list.push_back(std::move(path));
}

bool is_under(std::string_view path, std::string_view root) {
  return path == root ||
         (path.starts_with(root) && path.size() > root.size() && path[root.size()] == '/');
}

std::string escape_profile_string(std::string_view path) {
  std::string out;
  for (char c : path) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else {
      out += c;
    }
  }
  return out;
}

std::string random_suffix() {
  static constexpr std::string_view kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  thread_local std::mt19937_64 gen = [] {
    uint64_t seed = 0;
    if (!fill_random(&seed, sizeof seed)) {
      seed = std::random_device{}();
    }
    return std::mt19937_64(seed);
  }();
  std::uniform_int_distribution<size_t> pick(0, kAlphabet.size() - 1);
  std::string s;
  for (int i = 0; i < 6; ++i) s += kAlphabet[pick(gen)];
  return s;
}

std::string absolute_dir(const std::string& dir) {
  if (!dir.empty() && dir.front() == '/') return dir;
  // The tool reads the profile after the child has changed directory, so the path
  // handed to it must not be relative.
  char cwd[4096];
  if (::getcwd(cwd, sizeof cwd) == nullptr) return dir;
  std::string out(cwd);
  if (!dir.empty()) {
    if (out.back() != '/') out += '/';
    out += dir;
  }
  return out;
}

}  // namespace

void push_writable_path(std::vector<std::string>& list, const std::string& path) {
  push_unique(list, path);
  std::string_view p(path);
  // Built by append: GCC 12 at -O3 misreports "literal" + std::string (-Wrestrict).
  std::string alias;
  if (p.starts_with("/private/")) {
    alias.append("/").append(p.substr(9));
  } else if (is_under(p, "/tmp") || is_under(p, "/var")) {
    alias.append("/private").append(p);
  } else {
    return;
  }
  push_unique(list, std::move(alias));
}

std::string build_profile(const SandboxSpec& spec) {
  std::string out =
      "(version 1)\n"
      "(deny default)\n"
      "(allow process*)\n"
      "(allow sysctl-read)\n"
      "(allow file-read*)\n";
  if (!std::holds_alternative<NetworkBlocked>(spec.network)) out += "(allow network*)\n";
  std::vector<std::string> writable;
  for (std::string_view p : kDefaultReadWritePaths) push_writable_path(writable, std::string(p));
  push_writable_path(writable, spec.host_dir());
  for (const auto& p : spec.extra_read_write_paths) push_writable_path(writable, p);
  for (const auto& p : writable) {
    out += "(allow file-write* (subpath \"" + escape_profile_string(p) + "\"))\n";
  }
  return out;
}

Result<TempFile, IoError> create_profile_file(const std::string& dir, std::string_view contents) {
  std::string base = absolute_dir(dir);
  std::string prefix = base;
  if (!prefix.empty() && prefix.back() != '/') prefix += '/';
  for (int attempt = 0; attempt < kProfileNameAttempts; ++attempt) {
    std::string path = prefix + ".tmp" + random_suffix();
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
      int err = errno;
      if (err == EEXIST) continue;
      return fail(IoError::from_errno(err).annotated(" at path " + quoted_form(path)));
    }
    TempFile file(path, UniqueFd(fd));
    if (auto w = write_all(fd, contents); !w) {
      return fail(w.error().annotated(" at path " + quoted_form(path)));  // `file` unlinks
    }
    return file;
  }
  return fail(
      IoError::custom("too many temporary files exist at path " + quoted_form(base), EEXIST));
}

Result<void, SandboxError> SandboxExecBackend::preflight() const {
  if (!tool_path_) return fail(SandboxError::tool_unavailable("sandbox-exec not on PATH"));
  return {};
}

Result<SandboxChild, SandboxError> SandboxExecBackend::spawn(const SandboxSpec& spec) {
  if (!tool_path_) return fail(SandboxError::tool_unavailable("sandbox-exec not on PATH"));
  std::vector<std::string> command = build_command(spec);
  if (command.empty()) return fail(SandboxError::invalid_spec("argv is empty"));

  auto file = create_profile_file(system_temp_dir(), build_profile(spec));
  if (!file) return fail(SandboxError::io(std::move(file).error()));

  LaunchOptions options;
  options.program = *tool_path_;
  options.args = {"-f", file->path()};
  options.args.insert(options.args.end(), command.begin(), command.end());
  options.env_defaults = {{"HOME", spec.host_dir()},
                          {"PATH", spec.host_dir() + std::string(kSandboxExecPathSuffix)}};
  options.limits = child_limits(spec);
  auto child = launch_child(options, spec);
  if (!child) return fail(std::move(child).error());  // `file` is deleted on the way out
  child->temp_files().push_back(std::move(file).value());
  return child;
}

}  // namespace sandbox
