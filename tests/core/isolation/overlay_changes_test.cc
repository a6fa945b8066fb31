// The change set of an upper layer against its lower, with uppers written directly: what
// a run's changes list as, what apply() makes of the host directory, and that a hostile
// upper (links out, set-id bits, devices, FIFOs, hard links) or a host that changed
// meanwhile leaves the host as it should.
#include "sandbox_core/isolation/overlay_changes.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace sandbox::isolation {
namespace {

namespace fs = std::filesystem;

// "d/" a directory, "d/+" an opaque one, "f=text" a file, "l->text" a link, "x!" a
// whiteout, "p|" a FIFO, "s=text^" a setuid file, "h=@other" a hard link to `other`.
void build(const std::string& root, const std::vector<std::string>& entries) {
  for (const auto& e : entries) {
    std::string p = root + "/" + e;
    if (e.ends_with("/+")) {
      fs::create_directories(p.substr(0, p.size() - 2));
      ASSERT_EQ(::setxattr(p.substr(0, p.size() - 2).c_str(), "user.overlay.opaque", "y", 1, 0), 0);
    } else if (e.ends_with("/")) {
      fs::create_directories(p);
    } else if (auto at = e.find("->"); at != std::string::npos) {
      fs::create_symlink(e.substr(at + 2), root + "/" + e.substr(0, at));
    } else if (e.ends_with("!") || e.ends_with("|")) {
      mode_t mode = e.ends_with("!") ? S_IFCHR : S_IFIFO;
      ASSERT_EQ(::mknod(p.substr(0, p.size() - 1).c_str(), mode | 0600, 0), 0) << e;
    } else if (auto at_link = e.find("=@"); at_link != std::string::npos) {
      fs::create_hard_link(e.substr(at_link + 2), root + "/" + e.substr(0, at_link));
    } else {
      auto eq = e.find('=');
      std::string path = root + "/" + e.substr(0, eq), text = e.substr(eq + 1);
      bool setuid = text.ends_with("^");
      std::ofstream(path) << (setuid ? text.substr(0, text.size() - 1) : text);
      if (setuid) ::chmod(path.c_str(), 04755);
    }
  }
}

// Every entry under `root`, never followed: "path kind[ text] mode nlink".
std::vector<std::string> snapshot(const std::string& root) {
  std::vector<std::string> out;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::end(it); ++it) {
    struct stat st;
    ::lstat(it->path().c_str(), &st);
    std::ostringstream line;
    line << it->path().lexically_relative(root).string();
    if (S_ISDIR(st.st_mode)) line << " dir";
    if (S_ISLNK(st.st_mode)) line << " link " << fs::read_symlink(it->path()).string();
    if (S_ISREG(st.st_mode)) {
      std::ifstream in(it->path());
      line << " file " << std::string(std::istreambuf_iterator<char>(in), {});
    }
    if (!S_ISDIR(st.st_mode) && !S_ISLNK(st.st_mode) && !S_ISREG(st.st_mode)) line << " special";
    line << " " << std::oct << (st.st_mode & 07777) << " " << st.st_nlink;
    out.push_back(line.str());
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::string text(const OverlayChange& c) {
  static const char* const kActions[] = {"A", "M", "D"};
  static const char* const kTypes[] = {"file", "dir", "link", "other"};
  return std::string(kActions[static_cast<int>(c.action)]) + " " + c.path + " " +
         kTypes[static_cast<int>(c.type)];
}

struct Case {
  const char* name;
  std::vector<std::string> lower, upper;
  std::vector<std::string> host_later;  // written into the host after the run began
  std::vector<std::string> changes;
  std::vector<std::string> after;  // the host after apply(); nlink and mode included
  std::vector<std::string> conflicts = {}, failures = {};
};

class OverlayChangesTest : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/overlay-changes-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    base_ = tmpl;
    for (auto d : {"/host", "/scratch/upper", "/outside"}) fs::create_directories(base_ + d);
    std::ofstream(base_ + "/outside/secret") << "s";
  }
  void TearDown() override { fs::remove_all(base_); }
  std::string base_;
};

TEST_P(OverlayChangesTest, ListsAndApplies) {
  const Case& c = GetParam();
  ASSERT_EQ(::chdir(base_.c_str()), 0);  // hard links name "outside/..."
  build(base_ + "/host", c.lower);
  build(base_ + "/scratch/upper", c.upper);
  OverlayChanges set(UniqueFd(::open((base_ + "/scratch").c_str(), O_RDONLY | O_DIRECTORY)),
                     base_ + "/host", OverlayChanges::now());
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  for (const auto& e : c.host_later) {
    if (e.find('=') == std::string::npos) {
      fs::remove_all(base_ + "/host/" + e);
    } else {
      build(base_ + "/host", {e});
    }
  }
  auto listed = set.list();
  ASSERT_TRUE(listed) << listed.error().text();
  std::vector<std::string> changes;
  for (const auto& ch : *listed) changes.push_back(text(ch));
  EXPECT_EQ(changes, c.changes);
  auto report = set.apply();
  ASSERT_TRUE(report) << report.error().text();
  std::vector<std::string> conflicts, failures;
  for (const auto& p : report->conflicts) conflicts.push_back(p.path);
  for (const auto& p : report->failures) failures.push_back(p.path);
  EXPECT_EQ(conflicts, c.conflicts);
  EXPECT_EQ(failures, c.failures);
  EXPECT_EQ(snapshot(base_ + "/host"), c.after);
  fs::remove_all(base_ + "/scratch");  // the hard links into "outside" with it
  EXPECT_EQ(snapshot(base_ + "/outside"), std::vector<std::string>{"secret file s 644 1"});
  EXPECT_FALSE(set.pending());
  EXPECT_FALSE(set.list());
}

INSTANTIATE_TEST_SUITE_P(
    Uppers, OverlayChangesTest,
    ::testing::Values(
        Case{"edits",
             {"a=1", "b=2", "d/", "d/x=3", "keep=k", "old=o", "same=s"},
             {"a=11", "b!", "d=F", "new=n", "old!", "renamed=o", "same=s"},
             {},
             {"M a file", "D b file", "D d dir", "A d file", "A new file", "D old file",
              "A renamed file"},
             {"a file 11 644 1", "d file F 644 1", "keep file k 644 1", "new file n 644 1",
              "renamed file o 644 1", "same file s 644 1"}},
        // A directory made again over a deleted one: the lower's entries are gone.
        Case{"opaque",
             {"d/", "d/x=1", "d/y=2", "d/e/", "d/e/z=3"},
             {"d/+", "d/y=2", "d/w=4", "d/e/"},
             {},
             {"D d/x file", "D d/e/z file", "A d/w file"},
             {"d dir 755 3", "d/e dir 755 2", "d/w file 4 644 1", "d/y file 2 644 1"}},
        Case{"hostile",
             {"l->../outside", "dev=x"},
             {"etc->/etc", "l/", "l/secret=evil", "su=x^", "p|", "h1=@outside/secret", "h2=@scratch/upper/h1",
              "dev!"},
             {},
             {"D dev file", "A etc link", "A h1 file", "A h2 file", "D l link", "A l dir",
              "A l/secret file", "A p other", "A su file"},
             {"etc link /etc 777 1", "h1 file s 644 1", "h2 file s 644 1", "l dir 755 2",
              "l/secret file evil 644 1", "su file x 755 1"},
             {},
             {"p"}},
        // The host changed f and added to d after the run began; it removed g, which the
        // run wrote: no trace of the delete is left, so g is the run's.
        Case{"conflicts",
             {"f=1", "g=1", "d/", "d/x=1", "e=1"},
             {"f=2", "g=2", "d!", "e=2"},
             {"f=host", "g", "d/new=host"},
             {"D d dir", "M e file", "M f file", "A g file"},
             {"d dir 755 2", "d/new file host 644 1", "d/x file 1 644 1", "e file 2 644 1",
              "f file host 644 1", "g file 2 644 1"},
             {"d", "f"}}),
    [](const ::testing::TestParamInfo<Case>& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace sandbox::isolation
