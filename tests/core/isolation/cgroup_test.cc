// Sandbox control groups against a fake cgroup v2 tree (plain files in a temp dir, as a
// delegated subtree looks to its user) and v1 hierarchies, the limit arithmetic, and the WARN
// events of a spec asking for limits this host cannot enforce.
#include "sandbox_core/isolation/cgroup.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "launch/child_helpers.h"
#include "sandbox_core/base/io_error.h"
#include "sandbox_core/isolation/cgroup_usage.h"
#include "sandbox_core/isolation/limits.h"
#include "support/capture_sink.h"

namespace sandbox::isolation {
namespace {

namespace fs = std::filesystem;

struct FakeTree {
  FakeTree() {
    char tmpl[] = "/tmp/ventra-cgroup-test-XXXXXX";
    root = ::mkdtemp(tmpl);
    mount = root + "/cgroup2";
    self = mount + "/user.slice/app.scope";
    fs::create_directories(self);
    put(mount + "/cgroup.controllers", "cpuset cpu io memory pids\n");
    put(self + "/cgroup.controllers", "cpu memory pids\n");
    put(self + "/cgroup.subtree_control", "");
    put(self + "/memory.swap.max", "max\n");
  }
  ~FakeTree() { fs::remove_all(root); }
  static void put(const std::string& path, const std::string& text) { std::ofstream(path) << text; }
  static std::string get(const std::string& path) {
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
  }
  std::string mountinfo() const {
    return "24 1 0:22 / /proc rw - proc proc rw\n"
           "31 25 0:26 / " +
           mount + " rw,nosuid,nodev,noexec - cgroup2 cgroup2 rw,nsdelegate\n";
  }
  std::string self_cgroup() const { return "0::/user.slice/app.scope\n"; }

  std::string root, mount, self;
};

TEST(CgroupV2, AProcessAloneInItsGroupStepsIntoALeafAndGivesTheControllersDown) {
  FakeTree t;
  FakeTree::put(t.self + "/cgroup.procs", "4242\n");
  CgroupHost host = probe_cgroup_host(t.mountinfo(), t.self_cgroup(), 4242);
  ASSERT_EQ(host.version, CgroupVersion::V2) << host.reason;
  EXPECT_EQ(host.memory_dir, t.self);
  EXPECT_EQ(host.pids_dir, t.self);
  EXPECT_EQ(host.cpu_dir, t.self);
  EXPECT_TRUE(host.swap_accounted);
  EXPECT_EQ(FakeTree::get(t.self + "/host/cgroup.procs"), "4242");
  EXPECT_EQ(FakeTree::get(t.self + "/cgroup.subtree_control"), "+memory +pids +cpu");
}

TEST(CgroupV2, WhereTheGroupCannotBeUsedNothingIsMovedAndTheReasonSaysWhy) {
  const std::tuple<const char*, std::string, std::string, const char*> cases[] = {
      // Another program shares the group: moving it away behind its back is not ours to do.
      {"other processes", "4242\n777\n", "cpu memory pids\n", "holds other processes"},
      {"no controllers offered", "4242\n", "io\n", "offers none of memory, pids, cpu"},
  };
  for (const auto& [what, procs, controllers, reason] : cases) {
    SCOPED_TRACE(what);
    FakeTree t;
    FakeTree::put(t.self + "/cgroup.procs", procs);
    FakeTree::put(t.self + "/cgroup.controllers", controllers);
    CgroupHost host = probe_cgroup_host(t.mountinfo(), t.self_cgroup(), 4242);
    EXPECT_EQ(host.version, CgroupVersion::None);
    EXPECT_TRUE(host.memory_dir.empty() && host.pids_dir.empty() && host.cpu_dir.empty());
    EXPECT_NE(host.reason.find(reason), std::string::npos) << host.reason;
    EXPECT_FALSE(fs::exists(t.self + "/host"));
    EXPECT_EQ(FakeTree::get(t.self + "/cgroup.subtree_control"), "");
  }
}

TEST(CgroupV2, AGroupAlreadyGivingTheControllersIsUsedAsItIs) {
  FakeTree t;
  FakeTree::put(t.self + "/cgroup.procs", "4242\n777\n");
  FakeTree::put(t.self + "/cgroup.subtree_control", "cpu memory pids\n");
  CgroupHost host = probe_cgroup_host(t.mountinfo(), t.self_cgroup(), 4242);
  ASSERT_EQ(host.version, CgroupVersion::V2) << host.reason;
  EXPECT_FALSE(fs::exists(t.self + "/host"));
  EXPECT_EQ(FakeTree::get(t.self + "/cgroup.subtree_control"), "cpu memory pids\n");
}

TEST(CgroupV2, TheSandboxGroupCarriesEveryLimitAndTheVerdictComesFromItsEvents) {
  FakeTree t;
  CgroupHost host;
  host.version = CgroupVersion::V2;
  host.memory_dir = host.pids_dir = host.cpu_dir = t.self;
  host.swap_accounted = true;
  auto verdict = std::make_shared<LimitVerdict>();
  auto group = SandboxCgroup::create(host, {256u << 20, 50, 500}, verdict);
  ASSERT_TRUE(group) << group.error().text();
  ASSERT_EQ((*group)->dirs().size(), 1u);  // one v2 group for all three controllers
  const std::string dir = (*group)->dirs()[0];
  EXPECT_EQ(fs::path(dir).parent_path(), fs::path(t.self));
  const std::pair<const char*, const char*> written[] = {
      {"memory.max", "268435456"}, {"memory.swap.max", "0"},    {"memory.oom.group", "1"},
      {"pids.max", "50"},          {"cpu.max", "50000 100000"},
  };
  for (const auto& [file, value] : written)
    EXPECT_EQ(FakeTree::get(dir + "/" + file), value) << file;
  EXPECT_EQ(verdict->memory_bytes, 256u << 20);
  // The child joins through the prepared descriptor: "0" is "the writer itself".
  auto fds = (*group)->join_fds();
  ASSERT_EQ(fds.size(), 1u);
  EXPECT_GE(fds[0], kSetupFdFloor);
  EXPECT_EQ(::write(fds[0], "0", 1), 1);
  EXPECT_EQ(FakeTree::get(dir + "/cgroup.procs"), "0");
  // What the kernel's counters read after a run, recorded; the teardown hands them out.
  FakeTree::put(dir + "/memory.events", "low 0\nhigh 0\nmax 3\noom 1\noom_kill 1\n");
  FakeTree::put(dir + "/memory.peak", "209715200\n");
  FakeTree::put(dir + "/pids.peak", "21\n");
  FakeTree::put(dir + "/cpu.stat", "usage_usec 1234567\nuser_usec 1000000\nsystem_usec 234567\n"
                                  "nr_periods 0\nnr_throttled 0\nthrottled_usec 0\n");
  FakeTree::put(dir + "/io.stat", "8:0 rbytes=4096 wbytes=31457280 rios=1 wios=30 dbytes=0 dios=0\n");
  auto record = std::make_shared<RunRecord>();
  record->usage.cpu_user_ns.set(7, "wait4");
  (*group)->set_record(record);
  EXPECT_FALSE(verdict->memory_exceeded.load());
  group->reset();
  EXPECT_TRUE(verdict->memory_exceeded.load());
  const Usage& u = record->usage;
  const std::tuple<const Figure*, uint64_t, std::string_view> read[] = {
      {&u.peak_memory_bytes, 209715200, "cgroup v2 memory.peak"},
      {&u.max_processes, 21, "cgroup v2 pids.peak"},
      {&u.cpu_user_ns, 1'000'000'000, "cgroup v2 cpu.stat"},  // the group's, not wait4's
      {&u.cpu_system_ns, 234'567'000, "cgroup v2 cpu.stat"},
      {&u.io_write_bytes, 31457280, "cgroup v2 io.stat"},
      {&u.oom_killed, 1, "cgroup v2 memory.events"},
  };
  for (const auto& [figure, value, source] : read) {
    SCOPED_TRACE(source);
    EXPECT_TRUE(figure->known);
    EXPECT_EQ(figure->value, value);
    EXPECT_EQ(figure->source, source);
  }
}

// Recorded texts of the counter files, and malformed ones: a text that does not parse is
// no figure, never a guessed one.
TEST(CgroupUsage, CounterFilesParseOrGiveNoFigure) {
  const std::pair<std::string_view, std::optional<uint64_t>> counters[] = {
      {"209715200\n", 209715200}, {"0\n", 0}, {"max\n", std::nullopt}, {"", std::nullopt},
      {"12 34\n", std::nullopt}, {"-1\n", std::nullopt},
      {"18446744073709551615\n", UINT64_MAX}, {"18446744073709551616\n", std::nullopt},
  };
  for (const auto& [text, want] : counters) {
    SCOPED_TRACE(text);
    EXPECT_EQ(parse_counter(text), want);
  }
  const std::tuple<std::string_view, std::string_view, std::optional<uint64_t>> keyed[] = {
      {"oom_kill_disable 0\nunder_oom 0\noom_kill 2\n", "oom_kill", 2},  // v1 oom_control
      {"low 0\nhigh 0\nmax 3\noom 1\noom_kill 1\noom_group_kill 0\n", "oom_kill", 1},
      {"user 50\nsystem 3\n", "system", 3},                            // v1 cpuacct.stat
      {"usage_usec 5\nuser_usec 4\n", "system_usec", std::nullopt},
      {"oom_kill x\n", "oom_kill", std::nullopt}, {"oom_kill 1 2\n", "oom_kill", std::nullopt},
  };
  for (const auto& [text, key, want] : keyed) {
    SCOPED_TRACE(text);
    EXPECT_EQ(parse_keyed(text, key), want);
  }
  using Io = std::optional<std::pair<uint64_t, uint64_t>>;
  auto pair_of = [](std::optional<IoBytes> b) -> Io {
    if (!b) return std::nullopt;
    return std::make_pair(b->read, b->write);
  };
  const std::pair<std::string_view, Io> io_stat[] = {
      {"8:0 rbytes=4096 wbytes=100 rios=1 wios=30 dbytes=0 dios=0\n"
       "253:0 rbytes=8192 wbytes=0 rios=2 wios=0 dbytes=0 dios=0\n",
       std::make_pair(12288, 100)},
      {"", std::make_pair(0, 0)},
      {"8:0 rbytes=x\n", std::nullopt},
      {"rbytes=1\n", std::nullopt},
      {"8:0 rbytes=18446744073709551615\n8:1 rbytes=1\n", std::nullopt},
  };
  for (const auto& [text, want] : io_stat) {
    SCOPED_TRACE(text);
    EXPECT_EQ(pair_of(parse_io_stat(text)), want);
  }
  const std::pair<std::string_view, Io> blkio[] = {
      {"8:0 Read 4096\n8:0 Write 300\n8:0 Sync 0\n8:0 Async 4396\n8:0 Discard 0\n"
       "8:0 Total 4396\n8:16 Read 4\n8:16 Total 4\nTotal 4400\n",
       std::make_pair(4100, 300)},
      {"Total 0\n", std::make_pair(0, 0)},
      {"8:0 Read 4096\n", std::nullopt},  // cut short: no Total line
      {"8:0 Read\nTotal 0\n", std::nullopt},
  };
  for (const auto& [text, want] : blkio) {
    SCOPED_TRACE(text);
    EXPECT_EQ(pair_of(parse_blkio_service_bytes(text)), want);
  }
}

// v1: a group per hierarchy, and the child joins through `tasks` (one thread, no
// process-wide lock), not cgroup.procs.
TEST(CgroupV1, AGroupPerHierarchyJoinedThroughTasks) {
  FakeTree t;
  CgroupHost host;
  host.version = CgroupVersion::V1;
  host.memory_dir = t.root + "/memory";
  host.pids_dir = t.root + "/pids";
  host.cpu_dir = t.root + "/cpu";
  for (const auto* dir : {&host.memory_dir, &host.pids_dir, &host.cpu_dir})
    fs::create_directories(*dir);
  auto group = SandboxCgroup::create(host, {256u << 20, 50, 500}, std::make_shared<LimitVerdict>());
  ASSERT_TRUE(group) << group.error().text();
  const auto dirs = (*group)->dirs();
  ASSERT_EQ(dirs.size(), 3u);
  EXPECT_EQ(FakeTree::get(dirs[0] + "/memory.limit_in_bytes"), "268435456");
  EXPECT_EQ(FakeTree::get(dirs[1] + "/pids.max"), "50");
  EXPECT_EQ(FakeTree::get(dirs[2] + "/cpu.cfs_quota_us"), "50000");
  auto fds = (*group)->join_fds();
  ASSERT_EQ(fds.size(), 3u);
  for (size_t i = 0; i < fds.size(); ++i) {
    EXPECT_EQ(::write(fds[i], "0", 1), 1);
    EXPECT_EQ(FakeTree::get(dirs[i] + "/tasks"), "0") << dirs[i];
    EXPECT_FALSE(fs::exists(dirs[i] + "/cgroup.procs")) << dirs[i];
  }
  // pids.peak only where the kernel keeps it; cpuacct counts where it shares the cpu
  // hierarchy.
  Usage older;
  read_cgroup_usage({CgroupVersion::V1, "", dirs[1], ""}, older);
  EXPECT_EQ(std::string_view(older.max_processes.source),
            "not measured: no pids.peak (kernel before 6.1)");
  EXPECT_FALSE(older.max_processes.known);
  FakeTree::put(dirs[0] + "/memory.max_usage_in_bytes", "4096\n");
  FakeTree::put(dirs[1] + "/pids.peak", "23\n");
  FakeTree::put(dirs[2] + "/cpuacct.usage_user", "3000\n");
  FakeTree::put(dirs[2] + "/cpuacct.usage_sys", "2000\n");
  auto record = std::make_shared<RunRecord>();
  (*group)->set_record(record);
  group->reset();
  const Usage& u = record->usage;
  EXPECT_EQ(std::make_tuple(u.peak_memory_bytes.value, u.max_processes.value, u.cpu_user_ns.value,
                            u.cpu_system_ns.value),
            std::make_tuple(4096u, 23u, 3000u, 2000u));
  EXPECT_EQ(std::string_view(u.max_processes.source), "cgroup v1 pids.peak");
  EXPECT_FALSE(u.oom_killed.known);  // no oom_control in this fake: no figure, not "false"
}

TEST(CgroupLimits, CpuBandwidthAndScratchSizes) {
  const std::tuple<uint32_t, uint64_t, uint64_t> cpu[] = {
      {1000, 100000, 100000}, {500, 50000, 100000}, {100, 10000, 100000},   {10, 1000, 100000},
      {5, 5000, 1000000},     {1, 1000, 1000000},   {2500, 250000, 100000},
  };
  for (const auto& [milli, quota, period] : cpu) {
    SCOPED_TRACE(milli);
    CpuBandwidth bw = cpu_bandwidth(milli);
    EXPECT_EQ(bw.quota_us, quota);
    EXPECT_EQ(bw.period_us, period);
  }
  const std::tuple<uint64_t, uint64_t, uint64_t> scratch[] = {
      {0, (1024 - 64) << 20, 64 << 20},  // the default 1 GiB
      {8 << 20, 6 << 20, 2 << 20},
      {10000, 4096, 4096},  // whole pages, and never zero (tmpfs reads 0 as unlimited)
      {1, 4096, 4096},
  };
  for (const auto& [bytes, tmp, shm] : scratch) {
    SCOPED_TRACE(bytes);
    ScratchSizes s = scratch_sizes(bytes);
    EXPECT_EQ(s.tmp_bytes, tmp);
    EXPECT_EQ(s.shm_bytes, shm);
  }
}

TEST(CgroupLimits, ALimitAskedForButNotEnforceableHereIsAWarnAndTheSpawnGoesOn) {
  const CgroupHost none;  // a host without any usable cgroup
  struct Row {
    const char* what;
    uint64_t memory, processes;
    uint32_t cpu;
    bool own_userns;
    std::vector<std::string> warned;
  };
  const bool nproc = nproc_holds_in_own_user_namespace();
  const Row rows[] = {
      {"defaults warn about nothing", 0, 0, 0, false, {}},
      {"memory", 256u << 20, 0, 0, true, {"memory_bytes"}},
      {"cpu rate", 0, 0, 500, true, {"cpu_milli"}},
      {"processes without a namespace of ours", 0, 50, 0, false, {"max_processes"}},
      {"processes in a namespace of ours", 0, 50, 0, true,
       nproc ? std::vector<std::string>{} : std::vector<std::string>{"max_processes"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    SandboxSpec spec;
    spec.memory_bytes = row.memory;
    spec.max_processes = row.processes;
    spec.cpu_milli = row.cpu;
    testing::CaptureScope capture;
    auto limits = SpawnLimits::prepare(spec, row.own_userns, none);
    ASSERT_TRUE(limits) << limits.error().message();
    std::vector<std::string> warned;
    for (const auto& e : capture.sink().events()) {
      if (e.level == events::Level::Warn) warned.push_back(e.values.at(1));
    }
    EXPECT_EQ(warned, row.warned);
    LaunchOptions options;
    limits->apply(options);
    EXPECT_TRUE(options.cgroup_join_fds.empty());
    EXPECT_EQ(options.limits.processes, row.own_userns && nproc
                                         ? (row.processes ? row.processes : kDefaultMaxProcesses)
                                         : 0u);
    // Asked to, the same spec is refused instead, naming the first limit it warned of.
    spec.require_limits = true;
    auto required = SpawnLimits::prepare(spec, row.own_userns, none);
    EXPECT_EQ(static_cast<bool>(required), row.warned.empty());
    if (!required) {
      EXPECT_NE(required.error().message().find(row.warned[0]), std::string::npos);
    }
  }
}

LaunchOptions shell(std::string script) {
  LaunchOptions options;
  options.program = "sh";
  options.args = {"-c", std::move(script)};
  options.env_defaults = {{"PATH", std::string(DEFAULT_CHILD_PATH)}};
  return options;
}

TEST(SandboxCgroup, TheChildRunsInsideFromItsFirstStepAndTheGroupGoesWithTheRecord) {
  const CgroupHost& host = cgroup_host();
  if (host.pids_dir.empty())
    GTEST_SKIP() << "no pids cgroup this process may write: " << host.reason;
  auto group = SandboxCgroup::create(host, {0, 64, 0}, std::make_shared<LimitVerdict>());
  ASSERT_TRUE(group) << group.error().text();
  const std::string dir = (*group)->dirs().at(0);
  LaunchOptions options =
      shell("grep -c " + fs::path(dir).filename().string() + " /proc/self/cgroup");
  options.cgroup_join_fds = (*group)->join_fds();
  auto child = launch_child(options, test::shell_spec(""));
  ASSERT_TRUE(child) << child.error().message();
  child->resources().push_back(std::move(*group));
  EXPECT_EQ(test::collect(std::move(child)).stdout_bytes.str(), "1\n");
  EXPECT_FALSE(fs::exists(dir));  // removed with the record, after the collect
}

// Under v2 a namespace child is created in its group (clone3): it runs inside with no
// join file given at all; where that cannot be, it joins through the file. Needs a cgroup2 mount
// this process may write and the right to make a namespace; the group needs no controller for this.
TEST(SandboxCgroup, ANamespaceChildIsCreatedInItsV2Group) {
  std::string mount;
  std::ifstream info("/proc/self/mountinfo");
  for (std::string line; std::getline(info, line);) {
    if (line.find(" - cgroup2 ") == std::string::npos) continue;
    std::istringstream fields(line);
    std::string skip;
    for (int i = 0; i < 4; ++i) fields >> skip;
    fields >> mount;
    break;
  }
  if (mount.empty() || ::geteuid() != 0 || ::access(mount.c_str(), W_OK) != 0)
    GTEST_SKIP() << "needs root and a writable cgroup2 mount";
  const std::string name = "ventra-clone-test-" + std::to_string(::getpid());
  const std::string dir = mount + "/" + name;
  ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0) << dir;
  struct Removed {
    std::string dir;
    ~Removed() { ::rmdir(dir.c_str()); }
  } removed{dir};
  UniqueFd group(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  UniqueFd not_a_group(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  UniqueFd opened(::open((dir + "/cgroup.procs").c_str(), O_WRONLY | O_CLOEXEC));
  UniqueFd procs(::fcntl(opened.get(), F_DUPFD_CLOEXEC, kSetupFdFloor));
  // Created in it; or, where that fails, joined through the file as under v1.
  for (bool created : {true, false}) {
    SCOPED_TRACE(created ? "created in the group" : "joined afterwards");
    LaunchOptions options = shell("grep '^0::' /proc/self/cgroup");
    options.namespace_flags = CLONE_NEWUTS;
    options.cgroup_dir_fd = created ? group.get() : not_a_group.get();
    if (!created) options.cgroup_join_fds = {procs.get()};
    auto child = launch_child(options, test::shell_spec(""));
    ASSERT_TRUE(child) << child.error().message();
    const std::string out = test::collect(std::move(child)).stdout_bytes.str();
    EXPECT_TRUE(out.ends_with("/" + name + "\n")) << out;
  }
}

TEST(SandboxCgroup, AGroupTheChildCannotJoinFailsTheLaunchAndLeavesNoChild) {
  UniqueFd opened(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  UniqueFd read_only(::fcntl(opened.get(), F_DUPFD_CLOEXEC, kSetupFdFloor));
  ASSERT_TRUE(read_only);
  ASSERT_EQ(::write(read_only.get(), "0", 1), -1);
  const int expected = errno;
  LaunchOptions options = shell("echo ran");
  options.cgroup_join_fds = {read_only.get()};
  auto child = launch_child(options, test::shell_spec(""));
  ASSERT_FALSE(child);
  EXPECT_EQ(child.error().message(),
            "io: join the sandbox's control group: " + os_error_text(expected));
  EXPECT_TRUE(test::no_children_left());
}

}  // namespace
}  // namespace sandbox::isolation
