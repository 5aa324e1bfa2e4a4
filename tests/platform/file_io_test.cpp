// Link-refusing opens and whole reads/writes, attacked with real symbolic links.
#include "platform/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace tidewarden::platform {
namespace {

using namespace std::string_view_literals;
using tidewarden::testing::TempDir;

void writeFile(const std::string& path, const std::string& contents) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  ASSERT_TRUE(fd.valid()) << path;
  ASSERT_TRUE(writeAll(fd.get(), contents));
}

std::string readFd(int fd) {
  std::string out;
  EXPECT_TRUE(readAll(fd, out, 1 << 20));
  return out;
}

bool isCloseOnExec(int fd) { return (::fcntl(fd, F_GETFD) & FD_CLOEXEC) == FD_CLOEXEC; }

// root/a/b/file.txt, root/a/b/leaf -> file.txt, root/middle -> a,
// root/a/b/escape -> <outside>/target (which does not exist yet).
class OpenBeneathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string& r = dir_.path();
    ASSERT_EQ(::mkdir((r + "/a").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((r + "/a/b").c_str(), 0755), 0);
    writeFile(r + "/a/b/file.txt", "hello");
    ASSERT_EQ(::symlink("file.txt", (r + "/a/b/leaf").c_str()), 0);
    ASSERT_EQ(::symlink("a", (r + "/middle").c_str()), 0);
    ASSERT_EQ(::symlink((outside_.path() + "/target").c_str(), (r + "/a/b/escape").c_str()), 0);
    root_ = UniqueFd(::open(r.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(root_.valid());
  }

  UniqueFd open(std::string_view path, int flags = O_RDONLY, mode_t mode = 0) {
    errno = 0;
    return openBeneath(root_, path, flags, mode);
  }

  TempDir dir_;
  TempDir outside_;
  UniqueFd root_;
};

TEST_F(OpenBeneathTest, OpensTheRealPathAndRefusesEverythingElseWithItsErrno) {
  UniqueFd good = open("/a/b/file.txt");
  ASSERT_TRUE(good.valid());
  EXPECT_EQ(readFd(good.get()), "hello");
  EXPECT_TRUE(isCloseOnExec(good.get()));

  const std::pair<std::string_view, int> refusals[] = {
      {"/a/b/leaf", ELOOP},          {"/a/missing/file.txt", ENOENT}, {"/a/b/file.txt/more", ENOTDIR},
      {"", EINVAL},                  {"a/b/file.txt", EINVAL},       {"/a//b/file.txt", EINVAL},
      {"/a/b/", EINVAL},             {"/a/./b/file.txt", EINVAL},    {"/a/b/../b/file.txt", EINVAL},
      {"/..", EINVAL},               {"/.", EINVAL},                 {"//", EINVAL},
      {"/a/b/file.txt\0/x"sv, EINVAL}};
  for (const auto& [path, expected] : refusals) {
    EXPECT_FALSE(open(path).valid()) << path;
    EXPECT_EQ(errno, expected) << path;
  }
  // A link in the middle of the path.
  EXPECT_FALSE(open("/middle/b/file.txt").valid());
  EXPECT_TRUE(errno == ELOOP || errno == ENOTDIR) << errnoText(errno);
}

TEST_F(OpenBeneathTest, CreateThroughDanglingLinkCreatesNothing) {
  EXPECT_FALSE(open("/a/b/escape", O_WRONLY | O_CREAT, 0600).valid());
  EXPECT_EQ(errno, ELOOP);
  struct stat st {};
  EXPECT_NE(::lstat((outside_.path() + "/target").c_str(), &st), 0);

  ASSERT_TRUE(open("/a/b/new.txt", O_WRONLY | O_CREAT | O_EXCL, 0600).valid());
  EXPECT_EQ(::lstat((dir_.path() + "/a/b/new.txt").c_str(), &st), 0);
}

TEST_F(OpenBeneathTest, WalkStaysBeneathTheGivenRootWhichAloneOpensAsItself) {
  // An absolute link target is never resolved against the real "/" either.
  ASSERT_EQ(::symlink("/etc", (dir_.path() + "/etc").c_str()), 0);
  EXPECT_FALSE(open("/etc/hostname").valid());
  UniqueFd sub(::open((dir_.path() + "/a").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  UniqueFd viaSub = openBeneath(sub, "/b/file.txt", O_RDONLY);
  ASSERT_TRUE(viaSub.valid());
  EXPECT_EQ(readFd(viaSub.get()), "hello");

  UniqueFd self = open("/", O_RDONLY | O_DIRECTORY);
  ASSERT_TRUE(self.valid());
  struct stat a {}, b {};
  ASSERT_EQ(::fstat(self.get(), &a), 0);
  ASSERT_EQ(::fstat(root_.get(), &b), 0);
  EXPECT_TRUE(a.st_ino == b.st_ino && a.st_dev == b.st_dev);
  EXPECT_NE(self.get(), root_.get());
  EXPECT_FALSE(open("/", O_WRONLY).valid());
  EXPECT_EQ(errno, EISDIR);
}

TEST_F(OpenBeneathTest, OpenAtRefusesLinksAndNuls) {
  UniqueFd b(::open((dir_.path() + "/a/b").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ASSERT_TRUE(b.valid());
  errno = 0;
  EXPECT_FALSE(openAt(b.get(), "leaf", O_RDONLY).valid());
  EXPECT_EQ(errno, ELOOP);
  EXPECT_FALSE(openAt(b.get(), std::string("file.txt\0x", 10), O_RDONLY).valid());
  EXPECT_EQ(errno, EINVAL);

  UniqueFd viaString = openAt(b.get(), std::string("file.txt"), O_RDONLY);
  ASSERT_TRUE(viaString.valid());
  EXPECT_TRUE(isCloseOnExec(viaString.get()));
  UniqueFd viaName = openAt(b.get(), *SafeName::make("file.txt"), O_RDONLY);
  ASSERT_TRUE(viaName.valid());
  EXPECT_EQ(readFd(viaName.get()), "hello");
}

TEST(SafeNameTest, RefusesNamesThatWalkAndAcceptsOrdinaryOnes) {
  for (std::string_view bad : {""sv, "."sv, ".."sv, "/"sv, "a/b"sv, "../x"sv, "x/"sv, "a\0b"sv}) {
    EXPECT_FALSE(SafeName::make(bad)) << bad;
  }
  for (std::string_view good : {"a", "...", ".hidden", "..x", "a b", "Install macOS Sonoma.app"}) {
    auto name = SafeName::make(good);
    ASSERT_TRUE(name) << good;
    EXPECT_EQ(name->str(), good);
  }
}

TEST(ReadWriteAllTest, ReadAllStopsOneBytePastTheLimitAndErrorsKeepErrno) {
  TempDir dir;
  std::string path = dir.path() + "/data";
  std::string payload(100000, 'x');
  payload[99999] = 'y';
  writeFile(path, payload);

  UniqueFd exact(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  std::string out = "stale";
  ASSERT_TRUE(readAll(exact.get(), out, payload.size()));
  EXPECT_EQ(out, payload);

  UniqueFd over(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  out = "stale";
  errno = 0;
  EXPECT_FALSE(readAll(over.get(), out, payload.size() - 1));
  EXPECT_EQ(errno, EFBIG);
  EXPECT_TRUE(out.empty());
  // Only limit + 1 bytes were consumed.
  EXPECT_EQ(::lseek(over.get(), 0, SEEK_CUR), static_cast<off_t>(payload.size()));

  UniqueFd unlimited(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(readAll(unlimited.get(), out, SIZE_MAX));
  EXPECT_EQ(out.size(), payload.size());

  errno = 0;
  EXPECT_FALSE(readAll(-1, out, 10));
  EXPECT_EQ(errno, EBADF);
  errno = 0;
  EXPECT_FALSE(writeAll(-1, "x"));
  EXPECT_EQ(errno, EBADF);
  EXPECT_TRUE(writeAll(-1, ""));  // nothing to write is not an error
}

TEST(ReadWriteAllTest, WriteAllThroughAPipeLargerThanItsBuffer) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  UniqueFd readEnd(fds[0]);
  UniqueFd writeEnd(fds[1]);
  std::string payload(1 << 20, '\0');
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7);
  std::string received;
  std::thread reader([&] { EXPECT_TRUE(readAll(readEnd.get(), received, payload.size())); });
  EXPECT_TRUE(writeAll(writeEnd.get(), payload));
  writeEnd.reset();
  reader.join();
  EXPECT_EQ(received, payload);
}

}  // namespace
}  // namespace tidewarden::platform
