#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

#include "sandbox_core/base/fd_io.h"
#include "sandbox_core/base/quoted.h"
#include "sandbox_core/base/thread.h"

namespace sandbox {
namespace {

TEST(QuotedForm, EscapesAsDesigned) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"", R"("")"},
      {"bwrap", R"("bwrap")"},
      {"a\"b\\c", R"("a\"b\\c")"},
      {"it's", R"("it's")"},
      {std::string("t\tr\rn\nz\0", 8), R"("t\tr\rn\nz\0")"},
      {"\x01\x7f", R"("\u{1}\u{7f}")"},
      {"caf\xc3\xa9", "\"caf\xc3\xa9\""},
      {"\xe2\x80\x8b", R"("\u{200b}")"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(quoted_form(c.in), c.out);
  }
}

TEST(IoErrorText, OsErrorCarriesNumber) {
  EXPECT_EQ(IoError::from_errno(ENOENT).text(),
            std::string(std::strerror(ENOENT)) + " (os error 2)");
  EXPECT_EQ(IoError::custom("boom").text(), "boom");
  EXPECT_EQ(IoError::from_errno(EEXIST).annotated(" at path \"/x\"").text(),
            std::string(std::strerror(EEXIST)) + " (os error 17) at path \"/x\"");
}

TEST(FdIo, PipeIsCloexecAndReadExactReportsShortStream) {
  auto p = make_pipe();
  ASSERT_TRUE(p);
  EXPECT_TRUE(::fcntl(p->read.get(), F_GETFD) & FD_CLOEXEC);
  EXPECT_TRUE(::fcntl(p->write.get(), F_GETFD) & FD_CLOEXEC);
  ASSERT_TRUE(write_all(p->write.get(), "abc"));
  p->write.reset();
  std::byte buf[4];
  auto r = read_exact(p->read.get(), buf);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().text(), "failed to fill whole buffer");
}

TEST(Threads, NamedContainedAndReleaseTheirContext) {
  auto named = start_thread("a-very-long-thread-name", [] {
    char name[32] = {};
    ::pthread_getname_np(::pthread_self(), name, sizeof name);
    if (std::string(name) != "a-very-long-thr") throw std::runtime_error(name);
  });
  ASSERT_TRUE(named);
  EXPECT_TRUE(named->join());  // false would mean the body threw: wrong name
  auto bad = start_thread(nullptr, [] { throw std::runtime_error("x"); });
  ASSERT_TRUE(bad);
  EXPECT_FALSE(bad->join());

  auto p = make_pipe();
  ASSERT_TRUE(p);
  ASSERT_TRUE(spawn_detached("owner", [fd = std::move(p->write)] { (void)fd; }));
  // End of file proves the thread released the write end it owned.
  char c;
  EXPECT_EQ(::read(p->read.get(), &c, 1), 0);
}

}  // namespace
}  // namespace sandbox
