// Table tests of the isolation plans, without starting a sandbox: the seccomp program run
// on synthetic calls, the layout and path normalisation, and the mount and Landlock plans
// that NamespaceSetup::prepare() produces.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/netlink.h>
#include <linux/seccomp.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/personality.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "sandbox_core/isolation/host_ids.h"
#include "sandbox_core/isolation/landlock.h"
#include "sandbox_core/isolation/layout.h"
#include "sandbox_core/isolation/namespaces.h"
#include "sandbox_core/isolation/seccomp.h"
#include "sandbox_core/isolation/syscalls.h"

namespace sandbox::isolation {
namespace {

#if defined(__x86_64__)
constexpr uint32_t kArch = AUDIT_ARCH_X86_64;
#else
constexpr uint32_t kArch = AUDIT_ARCH_AARCH64;
#endif

// Runs the instructions the compiler emits, as the kernel would.
uint32_t verdict(const seccomp_data& d) {
  auto prog = seccomp_program();
  uint32_t a = 0;
  for (size_t pc = 0; pc < prog.size(); ++pc) {
    const sock_filter& f = prog[pc];
    switch (f.code) {
      case BPF_LD | BPF_W | BPF_ABS:
        std::memcpy(&a, reinterpret_cast<const char*>(&d) + f.k, sizeof a);
        break;
      case BPF_JMP | BPF_JEQ | BPF_K:
        pc += a == f.k ? f.jt : f.jf;
        break;
      case BPF_JMP | BPF_JSET | BPF_K:
        pc += (a & f.k) != 0 ? f.jt : f.jf;
        break;
      case BPF_JMP | BPF_JGE | BPF_K:
        pc += a >= f.k ? f.jt : f.jf;
        break;
      case BPF_JMP | BPF_JA:
        pc += f.k;
        break;
      case BPF_RET | BPF_K:
        return f.k;
      default:
        ADD_FAILURE() << "unexpected instruction " << f.code;
        return 0;
    }
  }
  ADD_FAILURE() << "the program ends without a verdict";
  return 0;
}

constexpr uint32_t kAllow = SECCOMP_RET_ALLOW;
constexpr uint32_t kEperm = SECCOMP_RET_ERRNO | EPERM;
constexpr uint32_t kEnosys = SECCOMP_RET_ERRNO | ENOSYS;

struct CallRow {
  const char* what;
  long nr;
  std::vector<uint64_t> args;
  uint32_t expected;
};

TEST(SeccompProgram, EachRuleRefusesOnlyWhatItNames) {
  const CallRow rows[] = {
    {"read", SYS_read, {0, 0, 0}, kAllow},
    {"unshare a user namespace", SYS_unshare, {CLONE_NEWUSER}, kEperm},
    {"unshare a mount namespace", SYS_unshare, {CLONE_NEWNS}, kAllow},
    {"clone a user namespace", SYS_clone, {CLONE_NEWUSER | SIGCHLD}, kEperm},
    {"fork", SYS_clone, {SIGCHLD}, kAllow},
    {"clone3", SYS_clone3, {0, 0}, kEnosys},
    {"ptrace", SYS_ptrace, {0}, kEperm},
    {"mount", SYS_mount, {0}, kEperm},
    {"open_tree", SYS_open_tree, {0}, kEperm},
    {"TIOCSTI", SYS_ioctl, {0, TIOCSTI}, kEperm},
    {"TCGETS", SYS_ioctl, {0, TCGETS}, kAllow},
    {"AF_PACKET", SYS_socket, {AF_PACKET, SOCK_RAW, 0}, kEperm},
    {"AF_INET stream", SYS_socket, {AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0}, kAllow},
    {"NETLINK_ROUTE", SYS_socket, {AF_NETLINK, SOCK_RAW, NETLINK_ROUTE}, kAllow},
    {"NETLINK_AUDIT", SYS_socket, {AF_NETLINK, SOCK_RAW, NETLINK_AUDIT}, kEperm},
    {"UDP-Lite over IPv4", SYS_socket, {AF_INET, SOCK_DGRAM, IPPROTO_UDPLITE}, kEperm},
    {"UDP-Lite over IPv6", SYS_socket, {AF_INET6, SOCK_DGRAM, IPPROTO_UDPLITE}, kEperm},
    {"UDP over IPv6", SYS_socket, {AF_INET6, SOCK_DGRAM, IPPROTO_UDP}, kAllow},
    {"protocol 136 of a unix socket", SYS_socket, {AF_UNIX, SOCK_DGRAM, 136}, kAllow},
    {"fchmodat setuid", SYS_fchmodat, {static_cast<uint64_t>(AT_FDCWD), 0, 04755}, kEperm},
    {"fchmodat setgid", SYS_fchmodat, {static_cast<uint64_t>(AT_FDCWD), 0, 02755}, kEperm},
    {"fchmodat plain", SYS_fchmodat, {static_cast<uint64_t>(AT_FDCWD), 0, 0755}, kAllow},
    {"fchmodat2 setuid", SYS_fchmodat2, {static_cast<uint64_t>(AT_FDCWD), 0, 04755, 0}, kEperm},
    {"fchmod setgid", SYS_fchmod, {3, 02775}, kEperm},
    {"fchmod sticky", SYS_fchmod, {3, 01777}, kAllow},
    {"openat creating setuid", SYS_openat, {0, 0, O_CREAT | O_WRONLY, 04755}, kEperm},
    {"openat creating plain", SYS_openat, {0, 0, O_CREAT | O_WRONLY, 0644}, kAllow},
    {"openat without O_CREAT", SYS_openat, {0, 0, O_WRONLY, 04755}, kAllow},
    {"openat O_TMPFILE setgid", SYS_openat, {0, 0, O_TMPFILE | O_RDWR, 02600}, kEperm},
    {"openat2", SYS_openat2, {0, 0, 0, 0}, kEnosys},
    {"mkdirat setgid", SYS_mkdirat, {0, 0, 02755}, kEperm},
    {"mkdirat plain", SYS_mkdirat, {0, 0, 0755}, kAllow},
    {"mknodat setuid", SYS_mknodat, {0, 0, S_IFREG | 04755, 0}, kEperm},
    {"personality query", SYS_personality, {0xffffffff}, kAllow},
    {"personality PER_LINUX", SYS_personality, {PER_LINUX}, kAllow},
    {"personality ADDR_NO_RANDOMIZE", SYS_personality, {ADDR_NO_RANDOMIZE}, kEperm},
#if defined(__x86_64__)
    {"chmod setuid", SYS_chmod, {0, 04755}, kEperm},
    {"open creating setgid", SYS_open, {0, O_CREAT | O_WRONLY, 02755}, kEperm},
    {"creat setuid", SYS_creat, {0, 04700}, kEperm},
    {"mkdir setgid", SYS_mkdir, {0, 02755}, kEperm},
    {"modify_ldt", SYS_modify_ldt, {0, 0, 0}, kEperm},
#endif
  };
  for (const CallRow& row : rows) {
    SCOPED_TRACE(row.what);
    seccomp_data d{};
    d.nr = static_cast<int>(row.nr);
    d.arch = kArch;
    std::copy(row.args.begin(), row.args.end(), d.args);
    EXPECT_EQ(verdict(d), row.expected);
  }
  // Every call the table refuses outright is refused with its error, and every number
  // the table does not name is allowed, whatever the search over the numbers does.
  for (long nr = 0; nr < 512; ++nr) {
    seccomp_data d{};
    d.nr = static_cast<int>(nr);
    d.arch = kArch;
    uint32_t expected = kAllow;
    for (const RefusedCall& rule : refused_calls()) {
      if (rule.nr != nr) continue;
      // Calls with argument tests are the rows above.
      const bool outright = rule.tests[0].op == ArgTest::Op::None;
      expected = outright ? SECCOMP_RET_ERRNO | static_cast<uint32_t>(rule.error) : 0;
      break;
    }
    if (expected != 0) {
      EXPECT_EQ(verdict(d), expected) << "call " << nr;
    }
  }
  // Another ABI's numbers mean other calls: the process is killed.
  seccomp_data other{};
  other.nr = SYS_read;
  other.arch = AUDIT_ARCH_I386;
  EXPECT_EQ(verdict(other), SECCOMP_RET_KILL_PROCESS);
#if defined(__x86_64__)
  seccomp_data x32{};
  x32.nr = 0x40000000 | SYS_read;
  x32.arch = kArch;
  EXPECT_EQ(verdict(x32), SECCOMP_RET_KILL_PROCESS);
#endif
}

TEST(Layout, PathsAreNormalisedLexically) {
  char cwd[4096];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  const std::pair<std::string, std::string> rows[] = {{"/a/./b//c/", "/a/b/c"},
                                                      {"/a/../..", "/"},
                                                      {"/", "/"},
                                                      {"//x/../y", "/y"},
                                                      {"rel/./p", std::string(cwd) + "/rel/p"},
                                                      {"", cwd}};
  for (const auto& [in, out] : rows) EXPECT_EQ(normalized_path(in), out) << in;
}

struct TempDir {
  std::string path;
  TempDir() {
    path = std::filesystem::temp_directory_path() / "isolation-test-XXXXXX";
    if (::mkdtemp(path.data()) == nullptr) path.clear();
  }
  ~TempDir() { std::filesystem::remove_all(path); }
};

// What the layout binds of the caller's paths, and what it never binds.
TEST(Layout, BindsOnlyWhatWasNamedAndNeverTheHostsTmp) {
  TempDir tmp;
  ASSERT_FALSE(tmp.path.empty());
  std::filesystem::create_directories(tmp.path + "/w/sub");
  std::filesystem::create_directory(tmp.path + "/ro");
  std::filesystem::create_symlink("/nonexistent", tmp.path + "/dangling");
  SandboxSpec spec;
  spec.host_work_dir = tmp.path + "/w";
  spec.extra_read_only_paths = {tmp.path + "/ro", "/", "/proc", tmp.path + "/missing"};
  spec.extra_read_write_paths = {"/tmp", tmp.path + "/w/sub/../sub", tmp.path + "/dangling"};
  using Kind = LayoutEntry::Kind;
  std::vector<std::tuple<Kind, std::string, bool>> named;
  int tmp_entries = 0;
  const std::vector<LayoutEntry> layout = sandbox_layout(spec);
  std::vector<std::string> seen;
  for (const LayoutEntry& e : layout) {
    for (const std::string& earlier : seen) {  // a path after every entry above it
      EXPECT_FALSE(earlier.starts_with(e.path + "/")) << e.path << " after " << earlier;
    }
    seen.push_back(e.path);
    if (e.path == "/tmp") {
      ++tmp_entries;
      EXPECT_EQ(e.kind, Kind::Tmpfs);
    }
    EXPECT_NE(e.path, "/");
    if (e.path == "/proc") {
      EXPECT_EQ(e.kind, Kind::Proc);
    }
    if (e.named) named.emplace_back(e.kind, e.path, e.directory);
  }
  EXPECT_EQ(tmp_entries, 1);
  std::sort(named.begin(), named.end());
  std::vector<std::tuple<Kind, std::string, bool>> want = {
      {Kind::ReadOnly, tmp.path + "/ro", true},
      {Kind::ReadWrite, tmp.path + "/w", true},
      {Kind::ReadWrite, tmp.path + "/w/sub", true}};
  std::sort(want.begin(), want.end());
  EXPECT_EQ(named, want);
}

bool has(const std::vector<std::string>& labels, const std::string& label) {
  return std::find(labels.begin(), labels.end(), label) != labels.end();
}

// The plan for userns-lite: its own root, the proc knobs read-only and host secrets
// masked, a sysfs of its own network, a cgroup namespace; for a root caller, no user
// namespace at clone and the caller's paths as detached trees.
// The range is the owner's entry (or the default), and is refused when any account or
// another user's subordinate range has one of its ids.
TEST(HostIds, TheRangeIsTheOwnersAndNoAccountHasAnIdOfIt) {
  const struct {
    const char *subuid, *subgid, *passwd, *group;
    uint32_t uid_start, gid_start, count;  // count 0: refused
  } kRows[] = {
      {"", "", "root:x:0:0::/:/bin/sh\nnobody:x:65534:65534::/:/bin/false\n", "root:x:0:\n",
       kDefaultIdStart, kDefaultIdStart, kDefaultIdCount},
      {"alice:100000:65536\nventra-sandbox:300000:1000\n", "ventra-sandbox:400000:2000\n", "", "",
       300000, 400000, 1000},
      {"ventra-sandbox:300000:1000\n", "", "", "", 300000, 300000, 1000},
      {"ventra-sandbox:300000:1000\nalice:300500:10\n", "", "", "", 0, 0, 0},
      {"", "", "svc:x:1879048300:1::/:/bin/false\n", "", 0, 0, 0},
      {"", "", "", "grp:x:1879048193:\n", 0, 0, 0},
      {"ventra-sandbox:0:10\n", "", "", "", 0, 0, 0},
      {"ventra-sandbox:4294967290:10\n", "", "", "", 0, 0, 0},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(std::string(row.subuid) + "|" + row.subgid + "|" + row.passwd + "|" + row.group);
    auto range = choose_id_range(row.subuid, row.subgid, row.passwd, row.group);
    if (row.count == 0) {
      EXPECT_FALSE(range);
      continue;
    }
    ASSERT_TRUE(range) << range.error().text();
    EXPECT_EQ(range->uid_start, row.uid_start);
    EXPECT_EQ(range->gid_start, row.gid_start);
    EXPECT_EQ(range->count, row.count);
  }
}

TEST(NamespacePlan, OwnRootHardensProcAndSysAndGrantsReferOnWritableTrees) {
  TempDir tmp;
  ASSERT_FALSE(tmp.path.empty());
  SandboxSpec spec;
  spec.host_work_dir = tmp.path;
  NamespaceSetup::Options o;
  o.root = RootMode::Own;
  o.new_network = true;
  o.harden = true;
  auto setup = NamespaceSetup::prepare(spec, std::move(o));
  ASSERT_TRUE(setup) << setup.error().text();
  const NamespaceSetup& s = **setup;
  const bool root = ::geteuid() == 0;
  EXPECT_EQ(s.identity(), root ? Identity::Unprivileged : Identity::Caller);
  EXPECT_EQ((s.namespace_flags() & CLONE_NEWUSER) != 0, !root);
  for (int flag : {CLONE_NEWNS, CLONE_NEWPID, CLONE_NEWIPC, CLONE_NEWUTS, CLONE_NEWNET}) {
    EXPECT_NE(s.namespace_flags() & flag, 0) << flag;
  }
  // The cgroup namespace comes after the child has joined its own group, not at clone.
  EXPECT_EQ(s.namespace_flags() & CLONE_NEWCGROUP, 0);
  EXPECT_TRUE(s.own_cgroup_namespace());
  const auto& labels = s.mount_labels();
  for (const char* label :
       {"mount a fresh proc on \"/proc\"", "make \"/proc/sys\" read-only",
        "make \"/proc/sysrq-trigger\" read-only", "mask \"/proc/kcore\"", "mask \"/proc/keys\"",
        "mask \"/proc/timer_list\"", "mount a fresh sysfs on \"/sys\"", "mask \"/sys/firmware\"",
        "mount a private tmpfs on \"/tmp\""}) {
    EXPECT_TRUE(has(labels, label)) << label;
  }
  EXPECT_TRUE(has(labels, "bind \"" + tmp.path + "\""));
  for (const MountStep& m : s.mounts()) {
    if (m.target == tmp.path) {
      EXPECT_TRUE(m.no_links);
      EXPECT_EQ(m.tree >= 0, root);
    }
    if (std::string(m.target) == "/proc/sys") {
      EXPECT_TRUE(m.read_only && m.optional);
    }
    // An optional step mounts over what is there and makes nothing.
    if (m.optional) {
      EXPECT_EQ(m.dir_count, 0u) << m.target;
    }
  }
  // The root is fresh and nothing here covers a directory made before it: each is made once.
  std::set<std::string> made;
  for (const MountStep& m : s.mounts()) {
    for (size_t i = 0; i < m.dir_count; ++i)
      EXPECT_TRUE(made.insert(m.dirs[i]).second) << m.dirs[i];
  }
  EXPECT_TRUE(made.contains(tmp.path));
  if (landlock_abi() >= 2) {
    auto rules = s.landlock_rules();
    auto work = std::find_if(rules.begin(), rules.end(),
                             [&](const LandlockRule& r) { return r.path == tmp.path; });
    ASSERT_NE(work, rules.end());
    EXPECT_NE(work->access & landlock::kRefer, 0u);
    EXPECT_EQ(work->access, landlock_read_write(landlock_abi()));
  }
}

// The plan for bubblewrap: only the caller's paths are staged, each at its own place,
// and bwrap binds them from there.
TEST(NamespacePlan, StagingCoversOnlyTheCallersPaths) {
  TempDir tmp;
  ASSERT_FALSE(tmp.path.empty());
  std::filesystem::create_directories(tmp.path + "/ro");
  SandboxSpec spec;
  spec.host_work_dir = tmp.path;
  spec.extra_read_only_paths = {tmp.path + "/ro"};
  NamespaceSetup::Options o;
  o.root = RootMode::Staged;
  o.own_user_namespace = false;
  auto setup = NamespaceSetup::prepare(spec, std::move(o));
  ASSERT_TRUE(setup) << setup.error().text();
  const NamespaceSetup& s = **setup;
  EXPECT_EQ(s.mount_labels(),
            (std::vector<std::string>{"mount the stage", "bind \"" + tmp.path + "\"",
                                      "bind \"" + tmp.path + "/ro\" read-only"}));
  const std::string stage = s.mounts()[0].target;
  ASSERT_NE(s.staged(tmp.path), nullptr);
  EXPECT_EQ(*s.staged(tmp.path), stage + "/0");
  EXPECT_EQ(*s.staged(tmp.path + "/ro"), stage + "/1");
  EXPECT_EQ(s.staged("/usr"), nullptr);
}

// A link anywhere in a read-write path: a root caller's plan refuses it at once, naming
// the path (anyone else's child refuses it with the same words).
TEST(NamespacePlan, LinksInReadWritePathsAreRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "only a root caller's plan opens the paths itself";
  TempDir tmp;
  ASSERT_FALSE(tmp.path.empty());
  std::filesystem::create_directories(tmp.path + "/real/w");
  std::filesystem::create_directory_symlink("real", tmp.path + "/up");
  SandboxSpec spec;
  spec.host_work_dir = tmp.path + "/up/w";
  for (RootMode mode : {RootMode::Own, RootMode::Staged}) {
    NamespaceSetup::Options o;
    o.root = mode;
    auto setup = NamespaceSetup::prepare(spec, std::move(o));
    ASSERT_FALSE(setup);
    EXPECT_EQ(setup.error().text(),
              "bind \"" + tmp.path + "/up/w\": Too many levels of symbolic links (os error 40)");
  }
}

}  // namespace
}  // namespace sandbox::isolation
